// Reply builder: one static reply record, filled by the setters and written
// in a fixed member order. Only item parsing and framing allocate.
#include "oprc_internal.h"
#include "xalloc.h"

#include <zlib.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

enum : size_t {
    TEXT_SIZE = 4096,  // keys, string values, items: 4,095 bytes and the NUL
    NAME_SIZE = 160,
    PROGRESS_TEXT_SIZE = 256,
    FIELD_SLOTS = 64,
    ITEM_SLOTS = 1024,
    FOLDER_SLOTS = 1024,
    TRACK_SLOTS = 256,
    EFFECT_SLOTS = 64,
    VALUE_ESCAPE_LIMIT = 4096,
    NAME_ESCAPE_LIMIT = 256,
    ITEM_KEY_ESCAPE_LIMIT = 512,
    ESTIMATE_SCRATCH = 1u << 20,
};

enum field_kind { FIELD_FREE, FIELD_STR, FIELD_I64, FIELD_BOOL };
enum item_list { LIST_PLAY, LIST_RECENTS };

struct field {
    field_kind kind;
    int64_t i64;  // FIELD_I64 value; FIELD_BOOL: 0 or 1
    char key[TEXT_SIZE];
    char str[TEXT_SIZE];
};

struct named {
    char name[NAME_SIZE];
    int value;  // has-subfolder flag or track index
};

struct reply {
    unsigned command;
    bool active;
    int unlock;  // -1 absent
    field fields[FIELD_SLOTS];
    struct {
        bool present;
        int64_t duration_ms, current_ms;
        char current_text[PROGRESS_TEXT_SIZE], remain_text[PROGRESS_TEXT_SIZE];
    } progress;
    size_t item_count;
    struct {
        item_list list;
        char text[TEXT_SIZE];
    } items[ITEM_SLOTS];
    size_t folder_count, audio_count, subtitle_count, effect_count;
    named folders[FOLDER_SLOTS];
    named audio[TRACK_SLOTS];
    named subtitles[TRACK_SLOTS];
    struct {
        int effect, on;
    } effects[EFFECT_SLOTS];
    struct {
        bool present;
        int force_video, force_audio, system_decode;
    } decode;
    struct {
        bool present;
        named track;
    } audio_sel, subtitle_sel;
};

static reply B;
static char g_estimate_scratch[ESTIMATE_SCRATCH];
// Escaped keys are not cut, so one escaped text may grow to six times a stored one.
static char g_escaped[6 * TEXT_SIZE + 8];

static const char *const IMDB_KEEP[] = {
    "Actors",    "Poster", "Director", "Genre",   "imdbID", "imdbRating", "imdbVotes", "Language", "Metascore",
    "Ratings",   "Rated",  "Released", "Response", "Runtime", "Title",    "Type",      "Writer",   "Year",
};

static const char *const RESERVED_ITEM = "__Item__";
static const char *const RESERVED_FOLDER = "__Folder__";

// ---- output ----

// Appends must fit with their NUL into what is left of `cap`; one that does not fails the whole text.
struct out_text {
    char *buf;
    size_t cap, len;
    bool ok;
};

static void put(out_text *o, const char *s, size_t n) {
    if (!o->ok) return;
    if (n >= o->cap - o->len) {
        o->ok = false;
        return;
    }
    std::memcpy(o->buf + o->len, s, n);
    o->len += n;
    o->buf[o->len] = '\0';
}

static void put_cstr(out_text *o, const char *s) { put(o, s, std::strlen(s)); }

static void putf(out_text *o, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void putf(out_text *o, const char *fmt, ...) {
    char tmp[256];  // formats carry numbers and fixed member names only
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    if (n < 0 || size_t(n) >= sizeof tmp) {
        o->ok = false;
        return;
    }
    put(o, tmp, size_t(n));
}

// \" \\ \b \t \n \f \r, other bytes below 0x20 as \u00xx, all else unchanged; at most `limit` - 2 bytes.
size_t escape_text(char *dst, const char *s, size_t limit) {
    size_t o = 0, lead_at = SIZE_MAX;  // output length before the last multi-byte lead byte
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        const unsigned char c = *p;
        if (o + 7 >= limit) {
            if ((c & 0xC0) == 0x80 && lead_at != SIZE_MAX) o = lead_at;
            break;
        }
        if (c >= 0xC0) lead_at = o;
        else if (c < 0x80) lead_at = SIZE_MAX;
        switch (c) {
        case '"': dst[o++] = '\\', dst[o++] = '"'; break;
        case '\\': dst[o++] = '\\', dst[o++] = '\\'; break;
        case '\b': dst[o++] = '\\', dst[o++] = 'b'; break;
        case '\t': dst[o++] = '\\', dst[o++] = 't'; break;
        case '\n': dst[o++] = '\\', dst[o++] = 'n'; break;
        case '\f': dst[o++] = '\\', dst[o++] = 'f'; break;
        case '\r': dst[o++] = '\\', dst[o++] = 'r'; break;
        default:
            if (c < 0x20) o += size_t(std::snprintf(dst + o, 7, "\\u%04x", c));
            else dst[o++] = char(c);
        }
    }
    dst[o] = '\0';
    return o;
}

