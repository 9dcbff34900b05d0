"""Benchmark suite of the vqspecapisdk extension module.

    cd /work/main && PYTHONPATH=build/dev-3.11 python bench/run.py [--quick]

Prints one table: the module's time per operation, the time of what it is
compared with (the interpreted baseline of bench/baseline.py, or the bare
primitives called directly on the same bytes), both ratios, the target and a
PASS/MISS mark.  It is a report, not a test: the exit status is always 0.

Sections (each runs in a fresh interpreter, so a crash of the module shows
as an ERROR row and no section inherits another's heap):
  a  get_signature, encrypt_body, decrypt_body at 1 KiB and 1 MiB vs interpreted
  b  the same at 1 MiB vs the bare primitives on the same bytes
  c  spec_log_info per line vs the interpreted writer
  d  decrypt_body 1 MiB on two threads vs one (with a zlib control that
     shows whether the second core was free)
  e  SpecToVQHTTPRspDecoder vs bare primitives and vs interpreted
  f  ChatDataSDK.echo round trip vs a bare requests.post of the same bytes
     (bench/_server.py, plain HTTP on 127.0.0.1, in its own process)
  g  inbound decode + answer vs interpreted and vs bare primitives + json.loads
  h  echo over kept-alive connections (the simulator over HTTPS, bench/_sim.py,
     in its own process): reuse against reuse turned off (KEEP_ALIVE) and
     against a bare kept-alive requests.Session posting the same bytes; 20
     calls with a 20 ms round trip added; 8 threads' calls per second

Every comparison runs side by side: the rounds alternate between the module
and its comparison (the order flips each round) and the ratio reported is the
median of the per-round ratios, so that drift of a shared machine cancels
out.  The times shown are the medians of the rounds.  The module's log output
goes to a discarding standard output while measuring.
"""
import argparse
import binascii
import gc
import hashlib
import hmac
import json
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import baseline  # noqa: E402

from Crypto.Cipher import AES  # noqa: E402
from Crypto.Util.Padding import pad, unpad  # noqa: E402

sdk = None  # the extension module, imported by the process that measures

KIB = 1024
MIB = 1024 * 1024

perf = time.perf_counter


class Discard(object):
    """A standard output that throws everything away."""

    def write(self, s):
        pass

    def flush(self):
        pass


# ---- fixtures -----------------------------------------------------------------------

def make_key_text(seed):
    raw = hashlib.sha256(seed.encode("utf-8")).digest()
    return binascii.b2a_base64(raw, newline=False).decode("ascii").rstrip("=")


SECRET_VER = "20240601"
TOKEN = "bench-token-0123456789abcdefghij"
AES_KEY_TEXT = make_key_text("vqspecapisdk bench")
PROGRAM_ID = "prog-bench-01"
SECRET_LINE = ",".join([SECRET_VER, TOKEN, AES_KEY_TEXT, PROGRAM_ID])

KEY = binascii.a2b_base64(AES_KEY_TEXT + "=")
IV = KEY[:16]
TOKEN_B = TOKEN.encode("utf-8")


def make_text(n, seed=7):
    """About n characters of chat-record JSON text, cut to exactly n (ASCII)."""
    rnd = random.Random(seed)
    words = ["order", "refund", "shipping", "price", "hello", "thanks", "invoice", "please",
             "check", "status", "tomorrow", "customer", "product", "discount", "ok"]
    parts = []
    total = 0
    i = 0
    while total < n:
        rec = json.dumps({
            "msgid": "%016x" % rnd.getrandbits(64),
            "from": "wm%08d" % rnd.randrange(10 ** 8),
            "msgtime": 1796700000000 + i * 1375,
            "content": " ".join(rnd.choice(words) for _ in range(rnd.randrange(4, 24))),
        }, separators=(",", ":"))
        parts.append(rec)
        total += len(rec) + 1
        i += 1
    return ("[" + ",".join(parts) + "]")[:n]


def install_env():
    """Put a secret record in force without a secret file (debug mode)."""
    global sdk
    if sdk is None:
        import vqspecapisdk
        sdk = vqspecapisdk
    saved = sys.stdout
    sys.stdout = Discard()  # the record's parse line
    try:
        env = sdk.SpecEnv()
        env.debug_secret_info.parse_from_string(SECRET_LINE)
        env.is_debug_mode = True
        sdk.spec_env = env
    finally:
        sys.stdout = saved
    return env


# ---- timing -------------------------------------------------------------------------

