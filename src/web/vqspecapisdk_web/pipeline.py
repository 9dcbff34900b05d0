"""One platform call from request to answer, shared by the WSGI and ASGI apps.

The server adapters turn their request into (method, path, Content-Length,
header list, body bytes) and write back the Answer made here.  Every check
that ends a request raises Refused, which each adapter catches once.
Everything in this file runs on CPython 3.6 and is synchronous: the ASGI app
runs it in a thread pool or on its loop.
"""
import re
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Tuple, Union, cast

import vqspecapisdk

from vqspecapisdk_web.answers import Answer, HeaderList, Refused, plain, refuse, signed
from vqspecapisdk_web.replay import DEFAULT_SKEW, HEADER_MEMBERS, MemoryReplayStore, ReplayGuard, ReplayStore

# A platform call is the Base64 text of an encrypted JSON object of eight
# fields; only its "data" text is large.  1 MiB of Base64 holds 768 KiB of
# call: room for any text a call hands over, a quarter of what a connection
# could make the server keep before the limit was lowered.  Raise it with
# max_body for larger calls.
DEFAULT_MAX_BODY = 1024 * 1024
DEFAULT_MAX_AGE = 300
DEFAULT_BODY_TIMEOUT = 30.0

Handler = Callable[[vqspecapisdk.VQToSpecHTTPReqDecoder], str]
ReplayArg = Union[None, bool, ReplayStore]

# The headers every genuine call carries, and the seven the decoder reads (the
# only ones handed to it).
REQUIRED = ("vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp")
KNOWN = tuple(HEADER_MEMBERS)
_new_tuple = tuple.__new__
assert KNOWN[:4] == REQUIRED
_TS, _REQ_ID = KNOWN.index("vq-timestamp"), KNOWN.index("vq-req-id")
_LENGTH = re.compile(r"^[0-9]{1,18}$")
_DECODER_REFUSALS = (("Invalid header",), ("Invalid signature",))


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


class Settings(object):
    """Every setting of an app; make_wsgi_app and make_asgi_app take these after the handler.

    path: where the platform's calls arrive (other paths: 404).
    max_body: longest body accepted, in bytes (413, unread).
    replay: None or False (off), True (an in-process MemoryReplayStore) or a
        ReplayStore such as RedisReplayStore.
    max_age: the replay window, in seconds either side of the call's signed
        "vq-timestamp".
    body_timeout: seconds for the whole body to arrive once the headers are
        in (408 after).
    skew: seconds a replay key outlives the window, for hosts whose clocks differ.
    """

    def __init__(self, path: str = "/", max_body: int = DEFAULT_MAX_BODY, replay: ReplayArg = None,
                 max_age: float = DEFAULT_MAX_AGE, body_timeout: float = DEFAULT_BODY_TIMEOUT,
                 skew: float = DEFAULT_SKEW) -> None:
        if max_body < 0:
            raise ValueError("max_body must not be negative")
        if not body_timeout > 0:
            raise ValueError("body_timeout must be positive")
        store = replay_store(replay)
        self.path = path
        self.max_body = max_body
        self.body_timeout = float(body_timeout)
        self.guard = ReplayGuard(store, max_age, skew) if store is not None else None


