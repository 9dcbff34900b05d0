"""Hardening: canonical log lines, no line breaks outside the free text, a
log clock that no frozen time.time() can break, bounded digit conversion
before a call is authenticated, no secret in a failed load's error or in an
HTTP client error, default addresses that reach nobody, locks that a stdout
writer or a fork cannot leave held, the simulator's private secret file.
"""
import datetime
import os
import socket
import stat
import sys
import urllib.parse

import pytest
import requests

from conftest import log_texts, run_python
from simulator import wire

MAX = 32768
UTC8 = datetime.timezone(datetime.timedelta(hours=8))
REC = wire.SecretRecord("1", "hardening-token", wire.make_key_text("hardening"), "prog-h")


class Writes(object):
    """A stand-in for sys.stdout that keeps the str objects written."""

    def __init__(self):
        self.calls = []

    def write(self, s):
        self.calls.append(s)
        return len(s)


@pytest.fixture
def writes(monkeypatch):
    def install():
        out = Writes()
        monkeypatch.setattr(sys, "stdout", out)
        return out
    return install


@pytest.fixture
def env(sdk, monkeypatch, tmp_path, capsys):
    """A fresh SpecEnv in debug mode holding REC."""
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "absent"))
    e = sdk.SpecEnv()
    e.open_debug_mode(REC.debug_token(), "access")
    monkeypatch.setattr(sdk, "spec_env", e)
    capsys.readouterr()
    return e


def now_text():
    return datetime.datetime.now(UTC8).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]


# ---- log lines are canonical str ------------------------------------------------------------------

@pytest.mark.parametrize("args", [
    ("a" * MAX + "\u20ac",),              # ASCII kept, a 2-byte character cut off
    ("\xe9" * MAX + "\U0001f600",),       # Latin-1 kept, a 4-byte character cut off
    ("a" * (MAX - 2), "b\u20ac\u20ac"),   # the last argument cut to its ASCII start
    ("\u20ac" * (MAX - 2), "b\U0001f600"),
])
def test_cut_line_is_a_canonical_str(sdk, writes, args):
    out = writes()
    sdk.spec_log_info(*args)
    (line,) = out.calls
    copy = line.encode("utf-8").decode("utf-8")
    assert line == copy and hash(line) == hash(copy)


# ---- line breaks outside the free text --------------------------------------------------------------

def test_request_id_from_a_header_cannot_start_a_line(sdk, env, capsys):
    headers = [("vq-req-id", "r1\nINFO forged\r"), ("vq-secret-ver", "1"), ("vq-nonce", "1"),
               ("vq-timestamp", "x"), ("vq-signature", "s")]
    with pytest.raises(Exception):
        sdk.VQToSpecHTTPReqDecoder(headers, "")
    out = capsys.readouterr().out
    assert out.count("\n") == 2 and "\r" not in out
    assert [(level, rid) for level, rid, _ in log_texts(out)] == [("INFO", "r1 INFO forged "), ("ERR", "")]


# ---- the log clock ------------------------------------------------------------------------------------

@pytest.mark.parametrize("frozen", [float("nan"), 1e13, float("inf"), -1e300, "text"])
def test_frozen_module_clock_does_not_fail_a_log_line(sdk, writes, monkeypatch, frozen):
    monkeypatch.setattr(sdk.time, "time", lambda: frozen)
    out = writes()
    before = now_text()
    sdk.spec_log_info("x")
    after = now_text()
    (line,) = out.calls
    assert before <= line.split(",")[3] <= after


# ---- digit strings before authentication --------------------------------------------------------------

LIMIT = ("Exceeds the limit (4300 digits) for integer string conversion: value has %d digits; "
         "use sys.set_int_max_str_digits() to increase the limit")


@pytest.fixture(params=["default", "unlimited"])
def int_limit(request, monkeypatch):
    # Whatever the interpreter's own limit (where it has one).
    if request.param == "unlimited" and hasattr(sys, "set_int_max_str_digits"):
        old = sys.get_int_max_str_digits()
        sys.set_int_max_str_digits(0)
        yield
        sys.set_int_max_str_digits(old)
    else:
        yield


@pytest.mark.parametrize("header,digits,refused", [
    ("vq-timestamp", "9" * 4301, 4301),
    ("vq-timestamp", "1" * 65536, 65536),
    ("vq-timestamp", "\u0661" * 4301, 4301),   # digits of another script count as digits
    ("vq-timestamp-ms", "7" * 4301, 4301),
    ("vq-inqueue-timeout-ms", "5" * 100000, 100000),
    ("vq-timestamp-ms", "7" * 4300, None),     # up to the limit: exact arithmetic, then the signature check
    ("vq-inqueue-timeout-ms", "5" * 4300, None),
])
def test_long_digit_header(sdk, env, capsys, int_limit, header, digits, refused):
    headers = {"vq-secret-ver": "1", "vq-nonce": "1", "vq-timestamp": "1765147170", "vq-signature": "s"}
    headers[header] = digits
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(list(headers.items()), "")
    texts = [t for _, _, t in log_texts(capsys.readouterr().out)]
    if refused:
        assert type(ei.value) is ValueError and ei.value.args == (LIMIT % refused,)
        assert len(texts) == 1 and texts[0].startswith("VQToSpecHTTPReqDecoder init")
    else:
        assert ei.value.args == ("Invalid signature",)
        assert texts[1].startswith("inqchk ")


