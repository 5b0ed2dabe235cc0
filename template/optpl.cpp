// Library frame: the process-wide state, implicit initialisation, the error
// text, the warning list and the shared return buffer.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "optpl_internal.h"
#include "rules.h"

LibState g_lib;

static const char VERSION[] = "1.1.1";
static const char EMPTY[] = "";

void set_err(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_lib.last_error, sizeof g_lib.last_error, fmt, ap);
    va_end(ap);
}

void set_oom() { set_err("out of memory"); }

void ensure_init() {
    if (!g_lib.initialised) optpl_init();
}

// ---- warnings ----

void warn_add(WarnList *list, const char *fmt, ...) {
    if (list->count >= WARN_MAX) return;
    if (list->count == list->cap) {
        int cap = list->cap ? list->cap * 2 : 16;
        char **items = static_cast<char **>(xrealloc(list->items, sizeof(char *) * size_t(cap)));
        if (!items) return;
        list->items = items;
        list->cap = cap;
    }
    char text[WARN_TEXT];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    char *copy = xstrdup(text);
    if (!copy) return;
    list->items[list->count++] = copy;
}

void warn_clear(WarnList *list) {
    for (int i = 0; i < list->count; i++) xfree(list->items[i]);
    xfree(list->items);
    *list = WarnList{};
}

void warn_copy(WarnList *to, const WarnList *from) {
    for (int i = 0; i < from->count; i++) warn_add(to, "%s", from->items[i]);
}

// ---- return buffer ----

char *ret_room(size_t n) {
    if (n >= g_lib.ret_cap) {
        size_t cap = n + 1 > 256 ? n + 1 : 256;
        char *buf = n == SIZE_MAX ? nullptr : static_cast<char *>(xrealloc(g_lib.ret, cap));
        if (!buf) return nullptr;
        g_lib.ret = buf;
        g_lib.ret_cap = cap;
    }
    return g_lib.ret;
}

const char *ret_n(const char *s, size_t n) {
    if (!s) return nullptr;
    char *buf = ret_room(n);
    if (!buf) return EMPTY;
    if (n) memmove(buf, s, n);  // the source may be the buffer itself
    buf[n] = '\0';
    return buf;
}

const char *ret_s(const char *s) { return s ? ret_n(s, strlen(s)) : nullptr; }

static unsigned fold(char c) {
    unsigned x = static_cast<unsigned char>(c);
    return x - 'A' < 26u ? x + 32 : x;
}

bool ieq_n(const char *a, const char *b, size_t n) {
    if (memcmp(a, b, n) == 0) return true;  // the usual case: same spelling
    for (size_t i = 0; i < n; i++)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

bool ieq(const char *a, const char *b) {
    size_t n = strlen(a);
    return strlen(b) == n && ieq_n(a, b, n);
}

uint64_t fnv1a(const char *data, size_t len) {
    uint64_t h = 0x14650fb0739d0383ull;
    for (size_t i = 0; i < len; i++) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 0x100000001b3ull;
    }
    return h;
}

// ---- exports ----

extern "C" {

int optpl_init(void) {
    if (g_lib.initialised) optpl_cleanup();
    memset(&g_lib, 0, sizeof g_lib);
    g_lib.initialised = 1;
    g_lib.language = xstrdup("en");
    g_lib.rules.global_enabled = 1;
    g_lib.clean_empty = 1;
    g_lib.max_depth = -1;
    return 0;
}

void optpl_cleanup(void) {
    if (!g_lib.initialised) return;
    nodes_clear();
    xfree(g_lib.result_json);
    bundle_free(&g_lib.bundle);
    trans_free(&g_lib.trans);
    rules_free(&g_lib.rules);
    warn_clear(&g_lib.warnings);
    xfree(g_lib.language);
    xfree(g_lib.ret);
    memset(&g_lib, 0, sizeof g_lib);
    tv_cleanup();
}

const char *optpl_version(void) { return VERSION; }

const char *optpl_last_error(void) {
    ensure_init();
    return g_lib.last_error;
}

int optpl_warning_count(void) {
    ensure_init();
    return g_lib.warnings.count;
}

const char *optpl_warning(int index) {
    ensure_init();
    if (index < 0 || index >= g_lib.warnings.count) return nullptr;
    return ret_s(g_lib.warnings.items[index]);
}

int optpl_set_max_depth(int depth) {
    ensure_init();
    g_lib.max_depth = depth < 0 ? -1 : depth;
    return 0;
}

int optpl_set_clean_empty(int flag) {
    ensure_init();
    g_lib.clean_empty = flag ? 1 : 0;
    return 0;
}

}  // extern "C"
