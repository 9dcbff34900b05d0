"""Coverage-guided fuzz targets for the vqspecapisdk module (atheris).

    python fuzz/fuzz.py TARGET [libFuzzer options] [corpus dirs or input files]

TARGET is one of: inbound, outbound, decrypt, secret_line, debug_token.
Given files instead of directories, each file is run once (reproduction).

A target fails (an uncaught exception, and libFuzzer stops with a crash file)
when the module
  * raises an exception type that it does not document for the entry point,
    or SystemError or MemoryError;
  * succeeds or fails other than the reference model in fuzz_lib.py says,
    or returns other values than it says;
and libFuzzer itself reports crashes (signals), time-outs and memory blow-ups.
"""
import os
import sys
import time

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

with atheris.instrument_imports(include=["fuzz_lib", "simulator"]):
    import fuzz_lib as lib

import vqspecapisdk  # noqa: E402


class Quiet(object):
    """A stand-in for sys.stdout: the module's log lines are dropped."""

    def write(self, s):
        return len(s)

    def flush(self):
        pass


class Finding(AssertionError):
    pass


def install_record():
    """The secret record in force, set in-process: debug mode with a parsed
    record, no secret file and no debug-token round trip."""
    env = vqspecapisdk.SpecEnv()
    env.debug_secret_info.parse_from_string(lib.RECORD.line())
    env.is_debug_mode = True
    vqspecapisdk.spec_env = env


def run(call):
    try:
        return call(), None
    except Exception as exc:  # every exception is judged by the caller
        return None, exc


def judge(what, inputs, expected, result, exc, allowed):
    """Fails unless the outcome class is documented for the entry point and,
    where the reference model has a say, is the one it expects."""
    got = lib.classify(exc)
    if got is None or got not in allowed:
        raise Finding("%s: undocumented outcome %r (%s: %r) for %r" % (
            what, got, type(exc).__name__, exc, inputs)) from exc
    if expected is not None and got not in expected.kinds:
        raise Finding("%s: got %r (%s: %r), expected %r%s for %r" % (
            what, got, type(exc).__name__ if exc else "-", exc, expected,
            " [%s]" % expected.note if expected.note else "", inputs)) from exc
    return got


def same(a, b):
    return type(a) is type(b) and (a == b or repr(a) == repr(b))  # repr: NaN inside JSON


def compare(what, inputs, want, have):
    for k in want:
        if k not in have or not same(have[k], want[k]):
            raise Finding("%s: %s is %r, expected %r, for %r" % (what, k, have.get(k, "<missing>"), want[k], inputs))


def is_text(x):
    return type(x) is str


# ---------------------------------------------------------------------------
# Targets

INBOUND_ALLOWED = {"ok", "error:Invalid header", "error:Invalid signature",
                   "retry:ver not matched, retry notify:1", "retry:inqueue timeout:2",
                   "ValueError", "TypeError", "AttributeError", "RecursionError"}


def target_inbound(data):
    r = lib.Reader(data)
    headers, body, well_typed = lib.read_message(r, fold=True)
    t0 = time.time()
    obj, exc = run(lambda: vqspecapisdk.VQToSpecHTTPReqDecoder(headers, body))
    t1 = time.time()
    expected = lib.expect_inbound(headers, body, t0, t1) if well_typed else None
    got = judge("VQToSpecHTTPReqDecoder", (headers, body), expected, obj, exc, INBOUND_ALLOWED)
    if got == "ok" and expected is not None:
        have = dict((k, getattr(obj, "get_" + k)()) for k in expected.values)
        compare("VQToSpecHTTPReqDecoder", (headers, body), expected.values, have)


OUTBOUND_ALLOWED = {"ok", "error:Invalid header", "error:Invalid signature", "ValueError", "TypeError"}


