// Streams: decoder setup, the packet and frame queues, the pull-driven
// pipeline (demux step, packet pull, decode, frame pull), the conversions of
// decoded frames, and the Annex B rewriting of compressed packets.
#include <climits>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "oppb_compat.h"
#include "oppb_internal.h"

int kind_of(AVMediaType type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: return KIND_VIDEO;
    case AVMEDIA_TYPE_AUDIO: return KIND_AUDIO;
    case AVMEDIA_TYPE_SUBTITLE: return KIND_SUBTITLE;
    case AVMEDIA_TYPE_ATTACHMENT: return KIND_ATTACHMENT;
    default: return KIND_OTHER;
    }
}

int64_t start_offset_of(const oppb_engine *e, const AVStream *st) {
    if (!tb_valid(st->time_base)) return 0;
    if (st->start_time != AV_NOPTS_VALUE) return to_ticks(st->start_time, st->time_base);
    if (e->format->start_time != AV_NOPTS_VALUE) return us_to_ticks(e->format->start_time);
    return 0;
}

static bool within(int value, int limit) { return limit < 0 || value < 0 || value <= limit; }

bool hw_eligible(const oppb_cfg *cfg, AVCodecID codec, int profile, int level) {
    if (codec == AV_CODEC_ID_H264) {
        if (profile >= 0) profile &= ~H264_PROFILE_FLAGS;
        return within(profile, cfg->system_decoder_h264_max_profile) && within(level, cfg->system_decoder_h264_max_level);
    }
    if (codec == AV_CODEC_ID_HEVC)
        return within(profile, cfg->system_decoder_hevc_max_profile) && within(level, cfg->system_decoder_hevc_max_level);
    return true;
}

// ---- queues (FIFO of owned entries; first growth 8, then doubling) ----

template <typename Queue, typename Item>
static bool q_push(Queue *q, Item *item) {
    if (q->count == q->cap) {
        int32_t cap = q->cap ? q->cap * 2 : 8;
        auto **items = static_cast<Item **>(xrealloc(q->items, sizeof(Item *) * size_t(cap)));
        if (!items) return false;
        q->items = items;
        q->cap = cap;
    }
    q->items[q->count++] = item;
    return true;
}

template <typename Queue>
static auto q_pop(Queue *q) {
    auto *head = q->items[0];
    memmove(q->items, q->items + 1, sizeof head * size_t(--q->count));
    return head;
}

bool packet_unpull(oppb_stream *s, AVPacket *pkt, int32_t limit) {
    PacketQueue *q = &s->packets;
    if (q->count >= limit || !q_push(q, pkt)) return false;
    memmove(q->items + 1, q->items, sizeof pkt * size_t(q->count - 1));
    q->items[0] = pkt;
    return true;
}

static void pq_clear(PacketQueue *q) {
    for (int32_t i = 0; i < q->count; i++) av_packet_free(&q->items[i]);
    q->count = 0;
}

static void fq_clear(FrameQueue *q) {
    for (int32_t i = 0; i < q->count; i++) av_frame_free(&q->items[i]);
    q->count = 0;
}

// ---- stream setup ----

static AVCodecContext *open_decoder(const AVCodec *codec, const AVStream *st, int threads) {
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx) return nullptr;
    ctx->pkt_timebase = st->time_base;
    ctx->thread_count = threads;
    // A cue with a stray byte of another encoding is still a cue: FFmpeg
    // would drop it whole; the cue builder mends its text instead.
    if (st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) ctx->sub_charenc_mode = FF_SUB_CHARENC_MODE_IGNORE;
    if (avcodec_parameters_to_context(ctx, st->codecpar) < 0 || avcodec_open2(ctx, codec, nullptr) < 0)
        avcodec_free_context(&ctx);
    return ctx;
}

