// Scripts that drive a run of `app`: one command per line, '#' starts a comment.
//   key N      a key press with virtual-key code N
//   pad NAME   a game-controller press (a, b, x, y, up, down, left, right, menu, view, ...)
//   tap N      a tap on tile N of the page
//   wait MS    let the program run for MS milliseconds
//   beats N    let it run for N heartbeats (500 ms each)
//   shot FILE  a PNG screenshot of the window
//   tree FILE  the arranged element tree as JSON
//   quit       end the run
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shell {

struct ScriptStep {
    enum class Op { Key, Pad, Tap, Wait, Beats, Shot, Tree, Quit };
    Op op;
    int number = 0;    // key, tap, wait, beats
    std::string text;  // pad name, file
    int line = 0;
};

inline constexpr int HEARTBEAT_MS = 500;

// The steps, or nothing with `error` naming the line at fault.
std::optional<std::vector<ScriptStep>> parse_script(std::string_view text, std::string &error);

}  // namespace shell
