// Television layout settings, the focus graph built from a render, and the
// layout and focus documents.
#include <cstdio>
#include <cstring>

#include "json.h"
#include "render.h"
#include "rules.h"
#include "tv.h"

TvState g_tv;

// The focus getters' return buffer lives outside g_tv, so exports that must
// not initialise g_tv can still use it; it is allocated on first use.
static char *g_tret;
static size_t g_tret_cap;

static const char *const FORM_NAMES[] = {"handheld", "desktop", "tv"};
static const int FOCUS_NODES_START = 128;
static const int FOCUS_SECTIONS_START = 16;
// Escaping of the focus, layout and action documents: \u00xx in lower case, no \b or \f.
static const uint32_t DOC_ESC = JSON_ESC_HEX_LOWER | JSON_ESC_NO_BF;

void tv_ensure_init() {
    if (g_tv.initialised) return;
    g_tv = TvState{};
    g_tv.initialised = 1;
    g_tv.layout.form_factor = FF_DESKTOP;
    g_tv.layout.rows = 10;
    g_tv.layout.safe_inset = 5;
    g_tv.graph.current = -1;
    g_tv.graph.default_focus = -1;
    g_tv.nav.popped_index = -1;
}

void tv_invalidate() {
    for (int i = 0; i < g_tv.graph.count; i++) xfree(g_tv.graph.nodes[i].path);
    for (int i = 0; i < g_tv.graph.section_count; i++) xfree(g_tv.graph.sections[i].key);
    xfree(g_tv.graph.nodes);
    xfree(g_tv.graph.sections);
    xfree(g_tv.docs.focus);
    xfree(g_tv.docs.layout);
    xfree(g_tv.docs.action);
    xfree(g_tv.graph.unreachable);
    g_tv.graph.unreachable = nullptr;
    g_tv.graph.unreachable_count = 0;
    g_tv.graph.unreachable_built = 0;
    g_tv.graph.nodes = nullptr;
    g_tv.graph.sections = nullptr;
    g_tv.graph.count = g_tv.graph.cap = g_tv.graph.section_count = g_tv.graph.section_cap = 0;
    g_tv.docs.focus = g_tv.docs.layout = g_tv.docs.action = nullptr;
    g_tv.graph.built = 0;
    g_tv.graph.current = g_tv.graph.default_focus = -1;
}

void tv_cleanup() {
    tv_invalidate();
    nav_free();
    xfree(g_tv.graph.root_template);
    xfree(g_tv.graph.page);
    g_tv = TvState{};
    xfree(g_tret);
    g_tret = nullptr;
    g_tret_cap = 0;
}

const char *tret_n(const char *s, size_t n) {
    if (n + 1 > g_tret_cap) {
        char *buf = n > SIZE_MAX - 129 ? nullptr : static_cast<char *>(xrealloc(g_tret, n + 128));
        if (!buf) return "";
        g_tret = buf;
        g_tret_cap = n + 128;
    }
    memmove(g_tret, s, n);
    g_tret[n] = '\0';
    return g_tret;
}

static const char *tret_int(int v) {
    char text[16];
    int n = snprintf(text, sizeof text, "%d", v);
    g_lib.last_null = 0;
    return tret_n(text, size_t(n));
}

int parse_int(const char *p, size_t n) {
    const char *end = p + n;
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    bool minus = p < end && *p == '-';
    p += minus;
    int base = 10;
    if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    long long value = 0;
    int digits = 0;
    for (; p < end; p++, digits++) {
        int d = *p >= '0' && *p <= '9' ? *p - '0'
                : base == 16 && (*p | 0x20) >= 'a' && (*p | 0x20) <= 'f' ? (*p | 0x20) - 'a' + 10
                                                                           : -1;
        if (d < 0) break;
        value = value * base + d;
        if (value > 2147483647) return -1;
    }
    if (!digits) return -1;
    return int(minus ? -value : value);
}

// ---- documents ----

void jb_str(json_buf *b, const char *s) { json_buf_str(b, s, s ? strlen(s) : 0, DOC_ESC); }

