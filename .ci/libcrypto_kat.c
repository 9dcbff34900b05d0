/* Known answers of a freshly built libcrypto.a: MD5 (RFC 1321), HMAC-SHA-256
   (RFC 4231 case 2) and AES-128-CBC (NIST SP 800-38A F.2.1). Linked alone with
   the library; a wrong answer or a missing symbol fails the portable build. */
#include <stdio.h>
#include <string.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

static int hex_is(const char *what, const unsigned char *got, size_t n, const char *want) {
    char hex[129];
    size_t i;
    for (i = 0; i < n; i++) sprintf(hex + 2 * i, "%02x", got[i]);
    if (strcmp(hex, want) == 0) return 1;
    fprintf(stderr, "libcrypto known answer of %s: %s, expected %s\n", what, hex, want);
    return 0;
}

int main(void) {
    unsigned char out[64], key[16], iv[16], pt[16];
    unsigned int n = 0;
    int len = 0, ok = 1, i;
    EVP_CIPHER_CTX *ctx;

    ok &= EVP_Digest("abc", 3, out, &n, EVP_md5(), NULL) &&
          hex_is("MD5", out, n, "900150983cd24fb0d6963f7d28e17f72");
    ok &= HMAC(EVP_sha256(), "Jefe", 4, (const unsigned char *)"what do ya want for nothing?", 28, out, &n) != NULL &&
          hex_is("HMAC-SHA-256", out, n, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    static const unsigned char k[16] = {0x2b,0x7e,0x15,0x16,0x28,0xae,0xd2,0xa6,0xab,0xf7,0x15,0x88,0x09,0xcf,0x4f,0x3c};
    static const unsigned char p[16] = {0x6b,0xc1,0xbe,0xe2,0x2e,0x40,0x9f,0x96,0xe9,0x3d,0x7e,0x11,0x73,0x93,0x17,0x2a};
    memcpy(key, k, 16); memcpy(pt, p, 16);
    for (i = 0; i < 16; i++) iv[i] = (unsigned char)i;
    ctx = EVP_CIPHER_CTX_new();
    ok &= ctx && EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), NULL, key, iv) && EVP_CIPHER_CTX_set_padding(ctx, 0) &&
          EVP_EncryptUpdate(ctx, out, &len, pt, 16) && len == 16 &&
          hex_is("AES-128-CBC", out, 16, "7649abac8119b246cee98e9b12e9197d");
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return 1;
    printf("    libcrypto known answers (MD5, HMAC-SHA-256, AES-128-CBC): ok, %s\n", OpenSSL_version(OPENSSL_VERSION));
    return 0;
}
