#include "module/json_text.hpp"

#include <cstring>

namespace vq {

namespace {
PyObject* g_json = nullptr;   // the standard json module and its dumps,
PyObject* g_dumps = nullptr;  // kept for the life of the process
}  // namespace

void remember_standard_json(PyObject* json_module) {
    g_dumps = check(PyObject_GetAttrString(json_module, "dumps"));
    Py_INCREF(json_module);
    g_json = json_module;
}

py::object replaced_json_dumps() {
    py::object json_mod = VQ_GLOBAL("json");
    py::object dumps = VQ_GET(json_mod.ptr(), "dumps");
    if (json_mod.ptr() == g_json && dumps.ptr() == g_dumps) return py::object();
    return dumps;
}

namespace {
const char kHex[] = "0123456789abcdef";

inline void append_u(std::string& out, Py_UCS4 unit) {
    char buf[6] = {'\\', 'u', kHex[(unit >> 12) & 0xf], kHex[(unit >> 8) & 0xf], kHex[(unit >> 4) & 0xf],
                   kHex[unit & 0xf]};
    out.append(buf, 6);
}

// One character as the standard writer writes it.
inline void append_char(std::string& out, Py_UCS4 c) {
    if (c >= 0x20 && c < 0x7f) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(static_cast<char>(c));
        return;
    }
    switch (c) {
        case '\n': out.append("\\n", 2); break;
        case '\r': out.append("\\r", 2); break;
        case '\t': out.append("\\t", 2); break;
        case '\b': out.append("\\b", 2); break;
        case '\f': out.append("\\f", 2); break;
        default:
            if (c > 0xffff) {
                Py_UCS4 v = c - 0x10000;
                append_u(out, 0xd800 | ((v >> 10) & 0x3ff));
                append_u(out, 0xdc00 | (v & 0x3ff));
            } else {
                append_u(out, c);
            }
    }
}

}  // namespace

void append_json_string(std::string& out, PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    out.reserve(out.size() + static_cast<size_t>(n) + 2);
    out.push_back('"');
    if (kind == PyUnicode_1BYTE_KIND) {
        // Runs of printable ASCII other than '"' and '\\' are copied whole.
        const auto* p = static_cast<const unsigned char*>(data);
        Py_ssize_t i = 0;
        while (i < n) {
            Py_ssize_t j = i;
            while (j < n && p[j] >= 0x20 && p[j] < 0x7f && p[j] != '"' && p[j] != '\\') ++j;
            out.append(reinterpret_cast<const char*>(p + i), static_cast<size_t>(j - i));
            if (j == n) break;
            append_char(out, p[j]);
            i = j + 1;
        }
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) append_char(out, PyUnicode_READ(kind, data, i));
    }
    out.push_back('"');
}

py::object ascii_text(const std::string& s) {
    py::object out = steal(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
    std::memcpy(PyUnicode_DATA(out.ptr()), s.data(), s.size());
    return out;
}

}  // namespace vq
