"""The asyncio client end to end: AsyncChatDataSDK and ChatDataSDK in one fresh
interpreter make the same calls, one after the other with the same req_id,
against the platform stand-in over real HTTPS on 127.0.0.1 (certificate
checks on, kept-alive connections); results, errors and log lines must be the
same call for call. Then the faults only the async client meets: a server
that drops an idle connection, a timed-out or cancelled call followed by
another, many calls in flight, a loop that closes with calls in flight.
"""
import json
import os
import re
import socket
import ssl
import sys
import threading
import time

import pytest

from conftest import run_python
from simulator.certs import make_certs, make_untrusted_certs
from simulator.platform import ECHO_PATH, PlatformSimulator, StalledListener, closed_port
from test_outbound_e2e import (ACCESS_TOKEN, CHILD_COMMON, CLIENT_METHODS, DEBUG_RECORD, FAULT_CASES, IDENTITY,
                               NORMAL_RECORD, case_req_id, header, header_names, method_path, run_child)

if sys.version_info < (3, 8):
    pytest.skip("the asyncio client needs CPython 3.8 or later", allow_module_level=True)
if not os.environ.get("CI"):
    pytest.importorskip("aiohttp")

CONCURRENT = 50
IDLE_CLOSE_S = 0.2
DRIP_READ_TIMEOUT = 0.5
BIG_ANSWER = 3 * 2 ** 20  # a plain answer past the crypto thread threshold
COOKIE = "sid=server-set-cookie"

CHILD = CHILD_COMMON + r'''
import asyncio
import requests
from vqspecapisdk_async import AsyncChatDataSDK

LOOP = asyncio.new_event_loop()
asyncio.set_event_loop(LOOP)

def aclient(req_id=None):
    c = AsyncChatDataSDK(CFG["corpid"], CFG["agentid"], CFG["ability_id"], CFG["job_info"])
    if req_id is not None:
        c.set_req_id(req_id)
    return c

def arun(name, c, coro_fn):
    run(name, c, lambda: LOOP.run_until_complete(coro_fn()))

def settle(c, case):
    if "connect_timeout" in case:
        c.set_connect_timeout(case["connect_timeout"])
    if "read_timeout" in case:
        c.set_read_timeout(case["read_timeout"])

def both(name, case):
    """The case with the sync client, then with the async one."""
    sdk.DOMAIN = case.get("domain", CFG["domain"])
    os.environ.update(case.get("env", {}))
    try:
        c = client(case["req_id"])
        settle(c, case)
        run("sync:" + name, c, lambda: getattr(c, case["method"])(case["param"]))
        a = aclient(case["req_id"])
        settle(a, case)
        arun("async:" + name, a, lambda: getattr(a, case["method"])(case["param"]))
        LOOP.run_until_complete(a.aclose())
    finally:
        for k in case.get("env", {}):
            os.environ[k] = ""
        sdk.DOMAIN = CFG["domain"]

sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]
sdk.DOMAIN = CFG["domain"]
run("load", client(), sdk.spec_env.get_key_ver)  # the secret file's one parse line
for name, case in CFG["cases"]:
    both(name, case)

# -- what only the async client meets -----------------------------------------------------------

sdk.DOMAIN = CFG["idle_domain"]
a = aclient("as-idle")
async def idle():
    first = await a.echo("before the server drops the connection")
    await asyncio.sleep(CFG["idle_wait"])
    return [first, await a.echo("after")]
arun("idle", a, idle)
sdk.DOMAIN = CFG["domain"]

a = aclient("as-timeout")
a.set_read_timeout(0.3)
async def timeout_then_ok():
    out = []
    for rid in ("as-timeout", "as-after-timeout"):
        a.set_req_id(rid)
        try:
            out.append(await a.echo("slow"))
        except requests.exceptions.ReadTimeout as e:
            out.append("ReadTimeout")
    return out
arun("timeout_then_ok", a, timeout_then_ok)

a = aclient("as-cancel")
async def cancel_then_ok():
    task = asyncio.ensure_future(a.echo("cancelled"))
    await asyncio.sleep(0.3)
    task.cancel()
    try:
        await task
        out = ["not cancelled"]
    except asyncio.CancelledError:
        out = ["cancelled"]
    a.set_req_id("as-after-cancel")
    out.append(await a.echo("after the cancelled call"))
    return out
arun("cancel_then_ok", a, cancel_then_ok)

a = aclient("as-many")
async def many():
    return await asyncio.gather(*[a.echo("call %d" % i) for i in range(CFG["concurrent"])])
arun("many", a, many)
LOOP.run_until_complete(a.aclose())

a = aclient("as-cookies")
async def cookies():
    return [await a.echo("call %d" % i) for i in range(3)]
arun("cookies", a, cookies)
LOOP.run_until_complete(a.aclose())

a = aclient("as-with")
async def with_block():
    async with a:
        return await a.sync_msg("{}")
arun("async_with", a, with_block)
LOOP.close()

# -- debug mode: the relay, the test relay, the masked access token ---------------------------------

sdk.DEBUG_DOMAIN = CFG["domain"]
sdk.DEBUG_TEST_DOMAIN = CFG["domain"]
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"] + ".absent"
sdk.spec_open_debug_mode(CFG["debug_token"], CFG["access_token"])
LOOP = asyncio.new_event_loop()
asyncio.set_event_loop(LOOP)
for name, case in CFG["debug_cases"]:
    print("@@ setup:" + name)
    sdk.spec_debug_use_test_domain(bool(case.get("test_domain")))
    sdk.DEBUG_DOMAIN = case.get("domain", CFG["domain"])
    both("debug:" + name, case)
    sdk.DEBUG_DOMAIN = CFG["domain"]
LOOP.close()
finish()
'''

