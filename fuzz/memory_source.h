// A byte buffer as a seekable source for the playback engine's callbacks.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>

struct MemorySource {
    const uint8_t *data;
    size_t size, pos;
};

inline int memory_read(void *opaque, uint8_t *buffer, int size) {
    auto *s = static_cast<MemorySource *>(opaque);
    const size_t n = std::min(size_t(size), s->size - s->pos);
    memcpy(buffer, s->data + s->pos, n);
    s->pos += n;
    return int(n);
}

inline int64_t memory_seek(void *opaque, int64_t offset, int whence) {
    auto *s = static_cast<MemorySource *>(opaque);
    const int64_t base = whence == 1 ? int64_t(s->pos) : whence == 2 ? int64_t(s->size) : 0;
    if (offset < -base || base + offset > int64_t(s->size)) return -1;
    s->pos = size_t(base + offset);
    return int64_t(s->pos);
}

inline int64_t memory_size(void *opaque) { return int64_t(static_cast<MemorySource *>(opaque)->size); }
