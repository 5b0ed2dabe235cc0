// Remote control without a controller: what every command does to a stand-in
// player and what it answers, the members read from a message, the media
// folders a remote may open files from, the replies as the real library's
// builder writes them, and the pairing code on the view.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <ctime>
#include <set>
#include <thread>

#include "app/shell_app.h"
#include "core/library_loader.h"
#include "core/remote_control.h"
#include "core/shell_log.h"
#include "core/text.h"
#include "fake_platform.h"
#include "oprc.h"

using namespace shell;
using namespace shell::ui;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Records what the commands do; playing, pausing and stopping change the state as the player does.
class FakeTarget final : public RemoteTarget {
public:
    PlayerSnapshot state;
    std::vector<std::string> calls;
    bool open_fails = false;

    PlayerSnapshot Snapshot() override { return state; }
    void TogglePlayPause() override {
        calls.push_back("toggle");
        state.playing = !state.playing;
    }
    void Play() override {
        calls.push_back("play");
        state.playing = true;
    }
    void Pause() override {
        calls.push_back("pause");
        state.playing = false;
    }
    void Stop() override {
        calls.push_back("stop");
        state.media_open = state.playing = false;
    }
    void SkipBy(int direction) override { calls.push_back("skip " + std::to_string(direction)); }
    void JumpChapter(int direction) override { calls.push_back("chapter " + std::to_string(direction)); }
    void SeekTo(int64_t ms) override { calls.push_back("seek " + std::to_string(ms)); }
    void SetVolume(int percent) override {
        calls.push_back("volume " + std::to_string(percent));
        state.volume = percent;
    }
    void ToggleMuted() override {
        calls.push_back("mute");
        state.muted = !state.muted;
    }
    bool SelectAudioTrack(int ordinal) override {
        calls.push_back("audio " + std::to_string(ordinal));
        return ordinal >= 0 && ordinal < int(state.audio.names.size());
    }
    bool SelectSubtitleTrack(int ordinal) override {
        calls.push_back("subtitle " + std::to_string(ordinal));
        return ordinal >= -1 && ordinal < int(state.subtitles.names.size());
    }
    void GoBack() override { calls.push_back("back"); }
    void Open(const std::string &path) override {
        calls.push_back("open " + path);
        if (open_fails) return;
        state.media_open = state.playing = true;
        state.title = fs::path(path).filename();
    }
};

std::string name_of(int command) {
    switch (command) {
        case REMOTE_OPEN: return "Open";
        case REMOTE_PLAY_URI: return "PlayUri";
        case REMOTE_SEEK: return "Seek";
        case REMOTE_SET_VOLUME: return "SetVolume";
        case REMOTE_SET_AUDIO_TRACK: return "SetAudioTrack";
        case REMOTE_SET_SUBTITLE_TRACK: return "SetSubtitleTrack";
        default: return "Command" + std::to_string(command);
    }
}

enum class Start { Idle, Playing, Paused };

// An open file has two audio tracks and one subtitle track.
PlayerSnapshot snapshot(Start start) {
    PlayerSnapshot state;
    state.media_open = start != Start::Idle;
    state.playing = start == Start::Playing;
    if (state.media_open) {
        state.audio = {{"Stereo", "Surround"}, 0};
        state.subtitles = {{"English"}, -1};
    }
    return state;
}

// A folder tree in /tmp: the two media folders, a folder outside them, and links between them.
class MediaFolders : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("shell_remote_test_" + std::to_string(getpid()));
        fs::remove_all(root_);
        for (const char *folder : {"corpus/sub", "local", "outside", "corpus2"}) fs::create_directories(root_ / folder);
        for (const char *file : {"corpus/a.mkv", "corpus/sub/sp ace.mkv", "local/b.mp4", "outside/secret.mkv",
                                 "corpus2/next.mkv"})
            std::ofstream(root_ / file) << "media";
        fs::create_symlink("../outside/secret.mkv", root_ / "corpus/link_out.mkv");
        fs::create_symlink("../outside", root_ / "corpus/folder_out");
        fs::create_symlink("../corpus/a.mkv", root_ / "local/link_in.mkv");
        folders_ = {*real_folder((root_ / "corpus").string()), *real_folder((root_ / "local").string())};
    }
    void TearDown() override { fs::remove_all(root_); }
    std::string at(const std::string &relative) const { return (root_ / relative).string(); }
    std::string real(const std::string &relative) const { return fs::canonical(root_ / relative).string(); }

    fs::path root_;
    std::vector<std::string> folders_;
};

}  // namespace

