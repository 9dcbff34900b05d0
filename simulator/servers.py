"""A provider program served by a real web server, as a child process.

    prog = start_server("gunicorn", env, workers=2)   # ProgramProcess, .url set
    ...
    prog.stop()

Kinds: "wsgiref" (the example's own stand-alone server), "gunicorn" (WSGI)
and "uvicorn" (ASGI, CPython 3.8+).  The app is examples/provider_app.py's
`app` / `asgi_app` unless `target` and `app_dir` name another.  Every server
listens on 127.0.0.1 only.
"""
import importlib.util
import os
import socket
import sys
import time
from typing import Callable, Dict, List, Optional, Sequence

from simulator.caller import ProgramProcess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
KINDS = ("wsgiref", "gunicorn", "uvicorn")


def unavailable(kind: str) -> Optional[str]:
    """Why `kind` cannot run under this interpreter, or None."""
    if kind == "uvicorn" and sys.version_info < (3, 8):
        return "uvicorn needs CPython 3.8 or later"
    if kind in ("gunicorn", "uvicorn"):
        if importlib.util.find_spec(kind) is None:
            return "%s is not installed in this environment" % kind
    return None


def free_port() -> int:
    """A TCP port on 127.0.0.1 that is free just now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def server_argv(kind: str, port: int, workers: int = 1, target: Optional[str] = None,
                app_dir: str = EXAMPLES, quiet: bool = False, extra_args: Sequence[str] = ()) -> List[str]:
    """The command line of `kind` serving the app on 127.0.0.1:port (extra_args: the example's options)."""
    py = sys.executable
    if kind == "wsgiref":
        argv = [py, "-u", os.path.join(app_dir, "provider_app.py"), "--port", str(port)]
        return argv + (["--quiet"] if quiet else []) + list(extra_args)
    if kind == "gunicorn":
        return [py, "-m", "gunicorn", "--workers", str(workers), "--bind", "127.0.0.1:%d" % port,
                "--chdir", app_dir, "--graceful-timeout", "5", target or "provider_app:app"]
    if kind == "uvicorn":
        return [py, "-m", "uvicorn", "--workers", str(workers), "--host", "127.0.0.1", "--port", str(port),
                "--app-dir", app_dir, "--no-access-log", "--timeout-graceful-shutdown", "5",
                target or "provider_app:asgi_app"]
    raise ValueError("unknown server kind %r" % kind)


def wait_listening(port: int, alive: Callable[[], bool], timeout: float) -> None:
    """Return once 127.0.0.1:port accepts connections; raise if `alive()` turns false or time runs out."""
    end = time.time() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return
        except OSError:
            if not alive():
                raise RuntimeError("server exited before listening")
            if time.time() > end:
                raise RuntimeError("server not listening after %.0f s" % timeout)
            time.sleep(0.1)


def start_server(kind: str, env: Dict[str, str], workers: int = 1, target: Optional[str] = None,
                 app_dir: str = EXAMPLES, quiet: bool = False, extra_args: Sequence[str] = (),
                 timeout: float = 60.0) -> ProgramProcess:
    """Start `kind` serving the app with `env` and wait until it accepts connections."""
    port = free_port()
    full = dict(env)
    full["PYTHONUNBUFFERED"] = "1"
    prog = ProgramProcess(server_argv(kind, port, workers, target, app_dir, quiet, extra_args), env=full, cwd=ROOT)
    try:
        wait_listening(port, lambda: prog.returncode is None and prog._proc.poll() is None, timeout)
    except RuntimeError as err:
        prog.stop()
        raise RuntimeError("%s: %s" % (err, prog.stderr.strip()[-2000:]))
    prog.url = "http://127.0.0.1:%d/" % port
    return prog
