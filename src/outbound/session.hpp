// Outbound posts over kept-alive connections: one HTTP client session per
// thread and process, used only while the module's `requests.post` is the
// HTTP client's own function.
#pragma once

#include "module/common.hpp"

namespace vq {

// Remembers the HTTP client's own post function and session class as they
// are when the module is initialised, and makes the per-thread holder.
void init_kept_sessions();

// One POST of `kwargs` (headers, data, timeout) to `url`. Through the
// thread's kept session when the module's `requests` and its `post` are the
// HTTP client's own and KEEP_ALIVE is true; otherwise `requests.post(url,
// **kwargs)` exactly. Returns the response (new reference), or null with the
// HTTP client's error set.
PyObject* post_over_kept_session(PyObject* url, PyObject* kwargs);

}  // namespace vq
