"""Runs the README's code as written against the simulator.

- Debug mode is set up as "Debug mode against the simulator" says (the
  simulator's CA, DEBUG_DOMAIN, spec_open_debug_mode), then the README's first
  Python block (calling the platform) runs unchanged.
- The answering block (the one defining handle()) runs unchanged, and handle()
  then answers real signed calls built by the simulator's caller: a normal
  call, a call under another secret version, one too long in the queue
  (both answered with a retry notice) and a forged one (refused, HTTP 400);
  the platform side checks every answer's signature and encryption.

    python .ci/readme.py          (from the checkout, the module installed)
Exits 0 when every block ran and every answer was what the platform expects.
"""
import hashlib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from simulator import wire  # noqa: E402
from simulator.caller import CallResult, PlatformCaller  # noqa: E402
from simulator.platform import PlatformSimulator  # noqa: E402


def python_blocks():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        return re.findall(r"```python\n(.*?)```", f.read(), re.S)


def main():
    token = hashlib.sha256(b"readme signing token").hexdigest()[:32]
    secret = wire.SecretRecord("1", token, wire.make_key_text("readme aes key"), "readme-program")
    access = "readme-" + hashlib.sha256(b"readme access token").hexdigest()[:20]
    sim = PlatformSimulator(secret, access, lifetime=120).start()
    failures = 0
    try:
        os.environ["REQUESTS_CA_BUNDLE"] = sim.ca_path
        import vqspecapisdk
        vqspecapisdk.DEBUG_DOMAIN = sim.base_url
        vqspecapisdk.spec_open_debug_mode(secret.debug_token(), access)

        blocks = python_blocks()
        print("--- README block 1 (calling the platform), as written:")
        exec(compile(blocks[0], "README.md block 1", "exec"), {})

        answering = [b for b in blocks if "def handle(" in b][0]
        scope = {}
        exec(compile(answering, "README.md answering block", "exec"), scope)
        caller = PlatformCaller(secret, "http://127.0.0.1:1/")
        for kind, data, want in [("normal", '{"question": "hello"}', "answered"),
                                 ("other_version", "", "retry_notify"),
                                 ("stale", "", "retry_notify"),
                                 ("bad_signature", "", "refused")]:
            sent = caller.build(data, kind=kind)
            status, headers, body = scope["handle"](sent.headers, sent.body)
            pairs = list(headers.items()) if hasattr(headers, "items") else list(headers)
            result = caller.check(CallResult(sent, status, "", pairs, body))
            ok = result.verdict == want and not result.problems
            failures += not ok
            print("--- README handle(), %s call: HTTP %s, %s%s" % (
                kind, status, result.verdict, "" if ok else " (expected %s) %s" % (want, result.problems)))
            if result.text:
                print("    answer: %s" % result.text)
    finally:
        sim.stop()
    print("README code: %s" % ("all ran as written" if not failures else "%d answers wrong" % failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
