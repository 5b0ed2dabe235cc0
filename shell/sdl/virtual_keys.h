// Keyboard keys and game-controller inputs as the Windows virtual-key codes
// the template library's key maps expect (Up 38, GamepadA 195, D-pad 203-206, ...).
#pragma once

#include <SDL.h>

#include <string_view>

namespace shell::sdl {

// A controller input by its script name: the button, or the axis and how far
// it is pushed, and the code it produces.
struct PadInput {
    std::string_view name;
    int virtual_key;
    SDL_GameControllerButton button;  // SDL_CONTROLLER_BUTTON_INVALID for an axis
    SDL_GameControllerAxis axis;      // SDL_CONTROLLER_AXIS_INVALID for a button
    int axis_value;
};

// 0 for a key without a code.
int virtual_key_from_keycode(SDL_Keycode key);
int virtual_key_from_button(SDL_GameControllerButton button);
// A controller input by its script name ("a", "up", "lt", "ls_left", ...); 0 for an unknown name.
int virtual_key_from_pad_name(std::string_view name);
// The input of that name, or none.
const PadInput *pad_input(std::string_view name);

// The directions of a thumbstick and the triggers, which SDL reports as axes.
struct StickKeys {
    int up, down, left, right;
};
inline constexpr StickKeys LEFT_STICK_KEYS{211, 212, 214, 213};
inline constexpr StickKeys RIGHT_STICK_KEYS{215, 216, 218, 217};
inline constexpr int LEFT_TRIGGER_KEY = 201;
inline constexpr int RIGHT_TRIGGER_KEY = 202;

// Whether a held controller input repeats: the D-pad and the thumbstick directions.
bool repeats_while_held(int virtual_key);

}  // namespace shell::sdl
