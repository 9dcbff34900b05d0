"""The WSGI and ASGI apps under real servers, with the simulator as the caller.

The example program (examples/provider_app.py) is served by its own wsgiref
server, by gunicorn (2 workers) and by uvicorn (with its plain handler and
with an `async def` one); PlatformCaller signs, encrypts and checks every
answer independently of the module.
"""
import http.client
import json
import os
import shutil
import socket
import subprocess
import time

import pytest

from conftest import ROOT, log_texts
from simulator import wire
from simulator.caller import PlatformCaller
from simulator.servers import free_port, start_server, unavailable
from test_inbound_e2e import ACCESS_TOKEN, SECRET, child_env, debug_env

TESTS = os.path.join(ROOT, "tests")
SERVERS = {
    "wsgiref": dict(kind="wsgiref"),
    "gunicorn": dict(kind="gunicorn", workers=2),
    "uvicorn": dict(kind="uvicorn"),
    "uvicorn-async": dict(kind="uvicorn", target="web_async_app:app", app_dir=TESTS),
}


def serve(name, **env):
    spec = dict(SERVERS[name])
    reason = unavailable(spec["kind"])
    if reason:
        pytest.skip(reason)
    return start_server(spec.pop("kind"), child_env(debug_env(SECRET, ACCESS_TOKEN, **env)), **spec)


@pytest.fixture(scope="module", params=sorted(SERVERS))
def served(request):
    prog = serve(request.param)
    yield prog
    prog.stop()


def caller_for(prog, inqueue_timeout_ms=30000):
    return PlatformCaller(SECRET, prog.url, timeout=10, inqueue_timeout_ms=inqueue_timeout_ms)


def lines_with(prog, needle, timeout=10):
    """(level, req_id, text) of the server's log lines containing needle, once there is one."""
    assert prog.wait_for(lambda l: needle in l, timeout), "no %r in:\n%s" % (needle, prog.output())
    return log_texts("\n".join(l for l in prog.output().splitlines() if needle in l))


# ---- calls built by the simulator --------------------------------------------------------------


def upper_case_names(c):
    sent = c.build(json.dumps({"text": "loud"}))
    sent.headers = [(n.upper(), v) for n, v in sent.headers]
    return sent


def repeated_version(c):
    sent = c.build(json.dumps({"text": "twice"}))
    sent.headers = [("vq-secret-ver", "9")] + sent.headers  # the last one counts
    return sent


def cut_body(c):
    sent = c.build("x")
    sent.body = sent.body[:-8]  # cut cipher text, signed as cut
    h = sent.header_map
    sig = wire.sign(SECRET.token, sent.body, h["vq-timestamp"], h["vq-nonce"], h["vq-secret-ver"])
    sent.headers = [(n, sig if n == "vq-signature" else v) for n, v in sent.headers]
    return sent


ANSWERED = {"errcode": 0, "errmsg": "ok"}
CALLS = [
    # (case, build, HTTP status, verdict, vq-status, answer JSON or refusal text)
    ("genuine", lambda c: c.build(json.dumps({"text": "hello web"})), 200, "answered", "0",
     dict(ANSWERED, reply="you said: hello web", words=2)),
    ("other secret version", lambda c: c.build("x", kind="other_version"), 200, "retry_notify", "1", None),
    ("too long in the queue", lambda c: c.build("x", kind="stale"), 200, "retry_notify", "2", None),
    ("handler raises", lambda c: c.build(json.dumps({"action": "fail", "reason": "disk full"})),
     200, "answered", "0", {"errcode": 710660, "errmsg": "disk full"}),
    ("header names in capitals", upper_case_names, 200, "answered", "0", dict(ANSWERED, reply="you said: loud", words=1)),
    ("repeated header", repeated_version, 200, "answered", "0", dict(ANSWERED, reply="you said: twice", words=1)),
    ("bad signature", lambda c: c.build("x", kind="bad_signature"), 400, "refused", None, "Invalid signature\n"),
    ("no signature", lambda c: c.build("x", kind="no_signature"), 400, "refused", None, "Invalid header\n"),
    ("body does not decrypt", cut_body, 400, "refused", None,
     "Data must be padded to 16 byte boundary in CBC mode\n"),
]


