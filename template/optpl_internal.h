// Internal state and helpers of the template library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "optpl.h"
#include "xalloc.h"

#define OPTPL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// ---- warnings ----

enum { WARN_MAX = 10000, WARN_TEXT = 512 };

struct WarnList {
    char **items;
    int count;
    int cap;
};

void warn_add(WarnList *list, const char *fmt, ...) OPTPL_PRINTF(2, 3);
void warn_clear(WarnList *list);
// Appends copies of `from`'s warnings to `to`, in order (each subject to the limits).
void warn_copy(WarnList *to, const WarnList *from);

// ---- bundle store ----

enum EntryState { ENTRY_UNPARSED = 0, ENTRY_PARSED = 1, ENTRY_FAILED = -1 };

// Chunked bump allocator holding one template model (see model.h).
struct ArenaChunk;
struct Arena {
    ArenaChunk *head;  // newest chunk first
    size_t used;       // bytes handed out, for reports
};

struct ModelObj;

struct BundleEntry {
    char *name;       // NUL-terminated; may hold NUL bytes inside (name_len counts them)
    size_t name_len;
    char *text;       // NUL-terminated copy of the file's bytes
    size_t text_len;
    int state;        // EntryState
    Arena arena;      // memory of the parsed model
    ModelObj *model;  // root of the parsed model, or NULL
    WarnList warnings;  // raised while the model was built
    const char *reason;  // why parsing failed (constant text) or NULL
};

// Name index: open addressing over entry positions, rebuilt when it grows.
struct EntryIndex {
    int *slots;  // entry position + 1; 0 = empty
    size_t cap;  // power of two
};

struct Bundle {
    BundleEntry *entries;
    int count;
    int cap;
    EntryIndex index;
    int *templates;  // positions of the entries whose name ends in ".json", in order (room for cap)
    int template_count;
};

// ---- translations ----

struct TransSlot {
    char *key;  // NULL = empty slot
    size_t key_len;
    char *text;
    size_t text_len;
};

struct TransTable {
    char *code;
    TransSlot *slots;
    size_t cap;  // power of two
    size_t count;
};

struct TransSet {
    TransTable *tables;
    int count;
    int cap;
    int *slots;  // code index: open addressing, table position + 1, 0 = empty; at most half full
    size_t slot_cap;
};

// ---- rule context ----

enum Platform { P_UWP, P_IOS, P_TVOS, P_DROID, P_SKIA_MACOS, PLATFORM_COUNT };

// Pairs of owned strings; keys unique, byte-exact. Removing a key moves the
// last pair into its place. Keys are found through a hash index, so a set of
// tens of thousands of flags (a bundle's "ffop.json") stays cheap.
struct FlagSet {
    char **keys;
    char **values;
    size_t *key_lens;
    int count;
    int cap;
    int *slots;       // open addressing: pair position + 1, 0 = empty; at most half full
    size_t slot_cap;  // power of two, 0 while the set is empty
};

struct RuleCtx {
    int platform;  // Platform
    char *device;
    char *edition;
    char *app_version;
    FlagSet runtime;
    int global_enabled;
    FlagSet global;
};

// ---- render nodes ----

enum NodeKind { NODE_SECTION = 0, NODE_ITEM = 1 };

struct RenderNode {
    int kind;           // NodeKind
    ModelObj *object;   // the Item, or the Setting of a section node
    ModelObj *section;  // the Setting the node belongs to
    int depth;
    int parent;         // index of the item node whose group holds this node, -1 at depth 0
    const char *verdict;  // item verdict (NULL = absent), with its length
    size_t verdict_len;
    // Key of an item node ("" when absent): the last segment of its path.
    // Paths are put together when asked for, so deep pages with long keys
    // cost memory in proportion to the template, not to depth times keys.
    const char *key;
    size_t key_len;
};

struct NodeList {
    RenderNode *items;
    int count;
    int cap;
};

// ---- library state ----

enum { LAST_ERROR_SIZE = 1024 };

// The library's process-wide state (the focus engine keeps its own, g_tv).
struct LibState {
    int initialised;
    // Bundle store, translations and the current language.
    Bundle bundle;
    TransSet trans;
    char *language;
    // What items are checked against.
    RuleCtx rules;
    // Render options and the result of the last render.
    int clean_empty;
    int max_depth;         // -1 = unlimited
    NodeList nodes;
    ModelObj *page_group;  // the group the last successful render expanded
    char *result_json;     // last optpl_result_json document
    // Results handed back to the caller.
    int last_null;  // the last template value read was absent
    WarnList warnings;
    char last_error[LAST_ERROR_SIZE];
    char *ret;  // shared return buffer
    size_t ret_cap;
    char normalized_version[64];
};

extern LibState g_lib;

void ensure_init();
void set_err(const char *fmt, ...) OPTPL_PRINTF(1, 2);
void set_oom();

// Shared return buffer: `n` bytes of `s` plus a NUL; NULL for a NULL source;
// a constant "" when the buffer cannot grow.
const char *ret_n(const char *s, size_t n);
// The shared return buffer with room for `n` bytes and a NUL, or NULL when it cannot grow.
char *ret_room(size_t n);
const char *ret_s(const char *s);

// ASCII case-insensitive comparisons (other bytes compare exactly).
bool ieq_n(const char *a, const char *b, size_t n);
bool ieq(const char *a, const char *b);  // whole NUL-terminated strings

// 64-bit FNV-1a with the library's own start value.
uint64_t fnv1a(const char *data, size_t len);

// Bundle and translation internals shared between the modules.
void bundle_free(Bundle *b);
BundleEntry *bundle_find(const Bundle *b, const char *name, size_t len);
// Empties the render node list and forgets the page group; run whenever the
// models the nodes point into may change.
void nodes_clear();
// Path of render node `i`: its length, and the path written to `out` (no NUL).
size_t node_path_len(int i);
void node_path_write(int i, char *out);
// Focus state (g_tv): discards the focus graph and its documents.
void tv_invalidate();
void tv_cleanup();

// Template lookup: the parsed model of entry `name`, parsing it on first use.
// 0, 1 (no such entry) or -1 (not a template), with the error text set.
int get_parsed(const char *name, ModelObj **model);
void trans_free(TransSet *set);
// Builds translation tables from the text of "strings.json" (none for a NULL
// text); a read error adds a warning to `warnings`. -1 when memory runs out.
int trans_build(const char *text, size_t len, TransSet *out, WarnList *warnings);
