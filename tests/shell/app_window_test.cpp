// `app` in a real window: an X server of its own (Xvfb) and the SDL window, not
// the headless renderer; sound goes to SDL's null audio driver. One scripted
// session: start-up on the first page, navigation, a sample played from the
// sample media page, a seek back to its start, and the way back; its
// screenshots and trees are checked as the headless runs' are. Without Xvfb the test is skipped, unless
// ORVELLO_REQUIRE_WINDOW or CI is set: then it fails.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "app_install.h"

using namespace app_install;

extern char **environ;

namespace {

constexpr std::array<int, 3> ACCENT{0, 214, 214};
constexpr std::array<int, 3> BACKGROUND{12, 14, 18};
// Large enough that the window, at most 95 % of the screen, opens at 1920 x 1080.
constexpr const char *SCREEN = "2048x1152x24";
// Generous: a loaded machine starts the server in well under a second.
constexpr int STARTUP_LIMIT_MS = 30'000;

bool window_required() {
    for (const char *variable : {"ORVELLO_REQUIRE_WINDOW", "CI"}) {
        const char *value = getenv(variable);
        if (value && *value && std::string(value) != "0" && std::string(value) != "false") return true;
    }
    return false;
}

std::string find_xvfb() {
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        fs::path candidate = fs::path(dirs.substr(start, end - start)) / "Xvfb";
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return "";
}

// An X server on a display it picks itself, for as long as the object lives.
class XServer {
public:
    // Empty `display()` and the reason in `failure()` when it could not start.
    XServer() {
        std::string xvfb = find_xvfb();
        if (xvfb.empty()) {
            failure_ = "Xvfb is not installed (dev/setup installs it)";
            return;
        }
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
            failure_ = "pipe failed";
            return;
        }
        // The server writes its display number to this descriptor once it accepts clients.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args{xvfb, "-displayfd", "3", "-screen", "0", SCREEN, "-nolisten", "tcp"};
        std::vector<char *> argv;
        for (std::string &arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int spawned = posix_spawn(&pid_, xvfb.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipe_fds[1]);
        if (spawned != 0) {
            close(pipe_fds[0]);
            pid_ = -1;
            failure_ = "cannot run " + xvfb;
            return;
        }
        // Read until the line ends, or the server gives up (closing the pipe as it exits) or stays silent.
        std::string number;
        pollfd ready{pipe_fds[0], POLLIN, 0};
        char c;
        while (poll(&ready, 1, STARTUP_LIMIT_MS) == 1 && read(pipe_fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(pipe_fds[0]);
        if (number.empty()) {
            failure_ = xvfb + " did not start";
            return;
        }
        display_ = ":" + number;
    }
    ~XServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;
    const std::string &display() const { return display_; }
    const std::string &failure() const { return failure_; }

private:
    pid_t pid_ = -1;
    std::string display_;
    std::string failure_;
};

}  // namespace

TEST(AppWindow, AScriptedSessionInARealWindow) {
    XServer server;
    if (server.display().empty()) {
        if (window_required()) FAIL() << "no X server for the window session: " << server.failure();
        GTEST_SKIP() << server.failure();
    }
    Installation install("window", true, true);
    install.use_display(server.display());
    // No file to play at start: the first page stays on screen.
    install.play_txt("/nowhere/not_a_sample.mkv\n");
    int status = install.run(
        "wait 300\nshot @page.png\ntree @page.json\n"
        "key 40\nkey 40\nwait 100\nshot @moved.png\ntree @moved.json\n"
        "key 36\nkey 13\nwait 100\ntree @samples.json\n"
        "key 13\nbeats 3\nshot @playing.png\ntree @playing.json\n"
        "key 82\nwait 400\nshot @seeked.png\ntree @seeked.json\n"
        "key 27\nwait 100\nkey 8\nwait 100\nshot @back.png\ntree @back.json\nquit\n",
        "--exit-after 60000", /*paced=*/true);
    ASSERT_EQ(status, 0) << install.log();
    EXPECT_NE(install.log().find("window: x11 video, 1920x1080, "), std::string::npos) << install.log();
    EXPECT_TRUE(install.logged("play target unreadable: " + install.app().string() + "/corpus/not_a_sample.mkv"))
        << install.log();

    // The first page, drawn where its tree says.
    Tree page(install.path("page.json"));
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page.text("page_title"), "settings.json");
    EXPECT_EQ(page.labels().size(), 25u);
    EXPECT_EQ(page.focused(), 2);
    Shot page_shot(install.path("page.png"));
    ASSERT_TRUE(page_shot.ok());
    EXPECT_TRUE(page_shot.shows(page.rect("title"), ACCENT));
    auto focused = page.rect("tile[2]");
    EXPECT_EQ(page_shot.pixel(focused[0] + 1, focused[1] + focused[3] / 2), ACCENT);
    EXPECT_EQ(page_shot.pixel(0, 0), BACKGROUND);
    EXPECT_EQ(page.text("focus_subtitle"), "Starts the next file in the folder when one ends");

