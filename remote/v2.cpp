// Secure datagrams: per-sender keys derived from a paired secret, 64-bit
// counters with replay windows, HMAC-SHA256 tags, fragmentation and bounded
// reassembly.
#include "hmac.h"
#include "oprc_internal.h"
#include "system.h"
#include "xalloc.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <cstring>

enum : size_t {
    REPLAY_WINDOWS = 16,
    REASSEMBLY_ENTRIES = 4,
    REASSEMBLY_MAX = 131072,
    SEND_BUFFER = 1536,
    MIN_SECRET = 32,
    MAX_SECRET_BYTES = 64,
};
enum : int64_t { REASSEMBLY_TIMEOUT_MS = 10000 };

static const char B64_ALPH[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static const uint8_t zerosalt[32] = {};
static const char info_a[] = "OPRCv2/sender-A";
static const char info_b[] = "OPRCv2/sender-B";
static_assert(sizeof info_a - 1 == 15 && sizeof info_b - 1 == 15);

v2_slot g_v2[V2_SLOTS];
oprc_v2_counter_sink g_v2_counter_fn;
void *g_v2_counter_ctx;
oprc_v2_clock g_v2_clock_fn;

// Keyed OpenSSL contexts of each slot's keys.
static hmac_key g_send_mac[V2_SLOTS], g_recv_mac[V2_SLOTS];

struct replay_window {
    uint32_t sender_id;
    int used;
    uint64_t highest;  // highest counter accepted
    uint64_t seen;     // bit k: counter highest - k was accepted
};
static replay_window g_replay[REPLAY_WINDOWS];

struct reassembly {
    bool active;
    uint32_t sender_id, msg_id;
    unsigned frag_count;
    uint64_t received;
    uint8_t *buf;  // REASSEMBLY_MAX bytes, allocated on first use
    int64_t started_ms;
};
static reassembly g_reasm[REASSEMBLY_ENTRIES];

extern "C" OPRC_API void *exported_xmalloc(size_t size) __asm__("xmalloc");
void *exported_xmalloc(size_t size) { return xmalloc_or_oom(size); }

void *xmalloc_or_oom(size_t size) {
    void *p = xmalloc(size);
    if (!p) set_err(OPRC_ERR_OOM);
    return p;
}

int64_t v2_now_ms() { return g_v2_clock_fn ? g_v2_clock_fn() : system_ms_since_1601(); }

bool v2_key_in_use() {
    for (const v2_slot &s : g_v2)
        if (s.in_use) return true;
    return false;
}

// ---- byte order ----

static void put_be(uint8_t *p, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--, v >>= 8) p[i] = uint8_t(v);
}

static uint64_t get_be(const uint8_t *p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++) v = v << 8 | p[i];
    return v;
}

// ---- base64 ----

size_t base64_encode(const uint8_t *data, size_t n, char *out) {
    size_t o = 0;
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v = uint32_t(data[i]) << 16 | (i + 1 < n ? uint32_t(data[i + 1]) << 8 : 0) |
                           (i + 2 < n ? data[i + 2] : 0);
        out[o++] = B64_ALPH[v >> 18 & 63];
        out[o++] = B64_ALPH[v >> 12 & 63];
        out[o++] = i + 1 < n ? B64_ALPH[v >> 6 & 63] : '=';
        out[o++] = i + 2 < n ? B64_ALPH[v & 63] : '=';
    }
    out[o] = '\0';
    return o;
}

static int b64_value(unsigned char c) {
    const char *p = c ? std::strchr(B64_ALPH, c) : nullptr;
    return p ? int(p - B64_ALPH) : -1;
}

