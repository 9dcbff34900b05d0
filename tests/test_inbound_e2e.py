"""The platform's calls into the example program, end to end over sockets.

examples/provider_app.py runs in a child process in debug mode on
127.0.0.1; PlatformCaller plays the platform, signing and encrypting with
simulator.wire, and checks every answer as the platform would.  The
program's outbound calls (the asynchronous job's report) go to a
PlatformSimulator through its debug relay.
"""
import hashlib
import json
import os
import sys
import threading
import time

import pytest

from conftest import LOG_RE, ROOT, log_texts, parse_log
from simulator import wire
from simulator.caller import PlatformCaller, ProgramProcess
from simulator.platform import PlatformSimulator

EXAMPLE = os.path.join(ROOT, "examples", "provider_app.py")
INQUEUE_MS = 30000
ASYNC_CALLBACK = "/cgi-bin/spec/program_async_job_call_back"
ACCESS_TOKEN = "e2e-access"


def derived_secret(seed):
    token = hashlib.sha256(("token:" + seed).encode("utf-8")).hexdigest()[:32]
    return wire.SecretRecord("1", token, wire.make_key_text("aes:" + seed), "prog-" + seed)


SECRET = derived_secret("inbound-e2e")


def child_env(extra=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [ROOT, os.environ.get("PYTHONPATH", "")] if p)
    env["PYTHONIOENCODING"] = "utf-8"
    for name in ("VQ_DEBUG_TOKEN", "VQ_ACCESS_TOKEN", "VQ_DOMAIN"):
        env.pop(name, None)
    env.update(extra or {})
    return env


def debug_env(secret, access_token, **extra):
    """The environment that opens the program's debug mode (tokens never go on its command line)."""
    env = {"VQ_DEBUG_TOKEN": secret.debug_token(), "VQ_ACCESS_TOKEN": access_token}
    env.update(extra)
    return env


def start_program(args=(), env=None):
    argv = [sys.executable, "-u", EXAMPLE, "--port", "0", "--exit-after", "120"] + list(args)
    prog = ProgramProcess(argv, env=child_env(env), cwd=ROOT)
    try:
        prog.wait_ready(30)
    except Exception:
        prog.stop()
        raise
    return prog


@pytest.fixture(scope="module")
def platform():
    sim = PlatformSimulator(SECRET, ACCESS_TOKEN, lifetime=300).start()
    yield sim
    sim.stop()


@pytest.fixture(scope="module")
def program(platform):
    prog = start_program(env=debug_env(SECRET, ACCESS_TOKEN, VQ_DOMAIN=platform.base_url,
                                       REQUESTS_CA_BUNDLE=platform.ca_path))
    yield prog
    prog.stop()


@pytest.fixture
def caller(program):
    return PlatformCaller(SECRET, program.url, timeout=10, inqueue_timeout_ms=INQUEUE_MS)


def logged(program, needle, last, timeout=10):
    """(level, req_id, text) of the program's lines containing needle, once `last` is among them."""
    assert program.wait_for(lambda l: needle in l and last in l, timeout), \
        "no line with %r and %r in:\n%s" % (needle, last, program.output())
    with_needle = "\n".join(l for l in program.output().splitlines() if needle in l)
    return log_texts(with_needle)


def arrival(sent):
    h = sent.header_map
    return "VQToSpecHTTPReqDecoder init ver %s %s %s %s" % (
        h["vq-secret-ver"], h["vq-timestamp"], h["vq-timestamp-ms"], h["vq-inqueue-timeout-ms"])


def check_inqchk(text, sent, timed_out):
    parts = text.split(" ")
    assert parts[0] == "inqchk" and parts[5:] == ["|", "timeout", str(timed_out)], text
    beg, now, diff, limit = [int(x) for x in parts[1:5]]
    assert beg == int(sent.header_map["vq-timestamp-ms"])
    assert diff == now - beg
    assert limit == INQUEUE_MS
    assert (diff > limit) == timed_out


# ---- normal answers ------------------------------------------------------------------------


