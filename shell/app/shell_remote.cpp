// The remote-control host, and the view's side of it: the pairing code on
// screen and the commands carried out on the UI thread.
#include "app/shell_remote.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "app/shell_view.h"
#include "core/paths.h"
#include "core/platform_error.h"
#include "core/shell_log.h"
#include "core/text.h"

namespace shell {

using namespace ui;
using namespace std::chrono_literals;

namespace {

// The player pairs as sender 2 and its controller as sender 1 (as remote-tool does).
constexpr int PLAYER_ROLE = 2;
constexpr unsigned CONTROLLER_ID = 1;
constexpr const char *DEVICE_ID = "orvello-player";
constexpr uint8_t SECURE_FRAMING = 2;  // first byte of a secure datagram
constexpr int REFUSALS_LOGGED = 20;
constexpr int IDLE_POLL_MS = 1000;
constexpr auto UI_PATIENCE = 10s;
constexpr int64_t TICKS_PER_MS = 10'000;
// The key GoBack stands in for.
constexpr int VK_ESCAPE = 27;

constexpr Color PANEL{240, 16, 22, 30};
constexpr Color ACCENT{255, 0, 214, 214};
constexpr Color LABEL{255, 240, 244, 250};
constexpr Color MUTED{255, 150, 160, 175};

std::u16string address_text(const sockaddr_in &address) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return utf8_to_utf16(std::string(text) + ":" + std::to_string(ntohs(address.sin_port)));
}

// "expires at 21:05:30 (4:59 left)", local time.
std::u16string expiry_text(int64_t expires) {
    const time_t at = time_t(expires);
    tm local{};
    localtime_r(&at, &local);
    const int64_t left = std::max<int64_t>(expires - int64_t(time(nullptr)), 0);
    char text[96];
    snprintf(text, sizeof text, "Enter it on the controlling device. It expires at %02d:%02d:%02d (%lld:%02lld left).",
             local.tm_hour, local.tm_min, local.tm_sec, (long long)(left / 60), (long long)(left % 60));
    return utf8_to_utf16(text);
}

RemoteTracks remote_tracks(const ShellView::TrackList &tracks) { return {tracks.names, tracks.current}; }

// The player as the commands see it.
class ViewTarget final : public RemoteTarget {
public:
    explicit ViewTarget(ShellView &view) : view_(view) {}
    PlayerSnapshot Snapshot() override {
        PlayerSnapshot state;
        state.volume = view_.volume();
        state.muted = view_.muted();
        state.media_open = view_.media_open();
        if (!state.media_open) return state;
        state.playing = view_.playing();
        state.position_ms = std::max<int64_t>(view_.position(), 0) / TICKS_PER_MS;
        state.duration_ms = std::max<int64_t>(view_.duration(), 0) / TICKS_PER_MS;
        state.title = file_name_of(utf16_to_utf8(view_.media_path()));
        state.audio = remote_tracks(view_.AudioTracks());
        state.subtitles = remote_tracks(view_.SubtitleTracks());
        return state;
    }
    void TogglePlayPause() override { view_.TogglePlayPause(); }
    void Play() override { view_.Play(); }
    void Pause() override { view_.Pause(); }
    void Stop() override { view_.Stop(); }
    void SkipBy(int direction) override { view_.SkipBy(direction); }
    void JumpChapter(int direction) override { view_.JumpChapter(direction); }
    void SeekTo(int64_t position_ms) override {
        view_.SeekTo(std::min(position_ms, INT64_MAX / TICKS_PER_MS) * TICKS_PER_MS);
    }
    void SetVolume(int percent) override { view_.SetVolume(percent); }
    void ToggleMuted() override { view_.ToggleMuted(); }
    bool SelectAudioTrack(int ordinal) override { return view_.SelectAudioTrack(ordinal); }
    bool SelectSubtitleTrack(int ordinal) override { return view_.SelectSubtitleTrack(ordinal); }
    // As Escape: stops a playback, else leaves the page.
    void GoBack() override { view_.OnKeyDown(VK_ESCAPE); }
    void Open(const std::string &path) override { view_.PlayPath(utf8_to_utf16(path)); }

private:
    ShellView &view_;
};

}  // namespace

