"""Inbound messages: decoding a platform call, building the answer, the
retry-notify exception and the internal-error body.

The module's spec_env is swapped for a fresh SpecEnv per test, and the clock
is frozen_clock through the module's `time` (read at call time). Requests are made
with simulator.wire, independently of the module.
"""
import json
import random

import pytest

from conftest import TYPE_MSG, derived, install_env, load_vectors, log_texts
from simulator import wire

INIT = "VQToSpecHTTPReqDecoder init"
BAD_HEADER = "VQToSpecHTTPReqDecoder Err Invalid header"
BAD_SIGN = "VQToSpecHTTPReqDecoder Err Invalid signature, real_sign:"

VECTOR = load_vectors("inbound_request.json")
VEC_REC = wire.SecretRecord(VECTOR["secret"]["ver"], VECTOR["secret"]["token"],
                            VECTOR["secret"]["encoding_aes_key"], VECTOR["secret"]["program_id"])



REC = wire.SecretRecord("02", derived("inbound", "token"), wire.make_key_text("inbound"), "prog-in")
DEBUG_REC = wire.SecretRecord("11", derived("inbound", "debug-token"), wire.make_key_text("inbound-debug"), "prog-dbg")
ACCESS = derived("inbound", "access")
REQ_ID = "Zy9xWv8uTs7rQp6o"
T = 1765147170
T_MS = T * 1000
PLAIN = json.dumps({"corpid": "corp-x", "agentid": 7, "data": "{\"k\": [1, 2]}", "call_type": 2,
                    "is_async": False, "job_info": "j\u4e2d", "ability_id": "ab", "notify_id": "nid"})
FIELDS = ("corp-x", 7, "{\"k\": [1, 2]}", 2, False, "j\u4e2d", "ab", "nid")


def info(req_id, text):
    return ("INFO", req_id, text)


def err(req_id, text):
    return ("ERR", req_id, text)


def init_line(req_id, ver, ts, ts_ms=None, inq=None):
    return info(req_id, "%s ver %s %s %s %s" % (INIT, ver, ts, ts_ms, inq))


def inqchk_line(req_id, beg, now, timeout, flag):
    return info(req_id, "inqchk %d %d %d %d | timeout %s" % (beg, now, now - beg, timeout, flag))


def assert_exception(excinfo, message):
    assert type(excinfo.value) is Exception
    assert excinfo.value.args == (message,)


def assert_retry(sdk, excinfo, message, status):
    exc = excinfo.value
    assert type(exc) is sdk.VQToSpecRetryNotifyException
    assert isinstance(exc, Exception)
    assert str(exc) == message and exc.args == (message,)
    assert exc.GetStatus() == status and exc.status == status and exc.message == message


def decoded_fields(dec):
    return (dec.get_corpid(), dec.get_agentid(), dec.get_data(), dec.get_call_type(), dec.get_is_async(),
            dec.get_job_info(), dec.get_ability_id(), dec.get_notify_id())


def make_request(rec=REC, plain=PLAIN, ts=str(T), ts_ms=None, inq=None, req_id=REQ_ID, nonce="123456789",
                 ver=None, sig=None, body=None):
    """(headers, body) of a platform call signed and encrypted with `rec`."""
    body = wire.encrypt(rec.encoding_aes_key, plain) if body is None else body
    ver = rec.ver if ver is None else ver
    sig = wire.sign(rec.token, body, ts, nonce, ver) if sig is None else sig
    headers = [("Host", "127.0.0.1"), ("vq-secret-ver", ver), ("vq-signature", sig), ("vq-nonce", nonce),
               ("vq-timestamp", ts)]
    if ts_ms is not None:
        headers.append(("vq-timestamp-ms", ts_ms))
    if req_id is not None:
        headers.append(("vq-req-id", req_id))
    if inq is not None:
        headers.append(("vq-inqueue-timeout-ms", inq))
    headers.append(("Content-Type", "application/json"))
    return headers, body


@pytest.fixture
def use_env(sdk, monkeypatch, tmp_path, capsys):
    """use_env(rec, mode) swaps in a fresh SpecEnv holding `rec`."""
    def make(rec=REC, mode="debug"):
        env = install_env(sdk, monkeypatch, tmp_path, rec, mode, ACCESS)
        capsys.readouterr()
        return env
    return make


@pytest.fixture
def env(use_env):
    return use_env()


@pytest.fixture
def empty_env(sdk, monkeypatch, tmp_path, capsys):
    """Debug mode whose debug token was refused: no secret record in force."""
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "absent_secret_key"))
    e = sdk.SpecEnv()
    with pytest.raises(Exception):
        e.open_debug_mode("", ACCESS)
    monkeypatch.setattr(sdk, "spec_env", e)
    capsys.readouterr()
    return e


# ---------------------------------------------------------------------------
# VQToSpecHTTPReqDecoder: the known-answer call
# ---------------------------------------------------------------------------

def _vector_lines(now_ms, flag):
    req_id = VECTOR["fields"]["req_id"]
    return [init_line(req_id, "3", "1765147170", "1765147170250", "5000"),
            inqchk_line(req_id, 1765147170250, now_ms, 5000, flag)]


@pytest.mark.parametrize("mode", ["debug", "normal"])
def test_vector_request_accepted(sdk, use_env, clock, capsys, mode):
    use_env(VEC_REC, mode)
    clock(VECTOR["now_ms_ok"])
    dec = sdk.VQToSpecHTTPReqDecoder(VECTOR["headers"], VECTOR["body"])
    f = VECTOR["fields"]
    assert decoded_fields(dec) == (f["corpid"], f["agentid"], f["data"], f["call_type"], f["is_async"],
                                   f["job_info"], f["ability_id"], f["notify_id"])
    assert dec.get_req_id() == f["req_id"]
    assert log_texts(capsys.readouterr().out) == _vector_lines(VECTOR["now_ms_ok"], False)