# ---- a secret file that is not text -------------------------------------------------------------------

@pytest.mark.parametrize("raw", [
    b"1,tok\xffen,key-text,prog\n",
    b"1,token,k\xc3\x28ey,prog\nsecond line\n",
    b"\xfe1,token,key,prog",
])
def test_undecodable_secret_file_error_carries_no_secret(sdk, monkeypatch, tmp_path, capsys, raw):
    path = tmp_path / "secret_key"
    path.write_bytes(raw)
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(path))
    env = sdk.SpecEnv()
    with pytest.raises(UnicodeDecodeError) as ei:
        env.get_token()
    e = ei.value
    kept = e.object[e.start:e.end]
    assert e.object == bytes(e.start) + kept and kept == raw[e.start:e.end]
    for secret in ("tok", "token", "key"):
        assert secret not in repr(e) and secret.encode() not in e.object and secret not in str(e.args)
    assert log_texts(capsys.readouterr().out) == [("ERR", "", "load secret_key exception: " + str(e))]


# ---- the access token in HTTP client errors -------------------------------------------------------------

def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def token_forms(token):
    return {token, requests.utils.requote_uri(token), urllib.parse.quote(token, safe="")}


@pytest.mark.parametrize("token", ["a|b c\"d{\u00e9}", "1", "tok#frag", "x&y=z", "plain-access-token"])
def test_http_client_error_masks_the_access_token(sdk, monkeypatch, tmp_path, capsys, token):
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "absent"))
    monkeypatch.setattr(sdk, "DEBUG_DOMAIN", "https://127.0.0.1:%d" % closed_port())
    env = sdk.SpecEnv()
    env.open_debug_mode(REC.debug_token(), token)
    monkeypatch.setattr(sdk, "spec_env", env)
    with pytest.raises(requests.exceptions.ConnectionError) as ei:
        sdk.ChatDataSDK("c", 1, "a", "j").echo("p")
    e = ei.value
    assert e.__cause__ is None and e.__context__ is None and e.__suppress_context__
    assert e.request.url.endswith("access_token=***") and e.response is None
    assert "host='127.0.0.1'" in str(e) and "access_token=***" in str(e)
    for text in (str(e), repr(e), repr(e.args), e.request.url):
        for form in token_forms(token) - {"1"}:
            assert form not in text
        assert "access_token=" + token[0] not in text


def test_plain_answer_log_masks_an_echoed_access_token(sdk, env, capsys):
    body = "relay: https://x/?access_token=access&k=1 token access"
    dec = sdk.SpecToVQHTTPRspDecoder(200, [], body)
    assert dec.get_data() == body
    assert log_texts(capsys.readouterr().out) == [
        ("ERR", "", "no encrypt headers, treat as plain relay: https://x/?access_token=***&k=1 token ***")]


# ---- default addresses ---------------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["DOMAIN", "DEBUG_DOMAIN", "DEBUG_TEST_DOMAIN"])
def test_default_addresses_cannot_reach_anyone(sdk, name):
    host = urllib.parse.urlsplit(getattr(sdk, name)).hostname
    assert host.endswith(".invalid")


# ---- locks: a stdout writer asking for a secret, a fork while a lock is held -------------------------