// The host's transport: a UDP socket on the chosen address, and an eventfd
// that ends a waiting receive early. Peer 0 is whoever sent the last datagram.
struct RemoteHost::Socket {
    sockaddr_in local{};
    int fd = -1;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int open_error = 0;
    sockaddr_in sender{};
    bool sender_secure = false;  // the last datagram came in the secure framing
    oprc_transport table{this, &Socket::Open, &Socket::Send, &Socket::Receive, &Socket::Close};

    ~Socket() {
        Close(this);
        if (wake >= 0) close(wake);
    }
    static int Open(void *context, unsigned port, int *bound) {
        auto *socket = static_cast<Socket *>(context);
        sockaddr_in address = socket->local;
        address.sin_port = htons(uint16_t(port));
        socklen_t length = sizeof address;
        // No SO_REUSEADDR: another program must not be able to take the port over.
        socket->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (socket->fd < 0 || bind(socket->fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            getsockname(socket->fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            socket->open_error = errno;
            Close(context);
            return -1;
        }
        socket->local = address;
        *bound = ntohs(address.sin_port);
        return 0;
    }
    static int Send(void *context, int, const void *data, size_t length) {
        auto *socket = static_cast<Socket *>(context);
        ssize_t sent;
        do sent = sendto(socket->fd, data, length, 0, reinterpret_cast<const sockaddr *>(&socket->sender),
                         sizeof socket->sender);
        while (sent < 0 && errno == EINTR);
        return sent == ssize_t(length) ? 0 : -1;
    }
    static int Receive(void *context, int timeout_ms, void *buffer, size_t capacity, size_t *length, int *peer) {
        auto *socket = static_cast<Socket *>(context);
        pollfd waits[2] = {{socket->fd, POLLIN, 0}, {socket->wake, POLLIN, 0}};
        int ready = poll(waits, socket->wake >= 0 ? 2 : 1, timeout_ms);
        if (ready < 0) return errno == EINTR ? 0 : -1;
        if (socket->wake >= 0 && waits[1].revents) {
            uint64_t count;
            if (read(socket->wake, &count, sizeof count) < 0) count = 0;
        }
        if (!(waits[0].revents & POLLIN)) return 0;
        socklen_t address_length = sizeof socket->sender;
        ssize_t received =
            recvfrom(socket->fd, buffer, capacity, 0, reinterpret_cast<sockaddr *>(&socket->sender), &address_length);
        if (received < 0) return errno == EINTR || errno == EAGAIN ? 0 : -1;
        *length = size_t(received);
        *peer = 0;
        socket->sender_secure = received > 0 && static_cast<const uint8_t *>(buffer)[0] == SECURE_FRAMING;
        return 1;
    }
    static void Close(void *context) {
        auto *socket = static_cast<Socket *>(context);
        if (socket->fd >= 0) close(socket->fd);
        socket->fd = -1;
    }
};

RemoteHost::RemoteHost(Platform &platform, std::weak_ptr<ShellView> view, const RemoteHostBindings &oprc,
                       RemoteSettings settings)
    : platform_(platform), view_(std::move(view)), oprc_(oprc), settings_(std::move(settings)),
      socket_(std::make_unique<Socket>()) {
    socket_->local.sin_family = AF_INET;
    socket_->local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!settings_.address.empty()) inet_pton(AF_INET, settings_.address.c_str(), &socket_->local.sin_addr);
}

RemoteHost::~RemoteHost() { Stop(); }

void RemoteHost::Start() {
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
}

void RemoteHost::Stop() {
    stopping_ = true;
    WakeHost();
    if (thread_.joinable()) thread_.join();
}

void RemoteHost::WakeHost() {
    const uint64_t one = 1;
    if (socket_->wake >= 0 && write(socket_->wake, &one, sizeof one) < 0) {
        // The counter is full: the host is woken already.
    }
}

void RemoteHost::BeginPairing() {
    pairing_requested_ = true;
    WakeHost();
}

void RemoteHost::CancelPairing() {
    pairing_cancelled_ = true;
    WakeHost();
}

void RemoteHost::Run() {
    const RemoteHostBindings &rc = oprc_;
    rc.oprc_set_transport(&socket_->table);
    rc.oprc_allow_legacy(0);
    rc.oprc_arm_uri_commands(settings_.open_files);
    if (rc.oprc_listen(unsigned(settings_.port)) != OPRC_OK) {
        log_line(u"remote control: cannot listen on UDP port %d of %s (%S)", settings_.port,
                 settings_.address.empty() ? std::u16string(u"every interface") : utf8_to_utf16(settings_.address),
                 std::strerror(socket_->open_error));
        rc.oprc_set_transport(nullptr);
        flush_log();
        return;
    }
    bound_port_ = ntohs(socket_->local.sin_port);
    log_line(u"remote control: listening on %s, secure datagrams only%s", address_text(socket_->local),
             settings_.open_files ? u", files may be opened" : u"");
    flush_log();
    while (!stopping_) {
        HandleRequests();
        int result = rc.oprc_poll(IDLE_POLL_MS);
        if (stopping_) break;
        if (result != OPRC_ERR_TIMEOUT) HandleDatagram(result);
    }
    rc.oprc_stop();
    rc.oprc_set_transport(nullptr);
    rc.oprc_allow_legacy(0);
    bound_port_ = 0;
    log_line(u"remote control: stopped");
}

void RemoteHost::HandleRequests() {
    if (pairing_cancelled_.exchange(false) && pairing_pending_) {
        pairing_pending_ = false;
        oprc_.oprc_allow_legacy(0);
        log_line(u"remote control: pairing cancelled");
    }
    if (pairing_requested_.exchange(false)) StartPairing();
    if (pairing_pending_ && std::chrono::system_clock::now() >= pairing_expires_) EndPairing(u"pairing code expired");
}

void RemoteHost::StartPairing() {
    char text[512];
    std::optional<PairingOffer> offer;
    if (oprc_.oprc_v2_begin_pairing(DEVICE_ID, text, sizeof text) == OPRC_OK) offer = read_pairing_offer(text);
    if (!offer) {
        EndPairing(u"pairing failed: " + utf8_to_utf16(oprc_.oprc_last_error()));
        return;
    }
    pairing_pending_ = true;
    pairing_expires_ = std::chrono::system_clock::from_time_t(time_t(offer->expires));
    // The controller answers the offer with a plain datagram, also when another one is paired already.
    oprc_.oprc_allow_legacy(1);
    log_line(u"remote control: pairing offered, valid for %llds",
             (long long)(offer->expires - int64_t(time(nullptr))));
    try {
        platform_.Post([view = view_, offer = std::move(*offer)] {
            if (auto self = view.lock()) self->ShowRemotePairing(offer);
        });
    } catch (const PlatformError &) {
        // The UI is gone: nobody can show the code.
    }
}

void RemoteHost::EndPairing(const std::u16string &why) {
    pairing_pending_ = false;
    oprc_.oprc_allow_legacy(0);
    log_line(u"remote control: %s", why);
    try {
        platform_.Post([view = view_, why] {
            if (auto self = view.lock()) self->EndRemotePairing(why);
        });
    } catch (const PlatformError &) {
        // The UI is gone, and the code with it.
    }
}

void RemoteHost::HandleDatagram(int result) {
    const RemoteHostBindings &rc = oprc_;
    if (result == OPRC_OK) {
        if (rc.oprc_negotiated_level() == 2)
            Answer(rc.oprc_command());
        else
            HandlePlain();
        return;
    }
    if (result == OPRC_ERR_FRAGMENT) return;  // the rest of the message is on its way
    // A URI command is refused while unarmed after its tag was checked: the sender is paired.
    if (result == OPRC_ERR_NOT_ARMED && socket_->sender_secure) {
        RemoteReply reply;
        reply.command = rc.oprc_command();
        reply.error = "opening files from the remote is off: start the player with --remote-open";
        Reply(reply);
        return;
    }
    // With a controller paired the library itself refuses plain datagrams.
    if (result == OPRC_ERR_PROTOCOL && !socket_->sender_secure)
        LogRefusal(u"plain datagram from " + address_text(socket_->sender) + u" refused: secure datagrams only");
    else
        LogRefusal(u"datagram from " + address_text(socket_->sender) + u" refused: " +
                   utf8_to_utf16(rc.oprc_last_error()));
    if (result == OPRC_ERR_BIND) std::this_thread::sleep_for(100ms);  // not a busy loop on a failing socket
}

void RemoteHost::HandlePlain() {
    const RemoteHostBindings &rc = oprc_;
    const std::string json = rc.oprc_result_json();
    if (pairing_pending_ && is_pairing_answer(json)) {
        if (rc.oprc_v2_accept_pairing(json.c_str(), PLAYER_ROLE) == OPRC_OK) {
            log_line(u"remote control: paired with %s", address_text(socket_->sender));
            EndPairing(u"remote paired");
        } else {
            log_line(u"remote control: pairing answer from %s refused (%S)", address_text(socket_->sender),
                     rc.oprc_last_error());
        }
        return;
    }
    LogRefusal(u"plain datagram from " + address_text(socket_->sender) + u" refused: secure datagrams only");
}

void RemoteHost::Answer(int command) {
    const char *name = oprc_.oprc_command_name(unsigned(command));
    RemoteRequest request = read_remote_request(command, name ? name : "?", oprc_.oprc_result_json());
    Reply(DispatchOnUiThread(request));
}

void RemoteHost::Reply(const RemoteReply &reply) {
    std::string json;
    if (!build_remote_reply(oprc_, reply, json)) {
        LogRefusal(u"reply not built: " + utf8_to_utf16(oprc_.oprc_last_error()));
        return;
    }
    auto send = [](void *context, const void *datagram, size_t length, unsigned, unsigned) {
        Socket::Send(context, 0, datagram, length);
    };
    if (oprc_.oprc_v2_send(json.c_str(), CONTROLLER_ID, send, socket_.get()) != OPRC_OK)
        LogRefusal(u"reply not sent: " + utf8_to_utf16(oprc_.oprc_last_error()));
}

RemoteReply RemoteHost::DispatchOnUiThread(const RemoteRequest &request) {
    struct Exchange {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<RemoteReply> reply;
    };
    auto exchange = std::make_shared<Exchange>();
    RemoteReply unanswered;
    unanswered.command = request.command;
    try {
        platform_.Post([view = view_, exchange, request, folders = settings_.media_folders] {
            RemoteReply reply;
            if (auto self = view.lock()) {
                ViewTarget target(*self);
                reply = dispatch_remote(request, target, folders);
            } else {
                reply.command = request.command;
                reply.error = "the player is closing";
            }
            std::lock_guard lock(exchange->mutex);
            exchange->reply = std::move(reply);
            exchange->done.notify_all();
        });
    } catch (const PlatformError &) {
        unanswered.error = "the player is closing";
        return unanswered;
    }
    std::unique_lock lock(exchange->mutex);
    const auto deadline = std::chrono::steady_clock::now() + UI_PATIENCE;
    // Short waits: a stop must not wait for a UI thread that is itself stopping the host.
    while (!exchange->reply && !stopping_ && std::chrono::steady_clock::now() < deadline)
        exchange->done.wait_for(lock, 50ms);
    if (exchange->reply) return *exchange->reply;
    unanswered.error = "the player is busy";
    return unanswered;
}

void RemoteHost::LogRefusal(const std::u16string &what) {
    if (refusals_logged_ > REFUSALS_LOGGED) return;
    if (++refusals_logged_ > REFUSALS_LOGGED)
        log_line(u"remote control: further refusals are not logged");
    else
        log_line(u"remote control: %s", what);
}

// ---- the view's side ----

void ShellView::StartRemote(const std::string &address, int port, bool open_files) {
    if (remote_) return;
    RemoteHostBindings oprc;
    int missing = bind_remote_host(bindings_.oprc_module, &oprc);
    if (!bindings_.oprc_module || missing != 0) {
        log_line(u"remote control: not started, the remote-control library %S",
                 bindings_.oprc_module ? "lacks entry points" : "is not loaded");
        return;
    }
    RemoteSettings settings{address, port, open_files, {}};
    std::vector<std::string> folders = {utf16_to_utf8(app_dir_) + "/corpus"};
    try {
        folders.push_back(platform_.LocalFolder());
    } catch (const PlatformError &failure) {
        log_line(u"remote control: no local data folder (0x%08X)", failure.code());
    }
    for (const std::string &folder : folders)
        if (std::optional<std::string> real = real_folder(folder)) settings.media_folders.push_back(*real);
    remote_ = std::make_shared<RemoteHost>(platform_, weak_from_this(), oprc, std::move(settings));
    remote_->Start();
    platform_.StartTimer(1s, [view = weak_from_this()] {
        if (auto self = view.lock()) self->RefreshRemotePairing();
    });
}

void ShellView::StopRemote() {
    if (remote_) remote_->Stop();
}

void ShellView::PairRemote() {
    if (!remote_) {
        SetStatus(u"remote control is off: start the player with --remote PORT");
        return;
    }
    if (remote_->bound_port() == 0) {
        SetStatus(u"remote control is not listening: see the log");
        return;
    }
    SetStatus(u"pairing a remote\u2026");
    remote_->BeginPairing();
}

void ShellView::ShowRemotePairing(const PairingOffer &offer) {
    if (pairing_panel_) pairing_panel_->visibility = Visibility::Collapsed;
    auto panel = std::make_shared<Border>();
    panel->name = "remote_pairing";
    panel->background = PANEL;
    panel->border_brush = ACCENT;
    panel->border_thickness = {2, 2, 2, 2};
    panel->corner_radius = 8;
    panel->padding = {28, 20, 28, 20};
    panel->left = 64;
    panel->top = 24;
    auto column = std::make_shared<StackPanel>();
    panel->SetChild(column);
    column->Add(make_text_block("remote_pairing_title", u"Pair remote: code", 24, LABEL));
    std::u16string code = utf8_to_utf16(offer.code);
    if (code.size() == 6) code.insert(3, u" ");
    auto &code_block = column->Add(make_text_block("remote_pairing_code", code, 64, ACCENT));
    code_block.font_weight = FontWeight::SemiBold;
    pairing_expiry_ = make_text_block("remote_pairing_expiry", expiry_text(offer.expires), 20, LABEL);
    column->Add(pairing_expiry_);
    // What a controller needs besides the code; a picture code would carry it on a television.
    auto &offer_block = column->Add(make_text_block("remote_pairing_offer", utf8_to_utf16(offer.json), 13, MUTED));
    offer_block.margin = {0, 12, 0, 0};
    chrome_.overlay->Add(panel);
    pairing_panel_ = panel;
    pairing_expires_ = offer.expires;
    SetStatus(u"pairing: enter the code on the remote");
}

void ShellView::EndRemotePairing(std::u16string_view why) {
    if (pairing_panel_) pairing_panel_->visibility = Visibility::Collapsed;
    pairing_panel_.reset();
    pairing_expiry_.reset();
    SetStatus(u"%s", std::u16string(why));
}

void ShellView::RefreshRemotePairing() {
    if (!pairing_panel_) return;
    auto shown = chrome_.overlay->children();
    if (std::find(shown.begin(), shown.end(), pairing_panel_) == shown.end()) {
        // The page was left, and the code went with it.
        pairing_panel_.reset();
        pairing_expiry_.reset();
        if (remote_) remote_->CancelPairing();
        return;
    }
    pairing_expiry_->text = expiry_text(pairing_expires_);
}

}  // namespace shell
