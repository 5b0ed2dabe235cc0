// Paced playback of a minute of 1080p30 H.264 with AAC sound: `app`, headless,
// plays the file through SDL's dummy audio driver (which consumes sound at the
// real rate) and its log gives the figures printed here:
// - A/V drift: the presented frame's time minus the sound clock at the
//   display refresh that showed it (goal: within ±40 ms throughout);
// - frames dropped as late (goal: none).
// The file comes from `tools/make_test_media.sh --bench`.
// Usage: pacing_bench [FILE]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

// Long enough for the whole file and the start-up around it.
constexpr int RUN_LIMIT_MS = 75'000;

std::string read_log(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::string text;  // the log is UTF-16LE; its figures are ASCII
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += bytes[i + 1] ? '?' : bytes[i];
    return text;
}

// The number after `label` in the log, or -1.
long long number_after(const std::string &log, const std::string &label, size_t from = 0) {
    size_t at = log.find(label, from);
    return at == std::string::npos ? -1 : std::atoll(log.c_str() + at + label.size());
}

}  // namespace

int main(int argc, char **argv) {
    fs::path file = argc > 1 ? fs::path(argv[1]) : fs::path(ORVELLO_BENCH_MEDIA) / "bench_h264_aac_1080p30_60s.mkv";
    if (!fs::exists(file)) {
        fprintf(stderr, "pacing_bench: %s missing: run tools/make_test_media.sh --bench\n", file.c_str());
        return 2;
    }
    fs::path root = fs::temp_directory_path() / ("pacing_bench_" + std::to_string(getpid()));
    fs::create_directories(root / "local");
    fs::create_directories(root / "temp");
    std::ofstream(root / "local/play.txt") << fs::absolute(file).string() << "\n";
    std::string command = "SDL_AUDIODRIVER=dummy " + std::string(APP) + " --headless --quiet --local-dir " +
                          (root / "local").string() + " --temp-dir " + (root / "temp").string() +
                          " --exit-after " + std::to_string(RUN_LIMIT_MS);
    auto start = std::chrono::steady_clock::now();
    int status = std::system(command.c_str());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string log = read_log(root / "temp/xboxshell.log");
    fs::remove_all(root);
    if (status != 0 || log.find("frames shown ") == std::string::npos) {
        fprintf(stderr, "pacing_bench: the run failed (status %d)\n%s", status, log.c_str());
        return 1;
    }
    size_t figures = log.find("frames shown ");
    long long shown = number_after(log, "frames shown ", figures), dropped = number_after(log, "dropped ", figures);
    long long min_us = number_after(log, "drift min ", figures), mean_us = number_after(log, "mean ", figures),
              max_us = number_after(log, "max ", figures);
    long long decoded = number_after(log, "video EOF after "), samples = number_after(log, "audio played: ");
    bool ended = log.find("video EOF after ") != std::string::npos;
    printf("pacing_bench: %s, headless, SDL dummy audio, run %.1f s\n", file.filename().c_str(), seconds);
    printf("  frames decoded %lld%s, shown %lld, dropped as late %lld (goal: none)\n", decoded,
           ended ? "" : " (the run ended first)", shown, dropped);
    printf("  sound played %lld samples (%.2f s at 48 kHz)\n", samples, double(samples) / 48000);
    printf("  A/V drift (frame time - sound clock when shown): min %+.1f ms, mean %+.1f ms, max %+.1f ms"
           " (goal: within +-40 ms)\n",
           double(min_us) / 1000, double(mean_us) / 1000, double(max_us) / 1000);
    bool met = dropped == 0 && min_us >= -40'000 && max_us <= 40'000;
    printf("  goals %s\n", met ? "met" : "NOT met");
    return 0;
}
