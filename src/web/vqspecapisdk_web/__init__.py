"""Serving the platform's calls into a provider program: WSGI and ASGI apps.

    from vqspecapisdk_web import make_wsgi_app

    def handle(req):                      # a VQToSpecHTTPReqDecoder
        return json.dumps({"errcode": 0, "errmsg": "ok"})

    app = make_wsgi_app(handle)           # gunicorn -w 2 module:app
    app = make_asgi_app(handle)           # uvicorn --workers 2 module:app (CPython 3.8+)

Replay protection: make_wsgi_app(handle, replay=True) keeps the seen calls in
the process; replay=RedisReplayStore("redis://...") shares them between the
program's instances.
"""
import sys
from typing import Any

from vqspecapisdk_web.pipeline import DEFAULT_MAX_AGE, DEFAULT_MAX_BODY, Answer, Pipeline
from vqspecapisdk_web.replay import (
    MemoryReplayStore, RedisReplayStore, ReplayGuard, ReplayStore, ReplayStoreError)
from vqspecapisdk_web.server import ThreadingWSGIServer, make_server
from vqspecapisdk_web.wsgi import make_wsgi_app

__all__ = [
    "make_wsgi_app", "make_asgi_app", "make_server", "ThreadingWSGIServer",
    "ReplayStore", "MemoryReplayStore", "RedisReplayStore", "ReplayStoreError", "ReplayGuard",
    "Answer", "Pipeline", "DEFAULT_MAX_AGE", "DEFAULT_MAX_BODY",
]


if sys.version_info >= (3, 8):
    from vqspecapisdk_web.asgi import make_asgi_app
else:
    def make_asgi_app(*args: Any, **kwargs: Any) -> Any:
        """The ASGI app needs CPython 3.8 or later."""
        raise RuntimeError("the ASGI app needs CPython 3.8 or later")