void jb_text(json_buf *b, const char *prefix, const char *s) {
    json_buf_cstr(b, prefix);
    jb_str(b, s);
}

void jb_num(json_buf *b, const char *prefix, long long v) {
    json_buf_cstr(b, prefix);
    json_buf_sint(b, v);
}

char *jb_finish(json_buf *b) {
    if (b->failed) {
        json_buf_free(b);
        return nullptr;
    }
    b->data[b->len] = '\0';
    return b->data;
}

static const char *form_name() {
    if (g_tv.layout.form_factor < 0 || g_tv.layout.form_factor > 2) g_tv.layout.form_factor = FF_DESKTOP;
    return FORM_NAMES[g_tv.layout.form_factor];
}

// Screenfuls of a section, in 64 bits: rows x columns can exceed 32 bits.
static long long section_pages(const FocusSection *s) {
    if (!s->count) return 0;
    long long per_page = (long long)g_tv.layout.rows * s->cols;
    return per_page > 0 ? (s->count + per_page - 1) / per_page : 0;
}

// ---- focus graph ----

static bool ends_with_preprocess(Slice type) { return type.n >= 10 && memcmp(type.p + type.n - 10, "PreProcess", 10) == 0; }

static int column_count() {
    if (g_tv.layout.columns > 0) return g_tv.layout.columns;
    if (!bool_tryparse_true(obj_get(g_lib.page_group, "UseGrid"))) return 1;
    Slice suggest = obj_get(ext_plat(obj_child(g_lib.page_group, C_EXTENSION), "iOS"), "SuggestColumnCount");
    int n = suggest.p ? parse_int(suggest.p, suggest.n) : -1;
    return n >= 1 && n <= 32 ? n : 5;
}

static int add_section(const char *key, size_t key_len, int cols) {
    if (g_tv.graph.section_count == g_tv.graph.section_cap) {
        int cap = g_tv.graph.section_cap ? g_tv.graph.section_cap * 2 : FOCUS_SECTIONS_START;
        FocusSection *grown = static_cast<FocusSection *>(xrealloc(g_tv.graph.sections, sizeof(FocusSection) * size_t(cap)));
        if (!grown) return -1;
        g_tv.graph.sections = grown;
        g_tv.graph.section_cap = cap;
    }
    char *copy = xmemdup(key, key_len);
    if (!copy) return -1;
    g_tv.graph.sections[g_tv.graph.section_count++] = FocusSection{copy, cols, -1, 0, -1, -1};
    return 0;
}

static int add_focus_node(int node, int row, int col) {
    if (g_tv.graph.count == g_tv.graph.cap) {
        if (g_tv.graph.cap > (1 << 28)) return -1;
        int cap = g_tv.graph.cap ? g_tv.graph.cap * 2 : FOCUS_NODES_START;
        FocusNode *grown = static_cast<FocusNode *>(xrealloc(g_tv.graph.nodes, sizeof(FocusNode) * size_t(cap)));
        if (!grown) return -1;
        g_tv.graph.nodes = grown;
        g_tv.graph.cap = cap;
    }
    size_t len = node_path_len(node);
    char *path = static_cast<char *>(xmalloc(len + 1));
    if (!path) return -1;
    node_path_write(node, path);
    path[len] = '\0';
    g_tv.graph.nodes[g_tv.graph.count++] = FocusNode{node, g_tv.graph.section_count - 1, row, col, path};
    return 0;
}

