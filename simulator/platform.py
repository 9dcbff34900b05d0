"""An HTTPS stand-in for the platform's API gateway and its debug relay.

`PlatformSimulator` listens on 127.0.0.1 and answers the program's outbound
calls the way the platform does: it checks each request (headers, signature,
encryption, call body) against the secret record it is given, and answers
with a signed, encrypted result. Every request is recorded for tests, and
faults can be switched on at run time to make it answer the way a broken or
hostile counterpart would.

Paths served (POST only):

* the 45 gateway paths in API_METHODS ("/cgi-bin/chatdata/echo" and the 44
  API paths; `document_list` has no path of its own);
* the debug relay RELAY_PATH, with the query
  "_freego=vqfinal&access_token=TOKEN"; the API meant is named by the
  "vq-spec-trans-api" header.

Checks, in this order; the first that fails decides the answer's vq-status:

    4050  method is not POST
    4040  unknown path
    4009  relay: query is not "_freego=vqfinal&access_token=" + the access token
    4001  a required header is missing: Accept, Content-Type, vq-secret-ver,
          vq-signature, vq-nonce, vq-timestamp, vq-program-id, vq-req-id,
          vq-spec-sdk-version, Content-Length (and vq-spec-trans-api on the relay)
    4002  Content-Type is not application/json
    4010  relay: vq-spec-trans-api names no known API path
    4003  vq-secret-ver is not the version of the record in force
    4004  vq-program-id is not the record's program id
    4011  vq-timestamp is not decimal digits, or vq-nonce not a decimal
          number from 0 to 2147483646
    4012  vq-timestamp further than `max_skew` seconds from now (only when
          max_skew is set)
    4006  Content-Length does not match the body received
    4005  vq-signature is not the signature of the body as sent
    4007  the body does not decrypt to a JSON object
    4008  the call body's keys are not exactly corpid, agentid, data,
          job_info, ability_id, or a value has the wrong JSON type

A rejected request still gets a signed, encrypted answer, with HTTP status
200, that vq-status, and the body {"errcode": CODE, "errmsg": REASON}.
An accepted one gets vq-status "0" and the API's result: for echo the
call's `data` text itself, for the other APIs a small JSON object with
"errcode": 0, "errmsg": "ok" and a few fields of that API.

Answer headers, in this order: Content-Type ("text/plain"), Content-Length,
vq-secret-ver, vq-signature, vq-nonce, vq-timestamp, vq-status. No Server or
Date header is added, so an answer's header list is exactly the recorded one.

Faults (`set_fault(kind, path=None, req_id=None, **params)`; `path` is an API
path, the relay path, or None for every path; `req_id`, if given, limits the
fault to requests with that vq-req-id; the more specific fault of a kind
takes precedence over the more general one):

    plain          answer `text` (default: the result, unencrypted) with no
                   vq- header at all
    missing_header leave out the header `name` (a name or a list of names)
    bad_signature  send `signature`, or with upper=True the right one in
                   capitals (default: one made with another token)
    status         send `value` as vq-status text (e.g. "7", " 0 ")
    secret_ver     send `value` as vq-secret-ver (the signature covers it)
    http500        HTTP status `code` (default 500) with a valid signed answer
    slow           wait `seconds` (at most MAX_SLOW) before answering
    charset        Content-Type "text/plain; charset=`charset`", body
                   encoded with that charset
    content_type   send `value` as the Content-Type
    result         answer with `text` as the result (before encryption)
    undecryptable  encrypt the body with another key (the signature is valid)
    header_case    write the vq- header names with capitals ("Vq-Status")
    extra_header   add the header `name`: `value` at the end
    close          close the connection without any answer

Connections (constructor options, all off by default):

    keep_alive     speak HTTP/1.1 and keep a connection open between
                   requests (otherwise HTTP/1.0, one request a connection)
    idle_close     close a kept connection that has waited this many seconds
                   for its next request, silently, as servers do after their
                   keep-alive time-out
    close_after    close a kept connection after this many answers; the last
                   one says "Connection: close", as servers that limit the
                   requests of a connection do
    delay          seconds added to everything sent each way (a delaying TCP
                   proxy in front of the server; setting up a connection
                   costs one round trip more), to model a network's
                   round-trip time on 127.0.0.1

Each request record names the connection it came on ("conn": a serial
number, 1 for the first connection the server accepted).
"""
import hashlib
import json
import random
import shutil
import socket
import socketserver
import ssl
import tempfile
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple, cast

from http.server import BaseHTTPRequestHandler, HTTPServer
from urllib.parse import unquote

from . import certs as _certs
from . import wire