void stream_setup(oppb_engine *e, oppb_stream *s) {
    const AVStream *st = s->stream;
    const AVCodecParameters *par = st->codecpar;
    s->start_offset = start_offset_of(e, st);
    // A subtitle stream's own start is its first cue (PGS, some MP4 text
    // tracks): cues are placed against the container's start instead, or
    // against 0 when they are all the container holds.
    if (s->kind == KIND_SUBTITLE) {
        const int64_t start = e->format->start_time;
        const bool alone = s->external || e->format->nb_streams == 1;
        s->start_offset = alone || start == AV_NOPTS_VALUE ? 0 : us_to_ticks(start);
    }
    s->sample_mode = MODE_DECODED;
    s->next_pts = NO_TIME;
    s->codec = avcodec_find_decoder(par->codec_id);
    if (s->kind == KIND_SUBTITLE) {
        s->bitmap_subtitle = par->codec_id == AV_CODEC_ID_DVB_SUBTITLE || par->codec_id == AV_CODEC_ID_XSUB ||
                             par->codec_id == AV_CODEC_ID_HDMV_PGS_SUBTITLE;
        if (s->codec) s->ctx = open_decoder(s->codec, st, 1);
        return;
    }
    if (!s->codec) {
        s->sample_mode = MODE_COMPRESSED;
        s->decode_path = PATH_NO_DECODER;
        return;
    }
    s->hw_eligible = hw_eligible(&e->cfg, par->codec_id, par->profile, par->level);
    s->decode_path = PATH_SOFTWARE;
    s->hw_state = HW_NOT_TRIED;
    const int threads = s->kind == KIND_VIDEO ? e->cfg.video_max_decoder_threads : e->cfg.audio_max_decoder_threads;
    if (hw_wanted(e, s)) s->ctx = hw_open_decoder(e, s, threads);
    if (!s->ctx) s->ctx = open_decoder(s->codec, st, threads);
    if (!s->ctx) {
        s->sample_mode = MODE_COMPRESSED;  // its packets pass through undecoded
        return;
    }
    if (s->kind == KIND_VIDEO && e->cfg.frames_per_second_override > 0) {
        s->fps_override_set = 1;
        s->fps_override = e->cfg.frames_per_second_override;
    }
}

void stream_flush(oppb_stream *s) {
    pq_clear(&s->packets);
    fq_clear(&s->frames);
    av_frame_free(&s->frame_out);
    av_packet_free(&s->packet_out);
    if (s->ctx) avcodec_flush_buffers(s->ctx);
    s->draining = 0;
    s->eos = 0;
    s->ps_sent = 0;
    s->next_pts = NO_TIME;
}

void stream_drop_frames(oppb_stream *s) { fq_clear(&s->frames); }

void stream_release(oppb_stream *s) {
    subtitle_release(s);
    pq_clear(&s->packets);
    fq_clear(&s->frames);
    xfree(s->packets.items);
    xfree(s->frames.items);
    av_frame_free(&s->frame_out);
    av_packet_free(&s->packet_out);
    avcodec_free_context(&s->ctx);
    sws_freeContext(s->vconv.sws);
    av_buffer_pool_uninit(&s->vconv.pool);
    swr_free(&s->aconv.swr);
    xfree(s->annexb);
    memset(s, 0, sizeof *s);
}

// ---- conversions ----

struct VideoTarget {
    AVPixelFormat format;
    bool padded;  // width and height rounded up to multiples of 4
};

