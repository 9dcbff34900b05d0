"""No secret value ever reaches the output or an exception's text.

Whole exchanges run in fresh interpreters: outbound calls (echo, sync_msg)
in normal mode and through the debug relay, inbound calls decoded and
answered, and every failure path that writes a log line or raises (bad
signature, missing headers, retry notifications, undecryptable bodies,
refused secret lines and debug tokens, an unreadable secret file).  Each
child records str(), repr(), the arguments and the formatted traceback of
every exception it sees; its standard output and standard error are kept
whole.  None of them may hold the signing token, the AES key text (or the
key's bytes in hex), the debug token or the access token.

SecretInfo.debug_string() exists to show a record's values to a developer;
it is checked to show them, and its text is never written out.

All secret values are derived here from fixed seeds, so they are long and
distinctive and a substring search for them means something.
"""
import base64
import binascii
import hashlib
import json
import os
import sys

import pytest

from conftest import ROOT, parse_log, run_python
from simulator import wire
from simulator.caller import PlatformCaller, ProgramProcess
from simulator.platform import PlatformSimulator, closed_port

EXAMPLE = os.path.join(ROOT, "examples", "provider_app.py")


def _hex(seed, n):
    return hashlib.sha256(seed.encode("utf-8")).hexdigest()[:n]


def derived_record(ver, tag):
    return wire.SecretRecord(ver, "tok" + _hex("secrets token " + tag, 29),
                             wire.make_key_text("secrets key " + tag), "prog-secrets-" + tag)


NORMAL = derived_record("3", "normal")
DEBUG = derived_record("5", "debug")
DEBUG_TOKEN = DEBUG.debug_token()
ACCESS_TOKEN = "acc" + _hex("secrets access token", 29)


def key_hex(record):
    return binascii.hexlify(base64.b64decode(record.encoding_aes_key + "=")).decode("ascii")


SECRETS = {
    "normal token": NORMAL.token,
    "normal AES key text": NORMAL.encoding_aes_key,
    "normal AES key hex": key_hex(NORMAL),
    "debug token": DEBUG_TOKEN,
    "debug record token": DEBUG.token,
    "debug record AES key text": DEBUG.encoding_aes_key,
    "debug record AES key hex": key_hex(DEBUG),
    "access token": ACCESS_TOKEN,
}


def leaks(text):
    """Names of the secrets found in `text`: whole, or their first or last 16 characters."""
    found = []
    for name, value in sorted(SECRETS.items()):
        if value in text or value[:16] in text or value[-16:] in text:
            found.append(name)
    return found


def assert_no_leak(where, text):
    found = leaks(text)
    assert not found, "%s shows %s:\n%s" % (where, ", ".join(found), text[-3000:])


def proxyless_env(extra):
    env = {
        "NO_PROXY": "127.0.0.1,localhost", "no_proxy": "127.0.0.1,localhost",
        "HTTPS_PROXY": "", "https_proxy": "", "HTTP_PROXY": "", "http_proxy": "",
        "ALL_PROXY": "", "all_proxy": "",
    }
    env.update(extra)
    return env


# ---- the children ----------------------------------------------------------------------------