@pytest.mark.parametrize("case,build,status,verdict,vq_status,want", CALLS, ids=[c[0] for c in CALLS])
def test_answer_paths(served, case, build, status, verdict, vq_status, want):
    res = caller_for(served).send(build(caller_for(served)))
    assert (res.status, res.verdict, res.vq_status, res.problems) == (status, verdict, vq_status, [])
    if status == 400:
        assert (res.body, res.header("Content-Type")) == (want, "text/plain; charset=utf-8")
    elif verdict == "answered":
        assert res.json == want
    else:
        assert (res.body, res.header("vq-secret-ver-expected")) == ("", SECRET.ver)


def test_handler_failure_is_logged_with_the_request_id(served):
    res = caller_for(served).call(json.dumps({"action": "fail", "reason": "no model"}))
    rid = res.sent.req_id
    assert lines_with(served, "call failed: no model") == [("ERR", rid, "call failed: no model")]


# ---- requests the app refuses before reading the body ---------------------------------------------


def raw(url, request):
    """Send raw request bytes; (status, header dict, body) of the answer."""
    host, port = url[len("http://"):].rstrip("/").split(":")
    sock = socket.create_connection((host, int(port)), 10)
    try:
        sock.sendall(request)
        resp = http.client.HTTPResponse(sock)
        resp.begin()
        return resp.status, dict((k.lower(), v) for k, v in resp.getheaders()), resp.read()
    finally:
        sock.close()


REFUSED = [
    # (case, request, status, body, a header that must be there)
    ("GET", b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 405, b"Method not allowed\n", ("allow", "POST")),
    ("another path", b"POST /other HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}",
     404, b"Not found\n", None),
    ("no Content-Length", b"POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 411,
     b"Content-Length required\n", None),
    ("body over the limit", b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\nConnection: close\r\n\r\n",
     413, b"Body too large\n", None),
]


