"""The web apps and the stand-alone server under hostile traffic.

Requests are refused before their body is read, a body or a request that
drips in loses its time, control characters never reach a log line, a signed
answer posted back is refused, replay keys outlive clock differences, and
the ASGI app closes what it does not serve.  Real servers where they serve
users; the apps called in-process where the test needs a client no server
lets through (a body that never comes, a websocket).
"""
import asyncio
import functools
import io
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import ROOT, install_env, log_texts
from simulator.caller import PlatformCaller, SentCall
from simulator.servers import start_server
from test_inbound_e2e import ACCESS_TOKEN, SECRET, child_env, debug_env
from test_web_e2e import caller_for, guarded, lines_with, raw, redis_url, serve, served, shifted, unguarded  # noqa: F401

import vqspecapisdk_web
from vqspecapisdk_web import MemoryReplayStore, RedisReplayStore, ReplayGuard, Refused, make_wsgi_app

ASGI = sys.version_info >= (3, 8)


def head_only(sent, drop=(), values=None):
    """Request bytes of a built call's headers (some dropped, some replaced by raw bytes) and no body."""
    values = values or {}
    lines = [b"POST / HTTP/1.1", b"Host: x"]
    for name, value in sent.headers:
        if name not in drop:
            lines.append(name.encode("latin-1") + b": " + values.get(name, value.encode("latin-1")))
    lines += [b"Content-Length: %d" % len(sent.body), b"Connection: close", b"", b""]
    return b"\r\n".join(lines)


# ---- refused before the body is read (all servers) ---------------------------------------------

ALL_VQ = ("vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp", "vq-timestamp-ms", "vq-req-id",
          "vq-inqueue-timeout-ms")
BEFORE_BODY = [
    # (case, dropped headers, raw values, status, answer, ERR line)
    ("no vq- header", ALL_VQ, {}, 400, b"Invalid header\n", "Invalid header, no vq-secret-ver"),
    ("no vq-signature", ("vq-signature",), {}, 400, b"Invalid header\n", "Invalid header, no vq-signature"),
    ("no vq-timestamp", ("vq-timestamp",), {}, 400, b"Invalid header\n", "Invalid header, no vq-timestamp"),
    ("NEL in vq-nonce", (), {"vq-nonce": b"1\xc2\x85ERR forged"}, 400, b"Control character in header\n",
     "control character in vq-nonce"),
    ("U+2028 in vq-req-id", (), {"vq-req-id": b"abc\xe2\x80\xa8ERR forged"}, 400,
     b"Control character in header\n", "control character in vq-req-id"),
]


@pytest.mark.parametrize("case,drop,values,status,answer,line", BEFORE_BODY, ids=[c[0] for c in BEFORE_BODY])
def test_refused_before_the_body(served, case, drop, values, status, answer, line):
    # The body never comes: an app that waited for it would not answer at all.
    sent = caller_for(served).build("x" * 500)
    got_status, _, got_body = raw(served.url, head_only(sent, drop, values))
    assert (got_status, got_body) == (status, answer)
    assert lines_with(served, line) == [("ERR", "", "call refused before its body: " + line)]


@pytest.mark.parametrize("seconds", [-3600, 3600])
def test_time_stamp_outside_the_window_is_refused_before_the_body(guarded, seconds):
    sent = shifted(caller_for(guarded), seconds)
    status, _, body = raw(guarded.url, head_only(sent))
    assert (status, body) == (409, b"Call outside the accepted time window\n")


# Every control character a log reader might split lines on reaches wsgiref's app.
CONTROLS = [("VT", b"\x0b"), ("FF", b"\x0c"), ("FS", b"\x1c"), ("GS", b"\x1d"), ("RS", b"\x1e"), ("NEL", b"\x85"),
            ("C1 NEL as UTF-8", b"\xc2\x85"), ("U+2029", b"\xe2\x80\xa9"), ("DEL", b"\x7f"), ("NUL", b"\x00")]


