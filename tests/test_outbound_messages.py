"""Outbound messages: the signed request and the decoding of the answer.

The module's spec_env is swapped for a fresh SpecEnv per test: either normal
mode over a temporary secret file, or debug mode opened with a debug token.
Expected signatures and cipher texts come from simulator.wire.
"""
import random

import pytest

from conftest import TYPE_MSG, derived, install_env, log_texts
from simulator import wire


NORMAL_ORDER = ["Accept", "Content-Type", "vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp",
                "vq-program-id", "vq-req-id", "vq-spec-sdk-version", "Content-Length"]
DEBUG_ORDER = NORMAL_ORDER + ["vq-spec-trans-api"]



FILE_REC = wire.SecretRecord("3", derived("outbound", "file-token"), wire.make_key_text("outbound-file"), "prog-file")
DEBUG_REC = wire.SecretRecord("8", derived("outbound", "debug-token"), wire.make_key_text("outbound-debug"), "prog-debug")
OTHER_TOKEN = derived("outbound", "other-token")
ACCESS = derived("outbound", "access")
REQ_ID = "Ab3dEf7hIj9kLmN0"
CGI = "/cgi-bin/chatdata/echo"


def err(text):
    return ("ERR", "", text)


def assert_exception(excinfo, message):
    assert type(excinfo.value) is Exception
    assert excinfo.value.args == (message,)


@pytest.fixture
def no_secret_file(sdk, tmp_path, monkeypatch):
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "absent_secret_key"))


@pytest.fixture
def normal_env(sdk, tmp_path, monkeypatch, capsys):
    """A fresh SpecEnv in normal mode over a secret file holding FILE_REC."""
    env = install_env(sdk, monkeypatch, tmp_path, FILE_REC, "normal", ACCESS)
    capsys.readouterr()
    return env


@pytest.fixture
def debug_env(sdk, no_secret_file, tmp_path, monkeypatch, capsys):
    """A fresh SpecEnv in debug mode with DEBUG_REC."""
    env = install_env(sdk, monkeypatch, tmp_path, DEBUG_REC, "debug", ACCESS)
    capsys.readouterr()
    return env


@pytest.fixture
def empty_debug_env(sdk, no_secret_file, monkeypatch, capsys):
    """Debug mode whose debug token was refused: no secret record in force."""
    env = sdk.SpecEnv()
    with pytest.raises(Exception):
        env.open_debug_mode("", ACCESS)
    monkeypatch.setattr(sdk, "spec_env", env)
    capsys.readouterr()
    return env


@pytest.fixture
def unloaded_env(sdk, no_secret_file, monkeypatch, capsys):
    """Normal mode, nothing loaded yet, no secret file."""
    env = sdk.SpecEnv()
    monkeypatch.setattr(sdk, "spec_env", env)
    capsys.readouterr()
    return env


def call_body(sdk, data='{"q": "hi"}'):
    return sdk.CorpModelCallBack("corp1", 1000002, "ab-1", "job-7", data)


# ---------------------------------------------------------------------------
# SpecToVQHTTPReqConstructor
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("mode", ["normal", "debug"])
def test_request_headers(sdk, request, capsys, frozen_clock, mode):
    rec = FILE_REC if mode == "normal" else DEBUG_REC
    request.getfixturevalue(mode + "_env")
    body = call_body(sdk)
    frozen_clock(1765147170.9)
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, body)
    random.seed(4242)
    headers = ctor.get_normal_header()
    random.seed(4242)
    nonce = str(random.randrange(2147483647))

    encoded = wire.encrypt(rec.encoding_aes_key, body.to_json())
    assert ctor.get_encoded_body() == encoded
    assert ctor.encoded_body == encoded
    assert wire.decrypt(rec.encoding_aes_key, encoded) == body.to_json()
    assert type(headers) is dict
    assert list(headers) == (NORMAL_ORDER if mode == "normal" else DEBUG_ORDER)
    expected = {
        "Accept": "*/*",
        "Content-Type": "application/json",
        "vq-secret-ver": rec.ver,
        "vq-signature": wire.sign(rec.token, encoded, "1765147170", nonce, rec.ver),
        "vq-nonce": nonce,
        "vq-timestamp": "1765147170",
        "vq-program-id": rec.program_id,
        "vq-req-id": REQ_ID,
        "vq-spec-sdk-version": "python-1.2.3",
        "Content-Length": str(len(encoded)),
    }
    if mode == "debug":
        expected["vq-spec-trans-api"] = CGI
    assert headers == expected
    for value in headers.values():
        assert type(value) is str
    assert capsys.readouterr().out == ""


