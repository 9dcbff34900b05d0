#!/usr/bin/env python3
"""Memory-growth check of the vqspecapisdk extension module.

    cd /work/main && PYTHONPATH=build/dev-3.11 python bench/leak.py [--rounds N]

Runs N rounds (default 200,000) of every operation of the module, its
successful paths and its failure paths alike, with the log output sent to a
discarding standard output.  Memory is read after a warm-up (default a
tenth of the rounds) and again at the end; a growth above the limit
(default 2 MiB) is a FAIL and the exit status is 1.

What is judged is the resident set size once the C heap has given its free
memory back (malloc_trim), and the bytes the C heap has handed out: free
memory that the allocator keeps after a burst of short-lived objects is not
a leak, and on CPython 3.6 it alone can reach a few MiB.  The raw resident
size is printed too (--raw judges by it).

    --only NAME[,NAME]   run only these operations (to narrow a leak down)
    --list               list the operations and exit
    --echo-every N       one ChatDataSDK.echo round trip every N rounds
                         against bench/_server.py (plain HTTP on 127.0.0.1,
                         its own process); 0 switches it off
    --each               run every operation alone in a fresh interpreter,
                         with the same rounds, and report the growth of each
    --raw                judge by the raw resident size

The secret record is derived here and put in force without a secret file:
a fresh SpecEnv whose debug record is parsed from the secret line, with
debug mode on, installed as the module's spec_env.
"""
import argparse
import ctypes
import gc
import hashlib
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import vqspecapisdk as sdk  # noqa: E402
from simulator import wire  # noqa: E402

MIB = 1024.0 * 1024.0


def _derived(tag):
    return hashlib.sha256(("leak bench " + tag).encode("utf-8")).hexdigest()


VER = "7"
TOKEN = _derived("token")[:32]
AES_KEY = wire.make_key_text("leak bench key")
PROGRAM_ID = "prog-leak"
SECRET_LINE = ",".join([VER, TOKEN, AES_KEY, PROGRAM_ID])
OTHER_TOKEN = _derived("other token")[:32]
SHORT_KEY = wire.make_key_text("short")[:20]  # decodes to 15 bytes: no AES key length

CORPID, AGENTID, ABILITY, JOB = "wwcorp-leak", 1000042, "ability-leak", "job-leak"
ECHO_PATH = "/cgi-bin/chatdata/echo"
DATA = u'{"text": "leak \u4f60\u597d \u2713", "n": [1, 2, 3]}'


class Discard(object):
    """A standard output that drops everything."""

    def write(self, s):
        return len(s)

    def flush(self):
        pass


def rss_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (IOError, OSError, ValueError):
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def _libc():
    try:
        libc = ctypes.CDLL("libc.so.6")
        libc.mallinfo2.restype = _MallInfo2
        libc.malloc_trim.argtypes = [ctypes.c_size_t]
        return libc
    except (OSError, AttributeError):
        return None


_LIBC = _libc()


def heap_state():
    """(rss, rss once the C heap gave its free memory back, bytes the C heap
    has handed out, the interpreter's small blocks in use).

    Free memory that the C heap keeps (fragmentation) counts in the first
    only; a leak shows in the second and in one of the last two.  The third
    is None where the C library cannot tell."""
    gc.collect()
    rss = rss_bytes()
    in_use = None
    if _LIBC is not None:
        m = _LIBC.mallinfo2()
        in_use = m.uordblks + m.hblkhd
        _LIBC.malloc_trim(0)
    return rss, rss_bytes(), in_use, sys.getallocatedblocks()


def install_env():
    env = sdk.SpecEnv()
    env.debug_secret_info.parse_from_string(SECRET_LINE)
    env.is_debug_mode = True
    sdk.spec_env = env
    return env


def expect_raise(kinds, fn, *args, **kw):
    """Call fn; it must raise one of `kinds` (anything else is a bench error)."""
    try:
        fn(*args, **kw)
    except kinds as e:
        # Touch the texts a caller would: both forms and the arguments.
        str(e)
        repr(e)
        return e
    raise AssertionError("%s did not raise %s" % (getattr(fn, "__name__", fn), kinds))


# ---- fixed inputs ---------------------------------------------------------------------

