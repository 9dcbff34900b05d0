#include "module/crypto_api.hpp"
#include "module/registry.hpp"

#include "security/crypto.hpp"

#include <cstring>

namespace vq {

namespace {

PyObject* binascii_error() {
    static PyObject* const err = [] {
        PyObject* mod = PyImport_ImportModule("binascii");
        PyObject* e = mod ? PyObject_GetAttrString(mod, "Error") : nullptr;
        Py_XDECREF(mod);
        return e;
    }();
    if (!err) throw py::error_already_set();
    return err;
}

[[noreturn]] void raise_b64(vqsec::B64Status st, size_t data_chars) {
#if PY_VERSION_HEX >= 0x03070000
    if (st == vqsec::B64Status::ExcessDataChar) {
        PyErr_Format(binascii_error(),
                     "Invalid base64-encoded string: number of data characters (%zd) cannot be 1 "
                     "more than a multiple of 4",
                     static_cast<Py_ssize_t>(data_chars));
        throw py::error_already_set();
    }
#else
    (void)st;
    (void)data_chars;
#endif
    raise_error(binascii_error(), "Incorrect padding");
}

std::vector<uint8_t> b64decode_bytes(const char* p, size_t n) {
    std::vector<uint8_t> out;
    size_t data_chars = 0;
    vqsec::B64Status st = vqsec::b64_decode_lenient(p, n, out, data_chars);
    if (st != vqsec::B64Status::Ok) raise_b64(st, data_chars);
    return out;
}

// RuntimeError "<what>: <libcrypto's reasons>" (the reasons when it gave any).
[[noreturn]] void raise_refusal(const char* what) {
    const std::string& why = vqsec::library_error_reason();
    raise_error(PyExc_RuntimeError, why.empty() ? std::string(what) : std::string(what) + ": " + why);
}

[[noreturn]] void raise_crypt(vqsec::CryptStatus st, size_t key_len) {
    switch (st) {
        case vqsec::CryptStatus::BadKeyLength:
            PyErr_Format(PyExc_ValueError, "Incorrect AES key length (%zd bytes)", static_cast<Py_ssize_t>(key_len));
            throw py::error_already_set();
        case vqsec::CryptStatus::NotBlockMultiple:
            raise_error(PyExc_ValueError, "Data must be padded to 16 byte boundary in CBC mode");
        case vqsec::CryptStatus::ZeroLength:
            raise_error(PyExc_ValueError, "Zero-length input cannot be unpadded");
        case vqsec::CryptStatus::NotPadded:
            raise_error(PyExc_ValueError, "Input data is not padded");
        case vqsec::CryptStatus::BadPadding:
            raise_error(PyExc_ValueError, "Padding is incorrect.");
        case vqsec::CryptStatus::BadPkcs7:
            raise_error(PyExc_ValueError, "PKCS#7 padding is incorrect.");
        default:
            raise_refusal("libcrypto refused the AES operation");
    }
}

[[noreturn]] void raise_digest(vqsec::DigestStatus st) {
    raise_refusal(st == vqsec::DigestStatus::Md5Failed ? "libcrypto refused the MD5 digest"
                                                       : "libcrypto refused the HMAC-SHA-256 operation");
}

// The AES key: Base64 of the key text with one "=" appended. The same key
// text comes with every message, so the last one decoded is remembered
// (under the GIL, like everything in this file); callers get a copy they
// may use without the GIL.
struct AesKey {
    uint8_t bytes[32];
    size_t len;  // may exceed 32 for a key that is refused
};

AesKey checked_key(const std::vector<uint8_t>& raw) {
    AesKey key;
    key.len = raw.size();
    if (key.len != 16 && key.len != 24 && key.len != 32) raise_crypt(vqsec::CryptStatus::BadKeyLength, key.len);
    std::memcpy(key.bytes, raw.data(), key.len);
    return key;
}

AesKey decode_key(PyObject* aes_key) {
    if (PyUnicode_Check(aes_key) && PyUnicode_IS_ASCII(aes_key)) {
        static std::string last_text;
        static AesKey last_key;
        const auto* p = static_cast<const char*>(PyUnicode_DATA(aes_key));
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(aes_key));
        if (!last_text.empty() && last_text.size() == n + 1 && std::memcmp(last_text.data(), p, n) == 0)
            return last_key;
        std::string s(p, n);
        s.push_back('=');
        AesKey key = checked_key(b64decode_bytes(s.data(), s.size()));
        last_text = std::move(s);
        last_key = key;
        return key;
    }
    // Anything else goes the interpreter's way, errors included.
    py::object eq = text("=");
    py::object joined = steal(PyNumber_Add(aes_key, eq.ptr()));
    return checked_key(b64decode(joined.ptr()));
}

// A value's length, as len() reports it (TypeError for values without one).
Py_ssize_t length_of(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw py::error_already_set();
    return n;
}

// UTF-8 bytes of a text; other values fail as `value.encode("utf-8")` does.
Utf8 encode_text(PyObject* value, py::object& keep) {
    if (PyUnicode_Check(value)) return utf8_of(value);
    keep = call_method(value, VQ_NAME("encode"), {VQ_NAME("utf-8")});
    if (!PyBytes_Check(keep.ptr())) raise_error(PyExc_TypeError, "encode() did not return bytes");
    return {PyBytes_AS_STRING(keep.ptr()), PyBytes_GET_SIZE(keep.ptr())};
}

}  // namespace

