#include "shell_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "text.h"

namespace shell {
namespace {

void echo_to_stderr(std::u16string_view line) {
    std::string bytes = utf16_to_utf8(line);
    bytes += '\n';
    fwrite(bytes.data(), 1, bytes.size(), stderr);
}

struct ShellLog {
    std::mutex mutex;
    std::u16string text;
    std::string directory = "/tmp/";
    std::function<void(std::u16string_view)> echo = echo_to_stderr;
};

// Created on first use, so logging works from the first instruction of start-up.
ShellLog &shell_log() {
    static ShellLog log;
    return log;
}

bool write_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The text as UTF-16LE bytes, in bounded chunks so a long log is not copied whole.
bool write_utf16le(int fd, std::u16string_view text) {
    char chunk[65536];
    size_t used = 0;
    for (char16_t unit : text) {
        chunk[used++] = char(unit & 0xFF);
        chunk[used++] = char(unit >> 8);
        if (used == sizeof chunk) {
            if (!write_all(fd, chunk, used)) return false;
            used = 0;
        }
    }
    return write_all(fd, chunk, used);
}

}  // namespace

void log_append(std::u16string_view line) {
    line = line.substr(0, utf16_cut(line, LOG_LINE_LIMIT));
    ShellLog &log = shell_log();
    std::lock_guard lock(log.mutex);
    log.text += line;
    log.text += u"\r\n";
    if (log.echo) log.echo(line);
}

void flush_log() {
    ShellLog &log = shell_log();
    std::lock_guard lock(log.mutex);
    std::string path = log.directory + utf16_to_utf8(LOG_FILE_NAME);
    // The temporary directory is shared: the new file is created exclusively
    // (so no planted link is followed), readable by this user only, and
    // renamed over the old log, which replaces a link rather than writing through it.
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return;
    bool written = fchmod(fd, 0600) == 0 && write_utf16le(fd, log.text);
    if (close(fd) != 0) written = false;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) unlink(temporary.c_str());
}

void log_set_directory(std::string directory) {
    if (directory.empty() || directory.back() != '/') directory += '/';
    ShellLog &log = shell_log();
    std::lock_guard lock(log.mutex);
    log.directory = std::move(directory);
}

std::string log_file_path() {
    ShellLog &log = shell_log();
    std::lock_guard lock(log.mutex);
    return log.directory + utf16_to_utf8(LOG_FILE_NAME);
}

void log_set_echo(std::function<void(std::u16string_view)> echo) {
    ShellLog &log = shell_log();
    std::lock_guard lock(log.mutex);
    log.echo = std::move(echo);
}

void log_echo(std::u16string_view text) {
    ShellLog &log = shell_log();
    std::lock_guard lock(log.mutex);
    if (log.echo) log.echo(text);
}

std::u16string log_text() {
    ShellLog &log = shell_log();
    std::lock_guard lock(log.mutex);
    return log.text;
}

}  // namespace shell
