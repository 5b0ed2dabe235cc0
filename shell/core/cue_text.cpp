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

}  // namespace

size_t extract_cue_text(const char *text, const uint8_t *payload, size_t payload_size, const char *codec, char *out,
                        size_t out_size) {
    if (!out || out_size == 0) return 0;
    out[0] = '\0';
    if (text && *text) return copy_cut(text, out, out_size);
    if (!payload || payload_size == 0) return 0;
    std::string_view name = codec ? codec : "";
    if (name == "mov_text" || name == "text") return timed_text(payload, payload_size, out, out_size);
    return raw_text(payload, payload_size, out, out_size);
}

}  // namespace shell
