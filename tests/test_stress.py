"""Eight threads at once for a few seconds: log lines, inbound calls decoded
and answered, outbound calls through ChatDataSDK to the platform stand-in.

The SDK runs in a fresh interpreter in normal mode (a secret file in a
temporary directory, DOMAIN at the simulator, which runs in this process
over HTTPS with its test CA).  Every thread starts its first secret query at
the same moment, so the one-time load of the secret file is raced as well.

Checked afterwards: the child ended by itself (no crash, no thread stuck),
wrote nothing to standard error, every line of its standard output is one
whole log line, the lines of each thread are exactly the ones that thread
caused, in its order, and every answer belongs to its own request.
"""
import collections
import hashlib
import json
import os
import re

import pytest

from conftest import LOG_RE, run_python
from simulator import wire
from simulator.platform import ECHO_PATH, PlatformSimulator

THREADS = 8
DURATION_S = 4.0


def derived_record():
    token = hashlib.sha256(b"stress token").hexdigest()[:32]
    return wire.SecretRecord("3", token, wire.make_key_text("stress key"), "prog-stress")


RECORD = derived_record()

CHILD = r'''
import json, os, random, sys, threading, time, traceback, uuid
import vqspecapisdk as sdk
from simulator import wire
from simulator.caller import CallResult, PlatformCaller
from simulator.platform import api_result

CFG = json.loads(os.environ["VQ_STRESS_CONFIG"])
sdk.SECRET_KEY_FILE_PATH = CFG["secret_file"]
sdk.DOMAIN = CFG["domain"]
RECORD = wire.SecretRecord(*CFG["record"])
N = CFG["threads"]
ECHO = "/cgi-bin/chatdata/echo"
SYNC = "/cgi-bin/chatdata/sync_msg"
INBOUND_KINDS = ("normal", "normal", "stale", "other_version", "bad_signature")

start = threading.Barrier(N)
results = {}


def worker(t):
    ident = threading.current_thread().ident
    rng = random.Random(t)
    caller = PlatformCaller(RECORD, "http://127.0.0.1:9/", rng=rng)
    client = sdk.ChatDataSDK("wwcorp-stress", 1000000 + t, "ability-stress", "job-%d" % t)
    out_id = "Out%02dStressReqId" % t
    client.set_req_id(out_id)
    log_id = "Log%02dStressReqId" % t
    expected = []   # [level, req_id, text, exact]: exact text, or a prefix
    calls = []      # [api, param, result]
    problems = []
    counts = {"log": 0, "inbound": 0, "outbound": 0}
    res = {"ident": ident, "out_id": out_id, "expected": expected, "calls": calls,
           "problems": problems, "counts": counts}
    results[t] = res
    start.wait(30)
    deadline = time.time() + CFG["duration"]
    i = 0
    try:
        while time.time() < deadline:
            step = ((i + t) % 5) // 2  # two log rounds, two inbound calls, one outbound call
            mark = "%d-%d-%s" % (t, i, uuid.uuid4().hex)
            if step == 0:
                counts["log"] += 1
                sdk.spec_log_info_with_req_id(log_id, "stress line", mark)
                sdk.spec_log_error("stress\nerror", mark, i)
                sdk.spec_log(sdk.LOG_LEVEL_DEBUG, log_id, u"\u4f60\u597d", mark)
                expected.append(["INFO", log_id, "stress line " + mark, True])
                expected.append(["ERR", "", "stress error %s %d" % (mark, i), True])
                expected.append(["DBG", log_id, u"\u4f60\u597d " + mark, True])
            elif step == 1:
                kind = INBOUND_KINDS[counts["inbound"] % len(INBOUND_KINDS)]
                rid = "In%02d%s" % (t, mark[-12:])
                data = json.dumps({"text": "inbound " + mark})
                sent = caller.build(data, kind=kind, req_id=rid, corpid="wwcorp-%d" % t, agentid=t,
                                    job_info=mark)
                h = sent.header_map
                expected.append(["INFO", rid, "VQToSpecHTTPReqDecoder init ver %s %s %s %s" % (
                    h["vq-secret-ver"], h["vq-timestamp"], h["vq-timestamp-ms"],
                    h["vq-inqueue-timeout-ms"]), True])
                if kind == "other_version":
                    expected.append(["ERR", rid, "ver not matched %s %s" % (h["vq-secret-ver"], RECORD.ver),
                                     True])
                else:
                    expected.append(["INFO", rid, "inqchk ", False])
                if kind == "bad_signature":
                    expected.append(["ERR", "", "VQToSpecHTTPReqDecoder Err Invalid signature, real_sign: "
                                     + sent.expected_real_sign(RECORD)[:8] + "...", True])
                try:
                    dec = sdk.VQToSpecHTTPReqDecoder(list(sent.headers), sent.body)
                except sdk.VQToSpecRetryNotifyException as e:
                    want = {"stale": "2", "other_version": "1"}.get(kind)
                    if e.GetStatus() != want:
                        problems.append("%s: retry status %r" % (kind, e.GetStatus()))
                    rsp = sdk.VQToSpecHTTPRspConstructor("")
                    headers = rsp.get_retry_notify_header(e.GetStatus())
                    got = caller.check(CallResult(sent, 200, "OK", list(headers.items()),
                                                  rsp.get_encoded_body()))
                    if got.verdict != "retry_notify" or got.problems:
                        problems.append("%s: %s" % (kind, got.summary()))
                except Exception as e:
                    if kind != "bad_signature" or str(e) != "Invalid signature":
                        problems.append("%s: %s: %s" % (kind, type(e).__name__, e))
                else:
                    if kind != "normal":
                        problems.append("%s: accepted" % kind)
                    if (dec.get_data(), dec.get_req_id(), dec.get_corpid(), dec.get_agentid(),
                            dec.get_job_info()) != (data, rid, "wwcorp-%d" % t, t, mark):
                        problems.append("inbound %s decoded as another call: %r" % (mark, dec.get_data()))
                    answer = json.dumps({"errcode": 0, "errmsg": "ok", "reply": mark})
                    rsp = sdk.VQToSpecHTTPRspConstructor(answer)
                    got = caller.check(CallResult(sent, 200, "OK", list(rsp.get_normal_header().items()),
                                                  rsp.get_encoded_body()))
                    if got.verdict != "answered" or got.problems or got.text != answer:
                        problems.append("answer %s: %s" % (mark, got.summary()))
                counts["inbound"] += 1
            else:
                api = SYNC if counts["outbound"] % 4 == 3 else ECHO
                param = json.dumps({"token": mark, "thread": t})
                expected.append(["INFO", out_id, "spec2vq begin " + api, True])
                result = client.sync_msg(param) if api == SYNC else client.echo(param)
                expected.append(["INFO", out_id, "spec2vq end 0", True])
                calls.append([api, param, result])
                if api == ECHO and result != param:
                    problems.append("echo %s answered %r" % (mark, result))
                if api == SYNC and result != api_result(SYNC, {"data": param}):
                    problems.append("sync_msg %s answered %r" % (mark, result))
                counts["outbound"] += 1
            i += 1
    except BaseException:
        problems.append(traceback.format_exc())


threads = [threading.Thread(target=worker, args=(t,), name="stress-%d" % t) for t in range(N)]
for th in threads:
    th.daemon = True
    th.start()
deadline = time.time() + CFG["duration"] + 60
stuck = []
for th in threads:
    th.join(max(0.1, deadline - time.time()))
    if th.is_alive():
        stuck.append(th.name)
with open(CFG["result_path"], "w") as f:
    json.dump({"threads": results, "stuck": stuck}, f)
sys.stdout.flush()
if stuck:
    os._exit(3)
'''


