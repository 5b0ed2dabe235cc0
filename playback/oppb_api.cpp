// The exports: opening and closing, the deadline, errors, configuration,
// media information, stream selection and sample delivery.
#include <atomic>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "oppb_compat.h"
#include "oppb_internal.h"

static const char VERSION[] = "1.0.0";
static const char EMPTY[] = "";

// Process-wide count of opens; each handle keeps the value of its own.
static std::atomic<int64_t> g_epoch;

// ---- I/O shims for callback sources ----

static int read_shim(void *opaque, uint8_t *buffer, int size) {
    oppb_engine *e = static_cast<oppb_engine *>(opaque);
    if (!e->io || !e->io->read) return AVERROR(EIO);
    if (deadline_expired(e)) {
        e->io_refused = 1;
        return AVERROR(ETIMEDOUT);
    }
    // FFmpeg polls its interrupt callback only in some loops; a blocking
    // source must be abandonable at every read.
    if (e->io->interrupt && e->io->interrupt(e->io->opaque)) {
        e->io_refused = 1;
        return AVERROR_EXIT;
    }
    const int n = e->io->read(e->io->opaque, buffer, size);
    if (n > 0) {
        e->bytes_read += n;
        return n;
    }
    // This FFmpeg reads 0 as "nothing yet" and would ask again forever.
    return n == 0 ? AVERROR_EOF : AVERROR(EIO);
}

static int64_t seek_shim(void *opaque, int64_t offset, int whence) {
    const oppb_engine *e = static_cast<const oppb_engine *>(opaque);
    if (!e->io) return AVERROR(EIO);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return e->io->size ? e->io->size(e->io->opaque) : AVERROR(ENOSYS);
    return e->io->seek ? e->io->seek(e->io->opaque, offset, whence) : AVERROR(ENOSYS);
}

static int interrupt_shim(void *opaque) {
    const oppb_engine *e = static_cast<const oppb_engine *>(opaque);
    if (e->io && e->io->interrupt && e->io->interrupt(e->io->opaque)) return 1;
    return deadline_expired(e);
}

// A reader over the caller's callbacks; NULL when memory runs out.
static AVIOContext *io_context(oppb_engine *e) {
    const int size = e->cfg.file_stream_read_size;
    auto *buffer = static_cast<unsigned char *>(av_malloc(size_t(size)));
    if (!buffer) return nullptr;
    AVIOContext *avio = avio_alloc_context(buffer, size, 0, e, read_shim, nullptr, e->io->seek ? seek_shim : nullptr);
    if (!avio) av_free(buffer);
    return avio;
}

static void io_context_free(AVIOContext **avio) {
    if (!*avio) return;
    av_freep(&(*avio)->buffer);
    avio_context_free(avio);
}

// ---- open and close ----

static void release_media(oppb_engine *e) {
    for (int32_t i = 0; i < e->stream_count; i++) stream_release(&e->streams[i]);
    xfree(e->streams);
    e->streams = nullptr;
    e->stream_count = 0;
    for (int32_t i = 0; i < e->chapter_count; i++) xfree(e->chapters[i].title);
    xfree(e->chapters);
    e->chapters = nullptr;
    e->chapter_count = 0;
    xfree(e->attachments);
    e->attachments = nullptr;
    e->attachment_count = 0;
    av_packet_free(&e->demux_packet);
    avformat_close_input(&e->format);
    io_context_free(&e->avio);
    xfree(e->io);
    e->io = nullptr;
    xfree(e->url);
    e->url = nullptr;
}

static const char *meta(AVDictionary *dict, const char *key) {
    const AVDictionaryEntry *entry = av_dict_get(dict, key, nullptr, 0);
    return entry ? entry->value : nullptr;
}

static void copy_text(char *dst, size_t cap, const char *src) { snprintf(dst, cap, "%s", src ? src : ""); }

static int collect_attachments(oppb_engine *e) {
    int32_t count = 0;
    for (int32_t i = 0; i < e->stream_count; i++) count += e->streams[i].kind == KIND_ATTACHMENT;
    if (!count) return 0;
    e->attachments = static_cast<oppb_attachment *>(xcalloc(size_t(count), sizeof(oppb_attachment)));
    if (!e->attachments) return set_oom(e);
    for (int32_t i = 0; i < e->stream_count; i++) {
        const oppb_stream *s = &e->streams[i];
        if (s->kind != KIND_ATTACHMENT) continue;
        oppb_attachment *a = &e->attachments[e->attachment_count++];
        a->stream_index = s->index;
        copy_text(a->filename, sizeof a->filename, meta(s->stream->metadata, "filename"));
        copy_text(a->mimetype, sizeof a->mimetype, meta(s->stream->metadata, "mimetype"));
        a->bytes = s->stream->codecpar->extradata_size;
    }
    return 0;
}

