#include "audio_samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace shell {
namespace {

struct SampleLayout {
    int bytes;
    bool planar;
};

// Bytes per sample and planarity, or {0, false} for an unknown format.
SampleLayout layout_of(int32_t format) {
    switch (format) {
        case SAMPLE_U8: return {1, false};
        case SAMPLE_S16: return {2, false};
        case SAMPLE_S32: return {4, false};
        case SAMPLE_FLT: return {4, false};
        case SAMPLE_DBL: return {8, false};
        case SAMPLE_S64: return {8, false};
        case SAMPLE_U8P: return {1, true};
        case SAMPLE_S16P: return {2, true};
        case SAMPLE_S32P: return {4, true};
        case SAMPLE_FLTP: return {4, true};
        case SAMPLE_DBLP: return {8, true};
        case SAMPLE_S64P: return {8, true};
        default: return {0, false};
    }
}

template <class T>
T load(const uint8_t *at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

int16_t from_real(double value) {
    return int16_t(std::lrint(std::clamp(value * 32768.0, -32768.0, 32767.0)));
}

int16_t to_s16(int32_t format, const uint8_t *at) {
    switch (format) {
        case SAMPLE_U8:
        case SAMPLE_U8P: return int16_t((int(*at) - 128) * 256);
        case SAMPLE_S16:
        case SAMPLE_S16P: return load<int16_t>(at);
        case SAMPLE_S32:
        case SAMPLE_S32P: return int16_t(load<int32_t>(at) >> 16);
        case SAMPLE_S64:
        case SAMPLE_S64P: return int16_t(load<int64_t>(at) >> 48);
        case SAMPLE_FLT:
        case SAMPLE_FLTP: return from_real(load<float>(at));
        default: return from_real(load<double>(at));
    }
}

}  // namespace

int append_s16(const AudioView &view, std::vector<int16_t> &out) {
    SampleLayout layout = layout_of(view.sample_format);
    if (layout.bytes == 0 || !view.data || view.size <= 0 || view.channels <= 0 || view.sample_count <= 0) return 0;
    int channels = layout.planar ? 1 : view.channels;
    int64_t frame_bytes = int64_t(layout.bytes) * channels;
    int64_t frames = std::min<int64_t>(view.sample_count, view.size / frame_bytes);
    size_t count = size_t(frames * channels);
    size_t at = out.size();
    out.resize(at + count);
    if (view.sample_format == SAMPLE_S16 || view.sample_format == SAMPLE_S16P) {
        std::memcpy(out.data() + at, view.data, count * 2);
    } else {
        for (size_t i = 0; i < count; i++) out[at + i] = to_s16(view.sample_format, view.data + i * size_t(layout.bytes));
    }
    return channels;
}

void apply_volume(int16_t *samples, size_t count, int percent) {
    percent = std::clamp(percent, 0, 100);
    if (percent == 100) return;
    // Loudness follows the square of the setting more closely than the setting itself.
    int32_t gain = percent * percent * 65536 / 10000;
    for (size_t i = 0; i < count; i++) samples[i] = int16_t((int32_t(samples[i]) * gain) >> 16);
}

}  // namespace shell