class Bench(object):
    def __init__(self, quick):
        self.quick = quick
        # Many short rounds: each ratio pairs two batches a few milliseconds
        # apart, and the median over the rounds shrugs off bursts of load
        # from other work on the machine.
        self.rounds = 15 if quick else 31
        self.batch_s = 0.0025 if quick else 0.005

    def calibrate(self, fn):
        """Calls per batch so that one batch of fn takes about batch_s."""
        fn()
        n = 1
        while True:
            t0 = perf()
            for _ in range(n):
                fn()
            dt = perf() - t0
            if dt >= self.batch_s / 4 or n >= 1 << 20:
                break
            n *= 4
        return max(1, int(n * self.batch_s / max(dt, 1e-9)))

    @staticmethod
    def batch(fn, n):
        gc.disable()
        try:
            t0 = perf()
            for _ in range(n):
                fn()
            return (perf() - t0) / n
        finally:
            gc.enable()

    def pair(self, f_sdk, f_cmp, n=None, rounds=None):
        """Interleaved rounds; returns (median sdk s/op, median cmp s/op, median ratio sdk/cmp)."""
        rounds = rounds or self.rounds
        n_sdk = n or self.calibrate(f_sdk)
        n_cmp = n or self.calibrate(f_cmp)
        gc.collect()
        ts, tc, rs = [], [], []
        for r in range(rounds):
            if r % 2 == 0:
                a = self.batch(f_sdk, n_sdk)
                b = self.batch(f_cmp, n_cmp)
            else:
                b = self.batch(f_cmp, n_cmp)
                a = self.batch(f_sdk, n_sdk)
            ts.append(a)
            tc.append(b)
            rs.append(a / b)
        return statistics.median(ts), statistics.median(tc), statistics.median(rs)


# ---- report -------------------------------------------------------------------------

class Report(object):
    def __init__(self):
        self.rows = []
        self.notes = []

    def note(self, key, text):
        self.notes.append((key, text))

    def add(self, key, label, t_sdk, t_cmp, ratio, target=None, cmp_name=""):
        """ratio is sdk/cmp.  target: ("faster", x) means cmp/sdk >= x;
        ("within", x) means sdk/cmp <= x; None means for information."""
        mark = "info"
        tdesc = "-"
        if target is not None:
            kind, x = target
            if kind == "faster":
                ok = (1.0 / ratio) >= x
                tdesc = ">= %.2gx faster" % x
            elif kind == "within":
                ok = ratio <= x
                tdesc = "sdk/cmp <= %.2f" % x
            else:  # "speedup": the figure in cmp/sdk is itself the target quantity
                ok = (1.0 / ratio) >= x
                tdesc = "speedup >= %.2gx" % x
            mark = "PASS" if ok else "MISS"
        self.rows.append((key, label, cmp_name, t_sdk, t_cmp, ratio, tdesc, mark))

    def error(self, key, label, exc):
        self.rows.append((key, label, "", None, None, None, "error: %s" % exc, "ERROR"))

    def print(self, out):
        def fmt_t(t):
            if t is None:
                return "-"
            if t >= 1e-3:
                return "%.3f ms" % (t * 1e3)
            return "%.2f us" % (t * 1e6)
        out.write("sdk, cmp: median time per operation; sdk/cmp: median of the per-round time ratios "
                  "(lower is better); cmp/sdk: its inverse, the speedup\n\n")
        hdr = ("", "measurement", "compared with", "sdk", "cmp", "sdk/cmp", "cmp/sdk", "target", "")
        lines = []
        for key, label, cmp_name, t_sdk, t_cmp, ratio, tdesc, mark in self.rows:
            lines.append((key, label, cmp_name, fmt_t(t_sdk), fmt_t(t_cmp),
                          "-" if ratio is None else "%.3f" % ratio,
                          "-" if ratio is None else "%.2fx" % (1.0 / ratio),
                          tdesc, mark))
        widths = [max(len(r[i]) for r in lines + [hdr]) for i in range(len(hdr))]

        def line(cells):
            out.write("  ".join(c.ljust(w) if i < 3 or i >= 7 else c.rjust(w)
                                for i, (c, w) in enumerate(zip(cells, widths))).rstrip() + "\n")
        line(hdr)
        line(tuple("-" * w for w in widths))
        prev = None
        for r in lines:
            if prev is not None and r[0] != prev:
                out.write("\n")
            prev = r[0]
            line(r)
        if self.notes:
            out.write("\n")
            for key, text in self.notes:
                out.write("%s  note: %s\n" % (key, text))
        marks = [r[-1] for r in self.rows]
        out.write("\n%d targets: %d PASS, %d MISS%s\n" % (
            marks.count("PASS") + marks.count("MISS"), marks.count("PASS"), marks.count("MISS"),
            (", %d ERROR" % marks.count("ERROR")) if "ERROR" in marks else ""))


# ---- bare primitives ------------------------------------------------------------------

