#include "module/common.hpp"

#include <cstring>
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

Bound bind(const Signature& sig, const py::args& args, const py::kwargs& kwargs) {
    Bound b;
    const size_t n = sig.names.size();
    if (n > kMaxParams) raise_error(PyExc_SystemError, "too many parameters for a bound function");
    Py_ssize_t npos = PyTuple_GET_SIZE(args.ptr());
    Py_ssize_t first = 0;
    if (sig.method) {
        b.self = PyTuple_GET_ITEM(args.ptr(), 0);
        first = 1;
    }
    const size_t given = static_cast<size_t>(npos - first);
    const size_t ndefaults = sig.defaults.size();
    const size_t required = n - ndefaults;
    if (given > n && !sig.star) {
        // Counts include self, as the interpreter reports them.
        size_t extra = sig.method ? 1 : 0;
        std::string takes;
        if (ndefaults)
            takes = "from " + std::to_string(required + extra) + " to " + std::to_string(n + extra) +
                    " positional arguments";
        else
            takes = std::to_string(n + extra) + (n + extra == 1 ? " positional argument" : " positional arguments");
        PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", sig.func, takes.c_str(),
                     static_cast<Py_ssize_t>(given + extra), given + extra == 1 ? "was" : "were");
        throw py::error_already_set();
    }
    const size_t take = given < n ? given : n;
    for (size_t i = 0; i < take; ++i) b.values[i] = PyTuple_GET_ITEM(args.ptr(), first + i);
    if (sig.star) {
        if (given > n)
            b.rest = py::reinterpret_steal<py::tuple>(check(PyTuple_GetSlice(args.ptr(), first + n, npos)));
        else
            b.rest = py::tuple(0);
    }
    if (kwargs.ptr() && PyDict_Size(kwargs.ptr()) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
            const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (!k) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.func);
                throw py::error_already_set();
            }
            size_t idx = n;
            for (size_t i = 0; i < n; ++i)
                if (std::strcmp(sig.names[i], k) == 0) { idx = i; break; }
            if (idx == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", sig.func, k);
                throw py::error_already_set();
            }
            if (b.values[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.func, k);
                throw py::error_already_set();
            }
            b.values[idx] = value;
        }
    }
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
    return b;
}

namespace {
py::cpp_function wrap(const Signature& sig, Impl impl, py::handle scope, bool method, const char* doc,
                      const char* name = nullptr) {
    auto fn = [sig, impl](py::args args, py::kwargs kwargs) -> py::object {
        return impl(bind(sig, args, kwargs));
    };
    if (!name) name = sig.func;
    if (method) return py::cpp_function(std::move(fn), py::name(name), py::is_method(scope), py::doc(doc));
    return py::cpp_function(std::move(fn), py::name(name), py::scope(scope), py::doc(doc));
}
}  // namespace

py::object make_function(const Signature& sig, const char* doc, Impl impl) {
    return wrap(sig, impl, borrow(g_module), false, doc);
}

void def_function(py::module_& m, const Signature& sig, const char* doc, Impl impl) {
    m.attr(sig.func) = wrap(sig, impl, m, false, doc);
}

namespace {
// pybind11 reserves functions named __init__ for its own classes, so a plain
// class's __init__ is a small C function bound to its signature and body.
struct InitTarget {
    Signature sig;
    Impl impl;
};

PyObject* call_init(PyObject* capsule, PyObject* args, PyObject* kwargs) {
    auto* target = static_cast<InitTarget*>(PyCapsule_GetPointer(capsule, "vqspecapisdk.init"));
    if (!target) return nullptr;
    try {
        py::args a = py::reinterpret_borrow<py::args>(args);
        py::kwargs k = kwargs ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs();
        return target->impl(bind(target->sig, a, k)).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}
}  // namespace

void def_method(py::handle cls, const Signature& sig, const char* doc, Impl impl) {
    Signature s = sig;
    s.method = true;
    if (std::strcmp(sig.func, "__init__") == 0) {
        // Both live as long as the class, that is, as long as the process.
        auto* target = new InitTarget{s, impl};
        py::object capsule = steal(PyCapsule_New(target, "vqspecapisdk.init", nullptr));
        auto* def = new PyMethodDef{"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_init)),
                                    METH_VARARGS | METH_KEYWORDS, doc};
        py::object fn = steal(PyCFunction_NewEx(def, capsule.ptr(), nullptr));
        py::object method = steal(PyInstanceMethod_New(fn.ptr()));
        check(PyObject_SetAttrString(cls.ptr(), "__init__", method.ptr()) == 0);
        return;
    }
    check(PyObject_SetAttrString(cls.ptr(), sig.func, wrap(s, impl, cls, true, doc).ptr()) == 0);
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
