// `app`: the shell program.
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "app/shell_app.h"
#include "core/command_line.h"
#include "core/engine_bindings.h"
#include "core/files.h"
#include "core/library_loader.h"
#include "core/platform_error.h"
#include "core/script.h"
#include "core/shell_log.h"
#include "sdl/sdl_platform.h"

int main(int argc, char **argv) {
    using namespace shell;
    std::string error;
    std::optional<CommandLine> options = parse_command_line(argc, argv, error);
    if (!options) {
        fprintf(stderr, "app: %s\n%s", error.c_str(), USAGE);
        return 2;
    }
    if (options->help) {
        fputs(USAGE, stdout);
        return 0;
    }
    if (options->version) {
        printf("app (ORVELLO PLAYER) %s\n", ORVELLO_VERSION);
        return 0;
    }
    std::vector<ScriptStep> script;
    if (!options->script.empty()) {
        std::optional<std::vector<ScriptStep>> steps;
        try {
            steps = parse_script(read_text_file(options->script), error);
        } catch (const PlatformError &failure) {
            error = failure.what();
        }
        if (!steps) {
            fprintf(stderr, "app: %s: %s\n", options->script.c_str(), error.c_str());
            return 2;
        }
        script = std::move(*steps);
    }

    log_set_directory(temp_directory(options->temp_dir));
    if (options->quiet) log_set_echo({});
    // The libraries bring in FFmpeg and OpenSSL, most of start-up. Loading them while the window and
    // fonts come up hides much of that; binding then finds them loaded. The playback engine on a
    // thread of its own, the other two on another.
    std::thread preload[2];
    try {
        std::string directory = options->app_dir.empty() ? std::string(directory_of(executable_path())) : options->app_dir;
        auto path = [&directory](const char *library) { return directory + "/" + library + ".so"; };
        preload[0] = std::thread([file = path(OPPB_LIBRARY)] { load_library(file.c_str()); });
        preload[1] = std::thread([first = path(OPRC_LIBRARY), second = path(OPTPL_LIBRARY)] {
            load_library(first.c_str());
            load_library(second.c_str());
        });
    } catch (const std::exception &) {
        // Without them binding loads the libraries itself.
    }
    struct JoinAtExit {
        std::thread (&threads)[2];
        ~JoinAtExit() {
            for (std::thread &thread : threads)
                if (thread.joinable()) thread.join();
        }
    } join_preload{preload};
    std::unique_ptr<sdl::SdlPlatform> platform;
    try {
        platform = std::make_unique<sdl::SdlPlatform>(
            sdl::PlatformSettings{options->headless, options->quiet, options->local_dir, options->temp_dir});
    } catch (const PlatformError &failure) {
        log_line(u"platform failed 0x%08X %S", failure.code(), failure.what());
        flush_log();
        return 1;
    }
    log_set_echo([&platform](std::u16string_view line) { platform->DebugOutput(line); });
    ShellApp app(*platform, options->app_dir,
                 options->heartbeat_present ? Presentation::Heartbeat : Presentation::Paced);
    if (options->remote_port) app.EnableRemote(options->remote_address, *options->remote_port, options->remote_open);
    std::optional<std::chrono::milliseconds> exit_after;
    if (options->exit_after_ms) exit_after = std::chrono::milliseconds(*options->exit_after_ms);
    // An exception escaping the shell ends the program here, after the platform reported it.
    bool succeeded = platform->Run([&app] { app.OnLaunched(); }, script, exit_after);
    app.OnExiting();
    flush_log();
    log_set_echo({});
    return succeeded ? 0 : 1;
}
