// The remote-control host (`app --remote`): a UDP socket of its own, a thread
// that makes every call into the remote-control library, pairing, and commands
// carried out on the UI thread with the replies sent back to their sender.
// Only secure datagrams from a paired controller are acted on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/platform.h"
#include "core/engine_bindings.h"
#include "core/remote_control.h"

namespace shell {

class ShellView;

struct RemoteSettings {
    std::string address;  // IPv4 address to listen on; empty: every interface
    int port = 0;         // 0: any free port
    bool open_files = false;
    std::vector<std::string> media_folders;  // real paths Open and PlayUri may play from
};

class RemoteHost {
public:
    RemoteHost(Platform &platform, std::weak_ptr<ShellView> view, const RemoteHostBindings &oprc,
               RemoteSettings settings);
    // Stops the host.
    ~RemoteHost();
    RemoteHost(const RemoteHost &) = delete;
    RemoteHost &operator=(const RemoteHost &) = delete;

    // Starts the host thread, which opens the socket and logs the outcome.
    void Start();
    // Ends the host thread and closes the socket; a command waiting for the UI is not answered.
    void Stop();
    // Any thread: start a pairing (the offer goes to the view), or forget the pending one.
    void BeginPairing();
    void CancelPairing();
    // The port bound, 0 before (or without) a socket.
    int bound_port() const { return bound_port_; }

private:
    struct Socket;
    void Run();
    void WakeHost();
    void HandleRequests();
    void HandleDatagram(int result);
    void HandlePlain();
    void StartPairing();
    void EndPairing(const std::u16string &why);
    void Answer(int command);
    void Reply(const RemoteReply &reply);
    RemoteReply DispatchOnUiThread(const RemoteRequest &request);
    // Logs a refused datagram; only the first few of a kind, so a flood cannot fill the log.
    void LogRefusal(const std::u16string &what);

    Platform &platform_;
    std::weak_ptr<ShellView> view_;
    RemoteHostBindings oprc_;
    RemoteSettings settings_;
    std::unique_ptr<Socket> socket_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> bound_port_{0};
    std::atomic<bool> pairing_requested_{false};
    std::atomic<bool> pairing_cancelled_{false};
    // Host thread only.
    bool pairing_pending_ = false;
    std::chrono::system_clock::time_point pairing_expires_;
    int refusals_logged_ = 0;
};

}  // namespace shell