static VideoTarget video_target(const oppb_cfg *c, AVPixelFormat f, AVPixelFormat decoder_format, bool d3d11) {
    if (decoder_format == AV_PIX_FMT_YUVJ420P && c->output_allow_iyuv && !d3d11) return {AV_PIX_FMT_YUVJ420P, true};
    if (f == AV_PIX_FMT_YUV420P10LE) {
        if (c->output_allow_10bit) return {AV_PIX_FMT_P010LE, true};
        if (c->output_allow_nv12) return {AV_PIX_FMT_NV12, true};
        if (c->output_allow_iyuv) return {AV_PIX_FMT_YUV420P, true};
    } else if (f == AV_PIX_FMT_YUV420P) {
        if (c->output_allow_iyuv && d3d11 && c->output_allow_nv12) return {AV_PIX_FMT_NV12, true};
        if (c->output_allow_iyuv) return {AV_PIX_FMT_YUV420P, true};
        if (c->output_allow_nv12) return {AV_PIX_FMT_NV12, true};
    } else {
        if (c->output_allow_nv12) return {AV_PIX_FMT_NV12, true};
        if (c->output_allow_iyuv) return {AV_PIX_FMT_YUV420P, true};
    }
    if (c->output_allow_bgra8) return {AV_PIX_FMT_BGRA, false};
    return {AV_PIX_FMT_NV12, true};
}

// The scaler and the picture pool follow the source format and size; both
// are rebuilt only when those change.
static bool video_conv_ready(VideoConv *v, const AVFrame *src, AVPixelFormat target, int tw, int th) {
    if (v->sws && v->src_format == src->format && v->dst_format == target && v->src_width == src->width &&
        v->src_height == src->height)
        return true;
    sws_freeContext(v->sws);
    av_buffer_pool_uninit(&v->pool);
    *v = VideoConv{};
    const int size = av_image_get_buffer_size(target, tw, th, 32);
    if (size <= 0) return false;
    v->sws = sws_getContext(src->width, src->height, AVPixelFormat(src->format), tw, th, target, SWS_BILINEAR, nullptr,
                            nullptr, nullptr);
    v->pool = av_buffer_pool_init(size_t(size), nullptr);
    if (!v->sws || !v->pool) {
        sws_freeContext(v->sws);
        av_buffer_pool_uninit(&v->pool);
        *v = VideoConv{};
        return false;
    }
    v->src_format = src->format;
    v->dst_format = target;
    v->src_width = src->width;
    v->src_height = src->height;
    v->dst_width = tw;
    v->dst_height = th;
    v->pool_size = size;
    return true;
}

// Returns the frame to deliver: `src`, or a converted copy (src then freed).
static AVFrame *convert_video(const oppb_engine *e, oppb_stream *s, AVFrame *src) {
    const AVPixelFormat f = AVPixelFormat(src->format);
    const VideoTarget t = video_target(&e->cfg, f, s->ctx->pix_fmt, s->decode_path == PATH_D3D11);
    const int tw = t.padded ? (src->width + 3) & ~3 : src->width;
    const int th = t.padded ? (src->height + 3) & ~3 : src->height;
    if ((t.format == f && tw == src->width && th == src->height) || src->width <= 0 || src->height <= 0) return src;
    VideoConv *v = &s->vconv;
    if (!video_conv_ready(v, src, t.format, tw, th)) return src;
    AVFrame *dst = av_frame_alloc();
    if (!dst) return src;
    dst->format = t.format;
    dst->width = tw;
    dst->height = th;
    dst->buf[0] = av_buffer_pool_get(v->pool);
    if (!dst->buf[0] || av_frame_copy_props(dst, src) < 0 ||
        av_image_fill_arrays(dst->data, dst->linesize, dst->buf[0]->data, t.format, tw, th, 32) < 0 ||
        sws_scale(v->sws, src->data, src->linesize, 0, src->height, dst->data, dst->linesize) <= 0) {
        av_frame_free(&dst);
        return src;
    }
    dst->crop_left = dst->crop_top = 0;
    dst->crop_right = size_t(tw - src->width);
    dst->crop_bottom = size_t(th - src->height);
    av_frame_free(&src);
    return dst;
}

