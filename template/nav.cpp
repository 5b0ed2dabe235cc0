// Moving the focus through the graph, the nodes no move reaches, and the
// stack of entered pages.
#include <cstdio>
#include <cstring>

#include "model.h"
#include "tv.h"

static const int NAV_START = 16;

static long long rows_per_screen() { return g_tv.layout.rows > 0 ? g_tv.layout.rows : 10; }

// Target of an up (-1) or down (+1) move from node n.
static int move_ud(int n, int step) {
    const FocusNode *f = &g_tv.graph.nodes[n];
    const FocusSection *s = &g_tv.graph.sections[f->section];
    int rows = (s->count + s->cols - 1) / s->cols;
    int r = f->row + step;
    if (r >= 0 && r < rows) {
        long long target = (long long)s->first + (long long)r * s->cols + f->col;
        return int(target < s->first + s->count ? target : s->first + s->count - 1);
    }
    int next = step > 0 ? s->next_filled : s->prev_filled;
    if (next >= 0) {
        const FocusSection *s2 = &g_tv.graph.sections[next];
        int row = step > 0 ? 0 : (s2->count + s2->cols - 1) / s2->cols - 1;
        int col = f->col < s2->cols - 1 ? f->col : s2->cols - 1;
        long long target = (long long)s2->first + (long long)row * s2->cols + col;
        return int(target < s2->first + s2->count ? target : s2->first + s2->count - 1);
    }
    return -1;
}

// Screenful moves stay inside the section; computed in 64 bits because
// rows x columns can exceed 32.
static int move_page(int n, int sign) {
    const FocusNode *f = &g_tv.graph.nodes[n];
    const FocusSection *s = &g_tv.graph.sections[f->section];
    long long target = n + sign * (long long)s->cols * rows_per_screen();
    if (target < s->first) target = s->first;
    if (target > s->first + s->count - 1) target = s->first + s->count - 1;
    return int(target);
}

static int move(int n, const char *dir) {
    const FocusNode *f = &g_tv.graph.nodes[n];
    const FocusSection *s = &g_tv.graph.sections[f->section];
    if (ieq(dir, "up")) return move_ud(n, -1);
    if (ieq(dir, "down")) return move_ud(n, 1);
    if (ieq(dir, "left")) return s->cols > 1 && f->col > 0 ? n - 1 : -1;
    if (ieq(dir, "right")) return s->cols > 1 && f->col + 1 < s->cols && n + 1 < s->first + s->count ? n + 1 : -1;
    if (ieq(dir, "pageup")) return move_page(n, -1);
    if (ieq(dir, "pagedown")) return move_page(n, 1);
    if (ieq(dir, "first")) return 0;
    if (ieq(dir, "last")) return g_tv.graph.count - 1;
    return -1;
}

// Breadth-first search from the default over up, down, left and right.
static int compute_unreachable() {
    xfree(g_tv.graph.unreachable);
    g_tv.graph.unreachable = nullptr;
    g_tv.graph.unreachable_count = 0;
    g_tv.graph.unreachable_built = 0;
    int n = g_tv.graph.count;
    char *seen = static_cast<char *>(xcalloc(size_t(n) + 1, 1));
    int *queue = static_cast<int *>(xmalloc(sizeof(int) * (size_t(n) + 1)));
    if (!seen || !queue) {
        xfree(seen);
        xfree(queue);
        return -1;
    }
    int head = 0, tail = 0;
    if (g_tv.graph.default_focus >= 0 && g_tv.graph.default_focus < n) {
        seen[g_tv.graph.default_focus] = 1;
        queue[tail++] = g_tv.graph.default_focus;
    }
    static const char *const DIRS[] = {"up", "down", "left", "right"};
    while (head < tail) {
        int from = queue[head++];
        for (const char *dir : DIRS) {
            int to = move(from, dir);
            if (to >= 0 && to < n && !seen[to]) {
                seen[to] = 1;
                queue[tail++] = to;
            }
        }
    }
    int missing = n - tail;
    int *list = static_cast<int *>(xmalloc(sizeof(int) * (size_t(missing) + 1)));
    if (!list) {
        xfree(seen);
        xfree(queue);
        return -1;
    }
    int k = 0;
    for (int i = 0; i < n; i++)
        if (!seen[i]) list[k++] = i;
    xfree(seen);
    xfree(queue);
    g_tv.graph.unreachable = list;
    g_tv.graph.unreachable_count = k;
    g_tv.graph.unreachable_built = 1;
    return k;
}

// ---- the page stack ----

void nav_free() {
    for (int i = 0; i < g_tv.nav.depth; i++) {
        xfree(g_tv.nav.entries[i].tpl);
        xfree(g_tv.nav.entries[i].page);
        xfree(g_tv.nav.entries[i].focus_path);
    }
    xfree(g_tv.nav.entries);
    xfree(g_tv.nav.popped_path);
    g_tv.nav.entries = nullptr;
    g_tv.nav.depth = g_tv.nav.cap = 0;
    g_tv.nav.popped_path = nullptr;
    g_tv.nav.popped_index = -1;
}

static int nav_push(const char *tpl, const char *page, const char *focus_path, int focus_index) {
    if (g_tv.nav.depth == g_tv.nav.cap) {
        if (g_tv.nav.cap > (1 << 28)) return -1;
        int cap = g_tv.nav.cap ? g_tv.nav.cap * 2 : NAV_START;
        NavEntry *grown = static_cast<NavEntry *>(xrealloc(g_tv.nav.entries, sizeof(NavEntry) * size_t(cap)));
        if (!grown) return -1;
        g_tv.nav.entries = grown;
        g_tv.nav.cap = cap;
    }
    NavEntry e{xstrdup(tpl ? tpl : ""), xstrdup(page ? page : ""), xstrdup(focus_path ? focus_path : ""), focus_index};
    if (!e.tpl || !e.page || !e.focus_path) {
        xfree(e.tpl);
        xfree(e.page);
        xfree(e.focus_path);
        return -1;
    }
    g_tv.nav.entries[g_tv.nav.depth++] = e;
    return g_tv.nav.depth;
}