@pytest.mark.parametrize("case,char", CONTROLS, ids=[c[0] for c in CONTROLS])
def test_control_characters_never_reach_the_decoder(unguarded, case, char):
    sent = caller_for(unguarded).build("x")
    value = b"1" + char + b"2024-01-01 00:00:00 ERR forged line"
    status, _, body = raw(unguarded.url, head_only(sent, values={"vq-timestamp-ms": value}))
    assert (status, body) == (400, b"Control character in header\n")
    assert "forged line" not in unguarded.output()


# ---- a signed answer posted back ----------------------------------------------------------------


def reflected(res):
    """The program's signed answer, sent to it as a call."""
    headers = [(n, v) for n, v in res.headers if n.lower().startswith("vq-") and n.lower() != "vq-status"]
    return SentCall("normal", "/", headers, {}, "", res.body, SECRET)


@pytest.mark.parametrize("prog,status,body", [("unguarded", 200, None), ("guarded", 409, "Call already accepted\n")])
def test_reflected_answer(request, prog, status, body):
    prog = request.getfixturevalue(prog)
    answer = caller_for(prog).call(json.dumps({"text": "to be reflected"}))
    assert answer.verdict == "answered"
    again = caller_for(prog).send(reflected(answer))
    assert again.status == status
    if body:
        assert again.body == body


# ---- the stand-alone server ---------------------------------------------------------------------


def drip(url, stop, closed):
    """One header line a quarter second, never finishing, until the server closes the connection."""
    host, port = url[len("http://"):].rstrip("/").split(":")
    sock = socket.create_connection((host, int(port)), 30)
    try:
        sock.sendall(b"POST / HTTP/1.1\r\n")
        n = 0
        while not stop.is_set():
            n += 1
            sock.sendall(b"X-Drip-%d: x\r\n" % n)
            stop.wait(0.25)
    except OSError:
        closed.set()
    finally:
        sock.close()


def test_drip_fed_connection_loses_its_slot():
    prog = start_server("wsgiref", child_env(debug_env(SECRET, ACCESS_TOKEN)),
                        extra_args=["--max-connections", "1", "--connection-timeout", "2"])
    stop, closed = threading.Event(), threading.Event()
    t = threading.Thread(target=drip, args=(prog.url, stop, closed))
    try:
        t.start()
        time.sleep(0.5)  # the drip holds the only slot now
        res = PlatformCaller(SECRET, prog.url, timeout=30).call("after the drip")
        assert res.verdict == "answered"
        assert closed.wait(30)
        assert lines_with(prog, "request not received in time")[0][0] == "ERR"
    finally:
        stop.set()
        t.join()
        prog.stop()


REQUEST_LINES = [("VT", b"\x0b"), ("FF", b"\x0c"), ("FS", b"\x1c"), ("NEL", b"\x85"), ("U+2028", b"\xe2\x80\xa8")]


@pytest.mark.parametrize("case,char", REQUEST_LINES, ids=[c[0] for c in REQUEST_LINES])
def test_server_logs_the_request_line_escaped(unguarded, case, char):
    marker = "/esc-%s" % case.replace(" ", "")
    host, port = unguarded.url[len("http://"):].rstrip("/").split(":")
    with socket.create_connection((host, int(port)), 10) as sock:
        sock.sendall(b"GET " + marker.encode() + char + b"ERR-forged HTTP/1.0\r\n\r\n")
        while sock.recv(4096):  # 400 or 404 as the character splits the line or not; until closed
            pass
    # Read as latin-1, as the server reads it; the controls among those characters escaped.
    shown = "".join("\\x%02x" % c if c < 0x20 or 0x7f <= c <= 0x9f else chr(c) for c in bytearray(char))
    want = '"GET %s%sERR-forged HTTP/1.0" ' % (marker, shown)
    # The request line's INFO line (a 400 writes an ERR line before it; both come through a pipe).
    assert unguarded.wait_for(lambda l: marker in l and ",INFO," in l, 10), unguarded.output()[-3000:]
    lines = [text for level, _, text in lines_with(unguarded, marker) if level == "INFO"]
    assert len(lines) == 1 and want in lines[0], [l for l in unguarded.output().splitlines() if marker in l]
    assert not any(0x20 > ord(c) or 0x7f <= ord(c) <= 0x9f for c in lines[0])


