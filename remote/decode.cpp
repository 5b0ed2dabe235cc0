// Plain datagrams: tag check, zlib inflation under size and ratio caps, strict
// JSON reading and the command check. The parsed document becomes the current
// message that the accessors read.
#include "oprc_internal.h"
#include "xalloc.h"

#include <zlib.h>

#include <cstring>

enum : size_t {
    INFLATE_STEP = 65536,
    RESULT_JSON_SIZE = 1u << 20,
};

json_val *g_root;
int g_cmd_id = -1;
int g_uri_armed;
size_t g_max_inflate = 4u << 20;
int g_max_ratio = 100;

// The current message: its document and the text the document points into.
static json_doc *g_doc;
static char *g_doc_text;
static char g_result_json[RESULT_JSON_SIZE];

static void release_message() {
    json_doc_free(g_doc);
    xfree(g_doc_text);
    g_doc = nullptr;
    g_doc_text = nullptr;
    g_root = nullptr;
}

static bool is_zlib_header(const uint8_t *p, size_t n) {
    return n >= 2 && (p[0] & 0x0F) == 8 && (p[0] * 256 + p[1]) % 31 == 0;
}

// A buffer with room for JSON_READ_PADDING bytes past `len`, as in-place reading needs.
static char *text_alloc(size_t len) { return static_cast<char *>(xmalloc(len + JSON_READ_PADDING)); }

// Inflates the zlib stream `src` into a new text buffer; *out_len is the size inflated.
static int inflate_payload(const uint8_t *src, size_t n, char **out, size_t *out_len) {
    z_stream zs = {};
    zs.next_in = const_cast<Bytef *>(src);
    zs.avail_in = uInt(n);
    const int init = inflateInit(&zs);
    if (init != Z_OK) return set_err(init == Z_MEM_ERROR ? OPRC_ERR_OOM : OPRC_ERR_INFLATE);
    char *buf = nullptr;
    size_t total = 0, cap = 0;
    const size_t ratio_cap = g_max_ratio > 1 ? size_t(g_max_ratio) : 1;
    int result = OPRC_OK;
    for (;;) {
        if (cap < total + INFLATE_STEP + JSON_READ_PADDING) {
            // Grow geometrically; each step still offers at most INFLATE_STEP bytes.
            size_t want = cap ? cap * 2 : INFLATE_STEP * 2;
            if (want < total + INFLATE_STEP + JSON_READ_PADDING) want = total + INFLATE_STEP + JSON_READ_PADDING;
            char *grown = static_cast<char *>(xrealloc(buf, want));
            if (!grown) {
                result = set_err(OPRC_ERR_OOM);
                break;
            }
            buf = grown;
            cap = want;
        }
        zs.next_out = reinterpret_cast<Bytef *>(buf + total);
        zs.avail_out = uInt(INFLATE_STEP);
        int rc = inflate(&zs, Z_NO_FLUSH);
        const size_t made = INFLATE_STEP - zs.avail_out;
        total += made;
        if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR || rc == Z_MEM_ERROR) {
            // A preset dictionary is never agreed on, so a stream asking for one is corrupt.
            warn("zlib corrupt or truncated (mz rc=%d, made=%zu)", rc, made);
            result = set_err(rc == Z_MEM_ERROR ? OPRC_ERR_OOM : OPRC_ERR_INFLATE);
            break;
        }
        if (total > g_max_inflate || total / (n + 1) > ratio_cap) {
            warn("zlib bomb refused (%zu bytes, cap %zu, ratio %d)", total, g_max_inflate, g_max_ratio);
            result = set_err(OPRC_ERR_BOMB);
            break;
        }
        if (rc == Z_STREAM_END) {
            if (zs.avail_in) {
                warn("zlib trailing garbage (%lu bytes) refused", static_cast<unsigned long>(zs.avail_in));
                result = set_err(OPRC_ERR_INFLATE);
            }
            break;
        }
        if (made == 0) {
            // No output and no end: the input ran out (reported as a buffer error) or stalled.
            if (rc == Z_OK) rc = Z_BUF_ERROR;
            warn("zlib corrupt or truncated (mz rc=%d, made=%zu)", rc, size_t(0));
            result = set_err(OPRC_ERR_INFLATE);
            break;
        }
    }
    inflateEnd(&zs);
    if (result != OPRC_OK) {
        xfree(buf);
        return result;
    }
    buf[total] = '\0';
    *out = buf;
    *out_len = total;
    return OPRC_OK;
}

