#include "security/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include <cstring>
#include <memory>

#if OPENSSL_VERSION_NUMBER >= 0x30000000L
#include <openssl/core_names.h>
#include <openssl/params.h>
#define VQSEC_OSSL3 1
#else
#include <openssl/hmac.h>
#define VQSEC_OSSL3 0
#endif

namespace vqsec {

namespace {

const char kHex[] = "0123456789abcdef";

void to_hex(const unsigned char* in, size_t n, char* out) {
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = kHex[in[i] >> 4];
        out[2 * i + 1] = kHex[in[i] & 0x0f];
    }
}

// Decoding table of the standard alphabet; 0xff marks every other byte.
struct B64Table {
    uint8_t v[256];
    B64Table() {
        std::memset(v, 0xff, sizeof v);
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(a[i])] = static_cast<uint8_t>(i);
    }
};
const B64Table kB64;

// The reasons of the thread's last refusal; set from the error queue, which
// every failure path drains.
thread_local std::string t_reason;

// Empties the thread's error queue and returns its reasons.
std::string drain_errors() {
    std::string reasons;
    char buf[256];
    while (unsigned long code = ERR_get_error()) {
        if (reasons.size() > 1024) continue;  // the first ones say enough
        ERR_error_string_n(code, buf, sizeof buf);
        if (!reasons.empty()) reasons += "; ";
        reasons += buf;
    }
    return reasons;
}

// A refusal: keeps the queue's reasons (or `earlier`, what a look-up made
// before gave) for the caller, and leaves the queue empty.
template <class Status>
Status refused(Status st, const std::string& earlier = std::string()) {
    t_reason = drain_errors();
    if (t_reason.empty()) t_reason = earlier;
    return st;
}

// Algorithms are looked up once per process; with OpenSSL 3 an explicit fetch
// avoids a provider lookup on every message.
#if VQSEC_OSSL3
// A fetch that fails leaves its reasons in `why` and none in the queue.
struct Algorithms {
    std::string md5_why, aes_why, hmac_why;
    EVP_MD* md5 = nullptr;
    EVP_CIPHER* aes128 = nullptr;
    EVP_CIPHER* aes192 = nullptr;
    EVP_CIPHER* aes256 = nullptr;
    EVP_MAC* hmac = nullptr;
    EVP_MAC_CTX* hmac_sha256 = nullptr;  // digest set, no key: duplicated per use
    Algorithms() {
        md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
        md5_why = drain_errors();
        aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
        aes192 = EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr);
        aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
        aes_why = drain_errors();
        hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        if (hmac) {
            hmac_sha256 = EVP_MAC_CTX_new(hmac);
            char digest[] = "SHA256";
            OSSL_PARAM params[] = {
                OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                OSSL_PARAM_construct_end()};
            if (hmac_sha256 && !EVP_MAC_CTX_set_params(hmac_sha256, params)) {
                EVP_MAC_CTX_free(hmac_sha256);
                hmac_sha256 = nullptr;
            }
        }
        hmac_why = drain_errors();
    }
};
const Algorithms& algorithms() {
    static const Algorithms algs;
    return algs;
}
const EVP_MD* md5_algorithm() { return algorithms().md5; }
const std::string& md5_why() { return algorithms().md5_why; }
const std::string& aes_why() { return algorithms().aes_why; }
const std::string& hmac_why() { return algorithms().hmac_why; }
const EVP_CIPHER* aes_cbc(size_t key_len) {
    switch (key_len) {
        case 16: return algorithms().aes128;
        case 24: return algorithms().aes192;
        case 32: return algorithms().aes256;
        default: return nullptr;
    }
}
#else
const EVP_MD* md5_algorithm() { return EVP_md5(); }
const std::string& no_earlier_reason() {
    static const std::string none;
    return none;
}
const std::string& md5_why() { return no_earlier_reason(); }
const std::string& aes_why() { return no_earlier_reason(); }
const std::string& hmac_why() { return no_earlier_reason(); }
const EVP_CIPHER* aes_cbc(size_t key_len) {
    switch (key_len) {
        case 16: return EVP_aes_128_cbc();
        case 24: return EVP_aes_192_cbc();
        case 32: return EVP_aes_256_cbc();
        default: return nullptr;
    }
}
#endif

