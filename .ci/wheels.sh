#!/usr/bin/env bash
# Builds a wheel of the project for each interpreter, installs each into a
# fresh virtual environment and runs the whole test suite against the
# installed wheel, so a file missing from the wheel fails the run.
#   .ci/wheels.sh                  every CPython from 3.6 to 3.13
#   .ci/wheels.sh -k log           extra arguments go to pytest
# Environment:
#   VQSDK_WHEEL_PYTHONS   required interpreter versions (default 3.6 to 3.13)
#   VQSDK_WHEEL_OPTIONAL  versions tested when present (default none)
#   VQSDK_WHEEL_DIR       work directory: wheels, build copies, venvs (default .venv/wheels)
#   VQSDK_JOBS            parallel compile jobs (default 2)
# A missing required interpreter, a failed build or a failed suite fails the
# run; an optional interpreter counts once it is present.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

work=${VQSDK_WHEEL_DIR:-.venv/wheels}
case "$work" in /*) ;; *) work=$PWD/$work ;; esac
root=$PWD
export VQSDK_JOBS=${VQSDK_JOBS:-2}

# check_wheel WHEEL: the extension module, its private helper, the PEP 561 stub package and the web apps are in it.
check_wheel() {
    "$2" - "$1" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
missing = [want for want, ok in [
    ("vqspecapisdk.*.so", any(n.startswith("vqspecapisdk.") and n.endswith(".so") and "/" not in n for n in names)),
    ("vqspecapisdk-stubs/__init__.pyi", "vqspecapisdk-stubs/__init__.pyi" in names),
    ("vqspecapisdk_web/py.typed", "vqspecapisdk_web/py.typed" in names),
    ("vqspecapisdk_web/asgi.py", "vqspecapisdk_web/asgi.py" in names),
    ("_vqspecapisdk_http/__init__.py", "_vqspecapisdk_http/__init__.py" in names),
] if not ok]
if missing:
    print("wheel %s lacks %s; it holds: %s" % (sys.argv[1], ", ".join(missing), ", ".join(names)), file=sys.stderr)
    sys.exit(1)
PY
}

# one VERSION PYTHON [pytest args]: build, check, install and test one wheel.
# (Called in a condition, where set -e does not act: every step checks its status.)
one() {
    local v=$1 py=$2 dir=$work/$1; shift 2
    local bpy=$dir/build-venv/bin/python tpy=$dir/venv/bin/python whl
    rm -rf "$dir"
    mkdir -p "$dir/wheel"
    echo "=== CPython $v ($py): wheel"
    new_venv "$py" "$v" "$dir/build-venv" || return 1
    stage_source "$dir/source" || return 1
    pip_quiet "$bpy" wheel --no-cache-dir --no-deps -w "$dir/wheel" "$dir/source" || { echo "wheel build failed for $v" >&2; return 1; }
    whl=$(ls "$dir"/wheel/vqspecapisdk-*.whl)
    echo "    $(basename "$whl")"
    check_wheel "$whl" "$bpy" || return 1
    echo "=== CPython $v: install the wheel into a fresh venv"
    new_venv "$py" "$v" "$dir/venv" || return 1
    # shellcheck disable=SC2046
    pip_quiet "$tpy" install "$whl" $(test_packages "$v") || { echo "installing the wheel failed for $v" >&2; return 1; }
    # The tests put the checkout on sys.path: the module must still come from the wheel.
    (cd tests && "$tpy" - "$dir/venv" "$root" <<'PY'
import os, sys
sys.path.insert(0, sys.argv[2])
import vqspecapisdk
where = os.path.realpath(vqspecapisdk.__file__)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit("vqspecapisdk comes from %s, not from the installed wheel" % where)
import sysconfig
paths = sysconfig.get_paths()
if not any(os.path.isfile(os.path.join(paths[k], "vqspecapisdk-stubs", "__init__.pyi")) for k in ("purelib", "platlib")):
    sys.exit("the stub package vqspecapisdk-stubs/__init__.pyi is not installed")
PY
    ) || return 1
    echo "=== CPython $v: test suite against the installed wheel"
    (cd tests && "$tpy" -m pytest -q -p no:cacheprovider "$@" .)
}

results=()
status=0
required_pythons=${VQSDK_WHEEL_PYTHONS:-3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13}
for v in $required_pythons ${VQSDK_WHEEL_OPTIONAL:-}; do
    case " $required_pythons " in *" $v "*) required=1 ;; *) required=0 ;; esac
    if ! py=$(find_python "$v"); then
        if [ $required = 1 ]; then
            results+=("CPython $v: FAIL (interpreter not found)"); status=1
        else
            results+=("CPython $v: skipped (interpreter not found)")
        fi
        continue
    fi
    start=$SECONDS
    if one "$v" "$py" "$@"; then r=pass; else r=FAIL; status=1; fi
    results+=("CPython $v ($("$py" -c 'import sys; print(sys.version.split()[0])')): $r in $((SECONDS - start)) s")
done
echo "=== wheels:"
printf '    %s\n' "${results[@]}"
exit $status
