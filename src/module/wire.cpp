#include "module/wire.hpp"

#include "env/env.hpp"
#include "log/log.hpp"
#include "module/crypto_api.hpp"

namespace vq {

namespace {
py::object clock_now() {
    py::object time_mod = VQ_GLOBAL("time");
    return call_method(time_mod.ptr(), VQ_NAME("time"));
}
}  // namespace

py::object now_seconds_text() {
    py::object secs = steal(PyNumber_Long(clock_now().ptr()));
    return steal(PyObject_Str(secs.ptr()));
}

py::object now_millis() {
    py::object thousand = steal(PyLong_FromLong(1000));
    py::object scaled = steal(PyNumber_Multiply(clock_now().ptr(), thousand.ptr()));
    return steal(PyNumber_Long(scaled.ptr()));
}

py::object nonce_text() {
    py::object random_mod = VQ_GLOBAL("random");
    py::object bound = steal(PyLong_FromLong(2147483647L));
    py::object n = call_method(random_mod.ptr(), VQ_NAME("randrange"), {bound.ptr()});
    return steal(PyObject_Str(n.ptr()));
}

py::object length_text(PyObject* text) {
    Py_ssize_t n = PyObject_Length(text);
    if (n < 0) throw py::error_already_set();
    py::object len = steal(PyLong_FromSsize_t(n));
    return steal(PyObject_Str(len.ptr()));
}

void unpack_pair(PyObject* item, py::object& name, py::object& value) {
    Py_ssize_t size = -1;
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        size = Py_SIZE(item);
        if (size == 2) {
            // Both taken before any code runs on either: a list pair may be
            // changed by its own name's methods.
            name = borrow(PySequence_Fast_GET_ITEM(item, 0));
            value = borrow(PySequence_Fast_GET_ITEM(item, 1));
            return;
        }
    } else {
        // Any other iterable: take at most three items to tell the count.
        py::object it = steal(PyObject_GetIter(item));
        py::list got;
        while (got.size() < 3) {
            PyObject* x = PyIter_Next(it.ptr());
            if (!x) {
                if (PyErr_Occurred()) throw py::error_already_set();
                break;
            }
            got.append(steal(x));
        }
        size = static_cast<Py_ssize_t>(got.size());
        if (size == 2) {
            name = borrow(PyList_GET_ITEM(got.ptr(), 0));
            value = borrow(PyList_GET_ITEM(got.ptr(), 1));
            return;
        }
    }
    if (size > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size, size == 1 ? "" : "s");
    }
    throw py::error_already_set();
}

void unpack_two(PyObject* item, py::object& first, py::object& second) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == 2) {
        first = borrow(PySequence_Fast_GET_ITEM(item, 0));
        second = borrow(PySequence_Fast_GET_ITEM(item, 1));
        return;
    }
    // Everything else goes through the interpreter's own unpacking, whose
    // errors differ between versions.
    static PyObject* const unpack = [] {
        py::dict ns;
        ns["__builtins__"] = steal(PyImport_ImportModule("builtins"));
        py::object code = steal(Py_CompileString("def unpack(pair):\n    name, value = pair\n    return name, value\n",
                                                 "<vqspecapisdk>", Py_file_input));
        steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
        return py::object(ns["unpack"]).release().ptr();  // kept for the life of the process
    }();
    py::object pair = call_object(unpack, {item});
    first = borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
    second = borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
}

bool equals(PyObject* a, PyObject* b) {
    py::object r = steal(PyObject_RichCompare(a, b, Py_EQ));
    const int truth = PyObject_IsTrue(r.ptr());
    check(truth >= 0);
    return truth == 1;
}

namespace {

// The row an exact ASCII str name matches, or -1; such a name compares with
// no side effects, so the first match is the only one.
int ascii_row(PyObject* name, const HeaderSlot* table, size_t rows, NameMatch match) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    if (n > static_cast<Py_ssize_t>(kMaxHeaderName)) return -1;
    char buf[kMaxHeaderName];
    const char* p = static_cast<const char*>(PyUnicode_DATA(name));
    for (Py_ssize_t i = 0; i < n; ++i)
        buf[i] = match == NameMatch::LowerCase && p[i] >= 'A' && p[i] <= 'Z' ? static_cast<char>(p[i] + 32) : p[i];
    // Whole names only: a name with a NUL inside is not its prefix.
    const std::string_view got(buf, static_cast<size_t>(n));
    for (size_t r = 0; r < rows; ++r)
        if (got == table[r].name) return static_cast<int>(r);
    return -1;
}
}  // namespace

void scan_headers(PyObject* message, PyObject* headers, const HeaderSlot* table, size_t rows, NameMatch match,
                  Unpack unpack, py::object* values) {
    auto set = [&](size_t r, const py::object& value) {
        check(PyObject_SetAttr(message, interned(table[r].member), value.ptr()) == 0);
        values[r] = value;
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers); ++i) {
        py::object item = borrow(PyList_GET_ITEM(headers, i));
        py::object name, value;
        unpack(item.ptr(), name, value);
        if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_IS_ASCII(name.ptr())) {
            const int r = ascii_row(name.ptr(), table, rows, match);
            if (r >= 0) set(static_cast<size_t>(r), value);
            continue;
        }
        py::object compared = match == NameMatch::LowerCase ? call_method(name.ptr(), VQ_NAME("lower")) : name;
        for (size_t r = 0; r < rows; ++r)
            if (equals(compared.ptr(), interned(table[r].name.data()))) set(r, value);
    }
}

SignedValues sign_message(PyObject* message) {
    SignedValues v;
    v.timestamp = now_seconds_text();
    v.nonce = nonce_text();
    v.encoded = VQ_GET(message, "encoded_body");
    py::object token = VQ_ENV("get_token");
    py::object ver = VQ_ENV("get_key_ver");
    v.signature = module_signature(token.ptr(), v.encoded.ptr(), v.timestamp.ptr(), v.nonce.ptr(), ver.ptr());
    v.ver = VQ_ENV("get_key_ver");
    return v;
}

void verify_signature(PyObject* body, PyObject* timestamp, PyObject* nonce, PyObject* ver, PyObject* received,
                      const char* label, bool show_received) {
    py::object token = VQ_ENV("get_token");
    py::object computed = signature_mismatch(token.ptr(), body, timestamp, nonce, ver, received);
    if (!computed) return;
    // The line shows only the start of the computed signature: a valid one
    // in a log would let its readers forge the message.
    py::object text_label = borrow(interned(label));
    py::object hint = signature_hint(computed.ptr());
    if (show_received) log_error({text_label.ptr(), hint.ptr(), received});
    else log_error({text_label.ptr(), hint.ptr()});
    raise_exception("Invalid signature");
}

py::object header_set(std::initializer_list<std::pair<const char*, PyObject*>> entries) {
    py::dict d;
    for (const auto& e : entries) check(PyDict_SetItem(d.ptr(), interned(e.first), e.second) == 0);
    return std::move(d);
}

}  // namespace vq
