// Datagram transport: the built-in loopback socket or the host's callback
// table, the peer table that turns sender addresses into small indexes, and
// the peer filter.
#include "oprc_internal.h"
#include "udp.h"

#include <cstring>

struct peer_entry {
    sockaddr_in addr;
    bool in_use;
};
static_assert(sizeof(sockaddr_in) == 16);

static const oprc_transport *g_transport;
static int g_fd = -1;
static int g_bound_port;
static peer_entry g_peers[OPRC_PEER_CAPACITY];
static int g_last_peer = -1;
static oprc_peer_filter g_peer_filter;
static void *g_peer_filter_ctx;
static uint8_t g_recv_buf[OPRC_MAX_DATAGRAM];

static void forget_peers() { std::memset(g_peers, 0, sizeof g_peers); }

// Index of `addr` in the peer table, recorded in the first free entry when new; -1 when the table is full.
static int peer_index(const sockaddr_in &addr) {
    int free_slot = -1;
    for (int i = 0; i < OPRC_PEER_CAPACITY; i++) {
        if (!g_peers[i].in_use) {
            if (free_slot < 0) free_slot = i;
        } else if (std::memcmp(&g_peers[i].addr, &addr, sizeof addr) == 0) {
            return i;
        }
    }
    if (free_slot >= 0) {
        g_peers[free_slot].addr = addr;
        g_peers[free_slot].in_use = true;
    }
    return free_slot;
}

int oprc_listen(unsigned int port) {
    if (port > 65535) return set_err(OPRC_ERR_INVALID_ARG);
    if (g_fd >= 0) return set_err(OPRC_ERR_BIND);
    if (g_transport && g_transport->open) {
        int bound = -1;
        if (g_transport->open(g_transport->ctx, port, &bound) != 0) return set_err(OPRC_ERR_BIND);
        g_bound_port = bound;
        forget_peers();
        return OPRC_OK;
    }
    int bound = -1;
    const int fd = udp_open_loopback(port, &bound);
    if (fd < 0) return set_err(OPRC_ERR_BIND);
    g_fd = fd;
    g_bound_port = bound;
    forget_peers();
    return OPRC_OK;
}

int oprc_listen_bound_port(void) { return g_bound_port; }

int oprc_poll(int timeout_ms) {
    size_t len = 0;
    int peer = -1;
    if (g_transport && g_transport->recv) {
        const int rc = g_transport->recv(g_transport->ctx, timeout_ms, g_recv_buf, sizeof g_recv_buf, &len, &peer);
        if (rc == 0) return set_err(OPRC_ERR_TIMEOUT);
        // A length beyond the buffer would make the decoder read past it.
        if (rc < 0 || len > sizeof g_recv_buf) return set_err(OPRC_ERR_BIND);
    } else if (g_fd >= 0) {
        const int ready = udp_wait(g_fd, timeout_ms);
        if (ready == 0) return set_err(OPRC_ERR_TIMEOUT);
        sockaddr_in from;
        const long n = ready < 0 ? -1 : udp_recv(g_fd, g_recv_buf, sizeof g_recv_buf, &from);
        if (n < 0) return set_err(OPRC_ERR_BIND);
        len = size_t(n);
        peer = peer_index(from);
        // With every entry taken, a reply could not reach this sender: refuse it rather than
        // answer (and judge) someone else.
        if (peer < 0) return set_err(OPRC_ERR_PEER_REJECTED);
        g_last_peer = peer;
    } else {
        return set_err(OPRC_ERR_BIND);
    }
    if (peer >= 0 && g_peer_filter && g_peer_filter(peer, g_peer_filter_ctx)) return set_err(OPRC_ERR_PEER_REJECTED);
    return oprc_decode(g_recv_buf, len);
}

int oprc_send_to(int peer, const void *data, size_t len) {
    if (g_transport && g_transport->send) {
        if (g_transport->send(g_transport->ctx, peer, data, len) != 0) return set_err(OPRC_ERR_BIND);
    } else if (g_fd >= 0) {
        if (peer < 0 || peer >= OPRC_PEER_CAPACITY || !g_peers[peer].in_use || (!data && len)) return set_err(OPRC_ERR_BIND);
        if (udp_send(g_fd, data, len, &g_peers[peer].addr) != long(len)) return set_err(OPRC_ERR_BIND);
    } else {
        return set_err(OPRC_ERR_BIND);
    }
    g_last_peer = peer;
    return OPRC_OK;
}

int oprc_stop(void) {
    if (g_transport && g_transport->close) g_transport->close(g_transport->ctx);
    if (g_fd >= 0) udp_close(g_fd);
    g_fd = -1;
    forget_peers();
    g_bound_port = 0;
    return OPRC_OK;
}

int oprc_set_transport(const oprc_transport *table) {
    if (g_fd >= 0) oprc_stop();
    g_transport = table;
    return OPRC_OK;
}

void oprc_set_peer_filter(oprc_peer_filter filter, void *ctx) {
    g_peer_filter = filter;
    g_peer_filter_ctx = ctx;
}

int oprc_last_peer(void) { return g_last_peer; }

int oprc_last_peer_count(void) { return 1; }
