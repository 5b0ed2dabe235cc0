// JSON reader and writer shared by the three libraries.
//
// The reader makes one pass over the input and produces an immutable document:
// a flat array of values in document order (a container is followed by its
// children), plus a private copy of the input in which strings are unescaped in
// place. Objects keep every member, duplicates included, in document order.
// Nesting is tracked on a heap stack, so depth is bounded only by memory.
//
// Ownership: a document owns all memory it points to; every pointer obtained
// from it stays valid until json_doc_free. Nothing here keeps global state, so
// separate documents may be used from separate threads.
#pragma once

#include <cstddef>
#include <cstdint>

enum json_type : uint8_t {
    JSON_NONE = 0,  // no value (absent member, index out of range)
    JSON_NULL,
    JSON_FALSE,
    JSON_TRUE,
    JSON_UINT,      // integer >= 0 that fits 64 bits unsigned
    JSON_SINT,      // negative integer that fits 64 bits signed
    JSON_REAL,      // any other number (fraction, exponent, too large, inf/nan)
    JSON_RAW,       // number kept as its source text (JSON_READ_NUMBERS_RAW)
    JSON_STR,
    JSON_ARR,
    JSON_OBJ,
};

// Reader options. Zero is strict RFC 8259.
enum : uint32_t {
    JSON_READ_BOM             = 1u << 0,  // skip a leading UTF-8 byte-order mark
    JSON_READ_COMMENTS        = 1u << 1,  // "//" line and "/* */" block comments
    JSON_READ_TRAILING_COMMAS = 1u << 2,  // [1,2,] and {"a":1,}
    JSON_READ_SINGLE_QUOTES   = 1u << 3,  // 'text' strings, with \' as an escape
    JSON_READ_UNQUOTED_KEYS   = 1u << 4,  // {key: 1}; identifier bytes, >= 0x80 included
    JSON_READ_INF_NAN         = 1u << 5,  // Infinity, -Infinity, NaN, Inf (any case)
    JSON_READ_INVALID_UTF8    = 1u << 6,  // pass invalid UTF-8 inside strings through
    JSON_READ_NUMBERS_RAW     = 1u << 7,  // numbers (and inf/nan literals) as JSON_RAW text
    JSON_READ_STOP_WHEN_DONE  = 1u << 8,  // stop after the first complete value
};

// Allocator; NULL anywhere an allocator is taken means malloc/realloc/free.
// Every allocation may fail: the reader then reports JSON_ERR_MEMORY, the
// writer marks its buffer failed.
struct json_alc {
    void *(*malloc)(void *ctx, size_t size);
    void *(*realloc)(void *ctx, void *ptr, size_t old_size, size_t size);
    void (*free)(void *ctx, void *ptr);
    void *ctx;
};

enum json_err_code : uint32_t {
    JSON_ERR_NONE = 0,
    JSON_ERR_INVALID_PARAMETER,
    JSON_ERR_MEMORY,
    JSON_ERR_EMPTY_CONTENT,
    JSON_ERR_UNEXPECTED_CONTENT,
    JSON_ERR_UNEXPECTED_END,
    JSON_ERR_UNEXPECTED_CHARACTER,
    JSON_ERR_JSON_STRUCTURE,
    JSON_ERR_INVALID_COMMENT,
    JSON_ERR_INVALID_NUMBER,
    JSON_ERR_INVALID_STRING,
    JSON_ERR_LITERAL,
};

// Read failure: where (byte offset into the input) and a short constant text,
// for example "unexpected end of data" or "invalid escaped sequence in string".
struct json_err {
    json_err_code code;
    const char *msg;
    size_t pos;
};

// One value, 16 bytes. Use the accessors below rather than the fields.
struct json_val {
    uint64_t tag;  // type in the low 8 bits; string/raw length or child count above
    union {
        uint64_t u;
        int64_t i;
        double d;
        const char *str;
        size_t ofs;  // containers: byte distance to the value after the container
    } uni;
};

