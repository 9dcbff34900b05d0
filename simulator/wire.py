"""The platform's own wire primitives, written independently of the SDK.

Signatures, cipher texts and Base64 are computed here with hashlib, hmac,
base64 and pycryptodome only, so that a fault in the SDK cannot cancel
itself out on both sides of an exchange.
"""
import base64
import hashlib
import hmac
from typing import Tuple

from Crypto.Cipher import AES
from Crypto.Util.Padding import pad, unpad

BLOCK = 32  # the platform pads to 32 bytes, not to the AES block


class SecretRecord(object):
    """One secret record: version, signing token, AES key text, program id."""

    def __init__(self, ver: str, token: str, encoding_aes_key: str, program_id: str) -> None:
        self.ver = ver
        self.token = token
        self.encoding_aes_key = encoding_aes_key
        self.program_id = program_id

    def line(self) -> str:
        """The comma-separated secret line, as the secret file holds it."""
        return ",".join([self.ver, self.token, self.encoding_aes_key, self.program_id])

    def debug_token(self) -> str:
        """The secret line as a debug token (Base64)."""
        return base64.b64encode(self.line().encode("utf-8")).decode("ascii")

    @classmethod
    def from_line(cls, line: str) -> "SecretRecord":
        """The record of a secret line "ver,token,aes key,program id"."""
        parts = line.strip().split(",")
        if len(parts) != 4:
            raise ValueError("a secret line has 4 comma-separated fields, not %d" % len(parts))
        return cls(*parts)

    @classmethod
    def from_debug_token(cls, token: str) -> "SecretRecord":
        """The record inside a debug token."""
        return cls.from_line(base64.b64decode(token.strip()).decode("utf-8"))

    def __repr__(self) -> str:
        # Never show the token or the key.
        return "SecretRecord(ver=%r, program_id=%r)" % (self.ver, self.program_id)


def aes_key(key_text: str) -> Tuple[bytes, bytes]:
    key = base64.b64decode(key_text + "=")
    return key, key[:16]


def encrypt(key_text: str, plain: str) -> str:
    """Wire text of a body: Base64 of AES-CBC, IV = first 16 key bytes."""
    if not plain:
        return plain
    key, iv = aes_key(key_text)
    cipher = AES.new(key, AES.MODE_CBC, iv)
    return base64.b64encode(cipher.encrypt(pad(plain.encode("utf-8"), BLOCK))).decode("ascii")


def decrypt(key_text: str, wire: str) -> str:
    """Body text of a wire text."""
    if not wire:
        return wire
    key, iv = aes_key(key_text)
    cipher = AES.new(key, AES.MODE_CBC, iv)
    return unpad(cipher.decrypt(base64.b64decode(wire)), BLOCK).decode("utf-8")


def sign(token: str, body: str, timestamp: object, nonce: object, ver: object) -> str:
    """HMAC-SHA-256 over the five sorted lines, as lower-case hex."""
    digest = hashlib.md5(body.encode("utf-8")).hexdigest()
    lines = sorted([
        "body-md5=%s\n" % digest,
        "vq-timestamp=%s\n" % (timestamp,),
        "method=POST\n",
        "vq-nonce=%s\n" % (nonce,),
        "vq-secret-ver=%s\n" % (ver,),
    ])
    return hmac.new(token.encode("utf-8"), "".join(lines).encode("utf-8"), hashlib.sha256).hexdigest()


def make_key_text(seed: str) -> str:
    """A 43-character AES key text derived from a seed (tests and demos)."""
    raw = hashlib.sha256(seed.encode("utf-8")).digest()
    return base64.b64encode(raw).decode("ascii").rstrip("=")
