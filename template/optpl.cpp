// Library frame: the process-wide state, implicit initialisation, the error
// text, the warning list and the shared return buffer.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "optpl_internal.h"
#include "rules.h"

LibState G;

static const char VERSION[] = "1.1.1";
static const char EMPTY[] = "";

void set_err(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(G.last_error, sizeof G.last_error, fmt, ap);
    va_end(ap);
}

void set_oom() { set_err("out of memory"); }

void ensure_init() {
    if (!G.initialised) optpl_init();
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

const char *ret_n(const char *s, size_t n) {
    if (!s) return nullptr;
    if (n >= G.ret_cap) {
        size_t cap = n + 1 > 256 ? n + 1 : 256;
        char *buf = n == SIZE_MAX ? nullptr : static_cast<char *>(xrealloc(G.ret, cap));
        if (!buf) return EMPTY;
        G.ret = buf;
        G.ret_cap = cap;
    }
    if (n) memmove(G.ret, s, n);  // the source may be the buffer itself
    G.ret[n] = '\0';
    return G.ret;
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
    if (G.initialised) optpl_cleanup();
    memset(&G, 0, sizeof G);
    G.initialised = 1;
    G.language = xstrdup("en");
    G.rules.global_enabled = 1;
    G.clean_empty = 1;
    G.max_depth = -1;
    return 0;
}

void optpl_cleanup(void) {
    if (!G.initialised) return;
    nodes_clear();
    xfree(G.result_json);
    bundle_free(&G.bundle);
    trans_free(&G.trans);
    rules_free(&G.rules);
    warn_clear(&G.warnings);
    xfree(G.language);
    xfree(G.ret);
    memset(&G, 0, sizeof G);
    tv_cleanup();
}

const char *optpl_version(void) { return VERSION; }

const char *optpl_last_error(void) {
    ensure_init();
    return G.last_error;
}

int optpl_warning_count(void) {
    ensure_init();
    return G.warnings.count;
}

const char *optpl_warning(int index) {
    ensure_init();
    if (index < 0 || index >= G.warnings.count) return nullptr;
    return ret_s(G.warnings.items[index]);
}

int optpl_set_max_depth(int depth) {
    ensure_init();
    G.max_depth = depth < 0 ? -1 : depth;
    return 0;
}

int optpl_set_clean_empty(int flag) {
    ensure_init();
    G.clean_empty = flag ? 1 : 0;
    return 0;
}

}  // extern "C"