// Chapters relative to the container start; a lone chapter says nothing.
static int collect_chapters(oppb_engine *e) {
    const AVFormatContext *f = e->format;
    if (f->nb_chapters <= 1) return 0;
    e->chapters = static_cast<oppb_chapter *>(xcalloc(f->nb_chapters, sizeof(oppb_chapter)));
    if (!e->chapters) return set_oom(e);
    const int64_t container_start = f->start_time != AV_NOPTS_VALUE ? us_to_ticks(f->start_time) : 0;
    for (unsigned i = 0; i < f->nb_chapters; i++) {
        const AVChapter *ch = f->chapters[i];
        int64_t start = to_ticks(ch->start, ch->time_base) - container_start;
        int64_t duration = to_ticks(ch->end - ch->start, ch->time_base);
        if (start < 0) {
            duration += start;
            start = 0;
        }
        if (duration <= 0) continue;
        const AVDictionaryEntry *title = av_dict_get(ch->metadata, "title", nullptr, AV_DICT_IGNORE_SUFFIX);
        char *copy = xstrdup(title ? title->value : "");
        if (!copy) return set_oom(e);
        e->chapters[e->chapter_count++] = {copy, start, duration};
    }
    return 0;
}

static int first_of_kind(const oppb_engine *e, AVMediaType type) {
    const int best = av_find_best_stream(e->format, type, -1, -1, nullptr, 0);
    if (best >= 0) return best;
    for (int32_t i = 0; i < e->stream_count; i++)
        if (e->streams[i].kind == kind_of(type)) return i;
    return -1;
}

static void choose_streams(oppb_engine *e) {
    e->sel_video = first_of_kind(e, AVMEDIA_TYPE_VIDEO);
    e->sel_audio = first_of_kind(e, AVMEDIA_TYPE_AUDIO);
    int subtitle = first_of_kind(e, AVMEDIA_TYPE_SUBTITLE);
    if (e->cfg.auto_select_forced) {
        for (int32_t i = 0; i < e->stream_count; i++) {
            const oppb_stream *s = &e->streams[i];
            if (s->kind == KIND_SUBTITLE && (s->stream->disposition & AV_DISPOSITION_FORCED)) {
                subtitle = i;
                break;
            }
        }
    }
    for (int32_t i = 0; i < e->stream_count; i++) {
        oppb_stream *s = &e->streams[i];
        if (s->kind != KIND_VIDEO && s->kind != KIND_AUDIO && s->kind != KIND_SUBTITLE) continue;
        if (i == e->sel_video || i == e->sel_audio || i == subtitle) {
            s->selected = 1;
            s->stream->discard = AVDISCARD_DEFAULT;
        }
        stream_setup(e, s);
    }
    e->sel_subtitle = subtitle;
}

// Opens the container and builds the stream records; false after recording why.
// A callback source is all the caller offers: a playlist or reference file
// inside it must not make the demuxer open other files or URLs.
static int refuse_nested_open(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **) {
    return AVERROR(EPERM);
}

static void use_caller_io(AVFormatContext *format, AVIOContext *avio) {
    format->pb = avio;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->io_open = refuse_nested_open;
}

static bool open_media(oppb_engine *e, const char *path, const oppb_io *io, const char *name) {
    char url[URL_MAX + 1];
    if (io) {
        if (!io->read) {
            set_err(e, OPPB_ERR_ARG, "io.read is required");
            return false;
        }
        e->io = static_cast<oppb_io *>(xmalloc(sizeof(oppb_io)));
        if (!e->io) return set_oom(e), false;
        *e->io = *io;
        e->avio = io_context(e);
        if (!e->avio) return set_oom(e), false;
        copy_text(url, sizeof url, name && *name ? name : "oppb://stream");
    } else {
        if (!path) {
            set_err(e, OPPB_ERR_ARG, "no path");
            return false;
        }
    }
    const char *source = io ? url : path;
    e->url = xstrdup(source);
    e->format = avformat_alloc_context();
    if (!e->url || !e->format) return set_oom(e), false;
    if (io) use_caller_io(e->format, e->avio);
    e->format->interrupt_callback = {interrupt_shim, e};
    if (const int r = avformat_open_input(&e->format, source, nullptr, nullptr); r < 0) {
        if (r == AVERROR_EXIT || e->io_refused) {
            set_err(e, OPPB_ERR_TRANSPORT, "source aborted (interrupt/deadline)");
        } else {
            char why[64];
            av_strerror(r, why, sizeof why);
            set_err(e, OPPB_ERR_CONTAINER, "avformat_open_input: %s", why);
        }
        return false;
    }
    arm_deadline(e);
    if (avformat_find_stream_info(e->format, nullptr) < 0) {
        set_err(e, OPPB_ERR_CONTAINER, "avformat_find_stream_info failed");
        return false;
    }
    if (e->format->duration != AV_NOPTS_VALUE) e->duration = us_to_ticks(e->format->duration);
    if (e->format->start_time != AV_NOPTS_VALUE) e->start_time = us_to_ticks(e->format->start_time);
    if (!e->format->nb_streams) {
        set_err(e, OPPB_ERR_CONTAINER, "no streams");
        return false;
    }
    e->streams = static_cast<oppb_stream *>(xcalloc(e->format->nb_streams, sizeof(oppb_stream)));
    if (!e->streams) return set_oom(e), false;
    e->stream_count = int32_t(e->format->nb_streams);
    for (int32_t i = 0; i < e->stream_count; i++) {
        oppb_stream *s = &e->streams[i];
        s->stream = e->format->streams[i];
        s->index = i;
        s->kind = kind_of(s->stream->codecpar->codec_type);
        s->sample_mode = MODE_DECODED;
        s->stream->discard = AVDISCARD_ALL;
    }
    if (collect_attachments(e) < 0 || collect_chapters(e) < 0) return false;
    choose_streams(e);
    return true;
}

