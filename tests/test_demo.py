"""The project demo runs from start to finish and every step passes."""
import os
import subprocess
import sys

from conftest import ROOT

DEMO = os.path.join(ROOT, "examples", "demo.py")

STEPS = [
    "outbound: echo through the debug relay",
    "outbound: sync_msg through the debug relay",
    "inbound: a platform call answered normally",
    "inbound: a call made with another secret version",
    "inbound: a call that waited too long in the queue",
    "inbound: the program's work fails",
    "inbound: a forged call (bad signature)",
    "inbound: an asynchronous call, reported back later",
]
# Where uvicorn and the asyncio client are installed.
ASGI_STEP = "inbound under uvicorn: an asynchronous call, reported from the event loop"


def asgi_available():
    sys.path.insert(0, os.path.dirname(DEMO))
    try:
        from demo import asgi_available as available
    finally:
        sys.path.remove(os.path.dirname(DEMO))
    return available()


def test_demo_passes_every_step():
    env = dict(os.environ)
    env["PYTHONIOENCODING"] = "utf-8"
    proc = subprocess.run([sys.executable, DEMO], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, cwd=ROOT, timeout=90, universal_newlines=True)
    out = proc.stdout
    assert proc.returncode == 0, out + proc.stderr
    lines = out.splitlines()
    steps = STEPS + ([ASGI_STEP] if asgi_available() else [])
    for i, title in enumerate(steps, 1):
        assert "PASS  [%d] %s" % (i, title) in lines
    assert "FAIL" not in out
    assert lines[-1] == "%d of %d steps passed -- all good" % (len(steps), len(steps))
    # Everything it started was stopped.
    assert "provider program stopped (exit status 0)" in lines
    assert "platform simulator stopped" in lines
    # The access token never appears in the transcript.
    assert "access_token=***" in out
    assert "access_token=demo-" not in out
    # The forged call's refusal line is shown, with the start of the expected signature only.
    assert [l for l in lines if "Invalid signature, real_sign: " in l and l.endswith("...")]