// AES keys are 16, 24 or 32 bytes; whether libcrypto offers the cipher is
// a separate question (aes_cbc() is null when it does not).
bool aes_key_length(size_t key_len) { return key_len == 16 || key_len == 24 || key_len == 32; }

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// Working memory on the stack for the usual small message, on the heap
// beyond N elements.
template <class T, size_t N>
class Scratch {
public:
    T* get(size_t n) {
        if (n <= N) return small_;
        large_.reset(new T[n]);
        return large_.get();
    }

private:
    T small_[N];
    std::unique_ptr<T[]> large_;
};

// Largest chunk handed to one EVP call (its lengths are ints).
constexpr size_t kMaxChunk = size_t(1) << 30;

bool cipher_update(EVP_CIPHER_CTX* ctx, uint8_t* out, const uint8_t* in, size_t n) {
    while (n > 0) {
        size_t chunk = n < kMaxChunk ? n : kMaxChunk;
        int written = 0;
        if (EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(chunk)) != 1 ||
            static_cast<size_t>(written) != chunk)
            return false;
        out += chunk;
        in += chunk;
        n -= chunk;
    }
    return true;
}

// Each thread keeps one context per direction with the key schedule of its
// last key. A CBC context carries on from its last cipher block (the chaining
// value) instead of the IV; rather than paying for a re-initialisation on
// every message, the caller folds (chaining value XOR IV) into the first
// block, which makes the context's output exactly that of a fresh start
// with the IV. `chain` is the chaining value the context holds now.
struct CachedCipher {
    std::string key;
    CipherCtx ctx;
    uint8_t chain[16];
};

CachedCipher* cipher_for(const uint8_t* key, size_t key_len, int encrypt) {
    const EVP_CIPHER* cipher = aes_cbc(key_len);
    if (!cipher) return nullptr;
    thread_local CachedCipher cache[2];
    CachedCipher& c = cache[encrypt ? 1 : 0];
    if (c.ctx && c.key.size() == key_len && std::memcmp(c.key.data(), key, key_len) == 0) return &c;
    c.key.clear();
    if (!c.ctx) c.ctx.reset(EVP_CIPHER_CTX_new());
    if (!c.ctx) return nullptr;
    // The IV is the first 16 bytes of the key.
    if (EVP_CipherInit_ex(c.ctx.get(), cipher, nullptr, key, key, encrypt) != 1) {
        c.ctx.reset();
        return nullptr;
    }
    if (EVP_CIPHER_CTX_set_padding(c.ctx.get(), 0) != 1) {
        c.ctx.reset();
        return nullptr;
    }
    std::memcpy(c.chain, key, 16);
    c.key.assign(reinterpret_cast<const char*>(key), key_len);
    return &c;
}

// A context whose state is unknown after a failed update starts afresh.
void forget(CachedCipher* c) { c->key.clear(); }

// block ^= chain ^ iv: moves a block between "after the chaining value" and
// "after the IV".
void rebase(uint8_t* block, const uint8_t* chain, const uint8_t* iv) {
    for (int i = 0; i < 16; ++i) block[i] = static_cast<uint8_t>(block[i] ^ chain[i] ^ iv[i]);
}

}  // namespace

// ---- Base64 ---------------------------------------------------------------

size_t b64_encoded_len(size_t n) { return (n + 2) / 3 * 4; }

void b64_encode_into(const uint8_t* src, size_t n, char* dst) {
    // EVP_EncodeBlock takes an int length; feed it whole groups of 3 bytes.
    constexpr size_t kGroup = (size_t(1) << 29) / 3 * 3;
    while (n > kGroup) {
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(dst), src, static_cast<int>(kGroup));
        src += kGroup;
        n -= kGroup;
        dst += kGroup / 3 * 4;
    }
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(dst), src, static_cast<int>(n));
}

