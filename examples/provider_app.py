#!/usr/bin/env python3
"""An example provider program for the spec environment.

The platform calls into the program over HTTP: every call is a POST whose
headers carry the platform's signature and whose body is encrypted.  The
program's part is one function, handle_call(req): it gets the decoded call
(a VQToSpecHTTPReqDecoder) and returns the answer's plaintext (JSON text).
vqspecapisdk_web.make_wsgi_app turns it into a WSGI app that verifies and
decrypts each call, answers a retry notification or refuses a forged call,
and signs and encrypts the answer (or the internal-error answer when the
work raises).

What the work is here:

- data {"text": "..."} (or plain text): answers {"errcode": 0, "errmsg": "ok",
  "reply": "you said: ...", "words": N};
- data {"action": "fail", "reason": "..."}: the work raises, and the program
  answers the platform with the internal-error body (errcode 710660);
- a call with is_async true: answered at once with {"errcode": 0, "accepted":
  true, ...}; a worker thread then does the work and reports the result to
  the platform with ChatDataSDK.program_async_job_call_back (under an ASGI
  server, an asyncio task with AsyncChatDataSDK).

Run stand-alone on the standard library's wsgiref (a bare CPython 3.6 will
do; each request's headers and body must be in within --connection-timeout
seconds, at most --max-connections at once; in production, behind a
buffering reverse proxy):

    python3 -u provider_app.py --port 8080

or under a production server, several processes:

    gunicorn -w 2 -b 127.0.0.1:8080 provider_app:app
    uvicorn --workers 2 --port 8080 provider_app:asgi_app       # CPython 3.8+

(with several workers, VQ_REPLAY=memory keeps one store per worker: a call
replayed to another worker is accepted there; use a redis:// URL)

Inside the spec environment the SDK finds its secret in the secret file and
nothing needs configuring.  Everything else comes from the environment, never
from the command line (a process's arguments are readable by every user of
the machine):

    VQ_DEBUG_TOKEN, VQ_ACCESS_TOKEN  open debug mode on a developer's machine
    VQ_DOMAIN         the platform's base URL instead of the real one, e.g. a
                      simulator at https://127.0.0.1:8443 (`python -m simulator`
                      prints its URL, CA file and tokens; the CA goes into
                      REQUESTS_CA_BUNDLE)
    VQ_REPLAY         replay protection: "memory" (this process) or a Redis
                      URL such as redis://127.0.0.1:6379/0 (all instances);
                      unset: off

All output is SDK log lines on standard output; use `python3 -u` (or
PYTHONUNBUFFERED=1) when the output goes to a pipe.
"""
import argparse
import json
import os
import signal
import sys
import threading
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Set, Tuple, Union, cast

import vqspecapisdk as sdk
from vqspecapisdk_web import RedisReplayStore, ReplayStore, make_server, make_wsgi_app
from vqspecapisdk_web.server import DEFAULT_CONNECTION_TIMEOUT, DEFAULT_MAX_CONNECTIONS

# ---- the program's own work ------------------------------------------------------------


class CallFailed(Exception):
    """The work on a call could not be done."""


def parse_params(data: object) -> Dict[str, Any]:
    """The call's data as a dict: JSON object text, or plain text as {"text": ...}."""
    if not isinstance(data, str):
        return {"text": json.dumps(data)}
    try:
        params = json.loads(data) if data.strip() else {}
    except ValueError:
        return {"text": data}
    return params if isinstance(params, dict) else {"text": data}


def do_work(params: Dict[str, Any]) -> Dict[str, Any]:
    """The analysis itself. Raises CallFailed when it cannot be done."""
    if params.get("action") == "fail":
        raise CallFailed(params.get("reason") or "asked to fail")
    text = params.get("text", "")
    if not isinstance(text, str):
        text = json.dumps(text)
    return {"reply": "you said: " + text, "words": len(text.split())}


def handle_call(req: sdk.VQToSpecHTTPReqDecoder) -> str:
    """Answer one decoded call; returns the plaintext answer (JSON text)."""
    params = parse_params(req.get_data())
    if req.get_is_async():
        # Accept now, work later: the platform does not wait for the result.
        start_async_job(req, params)
        return json.dumps({"errcode": 0, "errmsg": "ok", "accepted": True,
                           "job_info": req.get_job_info()})
    result = do_work(params)
    answer: Dict[str, Any] = {"errcode": 0, "errmsg": "ok"}
    answer.update(result)
    return json.dumps(answer)