CHILD_COMMON = r'''
import base64, json, os, sys, traceback
import vqspecapisdk as sdk
from simulator import wire
from simulator.caller import CallResult, PlatformCaller

CFG = json.loads(os.environ["VQ_SECRETS_CONFIG"])
NORMAL = wire.SecretRecord(*CFG["normal"])
DEBUG = wire.SecretRecord(*CFG["debug"])
OUTCOMES = {}   # name -> "ok" or "TypeName: str"
TEXTS = []      # [name, what, text] of every exception seen
FLAGS = {}


def attempt(name, fn):
    try:
        value = fn()
    except BaseException as e:
        t = type(e)
        TEXTS.append([name, "str", str(e)])
        TEXTS.append([name, "repr", repr(e)])
        TEXTS.append([name, "args", repr(e.args)])
        TEXTS.append([name, "traceback", traceback.format_exc()])
        OUTCOMES[name] = "%s: %s" % (t.__name__, e)
        return None
    OUTCOMES[name] = "ok"
    return value


def client(req_id):
    c = sdk.ChatDataSDK("wwcorp-secrets", 1000003, "ability-secrets", "job-secrets")
    c.set_req_id(req_id)
    return c


def outbound():
    """Calls to the platform; the test sets its faults by req_id."""
    attempt("echo", lambda: client("secrets-ok").echo('{"hello": "secrets"}'))
    attempt("sync_msg", lambda: client("secrets-ok").sync_msg('{"cursor": ""}'))
    for name in CFG["fault_cases"]:
        attempt("fault:" + name, lambda: client("secrets-" + name).echo('{"case": "%s"}' % name))


def answer(rec, sent, headers, body):
    return PlatformCaller(rec, "http://127.0.0.1:9/").check(
        CallResult(sent, 200, "OK", list(headers.items()), body))


def inbound(rec):
    """Calls from the platform, decoded and answered, and their failures."""
    caller = PlatformCaller(rec, "http://127.0.0.1:9/")
    for kind in ("normal", "stale", "other_version", "bad_signature", "no_signature"):
        sent = caller.build('{"text": "inbound %s"}' % kind, kind=kind, req_id="secrets-in-" + kind)

        def decode_and_answer(sent=sent):
            try:
                dec = sdk.VQToSpecHTTPReqDecoder(list(sent.headers), sent.body)
            except sdk.VQToSpecRetryNotifyException as e:
                rsp = sdk.VQToSpecHTTPRspConstructor("")
                got = answer(rec, sent, rsp.get_retry_notify_header(e.GetStatus()), rsp.get_encoded_body())
                assert got.verdict == "retry_notify" and not got.problems, got.summary()
                raise
            rsp = sdk.VQToSpecHTTPRspConstructor(json.dumps({"errcode": 0, "reply": dec.get_data()}))
            got = answer(rec, sent, rsp.get_normal_header(), rsp.get_encoded_body())
            assert got.verdict == "answered" and not got.problems, got.summary()
            rsp.get_exception_header("3")
            sdk.VQToSpecHTTPRspConstructor(sdk.spec_make_internal_error_rsp_data("boom")).get_normal_header()
            return dec.get_data()
        attempt("inbound:" + kind, decode_and_answer)

    def signed_call(body, **kw):
        sent = caller.build("x", req_id="secrets-in-body")
        h = sent.header_map
        headers = [(n, v) for n, v in sent.headers if n != "vq-signature"]
        headers.append(("vq-signature", wire.sign(rec.token, body, h["vq-timestamp"], h["vq-nonce"], rec.ver)))
        return lambda: sdk.VQToSpecHTTPReqDecoder(headers, body)
    attempt("inbound:not_json", signed_call(wire.encrypt(rec.encoding_aes_key, "not json, " + rec.program_id)))
    attempt("inbound:other_key", signed_call(wire.encrypt(wire.make_key_text("another"), '{"a": 1}')))
    attempt("inbound:not_base64", signed_call("%%%not base64%%%"))
    attempt("inbound:not_whole_blocks", signed_call(wire.encrypt(rec.encoding_aes_key, '{"a": 1}')[:-8]))
    attempt("inbound:too_many", lambda: sdk.VQToSpecHTTPReqDecoder([("a", "b", "c")], "x"))
    attempt("inbound:too_few", lambda: sdk.VQToSpecHTTPReqDecoder([("a",)], "x"))
    attempt("inbound:name_not_text", lambda: sdk.VQToSpecHTTPReqDecoder([(7, "b")], "x"))
    attempt("inbound:headers_type", lambda: sdk.VQToSpecHTTPReqDecoder((), "x"))
    attempt("answer:data_type", lambda: sdk.VQToSpecHTTPRspConstructor(None))

    # The response decoder on its own, with the record in force.
    body = wire.encrypt(rec.encoding_aes_key, '{"errcode": 0}')
    def rsp_headers(token, drop=()):
        sig = wire.sign(token, body, "1700000000", "77", rec.ver)
        hs = [("vq-secret-ver", rec.ver), ("vq-signature", sig), ("vq-nonce", "77"),
              ("vq-timestamp", "1700000000"), ("vq-status", "0")]
        return [h for h in hs if h[0] not in drop]
    attempt("rsp:ok", lambda: sdk.SpecToVQHTTPRspDecoder(200, rsp_headers(rec.token), body).get_data())
    attempt("rsp:bad_signature", lambda: sdk.SpecToVQHTTPRspDecoder(200, rsp_headers("wrong"), body))
    attempt("rsp:missing_header", lambda: sdk.SpecToVQHTTPRspDecoder(200, rsp_headers(rec.token, ["vq-nonce"]),
                                                                    body))
    attempt("rsp:plain", lambda: sdk.SpecToVQHTTPRspDecoder(200, [], "plain text").get_data())
    attempt("rsp:unpack", lambda: sdk.SpecToVQHTTPRspDecoder(200, [("a", "b", "c")], body))


def primitives(rec):
    """The module functions, given the secrets directly, on their failure paths."""
    key, token = rec.encoding_aes_key, rec.token
    attempt("decrypt:not_base64", lambda: sdk.decrypt_body(key, "***" + token + "A"))
    attempt("decrypt:bad_padding", lambda: sdk.decrypt_body(key, wire.encrypt(wire.make_key_text("x"), "abc")))
    attempt("decrypt:short_key", lambda: sdk.decrypt_body(key[:20], wire.encrypt(key, "abc")))
    attempt("encrypt:short_key", lambda: sdk.encrypt_body(key[:20], "abc"))
    attempt("encrypt:bad_key_text", lambda: sdk.encrypt_body(key + "A", "abc"))
    attempt("encrypt:non_ascii_key", lambda: sdk.encrypt_body(key[:-1] + u"\u00e9", "abc"))
    attempt("encrypt:key_type", lambda: sdk.encrypt_body(key.encode("ascii"), 5))
    attempt("signature:body_type", lambda: sdk.get_signature(token, 5, "1", "2", "3"))
    attempt("signature:key_type", lambda: sdk.get_signature(token.encode("ascii"), "b", "1", "2", "3"))


def secret_lines(rec):
    """Refused secret lines that carry the secret values, and debug_string."""
    three = ",".join([rec.ver, rec.token, rec.encoding_aes_key])
    attempt("parse:three_fields", lambda: sdk.SecretInfo().parse_from_string(three))
    attempt("parse:none", lambda: sdk.SecretInfo().parse_from_string(None))
    attempt("parse:empty_record_debug_string", lambda: sdk.SecretInfo().debug_string())
    info = sdk.SecretInfo()
    info.parse_from_string(rec.line())
    shown = info.debug_string()
    FLAGS["debug_string:" + rec.program_id] = shown == "ver: %s token: %s encoding_aes_key: %s program_id: %s" % (
        rec.ver, rec.token, rec.encoding_aes_key, rec.program_id)


def debug_tokens():
    """open_debug_mode refusals, each on a SpecEnv of its own."""
    access = CFG["access_token"]
    dt = DEBUG.debug_token()
    attempt("debug:empty_debug_token", lambda: sdk.SpecEnv().open_debug_mode("", access))
    attempt("debug:empty_access_token", lambda: sdk.SpecEnv().open_debug_mode(dt, ""))
    attempt("debug:bad_padding", lambda: sdk.SpecEnv().open_debug_mode(dt.rstrip("="), access))
    attempt("debug:non_ascii", lambda: sdk.SpecEnv().open_debug_mode(dt + u"\u00e9", access))
    three = ",".join([DEBUG.ver, DEBUG.token, DEBUG.encoding_aes_key])
    three_token = base64.b64encode(three.encode("ascii")).decode("ascii")
    attempt("debug:three_fields", lambda: sdk.SpecEnv().open_debug_mode(three_token, access))
    attempt("debug:token_type", lambda: sdk.SpecEnv().open_debug_mode(None, access))
    attempt("debug:spec_open_empty", lambda: sdk.spec_open_debug_mode("", access) if CFG.get("spec_open_empty")
            else None)


def finish():
    with open(CFG["result_path"], "w") as f:
        json.dump({"outcomes": OUTCOMES, "texts": TEXTS, "flags": FLAGS}, f)
'''

