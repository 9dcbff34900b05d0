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

// Constant-time comparison of a computed signature with a received value;
// anything that is not text compares unequal.
bool signature_matches(const std::string& computed, PyObject* received);

py::object encrypt_body(PyObject* aes_key, PyObject* origin_body);
py::object decrypt_body(PyObject* aes_key, PyObject* origin_body);

// Base64 decoding with the interpreter's base64.b64decode results and errors.
std::vector<uint8_t> b64decode(PyObject* data);

}  // namespace vq
