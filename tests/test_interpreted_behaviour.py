"""Where a program patches the module as one patches Python code, the module
behaves as the interpreted module does: each case runs against the module
and against plain Python that does what the interpreted code does, and both
must show the same calls, results and errors."""
import types

import pytest

from conftest import derived, install_env, log_texts
from simulator import wire

REC = wire.SecretRecord("5", derived("parity", "token"), wire.make_key_text("parity"), "prog-p")
DELETED = object()


@pytest.fixture
def sdk(sdk):
    """The module, whose namespace is put back as it was, in its order."""
    saved = dict(vars(sdk))
    yield sdk
    vars(sdk).clear()
    vars(sdk).update(saved)


def apply(mod, changes):
    """Sets (or, for DELETED, deletes) module names."""
    for name, value in changes:
        if value is DELETED:
            delattr(mod, name)
        else:
            setattr(mod, name, value)


def outcome(call):
    try:
        return ("returned", call())
    except Exception as e:
        return (type(e).__name__, str(e))


# ---- a replaced or deleted spec_log ---------------------------------------------------------------

INTERPRETED_WRITERS = """
def spec_log_info(*args):
    spec_log(LOG_LEVEL_INFO, "", *args)
def spec_log_debug(*args):
    spec_log(LOG_LEVEL_DEBUG, "", *args)
def spec_log_error(*args):
    spec_log(LOG_LEVEL_ERROR, "", *args)
def spec_log_info_with_req_id(req_id, *args):
    spec_log(LOG_LEVEL_INFO, req_id, *args)
def spec_log_debug_with_req_id(req_id, *args):
    spec_log(LOG_LEVEL_DEBUG, req_id, *args)
def spec_log_error_with_req_id(req_id, *args):
    spec_log(LOG_LEVEL_ERROR, req_id, *args)
"""


def interpreted_writers():
    mod = types.ModuleType("interpreted")
    mod.LOG_LEVEL_INFO, mod.LOG_LEVEL_DEBUG, mod.LOG_LEVEL_ERROR = "INFO", "DBG", "ERR"
    mod.spec_log = lambda *args: None
    exec(INTERPRETED_WRITERS, vars(mod))
    return mod


WRITER_CALLS = [("spec_log_info", ()), ("spec_log_debug", ("d", None)), ("spec_log_error", ("e", 1, 2)),
                ("spec_log_info_with_req_id", ("rid",)), ("spec_log_debug_with_req_id", (None, "x")),
                ("spec_log_error_with_req_id", ("rid", "e", [1]))]


def recording(seen):
    return lambda *args: seen.append(args) or "ignored"


SPEC_LOG_CHANGES = {
    "replaced": lambda seen: [("spec_log", recording(seen))],
    "replaced, levels changed": lambda seen: [("spec_log", recording(seen)), ("LOG_LEVEL_INFO", 7),
                                              ("LOG_LEVEL_DEBUG", None), ("LOG_LEVEL_ERROR", "E")],
    "deleted": lambda seen: [("spec_log", DELETED)],
    "deleted with the levels": lambda seen: [(n, DELETED) for n in (
        "LOG_LEVEL_INFO", "LOG_LEVEL_DEBUG", "LOG_LEVEL_ERROR", "spec_log")],
    "replaced, levels deleted": lambda seen: [("spec_log", recording(seen))] + [
        (n, DELETED) for n in ("LOG_LEVEL_INFO", "LOG_LEVEL_DEBUG", "LOG_LEVEL_ERROR")],
}


@pytest.mark.parametrize("writer,args", WRITER_CALLS)
@pytest.mark.parametrize("change", list(SPEC_LOG_CHANGES))
def test_writers_call_the_module_spec_log(sdk, change, writer, args):
    results = []
    for mod in (sdk, interpreted_writers()):
        seen = []
        apply(mod, SPEC_LOG_CHANGES[change](seen))
        results.append((outcome(lambda: getattr(mod, writer)(*args)), seen))
    assert results[0] == results[1]


def plain_post(body):
    def post(url, **kwargs):
        import requests
        r = requests.models.Response()
        r.status_code, r._content, r.headers = 200, body.encode(), requests.structures.CaseInsensitiveDict()
        return r
    return post


