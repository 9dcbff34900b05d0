"""Debug mode keeps the relay's access token out of everything a failed or
successful call leaves behind, end to end against the platform stand-in on
127.0.0.1 (HTTPS, certificate checks on): the error the caller gets (its
text, representation, arguments, request and response, and the objects they
hold), the variables of every frame of its traceback, the HTTP client's
`logging` records (urllib3 at DEBUG) and the SDK's own log lines. Over the
kept session, over a plain requests.post (KEEP_ALIVE false) and through the
asyncio client (with a record naming the URL logged to aiohttp's logger
while its post runs) alike.
"""
import asyncio
import logging
import os
import sys
import urllib.parse

import pytest
import requests

from conftest import Records, derived, install_env
from simulator import wire
from simulator.certs import make_untrusted_certs
from simulator.platform import RELAY_PATH, RELAY_QUERY_PREFIX, PlatformSimulator, closed_port

REC = wire.SecretRecord("3", derived("token", "debug-token-e2e"), wire.make_key_text("debug-token-e2e"), "prog-dt")
# Characters the HTTP client percent-encodes, after a start found nowhere else.
TOKEN = derived("access", "debug-token-e2e", 24) + "|a b[c]"
READ_TIMEOUT_S = 0.3


@pytest.fixture(scope="module")
def servers(tmp_path_factory):
    other = make_untrusted_certs(str(tmp_path_factory.mktemp("untrusted")))
    sim = PlatformSimulator(REC, access_token=TOKEN, keep_alive=True, lifetime=120)
    untrusted = PlatformSimulator(REC, access_token=TOKEN, cert_dir=other.directory, lifetime=120)
    with sim, untrusted:
        relay = sim.base_url + RELAY_PATH + "?" + RELAY_QUERY_PREFIX + urllib.parse.quote(TOKEN)
        sim.set_fault("slow", req_id="read_timeout", seconds=10 * READ_TIMEOUT_S)
        sim.set_fault("http500", req_id="redirects", code=307)
        sim.set_fault("extra_header", req_id="redirects", name="Location", value=relay)
        yield {"sim": sim.base_url, "untrusted": untrusted.base_url, "closed": "https://127.0.0.1:%d" % closed_port(),
               "ca": sim.ca_path}


CLIENT_MODULES = ("requests", "urllib3", "http", "vqspecapisdk", "_vqspecapisdk_http", "builtins",
                  "vqspecapisdk_async", "aiohttp", "yarl")
CLIENT_LOGGERS = ("urllib3", "requests", "aiohttp.client", "asyncio")


def texts(obj, depth, seen):
    """The str values reachable from obj through containers, errors and the
    attributes of the HTTP client's and the SDK's objects, `depth` levels
    down."""
    if isinstance(obj, str):
        yield obj
        return
    if isinstance(obj, bytes):
        yield obj.decode("latin-1")
        return
    if depth == 0 or id(obj) in seen or type(obj).__module__.split(".")[0] not in CLIENT_MODULES:
        return
    seen.add(id(obj))
    if isinstance(obj, dict):
        items = list(obj.keys()) + list(obj.values())
    elif isinstance(obj, (list, tuple, set, frozenset)):
        items = list(obj)
    else:
        items = list(getattr(obj, "__dict__", {}).values())
        if isinstance(obj, BaseException):
            items += [obj.args, str(obj), repr(obj), obj.__cause__, obj.__context__]
    for item in items:
        for t in texts(item, depth - 1, seen):
            yield t


TAIL = TOKEN[24:]
TOKEN_PARTS = (TOKEN[:16], TAIL, requests.utils.requote_uri(TAIL), urllib.parse.quote(TAIL, safe=""))


def occurrences(text):
    """How often the token's start, or its end in any of the forms a URL
    gives it, shows in text."""
    return sum(text.count(part) for part in TOKEN_PARTS)


def caught(client):
    """The error of one call, caught in this frame (the traceback starts here)."""
    try:
        client.echo("token-e2e")
    except Exception as e:
        return e
    return None


