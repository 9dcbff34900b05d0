"""The known-answer vectors reproduced without the module.

Every vector file in tests/vectors/ is recomputed here with the simulator's
wire primitives (hashlib, hmac, base64, pycryptodome) and the standard
library, so that a vector can never be a copy of the module's own output.
"""
import base64
import binascii
import datetime
import json

import pytest

from conftest import LOG_RE, load_vectors
from simulator import wire

SIGNATURES = load_vectors("signature.json")["cases"]
BODIES = load_vectors("body_crypto.json")
CALLS = load_vectors("call_body.json")["cases"]
ERRORS = load_vectors("internal_error.json")["cases"]
LINES = load_vectors("secret_lines.json")["cases"]
TOKENS = load_vectors("debug_tokens.json")["cases"]
INBOUND = load_vectors("inbound_request.json")
LOG = load_vectors("log_line.json")


def secret_fields(line):
    """The four fields of a secret line, or None where the line is refused."""
    fields = line.strip().split(",")
    return fields[:4] if len(fields) >= 4 else None


@pytest.mark.parametrize("case", SIGNATURES)
def test_signature(case):
    assert wire.sign(case["secret_key"], case["body"], case["timestamp"], case["nonce"],
                     case["secret_ver"]) == case["signature"]


@pytest.mark.parametrize("case", BODIES["cases"])
def test_body_crypto(case):
    assert len(base64.b64decode(case["aes_key"] + "=")) == case["key_bytes"]
    assert len(case["plain"].encode("utf-8")) == case["plain_utf8_bytes"]
    assert wire.encrypt(case["aes_key"], case["plain"]) == case["wire"]
    assert wire.decrypt(case["aes_key"], case["wire"]) == case["plain"]


def test_body_crypto_line_breaks_and_refused():
    case = BODIES["wire_with_line_breaks"]
    assert wire.decrypt(case["aes_key"], case["wire"]) == case["plain"]
    for case in BODIES["refused"]:
        with pytest.raises((ValueError, binascii.Error, UnicodeDecodeError)):
            wire.decrypt(case["aes_key"], case["wire"])


@pytest.mark.parametrize("case", CALLS)
def test_call_body(case):
    fields = [(k, case[k]) for k in ("corpid", "agentid", "data", "job_info", "ability_id")]
    assert json.dumps(dict(fields)) == case["json"]


@pytest.mark.parametrize("case", ERRORS)
def test_internal_error(case):
    assert json.dumps({"errcode": 710660, "errmsg": case["errmsg"]}) == case["json"]


@pytest.mark.parametrize("case", LINES)
def test_secret_line(case):
    fields = secret_fields(case["line"])
    if not case["accepted"]:
        assert fields is None and case["raises"] == "invalid secret_key format"
        return
    ver, token, key, prog = fields
    assert [ver, token, key, prog] == [case[k] for k in ("ver", "token", "encoding_aes_key", "program_id")]
    assert case["parse_log_text"] == "parse secret %s %d %d %s" % (ver, len(token), len(key), prog)


@pytest.mark.parametrize("case", TOKENS)
def test_debug_token(case):
    try:
        line = base64.b64decode(case["debug_token"]).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError) as e:
        assert case["raises"] == "%s.%s" % (type(e).__module__, type(e).__name__) or case["raises"] == type(e).__name__
        return
    fields = secret_fields(line)
    if not case["accepted"]:
        assert fields is None and case["raises"] == "invalid secret_key format"
        return
    assert fields == [case[k] for k in ("ver", "token", "encoding_aes_key", "program_id")]


def test_inbound_request():
    headers = {k.lower(): v for k, v in INBOUND["headers"]}
    secret = INBOUND["secret"]
    assert headers["vq-secret-ver"] == secret["ver"]
    assert wire.sign(secret["token"], INBOUND["body"], headers["vq-timestamp"], headers["vq-nonce"],
                     secret["ver"]) == headers["vq-signature"]
    body = json.loads(wire.decrypt(secret["encoding_aes_key"], INBOUND["body"]))
    fields = dict(INBOUND["fields"])
    assert fields.pop("req_id") == headers["vq-req-id"]
    assert {k: body[k] for k in fields} == fields
    waited = INBOUND["now_ms_ok"] - int(headers["vq-timestamp-ms"])
    assert waited == int(headers["vq-inqueue-timeout-ms"])
    assert INBOUND["now_ms_timeout"] == INBOUND["now_ms_ok"] + 1


def test_log_line_layout():
    assert LOG_RE.match(LOG["example"])
    utc = datetime.datetime.strptime(LOG["clock_example"]["utc"], "%Y-%m-%dT%H:%M:%S.%fZ")
    assert (utc + datetime.timedelta(hours=8)).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3] == LOG["clock_example"]["field"]
