"""Log lines: layout, the seven writers, caller location, UTC+8 time stamps,
custom-text bound, one write per line under log_lock, and many threads."""
import _thread
import calendar
import datetime
import os
import re
import sys
import threading
import time

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vqspecapisdk as m
from conftest import LOG_RE, load_vectors, parse_log, run_python

LOG_VECTORS = load_vectors("log_line.json")
CLOCK = LOG_VECTORS["clock_example"]
MAX = 32768
UTC8 = datetime.timezone(datetime.timedelta(hours=8))


def utc_seconds(text):
    dt = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")
    return calendar.timegm(dt.timetuple()) + dt.microsecond / 1e6


CLOCK_T = utc_seconds(CLOCK["utc"])
STAMP = CLOCK["field"]


def ref_stamp(t):
    return datetime.datetime.fromtimestamp(t, UTC8).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]


class Recorder(object):
    """A stand-in for sys.stdout that keeps every write call."""

    def __init__(self):
        self.calls = []
        self.flushes = 0
        self.lock_held = []

    def write(self, s):
        self.lock_held.append(m.log_lock.locked())
        self.calls.append(s)
        return len(s)

    def flush(self):
        self.flushes += 1


@pytest.fixture
def recorder(monkeypatch):
    """Installs a Recorder as sys.stdout; call it from the test body, since
    output capturing sets sys.stdout again when the test proper begins."""
    def install(out=None):
        out = Recorder() if out is None else out
        monkeypatch.setattr(sys, "stdout", out)
        return out
    return install


def log_clock_at(t, seen=None):
    """A datetime class whose now(tz) is the instant t (seconds since the epoch)."""
    real = datetime.datetime

    class Frozen(real):
        @classmethod
        def now(cls, tz=None):
            if seen is not None:
                seen.append((m.log_lock.locked(), tz))
            return real.fromtimestamp(t, tz)
    return Frozen


def freeze_log_clock(monkeypatch, t, seen=None):
    # The log clock is the system clock as the module's datetime facility reads it.
    monkeypatch.setattr(m.datetime, "datetime", log_clock_at(t, seen))


@pytest.fixture
def frozen(monkeypatch):
    freeze_log_clock(monkeypatch, CLOCK_T)
    return STAMP


def line_of(level, req_id, file, line, text, stamp=STAMP, tid=None):
    if tid is None:
        tid = threading.current_thread().ident
    return "1,<%d,%d>,%s,%s,%s,%s,%s,%s\n" % (os.getpid(), tid, stamp, level, req_id, file, line, text)


def here():
    """Line number of the caller."""
    return sys._getframe(1).f_lineno


# ---- vectors -------------------------------------------------------------------------------------

def test_vector_example_matches_the_layout():
    mt = LOG_RE.match(LOG_VECTORS["example"])
    assert mt
    assert mt.groups() == ("4211", "140245", "2026-12-08 06:39:30.123", "INFO", "", "main.py", "42",
                           "loaded 3 records")


def test_clock_vector_reference():
    assert ref_stamp(CLOCK_T) == STAMP


# ---- the seven writers --------------------------------------------------------------------------

