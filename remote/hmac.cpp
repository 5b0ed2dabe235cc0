#include "hmac.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

static EVP_MAC *hmac_algorithm() {
    static EVP_MAC *mac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
    return mac;
}

bool hmac_key_set(hmac_key *k, const void *key, size_t len) {
    if (!k->ctx) {
        EVP_MAC *mac = hmac_algorithm();
        k->ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
        if (!k->ctx) return false;
    }
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    // An empty key still needs a non-NULL pointer: NULL means "keep the old key".
    static const unsigned char empty = 0;
    if (!EVP_MAC_init(k->ctx, len ? static_cast<const unsigned char *>(key) : &empty, len, params)) {
        hmac_key_clear(k);
        return false;
    }
    return true;
}

void hmac_key_clear(hmac_key *k) {
    EVP_MAC_CTX_free(k->ctx);
    k->ctx = nullptr;
}

bool hmac_key_tag(hmac_key *k, const void *data, size_t len, uint8_t out[32]) {
    if (!k->ctx || !EVP_MAC_init(k->ctx, nullptr, 0, nullptr)) return false;
    size_t out_len = 0;
    return EVP_MAC_update(k->ctx, static_cast<const unsigned char *>(data), len) &&
           EVP_MAC_final(k->ctx, out, &out_len, 32) && out_len == 32;
}
