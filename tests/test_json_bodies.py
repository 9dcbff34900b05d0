"""The two JSON writers: CorpModelCallBack.to_json and
spec_make_internal_error_rsp_data. Both must give exactly what json.dumps
gives at its default settings."""
import json
from collections import OrderedDict

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vqspecapisdk as m
from conftest import load_vectors

SETTINGS = settings(max_examples=200, deadline=None)
# Every code point, lone surrogates included; surrogates and the characters
# that need escapes are rare among all code points, so they get their own share.
_EVERY_CHAR = st.characters(blacklist_categories=())
_SURROGATE = st.characters(whitelist_categories=["Cs"])
_SPECIAL = st.sampled_from(["\ud800", "\udbff", "\udc00", "\udfff", "\ud83d", "\ude00", "\U0001f600",
                            "\x00", "\x1f", "\x7f", "\x80", '"', "\\", "/", "\n", "\b", "\u2028", "a",
                            "\u00e9", "\u4e2d"])
ANY_TEXT = st.one_of(st.text(_EVERY_CHAR), st.text(st.one_of(_EVERY_CHAR, _SURROGATE, _SPECIAL)))
ANY_INT = st.one_of(st.integers(), st.integers(min_value=-2 ** 300, max_value=2 ** 300))


def ref_call_body(corpid, agentid, ability_id, job_info, data):
    return json.dumps(OrderedDict([("corpid", corpid), ("agentid", agentid), ("data", data),
                                   ("job_info", job_info), ("ability_id", ability_id)]))


def ref_error_body(errmsg):
    return json.dumps(OrderedDict([("errcode", 710660), ("errmsg", errmsg)]))


def printable_ascii(text):
    return all(0x20 <= ord(c) <= 0x7e for c in text)


# ---- CorpModelCallBack.to_json --------------------------------------------------------------------

CALL_CASES = load_vectors("call_body.json")["cases"]


@pytest.mark.parametrize("case", CALL_CASES, ids=range(len(CALL_CASES)))
def test_call_body_vectors(case):
    body = m.CorpModelCallBack(case["corpid"], case["agentid"], case["ability_id"], case["job_info"],
                               case["data"])
    got = body.to_json()
    assert type(got) is str
    assert got == case["json"]
    assert got == body.to_json()


@pytest.mark.parametrize("case", CALL_CASES, ids=range(len(CALL_CASES)))
def test_call_body_vectors_by_keyword(case):
    body = m.CorpModelCallBack(data=case["data"], job_info=case["job_info"], ability_id=case["ability_id"],
                               agentid=case["agentid"], corpid=case["corpid"])
    assert body.to_json() == case["json"]


def test_call_body_layout():
    got = m.CorpModelCallBack("c1", 7, "a", "j", "{}").to_json()
    assert got == '{"corpid": "c1", "agentid": 7, "data": "{}", "job_info": "j", "ability_id": "a"}'
    assert "\n" not in got


@pytest.mark.parametrize("field", ["corpid", "job_info", "ability_id", "data"])
@pytest.mark.parametrize("text,escaped", [
    ('{"k": "v"}', '{\\"k\\": \\"v\\"}'),
    ("\u4e2d\u6587", "\\u4e2d\\u6587"),
    ("line\nbreak", "line\\nbreak"),
    ("\b\f\n\r\t", "\\b\\f\\n\\r\\t"),
    ("\x00\x01\x1f\x7f\x80", "\\u0000\\u0001\\u001f\\u007f\\u0080"),
    ("back\\slash /solidus", "back\\\\slash /solidus"),
    ("\u00e9\u00ff\uffff", "\\u00e9\\u00ff\\uffff"),
    ("\U0001f600\U0010ffff", "\\ud83d\\ude00\\udbff\\udfff"),
    ("\ud83d\ude00", "\\ud83d\\ude00"),
    ("\ud800 \udfff \udc00\ud800", "\\ud800 \\udfff \\udc00\\ud800"),
    ("\u2028\u2029", "\\u2028\\u2029"),
    ("", ""),
    ("~ !", "~ !"),
])
def test_call_body_string_escapes(field, text, escaped):
    values = OrderedDict([("corpid", "c"), ("agentid", 1), ("ability_id", "a"), ("job_info", "j"),
                          ("data", "d")])
    values[field] = text
    got = m.CorpModelCallBack(**values).to_json()
    assert got == ref_call_body(**values)
    assert ('"%s": "%s"' % (field, escaped)) in got
    assert printable_ascii(got)


@pytest.mark.parametrize("agentid", [0, 1, -1, -5, 1000002, 2 ** 31, 2 ** 63, -2 ** 63 - 1, 10 ** 40, -10 ** 100])
def test_call_body_agentid(agentid):
    got = m.CorpModelCallBack("c", agentid, "a", "j", "d").to_json()
    assert got == ref_call_body("c", agentid, "a", "j", "d")
    assert ', "agentid": %d, ' % agentid in got


