"""The example program's handler as an `async def`, for the ASGI app (uvicorn web_async_app:app)."""
import asyncio
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))

import provider_app  # noqa: E402  (opens debug mode from the environment)
from vqspecapisdk_web import make_asgi_app  # noqa: E402


async def handle(req):
    await asyncio.sleep(0)  # on the event loop: no blocking work here
    return provider_app.handle_call(req)


app = make_asgi_app(handle, replay=provider_app.REPLAY)