std::vector<uint8_t> b64decode(PyObject* data) {
    if (PyUnicode_Check(data)) {
        if (!PyUnicode_IS_ASCII(data))
            raise_error(PyExc_ValueError, "string argument should contain only ASCII characters");
        return b64decode_bytes(static_cast<const char*>(PyUnicode_DATA(data)),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(data)));
    }
    if (PyBytes_Check(data))
        return b64decode_bytes(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));
    if (PyObject_CheckBuffer(data)) {
        Py_buffer view;
        check(PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) == 0);
        std::vector<uint8_t> out;
        try {
            out = b64decode_bytes(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
        return out;
    }
    PyErr_Format(PyExc_TypeError, "argument should be a bytes-like object or ASCII string, not '%.100s'",
                 Py_TYPE(data)->tp_name);
    throw py::error_already_set();
}

std::string signature_hex(PyObject* secret_key, PyObject* body, PyObject* timestamp, PyObject* nonce,
                          PyObject* secret_ver) {
    // Same order of failures as building the text and then encoding it:
    // the body, the text forms, the token, the signed text.
    py::object keep_body, keep_key;
    Utf8 b = encode_text(body, keep_body);
    py::object ts_text = steal(PyObject_Str(timestamp));
    py::object nonce_text = steal(PyObject_Str(nonce));
    py::object ver_text = steal(PyObject_Str(secret_ver));
    Utf8 k = encode_text(secret_key, keep_key);
    Py_ssize_t n0 = 0, n1 = 0, n2 = 0;
    const char* p0 = PyUnicode_AsUTF8AndSize(ts_text.ptr(), &n0);
    const char* p1 = p0 ? PyUnicode_AsUTF8AndSize(nonce_text.ptr(), &n1) : nullptr;
    const char* p2 = p1 ? PyUnicode_AsUTF8AndSize(ver_text.ptr(), &n2) : nullptr;
    if (!p2) {
        // A text form without a UTF-8 form (a lone surrogate): report it as
        // encoding the whole signed text reports it.
        PyErr_Clear();
        char digest[32];
        const vqsec::DigestStatus st = vqsec::md5_hex(b.data, static_cast<size_t>(b.size), digest);
        if (st != vqsec::DigestStatus::Ok) raise_digest(st);
        std::string hex(digest, 32);
        py::object signed_text = steal(PyUnicode_FromFormat("body-md5=%s\nmethod=POST\nvq-nonce=%U\nvq-secret-ver=%U\nvq-timestamp=%U\n",
                                                            hex.c_str(), nonce_text.ptr(), ver_text.ptr(), ts_text.ptr()));
        steal(PyUnicode_AsUTF8String(signed_text.ptr()));
        raise_error(PyExc_RuntimeError, "signed text unexpectedly encodable");
    }
    const vqsec::Span ts{p0, static_cast<size_t>(n0)}, nc{p1, static_cast<size_t>(n1)},
        ver{p2, static_cast<size_t>(n2)};
    char out[64];
    vqsec::DigestStatus st;
    if (static_cast<size_t>(b.size) >= kNoGilThreshold) {
        py::gil_scoped_release nogil;
        st = vqsec::message_signature(k.data, static_cast<size_t>(k.size), b.data, static_cast<size_t>(b.size), ts,
                                      nc, ver, out);
    } else {
        st = vqsec::message_signature(k.data, static_cast<size_t>(k.size), b.data, static_cast<size_t>(b.size), ts,
                                      nc, ver, out);
    }
    if (st != vqsec::DigestStatus::Ok) raise_digest(st);
    return std::string(out, 64);
}

