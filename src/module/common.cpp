#include "module/common.hpp"

#include <structmember.h>
#include <pthread.h>

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

PyObject* cached_item(PyObject* dict, PyObject* name, LookupCache& cache) {
#if PY_VERSION_HEX < 0x030C0000
    const uint64_t tag = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (cache.dict == dict && cache.tag == tag && cache.value) return cache.value;
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    // A key's __eq__ may have changed the dict during the look-up: the tag
    // read now is the one the answer belongs to.
    cache = {dict, reinterpret_cast<PyDictObject*>(dict)->ma_version_tag, v};
    if (cache.tag != tag) cache.value = nullptr;
    return v;
#else
    (void)cache;
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
#endif
}

py::object global(PyObject* name, LookupCache& cache) {
    if (PyObject* v = cached_item(PyModule_GetDict(g_module), name, cache)) return borrow(v);
    static PyObject* const builtins = [] {
        py::object mod = steal(PyImport_ImportModule("builtins"));
        return py::object(borrow(PyModule_GetDict(mod.ptr()))).release().ptr();  // kept for the process
    }();
    PyObject* v = PyDict_GetItemWithError(builtins, name);
    if (v) return borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw py::error_already_set();
}

py::object global(PyObject* name) {
    LookupCache once;
    return global(name, once);
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

HeldLock::HeldLock(PyObject* lock)
    : HeldLock(get_attr(lock, VQ_NAME("acquire")), get_attr(lock, VQ_NAME("release"))) {}

HeldLock::HeldLock(py::object acquire, py::object release) {
    steal(PyObject_CallObject(acquire.ptr(), nullptr));
    release_ = std::move(release);
}

void HeldLock::release() {
    py::object r = std::move(release_);
    steal(PyObject_CallObject(r.ptr(), nullptr));
}

HeldLock::~HeldLock() {
    if (!release_) return;
    PendingError keep;
    PyObject* r = PyObject_CallObject(release_.ptr(), nullptr);
    if (r) Py_DECREF(r);
    else PyErr_Clear();
}

namespace {
std::vector<void (*)()>& fork_renewals() {
    static std::vector<void (*)()> renewals;
    return renewals;
}
// threading.Lock as the SDK makes its locks, and their type.
PyObject* g_allocate_lock = nullptr;
PyTypeObject* g_lock_type = nullptr;

void run_fork_renewals() {
    for (void (*renew)() : fork_renewals()) {
        try {
            renew();
        } catch (py::error_already_set&) {
            PyErr_Clear();  // the old lock stays; the child goes on
        }
    }
}

#if PY_VERSION_HEX >= 0x03070000
PyObject* after_fork_in_child(PyObject*, PyObject*) {
    run_fork_renewals();
    Py_RETURN_NONE;
}
PyMethodDef g_after_fork_def = {"_renew_locks_after_fork", after_fork_in_child, METH_NOARGS, nullptr};
#else
volatile bool g_fork_pending = false;
void in_forked_child() { g_fork_pending = true; }  // before the interpreter runs again: a flag only
#endif
}  // namespace

void on_fork_child(void (*renew)()) {
    if (fork_renewals().empty()) {
        py::object thread_mod = steal(PyImport_ImportModule("_thread"));
        g_allocate_lock = get_attr(thread_mod.ptr(), VQ_NAME("allocate_lock")).release().ptr();
        py::object probe = call_object(g_allocate_lock, {});
        g_lock_type = Py_TYPE(probe.ptr());
#if PY_VERSION_HEX >= 0x03070000
        py::object os_mod = steal(PyImport_ImportModule("os"));
        py::object hook = steal(PyCFunction_New(&g_after_fork_def, nullptr));
        py::object register_at_fork = get_attr(os_mod.ptr(), VQ_NAME("register_at_fork"));
        py::dict kwargs;
        kwargs["after_in_child"] = hook;
        py::tuple no_args(0);
        steal(PyObject_Call(register_at_fork.ptr(), no_args.ptr(), kwargs.ptr()));
#else
        pthread_atfork(nullptr, nullptr, in_forked_child);
#endif
    }
    fork_renewals().push_back(renew);
}

#if PY_VERSION_HEX < 0x03070000
void renew_after_fork() {
    if (!g_fork_pending) return;
    g_fork_pending = false;
    run_fork_renewals();
}
#endif

bool renew_lock(PyObject* holder, PyObject* name) {
    PyObject* lock = PyObject_GetAttr(holder, name);
    if (!lock) {
        PyErr_Clear();
        return false;
    }
    py::object old = steal(lock);
    if (Py_TYPE(lock) != g_lock_type) return false;
    py::object held = call_method(lock, VQ_NAME("locked"));
    const int truth = PyObject_IsTrue(held.ptr());
    check(truth >= 0);
    py::object fresh = call_object(g_allocate_lock, {});
    set_attr(holder, name, fresh.ptr());
    return truth == 1;
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

// A function or method of the module: its parameter list (self first for
// methods), its body, and what introspection shows of it.
struct Target {
    Signature sig;                          // names point into `owned`
    Impl impl;
    std::vector<std::string> owned;         // parameter names
    std::vector<PyObject*> annotations;     // per parameter, or nullptr
    PyObject* names[kMaxParams + 1] = {};   // interned parameter names
    std::string errname;                    // the name argument errors use
};

[[noreturn]] void raise_too_many(const Target& t, size_t given) {
    const size_t n = t.sig.names.size();
    const size_t ndefaults = t.sig.defaults.size();
    std::string takes;
    if (ndefaults)
        takes = "from " + std::to_string(n - ndefaults) + " to " + std::to_string(n) + " positional arguments";
    else
        takes = std::to_string(n) + (n == 1 ? " positional argument" : " positional arguments");
    PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", t.errname.c_str(), takes.c_str(),
                 static_cast<Py_ssize_t>(given), given == 1 ? "was" : "were");
    throw py::error_already_set();
}

#if PY_VERSION_HEX >= 0x030D0000
[[noreturn]] void raise_unexpected_keyword(const Target& t, PyObject* key) {
    std::string params;
    for (size_t i = 0; i < t.owned.size(); ++i) params += (i ? ", " : "") + t.owned[i];
    if (t.sig.rest == Rest::StarArgs) params += params.empty() ? "*args" : ", *args";
    const std::string src = "def f(" + params + "):\n    pass\n";
    py::dict ns;
    ns["__builtins__"] = steal(PyImport_ImportModule("builtins"));
    py::object code = steal(Py_CompileString(src.c_str(), "<vqspecapisdk>", Py_file_input));
    steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
    py::object f = ns["f"];
    f.attr("__qualname__") = text(t.errname);
    py::dict kwargs;
    kwargs[key] = py::none();
    py::tuple no_args(0);
    PyObject* r = PyObject_Call(f.ptr(), no_args.ptr(), kwargs.ptr());
    Py_XDECREF(r);
    if (!r) throw py::error_already_set();
    raise_error(PyExc_SystemError, "an unknown keyword was accepted");
}
#endif

// Puts one keyword argument in its slot; parameter names are interned, so
// the usual keyword (itself interned by the compiler) matches by identity.
void bind_keyword(const Target& t, PyObject** slots, PyObject* key, PyObject* value) {
    const size_t n = t.sig.names.size();
    size_t idx = n;
    for (size_t i = 0; i < n; ++i)
        if (t.names[i] == key) { idx = i; break; }
    if (idx == n) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", t.errname.c_str());
            throw py::error_already_set();
        }
        // By value, whole names only (a NUL inside a keyword is part of it);
        // a keyword without a UTF-8 form matches no parameter.
        Py_ssize_t klen = 0;
        const char* k = PyUnicode_AsUTF8AndSize(key, &klen);
        if (!k) PyErr_Clear();
        for (size_t i = 0; k && i < n; ++i)
            if (t.owned[i].size() == static_cast<size_t>(klen) &&
                std::memcmp(t.owned[i].data(), k, static_cast<size_t>(klen)) == 0) {
                idx = i;
                break;
            }
        if (idx == n) {
#if PY_VERSION_HEX >= 0x030D0000
            // From 3.13 on the interpreter adds its own "Did you mean ...?"
            // guess: the text comes from calling an interpreted function with
            // the same parameters and this keyword alone.
            raise_unexpected_keyword(t, key);
#else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", t.errname.c_str(), key);
            throw py::error_already_set();
#endif
        }
    }
    if (slots[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", t.errname.c_str(),
                     t.sig.names[idx]);
        throw py::error_already_set();
    }
    slots[idx] = value;
}