static oppb_engine *open_common(const char *path, const oppb_io *io, const char *name, const char *config) {
    oppb_cfg cfg;
    cfg_defaults(&cfg);
    // A text that does not parse leaves the defaults.
    if (cfg_parse(&cfg, config) == OPPB_ERR_NOMEM) return nullptr;
    oppb_engine *e = static_cast<oppb_engine *>(xcalloc(1, sizeof(oppb_engine)));
    if (!e) return nullptr;
    e->cfg = cfg;
    e->sel_video = e->sel_audio = e->sel_subtitle = e->sel_subtitle2 = -1;
    e->epoch = ++g_epoch;
    e->subtitle_delay = cfg.default_delay_ticks;
    json_buf_init(&e->text, &XALC);
    e->timeout_ms = cfg.open_timeout_ms;
    arm_deadline(e);
    if (open_media(e, path, io, name)) return e;
    release_media(e);
    xfree(e);
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
const char *oppb_last_error(const oppb_engine *e) { return e ? e->err_text : "no engine"; }
int32_t oppb_last_error_code(const oppb_engine *e) { return e ? e->err_code : OPPB_ERR_ARG; }

int32_t oppb_set_timeout_ms(oppb_engine *e, int64_t ms) {
    if (!e) return OPPB_ERR_ARG;
    e->timeout_ms = ms < 0 ? 0 : ms;
    arm_deadline(e);
    return OPPB_OK;
}

int32_t oppb_set_open_timeout_ms(oppb_engine *e, int64_t ms) { return oppb_set_timeout_ms(e, ms); }
int64_t oppb_timeout_ms(const oppb_engine *e) { return e ? e->timeout_ms : 0; }
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

}  // extern "C"

// ---- media information ----

static const char *const KIND_NAMES[] = {"other", "video", "audio", "subtitle", "attachment"};

// The kind a filter text selects: 0 for every stream, -1 for an unknown filter.
static int kind_filter(const char *kind) {
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
    put_int(b, e->duration);
    json_buf_cstr(b, ",\"bitrate\":");
    put_int(b, f ? f->bit_rate : 0);
    json_buf_cstr(b, ",\"start_time_ticks\":");
    put_int(b, e->start_time);
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
    put_int(b, e->sel_video);
    json_buf_cstr(b, ",\"audio\":");
    put_int(b, e->sel_audio);
    json_buf_cstr(b, ",\"subtitle_primary\":");
    put_int(b, e->sel_subtitle);
    json_buf_cstr(b, ",\"subtitle_secondary\":");
    put_int(b, e->sel_subtitle2);
    json_buf_cstr(b, "},\"duration_ticks\":");
    put_int(b, e->duration);
    json_buf_cstr(b, ",\"bytes_read\":");
    put_int(b, e->bytes_read);
    json_buf_char(b, '}');
}

// ---- sample delivery ----

static void fill_video(oppb_sample *out, const AVFrame *f) {
    out->width = f->width;
    out->height = f->height;
    out->pixel_format = f->format;
    out->plane_count = av_pix_fmt_count_planes(AVPixelFormat(f->format));
    for (int i = 0; i < 4; i++) {
        out->line_sizes[i] = f->linesize[i];
        out->planes[i] = f->data[i];
    }
    out->data = f->data[0];
}

