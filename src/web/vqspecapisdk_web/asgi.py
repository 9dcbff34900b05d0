"""The platform's calls as an ASGI application (ASGI 3, CPython 3.8 and later)."""
import asyncio
import functools
import inspect
from typing import Any, Awaitable, Callable, Dict, List, Optional, Set, Tuple, Union

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


class BodyDeadlines(object):
    """The body deadlines of one app's requests, checked by one timer on the loop.

    A timer per request (asyncio.timeout) costs more than the rest of the ASGI
    layer; one sweep every quarter of the time-out (at most every second)
    serves every request waiting for its body.  A request past its deadline has
    its task cancelled, which receive_body turns into the 408 answer.
    """

    def __init__(self, timeout: float) -> None:
        self.timeout = timeout
        self.every = min(1.0, timeout / 4)
        self.waiting = {}  # type: Dict[Any, float]
        self.expired = set()  # type: Set[Any]
        self.loop = None  # type: Any
        self.handle = None  # type: Any

    def start(self, loop: Any, task: Any) -> None:
        self.waiting[task] = loop.time() + self.timeout
        if self.handle is None or self.loop is not loop:
            self.loop = loop
            self.handle = loop.call_later(self.every, self.sweep)

    def sweep(self) -> None:
        loop = self.loop
        now = loop.time()
        for task, deadline in list(self.waiting.items()):
            if deadline <= now:
                del self.waiting[task]
                self.expired.add(task)
                task.cancel()
        self.handle = loop.call_later(self.every, self.sweep) if self.waiting else None


async def receive_body(receive: Receive, length: int, deadlines: BodyDeadlines) -> Optional[bytes]:
    """The request body, or None when the client left; refuses a body cut short or late."""
    loop = asyncio.get_running_loop()
    task = asyncio.current_task(loop)
    if task is None:  # not run as a task: nothing to cancel, no deadline
        return await _collect(receive, length)
    deadlines.start(loop, task)
    try:
        return await _collect(receive, length)
    except asyncio.CancelledError:
        if task not in deadlines.expired:
            raise
        deadlines.expired.discard(task)
        uncancel = getattr(task, "uncancel", None)  # 3.11+: the cancellation is answered here
        if uncancel is not None:
            uncancel()
        raise refuse(408, "Body not received in time")
    finally:
        deadlines.waiting.pop(task, None)


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
    deadlines = BodyDeadlines(pipeline.body_timeout)

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
            body = await receive_body(receive, n, deadlines)
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
