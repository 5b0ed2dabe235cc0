// Translation tables from "strings.json", language choice and key lookup.
#include <cstring>

#include "json.h"
#include "optpl_internal.h"
#include "render.h"

static const size_t TABLE_START = 64;
static const size_t LANG_PREFIX_MAX = 63;

static void table_free(TransTable *t) {
    for (size_t i = 0; i < t->cap; i++) {
        xfree(t->slots[i].key);
        xfree(t->slots[i].text);
    }
    xfree(t->slots);
    xfree(t->code);
}

void trans_free(TransSet *set) {
    for (int i = 0; i < set->count; i++) table_free(&set->tables[i]);
    xfree(set->tables);
    xfree(set->slots);
    *set = TransSet{};
}

static TransSlot *table_slot(const TransTable *t, const char *key, size_t len) {
    for (size_t i = size_t(fnv1a(key, len)) & (t->cap - 1);; i = (i + 1) & (t->cap - 1)) {
        TransSlot *s = &t->slots[i];
        if (!s->key || (s->key_len == len && memcmp(s->key, key, len) == 0)) return s;
    }
}

static const TransSlot *table_get(const TransTable *t, const char *key, size_t len) {
    if (!t->cap) return nullptr;
    const TransSlot *s = table_slot(t, key, len);
    return s->key ? s : nullptr;
}

static int table_grow(TransTable *t) {
    size_t cap = t->cap ? t->cap * 2 : TABLE_START;
    TransSlot *slots = static_cast<TransSlot *>(xcalloc(cap, sizeof(TransSlot)));
    if (!slots) return -1;
    TransTable bigger = *t;
    bigger.slots = slots;
    bigger.cap = cap;
    for (size_t i = 0; i < t->cap; i++)
        if (t->slots[i].key) *table_slot(&bigger, t->slots[i].key, t->slots[i].key_len) = t->slots[i];
    xfree(t->slots);
    *t = bigger;
    return 0;
}

// Sets key -> text (a later text for the same key wins). -1 when memory runs out.
static int table_put(TransTable *t, const char *key, size_t key_len, const char *text, size_t text_len) {
    if (t->cap < 2 * t->count + 2 && table_grow(t) < 0) return -1;
    char *text_copy = xmemdup(text, text_len);
    if (!text_copy) return -1;
    TransSlot *s = table_slot(t, key, key_len);
    if (!s->key) {
        s->key = xmemdup(key, key_len);
        if (!s->key) {
            xfree(text_copy);
            return -1;
        }
        s->key_len = key_len;
        t->count++;
    }
    xfree(s->text);
    s->text = text_copy;
    s->text_len = text_len;
    return 0;
}

// Index slot of the table named `code`, or the empty slot where it would go.
static size_t set_slot(const TransSet *set, const char *code, size_t len) {
    size_t mask = set->slot_cap - 1;
    for (size_t i = size_t(fnv1a(code, len)) & mask;; i = (i + 1) & mask) {
        int pos = set->slots[i];
        if (!pos) return i;
        const char *c = set->tables[pos - 1].code;
        if (strlen(c) == len && memcmp(c, code, len) == 0) return i;
    }
}

static TransTable *set_find(const TransSet *set, const char *code, size_t len) {
    if (!set->slot_cap) return nullptr;
    int pos = set->slots[set_slot(set, code, len)];
    return pos ? &set->tables[pos - 1] : nullptr;
}

// The table for `code`, created empty when missing; NULL when memory runs out.
static TransTable *set_table(TransSet *set, const char *code, size_t len) {
    TransTable *t = set_find(set, code, len);
    if (t) return t;
    if (set->count == set->cap) {
        if (set->cap > INT32_MAX / 4) return nullptr;
        int cap = set->cap ? set->cap * 2 : 8;
        TransTable *tables = static_cast<TransTable *>(xrealloc(set->tables, sizeof(TransTable) * size_t(cap)));
        if (!tables) return nullptr;
        set->tables = tables;
        set->cap = cap;
    }
    if (set->slot_cap < size_t(set->count + 1) * 2) {
        TransSet grown = *set;
        grown.slot_cap = set->slot_cap ? set->slot_cap * 2 : 16;
        grown.slots = static_cast<int *>(xcalloc(grown.slot_cap, sizeof(int)));
        if (!grown.slots) return nullptr;
        for (int i = 0; i < set->count; i++) {
            const char *c = set->tables[i].code;
            grown.slots[set_slot(&grown, c, strlen(c))] = i + 1;
        }
        xfree(set->slots);
        *set = grown;
    }
    char *code_copy = xmemdup(code, len);
    if (!code_copy) return nullptr;
    set->slots[set_slot(set, code, len)] = set->count + 1;
    t = &set->tables[set->count++];
    *t = TransTable{};
    t->code = code_copy;
    return t;
}