PARSED = ("INFO", "", "parse secret", REC.ver, len(REC.token), len(REC.encoding_aes_key), REC.program_id,
          "lock free")
# The SDK's own lines reach a replaced spec_log: (what the program does,
# what the replacement sees, what the program gets).
INTERNAL_LINES = {
    "a refused answer": (
        lambda m: (m.spec_log_info("x"), m.SpecToVQHTTPRspDecoder(200, [("vq-signature", "s")], "b")),
        [("INFO", "", "x"), ("ERR", "", "SpecToVQHTTPRspDecoder Invalid header", 200, [("vq-signature", "s")], "b")],
        ("Exception", "Invalid header")),
    "a refused call": (
        lambda m: m.VQToSpecHTTPReqDecoder([("vq-req-id", "r1")], ""),
        [("INFO", "r1", "VQToSpecHTTPReqDecoder init", "ver", None, None, None, None),
         ("ERR", "", "VQToSpecHTTPReqDecoder Err Invalid header", [("vq-req-id", "r1")])],
        ("Exception", "Invalid header")),
    "an API call's begin and end": (
        lambda m: (setattr(m.requests, "post", plain_post("hi")),
                   (lambda c: (c.set_req_id("rq"), c.echo("{}")))(m.ChatDataSDK("c", 1, "a", "j")))[1][1],
        [("INFO", "rq", "spec2vq", "begin", "/cgi-bin/chatdata/echo"), PARSED,
         ("ERR", "", "no encrypt headers, treat as plain", "hi"), ("INFO", "rq", "spec2vq", "end", "0")],
        ("returned", "hi")),
    "the secret load, after its lock": (
        lambda m: m.spec_env.get_program_id(),
        [PARSED],
        ("returned", REC.program_id)),
}


@pytest.mark.parametrize("case", list(INTERNAL_LINES))
def test_sdk_lines_reach_a_replaced_spec_log(sdk, monkeypatch, tmp_path, case):
    action, lines, result = INTERNAL_LINES[case]
    path = tmp_path / "secret_key"
    path.write_text(REC.line() + "\n")
    monkeypatch.setattr(sdk, "SECRET_KEY_FILE_PATH", str(path))
    env = sdk.SpecEnv()
    monkeypatch.setattr(sdk, "spec_env", env)
    monkeypatch.setattr(sdk.requests, "post", sdk.requests.post)
    seen = []

    def record(*args):
        if args[2:3] == ("parse secret",):
            args += ("lock held" if env.lock.locked() else "lock free",)
        seen.append(args)
    monkeypatch.setattr(sdk, "spec_log", record)
    assert outcome(lambda: action(sdk)) == result
    assert seen == lines
    del sdk.spec_log
    sdk.spec_env = sdk.SpecEnv()
    assert outcome(lambda: action(sdk)) == ("NameError", "name 'spec_log' is not defined")


# ---- unpacking an API call's (status, data) ------------------------------------------------------

def interpreted_api_result(result):
    status, data = result
    if int(status) != 0:
        raise Exception(status, "Post Err")
    return data


def yielding(*items):
    def gen():
        for item in items:
            yield item
    return gen


def failing_iteration():
    yield "0"
    raise LookupError("gone")


SEND_RESULTS = {
    "pair": lambda: ("0", "d"), "list pair": lambda: ["0", "d"], "failed status": lambda: ("3", "d"),
    "one item": lambda: ("0",), "no item": lambda: [], "three items": lambda: ("0", "d", "x"),
    "two-character text": lambda: "0d", "generator pair": yielding("0", "d"),
    "generator of one": yielding("0"), "generator of three": yielding("0", "d", "x"),
    "int": lambda: 5, "None": lambda: None, "failing iterator": failing_iteration,
}


@pytest.mark.parametrize("result", list(SEND_RESULTS))
def test_api_call_unpacks_its_result_as_interpreted_code(sdk, result):
    class Client(sdk.ChatDataSDK):
        def common_send_http_post(self, cgi_path, url, body):
            return SEND_RESULTS[result]()
    for method in ("echo", "sync_msg"):
        got = outcome(lambda: getattr(Client("c", 1, "a", "j"), method)("{}"))
        assert got == outcome(lambda: interpreted_api_result(SEND_RESULTS[result]()))


