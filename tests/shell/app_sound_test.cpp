// `app` as installed, headless, with sound: whole files played through SDL's
// disk audio driver, their sample counts against FFmpeg's own decoding, over
// files whose sound and pictures come in very different proportions.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "run_files.h"

extern char **environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char *LIBRARIES[] = {"orvellox-orvelloplayer-template-parse.so",
                           "orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so"};

// Whole runs at the real rate on a loaded machine: generous.
constexpr auto RUN_LIMIT = 90s;

// A player installed in a folder of its own, playing one file to its end.
class SoundRun {
public:
    SoundRun(const std::string &name) {
        root_ = fs::temp_directory_path() / ("app_sound_test_" + std::to_string(getpid()) + "_" + name);
        fs::remove_all(root_);
        for (const char *sub : {"app/assets", "local", "temp"}) fs::create_directories(root_ / sub);
        for (const char *library : LIBRARIES) fs::create_symlink(fs::path(OUT_DIR) / library, root_ / "app" / library);
        fs::copy_file(fs::path(OUT_DIR) / "assets/runtimetemplatebundle.txt",
                      root_ / "app/assets/runtimetemplatebundle.txt");
        fs::create_directory_symlink(fs::path(OUT_DIR) / "assets/icons", root_ / "app/assets/icons");
    }
    ~SoundRun() {
        if (!::testing::Test::HasFailure()) fs::remove_all(root_);
    }
    fs::path path(const std::string &name) const { return root_ / name; }

    // Makes the media file with ffmpeg (`inputs` and `outputs` are its arguments around the file name).
    bool make(const std::string &arguments) const {
        std::string command = "ffmpeg -nostdin -v error -y " + arguments + " " + path("media.mkv").string();
        return std::system(command.c_str()) == 0;
    }
    // Samples per channel FFmpeg decodes from the file's first audio stream.
    long long ffmpeg_samples(int channels) const {
        std::string command = "ffmpeg -nostdin -v error -i " + path("media.mkv").string() + " -map 0:a:0 -f s16le -";
        FILE *pipe = popen(command.c_str(), "r");
        if (!pipe) return -1;
        long long bytes = 0;
        char buffer[65536];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) bytes += (long long)got;
        return pclose(pipe) == 0 ? bytes / (2 * channels) : -1;
    }

    // Plays the file with the disk audio driver until the pump has ended, then
    // ends the program as a window close would; whether that all happened in time.
    bool play() {
        std::ofstream(root_ / "local/play.txt") << path("media.mkv").string() << "\n";
        std::vector<std::string> arguments = {APP, "--headless", "--quiet", "--app-dir", path("app").string(),
                                              "--temp-dir", path("temp").string(), "--local-dir",
                                              path("local").string()};
        std::vector<std::string> variables = {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + path("played.raw").string()};
        for (char **variable = environ; *variable; variable++)
            if (std::string(*variable).rfind("SDL_", 0) != 0) variables.push_back(*variable);
        auto pointers = [](std::vector<std::string> &texts) {
            std::vector<char *> out;
            for (std::string &text : texts) out.push_back(text.data());
            out.push_back(nullptr);
            return out;
        };
        std::vector<char *> argv = pointers(arguments), envp = pointers(variables);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // The disk driver announces itself on stderr.
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        bool spawned = posix_spawn(&pid, APP, &actions, nullptr, argv.data(), envp.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
        if (!spawned) return false;
        // The pump flushes the log when it ends.
        auto deadline = std::chrono::steady_clock::now() + RUN_LIMIT;
        bool ended = false;
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100ms);
            log_ = utf8_of_utf16le(read_file(path("temp/xboxshell.log")));
            ended = log_.find("frames shown ") != std::string::npos;
        }
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        log_ = utf8_of_utf16le(read_file(path("temp/xboxshell.log")));
        return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    const std::string &log() const { return log_; }
    // The number after `prefix` on its log line, or -1.
    long long logged_number(const std::string &prefix) const {
        size_t at = log_.find(prefix);
        return at == std::string::npos ? -1 : std::atoll(log_.c_str() + at + prefix.size());
    }
    long long played_bytes() const { return fs::exists(path("played.raw")) ? (long long)fs::file_size(path("played.raw")) : -1; }

private:
    fs::path root_;
    std::string log_;
};

std::string tone(int rate, const std::string &layout, int channels, double seconds) {
    std::string expressions;
    for (int i = 0; i < channels; i++) expressions += (i ? "|" : "") + std::string("0.3*sin(2*PI*") + std::to_string(220 * (i + 1)) + "*t)";
    return "-f lavfi -i \"aevalsrc=" + expressions + ":s=" + std::to_string(rate) + ":c=" + layout +
           ":d=" + std::to_string(seconds) + "\"";
}

std::string picture(int rate, double seconds) {
    return "-f lavfi -i testsrc2=size=160x90:rate=" + std::to_string(rate) + ":duration=" + std::to_string(seconds);
}

}  // namespace

TEST(AppSound, EverySampleOfAWholeFileIsPlayedWhateverItsPacketsPerFrame) {
    struct Case {
        const char *name;
        std::string arguments;
        int channels;         // as FFmpeg decodes them
        int output_channels;  // as played
    } cases[] = {
        // About 1.5 sound packets per picture.
        {"aac_30fps", picture(30, 2) + " " + tone(48000, "stereo", 2, 2) + " -c:v libx264 -preset ultrafast -c:a aac", 2, 2},
        // 47 sound packets per picture: pulling one picture demuxes a second of sound.
        {"aac_1fps", picture(1, 3) + " " + tone(48000, "stereo", 2, 3) + " -c:v libx264 -preset ultrafast -g 1 -c:a aac", 2, 2},
        // Nine pictures per sound packet, at a rate far from the pictures'.
        {"mp3_8k_60fps", picture(60, 2) + " " + tone(8000, "mono", 1, 2) + " -c:v libx264 -preset ultrafast -c:a libmp3lame", 1, 1},
        // Sound alone, in six channels.
        {"flac_51_alone", tone(44100, "5.1", 6, 2) + " -c:a flac", 6, 6},
        // More channels than the output takes: the engine mixes down to stereo.
        {"pcm_16ch", picture(25, 2) + " " + tone(48000, "hexadecagonal", 16, 2) + " -c:v libx264 -preset ultrafast -c:a pcm_s16le", 16, 2},
    };
    std::vector<std::unique_ptr<SoundRun>> runs;
    for (const Case &c : cases) {
        runs.push_back(std::make_unique<SoundRun>(c.name));
        ASSERT_TRUE(runs.back()->make(c.arguments)) << c.name;
    }
    // Together, so the whole takes about as long as the longest file.
    std::vector<std::thread> players;
    std::vector<char> played(runs.size());
    for (size_t i = 0; i < runs.size(); i++) players.emplace_back([&, i] { played[i] = runs[i]->play(); });
    for (std::thread &player : players) player.join();
    for (size_t i = 0; i < runs.size(); i++) {
        const Case &c = cases[i];
        const SoundRun &run = *runs[i];
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(played[i]) << run.log();
        long long expected = run.ffmpeg_samples(c.channels);
        ASSERT_GT(expected, 0);
        EXPECT_EQ(run.logged_number("audio played: "), expected) << run.log();
        EXPECT_NE(run.log().find(" Hz, " + std::to_string(c.output_channels) + " channels\r\n"), std::string::npos)
            << run.log();
        // The driver wrote at least that much (and silence while nothing was queued).
        EXPECT_GE(run.played_bytes(), expected * 2 * c.output_channels);
    }
}
