"""Outbound calls over kept-alive connections, end to end: the SDK in a fresh
interpreter, the platform stand-in in this one speaking HTTP/1.1 with
keep-alive over real HTTPS on 127.0.0.1 (certificate checks on). The server
numbers the connections it accepts, so reuse is seen from the server's side.

One child process runs every scenario (markers "@@ NAME" before each, as in
test_outbound_e2e); each scenario uses its own req_id, by which the server's
records are told apart.
"""
import collections
import json
import os

import pytest

from simulator.certs import make_certs, make_untrusted_certs
from simulator.platform import ECHO_PATH, PlatformSimulator, closed_port
from test_outbound_e2e import (CHILD_COMMON, CLIENT_OWN_HEADERS, IDENTITY, NORMAL_RECORD, begin, end, header,
                               run_child)

IDLE_CLOSE_S = 0.2     # the idle-closing server's keep-alive time-out
IDLE_WAIT_S = 0.7      # between calls: past the server's time-out, within the client's idle limit
PAST_IDLE_LIMIT_S = 1.3
CAP = 2                # the capped server's answers per connection
THREADS = 8
PER_THREAD = 5
COOKIE = "sid=server-set-cookie"

CHILD = CHILD_COMMON + r'''
import threading

sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]
sdk.DOMAIN = CFG["domain"]

def calls(c, n, pause=0.0, data="call"):
    def fn():
        out = []
        for i in range(n):
            if i and pause:
                time.sleep(pause)
            out.append(c.echo("%s %d" % (data, i)))
        return out
    return fn

c = client("ka-load")
run("load", c, sdk.spec_env.get_key_ver)  # the secret file's one parse line, before the scenarios
c = client("ka-reuse")
run("reuse", c, calls(c, 5))

sdk.KEEP_ALIVE = False
c = client("ka-opt-out")
run("opt_out", c, calls(c, 5))
sdk.KEEP_ALIVE = True

# A replaced requests.post, or a replaced requests, is called as before.
SEEN = []
real_post = sdk.requests.post
def recording_post(*args, **kwargs):
    SEEN.append([list(args), sorted(kwargs), repr(kwargs["timeout"])])
    return real_post(*args, **kwargs)

class FakeRequests(object):
    post = staticmethod(recording_post)

for name in ("replaced_post", "replaced_module"):
    if name == "replaced_post":
        sdk.requests.post = recording_post
    else:
        sdk.requests = FakeRequests()
    c = client("ka-" + name)
    run(name, c, calls(c, 3))
    RESULTS[name]["seen"] = SEEN[:]
    del SEEN[:]
    sdk.requests = sys.modules["requests"]
    sdk.requests.post = real_post

# A patched Session.request is what the kept session calls; a replaced
# Session class is what requests.post makes, a session a call.
import requests.sessions
real_request = requests.sessions.Session.request
def recording_request(self, *args, **kwargs):
    SEEN.append([list(args), sorted((k, repr(v) if k in ("timeout", "headers", "data") else v)
                                    for k, v in kwargs.items())])
    return real_request(self, *args, **kwargs)
requests.sessions.Session.request = recording_request
c = client("ka-patched_request")
run("patched_request", c, calls(c, 3))
requests.sessions.Session.request = real_request
RESULTS["patched_request"]["seen"] = SEEN[:]
del SEEN[:]

real_session = requests.sessions.Session
class RecordingSession(real_session):
    def __init__(self):
        SEEN.append("made")
        real_session.__init__(self)
requests.sessions.Session = RecordingSession
c = client("ka-replaced_session")
run("replaced_session", c, calls(c, 3))
requests.sessions.Session = real_session
RESULTS["replaced_session"]["seen"] = SEEN[:]
del SEEN[:]

# A POST that fails on a reused connection (the server read it and closed
# without answering) is not sent again.
c = client("ka-before-failure")
run("resend:first", c, calls(c, 1))
c.set_req_id("ka-no-resend")
run("resend:failed", c, calls(c, 1))

c = client("ka-cookies")
run("cookies", c, calls(c, 3))

c = client("ka-idle-limit")
run("idle_limit", c, calls(c, 2, pause=CFG["past_idle_limit"]))

sdk.DOMAIN = CFG["idle_domain"]
c = client("ka-idle-close")
run("idle_close", c, calls(c, 4, pause=CFG["idle_wait"]))
sdk.DOMAIN = CFG["capped_domain"]
c = client("ka-capped")
run("capped", c, calls(c, 6))
sdk.DOMAIN = CFG["domain"]

# Environment settings changed between calls apply to the next call.
for name, changes in sorted(CFG["env_cases"].items()):
    c = client("ka-env-" + name)
    run(name + ":before", c, calls(c, 1))
    saved = dict((k, os.environ.get(k)) for k in changes)
    os.environ.update(changes)
    run(name + ":changed", c, calls(c, 1))
    for k, v in saved.items():
        if v is None:
            del os.environ[k]
        else:
            os.environ[k] = v
    run(name + ":restored", c, calls(c, 1))

# A child process never uses its parent's connection.
c = client("ka-fork")
run("fork:parent_before", c, calls(c, 1, data="parent"))
print("@@ fork:child")
sys.stdout.flush()
pid = os.fork()
if pid == 0:
    res = {}
    try:
        res["data"] = c.echo("child")
    except Exception as e:
        res["exc"] = repr(e)
    with open(CFG["fork_result"], "w") as f:
        json.dump(res, f)
    sys.stdout.flush()
    os._exit(0)
os.waitpid(pid, 0)
run("fork:parent_after", c, calls(c, 1, data="parent"))

# Threads: each its own client and connection, every answer its own.
answers = {}
def worker(i):
    c = client("ka-thread-%d" % i)
    mine = []
    for k in range(CFG["per_thread"]):
        data = "thread %d call %d" % (i, k)
        mine.append([data, c.echo(data)])
    answers[i] = mine
print("@@ threads")
ths = [threading.Thread(target=worker, args=(i,)) for i in range(CFG["threads"])]
for t in ths:
    t.start()
for t in ths:
    t.join()
RESULTS["threads"] = {"answers": answers}
finish()
'''


