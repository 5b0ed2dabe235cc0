// Library frame: the command table, error texts, warning list and the small
// text helpers every module uses.
#include "oprc_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

static const char *const CMD_NAMES[OPRC_COMMAND_COUNT] = {
    "TogglePlayPause", "Play",        "Pause",          "Stop",           "Record",        "FastForward",
    "Rewind",          "Next",        "Previous",       "ChannelUp",      "ChannelDown",   "PlayList",
    "FavoritesFolders", "FavoritesFiles", "RecentFiles", "OpenId",        "OpenFolder",    "Ping",
    "GoBack",          "CurrentState", "Progress",      "Seek",           "AudioTracks",   "SubtitleTracks",
    "Volume",          "SetSubtitleTrack", "SetAudioTrack", "SetVolume",  "ToggleMuted",   "Restart",
    "Open",            "Lock",        "Rate",           "FullScreen",     "DetailView",    "Decode",
    "Effect",          "StartCast",   "StopCast",       "LoadSubtitle",   "PlayUri",
};

static const char *const names[] = {
    "OK",           "ERR_INVALID_ARG",  "ERR_INFLATE", "ERR_BOMB",     "ERR_JSON",     "ERR_UNKNOWN_COMMAND",
    "ERR_TOO_LARGE", "ERR_UNAUTHENTICATED", "ERR_PEER_REJECTED", "ERR_NOT_ARMED", "ERR_BIND", "ERR_TIMEOUT",
    "ERR_OOM",      "ERR_PROTOCOL",     "ERR_REPLAY",  "ERR_FRAGMENT", "ERR_PAIRING",
};
static_assert(sizeof names / sizeof *names == OPRC_ERR_PAIRING + 1);

char g_err[ERR_TEXT_SIZE] = "OK";
int g_negotiated_level;
int g_allow_legacy;
int g_warn_count;
static char g_warnings[WARN_SLOTS][WARN_SIZE];
static char g_name_buf[32];

int set_err(unsigned code) {
    if (code > OPRC_ERR_PAIRING) code = OPRC_ERR_PAIRING;
    std::snprintf(g_err, sizeof g_err, "%s", names[code]);
    return int(code);
}

void warn(const char *fmt, ...) {
    if (g_warn_count >= int(WARN_SLOTS)) return;
    // Formatted with room to spare, so the cut can see whether it splits a character.
    char text[WARN_SIZE * 2];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    copy_cut(g_warnings[g_warn_count], WARN_SIZE, text, std::strlen(text));
    g_warn_count++;
}

void warn_clear(void) { g_warn_count = 0; }

size_t utf8_cut(const char *s, size_t n, size_t limit) {
    if (n <= limit) return n;
    size_t cut = limit;
    // Step back over continuation bytes to the lead byte of the character the limit splits.
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) cut--;
    return cut;
}

size_t copy_cut(char *dst, size_t cap, const char *s, size_t n) {
    const size_t len = utf8_cut(s, n, cap - 1);
    std::memcpy(dst, s, len);
    dst[len] = '\0';
    return len;
}

static char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

static bool same_name(const char *a, size_t alen, const char *b) {
    const size_t blen = std::strlen(b);
    if (alen != blen) return false;
    for (size_t i = 0; i < alen; i++)
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    return true;
}

static int command_by_name(const char *name, size_t len) {
    for (int id = 0; id < OPRC_COMMAND_COUNT; id++)
        if (same_name(name, len, CMD_NAMES[id])) return id;
    return -1;
}

int command_of(const json_val *v) {
    switch (json_get_type(v)) {
    case JSON_UINT: return json_get_uint(v) < OPRC_COMMAND_COUNT ? int(json_get_uint(v)) : -1;
    case JSON_REAL: {
        // Range first: a huge value must not reach the integer conversion.
        const double d = json_get_real(v);
        if (!(d >= 0.0 && d <= OPRC_COMMAND_COUNT - 1)) return -1;
        const int id = int(d);
        return double(id) == d ? id : -1;
    }
    case JSON_STR: return command_by_name(json_get_str(v), json_get_len(v));
    default: return -1;
    }
}

int oprc_command_count(void) { return OPRC_COMMAND_COUNT; }

const char *oprc_command_name(unsigned int id) {
    if (id >= unsigned(OPRC_COMMAND_COUNT)) return nullptr;
    std::snprintf(g_name_buf, sizeof g_name_buf, "%s", CMD_NAMES[id]);
    return g_name_buf;
}

int oprc_command_id(const char *name) { return name ? command_by_name(name, std::strlen(name)) : -1; }

int oprc_command(void) { return g_cmd_id; }

int64_t oprc_contract_level(void) {
    const json_val *v = json_obj_get(g_root, "ContractLevel");
    return json_is_int(v) ? json_get_sint(v) : 0;
}

int oprc_negotiated_level(void) { return g_negotiated_level; }

void oprc_allow_legacy(int flag) { g_allow_legacy = flag; }

const char *oprc_last_error(void) { return g_err; }

int oprc_warning_count(void) { return g_warn_count; }

const char *oprc_warning(int index) { return index >= 0 && index < g_warn_count ? g_warnings[index] : ""; }

void oprc_warnings_clear(void) { warn_clear(); }
