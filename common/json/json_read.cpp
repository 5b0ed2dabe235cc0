// JSON reader: one pass over a private copy of the input, values appended to
// a flat array in document order, strings unescaped in place.
#include "json.h"
#include "json_alloc.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

struct json_doc {
    json_val *vals;
    size_t val_count;
    size_t read_size;
    unsigned char *text;  // private copy of the input, strings unescaped in place
    json_alc alc;
};

namespace {

using u8 = unsigned char;

#define JSON_LIKELY(x) __builtin_expect(!!(x), 1)
#define JSON_UNLIKELY(x) __builtin_expect(!!(x), 0)

// Zero bytes after the private copy let the scanners read whole 8-byte words
// and fixed-length literals without bounds checks. A zero byte stops every
// scanner, which only then compares its position with the end of the input.
constexpr size_t kPadding = JSON_READ_PADDING;

// Values per input byte: the benchmark documents need one value per 13 to 27
// bytes; denser input grows the array by doubling.
constexpr size_t kBytesPerValueGuess = 12;

enum : u8 { kSpace = 1, kIdent = 2, kIdentStart = 4 };

constexpr std::array<u8, 256> make_classes() {
    std::array<u8, 256> t{};
    t[' '] = t['\t'] = t['\n'] = t['\r'] = kSpace;
    for (int c = '0'; c <= '9'; c++) t[c] = kIdent;
    for (int c = 'a'; c <= 'z'; c++) t[c] = t[c - 'a' + 'A'] = kIdent | kIdentStart;
    t['_'] = t['$'] = kIdent | kIdentStart;
    for (int c = 0x80; c < 0x100; c++) t[c] = kIdent | kIdentStart;
    return t;
}
constexpr std::array<u8, 256> kClass = make_classes();

constexpr std::array<int8_t, 256> make_hex() {
    std::array<int8_t, 256> t{};
    for (auto &v : t) v = -1;
    for (int c = 0; c < 10; c++) t['0' + c] = int8_t(c);
    for (int c = 0; c < 6; c++) t['a' + c] = t['A' + c] = int8_t(10 + c);
    return t;
}
constexpr std::array<int8_t, 256> kHex = make_hex();

// The byte an escape like \n stands for; 0 for letters that are no escape.
constexpr std::array<u8, 256> make_escapes() {
    std::array<u8, 256> t{};
    t['"'] = '"';
    t['\\'] = '\\';
    t['/'] = '/';
    t['b'] = '\b';
    t['f'] = '\f';
    t['n'] = '\n';
    t['r'] = '\r';
    t['t'] = '\t';
    return t;
}
constexpr std::array<u8, 256> kEscape = make_escapes();

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_space(u8 c) { return kClass[c] & kSpace; }
inline unsigned digit_value(u8 c) { return unsigned(c) - '0'; }  // > 9 for non-digits
inline bool is_digit(u8 c) { return digit_value(c) <= 9; }

// --- 8 bytes at a time ---
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

inline uint64_t load64(const u8 *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
inline void store64(u8 *p, uint64_t w) { std::memcpy(p, &w, 8); }

// High bit set in each byte of `w` that is zero; exact for the first such byte
// (later ones may be false positives from the borrow).
inline uint64_t zero_bytes(uint64_t w) { return (w - kOnes) & ~w; }

// Marks the bytes that end a run of plain string bytes: the closing quote, a
// backslash, a control character and, when `high` is kHighs, bytes >= 0x80
// (which need a UTF-8 check). Exact for the first marked byte.
inline uint64_t string_stops(uint64_t w, uint64_t quotes, uint64_t high) {
    return (zero_bytes(w ^ quotes) | zero_bytes(w ^ (kOnes * '\\')) | ((w - kOnes * 0x20) & ~w) | (w & high)) &
           kHighs;
}

// Index of the first marked byte in memory order.
inline size_t first_marked(uint64_t mask) {
    if constexpr (std::endian::native == std::endian::little)
        return size_t(std::countr_zero(mask)) >> 3;
    else
        return size_t(std::countl_zero(mask)) >> 3;
}

// Length of the valid UTF-8 sequence starting at `p` (lead byte >= 0x80), or 0
// for an invalid one: stray continuation bytes, overlong forms, UTF-16
// surrogates, code points above U+10FFFF and truncated sequences.
inline size_t utf8_sequence(const u8 *p) {
    const u8 c = p[0];
    auto tail = [p](int i) { return (p[i] & 0xC0) == 0x80; };
    if (c < 0xC2) return 0;
    if (c < 0xE0) return tail(1) ? 2 : 0;
    if (c < 0xF0) {
        if (!tail(1) || !tail(2)) return 0;
        if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0)) return 0;
        return 3;
    }
    if (c < 0xF5) {
        if (!tail(1) || !tail(2) || !tail(3)) return 0;
        if ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] >= 0x90)) return 0;
        return 4;
    }
    return 0;
}