PLAIN_WIRE = wire.encrypt(AES_KEY, DATA)
BAD_PADDING = wire.encrypt(wire.make_key_text("another key"), DATA)  # decrypts to garbage padding
INBOUND_PLAIN = (u'{"corpid": "wwcorp-leak", "agentid": 1000042, "data": %s, "call_type": 1, '
                 u'"is_async": false, "job_info": "job-leak", "ability_id": "ability-leak", '
                 u'"notify_id": "00112233445566778899aabbccddeeff"}') % json.dumps(DATA)
INBOUND_WIRE = wire.encrypt(AES_KEY, INBOUND_PLAIN)
NOT_JSON_WIRE = wire.encrypt(AES_KEY, "not json at all")


def signed(body, token=TOKEN, ver=VER, age_ms=0, nonce="12345"):
    now_ms = int(time.time() * 1000) - age_ms
    ts = str(now_ms // 1000)
    return [
        ("vq-secret-ver", ver),
        ("vq-signature", sdk.get_signature(token, body, ts, nonce, ver)),
        ("vq-nonce", nonce),
        ("vq-timestamp", ts),
        ("vq-timestamp-ms", str(now_ms)),
        ("vq-req-id", "LeakReqId0123456"),
        ("vq-inqueue-timeout-ms", "30000"),
        ("Content-Type", "application/json"),
    ]


def answer_headers(body, token=TOKEN, status="0"):
    ts = str(int(time.time()))
    nonce = "424242"
    return [
        ("Content-Type", "text/plain"),
        ("Content-Length", str(len(body))),
        ("vq-secret-ver", VER),
        ("vq-signature", sdk.get_signature(token, body, ts, nonce, VER)),
        ("vq-nonce", nonce),
        ("vq-timestamp", ts),
        ("vq-status", status),
    ]


# ---- the operations -------------------------------------------------------------------

def op_crypto():
    enc = sdk.encrypt_body(AES_KEY, DATA)
    assert sdk.decrypt_body(AES_KEY, enc) == DATA
    sdk.get_signature(TOKEN, enc, "1700000000", "12345", VER)
    sdk.get_signature(TOKEN, enc, 1700000000, 12345, 7)  # text forms of numbers
    sdk.encrypt_body(AES_KEY, "")
    sdk.decrypt_body(AES_KEY, "")


def op_crypto_fail():
    expect_raise(Exception, sdk.decrypt_body, AES_KEY, "@@not base64 at all@@x")  # bad base64
    expect_raise(ValueError, sdk.decrypt_body, AES_KEY, BAD_PADDING)               # bad padding
    expect_raise(ValueError, sdk.decrypt_body, AES_KEY, PLAIN_WIRE[:-4])           # not whole blocks
    expect_raise(ValueError, sdk.decrypt_body, SHORT_KEY, PLAIN_WIRE)              # key length
    expect_raise(ValueError, sdk.encrypt_body, SHORT_KEY, DATA)                    # key length
    expect_raise(Exception, sdk.encrypt_body, AES_KEY[:-1] + "\u00e9", DATA)       # non-ASCII key text
    expect_raise(Exception, sdk.encrypt_body, 12345, DATA)                         # key of no text type
    expect_raise(Exception, sdk.get_signature, None, "body", "1", "2", "3")        # token of no text type
    expect_raise(Exception, sdk.get_signature, TOKEN, 12345, "1", "2", "3")        # body of no text type


def op_callback():
    cb = sdk.CorpModelCallBack(CORPID, AGENTID, ABILITY, JOB, DATA)
    cb.to_json()
    expect_raise(TypeError, sdk.CorpModelCallBack, CORPID, True, ABILITY, JOB, DATA)
    expect_raise(TypeError, sdk.CorpModelCallBack, CORPID, AGENTID, ABILITY, JOB, 5)


def op_outbound_req():
    cb = sdk.CorpModelCallBack(CORPID, AGENTID, ABILITY, JOB, DATA)
    req = sdk.SpecToVQHTTPReqConstructor("LeakReqId0123456", ECHO_PATH, cb)
    req.get_normal_header()
    req.get_encoded_body()
    expect_raise(TypeError, sdk.SpecToVQHTTPReqConstructor, 12, ECHO_PATH, cb)
    expect_raise(TypeError, sdk.SpecToVQHTTPReqConstructor, "LeakReqId0123456", None, cb)
    expect_raise(AttributeError, sdk.SpecToVQHTTPReqConstructor, "LeakReqId0123456", ECHO_PATH, object())


def op_outbound_rsp():
    rsp = sdk.SpecToVQHTTPRspDecoder(200, answer_headers(PLAIN_WIRE), PLAIN_WIRE)
    assert rsp.get_rsp_status() == "0" and rsp.get_data() == DATA
    plain = sdk.SpecToVQHTTPRspDecoder(200, [("Content-Type", "text/plain")], "hello plain")
    assert plain.get_rsp_status() == "0" and plain.get_data() == "hello plain"
    rsp = sdk.SpecToVQHTTPRspDecoder(500, answer_headers(PLAIN_WIRE, status="7"), PLAIN_WIRE)
    assert rsp.get_rsp_status() == "7"


def op_outbound_rsp_fail():
    expect_raise(Exception, sdk.SpecToVQHTTPRspDecoder, 200, answer_headers(PLAIN_WIRE, token=OTHER_TOKEN),
                 PLAIN_WIRE)                                                  # Invalid signature
    missing = [h for h in answer_headers(PLAIN_WIRE) if h[0] != "vq-nonce"]
    expect_raise(Exception, sdk.SpecToVQHTTPRspDecoder, 200, missing, PLAIN_WIRE)  # Invalid header
    expect_raise(ValueError, sdk.SpecToVQHTTPRspDecoder, 200, [("a", "b", "c")], "x")  # too many
    expect_raise(ValueError, sdk.SpecToVQHTTPRspDecoder, 200, [("a",)], "x")          # too few
    expect_raise(TypeError, sdk.SpecToVQHTTPRspDecoder, 200, (("a", "b"),), "x")
    expect_raise(TypeError, sdk.SpecToVQHTTPRspDecoder, True, [], "x")
    expect_raise(ValueError, sdk.SpecToVQHTTPRspDecoder, 200, answer_headers(BAD_PADDING), BAD_PADDING)


def op_inbound():
    dec = sdk.VQToSpecHTTPReqDecoder(signed(INBOUND_WIRE), INBOUND_WIRE)
    assert dec.get_data() == DATA
    (dec.get_corpid(), dec.get_agentid(), dec.get_call_type(), dec.get_is_async(), dec.get_job_info(),
     dec.get_ability_id(), dec.get_notify_id(), dec.get_req_id())


def op_inbound_fail():
    expect_raise(Exception, sdk.VQToSpecHTTPReqDecoder, signed(INBOUND_WIRE, token=OTHER_TOKEN),
                 INBOUND_WIRE)                                                # Invalid signature
    missing = [h for h in signed(INBOUND_WIRE) if h[0] != "vq-signature"]
    expect_raise(Exception, sdk.VQToSpecHTTPReqDecoder, missing, INBOUND_WIRE)  # Invalid header
    e = expect_raise(sdk.VQToSpecRetryNotifyException, sdk.VQToSpecHTTPReqDecoder,
                     signed(INBOUND_WIRE, ver="8"), INBOUND_WIRE)
    assert e.GetStatus() == "1"
    e = expect_raise(sdk.VQToSpecRetryNotifyException, sdk.VQToSpecHTTPReqDecoder,
                     signed(INBOUND_WIRE, age_ms=120000), INBOUND_WIRE)
    assert e.GetStatus() == "2"
    expect_raise(ValueError, sdk.VQToSpecHTTPReqDecoder, [("a", "b", "c")], INBOUND_WIRE)
    expect_raise(ValueError, sdk.VQToSpecHTTPReqDecoder, [("a",)], INBOUND_WIRE)
    expect_raise(AttributeError, sdk.VQToSpecHTTPReqDecoder, [(5, "b")], INBOUND_WIRE)
    expect_raise(TypeError, sdk.VQToSpecHTTPReqDecoder, (), INBOUND_WIRE)
    expect_raise(TypeError, sdk.VQToSpecHTTPReqDecoder, [], b"bytes")
    expect_raise(ValueError, sdk.VQToSpecHTTPReqDecoder, signed(NOT_JSON_WIRE), NOT_JSON_WIRE)
    expect_raise(ValueError, sdk.VQToSpecHTTPReqDecoder, signed(BAD_PADDING), BAD_PADDING)


def op_answer():
    rsp = sdk.VQToSpecHTTPRspConstructor(DATA)
    rsp.get_normal_header()
    rsp.get_exception_header("2")
    rsp.get_retry_notify_header()
    rsp.get_encoded_body()
    sdk.VQToSpecHTTPRspConstructor("").get_normal_header()
    sdk.spec_make_internal_error_rsp_data(u"boom \u00e9 \U0001f600")
    e = sdk.VQToSpecRetryNotifyException("ver not matched, retry notify")
    e.GetStatus()
    expect_raise(TypeError, sdk.VQToSpecHTTPRspConstructor, None)
    expect_raise(TypeError, rsp.get_exception_header, 2)
    expect_raise(TypeError, sdk.spec_make_internal_error_rsp_data, 5)


LONG_TEXT = "x" * 40000


def op_log():
    sdk.spec_log_info("info", 1, None, u"\u4f60\u597d\nnext")
    sdk.spec_log_debug("debug")
    sdk.spec_log_error("error", 2.5)
    sdk.spec_log_info_with_req_id("LeakReqId0123456", "with id")
    sdk.spec_log_debug_with_req_id(None, "with None")
    sdk.spec_log_error_with_req_id("LeakReqId0123456", "err", [1, 2])
    sdk.spec_log("LVL", "rid", "custom")
    sdk.spec_log_info()
    sdk.spec_log_info(LONG_TEXT, "dropped")
    expect_raise(TypeError, sdk.spec_log_info, bad="keyword")


def op_ids():
    sdk.gen_new_req_id()
    sdk.spec_gen_notify_id()
    sdk.is_digit_str("12345")
    sdk.is_digit_str(12345)
    sdk.spec_get_sdk_version()


def op_secret():
    info = sdk.SecretInfo()
    expect_raise(Exception, info.parse_from_string, "only,three,fields")
    expect_raise(TypeError, info.parse_from_string, None)
    info.parse_from_string(SECRET_LINE)
    info.debug_string()
    expect_raise(AttributeError, sdk.SecretInfo().debug_string)


def op_debug_mode():
    expect_raise(Exception, sdk.SpecEnv().open_debug_mode, "", "access-token-leak")
    expect_raise(Exception, sdk.SpecEnv().open_debug_mode, "!!!notbase64", "access-token-leak")
    expect_raise(Exception, sdk.SpecEnv().open_debug_mode, wire.SecretRecord("1", "t", "k", "p").debug_token()[:-2],
                 "access-token-leak")
    env = sdk.SpecEnv()
    env.open_debug_mode(wire.SecretRecord(VER, TOKEN, AES_KEY, PROGRAM_ID).debug_token(), "access-token-leak")
    env.get_token()
    expect_raise(TypeError, env.open_debug_mode, None, "x")


OPS = [
    ("crypto", op_crypto),
    ("crypto_fail", op_crypto_fail),
    ("callback", op_callback),
    ("outbound_req", op_outbound_req),
    ("outbound_rsp", op_outbound_rsp),
    ("outbound_rsp_fail", op_outbound_rsp_fail),
    ("inbound", op_inbound),
    ("inbound_fail", op_inbound_fail),
    ("answer", op_answer),
    ("log", op_log),
    ("ids", op_ids),
    ("secret", op_secret),
    ("debug_mode", op_debug_mode),
]


# ---- the outbound echo round trip -------------------------------------------------------

def start_server():
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "_server.py"), SECRET_LINE],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(proc.stdout.readline().decode("ascii").strip())
    return proc, port