# The loop ends while calls wait for their answers: nothing is reported
# about an unclosed transport, connector or session.
LOOP_CLOSE_CHILD = r'''
import asyncio, gc, json, os, sys
import vqspecapisdk as sdk
from vqspecapisdk_async import AsyncChatDataSDK

CFG = json.loads(os.environ["VQ_E2E_CONFIG"])
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]
sdk.DOMAIN = CFG["domain"]

async def main():
    c = AsyncChatDataSDK(CFG["corpid"], CFG["agentid"], CFG["ability_id"], CFG["job_info"])
    print(await c.echo("a warm connection"))
    c.set_req_id("as-loop-close")
    for i in range(5):
        asyncio.ensure_future(c.echo("in flight %d" % i))
    await asyncio.sleep(0.3)

asyncio.run(main())
gc.collect()
print("done")
'''


class DripServer(object):
    """An HTTPS server on 127.0.0.1 that answers every POST with a plain text
    (no vq- headers) of `size` characters, sent in pieces: `script` is
    [(bytes, pause after them)] of the body; what is left goes at the end."""

    def __init__(self, certs, scripts):
        self.scripts = scripts  # req_id: (size, [(count, pause)])
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(certs.cert, certs.key)
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.base_url = "https://127.0.0.1:%d" % self.sock.getsockname()[1]
        self.stopped = False
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, raw):
        try:
            with self.ctx.wrap_socket(raw, server_side=True) as conn:
                f = conn.makefile("rb")
                headers = {}
                f.readline()
                for line in iter(f.readline, b"\r\n"):
                    k, _, v = line.decode("latin-1").partition(":")
                    headers[k.strip().lower()] = v.strip()
                f.read(int(headers.get("content-length", "0")))
                size, script = self.scripts[headers["vq-req-id"]]
                body = ("x" * size).encode("ascii")
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                             b"Content-Length: %d\r\n\r\n" % size)
                sent = 0
                for count, pause in script:
                    conn.sendall(body[sent:sent + count])
                    sent += count
                    time.sleep(pause)
                conn.sendall(body[sent:])
        except (OSError, KeyError, ValueError):
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stopped = True
        self.sock.close()


# req_id: (answer size, [(bytes, pause)]); the pauses stay under the read
# time-out, except the stall's.
DRIP_SCRIPTS = {
    "as-drip": (40, [(1, DRIP_READ_TIMEOUT / 3)] * 10),
    "as-stall-in-body": (40, [(5, DRIP_READ_TIMEOUT * 4)]),
    "as-big-answer": (BIG_ANSWER, [(2 ** 20, 0.05)] * 2),
}


