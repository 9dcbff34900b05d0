"""The platform stand-in's own checks, driven with hand-made requests
(http.client over TLS and simulator.wire), without the SDK."""
import base64
import hashlib
import http.client
import json
import os
import signal
import ssl
import subprocess
import sys
import time

import pytest

from conftest import ROOT
from simulator import wire
from simulator.certs import make_certs, make_untrusted_certs
from simulator.platform import (API_METHODS, ECHO_PATH, RELAY_PATH, RELAY_QUERY_PREFIX, PlatformSimulator,
                                api_result)

RECORD = wire.SecretRecord("7", hashlib.sha256(b"sim token").hexdigest()[:32], wire.make_key_text("sim key"),
                           "prog-sim")
ACCESS = "sim-" + hashlib.sha256(b"sim access").hexdigest()[:16]
CALL = {"corpid": "corp", "agentid": 12, "data": u'{"q": "\u00e9"}', "job_info": "j", "ability_id": "a"}


@pytest.fixture(scope="module")
def cert_dirs(tmp_path_factory):
    base = str(tmp_path_factory.mktemp("sim-certs"))
    return make_certs(os.path.join(base, "ca")), make_untrusted_certs(os.path.join(base, "other"))


@pytest.fixture(scope="module")
def sim(cert_dirs):
    with PlatformSimulator(RECORD, ACCESS, cert_dir=cert_dirs[0].directory, lifetime=60) as s:
        yield s


@pytest.fixture
def fresh(sim):
    sim.clear_faults()
    sim.clear_requests()
    sim.max_skew = None
    yield sim
    sim.clear_faults()
    sim.max_skew = None


def call_json(call=None):
    call = CALL if call is None else call
    return json.dumps(call)


def signed_headers(body, record=RECORD, stamp=None, nonce="12345", trans_api=None, req_id="SimReqId00000001"):
    stamp = str(int(time.time())) if stamp is None else stamp
    headers = [
        ("Accept", "*/*"),
        ("Content-Type", "application/json"),
        ("vq-secret-ver", record.ver),
        ("vq-signature", wire.sign(record.token, body, stamp, nonce, record.ver)),
        ("vq-nonce", nonce),
        ("vq-timestamp", stamp),
        ("vq-program-id", record.program_id),
        ("vq-req-id", req_id),
        ("vq-spec-sdk-version", "python-1.2.3"),
        ("Content-Length", str(len(body.encode("utf-8")))),
    ]
    if trans_api is not None:
        headers.append(("vq-spec-trans-api", trans_api))
    return headers


def post(sim, path, headers, body, method="POST", ca=None):
    ctx = ssl.create_default_context(cafile=ca or sim.ca_path)
    conn = http.client.HTTPSConnection("127.0.0.1", sim.port, context=ctx, timeout=10)
    try:
        conn.putrequest(method, path, skip_accept_encoding=True)
        for k, v in headers:
            conn.putheader(k, v)
        conn.endheaders(body.encode("utf-8") if body else None)
        rsp = conn.getresponse()
        return rsp.status, rsp.getheaders(), rsp.read()
    finally:
        conn.close()


def check_signed(headers, raw_body, record=RECORD):
    """The answer's status text and plain result, after checking its signature."""
    h = dict(headers)
    assert [k for k, _ in headers] == ["Content-Type", "Content-Length", "vq-secret-ver", "vq-signature",
                                       "vq-nonce", "vq-timestamp", "vq-status"]
    body = raw_body.decode("ascii")
    assert h["Content-Length"] == str(len(raw_body))
    assert h["vq-secret-ver"] == record.ver
    assert h["vq-signature"] == wire.sign(record.token, body, h["vq-timestamp"], h["vq-nonce"], record.ver)
    assert h["vq-timestamp"].isdigit() and 0 <= int(h["vq-nonce"]) <= 2147483646
    return h["vq-status"], wire.decrypt(record.encoding_aes_key, body)


def good_request(path=ECHO_PATH, call=None, **kw):
    body = wire.encrypt(RECORD.encoding_aes_key, call_json(call))
    return path, signed_headers(body, **kw), body


