#!/usr/bin/env bash
# Portable binary wheels: one manylinux2014_x86_64 wheel per CPython from 3.6
# to 3.13, each with libcrypto linked in statically, built on this machine
# without a container engine.
#   .ci/portable.sh                 build, audit, install and test every wheel
#   .ci/portable.sh libcrypto       only build (or find in the cache) libcrypto.a
#   .ci/portable.sh wheels          build and audit the wheels, no tests
#   .ci/portable.sh tests           test the wheels an earlier run built
#   .ci/portable.sh -k log          extra arguments go to pytest
#
# The compiler is Zig's clang (the ziglang package from the package index),
# targeting glibc 2.17 (x86_64-linux-gnu.2.17): the objects and the C++ runtime
# it links statically use no glibc symbol newer than 2.17.  libcrypto.a is
# built from Debian trixie's openssl source package (the 3.5 LTS line, with
# Debian's security patches), fetched with apt-get source through a private
# sources list.  It is kept in the cache keyed on its version and flags and
# checked by a known-answer program before any wheel links it; a corrupt or
# truncated library fails here, never at import.
#
# Environment:
#   VQSDK_CACHE               cache folder (default ~/.cache/vqsdk): tools venv, libcrypto
#   VQSDK_PORTABLE_DIR        work folder: wheels, venvs (default .venv/portable)
#   VQSDK_PORTABLE_PYTHONS    versions built and audited (default 3.6 to 3.13)
#   VQSDK_PORTABLE_FULL       versions whose whole suite runs (default 3.6 3.11 3.13);
#                             the others run the smoke subset (tests/test_wheel.py)
#   VQSDK_JOBS                parallel jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
root=$PWD
cache=${VQSDK_CACHE:-$HOME/.cache/vqsdk}
work=${VQSDK_PORTABLE_DIR:-.venv/portable}
case "$work" in /*) ;; *) work=$PWD/$work ;; esac
jobs=${VQSDK_JOBS:-2}
target=x86_64-linux-gnu.2.17
# Pinned so that a cached library and the wheels agree on the toolchain.
zig_pin="ziglang==0.17.1"
auditwheel_pin="auditwheel==6.8.2"
openssl_suite=trixie
openssl_flags=(no-shared no-module no-engine no-dso no-legacy no-tests no-docs no-apps no-ui-console
               no-comp no-zlib no-async -fPIC -O2 -fvisibility=hidden -fno-sanitize=all)

# The toolchain: a venv in the cache with ziglang and auditwheel, and cc/c++
# wrappers that target glibc 2.17.
tools() {
    local t=$cache/tools
    if ! "$t/bin/python" -c "import ziglang, auditwheel, wheel" 2>/dev/null ||
       [ "$("$t/bin/python" -m pip --disable-pip-version-check freeze 2>/dev/null | grep -ci -e "^${zig_pin}$" -e "^${auditwheel_pin}$")" != 2 ]; then
        echo "=== tools: $zig_pin $auditwheel_pin into $t"
        rm -rf "$t"
        "$(find_python 3.11)" -m venv "$t"
        pip_quiet "$t/bin/python" install "$zig_pin" "$auditwheel_pin" wheel
    fi
    mkdir -p "$t/zig/include"
    # CPython 3.6's Python.h includes <crypt.h>, which Zig's glibc headers
    # lack (libcrypt left glibc): its one declaration, searched last.
    printf '#pragma once\nchar *crypt(const char *key, const char *salt);\n' >"$t/zig/include/crypt.h"
    for tool in cc c++ ar ranlib; do
        case $tool in
            cc|c++) printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s -idirafter "%s" "$@"\n' "$t/bin/python" "$tool" "$target" "$t/zig/include" ;;
            *) printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$t/bin/python" "$tool" ;;
        esac >"$t/zig/$tool"
        chmod +x "$t/zig/$tool"
    done
    ZIG=$t/zig
    AUDITWHEEL=$t/bin/auditwheel
    TOOLPY=$t/bin/python
}

# Checks a libcrypto.a: a program linked with it alone (glibc 2.17 target)
# must give the known answers of MD5, HMAC-SHA-256 and AES-128-CBC.
check_libcrypto() {
    local dir=$1 tmp
    tmp=$(mktemp -d)
    "$ZIG/cc" -O1 -I"$dir/include" -o "$tmp/kat" "$root/.ci/libcrypto_kat.c" "$dir/lib/libcrypto.a" -lpthread >"$tmp/log" 2>&1 &&
        "$tmp/kat" || { cat "$tmp/log" >&2; rm -rf "$tmp"; return 1; }
    rm -rf "$tmp"
}

# libcrypto: sets OPENSSL_DIR to a folder with include/ and lib/libcrypto.a,
# from the cache when its stamp (version, flags, toolchain, sha256 of the
# library) still holds, else built from the source package.
libcrypto() {
    local apt=$cache/apt-$openssl_suite version key dir src
    private_apt "$apt" "$openssl_suite" deb-src
    # The newest version that is in the cache or whose source the mirror serves
    # (the security archive's pool may lag its index; the suite's own pool
    # carries the point releases).
    local v
    version=
    rm -rf "$apt/probe"
    for v in $(apt-cache "${APT_OPTS[@]}" showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' | sort -rV | uniq); do
        key=$(printf '%s\n' "$v" "$target" "$zig_pin" "${openssl_flags[*]}" | sha256sum | cut -c1-12)
        dir=$cache/openssl-$v-$key
        OPENSSL_DIR=$dir
        if [ -f "$dir/stamp" ] && [ -f "$dir/lib/libcrypto.a" ] &&
           [ "$(sha256sum <"$dir/lib/libcrypto.a" | cut -c1-64)" = "$(sed -n 's/^sha256 //p' "$dir/stamp")" ] &&
           check_libcrypto "$dir" >/dev/null; then
            echo "=== libcrypto: OpenSSL $v from the cache ($dir)"
            return 0
        fi
        (mkdir -p "$apt/probe" && cd "$apt/probe" && apt-get "${APT_OPTS[@]}" source --download-only "openssl=$v" >/dev/null 2>&1) &&
            { version=$v; break; }
        rm -rf "$apt/probe"
        echo "    openssl $v: its source is not served, trying an older one" >&2
    done
    [ -n "$version" ] || { echo "no openssl source package in $openssl_suite" >&2; return 1; }
    echo "=== libcrypto: building OpenSSL $version (Debian $openssl_suite source) for $target into $dir"
    rm -rf "$dir" "$dir.build"
    mkdir -p "$dir.build"
    (cd "$dir.build" && cp "$apt"/probe/openssl_* . && dpkg-source -x openssl_*.dsc >source.log 2>&1) ||
        { cat "$dir.build/source.log" >&2; return 1; }
    src=$(ls -d "$dir.build"/openssl-*/ | head -n 1)
    local t0=$SECONDS
    (cd "$src" &&
        CC="$ZIG/cc" AR="$ZIG/ar" RANLIB="$ZIG/ranlib" ./Configure linux-x86_64 "${openssl_flags[@]}" \
            --prefix="$dir" --libdir=lib >"$dir.build/configure.log" 2>&1 &&
        # libcrypto alone, its objects counted as they compile (step k of n).
        n=$(grep -o 'libcrypto-lib-[A-Za-z0-9_-]*\.o' Makefile | sort -u | wc -l) &&
        make -j"$jobs" build_generated >"$dir.build/generated.log" 2>&1 &&
        make -j"$jobs" libcrypto.a 2>"$dir.build/make.err" |
            awk -v n="$n" '/ -c / && /libcrypto-lib-/ {k++; if (k % 50 == 0 || k == n) printf "    libcrypto: compiled %d of %d objects\n", k, n; fflush()}' &&
        [ "${PIPESTATUS[0]}" = 0 ]) || { tail -n 30 "$dir.build/make.err" "$dir.build/configure.log" >&2; return 1; }
    mkdir -p "$dir/lib" "$dir/include"
    cp "$src/libcrypto.a" "$dir/lib/"
    cp -r "$src/include/openssl" "$dir/include/"
    check_libcrypto "$dir" || { echo "the built libcrypto.a fails its known answers" >&2; return 1; }
    printf 'version %s\nflags %s\ntarget %s\n%s\nsha256 %s\n' "$version" "${openssl_flags[*]}" "$target" "$zig_pin" \
        "$(sha256sum <"$dir/lib/libcrypto.a" | cut -c1-64)" >"$dir/stamp"
    rm -rf "$dir.build" "$apt/probe"
    echo "=== libcrypto: OpenSSL $version built in $((SECONDS - t0)) s, $(du -k "$dir/lib/libcrypto.a" | cut -f1) KiB"
}