B64Status b64_decode_lenient(const char* src, size_t n, std::vector<uint8_t>& out,
                             size_t& data_chars) {
    // No library offers the interpreter's lenient rules (skip foreign bytes,
    // stop at a pad sequence), so they are spelt out here; whole quads of
    // alphabet characters take the fast path.
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    out.resize(n / 4 * 3 + 3);
    uint8_t* o = out.data();
    int quad_pos = 0;
    int pads = 0;
    unsigned left = 0;
    size_t i = 0;
    while (i < n) {
        if (quad_pos == 0) {
            while (i + 4 <= n) {
                uint8_t a = kB64.v[s[i]], b = kB64.v[s[i + 1]], c = kB64.v[s[i + 2]],
                        d = kB64.v[s[i + 3]];
                if ((a | b | c | d) & 0xc0) break;
                o[0] = static_cast<uint8_t>((a << 2) | (b >> 4));
                o[1] = static_cast<uint8_t>((b << 4) | (c >> 2));
                o[2] = static_cast<uint8_t>((c << 6) | d);
                o += 3;
                i += 4;
                pads = 0;
            }
            if (i >= n) break;
        }
        unsigned char ch = s[i++];
        if (ch == '=') {
            if (quad_pos >= 2 && quad_pos + ++pads >= 4) {
                out.resize(static_cast<size_t>(o - out.data()));
                return B64Status::Ok;
            }
            continue;
        }
        uint8_t v = kB64.v[ch];
        if (v >= 64) continue;
        pads = 0;
        switch (quad_pos) {
            case 0:
                quad_pos = 1;
                left = v;
                break;
            case 1:
                quad_pos = 2;
                *o++ = static_cast<uint8_t>((left << 2) | (v >> 4));
                left = v & 0x0f;
                break;
            case 2:
                quad_pos = 3;
                *o++ = static_cast<uint8_t>((left << 4) | (v >> 2));
                left = v & 0x03;
                break;
            default:
                quad_pos = 0;
                *o++ = static_cast<uint8_t>((left << 6) | v);
                left = 0;
                break;
        }
    }
    size_t produced = static_cast<size_t>(o - out.data());
    out.resize(produced);
    if (quad_pos == 0) return B64Status::Ok;
    if (quad_pos == 1) {
        data_chars = produced / 3 * 4 + 1;
        return B64Status::ExcessDataChar;
    }
    return B64Status::IncorrectPadding;
}

// ---- Digests --------------------------------------------------------------

DigestStatus md5_hex(const char* data, size_t n, char out[32]) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    // One digest context per thread, reinitialised for every body.
    struct MdCtx {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        ~MdCtx() { EVP_MD_CTX_free(ctx); }
    };
    thread_local MdCtx holder;
    EVP_MD_CTX* ctx = holder.ctx;
    const EVP_MD* md5 = md5_algorithm();
    if (!ctx || !md5 || EVP_DigestInit_ex(ctx, md5, nullptr) != 1) return refused(DigestStatus::Md5Failed, md5_why());
    while (n > 0) {
        size_t chunk = n < kMaxChunk ? n : kMaxChunk;
        if (EVP_DigestUpdate(ctx, data, chunk) != 1) return refused(DigestStatus::Md5Failed);
        data += chunk;
        n -= chunk;
    }
    if (EVP_DigestFinal_ex(ctx, md, &len) != 1 || len != 16) return refused(DigestStatus::Md5Failed);
    to_hex(md, 16, out);
    return DigestStatus::Ok;
}

#if VQSEC_OSSL3
namespace {
// Keying HMAC costs more than hashing a short text, and messages are signed
// with the same token over and over: each thread keeps a context keyed with
// its last token and restarts it (the key is kept) for every message.
struct KeyedHmac {
    std::string key;
    EVP_MAC_CTX* ctx = nullptr;
    ~KeyedHmac() { EVP_MAC_CTX_free(ctx); }
};
EVP_MAC_CTX* keyed_context(const unsigned char* key, size_t key_len) {
    thread_local KeyedHmac cache;
    if (!cache.ctx || cache.key.size() != key_len || std::memcmp(cache.key.data(), key, key_len) != 0) {
        const EVP_MAC_CTX* keyless = algorithms().hmac_sha256;
        if (!keyless) return nullptr;
        EVP_MAC_CTX* fresh = EVP_MAC_CTX_dup(keyless);
        if (!fresh || EVP_MAC_init(fresh, key, key_len, nullptr) != 1) {
            EVP_MAC_CTX_free(fresh);
            return nullptr;
        }
        EVP_MAC_CTX_free(cache.ctx);
        cache.ctx = fresh;
        cache.key.assign(reinterpret_cast<const char*>(key), key_len);
        return cache.ctx;
    }
    if (EVP_MAC_init(cache.ctx, nullptr, 0, nullptr) != 1) return nullptr;
    return cache.ctx;
}
}  // namespace
#endif

