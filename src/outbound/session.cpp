// Outbound posts over kept-alive connections.
//
// `requests.post` builds a session for one request and closes it, so every
// call pays for a new TCP connection and TLS handshake. While the module's
// `requests.post` is the HTTP client's own function, the post goes instead
// through a session that the module keeps for the calling thread, the way
// `Session.request` sends it (request, prepared request, environment
// settings, send), so that consecutive calls of a thread reuse a connection.
// What a caller can observe stays as it was:
//  - the session trusts the environment, as a fresh one does, so proxies,
//    NO_PROXY and the CA bundle are read again on every call; when what
//    they give changes, the session's pooled connections are closed first,
//    so that a changed CA bundle or client certificate applies to the
//    connection as well;
//  - its cookie jar is emptied before every call: no cookie that a server
//    set reaches a later call (cookies set during one call's redirects still
//    flow within that call, as they do in a fresh session);
//  - a connection idle for longer than kIdleLimitS is closed, not reused,
//    well before common servers drop idle connections (gunicorn after 2 s,
//    uvicorn and Apache after 5 s, nginx after 75 s); one that the server
//    closed earlier is noticed by the HTTP client's pool before reuse;
//  - a process never uses a session of the process it was forked from: the
//    inherited one is dropped unused;
//  - a replaced `requests.post` (or `requests`), and KEEP_ALIVE set false,
//    get the call exactly as before.
#include "outbound/session.hpp"

#include <unistd.h>

#include <chrono>

namespace vq {

namespace {

constexpr double kIdleLimitS = 1.0;

// The HTTP client's own objects, as they are when the module is initialised.
PyObject* g_requests = nullptr;       // the requests package
PyObject* g_api = nullptr;            // requests.api
PyObject* g_api_post = nullptr;       // requests.api.post (requests.post)
PyObject* g_api_request = nullptr;    // requests.api.request, which post calls
PyObject* g_sessions = nullptr;       // requests.sessions
PyObject* g_session_class = nullptr;  // requests.sessions.Session, which request makes
PyObject* g_session_request = nullptr;  // Session.request, which request calls
PyObject* g_request_class = nullptr;  // requests.sessions.Request, which Session.request makes
PyObject* g_holder = nullptr;         // threading.local() holding each thread's KeptSession

// One thread's session and what is known about its connections.
struct KeptSession {
    PyObject* session;   // owned
    PyObject* settings;  // owned: the environment settings of the last call, or null
    pid_t pid;           // the process that made the session
    double last_use;     // monotonic seconds at the end of the last call
};

const char* const kCapsuleName = "vqspecapisdk.kept_session";

void free_kept(PyObject* capsule) {
    auto* k = static_cast<KeptSession*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!k) {
        PyErr_Clear();
        return;
    }
    Py_XDECREF(k->session);
    Py_XDECREF(k->settings);
    delete k;
}

double monotonic_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

py::object imported(const char* name) { return steal(PyImport_ImportModule(name)); }

PyObject* keep_attr(PyObject* obj, const char* name) { return steal(PyObject_GetAttrString(obj, name)).release().ptr(); }

// True when `requests` and its `post` are the HTTP client's own and the
// functions that post reaches have not been replaced either.
bool clients_own_post(PyObject* requests_mod, PyObject* post) {
    if (requests_mod != g_requests || post != g_api_post) return false;
    py::object request = VQ_GET(g_api, "request");
    if (request.ptr() != g_api_request) return false;
    py::object session_class = VQ_GET(g_sessions, "Session");
    if (session_class.ptr() != g_session_class) return false;
    py::object session_request = VQ_GET(g_session_class, "request");
    if (session_request.ptr() != g_session_request) return false;
    py::object request_class = VQ_GET(g_sessions, "Request");
    return request_class.ptr() == g_request_class;
}

// Close the pooled connections; the session opens new ones when next used.
void close_connections(PyObject* session) { call_method(session, VQ_NAME("close")); }

// The calling thread's session, ready for a call: the capsule that holds it
// (kept alive by the caller through the call) and its record.
py::object session_for_call(KeptSession*& out) {
    pid_t pid = getpid();
    double now = monotonic_s();
    KeptSession* k = nullptr;
    py::object owner;
    PyObject* capsule = PyObject_GetAttr(g_holder, VQ_NAME("kept"));
    if (capsule) {
        owner = steal(capsule);
        k = static_cast<KeptSession*>(PyCapsule_GetPointer(capsule, kCapsuleName));
        check(k != nullptr);
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    } else {
        throw py::error_already_set();
    }
    if (k == nullptr || k->pid != pid) {
        // First call of this thread, or a session inherited across fork: a
        // new one. The inherited one is dropped without being used; dropping
        // it only closes this process's descriptors of the parent's sockets.
        py::object session = steal(PyObject_CallObject(g_session_class, nullptr));
        auto* fresh = new KeptSession{session.release().ptr(), nullptr, pid, now};
        PyObject* made = PyCapsule_New(fresh, kCapsuleName, free_kept);
        if (!made) {
            Py_DECREF(fresh->session);
            delete fresh;
            throw py::error_already_set();
        }
        owner = steal(made);
        check(PyObject_SetAttr(g_holder, VQ_NAME("kept"), made) == 0);
        k = fresh;
    } else if (now - k->last_use > kIdleLimitS) {
        close_connections(k->session);
    }
    py::object cookies = VQ_GET(k->session, "cookies");
    call_method(cookies.ptr(), VQ_NAME("clear"));
    out = k;
    return owner;
}

// The environment settings (proxies, CA bundle, client certificate) for the
// prepared request, as Session.request takes them; when they differ from the
// last call's, the pooled connections (made under the old ones) are closed.
py::object settings_for(KeptSession* k, PyObject* prepared) {
    py::object prepared_url = VQ_GET(prepared, "url");
    py::dict no_proxies;
    py::object settings = call_method(k->session, VQ_NAME("merge_environment_settings"),
                                      {prepared_url.ptr(), no_proxies.ptr(), Py_None, Py_None, Py_None});
    if (k->settings != nullptr) {
        int same = PyObject_RichCompareBool(k->settings, settings.ptr(), Py_EQ);
        check(same >= 0);
        if (!same) close_connections(k->session);
    }
    Py_XSETREF(k->settings, settings.inc_ref().ptr());
    return settings;
}

}  // namespace

