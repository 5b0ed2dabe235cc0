// The records the shell exchanges with the playback engine: the sample record
// from the engine's public header, and the subtitle cue record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "oppb.h"

// One subtitle cue, filled by oppb_next_subtitle; the pointers stay the
// engine's until the next cue of the same stream.
struct oppb_cue {
    int32_t stream;
    int32_t kind;  // 1 text, 2 bitmap
    int64_t start;
    int64_t duration;
    int32_t width;
    int32_t height;
    int32_t colours;
    const uint8_t *data;
    int64_t size;
    const uint8_t *palette;
    int64_t palette_size;
    const char *text;
    const char *ass;
};

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(oppb_cue, start) == 8 && offsetof(oppb_cue, data) == 40 && offsetof(oppb_cue, text) == 72 &&
              sizeof(oppb_cue) == 88);
#endif
