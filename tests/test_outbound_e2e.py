"""Outbound calls end to end: the SDK in a fresh interpreter, the platform
stand-in in this one, real HTTPS on 127.0.0.1 with certificate checks on.

Each mode runs one child process that goes through all of its scenarios and
writes a marker line "@@ NAME" to standard output before each, so that the
log lines of every scenario can be told apart; results go to a JSON file.
Faults are bound to the scenario's req_id, so scenarios do not disturb each
other.
"""
import hashlib
import json
import os

import pytest

from conftest import log_texts, run_python
from simulator import wire
from simulator.certs import make_certs, make_untrusted_certs
from simulator.platform import (API_ALIASES, API_METHODS, ECHO_PATH, RELAY_PATH, RELAY_QUERY_PREFIX,
                                PlatformSimulator, StalledListener, closed_port)

METHOD_PATHS = dict(API_METHODS)
API_NAMES = [name for name, _ in API_METHODS[1:]]  # the 44, without echo
CLIENT_METHODS = API_NAMES + ["document_list"]


def method_path(name):
    return METHOD_PATHS[API_ALIASES.get(name, name)]


NORMAL_HEADERS = ["Accept", "Content-Type", "vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp",
                  "vq-program-id", "vq-req-id", "vq-spec-sdk-version", "Content-Length"]
DEBUG_HEADERS = NORMAL_HEADERS + ["vq-spec-trans-api"]
# Headers the HTTP client adds by itself.
CLIENT_OWN_HEADERS = {"Host", "User-Agent", "Accept-Encoding", "Connection"}

IDENTITY = {"corpid": "wwcorp-e2e", "agentid": 1000017, "ability_id": "ability-e2e", "job_info": "job-7"}
ECHO_DATA = u'{"text": "\u4f60\u597d, echo \u2713", "n": [1, 2]}'
NEW_REQ_ID = "Zq81ReqIdSetByMe"
OTHER_SDK_VERSION = "python-9.8.7"


def make_record(ver, tag):
    token = hashlib.sha256(("token " + tag).encode("utf-8")).hexdigest()[:32]
    return wire.SecretRecord(ver, token, wire.make_key_text("key " + tag), "prog-" + tag)


NORMAL_RECORD = make_record("3", "normal")
DEBUG_RECORD = make_record("5", "debug")
# An ampersand in the access token must reach the relay as it is.
ACCESS_TOKEN = "acc&" + hashlib.sha256(b"access e2e").hexdigest()[:20]


# -- the child's side --------------------------------------------------------

CHILD_COMMON = r'''
import json, os, sys, time
import vqspecapisdk as sdk

CFG = json.loads(os.environ["VQ_E2E_CONFIG"])
RESULTS = {"_clock": [time.time()]}

def client(req_id=None):
    c = sdk.ChatDataSDK(CFG["corpid"], CFG["agentid"], CFG["ability_id"], CFG["job_info"])
    if req_id is not None:
        c.set_req_id(req_id)
    return c

def run(name, c, fn):
    print("@@ " + name)
    res = {"req_id": c.req_id}
    try:
        res["data"] = fn()
    except Exception as e:
        t = type(e)
        res["exc"] = {"type": t.__module__ + "." + t.__name__,
                      "args": [a if isinstance(a, str) else repr(a) for a in e.args],
                      "value_error": isinstance(e, ValueError)}
    RESULTS[name] = res

def call(c, method, param):
    return lambda: getattr(c, method)(param)

def finish():
    RESULTS["_clock"].append(time.time())
    with open(CFG["result_path"], "w") as f:
        json.dump(RESULTS, f)
'''

CHILD_NORMAL = CHILD_COMMON + r'''
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]
sdk.DOMAIN = CFG["domain"]

c = client()
run("echo", c, call(c, "echo", CFG["echo_data"]))
c.set_req_id(CFG["new_req_id"])
run("set_req_id", c, call(c, "echo", "after set_req_id"))

sdk.SDK_VERSION = CFG["other_sdk_version"]
run("sdk_version", c, call(c, "echo", "with another SDK_VERSION"))
sdk.SDK_VERSION = "python-1.2.3"

c = client()
for name in CFG["methods"]:
    run("method:" + name, c, call(c, name, json.dumps({"method": name})))

c = client("e2e-alias")
for name in ("document_list", "knowledge_base_list"):
    run("alias:" + name, c, call(c, name, '{"offset": 0, "limit": 10}'))

for name, case in sorted(CFG["cases"].items()):
    c = client(case["req_id"])
    if "connect_timeout" in case:
        c.set_connect_timeout(case["connect_timeout"])
    if "read_timeout" in case:
        c.set_read_timeout(case["read_timeout"])
    sdk.DOMAIN = case.get("domain", CFG["domain"])
    run(name, c, call(c, case.get("method", "echo"), case.get("param", name)))
    sdk.DOMAIN = CFG["domain"]
finish()
'''