def test_vector_request_members(sdk, use_env, clock):
    use_env(VEC_REC)
    clock(VECTOR["now_ms_ok"])
    dec = sdk.VQToSpecHTTPReqDecoder(headers=VECTOR["headers"], body=VECTOR["body"])
    values = dict((name.lower(), value) for name, value in VECTOR["headers"])
    assert dec.headers is VECTOR["headers"]
    assert dec.body == VECTOR["body"]
    assert dec._header_ver == values["vq-secret-ver"]
    assert dec._header_signature == values["vq-signature"]
    assert dec._header_nonce == values["vq-nonce"]
    assert dec._header_timestamp == values["vq-timestamp"]
    assert dec._header_timestamp_ms == values["vq-timestamp-ms"]
    assert dec._header_req_id == values["vq-req-id"]
    assert dec._header_inqueue_timeout_ms == values["vq-inqueue-timeout-ms"]
    assert dec.corpid == VECTOR["fields"]["corpid"] and dec.notify_id == VECTOR["fields"]["notify_id"]


def test_vector_request_timed_out(sdk, use_env, clock, capsys):
    use_env(VEC_REC)
    clock(VECTOR["now_ms_timeout"])
    with pytest.raises(sdk.VQToSpecRetryNotifyException) as ei:
        sdk.VQToSpecHTTPReqDecoder(VECTOR["headers"], VECTOR["body"])
    assert_retry(sdk, ei, "inqueue timeout", "2")
    assert log_texts(capsys.readouterr().out) == _vector_lines(VECTOR["now_ms_timeout"], True)


def test_vector_request_under_other_version(sdk, use_env, clock, capsys):
    other = wire.SecretRecord("4", VEC_REC.token, VEC_REC.encoding_aes_key, VEC_REC.program_id)
    use_env(other)
    clock(VECTOR["now_ms_ok"])
    with pytest.raises(sdk.VQToSpecRetryNotifyException) as ei:
        sdk.VQToSpecHTTPReqDecoder(VECTOR["headers"], VECTOR["body"])
    assert_retry(sdk, ei, "ver not matched, retry notify", "1")
    req_id = VECTOR["fields"]["req_id"]
    assert log_texts(capsys.readouterr().out) == [
        init_line(req_id, "3", "1765147170", "1765147170250", "5000"), err(req_id, "ver not matched 3 4")]


# ---------------------------------------------------------------------------
# Header scan
# ---------------------------------------------------------------------------

def test_request_accepted(sdk, env, clock, capsys):
    clock(T_MS + 10)
    headers, body = make_request()
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert decoded_fields(dec) == FIELDS
    assert dec.get_req_id() == REQ_ID
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, T),
                                                  inqchk_line(REQ_ID, T_MS, T_MS + 10, 0, False)]


@pytest.mark.parametrize("case", ["upper", "mixed", "title"])
def test_request_names_any_case(sdk, env, clock, capsys, case):
    clock(T_MS)
    headers, body = make_request(ts_ms=str(T_MS), inq="100")
    change = {"upper": str.upper, "mixed": lambda n: n[:4].upper() + n[4:], "title": str.title}[case]
    headers = [(change(n), v) for n, v in headers]
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert decoded_fields(dec) == FIELDS
    assert dec.get_req_id() == REQ_ID
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, T, T_MS, "100"),
                                                  inqchk_line(REQ_ID, T_MS, T_MS, 100, False)]


def test_request_name_with_trailing_space_matches_nothing(sdk, env, clock, capsys):
    clock(T_MS)
    headers, body = make_request()
    headers = [(n + " " if n == "vq-nonce" else n, v) for n, v in headers]
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "Invalid header")
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, T), err("", BAD_HEADER + " " + str(headers))]


@pytest.mark.parametrize("later_is_right", [True, False])
def test_request_duplicate_nonce_later_wins(sdk, env, clock, capsys, later_is_right):
    clock(T_MS)
    headers, body = make_request(nonce="555")
    wrong = ("VQ-Nonce", "556")
    if later_is_right:
        headers.insert(1, wrong)
        dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
        assert dec._header_nonce == "555"
    else:
        headers.append(wrong)
        with pytest.raises(Exception) as ei:
            sdk.VQToSpecHTTPReqDecoder(headers, body)
        assert_exception(ei, "Invalid signature")


def test_request_without_req_id(sdk, env, clock, capsys):
    clock(T_MS + 1)
    headers, body = make_request(req_id=None, inq="5000")
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert dec.get_req_id() == ""
    assert decoded_fields(dec) == FIELDS
    assert log_texts(capsys.readouterr().out) == [init_line("", REC.ver, T, None, "5000"),
                                                  inqchk_line("", T_MS, T_MS + 1, 5000, False)]


def test_request_header_values_kept_as_given(sdk, env, clock):
    clock(T_MS)
    headers, body = make_request(req_id="")
    headers.append(("vq-unknown", "x"))
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert dec.get_req_id() == ""
    assert dec._header_timestamp_ms is None and dec._header_inqueue_timeout_ms is None
    assert dec._header_nonce == "123456789"


# ---------------------------------------------------------------------------
# Required headers
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("missing", ["vq-secret-ver", "vq-nonce", "vq-timestamp", "vq-signature"])
def test_request_missing_header(sdk, env, clock, capsys, missing):
    clock(T_MS)
    headers, body = make_request(ts_ms=str(T_MS), inq="10")
    headers = [h for h in headers if h[0] != missing]
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "Invalid header")
    ver = None if missing == "vq-secret-ver" else REC.ver
    ts = None if missing == "vq-timestamp" else T
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, ver, ts, T_MS, "10"),
                                                  err("", BAD_HEADER + " " + str(headers))]


@pytest.mark.parametrize("missing", ["vq-secret-ver", "vq-nonce", "vq-timestamp", "vq-signature"])
@pytest.mark.parametrize("tail", ["\x00", "\x00x", "\x00" + "-ms"])
def test_request_header_name_with_nul_is_another_name(sdk, env, clock, capsys, missing, tail):
    # A name is matched whole: "vq-nonce\x00x" is not "vq-nonce".
    clock(T_MS)
    headers, body = make_request(ts_ms=str(T_MS), inq="10")
    headers = [(n + tail if n == missing else n, v) for n, v in headers]
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "Invalid header")
    assert log_texts(capsys.readouterr().out)[-1] == err("", BAD_HEADER + " " + str(headers))