# check_wheel WHEEL: the extension module, its private helper, the PEP 561 stub package and the web apps are in it.
check_wheel() {
    "$TOOLPY" - "$1" <<'PY'
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
    sys.exit("wheel %s lacks %s; it holds: %s" % (sys.argv[1], ", ".join(missing), ", ".join(names)))
PY
}

# build_wheel VERSION PYTHON: WHEEL becomes the audited manylinux2014 wheel.
# pip builds it in its isolated build environment (the per-version build
# requirements of pyproject.toml), with Zig's compilers and the static libcrypto.
build_wheel() {
    local v=$1 py=$2 d=$work/$1 raw audit
    rm -rf "$d/wheel"
    mkdir -p "$d/wheel"
    echo "=== CPython $v: portable wheel"
    # CC too is the C++ driver: older setuptools compile C++ sources with CC.
    CC="$ZIG/c++" CXX="$ZIG/c++" LDSHARED="$ZIG/c++ -shared" VQSDK_PORTABLE=$OPENSSL_DIR VQSDK_JOBS=$jobs \
        with_progress pip_quiet "$py" wheel --no-deps --no-cache-dir -w "$d/wheel" "$work/source" ||
        { echo "wheel build failed for $v" >&2; return 1; }
    raw=$(ls "$d"/wheel/vqspecapisdk-*.whl)
    "$TOOLPY" -m wheel tags --remove --platform-tag manylinux2014_x86_64 "$raw" >/dev/null || return 1
    WHEEL=$(ls "$d"/wheel/vqspecapisdk-*manylinux2014_x86_64.whl) || return 1
    check_wheel "$WHEEL" || return 1
    audit=$("$AUDITWHEEL" show "$WHEEL" 2>&1) || { printf '%s\n' "$audit" >&2; return 1; }
    printf '%s\n' "$audit" >"$d/auditwheel.txt"
    # manylinux2014 (= manylinux_2_17) or better, and no library but glibc's
    # (auditwheel lists any other as "external shared libraries ... required").
    audit=$(printf '%s' "$audit" | tr -s '\n ' '  ')
    if ! printf '%s' "$audit" | grep -q 'consistent with the following platform tag: "manylinux_2_17_x86_64"' ||
       printf '%s' "$audit" | grep -q 'external shared libraries are required'; then
        printf '%s\n' "$audit" >&2
        echo "auditwheel: $(basename "$WHEEL") is not manylinux2014 with glibc alone" >&2
        return 1
    fi
    cp "$WHEEL" "$work/dist/"
    echo "    $(basename "$WHEEL")  $(du -k "$WHEEL" | cut -f1) KiB; auditwheel: consistent with manylinux_2_17_x86_64; glibc's libraries only: $(printf '%s' "$audit" | grep -o '[a-z]*\.so\.[0-9]* with versions' | sed 's/ with versions//' | tr '\n' ' ')"
}

