// Loading a shared library by path and finding its exports.
#pragma once

#include <string>

namespace shell {

struct LibraryLoad {
    void *handle = nullptr;  // never unloaded
    unsigned error =
        0;  // errno of a failed load: 2 (ENOENT) for a missing file, 8 (ENOEXEC) for one that is no library
    std::string detail;  // the loader's own explanation of a failure
};

LibraryLoad load_library(const char *path);
void *library_export(void *handle, const char *name);

}  // namespace shell
