"""Message security: the request signature and the body encryption.

The reference is the platform simulator's own wire primitives, written with
hashlib, hmac, base64 and pycryptodome only; the module must agree with them on
results and on errors (type and message) for every input.
"""
import base64
import binascii
import hashlib
import re
import threading

import pytest
from Crypto.Cipher import AES
from Crypto.Util.Padding import pad, unpad
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import vqspecapisdk as m
from conftest import load_vectors, run_python
from simulator import wire

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

B64_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
JUNK = [" ", "\n", "\r", "\t", "\x0b", "\x0c", "-", "_", ".", "*", "!", "\x00", "\x7f", "\\", ":"]
NON_ASCII = ["\u00e9", "\u4e2d", "\ud800", "\U0001f600", "\x80", "\u00ff"]

# every code point, with lone surrogates given a share of their own
ALL_TEXT = st.one_of(st.text(st.characters(blacklist_categories=())),
                     st.text(st.one_of(st.characters(blacklist_categories=()),
                                       st.characters(whitelist_categories=["Cs"]))))


def outcome(fn, *args):
    """('ok', value) or (exception type, message)."""
    try:
        return ("ok", fn(*args))
    except Exception as e:  # noqa: BLE001 - the type and text are compared
        return (type(e), str(e))


# ---- reference implementation ---------------------------------------------------------------
# The platform simulator's own primitives (hashlib, hmac, base64, pycryptodome):
# the module must agree with them on results and on errors.

ref_signature = wire.sign


def ref_encrypt(aes_key, origin_body):
    # None and empty bodies travel unchanged; anything else must have a length
    if origin_body is None or len(origin_body) == 0:
        return origin_body
    return wire.encrypt(aes_key, origin_body)


def ref_decrypt(aes_key, origin_body):
    if origin_body is None or len(origin_body) == 0:
        return origin_body
    return wire.decrypt(aes_key, origin_body)


def ref_cipher(aes_key):
    key, iv = wire.aes_key(aes_key)
    return AES.new(key, AES.MODE_CBC, iv)


def ref_encrypt_bytes(key, plain):
    """Wire text for raw key bytes and raw plain bytes (used to build inputs)."""
    return base64.b64encode(AES.new(key, AES.MODE_CBC, key[:16]).encrypt(pad(plain, wire.BLOCK))).decode("ascii")


def key_text(raw):
    """The AES key text of raw key bytes: Base64 with its final '=' left off."""
    text = base64.b64encode(raw).decode("ascii")
    return text[:-1] if text.endswith("=") else text


KEY16 = key_text(hashlib.sha256(b"vq-test-key-16").digest()[:16])
KEY24 = key_text(hashlib.sha256(b"vq-test-key-24").digest()[:24])
KEY32 = key_text(hashlib.sha256(b"vq-test-key-32").digest())
KEYS = [KEY16, KEY24, KEY32]


def test_reference_agrees_with_the_vectors():
    for case in load_vectors("body_crypto.json")["cases"]:
        assert ref_encrypt(case["aes_key"], case["plain"]) == case["wire"]
    for case in load_vectors("signature.json")["cases"]:
        assert ref_signature(case["secret_key"], case["body"], case["timestamp"], case["nonce"],
                             case["secret_ver"]) == case["signature"]


# ---- signature -------------------------------------------------------------------------------------

SIG_CASES = load_vectors("signature.json")["cases"]


@pytest.mark.parametrize("case", SIG_CASES, ids=range(len(SIG_CASES)))
def test_signature_vectors(case):
    got = m.get_signature(case["secret_key"], case["body"], case["timestamp"], case["nonce"],
                          case["secret_ver"])
    assert type(got) is str
    assert got == case["signature"]


@pytest.mark.parametrize("case", SIG_CASES, ids=range(len(SIG_CASES)))
def test_signature_vectors_by_keyword(case):
    got = m.get_signature(secret_ver=case["secret_ver"], nonce=case["nonce"], timestamp=case["timestamp"],
                          body=case["body"], secret_key=case["secret_key"])
    assert got == case["signature"]


