"""The secret file, SecretInfo, SpecEnv and the environment functions.

Every test here works on its own SpecEnv / SecretInfo, or on the module's
spec_env swapped for a fresh one, with SECRET_KEY_FILE_PATH pointed into a
temporary directory. Tests that need the module's own spec_env and its
one-time load run in a fresh interpreter.
"""
import base64
import binascii
import builtins
import json
import os
import random
import string

import pytest

from conftest import TYPE_MSG, derived, load_vectors, log_texts, run_python
from simulator import wire

DEBUG_ENABLED = "----------------- debug mode enabled -----------------"
NOT_IN_SPEC_ENV = "not in spec env, use *spec_open_debug_mode* for debug"
FILE_NOT_EXISTS = "load secret_key exception: file not exists"
BAD_FORMAT = "invalid secret_key format"
FORBIDDEN = "in spec env, debug mode forbidden"



FILE_REC = wire.SecretRecord("5", derived("env", "file-token", 24), wire.make_key_text("env-file"), "prog-file")
FILE_REC2 = wire.SecretRecord("6", derived("env", "file-token-2", 24), wire.make_key_text("env-file-2"), "prog-file-2")
DEBUG_REC = wire.SecretRecord("9", derived("env", "debug-token", 24), wire.make_key_text("env-debug"), "prog-debug")
DEBUG_REC2 = wire.SecretRecord("10", derived("env", "debug-token-2", 24), wire.make_key_text("env-debug-2"), "prog-debug-2")
ACCESS = derived("env", "access", 24)
ACCESS2 = derived("env", "access-2", 24)


def parse_text(ver, token, key, program_id):
    return "parse secret %s %d %d %s" % (ver, len(token), len(key), program_id)


def rec_parse_text(rec):
    return parse_text(rec.ver, rec.token, rec.encoding_aes_key, rec.program_id)


def info(text):
    return ("INFO", "", text)


def err(text):
    return ("ERR", "", text)


def fields_of(record):
    return (record.ver, record.token, record.encoding_aes_key, record.program_id)


def rec_fields(rec):
    return (rec.ver, rec.token, rec.encoding_aes_key, rec.program_id)


def env_fields(env):
    return (env.get_key_ver(), env.get_token(), env.get_encoding_aes_key(), env.get_program_id())


def assert_empty(record):
    for name in ("ver", "token", "encoding_aes_key", "program_id"):
        with pytest.raises(AttributeError) as ei:
            getattr(record, name)
        assert "'%s'" % name in str(ei.value)


def assert_exception(excinfo, message):
    """The SDK's own failures: the general Exception type, one argument."""
    assert type(excinfo.value) is Exception
    assert excinfo.value.args == (message,)


@pytest.fixture
def secret_path(sdk, tmp_path, monkeypatch):
    """SECRET_KEY_FILE_PATH pointed at a path that does not exist yet."""
    path = str(tmp_path / "static_config" / "secret_key")
    os.mkdir(os.path.dirname(path))
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", path)
    return path


REAL_OPEN = builtins.open


def write_secret(path, content):
    if not isinstance(content, bytes):
        content = content.encode("utf-8")
    with REAL_OPEN(path, "wb") as f:
        f.write(content)


@pytest.fixture
def secret_file(secret_path):
    write_secret(secret_path, FILE_REC.line() + "\n")
    return secret_path


@pytest.fixture
def open_log(monkeypatch, sdk):
    """Wraps builtins.open; records (path, file object) of every secret-file open."""
    opened = []
    real_open = builtins.open

    def recording_open(file, *args, **kwargs):
        f = real_open(file, *args, **kwargs)
        if file == sdk.SECRET_KEY_FILE_PATH:
            opened.append(f)
        return f

    monkeypatch.setattr(builtins, "open", recording_open)
    return opened


@pytest.fixture
def exists_log(monkeypatch, sdk):
    """Wraps the module's os.path.exists; records the paths it is asked about."""
    asked = []
    real_exists = sdk.os.path.exists

    def recording_exists(p):
        asked.append(p)
        return real_exists(p)

    monkeypatch.setattr(sdk.os.path, "exists", recording_exists)
    return asked


@pytest.fixture
def env(sdk, capsys):
    e = sdk.SpecEnv()
    capsys.readouterr()
    return e


# ---------------------------------------------------------------------------
# SecretInfo.parse_from_string
# ---------------------------------------------------------------------------

SECRET_LINE_CASES = load_vectors("secret_lines.json")["cases"]


@pytest.mark.parametrize("case", SECRET_LINE_CASES, ids=[repr(c["line"])[:40] for c in SECRET_LINE_CASES])
def test_parse_from_string_vectors(sdk, capsys, case):
    record = sdk.SecretInfo()
    capsys.readouterr()
    if case["accepted"]:
        assert record.parse_from_string(case["line"]) is None
        assert fields_of(record) == (case["ver"], case["token"], case["encoding_aes_key"], case["program_id"])
        assert log_texts(capsys.readouterr().out) == [info(case["parse_log_text"])]
    else:
        with pytest.raises(Exception) as ei:
            record.parse_from_string(case["line"])
        assert_exception(ei, case["raises"])
        assert log_texts(capsys.readouterr().out) == [err(BAD_FORMAT)]
        assert_empty(record)


