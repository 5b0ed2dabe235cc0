// Tools on the decode pipeline: per-frame MD5 lines in the framemd5 text
// form, and the remux of one file's video with another's audio.
#include <cstdio>
#include <cstdarg>
#include <cstring>
#include <initializer_list>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/md5.h>
#include <libavutil/pixdesc.h>
}

#include "oppb_internal.h"

// ---- frame checksums ----

struct Md5Run {
    void (*emit)(void *, const char *, size_t);
    void *user;
    void line(const char *fmt, ...) OPPB_PRINTF(2, 3) {
        char text[512];
        va_list ap;
        va_start(ap, fmt);
        const int n = vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        if (n > 0) emit(user, text, size_t(n) < sizeof text ? size_t(n) : sizeof text - 1);
    }
};

// The frame in `format` (its own when AV_PIX_FMT_NONE): the frame itself, or a
// converted copy in *converted; NULL when conversion failed.
static const AVFrame *in_format(const AVFrame *f, AVPixelFormat format, SwsContext **sws, AVFrame **converted) {
    if (format == AV_PIX_FMT_NONE || f->format == format) return f;
    *sws = sws_getCachedContext(*sws, f->width, f->height, AVPixelFormat(f->format), f->width, f->height, format,
                                SWS_BILINEAR, nullptr, nullptr, nullptr);
    AVFrame *c = av_frame_alloc();
    if (!*sws || !c) {
        av_frame_free(&c);
        return nullptr;
    }
    c->format = format;
    c->width = f->width;
    c->height = f->height;
    if (av_frame_get_buffer(c, 0) < 0 || sws_scale(*sws, f->data, f->linesize, 0, f->height, c->data, c->linesize) <= 0) {
        av_frame_free(&c);
        return nullptr;
    }
    *converted = c;
    return c;
}

static int md5_frames(oppb_engine *e, oppb_stream *s, AVPixelFormat format, Md5Run *run) {
    SwsContext *sws = nullptr;
    AVMD5 *md5 = av_md5_alloc();
    uint8_t *buffer = nullptr;
    size_t cap = 0;
    int r = md5 ? OPPB_OK : OPPB_ERR_NOMEM;
    for (int64_t number = 0; r == OPPB_OK; number++) {
        AVFrame *f = nullptr;
        if (frame_pull(e, s, &f) != OPPB_OK) break;
        AVFrame *converted = nullptr;
        const AVFrame *p = in_format(f, format, &sws, &converted);
        const int size = p ? av_image_get_buffer_size(AVPixelFormat(p->format), p->width, p->height, 1) : -1;
        if (size > 0 && size_t(size) > cap) {
            auto *grown = static_cast<uint8_t *>(xrealloc(buffer, size_t(size)));
            if (!grown) r = OPPB_ERR_NOMEM;
            else buffer = grown, cap = size_t(size);
        }
        if (r == OPPB_OK && size > 0 &&
            av_image_copy_to_buffer(buffer, size, p->data, p->linesize, AVPixelFormat(p->format), p->width, p->height,
                                    1) >= 0) {
            if (number == 0) {
                const AVRational sar = p->sample_aspect_ratio;
                run->line("#dimensions 0: %dx%d\n#sar 0: %d/%d\n#stream#, dts,        pts, duration,     size, hash\n",
                          p->width, p->height, sar.num && sar.den ? sar.num : 1, sar.num && sar.den ? sar.den : 1);
            }
            uint8_t digest[16];
            av_md5_init(md5);
            av_md5_update(md5, buffer, size);
            av_md5_final(md5, digest);
            char hex[33];
            for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp
                               : f->pts != AV_NOPTS_VALUE                  ? f->pts
                                                                          : number;
            run->line("0, %10lld, %10lld, %8d, %8d, %s\n", (long long)ts, (long long)ts, 1, size, hex);
        } else if (r == OPPB_OK) {
            number = -1;  // nothing written: stop
        }
        av_frame_free(&converted);
        av_frame_free(&f);
        if (number < 0) break;
    }
    xfree(buffer);
    av_free(md5);
    sws_freeContext(sws);
    return r;
}

// ---- remux ----

struct Source {
    AVFormatContext *format = nullptr;
    int index = -1;
    AVPacket *next = nullptr;  // the next packet of the chosen stream; NULL at the end
};

static int source_open(Source *src, const char *path, AVMediaType type) {
    if (avformat_open_input(&src->format, path, nullptr, nullptr) < 0 ||
        avformat_find_stream_info(src->format, nullptr) < 0)
        return OPPB_ERR_CONTAINER;
    src->index = av_find_best_stream(src->format, type, -1, -1, nullptr, 0);
    return src->index < 0 ? OPPB_ERR_NOT_FOUND : OPPB_OK;
}

// Reads the source's next packet of its chosen stream into src->next.
static bool source_advance(Source *src) {
    if (!src->next && !(src->next = av_packet_alloc())) return false;
    for (;;) {
        av_packet_unref(src->next);
        if (av_read_frame(src->format, src->next) < 0) {
            av_packet_free(&src->next);
            return true;
        }
        if (src->next->stream_index == src->index) return true;
    }
}

static AVStream *add_stream(AVFormatContext *out, const AVStream *in) {
    AVStream *st = avformat_new_stream(out, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, in->codecpar) < 0) return nullptr;
    // A tag means something only to formats that know it for this codec
    // (an MP4 'avc1' breaks a Matroska header).
    unsigned tag = 0;
    if (in->codecpar->codec_tag &&
        !(av_codec_get_tag2(out->oformat->codec_tag, in->codecpar->codec_id, &tag) && tag == in->codecpar->codec_tag))
        st->codecpar->codec_tag = 0;
    st->time_base = in->time_base;
    return st;
}