def as_text(value: object) -> str:
    return value if isinstance(value, str) else ("" if value is None else str(value))


def as_int(value: Any) -> int:
    try:
        return int(value)
    except (TypeError, ValueError):
        return 0


def job_of(req: sdk.VQToSpecHTTPReqDecoder) -> Dict[str, Any]:
    """The identity and job of an asynchronous call, for its report."""
    return {
        "corpid": as_text(req.get_corpid()),
        "agentid": as_int(req.get_agentid()),
        "ability_id": as_text(req.get_ability_id()),
        "job_info": as_text(req.get_job_info()),
        "req_id": as_text(req.get_req_id()),
    }


def job_result(job: Dict[str, Any], params: Dict[str, Any]) -> str:
    """Do the work; the report's text: its result, or why it failed."""
    result: Dict[str, Any]
    try:
        result = {"errcode": 0, "errmsg": "ok", "job_info": job["job_info"], "result": do_work(params)}
    except Exception as err:
        result = {"errcode": sdk.DEFAULT_ERRCODE, "errmsg": str(err), "job_info": job["job_info"]}
    return json.dumps(result)


def start_async_job(req: sdk.VQToSpecHTTPReqDecoder, params: Dict[str, Any]) -> None:
    """Run the work of an asynchronous call on a worker thread."""
    worker = threading.Thread(target=run_async_job, args=(job_of(req), params), name="async-job")
    worker.daemon = True
    worker.start()


def run_async_job(job: Dict[str, Any], params: Dict[str, Any]) -> None:
    """Do the work, then report its result to the platform."""
    req_id = job["req_id"]
    report = job_result(job, params)
    try:
        client = sdk.ChatDataSDK(job["corpid"], job["agentid"], job["ability_id"], job["job_info"])
        rsp = client.program_async_job_call_back(report)
        sdk.spec_log_info_with_req_id(req_id, "async job reported", job["job_info"], rsp)
    except Exception as err:
        # e.args is (status, "Post Err") when the platform refused the report.
        sdk.spec_log_error_with_req_id(req_id, "async job report failed", job["job_info"], repr(err))


# ---- the apps -------------------------------------------------------------------------------------


def configure_sdk(env: Mapping[str, str]) -> None:
    """Point the SDK at another platform and open debug mode, as the environment asks."""
    domain = env.get("VQ_DOMAIN", "")
    if domain:
        base = domain.rstrip("/")
        # The SDK reads these module constants at every call.
        sdk.DOMAIN = base
        sdk.DEBUG_DOMAIN = base
        sdk.DEBUG_TEST_DOMAIN = base
        sdk.spec_log_info("platform domain", base)
    debug_token, access_token = env.get("VQ_DEBUG_TOKEN", ""), env.get("VQ_ACCESS_TOKEN", "")
    if debug_token or access_token:
        # Refused (logged, nothing changes) inside the spec environment.
        sdk.spec_open_debug_mode(debug_token, access_token)
    elif not sdk.is_spec_env():
        sdk.spec_log_error("no secret file and no debug token: every call will be refused")


def replay_setting(env: Mapping[str, str]) -> Union[bool, ReplayStore]:
    """VQ_REPLAY: "memory", a redis:// URL, or unset (off)."""
    value = env.get("VQ_REPLAY", "")
    if value.startswith(("redis://", "rediss://", "unix://")):
        return RedisReplayStore(value)
    if value in ("", "off"):
        return False
    if value == "memory":
        return True
    raise SystemExit("VQ_REPLAY must be memory, off or a redis:// URL")


