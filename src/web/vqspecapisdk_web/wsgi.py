"""The platform's calls as a WSGI application (PEP 3333); CPython 3.6 and later."""
import time
from typing import Any, Callable, Dict, Iterable, List

from vqspecapisdk_web.answers import HeaderList, Refused, refuse
from vqspecapisdk_web.pipeline import KNOWN, Handler, Pipeline, last_value

StartResponse = Callable[..., Any]
WSGIApp = Callable[[Dict[str, Any], StartResponse], Iterable[bytes]]
# (header name, environ key) of the decoder's seven headers.
_ENVIRON_KEYS = tuple((name, "HTTP_" + name.upper().replace("-", "_")) for name in KNOWN)


def wsgi_headers(environ: Dict[str, Any]) -> HeaderList:
    """The decoder's headers in a WSGI environ, as its header list.

    HTTP_VQ_SECRET_VER becomes "vq-secret-ver"; a repeated header, which the
    server joined with commas, keeps its last value.  Other headers are left
    out: the decoder reads only these seven.
    """
    get = environ.get
    headers = []  # type: HeaderList
    for name, key in _ENVIRON_KEYS:
        value = get(key)
        if value is not None and isinstance(value, str):
            headers.append((name, last_value(value) if "," in value else value))
    return headers


def read_body(stream: Any, length: int, deadline: float) -> bytes:
    """Exactly `length` bytes of the request body; refuses a body cut short or late.

    The deadline (time.monotonic) is checked between reads; a server that lets
    one read wait longer has its own time-out for it.
    """
    chunks = []  # type: List[bytes]
    left = length
    try:
        while left > 0:
            chunk = stream.read(min(left, 65536))
            if not chunk:
                raise refuse(400, "Incomplete body")
            chunks.append(chunk)
            left -= len(chunk)
            if left and time.monotonic() > deadline:
                raise refuse(408, "Body not received in time")
    except (OSError, ValueError):
        raise refuse(400, "Incomplete body")
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


def make_wsgi_app(handler: Handler, *args: Any, **kwargs: Any) -> WSGIApp:
    """A WSGI application that answers the platform's calls with `handler`.

    handler(req) gets the decoded call (a VQToSpecHTTPReqDecoder) and returns
    the answer's plaintext (JSON text); what it raises is answered with the
    signed internal-error body.  The other arguments are the settings
    (vqspecapisdk_web.Settings): path, max_body, replay, max_age,
    body_timeout, skew.
    """
    pipeline = Pipeline(handler, *args, **kwargs)
    body_timeout = pipeline.body_timeout

    def app(environ: Dict[str, Any], start_response: StartResponse) -> Iterable[bytes]:
        try:
            headers = wsgi_headers(environ)
            length = pipeline.admit(environ.get("REQUEST_METHOD", ""), environ.get("PATH_INFO") or "/",
                                    environ.get("CONTENT_LENGTH"), headers)
            if pipeline.watch_processes and environ.get("wsgi.multiprocess"):
                pipeline.note_multiprocess()
            body = read_body(environ["wsgi.input"], length, time.monotonic() + body_timeout)
            answer = pipeline.run(headers, body)
        except Refused as refused:
            answer = refused.answer
        start_response(answer.status, answer.headers)
        return [answer.body]

    return app
