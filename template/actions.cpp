// The user actions, the key maps of each input family, and applying focus
// actions to the focus graph and page stack.
#include "actions.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "json.h"
#include "tv.h"

const ActionRow ACTS[] = {
    {"nav_up", "", "up", "focus", "D-pad up"},
    {"nav_down", "", "down", "focus", "D-pad down"},
    {"nav_left", "", "left", "focus", "D-pad left"},
    {"nav_right", "", "right", "focus", "D-pad right"},
    {"page_up", "HotkeyAction_action_previous", "pageup", "focus", "previous screenful"},
    {"page_down", "HotkeyAction_next", "pagedown", "focus", "next screenful"},
    {"first", "", "first", "focus", "first focusable node"},
    {"last", "", "last", "focus", "last focusable node"},
    {"confirm", "", "confirm", "focus", "activate / enter the focused node"},
    {"back", "HotkeyAction_action_unlock_screen_exit_full_screen", "back", "focus", "leave the page (restore-on-back)"},
    {"menu", "HotkeyAction_action_toggle_open_context_menu", "", "focus", "open the context menu"},
    {"home", "", "home", "focus", "return to the root page"},
    {"search", "", "", "focus", "open search"},
    {"info", "", "", "focus", "media information"},
    {"play", "", "", "transport", "play"},
    {"pause", "", "", "transport", "pause"},
    {"play_pause", "HotkeyAction_action_toggle_play_status", "", "transport", "toggle play/pause"},
    {"stop", "HotkeyAction_action_stop", "", "transport", "stop"},
    {"fast_forward", "HotkeyAction_action_short_forward_jump", "", "transport", "seek forward"},
    {"rewind", "HotkeyAction_action_short_backwards_jump", "", "transport", "seek backward"},
    {"next", "HotkeyAction_next", "", "transport", "next item"},
    {"previous", "HotkeyAction_action_previous", "", "transport", "previous item"},
    {"volume_up", "HotkeyAction_action_volume_up", "", "system", "volume up"},
    {"volume_down", "HotkeyAction_action_volume_down", "", "system", "volume down"},
    {"mute", "", "", "system", "mute"},
    {"channel_up", "", "", "system", "channel up"},
    {"channel_down", "", "", "system", "channel down"},
    {"red", "", "", "colour", "F2 red"},
    {"green", "", "", "colour", "F3 green"},
    {"yellow", "", "", "colour", "F4 yellow"},
    {"blue", "", "", "colour", "F1 blue"},
    {"number_0", "", "", "digit", "digit 0"},
    {"number_1", "", "", "digit", "digit 1"},
    {"number_2", "", "", "digit", "digit 2"},
    {"number_3", "", "", "digit", "digit 3"},
    {"number_4", "", "", "digit", "digit 4"},
    {"number_5", "", "", "digit", "digit 5"},
    {"number_6", "", "", "digit", "digit 6"},
    {"number_7", "", "", "digit", "digit 7"},
    {"number_8", "", "", "digit", "digit 8"},
    {"number_9", "", "", "digit", "digit 9"},
};
constexpr int ACTS_COUNT = int(std::size(ACTS));

// Within an action the first pair is the key that optpl_action_key_name names.
const KeyAction VK_MAP[] = {
    {38, "nav_up"}, {203, "nav_up"}, {138, "nav_up"}, {211, "nav_up"}, {215, "nav_up"},
    {40, "nav_down"}, {204, "nav_down"}, {139, "nav_down"}, {212, "nav_down"}, {216, "nav_down"},
    {37, "nav_left"}, {205, "nav_left"}, {140, "nav_left"}, {214, "nav_left"}, {218, "nav_left"},
    {39, "nav_right"}, {206, "nav_right"}, {141, "nav_right"}, {213, "nav_right"}, {217, "nav_right"},
    {33, "page_up"},
    {34, "page_down"},
    {36, "first"},
    {35, "last"},
    {13, "confirm"}, {32, "confirm"}, {195, "confirm"}, {142, "confirm"},
    {8, "back"}, {27, "back"}, {196, "back"}, {166, "back"}, {143, "back"},
    {18, "menu"}, {93, "menu"}, {207, "menu"}, {136, "menu"}, {208, "menu"},
    {137, "home"}, {172, "home"},
    {170, "search"},
    {47, "info"},
    {198, "play_pause"}, {19, "play_pause"},
    {169, "stop"}, {83, "stop"},
    {199, "next"}, {167, "next"},
    {201, "fast_forward"},
    {200, "previous"}, {171, "previous"},
    {202, "rewind"},
};
constexpr int VK_MAP_COUNT = int(std::size(VK_MAP));

