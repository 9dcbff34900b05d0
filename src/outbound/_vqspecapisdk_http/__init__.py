"""The vqspecapisdk module's private glue to its HTTP client. Not an API: the
module calls it, and nothing here is meant to be imported by programs.

`post` sends an outbound call through a `requests` session that the module
keeps for the calling thread, so that consecutive calls of a thread reuse a
connection instead of paying for a new TCP connection and TLS handshake each.
It calls the kept session's own `request` with the arguments `requests.post`
gives it, so the HTTP client's own steps (and a patched `Session.request`)
run. What a caller can observe stays as with a fresh session per call:

- the session trusts the environment as a fresh one does: proxies, NO_PROXY
  and the CA bundle are read again on every call; when what they give
  changes, the pooled connections are closed first, so that a changed CA
  bundle or client certificate applies to the connection as well;
- its cookie jar is emptied before every call: no cookie a server set reaches
  a later call (cookies set during one call's redirects still flow within
  that call, as in a fresh session);
- a connection idle for longer than IDLE_LIMIT_S is closed, not reused, well
  before common servers drop idle connections (gunicorn after 2 s, uvicorn
  and Apache after 5 s, nginx after 75 s); one the server closed earlier is
  noticed by the HTTP client's pool before reuse;
- a failed POST is never sent again (the adapter's default allows no retry:
  the client cannot tell a server that closed before reading the request
  from one that read it and closed without answering);
- a process never uses a session of the process it was forked from: the
  inherited one is dropped unused.

`ClientLogMask` is the `logging` filter that keeps the debug relay's access
token out of the HTTP client's log records; `mask_client_logs` puts it on the
client's loggers (those of the asyncio client too). The module adds
`mask_error` and `mask_logs`, through which the asyncio client masks its
errors and log records as the module's own posts are masked.
"""
import logging
import os
import threading
import time

import requests.sessions

IDLE_LIMIT_S = 1.0
CLIENT_LOGGERS = ("urllib3", "requests", "aiohttp", "asyncio")


class KeptSession(requests.sessions.Session):
    """A session that closes its pooled connections when the environment's
    settings for a call differ from the last call's."""

    def __init__(self):
        requests.sessions.Session.__init__(self)
        self.pid = os.getpid()
        self.last_use = time.monotonic()
        self.last_settings = None

    def merge_environment_settings(self, *args, **kwargs):
        settings = requests.sessions.Session.merge_environment_settings(self, *args, **kwargs)
        if self.last_settings is not None and settings != self.last_settings:
            self.close()
        self.last_settings = settings
        return settings


_threads = threading.local()


def post(url, kwargs):
    """`requests.post(url, **kwargs)` (headers, data, timeout) through the
    calling thread's kept session."""
    kept = getattr(_threads, "kept", None)
    if kept is None or kept.pid != os.getpid():
        kept = _threads.kept = KeptSession()
    elif time.monotonic() - kept.last_use > IDLE_LIMIT_S:
        kept.close()
    kept.cookies.clear()
    try:
        # What requests.post(url, data=..., **kwargs) asks of its session.
        return kept.request(method="post", url=url, json=None, **kwargs)
    finally:
        kept.last_use = time.monotonic()


class ClientLogMask(logging.Filter):
    """Masks the access token in the records of the HTTP client's loggers
    while a debug-mode call runs: `mask(text)` (the module's) gives the text
    with the token shown as "***", or None when no such call runs. A record
    that cannot be rendered then is dropped."""

    def __init__(self, mask):
        logging.Filter.__init__(self)
        self.mask = mask

    def filter(self, record):
        mask = self.mask
        if mask("") is None:
            return True
        try:
            text = record.getMessage()
            if record.exc_info and not record.exc_text:
                record.exc_text = logging.Formatter().formatException(record.exc_info)
        except Exception:
            return False
        masked = mask(text)
        if masked is not text:
            record.msg, record.args = masked, None
        if record.exc_text:
            record.exc_text, record.exc_info = mask(record.exc_text), None
        if record.stack_info:
            record.stack_info = mask(record.stack_info)
        return True


_install_lock = threading.Lock()
_seen_loggers = [-1]


def mask_client_logs(log_filter):
    """Put `log_filter` first among the filters of every logger of the HTTP
    client (new ones are found when the logging registry has grown)."""
    registry = logging.Logger.manager.loggerDict
    if len(registry) == _seen_loggers[0]:
        return
    with _install_lock:
        for name, logger in list(registry.items()):
            if name.split(".", 1)[0] in CLIENT_LOGGERS and isinstance(logger, logging.Logger) \
                    and log_filter not in logger.filters:
                logger.filters.insert(0, log_filter)
        _seen_loggers[0] = len(registry)
