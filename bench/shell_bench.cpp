// The shell's two speed targets, each against a reference measured in the
// same run:
// - convert_frame_to_bgra on 1080p NV12 and YUV420P frames against
//   libswscale's conversion of the same frames to BGRA (goal: at most half
//   of swscale's time);
// - start-up of `app`, headless, to its first page (a script whose first
//   step quits), against `ffmpeg -version`; both load Debian's FFmpeg
//   libraries (goal: at most 1.5 times).
// Usage: shell_bench [convert|startup]   (both by default)
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fcntl.h>

#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "core/frame_convert.h"

extern char **environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int WIDTH = 1920, HEIGHT = 1080;

double best_ms(int rounds, const std::function<void()> &work) {
    double best = 1e9;
    for (int i = 0; i < rounds; i++) {
        auto start = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

bool convert_benchmark() {
    std::mt19937 random(7);
    std::vector<uint8_t> luma(size_t(WIDTH) * HEIGHT), chroma(size_t(WIDTH) * HEIGHT / 2);
    for (auto &b : luma) b = uint8_t(random());
    for (auto &b : chroma) b = uint8_t(random());
    std::vector<uint8_t> ours(shell::bgra_size(WIDTH, HEIGHT)), theirs(ours.size());
    struct Format {
        const char *name;
        int32_t ours;
        AVPixelFormat theirs;
    } formats[] = {{"NV12", shell::PIX_NV12, AV_PIX_FMT_NV12}, {"YUV420P", shell::PIX_YUV420P, AV_PIX_FMT_YUV420P}};
    bool met = true;
    printf("convert 1920x1080 to BGRA, best of 30 (ms per frame); the goal is against swscale's NV12\n");
    double reference = 0;
    for (const Format &f : formats) {
        const uint8_t *planes[3] = {luma.data(), chroma.data(),
                                    f.ours == shell::PIX_NV12 ? nullptr : chroma.data() + WIDTH / 2 * HEIGHT / 2};
        int strides[3] = {WIDTH, f.ours == shell::PIX_NV12 ? WIDTH : WIDTH / 2,
                          f.ours == shell::PIX_NV12 ? 0 : WIDTH / 2};
        shell::FrameView view{{planes[0], planes[1], planes[2]}, {strides[0], strides[1], strides[2]}, WIDTH, HEIGHT,
                              f.ours};
        SwsContext *sws = sws_getContext(WIDTH, HEIGHT, f.theirs, WIDTH, HEIGHT, AV_PIX_FMT_BGRA, SWS_POINT, nullptr,
                                         nullptr, nullptr);
        if (!sws) {
            fprintf(stderr, "sws_getContext failed\n");
            return false;
        }
        uint8_t *out[4] = {theirs.data(), nullptr, nullptr, nullptr};
        int out_strides[4] = {WIDTH * 4, 0, 0, 0};
        double swscale = best_ms(30, [&] { sws_scale(sws, planes, strides, 0, HEIGHT, out, out_strides); });
        double converted = best_ms(30, [&] { shell::convert_frame_to_bgra(&view, ours.data(), ours.size()); });
        sws_freeContext(sws);
        if (f.ours == shell::PIX_NV12) reference = swscale;
        double ratio = converted / reference;
        printf("  %-8s convert_frame_to_bgra %6.2f   swscale %6.2f   ratio to swscale NV12 %.2f (goal <= 0.50)\n",
               f.name, converted, swscale, ratio);
        met = met && ratio <= 0.5;
    }
    return met;
}

// Milliseconds from spawning the program to its exit.
double run_ms(const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    for (const std::string &a : arguments) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    auto start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median_ms(int rounds, const std::vector<std::string> &arguments) {
    std::vector<double> times;
    for (int i = 0; i < rounds; i++) {
        double ms = run_ms(arguments);
        if (ms < 0) return -1;
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

bool startup_benchmark() {
    fs::path work = fs::temp_directory_path() / ("shell_bench_" + std::to_string(getpid()));
    fs::create_directories(work / "local");
    std::ofstream(work / "quit.txt") << "quit\n";
    // The installed player: its first page, then the packaged sample opened and its pump started.
    std::vector<std::string> app = {APP, "--headless", "--quiet", "--temp-dir", work.string(), "--local-dir",
                                    (work / "local").string(), "--script", (work / "quit.txt").string()};
    std::vector<std::string> ffmpeg = {"ffmpeg", "-version"};
    median_ms(2, app);  // warm the page cache for both
    median_ms(2, ffmpeg);
    double app_ms = median_ms(15, app), ffmpeg_ms = median_ms(15, ffmpeg);
    fs::remove_all(work);
    if (app_ms < 0 || ffmpeg_ms < 0) {
        fprintf(stderr, "start-up: a run failed\n");
        return false;
    }
    double ratio = app_ms / ffmpeg_ms;
    printf("start-up, median of 15 (ms)\n  app to its first page %6.1f   ffmpeg -version %6.1f   ratio %.2f (goal <= 1.50)\n",
           app_ms, ffmpeg_ms, ratio);
    return ratio <= 1.5;
}

}  // namespace

int main(int argc, char **argv) {
    std::string only = argc > 1 ? argv[1] : "";
    bool met = true;
    if (only.empty() || only == "convert") met = convert_benchmark() && met;
    if (only.empty() || only == "startup") met = startup_benchmark() && met;
    return met ? 0 : 1;
}
