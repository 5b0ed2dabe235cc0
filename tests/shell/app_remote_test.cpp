// `app --remote` driven end to end by remote-tool over the loopback address:
// pairing through the settings page, secure commands and their replies, the
// refusals; and without the option, no socket at all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"
#include "json.h"
#include "run_files.h"

extern char **environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char *LIBRARIES[] = {"orvellox-orvelloplayer-template-parse.so",
                           "orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so",
                           "orvellox-orvelloplayer-remote-control-protocol.so"};
const char *CLIP = "h264_aac_2audio.mp4";

// Confirms "Pair remote" (End goes to the last entry; it is the third above), then
// dumps the element tree four times a second for half a minute.
std::string pairing_script() {
    std::string script = "wait 300\nkey 35\nkey 38\nkey 38\nkey 38\nkey 13\n";
    for (int i = 0; i < 120; i++) script += "wait 250\ntree @tree.json\n";
    return script + "wait 600000\nquit\n";
}

// The inodes of the sockets a process holds.
std::set<std::string> socket_inodes(pid_t pid) {
    std::set<std::string> inodes;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::string target = fs::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    return inodes;
}

// The inodes of every UDP and TCP socket (the tenth column of the kernel's tables).
std::set<std::string> network_inodes() {
    std::set<std::string> inodes;
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6", "/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string field;
            for (int i = 0; i < 10 && fields >> field; i++) {
            }
            inodes.insert(field);
        }
    }
    return inodes;
}

// Whether a process holds a network socket (netlink and local sockets do not count).
bool holds_network_socket(pid_t pid) {
    std::set<std::string> network = network_inodes();
    for (const std::string &inode : socket_inodes(pid))
        if (network.count(inode)) return true;
    return false;
}

// A JSON document, freed with it.
class Json {
public:
    explicit Json(const std::string &text) : doc_(json_read(text.data(), text.size(), 0, nullptr, nullptr)) {}
    ~Json() { json_doc_free(doc_); }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;
    json_val *root() const { return json_doc_root(doc_); }
    // The first object named `name` in an element tree.
    json_val *element(const char *name, json_val *node = nullptr) const {
        if (!node) node = root();
        if (json_equals_str(json_obj_get(node, "name"), name, strlen(name))) return node;
        json_arr_iter children = json_arr_iter_init(json_obj_get(node, "children"));
        while (json_val *child = json_arr_iter_next(&children))
            if (json_val *found = element(name, child)) return found;
        return nullptr;
    }

private:
    json_doc *doc_;
};

std::string text_of(json_val *value) {
    const char *text = json_get_str(value);
    return text ? text : "(none)";
}