def test_parse_log_line_never_shows_token_or_key(sdk, capsys):
    record = sdk.SecretInfo()
    record.parse_from_string(FILE_REC.line())
    out = capsys.readouterr().out
    assert log_texts(out) == [info(rec_parse_text(FILE_REC))]
    assert FILE_REC.token not in out
    assert FILE_REC.encoding_aes_key not in out


@pytest.mark.parametrize("line, expected, text", [
    ("1, t,k , p", ("1", " t", "k ", " p"), "parse secret 1 2 2  p"),
    ("1,,,", ("1", "", "", ""), "parse secret 1 0 0 "),
    (",,,", ("", "", "", ""), "parse secret  0 0 "),
    ("1,t\u00e9,k\u4e2d,p", ("1", "t\u00e9", "k\u4e2d", "p"), "parse secret 1 2 2 p"),
    ("\n1,t,k,p\r\n\t ", ("1", "t", "k", "p"), "parse secret 1 1 1 p"),
], ids=["inner-spaces", "empty-fields", "all-empty", "non-ascii-lengths-in-chars", "outer-whitespace"])
def test_parse_from_string_fields_and_lengths(sdk, capsys, line, expected, text):
    record = sdk.SecretInfo()
    record.parse_from_string(line)
    assert fields_of(record) == expected
    assert log_texts(capsys.readouterr().out) == [info(text)]


def test_parse_refused_line_keeps_earlier_values(sdk, capsys):
    record = sdk.SecretInfo()
    record.parse_from_string(FILE_REC.line())
    capsys.readouterr()
    with pytest.raises(Exception) as ei:
        record.parse_from_string("a,b,c")
    assert_exception(ei, BAD_FORMAT)
    assert fields_of(record) == rec_fields(FILE_REC)
    assert log_texts(capsys.readouterr().out) == [err(BAD_FORMAT)]


def test_parse_replaces_all_four_values(sdk, capsys):
    record = sdk.SecretInfo()
    record.parse_from_string(FILE_REC.line())
    record.parse_from_string(line=FILE_REC2.line())
    assert fields_of(record) == rec_fields(FILE_REC2)
    assert log_texts(capsys.readouterr().out) == [info(rec_parse_text(FILE_REC)), info(rec_parse_text(FILE_REC2))]


class _Str(str):
    pass


@pytest.mark.parametrize("value, type_name", [
    (None, "NoneType"), (5, "int"), (b"1,a,b,c", "bytes"), (_Str("1,a,b,c"), "_Str"),
])
def test_parse_from_string_refuses_non_text(sdk, capsys, value, type_name):
    record = sdk.SecretInfo()
    record.parse_from_string(FILE_REC.line())
    capsys.readouterr()
    with pytest.raises(TypeError) as ei:
        record.parse_from_string(value)
    assert str(ei.value) == TYPE_MSG % ("line", "str", type_name)
    assert fields_of(record) == rec_fields(FILE_REC)
    assert capsys.readouterr().out == ""


def test_new_secret_info_is_empty(sdk, capsys):
    record = sdk.SecretInfo()
    assert_empty(record)
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------------------
# SecretInfo.debug_string
# ---------------------------------------------------------------------------

def test_debug_string_of_filled_record(sdk, capsys):
    record = sdk.SecretInfo()
    record.parse_from_string(FILE_REC.line())
    capsys.readouterr()
    assert record.debug_string() == "ver: %s token: %s encoding_aes_key: %s program_id: %s" % rec_fields(FILE_REC)
    assert capsys.readouterr().out == ""


def test_debug_string_with_empty_fields(sdk):
    record = sdk.SecretInfo()
    record.parse_from_string("4,,key,")
    assert record.debug_string() == "ver: 4 token:  encoding_aes_key: key program_id: "


def test_debug_string_of_empty_record(sdk, capsys):
    with pytest.raises(AttributeError) as ei:
        sdk.SecretInfo().debug_string()
    assert "'ver'" in str(ei.value)
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------------------
# SecretInfo.load
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("content", [
    FILE_REC.line() + "\n",
    FILE_REC.line() + "\r\n",
    FILE_REC.line(),
    FILE_REC.line() + "\rsecond line",
    " \t" + FILE_REC.line() + "\t \n",
    FILE_REC.line() + "\nx,y\n",
    FILE_REC.line() + "\n" + FILE_REC2.line() + "\n",
], ids=["lf", "crlf", "no-line-break", "cr", "padded", "short-second-line", "valid-second-line"])
def test_load_reads_first_line(sdk, capsys, secret_path, open_log, content):
    write_secret(secret_path, content)
    record = sdk.SecretInfo()
    assert record.load() is None
    assert fields_of(record) == rec_fields(FILE_REC)
    assert log_texts(capsys.readouterr().out) == [info(rec_parse_text(FILE_REC))]
    assert len(open_log) == 1 and open_log[0].closed


