"""The operations bench/icount.py counts, one per run under callgrind.

    python bench/_icount_work.py --list              # the operations this build supports (JSON)
    python bench/_icount_work.py RESULT.json N OP    # count OP

Runs one operation in a fresh interpreter (so that no other operation's
heap shapes its count), as two segments of N and 2N calls, with an empty
loop of N and 2N calls first.
Before and after each segment it calls os.getppid(): the parent runs this
under `valgrind --tool=callgrind --dump-before=getppid`, so that every
segment's instructions are a part of their own, and an
operation's count is (2N part - N part) / N less the empty loop's, which
cancels everything that does not grow with the calls (start-up, imports,
warm-up, the marker itself).

Deterministic by construction: fixed bodies, time stamps and nonces for
the messages the bench makes; random seeded before every segment (the
answer's nonce); the garbage collector off while a segment runs (a collection
lands at an allocation count, not at a call); log lines go to /dev/null.
Only the module's public API is used, so an earlier commit's build runs
the same script.
"""
import gc
import io
import json
import logging
import os
import random
import sys
from itertools import repeat

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run as fixtures  # noqa: E402  (bench/run.py: keys, texts, the inbound call)

import vqspecapisdk as sdk  # noqa: E402

KIB = 1024
TS, NONCE = "1796748592", "1981369290"


def log_line():
    args = ("spec2vq", "begin", "/cgi-bin/chatdata/echo")

    def op():
        sdk.spec_log_info(*args)
    return op


def encrypt_sign():
    plain = fixtures.make_text(KIB)

    def op():
        w = sdk.encrypt_body(fixtures.AES_KEY_TEXT, plain)
        sdk.get_signature(fixtures.TOKEN, w, TS, NONCE, fixtures.SECRET_VER)
    return op


def decrypt():
    wire = fixtures.baseline.encrypt_body(fixtures.AES_KEY_TEXT, fixtures.make_text(KIB))

    def op():
        sdk.decrypt_body(fixtures.AES_KEY_TEXT, wire)
    return op


def inbound_call():
    """(headers, wire, answer) of a 1 KiB platform call, as bench/run.py section g makes it."""
    data = fixtures.make_text(KIB - 230, seed=5)
    random.seed(7)
    headers, wire, _ = fixtures.inbound_request(None, data, KIB)
    return headers, wire, fixtures.make_text(KIB, seed=9)


def inbound():
    headers, wire, answer = inbound_call()

    def op():
        fixtures.inbound_round_trip(headers, wire, answer)
    return op


def web():
    try:
        from vqspecapisdk_web import make_wsgi_app
    except ImportError:
        return None  # a commit before the web layer
    headers, wire, answer = inbound_call()
    app = make_wsgi_app(lambda req: answer)
    body = wire.encode("ascii")
    environ = {"REQUEST_METHOD": "POST", "PATH_INFO": "/", "CONTENT_LENGTH": str(len(body)),
               "CONTENT_TYPE": "application/json", "SERVER_NAME": "127.0.0.1", "SERVER_PORT": "8080",
               "SERVER_PROTOCOL": "HTTP/1.1", "wsgi.url_scheme": "http"}
    for name, value in headers:
        key = "HTTP_" + name.upper().replace("-", "_")
        if key not in ("HTTP_CONTENT_LENGTH", "HTTP_CONTENT_TYPE"):
            environ[key] = value
    seen = []

    def start_response(status, hdrs, exc_info=None):
        seen.append(status)

    def op():
        env = dict(environ)
        env["wsgi.input"] = io.BytesIO(body)
        del seen[:]
        app(env, start_response)
        if seen[0] != "200 OK":
            raise SystemExit("the web layer answered %s" % seen[0])
    return op


def logging_bridge():
    """(logger, bridge module) when the writers call a replaced spec_log, else None."""
    try:
        import vqspecapisdk_logging as bridge
    except ImportError:  # a PYTHONPATH build: the checkout's copy
        sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src", "logbridge"))
        import vqspecapisdk_logging as bridge
    logger = logging.getLogger("vqspecapisdk.icount")
    logger.propagate = False
    logger.setLevel(logging.INFO)
    handler = logging.StreamHandler(open(os.devnull, "w"))
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(req_id)s %(filename)s:%(lineno)d "
                                           "%(message)s"))
    logger.handlers = [handler]
    seen = []
    logger.addFilter(lambda record: seen.append(record) and False)
    with bridge.bridged(logger):
        sdk.spec_log_info("probe")
    logger.filters = []
    return (logger, bridge) if seen else None


def bridged_line():
    found = logging_bridge()
    if not found:
        return None  # a build whose writers do not call a replaced spec_log
    logger, bridge = found
    args = ("spec2vq", "begin", "/cgi-bin/chatdata/echo")

    def op():
        sdk.spec_log_info(*args)
    op.enter = lambda: bridge.install(logger)
    op.exit = bridge.uninstall
    return op


def bare_logger_line():
    found = logging_bridge()
    if not found:
        return None
    logger = found[0]
    text = "spec2vq begin /cgi-bin/chatdata/echo"
    extra = {"req_id": ""}  # the same format as the bridged line's

    def op():
        logger.info(text, extra=extra)
    return op


# name in the table -> maker of the operation (None when unsupported)
OPERATIONS = [
    ("encrypt+sign 1 KiB", encrypt_sign),
    ("decrypt 1 KiB", decrypt),
    ("inbound decode+answer 1 KiB", inbound),
    ("log line", log_line),
    ("web layer 1 KiB", web),
    ("log line, logging bridge", bridged_line),
    ("bare logger.info (reference)", bare_logger_line),
]


def noop():
    pass


def segment(fn, n):
    getattr(fn, "enter", noop)()
    random.seed(1)
    gc.collect()
    os.getppid()  # the marker: callgrind starts a new part here
    for _ in repeat(None, n):
        fn()
    sys.stdout.flush()  # each segment writes out its own lines
    os.getppid()  # and the segment's part ends here
    getattr(fn, "exit", noop)()


def main():
    real_stdout = sys.stdout
    sys.stdout = open(os.devnull, "w")  # the log lines
    fixtures.install_env()
    if sys.argv[1] == "--list":
        ops = [name for name, make in OPERATIONS if make() is not None]
        real_stdout.write(json.dumps({"operations": ops, "module": sdk.__file__,
                                      "python": sys.version.split()[0]}))
        return
    out_path, n, name = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    op = dict(OPERATIONS)[name]()
    getattr(op, "enter", noop)()  # warm-up: caches, specialised byte code, lazy imports
    for _ in range(20):
        op()
    getattr(op, "exit", noop)()
    gc.disable()
    for fn in (noop, op):
        segment(fn, n)
        segment(fn, 2 * n)
    with open(out_path, "w") as f:
        json.dump({"operation": name}, f)


if __name__ == "__main__":
    main()