    // Two steps down: the highlight moved on screen too.
    Tree moved(install.path("moved.json"));
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(moved.focused(), 4);
    EXPECT_TRUE(install.logged("key 40 -> action nav_down -> rc=0 focus=4")) << install.log();
    Shot moved_shot(install.path("moved.png"));
    ASSERT_TRUE(moved_shot.ok());
    auto now_focused = moved.rect("tile[4]"), left = moved.rect("tile[2]");
    EXPECT_EQ(moved_shot.pixel(now_focused[0] + 1, now_focused[1] + now_focused[3] / 2), ACCENT);
    EXPECT_NE(moved_shot.pixel(left[0] + 1, left[1] + left[3] / 2), ACCENT);

    // Home, then the sample media page, then its first sample.
    Tree samples(install.path("samples.json"));
    ASSERT_TRUE(samples.ok());
    EXPECT_EQ(samples.labels().at(0), "Chapters and subtitles");
    EXPECT_TRUE(install.logged("PlayPath " + install.app().string() + "/corpus/mkv_chapters_subs.mkv"))
        << install.log();
    Tree playing(install.path("playing.json"));
    ASSERT_TRUE(playing.ok());
    EXPECT_TRUE(playing.visible("video"));
    EXPECT_EQ(playing.text("status").rfind("playing  ", 0), 0u) << playing.text("status");
    Shot playing_shot(install.path("playing.png"));
    ASSERT_TRUE(playing_shot.ok());
    EXPECT_GT(playing_shot.colours(playing.rect("video_image")), 8u);
    // Sound through the null driver, the pictures paced by it.
    EXPECT_TRUE(install.logged_in_order({"audio output: ", "audio played: "})) << install.log();
    EXPECT_EQ(install.log().find("video runs on the system clock"), std::string::npos) << install.log();

    // Back by the skip interval, to the start: a seek, and the progress bar on screen.
    EXPECT_TRUE(install.logged_in_order({"key 82 -> transport rewind\r\n", "seek 0 -> rc=0 landed=0\r\n"}))
        << install.log();
    Tree seeked(install.path("seeked.json"));
    ASSERT_TRUE(seeked.ok());
    EXPECT_TRUE(seeked.visible("progress"));
    EXPECT_EQ(seeked.text("progress_caption"), "Chapter 1/3  Opening");
    Shot seeked_shot(install.path("seeked.png"));
    ASSERT_TRUE(seeked_shot.ok());
    EXPECT_TRUE(seeked_shot.shows(seeked.rect("progress_position"), {244, 246, 250}));
    EXPECT_GT(seeked_shot.colours(seeked.rect("video_image")), 8u);

    // Stopped and back on the first page, focus restored.
    EXPECT_TRUE(install.logged_in_order({"status: stopped\r\n", "restore path SampleMediaFolder -> 0\r\n"}))
        << install.log();
    Tree back(install.path("back.json"));
    ASSERT_TRUE(back.ok());
    EXPECT_FALSE(back.visible("video"));
    EXPECT_EQ(back.focused(), 0);
    Shot back_shot(install.path("back.png"));
    ASSERT_TRUE(back_shot.ok());
    auto restored = back.rect("tile[0]");
    EXPECT_EQ(back_shot.pixel(restored[0] + 1, restored[1] + restored[3] / 2), ACCENT);
}