def test_normal_call_is_answered_signed_and_encrypted(program, caller):
    res = caller.call(json.dumps({"text": "hello spec world"}), corpid="wwcorp1", agentid=1000002)
    assert res.problems == []
    assert (res.status, res.verdict, res.vq_status) == (200, "answered", "0")
    assert res.json == {"errcode": 0, "errmsg": "ok", "reply": "you said: hello spec world", "words": 3}
    # The eight entries of the normal header set, in order, after the web
    # server's own Server and Date.
    names = [n for n, _ in res.headers if n not in ("Server", "Date")]
    assert names == ["Accept", "Content-Type", "vq-status", "vq-secret-ver", "vq-signature",
                     "vq-nonce", "vq-timestamp", "Content-Length"]
    assert res.header("vq-secret-ver") == SECRET.ver
    assert res.header("vq-signature") == wire.sign(SECRET.token, res.body, res.header("vq-timestamp"),
                                                   res.header("vq-nonce"), SECRET.ver)
    assert res.header("Content-Length") == str(len(res.body))

    rid = res.sent.req_id
    lines = logged(program, rid, "inqchk")
    assert lines[0] == ("INFO", rid, arrival(res.sent))
    assert lines[1][:2] == ("INFO", rid)
    check_inqchk(lines[1][2], res.sent, False)
    assert len(lines) == 2


def test_decoder_lines_name_the_calling_file(program, caller):
    res = caller.call("plain words")
    rid = res.sent.req_id
    program.wait_for(lambda l: rid in l and "inqchk" in l, 10)
    mine = [l for l in parse_log(program.output()) if l.req_id == rid]
    # The web app's decoding step makes the decoder; its file is named.
    assert [l.file for l in mine] == ["pipeline.py", "pipeline.py"]
    assert all(l.line.isdigit() for l in mine)


def test_plain_text_data_is_answered(caller):
    res = caller.call("plain words here")
    assert res.problems == []
    assert res.json == {"errcode": 0, "errmsg": "ok", "reply": "you said: plain words here", "words": 3}


def test_empty_data_is_answered(caller):
    res = caller.call("")
    assert res.problems == []
    assert res.json == {"errcode": 0, "errmsg": "ok", "reply": "you said: ", "words": 0}


def test_program_failure_is_a_signed_internal_error_answer(program, caller):
    res = caller.call(json.dumps({"action": "fail", "reason": "disk full"}))
    assert res.problems == []
    assert (res.status, res.verdict, res.vq_status) == (200, "answered", "0")
    assert res.text == '{"errcode": 710660, "errmsg": "disk full"}'
    rid = res.sent.req_id
    lines = logged(program, rid, "call failed")
    assert lines[-1] == ("ERR", rid, "call failed: disk full")


def test_internal_error_message_is_ascii_escaped(caller):
    res = caller.call(json.dumps({"action": "fail", "reason": "caf\u00e9 \"closed\""}))
    assert res.problems == []
    assert res.text == '{"errcode": 710660, "errmsg": "caf\\u00e9 \\"closed\\""}'
    assert res.json == {"errcode": 710660, "errmsg": "caf\u00e9 \"closed\""}


def test_failure_without_reason(caller):
    res = caller.call(json.dumps({"action": "fail"}))
    assert res.json == {"errcode": 710660, "errmsg": "asked to fail"}


def test_header_names_in_any_case(caller):
    sent = caller.build(json.dumps({"text": "shouting"}))
    sent.headers = [(n.upper() if n.startswith("vq-") else n, v) for n, v in sent.headers]
    res = caller.send(sent)
    assert res.problems == []
    assert res.json["reply"] == "you said: shouting"


def test_repeated_header_keeps_the_last_value(caller):
    sent = caller.build("twice")
    # A stale copy of vq-secret-ver first, the right one last.
    sent.headers = [("vq-secret-ver", "9")] + sent.headers
    res = caller.send(sent)
    assert (res.verdict, res.problems) == ("answered", [])


# ---- retry notifications -------------------------------------------------------------------------


def test_other_secret_version_gets_retry_notify_1(program, caller):
    res = caller.call("x", kind="other_version")
    assert res.problems == []
    assert (res.status, res.verdict, res.vq_status) == (200, "retry_notify", "1")
    names = [n for n, _ in res.headers if n not in ("Server", "Date")]
    assert names == ["Accept", "Content-Type", "vq-status", "vq-secret-ver-expected", "Content-Length"]
    assert res.header("vq-secret-ver-expected") == SECRET.ver
    assert (res.body, res.header("Content-Length")) == ("", "0")
    rid = res.sent.req_id
    assert res.sent.header_map["vq-secret-ver"] == "2"
    lines = logged(program, rid, "ver not matched")
    assert lines == [("INFO", rid, arrival(res.sent)), ("ERR", rid, "ver not matched 2 1")]


