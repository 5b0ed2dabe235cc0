// Media information: stream counts and fields, chapters, attachments, and
// the information document.
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "oppb_internal.h"

static const char EMPTY[] = "";

static const char *const KIND_NAMES[] = {"other", "video", "audio", "subtitle", "attachment"};

// The kind a filter text selects: 0 for every stream, -1 for an unknown filter.
int kind_filter(const char *kind) {
    if (!kind || strcmp(kind, "all") == 0) return 0;
    for (int k = KIND_VIDEO; k <= KIND_SUBTITLE; k++)
        if (strcmp(kind, KIND_NAMES[k]) == 0) return k;
    return -1;
}

static oppb_stream *nth_stream(const oppb_engine *e, int filter, int32_t n) {
    if (filter < 0 || n < 0) return nullptr;
    for (int32_t i = 0; i < e->stream_count; i++)
        if ((!filter || e->streams[i].kind == filter) && n-- == 0) return &e->streams[i];
    return nullptr;
}

static const char *decoder_label(const oppb_stream *s) {
    if (s->decode_path == PATH_D3D11) return "ffmpeg_d3d11";
    if (s->decode_path == PATH_NO_DECODER) return "disabled";
    if (s->decode_path == PATH_HWDEVICE) return "ffmpeg_hwdevice";
    return "ffmpeg_software";
}

static const char *hw_label(const oppb_stream *s) {
    return s->hw_state == HW_ACTIVE ? "ok" : s->hw_state == HW_UNAVAILABLE ? "not_available" : "unknown";
}

static const char *hdr_format(const AVCodecParameters *par) {
    if (!par) return "sdr";
    if (par->color_trc == AVCOL_TRC_SMPTE2084 || par->color_trc == AVCOL_TRC_SMPTE428) return "hdr10";
    if (par->color_trc == AVCOL_TRC_ARIB_STD_B67) return "hlg";
    return par->color_primaries == AVCOL_PRI_BT2020 ? "hdr10" : "sdr";
}

static double fps_of(const oppb_stream *s) {
    if (s->fps_override_set) return s->fps_override;
    const AVRational avg = s->stream->avg_frame_rate;
    return av_q2d(avg.num ? avg : s->stream->r_frame_rate);
}

static const char *codec_name(const AVCodecParameters *par) {
    const AVCodecDescriptor *d = avcodec_descriptor_get(par->codec_id);
    return d ? d->name : "unknown";
}

static const char *or_empty(const char *s) { return s ? s : EMPTY; }

static int one_if_zero(int v) { return v ? v : 1; }

static AVRational guessed_sar(const oppb_engine *e, const oppb_stream *s) {
    return av_guess_sample_aspect_ratio(e->format, s->stream, nullptr);
}

static void layout_text(const AVCodecParameters *par, char *out, size_t cap) {
    if (av_channel_layout_describe(&par->ch_layout, out, cap) < 0) out[0] = '\0';
}

static const char *disposition_label(int disposition) {
    if (disposition & AV_DISPOSITION_FORCED) return "forced";
    if (disposition & AV_DISPOSITION_DEFAULT) return "default";
    if (disposition & AV_DISPOSITION_COMMENT) return "comment";
    return EMPTY;
}

static const char *truth(bool v) { return v ? "true" : "false"; }

