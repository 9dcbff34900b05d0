#!/usr/bin/env python3
"""The whole exchange between the platform and a provider program, on one machine.

    python3 examples/demo.py

starts, on 127.0.0.1:

- the platform simulator (HTTPS gateway and debug relay, simulator.platform),
- the example provider program (examples/provider_app.py) as a child
  process, in debug mode with the simulator's tokens and CA,

and runs a scripted exchange in both directions:

1. outbound echo and 2. outbound sync_msg, made by examples/outbound_quickstart.py;
3. a platform call answered normally;
4. a call made with another secret version, answered with a retry
   notification (vq-status "1");
5. a call that waited too long in the queue (vq-status "2");
6. a call on which the program's work fails (errcode 710660 answer);
7. a forged call (bad signature), refused with HTTP 400;
8. an asynchronous call, answered at once and reported back later with
   program_async_job_call_back;
9. (CPython 3.8+ with uvicorn and the async extra) the same call into the
   program's ASGI app under uvicorn, reported from an asyncio task with
   AsyncChatDataSDK.

It prints what crossed the wire and what each side concluded, stops all it
started (also on failure or Ctrl-C), and exits 0 only when every step
behaved as expected.  The whole run is bounded (--deadline, 80 s by default).
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import threading
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple, TypeVar, cast

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from simulator import wire  # noqa: E402
from simulator.caller import CallResult, PlatformCaller, ProgramProcess  # noqa: E402
from simulator.platform import PlatformSimulator  # noqa: E402

PROVIDER_APP = os.path.join(HERE, "provider_app.py")
QUICKSTART = os.path.join(HERE, "outbound_quickstart.py")
ASYNC_CALLBACK = "/cgi-bin/spec/program_async_job_call_back"
# The program's ASGI app under uvicorn, on a socket bound first so that the
# "listening on" line names its port.
UVICORN_RUNNER = r'''
import socket, sys, uvicorn
sys.path.insert(0, sys.argv[1])
sock = socket.socket()
sock.bind(("127.0.0.1", 0))
sock.listen(64)
print("listening on http://127.0.0.1:%d/" % sock.getsockname()[1], flush=True)
uvicorn.Server(uvicorn.Config("provider_app:asgi_app", log_level="warning")).run(sockets=[sock])
'''


def asgi_available() -> bool:
    """Whether step 9 runs: uvicorn and the asyncio client are installed."""
    if sys.version_info < (3, 8):
        return False
    import importlib.util
    return all(importlib.util.find_spec(m) is not None for m in ("uvicorn", "aiohttp"))

T = TypeVar("T")


def demo_secret() -> wire.SecretRecord:
    """The demo's secret record, derived here rather than stored anywhere."""
    token = hashlib.sha256(b"vq demo signing token").hexdigest()[:32]
    return wire.SecretRecord("1", token, wire.make_key_text("vq demo aes key"), "demo-program")


def demo_access_token() -> str:
    return "demo-" + hashlib.sha256(b"vq demo access token").hexdigest()[:24]


# ---- transcript ---------------------------------------------------------------------------------


def out(text: str = "") -> None:
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def short(value: object, n: int = 16) -> str:
    text = "" if value is None else str(value)
    return text if len(text) <= n else text[:n] + "..."


def show_headers(pairs: Sequence[Tuple[str, str]], names: Sequence[str]) -> str:
    got = dict((k.lower(), v) for k, v in pairs)
    shown = []
    for name in names:
        if name.lower() in got:
            value = got[name.lower()]
            shown.append("%s=%s" % (name, short(value, 20) if name == "vq-signature" else value))
    return " ".join(shown)


def log_fields(line: str) -> Optional[Tuple[str, str, str]]:
    """(level, req_id, text) of an SDK log line, or None."""
    parts = line.split(",", 8)
    if len(parts) != 9:
        return None
    return parts[4], parts[5], parts[8]


class Step(object):
    def __init__(self, number: int, title: str) -> None:
        self.number = number
        self.title = title
        self.passed = False
        self.reasons: List[str] = []

    def expect(self, condition: T, what: str) -> T:
        if not condition:
            self.reasons.append(what)
        return condition


