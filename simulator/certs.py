"""Throw-away certificates for the platform stand-in.

`make_certs(directory)` writes a fresh test CA and a server certificate for
127.0.0.1 (subjectAltName IP:127.0.0.1 and DNS:localhost) signed by it, with
the `openssl` command line tool:

    ca.pem, ca.key          the test CA (self-signed)
    server.pem, server.key  the server's certificate and key

`make_untrusted_certs(directory)` writes a second, unrelated pair of the same
shape: a server that uses it is refused by a client that trusts only the
first CA.

EC P-256 keys keep generation fast. Nothing here is fit for anything but
tests on the loopback interface.
"""
import os
import subprocess
from typing import Iterator, List

OPENSSL = os.environ.get("OPENSSL", "openssl")

_CONFIG = """\
[ req ]
distinguished_name = dn
prompt = no

[ dn ]
CN = placeholder

[ v3_ca ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
"""

_SERVER_EXT = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
"""


class CertPaths(object):
    """Where one CA and its server certificate were written."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        self.ca = os.path.join(directory, "ca.pem")
        self.ca_key = os.path.join(directory, "ca.key")
        self.cert = os.path.join(directory, "server.pem")
        self.key = os.path.join(directory, "server.key")

    def exist(self) -> bool:
        return all(os.path.isfile(p) for p in (self.ca, self.cert, self.key))

    def __iter__(self) -> Iterator[str]:
        # ca_path, cert_path, key_path = make_certs(d)
        return iter((self.ca, self.cert, self.key))

    def __repr__(self) -> str:
        return "CertPaths(%r)" % self.directory


def _run(args: List[str], cwd: str) -> str:
    proc = subprocess.Popen([OPENSSL] + args, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True)
    out, err = proc.communicate(timeout=60)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed (%d): %s" % (args[0], proc.returncode, err.strip()))
    return out


def make_certs(directory: str, ca_name: str = "vq test CA", days: int = 30) -> CertPaths:
    """Write a fresh CA and a 127.0.0.1 server certificate into `directory`.

    Returns a CertPaths (iterable as (ca.pem, server.pem, server.key)).
    """
    if not os.path.isdir(directory):
        os.makedirs(directory)
    paths = CertPaths(directory)
    config = os.path.join(directory, "openssl.cnf")
    ext = os.path.join(directory, "server.ext")
    csr = os.path.join(directory, "server.csr")
    with open(config, "w") as f:
        f.write(_CONFIG)
    with open(ext, "w") as f:
        f.write(_SERVER_EXT)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    _run(["req", "-x509", "-config", config, "-extensions", "v3_ca"] + ec +
         ["-keyout", paths.ca_key, "-out", paths.ca, "-days", str(days), "-sha256",
          "-subj", "/CN=%s" % ca_name], directory)
    _run(["req", "-new", "-config", config] + ec +
         ["-keyout", paths.key, "-out", csr, "-subj", "/CN=127.0.0.1"], directory)
    _run(["x509", "-req", "-in", csr, "-CA", paths.ca, "-CAkey", paths.ca_key,
          "-CAcreateserial", "-out", paths.cert, "-days", str(days), "-sha256",
          "-extfile", ext], directory)
    for p in (paths.ca_key, paths.key):
        os.chmod(p, 0o600)
    return paths


def make_untrusted_certs(directory: str) -> CertPaths:
    """A second, unrelated CA and server certificate (for refusal tests)."""
    return make_certs(directory, ca_name="vq untrusted CA")


def ensure_certs(directory: str) -> CertPaths:
    """The certificates in `directory`, made there first if missing."""
    paths = CertPaths(directory)
    if paths.exist():
        return paths
    return make_certs(directory)
