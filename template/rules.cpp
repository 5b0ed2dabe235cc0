// Visibility rules: which items show for the platform, device, edition,
// application version and feature flags.
#include <bit>
#include <cstdio>
#include <cstring>

#include "render.h"
#include "rules.h"

static const char *const PLATFORM_NAMES[PLATFORM_COUNT] = {"UWP", "iOS", "tvOS", "Droid", "SkiaMacOS"};
static const Slice TRUE_ = {"True", 4};
static const Slice FALSE_ = {"False", 5};

static bool slice_eq(Slice a, const char *b, size_t n) { return a.p && a.n == n && memcmp(a.p, b, n) == 0; }
static bool slice_eq(Slice a, Slice b) { return b.p && slice_eq(a, b.p, b.n); }
static Slice cslice(const char *s) { return s ? Slice{s, strlen(s)} : Slice{}; }

// ---- flag sets ----

static size_t flag_home(const FlagSet *set, const char *key, size_t len) {
    return size_t(fnv1a(key, len)) & (set->slot_cap - 1);
}

// Index slot that holds `key`, or the empty slot where it would go.
static size_t flag_slot(const FlagSet *set, const char *key, size_t len) {
    size_t mask = set->slot_cap - 1;
    for (size_t i = flag_home(set, key, len);; i = (i + 1) & mask) {
        int pos = set->slots[i];
        if (!pos || (set->key_lens[pos - 1] == len && memcmp(set->keys[pos - 1], key, len) == 0)) return i;
    }
}

static int flag_find(const FlagSet *set, const char *key, size_t len) {
    if (!set->slot_cap) return -1;
    return set->slots[flag_slot(set, key, len)] - 1;
}

// Empties index slot `i`, moving later members of its probe run back so that
// every key stays reachable from its home slot.
static void flag_slot_remove(FlagSet *set, size_t i) {
    size_t mask = set->slot_cap - 1;
    set->slots[i] = 0;
    for (size_t j = (i + 1) & mask; set->slots[j]; j = (j + 1) & mask) {
        int pos = set->slots[j] - 1;
        size_t home = flag_home(set, set->keys[pos], set->key_lens[pos]);
        // The member may move to i unless its home lies cyclically in (i, j].
        bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        set->slots[i] = set->slots[j];
        set->slots[j] = 0;
        i = j;
    }
}

// Room for one more pair, in the arrays and the index; -1 when memory runs
// out (the set is then unchanged).
static int flag_reserve(FlagSet *set) {
    if (set->count == set->cap) {
        if (set->cap > INT32_MAX / 4) return -1;
        int cap = set->cap ? set->cap * 2 : 16;
        char **keys = static_cast<char **>(xrealloc(set->keys, sizeof(char *) * size_t(cap)));
        if (!keys) return -1;
        set->keys = keys;
        char **values = static_cast<char **>(xrealloc(set->values, sizeof(char *) * size_t(cap)));
        if (!values) return -1;
        set->values = values;
        size_t *lens = static_cast<size_t *>(xrealloc(set->key_lens, sizeof(size_t) * size_t(cap)));
        if (!lens) return -1;
        set->key_lens = lens;
        set->cap = cap;
    }
    if (set->slot_cap >= size_t(set->count + 1) * 2) return 0;
    FlagSet grown = *set;
    grown.slot_cap = set->slot_cap ? set->slot_cap * 2 : 32;
    grown.slots = static_cast<int *>(xcalloc(grown.slot_cap, sizeof(int)));
    if (!grown.slots) return -1;
    for (int pos = 0; pos < set->count; pos++)
        grown.slots[flag_slot(&grown, set->keys[pos], set->key_lens[pos])] = pos + 1;
    xfree(set->slots);
    *set = grown;
    return 0;
}

// Adds or replaces; -1 when memory runs out (the set is then unchanged).
static int flag_put(FlagSet *set, const char *key, size_t len, const char *value) {
    char *value_copy = xstrdup(value);
    if (!value_copy) return -1;
    int i = flag_find(set, key, len);
    if (i >= 0) {
        xfree(set->values[i]);
        set->values[i] = value_copy;
        return 0;
    }
    char *key_copy = flag_reserve(set) == 0 ? xmemdup(key, len) : nullptr;
    if (!key_copy) {
        xfree(value_copy);
        return -1;
    }
    set->slots[flag_slot(set, key, len)] = set->count + 1;
    set->keys[set->count] = key_copy;
    set->key_lens[set->count] = len;
    set->values[set->count++] = value_copy;
    return 0;
}