void fill_defaults(const Target& t, PyObject** slots) {
    const size_t n = t.sig.names.size();
    const size_t required = n - t.sig.defaults.size();
    std::vector<const char*> missing;
    for (size_t i = 0; i < n; ++i) {
        if (slots[i]) continue;
        if (i >= required) slots[i] = t.sig.defaults[i - required];
        else missing.push_back(t.sig.names[i]);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", t.errname.c_str(),
                     static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
                     quoted_list(missing).c_str());
        throw py::error_already_set();
    }
}

// Binds a call by the interpreter's rules and in its order of checks
// (positionals, then each keyword in turn, then surplus positionals, then
// missing ones), and runs the body. Keywords come either as names with
// values after the positionals (vector calls) or as a dict.
PyObject* invoke(const Target& t, PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject* kwargs) {
    try {
        PyObject* slots[kMaxParams + 1] = {};
        const size_t n = t.sig.names.size();
        const size_t take = nargs < n ? nargs : n;
        for (size_t i = 0; i < take; ++i) slots[i] = args[i];
        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < nkw; ++i) bind_keyword(t, slots, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        } else if (kwargs) {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(t, slots, key, value);
        }
        if (nargs > n && t.sig.rest != Rest::StarArgs) raise_too_many(t, nargs);
        fill_defaults(t, slots);
        // Keyword values may come straight from the caller's dict (f(**d) on
        // some interpreters), which the body's own calls can empty: hold them.
        py::object held[kMaxParams + 1];
        for (size_t i = 0; i < n; ++i) held[i] = py::reinterpret_borrow<py::object>(slots[i]);
        Bound b;
        size_t first = 0;
        if (t.sig.receiver == Receiver::Self) b.self = slots[first++];
        for (size_t i = first; i < n; ++i) b.values[i - first] = slots[i];
        if (nargs > n) {
            b.rest = args + n;
            b.nrest = nargs - n;
        }
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

// ---- the function object -------------------------------------------------------
//
// Module functions and methods are objects of one type that behaves as the
// interpreter's own functions do: a class attribute reads back as the
// function itself (so it can be saved, wrapped and put back), reading it from
// an instance binds it, and inspect.signature shows the declared parameters.

struct FunctionObject {
    PyObject_HEAD
#if PY_VERSION_HEX >= 0x03080000
    vectorcallfunc vectorcall;
#endif
    Target* target;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* signature;    // built on first use
    PyObject* annotations;  // built on first use
};

PyTypeObject g_function_type;

#if PY_VERSION_HEX >= 0x03080000
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
    return invoke(*reinterpret_cast<FunctionObject*>(self)->target, args, nargs, kwnames, nullptr);
}
#else
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return invoke(*reinterpret_cast<FunctionObject*>(self)->target, &PyTuple_GET_ITEM(args, 0),
                  static_cast<size_t>(PyTuple_GET_SIZE(args)), nullptr, kwargs);
}
#endif

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %S at %p>", reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->dict);
    Py_XDECREF(f->signature);
    Py_XDECREF(f->annotations);
    Py_TYPE(self)->tp_free(self);
}

