#include "log/log.hpp"
#include "module/registry.hpp"

#include <frameobject.h>
#include <pthread.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <vector>

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

#if PY_VERSION_HEX < 0x030B0000
inline int frame_lasti(PyFrameObject* f) { return f->f_lasti; }
#else
inline int frame_lasti(PyFrameObject* f) { return PyFrame_GetLasti(f); }
#endif

// Turning an instruction offset into a line number scans the code's line
// table; a small direct-mapped cache keyed by (code, offset) remembers the
// answers together with the file's base name. Entries hold references to
// their code objects, so a key can never be reused by another code object.
struct LocationEntry {
    PyCodeObject* code = nullptr;
    int lasti = -1;
    long line = 0;
    PyObject* file = nullptr;
};
constexpr size_t kLocationSlots = 512;
LocationEntry g_locations[kLocationSlots];

void locate(PyFrameObject* f, PyCodeObject* code, py::object& file, long& line) {
    const int lasti = frame_lasti(f);
    const size_t h = ((reinterpret_cast<uintptr_t>(code) >> 4) ^ (static_cast<size_t>(lasti) * 2654435761u)) %
                     kLocationSlots;
    LocationEntry& e = g_locations[h];
    if (e.code == code && e.lasti == lasti) {
        file = borrow(e.file);
        line = e.line;
        return;
    }
    PyObject* path = code->co_filename;
    Py_ssize_t n = PyUnicode_GET_LENGTH(path);
    Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, n, -1);
    if (slash == -2) throw py::error_already_set();
    file = slash < 0 ? borrow(path) : steal(PyUnicode_Substring(path, slash + 1, n));
    line = PyFrame_GetLineNumber(f);
    PyCodeObject* old_code = e.code;
    PyObject* old_file = e.file;
    Py_INCREF(code);
    e.code = code;
    e.lasti = lasti;
    e.line = line;
    e.file = file.inc_ref().ptr();
    Py_XDECREF(old_code);
    Py_XDECREF(old_file);
}

