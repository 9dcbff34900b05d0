"""Shared pieces of the fuzz targets: the byte-level input format, the secret
record the targets run under, and independent reference models of the
decoders.

Input format.  Every target reads its input through `Reader`, which wraps
atheris.FuzzedDataProvider and uses only two of its calls:
  * ConsumeIntInRange(lo, hi): integers, taken from the END of the buffer;
  * ConsumeBytes(n): raw bytes, taken from the FRONT of the buffer.
Texts are a length (an integer) followed by that many bytes, decoded as UTF-8
with "surrogateescape", so arbitrary bytes give lone surrogates too.
`Writer` lays out bytes so that `Reader` reads back exactly what was written;
make_corpus.py uses it to turn valid messages into seed inputs, and checks the
round trip, so a change in the provider's layout shows up as a corpus error
rather than as a silently useless corpus.

Reference models.  The `expect_*` functions say, from the message alone and
with the platform's own primitives in simulator/wire.py (hashlib, hmac,
base64, json and pycryptodome; nothing of the SDK), what the SDK must do with
it: an outcome class and, on success, the values the getters must return.
"""
import base64
import binascii
import hashlib
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from Crypto.Cipher import AES  # noqa: E402
from Crypto.Util.Padding import unpad  # noqa: E402

from simulator import wire  # noqa: E402


# ---------------------------------------------------------------------------
# The secret record the fuzz targets run under.  Nothing secret: every value
# is derived from a fixed label, here and in make_corpus.py alike.

def _derived(label, n=32):
    return hashlib.sha256(("vq-fuzz/" + label).encode("utf-8")).hexdigest()[:n]


RECORD = wire.SecretRecord("3", _derived("token"), wire.make_key_text("vq-fuzz/aes"),
                           "prog-" + _derived("program", 8))
OTHER_KEY = wire.make_key_text("vq-fuzz/other-aes")
OTHER_TOKEN = _derived("other-token")

INBOUND_NAMES = ["vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp",
                 "vq-timestamp-ms", "vq-req-id", "vq-inqueue-timeout-ms"]
OUTBOUND_NAMES = ["vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp", "vq-status"]
# Names a header may be drawn from; the rest of the index range is free text.
HEADER_NAMES = INBOUND_NAMES + ["vq-status", "content-type", "content-length", "vq-ver",
                                "vq-signature ", " vq-nonce", "vq_nonce", "host"]
NAME_TABLE = 32          # header-name selector range: 0..NAME_TABLE-1
FREE_NAME = NAME_TABLE - 1
MAX_HEADERS = 12
MAX_NAME = 48
MAX_VALUE = 96
MAX_BODY = 6000
MAX_LINE = 600


# ---------------------------------------------------------------------------
# Input format

class Reader(object):
    def __init__(self, data):
        import atheris
        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def raw(self, maxlen):
        return self.fdp.ConsumeBytes(self.int(0, maxlen))

    def text(self, maxlen):
        return self.raw(maxlen).decode("utf-8", "surrogateescape")