def test_cert_files(cert_dirs):
    trusted, other = cert_dirs
    ca, cert, key = trusted
    assert [os.path.basename(p) for p in (ca, cert, key)] == ["ca.pem", "server.pem", "server.key"]
    out = subprocess.check_output(["openssl", "x509", "-in", cert, "-noout", "-text"], universal_newlines=True)
    assert "IP Address:127.0.0.1" in out and "DNS:localhost" in out
    assert subprocess.call(["openssl", "verify", "-CAfile", ca, cert], stdout=subprocess.PIPE) == 0
    assert subprocess.call(["openssl", "verify", "-CAfile", ca, other.cert], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE) != 0


def test_untrusted_pair_is_refused_by_trusting_client(cert_dirs):
    trusted, other = cert_dirs
    with PlatformSimulator(RECORD, cert_dir=other.directory, lifetime=30) as s:
        with pytest.raises(ssl.SSLError):
            post(s, ECHO_PATH, [], "", ca=trusted.ca)
        assert s.wait_for(lambda sim: sim.errors)
        assert [w for w, _ in s.errors] == ["handshake"]
        assert s.requests == []


def test_echo_answer_is_signed_and_encrypted(fresh):
    path, headers, body = good_request()
    status, rsp_headers, raw = post(fresh, path, headers, body)
    assert status == 200
    assert check_signed(rsp_headers, raw) == ("0", CALL["data"])
    assert dict(rsp_headers)["Content-Type"] == "text/plain"
    [rec] = fresh.requests
    assert rec["path"] == ECHO_PATH and rec["api"] == ECHO_PATH and not rec["relay"]
    assert [k for k, _ in rec["headers"]] == ["Host"] + [k for k, _ in headers]
    assert rec["body"] == body and rec["call"] == CALL
    assert rec["verdict"] == 0 and rec["result"] == CALL["data"]


@pytest.mark.parametrize("name, path", API_METHODS[1:])
def test_api_paths_answer_json(fresh, name, path):
    p, headers, body = good_request(path)
    status, rsp_headers, raw = post(fresh, p, headers, body)
    code, result = check_signed(rsp_headers, raw)
    assert code == "0"
    assert result == api_result(path, CALL)
    parsed = json.loads(result)
    assert parsed["errcode"] == 0 and parsed["errmsg"] == "ok"
    assert fresh.requests[0]["api"] == path


def test_relay_resolves_the_api(fresh):
    path = "/cgi-bin/knowledgebase/rename"
    body = wire.encrypt(RECORD.encoding_aes_key, call_json())
    url = RELAY_PATH + "?" + RELAY_QUERY_PREFIX + ACCESS
    status, rsp_headers, raw = post(fresh, url, signed_headers(body, trans_api=path), body)
    assert check_signed(rsp_headers, raw) == ("0", api_result(path, CALL))
    [rec] = fresh.requests
    assert rec["relay"] and rec["path"] == RELAY_PATH and rec["api"] == path
    assert rec["query"] == RELAY_QUERY_PREFIX + ACCESS


def _drop(name):
    def mutate(path, headers, body):
        # Without Content-Length no body can be sent either.
        return path, [(k, v) for k, v in headers if k != name], "" if name == "Content-Length" else body
    return mutate


def _replace(name, value):
    def mutate(path, headers, body):
        return path, [(k, value if k == name else v) for k, v in headers], body
    return mutate


def _resign(call_text=None, body=None, **kw):
    def mutate(path, headers, _body):
        b = body if body is not None else wire.encrypt(RECORD.encoding_aes_key, call_text)
        return path, signed_headers(b, **kw), b
    return mutate


def _relay(token=ACCESS, trans_api=ECHO_PATH, prefix=RELAY_QUERY_PREFIX):
    def mutate(path, headers, body):
        extra = [] if trans_api is None else [("vq-spec-trans-api", trans_api)]
        return RELAY_PATH + "?" + prefix + token, headers + extra, body
    return mutate


REQUIRED = ["Accept", "Content-Type", "vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp",
            "vq-program-id", "vq-req-id", "vq-spec-sdk-version", "Content-Length"]