// Base name of the file and the current line of the innermost frame whose
// function name does not begin with "sdk_log"; empty when there is none.
void caller_location(py::object& file, long& line) {
    PyFrameObject* f = PyEval_GetFrame();  // borrowed
    Py_XINCREF(f);
    while (f) {
        PyCodeObject* code = frame_code(f);
        if (!is_sdk_log_name(code->co_name)) {
            try {
                locate(f, code, file, line);
            } catch (...) {
                Py_DECREF(code);
                Py_DECREF(f);
                throw;
            }
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

// Writes `v` as `width` decimal digits.
char* put_digits(char* p, long long v, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + width;
}

// The fields of a time stamp at UTC+8.
struct Stamp {
    long long year, month, day, hour, minute, second, microsecond;
};

// The log clock is the system clock, read as datetime.now() reads it (its
// microseconds cut): the module's time.time() belongs to the messages, and
// whatever value a program freezes it at cannot fail a log line. A program
// that replaces the module's datetime facility (or its datetime class) to
// fix the log clock gets its own now(), called with the UTC+8 zone.
PyObject* g_datetime_module = nullptr;  // the facility as bound at start-up
PyObject* g_datetime_class = nullptr;

Stamp system_stamp() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const long long secs = static_cast<long long>(ts.tv_sec) + 8 * 3600;
    long long days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    const long long sod = secs - days * 86400;
    long long y;
    unsigned mo, d;
    civil_from_days(days, y, mo, d);
    return {y, mo, d, sod / 3600, (sod / 60) % 60, sod % 60, static_cast<long long>(ts.tv_nsec) / 1000};
}

Stamp facility_stamp(PyObject* dt_mod) {
    py::object cls = get_attr(dt_mod, VQ_NAME("datetime"));
    py::object hours = steal(PyLong_FromLong(8));
    py::object delta_cls = get_attr(dt_mod, VQ_NAME("timedelta"));
    py::object no_args = steal(PyTuple_New(0));
    py::object kw = steal(Py_BuildValue("{s:O}", "hours", hours.ptr()));
    py::object delta = steal(PyObject_Call(delta_cls.ptr(), no_args.ptr(), kw.ptr()));
    py::object zone = call_method(dt_mod, VQ_NAME("timezone"), {delta.ptr()});
    py::object now = call_method(cls.ptr(), VQ_NAME("now"), {zone.ptr()});
    long long f[7];
    const char* const names[7] = {"year", "month", "day", "hour", "minute", "second", "microsecond"};
    for (int i = 0; i < 7; ++i) {
        py::object v = steal(PyObject_GetAttrString(now.ptr(), names[i]));
        f[i] = PyLong_AsLongLong(v.ptr());
        if (f[i] == -1 && PyErr_Occurred()) throw py::error_already_set();
    }
    if (f[0] < 1 || f[0] > 9999) raise_error(PyExc_ValueError, "year is out of range");
    return {f[0], f[1], f[2], f[3], f[4], f[5], f[6]};
}

Stamp log_clock() {
    py::object dt_mod = VQ_GLOBAL("datetime");
    if (dt_mod.ptr() == g_datetime_module && PyModule_Check(dt_mod.ptr())) {
        static LookupCache class_cache;
        if (cached_item(PyModule_GetDict(dt_mod.ptr()), VQ_NAME("datetime"), class_cache) == g_datetime_class)
            return system_stamp();
    }
    return facility_stamp(dt_mod.ptr());
}

// "YYYY-MM-DD HH:MM:SS.mmm" at UTC+8, milliseconds cut, whatever the host zone.
// Returns the number of characters written into `out` (at least 32 bytes).
size_t time_stamp(char* out) {
    const Stamp t = log_clock();
    char* p = out;
    p = put_digits(p, t.year, 4);
    *p++ = '-';
    p = put_digits(p, t.month, 2);
    *p++ = '-';
    p = put_digits(p, t.day, 2);
    *p++ = ' ';
    p = put_digits(p, t.hour, 2);
    *p++ = ':';
    p = put_digits(p, t.minute, 2);
    *p++ = ':';
    p = put_digits(p, t.second, 2);
    *p++ = '.';
    p = put_digits(p, t.microsecond / 1000, 3);
    return static_cast<size_t>(p - out);
}

size_t put_decimal(char* out, unsigned long long v) {
    char tmp[24];
    size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    for (size_t i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    return n;
}

// str(o); a str is its own text form.
py::object text_form(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return borrow(o);
    return steal(PyObject_Str(o));
}

// str(LOG_VER), converted again only when the constant is reassigned (an
// int or a str always converts the same way).
py::object version_text(PyObject* ver) {
    static PyObject* last = nullptr;
    static PyObject* last_text = nullptr;
    if (!PyLong_CheckExact(ver) && !PyUnicode_CheckExact(ver)) return steal(PyObject_Str(ver));
    if (ver != last || !last_text) {
        PyObject* text_form = PyObject_Str(ver);
        if (!text_form) throw py::error_already_set();
        Py_XDECREF(last_text);
        Py_XDECREF(last);
        Py_INCREF(ver);
        last = ver;
        last_text = text_form;
    }
    return borrow(last_text);
}

// The process id, read once per process (and again after a fork).
long g_pid = 0;
void in_child() { g_pid = 0; }  // runs before the interpreter does in a child
long process_id() {
    if (g_pid == 0) g_pid = static_cast<long>(getpid());
    return g_pid;
}

// A forked child's log_lock is a fresh one.
void renew_log_lock() { renew_lock(module_ptr(), VQ_NAME("log_lock")); }

// Lines kept by the innermost live DeferredLines of this thread.
thread_local std::vector<PyObject*>* t_deferred = nullptr;

// A vector that keeps its first N elements in place: a log line has a
// dozen pieces and a few arguments, and should not cost an allocation.
template <class T, size_t N>
class SmallVec {
public:
    SmallVec() = default;
    SmallVec(const SmallVec&) = delete;
    SmallVec& operator=(const SmallVec&) = delete;
    ~SmallVec() {
        for (size_t i = 0; i < n_ && i < N; ++i) local()[i].~T();
    }
    void push_back(T x) {
        if (n_ < N) new (&local()[n_]) T(std::move(x));
        else more_.push_back(std::move(x));
        ++n_;
    }
    T& back() { return (*this)[n_ - 1]; }
    T& operator[](size_t i) { return i < N ? local()[i] : more_[i - N]; }
    const T& operator[](size_t i) const { return i < N ? local()[i] : more_[i - N]; }
    size_t size() const { return n_; }

private:
    T* local() { return reinterpret_cast<T*>(buf_); }
    const T* local() const { return reinterpret_cast<const T*>(buf_); }
    alignas(T) unsigned char buf_[N * sizeof(T)];
    size_t n_ = 0;
    std::vector<T> more_;
};

// The widest character among the first `len` of `s`: a line keeps the
// narrowest width its characters allow (as every str the interpreter makes),
// also when the cut-off part held wider ones.
Py_UCS4 prefix_maxchar(PyObject* s, Py_ssize_t len) {
    if (PyUnicode_IS_ASCII(s)) return 127;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_UCS4 mc = 0;
    for (Py_ssize_t i = 0; i < len; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c > mc) mc = c;
    }
    return mc;
}

// Whether the first `len` characters of `s` hold `c` (an ASCII character).
bool has_char(PyObject* s, Py_ssize_t len, char c) {
    if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND)
        return std::memchr(PyUnicode_1BYTE_DATA(s), c, static_cast<size_t>(len)) != nullptr;
    return PyUnicode_FindChar(s, static_cast<Py_UCS4>(c), 0, len, 1) >= 0;
}

// Which line breaks of a text become spaces: the free text folds its line
// feeds; every other field folds line feeds and carriage returns, so that a
// value from outside (a request id from a header) cannot start a line.
enum class Fold { LineFeeds, Breaks };

// The pieces of one line: texts (a prefix of a str object, with line breaks
// turned into spaces) and ASCII literals, joined once into a single str of
// the right width.
class LineBuilder {
public:
    LineBuilder() = default;
    void ascii(const char* p, size_t n) {
        Piece x;
        x.lit = p;
        x.len = static_cast<Py_ssize_t>(n);
        pieces_.push_back(x);
        total_ += x.len;
    }
    void text(PyObject* s, Py_ssize_t len, Fold fold) {
        Piece x;
        x.obj = s;
        x.len = len;
        x.fold_cr = fold == Fold::Breaks;
        x.fold = len > 0 && (has_char(s, len, '\n') || (x.fold_cr && has_char(s, len, '\r')));
        pieces_.push_back(x);
        total_ += len;
        Py_UCS4 mc = len < PyUnicode_GET_LENGTH(s) ? prefix_maxchar(s, len) : PyUnicode_MAX_CHAR_VALUE(s);
        if (len > 0 && mc > maxchar_) maxchar_ = mc;
    }
    py::object build() const {
        py::object out = steal(PyUnicode_New(total_, maxchar_));
        const int kind = PyUnicode_KIND(out.ptr());
        void* data = PyUnicode_DATA(out.ptr());
        Py_ssize_t at = 0;
        for (size_t k = 0; k < pieces_.size(); ++k) {
            const Piece& x = pieces_[k];
            if (x.lit) {
                if (kind == PyUnicode_1BYTE_KIND) {
                    std::memcpy(static_cast<char*>(data) + at, x.lit, static_cast<size_t>(x.len));
                } else {
                    for (Py_ssize_t i = 0; i < x.len; ++i)
                        PyUnicode_WRITE(kind, data, at + i, static_cast<unsigned char>(x.lit[i]));
                }
            } else if (x.len > 0) {
                if (PyUnicode_KIND(x.obj) == kind)  // the usual case: a plain copy
                    std::memcpy(static_cast<char*>(data) + at * kind, PyUnicode_DATA(x.obj),
                                static_cast<size_t>(x.len) * static_cast<size_t>(kind));
                else
                    check(PyUnicode_CopyCharacters(out.ptr(), at, x.obj, 0, x.len) >= 0);
                if (x.fold) {
                    for (Py_ssize_t i = at; i < at + x.len; ++i) {
                        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
                        if (c == '\n' || (c == '\r' && x.fold_cr)) PyUnicode_WRITE(kind, data, i, ' ');
                    }
                }
            }
            at += x.len;
        }
        return out;
    }

private:
    struct Piece {
        const char* lit = nullptr;
        PyObject* obj = nullptr;
        Py_ssize_t len = 0;
        bool fold = false;     // has a break to turn into a space
        bool fold_cr = false;  // carriage returns too
    };
    SmallVec<Piece, 24> pieces_;
    Py_ssize_t total_ = 0;
    Py_UCS4 maxchar_ = 127;
};

// log_lock's acquire and release, bound once per lock object.
struct LockMethods {
    PyObject* lock = nullptr;
    PyObject* acquire = nullptr;
    PyObject* release = nullptr;
};
LockMethods& lock_methods(PyObject* lock) {
    static LockMethods cached;
    if (cached.lock != lock) {
        PyObject* acq = PyObject_GetAttr(lock, VQ_NAME("acquire"));
        if (!acq) throw py::error_already_set();
        PyObject* rel = PyObject_GetAttr(lock, VQ_NAME("release"));
        if (!rel) {
            Py_DECREF(acq);
            throw py::error_already_set();
        }
        Py_XDECREF(cached.acquire);
        Py_XDECREF(cached.release);
        Py_XDECREF(cached.lock);
        Py_INCREF(lock);
        cached.lock = lock;
        cached.acquire = acq;
        cached.release = rel;
    }
    return cached;
}

// The sys module's namespace, where print() looks up stdout.
PyObject* sys_namespace() {
    static PyObject* const ns = [] {
        PyObject* sys = PyImport_ImportModule("sys");
        PyObject* d = sys ? PyModule_GetDict(sys) : nullptr;
        Py_XINCREF(d);
        Py_XDECREF(sys);
        return d;
    }();
    if (!ns) throw py::error_already_set();
    return ns;
}


// Writes one line, made by `build`, to sys.stdout under log_lock: only
// formatting and writing happen under the lock.
template <class Build>
void emit(Build build) {
    renew_after_fork();
    py::object lock = VQ_GLOBAL("log_lock");
    // The lock's bound methods are held for the scope, so a rebind of their
    // cache while the line is written leaves them alive.
    LockMethods& methods = lock_methods(lock.ptr());
    HeldLock held(borrow(methods.acquire), borrow(methods.release));
    py::object whole = build();
    // As print() finds it; held while its write runs, which may rebind it.
    static LookupCache stdout_cache;
    PyObject* found = cached_item(sys_namespace(), VQ_NAME("stdout"), stdout_cache);
    if (!found) raise_error(PyExc_RuntimeError, "lost sys.stdout");
    if (found == Py_None) return;  // as print() does without a stdout
    py::object out = borrow(found);
#if PY_VERSION_HEX >= 0x03090000
    steal(PyObject_CallMethodOneArg(out.ptr(), VQ_NAME("write"), whole.ptr()));
#else
    steal(PyObject_CallMethodObjArgs(out.ptr(), VQ_NAME("write"), whole.ptr(), nullptr));
#endif
}

}  // namespace

