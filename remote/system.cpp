#include "system.h"

#include <sys/random.h>

#include <cerrno>
#include <ctime>

bool random_bytes(void *out, size_t n) {
    auto *p = static_cast<unsigned char *>(out);
    while (n) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= size_t(got);
    }
    return true;
}

int64_t system_ms_since_1601() {
    // Days from 1601-01-01 to 1970-01-01: 134,774.
    constexpr int64_t UNIX_EPOCH_MS = 11644473600000;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return UNIX_EPOCH_MS + int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
