// The exports of the engine instance, configuration, stream selection and
// sample delivery. The other exports live beside their work: media
// information in oppb_info, seeking in oppb_seek, subtitles in oppb_subtitle.
#include <cstring>

#include "oppb_internal.h"

static const char VERSION[] = "1.0.0";
static const char EMPTY[] = "";

static int32_t *selection_of(oppb_engine *e, const char *kind) {
    if (!kind) return nullptr;
    if (strcmp(kind, "video") == 0) return &e->sel.video;
    if (strcmp(kind, "audio") == 0) return &e->sel.audio;
    if (strcmp(kind, "subtitle") == 0) return &e->sel.subtitle;
    return nullptr;
}

extern "C" {

const char *oppb_version(void) { return VERSION; }

oppb_engine *oppb_open_path(const char *path, const char *config) { return open_common(path, nullptr, nullptr, config); }

oppb_engine *oppb_open_io(const oppb_io *io, const char *config) {
    return io ? open_common(nullptr, io, nullptr, config) : nullptr;
}

oppb_engine *oppb_open_io_named(const oppb_io *io, const char *name, const char *config) {
    return io ? open_common(nullptr, io, name, config) : nullptr;
}

void oppb_close(oppb_engine *e) {
    if (!e || e->closed) return;
    e->closed = 1;
    release_media(e);
}

int32_t oppb_is_closed(const oppb_engine *e) { return e ? e->closed : 1; }
int64_t oppb_source_epoch(const oppb_engine *e) { return e ? e->epoch : 0; }
const char *oppb_last_error(const oppb_engine *e) { return e ? e->err.text : "no engine"; }
int32_t oppb_last_error_code(const oppb_engine *e) { return e ? e->err.code : OPPB_ERR_ARG; }

int32_t oppb_set_timeout_ms(oppb_engine *e, int64_t ms) {
    if (!e) return OPPB_ERR_ARG;
    e->deadline.timeout_ms = ms < 0 ? 0 : ms;
    arm_deadline(e);
    return OPPB_OK;
}

int32_t oppb_set_open_timeout_ms(oppb_engine *e, int64_t ms) { return oppb_set_timeout_ms(e, ms); }
int64_t oppb_timeout_ms(const oppb_engine *e) { return e ? e->deadline.timeout_ms : 0; }
int64_t oppb_open_timeout_ms(const oppb_engine *e) { return oppb_timeout_ms(e); }

// ---- configuration ----

int32_t oppb_set_config(oppb_engine *e, const char *json) {
    if (!e) return OPPB_ERR_ARG;
    oppb_cfg copy = e->cfg;
    const int r = cfg_parse(&copy, json);
    if (r == OPPB_ERR_NOMEM) return set_oom(e);
    if (r < 0) {
        set_err(e, OPPB_ERR_ARG, "bad config json");
        return OPPB_ERR_ARG;
    }
    e->cfg = copy;
    return OPPB_OK;
}

const char *oppb_get_config(oppb_engine *e) {
    if (!e) return EMPTY;
    json_buf *b = text_begin(e);
    cfg_write(b, &e->cfg);
    return b->failed || !b->data ? EMPTY : b->data;
}

// ---- stream selection ----

int32_t oppb_select_stream(oppb_engine *e, const char *kind, int32_t index) {
    int32_t *selection = e ? selection_of(e, kind) : nullptr;
    if (!selection) return OPPB_ERR_ARG;
    if (index >= 0) {
        if (index >= e->stream_count || e->streams[index].kind != kind_filter(kind)) return OPPB_ERR_NOT_FOUND;
        e->streams[index].selected = 1;
        e->streams[index].stream->discard = AVDISCARD_DEFAULT;
    }
    *selection = index;
    return index;
}

int32_t oppb_stream_selected(const oppb_engine *e, const char *kind) {
    const int32_t *selection = e ? selection_of(const_cast<oppb_engine *>(e), kind) : nullptr;
    return selection ? *selection : OPPB_ERR_ARG;
}

// ---- sample delivery ----

int32_t oppb_next_sample(oppb_engine *e, int32_t stream, oppb_sample *out) {
    if (!e || !out) return OPPB_ERR_ARG;
    if (e->deadline.timeout_ms > 0) arm_deadline(e);
    if (e->closed) return OPPB_ERR_CLOSED;
    if (stream < 0 || stream >= e->stream_count) {
        set_err(e, OPPB_ERR_NOT_FOUND, "stream %d", stream);
        return OPPB_ERR_NOT_FOUND;
    }
    memset(out, 0, sizeof *out);
    oppb_stream *s = &e->streams[stream];
    if (!s->selected) {
        set_err(e, OPPB_ERR_STATE, "stream %d not selected", stream);
        return OPPB_ERR_STATE;
    }
    if (s->kind == KIND_SUBTITLE) return OPPB_ERR_UNSUPPORTED;
    e->time.moved = 1;
    return s->sample_mode == MODE_DECODED ? deliver_frame(e, s, out) : deliver_packet(e, s, out);
}

int32_t oppb_sample_mode(oppb_engine *e, int32_t stream, int32_t mode) {
    if (!e) return OPPB_ERR_ARG;
    if (stream < 0 || stream >= e->stream_count) return OPPB_ERR_NOT_FOUND;
    if (mode != MODE_COMPRESSED && mode != MODE_DECODED) return OPPB_ERR_ARG;
    oppb_stream *s = &e->streams[stream];
    if (s->kind == KIND_SUBTITLE) return OPPB_ERR_UNSUPPORTED;
    s->sample_mode = mode;
    stream_flush(s);
    return OPPB_OK;
}

int32_t oppb_sample_mode_get(const oppb_engine *e, int32_t stream) {
    if (!e || stream < 0 || stream >= e->stream_count) return OPPB_ERR_ARG;
    return e->streams[stream].sample_mode;
}

int32_t oppb_flush(oppb_engine *e, int32_t stream) {
    if (!e) return OPPB_ERR_ARG;
    if (stream >= e->stream_count) return OPPB_ERR_NOT_FOUND;
    for (int32_t i = 0; i < e->stream_count; i++)
        if (stream < 0 || i == stream) stream_flush(&e->streams[i]);
    return OPPB_OK;
}

int32_t oppb_is_eof(const oppb_engine *e) { return e ? e->end_of_input : 1; }

int32_t oppb_buffer_status(const oppb_engine *e, int32_t stream, int32_t *out) {
    if (!e || !out || stream < 0 || stream >= e->stream_count) return OPPB_ERR_ARG;
    out[0] = e->streams[stream].packets.count;
    out[1] = e->streams[stream].frames.count;
    return OPPB_OK;
}

// Probing again on the open context crashes this FFmpeg at the end of input,
// so a short-lived second reader measures the source instead; the open
// reader carries on from where it stopped.
int32_t oppb_auto_extend(oppb_engine *e) {
    if (!e || !e->format) return OPPB_ERR_ARG;
    if (e->deadline.timeout_ms > 0) arm_deadline(e);
    if (!e->end_of_input || !e->cfg.auto_extend_duration) return 0;
    const int64_t duration = probe_duration(e);
    if (duration <= e->time.duration) return 0;
    e->time.duration = duration;
    e->end_of_input = 0;
    for (int32_t i = 0; i < e->stream_count; i++) {
        oppb_stream *s = &e->streams[i];
        s->eos = 0;
        if (s->draining) {
            avcodec_flush_buffers(s->ctx);
            s->draining = 0;
        }
    }
    if (e->format->pb) e->format->pb->eof_reached = 0;
    return 1;
}

int32_t oppb_set_fps_override(oppb_engine *e, int32_t stream, double fps) {
    if (!e) return OPPB_ERR_ARG;
    if (stream < 0 || stream >= e->stream_count) return OPPB_ERR_NOT_FOUND;
    e->streams[stream].fps_override_set = 1;
    e->streams[stream].fps_override = fps;
    return OPPB_OK;
}

int64_t oppb_position_ticks(const oppb_engine *e) { return e ? e->time.position : 0; }

}  // extern "C"