// The stream field `f`, or NULL for an unknown field or one of another kind.
static const char *stream_field(oppb_engine *e, const oppb_stream *s, const char *f) {
    const AVStream *st = s->stream;
    const AVCodecParameters *par = st->codecpar;
    const bool video = s->kind == KIND_VIDEO, audio = s->kind == KIND_AUDIO;
    auto is = [f](const char *name) { return strcmp(f, name) == 0; };
    if (is("codec")) return codec_name(par);
    if (is("kind")) return KIND_NAMES[s->kind];
    if (is("decoder")) return decoder_label(s);
    if (is("hdr_format") || is("hdr")) return hdr_format(par);
    if (is("pix_fmt") && video) return or_empty(av_get_pix_fmt_name(AVPixelFormat(par->format)));
    if (is("color_primaries")) return or_empty(av_color_primaries_name(par->color_primaries));
    if (is("color_trc")) return or_empty(av_color_transfer_name(par->color_trc));
    if (is("color_space")) return or_empty(av_color_space_name(par->color_space));
    if (is("color_range")) return or_empty(av_color_range_name(par->color_range));
    if (is("hw_accel")) return hw_label(s);
    if (is("language") || is("title")) return or_empty(meta(st->metadata, f));
    if (is("channel_layout") && audio) {
        char *slot = ring_slot(e);
        layout_text(par, slot, 128);
        return slot;
    }
    if (is("sar") && video)
        return ring_ratio(e, one_if_zero(par->sample_aspect_ratio.num), one_if_zero(par->sample_aspect_ratio.den));
    if (is("dar") && video) {
        const AVRational r = guessed_sar(e, s);
        return ring_ratio(e, one_if_zero(r.num), one_if_zero(r.den));
    }
    if (is("fps") && video) {
        char *slot = ring_slot(e);
        fmt_fixed(slot, RING_SLOT_SIZE, fps_of(s), 6);
        return slot;
    }
    if (is("image_type")) return s->bitmap_subtitle ? "bitmap" : EMPTY;
    if (is("is_external")) return "false";
    if (is("disposition")) {
        char *slot = ring_slot(e);
        snprintf(slot, RING_SLOT_SIZE, "%d/%s", st->disposition, disposition_label(st->disposition));
        return slot;
    }
    if (is("is_default")) return truth(st->disposition & AV_DISPOSITION_DEFAULT);
    if (is("is_forced")) return truth(st->disposition & AV_DISPOSITION_FORCED);
    if (is("index") || is("stream_index")) return ring_int(e, s->index);
    if ((is("width") || is("height")) && video) return ring_int(e, is("width") ? par->width : par->height);
    if (is("bitrate")) return ring_int(e, par->bit_rate);
    if (is("channels") && audio) return ring_int(e, par->ch_layout.nb_channels);
    if (is("sample_rate") && audio) return ring_int(e, par->sample_rate);
    if ((is("bits_per_sample") && audio) || (is("bits_per_raw_sample") && video))
        return ring_int(e, par->bits_per_raw_sample);
    if (is("profile")) return ring_int(e, par->profile);
    if (is("level")) return ring_int(e, par->level);
    return nullptr;
}

// ---- information document ----

static void put_ratio(json_buf *b, int num, int den) {
    char text[32];
    snprintf(text, sizeof text, "\"%d:%d\"", num, den);
    json_buf_cstr(b, text);
}

static void put_stream(const oppb_engine *e, json_buf *b, const oppb_stream *s) {
    const AVStream *st = s->stream;
    const AVCodecParameters *par = st->codecpar;
    json_buf_cstr(b, "{\"index\":");
    put_int(b, s->index);
    json_buf_cstr(b, ",\"codec\":");
    put_str(b, codec_name(par));
    json_buf_cstr(b, ",\"profile\":");
    put_int(b, par->profile);
    json_buf_cstr(b, ",\"level\":");
    put_int(b, par->level);
    if (s->kind == KIND_VIDEO) {
        json_buf_cstr(b, ",\"width\":");
        put_int(b, par->width);
        json_buf_cstr(b, ",\"height\":");
        put_int(b, par->height);
        json_buf_cstr(b, ",\"sar\":");
        const AVRational psar = par->sample_aspect_ratio, ssar = st->sample_aspect_ratio;
        if (psar.num && psar.den) put_ratio(b, psar.num, psar.den);
        else put_ratio(b, one_if_zero(ssar.num), one_if_zero(ssar.den));
        json_buf_cstr(b, ",\"dar\":");
        const AVRational dar = guessed_sar(e, s);
        if (dar.num && dar.den) put_ratio(b, dar.num, dar.den);
        else put_ratio(b, par->width, par->height);
        json_buf_cstr(b, ",\"fps\":");
        put_fixed(b, fps_of(s), 6);
        json_buf_cstr(b, ",\"pix_fmt\":");
        put_str(b, av_get_pix_fmt_name(AVPixelFormat(par->format)));
        json_buf_cstr(b, ",\"bits_per_raw_sample\":");
        put_int(b, par->bits_per_raw_sample);
        json_buf_cstr(b, ",\"color_primaries\":");
        put_str(b, av_color_primaries_name(par->color_primaries));
        json_buf_cstr(b, ",\"color_trc\":");
        put_str(b, av_color_transfer_name(par->color_trc));
        json_buf_cstr(b, ",\"color_space\":");
        put_str(b, av_color_space_name(par->color_space));
        json_buf_cstr(b, ",\"color_range\":");
        put_str(b, av_color_range_name(par->color_range));
        json_buf_cstr(b, ",\"hdr_format\":");
        put_str(b, hdr_format(par));
    } else if (s->kind == KIND_AUDIO) {
        char layout[128];
        layout_text(par, layout, sizeof layout);
        json_buf_cstr(b, ",\"channels\":");
        put_int(b, par->ch_layout.nb_channels);
        json_buf_cstr(b, ",\"channel_layout\":");
        put_str(b, layout);
        json_buf_cstr(b, ",\"sample_rate\":");
        put_int(b, par->sample_rate);
        json_buf_cstr(b, ",\"bits_per_sample\":");
        put_int(b, par->bits_per_raw_sample);
    } else if (s->kind == KIND_SUBTITLE) {
        json_buf_cstr(b, s->bitmap_subtitle ? ",\"image_type\":\"bitmap\"" : ",\"image_type\":\"\"");
    }
    json_buf_cstr(b, ",\"language\":");
    put_str(b, meta(st->metadata, "language"));
    json_buf_cstr(b, ",\"bitrate\":");
    put_int(b, par->bit_rate);
    json_buf_cstr(b, ",\"disposition\":");
    put_int(b, st->disposition);
    json_buf_cstr(b, ",\"is_default\":");
    json_buf_cstr(b, truth(st->disposition & AV_DISPOSITION_DEFAULT));
    json_buf_cstr(b, ",\"is_forced\":");
    json_buf_cstr(b, truth(st->disposition & AV_DISPOSITION_FORCED));
    json_buf_cstr(b, ",\"is_external\":false,\"hw_accel\":");
    put_str(b, hw_label(s));
    json_buf_cstr(b, ",\"decoder\":");
    put_str(b, decoder_label(s));
    json_buf_cstr(b, ",\"stream_index\":");
    put_int(b, s->index);
    json_buf_char(b, '}');
}