@pytest.fixture(scope="module")
def kept(tmp_path_factory):
    base = str(tmp_path_factory.mktemp("keep-alive"))
    trusted = make_certs(os.path.join(base, "ca"))
    other = make_untrusted_certs(os.path.join(base, "other"))
    secret_file = os.path.join(base, "secret_key")
    with open(secret_file, "w") as f:
        f.write(NORMAL_RECORD.line() + "\n")
    kw = dict(cert_dir=trusted.directory, lifetime=120, keep_alive=True)
    sim = PlatformSimulator(NORMAL_RECORD, **kw)
    idle = PlatformSimulator(NORMAL_RECORD, idle_close=IDLE_CLOSE_S, **kw)
    capped = PlatformSimulator(NORMAL_RECORD, close_after=CAP, **kw)
    with sim, idle, capped:
        sim.set_fault("extra_header", req_id="ka-cookies", name="Set-Cookie", value=COOKIE + "; Path=/")
        sim.set_fault("close", req_id="ka-no-resend")
        proxy = "http://127.0.0.1:%d" % closed_port()  # nothing listens there
        env_cases = {
            "env:ca_bundle": {"REQUESTS_CA_BUNDLE": other.ca},
            "env:proxy": dict(HTTPS_PROXY=proxy, https_proxy=proxy, NO_PROXY="", no_proxy=""),
        }
        cfg = dict(IDENTITY, secret_file=secret_file, domain=sim.base_url, idle_domain=idle.base_url,
                   capped_domain=capped.base_url, idle_wait=IDLE_WAIT_S, past_idle_limit=PAST_IDLE_LIMIT_S,
                   env_cases=env_cases, fork_result=os.path.join(base, "fork.json"), threads=THREADS,
                   per_thread=PER_THREAD)
        results, logs = run_child(CHILD, cfg, base, trusted.ca)
        with open(cfg["fork_result"]) as f:
            fork_result = json.load(f)
        yield {"results": results, "logs": logs, "records": sim.requests + idle.requests + capped.requests,
               "errors": sim.errors + idle.errors + capped.errors, "fork": fork_result}


def connections(kept, req_id):
    """The server's connection serial of each request with `req_id`, in order."""
    return [r["conn"] for r in kept["records"] if header(r, "vq-req-id") == req_id]


def expect_data(n, data="call"):
    return ["%s %d" % (data, i) for i in range(n)]


@pytest.mark.parametrize("name, req_id, calls, conns", [
    # Consecutive calls of a thread go over one connection ...
    ("reuse", "ka-reuse", 5, lambda c: len(set(c)) == 1),
    # ... unless KEEP_ALIVE is false,
    ("opt_out", "ka-opt-out", 5, lambda c: len(set(c)) == 5),
    # or requests.post / requests has been replaced (it makes its own session a call),
    ("replaced_post", "ka-replaced_post", 3, lambda c: len(set(c)) == 3),
    ("replaced_module", "ka-replaced_module", 3, lambda c: len(set(c)) == 3),
    ("replaced_session", "ka-replaced_session", 3, lambda c: len(set(c)) == 3),
    # A patched Session.request runs on the kept session.
    ("patched_request", "ka-patched_request", 3, lambda c: len(set(c)) == 1),
    # or the connection was idle longer than the client's limit,
    ("idle_limit", "ka-idle-limit", 2, lambda c: len(set(c)) == 2),
    # or the server closed it while it was idle: a new one, no error,
    ("idle_close", "ka-idle-close", 4, lambda c: len(set(c)) == 4),
    # or the server closes after CAP answers.
    ("capped", "ka-capped", 6, lambda c: c == sorted(c) and list(collections.Counter(c).values()) == [CAP] * 3),
])
def test_connection_use_seen_by_the_server(kept, name, req_id, calls, conns):
    res = kept["results"][name]
    assert "exc" not in res, res
    assert res["data"] == expect_data(calls)
    assert kept["logs"][name] == [begin(req_id), end(req_id)] * calls
    seen = connections(kept, req_id)
    assert len(seen) == calls and conns(seen), seen


