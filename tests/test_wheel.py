"""The installed portable wheel: its tag, a module that carries its own
libcrypto and exports nothing but its init function, no clash with the
libcrypto that the interpreter's ssl module and requests load, and pip's
refusal of a wheel for another interpreter or platform.

Skipped unless the module comes from an installed manylinux wheel (as
.ci/portable.sh and .ci/bullseye.sh install it)."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

import vqspecapisdk
from conftest import ROOT, run_python, wheel_tags

SO = vqspecapisdk.__file__
HERE = os.path.dirname(os.path.realpath(SO))




pytestmark = pytest.mark.skipif(not any("manylinux" in t for t in wheel_tags()),
                                reason="the module is not from an installed portable (manylinux) wheel")

ABI = "cp%d%d%s" % (sys.version_info[0], sys.version_info[1], "m" if sys.version_info < (3, 8) else "")

# Loads the extension's file without importing it (nothing else loaded), and
# tells which libraries the process then maps and whether names resolve in it.
LOAD_ONLY = """
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1], mode=ctypes.RTLD_LOCAL)
with open("/proc/self/maps") as f:
    libs = sorted({l.split()[-1].rsplit("/", 1)[-1] for l in f if ".so" in l.split()[-1]})
print(" ".join(n for n in libs if n.startswith(("libcrypto", "libssl", "libstdc++", "libc++"))) or "-")
for name in sys.argv[2:]:
    print(name, hasattr(lib, name))
"""

HIDDEN = ["EVP_DigestInit_ex", "EVP_MD_fetch", "HMAC", "OPENSSL_init_crypto", "OpenSSL_version", "AES_encrypt"]


def test_tag_is_this_interpreters_manylinux2014():
    assert wheel_tags() == ["cp%d%d-%s-manylinux2014_x86_64" % (sys.version_info[0], sys.version_info[1], ABI)]


def test_module_needs_no_libcrypto_and_exports_only_its_init():
    proc = subprocess.run([sys.executable, "-I", "-S", "-c", LOAD_ONLY, SO, "PyInit_vqspecapisdk"] + HIDDEN,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "-"          # neither libcrypto, libssl nor a C++ runtime was loaded with it
    assert lines[1:] == ["PyInit_vqspecapisdk True"] + ["%s False" % n for n in HIDDEN]


# In one process: the interpreter's ssl/hashlib (the system's libcrypto) and
# requests make HTTPS calls to the simulator, verification on, while the
# module signs, encrypts and checks the answers with its own libcrypto.
CLASH = """
import hashlib, json, os, ssl, sys
sys.path.insert(0, %(root)r)
from simulator import wire
from simulator.platform import PlatformSimulator
token = hashlib.sha256(b"wheel clash token").hexdigest()[:32]
secret = wire.SecretRecord("1", token, wire.make_key_text("wheel clash key"), "wheel-program")
sim = PlatformSimulator(secret, "wheel-access-token", lifetime=60).start()
os.environ["REQUESTS_CA_BUNDLE"] = sim.ca_path
import vqspecapisdk as m
m.DEBUG_DOMAIN = sim.base_url
m.spec_open_debug_mode(secret.debug_token(), "wheel-access-token")
client = m.ChatDataSDK("wwcorp-wheel", 1000001, "ability-wheel", "")
print(client.echo(json.dumps({"hello": "wheel"})))
hashlib.sha256(b"the interpreter's own libcrypto")
with open("/proc/self/maps") as f:
    print(sorted({l.split()[-1].rsplit("/", 1)[-1] for l in f if "libcrypto" in l}))
print(ssl.OPENSSL_VERSION)
"""


def test_https_through_requests_beside_the_modules_libcrypto():
    proc = run_python(CLASH % {"root": ROOT}, env={"PYTHONPATH": ROOT})
    assert proc.returncode == 0, proc.stdout + proc.stderr
    out = proc.stdout.splitlines()
    assert '{"hello": "wheel"}' in out
    # The interpreter's own libcrypto is mapped (the module's is inside it).
    assert "libcrypto.so" in [l for l in out if l.startswith("[")][-1]


def wheelhouse():
    d = os.environ.get("VQSDK_WHEELHOUSE", "")
    return sorted(glob.glob(os.path.join(d, "vqspecapisdk-*.whl"))) if d else []


def renamed(tmp_path, old, new):
    """This interpreter's wheel under another name (pip decides by the name's tags)."""
    mine = [w for w in wheelhouse() if "-%s-%s-" % (ABI.rstrip("m"), ABI) in os.path.basename(w)]
    if not mine:
        return None
    dest = tmp_path / os.path.basename(mine[0]).replace(old, new)
    shutil.copy(mine[0], str(dest))
    return str(dest)


def other_interpreter_wheel(tmp_path):
    other = "cp313-cp313" if sys.version_info[:2] != (3, 13) else "cp36-cp36m"
    return renamed(tmp_path, "-%s-%s-" % (ABI.rstrip("m"), ABI), "-%s-" % other)


def other_platform_wheel(tmp_path):
    return renamed(tmp_path, "x86_64", "aarch64")


@pytest.mark.skipif(not wheelhouse(), reason="VQSDK_WHEELHOUSE names no folder of built wheels")
@pytest.mark.parametrize("make", [other_interpreter_wheel, other_platform_wheel])
def test_pip_refuses_a_wheel_for_another_interpreter_or_platform(tmp_path, make):
    whl = make(tmp_path)
    assert whl, "no such wheel in the wheelhouse"
    proc = subprocess.run([sys.executable, "-m", "pip", "install", "--no-deps", "--target", str(tmp_path / "t"), whl],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=120)
    assert proc.returncode != 0
    assert "is not a supported wheel on this platform" in proc.stdout