TEST(RemoteDispatch, EveryCommandActsOrSaysWhyNot) {
    struct Case {
        int command;
        Start start;
        std::string request;  // the message's members besides "Command"
        std::vector<std::string> calls;
        std::string error;  // empty: acted on, the reply carries the state
        bool tracks = false;
    } cases[] = {
        {REMOTE_TOGGLE_PLAY_PAUSE, Start::Playing, "", {"toggle"}, ""},
        {REMOTE_TOGGLE_PLAY_PAUSE, Start::Idle, "", {}, "nothing is playing"},
        {REMOTE_PLAY, Start::Paused, "", {"play"}, ""},
        {REMOTE_PLAY, Start::Playing, "", {}, ""},
        {REMOTE_PLAY, Start::Idle, "", {}, "nothing is playing"},
        {REMOTE_PAUSE, Start::Playing, "", {"pause"}, ""},
        {REMOTE_PAUSE, Start::Paused, "", {}, ""},
        {REMOTE_STOP, Start::Paused, "", {"stop"}, ""},
        {REMOTE_STOP, Start::Idle, "", {}, "nothing is playing"},
        {REMOTE_FAST_FORWARD, Start::Playing, "", {"skip 1"}, ""},
        {REMOTE_REWIND, Start::Paused, "", {"skip -1"}, ""},
        {REMOTE_REWIND, Start::Idle, "", {}, "nothing is playing"},
        {REMOTE_NEXT, Start::Playing, "", {"chapter 1"}, ""},
        {REMOTE_PREVIOUS, Start::Playing, "", {"chapter -1"}, ""},
        {REMOTE_SEEK, Start::Playing, R"("Position":2000)", {"seek 2000"}, ""},
        {REMOTE_SEEK, Start::Playing, "", {}, "Seek needs a Position in milliseconds"},
        {REMOTE_SEEK, Start::Idle, R"("Position":2000)", {}, "nothing is playing"},
        {REMOTE_VOLUME, Start::Idle, "", {}, ""},
        {REMOTE_VOLUME, Start::Idle, R"("Volume":0.255)", {"volume 26"}, ""},
        {REMOTE_SET_VOLUME, Start::Playing, R"("Volume":1.5)", {"volume 100"}, ""},
        {REMOTE_SET_VOLUME, Start::Playing, R"("Volume":-1)", {"volume 0"}, ""},
        {REMOTE_SET_VOLUME, Start::Playing, "", {}, "SetVolume needs a Volume from 0.0 to 1.0"},
        {REMOTE_TOGGLE_MUTED, Start::Idle, "", {"mute"}, ""},
        {REMOTE_AUDIO_TRACKS, Start::Playing, "", {}, "", true},
        {REMOTE_SUBTITLE_TRACKS, Start::Idle, "", {}, "", true},
        {REMOTE_SET_AUDIO_TRACK, Start::Playing, R"("AudioTrack":{"Index":1})", {"audio 1"}, "", true},
        {REMOTE_SET_AUDIO_TRACK, Start::Playing, R"("AudioTrack":{"Index":2})", {"audio 2"}, "there is no audio track 2"},
        {REMOTE_SET_AUDIO_TRACK, Start::Playing, R"("Index":1)", {}, "SetAudioTrack needs an AudioTrack with an Index"},
        {REMOTE_SET_SUBTITLE_TRACK, Start::Paused, R"("SubtitleTrack":{"Index":-1})", {"subtitle -1"}, "", true},
        {REMOTE_SET_SUBTITLE_TRACK, Start::Paused, R"("SubtitleTrack":{"Index":3})", {"subtitle 3"}, "there is no subtitle track 3"},
        {REMOTE_SET_SUBTITLE_TRACK, Start::Idle, R"("SubtitleTrack":{"Index":0})", {}, "nothing is playing"},
        {REMOTE_GO_BACK, Start::Idle, "", {"back"}, ""},
        {REMOTE_GO_BACK, Start::Playing, "", {"back"}, ""},
        {REMOTE_PING, Start::Idle, "", {}, ""},
        {REMOTE_CURRENT_STATE, Start::Playing, "", {}, "", true},
        {REMOTE_PROGRESS, Start::Paused, "", {}, ""},
        {REMOTE_OPEN, Start::Idle, "", {}, "Open needs a Uri"},
        {REMOTE_PLAY_URI, Start::Idle, R"("Uri":"")", {}, "PlayUri needs a Uri"},
    };
    std::set<int> handled;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.command) + " " + c.request);
        handled.insert(c.command);
        FakeTarget target;
        target.state = snapshot(c.start);
        std::string json = "{\"Command\":" + std::to_string(c.command) + (c.request.empty() ? "" : ",") + c.request + "}";
        RemoteRequest request = read_remote_request(c.command, name_of(c.command), json);
        RemoteReply reply = dispatch_remote(request, target, {});
        EXPECT_EQ(reply.command, c.command);
        EXPECT_EQ(target.calls, c.calls);
        EXPECT_EQ(reply.error, c.error);
        EXPECT_EQ(reply.with_state, c.error.empty());
        EXPECT_EQ(reply.with_tracks, c.tracks);
        // The reply tells the state after acting.
        if (reply.with_state) {
            EXPECT_EQ(reply.snapshot.playing, target.state.playing);
            EXPECT_EQ(reply.snapshot.volume, target.state.volume);
            EXPECT_EQ(reply.snapshot.muted, target.state.muted);
        }
    }
    // Every other command of the protocol is answered: not supported, and nothing done.
    for (int command = 0; command < OPRC_COMMAND_COUNT; command++) {
        if (handled.count(command)) continue;
        SCOPED_TRACE(command);
        FakeTarget target;
        target.state = snapshot(Start::Playing);
        RemoteRequest request;
        request.command = command;
        request.command_name = name_of(command);
        RemoteReply reply = dispatch_remote(request, target, {});
        EXPECT_TRUE(target.calls.empty());
        EXPECT_EQ(reply.error, request.command_name + " is not supported by this player");
        EXPECT_FALSE(reply.with_state);
    }
}

