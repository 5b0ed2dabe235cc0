// A long evening in front of the player: the shell, headless, plays file
// after file (open, a while of playback, stop, next) and the process's
// resident memory is compared before and after. The playback engine never
// frees a handle's record (each open keeps one, by design); everything else
// the shell allocates for a file must go with it.
//
// What one kept record costs is measured in the same run, as the growth over
// plain opens and closes of the engine without the shell. The shell's log
// keeps every line in memory (its file is rewritten whole at each flush),
// so its text grows with the evening too; it is reported apart. What is left
// is growth nobody accounts for.
//
// Usage: long_evening [--files N] [--play-ms MS] [--app-dir DIR] [--check KB]
//   defaults: 200 files of 2000 ms, with the player as built;
//   --check KB: exit 1 when the unaccounted growth exceeds KB kilobytes.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/shell_app.h"
#include "core/shell_log.h"
#include "core/text.h"
#include "sdl/sdl_platform.h"

namespace fs = std::filesystem;
using namespace shell;

namespace {

// Packaged samples the engine plays: with and without subtitles, several containers and codecs.
constexpr const char *PLAYLIST[] = {
    "mkv_chapters_subs.mkv", "h264_movtext.mp4",    "h264_aac_2audio.mp4", "h264_aac.ts",
    "mjpeg_pcm.avi",         "mpeg4_bframes.avi",   "pgs_subs.mkv",        "one_chapter.mkv",
    "h264_odd_318x178.mp4",  "aac_only.m4a",
};
constexpr int PLAYLIST_SIZE = int(std::size(PLAYLIST));
// Opens of the engine alone that measure one kept record.
constexpr int REFERENCE_OPENS = 200;

struct Options {
    int files = 200;
    int play_ms = 2000;
    std::string app_dir;
    long check_kb = -1;
};

// Resident set size in KB, from /proc/self/status.
long rss_kb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) n++;
    return n;
}

bool parse(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char *value = argv[++i];
        if (arg == "--files")
            options.files = std::atoi(value);
        else if (arg == "--play-ms")
            options.play_ms = std::atoi(value);
        else if (arg == "--app-dir")
            options.app_dir = value;
        else if (arg == "--check")
            options.check_kb = std::atol(value);
        else
            return false;
    }
    return options.files > 0 && options.play_ms > 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr, "usage: long_evening [--files N] [--play-ms MS] [--app-dir DIR] [--check KB]\n");
        return 2;
    }
    if (options.app_dir.empty()) options.app_dir = PLAYER_DIR;
    fs::path scratch = fs::temp_directory_path() / ("long_evening_" + std::to_string(getpid()));
    fs::create_directories(scratch / "local");
    // The first page only; the evening's files are chosen here.
    std::ofstream(scratch / "local/play.txt") << "/nowhere/none\n";
    log_set_echo({});
    log_set_directory(scratch.string());
    // The sound is played too: to SDL's null driver, unless SDL_AUDIODRIVER names another.
    setenv("SDL_AUDIODRIVER", "dummy", 0);

    sdl::PlatformSettings settings;
    settings.headless = true;
    settings.quiet = true;
    settings.local_dir = (scratch / "local").string();
    settings.temp_dir = scratch.string();
    sdl::SdlPlatform platform(settings);
    ShellApp app(platform, options.app_dir);

    // One round of the playlist warms up what stays for the program's life (decoders' tables,
    // fonts, textures); then the engine alone, then the evening.
    const int warm_up = PLAYLIST_SIZE;
    int started = 0;
    long rss_reference_start = 0, rss_reference_end = 0, rss_start = 0, rss_end = 0;
    size_t log_start = 0, log_end = 0;  // UTF-16 units
    bool failed = false;
    auto next = [&] {
        auto view = app.view();
        view->StopPlayback();
        if (started == warm_up) {
            malloc_trim(0);
            rss_reference_start = rss_kb();
            std::string sample = options.app_dir + "/corpus/" + PLAYLIST[0];
            const EngineBindings &b = view->bindings();
            for (int i = 0; i < REFERENCE_OPENS; i++) {
                oppb_engine *engine = b.oppb_open_path(sample.c_str(), nullptr);
                if (!engine) {
                    failed = true;
                    break;
                }
                b.oppb_close(engine);
            }
            malloc_trim(0);
            rss_reference_end = rss_kb();
            rss_start = rss_reference_end;
            log_start = log_text().size();
        }
        if (started == warm_up + options.files || failed) {
            malloc_trim(0);
            rss_end = rss_kb();
            log_end = log_text().size();
            platform.Quit();
            return;
        }
        std::string file = options.app_dir + "/corpus/" + PLAYLIST[started % PLAYLIST_SIZE];
        view->PlayPath(utf8_to_utf16(file));
        started++;
    };
    platform.Run(
        [&] {
            app.OnLaunched();
            if (!app.view()->bindings().oppb_open_path || !app.view()->bindings().oppb_close) {
                fprintf(stderr, "long_evening: no playback engine in %s\n", options.app_dir.c_str());
                failed = true;
                platform.Quit();
                return;
            }
            platform.StartTimer(std::chrono::milliseconds(options.play_ms), next);
        },
        {}, std::nullopt);
    app.OnExiting();
    if (failed) {
        fprintf(stderr, "long_evening: the engine failed to open a sample\n");
        return 1;
    }

    // What the evening opened: a main instance per file, a second one for files with subtitles.
    std::string evening = utf16_to_utf8(log_text().substr(log_start, log_end - log_start));
    size_t played = count(evening, "PlayPath "), mains = count(evening, "opened: dur="),
           subtitle_instances = count(evening, "sub: select_stream(subtitle,"),
           with_sound = count(evening, "audio output: ");
    size_t instances = mains + subtitle_instances;
    double record_kb = double(rss_reference_end - rss_reference_start) / REFERENCE_OPENS;
    long growth = rss_end - rss_start;
    double log_kb = double((log_end - log_start) * sizeof(char16_t)) / 1024;
    double unaccounted = double(growth) - double(instances) * record_kb - log_kb;
    printf("files played              %zu (%d ms each, %zu with sound), %zu engine instances (%zu for subtitles)\n",
           played, options.play_ms, with_sound, instances, subtitle_instances);
    printf("engine alone              %.1f KB per open and close (%d opens)\n", record_kb, REFERENCE_OPENS);
    printf("RSS after warm-up         %ld KB\n", rss_start);
    printf("RSS after %4zu files      %ld KB\n", played, rss_end);
    printf("growth                    %ld KB, %.1f KB per file\n", growth, double(growth) / double(played));
    printf("  engine records          %.1f KB (%.2f instances per file)\n", double(instances) * record_kb,
           double(instances) / double(played));
    printf("  log text                %.1f KB\n", log_kb);
    printf("  unaccounted             %.1f KB, %.2f KB per file\n", unaccounted, unaccounted / double(played));
    printf("growth - 2 x 68 KB/file   %.1f KB per file\n", double(growth) / double(played) - 2 * 68.0);
    fs::remove_all(scratch);
    if (options.check_kb >= 0 && unaccounted > double(options.check_kb)) {
        fprintf(stderr, "long_evening: %.1f KB of growth unaccounted for (limit %ld KB)\n", unaccounted,
                options.check_kb);
        return 1;
    }
    return 0;
}