static bool audio_conv_ready(AudioConv *a, const AVFrame *src, int out_channels) {
    const int in_channels = src->ch_layout.nb_channels;
    if (a->configured && a->in_format == src->format && a->in_rate == src->sample_rate &&
        a->in_channels == in_channels && a->out_channels == out_channels)
        return true;
    swr_free(&a->swr);
    *a = AudioConv{};
    AVChannelLayout out_layout;
    av_channel_layout_default(&out_layout, out_channels);
    if (swr_alloc_set_opts2(&a->swr, &out_layout, AV_SAMPLE_FMT_S16, src->sample_rate, const_cast<AVChannelLayout *>(&src->ch_layout),
                            AVSampleFormat(src->format), src->sample_rate, 0, nullptr) < 0 ||
        swr_init(a->swr) < 0) {
        swr_free(&a->swr);
        return false;
    }
    a->in_format = src->format;
    a->in_rate = src->sample_rate;
    a->in_channels = in_channels;
    a->out_channels = out_channels;
    a->configured = 1;
    return true;
}

// Interleaved 16-bit output at the source rate; stereo when downmixing.
static AVFrame *convert_audio(const oppb_engine *e, oppb_stream *s, AVFrame *src) {
    const int in_channels = src->ch_layout.nb_channels;
    const bool downmix = e->cfg.downmix_to_stereo && in_channels != 2;
    if ((src->format == AV_SAMPLE_FMT_S16 && !downmix) || in_channels <= 0 || src->sample_rate <= 0) return src;
    const int out_channels = e->cfg.downmix_to_stereo ? 2 : in_channels;
    AudioConv *a = &s->aconv;
    if (!audio_conv_ready(a, src, out_channels)) return src;
    AVFrame *dst = av_frame_alloc();
    if (!dst) return src;
    dst->format = AV_SAMPLE_FMT_S16;
    dst->sample_rate = src->sample_rate;
    av_channel_layout_default(&dst->ch_layout, out_channels);
    int64_t cap = av_rescale_rnd(swr_get_delay(a->swr, src->sample_rate) + src->nb_samples, src->sample_rate,
                                 src->sample_rate, AV_ROUND_UP);
    if (cap <= 0) cap = src->nb_samples + 32;
    dst->nb_samples = int(cap);
    int got = -1;
    if (av_frame_get_buffer(dst, 0) >= 0 && av_frame_copy_props(dst, src) >= 0)
        got = swr_convert(a->swr, dst->data, int(cap), const_cast<const uint8_t **>(src->extended_data),
                          src->nb_samples);
    if (got < 0) {
        av_frame_free(&dst);
        return src;
    }
    dst->nb_samples = got;
    av_frame_free(&src);
    return dst;
}

// A frame in a hardware device's memory (other than a Direct3D 11 surface,
// which the renderer draws itself) is copied to system memory.
static AVFrame *to_system_memory(AVFrame *f) {
    if (!f->hw_frames_ctx || f->format == AV_PIX_FMT_D3D11) return f;
    AVFrame *sw = av_frame_alloc();
    if (!sw || av_hwframe_transfer_data(sw, f, 0) < 0 || av_frame_copy_props(sw, f) < 0) {
        av_frame_free(&sw);
        return f;
    }
    av_frame_free(&f);
    return sw;
}

static AVFrame *convert(const oppb_engine *e, oppb_stream *s, AVFrame *f) {
    f = to_system_memory(f);
    if (s->raw_output || f->format == AV_PIX_FMT_D3D11) return f;
    if (s->kind == KIND_VIDEO) return convert_video(e, s, f);
    if (s->kind == KIND_AUDIO) return convert_audio(e, s, f);
    return f;
}

// ---- pipeline ----

static bool delivers_frames(const oppb_stream *s) { return s->sample_mode == MODE_DECODED && s->ctx; }

static void send_eos(oppb_stream *s) {
    if (s->draining || !delivers_frames(s) || s->kind == KIND_SUBTITLE) return;
    avcodec_send_packet(s->ctx, nullptr);
    s->draining = 1;
}

