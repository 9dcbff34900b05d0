"""Cost of a line through vqspecapisdk_logging against a bare logger.info.

    PYTHONPATH=build/dev-3.11:src/logbridge python bench/logging_bridge.py [--quick]

Both sides log to the same logger and handlers, side by side in one run
(rounds alternate, the order flips each round; medians of the times and of
the per-round differences and ratios):

- the SDK's line: spec_log_info("spec2vq", "begin", "/cgi-bin/chatdata/echo")
  with the bridge installed (the native writer calls the bridge's spec_log,
  which finds the caller, joins the text and hands a record to the logger);
  also the bridge's spec_log called directly;
- the bare call: logger.info("spec2vq begin /cgi-bin/chatdata/echo").

Handlers: one that formats the record with the stdout line's fields and
writes it to /dev/null, and one that drops it (the logging module's own cost
only, where the bridge's share is the largest).  The target: at most 2 us
per line over the bare call.
"""
import argparse
import logging
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run  # noqa: E402  (the side-by-side timer)

import vqspecapisdk  # noqa: E402
import vqspecapisdk_logging  # noqa: E402

TARGET_US = 2.0
ARGS = ("spec2vq", "begin", "/cgi-bin/chatdata/echo")
TEXT = " ".join(ARGS)


class Drop(logging.Handler):
    def emit(self, record):
        pass


def handlers():
    sink = open(os.devnull, "w")
    fmt = logging.StreamHandler(sink)
    fmt.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(filename)s:%(lineno)d %(message)s"))
    return [("formatted to /dev/null", fmt), ("dropped", Drop())]


def pair(b, f_bridged, f_bare):
    """Interleaved rounds of the same number of calls each; medians of the times, of the
    per-round differences and of the per-round ratios."""
    n = b.calibrate(f_bare)
    tb, tc, diffs, ratios = [], [], [], []
    for r in range(b.rounds):
        if r % 2 == 0:
            x, y = b.batch(f_bridged, n), b.batch(f_bare, n)
        else:
            y, x = b.batch(f_bare, n), b.batch(f_bridged, n)
        tb.append(x)
        tc.append(y)
        diffs.append(x - y)
        ratios.append(x / y)
    med = statistics.median
    return med(tb), med(tc), med(diffs), med(ratios)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    b = run.Bench(args.quick)
    logger = logging.getLogger("vqspecapisdk")
    logger.setLevel(logging.INFO)
    logger.propagate = False
    vqspecapisdk_logging.install(logger)
    writer = vqspecapisdk.spec_log
    routed = []
    logger.handlers = [Drop()]
    logger.addFilter(lambda r: routed.append(r) or True)
    vqspecapisdk.spec_log_info(*ARGS)
    logger.filters = []
    if not routed:
        print("note: this build's spec_log_info does not call a replaced spec_log; "
              "only the direct call of the bridge is timed")

    def sdk_line():
        vqspecapisdk.spec_log_info(*ARGS)

    def bridge_direct():
        writer("INFO", "", *ARGS)

    def bare():
        logger.info(TEXT)

    print("CPython %s; per line, medians of %d interleaved rounds" % (sys.version.split()[0], b.rounds))
    print("%-24s %-40s %9s %9s %9s %7s %s" % ("handler", "line", "bridged", "bare", "extra", "ratio", ""))
    for hname, handler in handlers():
        logger.handlers = [handler]
        rows = [("spec_log_info via bridge", sdk_line)] if routed else []
        rows.append(("bridge's spec_log called directly", bridge_direct))
        for label, fn in rows:
            t_b, t_bare, diff, ratio = pair(b, fn, bare)
            extra = diff * 1e6
            mark = "PASS" if extra <= TARGET_US else "MISS"
            print("%-24s %-40s %7.2f us %7.2f us %+6.2f us %6.2fx %s (<= +%.1f us)"
                  % (hname, label, t_b * 1e6, t_bare * 1e6, extra, ratio, mark, TARGET_US))
    vqspecapisdk_logging.uninstall()


if __name__ == "__main__":
    main()
