// JSON writer: a growable buffer, string escaping, number text and an
// iterative serialiser for value trees.
#include "json.h"
#include "json_alloc.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

using u8 = unsigned char;

// For each byte: 0 when it is copied as is, the letter of its short escape
// (\n, \") or 'u' when it needs the \u00XX form.
constexpr std::array<char, 256> make_escapes() {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; c++) t[c] = 'u';
    t['"'] = '"';
    t['\\'] = '\\';
    t['\b'] = 'b';
    t['\f'] = 'f';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    return t;
}
constexpr std::array<char, 256> kEscape = make_escapes();

// Largest json_write_real text: "-0.0000012345678901234567" has 25 bytes.
constexpr size_t kRealMax = 40;

void append(json_buf *b, const void *s, size_t n) {
    if (!json_buf_reserve(b, n)) return;
    std::memcpy(b->data + b->len, s, n);
    b->len += n;
    b->data[b->len] = 0;
}

// One open container while json_buf_val walks a tree.
struct Level {
    size_t left;  // values still to write (keys count as values)
    bool obj;
};

}  // namespace

void json_buf_init(json_buf *b, const json_alc *alc) { *b = {nullptr, 0, 0, false, alc}; }

void json_buf_free(json_buf *b) {
    if (b->data) {
        const json_alc &alc = json_detail::alc_or_libc(b->alc);
        alc.free(alc.ctx, b->data);
    }
    json_buf_init(b, b->alc);
}

bool json_buf_reserve(json_buf *b, size_t extra) {
    if (b->failed) return false;
    const size_t max = std::numeric_limits<size_t>::max();
    if (extra >= max - b->len) {
        b->failed = true;
        return false;
    }
    const size_t need = b->len + extra + 1;
    if (need <= b->cap) return true;
    size_t cap = b->cap ? b->cap : 64;
    while (cap < need) cap = cap > max / 2 ? need : cap * 2;
    const json_alc &alc = json_detail::alc_or_libc(b->alc);
    void *grown = b->data ? alc.realloc(alc.ctx, b->data, b->cap, cap) : alc.malloc(alc.ctx, cap);
    if (!grown) {
        b->failed = true;
        return false;
    }
    b->data = static_cast<char *>(grown);
    b->cap = cap;
    return true;
}

void json_buf_raw(json_buf *b, const char *s, size_t n) { append(b, s, n); }
void json_buf_cstr(json_buf *b, const char *s) { append(b, s, std::strlen(s)); }
void json_buf_char(json_buf *b, char c) { append(b, &c, 1); }

size_t json_escape(char *out, const char *s, size_t n, uint32_t esc) {
    const char *hex = (esc & JSON_ESC_HEX_LOWER) ? "0123456789abcdef" : "0123456789ABCDEF";
    const bool no_bf = esc & JSON_ESC_NO_BF;
    const bool all_hex = esc & JSON_ESC_ALL_HEX;
    char *o = out;
    size_t i = 0;
    while (i < n) {
        size_t run = i;
        while (run < n && !kEscape[u8(s[run])]) run++;
        std::memcpy(o, s + i, run - i);
        o += run - i;
        if (run == n) break;
        const u8 c = u8(s[run]);
        i = run + 1;
        char letter = kEscape[c];
        if ((no_bf && (c == '\b' || c == '\f')) || (all_hex && c < 0x20)) letter = 'u';
        *o++ = '\\';
        *o++ = letter;
        if (letter == 'u') {
            *o++ = '0';
            *o++ = '0';
            *o++ = hex[c >> 4];
            *o++ = hex[c & 15];
        }
    }
    return size_t(o - out);
}

void json_buf_str(json_buf *b, const char *s, size_t n, uint32_t esc) {
    if (!s) n = 0;
    if (n > (std::numeric_limits<size_t>::max() - 3) / 6) {
        b->failed = true;
        return;
    }
    if (!json_buf_reserve(b, 6 * n + 2)) return;
    char *o = b->data + b->len;
    *o++ = '"';
    o += json_escape(o, s, n, esc);
    *o++ = '"';
    *o = 0;
    b->len = size_t(o - b->data);
}

void json_buf_sint(json_buf *b, int64_t v) {
    char text[24];
    const auto res = std::to_chars(text, text + sizeof text, v);
    append(b, text, size_t(res.ptr - text));
}

void json_buf_uint(json_buf *b, uint64_t v) {
    char text[24];
    const auto res = std::to_chars(text, text + sizeof text, v);
    append(b, text, size_t(res.ptr - text));
}