TEST_F(MediaFolders, OpenPlaysOnlyFilesInsideTheMediaFolders) {
    struct Case {
        std::string uri;
        std::string opened;  // real path, or empty when refused
        std::string error;
    } cases[] = {
        {at("corpus/a.mkv"), real("corpus/a.mkv"), ""},
        {"file://" + at("corpus/sub/sp%20ace.mkv"), real("corpus/sub/sp ace.mkv"), ""},
        {"file://localhost" + at("local/b.mp4"), real("local/b.mp4"), ""},
        // A link out of the folders is refused, one into them followed.
        {at("local/link_in.mkv"), real("corpus/a.mkv"), ""},
        {at("corpus/link_out.mkv"), "", "refused: " + at("corpus/link_out.mkv") + " is no media file in the player's media folders"},
        {at("corpus/folder_out/secret.mkv"), "", "refused: " + at("corpus/folder_out/secret.mkv") + " is no media file in the player's media folders"},
        {at("corpus/../outside/secret.mkv"), "", "refused: " + at("corpus/../outside/secret.mkv") + " is no media file in the player's media folders"},
        {"file://" + at("corpus/%2E%2E/outside/secret.mkv"), "", "refused: file://" + at("corpus/%2E%2E/outside/secret.mkv") + " is no media file in the player's media folders"},
        // A folder whose name begins with a media folder's is another folder.
        {at("corpus2/next.mkv"), "", "refused: " + at("corpus2/next.mkv") + " is no media file in the player's media folders"},
        {at("corpus/sub"), "", "refused: " + at("corpus/sub") + " is no media file in the player's media folders"},
        {at("corpus/missing.mkv"), "", "refused: " + at("corpus/missing.mkv") + " is no media file in the player's media folders"},
        {"/etc/passwd", "", "refused: /etc/passwd is no media file in the player's media folders"},
        {"corpus/a.mkv", "", "refused: corpus/a.mkv is no absolute path"},
        {"http://example.com/a.mkv", "", "refused: only files can be opened, not http://example.com/a.mkv"},
        {"file://" + at("corpus/a.mkv%00.txt"), "", "refused: file://" + at("corpus/a.mkv%00.txt") + " is no readable file URI"},
        {"file://" + at("corpus/a.mkv%4"), "", "refused: file://" + at("corpus/a.mkv%4") + " is no readable file URI"},
        {at("corpus/a.mkv") + std::string(1, '\0') + ".txt", "", "refused: " + at("corpus/a.mkv") + std::string(1, '\0') + ".txt is no absolute path"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.uri);
        FakeTarget target;
        RemoteRequest request;
        request.command = REMOTE_PLAY_URI;
        request.command_name = "PlayUri";
        request.uri = c.uri;
        RemoteReply reply = dispatch_remote(request, target, folders_);
        EXPECT_EQ(reply.error, c.error);
        EXPECT_EQ(target.calls, c.opened.empty() ? std::vector<std::string>{} : std::vector<std::string>{"open " + c.opened});
        EXPECT_EQ(reply.with_state, !c.opened.empty());
    }
    // A file the player cannot play is no success either.
    FakeTarget target;
    target.open_fails = true;
    RemoteRequest request;
    request.command = REMOTE_OPEN;
    request.command_name = "Open";
    request.uri = at("corpus/a.mkv");
    EXPECT_EQ(dispatch_remote(request, target, folders_).error, "cannot play " + at("corpus/a.mkv"));
}

