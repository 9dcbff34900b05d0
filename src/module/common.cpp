#include "module/common.hpp"

#include <array>
#include <cstring>
#include <utility>
#include <unordered_map>

namespace vq {

namespace {
PyObject* g_module = nullptr;

std::string quoted_list(const std::vector<const char*>& names) {
    // 'a'  |  'a' and 'b'  |  'a', 'b', and 'c'
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) out += "and ";
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}
}  // namespace

PyObject* module_ptr() { return g_module; }

PyObject* interned(const char* static_text) {
    static std::unordered_map<const char*, PyObject*> cache;
    auto it = cache.find(static_text);
    if (it != cache.end()) return it->second;
    PyObject* s = PyUnicode_InternFromString(static_text);
    if (!s) throw py::error_already_set();
    cache.emplace(static_text, s);  // kept for the life of the process
    return s;
}
void set_module(PyObject* m) {
    Py_XINCREF(m);
    g_module = m;
}

py::object global(PyObject* name) {
    // The module's namespace, as an interpreted module reads its globals.
    PyObject* ns = PyModule_GetDict(g_module);  // borrowed
    PyObject* v = PyDict_GetItemWithError(ns, name);
    if (v) return borrow(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    return steal(PyObject_GetAttr(g_module, name));  // raises the usual AttributeError
}

void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw py::error_already_set();
}
void raise_error(PyObject* type, const std::string& message) {
    raise_error(type, message.c_str());
}
void raise_exception(const std::string& message) {
    raise_instance(PyExc_Exception, {text(message).ptr()});
}
void raise_instance(PyObject* type, std::initializer_list<PyObject*> args) {
    py::tuple t(args.size());
    size_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SET_ITEM(t.ptr(), i++, a);
    }
    py::object exc = steal(PyObject_Call(type, t.ptr(), nullptr));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(got)->tp_name);
    throw py::error_already_set();
}

double to_double(PyObject* o) {
    if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb && nb->nb_float) {
        py::object f = steal(PyNumber_Float(o));
        return PyFloat_AS_DOUBLE(f.ptr());
    }
    if (nb && nb->nb_index) {
        py::object i = steal(PyNumber_Index(o));
        double d = PyLong_AsDouble(i.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return d;
    }
    PyErr_Format(PyExc_TypeError, "must be real number, not %.200s", Py_TYPE(o)->tp_name);
    throw py::error_already_set();
}

namespace {

[[noreturn]] void raise_too_many(const Signature& sig, size_t given) {
    // Counts include self, as the interpreter reports them.
    const size_t n = sig.names.size();
    const size_t ndefaults = sig.defaults.size();
    const size_t extra = sig.method ? 1 : 0;
    std::string takes;
    if (ndefaults)
        takes = "from " + std::to_string(n - ndefaults + extra) + " to " + std::to_string(n + extra) +
                " positional arguments";
    else
        takes = std::to_string(n + extra) + (n + extra == 1 ? " positional argument" : " positional arguments");
    PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", sig.func, takes.c_str(),
                 static_cast<Py_ssize_t>(given + extra), given + extra == 1 ? "was" : "were");
    throw py::error_already_set();
}

// Puts one keyword argument in its slot; `interned_names` holds the
// parameter names as interned str, so the usual keyword (itself interned by
// the compiler) matches by identity.
void bind_keyword(const Signature& sig, PyObject* const* interned_names, Bound& b, PyObject* key,
                  PyObject* value) {
    const size_t n = sig.names.size();
    size_t idx = n;
    for (size_t i = 0; i < n; ++i)
        if (interned_names[i] == key) { idx = i; break; }
    if (idx == n) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.func);
            throw py::error_already_set();
        }
        // By value, whole names only (a NUL inside a keyword is part of it);
        // a keyword without a UTF-8 form matches no parameter.
        Py_ssize_t klen = 0;
        const char* k = PyUnicode_AsUTF8AndSize(key, &klen);
        if (!k) PyErr_Clear();
        for (size_t i = 0; k && i < n; ++i)
            if (std::strlen(sig.names[i]) == static_cast<size_t>(klen) &&
                std::memcmp(sig.names[i], k, static_cast<size_t>(klen)) == 0) {
                idx = i;
                break;
            }
        if (idx == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.func, key);
            throw py::error_already_set();
        }
    }
    if (b.values[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.func, sig.names[idx]);
        throw py::error_already_set();
    }
    b.values[idx] = value;
}

void fill_defaults(const Signature& sig, Bound& b) {
    const size_t n = sig.names.size();
    const size_t required = n - sig.defaults.size();
    std::vector<const char*> missing;
    for (size_t i = 0; i < n; ++i) {
        if (b.values[i]) continue;
        if (i >= required) b.values[i] = sig.defaults[i - required];
        else missing.push_back(sig.names[i]);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", sig.func,
                     static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
                     quoted_list(missing).c_str());
        throw py::error_already_set();
    }
}

// The positional part: self for methods, the named parameters, the rest.
void bind_positional(const Signature& sig, Bound& b, PyObject* const* args, size_t nargs) {
    const size_t n = sig.names.size();
    size_t first = 0;
    if (sig.method) {
        if (nargs == 0) {  // the method taken from the class and called bare
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'self'", sig.func);
            throw py::error_already_set();
        }
        b.self = args[0];
        first = 1;
    }
    const size_t given = nargs - first;
    if (given > n && !sig.star) raise_too_many(sig, given);
    const size_t take = given < n ? given : n;
    for (size_t i = 0; i < take; ++i) b.values[i] = args[first + i];
    if (sig.star && given > n) {
        b.rest = args + first + n;
        b.nrest = given - n;
    }
}

