#include "frame_convert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace shell {
namespace {

// Rows of the 16-bit formats are reduced to 8 bits in chunks of this many pixels.
constexpr int CHUNK = 512;

uint8_t clamp8(int value) { return uint8_t(std::clamp(value, 0, 255)); }

void put_pixel(uint8_t *out, int y, int u, int v) {
    int c = y < 16 ? 0 : 298 * (y - 16);
    u -= 128;
    v -= 128;
    out[0] = clamp8((c + 541 * u + 128) >> 8);
    out[1] = clamp8((c - 55 * u - 136 * v + 128) >> 8);
    out[2] = clamp8((c + 459 * v + 128) >> 8);
    out[3] = 255;
}

#if defined(__SSE2__)
// Two 16-bit factors side by side in every 32-bit lane, for _mm_madd_epi16.
__m128i factor_pair(int16_t low, int16_t high) {
    return _mm_set1_epi32(int32_t(uint32_t(uint16_t(high)) << 16 | uint16_t(low)));
}

// Eight pixels from eight luma samples and four chroma pairs (U, V, U, V, ...
// as 16-bit values minus 128); the same integer formula as put_pixel.
void put_eight(uint8_t *out, __m128i luma8, __m128i chroma16) {
    const __m128i zero = _mm_setzero_si128();
    __m128i y = _mm_unpacklo_epi8(_mm_subs_epu8(luma8, _mm_set1_epi8(16)), zero);
    __m128i u_low = _mm_slli_epi32(chroma16, 16);
    __m128i u = _mm_or_si128(u_low, _mm_srli_epi32(u_low, 16));  // u0 u0 u1 u1 ...
    __m128i v = _mm_or_si128(_mm_and_si128(chroma16, _mm_set1_epi32(int32_t(0xFFFF0000u))),
                             _mm_srli_epi32(chroma16, 16));  // v0 v0 v1 v1 ...
    const __m128i round = _mm_set1_epi32(128);
    auto channel = [&](__m128i first, __m128i second) {
        return _mm_packus_epi16(_mm_packs_epi32(_mm_srai_epi32(first, 8), _mm_srai_epi32(second, 8)), zero);
    };
    __m128i yu_low = _mm_unpacklo_epi16(y, u), yu_high = _mm_unpackhi_epi16(y, u);
    __m128i yv_low = _mm_unpacklo_epi16(y, v), yv_high = _mm_unpackhi_epi16(y, v);
    __m128i ones = _mm_set1_epi16(1);
    __m128i v1_low = _mm_unpacklo_epi16(v, ones), v1_high = _mm_unpackhi_epi16(v, ones);
    __m128i kb = factor_pair(298, 541), kr = factor_pair(298, 459), kg = factor_pair(298, -55),
            kgv = factor_pair(-136, 128);
    __m128i b = channel(_mm_add_epi32(_mm_madd_epi16(yu_low, kb), round),
                        _mm_add_epi32(_mm_madd_epi16(yu_high, kb), round));
    __m128i r = channel(_mm_add_epi32(_mm_madd_epi16(yv_low, kr), round),
                        _mm_add_epi32(_mm_madd_epi16(yv_high, kr), round));
    __m128i g = channel(_mm_add_epi32(_mm_madd_epi16(yu_low, kg), _mm_madd_epi16(v1_low, kgv)),
                        _mm_add_epi32(_mm_madd_epi16(yu_high, kg), _mm_madd_epi16(v1_high, kgv)));
    __m128i bg = _mm_unpacklo_epi8(b, g);
    __m128i ra = _mm_unpacklo_epi8(r, _mm_set1_epi8(-1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi16(bg, ra));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), _mm_unpackhi_epi16(bg, ra));
}
#endif

// One output row of a 4:2:0 frame: chroma sample x / 2 at u[(x / 2) * step]
// and v[(x / 2) * step] (step 2 for an interleaved plane, 1 for two planes).
void row_420(const uint8_t *y, const uint8_t *u, const uint8_t *v, int step, uint8_t *out, int width) {
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 8 <= width; x += 8) {
        __m128i chroma;
        if (step == 2) {
            chroma = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(u + x));
        } else {
            int32_t us, vs;
            std::memcpy(&us, u + x / 2, 4);
            std::memcpy(&vs, v + x / 2, 4);
            chroma = _mm_unpacklo_epi8(_mm_cvtsi32_si128(us), _mm_cvtsi32_si128(vs));
        }
        put_eight(out + size_t(x) * 4, _mm_loadl_epi64(reinterpret_cast<const __m128i *>(y + x)),
                  _mm_sub_epi16(_mm_unpacklo_epi8(chroma, zero), _mm_set1_epi16(128)));
    }
#endif
    for (; x < width; x++) put_pixel(out + size_t(x) * 4, y[x], u[(x / 2) * step], v[(x / 2) * step]);
}