TEST(RemoteRequestTest, ReadsTheMembersItUnderstands) {
    struct Case {
        const char *json;
        std::optional<int64_t> position;
        std::optional<int> volume, audio, subtitle;
        std::optional<std::string> uri;
    } cases[] = {
        {R"({"Command":21,"Position":2000})", 2000, {}, {}, {}, {}},
        {R"({"Command":21,"Position":12.7})", 12, {}, {}, {}, {}},
        {R"({"Command":21,"Position":-5})", {}, {}, {}, {}, {}},
        {R"({"Command":21,"Position":"5"})", {}, {}, {}, {}, {}},
        {R"({"Command":27,"Volume":0.5})", {}, 500, {}, {}, {}},
        {R"({"Command":27,"Volume":-0.25})", {}, 0, {}, {}, {}},
        {R"({"Command":27,"Volume":true})", {}, {}, {}, {}, {}},
        {R"({"Command":26,"AudioTrack":{"DisplayName":"x","Index":1}})", {}, {}, 1, {}, {}},
        {R"({"Command":25,"SubtitleTrack":{"Index":-1}})", {}, {}, {}, -1, {}},
        {R"({"Command":26,"AudioTrack":1})", {}, {}, {}, {}, {}},
        {R"({"Command":30,"Uri":"/a b"})", {}, {}, {}, {}, "/a b"},
        {R"({"Command":30,"Uri":"/a\u0000b"})", {}, {}, {}, {}, std::string("/a\0b", 4)},
        {R"({"Command":30,"Uri":5})", {}, {}, {}, {}, {}},
        {"not json", {}, {}, {}, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        RemoteRequest request = read_remote_request(7, "Next", c.json);
        EXPECT_EQ(request.command, 7);
        EXPECT_EQ(request.command_name, "Next");
        EXPECT_EQ(request.position_ms, c.position);
        EXPECT_EQ(request.volume_permille, c.volume);
        EXPECT_EQ(request.audio_track, c.audio);
        EXPECT_EQ(request.subtitle_track, c.subtitle);
        EXPECT_EQ(request.uri, c.uri);
    }
}

TEST(RemotePairing, ReadsTheOfferAndTellsAnswersApart) {
    auto offer = read_pairing_offer(R"({"device_id":"p","secret_b64":"c2VjcmV0","code":"012345","expires":13441365827})");
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->code, "012345");
    EXPECT_EQ(offer->expires, 13441365827 - 11644473600);  // the library counts from 1601
    EXPECT_FALSE(read_pairing_offer(R"({"code":"012345"})"));
    EXPECT_FALSE(read_pairing_offer(R"({"code":12345,"expires":1})"));

    EXPECT_TRUE(is_pairing_answer(R"({"Command":"Ping","code":"012345","secret_b64":"c2VjcmV0","expires":1})"));
    EXPECT_FALSE(is_pairing_answer(R"({"Command":"Ping"})"));
    EXPECT_FALSE(is_pairing_answer(R"({"Command":"Ping","code":12345,"secret_b64":"c2VjcmV0"})"));
}

