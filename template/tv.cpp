// Television layout settings, the focus graph built from a render, and the
// layout and focus documents.
#include <cstdio>
#include <cstring>

#include "json.h"
#include "render.h"
#include "rules.h"
#include "tv.h"

TvState T;

// The focus getters' return buffer lives outside T, so exports that must not
// initialise T can still use it; it is allocated on first use.
static char *g_tret;
static size_t g_tret_cap;

static const char *const FORM_NAMES[] = {"handheld", "desktop", "tv"};
static const int FOCUS_NODES_START = 128;
static const int FOCUS_SECTIONS_START = 16;
// Escaping of the focus, layout and action documents: \u00xx in lower case, no \b or \f.
static const uint32_t DOC_ESC = JSON_ESC_HEX_LOWER | JSON_ESC_NO_BF;

void tv_ensure_init() {
    if (T.initialised) return;
    T = TvState{};
    T.initialised = 1;
    T.form_factor = FF_DESKTOP;
    T.rows = 10;
    T.safe_inset = 5;
    T.current = -1;
    T.default_focus = -1;
    T.popped_index = -1;
}

void tv_invalidate() {
    for (int i = 0; i < T.node_count; i++) xfree(T.nodes[i].path);
    for (int i = 0; i < T.section_count; i++) xfree(T.sections[i].key);
    xfree(T.nodes);
    xfree(T.sections);
    xfree(T.focus_json);
    xfree(T.layout_json);
    xfree(T.action_json);
    xfree(T.unreachable);
    T.unreachable = nullptr;
    T.unreachable_count = 0;
    T.unreachable_built = 0;
    T.nodes = nullptr;
    T.sections = nullptr;
    T.node_count = T.node_cap = T.section_count = T.section_cap = 0;
    T.focus_json = T.layout_json = T.action_json = nullptr;
    T.built = 0;
    T.current = T.default_focus = -1;
}

void tv_cleanup() {
    tv_invalidate();
    nav_free();
    xfree(T.root_template);
    xfree(T.page);
    T = TvState{};
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
    G.last_null = 0;
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
    if (T.form_factor < 0 || T.form_factor > 2) T.form_factor = FF_DESKTOP;
    return FORM_NAMES[T.form_factor];
}

// Screenfuls of a section, in 64 bits: rows x columns can exceed 32 bits.
static long long section_pages(const FocusSection *s) {
    if (!s->count) return 0;
    long long per_page = (long long)T.rows * s->cols;
    return per_page > 0 ? (s->count + per_page - 1) / per_page : 0;
}

// ---- focus graph ----

static bool ends_with_preprocess(Slice type) { return type.n >= 10 && memcmp(type.p + type.n - 10, "PreProcess", 10) == 0; }

static int column_count() {
    if (T.columns > 0) return T.columns;
    if (!bool_tryparse_true(obj_get(G.page_group, "UseGrid"))) return 1;
    Slice suggest = obj_get(ext_plat(obj_child(G.page_group, C_EXTENSION), "iOS"), "SuggestColumnCount");
    int n = suggest.p ? parse_int(suggest.p, suggest.n) : -1;
    return n >= 1 && n <= 32 ? n : 5;
}

static int add_section(const char *key, size_t key_len, int cols) {
    if (T.section_count == T.section_cap) {
        int cap = T.section_cap ? T.section_cap * 2 : FOCUS_SECTIONS_START;
        FocusSection *grown = static_cast<FocusSection *>(xrealloc(T.sections, sizeof(FocusSection) * size_t(cap)));
        if (!grown) return -1;
        T.sections = grown;
        T.section_cap = cap;
    }
    char *copy = xmemdup(key, key_len);
    if (!copy) return -1;
    T.sections[T.section_count++] = FocusSection{copy, cols, -1, 0};
    return 0;
}