@pytest.mark.parametrize("content", [
    "", "\n", "a,b,c\n", "1,t,k\n" + FILE_REC.line() + "\n", "\n" + FILE_REC.line() + "\n",
], ids=["empty", "blank-line", "three-fields", "valid-line-after-refused", "valid-line-after-blank"])
def test_load_refused_first_line(sdk, capsys, secret_path, open_log, content):
    write_secret(secret_path, content)
    record = sdk.SecretInfo()
    with pytest.raises(Exception) as ei:
        record.load()
    assert_exception(ei, BAD_FORMAT)
    assert log_texts(capsys.readouterr().out) == [
        err(BAD_FORMAT), err("load secret_key exception: " + BAD_FORMAT)]
    assert_empty(record)
    assert len(open_log) == 1 and open_log[0].closed


def test_load_refused_line_keeps_loaded_values(sdk, capsys, secret_file):
    record = sdk.SecretInfo()
    record.load()
    write_secret(secret_file, "only,three,fields\n")
    capsys.readouterr()
    with pytest.raises(Exception):
        record.load()
    assert fields_of(record) == rec_fields(FILE_REC)


def test_load_rereads_the_file(sdk, capsys, secret_file, open_log):
    record = sdk.SecretInfo()
    record.load()
    write_secret(secret_file, FILE_REC2.line() + "\n")
    record.load()
    assert fields_of(record) == rec_fields(FILE_REC2)
    assert len(open_log) == 2
    assert log_texts(capsys.readouterr().out) == [info(rec_parse_text(FILE_REC)), info(rec_parse_text(FILE_REC2))]


def test_load_without_secret_file(sdk, capsys, secret_path, open_log):
    record = sdk.SecretInfo()
    with pytest.raises(Exception) as ei:
        record.load()
    assert_exception(ei, "secret_key file not exists")
    assert log_texts(capsys.readouterr().out) == [err(NOT_IN_SPEC_ENV), err(FILE_NOT_EXISTS)]
    assert open_log == []
    assert_empty(record)


def test_load_dangling_link_counts_as_absent(sdk, capsys, secret_path, tmp_path):
    os.symlink(str(tmp_path / "nowhere"), secret_path)
    with pytest.raises(Exception) as ei:
        sdk.SecretInfo().load()
    assert_exception(ei, "secret_key file not exists")
    assert log_texts(capsys.readouterr().out) == [err(NOT_IN_SPEC_ENV), err(FILE_NOT_EXISTS)]


def test_load_directory_keeps_file_system_error(sdk, capsys, secret_path):
    os.mkdir(secret_path)
    try:
        open(secret_path)
    except IsADirectoryError as e:
        expected = str(e)
    record = sdk.SecretInfo()
    with pytest.raises(IsADirectoryError) as ei:
        record.load()
    assert type(ei.value) is IsADirectoryError
    assert str(ei.value) == expected
    assert log_texts(capsys.readouterr().out) == [err("load secret_key exception: " + expected)]
    assert_empty(record)


def test_load_undecodable_file_keeps_codec_error(sdk, capsys, secret_path, open_log):
    write_secret(secret_path, b"\xff\xfe1,t,k,p\n")
    with REAL_OPEN(secret_path) as f:
        try:
            f.readline()
            pytest.skip("the default encoding reads any byte")
        except UnicodeDecodeError as e:
            expected = str(e)
    record = sdk.SecretInfo()
    with pytest.raises(UnicodeDecodeError) as ei:
        record.load()
    assert str(ei.value) == expected
    assert log_texts(capsys.readouterr().out) == [err("load secret_key exception: " + expected)]
    assert len(open_log) == 1 and open_log[0].closed


# ---------------------------------------------------------------------------
# is_spec_env
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("kind, expected", [
    ("file", True), ("empty-file", True), ("directory", True), ("absent", False), ("dangling-link", False),
    ("nul-in-path", False),
])
def test_is_spec_env(sdk, capsys, monkeypatch, secret_path, tmp_path, kind, expected):
    if kind == "file":
        write_secret(secret_path, FILE_REC.line())
    elif kind == "empty-file":
        write_secret(secret_path, "")
    elif kind == "directory":
        os.mkdir(secret_path)
    elif kind == "dangling-link":
        os.symlink(str(tmp_path / "nowhere"), secret_path)
    elif kind == "nul-in-path":
        monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", secret_path + "\0x")
    result = sdk.is_spec_env()
    assert result is expected
    assert capsys.readouterr().out == ""


def test_is_spec_env_follows_module_path(sdk, monkeypatch, secret_file, tmp_path):
    assert sdk.is_spec_env() is True
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "other"))
    assert sdk.is_spec_env() is False


# ---------------------------------------------------------------------------
# SpecEnv: construction and simple state
# ---------------------------------------------------------------------------

