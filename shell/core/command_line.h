// The options of `app`.
#pragma once

#include <optional>
#include <string>

namespace shell {

struct CommandLine {
    bool help = false;
    bool headless = false;
    bool quiet = false;     // no debugger output on stderr
    std::string app_dir;    // instead of the program's own directory
    std::string temp_dir;   // where xboxshell.log goes
    std::string local_dir;  // the local data folder
    std::string script;     // a script file to drive the run
    std::optional<int> exit_after_ms;
};

inline constexpr const char *USAGE =
    "usage: app [--help] [--headless] [--quiet] [--app-dir DIR] [--temp-dir DIR] [--local-dir DIR]\n"
    "           [--script FILE] [--exit-after MS]\n";

// The options, or nothing with `error` saying what is wrong.
std::optional<CommandLine> parse_command_line(int argc, const char *const *argv, std::string &error);

}  // namespace shell
