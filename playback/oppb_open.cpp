// Opening and releasing media: the container, its stream records, chapters
// and attachments, and the default stream selection.
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "oppb_internal.h"

// Process-wide count of opens; each handle keeps the value of its own.
static std::atomic<int64_t> g_epoch;


void release_media(oppb_engine *e) {
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
    hw_release(e);
    filter_free(&e->vfilter);
    filter_free(&e->afilter);
    if (e->source_fd >= 0) close(e->source_fd);
    e->source_fd = -1;
}

const char *meta(AVDictionary *dict, const char *key) {
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
    e->sel.video = first_of_kind(e, AVMEDIA_TYPE_VIDEO);
    e->sel.audio = first_of_kind(e, AVMEDIA_TYPE_AUDIO);
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
        if (i == e->sel.video || i == e->sel.audio || i == subtitle) {
            s->selected = 1;
            s->stream->discard = AVDISCARD_DEFAULT;
        }
        stream_setup(e, s);
    }
    e->sel.subtitle = subtitle;
}

// Opens the container and builds the stream records; false after recording why.
// Probing reads on under the deadline and the caller's interrupt; when either
// fired, the streams it found are incomplete and the reader has stopped for
// good, so the open fails as an aborted one.
static bool aborted(const oppb_engine *e, int r) { return r == AVERROR_EXIT || e->io_refused; }

static bool open_media(oppb_engine *e, const char *path, const oppb_io *io, const char *name) {
    char url[URL_MAX + 1];
    const char *source = url;
    if (io) {
        if (!io->read) {
            set_err(e, OPPB_ERR_ARG, "io.read is required");
            return false;
        }
        e->io = static_cast<oppb_io *>(xmalloc(sizeof(oppb_io)));
        if (!e->io) {
            set_oom(e);
            return false;
        }
        *e->io = *io;
        e->avio = io_context(e);
        if (!e->avio) {
            set_oom(e);
            return false;
        }
        copy_text(url, sizeof url, name && *name ? name : "oppb://stream");
    } else {
        if (!path) {
            set_err(e, OPPB_ERR_ARG, "no path");
            return false;
        }
        const int special = open_special_path(e, path, url, sizeof url);
        if (special < 0) return false;
        if (!special) source = path;
    }
    e->url = xstrdup(source);
    e->format = avformat_alloc_context();
    if (!e->url || !e->format) {
        set_oom(e);
        return false;
    }
    if (io) use_caller_io(e->format, e->avio);
    e->format->interrupt_callback = {interrupt_shim, e};
    e->io_refused = 0;
    if (const int r = avformat_open_input(&e->format, source, nullptr, nullptr); r < 0) {
        if (aborted(e, r)) {
            set_err(e, OPPB_ERR_TRANSPORT, "source aborted (interrupt/deadline)");
        } else {
            char why[64];
            av_strerror(r, why, sizeof why);
            set_err(e, OPPB_ERR_CONTAINER, "avformat_open_input: %s", why);
        }
        return false;
    }
    arm_deadline(e);
    const int probed = avformat_find_stream_info(e->format, nullptr);
    if (aborted(e, probed)) {
        set_err(e, OPPB_ERR_TRANSPORT, "source aborted (interrupt/deadline)");
        return false;
    }
    if (probed < 0) {
        set_err(e, OPPB_ERR_CONTAINER, "avformat_find_stream_info failed");
        return false;
    }
    if (e->format->duration != AV_NOPTS_VALUE) e->time.duration = us_to_ticks(e->format->duration);
    if (e->format->start_time != AV_NOPTS_VALUE) e->time.start = us_to_ticks(e->format->start_time);
    if (!e->format->nb_streams) {
        set_err(e, OPPB_ERR_CONTAINER, "no streams");
        return false;
    }
    e->streams = static_cast<oppb_stream *>(xcalloc(e->format->nb_streams, sizeof(oppb_stream)));
    if (!e->streams) {
        set_oom(e);
        return false;
    }
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

oppb_engine *open_common(const char *path, const oppb_io *io, const char *name, const char *config) {
    oppb_cfg cfg;
    cfg_defaults(&cfg);
    // A text that does not parse leaves the defaults.
    if (cfg_parse(&cfg, config) == OPPB_ERR_NOMEM) return nullptr;
    oppb_engine *e = static_cast<oppb_engine *>(xcalloc(1, sizeof(oppb_engine)));
    if (!e) return nullptr;
    e->cfg = cfg;
    e->sel.video = e->sel.audio = e->sel.subtitle = e->sel.subtitle2 = -1;
    e->source_fd = -1;
    e->epoch = ++g_epoch;
    e->time.subtitle_delay = cfg.default_delay_ticks;
    json_buf_init(&e->text.doc, &XALC);
    e->deadline.timeout_ms = cfg.open_timeout_ms;
    arm_deadline(e);
    if (open_media(e, path, io, name)) return e;
    release_media(e);
    xfree(e);
    return nullptr;
}