def test_new_spec_env(sdk, capsys, secret_file, open_log):
    e = sdk.SpecEnv()
    assert capsys.readouterr().out == ""
    assert open_log == []
    assert e.get_is_debug_mode() is False
    assert e.get_use_test_domain() is False
    assert e.get_access_token() == ""
    assert e.is_debug_mode is False and e.use_test_domain is False
    assert e.debug_token == "" and e.access_token == ""
    assert e.init_secret_info is False
    assert isinstance(e.debug_secret_info, sdk.SecretInfo)
    assert isinstance(e.normal_secret_info, sdk.SecretInfo)
    assert e.debug_secret_info is not e.normal_secret_info
    assert_empty(e.debug_secret_info)
    assert_empty(e.normal_secret_info)
    assert hasattr(e.lock, "acquire") and hasattr(e.lock, "release")
    assert e.lock.acquire(False)
    e.lock.release()


def test_module_spec_env_is_a_spec_env(sdk):
    assert isinstance(sdk.spec_env, sdk.SpecEnv)


@pytest.mark.parametrize("value, text", [
    (True, "use test domain True"), (False, "use test domain False"),
    ("yes", "use test domain yes"), (None, "use test domain None"), (0, "use test domain 0"),
])
def test_set_use_test_domain(env, capsys, value, text):
    assert env.set_use_test_domain(value) is None
    assert log_texts(capsys.readouterr().out) == [info(text)]
    assert env.get_use_test_domain() is value
    assert env.get_is_debug_mode() is False
    assert env.get_access_token() == ""
    assert env.init_secret_info is False


def test_set_use_test_domain_keeps_last_value(env):
    env.set_use_test_domain(use_test_domain=True)
    env.set_use_test_domain(False)
    assert env.get_use_test_domain() is False


def test_spec_debug_use_test_domain_goes_to_module_env(sdk, env, capsys, monkeypatch):
    monkeypatch.setattr(sdk, "spec_env", env)
    assert sdk.spec_debug_use_test_domain(True) is None
    assert log_texts(capsys.readouterr().out) == [info("use test domain True")]
    assert env.get_use_test_domain() is True


def test_test_domain_chosen_before_debug_mode_stays(sdk, env, capsys, monkeypatch, secret_path):
    monkeypatch.setattr(sdk, "spec_env", env)
    sdk.spec_debug_use_test_domain(True)
    sdk.spec_open_debug_mode(DEBUG_REC.debug_token(), ACCESS)
    assert env.get_use_test_domain() is True
    assert env.get_is_debug_mode() is True
    assert log_texts(capsys.readouterr().out) == [
        info("use test domain True"), info(rec_parse_text(DEBUG_REC)), info(DEBUG_ENABLED)]


# ---------------------------------------------------------------------------
# SpecEnv.open_debug_mode outside the spec environment
# ---------------------------------------------------------------------------

DEBUG_TOKEN_CASES = load_vectors("debug_tokens.json")["cases"]


@pytest.mark.parametrize("case", DEBUG_TOKEN_CASES, ids=[c["note"] for c in DEBUG_TOKEN_CASES])
def test_open_debug_mode_vectors(env, capsys, secret_path, open_log, case):
    if case["accepted"]:
        assert env.open_debug_mode(case["debug_token"], ACCESS) is None
        expected = (case["ver"], case["token"], case["encoding_aes_key"], case["program_id"])
        assert log_texts(capsys.readouterr().out) == [info(parse_text(*expected)), info(DEBUG_ENABLED)]
        assert env_fields(env) == expected
        assert env.get_secret_info() is env.debug_secret_info
        assert fields_of(env.debug_secret_info) == expected
    else:
        expected_type = {"invalid secret_key format": Exception, "UnicodeDecodeError": UnicodeDecodeError,
                         "binascii.Error": binascii.Error}[case["raises"]]
        with pytest.raises(Exception) as ei:
            env.open_debug_mode(case["debug_token"], ACCESS)
        assert type(ei.value) is expected_type
        if expected_type is Exception:
            assert ei.value.args == (BAD_FORMAT,)
            assert log_texts(capsys.readouterr().out) == [
                err(BAD_FORMAT), err("parse debug_token fail: " + BAD_FORMAT)]
        else:
            assert log_texts(capsys.readouterr().out) == [err("parse debug_token fail: " + str(ei.value))]
        for getter in (env.get_key_ver, env.get_token, env.get_encoding_aes_key, env.get_program_id):
            with pytest.raises(AttributeError):
                getter()
    # Either way debug mode is on, the tokens are kept and no file was read.
    assert env.get_is_debug_mode() is True
    assert env.debug_token == case["debug_token"]
    assert env.get_access_token() == ACCESS
    assert env.init_secret_info is False
    assert open_log == []


def test_open_debug_mode_with_derived_record(env, capsys, secret_path):
    env.open_debug_mode(debug_token=DEBUG_REC.debug_token(), access_token=ACCESS)
    out = capsys.readouterr().out
    assert log_texts(out) == [info(rec_parse_text(DEBUG_REC)), info(DEBUG_ENABLED)]
    assert DEBUG_REC.token not in out and ACCESS not in out and DEBUG_REC.debug_token() not in out
    assert env_fields(env) == rec_fields(DEBUG_REC)
    assert env.get_access_token() == ACCESS