def async_cases():
    """(name, case) of every method and every scripted answer."""
    cases = []
    for name in CLIENT_METHODS:
        cases.append(("method:" + name, {"method": name, "param": json.dumps({"method": name}),
                                         "req_id": case_req_id("as-" + name)}))
    cases.append(("bad_param:echo", {"method": "echo", "param": 7, "req_id": "as-bad-echo"}))
    cases.append(("bad_param:sync_msg", {"method": "sync_msg", "param": 7, "req_id": "as-bad-sync-msg"}))
    cases.append(("bad_param:document_list", {"method": "document_list", "param": ["{}"],
                                              "req_id": "as-bad-document-list"}))
    return cases


DEBUG_CASES = [
    ("echo", {}),
    ("create_rule", {"method": "create_rule", "param": '{"rule": 1}'}),
    ("test_domain", {"test_domain": True}),
    ("status:7", {"fault": ("status", {"value": "7"})}),
    ("refused", {"domain": "refused"}),
    ("read_timeout", {"fault": ("slow", {"seconds": 10}), "read_timeout": 0.3}),
]


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    base = str(tmp_path_factory.mktemp("async"))
    trusted = make_certs(os.path.join(base, "ca"))
    untrusted = make_untrusted_certs(os.path.join(base, "untrusted"))
    secret_file = os.path.join(base, "secret_key")
    with open(secret_file, "w") as f:
        f.write(NORMAL_RECORD.line() + "\n")
    sim = PlatformSimulator(NORMAL_RECORD, ACCESS_TOKEN, cert_dir=trusted.directory, lifetime=120, keep_alive=True)
    idle = PlatformSimulator(NORMAL_RECORD, cert_dir=trusted.directory, lifetime=120, keep_alive=True,
                             idle_close=IDLE_CLOSE_S)
    foreign = PlatformSimulator(NORMAL_RECORD, cert_dir=untrusted.directory, lifetime=120)
    stalled = StalledListener()
    drip = DripServer(trusted, DRIP_SCRIPTS)
    with sim, idle, foreign, stalled, drip:
        refused = "https://127.0.0.1:%d" % closed_port()
        domains = {"refused": refused, "stalled": stalled.base_url, "untrusted": foreign.base_url}
        cases = async_cases()
        for name, (faults, settings) in sorted(FAULT_CASES.items()):
            rid = case_req_id("as-" + name)
            for kind, params in faults:
                sim.set_fault(kind, req_id=rid, **params)
            case = dict(settings, req_id=rid)
            case.setdefault("method", "echo")
            case.setdefault("param", name)
            if "domain" in case:
                case["domain"] = domains[case["domain"]]
            cases.append((name, case))
        # Proxies come from the environment, as requests reads them.
        for rid in sorted(DRIP_SCRIPTS):
            cases.append(("drip:" + rid, {"method": "echo", "param": rid, "req_id": rid, "domain": drip.base_url,
                                          "read_timeout": DRIP_READ_TIMEOUT}))
        cases.append(("transport:proxy_refused", {"method": "echo", "param": "via a proxy", "req_id": "as-proxy",
                                                  "env": {"HTTPS_PROXY": refused, "https_proxy": refused,
                                                          "NO_PROXY": "", "no_proxy": ""}}))
        debug_cases = []
        for name, settings in DEBUG_CASES:
            case = dict(settings, req_id=case_req_id("as-debug-" + name))
            case.setdefault("method", "echo")
            case.setdefault("param", name)
            if "fault" in case:
                kind, params = case.pop("fault")
                sim.set_fault(kind, req_id=case["req_id"], **params)
            if "domain" in case:
                case["domain"] = domains[case["domain"]]
            debug_cases.append((name, case))
        sim.set_fault("extra_header", req_id="as-cookies", name="Set-Cookie", value=COOKIE + "; Path=/")
        for rid in ("as-timeout", "as-cancel", "as-loop-close"):
            sim.set_fault("slow", req_id=rid, seconds=3)
        cfg = dict(IDENTITY, secret_file=secret_file, domain=sim.base_url, idle_domain=idle.base_url,
                   idle_wait=IDLE_CLOSE_S * 3, concurrent=CONCURRENT, cases=cases, debug_cases=debug_cases,
                   debug_token=DEBUG_RECORD.debug_token(), access_token=ACCESS_TOKEN)
        results, logs = run_child(CHILD, cfg, base, trusted.ca)
        cfg["result_path"] = os.path.join(base, "unused.json")
        loop_close = run_python(LOOP_CLOSE_CHILD, env={
            "VQ_E2E_CONFIG": json.dumps(cfg), "REQUESTS_CA_BUNDLE": trusted.ca, "PYTHONDEVMODE": "1",
            "NO_PROXY": "127.0.0.1", "HTTPS_PROXY": "", "https_proxy": ""})
        yield {"results": results, "logs": logs, "records": sim.requests, "idle_records": idle.requests,
               "cases": dict(cases), "debug_cases": dict(debug_cases), "loop_close": loop_close}


