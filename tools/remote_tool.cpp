// remote-tool: drives the remote-control protocol by hand over 127.0.0.1.
// It sends commands and built replies to a port and listens for datagrams,
// printing each message as the library decodes it.

#include "json.h"
#include "oprc.h"
#include "oprc_internal.h"  // g_v2: a saved counter goes back into the identity it belongs to

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum ExitStatus : int { kOk = 0, kFailed = 1, kUsage = 2 };

const char USAGE[] =
    "usage:\n"
    "  remote-tool send PORT COMMAND [KEY=VALUE...] [--secret TEXT | --v2 KEYFILE] [--wait MS]\n"
    "      send {\"Command\":COMMAND, KEY:VALUE...}; a VALUE that reads as JSON goes in as it is,\n"
    "      anything else as a string. --wait prints the reply that comes back within MS.\n"
    "      --v2 sends it as secure datagrams with the key `pair` saved.\n"
    "  remote-tool reply PORT COMMAND [KEY=VALUE...] [--secret TEXT | --v2 KEYFILE]\n"
    "      send a reply made by the library's builder: integers, true/false and strings as\n"
    "      fields; Progress=DURATION_MS/CURRENT_MS; AudioTrack=NAME:INDEX and\n"
    "      SubtitleTrack=NAME:INDEX add tracks.\n"
    "  remote-tool listen [--port PORT] [--count N] [--timeout MS] [--secret TEXT] [--arm] [--answer]\n"
    "      print every datagram received on 127.0.0.1:PORT (0 = any free port) as it decodes;\n"
    "      --arm accepts the URI commands, --answer replies to each message with its state.\n"
    "      --pair shows a pairing code and offer and pairs with the first controller that\n"
    "      answers it; secure messages are then marked [secure] and answered securely.\n"
    "  remote-tool pair PORT CODE --offer JSON --save KEYFILE\n"
    "      pair with a listener: CODE is the six digits it shows, JSON its offer; the key and\n"
    "      its counter are kept in KEYFILE for `send --v2`.\n";

int usage() {
    std::fputs(USAGE, stderr);
    return kUsage;
}

int fail(const std::string &message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return kFailed;
}

std::optional<long> number(std::string_view text, long lo, long hi) {
    if (text.empty()) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const std::string s(text);
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return std::nullopt;
    return v;
}

// ---- the client side: a host transport that talks to one port ----

// Peer 0 is the target port; everything received on the client socket comes from it.
struct ClientTransport {
    int fd = -1;
    sockaddr_in target = {};

