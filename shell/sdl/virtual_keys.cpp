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

struct PadInput {
    std::string_view name;
    int virtual_key;
    SDL_GameControllerButton button;  // SDL_CONTROLLER_BUTTON_INVALID for axis inputs
};

constexpr PadInput PAD[] = {
    {"a", 195, SDL_CONTROLLER_BUTTON_A},
    {"b", 196, SDL_CONTROLLER_BUTTON_B},
    {"x", 197, SDL_CONTROLLER_BUTTON_X},
    {"y", 198, SDL_CONTROLLER_BUTTON_Y},
    {"rb", 199, SDL_CONTROLLER_BUTTON_RIGHTSHOULDER},
    {"lb", 200, SDL_CONTROLLER_BUTTON_LEFTSHOULDER},
    {"lt", LEFT_TRIGGER_KEY, SDL_CONTROLLER_BUTTON_INVALID},
    {"rt", RIGHT_TRIGGER_KEY, SDL_CONTROLLER_BUTTON_INVALID},
    {"up", 203, SDL_CONTROLLER_BUTTON_DPAD_UP},
    {"down", 204, SDL_CONTROLLER_BUTTON_DPAD_DOWN},
    {"left", 205, SDL_CONTROLLER_BUTTON_DPAD_LEFT},
    {"right", 206, SDL_CONTROLLER_BUTTON_DPAD_RIGHT},
    {"menu", 207, SDL_CONTROLLER_BUTTON_START},
    {"view", 208, SDL_CONTROLLER_BUTTON_BACK},
    {"ls", 209, SDL_CONTROLLER_BUTTON_LEFTSTICK},
    {"rs", 210, SDL_CONTROLLER_BUTTON_RIGHTSTICK},
    {"ls_up", LEFT_STICK_KEYS.up, SDL_CONTROLLER_BUTTON_INVALID},
    {"ls_down", LEFT_STICK_KEYS.down, SDL_CONTROLLER_BUTTON_INVALID},
    {"ls_right", LEFT_STICK_KEYS.right, SDL_CONTROLLER_BUTTON_INVALID},
    {"ls_left", LEFT_STICK_KEYS.left, SDL_CONTROLLER_BUTTON_INVALID},
    {"rs_up", RIGHT_STICK_KEYS.up, SDL_CONTROLLER_BUTTON_INVALID},
    {"rs_down", RIGHT_STICK_KEYS.down, SDL_CONTROLLER_BUTTON_INVALID},
    {"rs_right", RIGHT_STICK_KEYS.right, SDL_CONTROLLER_BUTTON_INVALID},
    {"rs_left", RIGHT_STICK_KEYS.left, SDL_CONTROLLER_BUTTON_INVALID},
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

int virtual_key_from_pad_name(std::string_view name) {
    for (const PadInput &entry : PAD)
        if (entry.name == name) return entry.virtual_key;
    return 0;
}

bool repeats_while_held(int virtual_key) {
    return (virtual_key >= 203 && virtual_key <= 206) || (virtual_key >= 211 && virtual_key <= 218);
}

}  // namespace shell::sdl