static int add_focus_node(int node, int row, int col) {
    if (T.node_count == T.node_cap) {
        if (T.node_cap > (1 << 28)) return -1;
        int cap = T.node_cap ? T.node_cap * 2 : FOCUS_NODES_START;
        FocusNode *grown = static_cast<FocusNode *>(xrealloc(T.nodes, sizeof(FocusNode) * size_t(cap)));
        if (!grown) return -1;
        T.nodes = grown;
        T.node_cap = cap;
    }
    const RenderNode *r = &G.nodes.items[node];
    char *path = xmemdup(r->path, r->path_len);
    if (!path) return -1;
    T.nodes[T.node_count++] = FocusNode{node, T.section_count - 1, row, col, path};
    return 0;
}

static int build_graph(int cols) {
    int row = 0, col = 0;
    for (int i = 0; i < G.nodes.count; i++) {
        const RenderNode *n = &G.nodes.items[i];
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
        if (!T.section_count && add_section("", 0, cols) < 0) return -1;
        if (add_focus_node(i, row, col) < 0) return -1;
        if (++col == cols) {
            col = 0;
            row++;
        }
    }
    for (int i = 0; i < T.node_count; i++) {
        FocusSection *s = &T.sections[T.nodes[i].section];
        if (s->first < 0) s->first = i;
        s->count++;
    }
    return 0;
}

static const FocusNode *focus_at(int i) { return T.built && i >= 0 && i < T.node_count ? &T.nodes[i] : nullptr; }

// The item of a focus node, NULL when its render node is gone.
static const ModelObj *focus_item(const FocusNode *f) {
    return f && f->node < G.nodes.count ? G.nodes.items[f->node].object : nullptr;
}

// Page path that entering the node opens; "" when it has no group to enter.
static const char *child_page_of(int i) {
    const FocusNode *f = focus_at(i);
    const ModelObj *item = focus_item(f);
    Slice key = obj_get(item, "Key");
    if (!item || !obj_child(item, C_GROUP) || !key.n) return tret_n("", 0);
    size_t page_len = T.page ? strlen(T.page) : 0;
    // A page given with a trailing '/' must not give "Settings//Audio".
    while (page_len && T.page[page_len - 1] == '/') page_len--;
    size_t path_len = strlen(f->path);
    if (!page_len) return tret_n(f->path, path_len);
    size_t len = page_len + 1 + path_len;
    char *joined = static_cast<char *>(xmalloc(len));
    if (!joined) return tret_n("", 0);
    memcpy(joined, T.page, page_len);
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
        T.form_factor = i;
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
    T.columns = columns < 0 ? 0 : columns;
    tv_invalidate();
    return 0;
}

int optpl_set_tv_rows(int rows) {
    tv_ensure_init();
    T.rows = rows <= 0 ? 10 : rows;
    tv_invalidate();
    return 0;
}

int optpl_set_tv_safe_inset(int inset) {
    tv_ensure_init();
    T.safe_inset = inset < 0 ? 0 : inset > 25 ? 25 : inset;
    return 0;
}

int optpl_tv_columns(void) {
    tv_ensure_init();
    if (T.built && T.section_count) return T.sections[0].cols;
    return T.columns ? T.columns : 1;
}

int optpl_tv_rows(void) {
    tv_ensure_init();
    return T.rows > 0 ? T.rows : 10;
}

