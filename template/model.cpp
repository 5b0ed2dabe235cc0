// Reading a template text into the model, with the tolerances of the
// document format's earlier reader: every place where that reader would
// have failed is accepted and reported as a warning.
#include <bit>
#include <cstring>

#include "json.h"
#include "model.h"

enum { MAX_LEVEL = 256 };
static const char TPL[] = "template";

enum Take { T_SCALAR, T_OBJECT, T_LIST, T_DICT };

struct SchemaRow {
    const char *name;
    unsigned char name_len;
    unsigned char take;  // Take
    unsigned char kind;  // ModelKind of the object made
    unsigned char slot;
};

#define ROW(name, take, kind, slot) {name, sizeof(name) - 1, take, kind, slot}

static const SchemaRow S_GROUP[] = {
    ROW("Key", T_SCALAR, 0, 0),
    ROW("DisplayName", T_SCALAR, 0, 0),
    ROW("Type", T_SCALAR, 0, 0),
    ROW("UseGrid", T_SCALAR, 0, 0),
    ROW("Settings", T_LIST, K_SETTING, L_SETTINGS),
    ROW("Extension", T_OBJECT, K_EXTENSION, C_EXTENSION),
    ROW("RuntimeSettings", T_DICT, K_DICTIONARY, C_RUNTIME_SETTINGS),
    ROW("RuntimeFlags", T_DICT, K_DICTIONARY, C_RUNTIME_FLAGS),
};
static const SchemaRow S_SETTING[] = {
    ROW("DefaultValue", T_SCALAR, 0, 0),
    ROW("Key", T_SCALAR, 0, 0),
    ROW("DisplayName", T_SCALAR, 0, 0),
    ROW("Items", T_LIST, K_ITEM, L_ITEMS),
    ROW("Extension", T_OBJECT, K_EXTENSION, C_EXTENSION),
};
static const SchemaRow S_ITEM[] = {
    ROW("Key", T_SCALAR, 0, 0),
    ROW("DisplayName", T_SCALAR, 0, 0),
    ROW("Type", T_SCALAR, 0, 0),
    ROW("DefaultValue", T_SCALAR, 0, 0),
    ROW("AdvanceMenu", T_OBJECT, K_ADVANCE_MENU, C_ADVANCE_MENU),
    ROW("Extension", T_OBJECT, K_EXTENSION, C_EXTENSION),
    ROW("Group", T_OBJECT, K_GROUP, C_GROUP),
    ROW("Values", T_LIST, K_ITEM, L_VALUES),
    ROW("PlaceHolder", T_OBJECT, K_TEXT, C_PLACEHOLDER),
    ROW("SubtitleText", T_OBJECT, K_TEXT, C_SUBTITLE_TEXT),
    ROW("RuntimeSettings", T_DICT, K_DICTIONARY, C_RUNTIME_SETTINGS),
};
static const SchemaRow S_EXT[] = {
    ROW("Common", T_OBJECT, K_PLATFORM_EXTENSION, C_COMMON),
    ROW("iOS", T_OBJECT, K_PLATFORM_EXTENSION, C_IOS),
    ROW("tvOS", T_OBJECT, K_PLATFORM_EXTENSION, C_TVOS),
    ROW("UWP", T_OBJECT, K_PLATFORM_EXTENSION, C_UWP),
    ROW("Droid", T_OBJECT, K_PLATFORM_EXTENSION, C_DROID),
    ROW("SkiaMacOS", T_OBJECT, K_PLATFORM_EXTENSION, C_SKIA_MACOS),
};
static const SchemaRow S_AM[] = {
    ROW("Extension", T_OBJECT, K_EXTENSION, C_EXTENSION),
};
static const SchemaRow S_TRANS[] = {
    ROW("Key", T_SCALAR, 0, 0),
    ROW("DisplayName", T_SCALAR, 0, 0),
};

struct Schema {
    const SchemaRow *rows;
    int count;
    bool open;  // unknown scalar members are kept
};