def test_stdout_writer_may_ask_for_a_secret_during_the_first_load(tmp_path):
    path = tmp_path / "secret_key"
    path.write_text(REC.line() + "\n")
    code = (
        "import sys, vqspecapisdk as m\n"
        "m.SECRET_KEY_FILE_PATH = %r\n"
        "class Asking(object):\n"
        "    lines, tokens = [], []\n"
        "    def write(self, s):\n"
        "        self.tokens.append(m.spec_env.get_token())\n"
        "        self.lines.append(s)\n"
        "out, sys.stdout = sys.stdout, Asking()\n"
        "m.spec_env.get_program_id()\n"
        "w, sys.stdout = sys.stdout, out\n"
        "print(w.tokens == [%r] and [l.split(',', 8)[-1] for l in w.lines])\n" % (str(path), REC.token))
    r = run_python(code, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "['parse secret 1 15 43 prog-h\\n']\n"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("held,first_call", [
    ("m.log_lock", "m.spec_log_info('child')"),
    ("m.spec_env.lock", "m.spec_env.get_token()"),
    ("m.log_lock", "m.spec_env.get_token()"),
])
def test_child_forked_while_another_thread_holds_a_lock(tmp_path, held, first_call):
    path = tmp_path / "secret_key"
    path.write_text(REC.line() + "\n")
    code = (
        "import os, threading, vqspecapisdk as m\n"
        "m.SECRET_KEY_FILE_PATH = %r\n"
        "taken, done = threading.Event(), threading.Event()\n"
        "def hold():\n"
        "    with %s:\n"
        "        taken.set()\n"
        "        done.wait()\n"
        "threading.Thread(target=hold, daemon=True).start()\n"
        "taken.wait()\n"
        "pid = os.fork()\n"
        "if pid == 0:\n"
        "    %s\n"
        "    os._exit(0 if m.spec_env.get_token() == %r else 3)\n"
        "status = os.waitpid(pid, 0)[1]\n"
        "done.set()\n"
        "print('child', status)\n" % (str(path), held, first_call, REC.token))
    r = run_python(code, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-1] == "child 0"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("call", ["m.spec_log_info('x')", "m.spec_env.get_token()"])
def test_children_forked_under_contention_get_fresh_locks(tmp_path, call):
    # Two threads take the lock over and over, through a stdout whose write
    # takes no lock of its own; a fork can come while one of them has taken
    # the lock but not yet marked it. Every child writes a line and reads a
    # secret under an alarm.
    path = tmp_path / "secret_key"
    path.write_text(REC.line() + "\n")
    code = (
        "import os, signal, sys, threading, time, vqspecapisdk as m\n"
        "m.SECRET_KEY_FILE_PATH = %r\n"
        "class Bare(object):\n"
        "    def write(self, s):\n"
        "        return len(s)\n"
        "    def flush(self):\n"
        "        pass\n"
        "sys.stdout, out = Bare(), sys.stdout\n"
        "def spin():\n"
        "    while True:\n"
        "        %s\n"
        "for _ in range(2):\n"
        "    threading.Thread(target=spin, daemon=True).start()\n"
        "time.sleep(0.05)\n"
        "hung = 0\n"
        "for _ in range(30):\n"
        "    pid = os.fork()\n"
        "    if pid == 0:\n"
        "        signal.alarm(3)\n"
        "        m.spec_log_info('child')\n"
        "        os._exit(0 if m.spec_env.get_token() == %r else 3)\n"
        "    hung += os.waitpid(pid, 0)[1] != 0\n"
        "out.write('hung %%d\\n' %% hung)\n" % (str(path), call, REC.token))
    r = run_python(code, timeout=200)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "hung 0\n"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's pthread_exit")
@pytest.mark.parametrize("setup,call", [
    ("sys.stdout = Ender()", "m.spec_log_info('x')"),
    ("m.requests = Ender()", "m.ChatDataSDK('corp', 1, 'ab', 'job').echo('hi')"),
])
def test_thread_ended_by_glibc_inside_a_call_vanishes(tmp_path, setup, call):
    # The interpreter ends a daemon thread that wakes up at exit with
    # pthread_exit, which unwinds the thread through whatever SDK call it is
    # in, without the GIL.  Here a callback the call makes ends its thread
    # that way (ctypes lets go of the GIL first): the thread must vanish and
    # the process go on, not run the call's cleanups without the GIL (or, in
    # the portable wheels, crash in the C++ runtime's unwinder).
    path = tmp_path / "secret_key"
    path.write_text(REC.line() + "\n")
    code = (
        "import ctypes, sys, threading, vqspecapisdk as m\n"
        "m.SECRET_KEY_FILE_PATH = %r\n"
        "libc = ctypes.CDLL(None)\n"
        "class Ender(object):\n"
        "    def write(self, *args, **kwargs):\n"
        "        libc.pthread_exit(None)\n"
        "    post = write\n"
        "out = sys.stdout\n"
        "def run():\n"
        "    %s\n"
        "    %s\n"
        "t = threading.Thread(target=run, daemon=True)\n"
        "t.start()\n"
        "t.join(2.0)\n"
        "sys.stdout, m.requests = out, sys.modules['requests']\n"
        "print('ended')\n" % (str(path), setup, call))
    r = run_python(code, timeout=60)
    assert (r.returncode, r.stdout.splitlines()[-1:]) == (0, ["ended"]), r.stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("held", ["m.log_lock", "m.spec_env.lock"])
def test_child_of_a_thread_holding_a_lock_releases_it(held):
    code = (
        "import os, vqspecapisdk as m\n"
        "with %s:\n"
        "    pid = os.fork()\n"
        "if pid == 0:\n"
        "    m.spec_log_info('child')\n"
        "    os._exit(0)\n"
        "print('child', os.waitpid(pid, 0)[1])\n" % held)
    r = run_python(code, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-1] == "child 0"


# ---- the simulator's secret file ---------------------------------------------------------------------------

@pytest.mark.parametrize("existing", [None, "file", "link"])
def test_simulator_secret_file_is_private_and_new(tmp_path, existing):
    from simulator.__main__ import write_secret_file
    path, target = tmp_path / "secret_key", tmp_path / "elsewhere"
    target.write_text("untouched")
    if existing == "file":
        path.write_text("old")
    elif existing == "link":
        path.symlink_to(target)
    old_mask = os.umask(0)
    try:
        if existing:
            with pytest.raises(FileExistsError):
                write_secret_file(str(path), "1,t,k,p")
            assert target.read_text() == "untouched"
        else:
            write_secret_file(str(path), "1,t,k,p")
            assert path.read_text() == "1,t,k,p\n"
            assert stat.S_IMODE(os.lstat(str(path)).st_mode) == 0o600
    finally:
        os.umask(old_mask)
