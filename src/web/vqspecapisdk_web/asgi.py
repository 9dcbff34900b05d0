"""The platform's calls as an ASGI application (ASGI 3, CPython 3.8 and later)."""
import asyncio
import functools
import inspect
from typing import Any, Awaitable, Callable, Dict, List, Optional, Tuple, Union

import vqspecapisdk

from vqspecapisdk_web.answers import Answer, HeaderList, Refused, refuse
from vqspecapisdk_web.pipeline import KNOWN, Handler, Pipeline

Scope = Dict[str, Any]
Message = Dict[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]
AsyncHandler = Callable[[vqspecapisdk.VQToSpecHTTPReqDecoder], Awaitable[str]]
AnyHandler = Union[Handler, AsyncHandler]
# An `async def` handler works on the loop itself when the body is at most this
# long (the SDK's work on it takes well under a millisecond); a longer one is
# decoded and answered in the thread pool.
INLINE_BODY = 64 * 1024
_INDEX = dict((name.encode("latin-1"), i) for i, name in enumerate(KNOWN))
_timeout = getattr(asyncio, "timeout", None)  # 3.11+


def header_values(raw: Any) -> Tuple[List[Optional[str]], Optional[str]]:
    """The values of the decoder's seven headers in an ASGI header list, in the order of KNOWN, and Content-Length.

    None: absent; of a repeated header the last one counts, as in the decoder.
    """
    values = [None] * len(KNOWN)  # type: List[Optional[str]]
    length = None
    for k, v in raw:
        i = _INDEX.get(k)
        if i is None and k[:1] in (b"v", b"V"):
            i = _INDEX.get(bytes(k).lower())
        if i is not None:
            values[i] = bytes(v).decode("latin-1")
        elif k == b"content-length":
            length = bytes(v).decode("latin-1")
    return values, length


def is_async_callable(obj: Any) -> bool:
    """True for an `async def` function, a partial of one, or an object whose __call__ is one."""
    while isinstance(obj, functools.partial):
        obj = obj.func
    return inspect.iscoroutinefunction(obj) or (
        callable(obj) and inspect.iscoroutinefunction(getattr(obj, "__call__", None)))


async def _collect(receive: Receive, length: int) -> Optional[bytes]:
    chunks = []  # type: List[bytes]
    got = 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        chunk = message.get("body", b"")
        got += len(chunk)
        if got > length:
            raise refuse(400, "Incomplete body")
        chunks.append(chunk)
        if not message.get("more_body", False):
            if got != length:
                raise refuse(400, "Incomplete body")
            return chunks[0] if len(chunks) == 1 else b"".join(chunks)


async def receive_body(receive: Receive, length: int, timeout: float) -> Optional[bytes]:
    """The request body, or None when the client left; refuses a body cut short or late."""
    try:
        if _timeout is not None:
            async with _timeout(timeout):
                return await _collect(receive, length)
        return await asyncio.wait_for(_collect(receive, length), timeout)
    except asyncio.TimeoutError:
        raise refuse(408, "Body not received in time")


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


async def _websocket(receive: Receive, send: Send) -> None:
    """Not served: the handshake is declined (the server answers it with 403)."""
    message = await receive()
    if message["type"] == "websocket.connect":
        await send({"type": "websocket.close", "code": 1008})


def make_asgi_app(handler: AnyHandler, *args: Any, **kwargs: Any) -> ASGIApp:
    """An ASGI application that answers the platform's calls with `handler`.

    The settings are those of make_wsgi_app.  A plain handler runs in the
    event loop's thread pool, with the decoding and the answer's encryption.
    An `async def` handler (or a functools.partial of one) is awaited on the
    loop; for a body up to INLINE_BODY bytes the decoding and the answer run
    on the loop too, a longer one is decoded and answered in the thread pool.
    """
    pipeline = Pipeline(handler, *args, **kwargs)
    awaited = is_async_callable(handler)
    body_timeout = pipeline.body_timeout

    async def answer_async(headers: HeaderList, body: bytes) -> Answer:
        if len(body) <= INLINE_BODY:
            req = pipeline.decode(headers, body)
            try:
                data = await handler(req)  # type: ignore[misc]
            except Exception as err:
                return pipeline.answer(req, None, err)
            return pipeline.answer(req, data, None)
        loop = asyncio.get_running_loop()
        req = await loop.run_in_executor(None, pipeline.decode, headers, body)
        try:
            data = await handler(req)  # type: ignore[misc]
        except Exception as err:
            return await loop.run_in_executor(None, pipeline.answer, req, None, err)
        return await loop.run_in_executor(None, pipeline.answer, req, data, None)

    async def app(scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind != "http":
            if kind == "lifespan":
                await _lifespan(receive, send)
                return
            if kind == "websocket":
                await _websocket(receive, send)
                return
            raise ValueError("only HTTP is served, not %r" % kind)
        values, length = header_values(scope.get("headers", ()))
        try:
            n, headers = pipeline.admit(scope.get("method", ""), scope.get("path", ""), length, values)
            body = await receive_body(receive, n, body_timeout)
            if body is None:
                return  # the client left: nothing is sent after http.disconnect
            if awaited:
                answer = await answer_async(headers, body)
            else:
                answer = await asyncio.get_running_loop().run_in_executor(None, pipeline.run, headers, body)
        except Refused as refused:
            answer = refused.answer
        await _send(send, answer)

    return app