def test_request_missing_header_before_secrets(sdk, empty_env, capsys):
    headers, body = make_request()
    headers = [h for h in headers if h[0] != "vq-signature"]
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "Invalid header")


def test_request_no_headers_at_all(sdk, env, capsys):
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder([], "")
    assert_exception(ei, "Invalid header")
    assert log_texts(capsys.readouterr().out) == [info("", INIT + " ver None None None None"),
                                                  err("", BAD_HEADER + " []")]


def test_request_header_value_none_counts_as_absent(sdk, env, capsys):
    headers, body = make_request()
    headers = [(n, None if n == "vq-nonce" else v) for n, v in headers]
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "Invalid header")


def test_request_empty_signature_is_present(sdk, env, clock, capsys):
    clock(T_MS)
    headers, body = make_request(sig="")
    expected = wire.sign(REC.token, body, str(T), "123456789", REC.ver)
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "Invalid signature")
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, T),
                                                  inqchk_line(REQ_ID, T_MS, T_MS, 0, False),
                                                  err("", BAD_SIGN + " " + expected[:8] + "...")]


# ---------------------------------------------------------------------------
# Secret version
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("ver", ["2", "", "002", " 02", "02 "])
def test_request_version_compared_as_text(sdk, env, clock, capsys, ver):
    clock(T_MS)
    headers, body = make_request(ver=ver)
    with pytest.raises(sdk.VQToSpecRetryNotifyException) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_retry(sdk, ei, "ver not matched, retry notify", "1")
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, ver, T),
                                                  err(REQ_ID, "ver not matched %s %s" % (ver, REC.ver))]


def test_request_version_checked_before_signature_and_queue(sdk, env, clock, capsys):
    clock(T_MS + 10 ** 6)
    headers, body = make_request(ver="1", sig="0" * 64, inq="1")
    with pytest.raises(sdk.VQToSpecRetryNotifyException) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_retry(sdk, ei, "ver not matched, retry notify", "1")
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, "1", T, None, "1"),
                                                  err(REQ_ID, "ver not matched 1 %s" % REC.ver)]


def test_request_version_asked_twice_on_mismatch(sdk, monkeypatch, tmp_path, clock, capsys):
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "absent_secret_key"))

    class CountingEnv(sdk.SpecEnv):
        def __init__(self):
            sdk.SpecEnv.__init__(self)
            self.calls = []

        def get_key_ver(self):
            self.calls.append("ver")
            return ["v1", "v2", "v3"][len([c for c in self.calls if c == "ver"]) - 1]

        def get_token(self):
            self.calls.append("token")
            return sdk.SpecEnv.get_token(self)

        def get_encoding_aes_key(self):
            self.calls.append("key")
            return sdk.SpecEnv.get_encoding_aes_key(self)

    counting = CountingEnv()
    counting.open_debug_mode(REC.debug_token(), ACCESS)
    monkeypatch.setattr(sdk, "spec_env", counting)
    clock(T_MS)
    headers, body = make_request(ver="v0")
    capsys.readouterr()
    with pytest.raises(sdk.VQToSpecRetryNotifyException):
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert counting.calls == ["ver", "ver"]
    assert log_texts(capsys.readouterr().out)[-1] == err(REQ_ID, "ver not matched v0 v2")

    counting.calls = []
    headers, body = make_request(ver="v1")
    sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert counting.calls == ["ver", "token", "key"]


# ---------------------------------------------------------------------------
# In-queue time-out
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("ts", ["abc", "", "1765147170.5", "-1765147170", " 1765147170"])
def test_request_timestamp_not_digits_skips_queue_check(sdk, env, clock, capsys, ts):
    clock(T_MS + 10 ** 9)
    headers, body = make_request(ts=ts, ts_ms=str(T_MS), inq="1")
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert decoded_fields(dec) == FIELDS
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, ts, T_MS, "1")]


@pytest.mark.parametrize("delta, timed_out", [(5000, False), (5001, True), (4999, False), (0, False),
                                               (-5001, False), (10 ** 9, True)])
def test_request_queue_limit_from_seconds(sdk, env, clock, capsys, delta, timed_out):
    clock(T_MS + delta)
    headers, body = make_request(inq="5000")
    lines = [init_line(REQ_ID, REC.ver, T, None, "5000"), inqchk_line(REQ_ID, T_MS, T_MS + delta, 5000, timed_out)]
    if timed_out:
        with pytest.raises(sdk.VQToSpecRetryNotifyException) as ei:
            sdk.VQToSpecHTTPReqDecoder(headers, body)
        assert_retry(sdk, ei, "inqueue timeout", "2")
    else:
        assert decoded_fields(sdk.VQToSpecHTTPReqDecoder(headers, body)) == FIELDS
    assert log_texts(capsys.readouterr().out) == lines


def test_request_queue_timeout_before_signature(sdk, env, clock, capsys):
    clock(T_MS + 5001)
    headers, body = make_request(inq="5000", sig="f" * 64)
    with pytest.raises(sdk.VQToSpecRetryNotifyException) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_retry(sdk, ei, "inqueue timeout", "2")
    assert [l[0] for l in log_texts(capsys.readouterr().out)] == ["INFO", "INFO"]


@pytest.mark.parametrize("ts, ts_ms, beg", [
    (str(T), str(T_MS + 250), T_MS + 250),
    ("1", str(T_MS + 250), T_MS + 250),
    ("99999999999", str(T_MS + 250), T_MS + 250),
    (str(T), "", T_MS),
    (str(T), "1765147170250.0", T_MS),
    (str(T), "-1765147170250", T_MS),
    (str(T), "abc", T_MS),
])
def test_request_send_time_from_milliseconds(sdk, env, clock, capsys, ts, ts_ms, beg):
    now = T_MS + 3000
    clock(now)
    headers, body = make_request(ts=ts, ts_ms=ts_ms, inq="2000")
    timed_out = now - beg > 2000
    lines = [init_line(REQ_ID, REC.ver, ts, ts_ms, "2000"), inqchk_line(REQ_ID, beg, now, 2000, timed_out)]
    if timed_out:
        with pytest.raises(sdk.VQToSpecRetryNotifyException):
            sdk.VQToSpecHTTPReqDecoder(headers, body)
    else:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert log_texts(capsys.readouterr().out) == lines


