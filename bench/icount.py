"""Instructions per operation of the hot paths, counted under callgrind.

    PYTHONPATH=build/dev-3.11 python bench/icount.py                  # counts, beside the baseline
    PYTHONPATH=build/dev-3.11 python bench/icount.py --against 07724df
    python bench/icount.py --check                                    # CI: fails on growth over 10%
    python bench/icount.py --update-baseline --reason "why it changed"

Timings on a shared machine swing by 1.5-2x from run to run; the number of
instructions an operation executes does not.  bench/_icount_work.py runs
each operation in an interpreter of its own (no other operation's heap
shapes its count), in segments of N and 2N calls, under
`valgrind --tool=callgrind --dump-before=getppid` (one part per segment);
an operation's count is the difference of its two segments divided by N,
less the same difference of an empty loop, so start-up, imports and warm-up
cancel out.  Counts are of the module importable by this interpreter (an
installed build, or PYTHONPATH=build/dev-X.Y), with PYTHONHASHSEED=0, the
garbage collector off inside a segment and the log lines sent to /dev/null;
two runs agree to a few instructions per operation.

--against COMMIT builds that commit in a side environment in the same run
(git archive into .venv/icount/<sha>-<python>/, compiled by its own setup.py
with this interpreter in a venv of its own, kept for the next run) and
prints its counts beside today's.  Operations that commit lacks show "-".

The committed baseline (bench/icount_baseline.json) holds the counts per
interpreter version (major.minor) with the reason of their last change.
--check exits 1 when an operation grew more than --tolerance (10%) over it.
A deliberate change records new counts in the same commit:
--update-baseline --reason TEXT (for this interpreter's version only).
"""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from multiprocessing.pool import ThreadPool

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WORKER = os.path.join(HERE, "_icount_work.py")
BASELINE = os.path.join(HERE, "icount_baseline.json")
SIDE = os.path.join(ROOT, ".venv", "icount")
TOLERANCE = 0.10
PY = "%d.%d" % sys.version_info[:2]


def valgrind_version():
    try:
        return subprocess.check_output(["valgrind", "--version"], universal_newlines=True).strip()
    except OSError:
        raise SystemExit("valgrind is not installed (apt-get install valgrind)")


def count(python, n, jobs, pythonpath=None):
    """{operation: instructions per call} of the module `python` imports, and where it is."""
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONMALLOC", None)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(pythonpath)
    info = json.loads(run([python, WORKER, "--list"], env=env))
    with ThreadPool(jobs) as pool:  # each operation is a process of its own
        found = pool.map(lambda name: count_one(python, n, name, env), info["operations"])
    return dict(zip(info["operations"], found)), info


def count_one(python, n, name, env):
    tmp = tempfile.mkdtemp(prefix="icount-")
    try:
        result, out = os.path.join(tmp, "result.json"), os.path.join(tmp, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--dump-before=getppid",
               "--combine-dumps=yes", "--dump-line=no", python, WORKER, result, str(n), name]
        proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        if proc.returncode != 0 or not os.path.exists(result):
            sys.stderr.write(proc.stdout[-4000:])
            raise SystemExit("the counting run failed (%s)" % " ".join(cmd))
        with open(out) as f:
            totals = [int(m.group(1)) for m in re.finditer(r"^totals: (\d+)", f.read(), re.M)]
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    # parts: start-up, the four segments (N and 2N calls of the empty loop, then of the
    # operation) with the preparation of the next between them, then the exit
    if len(totals) != 9:
        raise SystemExit("expected 9 parts, callgrind dumped %d (does something else call getppid?)"
                         % len(totals))
    seg = totals[1:-1:2]
    return int(round((seg[3] - seg[2] - (seg[1] - seg[0])) / float(n)))


# ---- the earlier commit, built beside ------------------------------------------------------

def run(cmd, **kw):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, **kw)
    if proc.returncode != 0:
        sys.stderr.write((proc.stdout + proc.stderr)[-6000:])
        raise SystemExit("failed: %s" % " ".join(cmd))
    return proc.stdout


