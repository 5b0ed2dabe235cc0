// Subtitles: timed cues from the container's subtitle streams and from
// external subtitle sources, the two subtitle selections, and the delay.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "oppb_internal.h"

// The passes one oppb_next_subtitle call may make over its candidates.
enum { SUBTITLE_PASSES = 8193 };

static bool is_subtitle(const oppb_engine *e, int32_t index) {
    return index >= 0 && index < e->stream_count && e->streams[index].kind == KIND_SUBTITLE;
}

// ---- release ----

static void release_held(oppb_stream *s) {
    if (s->has_held) avsubtitle_free(&s->held);
    s->has_held = 0;
}

static void external_free(oppb_external *x) {
    avformat_close_input(&x->format);
    io_context_free(&x->avio);
    av_packet_free(&x->packet);
    if (x->file) fclose(x->file);
    xfree(x);
}

void subtitle_release(oppb_stream *s) {
    release_held(s);
    xfree(s->cue_buf);
    xfree(s->palette_buf);
    s->cue_buf = s->palette_buf = nullptr;
    s->cue_cap = s->palette_cap = 0;
    if (s->external) external_free(s->external);
    s->external = nullptr;
}

// ---- external sources ----

// The next packet of the chosen stream of an external source: 0, 1 at its end, negative error.
static int external_pull(oppb_engine *e, oppb_stream *s, AVPacket **out) {
    oppb_external *x = s->external;
    if (s->eos) return OPPB_END;
    if (!x->packet && !(x->packet = av_packet_alloc())) return set_oom(e);
    for (int steps = 0; steps < PULL_BUDGET; steps++) {
        av_packet_unref(x->packet);
        if (av_read_frame(x->format, x->packet) < 0) {
            s->eos = 1;
            return OPPB_END;
        }
        if (x->packet->stream_index != x->inner_index) continue;
        AVPacket *pkt = av_packet_alloc();
        if (!pkt) return set_oom(e);
        av_packet_move_ref(pkt, x->packet);
        *out = pkt;
        return OPPB_OK;
    }
    return OPPB_END;
}

void subtitle_seek_external(oppb_engine *e, int64_t target) {
    const int64_t us = target / 10;
    for (int32_t i = 0; i < e->stream_count; i++) {
        oppb_stream *s = &e->streams[i];
        if (!s->external) continue;
        avformat_seek_file(s->external->format, -1, INT64_MIN, us, INT64_MAX, 0);
        s->eos = 0;
    }
}

// ---- cue building ----

// Length of the valid UTF-8 sequence at `p` (at most `n` bytes), 0 when invalid.
static size_t utf8_length(const uint8_t *p, size_t n) {
    const uint8_t c = p[0];
    size_t len;
    uint32_t min;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) len = 2, min = 0x80;
    else if ((c & 0xF0) == 0xE0) len = 3, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, min = 0x10000;
    else return 0;
    if (n < len) return 0;
    uint32_t v = c & (0x3F >> (len - 1));
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = v << 6 | (p[i] & 0x3F);
    }
    return v >= min && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF) ? len : 0;
}

// Cue texts reach text renderers: every byte that is not part of valid UTF-8
// becomes '?', in place.
static void mend_utf8(uint8_t *p, size_t n) {
    for (size_t i = 0; i < n;) {
        const size_t len = utf8_length(p + i, n - i);
        if (len) {
            i += len;
        } else {
            p[i++] = '?';
        }
    }
}

static void mend_text(char *s) {
    if (s) mend_utf8(reinterpret_cast<uint8_t *>(s), strlen(s));
}

// Grows `*buf` to hold `need` bytes: first 256, then doubling.
static bool reserve(uint8_t **buf, size_t *cap, size_t need) {
    if (need <= *cap) return true;
    size_t grown = *cap ? *cap : 256;
    while (grown < need) grown *= 2;
    auto *p = static_cast<uint8_t *>(xrealloc(*buf, grown));
    if (!p) return false;
    *buf = p;
    *cap = grown;
    return true;
}