static void put_escaped(out_text *o, const char *s, size_t limit) { put(o, g_escaped, escape_text(g_escaped, s, limit)); }

// A key or progress text: escaped whole (texts without special bytes come out unchanged).
static void put_escaped_whole(out_text *o, const char *s) { put_escaped(o, s, sizeof g_escaped); }

static const char *truth(int64_t v) { return v ? "true" : "false"; }

static void put_timespan(out_text *o, int64_t ms) {
    const uint64_t a = ms < 0 ? 0 - uint64_t(ms) : uint64_t(ms);
    putf(o, "%s%llu.%02llu:%02llu:%02llu.%03llu0000", ms < 0 ? "-" : "", (unsigned long long)(a / 86400000),
         (unsigned long long)(a / 3600000 % 24), (unsigned long long)(a / 60000 % 60),
         (unsigned long long)(a / 1000 % 60), (unsigned long long)(a % 1000));
}

static void put_tracks(out_text *o, const char *member, const named *tracks, size_t count) {
    if (!count) return;
    putf(o, ",\"%s\":[", member);
    for (size_t i = 0; i < count; i++) {
        put_cstr(o, i ? ",{\"DisplayName\":\"" : "{\"DisplayName\":\"");
        put_escaped(o, tracks[i].name, NAME_ESCAPE_LIMIT);
        putf(o, "\",\"Index\":%d}", tracks[i].value);
    }
    put_cstr(o, "]");
}

static void put_selected(out_text *o, const char *member, const named *track) {
    putf(o, ",\"%s\":{\"DisplayName\":\"", member);
    put_escaped(o, track->name, NAME_ESCAPE_LIMIT);
    putf(o, "\",\"Index\":%d}", track->value);
}

static void put_items(out_text *o, item_list list, const char *member) {
    bool first = true;
    for (size_t i = 0; i < B.item_count; i++) {
        if (B.items[i].list != list) continue;
        if (first) putf(o, ",\"%s\":[", member);
        else put_cstr(o, ",");
        first = false;
        put_cstr(o, B.items[i].text);
    }
    if (!first) put_cstr(o, "]");
}

static void write_reply(out_text *o) {
    putf(o, "{\"Command\":%d", int(B.command));
    for (const field &f : B.fields) {
        switch (f.kind) {
        case FIELD_FREE: break;
        case FIELD_STR:
            if (std::strcmp(f.key, RESERVED_ITEM) == 0 || std::strcmp(f.key, RESERVED_FOLDER) == 0) {
                put_cstr(o, std::strcmp(f.key, RESERVED_ITEM) == 0 ? ",\"Item\":" : ",\"Folder\":");
                put_cstr(o, f.str);
                break;
            }
            put_cstr(o, ",\"");
            put_escaped_whole(o, f.key);
            put_cstr(o, "\":\"");
            put_escaped(o, f.str, VALUE_ESCAPE_LIMIT);
            put_cstr(o, "\"");
            break;
        case FIELD_I64:
        case FIELD_BOOL:
            put_cstr(o, ",\"");
            put_escaped_whole(o, f.key);
            if (f.kind == FIELD_I64) putf(o, "\":%" PRId64, f.i64);
            else putf(o, "\":%s", truth(f.i64));
            break;
        }
    }
    if (B.unlock == 0 || B.unlock == 1) putf(o, ",\"Unlock\":%s", truth(B.unlock));
    if (B.progress.present) {
        put_cstr(o, ",\"Progress\":{\"Duration\":\"");
        put_timespan(o, B.progress.duration_ms);
        put_cstr(o, "\",\"Current\":\"");
        put_timespan(o, B.progress.current_ms);
        put_cstr(o, "\"");
        if (B.progress.current_text[0]) {
            put_cstr(o, ",\"CurrentTime\":\"");
            put_escaped_whole(o, B.progress.current_text);
            put_cstr(o, "\"");
        }
        if (B.progress.remain_text[0]) {
            put_cstr(o, ",\"RemainTime\":\"");
            put_escaped_whole(o, B.progress.remain_text);
            put_cstr(o, "\"");
        }
        put_cstr(o, "}");
    }
    put_items(o, LIST_PLAY, "PlayList");
    put_items(o, LIST_RECENTS, "Recents");
    if (B.folder_count) {
        put_cstr(o, ",\"Folders\":[");
        for (size_t i = 0; i < B.folder_count; i++) {
            put_cstr(o, i ? ",{\"Name\":\"" : "{\"Name\":\"");
            put_escaped(o, B.folders[i].name, NAME_ESCAPE_LIMIT);
            putf(o, "\",\"HasSubFolder\":%s}", truth(B.folders[i].value));
        }
        put_cstr(o, "]");
    }
    put_tracks(o, "AudioTracks", B.audio, B.audio_count);
    put_tracks(o, "SubtitleTracks", B.subtitles, B.subtitle_count);
    if (B.effect_count) {
        put_cstr(o, ",\"EffectStatus\":[");
        for (size_t i = 0; i < B.effect_count; i++)
            putf(o, "%s{\"Effect\":%d,\"IsOn\":%s}", i ? "," : "", B.effects[i].effect, truth(B.effects[i].on));
        put_cstr(o, "]");
    }
    if (B.decode.present)
        putf(o,
             ",\"DecodeStatus\":{\"ForceDecodeVideoForFile\":%s,\"ForceDecodeAudioForFile\":%s,"
             "\"SystemDecodeForFile\":%s}",
             truth(B.decode.force_video), truth(B.decode.force_audio), truth(B.decode.system_decode));
    if (B.audio_sel.present) put_selected(o, "AudioTrack", &B.audio_sel.track);
    if (B.subtitle_sel.present) put_selected(o, "SubtitleTrack", &B.subtitle_sel.track);
    put_cstr(o, "}");
}

