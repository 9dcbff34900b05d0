"""The SDK's log lines as records of the standard `logging` module.

    import logging
    import vqspecapisdk_logging

    logging.basicConfig(level=logging.INFO)
    vqspecapisdk_logging.install()        # every line goes to the logger "vqspecapisdk"
    ...
    vqspecapisdk_logging.uninstall()      # and to sys.stdout again

install() replaces the module's `spec_log`, which the six convenience
writers and the SDK's own lines (begin/end, refusals, the secret load) call
once it is not the module's own, with the level's LOG_LEVEL_* value, the
request id ("" when there is none) and the arguments.  Each line becomes one
record:

- levelno: "INFO", "ERR" and "DBG" are logging.INFO, ERROR and DEBUG
  (`levels` adds or overrides texts; another text is INFO, or the logging
  level of that name);
- msg: the line's free text as the stdout line has it (arguments joined by
  spaces, line feeds as spaces, cut at LOG_FIELD_CUSTOM_MAX_SIZE), with the
  secrets masked as the SDK masks them there;
- pathname, filename, lineno, funcName: the caller's place, found as the
  stdout line finds it (the innermost frame whose function name does not
  begin with "sdk_log");
- req_id: the request id's text ("" for none), sdk_level: the level's text.

The process, thread and time are logging's own record fields.  A line whose
level the logger does not enable costs a dictionary look-up and
isEnabledFor(); its arguments are not converted.
"""
import contextlib
import logging
import sys
import threading
from typing import Any, Callable, Dict, Iterator, Mapping, Optional, Union

import vqspecapisdk

__all__ = ["install", "uninstall", "installed", "bridged", "DEFAULT_LOGGER_NAME", "LEVELS"]

DEFAULT_LOGGER_NAME = "vqspecapisdk"
# The SDK's level texts (its LOG_LEVEL_* constants) and their logging levels.
LEVELS = {"INFO": logging.INFO, "DBG": logging.DEBUG, "ERR": logging.ERROR}  # type: Dict[str, int]

Writer = Callable[..., None]
LoggerArg = Union[logging.Logger, str, None]

_MISSING = object()


class _Route(object):
    """The installed writer, what it replaced and where it sends the lines."""

    def __init__(self, writer: Writer, previous: object, logger: logging.Logger) -> None:
        self.writer = writer
        self.previous = previous
        self.logger = logger


_lock = threading.Lock()
_route = None  # type: Optional[_Route]


def _fold(text: str) -> str:
    """A field's text with line breaks as spaces, as the stdout line writes it."""
    if "\n" in text or "\r" in text:
        return text.replace("\n", " ").replace("\r", " ")
    return text


def _level_of(log_level: Any, levels: Mapping[str, int]) -> int:
    """The logging level of a level text the table does not know."""
    text = str(log_level)
    if text in levels:
        return levels[text]
    for name, level in (("LOG_LEVEL_ERROR", logging.ERROR), ("LOG_LEVEL_DEBUG", logging.DEBUG),
                        ("LOG_LEVEL_INFO", logging.INFO)):
        if text == str(getattr(vqspecapisdk, name, None)):  # a constant the program reassigned
            return level
    named = logging.getLevelName(text)
    return named if isinstance(named, int) else logging.INFO


def _make_writer(logger: logging.Logger, levels: Mapping[str, int]) -> Writer:
    sdk = vqspecapisdk
    getframe = sys._getframe
    enabled = logger.isEnabledFor
    make_record = logger.makeRecord
    handle = logger.handle
    name = logger.name

    def spec_log(log_level: Any, req_id: Any, *args: Any) -> None:
        try:
            level = levels[log_level]
        except (KeyError, TypeError):
            level = _level_of(log_level, levels)
        if not enabled(level):
            return None
        # Called by the SDK's native writers, which add no frame: the first
        # frame out is the program's call site.
        try:
            f = getframe(1)
        except ValueError:  # called from native code with no Python frame
            f = None
        while f is not None and f.f_code.co_name.startswith("sdk_log"):
            f = f.f_back
        if f is None:
            path, line, func = "", 0, None  # type: str, int, Optional[str]
        else:
            code = f.f_code
            path, line, func = code.co_filename, f.f_lineno, code.co_name
        rid = req_id if type(req_id) is str else str(req_id)
        if "\n" in rid or "\r" in rid:
            rid = _fold(rid)
        # The free text as the stdout line joins it; arguments after the cut
        # are not converted.
        bound = sdk.LOG_FIELD_CUSTOM_MAX_SIZE
        text = ""
        first = True
        for arg in args:
            piece = arg if type(arg) is str else str(arg)
            if "\n" in piece:
                piece = piece.replace("\n", " ")
            text = piece if first else text + " " + piece
            first = False
            if len(text) >= bound:
                text = text[:bound]
                break
        record = make_record(name, level, path, line, text, (), None, func)
        fields = record.__dict__
        fields["req_id"] = rid
        lvl = log_level if type(log_level) is str else str(log_level)
        fields["sdk_level"] = _fold(lvl) if "\n" in lvl or "\r" in lvl else lvl
        handle(record)
        return None

    return spec_log


def _logger(logger: LoggerArg) -> logging.Logger:
    if isinstance(logger, logging.Logger):
        return logger
    return logging.getLogger(logger or DEFAULT_LOGGER_NAME)


def install(logger: LoggerArg = None, levels: Optional[Mapping[str, int]] = None) -> logging.Logger:
    """Send every SDK line to `logger` (a Logger or a name; default "vqspecapisdk").

    Installing again changes the logger; uninstall() still restores what
    was in place before the first install().  Returns the logger.
    """
    global _route
    target = _logger(logger)
    table = dict(LEVELS)
    table.update(levels or {})
    writer = _make_writer(target, table)
    with _lock:
        previous = _route.previous if _route is not None else vars(vqspecapisdk).get("spec_log", _MISSING)
        vqspecapisdk.spec_log = writer
        _route = _Route(writer, previous, target)
    return target


def uninstall() -> None:
    """Put back the `spec_log` that install() replaced: the lines go to sys.stdout again.

    A writer that the program put in place after install() is left alone.
    """
    global _route
    with _lock:
        route, _route = _route, None
        if route is None or vars(vqspecapisdk).get("spec_log") is not route.writer:
            return
        if route.previous is _MISSING:
            del vqspecapisdk.spec_log
        else:
            setattr(vqspecapisdk, "spec_log", route.previous)


def installed() -> Optional[logging.Logger]:
    """The logger the lines go to, or None while they go to sys.stdout."""
    route = _route
    if route is None or vars(vqspecapisdk).get("spec_log") is not route.writer:
        return None
    return route.logger


@contextlib.contextmanager
def bridged(logger: LoggerArg = None, levels: Optional[Mapping[str, int]] = None) -> Iterator[logging.Logger]:
    """install() for the duration of a with block."""
    target = install(logger, levels)
    try:
        yield target
    finally:
        uninstall()