def bare_encrypt(plain):
    """utf-8 encode + pad + AES-CBC + Base64 (bytes, no line break)."""
    c = AES.new(KEY, AES.MODE_CBC, IV)
    return binascii.b2a_base64(c.encrypt(pad(plain.encode("utf-8"), 32)), newline=False)


def bare_decrypt(wire):
    """Base64 decode + AES-CBC + unpad + utf-8 decode."""
    c = AES.new(KEY, AES.MODE_CBC, IV)
    return unpad(c.decrypt(binascii.a2b_base64(wire)), 32).decode("utf-8")


def bare_sign(wire_bytes, ts, nonce, ver):
    """md5 of the body bytes + HMAC-SHA-256 of the signed text."""
    text = "body-md5=%s\nmethod=POST\nvq-nonce=%s\nvq-secret-ver=%s\nvq-timestamp=%s\n" % (
        hashlib.md5(wire_bytes).hexdigest(), nonce, ver, ts)
    return hmac.new(TOKEN_B, text.encode("utf-8"), hashlib.sha256).hexdigest()


# ---- the measurements ------------------------------------------------------------------

def section_a(b, rep, env, benv):
    ts, nonce = "1796748592", "1981369290"
    for size, name in ((KIB, "1 KiB"), (MIB, "1 MiB")):
        plain = make_text(size)
        wire = baseline.encrypt_body(AES_KEY_TEXT, plain)
        assert sdk.encrypt_body(AES_KEY_TEXT, plain) == wire
        assert sdk.decrypt_body(AES_KEY_TEXT, wire) == plain
        assert sdk.get_signature(TOKEN, wire, ts, nonce, SECRET_VER) == \
            baseline.get_signature(TOKEN, wire, ts, nonce, SECRET_VER)
        small = size == KIB

        def s_sig():
            sdk.get_signature(TOKEN, wire, ts, nonce, SECRET_VER)

        def c_sig():
            baseline.get_signature(TOKEN, wire, ts, nonce, SECRET_VER)

        def s_enc():
            sdk.encrypt_body(AES_KEY_TEXT, plain)

        def c_enc():
            baseline.encrypt_body(AES_KEY_TEXT, plain)

        def s_dec():
            sdk.decrypt_body(AES_KEY_TEXT, wire)

        def c_dec():
            baseline.decrypt_body(AES_KEY_TEXT, wire)

        def s_encsig():
            w = sdk.encrypt_body(AES_KEY_TEXT, plain)
            sdk.get_signature(TOKEN, w, ts, nonce, SECRET_VER)

        def c_encsig():
            w = baseline.encrypt_body(AES_KEY_TEXT, plain)
            baseline.get_signature(TOKEN, w, ts, nonce, SECRET_VER)

        cmp_name = "interpreted"
        name = "%s body (%d-char wire)" % (name, len(wire)) if small else name
        rep.add("a", "get_signature %s" % name, *b.pair(s_sig, c_sig), cmp_name=cmp_name)
        rep.add("a", "encrypt_body %s" % name, *b.pair(s_enc, c_enc), cmp_name=cmp_name)
        rep.add("a", "encrypt_body+get_signature %s" % name, *b.pair(s_encsig, c_encsig),
                target=("faster", 5.0) if small else None, cmp_name=cmp_name)
        rep.add("a", "decrypt_body %s" % name, *b.pair(s_dec, c_dec),
                target=("faster", 5.0) if small else None, cmp_name=cmp_name)


def section_b(b, rep):
    ts, nonce = "1796748592", "1981369290"
    plain = make_text(MIB)
    wire = sdk.encrypt_body(AES_KEY_TEXT, plain)
    wire_b = wire.encode("ascii")
    assert bare_encrypt(plain) == wire_b
    assert bare_decrypt(wire) == plain
    assert bare_sign(wire_b, ts, nonce, SECRET_VER) == sdk.get_signature(TOKEN, wire, ts, nonce, SECRET_VER)
    rep.add("b", "encrypt_body 1 MiB", *b.pair(lambda: sdk.encrypt_body(AES_KEY_TEXT, plain),
                                              lambda: bare_encrypt(plain)),
            target=("within", 1.3), cmp_name="bare encode+pad+AES+b64")
    rep.add("b", "decrypt_body 1 MiB", *b.pair(lambda: sdk.decrypt_body(AES_KEY_TEXT, wire),
                                              lambda: bare_decrypt(wire)),
            target=("within", 1.3), cmp_name="bare b64+AES+unpad+decode")
    rep.add("b", "get_signature 1 MiB", *b.pair(lambda: sdk.get_signature(TOKEN, wire, ts, nonce, SECRET_VER),
                                               lambda: bare_sign(wire_b, ts, nonce, SECRET_VER)),
            target=("within", 1.3), cmp_name="bare md5+hmac")