@pytest.mark.parametrize("inq", [None, "", "0", "abc", "-5", "5.0", "00"])
def test_request_without_usable_limit_never_times_out(sdk, env, clock, capsys, inq):
    clock(T_MS + 10 ** 9)
    headers, body = make_request(inq=inq)
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert decoded_fields(dec) == FIELDS
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, T, None, inq),
                                                  inqchk_line(REQ_ID, T_MS, T_MS + 10 ** 9, 0, False)]


def test_request_sent_in_the_future(sdk, env, clock, capsys):
    clock(T_MS - 60000)
    headers, body = make_request(inq="1")
    sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert log_texts(capsys.readouterr().out)[-1] == info(REQ_ID, "inqchk %d %d -60000 1 | timeout False"
                                                          % (T_MS, T_MS - 60000))


# Exact integers: none of these may wrap around at 64 bits.
BIG_CASES = [
    # (ts, ts_ms, inq, now, beg, timeout, timed_out)
    (str(T), None, str(2 ** 64 + 1), T_MS + 5001, T_MS, 2 ** 64 + 1, False),
    (str(T), None, str(2 ** 64), T_MS + 5001, T_MS, 2 ** 64, False),
    (str(T), None, "1" + "0" * 29, T_MS + 10 ** 6, T_MS, 10 ** 29, False),
    (str(T), str(2 ** 64 + T_MS), "5000", T_MS + 5001, 2 ** 64 + T_MS, 5000, False),
    (str(T), "9" * 30, "5000", T_MS, 10 ** 30 - 1, 5000, False),
    ("1" * 30, None, "5000", T_MS, int("1" * 30) * 1000, 5000, False),
    ("0" * 20 + str(T), None, "5000", T_MS + 5001, T_MS, 5000, True),
    (str(T), "0" * 17 + str(T_MS), "0" * 26 + "5000", T_MS + 5001, T_MS, 5000, True),
    (str(T), None, "0" * 30, T_MS + 10 ** 9, T_MS, 0, False),
]


@pytest.mark.parametrize("ts, ts_ms, inq, now, beg, timeout, timed_out", BIG_CASES)
def test_request_queue_integers_are_exact(sdk, env, clock, capsys, ts, ts_ms, inq, now, beg, timeout, timed_out):
    clock(now)
    headers, body = make_request(ts=ts, ts_ms=ts_ms, inq=inq)
    if timed_out:
        with pytest.raises(sdk.VQToSpecRetryNotifyException) as ei:
            sdk.VQToSpecHTTPReqDecoder(headers, body)
        assert_retry(sdk, ei, "inqueue timeout", "2")
    else:
        assert decoded_fields(sdk.VQToSpecHTTPReqDecoder(headers, body)) == FIELDS
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, ts, ts_ms, inq),
                                                  inqchk_line(REQ_ID, beg, now, timeout, timed_out)]


ARABIC = str.maketrans("0123456789", "\u0660\u0661\u0662\u0663\u0664\u0665\u0666\u0667\u0668\u0669")
FULLWIDTH = str.maketrans("0123456789", "".join(chr(0xFF10 + i) for i in range(10)))
DEVANAGARI = str.maketrans("0123456789", "".join(chr(0x0966 + i) for i in range(10)))


@pytest.mark.parametrize("table", [ARABIC, FULLWIDTH, DEVANAGARI], ids=["arabic-indic", "fullwidth", "devanagari"])
def test_request_digits_of_other_scripts(sdk, env, clock, capsys, table):
    ts, ts_ms, inq = str(T).translate(table), str(T_MS + 7).translate(table), "5000".translate(table)
    assert int(ts) == T and int(ts_ms) == T_MS + 7 and int(inq) == 5000
    clock(T_MS + 5008)
    headers, body = make_request(ts=ts, ts_ms=ts_ms, inq=inq)
    with pytest.raises(sdk.VQToSpecRetryNotifyException) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_retry(sdk, ei, "inqueue timeout", "2")
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, ts, ts_ms, inq),
                                                  inqchk_line(REQ_ID, T_MS + 7, T_MS + 5008, 5000, True)]
    # Signed over the header texts as received.
    clock(T_MS + 5007)
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert decoded_fields(dec) == FIELDS


@pytest.mark.parametrize("which", ["ts", "ts_ms", "inq"])
@pytest.mark.parametrize("value", ["\u00b2", str(T) + "\u00b9", "\u2070\u00b9"])
def test_request_superscript_digit_in_time_header(sdk, env, clock, capsys, which, value):
    clock(T_MS)
    kwargs = {"ts": str(T), "ts_ms": str(T_MS), "inq": "5000"}
    kwargs[which] = value
    headers, body = make_request(**kwargs)
    assert sdk.is_digit_str(value) is True
    try:
        int(value)
    except ValueError as e:
        expected = str(e)
    with pytest.raises(ValueError) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert type(ei.value) is ValueError
    assert str(ei.value) == expected
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, kwargs["ts"], kwargs["ts_ms"],
                                                            kwargs["inq"])]


def test_request_superscript_ms_ignored_when_seconds_not_digits(sdk, env, clock, capsys):
    clock(T_MS)
    headers, body = make_request(ts="x", ts_ms="\u00b2", inq="\u00b3")
    assert decoded_fields(sdk.VQToSpecHTTPReqDecoder(headers, body)) == FIELDS


# ---------------------------------------------------------------------------
# Signature
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("case", ["upper-case", "other-token", "truncated", "bytes", "int", "extra-char",
                                  "other-body", "other-nonce"])
def test_request_invalid_signature(sdk, env, clock, capsys, case):
    clock(T_MS)
    headers, body = make_request()
    good = headers[2][1]
    received = {
        "upper-case": good.upper(),
        "other-token": wire.sign(derived("inbound", "other"), body, str(T), "123456789", REC.ver),
        "truncated": good[:63],
        "bytes": good.encode("ascii"),
        "int": 1,
        "extra-char": good + "0",
        "other-body": good,
        "other-nonce": good,
    }[case]
    headers[2] = ("vq-signature", received)
    if case == "other-body":
        body = wire.encrypt(REC.encoding_aes_key, PLAIN + " ")
    if case == "other-nonce":
        headers[3] = ("vq-nonce", "123456780")
    expected = wire.sign(REC.token, body, str(T), headers[3][1], REC.ver)
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "Invalid signature")
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, T),
                                                  inqchk_line(REQ_ID, T_MS, T_MS, 0, False),
                                                  err("", BAD_SIGN + " " + expected[:8] + "...")]


