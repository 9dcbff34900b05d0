"""Module frame: names and their order, constants, facilities, argument rules,
plain classes, the retry-notify exception and the small identifier helpers."""
import base64
import datetime
import hmac
import hashlib
import inspect
import json
import os
import random
import re
import string
import sys
import threading
import time
import uuid

import pytest
import requests
import requests.structures
from Crypto.Cipher import AES
from Crypto.Util import Padding

import vqspecapisdk as m
from conftest import TYPE_MSG, log_texts, run_python

FACILITIES = ["random", "string", "time", "AES", "pad", "unpad", "hashlib", "hmac", "base64",
              "datetime", "os", "inspect", "json", "requests", "CaseInsensitiveDict", "threading", "uuid"]
CONSTANTS = ["SECRET_KEY_FILE_PATH", "SDK_VERSION", "DOMAIN", "DEBUG_DOMAIN", "DEBUG_TEST_DOMAIN",
             "LOG_VER", "LOG_FIELD_CUSTOM_MAX_SIZE", "LOG_LEVEL_ERROR", "LOG_LEVEL_INFO",
             "LOG_LEVEL_DEBUG", "DEFAULT_ERRCODE", "KEEP_ALIVE"]
EARLY_FUNCTIONS = ["spec_log", "spec_log_info", "spec_log_debug", "spec_log_error",
                   "spec_log_info_with_req_id", "spec_log_debug_with_req_id",
                   "spec_log_error_with_req_id", "is_spec_env", "is_digit_str", "get_signature",
                   "encrypt_body", "decrypt_body", "gen_new_req_id"]
LATE_CLASSES = ["VQToSpecRetryNotifyException", "CorpModelCallBack", "VQToSpecHTTPReqDecoder",
                "VQToSpecHTTPRspConstructor", "SpecToVQHTTPRspDecoder",
                "SpecToVQHTTPReqConstructor", "ChatDataSDK"]
LATE_FUNCTIONS = ["spec_open_debug_mode", "spec_debug_use_test_domain",
                  "spec_make_internal_error_rsp_data", "spec_get_sdk_version", "spec_gen_notify_id"]
EXPECTED_ORDER = (FACILITIES + CONSTANTS + ["log_lock"] + EARLY_FUNCTIONS
                  + ["SecretInfo", "SpecEnv", "spec_env"] + LATE_CLASSES + LATE_FUNCTIONS)
CLASSES = ["SecretInfo", "SpecEnv"] + LATE_CLASSES
FUNCTIONS = EARLY_FUNCTIONS + LATE_FUNCTIONS



def public_names():
    return [k for k in vars(m) if not k.startswith("_")]


# ---- names, order, constants, facilities ------------------------------------------------

def test_public_names_in_definition_order():
    assert public_names() == EXPECTED_ORDER


def test_surface_counts():
    assert len(CONSTANTS) == 12
    assert len(FUNCTIONS) == 18
    assert len(CLASSES) == 9
    for name in FUNCTIONS:
        assert callable(getattr(m, name)), name
        assert not isinstance(getattr(m, name), type), name
    for name in CLASSES:
        assert isinstance(getattr(m, name), type), name


@pytest.mark.parametrize("name,value", [
    ("SECRET_KEY_FILE_PATH", "/static_config/secret_key"),
    ("SDK_VERSION", "python-1.2.3"),
    ("LOG_VER", 1),
    ("LOG_FIELD_CUSTOM_MAX_SIZE", 32768),
    ("LOG_LEVEL_ERROR", "ERR"),
    ("LOG_LEVEL_INFO", "INFO"),
    ("LOG_LEVEL_DEBUG", "DBG"),
    ("DEFAULT_ERRCODE", 710660),
    ("KEEP_ALIVE", True),
])
def test_constant_values(name, value):
    got = getattr(m, name)
    assert type(got) is type(value)
    assert got == value


@pytest.mark.parametrize("name", ["DOMAIN", "DEBUG_DOMAIN", "DEBUG_TEST_DOMAIN"])
def test_domains_are_https_base_urls(name):
    value = getattr(m, name)
    assert type(value) is str
    assert re.match(r"^https://[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+$", value), value


def test_domains_differ():
    assert len({m.DOMAIN, m.DEBUG_DOMAIN, m.DEBUG_TEST_DOMAIN}) == 3


@pytest.mark.parametrize("name,expected", [
    ("random", random), ("string", string), ("time", time), ("AES", AES),
    ("pad", Padding.pad), ("unpad", Padding.unpad), ("hashlib", hashlib), ("hmac", hmac),
    ("base64", base64), ("datetime", datetime), ("os", os), ("inspect", inspect),
    ("json", json), ("requests", requests),
    ("CaseInsensitiveDict", requests.structures.CaseInsensitiveDict),
    ("threading", threading), ("uuid", uuid),
])
def test_facilities_are_the_real_objects(name, expected):
    assert getattr(m, name) is expected