// One installed player in a folder of its own, run with a script until stopped.
class RunningApp {
public:
    RunningApp(const std::string &name, const std::vector<std::string> &options) {
        root_ = fs::temp_directory_path() / ("app_remote_test_" + std::to_string(getpid()) + "_" + name);
        fs::remove_all(root_);
        for (const char *folder : {"app/assets", "app/corpus", "local", "temp"}) fs::create_directories(root_ / folder);
        for (const char *library : LIBRARIES) fs::create_symlink(fs::path(OUT_DIR) / library, fs::path(path("app")) / library);
        fs::copy_file(fs::path(OUT_DIR) / "assets/runtimetemplatebundle.txt",
                      path("app/assets/runtimetemplatebundle.txt"));
        // Media only in the local data folder: nothing plays until the remote asks.
        fs::copy_file(fs::path(OUT_DIR) / "corpus" / CLIP, fs::path(path("local")) / CLIP);
        std::string script = pairing_script();
        for (size_t at = script.find('@'); at != std::string::npos; at = script.find('@', at))
            script.replace(at, 1, root_.string() + "/");
        std::ofstream(path("script.txt")) << script;

        std::vector<std::string> args = {APP,         "--headless", "--quiet",    "--app-dir",
                                         path("app"), "--temp-dir", path("temp"), "--local-dir",
                                         path("local"), "--script", path("script.txt")};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (std::string &arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, APP, nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    }
    ~RunningApp() {
        Stop();
        if (!::testing::Test::HasFailure()) fs::remove_all(root_);
    }
    pid_t pid() const { return pid_; }
    std::string path(const std::string &name) const { return (root_ / name).string(); }
    std::string log() const { return utf8_of_utf16le(read_file(root_ / "temp/xboxshell.log")); }
    // Ends the run as a closed window would; its exit status.
    int Stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Waits up to a minute for `ready`, which reads the newest element tree.
    bool WaitForTree(const std::function<bool(const Json &)> &ready) const {
        for (int i = 0; i < 600; i++) {
            Json tree(read_file(root_ / "tree.json"));
            if (tree.root() && ready(tree)) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

private:
    fs::path root_;
    pid_t pid_ = -1;
};

struct ToolRun {
    int status = -1;
    std::string out;
};

ToolRun remote_tool(const std::string &args) {
    ToolRun run;
    FILE *pipe = popen((std::string(REMOTE_TOOL) + " " + args + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The reply remote-tool printed: the JSON after "[secure] NAME " on the line after the one it sent.
std::string reply_json(const ToolRun &run) {
    size_t line = run.out.find("\n[secure] ");
    size_t start = line == std::string::npos ? line : run.out.find('{', line);
    if (start == std::string::npos) return "";
    return run.out.substr(start, run.out.find('\n', start) - start);
}

int64_t number_of(const std::string &json, const char *key) {
    Json doc(json);
    json_val *value = json_obj_get(doc.root(), key);
    return json_is_int(value) ? json_get_sint(value) : -1;
}

int64_t number_of(const std::string &json, const char *key, const char *inner) {
    Json doc(json);
    json_val *value = json_obj_get(json_obj_get(doc.root(), key), inner);
    return json_is_int(value) ? json_get_sint(value) : -1;
}

size_t length_of(const std::string &json, const char *key) {
    Json doc(json);
    return json_get_len(json_obj_get(doc.root(), key));
}

std::string string_of(const std::string &json, const char *key, const char *inner = nullptr) {
    Json doc(json);
    json_val *value = json_obj_get(doc.root(), key);
    return text_of(inner ? json_obj_get(value, inner) : value);
}

}  // namespace

TEST(AppRemote, PairedRemoteDrivesThePlayer) {
    const std::string port = std::to_string(free_udp_port());
    RunningApp app("paired", {"--remote", "127.0.0.1:" + port, "--remote-open"});
    ASSERT_GT(app.pid(), 0);

    // The settings entry shows the code and the offer a controller pairs with.
    std::string offer, code;
    ASSERT_TRUE(app.WaitForTree([&](const Json &tree) {
        offer = text_of(json_obj_get(tree.element("remote_pairing_offer"), "text"));
        code = text_of(json_obj_get(tree.element("remote_pairing_code"), "text"));
        return offer != "(none)";
    })) << app.log();
    EXPECT_TRUE(holds_network_socket(app.pid()));
    std::erase(code, ' ');
    EXPECT_EQ(code, string_of(offer, "code"));
    const std::string key = app.path("remote.key");
    ToolRun paired = remote_tool("pair " + port + " " + code + " --offer '" + offer + "' --save " + key);
    ASSERT_EQ(paired.status, 0) << paired.out;
    // Paired: the code leaves the screen.
    EXPECT_TRUE(app.WaitForTree([](const Json &tree) {
        json_val *panel = tree.element("remote_pairing");
        return !panel || json_get_type(json_obj_get(panel, "visible")) == JSON_FALSE;
    })) << app.log();

    auto send = [&](const std::string &command) {
        ToolRun run = remote_tool("send " + port + " " + command + " --v2 " + key + " --wait 20000");
        EXPECT_EQ(run.status, 0) << command << ": " << run.out;
        return reply_json(run);
    };
    const std::string clip = app.path("local") + "/" + CLIP;
    std::string opened = send("Open Uri=" + clip);
    EXPECT_EQ(number_of(opened, "State"), 1) << opened;
    EXPECT_EQ(string_of(opened, "Item", "Title"), CLIP) << opened;

    std::string paused = send("Pause");
    EXPECT_EQ(number_of(paused, "Command"), 2) << paused;
    EXPECT_EQ(number_of(paused, "State"), 2) << paused;
    // A seek lands on the key frame at 3 s (the sample has one each second), also while paused.
    std::string seek = send("Seek Position=3000");
    EXPECT_EQ(string_of(seek, "Error"), "(none)") << seek;
    std::string state;
    for (int i = 0; i < 100; i++) {
        state = send("CurrentState");
        if (number_of(state, "Position") >= 3000) break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GE(number_of(state, "Position"), 3000) << state;
    EXPECT_LT(number_of(state, "Position"), 5000) << state;
    EXPECT_EQ(number_of(state, "State"), 2) << state;

    std::string tracks = send("AudioTracks");
    EXPECT_EQ(length_of(tracks, "AudioTracks"), 2u) << tracks;
    std::string chosen = send("SetAudioTrack 'AudioTrack={\"Index\":1}'");
    EXPECT_EQ(number_of(chosen, "AudioTrack", "Index"), 1) << chosen;
    std::string missing = send("SetAudioTrack 'AudioTrack={\"Index\":5}'");
    EXPECT_EQ(string_of(missing, "Error"), "there is no audio track 5") << missing;

    std::string volume = send("SetVolume Volume=0.4");
    EXPECT_EQ(number_of(volume, "Volume"), 40) << volume;
    std::string muted = send("ToggleMuted");
    EXPECT_NE(muted.find("\"IsMuted\":true"), std::string::npos) << muted;

    send("Play");
    state = send("CurrentState");
    EXPECT_EQ(number_of(state, "Command"), 19) << state;
    EXPECT_EQ(number_of(state, "State"), 1) << state;
    EXPECT_EQ(string_of(state, "Item", "Title"), CLIP) << state;
    EXPECT_EQ(string_of(state, "Progress", "Duration"), "0.00:00:05.0000000") << state;

    // Whatever the player does not do, it says so.
    std::string record = send("Record");
    EXPECT_EQ(number_of(record, "Command"), 4) << record;
    EXPECT_EQ(string_of(record, "Error"), "Record is not supported by this player") << record;
    // Files outside the media folders stay closed, also through a link.
    fs::create_symlink("/etc/passwd", app.path("local/escape.mp4"));
    for (const std::string &outside : {std::string("/etc/passwd"), app.path("local/escape.mp4"),
                                       app.path("local") + "/../temp/xboxshell.log"}) {
        std::string refused = send("Open Uri=" + outside);
        EXPECT_EQ(string_of(refused, "Error"), "refused: " + outside + " is no media file in the player's media folders")
            << refused;
    }
    std::string stopped = send("Stop");
    EXPECT_EQ(number_of(stopped, "State"), 0) << stopped;

    // A plain datagram gets no answer, however well formed.
    ToolRun plain = remote_tool("send " + port + " CurrentState --wait 1000");
    EXPECT_EQ(plain.status, 1) << plain.out;

    EXPECT_EQ(app.Stop(), 0);
    std::string log = app.log();
    for (const std::string &line :
         {"remote control: listening on 127.0.0.1:" + port + ", secure datagrams only, files may be opened",
          std::string("remote control: paired with 127.0.0.1:"), std::string("remote control: remote paired"),
          std::string(" refused: secure datagrams only"), std::string("remote control: stopped")})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST(AppRemote, WithoutTheOptionNoSocketIsOpened) {
    RunningApp app("off", {});
    ASSERT_GT(app.pid(), 0);
    // The entry says why it cannot pair.
    ASSERT_TRUE(app.WaitForTree([](const Json &tree) {
        return text_of(json_obj_get(tree.element("status"), "text")) ==
               "remote control is off: start the player with --remote PORT";
    })) << app.log();
    EXPECT_FALSE(holds_network_socket(app.pid()));
    EXPECT_EQ(app.Stop(), 0);
    EXPECT_EQ(app.log().find("remote control:"), std::string::npos) << app.log();
}