class _Str(str):
    pass


def test_request_signature_str_subclass_matches(sdk, env, clock):
    clock(T_MS)
    headers, body = make_request()
    headers[2] = ("vq-signature", _Str(headers[2][1]))
    assert decoded_fields(sdk.VQToSpecHTTPReqDecoder(headers, body)) == FIELDS


# ---------------------------------------------------------------------------
# Body
# ---------------------------------------------------------------------------

def test_request_empty_object_defaults(sdk, env, clock):
    clock(T_MS)
    headers, body = make_request(plain="{}")
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    values = decoded_fields(dec)
    assert values == ("", 0, "", 0, False, "", "", "")
    assert [type(v) for v in values] == [str, int, str, int, bool, str, str, str]


def test_request_null_is_not_the_default(sdk, env, clock):
    clock(T_MS)
    plain = json.dumps(dict((k, None) for k in ("corpid", "agentid", "data", "call_type", "is_async",
                                                "job_info", "ability_id", "notify_id")))
    headers, body = make_request(plain=plain)
    assert decoded_fields(sdk.VQToSpecHTTPReqDecoder(headers, body)) == (None,) * 8


def test_request_values_taken_as_parsed(sdk, env, clock):
    clock(T_MS)
    plain = json.dumps({"agentid": "12", "data": {"nested": [1]}, "is_async": 1, "call_type": 1.5,
                        "corpid": ["c"], "extra": "ignored"})
    headers, body = make_request(plain=plain)
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert decoded_fields(dec) == (["c"], "12", {"nested": [1]}, 1.5, 1, "", "", "")
    assert not hasattr(dec, "extra")


def test_request_empty_body_fails_at_parsing(sdk, env, clock, capsys):
    clock(T_MS)
    headers, body = make_request(body="")
    try:
        json.loads("")
    except ValueError as e:
        expected_type, expected = type(e), str(e)
    with pytest.raises(ValueError) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert type(ei.value) is expected_type and str(ei.value) == expected
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, T),
                                                  inqchk_line(REQ_ID, T_MS, T_MS, 0, False)]


@pytest.mark.parametrize("plain", ["not json", "{\"a\": 1", "[1, 2]", "\"text\"", "5", "null"])
def test_request_body_not_a_json_object(sdk, env, clock, capsys, plain):
    clock(T_MS)
    headers, body = make_request(plain=plain)
    try:
        json.loads(plain).get("corpid", "")
    except (ValueError, AttributeError) as e:
        expected_type, expected = type(e), str(e)
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert type(ei.value) is expected_type and str(ei.value) == expected
    assert len(log_texts(capsys.readouterr().out)) == 2


@pytest.mark.parametrize("body", ["bm90IGEgY2lwaGVyIHRleHQ=", "abc", "A" * 24])
def test_request_body_not_decryptable(sdk, env, clock, capsys, body):
    clock(T_MS)
    headers, body = make_request(body=body)
    with pytest.raises(ValueError):
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert len(log_texts(capsys.readouterr().out)) == 2


def test_request_body_with_line_breaks(sdk, env, clock):
    clock(T_MS)
    wire_text = wire.encrypt(REC.encoding_aes_key, PLAIN)
    broken = "\n".join(wire_text[i:i + 40] for i in range(0, len(wire_text), 40))
    headers, body = make_request(body=broken)
    assert decoded_fields(sdk.VQToSpecHTTPReqDecoder(headers, body)) == FIELDS


# ---------------------------------------------------------------------------
# Secret record in force
# ---------------------------------------------------------------------------

def test_request_without_secret_record(sdk, empty_env, clock, capsys):
    clock(T_MS)
    headers, body = make_request()
    with pytest.raises(AttributeError) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert "'ver'" in str(ei.value)
    assert log_texts(capsys.readouterr().out) == [init_line(REQ_ID, REC.ver, T)]


def test_request_secret_load_failure_passes_through(sdk, monkeypatch, tmp_path, clock, capsys):
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "absent_secret_key"))
    monkeypatch.setattr(sdk, "spec_env", sdk.SpecEnv())
    clock(T_MS)
    headers, body = make_request()
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "secret_key file not exists")
    assert log_texts(capsys.readouterr().out) == [
        init_line(REQ_ID, REC.ver, T), err("", "not in spec env, use *spec_open_debug_mode* for debug"),
        err("", "load secret_key exception: file not exists")]


@pytest.mark.parametrize("mode", ["debug", "normal"])
def test_request_uses_record_of_the_mode(sdk, use_env, clock, mode):
    use_env(DEBUG_REC, mode)
    clock(T_MS)
    headers, body = make_request(rec=DEBUG_REC)
    assert decoded_fields(sdk.VQToSpecHTTPReqDecoder(headers, body)) == FIELDS
    headers, body = make_request(rec=REC)
    with pytest.raises(sdk.VQToSpecRetryNotifyException):
        sdk.VQToSpecHTTPReqDecoder(headers, body)


# ---------------------------------------------------------------------------
# Argument and header-list failures
# ---------------------------------------------------------------------------

class _List(list):
    pass


@pytest.mark.parametrize("args, name, expected, type_name", [
    ((tuple(), ""), "headers", "list", "tuple"),
    (({}, ""), "headers", "list", "dict"),
    ((None, ""), "headers", "list", "NoneType"),
    ((_List(), ""), "headers", "list", "_List"),
    (([], b""), "body", "str", "bytes"),
    (([], None), "body", "str", "NoneType"),
    (([], _Str("")), "body", "str", "_Str"),
    ((None, None), "headers", "list", "NoneType"),
])
def test_request_type_errors(sdk, env, capsys, args, name, expected, type_name):
    with pytest.raises(TypeError) as ei:
        sdk.VQToSpecHTTPReqDecoder(*args)
    assert str(ei.value) == TYPE_MSG % (name, expected, type_name)
    assert capsys.readouterr().out == ""