void write_log(PyObject* level, PyObject* req_id, PyObject* const* args, size_t nargs) {
    // Steps outside the lock: location, ids, time, custom text.
    py::object file;
    long line = -1;
    caller_location(file, line);

    char head[128];
    char* p = head;
    *p++ = ',';
    *p++ = '<';
    p += put_decimal(p, static_cast<unsigned long long>(process_id()));
    *p++ = ',';
    p += put_decimal(p, static_cast<unsigned long long>(PyThread_get_thread_ident()));
    *p++ = '>';
    *p++ = ',';
    p += time_stamp(p);
    *p++ = ',';
    const size_t head_len = static_cast<size_t>(p - head);
    char line_buf[32];
    const size_t line_len = line >= 0 ? put_decimal(line_buf, static_cast<unsigned long long>(line)) : 0;

    py::object ver = version_text(VQ_GLOBAL("LOG_VER").ptr());
    py::object lvl = text_form(level);
    py::object rid = req_id ? text_form(req_id) : py::object();

    LineBuilder b;
    b.text(ver.ptr(), PyUnicode_GET_LENGTH(ver.ptr()), Fold::Breaks);
    b.ascii(head, head_len);
    b.text(lvl.ptr(), PyUnicode_GET_LENGTH(lvl.ptr()), Fold::Breaks);
    b.ascii(",", 1);
    if (rid) b.text(rid.ptr(), PyUnicode_GET_LENGTH(rid.ptr()), Fold::Breaks);
    b.ascii(",", 1);
    if (file) b.text(file.ptr(), PyUnicode_GET_LENGTH(file.ptr()), Fold::Breaks);
    b.ascii(",", 1);
    b.ascii(line_buf, line_len);
    b.ascii(",", 1);

    // Custom text: arguments joined by single spaces, line feeds folded into
    // spaces, cut at LOG_FIELD_CUSTOM_MAX_SIZE characters; arguments past the
    // cut are never converted.
    SmallVec<py::object, 8> texts;
    if (nargs > 0) {
        // The bound is compared and sliced with as the interpreted code does
        // (`len(text) >= bound`, then `text[:bound]`): an integer of any size
        // is exact (clamped to the sizes a text can have); another number is
        // compared as it compares, and fails only at a cut, where slicing
        // needs an integer.
        py::object max_obj = VQ_GLOBAL("LOG_FIELD_CUSTOM_MAX_SIZE");
        const bool int_bound = PyLong_Check(max_obj.ptr());
        Py_ssize_t max = PY_SSIZE_T_MAX;
        if (int_bound) {
            max = PyNumber_AsSsize_t(max_obj.ptr(), nullptr);
            if (max == -1 && PyErr_Occurred()) throw py::error_already_set();
        }
        auto reached = [&](Py_ssize_t total) {
            if (int_bound) return total >= max;
            py::object n = steal(PyLong_FromSsize_t(total));
            py::object r = steal(PyObject_RichCompare(n.ptr(), max_obj.ptr(), Py_GE));
            const int truth = PyObject_IsTrue(r.ptr());
            check(truth >= 0);
            return truth == 1;
        };
        auto slice_bound = [&]() {
            if (int_bound) return max;
            if (!PyIndex_Check(max_obj.ptr()))
                raise_error(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
            const Py_ssize_t v = PyNumber_AsSsize_t(max_obj.ptr(), nullptr);
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            return v;
        };
        Py_ssize_t used = 0;
        for (size_t i = 0; i < nargs; ++i) {
            if (i > 0) {
                b.ascii(" ", 1);
                used += 1;
            }
            texts.push_back(text_form(args[i]));
            PyObject* s = texts.back().ptr();
            const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
            if (reached(used + len)) {
                // Keep `max` characters in all; a negative bound drops that
                // many from the end, as slicing does (only reachable with
                // the first argument, where `used` is 0).
                const Py_ssize_t max = slice_bound();
                Py_ssize_t keep = max >= 0 ? max - used : (len + max > 0 ? len + max : 0);
                b.text(s, keep, Fold::LineFeeds);
                break;
            }
            b.text(s, len, Fold::LineFeeds);
            used += len;
        }
    }
    b.ascii("\n", 1);

    if (t_deferred) {
        t_deferred->push_back(b.build().release().ptr());
        return;
    }
    emit([&] { return b.build(); });
}

DeferredLines::DeferredLines() : active_(t_deferred == nullptr) {
    if (active_) t_deferred = &lines_;
}

DeferredLines::~DeferredLines() {
    if (active_) t_deferred = nullptr;
    for (PyObject* line : lines_) Py_DECREF(line);
}

void DeferredLines::write() {
    if (!active_) return;  // an outer one writes them
    t_deferred = nullptr;
    std::vector<PyObject*> lines;
    lines.swap(lines_);
    size_t i = 0;
    try {
        for (; i < lines.size(); ++i) {
            PyObject* kept = lines[i];
            if (PyTuple_CheckExact(kept))  // a replacement writer's call: (writer, arguments)
                steal(PyObject_Call(PyTuple_GET_ITEM(kept, 0), PyTuple_GET_ITEM(kept, 1), nullptr));
            else
                emit([&] { return borrow(kept); });
        }
    } catch (...) {
        for (PyObject* line : lines) Py_DECREF(line);
        throw;
    }
    for (PyObject* line : lines) Py_DECREF(line);
}

namespace {

// The three levels, in the order of Level: the module constant that holds
// the level's text, its two convenience writers, and the text the writers'
// docstrings show.
struct LevelRow {
    const char* constant;
    const char* writer;
    const char* writer_with_id;
    const char* shown;
};
constexpr LevelRow kLevels[] = {
    {"LOG_LEVEL_INFO", "spec_log_info", "spec_log_info_with_req_id", "INFO"},
    {"LOG_LEVEL_DEBUG", "spec_log_debug", "spec_log_debug_with_req_id", "DBG"},
    {"LOG_LEVEL_ERROR", "spec_log_error", "spec_log_error_with_req_id", "ERR"},
};
static_assert(std::size(kLevels) == static_cast<size_t>(Level::Error) + 1, "a row for every level");
static_assert(static_cast<int>(Level::Info) == 0 && static_cast<int>(Level::Debug) == 1, "rows in the order of Level");

// The rows' names as interned objects, the functions def_function bound
// under them, and their look-up caches.
struct LevelNames {
    PyObject* constant;
    PyObject* writer;
    PyObject* writer_with_id;
    PyObject* own_writer;
    PyObject* own_writer_with_id;
    LookupCache constant_cache, writer_cache, writer_with_id_cache;
};
LevelNames g_level_names[std::size(kLevels)];
PyObject* g_own_spec_log = nullptr;

// Calls a replacement writer with `args`; while lines are kept for later
// (DeferredLines), the call is kept with them.
void call_writer(PyObject* fn, py::tuple args) {
    if (t_deferred) {
        t_deferred->push_back(py::make_tuple(borrow(fn), args).release().ptr());
        return;
    }
    steal(PyObject_Call(fn, args.ptr(), nullptr));
}

// `fn(*head, *args)` as a tuple of arguments.
py::tuple arguments(std::initializer_list<PyObject*> head, PyObject* const* args, size_t nargs) {
    py::tuple t(head.size() + nargs);
    size_t i = 0;
    for (PyObject* a : head) {
        Py_INCREF(a);
        PyTuple_SET_ITEM(t.ptr(), i++, a);
    }
    for (size_t k = 0; k < nargs; ++k) {
        Py_INCREF(args[k]);
        PyTuple_SET_ITEM(t.ptr(), i++, args[k]);
    }
    return t;
}

// The body of a convenience writer: spec_log(LOG_LEVEL_<level>, req_id,
// *args) with the module's spec_log and constant as found now; `req_id`
// null for the writers without one (an empty field).
void write_at(Level level, PyObject* req_id, PyObject* const* args, size_t nargs) {
    LevelNames& names = g_level_names[static_cast<int>(level)];
    static LookupCache spec_log_cache;
    py::object spec_log = replaced_function(VQ_NAME("spec_log"), g_own_spec_log, spec_log_cache);
    py::object lvl = global(names.constant, names.constant_cache);
    if (spec_log) {
        PyObject* rid = req_id ? req_id : VQ_NAME("");
        call_writer(spec_log.ptr(), arguments({lvl.ptr(), rid}, args, nargs));
        return;
    }
    write_log(lvl.ptr(), req_id, args, nargs);
}

}  // namespace

void log_at(Level level, PyObject* req_id, std::initializer_list<PyObject*> args) {
    // The writer the interpreted code calls by name, unless replaced.
    LevelNames& names = g_level_names[static_cast<int>(level)];
    py::object writer = req_id ? replaced_function(names.writer_with_id, names.own_writer_with_id,
                                                   names.writer_with_id_cache)
                               : replaced_function(names.writer, names.own_writer, names.writer_cache);
    if (writer) {
        if (req_id) call_writer(writer.ptr(), arguments({req_id}, args.begin(), args.size()));
        else call_writer(writer.ptr(), arguments({}, args.begin(), args.size()));
        return;
    }
    write_at(level, req_id, args.begin(), args.size());
}

// ---- module functions ------------------------------------------------------------------

namespace {

py::object spec_log(const Bound& a) {
    write_log(a[0], a[1], a.rest, a.nrest);
    return py::none();
}

}  // namespace

void register_log(py::module_& m) {
    // The clock facility as bound by the frame, kept for the life of the process.
    g_datetime_module = py::object(m.attr("datetime")).release().ptr();
    g_datetime_class = check(PyObject_GetAttrString(g_datetime_module, "datetime"));
    pthread_atfork(nullptr, nullptr, in_child);
    on_fork_child(renew_log_lock);
    def_function(m, {"spec_log", {"log_level", "req_id"}, {}, Rest::StarArgs},
                 "Write one log line with the given level and request id.",
                 spec_log);
    g_own_spec_log = m.attr("spec_log").ptr();  // held by the own-function table
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        LevelNames& names = g_level_names[i];
        names.constant = interned(kLevels[i].constant);
        names.writer = interned(kLevels[i].writer);
        names.writer_with_id = interned(kLevels[i].writer_with_id);
    }
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        const Level level = static_cast<Level>(i);
        const std::string doc = std::string("Write one ") + kLevels[i].shown + " log line.";
        def_function(m, {kLevels[i].writer, {}, {}, Rest::StarArgs}, doc.c_str(), [level](const Bound& a) {
            write_at(level, nullptr, a.rest, a.nrest);
            return py::none();
        });
    }
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        const Level level = static_cast<Level>(i);
        const std::string doc = std::string("Write one ") + kLevels[i].shown + " log line for a request id.";
        def_function(m, {kLevels[i].writer_with_id, {"req_id"}, {}, Rest::StarArgs}, doc.c_str(),
                     [level](const Bound& a) {
                         write_at(level, a[0], a.rest, a.nrest);
                         return py::none();
                     });
    }
    for (LevelNames& names : g_level_names) {  // held by the own-function table
        names.own_writer = PyDict_GetItem(PyModule_GetDict(m.ptr()), names.writer);
        names.own_writer_with_id = PyDict_GetItem(PyModule_GetDict(m.ptr()), names.writer_with_id);
    }
}

}  // namespace vq