// The 16-bit 4:2:0 formats, a chunk at a time through 8-bit copies of the samples.
void row_420_16(const uint8_t *y_row, const uint8_t *u_row, const uint8_t *v_row, bool interleaved, int shift,
                uint8_t *out, int width) {
    auto sample = [shift](const uint8_t *row, int i) {
        unsigned word = unsigned(row[2 * i]) | unsigned(row[2 * i + 1]) << 8;
        return uint8_t(shift == 8 ? word >> 8 : (word & 0x3FF) >> 2);
    };
    uint8_t y8[CHUNK], u8[CHUNK / 2], v8[CHUNK / 2];
    for (int start = 0; start < width; start += CHUNK) {
        int count = std::min(CHUNK, width - start);
        for (int i = 0; i < count; i++) y8[i] = sample(y_row, start + i);
        for (int i = 0; i < (count + 1) / 2; i++) {
            int c = start / 2 + i;
            u8[i] = interleaved ? sample(u_row, 2 * c) : sample(u_row, c);
            v8[i] = interleaved ? sample(u_row, 2 * c + 1) : sample(v_row, c);
        }
        row_420(y8, u8, v8, 1, out + size_t(start) * 4, count);
    }
}

struct FormatShape {
    int32_t format;
    int planes;
    int bytes;       // per sample
    int luma_bytes;  // per pixel in plane 0
};

constexpr FormatShape SHAPES[] = {
    {PIX_YUV420P, 3, 1, 1}, {PIX_NV12, 2, 1, 1},        {PIX_YUV444P, 3, 1, 1},
    {PIX_BGRA, 1, 1, 4},    {PIX_YUV420P10LE, 3, 2, 2}, {PIX_P010LE, 2, 2, 2},
};

// Whether every plane the format reads is there with a stride that holds a row.
bool planes_present(const FrameView &view, const FormatShape &shape) {
    for (int p = 0; p < shape.planes; p++) {
        if (!view.planes[p]) return false;
        int64_t samples = p == 0 ? int64_t(view.width) * shape.luma_bytes
                          : shape.format == PIX_YUV444P ? int64_t(view.width)
                          : shape.planes == 2 ? int64_t((view.width + 1) / 2) * 2 * shape.bytes
                                              : int64_t((view.width + 1) / 2) * shape.bytes;
        if (std::abs(int64_t(view.strides[p])) < samples) return false;
    }
    return true;
}

const uint8_t *row_of(const FrameView &view, int plane, int row) {
    return view.planes[plane] + ptrdiff_t(row) * view.strides[plane];
}

}  // namespace

int64_t frame_wait_microseconds(int64_t duration) {
    if (duration <= 0) duration = 333'333;
    if (duration > 400'000) duration = 400'000;
    return duration / 10;
}

size_t bgra_size(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0 || width > MAX_FRAME_SIDE || height > MAX_FRAME_SIDE) return 0;
    return size_t(width) * size_t(height) * 4;
}

int convert_frame_to_bgra(const FrameView *view, uint8_t *out, size_t out_size) {
    if (!view || !out || view->width <= 0 || view->height <= 0) return -1;
    const FormatShape *shape = nullptr;
    for (const FormatShape &candidate : SHAPES)
        if (candidate.format == view->pixel_format) shape = &candidate;
    size_t needed = bgra_size(view->width, view->height);
    if (needed == 0) return 1;  // larger than any frame we show
    if (out_size < needed) return -1;
    if (!shape || !planes_present(*view, *shape)) return 1;
    const int width = view->width;
    const size_t out_stride = size_t(width) * 4;
    for (int y = 0; y < view->height; y++) {
        uint8_t *line = out + out_stride * size_t(y);
        switch (view->pixel_format) {
            case PIX_BGRA: std::memcpy(line, row_of(*view, 0, y), out_stride); break;
            case PIX_YUV420P:
                row_420(row_of(*view, 0, y), row_of(*view, 1, y / 2), row_of(*view, 2, y / 2), 1, line, width);
                break;
            case PIX_NV12: {
                const uint8_t *uv = row_of(*view, 1, y / 2);
                row_420(row_of(*view, 0, y), uv, uv + 1, 2, line, width);
                break;
            }
            case PIX_YUV444P: {
                const uint8_t *ys = row_of(*view, 0, y), *us = row_of(*view, 1, y), *vs = row_of(*view, 2, y);
                for (int x = 0; x < width; x++) put_pixel(line + size_t(x) * 4, ys[x], us[x], vs[x]);
                break;
            }
            case PIX_YUV420P10LE:
                row_420_16(row_of(*view, 0, y), row_of(*view, 1, y / 2), row_of(*view, 2, y / 2), false, 2, line,
                           width);
                break;
            case PIX_P010LE:
                row_420_16(row_of(*view, 0, y), row_of(*view, 1, y / 2), nullptr, true, 8, line, width);
                break;
        }
    }
    return 0;
}

}  // namespace shell