def section_c(b, rep):
    args3 = ("spec2vq", "begin", "/cgi-bin/chatdata/echo")
    args6 = ("VQToSpecHTTPReqDecoder init", "ver", SECRET_VER, "1796748592", "1796748592123", None)
    long_arg = ("x" * 40000,)

    def s3():
        sdk.spec_log_info(*args3)

    def c3():
        baseline.spec_log_info(*args3)

    def s6():
        sdk.spec_log_info_with_req_id("aB3dE5gH7jK9mN1p", *args6)

    def c6():
        baseline.spec_log_info_with_req_id("aB3dE5gH7jK9mN1p", *args6)

    def sl():
        sdk.spec_log_info(*long_arg)

    def cl():
        baseline.spec_log_info(*long_arg)

    rep.add("c", "spec_log_info, 3 short args", *b.pair(s3, c3), target=("faster", 5.0),
            cmp_name="interpreted writer")
    rep.add("c", "spec_log_info_with_req_id, 6 args", *b.pair(s6, c6), cmp_name="interpreted writer")
    rep.add("c", "spec_log_info, 40000-char arg (cut)", *b.pair(sl, cl), cmp_name="interpreted writer")


def thread_scaling(fns, per_thread, rounds):
    """Throughput of two threads running fn against one thread running it,
    for each fn of fns, all interleaved round by round.

    The one-thread case also runs in a worker thread (not the main thread),
    so that both sides allocate from the same kind of malloc arena.  Returns
    per fn: (median wall s/op with 2 threads, median s/op with 1 thread,
    median per-round ratio (2-thread wall per op) / (1-thread s/op), best
    round's speedup, median CPUs used in the 2-thread phase, median minor
    page faults and voluntary context switches per op with 2 threads)."""
    def run_threads(fn, k):
        bar = threading.Barrier(k + 1)
        done = []

        def body():
            bar.wait()
            for _ in range(per_thread):
                fn()
            done.append(perf())
        ths = [threading.Thread(target=body) for _ in range(k)]
        for t in ths:
            t.start()
        r0 = resource.getrusage(resource.RUSAGE_SELF)
        bar.wait()
        t0 = perf()
        c0 = time.process_time()
        for t in ths:
            t.join()
        wall, cpu = max(done) - t0, time.process_time() - c0
        r1 = resource.getrusage(resource.RUSAGE_SELF)
        if k == 2:
            ops = float(k * per_thread)
            faults.append((r1.ru_minflt - r0.ru_minflt) / ops)
            waits.append((r1.ru_nvcsw - r0.ru_nvcsw) / ops)
        return wall, cpu

    stats = [([], [], [], []) for _ in fns]
    extra = [([], []) for _ in fns]
    faults, waits = [], []
    for fn in fns:
        run_threads(fn, 1)
    for r in range(rounds):
        for i, fn in enumerate(fns):
            del faults[:], waits[:]
            if (r + i) % 2 == 0:
                t1, _ = run_threads(fn, 1)
                t2, c2 = run_threads(fn, 2)
            else:
                t2, c2 = run_threads(fn, 2)
                t1, _ = run_threads(fn, 1)
            t1s, t2s, rs, util = stats[i]
            t1s.append(t1 / per_thread)
            t2s.append(t2 / (2 * per_thread))
            rs.append(t2 / (2 * t1))
            util.append(c2 / t2)
            extra[i][0].extend(faults)
            extra[i][1].extend(waits)
    med = statistics.median
    return [(med(t2s), med(t1s), med(rs), 1.0 / min(rs), med(util), med(f), med(w))
            for (t1s, t2s, rs, util), (f, w) in zip(stats, extra)]


def section_d(b, rep):
    import zlib
    plain = make_text(MIB)
    wire = sdk.encrypt_body(AES_KEY_TEXT, plain)
    # Control: a standard-library call known to run without the lock, to tell
    # a lock held by the module from a second core that is busy elsewhere.
    chunk = wire.encode("ascii")[:48 * KIB]
    per_thread = 5 if b.quick else 6
    rounds = 9 if b.quick else 21
    (s2, s1, sr, sbest, sutil, sflt, swait), (c2, c1, cr, cbest, cutil, _, _) = thread_scaling(
        [lambda: sdk.decrypt_body(AES_KEY_TEXT, wire), lambda: zlib.compress(chunk, 1)],
        per_thread, rounds)
    rep.add("d", "decrypt_body 1 MiB, 2 threads (wall/body)", s2, s1, sr, target=("speedup", 1.6),
            cmp_name="1 thread (s/body)")
    rep.add("d", "control: zlib.compress 48 KiB, 2 threads", c2, c1, cr, cmp_name="1 thread (s/op)")
    rep.note("d", "2-thread phases used %.2f CPUs with decrypt_body, %.2f with the control "
                  "(medians)" % (sutil, cutil))
    rep.note("d", "decrypt_body, 2 threads: %.1f minor page faults and %.2f voluntary "
                  "context switches per body (median)" % (sflt, swait))
    if 1.0 / cr < 1.6:
        rep.note("d", "the control stayed below 1.6x too: the second core was busy elsewhere, "
                      "or this interpreter's thread switching held both back (compare a run on "
                      "another interpreter), so the figure above says little about the module")


