// The UDP socket operations the built-in transport needs, over POSIX sockets.
#pragma once

#include <netinet/in.h>

#include <cstddef>

// A close-on-exec UDP socket bound to 127.0.0.1:`port` (0 = any); -1 on failure.
// *bound_port receives the port bound, or -1 when it cannot be read.
int udp_open_loopback(unsigned port, int *bound_port);
// 1 readable, 0 time-out, -1 failure (a negative time-out is a failure, never an endless wait).
int udp_wait(int fd, int timeout_ms);
// One datagram into `buf` (longer ones are cut to `cap`); its length, or -1.
long udp_recv(int fd, void *buf, size_t cap, sockaddr_in *from);
// Bytes sent, or -1.
long udp_send(int fd, const void *data, size_t len, const sockaddr_in *to);
void udp_close(int fd);
