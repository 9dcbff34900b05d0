"""Calling the platform from asyncio: `AsyncChatDataSDK` (CPython 3.8+, the
`async` extra: ``pip install vqspecapisdk[async]``).

    from vqspecapisdk_async import AsyncChatDataSDK

    async with AsyncChatDataSDK(corpid, agentid, ability_id, job_info) as client:
        data = await client.sync_msg(param)

The client has the constructor, settings and API methods of
`vqspecapisdk.ChatDataSDK`, as coroutines. The message is the module's own:
each call runs the sync client's method on a private `ChatDataSDK` whose
`common_send_http_post` only records what it is given (the path, the URL of
the debug-mode routing, the call body), the module's
`SpecToVQHTTPReqConstructor` signs and encrypts it, aiohttp posts it, and
`SpecToVQHTTPRspDecoder` checks and opens the answer; the sync method then
runs once more with that answer, so that the status check and its error are
the sync client's. Failures of the connection surface as the
`requests.exceptions` classes the sync client raises.
"""
import sys

if sys.version_info < (3, 8):
    raise ImportError("vqspecapisdk_async needs CPython 3.8 or later")

import asyncio
import importlib
import inspect
import ssl
import weakref
from contextvars import ContextVar
from types import TracebackType
from typing import (TYPE_CHECKING, Any, AsyncIterator, Awaitable, Callable, Dict, List, Optional, Set, Tuple,
                    Type, Union)

import aiohttp
import requests
import requests.exceptions as rex
import vqspecapisdk
from requests.structures import CaseInsensitiveDict
from requests.utils import _parse_content_type_header  # type: ignore[attr-defined]
from urllib3._collections import HTTPHeaderDict
from yarl import URL

__all__ = ["AsyncChatDataSDK", "CRYPTO_THREAD_THRESHOLD"]

# The module's private helper: its token masking serves this client's posts.
_http: Any = importlib.import_module("_vqspecapisdk_http")

# Bodies (call data, or answer text) of at least this many characters are
# encrypted, signed, verified and decrypted in a worker thread (the module
# releases the GIL while it works on them); smaller ones inline on the loop,
# where a thread hand-off would cost more than the work. The client's
# `crypto_thread_threshold` overrides it; docs/DESIGN.md has the measurements.
CRYPTO_THREAD_THRESHOLD = 64 * 1024

# A kept-alive connection idle for longer than this is closed, not reused: the
# sync client's limit, well before common servers drop idle connections.
IDLE_LIMIT_S: float = _http.IDLE_LIMIT_S

# At most this many connections per client and loop: further calls wait for
# one to come free (the connect time-out starts once they have one).
POOL_SIZE = 100

# Redirects followed, as requests follows them (aiohttp counts the answers).
MAX_REDIRECTS = requests.models.DEFAULT_REDIRECT_LIMIT

_CORE_ARGS = ("self", "param")

# What the private sync client's common_send_http_post does in this context:
# a list records (cgi_path, url, body); a tuple is the (status, data) answer
# to hand back.
_MODE: "ContextVar[Union[List[Tuple[str, str, vqspecapisdk.CorpModelCallBack]], Tuple[str, str], None]]" = (
    ContextVar("vqspecapisdk_async_mode", default=None))


class _Recorder(vqspecapisdk.ChatDataSDK):
    """The sync client whose methods build each call: its posting step only
    records the call (or hands back the answer the async client got)."""

    def common_send_http_post(self, cgi_path: str, url: str,
                              body: vqspecapisdk.CorpModelCallBack) -> Tuple[str, str]:
        mode = _MODE.get()
        if isinstance(mode, tuple):
            return mode
        if mode is None:  # called directly, outside an async call
            return super().common_send_http_post(cgi_path, url, body)
        mode.append((cgi_path, url, body))
        return ("0", "")


def _api_names() -> List[str]:
    """The sync client's API methods (echo included): those that take one
    argument, `param`, in the order the class defines them."""
    names = []
    for name, fn in vars(vqspecapisdk.ChatDataSDK).items():
        if name.startswith("_") or not callable(fn):
            continue
        try:
            params = tuple(inspect.signature(fn).parameters)
        except (TypeError, ValueError):
            continue
        if params == _CORE_ARGS:
            names.append(name)
    return names