# ---- provider-side faults, the in-process store under workers -----------------------------------


@pytest.mark.parametrize("kind", ["wsgiref", "uvicorn"])
def test_fault_on_the_provider_side_is_a_bare_500(kind):
    if kind == "uvicorn" and not ASGI:
        pytest.skip("uvicorn needs CPython 3.8 or later")
    prog = start_server(kind, child_env())  # no secret file, no debug mode
    try:
        res = caller_for(prog).call("x")
        assert (res.status, res.body) == (500, "")
        (level, rid, text), = lines_with(prog, "call not decoded:")
        assert (level, rid, text) == ("ERR", res.sent.req_id, "call not decoded: Exception secret_key file not exists")
    finally:
        prog.stop()


@pytest.mark.parametrize("kind,most", [("gunicorn", 2), ("wsgiref", 0)])
def test_in_process_store_under_worker_processes_is_logged_once(kind, most):
    prog = serve(kind, VQ_REPLAY="memory")  # gunicorn: 2 workers, each with its own store
    try:
        for i in range(4):
            assert caller_for(prog).call("call %d" % i).verdict == "answered"
    finally:
        prog.stop()  # every line the workers wrote has come through the pipe once it returns
    lines = log_texts("\n".join(l for l in prog.output().splitlines() if "in-process store" in l))
    # Once per worker that served a call, none from a single process.
    assert min(1, most) <= len(lines) <= most
    assert set(lines) <= {("ERR", "", "replay check: the in-process store serves one of several worker "
                                     "processes; a call replayed to another worker is accepted there "
                                     "(use RedisReplayStore)")}


# ---- replay keys and clocks -----------------------------------------------------------------------


class Clock(object):
    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


@pytest.mark.parametrize("store", ["memory", "redis"])
def test_replay_across_hosts_whose_clocks_differ(request, monkeypatch, store):
    import vqspecapisdk
    clock = Clock(1800000000.0)
    monkeypatch.setattr(vqspecapisdk, "time", clock)
    shared = MemoryReplayStore() if store == "memory" else RedisReplayStore(request.getfixturevalue("redis_url"))
    a, b = ReplayGuard(shared, 300), ReplayGuard(shared, 300)
    ts = "1800000000"
    # Host A takes the call near the end of its window ...
    clock.now = 1800000299.0
    a.check_time(ts, "rid")
    a.remember("42", ts, "sig", "rid")
    # ... host B, whose clock is 3 s behind, sees it replayed 2.5 s later: still in B's window.
    if store == "redis":
        time.sleep(2.5)  # Redis counts the key's life on its own clock
    clock.now = 1800000299.0 + 2.5 - 3
    b.check_time(ts, "rid")
    with pytest.raises(Refused) as refused:
        b.remember("42", ts, "sig", "rid")
    assert (refused.value.answer.code, refused.value.answer.body) == (409, b"Call already accepted\n")
    assert a.ttl == 2 * 300 + 30 + 1


POLICIES = [("noeviction", None), ("allkeys-lru", "allkeys-lru"), ("volatile-ttl", "volatile-ttl")]


@pytest.mark.parametrize("policy,warned", POLICIES)
def test_redis_eviction_policy_is_checked(redis_url, capsys, policy, warned):
    import redis
    redis.Redis.from_url(redis_url).config_set("maxmemory-policy", policy)
    capsys.readouterr()
    RedisReplayStore(redis_url)
    lines = log_texts(capsys.readouterr().out)
    if warned:
        assert lines == [("ERR", "", "replay store: Redis maxmemory-policy is %s - keys may be evicted and their "
                                     "replays accepted; set maxmemory-policy noeviction" % policy)]
    else:
        assert lines == []


# ---- in-process: a body that never comes, websockets, disconnects, partial handlers -----------------


@pytest.fixture
def env(sdk, monkeypatch, tmp_path, capsys):
    install_env(sdk, monkeypatch, tmp_path, SECRET, "debug", ACCESS_TOKEN)
    capsys.readouterr()