def section_e(b, rep, benv):
    for size, name, target in ((MIB, "1 MiB", ("within", 1.3)), (KIB, "1 KiB", None)):
        plain = make_text(size, seed=11)
        wire = baseline.encrypt_body(AES_KEY_TEXT, plain)
        wire_b = wire.encode("ascii")
        headers = [("Server", "BaseHTTP/0.6 Python/3"), ("Date", "Tue, 08 Dec 2026 16:50:00 GMT")]
        headers += baseline.signed_answer_headers(benv, wire)
        hd = dict(headers)
        ts, nonce, sig = hd["vq-timestamp"], hd["vq-nonce"], hd["vq-signature"]

        def s_dec():
            sdk.SpecToVQHTTPRspDecoder(200, headers, wire).get_data()

        def bare():
            if bare_sign(wire_b, ts, nonce, SECRET_VER) != sig:
                raise Exception("Invalid signature")
            return bare_decrypt(wire)

        def interp():
            baseline.SpecToVQHTTPRspDecoder(benv, 200, headers, wire).get_data()

        assert sdk.SpecToVQHTTPRspDecoder(200, headers, wire).get_data() == plain == bare()
        if size == MIB:
            rep.add("e", "SpecToVQHTTPRspDecoder %s" % name, *b.pair(s_dec, bare), target=target,
                    cmp_name="bare md5+hmac+b64+AES+unpad+decode")
        rep.add("e", "SpecToVQHTTPRspDecoder %s" % name, *b.pair(s_dec, interp),
                cmp_name="interpreted decoder")


def start_server():
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "_server.py"), SECRET_LINE],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(proc.stdout.readline().decode("ascii").strip())
    return proc, port


def echo_request(job_info="job-info-bench"):
    """A client at the current domains, the 1 KiB echo parameter, and the URL,
    headers and body bytes the client posts for it."""
    client = sdk.ChatDataSDK("wwbenchcorp0001", 1000002, "ability_bench", job_info)
    param = make_text(KIB, seed=3)
    path = "/cgi-bin/chatdata/echo"
    body = sdk.CorpModelCallBack(client.corpid, client.agentid, client.ability_id, client.job_info, param)
    req = sdk.SpecToVQHTTPReqConstructor(client.req_id, path, body)
    return (client, param, client.get_req_url(path), req.get_normal_header(),
            req.get_encoded_body().encode("utf-8"))


def bare(post, url, headers, payload):
    """A post of the same bytes through `post` that reads what the SDK reads
    from the response."""
    def fn():
        r = post(url, headers=headers, data=payload, timeout=(2.0, 10.0))
        list(r.headers.items())
        r.status_code
        return r.text
    return fn


def warm(*fns):
    """Ten calls of each, interleaved, before measuring."""
    for _ in range(10):
        for fn in fns:
            fn()


def section_f(b, rep, server_port):
    import requests
    # The bench server is local; keep any proxy setting of the host out of it.
    os.environ["NO_PROXY"] = ",".join(x for x in (os.environ.get("NO_PROXY"), "127.0.0.1") if x)
    base = "http://127.0.0.1:%d" % server_port
    # Debug mode routes every call through the relay path of DEBUG_DOMAIN, so
    # all three bases point at the bench server.
    saved = (sdk.DOMAIN, sdk.DEBUG_DOMAIN, sdk.DEBUG_TEST_DOMAIN)
    sdk.DOMAIN = sdk.DEBUG_DOMAIN = sdk.DEBUG_TEST_DOMAIN = base
    try:
        client, param, url, headers, payload = echo_request()
        echoed = client.echo(param)
        assert json.loads(echoed)["data"] == param

        def s_echo():
            client.echo(param)

        bare_post = bare(requests.post, url, headers, payload)
        assert bare_post() == payload.decode("utf-8")
        warm(s_echo, bare_post)
        n = 5 if b.quick else 10
        rounds = 15 if b.quick else 31
        rep.add("f", "ChatDataSDK.echo 1 KiB round trip", *b.pair(s_echo, bare_post, n=n, rounds=rounds),
                target=("within", 1.15), cmp_name="bare requests.post")
    finally:
        sdk.DOMAIN, sdk.DEBUG_DOMAIN, sdk.DEBUG_TEST_DOMAIN = saved


