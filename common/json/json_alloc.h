// Internal to the JSON module: the allocator used when callers pass NULL.
#pragma once

#include "json.h"

#include <cstdlib>

namespace json_detail {

inline void *libc_malloc(void *, size_t size) { return std::malloc(size); }
inline void *libc_realloc(void *, void *ptr, size_t, size_t size) { return std::realloc(ptr, size); }
inline void libc_free(void *, void *ptr) { std::free(ptr); }

inline constexpr json_alc libc_alc = {libc_malloc, libc_realloc, libc_free, nullptr};

inline const json_alc &alc_or_libc(const json_alc *alc) { return alc ? *alc : libc_alc; }

}  // namespace json_detail
