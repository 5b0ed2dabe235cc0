// Bundle store: loading plain and zlib bundles, replacing entries, listing.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "json.h"
#include "model.h"
#include "optpl_internal.h"

static const size_t INFLATE_CAP = 134217728;      // 128 MiB
static const size_t RATIO_LIMIT_INPUT = 128993;   // inputs below this get a ratio-based limit
static const size_t FILE_BUFFER_START = 1048576;  // 1 MiB
static const size_t FILE_BUFFER_MAX = 536870912;  // 512 MiB
static const int ENTRY_START = 64;

// ---- entries and the name index ----

static bool is_template_name(const BundleEntry *e) {
    return e->name_len >= 5 && memcmp(e->name + e->name_len - 5, ".json", 5) == 0;
}

// Forgets the parsed model of an entry (its text stays).
static void entry_unparse(BundleEntry *e) {
    ar_free(&e->arena);
    warn_clear(&e->warnings);
    e->model = nullptr;
    e->state = ENTRY_UNPARSED;
    e->reason = nullptr;
}

static void entry_free(BundleEntry *e) {
    entry_unparse(e);
    xfree(e->name);
    xfree(e->text);
}

void bundle_free(Bundle *b) {
    for (int i = 0; i < b->count; i++) entry_free(&b->entries[i]);
    xfree(b->entries);
    xfree(b->index.slots);
    xfree(b->templates);
    *b = Bundle{};
}

static size_t index_slot(const EntryIndex *ix, const char *name, size_t len) {
    return size_t(fnv1a(name, len)) & (ix->cap - 1);
}

BundleEntry *bundle_find(const Bundle *b, const char *name, size_t len) {
    if (!b->index.cap) return nullptr;
    for (size_t i = index_slot(&b->index, name, len);; i = (i + 1) & (b->index.cap - 1)) {
        int pos = b->index.slots[i];
        if (!pos) return nullptr;
        BundleEntry *e = &b->entries[pos - 1];
        if (e->name_len == len && memcmp(e->name, name, len) == 0) return e;
    }
}

static void index_put(EntryIndex *ix, const BundleEntry *entries, int pos) {
    const BundleEntry *e = &entries[pos];
    size_t i = index_slot(ix, e->name, e->name_len);
    while (ix->slots[i]) i = (i + 1) & (ix->cap - 1);
    ix->slots[i] = pos + 1;
}

// Makes room for one more entry (array and index); -1 when memory runs out.
static int bundle_reserve(Bundle *b) {
    if (b->count == b->cap) {
        if (b->cap > INT_MAX / 2) return -1;
        int cap = b->cap ? b->cap * 2 : ENTRY_START;
        BundleEntry *entries = static_cast<BundleEntry *>(xrealloc(b->entries, sizeof(BundleEntry) * size_t(cap)));
        if (!entries) return -1;
        b->entries = entries;
        int *templates = static_cast<int *>(xrealloc(b->templates, sizeof(int) * size_t(cap)));
        if (!templates) return -1;
        b->templates = templates;
        b->cap = cap;
    }
    // Keep the index at most half full.
    if (b->index.cap < size_t(b->count + 1) * 2) {
        EntryIndex ix;
        ix.cap = b->index.cap ? b->index.cap * 2 : size_t(ENTRY_START) * 2;
        ix.slots = static_cast<int *>(xcalloc(ix.cap, sizeof(int)));
        if (!ix.slots) return -1;
        for (int i = 0; i < b->count; i++) index_put(&ix, b->entries, i);
        xfree(b->index.slots);
        b->index = ix;
    }
    return 0;
}

