// Decoded sound as the playback engine hands it over, turned into what the
// sound output plays: interleaved signed 16-bit samples, at a volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace shell {

// Sample formats by FFmpeg's numbers; the planar ones end in P.
enum : int32_t {
    SAMPLE_U8 = 0,
    SAMPLE_S16 = 1,
    SAMPLE_S32 = 2,
    SAMPLE_FLT = 3,
    SAMPLE_DBL = 4,
    SAMPLE_U8P = 5,
    SAMPLE_S16P = 6,
    SAMPLE_S32P = 7,
    SAMPLE_FLTP = 8,
    SAMPLE_DBLP = 9,
    SAMPLE_S64 = 10,
    SAMPLE_S64P = 11,
};

// One delivery of decoded sound. The engine converts to interleaved 16-bit
// and hands over the source format only when it cannot; of a planar format
// `data` then holds the first channel's plane alone.
struct AudioView {
    const uint8_t *data;
    int64_t size;  // bytes at data
    int32_t sample_format;
    int32_t channels;
    int32_t sample_count;  // per channel
};

// Appends the view's samples to `out` as interleaved signed 16-bit and
// returns their channel count (1 for a planar view: its one plane), or 0 for
// a format it does not know, no data or no channels (nothing appended). A size
// short of sample_count samples appends the whole samples there are.
int append_s16(const AudioView &view, std::vector<int16_t> &out);

// Scales samples in place for a volume of `percent` (0 silent, 100 as they are).
void apply_volume(int16_t *samples, size_t count, int percent);

}  // namespace shell