// ---- setters ----

// Cut copy of `s` into a text slot of `cap` bytes.
static void store(char *dst, size_t cap, const char *s) { copy_cut(dst, cap, s, std::strlen(s)); }

static field *find_field(field_kind kind, const char *key) {
    for (field &f : B.fields)
        if (f.kind == kind && std::strcmp(f.key, key) == 0) return &f;
    return nullptr;
}

static field *free_field() {
    for (field &f : B.fields)
        if (f.kind == FIELD_FREE) return &f;
    return nullptr;
}

static int set_field(field_kind kind, const char *key, const char *str, int64_t value) {
    if (!B.active || !key) return set_err(OPRC_ERR_INVALID_ARG);
    // Keys compare as stored: cut at 4,095 bytes on a character boundary.
    char cut_key[TEXT_SIZE];
    store(cut_key, sizeof cut_key, key);
    field *f = find_field(kind, cut_key);
    if (kind == FIELD_STR) {
        const bool raw = std::strcmp(cut_key, RESERVED_ITEM) == 0 || std::strcmp(cut_key, RESERVED_FOLDER) == 0;
        // Raw JSON cut short would be invalid JSON: refuse it instead.
        if (raw && str && std::strlen(str) >= TEXT_SIZE) return set_err(OPRC_ERR_INVALID_ARG);
        if (!str) {
            if (f) f->kind = FIELD_FREE;
            return OPRC_OK;
        }
    }
    if (!f) {
        f = free_field();
        if (!f) return set_err(OPRC_ERR_INVALID_ARG);
        f->kind = kind;
        std::memcpy(f->key, cut_key, sizeof cut_key);
    }
    if (kind == FIELD_STR) store(f->str, sizeof f->str, str);
    else f->i64 = value;
    return OPRC_OK;
}

int oprc_build_begin(unsigned int command) {
    // Zeroing what the reply reads is enough: lists are read up to their counts, fields by kind.
    B.active = false;
    B.command = 0;
    for (field &f : B.fields) f.kind = FIELD_FREE;
    B.unlock = -1;
    B.progress = {};
    B.item_count = B.folder_count = B.audio_count = B.subtitle_count = B.effect_count = 0;
    B.decode = {};
    B.audio_sel = {};
    B.subtitle_sel = {};
    if (command >= unsigned(OPRC_COMMAND_COUNT)) return set_err(OPRC_ERR_INVALID_ARG);
    B.command = command;
    B.active = true;
    return set_err(OPRC_OK);
}

int oprc_build_set_str(const char *key, const char *value) { return set_field(FIELD_STR, key, value, 0); }
int oprc_build_set_i64(const char *key, int64_t value) { return set_field(FIELD_I64, key, nullptr, value); }
int oprc_build_set_bool(const char *key, int value) { return set_field(FIELD_BOOL, key, nullptr, value != 0); }

