#include "udp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int udp_open_loopback(unsigned port, int *bound_port) {
    // No SO_REUSEADDR: another local process must not be able to take the port over.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    sockaddr_in bound = {};
    socklen_t len = sizeof bound;
    *bound_port = getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len) == 0 ? ntohs(bound.sin_port) : -1;
    return fd;
}

int udp_wait(int fd, int timeout_ms) {
    if (timeout_ms < 0) return -1;
    pollfd p = {fd, POLLIN, 0};
    int rc;
    do rc = poll(&p, 1, timeout_ms);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) return -1;
    return rc > 0 ? 1 : 0;
}

long udp_recv(int fd, void *buf, size_t cap, sockaddr_in *from) {
    std::memset(from, 0, sizeof *from);
    socklen_t len = sizeof *from;
    ssize_t n;
    do n = recvfrom(fd, buf, cap, 0, reinterpret_cast<sockaddr *>(from), &len);
    while (n < 0 && errno == EINTR);
    return long(n);
}

long udp_send(int fd, const void *data, size_t len, const sockaddr_in *to) {
    ssize_t n;
    do n = sendto(fd, data, len, 0, reinterpret_cast<const sockaddr *>(to), sizeof *to);
    while (n < 0 && errno == EINTR);
    return long(n);
}

void udp_close(int fd) { close(fd); }