# (method name, API path): echo and the 44 API methods of ChatDataSDK, in the
# order the client defines them.
API_METHODS = [
    ("echo", "/cgi-bin/chatdata/echo"),
    ("sync_msg", "/cgi-bin/chatdata/sync_msg"),
    ("get_msg_list_by_page_id", "/cgi-bin/chatdata/get_msg_list_by_page_id"),
    ("get_group_chat", "/cgi-bin/chatdata/groupchat/get"),
    ("get_agree_status_single", "/cgi-bin/chatdata/getagreestatus/single"),
    ("get_agree_status_room", "/cgi-bin/chatdata/getagreestatus/room"),
    ("set_hide_sensitiveinfo_config", "/cgi-bin/chatdata/set_hide_sensitiveinfo_config"),
    ("get_hide_sensitiveinfo_config", "/cgi-bin/chatdata/get_hide_sensitiveinfo_config"),
    ("search_chat", "/cgi-bin/chatdata/search_chat"),
    ("search_msg", "/cgi-bin/chatdata/search_msg"),
    ("create_rule", "/cgi-bin/chatdata/keyword/create_rule"),
    ("get_rule_list", "/cgi-bin/chatdata/keyword/get_rule_list"),
    ("get_rule_detail", "/cgi-bin/chatdata/keyword/get_rule_detail"),
    ("update_rule", "/cgi-bin/chatdata/keyword/update_rule"),
    ("delete_rule", "/cgi-bin/chatdata/keyword/delete_rule"),
    ("get_hit_msg_list", "/cgi-bin/chatdata/keyword/get_hit_msg_list"),
    ("create_sentiment_task", "/cgi-bin/chatdata/analyze/create_sentiment_task"),
    ("get_sentiment_result", "/cgi-bin/chatdata/analyze/get_sentiment_result"),
    ("create_summary_task", "/cgi-bin/chatdata/analyze/create_summary_task"),
    ("get_summary_result", "/cgi-bin/chatdata/analyze/get_summary_result"),
    ("create_customer_tag_task", "/cgi-bin/chatdata/analyze/create_customer_tag_task"),
    ("get_customer_tag_result", "/cgi-bin/chatdata/analyze/get_customer_tag_result"),
    ("create_recommend_dialog_task", "/cgi-bin/chatdata/analyze/create_recommend_dialog_task"),
    ("get_recommend_dialog_result", "/cgi-bin/chatdata/analyze/get_recommend_dialog_result"),
    ("create_model_task", "/cgi-bin/chatdata/analyze/create_model_task"),
    ("get_model_task_result", "/cgi-bin/chatdata/analyze/get_model_task_result"),
    ("knowledge_base_list", "/cgi-bin/knowledgebase/list"),
    ("knowledge_base_create", "/cgi-bin/knowledgebase/create"),
    ("knowledge_base_detail", "/cgi-bin/knowledgebase/detail"),
    ("knowledge_base_add_doc", "/cgi-bin/knowledgebase/add_document"),
    ("knowledge_base_remove_doc", "/cgi-bin/knowledgebase/remove_document"),
    ("knowledge_base_modify_name", "/cgi-bin/knowledgebase/rename"),
    ("knowledge_base_delete", "/cgi-bin/knowledgebase/delete"),
    ("create_spam_task", "/cgi-bin/chatdata/analyze/create_spam_task"),
    ("get_spam_result", "/cgi-bin/chatdata/analyze/get_spam_result"),
    ("create_chatdata_export_job", "/cgi-bin/chatdata/export/create_job"),
    ("get_chatdata_export_job_status", "/cgi-bin/chatdata/export/get_job_status"),
    ("program_async_job_call_back", "/cgi-bin/spec/program_async_job_call_back"),
    ("spec_notify_app", "/cgi-bin/chatdata/notifyapp"),
    ("create_program_task", "/cgi-bin/chatdata/analyze/create_program_task"),
    ("get_program_task_result", "/cgi-bin/chatdata/analyze/get_program_task_result"),
    ("create_vq_model_task", "/cgi-bin/chatdata/analyze/create_vq_model_task"),
    ("get_vq_model_result", "/cgi-bin/chatdata/analyze/get_vq_model_result"),
    ("search_contact_or_customer", "/cgi-bin/chatdata/search_contact_or_customer"),
]
# Client methods without a path of their own, and the method they stand for.
API_ALIASES = {"document_list": "knowledge_base_list"}
API_PATHS = frozenset(p for _, p in API_METHODS)
ECHO_PATH = "/cgi-bin/chatdata/echo"
RELAY_PATH = "/cgi-bin/chatdata/sdk_debug_trans"
RELAY_QUERY_PREFIX = "_freego=vqfinal&access_token="

REQUIRED_HEADERS = ("Accept", "Content-Type", "vq-secret-ver", "vq-signature", "vq-nonce",
                    "vq-timestamp", "vq-program-id", "vq-req-id", "vq-spec-sdk-version",
                    "Content-Length")