@SETTINGS
@given(ANY_TEXT, ANY_INT, ANY_TEXT, ANY_TEXT, ANY_TEXT)
@example("\ud800", 0, "\udfff", "\ud83d\ude00", "\U0001f600\x00\x7f")
@example("", 2 ** 200, "", "", "")
def test_call_body_matches_json_dumps(corpid, agentid, ability_id, job_info, data):
    body = m.CorpModelCallBack(corpid, agentid, ability_id, job_info, data)
    got = body.to_json()
    assert got == ref_call_body(corpid, agentid, ability_id, job_info, data)
    assert printable_ascii(got)
    assert body.to_json() == got
    assert (body.corpid, body.agentid, body.ability_id, body.job_info, body.data) == \
        (corpid, agentid, ability_id, job_info, data)


def test_call_body_round_trips_through_json():
    data = '{"seq": 0, "limit": 100, "cursor": "a/b", "name": "\u4e2d"}'
    got = m.CorpModelCallBack("ww", 3, "ab", "{\"job\": 1}", data).to_json()
    assert json.loads(got, object_pairs_hook=OrderedDict) == OrderedDict(
        [("corpid", "ww"), ("agentid", 3), ("data", data), ("job_info", "{\"job\": 1}"), ("ability_id", "ab")])


def test_call_body_follows_assigned_fields():
    body = m.CorpModelCallBack("c", 1, "a", "j", "d")
    body.corpid = "other"
    body.agentid = 99
    body.ability_id = "\u00e9"
    body.job_info = ""
    body.data = "{}"
    assert body.to_json() == ref_call_body("other", 99, "\u00e9", "", "{}")


@pytest.mark.parametrize("data,text", [(12, "12"), (None, "None"), (["x"], "['x']"), (1.5, "1.5")])
def test_call_body_data_is_always_its_text_form(data, text):
    body = m.CorpModelCallBack("c", 1, "a", "j", "d")
    body.data = data
    assert body.to_json() == ref_call_body("c", 1, "a", "j", text)


def test_call_body_in_a_subclass():
    class Sub(m.CorpModelCallBack):
        pass
    assert Sub("c", 1, "a", "j", "d").to_json() == ref_call_body("c", 1, "a", "j", "d")


def test_to_json_takes_no_argument():
    body = m.CorpModelCallBack("c", 1, "a", "j", "d")
    with pytest.raises(TypeError):
        body.to_json(1)
    with pytest.raises(TypeError):
        body.to_json(indent=1)


# ---- spec_make_internal_error_rsp_data -------------------------------------------------------------

ERROR_CASES = load_vectors("internal_error.json")["cases"]


@pytest.mark.parametrize("case", ERROR_CASES, ids=range(len(ERROR_CASES)))
def test_internal_error_vectors(case):
    got = m.spec_make_internal_error_rsp_data(case["errmsg"])
    assert type(got) is str
    assert got == case["json"]
    assert m.spec_make_internal_error_rsp_data(errmsg=case["errmsg"]) == case["json"]


def test_internal_error_boom():
    got = m.spec_make_internal_error_rsp_data("boom")
    assert got == '{"errcode": 710660, "errmsg": "boom"}'
    assert len(got) == 37


@pytest.mark.parametrize("errmsg,escaped", [
    ("\u00e9", "\\u00e9"),
    ("\x7f", "\\u007f"),
    ("\U0001f600", "\\ud83d\\ude00"),
    ("\udc80", "\\udc80"),
    ("a\tb\r\n", "a\\tb\\r\\n"),
    ("</script>", "</script>"),
])
def test_internal_error_escapes(errmsg, escaped):
    got = m.spec_make_internal_error_rsp_data(errmsg)
    assert got == '{"errcode": 710660, "errmsg": "%s"}' % escaped
    assert got == ref_error_body(errmsg)


@SETTINGS
@given(ANY_TEXT)
@example("\ud800\udc00")
@example("\udfff\ud800")
def test_internal_error_matches_json_dumps(errmsg):
    got = m.spec_make_internal_error_rsp_data(errmsg)
    assert got == ref_error_body(errmsg)
    assert printable_ascii(got)


def test_internal_error_uses_the_module_error_code(monkeypatch):
    monkeypatch.setattr(m, "DEFAULT_ERRCODE", 123)
    assert m.spec_make_internal_error_rsp_data("x") == '{"errcode": 123, "errmsg": "x"}'


def test_internal_error_writes_nothing(capsys):
    m.spec_make_internal_error_rsp_data("quiet")
    assert capsys.readouterr().out == ""