def inbound_request(benv, data, answer_size):
    """(header list, wire body) of a signed, encrypted platform call."""
    call = json.dumps({
        "corpid": "wwbenchcorp0001", "agentid": 1000002, "data": data, "call_type": 1,
        "is_async": False, "job_info": "job-info-bench", "ability_id": "ability_bench",
        "notify_id": "0f3c2b1a49e811f0a1b2c3d4e5f60718",
    }, separators=(",", ":"), ensure_ascii=False)
    wire = baseline.encrypt_body(AES_KEY_TEXT, call)
    now = time.time()
    ts = str(int(now))
    nonce = str(random.randrange(2147483647))
    sig = baseline.get_signature(TOKEN, wire, ts, nonce, SECRET_VER)
    headers = [
        ("Host", "127.0.0.1:8080"), ("User-Agent", "vq-platform/1.0"), ("Accept", "*/*"),
        ("Content-Type", "application/json"), ("Content-Length", str(len(wire))),
        ("Vq-Secret-Ver", SECRET_VER), ("Vq-Signature", sig), ("Vq-Nonce", nonce),
        ("Vq-Timestamp", ts), ("Vq-Timestamp-Ms", str(int(now * 1000))),
        ("Vq-Req-Id", "aB3dE5gH7jK9mN1p"), ("Vq-Inqueue-Timeout-Ms", "3600000"),
    ]
    return headers, wire, call


def inbound_round_trip(headers, wire, answer):
    """The program's side of one inbound call: decode, read, answer (also bench/icount.py's)."""
    d = sdk.VQToSpecHTTPReqDecoder(headers, wire)
    d.get_data()
    d.get_req_id()
    r = sdk.VQToSpecHTTPRspConstructor(answer)
    r.get_normal_header()
    r.get_encoded_body()


def section_g(b, rep, benv):
    for size, name in ((KIB, "1 KiB"), (MIB, "1 MiB")):
        data = make_text(size - 230 if size == KIB else size, seed=5)
        headers, wire, call = inbound_request(benv, data, size)
        answer = make_text(size, seed=9)
        hd = dict((k.lower(), v) for k, v in headers)
        wire_b = wire.encode("ascii")

        def s_path():
            inbound_round_trip(headers, wire, answer)

        def interp():
            d = baseline.VQToSpecHTTPReqDecoder(benv, headers, wire)
            d.get_data()
            d.get_req_id()
            r = baseline.VQToSpecHTTPRspConstructor(benv, answer)
            r.get_normal_header()
            r.get_encoded_body()

        def bare():
            if bare_sign(wire_b, hd["vq-timestamp"], hd["vq-nonce"], SECRET_VER) != hd["vq-signature"]:
                raise Exception("Invalid signature")
            json.loads(bare_decrypt(wire))
            out = bare_encrypt(answer)
            bare_sign(out, "1796748592", "1981369290", SECRET_VER)

        d = sdk.VQToSpecHTTPReqDecoder(headers, wire)
        assert d.get_data() == data and d.get_corpid() == "wwbenchcorp0001"
        assert sdk.VQToSpecHTTPRspConstructor(answer).get_encoded_body() == bare_encrypt(answer).decode("ascii")
        label = "inbound decode + answer %s" % name
        if size == KIB:
            rep.add("g", label, *b.pair(s_path, interp), target=("faster", 5.0),
                    cmp_name="interpreted decoder+constructor")
            rep.add("g", label, *b.pair(s_path, bare), cmp_name="bare primitives + json.loads")
        else:
            rep.add("g", label, *b.pair(s_path, bare), target=("within", 1.3),
                    cmp_name="bare primitives + json.loads")
            rep.add("g", label, *b.pair(s_path, interp), cmp_name="interpreted decoder+constructor")


ACCESS_TOKEN = "bench-access-token-0123"
RTT_S = 0.020


def start_sim(one_way_s):
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "_sim.py"), SECRET_LINE, ACCESS_TOKEN,
                             repr(one_way_s)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(proc.stdout.readline().decode("ascii").strip())
    ca = proc.stdout.readline().decode("utf-8").strip()
    return proc, port, ca


def stop_server(proc):
    proc.stdin.close()
    proc.wait()


def timed_calls(fn, count):
    """Mean seconds per call of `count` consecutive calls on a new thread
    (so on a new kept session: the first call opens the connection)."""
    out = []

    def body():
        t0 = perf()
        for _ in range(count):
            fn()
        out.append((perf() - t0) / count)
    t = threading.Thread(target=body)
    t.start()
    t.join()
    return out[0]


