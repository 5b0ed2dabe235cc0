// Rendering a page of a template into the flat node list, field queries and
// the result document.
#include <cstdio>
#include <cstring>

#include "json.h"
#include "render.h"
#include "rules.h"

static const int NODES_START = 256;
static const char EMPTY[] = "";

// ---- node list ----

void nodes_clear() {
    xfree(g_lib.nodes.items);
    g_lib.nodes = NodeList{};
    g_lib.page_group = nullptr;
}

const char *ret_ss(Slice s) {
    g_lib.last_null = s.p ? 0 : 1;
    return s.p ? ret_n(s.p, s.n) : ret_n(EMPTY, 0);
}

// Returns the new node, or NULL when memory runs out.
static RenderNode *node_add(int kind, ModelObj *object, ModelObj *section, int depth, int parent, Slice verdict) {
    NodeList *list = &g_lib.nodes;
    if (list->count == list->cap) {
        int cap = list->cap ? list->cap * 2 : NODES_START;
        if (list->cap > (1 << 29)) return nullptr;
        RenderNode *items = static_cast<RenderNode *>(xrealloc(list->items, sizeof(RenderNode) * size_t(cap)));
        if (!items) return nullptr;
        list->items = items;
        list->cap = cap;
    }
    Slice key = kind == NODE_ITEM ? obj_get(object, "Key") : Slice{};
    if (!key.p) key = {"", 0};
    RenderNode *n = &list->items[list->count++];
    *n = RenderNode{kind, object, section, depth, parent, verdict.p, verdict.n, key.p, key.n};
    return n;
}

// Paths: an item node's path is its parent's path, '/', its Key (the Key
// alone when the parent's path is empty); a section node's path is its
// parent's. The recursion is as deep as the render's nesting.
size_t node_path_len(int i) {
    const RenderNode *n = &g_lib.nodes.items[i];
    size_t above = n->parent >= 0 ? node_path_len(n->parent) : 0;
    if (n->kind == NODE_SECTION) return above;
    return above ? above + 1 + n->key_len : n->key_len;
}

static char *path_write(int i, char *out) {
    const RenderNode *n = &g_lib.nodes.items[i];
    char *end = n->parent >= 0 ? path_write(n->parent, out) : out;
    if (n->kind == NODE_SECTION) return end;
    if (end != out) *end++ = '/';
    memcpy(end, n->key, n->key_len);
    return end + n->key_len;
}

void node_path_write(int i, char *out) { path_write(i, out); }

static bool keys_equal(Slice key, const char *s, size_t n) { return key.p && key.n == n && memcmp(key.p, s, n) == 0; }

// Appends the sections and visible items of `group` (and, right after each
// item, those of its own group). -1 when memory runs out.
static int emit_group(const ModelObj *group, int depth, int parent, const char *filter, const char *tpl) {
    const ModelList *settings = obj_list(group, L_SETTINGS);
    for (int i = 0; i < settings->count; i++) {
        ModelObj *setting = settings->items[i];
        if (!setting) {
            warn_add(&g_lib.warnings, "%s: Settings[%d] is null (legacy Clean throws NullReferenceException) — skipped", tpl,
                     i);
            continue;
        }
        if (filter && depth == 0 && !keys_equal(obj_get(setting, "Key"), filter, strlen(filter))) continue;
        const ModelList *items = obj_list(setting, L_ITEMS);
        if (g_lib.clean_empty) {
            bool any_visible = false;
            for (int j = 0; j < items->count && !any_visible; j++)
                any_visible = items->items[j] && verdict_visible(item_verdict(items->items[j]));
            if (!any_visible) continue;
        }
        if (!node_add(NODE_SECTION, setting, setting, depth, parent, Slice{})) return -1;
        for (int j = 0; j < items->count; j++) {
            ModelObj *item = items->items[j];
            if (!item) {
                warn_add(&g_lib.warnings,
                         "%s: Settings[%d].Items[%d] is null (legacy throws NullReferenceException) — skipped", tpl, i, j);
                continue;
            }
            Slice verdict = item_verdict(item);
            if (!verdict_visible(verdict)) continue;
            if (!node_add(NODE_ITEM, item, setting, depth, parent, verdict)) return -1;
            ModelObj *nested = obj_child(item, C_GROUP);
            if (nested && (g_lib.max_depth < 0 || g_lib.max_depth > depth) &&
                emit_group(nested, depth + 1, g_lib.nodes.count - 1, nullptr, tpl) < 0)
                return -1;
        }
    }
    return 0;
}