TRANS_API_HEADER = "vq-spec-trans-api"
CALL_BODY_KEYS = ("corpid", "agentid", "data", "job_info", "ability_id")
NONCE_MAX = 2147483646

OK = 0
E_MISSING_HEADER = 4001
E_CONTENT_TYPE = 4002
E_SECRET_VER = 4003
E_PROGRAM_ID = 4004
E_SIGNATURE = 4005
E_LENGTH = 4006
E_DECRYPT = 4007
E_CALL_BODY = 4008
E_ACCESS_TOKEN = 4009
E_TRANS_API = 4010
E_STAMP = 4011
E_SKEW = 4012
E_NOT_FOUND = 4040
E_METHOD = 4050

FAULT_KINDS = frozenset([
    "plain", "missing_header", "bad_signature", "status", "secret_ver", "http500", "slow",
    "charset", "content_type", "result", "undecryptable", "header_case", "extra_header",
    "close",
])
MAX_SLOW = 30.0
MAX_BODY = 16 * 1024 * 1024
CONNECTION_TIMEOUT = 10.0


def _ident(prefix: str, seed: str) -> str:
    return prefix + hashlib.md5(seed.encode("utf-8")).hexdigest()[:12]


def api_result(api: str, call: Dict[str, Any]) -> str:
    """The result text the platform gives for an accepted call of `api`.

    For echo it is the call's data text itself; for the other APIs a small
    JSON object. It depends only on the API and the call body.
    """
    data: str = call.get("data", "")
    if api == ECHO_PATH:
        return data
    name = api.rsplit("/", 1)[-1]
    group = api.split("/")[-2]
    seed = api + "\n" + data
    extra: Dict[str, Any] = {}
    if api == "/cgi-bin/chatdata/sync_msg":
        extra = {"next_cursor": _ident("cur_", seed), "has_more": False,
                 "msg_list": [{"msgid": _ident("msg_", seed), "msgtype": "text",
                               "text": {"content": "hello"}}]}
    elif api == "/cgi-bin/chatdata/get_msg_list_by_page_id":
        extra = {"msg_list": [], "has_more": False}
    elif api == "/cgi-bin/chatdata/groupchat/get":
        extra = {"group_chat": {"chat_id": _ident("wr", seed), "owner": "zhangsan",
                                "create_time": 1700000000,
                                "member_list": [{"userid": "zhangsan", "join_time": 1700000000}]}}
    elif group == "getagreestatus":
        extra = {"agreeinfo": [{"status_change_time": 1700000000, "agree_status": "Agree"}]}
    elif name == "get_hide_sensitiveinfo_config":
        extra = {"hide_mobile": 1, "hide_bankcard": 1, "hide_idcard": 1}
    elif name == "search_chat":
        extra = {"chat_list": [], "has_more": False}
    elif name in ("search_msg", "get_hit_msg_list"):
        extra = {"msg_list": [], "next_cursor": ""}
    elif name == "create_rule":
        extra = {"rule_id": _ident("rule_", seed)}
    elif name == "get_rule_list":
        extra = {"rule_list": [{"rule_id": "rule_1", "name": "refund"}], "has_more": False}
    elif name == "get_rule_detail":
        extra = {"rule": {"rule_id": "rule_1", "name": "refund", "word_list": ["refund"]}}
    elif api == "/cgi-bin/knowledgebase/list":
        extra = {"knowledge_base_list": [{"kb_id": "kb_1", "name": "FAQ"}], "has_more": False}
    elif api == "/cgi-bin/knowledgebase/create":
        extra = {"kb_id": _ident("kb_", seed)}
    elif api == "/cgi-bin/knowledgebase/detail":
        extra = {"knowledge_base": {"kb_id": "kb_1", "name": "FAQ", "doc_list": []}}
    elif name == "create_job" or (name.startswith("create_") and name.endswith("_task")):
        extra = {"jobid": _ident("job_", seed)}
    elif name == "get_job_status":
        extra = {"status": 2, "progress": 100}
    elif name.startswith("get_") and name.endswith("_result"):
        extra = {"status": 2, "result": {"items": []}}
    elif name == "search_contact_or_customer":
        extra = {"contact_list": [], "customer_list": []}
    result: Dict[str, Any] = {"errcode": 0, "errmsg": "ok"}
    result.update(extra)
    return json.dumps(result, sort_keys=True)


class _Verdict(Exception):
    def __init__(self, code: int, reason: str) -> None:
        Exception.__init__(self, code, reason)
        self.code = code
        self.reason = reason


def _header(headers: Sequence[Tuple[str, str]], name: str) -> Optional[str]:
    """Last value of `name` (any case) in a header list, or None."""
    value = None
    lname = name.lower()
    for k, v in headers:
        if k.lower() == lname:
            value = v
    return value


def _is_decimal(text: Optional[str]) -> bool:
    return bool(text) and all(c in "0123456789" for c in cast(str, text))


