"""Replay protection: refuse an authenticated call that is too old or already seen.

The platform signs "vq-timestamp", "vq-nonce" and the body, but not the
in-queue headers, so a captured call with those removed would pass the
decoder at any later time.  ReplayGuard refuses a call whose signed time
stamp is further than `max_age` seconds from the clock (before its body is
read), and, once the decoder has authenticated it, a call whose signed nonce,
time stamp and signature were seen before: in an accepted call, or in an
answer this program signed (an answer posted back to it is signed like a
call).  Every key lives 2 x max_age + skew seconds, the whole window on both
sides of a time stamp and a margin for hosts whose clocks differ, on the
module's wall clock (vqspecapisdk.time.time) throughout.
"""
import heapq
import importlib
import re
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

import vqspecapisdk

from vqspecapisdk_web.answers import refuse

_TIMESTAMP = re.compile(r"^[0-9]{1,12}$")
KEY_PREFIX = "vqspecapisdk:replay:"
OUTSIDE = "Call outside the accepted time window"
# The decoder's members for the headers a check reads, by header name: the one
# place outside the module that knows them (see header_value).
HEADER_MEMBERS = {
    "vq-secret-ver": "_header_ver", "vq-signature": "_header_signature", "vq-nonce": "_header_nonce",
    "vq-timestamp": "_header_timestamp", "vq-timestamp-ms": "_header_timestamp_ms",
    "vq-req-id": "_header_req_id", "vq-inqueue-timeout-ms": "_header_inqueue_timeout_ms",
}


def header_value(req: vqspecapisdk.VQToSpecHTTPReqDecoder, name: str) -> str:
    """The value of header `name` as the decoder `req` took it ("" when absent)."""
    return getattr(req, HEADER_MEMBERS[name]) or ""


class ReplayStoreError(Exception):
    """The seen-call store cannot take a key; the call is refused (fail closed)."""


class ReplayStore(object):
    """Where accepted calls are remembered.  Subclass and implement add()."""

    in_process = False  # True: one process only (a warning under pre-fork workers)

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
    RedisReplayStore.  Expiry is counted on `clock`, by default the module's
    wall clock (vqspecapisdk.time.time), the one the time window uses.
    """

    in_process = True

    def __init__(self, max_entries: int = 200000, clock: Optional[Callable[[], float]] = None) -> None:
        if max_entries < 1:
            raise ValueError("max_entries must be at least 1")
        self.max_entries = max_entries
        self._clock = clock  # None: the module's wall clock, read at each call
        self._lock = threading.Lock()
        self._expiry = {}  # type: Dict[str, float]
        self._heap = []  # type: List[Tuple[float, str]]

    def __len__(self) -> int:
        with self._lock:
            self._purge(self._now())
            return len(self._expiry)

    def _now(self) -> float:
        return self._clock() if self._clock is not None else vqspecapisdk.time.time()

    def _purge(self, now: float) -> None:
        heap = self._heap
        while heap and heap[0][0] <= now:
            _, key = heapq.heappop(heap)
            del self._expiry[key]

    def add(self, key: str, ttl: int) -> bool:
        now = self._clock() if self._clock is not None else vqspecapisdk.time.time()
        with self._lock:
            heap = self._heap
            if heap and heap[0][0] <= now:
                self._purge(now)
            if key in self._expiry:
                return False
            if len(self._expiry) >= self.max_entries:
                raise ReplayStoreError("replay store full (%d calls)" % self.max_entries)
            expires = now + ttl
            self._expiry[key] = expires
            heapq.heappush(heap, (expires, key))
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
        self.check_policy()

    def check_policy(self) -> bool:
        """Log a warning unless Redis keeps these keys until they expire (maxmemory-policy noeviction).

        Under any other policy Redis may evict keys when memory runs short,
        every key here has a time to live, and an evicted key lets its replay
        through.  True when the policy is noeviction.
        """
        try:
            policy = self.client.config_get("maxmemory-policy").get("maxmemory-policy")
        except Exception as err:
            vqspecapisdk.spec_log_error("replay store: cannot read the Redis maxmemory-policy:",
                                        type(err).__name__, str(err))
            return False
        if isinstance(policy, bytes):
            policy = policy.decode("ascii", "replace")
        if policy != "noeviction":
            vqspecapisdk.spec_log_error(
                "replay store: Redis maxmemory-policy is", policy,
                "- keys may be evicted and their replays accepted; set maxmemory-policy noeviction")
            return False
        return True

    def add(self, key: str, ttl: int) -> bool:
        return bool(self.client.set(key, b"1", nx=True, ex=ttl))


class ReplayGuard(object):
    """The replay check of one app: the time window, then the seen-call store.

    A refusal raises Refused: 409 for a call outside the window or seen
    before, 503 when the store fails (the check fails closed).
    """

    def __init__(self, store: ReplayStore, max_age: float, skew: float = 30.0) -> None:
        if not max_age > 0:
            raise ValueError("max_age must be positive")
        if not skew >= 0:
            raise ValueError("skew must not be negative")
        self.store = store
        self.max_age = max_age
        self.skew = skew
        # The whole window on both sides of a time stamp, and the margin.
        self.ttl = int(2 * max_age + skew) + 1

    def check_time(self, ts: str, rid: str) -> None:
        """Refuse a signed time stamp `ts` that is not within max_age of the clock."""
        if not _TIMESTAMP.match(ts):
            vqspecapisdk.spec_log_error_with_req_id(rid, "replay check: vq-timestamp is not a time stamp")
            raise refuse(409, OUTSIDE)
        now = vqspecapisdk.time.time()  # the module's clock, as the decoder's
        if abs(now - int(ts)) > self.max_age:
            vqspecapisdk.spec_log_error_with_req_id(
                rid, "replay check: call outside the time window, vq-timestamp", ts, "now", int(now),
                "max age", self.max_age)
            raise refuse(409, OUTSIDE)

    def remember(self, nonce: str, ts: str, signature: str, rid: str) -> None:
        """Add the key of a signed message; refuse it when the key was there already."""
        try:
            fresh = self.store.add("%s%s:%s:%s" % (KEY_PREFIX, nonce, ts, signature), self.ttl)
        except Exception as err:
            vqspecapisdk.spec_log_error_with_req_id(rid, "replay check: store failed:", type(err).__name__,
                                                    str(err))
            raise refuse(503, "Replay check unavailable")
        if not fresh:
            vqspecapisdk.spec_log_error_with_req_id(
                rid, "replay check: call already accepted, vq-nonce", nonce, "vq-timestamp", ts)
            raise refuse(409, "Call already accepted")

    def check(self, req: vqspecapisdk.VQToSpecHTTPReqDecoder) -> None:
        """Both checks for the authenticated call `req`; raises Refused, else returns None."""
        rid = req.get_req_id()
        ts = header_value(req, "vq-timestamp")
        self.check_time(ts, rid)
        self.remember(header_value(req, "vq-nonce"), ts, header_value(req, "vq-signature"), rid)
