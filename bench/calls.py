"""Call overhead of the module's functions and methods.

    PYTHONPATH=build/dev-3.11 python bench/calls.py

Each row times one call shape of the module (a trivial body, so the time is
the call itself: binding, argument checks, return) against the same call of
an interpreted function or method with the same parameters, side by side:
the rounds alternate and the ratio reported is the median of per-round
ratios, so that a loaded machine's drift cancels out. A report, not a test.
"""
import statistics
import sys
import timeit

import vqspecapisdk as m


def pure_is_digit_str(s):
    return isinstance(s, str) and s.isdigit()


class PureClient(object):
    def __init__(self):
        self.req_id = ""

    def set_req_id(self, req_id):
        if type(req_id) is not str:
            raise TypeError
        self.req_id = req_id

    def get_req_url(self, cgi_path):
        return "https://x" + cgi_path


def main():
    client = m.ChatDataSDK("c", 1, "a", "j")
    pure = PureClient()
    cases = [
        ("module function, positional", lambda: m.is_digit_str("12"), lambda: pure_is_digit_str("12")),
        ("module function, keyword", lambda: m.is_digit_str(s="12"), lambda: pure_is_digit_str(s="12")),
        ("bound method, positional", lambda: client.set_req_id("r"), lambda: pure.set_req_id("r")),
        ("bound method, keyword", lambda: client.set_req_id(req_id="r"), lambda: pure.set_req_id(req_id="r")),
        ("method from the class", lambda: m.ChatDataSDK.set_req_id(client, "r"),
         lambda: PureClient.set_req_id(pure, "r")),
    ]
    rounds, number = 21, 20000
    print("CPython %s, %d rounds of %d calls" % (sys.version.split()[0], rounds, number))
    print("%-32s %10s %12s %8s" % ("call", "sdk ns", "interp. ns", "ratio"))
    for name, sdk_call, pure_call in cases:
        ratios, ts, tp = [], [], []
        for r in range(rounds):
            pair = [(sdk_call, ts), (pure_call, tp)]
            if r % 2:
                pair.reverse()
            got = {}
            for fn, sink in pair:
                t = timeit.timeit(fn, number=number) / number * 1e9
                sink.append(t)
                got[id(sink)] = t
            ratios.append(got[id(ts)] / got[id(tp)])
        print("%-32s %10.0f %12.0f %8.2f" % (name, statistics.median(ts), statistics.median(tp),
                                            statistics.median(ratios)))


if __name__ == "__main__":
    main()