const KeyName VK_NAMES[] = {
    {0, "None"},
    {3, "Cancel"},
    {8, "Back"},
    {12, "Clear"},
    {13, "Enter"},
    {18, "Menu"},
    {19, "Pause"},
    {27, "Escape"},
    {32, "Space"},
    {33, "PageUp"},
    {34, "PageDown"},
    {35, "End"},
    {36, "Home"},
    {37, "Left"},
    {38, "Up"},
    {39, "Right"},
    {40, "Down"},
    {46, "Delete"},
    {47, "Help"},
    {48, "Number0"},
    {49, "Number1"},
    {50, "Number2"},
    {51, "Number3"},
    {52, "Number4"},
    {53, "Number5"},
    {54, "Number6"},
    {55, "Number7"},
    {56, "Number8"},
    {57, "Number9"},
    {77, "M"},
    {83, "S"},
    {87, "W"},
    {93, "Application"},
    {106, "Multiply"},
    {107, "Add"},
    {109, "Subtract"},
    {110, "Decimal"},
    {111, "Divide"},
    {112, "F1"},
    {113, "F2"},
    {114, "F3"},
    {115, "F4"},
    {116, "F5"},
    {117, "F6"},
    {118, "F7"},
    {119, "F8"},
    {120, "F9"},
    {121, "F10"},
    {122, "F11"},
    {123, "F12"},
    {136, "NavigationView"},
    {137, "NavigationMenu"},
    {138, "NavigationUp"},
    {139, "NavigationDown"},
    {140, "NavigationLeft"},
    {141, "NavigationRight"},
    {142, "NavigationAccept"},
    {143, "NavigationCancel"},
    {166, "GoBack"},
    {167, "GoForward"},
    {169, "Stop"},
    {170, "Search"},
    {171, "Favorites"},
    {172, "GoHome"},
    {195, "GamepadA"},
    {196, "GamepadB"},
    {197, "GamepadX"},
    {198, "GamepadY"},
    {199, "GamepadRightShoulder"},
    {200, "GamepadLeftShoulder"},
    {201, "GamepadLeftTrigger"},
    {202, "GamepadRightTrigger"},
    {203, "GamepadDPadUp"},
    {204, "GamepadDPadDown"},
    {205, "GamepadDPadLeft"},
    {206, "GamepadDPadRight"},
    {207, "GamepadMenu"},
    {208, "GamepadView"},
    {209, "GamepadLeftThumbstickButton"},
    {210, "GamepadRightThumbstickButton"},
    {211, "GamepadLeftThumbstickUp"},
    {212, "GamepadLeftThumbstickDown"},
    {213, "GamepadLeftThumbstickRight"},
    {214, "GamepadLeftThumbstickLeft"},
    {215, "GamepadRightThumbstickUp"},
    {216, "GamepadRightThumbstickDown"},
    {217, "GamepadRightThumbstickRight"},
    {218, "GamepadRightThumbstickLeft"},
};
constexpr int VK_NAMES_COUNT = int(std::size(VK_NAMES));

const KeyAction ANDROID_MAP[] = {
    {19, "nav_up"},
    {20, "nav_down"},
    {21, "nav_left"},
    {22, "nav_right"},
    {92, "page_up"},
    {93, "page_down"},
    {122, "first"},
    {123, "last"},
    {23, "confirm"}, {66, "confirm"}, {160, "confirm"},
    {4, "back"}, {111, "back"},
    {82, "menu"},
    {3, "home"},
    {84, "search"},
    {165, "info"},
    {126, "play"},
    {127, "pause"},
    {85, "play_pause"},
    {86, "stop"},
    {90, "fast_forward"},
    {89, "rewind"},
    {87, "next"},
    {88, "previous"},
    {24, "volume_up"},
    {25, "volume_down"},
    {164, "mute"},
    {166, "channel_up"},
    {167, "channel_down"},
    // The colour keys are KeyEvent's PROG_RED..PROG_BLUE, 183..186.
    {183, "red"},
    {184, "green"},
    {185, "yellow"},
    {186, "blue"},
    {7, "number_0"},
    {8, "number_1"},
    {9, "number_2"},
    {10, "number_3"},
    {11, "number_4"},
    {12, "number_5"},
    {13, "number_6"},
    {14, "number_7"},
    {15, "number_8"},
    {16, "number_9"},
};
constexpr int ANDROID_MAP_COUNT = int(std::size(ANDROID_MAP));

