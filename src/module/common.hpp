// Shared binding machinery: the module handle, names looked up at call time,
// the argument rules, and the builders that turn C++ callables into the
// module's functions and plain Python classes.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace py = pybind11;

namespace vq {

// ---- the module -------------------------------------------------------------

// The module object being built or built; lives as long as the process.
PyObject* module_ptr();
void set_module(PyObject* m);

// Interned name, created once and kept for the life of the process.
#define VQ_NAME(text)                                                   \
    ([]() -> PyObject* {                                                \
        static PyObject* const interned_ = PyUnicode_InternFromString(text); \
        return interned_;                                               \
    }())

// One name's look-up in one namespace (a dict), remembered with the dict's
// version tag: while the tag is the same the dict has not changed since, so
// the value found then is the one it holds now (every change of a dict gives
// it a new tag on CPython 3.6 to 3.11, PEP 509). Later interpreters deprecate
// the tag, and there every look-up goes to the dict. A cache belongs to one
// call site; it is read and written under the GIL.
struct LookupCache {
    PyObject* dict = nullptr;
    uint64_t tag = 0;
    PyObject* value = nullptr;  // borrowed: the dict holds it while its tag stands
};
// dict[name] (borrowed), or null when absent; raises what the look-up raises.
PyObject* cached_item(PyObject* dict, PyObject* name, LookupCache& cache);

// A module attribute read at call time, as an interpreted module reads its
// globals (tests and programs may reassign any of them): the module's
// namespace, then the built-in names; a name in neither raises
// NameError("name 'X' is not defined").
py::object global(PyObject* name, LookupCache& cache);
py::object global(PyObject* name);
#define VQ_GLOBAL(text)                                  \
    ([]() -> py::object {                                \
        static ::vq::LookupCache cache_;                 \
        return ::vq::global(VQ_NAME(text), cache_);      \
    }())

// Interned str for a C string with static storage (a literal or an entry of
// a static table), cached by address: the same name always gives the same
// object, as the interpreter's own attribute names do.
PyObject* interned(const char* static_text);

// ---- raising ----------------------------------------------------------------

[[noreturn]] void raise_error(PyObject* type, const char* message);
[[noreturn]] void raise_error(PyObject* type, const std::string& message);
// The general exception with one message, as the SDK raises its own failures.
[[noreturn]] void raise_exception(const std::string& message);
// Raise an exception instance made by calling `type(*args)`.
[[noreturn]] void raise_instance(PyObject* type, std::initializer_list<PyObject*> args);
inline void check(bool ok) {
    if (!ok) throw py::error_already_set();
}
inline PyObject* check(PyObject* p) {
    if (!p) throw py::error_already_set();
    return p;
}
inline py::object steal(PyObject* p) { return py::reinterpret_steal<py::object>(check(p)); }
inline py::object borrow(PyObject* p) { return py::reinterpret_borrow<py::object>(p); }

// ---- guards ----------------------------------------------------------------------

// Sets the pending Python error aside for a scope and puts it back at its end,
// so that clean-up code may call into Python: pybind11's error_scope.
using PendingError = py::error_scope;

// Holds a Python lock (anything with acquire() and release()) from
// construction on. release() lets go early and reports a failure; otherwise
// the destructor releases it on every path, keeping whatever error is
// pending and dropping one of its own.
class HeldLock {
public:
    explicit HeldLock(PyObject* lock);
    HeldLock(py::object acquire, py::object release);  // the lock's bound methods
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    ~HeldLock();
    void release();

private:
    py::object release_;
};

// ---- fork ------------------------------------------------------------------------

// A forked child renews the locks the SDK makes, as the standard library
// renews its own: a thread of the parent that held one at the fork, or was
// half-way through taking it, does not exist in the child. Each subsystem
// registers the renewal of its own locks at import. The renewals run in the
// child before the program's code runs again (os.register_at_fork); 3.6 has
// no such hook, and there they run at the child's first log line or secret
// read, each of which calls renew_after_fork() first.
void on_fork_child(void (*renew)());
#if PY_VERSION_HEX >= 0x03070000
inline void renew_after_fork() {}
#else
void renew_after_fork();
#endif

// Puts a fresh plain lock in place of `holder.<name>` when that is a plain
// lock (threading.Lock()); a lock of another kind that a program put there
// is left to that program. Tells whether the lock it replaced was held.
// Code that holds the old lock keeps it and releases it as before.
bool renew_lock(PyObject* holder, PyObject* name);

// ---- argument rules -----------------------------------------------------------

// "Argument 'x' has incorrect type (expected str, got int)"
[[noreturn]] void raise_arg_type(const char* name, const char* expected, PyObject* got);
inline void require_str(PyObject* o, const char* name) {
    if (!PyUnicode_CheckExact(o)) raise_arg_type(name, "str", o);
}
inline void require_int(PyObject* o, const char* name) {
    if (!PyLong_CheckExact(o)) raise_arg_type(name, "int", o);
}
inline void require_list(PyObject* o, const char* name) {
    if (!PyList_CheckExact(o)) raise_arg_type(name, "list", o);
}
// Float conversion as the interpreter converts a number: floats, objects with
// __float__ or __index__; anything else is a TypeError.
double to_double(PyObject* o);

// Whether a parameter list ends in *args, and whether it begins with self
// (def_method sets that).
enum class Rest { None, StarArgs };
enum class Receiver { None, Self };

// A parameter list: names in order, the trailing ones taking the defaults
// given, then *args when `rest` says so.
struct Signature {
    const char* func;                    // the function's name
    std::vector<const char*> names;      // parameters after self, "name" or "name: type"
    std::vector<PyObject*> defaults;     // for the trailing parameters
    Rest rest = Rest::None;
    Receiver receiver = Receiver::None;
};

// Arguments bound to a Signature: borrowed references, self first for
// methods, and the extra positionals (valid during the call) when `star` is
// set.  Calls bind positional and keyword arguments by the interpreter's
// rules and raise its TypeError texts for missing, surplus, repeated or
// unknown arguments before the body runs.
constexpr size_t kMaxParams = 8;
struct Bound {
    PyObject* self = nullptr;
    PyObject* values[kMaxParams] = {};
    PyObject* const* rest = nullptr;
    size_t nrest = 0;
    PyObject* operator[](size_t i) const { return values[i]; }
};

// ---- functions and classes ------------------------------------------------------

using Impl = std::function<py::object(const Bound&)>;

// A module function bound to `sig`. Parameter names may carry their
// declared type ("param: str"): inspect.signature and __annotations__ show it.
py::object make_function(const Signature& sig, const char* doc, Impl impl);
void def_function(py::module_& m, const Signature& sig, const char* doc, Impl impl);

// A method bound into an existing class.
void def_method(py::handle cls, const Signature& sig, const char* doc, Impl impl);

// One row of a class's method table, bound in order by def_methods.
struct MethodDef {
    Signature sig;
    const char* doc;
    Impl impl;
};
void def_methods(py::handle cls, std::initializer_list<MethodDef> table);

// A plain class made as the interpreter makes one from a class statement:
// `type(name, (base,), namespace)` with the module, qualified name, docstring
// and the annotated (declared) attributes; a null base is `object`.
py::object make_class(py::module_& m, const char* name, PyObject* base, const char* doc,
                      std::initializer_list<std::pair<const char*, const char*>> annotations);

// Set / get an ordinary instance attribute.
inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value) == 0);
}
inline py::object get_attr(PyObject* obj, PyObject* name) {
    return steal(PyObject_GetAttr(obj, name));
}
#define VQ_SET(obj, text, value) ::vq::set_attr((obj), VQ_NAME(text), (value))
#define VQ_GET(obj, text) ::vq::get_attr((obj), VQ_NAME(text))

