"""The in-process seen-call store: atomic, expiring, bounded."""
import threading

import pytest

from vqspecapisdk_web import MemoryReplayStore, ReplayStoreError


class Clock(object):
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


STEPS = [
    # (case, [(seconds later, key, ttl, result)], max_entries)
    ("new then seen", [(0, "a", 10, True), (0, "a", 10, False)], 10),
    ("seen until it expires", [(0, "a", 10, True), (9.9, "a", 10, False), (0.1, "a", 10, True)], 10),
    ("keys are apart", [(0, "a", 10, True), (0, "b", 10, True), (0, "a", 10, False)], 10),
    ("full refuses rather than forgets", [(0, "a", 10, True), (0, "b", 10, True), (0, "c", 10, ReplayStoreError)], 2),
    ("expired keys make room", [(0, "a", 5, True), (0, "b", 10, True), (5, "c", 10, True), (0, "b", 10, False)], 2),
]


@pytest.mark.parametrize("case,steps,max_entries", STEPS, ids=[s[0] for s in STEPS])
def test_memory_store(case, steps, max_entries):
    clock = Clock()
    store = MemoryReplayStore(max_entries=max_entries, clock=clock)
    for later, key, ttl, want in steps:
        clock.now += later
        if want is ReplayStoreError:
            with pytest.raises(ReplayStoreError, match=r"^replay store full \(2 calls\)$"):
                store.add(key, ttl)
        else:
            assert store.add(key, ttl) is want


def test_memory_store_counts_on_the_modules_wall_clock(monkeypatch):
    # One clock with the time window: the module's time.time(), not the monotonic clock.
    import vqspecapisdk
    clock = Clock()
    monkeypatch.setattr(vqspecapisdk, "time", type("T", (), {"time": staticmethod(clock)}))
    store = MemoryReplayStore()
    assert store.add("a", 10) is True
    clock.now += 9.9
    assert store.add("a", 10) is False
    clock.now += 0.1
    assert store.add("a", 10) is True


def test_memory_store_lets_one_of_concurrent_adds_win():
    store = MemoryReplayStore()
    wins = []
    lock = threading.Lock()

    def add_all():
        mine = sum(store.add("key-%d" % i, 60) for i in range(2000))
        with lock:
            wins.append(mine)

    threads = [threading.Thread(target=add_all) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert (sum(wins), len(store)) == (2000, 2000)