def test_open_debug_mode_non_ascii_token_refused(env, capsys, secret_path):
    token = DEBUG_REC.debug_token()[:-4] + "\u00e9" + DEBUG_REC.debug_token()[-4:]
    with pytest.raises(ValueError) as ei:
        env.open_debug_mode(token, ACCESS)
    assert log_texts(capsys.readouterr().out) == [err("parse debug_token fail: " + str(ei.value))]
    assert env.get_is_debug_mode() is True


def test_open_debug_mode_skips_characters_outside_alphabet(env, capsys, secret_path):
    token = DEBUG_REC.debug_token()
    noisy = "*" + token[:10] + " \t!" + token[10:20] + "\r\n" + token[20:]
    env.open_debug_mode(noisy, ACCESS)
    assert env_fields(env) == rec_fields(DEBUG_REC)


@pytest.mark.parametrize("debug_token, access_token, text", [
    ("", ACCESS, "invalid debug mode param, debug_token:len=0, access_token:len=%d" % len(ACCESS)),
    (DEBUG_REC.debug_token(), "",
     "invalid debug mode param, debug_token:len=%d, access_token:len=0" % len(DEBUG_REC.debug_token())),
    ("", "", "invalid debug mode param, debug_token:len=0, access_token:len=0"),
    ("", "\u00e4cc\u00e8ss\u4e2d", "invalid debug mode param, debug_token:len=0, access_token:len=7"),
], ids=["no-debug-token", "no-access-token", "neither", "non-ascii-access-token"])
def test_open_debug_mode_empty_token(env, capsys, secret_path, debug_token, access_token, text):
    with pytest.raises(Exception) as ei:
        env.open_debug_mode(debug_token, access_token)
    assert_exception(ei, "invalid debug more param")
    out = capsys.readouterr().out
    assert log_texts(out) == [err(text)]
    for secret in (debug_token, access_token):
        if secret:
            assert secret not in out
    assert env.get_is_debug_mode() is True
    assert env.debug_token == debug_token
    assert env.get_access_token() == access_token
    assert_empty(env.debug_secret_info)


def test_open_debug_mode_empty_access_token_keeps_earlier_record(env, capsys, secret_path):
    env.open_debug_mode(DEBUG_REC.debug_token(), ACCESS)
    with pytest.raises(Exception):
        env.open_debug_mode(DEBUG_REC2.debug_token(), "")
    assert env.get_access_token() == ""
    assert env.debug_token == DEBUG_REC2.debug_token()
    assert env_fields(env) == rec_fields(DEBUG_REC)


def test_second_open_debug_mode_replaces_record(env, capsys, secret_path):
    env.open_debug_mode(DEBUG_REC.debug_token(), ACCESS)
    env.open_debug_mode(DEBUG_REC2.debug_token(), ACCESS2)
    assert env_fields(env) == rec_fields(DEBUG_REC2)
    assert env.get_access_token() == ACCESS2
    assert env.debug_token == DEBUG_REC2.debug_token()


def test_refused_second_debug_token_keeps_earlier_record(env, capsys, secret_path):
    env.open_debug_mode(DEBUG_REC.debug_token(), ACCESS)
    capsys.readouterr()
    three = base64.b64encode(b"1,t,k").decode("ascii")
    with pytest.raises(Exception) as ei:
        env.open_debug_mode(three, ACCESS2)
    assert_exception(ei, BAD_FORMAT)
    assert log_texts(capsys.readouterr().out) == [err(BAD_FORMAT), err("parse debug_token fail: " + BAD_FORMAT)]
    assert env_fields(env) == rec_fields(DEBUG_REC)
    assert env.get_access_token() == ACCESS2
    assert env.debug_token == three


@pytest.mark.parametrize("args, name, type_name", [
    ((1, "x"), "debug_token", "int"),
    (("x", None), "access_token", "NoneType"),
    ((None, 2), "debug_token", "NoneType"),
    ((b"x", "y"), "debug_token", "bytes"),
    (("x", _Str("y")), "access_token", "_Str"),
])
@pytest.mark.parametrize("via", ["method", "module-function"])
def test_open_debug_mode_type_errors(sdk, env, capsys, monkeypatch, secret_path, args, name, type_name, via):
    monkeypatch.setattr(sdk, "spec_env", env)
    call = env.open_debug_mode if via == "method" else sdk.spec_open_debug_mode
    with pytest.raises(TypeError) as ei:
        call(*args)
    assert str(ei.value) == TYPE_MSG % (name, "str", type_name)
    assert capsys.readouterr().out == ""
    assert env.get_is_debug_mode() is False
    assert env.debug_token == "" and env.get_access_token() == ""


def test_spec_open_debug_mode_goes_to_module_env(sdk, env, capsys, monkeypatch, secret_path):
    monkeypatch.setattr(sdk, "spec_env", env)
    assert sdk.spec_open_debug_mode(DEBUG_REC.debug_token(), access_token=ACCESS) is None
    assert log_texts(capsys.readouterr().out) == [info(rec_parse_text(DEBUG_REC)), info(DEBUG_ENABLED)]
    assert env.get_is_debug_mode() is True
    assert env_fields(env) == rec_fields(DEBUG_REC)