// Decodes standard base64 into `out` (room for `cap` bytes); line breaks, blanks and '=' are
// skipped. -1 for a foreign character, a lone final character or more than `cap` bytes.
static long base64_decode(const char *text, uint8_t *out, size_t cap) {
    size_t n = 0;
    uint32_t acc = 0;
    int chars = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p == '\n' || *p == '\r' || *p == ' ' || *p == '=') continue;
        const int v = b64_value(*p);
        if (v < 0) return -1;
        acc = acc << 6 | uint32_t(v);
        if (++chars < 4) continue;
        if (cap - n < 3) return -1;
        out[n++] = uint8_t(acc >> 16), out[n++] = uint8_t(acc >> 8), out[n++] = uint8_t(acc);
        acc = 0, chars = 0;
    }
    if (chars == 1) return -1;
    if (chars) {
        if (cap - n < size_t(chars - 1)) return -1;
        acc <<= 6 * (4 - chars);
        out[n++] = uint8_t(acc >> 16);
        if (chars == 3) out[n++] = uint8_t(acc >> 8);
    }
    return long(n);
}

// ---- keys ----

// K_A and K_B from the decoded secret.
static bool derive_keys(const uint8_t *secret, size_t n, uint8_t ka[V2_KEY], uint8_t kb[V2_KEY]) {
    hmac_key salt = {}, prk_key = {};
    uint8_t prk[32], t[32];
    bool ok = hmac_key_set(&salt, zerosalt, sizeof zerosalt) && hmac_key_tag(&salt, secret, n, prk) &&
              hmac_key_set(&prk_key, prk, sizeof prk);
    const char *labels[2] = {info_a, info_b};
    uint8_t *keys[2] = {ka, kb};
    for (int i = 0; ok && i < 2; i++) {
        ok = hmac_key_tag(&prk_key, labels[i], 15, t);
        t[31] = 0x01;
        ok = ok && hmac_key_tag(&prk_key, t, sizeof t, keys[i]);
    }
    hmac_key_clear(&salt);
    hmac_key_clear(&prk_key);
    OPENSSL_cleanse(prk, sizeof prk);
    OPENSSL_cleanse(t, sizeof t);
    return ok;
}

static void clear_slot(size_t i) {
    hmac_key_clear(&g_send_mac[i]);
    hmac_key_clear(&g_recv_mac[i]);
    OPENSSL_cleanse(&g_v2[i], sizeof g_v2[i]);
}

int oprc_v2_register_key(unsigned sender_id, const char *secret_b64, unsigned reg_value) {
    if (!secret_b64 || !*secret_b64) return set_err(OPRC_ERR_INVALID_ARG);
    uint8_t secret[MAX_SECRET_BYTES];
    const long n = base64_decode(secret_b64, secret, sizeof secret);
    int rc = OPRC_OK;
    size_t slot = V2_SLOTS;
    if (n < long(MIN_SECRET)) rc = OPRC_ERR_INVALID_ARG;
    for (size_t i = 0; rc == OPRC_OK && i < V2_SLOTS && slot == V2_SLOTS; i++)
        if (g_v2[i].in_use && g_v2[i].sender_id == sender_id) slot = i;
    for (size_t i = 0; rc == OPRC_OK && i < V2_SLOTS && slot == V2_SLOTS; i++)
        if (!g_v2[i].in_use) slot = i;
    if (rc == OPRC_OK && slot == V2_SLOTS) rc = OPRC_ERR_INVALID_ARG;
    uint8_t ka[V2_KEY], kb[V2_KEY];
    if (rc == OPRC_OK && !derive_keys(secret, size_t(n), ka, kb)) rc = OPRC_ERR_OOM;
    OPENSSL_cleanse(secret, sizeof secret);
    if (rc != OPRC_OK) {
        OPENSSL_cleanse(ka, sizeof ka);
        OPENSSL_cleanse(kb, sizeof kb);
        return set_err(unsigned(rc));
    }
    clear_slot(slot);
    v2_slot &s = g_v2[slot];
    const bool side_a = sender_id <= 1;
    std::memcpy(s.send_key, side_a ? ka : kb, V2_KEY);
    std::memcpy(s.recv_key, side_a ? kb : ka, V2_KEY);
    OPENSSL_cleanse(ka, sizeof ka);
    OPENSSL_cleanse(kb, sizeof kb);
    if (!hmac_key_set(&g_send_mac[slot], s.send_key, V2_KEY) || !hmac_key_set(&g_recv_mac[slot], s.recv_key, V2_KEY)) {
        clear_slot(slot);
        return set_err(OPRC_ERR_OOM);
    }
    s.in_use = 1;
    s.sender_id = sender_id;
    s.reg_value = reg_value;
    s.next_counter = 1;
    return set_err(OPRC_OK);
}