def stop_server(proc):
    try:
        proc.stdin.close()
    except (IOError, OSError):
        pass
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)


def make_echo(port):
    os.environ["NO_PROXY"] = ",".join(x for x in (os.environ.get("NO_PROXY"), "127.0.0.1") if x)
    # Debug mode is on: calls go to the relay path of DEBUG_DOMAIN.
    base = "http://127.0.0.1:%d" % port
    sdk.DOMAIN = sdk.DEBUG_DOMAIN = sdk.DEBUG_TEST_DOMAIN = base
    client = sdk.ChatDataSDK(CORPID, AGENTID, ABILITY, JOB)
    client.set_connect_timeout(2.0)
    client.set_read_timeout(5.0)

    def echo():
        out = client.echo(DATA)
        assert json.loads(out)["data"] == DATA, out
    return echo


# ---- running ------------------------------------------------------------------------------

def run(ops, rounds, warmup, echo=None, echo_every=0):
    """Run the rounds; returns (heap state after warm-up, at the end, seconds)."""
    start = time.time()
    warm = None
    for i in range(rounds):
        if i == warmup:
            warm = heap_state()
        for _, fn in ops:
            fn()
        if echo is not None and i % echo_every == 0:
            echo()
    end = heap_state()
    if warm is None:
        warm = end
    return warm, end, time.time() - start


