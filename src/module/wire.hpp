// Small pieces shared by the two message directions.
#pragma once

#include "module/common.hpp"

namespace vq {

// str(int(time.time())) from the module's clock.
py::object now_seconds_text();
// int(time.time() * 1000) from the module's clock.
py::object now_millis();
// str(random.randrange(2147483647)) from the process-wide generator.
py::object nonce_text();
// str(len(text)).
py::object length_text(PyObject* text);

// Unpacks one (name, value) element of a header list; the element must hold
// exactly two items. Both results are strong references.
void unpack_pair(PyObject* item, py::object& name, py::object& value);

// Unpacks one element of a header list exactly as `name, value = item`
// does in interpreted code, with the interpreter's own errors; the results
// are strong references taken before any other code runs.
void unpack_two(PyObject* item, py::object& first, py::object& second);

// `a == b` as interpreted code tests it: the rich comparison's truth, with
// no shortcut for identical objects.
bool equals(PyObject* a, PyObject* b);

// A new header set (an insertion-ordered dict) from name/value pairs.
py::object header_set(std::initializer_list<std::pair<const char*, PyObject*>> entries);

}  // namespace vq
