// Filter graphs in the decode path: one video and one audio graph per
// handle, built from the caller's text on the first frame that reaches them
// and rebuilt when the frames change shape.
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include "oppb_internal.h"

// Frames a graph may queue beyond the stream's own bound (one input frame
// can become several: fps up-conversion); further outputs are dropped.
enum { FILTER_EXTRA_FRAMES = 16 };

static void graph_free(oppb_filter *f) {
    avfilter_graph_free(&f->graph);
    f->src = f->sink = nullptr;
    f->configured = 0;
    f->format = -1;
}

void filter_free(oppb_filter **slot) {
    if (!*slot) return;
    graph_free(*slot);
    xfree((*slot)->text);
    xfree(*slot);
    *slot = nullptr;
}

static int set_filter(oppb_engine *e, oppb_filter **slot, const char *text) {
    if (!e) return OPPB_ERR_ARG;
    filter_free(slot);
    if (!text || !*text) return OPPB_OK;
    auto *f = static_cast<oppb_filter *>(xcalloc(1, sizeof(oppb_filter)));
    if (!f || !(f->text = xstrdup(text))) {
        xfree(f);
        return OPPB_ERR_NOMEM;
    }
    f->format = -1;
    *slot = f;
    return OPPB_OK;
}

static bool same_shape(const oppb_filter *f, const AVFrame *frame, bool video, const char *layout) {
    if (f->format != frame->format) return false;
    if (video) return f->width == frame->width && f->height == frame->height;
    return f->rate == frame->sample_rate && strcmp(f->layout, layout) == 0;
}

// Builds the graph "in" -> caller's text -> "out"; false leaves it unconfigured.
static bool graph_build(oppb_filter *f, const AVFrame *frame, AVRational tb, bool video, const char *layout) {
    graph_free(f);
    if (!(f->graph = avfilter_graph_alloc())) return false;
    char args[512];
    // Decoders here leave the frame's time base unset: the stream's is the one
    // its timestamps are in.
    const AVRational t = {tb.num ? tb.num : 1, tb.den ? tb.den : 25};
    if (video) {
        const AVRational sar = frame->sample_aspect_ratio;
        snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", frame->width,
                 frame->height, frame->format, t.num, t.den, sar.num ? sar.num : 1, sar.den ? sar.den : 1);
    } else {
        snprintf(args, sizeof args, "sample_rate=%d:sample_fmt=%d:channel_layout=%s:time_base=%d/%d",
                 frame->sample_rate, frame->format, layout, t.num, t.den);
    }
    AVFilterInOut *outputs = avfilter_inout_alloc(), *inputs = avfilter_inout_alloc();
    bool ok = outputs && inputs &&
              avfilter_graph_create_filter(&f->src, avfilter_get_by_name(video ? "buffer" : "abuffer"), "in", args,
                                           nullptr, f->graph) >= 0 &&
              avfilter_graph_create_filter(&f->sink, avfilter_get_by_name(video ? "buffersink" : "abuffersink"),
                                           "out", nullptr, nullptr, f->graph) >= 0;
    if (ok) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = f->src;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = f->sink;
        ok = outputs->name && inputs->name && avfilter_graph_parse_ptr(f->graph, f->text, &inputs, &outputs, nullptr) >= 0 &&
             avfilter_graph_config(f->graph, nullptr) >= 0;
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    f->format = frame->format;
    f->width = frame->width;
    f->height = frame->height;
    f->rate = frame->sample_rate;
    snprintf(f->layout, sizeof f->layout, "%s", layout);
    if (!ok) {
        avfilter_graph_free(&f->graph);
        f->src = f->sink = nullptr;
        f->failed = 1;
        return false;
    }
    f->configured = 1;
    f->failed = 0;
    return true;
}

int filter_and_queue(oppb_engine *e, oppb_stream *s, AVFrame *frame, bool (*push)(oppb_stream *, AVFrame *)) {
    const bool video = s->kind == KIND_VIDEO;
    oppb_filter *f = s->raw_output ? nullptr : video ? e->vfilter : s->kind == KIND_AUDIO ? e->afilter : nullptr;
    char layout[128] = "";
    if (f && !video && av_channel_layout_describe(&frame->ch_layout, layout, sizeof layout) < 0) layout[0] = '\0';
    // An unusable text never stops decoding: frames pass unfiltered, and the
    // build is tried again when the frames change shape.
    const bool ready = f && same_shape(f, frame, video, layout) ? f->configured
                       : f                                      ? graph_build(f, frame, s->stream->time_base, video, layout)
                                                                : false;
    if (!ready) {
        if (push(s, frame)) return OPPB_OK;
        av_frame_free(&frame);
        return set_oom(e);
    }
    const int added = av_buffersrc_add_frame_flags(f->src, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (added < 0) {
        if (push(s, frame)) return OPPB_OK;
        av_frame_free(&frame);
        return set_oom(e);
    }
    av_frame_free(&frame);
    // Every output the frame produced, in order: a graph that holds frames
    // back (fps) or multiplies them must not lose or pile them up.
    const AVRational sink_tb = av_buffersink_get_time_base(f->sink);
    const int32_t bound = e->cfg.queue_max_frames + FILTER_EXTRA_FRAMES;
    for (;;) {
        AVFrame *out = av_frame_alloc();
        if (!out) return set_oom(e);
        if (av_buffersink_get_frame(f->sink, out) < 0) {
            av_frame_free(&out);
            return OPPB_OK;
        }
        if (out->pts != AV_NOPTS_VALUE) out->pts = av_rescale_q(out->pts, sink_tb, s->stream->time_base);
        out->best_effort_timestamp = out->pts;
        if (s->frames.count >= bound || !push(s, out)) av_frame_free(&out);
    }
}

extern "C" {

int32_t oppb_set_video_filter(oppb_engine *e, const char *graph) { return e ? set_filter(e, &e->vfilter, graph) : OPPB_ERR_ARG; }

int32_t oppb_set_audio_filter(oppb_engine *e, const char *graph) { return e ? set_filter(e, &e->afilter, graph) : OPPB_ERR_ARG; }

}  // extern "C"