def test_spec_open_debug_mode_passes_failures_on(sdk, env, capsys, monkeypatch, secret_path):
    monkeypatch.setattr(sdk, "spec_env", env)
    with pytest.raises(Exception) as ei:
        sdk.spec_open_debug_mode(DEBUG_REC.debug_token(), "")
    assert_exception(ei, "invalid debug more param")
    assert env.get_is_debug_mode() is True
    assert env.get_access_token() == ""


def test_debug_mode_never_loads_secret_file(env, capsys, secret_file, open_log, monkeypatch, sdk, tmp_path):
    # Open debug mode where no file exists, then let a file appear: the
    # debug record stays in force and the file is never read.
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(tmp_path / "absent"))
    env.open_debug_mode(DEBUG_REC.debug_token(), ACCESS)
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", secret_file)
    assert env_fields(env) == rec_fields(DEBUG_REC)
    assert env.get_secret_info() is env.debug_secret_info
    assert env._get_debug_secret_info() is env.debug_secret_info
    assert env.init_secret_info is False
    assert open_log == []


def test_debug_mode_with_empty_record(env, capsys, secret_path):
    with pytest.raises(Exception):
        env.open_debug_mode("", ACCESS)
    capsys.readouterr()
    assert env.get_secret_info() is env.debug_secret_info
    for getter, field in ((env.get_key_ver, "ver"), (env.get_token, "token"),
                          (env.get_encoding_aes_key, "encoding_aes_key"), (env.get_program_id, "program_id")):
        with pytest.raises(AttributeError) as ei:
            getter()
        assert "'%s'" % field in str(ei.value)
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------------------
# SpecEnv.open_debug_mode inside the spec environment
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("debug_token, access_token", [
    (DEBUG_REC.debug_token(), ACCESS), ("", ""), ("not base64 !", ACCESS),
], ids=["valid", "empty", "garbage"])
@pytest.mark.parametrize("via", ["method", "module-function"])
def test_open_debug_mode_forbidden_in_spec_env(sdk, env, capsys, monkeypatch, secret_file, open_log,
                                               debug_token, access_token, via):
    monkeypatch.setattr(sdk, "spec_env", env)
    call = env.open_debug_mode if via == "method" else sdk.spec_open_debug_mode
    assert call(debug_token, access_token) is None
    assert log_texts(capsys.readouterr().out) == [info(FORBIDDEN)]
    assert env.get_is_debug_mode() is False
    assert env.debug_token == "" and env.get_access_token() == ""
    assert_empty(env.debug_secret_info)
    assert open_log == []
    # The secret file's record stays in force.
    assert env_fields(env) == rec_fields(FILE_REC)
    assert log_texts(capsys.readouterr().out) == [info(rec_parse_text(FILE_REC))]


def test_open_debug_mode_forbidden_with_directory_at_path(env, capsys, secret_path):
    os.mkdir(secret_path)
    env.open_debug_mode(DEBUG_REC.debug_token(), ACCESS)
    assert log_texts(capsys.readouterr().out) == [info(FORBIDDEN)]
    assert env.get_is_debug_mode() is False


# ---------------------------------------------------------------------------
# SpecEnv in normal mode: the one-time load
# ---------------------------------------------------------------------------

def test_normal_mode_loads_once(env, capsys, secret_file, open_log, exists_log):
    assert env.init_secret_info is False
    for _ in range(3):
        assert env_fields(env) == rec_fields(FILE_REC)
    assert env.get_secret_info() is env.normal_secret_info
    assert env._get_normal_secret_info() is env.normal_secret_info
    assert env.init_secret_info is True
    assert len(open_log) == 1 and open_log[0].closed
    assert exists_log.count(secret_file) == 1
    assert log_texts(capsys.readouterr().out) == [info(rec_parse_text(FILE_REC))]
    # A changed file has no effect within the same environment.
    write_secret(secret_file, FILE_REC2.line() + "\n")
    assert env_fields(env) == rec_fields(FILE_REC)
    assert len(open_log) == 1
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("first, field", [
    ("get_key_ver", "ver"), ("get_token", "token"), ("get_encoding_aes_key", "encoding_aes_key"),
    ("get_program_id", "program_id"),
])
def test_normal_mode_each_getter_triggers_load(env, capsys, secret_file, first, field):
    assert getattr(env, first)() == getattr(FILE_REC, field)
    assert log_texts(capsys.readouterr().out) == [info(rec_parse_text(FILE_REC))]


@pytest.mark.parametrize("first", ["get_key_ver", "get_token", "get_encoding_aes_key", "get_program_id",
                                   "get_secret_info", "_get_normal_secret_info"])