class Demo(object):
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.secret = demo_secret()
        self.access_token = demo_access_token()
        self.sim: Optional[PlatformSimulator] = None
        self.program: Optional[ProgramProcess] = None
        self.caller: Optional[PlatformCaller] = None
        self.asgi_program: Optional[ProgramProcess] = None
        self.steps: List[Step] = []
        self._stop_lock = threading.Lock()
        self._stopped = False

    # -- set-up and tear-down --------------------------------------------------------------

    def child_env(self) -> Dict[str, str]:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in [ROOT, os.environ.get("PYTHONPATH", "")] if p)
        env["PYTHONIOENCODING"] = "utf-8"
        env["PYTHONUNBUFFERED"] = "1"
        sim = cast(PlatformSimulator, self.sim)  # started first
        env["REQUESTS_CA_BUNDLE"] = sim.ca_path  # trust the simulator's test CA
        env["VQ_DEBUG_TOKEN"] = self.secret.debug_token()
        env["VQ_ACCESS_TOKEN"] = self.access_token
        env["VQ_DOMAIN"] = sim.base_url
        return env

    def start(self) -> None:
        self.sim = PlatformSimulator(self.secret, self.access_token,
                                     lifetime=self.args.deadline + 10).start()
        out("platform simulator   %s  (secret version %s, program %s)"
            % (self.sim.base_url, self.secret.ver, self.secret.program_id))
        argv = [sys.executable, "-u", PROVIDER_APP, "--host", "127.0.0.1", "--port", "0",
                "--exit-after", str(self.args.deadline + 10)]
        self.program = ProgramProcess(argv, env=self.child_env(), cwd=ROOT)
        url = self.program.wait_ready(20)
        out("provider program     %s  (pid %d, debug mode, platform at the simulator)"
            % (url, self.program.pid))
        self.caller = PlatformCaller(self.secret, url, timeout=10)

    def stop(self) -> None:
        # Called by the main thread and, on overtime, by the watchdog.
        with self._stop_lock:
            if self._stopped:
                return
            self._stopped = True
            self._stop_all()

    def _stop_all(self) -> None:
        if self.asgi_program is not None:
            code = self.asgi_program.stop()
            out("provider program under uvicorn stopped (exit status %s)" % code)
        if self.program is not None:
            code = self.program.stop()
            out("provider program stopped (exit status %s)" % code)
        if self.sim is not None:
            self.sim.stop()
            out("platform simulator stopped")

    # -- helpers -----------------------------------------------------------------------------------

    def step(self, title: str) -> Step:
        s = Step(len(self.steps) + 1, title)
        self.steps.append(s)
        out("")
        out("[%d] %s" % (s.number, title))
        return s

    def finish(self, s: Step, conclusion: str) -> None:
        s.passed = not s.reasons
        if s.passed:
            out("    PASS  %s" % conclusion)
        else:
            out("    FAIL  %s" % "; ".join(s.reasons))

    def program_lines(self, needle: str, wait_for: Optional[str] = None,
                      timeout: float = 5.0, program: Optional[ProgramProcess] = None) -> List[Tuple[str, str, str]]:
        """The program's log lines (level, req_id, text) that contain needle."""
        prog = cast(ProgramProcess, program or self.program)
        if wait_for:
            prog.wait_for(lambda l: needle in l and wait_for in l, timeout)
        found = []
        for line in prog.output().splitlines():
            if needle and needle in line:
                f = log_fields(line)
                if f:
                    found.append(f)
        return found

    def call(self, data: str, **kw: Any) -> CallResult:
        """One platform call into the program (PlatformCaller.call)."""
        return cast(PlatformCaller, self.caller).call(data, **kw)

    def show_program_log(self, lines: List[Tuple[str, str, str]]) -> None:
        for level, _, text in lines:
            out("    program logged       %-4s %s" % (level, short(text, 110)))

    def show_inbound(self, res: CallResult) -> None:
        sent = res.sent
        out("    platform -> program  POST %s  %s  body %d chars (encrypted)" % (
            sent.path, show_headers(sent.headers, ["vq-secret-ver", "vq-req-id", "vq-timestamp-ms",
                                                   "vq-inqueue-timeout-ms", "vq-signature"]),
            len(sent.body)))
        out("                         call: %s" % short(sent.plain, 110))
        out("    program -> platform  HTTP %d  %s  body %d chars" % (
            res.status, show_headers(res.headers, ["vq-status", "vq-secret-ver", "vq-secret-ver-expected",
                                                   "vq-signature", "Content-Length"]),
            len(res.body)))
        if res.text:
            out("    platform decrypted   %s" % short(res.text, 110))
        elif res.body and res.vq_status is None:
            out("    program said         %s" % res.body.strip())
        if res.problems:
            out("    platform objects     %s" % "; ".join(res.problems))

    def show_outbound(self, rec: Dict[str, Any]) -> None:
        query = rec["query"].replace(self.access_token, "***")
        out("    program -> platform  POST %s?%s  %s  body %d chars (encrypted)" % (
            rec["path"], query, show_headers(rec["headers"], ["vq-spec-trans-api", "vq-req-id",
                                                              "vq-secret-ver", "vq-program-id"]),
            len(rec["body"])))
        if rec["call"] is not None:
            out("                         call: data=%s" % short(rec["call"].get("data"), 90))
        ans = rec["answer"] or {}
        out("    platform -> program  HTTP %s  %s  body %d chars (encrypted)" % (
            ans.get("status_code"), show_headers(ans.get("headers", []), ["vq-status", "vq-secret-ver"]),
            len(ans.get("body", ""))))
        if rec["verdict"] == 0:
            out("    platform concluded   call accepted and answered")
        else:
            out("    platform concluded   call refused, %s: %s" % (rec["verdict"], rec["reason"]))

    # -- the script --------------------------------------------------------------------------------------

    def run_outbound(self) -> None:
        s_echo = self.step("outbound: echo through the debug relay")
        proc = subprocess.Popen([sys.executable, "-u", QUICKSTART], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.child_env(), cwd=ROOT,
                                universal_newlines=True)
        try:
            stdout, stderr = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            stdout, stderr = proc.communicate(timeout=10)
        texts = [f for f in (log_fields(l) for l in stdout.splitlines()) if f]
        records = cast(PlatformSimulator, self.sim).requests

        echo = [r for r in records if r["api"] == "/cgi-bin/chatdata/echo"]
        if s_echo.expect(len(echo) == 1, "the simulator saw %d echo calls" % len(echo)):
            rec = echo[0]
            self.show_outbound(rec)
            s_echo.expect(rec["relay"], "echo did not go through the relay")
            s_echo.expect(rec["verdict"] == 0, "the simulator refused echo: %s" % rec["reason"])
        said = [t for _, _, t in texts if t.startswith("echo answered:")]
        for t in said:
            out("    program concluded    %s" % t)
        s_echo.expect(said == ['echo answered: {"hello": "platform"}'], "echo result not seen by the program")
        self.finish(s_echo, "signed, relayed, verified both ways; the program got its text back")

        s_sync = self.step("outbound: sync_msg through the debug relay")
        sync = [r for r in records if r["api"] == "/cgi-bin/chatdata/sync_msg"]
        if s_sync.expect(len(sync) == 1, "the simulator saw %d sync_msg calls" % len(sync)):
            rec = sync[0]
            self.show_outbound(rec)
            s_sync.expect(rec["verdict"] == 0, "the simulator refused sync_msg: %s" % rec["reason"])
            s_sync.expect(json.loads(rec["call"]["data"]) == {"cursor": "", "limit": 10},
                          "sync_msg parameters changed on the way")
        said = [t for _, _, t in texts if t.startswith("sync_msg answered:")]
        for t in said:
            out("    program concluded    %s" % t)
        s_sync.expect(len(said) == 1 and said[0].startswith("sync_msg answered: 1 messages"),
                      "sync_msg result not seen by the program")
        s_sync.expect(proc.returncode == 0, "the quickstart exited with %s: %s" % (
            proc.returncode, (stderr.strip() or stdout.strip())[-300:]))
        self.finish(s_sync, "the program read one message page from the platform")

    def run_inbound_normal(self) -> None:
        s = self.step("inbound: a platform call answered normally")
        res = self.call(json.dumps({"text": "please summarise this chat"}),
                        corpid="wwcorp-demo", agentid=1000001)
        self.show_inbound(res)
        self.show_program_log(self.program_lines(res.sent.req_id, "inqchk"))
        s.expect(res.problems == [], "answer failed the platform's checks")
        s.expect((res.status, res.vq_status) == (200, "0"), "HTTP %s vq-status %s" % (res.status, res.vq_status))
        s.expect(res.json == {"errcode": 0, "errmsg": "ok", "reply": "you said: please summarise this chat",
                              "words": 4}, "unexpected answer %r" % (res.text,))
        self.finish(s, "signature over the body as sent checks out; the body decrypts to the reply")

    def run_inbound_retry(self, kind: str, status: str, title: str, conclusion: str, marker: str) -> None:
        s = self.step(title)
        res = self.call(json.dumps({"text": "hello"}), kind=kind)
        self.show_inbound(res)
        self.show_program_log(self.program_lines(res.sent.req_id, marker))
        s.expect(res.problems == [], "answer failed the platform's checks")
        s.expect(res.verdict == "retry_notify" and res.vq_status == status,
                 "expected a retry notification with vq-status %s, got %s / %s" % (status, res.verdict, res.vq_status))
        s.expect(res.header("vq-secret-ver-expected") == self.secret.ver, "vq-secret-ver-expected is wrong")
        s.expect(res.header("vq-signature") is None, "a retry notification must not be signed")
        self.finish(s, conclusion)

    def run_inbound_internal_error(self) -> None:
        s = self.step("inbound: the program's work fails")
        res = self.call(json.dumps({"action": "fail", "reason": "model quota exhausted"}))
        self.show_inbound(res)
        self.show_program_log(self.program_lines(res.sent.req_id, "call failed"))
        s.expect(res.problems == [], "answer failed the platform's checks")
        s.expect(res.vq_status == "0", "vq-status %s" % res.vq_status)
        s.expect(res.text == '{"errcode": 710660, "errmsg": "model quota exhausted"}',
                 "unexpected answer %r" % (res.text,))
        self.finish(s, "a normal signed answer whose body reports errcode 710660")

    def run_inbound_forged(self) -> None:
        s = self.step("inbound: a forged call (bad signature)")
        res = self.call(json.dumps({"text": "let me in"}), kind="bad_signature")
        self.show_inbound(res)
        # The refusal line shows the expected signature's first 8 hex digits only.
        real = res.sent.expected_real_sign(self.secret)[:8] + "..."
        self.show_program_log(self.program_lines(res.sent.req_id, "inqchk") +
                              self.program_lines(real, "real_sign"))
        s.expect((res.status, res.verdict) == (400, "refused"), "HTTP %s %s" % (res.status, res.verdict))
        s.expect(res.body == "Invalid signature\n", "unexpected refusal %r" % res.body)
        self.finish(s, "refused with HTTP 400; nothing was decrypted")

    def run_inbound_async(self, title: str = "inbound: an asynchronous call, reported back later",
                          program: Optional[ProgramProcess] = None, where: str = "the program's worker thread"
                          ) -> None:
        s = self.step(title)
        job = "job-%d-%s" % (int(time.time()), "asgi" if program else "wsgi")
        caller = PlatformCaller(self.secret, program.url, timeout=10) if program and program.url else None
        res = (caller or cast(PlatformCaller, self.caller)).call(
            json.dumps({"text": "a long analysis"}), is_async=True, job_info=job,
            corpid="wwcorp-demo", agentid=1000001, ability_id="ability-demo")
        if program is None:
            self.show_inbound(res)
        s.expect(res.problems == [], "answer failed the platform's checks")
        s.expect(res.json == {"errcode": 0, "errmsg": "ok", "accepted": True, "job_info": job},
                 "unexpected answer %r" % (res.text,))
        rec: Any = None
        end = time.time() + 15
        while time.time() < end:
            found = [r for r in cast(PlatformSimulator, self.sim).requests if r["api"] == ASYNC_CALLBACK
                     and r["call"] and r["call"].get("job_info") == job]
            if found:
                rec = found[0]
                break
            time.sleep(0.1)
        if s.expect(rec is not None, "the platform never got program_async_job_call_back"):
            out("    ... later, from %s:" % where)
            self.show_outbound(rec)
            s.expect(rec["verdict"] == 0, "the simulator refused the call-back: %s" % rec["reason"])
            report = json.loads(rec["call"]["data"])
            s.expect(report == {"errcode": 0, "errmsg": "ok", "job_info": job,
                                "result": {"reply": "you said: a long analysis", "words": 3}},
                     "unexpected report %r" % (report,))
            s.expect((rec["call"]["corpid"], rec["call"]["agentid"]) == ("wwcorp-demo", 1000001),
                     "the call-back lost the call's identity")
            self.show_program_log(self.program_lines(job, "async job reported", timeout=5, program=program))
        self.finish(s, "accepted at once; the result reached the platform by program_async_job_call_back")

    def run_inbound_async_asgi(self) -> None:
        argv = [sys.executable, "-u", "-c", UVICORN_RUNNER, HERE]
        self.asgi_program = ProgramProcess(argv, env=self.child_env(), cwd=ROOT)
        url = self.asgi_program.wait_ready(20)
        out("")
        out("provider program     %s  (pid %d, the ASGI app under uvicorn)" % (url, self.asgi_program.pid))
        self.run_inbound_async("inbound under uvicorn: an asynchronous call, reported from the event loop",
                               self.asgi_program, "an asyncio task of the program, with AsyncChatDataSDK")

    def run(self) -> None:
        self.run_outbound()
        self.run_inbound_normal()
        self.run_inbound_retry("other_version", "1", "inbound: a call made with another secret version",
                               "retry notification, status 1, naming version %s" % self.secret.ver,
                               "ver not matched")
        self.run_inbound_retry("stale", "2", "inbound: a call that waited too long in the queue",
                               "retry notification, status 2", "inqchk")
        self.run_inbound_internal_error()
        self.run_inbound_forged()
        self.run_inbound_async()
        if asgi_available():
            self.run_inbound_async_asgi()


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--deadline", type=float, default=80.0, help="seconds the whole run may take")
    args = ap.parse_args(argv)

    import vqspecapisdk
    out("vqspecapisdk %s, Python %s" % (vqspecapisdk.spec_get_sdk_version(), sys.version.split()[0]))

    demo = Demo(args)

    timed_out = threading.Event()

    def overtime() -> None:
        timed_out.set()
        out("")
        out("FAIL  the demo did not finish within %g s" % args.deadline)
        try:
            demo.stop()
        finally:
            os._exit(3)

    watchdog = threading.Timer(args.deadline, overtime)
    watchdog.daemon = True
    watchdog.start()
    failed_setup = None
    try:
        demo.start()
        demo.run()
    except KeyboardInterrupt:
        failed_setup = "interrupted"
    except Exception as err:
        failed_setup = "%s: %s" % (type(err).__name__, err)
    finally:
        out("")
        demo.stop()
        watchdog.cancel()

    passed = sum(1 for s in demo.steps if s.passed)
    out("")
    for s in demo.steps:
        out("%s  [%d] %s" % ("PASS" if s.passed else "FAIL", s.number, s.title))
    if failed_setup:
        out("FAIL  the demo stopped early: %s" % failed_setup)
    ok = failed_setup is None and not timed_out.is_set() and passed == len(demo.steps) == (
        9 if asgi_available() else 8)
    out("%d of %d steps passed -- %s" % (passed, len(demo.steps), "all good" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
