#!/usr/bin/env python3
"""An example provider program for the spec environment.

The platform calls into the program over HTTP: every call is a POST whose
headers carry the platform's signature and whose body is encrypted.  This
program runs a small threaded web server (standard library only) and, for
each call:

1. hands the header list and the body text to VQToSpecHTTPReqDecoder, which
   verifies and decrypts the call, or tells us to ask the platform for a
   retry (VQToSpecRetryNotifyException), or refuses it;
2. does its work on the call's data;
3. answers with VQToSpecHTTPRspConstructor: the signed, encrypted normal
   answer, or the retry notification.

What the work is here:

- data {"text": "..."} (or plain text): answers {"errcode": 0, "errmsg": "ok",
  "reply": "you said: ...", "words": N};
- data {"action": "fail", "reason": "..."}: the work raises, and the program
  answers the platform with the internal-error body (errcode 710660);
- a call with is_async true: answered at once with {"errcode": 0, "accepted":
  true, ...}; a worker thread then does the work and reports the result to
  the platform with ChatDataSDK.program_async_job_call_back.

Inside the spec environment the SDK finds its secret in the secret file, and
nothing needs configuring:

    python3 provider_app.py --port 8080

On a developer's machine, open debug mode with the debug token and the access
token of the program (or set VQ_DEBUG_TOKEN and VQ_ACCESS_TOKEN), and point
the SDK at a platform simulator with --domain (`python -m simulator` prints
its URL, CA file and tokens; the CA goes into REQUESTS_CA_BUNDLE):

    REQUESTS_CA_BUNDLE=/tmp/.../ca.pem python3 -u provider_app.py --port 8080 \\
        --debug-token "$VQ_DEBUG_TOKEN" --access-token "$VQ_ACCESS_TOKEN" \\
        --domain https://127.0.0.1:8443

All output is SDK log lines on standard output; use `python3 -u` (or
PYTHONUNBUFFERED=1) when the output goes to a pipe.
"""
import argparse
import json
import os
import signal
import sys
import threading
from http.server import BaseHTTPRequestHandler, HTTPServer
from socketserver import ThreadingMixIn
from typing import Any, Dict, List, Optional, Tuple, cast

import vqspecapisdk as sdk

MAX_BODY_BYTES = 8 * 1024 * 1024  # the platform's calls are far smaller


class ThreadingHTTPServer(ThreadingMixIn, HTTPServer):
    """One thread per call, so a slow call does not hold up the others."""

    daemon_threads = True
    allow_reuse_address = True


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


def start_async_job(req: sdk.VQToSpecHTTPReqDecoder, params: Dict[str, Any]) -> None:
    """Run the work of an asynchronous call on a worker thread."""
    job: Dict[str, Any] = {
        "corpid": as_text(req.get_corpid()),
        "agentid": as_int(req.get_agentid()),
        "ability_id": as_text(req.get_ability_id()),
        "job_info": as_text(req.get_job_info()),
        "req_id": as_text(req.get_req_id()),
    }
    worker = threading.Thread(target=run_async_job, args=(job, params), name="async-job")
    worker.daemon = True
    worker.start()


def run_async_job(job: Dict[str, Any], params: Dict[str, Any]) -> None:
    """Do the work, then report its result to the platform."""
    req_id = job["req_id"]
    result: Dict[str, Any]
    try:
        result = {"errcode": 0, "errmsg": "ok", "job_info": job["job_info"], "result": do_work(params)}
    except Exception as err:
        result = {"errcode": sdk.DEFAULT_ERRCODE, "errmsg": str(err), "job_info": job["job_info"]}
    try:
        client = sdk.ChatDataSDK(job["corpid"], job["agentid"], job["ability_id"], job["job_info"])
        rsp = client.program_async_job_call_back(json.dumps(result))
        sdk.spec_log_info_with_req_id(req_id, "async job reported", job["job_info"], rsp)
    except Exception as err:
        # e.args is (status, "Post Err") when the platform refused the report.
        sdk.spec_log_error_with_req_id(req_id, "async job report failed", job["job_info"], repr(err))


# ---- the web server ---------------------------------------------------------------------------


