"""The platform's side of a call into a provider's program.

PlatformCaller builds a call the way the platform does (signed headers, an
encrypted JSON body), posts it to the program's web server, and checks the
answer the way the platform would: a normal answer must carry the signed
header set and a body that decrypts under the secret record in force; a
retry notification must carry the five-entry header set naming the version
the program expects.  Everything on the platform's side is computed with
simulator.wire, never with the SDK.

    caller = PlatformCaller(secret, "http://127.0.0.1:8080/")
    result = caller.call('{"text": "hi"}')
    result.verdict      # "answered", "retry_notify", "refused" or "invalid"
    result.json         # the decrypted answer, parsed
    result.problems     # what the platform would object to ([] when fine)

Kinds of call (the `kind` argument):

    normal          signed with the record in force, sent just now
    stale           time stamps STALE_AGE_S seconds old: longer than the
                    in-queue limit, so the program asks for a retry ("2")
    other_version   made with the record of the next secret version: the
                    program asks for a retry ("1")
    bad_signature   one hex digit of the signature off: refused
    no_signature    the vq-signature header left out: refused

build() makes a call without sending it, so a test can alter it first;
send() posts it and checks the answer.  ProgramProcess runs a program in a
child process and collects its log lines.
"""
import http.client as http_client
import json
import random
import re
import ssl
import string
import subprocess
import threading
import time
from typing import Any, Callable, Dict, IO, List, Optional, Sequence, Tuple, Union, cast
from urllib.parse import urlsplit

from simulator import wire

KINDS = ("normal", "stale", "other_version", "bad_signature", "no_signature")

# What a program's answer must carry, in this order.
NORMAL_ANSWER_HEADERS = (
    "Accept", "Content-Type", "vq-status", "vq-secret-ver", "vq-signature",
    "vq-nonce", "vq-timestamp", "Content-Length",
)
RETRY_ANSWER_HEADERS = (
    "Accept", "Content-Type", "vq-status", "vq-secret-ver-expected", "Content-Length",
)
# Security headers that a retry notification must not carry.
SIGNED_ONLY_HEADERS = ("vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp")

DEFAULT_INQUEUE_TIMEOUT_MS = 30000
STALE_AGE_S = 120  # how long a "stale" call claims to have waited in the queue
NONCE_BOUND = 2147483647
REQ_ID_ALPHABET = string.ascii_letters + string.digits
_DIGITS = re.compile(r"^[0-9]+$")
_HEX64 = re.compile(r"^[0-9a-f]{64}$")


def new_req_id(rng: Any = random) -> str:
    """A request id as the platform makes them: 16 distinct letters and digits."""
    return "".join(rng.sample(REQ_ID_ALPHABET, 16))


def other_secret(secret: wire.SecretRecord) -> wire.SecretRecord:
    """The record of another secret version than `secret` (a rotation)."""
    ver = str(int(secret.ver) + 1) if _DIGITS.match(secret.ver or "") else secret.ver + "-next"
    return wire.SecretRecord(ver, secret.token + "-rotated",
                             wire.make_key_text("rotated:" + secret.encoding_aes_key),
                             secret.program_id)


class SentCall(object):
    """What the caller put on the wire for one call."""

    def __init__(self, kind: str, path: str, headers: List[Tuple[str, str]], fields: Dict[str, Any],
                 plain: str, body: str, secret: wire.SecretRecord) -> None:
        self.kind = kind
        self.path = path
        self.headers = headers          # list of (name, value), in sending order
        self.fields = fields            # the call body's fields (before encryption)
        self.plain = plain              # the call body's JSON text
        self.body = body                # the encrypted text that was posted
        self.secret = secret            # the record the call was made with

    @property
    def header_map(self) -> Dict[str, str]:
        """Lower-case name -> value of the headers as they stand (last one wins)."""
        return dict((n.lower(), v) for n, v in self.headers)

    @property
    def req_id(self) -> str:
        return self.header_map.get("vq-req-id", "")

    def expected_real_sign(self, in_force: wire.SecretRecord) -> str:
        """The signature a program holding `in_force` computes for this call."""
        h = self.header_map
        return wire.sign(in_force.token, self.body, h.get("vq-timestamp"), h.get("vq-nonce"),
                         h.get("vq-secret-ver"))