CHILD_DEBUG = CHILD_COMMON + r'''
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]  # does not exist: not the spec environment
sdk.DOMAIN = CFG["domain"]                     # refuses connections: must not be used
sdk.DEBUG_DOMAIN = CFG["debug_domain"]
sdk.DEBUG_TEST_DOMAIN = CFG["debug_test_domain"]

c = client()
run("open", c, lambda: sdk.spec_open_debug_mode(CFG["debug_token"], CFG["access_token"]))
run("echo", c, call(c, "echo", CFG["echo_data"]))
for name in CFG["methods"]:
    run("method:" + name, c, call(c, name, json.dumps({"method": name})))

run("use_test_domain", c, lambda: sdk.spec_debug_use_test_domain(True))
c.set_req_id("e2e-test-domain")
run("test_domain:echo", c, call(c, "echo", "to the test domain"))
run("test_domain:create_rule", c, call(c, "create_rule", '{"rule": 1}'))
sdk.DEBUG_TEST_DOMAIN = ""                     # an empty test domain falls back to DEBUG_DOMAIN
c.set_req_id("e2e-empty-test-domain")
run("empty_test_domain:echo", c, call(c, "echo", "empty test domain"))
sdk.DEBUG_TEST_DOMAIN = CFG["debug_test_domain"]
run("regular_domain", c, lambda: sdk.spec_debug_use_test_domain(False))
c.set_req_id("e2e-regular-again")
run("regular_domain:echo", c, call(c, "echo", "back to the regular domain"))
finish()
'''


def split_scenarios(out):
    """{scenario name: [(level, req_id, text)]} of a child's standard output."""
    chunks = {}
    name = None
    for line in out.splitlines():
        if line.startswith("@@ "):
            name = line[3:]
            chunks[name] = []
            continue
        assert name is not None, "output before the first scenario: %r" % line
        chunks[name].append(line)
    return dict((k, log_texts("\n".join(v))) for k, v in chunks.items())


