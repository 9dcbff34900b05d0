#include "log/log.hpp"

#include <frameobject.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace vq {

namespace {

// ---- source location ---------------------------------------------------------

#if PY_VERSION_HEX < 0x03090000
inline PyCodeObject* frame_code(PyFrameObject* f) {
    Py_INCREF(f->f_code);
    return f->f_code;
}
inline PyFrameObject* frame_back(PyFrameObject* f) {
    Py_XINCREF(f->f_back);
    return f->f_back;
}
#else
inline PyCodeObject* frame_code(PyFrameObject* f) { return PyFrame_GetCode(f); }
inline PyFrameObject* frame_back(PyFrameObject* f) { return PyFrame_GetBack(f); }
#endif

bool is_sdk_log_name(PyObject* name) {
    static const char prefix[] = "sdk_log";
    const Py_ssize_t plen = sizeof prefix - 1;
    if (!PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) < plen) return false;
    if (PyUnicode_IS_ASCII(name)) return std::memcmp(PyUnicode_DATA(name), prefix, plen) == 0;
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    for (Py_ssize_t i = 0; i < plen; ++i)
        if (PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(prefix[i])) return false;
    return true;
}

// Base name of the file and the current line of the innermost frame whose
// function name does not begin with "sdk_log"; empty when there is none.
void caller_location(py::object& file, long& line) {
    PyFrameObject* f = PyEval_GetFrame();  // borrowed
    Py_XINCREF(f);
    while (f) {
        PyCodeObject* code = frame_code(f);
        bool skip = is_sdk_log_name(code->co_name);
        if (!skip) {
            PyObject* path = code->co_filename;
            Py_ssize_t n = PyUnicode_GET_LENGTH(path);
            Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, n, -1);
            if (slash == -2) {
                Py_DECREF(code);
                Py_DECREF(f);
                throw py::error_already_set();
            }
            file = slash < 0 ? borrow(path) : steal(PyUnicode_Substring(path, slash + 1, n));
            line = PyFrame_GetLineNumber(f);
            Py_DECREF(code);
            Py_DECREF(f);
            return;
        }
        Py_DECREF(code);
        PyFrameObject* back = frame_back(f);
        Py_DECREF(f);
        f = back;
    }
}

// ---- time stamp -----------------------------------------------------------------

// Rounds half to even, as the interpreter rounds a time stamp's microseconds.
double round_half_even(double x) {
    double r = std::round(x);
    if (std::fabs(x - r) == 0.5) r = 2.0 * std::round(x / 2.0);
    return r;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

// The clock is the module's `time.time()`, so a program or test that freezes
// it sees the same time in log lines as in messages.
py::object read_clock() {
    py::object time_mod = VQ_GLOBAL("time");
    py::object fn = get_attr(time_mod.ptr(), VQ_NAME("time"));
    return steal(PyObject_CallObject(fn.ptr(), nullptr));
}

// "YYYY-MM-DD HH:MM:SS.mmm" at UTC+8, milliseconds cut, whatever the host zone.
std::string time_stamp() {
    py::object now = read_clock();
    double t = PyFloat_AsDouble(now.ptr());
    if (t == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (!std::isfinite(t)) raise_error(PyExc_ValueError, "Invalid value NaN (not a number)");
    double ipart;
    double frac = std::modf(t, &ipart);
    frac = round_half_even(frac * 1e6);
    if (frac >= 1e6) {
        frac -= 1e6;
        ipart += 1.0;
    } else if (frac < 0) {
        frac += 1e6;
        ipart -= 1.0;
    }
    long long secs = static_cast<long long>(ipart) + 8 * 3600;
    long long us = static_cast<long long>(frac);
    long long days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    long long sod = secs - days * 86400;
    long long y;
    unsigned mo, d;
    civil_from_days(days, y, mo, d);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02lld:%02lld:%02lld.%03lld", y, mo, d, sod / 3600,
                  (sod / 60) % 60, sod % 60, us / 1000);
    return buf;
}

// ---- custom text ---------------------------------------------------------------------

py::object custom_text(PyObject* const* args, size_t nargs) {
    if (nargs == 0) return steal(PyUnicode_FromStringAndSize("", 0));
    py::object max_obj = VQ_GLOBAL("LOG_FIELD_CUSTOM_MAX_SIZE");
    Py_ssize_t max = PyLong_AsSsize_t(max_obj.ptr());
    if (max == -1 && PyErr_Occurred()) throw py::error_already_set();
    py::list parts;
    Py_ssize_t total = 0;
    static PyObject* const nl = PyUnicode_FromString("\n");
    static PyObject* const sp = PyUnicode_FromString(" ");
    for (size_t i = 0; i < nargs; ++i) {
        if (i > 0) {
            parts.append(borrow(sp));
            total += 1;
        }
        py::object s = steal(PyObject_Str(args[i]));
        Py_ssize_t len = PyUnicode_GET_LENGTH(s.ptr());
        Py_ssize_t at = PyUnicode_FindChar(s.ptr(), '\n', 0, len, 1);
        if (at == -2) throw py::error_already_set();
        if (at >= 0) s = steal(PyUnicode_Replace(s.ptr(), nl, sp, -1));
        parts.append(s);
        total += len;
        if (total >= max) {
            py::object joined = steal(PyUnicode_Join(VQ_NAME(""), parts.ptr()));
            Py_ssize_t cut = max >= 0 ? max : (total + max > 0 ? total + max : 0);
            return steal(PyUnicode_Substring(joined.ptr(), 0, cut));
        }
    }
    return steal(PyUnicode_Join(VQ_NAME(""), parts.ptr()));
}

// Releases log_lock on every path.
struct LockGuard {
    PyObject* lock;
    explicit LockGuard(PyObject* l) : lock(l) {
        steal(PyObject_CallMethodObjArgs(lock, VQ_NAME("acquire"), nullptr));
    }
    ~LockGuard() {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* r = PyObject_CallMethodObjArgs(lock, VQ_NAME("release"), nullptr);
        if (r) Py_DECREF(r);
        else PyErr_Clear();
        PyErr_Restore(t, v, tb);
    }
};

}  // namespace

