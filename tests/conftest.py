"""Shared fixtures: known-answer vectors, fresh interpreters, log parsing, the
argument-type error text, a frozen clock and a fresh SpecEnv holding a record."""
import hashlib
import json
import logging
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VECTORS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vectors")
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

with open(os.path.join(VECTORS, "log_line.json")) as _f:
    LOG_RE = re.compile(json.load(_f)["regex"])


# The argument-type error of every checked parameter.
TYPE_MSG = "Argument '%s' has incorrect type (expected %s, got %s)"


def derived(scope, label, size=32):
    """A test secret made from a label, so that no fixture file holds one."""
    return hashlib.sha256(("vq-%s-test:%s" % (scope, label)).encode("utf-8")).hexdigest()[:size]


def load_vectors(name):
    """The parsed known-answer file `name` (e.g. "signature.json")."""
    with open(os.path.join(VECTORS, name), encoding="utf-8") as f:
        return json.load(f)


class LogLine(object):
    """One parsed log line."""

    def __init__(self, m):
        (self.pid, self.tid, self.time, self.level, self.req_id, self.file,
         self.line, self.text) = m.groups()

    def __repr__(self):
        return "LogLine(%s,%s,%s:%s,%r)" % (self.level, self.req_id, self.file, self.line, self.text)


def parse_log(out):
    """Parse every line of captured stdout; every line must be a log line."""
    lines = []
    for raw in out.splitlines():
        m = LOG_RE.match(raw)
        assert m, "not a log line: %r" % raw
        lines.append(LogLine(m))
    return lines


def log_texts(out):
    """[(level, req_id, text)] of captured stdout."""
    return [(l.level, l.req_id, l.text) for l in parse_log(out)]


def run_python(code, env=None, timeout=120, cwd=None):
    """Run `code` in a fresh interpreter with this one's module path.

    Process-wide state (debug mode, the one-time secret load) stays out of
    the other tests' way this way.
    """
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join([p for p in [ROOT, os.environ.get("PYTHONPATH", "")] if p])
    full_env["PYTHONIOENCODING"] = "utf-8"
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=full_env, timeout=timeout, cwd=cwd or ROOT, universal_newlines=True)


@pytest.fixture
def sdk():
    import vqspecapisdk
    return vqspecapisdk


@pytest.fixture
def python_run():
    return run_python


@pytest.fixture
def frozen_clock(sdk, monkeypatch):
    """frozen_clock(seconds) freezes the module's time.time() at `seconds`."""
    def freeze(seconds):
        monkeypatch.setattr(sdk.time, "time", lambda: seconds)
    return freeze


@pytest.fixture
def clock(frozen_clock):
    """clock(now_ms) freezes time.time() half a millisecond after now_ms, so
    that the SDK's truncation to milliseconds is exact."""
    return lambda now_ms: frozen_clock((now_ms + 0.5) / 1000)


def install_env(sdk, monkeypatch, tmp_path, rec, mode, access_token):
    """A fresh SpecEnv holding `rec` (a simulator.wire.SecretRecord) becomes the
    module's spec_env: "normal" over a secret file, already loaded, or
    "debug" from the record's debug token."""
    if mode == "normal":
        path = tmp_path / "secret_key"
        path.write_bytes((rec.line() + "\n").encode("utf-8"))
        monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(path))
        env = sdk.SpecEnv()
        env.get_token()  # the one-time load, out of the way of the log checks
    else:
        monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "absent_secret_key"))
        env = sdk.SpecEnv()
        env.open_debug_mode(rec.debug_token(), access_token)
    monkeypatch.setattr(sdk, "spec_env", env)
    return env


def wheel_tags():
    """The Tag lines of the installed distribution's WHEEL file (none for a
    module that did not come from a wheel)."""
    import glob
    import vqspecapisdk
    here = os.path.dirname(os.path.realpath(vqspecapisdk.__file__))
    for info in glob.glob(os.path.join(here, "vqspecapisdk-*.dist-info", "WHEEL")):
        with open(info) as f:
            return [line.split(":", 1)[1].strip() for line in f if line.startswith("Tag:")]
    return []


class Records(logging.Handler):
    """A handler that keeps every record it is given."""

    def __init__(self):
        logging.Handler.__init__(self, logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)
