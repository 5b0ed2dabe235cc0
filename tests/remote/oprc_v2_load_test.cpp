// Sixteen senders at once (every replay window in use) send secure messages,
// single and fragmented, to the library's loopback socket for ten seconds,
// with replayed and forged datagrams mixed in. The senders frame their
// datagrams themselves (zlib and OpenSSL), independently of the library.
// Every genuine message must be accepted exactly once, every replay and
// forgery refused, and the receiver's memory must stay flat.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "oprc_test_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SENDERS = 16;
constexpr uint32_t FIRST_SENDER = 10;
const char SECRET[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

// Sender A's key of SECRET: what a host registered as sender 2 verifies with.
std::string key_a() {
    const char hex[] = "e5e0d6db376422a11b90efb744185bc56d88a06e14696df2ae2f7ffd5efdd6bc";
    std::string k;
    for (int i = 0; i < 64; i += 2) k += char(std::stoi(std::string(hex + i, 2), nullptr, 16));
    return k;
}

void put_be(std::string &out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) out += char(v >> (8 * i));
}

std::string frame(uint32_t sender, uint64_t counter, uint32_t msg_id, unsigned index, unsigned count,
                  const std::string &payload) {
    std::string d(1, '\x02');
    put_be(d, 0, 4);
    put_be(d, sender, 4);
    put_be(d, counter, 8);
    put_be(d, msg_id, 4);
    put_be(d, index, 2);
    put_be(d, count, 2);
    put_be(d, payload.size(), 4);
    return d + payload + hmac(key_a(), d + payload);
}