def _unpack_error(element):
    """What `name, value = element` raises in this interpreter."""
    try:
        name, value = element
    except (TypeError, ValueError) as e:
        return type(e), str(e)
    raise AssertionError("unpacked")


@pytest.mark.parametrize("element", [("vq-nonce", "1", "x"), ["a", "b", "c"], "abc", ("vq-nonce",), "a", (), [], "",
                                     5, None, {"a": 1}, b"x"])
def test_request_header_element_not_a_pair(sdk, env, capsys, element):
    # The interpreter's own unpacking error; the members set by earlier
    # elements stay set, the later ones keep their initial values.
    headers, body = make_request()
    headers.insert(3, element)
    kind, message = _unpack_error(element)
    dec = sdk.VQToSpecHTTPReqDecoder.__new__(sdk.VQToSpecHTTPReqDecoder)
    with pytest.raises(kind) as ei:
        dec.__init__(headers, body)
    assert type(ei.value) is kind and str(ei.value) == message
    assert (dec._header_ver, dec._header_signature, dec._header_nonce, dec._header_req_id) == \
        (REC.ver, headers[2][1], None, "")
    assert list(vars(dec)) == ["headers", "body", "_header_ver", "_header_signature", "_header_nonce",
                               "_header_timestamp", "_header_req_id", "_header_timestamp_ms",
                               "_header_inqueue_timeout_ms"]
    assert capsys.readouterr().out == ""


def test_request_header_names_compared_with_all_seven(sdk, env, clock, capsys):
    # A name object's lower() result is compared with every one of the seven
    # names, in order, for every element; each equal one is set.
    clock(T_MS)
    seen = []

    class Lowered(object):
        def __eq__(self, other):
            seen.append(other)
            return other in ("vq-nonce", "vq-req-id")

    class Name(object):
        def lower(self):
            return Lowered()

    headers, body = make_request()
    dec = sdk.VQToSpecHTTPReqDecoder.__new__(sdk.VQToSpecHTTPReqDecoder)
    with pytest.raises(Exception, match="^Invalid signature$"):
        dec.__init__(headers + [(Name(), "77")], body)
    assert seen == ["vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp", "vq-timestamp-ms", "vq-req-id",
                    "vq-inqueue-timeout-ms"]
    assert (dec._header_nonce, dec._header_req_id) == ("77", "77")


def test_request_header_name_without_lower(sdk, env, capsys):
    headers, body = make_request()
    headers.insert(1, (5, "x"))
    with pytest.raises(AttributeError) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert "lower" in str(ei.value)
    assert capsys.readouterr().out == ""


def test_request_bytes_header_name_matches_nothing(sdk, env, capsys):
    headers, body = make_request()
    headers = [(n.encode("ascii") if n == "vq-nonce" else n, v) for n, v in headers]
    with pytest.raises(Exception) as ei:
        sdk.VQToSpecHTTPReqDecoder(headers, body)
    assert_exception(ei, "Invalid header")


def test_request_header_pairs_as_lists(sdk, env, clock):
    clock(T_MS)
    headers, body = make_request()
    dec = sdk.VQToSpecHTTPReqDecoder([list(h) for h in headers], body)
    assert decoded_fields(dec) == FIELDS


# ---------------------------------------------------------------------------
# VQToSpecHTTPRspConstructor
# ---------------------------------------------------------------------------

NORMAL_ORDER = ["Accept", "Content-Type", "vq-status", "vq-secret-ver", "vq-signature", "vq-nonce",
                "vq-timestamp", "Content-Length"]
EXCEPTION_ORDER = ["Accept", "Content-Type", "vq-status", "vq-secret-ver-expected", "Content-Length"]
ANSWER = '{"errcode": 0, "result": "\u4e2d\u6587"}'


@pytest.mark.parametrize("mode, rec", [("debug", DEBUG_REC), ("normal", REC)])
def test_answer_normal_header(sdk, use_env, frozen_clock, capsys, mode, rec):
    use_env(rec, mode)
    rsp = sdk.VQToSpecHTTPRspConstructor(ANSWER)
    encoded = wire.encrypt(rec.encoding_aes_key, ANSWER)
    assert rsp.get_encoded_body() == encoded and rsp.encoded_body == encoded and rsp.data == ANSWER
    frozen_clock(1765147170.9)
    random.seed(99)
    headers = rsp.get_normal_header()
    random.seed(99)
    nonce = str(random.randrange(2147483647))
    assert type(headers) is dict
    assert list(headers) == NORMAL_ORDER
    assert headers == {
        "Accept": "*/*",
        "Content-Type": "application/json",
        "vq-status": "0",
        "vq-secret-ver": rec.ver,
        "vq-signature": wire.sign(rec.token, encoded, "1765147170", nonce, rec.ver),
        "vq-nonce": nonce,
        "vq-timestamp": "1765147170",
        "Content-Length": str(len(encoded)),
    }
    assert capsys.readouterr().out == ""


def test_answer_two_normal_headers(sdk, env, frozen_clock):
    rsp = sdk.VQToSpecHTTPRspConstructor(data=ANSWER)
    frozen_clock(1765147170.1)
    random.seed(5)
    a, b = rsp.get_normal_header(), rsp.get_normal_header()
    for name in ("Content-Length", "vq-secret-ver", "vq-timestamp", "vq-status"):
        assert a[name] == b[name]
    assert a["vq-nonce"] != b["vq-nonce"] and a["vq-signature"] != b["vq-signature"]
    for h in (a, b):
        assert h["vq-signature"] == wire.sign(REC.token, rsp.get_encoded_body(), h["vq-timestamp"],
                                              h["vq-nonce"], REC.ver)


def test_answer_nonce_range(sdk, env):
    rsp = sdk.VQToSpecHTTPRspConstructor("{}")
    for _ in range(200):
        nonce = rsp.get_normal_header()["vq-nonce"]
        assert nonce == str(int(nonce)) and 0 <= int(nonce) < 2147483647