// The replies as the library's builder writes them.
class RemoteReplies : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        LibraryLoad load = load_library(REMOTE_LIBRARY);
        ASSERT_NE(load.handle, nullptr) << load.detail;
        ASSERT_EQ(bind_remote_host(load.handle, &oprc_), 0);
    }
    static std::string built(const RemoteReply &reply) {
        std::string json;
        EXPECT_TRUE(build_remote_reply(oprc_, reply, json));
        return json;
    }
    static RemoteHostBindings oprc_;
};
RemoteHostBindings RemoteReplies::oprc_;

TEST_F(RemoteReplies, CarryTheStateTracksAndRefusals) {
    RemoteReply refusal;
    refusal.command = 4;
    refusal.error = "Record is not supported by this player";
    EXPECT_EQ(built(refusal), R"({"Command":4,"Error":"Record is not supported by this player"})");

    RemoteReply idle;
    idle.command = REMOTE_STOP;
    idle.with_state = true;
    EXPECT_EQ(built(idle), R"({"Command":3,"State":0,"Position":0,"Volume":100,"IsMuted":false})");

    RemoteReply state;
    state.command = REMOTE_CURRENT_STATE;
    state.with_state = state.with_tracks = true;
    state.snapshot = {true, false, 65'123, 3'725'000, "a \"b\".mkv", 40, true, {{"English", "Commentary"}, 1},
                      {{"English"}, -1}};
    EXPECT_EQ(built(state),
              R"({"Command":19,"State":2,"Position":65123,"Volume":40,"IsMuted":true,"Item":{"Title":"a \"b\".mkv"},)"
              R"("Progress":{"Duration":"0.01:02:05.0000000","Current":"0.00:01:05.1230000","CurrentTime":"1:05",)"
              R"("RemainTime":"-1:00:59"},"AudioTracks":[{"DisplayName":"English","Index":0},)"
              R"({"DisplayName":"Commentary","Index":1}],"SubtitleTracks":[{"DisplayName":"English","Index":0}],)"
              R"("AudioTrack":{"DisplayName":"Commentary","Index":1},"SubtitleTrack":{"DisplayName":"Off","Index":-1}})");

    // Without tracks of a kind, no selection of that kind.
    state.snapshot.audio = {};
    state.snapshot.subtitles = {};
    EXPECT_EQ(built(state).find("Track"), std::string::npos);
}

