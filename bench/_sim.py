"""The platform simulator over HTTPS with keep-alive, in its own process, for
the connection benchmarks:  python bench/_sim.py SECRET_LINE ACCESS_TOKEN DELAY_S
It prints its port and the path of its test CA, one a line, and serves until
its standard input is closed. DELAY_S is the one-way delay it adds (0: none).
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from simulator.platform import PlatformSimulator  # noqa: E402
from simulator.wire import SecretRecord  # noqa: E402


def main():
    record = SecretRecord.from_line(sys.argv[1])
    sim = PlatformSimulator(record, sys.argv[2], keep_alive=True, delay=float(sys.argv[3]), lifetime=0)
    with sim:
        sys.stdout.write("%d\n%s\n" % (sim.port, sim.ca_path))
        sys.stdout.flush()
        sys.stdin.read()  # until the parent goes away


if __name__ == "__main__":
    main()
