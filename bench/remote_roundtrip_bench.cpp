// Round-trip time of the remote control against a running player: a paired
// controller sends Play and then CurrentState as secure datagrams over the
// loopback address and waits for each reply. The reference, measured in the
// same run, is `remote-tool listen --pair --answer`: the same library and
// datagrams answered at once, without the player's UI thread in between.
// The player is measured on its menu with nothing open (back to back, then
// with 60 ms between commands), then playing a sample. Prints the median and 95th percentile of each, and the ratios.
// Usage: remote_roundtrip_bench [ROUNDS]   (200 by default)
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"
#include "json.h"
#include "oprc.h"

extern char **environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// The controller is sender 1, the player sender 2 (as remote-tool pairs).
constexpr unsigned CONTROLLER_ID = 1, PLAYER_ID = 2;
constexpr int REPLY_TIMEOUT_MS = 10000;
const char *CLIP = "h264_aac_2audio.mp4";
constexpr std::chrono::milliseconds SPACING{60};

// The client side: one socket on 127.0.0.1 that talks to the port under test.
struct Client {
    int fd = -1;
    sockaddr_in target{};

    static int Open(void *context, unsigned, int *bound) {
        auto *client = static_cast<Client *>(context);
        client->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (client->fd < 0 || bind(client->fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            getsockname(client->fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return -1;
        *bound = ntohs(address.sin_port);
        return 0;
    }
    static int Send(void *context, int, const void *data, size_t length) {
        auto *client = static_cast<Client *>(context);
        return sendto(client->fd, data, length, 0, reinterpret_cast<const sockaddr *>(&client->target),
                      sizeof client->target) == ssize_t(length)
                   ? 0
                   : -1;
    }
    static int Receive(void *context, int timeout_ms, void *buffer, size_t capacity, size_t *length, int *peer) {
        auto *client = static_cast<Client *>(context);
        pollfd wait = {client->fd, POLLIN, 0};
        int ready = poll(&wait, 1, timeout_ms);
        if (ready <= 0) return ready;
        ssize_t received = recv(client->fd, buffer, capacity, 0);
        if (received < 0) return -1;
        *length = size_t(received);
        *peer = 0;
        return 1;
    }
    static void Close(void *context) {
        auto *client = static_cast<Client *>(context);
        if (client->fd >= 0) close(client->fd);
        client->fd = -1;
    }
};

Client g_client;
const oprc_transport CLIENT_TABLE = {&g_client, Client::Open, Client::Send, Client::Receive, Client::Close};

std::string member(const std::string &json, const char *key) {
    json_doc *doc = json_read(json.data(), json.size(), 0, nullptr, nullptr);
    json_val *value = json_obj_get(json_doc_root(doc), key);
    std::string out = json_is_str(value) ? json_get_str(value)
                      : json_is_int(value) ? std::to_string(json_get_uint(value))
                                           : "";
    json_doc_free(doc);
    return out;
}

// Pairs with the listener on `port` that made `offer`.
bool pair_with(int port, const std::string &offer) {
    oprc_stop();
    oprc_v2_reset_keys();
    g_client.target.sin_family = AF_INET;
    g_client.target.sin_port = htons(uint16_t(port));
    g_client.target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    oprc_set_transport(&CLIENT_TABLE);
    oprc_arm_uri_commands(1);
    if (oprc_listen(0) != OPRC_OK) return false;
    const std::string secret = member(offer, "secret_b64");
    if (oprc_v2_register_key(CONTROLLER_ID, secret.c_str(), 0) != OPRC_OK) return false;
    const std::string answer = "{\"Command\":\"Ping\",\"code\":\"" + member(offer, "code") + "\",\"secret_b64\":\"" +
                               secret + "\",\"expires\":" + member(offer, "expires") + "}";
    std::vector<uint8_t> datagram(OPRC_MAX_DATAGRAM);
    size_t length = 0;
    if (oprc_encode(answer.c_str(), datagram.data(), datagram.size(), &length) != OPRC_OK) return false;
    if (oprc_send_to(0, datagram.data(), length) != OPRC_OK) return false;
    std::this_thread::sleep_for(200ms);  // the pairing answer is handled before the first command
    return true;
}

// Sends one command securely and waits for its reply; the reply's JSON, or nothing.
std::optional<std::string> round_trip(const std::string &json) {
    auto send = [](void *, const void *datagram, size_t length, unsigned, unsigned) { oprc_send_to(0, datagram, length); };
    if (oprc_v2_send(json.c_str(), PLAYER_ID, send, nullptr) != OPRC_OK) return std::nullopt;
    const auto deadline = Clock::now() + std::chrono::milliseconds(REPLY_TIMEOUT_MS);
    while (Clock::now() < deadline) {
        int rc = oprc_poll(REPLY_TIMEOUT_MS);
        if (rc == OPRC_OK && oprc_negotiated_level() == 2) return std::string(oprc_result_json());
        if (rc == OPRC_ERR_TIMEOUT) break;
    }
    return std::nullopt;
}

struct Figures {
    double median = 0, p95 = 0;
};

Figures figures(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)]};
}

struct Timings {
    std::vector<double> play, state, both;
};

// Play and CurrentState `rounds` times; with a `gap` before each command, else back to back.
std::optional<Timings> measure(int rounds, std::chrono::milliseconds gap = {}) {
    Timings t;
    for (int i = 0; i < rounds; i++) {
        std::this_thread::sleep_for(gap);
        auto start = Clock::now();
        if (!round_trip("{\"Command\":\"Play\"}")) return std::nullopt;
        double play = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::this_thread::sleep_for(gap);
        start = Clock::now();
        if (!round_trip("{\"Command\":\"CurrentState\"}")) return std::nullopt;
        double state = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        t.play.push_back(play);
        t.state.push_back(state);
        t.both.push_back(play + state);
    }
    return t;
}