// Adds the entry `name` or replaces its text (keeping its position). The
// text is copied. -1 when memory runs out (the bundle is then unchanged).
static int bundle_put(Bundle *b, const char *name, size_t name_len, const char *text, size_t text_len) {
    char *text_copy = xmemdup(text, text_len);
    if (!text_copy) return -1;
    BundleEntry *e = bundle_find(b, name, name_len);
    if (e) {
        entry_unparse(e);
        xfree(e->text);
        e->text = text_copy;
        e->text_len = text_len;
        return 0;
    }
    char *name_copy = xmemdup(name, name_len);
    if (!name_copy || bundle_reserve(b) < 0) {
        xfree(name_copy);
        xfree(text_copy);
        return -1;
    }
    e = &b->entries[b->count];
    *e = BundleEntry{};
    e->name = name_copy;
    e->name_len = name_len;
    e->text = text_copy;
    e->text_len = text_len;
    index_put(&b->index, b->entries, b->count);
    if (is_template_name(e)) b->templates[b->template_count++] = b->count;
    b->count++;
    return 0;
}

// ---- loading ----

enum InflateResult { INFLATE_OK, INFLATE_OVER_CAP, INFLATE_CORRUPT, INFLATE_NO_MEMORY };

static voidpf z_alloc(voidpf, uInt items, uInt size) { return xcalloc(items, size); }
static void z_free(voidpf, voidpf ptr) { xfree(ptr); }

static bool is_zlib_header(const unsigned char *data, size_t length) {
    return length >= 2 && (data[0] & 0x0F) == 8 && ((unsigned(data[0]) << 8) | data[1]) % 31 == 0;
}

// Limit on the inflated size: DEFLATE cannot expand beyond about 1032:1, so a
// small input that claims more is a bomb or garbage.
static size_t inflate_limit(size_t length) {
    if (length >= RATIO_LIMIT_INPUT) return INFLATE_CAP;
    size_t limit = length * 1040 + 65536;
    return limit < INFLATE_CAP ? limit : INFLATE_CAP;
}

static InflateResult inflate_bounded(const unsigned char *data, size_t length, char **out, size_t *out_len) {
    size_t limit = inflate_limit(length);
    size_t cap = length > SIZE_MAX / 4 ? limit : length * 4;
    if (cap < 65536) cap = 65536;
    if (cap > limit) cap = limit;
    char *buf = static_cast<char *>(xmalloc(cap + 1));
    if (!buf) return INFLATE_NO_MEMORY;

    z_stream zs{};
    zs.zalloc = z_alloc;
    zs.zfree = z_free;
    int rc = inflateInit(&zs);
    if (rc != Z_OK) {
        xfree(buf);
        return rc == Z_MEM_ERROR ? INFLATE_NO_MEMORY : INFLATE_CORRUPT;
    }
    size_t consumed = 0;
    InflateResult result = INFLATE_OK;
    for (;;) {
        // zlib counts in 32 bits: hand over the input and the room in slices.
        if (zs.avail_in == 0 && consumed < length) {
            size_t n = length - consumed < UINT_MAX ? length - consumed : UINT_MAX;
            zs.next_in = const_cast<Bytef *>(data + consumed);
            zs.avail_in = uInt(n);
            consumed += n;
        }
        size_t produced = zs.total_out;
        size_t room = cap - produced;
        zs.next_out = reinterpret_cast<Bytef *>(buf + produced);
        zs.avail_out = uInt(room < UINT_MAX ? room : UINT_MAX);
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) break;
        if (rc == Z_MEM_ERROR) {
            result = INFLATE_NO_MEMORY;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            result = INFLATE_CORRUPT;
            break;
        }
        if (zs.total_out < cap) {
            // Room is left, so the inflater wants input: go on only while some remains.
            if (zs.avail_in == 0 && consumed == length) {
                result = INFLATE_CORRUPT;
                break;
            }
            continue;
        }
        if (cap >= limit) {
            result = INFLATE_OVER_CAP;
            break;
        }
        size_t grown = cap * 2 < limit ? cap * 2 : limit;
        char *bigger = static_cast<char *>(xrealloc(buf, grown + 1));
        if (!bigger) {
            result = INFLATE_NO_MEMORY;
            break;
        }
        buf = bigger;
        cap = grown;
    }
    size_t total = zs.total_out;
    inflateEnd(&zs);
    if (result != INFLATE_OK) {
        xfree(buf);
        return result;
    }
    buf[total] = '\0';
    *out = buf;
    *out_len = total;
    return INFLATE_OK;
}

