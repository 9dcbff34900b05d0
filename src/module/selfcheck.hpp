// Import-time known-answer check of libcrypto (see selfcheck.cpp).
#pragma once

namespace vq {

// Throws std::runtime_error, which fails the import, when libcrypto gives a
// wrong answer for MD5, HMAC-SHA-256 or AES-CBC.
void self_check();

}  // namespace vq