py::object signature_text(PyObject* secret_key, PyObject* body, PyObject* timestamp, PyObject* nonce,
                          PyObject* secret_ver) {
    std::string hex = signature_hex(secret_key, body, timestamp, nonce, secret_ver);
    return steal(PyUnicode_FromStringAndSize(hex.data(), 64));
}

py::object signature_hint(PyObject* computed) {
    py::object whole = steal(PyObject_Str(computed));
    py::object head = steal(PyUnicode_Substring(whole.ptr(), 0, 8));
    py::object dots = steal(PyUnicode_FromString("..."));
    return steal(PyUnicode_Concat(head.ptr(), dots.ptr()));
}

bool signature_matches(const std::string& computed, PyObject* received) {
    if (!PyUnicode_Check(received)) return false;
    if (!PyUnicode_IS_ASCII(received)) return false;  // the computed text is ASCII
    return vqsec::equal_ct(computed.data(), computed.size(), static_cast<const char*>(PyUnicode_DATA(received)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(received)));
}

py::object native_encrypt_body(PyObject* aes_key, PyObject* origin_body) {
    if (origin_body == Py_None || length_of(origin_body) == 0) return borrow(origin_body);
    const AesKey key = decode_key(aes_key);
    py::object keep;
    Utf8 plain = encode_text(origin_body, keep);
    const size_t n = static_cast<size_t>(plain.size);
    const size_t out_len = vqsec::b64_encoded_len(vqsec::padded_len(n));
    py::object out = steal(PyUnicode_New(static_cast<Py_ssize_t>(out_len), 127));
    char* dst = static_cast<char*>(PyUnicode_DATA(out.ptr()));
    vqsec::CryptStatus st = vqsec::CryptStatus::Ok;
    if (n >= kNoGilThreshold) {
        py::gil_scoped_release nogil;
        st = vqsec::encrypt_to_b64(key.bytes, key.len, plain.data, n, dst);
    } else {
        st = vqsec::encrypt_to_b64(key.bytes, key.len, plain.data, n, dst);
    }
    if (st != vqsec::CryptStatus::Ok) raise_crypt(st, key.len);
    return out;
}