// 0 when removed, 1 when the key was not there.
static int flag_remove(FlagSet *set, const char *key) {
    size_t len = strlen(key);
    int i = flag_find(set, key, len);
    if (i < 0) return 1;
    flag_slot_remove(set, flag_slot(set, key, len));
    xfree(set->keys[i]);
    xfree(set->values[i]);
    int last = --set->count;
    if (i != last) {
        set->slots[flag_slot(set, set->keys[last], set->key_lens[last])] = i + 1;
        set->keys[i] = set->keys[last];
        set->values[i] = set->values[last];
        set->key_lens[i] = set->key_lens[last];
    }
    return 0;
}

static void flag_clear(FlagSet *set) {
    for (int i = 0; i < set->count; i++) {
        xfree(set->keys[i]);
        xfree(set->values[i]);
    }
    xfree(set->keys);
    xfree(set->values);
    xfree(set->key_lens);
    xfree(set->slots);
    *set = FlagSet{};
}

void rules_free(RuleCtx *rules) {
    flag_clear(&rules->runtime);
    flag_clear(&rules->global);
    xfree(rules->device);
    xfree(rules->edition);
    xfree(rules->app_version);
    *rules = RuleCtx{};
}

// ---- versions ----

struct Version {
    int c[4];
};

static bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One component: blanks, an optional sign, digits, blanks. -1 on failure.
static bool ver_component(const char *p, const char *end, int *out) {
    while (p < end && is_space(*p)) p++;
    while (end > p && is_space(end[-1])) end--;
    bool minus = false;
    if (p < end && (*p == '+' || *p == '-')) {
        minus = *p == '-';
        p++;
    }
    if (p == end) return false;
    long value = 0;
    for (; p < end; p++) {
        if (*p < '0' || *p > '9') return false;
        int digit = *p - '0';
        if (value > (2147483647 - digit) / 10) return false;
        value = value * 10 + digit;
    }
    if (minus && value != 0) return false;
    *out = int(value);
    return true;
}

static bool ver_parse(Slice text, Version *v) {
    if (!text.p) return false;
    int n = 0;
    const char *p = text.p, *end = text.p + text.n;
    for (;;) {
        const char *dot = static_cast<const char *>(memchr(p, '.', size_t(end - p)));
        const char *stop = dot ? dot : end;
        if (n == 4 || !ver_component(p, stop, &v->c[n])) return false;
        n++;
        if (!dot) break;
        p = dot + 1;
    }
    if (n < 2) return false;
    for (int i = n; i < 4; i++) v->c[i] = -1;
    return true;
}

static int ver_compare(const Version &a, const Version &b) {
    for (int i = 0; i < 4; i++)
        if (a.c[i] != b.c[i]) return a.c[i] < b.c[i] ? -1 : 1;
    return 0;
}

// ---- verdicts ----

bool verdict_visible(Slice verdict) { return !verdict.p || slice_eq(verdict, TRUE_); }

bool bool_tryparse_true(Slice v) {
    if (!v.p) return false;
    auto strip = [](char c) { return c == '\0' || c == ' ' || (c >= '\t' && c <= '\r'); };
    size_t a = 0, b = v.n;
    while (a < b && strip(v.p[a])) a++;
    while (b > a && strip(v.p[b - 1])) b--;
    if (b - a != 4) return false;
    const char *w = "true";
    for (size_t i = 0; i < 4; i++)
        if ((v.p[a + i] | 0x20) != w[i]) return false;
    return true;
}

static Slice maxmin_capping(Slice verdict, const ModelObj *plat) {
    Version app, bound;
    if (!g_lib.rules.app_version || !ver_parse(cslice(g_lib.rules.app_version), &app)) return verdict;
    Slice min = obj_get(plat, "MinVersion");
    if (min.n && ver_parse(min, &bound)) verdict = ver_compare(app, bound) >= 0 ? TRUE_ : FALSE_;
    Slice max = obj_get(plat, "MaxVersion");
    if (max.n && ver_parse(max, &bound)) verdict = ver_compare(app, bound) <= 0 ? TRUE_ : FALSE_;
    return verdict;
}