# test_wheel VERSION PYTHON FULL [pytest args]: a fresh venv with the wheel
# and the test tools; the whole suite (FULL=1) or the installed wheel's tests.
test_wheel() {
    local v=$1 py=$2 full=$3 d=$work/$1 tpy=$work/$1/venv/bin/python; shift 3
    if [ "$v" = 3.6 ]; then
        # CPython 3.6's own pip (18.1) predates the manylinux2014 tag: it
        # refuses the wheel, which is why the README upgrades pip first.
        rm -rf "$d/pip18"
        "$py" -m venv "$d/pip18" || return 1
        echo "=== CPython $v: $("$d/pip18/bin/python" -m pip --version | cut -d' ' -f1-2) without an upgrade:"
        if "$d/pip18/bin/python" -m pip install --no-deps "$WHEEL" >"$d/pip18.log" 2>&1; then
            echo "pip 18.1 installed a manylinux2014 wheel" >&2; return 1
        fi
        grep -v "is ignored" "$d/pip18.log" | sed 's/^/        /'
    fi
    echo "=== CPython $v: install the wheel into a fresh venv (a current pip)"
    new_venv "$py" "$v" "$d/venv" || return 1
    # shellcheck disable=SC2046
    pip_quiet "$tpy" install "$WHEEL" $(test_packages "$v") || { echo "installing the wheel failed for $v" >&2; return 1; }
    (cd tests && "$tpy" - "$d/venv" "$root" <<'PY'
import os, sys
sys.path.insert(0, sys.argv[2])
import vqspecapisdk
where = os.path.realpath(vqspecapisdk.__file__)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit("vqspecapisdk comes from %s, not from the installed wheel" % where)
PY
    ) || return 1
    if [ "$full" = 1 ]; then
        echo "=== CPython $v: whole test suite against the installed wheel"
        (cd tests && VQSDK_WHEELHOUSE=$work/dist "$tpy" -m pytest -q -rs -p no:cacheprovider "$@" .)
    else
        echo "=== CPython $v: smoke tests against the installed wheel"
        (cd tests && VQSDK_WHEELHOUSE=$work/dist "$tpy" -m pytest -q -rs -p no:cacheprovider "$@" \
            test_wheel.py test_selfcheck.py test_demo.py test_vectors.py)
    fi
}