int oprc_build_set_unlock(int value) {
    if (!B.active || value < -1 || value > 1) return set_err(OPRC_ERR_INVALID_ARG);
    B.unlock = value;
    return OPRC_OK;
}

int oprc_build_set_item_json(const char *json) {
    if (!json) return set_err(OPRC_ERR_INVALID_ARG);
    return set_field(FIELD_STR, RESERVED_ITEM, json, 0);
}

int oprc_build_set_folder_json(const char *json) {
    if (!json) return set_err(OPRC_ERR_INVALID_ARG);
    return set_field(FIELD_STR, RESERVED_FOLDER, json, 0);
}

int oprc_build_set_progress(int64_t duration_ms, int64_t current_ms, const char *current_text, const char *remain_text) {
    if (!B.active) return set_err(OPRC_ERR_INVALID_ARG);
    B.progress.present = true;
    B.progress.duration_ms = duration_ms;
    B.progress.current_ms = current_ms;
    if (current_text) store(B.progress.current_text, PROGRESS_TEXT_SIZE, current_text);
    if (remain_text) store(B.progress.remain_text, PROGRESS_TEXT_SIZE, remain_text);
    return OPRC_OK;
}

// Writes `v` as compact JSON; the "IMDb" object of an item keeps only the IMDB_KEEP members.
static void put_json(out_text *o, const json_val *v, json_buf *scratch) {
    scratch->len = 0;
    json_buf_val(scratch, v, 0);
    if (scratch->failed) o->ok = false;
    else put(o, scratch->data, scratch->len);
}

static void put_key(out_text *o, const json_val *key) {
    // A key holding a NUL byte is escaped up to that byte, as a C text would be.
    put_cstr(o, "\"");
    put_escaped(o, json_get_str(key), ITEM_KEY_ESCAPE_LIMIT);
    put_cstr(o, "\":");
}

static bool imdb_kept(const json_val *key) {
    for (const char *name : IMDB_KEEP)
        if (json_equals_str(key, name, std::strlen(name))) return true;
    return false;
}

static int add_item(item_list list, const char *text, size_t len) {
    if (B.item_count >= ITEM_SLOTS) return set_err(OPRC_ERR_INVALID_ARG);
    B.items[B.item_count].list = list;
    std::memcpy(B.items[B.item_count].text, text, len);
    B.items[B.item_count].text[len] = '\0';
    B.item_count++;
    return OPRC_OK;
}

int oprc_build_add_playlist_item(const char *item_json) {
    if (!B.active || !item_json) return set_err(OPRC_ERR_INVALID_ARG);
    if (B.item_count >= ITEM_SLOTS) return set_err(OPRC_ERR_INVALID_ARG);
    json_err jerr;
    json_doc *doc = json_read(item_json, std::strlen(item_json), 0, &XALC, &jerr);
    if (!doc) return set_err(jerr.code == JSON_ERR_MEMORY ? OPRC_ERR_OOM : OPRC_ERR_JSON);
    json_val *root = json_doc_root(doc);
    if (!json_is_obj(root)) {
        json_doc_free(doc);
        return set_err(OPRC_ERR_JSON);
    }
    char work[TEXT_SIZE - 1];  // the item must fit 4,094 bytes and its NUL
    out_text o = {work, sizeof work, 0, true};
    json_buf scratch;
    json_buf_init(&scratch, &XALC);
    put_cstr(&o, "{");
    json_obj_iter it = json_obj_iter_init(root);
    bool first = true;
    while (json_val *k = json_obj_iter_next(&it)) {
        if (!first) put_cstr(&o, ",");
        first = false;
        put_key(&o, k);
        json_val *v = k + 1;
        if (!json_equals_str(k, "IMDb", 4) || !json_is_obj(v)) {
            put_json(&o, v, &scratch);
            continue;
        }
        put_cstr(&o, "{");
        bool first_kept = true;
        json_obj_iter inner = json_obj_iter_init(v);
        while (json_val *ik = json_obj_iter_next(&inner)) {
            if (!imdb_kept(ik)) continue;
            if (!first_kept) put_cstr(&o, ",");
            first_kept = false;
            put_key(&o, ik);
            put_json(&o, ik + 1, &scratch);
        }
        put_cstr(&o, "}");
    }
    put_cstr(&o, "}");
    const bool oom = scratch.failed;
    json_buf_free(&scratch);
    json_doc_free(doc);
    if (oom) return set_err(OPRC_ERR_OOM);
    if (!o.ok) return set_err(OPRC_ERR_JSON);
    return add_item(LIST_PLAY, work, o.len);
}