def test_log_lock_is_a_plain_non_reentrant_lock():
    lock = m.log_lock
    assert type(lock) is type(threading.Lock())
    assert not lock.locked()
    assert lock.acquire(False)
    try:
        assert not lock.acquire(False)
    finally:
        lock.release()
    assert not lock.locked()


def test_spec_env_is_the_one_spec_env_instance():
    assert type(m.spec_env) is m.SpecEnv
    import importlib
    assert importlib.import_module("vqspecapisdk") is m


def test_import_reads_nothing_and_writes_nothing():
    r = run_python("import vqspecapisdk, sys\n"
                   "assert vqspecapisdk.spec_env is not None\n"
                   "sys.stdout.write('imported')\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout == "imported"
    assert r.stderr == ""


@pytest.mark.parametrize("missing", ["random", "requests", "requests.structures", "Crypto.Cipher.AES",
                                     "Crypto.Util.Padding", "json", "uuid"])
def test_missing_facility_fails_the_import_with_its_own_error(missing):
    # A facility that cannot be imported fails the module's import with the
    # error the import of that facility raises, nothing wrapped around it.
    r = run_python("import sys\n"
                   "sys.modules[%r] = None\n"
                   "try:\n"
                   "    import vqspecapisdk\n"
                   "except BaseException as e:\n"
                   "    print(type(e).__name__, e.__cause__ is None)\n"
                   "    print(e)\n"
                   "    print('vqspecapisdk' in sys.modules)\n" % missing)
    kind, text, loaded = r.stdout.splitlines()
    assert kind == "ModuleNotFoundError True"
    assert text == "import of %s halted; None in sys.modules" % missing
    assert loaded == "False"


def test_missing_requests_reads_as_the_missing_module(tmp_path):
    # With the HTTP client not installed at all (shadowed by an empty path).
    (tmp_path / "requests").mkdir()
    (tmp_path / "requests" / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'requests'\", name='requests')\n")
    r = run_python("import sys; sys.path.insert(0, %r)\nimport vqspecapisdk\n" % str(tmp_path))
    assert r.returncode == 1
    assert r.stderr.strip().splitlines()[-1] == "ModuleNotFoundError: No module named 'requests'"
    assert "initialization failed" not in r.stderr


# ---- spec_get_sdk_version, identifiers, is_digit_str ------------------------------------

def test_sdk_version():
    assert m.spec_get_sdk_version() == "python-1.2.3"


def test_sdk_version_follows_the_module_attribute(monkeypatch):
    monkeypatch.setattr(m, "SDK_VERSION", "python-9.8.7")
    assert m.spec_get_sdk_version() == "python-9.8.7"
    marker = object()
    monkeypatch.setattr(m, "SDK_VERSION", marker)
    assert m.spec_get_sdk_version() is marker


def test_sdk_version_takes_no_argument():
    with pytest.raises(TypeError):
        m.spec_get_sdk_version(1)


@pytest.fixture
def saved_random_state():
    state = random.getstate()
    yield
    random.setstate(state)


@pytest.mark.parametrize("seed", [0, 1, 12345, "seed-text"])
def test_req_id_draws_from_the_process_generator(seed, saved_random_state):
    random.seed(seed)
    got = m.gen_new_req_id()
    got_next = random.random()
    random.seed(seed)
    want = "".join(random.sample(string.ascii_letters + string.digits, 16))
    want_next = random.random()
    assert got == want
    # the generator advanced exactly as far as the reference draw
    assert got_next == want_next


def test_req_id_shape():
    alphabet = set(string.ascii_letters + string.digits)
    ids = [m.gen_new_req_id() for _ in range(50)]
    for rid in ids:
        assert type(rid) is str
        assert len(rid) == 16
        assert len(set(rid)) == 16
        assert set(rid) <= alphabet
    assert len(set(ids)) == len(ids)


def test_notify_id_shape():
    ids = [m.spec_gen_notify_id() for _ in range(50)]
    for nid in ids:
        assert type(nid) is str
        assert re.match(r"^[0-9a-f]{32}$", nid), nid
        assert nid[12] == "1"
        assert uuid.UUID(nid).version == 1
    assert len(set(ids)) == len(ids)


class StrSub(str):
    pass


@pytest.mark.parametrize("value,expected", [
    ("0", True), ("7", True), ("0007", True), ("1234567890" * 20, True),
    (u"\u0663", True),             # ARABIC-INDIC DIGIT THREE
    (u"\u0e53\u0e54", True),       # Thai digits
    (u"\uff11\uff12", True),       # full-width digits
    (u"\u00b2", True),             # superscript two
    (u"1\u00b2", True),
    (u"\u00bd", False),            # vulgar fraction one half
    (u"\u2164", False),            # roman numeral five
    ("-1", False), ("+1", False), ("1.0", False), (" 1", False), ("1 ", False),
    ("", False), ("1a", False), ("\n", False),
    (5, False), (None, False), (b"12", False), (1.0, False), (["1"], False),
])
def test_is_digit_str(value, expected):
    assert m.is_digit_str(value) is expected


def test_is_digit_str_keyword():
    assert m.is_digit_str(s="42") is True
    assert m.is_digit_str(s="4-2") is False


# ---- argument rules ------------------------------------------------------------------------

class IntSub(int):
    pass


class ListSub(list):
    pass


def _callback(*args, **kwargs):
    return m.CorpModelCallBack(*args, **kwargs)


def _client():
    return m.ChatDataSDK("corp", 1, "ability", "job")


ARG_CASES = [
    # (id, call, name, expected, got)
    ("errmsg-None", lambda: m.spec_make_internal_error_rsp_data(None), "errmsg", "str", "NoneType"),
    ("errmsg-bytes", lambda: m.spec_make_internal_error_rsp_data(b"x"), "errmsg", "str", "bytes"),
    ("errmsg-subclass", lambda: m.spec_make_internal_error_rsp_data(StrSub("x")), "errmsg", "str", "StrSub"),
    ("errmsg-kw", lambda: m.spec_make_internal_error_rsp_data(errmsg=1), "errmsg", "str", "int"),
    ("cb-corpid", lambda: _callback(None, 1, "a", "j", "d"), "corpid", "str", "NoneType"),
    ("cb-agentid-bool", lambda: _callback("c", True, "a", "j", "d"), "agentid", "int", "bool"),
    ("cb-agentid-float", lambda: _callback("c", 1.0, "a", "j", "d"), "agentid", "int", "float"),
    ("cb-agentid-str", lambda: _callback("c", "1", "a", "j", "d"), "agentid", "int", "str"),
    ("cb-agentid-subclass", lambda: _callback("c", IntSub(1), "a", "j", "d"), "agentid", "int", "IntSub"),
    ("cb-ability_id", lambda: _callback("c", 1, 5, "j", "d"), "ability_id", "str", "int"),
    ("cb-job_info", lambda: _callback("c", 1, "a", b"j", "d"), "job_info", "str", "bytes"),
    ("cb-data", lambda: _callback("c", 1, "a", "j", {}), "data", "str", "dict"),
    ("cb-order-1", lambda: _callback(None, None, None, None, None), "corpid", "str", "NoneType"),
    ("cb-order-2", lambda: _callback("c", None, None, None, None), "agentid", "int", "NoneType"),
    ("cb-order-3", lambda: _callback("c", 0, None, None, None), "ability_id", "str", "NoneType"),
    ("cb-order-4", lambda: _callback("c", 0, "", None, None), "job_info", "str", "NoneType"),
    ("cb-order-kw", lambda: _callback(data=None, job_info=None, corpid=None, agentid=None, ability_id=None),
     "corpid", "str", "NoneType"),
    ("retry-message", lambda: m.VQToSpecRetryNotifyException(None), "message", "str", "NoneType"),
    ("retry-status", lambda: m.VQToSpecRetryNotifyException("m", 1), "status", "str", "int"),
    ("retry-status-kw", lambda: m.VQToSpecRetryNotifyException(message="m", status=None),
     "status", "str", "NoneType"),
    ("sdk-corpid", lambda: m.ChatDataSDK(1, 1, "a", "j"), "corpid", "str", "int"),
    ("sdk-agentid-bool", lambda: m.ChatDataSDK("c", False, "a", "j"), "agentid", "int", "bool"),
    ("sdk-job_info", lambda: m.ChatDataSDK("c", 1, "a", None), "job_info", "str", "NoneType"),
    ("sdk-set_req_id", lambda: _client().set_req_id(5), "req_id", "str", "int"),
    ("sdk-get_req_url", lambda: _client().get_req_url(None), "cgi_path", "str", "NoneType"),
    ("sdk-sync_msg", lambda: _client().sync_msg(None), "param", "str", "NoneType"),
    ("sdk-search_msg", lambda: _client().search_msg(param=b"{}"), "param", "str", "bytes"),
    ("inreq-headers-tuple", lambda: m.VQToSpecHTTPReqDecoder((("a", "b"),), "body"), "headers", "list", "tuple"),
    ("inreq-headers-subclass", lambda: m.VQToSpecHTTPReqDecoder(ListSub(), "body"), "headers", "list", "ListSub"),
    ("inreq-body", lambda: m.VQToSpecHTTPReqDecoder([], None), "body", "str", "NoneType"),
    ("inreq-order", lambda: m.VQToSpecHTTPReqDecoder(None, None), "headers", "list", "NoneType"),
    ("inrsp-data", lambda: m.VQToSpecHTTPRspConstructor(None), "data", "str", "NoneType"),
    ("outrsp-status", lambda: m.SpecToVQHTTPRspDecoder(True, [], ""), "status_code", "int", "bool"),
    ("outrsp-headers", lambda: m.SpecToVQHTTPRspDecoder(200, {}, ""), "headers", "list", "dict"),
    ("outrsp-body", lambda: m.SpecToVQHTTPRspDecoder(200, [], None), "body", "str", "NoneType"),
    ("outreq-req_id", lambda: m.SpecToVQHTTPReqConstructor(None, "/p", None), "req_id", "str", "NoneType"),
    ("outreq-cgi_path", lambda: m.SpecToVQHTTPReqConstructor("r", 1, None), "cgi_path", "str", "int"),
    ("secret-line", lambda: m.SecretInfo().parse_from_string(None), "line", "str", "NoneType"),
    ("env-debug_token", lambda: m.SpecEnv().open_debug_mode(1, "x"), "debug_token", "str", "int"),
    ("env-access_token", lambda: m.SpecEnv().open_debug_mode("x", None), "access_token", "str", "NoneType"),
]


@pytest.mark.parametrize("call,name,expected,got", [c[1:] for c in ARG_CASES], ids=[c[0] for c in ARG_CASES])
def test_argument_type_refused_before_the_body(call, name, expected, got, capsys):
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == TYPE_MSG % (name, expected, got)
    assert type(ei.value) is TypeError
    # refused before anything ran: no log line, no request, no secret lookup
    assert capsys.readouterr().out == ""


def test_debug_switch_argument_types_in_a_fresh_interpreter():
    code = (
        "import vqspecapisdk as m\n"
        "for args, name, got in [((None, 'x'), 'debug_token', 'NoneType'),\n"
        "                        (('x', 1), 'access_token', 'int'),\n"
        "                        ((b'x', None), 'debug_token', 'bytes')]:\n"
        "    try:\n"
        "        m.spec_open_debug_mode(*args)\n"
        "    except TypeError as e:\n"
        "        assert str(e) == \"Argument '%s' has incorrect type (expected str, got %s)\" % (name, got), str(e)\n"
        "    else:\n"
        "        raise AssertionError('accepted %r' % (args,))\n"
        "assert m.spec_env.get_is_debug_mode() is False\n"
        "print('done')\n")
    r = run_python(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "done\n"


def test_echo_param_is_unchecked_but_sync_msg_is():
    client = _client()
    with pytest.raises(TypeError) as ei:
        client.sync_msg(None)
    assert str(ei.value) == TYPE_MSG % ("param", "str", "NoneType")
    assert "echo" in type(client).__dict__


def test_float_parameter_converts_integers():
    client = _client()
    client.set_connect_timeout(3)
    assert type(client.connect_timeout) is float and client.connect_timeout == 3.0
    client.set_read_timeout(seconds=True)
    assert type(client.read_timeout) is float and client.read_timeout == 1.0


@pytest.mark.parametrize("call,word", [
    (lambda: m.encrypt_body(aes_key="k", origin_body="", extra=1), "extra"),
    (lambda: m.get_signature("k", "b", 1, 2, 3, key="x"), "key"),
    (lambda: m.spec_log_info(level="INFO"), "level"),
    (lambda: m.spec_log("INFO", "r", "text", sep=","), "sep"),
    (lambda: m.spec_gen_notify_id(x=1), "x"),
    (lambda: m.spec_get_sdk_version(version="1"), "version"),
    (lambda: m.is_digit_str(value="1"), "value"),
    (lambda: m.spec_make_internal_error_rsp_data(msg="x"), "msg"),
    (lambda: _callback("c", 1, "a", "j", "d", extra=1), "extra"),
    (lambda: _callback(None, 1, "a", "j", "d", extra=1), "extra"),
    (lambda: m.VQToSpecRetryNotifyException("m", code="2"), "code"),
    (lambda: m.SecretInfo().parse_from_string(text="a,b,c,d"), "text"),
])
def test_unknown_keyword_refused(call, word):
    with pytest.raises(TypeError) as ei:
        call()
    assert "unexpected keyword argument '%s'" % word in str(ei.value)


@pytest.mark.parametrize("call", [
    lambda: m.encrypt_body("k"),
    lambda: m.decrypt_body(origin_body=""),
    lambda: m.get_signature("k", "b", 1, 2),
    lambda: m.spec_log("INFO"),
    lambda: m.spec_log_info_with_req_id(),
    lambda: m.is_digit_str(),
    lambda: _callback("c", 1, "a", "j"),
    lambda: m.VQToSpecRetryNotifyException(),
    lambda: m.encrypt_body("k", "", "extra"),
    lambda: m.gen_new_req_id(1),
    lambda: m.encrypt_body("k", "", aes_key="k"),
])
def test_wrong_argument_count_refused(call):
    with pytest.raises(TypeError):
        call()


def test_star_arguments_by_many_threads():
    # The extra positionals are read from the caller's argument array while
    # other threads call the same function with other arguments.
    out = []

    class Sink(object):
        def write(self, s):
            out.append(s)

    saved = sys.stdout
    sys.stdout = Sink()
    try:
        def worker(k):
            for i in range(200):
                m.spec_log_info("t%d" % k, i, "x" * k)
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.stdout = saved
    assert len(out) == 1600 and all(s.endswith("\n") for s in out)
    for level, _, text in log_texts("".join(out)):
        k, i, x = text.split(" ")
        assert level == "INFO" and x == "x" * int(k[1:]) and 0 <= int(i) < 200


def test_parameters_by_keyword():
    key = base64.b64encode(bytes(range(32))).decode()[:-1]
    wire = m.encrypt_body(origin_body="x", aes_key=key)
    assert m.decrypt_body(aes_key=key, origin_body=wire) == "x"
    assert m.get_signature(secret_ver=1, nonce=2, timestamp=3, body="b", secret_key="k") == \
        m.get_signature("k", "b", 3, 2, 1)
    c = m.CorpModelCallBack(data="d", job_info="j", ability_id="a", agentid=3, corpid="c")
    assert (c.corpid, c.agentid, c.ability_id, c.job_info, c.data) == ("c", 3, "a", "j", "d")
    e = m.VQToSpecRetryNotifyException(status="2", message="m")
    assert (e.message, e.status) == ("m", "2")
    assert m.spec_make_internal_error_rsp_data(errmsg="x") == '{"errcode": 710660, "errmsg": "x"}'


# ---- plain classes -----------------------------------------------------------------------------

@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_plain_python_classes(name):
    cls = getattr(m, name)
    assert type(cls) is type
    assert cls.__module__ == "vqspecapisdk"
    assert cls.__name__ == name
    if name == "VQToSpecRetryNotifyException":
        assert cls.__bases__ == (Exception,)
    else:
        assert cls.__bases__ == (object,)

    class Sub(cls):
        pass
    assert issubclass(Sub, cls)


ANNOTATIONS = {
    "SecretInfo": [("ver", str), ("token", str), ("encoding_aes_key", str), ("program_id", str)],
    "SpecEnv": [("is_debug_mode", bool), ("debug_token", str), ("access_token", str),
                ("use_test_domain", bool), ("debug_secret_info", "SecretInfo"),
                ("normal_secret_info", "SecretInfo")],
    "VQToSpecRetryNotifyException": [],
    "CorpModelCallBack": [("corpid", str), ("agentid", int), ("data", str), ("job_info", str),
                          ("ability_id", str)],
    "VQToSpecHTTPReqDecoder": [],
    "VQToSpecHTTPRspConstructor": [("data", str), ("encoded_body", str)],
    "SpecToVQHTTPRspDecoder": [],
    "SpecToVQHTTPReqConstructor": [("body", "CorpModelCallBack"), ("encoded_body", str), ("req_id", str),
                                   ("cgi_path", str)],
    "ChatDataSDK": [("corpid", str), ("agentid", int), ("ability_id", str), ("job_info", str),
                    ("req_id", str), ("connect_timeout", float), ("read_timeout", float)],
}


@pytest.mark.parametrize("name", CLASSES)
def test_declared_attributes(name):
    cls = getattr(m, name)
    want = [(k, getattr(m, v) if isinstance(v, str) else v) for k, v in ANNOTATIONS[name]]
    assert list(cls.__dict__.get("__annotations__", {}).items()) == want
    # declarations only: the class body assigns no values
    for k, _ in want:
        assert k not in cls.__dict__


API_METHODS = [
    "sync_msg", "get_msg_list_by_page_id", "get_group_chat", "get_agree_status_single",
    "get_agree_status_room", "set_hide_sensitiveinfo_config", "get_hide_sensitiveinfo_config",
    "search_chat", "search_msg", "create_rule", "get_rule_list", "get_rule_detail", "update_rule",
    "delete_rule", "get_hit_msg_list", "create_sentiment_task", "get_sentiment_result",
    "create_summary_task", "get_summary_result", "create_customer_tag_task", "get_customer_tag_result",
    "create_recommend_dialog_task", "get_recommend_dialog_result", "create_model_task",
    "get_model_task_result", "document_list", "knowledge_base_list", "knowledge_base_create",
    "knowledge_base_detail", "knowledge_base_add_doc", "knowledge_base_remove_doc",
    "knowledge_base_modify_name", "knowledge_base_delete", "create_spam_task", "get_spam_result",
    "create_chatdata_export_job", "get_chatdata_export_job_status", "program_async_job_call_back",
    "spec_notify_app", "create_program_task", "get_program_task_result", "create_vq_model_task",
    "get_vq_model_result", "search_contact_or_customer",
]
METHODS = {
    "SecretInfo": ["parse_from_string", "load", "debug_string"],
    "SpecEnv": ["__init__", "open_debug_mode", "_get_normal_secret_info", "_get_debug_secret_info",
                "get_secret_info", "set_use_test_domain", "get_use_test_domain", "get_is_debug_mode",
                "get_access_token", "get_key_ver", "get_token", "get_encoding_aes_key", "get_program_id"],
    "VQToSpecRetryNotifyException": ["__init__", "GetStatus"],
    "CorpModelCallBack": ["__init__", "to_json"],
    "VQToSpecHTTPReqDecoder": ["__init__", "get_corpid", "get_agentid", "get_data", "get_call_type",
                               "get_is_async", "get_job_info", "get_ability_id", "get_notify_id",
                               "get_req_id"],
    "VQToSpecHTTPRspConstructor": ["__init__", "get_normal_header", "get_exception_header",
                                   "get_retry_notify_header", "get_encoded_body"],
    "SpecToVQHTTPRspDecoder": ["__init__", "get_rsp_status", "get_data"],
    "SpecToVQHTTPReqConstructor": ["__init__", "get_normal_header", "get_encoded_body"],
    "ChatDataSDK": ["__init__", "set_connect_timeout", "set_read_timeout", "set_req_id", "get_req_url",
                    "common_send_http_post", "echo"] + API_METHODS,
}


@pytest.mark.parametrize("name", CLASSES)
def test_methods_in_definition_order(name):
    cls = getattr(m, name)
    got = [k for k, v in cls.__dict__.items() if callable(v) and not isinstance(v, type)]
    assert got == METHODS[name]


def test_api_method_count():
    assert len(API_METHODS) == 44


def test_secret_info_has_no_constructor_of_its_own():
    info = m.SecretInfo()
    assert vars(info) == {}
    with pytest.raises(AttributeError):
        info.ver
    with pytest.raises(TypeError):
        m.SecretInfo("1")
    info.ver = "v"
    info.extra = 1
    assert vars(info) == {"ver": "v", "extra": 1}


def test_instances_have_ordinary_fields():
    c = m.CorpModelCallBack("c", 7, "a", "j", "d")
    assert list(vars(c).items()) == [("corpid", "c"), ("agentid", 7), ("ability_id", "a"),
                                     ("job_info", "j"), ("data", "d")]
    c.corpid = "other"
    c.anything = [1]
    del c.job_info
    assert vars(c) == {"corpid": "other", "agentid": 7, "ability_id": "a", "data": "d", "anything": [1]}


def test_arguments_stored_unchanged():
    corpid, ability, job, data = "corp-\u4e2d", "ab", "", "{}"
    agentid = 2 ** 70
    c = m.CorpModelCallBack(corpid, agentid, ability, job, data)
    assert c.corpid is corpid and c.agentid is agentid and c.ability_id is ability
    assert c.job_info is job and c.data is data


def test_subclass_keeps_behaviour():
    class MyCallBack(m.CorpModelCallBack):
        def extra(self):
            return self.corpid * 2

    c = MyCallBack("c", 1, "a", "j", "d")
    assert isinstance(c, m.CorpModelCallBack)
    assert c.extra() == "cc"
    assert c.to_json() == '{"corpid": "c", "agentid": 1, "data": "d", "job_info": "j", "ability_id": "a"}'

    class MyInfo(m.SecretInfo):
        def __init__(self):
            self.ver = "9"
    assert MyInfo().ver == "9"


def test_spec_env_fresh_instance_is_independent():
    env = m.SpecEnv()
    assert env is not m.spec_env
    assert type(env) is m.SpecEnv
    assert env.get_is_debug_mode() is False


# ---- VQToSpecRetryNotifyException -----------------------------------------------------------

def test_retry_exception_defaults():
    e = m.VQToSpecRetryNotifyException("ver not matched, retry notify")
    assert isinstance(e, Exception)
    assert issubclass(m.VQToSpecRetryNotifyException, Exception)
    assert not issubclass(m.VQToSpecRetryNotifyException, (ValueError, RuntimeError, TypeError))
    assert str(e) == "ver not matched, retry notify"
    assert e.args == ("ver not matched, retry notify",)
    assert e.message == "ver not matched, retry notify"
    assert e.status == "1"
    assert e.GetStatus() == "1"
    assert hasattr(e, "__dict__")


@pytest.mark.parametrize("message,status", [
    ("inqueue timeout", "2"), ("", ""), ("\u4e2d\u6587", "status with spaces"),
])
def test_retry_exception_with_status(message, status):
    e = m.VQToSpecRetryNotifyException(message, status)
    assert str(e) == message
    assert e.args == (message,)
    assert e.message is message
    assert e.status is status
    assert e.GetStatus() is status
    assert list(vars(e)) == ["message", "status"]


def test_retry_exception_raise_and_catch():
    with pytest.raises(m.VQToSpecRetryNotifyException) as ei:
        raise m.VQToSpecRetryNotifyException("inqueue timeout", "2")
    assert ei.value.GetStatus() == "2"
    try:
        raise m.VQToSpecRetryNotifyException("x")
    except Exception as e:
        assert str(e) == "x"
    else:
        raise AssertionError("not raised")


def test_retry_exception_subclass():
    class Mine(m.VQToSpecRetryNotifyException):
        pass
    e = Mine("m", status="3")
    assert isinstance(e, m.VQToSpecRetryNotifyException)
    assert (str(e), e.GetStatus(), e.args) == ("m", "3", ("m",))


def test_get_status_follows_assignment():
    e = m.VQToSpecRetryNotifyException("m")
    e.status = "5"
    assert e.GetStatus() == "5"


# ---- functions as the interpreter's own --------------------------------------------------

def sdk_callables():
    """(owner, name, object) of every module function and every method."""
    out = [(None, n, getattr(m, n)) for n in FUNCTIONS]
    for cname in CLASSES:
        cls = getattr(m, cname)
        out += [(cls, n, cls.__dict__[n]) for n in METHODS[cname]]
    return out


CALLABLES = sdk_callables()
CALLABLE_IDS = [(o.__name__ + "." if o else "") + n for o, n, _ in CALLABLES]


def reference_of(owner, fn):
    """A plain-Python function with the same parameters, defined where the
    SDK's is (module level or in a class of the same name)."""
    params = []
    for p in inspect.signature(fn).parameters.values():
        if p.kind is p.VAR_POSITIONAL:
            params.append("*" + p.name)
        else:
            params.append(p.name if p.default is p.empty else "%s=%r" % (p.name, p.default))
    src = "def %s(%s): pass" % (fn.__name__, ", ".join(params))
    if owner is not None:
        src = "class %s:\n    %s\nref = %s.%s" % (owner.__name__, src, owner.__name__, fn.__name__)
    else:
        src += "\nref = %s" % fn.__name__
    ns = {}
    exec(src, ns)
    return ns["ref"]


def call_shapes(names, seed):
    """Positional counts and keyword sets around a parameter list, with the
    odd keywords the interpreter quotes whole."""
    n = len(names)
    shapes = [(k, []) for k in range(n + 3)]
    shapes += [(n + 1, ["zz"]), (n + 1, names[:1]), (0, ["zz"]), (n, ["a b"]),
               (0, ["aes_key\x00x"]), (0, ["\udcff"]), (0, names + ["zz"])]
    rng = random.Random(seed)
    for _ in range(40):
        pool = names + ["zz", "self", "args"]
        shapes.append((rng.randint(0, n + 2), rng.sample(pool, rng.randint(0, len(pool)))))
    return shapes


@pytest.mark.parametrize("owner,name,fn", CALLABLES, ids=CALLABLE_IDS)
def test_argument_errors_as_the_interpreter_gives_them(owner, name, fn):
    # Every binding failure raises the interpreter's own TypeError text, with
    # its precedence (an unknown keyword before surplus positionals) and, from
    # 3.10 on, the qualified name; the body never runs.
    ref = reference_of(owner, fn)
    names = [p.name for p in inspect.signature(fn).parameters.values() if p.kind is not p.VAR_POSITIONAL]
    for npos, kws in call_shapes(names, name):
        args, kwargs = (object(),) * npos, dict.fromkeys(kws, object())
        try:
            ref(*args, **kwargs)
            continue
        except TypeError as e:
            expected = str(e)
        with pytest.raises(TypeError) as ei:
            fn(*args, **kwargs)
        assert str(ei.value) == expected, (npos, kws)


API_SIGNATURES = {n: "(self, param: str)" for n in API_METHODS}
SIGNATURES = dict(API_SIGNATURES, **{
    "spec_log": "(log_level, req_id, *args)", "spec_log_info": "(*args)",
    "spec_log_error_with_req_id": "(req_id, *args)", "is_spec_env": "()", "is_digit_str": "(s)",
    "get_signature": "(secret_key, body, timestamp, nonce, secret_ver)",
    "encrypt_body": "(aes_key, origin_body)", "gen_new_req_id": "()",
    "spec_open_debug_mode": "(debug_token: str, access_token: str)",
    "spec_debug_use_test_domain": "(use_test_domain: bool)",
    "spec_make_internal_error_rsp_data": "(errmsg: str)",
    "SecretInfo.parse_from_string": "(self, line: str)", "SecretInfo.load": "(self)",
    "SpecEnv.open_debug_mode": "(self, debug_token: str, access_token: str)",
    "SpecEnv.set_use_test_domain": "(self, use_test_domain: bool)", "SpecEnv.get_token": "(self)",
    "VQToSpecRetryNotifyException.__init__": "(self, message: str, status: str = '1')",
    "CorpModelCallBack.__init__":
        "(self, corpid: str, agentid: int, ability_id: str, job_info: str, data: str)",
    "VQToSpecHTTPReqDecoder.__init__": "(self, headers: list, body: str)",
    "VQToSpecHTTPRspConstructor.__init__": "(self, data: str)",
    "VQToSpecHTTPRspConstructor.get_exception_header": "(self, status: str)",
    "VQToSpecHTTPRspConstructor.get_retry_notify_header": "(self, status: str = '1')",
    "SpecToVQHTTPRspDecoder.__init__": "(self, status_code: int, headers: list, body: str)",
    "SpecToVQHTTPReqConstructor.__init__":
        "(self, req_id: str, cgi_path: str, body: vqspecapisdk.CorpModelCallBack)",
    "ChatDataSDK.__init__": "(self, corpid: str, agentid: int, ability_id: str, job_info: str)",
    "ChatDataSDK.set_connect_timeout": "(self, seconds: float)",
    "ChatDataSDK.get_req_url": "(self, cgi_path: str)",
    "ChatDataSDK.common_send_http_post":
        "(self, cgi_path: str, url: str, body: vqspecapisdk.CorpModelCallBack)",
    "ChatDataSDK.echo": "(self, param)",
})


@pytest.mark.parametrize("owner,name,fn", CALLABLES, ids=CALLABLE_IDS)
def test_signatures_as_declared(owner, name, fn):
    sig = inspect.signature(fn)
    key = fn.__qualname__
    if key in SIGNATURES or name in API_SIGNATURES and owner is m.ChatDataSDK:
        # (3.6 writes annotations and defaults without spaces)
        assert str(sig).replace(" ", "") == SIGNATURES.get(key, API_SIGNATURES.get(name)).replace(" ", "")
    assert all(p.kind in (p.POSITIONAL_OR_KEYWORD, p.VAR_POSITIONAL) for p in sig.parameters.values())
    assert fn.__annotations__ == {k: p.annotation for k, p in sig.parameters.items()
                                  if p.annotation is not p.empty}
    assert fn.__qualname__ == (owner.__name__ + "." + name if owner else name)
    assert fn.__module__ == "vqspecapisdk" and fn.__doc__
    assert repr(fn).startswith("<function %s at 0x" % fn.__qualname__)


@pytest.mark.parametrize("owner,name,fn", [c for c in CALLABLES if c[0] is not None],
                         ids=[i for c, i in zip(CALLABLES, CALLABLE_IDS) if c[0] is not None])
def test_methods_save_wrap_restore(owner, name, fn):
    # As with an interpreted class: the attribute read from the class is the
    # function itself, it binds on instance access, and putting back a saved
    # one (or a wrapper around it) leaves the class working.
    orig = getattr(owner, name)
    assert orig is fn
    inst = owner.__new__(owner)
    bound = getattr(inst, name)
    assert bound.__func__ is fn and bound.__self__ is inst
    assert str(inspect.signature(bound)) == str(inspect.signature(fn)).replace("self, ", "").replace("(self)", "()")
    try:
        setattr(owner, name, lambda self, *a, **k: ("wrapped", orig(self, *a, **k)))
        assert getattr(inst, name).__func__ is not fn
    finally:
        setattr(owner, name, orig)
    assert getattr(owner, name) is fn and getattr(inst, name).__func__ is fn


def test_wrapped_method_is_called_and_restored():
    client = m.ChatDataSDK("c", 1, "a", "j")
    orig = m.ChatDataSDK.get_req_url
    m.ChatDataSDK.get_req_url = lambda self, cgi_path: "wrapped:" + orig(self, cgi_path)
    try:
        assert client.get_req_url("/p") == "wrapped:" + m.DOMAIN + "/p"
    finally:
        m.ChatDataSDK.get_req_url = orig
    assert client.get_req_url("/p") == m.DOMAIN + "/p"
    assert m.ChatDataSDK.get_req_url(client, cgi_path="/p") == m.DOMAIN + "/p"
    cb = m.CorpModelCallBack("c", 1, "a", "j", "d")
    assert m.CorpModelCallBack.to_json(self=cb) == cb.to_json()


# ---- lists kept in more than one place -----------------------------------------------------

def test_api_catalogue_copies_agree(monkeypatch):
    # The C++ table, the stubs and the simulator each list the API methods:
    # names and order agree, and each method posts to the simulator's path.
    import ast
    from simulator import platform
    stub_path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "stubs", "vqspecapisdk-stubs", "__init__.pyi")
    with open(stub_path) as f:
        tree = ast.parse(f.read())
    [stub_cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "ChatDataSDK"]
    assert [f.name for f in stub_cls.body if isinstance(f, ast.FunctionDef)] == METHODS["ChatDataSDK"]
    sim_names = [n for n, _ in platform.API_METHODS]
    assert sorted(sim_names + list(platform.API_ALIASES)) == sorted(["echo"] + API_METHODS)
    posted = []
    monkeypatch.setattr(m.ChatDataSDK, "common_send_http_post",
                        lambda self, cgi_path, url, body: posted.append(cgi_path) or (0, "{}"))
    client = m.ChatDataSDK("c", 1, "a", "j")
    paths = dict(platform.API_METHODS)
    for name in ["echo"] + API_METHODS:
        getattr(client, name)("{}")
        assert posted[-1] == paths[platform.API_ALIASES.get(name, name)], name