def test_stale_call_gets_retry_notify_2(program, caller):
    res = caller.call("x", kind="stale")
    assert res.problems == []
    assert (res.status, res.verdict, res.vq_status) == (200, "retry_notify", "2")
    assert res.header("vq-secret-ver-expected") == SECRET.ver
    for name in ("vq-signature", "vq-nonce", "vq-timestamp", "vq-secret-ver"):
        assert res.header(name) is None
    rid = res.sent.req_id
    lines = logged(program, rid, "timeout True")
    assert lines[0] == ("INFO", rid, arrival(res.sent))
    check_inqchk(lines[1][2], res.sent, True)
    assert len(lines) == 2  # no error line for a queue time-out


# ---- refusals -------------------------------------------------------------------------------------


def test_bad_signature_is_refused(program, caller):
    res = caller.call("x", kind="bad_signature")
    assert (res.status, res.verdict, res.vq_status) == (400, "refused", None)
    assert res.body == "Invalid signature\n"
    real = res.sent.expected_real_sign(SECRET)
    assert real != res.sent.header_map["vq-signature"]
    lines = logged(program, real[:8] + "...", "real_sign")
    assert lines == [("ERR", "", "VQToSpecHTTPReqDecoder Err Invalid signature, real_sign: " + real[:8] + "...")]


def test_missing_signature_is_refused(program, caller):
    res = caller.call("x", kind="no_signature")
    assert (res.status, res.verdict, res.vq_status) == (400, "refused", None)
    assert res.body == "Invalid header\n"
    # Refused by the web app before the body is read: the decoder never sees it.
    assert program.wait_for(lambda l: "Invalid header, no vq-signature" in l, 10)
    assert ("ERR", "", "call refused before its body: Invalid header, no vq-signature") in log_texts(program.output())
    assert res.sent.req_id not in program.output()


def test_body_that_does_not_decrypt_is_refused(caller):
    sent = caller.build("x")
    sent.body = sent.body[:-8]  # cut cipher text, signed as cut
    h = dict(sent.headers)
    sig = wire.sign(SECRET.token, sent.body, h["vq-timestamp"], h["vq-nonce"], h["vq-secret-ver"])
    sent.headers = [(n, sig if n == "vq-signature" else v) for n, v in sent.headers]
    res = caller.send(sent)
    assert (res.status, res.verdict) == (400, "refused")


def test_health_check(program):
    import http.client
    host, port = program.url[len("http://"):].rstrip("/").split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        conn.request("GET", "/healthz")
        resp = conn.getresponse()
        assert (resp.status, resp.read()) == (200, b"ok\n")
    finally:
        conn.close()


# ---- asynchronous calls -----------------------------------------------------------------------


def callback_for(platform, job, timeout=15):
    """The simulator's record of the job's program_async_job_call_back, once it arrives."""
    end = time.time() + timeout
    while time.time() < end:
        for rec in platform.requests_for(api=ASYNC_CALLBACK):
            if rec["call"] and rec["call"]["job_info"] == job:
                return rec
        time.sleep(0.05)
    return None


def test_async_call_is_accepted_then_reported(program, platform, caller):
    res = caller.call(json.dumps({"text": "a long job"}), is_async=True, job_info="job-e2e-1",
                      corpid="wwcorp9", agentid=1000009, ability_id="ab-9")
    assert res.problems == []
    assert (res.status, res.verdict, res.vq_status) == (200, "answered", "0")
    assert res.json == {"errcode": 0, "errmsg": "ok", "accepted": True, "job_info": "job-e2e-1"}

    rec = callback_for(platform, "job-e2e-1")
    assert rec is not None, program.output()
    assert (rec["verdict"], rec["relay"]) == (0, True)
    call = rec["call"]
    assert (call["corpid"], call["agentid"], call["ability_id"]) == ("wwcorp9", 1000009, "ab-9")
    assert json.loads(call["data"]) == {"errcode": 0, "errmsg": "ok", "job_info": "job-e2e-1",
                                        "result": {"reply": "you said: a long job", "words": 3}}
    # The program's outbound lines: begin, end, and its own report line.
    rid = [v for k, v in rec["headers"] if k.lower() == "vq-req-id"][0]
    lines = logged(program, rid, "spec2vq end")
    assert lines == [("INFO", rid, "spec2vq begin " + ASYNC_CALLBACK), ("INFO", rid, "spec2vq end 0")]
    report = logged(program, "async job reported job-e2e-1", "async job")
    assert report == [("INFO", res.sent.req_id, 'async job reported job-e2e-1 {"errcode": 0, "errmsg": "ok"}')]


