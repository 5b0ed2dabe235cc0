#include "platform_error.h"

#include <cerrno>
#include <cstring>

namespace shell {

uint32_t error_code_from_errno(int error) {
    switch (error) {
        case ENOENT: return CODE_FILE_NOT_FOUND;
        case EACCES: return CODE_ACCESS_DENIED;
        case ENOMEM: return CODE_OUT_OF_MEMORY;
        default: return CODE_FAIL;
    }
}

void throw_errno(const std::string &what) {
    int error = errno;
    throw PlatformError(error_code_from_errno(error), what + ": " + std::strerror(error));
}

}  // namespace shell