def run_each(args):
    """Every operation alone, each in a fresh interpreter."""
    worst = 0.0
    failed = False
    for name, _ in OPS:
        cmd = [sys.executable, os.path.abspath(__file__), "--only", name, "--rounds", str(args.rounds),
               "--warmup", str(args.warmup), "--limit-mib", str(args.limit_mib), "--echo-every", "0"]
        if args.raw:
            cmd.append("--raw")
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        out, err = proc.communicate()
        line = (out.strip().splitlines() or [""])[-1]
        print("%-18s %s" % (name, line if proc.returncode in (0, 1) else "ERROR %s %s" % (proc.returncode,
                                                                                           err.strip()[-300:])))
        sys.stdout.flush()
        failed = failed or proc.returncode != 0
    return 1 if failed else 0


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=200000)
    p.add_argument("--warmup", type=int, default=None, help="default: a tenth of the rounds")
    p.add_argument("--limit-mib", type=float, default=2.0)
    p.add_argument("--only", default="", help="comma-separated operation names")
    p.add_argument("--list", action="store_true")
    p.add_argument("--each", action="store_true")
    p.add_argument("--echo-every", type=int, default=100)
    p.add_argument("--raw", action="store_true",
                   help="judge by the raw resident size, free memory the C heap keeps included")
    args = p.parse_args()
    if args.warmup is None:
        args.warmup = args.rounds // 10
    if args.list:
        for name, _ in OPS:
            print(name)
        return 0
    if args.each:
        return run_each(args)

    ops = OPS
    if args.only:
        wanted = [n.strip() for n in args.only.split(",") if n.strip()]
        known = dict(OPS)
        unknown = [n for n in wanted if n not in known]
        if unknown:
            p.error("unknown operation(s): %s" % ", ".join(unknown))
        ops = [(n, known[n]) for n in wanted]

    real_stdout = sys.stdout
    sys.stdout = Discard()
    server = None
    echo = None
    try:
        install_env()
        if args.echo_every > 0 and not args.only:
            server, port = start_server()
            echo = make_echo(port)
        # One round before anything is measured: module caches, first imports.
        for _, fn in ops:
            fn()
        if echo is not None:
            echo()
        warm, end, seconds = run(ops, args.rounds, args.warmup, echo, args.echo_every)
    finally:
        sys.stdout = real_stdout
        if server is not None:
            stop_server(server)

    raw = (end[0] - warm[0]) / MIB
    growth = raw if args.raw else (end[1] - warm[1]) / MIB
    heap = (end[2] - warm[2]) / MIB if warm[2] is not None else 0.0
    ok = growth <= args.limit_mib and heap <= args.limit_mib
    print("python %s, %d rounds (%d warm-up), ops %s%s" % (
        sys.version.split()[0], args.rounds, args.warmup, ",".join(n for n, _ in ops),
        ", echo every %d rounds" % args.echo_every if echo is not None else ""))
    print("  rss %.2f -> %.2f MiB (%+.3f MiB); with the C heap trimmed %.2f -> %.2f MiB (%+.3f MiB)" % (
        warm[0] / MIB, end[0] / MIB, raw, warm[1] / MIB, end[1] / MIB, (end[1] - warm[1]) / MIB))
    print("  C heap in use %s, interpreter small blocks %+d" % (
        "%+d B" % (end[2] - warm[2]) if warm[2] is not None else "n/a", end[3] - warm[3]))
    print("growth %.3f MiB%s, C heap %+.3f MiB (limit %.1f MiB), %.1f s: %s" % (
        growth, " (raw rss)" if args.raw else "", heap, args.limit_mib, seconds, "PASS" if ok else "FAIL"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