def _capitalize(name: str) -> str:
    return "-".join(part[:1].upper() + part[1:] for part in name.split("-"))


class _Handler(BaseHTTPRequestHandler):
    server_version = "vq-platform-sim"
    sys_version = ""
    disable_nagle_algorithm = True

    def handle(self) -> None:
        sim = cast(_Server, self.server).sim
        if sim.keep_alive:
            self.protocol_version = "HTTP/1.1"
        self.answered = 0
        self.close_connection = True
        self.handle_one_request()
        while not self.close_connection:
            if sim.idle_close is not None:
                # Waiting for the next request line; a time-out ends the
                # connection without a word (handle_one_request notes it).
                self.connection.settimeout(sim.idle_close)
            self.raw_requestline = b""
            try:
                self.handle_one_request()
            except (ssl.SSLError, OSError):
                if self.raw_requestline:
                    raise
                return  # the client ended the kept connection without a TLS goodbye

    def log_message(self, format: str, *args: Any) -> None:  # keep test output clean
        pass

    def do_POST(self) -> None:
        cast(_Server, self.server).sim._handle(self)

    def do_GET(self) -> None:
        cast(_Server, self.server).sim._handle(self)

    do_PUT = do_GET
    do_DELETE = do_GET
    do_PATCH = do_GET


class _Server(socketserver.ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, sim: "PlatformSimulator", address: Tuple[str, int], context: ssl.SSLContext) -> None:
        self.sim = sim
        self.ssl_context = context
        self.current = threading.local()  # .conn: the serial of the thread's connection
        self.live: Dict[int, Any] = {}    # serial -> TLS socket of the open connections
        self._serials = 0
        self._live_lock = threading.Lock()
        HTTPServer.__init__(self, address, _Handler)

    def finish_request(self, request: Any, client_address: Any) -> None:
        # TLS is set up here, in the connection's own thread, so that a client
        # that stalls or aborts the handshake never holds up the others.
        request.settimeout(CONNECTION_TIMEOUT)
        with self._live_lock:
            self._serials += 1
            serial = self.current.conn = self._serials
        try:
            conn = self.ssl_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.sim._note_error("handshake", e)
            return
        with self._live_lock:
            self.live[serial] = conn
        try:
            cast(Any, self.RequestHandlerClass)(conn, client_address, self)  # typeshed types it with Self
        except Exception as e:  # the client went away, mostly
            self.sim._note_error("handler", e)
        finally:
            with self._live_lock:
                self.live.pop(serial, None)
            try:
                conn.close()
            except OSError:
                pass

    def end_kept_connections(self) -> None:
        """Wake every handler waiting on a kept connection: the client sees
        the connection end."""
        with self._live_lock:
            conns = list(self.live.values())
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except (OSError, ValueError):
                pass

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass


class PlatformSimulator(object):
    """The platform's HTTPS gateway and debug relay, on 127.0.0.1.

    record        the wire.SecretRecord in force (signing, encryption, checks)
    access_token  the access token the debug relay expects in its query
    cert_dir      directory with ca.pem, server.pem, server.key (made there
                  if missing); default: a temporary one, removed by stop()
    port          0 for an ephemeral port
    lifetime      seconds after which the server stops by itself
    max_skew      if set, refuse vq-timestamp further than this from now
    on_request    optional callable given each request record as it is made
    keep_alive, idle_close, close_after, delay
                  connection handling, see the module's documentation
    """

    def __init__(self, record: wire.SecretRecord, access_token: str = "", cert_dir: Optional[str] = None,
                 port: int = 0, lifetime: float = 600.0, max_skew: Optional[float] = None,
                 on_request: Optional[Callable[[Dict[str, Any]], object]] = None, keep_alive: bool = False,
                 idle_close: Optional[float] = None, close_after: Optional[int] = None,
                 delay: float = 0.0) -> None:
        self.keep_alive = keep_alive
        self.idle_close = idle_close
        self.close_after = close_after
        self.delay = delay
        self._proxy: Optional[DelayProxy] = None
        self.record = record
        self.access_token = access_token
        self.max_skew = max_skew
        self.on_request = on_request
        self._lifetime = lifetime
        self._own_cert_dir = cert_dir is None
        self._cert_dir = cert_dir
        self._port = port
        self._lock = threading.Lock()
        self._stop_lock = threading.Lock()
        self._records: List[Dict[str, Any]] = []
        self._errors: List[Tuple[str, str]] = []
        self._faults: Dict[Tuple[Optional[str], Optional[str]], Dict[str, Dict[str, Any]]] = {}
        self._stop_event = threading.Event()
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None
        self._timer: Optional[threading.Timer] = None
        self.certs: Optional[_certs.CertPaths] = None

    # -- life cycle ---------------------------------------------------------

    def start(self) -> "PlatformSimulator":
        if self._server is not None:
            return self
        if self._cert_dir is None:
            self._cert_dir = tempfile.mkdtemp(prefix="vq-platform-")
        self.certs = _certs.ensure_certs(self._cert_dir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER if hasattr(ssl, "PROTOCOL_TLS_SERVER")
                                 else ssl.PROTOCOL_SSLv23)
        context.load_cert_chain(self.certs.cert, self.certs.key)
        self._server = _Server(self, ("127.0.0.1", self._port), context)
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="vq-platform-sim")
        self._thread.daemon = True
        self._thread.start()
        if self.delay:
            self._proxy = DelayProxy(self._server.server_address[1], self.delay).start()
        if self._lifetime:
            self._timer = threading.Timer(self._lifetime, self.stop)
            self._timer.daemon = True
            self._timer.start()
        return self

    def stop(self) -> None:
        with self._stop_lock:
            if self._server is None:
                return
            self._stop_event.set()
            server, self._server = self._server, None
            server.shutdown()
            server.server_close()
            if self._proxy is not None:
                self._proxy.stop()
                self._proxy = None
            if self.keep_alive:
                server.end_kept_connections()
            if self._timer is not None and self._timer is not threading.current_thread():
                self._timer.cancel()
            cast(threading.Thread, self._thread).join(5)
            if self._own_cert_dir and self._cert_dir:
                shutil.rmtree(self._cert_dir, ignore_errors=True)

    def wait(self, seconds: Optional[float] = None) -> bool:
        """Block until stop() (or the lifetime) ends the server; True if it did."""
        return self._stop_event.wait(seconds)

    def __enter__(self) -> "PlatformSimulator":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._server is not None

    @property
    def port(self) -> int:
        """The port clients use: the delaying proxy's when there is one."""
        if self._proxy is not None:
            return self._proxy.port
        return cast(_Server, self._server).server_address[1]

    @property
    def connections(self) -> List[int]:
        """Serial numbers of the connections still open, oldest first."""
        server = cast(_Server, self._server)
        with server._live_lock:
            return sorted(server.live)

    @property
    def base_url(self) -> str:
        return "https://127.0.0.1:%d" % self.port

    @property
    def relay_url(self) -> str:
        return self.base_url + RELAY_PATH + "?" + RELAY_QUERY_PREFIX + self.access_token

    @property
    def ca_path(self) -> str:
        return cast(_certs.CertPaths, self.certs).ca

    @property
    def cert_dir(self) -> Optional[str]:
        return self._cert_dir

    # -- records -------------------------------------------------------------

    @property
    def requests(self) -> List[Dict[str, Any]]:
        """A copy of the request records, oldest first."""
        with self._lock:
            return list(self._records)

    def requests_for(self, req_id: Optional[str] = None, api: Optional[str] = None) -> List[Dict[str, Any]]:
        return [r for r in self.requests
                if (req_id is None or _header(r["headers"], "vq-req-id") == req_id)
                and (api is None or r["api"] == api)]

    def clear_requests(self) -> None:
        with self._lock:
            del self._records[:]
            del self._errors[:]

    @property
    def errors(self) -> List[Tuple[str, str]]:
        with self._lock:
            return list(self._errors)

    def wait_for(self, predicate: Callable[["PlatformSimulator"], object], timeout: float = 5.0) -> bool:
        """Poll predicate(self) until it is true or `timeout` seconds pass."""
        deadline = time.time() + timeout
        while True:
            if predicate(self):
                return True
            if time.time() >= deadline:
                return False
            time.sleep(0.01)

    def _note_error(self, where: str, exc: BaseException) -> None:
        with self._lock:
            self._errors.append((where, repr(exc)))

    # -- faults --------------------------------------------------------------

    def set_fault(self, kind: str, path: Optional[str] = None, req_id: Optional[str] = None, **params: Any) -> None:
        """Switch on a fault for `path` (None: every path) and, if given, only
        for requests whose vq-req-id is `req_id`."""
        if kind not in FAULT_KINDS:
            raise ValueError("unknown fault kind %r" % (kind,))
        if kind == "missing_header" and "name" not in params:
            raise ValueError("missing_header needs name=")
        if kind in ("status", "secret_ver", "content_type") and "value" not in params:
            raise ValueError("%s needs value=" % kind)
        if kind == "charset" and "charset" not in params:
            raise ValueError("charset needs charset=")
        if kind == "extra_header" and not ("name" in params and "value" in params):
            raise ValueError("extra_header needs name= and value=")
        if kind == "result" and "text" not in params:
            raise ValueError("result needs text=")
        with self._lock:
            self._faults.setdefault((path, req_id), {})[kind] = dict(params)

    def clear_faults(self, path: Optional[str] = None, kind: Optional[str] = None,
                     req_id: Optional[str] = None) -> None:
        """Drop faults: all of them by default, or those of `path`, `req_id`, `kind`."""
        with self._lock:
            for key in list(self._faults):
                if path is not None and key[0] != path:
                    continue
                if req_id is not None and key[1] != req_id:
                    continue
                if kind is None:
                    del self._faults[key]
                else:
                    self._faults[key].pop(kind, None)

    def _faults_for(self, url_path: str, api: Optional[str], req_id: Optional[str]) -> Dict[str, Dict[str, Any]]:
        # From the most general to the most specific: later ones win.
        keys: List[Tuple[Optional[str], Optional[str]]] = [(None, None), (url_path, None), (api, None)]
        if req_id is not None:
            keys += [(None, req_id), (url_path, req_id), (api, req_id)]
        active: Dict[str, Dict[str, Any]] = {}
        seen: Set[Tuple[Optional[str], Optional[str]]] = set()
        with self._lock:
            for key in keys:
                if key not in seen:
                    seen.add(key)
                    active.update(self._faults.get(key, {}))
        return active

    # -- request handling ------------------------------------------------------

    def _check(self, method: str, url_path: str, query: str, headers: List[Tuple[str, str]], raw_body: bytes,
               relay: bool) -> Dict[str, Any]:
        rec = self.record
        if method != "POST":
            raise _Verdict(E_METHOD, "method %s not allowed" % method)
        if not relay and url_path not in API_PATHS:
            raise _Verdict(E_NOT_FOUND, "unknown path %s" % url_path)
        if relay:
            if not query.startswith(RELAY_QUERY_PREFIX):
                raise _Verdict(E_ACCESS_TOKEN, "bad relay query")
            token = query[len(RELAY_QUERY_PREFIX):]
            if not self.access_token or (token != self.access_token and unquote(token) != self.access_token):
                raise _Verdict(E_ACCESS_TOKEN, "invalid access_token")
        required = REQUIRED_HEADERS + ((TRANS_API_HEADER,) if relay else ())
        for name in required:
            if _header(headers, name) is None:
                raise _Verdict(E_MISSING_HEADER, "missing header %s" % name)
        ctype = cast(str, _header(headers, "Content-Type"))
        if ctype.split(";")[0].strip().lower() != "application/json":
            raise _Verdict(E_CONTENT_TYPE, "unexpected Content-Type %s" % ctype)
        if relay and _header(headers, TRANS_API_HEADER) not in API_PATHS:
            raise _Verdict(E_TRANS_API, "unknown api %s" % _header(headers, TRANS_API_HEADER))
        ver = _header(headers, "vq-secret-ver")
        if ver != rec.ver:
            raise _Verdict(E_SECRET_VER, "secret version %s not in force" % ver)
        if _header(headers, "vq-program-id") != rec.program_id:
            raise _Verdict(E_PROGRAM_ID, "program id mismatch")
        # Required headers: present (checked above).
        stamp = cast(str, _header(headers, "vq-timestamp"))
        nonce = cast(str, _header(headers, "vq-nonce"))
        if not _is_decimal(stamp):
            raise _Verdict(E_STAMP, "bad vq-timestamp")
        if not (_is_decimal(nonce) and int(nonce) <= NONCE_MAX):
            raise _Verdict(E_STAMP, "bad vq-nonce")
        if self.max_skew is not None and abs(int(stamp) - time.time()) > self.max_skew:
            raise _Verdict(E_SKEW, "vq-timestamp out of range")
        length = cast(str, _header(headers, "Content-Length"))
        if not (_is_decimal(length) and int(length) == len(raw_body)):
            raise _Verdict(E_LENGTH, "Content-Length mismatch")
        try:
            body = raw_body.decode("utf-8")
        except UnicodeDecodeError:
            raise _Verdict(E_SIGNATURE, "invalid signature")
        expected = wire.sign(rec.token, body, stamp, nonce, ver)
        if _header(headers, "vq-signature") != expected:
            raise _Verdict(E_SIGNATURE, "invalid signature")
        try:
            call = json.loads(wire.decrypt(rec.encoding_aes_key, body))
        except Exception:
            raise _Verdict(E_DECRYPT, "body does not decrypt")
        if not isinstance(call, dict):
            raise _Verdict(E_DECRYPT, "body is not a JSON object")
        if sorted(call) != sorted(CALL_BODY_KEYS):
            raise _Verdict(E_CALL_BODY, "call body keys %s" % ",".join(sorted(call)))
        types_ok = (all(isinstance(call[k], str) for k in ("corpid", "data", "job_info", "ability_id"))
                    and isinstance(call["agentid"], int) and not isinstance(call["agentid"], bool))
        if not types_ok:
            raise _Verdict(E_CALL_BODY, "call body value types")
        return call

    def _handle(self, handler: BaseHTTPRequestHandler) -> None:
        handler.connection.settimeout(CONNECTION_TIMEOUT)
        method = handler.command
        raw_path = handler.path
        url_path, _, query = raw_path.partition("?")
        headers = list(handler.headers.items())
        raw_body = b""
        length = _header(headers, "Content-Length")
        if _is_decimal(length) and int(cast(str, length)) <= MAX_BODY:
            raw_body = handler.rfile.read(int(cast(str, length)))
        if not _is_decimal(length) or int(cast(str, length)) != len(raw_body) or \
                _header(headers, "Transfer-Encoding") is not None:
            handler.close_connection = True  # the rest of the body would read as the next request
        relay = url_path == RELAY_PATH
        api = _header(headers, TRANS_API_HEADER) if relay else url_path
        call = None
        try:
            call = self._check(method, url_path, query, headers, raw_body, relay)
            verdict, reason = OK, "ok"
            result = api_result(cast(str, api), call)  # a relay call without an api is refused above
        except _Verdict as v:
            verdict, reason = v.code, v.reason
            result = json.dumps({"errcode": v.code, "errmsg": v.reason})
        faults = self._faults_for(url_path, api, _header(headers, "vq-req-id"))
        answer = None if "close" in faults else self._answer(verdict, result, faults)
        record = {
            "method": method, "path": url_path, "query": query, "raw_path": raw_path,
            "headers": headers, "body": raw_body.decode("utf-8", "replace"), "raw_body": raw_body,
            "call": call, "api": api if (relay or url_path in API_PATHS) else None, "relay": relay,
            "verdict": verdict, "reason": reason, "result": result, "answer": answer,
            "faults": sorted(faults), "time": time.time(),
            "conn": getattr(cast(_Server, handler.server).current, "conn", None),
        }
        with self._lock:
            self._records.append(record)
        if self.on_request is not None:
            try:
                self.on_request(record)
            except Exception as e:
                self._note_error("on_request", e)
        if "slow" in faults:
            self._stop_event.wait(min(float(faults["slow"].get("seconds", 1.0)), MAX_SLOW))
        if answer is None:
            # A clean TLS close: the client sees the connection end, not a
            # broken TLS stream.
            handler.close_connection = True
            try:
                handler.connection.unwrap()
            except (ssl.SSLError, OSError, ValueError) as e:
                self._note_error("close", e)
            return
        last = self.close_after is not None and cast(Any, handler).answered + 1 >= self.close_after
        if last and self.keep_alive and not handler.close_connection:
            answer["headers"].append(("Connection", "close"))  # send_header ends the connection after it
        handler.send_response_only(answer["status_code"])
        for name, value in answer["headers"]:
            handler.send_header(name, value)
        handler.end_headers()
        handler.wfile.write(answer["raw_body"])
        handler.wfile.flush()
        cast(Any, handler).answered += 1

    def _answer(self, verdict: int, result: str, faults: Dict[str, Dict[str, Any]]) -> Dict[str, Any]:
        rec = self.record
        status_code = int(faults["http500"].get("code", 500)) if "http500" in faults else 200
        if "result" in faults:
            result = faults["result"]["text"]
        charset = faults["charset"]["charset"] if "charset" in faults else None
        ctype = "text/plain" if charset is None else "text/plain; charset=%s" % charset
        if "content_type" in faults:
            ctype = faults["content_type"]["value"]
        if "plain" in faults:
            text = faults["plain"].get("text")
            body = result if text is None else text
            vq = []
        else:
            key = rec.encoding_aes_key
            if "undecryptable" in faults:
                key = wire.make_key_text("another key " + rec.encoding_aes_key)
            body = wire.encrypt(key, result)
            ver = faults["secret_ver"]["value"] if "secret_ver" in faults else rec.ver
            stamp = str(int(time.time()))
            nonce = str(random.randint(0, NONCE_MAX))
            signature = wire.sign(rec.token, body, stamp, nonce, ver)
            if "bad_signature" in faults:
                params = faults["bad_signature"]
                if params.get("upper"):
                    signature = signature.upper()
                elif params.get("signature") is not None:
                    signature = params["signature"]
                else:
                    signature = wire.sign("not-" + rec.token, body, stamp, nonce, ver)
            status = faults["status"]["value"] if "status" in faults else str(verdict)
            vq = [("vq-secret-ver", ver), ("vq-signature", signature), ("vq-nonce", nonce),
                  ("vq-timestamp", stamp), ("vq-status", status)]
            if "header_case" in faults:
                vq = [(_capitalize(k), v) for k, v in vq]
        raw_body = body.encode(charset or "utf-8")
        headers = [("Content-Type", ctype), ("Content-Length", str(len(raw_body)))] + vq
        if "missing_header" in faults:
            names = faults["missing_header"]["name"]
            if isinstance(names, str):
                names = [names]
            drop = set(n.lower() for n in names)
            headers = [(k, v) for k, v in headers if k.lower() not in drop]
        if "extra_header" in faults:
            headers.append((faults["extra_header"]["name"], faults["extra_header"]["value"]))
        return {"status_code": status_code, "headers": headers, "body": body, "raw_body": raw_body}