const KeyName ANDROID_NAMES[] = {
    {3, "HOME"},
    {4, "BACK"},
    {7, "DIGIT_0"},
    {8, "DIGIT_1"},
    {9, "DIGIT_2"},
    {10, "DIGIT_3"},
    {11, "DIGIT_4"},
    {12, "DIGIT_5"},
    {13, "DIGIT_6"},
    {14, "DIGIT_7"},
    {15, "DIGIT_8"},
    {16, "DIGIT_9"},
    {19, "DPAD_UP"},
    {20, "DPAD_DOWN"},
    {21, "DPAD_LEFT"},
    {22, "DPAD_RIGHT"},
    {23, "DPAD_CENTER"},
    {24, "VOLUME_UP"},
    {25, "VOLUME_DOWN"},
    {66, "ENTER"},
    {82, "MENU"},
    {84, "SEARCH"},
    {85, "MEDIA_PLAY_PAUSE"},
    {86, "MEDIA_STOP"},
    {87, "MEDIA_NEXT"},
    {88, "MEDIA_PREVIOUS"},
    {89, "MEDIA_REWIND"},
    {90, "MEDIA_FAST_FORWARD"},
    {92, "PAGE_UP"},
    {93, "PAGE_DOWN"},
    {111, "ESCAPE"},
    {122, "MOVE_HOME"},
    {123, "MOVE_END"},
    {126, "MEDIA_PLAY"},
    {127, "MEDIA_PAUSE"},
    {160, "NUMPAD_ENTER"},
    {164, "VOLUME_MUTE"},
    {165, "INFO"},
    {166, "CHANNEL_UP"},
    {167, "CHANNEL_DOWN"},
    {183, "PROG_RED"},
    {184, "PROG_GREEN"},
    {185, "PROG_YELLOW"},
    {186, "PROG_BLUE"},
};
constexpr int ANDROID_NAMES_COUNT = int(std::size(ANDROID_NAMES));

const KeyAction LINUX_MAP[] = {
    {103, "nav_up"},
    {108, "nav_down"},
    {105, "nav_left"},
    {106, "nav_right"},
    {104, "page_up"},
    {109, "page_down"},
    {102, "first"},
    {107, "last"},
    {28, "confirm"}, {57, "confirm"}, {352, "confirm"},
    {158, "back"}, {1, "back"}, {223, "back"}, {174, "back"},
    {139, "menu"}, {127, "menu"},
    {172, "home"}, {356, "home"},
    {217, "search"},
    {358, "info"},
    {164, "play_pause"},
    {166, "stop"},
    {163, "next"},
    {208, "fast_forward"},
    {165, "previous"},
    {168, "rewind"},
    {115, "volume_up"},
    {114, "volume_down"},
    {113, "mute"},
    {402, "channel_up"},
    {403, "channel_down"},
    {398, "red"},
    {399, "green"},
    {400, "yellow"},
    {401, "blue"},
    {11, "number_0"},
    {2, "number_1"},
    {3, "number_2"},
    {4, "number_3"},
    {5, "number_4"},
    {6, "number_5"},
    {7, "number_6"},
    {8, "number_7"},
    {9, "number_8"},
    {10, "number_9"},
};
constexpr int LINUX_MAP_COUNT = int(std::size(LINUX_MAP));