def records_of(run, req_id):
    return [r for r in run["records"] if header(r, "vq-req-id") == req_id]


def comparable(res):
    """A call's outcome: its data, or its error's type and (for the SDK's own
    errors, not the HTTP client's, whose texts name its internals) its args."""
    exc = res.get("exc")
    if exc is None:
        return {"data": res["data"]}
    if exc["type"].startswith("requests."):
        return {"exc": exc["type"]}
    return {"exc": exc["type"], "args": exc["args"]}


def answer_values_masked(lines):
    """Log lines with the values that differ from one answer to the next
    (signatures, nonces, time stamps, encrypted bodies) replaced by "#"."""
    return [(level, rid, re.sub(r"[0-9a-fA-F]{8}\.\.\.|[0-9A-Za-z+/=]{20,}|\d{6,}", "#", text)) for level, rid, text in lines]


def compare(run, name, debug=False):
    key = ("debug:" if debug else "") + name
    sync, asyn = run["results"]["sync:" + key], run["results"]["async:" + key]
    assert comparable(asyn) == comparable(sync)
    sync_logs = answer_values_masked(run["logs"]["sync:" + key])
    if name == "status_zero: 0 ":
        # aiohttp's parser strips the blank after a header's value, which
        # http.client keeps: the status reads "0" here, " 0 " there.
        sync_logs = [(lv, rid, t.rstrip()) for lv, rid, t in sync_logs]
    assert answer_values_masked(run["logs"]["async:" + key]) == sync_logs
    return sync, asyn


@pytest.mark.parametrize("name", [n for n, _ in async_cases()] + sorted(FAULT_CASES) + ["transport:proxy_refused"])
def test_same_results_errors_and_log_lines_as_sync(run, name):
    sync, asyn = compare(run, name)
    case = run["cases"][name]
    if name.startswith("drip:"):
        return
    recs = records_of(run, case["req_id"])
    if name.startswith("transport:") and name != "transport:server_closes" and name != "transport:read_timeout":
        assert recs == []
        return
    if name.startswith("bad_param:"):
        assert recs == [] and asyn["exc"]["type"] == "builtins.TypeError"
        return
    # One request each, never sent twice (a server that read it and closed the
    # connection included): same path, same headers, same call once opened.
    s, a = recs
    assert (a["path"], a["api"], a["verdict"], a["call"]) == (s["path"], s["api"], s["verdict"], s["call"])
    assert header_names(a) == header_names(s)
    assert a["raw_body"] == s["raw_body"]  # the same encrypted body
    if name.startswith("method:"):
        assert a["api"] == method_path(case["method"]) and "data" in asyn


@pytest.mark.parametrize("rid,outcome", [
    ("as-drip", "x" * 40),                                       # no deadline for the whole answer
    ("as-stall-in-body", "requests.exceptions.ConnectionError"),  # the read time-out, inside the body
    ("as-big-answer", "x" * BIG_ANSWER),                          # opened in a worker thread
])
def test_drip_fed_stalled_or_big_answer_as_sync(run, rid, outcome):
    sync, asyn = compare(run, "drip:" + rid)
    assert asyn.get("data", asyn.get("exc", {}).get("type")) == outcome


@pytest.mark.parametrize("name", [n for n, _ in DEBUG_CASES])
def test_debug_mode_routes_and_masks_as_sync(run, name):
    sync, asyn = compare(run, name, debug=True)
    text = json.dumps(asyn) + json.dumps(run["logs"]["async:debug:" + name])
    assert ACCESS_TOKEN not in text and ACCESS_TOKEN.split("&")[1] not in text
    recs = records_of(run, run["debug_cases"][name]["req_id"])
    if name == "refused":
        assert recs == [] and asyn["exc"]["type"] == "requests.exceptions.ConnectionError"
        assert "***" in asyn["exc"]["args"][0]
        return
    s, a = recs
    assert a["relay"] and s["relay"] and a["query"] == s["query"] and a["api"] == s["api"]
    assert header(a, "vq-spec-trans-api") == header(s, "vq-spec-trans-api")