DigestStatus hmac_sha256_hex(const char* key, size_t key_len, const char* msg, size_t msg_len, char out[64]) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    static const unsigned char kEmpty = 0;
    const auto* k = key_len ? reinterpret_cast<const unsigned char*>(key) : &kEmpty;
    const auto* text = reinterpret_cast<const unsigned char*>(msg);
#if VQSEC_OSSL3
    size_t len = 0;
    EVP_MAC_CTX* ctx = keyed_context(k, key_len);
    if (!ctx || EVP_MAC_update(ctx, text, msg_len) != 1 || EVP_MAC_final(ctx, mac, &len, sizeof mac) != 1)
        return refused(DigestStatus::HmacFailed, hmac_why());
#else
    unsigned int len = 0;
    const EVP_MD* sha256 = EVP_sha256();
    if (key_len > kMaxChunk || !sha256 || !HMAC(sha256, k, static_cast<int>(key_len), text, msg_len, mac, &len))
        return refused(DigestStatus::HmacFailed, hmac_why());
#endif
    if (len != 32) return refused(DigestStatus::HmacFailed);
    to_hex(mac, 32, out);
    return DigestStatus::Ok;
}

bool equal_ct(const char* a, size_t a_len, const char* b, size_t b_len) {
    if (a_len != b_len) return false;
    if (a_len == 0) return true;
    return CRYPTO_memcmp(a, b, a_len) == 0;
}

namespace {
// The fixed parts of the signed string, between and around the values.
constexpr char kSignHead[] = "body-md5=";
constexpr char kSignNonce[] = "\nmethod=POST\nvq-nonce=";
constexpr char kSignVer[] = "\nvq-secret-ver=";
constexpr char kSignTs[] = "\nvq-timestamp=";
constexpr size_t kSignFixed = (sizeof kSignHead - 1) + 32 + (sizeof kSignNonce - 1) + (sizeof kSignVer - 1) +
                              (sizeof kSignTs - 1) + 1;
}  // namespace

size_t signing_text_len(const Span& nonce, const Span& secret_ver, const Span& timestamp) {
    return kSignFixed + nonce.n + secret_ver.n + timestamp.n;
}

void signing_text_into(const char body_md5[32], const Span& nonce, const Span& secret_ver, const Span& timestamp,
                       char* out) {
    // The five lines in ascending order; the keys differ before '=', so the
    // order never depends on the values.
    auto put = [&out](const char* p, size_t n) {
        std::memcpy(out, p, n);
        out += n;
    };
    put(kSignHead, sizeof kSignHead - 1);
    put(body_md5, 32);
    put(kSignNonce, sizeof kSignNonce - 1);
    put(nonce.p, nonce.n);
    put(kSignVer, sizeof kSignVer - 1);
    put(secret_ver.p, secret_ver.n);
    put(kSignTs, sizeof kSignTs - 1);
    put(timestamp.p, timestamp.n);
    put("\n", 1);
}

DigestStatus message_signature(const char* token, size_t token_len, const char* body, size_t body_len,
                               const Span& timestamp, const Span& nonce, const Span& secret_ver, char out[64]) {
    char digest[32];
    const DigestStatus st = md5_hex(body, body_len, digest);
    if (st != DigestStatus::Ok) return st;
    const size_t len = signing_text_len(nonce, secret_ver, timestamp);
    Scratch<char, 512> buffer;
    char* text = buffer.get(len);
    signing_text_into(digest, nonce, secret_ver, timestamp, text);
    return hmac_sha256_hex(token, token_len, text, len, out);
}

