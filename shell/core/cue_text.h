// The text a subtitle cue shows: the engine's decoded text when it has one,
// else the cue's payload read by the rule of its codec.
#pragma once

#include <cstddef>
#include <cstdint>

namespace shell {

// Writes the text into `out` (NUL-terminated, at most out_size - 1 bytes) and
// returns its length. Timed-text payloads ("mov_text", "text") are records of
// a 16-bit big-endian length and that many bytes, joined with one blank; a
// lone "." is an empty cue. Any other payload is taken raw, without a leading
// UTF-8 byte-order mark or trailing line ends and NULs; an ASS or SSA event's
// fields before its text and its override blocks are dropped.
size_t extract_cue_text(const char *text, const uint8_t *payload, size_t payload_size, const char *codec, char *out,
                        size_t out_size);

}  // namespace shell