def run_child(code, cfg, tmp, ca_path):
    cfg = dict(cfg)
    cfg["result_path"] = os.path.join(tmp, "results.json")
    env = {
        "VQ_E2E_CONFIG": json.dumps(cfg),
        "REQUESTS_CA_BUNDLE": ca_path,
        "NO_PROXY": "127.0.0.1,localhost", "no_proxy": "127.0.0.1,localhost",
        "HTTPS_PROXY": "", "https_proxy": "", "HTTP_PROXY": "", "http_proxy": "",
        "ALL_PROXY": "", "all_proxy": "",
    }
    proc = run_python(code, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    with open(cfg["result_path"]) as f:
        results = json.load(f)
    return results, split_scenarios(proc.stdout)


def header_names(rec):
    return [k for k, _ in rec["headers"] if k not in CLIENT_OWN_HEADERS]


def header(rec, name):
    values = [v for k, v in rec["headers"] if k == name]
    assert len(values) == 1, (name, rec["headers"])
    return values[0]


def begin(req_id, path=ECHO_PATH):
    return ("INFO", req_id, "spec2vq begin " + path)


def end(req_id, status="0"):
    return ("INFO", req_id, "spec2vq end " + status)


def answer_header(rec, name):
    return dict(rec["answer"]["headers"])[name]


# -- normal mode ----------------------------------------------------------------

PLAIN_TEXT = "hello, a plain answer"
LATIN1_TEXT = u"caf\u00e9 \u00f1 \u00fc \u00bd"
UTF8_TEXT = u"caf\u00e9 \u4f60\u597d \U0001f600"

# name: (faults [(kind, params)], extra client settings)
FAULT_CASES = {
    "plain": ([("plain", {"text": PLAIN_TEXT})], {}),
    "plain_no_ver_no_signature": ([("missing_header", {"name": ["vq-secret-ver", "vq-signature"]})], {}),
    "plain_ignores_status": ([("missing_header", {"name": ["vq-secret-ver", "vq-signature"]}),
                              ("status", {"value": "7"})], {}),
    "plain_capitalised_names": ([("header_case", {})], {}),
    "plain_empty": ([("plain", {"text": ""})], {}),
    "echo_empty": ([], {"param": ""}),
    "charset_latin1": ([("plain", {"text": LATIN1_TEXT}), ("charset", {"charset": "latin-1"})], {}),
    "charset_utf8": ([("plain", {"text": UTF8_TEXT}), ("charset", {"charset": "utf-8"})], {}),
    "charset_encrypted": ([("charset", {"charset": "iso-8859-1"})], {}),
    "missing:vq-secret-ver": ([("missing_header", {"name": "vq-secret-ver"})], {}),
    "missing:vq-signature": ([("missing_header", {"name": "vq-signature"})], {}),
    "missing:vq-nonce": ([("missing_header", {"name": "vq-nonce"})], {}),
    "missing:vq-timestamp": ([("missing_header", {"name": "vq-timestamp"})], {}),
    "missing:vq-status": ([("missing_header", {"name": "vq-status"})], {}),
    "bad_signature:other_token": ([("bad_signature", {})], {}),
    "bad_signature:upper_case": ([("bad_signature", {"upper": True})], {}),
    "status:7": ([("status", {"value": "7"})], {}),
    "status:-40001": ([("status", {"value": "-40001"})], {}),
    "status:abc": ([("status", {"value": "abc"})], {}),
    "status_zero: 0 ": ([("status", {"value": " 0 "})], {}),
    "status_zero:+0": ([("status", {"value": "+0"})], {}),
    "status_zero:000": ([("status", {"value": "000"})], {}),
    "http500": ([("http500", {})], {}),
    "http503_status_1": ([("http500", {"code": 503}), ("status", {"value": "1"})], {}),
    "other_secret_ver": ([("secret_ver", {"value": "99"})], {}),
    "undecryptable": ([("undecryptable", {})], {}),
    "api_result": ([("result", {"text": u'{"errcode": 0, "errmsg": "ok", "x": "\u00e9"}'})],
                   {"method": "sync_msg", "param": "{}"}),
    "transport:read_timeout": ([("slow", {"seconds": 10})], {"read_timeout": 0.3}),
    "transport:server_closes": ([("close", {})], {}),
    "transport:refused": ([], {"domain": "refused"}),
    "transport:connect_timeout": ([], {"domain": "stalled", "connect_timeout": 0.3}),
    "transport:untrusted_certificate": ([], {"domain": "untrusted"}),
}


def case_req_id(name):
    return "e2e-" + hashlib.md5(name.encode("utf-8")).hexdigest()[:12]


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    base = str(tmp_path_factory.mktemp("e2e-certs"))
    return make_certs(os.path.join(base, "ca")), make_untrusted_certs(os.path.join(base, "untrusted"))


# Every call and failure path against a server that ends each connection after
# one answer, and against one that keeps connections open (which the SDK then
# reuses): what the caller sees is the same.
@pytest.fixture(scope="module", params=[False, True], ids=["one-request-connections", "kept-alive"])
def normal(certs, tmp_path_factory, request):
    trusted, untrusted = certs
    tmp = str(tmp_path_factory.mktemp("e2e-normal"))
    secret_file = os.path.join(tmp, "secret_key")
    with open(secret_file, "w") as f:
        f.write(NORMAL_RECORD.line() + "\n")
    sim = PlatformSimulator(NORMAL_RECORD, cert_dir=trusted.directory, lifetime=120, keep_alive=request.param)
    foreign = PlatformSimulator(NORMAL_RECORD, cert_dir=untrusted.directory, lifetime=120)
    stalled = StalledListener()
    with sim, foreign, stalled:
        domains = {"refused": "https://127.0.0.1:%d" % closed_port(), "stalled": stalled.base_url,
                   "untrusted": foreign.base_url}
        cases = {}
        for name, (faults, settings) in FAULT_CASES.items():
            rid = case_req_id(name)
            for kind, params in faults:
                sim.set_fault(kind, req_id=rid, **params)
            case = dict(settings, req_id=rid)
            if "domain" in case:
                case["domain"] = domains[case["domain"]]
            cases[name] = case
        cfg = dict(IDENTITY, secret_file=secret_file, domain=sim.base_url, echo_data=ECHO_DATA,
                   new_req_id=NEW_REQ_ID, other_sdk_version=OTHER_SDK_VERSION, methods=CLIENT_METHODS,
                   cases=cases)
        results, logs = run_child(CHILD_NORMAL, cfg, tmp, trusted.ca)
        foreign.wait_for(lambda s: s.errors)  # its handler thread may still be at work
        yield {"results": results, "logs": logs, "sim": sim, "foreign": foreign,
               "records": sim.requests, "foreign_records": foreign.requests, "foreign_errors": foreign.errors}


def one_record(normal, req_id, **match):
    recs = [r for r in normal["records"] if header(r, "vq-req-id") == req_id
            and all(r[k] == v for k, v in match.items())]
    assert len(recs) == 1, [(r["api"], r["call"]) for r in recs]
    return recs[0]


def test_echo_returns_data_with_begin_and_end_lines(normal):
    res = normal["results"]["echo"]
    rid = res["req_id"]
    assert res["data"] == ECHO_DATA
    assert normal["logs"]["echo"] == [
        begin(rid),
        ("INFO", "", "parse secret 3 32 43 prog-normal"),
        end(rid),
    ]
    rec = one_record(normal, rid, api=ECHO_PATH)
    assert rec["path"] == ECHO_PATH and rec["query"] == "" and not rec["relay"]
    assert rec["verdict"] == 0
    assert rec["call"] == dict(IDENTITY, data=ECHO_DATA)
    # The call body travels as the encrypted text of one JSON line.
    assert list(json.loads(wire.decrypt(NORMAL_RECORD.encoding_aes_key, rec["body"])).keys()) == [
        "corpid", "agentid", "data", "job_info", "ability_id"]


def test_normal_request_headers(normal):
    results = normal["results"]
    t0, t1 = results["_clock"]
    ok = [r for r in normal["records"] if r["verdict"] == 0]
    assert len(ok) >= len(CLIENT_METHODS) + 3
    for rec in ok:
        assert header_names(rec) == NORMAL_HEADERS
        assert set(k for k, _ in rec["headers"]) - set(NORMAL_HEADERS) <= CLIENT_OWN_HEADERS
        assert header(rec, "Accept") == "*/*"
        assert header(rec, "Content-Type") == "application/json"
        assert header(rec, "vq-secret-ver") == "3"
        assert header(rec, "vq-program-id") == "prog-normal"
        assert header(rec, "Content-Length") == str(len(rec["raw_body"]))
        stamp, nonce = header(rec, "vq-timestamp"), header(rec, "vq-nonce")
        assert stamp.isdigit() and int(t0) <= int(stamp) <= int(t1)  # seconds, not milliseconds
        assert nonce.isdigit() and 0 <= int(nonce) <= 2147483646 and str(int(nonce)) == nonce
        assert header(rec, "vq-signature") == wire.sign(NORMAL_RECORD.token, rec["body"], stamp, nonce, "3")
    versions = set(header(r, "vq-spec-sdk-version") for r in ok)
    assert versions == {"python-1.2.3", OTHER_SDK_VERSION}


def test_set_req_id_changes_header_and_log_lines(normal):
    old = normal["results"]["echo"]["req_id"]
    res = normal["results"]["set_req_id"]
    assert res["req_id"] == NEW_REQ_ID != old
    assert res["data"] == "after set_req_id"
    assert normal["logs"]["set_req_id"] == [begin(NEW_REQ_ID), end(NEW_REQ_ID)]
    rec = one_record(normal, NEW_REQ_ID, call=dict(IDENTITY, data="after set_req_id"))
    assert header(rec, "vq-spec-sdk-version") == "python-1.2.3"


def test_sdk_version_header_follows_assignment(normal):
    res = normal["results"]["sdk_version"]
    assert res["data"] == "with another SDK_VERSION"
    rec = one_record(normal, NEW_REQ_ID, call=dict(IDENTITY, data="with another SDK_VERSION"))
    assert header(rec, "vq-spec-sdk-version") == OTHER_SDK_VERSION


@pytest.mark.parametrize("name", CLIENT_METHODS)
def test_api_method_posts_to_its_path(normal, name):
    path = method_path(name)
    param = json.dumps({"method": name})
    res = normal["results"]["method:" + name]
    rid = res["req_id"]
    assert normal["logs"]["method:" + name] == [begin(rid, path), end(rid)]
    rec = one_record(normal, rid, call=dict(IDENTITY, data=param))
    assert rec["path"] == path and rec["api"] == path and rec["verdict"] == 0
    assert res["data"] == rec["result"]
    result = json.loads(res["data"])
    assert result["errcode"] == 0 and result["errmsg"] == "ok"


def test_document_list_sends_what_knowledge_base_list_sends(normal):
    recs = [r for r in normal["records"] if header(r, "vq-req-id") == "e2e-alias"]
    assert len(recs) == 2
    assert [r["path"] for r in recs] == ["/cgi-bin/knowledgebase/list"] * 2
    assert recs[0]["body"] == recs[1]["body"]  # the encryption is deterministic
    for name in ("document_list", "knowledge_base_list"):
        assert normal["logs"]["alias:" + name] == [begin("e2e-alias", "/cgi-bin/knowledgebase/list"),
                                                   end("e2e-alias")]
        assert normal["results"]["alias:" + name]["data"] == recs[0]["result"]


def case_record(normal, name):
    return one_record(normal, case_req_id(name))


@pytest.mark.parametrize("name, returned", [
    ("plain", lambda rec: PLAIN_TEXT),
    ("plain_no_ver_no_signature", lambda rec: rec["answer"]["body"]),
    ("plain_ignores_status", lambda rec: rec["answer"]["body"]),
    ("plain_capitalised_names", lambda rec: rec["answer"]["body"]),
    ("plain_empty", lambda rec: ""),
    ("charset_latin1", lambda rec: LATIN1_TEXT),
    ("charset_utf8", lambda rec: UTF8_TEXT),
])
def test_plain_answer_is_accepted_with_status_zero(normal, name, returned):
    rec = case_record(normal, name)
    rid = case_req_id(name)
    res = normal["results"][name]
    assert "exc" not in res, res
    assert res["data"] == returned(rec)
    assert normal["logs"][name] == [
        begin(rid),
        ("ERR", "", "no encrypt headers, treat as plain " + returned(rec)),
        end(rid, "0"),
    ]


def test_charset_of_answer_decides_decoding(normal):
    latin = case_record(normal, "charset_latin1")["answer"]
    assert dict(latin["headers"])["Content-Type"] == "text/plain; charset=latin-1"
    assert latin["raw_body"] == LATIN1_TEXT.encode("latin-1")
    utf8 = case_record(normal, "charset_utf8")["answer"]
    assert utf8["raw_body"] == UTF8_TEXT.encode("utf-8")
    res = normal["results"]["charset_encrypted"]
    assert res["data"] == "charset_encrypted"


@pytest.mark.parametrize("missing", ["vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp", "vq-status"])
def test_missing_security_header_is_invalid_header(normal, missing):
    name = "missing:" + missing
    rec = case_record(normal, name)
    rid = case_req_id(name)
    res = normal["results"][name]
    assert res["exc"]["type"] == "builtins.Exception"
    assert res["exc"]["args"] == ["Invalid header"]
    answer = rec["answer"]
    assert missing not in dict(answer["headers"])
    line = "SpecToVQHTTPRspDecoder Invalid header 200 %s %s" % (
        [(k, v) for k, v in answer["headers"]], answer["body"])
    assert normal["logs"][name] == [begin(rid), ("ERR", "", line)]


@pytest.mark.parametrize("name", ["bad_signature:other_token", "bad_signature:upper_case"])
def test_bad_signature_is_invalid_signature(normal, name):
    rec = case_record(normal, name)
    rid = case_req_id(name)
    res = normal["results"][name]
    assert res["exc"]["type"] == "builtins.Exception"
    assert res["exc"]["args"] == ["Invalid signature"]
    h = dict(rec["answer"]["headers"])
    computed = wire.sign(NORMAL_RECORD.token, rec["answer"]["body"], h["vq-timestamp"], h["vq-nonce"],
                         h["vq-secret-ver"])
    assert computed != h["vq-signature"]
    if name.endswith("upper_case"):
        assert h["vq-signature"] == computed.upper()
    assert normal["logs"][name] == [begin(rid), ("ERR", "", "Invalid signature %s... %s" % (computed[:8], h["vq-signature"]))]


@pytest.mark.parametrize("name, status", [("status:7", "7"), ("status:-40001", "-40001"),
                                          ("http503_status_1", "1")])
def test_nonzero_status_raises_post_err_after_end_line(normal, name, status):
    rid = case_req_id(name)
    res = normal["results"][name]
    assert res["exc"]["type"] == "builtins.Exception"
    assert res["exc"]["args"] == [status, "Post Err"]
    assert normal["logs"][name] == [begin(rid), end(rid, status)]


@pytest.mark.parametrize("name, received", [
    # HTTP header parsing drops the leading blanks of a value, keeps the trailing ones.
    ("status_zero: 0 ", "0 "),
    ("status_zero:+0", "+0"),
    ("status_zero:000", "000"),
])
def test_status_reading_as_zero_is_success(normal, name, received):
    rid = case_req_id(name)
    res = normal["results"][name]
    assert res["data"] == name
    assert normal["logs"][name] == [begin(rid), end(rid, received)]


def test_status_not_a_number_fails_after_end_line(normal):
    rid = case_req_id("status:abc")
    res = normal["results"]["status:abc"]
    assert res["exc"]["value_error"], res
    assert normal["logs"]["status:abc"] == [begin(rid), end(rid, "abc")]


@pytest.mark.parametrize("name", ["http500", "other_secret_ver", "api_result", "echo_empty"])
def test_valid_answers_succeed(normal, name):
    rec = case_record(normal, name)
    rid = case_req_id(name)
    res = normal["results"][name]
    assert res["data"] == (rec["result"] if name != "api_result" else
                           u'{"errcode": 0, "errmsg": "ok", "x": "\u00e9"}')
    if name == "echo_empty":
        assert res["data"] == "" and rec["answer"]["body"] == "" and rec["body"] != ""
    path = ECHO_PATH if name != "api_result" else "/cgi-bin/chatdata/sync_msg"
    assert normal["logs"][name] == [begin(rid, path), end(rid)]
    if name == "http500":
        assert rec["answer"]["status_code"] == 500
    if name == "other_secret_ver":
        assert answer_header(rec, "vq-secret-ver") == "99"


def test_undecryptable_body_fails_after_begin_only(normal):
    rid = case_req_id("undecryptable")
    res = normal["results"]["undecryptable"]
    assert res["exc"]["value_error"], res
    assert normal["logs"]["undecryptable"] == [begin(rid)]


@pytest.mark.parametrize("name, exc_type", [
    ("transport:refused", "requests.exceptions.ConnectionError"),
    ("transport:server_closes", "requests.exceptions.ConnectionError"),
    ("transport:connect_timeout", "requests.exceptions.ConnectTimeout"),
    ("transport:read_timeout", "requests.exceptions.ReadTimeout"),
    ("transport:untrusted_certificate", "requests.exceptions.SSLError"),
])
def test_transport_failures_reach_the_caller(normal, name, exc_type):
    rid = case_req_id(name)
    res = normal["results"][name]
    assert res["exc"]["type"] == exc_type, res
    assert normal["logs"][name] == [begin(rid)]
    seen = [r for r in normal["records"] if header(r, "vq-req-id") == rid]
    if name in ("transport:read_timeout", "transport:server_closes"):
        assert len(seen) == 1 and seen[0]["verdict"] == 0
    else:
        assert seen == []
    if name == "transport:untrusted_certificate":
        assert normal["foreign_records"] == []
        assert [w for w, _ in normal["foreign_errors"]] == ["handshake"]


# -- debug mode -------------------------------------------------------------------

@pytest.fixture(scope="module")
def debug(certs, tmp_path_factory):
    trusted, _ = certs
    tmp = str(tmp_path_factory.mktemp("e2e-debug"))
    relay = PlatformSimulator(DEBUG_RECORD, ACCESS_TOKEN, cert_dir=trusted.directory, lifetime=120)
    test_env = PlatformSimulator(DEBUG_RECORD, ACCESS_TOKEN, cert_dir=trusted.directory, lifetime=120)
    with relay, test_env:
        cfg = dict(IDENTITY, secret_file=os.path.join(tmp, "no-secret-file"),
                   domain="https://127.0.0.1:%d" % closed_port(), debug_domain=relay.base_url,
                   debug_test_domain=test_env.base_url, debug_token=DEBUG_RECORD.debug_token(),
                   access_token=ACCESS_TOKEN, echo_data=ECHO_DATA, methods=CLIENT_METHODS)
        results, logs = run_child(CHILD_DEBUG, cfg, tmp, trusted.ca)
        yield {"results": results, "logs": logs, "relay": relay.requests, "test": test_env.requests}


def test_debug_mode_opens(debug):
    assert "exc" not in debug["results"]["open"]
    assert debug["logs"]["open"] == [
        ("INFO", "", "parse secret 5 32 43 prog-debug"),
        ("INFO", "", "----------------- debug mode enabled -----------------"),
    ]


def check_relay_record(rec, path, t0, t1):
    assert rec["path"] == RELAY_PATH and rec["relay"]
    assert rec["query"] == RELAY_QUERY_PREFIX + ACCESS_TOKEN
    assert rec["api"] == path and rec["verdict"] == 0
    assert header_names(rec) == DEBUG_HEADERS
    assert header(rec, "vq-spec-trans-api") == path
    assert header(rec, "vq-secret-ver") == "5"
    assert header(rec, "vq-program-id") == "prog-debug"
    assert header(rec, "vq-spec-sdk-version") == "python-1.2.3"
    assert header(rec, "Content-Length") == str(len(rec["raw_body"]))
    stamp, nonce = header(rec, "vq-timestamp"), header(rec, "vq-nonce")
    assert int(t0) <= int(stamp) <= int(t1)
    assert 0 <= int(nonce) <= 2147483646
    assert header(rec, "vq-signature") == wire.sign(DEBUG_RECORD.token, rec["body"], stamp, nonce, "5")


@pytest.mark.parametrize("name", ["echo"] + CLIENT_METHODS)
def test_debug_calls_go_through_the_relay(debug, name):
    key = name if name == "echo" else "method:" + name
    path = method_path(name)
    param = ECHO_DATA if name == "echo" else json.dumps({"method": name})
    res = debug["results"][key]
    rid = res["req_id"]
    assert debug["logs"][key] == [begin(rid, path), end(rid)]
    recs = [r for r in debug["relay"] if r["call"] == dict(IDENTITY, data=param)]
    assert len(recs) == 1
    check_relay_record(recs[0], path, *debug["results"]["_clock"])
    assert res["data"] == recs[0]["result"]
    if name == "echo":
        assert res["data"] == ECHO_DATA


def test_debug_test_domain_switch(debug):
    t0, t1 = debug["results"]["_clock"]
    assert debug["logs"]["use_test_domain"] == [("INFO", "", "use test domain True")]
    assert debug["logs"]["regular_domain"] == [("INFO", "", "use test domain False")]
    assert debug["results"]["test_domain:echo"]["data"] == "to the test domain"
    assert debug["logs"]["test_domain:create_rule"] == [
        begin("e2e-test-domain", "/cgi-bin/chatdata/keyword/create_rule"), end("e2e-test-domain")]
    test_recs = debug["test"]
    assert [r["api"] for r in test_recs] == [ECHO_PATH, "/cgi-bin/chatdata/keyword/create_rule"]
    for rec, path in zip(test_recs, [ECHO_PATH, "/cgi-bin/chatdata/keyword/create_rule"]):
        check_relay_record(rec, path, t0, t1)
        assert header(rec, "vq-req-id") == "e2e-test-domain"
    assert not [r for r in debug["relay"] if header(r, "vq-req-id") == "e2e-test-domain"]
    empty = [r for r in debug["relay"] if header(r, "vq-req-id") == "e2e-empty-test-domain"]
    assert len(empty) == 1 and empty[0]["call"]["data"] == "empty test domain"
    assert debug["results"]["empty_test_domain:echo"]["data"] == "empty test domain"
    back = [r for r in debug["relay"] if header(r, "vq-req-id") == "e2e-regular-again"]
    assert len(back) == 1 and back[0]["call"]["data"] == "back to the regular domain"
    assert debug["results"]["regular_domain:echo"]["data"] == "back to the regular domain"