// Reads and validates a JSON bundle, then replaces the store with it. The new
// entries and translation tables are built aside first, so any failure leaves
// the loaded bundle exactly as it was.
static int load_json_bundle(const char *data, size_t length) {
    json_err err{};
    json_doc *doc = json_read(data, length, JSON_READ_BOM | JSON_READ_TRAILING_COMMAS | JSON_READ_INVALID_UTF8, &XALC, &err);
    if (!doc) {
        if (err.code == JSON_ERR_MEMORY) {
            set_oom();
            return -1;
        }
        set_err("bundle is not valid JSON (byte %zu: %s)", err.pos, err.msg ? err.msg : "?");
        return 1;
    }
    json_val *root = json_doc_root(doc);
    if (!json_is_obj(root)) {
        json_doc_free(doc);
        set_err("bundle root is not a JSON object");
        return 1;
    }
    json_obj_iter it = json_obj_iter_init(root);
    for (json_val *key; (key = json_obj_iter_next(&it));) {
        if (!json_is_str(key + 1)) {
            size_t n = json_get_len(key);
            set_err("not a bundle: value of \"%.*s\" is not a string (is this a single template? use optpl_add_template)",
                    int(n < 60 ? n : 60), json_get_str(key));
            json_doc_free(doc);
            return 1;
        }
    }

    Bundle fresh{};
    it = json_obj_iter_init(root);
    for (json_val *key; (key = json_obj_iter_next(&it));) {
        json_val *val = key + 1;
        if (bundle_put(&fresh, json_get_str(key), json_get_len(key), json_get_str(val), json_get_len(val)) < 0) {
            bundle_free(&fresh);
            json_doc_free(doc);
            set_oom();
            return -1;
        }
    }
    json_doc_free(doc);

    TransSet trans;
    WarnList warnings{};
    const BundleEntry *strings = bundle_find(&fresh, "strings.json", 12);
    if (trans_build(strings ? strings->text : nullptr, strings ? strings->text_len : 0, &trans, &warnings) < 0) {
        bundle_free(&fresh);
        set_oom();
        return -1;
    }
    nodes_clear();
    bundle_free(&g_lib.bundle);
    trans_free(&g_lib.trans);
    warn_clear(&g_lib.warnings);
    g_lib.bundle = fresh;
    g_lib.trans = trans;
    g_lib.warnings = warnings;
    return 0;
}


extern "C" {

int optpl_load_bundle_bytes(const unsigned char *data, size_t length) {
    ensure_init();
    if (!data || length == 0) {
        set_err("empty buffer");
        return -1;
    }
    if (!is_zlib_header(data, length)) return load_json_bundle(reinterpret_cast<const char *>(data), length);

    char *plain = nullptr;
    size_t plain_len = 0;
    switch (inflate_bounded(data, length, &plain, &plain_len)) {
    case INFLATE_OVER_CAP:
        set_err("inflated bundle exceeds the DEFLATE ratio or %zu-byte cap (zlib bomb or truncated stream)", INFLATE_CAP);
        return 1;
    case INFLATE_CORRUPT:
        set_err("zlib inflate failed (corrupt or truncated stream)");
        return 1;
    case INFLATE_NO_MEMORY:
        set_oom();
        return -1;
    case INFLATE_OK:
        break;
    }
    int rc = load_json_bundle(plain, plain_len);
    xfree(plain);
    return rc;
}

int optpl_load_bundle_file(const char *path) {
    ensure_init();
    if (!path) {
        set_err("path is NULL");
        return -1;
    }
    // Opening without blocking and checking the kind first keeps a FIFO
    // nobody writes from hanging the caller and a device such as /dev/zero
    // from being read until the size limit.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        set_err("cannot open %s", path);
        return 1;
    }
    size_t cap = FILE_BUFFER_START, len = 0;
    unsigned char *buf = static_cast<unsigned char *>(xmalloc(cap));
    if (!buf) {
        close(fd);
        set_oom();
        return -1;
    }
    bool failed = false;
    for (;;) {
        ssize_t n = read(fd, buf + len, cap - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failed = true;
            break;
        }
        len += size_t(n);
        if (n == 0) break;
        if (len < cap) continue;
        if (cap >= FILE_BUFFER_MAX) {
            xfree(buf);
            close(fd);
            set_err("file too large");
            return 1;
        }
        unsigned char *bigger = static_cast<unsigned char *>(xrealloc(buf, cap * 2));
        if (!bigger) {
            xfree(buf);
            close(fd);
            set_oom();
            return -1;
        }
        buf = bigger;
        cap *= 2;
    }
    close(fd);
    if (failed) {
        xfree(buf);
        set_err("cannot open %s", path);
        return 1;
    }
    int rc = optpl_load_bundle_bytes(buf, len);
    xfree(buf);
    return rc;
}