class DelayProxy(object):
    """A TCP proxy on 127.0.0.1 in front of `target_port` that delivers every
    byte `delay` seconds after it arrived, in both directions, and holds a new
    connection's first bytes for one round trip (2 * delay) more, as the TCP
    handshake of a real network would. Byte order and the end of each
    direction are kept; no bandwidth limit.
    """

    def __init__(self, target_port: int, delay: float) -> None:
        self.target_port = target_port
        self.delay = delay
        self._listener: Optional[socket.socket] = None
        self._stopped = threading.Event()
        self._lock = threading.Lock()
        self._socks: List[socket.socket] = []
        self.port = 0

    def start(self) -> "DelayProxy":
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        t = threading.Thread(target=self._accept_loop, name="vq-delay-proxy")
        t.daemon = True
        t.start()
        return self

    def stop(self) -> None:
        self._stopped.set()
        with self._lock:
            socks, self._socks = self._socks, []
        for s in socks:
            try:
                s.close()
            except OSError:
                pass

    def _accept_loop(self) -> None:
        listener = cast(socket.socket, self._listener)
        try:
            while not self._stopped.is_set():
                try:
                    client, _ = listener.accept()
                except socket.timeout:
                    continue
                except OSError:
                    return
                accepted = time.time()
                try:
                    upstream = socket.create_connection(("127.0.0.1", self.target_port))
                except OSError:
                    client.close()
                    continue
                for s in (client, upstream):
                    s.settimeout(None)
                    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                with self._lock:
                    self._socks += [client, upstream]
                ends = [2]  # directions still open; the last one to end closes both sockets
                self._pipe(client, upstream, accepted + 2 * self.delay, ends)
                self._pipe(upstream, client, 0.0, ends)
        finally:
            listener.close()

    def _ended(self, ends: List[int], pair: Tuple[socket.socket, socket.socket]) -> None:
        with self._lock:
            ends[0] -= 1
            if ends[0] > 0:
                return
            for s in pair:
                if s in self._socks:
                    self._socks.remove(s)
        for s in pair:
            try:
                s.close()
            except OSError:
                pass

    def _pipe(self, src: socket.socket, dst: socket.socket, not_before: float, ends: List[int]) -> None:
        """Carry src's bytes to dst, each chunk `delay` seconds late."""
        chunks: List[Tuple[float, bytes]] = []
        ready = threading.Condition()

        def read() -> None:
            while True:
                try:
                    data = src.recv(65536)
                except OSError:
                    data = b""
                with ready:
                    chunks.append((max(time.time(), not_before) + self.delay, data))
                    ready.notify()
                if not data:
                    return

        def write() -> None:
            while True:
                with ready:
                    while not chunks:
                        ready.wait()
                    due, data = chunks.pop(0)
                wait = due - time.time()
                if wait > 0:
                    time.sleep(wait)
                try:
                    if data:
                        dst.sendall(data)
                        continue
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                self._ended(ends, (src, dst))
                return

        for fn in (read, write):
            t = threading.Thread(target=fn, name="vq-delay-pipe")
            t.daemon = True
            t.start()


