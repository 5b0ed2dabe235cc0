// Decode throughput of the playback engine through oppb_next_sample against
// the ffmpeg command line decoding the same file to NV12 with the same thread
// count, measured in the same run; the peak RSS of each run, and the engine's
// RSS sampled at regular frame intervals after warm-up (flat means that
// nothing accumulates per frame).
// Usage: playback_bench [FILE...]   (default: the 1080p benchmark files,
// generated with tools/make_test_media.sh --bench on first use)
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "oppb.h"

extern char **environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Frames decoded before the first RSS sample (decoder pools and the picture
// pool reach their steady size), and frames between samples.
constexpr long WARM_UP_FRAMES = 60;
constexpr long SAMPLE_EVERY = 60;

static double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A "Vm...:" line of /proc/self/status in KiB.
static long status_kib(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

// Lets the next VmHWM reading show the peak of one run rather than of the process.
static bool reset_peak_rss() { return bool(std::ofstream("/proc/self/clear_refs") << "5" << std::flush); }

struct RssSample {
    long frame, kib;
};

struct Run {
    long frames = 0;
    double seconds = 0;
    long rss_before_open = 0, peak = 0;
    std::vector<RssSample> samples;  // after warm-up, then at the end
};

// Pulls the video stream (and, when `with_audio`, the audio stream in turn) to the end.
static Run engine_run(const std::string &file, int threads, bool with_audio) {
    const std::string config = "{\"video\":{\"max_decoder_threads\":" + std::to_string(threads) +
                               ",\"output_allow_10bit\":false}}";
    Run r;
    reset_peak_rss();
    r.rss_before_open = status_kib("VmRSS:");
    const auto start = Clock::now();
    oppb_engine *e = oppb_open_path(file.c_str(), config.c_str());
    if (!e) {
        std::fprintf(stderr, "%s: cannot open\n", file.c_str());
        std::exit(1);
    }
    const int video = oppb_stream_selected(e, "video"), audio = oppb_stream_selected(e, "audio");
    bool video_done = false, audio_done = !with_audio || audio < 0;
    oppb_sample s;
    while (!video_done || !audio_done) {
        if (!video_done) {
            if (oppb_next_sample(e, video, &s) == OPPB_OK) {
                if (++r.frames >= WARM_UP_FRAMES && (r.frames - WARM_UP_FRAMES) % SAMPLE_EVERY == 0)
                    r.samples.push_back({r.frames, status_kib("VmRSS:")});
            } else {
                video_done = true;
            }
        }
        if (!audio_done && oppb_next_sample(e, audio, &s) != OPPB_OK) audio_done = true;
    }
    r.seconds = seconds_since(start);
    if (r.samples.empty() || r.samples.back().frame != r.frames) r.samples.push_back({r.frames, status_kib("VmRSS:")});
    r.peak = status_kib("VmHWM:");
    oppb_close(e);
    // Hands back what the allocator kept of the run, so the next run starts
    // from the process's own footprint (library code and tables).
    malloc_trim(0);
    return r;
}

// Runs the command line as a child of its own, so wait4 reports the peak RSS
// of this run alone (RUSAGE_CHILDREN keeps the largest child of all).
static double cli_seconds(const std::string &file, int threads, long *peak_kib) {
    const std::string thread_text = std::to_string(threads);
    const char *argv[] = {"ffmpeg", "-nostdin", "-v",       "error", "-threads", thread_text.c_str(),
                          "-i",     file.c_str(), "-map",   "0:v",   "-pix_fmt", "nv12",
                          "-f",     "null",       "-",      nullptr};
    const auto start = Clock::now();
    pid_t pid;
    int status = 0;
    rusage ru{};
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, const_cast<char **>(argv), environ) != 0 ||
        wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "ffmpeg failed on %s\n", file.c_str());
        std::exit(1);
    }
    *peak_kib = ru.ru_maxrss;
    return seconds_since(start);
}

static void print_rss(const char *label, const Run &r) {
    std::printf("  RSS %s, KiB at frame:", label);
    for (const RssSample &s : r.samples) std::printf(" %ld:%ld", s.frame, s.kib);
    const long first = r.samples.front().kib, last = r.samples.back().kib;
    long highest = first;
    for (const RssSample &s : r.samples) highest = std::max(highest, s.kib);
    // Growth per frame shows as a rise over the second half as well.
    const RssSample &middle = r.samples[r.samples.size() / 2];
    std::printf("\n    growth after warm-up %+ld KiB (highest %+ld), over the second half (frames %ld-%ld) %+ld KiB\n",
                last - first, highest - first, middle.frame, r.samples.back().frame, last - middle.kib);
}

int main(int argc, char **argv) {
    std::vector<std::string> files(argv + 1, argv + argc);
    if (files.empty()) {
        const fs::path dir = ORVELLO_BENCH_MEDIA;
        const fs::path h264 = dir / "bench_h264_1080p30.mkv", hevc = dir / "bench_hevc_main10_1080p30.mkv";
        if (!fs::exists(h264) || !fs::exists(hevc)) {
            std::printf("generating the benchmark files into %s ...\n", dir.c_str());
            const std::string cmd = std::string(ORVELLO_SOURCE_DIR) + "/tools/make_test_media.sh --bench '" +
                                    dir.string() + "'";
            if (std::system(cmd.c_str()) != 0) return 1;
        }
        files = {h264.string(), hevc.string()};
    }
    const int threads = int(std::thread::hardware_concurrency());
    std::printf("threads %d\n", threads);
    if (!reset_peak_rss()) std::printf("(peak RSS cannot be reset here: engine peaks are of the whole process)\n");
    for (const std::string &file : files) {
        long cli_peak = 0;
        const double cli = cli_seconds(file, threads, &cli_peak);
        const Run video = engine_run(file, threads, false);
        const Run both = engine_run(file, threads, true);
        const double cli_fps = double(video.frames) / cli;
        const double fps = double(video.frames) / video.seconds, fps_both = double(both.frames) / both.seconds;
        std::printf("%s: %ld frames\n", fs::path(file).filename().c_str(), video.frames);
        std::printf("  ffmpeg CLI      %8.1f fps                peak RSS %7ld KiB\n", cli_fps, cli_peak);
        std::printf("  engine video    %8.1f fps  %.3fx CLI    peak RSS %7ld KiB  %.2fx CLI (%ld KiB before open)\n",
                    fps, fps / cli_fps, video.peak, double(video.peak) / double(cli_peak), video.rss_before_open);
        std::printf("  engine + audio  %8.1f fps  %.3fx CLI    peak RSS %7ld KiB  %.2fx CLI (%ld KiB before open)\n",
                    fps_both, fps_both / cli_fps, both.peak, double(both.peak) / double(cli_peak),
                    both.rss_before_open);
        print_rss("video only", video);
        print_rss("with audio", both);
    }
    return 0;
}
