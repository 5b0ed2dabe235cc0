// SHA-256 (FIPS 180-4) and HMAC-SHA256 (RFC 2104) in portable C++, over a
// caller-owned context. The library's own tags use OpenSSL (hmac.cpp); these
// exports serve hosts that hash with the library's context layout.
#include "oprc_internal.h"

#include <openssl/crypto.h>

#include <cstddef>
#include <cstring>

static const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

static uint32_t rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }

static void compress_block(uint32_t state[8], const uint8_t block[64]) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 | uint32_t(block[4 * i + 2]) << 8 |
               block[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5], g = state[6],
             h = state[7];
    for (int i = 0; i < 64; i++) {
        const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

void sha256_init(sha256_ctx *ctx) {
    static const uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(ctx->state, H0, sizeof H0);
    ctx->count = 0;
    std::memset(ctx->block, 0, sizeof ctx->block);
}

void sha256_update(sha256_ctx *ctx, const void *data, size_t len) {
    if (!len) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t used = size_t(ctx->count % 64);
    ctx->count += len;
    if (used) {
        const size_t take = len < 64 - used ? len : 64 - used;
        std::memcpy(ctx->block + used, p, take);
        p += take, len -= take, used += take;
        if (used < 64) return;
        compress_block(ctx->state, ctx->block);
    }
    for (; len >= 64; p += 64, len -= 64) compress_block(ctx->state, p);
    if (len) std::memcpy(ctx->block, p, len);
}

void sha256_final(sha256_ctx *ctx, uint8_t out[32]) {
    const uint64_t bits = ctx->count * 8;
    size_t used = size_t(ctx->count % 64);
    ctx->block[used++] = 0x80;
    if (used > 56) {
        std::memset(ctx->block + used, 0, 64 - used);
        compress_block(ctx->state, ctx->block);
        used = 0;
    }
    std::memset(ctx->block + used, 0, 56 - used);
    for (int i = 0; i < 8; i++) ctx->block[56 + i] = uint8_t(bits >> (56 - 8 * i));
    compress_block(ctx->state, ctx->block);
    for (int i = 0; i < 8; i++) {
        out[4 * i] = uint8_t(ctx->state[i] >> 24);
        out[4 * i + 1] = uint8_t(ctx->state[i] >> 16);
        out[4 * i + 2] = uint8_t(ctx->state[i] >> 8);
        out[4 * i + 3] = uint8_t(ctx->state[i]);
    }
    OPENSSL_cleanse(ctx, sizeof *ctx);  // the state holds what was hashed
}

int sha256_hash(const void *data, size_t len, uint8_t out[32]) {
    if (!out) return -1;
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    sha256_final(&ctx, out);
    return 0;
}

int hmac_sha256(const void *key, size_t key_len, const void *msg, size_t msg_len, uint8_t out[32]) {
    if (!out) return -1;
    uint8_t k[64] = {};
    if (key_len > 64) sha256_hash(key, key_len, k);
    else if (key_len) std::memcpy(k, key, key_len);
    uint8_t pad[64], inner[32];
    sha256_ctx ctx;
    for (int i = 0; i < 64; i++) pad[i] = k[i] ^ 0x36;
    sha256_init(&ctx);
    sha256_update(&ctx, pad, 64);
    sha256_update(&ctx, msg, msg_len);
    sha256_final(&ctx, inner);
    for (int i = 0; i < 64; i++) pad[i] = k[i] ^ 0x5c;
    sha256_init(&ctx);
    sha256_update(&ctx, pad, 64);
    sha256_update(&ctx, inner, 32);
    sha256_final(&ctx, out);
    OPENSSL_cleanse(k, sizeof k);
    OPENSSL_cleanse(pad, sizeof pad);
    OPENSSL_cleanse(inner, sizeof inner);
    return 0;
}

static_assert(offsetof(sha256_ctx, count) == 32 && offsetof(sha256_ctx, block) == 40 && sizeof(sha256_ctx) == 104);