void print(const char *who, const Timings &t) {
    Figures play = figures(t.play), state = figures(t.state), both = figures(t.both);
    std::printf("%-14s Play %.3f / %.3f ms   CurrentState %.3f / %.3f ms   Play->CurrentState %.3f / %.3f ms"
                "  (median / p95)\n",
                who, play.median, play.p95, state.median, state.p95, both.median, both.p95);
}

pid_t spawn(std::vector<std::string> args, const char *output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Waits up to a minute for `found` to give a text.
std::string wait_for(const std::function<std::string()> &found) {
    for (int i = 0; i < 600; i++) {
        std::string text = found();
        if (!text.empty()) return text;
        std::this_thread::sleep_for(100ms);
    }
    return "";
}

// The offer the player shows: the text of the element "remote_pairing_offer" in a tree dump.
std::string offer_in_tree(const fs::path &tree) {
    std::string text = read_file(tree);
    json_doc *doc = json_read(text.data(), text.size(), 0, nullptr, nullptr);
    std::string offer;
    std::function<void(json_val *)> visit = [&](json_val *node) {
        if (json_equals_str(json_obj_get(node, "name"), "remote_pairing_offer", 20))
            offer = json_get_str(json_obj_get(node, "text")) ? json_get_str(json_obj_get(node, "text")) : "";
        json_arr_iter children = json_arr_iter_init(json_obj_get(node, "children"));
        while (json_val *child = json_arr_iter_next(&children)) visit(child);
    };
    visit(json_doc_root(doc));
    json_doc_free(doc);
    return offer;
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const fs::path work = fs::temp_directory_path() / ("remote_roundtrip_bench_" + std::to_string(getpid()));
    fs::remove_all(work);
    fs::create_directories(work);

    // The reference: remote-tool answering at once.
    const int tool_port = free_udp_port();
    pid_t tool = spawn({REMOTE_TOOL, "listen", "--port", std::to_string(tool_port), "--pair", "--answer"},
                       (work / "tool.out").c_str());
    std::string tool_offer = wait_for([&] {
        std::string out = read_file(work / "tool.out");
        size_t at = out.find("pairing offer ");
        return at == std::string::npos ? std::string() : out.substr(at + 14, out.find('\n', at) - at - 14);
    });
    std::optional<Timings> reference;
    if (!tool_offer.empty() && pair_with(tool_port, tool_offer)) reference = measure(rounds);
    stop(tool);
    if (!reference) {
        std::fprintf(stderr, "remote-tool did not answer\n");
        return 1;
    }

    // The player: paired through its settings page, playing a sample from its local data folder.
    for (const char *folder : {"app/assets", "app/corpus", "local", "temp"}) fs::create_directories(work / folder);
    for (const char *library : {"orvellox-orvelloplayer-template-parse.so",
                                "orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so",
                                "orvellox-orvelloplayer-remote-control-protocol.so"})
        fs::create_symlink(fs::path(OUT_DIR) / library, work / "app" / library);
    fs::copy_file(fs::path(OUT_DIR) / "assets/runtimetemplatebundle.txt", work / "app/assets/runtimetemplatebundle.txt");
    fs::copy_file(fs::path(OUT_DIR) / "corpus" / CLIP, work / "local" / CLIP);
    std::string script = "wait 300\nkey 35\nkey 38\nkey 38\nkey 38\nkey 13\n";
    for (int i = 0; i < 40; i++) script += "wait 250\ntree " + (work / "tree.json").string() + "\n";
    std::ofstream(work / "script.txt") << script << "wait 3600000\nquit\n";
    const int app_port = free_udp_port();
    pid_t app = spawn({APP, "--headless", "--quiet", "--app-dir", (work / "app").string(), "--temp-dir",
                       (work / "temp").string(), "--local-dir", (work / "local").string(), "--script",
                       (work / "script.txt").string(), "--remote", "127.0.0.1:" + std::to_string(app_port),
                       "--remote-open"},
                      (work / "app.out").c_str());
    std::string app_offer = wait_for([&] { return offer_in_tree(work / "tree.json"); });
    // First on the menu with nothing open (Play is answered "nothing is playing"), then playing.
    // Back to back, each command finds the UI thread still drawing after the one before; spaced
    // commands show what a single button press waits.
    std::optional<Timings> menu, spaced, player;
    if (!app_offer.empty() && pair_with(app_port, app_offer)) menu = measure(rounds);
    if (menu) spaced = measure(rounds, SPACING);
    if (spaced && round_trip("{\"Command\":\"Open\",\"Uri\":\"" + (work / "local" / CLIP).string() + "\"}"))
        player = measure(rounds);
    stop(app);
    if (!player) {
        std::fprintf(stderr, "the player did not answer (see %s)\n", work.c_str());
        return 1;
    }
    fs::remove_all(work);

    std::printf("%d round trips of secure datagrams over 127.0.0.1\n", rounds);
    print("remote-tool", *reference);
    print("app, menu", *menu);
    print("app, spaced", *spaced);
    print("app, playing", *player);
    std::printf("app / remote-tool, Play->CurrentState median: %.2f on the menu, %.2f playing\n",
                figures(menu->both).median / figures(reference->both).median,
                figures(player->both).median / figures(reference->both).median);
    return 0;
}
