// Seeking: the plain seek to the key frame nearest the target, and the fast
// seek that makes a forward seek really move forward and reports where it
// landed. Both flush every stream.
#include <climits>

#include "oppb_internal.h"

// Half-open tick values become stream units of the reference stream, counted
// from the container's own timeline (the stream's start offset added back).
static int64_t to_units(int64_t ticks, AVRational tb) {
    return int64_t(double(ticks) / 1e7 / (double(tb.num) / double(tb.den)));
}

static void flush_all(oppb_engine *e) {
    for (int32_t i = 0; i < e->stream_count; i++) stream_flush(&e->streams[i]);
    e->end_of_input = 0;
}

// Seeks the main demuxer and, when that worked, everything that follows it.
static int seek_window(oppb_engine *e, const oppb_stream *ref, int64_t min, int64_t at, int64_t max, int64_t target) {
    e->io_refused = 0;
    const int r = avformat_seek_file(e->format, ref->index, min, at, max, 0);
    if (r < 0) {
        // A refused read is no end of the source: reading may go on.
        if (e->io_refused && e->format->pb) e->format->pb->eof_reached = e->format->pb->error = 0;
        return r;
    }
    flush_all(e);
    subtitle_seek_external(e, target);
    return 0;
}

// Pulls the reference stream's first key packet and puts it back: its time
// in ticks relative to the stream start, or `fallback` when none came or it
// has no timestamp; false when the pull failed. Sources without an index
// (MPEG-TS) land between key frames; the packets before the next key frame
// would not decode and are dropped.
static bool landing(oppb_engine *e, oppb_stream *ref, int64_t fallback, int64_t *landed) {
    *landed = fallback;
    for (int skipped = 0; skipped < PULL_BUDGET; skipped++) {
        AVPacket *pkt = nullptr;
        const int r = packet_pull(e, ref, &pkt);
        if (r < 0) return false;
        if (r != OPPB_OK) return true;
        if (!(pkt->flags & AV_PKT_FLAG_KEY)) {
            av_packet_free(&pkt);
            continue;
        }
        if (pkt->pts != AV_NOPTS_VALUE) *landed = to_ticks(pkt->pts, ref->stream->time_base) - ref->start_offset;
        if (!packet_unpull(ref, pkt, e->cfg.queue_max_packets + 4)) av_packet_free(&pkt);
        return true;
    }
    return true;
}

// The forward guarantee: a forward seek lands at least a fifth of the way
// from the position to the target, retrying up to ten times 50 ms later.
static bool fast_seek(oppb_engine *e, oppb_stream *ref, int64_t target, int64_t *landed) {
    const AVRational tb = ref->stream->time_base;
    const int64_t from = e->time.position;
    const int64_t mark = from + int64_t(double(target - from) * 0.2);
    const bool forward = from <= target;
    const int64_t offset = ref->start_offset;
    int64_t min = forward ? to_units(mark + offset, tb) : INT64_MIN;
    const int64_t max = forward ? INT64_MAX : to_units(mark + offset, tb);
    int64_t at = to_units(target + offset, tb);
    if (seek_window(e, ref, min, at, max, target) < 0) return false;
    int64_t l = target;
    if (!landing(e, ref, target, &l)) {
        *landed = l;
        return true;
    }
    const int64_t step = to_units(500000, tb);  // 50 ms
    for (int attempt = 0; forward && l < mark && attempt < 10; attempt++) {
        min += step;
        at += step;
        if (seek_window(e, ref, min, at, INT64_MAX, target) < 0 || !landing(e, ref, l, &l)) break;
    }
    *landed = l;
    return true;
}

int seek_to(oppb_engine *e, int64_t target, bool fast, int64_t *landed) {
    const int32_t index = e->sel.video >= 0 && e->sel.video < e->stream_count ? e->sel.video : e->sel.audio;
    if (index < 0 || index >= e->stream_count) {
        set_err(e, OPPB_ERR_STATE, "no selected stream");
        return OPPB_ERR_STATE;
    }
    oppb_stream *ref = &e->streams[index];
    // Where nothing moved since the last seek (or open), the demuxer is
    // already there. The position alone does not say so: it follows only
    // video and packets.
    if (target == e->time.position && !e->time.moved) {
        *landed = target;
        return OPPB_OK;
    }
    if (!tb_valid(ref->stream->time_base)) {
        set_err(e, OPPB_ERR_SEEK, "avformat_seek_file failed");
        return OPPB_ERR_SEEK;
    }
    int64_t l = target;
    if (!(fast && e->cfg.fast_seek && fast_seek(e, ref, target, &l))) {
        const int64_t at = to_units(target + ref->start_offset, ref->stream->time_base);
        if (seek_window(e, ref, INT64_MIN, at, INT64_MAX, target) < 0) {
            set_err(e, OPPB_ERR_SEEK, "avformat_seek_file failed");
            return OPPB_ERR_SEEK;
        }
        l = target;
    }
    e->time.position = l;
    e->time.moved = 0;
    *landed = l;
    return OPPB_OK;
}

static int32_t seek_export(oppb_engine *e, int64_t target, int64_t *landed, bool fast) {
    if (!e) return OPPB_ERR_ARG;
    if (e->closed) return OPPB_ERR_CLOSED;
    if (e->deadline.timeout_ms > 0) arm_deadline(e);
    int64_t l = 0;
    const int r = seek_to(e, target, fast, &l);
    if (r == OPPB_OK && landed) *landed = l;
    return r;
}

extern "C" {

int32_t oppb_seek(oppb_engine *e, int64_t target, int64_t *landed) { return seek_export(e, target, landed, false); }

int32_t oppb_seek_fast(oppb_engine *e, int64_t target, int64_t *landed) {
    return seek_export(e, target, landed, true);
}

}  // extern "C"