class ProgramHandler(BaseHTTPRequestHandler):
    """Receives the platform's calls."""

    server_version = "provider-app/1.0"

    def do_POST(self) -> None:
        body = self.read_body()
        if body is None:
            return
        try:
            # The decoder checks headers, secret version, queue time and
            # signature, and decrypts the body -- all in its constructor.
            req = sdk.VQToSpecHTTPReqDecoder(list(self.headers.items()), body)
        except sdk.VQToSpecRetryNotifyException as err:
            # Must come before `except Exception`: the retry notification
            # derives from Exception. Status "1": the call was made with
            # another secret version; "2": it waited too long in the queue.
            # Either way the platform is asked to send it again.
            rsp = sdk.VQToSpecHTTPRspConstructor("")
            self.answer(200, rsp.get_retry_notify_header(err.GetStatus()), rsp.get_encoded_body())
            return
        except Exception as err:
            # "Invalid header", "Invalid signature", a body that does not
            # decrypt: not a genuine call of the platform. The decoder has
            # logged why; refuse it.
            self.send_plain(400, str(err))
            return

        try:
            data = handle_call(req)
        except Exception as err:
            # Our own failure: tell the platform in a normal signed answer.
            sdk.spec_log_error_with_req_id(req.get_req_id(), "call failed:", str(err))
            data = sdk.spec_make_internal_error_rsp_data(str(err))
        rsp = sdk.VQToSpecHTTPRspConstructor(data)
        self.answer(200, rsp.get_normal_header(), rsp.get_encoded_body())

    def do_GET(self) -> None:
        # A health check for the load balancer; the platform only POSTs.
        if self.path in ("/", "/healthz"):
            self.send_plain(200, "ok")
        else:
            self.send_plain(404, "not found")

    def read_body(self) -> Optional[str]:
        """The request body as text, or None after refusing the request."""
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if length < 0 or length > MAX_BODY_BYTES:
            self.send_plain(400, "bad Content-Length")
            return None
        try:
            return self.rfile.read(length).decode("utf-8")
        except UnicodeDecodeError:
            self.send_plain(400, "body is not UTF-8")
            return None

    def answer(self, code: int, header_set: Dict[str, str], body: str) -> None:
        """Write an SDK header set and the encrypted body."""
        self.send_response(code)
        for name, value in header_set.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body.encode("utf-8"))

    def send_plain(self, code: int, text: str) -> None:
        payload = (text + "\n").encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    # The web server's own lines go through the SDK's log format too.
    def log_message(self, fmt: str, *args: Any) -> None:
        sdk.spec_log_info("http", self.address_string(), fmt % args)

    def log_error(self, fmt: str, *args: Any) -> None:
        sdk.spec_log_error("http", self.address_string(), fmt % args)


# ---- start-up -------------------------------------------------------------------------------------


def parse_args(argv: Optional[List[str]] = None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description="Example provider program for the spec environment.")
    ap.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    ap.add_argument("--port", type=int, default=8080, help="port to listen on; 0 picks a free one")
    ap.add_argument("--debug-token", default=os.environ.get("VQ_DEBUG_TOKEN", ""),
                    help="debug token, for running outside the spec environment (env VQ_DEBUG_TOKEN)")
    ap.add_argument("--access-token", default=os.environ.get("VQ_ACCESS_TOKEN", ""),
                    help="access token that goes with the debug token (env VQ_ACCESS_TOKEN)")
    ap.add_argument("--domain", default=os.environ.get("VQ_DOMAIN", ""),
                    help="base URL of the platform API to use instead of the real one, e.g. a "
                         "simulator at https://127.0.0.1:8443 (env VQ_DOMAIN)")
    ap.add_argument("--exit-after", type=float, default=0.0,
                    help="stop by itself after this many seconds (0: run until stopped)")
    return ap.parse_args(argv)


def configure_sdk(args: argparse.Namespace) -> None:
    """Point the SDK at another platform and open debug mode, as asked."""
    if args.domain:
        base = args.domain.rstrip("/")
        # The SDK reads these module constants at every call.
        sdk.DOMAIN = base
        sdk.DEBUG_DOMAIN = base
        sdk.DEBUG_TEST_DOMAIN = base
        sdk.spec_log_info("platform domain", base)
    if args.debug_token or args.access_token:
        # Refused (logged, nothing changes) inside the spec environment.
        sdk.spec_open_debug_mode(args.debug_token, args.access_token)
    elif not sdk.is_spec_env():
        sdk.spec_log_error("no secret file and no debug token: every call will be refused")


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(line_buffering=True)
    configure_sdk(args)

    server = ThreadingHTTPServer((args.host, args.port), ProgramHandler)
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