async def echo_logging_url(client):
    """The asyncio client's echo, while another task logs the relay URL to
    aiohttp's logger (once the post is under way)."""
    async def log_url():
        logging.getLogger("aiohttp.client").warning("POST %s", client.get_req_url("/cgi-bin/chatdata/echo"))

    async with client:
        return (await asyncio.gather(client.echo("token-e2e"), log_url()))[0]


def caught_async(client):
    """caught() for the asyncio client."""
    try:
        asyncio.run(echo_logging_url(client))
    except Exception as e:
        return e
    return None


RE = requests.exceptions


@pytest.mark.parametrize("via", ["kept", "plain", "async"])
@pytest.mark.parametrize("kind, server, exc_type, answered", [
    ("read_timeout", "sim", RE.ReadTimeout, False),       # no URL in its text
    ("connection_refused", "closed", RE.ConnectionError, False),
    ("untrusted_certificate", "untrusted", RE.SSLError, False),
    ("redirects", "sim", RE.TooManyRedirects, True),     # with a response, no URL in its text
    ("success", "sim", None, True),
])
def test_access_token_shows_nowhere(sdk, monkeypatch, tmp_path, capsys, servers, via, kind, server, exc_type,
                                    answered):
    if via == "async":
        if sys.version_info < (3, 8):
            pytest.skip("the asyncio client needs CPython 3.8 or later")
        from vqspecapisdk_async import AsyncChatDataSDK
        answered = False  # aiohttp logs no request line
    install_env(sdk, monkeypatch, tmp_path, REC, "debug", TOKEN)
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", servers["ca"])
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    monkeypatch.setattr(sdk, "DEBUG_DOMAIN", servers[server])
    monkeypatch.setattr(sdk, "KEEP_ALIVE", via == "kept")
    handler = Records()
    for name in CLIENT_LOGGERS:
        logger = logging.getLogger(name)
        monkeypatch.setattr(logger, "level", logging.DEBUG)
        logger.addHandler(handler)
    try:
        client = (AsyncChatDataSDK if via == "async" else sdk.ChatDataSDK)("corp", 1, "ability", "job")
        client.set_req_id(kind)
        client.set_read_timeout(READ_TIMEOUT_S)
        err = caught_async(client) if via == "async" else caught(client)
    finally:
        for name in CLIENT_LOGGERS:
            logging.getLogger(name).removeHandler(handler)
    assert type(err) is exc_type if exc_type else err is None, repr(err)
    logged = [r.getMessage() for r in handler.records] + [r.exc_text or "" for r in handler.records]
    # urllib3 logs each answered request line, with the URL
    assert any('"POST %s?%s***' % (RELAY_PATH, RELAY_QUERY_PREFIX) in m for m in logged) == answered
    assert any(m.startswith("POST ") and m.endswith("?" + RELAY_QUERY_PREFIX + "***") for m in logged) == (
        via == "async")
    frames = []
    tb = err.__traceback__ if err is not None else None
    while tb is not None:
        frames.append(tb.tb_frame.f_locals)
        tb = tb.tb_next
    places = {
        "error": list(texts(err, 5, set())),
        "frames": [t for f in frames for t in texts(f, 3, set())],
        "logging": logged,
        "stdout": [capsys.readouterr().out],
    }
    found = dict((place, sum(occurrences(t) for t in ts)) for place, ts in places.items())
    assert found == dict.fromkeys(places, 0)
    if err is not None:
        assert err.request.url.endswith(RELAY_PATH + "?" + RELAY_QUERY_PREFIX + "***")
        assert err.__cause__ is None and err.__context__ is None
        assert len(frames) == 1 or via == "async"
        assert err.args == (str(err),)  # a text, whatever the client's error held
        if kind == "redirects":
            assert err.response.status_code == 307 and len(err.response.history) == 30
            assert err.response.url.endswith("access_token=***") and str(err) == "Exceeded 30 redirects."