class Writer(object):
    """Lays out an input that Reader reads back call for call."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()      # kept reversed: first consumed byte last

    def int(self, lo, hi, value):
        assert lo <= value <= hi, (lo, value, hi)
        span, nbytes = hi - lo, 0
        while nbytes < 8 and (span >> (8 * nbytes)) > 0:
            nbytes += 1
        # The provider takes these bytes from the end, most significant first.
        chunk = (value - lo).to_bytes(nbytes, "big") if nbytes else b""
        self.back[0:0] = bytes(reversed(chunk))
        return self

    def raw(self, maxlen, data):
        assert len(data) <= maxlen, (len(data), maxlen)
        self.int(0, maxlen, len(data))
        self.front += data
        return self

    def text(self, maxlen, s):
        return self.raw(maxlen, s.encode("utf-8", "surrogateescape"))

    def data(self):
        return bytes(self.front) + bytes(self.back)


# ---------------------------------------------------------------------------
# Odd values for the rare ill-typed inputs

class StrSub(str):
    """A text subclass: names are matched by their own lower()."""


def odd_value(r, name, value):
    """A header element that is not a plain (text, text) pair."""
    kind = r.int(0, 11)
    return [
        lambda: (name,),
        lambda: (name, value, value),
        lambda: (),
        lambda: 7,
        lambda: None,
        lambda: name + value,                 # a text: unpacks only at length 2
        lambda: (name.encode("utf-8", "surrogateescape"), value),
        lambda: (None, value),
        lambda: (len(name), value),
        lambda: (name, None),
        lambda: (name, len(value)),
        lambda: (name, value.encode("utf-8", "surrogateescape")),
    ][kind]()


def read_name(r):
    sel = r.int(0, NAME_TABLE - 1)
    if sel >= len(HEADER_NAMES):
        return r.text(MAX_NAME)
    name = HEADER_NAMES[sel]
    case = r.int(0, 3)
    if case == 1:
        name = name.upper()
    elif case == 2:
        name = name.title()
    elif case == 3:
        bits = r.int(0, 0xFFFFFFFF)
        name = "".join(c.upper() if (bits >> (i % 32)) & 1 else c for i, c in enumerate(name))
    return name


def write_name(w, name):
    """Seed side of read_name: a known name as-is, anything else as free text."""
    if name in HEADER_NAMES:
        w.int(0, NAME_TABLE - 1, HEADER_NAMES.index(name)).int(0, 3, 0)
    elif name.lower() in HEADER_NAMES and name == name.upper():
        w.int(0, NAME_TABLE - 1, HEADER_NAMES.index(name.lower())).int(0, 3, 1)
    else:
        w.int(0, NAME_TABLE - 1, FREE_NAME).text(MAX_NAME, name)


def read_headers(r):
    """A header list; returns (headers, well_typed)."""
    headers, well_typed = [], True
    for _ in range(r.int(0, MAX_HEADERS)):
        shape = r.int(0, 15)
        name = read_name(r)
        value = r.text(MAX_VALUE)
        if shape <= 11:
            headers.append((name, value))
        elif shape == 12:
            headers.append([name, value])
        elif shape == 13:
            headers.append((StrSub(name), value))
        else:
            headers.append(odd_value(r, name, value))
            well_typed = False
    return headers, well_typed


def write_headers(w, headers):
    w.int(0, MAX_HEADERS, len(headers))
    for name, value in headers:
        w.int(0, 15, 0)
        write_name(w, name)
        w.text(MAX_VALUE, value)


def set_header(headers, wanted, value, fold):
    """Give the last header named `wanted` the value, or append one."""
    for i in range(len(headers) - 1, -1, -1):
        name = headers[i][0]
        if (name.lower() if fold else name) == wanted:
            headers[i] = (headers[i][0], value)
            return
    headers.append((wanted, value))


def last_values(headers, names, fold):
    """What a decoder picks out of a well-typed list: last occurrence wins."""
    found = dict((n, None) for n in names)
    for name, value in headers:
        key = name.lower() if fold else name
        if key in found:
            found[key] = value
    return found


def sign_or_none(token, body, ts, nonce, ver):
    try:
        return wire.sign(token, body, ts, nonce, ver)
    except (UnicodeError, TypeError, AttributeError):
        return None


def encrypt_or_none(key, plain):
    try:
        return wire.encrypt(key, plain)
    except (UnicodeError, ValueError, TypeError):
        return None


# ---------------------------------------------------------------------------
# Message layouts shared by the targets and the corpus generator

BODY_RAW, BODY_ENCRYPT, BODY_OTHER_KEY = 0, 1, 2
FIX_SIGN, FIX_VER, FIX_TIME = 1, 2, 4


def read_message(r, fold):
    """(headers, body, well_typed) for the two header-list decoders.

    body_mode chooses between a body taken as it is and a plaintext that is
    encrypted here; the fix-ups set the version in force, a fresh time stamp
    and a correct signature, so that decryption and JSON parsing are reached
    by inputs whose headers and bodies were otherwise mutated freely."""
    body_mode = r.int(0, 3)
    fixups = r.int(0, 7)
    headers, well_typed = read_headers(r)
    body = r.text(MAX_BODY)
    if body_mode == BODY_ENCRYPT:
        body = encrypt_or_none(RECORD.encoding_aes_key, body) or body
    elif body_mode == BODY_OTHER_KEY:
        body = encrypt_or_none(OTHER_KEY, body) or body
    if fixups and well_typed:
        names = INBOUND_NAMES if fold else OUTBOUND_NAMES
        if fixups & FIX_VER:
            set_header(headers, "vq-secret-ver", RECORD.ver, fold)
        if fixups & FIX_TIME:
            set_header(headers, "vq-timestamp", str(int(time.time())), fold)
        if fixups & FIX_SIGN:
            v = last_values(headers, names, fold)
            sig = sign_or_none(RECORD.token, body, v["vq-timestamp"], v["vq-nonce"], v["vq-secret-ver"])
            if sig is not None:
                set_header(headers, "vq-signature", sig, fold)
    return headers, body, well_typed


def write_message(w, headers, body, body_mode=BODY_RAW, fixups=0):
    w.int(0, 3, body_mode).int(0, 7, fixups)
    write_headers(w, headers)
    w.text(MAX_BODY, body)


# ---------------------------------------------------------------------------
# Reference models

class Outcome(object):
    """What the SDK must do: `kinds` is the set of acceptable outcome classes
    (more than one only where the wall clock can tip a decision), `values`
    the getter results on success."""

    def __init__(self, kinds, values=None, note=""):
        self.kinds = set([kinds]) if isinstance(kinds, str) else set(kinds)
        self.values = values
        self.note = note

    def __repr__(self):
        return "Outcome(%s, %r)" % ("|".join(sorted(self.kinds)), self.values)


def classify(exc):
    """The outcome class of an exception raised by the SDK, or None when the
    exception is outside everything the SDK documents."""
    import vqspecapisdk
    if exc is None:
        return "ok"
    if isinstance(exc, (SystemError, MemoryError)):
        return None
    if isinstance(exc, vqspecapisdk.VQToSpecRetryNotifyException):
        return "retry:%s:%s" % (getattr(exc, "message", "?"), exc.GetStatus())
    if type(exc) is Exception:
        return "error:%s" % (exc.args[0] if len(exc.args) == 1 else exc.args,)
    if isinstance(exc, RecursionError):
        return "RecursionError"
    for t in (ValueError, TypeError, AttributeError):
        if isinstance(exc, t):
            return t.__name__
    return None


def decrypt_ref(key_text, wire_text):
    """Body decryption as the platform does it; raises ValueError on failure."""
    if wire_text is None or len(wire_text) == 0:
        return wire_text
    key = base64.b64decode(key_text + "=")
    cipher = AES.new(key, AES.MODE_CBC, key[:16])
    return unpad(cipher.decrypt(base64.b64decode(wire_text)), 32).decode("utf-8")


def _int_or_error(s):
    try:
        return int(s), None
    except ValueError:
        return None, "ValueError"


def expect_inbound(headers, body, t_before, t_after):
    v = last_values(headers, INBOUND_NAMES, fold=True)
    ver, sig, nonce, ts = v["vq-secret-ver"], v["vq-signature"], v["vq-nonce"], v["vq-timestamp"]
    req_id = v["vq-req-id"] if v["vq-req-id"] is not None else ""
    if ver is None or nonce is None or ts is None or sig is None:
        return Outcome("error:Invalid header")
    if ver != RECORD.ver:
        return Outcome("retry:ver not matched, retry notify:1")
    kinds = set()
    if isinstance(ts, str) and ts.isdigit():
        beg, err = _int_or_error(ts)
        if err:
            return Outcome(err, note="vq-timestamp isdigit but not int")
        beg *= 1000
        ms = v["vq-timestamp-ms"]
        if isinstance(ms, str) and ms.isdigit():
            beg, err = _int_or_error(ms)
            if err:
                return Outcome(err, note="vq-timestamp-ms isdigit but not int")
        limit = 0
        inq = v["vq-inqueue-timeout-ms"]
        if isinstance(inq, str) and inq.isdigit():
            limit, err = _int_or_error(inq)
            if err:
                return Outcome(err, note="vq-inqueue-timeout-ms isdigit but not int")

        def timed_out(now_s):
            diff = int(now_s * 1000) - beg
            return limit > 0 and diff > 0 and diff > limit
        early, late = timed_out(t_before), timed_out(t_after)
        if early and late:
            return Outcome("retry:inqueue timeout:2")
        if early or late:
            kinds.add("retry:inqueue timeout:2")
    try:
        real = wire.sign(RECORD.token, body, ts, nonce, ver)
    except UnicodeEncodeError:
        kinds.add("ValueError")
        return Outcome(kinds, note="text that UTF-8 cannot encode")
    if real != sig:
        kinds.add("error:Invalid signature")
        return Outcome(kinds)
    try:
        plain = decrypt_ref(RECORD.encoding_aes_key, body)
    except ValueError:
        kinds.add("ValueError")
        return Outcome(kinds, note="body does not decrypt")
    try:
        obj = json.loads(plain)
    except ValueError:
        kinds.add("ValueError")
        return Outcome(kinds, note="plaintext is not JSON")
    except RecursionError:
        kinds.add("RecursionError")
        return Outcome(kinds, note="JSON nested too deeply")
    if not isinstance(obj, dict):
        kinds.update(["AttributeError", "TypeError"])
        return Outcome(kinds, note="JSON is not an object")
    defaults = [("corpid", ""), ("agentid", 0), ("data", ""), ("call_type", 0), ("is_async", False),
                ("job_info", ""), ("ability_id", ""), ("notify_id", "")]
    values = dict((k, obj.get(k, d)) for k, d in defaults)
    values["req_id"] = req_id
    kinds.add("ok")
    return Outcome(kinds, values)


def expect_outbound(headers, body):
    v = last_values(headers, OUTBOUND_NAMES, fold=False)
    ver, sig, nonce, ts, status = (v["vq-secret-ver"], v["vq-signature"], v["vq-nonce"],
                                   v["vq-timestamp"], v["vq-status"])
    if ver is None and sig is None:
        return Outcome("ok", {"status": "0", "data": body})
    if ver is None or nonce is None or ts is None or sig is None or status is None:
        return Outcome("error:Invalid header")
    try:
        real = wire.sign(RECORD.token, body, ts, nonce, ver)
    except UnicodeEncodeError:
        return Outcome("ValueError", note="text that UTF-8 cannot encode")
    if real != sig:
        return Outcome("error:Invalid signature")
    try:
        plain = decrypt_ref(RECORD.encoding_aes_key, body)
    except ValueError:
        return Outcome("ValueError", note="body does not decrypt")
    return Outcome("ok", {"status": status, "data": plain})


def expect_decrypt(key_text, wire_text):
    try:
        return Outcome("ok", {"data": decrypt_ref(key_text, wire_text)})
    except ValueError:
        return Outcome("ValueError")


def split_line(line):
    pieces = line.strip().split(",")
    if len(pieces) < 4:
        return None
    return dict(zip(("ver", "token", "encoding_aes_key", "program_id"), pieces[:4]))


def expect_secret_line(line):
    fields = split_line(line)
    if fields is None:
        return Outcome("error:invalid secret_key format")
    return Outcome("ok", fields)


def expect_debug_token(token, access):
    if len(token) == 0 or len(access) == 0:
        return Outcome("error:invalid debug more param")
    try:
        text = base64.b64decode(token).decode("utf-8")
    except (ValueError, binascii.Error):
        return Outcome("ValueError", note="token is not Base64 of UTF-8")
    fields = split_line(text)
    if fields is None:
        return Outcome("error:invalid secret_key format")
    return Outcome("ok", fields)


# ---------------------------------------------------------------------------
# Inputs of the other targets

STATUS_TABLE = [200, 500, 0, 404, 302, -1]


def read_status(r):
    sel = r.int(0, 7)
    if sel < len(STATUS_TABLE):
        return STATUS_TABLE[sel]
    if sel == 6:
        return r.int(0, 65535)
    x = r.int(0, 255)
    return [2 ** 63 + x, -(2 ** 63) - 1 - x, 2 ** 100 + x, 2 ** 31 + x][r.int(0, 3)]


def write_status(w, code):
    w.int(0, 7, STATUS_TABLE.index(code))


def decorate(r, text):
    """Line breaks, lost or extra padding, a stray character: the ways a
    Base64 text can be bent in transit."""
    flags = r.int(0, 15)
    if flags & 1:
        text = "\n".join(text[i:i + 20] for i in range(0, len(text), 20))
    if flags & 2:
        text = text.rstrip("=")
    if flags & 4:
        text += "="
    if flags & 8:
        pos = r.int(0, 255)
        stray = ["!", "\u00e9", " ", "=", "-", "_", "\r\n", "\x00"][r.int(0, 7)]
        text = text[:pos] + stray + text[pos:]
    return text


KEY_RECORD, KEY_OTHER, KEY_TEXT, KEY_DERIVED, KEY_RAW = range(5)
WIRE_TEXT, WIRE_ENCRYPT, WIRE_CIPHER, WIRE_B64 = range(4)


def read_key(r):
    mode = r.int(0, 4)
    if mode == KEY_RECORD:
        return RECORD.encoding_aes_key
    if mode == KEY_OTHER:
        return OTHER_KEY
    if mode == KEY_TEXT:
        return r.text(80)
    if mode == KEY_DERIVED:
        return wire.make_key_text(r.raw(16).hex())
    return base64.b64encode(r.raw(40)).decode("ascii")[:-1] or ""


def usable_key(key_text):
    try:
        key = base64.b64decode(key_text + "=")
        AES.new(key, AES.MODE_CBC, key[:16])
        return key
    except (ValueError, TypeError):
        return None


def read_decrypt(r):
    key_text = read_key(r)
    mode = r.int(0, 3)
    if mode == WIRE_TEXT:
        return key_text, r.text(MAX_BODY)
    if mode == WIRE_ENCRYPT:
        plain = r.text(MAX_BODY)
        wired = encrypt_or_none(key_text, plain)
        text = wired if wired is not None else plain
    else:
        raw = r.raw(MAX_BODY)
        key = usable_key(key_text)
        if mode == WIRE_CIPHER and key is not None:
            # Cipher text of arbitrary plaintext, padding and all: decryption
            # succeeds and the padding and UTF-8 checks see the fuzzer's bytes.
            raw += b"\0" * (-len(raw) % 16)
            raw = AES.new(key, AES.MODE_CBC, key[:16]).encrypt(raw)
        text = base64.b64encode(raw).decode("ascii")
    return key_text, decorate(r, text)


def write_decrypt(w, wire_text, key_mode=KEY_RECORD):
    w.int(0, 4, key_mode).int(0, 3, WIRE_TEXT).text(MAX_BODY, wire_text)


def read_secret_line(r):
    prefill = r.int(0, 1)
    if r.int(0, 1) == 0:
        line = r.text(MAX_LINE)
    else:
        fields = [r.text(64) for _ in range(r.int(0, 6))]
        line = r.text(8) + ",".join(fields) + r.text(8)
    return line, prefill


def write_secret_line(w, line, prefill=0):
    w.int(0, 1, prefill).int(0, 1, 0).text(MAX_LINE, line)


ACCESS_TOKEN = "fuzz-access-" + _derived("access", 8)
TOKEN_TEXT, TOKEN_B64_RAW, TOKEN_B64_LINE, TOKEN_ODD, TOKEN_EMPTY = range(5)


def read_debug(r):
    """(debug_token, access_token); either may be of a type other than text."""
    amode = r.int(0, 7)
    if amode <= 3:
        access = ACCESS_TOKEN
    elif amode == 4:
        access = ""
    elif amode == 5:
        access = None
    else:
        access = r.text(64)
    mode = r.int(0, 4)
    if mode == TOKEN_TEXT:
        token = r.text(MAX_LINE)
    elif mode == TOKEN_B64_RAW:
        token = decorate(r, base64.b64encode(r.raw(MAX_LINE)).decode("ascii"))
    elif mode == TOKEN_B64_LINE:
        line = r.text(MAX_LINE).encode("utf-8", "surrogatepass")
        token = decorate(r, base64.b64encode(line).decode("ascii"))
    elif mode == TOKEN_ODD:
        token = [None, b"", 5, StrSub("c2VjcmV0"), bytearray(b"MQ==")][r.int(0, 4)]
    else:
        token = ""
    return token, access


def write_debug(w, token):
    w.int(0, 7, 0).int(0, 4, TOKEN_TEXT).text(MAX_LINE, token)