static int64_t cue_start(const oppb_stream *s, const AVPacket *pkt, const AVSubtitle *sub) {
    const AVRational tb = s->stream->time_base;
    if (pkt->pts != AV_NOPTS_VALUE && tb_valid(tb)) return to_ticks(pkt->pts, tb) - s->start_offset;
    if (sub->pts != AV_NOPTS_VALUE) return us_to_ticks(sub->pts) - s->start_offset;
    return -s->start_offset;
}

static int64_t cue_duration(const oppb_stream *s, const AVPacket *pkt, const AVSubtitle *sub) {
    const AVRational tb = s->stream->time_base;
    const int64_t packet = pkt->duration > 0 && tb_valid(tb) ? to_ticks(pkt->duration, tb) : 0;
    if (packet >= 1) return packet;
    // UINT32_MAX is "until the next display set" (PGS): not a duration.
    if (sub->end_display_time > sub->start_display_time && sub->end_display_time != UINT32_MAX)
        return int64_t(sub->end_display_time - sub->start_display_time) * 10000;
    return packet;
}

static bool fill_text(oppb_stream *s, const AVPacket *pkt, oppb_cue *out) {
    const size_t n = pkt->data ? size_t(pkt->size) : 0;
    if (!reserve(&s->cue_buf, &s->cue_cap, n + 1)) return false;
    if (n) memcpy(s->cue_buf, pkt->data, n);
    s->cue_buf[n] = '\0';
    mend_utf8(s->cue_buf, n);
    out->kind = 1;
    out->data = s->cue_buf;
    out->size = int64_t(n);
    return true;
}

static bool fill_bitmap(oppb_stream *s, const AVSubtitleRect *r, oppb_cue *out) {
    out->kind = 2;
    if (!r || !r->data[0] || r->w <= 0 || r->h <= 0) return true;
    const size_t w = size_t(r->w), h = size_t(r->h);
    const size_t colours = r->nb_colors > 0 && r->data[1] ? size_t(r->nb_colors) : 0;
    if (!reserve(&s->cue_buf, &s->cue_cap, w * h) || !reserve(&s->palette_buf, &s->palette_cap, colours * 4 + 1))
        return false;
    for (size_t y = 0; y < h; y++) memcpy(s->cue_buf + y * w, r->data[0] + y * size_t(r->linesize[0]), w);
    if (colours) memcpy(s->palette_buf, r->data[1], colours * 4);
    out->width = r->w;
    out->height = r->h;
    out->colours = int32_t(colours);
    out->data = s->cue_buf;
    out->size = int64_t(w * h);
    out->palette = s->palette_buf;
    out->palette_size = int64_t(colours * 4);
    return true;
}

// One packet of a subtitle stream into a cue: 0 cue built, 1 none, -5.
static int build_cue(oppb_engine *e, oppb_stream *s, const AVPacket *pkt, oppb_cue *out) {
    if (!s->ctx) return OPPB_END;
    release_held(s);
    int got = 0;
    if (avcodec_decode_subtitle2(s->ctx, &s->held, &got, const_cast<AVPacket *>(pkt)) < 0 || !got) {
        if (got) avsubtitle_free(&s->held);
        return OPPB_END;
    }
    s->has_held = 1;
    const AVSubtitle *sub = &s->held;
    const AVSubtitleRect *first = sub->num_rects ? sub->rects[0] : nullptr;
    out->start = cue_start(s, pkt, sub);
    out->duration = cue_duration(s, pkt, sub);
    const bool filled = s->bitmap_subtitle ? fill_bitmap(s, first, out) : fill_text(s, pkt, out);
    if (!filled) {
        release_held(s);
        return set_oom(e);
    }
    if (first) {
        mend_text(first->text);
        mend_text(first->ass);
        out->text = first->text;
        out->ass = first->ass;
    }
    out->stream = s->index;
    if (e->time.subtitle_delay) {
        out->start += e->time.subtitle_delay;
        if (out->start < 0) out->start = 0;
    }
    if (e->cfg.minimum_duration_ticks > out->duration) out->duration = e->cfg.minimum_duration_ticks;
    return OPPB_OK;
}