WRITER_CASES = [
    (lambda: m.spec_log_info(), "INFO", "", ""),
    (lambda: m.spec_log_info("loaded", 3, "records"), "INFO", "", "loaded 3 records"),
    (lambda: m.spec_log_info("a", 5, None), "INFO", "", "a 5 None"),
    (lambda: m.spec_log_debug("dbg"), "DBG", "", "dbg"),
    (lambda: m.spec_log_debug(), "DBG", "", ""),
    (lambda: m.spec_log_error("e", -1, 2.5), "ERR", "", "e -1 2.5"),
    (lambda: m.spec_log_info_with_req_id("rid0123456789ab", "x"), "INFO", "rid0123456789ab", "x"),
    (lambda: m.spec_log_debug_with_req_id("r"), "DBG", "r", ""),
    (lambda: m.spec_log_error_with_req_id(None, "boom"), "ERR", "None", "boom"),
    (lambda: m.spec_log_error_with_req_id(req_id=7), "ERR", "7", ""),
    (lambda: m.spec_log("WARN", "r1", "x", "y"), "WARN", "r1", "x y"),
    (lambda: m.spec_log(None, None), "None", "None", ""),
    (lambda: m.spec_log(42, 0, [1, 2], {"k": "v"}), "42", "0", "[1, 2] {'k': 'v'}"),
    (lambda: m.spec_log(log_level="L", req_id="R"), "L", "R", ""),
    (lambda: m.spec_log("a,b", "c,d", "e,f"), "a,b", "c,d", "e,f"),
    (lambda: m.spec_log("l\nv\r", "r\r\nid", "t\r\nx"), "l v ", "r  id", "t\r x"),
    (lambda: m.spec_log_info("cr\r\nlf", "\n\n"), "INFO", "", "cr\r lf   "),
    (lambda: m.spec_log_info("\r", "\t", "\x00"), "INFO", "", "\r \t \x00"),
    (lambda: m.spec_log_info("\u4e2d\u6587", "\U0001f600", "\ud800"), "INFO", "", "\u4e2d\u6587 \U0001f600 \ud800"),
    (lambda: m.spec_log_info(b"raw"), "INFO", "", "b'raw'"),
    (lambda: m.spec_log_info(""), "INFO", "", ""),
    (lambda: m.spec_log_info("", ""), "INFO", "", " "),
]


@pytest.mark.parametrize("call,level,req_id,text", [c for c in WRITER_CASES], ids=range(len(WRITER_CASES)))
def test_writer_line(call, level, req_id, text, recorder, frozen):
    rec = recorder()
    assert call() is None
    assert rec.calls == [line_of(level, req_id, "test_log.py", call.__code__.co_firstlineno, text)]


def test_empty_line_ends_with_a_comma(recorder, frozen):
    rec = recorder()
    m.spec_log_info()
    (out,) = rec.calls
    assert out.endswith(",,test_log.py,%d,\n" % (here() - 2))


def test_real_stdout_line(capsys):
    m.spec_log_info("hello", "world"); ln = here()  # noqa: E702
    m.spec_log_error_with_req_id("REQ", "bad"); ln2 = here()  # noqa: E702
    lines = parse_log(capsys.readouterr().out)
    assert [(x.level, x.req_id, x.file, x.line, x.text) for x in lines] == [
        ("INFO", "", "test_log.py", str(ln), "hello world"),
        ("ERR", "REQ", "test_log.py", str(ln2), "bad"),
    ]
    for x in lines:
        assert x.pid == str(os.getpid())
        assert x.tid == str(threading.current_thread().ident)


def test_level_and_req_id_follow_the_constants(recorder, frozen, monkeypatch):
    rec = recorder()
    monkeypatch.setattr(m, "LOG_LEVEL_INFO", "I")
    monkeypatch.setattr(m, "LOG_LEVEL_DEBUG", "D")
    monkeypatch.setattr(m, "LOG_LEVEL_ERROR", "E")
    m.spec_log_info("a")
    m.spec_log_debug_with_req_id("r", "b")
    m.spec_log_error("c")
    assert [c.split(",")[4] for c in rec.calls] == ["I", "D", "E"]


@pytest.mark.parametrize("call", [
    lambda: m.spec_log_info(req_id="x"),
    lambda: m.spec_log_error(log_level="ERR"),
    lambda: m.spec_log("L", "R", log_level="x"),
    lambda: m.spec_log_info_with_req_id("a", req_id="b"),
    lambda: m.spec_log("L"),
    lambda: m.spec_log(req_id="R"),
    lambda: m.spec_log_debug_with_req_id(),
    lambda: m.spec_log_info(end=""),
])
def test_refused_arguments(call, recorder):
    rec = recorder()
    with pytest.raises(TypeError):
        call()
    assert rec.calls == []
    assert not m.log_lock.locked()


