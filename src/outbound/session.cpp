// Outbound posts over kept-alive connections.
//
// `requests.post` builds a session for one request and closes it, so every
// call pays for a new TCP connection and TLS handshake. While the module's
// `requests`, its `post` and what that reaches (`requests.api.request`,
// `requests.sessions.Session`) are the HTTP client's own and KEEP_ALIVE is
// true, the post goes instead through the calling thread's kept session:
// `_vqspecapisdk_http.post`, a small private Python helper that calls the
// session's own `request` as `requests.post` does (so the client's own steps
// run, a patched `Session.request` included) and says what stays as it was
// for a caller. Otherwise the call is `requests.post(url, **kwargs)` exactly.
#include "outbound/session.hpp"

namespace vq {

namespace {

// The HTTP client's own objects as they are when the module is initialised,
// and the helper; held for the life of the process.
struct Client {
    PyObject* requests;       // the requests package
    PyObject* api;            // requests.api
    PyObject* api_post;       // requests.api.post (requests.post)
    PyObject* api_request;    // requests.api.request, which post calls
    PyObject* sessions;       // requests.sessions
    PyObject* session_class;  // requests.sessions.Session, which request makes
    PyObject* helper;         // _vqspecapisdk_http
    PyObject* kept_post;      // _vqspecapisdk_http.post
};
Client g_client;

PyObject* imported(const char* name) { return check(PyImport_ImportModule(name)); }

PyObject* attr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

// True when `requests` and its `post` are the HTTP client's own and the
// functions that post reaches have not been replaced either.
bool clients_own_post(PyObject* requests_mod, PyObject* post) {
    if (requests_mod != g_client.requests || post != g_client.api_post) return false;
    py::object request = VQ_GET(g_client.api, "request");
    if (request.ptr() != g_client.api_request) return false;
    py::object session_class = VQ_GET(g_client.sessions, "Session");
    return session_class.ptr() == g_client.session_class;
}

PyObject* post(PyObject* url, PyObject* kwargs) {
    py::object requests_mod = VQ_GLOBAL("requests");
    py::object post = VQ_GET(requests_mod.ptr(), "post");
    py::object keep_alive = VQ_GLOBAL("KEEP_ALIVE");
    int on = PyObject_IsTrue(keep_alive.ptr());
    check(on >= 0);
    if (on && clients_own_post(requests_mod.ptr(), post.ptr()))
        return PyObject_CallFunctionObjArgs(g_client.kept_post, url, kwargs, nullptr);
    py::tuple args = py::make_tuple(borrow(url));
    return PyObject_Call(post.ptr(), args.ptr(), kwargs);
}

}  // namespace

void init_kept_sessions() {
    Client c;
    c.requests = imported("requests");
    c.api = imported("requests.api");
    c.api_post = attr(c.api, "post");
    c.api_request = attr(c.api, "request");
    c.sessions = imported("requests.sessions");
    c.session_class = attr(c.sessions, "Session");
    c.helper = imported("_vqspecapisdk_http");
    c.kept_post = attr(c.helper, "post");
    g_client = c;
}

PyObject* http_helper() { return g_client.helper; }

PyObject* post_over_kept_session(PyObject* url, PyObject* kwargs) {
    try {
        return post(url, kwargs);
    } catch (py::error_already_set& e) {
        // Every failure reaches the caller as the pending error, as from the
        // HTTP client's own call.
        e.restore();
        return nullptr;
    }
}

}  // namespace vq
