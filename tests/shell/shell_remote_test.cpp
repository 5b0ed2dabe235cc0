// Remote control without a network: what every command does to a stand-in
// player and what it answers, the members read from a message, the media
// folders a remote may open files from, and the replies as the real library's
// builder writes them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "core/library_loader.h"
#include "core/remote_control.h"
#include "oprc.h"

using namespace shell;
namespace fs = std::filesystem;

namespace {

// Records what the commands do; playing and pausing flip the state as the player does.
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
    void Stop() override {
        calls.push_back("stop");
        state = {};
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
    return command == REMOTE_OPEN ? "Open" : command == REMOTE_PLAY_URI ? "PlayUri" : "Command" + std::to_string(command);
}

enum class Start { Idle, Playing, Paused };

PlayerSnapshot snapshot(Start start) {
    PlayerSnapshot state;
    state.media_open = start != Start::Idle;
    state.playing = start == Start::Playing;
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
        std::vector<std::string> calls;
        std::string error;  // empty: acted on, the reply carries the state
        bool tracks = false;
    } cases[] = {
        {REMOTE_TOGGLE_PLAY_PAUSE, Start::Playing, {"toggle"}, ""},
        {REMOTE_TOGGLE_PLAY_PAUSE, Start::Paused, {"toggle"}, ""},
        {REMOTE_TOGGLE_PLAY_PAUSE, Start::Idle, {}, "nothing is playing"},
        {REMOTE_PLAY, Start::Paused, {"toggle"}, ""},
        {REMOTE_PLAY, Start::Playing, {}, ""},
        {REMOTE_PLAY, Start::Idle, {}, "nothing is playing"},
        {REMOTE_PAUSE, Start::Playing, {"toggle"}, ""},
        {REMOTE_PAUSE, Start::Paused, {}, ""},
        {REMOTE_STOP, Start::Paused, {"stop"}, ""},
        {REMOTE_STOP, Start::Idle, {}, "nothing is playing"},
        {REMOTE_GO_BACK, Start::Idle, {"back"}, ""},
        {REMOTE_GO_BACK, Start::Playing, {"back"}, ""},
        {REMOTE_PING, Start::Idle, {}, ""},
        {REMOTE_CURRENT_STATE, Start::Playing, {}, "", true},
        {REMOTE_PROGRESS, Start::Paused, {}, ""},
        {REMOTE_OPEN, Start::Idle, {}, "Open needs a Uri"},
        {REMOTE_PLAY_URI, Start::Idle, {}, "PlayUri needs a Uri"},
    };
    std::set<int> handled;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        handled.insert(c.command);
        FakeTarget target;
        target.state = snapshot(c.start);
        RemoteRequest request;
        request.command = c.command;
        request.command_name = name_of(c.command);
        RemoteReply reply = dispatch_remote(request, target, {});
        EXPECT_EQ(reply.command, c.command);
        EXPECT_EQ(target.calls, c.calls);
        EXPECT_EQ(reply.error, c.error);
        EXPECT_EQ(reply.with_state, c.error.empty());
        EXPECT_EQ(reply.with_tracks, c.tracks);
        if (reply.with_state) {
            EXPECT_EQ(reply.snapshot.playing, target.state.playing);
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