int demux_step(oppb_engine *e) {
    if (deadline_expired(e)) {
        set_err(e, OPPB_ERR_TRANSPORT, "operation deadline exceeded");
        return OPPB_ERR_TRANSPORT;
    }
    if (!e->demux_packet && !(e->demux_packet = av_packet_alloc())) return set_oom(e);
    AVPacket *pkt = e->demux_packet;
    av_packet_unref(pkt);
    e->io_refused = 0;  // the side flag of the shims: cleared before the read, checked after
    if (const int r = av_read_frame(e->format, pkt); r < 0) {
        AVIOContext *pb = e->format->pb;
        const bool expired = deadline_expired(e);
        if (expired || e->io_refused) {
            // FFmpeg marks its reader at end of file after any failed read; a
            // deadline or an interrupt is not the end, so reading may resume.
            if (pb) pb->eof_reached = pb->error = 0;
            set_err(e, OPPB_ERR_TRANSPORT, expired ? "operation deadline exceeded" : "operation interrupted");
            return OPPB_ERR_TRANSPORT;
        }
        if (r == AVERROR_EOF || (pb && avio_feof(pb))) {
            for (int32_t i = 0; i < e->stream_count; i++) e->streams[i].eos = 1;
            e->end_of_input = 1;
        }
        return OPPB_END;
    }
    e->time.moved = 1;
    if (pkt->stream_index < 0 || pkt->stream_index >= e->stream_count) return OPPB_OK;
    oppb_stream *s = &e->streams[pkt->stream_index];
    if (!s->selected || s->eos) return OPPB_OK;
    const int32_t max_packets = e->cfg.queue_max_packets;
    bool keep = false;
    if (s->kind == KIND_VIDEO || s->kind == KIND_AUDIO)
        keep = s->packets.count < max_packets && (!delivers_frames(s) || s->frames.count < e->cfg.queue_max_frames);
    else if (s->kind == KIND_SUBTITLE)
        keep = s->packets.count < max_packets;
    if (!keep) return OPPB_OK;
    AVPacket *queued = av_packet_alloc();
    if (!queued) return set_oom(e);
    av_packet_move_ref(queued, pkt);
    if (!q_push(&s->packets, queued)) {
        av_packet_free(&queued);
        return set_oom(e);
    }
    return OPPB_OK;
}

int packet_pull(oppb_engine *e, oppb_stream *s, AVPacket **out) {
    for (int steps = 0;; steps++) {
        if (s->packets.count) {
            *out = q_pop(&s->packets);
            return OPPB_OK;
        }
        if (s->eos) {
            send_eos(s);
            return OPPB_END;
        }
        if (steps == PULL_BUDGET) return OPPB_END;
        if (const int r = demux_step(e); r < 0 && !s->packets.count) return r;
    }
}

static bool push_frame(oppb_stream *s, AVFrame *f) { return q_push(&s->frames, f); }

// Receives decoded frames into the queue (converted, then through the
// stream's filter graph) until it holds `limit`: 0, 1 when the decoder is
// drained, or -5. *received counts the frames taken from the decoder; a
// filter may swallow them or turn one into several.
static int receive_frames(oppb_engine *e, oppb_stream *s, int32_t limit, int32_t *received) {
    *received = 0;
    while (s->frames.count < limit) {
        AVFrame *f = av_frame_alloc();
        if (!f) return set_oom(e);
        if (const int r = avcodec_receive_frame(s->ctx, f); r < 0) {
            av_frame_free(&f);
            return r == AVERROR_EOF ? OPPB_END : OPPB_OK;
        }
        ++*received;
        if (const int r = filter_and_queue(e, s, convert(e, s, f), push_frame); r < 0) return r;
    }
    return OPPB_OK;
}

// Rule: a decoder that refuses a packet (EAGAIN) still holds frames the
// full queue did not take. They are received one at a time, past the queue
// limit, until the packet is accepted; the frame queue therefore holds at
// most queue_max_frames plus the frames the decoder had ready.
// Rule: a decoder that refuses the packet with nothing to hand over can
// never take it; that packet is skipped rather than retried for ever.
static int send_making_room(oppb_engine *e, oppb_stream *s, const AVPacket *pkt) {
    while (avcodec_send_packet(s->ctx, pkt) == AVERROR(EAGAIN)) {
        int32_t received = 0;
        if (const int r = receive_frames(e, s, s->frames.count + 1, &received); r < 0) return r;
        if (!received) break;  // the packet is skipped
    }
    return OPPB_OK;
}