const char *optpl_tv_layout_json(void) {
    tv_ensure_init();
    xfree(T.layout_json);
    json_buf b;
    json_buf_init(&b, &XALC);
    jb_text(&b, "{\"form\":", form_name());
    jb_num(&b, ",\"columns\":", optpl_tv_columns());
    jb_num(&b, ",\"rows\":", optpl_tv_rows());
    jb_num(&b, ",\"safe_inset\":", T.safe_inset);
    json_buf_cstr(&b, ",\"sections\":[");
    for (int i = 0; T.built && i < T.section_count; i++) {
        const FocusSection *s = &T.sections[i];
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
    T.layout_json = jb_finish(&b);
    return T.layout_json;
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
    xfree(T.root_template);
    xfree(T.page);
    T.root_template = tpl_copy;
    T.page = page_copy;
    int cols = column_count();
    tv_invalidate();
    if (build_graph(cols) < 0) {
        tv_invalidate();
        set_oom();
        return -1;
    }
    T.built = 1;
    T.default_focus = T.node_count ? 0 : -1;
    for (int i = 0; i < T.node_count; i++) {
        if (bool_tryparse_true(obj_get(current_plat_ext(focus_item(&T.nodes[i])), "DefaultFocus"))) {
            T.default_focus = i;
            break;
        }
    }
    T.current = T.default_focus;
    return 0;
}

int optpl_focus_count(void) {
    tv_ensure_init();
    return T.built ? T.node_count : 0;
}

int optpl_focus_default(void) {
    tv_ensure_init();
    return T.built ? T.default_focus : -1;
}

int optpl_focus_index(void) {
    tv_ensure_init();
    return T.built ? T.current : -1;
}

int optpl_focus_set(int index) {
    tv_ensure_init();
    if (!focus_at(index)) return 1;
    T.current = index;
    return 0;
}

int optpl_focus_find(const char *path) {
    tv_ensure_init();
    if (!path || !T.built) return -1;
    for (int i = 0; i < T.node_count; i++)
        if (strcmp(T.nodes[i].path, path) == 0) return i;
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
    const FocusSection *s = &T.sections[f->section];
    if (strcmp(field, "index") == 0) return tret_int(f->node);
    if (strcmp(field, "focus_index") == 0) return tret_int(index);
    if (strcmp(field, "path") == 0) {
        G.last_null = 0;
        return tret_n(f->path, strlen(f->path));
    }
    if (strcmp(field, "section") == 0) {
        G.last_null = 0;
        return tret_n(s->key, strlen(s->key));
    }
    if (strcmp(field, "section_index") == 0) return tret_int(f->section);
    if (strcmp(field, "sections") == 0) return tret_int(T.section_count);
    if (strcmp(field, "row") == 0) return tret_int(f->row);
    if (strcmp(field, "col") == 0) return tret_int(f->col);
    if (strcmp(field, "cols") == 0) return tret_int(s->cols);
    if (strcmp(field, "rows") == 0) return tret_int(optpl_tv_rows());
    if (strcmp(field, "page") == 0) return tret_int(f->row / optpl_tv_rows());
    if (strcmp(field, "grid") == 0) return tret_int(s->cols > 1 ? 1 : 0);
    if (strcmp(field, "child_page") == 0) {
        G.last_null = 0;
        return child_page_of(index);
    }
    if (strcmp(field, "focused") == 0) return tret_int(index == T.current ? 1 : 0);
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
    if (!T.built) return nullptr;
    xfree(T.focus_json);
    json_buf b;
    json_buf_init(&b, &XALC);
    jb_text(&b, "{\"form\":", form_name());
    jb_num(&b, ",\"columns\":", optpl_tv_columns());
    jb_num(&b, ",\"rows\":", optpl_tv_rows());
    jb_num(&b, ",\"default\":", T.default_focus);
    jb_num(&b, ",\"current\":", T.current);
    json_buf_cstr(&b, ",\"sections\":[");
    for (int i = 0; i < T.section_count; i++) {
        const FocusSection *s = &T.sections[i];
        json_buf_cstr(&b, i ? ",{\"key\":" : "{\"key\":");
        jb_str(&b, s->key);
        jb_num(&b, ",\"cols\":", s->cols);
        jb_num(&b, ",\"items\":", s->count);
        jb_num(&b, ",\"first\":", s->first);
        json_buf_char(&b, '}');
    }
    json_buf_cstr(&b, "],\"nodes\":[");
    for (int i = 0; i < T.node_count; i++) {
        const FocusNode *f = &T.nodes[i];
        json_buf_cstr(&b, i ? ",{\"path\":" : "{\"path\":");
        jb_str(&b, f->path);
        jb_num(&b, ",\"row\":", f->row);
        jb_num(&b, ",\"col\":", f->col);
        jb_num(&b, ",\"section\":", f->section);
        json_buf_char(&b, '}');
    }
    json_buf_cstr(&b, "]}");
    T.focus_json = jb_finish(&b);
    return T.focus_json;
}

}  // extern "C"
