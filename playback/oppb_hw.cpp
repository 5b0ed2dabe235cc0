// Hardware decoding: the caller's Direct3D 11 device wrapped for FFmpeg's
// decoders, the event queries that tell a renderer when a surface is ready,
// and, on other platforms, a generic FFmpeg hardware device (VAAPI, CUDA)
// chosen by the configuration. Every failure falls back to software.
#include <cstring>

#include "oppb_hw.h"
#include "oppb_internal.h"

#if defined(_WIN32)
#define COBJMACROS
#include <d3d11.h>
extern "C" {
#include <libavutil/hwcontext_d3d11va.h>
}

static void d3d_add_ref(void *object) { static_cast<IUnknown *>(object)->AddRef(); }
static void d3d_release(void *object) { static_cast<IUnknown *>(object)->Release(); }

static void *d3d_create_query(void *device) {
    D3D11_QUERY_DESC desc = {D3D11_QUERY_EVENT, 0};
    ID3D11Query *query = nullptr;
    return SUCCEEDED(static_cast<ID3D11Device *>(device)->CreateQuery(&desc, &query)) ? query : nullptr;
}

static void d3d_end_query(void *context, void *query) {
    static_cast<ID3D11DeviceContext *>(context)->End(static_cast<ID3D11Query *>(query));
}

static int d3d_wrap(AVBufferRef **ref, void *device, void *context) {
    *ref = av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_D3D11VA);
    if (!*ref) return AVERROR(ENOMEM);
    auto *hw = static_cast<AVD3D11VADeviceContext *>(reinterpret_cast<AVHWDeviceContext *>((*ref)->data)->hwctx);
    d3d_add_ref(device);
    hw->device = static_cast<ID3D11Device *>(device);
    if (context) {
        d3d_add_ref(context);
        hw->device_context = static_cast<ID3D11DeviceContext *>(context);
    }
    const int r = av_hwdevice_ctx_init(*ref);
    if (r < 0) av_buffer_unref(ref);
    return r;
}

static const oppb_hw_ops PLATFORM_OPS = {AV_HWDEVICE_TYPE_D3D11VA, d3d_add_ref, d3d_release, d3d_create_query,
                                         d3d_end_query, d3d_wrap};
static const oppb_hw_ops *g_ops = &PLATFORM_OPS;
const oppb_hw_ops *hw_ops() { return g_ops; }
void hw_ops_use(const oppb_hw_ops *ops) { g_ops = ops ? ops : &PLATFORM_OPS; }
#else
// No Direct3D 11 here: a device handed over is never usable.
static const oppb_hw_ops *g_ops;
const oppb_hw_ops *hw_ops() { return g_ops; }
void hw_ops_use(const oppb_hw_ops *ops) { g_ops = ops; }
#endif

// ---- the caller's device ----

static void release_queries(oppb_engine *e) {
    const oppb_hw_ops *ops = hw_ops();
    for (int32_t i = 0; i < e->hw.query_count; i++)
        if (e->hw.queries[i] && ops) ops->release(e->hw.queries[i]);
    xfree(e->hw.queries);
    e->hw.queries = nullptr;
    e->hw.query_count = 0;
}

void hw_release(oppb_engine *e) {
    release_queries(e);
    e->hw.pool = 0;
    av_buffer_unref(&e->hw.device_ref);
}

// The FFmpeg device for the handle's decoders: the caller's device wrapped,
// or a generic device by name; NULL when not available.
static AVBufferRef *hw_device(oppb_engine *e, AVHWDeviceType *type) {
    const oppb_hw_ops *ops = hw_ops();
    if (e->hw.device) {
        if (!ops) return nullptr;
        *type = ops->type;
        if (!e->hw.device_ref && ops->wrap(&e->hw.device_ref, e->hw.device, e->hw.context) < 0) return nullptr;
        return e->hw.device_ref;
    }
    if (!e->cfg.hardware_device[0]) return nullptr;
    *type = av_hwdevice_find_type_by_name(e->cfg.hardware_device);
    if (*type == AV_HWDEVICE_TYPE_NONE) return nullptr;
    if (!e->hw.device_ref && av_hwdevice_ctx_create(&e->hw.device_ref, *type, nullptr, nullptr, 0) < 0) return nullptr;
    return e->hw.device_ref;
}

