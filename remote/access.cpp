// Typed accessors of the current message. Each reads one member path and
// answers with the result of its kind; a missing message reads as an absent
// member.
#include "oprc_internal.h"
#include "xalloc.h"

#include <cmath>
#include <cstdio>
#include <cstring>

enum : size_t { STR_FIELD_SIZE = 8192 };

static char g_str_field[STR_FIELD_SIZE];

static json_val *member(json_val *obj, const char *key) { return json_obj_get(obj, key); }

static json_val *element(const char *array_key, int index) {
    return index < 0 ? nullptr : json_arr_get(member(g_root, array_key), size_t(index));
}

static int as_int(const json_val *v) {
    if (json_is_int(v)) return int(uint32_t(json_get_sint(v)));
    return json_get_type(v) == JSON_REAL ? 0 : -1;
}

static int as_bool(const json_val *v) {
    switch (json_get_type(v)) {
    case JSON_TRUE: return 1;
    case JSON_FALSE: return 0;
    case JSON_UINT:
    case JSON_SINT: return json_get_sint(v) != 0;
    case JSON_REAL: return 0;
    default: return -1;
    }
}

static int strict_bool(const json_val *v) {
    switch (json_get_type(v)) {
    case JSON_TRUE: return 1;
    case JSON_FALSE: return 0;
    default: return -1;
    }
}

static int as_permille(const json_val *v) {
    if (!json_is_num(v)) return -1;
    const double x = json_get_num(v);
    if (!std::isfinite(x)) return -2;
    const double scaled = x >= 0 ? 1000.0 * x + 0.5 : 1000.0 * x - 0.5;
    // Saturate: converting a double outside the int range is undefined.
    if (scaled >= 2147483647.0) return 2147483647;
    if (scaled <= -2147483648.0) return -2147483647 - 1;
    return int(scaled);
}

static int as_count(const json_val *v) {
    if (!json_is_arr(v)) return 0;
    const size_t n = json_get_len(v);
    return n > 2147483647u ? 2147483647 : int(n);
}

// The text kind: a string's characters, NULL for null or absence, else the compact JSON.
static const char *as_text(const json_val *v) {
    switch (json_get_type(v)) {
    case JSON_NONE:
    case JSON_NULL: return nullptr;
    case JSON_STR: copy_cut(g_str_field, sizeof g_str_field, json_get_str(v), json_get_len(v)); return g_str_field;
    default: break;
    }
    json_buf out;
    json_buf_init(&out, &XALC);
    json_buf_val(&out, v, 0);
    const char *result = nullptr;
    if (!out.failed) {
        copy_cut(g_str_field, sizeof g_str_field, out.data, out.len);
        result = g_str_field;
    }
    json_buf_free(&out);
    return result;
}

// `name` inside `obj`; a name beginning with "IMDb." is looked up in obj's "IMDb" object when `imdb`.
static const char *field_text(json_val *obj, const char *name, bool imdb) {
    if (!name || !json_is_obj(obj)) return nullptr;
    if (imdb && std::strncmp(name, "IMDb.", 5) == 0) {
        json_val *inner = member(obj, "IMDb");
        return json_is_obj(inner) ? as_text(member(inner, name + 5)) : nullptr;
    }
    return as_text(member(obj, name));
}

static bool add_checked(int64_t *acc, int64_t mul, int64_t add) {
    return !__builtin_mul_overflow(*acc, mul, acc) && !__builtin_add_overflow(*acc, add, acc);
}

// Reads one or more decimal digits at *p into *out without overflow.
static bool read_digits(const char **p, int64_t *out) {
    const char *s = *p;
    int64_t v = 0;
    if (*s < '0' || *s > '9') return false;
    for (; *s >= '0' && *s <= '9'; s++)
        if (!add_checked(&v, 10, *s - '0')) return false;
    *p = s;
    *out = v;
    return true;
}

// Milliseconds of a time-span text "[-][D.]HH:MM:SS[.fffffff]", -1 when unreadable.
static int64_t parse_timespan(const char *text) {
    if (!text || !*text) return -1;
    const char *p = text;
    const bool negative = *p == '-';
    if (negative && !*++p) return -1;
    int64_t days = 0;
    const char *dot = std::strchr(p, '.'), *colon = std::strchr(p, ':');
    if (dot && (!colon || dot < colon)) {
        if (!read_digits(&p, &days) || p != dot) return -1;
        p = dot + 1;
    }
    int64_t hours, minutes, seconds;
    if (!read_digits(&p, &hours) || *p++ != ':' || !read_digits(&p, &minutes) || *p++ != ':' ||
        !read_digits(&p, &seconds))
        return -1;
    if (hours > 99 || minutes > 59 || seconds > 59) return -1;
    int64_t fraction = 0;  // ten-millionths
    if (*p == '.') {
        // Seven digits are the format's precision; further digits are below it.
        int digits = 0;
        for (p++; *p >= '0' && *p <= '9'; p++)
            if (digits < 7) fraction = fraction * 10 + (*p - '0'), digits++;
        for (; digits < 7; digits++) fraction *= 10;
    }
    int64_t ms = days;
    if (!add_checked(&ms, 86400, hours * 3600 + minutes * 60 + seconds) || !add_checked(&ms, 1000, fraction / 10000))
        return -1;
    return negative ? -ms : ms;
}

