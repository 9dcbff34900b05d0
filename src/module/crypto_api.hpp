// Interpreter-facing message security: the module's get_signature,
// encrypt_body and decrypt_body, also called directly by the message classes.
#pragma once

#include "module/common.hpp"

namespace vq {

// 64 lower-case hex digits of the message signature; the text forms of
// timestamp, nonce and secret_ver are what str() gives.
std::string signature_hex(PyObject* secret_key, PyObject* body, PyObject* timestamp,
                          PyObject* nonce, PyObject* secret_ver);
py::object signature_text(PyObject* secret_key, PyObject* body, PyObject* timestamp,
                          PyObject* nonce, PyObject* secret_ver);

// How a refusal log line shows a computed signature: the first 8 characters
// of its text form (8 hex digits) and "...", enough to tell two apart, never
// a signature someone could reuse.
py::object signature_hint(PyObject* computed);

// Constant-time comparison of a computed signature with a received value;
// anything that is not text compares unequal.
bool signature_matches(const std::string& computed, PyObject* received);

// The module's own get_signature, encrypt_body and decrypt_body.
py::object native_encrypt_body(PyObject* aes_key, PyObject* origin_body);
py::object native_decrypt_body(PyObject* aes_key, PyObject* origin_body);

// The same as the message classes call them: through the module's current
// get_signature / encrypt_body / decrypt_body when a program replaced one.
py::object module_signature(PyObject* secret_key, PyObject* body, PyObject* timestamp, PyObject* nonce,
                            PyObject* secret_ver);
py::object encrypt_body(PyObject* aes_key, PyObject* origin_body);
py::object decrypt_body(PyObject* aes_key, PyObject* origin_body);

// Checks a received signature against the message's; gives the computed
// signature when they differ (for the refusal's log line), else an empty
// object. A replaced get_signature's result is compared with `!=`.
py::object signature_mismatch(PyObject* secret_key, PyObject* body, PyObject* timestamp, PyObject* nonce,
                              PyObject* secret_ver, PyObject* received);

// Base64 decoding with the interpreter's base64.b64decode results and errors.
std::vector<uint8_t> b64decode(PyObject* data);

}  // namespace vq