static Slice uwp_plat_checks(Slice verdict, const ModelObj *plat) {
    Slice plat_name = obj_get(plat, "Plat");
    if (plat_name.p && !slice_eq(plat_name, cslice(g_lib.rules.device))) verdict = FALSE_;
    Slice edition = obj_get(plat, "PlatEdition");
    if (edition.p && !slice_eq(edition, cslice(g_lib.rules.edition))) verdict = FALSE_;
    return verdict;
}

static bool flag_has_runtime(Slice flag_text) {
    if (!flag_text.n || !g_lib.rules.runtime.count) return false;
    const char *colon = static_cast<const char *>(memchr(flag_text.p, ':', flag_text.n));
    if (!colon || colon == flag_text.p) return false;
    size_t name_len = size_t(colon - flag_text.p);
    Slice value = {colon + 1, flag_text.n - name_len - 1};
    if (memchr(value.p, ':', value.n)) return false;
    int i = flag_find(&g_lib.rules.runtime, flag_text.p, name_len);
    return i >= 0 && slice_eq(value, cslice(g_lib.rules.runtime.values[i]));
}

static bool is_global_flag(Slice name) {
    return name.p && memchr(name.p, '\0', name.n) == nullptr && flag_find(&g_lib.rules.global, name.p, name.n) >= 0;
}

Slice item_verdict(const ModelObj *item) {
    const ModelObj *ext = obj_child(item, C_EXTENSION);
    Slice fallback = obj_get(ext_plat(ext, "iOS"), "Enabled");
    Slice v;
    int platform = g_lib.rules.platform;
    const ModelObj *plat = ext_plat(ext, PLATFORM_NAMES[platform]);
    Slice enabled = obj_get(plat, "Enabled");
    if (platform == P_UWP) {
        v = slice_eq(enabled, TRUE_) ? TRUE_ : slice_eq(enabled, FALSE_) ? FALSE_ : fallback;
        v = maxmin_capping(v, plat);
        if (slice_eq(v, TRUE_)) v = uwp_plat_checks(v, plat);
    } else if (platform == P_IOS) {
        v = maxmin_capping(fallback, plat);
    } else {
        v = slice_eq(enabled, FALSE_) ? FALSE_ : fallback;
        v = maxmin_capping(v, plat);
    }
    Slice flag = obj_get(ext, "FeatureFlag");
    if (flag.n) {
        if (g_lib.rules.global_enabled) v = is_global_flag(flag) ? TRUE_ : FALSE_;
        if (g_lib.rules.runtime.count) v = flag_has_runtime(flag) ? TRUE_ : FALSE_;
    }
    return v;
}

const ModelObj *current_plat_ext(const ModelObj *obj) {
    return ext_plat(obj_child(obj, C_EXTENSION), PLATFORM_NAMES[g_lib.rules.platform]);
}

// A set of key slices for one pass over a list, sized once for its length.
struct KeySeen {
    Slice *slots = nullptr;
    size_t cap = 0;

    KeySeen() = default;
    KeySeen(const KeySeen &) = delete;
    KeySeen &operator=(const KeySeen &) = delete;
    ~KeySeen() { xfree(slots); }

    bool init(int count) {
        cap = std::bit_ceil(size_t(count) * 2 + 2);
        slots = static_cast<Slice *>(xcalloc(cap, sizeof(Slice)));
        return slots != nullptr;
    }
    // True when `key` was not in the set (it is now).
    bool add(Slice key) {
        for (size_t i = size_t(fnv1a(key.p, key.n)) & (cap - 1);; i = (i + 1) & (cap - 1)) {
            if (!slots[i].p) {
                slots[i] = key;
                return true;
            }
            if (slice_eq(slots[i], key)) return false;
        }
    }
};

// ---- exports ----

static int set_text(char **field, const char *text) {
    char *copy = nullptr;
    if (text && !(copy = xstrdup(text))) {
        set_oom();
        return -1;
    }
    xfree(*field);
    *field = copy;
    return 0;
}

