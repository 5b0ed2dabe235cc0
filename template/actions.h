// Constant tables of the user actions and of the key maps of each input
// family. Shared with the tests, which check the codes against the platforms'
// own headers.
#pragma once

struct ActionRow {
    const char *name;
    const char *legacy;     // name in the legacy hotkey scheme, "" when none
    const char *direction;  // focus operation optpl_focus_apply performs, "" when none
    const char *family;
    const char *description;
};

// A pair of a key map: input code -> action name.
struct KeyAction {
    int code;
    const char *action;
};

// A pair of a key-name list: input code (Siri: button number) -> key name.
struct KeyName {
    int code;
    const char *name;
};

extern const ActionRow ACTS[];
extern const int ACTS_COUNT;

// Windows virtual keys (keyboard and game controller).
extern const KeyAction VK_MAP[];
extern const int VK_MAP_COUNT;
extern const KeyName VK_NAMES[];
extern const int VK_NAMES_COUNT;

// Android KeyEvent key codes.
extern const KeyAction ANDROID_MAP[];
extern const int ANDROID_MAP_COUNT;
extern const KeyName ANDROID_NAMES[];
extern const int ANDROID_NAMES_COUNT;

// Linux input-event key codes.
extern const KeyAction LINUX_MAP[];
extern const int LINUX_MAP_COUNT;

// HDMI-CEC user-control codes.
extern const KeyAction CEC_MAP[];
extern const int CEC_MAP_COUNT;

// Siri Remote: button names -> button numbers -> actions.
extern const KeyName SIRI_NAMES[];
extern const int SIRI_NAMES_COUNT;
extern const KeyAction SIRI_MAP[];
extern const int SIRI_MAP_COUNT;