class Texty(object):
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def test_text_forms_by_str(recorder, frozen):
    rec = recorder()
    m.spec_log(Texty("LVL"), Texty("RID"), Texty("one\ntwo"), Texty("")); ln = here()  # noqa: E702
    assert rec.calls == [line_of("LVL", "RID", "test_log.py", ln, "one two ")]


# ---- time stamps ---------------------------------------------------------------------------------

@pytest.mark.parametrize("utc,field", [
    (CLOCK["utc"], CLOCK["field"]),
    ("2026-12-07T22:39:30.999999Z", "2026-12-08 06:39:30.999"),
    ("2026-12-07T22:39:30.000000Z", "2026-12-08 06:39:30.000"),
    ("2026-12-07T15:59:59.999000Z", "2026-12-07 23:59:59.999"),
    ("2026-12-31T16:00:00.000999Z", "2027-01-01 00:00:00.000"),
    ("2028-02-28T16:00:00.500000Z", "2028-02-29 00:00:00.500"),
    ("1970-01-01T00:00:00.000000Z", "1970-01-01 08:00:00.000"),
])
def test_time_stamp_is_utc_plus_8_truncated(utc, field, recorder, monkeypatch):
    rec = recorder()
    t = utc_seconds(utc)
    freeze_log_clock(monkeypatch, t)
    m.spec_log_info("t")
    assert rec.calls[0].split(",")[3] == field
    assert ref_stamp(t) == field


def test_clock_is_read_outside_the_lock_at_utc_plus_8(recorder, monkeypatch):
    rec = recorder()
    seen = []
    freeze_log_clock(monkeypatch, CLOCK_T, seen)
    m.spec_log_info("x")
    assert seen == [(False, UTC8)]
    assert STAMP in rec.calls[0]


def test_system_clock_stamp(recorder):
    rec = recorder()
    before = datetime.datetime.now(UTC8).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
    m.spec_log_info("x")
    after = datetime.datetime.now(UTC8).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
    assert before <= rec.calls[0].split(",")[3] <= after


@settings(max_examples=150, deadline=None)
@given(st.floats(min_value=0, max_value=2 ** 33, allow_nan=False, allow_infinity=False))
@example(CLOCK_T)
@example(1796769570.9999995)
@example(1796769570.0000005)
@example(0.0015)
def test_time_stamp_matches_datetime(t):
    r = Recorder()
    saved_out, saved_clock = sys.stdout, m.datetime.datetime
    sys.stdout, m.datetime.datetime = r, log_clock_at(t)
    try:
        m.spec_log_info()
    finally:
        sys.stdout, m.datetime.datetime = saved_out, saved_clock
    assert r.calls[0].split(",")[3] == ref_stamp(t)


@pytest.mark.parametrize("tz", ["America/New_York", "Asia/Shanghai", "UTC", "Pacific/Kiritimati"])
def test_time_stamp_whatever_the_host_zone(tz):
    code = (
        "import sys, time, datetime, vqspecapisdk as m\n"
        "time.tzset()\n"
        "z = datetime.timezone(datetime.timedelta(hours=8))\n"
        "b = datetime.datetime.now(z); m.spec_log_info('tz'); a = datetime.datetime.now(z)\n"
        "sys.stderr.write(','.join([x.strftime('%Y-%m-%d %H:%M:%S.%f')[:-3] for x in (b, a)]\n"
        "                          + [time.strftime('%z', time.localtime(1796769570))]))\n")
    r = run_python(code, env={"TZ": tz})
    assert r.returncode == 0, r.stderr
    (line,) = parse_log(r.stdout)
    before, after, zone = r.stderr.split(",")
    assert before <= line.time <= after
    assert line.file == "<string>" and line.line == "4"
    if tz == "America/New_York":
        assert zone == "-0500"


# ---- caller location ----------------------------------------------------------------------------------

