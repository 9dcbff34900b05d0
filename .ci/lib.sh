# Shared by ./run-tests, ./demo and .ci/run: fresh virtual environments with
# the module built and installed from this checkout.
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# python_for VERSION -> path of that interpreter (pyenv first, then PATH)
python_for() {
    local v=$1 short=${1%.*}
    for cand in "$HOME/.pyenv/versions/$v/bin/python" "$HOME/.pyenv/versions/$v".*/bin/python \
                "$(command -v "python$short" 2>/dev/null || true)"; do
        if [ -n "$cand" ] && [ -x "$cand" ]; then echo "$cand"; return 0; fi
    done
    return 1
}

# make_venv VERSION DIR: a fresh venv at DIR with the module installed (and test tools)
make_venv() {
    local v=$1 dir=$2 py
    py=$(python_for "$v") || { echo "no CPython $v found" >&2; return 1; }
    rm -rf "$dir"
    "$py" -m venv "$dir"
    local pip="$dir/bin/python -m pip --disable-pip-version-check -q"
    case "$v" in
        3.6*) $pip install -U "pip<22" ;;   # the last pip that runs on 3.6
        *) $pip install -U pip ;;
    esac
    # shellcheck disable=SC2046
    $pip install $(test_packages "$v") 2>&1 | grep -v "is ignored" || true
    VQSDK_JOBS=${VQSDK_JOBS:-$(nproc)} $pip install . 2>&1 | grep -v "is ignored" || true
    "$dir/bin/python" -c "import vqspecapisdk" || { echo "vqspecapisdk did not install for $v" >&2; return 1; }
}