static int build_graph(int cols) {
    int row = 0, col = 0;
    for (int i = 0; i < g_lib.nodes.count; i++) {
        const RenderNode *n = &g_lib.nodes.items[i];
        if (n->depth != 0) continue;
        if (n->kind == NODE_SECTION) {
            Slice key = obj_get(n->object, "Key");
            if (add_section(key.p ? key.p : "", key.n, cols) < 0) return -1;
            row = col = 0;
            continue;
        }
        Slice focusable = obj_get(current_plat_ext(n->object), "Focusable");
        if (focusable.n && !bool_tryparse_true(focusable)) continue;
        if (ends_with_preprocess(obj_get(n->object, "Type"))) continue;
        if (!g_tv.graph.section_count && add_section("", 0, cols) < 0) return -1;
        if (add_focus_node(i, row, col) < 0) return -1;
        if (++col == cols) {
            col = 0;
            row++;
        }
    }
    for (int i = 0; i < g_tv.graph.count; i++) {
        FocusSection *s = &g_tv.graph.sections[g_tv.graph.nodes[i].section];
        if (s->first < 0) s->first = i;
        s->count++;
    }
    for (int i = 0, filled = -1; i < g_tv.graph.section_count; i++) {
        g_tv.graph.sections[i].prev_filled = filled;
        if (g_tv.graph.sections[i].count) filled = i;
    }
    for (int i = g_tv.graph.section_count - 1, filled = -1; i >= 0; i--) {
        g_tv.graph.sections[i].next_filled = filled;
        if (g_tv.graph.sections[i].count) filled = i;
    }
    return 0;
}

static const FocusNode *focus_at(int i) { return g_tv.graph.built && i >= 0 && i < g_tv.graph.count ? &g_tv.graph.nodes[i] : nullptr; }

// The item of a focus node, NULL when its render node is gone.
static const ModelObj *focus_item(const FocusNode *f) {
    return f && f->node < g_lib.nodes.count ? g_lib.nodes.items[f->node].object : nullptr;
}

// Page path that entering the node opens; "" when it has no group to enter.
static const char *child_page_of(int i) {
    const FocusNode *f = focus_at(i);
    const ModelObj *item = focus_item(f);
    Slice key = obj_get(item, "Key");
    if (!item || !obj_child(item, C_GROUP) || !key.n) return tret_n("", 0);
    size_t page_len = g_tv.graph.page ? strlen(g_tv.graph.page) : 0;
    // A page given with a trailing '/' must not give "Settings//Audio".
    while (page_len && g_tv.graph.page[page_len - 1] == '/') page_len--;
    size_t path_len = strlen(f->path);
    if (!page_len) return tret_n(f->path, path_len);
    size_t len = page_len + 1 + path_len;
    char *joined = static_cast<char *>(xmalloc(len));
    if (!joined) return tret_n("", 0);
    memcpy(joined, g_tv.graph.page, page_len);
    joined[page_len] = '/';
    memcpy(joined + page_len + 1, f->path, path_len);
    const char *result = tret_n(joined, len);
    xfree(joined);
    return result;
}

