// JSON text writing with the standard writer's default layout: ", " and ": "
// separators, every character outside printable ASCII escaped.
#pragma once

#include "module/common.hpp"

namespace vq {

// Appends `s` (a str) as a JSON string literal, quotes included.
void append_json_string(std::string& out, PyObject* s);

// ASCII std::string to a str object.
py::object ascii_text(const std::string& s);

}  // namespace vq
