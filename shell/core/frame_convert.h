// Decoded video frames to 32-bit BGRA pixels (B, G, R, 255; rows packed
// tightly), with BT.709 limited-range integer arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace shell {

// Pixel formats by FFmpeg's numbers.
enum : int32_t {
    PIX_YUV420P = 0,
    PIX_YUV444P = 5,
    PIX_NV12 = 23,
    PIX_BGRA = 28,
    PIX_YUV420P10LE = 62,
    PIX_P010LE = 158,
};

// Frames larger than this on either side are not converted.
inline constexpr int32_t MAX_FRAME_SIDE = 8192;

struct FrameView {
    const uint8_t *planes[3];
    int32_t strides[3];
    int32_t width;
    int32_t height;
    int32_t pixel_format;
};

// How long the player waits after showing a frame of `duration` ticks, in
// microseconds: 33,333 for an unknown duration, at most 40,000.
int64_t frame_wait_microseconds(int64_t duration);

// width * height * 4, or 0 when either side is 0 or less or above MAX_FRAME_SIDE.
size_t bgra_size(int32_t width, int32_t height);

// 0 converted; 1 a pixel format it does not convert, a side above
// MAX_FRAME_SIDE or a plane missing; -1 no view or output, a side of 0 or
// less, or an output smaller than bgra_size.
int convert_frame_to_bgra(const FrameView *view, uint8_t *out, size_t out_size);

}  // namespace shell
