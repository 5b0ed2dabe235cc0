// The options of `app`.
#pragma once

#include <optional>
#include <string>

namespace shell {

struct CommandLine {
    bool help = false;
    bool version = false;
    bool headless = false;
    bool quiet = false;     // no debugger output on stderr
    std::string app_dir;    // instead of the program's own directory
    std::string temp_dir;   // where xboxshell.log goes
    std::string local_dir;  // the local data folder
    std::string script;     // a script file to drive the run
    std::optional<int> exit_after_ms;
    // Sound and pacing: a frame per heartbeat, without sound, instead of
    // pictures paced to the sound on every refresh of the display.
    bool heartbeat_present = false;
    // Remote control: off without --remote.
    std::optional<int> remote_port;  // 0: any free port
    std::string remote_address;      // IPv4 address to listen on; empty: every interface
    bool remote_open = false;        // the remote may open files under the media folders
};

inline constexpr const char *USAGE =
    "usage: app [OPTIONS]\n"
    "Shows the television menu and plays the file named in play.txt in the local data folder,\n"
    "else a sample from corpus/ beside the program.\n"
    "\n"
    "options:\n"
    "  --headless        run without a window, for tests and scripts (default: a window)\n"
    "  --quiet           do not echo log lines on stderr (default: echo them)\n"
    "  --app-dir DIR     folder holding the libraries, assets/ and corpus/ (default: the program's own folder)\n"
    "  --temp-dir DIR    folder of the log xboxshell.log (default: $TMPDIR, else /tmp)\n"
    "  --local-dir DIR   local data folder holding play.txt\n"
    "                    (default: $XDG_DATA_HOME/Orvello/OrvelloPlayer, else ~/.local/share/Orvello/OrvelloPlayer)\n"
    "  --script FILE     drive the run with the script commands below (default: none)\n"
    "  --exit-after MS   quit after MS milliseconds (default: run until the window is closed)\n"
    "  --heartbeat-present\n"
    "                    show a frame per 500 ms heartbeat, without sound (default: sound, and\n"
    "                    pictures paced to it on every refresh of the display)\n"
    "  --remote [ADDR:]PORT\n"
    "                    take commands from a paired remote control: secure UDP datagrams on PORT\n"
    "                    (0: any free port) of the IPv4 address ADDR (default: off; ADDR: every interface)\n"
    "  --remote-open     let the paired remote open files under corpus/ and the local data folder\n"
    "                    (default: it cannot open files)\n"
    "  --help            print this help and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "script commands, one per line ('#' starts a comment):\n"
    "  key N       press the key with Windows virtual-key code N\n"
    "  pad NAME    press a game-controller button (a, b, x, y, up, down, left, right, menu, view, ...)\n"
    "  tap N       tap tile N of the page\n"
    "  wait MS     let the player run for MS milliseconds\n"
    "  beats N     let it run for N heartbeats of 500 ms\n"
    "  shot FILE   write a PNG screenshot of the window\n"
    "  tree FILE   write the arranged element tree as JSON\n"
    "  quit        end the run\n"
    "\n"
    "keys while a file plays (besides the menu's own):\n"
    "  Space, media play/pause   pause or play          Escape, S, media stop   stop\n"
    "  F, R                      skip forward, back by the Skip interval setting (10 s)\n"
    "  N, P, media next/previous next chapter; previous: this chapter's start, or the one before\n"
    "                            (without chapters they skip like F and R)\n"
    "  A                         next audio track       C, controller X         next subtitle track, or off\n"
    "  the controller's shoulder buttons and triggers act as next/previous and fast forward/rewind\n";

// The options, or nothing with `error` saying what is wrong.
std::optional<CommandLine> parse_command_line(int argc, const char *const *argv, std::string &error);

}  // namespace shell