def test_request_fields(sdk, normal_env):
    body = call_body(sdk)
    ctor = sdk.SpecToVQHTTPReqConstructor(req_id=REQ_ID, cgi_path=CGI, body=body)
    assert ctor.req_id == REQ_ID
    assert ctor.cgi_path == CGI
    assert ctor.body is body


@pytest.mark.parametrize("seconds, text", [
    (1765147170.9, "1765147170"), (1765147170.0, "1765147170"), (1765147170.999999, "1765147170"),
    (1765147171, "1765147171"), (0.5, "0"),
])
def test_request_timestamp_is_cut_not_rounded(sdk, normal_env, frozen_clock, seconds, text):
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    frozen_clock(seconds)
    headers = ctor.get_normal_header()
    assert headers["vq-timestamp"] == text
    assert headers["vq-signature"] == wire.sign(FILE_REC.token, ctor.get_encoded_body(), text,
                                                headers["vq-nonce"], FILE_REC.ver)


def test_request_nonces_follow_process_generator(sdk, normal_env, frozen_clock):
    frozen_clock(1765147170.25)
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    random.seed(7)
    first, second = ctor.get_normal_header(), ctor.get_normal_header()
    random.seed(7)
    draws = [str(random.randrange(2147483647)) for _ in range(2)]
    assert [first["vq-nonce"], second["vq-nonce"]] == draws
    assert first["vq-nonce"] != second["vq-nonce"]
    assert first["vq-signature"] != second["vq-signature"]
    for name in ("vq-secret-ver", "vq-program-id", "vq-req-id", "Content-Length", "vq-timestamp"):
        assert first[name] == second[name]


def test_request_nonce_range(sdk, normal_env):
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    for _ in range(200):
        nonce = ctor.get_normal_header()["vq-nonce"]
        assert nonce.isdigit() and nonce == str(int(nonce))
        assert 0 <= int(nonce) <= 2147483646


def test_request_sdk_version_follows_constant(sdk, normal_env, monkeypatch):
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    monkeypatch.setattr(sdk, "SDK_VERSION", "python-9.8.7")
    assert ctor.get_normal_header()["vq-spec-sdk-version"] == "python-9.8.7"


@pytest.mark.parametrize("data", ["", "{}", "x" * 200, '{"t": "\u4e2d\u6587 \U0001F600"}'])
def test_request_content_length(sdk, normal_env, data):
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk, data))
    encoded = ctor.get_encoded_body()
    assert encoded == wire.encrypt(FILE_REC.encoding_aes_key, call_body(sdk, data).to_json())
    assert ctor.get_normal_header()["Content-Length"] == str(len(encoded))


def test_request_same_inputs_same_body(sdk, normal_env):
    a = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    b = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    assert a.get_encoded_body() == b.get_encoded_body()


def test_request_empty_path_in_debug_mode(sdk, debug_env):
    headers = sdk.SpecToVQHTTPReqConstructor("", "", call_body(sdk)).get_normal_header()
    assert list(headers) == DEBUG_ORDER
    assert headers["vq-spec-trans-api"] == "" and headers["vq-req-id"] == ""


def test_request_headers_follow_env_at_header_time(sdk, normal_env, capsys, monkeypatch, frozen_clock):
    body = call_body(sdk)
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, body)
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", sdk.SECRET_KEY_FILE_PATH + ".absent")
    debug = sdk.SpecEnv()
    debug.open_debug_mode(DEBUG_REC.debug_token(), ACCESS)
    monkeypatch.setattr(sdk, "spec_env", debug)
    frozen_clock(1765147170.5)
    headers = ctor.get_normal_header()
    # The body keeps the key of the moment of construction; the headers follow the new record.
    assert ctor.get_encoded_body() == wire.encrypt(FILE_REC.encoding_aes_key, body.to_json())
    assert list(headers) == DEBUG_ORDER
    assert headers["vq-secret-ver"] == DEBUG_REC.ver
    assert headers["vq-program-id"] == DEBUG_REC.program_id
    assert headers["vq-signature"] == wire.sign(DEBUG_REC.token, ctor.get_encoded_body(), "1765147170",
                                                headers["vq-nonce"], DEBUG_REC.ver)