def with_health_check(app: Callable[..., Iterable[bytes]]) -> Callable[..., Iterable[bytes]]:
    """GET /healthz answers "ok" (for a load balancer); everything else goes to `app`."""
    def wrapped(environ: Dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        if environ.get("REQUEST_METHOD") == "GET" and environ.get("PATH_INFO") == "/healthz":
            start_response("200 OK", [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", "3")])
            return [b"ok\n"]
        return app(environ, start_response)
    return wrapped


configure_sdk(os.environ)
REPLAY = replay_setting(os.environ)
# The WSGI app, e.g. for gunicorn: gunicorn -w 2 provider_app:app
app = with_health_check(make_wsgi_app(handle_call, replay=REPLAY))
if sys.version_info >= (3, 8):
    from vqspecapisdk_web import make_asgi_app
    # The ASGI app, e.g. for uvicorn: uvicorn --workers 2 provider_app:asgi_app
    try:
        from vqspecapisdk_async import AsyncChatDataSDK
    except ImportError:  # without the async extra: the plain handler, in the loop's thread pool
        asgi_app = make_asgi_app(handle_call, replay=REPLAY)
    else:
        import asyncio

        # The report tasks in flight (the loop keeps only weak references).
        REPORTS: "Set[asyncio.Future[None]]" = set()

        async def report_async_job(job: Dict[str, Any], params: Dict[str, Any]) -> None:
            """Do the work, then report its result from the event loop."""
            req_id = job["req_id"]
            report = job_result(job, params)
            try:
                async with AsyncChatDataSDK(job["corpid"], job["agentid"], job["ability_id"],
                                            job["job_info"]) as client:
                    rsp = await client.program_async_job_call_back(report)
                sdk.spec_log_info_with_req_id(req_id, "async job reported", job["job_info"], rsp)
            except Exception as err:
                # The same errors as the sync client's: (status, "Post Err"), requests' errors.
                sdk.spec_log_error_with_req_id(req_id, "async job report failed", job["job_info"], repr(err))

        async def handle_call_on_loop(req: sdk.VQToSpecHTTPReqDecoder) -> str:
            """handle_call for the ASGI app: an asynchronous call's report is a
            task on the event loop instead of a worker thread."""
            if not req.get_is_async():
                return handle_call(req)
            task = asyncio.ensure_future(report_async_job(job_of(req), parse_params(req.get_data())))
            REPORTS.add(task)
            task.add_done_callback(REPORTS.discard)
            return json.dumps({"errcode": 0, "errmsg": "ok", "accepted": True, "job_info": req.get_job_info()})

        asgi_app = make_asgi_app(handle_call_on_loop, replay=REPLAY)


# ---- stand-alone start-up ------------------------------------------------------------------------


def parse_args(argv: Optional[List[str]] = None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(
        description="Example provider program for the spec environment (tokens and the platform's "
                    "domain come from the environment: VQ_DEBUG_TOKEN, VQ_ACCESS_TOKEN, VQ_DOMAIN).")
    ap.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    ap.add_argument("--port", type=int, default=8080, help="port to listen on; 0 picks a free one")
    ap.add_argument("--max-connections", type=int, default=DEFAULT_MAX_CONNECTIONS,
                    help="connections served at once; more wait in the backlog (default %d)"
                         % DEFAULT_MAX_CONNECTIONS)
    ap.add_argument("--connection-timeout", type=float, default=DEFAULT_CONNECTION_TIMEOUT,
                    help="seconds a request has for its headers and body (and each write's time-out; "
                         "default %g)" % DEFAULT_CONNECTION_TIMEOUT)
    ap.add_argument("--quiet", action="store_true", help="no log line for every request")
    ap.add_argument("--exit-after", type=float, default=0.0,
                    help="stop by itself after this many seconds (0: run until stopped)")
    return ap.parse_args(argv)


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(line_buffering=True)

    server = make_server(app, args.host, args.port, max_connections=args.max_connections,
                         connection_timeout=args.connection_timeout, log_requests=not args.quiet)
    host, port = cast(Tuple[str, int], server.server_address[:2])

    def stop(*_: object) -> None:
        # shutdown() waits for serve_forever to return: call it off its thread.
        threading.Thread(target=server.shutdown).start()

    signal.signal(signal.SIGTERM, stop)
    if args.exit_after > 0:
        timer = threading.Timer(args.exit_after, stop)
        timer.daemon = True
        timer.start()

    sdk.spec_log_info("provider program listening on http://%s:%d/" % (host, port))
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        sdk.spec_log_info("provider program stopped")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