class CallResult(object):
    """The program's answer to one call and the platform's reading of it."""

    def __init__(self, sent: SentCall, status: int, reason: str, headers: List[Tuple[str, str]],
                 body: str) -> None:
        self.sent = sent
        self.status = status            # HTTP status code
        self.reason = reason
        self.headers = headers          # list of (name, value) as received
        self.body = body                # body text as received
        self.header_map: Dict[str, str] = {}
        for name, value in headers:
            self.header_map[name.lower()] = value
        self.vq_status = self.header_map.get("vq-status")
        self.text: Optional[str] = None  # decrypted body text, when there is one
        self.json: Any = None           # the decrypted body parsed, when it is JSON
        self.verdict: Optional[str] = None
        self.problems: List[str] = []

    @property
    def ok(self) -> bool:
        return not self.problems

    def header(self, name: str) -> Optional[str]:
        return self.header_map.get(name.lower())

    def summary(self) -> str:
        return "%s %s -> HTTP %s vq-status=%s verdict=%s body=%d chars%s" % (
            self.sent.kind, self.sent.path, self.status, self.vq_status, self.verdict,
            len(self.body), "" if self.ok else " problems=%s" % "; ".join(self.problems))

    def __repr__(self) -> str:
        return "CallResult(%s)" % self.summary()