class _Str(str):
    pass


@pytest.mark.parametrize("args, name, type_name", [
    ((123, CGI), "req_id", "int"),
    ((None, CGI), "req_id", "NoneType"),
    ((_Str(REQ_ID), CGI), "req_id", "_Str"),
    ((REQ_ID, None), "cgi_path", "NoneType"),
    ((REQ_ID, b"/cgi"), "cgi_path", "bytes"),
    ((1, 2), "req_id", "int"),
])
def test_request_type_errors_before_any_secret(sdk, unloaded_env, capsys, args, name, type_name):
    with pytest.raises(TypeError) as ei:
        sdk.SpecToVQHTTPReqConstructor(args[0], args[1], call_body(sdk))
    assert str(ei.value) == TYPE_MSG % (name, "str", type_name)
    assert unloaded_env.init_secret_info is False
    assert capsys.readouterr().out == ""


def test_request_body_without_to_json(sdk, normal_env):
    with pytest.raises(AttributeError) as ei:
        sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, object())
    assert "to_json" in str(ei.value)


def test_request_key_fetched_before_to_json(sdk, unloaded_env, capsys):
    with pytest.raises(Exception) as ei:
        sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, object())
    assert type(ei.value) is Exception
    assert ei.value.args == ("secret_key file not exists",)


def test_request_without_secret_record(sdk, empty_debug_env, capsys):
    with pytest.raises(AttributeError) as ei:
        sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    assert "'encoding_aes_key'" in str(ei.value)
    assert capsys.readouterr().out == ""


def test_request_headers_without_secret_record(sdk, normal_env, capsys, monkeypatch):
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    # The record in force becomes empty between construction and the headers.
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", sdk.SECRET_KEY_FILE_PATH + ".absent")
    empty = sdk.SpecEnv()
    with pytest.raises(Exception):
        empty.open_debug_mode("", ACCESS)
    monkeypatch.setattr(sdk, "spec_env", empty)
    capsys.readouterr()
    with pytest.raises(AttributeError) as ei:
        ctor.get_normal_header()
    assert "'token'" in str(ei.value)
    assert capsys.readouterr().out == ""


def test_request_signs_custom_body_object(sdk, normal_env, frozen_clock):
    class Body(object):
        def to_json(self):
            return '{"custom": true}'

    frozen_clock(1765147170.0)
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, Body())
    headers = ctor.get_normal_header()
    encoded = wire.encrypt(FILE_REC.encoding_aes_key, '{"custom": true}')
    assert ctor.get_encoded_body() == encoded
    assert headers["vq-signature"] == wire.sign(FILE_REC.token, encoded, "1765147170", headers["vq-nonce"],
                                                FILE_REC.ver)


# ---------------------------------------------------------------------------
# SpecToVQHTTPRspDecoder
# ---------------------------------------------------------------------------

PLAIN_ANSWER = '{"errcode": 0, "errmsg": "ok", "echo": "\u4e2d"}'


def signed_answer(rec, plain=PLAIN_ANSWER, status="0", ts="1765147170", nonce="987654321", ver=None,
                  token=None):
    """(headers, body) of a platform answer signed and encrypted with `rec`."""
    ver = rec.ver if ver is None else ver
    body = wire.encrypt(rec.encoding_aes_key, plain)
    sig = wire.sign(rec.token if token is None else token, body, ts, nonce, ver)
    headers = [("Content-Type", "application/json"), ("vq-secret-ver", ver), ("vq-signature", sig),
               ("vq-nonce", nonce), ("vq-timestamp", ts), ("vq-status", status)]
    return headers, body