static int remux(Source *video, Source *audio, AVFormatContext *out) {
    Source *sources[2] = {video, audio};
    for (Source *s : sources)
        if (!source_advance(s)) return OPPB_ERR_NOMEM;
    // Packets go out in time order across the two sources, so the muxer's
    // interleaving queue stays short.
    for (;;) {
        int pick = -1;
        for (int i = 0; i < 2; i++) {
            const Source *s = sources[i];
            if (!s->next) continue;
            if (pick < 0) {
                pick = i;
                continue;
            }
            const Source *o = sources[pick];
            const int64_t a = s->next->dts != AV_NOPTS_VALUE ? s->next->dts : s->next->pts;
            const int64_t b = o->next->dts != AV_NOPTS_VALUE ? o->next->dts : o->next->pts;
            if (a != AV_NOPTS_VALUE && b != AV_NOPTS_VALUE &&
                av_compare_ts(a, s->format->streams[s->index]->time_base, b, o->format->streams[o->index]->time_base) < 0)
                pick = i;
        }
        if (pick < 0) return OPPB_OK;
        Source *s = sources[pick];
        AVPacket *pkt = s->next;
        s->next = nullptr;
        av_packet_rescale_ts(pkt, s->format->streams[s->index]->time_base, out->streams[pick]->time_base);
        pkt->stream_index = pick;
        pkt->pos = -1;
        const int written = av_interleaved_write_frame(out, pkt);
        s->next = pkt;
        if (written < 0) return OPPB_ERR_IO;
        if (!source_advance(s)) return OPPB_ERR_NOMEM;
    }
}

static int combine(const char *audio_path, const char *video_path, const char *out_path, const char *format_name) {
    Source video, audio;
    AVFormatContext *out = nullptr;
    bool file_open = false, header = false;
    int r = source_open(&video, video_path, AVMEDIA_TYPE_VIDEO);
    if (r == OPPB_OK) r = source_open(&audio, audio_path, AVMEDIA_TYPE_AUDIO);
    if (r == OPPB_OK && avformat_alloc_output_context2(&out, nullptr, format_name, out_path) < 0) r = OPPB_ERR_CONTAINER;
    if (r == OPPB_OK) {
        const AVStream *v = video.format->streams[video.index];
        AVStream *vo = add_stream(out, v);
        AVStream *ao = vo ? add_stream(out, audio.format->streams[audio.index]) : nullptr;
        if (!ao) {
            r = OPPB_ERR_NOMEM;
        } else {
            vo->avg_frame_rate = v->avg_frame_rate;
            vo->sample_aspect_ratio = v->sample_aspect_ratio;
        }
    }
    if (r == OPPB_OK && !(out->oformat->flags & AVFMT_NOFILE)) {
        if (avio_open(&out->pb, out_path, AVIO_FLAG_WRITE) < 0) r = OPPB_ERR_IO;
        else file_open = true;
    }
    if (r == OPPB_OK) {
        if (avformat_write_header(out, nullptr) < 0) r = OPPB_ERR_CONTAINER;
        else header = true;
    }
    if (r == OPPB_OK) r = remux(&video, &audio, out);
    if (header && av_write_trailer(out) < 0 && r == OPPB_OK) r = OPPB_ERR_IO;
    if (file_open) avio_closep(&out->pb);
    avformat_free_context(out);
    for (Source *s : {&video, &audio}) {
        av_packet_free(&s->next);
        avformat_close_input(&s->format);
    }
    // A failed remux leaves no partial file behind.
    if (r != OPPB_OK && file_open) remove(out_path);
    return r;
}

extern "C" {

int32_t oppb_framemd5(oppb_engine *e, int32_t stream, const char *pixel_format,
                      void (*callback)(void *user, const char *text, size_t length), void *user) {
    if (!e || !callback) return OPPB_ERR_ARG;
    if (e->closed) return OPPB_ERR_CLOSED;
    if (stream < 0 || stream >= e->stream_count) return OPPB_ERR_NOT_FOUND;
    oppb_stream *s = &e->streams[stream];
    if (s->kind != KIND_VIDEO) return OPPB_ERR_ARG;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    if (pixel_format && *pixel_format && (format = av_get_pix_fmt(pixel_format)) == AV_PIX_FMT_NONE) return OPPB_ERR_ARG;
    // An unselected stream's packets are dropped by the demuxer: its
    // checksums would be a header only.
    if (!s->selected) {
        set_err(e, OPPB_ERR_STATE, "stream %d not selected", stream);
        return OPPB_ERR_STATE;
    }
    Md5Run run{callback, user};
    const AVRational tb = s->stream->time_base;
    run.line("#format: frame checksums\n#version: 2\n#hash: MD5\n#software: Lavf63.1.102\n#tb 0: %d/%d\n"
             "#media_type 0: video\n#codec_id 0: rawvideo\n",
             tb.num, tb.den);
    if (s->sample_mode != MODE_DECODED || !s->ctx) return OPPB_OK;
    const int32_t raw = s->raw_output;
    s->raw_output = 1;
    const int r = md5_frames(e, s, format, &run);
    s->raw_output = raw;
    return r;
}

int32_t oppb_combine(const char *audio_source, const char *video_source, const char *output, const char *format) {
    if (!audio_source || !video_source || !output) return OPPB_ERR_ARG;
    return combine(audio_source, video_source, output, format && *format ? format : nullptr);
}

}  // extern "C"
