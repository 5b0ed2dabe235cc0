// Arbitrary bytes through the JSON reader and writer. Every input is read
// strictly, with every lenient option, and with options picked by its first
// byte; each successful read must keep the promises of json.h:
// - the value array is well formed and the accessors agree with it;
// - strings are valid UTF-8 unless JSON_READ_INVALID_UTF8 let other bytes in;
// - every number equals its source text converted by the C library;
// - a compact write reads back to the same values (strictly, unless the
//   options let non-JSON text in) and writes again byte for byte;
// - reading in place and reading under failing allocations agree with the
//   plain read.
#include "json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

#define FUZZ_CHECK(cond)                                                                 \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "json_fuzz.cpp:%d: check failed: %s\n", __LINE__, #cond); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

constexpr uint32_t kAllLenient = JSON_READ_BOM | JSON_READ_COMMENTS | JSON_READ_TRAILING_COMMAS |
                                 JSON_READ_SINGLE_QUOTES | JSON_READ_UNQUOTED_KEYS | JSON_READ_INF_NAN |
                                 JSON_READ_INVALID_UTF8;

using DocPtr = std::unique_ptr<json_doc, decltype(&json_doc_free)>;

DocPtr read(const void *data, size_t size, uint32_t flags, json_err *err, const json_alc *alc = nullptr) {
    return DocPtr(json_read(static_cast<const char *>(data), size, flags, alc, err), json_doc_free);
}

// Allocator that refuses its n-th request (1-based).
struct FailingAlloc {
    size_t calls = 0;
    size_t fail_at;
    json_alc alc;

    explicit FailingAlloc(size_t n) : fail_at(n), alc{do_malloc, do_realloc, do_free, this} {}

    static void *do_malloc(void *ctx, size_t size) {
        auto *self = static_cast<FailingAlloc *>(ctx);
        return ++self->calls == self->fail_at ? nullptr : std::malloc(size);
    }
    static void *do_realloc(void *ctx, void *ptr, size_t, size_t size) {
        auto *self = static_cast<FailingAlloc *>(ctx);
        return ++self->calls == self->fail_at ? nullptr : std::realloc(ptr, size);
    }
    static void do_free(void *, void *ptr) { std::free(ptr); }
};

