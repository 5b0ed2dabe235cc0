#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform_error.h"

namespace shell {

namespace {

// Reads up to `limit` bytes of an open file and closes it, also when reading fails.
std::string read_and_close(int fd, const std::string &path, size_t limit) {
    std::string text;
    char buffer[65536];
    while (text.size() < limit) {
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
        if (n < 0) {
            int error = errno;
            close(fd);
            errno = error;
            throw_errno("read " + path);
        }
        if (n == 0) break;
        text.append(buffer, size_t(n));
    }
    close(fd);
    return text;
}

}  // namespace

std::string read_text_file(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw_errno("open " + path);
    return read_and_close(fd, path, SIZE_MAX);
}

std::string read_regular_file(const std::string &path, size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw_errno("open " + path);
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        throw PlatformError(CODE_ACCESS_DENIED, path + " is not a regular file");
    }
    return read_and_close(fd, path, limit);
}

bool is_regular_file(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool file_exists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string executable_path() {
    std::string path(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) throw_errno("readlink /proc/self/exe");
    path.resize(size_t(n));
    return path;
}

std::string_view directory_of(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(0, slash);
}

std::string temp_directory(const std::string &chosen) {
    std::string directory = chosen;
    if (directory.empty()) {
        const char *environment = getenv("TMPDIR");
        directory = environment && *environment ? environment : "/tmp/";
    }
    if (directory.back() != '/') directory += '/';
    return directory;
}

}  // namespace shell