// ---- AES-CBC ----------------------------------------------------------------

CryptStatus encrypt_to_b64(const uint8_t* key, size_t key_len, const char* plain, size_t n,
                           char* b64_out) {
    if (!aes_key_length(key_len)) return CryptStatus::BadKeyLength;
    CachedCipher* c = cipher_for(key, key_len, 1);
    if (!c) return refused(CryptStatus::LibraryError, aes_why());
    const auto* in = reinterpret_cast<const uint8_t*>(plain);
    const size_t total = padded_len(n);  // at least 32
    const uint8_t pad = static_cast<uint8_t>(total - n);
    // The padded plain text is the caller's bytes, then `pad` bytes of value pad.
    auto padded = [&](uint8_t* dst, size_t from, size_t count) {
        const size_t own = from < n ? (n - from < count ? n - from : count) : 0;
        if (own) std::memcpy(dst, in + from, own);
        std::memset(dst + own, pad, count - own);
    };
    Scratch<uint8_t, 4096> buffer;
    uint8_t* cipher = buffer.get(total);
    // First block (rebased onto the IV), whole blocks straight from the
    // caller's buffer, then the tail with its padding; CBC chaining carries
    // across the updates.
    uint8_t first[16];
    padded(first, 0, 16);
    rebase(first, c->chain, key);
    const size_t bulk_end = n / 16 * 16 > 16 ? n / 16 * 16 : 16;
    uint8_t tail[16 + kPadBlock];
    padded(tail, bulk_end, total - bulk_end);
    if (!cipher_update(c->ctx.get(), cipher, first, 16) ||
        !cipher_update(c->ctx.get(), cipher + 16, in + 16, bulk_end - 16) ||
        !cipher_update(c->ctx.get(), cipher + bulk_end, tail, total - bulk_end)) {
        forget(c);
        return refused(CryptStatus::LibraryError);
    }
    std::memcpy(c->chain, cipher + total - 16, 16);
    b64_encode_into(cipher, total, b64_out);
    return CryptStatus::Ok;
}

namespace {
CryptStatus strip_padding(const uint8_t* data, size_t n, size_t& plain_len) {
    if (n == 0) return CryptStatus::ZeroLength;
    if (n % kPadBlock != 0) return CryptStatus::NotPadded;
    const uint8_t pad = data[n - 1];
    if (pad < 1 || pad > kPadBlock) return CryptStatus::BadPadding;
    uint8_t diff = 0;
    for (size_t i = n - pad; i < n; ++i) diff |= static_cast<uint8_t>(data[i] ^ pad);
    if (diff != 0) return CryptStatus::BadPkcs7;
    plain_len = n - pad;
    return CryptStatus::Ok;
}
}  // namespace

CryptStatus decrypt_to(const uint8_t* key, size_t key_len, const uint8_t* cipher, size_t n, uint8_t* out,
                       size_t& plain_len) {
    if (!aes_key_length(key_len)) return CryptStatus::BadKeyLength;
    if (n % 16 != 0) return CryptStatus::NotBlockMultiple;
    if (n > 0) {
        CachedCipher* c = cipher_for(key, key_len, 0);
        if (!c) return refused(CryptStatus::LibraryError, aes_why());
        uint8_t next_chain[16];  // saved before an in-place update overwrites it
        std::memcpy(next_chain, cipher + n - 16, 16);
        if (!cipher_update(c->ctx.get(), out, cipher, n)) {
            forget(c);
            return refused(CryptStatus::LibraryError);
        }
        rebase(out, c->chain, key);
        std::memcpy(c->chain, next_chain, 16);
    }
    return strip_padding(out, n, plain_len);
}

CryptStatus decrypt_in_place(const uint8_t* key, size_t key_len, uint8_t* data, size_t n,
                             size_t& plain_len) {
    return decrypt_to(key, key_len, data, n, data, plain_len);
}

const std::string& library_error_reason() { return t_reason; }

bool all_ascii(const uint8_t* p, size_t n) {
    uint64_t acc = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    for (; i < n; ++i) acc |= p[i];
    return (acc & 0x8080808080808080ULL) == 0;
}

}  // namespace vqsec
