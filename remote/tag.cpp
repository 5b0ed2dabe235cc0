// The shared secret of plain datagrams and their 32-byte HMAC-SHA256 tag.
#include "hmac.h"
#include "oprc_internal.h"

#include <openssl/crypto.h>

#include <cstring>

static uint8_t g_secret[MAX_SECRET];
static size_t g_secret_len;
static hmac_key g_secret_key;

void oprc_set_shared_secret(const char *secret) {
    OPENSSL_cleanse(g_secret, sizeof g_secret);
    g_secret_len = 0;
    hmac_key_clear(&g_secret_key);
    if (!secret || !*secret) return;
    g_secret_len = strnlen(secret, MAX_SECRET);
    std::memcpy(g_secret, secret, g_secret_len);
    // A key OpenSSL refuses leaves the secret on and every tag failing: nothing passes unauthenticated.
    hmac_key_set(&g_secret_key, g_secret, g_secret_len);
}

void oprc_require_auth(void) {}

size_t secret_len() { return g_secret_len; }

bool secret_tag(const void *data, size_t len, uint8_t out[TAG_SIZE]) {
    return g_secret_len && hmac_key_tag(&g_secret_key, data, len, out);
}

bool secret_tag_matches(const uint8_t tag[TAG_SIZE], const void *data, size_t len) {
    uint8_t expected[TAG_SIZE];
    return secret_tag(data, len, expected) && CRYPTO_memcmp(tag, expected, TAG_SIZE) == 0;
}
