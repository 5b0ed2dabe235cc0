#include "cue_text.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace shell {
namespace {

size_t copy_cut(std::string_view text, char *out, size_t out_size) {
    size_t length = std::min(text.size(), out_size - 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
    return length;
}

size_t timed_text(const uint8_t *payload, size_t size, char *out, size_t out_size) {
    if (out_size <= 1) return 0;
    size_t length = 0, at = 0;
    bool produced = false;
    while (size - at >= 2) {
        size_t n = size_t(payload[at]) << 8 | payload[at + 1];
        if (n == 0 || n > size - at - 2) break;
        if (produced && length < out_size - 1) out[length++] = ' ';
        size_t copied = std::min(n, out_size - length - 1);
        std::memcpy(out + length, payload + at + 2, copied);
        length += copied;
        produced = produced || copied > 0;
        at += 2 + n;
        if (size - at < 2) break;
    }
    out[length] = '\0';
    if (std::string_view(out, length) == ".") {
        out[0] = '\0';
        length = 0;
    }
    return length;
}

size_t raw_text(const uint8_t *payload, size_t size, char *out, size_t out_size) {
    if (size > 2 && payload[0] == 0xEF && payload[1] == 0xBB && payload[2] == 0xBF) {
        payload += 3;
        size -= 3;
    }
    size_t length = copy_cut({reinterpret_cast<const char *>(payload), size}, out, out_size);
    while (length > 0 && (out[length - 1] == '\r' || out[length - 1] == '\n' || out[length - 1] == '\0')) length--;
    out[length] = '\0';
    return length;
}

// An ASS or SSA event as Matroska stores it, "ReadOrder,Layer,Style,Name,
// MarginL,MarginR,MarginV,Effect,Text", becomes its text, in place: what
// follows the eighth comma, without override blocks ("{\pos(1,2)}"), with
// "\N" and "\n" as line breaks and "\h" as a blank. Text with fewer commas
// is no such event and stays.
size_t ass_event_text(char *text, size_t length) {
    constexpr int FIELDS_BEFORE_TEXT = 8;
    size_t at = 0;
    for (int commas = 0; commas < FIELDS_BEFORE_TEXT; at++) {
        if (at == length) return length;
        if (text[at] == ',') commas++;
    }
    size_t written = 0;
    bool in_override = false;
    for (; at < length; at++) {
        char c = text[at];
        if (in_override) {
            in_override = c != '}';
        } else if (c == '{') {
            in_override = true;
        } else if (c == '\\' && at + 1 < length &&
                   (text[at + 1] == 'N' || text[at + 1] == 'n' || text[at + 1] == 'h')) {
            text[written++] = text[++at] == 'h' ? ' ' : '\n';
        } else {
            text[written++] = c;
        }
    }
    text[written] = '\0';
    return written;
}

}  // namespace

size_t extract_cue_text(const char *text, const uint8_t *payload, size_t payload_size, const char *codec, char *out,
                        size_t out_size) {
    if (!out || out_size == 0) return 0;
    out[0] = '\0';
    if (text && *text) return copy_cut(text, out, out_size);
    if (!payload || payload_size == 0) return 0;
    std::string_view name = codec ? codec : "";
    if (name == "mov_text" || name == "text") return timed_text(payload, payload_size, out, out_size);
    size_t length = raw_text(payload, payload_size, out, out_size);
    return name == "ass" || name == "ssa" ? ass_event_text(out, length) : length;
}

}  // namespace shell