API_NAMES = _api_names()


# ---- the connection pools: one per client and event loop ---------------------------------------

# Per event loop, the sessions open on it (held until closed, so that a
# client dropped with calls in flight does not leave its connections to the
# garbage collector), closed when the loop shuts down (asyncio.run's shutdown
# of asynchronous generators) if the program did not close them.
_LOOP_SESSIONS: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, Tuple[Set[aiohttp.ClientSession], Any]]" = (
    weakref.WeakKeyDictionary())


class _Connector(aiohttp.TCPConnector):
    """The pool, knowing its connections' transports: a TLS connection that
    is being closed waits for the server's close_notify, which a loop that
    is shutting down cannot wait for; those are aborted instead."""

    def __init__(self, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.transports: "weakref.WeakSet[asyncio.BaseTransport]" = weakref.WeakSet()

    async def _wrap_create_connection(self, *args: Any, **kwargs: Any) -> Any:
        made = await super()._wrap_create_connection(*args, **kwargs)
        self.transports.add(made[0])
        return made


async def _close_at_loop_shutdown(sessions: Set[aiohttp.ClientSession]) -> AsyncIterator[None]:
    try:
        yield  # never resumed: the loop finalizes it when it shuts down
    finally:
        while sessions:
            await _close_session(sessions.pop())


async def _close_session(session: aiohttp.ClientSession) -> None:
    for entry in list(_LOOP_SESSIONS.values()):
        entry[0].discard(session)
    connector = session.connector  # the session forgets it when closed
    if not session.closed:
        await session.close()
    if isinstance(connector, _Connector):
        left = list(connector.transports)
        for t in left:
            # A TLS transport's socket transport, where the TLS shutdown
            # would wait for the peer.
            inner: Any = getattr(getattr(t, "_ssl_protocol", None), "_transport", None) or t
            inner.abort()
        if left:
            await asyncio.sleep(0)  # the aborted sockets close on the loop's next turn


async def _loop_sessions(loop: asyncio.AbstractEventLoop) -> Set[aiohttp.ClientSession]:
    entry = _LOOP_SESSIONS.get(loop)
    if entry is None:
        sessions: Set[aiohttp.ClientSession] = set()
        hook = _close_at_loop_shutdown(sessions)
        await hook.__anext__()  # started, so that the loop knows it
        entry = _LOOP_SESSIONS[loop] = (sessions, hook)
    return entry[0]


_SSL_CONTEXTS: Dict[str, ssl.SSLContext] = {}


def _ssl_for(verify: Union[bool, str, None]) -> Union[ssl.SSLContext, bool]:
    """The TLS set-up for requests' `verify` setting: the CA bundle file or
    folder it names (REQUESTS_CA_BUNDLE, CURL_CA_BUNDLE, else certifi's)."""
    if verify is False:
        return False
    path = verify if isinstance(verify, str) else requests.utils.DEFAULT_CA_BUNDLE_PATH
    ctx = _SSL_CONTEXTS.get(path)
    if ctx is None:
        import os
        if os.path.isdir(path):
            ctx = ssl.create_default_context(capath=path)
        else:
            ctx = ssl.create_default_context(cafile=path)
        _SSL_CONTEXTS[path] = ctx
    return ctx


# ---- errors ---------------------------------------------------------------------------------

_CONNECT_TIMEOUT: Optional[Type[BaseException]] = getattr(aiohttp, "ConnectionTimeoutError", None)


def _requests_error(exc: BaseException, prepared: requests.PreparedRequest) -> BaseException:
    """The requests.exceptions error a sync call meets where aiohttp raised `exc`."""
    cls: Type[rex.RequestException]
    if isinstance(exc, aiohttp.TooManyRedirects):
        # As requests reports it: the last answer, whose history holds the
        # answers after the first, itself included.
        answers = [_response(r, b"", prepared) for r in exc.history]
        answers[-1].history = answers[1:]
        return rex.TooManyRedirects("Exceeded %d redirects." % MAX_REDIRECTS, response=answers[-1])
    if isinstance(exc, (asyncio.TimeoutError, aiohttp.ServerTimeoutError)):
        if _CONNECT_TIMEOUT is not None:
            connect = isinstance(exc, _CONNECT_TIMEOUT)
        else:  # aiohttp before 3.10 tells them apart by the text only
            connect = str(exc).startswith("Connection timeout")
        cls = rex.ConnectTimeout if connect else rex.ReadTimeout
    elif isinstance(exc, (aiohttp.ClientConnectorCertificateError, aiohttp.ClientSSLError, ssl.SSLError)):
        cls = rex.SSLError
    elif isinstance(exc, aiohttp.ClientProxyConnectionError):
        cls = rex.ProxyError
    elif isinstance(exc, aiohttp.ClientPayloadError):
        cls = rex.ChunkedEncodingError
    elif isinstance(exc, aiohttp.InvalidURL):
        cls = rex.InvalidURL
    else:
        cls = rex.ConnectionError
    return cls("%s (POST %s)" % (_text_of(exc), prepared.url), request=prepared)


def _text_of(exc: BaseException) -> str:
    return "%s: %s" % (type(exc).__name__, exc) if str(exc) else type(exc).__name__


class AsyncChatDataSDK(object):
    """Asyncio client of the platform's HTTPS API for one company and
    application: `ChatDataSDK`'s constructor, settings and API methods, the
    calls as coroutines."""

    def __init__(self, corpid: str, agentid: int, ability_id: str, job_info: str) -> None:
        self._sync = _Recorder(corpid, agentid, ability_id, job_info)
        self._sessions: Dict[asyncio.AbstractEventLoop, aiohttp.ClientSession] = {}
        # Used only to prepare requests and read the environment's settings
        # as a requests session does; it never sends.
        self._preparer = requests.Session()
        self.crypto_thread_threshold: Optional[int] = None

    # -- the sync client's attributes and settings --------------------------------------------

    def _get(name: str) -> Any:  # type: ignore[misc]
        def get(self: "AsyncChatDataSDK") -> Any:
            return getattr(self._sync, name)

        def set_(self: "AsyncChatDataSDK", value: Any) -> None:
            setattr(self._sync, name, value)
        return property(get, set_)

    corpid: str = _get("corpid")
    agentid: int = _get("agentid")
    ability_id: str = _get("ability_id")
    job_info: str = _get("job_info")
    req_id: str = _get("req_id")
    connect_timeout: float = _get("connect_timeout")
    read_timeout: float = _get("read_timeout")
    del _get

    def set_connect_timeout(self, seconds: float) -> None:
        """Set the connect time-out in seconds."""
        self._sync.set_connect_timeout(seconds)

    def set_read_timeout(self, seconds: float) -> None:
        """Set the read time-out in seconds."""
        self._sync.set_read_timeout(seconds)

    def set_req_id(self, req_id: str) -> None:
        """Set the request id sent with later calls."""
        self._sync.set_req_id(req_id)

    def get_req_url(self, cgi_path: str) -> str:
        """Return the URL to post an API path to (the relay in debug mode)."""
        return self._sync.get_req_url(cgi_path)

    # -- the pool ---------------------------------------------------------------------------------

    async def _session(self) -> aiohttp.ClientSession:
        loop = asyncio.get_running_loop()
        session = self._sessions.get(loop)
        if session is None or session.closed:
            for other in [lp for lp in self._sessions if lp.is_closed()]:
                del self._sessions[other]
            connector = _Connector(limit=POOL_SIZE, keepalive_timeout=IDLE_LIMIT_S)
            session = aiohttp.ClientSession(connector=connector, cookie_jar=aiohttp.DummyCookieJar(),
                                            trust_env=False, raise_for_status=False,
                                            skip_auto_headers=("User-Agent", "Accept-Encoding", "Content-Type"))
            self._sessions[loop] = session
            (await _loop_sessions(loop)).add(session)
        return session

    async def aclose(self) -> None:
        """Close this client's kept-alive connections on the running loop."""
        loop = asyncio.get_running_loop()
        session = self._sessions.pop(loop, None)
        if session is not None:
            await _close_session(session)

    async def __aenter__(self) -> "AsyncChatDataSDK":
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        await self.aclose()

    # -- one call -------------------------------------------------------------------------------

    def _threshold(self) -> int:
        t = self.crypto_thread_threshold
        return CRYPTO_THREAD_THRESHOLD if t is None else t

    async def _post(self, url: str, headers: Dict[str, str], payload: bytes) -> requests.Response:
        """POST `payload` as the sync client's kept session does: the request
        prepared and the environment's settings (proxies, CA bundle) read by
        requests, sent over this loop's pool; the answer as a requests
        Response, failures as requests' errors."""
        preparer = self._preparer
        prepared = _prepare(preparer, url, headers, payload)
        prepared_url = str(prepared.url)
        settings = preparer.merge_environment_settings(prepared_url, {}, None, None, None)
        proxy = requests.utils.select_proxy(prepared_url, settings["proxies"])
        session = await self._session()
        timeout = aiohttp.ClientTimeout(total=None, sock_connect=self.connect_timeout,
                                        sock_read=self.read_timeout)
        try:
            target = URL(prepared_url, encoded=True)
            resp = await session.post(target, data=prepared.body, headers=dict(prepared.headers),
                                      ssl=_ssl_for(settings["verify"]), proxy=proxy, timeout=timeout,
                                      allow_redirects=True, max_redirects=MAX_REDIRECTS + 1)
            try:
                content = await resp.read()
            except BaseException as exc:
                resp.close()  # a half-read connection never goes back to the pool
                if isinstance(exc, (asyncio.TimeoutError, aiohttp.ServerTimeoutError)):
                    # requests reports a time-out while reading the body as a
                    # broken connection, not as a ReadTimeout
                    raise rex.ConnectionError("%s (POST %s)" % (_text_of(exc), prepared_url),
                                              request=prepared) from exc
                raise
            resp.release()
        except (aiohttp.ClientError, asyncio.TimeoutError, ssl.SSLError, OSError) as exc:
            raise _requests_error(exc, prepared) from exc
        return _response(resp, content, prepared)

    async def common_send_http_post(self, cgi_path: str, url: str,
                                    body: vqspecapisdk.CorpModelCallBack) -> Tuple[str, str]:
        """Sign, encrypt and post a call body; return (status, data)."""
        sdk = vqspecapisdk
        for value, what in ((cgi_path, "cgi_path"), (url, "url")):
            if not isinstance(value, str):
                raise TypeError("Argument '%s' has incorrect type (expected str, got %s)"
                                % (what, type(value).__name__))
        req_id = self._sync.req_id
        sdk.spec_log_info_with_req_id(req_id, "spec2vq", "begin", cgi_path)
        loop = asyncio.get_running_loop()
        threshold = self._threshold()

        def build() -> Tuple[Dict[str, str], str]:
            req = sdk.SpecToVQHTTPReqConstructor(req_id, cgi_path, body)
            return req.get_normal_header(), req.get_encoded_body()

        if isinstance(body.data, str) and len(body.data) >= threshold:
            headers, encoded = await loop.run_in_executor(None, build)
        else:
            headers, encoded = build()
        # A relay URL (debug mode) carries the access token: the HTTP
        # client's log records and the error are masked by the module, as
        # for its own posts; the error is raised with nothing chained and,
        # as the URL is dropped first, no frame holding it.
        _http.mask_logs(url, True)
        try:
            rsp = await self._post(url, headers, encoded.encode("utf-8"))
        except Exception as err:  # every error, as for the module's own posts
            masked = _http.mask_error(err, url)
            if masked is err:
                raise
        else:
            masked = None
        finally:
            _http.mask_logs(url, False)
        if masked is not None:
            del url
            raise masked
        rsp.encoding = _charset(rsp.headers)
        text = rsp.text
        header_list = list(rsp.headers.items())

        def decode() -> vqspecapisdk.SpecToVQHTTPRspDecoder:
            return sdk.SpecToVQHTTPRspDecoder(rsp.status_code, header_list, text)

        if len(text) >= threshold:
            dec = await loop.run_in_executor(None, decode)
        else:
            dec = decode()
        status = dec.get_rsp_status()
        sdk.spec_log_info_with_req_id(req_id, "spec2vq", "end", status)
        return status, dec.get_data()

    async def _call(self, name: str, param: Any) -> str:
        method = getattr(vqspecapisdk.ChatDataSDK, name)
        recorded: List[Tuple[str, str, vqspecapisdk.CorpModelCallBack]] = []
        mark = _MODE.set(recorded)
        try:
            method(self._sync, param)  # argument checks, URL and call body: the sync client's
        finally:
            _MODE.reset(mark)
        answer = await self.common_send_http_post(*recorded.pop())  # no variable here keeps the URL
        mark = _MODE.set(answer)
        try:
            return method(self._sync, param)  # type: ignore[no-any-return]  # the status check
        finally:
            _MODE.reset(mark)

    if TYPE_CHECKING:
        # echo and the API methods, made below from the sync client's.
        def __getattr__(self, name: str) -> Callable[[str], Awaitable[str]]: ...


# url -> (the URL as requests sends it, the ~/.netrc credentials for it):
# what Session.prepare_request works out from the URL alone, once per URL.
_URLS: Dict[str, Tuple[str, Any]] = {}
_URLS_MAX = 256


def _prepare(session: requests.Session, url: str, headers: Dict[str, str], payload: bytes) -> requests.PreparedRequest:
    """What `session.prepare_request(Request("POST", url, headers, data))`
    gives (the session's default headers under the call's, the URL checked
    and encoded, the body and its length), with the URL's part, the costly
    one, done once per URL; a URL that fails raises every time, as there."""
    known = _URLS.get(url)
    if known is None:
        prepared = session.prepare_request(requests.Request("POST", url, headers=headers, data=payload or {}))
        if len(_URLS) >= _URLS_MAX:
            _URLS.clear()
        _URLS[url] = (str(prepared.url), requests.utils.get_netrc_auth(url))
        return prepared
    prepared = requests.PreparedRequest()
    prepared.method = "POST"
    prepared.url = known[0]
    merged = CaseInsensitiveDict(session.headers)
    merged.update(headers)
    prepared.prepare_headers(merged)
    prepared.prepare_body(payload or {}, None)
    if known[1]:
        prepared.prepare_auth(known[1], known[0])
    return prepared


def _response(resp: aiohttp.ClientResponse, content: bytes, prepared: requests.PreparedRequest) -> requests.Response:
    """aiohttp's answer `resp` to `prepared` (or to a redirect of it) as a
    requests Response."""
    rsp = requests.Response()
    rsp.status_code = resp.status
    raw = HTTPHeaderDict()
    for name, value in resp.raw_headers:
        raw.add(name.decode("latin-1"), value.decode("latin-1"))
    rsp.headers = CaseInsensitiveDict(raw)
    rsp._content = content
    rsp.url = str(resp.url)
    rsp.request = prepared
    if rsp.url != prepared.url:
        rsp.request = prepared.copy()
        rsp.request.url = rsp.url
    rsp.reason = resp.reason or ""
    return rsp


def _charset(headers: "CaseInsensitiveDict[str]") -> str:
    """The charset the Content-Type names, otherwise UTF-8, read as requests
    reads it, as the sync client decodes an answer."""
    ctype = headers.get("content-type")
    if isinstance(ctype, str):
        params = _parse_content_type_header(ctype)[1]
        charset = params.get("charset") if isinstance(params, dict) else None
        if isinstance(charset, str) and charset:
            return charset
    return "utf-8"


def _make_api_method(name: str) -> Callable[..., Awaitable[str]]:
    sync_fn = getattr(vqspecapisdk.ChatDataSDK, name)

    async def api_method(self: AsyncChatDataSDK, param: Any) -> str:
        return await self._call(name, param)

    api_method.__name__ = api_method.__qualname__ = name
    api_method.__qualname__ = "AsyncChatDataSDK." + name
    api_method.__doc__ = sync_fn.__doc__
    try:
        setattr(api_method, "__signature__", inspect.signature(sync_fn))
    except (TypeError, ValueError):
        pass
    return api_method


for _name in API_NAMES:
    setattr(AsyncChatDataSDK, _name, _make_api_method(_name))
del _name