@pytest.mark.parametrize("mutate, code", [(_drop(n), 4001) for n in REQUIRED] + [
    (_replace("Content-Type", "text/plain"), 4002),
    (_resign(call_json(), record=wire.SecretRecord("8", RECORD.token, RECORD.encoding_aes_key, "prog-sim")), 4003),
    (_resign(call_json(), record=wire.SecretRecord("7", RECORD.token, RECORD.encoding_aes_key, "prog-x")), 4004),
    (_resign(call_json(), stamp="12.5"), 4011),
    (_resign(call_json(), nonce="2147483647"), 4011),
    (_resign(call_json(), nonce="-1"), 4011),
    (_replace("vq-signature", "0" * 64), 4005),
    (_resign(call_json(), record=wire.SecretRecord("7", "other", RECORD.encoding_aes_key, "prog-sim")), 4005),
    (_resign(body="bm90IGEgY2lwaGVyIHRleHQ="), 4007),
    (_resign(body=""), 4007),
    (_resign('["a list"]'), 4007),
    (_resign(json.dumps(dict(CALL, extra=1))), 4008),
    (_resign(json.dumps(dict((k, v) for k, v in CALL.items() if k != "job_info"))), 4008),
    (_resign(json.dumps(dict(CALL, agentid="12"))), 4008),
    (_resign(json.dumps(dict(CALL, data={"q": 1}))), 4008),
    (lambda p, h, b: ("/cgi-bin/chatdata/no_such_api", h, b), 4040),
    (_relay(token="wrong"), 4009),
    (_relay(prefix="_freego=other&access_token="), 4009),
    (_relay(trans_api=None), 4001),
    (_relay(trans_api="/cgi-bin/chatdata/sdk_debug_trans"), 4010),
])
def test_rejected_request_gets_signed_error(fresh, mutate, code):
    path, headers, body = mutate(*good_request())
    status, rsp_headers, raw = post(fresh, path, headers, body)
    assert status == 200
    status_text, result = check_signed(rsp_headers, raw)
    assert status_text == str(code)
    assert json.loads(result)["errcode"] == code
    [rec] = fresh.requests
    assert rec["verdict"] == code and rec["call"] is None


def test_get_is_refused(fresh):
    status, rsp_headers, raw = post(fresh, ECHO_PATH, [], "", method="GET")
    assert check_signed(rsp_headers, raw)[0] == "4050"


def test_time_skew_check_when_enabled(fresh):
    fresh.max_skew = 300
    path, headers, body = good_request(stamp="1000")
    assert check_signed(*post(fresh, path, headers, body)[1:])[0] == "4012"
    path, headers, body = good_request()
    assert check_signed(*post(fresh, path, headers, body)[1:])[0] == "0"


def _answer(sim, path=ECHO_PATH, req_id="SimReqId00000001"):
    p, headers, body = good_request(path, req_id=req_id)
    return post(sim, p, headers, body)


@pytest.mark.parametrize("options, conns", [
    (dict(), [1, 2, 3]),                               # HTTP/1.0: one request a connection
    (dict(keep_alive=True), [1, 1, 1]),
    (dict(keep_alive=True, delay=0.01), [1, 1, 1]),    # through the delaying proxy
    (dict(keep_alive=True, close_after=2), [1, 1, 2]),
])
def test_connections_carry_requests(cert_dirs, options, conns):
    with PlatformSimulator(RECORD, cert_dir=cert_dirs[0].directory, lifetime=30, **options) as s:
        ctx = ssl.create_default_context(cafile=s.ca_path)
        conn = http.client.HTTPSConnection("127.0.0.1", s.port, context=ctx, timeout=10)
        try:
            for i in range(3):
                path, headers, body = good_request(req_id="SimReqId0000000%d" % i)
                conn.request("POST", path, body=body.encode("utf-8"), headers=dict(headers))
                rsp = conn.getresponse()
                raw = rsp.read()
                last = options.get("close_after") == i + 1
                got = rsp.getheaders()
                assert (got[-1] == ("Connection", "close")) == last
                assert check_signed(got[:-1] if last else got, raw) == ("0", CALL["data"])
        finally:
            conn.close()
        assert [r["conn"] for r in s.requests] == conns
        assert s.errors == []


def test_fault_plain(fresh):
    fresh.set_fault("plain", text=u"caf\u00e9")
    status, headers, raw = _answer(fresh)
    assert headers == [("Content-Type", "text/plain"), ("Content-Length", str(len(raw)))]
    assert raw == u"caf\u00e9".encode("utf-8")


