// Frame grabs: one video frame at a time as BGRA pixels, or written as a PNG
// (the engine's own writer, stored deflate blocks) or a BMP file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "oppb_compat.h"
#include "oppb_internal.h"

// Frames a grab decodes looking for its target.
enum { GRAB_MAX_FRAMES = 4000 };

// ---- image files ----

static uint32_t crc32_tab[256];
static bool crc32_ready;

static uint32_t crc32_of(uint32_t crc, const uint8_t *p, size_t n) {
    if (!crc32_ready) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            crc32_tab[i] = c;
        }
        crc32_ready = true;
    }
    for (size_t i = 0; i < n; i++) crc = crc32_tab[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

static void put_be32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

static void put_le(uint8_t *p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) p[i] = uint8_t(v >> (8 * i));
}

struct File {
    FILE *f;
    bool ok = true;
    void write(const void *p, size_t n) { ok = ok && fwrite(p, 1, n, f) == n; }
};

static void png_chunk(File *out, const char *type, const uint8_t *data, size_t n) {
    uint8_t head[8];
    put_be32(head, uint32_t(n));
    memcpy(head + 4, type, 4);
    uint32_t crc = crc32_of(0xFFFFFFFFu, head + 4, 4);
    crc = crc32_of(crc, data, n) ^ 0xFFFFFFFFu;
    uint8_t tail[4];
    put_be32(tail, crc);
    out->write(head, 8);
    if (n) out->write(data, n);
    out->write(tail, 4);
}

// The zlib stream of the image's rows (filter byte 0, then R, G, B, A) in
// stored blocks; NULL when memory runs out.
static uint8_t *png_zlib(const uint8_t *bgra, int w, int h, int stride, size_t *size) {
    const size_t row = size_t(w) * 4 + 1, raw = size_t(h) * row;
    auto *z = static_cast<uint8_t *>(xmalloc(raw + raw / 65535 * 5 + 64));
    if (!z) return nullptr;
    size_t o = 0;
    z[o++] = 0x78;
    z[o++] = 0x01;
    uint32_t a = 1, b = 0;
    size_t in_block = 0, left = raw;
    for (int y = 0; y < h; y++) {
        for (size_t x = 0; x < row; x++) {
            if (!in_block) {
                const size_t len = left < 65535 ? left : 65535;
                z[o] = len == left;
                put_le(z + o + 1, uint32_t(len), 2);
                put_le(z + o + 3, uint32_t(~len & 0xFFFF), 2);
                o += 5;
                in_block = len;
            }
            const uint8_t *px = bgra + size_t(y) * size_t(stride) + (x ? (x - 1) / 4 * 4 : 0);
            const size_t c = x ? (x - 1) % 4 : 0;
            const uint8_t v = x == 0 ? 0 : c == 0 ? px[2] : c == 1 ? px[1] : c == 2 ? px[0] : px[3];
            z[o++] = v;
            a = (a + v) % 65521;
            b = (b + a) % 65521;
            in_block--;
            left--;
        }
    }
    put_be32(z + o, b << 16 | a);
    *size = o + 4;
    return z;
}

static int write_png(File *out, const uint8_t *bgra, int w, int h, int stride) {
    size_t zsize = 0;
    uint8_t *z = png_zlib(bgra, w, h, stride, &zsize);
    if (!z) return OPPB_ERR_NOMEM;
    static const uint8_t SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out->write(SIGNATURE, 8);
    uint8_t ihdr[13] = {};
    put_be32(ihdr, uint32_t(w));
    put_be32(ihdr + 4, uint32_t(h));
    ihdr[8] = 8;
    ihdr[9] = 6;
    png_chunk(out, "IHDR", ihdr, 13);
    png_chunk(out, "IDAT", z, zsize);
    png_chunk(out, "IEND", nullptr, 0);
    xfree(z);
    return OPPB_OK;
}

static void write_bmp(File *out, const uint8_t *bgra, int w, int h, int stride) {
    uint8_t head[54] = {'B', 'M'};
    const uint32_t image = uint32_t(w) * 4 * uint32_t(h);
    put_le(head + 2, 54 + image, 4);
    put_le(head + 10, 54, 4);
    put_le(head + 14, 40, 4);
    put_le(head + 18, uint32_t(w), 4);
    put_le(head + 22, uint32_t(h), 4);
    put_le(head + 26, 1, 2);
    put_le(head + 28, 32, 2);
    put_le(head + 34, image, 4);
    put_le(head + 38, 2835, 4);
    put_le(head + 42, 2835, 4);
    out->write(head, sizeof head);
    for (int y = h - 1; y >= 0; y--) out->write(bgra + size_t(y) * size_t(stride), size_t(w) * 4);
}