CHILD_NORMAL = CHILD_COMMON + r'''
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]
sdk.DOMAIN = CFG["domain"]
outbound()
inbound(NORMAL)
primitives(NORMAL)
secret_lines(NORMAL)
debug_tokens()   # inside the spec environment: refused with an info line
# A refused and an unreadable secret file, read by records of their own.
sdk.SECRET_KEY_FILE_PATH = CFG["bad_secret_file"]
attempt("load:three_fields", lambda: sdk.SecretInfo().load())
sdk.SECRET_KEY_FILE_PATH = CFG["secret_dir"]
attempt("load:directory", lambda: sdk.SecretInfo().load())
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]
finish()
'''

CHILD_DEBUG = CHILD_COMMON + r'''
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]   # absent: not the spec environment
sdk.DOMAIN = "https://127.0.0.1:9"              # must not be used
sdk.DEBUG_DOMAIN = sdk.DEBUG_TEST_DOMAIN = CFG["domain"]
debug_tokens()
attempt("debug:open", lambda: sdk.spec_open_debug_mode(DEBUG.debug_token(), CFG["access_token"]))
FLAGS["debug_mode"] = sdk.spec_env.get_is_debug_mode()
outbound()
inbound(DEBUG)
primitives(DEBUG)
secret_lines(DEBUG)
FLAGS["debug_string:spec_env"] = DEBUG.token in sdk.spec_env.debug_secret_info.debug_string()
finish()
'''