// inspect.signature reads __signature__ first: the parameters as declared,
// annotated, none of them positional-only.
PyObject* function_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->signature) {
        try {
            const Target& t = *f->target;
            py::object inspect = steal(PyImport_ImportModule("inspect"));
            py::object parameter = inspect.attr("Parameter");
            py::object empty = parameter.attr("empty");
            py::list params;
            const size_t n = t.sig.names.size();
            const size_t required = n - t.sig.defaults.size();
            for (size_t i = 0; i < n; ++i) {
                py::dict kw;
                kw["default"] = i >= required ? borrow(t.sig.defaults[i - required]) : empty;
                kw["annotation"] = t.annotations[i] ? borrow(t.annotations[i]) : empty;
                params.append(parameter(borrow(t.names[i]), parameter.attr("POSITIONAL_OR_KEYWORD"), **kw));
            }
            if (t.sig.rest == Rest::StarArgs) params.append(parameter("args", parameter.attr("VAR_POSITIONAL")));
            f->signature = inspect.attr("Signature")(params).release().ptr();
        } catch (py::error_already_set& e) {
            e.restore();
            return nullptr;
        }
    }
    Py_INCREF(f->signature);
    return f->signature;
}

int function_set_signature(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XINCREF(value);
    Py_XSETREF(f->signature, value);
    return 0;
}