inline u8 *put_utf8(u8 *dst, uint32_t cp) {
    if (cp < 0x80) {
        *dst++ = u8(cp);
    } else if (cp < 0x800) {
        *dst++ = u8(0xC0 | (cp >> 6));
        *dst++ = u8(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *dst++ = u8(0xE0 | (cp >> 12));
        *dst++ = u8(0x80 | ((cp >> 6) & 0x3F));
        *dst++ = u8(0x80 | (cp & 0x3F));
    } else {
        *dst++ = u8(0xF0 | (cp >> 18));
        *dst++ = u8(0x80 | ((cp >> 12) & 0x3F));
        *dst++ = u8(0x80 | ((cp >> 6) & 0x3F));
        *dst++ = u8(0x80 | (cp & 0x3F));
    }
    return dst;
}

// Four hex digits at `p`; false if any is not a hex digit.
inline bool read_hex4(const u8 *p, uint32_t *out) {
    const int a = kHex[p[0]], b = kHex[p[1]], c = kHex[p[2]], d = kHex[p[3]];
    if ((a | b | c | d) < 0) return false;
    *out = uint32_t(a << 12 | b << 8 | c << 4 | d);
    return true;
}

constexpr std::array<long double, 28> make_wide_pow10() {
    std::array<long double, 28> t{};
    long double p = 1;
    for (auto &v : t) {
        v = p;
        p *= 10;
    }
    return t;
}
constexpr std::array<long double, 28> kWidePow10 = make_wide_pow10();

// sig * 10^exp10 correctly rounded, for the 17-19 digit numbers the double
// fast path cannot take. With a 64-bit significand both operands are exact
// (5^27 < 2^64) and the one rounding leaves a result whose rounding to 53 bits
// is right unless it sits on a midpoint between two doubles; those few cases,
// and machines without such a type, report false.
inline bool wide_convert(uint64_t sig, int exp10, double *out) {
    if constexpr (std::numeric_limits<long double>::digits == 64 && std::endian::native == std::endian::little) {
        const long double q = exp10 < 0 ? (long double)sig / kWidePow10[size_t(-exp10)]
                                        : (long double)sig * kWidePow10[size_t(exp10)];
        uint64_t significand;
        std::memcpy(&significand, &q, sizeof significand);
        const unsigned dropped = significand & 0x7FF;
        if (dropped - 0x3FF <= 2) return false;
        *out = double(q);
        return true;
    } else {
        (void)sig, (void)exp10, (void)out;
        return false;
    }
}

// Decimal exponent of the leading significant digit of a valid, non-zero
// number: tells an overflow from an underflow when the conversion fails.
int64_t leading_exponent(const u8 *p, const u8 *end) {
    p += *p == '-';
    int64_t int_digits = 0, lead = 0;
    bool found = false;
    for (; p < end && is_digit(*p); p++) {
        if (*p != '0') found = true;
        if (found) int_digits++;
    }
    if (found) lead = int_digits - 1;
    if (p < end && *p == '.') {
        int64_t place = 0;
        for (p++; p < end && is_digit(*p); p++) {
            place--;
            if (!found && *p != '0') {
                found = true;
                lead = place;
            }
        }
    }
    if (p < end && (*p | 0x20) == 'e') {
        p++;
        const bool neg = *p == '-';
        p += *p == '-' || *p == '+';
        int64_t e = 0;
        for (; p < end && is_digit(*p); p++)
            if (e < 1000000) e = e * 10 + digit_value(*p);
        lead += neg ? -e : e;
    }
    return lead;
}

struct Reader {
    u8 *text;
    u8 *end;  // text + input length
    uint32_t flags;
    json_alc alc;
    json_val *vals;
    size_t cap;  // values the array has room for
    json_err err;

    template <bool Lenient>
    bool on(uint32_t flag) const {
        return Lenient && (flags & flag);
    }

    u8 *fail(const u8 *at, json_err_code code, const char *msg) {
        err = {code, msg, size_t(at - text)};
        return nullptr;
    }
    // Input cut short counts as the end of the data, not as the byte found.
    u8 *fail_at(const u8 *at, json_err_code code, const char *msg) {
        if (at >= end) return fail(end, JSON_ERR_UNEXPECTED_END, "unexpected end of data");
        return fail(at, code, msg);
    }
    u8 *fail_char(const u8 *at, const char *msg) { return fail_at(at, JSON_ERR_UNEXPECTED_CHARACTER, msg); }

    // Doubles the value array; `val` (next free slot) and `ctn` follow it.
    bool grow(json_val *&val, json_val *&ctn, json_val *&val_end, const u8 *at) {
        const size_t used = size_t(val - vals);
        const ptrdiff_t ctn_index = ctn ? ctn - vals : -1;
        if (cap > std::numeric_limits<size_t>::max() / (2 * sizeof(json_val))) {
            fail(at, JSON_ERR_MEMORY, "memory allocation failed");
            return false;
        }
        auto *grown = static_cast<json_val *>(
            alc.realloc(alc.ctx, vals, cap * sizeof(json_val), 2 * cap * sizeof(json_val)));
        if (!grown) {
            fail(at, JSON_ERR_MEMORY, "memory allocation failed");
            return false;
        }
        vals = grown;
        cap *= 2;
        val = vals + used;
        val_end = vals + cap;
        ctn = ctn_index < 0 ? nullptr : vals + ctn_index;
        return true;
    }

    template <bool Lenient>
    u8 *skip_space(u8 *p) {
        for (;;) {
            while (is_space(*p)) p++;
            if (!on<Lenient>(JSON_READ_COMMENTS) || *p != '/') return p;
            if (p[1] == '/') {
                const void *nl = std::memchr(p, '\n', size_t(end - p));
                p = nl ? static_cast<u8 *>(const_cast<void *>(nl)) + 1 : end;
            } else if (p[1] == '*') {
                u8 *q = p + 2;
                while (q + 1 < end && !(q[0] == '*' && q[1] == '/')) q++;
                if (q + 1 >= end) return fail(p, JSON_ERR_INVALID_COMMENT, "unclosed multiline comment");
                p = q + 2;
            } else {
                return p;  // a lone '/' is left for the caller to refuse
            }
        }
    }

    // `p` is at the opening quote. On success the value is a JSON_STR and the
    // result points past the closing quote.
    template <bool Lenient>
    u8 *read_string(u8 *p, json_val *v, u8 quote) {
        const uint64_t quotes = kOnes * quote;
        const uint64_t high = on<Lenient>(JSON_READ_INVALID_UTF8) ? 0 : kHighs;
        u8 *const start = ++p;
        u8 *dst;
        // Until the first escape the string stays where it is.
        for (;;) {
            const uint64_t stops = string_stops(load64(p), quotes, high);
            if (JSON_LIKELY(!stops)) {
                p += 8;
                continue;
            }
            p += first_marked(stops);
            if (JSON_LIKELY(*p == quote)) {
                *p = 0;
                v->tag = JSON_STR | uint64_t(p - start) << 8;
                v->uni.str = reinterpret_cast<const char *>(start);
                return p + 1;
            }
            if (*p == '\\') break;
            if (*p < 0x20) return fail_at(p, JSON_ERR_INVALID_STRING, "unexpected character in string");
            const size_t n = utf8_sequence(p);
            if (!n) return fail(p, JSON_ERR_INVALID_STRING, "invalid UTF-8 encoding in string");
            p += n;
        }
        // From here on every byte moves down to `dst`, which escapes keep behind `p`.
        dst = p;
        for (;;) {
            // `p` is at a backslash.
            const u8 esc = p[1];
            if (const u8 plain = kEscape[esc]) {
                *dst++ = plain;
                p += 2;
            } else if (esc == 'u') {
                u8 *const at = p;
                uint32_t cp;
                if (!read_hex4(p + 2, &cp))
                    return fail_at(p + 6 > end ? end : p, JSON_ERR_INVALID_STRING,
                                   "invalid escaped sequence in string");
                p += 6;
                if ((cp & 0xFC00) == 0xD800) {
                    uint32_t low;
                    if (p[0] == '\\' && p[1] == 'u' && read_hex4(p + 2, &low) && (low & 0xFC00) == 0xDC00) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        p += 6;
                    } else if (!on<Lenient>(JSON_READ_INVALID_UTF8)) {
                        return fail(at, JSON_ERR_INVALID_STRING, "unpaired surrogate escape in string");
                    }
                } else if ((cp & 0xFC00) == 0xDC00 && !on<Lenient>(JSON_READ_INVALID_UTF8)) {
                    return fail(at, JSON_ERR_INVALID_STRING, "unpaired surrogate escape in string");
                }
                // A lone surrogate allowed through becomes its 3-byte (WTF-8) form.
                dst = put_utf8(dst, cp);
            } else if (esc == '\'' && quote == '\'') {
                *dst++ = '\'';
                p += 2;
            } else {
                return fail_at(p + 1 >= end ? end : p, JSON_ERR_INVALID_STRING, "invalid escaped sequence in string");
            }
            for (;;) {
                const uint64_t w = load64(p);
                const uint64_t stops = string_stops(w, quotes, high);
                if (!stops) {
                    // The 8 bytes written all lie below p + 8, which is consumed.
                    store64(dst, w);
                    dst += 8;
                    p += 8;
                    continue;
                }
                const size_t n = first_marked(stops);
                std::memmove(dst, p, n);
                dst += n;
                p += n;
                if (*p == quote) {
                    *dst = 0;
                    v->tag = JSON_STR | uint64_t(dst - start) << 8;
                    v->uni.str = reinterpret_cast<const char *>(start);
                    return p + 1;
                }
                if (*p == '\\') break;
                if (*p < 0x20) return fail_at(p, JSON_ERR_INVALID_STRING, "unexpected character in string");
                const size_t len = utf8_sequence(p);
                if (!len) return fail(p, JSON_ERR_INVALID_STRING, "invalid UTF-8 encoding in string");
                std::memmove(dst, p, len);
                dst += len;
                p += len;
            }
        }
    }

    // An unquoted object key (`p` at its first byte). Its bytes >= 0x80 must
    // be valid UTF-8 unless JSON_READ_INVALID_UTF8 is on, as in quoted keys.
    template <bool Lenient>
    u8 *read_identifier(u8 *p, json_val *v) {
        u8 *const start = p;
        const bool check_utf8 = !on<Lenient>(JSON_READ_INVALID_UTF8);
        while (kClass[*p] & kIdent) {
            if (*p < 0x80 || !check_utf8) {
                p++;
                continue;
            }
            const size_t n = utf8_sequence(p);
            if (!n) return fail(p, JSON_ERR_INVALID_STRING, "invalid UTF-8 encoding in object key");
            p += n;
        }
        const size_t len = size_t(p - start);
        // The byte after the key is still to be read (':' or white space), so
        // the key moves one byte down, over the separator already consumed
        // before it, to make room for its terminator.
        std::memmove(start - 1, start, len);
        start[len - 1] = 0;
        v->tag = JSON_STR | uint64_t(len) << 8;
        v->uni.str = reinterpret_cast<const char *>(start - 1);
        return p;
    }

    static void set_raw(json_val *v, const u8 *start, const u8 *end_) {
        v->tag = JSON_RAW | uint64_t(end_ - start) << 8;
        v->uni.str = reinterpret_cast<const char *>(start);
    }
    static void set_real(json_val *v, double d) {
        v->tag = JSON_REAL;
        v->uni.d = d;
    }

    // [+-]?(inf|infinity|nan), any case; NULL (without an error) if absent.
    template <bool Lenient>
    u8 *read_inf_nan(u8 *p, json_val *v) {
        u8 *const start = p;
        const bool neg = *p == '-';
        p += *p == '-' || *p == '+';
        auto word = [p](const char *w, size_t n) {
            for (size_t i = 0; i < n; i++)
                if ((p[i] | 0x20) != u8(w[i])) return false;
            return true;
        };
        double d;
        if (word("infinity", 8)) {
            p += 8;
            d = std::numeric_limits<double>::infinity();
        } else if (word("inf", 3)) {
            p += 3;
            d = std::numeric_limits<double>::infinity();
        } else if (word("nan", 3)) {
            p += 3;
            d = std::numeric_limits<double>::quiet_NaN();
        } else {
            return nullptr;
        }
        if (on<Lenient>(JSON_READ_NUMBERS_RAW))
            set_raw(v, start, p);
        else
            set_real(v, neg ? -d : d);
        return p;
    }

    // Numbers: integers that fit 64 bits become JSON_UINT/JSON_SINT; "-0"
    // becomes the real -0.0 so that its sign survives; everything else is a
    // correctly rounded JSON_REAL.
    template <bool Lenient>
    u8 *read_number(u8 *p, json_val *v) {
        u8 *const start = p;
        const bool neg = *p == '-';
        p += neg;
        uint64_t sig = digit_value(*p);
        if (JSON_UNLIKELY(sig > 9)) {
            if (on<Lenient>(JSON_READ_INF_NAN))
                if (u8 *q = read_inf_nan<Lenient>(start, v)) return q;
            return fail_at(p, JSON_ERR_INVALID_NUMBER, "no digit after minus sign");
        }
        int digits = 1;       // significant digits held in sig (19 always fit)
        bool exact = true;    // sig holds every significant digit
        int64_t exp10 = 0;
        p++;
        if (sig == 0) {
            if (JSON_UNLIKELY(is_digit(*p))) return fail(p, JSON_ERR_INVALID_NUMBER, "leading zero in number");
            digits = 0;
        } else {
            for (unsigned d; (d = digit_value(*p)) <= 9; p++) {
                if (JSON_LIKELY(digits < 19)) {
                    sig = sig * 10 + d;
                    digits++;
                } else {
                    exact = false;
                }
            }
        }
        if (*p != '.' && (*p | 0x20) != 'e') {
            if (on<Lenient>(JSON_READ_NUMBERS_RAW)) {
                set_raw(v, start, p);
                return p;
            }
            if (JSON_LIKELY(exact)) {
                if (!neg) {
                    v->tag = JSON_UINT;
                    v->uni.u = sig;
                } else if (sig == 0) {
                    set_real(v, -0.0);
                } else if (sig <= uint64_t(1) << 63) {
                    v->tag = JSON_SINT;
                    v->uni.i = int64_t(0 - sig);
                } else {
                    set_real(v, -double(sig));
                }
                return p;
            }
            // Twenty digits may still fit 64 bits.
            if (!neg && p - start == 20) {
                const uint64_t last = digit_value(p[-1]);
                if (sig <= (std::numeric_limits<uint64_t>::max() - last) / 10) {
                    v->tag = JSON_UINT;
                    v->uni.u = sig * 10 + last;
                    return p;
                }
            }
        }
        if (*p == '.') {
            p++;
            if (!is_digit(*p)) return fail_at(p, JSON_ERR_INVALID_NUMBER, "no digit after decimal point");
            for (unsigned d; (d = digit_value(*p)) <= 9; p++) {
                if (JSON_LIKELY(digits < 19)) {
                    sig = sig * 10 + d;
                    digits += sig != 0;  // leading zeros of 0.00123 are not significant
                    exp10--;
                } else {
                    exact = false;
                }
            }
        }
        if ((*p | 0x20) == 'e') {
            p++;
            const bool exp_neg = *p == '-';
            p += *p == '-' || *p == '+';
            if (!is_digit(*p)) return fail_at(p, JSON_ERR_INVALID_NUMBER, "no digit after exponent sign");
            int64_t e = 0;
            for (unsigned d; (d = digit_value(*p)) <= 9; p++)
                if (e < 1000000) e = e * 10 + d;
            exp10 += exp_neg ? -e : e;
        }
        if (on<Lenient>(JSON_READ_NUMBERS_RAW)) {
            set_raw(v, start, p);
            return p;
        }
        double d;
        if (JSON_LIKELY(exact && sig <= uint64_t(1) << 53 && exp10 >= -22 && exp10 <= 22)) {
            // Both operands are exact doubles, so one IEEE operation rounds correctly.
            d = double(sig);
            d = exp10 < 0 ? d / kPow10[-exp10] : d * kPow10[exp10];
            if (neg) d = -d;
        } else if (exact && exp10 >= -27 && exp10 <= 27 && wide_convert(sig, int(exp10), &d)) {
            if (neg) d = -d;
        } else {
            const auto res = std::from_chars(reinterpret_cast<const char *>(start), reinterpret_cast<const char *>(p), d);
            if (res.ec == std::errc::result_out_of_range) {
                d = leading_exponent(start, p) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
                if (neg) d = -d;
            }
        }
        if (JSON_UNLIKELY(std::isinf(d)) && !on<Lenient>(JSON_READ_INF_NAN))
            return fail(start, JSON_ERR_INVALID_NUMBER, "number is infinity when parsed as double");
        set_real(v, d);
        return p;
    }

    u8 *read_literal(u8 *p, json_val *v, const char *word, size_t n, json_type type) {
        if (JSON_LIKELY(std::memcmp(p, word, n) == 0)) {
            v->tag = type;
            return p + n;
        }
        const size_t left = size_t(end - p);
        if (left < n && std::memcmp(p, word, left) == 0)
            return fail(end, JSON_ERR_UNEXPECTED_END, "unexpected end of data");
        return fail(p, JSON_ERR_LITERAL, "invalid literal");
    }

    // Any value but a container.
    template <bool Lenient>
    u8 *read_scalar(u8 *p, json_val *v) {
        switch (*p) {
        case '"': return read_string<Lenient>(p, v, '"');
        case '-': case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return read_number<Lenient>(p, v);
        case 't': return read_literal(p, v, "true", 4, JSON_TRUE);
        case 'f': return read_literal(p, v, "false", 5, JSON_FALSE);
        case 'n':
            if (on<Lenient>(JSON_READ_INF_NAN) && std::memcmp(p, "null", 4) != 0)
                if (u8 *q = read_inf_nan<Lenient>(p, v)) return q;
            return read_literal(p, v, "null", 4, JSON_NULL);
        case '\'':
            if (on<Lenient>(JSON_READ_SINGLE_QUOTES)) return read_string<Lenient>(p, v, '\'');
            break;
        case '+': case 'i': case 'I': case 'N':
            if (on<Lenient>(JSON_READ_INF_NAN)) {
                if (u8 *q = read_inf_nan<Lenient>(p, v)) return q;
                return fail(p, JSON_ERR_LITERAL, "invalid literal");
            }
            break;
        default: break;
        }
        return fail_char(p, "unexpected character, expected a JSON value");
    }

    template <bool Lenient>
    u8 *read_key(u8 *p, json_val *v) {
        if (JSON_LIKELY(*p == '"')) return read_string<Lenient>(p, v, '"');
        if (*p == '\'' && on<Lenient>(JSON_READ_SINGLE_QUOTES)) return read_string<Lenient>(p, v, '\'');
        if ((kClass[*p] & kIdentStart) && on<Lenient>(JSON_READ_UNQUOTED_KEYS)) return read_identifier<Lenient>(p, v);
        return fail_char(p, "unexpected character, expected a string for object key");
    }

    // Parses the whole input into `vals`. While a container is open its
    // `uni.ofs` holds the byte distance back to its parent (0 for the root)
    // and its tag the child count it had when a nested container opened: the
    // value array is the nesting stack.
    template <bool Lenient>
    bool parse(size_t *val_count, size_t *read_size) {
        u8 *p = text;
        json_val *val = vals;  // next free slot
        json_val *val_end = vals + cap;
        json_val *ctn = nullptr;
        uint64_t ctn_len = 0;

        if (on<Lenient>(JSON_READ_BOM) && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
        p = skip_space<Lenient>(p);
        if (Lenient && !p) return false;
        if (p >= end) {
            fail(p, JSON_ERR_EMPTY_CONTENT, "input data is empty");
            return false;
        }
        if (*p == '[' || *p == '{') {
            val->tag = *p == '[' ? JSON_ARR : JSON_OBJ;
            val->uni.ofs = 0;
            ctn = val++;
            if (*p++ == '[') goto arr_begin;
            goto obj_begin;
        }
        if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
            fail(p, JSON_ERR_UNEXPECTED_CHARACTER, "byte order mark is not allowed");
            return false;
        }
        p = read_scalar<Lenient>(p, val++);
        if (!p) return false;
        goto doc_end;

    arr_begin:
        p = skip_space<Lenient>(p);
        if (Lenient && !p) return false;
        if (*p == ']') {
            p++;
            goto ctn_end;
        }
    arr_value:
        if (JSON_UNLIKELY(val == val_end) && !grow(val, ctn, val_end, p)) return false;
        ctn_len++;
        if (*p == '{' || *p == '[') goto ctn_begin;
        p = read_scalar<Lenient>(p, val++);
        if (!p) return false;
    arr_after:
        if (JSON_LIKELY(*p == ',')) {
            p = skip_space<Lenient>(p + 1);
            if (Lenient && !p) return false;
            if (on<Lenient>(JSON_READ_TRAILING_COMMAS) && *p == ']') {
                p++;
                goto ctn_end;
            }
            goto arr_value;
        }
        if (*p == ']') {
            p++;
            goto ctn_end;
        }
        if (is_space(*p) || *p == '/') {
            u8 *q = skip_space<Lenient>(p);
            if (Lenient && !q) return false;
            if (q != p && (*q == ',' || *q == ']')) {
                p = q;
                goto arr_after;
            }
            p = q;
        }
        fail_char(p, "unexpected character, expected a comma or a closing bracket");
        return false;

    obj_begin:
        p = skip_space<Lenient>(p);
        if (Lenient && !p) return false;
        if (*p == '}') {
            p++;
            goto ctn_end;
        }
    obj_key:
        if (JSON_UNLIKELY(val_end - val < 2) && !grow(val, ctn, val_end, p)) return false;
        ctn_len++;
        p = read_key<Lenient>(p, val++);
        if (!p) return false;
        if (JSON_LIKELY(*p == ':')) {
            p++;
        } else {
            p = skip_space<Lenient>(p);
            if (Lenient && !p) return false;
            if (*p != ':') {
                fail_char(p, "unexpected character, expected a colon after object key");
                return false;
            }
            p++;
        }
        p = skip_space<Lenient>(p);
        if (Lenient && !p) return false;
        if (*p == '{' || *p == '[') goto ctn_begin;
        p = read_scalar<Lenient>(p, val++);
        if (!p) return false;
    obj_after:
        if (JSON_LIKELY(*p == ',')) {
            p = skip_space<Lenient>(p + 1);
            if (Lenient && !p) return false;
            if (on<Lenient>(JSON_READ_TRAILING_COMMAS) && *p == '}') {
                p++;
                goto ctn_end;
            }
            goto obj_key;
        }
        if (*p == '}') {
            p++;
            goto ctn_end;
        }
        if (is_space(*p) || *p == '/') {
            u8 *q = skip_space<Lenient>(p);
            if (Lenient && !q) return false;
            if (q != p && (*q == ',' || *q == '}')) {
                p = q;
                goto obj_after;
            }
            p = q;
        }
        fail_char(p, "unexpected character, expected a comma or a closing brace");
        return false;

    ctn_begin:
        // `val` has room (checked by the caller); `p` is at '[' or '{'.
        ctn->tag = (ctn_len << 8) | (ctn->tag & 0xFF);
        val->tag = *p == '[' ? JSON_ARR : JSON_OBJ;
        val->uni.ofs = size_t(reinterpret_cast<char *>(val) - reinterpret_cast<char *>(ctn));
        ctn = val++;
        ctn_len = 0;
        if (*p++ == '[') goto arr_begin;
        goto obj_begin;

    ctn_end: {
        const size_t up = ctn->uni.ofs;
        ctn->tag = (ctn_len << 8) | (ctn->tag & 0xFF);
        ctn->uni.ofs = size_t(reinterpret_cast<char *>(val) - reinterpret_cast<char *>(ctn));
        if (!up) goto doc_end;
        ctn = reinterpret_cast<json_val *>(reinterpret_cast<char *>(ctn) - up);
        ctn_len = ctn->tag >> 8;
        if ((ctn->tag & 0xFF) == JSON_OBJ) goto obj_after;
        goto arr_after;
    }

    doc_end:
        if (!on<Lenient>(JSON_READ_STOP_WHEN_DONE)) {
            p = skip_space<Lenient>(p);
            if (Lenient && !p) return false;
            if (p != end) {
                fail(p, JSON_ERR_UNEXPECTED_CONTENT, "unexpected content after document");
                return false;
            }
        }
        *val_count = size_t(val - vals);
        *read_size = size_t(p - text);
        return true;
    }
};

}  // namespace

