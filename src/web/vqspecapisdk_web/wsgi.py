"""The platform's calls as a WSGI application (PEP 3333); CPython 3.6 and later."""
import time
from typing import Any, Callable, Dict, Iterable

from vqspecapisdk_web.answers import Refused, refuse
from vqspecapisdk_web.pipeline import Handler, Pipeline

StartResponse = Callable[..., Any]
WSGIApp = Callable[[Dict[str, Any], StartResponse], Iterable[bytes]]
def read_body(stream: Any, length: int, timeout: float) -> bytes:
    """Exactly `length` bytes of the request body; refuses a body cut short, or not in within `timeout` s.

    The time is checked between reads; a server that lets one read wait
    longer has its own time-out for it.
    """
    try:
        first = stream.read(length if length <= 65536 else 65536)  # type: bytes
    except (OSError, ValueError):
        raise refuse(400, "Incomplete body")
    if len(first) == length:
        return first  # the whole body in one read
    return _read_rest(stream, length, timeout, first)


def _read_rest(stream: Any, length: int, timeout: float, first: bytes) -> bytes:
    chunks = [first]
    left = length - len(first)
    deadline = time.monotonic() + timeout
    try:
        if not first:
            raise refuse(400, "Incomplete body")
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
    return b"".join(chunks)


def make_wsgi_app(handler: Handler, *args: Any, **kwargs: Any) -> WSGIApp:
    """A WSGI application that answers the platform's calls with `handler`.

    handler(req) gets the decoded call (a VQToSpecHTTPReqDecoder) and returns
    the answer's plaintext (JSON text); what it raises is answered with the
    signed internal-error body.  The other arguments are the settings
    (vqspecapisdk_web.Settings): path, max_body, replay, max_age,
    body_timeout, skew.
    """
    pipeline = Pipeline(handler, *args, **kwargs)
    admit, decode, signed_parts, body_timeout = (pipeline.admit, pipeline.decode, pipeline.signed_parts,
                                                  pipeline.body_timeout)

    def app(environ: Dict[str, Any], start_response: StartResponse) -> Iterable[bytes]:
        get = environ.get
        # Pipeline.run written out here, and the decoder's seven headers in
        # the order of KNOWN (environ names: HTTP_VQ_SECRET_VER for
        # "vq-secret-ver"): fewer calls per request.
        try:
            length, headers = admit(get("REQUEST_METHOD", ""), get("PATH_INFO") or "/", get("CONTENT_LENGTH"), [
                get("HTTP_VQ_SECRET_VER"), get("HTTP_VQ_SIGNATURE"), get("HTTP_VQ_NONCE"), get("HTTP_VQ_TIMESTAMP"),
                get("HTTP_VQ_TIMESTAMP_MS"), get("HTTP_VQ_REQ_ID"), get("HTTP_VQ_INQUEUE_TIMEOUT_MS")], True)
            if pipeline.watch_processes and get("wsgi.multiprocess"):
                pipeline.note_multiprocess()
            req = decode(headers, read_body(environ["wsgi.input"], length, body_timeout))
            try:
                data = handler(req)
            except Exception as err:
                response_headers, body = signed_parts(req, None, err)
            else:
                response_headers, body = signed_parts(req, data, None)
            status = "200 OK"
        except Refused as refused:
            _, response_headers, body, status = refused.answer  # unpacked: cheaper than the properties
        start_response(status, response_headers)
        return [body]

    return app
