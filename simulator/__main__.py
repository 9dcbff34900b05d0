"""Run the platform stand-in on 127.0.0.1 for a program under development.

    python -m simulator [--port N] [--seconds S] [--secret-file PATH]
                        [--keep-alive] [--idle-close S] [--close-after N] [--delay-ms MS]

It makes a fresh test CA and a secret record, prints how to point a program
at it (debug mode, or normal mode with --secret-file), and serves until
Ctrl-C or until --seconds have passed (one hour by default).
"""
import argparse
import base64
import os
import random
import string
import sys
from typing import Any, Dict, List, Optional

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


def main(argv: Optional[List[str]] = None) -> int:
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
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()
        print("stopped")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