def test_signature_integer_and_text_forms_agree():
    base = m.get_signature("tok", "Ym9keQ==", "1733650770", "99", "3")
    assert m.get_signature("tok", "Ym9keQ==", 1733650770, "99", "3") == base
    assert m.get_signature("tok", "Ym9keQ==", "1733650770", 99, "3") == base
    assert m.get_signature("tok", "Ym9keQ==", "1733650770", "99", 3) == base
    assert m.get_signature("tok", "Ym9keQ==", 1733650770, 99, 3) == base
    # a leading zero is kept as text, so it is another signature
    assert m.get_signature("tok", "Ym9keQ==", "1733650770", "099", "3") != base


class Texty(object):
    def __str__(self):
        return "7"


def test_signature_uses_text_forms_of_other_values():
    want = ref_signature("k", "b", "7", "None", "1.5")
    assert m.get_signature("k", "b", Texty(), None, 1.5) == want


@pytest.mark.parametrize("field", range(5))
def test_signature_changes_with_any_character(field):
    args = ["token", "Ym9keQ==", "1733650770", "12345", "1"]
    base = m.get_signature(*args)
    for pos in range(len(args[field])):
        changed = list(args)
        text = changed[field]
        changed[field] = text[:pos] + chr(ord(text[pos]) ^ 1) + text[pos + 1:]
        assert m.get_signature(*changed) != base


def test_signature_is_lower_case_hex():
    sig = m.get_signature("k", "b", 1, 2, 3)
    assert len(sig) == 64
    assert sig == sig.lower()
    int(sig, 16)


def test_signature_over_utf8_bytes_of_non_ascii_body():
    body = "\u00e9t\u00e9 \u4e2d\u6587 \U0001f600"
    got = m.get_signature("k", body, 1, 2, 3)
    assert got == ref_signature("k", body, 1, 2, 3)
    latin = hashlib.md5(body.encode("utf-16-le")).hexdigest()
    assert latin != hashlib.md5(body.encode("utf-8")).hexdigest()


@pytest.mark.parametrize("args", [
    ("k", None, 1, 2, 3),
    (None, "b", 1, 2, 3),
    (b"k", "b", 1, 2, 3),
    ("k", b"b", 1, 2, 3),
    ("k", 5, 1, 2, 3),
    (None, None, 1, 2, 3),
    ("k", "b\ud800", 1, 2, 3),
    ("k\udfff", "b", 1, 2, 3),
])
def test_signature_failures_pass_through(args):
    got = outcome(m.get_signature, *args)
    assert got[0] != "ok"
    assert got == outcome(ref_signature, *args)


@pytest.mark.parametrize("args", [
    ("k", "b", "\ud800", 2, 3),
    ("k", "b", 1, "x\udc00", 3),
    ("k", "b", 1, 2, "\udbff\ud800"),
])
def test_signature_with_lone_surrogate_in_header_values(args):
    # the string to sign has no UTF-8 form, so there is nothing to sign
    got = outcome(m.get_signature, *args)
    assert got == outcome(ref_signature, *args)
    assert got[0] is UnicodeEncodeError


@SETTINGS
@given(ALL_TEXT, ALL_TEXT, st.one_of(ALL_TEXT, st.integers()), st.one_of(ALL_TEXT, st.integers()),
       st.one_of(ALL_TEXT, st.integers()))
@example("k", "b", "1733650770", "1", "1")
@example("k", "b", "\ud800", "1", "1")
def test_signature_matches_reference(secret_key, body, timestamp, nonce, secret_ver):
    assert outcome(m.get_signature, secret_key, body, timestamp, nonce, secret_ver) == \
        outcome(ref_signature, secret_key, body, timestamp, nonce, secret_ver)


# ---- body encryption: vectors ---------------------------------------------------------------

CRYPTO = load_vectors("body_crypto.json")
CRYPTO_CASES = CRYPTO["cases"]