// Builds tables from the text of "strings.json". -1 when memory runs out.
static int trans_read(const char *text, size_t len, TransSet *set, WarnList *warnings) {
    json_err err{};
    const uint32_t flags = JSON_READ_BOM | JSON_READ_TRAILING_COMMAS | JSON_READ_COMMENTS | JSON_READ_INVALID_UTF8 |
                           JSON_READ_NUMBERS_RAW;
    json_doc *doc = json_read(text, len, flags, &XALC, &err);
    if (!doc) {
        if (err.code == JSON_ERR_MEMORY) return -1;
        warn_add(warnings, "strings.json is not valid JSON — translation disabled");
        return 0;
    }
    json_obj_iter langs = json_obj_iter_init(json_doc_root(doc));
    for (json_val *code; (code = json_obj_iter_next(&langs));) {
        json_val *lang = code + 1;
        if (!json_is_obj(lang)) continue;
        TransTable *t = set_table(set, json_get_str(code), json_get_len(code));
        if (!t) goto out_of_memory;
        json_obj_iter keys = json_obj_iter_init(lang);
        for (json_val *key; (key = json_obj_iter_next(&keys));) {
            json_val *val = key + 1;
            json_type type = json_get_type(val);
            if (type != JSON_STR && type != JSON_RAW) continue;
            if (table_put(t, json_get_str(key), json_get_len(key), json_get_str(val), json_get_len(val)) < 0)
                goto out_of_memory;
        }
    }
    json_doc_free(doc);
    return 0;
out_of_memory:
    json_doc_free(doc);
    return -1;
}

int trans_build(const char *text, size_t len, TransSet *out, WarnList *warnings) {
    *out = TransSet{};
    if (text && trans_read(text, len, out, warnings) < 0) {
        trans_free(out);
        return -1;
    }
    return 0;
}

// Translation of `key` from the table named `code`, when it is a real one:
// present, non-empty and different from the key.
static const TransSlot *lookup_in(const char *code, size_t code_len, const char *key, size_t key_len) {
    const TransTable *t = set_find(&g_lib.trans, code, code_len);
    const TransSlot *s = t ? table_get(t, key, key_len) : nullptr;
    if (!s || !s->text_len || (s->text_len == key_len && memcmp(s->text, key, key_len) == 0)) return nullptr;
    return s;
}

// Tries the current language, then "en-US"; each first as given, then by the
// part before its first '-' (fr-CA, fr, en-US, en).
static const TransSlot *translate_key(const char *key, size_t key_len) {
    const char *candidates[2] = {g_lib.language, "en-US"};
    for (const char *code : candidates) {
        if (!code) continue;
        size_t len = strlen(code);
        const TransSlot *s = lookup_in(code, len, key, key_len);
        if (s) return s;
        const char *dash = static_cast<const char *>(memchr(code, '-', len));
        if (!dash) continue;
        size_t prefix = size_t(dash - code);
        s = lookup_in(code, prefix < LANG_PREFIX_MAX ? prefix : LANG_PREFIX_MAX, key, key_len);
        if (s) return s;
    }
    return nullptr;
}

Slice translate_slice(Slice key) {
    if (!key.n || memchr(key.p, '\0', key.n)) return {};
    const TransSlot *s = translate_key(key.p, key.n);
    return s ? Slice{s->text, s->text_len} : Slice{};
}

Slice translatable_text(const ModelObj *obj) {
    Slice key = obj_get(obj, "Key");
    Slice translated = translate_slice(key);
    if (translated.p) return translated;
    Slice display = obj_get(obj, "DisplayName");
    return display.p ? display : key;
}

extern "C" {

int optpl_set_language(const char *code) {
    ensure_init();
    if (!code || !*code) {
        set_err("language is empty");
        return -1;
    }
    char *copy = xstrdup(code);
    if (!copy) {
        set_oom();
        return -1;
    }
    xfree(g_lib.language);
    g_lib.language = copy;
    return set_find(&g_lib.trans, code, strlen(code)) ? 0 : 1;
}

const char *optpl_language(void) {
    ensure_init();
    return ret_s(g_lib.language);
}

int optpl_language_count(void) {
    ensure_init();
    return g_lib.trans.count;
}

const char *optpl_language_name(int index) {
    ensure_init();
    if (index < 0 || index >= g_lib.trans.count) return nullptr;
    return ret_s(g_lib.trans.tables[index].code);
}

const char *optpl_translate(const char *key) {
    ensure_init();
    if (!key || !*key) return ret_n("", 0);
    size_t len = strlen(key);
    const TransSlot *s = translate_key(key, len);
    return s ? ret_n(s->text, s->text_len) : ret_n(key, len);
}

}  // extern "C"