static int decode_packet(oppb_engine *e, oppb_stream *s, const AVPacket *pkt) {
    if (const int r = send_making_room(e, s, pkt); r < 0) return r;
    int32_t received = 0;
    const int r = receive_frames(e, s, e->cfg.queue_max_frames, &received);
    return r < 0 ? r : OPPB_OK;
}

// Rule: a draining decoder releases all its delayed frames at once; taking
// them one per pull keeps the end of a stream from holding a queue of
// converted pictures (the peak memory of a whole file).
static int32_t receive_limit(const oppb_engine *e, const oppb_stream *s) {
    return s->draining ? 1 : e->cfg.queue_max_frames;
}

int frame_pull(oppb_engine *e, oppb_stream *s, AVFrame **out) {
    for (;;) {
        if (s->frames.count) {
            *out = q_pop(&s->frames);
            return OPPB_OK;
        }
        if (s->kind == KIND_SUBTITLE || !s->ctx) return OPPB_END;
        // Frames the decoder kept back while the queue was full come first.
        int32_t received = 0;
        int r = receive_frames(e, s, receive_limit(e, s), &received);
        if (r < 0) return r;
        if (s->frames.count || (received && r != OPPB_END)) continue;
        if (r == OPPB_END || s->draining) return OPPB_END;
        if (s->eos && !s->packets.count) {
            send_eos(s);
            continue;
        }
        AVPacket *pkt = nullptr;
        r = packet_pull(e, s, &pkt);
        if (r < 0) return r;
        if (r == OPPB_END) {
            if (s->draining) continue;
            return OPPB_END;
        }
        r = decode_packet(e, s, pkt);
        av_packet_free(&pkt);
        if (r < 0) return r;
    }
}

// ---- Annex B ----

static uint32_t be(const uint8_t *p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = v << 8 | p[i];
    return v;
}

static const uint8_t START_CODE[4] = {0, 0, 0, 1};

// Walks the parameter sets of an MP4-style decoder configuration record
// (avcC, or hvcC with its NAL arrays), writing each behind a start code when
// `out` is given. Returns the bytes they take; *length_size gets the NAL
// length size (0 when the record is too short to say).
static size_t param_sets(const uint8_t *x, int n, bool hevc, uint8_t *out, int *length_size) {
    size_t total = 0;
    int pos = 0;
    auto entry = [&]() {
        if (pos + 2 > n) return false;
        const int len = int(be(x + pos, 2));
        if (pos + 2 + len > n) return false;
        if (out) {
            memcpy(out + total, START_CODE, 4);
            memcpy(out + total + 4, x + pos + 2, size_t(len));
        }
        total += 4 + size_t(len);
        pos += 2 + len;
        return true;
    };
    *length_size = 0;
    if (hevc) {
        if (n < 23) return 0;
        *length_size = (x[21] & 3) + 1;
        const int arrays = x[22];
        pos = 23;
        for (int a = 0; a < arrays && pos + 3 <= n; a++) {
            const int count = int(be(x + pos + 1, 2));
            pos += 3;
            for (int i = 0; i < count; i++)
                if (!entry()) return total;
        }
        return total;
    }
    if (n <= 7) return 0;
    *length_size = (x[4] & 3) + 1;
    pos = 6;
    for (int i = 0, sps = x[5] & 0x1F; i < sps; i++)
        if (!entry()) break;
    if (pos >= n) return total;
    for (int i = 0, pps = x[pos++]; i < pps; i++)
        if (!entry()) break;
    return total;
}