extern "C" {

int optpl_set_form_factor(const char *name) {
    tv_ensure_init();
    if (!name) return -1;
    for (int i = 0; i < 3; i++) {
        if (!ieq(name, FORM_NAMES[i])) continue;
        g_tv.layout.form_factor = i;
        tv_invalidate();
        return 0;
    }
    return 1;
}

const char *optpl_form_factor(void) {
    tv_ensure_init();
    return form_name();
}

int optpl_set_tv_columns(int columns) {
    tv_ensure_init();
    g_tv.layout.columns = columns < 0 ? 0 : columns;
    tv_invalidate();
    return 0;
}

int optpl_set_tv_rows(int rows) {
    tv_ensure_init();
    g_tv.layout.rows = rows <= 0 ? 10 : rows;
    tv_invalidate();
    return 0;
}

int optpl_set_tv_safe_inset(int inset) {
    tv_ensure_init();
    g_tv.layout.safe_inset = inset < 0 ? 0 : inset > 25 ? 25 : inset;
    return 0;
}

int optpl_tv_columns(void) {
    tv_ensure_init();
    if (g_tv.graph.built && g_tv.graph.section_count) return g_tv.graph.sections[0].cols;
    return g_tv.layout.columns ? g_tv.layout.columns : 1;
}

int optpl_tv_rows(void) {
    tv_ensure_init();
    return g_tv.layout.rows > 0 ? g_tv.layout.rows : 10;
}

const char *optpl_tv_layout_json(void) {
    tv_ensure_init();
    xfree(g_tv.docs.layout);
    json_buf b;
    json_buf_init(&b, &XALC);
    jb_text(&b, "{\"form\":", form_name());
    jb_num(&b, ",\"columns\":", optpl_tv_columns());
    jb_num(&b, ",\"rows\":", optpl_tv_rows());
    jb_num(&b, ",\"safe_inset\":", g_tv.layout.safe_inset);
    json_buf_cstr(&b, ",\"sections\":[");
    for (int i = 0; g_tv.graph.built && i < g_tv.graph.section_count; i++) {
        const FocusSection *s = &g_tv.graph.sections[i];
        json_buf_cstr(&b, i ? ",{\"key\":" : "{\"key\":");
        jb_str(&b, s->key);
        jb_num(&b, ",\"cols\":", s->cols);
        jb_num(&b, ",\"rows\":", optpl_tv_rows());
        jb_num(&b, ",\"items\":", s->count);
        jb_num(&b, ",\"pages\":", section_pages(s));
        jb_num(&b, ",\"first\":", s->first);
        json_buf_char(&b, '}');
    }
    json_buf_cstr(&b, "]}");
    g_tv.docs.layout = jb_finish(&b);
    return g_tv.docs.layout;
}

int optpl_focus_build(const char *tpl, const char *page) {
    tv_ensure_init();
    if (!tpl) return -1;
    int rc = optpl_render(tpl, page);
    if (rc != 0) return rc;
    char *tpl_copy = xstrdup(tpl);
    char *page_copy = xstrdup(page ? page : "");
    if (!tpl_copy || !page_copy) {
        xfree(tpl_copy);
        xfree(page_copy);
        tv_invalidate();
        set_oom();
        return -1;
    }
    xfree(g_tv.graph.root_template);
    xfree(g_tv.graph.page);
    g_tv.graph.root_template = tpl_copy;
    g_tv.graph.page = page_copy;
    int cols = column_count();
    tv_invalidate();
    if (build_graph(cols) < 0) {
        tv_invalidate();
        set_oom();
        return -1;
    }
    g_tv.graph.built = 1;
    g_tv.graph.default_focus = g_tv.graph.count ? 0 : -1;
    for (int i = 0; i < g_tv.graph.count; i++) {
        if (bool_tryparse_true(obj_get(current_plat_ext(focus_item(&g_tv.graph.nodes[i])), "DefaultFocus"))) {
            g_tv.graph.default_focus = i;
            break;
        }
    }
    g_tv.graph.current = g_tv.graph.default_focus;
    return 0;
}

int optpl_focus_count(void) {
    tv_ensure_init();
    return g_tv.graph.built ? g_tv.graph.count : 0;
}

int optpl_focus_default(void) {
    tv_ensure_init();
    return g_tv.graph.built ? g_tv.graph.default_focus : -1;
}

int optpl_focus_index(void) {
    tv_ensure_init();
    return g_tv.graph.built ? g_tv.graph.current : -1;
}

int optpl_focus_set(int index) {
    tv_ensure_init();
    if (!focus_at(index)) return 1;
    g_tv.graph.current = index;
    return 0;
}

int optpl_focus_find(const char *path) {
    tv_ensure_init();
    if (!path || !g_tv.graph.built) return -1;
    for (int i = 0; i < g_tv.graph.count; i++)
        if (strcmp(g_tv.graph.nodes[i].path, path) == 0) return i;
    return -1;
}

int optpl_focus_parent(int index) {
    tv_ensure_init();
    const FocusNode *f = focus_at(index);
    if (!f) return -1;
    const char *slash = strrchr(f->path, '/');
    if (!slash || slash - f->path > 511) return -1;
    char parent[512];
    memcpy(parent, f->path, size_t(slash - f->path));
    parent[slash - f->path] = '\0';
    return optpl_focus_find(parent);
}

const char *optpl_focus_child_page(int index) {
    if (!focus_at(index)) return nullptr;
    return child_page_of(index);
}

const char *optpl_focus_field(int index, const char *field) {
    tv_ensure_init();
    const FocusNode *f = focus_at(index);
    const ModelObj *item = focus_item(f);
    if (!field || !item) return nullptr;
    const FocusSection *s = &g_tv.graph.sections[f->section];
    if (strcmp(field, "index") == 0) return tret_int(f->node);
    if (strcmp(field, "focus_index") == 0) return tret_int(index);
    if (strcmp(field, "path") == 0) {
        g_lib.last_null = 0;
        return tret_n(f->path, strlen(f->path));
    }
    if (strcmp(field, "section") == 0) {
        g_lib.last_null = 0;
        return tret_n(s->key, strlen(s->key));
    }
    if (strcmp(field, "section_index") == 0) return tret_int(f->section);
    if (strcmp(field, "sections") == 0) return tret_int(g_tv.graph.section_count);
    if (strcmp(field, "row") == 0) return tret_int(f->row);
    if (strcmp(field, "col") == 0) return tret_int(f->col);
    if (strcmp(field, "cols") == 0) return tret_int(s->cols);
    if (strcmp(field, "rows") == 0) return tret_int(optpl_tv_rows());
    if (strcmp(field, "page") == 0) return tret_int(f->row / optpl_tv_rows());
    if (strcmp(field, "grid") == 0) return tret_int(s->cols > 1 ? 1 : 0);
    if (strcmp(field, "child_page") == 0) {
        g_lib.last_null = 0;
        return child_page_of(index);
    }
    if (strcmp(field, "focused") == 0) return tret_int(index == g_tv.graph.current ? 1 : 0);
    if (strcmp(field, "fake_button") == 0)
        return ret_ss(obj_get(ext_plat(obj_child(item, C_EXTENSION), "iOS"), "FakeButton"));
    static const char *const ITEM_FIELDS[] = {"key", "type", "display", "text", "subtitle", "placeholder",
                                              "has_group", "handler", "enabled", "url", "icon"};
    for (const char *name : ITEM_FIELDS)
        if (strcmp(field, name) == 0) return obj_field(item, field);
    return nullptr;
}

const char *optpl_focus_json(void) {
    tv_ensure_init();
    if (!g_tv.graph.built) return nullptr;
    xfree(g_tv.docs.focus);
    json_buf b;
    json_buf_init(&b, &XALC);
    jb_text(&b, "{\"form\":", form_name());
    jb_num(&b, ",\"columns\":", optpl_tv_columns());
    jb_num(&b, ",\"rows\":", optpl_tv_rows());
    jb_num(&b, ",\"default\":", g_tv.graph.default_focus);
    jb_num(&b, ",\"current\":", g_tv.graph.current);
    json_buf_cstr(&b, ",\"sections\":[");
    for (int i = 0; i < g_tv.graph.section_count; i++) {
        const FocusSection *s = &g_tv.graph.sections[i];
        json_buf_cstr(&b, i ? ",{\"key\":" : "{\"key\":");
        jb_str(&b, s->key);
        jb_num(&b, ",\"cols\":", s->cols);
        jb_num(&b, ",\"items\":", s->count);
        jb_num(&b, ",\"first\":", s->first);
        json_buf_char(&b, '}');
    }
    json_buf_cstr(&b, "],\"nodes\":[");
    for (int i = 0; i < g_tv.graph.count; i++) {
        const FocusNode *f = &g_tv.graph.nodes[i];
        json_buf_cstr(&b, i ? ",{\"path\":" : "{\"path\":");
        jb_str(&b, f->path);
        jb_num(&b, ",\"row\":", f->row);
        jb_num(&b, ",\"col\":", f->col);
        jb_num(&b, ",\"section\":", f->section);
        json_buf_char(&b, '}');
    }
    json_buf_cstr(&b, "]}");
    g_tv.docs.focus = jb_finish(&b);
    return g_tv.docs.focus;
}

}  // extern "C"