static void drop_entry(reassembly *e) {
    xfree(e->buf);
    *e = {};
}

void oprc_v2_reset_keys(void) {
    for (size_t i = 0; i < V2_SLOTS; i++) clear_slot(i);
    for (reassembly &e : g_reasm) drop_entry(&e);
    std::memset(g_replay, 0, sizeof g_replay);
}

int oprc_v2_key_registered(void) { return v2_key_in_use(); }

uint64_t oprc_v2_next_counter(void) {
    for (const v2_slot &s : g_v2)
        if (s.in_use) return s.next_counter;
    return 0;
}

void oprc_v2_set_counter_sink(oprc_v2_counter_sink sink, void *ctx) {
    g_v2_counter_fn = sink;
    g_v2_counter_ctx = ctx;
}

void oprc_v2_set_clock(oprc_v2_clock clock) { g_v2_clock_fn = clock; }

int oprc_v2_reassembly_pending(void) {
    int n = 0;
    for (const reassembly &e : g_reasm) n += e.active;
    return n;
}

// ---- datagrams ----

static void write_header(uint8_t *out, unsigned reg_value, unsigned sender_id, uint64_t counter, unsigned msg_id,
                         unsigned frag_index, unsigned frag_count, const void *payload, size_t n) {
    out[0] = 2;
    put_be(out + 1, reg_value, 4);
    put_be(out + 5, sender_id, 4);
    put_be(out + 9, counter, 8);
    put_be(out + 17, msg_id, 4);
    put_be(out + 21, frag_index, 2);
    put_be(out + 23, frag_count, 2);
    put_be(out + 25, n, 4);
    if (n) std::memcpy(out + OPRC_V2_HEADER, payload, n);
}

static bool tag_with_key(const uint8_t *key32, const uint8_t *data, size_t len, uint8_t out[32]) {
    unsigned out_len = 0;
    return HMAC(EVP_sha256(), key32, V2_KEY, data, len, out, &out_len) && out_len == 32;
}

static bool well_formed(const uint8_t *d, size_t len) {
    return len > OPRC_V2_OVERHEAD - 1 && d[0] == 2 && get_be(d + 25, 4) == len - OPRC_V2_OVERHEAD;
}

int oprc_v2_build_datagram(unsigned reg_value, unsigned sender_id, uint64_t counter, unsigned msg_id,
                           unsigned frag_index, unsigned frag_count, const void *payload, size_t payload_len,
                           const uint8_t *key32, void *out, size_t cap, size_t *out_len) {
    if (!payload || !key32 || !out || !out_len || frag_count == 0 || frag_count > 65535 || frag_index >= frag_count)
        return set_err(OPRC_ERR_INVALID_ARG);
    if (payload_len > OPRC_V2_MAX_PAYLOAD) return set_err(OPRC_ERR_TOO_LARGE);
    const size_t total = payload_len + OPRC_V2_OVERHEAD;
    if (cap < total) return set_err(OPRC_ERR_INVALID_ARG);
    uint8_t *d = static_cast<uint8_t *>(out);
    write_header(d, reg_value, sender_id, counter, msg_id, frag_index, frag_count, payload, payload_len);
    if (!tag_with_key(key32, d, total - 32, d + total - 32)) return set_err(OPRC_ERR_OOM);
    *out_len = total;
    return set_err(OPRC_OK);
}

int oprc_v2_verify_datagram(const void *datagram, size_t len, const uint8_t *key32) {
    const uint8_t *d = static_cast<const uint8_t *>(datagram);
    if (!d || !key32 || !well_formed(d, len)) return -1;
    uint8_t tag[32];
    if (!tag_with_key(key32, d, len - 32, tag)) return -1;
    return CRYPTO_memcmp(tag, d + len - 32, 32) == 0 ? 0 : -1;
}

static void tell_counter(uint32_t sender_id, uint64_t counter) {
    if (g_v2_counter_fn) g_v2_counter_fn(g_v2_counter_ctx, sender_id, counter);
}

