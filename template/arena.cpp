// Chunked bump allocator: a whole template model lives in one arena and is
// freed in one pass.
#include <cstring>

#include "model.h"

static const size_t CHUNK_MIN = 65536;

struct ArenaChunk {
    ArenaChunk *next;
    size_t size;  // usable bytes after the header
    size_t used;
    alignas(16) unsigned char data[];
};

void *ar_alloc(Arena *arena, size_t size) {
    void *p = ar_alloc_raw(arena, size);
    if (p) memset(p, 0, size);
    return p;
}

void *ar_alloc_raw(Arena *arena, size_t size) {
    size = size ? (size + 15) & ~size_t(15) : 16;
    if (size < 16) return nullptr;  // rounding overflowed
    ArenaChunk *c = arena->head;
    if (!c || c->size - c->used < size) {
        size_t chunk = size > CHUNK_MIN ? size : CHUNK_MIN;
        if (chunk > SIZE_MAX - sizeof(ArenaChunk)) return nullptr;
        c = static_cast<ArenaChunk *>(xmalloc(sizeof(ArenaChunk) + chunk));
        if (!c) return nullptr;
        c->next = arena->head;
        c->size = chunk;
        c->used = 0;
        arena->head = c;
    }
    void *p = c->data + c->used;
    c->used += size;
    arena->used += size;
    return p;
}

void ar_free(Arena *arena) {
    for (ArenaChunk *c = arena->head; c;) {
        ArenaChunk *next = c->next;
        xfree(c);
        c = next;
    }
    *arena = Arena{};
}

size_t ar_reserved(const Arena *arena) {
    size_t n = 0;
    for (const ArenaChunk *c = arena->head; c; c = c->next) n += sizeof(ArenaChunk) + c->size;
    return n;
}