py::object native_decrypt_body(PyObject* aes_key, PyObject* origin_body) {
    if (origin_body == Py_None || length_of(origin_body) == 0) return borrow(origin_body);
    const AesKey key = decode_key(aes_key);
    std::vector<uint8_t> data;
    size_t plain_len = 0;
    vqsec::CryptStatus st = vqsec::CryptStatus::Ok;
    if (PyUnicode_Check(origin_body) && PyUnicode_IS_ASCII(origin_body) &&
        static_cast<size_t>(PyUnicode_GET_LENGTH(origin_body)) >= kNoGilThreshold) {
        // Large wire texts: decode, decrypt and check the plain text without
        // the GIL, straight into the str that is returned when it is ASCII
        // (as JSON bodies are); other text is decoded as UTF-8 afterwards.
        const auto* p = static_cast<const char*>(PyUnicode_DATA(origin_body));
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(origin_body));
        PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(n / 4 * 3 + 3), 127);
        if (!out) throw py::error_already_set();
        auto* dst = static_cast<uint8_t*>(PyUnicode_DATA(out));
        vqsec::B64Status bs;
        size_t data_chars = 0;
        bool ascii = false;
        {
            py::gil_scoped_release nogil;
            bs = vqsec::b64_decode_lenient(p, n, data, data_chars);
            if (bs == vqsec::B64Status::Ok) {
                st = vqsec::decrypt_to(key.bytes, key.len, data.data(), data.size(), dst, plain_len);
                if (st == vqsec::CryptStatus::Ok) ascii = vqsec::all_ascii(dst, plain_len);
            }
        }
        if (bs != vqsec::B64Status::Ok || st != vqsec::CryptStatus::Ok) {
            Py_DECREF(out);
            if (bs != vqsec::B64Status::Ok) raise_b64(bs, data_chars);
            raise_crypt(st, key.len);
        }
        if (ascii) {
            dst[plain_len] = 0;
            if (PyUnicode_Resize(&out, static_cast<Py_ssize_t>(plain_len)) < 0) throw py::error_already_set();
            return steal(out);
        }
        py::object holder = steal(out);
        return steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(dst), static_cast<Py_ssize_t>(plain_len),
                                          "strict"));
    }
    data = b64decode(origin_body);
    st = vqsec::decrypt_in_place(key.bytes, key.len, data.data(), data.size(), plain_len);
    if (st != vqsec::CryptStatus::Ok) raise_crypt(st, key.len);
    return steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data.data()),
                                      static_cast<Py_ssize_t>(plain_len), "strict"));
}

py::object module_signature(PyObject* secret_key, PyObject* body, PyObject* timestamp, PyObject* nonce,
                            PyObject* secret_ver) {
    if (py::object f = VQ_REPLACED("get_signature"))
        return call_object(f.ptr(), {secret_key, body, timestamp, nonce, secret_ver});
    return signature_text(secret_key, body, timestamp, nonce, secret_ver);
}

py::object encrypt_body(PyObject* aes_key, PyObject* origin_body) {
    if (py::object f = VQ_REPLACED("encrypt_body")) return call_object(f.ptr(), {aes_key, origin_body});
    return native_encrypt_body(aes_key, origin_body);
}

py::object decrypt_body(PyObject* aes_key, PyObject* origin_body) {
    if (py::object f = VQ_REPLACED("decrypt_body")) return call_object(f.ptr(), {aes_key, origin_body});
    return native_decrypt_body(aes_key, origin_body);
}

py::object signature_mismatch(PyObject* secret_key, PyObject* body, PyObject* timestamp, PyObject* nonce,
                              PyObject* secret_ver, PyObject* received) {
    if (py::object f = VQ_REPLACED("get_signature")) {
        py::object computed = call_object(f.ptr(), {secret_key, body, timestamp, nonce, secret_ver});
        const int differs = PyObject_RichCompareBool(computed.ptr(), received, Py_NE);
        if (differs < 0) throw py::error_already_set();
        return differs ? computed : py::object();
    }
    std::string computed = signature_hex(secret_key, body, timestamp, nonce, secret_ver);
    if (signature_matches(computed, received)) return py::object();
    return steal(PyUnicode_FromStringAndSize(computed.data(), 64));
}

// ---- module functions ------------------------------------------------------------

namespace {

py::object py_get_signature(const Bound& a) { return signature_text(a[0], a[1], a[2], a[3], a[4]); }
py::object py_encrypt_body(const Bound& a) { return native_encrypt_body(a[0], a[1]); }
py::object py_decrypt_body(const Bound& a) { return native_decrypt_body(a[0], a[1]); }

}  // namespace

void register_security(py::module_& m) {
    def_function(m, {"get_signature", {"secret_key", "body", "timestamp", "nonce", "secret_ver"}},
                 
                 "Return the message signature: 64 lower-case hex digits of HMAC-SHA-256 keyed with the token.",
                 py_get_signature);
    def_function(m, {"encrypt_body", {"aes_key", "origin_body"}},
                 
                 "Encrypt a body text with AES-CBC under the key text; return its Base64 wire text.",
                 py_encrypt_body);
    def_function(m, {"decrypt_body", {"aes_key", "origin_body"}},
                 
                 "Decrypt a Base64 wire text with AES-CBC under the key text; return the body text.",
                 py_decrypt_body);
}

}  // namespace vq
