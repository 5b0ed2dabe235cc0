// Decode throughput of the playback engine through oppb_next_sample against
// the ffmpeg command line decoding the same file to NV12 with the same thread
// count, measured in the same run; peak RSS of both, and the engine's RSS
// after warm-up against its end (flat means no growth over the file).
// Usage: playback_bench [FILE...]   (default: the 1080p benchmark files,
// generated with tools/make_test_media.sh --bench on first use)
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "oppb.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

static long rss_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Run {
    long frames = 0;
    double seconds = 0;
    long rss_warm = 0, rss_end = 0;
};

// Pulls the video stream (and, when `with_audio`, the audio stream in turn) to the end.
static Run engine_run(const std::string &file, int threads, bool with_audio) {
    const std::string config = "{\"video\":{\"max_decoder_threads\":" + std::to_string(threads) +
                               ",\"output_allow_10bit\":false}}";
    Run r;
    const auto start = Clock::now();
    oppb_engine *e = oppb_open_path(file.c_str(), config.c_str());
    if (!e) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), "cannot open");
        std::exit(1);
    }
    const int video = oppb_stream_selected(e, "video"), audio = oppb_stream_selected(e, "audio");
    bool video_done = false, audio_done = !with_audio || audio < 0;
    oppb_sample s;
    while (!video_done || !audio_done) {
        if (!video_done) {
            if (oppb_next_sample(e, video, &s) == OPPB_OK) {
                if (++r.frames == 60) r.rss_warm = rss_kib();
            } else {
                video_done = true;
            }
        }
        if (!audio_done && oppb_next_sample(e, audio, &s) != OPPB_OK) audio_done = true;
    }
    r.seconds = seconds_since(start);
    r.rss_end = rss_kib();
    oppb_close(e);
    return r;
}

static double cli_seconds(const std::string &file, int threads, long *peak_kib) {
    const std::string cmd = "ffmpeg -nostdin -v error -threads " + std::to_string(threads) + " -i '" + file +
                            "' -map 0:v -pix_fmt nv12 -f null -";
    const auto start = Clock::now();
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg failed on %s\n", file.c_str());
        std::exit(1);
    }
    const double seconds = seconds_since(start);
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    *peak_kib = ru.ru_maxrss;
    return seconds;
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
    for (const std::string &file : files) {
        long cli_peak = 0;
        const double cli = cli_seconds(file, threads, &cli_peak);
        const Run video = engine_run(file, threads, false);
        const Run both = engine_run(file, threads, true);
        const double cli_fps = double(video.frames) / cli;
        const double fps = double(video.frames) / video.seconds, fps_both = double(both.frames) / both.seconds;
        rusage self{};
        getrusage(RUSAGE_SELF, &self);
        std::printf("%s: %ld frames\n", fs::path(file).filename().c_str(), video.frames);
        std::printf("  ffmpeg CLI      %8.1f fps\n", cli_fps);
        std::printf("  engine video    %8.1f fps  %.3fx CLI\n", fps, fps / cli_fps);
        std::printf("  engine + audio  %8.1f fps  %.3fx CLI\n", fps_both, fps_both / cli_fps);
        std::printf("  RSS after 60 frames %ld KiB, at the end %ld KiB (video only); %ld / %ld KiB (with audio)\n",
                    video.rss_warm, video.rss_end, both.rss_warm, both.rss_end);
        std::printf("  peak RSS engine process %ld KiB, CLI %ld KiB\n", long(self.ru_maxrss), cli_peak);
    }
    return 0;
}
