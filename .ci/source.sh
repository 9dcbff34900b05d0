#!/usr/bin/env bash
# Building from source stays honest:
#   1. `pip install .` in a fresh CPython 3.6 venv with its own pip (18.1), with
#      its dependencies: pyproject.toml's per-version pins keep it off tools that
#      need a newer Python.
#   2. An sdist (python -m build --sdist) builds and installs in a fresh 3.11 venv.
#   3. A second `pip install .` of the same checkout with other VQSDK_* settings
#      (a sanitizer build, then a plain one) reuses none of the first's objects:
#      the plain module links no libasan and imports.
#   .ci/source.sh [1|2|3]...     (default: all three)
# Environment: VQSDK_SOURCE_DIR work folder (default .venv/source-check), VQSDK_JOBS (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
work=${VQSDK_SOURCE_DIR:-.venv/source-check}
case "$work" in /*) ;; *) work=$PWD/$work ;; esac
export VQSDK_JOBS=${VQSDK_JOBS:-2}
checks=${*:-1 2 3}
mkdir -p "$work"

for c in $checks; do
    t0=$SECONDS
    case $c in
    1)
        echo "=== source: pip install . on CPython 3.6 with its own pip"
        py=$(find_python 3.6)
        rm -rf "$work/py36"
        "$py" -m venv "$work/py36"
        "$work/py36/bin/python" -m pip --version
        stage_source "$work/src36"
        # As a user's machine runs it: pip's own defaults, the package index
        # alone. (This machine's pip configuration adds a local mirror whose
        # pages carry no Requires-Python; pip 18.1 would take setuptools 84
        # from it for pycryptodome's source build and fail on 3.6.)  pip 18.1
        # takes a pycryptodome source package (it knows no manylinux2014
        # wheel) and builds it with the newest setuptools for 3.6, and builds
        # this project with pyproject.toml's pins for 3.6.
        (unset PIP_FIND_LINKS PIP_EXTRA_INDEX_URL PIP_INDEX_URL PIP_CONSTRAINT
         export PIP_CONFIG_FILE=/dev/null PIP_CERT=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
         with_progress "$work/py36/bin/python" -m pip install -q --no-cache-dir "$work/src36")
        "$work/py36/bin/python" -m pip list --format=freeze 2>/dev/null | grep -i -E '^(pycryptodome|requests)==' | sed 's/^/    /'
        "$work/py36/bin/python" -c "import importlib.util as u; print('    installed', u.find_spec('vqspecapisdk').origin)"
        ;;
    2)
        echo "=== source: an sdist builds and installs (CPython 3.11)"
        py=$(find_python 3.11)
        rm -rf "$work/sdist" "$work/py311-sdist"
        new_venv "$py" 3.11 "$work/py311-sdist"
        pip_quiet "$work/py311-sdist/bin/python" install build
        stage_source "$work/src-sdist"
        "$work/py311-sdist/bin/python" -m build --sdist -o "$work/sdist" "$work/src-sdist" >"$work/sdist.log" 2>&1 ||
            { cat "$work/sdist.log" >&2; exit 1; }
        sd=$(ls "$work"/sdist/vqspecapisdk-*.tar.gz)
        echo "    $(basename "$sd"): $(tar -tzf "$sd" | wc -l) files"
        with_progress pip_quiet "$work/py311-sdist/bin/python" install "$sd"
        (cd tests && "$work/py311-sdist/bin/python" -c "import vqspecapisdk as m; print('    imported', m.__version__, 'from', m.__file__)")
        ;;
    3)
        echo "=== source: a sanitizer install, then a plain one, of one checkout (CPython 3.11)"
        py=$(find_python 3.11)
        new_venv "$py" 3.11 "$work/py311-settings"
        pip_quiet "$work/py311-settings/bin/python" install pytest
        stage_source "$work/src-settings"
        VQSDK_SANITIZE=1 with_progress pip_quiet "$work/py311-settings/bin/python" install "$work/src-settings"
        so=$("$work/py311-settings/bin/python" -c 'import importlib.util as u; print(u.find_spec("vqspecapisdk").origin)')
        ldd "$so" | grep -q libasan || { echo "the sanitizer build links no libasan" >&2; exit 1; }
        with_progress pip_quiet "$work/py311-settings/bin/python" install "$work/src-settings"
        if ldd "$so" | grep libasan; then echo "the plain install reused the sanitizer build" >&2; exit 1; fi
        "$work/py311-settings/bin/python" -c "import vqspecapisdk as m; print('    plain install after a sanitizer one: imported', m.__version__)"
        ;;
    esac
    echo "    check $c took $((SECONDS - t0)) s"
done
