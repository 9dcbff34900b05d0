"""The platform's calls as a WSGI application (PEP 3333); CPython 3.6 and later."""
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

from vqspecapisdk_web.pipeline import (
    DEFAULT_MAX_AGE, DEFAULT_MAX_BODY, Answer, Handler, HeaderList, Pipeline, ReplayArg, last_value, plain)

StartResponse = Callable[..., Any]
WSGIApp = Callable[[Dict[str, Any], StartResponse], Iterable[bytes]]


def wsgi_headers(environ: Dict[str, Any]) -> HeaderList:
    """The platform's "vq-" headers of a WSGI environ, as the decoder's header list.

    HTTP_VQ_SECRET_VER becomes "vq-secret-ver"; a repeated header, which the
    server joined with commas, keeps its last value.  Other headers are left
    out: the decoder looks only at "vq-" names, and writes the list it was
    given into its "Invalid header" line.
    """
    headers = []  # type: HeaderList
    for key, value in environ.items():
        if key.startswith("HTTP_VQ_") and isinstance(value, str):
            headers.append((key[5:].lower().replace("_", "-"), last_value(value)))
    return headers


def read_body(stream: Any, length: int) -> Optional[bytes]:
    """Exactly `length` bytes of the request body, or None when the client stops sending."""
    chunks = []  # type: List[bytes]
    left = length
    try:
        while left > 0:
            chunk = stream.read(min(left, 65536))
            if not chunk:
                return None
            chunks.append(chunk)
            left -= len(chunk)
    except (OSError, ValueError):
        return None
    return b"".join(chunks)


def make_wsgi_app(handler: Handler, path: str = "/", max_body: int = DEFAULT_MAX_BODY,
                  replay: ReplayArg = None, max_age: float = DEFAULT_MAX_AGE) -> WSGIApp:
    """A WSGI application that answers the platform's calls with `handler`.

    handler(req) gets the decoded call (a VQToSpecHTTPReqDecoder) and returns
    the answer's plaintext (JSON text); what it raises is answered with the
    signed internal-error body.  path: where the platform's calls arrive
    (other paths: 404).  max_body: longest body accepted (413 unread).
    replay: None or False (off), True (an in-process MemoryReplayStore) or a
    ReplayStore such as RedisReplayStore; max_age: the replay window in
    seconds around the call's signed "vq-timestamp".
    """
    pipeline = Pipeline(handler, path, max_body, replay, max_age)

    def app(environ: Dict[str, Any], start_response: StartResponse) -> Iterable[bytes]:
        admitted = pipeline.admit(environ.get("REQUEST_METHOD", ""), environ.get("PATH_INFO") or "/",
                                  environ.get("CONTENT_LENGTH"))
        if isinstance(admitted, Answer):
            answer = admitted
        else:
            body = read_body(environ["wsgi.input"], admitted)
            answer = plain(400, "Incomplete body") if body is None else pipeline.run(wsgi_headers(environ), body)
        start_response(answer.status, answer.headers)
        return [answer.body]

    return app
