// Error texts, the deadline clock, tick conversion, locale-independent number
// texts, the result ring, and the configuration record with its document.
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "oppb_internal.h"

struct ErrText {
    int code;
    const char *text;
};

static const ErrText ERR_TEXTS[] = {
    {OPPB_OK, "ok"},
    {OPPB_END, "end of stream"},
    {OPPB_ERR_TRANSPORT, "transport failure"},
    {OPPB_ERR_CONTAINER, "unrecognised or unopenable container"},
    {OPPB_ERR_DECODER, "no usable decoder"},
    {OPPB_ERR_ARG, "invalid argument"},
    {OPPB_ERR_NOMEM, "out of memory"},
    {OPPB_ERR_NOT_FOUND, "not found"},
    {OPPB_ERR_SEEK, "seek failed"},
    {OPPB_ERR_STATE, "invalid state"},
    {OPPB_ERR_UNSUPPORTED, "unsupported"},
    {OPPB_ERR_CLOSED, "engine closed"},
    {OPPB_ERR_IO, "io callback error"},
};

const char *err_text(int code) {
    for (const ErrText &t : ERR_TEXTS)
        if (t.code == code) return t.text;
    return "unknown error";
}

void set_err(oppb_engine *e, int code, const char *fmt, ...) {
    e->err.code = code;
    if (!fmt) {
        snprintf(e->err.text, sizeof e->err.text, "%s", err_text(code));
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(e->err.text, sizeof e->err.text, fmt, ap);
    va_end(ap);
}

int set_oom(oppb_engine *e) {
    set_err(e, OPPB_ERR_NOMEM, nullptr);
    return OPPB_ERR_NOMEM;
}

// ---- time ----

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool deadline_expired(const oppb_engine *e) { return e->deadline.timeout_ms > 0 && now_ms() - e->deadline.start > e->deadline.timeout_ms; }

void arm_deadline(oppb_engine *e) { e->deadline.start = now_ms(); }

bool tb_valid(AVRational tb) { return tb.num > 0 && tb.den > 0; }

int64_t to_ticks(int64_t t, AVRational tb) {
    if (!tb_valid(tb)) return 0;
    return int64_t(double(t) * (double(tb.num) / double(tb.den)) * 1e7);
}

int64_t us_to_ticks(int64_t us) { return int64_t(double(us) * 1e7 / 1e6); }

// ---- texts and numbers ----

void put_str(json_buf *b, const char *s) {
    json_buf_str(b, s, s ? strlen(s) : 0, JSON_ESC_HEX_LOWER | JSON_ESC_ALL_HEX);
}

size_t fmt_fixed(char *out, size_t cap, double v, int decimals) {
    if (!std::isfinite(v)) v = 0;
    const auto res = std::to_chars(out, out + cap - 1, v, std::chars_format::fixed, decimals);
    const size_t n = res.ec == std::errc() ? size_t(res.ptr - out) : 0;
    out[n] = '\0';
    return n;
}

void put_fixed(json_buf *b, double v, int decimals) {
    char text[400];  // room for the largest double in fixed notation
    json_buf_raw(b, text, fmt_fixed(text, sizeof text, v, decimals));
}

void put_int(json_buf *b, int64_t v) { json_buf_sint(b, v); }

char *ring_slot(oppb_engine *e) { return e->text.ring[e->text.ring_next++ % RING_SLOTS]; }

const char *ring_int(oppb_engine *e, int64_t v) {
    char *slot = ring_slot(e);
    *std::to_chars(slot, slot + RING_SLOT_SIZE - 1, v).ptr = '\0';
    return slot;
}

const char *ring_ratio(oppb_engine *e, int num, int den) {
    char *slot = ring_slot(e);
    snprintf(slot, RING_SLOT_SIZE, "%d:%d", num, den);
    return slot;
}

json_buf *text_begin(oppb_engine *e) {
    e->text.doc.len = 0;
    e->text.doc.failed = false;
    if (e->text.doc.data) e->text.doc.data[0] = '\0';
    return &e->text.doc;
}

// ---- configuration ----

void cfg_defaults(oppb_cfg *c) {
    memset(c, 0, sizeof *c);
    c->system_decoder_h264_max_profile = 100;
    c->system_decoder_h264_max_level = 41;
    c->system_decoder_hevc_max_profile = 2;
    c->system_decoder_hevc_max_level = -1;
    c->output_allow_nv12 = 1;
    c->output_allow_10bit = 1;
    snprintf(c->video_default_stream_name, sizeof c->video_default_stream_name, "Video Stream");
    c->audio_max_decoder_threads = 2;
    snprintf(c->audio_default_stream_name, sizeof c->audio_default_stream_name, "Audio Stream");
    c->auto_select_forced = 1;
    c->use_embedded_fonts = 1;
    c->prevent_modified_duration_overlap = 1;
    c->modified_duration_gap_ms = 120;
    c->max_font_cache_size = 16;
    c->auto_extend_duration = 1;
    c->skip_errors = 50;
    c->max_supported_playback_rate = 4.0;
    c->file_stream_read_size = 16384;
    c->read_ahead_buffer_size = 104857600;
    c->fast_seek = 1;
    c->fast_seek_clean_audio = 1;
    c->fast_seek_smart_stream_switching = 1;
    c->keep_metadata_on_media_source_closed = 1;
    c->keep_open = 1;
    c->queue_max_packets = 12;
    c->queue_max_frames = 8;
}

// Integers: a JSON integer is taken (int32 keeps the low 32 bits), a real gives 0.
static void get_i64(json_val *g, const char *key, int64_t *v) {
    json_val *x = json_obj_get(g, key);
    if (json_is_int(x)) *v = json_get_sint(x);
    else if (json_get_type(x) == JSON_REAL) *v = 0;
}

static void get_i32(json_val *g, const char *key, int32_t *v) {
    int64_t wide = *v;
    get_i64(g, key, &wide);
    *v = int32_t(uint32_t(uint64_t(wide)));
}

static void get_bool(json_val *g, const char *key, int32_t *v) {
    json_val *x = json_obj_get(g, key);
    if (json_is_bool(x)) *v = json_get_type(x) == JSON_TRUE;
}

// Reals: a JSON real is taken, an integer gives 0.0.
static void get_real(json_val *g, const char *key, double *v) {
    json_val *x = json_obj_get(g, key);
    if (json_get_type(x) == JSON_REAL) *v = json_get_real(x);
    else if (json_is_int(x)) *v = 0.0;
}

static bool get_text(json_val *g, const char *key, char *dst, size_t cap) {
    json_val *x = json_obj_get(g, key);
    if (!json_is_str(x)) return false;
    size_t n = json_get_len(x);
    if (n > cap - 1) n = cap - 1;
    memcpy(dst, json_get_str(x), n);
    dst[n] = '\0';
    return true;
}

// Filter texts are cleared when the group is present without them.
static void get_filter(json_val *g, const char *key, char *dst, size_t cap) {
    if (!get_text(g, key, dst, cap)) dst[0] = '\0';
}

struct NamedValue {
    const char *name;
    int32_t value;
};

static const NamedValue DECODER_MODES[] = {{"hardware", 1}, {"hw", 1}, {"software", 2}, {"sw", 2},
                                           {"disabled", 3}, {"off", 3}, {"auto", 0}};

static void get_decoder_mode(json_val *g, int32_t *v) {
    json_val *x = json_obj_get(g, "decoder_mode");
    if (!json_is_str(x)) {
        get_i32(g, "decoder_mode", v);
        return;
    }
    for (const NamedValue &m : DECODER_MODES)
        if (strcmp(json_get_str(x), m.name) == 0) *v = m.value;
}

static void get_hdr_support(json_val *g, int32_t *v) {
    get_i32(g, "hdr_support", v);
    json_val *x = json_obj_get(g, "hdr_support");
    if (!json_is_str(x)) return;
    const char *s = json_get_str(x);
    *v = strcmp(s, "always") == 0 ? 1 : strcmp(s, "none") == 0 ? 2 : 0;
}

static void parse_video(json_val *g, oppb_cfg *c) {
    get_decoder_mode(g, &c->decoder_mode);
    get_hdr_support(g, &c->hdr_support);
    get_i32(g, "system_decoder_h264_max_profile", &c->system_decoder_h264_max_profile);
    get_i32(g, "system_decoder_h264_max_level", &c->system_decoder_h264_max_level);
    get_i32(g, "system_decoder_hevc_max_profile", &c->system_decoder_hevc_max_profile);
    get_i32(g, "system_decoder_hevc_max_level", &c->system_decoder_hevc_max_level);
    get_bool(g, "output_allow_nv12", &c->output_allow_nv12);
    get_bool(g, "output_allow_iyuv", &c->output_allow_iyuv);
    get_bool(g, "output_allow_10bit", &c->output_allow_10bit);
    get_bool(g, "output_allow_bgra8", &c->output_allow_bgra8);
    get_i32(g, "max_decoder_threads", &c->video_max_decoder_threads);
    get_text(g, "default_stream_name", c->video_default_stream_name, sizeof c->video_default_stream_name);
    get_filter(g, "ffmpeg_video_filters", c->ffmpeg_video_filters, sizeof c->ffmpeg_video_filters);
    get_real(g, "frames_per_second_override", &c->frames_per_second_override);
    get_text(g, "hardware_device", c->hardware_device, sizeof c->hardware_device);
}

static void parse_audio(json_val *g, oppb_cfg *c) {
    get_bool(g, "system_decoder_mp3", &c->system_decoder_mp3);
    get_bool(g, "system_decoder_aac", &c->system_decoder_aac);
    get_i32(g, "max_decoder_threads", &c->audio_max_decoder_threads);
    get_text(g, "default_stream_name", c->audio_default_stream_name, sizeof c->audio_default_stream_name);
    get_filter(g, "ffmpeg_audio_filters", c->ffmpeg_audio_filters, sizeof c->ffmpeg_audio_filters);
    get_bool(g, "downmix_to_stereo", &c->downmix_to_stereo);
}

static void parse_subtitles(json_val *g, oppb_cfg *c) {
    get_bool(g, "auto_select_forced", &c->auto_select_forced);
    get_bool(g, "override_styles", &c->override_styles);
    get_bool(g, "use_embedded_fonts", &c->use_embedded_fonts);
    get_bool(g, "prevent_modified_duration_overlap", &c->prevent_modified_duration_overlap);
    get_i32(g, "modified_duration_gap_ms", &c->modified_duration_gap_ms);
    get_i64(g, "default_delay_ticks", &c->default_delay_ticks);
    get_i64(g, "minimum_duration_ticks", &c->minimum_duration_ticks);
    get_i32(g, "max_font_cache_size", &c->max_font_cache_size);
}

static void parse_general(json_val *g, oppb_cfg *c) {
    get_bool(g, "auto_extend_duration", &c->auto_extend_duration);
    get_i32(g, "skip_errors", &c->skip_errors);
    get_real(g, "max_supported_playback_rate", &c->max_supported_playback_rate);
    get_i32(g, "file_stream_read_size", &c->file_stream_read_size);
    get_bool(g, "read_ahead_buffer_enabled", &c->read_ahead_buffer_enabled);
    get_i64(g, "read_ahead_buffer_size", &c->read_ahead_buffer_size);
    get_bool(g, "fast_seek", &c->fast_seek);
    get_bool(g, "fast_seek_clean_audio", &c->fast_seek_clean_audio);
    get_bool(g, "fast_seek_smart_stream_switching", &c->fast_seek_smart_stream_switching);
    get_bool(g, "keep_metadata_on_media_source_closed", &c->keep_metadata_on_media_source_closed);
    get_bool(g, "keep_open", &c->keep_open);
    get_i32(g, "queue_max_packets", &c->queue_max_packets);
    get_i32(g, "queue_max_frames", &c->queue_max_frames);
    get_i64(g, "open_timeout_ms", &c->open_timeout_ms);
}

struct CfgGroup {
    const char *name;
    void (*parse)(json_val *group, oppb_cfg *c);
};

static const CfgGroup CFG_GROUPS[] = {
    {"video", parse_video}, {"audio", parse_audio}, {"subtitles", parse_subtitles}, {"general", parse_general}};

int cfg_parse(oppb_cfg *c, const char *text) {
    if (!text || !*text) return OPPB_OK;
    json_err err{};
    json_doc *doc = json_read(text, strlen(text), 0, &XALC, &err);
    if (!doc && err.code == JSON_ERR_MEMORY) return OPPB_ERR_NOMEM;
    json_val *root = json_doc_root(doc);
    if (!json_is_obj(root)) {
        json_doc_free(doc);
        return OPPB_ERR_ARG;
    }
    for (const CfgGroup &g : CFG_GROUPS) {
        json_val *group = json_obj_get(root, g.name);
        if (json_is_obj(group)) g.parse(group, c);
    }
    json_doc_free(doc);
    if (c->file_stream_read_size < 1024) c->file_stream_read_size = 1024;
    if (c->queue_max_packets < 1) c->queue_max_packets = 1;
    if (c->queue_max_frames < 1) c->queue_max_frames = 1;
    return OPPB_OK;
}

// Writers of one `,"key":value` member.
static void key(json_buf *b, const char *name) {
    json_buf_char(b, ',');
    put_str(b, name);
    json_buf_char(b, ':');
}
static void w_int(json_buf *b, const char *name, int64_t v) {
    key(b, name);
    put_int(b, v);
}
static void w_bool(json_buf *b, const char *name, int32_t v) {
    key(b, name);
    json_buf_cstr(b, v ? "true" : "false");
}
static void w_text(json_buf *b, const char *name, const char *v) {
    key(b, name);
    put_str(b, v);
}
static void w_fixed(json_buf *b, const char *name, double v, int decimals) {
    key(b, name);
    put_fixed(b, v, decimals);
}

void cfg_write(json_buf *b, const oppb_cfg *c) {
    json_buf_cstr(b, "{\"video\":{\"decoder_mode\":");
    put_int(b, c->decoder_mode);
    w_int(b, "hdr_support", c->hdr_support);
    w_int(b, "system_decoder_h264_max_profile", c->system_decoder_h264_max_profile);
    w_int(b, "system_decoder_h264_max_level", c->system_decoder_h264_max_level);
    w_int(b, "system_decoder_hevc_max_profile", c->system_decoder_hevc_max_profile);
    w_int(b, "system_decoder_hevc_max_level", c->system_decoder_hevc_max_level);
    w_bool(b, "output_allow_nv12", c->output_allow_nv12);
    w_bool(b, "output_allow_iyuv", c->output_allow_iyuv);
    w_bool(b, "output_allow_10bit", c->output_allow_10bit);
    w_bool(b, "output_allow_bgra8", c->output_allow_bgra8);
    w_int(b, "max_decoder_threads", c->video_max_decoder_threads);
    w_text(b, "default_stream_name", c->video_default_stream_name);
    w_text(b, "ffmpeg_video_filters", c->ffmpeg_video_filters);
    w_fixed(b, "frames_per_second_override", c->frames_per_second_override, 6);
    json_buf_cstr(b, "},\"audio\":{\"system_decoder_mp3\":");
    json_buf_cstr(b, c->system_decoder_mp3 ? "true" : "false");
    w_bool(b, "system_decoder_aac", c->system_decoder_aac);
    w_int(b, "max_decoder_threads", c->audio_max_decoder_threads);
    w_text(b, "default_stream_name", c->audio_default_stream_name);
    w_text(b, "ffmpeg_audio_filters", c->ffmpeg_audio_filters);
    w_bool(b, "downmix_to_stereo", c->downmix_to_stereo);
    json_buf_cstr(b, "},\"subtitles\":{\"auto_select_forced\":");
    json_buf_cstr(b, c->auto_select_forced ? "true" : "false");
    w_bool(b, "override_styles", c->override_styles);
    w_bool(b, "use_embedded_fonts", c->use_embedded_fonts);
    w_bool(b, "prevent_modified_duration_overlap", c->prevent_modified_duration_overlap);
    w_int(b, "modified_duration_gap_ms", c->modified_duration_gap_ms);
    w_int(b, "default_delay_ticks", c->default_delay_ticks);
    w_int(b, "minimum_duration_ticks", c->minimum_duration_ticks);
    w_int(b, "max_font_cache_size", c->max_font_cache_size);
    json_buf_cstr(b, "},\"general\":{\"auto_extend_duration\":");
    json_buf_cstr(b, c->auto_extend_duration ? "true" : "false");
    w_int(b, "skip_errors", c->skip_errors);
    w_fixed(b, "max_supported_playback_rate", c->max_supported_playback_rate, 3);
    w_int(b, "file_stream_read_size", c->file_stream_read_size);
    w_bool(b, "read_ahead_buffer_enabled", c->read_ahead_buffer_enabled);
    w_int(b, "read_ahead_buffer_size", c->read_ahead_buffer_size);
    w_bool(b, "fast_seek", c->fast_seek);
    w_bool(b, "fast_seek_clean_audio", c->fast_seek_clean_audio);
    w_bool(b, "fast_seek_smart_stream_switching", c->fast_seek_smart_stream_switching);
    w_bool(b, "keep_metadata_on_media_source_closed", c->keep_metadata_on_media_source_closed);
    w_bool(b, "keep_open", c->keep_open);
    w_int(b, "queue_max_packets", c->queue_max_packets);
    w_int(b, "queue_max_frames", c->queue_max_frames);
    w_int(b, "open_timeout_ms", c->open_timeout_ms);
    json_buf_cstr(b, "}}");
}