int optpl_add_template(const char *name, const char *json) {
    ensure_init();
    if (!name || !*name || !json) {
        set_err("name and json are required");
        return -1;
    }
    size_t len = strlen(json);
    // Translation tables of a new "strings.json" are built before the entry
    // changes, so running out of memory changes nothing.
    bool strings = strcmp(name, "strings.json") == 0;
    TransSet trans{};
    WarnList warnings{};
    if (strings && trans_build(json, len, &trans, &warnings) < 0) {
        set_oom();
        return -1;
    }
    nodes_clear();
    if (bundle_put(&g_lib.bundle, name, strlen(name), json, len) < 0) {
        trans_free(&trans);
        warn_clear(&warnings);
        set_oom();
        return -1;
    }
    if (strings) {
        trans_free(&g_lib.trans);
        g_lib.trans = trans;
        warn_copy(&g_lib.warnings, &warnings);
        warn_clear(&warnings);
    }
    return 0;
}

int optpl_entry_count(void) {
    ensure_init();
    return g_lib.bundle.count;
}

const char *optpl_entry_name(int index) {
    ensure_init();
    if (index < 0 || index >= g_lib.bundle.count) return nullptr;
    const BundleEntry *e = &g_lib.bundle.entries[index];
    return ret_n(e->name, e->name_len);
}

const char *optpl_entry_text(const char *name) {
    ensure_init();
    if (!name) return nullptr;
    const BundleEntry *e = bundle_find(&g_lib.bundle, name, strlen(name));
    return e ? ret_n(e->text, e->text_len) : nullptr;
}

int optpl_template_count(void) {
    ensure_init();
    return g_lib.bundle.template_count;
}

const char *optpl_template_name(int index) {
    ensure_init();
    if (index < 0 || index >= g_lib.bundle.template_count) return nullptr;
    const BundleEntry *e = &g_lib.bundle.entries[g_lib.bundle.templates[index]];
    return ret_n(e->name, e->name_len);
}

int optpl_has_template(const char *name) {
    ensure_init();
    return name && bundle_find(&g_lib.bundle, name, strlen(name)) ? 1 : 0;
}

}  // extern "C"

// ---- template lookup ----

int get_parsed(const char *name, ModelObj **model) {
    BundleEntry *e = name ? bundle_find(&g_lib.bundle, name, strlen(name)) : nullptr;
    if (!e) {
        set_err("no template named %s", name ? name : "(null)");
        return 1;
    }
    if (e->state == ENTRY_UNPARSED) {
        const char *reason = nullptr;
        e->model = model_parse(&e->arena, e->text, e->text_len, &e->warnings, &reason);
        e->state = e->model ? ENTRY_PARSED : ENTRY_FAILED;
        e->reason = reason;
    }
    if (e->state == ENTRY_FAILED) {  // remembered until the text is replaced
        set_err("%s is not a SetttingsGroup template (%s)", name, e->reason ? e->reason : "?");
        return -1;
    }
    if (model) *model = e->model;
    return 0;
}

extern "C" int optpl_parse_template(const char *name) {
    ensure_init();
    warn_clear(&g_lib.warnings);
    int rc = get_parsed(name, nullptr);
    const BundleEntry *e = name ? bundle_find(&g_lib.bundle, name, strlen(name)) : nullptr;
    if (e) warn_copy(&g_lib.warnings, &e->warnings);
    return rc;
}
