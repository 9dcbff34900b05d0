"""The platform's calls as an ASGI application (ASGI 3, CPython 3.8 and later)."""
import asyncio
import inspect
from typing import Any, Awaitable, Callable, Dict, List, Optional

import vqspecapisdk

from vqspecapisdk_web.pipeline import (
    DEFAULT_MAX_AGE, DEFAULT_MAX_BODY, Answer, HeaderList, Pipeline, ReplayArg, plain)

Scope = Dict[str, Any]
Message = Dict[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]
AnyHandler = Callable[[vqspecapisdk.VQToSpecHTTPReqDecoder], Any]


def asgi_headers(scope: Scope) -> HeaderList:
    """Every header of an ASGI scope as (name, value) text, in order, duplicates kept."""
    return [(bytes(k).decode("latin-1"), bytes(v).decode("latin-1")) for k, v in scope.get("headers", ())]


def platform_headers(headers: HeaderList) -> HeaderList:
    """The platform's "vq-" headers, as the decoder's header list (the last of a name counts).

    Other headers are left out: the decoder looks only at "vq-" names, and
    writes the list it was given into its "Invalid header" line.
    """
    return [(n, v) for n, v in headers if n[:3].lower() == "vq-"]


def _is_async(handler: Callable[..., Any]) -> bool:
    return inspect.iscoroutinefunction(handler) or inspect.iscoroutinefunction(
        getattr(handler, "__call__", None))


async def _receive_body(receive: Receive, length: int) -> Optional[bytes]:
    """The request body, or None when the client left or sent a different length."""
    chunks: List[bytes] = []
    got = 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        chunk = message.get("body", b"")
        got += len(chunk)
        if got > length:
            return None
        chunks.append(chunk)
        if not message.get("more_body", False):
            return b"".join(chunks) if got == length else None


async def _send(send: Send, answer: Answer) -> None:
    await send({"type": "http.response.start", "status": answer.code,
                "headers": [(n.encode("latin-1"), v.encode("latin-1")) for n, v in answer.headers]})
    await send({"type": "http.response.body", "body": answer.body})


async def _lifespan(receive: Receive, send: Send) -> None:
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return


def make_asgi_app(handler: AnyHandler, path: str = "/", max_body: int = DEFAULT_MAX_BODY,
                  replay: ReplayArg = None, max_age: float = DEFAULT_MAX_AGE) -> ASGIApp:
    """An ASGI application that answers the platform's calls with `handler`.

    The arguments are those of make_wsgi_app.  A plain handler runs in the
    event loop's thread pool; an `async def` handler is awaited on the loop.
    Decoding, the replay check and the encryption of the answer run in the
    thread pool either way, so the loop never waits for them.
    """
    pipeline = Pipeline(handler, path, max_body, replay, max_age)
    awaited = _is_async(handler)

    async def app(scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind == "lifespan":
            await _lifespan(receive, send)
            return
        if kind != "http":
            raise ValueError("only HTTP is served, not %r" % kind)
        every = asgi_headers(scope)
        length = None
        for name, value in every:
            if name.lower() == "content-length":
                length = value
        headers = platform_headers(every)
        admitted = pipeline.admit(scope.get("method", ""), scope.get("path", ""), length)
        if isinstance(admitted, Answer):
            await _send(send, admitted)
            return
        body = await _receive_body(receive, admitted)
        if body is None:
            await _send(send, plain(400, "Incomplete body"))
            return
        loop = asyncio.get_running_loop()
        if not awaited:
            answer = await loop.run_in_executor(None, pipeline.run, headers, body)
        else:
            req = await loop.run_in_executor(None, pipeline.decode, headers, body)
            if isinstance(req, Answer):
                answer = req
            else:
                try:
                    data = await handler(req)
                except Exception as err:
                    answer = await loop.run_in_executor(None, pipeline.answer, req, None, err)
                else:
                    answer = await loop.run_in_executor(None, pipeline.answer, req, data, None)
        await _send(send, answer)

    return app