def test_fault_plain_default_is_the_result(fresh):
    fresh.set_fault("plain")
    assert _answer(fresh)[2] == CALL["data"].encode("utf-8")


def test_fault_charset_encodes_body(fresh):
    fresh.set_fault("plain", text=u"caf\u00e9")
    fresh.set_fault("charset", charset="latin-1")
    status, headers, raw = _answer(fresh)
    assert dict(headers)["Content-Type"] == "text/plain; charset=latin-1"
    assert raw == b"caf\xe9"


@pytest.mark.parametrize("name", ["vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp", "vq-status"])
def test_fault_missing_header(fresh, name):
    fresh.set_fault("missing_header", name=name)
    headers = _answer(fresh)[1]
    assert name not in dict(headers) and len(headers) == 6


def test_fault_bad_signature(fresh):
    fresh.set_fault("bad_signature")
    status, headers, raw = _answer(fresh)
    h = dict(headers)
    good = wire.sign(RECORD.token, raw.decode("ascii"), h["vq-timestamp"], h["vq-nonce"], h["vq-secret-ver"])
    assert h["vq-signature"] != good and len(h["vq-signature"]) == 64
    fresh.set_fault("bad_signature", upper=True)
    status, headers, raw = _answer(fresh)
    h = dict(headers)
    good = wire.sign(RECORD.token, raw.decode("ascii"), h["vq-timestamp"], h["vq-nonce"], h["vq-secret-ver"])
    assert h["vq-signature"] == good.upper()
    fresh.set_fault("bad_signature", signature="x")
    assert dict(_answer(fresh)[1])["vq-signature"] == "x"


def test_fault_status_http500_secret_ver_result(fresh):
    fresh.set_fault("status", value=" 0 ")
    fresh.set_fault("http500")
    fresh.set_fault("secret_ver", value="99")
    fresh.set_fault("result", text="{}")
    status, headers, raw = _answer(fresh)
    h = dict(headers)
    # HTTP header parsing drops the leading blank of a value.
    assert status == 500 and h["vq-status"] == "0 " and h["vq-secret-ver"] == "99"
    assert h["vq-signature"] == wire.sign(RECORD.token, raw.decode("ascii"), h["vq-timestamp"], h["vq-nonce"], "99")
    assert wire.decrypt(RECORD.encoding_aes_key, raw.decode("ascii")) == "{}"
    fresh.set_fault("http500", code=502)
    assert _answer(fresh)[0] == 502


def test_fault_undecryptable_header_case_extra_content_type(fresh):
    fresh.set_fault("undecryptable")
    fresh.set_fault("header_case")
    fresh.set_fault("extra_header", name="X-Extra", value="1")
    fresh.set_fault("content_type", value="application/json; charset=utf-8")
    status, headers, raw = _answer(fresh)
    assert [k for k, _ in headers] == ["Content-Type", "Content-Length", "Vq-Secret-Ver", "Vq-Signature",
                                       "Vq-Nonce", "Vq-Timestamp", "Vq-Status", "X-Extra"]
    h = dict(headers)
    assert h["Content-Type"] == "application/json; charset=utf-8"
    assert h["Vq-Signature"] == wire.sign(RECORD.token, raw.decode("ascii"), h["Vq-Timestamp"], h["Vq-Nonce"], "7")
    with pytest.raises(ValueError):
        wire.decrypt(RECORD.encoding_aes_key, raw.decode("ascii"))


def test_fault_close(fresh):
    fresh.set_fault("close")
    with pytest.raises(http.client.RemoteDisconnected):
        _answer(fresh)
    [rec] = fresh.requests
    assert rec["answer"] is None and rec["verdict"] == 0


def test_fault_slow_still_answers(fresh):
    fresh.set_fault("slow", seconds=0.05)
    assert check_signed(*_answer(fresh)[1:]) == ("0", CALL["data"])


