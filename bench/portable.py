"""The portable wheel's module against the system-linked build, side by side.

    python bench/portable.py --portable .venv/portable/3.11/venv/bin/python \\
                             --system .venv/3.11.7/bin/python [--ops 200] [--rounds 7]

Each interpreter is a venv with one build of the module installed (the same
CPython version).  For each operation --
  encrypt+sign    encrypt_body of a 1 KiB text, then get_signature over it
  decrypt         decrypt_body of that cipher text
  inbound         VQToSpecHTTPReqDecoder of a signed platform call (1 KiB of
                  data) + VQToSpecHTTPRspConstructor's header and encrypted answer
-- it prints the instructions per operation under callgrind (a run of --ops
operations minus a run of none, so start-up and set-up cancel out; one
operation of each kind runs first, the collector is off while counting and
the hash seed is fixed, so one-time set-up, a collection or a different dict
layout does not land in one run only) of both
builds and their ratio (target: the portable build at most 10% above the
system-linked one; below is better, e.g. a newer OpenSSL line), then the time per operation of
both (rounds alternate between the builds; medians), and the import-time
self-check's instruction count (the system-linked build keeps its symbols).
A report, not a test: the exit status is 0 unless a child fails.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = r"""
import gc, hashlib, os, sys, time
sys.path.insert(0, %(root)r)
from simulator import wire
from simulator.caller import PlatformCaller
op, n = sys.argv[1], int(sys.argv[2])
token = hashlib.sha256(b"bench portable token").hexdigest()[:32]
secret = wire.SecretRecord("1", token, wire.make_key_text("bench portable key"), "bench-program")
import vqspecapisdk as m
out = sys.stdout
sys.stdout = open(os.devnull, "w")          # the decoder's log lines
m.spec_open_debug_mode(secret.debug_token(), "bench-access")
key = secret.encoding_aes_key
text = "x" * 1024
cipher = m.encrypt_body(key, text)
sent = PlatformCaller(secret, "http://127.0.0.1:1/").build("y" * 1024)
headers, body = sent.headers, sent.body

def encrypt_sign():
    c = m.encrypt_body(key, text)
    m.get_signature(token, c, 1700000000, "12345", "1")

def decrypt():
    m.decrypt_body(key, cipher)

def inbound():
    call = m.VQToSpecHTTPReqDecoder(headers, body)
    rsp = m.VQToSpecHTTPRspConstructor(call.get_data())
    rsp.get_normal_header()
    rsp.get_encoded_body()

ops = {"encrypt+sign": encrypt_sign, "decrypt": decrypt, "inbound": inbound}
fn = ops[op]
# One of each kind first: libcrypto's and the module's first-use set-up
# (algorithm fetch, keyed contexts, caches) is not a per-operation cost.
for warm in ops.values():
    warm()
# The collector would run at allocation counts that differ between the runs
# of --ops and of none: it stays off while counting.
gc.collect()
gc.disable()
t0 = time.perf_counter()
for _ in range(n):
    fn()
dt = time.perf_counter() - t0
out.write("%%.9f\n" %% (dt / max(n, 1)))
"""

OPS = ["encrypt+sign", "decrypt", "inbound"]


def child(python, op, n, callgrind=None, toggle=None):
    argv = [python, "-c", CHILD % {"root": ROOT}, op, str(n)]
    if callgrind:
        extra = ["--toggle-collect=%s" % toggle] if toggle else []
        argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + callgrind] + extra + argv
    # A fixed hash seed: dict and set layouts (and so their instruction counts)
    # are the same in the run of --ops and in the run of none.
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if proc.returncode != 0:
        sys.exit("%s %s failed:\n%s" % (python, op, proc.stderr[-2000:]))
    return float(proc.stdout.split()[-1])


def instructions(python, op, n, toggle=None):
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "cg.out")
        child(python, op, n, out, toggle)
        with open(out) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(line.split()[1])
    raise RuntimeError("no instruction total from callgrind")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--portable", required=True, help="python of a venv with the portable wheel")
    ap.add_argument("--system", required=True, help="python of a venv with the system-linked build")
    ap.add_argument("--ops", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--timing-ops", type=int, default=2000)
    args = ap.parse_args()
    builds = [("portable", args.portable), ("system", args.system)]
    for name, py in builds:
        v = subprocess.run([py, "-c", "import sys, ssl, vqspecapisdk as m; print(sys.version.split()[0], m.__file__)"],
                           stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()
        print("%-9s %s" % (name, v))

    print("\ninstructions per operation under callgrind (%d operations minus none)" % args.ops)
    print("%-14s %14s %14s %9s" % ("operation", "portable", "system", "ratio"))
    for op in OPS:
        per = {}
        for name, py in builds:
            per[name] = (instructions(py, op, args.ops) - instructions(py, op, 0)) / args.ops
        ratio = per["portable"] / per["system"]
        print("%-14s %14.0f %14.0f %9.3f  %s" % (op, per["portable"], per["system"], ratio,
                                                   "PASS (not over +10%)" if ratio <= 1.10 else "MISS (over +10%)"))

    print("\ntime per operation, %d rounds alternating (median; %d operations a round)" % (args.rounds, args.timing_ops))
    print("%-14s %14s %14s %9s" % ("operation", "portable us", "system us", "ratio"))
    for op in OPS:
        times = {"portable": [], "system": []}
        for r in range(args.rounds):
            order = builds if r % 2 == 0 else builds[::-1]
            for name, py in order:
                times[name].append(child(py, op, args.timing_ops))
        p, s = statistics.median(times["portable"]), statistics.median(times["system"])
        print("%-14s %14.2f %14.2f %9.3f" % (op, p * 1e6, s * 1e6, p / s))

    sc = instructions(args.system, "decrypt", 0, toggle="vq::self_check*")
    print("\nimport-time self-check (system-linked build, symbols kept): %d instructions" % sc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