int oprc_v2_send(const char *json, unsigned exclude_sender, oprc_v2_send_fn send, void *user) {
    if (!json || !send) return set_err(OPRC_ERR_INVALID_ARG);
    size_t slot = V2_SLOTS;
    for (size_t i = 0; i < V2_SLOTS && slot == V2_SLOTS; i++)
        if (g_v2[i].in_use && g_v2[i].sender_id != exclude_sender) slot = i;
    if (slot == V2_SLOTS) return set_err(OPRC_ERR_PROTOCOL);
    const size_t n = std::strlen(json);
    uLongf zlen = compressBound(uLong(n));
    uint8_t *z = static_cast<uint8_t *>(xmalloc(zlen));
    if (!z) return set_err(OPRC_ERR_OOM);
    if (compress2(z, &zlen, reinterpret_cast<const Bytef *>(json), uLong(n), Z_DEFAULT_COMPRESSION) != Z_OK) {
        xfree(z);
        return set_err(OPRC_ERR_INFLATE);
    }
    const size_t count = zlen ? (zlen + OPRC_V2_FRAGMENT - 1) / OPRC_V2_FRAGMENT : 1;
    uint8_t id_bytes[4];
    if (count > 65535 || !random_bytes(id_bytes, sizeof id_bytes)) {
        xfree(z);
        return set_err(count > 65535 ? OPRC_ERR_TOO_LARGE : OPRC_ERR_OOM);
    }
    uint32_t msg_id = uint32_t(get_be(id_bytes, 4)) & 0x7FFFFFFF;
    if (!msg_id) msg_id = 1;
    v2_slot &s = g_v2[slot];
    uint8_t d[SEND_BUFFER];
    for (size_t i = 0; i < count; i++) {
        const size_t off = i * OPRC_V2_FRAGMENT;
        const size_t piece = zlen - off < OPRC_V2_FRAGMENT ? zlen - off : size_t(OPRC_V2_FRAGMENT);
        const uint64_t counter = s.next_counter++;
        write_header(d, s.reg_value, s.sender_id, counter, msg_id, unsigned(i), unsigned(count), z + off, piece);
        const size_t total = piece + OPRC_V2_OVERHEAD;
        if (!hmac_key_tag(&g_send_mac[slot], d, total - 32, d + total - 32)) {
            xfree(z);
            return set_err(OPRC_ERR_PROTOCOL);
        }
        tell_counter(s.sender_id, counter);
        send(user, d, total, unsigned(i), unsigned(count));
    }
    xfree(z);
    return set_err(OPRC_OK);
}

// ---- receiving ----

// Accepts `counter` into the sender's window, or says why not.
static int check_replay(uint32_t sender_id, uint64_t counter) {
    replay_window *w = nullptr;
    for (replay_window &r : g_replay)
        if (r.used && r.sender_id == sender_id) {
            w = &r;
            break;
        }
    for (size_t i = 0; !w && i < REPLAY_WINDOWS; i++)
        if (!g_replay[i].used) {
            w = &g_replay[i];
            *w = {sender_id, 1, 0, 0};
        }
    if (!w) return set_err(OPRC_ERR_REPLAY);
    if (counter == 0) {
        warn("v2-replay-stale (sender %u counter %llu)", sender_id, (unsigned long long)counter);
        return set_err(OPRC_ERR_REPLAY);
    }
    if (counter > w->highest) {
        const uint64_t d = counter - w->highest;
        w->seen = d < 64 ? (w->seen << d) | 1 : 1;
        w->highest = counter;
        return OPRC_OK;
    }
    const uint64_t k = w->highest - counter;
    if (k > 63) {
        warn("v2-replay-stale (sender %u counter %llu)", sender_id, (unsigned long long)counter);
        return set_err(OPRC_ERR_REPLAY);
    }
    if (w->seen >> k & 1) {
        warn("v2-replay (sender %u counter %llu)", sender_id, (unsigned long long)counter);
        return set_err(OPRC_ERR_REPLAY);
    }
    w->seen |= uint64_t(1) << k;
    return OPRC_OK;
}