// Reads `text` (owned from here on, `len` bytes plus padding) as the new current message.
static int parse_message(char *text, size_t len) {
    len = strnlen(text, len);  // the text ends at its first NUL
    if (len > MAX_JSON_TEXT) {
        xfree(text);
        return set_err(OPRC_ERR_TOO_LARGE);
    }
    release_message();
    json_err jerr;
    json_doc *doc = json_read_insitu(text, len, 0, &XALC, &jerr);
    if (!doc) {
        xfree(text);
        g_cmd_id = -1;
        return set_err(jerr.code == JSON_ERR_MEMORY ? OPRC_ERR_OOM : OPRC_ERR_JSON);
    }
    json_val *root = json_doc_root(doc);
    if (!json_is_obj(root)) {
        warn("root is not a JSON object");
        json_doc_free(doc);
        xfree(text);
        g_cmd_id = -1;
        return set_err(OPRC_ERR_JSON);
    }
    const int id = command_of(json_obj_get(root, "Command"));
    if (id < 0) {
        warn("missing or unknown Command");
        json_doc_free(doc);
        xfree(text);
        g_cmd_id = -1;
        return set_err(OPRC_ERR_UNKNOWN_COMMAND);
    }
    g_doc = doc;
    g_doc_text = text;
    g_root = root;
    g_cmd_id = id;
    const bool uri_command = id == OPRC_CMD_OPEN || id == OPRC_CMD_LOAD_SUBTITLE || id == OPRC_CMD_PLAY_URI;
    if (uri_command && !g_uri_armed) return set_err(OPRC_ERR_NOT_ARMED);
    json_buf out;
    json_buf_init(&out, &XALC);
    json_buf_val(&out, root, 0);
    if (!out.failed) copy_cut(g_result_json, sizeof g_result_json, out.data, out.len);
    json_buf_free(&out);
    return set_err(OPRC_OK);
}

int decode_v0(const void *data, size_t len) { return decode_plain(data, len, OPRC_MAX_DATAGRAM); }

int decode_plain(const void *data, size_t len, size_t limit) {
    set_err(OPRC_OK);
    if (!data || !len) return set_err(OPRC_ERR_INVALID_ARG);
    if (len > limit) return set_err(OPRC_ERR_TOO_LARGE);
    warn_clear();
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t n = len;
    if (secret_len()) {
        if (n < TAG_SIZE || !secret_tag_matches(p, p + TAG_SIZE, n - TAG_SIZE)) return set_err(OPRC_ERR_UNAUTHENTICATED);
        p += TAG_SIZE;
        n -= TAG_SIZE;
    }
    if (n == 0) return set_err(OPRC_ERR_JSON);
    if (n >= 2 && p[0] == 'B' && p[1] == 'Z') {
        warn("bz2-refused: BZip2 datagram dropped (zlib only)");
        return set_err(OPRC_ERR_INFLATE);
    }
    if (n >= 2 && p[0] == 'B') return set_err(OPRC_ERR_JSON);
    char *text = nullptr;
    size_t text_len = 0;
    if (is_zlib_header(p, n)) {
        const int rc = inflate_payload(p, n, &text, &text_len);
        if (rc != OPRC_OK) return rc;
    } else {
        if (p[0] != '{') return set_err(OPRC_ERR_JSON);
        text = text_alloc(n);
        if (!text) return set_err(OPRC_ERR_OOM);
        std::memcpy(text, p, n);
        text[n] = '\0';
        text_len = n;
    }
    return parse_message(text, text_len);
}

int oprc_decode(const void *data, size_t len) {
    const bool keyed = v2_key_in_use();
    set_err(OPRC_OK);
    if (!data || !len) return set_err(OPRC_ERR_INVALID_ARG);
    if (len > OPRC_MAX_DATAGRAM) return set_err(OPRC_ERR_TOO_LARGE);
    if (static_cast<const uint8_t *>(data)[0] == 2) return decode_v2(static_cast<const uint8_t *>(data), len);
    if (keyed && !g_allow_legacy) return set_err(OPRC_ERR_PROTOCOL);
    const int rc = decode_v0(data, len);
    if (rc == OPRC_OK) g_negotiated_level = 0;
    return rc;
}

void oprc_set_max_inflate(size_t cap) {
    if (cap >= 64) g_max_inflate = cap;
}

void oprc_set_max_ratio(int ratio) {
    if (ratio > 0) g_max_ratio = ratio;
}

const char *oprc_result_json(void) { return g_result_json; }

void oprc_arm_uri_commands(int armed) { g_uri_armed = armed != 0; }