struct json_doc;

// Reads `len` bytes (NUL bytes are ordinary input). Returns NULL on failure and
// fills `err` (may be NULL). `alc` is used for every allocation of the document.
json_doc *json_read(const char *data, size_t len, uint32_t flags, const json_alc *alc,
                    json_err *err);
// Reads in place: `buf` holds `len` bytes of input followed by
// JSON_READ_PADDING bytes the reader may overwrite. Strings are unescaped
// inside `buf`, which the document points into but does not own: keep it
// alive for as long as the strings are used (it may outlive the document).
enum : size_t { JSON_READ_PADDING = 16 };
json_doc *json_read_insitu(char *buf, size_t len, uint32_t flags, const json_alc *alc, json_err *err);
void json_doc_free(json_doc *doc);
json_val *json_doc_root(const json_doc *doc);
// Byte offset just past the root value (and, without JSON_READ_STOP_WHEN_DONE,
// past the trailing white space and comments): where reading stopped.
size_t json_doc_read_size(const json_doc *doc);
size_t json_doc_val_count(const json_doc *doc);

// --- value accessors (all accept NULL and then answer as for JSON_NONE) ---
inline json_type json_get_type(const json_val *v) { return v ? json_type(v->tag & 0xFF) : JSON_NONE; }
inline bool json_is_null(const json_val *v) { return json_get_type(v) == JSON_NULL; }
inline bool json_is_bool(const json_val *v) { json_type t = json_get_type(v); return t == JSON_TRUE || t == JSON_FALSE; }
inline bool json_is_str(const json_val *v) { return json_get_type(v) == JSON_STR; }
inline bool json_is_arr(const json_val *v) { return json_get_type(v) == JSON_ARR; }
inline bool json_is_obj(const json_val *v) { return json_get_type(v) == JSON_OBJ; }
inline bool json_is_ctn(const json_val *v) { json_type t = json_get_type(v); return t == JSON_ARR || t == JSON_OBJ; }
inline bool json_is_int(const json_val *v) { json_type t = json_get_type(v); return t == JSON_UINT || t == JSON_SINT; }
inline bool json_is_num(const json_val *v) { json_type t = json_get_type(v); return t == JSON_UINT || t == JSON_SINT || t == JSON_REAL; }
inline bool json_is_scalar(const json_val *v) { json_type t = json_get_type(v); return t != JSON_NONE && t != JSON_ARR && t != JSON_OBJ; }

// String or raw-number length in bytes; container child count (members for objects).
inline size_t json_get_len(const json_val *v) { return v ? size_t(v->tag >> 8) : 0; }
// String bytes (NUL-terminated, may also contain NUL) or raw number text (NOT
// NUL-terminated: use json_get_len). NULL for other types.
inline const char *json_get_str(const json_val *v) {
    json_type t = json_get_type(v);
    return (t == JSON_STR || t == JSON_RAW) ? v->uni.str : nullptr;
}
inline uint64_t json_get_uint(const json_val *v) { return json_get_type(v) == JSON_UINT ? v->uni.u : 0; }
inline int64_t json_get_sint(const json_val *v) { json_type t = json_get_type(v); return (t == JSON_UINT || t == JSON_SINT) ? v->uni.i : 0; }
inline double json_get_real(const json_val *v) { return json_get_type(v) == JSON_REAL ? v->uni.d : 0.0; }
// Any number as a double (integers converted), 0.0 otherwise.
inline double json_get_num(const json_val *v) {
    switch (json_get_type(v)) {
    case JSON_UINT: return double(v->uni.u);
    case JSON_SINT: return double(v->uni.i);
    case JSON_REAL: return v->uni.d;
    default: return 0.0;
    }
}