// 0, -6 the file cannot be created, -5 out of memory, -11 a write failed.
int image_write(const char *path, const uint8_t *bgra, int w, int h, int stride) {
    const char *dot = strrchr(path, '.');
    const bool bmp = dot && (strcmp(dot, ".bmp") == 0 || strcmp(dot, ".BMP") == 0);
    File out{fopen(path, "wb")};
    if (!out.f) return OPPB_ERR_NOT_FOUND;
    int r = OPPB_OK;
    if (bmp) write_bmp(&out, bgra, w, h, stride);
    else r = write_png(&out, bgra, w, h, stride);
    if (fclose(out.f) != 0) out.ok = false;
    return r < 0 ? r : out.ok ? OPPB_OK : OPPB_ERR_IO;
}

// ---- grabbing ----

static int64_t frame_start(const oppb_stream *s, const AVFrame *f) {
    const AVRational tb = s->stream->time_base;
    const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    return (ts != AV_NOPTS_VALUE && tb_valid(tb) ? to_ticks(ts, tb) : 0) - s->start_offset;
}

// The decoded frame at `target` (the decoder's own picture, not the
// delivery conversion): 0, 1 none, negative error.
static int grab_decoded(oppb_engine *e, oppb_stream *s, int64_t target, AVFrame **out) {
    for (int n = 0; n < GRAB_MAX_FRAMES; n++) {
        AVFrame *f = nullptr;
        if (const int r = frame_pull(e, s, &f); r != OPPB_OK) return r < 0 ? r : OPPB_END;
        const int64_t start = frame_start(s, f);
        const int64_t duration = frame_duration(f);
        const int64_t end = duration > 0 && tb_valid(s->stream->time_base) ? start + to_ticks(duration, s->stream->time_base) : start;
        if ((end > start ? end : start) >= target) {
            *out = f;
            return OPPB_OK;
        }
        av_frame_free(&f);
    }
    return OPPB_END;
}

static int to_bgra(const AVFrame *f, int32_t *w, int32_t *h, int32_t *stride, uint8_t **pixels) {
    SwsContext *sws = sws_getContext(f->width, f->height, AVPixelFormat(f->format), f->width, f->height,
                                     AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    AVFrame *bgra = av_frame_alloc();
    int r = OPPB_ERR_NOMEM;
    if (sws && bgra) {
        bgra->format = AV_PIX_FMT_BGRA;
        bgra->width = f->width;
        bgra->height = f->height;
        if (av_frame_get_buffer(bgra, 32) >= 0 &&
            sws_scale(sws, f->data, f->linesize, 0, f->height, bgra->data, bgra->linesize) > 0) {
            const size_t bytes = size_t(bgra->linesize[0]) * size_t(f->height);
            // The caller frees the picture with free().
            if ((*pixels = static_cast<uint8_t *>(malloc(bytes)))) {
                memcpy(*pixels, bgra->data[0], bytes);
                *w = f->width;
                *h = f->height;
                *stride = bgra->linesize[0];
                r = OPPB_OK;
            }
        }
    }
    av_frame_free(&bgra);
    sws_freeContext(sws);
    return r;
}

static int grab(oppb_engine *e, int64_t target, int32_t exact, int32_t *w, int32_t *h, int32_t *stride,
                uint8_t **pixels) {
    if (e->closed) return OPPB_ERR_CLOSED;
    if (e->sel.video < 0 || e->sel.video >= e->stream_count || e->streams[e->sel.video].kind != KIND_VIDEO) {
        set_err(e, OPPB_ERR_STATE, "no video stream");
        return OPPB_ERR_STATE;
    }
    int64_t landed = 0;
    if (const int r = seek_to(e, target, !exact, &landed); r < 0) return r;
    oppb_stream *s = &e->streams[e->sel.video];
    if (s->sample_mode != MODE_DECODED || !s->ctx) return OPPB_END;
    const int32_t raw = s->raw_output;
    s->raw_output = 1;
    AVFrame *f = nullptr;
    int r = grab_decoded(e, s, target, &f);
    s->raw_output = raw;
    // Frames queued while grabbing skipped the delivery conversion.
    stream_drop_frames(s);
    if (r == OPPB_OK) {
        r = to_bgra(f, w, h, stride, pixels);
        av_frame_free(&f);
    }
    return r;
}

extern "C" {

int32_t oppb_grab_frame(oppb_engine *e, int64_t target, int32_t exact, int32_t *width, int32_t *height,
                        int32_t *stride, uint8_t **pixels) {
    if (!e || !width || !height || !stride || !pixels) return OPPB_ERR_ARG;
    return grab(e, target, exact, width, height, stride, pixels);
}

int32_t oppb_grab_frame_to_file(oppb_engine *e, int64_t target, int32_t exact, const char *path) {
    if (!e || !path) return OPPB_ERR_ARG;
    int32_t w = 0, h = 0, stride = 0;
    uint8_t *pixels = nullptr;
    const int r = grab(e, target, exact, &w, &h, &stride, &pixels);
    if (r != OPPB_OK) return r;
    const int written = image_write(path, pixels, w, h, stride);
    free(pixels);
    return written;
}

}  // extern "C"