static int64_t as_duration(const json_val *v) { return parse_timespan(as_text(v)); }

static json_val *progress() {
    json_val *p = member(g_root, "Progress");
    return json_is_obj(p) ? p : nullptr;
}

int oprc_state(void) { return as_int(member(g_root, "State")); }

uint64_t oprc_position(void) {
    const json_val *v = member(g_root, "Position");
    if (!json_is_num(v)) return 0;
    const double d = json_get_num(v);
    if (!(d >= 0.0)) return 0;
    if (d >= 18446744073709551616.0) return UINT64_MAX;  // saturate at and above 2^64
    return uint64_t(d);
}

int oprc_volume_permille(void) { return as_permille(member(g_root, "Volume")); }
int oprc_rate_permille(void) { return as_permille(member(g_root, "Rate")); }
int oprc_is_muted(void) { return as_bool(member(g_root, "IsMuted")); }
int oprc_is_locked(void) { return as_bool(member(g_root, "IsLocked")); }
int oprc_is_fullscreen(void) { return as_bool(member(g_root, "IsFullScreen")); }
int oprc_unlock_tristate(void) { return as_bool(member(g_root, "Unlock")); }
int oprc_open_id(void) { return as_int(member(g_root, "Open")); }
int oprc_effect_id(void) { return as_int(member(g_root, "Effect")); }
int oprc_decode_id(void) { return as_int(member(g_root, "Decode")); }
const char *oprc_uri(void) { return as_text(member(g_root, "Uri")); }
const char *oprc_imdb_id(void) { return as_text(member(g_root, "IMDbID")); }
const char *oprc_poster(void) { return as_text(member(g_root, "Poster")); }
const char *oprc_device_code(void) { return as_text(member(g_root, "DeivceCode")); }

int oprc_progress_present(void) { return progress() != nullptr; }
int64_t oprc_progress_duration_ms(void) { return as_duration(member(progress(), "Duration")); }
int64_t oprc_progress_current_ms(void) { return as_duration(member(progress(), "Current")); }
const char *oprc_progress_current_text(void) { return as_text(member(progress(), "CurrentTime")); }
const char *oprc_progress_remain_text(void) { return as_text(member(progress(), "RemainTime")); }

int oprc_playlist_count(void) { return as_count(member(g_root, "PlayList")); }
int oprc_recents_count(void) { return as_count(member(g_root, "Recents")); }
int oprc_folders_count(void) { return as_count(member(g_root, "Folders")); }
int oprc_audio_track_count(void) { return as_count(member(g_root, "AudioTracks")); }
int oprc_subtitle_track_count(void) { return as_count(member(g_root, "SubtitleTracks")); }
int oprc_effect_status_count(void) { return as_count(member(g_root, "EffectStatus")); }

const char *oprc_playlist_field(int index, const char *name) {
    return field_text(element("PlayList", index), name, true);
}
const char *oprc_recents_field(int index, const char *name) {
    return field_text(element("Recents", index), name, false);
}
const char *oprc_folder_name(int index) { return field_text(element("Folders", index), "Name", false); }
int oprc_folder_has_subfolder(int index) { return strict_bool(member(element("Folders", index), "HasSubFolder")); }
const char *oprc_audio_track_name(int index) {
    return field_text(element("AudioTracks", index), "DisplayName", false);
}
int oprc_audio_track_index(int index) { return as_int(member(element("AudioTracks", index), "Index")); }
const char *oprc_subtitle_track_name(int index) {
    return field_text(element("SubtitleTracks", index), "DisplayName", false);
}
int oprc_subtitle_track_index(int index) { return as_int(member(element("SubtitleTracks", index), "Index")); }

const char *oprc_item_field(const char *name) { return field_text(member(g_root, "Item"), name, true); }
const char *oprc_folder_field(const char *name) { return field_text(member(g_root, "Folder"), name, false); }
const char *oprc_audio_track_field(const char *name) { return field_text(member(g_root, "AudioTrack"), name, false); }
const char *oprc_subtitle_track_field(const char *name) {
    return field_text(member(g_root, "SubtitleTrack"), name, false);
}

const char *oprc_effect_status_field(int index, const char *name) {
    json_val *entry = element("EffectStatus", index);
    if (!name || !json_is_obj(entry)) return nullptr;
    json_val *v = member(entry, name);
    if (std::strcmp(name, "IsOn") == 0) {
        const int on = strict_bool(v);
        return on < 0 ? nullptr : on ? "true" : "false";
    }
    if (std::strcmp(name, "Effect") == 0) {
        if (!json_is_num(v)) return nullptr;
        std::snprintf(g_str_field, sizeof g_str_field, "%d", as_int(v));
        return g_str_field;
    }
    return as_text(v);
}

int oprc_decode_status_field(const char *name) {
    return name ? strict_bool(member(member(g_root, "DecodeStatus"), name)) : -1;
}
