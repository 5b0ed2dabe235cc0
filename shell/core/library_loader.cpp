#include "library_loader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace shell {

LibraryLoad load_library(const char *path) {
    LibraryLoad result;
    errno = 0;
    result.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!result.handle) {
        int error = errno;
        if (error == 0) {
            // The loader does not always leave errno set: a file that cannot be
            // opened tells why itself; one that opens is not a loadable library.
            int fd = open(path, O_RDONLY | O_CLOEXEC);
            error = fd < 0 ? errno : ENOEXEC;
            if (fd >= 0) close(fd);
        }
        result.error = unsigned(error);
        const char *detail = dlerror();
        result.detail = detail ? detail : "";
    }
    return result;
}

void *library_export(void *handle, const char *name) { return handle ? dlsym(handle, name) : nullptr; }

}  // namespace shell