def target_outbound(data):
    r = lib.Reader(data)
    status_code = lib.read_status(r)
    headers, body, well_typed = lib.read_message(r, fold=False)
    obj, exc = run(lambda: vqspecapisdk.SpecToVQHTTPRspDecoder(status_code, headers, body))
    expected = lib.expect_outbound(headers, body) if well_typed else None
    inputs = (status_code, headers, body)
    got = judge("SpecToVQHTTPRspDecoder", inputs, expected, obj, exc, OUTBOUND_ALLOWED)
    if got == "ok" and expected is not None:
        compare("SpecToVQHTTPRspDecoder", inputs, expected.values,
                {"status": obj.get_rsp_status(), "data": obj.get_data()})


def target_decrypt(data):
    r = lib.Reader(data)
    key_text, wire_text = lib.read_decrypt(r)
    out, exc = run(lambda: vqspecapisdk.decrypt_body(key_text, wire_text))
    expected = lib.expect_decrypt(key_text, wire_text)
    got = judge("decrypt_body", (key_text, wire_text), expected, out, exc, {"ok", "ValueError"})
    if got == "ok":
        compare("decrypt_body", (key_text, wire_text), expected.values, {"data": out})


FIELDS = ("ver", "token", "encoding_aes_key", "program_id")


def record_fields(info):
    out = {}
    for f in FIELDS:
        try:
            out[f] = getattr(info, f)
        except AttributeError:
            pass
    return out


def target_secret_line(data):
    r = lib.Reader(data)
    line, prefill = lib.read_secret_line(r)
    info = vqspecapisdk.SecretInfo()
    if prefill:
        info.parse_from_string(lib.RECORD.line())
    before = record_fields(info)
    _, exc = run(lambda: info.parse_from_string(line))
    expected = lib.expect_secret_line(line)
    got = judge("SecretInfo.parse_from_string", line, expected, None, exc,
                {"ok", "error:invalid secret_key format"})
    after = record_fields(info)
    if got == "ok":
        compare("SecretInfo.parse_from_string", line, expected.values, after)
    elif after != before:
        raise Finding("SecretInfo.parse_from_string: refused line %r changed the record %r -> %r"
                      % (line, before, after))


NO_SECRET_FILE = "/nonexistent/vq-fuzz/secret_key"


def target_debug_token(data):
    r = lib.Reader(data)
    token, access = lib.read_debug(r)
    env = vqspecapisdk.SpecEnv()
    _, exc = run(lambda: env.open_debug_mode(token, access))
    inputs = (token, access)
    allowed = {"ok", "error:invalid debug more param", "error:invalid secret_key format", "ValueError", "TypeError"}
    if is_text(token) and is_text(access):
        expected = lib.expect_debug_token(token, access)
    else:
        # Both arguments are declared as text: anything else is refused
        # before the call does anything.
        expected = lib.Outcome("TypeError")
    got = judge("SpecEnv.open_debug_mode", inputs, expected, None, exc, allowed)
    record = record_fields(env.debug_secret_info)
    if got == "TypeError":
        if env.get_is_debug_mode() or env.get_access_token() != "" or record:
            raise Finding("SpecEnv.open_debug_mode: refused argument types changed the state for %r" % (inputs,))
        return
    if not env.get_is_debug_mode() or env.debug_token != token or env.get_access_token() != access:
        raise Finding("SpecEnv.open_debug_mode: debug mode or tokens not set for %r" % (inputs,))
    if got == "ok":
        compare("SpecEnv.open_debug_mode", inputs, expected.values, record)
    elif record:
        raise Finding("SpecEnv.open_debug_mode: refused token filled the record %r for %r" % (record, inputs))


TARGETS = {
    "inbound": target_inbound,
    "outbound": target_outbound,
    "decrypt": target_decrypt,
    "secret_line": target_secret_line,
    "debug_token": target_debug_token,
}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.stderr.write("usage: fuzz.py {%s} [libFuzzer args]\n" % ",".join(sorted(TARGETS)))
        sys.exit(2)
    target = TARGETS[sys.argv[1]]
    vqspecapisdk.SECRET_KEY_FILE_PATH = NO_SECRET_FILE
    if os.path.exists(NO_SECRET_FILE):
        sys.exit("%s exists; the debug-token target needs it absent" % NO_SECRET_FILE)
    sys.stdout = Quiet()
    install_record()
    atheris.Setup([sys.argv[0]] + sys.argv[2:], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
