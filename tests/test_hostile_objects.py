"""Hostile objects: values whose methods (lower, __eq__, __str__, __int__,
__index__, __float__) change the list, tuple or mapping that holds them, or
each other, while the module is working on them.

Each case runs in a fresh interpreter whose allocator fills freed memory
(or, under the sanitizer build, lets AddressSanitizer watch it), so a use of
a freed object stops the child instead of going unnoticed. A case prints
"ok" when every value came through intact.
"""
import os

import pytest

from conftest import run_python

PRELUDE = """
import sys, vqspecapisdk as m
def fresh(text):
    return "".join(list(text))       # a new str that only its holder refers to
def bare(cls):
    return cls.__new__(cls)
def refused(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as e:
        return e.args
    raise AssertionError("no exception")
"""

CASES = {
    # header pair [name, value]: the name's lower() replaces the value
    "inbound name.lower frees the value": """
class Name(str):
    def lower(self):
        pair[1] = None
        return str.lower(self)
pair = [Name("VQ-NONCE"), fresh("nonce-42")]
d = bare(m.VQToSpecHTTPReqDecoder)
assert refused(d.__init__, [pair], "") == ("Invalid header",)
assert d._header_nonce == "nonce-42"
""",
    # the name's lower() empties the header list being walked
    "inbound name.lower empties the list": """
class Name(str):
    def lower(self):
        del headers[:]
        return str.lower(self)
headers = [[Name("vq-nonce"), fresh("n1")], ("vq-timestamp", fresh("1"))]
d = bare(m.VQToSpecHTTPReqDecoder)
assert refused(d.__init__, headers, "") == ("Invalid header",)
assert d._header_nonce == "n1" and d._header_timestamp is None
""",
    # the name's lower() changes the other pair's value
    "inbound name.lower changes another pair": """
class Name(str):
    def lower(self):
        headers[1][1] = None
        return str.lower(self)
headers = [(Name("x-other"), "v"), [fresh("vq-timestamp"), fresh("123")]]
d = bare(m.VQToSpecHTTPReqDecoder)
assert refused(d.__init__, headers, "") == ("Invalid header",)
assert d._header_timestamp is None
""",
    # response header pair: the name's __eq__ replaces the value
    "outbound name.__eq__ frees the value": """
class Name(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        pair[1] = None
        return str.__eq__(self, other)
pair = [Name("vq-nonce"), fresh("nonce-43")]
d = bare(m.SpecToVQHTTPRspDecoder)
d.__init__(200, [pair], "plain")
assert d._header_nonce == "nonce-43" and d.get_data() == "plain"
""",
    # response header pair: the name's __eq__ empties the header list
    "outbound name.__eq__ empties the list": """
class Name(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        del headers[:]
        return str.__eq__(self, other)
headers = [[Name("vq-status"), fresh("7")], ["vq-nonce", fresh("n")]]
d = bare(m.SpecToVQHTTPRspDecoder)
d.__init__(200, headers, "plain")
assert d._header_nonce is None and d.get_rsp_status() == "0"
""",
    # (status, data) from an overridden common_send_http_post: converting the
    # status frees the data
    "api status.__int__ frees the data": """
class Status(object):
    def __int__(self):
        box[1] = None
        return 0
class Client(m.ChatDataSDK):
    def common_send_http_post(self, cgi_path, url, body):
        global box
        box = [Status(), fresh("answer-44")]
        return box
assert Client("c", 1, "a", "j").echo("p") == "answer-44"
""",
    "api failed status.__int__ frees the status text": """
class Status(object):
    def __int__(self):
        box[0] = None
        return 3
    def __str__(self):
        return "3"
class Client(m.ChatDataSDK):
    def common_send_http_post(self, cgi_path, url, body):
        global box
        box = [Status(), "x"]
        return box
args = refused(Client("c", 1, "a", "j").echo, "p")
assert str(args[0]) == "3" and args[1] == "Post Err"
""",
    # keyword values taken from the caller's dict: one value's __str__
    # empties the dict that holds the others
    "log keyword __str__ empties the dict": """
class Level(object):
    def __str__(self):
        kw.clear()
        return "LVL"
class Rid(object):
    def __str__(self):
        return "rid-46"
kw = {"log_level": Level(), "req_id": Rid()}
m.spec_log(**kw)
""",
    "signature keyword __str__ empties the dict": """
class Stamp(object):
    def __str__(self):
        kw.clear()
        return "1"
class Nonce(object):
    def __str__(self):
        return "2"
kw = {"secret_key": "k", "body": "b", "timestamp": Stamp(), "nonce": Nonce(), "secret_ver": fresh("3")}
assert m.get_signature(**kw) == m.get_signature("k", "b", "1", "2", "3")
""",
    "timeout keyword __float__ / __index__ empties the dict": """
class Seconds(object):
    def __float__(self):
        kw.clear()
        return 1.5
class Whole(object):
    def __index__(self):
        kw.clear()
        return 3
c = m.ChatDataSDK("c", 1, "a", "j")
kw = {"seconds": Seconds()}
c.set_connect_timeout(**kw)
kw = {"seconds": Whole()}
c.set_read_timeout(**kw)
assert (c.connect_timeout, c.read_timeout) == (1.5, 3.0)
""",
    # log arguments that change each other while they are turned into text
    "log argument __str__ changes the next one": """
class First(object):
    def __str__(self):
        second[:] = ["changed"]
        return "first"
second = [fresh("orig")]
m.spec_log_info(First(), second)
""",
    # the stdout writer rebinds sys.stdout (dropping itself) while it writes
    "stdout writer replaces itself": """
import io
class Writer(object):
    def write(self, s):
        sys.stdout = io.StringIO()
        self.seen = s
        return len(s)
sys.stdout = Writer()
m.spec_log_info("x")
sys.stdout = sys.__stdout__
""",
}


def child_allocator():
    # Under the sanitizer build the interpreter already allocates with
    # malloc (so ASan sees every object); the debug hooks on top of it fill
    # freed memory either way.
    return "malloc_debug" if os.environ.get("PYTHONMALLOC", "").startswith("malloc") else "debug"


@pytest.mark.parametrize("code", list(CASES.values()), ids=list(CASES))
def test_hostile_object(code):
    r = run_python(PRELUDE + code + "\nprint('ok')\n", env={"PYTHONMALLOC": child_allocator()})
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.splitlines()[-1] == "ok"