CHILD_BAD_FILE = CHILD_COMMON + r'''
sdk.SECRET_KEY_FILE_PATH = CFG["bad_secret_file"]
sdk.DOMAIN = CFG["domain"]
attempt("env:get_token", lambda: sdk.spec_env.get_token())
attempt("env:get_token_again", lambda: sdk.spec_env.get_encoding_aes_key())
attempt("bad_file:echo", lambda: client("secrets-bad-file").echo("{}"))
sent = PlatformCaller(NORMAL, "http://127.0.0.1:9/").build("x")
attempt("bad_file:inbound", lambda: sdk.VQToSpecHTTPReqDecoder(list(sent.headers), sent.body))
attempt("bad_file:answer", lambda: sdk.VQToSpecHTTPRspConstructor("x"))
finish()
'''

CHILD_TRANSPORT = CHILD_COMMON + r'''
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]   # absent: not the spec environment
sdk.DEBUG_DOMAIN = sdk.DEBUG_TEST_DOMAIN = CFG["domain"]
sdk.spec_open_debug_mode(DEBUG.debug_token(), CFG["access_token"])
attempt("transport:refused", lambda: client("secrets-refused").echo("{}"))
# A relay URL without a host fails while the request is prepared; the error
# quotes the URL.
sdk.DEBUG_DOMAIN = sdk.DEBUG_TEST_DOMAIN = "https://"
attempt("transport:no_host", lambda: client("secrets-no-host").echo("{}"))
finish()
'''

CHILD_UTF8 = CHILD_COMMON + r'''
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]   # absent: not the spec environment
bad = base64.b64encode(DEBUG.line().encode("ascii") + b"\xff").decode("ascii")
attempt("debug:invalid_utf8", lambda: sdk.SpecEnv().open_debug_mode(bad, CFG["access_token"]))
finish()
'''

# Faults set on the simulator for one req_id each: (name, [(kind, params)]).
FAULT_CASES = [
    ("bad_signature", [("bad_signature", {})]),
    ("bad_signature_upper", [("bad_signature", {"upper": True})]),
    ("missing_nonce", [("missing_header", {"name": "vq-nonce"})]),
    ("plain", [("plain", {"text": "a plain answer"})]),
    ("undecryptable", [("undecryptable", {})]),
    ("status_7", [("status", {"value": "7"})]),
    ("status_text", [("status", {"value": "abc"})]),
    ("http500", [("http500", {})]),
    ("other_secret_ver", [("secret_ver", {"value": "99"})]),
    ("server_closes", [("close", {})]),
]