// A function or method of the module: its parameter list, its body, and the
// method table entry the interpreter calls.
struct Target {
    Signature sig;
    Impl impl;
    PyObject* names[kMaxParams];  // interned parameter names
    PyMethodDef def;
};

PyObject* run(Target& t, Bound& b) {
    try {
        fill_defaults(t.sig, b);
        return t.impl(b).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// The interpreter passes a C function nothing but its arguments, so every
// function gets an entry point of its own that knows its target by index.
constexpr size_t kMaxTargets = 256;
Target* g_targets[kMaxTargets];
size_t g_target_count = 0;

#if PY_VERSION_HEX >= 0x03070000
constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;
PyObject* call_target(Target& t, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    Bound b;
    try {
        const size_t nargs = static_cast<size_t>(nargsf);
        bind_positional(t.sig, b, args, nargs);
        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < nkw; ++i)
                bind_keyword(t.sig, t.names, b, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        }
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
    return run(t, b);
}
template <size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_target(*g_targets[I], args, nargs, kwnames);
}
#else
constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS;
PyObject* call_target(Target& t, PyObject* args, PyObject* kwargs) {
    Bound b;
    try {
        bind_positional(t.sig, b, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(PyTuple_GET_SIZE(args)));
        if (kwargs) {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(t.sig, t.names, b, key, value);
        }
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
    return run(t, b);
}
template <size_t I>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_target(*g_targets[I], args, kwargs);
}
#endif

template <size_t... I>
constexpr std::array<void (*)(), sizeof...(I)> entry_table(std::index_sequence<I...>) {
    return {{reinterpret_cast<void (*)()>(&entry<I>)...}};
}
const auto kEntries = entry_table(std::make_index_sequence<kMaxTargets>());

// A builtin function object for `sig`: bound to the module for functions
// (as the interpreter's own builtins are), unbound for methods, which the
// class then holds as an instance method.
py::object new_function(const Signature& sig, Impl impl, const char* doc) {
    if (g_target_count == kMaxTargets) raise_error(PyExc_SystemError, "too many functions for the entry table");
    if (sig.names.size() > kMaxParams) raise_error(PyExc_SystemError, "too many parameters for a bound function");
    auto* t = new Target{sig, std::move(impl), {}, {}};  // lives as long as the process
    for (size_t i = 0; i < sig.names.size(); ++i) t->names[i] = interned(sig.names[i]);
    t->def.ml_name = sig.func;
    t->def.ml_meth = reinterpret_cast<PyCFunction>(kEntries[g_target_count]);
    t->def.ml_flags = kCallFlags;
    t->def.ml_doc = doc;
    g_targets[g_target_count++] = t;
    py::object module_name = steal(PyObject_GetAttrString(g_module, "__name__"));
    return steal(PyCFunction_NewEx(&t->def, sig.method ? nullptr : g_module, module_name.ptr()));
}
}  // namespace

py::object make_function(const Signature& sig, const char* doc, Impl impl) {
    return new_function(sig, std::move(impl), doc);
}

void def_function(py::module_& m, const Signature& sig, const char* doc, Impl impl) {
    m.attr(sig.func) = new_function(sig, std::move(impl), doc);
}

void def_method(py::handle cls, const Signature& sig, const char* doc, Impl impl) {
    Signature s = sig;
    s.method = true;
    py::object fn = new_function(s, std::move(impl), doc);
    py::object method = steal(PyInstanceMethod_New(fn.ptr()));
    check(PyObject_SetAttrString(cls.ptr(), sig.func, method.ptr()) == 0);
}

py::object make_class(py::module_& m, const char* name, py::tuple bases, const char* doc,
                      std::initializer_list<std::pair<const char*, const char*>> annotations) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    py::dict ann;
    py::object builtins = steal(PyImport_ImportModule("builtins"));
    for (const auto& a : annotations) {
        // Built-in annotation types are the types themselves; class names are
        // looked up in the module being built, as forward references are not.
        py::object t;
        if (PyObject_HasAttrString(builtins.ptr(), a.second))
            t = builtins.attr(a.second);
        else if (PyObject_HasAttrString(m.ptr(), a.second))
            t = m.attr(a.second);
        else
            t = py::str(a.second);
        ann[a.first] = t;
    }
    ns["__annotations__"] = ann;
    py::object cls = steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                        py::str(name).ptr(), bases.ptr(), ns.ptr(), nullptr));
    m.attr(name) = cls;
    return cls;
}

py::object call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    py::object fn = get_attr(obj, name);
    py::tuple t(args.size());
    size_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SET_ITEM(t.ptr(), i++, a);
    }
    return steal(PyObject_Call(fn.ptr(), t.ptr(), nullptr));
}

Utf8 utf8_of(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw py::error_already_set();
    return {p, n};
}

std::string str_utf8(PyObject* o) {
    py::object s = steal(PyObject_Str(o));
    if (PyUnicode_IS_ASCII(s.ptr()))
        return std::string(reinterpret_cast<const char*>(PyUnicode_DATA(s.ptr())),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(s.ptr())));
    py::object b = steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

}  // namespace vq
