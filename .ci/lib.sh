# The one helper library of ./run-tests, ./demo, fuzz/run.sh and the .ci/
# scripts: finding interpreters, virtual environments, staging the source.

# find_python VERSION -> path of that CPython ("3.11" or "3.11.7"): pyenv's
# exact version, else pyenv's newest VERSION.*, else pythonVERSION on PATH,
# else (for "3.11.7") python3.11 on PATH.
find_python() {
    local v=$1 cand
    cand=$HOME/.pyenv/versions/$v/bin/python
    if [ -x "$cand" ]; then echo "$cand"; return 0; fi
    cand=$(ls -d "$HOME/.pyenv/versions/$v".*/bin/python 2>/dev/null | sort -V | tail -n 1)
    if [ -n "$cand" ] && [ -x "$cand" ]; then echo "$cand"; return 0; fi
    cand=$(command -v "python$v" 2>/dev/null) && { echo "$cand"; return 0; }
    case "$v" in
        *.*.*) cand=$(command -v "python${v%.*}" 2>/dev/null) && { echo "$cand"; return 0; } ;;
    esac
    return 1
}

# A private copy of the checkout to build from.
#
# pip (21.3 and later) builds a local directory in place, so `pip install .`
# from the checkout writes build/ and *.egg-info/ there, and setup.py reuses
# object files that are newer than their sources whatever flags built them.
# Building from a fresh copy keeps sanitizer, wheel, OpenSSL 1.1 and normal
# builds apart.

# stage_source DIR: DIR becomes a copy of the checkout's source files
# (tracked and untracked, minus what .gitignore excludes; outside a git
# work tree: everything but build outputs, virtual environments and caches).
stage_source() {
    local dest=$1
    rm -rf "$dest"
    mkdir -p "$dest"
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done |
            tar -cf - --null -T - | tar -xf - -C "$dest"
    else
        tar -cf - --exclude=./build --exclude=./dist --exclude=./.venv --exclude=./.git \
            --exclude='*.egg-info' --exclude=__pycache__ --exclude=.hypothesis \
            --exclude=.pytest_cache --exclude='*.so' . | tar -xf - -C "$dest"
    fi
    [ -f "$dest/setup.py" ] || { echo "staging the source into $dest failed" >&2; return 1; }
}

# test_packages VERSION -> what the test suite needs besides the module: pytest,
# hypothesis, and the real servers and store the web apps are tested against
# (uvicorn, and aiohttp for the asyncio client, run on 3.8 and later; pip
# picks versions each Python supports).
test_packages() {
    case "$1" in
        3.6*|3.7*) echo pytest hypothesis gunicorn redis ;;
        *) echo pytest hypothesis gunicorn uvicorn redis aiohttp ;;
    esac
}

# pip_quiet PYTHON ARGS...: pip without the version check and without the
# "is ignored" notes of the local index configuration; keeps pip's status.
pip_quiet() {
    local py=$1; shift
    local out rc=0
    out=$("$py" -m pip --disable-pip-version-check -q "$@" 2>&1) || rc=$?
    [ -z "$out" ] || printf '%s\n' "$out" | grep -v "is ignored" || true
    return $rc
}

# new_venv PYTHON VERSION DIR: a fresh venv at DIR with a current pip (the
# last one that runs on 3.6 there).
new_venv() {
    local py=$1 v=$2 dir=$3
    rm -rf "$dir"
    "$py" -m venv "$dir" || return 1
    case "$v" in
        3.6*) pip_quiet "$dir/bin/python" install -U "pip<22" ;;
        *) pip_quiet "$dir/bin/python" install -U pip ;;
    esac
}

# with_progress COMMAND...: runs COMMAND (a build through pip, which hides the
# build's output) and shows the lines setup.py writes to $VQSDK_PROGRESS as
# they come ("[k/n] compiling src/..."); COMMAND's status.
with_progress() {
    local progress rc=0 pid tpid
    progress=$(mktemp)
    VQSDK_PROGRESS=$progress "$@" &
    pid=$!
    tail -n +1 -s 0.5 -f --pid=$pid "$progress" &
    tpid=$!
    wait $pid || rc=$?
    wait $tpid 2>/dev/null || true
    rm -f "$progress"
    return $rc
}

# make_venv VERSION DIR [SOURCE]: a fresh venv at DIR with the test tools and
# the module built from SOURCE (default: this checkout) and installed. Fails
# when any step fails, the build included.
# (Callers may call it in a condition, where set -e does not act: every step
# checks its status.)
make_venv() {
    local v=$1 dir=$2 src=${3:-.} py
    py=$(find_python "$v") || { echo "no CPython $v found" >&2; return 1; }
    new_venv "$py" "$v" "$dir" || return 1
    # shellcheck disable=SC2046
    pip_quiet "$dir/bin/python" install $(test_packages "$v") || { echo "installing the test tools failed for $v" >&2; return 1; }
    echo "    building vqspecapisdk for CPython $v (1 to 5 min on 2 cores as they are loaded; one line per step)"
    VQSDK_JOBS=${VQSDK_JOBS:-$(nproc)} with_progress pip_quiet "$dir/bin/python" install "$src" ||
        { echo "building vqspecapisdk failed for $v" >&2; return 1; }
    "$dir/bin/python" -c "import vqspecapisdk" || { echo "vqspecapisdk did not install for $v" >&2; return 1; }
}

# source_hash: one hash of everything the module is built from (the stamp that
# lets ./demo skip a build when nothing changed).
source_hash() {
    { git ls-files -s setup.py pyproject.toml MANIFEST.in src stubs 2>/dev/null
      git diff HEAD -- setup.py pyproject.toml MANIFEST.in src stubs 2>/dev/null
      git ls-files --others --exclude-standard -- src stubs 2>/dev/null
    } | sha256sum | cut -c1-16
}

# private_apt DIR "SUITE[ SUITE...]" deb|deb-src: an apt with its own sources,
# lists and state under DIR (nothing on the system changes), updated; its
# options are left in APT_OPTS for apt-get/apt-cache.
private_apt() {
    local apt=$1 suites=$2 kind=$3 keyring=/usr/share/keyrings/debian-archive-keyring.gpg s
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/etc/apt.conf.d" \
        "$apt/etc/preferences.d" "$apt/etc/sources.list.d"
    for s in $suites; do
        echo "$kind [signed-by=$keyring] http://deb.debian.org/debian $s main"
        echo "$kind [signed-by=$keyring] http://deb.debian.org/debian-security $s-security main"
    done >"$apt/etc/sources.list"
    APT_OPTS=(-q -o Dir::Etc::SourceList="$apt/etc/sources.list" -o Dir::Etc::SourceParts="$apt/etc/sources.list.d"
              -o Dir::Etc::Parts="$apt/etc/apt.conf.d" -o Dir::Etc::PreferencesParts="$apt/etc/preferences.d"
              -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o Dir::State::Status=/dev/null
              -o APT::Sandbox::User=root -o Debug::NoLocking=1)
    apt-get "${APT_OPTS[@]}" update >"$apt/update.log" 2>&1 || { cat "$apt/update.log" >&2; return 1; }
}