@pytest.mark.parametrize("case,request_bytes,status,body,header", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_unread(served, case, request_bytes, status, body, header):
    got_status, headers, got_body = raw(served.url, request_bytes)
    assert (got_status, got_body, headers["content-type"]) == (status, body, "text/plain; charset=utf-8")
    if header:
        assert headers[header[0]] == header[1]


# ---- replay protection --------------------------------------------------------------------------

IN_QUEUE = ("vq-timestamp-ms", "vq-inqueue-timeout-ms")


def shifted(c, seconds):
    """A genuine call whose signed time stamp is `seconds` off, sent without the unsigned in-queue headers."""
    sent = c.build("x", now=time.time() + seconds)
    sent.headers = [(n, v) for n, v in sent.headers if n not in IN_QUEUE]
    return sent


@pytest.fixture(scope="module")
def guarded():
    prog = serve("wsgiref", VQ_REPLAY="memory")
    yield prog
    prog.stop()


@pytest.fixture(scope="module")
def unguarded():
    prog = serve("wsgiref")
    yield prog
    prog.stop()


REPLAYS = [
    # (case, build, times sent, HTTP statuses without / with protection, ERR line of the refusal)
    ("sent again", lambda c: c.build("x"), 2, [200, 200], [200, 409], "replay check: call already accepted"),
    ("an hour old", lambda c: shifted(c, -3600), 1, [200], [409], "replay check: call outside the time window"),
    ("an hour ahead", lambda c: shifted(c, 3600), 1, [200], [409], "replay check: call outside the time window"),
    ("within the age", lambda c: shifted(c, -290), 2, [200, 200], [200, 409], "replay check: call already accepted"),
]


@pytest.mark.parametrize("case,build,times,without,with_", [r[:5] for r in REPLAYS], ids=[r[0] for r in REPLAYS])
def test_replay_protection_is_off_by_default(unguarded, case, build, times, without, with_):
    sent = build(caller_for(unguarded))
    assert [caller_for(unguarded).send(sent).status for _ in range(times)] == without


@pytest.mark.parametrize("case,build,times,without,with_,line", REPLAYS, ids=[r[0] for r in REPLAYS])
def test_replay_protection(guarded, case, build, times, without, with_, line):
    sent = build(caller_for(guarded))
    results = [caller_for(guarded).send(sent) for _ in range(times)]
    assert [r.status for r in results] == with_
    refused = results[-1]
    text = "Call already accepted\n" if "accepted" in line else "Call outside the accepted time window\n"
    assert (refused.verdict, refused.body) == ("refused", text)
    h = sent.header_map
    if "accepted" in line:
        want = "%s, vq-nonce %s vq-timestamp %s" % (line, h["vq-nonce"], h["vq-timestamp"])
        assert lines_with(guarded, want) == [("ERR", sent.req_id, want)]
    else:
        (level, rid, logged), = lines_with(guarded, "%s, vq-timestamp %s " % (line, h["vq-timestamp"]))
        assert (level, rid) == ("ERR", sent.req_id)
        assert logged.endswith(" max age 300")


def test_retry_notified_calls_are_not_remembered(guarded):
    sent = caller_for(guarded).build("x", kind="other_version")
    assert [caller_for(guarded).send(sent).vq_status for _ in range(2)] == ["1", "1"]


@pytest.fixture(scope="module")
def redis_url():
    exe = shutil.which("redis-server")
    reason = None if exe else "redis-server is not installed (Debian: apt-get install redis-server)"
    try:
        import redis  # noqa: F401
    except ImportError:
        reason = reason or "the redis package is not installed in this environment"
    if reason:
        if os.environ.get("CI") == "true":
            pytest.fail(reason)
        pytest.skip(reason)
    port = free_port()
    # A sanitizer run's preloaded runtime is for the module, not for the store.
    env = dict((k, v) for k, v in os.environ.items() if k != "LD_PRELOAD")
    proc = subprocess.Popen([exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        end = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), 0.5).close()
                break
            except OSError:
                assert proc.poll() is None and time.time() < end, "redis-server did not start"
                time.sleep(0.1)
        yield "redis://127.0.0.1:%d/0" % port
    finally:
        proc.terminate()
        proc.wait(10)


@pytest.mark.parametrize("first,second", [("wsgiref", "wsgiref"), ("gunicorn", "uvicorn")])
def test_call_replayed_to_another_instance_is_refused(redis_url, first, second):
    import redis
    a = serve(first, VQ_REPLAY=redis_url)
    try:
        b = serve(second, VQ_REPLAY=redis_url)
        try:
            sent = caller_for(a).build("x")
            assert caller_for(a).send(sent).status == 200
            again = caller_for(b).send(sent)
            assert (again.status, again.body) == (409, "Call already accepted\n")
            assert caller_for(b).call("another call").status == 200
            want = "replay check: call already accepted, vq-nonce %s vq-timestamp %s" % (
                sent.header_map["vq-nonce"], sent.header_map["vq-timestamp"])
            assert lines_with(b, want) == [("ERR", sent.req_id, want)]
        finally:
            b.stop()
    finally:
        a.stop()
    # The key lives for the whole window on both sides of the time stamp, and the skew margin.
    client = redis.Redis.from_url(redis_url)
    keys = client.keys("vqspecapisdk:replay:%s:*" % sent.header_map["vq-nonce"])
    assert len(keys) == 1 and 600 < client.ttl(keys[0]) <= 631


def test_redis_down_refuses_the_call(redis_url):
    prog = serve("wsgiref", VQ_REPLAY="redis://127.0.0.1:%d/0" % free_port())
    try:
        res = caller_for(prog).call("x")
        assert (res.status, res.body) == (503, "Replay check unavailable\n")
        (level, rid, text), = lines_with(prog, "replay check: store failed: ConnectionError")
        assert (level, rid) == ("ERR", res.sent.req_id)
    finally:
        prog.stop()


# ---- the stand-alone server's limits ----------------------------------------------------------


def test_standalone_server_drops_a_silent_connection_and_serves_one_at_a_time():
    # One connection at a time, and a silent one is dropped after its time-out.
    prog = start_server("wsgiref", child_env(debug_env(SECRET, ACCESS_TOKEN)),
                        extra_args=["--max-connections", "1", "--connection-timeout", "1"])
    try:
        host, port = prog.url[len("http://"):].rstrip("/").split(":")
        silent = socket.create_connection((host, int(port)), 30)
        try:
            # Waits in the backlog until the silent connection has been dropped.
            res = caller_for(prog).call("after the silent one")
            assert res.verdict == "answered"
            silent.setblocking(False)
            assert silent.recv(1) == b""  # closed by the server before the call was taken
        finally:
            silent.close()
    finally:
        prog.stop()