static void nav_pop_free() {
    NavEntry *e = &g_tv.nav.entries[--g_tv.nav.depth];
    xfree(e->tpl);
    xfree(e->page);
    xfree(e->focus_path);
}

int nav_enter(int index, bool *nothing) {
    *nothing = false;
    if (!g_tv.graph.built || index < 0 || index >= g_tv.graph.count) return -1;
    const FocusNode *f = &g_tv.graph.nodes[index];
    const char *child = optpl_focus_child_page(index);
    if (!child || !*child) {
        *nothing = true;
        return 1;
    }
    char *child_page = xstrdup(child);
    char *tpl = xstrdup(g_tv.graph.root_template ? g_tv.graph.root_template : "");
    if (!child_page || !tpl) {
        xfree(child_page);
        xfree(tpl);
        return -1;
    }
    int before = g_tv.graph.current;
    if (nav_push(tpl, g_tv.graph.page, f->path, index) < 0) {
        xfree(child_page);
        xfree(tpl);
        return -1;
    }
    int rc = optpl_focus_build(tpl, child_page);
    if (rc != 0) {
        nav_pop_free();
        g_tv.graph.current = before;
    }
    xfree(child_page);
    xfree(tpl);
    return rc;
}

int nav_back(bool *nothing) {
    *nothing = false;
    if (!g_tv.nav.depth) {
        *nothing = true;
        return 1;
    }
    // Take the entry off the stack: it is not pushed back whatever follows.
    NavEntry e = g_tv.nav.entries[--g_tv.nav.depth];
    int rc = optpl_focus_build(e.tpl, *e.page ? e.page : nullptr);
    if (rc == 0) {
        int found = *e.focus_path ? optpl_focus_find(e.focus_path) : -1;
        g_tv.graph.current = found >= 0 ? found : g_tv.graph.default_focus;
        const char *path = g_tv.graph.current >= 0 ? g_tv.graph.nodes[g_tv.graph.current].path : "";
        char *copy = xstrdup(path);
        if (copy) {
            xfree(g_tv.nav.popped_path);
            g_tv.nav.popped_path = copy;
            g_tv.nav.popped_index = g_tv.graph.current;
        } else {
            rc = -1;
        }
    }
    xfree(e.tpl);
    xfree(e.page);
    xfree(e.focus_path);
    return rc;
}

extern "C" {

int optpl_focus_move(int index, const char *direction) {
    tv_ensure_init();
    if (!g_tv.graph.built || !direction || index < 0 || index >= g_tv.graph.count) return -1;
    return move(index, direction);
}

int optpl_nav_push(const char *tpl, const char *page, const char *focus_path) {
    tv_ensure_init();
    return nav_push(tpl, page, focus_path, -1);
}

int optpl_nav_depth(void) {
    tv_ensure_init();
    return g_tv.nav.depth;
}

void optpl_nav_clear(void) {
    tv_ensure_init();
    nav_free();
}

const char *optpl_nav_field(int index, const char *field) {
    tv_ensure_init();
    if (!field || index < 0) return nullptr;
    char text[16];
    if (index < g_tv.nav.depth) {
        const NavEntry *e = &g_tv.nav.entries[index];
        if (strcmp(field, "template") == 0) return tret_n(e->tpl, strlen(e->tpl));
        if (strcmp(field, "page") == 0) return tret_n(e->page, strlen(e->page));
        if (strcmp(field, "focus_path") == 0) return tret_n(e->focus_path, strlen(e->focus_path));
        if (strcmp(field, "focus_index") == 0)
            return tret_n(text, size_t(snprintf(text, sizeof text, "%d", e->focus_index)));
    } else if (index == g_tv.nav.depth) {
        const char *popped = g_tv.nav.popped_path ? g_tv.nav.popped_path : "";
        if (strcmp(field, "popped_path") == 0) return tret_n(popped, strlen(popped));
        if (strcmp(field, "popped_index") == 0)
            return tret_n(text, size_t(snprintf(text, sizeof text, "%d", g_tv.nav.popped_index)));
    }
    return nullptr;
}

const char *optpl_focus_root(void) {
    tv_ensure_init();
    const char *root = g_tv.nav.depth ? g_tv.nav.entries[0].tpl : g_tv.graph.root_template ? g_tv.graph.root_template : "";
    return tret_n(root, strlen(root));
}

int optpl_focus_enter(int index) {
    tv_ensure_init();
    bool nothing;
    return nav_enter(index, &nothing);
}

int optpl_focus_back(void) {
    tv_ensure_init();
    bool nothing;
    return nav_back(&nothing);
}

int optpl_nav_back(void) { return optpl_focus_back(); }

int optpl_focus_unreachable_count(void) {
    tv_ensure_init();
    if (!g_tv.graph.built) return 0;
    return compute_unreachable();
}

const char *optpl_focus_unreachable(int k) {
    tv_ensure_init();
    if (!g_tv.graph.built) return nullptr;
    if (!g_tv.graph.unreachable_built && compute_unreachable() < 0) return nullptr;
    if (k < 0 || k >= g_tv.graph.unreachable_count) return nullptr;
    const char *path = g_tv.graph.nodes[g_tv.graph.unreachable[k]].path;
    return tret_n(path, strlen(path));
}

}  // extern "C"