// Reads `len` bytes of `text`, which has kPadding writable bytes after them;
// strings are unescaped in place. The document owns `text` when `owned`.
static json_doc *read_text(u8 *text, size_t len, bool owned, uint32_t flags, const json_alc &alc, json_err *err) {
    const size_t cap = len / kBytesPerValueGuess + 16;
    auto *doc = static_cast<json_doc *>(alc.malloc(alc.ctx, sizeof(json_doc)));
    auto *vals = doc ? static_cast<json_val *>(alc.malloc(alc.ctx, cap * sizeof(json_val))) : nullptr;
    if (!vals) {
        if (doc) alc.free(alc.ctx, doc);
        *err = {JSON_ERR_MEMORY, "memory allocation failed", 0};
        return nullptr;
    }
    std::memset(text + len, 0, kPadding);

    Reader r{text, text + len, flags, alc, vals, cap, {}};
    size_t val_count = 0, read_size = 0;
    const bool ok = flags ? r.parse<true>(&val_count, &read_size) : r.parse<false>(&val_count, &read_size);
    if (!ok) {
        alc.free(alc.ctx, r.vals);
        alc.free(alc.ctx, doc);
        *err = r.err;
        return nullptr;
    }
    *doc = {r.vals, val_count, read_size, owned ? text : nullptr, alc};
    *err = {JSON_ERR_NONE, nullptr, 0};
    return doc;
}

