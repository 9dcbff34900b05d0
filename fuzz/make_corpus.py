"""Writes the seed corpus of the fuzz targets.

    python fuzz/make_corpus.py OUT_DIR

One folder per target under OUT_DIR.  The seeds are valid messages (and a few
near misses) made with the platform's own primitives in simulator/wire.py,
signed and encrypted under the fuzz record of fuzz_lib.py, with time stamps of
now: generate the corpus right before a run.  Each seed is read back through
the targets' input reader to check that it stands for the intended message.
"""
import hashlib
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import fuzz_lib as lib  # noqa: E402
from fuzz_lib import RECORD, Reader, Writer, wire  # noqa: E402


def inbound_message(plain, now, names="lower", ver=None, ts=None, token=None, key=None,
                    drop=(), extra=(), inqueue="86400000", ts_ms=True, sig_case=None):
    ver = RECORD.ver if ver is None else ver
    ts = str(int(now)) if ts is None else ts
    body = wire.encrypt(key or RECORD.encoding_aes_key, plain)
    nonce = str(int(hashlib.sha256(plain.encode("utf-8")).hexdigest()[:7], 16))
    sig = wire.sign(token or RECORD.token, body, ts, nonce, ver)
    if sig_case == "upper":
        sig = sig.upper()
    headers = [("vq-secret-ver", ver), ("vq-nonce", nonce), ("vq-timestamp", ts), ("vq-signature", sig),
               ("vq-req-id", "Ab3dEf7hIj1kLm9n")]
    if ts_ms:
        headers.append(("vq-timestamp-ms", str(int(now * 1000))))
    if inqueue is not None:
        headers.append(("vq-inqueue-timeout-ms", inqueue))
    headers = [h for h in headers if h[0] not in drop] + list(extra)
    if names == "upper":
        headers = [(n.upper(), v) for n, v in headers]
    return headers, body


def outbound_message(plain, now, status="0", drop=(), extra=(), token=None):
    ts, nonce = str(int(now)), "1804289383"
    body = wire.encrypt(RECORD.encoding_aes_key, plain)
    sig = wire.sign(token or RECORD.token, body, ts, nonce, RECORD.ver)
    headers = [("vq-secret-ver", RECORD.ver), ("vq-timestamp", ts), ("vq-nonce", nonce),
               ("vq-signature", sig), ("vq-status", status), ("content-type", "application/json")]
    return [h for h in headers if h[0] not in drop] + list(extra), body


CALL = {"corpid": "wwcorp0001", "agentid": 1000002, "data": json.dumps({"msg": "hello", "n": 1}),
        "call_type": 1, "is_async": True, "job_info": "job-42", "ability_id": "ability-7",
        "notify_id": "0f1e2d3c4b5a69788796a5b4c3d2e1f0"}
PLAINS = [
    json.dumps(CALL),
    "{}",
    json.dumps({"agentid": None, "is_async": False}),
    json.dumps({"data": "caf\u00e9 \u4e2d\u6587 \U0001f600", "extra": [1, 2, {"x": None}]}),
    json.dumps(dict(CALL, corpid="c" * 200)),
    "[1, 2, 3]",
    "\"text\"",
    "{\"agentid\": 1e400, \"call_type\": -0.0}",
    "{\"a\": NaN}",
]


def inbound_seeds(now):
    seeds = []
    for p in PLAINS:
        seeds.append(inbound_message(p, now))
    seeds += [
        inbound_message(PLAINS[0], now, names="upper"),
        inbound_message(PLAINS[1], now, drop=("vq-req-id", "vq-timestamp-ms", "vq-inqueue-timeout-ms"),
                        inqueue=None),
        inbound_message(PLAINS[0], now, ver="03"),
        inbound_message(PLAINS[0], now, token=lib.OTHER_TOKEN),
        inbound_message(PLAINS[0], now, sig_case="upper"),
        inbound_message(PLAINS[0], now, key=lib.OTHER_KEY),
        inbound_message(PLAINS[0], now - 3600, inqueue="5000"),
        inbound_message(PLAINS[0], now, ts="abc"),
        inbound_message(PLAINS[0], now, ts_ms=False, inqueue="0"),
        inbound_message(PLAINS[0], now, extra=[("vq-nonce", "1")]),
    ]
    for name in ("vq-secret-ver", "vq-nonce", "vq-timestamp", "vq-signature"):
        seeds.append(inbound_message(PLAINS[0], now, drop=(name,)))
    # An empty body with a signature over the empty text.
    ts = str(int(now))
    seeds.append(([("vq-secret-ver", RECORD.ver), ("vq-nonce", "1"), ("vq-timestamp", ts),
                   ("vq-signature", wire.sign(RECORD.token, "", ts, "1", RECORD.ver))], ""))
    out = []
    for headers, body in seeds:
        w = Writer()
        lib.write_message(w, headers, body)
        out.append((w.data(), (headers, body)))
    # Plaintexts that the reader encrypts, stamps and signs itself.
    for p in PLAINS:
        w = Writer()
        lib.write_message(w, [("vq-nonce", "42")], p, body_mode=lib.BODY_ENCRYPT,
                          fixups=lib.FIX_SIGN | lib.FIX_VER | lib.FIX_TIME)
        out.append((w.data(), None))
    return out