// ---- adding external sources ----

// Reads through the file an external subtitle path names.
static int file_read(void *opaque, uint8_t *buffer, int size) {
    return int(fread(buffer, 1, size_t(size), static_cast<FILE *>(opaque)));
}

static int64_t file_seek(void *opaque, int64_t offset, int whence) {
    FILE *f = static_cast<FILE *>(opaque);
    const int from = whence == 2 ? SEEK_END : whence == 1 ? SEEK_CUR : SEEK_SET;
    if (fseeko(f, off_t(offset), from) != 0) return -1;
    return int64_t(ftello(f));
}

static int64_t file_size(void *opaque) {
    FILE *f = static_cast<FILE *>(opaque);
    const off_t at = ftello(f);
    if (at < 0 || fseeko(f, 0, SEEK_END) != 0) return -1;
    const off_t end = ftello(f);
    fseeko(f, at, SEEK_SET);
    return int64_t(end);
}

static int external_fail(oppb_engine *e, int code, const char *text) {
    set_err(e, code, "%s", text);
    return code;
}

// Opens the external demuxer and finds its subtitle stream: 0 or -2/-5.
static int external_open(oppb_engine *e, oppb_external *x, const char *name) {
    char url[URL_MAX + 1];
    snprintf(url, sizeof url, "%s", name && *name ? name : "oppb://subtitle");
    x->avio = subtitle_io_context(x, e->cfg.file_stream_read_size);
    x->format = avformat_alloc_context();
    if (!x->avio || !x->format) return set_oom(e);
    use_caller_io(x->format, x->avio);
    if (avformat_open_input(&x->format, url, nullptr, nullptr) < 0)
        return external_fail(e, OPPB_ERR_CONTAINER, "external subtitle: open failed");
    if (avformat_find_stream_info(x->format, nullptr) < 0)
        return external_fail(e, OPPB_ERR_CONTAINER, "external subtitle: probe failed");
    if (x->bytes_read > EXTERNAL_MAX_BYTES)
        return external_fail(e, OPPB_ERR_CONTAINER, "external subtitle: source too large");
    x->inner_index = -1;
    for (unsigned i = 0; i < x->format->nb_streams && x->inner_index < 0; i++)
        if (x->format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) x->inner_index = int32_t(i);
    if (x->inner_index < 0) return external_fail(e, OPPB_ERR_CONTAINER, "no subtitle stream");
    for (unsigned i = 0; i < x->format->nb_streams; i++)
        x->format->streams[i]->discard = int32_t(i) == x->inner_index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream *st = x->format->streams[x->inner_index];
    if ((x->language[0] && av_dict_set(&st->metadata, "language", x->language, 0) < 0) ||
        av_dict_set(&st->metadata, "title", name && *name ? name : "external", 0) < 0)
        return set_oom(e);
    return OPPB_OK;
}

static int32_t add_external(oppb_engine *e, const oppb_io *io, const char *name, const char *language, FILE *file) {
    if (e->stream_count >= MAX_STREAMS) {
        if (file) fclose(file);
        return OPPB_ERR_NOMEM;
    }
    auto *x = static_cast<oppb_external *>(xcalloc(1, sizeof(oppb_external)));
    if (!x) {
        if (file) fclose(file);
        return set_oom(e);
    }
    x->io = *io;
    x->file = file;
    snprintf(x->language, sizeof x->language, "%s", language ? language : "");
    if (const int r = external_open(e, x, name); r < 0) {
        external_free(x);
        return r;
    }
    auto *grown = static_cast<oppb_stream *>(xrealloc(e->streams, sizeof(oppb_stream) * size_t(e->stream_count + 1)));
    if (!grown) {
        external_free(x);
        return set_oom(e);
    }
    e->streams = grown;
    oppb_stream *s = &e->streams[e->stream_count];
    memset(s, 0, sizeof *s);
    s->external = x;
    s->stream = x->format->streams[x->inner_index];
    s->index = e->stream_count;
    s->kind = KIND_SUBTITLE;
    s->selected = 1;
    stream_setup(e, s);
    e->stream_count++;
    e->sel.subtitle = s->index;
    return s->index;
}

