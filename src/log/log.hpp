// The one log line format and its writers.
#pragma once

#include "module/common.hpp"

#include <vector>

namespace vq {

enum class Level { Info, Debug, Error };

// Writes one line: level and request id in their text forms, then the
// custom text joined from `args`. `req_id` may be null for an empty field.
void write_log(PyObject* level, PyObject* req_id, PyObject* const* args, size_t nargs);

// While one is alive, the lines this thread writes (and its calls of a
// replaced writer) are kept instead of written; write() writes them in
// order (each under log_lock, the first failure passes on and drops the
// rest), and they are dropped with it otherwise. The secret load writes its
// lines this way, after its lock.
class DeferredLines {
public:
    DeferredLines();
    ~DeferredLines();
    DeferredLines(const DeferredLines&) = delete;
    DeferredLines& operator=(const DeferredLines&) = delete;
    void write();

private:
    std::vector<PyObject*> lines_;
    bool active_;
};

// The convenience writers as the SDK itself uses them, each found by name in
// the module; the level is the module's current LOG_LEVEL_* constant, and
// the line goes through the module's spec_log as found at the call (a
// replacement gets the level, the request id or "", and the arguments).
void log_at(Level level, PyObject* req_id, std::initializer_list<PyObject*> args);
inline void log_info(std::initializer_list<PyObject*> args) { log_at(Level::Info, nullptr, args); }
inline void log_error(std::initializer_list<PyObject*> args) { log_at(Level::Error, nullptr, args); }

}  // namespace vq
