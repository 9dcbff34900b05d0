"""Two attacks on the example program, measured.

    PYTHONPATH=. python bench/web_hostile.py [--connections 40] [--hold 10] [--drips 4]

(a) Memory before authentication: uvicorn (one process) serving the ASGI app;
    --connections clients each send a POST without a single "vq-" header,
    Content-Length 4,000,000 and 3,900,000 bytes of body, and keep the
    connection open for --hold seconds.  Printed: the server's RSS before,
    at its highest while the connections are held, and after.
(b) Slow clients against the stand-alone server: the example's wsgiref server
    with --max-connections 4 --connection-timeout 2; --drips clients send one
    header line a second, never finishing; then a GET /healthz is timed (given
    up after 20 s).

Put another version of vqspecapisdk_web first on PYTHONPATH to compare.
"""
import argparse
import os
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from simulator import wire  # noqa: E402
from simulator.servers import free_port, server_argv, wait_listening  # noqa: E402

SECRET = wire.SecretRecord("1", "hostile-token-0123456789abcdef01", wire.make_key_text("aes:hostile"), "prog-h")


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def start(kind, extra=()):
    port = free_port()
    env = dict(os.environ, VQ_DEBUG_TOKEN=SECRET.debug_token(), VQ_ACCESS_TOKEN="hostile-access",
               PYTHONPATH=os.pathsep.join([p for p in [os.environ.get("PYTHONPATH", ""), ROOT] if p]))
    proc = subprocess.Popen(server_argv(kind, port, quiet=True, extra_args=extra), env=env, cwd=ROOT,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(port, lambda: proc.poll() is None, 60)
    return proc, port


def held_connections(args):
    proc, port = start("uvicorn")
    socks = []
    try:
        time.sleep(1)
        before = rss_mib(proc.pid)
        head = b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 4000000\r\n\r\n"
        chunk = b"x" * 65536
        for _ in range(args.connections):
            s = socket.create_connection(("127.0.0.1", port), 10)
            s.settimeout(10)
            try:
                s.sendall(head)
                sent = 0
                while sent < 3900000:
                    sent += s.send(chunk[:min(len(chunk), 3900000 - sent)])
            except OSError:
                pass  # refused and closed by the server: it kept nothing
            socks.append(s)
        peak = before
        end = time.time() + args.hold
        while time.time() < end:
            peak = max(peak, rss_mib(proc.pid))
            time.sleep(0.2)
        for s in socks:
            s.close()
        time.sleep(2)
        print("(a) uvicorn RSS with %d connections without vq- headers held %g s: before %.0f MiB, "
              "highest %.0f MiB, after %.0f MiB" % (args.connections, args.hold, before, peak, rss_mib(proc.pid)))
    finally:
        proc.terminate()
        proc.wait(20)


def drip(port, stop):
    try:
        s = socket.create_connection(("127.0.0.1", port), 30)
        s.sendall(b"POST / HTTP/1.1\r\n")
        n = 0
        while not stop.is_set():
            n += 1
            s.sendall(b"X-Drip-%d: x\r\n" % n)
            stop.wait(1.0)
    except OSError:
        pass


def slow_drip(args):
    proc, port = start("wsgiref", ["--max-connections", "4", "--connection-timeout", "2"])
    stop = threading.Event()
    threads = [threading.Thread(target=drip, args=(port, stop)) for _ in range(args.drips)]
    try:
        for t in threads:
            t.start()
        time.sleep(0.5)
        t0 = time.time()
        try:
            s = socket.create_connection(("127.0.0.1", port), 20)
            s.settimeout(20)
            s.sendall(b"GET /healthz HTTP/1.0\r\n\r\n")
            got = s.recv(100)
            took = "%.1f s (%s)" % (time.time() - t0, got.split(b"\r\n")[0].decode())
        except OSError as err:
            took = "no answer after %.1f s (%s)" % (time.time() - t0, type(err).__name__)
        print("(b) health check with %d drip-fed connections, --max-connections 4 --connection-timeout 2: %s"
              % (args.drips, took))
    finally:
        stop.set()
        proc.terminate()
        proc.wait(20)
        for t in threads:
            t.join()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--connections", type=int, default=40)
    ap.add_argument("--hold", type=float, default=10.0)
    ap.add_argument("--drips", type=int, default=4)
    ap.add_argument("--only", choices=("a", "b"))
    args = ap.parse_args()
    import vqspecapisdk_web
    print("vqspecapisdk_web from %s" % os.path.dirname(vqspecapisdk_web.__file__))
    if args.only != "b":
        held_connections(args)
    if args.only != "a":
        slow_drip(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