@pytest.mark.parametrize("case", CRYPTO_CASES, ids=range(len(CRYPTO_CASES)))
def test_encrypt_vectors(case):
    assert len(base64.b64decode(case["aes_key"] + "=")) == case["key_bytes"]
    assert len(case["plain"].encode("utf-8")) == case["plain_utf8_bytes"]
    wire = m.encrypt_body(case["aes_key"], case["plain"])
    assert type(wire) is str
    assert wire == case["wire"]


@pytest.mark.parametrize("case", CRYPTO_CASES, ids=range(len(CRYPTO_CASES)))
def test_decrypt_vectors(case):
    plain = m.decrypt_body(case["aes_key"], case["wire"])
    assert type(plain) is str
    assert plain == case["plain"]


def test_decrypt_wire_with_line_breaks():
    case = CRYPTO["wire_with_line_breaks"]
    assert m.decrypt_body(case["aes_key"], case["wire"]) == case["plain"]


@pytest.mark.parametrize("case", CRYPTO["refused"], ids=[c["why"] for c in CRYPTO["refused"]])
def test_refused_wire_texts(case):
    with pytest.raises(ValueError) as ei:
        m.decrypt_body(case["aes_key"], case["wire"])
    want = outcome(ref_decrypt, case["aes_key"], case["wire"])
    assert (type(ei.value), str(ei.value)) == want


@pytest.mark.parametrize("wire,message", [
    ("grRd+HlLPknOimE3aBJiEA==", "Input data is not padded"),
    ("AAAAAAAAAAAAAAAAAAAAAAAAAAA=", "Data must be padded to 16 byte boundary in CBC mode"),
    ("!!!!", "Zero-length input cannot be unpadded"),
    ("\n", "Zero-length input cannot be unpadded"),
])
def test_decrypt_error_texts(wire, message):
    key = "D9KCfgOKpdGnmPlKwI4eCaCCaCZV04pB1nJc9rC5StI"
    with pytest.raises(ValueError) as ei:
        m.decrypt_body(key, wire)
    assert type(ei.value) is ValueError
    assert str(ei.value) == message


def _wire_with_last_block(key, last_block_plain):
    """Wire text whose decrypted second block is `last_block_plain` (32 bytes in all)."""
    cipher = AES.new(key, AES.MODE_CBC, key[:16])
    return base64.b64encode(cipher.encrypt(b"A" * 16 + last_block_plain)).decode("ascii")


@pytest.mark.parametrize("tail,message", [
    (b"B" * 15 + b"\x00", "Padding is incorrect."),
    (b"B" * 15 + b"\x21", "Padding is incorrect."),
    (b"B" * 15 + b"\xff", "Padding is incorrect."),
    (b"B" * 14 + b"\x01\x02", "PKCS#7 padding is incorrect."),
    (b"B" * 15 + b"\x20", "PKCS#7 padding is incorrect."),
])
def test_decrypt_padding_error_texts(tail, message):
    raw = hashlib.sha256(b"padding").digest()
    wire = _wire_with_last_block(raw, tail)
    with pytest.raises(ValueError) as ei:
        m.decrypt_body(key_text(raw), wire)
    assert type(ei.value) is ValueError
    assert str(ei.value) == message
    assert outcome(ref_decrypt, key_text(raw), wire) == (ValueError, message)


def test_decrypt_full_padding_block_gives_empty_text():
    raw = hashlib.sha256(b"empty").digest()
    cipher = AES.new(raw, AES.MODE_CBC, raw[:16])
    wire = base64.b64encode(cipher.encrypt(b"\x20" * 32)).decode("ascii")
    assert m.decrypt_body(key_text(raw), wire) == ""


@pytest.mark.parametrize("plain", [b"\xff", b"abc\xc3", b"\xed\xa0\x80", b"\xc0\x80", b"ok\x80ok" * 9])
def test_decrypt_invalid_utf8(plain):
    raw = hashlib.sha256(b"utf8").digest()
    wire = ref_encrypt_bytes(raw, plain)
    got = outcome(m.decrypt_body, key_text(raw), wire)
    assert got[0] is UnicodeDecodeError
    assert got == outcome(ref_decrypt, key_text(raw), wire)


