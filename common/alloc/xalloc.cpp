#include "xalloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

// Handles of a library may allocate on different threads at once; the hook's
// counters only need to be exact within the single-threaded tests.
static std::atomic<long> g_calls;
static std::atomic<long> g_fail_at;

static bool should_fail() {
    const long call = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
    const long fail_at = g_fail_at.load(std::memory_order_relaxed);
    return fail_at && call == fail_at;
}

void *xmalloc(size_t size) { return should_fail() ? nullptr : std::malloc(size ? size : 1); }

void *xcalloc(size_t count, size_t size) {
    if (size && count > SIZE_MAX / size) return nullptr;
    return should_fail() ? nullptr : std::calloc(count ? count : 1, size ? size : 1);
}

void *xrealloc(void *ptr, size_t size) { return should_fail() ? nullptr : std::realloc(ptr, size ? size : 1); }

void xfree(void *ptr) { std::free(ptr); }

char *xmemdup(const void *data, size_t len) {
    if (len == SIZE_MAX) return nullptr;
    char *copy = static_cast<char *>(xmalloc(len + 1));
    if (!copy) return nullptr;
    if (len) std::memcpy(copy, data, len);
    copy[len] = '\0';
    return copy;
}

char *xstrdup(const char *s) { return s ? xmemdup(s, std::strlen(s)) : nullptr; }

static void *alc_malloc(void *, size_t size) { return xmalloc(size); }
static void *alc_realloc(void *, void *ptr, size_t, size_t size) { return xrealloc(ptr, size); }
static void alc_free(void *, void *ptr) { xfree(ptr); }
const json_alc XALC = {alc_malloc, alc_realloc, alc_free, nullptr};

void xalloc_fail_at(long n) {
    g_calls.store(0, std::memory_order_relaxed);
    g_fail_at.store(n, std::memory_order_relaxed);
}

long xalloc_calls() { return g_calls.load(std::memory_order_relaxed); }