size_t json_write_real(char *out, double v) {
    if (!std::isfinite(v)) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    char *o = out;
    if (std::signbit(v)) *o++ = '-';
    if (v == 0) {
        std::memcpy(o, "0.0", 3);
        return size_t(o + 3 - out);
    }
    // Shortest round-trip digits, then laid out as JavaScript does: plain
    // decimals for 1e-6 <= |v| < 1e21, exponent notation otherwise.
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific);
    char digits[20];
    size_t nd = 0;
    const char *p = sci;
    for (; *p != 'e'; p++)
        if (*p != '.') digits[nd++] = *p;
    int exp = 0;
    std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exp);

    if (exp >= -6 && exp < 21) {
        if (exp >= 0) {
            const size_t int_digits = size_t(exp) + 1;
            if (nd <= int_digits) {
                std::memcpy(o, digits, nd);
                o += nd;
                std::memset(o, '0', int_digits - nd);
                o += int_digits - nd;
                std::memcpy(o, ".0", 2);
                o += 2;
            } else {
                std::memcpy(o, digits, int_digits);
                o += int_digits;
                *o++ = '.';
                std::memcpy(o, digits + int_digits, nd - int_digits);
                o += nd - int_digits;
            }
        } else {
            const size_t zeros = size_t(-exp) - 1;
            std::memcpy(o, "0.", 2);
            o += 2;
            std::memset(o, '0', zeros);
            o += zeros;
            std::memcpy(o, digits, nd);
            o += nd;
        }
    } else {
        *o++ = digits[0];
        if (nd > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, nd - 1);
            o += nd - 1;
        }
        *o++ = 'e';
        o = std::to_chars(o, o + 8, exp).ptr;
    }
    return size_t(o - out);
}

void json_buf_real(json_buf *b, double v) {
    if (!json_buf_reserve(b, kRealMax)) return;
    b->len += json_write_real(b->data + b->len, v);
    b->data[b->len] = 0;
}

void json_buf_val(json_buf *b, const json_val *v, uint32_t esc) {
    const json_alc &alc = json_detail::alc_or_libc(b->alc);
    // Nesting is tracked here rather than by recursion; the local array covers
    // usual depths, deeper trees move the stack to the heap.
    Level local[32];
    Level *stack = local;
    size_t depth = 0, cap = sizeof local / sizeof local[0];

    while (!b->failed) {
        switch (json_get_type(v)) {
        case JSON_NONE:
        case JSON_NULL: json_buf_raw(b, "null", 4); break;
        case JSON_FALSE: json_buf_raw(b, "false", 5); break;
        case JSON_TRUE: json_buf_raw(b, "true", 4); break;
        case JSON_UINT: json_buf_uint(b, v->uni.u); break;
        case JSON_SINT: json_buf_sint(b, v->uni.i); break;
        case JSON_REAL: json_buf_real(b, v->uni.d); break;
        case JSON_RAW: json_buf_raw(b, v->uni.str, json_get_len(v)); break;
        case JSON_STR: json_buf_str(b, v->uni.str, json_get_len(v), esc); break;
        case JSON_ARR:
        case JSON_OBJ: {
            const bool obj = json_is_obj(v);
            const size_t children = json_get_len(v) * (obj ? 2 : 1);
            if (!children) {
                json_buf_raw(b, obj ? "{}" : "[]", 2);
                break;
            }
            json_buf_char(b, obj ? '{' : '[');
            if (depth == cap) {
                const size_t bytes = cap * sizeof(Level);
                void *grown = stack == local ? alc.malloc(alc.ctx, 2 * bytes)
                                             : alc.realloc(alc.ctx, stack, bytes, 2 * bytes);
                if (!grown) {
                    b->failed = true;
                    break;
                }
                if (stack == local) std::memcpy(grown, local, bytes);
                stack = static_cast<Level *>(grown);
                cap *= 2;
            }
            stack[depth++] = {children, obj};
            v++;
            continue;  // the first child takes no separator
        }
        }
        // Children follow their container, so the next value to write is the
        // next one in the array; first close what this value completed.
        if (!depth) break;
        v++;
        for (;;) {
            if (!depth) goto done;
            Level &top = stack[depth - 1];
            if (--top.left) {
                json_buf_char(b, top.obj && (top.left & 1) ? ':' : ',');
                break;
            }
            json_buf_char(b, top.obj ? '}' : ']');
            depth--;
        }
    }
done:
    if (stack != local) alc.free(alc.ctx, stack);
}