EXPECTED_OUTCOMES = {
    "echo": "ok",
    "sync_msg": "ok",
    "fault:bad_signature": "Exception: Invalid signature",
    "fault:bad_signature_upper": "Exception: Invalid signature",
    "fault:missing_nonce": "Exception: Invalid header",
    "fault:plain": "ok",
    "fault:undecryptable": "ValueError: ",
    "fault:status_7": "Exception: ('7', 'Post Err')",
    "fault:status_text": "ValueError: ",
    "fault:http500": "ok",
    "fault:other_secret_ver": "ok",
    "fault:server_closes": "ConnectionError: ",
    "inbound:normal": "ok",
    "inbound:stale": "VQToSpecRetryNotifyException: inqueue timeout",
    "inbound:other_version": "VQToSpecRetryNotifyException: ver not matched, retry notify",
    "inbound:bad_signature": "Exception: Invalid signature",
    "inbound:no_signature": "Exception: Invalid header",
    "inbound:not_json": "JSONDecodeError: ",
    "inbound:other_key": "ValueError: ",
    "inbound:not_base64": "Error: ",
    "inbound:not_whole_blocks": "ValueError: ",
    "inbound:too_many": "ValueError: ",
    "inbound:too_few": "ValueError: ",
    "inbound:name_not_text": "AttributeError: ",
    "inbound:headers_type": "TypeError: Argument 'headers'",
    "answer:data_type": "TypeError: Argument 'data'",
    "rsp:ok": "ok",
    "rsp:bad_signature": "Exception: Invalid signature",
    "rsp:missing_header": "Exception: Invalid header",
    "rsp:plain": "ok",
    "rsp:unpack": "ValueError: ",
    "decrypt:not_base64": "Error: ",
    "decrypt:bad_padding": "ValueError: ",
    "decrypt:short_key": "ValueError: ",
    "encrypt:short_key": "ValueError: ",
    "encrypt:bad_key_text": "",
    "encrypt:non_ascii_key": "ValueError: ",
    "encrypt:key_type": "",
    "signature:body_type": "",
    "signature:key_type": "",
    "parse:three_fields": "Exception: invalid secret_key format",
    "parse:none": "TypeError: Argument 'line'",
    "parse:empty_record_debug_string": "AttributeError: ",
}
DEBUG_REFUSALS = {
    "debug:empty_debug_token": "Exception: invalid debug more param",
    "debug:empty_access_token": "Exception: invalid debug more param",
    "debug:bad_padding": "Error: ",
    "debug:non_ascii": "ValueError: ",
    "debug:three_fields": "Exception: invalid secret_key format",
    "debug:token_type": "TypeError: Argument 'debug_token'",
    "debug:spec_open_empty": "ok",
}


def check_outcomes(outcomes, expected):
    """Each outcome is "ok", or the failure "Type: text" starting as expected ("" for any failure)."""
    for name, want in sorted(expected.items()):
        assert name in outcomes, name
        got = outcomes[name]
        if want == "ok":
            assert got == "ok", (name, got)
        else:
            assert got != "ok" and got.startswith(want), (name, got)


@pytest.fixture(scope="module")
def platform():
    sim = PlatformSimulator(NORMAL, ACCESS_TOKEN, lifetime=240).start()
    try:
        for name, faults in FAULT_CASES:
            for kind, params in faults:
                sim.set_fault(kind, req_id="secrets-" + name, **params)
        yield sim
    finally:
        sim.stop()