@pytest.mark.parametrize("nbytes", [0, 1, 8, 15, 17, 20, 31, 33, 48, 64])
def test_incorrect_key_length(nbytes):
    text = key_text(bytes(range(nbytes)))
    for fn in (m.encrypt_body, m.decrypt_body):
        with pytest.raises(ValueError) as ei:
            fn(text, "5upu2VW0dCv4LjpUruvKB/hX9XZdWisYTob7VDlSQIo=")
        assert type(ei.value) is ValueError
        assert str(ei.value) == "Incorrect AES key length (%d bytes)" % nbytes


# ---- body encryption: behaviour -----------------------------------------------------------------------

@pytest.mark.parametrize("fn", [m.encrypt_body, m.decrypt_body])
@pytest.mark.parametrize("key", [KEY32, None, 5, "not a key", "\u00e9"])
def test_none_and_empty_returned_as_given(fn, key):
    assert fn(key, None) is None
    empty = "".join([])
    assert fn(key, empty) is empty
    for other in ([], b"", (), bytearray()):
        assert fn(key, other) is other


@pytest.mark.parametrize("fn", [m.encrypt_body, m.decrypt_body])
@pytest.mark.parametrize("body", [5, 1.5, object()])
def test_body_without_length(fn, body):
    got = outcome(fn, KEY32, body)
    assert got[0] is TypeError
    assert got == outcome(ref_encrypt if fn is m.encrypt_body else ref_decrypt, KEY32, body)


@pytest.mark.parametrize("key", [None, b"AAAAAAAAAAAAAAAAAAAAAA", 12, ["a"], bytearray(b"AAAA")])
def test_key_of_another_type(key):
    for fn, ref in ((m.encrypt_body, ref_encrypt), (m.decrypt_body, ref_decrypt)):
        got = outcome(fn, key, "5upu2VW0dCv4LjpUruvKB/hX9XZdWisYTob7VDlSQIo=")
        assert got[0] != "ok"
        assert got == outcome(ref, key, "5upu2VW0dCv4LjpUruvKB/hX9XZdWisYTob7VDlSQIo=")


@pytest.mark.parametrize("body", [b"abc", bytearray(b"abc"), ["a"], "\ud800", "ok\udfffok"])
def test_encrypt_body_of_another_type(body):
    got = outcome(m.encrypt_body, KEY32, body)
    assert got[0] != "ok"
    assert got == outcome(ref_encrypt, KEY32, body)


def test_decrypt_accepts_what_base64_accepts():
    wire = m.encrypt_body(KEY32, "payload")
    assert m.decrypt_body(KEY32, wire.encode("ascii")) == "payload"
    assert m.decrypt_body(KEY32, bytearray(wire.encode("ascii"))) == "payload"
    for body in (["a"], ("a",), {"a": 1}, "\u00e9" + wire):
        assert outcome(m.decrypt_body, KEY32, body) == outcome(ref_decrypt, KEY32, body)


@pytest.mark.parametrize("plain,wire_len", [
    ("a", 44), ("x" * 31, 44), ("x" * 32, 88), ("x" * 63, 88), ("x" * 64, 128),
    ("\u00e9" * 16, 88), ("\U0001f600" * 8, 88), ("\U0001f600" * 7 + "abc", 44),
])
def test_wire_sizes(plain, wire_len):
    for key in KEYS:
        wire = m.encrypt_body(key, plain)
        assert len(wire) == wire_len
        assert wire == ref_encrypt(key, plain)
        assert m.decrypt_body(key, wire) == plain


def test_full_padding_block_for_32_bytes():
    raw = hashlib.sha256(b"full-block").digest()
    wire = m.encrypt_body(key_text(raw), "y" * 32)
    decrypted = AES.new(raw, AES.MODE_CBC, raw[:16]).decrypt(base64.b64decode(wire))
    assert decrypted == b"y" * 32 + b"\x20" * 32