// Follows the '/'-separated item keys of `page` from the root; NULL with the
// error set when a segment matches nothing.
static const ModelObj *walk_page(const ModelObj *root, const char *page, const char *tpl) {
    const ModelObj *group = root;
    const char *p = page;
    while (*p) {
        const char *slash = strchr(p, '/');
        size_t len = slash ? size_t(slash - p) : strlen(p);
        const ModelObj *match = nullptr;
        const ModelList *settings = obj_list(group, L_SETTINGS);
        for (int i = 0; i < settings->count && !match; i++) {
            const ModelList *items = obj_list(settings->items[i], L_ITEMS);
            for (int j = 0; j < items->count && !match; j++) {
                const ModelObj *item = items->items[j];
                if (item && obj_child(item, C_GROUP) && keys_equal(obj_get(item, "Key"), p, len)) match = item;
            }
        }
        if (!match) {
            set_err("page '%s' not found in %s", page, tpl);
            return nullptr;
        }
        if (!verdict_visible(item_verdict(match)))
            warn_add(&g_lib.warnings, "page '%.*s' is hidden on this platform/flags; rendered anyway", int(len), p);
        group = obj_child(match, C_GROUP);
        p += len;
        if (*p == '/') p++;
    }
    return group;
}

static int do_render(const char *tpl, const char *page, const char *filter) {
    ensure_init();
    nodes_clear();
    xfree(g_lib.result_json);
    g_lib.result_json = nullptr;
    warn_clear(&g_lib.warnings);

    ModelObj *root = nullptr;
    int rc = get_parsed(tpl, &root);
    const BundleEntry *e = tpl ? bundle_find(&g_lib.bundle, tpl, strlen(tpl)) : nullptr;
    if (e) warn_copy(&g_lib.warnings, &e->warnings);
    if (rc != 0) return rc;

    const ModelObj *group = page && *page ? walk_page(root, page, tpl) : root;
    if (!group) return 1;
    if (emit_group(group, 0, -1, filter, tpl) < 0) {
        nodes_clear();
        set_oom();
        return -1;
    }
    g_lib.page_group = const_cast<ModelObj *>(group);
    tv_invalidate();
    return 0;
}

// ---- fields ----

Slice item_handler(const ModelObj *item) {
    Slice type = obj_get(item, "Type");
    if (type.n >= 13 && memcmp(type.p, "NativeHandler", 13) == 0) return obj_get(item, "DefaultValue");
    return obj_get(obj_child(item, C_ADVANCE_MENU), "NativeHandlerCode");
}

static const char *ret_int(int v) {
    char text[16];
    int n = snprintf(text, sizeof text, "%d", v);
    g_lib.last_null = 0;
    return ret_n(text, size_t(n));
}

