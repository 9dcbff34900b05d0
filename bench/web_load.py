"""Load test of the WSGI and ASGI apps under real servers.

    PYTHONPATH=. python bench/web_load.py [--calls 20000] [--concurrency 64]

The simulator's caller (simulator/caller.py) sends signed calls with 1 KiB
bodies -- one in twenty a call that waited too long in the platform's queue
(answered with a retry notification), one in twenty with a bad signature
(refused) -- over C concurrent connections, to the example program served
by (a) its own wsgiref server, (b) gunicorn with 2 workers and (c) uvicorn
with 2 workers (CPython 3.8+).  Every answer is checked as the platform
would: lost (no answer, or an unexpected HTTP status), mismatched (an answer
to another call) and wrongly signed (headers, signature or encryption wrong)
must all be zero.  Under gunicorn the workers also count the CPU time spent
in the SDK (decoder and answer constructor) against their own CPU time.

The calls are sent by --client-processes processes (threads in each), one
connection per call; latency is from connecting to the checked answer.
"""
import argparse
import glob
import json
import multiprocessing
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from simulator import wire  # noqa: E402
from simulator.caller import PlatformCaller  # noqa: E402
from simulator.servers import free_port, server_argv, unavailable, wait_listening  # noqa: E402

SECRET = wire.SecretRecord("1", "loadtest-token-0123456789abcdef", wire.make_key_text("aes:load"), "prog-load")
WORDS = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel", "india", "juliet"]


def kind_of(i):
    return "stale" if i % 20 == 7 else ("bad_signature" if i % 20 == 13 else "normal")


def text_of(i):
    """About 1 KiB of words, unique to call i."""
    rng = random.Random(i)
    words = ["call-%d" % i]
    while sum(len(w) + 1 for w in words) < 1000:
        words.append(rng.choice(WORDS))
    return " ".join(words)


def judge(i, res):
    """"ok", "lost", "mismatched" or "wrongly_signed" for the answer to call i."""
    kind = kind_of(i)
    if kind == "bad_signature":
        return "ok" if (res.status, res.body) == (400, "Invalid signature\n") else "lost"
    if res.status != 200:
        return "lost"
    if res.problems:
        return "wrongly_signed"
    if kind == "stale":
        return "ok" if (res.verdict, res.vq_status) == ("retry_notify", "2") else "mismatched"
    text = text_of(i)
    want = {"errcode": 0, "errmsg": "ok", "reply": "you said: " + text, "words": len(text.split())}
    return "ok" if (res.verdict, res.json) == ("answered", want) else "mismatched"