@pytest.mark.parametrize("mode, rec", [("debug", DEBUG_REC), ("normal", REC)])
@pytest.mark.parametrize("status", ["1", "2", "0", "", "custom status"])
def test_answer_exception_header(sdk, use_env, capsys, mode, rec, status):
    use_env(rec, mode)
    rsp = sdk.VQToSpecHTTPRspConstructor(ANSWER)
    headers = rsp.get_exception_header(status)
    assert list(headers) == EXCEPTION_ORDER
    assert headers == {
        "Accept": "*/*",
        "Content-Type": "application/json",
        "vq-status": status,
        "vq-secret-ver-expected": rec.ver,
        "Content-Length": str(len(wire.encrypt(rec.encoding_aes_key, ANSWER))),
    }
    assert rsp.get_retry_notify_header(status) == headers
    assert rsp.get_retry_notify_header(status=status) == rsp.get_exception_header(status=status)
    assert capsys.readouterr().out == ""


def test_answer_retry_notify_default_status(sdk, env):
    rsp = sdk.VQToSpecHTTPRspConstructor("")
    headers = rsp.get_retry_notify_header()
    assert list(headers) == EXCEPTION_ORDER
    assert headers["vq-status"] == "1"
    assert headers == rsp.get_exception_header("1")


def test_answer_exception_header_needs_status(sdk, env):
    rsp = sdk.VQToSpecHTTPRspConstructor("")
    with pytest.raises(TypeError) as ei:
        rsp.get_exception_header()
    assert "status" in str(ei.value)


def test_answer_empty_data(sdk, env, frozen_clock):
    rsp = sdk.VQToSpecHTTPRspConstructor("")
    assert rsp.get_encoded_body() == ""
    frozen_clock(1765147170.0)
    headers = rsp.get_normal_header()
    assert headers["Content-Length"] == "0"
    assert headers["vq-signature"] == wire.sign(REC.token, "", "1765147170", headers["vq-nonce"], REC.ver)
    assert rsp.get_exception_header("2")["Content-Length"] == "0"


@pytest.mark.parametrize("call, name", [
    (lambda sdk, rsp: sdk.VQToSpecHTTPRspConstructor(5), "data"),
    (lambda sdk, rsp: sdk.VQToSpecHTTPRspConstructor(None), "data"),
    (lambda sdk, rsp: sdk.VQToSpecHTTPRspConstructor(b"x"), "data"),
    (lambda sdk, rsp: rsp.get_exception_header(2), "status"),
    (lambda sdk, rsp: rsp.get_exception_header(None), "status"),
    (lambda sdk, rsp: rsp.get_retry_notify_header(1), "status"),
    (lambda sdk, rsp: rsp.get_retry_notify_header(b"1"), "status"),
])
def test_answer_type_errors(sdk, env, capsys, call, name):
    rsp = sdk.VQToSpecHTTPRspConstructor("x")
    with pytest.raises(TypeError) as ei:
        call(sdk, rsp)
    assert str(ei.value).startswith("Argument '%s' has incorrect type (expected str, got " % name)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("data", ["x", ""])
def test_answer_without_secret_record(sdk, empty_env, capsys, data):
    # The key is asked for even when the empty body needs none.
    with pytest.raises(AttributeError) as ei:
        sdk.VQToSpecHTTPRspConstructor(data)
    assert "'encoding_aes_key'" in str(ei.value)
    assert capsys.readouterr().out == ""


def test_answer_headers_without_secret_record(sdk, env, monkeypatch, capsys):
    # Built under a record; the headers are asked once none is in force.
    rsp = sdk.VQToSpecHTTPRspConstructor("x")
    empty = sdk.SpecEnv()
    with pytest.raises(Exception):
        empty.open_debug_mode("", ACCESS)
    monkeypatch.setattr(sdk, "spec_env", empty)
    capsys.readouterr()
    with pytest.raises(AttributeError) as ei:
        rsp.get_normal_header()
    assert "'token'" in str(ei.value)
    with pytest.raises(AttributeError) as ei:
        rsp.get_exception_header("1")
    assert "'ver'" in str(ei.value)
    assert capsys.readouterr().out == ""


def test_answer_to_decoded_request_round_trip(sdk, env, clock):
    """Decode a call, answer it, and check the answer on the platform side."""
    clock(T_MS)
    headers, body = make_request()
    dec = sdk.VQToSpecHTTPReqDecoder(headers, body)
    rsp = sdk.VQToSpecHTTPRspConstructor(dec.get_data())
    answer = rsp.get_normal_header()
    assert wire.decrypt(REC.encoding_aes_key, rsp.get_encoded_body()) == dec.get_data()
    assert wire.sign(REC.token, rsp.get_encoded_body(), answer["vq-timestamp"], answer["vq-nonce"],
                     answer["vq-secret-ver"]) == answer["vq-signature"]
    assert answer["vq-timestamp"] == str(T)


# ---------------------------------------------------------------------------
# VQToSpecRetryNotifyException
# ---------------------------------------------------------------------------

def test_retry_exception_default_status(sdk):
    exc = sdk.VQToSpecRetryNotifyException("please retry")
    assert exc.GetStatus() == "1" and exc.status == "1"
    assert exc.message == "please retry"
    assert str(exc) == "please retry" and exc.args == ("please retry",)
    assert isinstance(exc, Exception)
    assert issubclass(sdk.VQToSpecRetryNotifyException, Exception)


@pytest.mark.parametrize("args, kwargs", [(("m", "2"), {}), (("m",), {"status": "2"}),
                                          ((), {"message": "m", "status": "2"})])
def test_retry_exception_status(sdk, args, kwargs):
    exc = sdk.VQToSpecRetryNotifyException(*args, **kwargs)
    assert exc.GetStatus() == "2" and str(exc) == "m"


def test_retry_exception_raise_and_catch(sdk):
    with pytest.raises(Exception) as ei:
        raise sdk.VQToSpecRetryNotifyException("inqueue timeout", "2")
    assert ei.value.GetStatus() == "2"


