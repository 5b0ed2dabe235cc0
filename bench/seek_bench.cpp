// Seek latency of the playback engine: oppb_seek and oppb_seek_fast, each
// followed by the first decoded video frame, at 20 random targets of the
// 1080p H.264 benchmark file, against `ffmpeg -ss T -i FILE -frames:v 1`
// minus the same command's start-up (`-frames:v 0`), measured in the same run.
// Then the cost of subtitle pulls on the same pictures with a SubRip track
// muxed in, against a plain demux of the whole file.
// Usage: seek_bench [FILE]   (default: the 1080p benchmark file, generated
// with tools/make_test_media.sh --bench on first use)
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "oppb.h"

extern char **environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

static bool spawn(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    int status = 0;
    return posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 &&
           waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Seconds the command line takes to seek to `t` and deliver `frames` video frames.
static double cli_seconds(const std::string &file, double t, int frames, int threads) {
    const auto start = Clock::now();
    if (!spawn({"ffmpeg", "-nostdin", "-v", "error", "-threads", std::to_string(threads), "-ss", std::to_string(t),
                "-i", file, "-map", "0:v", "-frames:v", std::to_string(frames), "-f", "null", "-"})) {
        std::fprintf(stderr, "ffmpeg failed on %s\n", file.c_str());
        std::exit(1);
    }
    return seconds_since(start);
}

static oppb_engine *open_or_die(const std::string &file, int threads) {
    const std::string config = "{\"video\":{\"max_decoder_threads\":" + std::to_string(threads) + "}}";
    oppb_engine *e = oppb_open_path(file.c_str(), config.c_str());
    if (!e) {
        std::fprintf(stderr, "%s: cannot open\n", file.c_str());
        std::exit(1);
    }
    return e;
}

// Seek plus the first video frame after it, in seconds.
static double engine_seconds(oppb_engine *e, double t, bool fast) {
    const int video = oppb_stream_selected(e, "video");
    oppb_sample s;
    int64_t landed = 0;
    const auto start = Clock::now();
    const int r = fast ? oppb_seek_fast(e, int64_t(t * double(OPPB_TICKS_PER_SECOND)), &landed)
                       : oppb_seek(e, int64_t(t * double(OPPB_TICKS_PER_SECOND)), &landed);
    if (r != OPPB_OK || oppb_next_sample(e, video, &s) != OPPB_OK) {
        std::fprintf(stderr, "seek to %.3f s failed: %s\n", t, oppb_last_error(e));
        std::exit(1);
    }
    return seconds_since(start);
}

// The benchmark file with a SubRip track of one cue every two seconds.
static std::string with_subtitles(const std::string &file, double duration) {
    const fs::path out = fs::path(file).parent_path() / (fs::path(file).stem().string() + "_subs.mkv");
    if (fs::exists(out)) return out.string();
    const fs::path srt = fs::path(file).parent_path() / "bench_cues.srt";
    {
        std::ofstream text(srt);
        for (int i = 0; 2 * i + 1.5 < duration; i++)
            text << i + 1 << "\n00:00:" << (2 * i < 10 ? "0" : "") << 2 * i << ",500 --> 00:00:"
                 << (2 * i + 1 < 10 ? "0" : "") << 2 * i + 1 << ",500\nCue " << i + 1 << "\n\n";
    }
    if (!spawn({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", file, "-i", srt.string(), "-map", "0", "-map", "1",
                "-c", "copy", out.string()})) {
        std::fprintf(stderr, "muxing subtitles failed\n");
        std::exit(1);
    }
    return out.string();
}

// A plain demux of the whole file with FFmpeg: open, probe, read every packet.
static double demux_seconds(const std::string &file, long *packets) {
    const auto start = Clock::now();
    AVFormatContext *f = nullptr;
    if (avformat_open_input(&f, file.c_str(), nullptr, nullptr) < 0 || avformat_find_stream_info(f, nullptr) < 0)
        std::exit(1);
    AVPacket *pkt = av_packet_alloc();
    *packets = 0;
    while (av_read_frame(f, pkt) >= 0) {
        ++*packets;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&f);
    return seconds_since(start);
}

int main(int argc, char **argv) {
    std::string file = argc > 1 ? argv[1] : "";
    if (file.empty()) {
        const fs::path dir = ORVELLO_BENCH_MEDIA;
        file = (dir / "bench_h264_1080p30.mkv").string();
        if (!fs::exists(file)) {
            std::printf("generating the benchmark files into %s ...\n", dir.c_str());
            const std::string cmd = std::string(ORVELLO_SOURCE_DIR) + "/tools/make_test_media.sh --bench '" +
                                    dir.string() + "'";
            if (std::system(cmd.c_str()) != 0) return 1;
        }
    }
    const int threads = int(std::thread::hardware_concurrency());
    oppb_engine *plain = open_or_die(file, threads), *fast = open_or_die(file, threads);
    const double duration = double(oppb_duration_ticks(plain)) / double(OPPB_TICKS_PER_SECOND);
    std::printf("%s: %.1f s, threads %d\n", fs::path(file).filename().c_str(), duration, threads);

    // Targets from a fixed linear congruential sequence, within the file.
    uint32_t state = 12345;
    std::vector<double> targets;
    for (int i = 0; i < 20; i++) {
        state = state * 1664525u + 1013904223u;
        targets.push_back(0.5 + (duration - 1.5) * double(state >> 8) / double(1u << 24));
    }
    std::vector<double> engine_plain, engine_fast, cli;
    for (double t : targets) {
        engine_plain.push_back(engine_seconds(plain, t, false));
        engine_fast.push_back(engine_seconds(fast, t, true));
        cli.push_back(std::max(0.0, cli_seconds(file, t, 1, threads) - cli_seconds(file, t, 0, threads)));
    }
    oppb_close(plain);
    oppb_close(fast);
    const double cli_ms = median(cli) * 1e3;
    std::printf("seek + first frame, median of %zu targets:\n", targets.size());
    std::printf("  ffmpeg -ss (minus start-up) %8.2f ms\n", cli_ms);
    std::printf("  oppb_seek                   %8.2f ms  %.3fx CLI\n", median(engine_plain) * 1e3,
                median(engine_plain) * 1e3 / cli_ms);
    std::printf("  oppb_seek_fast              %8.2f ms  %.3fx CLI\n", median(engine_fast) * 1e3,
                median(engine_fast) * 1e3 / cli_ms);

    // Subtitle pulls: a handle with its default selection reads through the
    // video and audio packets up to each cue.
    const std::string subs = with_subtitles(file, duration);
    long packets = 0;
    const double demux = demux_seconds(subs, &packets);
    const auto start = Clock::now();
    oppb_engine *e = open_or_die(subs, threads);
    oppb_set_subtitle_index(e, 0, oppb_av_subtitle_track(e, 0, "index"));
    oppb_cue cue;
    int cues = 0;
    while (oppb_next_subtitle(e, -1, &cue) == OPPB_OK) cues++;
    const double pulls = seconds_since(start);
    oppb_close(e);
    std::printf("subtitle pulls: %d cues in %.2f ms (%.3f ms per cue), plain demux of the file (%ld packets) "
                "%.2f ms: %.3fx\n",
                cues, pulls * 1e3, pulls * 1e3 / std::max(cues, 1), packets, demux * 1e3, pulls / demux);
    return 0;
}