#define SCHEMA(table, open) {table, int(sizeof(table) / sizeof(table[0])), open}

static const Schema SCHEMAS[] = {
    /* K_GROUP */ SCHEMA(S_GROUP, false),
    /* K_SETTING */ SCHEMA(S_SETTING, false),
    /* K_ITEM */ SCHEMA(S_ITEM, false),
    /* K_EXTENSION */ SCHEMA(S_EXT, true),
    /* K_PLATFORM_EXTENSION */ {nullptr, 0, true},
    /* K_ADVANCE_MENU */ SCHEMA(S_AM, true),
    /* K_TEXT */ SCHEMA(S_TRANS, false),
    /* K_DICTIONARY */ {nullptr, 0, true},
};

static bool name_matches(const ModelObj *obj, const char *a, size_t a_len, const char *b, size_t b_len) {
    if (a_len != b_len) return false;
    return obj->kind == K_DICTIONARY ? memcmp(a, b, a_len) == 0 : ieq_n(a, b, a_len);
}

// ---- scalar name index ----

// Objects with more scalars than this get a name index; below it a scan is
// as fast. Dictionaries and open schemas can hold tens of thousands.
enum { INDEX_FROM = 16 };

// Hash of a scalar name as the object compares names: byte-exact in a
// Dictionary, ASCII letters folded elsewhere.
static size_t name_hash(const ModelObj *obj, const char *name, size_t len) {
    if (obj->kind == K_DICTIONARY) return size_t(fnv1a(name, len));
    uint64_t h = 0x14650fb0739d0383ull;
    for (size_t i = 0; i < len; i++) {
        unsigned c = static_cast<unsigned char>(name[i]);
        h ^= c - 'A' < 26u ? c + 32 : c;
        h *= 0x100000001b3ull;
    }
    return size_t(h);
}

// At most half full at the largest count the scalar array can hold.
static size_t index_cap(const ModelObj *obj) { return std::bit_ceil(size_t(obj->scalar_cap) * 2); }

static void index_put(ModelObj *obj, int pos) {
    const Scalar *s = &obj->scalars[pos];
    size_t mask = index_cap(obj) - 1;
    size_t i = name_hash(obj, s->name, s->name_len) & mask;
    while (obj->scalar_index[i]) i = (i + 1) & mask;
    obj->scalar_index[i] = uint32_t(pos + 1);
}

// Position of the scalar whose name matches, or -1.
static int find_scalar(const ModelObj *obj, const char *name, size_t len) {
    if (!obj->scalar_index) {
        for (int i = 0; i < obj->scalar_count; i++) {
            const Scalar *s = &obj->scalars[i];
            if (name_matches(obj, s->name, s->name_len, name, len)) return i;
        }
        return -1;
    }
    size_t mask = index_cap(obj) - 1;
    for (size_t i = name_hash(obj, name, len) & mask;; i = (i + 1) & mask) {
        uint32_t pos = obj->scalar_index[i];
        if (!pos) return -1;
        const Scalar *s = &obj->scalars[pos - 1];
        if (name_matches(obj, s->name, s->name_len, name, len)) return int(pos - 1);
    }
}

// ---- building ----

struct Builder {
    Arena *arena;
    WarnList *warnings;
    bool out_of_memory;
};

static void *balloc(Builder *b, size_t size, bool zero = true) {
    if (b->out_of_memory) return nullptr;
    void *p = zero ? ar_alloc(b->arena, size) : ar_alloc_raw(b->arena, size);
    if (!p) b->out_of_memory = true;
    return p;
}