// The module's own functions as its internals call them. An interpreted
// module's code finds its functions in the module's namespace at call time,
// so a program or test that puts another object there sees it used. While
// the module still holds the function def_function made, this gives an empty
// object and the caller takes its native path (an identity check); otherwise
// the object the module holds now, to be called instead. A name deleted from
// the module raises NameError, as the interpreted code would.
py::object replaced_function(PyObject* name);
// The same for a name whose own function the caller holds (`own`), with the
// call site's look-up cache.
py::object replaced_function(PyObject* name, PyObject* own, LookupCache& cache);
#define VQ_REPLACED(text) ::vq::replaced_function(VQ_NAME(text))

// fn(*args)
py::object call_object(PyObject* fn, std::initializer_list<PyObject*> args);

// Call a method of an object by name with positional arguments.
py::object call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {});

// UTF-8 view of a text object (raises UnicodeEncodeError for lone surrogates).
struct Utf8 {
    const char* data;
    Py_ssize_t size;
};
Utf8 utf8_of(PyObject* text);

// Text form as str() gives it, as UTF-8 bytes (surrogates passed through).
std::string str_utf8(PyObject* o);

// PyUnicode from UTF-8 bytes.
inline py::object text(const std::string& s) {
    return steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}
inline py::object text(const char* s) { return steal(PyUnicode_FromString(s)); }
inline py::object text(const char* s, size_t n) {
    return steal(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "surrogatepass"));
}

// Release the GIL for bodies of this size and more.
constexpr size_t kNoGilThreshold = 64 * 1024;

}  // namespace vq
