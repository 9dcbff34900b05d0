"""vqspecapisdk_logging: the SDK's lines as records of the logging module.

Every record is checked against the stdout line the same call writes without
the bridge: level, request id, file, line and free text (secrets masked as
there).
"""
import io
import logging
import sys
import threading

import pytest

import vqspecapisdk
import vqspecapisdk_logging as bridge
from conftest import Records, derived, install_env, parse_log
from simulator import wire

REC = wire.SecretRecord("8", derived("bridge", "debug-token"), wire.make_key_text("bridge-debug"), "prog-bridge")
ACCESS = derived("bridge", "access")
FAKE_SIG = [("vq-secret-ver", "8"), ("vq-signature", "0" * 64), ("vq-nonce", "1"),
            ("vq-timestamp", "2"), ("vq-status", "0")]


def writers_call_spec_log():
    """Whether this build's convenience writers call a replaced spec_log."""
    seen, saved, out = [], vqspecapisdk.spec_log, sys.stdout
    vqspecapisdk.spec_log = lambda *args: seen.append(args)
    sys.stdout = io.StringIO()
    try:
        vqspecapisdk.spec_log_info("probe")
    finally:
        vqspecapisdk.spec_log, sys.stdout = saved, out
    return bool(seen)


@pytest.fixture
def logger(sdk, monkeypatch):
    """A logger of its own that keeps its records; the module's spec_log is put back after."""
    monkeypatch.setattr(sdk, "spec_log", sdk.spec_log)
    log = logging.getLogger("vqspecapisdk.test")
    log.setLevel(logging.DEBUG)
    log.propagate = False
    log.handlers = [Records()]
    yield log
    bridge.uninstall()


def raises(fn):
    def call(m):
        with pytest.raises(Exception):
            fn(m)
    return call


def fresh_env_open(m, debug_token, access):
    env = m.SpecEnv()
    env.open_debug_mode(debug_token, access)


CASES = [  # (id, call, needs the writers to call spec_log)
    ("spec_log", lambda m: m.spec_log("ERR", "r1", "a", 2, None), False),
    ("keywords", lambda m: m.spec_log(log_level="DBG", req_id=None), False),
    ("breaks", lambda m: m.spec_log("INFO", "r\r\n2", "x\ny", "a\n"), False),
    ("cut", lambda m: m.spec_log("INFO", "", "x" * 32767, "yz"), False),
    ("long", lambda m: m.spec_log("INFO", "", "é" * 40000), False),
    ("other level", lambda m: m.spec_log("NOTICE", 7, "w"), False),
    ("info", lambda m: m.spec_log_info("i", 1), True),
    ("debug", lambda m: m.spec_log_debug(), True),
    ("error", lambda m: m.spec_log_error("e"), True),
    ("info id", lambda m: m.spec_log_info_with_req_id("rid", "i"), True),
    ("debug id", lambda m: m.spec_log_debug_with_req_id("rid", "d"), True),
    ("error id", lambda m: m.spec_log_error_with_req_id(None, "e"), True),
    ("plain answer", lambda m: m.SpecToVQHTTPRspDecoder(200, [], "ok " + ACCESS + " ok"), True),
    ("refused answer", raises(lambda m: m.SpecToVQHTTPRspDecoder(200, FAKE_SIG, "abc")), True),
    ("inbound refusal", raises(lambda m: m.VQToSpecHTTPReqDecoder([("vq-req-id", "q1")], "x")), True),
    ("debug params", raises(lambda m: fresh_env_open(m, "", ACCESS)), True),
    ("debug open", lambda m: fresh_env_open(m, REC.debug_token(), ACCESS), True),
]