@pytest.mark.parametrize("mode", ["normal", "debug"])
def test_response_verified(sdk, request, capsys, mode):
    rec = FILE_REC if mode == "normal" else DEBUG_REC
    request.getfixturevalue(mode + "_env")
    headers, body = signed_answer(rec)
    dec = sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert dec.get_rsp_status() == "0"
    assert dec.get_data() == PLAIN_ANSWER
    assert capsys.readouterr().out == ""
    assert dec.status_code == 200 and dec.headers is headers and dec.body == body
    assert (dec._header_ver, dec._header_signature, dec._header_nonce, dec._header_timestamp,
            dec._header_status) == (rec.ver, headers[2][1], "987654321", "1765147170", "0")


def test_response_by_keyword(sdk, normal_env):
    headers, body = signed_answer(FILE_REC)
    dec = sdk.SpecToVQHTTPRspDecoder(body=body, headers=headers, status_code=200)
    assert dec.get_data() == PLAIN_ANSWER


@pytest.mark.parametrize("status", ["1", "42", "-1", "", "abc"])
def test_response_non_zero_status_still_decrypted(sdk, normal_env, capsys, status):
    headers, body = signed_answer(FILE_REC, status=status)
    dec = sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert dec.get_rsp_status() == status
    assert dec.get_data() == PLAIN_ANSWER
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("status_code", [500, 404, 0, -1])
def test_response_http_status_plays_no_part(sdk, normal_env, status_code):
    headers, body = signed_answer(FILE_REC)
    dec = sdk.SpecToVQHTTPRspDecoder(status_code, headers, body)
    assert dec.get_data() == PLAIN_ANSWER
    assert dec.get_rsp_status() == "0"


def test_response_headers_as_lists(sdk, normal_env):
    headers, body = signed_answer(FILE_REC)
    dec = sdk.SpecToVQHTTPRspDecoder(200, [list(h) for h in headers], body)
    assert dec.get_data() == PLAIN_ANSWER


def test_response_signed_version_is_not_the_key_version(sdk, normal_env):
    # The token in force verifies whatever version the answer names.
    headers, body = signed_answer(FILE_REC, ver="99")
    dec = sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert dec.get_data() == PLAIN_ANSWER
    assert dec._header_ver == "99"


@pytest.mark.parametrize("headers, body, status", [
    ([], "hello", "0"),
    ([("Content-Type", "text/plain")], "hello", "0"),
    ([("vq-status", "1")], "hello", "0"),
    ([("vq-nonce", "1"), ("vq-timestamp", "2"), ("vq-status", "7")], "hello", "0"),
    ([], "", "0"),
    ([], "line one\nline two", "0"),
], ids=["no-headers", "other-header", "status-only", "no-ver-no-sig", "empty-body", "line-break"])
def test_response_plain(sdk, unloaded_env, capsys, headers, body, status):
    dec = sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert dec.get_rsp_status() == status
    assert dec.get_data() == body
    assert log_texts(capsys.readouterr().out) == [
        err("no encrypt headers, treat as plain " + body.replace("\n", " "))]
    # Plain answers need no secret record.
    assert unloaded_env.init_secret_info is False


def test_response_capitalised_names_are_not_recognised(sdk, normal_env, capsys):
    headers, body = signed_answer(FILE_REC, status="5")
    capitalised = [(name.replace("vq-", "Vq-").title() if name.startswith("vq-") else name, value)
                   for name, value in headers]
    assert [n for n, _ in capitalised] == ["Content-Type", "Vq-Secret-Ver", "Vq-Signature", "Vq-Nonce",
                                           "Vq-Timestamp", "Vq-Status"]
    dec = sdk.SpecToVQHTTPRspDecoder(200, capitalised, body)
    assert dec.get_rsp_status() == "0"
    assert dec.get_data() == body
    assert log_texts(capsys.readouterr().out) == [err("no encrypt headers, treat as plain " + body)]


@pytest.mark.parametrize("name", [" vq-signature", "vq-signature ", "VQ-SIGNATURE"])
def test_response_names_match_exactly(sdk, normal_env, capsys, name):
    headers, body = signed_answer(FILE_REC)
    headers[2] = (name, headers[2][1])
    # vq-secret-ver is present, vq-signature is not: refused.
    with pytest.raises(Exception) as ei:
        sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert_exception(ei, "Invalid header")