tools
libcrypto
[ "${1:-}" = libcrypto ] && exit 0
mode=all
case "${1:-}" in wheels|tests) mode=$1; shift ;; esac
mkdir -p "$work/dist"
# A fresh copy of the sources (tar keeps their times), the previous build
# folder kept: setup.py keys its objects on the settings and reuses only those.
[ -d "$work/source/build" ] && mv "$work/source/build" "$work/build.keep"
stage_source "$work/source"
[ -d "$work/build.keep" ] && mv "$work/build.keep" "$work/source/build"
pythons=${VQSDK_PORTABLE_PYTHONS:-3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13}
full_pythons=" ${VQSDK_PORTABLE_FULL:-3.6 3.11 3.13} "
results=()
status=0
declare -A wheel_of
for v in $pythons; do
    t0=$SECONDS
    if [ $mode = tests ]; then
        # The wheels an earlier `.ci/portable.sh wheels` built.
        wheel_of[$v]=$(ls "$work"/dist/vqspecapisdk-*-cp${v/./}-*manylinux2014_x86_64.whl 2>/dev/null | head -n 1 || true)
        [ -n "${wheel_of[$v]}" ] || { results+=("CPython $v: FAIL (no wheel in $work/dist)"); status=1; }
        continue
    fi
    rm -f "$work"/dist/vqspecapisdk-*-cp${v/./}-*.whl
    if py=$(find_python "$v") && build_wheel "$v" "$py"; then
        wheel_of[$v]=$WHEEL
        results+=("CPython $v: $(basename "$WHEEL") $(du -k "$WHEEL" | cut -f1) KiB, built and audited in $((SECONDS - t0)) s")
    else
        results+=("CPython $v: FAIL (build or audit)"); status=1
    fi
done
if [ $mode != wheels ]; then
    for v in $pythons; do
        [ -n "${wheel_of[$v]:-}" ] || continue
        t0=$SECONDS
        case "$full_pythons" in *" $v "*) full=1 what="whole suite" ;; *) full=0 what="smoke tests" ;; esac
        WHEEL=${wheel_of[$v]}
        if test_wheel "$v" "$(find_python "$v")" "$full" "$@"; then r=pass; else r=FAIL; status=1; fi
        results+=("CPython $v: $what $r in $((SECONDS - t0)) s")
    done
fi
echo "=== portable wheels (in $work/dist):"
printf '    %s\n' "${results[@]}"
exit $status
