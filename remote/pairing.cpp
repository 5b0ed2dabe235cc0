// Pairing: an offer with a fresh secret and a six-digit code, checked against
// the answer that comes back, with expiry and a lock-out after failures.
#include "oprc_internal.h"
#include "system.h"
#include "xalloc.h"

#include <openssl/crypto.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

enum : size_t { SECRET_BYTES = 32, SECRET_B64 = 44, CODE_DIGITS = 6 };
enum : int64_t { OFFER_LIFETIME_MS = 300000, LOCKOUT_MS = 60000 };
enum : int { LOCKOUT_AFTER = 5 };

static char g_pairing_secret_b64[SECRET_B64 + 1];
static char g_pairing_code[CODE_DIGITS + 1];  // empty: no pairing pending
static uint64_t g_pairing_expires;             // the offer's "expires", seconds
static int g_pairing_wrong;
static int64_t g_pairing_wrong_at_ms;

static void forget_pending() {
    OPENSSL_cleanse(g_pairing_secret_b64, sizeof g_pairing_secret_b64);
    OPENSSL_cleanse(g_pairing_code, sizeof g_pairing_code);
    g_pairing_expires = 0;
}

int oprc_v2_begin_pairing(const char *device_id, char *out, size_t cap) {
    if (!device_id || !*device_id || !out || !cap) return set_err(OPRC_ERR_INVALID_ARG);
    uint8_t random[SECRET_BYTES];
    if (!random_bytes(random, sizeof random)) return set_err(OPRC_ERR_OOM);
    // The id is escaped whole, so it cannot add members to the offer.
    char *escaped = static_cast<char *>(xmalloc_or_oom(6 * std::strlen(device_id) + 8));
    if (!escaped) {
        OPENSSL_cleanse(random, sizeof random);
        return OPRC_ERR_OOM;
    }
    escape_text(escaped, device_id, SIZE_MAX);
    forget_pending();
    base64_encode(random, sizeof random, g_pairing_secret_b64);
    const uint32_t code = uint32_t(random[24]) << 24 | uint32_t(random[25]) << 16 | uint32_t(random[26]) << 8 | random[27];
    std::snprintf(g_pairing_code, sizeof g_pairing_code, "%06u", unsigned(code % 1000000));
    OPENSSL_cleanse(random, sizeof random);
    const int64_t expires_ms = v2_now_ms() + OFFER_LIFETIME_MS;
    g_pairing_expires = expires_ms > 0 ? uint64_t(expires_ms) / 1000 : 0;
    const int n = std::snprintf(out, cap, "{\"device_id\":\"%s\",\"secret_b64\":\"%s\",\"code\":\"%s\",\"expires\":%" PRIu64 "}",
                                escaped, g_pairing_secret_b64, g_pairing_code, g_pairing_expires);
    xfree(escaped);
    if (n < 0 || size_t(n) >= cap) return set_err(OPRC_ERR_INVALID_ARG);
    return set_err(OPRC_OK);
}

// A number as a whole count of seconds: reals truncated, out of range saturated, others 0.
static uint64_t as_seconds(const json_val *v) {
    if (json_get_type(v) == JSON_UINT) return json_get_uint(v);
    if (json_get_type(v) != JSON_REAL) return 0;
    const double d = json_get_real(v);
    if (!(d > 0)) return 0;
    return d >= 18446744073709551616.0 ? UINT64_MAX : uint64_t(d);
}

static bool same_text(const json_val *v, const char *expected, size_t len) {
    return json_is_str(v) && json_get_len(v) == len && CRYPTO_memcmp(json_get_str(v), expected, len) == 0;
}

int oprc_v2_accept_pairing(const char *answer_json, int role) {
    if (!answer_json || (role != 1 && role != 2)) return set_err(OPRC_ERR_INVALID_ARG);
    const int64_t now = v2_now_ms();
    if (g_pairing_wrong >= LOCKOUT_AFTER) {
        const int64_t elapsed = now - g_pairing_wrong_at_ms;
        // A clock stepped backwards restarts the window rather than lifting the lock-out.
        if (elapsed < 0) g_pairing_wrong_at_ms = now;
        if (elapsed < LOCKOUT_MS) return set_err(OPRC_ERR_PAIRING);
    }
    json_err jerr;
    json_doc *doc = json_read(answer_json, std::strlen(answer_json), 0, &XALC, &jerr);
    if (!doc) return set_err(jerr.code == JSON_ERR_MEMORY ? OPRC_ERR_OOM : OPRC_ERR_JSON);
    json_val *root = json_doc_root(doc);
    if (!json_is_obj(root)) {
        json_doc_free(doc);
        return set_err(OPRC_ERR_JSON);
    }
    const json_val *code = json_obj_get(root, "code"), *secret = json_obj_get(root, "secret_b64");
    const uint64_t expires = as_seconds(json_obj_get(root, "expires"));
    // Both the answer's expiry and the offer's own must lie ahead.
    const uint64_t now_s_ceiling = now <= 0 ? 0 : (uint64_t(now) + 999) / 1000;
    const bool pending = g_pairing_code[0] != '\0';
    const bool match = pending && expires >= now_s_ceiling && g_pairing_expires >= now_s_ceiling &&
                       same_text(code, g_pairing_code, CODE_DIGITS) &
                           same_text(secret, g_pairing_secret_b64, SECRET_B64);
    json_doc_free(doc);
    if (!match) {
        const int64_t since = now - g_pairing_wrong_at_ms;
        if (g_pairing_wrong == 0 || since >= LOCKOUT_MS || since < 0) g_pairing_wrong_at_ms = now;
        g_pairing_wrong++;
        return set_err(OPRC_ERR_PAIRING);
    }
    g_pairing_wrong = 0;
    char secret_copy[SECRET_B64 + 1];
    std::memcpy(secret_copy, g_pairing_secret_b64, sizeof secret_copy);
    forget_pending();
    const int rc = oprc_v2_register_key(unsigned(role), secret_copy, 0);
    OPENSSL_cleanse(secret_copy, sizeof secret_copy);
    return rc;
}