def test_normal_mode_without_file(env, capsys, secret_path, exists_log, first):
    with pytest.raises(Exception) as ei:
        getattr(env, first)()
    assert_exception(ei, "secret_key file not exists")
    assert log_texts(capsys.readouterr().out) == [err(NOT_IN_SPEC_ENV), err(FILE_NOT_EXISTS)]
    assert env.init_secret_info is True
    # Never retried: later queries fail on the empty record, silently.
    write_secret(secret_path, FILE_REC.line() + "\n")
    for getter, name in (("get_key_ver", "ver"), ("get_token", "token"),
                         ("get_encoding_aes_key", "encoding_aes_key"), ("get_program_id", "program_id")):
        with pytest.raises(AttributeError) as ei:
            getattr(env, getter)()
        assert "'%s'" % name in str(ei.value)
    assert env.get_secret_info() is env.normal_secret_info
    assert capsys.readouterr().out == ""
    assert exists_log.count(secret_path) == 1


def test_normal_mode_refused_file(env, capsys, secret_path):
    write_secret(secret_path, "1,t,k\n")
    with pytest.raises(Exception) as ei:
        env.get_token()
    assert_exception(ei, BAD_FORMAT)
    assert log_texts(capsys.readouterr().out) == [err(BAD_FORMAT), err("load secret_key exception: " + BAD_FORMAT)]
    with pytest.raises(AttributeError):
        env.get_token()
    assert capsys.readouterr().out == ""


def test_normal_mode_directory_at_path(env, capsys, secret_path):
    os.mkdir(secret_path)
    with pytest.raises(IsADirectoryError) as ei:
        env.get_key_ver()
    assert type(ei.value) is IsADirectoryError
    assert log_texts(capsys.readouterr().out) == [err("load secret_key exception: " + str(ei.value))]
    with pytest.raises(AttributeError):
        env.get_key_ver()


def test_normal_mode_getters_outside_debug(env, capsys, secret_file):
    assert env.get_access_token() == ""
    assert env.get_is_debug_mode() is False
    assert env.get_use_test_domain() is False
    # None of these three loads anything.
    assert env.init_secret_info is False
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------------------
# The module's own spec_env, in fresh interpreters
# ---------------------------------------------------------------------------

def _result_of(proc, result_path):
    assert proc.returncode == 0, proc.stderr
    with open(result_path) as f:
        return json.load(f)


IMPORT_CODE = r'''
import builtins, json, os
secret_opens = []
real_open = builtins.open
def recording_open(file, *args, **kwargs):
    if isinstance(file, str) and "secret_key" in file:
        secret_opens.append(file)
    return real_open(file, *args, **kwargs)
builtins.open = recording_open
import vqspecapisdk as sdk
builtins.open = real_open
out = {
    "opens": secret_opens,
    "is_env": isinstance(sdk.spec_env, sdk.SpecEnv),
    "debug": sdk.spec_env.get_is_debug_mode(),
    "init": sdk.spec_env.init_secret_info,
    "path": sdk.SECRET_KEY_FILE_PATH,
}
with open(os.environ["VQ_TEST_RESULT"], "w") as f:
    json.dump(out, f)
'''


def test_import_reads_no_secret_file(tmp_path):
    result_path = str(tmp_path / "result.json")
    proc = run_python(IMPORT_CODE, env={"VQ_TEST_RESULT": result_path})
    result = _result_of(proc, result_path)
    assert proc.stdout == ""
    assert result == {"opens": [], "is_env": True, "debug": False, "init": False,
                      "path": "/static_config/secret_key"}


SPEC_ENV_CODE = r'''
import json, os
import vqspecapisdk as sdk
from simulator import wire
path = os.environ["VQ_TEST_SECRET_PATH"]
sdk.SECRET_KEY_FILE_PATH = path
debug = wire.SecretRecord("9", "d" * 12, wire.make_key_text("fresh-debug"), "prog-debug")
sdk.spec_open_debug_mode(debug.debug_token(), "a" * 8)
first = [sdk.spec_env.get_is_debug_mode(), sdk.spec_env.get_key_ver(), sdk.spec_env.get_token(),
         sdk.spec_env.get_encoding_aes_key(), sdk.spec_env.get_program_id()]
with open(path, "w") as f:
    f.write("77,other,other,other\n")
second = [sdk.spec_env.get_key_ver(), sdk.spec_env.get_token()]
with open(os.environ["VQ_TEST_RESULT"], "w") as f:
    json.dump({"first": first, "second": second}, f)
'''


def test_module_spec_env_in_spec_environment(tmp_path):
    path = str(tmp_path / "secret_key")
    write_secret(path, FILE_REC.line() + "\n")
    result_path = str(tmp_path / "result.json")
    proc = run_python(SPEC_ENV_CODE, env={"VQ_TEST_RESULT": result_path, "VQ_TEST_SECRET_PATH": path})
    result = _result_of(proc, result_path)
    assert result["first"] == [False] + list(rec_fields(FILE_REC))
    assert result["second"] == [FILE_REC.ver, FILE_REC.token]
    assert log_texts(proc.stdout) == [info(FORBIDDEN), info(rec_parse_text(FILE_REC))]