PyObject* function_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->annotations) {
        const Target& t = *f->target;
        PyObject* d = PyDict_New();
        if (!d) return nullptr;
        for (size_t i = 0; i < t.sig.names.size(); ++i)
            if (t.annotations[i] && PyDict_SetItem(d, t.names[i], t.annotations[i]) < 0) {
                Py_DECREF(d);
                return nullptr;
            }
        f->annotations = d;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

PyMemberDef g_function_members[] = {
    {const_cast<char*>("__name__"), T_OBJECT, offsetof(FunctionObject, name), 0, nullptr},
    {const_cast<char*>("__qualname__"), T_OBJECT, offsetof(FunctionObject, qualname), 0, nullptr},
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef g_function_getset[] = {
    {const_cast<char*>("__signature__"), function_signature, function_set_signature, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), function_annotations, nullptr, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* function_type() {
    static bool ready = false;
    if (ready) return &g_function_type;
    PyTypeObject& t = g_function_type;
    t.tp_name = "vqspecapisdk.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_descr_get = function_get;
    t.tp_members = g_function_members;
    t.tp_getset = g_function_getset;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
#if PY_VERSION_HEX >= 0x03080000
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
#if PY_VERSION_HEX >= 0x03090000
    t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
    t.tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#endif
#else
    t.tp_call = function_call;
#endif
    check(PyType_Ready(&t) == 0);
    ready = true;
    return &t;
}

// "name: type" -> the parameter name, and its annotation: a built-in type,
// else a class the module has defined by then, else the text itself.
PyObject* annotation_of(const std::string& type_name) {
    if (type_name.empty()) return nullptr;
    py::object builtins = steal(PyImport_ImportModule("builtins"));
    for (PyObject* ns : {builtins.ptr(), g_module}) {
        PyObject* v = PyObject_GetAttrString(ns, type_name.c_str());
        if (v) return v;
        PyErr_Clear();
    }
    return text(type_name).release().ptr();
}

// The function object for `sig`; `qualname_prefix` is the class name for
// methods. Lives as long as the process.
py::object new_function(const Signature& sig, Impl impl, const char* doc, const std::string& qualname_prefix) {
    const size_t n = sig.names.size() + (sig.receiver == Receiver::Self ? 1 : 0);
    if (n > kMaxParams + 1) raise_error(PyExc_SystemError, "too many parameters for a bound function");
    auto* t = new Target{sig, std::move(impl), {}, {}, {}, {}};
    std::vector<std::string> types;
    if (sig.receiver == Receiver::Self) {
        t->owned.emplace_back("self");
        types.emplace_back();
    }
    for (const char* spec : sig.names) {
        std::string s(spec);
        const size_t colon = s.find(':');
        std::string type_name = colon == std::string::npos ? "" : s.substr(colon + 1);
        s = s.substr(0, colon);
        while (!type_name.empty() && type_name.front() == ' ') type_name.erase(0, 1);
        t->owned.push_back(s);
        types.push_back(type_name);
    }
    t->sig.names.clear();
    for (size_t i = 0; i < n; ++i) {
        t->sig.names.push_back(t->owned[i].c_str());
        t->names[i] = PyUnicode_InternFromString(t->owned[i].c_str());
        t->annotations.push_back(annotation_of(types[i]));
    }
    const std::string qualname = qualname_prefix.empty() ? std::string(sig.func) : qualname_prefix + "." + sig.func;
#if PY_VERSION_HEX >= 0x030A0000
    t->errname = qualname;  // the interpreter names the qualified function from 3.10 on
#else
    t->errname = sig.func;
#endif
    const char* doc_text = doc;

    auto* f = PyObject_New(FunctionObject, function_type());
    if (!f) throw py::error_already_set();
#if PY_VERSION_HEX >= 0x03080000
    f->vectorcall = function_vectorcall;
#endif
    f->target = t;
    f->name = f->qualname = f->module = f->doc = f->dict = f->signature = f->annotations = nullptr;
    py::object self = steal(reinterpret_cast<PyObject*>(f));
    f->name = text(sig.func).release().ptr();
    f->qualname = text(qualname).release().ptr();
    f->module = steal(PyObject_GetAttrString(g_module, "__name__")).release().ptr();
    if (doc_text) {
        f->doc = text(doc_text, std::strlen(doc_text)).release().ptr();
    } else {
        Py_INCREF(Py_None);
        f->doc = Py_None;
    }
    return self;
}
}  // namespace

namespace {
// Interned name -> the function def_function bound under it (kept for the
// life of the process).
std::unordered_map<PyObject*, PyObject*>& own_functions() {
    static std::unordered_map<PyObject*, PyObject*> table;
    return table;
}
}  // namespace

py::object make_function(const Signature& sig, const char* doc, Impl impl) {
    return new_function(sig, std::move(impl), doc, "");
}

void def_function(py::module_& m, const Signature& sig, const char* doc, Impl impl) {
    py::object fn = new_function(sig, std::move(impl), doc, "");
    own_functions()[interned(sig.func)] = fn.inc_ref().ptr();
    m.attr(sig.func) = fn;
}

py::object replaced_function(PyObject* name, PyObject* own, LookupCache& cache) {
    PyObject* v = cached_item(PyModule_GetDict(g_module), name, cache);  // borrowed
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw py::error_already_set();
    }
    if (v == own) return py::object();
    return borrow(v);
}

py::object replaced_function(PyObject* name) {
    const auto& own = own_functions();
    auto it = own.find(name);
    LookupCache once;
    return replaced_function(name, it != own.end() ? it->second : nullptr, once);
}

py::object call_object(PyObject* fn, std::initializer_list<PyObject*> args) {
    py::tuple t(args.size());
    size_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SET_ITEM(t.ptr(), i++, a);
    }
    return steal(PyObject_Call(fn, t.ptr(), nullptr));
}

void def_method(py::handle cls, const Signature& sig, const char* doc, Impl impl) {
    Signature s = sig;
    s.receiver = Receiver::Self;
    const std::string prefix = py::str(cls.attr("__qualname__"));
    py::object fn = new_function(s, std::move(impl), doc, prefix);
    check(PyObject_SetAttrString(cls.ptr(), sig.func, fn.ptr()) == 0);
}

void def_methods(py::handle cls, std::initializer_list<MethodDef> table) {
    for (const MethodDef& row : table) def_method(cls, row.sig, row.doc, row.impl);
}

py::object make_class(py::module_& m, const char* name, PyObject* base, const char* doc,
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
    py::tuple bases = py::make_tuple(borrow(base ? base : reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::object cls = steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                        py::str(name).ptr(), bases.ptr(), ns.ptr(), nullptr));
    m.attr(name) = cls;
    return cls;
}

py::object call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    py::object fn = get_attr(obj, name);
    return call_object(fn.ptr(), args);
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