static const char *bcopy(Builder *b, const char *s, size_t n) {
    char *p = n == SIZE_MAX ? nullptr : static_cast<char *>(balloc(b, n + 1, false));
    if (!p) return nullptr;
    memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

static ModelObj *new_obj(Builder *b, int kind) {
    ModelObj *o = static_cast<ModelObj *>(balloc(b, sizeof(ModelObj)));
    if (o) o->kind = kind;
    return o;
}

// The value of a JSON scalar as model text; absent for null. Strings stay
// where the reader unescaped them (the text copy lives in the arena); raw
// numbers are copied to gain their terminating NUL.
static Slice scalar_of(Builder *b, const json_val *v) {
    switch (json_get_type(v)) {
    case JSON_TRUE: return {"true", 4};
    case JSON_FALSE: return {"false", 5};
    case JSON_STR: return {json_get_str(v), json_get_len(v)};
    case JSON_RAW: {
        size_t n = json_get_len(v);
        const char *p = bcopy(b, json_get_str(v), n);
        return p ? Slice{p, n} : Slice{};
    }
    default: return {};
    }
}

// Stores a scalar: an existing one of the same name keeps its name and takes
// the value; otherwise a new pair is appended under `name` (a constant or a
// key inside the arena's text copy). `room` is how many more scalars the
// JSON object being read can bring, so a first array is sized once.
static void set_scalar(Builder *b, ModelObj *o, const char *name, size_t name_len, Slice value, size_t room) {
    if (name_len > UINT32_MAX || value.n > UINT32_MAX) {
        b->out_of_memory = true;
        return;
    }
    int found = find_scalar(o, name, name_len);
    if (found >= 0) {
        o->scalars[found].value = value.p;
        o->scalars[found].value_len = uint32_t(value.n);
        return;
    }
    if (o->scalar_count == o->scalar_cap) {
        if (o->scalar_cap > INT32_MAX / 4) {
            b->out_of_memory = true;
            return;
        }
        // Open kinds hold mostly scalars, so their first array takes every
        // member the JSON object has left; schema kinds hold a few at most.
        size_t first = SCHEMAS[o->kind].open || room < 8 ? room : 8;
        int cap = o->scalar_cap ? o->scalar_cap * 2 : first < INT32_MAX / 4 ? int(first) : INT32_MAX / 4;
        Scalar *grown = static_cast<Scalar *>(balloc(b, sizeof(Scalar) * size_t(cap), false));
        if (!grown) return;
        if (o->scalar_count) memcpy(grown, o->scalars, sizeof(Scalar) * size_t(o->scalar_count));
        o->scalars = grown;
        o->scalar_cap = cap;
        o->scalar_index = nullptr;
        if (cap > INDEX_FROM) {
            o->scalar_index = static_cast<uint32_t *>(balloc(b, sizeof(uint32_t) * index_cap(o)));
            if (!o->scalar_index) return;
            for (int i = 0; i < o->scalar_count; i++) index_put(o, i);
        }
    }
    o->scalars[o->scalar_count] = Scalar{name, value.p, uint32_t(name_len), uint32_t(value.n)};
    if (o->scalar_index) index_put(o, o->scalar_count);
    o->scalar_count++;
}

static void list_append(Builder *b, ModelList *list, ModelObj *entry, size_t room) {
    if (list->count == list->cap) {
        int cap = list->cap ? list->cap * 2 : room < 8 ? int(room) : 8;
        ModelObj **grown = static_cast<ModelObj **>(balloc(b, sizeof(ModelObj *) * size_t(cap), false));
        if (!grown) return;
        if (list->count) memcpy(grown, list->items, sizeof(ModelObj *) * size_t(list->count));
        list->items = grown;
        list->cap = cap;
    }
    list->items[list->count++] = entry;
}

static ModelList *lists_of(Builder *b, ModelObj *o) {
    if (!o->list) o->list = static_cast<ModelList *>(balloc(b, sizeof(ModelList) * LIST_SLOTS));
    return o->list;
}

static ModelObj **children_of(Builder *b, ModelObj *o) {
    if (!o->child) o->child = static_cast<ModelObj **>(balloc(b, sizeof(ModelObj *) * CHILD_SLOTS));
    return o->child;
}

static bool is_empty_str(const json_val *v) { return json_is_str(v) && json_get_len(v) == 0; }

static const SchemaRow *find_row(const Schema *schema, const char *name, size_t len) {
    for (int i = 0; i < schema->count; i++) {
        const SchemaRow *row = &schema->rows[i];
        if (row->name_len == len && ieq_n(row->name, name, len)) return row;
    }
    return nullptr;
}

static void populate(Builder *b, ModelObj *o, json_val *json, int depth);

static void take_list(Builder *b, ModelObj *o, const SchemaRow *row, json_val *v, int depth) {
    bool array = json_is_arr(v);
    if (!array && !json_is_null(v) && !is_empty_str(v))
        warn_add(b->warnings, "%s: '%s' is not an array (legacy throws) — treated as null", TPL, row->name);
    if (!array) {
        if (o->list) o->list[row->slot] = ModelList{};
        return;
    }
    ModelList *lists = lists_of(b, o);
    if (!lists) return;
    ModelList *list = &lists[row->slot];
    list->present = 1;
    json_arr_iter it = json_arr_iter_init(v);
    for (json_val *el; (el = json_arr_iter_next(&it));) {
        size_t room = it.left + 1;
        ModelObj *entry = nullptr;
        if (json_is_obj(el)) {
            entry = new_obj(b, row->kind);
            if (entry) populate(b, entry, el, depth + 1);
        } else if (json_is_str(el) && json_get_len(el)) {
            size_t n = json_get_len(el);
            warn_add(b->warnings, "%s: '%s' element \"%.*s\" is not an object (legacy throws) — kept as null", TPL,
                     row->name, int(n < 32 ? n : 32), json_get_str(el));
        } else if (!json_is_null(el) && !json_is_str(el)) {
            warn_add(b->warnings, "%s: '%s' element is not an object (legacy throws) — kept as null", TPL, row->name);
        }
        list_append(b, list, entry, room);
        if (b->out_of_memory) return;
    }
}

static void take_object(Builder *b, ModelObj *o, const SchemaRow *row, json_val *v, int depth) {
    bool object = json_is_obj(v);
    if (!object && !json_is_null(v) && !is_empty_str(v))
        warn_add(b->warnings, "%s: '%s' is not an object (legacy throws) — treated as null", TPL, row->name);
    if (!object) {
        if (o->child) o->child[row->slot] = nullptr;
        return;
    }
    ModelObj **children = children_of(b, o);
    if (!children) return;
    ModelObj **slot = &children[row->slot];
    if (!*slot && !(*slot = new_obj(b, row->kind))) return;
    populate(b, *slot, v, depth + 1);  // a property given twice merges into one object
}

static void populate(Builder *b, ModelObj *o, json_val *json, int depth) {
    if (b->out_of_memory) return;
    if (depth == MAX_LEVEL + 1) {
        warn_add(b->warnings, "%s: nesting deeper than %d levels truncated (legacy Newtonsoft MaxDepth is 64)", TPL,
                 MAX_LEVEL);
        return;
    }
    const Schema *schema = &SCHEMAS[o->kind];
    json_obj_iter it = json_obj_iter_init(json);
    for (json_val *key; (key = json_obj_iter_next(&it)) && !b->out_of_memory;) {
        size_t room = it.left + 1;
        const char *name = json_get_str(key);
        size_t len = json_get_len(key);
        json_val *v = key + 1;
        if (o->kind == K_DICTIONARY) {
            if (json_is_ctn(v))
                warn_add(b->warnings,
                         "%s: RuntimeSettings/RuntimeFlags value '%.*s' is an object/array (legacy throws) — ignored",
                         TPL, int(len < 40 ? len : 40), name);
            else
                set_scalar(b, o, name, len, scalar_of(b, v), room);
            continue;
        }
        if (len && name[0] == '$') {
            warn_add(b->warnings, "%s: Newtonsoft metadata property '%.*s' ignored", TPL, int(len < 40 ? len : 40),
                     name);
            continue;
        }
        const SchemaRow *row = find_row(schema, name, len);
        if (!row) {
            if (schema->open && !json_is_ctn(v)) set_scalar(b, o, name, len, scalar_of(b, v), room);
            continue;
        }
        switch (row->take) {
        case T_SCALAR:
            if (json_is_ctn(v)) {
                warn_add(b->warnings, "%s: '%s' is an object/array (legacy throws) — treated as null", TPL, row->name);
                set_scalar(b, o, row->name, row->name_len, Slice{}, room);
            } else {
                set_scalar(b, o, row->name, row->name_len, scalar_of(b, v), room);
            }
            break;
        case T_OBJECT:
        case T_DICT: take_object(b, o, row, v, depth); break;
        case T_LIST: take_list(b, o, row, v, depth); break;
        }
    }
}

static bool is_blank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

ModelObj *model_parse(Arena *arena, const char *text, size_t len, WarnList *warnings, const char **reason) {
    size_t start = 0;
    while (start < len && is_blank(text[start])) start++;
    if (start == len) {
        *reason = "empty";
        return nullptr;
    }
    const uint32_t flags = JSON_READ_BOM | JSON_READ_COMMENTS | JSON_READ_TRAILING_COMMAS | JSON_READ_SINGLE_QUOTES |
                           JSON_READ_UNQUOTED_KEYS | JSON_READ_INF_NAN | JSON_READ_INVALID_UTF8 |
                           JSON_READ_NUMBERS_RAW | JSON_READ_STOP_WHEN_DONE;
    // The model's strings point into this copy of the text, which the arena keeps.
    char *copy = len > SIZE_MAX - JSON_READ_PADDING ? nullptr
                                                    : static_cast<char *>(ar_alloc_raw(arena, len + JSON_READ_PADDING));
    if (!copy) {
        *reason = "out of memory";
        return nullptr;
    }
    memcpy(copy, text, len);
    json_err err{};
    json_doc *doc = json_read_insitu(copy, len, flags, &XALC, &err);
    if (!doc) {
        if (err.code == JSON_ERR_MEMORY) {
            *reason = "out of memory";
            return nullptr;
        }
        warn_add(warnings, "invalid JSON at byte %zu: %s", err.pos, err.msg ? err.msg : "?");
        *reason = "invalid JSON";
        return nullptr;
    }
    size_t end = json_doc_read_size(doc);
    for (size_t i = end; i < len; i++) {
        if (text[i] == '\0' || is_blank(text[i])) continue;
        warn_add(warnings, "trailing data after the JSON value at byte %zu ignored (legacy throws)", end);
        break;
    }
    json_val *root = json_doc_root(doc);
    ModelObj *model = nullptr;
    if (json_is_null(root)) {
        *reason = "null";
    } else if (!json_is_obj(root)) {
        *reason = "root is not an object";
    } else {
        Builder b{arena, warnings, false};
        model = new_obj(&b, K_GROUP);
        if (model) populate(&b, model, root, 0);
        if (b.out_of_memory) {
            model = nullptr;
            *reason = "out of memory";
        }
    }
    json_doc_free(doc);
    return model;
}

// ---- reading ----

Slice obj_get(const ModelObj *obj, const char *name) {
    if (!obj || !name) return {};
    int i = find_scalar(obj, name, strlen(name));
    return i >= 0 ? Slice{obj->scalars[i].value, obj->scalars[i].value_len} : Slice{};
}

ModelObj *obj_child(const ModelObj *obj, int slot) {
    return obj && obj->child && slot >= 0 && slot < CHILD_SLOTS ? obj->child[slot] : nullptr;
}

const ModelList *obj_list(const ModelObj *obj, int slot) {
    static const ModelList NONE = {};
    return obj && obj->list && slot >= 0 && slot < LIST_SLOTS ? &obj->list[slot] : &NONE;
}

ModelObj *ext_plat(const ModelObj *extension, const char *platform) {
    if (!platform) return nullptr;
    const SchemaRow *row = find_row(&SCHEMAS[K_EXTENSION], platform, strlen(platform));
    return row ? obj_child(extension, row->slot) : nullptr;
}
