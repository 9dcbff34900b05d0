"""Serving the platform's calls into a provider program: WSGI and ASGI apps.

    from vqspecapisdk_web import make_wsgi_app

    def handle(req):                      # a VQToSpecHTTPReqDecoder
        return json.dumps({"errcode": 0, "errmsg": "ok"})

    app = make_wsgi_app(handle)           # gunicorn -w 2 module:app
    app = make_asgi_app(handle)           # uvicorn --workers 2 module:app (CPython 3.8+)

Replay protection: make_wsgi_app(handle, replay=True) keeps the seen calls in
the process; replay=RedisReplayStore("redis://...") shares them between the
program's instances.  The settings after the handler (path, max_body,
replay, max_age, body_timeout, skew) are those of Settings.
"""
import sys
from typing import Any

from vqspecapisdk_web.answers import Answer, Refused
from vqspecapisdk_web.pipeline import DEFAULT_BODY_TIMEOUT, DEFAULT_MAX_AGE, DEFAULT_MAX_BODY, Pipeline, Settings
from vqspecapisdk_web.replay import (
    DEFAULT_SKEW, MemoryReplayStore, RedisReplayStore, ReplayGuard, ReplayStore, ReplayStoreError, header_value)
from vqspecapisdk_web.server import ThreadingWSGIServer, make_server
from vqspecapisdk_web.wsgi import make_wsgi_app

__all__ = [
    "make_wsgi_app", "make_asgi_app", "make_server", "ThreadingWSGIServer",
    "ReplayStore", "MemoryReplayStore", "RedisReplayStore", "ReplayStoreError", "ReplayGuard",
    "Answer", "Refused", "Pipeline", "Settings", "header_value",
    "DEFAULT_MAX_AGE", "DEFAULT_MAX_BODY", "DEFAULT_BODY_TIMEOUT", "DEFAULT_SKEW",
]


if sys.version_info >= (3, 8):
    from vqspecapisdk_web.asgi import make_asgi_app
else:
    def make_asgi_app(*args: Any, **kwargs: Any) -> Any:
        """The ASGI app needs CPython 3.8 or later."""
        raise RuntimeError("the ASGI app needs CPython 3.8 or later")