def sdk_log_wrapper(*args):
    m.spec_log_info(*args)


def sdk_log_outer(*args):
    sdk_log_inner(*args)


def sdk_log_inner(*args):
    m.spec_log_debug(*args)


def sdk_logger(*args):
    m.spec_log_error(*args)


def my_sdk_log(*args):
    m.spec_log_info(*args); return here()  # noqa: E702


def Sdk_log_upper(*args):
    m.spec_log_info(*args); return here()  # noqa: E702


def test_location_direct(recorder, frozen):
    rec = recorder()
    m.spec_log_info("x"); ln = here()  # noqa: E702
    assert rec.calls == [line_of("INFO", "", "test_log.py", ln, "x")]


def test_location_skips_sdk_log_frames(recorder, frozen):
    rec = recorder()
    sdk_log_wrapper("a"); ln1 = here()  # noqa: E702
    sdk_log_outer("b"); ln2 = here()  # noqa: E702
    sdk_logger("c"); ln3 = here()  # noqa: E702
    assert rec.calls == [
        line_of("INFO", "", "test_log.py", ln1, "a"),
        line_of("DBG", "", "test_log.py", ln2, "b"),
        line_of("ERR", "", "test_log.py", ln3, "c"),
    ]


def test_location_other_names_not_skipped(recorder, frozen):
    rec = recorder()
    ln1 = my_sdk_log("a")
    ln2 = Sdk_log_upper("b")
    assert rec.calls == [
        line_of("INFO", "", "test_log.py", ln1, "a"),
        line_of("INFO", "", "test_log.py", ln2, "b"),
    ]


@pytest.mark.parametrize("filename,shown", [
    ("/some/where/deep/fake_module.py", "fake_module.py"),
    ("relative/dir/other.py", "other.py"),
    ("plain_name.py", "plain_name.py"),
    ("<string>", "<string>"),
    ("dir\\win\\name.py", os.path.basename("dir\\win\\name.py")),
    ("/d/\u4e2d\u6587.py", "\u4e2d\u6587.py"),
])
def test_location_of_module_level_code(filename, shown, recorder, frozen):
    rec = recorder()
    source = "x = 1\n\nm.spec_log_info('module level')\n"
    exec(compile(source, filename, "exec"), {"m": m})
    assert rec.calls == [line_of("INFO", "", shown, 3, "module level")]


def test_location_from_sdk_log_function_at_module_level(recorder, frozen):
    rec = recorder()
    source = ("def sdk_log_here(*a):\n"
              "    m.spec_log_info(*a)\n"
              "\n"
              "\n"
              "sdk_log_here('via helper')\n")
    exec(compile(source, "/x/helper_mod.py", "exec"), {"m": m})
    assert rec.calls == [line_of("INFO", "", "helper_mod.py", 5, "via helper")]


def test_location_empty_when_every_frame_is_skipped(recorder, frozen):
    rec = recorder()
    done = threading.Event()
    box = {}

    def sdk_log_thread_main():
        try:
            box["tid"] = threading.current_thread().ident
            m.spec_log_info("no caller")
        except BaseException as e:  # noqa: BLE001 - reported below
            box["error"] = e
        finally:
            done.set()

    _thread.start_new_thread(sdk_log_thread_main, ())
    assert done.wait(60)
    assert "error" not in box
    assert rec.calls == [line_of("INFO", "", "", "", "no caller", tid=box["tid"])]
    assert LOG_RE.match(rec.calls[0][:-1])


def test_location_in_a_fresh_interpreter():
    r = run_python("import vqspecapisdk as m\n"
                   "def sdk_log_x():\n"
                   "    m.spec_log_info('x')\n"
                   "sdk_log_x()\n")
    assert r.returncode == 0, r.stderr
    (line,) = parse_log(r.stdout)
    assert (line.file, line.line, line.text) == ("<string>", "4", "x")


# ---- the custom-text bound ------------------------------------------------------------------------------

