"""A stand-alone threaded WSGI server on the standard library (wsgiref), with limits.

For a program that runs without gunicorn or uvicorn (a bare CPython 3.6):
every connection gets a socket time-out, at most `max_connections` are
served at once (the others wait in the listen backlog), and the server's
own lines are SDK log lines.
"""
import threading
from socketserver import ThreadingMixIn
from typing import Any, Callable, Optional, Tuple
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer

import vqspecapisdk

DEFAULT_CONNECTION_TIMEOUT = 30.0
DEFAULT_MAX_CONNECTIONS = 64


class LimitedRequestHandler(WSGIRequestHandler):
    """wsgiref's handler with the server's socket time-out and SDK log lines."""

    def setup(self) -> None:
        WSGIRequestHandler.setup(self)
        # Every read and write of this connection: a silent client is dropped.
        self.connection.settimeout(getattr(self.server, "connection_timeout", DEFAULT_CONNECTION_TIMEOUT))

    def log_message(self, format: str, *args: Any) -> None:
        if getattr(self.server, "log_requests", True):
            vqspecapisdk.spec_log_info("http", self.address_string(), format % args)

    def log_error(self, format: str, *args: Any) -> None:
        vqspecapisdk.spec_log_error("http", self.address_string(), format % args)


class ThreadingWSGIServer(ThreadingMixIn, WSGIServer):
    """One thread per connection, at most max_connections at a time."""

    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, address: Tuple[str, int], handler_class: Any = LimitedRequestHandler,
                 max_connections: int = DEFAULT_MAX_CONNECTIONS,
                 connection_timeout: Optional[float] = DEFAULT_CONNECTION_TIMEOUT,
                 log_requests: bool = True) -> None:
        if max_connections < 1:
            raise ValueError("max_connections must be at least 1")
        self.connection_timeout = connection_timeout
        self.log_requests = log_requests
        self._slots = threading.BoundedSemaphore(max_connections)
        WSGIServer.__init__(self, address, handler_class)

    def process_request(self, request: Any, client_address: Any) -> None:
        # Waits for a free slot before taking the next connection.
        self._slots.acquire()
        try:
            ThreadingMixIn.process_request(self, request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            ThreadingMixIn.process_request_thread(self, request, client_address)
        finally:
            self._slots.release()


def make_server(app: Callable[..., Any], host: str = "127.0.0.1", port: int = 8080,
                max_connections: int = DEFAULT_MAX_CONNECTIONS,
                connection_timeout: Optional[float] = DEFAULT_CONNECTION_TIMEOUT,
                log_requests: bool = True) -> ThreadingWSGIServer:
    """A ThreadingWSGIServer listening on (host, port) and serving `app`; call serve_forever()."""
    server = ThreadingWSGIServer((host, port), LimitedRequestHandler, max_connections,
                                 connection_timeout, log_requests)
    server.set_app(app)
    return server