@pytest.mark.parametrize("call,needs_routing", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_record_matches_stdout_line(call, needs_routing, sdk, logger, capsys, monkeypatch, tmp_path):
    if needs_routing and not writers_call_spec_log():
        pytest.skip("this build's writers do not call a replaced spec_log")
    install_env(sdk, monkeypatch, tmp_path, REC, "debug", ACCESS)
    capsys.readouterr()
    for bridged in (False, True):
        if bridged:
            bridge.install(logger)
        call(sdk)  # the same line both times
    lines = parse_log(capsys.readouterr().out)
    records = logger.handlers[0].records
    assert lines and len(records) == len(lines)
    for line, rec in zip(lines, records):
        assert (rec.sdk_level, rec.req_id, rec.filename, str(rec.lineno), rec.getMessage()) == \
            (line.level, line.req_id, line.file, line.line, line.text)
        assert rec.levelno == bridge.LEVELS.get(line.level, logging.INFO)
        assert rec.name == "vqspecapisdk.test"
        for secret in (ACCESS, REC.token, REC.debug_token()):
            assert secret not in rec.getMessage()


@pytest.mark.parametrize("level,levels,expected", [
    ("INFO", None, logging.INFO),
    ("DBG", None, logging.DEBUG),
    ("ERR", None, logging.ERROR),
    ("WARNING", None, logging.WARNING),
    ("odd", None, logging.INFO),
    (["unhashable"], None, logging.INFO),
    ("NOTE", {"NOTE": 25}, 25),
    ("ERR", {"ERR": logging.CRITICAL}, logging.CRITICAL),
])
def test_levels(level, levels, expected, logger):
    bridge.install(logger, levels)
    vqspecapisdk.spec_log(level, "", "x")
    assert [r.levelno for r in logger.handlers[0].records] == [expected]


def test_reassigned_level_constant(sdk, logger, monkeypatch):
    monkeypatch.setattr(sdk, "LOG_LEVEL_ERROR", "E!")
    bridge.install(logger)
    sdk.spec_log("E!", "", "x")
    assert logger.handlers[0].records[0].levelno == logging.ERROR


def undo_plain(m, other):
    bridge.install()


def undo_twice(m, other):
    bridge.install("vqspecapisdk.first")
    bridge.install()


def undo_replaced_after(m, other):
    bridge.install()
    m.spec_log = other


def undo_deleted_before(m, other):
    del m.spec_log
    bridge.install()


@pytest.mark.parametrize("setup,after", [
    (undo_plain, "own"),
    (undo_twice, "own"),
    (undo_replaced_after, "other"),
    (undo_deleted_before, "deleted"),
])
def test_uninstall_restores(setup, after, sdk, logger, capsys):
    own = sdk.spec_log
    other = lambda *args: None  # noqa: E731
    setup(sdk, other)
    bridge.uninstall()
    assert bridge.installed() is None
    assert vars(sdk).get("spec_log", "deleted") is {"own": own, "other": other, "deleted": "deleted"}[after]
    if after == "own":
        sdk.spec_log("INFO", "", "back on stdout")
        assert [l.text for l in parse_log(capsys.readouterr().out)] == ["back on stdout"]


def test_bridged_block_and_default_logger(sdk, logger):
    own = sdk.spec_log
    with bridge.bridged() as log:
        assert log.name == "vqspecapisdk" and bridge.installed() is log and sdk.spec_log is not own
    assert bridge.installed() is None and sdk.spec_log is own


class Loud(object):
    def __init__(self):
        self.calls = 0

    def __str__(self):
        self.calls += 1
        return "loud"


@pytest.mark.parametrize("logger_level,records", [(logging.INFO, 1), (logging.WARNING, 0)])
def test_disabled_level_converts_nothing(logger_level, records, logger):
    logger.setLevel(logger_level)
    bridge.install(logger)
    arg = Loud()
    vqspecapisdk.spec_log("INFO", arg, arg)
    assert (len(logger.handlers[0].records), arg.calls) == (records, 2 * records)


def test_threads_lines_whole_while_installed_and_undone(sdk, logger, capsys):
    """Lines written on 8 threads while the bridge comes and goes: each lands whole, once."""
    n, per = 8, 150
    go = threading.Event()

    def writer(i):
        go.wait()
        for k in range(per):
            sdk.spec_log("INFO", "t%d" % i, "line", k)

    threads = [threading.Thread(target=writer, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    go.set()
    while any(t.is_alive() for t in threads):
        bridge.install(logger)
        bridge.uninstall()
    for t in threads:
        t.join()
    seen = [(l.req_id, l.text) for l in parse_log(capsys.readouterr().out)]
    seen += [(r.req_id, r.getMessage()) for r in logger.handlers[0].records]
    assert sorted(seen) == sorted(("t%d" % i, "line %d" % k) for i in range(n) for k in range(per))