const char *obj_field(const ModelObj *o, const char *f) {
    const ModelObj *ext = obj_child(o, C_EXTENSION);
    const ModelObj *group = obj_child(o, C_GROUP);
    if (strncmp(f, "ext.", 4) == 0) {
        const char *name = f + 4;
        const char *dot = strchr(name, '.');
        if (!dot) return ret_ss(obj_get(ext, name));
        size_t plat_len = size_t(dot - name);
        if (plat_len >= 32) return nullptr;
        char platform[32];
        memcpy(platform, name, plat_len);
        platform[plat_len] = '\0';
        return ret_ss(obj_get(ext_plat(ext, platform), dot + 1));
    }
    if (strncmp(f, "am.", 3) == 0) return ret_ss(obj_get(obj_child(o, C_ADVANCE_MENU), f + 3));
    if (strncmp(f, "rs.", 3) == 0) return ret_ss(obj_get(obj_child(o, C_RUNTIME_SETTINGS), f + 3));

    struct Field {
        const char *name;
        int id;
    };
    enum { KEY, TYPE, DISPLAY, TEXT, DEFAULT, SUBTITLE, PLACEHOLDER, ICON, FALLBACK, FLAG, ENABLED, URL, HANDLER,
           HAS_GROUP, GROUP_KEY, GROUP_TEXT, GROUP_TYPE, GROUP_GRID, VALUES_COUNT };
    static const Field FIELDS[] = {
        {"key", KEY}, {"type", TYPE}, {"display", DISPLAY}, {"text", TEXT}, {"default", DEFAULT},
        {"subtitle", SUBTITLE}, {"placeholder", PLACEHOLDER}, {"icon", ICON}, {"fallback_icon_url", FALLBACK},
        {"feature_flag", FLAG}, {"enabled", ENABLED}, {"url", URL}, {"handler", HANDLER}, {"has_group", HAS_GROUP},
        {"group_key", GROUP_KEY}, {"group_text", GROUP_TEXT}, {"group_type", GROUP_TYPE},
        {"group_use_grid", GROUP_GRID}, {"values_count", VALUES_COUNT},
    };
    for (const Field &field : FIELDS) {
        if (strcmp(f, field.name) != 0) continue;
        switch (field.id) {
        case KEY: return ret_ss(obj_get(o, "Key"));
        case TYPE: return ret_ss(obj_get(o, "Type"));
        case DISPLAY: return ret_ss(obj_get(o, "DisplayName"));
        case TEXT: return ret_ss(translatable_text(o));
        case DEFAULT: return ret_ss(obj_get(o, "DefaultValue"));
        case SUBTITLE: {
            const ModelObj *sub = obj_child(o, C_SUBTITLE_TEXT);
            return ret_ss(sub ? translatable_text(sub) : Slice{});
        }
        case PLACEHOLDER: {
            const ModelObj *ph = obj_child(o, C_PLACEHOLDER);
            return ret_ss(ph ? translatable_text(ph) : Slice{});
        }
        case ICON: return ret_ss(obj_get(current_plat_ext(o), "Icon"));
        case FALLBACK: return ret_ss(obj_get(ext, "FallbackIconUrl"));
        case FLAG: return ret_ss(obj_get(ext, "FeatureFlag"));
        case ENABLED: return ret_ss(obj_get(ext_plat(ext, "iOS"), "Enabled"));
        case URL: return ret_ss(obj_get(obj_child(o, C_ADVANCE_MENU), "Url"));
        case HANDLER: return ret_ss(item_handler(o));
        case HAS_GROUP: g_lib.last_null = 0; return ret_n(group ? "1" : "0", 1);
        case GROUP_KEY: return ret_ss(obj_get(group, "Key"));
        case GROUP_TEXT: return ret_ss(group ? translatable_text(group) : Slice{});
        case GROUP_TYPE: return ret_ss(obj_get(group, "Type"));
        case GROUP_GRID: return ret_ss(obj_get(group, "UseGrid"));
        case VALUES_COUNT: return ret_int(obj_list(o, L_VALUES)->count);
        }
    }
    return nullptr;
}

static const RenderNode *node_at(int i) {
    ensure_init();
    return i >= 0 && i < g_lib.nodes.count ? &g_lib.nodes.items[i] : nullptr;
}

// ---- result document ----

static void doc_member(json_buf *b, const char *name, const char *value) {
    if (!value || !*value) return;
    json_buf_char(b, ',');
    json_buf_str(b, name, strlen(name), 0);
    json_buf_char(b, ':');
    json_buf_str(b, value, strlen(value), 0);
}

static const char *const NODE_MEMBERS[] = {"key",  "type", "display", "text", "subtitle", "placeholder",
                                           "default", "icon", "fallback_icon_url", "handler", "url",
                                           "feature_flag", "section", "path", "group_key", "group_type",
                                           "group_use_grid"};
static const char *const VALUE_MEMBERS[] = {"key", "type", "display", "text", "default", "enabled", "icon"};

