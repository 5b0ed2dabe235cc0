// The shell's process-wide log: every line is kept in memory (UTF-16, CR LF
// after each line), echoed to the debugger output, and written out whole to
// "xboxshell.log" in the temporary-files directory at each flush_log.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "format.h"

namespace shell {

// Lines longer than this many UTF-16 units are cut (at a character boundary).
inline constexpr size_t LOG_LINE_LIMIT = 4095;
inline constexpr std::u16string_view LOG_FILE_NAME = u"xboxshell.log";

// Appends one formatted line. Callable from any thread.
void log_append(std::u16string_view line);

template <class... Args>
void log_line(std::u16string_view format, const Args &...args) {
    log_append(format_text(format, args...));
}

// Rewrites the log file from the accumulated text: a private temporary file
// in the same directory, renamed over the log. A directory that cannot be
// written is skipped silently; the next flush writes everything.
void flush_log();

// The directory the log file goes to, ending in '/' (UTF-8).
void log_set_directory(std::string directory);
std::string log_file_path();

// Where the debugger output goes (one call per line, without a line end);
// an empty function silences it. The default writes to stderr.
void log_set_echo(std::function<void(std::u16string_view)> echo);
// Debugger output only, for details that do not belong in the log.
void log_echo(std::u16string_view text);

// A copy of the accumulated text.
std::u16string log_text();

}  // namespace shell
