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
import operator
import re
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

import vqspecapisdk

from vqspecapisdk_web.answers import refuse

_heappush = heapq.heappush
_TIMESTAMP = re.compile(r"^[0-9]{1,12}$")
KEY_PREFIX = "vqspecapisdk:replay:"
DEFAULT_SKEW = 30.0  # seconds a key outlives the window, for hosts whose clocks differ
_STAMPS_KEPT = 4096
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


# The members check() reads, in one C call (three header_value calls cost more).
_CHECKED = operator.attrgetter(*(HEADER_MEMBERS[name] for name in ("vq-timestamp", "vq-nonce", "vq-signature")))


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
        clock = self._clock
        now = clock() if clock is not None else vqspecapisdk.time.time()
        expires = now + ttl
        lock = self._lock
        lock.acquire()  # acquire and release: cheaper than `with`
        try:
            heap = self._heap
            if heap and heap[0][0] <= now:
                self._purge(now)
            expiry = self._expiry
            if len(expiry) < self.max_entries:
                if expiry.setdefault(key, expires) is not expires:
                    return False  # remembered already (one lookup for both)
            elif key in expiry:
                return False
            else:
                raise ReplayStoreError("replay store full (%d calls)" % self.max_entries)
            _heappush(heap, (expires, key))
            return True
        finally:
            lock.release()


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

    def __init__(self, store: ReplayStore, max_age: float, skew: float = DEFAULT_SKEW) -> None:
        if not max_age > 0:
            raise ValueError("max_age must be positive")
        if not skew >= 0:
            raise ValueError("skew must not be negative")
        self.store = store
        self.max_age = max_age
        self.skew = skew
        # The whole window on both sides of a time stamp, and the margin.
        self.ttl = int(2 * max_age + skew) + 1
        # Time stamp texts that passed _TIMESTAMP, and their value: a call's
        # is checked before its body and again once decoded, and calls of one
        # second share it.  Emptied when full; a miss only costs the pattern.
        self._stamps = {}  # type: Dict[str, int]

    def _stamp(self, ts: str, rid: str) -> int:
        """The value of the time stamp text `ts`; refuses one that is not a time stamp."""
        if not _TIMESTAMP.match(ts):
            vqspecapisdk.spec_log_error_with_req_id(rid, "replay check: vq-timestamp is not a time stamp")
            raise refuse(409, OUTSIDE)
        stamps = self._stamps
        if len(stamps) >= _STAMPS_KEPT:
            stamps.clear()
        value = stamps[ts] = int(ts)
        return value

    def check_time(self, ts: str, rid: str) -> None:
        """Refuse a signed time stamp `ts` that is not within max_age of the clock."""
        value = self._stamps.get(ts)
        if value is None:
            value = self._stamp(ts, rid)
        now = vqspecapisdk.time.time()  # the module's clock, as the decoder's
        if abs(now - value) > self.max_age:
            vqspecapisdk.spec_log_error_with_req_id(
                rid, "replay check: call outside the time window, vq-timestamp", ts, "now", int(now),
                "max age", self.max_age)
            raise refuse(409, OUTSIDE)

    def remember(self, nonce: str, ts: str, signature: str, rid: str) -> None:
        """Add the key of a signed message; refuse it when the key was there already."""
        self._keep(nonce, ts, signature, rid, None)

    def _keep(self, nonce: str, ts: str, signature: str, rid: Optional[str],
              req: Optional[vqspecapisdk.VQToSpecHTTPReqDecoder]) -> None:
        """remember(); the request id, for a refusal's log line only, is `rid` or that of `req`."""
        try:
            fresh = self.store.add(f"{KEY_PREFIX}{nonce}:{ts}:{signature}", self.ttl)  # one join: cheapest
        except Exception as err:
            vqspecapisdk.spec_log_error_with_req_id(rid if req is None else req.get_req_id(),
                                                    "replay check: store failed:", type(err).__name__, str(err))
            raise refuse(503, "Replay check unavailable")
        if not fresh:
            vqspecapisdk.spec_log_error_with_req_id(
                rid if req is None else req.get_req_id(), "replay check: call already accepted, vq-nonce", nonce,
                "vq-timestamp", ts)
            raise refuse(409, "Call already accepted")

    def check(self, req: vqspecapisdk.VQToSpecHTTPReqDecoder) -> None:
        """Both checks for the authenticated call `req`; raises Refused, else returns None."""
        ts, nonce, signature = _CHECKED(req)  # header_value(req, ...) of each, at once
        ts = ts or ""
        value = self._stamps.get(ts)
        # check_time(ts, rid) written out for a time stamp met before; the
        # request id is read only for a refusal's log line.
        if value is None or abs(vqspecapisdk.time.time() - value) > self.max_age:
            self.check_time(ts, req.get_req_id())
        self._keep(nonce or "", ts, signature or "", None, req)
