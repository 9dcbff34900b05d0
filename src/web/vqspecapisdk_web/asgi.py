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
_LENGTH_AT = len(KNOWN)
_SLOTS = dict(_INDEX)  # and Content-Length, after the seven
_SLOTS[b"content-length"] = _LENGTH_AT


def header_values(raw: Any) -> Tuple[List[Optional[str]], Optional[str]]:
    """The values of the decoder's seven headers in an ASGI header list, in the order of KNOWN, and Content-Length.

    None: absent; of a repeated header the last one counts, as in the decoder.
    Names arrive lower-case from the servers; a vq- name that does not is
    looked up lower-cased.  Content-Length shares the one lookup (slot 7).
    """
    slots = [None] * (_LENGTH_AT + 1)  # type: List[Optional[str]]
    get = _SLOTS.get
    for k, v in raw:
        i = get(k)
        if i is None:
            if k[:1] not in (b"v", b"V"):
                continue
            i = _INDEX.get(bytes(k).lower())
            if i is None:
                continue
        try:
            slots[i] = v.decode("latin-1")
        except AttributeError:  # a buffer that is not bytes (memoryview)
            slots[i] = bytes(v).decode("latin-1")
    length = slots.pop()
    return slots, length


def is_async_callable(obj: Any) -> bool:
    """True for an `async def` function, a partial of one, or an object whose __call__ is one."""
    while isinstance(obj, functools.partial):
        obj = obj.func
    return inspect.iscoroutinefunction(obj) or (
        callable(obj) and inspect.iscoroutinefunction(getattr(obj, "__call__", None)))


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
    """The request body, or None when the client left; refuses a body cut short or late.

    One coroutine, the reading loop written out in it: each coroutine awaited
    per request costs about as much as the ASGI protocol itself.
    """
    loop = asyncio.get_running_loop()
    task = asyncio.current_task(loop)
    if task is not None:  # None: not run as a task, nothing to cancel, no deadline
        deadlines.start(loop, task)
    chunks = []  # type: List[bytes]
    got = 0
    try:
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                return None
            chunk = message.get("body", b"")  # type: bytes
            got += len(chunk)
            if got > length:
                raise refuse(400, "Incomplete body")
            if not message.get("more_body", False):
                if got != length:
                    raise refuse(400, "Incomplete body")
                if not chunks:
                    return chunk  # the whole body in one message
                chunks.append(chunk)
                return b"".join(chunks)
            chunks.append(chunk)
    except asyncio.CancelledError:
        if task is None or task not in deadlines.expired:
            raise
        deadlines.expired.discard(task)
        uncancel = getattr(task, "uncancel", None)  # 3.11+: the cancellation is answered here
        if uncancel is not None:
            uncancel()
        raise refuse(408, "Body not received in time")
    finally:
        if task is not None:
            deadlines.waiting.pop(task, None)


class _NameBytes(Dict[str, bytes]):
    """Answer header names as bytes, made once; a name not met before is encoded when asked for."""

    def __missing__(self, name: str) -> bytes:
        return name.encode("latin-1")


_NAME_BYTES = _NameBytes((name, name.encode("latin-1")) for name in KNOWN + ("Content-Type", "Content-Length"))


def start_message(code: int, headers: HeaderList) -> Message:
    """The http.response.start message of an answer.

    Names come encoded from _NAME_BYTES (a comprehension measured cheaper
    than map and zip).  Every answer header is ASCII (the SDK's Base64, hex
    and digits, and this layer's own constants), so a value's default
    encoding is its latin-1 one, and the cheapest to ask for.
    """
    names = _NAME_BYTES
    return {"type": "http.response.start", "status": code,
            "headers": [(names[n], v.encode()) for n, v in headers]}


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
    admit, decode, signed_parts, answer_of, run = (pipeline.admit, pipeline.decode, pipeline.signed_parts,
                                                   pipeline.answer, pipeline.run)

    async def answer_in_pool(headers: HeaderList, body: bytes) -> Answer:
        """An `async def` handler's call with a body longer than INLINE_BODY."""
        loop = asyncio.get_running_loop()
        req = await loop.run_in_executor(None, decode, headers, body)
        try:
            data = await handler(req)  # type: ignore[misc]
        except Exception as err:
            return await loop.run_in_executor(None, answer_of, req, None, err)
        return await loop.run_in_executor(None, answer_of, req, data, None)

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
        # The hot path is written out in this one coroutine (the `async def`
        # handler's decoding and answer, the two messages sent): a coroutine
        # per step would cost more than the rest of the layer.
        try:
            n, headers = admit(scope.get("method", ""), scope.get("path", ""), length, values)
            body = await receive_body(receive, n, deadlines)
            if body is None:
                return  # the client left: nothing is sent after http.disconnect
            if awaited and len(body) <= INLINE_BODY:
                req = decode(headers, body)
                try:
                    data = await handler(req)  # type: ignore[misc]
                except Exception as err:
                    response_headers, response_body = signed_parts(req, None, err)
                else:
                    response_headers, response_body = signed_parts(req, data, None)
                code = 200
            elif awaited:
                code, response_headers, response_body, _ = await answer_in_pool(headers, body)
            else:
                code, response_headers, response_body, _ = await asyncio.get_running_loop().run_in_executor(
                    None, run, headers, body)
        except Refused as refused:
            code, response_headers, response_body, _ = refused.answer  # unpacked: cheaper than the properties
        await send(start_message(code, response_headers))
        await send({"type": "http.response.body", "body": response_body})

    return app
