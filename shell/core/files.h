// File-system services of the platform layer that need no window: all paths UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace shell {

// The whole file as text; throws PlatformError when it cannot be read.
std::string read_text_file(const std::string &path);
// As read_text_file, for regular files only and at most `limit` bytes; a
// FIFO, device or directory is refused without waiting for it.
std::string read_regular_file(const std::string &path, size_t limit);
bool is_regular_file(const std::string &path);
// Whether the file's attributes can be read (it exists and is reachable).
bool file_exists(const std::string &path);
// The running program's path (/proc/self/exe); throws PlatformError.
std::string executable_path();
// Everything before the last '/', or the whole path without one.
std::string_view directory_of(std::string_view path);
// `chosen` if given, else $TMPDIR, else "/tmp/"; always ending in '/'.
std::string temp_directory(const std::string &chosen);

}  // namespace shell