class Pipeline(object):
    """The checks and the answers of one app; shared by its requests and threads.

    Pipeline(handler, settings) or Pipeline(handler, *args, **kwargs) with the
    arguments of Settings.
    """

    def __init__(self, handler: Callable[..., Any], *args: Any, **kwargs: Any) -> None:
        if not callable(handler):
            raise TypeError("handler must be callable")
        settings = args[0] if len(args) == 1 and isinstance(args[0], Settings) else Settings(*args, **kwargs)
        self.handler = handler
        self.settings = settings
        self.path = settings.path
        self.max_body = settings.max_body
        self.body_timeout = settings.body_timeout
        self.guard = settings.guard
        # Warn once when an in-process store serves one of several processes.
        self.watch_processes = self.guard is not None and self.guard.store.in_process

    def admit(self, method: str, path: str, content_length: Optional[str], values: List[Optional[str]],
              joined: bool = False) -> Tuple[int, HeaderList]:
        """The body's length and the decoder's header list; refuses a request before its body is read.

        `values` holds the request's values of the decoder's seven headers, in
        the order of KNOWN (None: absent; the last of a repeated one); with
        `joined`, a value may be repeated lines joined with commas.  A call
        without one of the four headers every call carries, or with a control
        character (or any other character that is not printable: everything
        str.splitlines() splits on among them) in one of these values, is
        refused with 400; with replay protection on, a time stamp outside the
        window with 409.
        """
        if path != self.path or method != "POST" or not content_length or not content_length.isdigit():
            content_length = self._refuse_request(method, path, content_length)
        try:
            n = int(content_length)
        except ValueError:  # digits of another kind
            raise refuse(400, "Invalid Content-Length")
        if n > self.max_body:
            raise refuse(413, "Body too large")
        try:
            text = "".join(values)  # type: ignore[arg-type]
            complete = True
        except TypeError:  # one or more absent
            text = self._present(values)
            complete = False
        try:
            # Every genuine call's values are ASCII letters and digits.  The
            # default (UTF-8) encoding is the cheapest to ask for; any other
            # character makes bytes that are not alnum, and goes to the full screen.
            plain_values = text.encode().isalnum()
        except UnicodeEncodeError:  # a lone surrogate
            plain_values = False
        if not plain_values:
            values = self._screen(values, joined)
        if self.guard is not None:
            self.guard.check_time(values[_TS], values[_REQ_ID] or "")  # type: ignore[arg-type]
        if not complete:
            return n, [(name, v) for name, v in zip(KNOWN, values) if v is not None]
        # All seven present, written out: cheaper than zip (the test of the header order checks the names).
        if TYPE_CHECKING:
            full = cast(List[str], values)
        else:
            full = values
        ver, sig, nonce, ts, ts_ms, req_id, inq = full
        return n, [("vq-secret-ver", ver), ("vq-signature", sig), ("vq-nonce", nonce), ("vq-timestamp", ts),
                   ("vq-timestamp-ms", ts_ms), ("vq-req-id", req_id), ("vq-inqueue-timeout-ms", inq)]

    def _refuse_request(self, method: str, path: str, content_length: Optional[str]) -> str:
        """Refuse another path, another method, or no or a bad Content-Length; or the length, stripped."""
        if path != self.path:
            raise refuse(404, "Not found")
        if method != "POST":
            raise refuse(405, "Method not allowed", [("Allow", "POST")])
        if not content_length:
            raise refuse(411, "Content-Length required")
        content_length = content_length.strip()
        if not _LENGTH.match(content_length):
            raise refuse(400, "Invalid Content-Length")
        return content_length

    def _present(self, values: List[Optional[str]]) -> str:
        """The present values joined; refuses a call without one of the four every call carries."""
        for name, value in zip(REQUIRED, values):
            if value is None:
                vqspecapisdk.spec_log_error("call refused before its body: Invalid header, no", name)
                raise refuse(400, "Invalid header")
        return "".join([v for v in values if v is not None])

    def _screen(self, values: List[Optional[str]], joined: bool) -> List[Optional[str]]:
        """Refuse a control (or other non-printable) character; the last of joined values."""
        if joined:
            values = [last_value(v) if v is not None and "," in v else v for v in values]
        for name, value in zip(KNOWN, values):
            if value is not None and not value.isprintable():
                vqspecapisdk.spec_log_error("call refused before its body: control character in", name)
                raise refuse(400, "Control character in header")
        return values

    def note_multiprocess(self) -> None:
        """Log once that the in-process store serves one of several processes."""
        if self.watch_processes:
            self.watch_processes = False
            vqspecapisdk.spec_log_error(
                "replay check: the in-process store serves one of several worker processes; a call "
                "replayed to another worker is accepted there (use RedisReplayStore)")

    def decode(self, headers: HeaderList, body: bytes) -> vqspecapisdk.VQToSpecHTTPReqDecoder:
        """The decoded, authenticated call; raises Refused."""
        try:
            text = body.decode()  # UTF-8, the default: cheaper to ask for by default
        except UnicodeDecodeError:
            raise refuse(400, "Body is not UTF-8")
        try:
            # The decoder checks the headers, the secret version, the time in
            # the queue and the signature, and decrypts, all in its constructor.
            req = vqspecapisdk.VQToSpecHTTPReqDecoder(headers, text)
        except vqspecapisdk.VQToSpecRetryNotifyException as err:
            # Checked before Exception, from which it derives: another secret
            # version ("1") or too long in the queue ("2"); the platform sends
            # the call again.
            rsp = vqspecapisdk.VQToSpecHTTPRspConstructor("")
            raise Refused(signed(rsp.get_retry_notify_header(err.GetStatus()), rsp.get_encoded_body()))
        except ValueError as err:
            # Base64, decryption, UTF-8 or JSON: not a call of the platform.
            raise refuse(400, _first_line(str(err)))
        except Exception as err:
            if type(err) is Exception and err.args in _DECODER_REFUSALS:
                raise refuse(400, err.args[0])  # the decoder logged why
            # A fault on this side (the secret file, say): nothing of it for the caller.
            vqspecapisdk.spec_log_error_with_req_id(dict(headers).get("vq-req-id", ""), "call not decoded:",
                                                    type(err).__name__, str(err))
            raise Refused(plain(500, ""))
        if self.guard is not None:
            self.guard.check(req)
        return req

    def answer(self, req: vqspecapisdk.VQToSpecHTTPReqDecoder, data: object,
               error: Optional[BaseException]) -> Answer:
        """The signed answer to an accepted call: the handler's text, or the internal-error body."""
        headers, body = self.signed_parts(req, data, error)
        return _new_tuple(Answer, (200, headers, body, "200 OK"))  # ok(...) written out: one call less

    def signed_parts(self, req: vqspecapisdk.VQToSpecHTTPReqDecoder, data: object,
               error: Optional[BaseException]) -> Tuple[HeaderList, bytes]:
        """The header list and body of answer(req, data, error) (status 200).

        The adapters' hot path takes these, not the Answer: making the tuple
        costs more than the rest of it.
        """
        if error is None and type(data) is str:
            text = data
        elif error is None and isinstance(data, str):
            text = str(data)
        else:
            if error is None:
                error = TypeError("the handler returned %s, not the answer's text" % type(data).__name__)
            reason = str(error)
            vqspecapisdk.spec_log_error_with_req_id(req.get_req_id(), "call failed:", reason)
            text = vqspecapisdk.spec_make_internal_error_rsp_data(reason)
        rsp = vqspecapisdk.VQToSpecHTTPRspConstructor(text)
        header_set = rsp.get_normal_header()
        if self.guard is not None:
            # The answer is signed like a call: posted back to this program, it is refused.
            self.guard._keep(header_set["vq-nonce"], header_set["vq-timestamp"], header_set["vq-signature"], None,
                             req)
        # The body is Base64 (ASCII): its default (UTF-8) encoding is its ASCII one.
        return [*header_set.items()], rsp.get_encoded_body().encode()

    def run(self, headers: HeaderList, body: bytes) -> Answer:
        """Decode, hand to the (plain) handler, answer; raises Refused."""
        req = self.decode(headers, body)
        try:
            data = self.handler(req)
        except Exception as err:
            return self.answer(req, None, err)
        return self.answer(req, data, None)


def _first_line(text: str) -> str:
    line = text.strip().split("\n", 1)[0]
    return (line[:200] if line else "Refused")