def test_async_call_whose_work_fails_reports_the_error(platform, caller):
    res = caller.call(json.dumps({"action": "fail", "reason": "no model"}), is_async=True,
                      job_info="job-e2e-2")
    # The call itself is accepted; the failure travels in the report.
    assert res.json == {"errcode": 0, "errmsg": "ok", "accepted": True, "job_info": "job-e2e-2"}
    rec = callback_for(platform, "job-e2e-2")
    assert rec is not None
    assert json.loads(rec["call"]["data"]) == {"errcode": 710660, "errmsg": "no model", "job_info": "job-e2e-2"}


def test_async_report_refused_by_the_platform_is_logged(program, platform, caller):
    platform.set_fault("status", path=ASYNC_CALLBACK, value="4017")
    try:
        res = caller.call("x", is_async=True, job_info="job-e2e-3")
        assert res.json["accepted"] is True
        assert callback_for(platform, "job-e2e-3") is not None
        lines = logged(program, "async job report failed job-e2e-3", "Post Err")
    finally:
        platform.clear_faults()
    assert lines == [("ERR", res.sent.req_id, "async job report failed job-e2e-3 Exception('4017', 'Post Err')")]


# ---- several calls at once ----------------------------------------------------------------------


def test_concurrent_calls(caller):
    results = [None] * 6
    kinds = ["normal", "stale", "other_version", "normal", "bad_signature", "normal"]

    def one(i):
        results[i] = caller.call(json.dumps({"text": "call %d" % i}), kind=kinds[i])

    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(kinds))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    verdicts = [(r.verdict, r.vq_status) for r in results]
    assert verdicts == [("answered", "0"), ("retry_notify", "2"), ("retry_notify", "1"),
                        ("answered", "0"), ("refused", None), ("answered", "0")]
    for i in (0, 3, 5):
        assert results[i].problems == []
        assert results[i].json["reply"] == "you said: call %d" % i


# ---- the program as a whole --------------------------------------------------------------------


def test_program_output_is_log_lines_and_it_stops_cleanly():
    prog = start_program(env=debug_env(SECRET, ACCESS_TOKEN))
    try:
        caller = PlatformCaller(SECRET, prog.url, timeout=10)
        assert caller.call("one").verdict == "answered"
        assert caller.call("two", kind="stale").verdict == "retry_notify"
    finally:
        code = prog.stop()
    assert code == 0, prog.stderr
    texts = log_texts(prog.output())
    assert texts[0] == ("INFO", "", "parse secret 1 32 43 prog-inbound-e2e")
    assert texts[1] == ("INFO", "", "----------------- debug mode enabled -----------------")
    assert texts[2][2] == "provider program listening on " + prog.url
    assert texts[-1] == ("INFO", "", "provider program stopped")
    assert all(LOG_RE.match(l) for l in prog.output().splitlines())


def test_program_with_another_secret_refuses_the_platforms_signature():
    # The program holds a record of the same version but another token: the
    # version check passes, the signature check does not.
    theirs = derived_secret("someone-else")
    prog = start_program(env=debug_env(theirs, "x"))
    try:
        res = PlatformCaller(SECRET, prog.url, timeout=10).call("hi")
    finally:
        prog.stop()
    assert (res.status, res.verdict, res.body) == (400, "refused", "Invalid signature\n")


@pytest.mark.skipif(os.path.exists("/static_config/secret_key"), reason="runs inside the spec environment")
def test_program_without_secret_logs_it():
    prog = start_program()
    try:
        res = PlatformCaller(SECRET, prog.url, timeout=10).call("hi")
    finally:
        prog.stop()
    # A fault on the program's side: 500 without a text, and the reason in the log.
    assert (res.status, res.verdict, res.body) == (500, "refused", "")
    texts = log_texts(prog.output())
    assert ("ERR", res.sent.req_id, "call not decoded: Exception secret_key file not exists") in texts
    assert ("ERR", "", "no secret file and no debug token: every call will be refused") in texts
    assert ("ERR", "", "secret_key file not exists") not in texts
    assert ("ERR", "", "load secret_key exception: file not exists") in texts
