"""The load test at a small size, so that it cannot rot: every answer right, on every server."""
import json
import os
import subprocess
import sys

from conftest import ROOT
from simulator.servers import KINDS, unavailable

CALLS = 120


def test_small_load_run_has_every_answer_right():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [ROOT, os.environ.get("PYTHONPATH", "")] if p)
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "web_load.py"), "--calls", str(CALLS),
                           "--concurrency", "8", "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, cwd=ROOT, timeout=300, universal_newlines=True)
    assert proc.returncode == 0, proc.stderr
    rows = json.loads(proc.stdout)
    assert [r["server"] for r in rows] == list(KINDS)
    for r in rows:
        if unavailable(r["server"]):
            assert "skipped" in r
            continue
        assert (r["ok"], r["lost"], r["mismatched"], r["wrongly_signed"]) == (CALLS, 0, 0, 0), r
        if r["server"] == "gunicorn":
            assert 0 < r["cpu"]["sdk_share"] < 1, r