def closed_port() -> int:
    """A 127.0.0.1 port that nothing listens on (connections are refused)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind(("127.0.0.1", 0))
        return cast(int, s.getsockname()[1])
    finally:
        s.close()


class StalledListener(object):
    """A 127.0.0.1 listener whose backlog is full: new connects time out.

    The listening socket never accepts; its queue is filled with a few
    connections of our own, so the kernel drops any further handshake and a
    client's connect waits for its time-out.
    """

    def __init__(self, fill_timeout: float = 0.2, max_fill: int = 8) -> None:
        self._fill_timeout = fill_timeout
        self._max_fill = max_fill
        self._server: Optional[socket.socket] = None
        self._held: List[socket.socket] = []
        self.port: Optional[int] = None

    def start(self) -> "StalledListener":
        self._server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._server.bind(("127.0.0.1", 0))
        self._server.listen(0)
        self.port = self._server.getsockname()[1]
        for _ in range(self._max_fill):
            c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            c.settimeout(self._fill_timeout)
            try:
                c.connect(("127.0.0.1", self.port))
            except (socket.timeout, OSError):
                c.close()
                return self  # the queue is full now
            self._held.append(c)
        raise RuntimeError("could not fill the listen queue")

    @property
    def base_url(self) -> str:
        return "https://127.0.0.1:%d" % cast(int, self.port)

    def stop(self) -> None:
        for c in self._held:
            c.close()
        del self._held[:]
        if self._server is not None:
            self._server.close()
            self._server = None

    def __enter__(self) -> "StalledListener":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