@pytest.fixture(scope="module")
def stress(tmp_path_factory):
    tmp = str(tmp_path_factory.mktemp("stress"))
    secret_file = os.path.join(tmp, "secret_key")
    with open(secret_file, "w") as f:
        f.write(RECORD.line() + "\n")
    # Kept-alive connections, as the SDK uses them by default.
    with PlatformSimulator(RECORD, lifetime=180, keep_alive=True) as sim:
        cfg = {
            "secret_file": secret_file, "domain": sim.base_url, "duration": DURATION_S,
            "threads": THREADS, "result_path": os.path.join(tmp, "results.json"),
            "record": [RECORD.ver, RECORD.token, RECORD.encoding_aes_key, RECORD.program_id],
        }
        env = {
            "VQ_STRESS_CONFIG": json.dumps(cfg),
            "REQUESTS_CA_BUNDLE": sim.ca_path,
            "NO_PROXY": "127.0.0.1,localhost", "no_proxy": "127.0.0.1,localhost",
            "HTTPS_PROXY": "", "https_proxy": "", "HTTP_PROXY": "", "http_proxy": "",
            "ALL_PROXY": "", "all_proxy": "",
        }
        proc = run_python(CHILD, env=env, timeout=150)
        records = sim.requests
        errors = sim.errors
    results = None
    if os.path.exists(cfg["result_path"]):
        with open(cfg["result_path"]) as f:
            results = json.load(f)
    return {"proc": proc, "results": results, "records": records, "sim_errors": errors}


