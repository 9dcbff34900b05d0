"""One platform call from request to answer, shared by the WSGI and ASGI apps.

The server adapters turn their request into (method, path, Content-Length,
header list, body bytes) and write back the Answer made here.  Everything in
this file runs on CPython 3.6 and is synchronous: the ASGI app runs it in a
thread pool.
"""
import re
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple, Union

import vqspecapisdk

from vqspecapisdk_web.replay import ReplayGuard, ReplayStore, MemoryReplayStore

# The platform's calls are far smaller; a longer body is refused unread.
DEFAULT_MAX_BODY = 4 * 1024 * 1024
DEFAULT_MAX_AGE = 300

Handler = Callable[[vqspecapisdk.VQToSpecHTTPReqDecoder], Any]
Decoded = Union["Answer", vqspecapisdk.VQToSpecHTTPReqDecoder]
HeaderList = List[Tuple[str, str]]
ReplayArg = Union[None, bool, ReplayStore]

_REASONS = {
    200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed", 409: "Conflict",
    411: "Length Required", 413: "Payload Too Large", 500: "Internal Server Error",
    503: "Service Unavailable",
}
_LENGTH = re.compile(r"^[0-9]{1,18}$")


class Answer(object):
    """An HTTP answer: status code, header list and body bytes."""

    __slots__ = ("code", "headers", "body")

    def __init__(self, code: int, headers: HeaderList, body: bytes) -> None:
        self.code = code
        self.headers = headers
        self.body = body

    @property
    def status(self) -> str:
        """The WSGI status line, e.g. "200 OK"."""
        return "%d %s" % (self.code, _REASONS.get(self.code, ""))


def plain(code: int, text: str, extra: Iterable[Tuple[str, str]] = ()) -> Answer:
    """A short plain-text answer (a refusal): nothing of the call is in it."""
    payload = (text + "\n").encode("utf-8")
    headers = [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(payload)))]
    headers.extend(extra)
    return Answer(code, headers, payload)


def signed(header_set: Dict[str, str], body: str) -> Answer:
    """An SDK header set (in its order) over the SDK's body text."""
    return Answer(200, list(header_set.items()), body.encode("utf-8"))


def last_value(value: str) -> str:
    """The last of the values a server joined with commas (a repeated header).

    WSGI servers join repeated header lines into one comma-separated value;
    the platform's header values never hold a comma, so the part after the
    last comma is the value of the last line, which is the one that counts.
    """
    return value.rsplit(",", 1)[-1].strip() if "," in value else value


def replay_store(replay: ReplayArg) -> Optional[ReplayStore]:
    """The seen-call store that `replay` asks for: None (off), True (in-process) or a store."""
    if replay is None or replay is False:
        return None
    if replay is True:
        return MemoryReplayStore()
    if isinstance(replay, ReplayStore):
        return replay
    raise TypeError("replay must be None, True, False or a ReplayStore, not %s" % type(replay).__name__)


class Pipeline(object):
    """The checks and the answers of one app; shared by its requests and threads."""

    def __init__(self, handler: Handler, path: str = "/", max_body: int = DEFAULT_MAX_BODY,
                 replay: ReplayArg = None, max_age: float = DEFAULT_MAX_AGE) -> None:
        if not callable(handler):
            raise TypeError("handler must be callable")
        if max_body < 0:
            raise ValueError("max_body must not be negative")
        self.handler = handler
        self.path = path
        self.max_body = max_body
        store = replay_store(replay)
        self.guard = ReplayGuard(store, max_age) if store is not None else None

    def admit(self, method: str, path: str, content_length: Optional[str]) -> Union[Answer, int]:
        """Refuse a request before its body is read, or give the body's length."""
        if path != self.path:
            return plain(404, "Not found")
        if method != "POST":
            return plain(405, "Method not allowed", [("Allow", "POST")])
        if not content_length:
            return plain(411, "Content-Length required")
        length = content_length.strip()
        if not _LENGTH.match(length):
            return plain(400, "Invalid Content-Length")
        n = int(length)
        if n > self.max_body:
            return plain(413, "Body too large")
        return n

    def decode(self, headers: HeaderList, body: bytes) -> Decoded:
        """The decoded call (a VQToSpecHTTPReqDecoder), or the Answer that ends the request."""
        try:
            text = body.decode("utf-8")
        except UnicodeDecodeError:
            return plain(400, "Body is not UTF-8")
        try:
            # The decoder checks the headers, the secret version, the time in
            # the queue and the signature, and decrypts, all in its constructor.
            req = vqspecapisdk.VQToSpecHTTPReqDecoder(headers, text)
        except vqspecapisdk.VQToSpecRetryNotifyException as err:
            # Checked before Exception, from which it derives: another secret
            # version ("1") or too long in the queue ("2"); the platform sends
            # the call again.
            rsp = vqspecapisdk.VQToSpecHTTPRspConstructor("")
            return signed(rsp.get_retry_notify_header(err.GetStatus()), rsp.get_encoded_body())
        except Exception as err:
            # Not a genuine call of the platform; the decoder logged why.
            return plain(400, _first_line(str(err)))
        if self.guard is not None:
            refusal = self.guard.check(req)
            if refusal is not None:
                code, reason = refusal
                return plain(code, reason)
        return req

    def answer(self, req: vqspecapisdk.VQToSpecHTTPReqDecoder, data: object,
               error: Optional[BaseException]) -> Answer:
        """The signed answer to an accepted call: the handler's text, or the internal-error body."""
        if error is None and isinstance(data, str):
            text = data
        else:
            if error is None:
                error = TypeError("the handler returned %s, not the answer's text" % type(data).__name__)
            reason = str(error)
            vqspecapisdk.spec_log_error_with_req_id(req.get_req_id(), "call failed:", reason)
            text = vqspecapisdk.spec_make_internal_error_rsp_data(reason)
        rsp = vqspecapisdk.VQToSpecHTTPRspConstructor(text)
        return signed(rsp.get_normal_header(), rsp.get_encoded_body())

    def run(self, headers: HeaderList, body: bytes) -> Answer:
        """Decode, hand to the (plain) handler, answer."""
        req = self.decode(headers, body)
        if isinstance(req, Answer):
            return req
        try:
            data = self.handler(req)
        except Exception as err:
            return self.answer(req, None, err)
        return self.answer(req, data, None)


def _first_line(text: str) -> str:
    line = text.strip().split("\n", 1)[0]
    return (line[:200] if line else "Refused")
