"""A stand-alone threaded WSGI server on the standard library (wsgiref), with limits.

For a program that runs without gunicorn or uvicorn (a bare CPython 3.6):
every request must have sent its headers and its body within
`connection_timeout` seconds of its connection being taken (the time-out
counts for the request as a whole, not for each read, so a client that
drips one byte at a time loses its slot too), at most `max_connections` are
served at once (the others wait in the listen backlog), and the server's
own lines are SDK log lines, with control characters of the request escaped.
In production it belongs behind a buffering reverse proxy.
"""
import io
import re
import socket
import threading
import time
from socketserver import ThreadingMixIn
from typing import Any, Callable, Optional, Tuple
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer

import vqspecapisdk

_UNSAFE = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029\\]")


def _escape(match: "re.Match[str]") -> str:
    code = ord(match.group())
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code


def escaped(text: str) -> str:
    """`text` with control characters (and backslashes) written as escapes: one log line stays one line."""
    return _UNSAFE.sub(_escape, text)


class DeadlineReader(io.RawIOBase):
    """A connection's reading side that gives up at a fixed moment (time.monotonic), whatever arrives."""

    def __init__(self, sock: socket.socket, deadline: float, per_read: Optional[float]) -> None:
        io.RawIOBase.__init__(self)
        self.sock = sock
        self.deadline = deadline
        self.per_read = per_read

    def readable(self) -> bool:
        return True

    def readinto(self, buf: Any) -> int:
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout("request not received in time")
        self.sock.settimeout(left)
        try:
            return self.sock.recv_into(buf)
        finally:
            self.sock.settimeout(self.per_read)

DEFAULT_CONNECTION_TIMEOUT = 30.0
DEFAULT_MAX_CONNECTIONS = 64


class LimitedRequestHandler(WSGIRequestHandler):
    """wsgiref's handler with the request's deadline, the socket time-out and SDK log lines."""

    def setup(self) -> None:
        WSGIRequestHandler.setup(self)
        timeout = getattr(self.server, "connection_timeout", DEFAULT_CONNECTION_TIMEOUT)
        # Every write of this connection; and the headers and the body together
        # must be in by the deadline.
        self.connection.settimeout(timeout)
        if timeout is not None:
            self.rfile = io.BufferedReader(DeadlineReader(self.connection, time.monotonic() + timeout, timeout))

    def handle(self) -> None:
        try:
            WSGIRequestHandler.handle(self)
        except socket.timeout:
            self.log_error("request not received in time; connection closed")
        except ConnectionError as err:
            self.log_error("connection lost: %s", type(err).__name__)

    def log_message(self, format: str, *args: Any) -> None:
        if getattr(self.server, "log_requests", True):
            vqspecapisdk.spec_log_info("http", self.address_string(), escaped(format % args))

    def log_error(self, format: str, *args: Any) -> None:
        vqspecapisdk.spec_log_error("http", self.address_string(), escaped(format % args))


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