bool annexb_convert(oppb_stream *s, const AVPacket *pkt, const uint8_t **data, size_t *size) {
    const AVCodecParameters *par = s->stream->codecpar;
    const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
    // Only MP4-style extradata (configuration version 1) means length-prefixed
    // NAL units; Annex B input (MPEG-TS, raw streams) passes through.
    if (par->extradata_size < 1 || par->extradata[0] != 1 || !pkt->data) return false;
    int length_size = 0;
    const size_t ps_bytes = s->ps_sent ? 0 : param_sets(par->extradata, par->extradata_size, hevc, nullptr, &length_size);
    if (!s->ps_sent) s->nal_length_size = length_size;
    const int ls = s->nal_length_size > 0 ? s->nal_length_size : 4;
    // First pass: how many NAL units, and the room they need.
    const size_t n = size_t(pkt->size);
    size_t pos = 0, units = 0, payload = 0;
    while (pos + size_t(ls) <= n) {
        const size_t len = be(pkt->data + pos, ls);
        if (len > n - pos - size_t(ls)) break;
        units++;
        payload += len;
        pos += size_t(ls) + len;
    }
    if (!units) return false;
    const size_t need = ps_bytes + units * 4 + payload;
    if (need > s->annexb_cap) {
        size_t cap = s->annexb_cap ? s->annexb_cap : 1024;
        while (cap < need) cap *= 2;
        auto *grown = static_cast<uint8_t *>(xrealloc(s->annexb, cap));
        if (!grown) return false;
        s->annexb = grown;
        s->annexb_cap = cap;
    }
    uint8_t *o = s->annexb;
    if (!s->ps_sent) o += param_sets(par->extradata, par->extradata_size, hevc, o, &length_size);
    pos = 0;
    for (size_t u = 0; u < units; u++) {
        const size_t len = be(pkt->data + pos, ls);
        memcpy(o, START_CODE, 4);
        memcpy(o + 4, pkt->data + pos + size_t(ls), len);
        o += 4 + len;
        pos += size_t(ls) + len;
    }
    s->ps_sent = 1;
    *data = s->annexb;
    *size = size_t(o - s->annexb);
    return true;
}

// ---- delivery records ----

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

// A frame without a timestamp (the last frames from a draining decoder of
// AVI with B-frames) follows the previous one: its time plus its duration,
// else one frame period.
static int64_t frame_period(const oppb_stream *s) {
    const AVRational rate = s->stream->avg_frame_rate.num ? s->stream->avg_frame_rate : s->stream->r_frame_rate;
    return rate.num > 0 && rate.den > 0 ? int64_t(double(rate.den) * 1e7 / double(rate.num)) : 0;
}

int deliver_frame(oppb_engine *e, oppb_stream *s, oppb_sample *out) {
    AVFrame *f = nullptr;
    if (const int r = frame_pull(e, s, &f); r != OPPB_OK) return r;
    const AVRational tb = s->stream->time_base;
    const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    const int64_t duration = frame_duration(f);
    out->stream = s->index;
    if (ts != AV_NOPTS_VALUE) out->pts = to_ticks(ts, tb) - s->start_offset;
    else out->pts = s->next_pts != NO_TIME ? s->next_pts : -s->start_offset;
    out->duration = duration > 0 ? to_ticks(duration, tb) : 0;
    out->key = frame_is_key(f);
    if (s->kind == KIND_VIDEO) {
        if (f->format == AV_PIX_FMT_D3D11) hw_describe_surface(e, f, out);
        else fill_video(out, f);
        e->time.position = out->pts;
    } else {
        fill_audio(out, f);
    }
    s->next_pts = out->pts + (out->duration > 0 ? out->duration : frame_period(s));
    av_frame_free(&s->frame_out);
    s->frame_out = f;
    return OPPB_OK;
}

int deliver_packet(oppb_engine *e, oppb_stream *s, oppb_sample *out) {
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
    e->time.position = out->pts;
    return OPPB_OK;
}

