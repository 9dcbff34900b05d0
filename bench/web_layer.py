"""What the web layer adds to the SDK's own work, per call, counted in instructions.

    PYTHONPATH=. python bench/web_layer.py [--calls 200] [--timing-calls 2000]

One 1 KiB call of the platform, four ways, each in a process of its own:

    bare   the decoder, the handler and the answer constructor, called directly
    wsgi   make_wsgi_app's app called with a WSGI environ (no server)
    asgi   make_asgi_app's app with an `async def` handler, called with an ASGI
           scope on one event loop (no server)
    asgi-pool  the same with the plain handler, which runs in the loop's thread
           pool: one hop to a thread and back per call
    asgi-floor the least any ASGI app does for a call: await the body once and
           send the start and body messages, with no SDK work at all -- what
           the ASGI protocol itself costs on this driver, all of it "layer"

each with replay protection off and with the in-process store.  The calls are
built (signed and encrypted by the simulator) before counting starts;
callgrind counts only the loop that serves them (CALLGRIND_START/STOP around
it, through a small shim compiled here), so the interpreter's start-up and
the imports are not in the figures.  Printed side by side: instructions per
call, what the layer adds over bare, and that as a share of bare; then the
same loops timed without valgrind (wall-clock, noisy on a shared machine).
Decoder log lines go to /dev/null in every mode.
"""
import argparse
import asyncio
import io
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from simulator import wire  # noqa: E402
from simulator.caller import PlatformCaller  # noqa: E402

SECRET = wire.SecretRecord("1", "layer-bench-token-0123456789abcd", wire.make_key_text("aes:layer"), "prog-layer")
TEXT = ("call " + "word " * 205)[:1024]
MODES = ("bare", "wsgi", "asgi", "asgi-pool", "asgi-floor")
SHIM = r"""
#include <valgrind/callgrind.h>
void vq_start(void) { CALLGRIND_START_INSTRUMENTATION; }
void vq_stop(void) { CALLGRIND_STOP_INSTRUMENTATION; }
"""
# What a server puts into a WSGI environ besides the call's own headers (gunicorn's set).
SERVER_ENVIRON = {
    "SERVER_SOFTWARE": "gunicorn/21.2.0", "SERVER_NAME": "127.0.0.1", "SERVER_PORT": "8080",
    "SERVER_PROTOCOL": "HTTP/1.1", "SCRIPT_NAME": "", "QUERY_STRING": "", "RAW_URI": "/",
    "REMOTE_ADDR": "127.0.0.1", "REMOTE_PORT": "50000", "CONTENT_TYPE": "application/json",
    "HTTP_HOST": "127.0.0.1:8080", "HTTP_ACCEPT_ENCODING": "identity", "HTTP_CONNECTION": "close",
    "HTTP_USER_AGENT": "platform", "wsgi.version": (1, 0), "wsgi.url_scheme": "http",
    "wsgi.errors": sys.stderr, "wsgi.multithread": False, "wsgi.multiprocess": False,
    "wsgi.run_once": False, "wsgi.file_wrapper": None, "gunicorn.socket": None,
}


def handle(req):
    return json.dumps({"errcode": 0, "errmsg": "ok", "reply": "you said: " + req.get_data()})


async def handle_async(req):
    return handle(req)


def build_calls(n):
    """n genuine calls (header list, body text), all different, none too long in the queue."""
    caller = PlatformCaller(SECRET, "http://127.0.0.1:8080/", inqueue_timeout_ms=10 ** 9)
    return [(list(s.headers), s.body) for s in (caller.build(TEXT) for _ in range(n))]


def environ_of(headers, body):
    environ = dict(SERVER_ENVIRON)
    raw = body.encode("ascii")
    environ.update({"REQUEST_METHOD": "POST", "PATH_INFO": "/", "CONTENT_LENGTH": str(len(raw)),
                    "wsgi.input": io.BytesIO(raw)})
    for name, value in headers:
        environ["HTTP_" + name.upper().replace("-", "_")] = value
    return environ