long rss_kb() {
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Datagrams sent and taken off the socket, by all senders: the senders keep the difference small
// enough for the receive buffer (about 200 kB by default), so a busy machine loses nothing.
constexpr long MAX_IN_FLIGHT = 32;
std::atomic<long> g_sent{0}, g_taken{0};
// The receiver collects at most four fragmented messages at once (a fifth is refused as
// "v2-reassembly-full"): senders of long messages take turns within that.
constexpr int MAX_LONG_MESSAGES = 4;
std::atomic<int> g_long_messages{0};

void take_long_turn() {
    const auto give_up = Clock::now() + std::chrono::seconds(2);
    int current = g_long_messages.load();
    while (Clock::now() < give_up) {
        if (current < MAX_LONG_MESSAGES && g_long_messages.compare_exchange_weak(current, current + 1)) return;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        current = g_long_messages.load();
    }
    g_long_messages++;
}

struct SenderStats {
    std::atomic<long> accepted_through{0};  // highest sequence number the receiver accepted
    long messages = 0, fragmented = 0, fragments_waiting = 0, replays = 0, forgeries = 0, stalls = 0;
};

void run_sender(int n, int port, Clock::time_point end, SenderStats *stats) {
    const uint32_t sender = FIRST_SENDER + uint32_t(n);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto send = [&](const std::string &d) {
        const auto give_up = Clock::now() + std::chrono::seconds(2);
        while (g_sent.load() - g_taken.load() >= MAX_IN_FLIGHT && Clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        g_sent++;
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    };
    std::mt19937 rng(n);
    uint64_t counter = 1;
    std::vector<std::string> history;
    for (long seq = 1; Clock::now() < end; seq++) {
        // Every third message is long enough to travel in two fragments.
        std::string pad;
        if (seq % 3 == 0)
            while (pad.size() < 2600) pad += char('a' + rng() % 26);
        const std::string json = R"({"Command":17,"Effect":)" + std::to_string(sender) + R"(,"State":)" +
                                 std::to_string(seq) + R"(,"Uri":")" + pad + "\"}";
        const std::string z = zlib_compress(json);
        const unsigned count = unsigned((z.size() + 1410) / 1411);
        const uint32_t msg_id = uint32_t(seq);
        std::vector<std::string> pieces;
        for (unsigned i = 0; i < count; i++)
            pieces.push_back(frame(sender, counter++, msg_id, i, count, z.substr(i * 1411, 1411)));
        if (count > 1) take_long_turn();
        for (const std::string &d : pieces) send(d);
        history.insert(history.end(), pieces.begin(), pieces.end());
        stats->messages++;
        stats->fragmented += count > 1;
        stats->fragments_waiting += count - 1;
        if (seq % 7 == 0) {  // a replay of something already sent
            send(history[rng() % history.size()]);
            stats->replays++;
        }
        if (seq % 11 == 0) {  // a forgery: a sent datagram with one byte changed
            std::string forged = history[rng() % history.size()];
            forged[30 + rng() % (forged.size() - 62)] ^= 0x20;
            send(forged);
            stats->forgeries++;
        }
        if (history.size() > 256) history.erase(history.begin(), history.begin() + 128);
        // One message in flight: wait until the receiver took this one (generously: a sanitized build on a
        // busy machine can fall seconds behind without losing anything).
        const auto give_up = Clock::now() + std::chrono::seconds(10);
        while (stats->accepted_through.load() < seq && Clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (stats->accepted_through.load() < seq) stats->stalls++;
        if (count > 1) g_long_messages--;
    }
    close(fd);
}

}  // namespace

TEST_F(Oprc, SixteenSendersForTenSeconds) {
    oprc_v2_reset_keys();
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    ASSERT_EQ(oprc_listen(0), OPRC_OK);
    const int port = oprc_listen_bound_port();

    std::vector<SenderStats> stats(SENDERS);
    std::vector<std::set<long>> accepted(SENDERS);
    long duplicates = 0, replays_refused = 0, forgeries_refused = 0, waiting = 0, unexpected = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(10);
    std::vector<std::thread> threads;
    for (int n = 0; n < SENDERS; n++) threads.emplace_back(run_sender, n, port, end, &stats[n]);

    long rss_early = 0;
    auto quiet_since = Clock::now();
    while (Clock::now() < end || Clock::now() - quiet_since < std::chrono::milliseconds(500)) {
        if (!rss_early && Clock::now() - start > std::chrono::seconds(2)) rss_early = rss_kb();
        const int rc = oprc_poll(100);
        if (rc == OPRC_ERR_TIMEOUT) continue;
        g_taken++;
        quiet_since = Clock::now();
        switch (rc) {
        case OPRC_OK: {
            const int n = oprc_effect_id() - int(FIRST_SENDER);
            const long seq = oprc_state();
            if (n < 0 || n >= SENDERS || oprc_negotiated_level() != 2) {
                unexpected++;
                break;
            }
            if (!accepted[n].insert(seq).second) duplicates++;
            if (seq > stats[n].accepted_through.load()) stats[n].accepted_through.store(seq);
            break;
        }
        case OPRC_ERR_REPLAY: replays_refused++; break;
        case OPRC_ERR_UNAUTHENTICATED: forgeries_refused++; break;
        case OPRC_ERR_FRAGMENT:
            // Only "waiting for the next fragment": never a message dropped.
            if (std::string(oprc_warning(0)).rfind("v2-waiting", 0) == 0) {
                waiting++;
                break;
            }
            [[fallthrough]];
        default:
            unexpected++;
            ADD_FAILURE() << "unexpected " << last_error() << " " << warnings();
        }
    }
    for (std::thread &t : threads) t.join();
    const long rss_late = rss_kb();

    long messages = 0, fragmented = 0, fragments_waiting = 0, replays = 0, forgeries = 0, stalls = 0, lost = 0;
    for (int n = 0; n < SENDERS; n++) {
        messages += stats[n].messages;
        fragmented += stats[n].fragmented;
        fragments_waiting += stats[n].fragments_waiting;
        replays += stats[n].replays;
        forgeries += stats[n].forgeries;
        stalls += stats[n].stalls;
        lost += stats[n].messages - long(accepted[n].size());
    }
    std::printf("load: %d senders, %ld messages (%ld in fragments), %ld accepted once, %ld lost, %ld duplicates; "
                "%ld/%ld replays and %ld/%ld forgeries refused; receiver RSS %ld kB at 2 s, %ld kB at the end\n",
                SENDERS, messages, fragmented, messages - lost, lost, duplicates, replays_refused, replays,
                forgeries_refused, forgeries, rss_early, rss_late);
    // Throughput is the benchmark's business; here every sender only has to take part.
    for (const SenderStats &st : stats) EXPECT_GT(st.messages, 5);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(stalls, 0);
    EXPECT_EQ(duplicates, 0);
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(replays_refused, replays);
    EXPECT_EQ(forgeries_refused, forgeries);
    EXPECT_EQ(waiting, fragments_waiting);
#ifndef UNDER_ASAN
    // (AddressSanitizer keeps freed memory in quarantine, so RSS means nothing there; it checks leaks itself.)
    EXPECT_LT(rss_late - rss_early, 2048);
#endif
    oprc_v2_reset_keys();
}