# ---- the plain answer's log line ---------------------------------------------------------------------

def refusing():
    raise LookupError("no token")


# (debug mode, what get_is_debug_mode / get_access_token give or raise, body, the line's text)
PLAIN_ANSWERS = [
    (False, None, "hello", "hello world", "hello world"),
    (False, None, refusing, "hello world", "hello world"),
    (True, None, "hello", "hello world", "*** world"),
    (True, None, refusing, "hello world", "hello world"),
    (True, None, 5, "5 hello", "5 hello"),
    (True, None, None, "None", "None"),
    (True, refusing, "hello", "hello world", "hello world"),
]


@pytest.mark.parametrize("debug,mode_getter,token,body,shown", PLAIN_ANSWERS)
def test_plain_answer_line_never_changes_the_outcome(sdk, monkeypatch, capsys, debug, mode_getter, token, body,
                                                     shown):
    # The interpreted module logs the answer as it came and accepts it; the
    # module masks the access token where debug mode may echo it.
    env = sdk.SpecEnv()
    env.is_debug_mode = debug
    for getter, value in (("get_is_debug_mode", mode_getter), ("get_access_token", token)):
        if callable(value):
            setattr(env, getter, value)
    if not callable(token):
        env.access_token = token
    monkeypatch.setattr(sdk, "spec_env", env)
    capsys.readouterr()
    dec = sdk.SpecToVQHTTPRspDecoder(200, [("vq-status", "7")], body)
    assert (dec.get_rsp_status(), dec.get_data()) == ("0", body)
    assert log_texts(capsys.readouterr().out) == [("ERR", "", "no encrypt headers, treat as plain " + shown)]


# ---- deleted names ---------------------------------------------------------------------------------------

# A deleted name, and a call that needs it.
DELETED_NAMES = [
    ("DOMAIN", lambda m: m.ChatDataSDK("c", 1, "a", "j").get_req_url("/p")),
    ("SDK_VERSION", lambda m: m.spec_get_sdk_version()),
    ("SECRET_KEY_FILE_PATH", lambda m: m.is_spec_env()),
    ("LOG_VER", lambda m: m.spec_log_info("x")),
    ("LOG_FIELD_CUSTOM_MAX_SIZE", lambda m: m.spec_log_info("x")),
    ("LOG_LEVEL_ERROR", lambda m: m.spec_log_error("x")),
    ("DEFAULT_ERRCODE", lambda m: m.spec_make_internal_error_rsp_data("e")),
    ("random", lambda m: m.gen_new_req_id()),
    ("string", lambda m: m.gen_new_req_id()),
    ("uuid", lambda m: m.spec_gen_notify_id()),
    ("json", lambda m: m.spec_make_internal_error_rsp_data("e")),
    ("os", lambda m: m.is_spec_env()),
    ("threading", lambda m: m.SpecEnv()),
    ("datetime", lambda m: m.spec_log_info("x")),
    ("time", lambda m: m.SpecToVQHTTPReqConstructor("r", "/p", m.CorpModelCallBack("c", 1, "a", "j", "d"))
     .get_normal_header()),
    ("requests", lambda m: m.ChatDataSDK("c", 1, "a", "j").echo("{}")),
    ("spec_env", lambda m: m.ChatDataSDK("c", 1, "a", "j").get_req_url("/p")),
    ("log_lock", lambda m: m.spec_log_info("x")),
    ("CorpModelCallBack", lambda m: m.ChatDataSDK("c", 1, "a", "j").echo("{}")),
]


@pytest.mark.parametrize("name,call", DELETED_NAMES, ids=[n for n, _ in DELETED_NAMES])
def test_deleted_name_is_a_name_error(sdk, monkeypatch, tmp_path, name, call):
    install_env(sdk, monkeypatch, tmp_path, REC, "normal", "")
    delattr(sdk, name)
    assert outcome(lambda: call(sdk)) == outcome(lambda: exec(name, {}))