def test_iv_is_the_first_16_key_bytes():
    raw = hashlib.sha256(b"iv").digest()
    wire = m.encrypt_body(key_text(raw), "hello")
    cipher = base64.b64decode(wire)
    ecb = AES.new(raw, AES.MODE_ECB)
    first = ecb.decrypt(cipher[:16])
    assert bytes(a ^ b for a, b in zip(first, raw[:16])) == b"hello" + b"\x1b" * 11


def test_encryption_is_deterministic():
    assert m.encrypt_body(KEY24, "same text") == m.encrypt_body(KEY24, "same text")
    assert m.encrypt_body(KEY24, "same text") != m.encrypt_body(KEY32, "same text")


def test_wire_text_is_base64_without_line_breaks():
    wire = m.encrypt_body(KEY32, "z" * 1000)
    assert "\n" not in wire
    assert base64.b64encode(base64.b64decode(wire)).decode("ascii") == wire


def test_single_block_refused():
    raw = hashlib.sha256(b"single").digest()
    wire = base64.b64encode(AES.new(raw, AES.MODE_CBC, raw[:16]).encrypt(b"\x10" * 16)).decode("ascii")
    with pytest.raises(ValueError) as ei:
        m.decrypt_body(key_text(raw), wire)
    assert str(ei.value) == "Input data is not padded"


@SETTINGS
@given(ALL_TEXT, st.sampled_from(KEYS))
def test_round_trip_and_reference(plain, key):
    got = outcome(m.encrypt_body, key, plain)
    assert got == outcome(ref_encrypt, key, plain)
    if got[0] == "ok" and plain:
        assert m.decrypt_body(key, got[1]) == plain


# ---- Base64 of key texts and wire texts, as the interpreter decodes them -------------------------

KEY_ALPHABET = list(B64_CHARS) + ["="] * 8 + JUNK + NON_ASCII
WIRE_ALPHABET = list(B64_CHARS) + ["="] * 8 + JUNK


def _insert(text, inserts):
    chars = list(text)
    for pos, junk in inserts:
        chars.insert(pos % (len(chars) + 1), junk)
    return "".join(chars)


key_texts = st.one_of(
    st.text(st.sampled_from(KEY_ALPHABET), max_size=60),
    st.builds(
        _insert,
        st.builds(key_text, st.sampled_from([16, 24, 32, 15, 17, 23, 25, 31, 33]).flatmap(
            lambda n: st.binary(min_size=n, max_size=n))),
        st.lists(st.tuples(st.integers(0, 64), st.sampled_from(["="] * 4 + JUNK + NON_ASCII + list(B64_CHARS))),
                 max_size=4)),
)


@SETTINGS
@given(key_texts)
@example("")
@example("=")
@example("==")
@example("A")
@example("AB")
@example("ABC")
@example("AB=C")
@example("A=BC")
@example("=ABC")
@example(KEY16 + "=")
@example(KEY16[:10] + "=" + KEY16[10:])
@example(KEY24 + "=")
@example(KEY32[:-1])
@example(KEY32 + "A")
@example(KEY32 + "\n")
@example(" " + KEY32)
@example(KEY32 + "\u00e9")
def test_key_text_decoding_matches_the_interpreter(aes_key):
    plain = "key text check"
    wire = ref_encrypt_bytes(hashlib.sha256(b"wire").digest(), plain.encode("utf-8"))
    assert outcome(m.encrypt_body, aes_key, plain) == outcome(ref_encrypt, aes_key, plain)
    assert outcome(m.decrypt_body, aes_key, wire) == outcome(ref_decrypt, aes_key, wire)


def _decrypt_input(raw_key, plain, inserts):
    return _insert(ref_encrypt_bytes(raw_key, plain), inserts)


wire_texts = st.one_of(
    st.text(st.sampled_from(WIRE_ALPHABET), min_size=1, max_size=100),
    st.builds(
        _decrypt_input,
        st.sampled_from([hashlib.sha256(b"wire").digest(), hashlib.sha256(b"wire").digest()[:16]]),
        st.one_of(st.text().map(lambda t: t.encode("utf-8")), st.binary(max_size=70)),
        st.lists(st.tuples(st.integers(0, 200), st.sampled_from(["="] * 6 + JUNK + list(B64_CHARS))),
                 max_size=5)),
)


