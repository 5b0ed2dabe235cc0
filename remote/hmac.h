// HMAC-SHA256 with one keyed OpenSSL context per key: the key is set once and
// every tag after that starts from the keyed state.
#pragma once

#include <cstddef>
#include <cstdint>

struct evp_mac_ctx_st;

struct hmac_key {
    evp_mac_ctx_st *ctx;  // NULL until a key is set
};

// Keys `k` with `len` bytes of `key`; false when OpenSSL refused (the key is then unset).
bool hmac_key_set(hmac_key *k, const void *key, size_t len);
// Releases the context; OpenSSL wipes the key material it held.
void hmac_key_clear(hmac_key *k);
// Tag of `len` bytes of `data`; false when the key is unset or hashing failed.
bool hmac_key_tag(hmac_key *k, const void *data, size_t len, uint8_t out[32]);
