"""Run the platform stand-in on 127.0.0.1 for a program under development.

    python -m simulator [--port N] [--seconds S] [--secret-file PATH]
                        [--keep-alive] [--idle-close S] [--close-after N] [--delay-ms MS]

It makes a fresh test CA and a secret record, prints how to point a program
at it (debug mode, or normal mode with --secret-file), and serves until
Ctrl-C, SIGTERM or until --seconds have passed (one hour by default).

    python -m simulator call URL [--kind KIND] [--count N] [--data TEXT]

acts as the platform against a program: it sends it N calls of KIND
(normal, stale, other_version, bad_signature, no_signature) made with the
secret in VQ_DEBUG_TOKEN (the debug token the simulator printed) or in
--secret-file, and prints each call's verdict and the problems the platform
would object to.  Exit status 1 when a call's answer has problems.
"""
import argparse
import base64
import os
import random
import signal
import string
import sys
from typing import Any, Dict, List, Optional

from .caller import KINDS, PlatformCaller
from .platform import PlatformSimulator
from .wire import SecretRecord

DEFAULT_SECONDS = 3600.0


def _random_text(rng: random.Random, n: int, alphabet: str = string.ascii_letters + string.digits) -> str:
    return "".join(rng.choice(alphabet) for _ in range(n))


def new_record(rng: Optional[random.Random] = None) -> SecretRecord:
    """A fresh secret record: version "1", random token, AES key and program id."""
    rng = rng or random.SystemRandom()
    key = bytes(bytearray(rng.randrange(256) for _ in range(32)))
    key_text = base64.b64encode(key).decode("ascii")[:-1]  # 43 characters, final "=" left off
    return SecretRecord("1", _random_text(rng, 32), key_text, "prog-" + _random_text(rng, 12))


def settings_text(sim: PlatformSimulator, debug_token: str, secret_file: Optional[str] = None) -> str:
    lines = [
        "export REQUESTS_CA_BUNDLE=%s" % sim.ca_path,
        "vqspecapisdk.DOMAIN = %r" % sim.base_url,
        "vqspecapisdk.DEBUG_DOMAIN = %r" % sim.base_url,
        "vqspecapisdk.spec_open_debug_mode(%r, %r)" % (debug_token, sim.access_token),
    ]
    if secret_file:
        lines.append("vqspecapisdk.SECRET_KEY_FILE_PATH = %r  # normal mode instead of debug mode"
                     % secret_file)
    return "\n".join(lines)


def write_secret_file(path: str, line: str) -> None:
    """Write the secret line to a new file that only its owner can read.

    The file is created here, never opened through a symbolic link or over
    an existing file, and is private from its first byte on.
    """
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(line + "\n")


def call_main(argv: List[str]) -> int:
    """python -m simulator call URL ...: the platform's calls into a program, checked."""
    parser = argparse.ArgumentParser(prog="python -m simulator call",
                                     description="Send the platform's calls to a program and check its answers.")
    parser.add_argument("url", help="where the program listens, e.g. http://127.0.0.1:8080/")
    parser.add_argument("--kind", choices=KINDS, default="normal", help="the kind of call (default: normal)")
    parser.add_argument("--count", type=int, default=1, help="how many calls (default: 1)")
    parser.add_argument("--data", default='{"text": "hello"}', help="the call's data text")
    parser.add_argument("--secret-file", metavar="PATH",
                        help="the secret line to sign with (default: the debug token in VQ_DEBUG_TOKEN)")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds for each call (default: 10)")
    args = parser.parse_args(argv)
    try:
        if args.secret_file:
            with open(args.secret_file) as f:
                record = SecretRecord.from_line(f.readline())
        elif os.environ.get("VQ_DEBUG_TOKEN"):
            record = SecretRecord.from_debug_token(os.environ["VQ_DEBUG_TOKEN"])
        else:
            parser.error("no secret: set VQ_DEBUG_TOKEN to the debug token the simulator printed, "
                         "or give --secret-file")
    except (OSError, ValueError) as err:
        parser.error("cannot read the secret: %s" % err)
    caller = PlatformCaller(record, args.url, timeout=args.timeout)
    failed = 0
    for i in range(args.count):
        try:
            result = caller.call(args.data, kind=args.kind)
        except OSError as err:
            print("%d %s -> no answer: %s" % (i + 1, args.kind, err))
            failed += 1
            continue
        print("%d %s -> HTTP %d %s%s" % (i + 1, args.kind, result.status, result.verdict,
                                          "" if result.vq_status is None else " vq-status %s" % result.vq_status))
        if result.verdict == "refused":
            print("  refused: %s" % result.body.strip()[:200])
        for problem in result.problems:
            print("  problem: %s" % problem)
        failed += bool(result.problems)
    sys.stdout.flush()
    return 1 if failed else 0


def _terminate(signum: int, frame: Any) -> None:
    raise SystemExit(0)


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["call"]:
        return call_main(argv[1:])
    parser = argparse.ArgumentParser(prog="python -m simulator", description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    parser.add_argument("--seconds", type=float, default=DEFAULT_SECONDS,
                        help="stop after this many seconds (default: %d)" % DEFAULT_SECONDS)
    parser.add_argument("--secret-file", metavar="PATH",
                        help="write the secret line there, for normal mode")
    parser.add_argument("--keep-alive", action="store_true",
                        help="speak HTTP/1.1 and keep connections open between requests")
    parser.add_argument("--idle-close", type=float, metavar="S",
                        help="with --keep-alive: close a connection idle for S seconds")
    parser.add_argument("--close-after", type=int, metavar="N",
                        help="with --keep-alive: close a connection after N answers")
    parser.add_argument("--delay-ms", type=float, default=0.0, metavar="MS",
                        help="one-way delay added to everything sent and received (round trip: twice it)")
    args = parser.parse_args(argv)

    rng = random.SystemRandom()
    record = new_record(rng)
    access_token = _random_text(rng, 24)

    def show(rec: Dict[str, Any]) -> None:
        print("%s %s%s -> %s" % (rec["method"], rec["path"], " [%s]" % rec["api"] if rec["relay"] else "",
                                 rec["verdict"] if rec["verdict"] else "0 ok"))
        sys.stdout.flush()

    sim = PlatformSimulator(record, access_token, port=args.port, lifetime=args.seconds, on_request=show,
                            keep_alive=args.keep_alive, idle_close=args.idle_close, close_after=args.close_after,
                            delay=args.delay_ms / 1000.0)
    sim.start()  # the CA goes into a temporary directory, removed on stop
    # SIGTERM stops it as Ctrl-C does: the key folder goes with it.
    signal.signal(signal.SIGTERM, _terminate)
    try:
        if args.secret_file:
            write_secret_file(args.secret_file, record.line())
        print("CA certificate: %s" % sim.ca_path)
        print("Port: %d" % sim.port)
        print("Base URL: %s" % sim.base_url)
        print("Debug token: %s" % record.debug_token())
        print("Access token: %s" % access_token)
        if args.secret_file:
            print("Secret file: %s" % args.secret_file)
        print("Settings:")
        print(settings_text(sim, record.debug_token(), args.secret_file))
        print("Serving for %g seconds; Ctrl-C stops." % args.seconds)
        sys.stdout.flush()
        sim.wait(args.seconds + 1)
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        sim.stop()
        print("stopped")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