int oprc_build_add_recents_item(const char *json) {
    if (!B.active || !json) return set_err(OPRC_ERR_INVALID_ARG);
    const size_t len = std::strlen(json);
    if (len >= TEXT_SIZE) return set_err(OPRC_ERR_INVALID_ARG);
    return add_item(LIST_RECENTS, json, len);
}

static int add_named(named *list, size_t *count, size_t cap, const char *name, int value) {
    if (!B.active || !name || *count >= cap) return set_err(OPRC_ERR_INVALID_ARG);
    store(list[*count].name, NAME_SIZE, name);
    list[*count].value = value;
    ++*count;
    return OPRC_OK;
}

int oprc_build_add_folder(const char *name, int has_subfolder) {
    return add_named(B.folders, &B.folder_count, FOLDER_SLOTS, name, has_subfolder);
}

int oprc_build_add_audio_track(const char *name, int index) {
    return add_named(B.audio, &B.audio_count, TRACK_SLOTS, name, index);
}

int oprc_build_add_subtitle_track(const char *name, int index) {
    return add_named(B.subtitles, &B.subtitle_count, TRACK_SLOTS, name, index);
}

static int select_track(bool *present, named *track, const char *name, int index) {
    if (!B.active || !name) return set_err(OPRC_ERR_INVALID_ARG);
    *present = true;
    store(track->name, NAME_SIZE, name);
    track->value = index;
    return OPRC_OK;
}

int oprc_build_set_audio_track(const char *name, int index) {
    return select_track(&B.audio_sel.present, &B.audio_sel.track, name, index);
}

int oprc_build_set_subtitle_track(const char *name, int index) {
    return select_track(&B.subtitle_sel.present, &B.subtitle_sel.track, name, index);
}

int oprc_build_add_effect_status(int effect, int on) {
    if (!B.active || B.effect_count >= EFFECT_SLOTS) return set_err(OPRC_ERR_INVALID_ARG);
    B.effects[B.effect_count].effect = effect;
    B.effects[B.effect_count].on = on;
    B.effect_count++;
    return OPRC_OK;
}

int oprc_build_set_decode_status(int force_video, int force_audio, int system_decode) {
    if (!B.active) return set_err(OPRC_ERR_INVALID_ARG);
    B.decode = {true, force_video, force_audio, system_decode};
    return OPRC_OK;
}

int oprc_build_finish(char *buf, size_t cap, size_t *out_len) {
    if (!B.active || !buf || !out_len || !cap) return set_err(OPRC_ERR_INVALID_ARG);
    out_text o = {buf, cap, 0, true};
    write_reply(&o);
    if (!o.ok) return set_err(OPRC_ERR_INVALID_ARG);
    *out_len = o.len;
    return set_err(OPRC_OK);
}

// The bound the compressor of the wire format's reference peers reserves for `n` bytes.
static size_t compress_bound(size_t n) {
    const uint64_t a = 128 + uint64_t(n) * 110 / 100;
    const uint64_t b = 128 + uint64_t(n) + (uint64_t(n) / 31744 + 1) * 5;
    return size_t(a > b ? a : b);
}

size_t oprc_build_size_estimate(void) {
    size_t len = 0;
    if (oprc_build_finish(g_estimate_scratch, sizeof g_estimate_scratch, &len) != OPRC_OK) return 0;
    return compress_bound(len) + TAG_SIZE;
}

int oprc_encode(const char *json, void *out, size_t cap, size_t *out_len) {
    const size_t tag = secret_len() ? size_t(TAG_SIZE) : 0;
    if (!json || !out || !out_len || !cap || cap < tag) return set_err(OPRC_ERR_INVALID_ARG);
    const size_t n = std::strlen(json);
    uLongf zlen = compressBound(uLong(n));
    uint8_t *z = static_cast<uint8_t *>(xmalloc(tag + zlen));
    if (!z) return set_err(OPRC_ERR_OOM);
    if (compress2(z + tag, &zlen, reinterpret_cast<const Bytef *>(json), uLong(n), Z_DEFAULT_COMPRESSION) != Z_OK) {
        xfree(z);
        return set_err(OPRC_ERR_INFLATE);
    }
    const size_t total = tag + zlen;
    int rc = OPRC_OK;
    if (tag && !secret_tag(z + tag, zlen, z)) rc = OPRC_ERR_OOM;
    else if (total > OPRC_MAX_DATAGRAM) rc = OPRC_ERR_TOO_LARGE;  // every receiver would refuse it
    else if (total > cap) rc = OPRC_ERR_INVALID_ARG;
    if (rc == OPRC_OK) {
        std::memcpy(out, z, total);
        *out_len = total;
    }
    xfree(z);
    return set_err(unsigned(rc));
}