@SETTINGS
@given(wire_texts, st.sampled_from([key_text(hashlib.sha256(b"wire").digest()),
                                    key_text(hashlib.sha256(b"wire").digest()[:16])]))
@example("=", KEY32)
@example("====", KEY32)
@example("A===", KEY32)
@example("AB=C", KEY32)
@example("abcde", KEY32)
@example("AAAAA===", KEY32)
@example("AAAAAA=A", KEY32)
@example("AA==AA==", KEY32)
def test_wire_text_decoding_matches_the_interpreter(wire, key):
    assert outcome(m.decrypt_body, key, wire) == outcome(ref_decrypt, key, wire)


@SETTINGS
@given(st.text(st.sampled_from(WIRE_ALPHABET + NON_ASCII), min_size=1, max_size=60))
def test_wire_text_with_non_ascii(wire):
    assert outcome(m.decrypt_body, KEY16, wire) == outcome(ref_decrypt, KEY16, wire)


# ---- large bodies on two threads ----------------------------------------------------------------------

def _big_plain(seed, size):
    block = hashlib.sha256(seed).hexdigest()  # ASCII, 64 characters
    return (block * (size // len(block) + 1))[:size]


def test_large_bodies_on_two_threads():
    size = 4 * 1024 * 1024
    jobs = []
    for i, key in enumerate([KEY32, KEY16]):
        plain = _big_plain(str(i).encode(), size)
        if i == 1:
            plain = "\u4e2d" + plain[1:]  # non-ASCII text takes the same road
        jobs.append((key, plain, ref_encrypt(key, plain)))
    results = [None, None]
    errors = []
    start = threading.Barrier(2)

    def work(i):
        try:
            key, plain, wire = jobs[i]
            start.wait()
            enc = m.encrypt_body(key, plain)
            dec = m.decrypt_body(key, wire)
            sig = m.get_signature("token", wire, 1, 2, 3)
            results[i] = (enc, dec, sig)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for i, (key, plain, wire) in enumerate(jobs):
        enc, dec, sig = results[i]
        assert enc == wire
        assert dec == plain
        assert sig == ref_signature("token", wire, 1, 2, 3)


@pytest.mark.parametrize("mangle", [
    lambda w: "\n".join(w[i:i + 76] for i in range(0, len(w), 76)),
    lambda w: w[:1000] + "=" + w[1000:],
    lambda w: w[:-4] + "A",
    lambda w: w[:-4],
    lambda w: w.replace("A", "*"),
])
def test_large_wire_texts_match_the_reference(mangle):
    raw = hashlib.sha256(b"large").digest()
    wire = mangle(ref_encrypt_bytes(raw, _big_plain(b"L", 256 * 1024).encode("ascii")))
    assert outcome(m.decrypt_body, key_text(raw), wire) == outcome(ref_decrypt, key_text(raw), wire)


def _mixed_operations(seed, rounds):
    """Encrypt, decrypt and refused decrypts under changing keys, each checked
    against the reference: a message must never depend on the one before."""
    import random
    rnd = random.Random(seed)
    for _ in range(rounds):
        key = rnd.choice(KEYS)
        size = rnd.choice([1, 15, 16, 17, 31, 32, 33, 47, 48, 200, 1000, 70000])
        plain = "".join(rnd.choice("ab\u00e9\u4e2d") for _ in range(size))
        op = rnd.randrange(4)
        if op == 0:
            assert m.encrypt_body(key, plain) == ref_encrypt(key, plain)
        elif op == 1:
            assert m.decrypt_body(key, ref_encrypt(key, plain)) == plain
        elif op == 2:
            # Decrypts under another key: refused after the cipher ran.
            other = KEYS[(KEYS.index(key) + 1) % len(KEYS)]
            assert outcome(m.decrypt_body, other, ref_encrypt(key, plain)) == \
                outcome(lambda k, w: unpad(ref_cipher(k).decrypt(base64.b64decode(w)), 32).decode("utf-8"),
                        other, ref_encrypt(key, plain))
        else:
            # Refused before the cipher ran (not a whole number of blocks).
            with pytest.raises(ValueError):
                m.decrypt_body(key, base64.b64encode(b"x" * 17).decode())


def test_consecutive_messages_are_independent():
    _mixed_operations(1, 400)


def test_consecutive_messages_on_many_threads():
    errors = []

    def work(seed):
        try:
            _mixed_operations(seed, 60)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(s,)) for s in range(2, 8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


# ---- libcrypto refusing an algorithm -------------------------------------------------------

# Every fetch asks for a FIPS implementation and no FIPS provider is loaded:
# libcrypto 3 then offers no MD5, HMAC or AES at all.
NO_ALGORITHMS_CONF = """\
openssl_conf = openssl_init
[openssl_init]
alg_section = evp_properties
[evp_properties]
default_properties = fips=yes
"""

REFUSED_CALL = """
import sys, types

# The HTTP client is not what is tested here, and on some interpreters its TLS
# set-up already refuses to start under this configuration: stand-ins.
def stand_in(name, **attrs):
    mod = types.ModuleType(name)
    mod.__dict__.update(attrs)
    sys.modules[name] = mod
    return mod

class Session(object):
    def request(self, *args, **kwargs):
        raise AssertionError("no request is sent here")

api = stand_in("requests.api", post=lambda *a, **k: None, request=lambda *a, **k: None)
sessions = stand_in("requests.sessions", Session=Session, Request=object)
stand_in("requests.structures", CaseInsensitiveDict=dict)
utils = stand_in("requests.utils", requote_uri=str)
models = stand_in("requests.models", PreparedRequest=object)
stand_in("requests", post=api.post, api=api, sessions=sessions, utils=utils, models=models)

import vqspecapisdk as m
key = "MDEyMzQ1Njc4OWFiY2RlZg="
try:
    %s
except Exception as e:
    print("%%s: %%s" %% (type(e).__name__, e))
else:
    print("no error")
import ctypes
print("queue", ctypes.CDLL("libcrypto.so.3").ERR_peek_error())
"""


def module_links_libcrypto_3():
    # libcrypto 3: linked (libcrypto.so.3) or inside the module (a portable wheel).
    with open(m.__file__, "rb") as f:
        return b"libcrypto.so.1.1" not in f.read()


@pytest.mark.skipif(not module_links_libcrypto_3(), reason="libcrypto 1.1 has no providers to withhold an algorithm")
@pytest.mark.parametrize("call, error", [
    ("m.get_signature('token', 'body', 1, 'n', 'v')", "RuntimeError: libcrypto refused the MD5 digest"),
    ("m.get_signature('token', 'b' * (1 << 17), 1, 'n', 'v')", "RuntimeError: libcrypto refused the MD5 digest"),
    ("m.get_signature('token', 'body', '\\ud800', 'n', 'v')", "RuntimeError: libcrypto refused the MD5 digest"),
    ("m.encrypt_body(key, 'body')", "RuntimeError: libcrypto refused the AES operation"),
    ("m.decrypt_body(key, 'A' * 64)", "RuntimeError: libcrypto refused the AES operation"),
    ("m.decrypt_body(key, 'A' * (1 << 17))", "RuntimeError: libcrypto refused the AES operation"),
])
def test_refused_algorithm_is_a_clear_error(tmp_path, call, error):
    conf = tmp_path / "openssl.cnf"
    conf.write_text(NO_ALGORITHMS_CONF)
    # libcrypto's reason follows the refusal, and the thread's error queue is
    # left empty for the next caller.
    proc = run_python(REFUSED_CALL % call, env={"OPENSSL_CONF": str(conf)})
    assert (proc.returncode, proc.stderr) == (0, "")
    assert re.match(r"%s: error:[0-9A-F]{8}:[^\n]*unsupported[^\n]*\nqueue 0\n\Z" % re.escape(error), proc.stdout), \
        proc.stdout
