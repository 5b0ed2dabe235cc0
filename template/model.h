// Template model: the objects a template text is read into, allocated from
// one arena per bundle entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "optpl_internal.h"

// Bytes with a length; `p` is NULL for an absent value, else NUL-terminated.
struct Slice {
    const char *p;
    size_t n;
};

void *ar_alloc(Arena *arena, size_t size);  // zero-filled; NULL when memory runs out
void *ar_alloc_raw(Arena *arena, size_t size);  // for memory the caller fills at once
void ar_free(Arena *arena);
size_t ar_reserved(const Arena *arena);     // bytes held in chunks

enum ModelKind { K_GROUP, K_SETTING, K_ITEM, K_EXTENSION, K_PLATFORM_EXTENSION, K_ADVANCE_MENU, K_TEXT, K_DICTIONARY };

enum ChildSlot {
    C_EXTENSION, C_GROUP, C_ADVANCE_MENU, C_PLACEHOLDER, C_SUBTITLE_TEXT, C_RUNTIME_SETTINGS, C_RUNTIME_FLAGS,
    C_COMMON, C_IOS, C_TVOS, C_UWP, C_DROID, C_SKIA_MACOS,
    CHILD_SLOTS
};

enum ListSlot { L_SETTINGS, L_ITEMS, L_VALUES, LIST_SLOTS };

struct ModelObj;

// A template value; lengths are 32-bit to keep the bulk of a model small
// (a longer name or value fails the parse as out of memory).
struct Scalar {
    const char *name;
    const char *value;  // NULL = absent
    uint32_t name_len;
    uint32_t value_len;
};

struct ModelList {
    ModelObj **items;  // an entry may be NULL (an element that was not an object)
    int count;
    int cap;
    int present;
};

// Most objects have no children and no lists (items are the bulk of a
// template), so both slot arrays are allocated with their first use.
struct ModelObj {
    int kind;  // ModelKind
    int scalar_count;
    int scalar_cap;
    Scalar *scalars;
    // Name index of the scalars once there are more than a few (open
    // addressing, scalar position + 1, 0 = empty; capacity from scalar_cap),
    // or NULL while a scan is cheaper.
    uint32_t *scalar_index;
    ModelObj **child;  // CHILD_SLOTS references, or NULL while all are empty
    ModelList *list;   // LIST_SLOTS lists, or NULL while none was given
};

// Builds the model of one entry's text. Returns the root, or NULL with
// `*reason` set to "empty", "invalid JSON", "null", "root is not an object"
// or "out of memory". Warnings go to `warnings`.
ModelObj *model_parse(Arena *arena, const char *text, size_t len, WarnList *warnings, const char **reason);

// Reads; each accepts a NULL object and then answers absent.
Slice obj_get(const ModelObj *obj, const char *name);
ModelObj *obj_child(const ModelObj *obj, int slot);
// Never NULL: a list that was not given reads as empty and not present.
const ModelList *obj_list(const ModelObj *obj, int slot);
// The platform extension (Common, iOS, tvOS, UWP, Droid, SkiaMacOS; any case) of an Extension.
ModelObj *ext_plat(const ModelObj *extension, const char *platform);
