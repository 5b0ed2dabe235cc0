// The one allocator of a library. Every allocation that may run out goes
// through here, so a test can make the N-th call fail and prove each
// "out of memory" path. Each library links its own copy (hidden symbols),
// so the counters are per library.
#pragma once

#include <cstddef>

#include "json.h"

void *xmalloc(size_t size);
void *xcalloc(size_t count, size_t size);  // zero-filled; overflow of count * size fails
void *xrealloc(void *ptr, size_t size);
void xfree(void *ptr);
char *xmemdup(const void *data, size_t len);  // copy plus a terminating NUL
char *xstrdup(const char *s);                 // NULL for NULL

// JSON module allocator routed through the functions above.
extern const json_alc XALC;

// Test hook: the `n`-th allocation from now fails (1 = the next one);
// 0 switches failures off. Returns nothing; xalloc_calls() counts every
// allocation attempt since the last call of xalloc_fail_at.
void xalloc_fail_at(long n);
long xalloc_calls();
