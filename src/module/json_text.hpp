// JSON text writing with the standard writer's default layout: ", " and ": "
// separators, every character outside printable ASCII escaped.
#pragma once

#include "module/common.hpp"

namespace vq {

// Appends `s` (a str) as a JSON string literal, quotes included.
void append_json_string(std::string& out, PyObject* s);

// The module's json.dumps when the native writer cannot stand in for it:
// empty while the module's `json` is the standard module and its `dumps` the
// standard function (remembered by remember_standard_json at import), else
// the dumps function the module's code would call now.
py::object replaced_json_dumps();
void remember_standard_json(PyObject* json_module);

// ASCII std::string to a str object.
py::object ascii_text(const std::string& s);

}  // namespace vq