int decode_v2(const uint8_t *d, size_t len) {
    if (len <= OPRC_V2_OVERHEAD - 1 || !v2_key_in_use()) return set_err(OPRC_ERR_PROTOCOL);
    set_err(OPRC_OK);
    warn_clear();
    const uint32_t sender_id = uint32_t(get_be(d + 5, 4));
    const uint64_t counter = get_be(d + 9, 8);
    const uint32_t msg_id = uint32_t(get_be(d + 17, 4));
    const unsigned frag_index = unsigned(get_be(d + 21, 2)), frag_count = unsigned(get_be(d + 23, 2));
    const size_t payload_len = size_t(get_be(d + 25, 4));
    if (!well_formed(d, len) || frag_index >= frag_count) return set_err(OPRC_ERR_PROTOCOL);

    const int64_t now = v2_now_ms();
    for (reassembly &e : g_reasm)
        if (e.active && uint64_t(now - e.started_ms) > uint64_t(REASSEMBLY_TIMEOUT_MS)) {
            warn("v2-reassembly-timeout (msg %u)", e.msg_id);
            drop_entry(&e);
        }

    size_t slot = V2_SLOTS;
    for (size_t i = 0; i < V2_SLOTS && slot == V2_SLOTS; i++)
        if (g_v2[i].in_use && g_v2[i].sender_id != sender_id) slot = i;
    if (slot == V2_SLOTS) return set_err(OPRC_ERR_PROTOCOL);
    uint8_t tag[32];
    if (!hmac_key_tag(&g_recv_mac[slot], d, len - 32, tag) || CRYPTO_memcmp(tag, d + len - 32, 32) != 0)
        return set_err(OPRC_ERR_UNAUTHENTICATED);

    const int replay = check_replay(sender_id, counter);
    if (replay != OPRC_OK) return replay;
    tell_counter(sender_id, counter);

    // Entries belong to one sender's message: two senders may pick the same message id.
    reassembly *e = nullptr;
    for (reassembly &r : g_reasm)
        if (r.active && r.msg_id == msg_id && r.sender_id == sender_id) {
            e = &r;
            break;
        }
    if (e && e->frag_count != frag_count) {
        warn("v2-reassembly-conflict (msg %u)", msg_id);
        drop_entry(e);
    } else if (!e) {
        for (reassembly &r : g_reasm)
            if (!r.active) {
                e = &r;
                break;
            }
        if (!e) {
            warn("v2-reassembly-full");
            return set_err(OPRC_ERR_FRAGMENT);
        }
    }
    if (!e->active) *e = {true, sender_id, msg_id, frag_count, 0, nullptr, v2_now_ms()};
    if (frag_index != e->received / OPRC_V2_FRAGMENT) {
        warn("v2-frag-out-of-order (msg %u idx %u) \xE2\x80\x94 message dropped", msg_id, frag_index);
        drop_entry(e);
        return set_err(OPRC_ERR_FRAGMENT);
    }
    if (e->received + payload_len > REASSEMBLY_MAX) {
        warn("v2-reassembly-overflow (msg %u > %u B)", msg_id, unsigned(REASSEMBLY_MAX));
        drop_entry(e);
        return set_err(OPRC_ERR_FRAGMENT);
    }
    if (!e->buf) {
        e->buf = static_cast<uint8_t *>(xmalloc_or_oom(REASSEMBLY_MAX));
        if (!e->buf) {
            *e = {};
            return OPRC_ERR_OOM;
        }
    }
    if (payload_len) std::memcpy(e->buf + e->received, d + OPRC_V2_HEADER, payload_len);
    e->received += payload_len;
    if (frag_index + 1 != frag_count) {
        warn("v2-waiting (msg %u frag %u/%u)", msg_id, frag_index + 1, frag_count);
        return set_err(OPRC_ERR_FRAGMENT);
    }
    uint8_t *message = e->buf;
    const size_t size = size_t(e->received);
    *e = {};
    const int rc = decode_plain(message, size, REASSEMBLY_MAX);
    xfree(message);
    if (rc == OPRC_OK) g_negotiated_level = 2;
    return rc;
}