def threads_rate(fn, k, seconds):
    """Calls per second of k threads calling fn for about `seconds`."""
    bar = threading.Barrier(k + 1)
    counts = [0] * k
    stop = [False]

    def body(i):
        bar.wait()
        while not stop[0]:
            fn(i)
            counts[i] += 1
    ths = [threading.Thread(target=body, args=(i,)) for i in range(k)]
    for t in ths:
        t.start()
    bar.wait()
    t0 = perf()
    time.sleep(seconds)
    stop[0] = True
    for t in ths:
        t.join()
    return sum(counts) / (perf() - t0)


def cpu_pair(f_sdk, f_cmp, n, rounds):
    """Like Bench.pair, with this process's CPU time instead of the wall time."""
    def batch(fn):
        c0 = time.process_time()
        for _ in range(n):
            fn()
        return (time.process_time() - c0) / n
    ts, tc, rs = [], [], []
    for r in range(rounds):
        if r % 2 == 0:
            a = batch(f_sdk)
            c = batch(f_cmp)
        else:
            c = batch(f_cmp)
            a = batch(f_sdk)
        ts.append(a)
        tc.append(c)
        rs.append(a / c)
    return statistics.median(ts), statistics.median(tc), statistics.median(rs)


def section_h(b, rep):
    import requests
    os.environ["NO_PROXY"] = ",".join(x for x in (os.environ.get("NO_PROXY"), "127.0.0.1") if x)
    env = sdk.spec_env
    env.access_token = ACCESS_TOKEN
    saved = (sdk.DOMAIN, sdk.DEBUG_DOMAIN, sdk.DEBUG_TEST_DOMAIN, sdk.KEEP_ALIVE)
    near = far = None
    try:
        near = start_sim(0.0)
        far = start_sim(RTT_S / 2)

        def use(server):
            os.environ["REQUESTS_CA_BUNDLE"] = server[2]
            sdk.DOMAIN = sdk.DEBUG_DOMAIN = sdk.DEBUG_TEST_DOMAIN = "https://127.0.0.1:%d" % server[1]

        use(near)
        client, param, url, headers, payload = echo_request()

        def reuse():
            sdk.KEEP_ALIVE = True
            client.echo(param)

        def no_reuse():
            sdk.KEEP_ALIVE = False
            client.echo(param)

        bare_session = bare(requests.Session().post, url, headers, payload)
        assert client.echo(param) == param
        bare_session()
        warm(reuse, no_reuse, bare_session)
        n = 5 if b.quick else 10
        rounds = 11 if b.quick else 21
        rep.add("h", "echo 1 KiB over HTTPS, reuse", *b.pair(reuse, no_reuse, n=n, rounds=rounds),
                target=("faster", 3.0), cmp_name="KEEP_ALIVE = False")
        rep.add("h", "echo 1 KiB over HTTPS, reuse", *b.pair(reuse, bare_session, n=n, rounds=rounds),
                target=("within", 1.1), cmp_name="bare kept-alive Session.post")
        # The client process's own CPU time per call, which the load of a
        # shared machine disturbs less than the wall time.
        rep.add("h", "echo 1 KiB over HTTPS, reuse: client CPU per call",
                *cpu_pair(reuse, bare_session, n, rounds), cmp_name="bare kept-alive Session.post")

        use(far)
        sdk.KEEP_ALIVE = True
        runs = 3 if b.quick else 5
        with_reuse = statistics.median(timed_calls(lambda: client.echo(param), 20) for _ in range(runs))
        sdk.KEEP_ALIVE = False
        without = statistics.median(timed_calls(lambda: client.echo(param), 20) for _ in range(runs))
        rep.add("h", "20 echo calls, 20 ms round trip: mean, reuse", with_reuse, RTT_S, with_reuse / RTT_S,
                target=("within", 1.3), cmp_name="one round trip")
        rep.add("h", "20 echo calls, 20 ms round trip: mean, no reuse", without, RTT_S, without / RTT_S,
                cmp_name="one round trip")

        use(near)
        clients = [echo_request("job-%d" % i)[0] for i in range(8)]
        seconds = 1.5 if b.quick else 3.0
        rates = {True: [], False: []}
        for r in range(2):
            for keep in ((True, False) if r % 2 == 0 else (False, True)):
                sdk.KEEP_ALIVE = keep
                rates[keep].append(threads_rate(lambda i: clients[i].echo(param), 8, seconds))
        on, off = max(rates[True]), max(rates[False])
        rep.add("h", "8 threads for %gs, s per call (1 / calls per second), reuse" % seconds, 1.0 / on, 1.0 / off,
                (1.0 / on) / (1.0 / off), cmp_name="KEEP_ALIVE = False")
        rep.note("h", "8 threads: %.0f calls/s with reuse, %.0f without (best of 2 runs each)" % (on, off))
    finally:
        sdk.DOMAIN, sdk.DEBUG_DOMAIN, sdk.DEBUG_TEST_DOMAIN, sdk.KEEP_ALIVE = saved
        for server in (near, far):
            if server is not None:
                stop_server(server[0])