static void put_info(const oppb_engine *e, json_buf *b) {
    const AVFormatContext *f = e->format;
    json_buf_cstr(b, "{\"format\":{\"format_name\":");
    put_str(b, f ? f->iformat->name : nullptr);
    json_buf_cstr(b, ",\"title\":");
    put_str(b, f ? meta(f->metadata, "title") : nullptr);
    json_buf_cstr(b, ",\"duration_ticks\":");
    put_int(b, e->time.duration);
    json_buf_cstr(b, ",\"bitrate\":");
    put_int(b, f ? f->bit_rate : 0);
    json_buf_cstr(b, ",\"start_time_ticks\":");
    put_int(b, e->time.start);
    json_buf_cstr(b, ",\"nb_streams\":");
    put_int(b, e->stream_count);
    if (f && f->nb_streams) {
        json_buf_cstr(b, ",\"probe_score\":");
        put_int(b, f->probe_score);
        json_buf_cstr(b, ",\"iformat_long_name\":");
        put_str(b, f->iformat->long_name);
    }
    json_buf_cstr(b, "},\"chapters\":[");
    for (int32_t i = 0; i < e->chapter_count; i++) {
        const oppb_chapter *c = &e->chapters[i];
        json_buf_cstr(b, i ? ",{\"title\":" : "{\"title\":");
        put_str(b, c->title);
        json_buf_cstr(b, ",\"start_ticks\":");
        put_int(b, c->start);
        json_buf_cstr(b, ",\"duration_ticks\":");
        put_int(b, c->duration);
        json_buf_char(b, '}');
    }
    json_buf_cstr(b, "],\"attachments\":[");
    for (int32_t i = 0; i < e->attachment_count; i++) {
        const oppb_attachment *a = &e->attachments[i];
        json_buf_cstr(b, i ? ",{\"index\":" : "{\"index\":");
        put_int(b, a->stream_index);
        json_buf_cstr(b, ",\"filename\":");
        put_str(b, a->filename);
        json_buf_cstr(b, ",\"mimetype\":");
        put_str(b, a->mimetype);
        json_buf_cstr(b, ",\"bytes\":");
        put_int(b, a->bytes);
        json_buf_char(b, '}');
    }
    json_buf_char(b, ']');
    for (int kind = KIND_VIDEO; kind <= KIND_SUBTITLE; kind++) {
        json_buf_cstr(b, ",\"");
        json_buf_cstr(b, KIND_NAMES[kind]);
        json_buf_cstr(b, "\":[");
        bool first = true;
        for (int32_t i = 0; i < e->stream_count; i++) {
            if (e->streams[i].kind != kind) continue;
            if (!first) json_buf_char(b, ',');
            first = false;
            put_stream(e, b, &e->streams[i]);
        }
        json_buf_char(b, ']');
    }
    json_buf_cstr(b, ",\"selection\":{\"video\":");
    put_int(b, e->sel.video);
    json_buf_cstr(b, ",\"audio\":");
    put_int(b, e->sel.audio);
    json_buf_cstr(b, ",\"subtitle_primary\":");
    put_int(b, e->sel.subtitle);
    json_buf_cstr(b, ",\"subtitle_secondary\":");
    put_int(b, e->sel.subtitle2);
    json_buf_cstr(b, "},\"duration_ticks\":");
    put_int(b, e->time.duration);
    json_buf_cstr(b, ",\"bytes_read\":");
    put_int(b, e->bytes_read);
    json_buf_char(b, '}');
}

