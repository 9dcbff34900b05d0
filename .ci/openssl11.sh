#!/usr/bin/env bash
# Builds the module against OpenSSL 1.1.1 (the libcrypto of the CPython 3.6
# era's systems) and runs the whole test suite on it with CPython 3.6.
#   .ci/openssl11.sh                 extra arguments go to pytest
# Debian bullseye's libssl1.1 and libssl-dev (1.1.1w) are fetched with apt
# (a private sources list and state, nothing installed on the system) and
# unpacked with dpkg -x into $VQSDK_OPENSSL11_DIR; setup.py takes their
# headers before the system's and links the module with an rpath to them.
# Environment:
#   VQSDK_OPENSSL11_PYTHON  interpreter version (default 3.6)
#   VQSDK_OPENSSL11_DIR     where the packages are unpacked (default .venv/openssl-1.1; kept between runs)
#   VQSDK_OPENSSL11_VENV    virtual environment to (re)create (default .venv/openssl11-<version>)
#   VQSDK_JOBS              parallel compile jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

v=${VQSDK_OPENSSL11_PYTHON:-3.6}
ossl=${VQSDK_OPENSSL11_DIR:-.venv/openssl-1.1}
venv=${VQSDK_OPENSSL11_VENV:-.venv/openssl11-$v}
case "$ossl" in /*) ;; *) ossl=$PWD/$ossl ;; esac
case "$venv" in /*) ;; *) venv=$PWD/$venv ;; esac
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
lib=$ossl/root/usr/lib/$arch

if [ ! -e "$lib/libcrypto.so.1.1" ] || [ ! -e "$ossl/root/usr/include/openssl/evp.h" ]; then
    echo "=== fetching OpenSSL 1.1.1 (Debian bullseye's libssl1.1, libssl-dev) into $ossl"
    rm -rf "$ossl"
    apt=$ossl/apt
    mkdir -p "$ossl/debs" "$ossl/root"
    private_apt "$apt" bullseye deb || exit 1
    (cd "$ossl/debs" && apt-get "${APT_OPTS[@]}" download libssl1.1 libssl-dev)
    for deb in "$ossl"/debs/*.deb; do
        case "$(dpkg-deb -f "$deb" Version)" in
            1.1.1*) ;;
            *) echo "$deb is not OpenSSL 1.1.1" >&2; exit 1 ;;
        esac
        dpkg -x "$deb" "$ossl/root"
    done
fi
for f in "$lib/libcrypto.so" "$ossl/root/usr/include/$arch/openssl/opensslconf.h"; do
    [ -e "$f" ] || { echo "the unpacked OpenSSL 1.1.1 lacks $f" >&2; exit 1; }
done

echo "=== CPython $v against $(grep -o 'OpenSSL 1\.1\.1[a-z]*' "$ossl/root/usr/include/openssl/opensslv.h" | head -n 1) in $ossl"
stage_source "$venv.source"
VQSDK_OPENSSL=$ossl/root VQSDK_JOBS=${VQSDK_JOBS:-2} make_venv "$v" "$venv" "$venv.source"

# The module must use that library, not the system's: linked by name, found by
# rpath, and the one mapped once it is imported.
vpy=$venv/bin/python
so=$("$vpy" -c 'import importlib.util as u; print(u.find_spec("vqspecapisdk").origin)')
readelf -d "$so" | grep -q 'NEEDED.*\[libcrypto\.so\.1\.1\]' || { echo "$so is not linked with libcrypto.so.1.1" >&2; exit 1; }
"$vpy" - "$lib/libcrypto.so.1.1" <<'PY'
import os, sys
import vqspecapisdk  # noqa: F401
want = os.path.realpath(sys.argv[1])
with open("/proc/self/maps") as f:
    mapped = {os.path.realpath(line.split()[-1]) for line in f if "libcrypto.so.1.1" in line}
if mapped != {want}:
    sys.exit("the module loaded %s, not %s" % (sorted(mapped) or "no libcrypto.so.1.1", want))
PY

echo "=== test suite on OpenSSL 1.1.1"
cd tests && exec "$vpy" -m pytest -q -p no:cacheprovider "$@" .