json_doc *json_read(const char *data, size_t len, uint32_t flags, const json_alc *alc_in, json_err *err) {
    json_err ignored;
    if (!err) err = &ignored;
    if (!data && len) {
        *err = {JSON_ERR_INVALID_PARAMETER, "input data is NULL", 0};
        return nullptr;
    }
    if (!len) {
        *err = {JSON_ERR_EMPTY_CONTENT, "input data is empty", 0};
        return nullptr;
    }
    const json_alc &alc = json_detail::alc_or_libc(alc_in);
    if (len > std::numeric_limits<size_t>::max() / 2) {
        *err = {JSON_ERR_MEMORY, "memory allocation failed", 0};
        return nullptr;
    }
    auto *text = static_cast<u8 *>(alc.malloc(alc.ctx, len + kPadding));
    if (!text) {
        *err = {JSON_ERR_MEMORY, "memory allocation failed", 0};
        return nullptr;
    }
    std::memcpy(text, data, len);
    json_doc *doc = read_text(text, len, true, flags, alc, err);
    if (!doc) alc.free(alc.ctx, text);
    return doc;
}

json_doc *json_read_insitu(char *buf, size_t len, uint32_t flags, const json_alc *alc_in, json_err *err) {
    json_err scratch;
    if (!err) err = &scratch;
    if (!buf) {
        *err = {JSON_ERR_INVALID_PARAMETER, "input data is NULL", 0};
        return nullptr;
    }
    if (!len) {
        *err = {JSON_ERR_EMPTY_CONTENT, "input data is empty", 0};
        return nullptr;
    }
    return read_text(reinterpret_cast<u8 *>(buf), len, false, flags, json_detail::alc_or_libc(alc_in), err);
}

