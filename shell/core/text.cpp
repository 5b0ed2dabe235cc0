#include "text.h"

namespace shell {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one character at `pos`, advancing it past the character or past the
// maximal invalid subsequence (which then decodes as U+FFFD).
char32_t decode_utf8(std::string_view text, size_t &pos) {
    auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) return lead;
    int extra;
    char32_t cp;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return REPLACEMENT;
    }
    for (int i = 0; i < extra; i++) {
        if (pos >= text.size()) return REPLACEMENT;
        auto byte = static_cast<unsigned char>(text[pos]);
        if (i == 0 ? (byte < low || byte > high) : !is_continuation(byte)) return REPLACEMENT;
        cp = (cp << 6) | (byte & 0x3F);
        pos++;
    }
    return cp;
}

char32_t decode_utf16(std::u16string_view text, size_t &pos) {
    char16_t unit = text[pos++];
    if (unit >= 0xD800 && unit <= 0xDBFF && pos < text.size() && text[pos] >= 0xDC00 && text[pos] <= 0xDFFF)
        return 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[pos++] - 0xDC00);
    if (unit >= 0xD800 && unit <= 0xDFFF) return REPLACEMENT;
    return unit;
}

size_t encode_utf8(char32_t cp, char *out) {
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        char32_t cp = decode_utf8(text, pos);
        if (cp >= 0x10000) {
            out += char16_t(0xD800 + ((cp - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    char bytes[4];
    for (size_t pos = 0; pos < text.size();) out.append(bytes, encode_utf8(decode_utf16(text, pos), bytes));
    return out;
}

size_t utf16_to_utf8_into(std::u16string_view text, char *out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    size_t length = 0;
    char bytes[4];
    for (size_t pos = 0; pos < text.size();) {
        size_t n = encode_utf8(decode_utf16(text, pos), bytes);
        if (length + n > capacity - 1) break;
        for (size_t i = 0; i < n; i++) out[length++] = bytes[i];
    }
    out[length] = '\0';
    return length;
}

size_t utf16_cut(std::u16string_view text, size_t limit) {
    if (text.size() <= limit) return text.size();
    // A high surrogate before the cut would lose its partner.
    if (limit > 0 && text[limit - 1] >= 0xD800 && text[limit - 1] <= 0xDBFF && text[limit] >= 0xDC00 &&
        text[limit] <= 0xDFFF)
        return limit - 1;
    return limit;
}

size_t utf8_cut(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text.size();
    size_t cut = limit;
    // Step back over continuation bytes to the start of the character the cut falls in.
    while (cut > 0 && is_continuation(static_cast<unsigned char>(text[cut]))) cut--;
    if (cut == limit) return cut;
    // The character starting at `cut` is split unless it ends exactly at `limit`.
    size_t end = cut;
    decode_utf8(text, end);
    return end <= limit ? end : cut;
}

}  // namespace shell
