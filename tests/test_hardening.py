"""Hardening: canonical log lines, no line breaks outside the free text, a
log clock that no frozen time.time() can break, bounded digit conversion
before a call is authenticated.
"""
import datetime
import math
import sys

import pytest

from conftest import log_texts
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