def test_child_ends_cleanly(stress):
    proc = stress["proc"]
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-3000:])
    assert proc.stderr == ""
    assert stress["results"]["stuck"] == []
    assert stress["sim_errors"] == []


def test_no_thread_saw_a_problem(stress):
    threads = stress["results"]["threads"]
    assert sorted(threads) == [str(t) for t in range(THREADS)]
    for t, res in sorted(threads.items()):
        assert res["problems"] == [], (t, res["problems"][:5])


def test_every_kind_of_work_ran_on_every_thread(stress):
    for t, res in stress["results"]["threads"].items():
        counts = res["counts"]
        assert counts["log"] >= 3 and counts["inbound"] >= 5 and counts["outbound"] >= 3, (t, counts)


def parsed_lines(stress):
    lines = []
    for raw in stress["proc"].stdout.splitlines():
        m = LOG_RE.match(raw)
        assert m, "not a whole log line: %r" % raw[:300]
        lines.append(m)
    return lines


def test_every_line_is_whole_and_counted(stress):
    lines = parsed_lines(stress)
    expected = sum(len(res["expected"]) for res in stress["results"]["threads"].values())
    assert len(lines) == expected + 1  # and the one "parse secret" line
    pid = {m.group(1) for m in lines}
    assert len(pid) == 1


def test_secret_file_loaded_once(stress):
    texts = [m.group(8) for m in parsed_lines(stress)]
    r = RECORD
    parse = "parse secret %s %d %d %s" % (r.ver, len(r.token), len(r.encoding_aes_key), r.program_id)
    assert texts.count(parse) == 1
    assert not [t for t in texts if "secret_key" in t]


def test_each_thread_wrote_its_own_lines_in_order(stress):
    by_tid = collections.defaultdict(list)
    for m in parsed_lines(stress):
        pid, tid, stamp, level, req_id, fname, line, text = m.groups()
        if text.startswith("parse secret "):
            continue
        by_tid[tid].append((level, req_id, text))
    threads = stress["results"]["threads"]
    assert sorted(by_tid) == sorted(str(res["ident"]) for res in threads.values())
    for t, res in sorted(threads.items()):
        got = by_tid[str(res["ident"])]
        want = res["expected"]
        assert len(got) == len(want), t
        for (level, req_id, text), (w_level, w_req_id, w_text, exact) in zip(got, want):
            assert (level, req_id) == (w_level, w_req_id), (t, text, w_text)
            if exact:
                assert text == w_text, t
            else:
                assert text.startswith(w_text), (t, text, w_text)
                if w_text == "inqchk ":
                    assert re.match(r"^inqchk -?\d+ \d+ -?\d+ \d+ \| timeout (True|False)$", text), text


def test_every_outbound_call_reached_the_platform_as_its_own(stress):
    by_req = collections.defaultdict(list)
    for rec in stress["records"]:
        rid = dict((k.lower(), v) for k, v in rec["headers"]).get("vq-req-id")
        by_req[rid].append(rec)
    for t, res in sorted(stress["results"]["threads"].items()):
        recs = by_req[res["out_id"]]
        assert len(recs) == len(res["calls"]), t
        assert all(r["verdict"] == 0 for r in recs), [r["reason"] for r in recs if r["verdict"]]
        sent = sorted((api, param) for api, param, _ in res["calls"])
        seen = sorted((r["api"], r["call"]["data"]) for r in recs)
        assert sent == seen, t
        for r in recs:
            assert r["call"]["agentid"] == 1000000 + int(t)
            assert r["call"]["job_info"] == "job-%s" % t
    assert sum(len(v) for v in by_req.values()) == len(stress["records"])
    assert set(by_req) == set(res["out_id"] for res in stress["results"]["threads"].values())
    assert ECHO_PATH in set(r["api"] for r in stress["records"])