void json_doc_free(json_doc *doc) {
    if (!doc) return;
    const json_alc alc = doc->alc;
    alc.free(alc.ctx, doc->vals);
    alc.free(alc.ctx, doc->text);
    alc.free(alc.ctx, doc);
}

json_val *json_doc_root(const json_doc *doc) { return doc ? doc->vals : nullptr; }
size_t json_doc_read_size(const json_doc *doc) { return doc ? doc->read_size : 0; }
size_t json_doc_val_count(const json_doc *doc) { return doc ? doc->val_count : 0; }

json_val *json_arr_get(json_val *arr, size_t index) {
    if (!json_is_arr(arr) || index >= json_get_len(arr)) return nullptr;
    json_val *v = arr + 1;
    while (index--) v = json_next(v);
    return v;
}

json_val *json_obj_getn(json_val *obj, const char *key, size_t key_len) {
    if (!json_is_obj(obj) || (!key && key_len)) return nullptr;
    json_obj_iter it = json_obj_iter_init(obj);
    while (json_val *k = json_obj_iter_next(&it))
        if (json_equals_str(k, key, key_len)) return k + 1;
    return nullptr;
}

json_val *json_obj_get(json_val *obj, const char *key) {
    return key ? json_obj_getn(obj, key, std::strlen(key)) : nullptr;
}

bool json_equals_str(const json_val *v, const char *s, size_t len) {
    return json_is_str(v) && json_get_len(v) == len && (len == 0 || std::memcmp(v->uni.str, s, len) == 0);
}
