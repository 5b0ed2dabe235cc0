// Shared inside the remote-control library. The extern "C" names below are
// exported as well (see exports.txt); the library binds its own calls to them
// (-Bsymbolic), so a host's functions of the same names never take their place.
#pragma once

#include "json.h"
#include "oprc.h"

#include <cstddef>
#include <cstdint>

enum : size_t {
    ERR_TEXT_SIZE = 160,
    WARN_SLOTS = 32,
    WARN_SIZE = 96,
    MAX_JSON_TEXT = 16u << 20,
    TAG_SIZE = 32,
    MAX_SECRET = 256,
};

extern "C" {
OPRC_API extern char g_err[ERR_TEXT_SIZE];
OPRC_API extern int g_negotiated_level;
OPRC_API extern int g_allow_legacy;
OPRC_API extern int g_warn_count;

// Writes the name of `code` (codes above 16 as 16) into g_err; returns the code written.
OPRC_API int set_err(unsigned code);
// Appends a printf-formatted warning (cut to 95 bytes; dropped when 32 are stored).
OPRC_API void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
OPRC_API void warn_clear(void);
// The plain-datagram decoder; also decodes a reassembled secure message.
OPRC_API int decode_v0(const void *data, size_t len);
}

// ---- current message (decode.cpp) ----
extern json_val *g_root;     // root object of the current message, NULL when none
extern int g_cmd_id;         // command of the current message, -1 when none
extern int g_uri_armed;
extern size_t g_max_inflate;
extern int g_max_ratio;

// Command id of a "Command" value: integral number 0..40 or a name in any ASCII case; -1 otherwise.
int command_of(const json_val *v);

// ---- shared secret (tag.cpp) ----
// Length of the shared secret, 0 when none.
size_t secret_len();
// HMAC-SHA256 of `data` keyed with the shared secret; false when the secret is off or hashing failed.
bool secret_tag(const void *data, size_t len, uint8_t out[TAG_SIZE]);
// Constant-time check of a tag against the shared secret's tag of `data`.
bool secret_tag_matches(const uint8_t tag[TAG_SIZE], const void *data, size_t len);

// The plain decoder with a size limit of its own: a reassembled secure message may be longer
// than one datagram.
int decode_plain(const void *data, size_t len, size_t limit);

// ---- secure datagrams (v2.cpp) ----
enum : size_t { V2_SLOTS = 4, V2_KEY = 32 };

// One identity of this host: datagrams go out under `sender_id` with `send_key`; datagrams
// from any other sender are verified with `recv_key`.
struct v2_slot {
    int in_use;
    uint32_t sender_id;
    uint32_t reg_value;
    uint8_t send_key[V2_KEY];
    uint8_t recv_key[V2_KEY];
    uint64_t next_counter;  // 1 after registration
};

extern "C" {
OPRC_API extern v2_slot g_v2[V2_SLOTS];
OPRC_API extern oprc_v2_counter_sink g_v2_counter_fn;
OPRC_API extern void *g_v2_counter_ctx;
OPRC_API extern oprc_v2_clock g_v2_clock_fn;
}

bool v2_key_in_use();
// Decodes a datagram whose first byte is 2.
int decode_v2(const uint8_t *data, size_t len);
// The library clock in milliseconds.
int64_t v2_now_ms();
// Allocation that writes "ERR_OOM" when it fails (exported as `xmalloc`).
void *xmalloc_or_oom(size_t size);
// Standard base64 of `n` bytes into `out` (room for 4 * ((n + 2) / 3) + 1); returns the length.
size_t base64_encode(const uint8_t *data, size_t n, char *out);

// ---- reply builder (build.cpp) ----
// JSON string escaping of `s` as the builder writes it, stopping (on a character boundary)
// before any byte at which the output holds `limit` - 7 bytes or more. `dst` needs room for
// `limit` bytes, or 6 * strlen(s) + 1 when the limit is not to cut.
size_t escape_text(char *dst, const char *s, size_t limit);

// ---- text helpers (text.cpp) ----
// Length of the longest prefix of `s` (length n) of at most `limit` bytes that ends on a
// UTF-8 character boundary; ASCII text is simply cut at `limit`.
size_t utf8_cut(const char *s, size_t n, size_t limit);
// Copies at most `cap` - 1 bytes of `s` (length n) into `dst`, cut on a character boundary, NUL-terminated.
size_t copy_cut(char *dst, size_t cap, const char *s, size_t n);