def loop_of(mode, replay, calls):
    """A function that serves every call of `calls` once, and checks the answers after."""
    import vqspecapisdk as sdk
    if mode == "bare":
        def run():
            for headers, body in calls:
                req = sdk.VQToSpecHTTPReqDecoder(headers, body)
                rsp = sdk.VQToSpecHTTPRspConstructor(handle(req))
                rsp.get_normal_header()
                rsp.get_encoded_body()
        return run
    if mode == "wsgi":
        from vqspecapisdk_web import make_wsgi_app
        app = make_wsgi_app(handle, replay=replay)
        environs = [environ_of(h, b) for h, b in calls]
        statuses = {}
        # The server's part, as cheap as it gets: a built-in taking (status, headers).
        start_response = statuses.__setitem__

        def run():
            for environ in environs:
                app(environ, start_response)
            assert list(statuses) == ["200 OK"], list(statuses)
        return run
    from vqspecapisdk_web import make_asgi_app
    if mode == "asgi-floor":
        async def app(scope, receive, send):
            message = await receive()
            await send({"type": "http.response.start", "status": 200,
                        "headers": [(b"content-length", b"%d" % len(message["body"]))]})
            await send({"type": "http.response.body", "body": message["body"]})
    else:
        app = make_asgi_app(handle_async if mode == "asgi" else handle, replay=replay)
    loop = asyncio.new_event_loop()
    sent = []

    async def send(message):
        sent.append(message)

    def scope_of(headers, body):
        pairs = [(n.encode("latin-1"), v.encode("latin-1")) for n, v in headers]
        pairs += [(b"host", b"127.0.0.1:8080"), (b"content-length", str(len(body)).encode("ascii")),
                  (b"content-type", b"application/json")]
        return {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "POST",
                "scheme": "http", "path": "/", "raw_path": b"/", "query_string": b"", "root_path": "",
                "headers": pairs, "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 8080)}

    work = [(scope_of(h, b), {"type": "http.request", "body": b.encode("ascii"), "more_body": False})
            for h, b in calls]

    async def serve_all():
        for scope, message in work:
            async def receive(message=message):
                return message
            await app(scope, receive, send)

    def run():
        loop.run_until_complete(serve_all())
        assert [m["status"] for m in sent if m["type"] == "http.response.start"] == [200] * len(work)
    return run


def worker(mode, replay, n, shim):
    import ctypes
    import vqspecapisdk as sdk
    sys.stdout = open(os.devnull, "w")  # the decoder's log lines, in every mode alike
    sdk.spec_open_debug_mode(SECRET.debug_token(), "layer-bench-access")
    loop_of(mode, replay, build_calls(2))()  # warm: imports, thread pool, caches
    run = loop_of(mode, replay, build_calls(n))
    if shim:
        lib = ctypes.CDLL(shim)
        lib.vq_start()
        run()
        lib.vq_stop()
        return 0.0
    t = time.perf_counter()
    run()
    return time.perf_counter() - t


def counted(mode, replay, n, shim, tmp):
    out = os.path.join(tmp, "cg.%s.%s" % (mode, replay))
    subprocess.check_call(["valgrind", "--tool=callgrind", "--instr-atstart=no", "--callgrind-out-file=" + out,
                           sys.executable, os.path.abspath(__file__), "--worker", mode, "--replay", replay,
                           "--calls", str(n), "--shim", shim],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(out) as f:
        for line in f:
            if line.startswith("totals:"):
                return int(line.split()[1]) / n
    raise RuntimeError("no totals in " + out)


def timed(mode, replay, n):
    out = subprocess.check_output([sys.executable, os.path.abspath(__file__), "--worker", mode, "--replay",
                                   replay, "--calls", str(n)])
    return float(out.decode().split()[-1]) / n


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=200, help="calls counted under callgrind per mode")
    ap.add_argument("--timing-calls", type=int, default=2000, help="calls timed per mode (0: no timing)")
    ap.add_argument("--replay", default="off,memory", help="replay settings to run: off, memory")
    ap.add_argument("--worker", choices=MODES, help=argparse.SUPPRESS)
    ap.add_argument("--shim", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        seconds = worker(args.worker, args.replay == "memory", args.calls, args.shim)
        sys.__stdout__.write("%.9f\n" % seconds)
        return 0
    modes = MODES if sys.version_info >= (3, 8) else MODES[:2]
    with tempfile.TemporaryDirectory(prefix="vq-layer-") as tmp:
        shim = os.path.join(tmp, "shim.so")
        src = os.path.join(tmp, "shim.c")
        with open(src, "w") as f:
            f.write(SHIM)
        subprocess.check_call(["cc", "-shared", "-fPIC", "-O1", "-o", shim, src])
        print("CPython %s, %d calls of 1 KiB per mode counted, %d timed" % (
            sys.version.split()[0], args.calls, args.timing_calls))
        print("%-9s %-7s %14s %12s %8s %10s" % ("mode", "replay", "instr/call", "layer adds", "x bare", "us/call"))
        for replay in args.replay.split(","):
            rows = [(m, counted(m, replay, args.calls, shim, tmp),
                     timed(m, replay, args.timing_calls) if args.timing_calls else 0.0) for m in modes]
            bare = rows[0][1]
            for mode, instr, seconds in rows:
                if mode == "asgi-floor":   # no SDK work in it: all of it is layer
                    instr += bare
                print("%-9s %-7s %14.0f %12.0f %8.3f %10.1f" % (
                    mode, replay, instr, instr - bare, (instr - bare) / bare, seconds * 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