class Boom(Exception):
    pass


class Exploding(object):
    exc = Boom("converted")

    def __str__(self):
        raise self.exc


class Counting(object):
    def __init__(self, text):
        self.text = text
        self.calls = 0

    def __str__(self):
        self.calls += 1
        return self.text


def custom_of(call_line):
    """The custom-text field of a written line (the line has no other commas in its text part)."""
    assert call_line.endswith("\n")
    return call_line[:-1].split(",", 8)[8]


@pytest.mark.parametrize("args,text", [
    (["x" * 40000], "x" * MAX),
    (["x" * MAX], "x" * MAX),
    (["x" * (MAX + 1)], "x" * MAX),
    (["x" * (MAX - 1)], "x" * (MAX - 1)),
    (["x" * MAX, "y"], "x" * MAX),
    (["x" * (MAX - 1), "y"], "x" * (MAX - 1) + " "),
    (["x" * (MAX - 1), "yz", "w"], "x" * (MAX - 1) + " "),
    (["x" * (MAX - 2), "yz"], "x" * (MAX - 2) + " y"),
    (["x" * (MAX - 2), "y"], "x" * (MAX - 2) + " y"),
    (["x" * (MAX - 2), ""], "x" * (MAX - 2) + " "),
    (["x" * (MAX - 3), "", "y"], "x" * (MAX - 3) + "  y"),
    (["\n" * 40000], " " * MAX),
    (["\U0001f600" * 40000], "\U0001f600" * MAX),
    (["\u4e2d" * (MAX - 1), "\u6587\u6587"], "\u4e2d" * (MAX - 1) + " "),
    (["ab"] * 20000, " ".join(["ab"] * 20000)[:MAX]),
    ([12345] * 10000, " ".join(["12345"] * 10000)[:MAX]),
])
def test_custom_text_bound(args, text, recorder, frozen):
    rec = recorder()
    m.spec_log_info(*args)
    assert len(rec.calls) == 1
    assert custom_of(rec.calls[0]) == text
    assert len(custom_of(rec.calls[0])) <= MAX


@pytest.mark.parametrize("head", [
    ["x" * 40000],
    ["x" * MAX],
    ["x" * (MAX - 1), "y"],
    ["x" * (MAX - 2), "y"],
    ["ab"] * 20000,
])
def test_arguments_after_the_cut_are_never_converted(head, recorder, frozen):
    rec = recorder()
    later = Counting("never")
    m.spec_log_info(*(head + [later, Exploding(), later]))
    assert later.calls == 0
    assert len(custom_of(rec.calls[0])) == MAX


def test_arguments_before_the_cut_are_converted_once(recorder, frozen):
    rec = recorder()
    a, b, c = Counting("a"), Counting("x" * (MAX - 3)), Counting("c")
    m.spec_log_info(a, b, c, Exploding())
    assert (a.calls, b.calls, c.calls) == (1, 1, 1)
    # "a", a space, 32765 characters, a space: the bound is met by the third element
    assert custom_of(rec.calls[0]) == "a " + "x" * (MAX - 3) + " "
    # the element that meets the bound exactly is still converted
    d = Counting("d")
    m.spec_log_info("x" * (MAX - 1), d, Exploding())
    assert d.calls == 1
    assert custom_of(rec.calls[1]) == "x" * (MAX - 1) + " "


def test_bound_counts_code_points_not_bytes(recorder, frozen):
    rec = recorder()
    m.spec_log_info("\u00e9" * (MAX + 5))
    assert custom_of(rec.calls[0]) == "\u00e9" * MAX


def test_other_fields_are_not_bounded(recorder, frozen):
    rec = recorder()
    long_id = "r" * 40000
    m.spec_log("L" * 40000, long_id, "t"); ln = here()  # noqa: E702
    assert rec.calls == [line_of("L" * 40000, long_id, "test_log.py", ln, "t")]


# ---- one write per line, under log_lock ------------------------------------------------------------------------