def side_python():
    """A venv of this interpreter's base with the build and run requirements; made once."""
    ver = platform.python_version()
    venv = os.path.join(SIDE, "venv-" + ver)
    py = os.path.join(venv, "bin", "python")
    if not os.path.exists(os.path.join(venv, ".ready")):
        base = getattr(sys, "_base_executable", None) or os.path.join(
            sys.base_prefix, "bin", "python%d.%d" % sys.version_info[:2])
        shutil.rmtree(venv, ignore_errors=True)
        print("icount: making %s" % venv, flush=True)
        run([base, "-m", "venv", venv])
        pip = [py, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
        # a pip that picks the versions this interpreter supports (.ci/lib.sh's new_venv)
        run(pip + ["-U", "pip<22" if sys.version_info < (3, 7) else "pip"])
        run(pip + ["pybind11>=2.9", "setuptools>=40.8", "wheel", "requests", "pycryptodome"])
        open(os.path.join(venv, ".ready"), "w").close()
    return py


def build_commit(commit):
    """PYTHONPATH entries of `commit`'s module built with this interpreter (cached per commit)."""
    sha = run(["git", "-C", ROOT, "rev-parse", "--verify", commit + "^{commit}"]).strip()
    py = side_python()
    where = os.path.join(SIDE, "%s-%s" % (sha[:12], platform.python_version()))
    lib, src = os.path.join(where, "lib"), os.path.join(where, "src")
    paths = [lib] + [p for p in [os.path.join(src, "src", "web")] if os.path.isdir(p)]
    if os.path.exists(os.path.join(where, ".built")):
        return sha, py, paths
    shutil.rmtree(where, ignore_errors=True)
    os.makedirs(src)
    print("icount: building %s in %s" % (sha[:12], where), flush=True)
    archive = subprocess.Popen(["git", "-C", ROOT, "archive", sha], stdout=subprocess.PIPE)
    run(["tar", "-x", "-C", src], stdin=archive.stdout)
    archive.wait()
    env = dict(os.environ, VQSDK_JOBS=os.environ.get("VQSDK_JOBS", "1"))
    env.pop("VQSDK_SANITIZE", None)
    run([py, "setup.py", "-q", "build_ext", "-b", lib, "-t", os.path.join(where, "tmp")], cwd=src, env=env)
    paths = [lib] + [p for p in [os.path.join(src, "src", "web")] if os.path.isdir(p)]
    open(os.path.join(where, ".built"), "w").close()
    return sha, py, paths


# ---- baseline and report ---------------------------------------------------------------------

def load_baseline():
    if not os.path.exists(BASELINE):
        return {}
    with open(BASELINE) as f:
        return json.load(f)


def save_baseline(counts, reason, info):
    data = load_baseline()
    data[PY] = {
        "counts": counts,
        "reason": reason,
        "recorded": datetime.date.today().isoformat(),
        "python": info["python"],
        "valgrind": valgrind_version(),
    }
    with open(BASELINE, "w") as f:
        json.dump(data, f, indent=2, sort_keys=True)
        f.write("\n")


def fmt(n):
    return "-" if n is None else "{:,}".format(n)


def change(new, old):
    if new is None or not old:
        return ""
    return "%+.1f%%" % (100.0 * (new - old) / old)


def table(columns, rows):
    """columns: [(title, {op: count})]; rows: operation names."""
    head = ["operation"] + [t for t, _ in columns] + (["change"] if len(columns) > 1 else [])
    body = []
    for op in rows:
        vals = [c.get(op) for _, c in columns]
        body.append([op] + [fmt(v) for v in vals] + ([change(vals[0], vals[1])] if len(columns) > 1 else []))
    widths = [max(len(r[i]) for r in [head] + body) for i in range(len(head))]
    lines = ["  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
             for r in [head] + body]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--n", type=int, default=200, help="calls in the shorter segment (default 200)")
    ap.add_argument("--jobs", type=int, default=2, help="counting runs at once (default 2)")
    ap.add_argument("--against", metavar="COMMIT", help="build COMMIT beside and print its counts too")
    ap.add_argument("--check", action="store_true", help="exit 1 when an operation grew over the baseline")
    ap.add_argument("--tolerance", type=float, default=TOLERANCE, help="allowed growth (default 0.10)")
    ap.add_argument("--update-baseline", action="store_true", help="record today's counts as the baseline")
    ap.add_argument("--reason", help="why the baseline changes (with --update-baseline)")
    args = ap.parse_args()
    if args.update_baseline and not args.reason:
        ap.error("--update-baseline needs --reason")

    print("icount: %s, CPython %s, %d and %d calls per segment"
          % (valgrind_version(), platform.python_version(), args.n, 2 * args.n), flush=True)
    today, info = count(sys.executable, args.n, args.jobs)
    print("icount: module %s" % info["module"])
    names = info["operations"]
    columns = [("today", today)]
    if args.against:
        sha, py, paths = build_commit(args.against)
        then, then_info = count(py, args.n, args.jobs, paths)
        if not then_info["module"].startswith(SIDE):
            raise SystemExit("the side run imported %s, not the build of %s" % (then_info["module"], sha))
        columns.append((sha[:7], then))
    base = load_baseline().get(PY)
    if base and not args.update_baseline:
        columns.append(("baseline", base["counts"]))
    print()
    print("instructions per operation (callgrind)")
    print(table(columns, names))
    if base:
        print("baseline %s: %s (recorded %s, CPython %s)"
              % (PY, base["reason"], base["recorded"], base["python"]))

    if args.update_baseline:
        save_baseline(today, args.reason, info)
        print("icount: baseline for %s written to %s" % (PY, os.path.relpath(BASELINE)))
        return 0
    if not args.check:
        return 0
    if not base:
        print("icount: no baseline for CPython %s; record one with --update-baseline --reason TEXT" % PY)
        return 1
    status = 0
    for op in names:
        old, new = base["counts"].get(op), today[op]
        if old is None:
            print("icount: %s has no baseline count: record one with --update-baseline" % op)
            status = 1
        elif new > old * (1 + args.tolerance):
            print("icount: FAIL %s grew %s over the baseline (%s -> %s instructions); if deliberate, "
                  "record it: python bench/icount.py --update-baseline --reason TEXT"
                  % (op, change(new, old), fmt(old), fmt(new)))
            status = 1
        elif new < old * (1 - args.tolerance):
            print("icount: note: %s is %s below the baseline; record the gain with --update-baseline"
                  % (op, change(new, old)))
    if status == 0:
        print("icount: every operation within %+.0f%% of the baseline" % (100 * args.tolerance))
    return status


if __name__ == "__main__":
    sys.exit(main())