// The value after `v` and all of its children.
inline json_val *json_next(json_val *v) {
    return json_is_ctn(v) ? reinterpret_cast<json_val *>(reinterpret_cast<char *>(v) + v->uni.ofs) : v + 1;
}
// First child of a container (the first key for an object), NULL when empty.
inline json_val *json_first(json_val *v) { return json_is_ctn(v) && json_get_len(v) ? v + 1 : nullptr; }
json_val *json_arr_get(json_val *arr, size_t index);
// First member whose key equals `key` byte for byte.
json_val *json_obj_getn(json_val *obj, const char *key, size_t key_len);
json_val *json_obj_get(json_val *obj, const char *key);  // key NUL-terminated
bool json_equals_str(const json_val *v, const char *s, size_t len);

// Iteration:
//   for (json_val *k = json_first(obj); k; ) { json_val *val = k + 1; ...; k = json_obj_next(obj, k); }
// Simpler: use the iterators.
struct json_arr_iter { json_val *cur; size_t left; };
inline json_arr_iter json_arr_iter_init(json_val *arr) { return {json_first(arr), json_is_arr(arr) ? json_get_len(arr) : 0}; }
inline json_val *json_arr_iter_next(json_arr_iter *it) {
    if (!it->left) return nullptr;
    json_val *v = it->cur;
    if (--it->left) it->cur = json_next(v);
    return v;
}
struct json_obj_iter { json_val *cur; size_t left; };
inline json_obj_iter json_obj_iter_init(json_val *obj) { return {json_first(obj), json_is_obj(obj) ? json_get_len(obj) : 0}; }
// Returns the key; its value is key + 1.
inline json_val *json_obj_iter_next(json_obj_iter *it) {
    if (!it->left) return nullptr;
    json_val *k = it->cur;
    if (--it->left) it->cur = json_next(k + 1);
    return k;
}

// --- writing ---

// String escaping rules. The default (0) is what JSON requires and what most
// writers emit: \" \\ \b \f \n \r \t, other bytes below 0x20 as \u00XX with
// upper-case hex; '/' and bytes >= 0x80 are copied unchanged.
enum : uint32_t {
    JSON_ESC_HEX_LOWER = 1u << 0,  // \u00xx with lower-case hex digits
    JSON_ESC_NO_BF     = 1u << 1,  // write \b and \f as \u0008 and \u000c
    JSON_ESC_ALL_HEX   = 1u << 2,  // every byte below 0x20 as \u00xx (no short forms)
};

// Growable output buffer. Appends never fail loudly: a failed growth sets
// `failed`, and every later append is ignored.
struct json_buf {
    char *data;
    size_t len;
    size_t cap;
    bool failed;
    const json_alc *alc;
};
void json_buf_init(json_buf *b, const json_alc *alc);
void json_buf_free(json_buf *b);
bool json_buf_reserve(json_buf *b, size_t extra);  // room for `extra` more bytes plus a NUL
void json_buf_raw(json_buf *b, const char *s, size_t n);
void json_buf_cstr(json_buf *b, const char *s);  // raw, NUL-terminated
void json_buf_char(json_buf *b, char c);
// Quoted, escaped string (NULL writes "").
void json_buf_str(json_buf *b, const char *s, size_t n, uint32_t esc);
void json_buf_sint(json_buf *b, int64_t v);
void json_buf_uint(json_buf *b, uint64_t v);
// Shortest text that reads back to the same double, always marked as a real:
// 100.0, -0.0, 0.1, 1e21, 1.5e-7; inf and nan (which JSON lacks) as null.
void json_buf_real(json_buf *b, double v);
// Compact serialisation of `v` and its children (iterative). Raw numbers are
// written as their text; reals with json_buf_real.
void json_buf_val(json_buf *b, const json_val *v, uint32_t esc);

// Escapes `n` bytes of `s` into `out` (which must have room for 6 * n bytes),
// without quotes; returns the number of bytes written.
size_t json_escape(char *out, const char *s, size_t n, uint32_t esc);
// Writes the json_buf_real text of `v` into `out` (room for 40 bytes), returns its length.
size_t json_write_real(char *out, double v);