static const AVCodecHWConfig *hw_config(const AVCodec *codec, AVHWDeviceType type) {
    for (int i = 0;; i++) {
        const AVCodecHWConfig *c = avcodec_get_hw_config(codec, i);
        if (!c) return nullptr;
        if ((c->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) && c->device_type == type) return c;
    }
}

bool hw_wanted(const oppb_engine *e, const oppb_stream *s) {
    return s->kind == KIND_VIDEO && s->hw_eligible && (e->cfg.decoder_mode == 0 || e->cfg.decoder_mode == 1) &&
           (e->hw.device || e->cfg.hardware_device[0]);
}

AVCodecContext *hw_open_decoder(oppb_engine *e, oppb_stream *s, int threads) {
    s->hw_state = HW_UNAVAILABLE;
    AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
    AVBufferRef *device = hw_device(e, &type);
    const AVCodecHWConfig *config = device ? hw_config(s->codec, type) : nullptr;
    if (!config) return nullptr;
    e->hw.pool = 1;
    AVCodecContext *ctx = avcodec_alloc_context3(s->codec);
    if (!ctx) return nullptr;
    ctx->pkt_timebase = s->stream->time_base;
    ctx->thread_count = threads;
    if (avcodec_parameters_to_context(ctx, s->stream->codecpar) < 0 || !(ctx->hw_device_ctx = av_buffer_ref(device))) {
        avcodec_free_context(&ctx);
        return nullptr;
    }
    ctx->pix_fmt = config->pix_fmt;
    if (avcodec_open2(ctx, s->codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        release_queries(e);
        return nullptr;
    }
    s->hw_state = HW_ACTIVE;
    s->decode_path = e->hw.device ? PATH_D3D11 : PATH_HWDEVICE;
    return ctx;
}

void hw_describe_surface(oppb_engine *e, const AVFrame *f, oppb_sample *out) {
    out->pixel_format = -1;
    out->width = f->width;
    out->height = f->height;
    out->texture = f->data[0];
    out->texture_index = int32_t(reinterpret_cast<intptr_t>(f->data[1]));
    const oppb_hw_ops *ops = hw_ops();
    const int32_t slice = out->texture_index;
    if (!e->hw.pool || !e->hw.context || !ops || slice < 0) return;
    if (slice >= e->hw.query_count) {
        const int32_t count = slice + 5;
        auto *grown = static_cast<void **>(xrealloc(e->hw.queries, sizeof(void *) * size_t(count)));
        if (!grown) return;
        for (int32_t i = e->hw.query_count; i < count; i++) grown[i] = ops->create_query(e->hw.device);
        e->hw.queries = grown;
        e->hw.query_count = count;
    }
    if (void *query = e->hw.queries[slice]) {
        ops->end_query(e->hw.context, query);
        out->ready_query = query;
    }
}

extern "C" {

// Streams are set up while opening, before a device can be given: giving one
// sets up the eligible video streams again on the hardware path.
int32_t oppb_set_d3d11_device(oppb_engine *e, void *device, void *context) {
    if (!e) return OPPB_ERR_ARG;
    hw_release(e);
    e->hw.device = device;
    e->hw.context = context;
    if (!device || e->closed) return OPPB_OK;
    for (int32_t i = 0; i < e->stream_count; i++) {
        oppb_stream *s = &e->streams[i];
        if (!s->ctx || s->decode_path != PATH_SOFTWARE || !hw_wanted(e, s)) continue;
        stream_flush(s);
        const int threads = e->cfg.video_max_decoder_threads;
        AVCodecContext *ctx = hw_open_decoder(e, s, threads);
        if (!ctx) continue;  // stays on its software decoder
        avcodec_free_context(&s->ctx);
        s->ctx = ctx;
    }
    return OPPB_OK;
}

}  // extern "C"