extern "C" {

int32_t oppb_next_subtitle(oppb_engine *e, int32_t stream, oppb_cue *out) {
    if (!e || !out) return OPPB_ERR_ARG;
    if (e->closed) return OPPB_ERR_CLOSED;
    if (e->deadline.timeout_ms > 0) arm_deadline(e);
    memset(out, 0, sizeof *out);
    int32_t candidates[2];
    int count = 0;
    if (stream >= 0) {
        if (!is_subtitle(e, stream)) return OPPB_ERR_NOT_FOUND;
        candidates[count++] = stream;
    } else {
        for (int32_t c : {e->sel.subtitle, e->sel.subtitle2})
            if (is_subtitle(e, c) && e->streams[c].selected) candidates[count++] = c;
    }
    for (int pass = 0; pass < SUBTITLE_PASSES; pass++) {
        bool progress = false, container_open = false;
        for (int i = 0; i < count; i++) {
            oppb_stream *s = &e->streams[candidates[i]];
            AVPacket *pkt = nullptr;
            const int r = s->external ? external_pull(e, s, &pkt) : packet_pull(e, s, &pkt);
            if (r < 0) return r;
            if (!s->external && !s->eos) container_open = true;
            if (r != OPPB_OK) continue;
            e->time.moved = 1;
            const int built = build_cue(e, s, pkt, out);
            av_packet_free(&pkt);
            if (built != OPPB_END) return built;
            progress = true;
        }
        if (progress) continue;
        // Every candidate at its end (or none at all): nothing more. Only a
        // container candidate still open is worth demuxing for.
        if (!container_open) return OPPB_END;
        if (const int r = demux_step(e); r < 0) return r;
    }
    return OPPB_END;
}

int32_t oppb_set_subtitle_index(oppb_engine *e, int32_t which, int32_t stream) {
    if (!e) return OPPB_ERR_ARG;
    if (stream >= 0) {
        if (!is_subtitle(e, stream)) return OPPB_ERR_NOT_FOUND;
        e->streams[stream].selected = 1;
        e->streams[stream].stream->discard = AVDISCARD_DEFAULT;
    }
    (which ? e->sel.subtitle2 : e->sel.subtitle) = stream;
    return stream;
}

int32_t oppb_set_subtitle_delay(oppb_engine *e, int64_t ticks) {
    if (!e) return OPPB_ERR_ARG;
    e->time.subtitle_delay = ticks;
    return OPPB_OK;
}

int64_t oppb_subtitle_delay(const oppb_engine *e) { return e ? e->time.subtitle_delay : 0; }

int32_t oppb_add_external_subtitle_io(oppb_engine *e, const oppb_io *io, const char *name, const char *language) {
    if (!e || !io || !io->read) return OPPB_ERR_ARG;
    if (e->closed) return OPPB_ERR_CLOSED;
    return add_external(e, io, name, language, nullptr);
}

int32_t oppb_add_external_subtitle(oppb_engine *e, const char *path, const char *language) {
    if (!e || !path) return OPPB_ERR_ARG;
    if (e->closed) return OPPB_ERR_CLOSED;
    FILE *file = fopen(path, "rb");
    if (!file) {
        set_err(e, OPPB_ERR_NOT_FOUND, "cannot open %s", path);
        return OPPB_ERR_NOT_FOUND;
    }
    // The file stays open with the stream: demuxers of subtitle containers
    // (Matroska) read it after the add.
    oppb_io io{};
    io.opaque = file;
    io.read = file_read;
    io.seek = file_seek;
    io.size = file_size;
    return add_external(e, &io, path, language, file);
}

}  // extern "C"