void write_log(PyObject* level, PyObject* req_id, PyObject* const* args, size_t nargs) {
    // Steps outside the lock: location, ids, time, custom text.
    py::object file = steal(PyUnicode_FromStringAndSize("", 0));
    long line = -1;
    caller_location(file, line);
    char ids[96];
    std::snprintf(ids, sizeof ids, ",<%ld,%lu>,", static_cast<long>(getpid()),
                  static_cast<unsigned long>(PyThread_get_thread_ident()));
    std::string stamp = time_stamp();
    py::object custom = custom_text(args, nargs);

    py::object ver = steal(PyObject_Str(VQ_GLOBAL("LOG_VER").ptr()));
    py::object lvl = steal(PyObject_Str(level));
    py::object rid = req_id ? steal(PyObject_Str(req_id)) : steal(PyUnicode_FromStringAndSize("", 0));
    py::object mid = text(std::string(ids) + stamp + ",");
    char line_buf[32] = "";
    if (line >= 0) std::snprintf(line_buf, sizeof line_buf, "%ld", line);
    py::object line_text = steal(PyUnicode_FromString(line_buf));

    // Only formatting and writing happen under the lock.
    py::object lock = VQ_GLOBAL("log_lock");
    LockGuard guard(lock.ptr());
    PyObject* items[] = {ver.ptr(),       mid.ptr(),  lvl.ptr(),    VQ_NAME(","),
                         rid.ptr(),       VQ_NAME(","), file.ptr(), VQ_NAME(","),
                         line_text.ptr(), VQ_NAME(","), custom.ptr(), VQ_NAME("\n")};
    const Py_ssize_t count = static_cast<Py_ssize_t>(sizeof items / sizeof items[0]);
    py::list parts(count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(items[i]);
        PyList_SET_ITEM(parts.ptr(), i, items[i]);
    }
    py::object whole = steal(PyUnicode_Join(VQ_NAME(""), parts.ptr()));
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out || out == Py_None) raise_error(PyExc_RuntimeError, "lost sys.stdout");
    steal(PyObject_CallMethodObjArgs(out, VQ_NAME("write"), whole.ptr(), nullptr));
}

void log_at(Level level, PyObject* req_id, std::initializer_list<PyObject*> args) {
    py::object lvl;
    switch (level) {
        case Level::Info: lvl = VQ_GLOBAL("LOG_LEVEL_INFO"); break;
        case Level::Debug: lvl = VQ_GLOBAL("LOG_LEVEL_DEBUG"); break;
        default: lvl = VQ_GLOBAL("LOG_LEVEL_ERROR"); break;
    }
    write_log(lvl.ptr(), req_id, args.begin(), args.size());
}

// ---- module functions ------------------------------------------------------------------

namespace {

void write_rest(PyObject* level, PyObject* req_id, const py::tuple& rest) {
    write_log(level, req_id, &PyTuple_GET_ITEM(rest.ptr(), 0), static_cast<size_t>(PyTuple_GET_SIZE(rest.ptr())));
}

py::object spec_log(const Bound& a) {
    write_rest(a[0], a[1], a.rest);
    return py::none();
}
template <int L>
py::object level_writer(const Bound& a) {
    const char* name = L == 0 ? "LOG_LEVEL_INFO" : L == 1 ? "LOG_LEVEL_DEBUG" : "LOG_LEVEL_ERROR";
    py::object lvl = global(name);
    write_rest(lvl.ptr(), nullptr, a.rest);
    return py::none();
}
template <int L>
py::object level_writer_with_id(const Bound& a) {
    const char* name = L == 0 ? "LOG_LEVEL_INFO" : L == 1 ? "LOG_LEVEL_DEBUG" : "LOG_LEVEL_ERROR";
    py::object lvl = global(name);
    write_rest(lvl.ptr(), a[0], a.rest);
    return py::none();
}

}  // namespace

void register_log(py::module_& m) {
    def_function(m, {"spec_log", {"log_level", "req_id"}, {}, false, true},
                 "spec_log(log_level, req_id, *args)\n--\n\nWrite one log line with the given level and request id.",
                 spec_log);
    def_function(m, {"spec_log_info", {}, {}, false, true},
                 "spec_log_info(*args)\n--\n\nWrite one INFO log line.", level_writer<0>);
    def_function(m, {"spec_log_debug", {}, {}, false, true},
                 "spec_log_debug(*args)\n--\n\nWrite one DBG log line.", level_writer<1>);
    def_function(m, {"spec_log_error", {}, {}, false, true},
                 "spec_log_error(*args)\n--\n\nWrite one ERR log line.", level_writer<2>);
    def_function(m, {"spec_log_info_with_req_id", {"req_id"}, {}, false, true},
                 "spec_log_info_with_req_id(req_id, *args)\n--\n\nWrite one INFO log line for a request id.",
                 level_writer_with_id<0>);
    def_function(m, {"spec_log_debug_with_req_id", {"req_id"}, {}, false, true},
                 "spec_log_debug_with_req_id(req_id, *args)\n--\n\nWrite one DBG log line for a request id.",
                 level_writer_with_id<1>);
    def_function(m, {"spec_log_error_with_req_id", {"req_id"}, {}, false, true},
                 "spec_log_error_with_req_id(req_id, *args)\n--\n\nWrite one ERR log line for a request id.",
                 level_writer_with_id<2>);
}

}  // namespace vq
