"""The example program's WSGI app with the SDK's share of the CPU time counted.

Served by the load test (bench/web_load.py) under gunicorn: each worker adds
up the thread CPU time spent in the SDK's decoder and answer constructor, and
its own process CPU time from its first call, and writes them at exit to
$VQ_BENCH_STATS.<pid> as JSON.
"""
import atexit
import json
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))

import vqspecapisdk as sdk  # noqa: E402

_lock = threading.Lock()
_stats = {"sdk_cpu": 0.0, "calls": 0, "cpu_at_first_call": None}
# Per-thread CPU time (3.7+); a sync worker has one thread, so process time will do before.
thread_time = getattr(time, "thread_time", time.process_time)
_Decoder = sdk.VQToSpecHTTPReqDecoder
_Answer = sdk.VQToSpecHTTPRspConstructor


def _count(seconds, call=False):
    with _lock:
        _stats["sdk_cpu"] += seconds
        _stats["calls"] += call


def timed_decoder(headers, body):
    if _stats["cpu_at_first_call"] is None:
        _stats["cpu_at_first_call"] = time.process_time()
    t = thread_time()
    try:
        return _Decoder(headers, body)
    finally:
        _count(thread_time() - t, call=True)


class TimedAnswer(object):
    def __init__(self, data):
        t = thread_time()
        self._rsp = _Answer(data)
        _count(thread_time() - t)

    def __getattr__(self, name):
        method = getattr(self._rsp, name)

        def timed(*args):
            t = thread_time()
            try:
                return method(*args)
            finally:
                _count(thread_time() - t)
        return timed


def _write_stats():
    path = os.environ.get("VQ_BENCH_STATS")
    if path and _stats["calls"]:
        out = dict(_stats, cpu_at_exit=time.process_time())
        with open("%s.%d" % (path, os.getpid()), "w") as f:
            json.dump(out, f)


sdk.VQToSpecHTTPReqDecoder = timed_decoder
sdk.VQToSpecHTTPRspConstructor = TimedAnswer
atexit.register(_write_stats)

import provider_app  # noqa: E402

app = provider_app.app