@pytest.mark.parametrize("missing", ["vq-secret-ver", "vq-signature", "vq-nonce", "vq-timestamp", "vq-status"])
@pytest.mark.parametrize("status_code", [200, 500])
def test_response_missing_header(sdk, normal_env, capsys, missing, status_code):
    headers, body = signed_answer(FILE_REC)
    headers = [h for h in headers if h[0] != missing]
    with pytest.raises(Exception) as ei:
        sdk.SpecToVQHTTPRspDecoder(status_code, headers, body)
    assert_exception(ei, "Invalid header")
    assert log_texts(capsys.readouterr().out) == [
        err("SpecToVQHTTPRspDecoder Invalid header %d %s %s" % (status_code, headers, body))]


@pytest.mark.parametrize("name", ["vq-signature", "vq-status"])
def test_response_header_value_none_counts_as_absent(sdk, normal_env, capsys, name):
    headers, body = signed_answer(FILE_REC)
    headers = [(n, None if n == name else v) for n, v in headers]
    with pytest.raises(Exception) as ei:
        sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert_exception(ei, "Invalid header")
    assert log_texts(capsys.readouterr().out) == [
        err("SpecToVQHTTPRspDecoder Invalid header 200 %s %s" % (headers, body))]


def test_response_missing_header_with_list_pairs(sdk, normal_env, capsys):
    headers, body = signed_answer(FILE_REC)
    headers = [list(h) for h in headers if h[0] != "vq-nonce"]
    with pytest.raises(Exception):
        sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert log_texts(capsys.readouterr().out) == [
        err("SpecToVQHTTPRspDecoder Invalid header 200 %s %s" % (headers, body))]


@pytest.mark.parametrize("case", ["other-token", "upper-case", "truncated", "empty", "bytes", "int",
                                  "other-body", "other-nonce"])
def test_response_invalid_signature(sdk, normal_env, capsys, case):
    headers, body = signed_answer(FILE_REC)
    good = headers[2][1]
    received = {
        "other-token": wire.sign(OTHER_TOKEN, body, "1765147170", "987654321", FILE_REC.ver),
        "upper-case": good.upper(),
        "truncated": good[:-1],
        "empty": "",
        "bytes": good.encode("ascii"),
        "int": 5,
        "other-body": good,
        "other-nonce": good,
    }[case]
    headers[2] = ("vq-signature", received)
    if case == "other-body":
        body = wire.encrypt(FILE_REC.encoding_aes_key, PLAIN_ANSWER + " ")
    if case == "other-nonce":
        headers[3] = ("vq-nonce", "987654322")
    computed = wire.sign(FILE_REC.token, body, "1765147170", headers[3][1], FILE_REC.ver)
    with pytest.raises(Exception) as ei:
        sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert_exception(ei, "Invalid signature")
    assert log_texts(capsys.readouterr().out) == [err("Invalid signature %s... %s" % (computed[:8], received))]


def test_response_signature_with_str_subclass_matches(sdk, normal_env):
    headers, body = signed_answer(FILE_REC)
    headers[2] = ("vq-signature", _Str(headers[2][1]))
    assert sdk.SpecToVQHTTPRspDecoder(200, headers, body).get_data() == PLAIN_ANSWER


@pytest.mark.parametrize("name, first, last", [("vq-status", "5", "6"), ("vq-nonce", "1", "987654321")])
def test_response_duplicate_header_last_wins(sdk, normal_env, name, first, last):
    headers, body = signed_answer(FILE_REC)
    index = [n for n, _ in headers].index(name)
    headers[index] = (name, last)
    headers.insert(1, (name, first))
    dec = sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert dec.get_data() == PLAIN_ANSWER
    if name == "vq-status":
        assert dec.get_rsp_status() == "6"


def test_response_duplicate_nonce_wrong_last_fails(sdk, normal_env):
    headers, body = signed_answer(FILE_REC)
    headers.append(("vq-nonce", "1"))
    with pytest.raises(Exception) as ei:
        sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert_exception(ei, "Invalid signature")