// The view's side: "Pair remote" with and without a host, and the code leaving with its page.
class RemoteView : public ::testing::Test {
protected:
    void SetUp() override {
        log_set_echo({});
        dir_ = fs::temp_directory_path() / ("shell_remote_view_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "app/assets");
        fs::create_directories(dir_ / "local");
        fs::create_symlink(TEMPLATE_LIBRARY, dir_ / "app/orvellox-orvelloplayer-template-parse.so");
        fs::create_symlink(REMOTE_LIBRARY, dir_ / "app/orvellox-orvelloplayer-remote-control-protocol.so");
        // The pairing entry, and a folder to leave the first page by.
        std::string page = R"({"Settings": [{"Key": "Main", "Items": [
            {"Key": "Pair", "DisplayName": "Pair remote", "Type": "NativeHandlerAction", "DefaultValue": "110"},
            {"Key": "Folder", "Type": "SubPage", "Group": {"Key": "Folder", "Settings": [
              {"Key": "Inside", "Items": [{"Key": "Leaf"}]}]}}]}]})";
        std::string quoted = "\"";
        for (char c : page) {
            if (c == '\n') continue;
            if (c == '"') quoted += '\\';
            quoted += c;
        }
        std::ofstream(dir_ / "app/assets/runtimetemplatebundle.txt") << "{\"homepage.json\": " << quoted << "\"}";
        platform_.local_folder = (dir_ / "local").string();
    }
    void TearDown() override {
        if (app_) app_->OnExiting();
        fs::remove_all(dir_);
    }
    ShellView &launch(bool remote) {
        app_ = std::make_unique<ShellApp>(platform_, (dir_ / "app").string());
        if (remote) app_->EnableRemote("127.0.0.1", 0, false);
        app_->OnLaunched();
        return *app_->view();
    }
    std::u16string text_of(const char *name) {
        auto *block = dynamic_cast<TextBlock *>(FindByName(*app_->view()->root(), name));
        return block ? block->text : u"(none)";
    }
    // Runs posted work until `done`, for at most ten seconds.
    bool run_until(const std::function<bool()> &done) {
        for (int i = 0; i < 1000 && !done(); i++) {
            platform_.RunPosted();
            std::this_thread::sleep_for(10ms);
        }
        return done();
    }
    bool logged(const std::string &text) { return utf16_to_utf8(log_text()).find(text) != std::string::npos; }

    FakePlatform platform_;
    fs::path dir_;
    std::unique_ptr<ShellApp> app_;
};

TEST_F(RemoteView, PairRemoteShowsTheCodeUntilThePageIsLeft) {
    ShellView &view = launch(true);
    ASSERT_TRUE(run_until([&] { return view.remote() && view.remote()->bound_port() > 0; })) << utf16_to_utf8(log_text());
    ASSERT_TRUE(platform_.key_handler(13));  // confirm "Pair remote", the default focus
    ASSERT_TRUE(run_until([&] { return text_of("remote_pairing_code") != u"(none)"; })) << utf16_to_utf8(log_text());
    std::u16string code = text_of("remote_pairing_code");
    EXPECT_EQ(code.size(), 7u);
    EXPECT_EQ(code[3], u' ');
    std::optional<PairingOffer> offer = read_pairing_offer(utf16_to_utf8(text_of("remote_pairing_offer")));
    ASSERT_TRUE(offer);
    EXPECT_EQ(utf8_to_utf16(offer->code), code.substr(0, 3) + code.substr(4));
    // The offer's expiry, in local time.
    const time_t expires = time_t(offer->expires);
    tm local{};
    localtime_r(&expires, &local);
    char at[16];
    snprintf(at, sizeof at, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    EXPECT_NE(text_of("remote_pairing_expiry").find(u"It expires at " + utf8_to_utf16(at) + u" ("), std::u16string::npos)
        << utf16_to_utf8(text_of("remote_pairing_expiry"));
    EXPECT_NEAR(double(offer->expires - time(nullptr)), 300, 5);
    EXPECT_EQ(text_of("status"), u"pairing: enter the code on the remote");

    // Into the folder: the page, and the code with it, are gone; the next tick cancels the pairing.
    ASSERT_TRUE(platform_.key_handler(40));
    ASSERT_TRUE(platform_.key_handler(13));
    EXPECT_EQ(text_of("remote_pairing_code"), u"(none)");
    platform_.timer();
    EXPECT_TRUE(run_until([&] { return logged("remote control: pairing cancelled"); })) << utf16_to_utf8(log_text());
}

TEST_F(RemoteView, WithoutAHostTheEntrySaysRemoteControlIsOff) {
    ShellView &view = launch(false);
    EXPECT_EQ(view.remote(), nullptr);
    ASSERT_TRUE(platform_.key_handler(13));
    EXPECT_EQ(text_of("status"), u"remote control is off: start the player with --remote PORT");
    EXPECT_EQ(text_of("remote_pairing_code"), u"(none)");
}
