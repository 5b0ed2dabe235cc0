#include "virtual_keys.h"

namespace shell::sdl {
namespace {

struct KeyCode {
    SDL_Keycode key;
    int virtual_key;
};

constexpr KeyCode KEYS[] = {
    {SDLK_BACKSPACE, 8},      {SDLK_TAB, 9},          {SDLK_RETURN, 13},       {SDLK_KP_ENTER, 13},
    {SDLK_LSHIFT, 16},        {SDLK_RSHIFT, 16},      {SDLK_LCTRL, 17},        {SDLK_RCTRL, 17},
    {SDLK_LALT, 18},          {SDLK_RALT, 18},        {SDLK_PAUSE, 19},        {SDLK_ESCAPE, 27},
    {SDLK_SPACE, 32},         {SDLK_PAGEUP, 33},      {SDLK_PAGEDOWN, 34},     {SDLK_END, 35},
    {SDLK_HOME, 36},          {SDLK_LEFT, 37},        {SDLK_UP, 38},           {SDLK_RIGHT, 39},
    {SDLK_DOWN, 40},          {SDLK_INSERT, 45},      {SDLK_DELETE, 46},       {SDLK_HELP, 47},
    {SDLK_APPLICATION, 93},   {SDLK_MENU, 93},        {SDLK_KP_MULTIPLY, 106}, {SDLK_KP_PLUS, 107},
    {SDLK_KP_MINUS, 109},     {SDLK_KP_PERIOD, 110},  {SDLK_KP_DIVIDE, 111},   {SDLK_AC_BACK, 166},
    {SDLK_AC_FORWARD, 167},   {SDLK_AC_REFRESH, 168}, {SDLK_AC_STOP, 169},     {SDLK_AC_SEARCH, 170},
    {SDLK_AC_BOOKMARKS, 171}, {SDLK_AC_HOME, 172},    {SDLK_AUDIOMUTE, 173},   {SDLK_VOLUMEDOWN, 174},
    {SDLK_VOLUMEUP, 175},     {SDLK_AUDIONEXT, 176},  {SDLK_AUDIOPREV, 177},   {SDLK_AUDIOSTOP, 178},
    {SDLK_AUDIOPLAY, 179},
};



constexpr SDL_GameControllerButton NO_BUTTON = SDL_CONTROLLER_BUTTON_INVALID;
constexpr SDL_GameControllerAxis NO_AXIS = SDL_CONTROLLER_AXIS_INVALID;

constexpr PadInput PAD[] = {
    {"a", 195, SDL_CONTROLLER_BUTTON_A, NO_AXIS, 0},
    {"b", 196, SDL_CONTROLLER_BUTTON_B, NO_AXIS, 0},
    {"x", 197, SDL_CONTROLLER_BUTTON_X, NO_AXIS, 0},
    {"y", 198, SDL_CONTROLLER_BUTTON_Y, NO_AXIS, 0},
    {"rb", 199, SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, NO_AXIS, 0},
    {"lb", 200, SDL_CONTROLLER_BUTTON_LEFTSHOULDER, NO_AXIS, 0},
    {"lt", LEFT_TRIGGER_KEY, NO_BUTTON, SDL_CONTROLLER_AXIS_TRIGGERLEFT, 32767},
    {"rt", RIGHT_TRIGGER_KEY, NO_BUTTON, SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 32767},
    {"up", 203, SDL_CONTROLLER_BUTTON_DPAD_UP, NO_AXIS, 0},
    {"down", 204, SDL_CONTROLLER_BUTTON_DPAD_DOWN, NO_AXIS, 0},
    {"left", 205, SDL_CONTROLLER_BUTTON_DPAD_LEFT, NO_AXIS, 0},
    {"right", 206, SDL_CONTROLLER_BUTTON_DPAD_RIGHT, NO_AXIS, 0},
    {"menu", 207, SDL_CONTROLLER_BUTTON_START, NO_AXIS, 0},
    {"view", 208, SDL_CONTROLLER_BUTTON_BACK, NO_AXIS, 0},
    {"ls", 209, SDL_CONTROLLER_BUTTON_LEFTSTICK, NO_AXIS, 0},
    {"rs", 210, SDL_CONTROLLER_BUTTON_RIGHTSTICK, NO_AXIS, 0},
    // SDL's y axes grow downwards.
    {"ls_up", LEFT_STICK_KEYS.up, NO_BUTTON, SDL_CONTROLLER_AXIS_LEFTY, -32768},
    {"ls_down", LEFT_STICK_KEYS.down, NO_BUTTON, SDL_CONTROLLER_AXIS_LEFTY, 32767},
    {"ls_right", LEFT_STICK_KEYS.right, NO_BUTTON, SDL_CONTROLLER_AXIS_LEFTX, 32767},
    {"ls_left", LEFT_STICK_KEYS.left, NO_BUTTON, SDL_CONTROLLER_AXIS_LEFTX, -32768},
    {"rs_up", RIGHT_STICK_KEYS.up, NO_BUTTON, SDL_CONTROLLER_AXIS_RIGHTY, -32768},
    {"rs_down", RIGHT_STICK_KEYS.down, NO_BUTTON, SDL_CONTROLLER_AXIS_RIGHTY, 32767},
    {"rs_right", RIGHT_STICK_KEYS.right, NO_BUTTON, SDL_CONTROLLER_AXIS_RIGHTX, 32767},
    {"rs_left", RIGHT_STICK_KEYS.left, NO_BUTTON, SDL_CONTROLLER_AXIS_RIGHTX, -32768},
};

}  // namespace

int virtual_key_from_keycode(SDL_Keycode key) {
    // Letters and digits are their upper-case ASCII codes; the keypad digits 96-105; F1-F12 112-123.
    if (key >= SDLK_a && key <= SDLK_z) return 'A' + (key - SDLK_a);
    if (key >= SDLK_0 && key <= SDLK_9) return '0' + (key - SDLK_0);
    if (key >= SDLK_KP_1 && key <= SDLK_KP_9) return 97 + (key - SDLK_KP_1);
    if (key == SDLK_KP_0) return 96;
    if (key >= SDLK_F1 && key <= SDLK_F12) return 112 + (key - SDLK_F1);
    for (const KeyCode &entry : KEYS)
        if (entry.key == key) return entry.virtual_key;
    return 0;
}

int virtual_key_from_button(SDL_GameControllerButton button) {
    for (const PadInput &entry : PAD)
        if (entry.button == button && button != SDL_CONTROLLER_BUTTON_INVALID) return entry.virtual_key;
    return 0;
}

const PadInput *pad_input(std::string_view name) {
    for (const PadInput &entry : PAD)
        if (entry.name == name) return &entry;
    return nullptr;
}

int virtual_key_from_pad_name(std::string_view name) {
    const PadInput *input = pad_input(name);
    return input ? input->virtual_key : 0;
}

bool repeats_while_held(int virtual_key) {
    return (virtual_key >= 203 && virtual_key <= 206) || (virtual_key >= 211 && virtual_key <= 218);
}

}  // namespace shell::sdl
