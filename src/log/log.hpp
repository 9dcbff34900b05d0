// The one log line format and its writers.
#pragma once

#include "module/common.hpp"

namespace vq {

enum class Level { Info, Debug, Error };

// Writes one line: level and request id in their text forms, then the
// custom text joined from `args`. `req_id` may be null for an empty field.
void write_log(PyObject* level, PyObject* req_id, PyObject* const* args, size_t nargs);

// The convenience writers as the SDK itself uses them; the level is the
// module's current LOG_LEVEL_* constant.
void log_at(Level level, PyObject* req_id, std::initializer_list<PyObject*> args);
inline void log_info(std::initializer_list<PyObject*> args) { log_at(Level::Info, nullptr, args); }
inline void log_error(std::initializer_list<PyObject*> args) { log_at(Level::Error, nullptr, args); }

}  // namespace vq
