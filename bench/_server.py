"""Bench stand-in for the platform: answers every POST with a signed,
encrypted echo of the call body it received.

Run as a separate process so that its work does not share the client's
interpreter lock:  python bench/_server.py SECRET_LINE
It prints the port it listens on (127.0.0.1 only) and serves until its
standard input is closed.
"""
import os
import sys
import threading

try:
    from http.server import BaseHTTPRequestHandler, HTTPServer
    from socketserver import ThreadingMixIn
except ImportError:  # pragma: no cover
    raise

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import baseline  # noqa: E402


class _Server(ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


def make_handler(env):
    key = env.get_encoding_aes_key()

    class Handler(BaseHTTPRequestHandler):
        disable_nagle_algorithm = True

        def do_POST(self):
            n = int(self.headers.get("Content-Length") or 0)
            wire = self.rfile.read(n).decode("utf-8")
            plain = baseline.decrypt_body(key, wire)
            answer = baseline.encrypt_body(key, plain)
            body = answer.encode("utf-8")
            # Status line, headers and body in one write.
            out = ["HTTP/1.0 200 OK\r\n"]
            for name, value in baseline.signed_answer_headers(env, answer):
                out.append("%s: %s\r\n" % (name, value))
            out.append("\r\n")
            self.wfile.write("".join(out).encode("latin-1") + body)
            self.wfile.flush()
            self.close_connection = True

        def log_message(self, *args):
            pass

    return Handler


def main():
    env = baseline.SpecEnv(sys.argv[1])
    srv = _Server(("127.0.0.1", 0), make_handler(env))
    t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05})
    t.daemon = True
    t.start()
    sys.stdout.write("%d\n" % srv.server_address[1])
    sys.stdout.flush()
    sys.stdin.read()  # until the parent goes away
    srv.shutdown()


if __name__ == "__main__":
    main()