def test_no_server_error_while_connections_close(kept):
    # Only the handshake refused under the changed CA bundle (env:ca_bundle),
    # and the client's end of the connection closed without an answer
    # (resend:failed), which the server's TLS close sees ended.
    errors = dict(kept["errors"])
    assert sorted(w for w, _ in kept["errors"]) == ["close", "handshake"]
    assert "UNKNOWN_CA" in errors["handshake"].upper() and "EOF" in errors["close"].upper()


@pytest.mark.parametrize("name", ["replaced_post", "replaced_module"])
def test_replaced_post_is_called_as_before(kept, name):
    seen = kept["results"][name]["seen"]
    assert len(seen) == 3
    for args, kwargs, timeout in seen:
        assert args[0].endswith(ECHO_PATH) and len(args) == 1
        assert kwargs == ["data", "headers", "timeout"]
        assert timeout == "(2.0, 10.0)"


def test_patched_session_request_is_called_on_the_kept_session(kept):
    seen = kept["results"]["patched_request"]["seen"]
    assert len(seen) == 3
    for args, kwargs in seen:
        assert args == []
        names = [k for k, _ in kwargs]
        assert names == ["data", "headers", "json", "method", "timeout", "url"]
        kw = dict(kwargs)
        assert kw["method"] == "post" and kw["json"] is None and kw["timeout"] == "(2.0, 10.0)"
        assert kw["url"].endswith(ECHO_PATH) and kw["data"].startswith("b'")
    assert kept["results"]["replaced_session"]["seen"] == ["made"] * 3


def test_failed_post_on_a_reused_connection_is_not_sent_again(kept):
    results = kept["results"]
    assert results["resend:first"]["data"] == ["call 0"]
    assert results["resend:failed"]["exc"]["type"] == "requests.exceptions.ConnectionError"
    first = connections(kept, "ka-before-failure")
    failed = connections(kept, "ka-no-resend")
    assert failed == first  # one request, over the reused connection
    assert kept["logs"]["resend:failed"] == [begin("ka-no-resend")]


def test_cookies_set_by_the_server_are_not_sent_later(kept):
    recs = [r for r in kept["records"] if header(r, "vq-req-id") == "ka-cookies"]
    assert len(recs) == 3
    assert all(("Set-Cookie", COOKIE + "; Path=/") in r["answer"]["headers"] for r in recs)
    for rec in recs:
        assert "Cookie" not in [k for k, _ in rec["headers"]]
        assert set(k for k, _ in rec["headers"]) - set(k for k, _ in recs[0]["headers"]) <= CLIENT_OWN_HEADERS
    assert len(set(r["conn"] for r in recs)) == 1


@pytest.mark.parametrize("name, exc_type", [
    ("env:ca_bundle", "requests.exceptions.SSLError"),
    ("env:proxy", "requests.exceptions.ProxyError"),
])
def test_environment_changes_apply_to_the_next_call(kept, name, exc_type):
    rid = "ka-env-" + name
    results, logs = kept["results"], kept["logs"]
    for step in ("before", "restored"):
        assert results[name + ":" + step]["data"] == ["call 0"]
        assert logs[name + ":" + step] == [begin(rid), end(rid)]
    changed = results[name + ":changed"]
    assert changed["exc"]["type"] == exc_type, changed
    assert logs[name + ":changed"] == [begin(rid)]
    assert len(connections(kept, rid)) == 2  # the changed call reached no server


def test_forked_child_opens_its_own_connection(kept):
    results = kept["results"]
    assert kept["fork"] == {"data": "child"}
    assert results["fork:parent_before"]["data"] == ["parent 0"]
    assert results["fork:parent_after"]["data"] == ["parent 0"]
    recs = [r for r in kept["records"] if header(r, "vq-req-id") == "ka-fork"]
    by_data = dict((r["call"]["data"], r["conn"]) for r in recs if r["call"]["data"] == "child")
    parent = [r["conn"] for r in recs if r["call"]["data"] == "parent 0"]
    assert len(recs) == 3 and len(parent) == 2
    # The parent keeps its connection; the child never touched it.
    assert parent[0] == parent[1] != by_data["child"]
    assert kept["logs"]["fork:child"] == [begin("ka-fork"), end("ka-fork")]


def test_threads_get_their_own_answers_over_their_own_connections(kept):
    answers = kept["results"]["threads"]["answers"]
    assert sorted(answers) == [str(i) for i in range(THREADS)]
    for i, mine in answers.items():
        assert [sent for sent, _ in mine] == [got for _, got in mine]
        assert len(mine) == PER_THREAD
    conns = [connections(kept, "ka-thread-%d" % i) for i in range(THREADS)]
    assert all(len(c) == PER_THREAD and len(set(c)) == 1 for c in conns), conns
    assert len(set(c[0] for c in conns)) == THREADS
