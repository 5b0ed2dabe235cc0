// UTF-8 / UTF-16 conversion and character-safe cutting. The shell keeps its
// own texts in UTF-16 and meets the libraries (and the file system) in UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace shell {

// Invalid bytes become U+FFFD, one per maximal invalid subsequence.
std::u16string utf8_to_utf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// Encodes whole characters of `text` into `out` (NUL-terminated, at most
// capacity - 1 bytes) without allocating; returns the bytes written.
size_t utf16_to_utf8_into(std::u16string_view text, char *out, size_t capacity);

// The longest prefix of at most `limit` units that does not split a character.
size_t utf16_cut(std::u16string_view text, size_t limit);
size_t utf8_cut(std::string_view text, size_t limit);

}  // namespace shell
