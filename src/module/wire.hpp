// The message layer shared by the two directions: reading a header list
// against a table of names, signing a message's header values in their
// pinned order, checking a received signature, and the small texts a message
// carries.
#pragma once

#include <string_view>

#include "module/common.hpp"

namespace vq {

// str(int(time.time())) from the module's clock.
py::object now_seconds_text();
// int(time.time() * 1000) from the module's clock.
py::object now_millis();
// str(random.randrange(2147483647)) from the process-wide generator.
py::object nonce_text();
// str(len(text)).
py::object length_text(PyObject* text);

// Unpacks one (name, value) element of a header list; the element must hold
// exactly two items. Both results are strong references.
void unpack_pair(PyObject* item, py::object& name, py::object& value);

// Unpacks one element of a header list exactly as `name, value = item`
// does in interpreted code, with the interpreter's own errors; the results
// are strong references taken before any other code runs.
void unpack_two(PyObject* item, py::object& first, py::object& second);

// `a == b` as interpreted code tests it: the rich comparison's truth, with
// no shortcut for identical objects.
bool equals(PyObject* a, PyObject* b);

// ---- reading a header list -------------------------------------------------------

// One header a message reads: its name (a literal, so name.data() is a C
// string too) and the member it sets.
struct HeaderSlot {
    std::string_view name;
    const char* member;
};

// Names are compared in a buffer of this size; a table checks its names
// against it when it is compiled: static_assert(names_fit(table)).
constexpr size_t kMaxHeaderName = 32;
template <size_t N>
constexpr bool names_fit(const HeaderSlot (&table)[N]) {
    for (const HeaderSlot& h : table)
        if (h.name.size() > kMaxHeaderName) return false;
    return true;
}

// How names are matched: exactly (the platform's answers) or after the
// name's own lower() (the platform's calls).
enum class NameMatch { Exact, LowerCase };
using Unpack = void (*)(PyObject* item, py::object& name, py::object& value);

// Reads `headers` (a list) in order: each element is unpacked, its name
// compared with every row of the table, and on equality the row's member is
// set on `message` at once and kept in values[row]. A later duplicate wins;
// members set before an element fails stay set.
void scan_headers(PyObject* message, PyObject* headers, const HeaderSlot* table, size_t rows, NameMatch match,
                  Unpack unpack, py::object* values);

// ---- signing and checking -------------------------------------------------------

// The signed header values of a message about to be sent, read in their
// pinned order: clock, nonce, the message's encoded_body, token, secret
// version, signature, then the secret version again for the header.
struct SignedValues {
    py::object timestamp, nonce, encoded, signature, ver;
};
SignedValues sign_message(PyObject* message);

// Checks a received message's signature with the token in force. On a
// mismatch writes the error line (`label`, the computed signature's hint,
// and the received one when `show_received`) and raises "Invalid signature".
void verify_signature(PyObject* body, PyObject* timestamp, PyObject* nonce, PyObject* ver, PyObject* received,
                      const char* label, bool show_received);

// A new header set (an insertion-ordered dict) from name/value pairs.
py::object header_set(std::initializer_list<std::pair<const char*, PyObject*>> entries);

}  // namespace vq