def test_response_undecryptable_body(sdk, normal_env, capsys):
    body = "bm90IGEgY2lwaGVyIHRleHQ="  # decodes to 20 bytes: not whole AES blocks
    sig = wire.sign(FILE_REC.token, body, "1", "2", FILE_REC.ver)
    headers = [("vq-secret-ver", FILE_REC.ver), ("vq-signature", sig), ("vq-nonce", "2"),
               ("vq-timestamp", "1"), ("vq-status", "0")]
    with pytest.raises(ValueError):
        sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert capsys.readouterr().out == ""


def test_response_empty_body_signed(sdk, normal_env):
    sig = wire.sign(FILE_REC.token, "", "1", "2", FILE_REC.ver)
    headers = [("vq-secret-ver", FILE_REC.ver), ("vq-signature", sig), ("vq-nonce", "2"),
               ("vq-timestamp", "1"), ("vq-status", "0")]
    assert sdk.SpecToVQHTTPRspDecoder(200, headers, "").get_data() == ""


def test_response_without_secret_record(sdk, empty_debug_env, capsys):
    headers, body = signed_answer(DEBUG_REC)
    with pytest.raises(AttributeError) as ei:
        sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert "'token'" in str(ei.value)
    assert capsys.readouterr().out == ""


def test_response_secret_load_failure_passes_through(sdk, unloaded_env, capsys):
    headers, body = signed_answer(FILE_REC)
    with pytest.raises(Exception) as ei:
        sdk.SpecToVQHTTPRspDecoder(200, headers, body)
    assert_exception(ei, "secret_key file not exists")