static void fill_audio(oppb_sample *out, const AVFrame *f) {
    const AVSampleFormat format = AVSampleFormat(f->format);
    out->sample_rate = f->sample_rate;
    out->channels = f->ch_layout.nb_channels;
    out->sample_format = f->format;
    out->sample_count = f->nb_samples;
    out->data = f->data[0];
    const int64_t bytes = int64_t(f->nb_samples) * av_get_bytes_per_sample(format);
    out->size = av_sample_fmt_is_planar(format) ? bytes : bytes * out->channels;
    if (out->duration <= 0 && f->sample_rate > 0)
        out->duration = int64_t(double(f->nb_samples) * 1e7 / double(f->sample_rate));
}

static int deliver_frame(oppb_engine *e, oppb_stream *s, oppb_sample *out) {
    AVFrame *f = nullptr;
    if (const int r = frame_pull(e, s, &f); r != OPPB_OK) return r;
    const AVRational tb = s->stream->time_base;
    const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    const int64_t duration = frame_duration(f);
    out->stream = s->index;
    out->pts = (ts != AV_NOPTS_VALUE ? to_ticks(ts, tb) : 0) - s->start_offset;
    out->duration = duration > 0 ? to_ticks(duration, tb) : 0;
    out->key = frame_is_key(f);
    if (s->kind == KIND_VIDEO) {
        fill_video(out, f);
        e->position = out->pts;
    } else {
        fill_audio(out, f);
    }
    av_frame_free(&s->frame_out);
    s->frame_out = f;
    return OPPB_OK;
}

static int deliver_packet(oppb_engine *e, oppb_stream *s, oppb_sample *out) {
    AVPacket *p = nullptr;
    if (const int r = packet_pull(e, s, &p); r != OPPB_OK) return r;
    av_frame_free(&s->frame_out);
    av_packet_free(&s->packet_out);
    s->packet_out = p;
    const AVCodecID codec = s->stream->codecpar->codec_id;
    const uint8_t *data = p->data;
    size_t size = size_t(p->size);
    if (s->ctx && (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC)) annexb_convert(s, p, &data, &size);
    const AVRational tb = s->stream->time_base;
    const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
    out->stream = s->index;
    out->pts = (ts != AV_NOPTS_VALUE ? to_ticks(ts, tb) : 0) - s->start_offset;
    out->duration = p->duration > 0 ? to_ticks(p->duration, tb) : 0;
    out->key = (p->flags & AV_PKT_FLAG_KEY) != 0;
    out->discard = (p->flags & AV_PKT_FLAG_DISCARD) != 0;
    out->data = data;
    out->size = int64_t(size);
    out->compressed = 1;
    e->position = out->pts;
    return OPPB_OK;
}

// The container's duration as a second reader finds it now; 0 when unknown.
static int64_t probe_duration(oppb_engine *e) {
    AVFormatContext *probe = avformat_alloc_context();
    if (!probe) return 0;
    AVIOContext *avio = nullptr;
    if (e->io) {
        // The second reader shares the caller's source and must rewind it.
        if (!e->io->seek || !(avio = io_context(e))) {
            avformat_free_context(probe);
            return 0;
        }
        use_caller_io(probe, avio);
    }
    probe->interrupt_callback = {interrupt_shim, e};
    int64_t duration = 0;
    if (avformat_open_input(&probe, e->url, e->format->iformat, nullptr) >= 0) {
        if (avformat_find_stream_info(probe, nullptr) >= 0 && probe->duration != AV_NOPTS_VALUE)
            duration = us_to_ticks(probe->duration);
        avformat_close_input(&probe);
    }
    if (avio) {
        io_context_free(&avio);
        // Put the source back where the open reader left it.
        e->io->seek(e->io->opaque, e->format->pb->pos, SEEK_SET);
    }
    return duration;
}

extern "C" {

int64_t oppb_duration_ticks(const oppb_engine *e) { return e ? e->duration : 0; }
int64_t oppb_start_time_ticks(const oppb_engine *e) { return e ? e->start_time : 0; }
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

// ---- stream selection ----

static int32_t *selection_of(oppb_engine *e, const char *kind) {
    if (!kind) return nullptr;
    if (strcmp(kind, "video") == 0) return &e->sel_video;
    if (strcmp(kind, "audio") == 0) return &e->sel_audio;
    if (strcmp(kind, "subtitle") == 0) return &e->sel_subtitle;
    return nullptr;
}

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
    if (e->timeout_ms > 0) arm_deadline(e);
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
    if (!e->end_of_input || !e->cfg.auto_extend_duration) return 0;
    const int64_t duration = probe_duration(e);
    if (duration <= e->duration) return 0;
    e->duration = duration;
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

int64_t oppb_position_ticks(const oppb_engine *e) { return e ? e->position : 0; }

}  // extern "C"
