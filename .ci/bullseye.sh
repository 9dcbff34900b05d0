#!/usr/bin/env bash
# Proof on an older system without a compiler: a Debian bullseye root folder
# (glibc 2.31, OpenSSL 1.1.1, Python 3.9) made with debootstrap, holding
# python3 and pip and neither a compiler nor OpenSSL's headers.  There:
#   - the cp39 portable wheel installs with pip (no build),
#   - the README's first code block runs against the simulator,
#   - the demo runs a signed exchange both ways (requests' HTTPS on the
#     system's OpenSSL 1.1.1 and the module's own libcrypto in one process),
#   - the wheel's own tests pass.
#   .ci/bullseye.sh [WHEELHOUSE]     (default .venv/portable/dist, from .ci/portable.sh wheels)
# Environment:
#   VQSDK_CACHE      cache folder (default ~/.cache/vqsdk): the pristine root as a tarball
#   VQSDK_BULLSEYE   where the root is laid out (default .venv/bullseye; made anew each run)
#   VQSDK_BULLSEYE_ONLY_ROOT=1   only make the cached root (no wheel needed)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=${VQSDK_CACHE:-$HOME/.cache/vqsdk}
house=${1:-.venv/portable/dist}
case "$house" in /*) ;; *) house=$PWD/$house ;; esac
chroot_dir=${VQSDK_BULLSEYE:-.venv/bullseye}
case "$chroot_dir" in /*) ;; *) chroot_dir=$PWD/$chroot_dir ;; esac
packages=python3,python3-pip,python3-venv,ca-certificates
tarball=$cache/bullseye-$(echo "$packages" | sha256sum | cut -c1-8).tar

command -v debootstrap >/dev/null || {
    apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >/dev/null; }

if [ ! -s "$tarball" ]; then
    echo "=== bullseye: debootstrap (minbase + $packages) into the cache"
    tmp=$cache/bullseye.tmp
    rm -rf "$tmp"
    mkdir -p "$cache"
    debootstrap --variant=minbase --include="$packages" bullseye "$tmp" http://deb.debian.org/debian \
        >"$cache/debootstrap.log" 2>&1 || { tail -n 30 "$cache/debootstrap.log" >&2; exit 1; }
    # python3-pip recommends build-essential and python3-dev; minbase leaves recommends out.
    tar -C "$tmp" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$tmp"
fi

[ "${VQSDK_BULLSEYE_ONLY_ROOT:-}" = 1 ] && exit 0     # the cached root alone
whl=$(ls "$house"/vqspecapisdk-*-cp39-cp39-manylinux2014_x86_64.whl 2>/dev/null | head -n 1 || true)
[ -n "$whl" ] || { echo "no cp39 manylinux2014 wheel in $house (run .ci/portable.sh wheels first)" >&2; exit 1; }

cleanup() {
    for m in proc dev/pts dev sys; do umount -l "$chroot_dir/$m" 2>/dev/null || true; done
}
trap cleanup EXIT
cleanup
rm -rf "$chroot_dir"
mkdir -p "$chroot_dir"
tar -C "$chroot_dir" -xf "$tarball"
mount -t proc proc "$chroot_dir/proc"
mount --bind /dev "$chroot_dir/dev"
mount --bind /dev/pts "$chroot_dir/dev/pts"
mount --bind /sys "$chroot_dir/sys"
# Name resolution and the package index as this machine reaches them.
cp /etc/resolv.conf /etc/hosts "$chroot_dir/etc/"
cert=$(python3 -m pip config get global.cert 2>/dev/null || echo /etc/ssl/certs/ca-certificates.crt)
cp "$cert" "$chroot_dir/etc/ssl/certs/host-ca.crt"
mkdir -p "$chroot_dir/work"
cp "$whl" "$chroot_dir/work/"
git ls-files -z README.md .ci/readme.py examples simulator tests | tar -cf - --null -T - | tar -xf - -C "$chroot_dir/work"

in_root() { chroot "$chroot_dir" /usr/bin/env -i HOME=/root PATH=/usr/bin:/bin LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONIOENCODING=utf-8 "$@"; }

echo "=== bullseye root: what is there"
in_root /bin/sh -c 'cat /etc/debian_version; python3 --version; ldd --version | head -n 1;
    python3 -c "import ssl; print(ssl.OPENSSL_VERSION)";
    for t in cc gcc g++ c++ clang; do command -v $t >/dev/null && echo "compiler found: $t" && exit 1; done;
    [ -e /usr/include/openssl/evp.h ] && { echo "OpenSSL headers found"; exit 1; }; echo "no compiler, no OpenSSL headers"'

echo "=== bullseye root: pip install $(basename "$whl") into a venv"
in_root /bin/sh -c "python3 -m venv /work/venv && /work/venv/bin/pip --version &&
    /work/venv/bin/pip install -q --only-binary=:all: /work/$(basename "$whl") pytest" 2>&1 | grep -v "is ignored" || true
in_root /work/venv/bin/python -c "import vqspecapisdk, sys; print('vqspecapisdk', vqspecapisdk.__version__, 'from', vqspecapisdk.__file__)"

echo "=== bullseye root: the README's code as written, against the simulator"
in_root /bin/sh -c 'cd /work && /work/venv/bin/python .ci/readme.py'

echo "=== bullseye root: demo (signed exchange both ways; requests on OpenSSL 1.1.1 beside the module)"
in_root /bin/sh -c 'cd /work && /work/venv/bin/python examples/demo.py' | tail -n 14

echo "=== bullseye root: the installed wheel's tests"
in_root /bin/sh -c "cd /work/tests && VQSDK_WHEELHOUSE=/work /work/venv/bin/python -m pytest -q -rs -p no:cacheprovider test_wheel.py test_selfcheck.py"