def run_child(code, tmp, sim, record=None, **cfg):
    if record is not None:
        sim.record = record
    base = {
        "normal": [NORMAL.ver, NORMAL.token, NORMAL.encoding_aes_key, NORMAL.program_id],
        "debug": [DEBUG.ver, DEBUG.token, DEBUG.encoding_aes_key, DEBUG.program_id],
        "access_token": ACCESS_TOKEN,
        "domain": sim.base_url,
        "fault_cases": [name for name, _ in FAULT_CASES],
        "result_path": os.path.join(tmp, "result.json"),
        "secret_file": os.path.join(tmp, "no_secret_file"),
    }
    base.update(cfg)
    env = proxyless_env({"VQ_SECRETS_CONFIG": json.dumps(base), "REQUESTS_CA_BUNDLE": sim.ca_path})
    proc = run_python(code, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    with open(base["result_path"]) as f:
        raw = f.read()
    os.remove(base["result_path"])
    return proc, raw, json.loads(raw)


def check_child(proc, raw, result):
    parse_log(proc.stdout)  # every line of standard output is a log line
    assert_no_leak("standard output", proc.stdout)
    assert_no_leak("standard error", proc.stderr)
    for name, what, text in result["texts"]:
        assert_no_leak("%s of %s" % (what, name), text)
    assert_no_leak("the child's results", raw)


@pytest.fixture(scope="module")
def normal_mode(platform, tmp_path_factory):
    tmp = str(tmp_path_factory.mktemp("secrets-normal"))
    secret_file = os.path.join(tmp, "secret_key")
    with open(secret_file, "w") as f:
        f.write(NORMAL.line() + "\n")
    bad_file = os.path.join(tmp, "bad_secret_key")
    with open(bad_file, "w") as f:
        f.write(",".join([NORMAL.ver, NORMAL.token, NORMAL.encoding_aes_key]) + "\n")
    secret_dir = os.path.join(tmp, "secret_dir")
    os.mkdir(secret_dir)
    return run_child(CHILD_NORMAL, tmp, platform, record=NORMAL, secret_file=secret_file,
                     bad_secret_file=bad_file, secret_dir=secret_dir, spec_open_empty=True)


@pytest.fixture(scope="module")
def debug_mode(platform, tmp_path_factory):
    tmp = str(tmp_path_factory.mktemp("secrets-debug"))
    return run_child(CHILD_DEBUG, tmp, platform, record=DEBUG, spec_open_empty=False)


def test_normal_mode_exchange_shows_no_secret(normal_mode):
    proc, raw, result = normal_mode
    expected = dict(EXPECTED_OUTCOMES)
    expected.update({"load:three_fields": "Exception: invalid secret_key format",
                     "load:directory": "", "debug:spec_open_empty": "ok"})
    check_outcomes(result["outcomes"], expected)
    # Inside the spec environment debug mode is refused before any check.
    for name in DEBUG_REFUSALS:
        if name != "debug:token_type":
            assert result["outcomes"][name] == "ok", name
    check_child(proc, raw, result)


def test_normal_mode_logs_lengths_of_the_secret(normal_mode):
    proc = normal_mode[0]
    texts = [l.text for l in parse_log(proc.stdout)]
    assert "parse secret 3 32 43 prog-secrets-normal" in texts
    assert "in spec env, debug mode forbidden" in texts
    assert "load secret_key exception: invalid secret_key format" in texts
    assert [t for t in texts if t.startswith("Invalid signature ")]
    assert [t for t in texts if t.startswith("VQToSpecHTTPReqDecoder Err Invalid signature, real_sign: ")]


def test_debug_mode_exchange_shows_no_secret(debug_mode):
    proc, raw, result = debug_mode
    assert result["flags"]["debug_mode"] is True
    expected = dict(EXPECTED_OUTCOMES)
    expected.update(DEBUG_REFUSALS)
    expected["debug:open"] = "ok"
    check_outcomes(result["outcomes"], expected)
    check_child(proc, raw, result)


def test_debug_mode_refusals_log_lengths_only(debug_mode):
    texts = [l.text for l in parse_log(debug_mode[0].stdout)]
    assert "invalid debug mode param, debug_token:len=0, access_token:len=%d" % len(ACCESS_TOKEN) in texts
    assert "invalid debug mode param, debug_token:len=%d, access_token:len=0" % len(DEBUG_TOKEN) in texts
    assert "parse debug_token fail: invalid secret_key format" in texts
    assert "----------------- debug mode enabled -----------------" in texts


def test_debug_calls_went_through_the_relay(debug_mode, platform):
    relayed = [r for r in platform.requests if r["relay"] and r["verdict"] == 0]
    assert relayed
    assert debug_mode[2]["outcomes"]["echo"] == "ok"


def test_debug_string_shows_the_values(normal_mode, debug_mode):
    assert normal_mode[2]["flags"] == {"debug_string:" + NORMAL.program_id: True}
    flags = debug_mode[2]["flags"]
    assert flags["debug_string:" + DEBUG.program_id] is True
    assert flags["debug_string:spec_env"] is True


def test_refused_secret_file_shows_no_secret(platform, tmp_path_factory):
    tmp = str(tmp_path_factory.mktemp("secrets-bad-file"))
    bad_file = os.path.join(tmp, "secret_key")
    with open(bad_file, "w") as f:
        f.write(",".join([NORMAL.ver, NORMAL.token, NORMAL.encoding_aes_key]) + "\n")
    proc, raw, result = run_child(CHILD_BAD_FILE, tmp, platform, record=NORMAL, bad_secret_file=bad_file)
    outcomes = result["outcomes"]
    assert outcomes["env:get_token"] == "Exception: invalid secret_key format"
    for name in ("env:get_token_again", "bad_file:echo", "bad_file:inbound", "bad_file:answer"):
        assert outcomes[name].startswith("AttributeError: "), (name, outcomes[name])
    check_child(proc, raw, result)


def test_debug_token_with_invalid_utf8_shows_no_secret(platform, tmp_path_factory):
    # The decoded bytes of a refused debug token are nearly a whole secret
    # line; the failure must not carry them (its repr and args included).
    tmp = str(tmp_path_factory.mktemp("secrets-utf8"))
    proc, raw, result = run_child(CHILD_UTF8, tmp, platform)
    assert result["outcomes"]["debug:invalid_utf8"].startswith("UnicodeDecodeError: ")
    check_child(proc, raw, result)


def test_debug_transport_failure_shows_no_access_token(platform, tmp_path_factory):
    # The relay URL carries the access token; a failed connection must not
    # hand it out in the error's text.
    tmp = str(tmp_path_factory.mktemp("secrets-transport"))
    proc, raw, result = run_child(CHILD_TRANSPORT, tmp, platform, domain="https://127.0.0.1:%d" % closed_port())
    assert result["outcomes"]["transport:refused"].startswith("ConnectionError: ")
    assert result["outcomes"]["transport:no_host"].startswith("InvalidURL: ")
    check_child(proc, raw, result)


def test_example_program_shows_no_secret(platform):
    platform.record = DEBUG
    env = dict(os.environ)
    env.update(proxyless_env({
        "PYTHONPATH": os.pathsep.join(p for p in [ROOT, os.environ.get("PYTHONPATH", "")] if p),
        "PYTHONIOENCODING": "utf-8",
        "REQUESTS_CA_BUNDLE": platform.ca_path,
        # Tokens through the environment, not the command line.
        "VQ_DEBUG_TOKEN": DEBUG_TOKEN, "VQ_ACCESS_TOKEN": ACCESS_TOKEN, "VQ_DOMAIN": platform.base_url,
    }))
    prog = ProgramProcess([sys.executable, "-u", EXAMPLE, "--port", "0", "--exit-after", "60"],
                          env=env, cwd=ROOT)
    try:
        url = prog.wait_ready(30)
        caller = PlatformCaller(DEBUG, url, timeout=10)
        verdicts = {}
        for kind in ("normal", "stale", "other_version", "bad_signature", "no_signature"):
            verdicts[kind] = caller.call('{"text": "hello"}', kind=kind).verdict
        verdicts["fail"] = caller.call('{"action": "fail", "reason": "no model"}').json
        res = caller.call('{"text": "later"}', is_async=True, job_info="job-secrets")
        verdicts["async"] = res.verdict
        assert platform.wait_for(lambda s: s.requests_for(api="/cgi-bin/spec/program_async_job_call_back"), 15)
        prog.wait_for(lambda l: "spec2vq end" in l, 10)
    finally:
        prog.stop()
    assert verdicts["normal"] == "answered" and verdicts["async"] == "answered"
    assert verdicts["stale"] == verdicts["other_version"] == "retry_notify"
    assert verdicts["fail"]["errcode"] == 710660
    out = prog.output()
    assert "debug mode enabled" in out
    assert_no_leak("the program's standard output", out)
    assert_no_leak("the program's standard error", prog.stderr)