def outbound_seeds(now):
    seeds = [
        (200, [], "hello"),
        (200, [("vq-status", "1")], "hello"),
        (500, [(n.title(), v) for n, v in outbound_message(PLAINS[0], now)[0]], "plain"),
    ]
    for p in PLAINS:
        seeds.append((200,) + outbound_message(p, now))
    seeds += [
        (200,) + outbound_message(PLAINS[0], now, status="40001"),
        (500,) + outbound_message(PLAINS[1], now),
        (200,) + outbound_message(PLAINS[0], now, token=lib.OTHER_TOKEN),
        (200,) + outbound_message(PLAINS[0], now, drop=("vq-secret-ver",)),
        (200,) + outbound_message(PLAINS[0], now, drop=("vq-status",)),
        (200,) + outbound_message(PLAINS[0], now, extra=[("vq-status", "7")]),
    ]
    out = []
    for code, headers, body in seeds:
        w = Writer()
        lib.write_status(w, code)
        lib.write_message(w, headers, body)
        out.append((w.data(), (code, headers, body)))
    return out


def decrypt_seeds(now):
    texts = ["x", "a" * 31, "b" * 32, "c" * 33, "caf\u00e9", "\U0001f600" * 8, PLAINS[0]]
    out = []
    for t in texts:
        wired = wire.encrypt(RECORD.encoding_aes_key, t)
        for variant in (wired, "\n".join(wired[i:i + 16] for i in range(0, len(wired), 16))):
            w = Writer()
            lib.write_decrypt(w, variant)
            out.append((w.data(), (RECORD.encoding_aes_key, variant)))
    w = Writer()
    lib.write_decrypt(w, wire.encrypt(lib.OTHER_KEY, "other key"), key_mode=lib.KEY_OTHER)
    out.append((w.data(), (lib.OTHER_KEY, wire.encrypt(lib.OTHER_KEY, "other key"))))
    w = Writer()
    lib.write_decrypt(w, "")
    out.append((w.data(), (RECORD.encoding_aes_key, "")))
    return out


def secret_lines():
    line = RECORD.line()
    return [line, line + "\r\n", " \t" + line + " \n", line + ",extra", "3,tok,key",
            "3,,%s," % RECORD.encoding_aes_key, "3, tok,key,pid", "", ",,,", line + "\nsecond,line,x,y"]


def secret_line_seeds(now):
    out = []
    for i, line in enumerate(secret_lines()):
        w = Writer()
        lib.write_secret_line(w, line, prefill=i % 2)
        out.append((w.data(), (line, i % 2)))
    return out


def debug_token_seeds(now):
    import base64
    tokens = [RECORD.debug_token()]
    for line in secret_lines():
        tokens.append(base64.b64encode(line.encode("utf-8")).decode("ascii"))
    t = RECORD.debug_token()
    tokens += [t[:20] + "\n" + t[20:], t.rstrip("="), "not base64!"]
    out = []
    for tok in tokens:
        w = Writer()
        lib.write_debug(w, tok)
        out.append((w.data(), (tok, lib.ACCESS_TOKEN)))
    return out


READERS = {
    "inbound": lambda r: (lambda m: (m[0], m[1]))(lib.read_message(r, fold=True)),
    "outbound": lambda r: (lambda c, m: (c, m[0], m[1]))(lib.read_status(r), lib.read_message(r, fold=False)),
    "decrypt": lib.read_decrypt,
    "secret_line": lib.read_secret_line,
    "debug_token": lib.read_debug,
}
SEEDS = {
    "inbound": inbound_seeds,
    "outbound": outbound_seeds,
    "decrypt": decrypt_seeds,
    "secret_line": secret_line_seeds,
    "debug_token": debug_token_seeds,
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py OUT_DIR")
    root = sys.argv[1]
    now = time.time()
    for target, make in sorted(SEEDS.items()):
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        seeds = make(now)
        for data, meant in seeds:
            if meant is not None:
                got = READERS[target](Reader(data))
                if tuple(got) != tuple(meant):
                    sys.exit("seed for %s reads back as %r, not %r" % (target, got, meant))
            name = "seed-" + hashlib.sha1(data).hexdigest()
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print("%-12s %3d seeds -> %s" % (target, len(seeds), folder))


if __name__ == "__main__":
    main()