    static int open(void *ctx, unsigned, int *bound) {
        auto *t = static_cast<ClientTransport *>(ctx);
        t->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (t->fd < 0) return -1;
        sockaddr_in any = {};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof any;
        if (bind(t->fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0 ||
            getsockname(t->fd, reinterpret_cast<sockaddr *>(&any), &len) != 0)
            return -1;
        *bound = ntohs(any.sin_port);
        return 0;
    }
    static int send(void *ctx, int peer, const void *data, size_t len) {
        auto *t = static_cast<ClientTransport *>(ctx);
        if (peer != 0) return -1;
        return sendto(t->fd, data, len, 0, reinterpret_cast<const sockaddr *>(&t->target), sizeof t->target) ==
                       ssize_t(len)
                   ? 0
                   : -1;
    }
    static int recv(void *ctx, int timeout_ms, void *buf, size_t cap, size_t *len, int *peer) {
        auto *t = static_cast<ClientTransport *>(ctx);
        pollfd p = {t->fd, POLLIN, 0};
        const int ready = poll(&p, 1, timeout_ms);
        if (ready <= 0) return ready;
        const ssize_t n = ::recv(t->fd, buf, cap, 0);
        if (n < 0) return -1;
        *len = size_t(n);
        *peer = 0;
        return 1;
    }
    static void close(void *ctx) {
        auto *t = static_cast<ClientTransport *>(ctx);
        if (t->fd >= 0) ::close(t->fd);
        t->fd = -1;
    }
};

std::string json_string(std::string_view text) {
    json_buf b;
    json_buf_init(&b, nullptr);
    json_buf_str(&b, text.data(), text.size(), 0);
    std::string out = b.failed ? "\"\"" : std::string(b.data, b.len);
    json_buf_free(&b);
    return out;
}

bool reads_as_json(std::string_view text) {
    json_doc *doc = json_read(text.data(), text.size(), 0, nullptr, nullptr);
    json_doc_free(doc);
    return doc != nullptr;
}

// Prints the current message, or why the last datagram was refused.
void print_outcome(int rc) {
    if (rc == OPRC_OK) {
        const char *name = oprc_command_name(unsigned(oprc_command()));
        std::printf("%s%s %s\n", oprc_negotiated_level() == 2 ? "[secure] " : "", name ? name : "?",
                    oprc_result_json());
    } else {
        std::printf("refused: %s", oprc_last_error());
        if (rc == OPRC_ERR_NOT_ARMED) std::printf(" (%s)", oprc_command_name(unsigned(oprc_command())));
        std::printf("\n");
    }
    for (int i = 0; i < oprc_warning_count(); i++) std::printf("  warning: %s\n", oprc_warning(i));
    std::fflush(stdout);
}

struct Options {
    std::vector<std::string_view> positional;
    const char *secret = nullptr, *key_file = nullptr, *offer = nullptr, *save = nullptr;
    long wait_ms = -1, port = 0, count = 0, timeout_ms = 0;
    bool arm = false, answer = false, pair = false;
};

std::optional<Options> parse_options(int argc, char **argv) {
    Options o;
    for (int i = 2; i < argc; i++) {
        const std::string_view a = argv[i];
        auto value = [&](long lo, long hi) -> std::optional<long> {
            return i + 1 < argc ? number(argv[++i], lo, hi) : std::nullopt;
        };
        std::optional<long> v;
        if (a == "--secret" && i + 1 < argc) o.secret = argv[++i];
        else if (a == "--v2" && i + 1 < argc) o.key_file = argv[++i];
        else if (a == "--offer" && i + 1 < argc) o.offer = argv[++i];
        else if (a == "--save" && i + 1 < argc) o.save = argv[++i];
        else if (a == "--pair") o.pair = true;
        else if (a == "--arm") o.arm = true;
        else if (a == "--answer") o.answer = true;
        else if (a == "--wait" && (v = value(0, 3600000))) o.wait_ms = *v;
        else if (a == "--port" && (v = value(0, 65535))) o.port = *v;
        else if (a == "--count" && (v = value(1, 1000000))) o.count = *v;
        else if (a == "--timeout" && (v = value(1, 3600000))) o.timeout_ms = *v;
        else if (a.starts_with("--")) return std::nullopt;
        else o.positional.push_back(a);
    }
    return o;
}

// ---- saved keys: the pairing secret and the next counter, one per line ----

struct SavedKey {
    std::string secret;
    uint64_t next_counter = 1;
};

std::optional<SavedKey> load_key(const char *path) {
    std::ifstream in(path);
    SavedKey k;
    if (!(in >> k.secret >> k.next_counter)) return std::nullopt;
    return k;
}

bool save_key(const char *path, const SavedKey &k) {
    std::ofstream out(path, std::ios::trunc);
    out << k.secret << "\n" << k.next_counter << "\n";
    return bool(out);
}

// A controller's identity is sender 1; the listener pairs as sender 2.
constexpr unsigned CONTROLLER_ID = 1, PLAYER_ID = 2;

void send_secure(void *, const void *datagram, size_t len, unsigned, unsigned) {
    oprc_send_to(oprc_last_peer() >= 0 ? oprc_last_peer() : 0, datagram, len);
}

int encode_and_send(const std::string &json) {
    std::vector<uint8_t> datagram(OPRC_MAX_DATAGRAM);
    size_t len = 0;
    if (oprc_encode(json.c_str(), datagram.data(), datagram.size(), &len) != OPRC_OK)
        return fail(std::string("cannot frame the message: ") + oprc_last_error());
    if (oprc_send_to(0, datagram.data(), len) != OPRC_OK) return fail(std::string("send failed: ") + oprc_last_error());
    return kOk;
}

// Builds a reply with the library's builder from KEY=VALUE words.
std::optional<std::string> built_reply(int command, const std::vector<std::string_view> &fields) {
    if (oprc_build_begin(unsigned(command)) != OPRC_OK) return std::nullopt;
    for (std::string_view f : fields) {
        const size_t eq = f.find('=');
        if (eq == std::string_view::npos || eq == 0) return std::nullopt;
        const std::string key(f.substr(0, eq)), value(f.substr(eq + 1));
        int rc;
        if (key == "Progress") {
            long long duration = 0, current = 0;
            if (std::sscanf(value.c_str(), "%lld/%lld", &duration, &current) != 2) return std::nullopt;
            rc = oprc_build_set_progress(duration, current, nullptr, nullptr);
        } else if (key == "AudioTrack" || key == "SubtitleTrack") {
            const size_t colon = value.rfind(':');
            const auto index = colon == std::string::npos ? std::nullopt : number(value.substr(colon + 1), -1, 1 << 20);
            if (!index) return std::nullopt;
            const std::string name = value.substr(0, colon);
            rc = key == "AudioTrack" ? oprc_build_add_audio_track(name.c_str(), int(*index))
                                     : oprc_build_add_subtitle_track(name.c_str(), int(*index));
        } else if (value == "true" || value == "false") {
            rc = oprc_build_set_bool(key.c_str(), value == "true");
        } else if (const auto n = number(value, LONG_MIN, LONG_MAX)) {
            rc = oprc_build_set_i64(key.c_str(), *n);
        } else {
            rc = oprc_build_set_str(key.c_str(), value.c_str());
        }
        if (rc != OPRC_OK) return std::nullopt;
    }
    std::vector<char> buf(1 << 20);
    size_t len = 0;
    if (oprc_build_finish(buf.data(), buf.size(), &len) != OPRC_OK) return std::nullopt;
    return std::string(buf.data(), len);
}

int run_client(bool reply, const Options &o) {
    if (o.positional.size() < 2) return usage();
    const auto port = number(o.positional[0], 1, 65535);
    if (!port) return usage();
    const std::string command(o.positional[1]);
    const int id = oprc_command_id(command.c_str());
    if (id < 0 && !reply) std::fprintf(stderr, "note: '%s' is no known command; sending it anyway\n", command.c_str());
    const std::vector<std::string_view> fields(o.positional.begin() + 2, o.positional.end());

    std::string json;
    if (reply) {
        const auto numeric = number(command, 0, OPRC_COMMAND_COUNT - 1);
        const int reply_id = id >= 0 ? id : numeric ? int(*numeric) : -1;
        if (reply_id < 0) return fail("unknown command '" + command + "'");
        const auto built = built_reply(reply_id, fields);
        if (!built) return fail(std::string("the builder refused the reply: ") + oprc_last_error());
        json = *built;
    } else {
        json = "{\"Command\":" + json_string(command);
        for (std::string_view f : fields) {
            const size_t eq = f.find('=');
            if (eq == std::string_view::npos || eq == 0) return usage();
            const std::string_view value = f.substr(eq + 1);
            json += "," + json_string(f.substr(0, eq)) + ":" + (reads_as_json(value) ? std::string(value) : json_string(value));
        }
        json += "}";
    }

    ClientTransport client;
    client.target.sin_family = AF_INET;
    client.target.sin_port = htons(uint16_t(*port));
    client.target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const oprc_transport table = {&client, ClientTransport::open, ClientTransport::send, ClientTransport::recv,
                                  ClientTransport::close};
    oprc_set_transport(&table);
    oprc_set_shared_secret(o.secret);
    oprc_arm_uri_commands(1);  // a client reads whatever comes back
    if (oprc_listen(0) != OPRC_OK) return fail("cannot open a socket");
    std::optional<SavedKey> key;
    if (o.key_file) {
        key = load_key(o.key_file);
        if (!key) return fail(std::string("cannot read the key file ") + o.key_file);
        if (oprc_v2_register_key(CONTROLLER_ID, key->secret.c_str(), 0) != OPRC_OK)
            return fail(std::string("the saved key is refused: ") + oprc_last_error());
        g_v2[0].next_counter = key->next_counter;  // the listener remembers every counter it took
    }
    std::printf("sent %s%s\n", key ? "[secure] " : "", json.c_str());
    int status = kOk;
    if (key) {
        if (oprc_v2_send(json.c_str(), PLAYER_ID, send_secure, nullptr) != OPRC_OK)
            status = fail(std::string("cannot send: ") + oprc_last_error());
        key->next_counter = oprc_v2_next_counter();
        if (!save_key(o.key_file, *key)) status = fail(std::string("cannot save the counter to ") + o.key_file);
    } else {
        status = encode_and_send(json);
    }
    if (status == kOk && o.wait_ms >= 0) {
        const int rc = oprc_poll(int(o.wait_ms));
        if (rc == OPRC_ERR_TIMEOUT) status = fail("no reply within " + std::to_string(o.wait_ms) + " ms");
        else print_outcome(rc);
    }
    oprc_stop();
    oprc_set_transport(nullptr);
    return status;
}

bool carries_pairing_answer() {
    const std::string text = oprc_result_json();
    json_doc *doc = json_read(text.data(), text.size(), 0, nullptr, nullptr);
    const bool has = json_obj_get(json_doc_root(doc), "code") != nullptr;
    json_doc_free(doc);
    return has;
}

// Answers a decoded message with its command and a state.
void answer() {
    if (oprc_build_begin(unsigned(oprc_command())) != OPRC_OK) return;
    oprc_build_set_i64("State", 1);
    std::vector<char> json(1 << 16);
    size_t len = 0;
    std::vector<uint8_t> datagram(OPRC_MAX_DATAGRAM);
    const bool secure = oprc_negotiated_level() == 2;
    bool sent = oprc_build_finish(json.data(), json.size(), &len) == OPRC_OK;
    if (sent && secure) sent = oprc_v2_send(json.data(), CONTROLLER_ID, send_secure, nullptr) == OPRC_OK;
    else if (sent)
        sent = oprc_encode(json.data(), datagram.data(), datagram.size(), &len) == OPRC_OK &&
               oprc_send_to(oprc_last_peer(), datagram.data(), len) == OPRC_OK;
    if (sent)
        std::printf("  answered peer %d%s\n", oprc_last_peer(), secure ? " securely" : "");
    else
        std::printf("  answer failed: %s\n", oprc_last_error());
    std::fflush(stdout);
}

int run_listen(const Options &o) {
    if (!o.positional.empty()) return usage();
    oprc_set_shared_secret(o.secret);
    oprc_arm_uri_commands(o.arm);
    if (oprc_listen(unsigned(o.port)) != OPRC_OK) return fail(std::string("cannot listen: ") + oprc_last_error());
    std::printf("listening on 127.0.0.1:%d\n", oprc_listen_bound_port());
    if (o.pair) {
        char offer[512];
        if (oprc_v2_begin_pairing("remote-tool", offer, sizeof offer) != OPRC_OK)
            return fail(std::string("cannot start pairing: ") + oprc_last_error());
        std::printf("pairing offer %s\n", offer);
    }
    std::fflush(stdout);
    for (long received = 0; !o.count || received < o.count;) {
        const int rc = oprc_poll(o.timeout_ms ? int(o.timeout_ms) : 1000);
        if (rc == OPRC_ERR_TIMEOUT) {
            if (!o.timeout_ms) continue;
            oprc_stop();
            return fail("nothing received within " + std::to_string(o.timeout_ms) + " ms");
        }
        if (rc == OPRC_ERR_BIND) {
            oprc_stop();
            return fail("receive failed");
        }
        received++;
        std::printf("peer %d: ", oprc_last_peer());
        print_outcome(rc);
        if (rc == OPRC_OK && o.pair && !oprc_v2_key_registered() && carries_pairing_answer()) {
            // The answer came as a plain message with the offer's members: pair on it.
            const std::string answer_json = oprc_result_json();
            if (oprc_v2_accept_pairing(answer_json.c_str(), int(PLAYER_ID)) == OPRC_OK)
                std::printf("  paired as sender %u\n", PLAYER_ID);
            else
                std::printf("  pairing refused: %s\n", oprc_last_error());
            std::fflush(stdout);
            continue;
        }
        if (rc == OPRC_OK && o.answer) answer();
    }
    oprc_stop();
    return kOk;
}

int run_pair(const Options &o) {
    if (o.positional.size() != 2 || !o.offer || !o.save) return usage();
    const auto port = number(o.positional[0], 1, 65535);
    if (!port) return usage();
    const std::string offer = o.offer;
    json_doc *doc = json_read(offer.data(), offer.size(), 0, nullptr, nullptr);
    json_val *root = json_doc_root(doc);
    const char *code = json_get_str(json_obj_get(root, "code"));
    const char *secret = json_get_str(json_obj_get(root, "secret_b64"));
    json_val *expires = json_obj_get(root, "expires");
    if (!code || !secret || !json_is_num(expires)) {
        json_doc_free(doc);
        return fail("the offer lacks its code, secret or expiry");
    }
    // The code the player shows must be the offer's: that is how the person knows it is the right offer.
    if (o.positional[1] != code) {
        json_doc_free(doc);
        return fail("the code does not match the offer");
    }
    const SavedKey key{secret, 1};
    const std::string answer = "{\"Command\":\"Ping\",\"code\":" + json_string(code) +
                               ",\"secret_b64\":" + json_string(secret) +
                               ",\"expires\":" + std::to_string(json_get_uint(expires)) + "}";
    json_doc_free(doc);
    if (oprc_v2_register_key(CONTROLLER_ID, key.secret.c_str(), 0) != OPRC_OK)
        return fail(std::string("the offer's secret is refused: ") + oprc_last_error());
    if (!save_key(o.save, key)) return fail(std::string("cannot write ") + o.save);

    ClientTransport client;
    client.target.sin_family = AF_INET;
    client.target.sin_port = htons(uint16_t(*port));
    client.target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const oprc_transport table = {&client, ClientTransport::open, ClientTransport::send, ClientTransport::recv,
                                  ClientTransport::close};
    oprc_set_transport(&table);
    if (oprc_listen(0) != OPRC_OK) return fail("cannot open a socket");
    const int status = encode_and_send(answer);
    oprc_stop();
    oprc_set_transport(nullptr);
    if (status == kOk) std::printf("paired with 127.0.0.1:%ld as sender %u; key saved to %s\n", *port, CONTROLLER_ID, o.save);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    const std::string_view verb = argv[1];
    const auto options = parse_options(argc, argv);
    if (!options) return usage();
    if (verb == "send") return run_client(false, *options);
    if (verb == "reply") return run_client(true, *options);
    if (verb == "listen") return run_listen(*options);
    if (verb == "pair") return run_pair(*options);
    return usage();
}