def handle(req):
    return json.dumps({"echo": req.get_data()})


async def handle_async(req, suffix=""):
    await asyncio.sleep(0)
    return json.dumps({"echo": req.get_data() + suffix})


class SlowInput(object):
    """A body arriving one byte at a time, slower than the app waits for it."""

    def read(self, n):
        time.sleep(0.1)
        return b"x"


def wsgi_call(app, sent, stream=None, **extra):
    environ = {"REQUEST_METHOD": "POST", "PATH_INFO": "/", "CONTENT_LENGTH": str(len(sent.body)),
               "wsgi.input": stream or io.BytesIO(sent.body.encode("ascii"))}
    environ.update(("HTTP_" + n.upper().replace("-", "_"), v) for n, v in sent.headers)
    environ.update(extra)
    got = []
    body = b"".join(app(environ, lambda status, headers: got.append(status)))
    return got[0], body


def asgi_call(app, scope_type, messages, sent=None):
    """Run the ASGI app once; what it sent. `messages`: what receive() gives, then it waits forever."""
    scope = {"type": scope_type, "method": "POST", "path": "/", "headers": []}
    if sent is not None:
        scope["headers"] = [(n.encode(), v.encode()) for n, v in sent.headers] + [
            (b"content-length", str(len(sent.body)).encode())]
    out = []
    todo = list(messages)

    async def receive():
        if todo:
            return todo.pop(0)
        await asyncio.Event().wait()

    async def send(message):
        out.append(message)

    asyncio.run(app(scope, receive, send))
    return out


def test_body_not_in_time_ends_the_request(env):
    sent = PlatformCaller(SECRET, "http://127.0.0.1/").build("x" * 100)
    assert wsgi_call(make_wsgi_app(handle, body_timeout=0.05), sent, SlowInput()) == (
        "408 Request Timeout", b"Body not received in time\n")
    if ASGI:
        out = asgi_call(vqspecapisdk_web.make_asgi_app(handle, body_timeout=0.05), "http", [], sent)
        assert [m.get("status") for m in out] == [408, None]
        assert out[1]["body"] == b"Body not received in time\n"
    assert (vqspecapisdk_web.Settings().body_timeout, vqspecapisdk_web.DEFAULT_MAX_BODY) == (30.0, 1 << 20)


@pytest.mark.skipif(not ASGI, reason="the ASGI app needs CPython 3.8 or later")
@pytest.mark.parametrize("case,scope_type,messages,sent", [
    ("websocket is declined", "websocket", [{"type": "websocket.connect"}], [{"type": "websocket.close", "code": 1008}]),
    ("websocket gone before", "websocket", [{"type": "websocket.disconnect", "code": 1000}], []),
    ("client left before its body", "http", [{"type": "http.disconnect"}], []),
    ("client left during its body", "http", [{"type": "http.request", "body": b"x", "more_body": True},
                                             {"type": "http.disconnect"}], []),
])
def test_asgi_closes_what_it_does_not_serve(env, case, scope_type, messages, sent):
    call = PlatformCaller(SECRET, "http://127.0.0.1/").build("x")
    app = vqspecapisdk_web.make_asgi_app(handle)
    assert asgi_call(app, scope_type, messages, call if scope_type == "http" else None) == sent


@pytest.mark.skipif(not ASGI, reason="the ASGI app needs CPython 3.8 or later")
@pytest.mark.parametrize("case,handler", [
    ("async def", handle_async),
    ("partial of an async def", functools.partial(handle_async, suffix="!")),
])
def test_async_handlers_are_awaited(env, case, handler):
    sent = PlatformCaller(SECRET, "http://127.0.0.1/").build("hi")
    body = sent.body.encode("ascii")
    out = asgi_call(vqspecapisdk_web.make_asgi_app(handler), "http",
                    [{"type": "http.request", "body": body, "more_body": False}], sent)
    assert out[0]["status"] == 200
    from simulator import wire
    assert json.loads(wire.decrypt(SECRET.encoding_aes_key, out[1]["body"].decode())) == {
        "echo": "hi" + ("!" if "partial" in case else "")}