def test_one_write_per_line_and_no_flush(recorder, frozen):
    rec = recorder()
    m.spec_log_info("a")
    m.spec_log_error_with_req_id("r", "x" * 40000)
    m.spec_log("L", "R")
    m.spec_log_info("multi\nline", "\r\n")
    assert len(rec.calls) == 4
    for call in rec.calls:
        assert type(call) is str
        assert call.endswith("\n")
        assert call.count("\n") == 1
        assert LOG_RE.match(call[:-1])
    assert rec.flushes == 0


def test_write_happens_under_the_lock_and_conversion_outside(recorder, frozen):
    rec = recorder()
    seen = {}

    class Spy(object):
        def __init__(self, name):
            self.name = name

        def __str__(self):
            seen[self.name] = m.log_lock.locked()
            return self.name

    m.spec_log("L", "R", Spy("first"), Spy("second"))
    assert seen == {"first": False, "second": False}
    assert rec.lock_held == [True]
    assert not m.log_lock.locked()
    assert custom_of(rec.calls[0]) == "first second"


def test_no_line_while_another_thread_holds_the_lock(recorder, frozen):
    rec = recorder()
    done = []

    def worker():
        m.spec_log_info("waited")
        done.append(True)

    assert m.log_lock.acquire(False)
    try:
        t = threading.Thread(target=worker)
        t.start()
        t.join(0.3)
        assert rec.calls == []
        assert done == []
    finally:
        m.log_lock.release()
    t.join(60)
    assert not t.is_alive()
    assert done == [True]
    assert len(rec.calls) == 1
    assert custom_of(rec.calls[0]) == "waited"


class FailingOut(object):
    def __init__(self, exc):
        self.exc = exc
        self.lock_held = []

    def write(self, s):
        self.lock_held.append(m.log_lock.locked())
        raise self.exc


def test_write_failure_passes_through_and_releases_the_lock(recorder, frozen):
    exc = OSError(28, "No space left on device")
    out = recorder(FailingOut(exc))
    with pytest.raises(OSError) as ei:
        m.spec_log_info("x")
    assert ei.value is exc
    assert out.lock_held == [True]
    assert not m.log_lock.locked()
    # the lock is usable again
    rec = recorder()
    m.spec_log_info("after")
    assert len(rec.calls) == 1


def test_stdout_without_write(monkeypatch):
    monkeypatch.setattr(sys, "stdout", object())
    with pytest.raises(AttributeError):
        m.spec_log_info("x")
    assert not m.log_lock.locked()


@pytest.mark.parametrize("args", [
    (Exploding(),),
    ("ok", Exploding()),
    ("x" * (MAX - 1), Exploding()),
])
def test_conversion_failure_passes_through(args, recorder):
    rec = recorder()
    with pytest.raises(Boom) as ei:
        m.spec_log_info(*args)
    assert ei.value is Exploding.exc
    assert rec.calls == []
    assert not m.log_lock.locked()


@pytest.mark.parametrize("call", [
    lambda: m.spec_log(Exploding(), "r", "t"),
    lambda: m.spec_log("L", Exploding(), "t"),
    lambda: m.spec_log_info_with_req_id(Exploding(), "t"),
])
def test_field_conversion_failure_passes_through(call, recorder):
    rec = recorder()
    with pytest.raises(Boom):
        call()
    assert rec.calls == []
    assert not m.log_lock.locked()


