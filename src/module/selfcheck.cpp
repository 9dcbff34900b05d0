// Import-time self-check: one known answer each of MD5, HMAC-SHA-256 and
// AES-CBC, computed through the security layer the module's functions use.
// A libcrypto that answers wrongly (a miscompiled or damaged build) fails the
// import with a clear ImportError instead of signing and encrypting wrongly.
// A libcrypto that refuses an algorithm (a configuration that withholds it)
// is not a wrong answer: that check is left out, and each call needing the
// algorithm raises its own error as it does without the self-check.
#include "module/selfcheck.hpp"

#include "security/crypto.hpp"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vq {

namespace {

// The answer a check compares with; the test hook _VQSDK_SELFCHECK_FAULT
// (md5, hmac or aes) changes that check's expected answer, so that the tests
// see the failure a misbehaving libcrypto gives.
std::string expected(const char* which, const char* answer) {
    std::string want(answer);
    const char* fault = std::getenv("_VQSDK_SELFCHECK_FAULT");
    if (fault && std::strcmp(fault, which) == 0) want[0] = want[0] == '0' ? '1' : '0';
    return want;
}

void compare(const char* which, const char* algorithm, const std::string& got, const char* answer) {
    std::string want = expected(which, answer);
    if (got != want)
        throw std::runtime_error(std::string("vqspecapisdk: libcrypto failed its self-check: ") + algorithm +
                                 " of the known input gave " + got + ", expected " + want +
                                 "; this build of the module cannot be used");
}

}  // namespace

void self_check() {
    // MD5("abc"), RFC 1321.
    char md5[32];
    if (vqsec::md5_hex("abc", 3, md5) == vqsec::DigestStatus::Ok)
        compare("md5", "MD5", std::string(md5, 32), "900150983cd24fb0d6963f7d28e17f72");

    // HMAC-SHA-256, RFC 4231 test case 2.
    static const char kMsg[] = "what do ya want for nothing?";
    char mac[64];
    if (vqsec::hmac_sha256_hex("Jefe", 4, kMsg, sizeof kMsg - 1, mac) == vqsec::DigestStatus::Ok)
        compare("hmac", "HMAC-SHA-256", std::string(mac, 64),
                "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

    // AES-128-CBC of "abc" padded to 32 bytes, IV = key, as the bodies are
    // encrypted (the answer is that of an independent AES implementation).
    static const uint8_t kKey[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    char b64[64];  // 44 characters and the NUL
    if (vqsec::encrypt_to_b64(kKey, sizeof kKey, "abc", 3, b64) == vqsec::CryptStatus::Ok)
        compare("aes", "AES-128-CBC", std::string(b64), "nwp+zgTJkqMCBvAsgetp5zH2FBYKwlEjUwWN2Swzgcg=");
}

}  // namespace vq