extern "C" {

int optpl_set_platform(const char *name) {
    ensure_init();
    if (!name) {
        set_err("platform is NULL");
        return -1;
    }
    for (int i = 0; i < PLATFORM_COUNT; i++) {
        if (strcmp(name, PLATFORM_NAMES[i]) == 0) {
            g_lib.rules.platform = i;
            return 0;
        }
    }
    set_err("unknown platform '%s' (UWP|iOS|tvOS|Droid|SkiaMacOS)", name);
    return 1;
}

int optpl_set_device(const char *device) {
    ensure_init();
    return set_text(&g_lib.rules.device, device);
}

int optpl_set_edition(const char *edition) {
    ensure_init();
    return set_text(&g_lib.rules.edition, edition);
}

int optpl_set_app_version(const char *version) {
    ensure_init();
    return set_text(&g_lib.rules.app_version, version);
}

int optpl_version_parse(const char *text) {
    ensure_init();
    Version v;
    if (!text || !ver_parse(cslice(text), &v)) {
        g_lib.normalized_version[0] = '\0';
        return 1;
    }
    snprintf(g_lib.normalized_version, sizeof g_lib.normalized_version, "%d.%d.%d.%d", v.c[0], v.c[1], v.c[2], v.c[3]);
    return 0;
}

const char *optpl_version_normalized(void) {
    ensure_init();
    return ret_s(g_lib.normalized_version);
}

int optpl_version_compare(const char *a, const char *b) {
    Version va, vb;
    if (!a || !b || !ver_parse(cslice(a), &va) || !ver_parse(cslice(b), &vb)) return OPTPL_VERSION_INVALID;
    return ver_compare(va, vb);
}

int optpl_set_flag(const char *key, const char *value) {
    ensure_init();
    if (!key) {
        set_err("flag key is NULL");
        return -1;
    }
    if (!value) return flag_remove(&g_lib.rules.runtime, key);
    if (flag_put(&g_lib.rules.runtime, key, strlen(key), value) < 0) {
        set_oom();
        return -1;
    }
    return 0;
}

void optpl_clear_flags(void) {
    ensure_init();
    flag_clear(&g_lib.rules.runtime);
}

int optpl_flag_count(void) {
    ensure_init();
    return g_lib.rules.runtime.count;
}

int optpl_has_feature_flag(const char *flag_text) {
    ensure_init();
    return flag_has_runtime(cslice(flag_text)) ? 1 : 0;
}

int optpl_set_global_flag(const char *name, int on) {
    ensure_init();
    if (!name) {
        set_err("flag name is NULL");
        return -1;
    }
    if (!on) {
        flag_remove(&g_lib.rules.global, name);
        return 0;
    }
    if (flag_put(&g_lib.rules.global, name, strlen(name), "1") < 0) {
        set_oom();
        return -1;
    }
    return 0;
}

void optpl_clear_global_flags(void) {
    ensure_init();
    flag_clear(&g_lib.rules.global);
}

int optpl_set_global_flags_enabled(int on) {
    ensure_init();
    g_lib.rules.global_enabled = on ? 1 : 0;
    return 0;
}

int optpl_eval_global_flag(const char *name) {
    ensure_init();
    return g_lib.rules.global_enabled && name && flag_find(&g_lib.rules.global, name, strlen(name)) >= 0 ? 1 : 0;
}

int optpl_use_bundle_feature_flags(void) {
    ensure_init();
    if (!bundle_find(&g_lib.bundle, "ffop.json", 9)) return 0;
    ModelObj *model = nullptr;
    if (get_parsed("ffop.json", &model) != 0) return -1;
    const ModelList *flags = obj_list(model, L_SETTINGS);
    // Keys met so far, so that the first entry of a Key decides.
    KeySeen seen;
    if (!seen.init(flags->count)) {
        set_oom();
        return -1;
    }
    int set = 0;
    for (int i = 0; i < flags->count; i++) {
        Slice key = obj_get(flags->items[i], "Key");
        if (!flags->items[i] || !key.p || memchr(key.p, '\0', key.n)) continue;
        if (!seen.add(key) || !bool_tryparse_true(obj_get(flags->items[i], "DefaultValue"))) continue;
        if (flag_put(&g_lib.rules.global, key.p, key.n, "1") < 0) {
            set_oom();
            return -1;
        }
        set++;
    }
    return set;
}

}  // extern "C"
