// The loopback socket, peer table and filter, host transports, and a round
// trip between two processes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "oprc_test_util.h"

namespace {

// A client socket on 127.0.0.1 that talks to the library's port.
struct Client {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ~Client() { close(fd); }

    void send(int port, const std::string &data) const {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                  ssize_t(data.size()));
    }

    std::string receive() const {
        timeval tv = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n < 0 ? std::string("(nothing)") : std::string(buf, size_t(n));
    }
};

int listen_any() {
    EXPECT_EQ(oprc_listen(0), OPRC_OK);
    const int port = oprc_listen_bound_port();
    EXPECT_GT(port, 0);
    return port;
}

std::string encoded(const std::string &json) {
    std::vector<uint8_t> out(4096);
    size_t len = 0;
    EXPECT_EQ(oprc_encode(json.c_str(), out.data(), out.size(), &len), OPRC_OK);
    return std::string(reinterpret_cast<char *>(out.data()), len);
}

}  // namespace

TEST_F(Oprc, ListenStateAndTimeouts) {
    EXPECT_EQ(oprc_poll(10), OPRC_ERR_BIND);  // nothing open
    EXPECT_EQ(oprc_listen(65536), OPRC_ERR_INVALID_ARG);
    listen_any();
    EXPECT_EQ(oprc_listen(0), OPRC_ERR_BIND);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(oprc_poll(50), OPRC_ERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    EXPECT_EQ(last_error(), "ERR_TIMEOUT");
    EXPECT_EQ(oprc_poll(-1), OPRC_ERR_BIND);  // never an endless wait
    EXPECT_EQ(oprc_poll(0), OPRC_ERR_TIMEOUT);
    EXPECT_EQ(oprc_stop(), 0);
    EXPECT_EQ(oprc_listen_bound_port(), 0);
    EXPECT_EQ(oprc_poll(0), OPRC_ERR_BIND);
    listen_any();  // open again after a stop
}

TEST_F(Oprc, SocketIsCloseOnExecAndPortIsNotShared) {
    const int port = listen_any();
    // A second socket may not bind the same port, even one asking to reuse the address.
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(bind(other, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(other);
    // Every descriptor the library opened carries close-on-exec.
    for (int fd = 3; fd < 256; fd++) {
        sockaddr_in bound = {};
        socklen_t len = sizeof bound;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len) == 0 && ntohs(bound.sin_port) == port) {
            EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        }
    }
}

TEST_F(Oprc, SocketAboveDescriptor1024) {
    // Waiting must work for any descriptor number, not only those a select() set can hold.
    rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < 1200) GTEST_SKIP() << "the descriptor limit is below 1200";
    const rlimit saved = lim;
    lim.rlim_cur = 1200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    std::vector<int> filler;
    while (filler.empty() || (filler.back() >= 0 && filler.back() < 1100)) filler.push_back(dup(0));
    ASSERT_GE(filler.back(), 1100);
    const int port = listen_any();
    Client c;
    c.send(port, R"({"Command":"Next"})");
    EXPECT_EQ(oprc_poll(2000), OPRC_OK);
    EXPECT_EQ(oprc_command(), 7);
    EXPECT_EQ(oprc_poll(10), OPRC_ERR_TIMEOUT);
    oprc_stop();
    for (int fd : filler) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(Oprc, PeersFilterAndReplies) {
    const int port = listen_any();
    Client a, b;
    a.send(port, R"({"Command":"Ping"})");
    ASSERT_EQ(oprc_poll(2000), OPRC_OK);
    EXPECT_EQ(oprc_last_peer(), 0);
    b.send(port, R"({"Command":"Play"})");
    ASSERT_EQ(oprc_poll(2000), OPRC_OK);
    EXPECT_EQ(oprc_last_peer(), 1);
    a.send(port, R"({"Command":"Pause"})");
    ASSERT_EQ(oprc_poll(2000), OPRC_OK);
    EXPECT_EQ(oprc_last_peer(), 0);
    EXPECT_EQ(oprc_command(), 2);

    // Replies go to the peer asked for.
    const std::string reply = encoded(R"({"Command":2,"State":1})");
    EXPECT_EQ(oprc_send_to(1, reply.data(), reply.size()), OPRC_OK);
    EXPECT_EQ(oprc_last_peer(), 1);
    EXPECT_EQ(b.receive(), reply);
    EXPECT_EQ(oprc_send_to(64, reply.data(), reply.size()), OPRC_ERR_BIND);
    EXPECT_EQ(oprc_send_to(5, reply.data(), reply.size()), OPRC_ERR_BIND);
    EXPECT_EQ(oprc_send_to(-1, reply.data(), reply.size()), OPRC_ERR_BIND);
    EXPECT_EQ(oprc_last_peer(), 1);

    // The filter refuses peer 0 and the message stays as it was.
    static int refused = 0;
    oprc_set_peer_filter([](int peer, void *ctx) { return peer == *static_cast<int *>(ctx) ? 1 : 0; }, &refused);
    a.send(port, R"({"Command":"Stop"})");
    EXPECT_EQ(oprc_poll(2000), OPRC_ERR_PEER_REJECTED);
    EXPECT_EQ(last_error(), "ERR_PEER_REJECTED");
    EXPECT_EQ(oprc_command(), 2);
    b.send(port, R"({"Command":"Stop"})");
    EXPECT_EQ(oprc_poll(2000), OPRC_OK);
    EXPECT_EQ(oprc_command(), 3);

    // Stopping forgets the peers but keeps the last index.
    oprc_stop();
    EXPECT_EQ(oprc_last_peer(), 1);
    EXPECT_EQ(oprc_send_to(1, reply.data(), reply.size()), OPRC_ERR_BIND);
}

TEST_F(Oprc, FullPeerTableRefusesNewSenders) {
    const int port = listen_any();
    std::vector<Client> clients(65);
    for (int i = 0; i < 64; i++) {
        clients[i].send(port, R"({"Command":"Ping"})");
        ASSERT_EQ(oprc_poll(2000), OPRC_OK);
        ASSERT_EQ(oprc_last_peer(), i);
    }
    std::vector<int> judged;
    oprc_set_peer_filter(
        [](int peer, void *ctx) {
            static_cast<std::vector<int> *>(ctx)->push_back(peer);
            return 0;
        },
        &judged);
    clients[64].send(port, R"({"Command":"Play"})");
    EXPECT_EQ(oprc_poll(2000), OPRC_ERR_PEER_REJECTED);
    EXPECT_EQ(oprc_last_peer(), 63);  // unchanged: nobody else is answered in its place
    EXPECT_EQ(oprc_command(), 17);
    EXPECT_TRUE(judged.empty());
    clients[5].send(port, R"({"Command":"Play"})");
    EXPECT_EQ(oprc_poll(2000), OPRC_OK);
    EXPECT_EQ(oprc_last_peer(), 5);
    EXPECT_EQ(judged, std::vector<int>{5});
}

namespace {

struct FakeTransport {
    std::vector<std::string> inbox, sent;
    std::vector<int> sent_to;
    int opened = 0, closed = 0, recv_result = 1, peer = 7;
    size_t claimed_len = 0;  // when set, the length recv reports

    static int open(void *ctx, unsigned port, int *bound) {
        auto *t = static_cast<FakeTransport *>(ctx);
        t->opened++;
        if (port == 1) return -1;
        if (port != 2) *bound = int(port) + 1000;
        return 0;
    }
    static int send(void *ctx, int peer, const void *data, size_t len) {
        auto *t = static_cast<FakeTransport *>(ctx);
        t->sent.emplace_back(static_cast<const char *>(data), len);
        t->sent_to.push_back(peer);
        return peer == 99 ? -1 : 0;
    }
    static int recv(void *ctx, int, void *buf, size_t cap, size_t *len, int *peer) {
        auto *t = static_cast<FakeTransport *>(ctx);
        EXPECT_EQ(cap, 65536u);
        EXPECT_EQ(*len, 0u);
        EXPECT_EQ(*peer, -1);
        if (t->recv_result <= 0 || t->inbox.empty()) return t->recv_result <= 0 ? t->recv_result : 0;
        const std::string d = t->inbox.front();
        t->inbox.erase(t->inbox.begin());
        std::memcpy(buf, d.data(), d.size());
        *len = t->claimed_len ? t->claimed_len : d.size();
        *peer = t->peer;
        return 1;
    }
    static void close(void *ctx) { static_cast<FakeTransport *>(ctx)->closed++; }
};

}  // namespace

TEST_F(Oprc, HostTransport) {
    FakeTransport fake;
    const oprc_transport table = {&fake, FakeTransport::open, FakeTransport::send, FakeTransport::recv,
                                  FakeTransport::close};
    listen_any();
    EXPECT_EQ(oprc_set_transport(&table), 0);  // stops the built-in socket first
    EXPECT_EQ(oprc_listen(5), OPRC_OK);
    EXPECT_EQ(oprc_listen_bound_port(), 1005);
    EXPECT_EQ(oprc_listen(5), OPRC_OK);  // a transport opens again each time
    EXPECT_EQ(fake.opened, 2);
    EXPECT_EQ(oprc_listen(2), OPRC_OK);
    EXPECT_EQ(oprc_listen_bound_port(), -1);  // it wrote no port
    EXPECT_EQ(oprc_listen(1), OPRC_ERR_BIND);

    const int last = oprc_last_peer();
    fake.inbox.push_back(R"({"Command":"Seek","Position":12})");
    EXPECT_EQ(oprc_poll(10), OPRC_OK);
    EXPECT_EQ(oprc_position(), 12u);
    EXPECT_EQ(oprc_last_peer(), last);  // a transport's peers do not move the last peer
    EXPECT_EQ(oprc_poll(10), OPRC_ERR_TIMEOUT);

    int filtered = -2;
    oprc_set_peer_filter(
        [](int peer, void *ctx) {
            *static_cast<int *>(ctx) = peer;
            return 1;
        },
        &filtered);
    fake.inbox.push_back(R"({"Command":"Play"})");
    EXPECT_EQ(oprc_poll(10), OPRC_ERR_PEER_REJECTED);
    EXPECT_EQ(filtered, 7);
    fake.peer = -1;  // no peer index: the filter is not asked
    filtered = -2;
    fake.inbox.push_back(R"({"Command":"Play"})");
    EXPECT_EQ(oprc_poll(10), OPRC_OK);
    EXPECT_EQ(filtered, -2);
    oprc_set_peer_filter(nullptr, nullptr);

    fake.inbox.push_back(R"({"Command":"Play"})");
    fake.claimed_len = 70000;  // a transport claiming more than the buffer holds
    EXPECT_EQ(oprc_poll(10), OPRC_ERR_BIND);
    fake.recv_result = -1;
    EXPECT_EQ(oprc_poll(10), OPRC_ERR_BIND);

    EXPECT_EQ(oprc_send_to(42, "x", 1), OPRC_OK);
    EXPECT_EQ(oprc_last_peer(), 42);
    EXPECT_EQ(oprc_send_to(99, "y", 1), OPRC_ERR_BIND);
    EXPECT_EQ(oprc_last_peer(), 42);
    EXPECT_EQ(fake.sent, (std::vector<std::string>{"x", "y"}));

    EXPECT_EQ(oprc_stop(), 0);
    EXPECT_EQ(fake.closed, 1);
    oprc_set_transport(nullptr);
    EXPECT_EQ(oprc_poll(0), OPRC_ERR_BIND);

    // Missing callbacks fall back to the built-in socket.
    const oprc_transport only_close = {&fake, nullptr, nullptr, nullptr, FakeTransport::close};
    oprc_set_transport(&only_close);
    const int port = listen_any();
    Client c;
    c.send(port, R"({"Command":"Next"})");
    EXPECT_EQ(oprc_poll(2000), OPRC_OK);
    EXPECT_EQ(oprc_command(), 7);
    oprc_stop();
    EXPECT_EQ(fake.closed, 2);
}

TEST_F(Oprc, RoundTripBetweenTwoProcesses) {
    oprc_set_shared_secret("two processes");
    oprc_arm_uri_commands(1);
    const int port = listen_any();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The controller: its own library state, sending through a socket of its own.
        oprc_stop();
        Client c;
        oprc_build_begin(40);
        oprc_build_set_str("Uri", "file:///media/film.mkv");
        char json[512];
        size_t len = 0;
        oprc_build_finish(json, sizeof json, &len);
        c.send(port, encoded(json));
        const std::string reply = c.receive();
        const int ok = oprc_decode(reply.data(), reply.size()) == OPRC_OK && oprc_command() == 19 &&
                       oprc_volume_permille() == 400 && oprc_progress_current_ms() == 65123;
        _exit(ok ? 0 : 1);
    }
    ASSERT_EQ(oprc_poll(5000), OPRC_OK) << last_error();
    EXPECT_EQ(oprc_command(), 40);
    EXPECT_EQ(str_or_null(oprc_uri()), "file:///media/film.mkv");
    ASSERT_EQ(oprc_build_begin(19), OPRC_OK);
    oprc_build_set_str("Uri", oprc_uri());
    oprc_build_set_progress(5400000, 65123, "1:05", "1:28:55");
    char json[1024];
    size_t len = 0;
    ASSERT_EQ(oprc_build_finish(json, sizeof json, &len), OPRC_OK);
    // Volume as a fraction, as controllers send it; the builder writes integers, so add it by hand.
    std::string reply(json, len - 1);
    reply += R"(,"Volume":0.4})";
    const std::string datagram = encoded(reply);
    ASSERT_EQ(oprc_send_to(oprc_last_peer(), datagram.data(), datagram.size()), OPRC_OK);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

namespace {

// Hands each secure datagram to a client socket's peer (the library's port).
struct SecureClient {
    Client socket;
    int port;
    static void send(void *user, const void *d, size_t len, unsigned, unsigned) {
        auto *c = static_cast<SecureClient *>(user);
        c->socket.send(c->port, std::string(static_cast<const char *>(d), len));
    }
};

// Hands each secure datagram to the library's own socket, towards the last peer.
void send_to_last_peer(void *, const void *d, size_t len, unsigned, unsigned) {
    oprc_send_to(oprc_last_peer(), d, len);
}

}  // namespace

TEST_F(Oprc, TwoProcessesPairAndTalkSecurely) {
    oprc_v2_reset_keys();
    const int port = listen_any();
    char offer[256];
    ASSERT_EQ(oprc_v2_begin_pairing("living-room", offer, sizeof offer), OPRC_OK);
    int trusted[2];  // the offer's trusted path: what the screen shows the controller
    ASSERT_EQ(pipe(trusted), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The controller reads the offer, registers its secret as role 1 and answers with the
        // offer's members in a plain message (it has no secure key to the host yet).
        oprc_stop();
        char text[256] = {};
        if (read(trusted[0], text, sizeof text - 1) <= 0) _exit(2);
        json_doc *doc = json_read(text, std::strlen(text), 0, nullptr, nullptr);
        const char *b64 = json_get_str(json_obj_get(json_doc_root(doc), "secret_b64"));
        const int registered = b64 ? oprc_v2_register_key(1, b64, 0) : -1;
        json_doc_free(doc);
        if (registered != OPRC_OK) _exit(4);
        SecureClient c{{}, port};
        c.socket.send(port, std::string(R"({"Command":"Ping",)") + (text + 1));
        if (oprc_v2_send(R"({"Command":"PlayUri","Uri":"file:///secure.mkv"})", 2, SecureClient::send, &c) != OPRC_OK)
            _exit(5);
        const std::string reply = c.socket.receive();
        const int ok = oprc_decode(reply.data(), reply.size()) == OPRC_OK && oprc_negotiated_level() == 2 &&
                       oprc_command() == 19 && oprc_state() == 3;
        _exit(ok ? 0 : 6);
    }
    ASSERT_EQ(write(trusted[1], offer, std::strlen(offer)), ssize_t(std::strlen(offer)));
    ASSERT_EQ(oprc_poll(5000), OPRC_OK) << last_error();  // the answer, as a plain Ping
    ASSERT_EQ(oprc_v2_accept_pairing(oprc_result_json(), 2), OPRC_OK) << last_error();
    oprc_arm_uri_commands(1);
    ASSERT_EQ(oprc_poll(5000), OPRC_OK) << last_error() << " " << warnings();
    EXPECT_EQ(oprc_negotiated_level(), 2);
    EXPECT_EQ(oprc_command(), 40);
    EXPECT_STREQ(oprc_uri(), "file:///secure.mkv");
    ASSERT_EQ(oprc_v2_send(R"({"Command":19,"State":3})", 1, send_to_last_peer, nullptr), OPRC_OK);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child exit " << WEXITSTATUS(status);
    // Plain traffic is refused from now on.
    Client c;
    c.send(port, R"({"Command":"Ping"})");
    EXPECT_EQ(oprc_poll(2000), OPRC_ERR_PROTOCOL);
    oprc_v2_reset_keys();
}