def test_fault_scopes_and_clearing(fresh):
    fresh.set_fault("status", value="1")
    fresh.set_fault("status", path="/cgi-bin/chatdata/sync_msg", value="2")
    fresh.set_fault("status", req_id="OnlyThisReqId001", value="3")
    fresh.set_fault("status", path="/cgi-bin/chatdata/sync_msg", req_id="OnlyThisReqId001", value="4")

    def status(path=ECHO_PATH, req_id="SimReqId00000001"):
        return dict(_answer(fresh, path, req_id)[1])["vq-status"]

    assert status() == "1"
    assert status("/cgi-bin/chatdata/sync_msg") == "2"
    assert status(req_id="OnlyThisReqId001") == "3"
    assert status("/cgi-bin/chatdata/sync_msg", "OnlyThisReqId001") == "4"
    fresh.clear_faults(req_id="OnlyThisReqId001")
    assert status("/cgi-bin/chatdata/sync_msg", "OnlyThisReqId001") == "2"
    fresh.clear_faults(path="/cgi-bin/chatdata/sync_msg")
    assert status("/cgi-bin/chatdata/sync_msg") == "1"
    fresh.clear_faults()
    assert status() == "0"
    assert [sorted(r["faults"]) for r in fresh.requests][:2] == [["status"], ["status"]]


@pytest.mark.parametrize("kind, params", [
    ("no_such_kind", {}), ("missing_header", {}), ("status", {}), ("charset", {}), ("extra_header", {"name": "a"}),
    ("result", {}),
])
def test_set_fault_refuses_bad_arguments(sim, kind, params):
    with pytest.raises(ValueError):
        sim.set_fault(kind, **params)


def test_lifetime_stops_server(cert_dirs):
    s = PlatformSimulator(RECORD, cert_dir=cert_dirs[0].directory, lifetime=0.2).start()
    try:
        assert s.wait(10)
        assert not s.running
    finally:
        s.stop()
    assert os.path.isfile(cert_dirs[0].ca)  # a given cert dir is kept


def test_own_cert_dir_is_removed():
    s = PlatformSimulator(RECORD).start()
    d = s.cert_dir
    assert os.path.isfile(os.path.join(d, "ca.pem"))
    s.stop()
    assert not os.path.exists(d)


@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_command_line_runs_and_stops_on_interrupt(tmp_path, stop_signal):
    secret_file = os.path.join(str(tmp_path), "secret_key")
    proc = subprocess.Popen([sys.executable, "-m", "simulator", "--seconds", "20", "--secret-file", secret_file],
                            cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    try:
        lines = []
        deadline = time.time() + 20
        while time.time() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            lines.append(line.rstrip("\n"))
            if line.startswith("Serving"):
                break
        info = dict(l.split(": ", 1) for l in lines if ": " in l and not l.startswith("vqspecapisdk"))
        port = int(info["Port"])
        ca = info["CA certificate"]
        with open(secret_file) as f:
            line = f.read()
        assert line.endswith("\n") and len(line.rstrip("\n").split(",")) == 4
        assert base64.b64decode(info["Debug token"]).decode("utf-8") == line.rstrip("\n")
        ver, token, key, program_id = line.rstrip("\n").split(",")
        assert len(key) == 43 and len(base64.b64decode(key + "=")) == 32
        assert "export REQUESTS_CA_BUNDLE=%s" % ca in lines
        assert "vqspecapisdk.DOMAIN = 'https://127.0.0.1:%d'" % port in lines
        assert "vqspecapisdk.DEBUG_DOMAIN = 'https://127.0.0.1:%d'" % port in lines
        assert "vqspecapisdk.spec_open_debug_mode(%r, %r)" % (info["Debug token"], info["Access token"]) in lines
        assert "vqspecapisdk.SECRET_KEY_FILE_PATH = %r  # normal mode instead of debug mode" % secret_file in lines

        # The printed settings reach a working gateway.
        record = wire.SecretRecord(ver, token, key, program_id)
        body = wire.encrypt(key, call_json())

        class Target(object):
            ca_path = ca
        Target.port = port
        status, headers, raw = post(Target, ECHO_PATH, signed_headers(body, record=record), body)
        assert check_signed(headers, raw, record) == ("0", CALL["data"])
        assert proc.stdout.readline().rstrip("\n") == "POST %s -> 0 ok" % ECHO_PATH

        proc.send_signal(stop_signal)
        # generous: on a machine running several sanitizer builds at once
        # the interpreter's shutdown alone has taken many seconds
        out, err = proc.communicate(timeout=60)
        assert proc.returncode == 0, err
        assert out.splitlines()[-1] == "stopped"
        assert not os.path.exists(os.path.dirname(ca))  # the CA's and the server's keys with it
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
