// Where the shell finds what it plays and shows: the play target named in
// "play.txt", files named by "open:" items, packaged icons. Paths are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace shell {

// A text file's bytes as UTF-8: UTF-8 with or without a byte-order mark, or
// UTF-16 (little or big endian) with one.
std::string decode_text_file(std::string_view bytes);
// The text up to the first carriage return or line feed.
std::string_view first_line(std::string_view text);
// The part after the last '/', or the whole path without one.
std::string_view file_name_of(std::string_view path);
// An absolute path as it is; a relative one under the application directory.
std::string resolve_in(std::string_view app_dir, std::string_view path);
// The packaged file of an icon "/a/b.png": <app_dir>/assets/a/b.png. Nothing
// for an icon that does not begin with '/' or has a ".." component.
std::optional<std::string> icon_file(std::string_view app_dir, std::string_view icon);

}  // namespace shell