def test_idle_connection_dropped_by_server_is_replaced(run):
    res = run["results"]["idle"]
    assert res["data"] == ["before the server drops the connection", "after"]
    recs = run["idle_records"]
    assert [r["call"]["data"] for r in recs] == res["data"]
    assert recs[0]["conn"] != recs[1]["conn"]


@pytest.mark.parametrize("name,first,after_rid", [
    ("timeout_then_ok", "ReadTimeout", "as-after-timeout"),
    ("cancel_then_ok", "cancelled", "as-after-cancel"),
])
def test_timed_out_or_cancelled_call_leaves_no_half_read_connection(run, name, first, after_rid):
    res = run["results"][name]
    assert res["data"][0] == first and len(res["data"]) == 2 and res["data"][1] != first
    [slow] = records_of(run, {"timeout_then_ok": "as-timeout", "cancel_then_ok": "as-cancel"}[name])
    [after] = records_of(run, after_rid)
    assert after["conn"] != slow["conn"]


def test_many_calls_in_flight_on_one_client(run):
    res = run["results"]["many"]
    assert res["data"] == ["call %d" % i for i in range(CONCURRENT)]
    recs = records_of(run, "as-many")
    assert sorted(r["call"]["data"] for r in recs) == sorted(res["data"])
    assert 1 < len(set(r["conn"] for r in recs)) <= CONCURRENT
    logs = run["logs"]["many"]
    assert len(logs) == 2 * CONCURRENT and sorted(set(logs)) == sorted(
        {("INFO", "as-many", "spec2vq begin " + ECHO_PATH), ("INFO", "as-many", "spec2vq end 0")})


def test_cookies_set_by_the_server_are_not_sent_later(run):
    assert run["results"]["cookies"]["data"] == ["call 0", "call 1", "call 2"]
    recs = records_of(run, "as-cookies")
    assert len(recs) == 3 and all(("Set-Cookie", COOKIE + "; Path=/") in r["answer"]["headers"] for r in recs)
    assert all("Cookie" not in [k for k, _ in r["headers"]] for r in recs)
    assert len(set(r["conn"] for r in recs)) == 1  # over one kept-alive connection


def test_async_with_closes_the_pool(run):
    assert json.loads(run["results"]["async_with"]["data"])["errcode"] == 0


def test_loop_closing_with_calls_in_flight_warns_of_nothing(run):
    proc = run["loop_close"]
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "done"
    assert "nclosed" not in proc.stderr and "Warning" not in proc.stderr, proc.stderr


def test_api_methods_are_the_sync_clients_as_coroutines():
    import inspect
    import vqspecapisdk
    import vqspecapisdk_async
    assert vqspecapisdk_async.API_NAMES == ["echo"] + client_methods_in_class_order()
    client = vqspecapisdk_async.AsyncChatDataSDK("c", 1, "a", "j")
    for name in vqspecapisdk_async.API_NAMES:
        fn = getattr(vqspecapisdk_async.AsyncChatDataSDK, name)
        sync_fn = getattr(vqspecapisdk.ChatDataSDK, name)
        assert inspect.iscoroutinefunction(fn), name
        assert inspect.signature(fn) == inspect.signature(sync_fn) and fn.__doc__ == sync_fn.__doc__
    # The settings and attributes are the sync client's.
    client.set_req_id("rid-1")
    client.set_read_timeout(3)
    assert (client.req_id, client.read_timeout, client.connect_timeout) == ("rid-1", 3.0, 2.0)
    with pytest.raises(TypeError) as sync_err:
        vqspecapisdk.ChatDataSDK("c", "1", "a", "j")
    with pytest.raises(TypeError) as async_err:
        vqspecapisdk_async.AsyncChatDataSDK("c", "1", "a", "j")
    assert str(async_err.value) == str(sync_err.value)


def client_methods_in_class_order():
    from simulator.platform import API_METHODS
    names = [n for n, _ in API_METHODS[1:]]
    names.insert(names.index("knowledge_base_list"), "document_list")
    return names