SECTIONS = [
    ("a", "signature and body encryption vs interpreted"),
    ("b", "1 MiB vs bare primitives"),
    ("c", "log writer"),
    ("d", "two threads"),
    ("e", "outbound response decoding"),
    ("f", "echo round trip"),
    ("g", "inbound path"),
    ("h", "kept-alive connections"),
]
RESULT_MARK = "@@bench-result@@ "


def run_section(key, quick):
    """Measure one section in this process; print its rows as one JSON line."""
    out = sys.stdout
    b = Bench(quick)
    rep = Report()
    title = dict(SECTIONS)[key]
    server = None
    try:
        env = install_env()
        benv = baseline.SpecEnv(SECRET_LINE)
        if key == "f":
            server = start_server()
        sys.stdout = Discard()
        {
            "a": lambda: section_a(b, rep, env, benv),
            "b": lambda: section_b(b, rep),
            "c": lambda: section_c(b, rep),
            "d": lambda: section_d(b, rep),
            "e": lambda: section_e(b, rep, benv),
            "f": lambda: section_f(b, rep, server[1]),
            "g": lambda: section_g(b, rep, benv),
            "h": lambda: section_h(b, rep),
        }[key]()
    except Exception as exc:
        rep.error(key, title, "%s: %s" % (type(exc).__name__, exc))
    finally:
        sys.stdout = out
        if server is not None:
            server[0].stdin.close()
            server[0].wait()
    out.write(RESULT_MARK + json.dumps({"rows": rep.rows, "notes": rep.notes}) + "\n")
    out.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer rounds, shorter batches")
    ap.add_argument("--only", default="", help="run only these sections, e.g. --only abc")
    ap.add_argument("--section", default="", help=argparse.SUPPRESS)
    opts = ap.parse_args()
    if opts.section:
        run_section(opts.section, opts.quick)
        return 0

    # Each section runs in a fresh interpreter: a crash of the module shows
    # as an error row instead of ending the report, and no section inherits
    # another's heap or thread state.
    out = sys.stdout
    rep = Report()
    try:
        import importlib.util
        spec = importlib.util.find_spec("vqspecapisdk")
        mod_file = spec.origin if spec else None
    except Exception:
        mod_file = None
    if not mod_file:
        out.write("cannot find vqspecapisdk; set PYTHONPATH to the built module\n")
        return 0
    built = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(mod_file)))
    out.write("vqspecapisdk bench: Python %s (%s)\nmodule %s (built %s)\n" % (
        platform.python_version(), sys.executable, mod_file, built))
    out.write("pycryptodome %s, %s rounds, load average %s%s\n" % (
        __import__("Crypto").__version__, Bench(opts.quick).rounds,
        " ".join("%.2f" % x for x in os.getloadavg()), ", quick" if opts.quick else ""))
    out.flush()

    t_start = perf()
    for key, title in SECTIONS:
        if opts.only and key not in opts.only:
            continue
        cmd = [sys.executable, os.path.abspath(__file__), "--section", key]
        if opts.quick:
            cmd.append("--quick")
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            stdout, stderr = proc.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            proc.kill()
            stdout, stderr = proc.communicate()
            rep.error(key, title, "timed out")
            continue
        result = None
        for line in stdout.decode("utf-8", "replace").splitlines():
            if line.startswith(RESULT_MARK):
                result = json.loads(line[len(RESULT_MARK):])
        if result is not None:
            rep.rows.extend(tuple(r) for r in result["rows"])
            rep.notes.extend(tuple(n) for n in result["notes"])
        if proc.returncode != 0 or result is None:
            why = ("killed by signal %d" % -proc.returncode) if proc.returncode < 0 else \
                ("exit status %d" % proc.returncode)
            said = [l for l in (stdout + b"\n" + stderr).decode("utf-8", "replace").splitlines()
                    if l.strip() and not l.startswith(RESULT_MARK)]
            rep.error(key, title, "%s%s" % (why, (": " + said[-1][:120]) if said else ""))
    out.write("\n")
    rep.print(out)
    out.write("elapsed %.1f s\n" % (perf() - t_start))
    out.flush()
    return 0


if __name__ == "__main__":
    try:
        main()
    except Exception as exc:  # a report, not a test
        sys.stdout = sys.__stdout__
        print("bench aborted: %s: %s" % (type(exc).__name__, exc))
    sys.exit(0)