class PlatformCaller(object):
    """Sends the platform's calls into a program and checks its answers.

    secret: the wire.SecretRecord the program holds (its secret file, or the
        record inside its debug token).
    program_url: where the program's web server listens, http:// or https://.
    verify: for https, True (system CAs), False, or the path of a CA file.
    timeout: seconds for connecting and for each read.
    """

    def __init__(self, secret: wire.SecretRecord, program_url: str, verify: Union[bool, str] = True,
                 timeout: float = 10.0, inqueue_timeout_ms: int = DEFAULT_INQUEUE_TIMEOUT_MS,
                 rng: Optional[random.Random] = None) -> None:
        self.secret = secret
        self.program_url = program_url
        self.verify = verify
        self.timeout = timeout
        self.inqueue_timeout_ms = inqueue_timeout_ms
        self.rng = rng or random.Random()
        parts = urlsplit(program_url)
        if parts.scheme not in ("http", "https"):
            raise ValueError("program_url must be http:// or https://, not %r" % program_url)
        self.scheme = parts.scheme
        self.host = cast(str, parts.hostname)
        self.port = parts.port or (443 if parts.scheme == "https" else 80)
        self.path = parts.path or "/"
        if parts.query:
            self.path += "?" + parts.query

    # ---- building a call ---------------------------------------------------------------

    def build(self, data: Any = "", kind: str = "normal", corpid: Any = "wwcorp-demo", agentid: Any = 1000001,
              call_type: Any = 1, is_async: Any = False, job_info: Any = "", ability_id: Any = "ability-demo",
              notify_id: Any = None, req_id: Optional[str] = None, path: Optional[str] = None,
              now: Optional[float] = None, extra_fields: Optional[Dict[str, Any]] = None) -> SentCall:
        """The request of one call (a SentCall), without sending it."""
        if kind not in KINDS:
            raise ValueError("unknown kind %r (one of %s)" % (kind, ", ".join(KINDS)))
        record = other_secret(self.secret) if kind == "other_version" else self.secret
        fields: Dict[str, Any] = {
            "corpid": corpid,
            "agentid": agentid,
            "data": data,
            "call_type": call_type,
            "is_async": is_async,
            "job_info": job_info,
            "ability_id": ability_id,
            "notify_id": notify_id if notify_id is not None else "%032x" % self.rng.getrandbits(128),
        }
        if extra_fields:
            fields.update(extra_fields)
        plain = json.dumps(fields)
        body = wire.encrypt(record.encoding_aes_key, plain)

        now = time.time() if now is None else now
        sent_ms = int(now * 1000)
        if kind == "stale":
            sent_ms -= STALE_AGE_S * 1000
        timestamp = str(sent_ms // 1000)
        nonce = str(self.rng.randrange(NONCE_BOUND))
        signature = wire.sign(record.token, body, timestamp, nonce, record.ver)
        if kind == "bad_signature":
            # One hex digit off: still well-formed, no longer right.
            signature = signature[:-1] + ("0" if signature[-1] != "0" else "1")

        headers = [
            ("vq-secret-ver", record.ver),
            ("vq-signature", signature),
            ("vq-nonce", nonce),
            ("vq-timestamp", timestamp),
            ("vq-timestamp-ms", str(sent_ms)),
            ("vq-req-id", req_id if req_id is not None else new_req_id(self.rng)),
            ("vq-inqueue-timeout-ms", str(self.inqueue_timeout_ms)),
            ("Content-Type", "application/json"),
        ]
        if kind == "no_signature":
            headers = [(n, v) for n, v in headers if n != "vq-signature"]
        return SentCall(kind, path or self.path, headers, fields, plain, body, record)

    # ---- sending it ----------------------------------------------------------------------

    def _connection(self) -> http_client.HTTPConnection:
        if self.scheme == "http":
            return http_client.HTTPConnection(self.host, self.port, timeout=self.timeout)
        if self.verify is False:
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
        elif self.verify is True:
            ctx = ssl.create_default_context()
        else:
            ctx = ssl.create_default_context(cafile=self.verify)
        return http_client.HTTPSConnection(self.host, self.port, timeout=self.timeout, context=ctx)

    def send(self, sent: SentCall) -> CallResult:
        """Post a built call and return the checked CallResult."""
        conn = self._connection()
        try:
            conn.putrequest("POST", sent.path, skip_accept_encoding=True)
            for name, value in sent.headers:
                conn.putheader(name, value)
            payload = sent.body.encode("utf-8")
            conn.putheader("Content-Length", str(len(payload)))
            conn.endheaders(payload)
            resp = conn.getresponse()
            raw = resp.read()
            headers = list(resp.getheaders())
            status, reason = resp.status, resp.reason
        finally:
            conn.close()
        result = CallResult(sent, status, reason, headers, raw.decode("utf-8", "replace"))
        self.check(result)
        return result

    def call(self, data: Any = "", kind: str = "normal", **kw: Any) -> CallResult:
        """Build, send and check one call; see build() for the fields."""
        return self.send(self.build(data, kind=kind, **kw))

    # ---- reading the answer as the platform does -------------------------------------------

    def check(self, result: CallResult) -> CallResult:
        """Set result.verdict, .text, .json and .problems."""
        status = result.vq_status
        if status is None:
            result.verdict = "refused" if result.status >= 400 else "invalid"
            if result.status < 400:
                result.problems.append("HTTP %d answer without vq-status" % result.status)
            return result
        if status == "0":
            result.verdict = "answered"
            self._check_normal(result)
        elif status in ("1", "2"):
            result.verdict = "retry_notify"
            self._check_retry(result)
        else:
            result.verdict = "invalid"
            result.problems.append("unknown vq-status %r" % status)
        if result.problems:
            result.verdict = "invalid"
        return result

    def _check_names(self, result: CallResult, expected: Sequence[str], forbidden: Sequence[str] = ()) -> None:
        p = result.problems
        wanted = dict((e.lower(), e) for e in expected)
        got = [n for n, _ in result.headers]
        lower = [n.lower() for n in got]
        for name in expected:
            n = lower.count(name.lower())
            if n != 1:
                p.append("header %s present %d times" % (name, n))
        # The set's entries arrive in the set's order and spelling; the web
        # server may add its own (Server, Date, ...) around them.
        ours = [n for n in got if n.lower() in wanted]
        if [n.lower() for n in ours] == [e.lower() for e in expected]:
            if ours != list(expected):
                p.append("header names spelled %s" % (ours,))
        elif len(ours) == len(expected):
            p.append("headers out of order: %s" % (ours,))
        for name in lower:
            if name.startswith("vq-") and name not in wanted:
                p.append("unexpected header %s" % name)
        for name in forbidden:
            if name.lower() in lower:
                p.append("header %s must not be sent here" % name)

    def _check_common(self, result: CallResult) -> None:
        p = result.problems
        if result.header("Accept") != "*/*":
            p.append("Accept is %r" % result.header("Accept"))
        if result.header("Content-Type") != "application/json":
            p.append("Content-Type is %r" % result.header("Content-Type"))
        if result.header("Content-Length") != str(len(result.body.encode("utf-8"))):
            p.append("Content-Length %r for a body of %d bytes" % (result.header("Content-Length"),
                                                                   len(result.body.encode("utf-8"))))

    def _decrypt(self, result: CallResult) -> None:
        if not result.body:
            result.text = ""
            return
        try:
            result.text = wire.decrypt(self.secret.encoding_aes_key, result.body)
        except Exception as err:  # the platform drops an answer it cannot open
            result.problems.append("body does not decrypt: %s" % err)
            return
        try:
            result.json = json.loads(result.text)
        except ValueError:
            result.json = None

    def _check_normal(self, result: CallResult) -> None:
        p = result.problems
        self._check_names(result, NORMAL_ANSWER_HEADERS)
        self._check_common(result)
        h = result.header
        if h("vq-secret-ver") != self.secret.ver:
            p.append("vq-secret-ver %r, the version in force is %r" % (h("vq-secret-ver"), self.secret.ver))
        nonce, ts, sig = h("vq-nonce"), h("vq-timestamp"), h("vq-signature")
        if not (nonce and _DIGITS.match(nonce) and str(int(nonce)) == nonce and int(nonce) < NONCE_BOUND):
            p.append("vq-nonce %r is not a number below %d" % (nonce, NONCE_BOUND))
        if not (ts and _DIGITS.match(ts)):
            p.append("vq-timestamp %r is not whole seconds" % ts)
        if not (sig and _HEX64.match(sig)):
            p.append("vq-signature %r is not 64 lower-case hex digits" % sig)
        if None not in (nonce, ts, sig):
            want = wire.sign(self.secret.token, result.body, ts, nonce, h("vq-secret-ver") or "")
            if sig != want:
                p.append("vq-signature does not match the body as sent")
        self._decrypt(result)

    def _check_retry(self, result: CallResult) -> None:
        p = result.problems
        self._check_names(result, RETRY_ANSWER_HEADERS, forbidden=SIGNED_ONLY_HEADERS)
        self._check_common(result)
        expected = result.header("vq-secret-ver-expected")
        if expected != self.secret.ver:
            p.append("vq-secret-ver-expected %r, the version in force is %r" % (expected, self.secret.ver))
        self._decrypt(result)


class ProgramProcess(object):
    """A provider program run as a child process, with its output collected.

    The program must write a line containing "listening on http://HOST:PORT/"
    when it is ready (examples/provider_app.py does, and with --port 0 that
    line is how the chosen port is found).  stdout lines are kept in
    .lines; stderr is kept whole.  stop() ends the process (SIGTERM, then
    SIGKILL) and is safe to call more than once.
    """

    READY = re.compile(r"listening on (https?://[^/\s]+/)")

    def __init__(self, argv: List[str], env: Optional[Dict[str, str]] = None, cwd: Optional[str] = None) -> None:
        self.argv = argv
        self.lines: List[str] = []
        self.stderr = ""
        self.url: Optional[str] = None
        self.returncode: Optional[int] = None
        self._cond = threading.Condition()
        self._stop_lock = threading.Lock()
        self._proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      env=env, cwd=cwd, universal_newlines=True)
        self._out_thread = threading.Thread(target=self._read_out)
        self._err_thread = threading.Thread(target=self._read_err)
        for t in (self._out_thread, self._err_thread):
            t.daemon = True
            t.start()

    @property
    def pid(self) -> int:
        return self._proc.pid

    def _read_out(self) -> None:
        for line in cast(IO[str], self._proc.stdout):
            with self._cond:
                self.lines.append(line.rstrip("\n"))
                if self.url is None:
                    m = self.READY.search(line)
                    if m:
                        self.url = m.group(1)
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def _read_err(self) -> None:
        self.stderr = cast(IO[str], self._proc.stderr).read()

    def wait_ready(self, timeout: float = 20.0) -> str:
        """The program's URL once it listens; raises if it exits or is late."""
        end = time.time() + timeout
        with self._cond:
            while self.url is None:
                if self._proc.poll() is not None and not self._out_thread.is_alive():
                    raise RuntimeError("program exited (%s) before listening: %s"
                                       % (self._proc.returncode, self.stderr.strip()[-2000:]))
                left = end - time.time()
                if left <= 0:
                    raise RuntimeError("program not listening after %.0f s" % timeout)
                self._cond.wait(min(left, 0.2))
            return self.url

    def wait_for(self, predicate: Callable[[str], object], timeout: float = 10.0) -> Optional[str]:
        """The first stdout line for which predicate(line) holds, or None after timeout."""
        end = time.time() + timeout
        with self._cond:
            seen = 0
            while True:
                for line in self.lines[seen:]:
                    if predicate(line):
                        return line
                seen = len(self.lines)
                left = end - time.time()
                if left <= 0 or not self._out_thread.is_alive():
                    return None
                self._cond.wait(min(left, 0.2))

    def output(self) -> str:
        with self._cond:
            return "\n".join(self.lines) + ("\n" if self.lines else "")

    def stop(self, timeout: float = 10.0) -> Optional[int]:
        """End the program and return its exit status."""
        with self._stop_lock:
            if self._proc.poll() is None:
                self._proc.terminate()
                try:
                    self._proc.wait(timeout)
                except subprocess.TimeoutExpired:
                    self._proc.kill()
                    self._proc.wait(timeout)
        self._out_thread.join(timeout)
        self._err_thread.join(timeout)
        self.returncode = self._proc.returncode
        return self.returncode

    def __enter__(self) -> "ProgramProcess":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
