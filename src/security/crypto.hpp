// Message security primitives: Base64, MD5, HMAC-SHA-256, AES-CBC with
// 32-byte PKCS#7 padding. Plain C++ over OpenSSL's libcrypto; nothing in this
// layer knows about the interpreter, so callers may run it without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vqsec {

// ---- Base64 ---------------------------------------------------------------

// Length of the standard, padded Base64 text of n bytes.
size_t b64_encoded_len(size_t n);

// Writes b64_encoded_len(n) characters plus a terminating NUL into dst.
void b64_encode_into(const uint8_t* src, size_t n, char* dst);

enum class B64Status {
    Ok,
    IncorrectPadding,   // leftover bits at the end of the input
    ExcessDataChar,     // exactly one data character past a whole quad
};

// Lenient decoder with the semantics of the interpreter's non-validating
// Base64 decoder: bytes outside the alphabet are skipped, a pad sequence ends
// the input, and leftover bits are an error. `data_chars` receives the count
// the interpreter reports for ExcessDataChar.
B64Status b64_decode_lenient(const char* src, size_t n, std::vector<uint8_t>& out,
                             size_t& data_chars);

// ---- Digests --------------------------------------------------------------

enum class DigestStatus {
    Ok,
    Md5Failed,    // libcrypto refused MD5 (no provider offers it, out of memory)
    HmacFailed,   // libcrypto refused HMAC-SHA-256
};

// 32 lower-case hex digits of MD5(data); `out` is untouched on failure.
[[nodiscard]] DigestStatus md5_hex(const char* data, size_t n, char out[32]);

// 64 lower-case hex digits of HMAC-SHA-256(key, msg); `out` is untouched on failure.
[[nodiscard]] DigestStatus hmac_sha256_hex(const char* key, size_t key_len, const char* msg, size_t msg_len,
                                           char out[64]);

// Constant-time comparison of two equally long buffers; different lengths
// compare unequal (the length itself is not secret).
bool equal_ct(const char* a, size_t a_len, const char* b, size_t b_len);

// A run of bytes owned by the caller.
struct Span {
    const char* p;
    size_t n;
};

// The string that is signed: five sorted "key=value\n" lines, written into
// `out`, which holds signing_text_len() bytes.
size_t signing_text_len(const Span& nonce, const Span& secret_ver, const Span& timestamp);
void signing_text_into(const char body_md5[32], const Span& nonce, const Span& secret_ver,
                       const Span& timestamp, char* out);

// Signature of a message: HMAC-SHA-256 over the signed string, keyed with the token.
[[nodiscard]] DigestStatus message_signature(const char* token, size_t token_len, const char* body,
                       size_t body_len, const Span& timestamp, const Span& nonce,
                       const Span& secret_ver, char out[64]);

// ---- AES-CBC with PKCS#7 padding to 32 bytes -----------------------------

enum class CryptStatus {
    Ok,
    BadKeyLength,        // key is not 16, 24 or 32 bytes
    NotBlockMultiple,    // cipher text is not a multiple of 16 bytes
    ZeroLength,          // nothing to unpad
    NotPadded,           // plain text is not a multiple of 32 bytes
    BadPadding,          // last byte out of range
    BadPkcs7,            // padding bytes disagree
    LibraryError,        // libcrypto refused the operation (no provider offers it, out of memory)
};

constexpr size_t kPadBlock = 32;

// Cipher text length for a plain text of n bytes.
inline size_t padded_len(size_t n) { return (n / kPadBlock + 1) * kPadBlock; }

// Encrypts `plain` with the IV set to the first 16 key bytes, padding to 32
// bytes, and writes the Base64 text of the cipher text into `b64_out`, which
// must hold b64_encoded_len(padded_len(n)) + 1 characters.
[[nodiscard]] CryptStatus encrypt_to_b64(const uint8_t* key, size_t key_len, const char* plain, size_t n,
                           char* b64_out);

// Decrypts `cipher` in place and strips the padding; on success `plain_len`
// is the length of the plain text at the start of the buffer.
[[nodiscard]] CryptStatus decrypt_in_place(const uint8_t* key, size_t key_len, uint8_t* cipher, size_t n,
                             size_t& plain_len);

// Decrypts `cipher` into `out` (room for n bytes; either the same buffer or
// one that does not overlap it) and
// strips the padding; on success `plain_len` bytes of plain text are in `out`.
[[nodiscard]] CryptStatus decrypt_to(const uint8_t* key, size_t key_len, const uint8_t* cipher, size_t n, uint8_t* out,
                       size_t& plain_len);

// libcrypto's reasons for this thread's last refusal (Md5Failed,
// HmacFailed, LibraryError), as ERR_error_string_n writes them, joined by
// "; "; empty when libcrypto gave none. Every failure path reads and clears
// the thread's error queue, so the next caller (the interpreter's own ssl
// among them) finds it empty.
const std::string& library_error_reason();

// True when every byte is below 0x80.
bool all_ascii(const uint8_t* p, size_t n);

}  // namespace vqsec