void init_kept_sessions() {
    py::object requests_mod = imported("requests");
    py::object api = imported("requests.api");
    py::object sessions = imported("requests.sessions");
    g_requests = requests_mod.release().ptr();
    g_api = api.release().ptr();
    g_api_post = keep_attr(g_api, "post");
    g_api_request = keep_attr(g_api, "request");
    g_sessions = sessions.release().ptr();
    g_session_class = keep_attr(g_sessions, "Session");
    g_session_request = keep_attr(g_session_class, "request");
    g_request_class = keep_attr(g_sessions, "Request");
    py::object threading_mod = imported("threading");
    g_holder = steal(PyObject_CallMethod(threading_mod.ptr(), "local", nullptr)).release().ptr();
}

namespace {

PyObject* post(PyObject* url, PyObject* kwargs) {
    py::object requests_mod = VQ_GLOBAL("requests");
    py::object post = VQ_GET(requests_mod.ptr(), "post");
    py::object keep_alive = VQ_GLOBAL("KEEP_ALIVE");
    int on = PyObject_IsTrue(keep_alive.ptr());
    check(on >= 0);
    if (!on || !clients_own_post(requests_mod.ptr(), post.ptr())) {
        py::tuple args = py::make_tuple(borrow(url));
        return PyObject_Call(post.ptr(), args.ptr(), kwargs);
    }
    // requests.post(url, data=data, headers=..., timeout=...) is
    // Session().request("post", url, data=data, json=None, headers=..., timeout=...),
    // which does what follows on the session.
    KeptSession* k = nullptr;
    py::object owner = session_for_call(k);
    py::dict req_kwargs;
    req_kwargs["method"] = borrow(interned("POST"));
    req_kwargs["url"] = borrow(url);
    PyObject* headers = PyDict_GetItem(kwargs, VQ_NAME("headers"));
    req_kwargs["headers"] = borrow(headers ? headers : Py_None);
    PyObject* data = PyDict_GetItem(kwargs, VQ_NAME("data"));
    int has_data = data ? PyObject_IsTrue(data) : 0;
    check(has_data >= 0);
    req_kwargs["data"] = has_data ? borrow(data) : py::dict();
    req_kwargs["json"] = py::none();
    req_kwargs["params"] = py::dict();
    py::tuple no_args;
    py::object req = steal(PyObject_Call(g_request_class, no_args.ptr(), req_kwargs.ptr()));
    py::object prepared = call_method(k->session, VQ_NAME("prepare_request"), {req.ptr()});
    py::object settings = settings_for(k, prepared.ptr());
    py::dict send_kwargs;
    PyObject* timeout = PyDict_GetItem(kwargs, VQ_NAME("timeout"));
    send_kwargs["timeout"] = borrow(timeout ? timeout : Py_None);
    send_kwargs["allow_redirects"] = py::bool_(true);
    check(PyDict_Update(send_kwargs.ptr(), settings.ptr()) == 0);
    py::object send = VQ_GET(k->session, "send");
    py::tuple send_args = py::make_tuple(prepared);
    PyObject* rsp = PyObject_Call(send.ptr(), send_args.ptr(), send_kwargs.ptr());
    k->last_use = monotonic_s();
    return rsp;
}

}  // namespace

PyObject* post_over_kept_session(PyObject* url, PyObject* kwargs) {
    try {
        return post(url, kwargs);
    } catch (py::error_already_set& e) {
        // Every failure reaches the caller as the pending error, as from the
        // HTTP client's own call: preparing the request raises the same
        // errors (an invalid URL quotes it) that requests.post raises.
        e.restore();
        return nullptr;
    }
}

}  // namespace vq