// Written independently of the reader's UTF-8 check on purpose.
bool valid_utf8(const unsigned char *s, size_t n) {
    for (size_t i = 0; i < n;) {
        const unsigned c = s[i];
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            i++;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; k++) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Values compared field by field; a non-finite real in `a` may stand as null
// in `b` (the writer's text for it).
bool same_value(const json_val *a, const json_val *b, bool nonfinite_as_null) {
    const json_type t = json_get_type(a);
    if (nonfinite_as_null && t == JSON_REAL && !std::isfinite(json_get_real(a))) return json_is_null(b);
    if (t != json_get_type(b)) return false;
    switch (t) {
    case JSON_UINT:
    case JSON_SINT: return json_get_sint(a) == json_get_sint(b);
    case JSON_REAL: return same_bits(json_get_real(a), json_get_real(b));
    case JSON_STR:
    case JSON_RAW:
        return json_get_len(a) == json_get_len(b) &&
               std::memcmp(json_get_str(a), json_get_str(b), json_get_len(a)) == 0;
    case JSON_ARR:
    case JSON_OBJ: return json_get_len(a) == json_get_len(b);
    default: return true;
    }
}

// Documents hold their values in document order, so equal trees are equal arrays.
bool same_tree(const json_doc *a, const json_doc *b, bool nonfinite_as_null) {
    const size_t n = json_doc_val_count(a);
    if (n != json_doc_val_count(b)) return false;
    const json_val *va = json_doc_root(a), *vb = json_doc_root(b);
    for (size_t i = 0; i < n; i++)
        if (!same_value(va + i, vb + i, nonfinite_as_null)) return false;
    return true;
}

// Children, iterators and look-ups of one container.
void check_container(json_val *ctn, const json_val *doc_end) {
    json_val *const end = json_next(ctn);
    FUZZ_CHECK(end > ctn && end <= doc_end);
    json_val *after_last = ctn + 1;
    size_t count = 0;
    if (json_is_arr(ctn)) {
        json_arr_iter it = json_arr_iter_init(ctn);
        while (json_val *v = json_arr_iter_next(&it)) {
            if (count < 16) FUZZ_CHECK(json_arr_get(ctn, count) == v);
            FUZZ_CHECK(v == after_last);
            after_last = json_next(v);
            count++;
        }
        FUZZ_CHECK(json_arr_get(ctn, count) == nullptr);
    } else {
        std::vector<json_val *> keys;
        json_obj_iter it = json_obj_iter_init(ctn);
        while (json_val *k = json_obj_iter_next(&it)) {
            FUZZ_CHECK(k == after_last && json_is_str(k));
            if (keys.size() < 16) {
                // The look-up answers with the first member of that key.
                json_val *first = k;
                for (json_val *seen : keys)
                    if (json_equals_str(seen, json_get_str(k), json_get_len(k))) {
                        first = seen;
                        break;
                    }
                FUZZ_CHECK(json_obj_getn(ctn, json_get_str(k), json_get_len(k)) == first + 1);
                keys.push_back(k);
            }
            after_last = json_next(k + 1);
            count++;
        }
    }
    FUZZ_CHECK(count == json_get_len(ctn));
    FUZZ_CHECK(after_last == end);
}

void check_doc(const json_doc *doc, size_t input_size, uint32_t flags) {
    json_val *const root = json_doc_root(doc);
    const size_t n = json_doc_val_count(doc);
    FUZZ_CHECK(n >= 1 && json_next(root) == root + n);
    if (flags & JSON_READ_STOP_WHEN_DONE)
        FUZZ_CHECK(json_doc_read_size(doc) > 0 && json_doc_read_size(doc) <= input_size);
    else
        FUZZ_CHECK(json_doc_read_size(doc) == input_size);
    for (json_val *v = root; v != root + n; v++) {
        const json_type t = json_get_type(v);
        FUZZ_CHECK(t >= JSON_NULL && t <= JSON_OBJ);
        if (t == JSON_RAW) FUZZ_CHECK(flags & JSON_READ_NUMBERS_RAW);
        if (t == JSON_STR) {
            const auto *s = reinterpret_cast<const unsigned char *>(json_get_str(v));
            FUZZ_CHECK(s[json_get_len(v)] == 0);
            if (!(flags & JSON_READ_INVALID_UTF8)) FUZZ_CHECK(valid_utf8(s, json_get_len(v)));
        }
        if (json_is_ctn(v)) check_container(v, root + n);
    }
}

// The value the reader gives for a number's text, worked out with the C library.
bool matches_text(const json_val *v, const std::string &text) {
    const bool plain_integer = text.find_first_not_of("-0123456789") == std::string::npos;
    if (plain_integer && text != "-0") {
        const char *first = text.data(), *last = first + text.size();
        if (text[0] != '-') {
            uint64_t u;
            if (std::from_chars(first, last, u).ec == std::errc()) return json_get_type(v) == JSON_UINT && json_get_uint(v) == u;
        } else {
            int64_t i;
            if (std::from_chars(first, last, i).ec == std::errc()) return json_get_type(v) == JSON_SINT && json_get_sint(v) == i;
        }
    }
    const double expected = std::strtod(text.c_str(), nullptr);  // also knows inf, infinity and nan
    if (json_get_type(v) != JSON_REAL) return false;
    if (std::isnan(expected)) return std::isnan(json_get_real(v));
    return same_bits(json_get_real(v), expected);
}

// `raw` is the same input read with JSON_READ_NUMBERS_RAW added.
void check_numbers(const json_doc *doc, const json_doc *raw) {
    const size_t n = json_doc_val_count(doc);
    FUZZ_CHECK(n == json_doc_val_count(raw));
    const json_val *v = json_doc_root(doc), *r = json_doc_root(raw);
    for (size_t i = 0; i < n; i++) {
        if (json_get_type(r + i) == JSON_RAW)
            FUZZ_CHECK(matches_text(v + i, std::string(json_get_str(r + i), json_get_len(r + i))));
        else
            FUZZ_CHECK(same_value(v + i, r + i, false));
    }
}

bool has_raw_inf_nan(const json_doc *doc) {
    const json_val *v = json_doc_root(doc);
    for (size_t i = 0; i < json_doc_val_count(doc); i++)
        if (json_get_type(v + i) == JSON_RAW &&
            std::string(json_get_str(v + i), json_get_len(v + i)).find_first_of("iInN") != std::string::npos)
            return true;
    return false;
}

std::string write(const json_doc *doc, uint32_t esc) {
    json_buf buf;
    json_buf_init(&buf, nullptr);
    json_buf_val(&buf, json_doc_root(doc), esc);
    FUZZ_CHECK(!buf.failed && buf.data[buf.len] == 0);
    std::string out(buf.data, buf.len);
    json_buf_free(&buf);
    return out;
}

void check_round_trip(const json_doc *doc, uint32_t flags, uint32_t esc) {
    const std::string out = write(doc, esc);
    FUZZ_CHECK(out.find('\0') == std::string::npos);
    // Only raw number text and bytes let through as they were can make the
    // output something a strict reader refuses.
    uint32_t reread_flags = flags & (JSON_READ_INVALID_UTF8 | JSON_READ_NUMBERS_RAW);
    if (has_raw_inf_nan(doc)) reread_flags |= JSON_READ_INF_NAN;
    json_err err;
    DocPtr again = read(out.data(), out.size(), reread_flags, &err);
    FUZZ_CHECK(again);
    FUZZ_CHECK(same_tree(doc, again.get(), true));
    FUZZ_CHECK(write(again.get(), esc) == out);

    // A writer that runs out of memory fails as a whole, or not at all.
    FailingAlloc failing(1 + out.size() % 5);
    json_buf buf;
    json_buf_init(&buf, &failing.alc);
    json_buf_val(&buf, json_doc_root(doc), esc);
    FUZZ_CHECK(buf.failed || std::string(buf.data, buf.len) == out);
    json_buf_free(&buf);
}

void check_insitu(const uint8_t *data, size_t size, uint32_t flags, const json_doc *doc, const json_err &err) {
    std::vector<char> buf(size + JSON_READ_PADDING);
    if (size) std::memcpy(buf.data(), data, size);
    json_err insitu_err;
    DocPtr insitu(json_read_insitu(buf.data(), size, flags, nullptr, &insitu_err), json_doc_free);
    FUZZ_CHECK(!insitu == !doc);
    if (doc)
        FUZZ_CHECK(same_tree(doc, insitu.get(), false) && json_doc_read_size(doc) == json_doc_read_size(insitu.get()));
    else
        FUZZ_CHECK(insitu_err.code == err.code && insitu_err.pos == err.pos);
}

void check_failing_alloc(const uint8_t *data, size_t size, uint32_t flags, const json_doc *doc, const json_err &err) {
    FailingAlloc failing(1 + size % 6);
    json_err failed_err;
    DocPtr d = read(data, size, flags, &failed_err, &failing.alc);
    const bool refused = failing.calls >= failing.fail_at;
    if (refused) {
        FUZZ_CHECK(!d && failed_err.code == JSON_ERR_MEMORY);
    } else if (d) {
        FUZZ_CHECK(doc && same_tree(doc, d.get(), false));
    } else {
        FUZZ_CHECK(!doc && failed_err.code == err.code && failed_err.pos == err.pos);
    }
}

// Reads with `flags` and checks everything the result promises; returns the document.
DocPtr read_and_check(const uint8_t *data, size_t size, uint32_t flags, uint32_t esc) {
    json_err err;
    DocPtr doc = read(data, size, flags, &err);
    check_insitu(data, size, flags, doc.get(), err);
    check_failing_alloc(data, size, flags, doc.get(), err);
    if (!doc) {
        FUZZ_CHECK(err.code != JSON_ERR_NONE && err.msg && err.pos <= size);
        return doc;
    }
    check_doc(doc.get(), size, flags);
    check_round_trip(doc.get(), flags, esc);
    if (!(flags & JSON_READ_NUMBERS_RAW)) {
        json_err raw_err;
        DocPtr raw = read(data, size, flags | JSON_READ_NUMBERS_RAW, &raw_err);
        FUZZ_CHECK(raw);
        check_numbers(doc.get(), raw.get());
    }
    if (flags & JSON_READ_STOP_WHEN_DONE) {
        // What was read must read the same on its own.
        json_err prefix_err;
        DocPtr prefix = read(data, json_doc_read_size(doc.get()), flags & ~JSON_READ_STOP_WHEN_DONE, &prefix_err);
        FUZZ_CHECK(prefix && same_tree(doc.get(), prefix.get(), false));
    }
    return doc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint32_t esc = size ? data[size - 1] & (JSON_ESC_HEX_LOWER | JSON_ESC_NO_BF) : 0;
    DocPtr strict = read_and_check(data, size, 0, esc);
    DocPtr lenient = read_and_check(data, size, kAllLenient, esc);
    // The lenient options only add to what a strict reader accepts.
    if (strict) FUZZ_CHECK(lenient && same_tree(strict.get(), lenient.get(), false));
    if (size) {
        // The first byte's eight bits pick the first eight options for the
        // rest; an odd length adds JSON_READ_STOP_WHEN_DONE.
        const uint32_t flags = data[0] | (size % 2 ? uint32_t(JSON_READ_STOP_WHEN_DONE) : 0u);
        read_and_check(data + 1, size - 1, flags, esc);
    }
    return 0;
}