def client(args):
    """One client process: `threads` threads send the calls in `indexes`; returns counts and latencies."""
    url, indexes, threads, timeout = args
    caller = PlatformCaller(SECRET, url, timeout=timeout)
    counts = {"ok": 0, "lost": 0, "mismatched": 0, "wrongly_signed": 0}
    latencies = []
    lock = threading.Lock()
    todo = iter(indexes)

    def run():
        while True:
            with lock:
                i = next(todo, None)
            if i is None:
                return
            sent = caller.build(json.dumps({"text": text_of(i)}), kind=kind_of(i))
            t0 = time.perf_counter()
            try:
                verdict = judge(i, caller.send(sent))
            except Exception:
                verdict = "lost"
            took = time.perf_counter() - t0
            with lock:
                counts[verdict] += 1
                latencies.append(took)

    pool = [threading.Thread(target=run) for _ in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return counts, latencies


def start(kind, workers, stats_path):
    env = dict(os.environ)
    env.update({"VQ_DEBUG_TOKEN": SECRET.debug_token(), "VQ_ACCESS_TOKEN": "load-access",
                "VQ_BENCH_STATS": stats_path, "PYTHONUNBUFFERED": "1"})
    env["PYTHONPATH"] = os.pathsep.join(p for p in [ROOT, env.get("PYTHONPATH", "")] if p)
    env.pop("VQ_REPLAY", None)
    port = free_port()
    target = "_web_app:app" if kind == "gunicorn" else None
    argv = server_argv(kind, port, workers, target=target, app_dir=HERE if target else os.path.join(ROOT, "examples"),
                       quiet=True)
    # The servers' log lines would compete with the caller for the cores: discarded.
    proc = subprocess.Popen(argv, env=env, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            universal_newlines=True)
    try:
        wait_listening(port, lambda: proc.poll() is None, 60)
    except RuntimeError:
        proc.kill()
        raise
    return proc, "http://127.0.0.1:%d/" % port


def cpu_share(stats_path):
    """SDK CPU per call, server CPU per call (microseconds) and the SDK's share, from the workers' files."""
    files = glob.glob(stats_path + ".*")
    if not files:
        return None
    sdk_cpu = calls = proc_cpu = 0.0
    for name in files:
        with open(name) as f:
            s = json.load(f)
        sdk_cpu += s["sdk_cpu"]
        calls += s["calls"]
        proc_cpu += s["cpu_at_exit"] - s["cpu_at_first_call"]
    return {"sdk_us_per_call": 1e6 * sdk_cpu / calls, "server_us_per_call": 1e6 * proc_cpu / calls,
            "sdk_share": sdk_cpu / proc_cpu if proc_cpu else 0.0}


def run_one(kind, args):
    stats_dir = tempfile.mkdtemp(prefix="vq-load-")
    stats_path = os.path.join(stats_dir, "stats")
    proc, url = start(kind, args.workers, stats_path)
    procs = max(1, min(args.client_processes, args.concurrency))
    shares = [list(range(args.calls))[p::procs] for p in range(procs)]
    threads = [args.concurrency // procs + (1 if p < args.concurrency % procs else 0) for p in range(procs)]
    t0 = time.perf_counter()
    try:
        with multiprocessing.Pool(procs) as pool:
            parts = pool.map(client, [(url, shares[p], threads[p], args.timeout) for p in range(procs)])
        elapsed = time.perf_counter() - t0
    finally:
        proc.terminate()
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    counts = {"ok": 0, "lost": 0, "mismatched": 0, "wrongly_signed": 0}
    latencies = []
    for c, lat in parts:
        for k in counts:
            counts[k] += c[k]
        latencies.extend(lat)
    latencies.sort()
    row = dict(server=kind, calls=args.calls, concurrency=args.concurrency, seconds=elapsed,
               calls_per_s=args.calls / elapsed,
               p50_ms=1000 * latencies[len(latencies) // 2],
               p99_ms=1000 * latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))],
               cpu=cpu_share(stats_path) if kind == "gunicorn" else None, **counts)
    for name in glob.glob(stats_path + ".*"):
        os.unlink(name)
    os.rmdir(stats_dir)
    return row


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=20000)
    ap.add_argument("--concurrency", type=int, default=64)
    ap.add_argument("--workers", type=int, default=2, help="gunicorn and uvicorn worker processes")
    ap.add_argument("--client-processes", type=int, default=2)
    ap.add_argument("--timeout", type=float, default=60.0, help="caller's socket time-out, seconds")
    ap.add_argument("--servers", default="wsgiref,gunicorn,uvicorn")
    ap.add_argument("--json", action="store_true", help="print the rows as JSON instead of a table")
    args = ap.parse_args(argv)

    rows = []
    for kind in args.servers.split(","):
        reason = unavailable(kind)
        if reason:
            rows.append({"server": kind, "skipped": reason})
            continue
        rows.append(run_one(kind, args))
    if args.json:
        print(json.dumps(rows))
        return 0
    print("CPython %s, %d calls, %d concurrent connections, %d client processes, %d cores"
          % (sys.version.split()[0], args.calls, args.concurrency, args.client_processes, os.cpu_count() or 0))
    print("%-9s %9s %8s %8s %5s %10s %14s" % ("server", "calls/s", "p50 ms", "p99 ms", "lost", "mismatched",
                                               "wrongly signed"))
    for r in rows:
        if "skipped" in r:
            print("%-9s skipped: %s" % (r["server"], r["skipped"]))
            continue
        print("%-9s %9.0f %8.1f %8.1f %5d %10d %14d" % (r["server"], r["calls_per_s"], r["p50_ms"], r["p99_ms"],
                                                      r["lost"], r["mismatched"], r["wrongly_signed"]))
    for r in rows:
        if r.get("cpu"):
            c = r["cpu"]
            print("%s: SDK (decode + answer) %.0f us of %.0f us server CPU per call: %.0f%%"
                  % (r["server"], c["sdk_us_per_call"], c["server_us_per_call"], 100 * c["sdk_share"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