def test_clock_failure_passes_through(recorder, monkeypatch):
    rec = recorder()

    class Broken(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            raise Boom("clock")
    monkeypatch.setattr(m.datetime, "datetime", Broken)
    with pytest.raises(Boom):
        m.spec_log_info("x")
    assert rec.calls == []
    assert not m.log_lock.locked()


def test_stdout_none_writes_nothing(monkeypatch):
    # the built-in print writes nothing, and raises nothing, when sys.stdout is None
    monkeypatch.setattr(sys, "stdout", None)
    assert m.spec_log_info("x") is None
    assert not m.log_lock.locked()


def test_stdout_missing(monkeypatch):
    monkeypatch.delattr(sys, "stdout")
    with pytest.raises(RuntimeError) as ei:
        m.spec_log_info("x")
    assert str(ei.value) == "lost sys.stdout"
    assert not m.log_lock.locked()


# ---- many threads ---------------------------------------------------------------------------------------------

class SlowRecorder(object):
    """Yields the interpreter in the middle of each write: overlapping writes would show."""

    def __init__(self):
        self.calls = []
        self.active = 0
        self.overlaps = 0

    def write(self, s):
        self.active += 1
        if self.active != 1:
            self.overlaps += 1
        time.sleep(0)
        self.calls.append(s)
        self.active -= 1
        return len(s)


def test_many_threads_many_lines(recorder):
    out = recorder(SlowRecorder())
    nthreads, nlines = 8, 150
    idents = {}
    start = threading.Barrier(nthreads)

    def worker(i):
        idents[i] = threading.current_thread().ident
        start.wait()
        for j in range(nlines):
            if j % 3 == 0:
                m.spec_log_info_with_req_id("T%d" % i, "thread", i, "line", j, "x" * (j * 7))
            elif j % 3 == 1:
                m.spec_log_error_with_req_id("T%d" % i, "thread", i, "line", j, "x" * (j * 7))
            else:
                m.spec_log("LVL", "T%d" % i, "thread", i, "line", j, "x" * (j * 7))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert out.overlaps == 0
    assert len(out.calls) == nthreads * nlines
    seen = set()
    for call in out.calls:
        assert call.endswith("\n") and call.count("\n") == 1
        mt = LOG_RE.match(call[:-1])
        assert mt, call[:200]
        (pid, tid, _stamp, level, req_id, file, _line, text) = mt.groups()
        i = int(req_id[1:])
        words = text.split(" ")
        j = int(words[3])
        assert words[:3] == ["thread", str(i), "line"]
        assert words[4] == "x" * (j * 7)
        assert level == ["INFO", "ERR", "LVL"][j % 3]
        assert pid == str(os.getpid())
        assert tid == str(idents[i])
        assert file == "test_log.py"
        seen.add((i, j))
    assert len(seen) == nthreads * nlines


def test_many_threads_real_stdout(capsys):
    nthreads, nlines = 6, 100

    def worker(i):
        for j in range(nlines):
            m.spec_log_info_with_req_id("req%d" % i, "n", j)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    lines = parse_log(capsys.readouterr().out)
    assert len(lines) == nthreads * nlines
    assert sorted((x.req_id, x.text) for x in lines) == sorted(
        ("req%d" % i, "n %d" % j) for i in range(nthreads) for j in range(nlines))


def _custom_text(args, bound):
    """The free text as the interpreted writer joins and cuts it."""
    text = ""
    for i, a in enumerate(args):
        if i:
            text += " "
        text += str(a).replace("\n", " ")
        if len(text) >= bound:
            text = text[:bound]
            break
    return text


@pytest.mark.parametrize("bound", [2 ** 70, -(2 ** 70), 2 ** 64 + 5, 10.0, 1e300, float("nan"), True, 5, -3, 0])
@pytest.mark.parametrize("args", [("ab", "cd"), ("x" * 40,), ("abc", "defghijkl", "m")])
def test_custom_bound_compared_as_interpreted_code(sdk, capsys, monkeypatch, bound, args):
    monkeypatch.setattr(sdk, "LOG_FIELD_CUSTOM_MAX_SIZE", bound)
    try:
        expected = _custom_text(args, bound)
    except TypeError as e:
        with pytest.raises(TypeError, match="^%s$" % re.escape(str(e))):
            sdk.spec_log_info(*args)
        return
    sdk.spec_log_info(*args)
    assert parse_log(capsys.readouterr().out)[0].text == expected
