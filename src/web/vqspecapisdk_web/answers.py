"""HTTP answers, and the one refusal type every check of the apps raises."""
from operator import itemgetter
from typing import Dict, Iterable, List, Tuple

HeaderList = List[Tuple[str, str]]

_REASONS = {
    200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed", 408: "Request Timeout",
    409: "Conflict", 411: "Length Required", 413: "Payload Too Large", 500: "Internal Server Error",
    503: "Service Unavailable",
}


_STATUS = dict((code, "%d %s" % (code, reason)) for code, reason in _REASONS.items())


class Answer(Tuple[int, HeaderList, bytes, str]):
    """An HTTP answer: status code, header list and body bytes; `status` is the WSGI status line.

    A tuple underneath, so that the answer to every call is made without a
    Python-level constructor (see ok()).
    """

    __slots__ = ()

    def __new__(cls, code: int, headers: HeaderList, body: bytes) -> "Answer":
        return tuple.__new__(cls, (code, headers, body, _STATUS.get(code) or "%d " % code))

    code = property(itemgetter(0))
    headers = property(itemgetter(1))
    body = property(itemgetter(2))
    status = property(itemgetter(3))


def ok(headers: HeaderList, body: bytes) -> Answer:
    """Answer(200, headers, body), made at C speed."""
    return _new_tuple(Answer, (200, headers, body, "200 OK"))


_new_tuple = tuple.__new__


def plain(code: int, text: str, extra: Iterable[Tuple[str, str]] = ()) -> Answer:
    """A short plain-text answer (a refusal): nothing of the call is in it; no text, no body."""
    payload = (text + "\n").encode("utf-8") if text else b""
    headers = [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(payload)))]
    headers.extend(extra)
    return Answer(code, headers, payload)


def signed(header_set: Dict[str, str], body: str) -> Answer:
    """An SDK header set (in its order) over the SDK's body text."""
    return ok(list(header_set.items()), body.encode("ascii"))


class Refused(Exception):
    """The request ends here with `answer` (a refusal, or the retry notification).

    Every check of the apps raises it; each adapter catches it once and
    writes the answer.
    """

    def __init__(self, answer: Answer) -> None:
        Exception.__init__(self, answer.code)
        self.answer = answer


def refuse(code: int, text: str, extra: Iterable[Tuple[str, str]] = ()) -> Refused:
    """The Refused that answers `code` with `text`: raise refuse(409, "...")."""
    return Refused(plain(code, text, extra))