const KeyAction CEC_MAP[] = {
    {0x00, "confirm"}, {0x2B, "confirm"},
    {0x01, "nav_up"},
    {0x02, "nav_down"},
    {0x03, "nav_left"},
    {0x04, "nav_right"},
    {0x09, "home"}, {0x10, "home"}, {0x40, "home"},
    {0x0A, "menu"}, {0x0B, "menu"}, {0x0C, "menu"}, {0x11, "menu"},
    {0x0D, "back"}, {0x2C, "back"},
    {0x20, "number_0"},
    {0x21, "number_1"},
    {0x22, "number_2"},
    {0x23, "number_3"},
    {0x24, "number_4"},
    {0x25, "number_5"},
    {0x26, "number_6"},
    {0x27, "number_7"},
    {0x28, "number_8"},
    {0x29, "number_9"},
    {0x30, "channel_up"},
    {0x31, "channel_down"},
    {0x32, "previous"}, {0x4C, "previous"},
    {0x35, "info"}, {0x36, "info"}, {0x51, "info"}, {0x53, "info"},
    {0x37, "page_up"},
    {0x38, "page_down"},
    {0x41, "volume_up"},
    {0x42, "volume_down"},
    {0x43, "mute"}, {0x65, "mute"},
    {0x44, "play"}, {0x60, "play"},
    {0x45, "stop"}, {0x64, "stop"},
    {0x46, "pause"},
    {0x47, "play_pause"}, {0x61, "play_pause"},
    {0x48, "rewind"},
    {0x49, "fast_forward"},
    {0x4B, "next"},
    {0x71, "blue"},
    {0x72, "red"},
    {0x73, "green"},
    {0x74, "yellow"},
};
constexpr int CEC_MAP_COUNT = int(std::size(CEC_MAP));

// Several names lead to one button; the first name of a number is the one reported.
const KeyName SIRI_NAMES[] = {
    {1, "up"},
    {2, "down"},
    {3, "left"},
    {4, "right"},
    {5, "select"},
    {5, "center"},
    {5, "click"},
    {6, "back"},
    {6, "menu"},
    {7, "playpause"},
    {7, "play"},
    {8, "home"},
    {8, "tv"},
    {9, "pageup"},
    {10, "pagedown"},
    {11, "info"},
};
constexpr int SIRI_NAMES_COUNT = int(std::size(SIRI_NAMES));

const KeyAction SIRI_MAP[] = {
    {1, "nav_up"},
    {2, "nav_down"},
    {3, "nav_left"},
    {4, "nav_right"},
    {5, "confirm"},
    {6, "back"},
    {7, "play_pause"},
    {8, "home"},
    {9, "page_up"},
    {10, "page_down"},
    {11, "info"},
    {12, "menu"},
};
constexpr int SIRI_MAP_COUNT = int(std::size(SIRI_MAP));

// A key family as the hosts name it: its map and how its keys are written.
struct KeyFamily {
    const char *name;
    const KeyAction *pairs;
    int pair_count;
    const KeyName *names;  // NULL for cec, whose keys are named by their code
    int name_count;
    bool numeric_keys;  // whether a key may be given as a number (siri keys are names only)
};

static const KeyFamily FAMILIES[] = {
    {"keyboard", VK_MAP, VK_MAP_COUNT, VK_NAMES, VK_NAMES_COUNT, true},
    {"xbox", VK_MAP, VK_MAP_COUNT, VK_NAMES, VK_NAMES_COUNT, true},
    {"androidtv", ANDROID_MAP, ANDROID_MAP_COUNT, ANDROID_NAMES, ANDROID_NAMES_COUNT, true},
    {"cec", CEC_MAP, CEC_MAP_COUNT, nullptr, 0, true},
    {"siri", SIRI_MAP, SIRI_MAP_COUNT, SIRI_NAMES, SIRI_NAMES_COUNT, false},
};

// Escaping of the focus documents: \u00xx in lower case, no \b or \f.

static const KeyFamily *find_family(const char *name) {
    for (const KeyFamily &f : FAMILIES)
        if (ieq(name, f.name)) return &f;
    return nullptr;
}

static const char *action_of(const KeyAction *pairs, int count, int code) {
    for (int i = 0; i < count; i++)
        if (pairs[i].code == code) return pairs[i].action;
    return nullptr;
}

static int code_of(const KeyName *names, int count, const char *name) {
    for (int i = 0; i < count; i++)
        if (ieq(name, names[i].name)) return names[i].code;
    return -1;
}

static const char *name_of(const KeyName *names, int count, int code) {
    for (int i = 0; i < count; i++)
        if (names[i].code == code) return names[i].name;
    return nullptr;
}


static int apply_back() {
    bool nothing;
    int rc = nav_back(&nothing);
    return nothing ? OPTPL_NOTHING_TO_LEAVE : rc;
}

static int apply_home() {
    if (!g_tv.nav.depth) return OPTPL_NOTHING_TO_LEAVE;
    while (g_tv.nav.depth) {
        bool nothing;
        int rc = nav_back(&nothing);
        if (rc != 0) return rc;
    }
    return 0;
}

