// Outbound posts over kept-alive connections: one HTTP client session per
// thread and process (kept by the private helper `_vqspecapisdk_http`), used
// only while the module's `requests.post` is the HTTP client's own function.
#pragma once

#include "module/common.hpp"

namespace vq {

// Remembers the HTTP client's own post function and session class as they
// are when the module is initialised, and imports the helper.
void init_kept_sessions();

// The private helper module `_vqspecapisdk_http` (borrowed, held for the
// life of the process).
PyObject* http_helper();

// One POST of `kwargs` (headers, data, timeout) to `url`. Through the
// thread's kept session when the module's `requests` and its `post` are the
// HTTP client's own and KEEP_ALIVE is true; otherwise `requests.post(url,
// **kwargs)` exactly. Returns the response (new reference), or null with the
// HTTP client's error set.
PyObject* post_over_kept_session(PyObject* url, PyObject* kwargs);

}  // namespace vq