THREAD_CODE = r'''
import builtins, json, os, sys, threading, time
import vqspecapisdk as sdk

path = os.environ["VQ_TEST_SECRET_PATH"]
sdk.SECRET_KEY_FILE_PATH = path
real_open = builtins.open
real_exists = sdk.os.path.exists
opens = []
checks = []

def slow_exists(p):
    if p == path:
        checks.append(1)
        time.sleep(0.2)
    return real_exists(p)

def slow_open(file, *args, **kwargs):
    if file == path:
        opens.append(1)
        time.sleep(0.2)
    return real_open(file, *args, **kwargs)

sdk.os.path.exists = slow_exists
builtins.open = slow_open
N = 8
barrier = threading.Barrier(N)
results = [None] * N

def worker(i):
    barrier.wait()
    try:
        env = sdk.spec_env
        token = env.get_token()
        results[i] = ["ok", env.get_key_ver(), token, env.get_encoding_aes_key(), env.get_program_id()]
    except BaseException as e:
        results[i] = ["err", type(e).__name__, str(e)]

threads = [threading.Thread(target=worker, args=(i,)) for i in range(N)]
for t in threads:
    t.daemon = True
    t.start()
for t in threads:
    t.join(30)
builtins.open = real_open
sdk.os.path.exists = real_exists
out = {"alive": sum(1 for t in threads if t.is_alive()), "opens": len(opens), "checks": len(checks),
       "results": results}
with real_open(os.environ["VQ_TEST_RESULT"], "w") as f:
    json.dump(out, f)
sys.stdout.flush()
os._exit(0)
'''


def _run_threads(tmp_path, content):
    path = str(tmp_path / "secret_key")
    if content is not None:
        write_secret(path, content)
    result_path = str(tmp_path / "result.json")
    proc = run_python(THREAD_CODE, env={"VQ_TEST_RESULT": result_path, "VQ_TEST_SECRET_PATH": path}, timeout=90)
    result = _result_of(proc, result_path)
    assert result["alive"] == 0, "threads still waiting: deadlock"
    return result, log_texts(proc.stdout)


def test_concurrent_first_use_loads_once(tmp_path):
    result, logs = _run_threads(tmp_path, FILE_REC.line() + "\n")
    assert result["opens"] == 1
    assert result["checks"] == 1
    assert result["results"] == [["ok"] + list(rec_fields(FILE_REC))] * 8
    assert logs == [info(rec_parse_text(FILE_REC))]


@pytest.mark.parametrize("content, message, lines", [
    ("a,b\n", BAD_FORMAT, [err(BAD_FORMAT), err("load secret_key exception: " + BAD_FORMAT)]),
    (None, "secret_key file not exists", [err(NOT_IN_SPEC_ENV), err(FILE_NOT_EXISTS)]),
], ids=["refused-line", "no-file"])
def test_concurrent_first_use_failing_load(tmp_path, content, message, lines):
    result, logs = _run_threads(tmp_path, content)
    assert result["checks"] == 1
    assert result["opens"] == (1 if content is not None else 0)
    failures = [r for r in result["results"] if r[:2] == ["err", "Exception"]]
    others = [r for r in result["results"] if r not in failures]
    assert failures == [["err", "Exception", message]]
    assert len(others) == 7
    for r in others:
        assert r[:2] == ["err", "AttributeError"] and "'token'" in r[2]
    assert logs == lines


# ---------------------------------------------------------------------------
# Identifiers and the digit test
# ---------------------------------------------------------------------------

REQ_ID_ALPHABET = set(string.ascii_letters + string.digits)


def test_gen_new_req_id(sdk):
    ids = [sdk.gen_new_req_id() for _ in range(50)]
    for req_id in ids:
        assert type(req_id) is str
        assert len(req_id) == 16
        assert set(req_id) <= REQ_ID_ALPHABET
        assert len(set(req_id)) == 16
    assert len(set(ids)) > 1


def test_gen_new_req_id_uses_process_generator(sdk):
    random.seed(20261208)
    first = sdk.gen_new_req_id()
    random.seed(20261208)
    assert sdk.gen_new_req_id() == first


def test_spec_gen_notify_id(sdk):
    ids = [sdk.spec_gen_notify_id() for _ in range(20)]
    for notify_id in ids:
        assert type(notify_id) is str
        assert len(notify_id) == 32
        assert set(notify_id) <= set("0123456789abcdef")
        assert notify_id[12] == "1"
    assert len(set(ids)) == len(ids)


@pytest.mark.parametrize("value, expected", [
    ("", False), ("-1", False), ("+1", False), ("1.0", False), (" 1", False), ("1 ", False), ("1a", False),
    ("\u00bd", False), ("\u216b", False), (1, False), (None, False), (b"12", False), (1.0, False),
    ("0", True), ("7", True), ("0007", True), ("1" * 300, True),
    ("\u0661\u0662\u0663", True), ("\uff11\uff12", True), ("\u00b2", True), ("1\u00b3", True),
], ids=lambda v: repr(v)[:20])
def test_is_digit_str(sdk, value, expected):
    assert sdk.is_digit_str(value) is expected


def test_is_digit_str_keyword(sdk):
    assert sdk.is_digit_str(s="123") is True