extern "C" {

int optpl_action_count(void) { return ACTS_COUNT; }

int optpl_action_find(const char *name) {
    if (!name) return -1;
    for (int i = 0; i < ACTS_COUNT; i++)
        if (ieq(name, ACTS[i].name)) return i;
    return -1;
}

const char *optpl_action_field(int index, const char *field) {
    if (index < 0 || index >= ACTS_COUNT || !field) return nullptr;
    const ActionRow *a = &ACTS[index];
    const char *value = strcmp(field, "name") == 0          ? a->name
                        : strcmp(field, "legacy") == 0      ? a->legacy
                        : strcmp(field, "direction") == 0   ? a->direction
                        : strcmp(field, "family") == 0      ? a->family
                        : strcmp(field, "description") == 0 ? a->description
                                                            : nullptr;
    return value ? tret_n(value, strlen(value)) : nullptr;
}

const char *optpl_action_from_virtual_key(int code) { return action_of(VK_MAP, VK_MAP_COUNT, code); }

const char *optpl_action_from_android_keycode(int code) { return action_of(ANDROID_MAP, ANDROID_MAP_COUNT, code); }

const char *optpl_action_from_linux_keycode(int code) { return action_of(LINUX_MAP, LINUX_MAP_COUNT, code); }

const char *optpl_action_from_cec(int code) { return action_of(CEC_MAP, CEC_MAP_COUNT, code); }

const char *optpl_action_from_key(const char *map, const char *key) {
    const KeyFamily *f = map ? find_family(map) : nullptr;
    if (!f || !key) return nullptr;
    int code = f->names ? code_of(f->names, f->name_count, key) : -1;
    if (code < 0 && f->numeric_keys) code = parse_int(key, strlen(key));
    return code < 0 ? nullptr : action_of(f->pairs, f->pair_count, code);
}

const char *optpl_action_key_name(const char *map, const char *action) {
    const KeyFamily *f = map ? find_family(map) : nullptr;
    if (!f || !action) return nullptr;
    for (int i = 0; i < f->pair_count; i++) {
        if (!ieq(action, f->pairs[i].action)) continue;
        int code = f->pairs[i].code;
        if (f->names) return name_of(f->names, f->name_count, code);
        char text[16];
        return tret_n(text, size_t(snprintf(text, sizeof text, "0x%02x", code)));
    }
    return nullptr;
}

const char *optpl_action_json(void) {
    tv_ensure_init();
    xfree(g_tv.docs.action);
    g_tv.docs.action = nullptr;
    json_buf b;
    json_buf_init(&b, &XALC);
    json_buf_cstr(&b, "{\"actions\":[");
    for (int i = 0; i < ACTS_COUNT; i++) {
        const ActionRow *a = &ACTS[i];
        json_buf_cstr(&b, i ? ",{\"name\":" : "{\"name\":");
        jb_str(&b, a->name);
        jb_text(&b, ",\"legacy\":", a->legacy);
        jb_text(&b, ",\"direction\":", a->direction);
        jb_text(&b, ",\"family\":", a->family);
        jb_text(&b, ",\"description\":", a->description);
        json_buf_char(&b, '}');
    }
    json_buf_cstr(&b, "],\"maps\":[\"keyboard\",\"xbox\",\"siri\",\"androidtv\",\"cec\"]}");
    g_tv.docs.action = jb_finish(&b);
    return g_tv.docs.action;
}

int optpl_focus_apply(const char *action) {
    tv_ensure_init();
    int index = optpl_action_find(action);
    if (index < 0) return -1;
    const char *direction = ACTS[index].direction;
    if (!*direction) return 1;
    if (strcmp(direction, "back") == 0) return apply_back();
    if (strcmp(direction, "home") == 0) return apply_home();
    if (!g_tv.graph.built || g_tv.graph.current < 0 || g_tv.graph.current >= g_tv.graph.count) return 1;
    if (strcmp(direction, "confirm") == 0) {
        bool nothing;
        int rc = nav_enter(g_tv.graph.current, &nothing);
        // Nothing to enter: the host activates the item itself.
        return nothing ? OPTPL_NOTHING_TO_ENTER : rc;
    }
    int target = optpl_focus_move(g_tv.graph.current, direction);
    if (target < 0) return 1;
    g_tv.graph.current = target;
    return 0;
}

}  // extern "C"