extern "C" {

int64_t oppb_duration_ticks(const oppb_engine *e) { return e ? e->time.duration : 0; }
int64_t oppb_start_time_ticks(const oppb_engine *e) { return e ? e->time.start : 0; }
int64_t oppb_bytes_read(const oppb_engine *e) { return e ? e->bytes_read : 0; }

int32_t oppb_stream_count(const oppb_engine *e, const char *kind) {
    const int filter = kind_filter(kind);
    if (!e || filter < 0) return 0;
    int32_t count = 0;
    for (int32_t i = 0; i < e->stream_count; i++) count += !filter || e->streams[i].kind == filter;
    return count;
}

const char *oppb_stream_field(oppb_engine *e, const char *kind, int32_t n, const char *field) {
    if (!e || !field) return EMPTY;
    const oppb_stream *s = nth_stream(e, kind_filter(kind), n);
    return s ? or_empty(stream_field(e, s, field)) : EMPTY;
}

int32_t oppb_chapter_count(const oppb_engine *e) { return e ? e->chapter_count : 0; }

const char *oppb_chapter_field(oppb_engine *e, int32_t index, const char *field) {
    if (!e || !field || index < 0 || index >= e->chapter_count) return EMPTY;
    const oppb_chapter *c = &e->chapters[index];
    if (strcmp(field, "title") == 0) return c->title;
    return ring_int(e, strcmp(field, "start_ticks") == 0 ? c->start : c->duration);
}

int32_t oppb_attachment_count(const oppb_engine *e) { return e ? e->attachment_count : 0; }

const char *oppb_attachment_field(oppb_engine *e, int32_t index, const char *field) {
    if (!e || !field || index < 0 || index >= e->attachment_count) return EMPTY;
    const oppb_attachment *a = &e->attachments[index];
    if (strcmp(field, "filename") == 0) return a->filename;
    if (strcmp(field, "mimetype") == 0) return a->mimetype;
    return ring_int(e, strcmp(field, "bytes") == 0 ? a->bytes : a->stream_index);
}

int32_t oppb_av_subtitle_count(const oppb_engine *e) { return oppb_stream_count(e, "subtitle"); }

int32_t oppb_av_subtitle_track(const oppb_engine *e, int32_t n, const char *field) {
    if (!e || !field) return -1;
    const oppb_stream *s = nth_stream(e, KIND_SUBTITLE, n);
    if (!s) return -1;
    if (strcmp(field, "index") == 0) return s->index;
    if (strcmp(field, "image_type") == 0) return s->bitmap_subtitle;
    return 0;
}

const char *oppb_video_primaries(const oppb_engine *e) {
    const oppb_stream *s = e ? nth_stream(e, KIND_VIDEO, 0) : nullptr;
    if (!s || s->stream->codecpar->color_primaries != AVCOL_PRI_BT2020) return EMPTY;
    return "MF_MT_VIDEO_PRIMARIES:MFVideoPrimaries_BT2020";
}

int32_t oppb_codec_supported(const char *name) {
    if (!name) return OPPB_ERR_ARG;
    if (avcodec_find_decoder_by_name(name)) return 0;
    const AVCodecDescriptor *d = avcodec_descriptor_get_by_name(name);
    return d && avcodec_find_decoder(d->id) ? 0 : 1;
}

const char *oppb_info_json(oppb_engine *e) {
    if (!e) return "{}";
    json_buf *b = text_begin(e);
    put_info(e, b);
    return b->failed || !b->data ? "{}" : b->data;
}

}  // extern "C"