@pytest.mark.parametrize("args, name, expected, type_name", [
    ((True, [], ""), "status_code", "int", "bool"),
    (("200", [], ""), "status_code", "int", "str"),
    ((200.0, [], ""), "status_code", "int", "float"),
    ((200, (("vq-status", "0"),), ""), "headers", "list", "tuple"),
    ((200, {"vq-status": "0"}, ""), "headers", "list", "dict"),
    ((200, None, ""), "headers", "list", "NoneType"),
    ((200, [], b"hello"), "body", "str", "bytes"),
    ((200, [], None), "body", "str", "NoneType"),
    ((None, None, None), "status_code", "int", "NoneType"),
    ((200, (), None), "headers", "list", "tuple"),
])
def test_response_type_errors(sdk, unloaded_env, capsys, args, name, expected, type_name):
    with pytest.raises(TypeError) as ei:
        sdk.SpecToVQHTTPRspDecoder(*args)
    assert str(ei.value) == TYPE_MSG % (name, expected, type_name)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("element, message", [
    (("vq-status", "0", "x"), "too many values to unpack (expected 2)"),
    (["a", "b", "c", "d"], "too many values to unpack (expected 2)"),
    ("abc", "too many values to unpack (expected 2)"),
    (("vq-status",), "need more than 1 value to unpack"),
    ("a", "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    ([], "need more than 0 values to unpack"),
])
def test_response_header_element_not_a_pair(sdk, unloaded_env, capsys, element, message):
    headers, body = signed_answer(FILE_REC)
    headers.insert(2, element)
    dec = sdk.SpecToVQHTTPRspDecoder.__new__(sdk.SpecToVQHTTPRspDecoder)
    with pytest.raises(ValueError) as ei:
        dec.__init__(200, headers, body)
    assert type(ei.value) is ValueError
    assert str(ei.value) == message
    # the members set by earlier elements stay set
    assert (dec._header_ver, dec._header_signature, dec._header_status) == (FILE_REC.ver, None, None)
    assert capsys.readouterr().out == ""


def test_response_header_element_not_iterable(sdk, unloaded_env):
    with pytest.raises(TypeError):
        sdk.SpecToVQHTTPRspDecoder(200, [5], "hello")


def test_response_two_character_string_is_a_pair(sdk, unloaded_env, capsys):
    dec = sdk.SpecToVQHTTPRspDecoder(200, ["ab"], "hello")
    assert dec.get_data() == "hello"


def test_request_and_response_round_trip(sdk, debug_env, frozen_clock):
    """A request built here, answered by the platform side in wire, decoded here."""
    frozen_clock(1765147170.75)
    ctor = sdk.SpecToVQHTTPReqConstructor(REQ_ID, CGI, call_body(sdk))
    headers = ctor.get_normal_header()
    body = ctor.get_encoded_body()
    assert headers["vq-timestamp"] == "1765147170"
    assert wire.sign(DEBUG_REC.token, body, headers["vq-timestamp"], headers["vq-nonce"],
                     headers["vq-secret-ver"]) == headers["vq-signature"]
    received = wire.decrypt(DEBUG_REC.encoding_aes_key, body)
    assert received == call_body(sdk).to_json()
    answer_headers, answer_body = signed_answer(DEBUG_REC, plain=received)
    dec = sdk.SpecToVQHTTPRspDecoder(200, answer_headers, answer_body)
    assert dec.get_data() == received


@pytest.mark.parametrize("content_type", [
    None, "text/plain", "text/plain; charset=latin-1", 'text/plain; charset="cp1252"', "text/plain; charset='cp1252'",
    "text/plain; charset=utf-8; charset=latin-1", "text/plain; charset=", "text/plain; CHARSET = latin-1",
    "text/plain; foo=bar;charset=latin-1 ; x", "text/plain; charset=no-such-codec"])
def test_plain_answer_charset_read_by_the_http_client(sdk, normal_env, monkeypatch, capsys, content_type):
    # The charset parameter as the HTTP client reads the header (the last
    # one wins, quotes stripped); without one, UTF-8.
    import requests
    import requests.utils
    raw = "caf\u00e9 \u20ac".encode("cp1252")

    def post(url, **kwargs):
        r = requests.models.Response()
        r.status_code, r._content = 200, raw
        r.headers = requests.structures.CaseInsensitiveDict({"Content-Type": content_type} if content_type else {})
        return r

    monkeypatch.setattr(sdk.requests, "post", post)
    charset = requests.utils._parse_content_type_header(content_type or "")[1].get("charset") or "utf-8"
    try:
        expected = raw.decode(charset, errors="replace")
    except LookupError:
        expected = raw.decode("utf-8", errors="replace")
    assert sdk.ChatDataSDK("c", 1, "a", "j").echo("{}") == expected


ENV_GETTERS = ["get_key_ver", "get_token", "get_encoding_aes_key", "get_program_id", "get_is_debug_mode",
               "get_use_test_domain", "get_access_token"]


@pytest.mark.parametrize("where", ["class", "subclass", "instance"])
@pytest.mark.parametrize("getter", ENV_GETTERS)
def test_env_getter_overrides_are_called(sdk, debug_env, monkeypatch, capsys, getter, where):
    # The getters are answered without method calls only while nothing
    # overrides them; an override on the class, a subclass or the instance is
    # called, and taking it away again restores the fast answers.
    calls = []
    original = getattr(sdk.SpecEnv, getter)

    def override(self):
        calls.append(getter)
        return original(self)

    env = debug_env
    if where == "class":
        monkeypatch.setattr(sdk.SpecEnv, getter, override)
    elif where == "subclass":
        env.__class__ = type("Env", (sdk.SpecEnv,), {getter: override})
    else:
        env.__dict__[getter] = lambda: override(env)
    expected_headers = sdk.SpecToVQHTTPReqConstructor("r", "/p", call_body(sdk)).get_normal_header()
    url = sdk.ChatDataSDK("c", 1, "a", "j").get_req_url("/p")
    assert calls, getter
    # the same message and URL as without the override
    del calls[:]
    if where == "class":
        monkeypatch.setattr(sdk.SpecEnv, getter, original)
    elif where == "subclass":
        env.__class__ = sdk.SpecEnv
    else:
        del env.__dict__[getter]
    assert sdk.ChatDataSDK("c", 1, "a", "j").get_req_url("/p") == url and calls == []
    assert list(expected_headers) == list(sdk.SpecToVQHTTPReqConstructor("r", "/p", call_body(sdk)).get_normal_header())