# ---- the simulator as the platform, from the command line ---------------------------------------

CLI_KINDS = [
    # (kind, first line's verdict, second line)
    ("normal", "HTTP 200 answered vq-status 0", None),
    ("stale", "HTTP 200 retry_notify vq-status 2", None),
    ("other_version", "HTTP 200 retry_notify vq-status 1", None),
    ("bad_signature", "HTTP 400 refused", "  refused: Invalid signature"),
    ("no_signature", "HTTP 400 refused", "  refused: Invalid header"),
]


@pytest.mark.parametrize("kind,verdict,extra", CLI_KINDS, ids=[c[0] for c in CLI_KINDS])
def test_simulator_call_command(unguarded, kind, verdict, extra):
    env = child_env({"VQ_DEBUG_TOKEN": SECRET.debug_token()})
    out = subprocess.run([sys.executable, "-m", "simulator", "call", unguarded.url, "--kind", kind, "--count", "2"],
                         cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=120)
    want = []
    for i in (1, 2):
        want.append("%d %s -> %s" % (i, kind, verdict))
        if extra:
            want.append(extra)
    assert (out.returncode, out.stdout.splitlines()) == (0, want), out.stderr


# ---- the written-out header lists follow the decoder's table ------------------------------------------


def test_headers_handed_to_the_decoder_follow_its_table(env):
    from vqspecapisdk_web.pipeline import KNOWN, Pipeline
    from vqspecapisdk_web.replay import HEADER_MEMBERS, header_value
    import vqspecapisdk
    sent = PlatformCaller(SECRET, "http://127.0.0.1/").build("x")
    h = sent.header_map
    n, headers = Pipeline(handle).admit("POST", "/", "10", [h[name] for name in KNOWN])
    assert [name for name, _ in headers] == list(HEADER_MEMBERS) == list(KNOWN)
    req = vqspecapisdk.VQToSpecHTTPReqDecoder(headers, sent.body)
    assert [header_value(req, name) for name in KNOWN] == [h[name] for name in KNOWN]


HEADER_CASES = [
    ("lower-case", [(b"vq-nonce", b"n1"), (b"content-length", b"12")], "n1", "12"),
    ("repeated: the last counts", [(b"vq-nonce", b"n1"), (b"vq-nonce", b"n2")], "n2", None),
    ("mixed case after lower", [(b"vq-nonce", b"n1"), (b"VQ-Nonce", b"n2")], "n2", None),
    ("lower after mixed case", [(b"Vq-NONCE", b"n1"), (b"vq-nonce", b"n2")], "n2", None),
    ("Content-Length not lower-case is not read", [(b"Content-Length", b"12")], None, None),
    ("buffers", [(b"vq-nonce", memoryview(b"n1")), (b"content-length", bytearray(b"7"))], "n1", "7"),
    ("latin-1", [(b"vq-nonce", b"\xe9\xff")], "\xe9\xff", None),
    ("other headers", [(b"host", b"h"), (b"vary", b"v"), (b"x-vq-nonce", b"x")], None, None),
]


@pytest.mark.skipif(not ASGI, reason="the ASGI app needs CPython 3.8 or later")
@pytest.mark.parametrize("case,raw_headers,nonce,length", HEADER_CASES, ids=[c[0] for c in HEADER_CASES])
def test_asgi_header_values(case, raw_headers, nonce, length):
    from vqspecapisdk_web.asgi import header_values, start_message
    from vqspecapisdk_web.pipeline import KNOWN
    values, got_length = header_values(raw_headers)
    assert (values[KNOWN.index("vq-nonce")], got_length) == (nonce, length)
    assert len(values) == len(KNOWN) and values.count(None) == len(KNOWN) - (nonce is not None)
    # Answer headers: known names come pre-encoded, others are encoded when met.
    assert start_message(200, [("vq-nonce", "n"), ("Allow", "POST"), ("X-New", "1")]) == {
        "type": "http.response.start", "status": 200,
        "headers": [(b"vq-nonce", b"n"), (b"Allow", b"POST"), (b"X-New", b"1")]}
