"""Replay protection: refuse an authenticated call that is too old or already seen.

The platform signs "vq-timestamp", "vq-nonce" and the body, but not the
in-queue headers, so a captured call with those removed would pass the
decoder at any later time.  After the decoder has authenticated a call,
ReplayGuard refuses it when its signed time stamp is further than
`max_age` seconds from the clock, or when a call with the same signed nonce,
time stamp and signature was accepted before (the seen-call store keeps each
key until the call's time stamp leaves the window).
"""
import heapq
import importlib
import re
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import vqspecapisdk

_TIMESTAMP = re.compile(r"^[0-9]{1,12}$")
KEY_PREFIX = "vqspecapisdk:replay:"


class ReplayStoreError(Exception):
    """The seen-call store cannot take a key; the call is refused (fail closed)."""


class ReplayStore(object):
    """Where accepted calls are remembered.  Subclass and implement add()."""

    def add(self, key: str, ttl: int) -> bool:
        """Remember `key` for `ttl` seconds; False when it is already remembered.

        Must be atomic: of two concurrent add() calls with one key, one wins.
        """
        raise NotImplementedError


class MemoryReplayStore(ReplayStore):
    """An in-process store: thread-safe, keys expire, at most `max_entries` kept.

    When it is full of keys that have not expired yet, add() raises
    ReplayStoreError rather than forgetting a key early, so a replay is never
    let through; size it for the calls of `max_age` seconds.
    It serves one process: behind several processes or hosts, use
    RedisReplayStore.
    """

    def __init__(self, max_entries: int = 200000, clock: Callable[[], float] = time.monotonic) -> None:
        if max_entries < 1:
            raise ValueError("max_entries must be at least 1")
        self.max_entries = max_entries
        self._clock = clock
        self._lock = threading.Lock()
        self._expiry = {}  # type: Dict[str, float]
        self._heap = []  # type: List[Tuple[float, str]]

    def __len__(self) -> int:
        with self._lock:
            self._purge(self._clock())
            return len(self._expiry)

    def _purge(self, now: float) -> None:
        heap = self._heap
        while heap and heap[0][0] <= now:
            _, key = heapq.heappop(heap)
            del self._expiry[key]

    def add(self, key: str, ttl: int) -> bool:
        now = self._clock()
        with self._lock:
            self._purge(now)
            if key in self._expiry:
                return False
            if len(self._expiry) >= self.max_entries:
                raise ReplayStoreError("replay store full (%d calls)" % self.max_entries)
            expires = now + ttl
            self._expiry[key] = expires
            heapq.heappush(self._heap, (expires, key))
            return True


class RedisReplayStore(ReplayStore):
    """A store in Redis, shared by every instance of the program: SET key 1 NX EX ttl.

    `client` is a redis.Redis (or compatible) object; without one, a client
    for `url` is made (the optional `redis` package, imported only here).
    """

    def __init__(self, url: str = "redis://127.0.0.1:6379/0", client: Any = None,
                 timeout: float = 2.0) -> None:
        if client is None:
            redis = importlib.import_module("redis")
            client = redis.Redis.from_url(url, socket_timeout=timeout, socket_connect_timeout=timeout)
        self.client = client

    def add(self, key: str, ttl: int) -> bool:
        return bool(self.client.set(key, b"1", nx=True, ex=ttl))


class ReplayGuard(object):
    """The replay check of one app."""

    def __init__(self, store: ReplayStore, max_age: float) -> None:
        if not max_age > 0:
            raise ValueError("max_age must be positive")
        self.store = store
        self.max_age = max_age

    def check(self, req: vqspecapisdk.VQToSpecHTTPReqDecoder) -> Optional[Tuple[int, str]]:
        """None when the authenticated call `req` may be served, else (HTTP code, reason)."""
        rid = req.get_req_id()
        ts = req._header_timestamp or ""
        nonce = req._header_nonce or ""
        if not _TIMESTAMP.match(ts):
            vqspecapisdk.spec_log_error_with_req_id(rid, "replay check: vq-timestamp is not a time stamp")
            return 409, "Call outside the accepted time window"
        now = vqspecapisdk.time.time()  # the module's clock, as the decoder's
        sent = int(ts)
        if abs(now - sent) > self.max_age:
            vqspecapisdk.spec_log_error_with_req_id(
                rid, "replay check: call outside the time window, vq-timestamp", ts, "now", int(now),
                "max age", self.max_age)
            return 409, "Call outside the accepted time window"
        # Keep the key until the time stamp leaves the window (up to twice
        # the age for a time stamp ahead of the clock), and a second more.
        ttl = max(1, int(sent + self.max_age - now) + 1)
        key = "%s%s:%s:%s" % (KEY_PREFIX, nonce, ts, req._header_signature or "")
        try:
            fresh = self.store.add(key, ttl)
        except Exception as err:
            vqspecapisdk.spec_log_error_with_req_id(rid, "replay check: store failed:", type(err).__name__,
                                                    str(err))
            return 503, "Replay check unavailable"
        if not fresh:
            vqspecapisdk.spec_log_error_with_req_id(
                rid, "replay check: call already accepted, vq-nonce", nonce, "vq-timestamp", ts)
            return 409, "Call already accepted"
        return None