@pytest.mark.parametrize("args, name, type_name", [
    ((1,), "message", "int"), ((None, "1"), "message", "NoneType"), (("m", 1), "status", "int"),
    (("m", None), "status", "NoneType"),
])
def test_retry_exception_type_errors(sdk, args, name, type_name):
    with pytest.raises(TypeError) as ei:
        sdk.VQToSpecRetryNotifyException(*args)
    assert str(ei.value) == TYPE_MSG % (name, "str", type_name)


# ---------------------------------------------------------------------------
# spec_make_internal_error_rsp_data
# ---------------------------------------------------------------------------

INTERNAL_CASES = load_vectors("internal_error.json")["cases"]


@pytest.mark.parametrize("case", INTERNAL_CASES, ids=[repr(c["errmsg"]) for c in INTERNAL_CASES])
def test_internal_error_vectors(sdk, case):
    assert sdk.spec_make_internal_error_rsp_data(case["errmsg"]) == case["json"]


def test_internal_error_boom(sdk):
    out = sdk.spec_make_internal_error_rsp_data(errmsg="boom")
    assert out == '{"errcode": 710660, "errmsg": "boom"}'
    assert len(out) == 37


@pytest.mark.parametrize("errmsg", ["\x00\x01\x1f", "\x7f", "\t\r\b\f/", "\u2028\ufeff", "\U0001F600x",
                                    "\u00e9\u4e2d", "a" * 1000])
def test_internal_error_matches_json_dumps(sdk, errmsg):
    out = sdk.spec_make_internal_error_rsp_data(errmsg)
    assert out == json.dumps({"errcode": 710660, "errmsg": errmsg})
    assert all(" " <= c <= "~" for c in out)


@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), (1, "int"), (b"boom", "bytes")])
def test_internal_error_type_errors(sdk, value, type_name):
    with pytest.raises(TypeError) as ei:
        sdk.spec_make_internal_error_rsp_data(value)
    assert str(ei.value) == TYPE_MSG % ("errmsg", "str", type_name)


# ---- the module's own functions, replaced ------------------------------------------------------

def _decode_good(sdk):
    sdk.VQToSpecHTTPReqDecoder(*make_request())


def _decode_bad_signature(sdk):
    with pytest.raises(Exception):
        sdk.VQToSpecHTTPReqDecoder(*make_request(sig="0" * 64))


def _decode_other_ver(sdk):
    with pytest.raises(sdk.VQToSpecRetryNotifyException):
        sdk.VQToSpecHTTPReqDecoder(*make_request(ver="99"))


REPLACED = [
    # (name, what the SDK does, the arguments the replacement is called with first)
    ("spec_log_info_with_req_id", _decode_good, lambda: (REQ_ID, INIT, "ver", REC.ver, str(T), None, None)),
    ("spec_log_error", _decode_bad_signature, None),
    ("spec_log_error_with_req_id", _decode_other_ver, lambda: (REQ_ID, "ver not matched", "99", REC.ver)),
    ("spec_log_info", lambda sdk: sdk.SecretInfo().parse_from_string("1,tok,key,prog"),
     lambda: ("parse secret", "1", 3, 3, "prog")),
    ("get_signature", _decode_good, lambda: (REC.token, make_request()[1], str(T), "123456789", REC.ver)),
    ("decrypt_body", _decode_good, lambda: (REC.encoding_aes_key, make_request()[1])),
    ("encrypt_body", lambda sdk: sdk.VQToSpecHTTPRspConstructor("{}"), lambda: (REC.encoding_aes_key, "{}")),
    ("is_digit_str", _decode_good, lambda: (str(T),)),
    ("is_spec_env", lambda sdk: sdk.SpecEnv().open_debug_mode(REC.debug_token(), ACCESS), lambda: ()),
]


@pytest.mark.parametrize("name,action,first_args", REPLACED, ids=[c[0] for c in REPLACED])
def test_replaced_module_function_is_used(sdk, env, clock, monkeypatch, capsys, name, action, first_args):
    # As in an interpreted module, the SDK's own code finds the function in
    # the module's namespace when it runs.
    clock(T_MS)
    original, calls = getattr(sdk, name), []

    def recorder(*args):
        calls.append(args)
        return original(*args)

    monkeypatch.setattr(sdk, name, recorder)
    action(sdk)
    assert calls and (first_args is None or calls[0] == first_args()), calls
    monkeypatch.setattr(sdk, name, original)
    del calls[:]
    action(sdk)
    assert calls == []


def test_replaced_functions_results_are_used(sdk, env, clock, monkeypatch, capsys):
    clock(T_MS)
    headers, body = make_request(sig="f" * 64)
    monkeypatch.setattr(sdk, "get_signature", lambda *a: "f" * 64)
    monkeypatch.setattr(sdk, "decrypt_body", lambda key, body: '{"corpid": "swapped"}')
    assert sdk.VQToSpecHTTPReqDecoder(headers, body).get_corpid() == "swapped"
    monkeypatch.setattr(sdk, "encrypt_body", lambda key, body: "ENC:" + body)
    assert sdk.VQToSpecHTTPRspConstructor("x").get_encoded_body() == "ENC:x"
    monkeypatch.delattr(sdk, "encrypt_body")
    with pytest.raises(NameError, match="^name 'encrypt_body' is not defined$"):
        sdk.VQToSpecHTTPRspConstructor("x")


def test_replaced_json_writer_is_used(sdk, monkeypatch):
    calls, real_dumps = [], json.dumps

    class Json(object):
        loads = staticmethod(json.loads)

        @staticmethod
        def dumps(obj):
            calls.append(obj)
            return "J" + real_dumps(obj)

    standard = sdk.CorpModelCallBack("c", 1, "a", "j", "d").to_json()
    monkeypatch.setattr(sdk, "json", Json)
    assert sdk.CorpModelCallBack("c", 1, "a", "j", "d").to_json() == "J" + standard
    assert sdk.spec_make_internal_error_rsp_data("e") == 'J{"errcode": 710660, "errmsg": "e"}'
    monkeypatch.setattr(sdk, "json", json)
    monkeypatch.setattr(json, "dumps", Json.dumps)
    assert sdk.spec_make_internal_error_rsp_data("e") == 'J{"errcode": 710660, "errmsg": "e"}'
    assert len(calls) == 3
