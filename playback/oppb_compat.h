// Differences between the FFmpeg versions the engine builds against. The
// OPPB_HAVE_* switches come from feature probes in CMakeLists.txt.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <cstdint>

// Frame duration in the stream time base (older FFmpeg: pkt_duration).
inline int64_t frame_duration(const AVFrame *f) {
#if OPPB_HAVE_FRAME_DURATION
    return f->duration;
#else
    return f->pkt_duration;
#endif
}

inline bool frame_is_key(const AVFrame *f) {
#if OPPB_HAVE_FRAME_FLAG_KEY
    return f->flags & AV_FRAME_FLAG_KEY;
#else
    return f->key_frame;
#endif
}

// Flags that H.264 profile numbers may carry (Constrained Baseline is 66 | 512).
#if OPPB_HAVE_AV_PROFILE
inline constexpr int H264_PROFILE_FLAGS = AV_PROFILE_H264_CONSTRAINED | AV_PROFILE_H264_INTRA;
#else
inline constexpr int H264_PROFILE_FLAGS = FF_PROFILE_H264_CONSTRAINED | FF_PROFILE_H264_INTRA;
#endif