static char *build_result_json() {
    json_buf b;
    json_buf_init(&b, &XALC);
    json_buf_char(&b, '[');
    for (int i = 0; i < g_lib.nodes.count; i++) {
        const RenderNode *n = &g_lib.nodes.items[i];
        if (i) json_buf_char(&b, ',');
        json_buf_cstr(&b, n->kind == NODE_ITEM ? "{\"kind\":\"item\",\"depth\":" : "{\"kind\":\"section\",\"depth\":");
        json_buf_sint(&b, n->depth);
        json_buf_cstr(&b, ",\"parent\":");
        json_buf_sint(&b, n->parent);
        for (const char *member : NODE_MEMBERS) doc_member(&b, member, optpl_node_field(i, member));
        if (n->kind == NODE_ITEM && obj_child(n->object, C_GROUP)) json_buf_cstr(&b, ",\"has_group\":true");
        const ModelList *values = n->kind == NODE_ITEM ? obj_list(n->object, L_VALUES) : nullptr;
        if (values && values->count) {
            json_buf_cstr(&b, ",\"values\":[");
            for (int v = 0; v < values->count; v++) {
                json_buf_cstr(&b, v ? ",{" : "{");
                size_t mark = b.len;
                if (values->items[v])
                    for (const char *member : VALUE_MEMBERS) doc_member(&b, member, obj_field(values->items[v], member));
                if (b.len > mark && !b.failed) {  // drop the comma before the first member
                    memmove(b.data + mark, b.data + mark + 1, b.len - mark - 1);
                    b.len--;
                }
                json_buf_char(&b, '}');
            }
            json_buf_char(&b, ']');
        }
        json_buf_char(&b, '}');
    }
    json_buf_char(&b, ']');
    if (b.failed) {
        json_buf_free(&b);
        return nullptr;
    }
    b.data[b.len] = '\0';
    return b.data;
}

// ---- exports ----

extern "C" {

int optpl_render(const char *tpl, const char *page) { return do_render(tpl, page, nullptr); }

int optpl_render_section(const char *tpl, const char *page, const char *section) {
    ensure_init();
    if (!section) {
        set_err("section is NULL");
        return -1;
    }
    return do_render(tpl, page, section);
}

int optpl_node_count(void) {
    ensure_init();
    return g_lib.nodes.count;
}

const char *optpl_node_field(int node, const char *field) {
    const RenderNode *n = node_at(node);
    if (!n || !field) return nullptr;
    if (strcmp(field, "kind") == 0) {
        g_lib.last_null = 0;
        return ret_s(n->kind == NODE_ITEM ? "item" : "section");
    }
    if (strcmp(field, "depth") == 0) return ret_int(n->depth);
    if (strcmp(field, "parent") == 0) return ret_int(n->parent);
    if (strcmp(field, "path") == 0) {
        g_lib.last_null = 0;
        size_t len = node_path_len(node);
        char *path = ret_room(len);
        if (!path) return EMPTY;
        node_path_write(node, path);
        path[len] = '\0';
        return path;
    }
    if (strcmp(field, "verdict") == 0) return ret_ss(Slice{n->verdict, n->verdict_len});
    if (strcmp(field, "section") == 0) return ret_ss(obj_get(n->section, "Key"));
    if (strcmp(field, "section_text") == 0) return ret_ss(translatable_text(n->section));
    return obj_field(n->object, field);
}

int optpl_node_field_is_null(int node, const char *field) {
    ensure_init();
    g_lib.last_null = 0;
    if (!optpl_node_field(node, field)) return -1;
    return g_lib.last_null;
}

int optpl_node_value_count(int node) {
    const RenderNode *n = node_at(node);
    if (!n) return -1;
    return n->kind == NODE_ITEM ? obj_list(n->object, L_VALUES)->count : 0;
}

const char *optpl_node_value_field(int node, int value, const char *field) {
    const RenderNode *n = node_at(node);
    if (!n || !field || n->kind != NODE_ITEM) return nullptr;
    const ModelList *values = obj_list(n->object, L_VALUES);
    if (value < 0 || value >= values->count) return nullptr;
    if (!values->items[value]) return ret_ss(Slice{});
    return obj_field(values->items[value], field);
}

const char *optpl_result_json(void) {
    ensure_init();
    xfree(g_lib.result_json);
    g_lib.result_json = build_result_json();
    return g_lib.result_json;
}

}  // extern "C"
