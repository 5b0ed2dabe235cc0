// The key tables against the platforms' own definitions of the codes.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "actions.h"
#include "optpl.h"

#if __has_include(<libcec/cectypes.h>)
#include <libcec/cectypes.h>
#define HAVE_CEC_TYPES 1
#endif

// Compares a map pair by pair with a reference list of the same pairs.
static void expect_same_map(const KeyAction *map, int count, const KeyAction *reference, int reference_count) {
    ASSERT_EQ(count, reference_count);
    for (int i = 0; i < count; i++) {
        EXPECT_EQ(map[i].code, reference[i].code) << "pair " << i << " (" << reference[i].action << ")";
        EXPECT_STREQ(map[i].action, reference[i].action) << "pair " << i;
    }
}

TEST(KeyTables, SizesCodesAndActionsHoldTogether) {
    struct Map {
        const char *what;
        const KeyAction *pairs;
        int count, expected_count;
        const KeyName *names;  // the names every code of the map must have, or NULL
        int name_count;
    } maps[] = {
        {"VK_MAP", VK_MAP, VK_MAP_COUNT, 52, VK_NAMES, VK_NAMES_COUNT},
        {"ANDROID_MAP", ANDROID_MAP, ANDROID_MAP_COUNT, 44, ANDROID_NAMES, ANDROID_NAMES_COUNT},
        {"LINUX_MAP", LINUX_MAP, LINUX_MAP_COUNT, 46, nullptr, 0},
        {"CEC_MAP", CEC_MAP, CEC_MAP_COUNT, 53, nullptr, 0},
        {"SIRI_MAP", SIRI_MAP, SIRI_MAP_COUNT, 12, nullptr, 0},
    };
    for (const Map &m : maps) {
        EXPECT_EQ(m.count, m.expected_count) << m.what;
        std::set<int> codes;
        for (int i = 0; i < m.count; i++) {
            const KeyAction &p = m.pairs[i];
            EXPECT_TRUE(codes.insert(p.code).second) << m.what << " repeats code " << p.code;
            int action = optpl_action_find(p.action);
            EXPECT_TRUE(action >= 0 && strcmp(ACTS[action].name, p.action) == 0) << m.what << ": " << p.action;
            bool named = !m.names;
            for (int j = 0; j < m.name_count && !named; j++) named = m.names[j].code == p.code;
            EXPECT_TRUE(named) << m.what << " code " << p.code << " has no key name";
        }
    }
    EXPECT_EQ(ACTS_COUNT, 41);
    EXPECT_EQ(VK_NAMES_COUNT, 88);
    EXPECT_EQ(ANDROID_NAMES_COUNT, 44);
    EXPECT_EQ(SIRI_NAMES_COUNT, 16);
    for (int i = 0; i < SIRI_NAMES_COUNT; i++) {
        bool mapped = false;
        for (int j = 0; j < SIRI_MAP_COUNT && !mapped; j++) mapped = SIRI_MAP[j].code == SIRI_NAMES[i].code;
        EXPECT_TRUE(mapped) << SIRI_NAMES[i].name;
    }
}

TEST(KeyTables, LinuxCodesAreTheInputEventCodes) {
    static const KeyAction REFERENCE[] = {
        {KEY_UP, "nav_up"},
        {KEY_DOWN, "nav_down"},
        {KEY_LEFT, "nav_left"},
        {KEY_RIGHT, "nav_right"},
        {KEY_PAGEUP, "page_up"},
        {KEY_PAGEDOWN, "page_down"},
        {KEY_HOME, "first"},
        {KEY_END, "last"},
        {KEY_ENTER, "confirm"},
        {KEY_SPACE, "confirm"},
        {KEY_OK, "confirm"},
        {KEY_BACK, "back"},
        {KEY_ESC, "back"},
        {KEY_CANCEL, "back"},
        {KEY_EXIT, "back"},
        {KEY_MENU, "menu"},
        {KEY_COMPOSE, "menu"},
        {KEY_HOMEPAGE, "home"},
        {KEY_POWER2, "home"},
        {KEY_SEARCH, "search"},
        {KEY_INFO, "info"},
        {KEY_PLAYPAUSE, "play_pause"},
        {KEY_STOPCD, "stop"},
        {KEY_NEXTSONG, "next"},
        {KEY_FASTFORWARD, "fast_forward"},
        {KEY_PREVIOUSSONG, "previous"},
        {KEY_REWIND, "rewind"},
        {KEY_VOLUMEUP, "volume_up"},
        {KEY_VOLUMEDOWN, "volume_down"},
        {KEY_MUTE, "mute"},
        {KEY_CHANNELUP, "channel_up"},
        {KEY_CHANNELDOWN, "channel_down"},
        {KEY_RED, "red"},
        {KEY_GREEN, "green"},
        {KEY_YELLOW, "yellow"},
        {KEY_BLUE, "blue"},
        {KEY_0, "number_0"},
        {KEY_1, "number_1"},
        {KEY_2, "number_2"},
        {KEY_3, "number_3"},
        {KEY_4, "number_4"},
        {KEY_5, "number_5"},
        {KEY_6, "number_6"},
        {KEY_7, "number_7"},
        {KEY_8, "number_8"},
        {KEY_9, "number_9"},
    };
    expect_same_map(LINUX_MAP, LINUX_MAP_COUNT, REFERENCE, int(std::size(REFERENCE)));
}

TEST(KeyTables, CecCodesAreTheUserControlCodes) {
#ifdef HAVE_CEC_TYPES
    using namespace CEC;
    static const KeyAction REFERENCE[] = {
        {CEC_USER_CONTROL_CODE_SELECT, "confirm"},
        {CEC_USER_CONTROL_CODE_ENTER, "confirm"},
        {CEC_USER_CONTROL_CODE_UP, "nav_up"},
        {CEC_USER_CONTROL_CODE_DOWN, "nav_down"},
        {CEC_USER_CONTROL_CODE_LEFT, "nav_left"},
        {CEC_USER_CONTROL_CODE_RIGHT, "nav_right"},
        {CEC_USER_CONTROL_CODE_ROOT_MENU, "home"},
        {CEC_USER_CONTROL_CODE_TOP_MENU, "home"},
        {CEC_USER_CONTROL_CODE_POWER, "home"},
        {CEC_USER_CONTROL_CODE_SETUP_MENU, "menu"},
        {CEC_USER_CONTROL_CODE_CONTENTS_MENU, "menu"},
        {CEC_USER_CONTROL_CODE_FAVORITE_MENU, "menu"},
        {CEC_USER_CONTROL_CODE_DVD_MENU, "menu"},
        {CEC_USER_CONTROL_CODE_EXIT, "back"},
        {CEC_USER_CONTROL_CODE_CLEAR, "back"},
        {CEC_USER_CONTROL_CODE_NUMBER0, "number_0"},
        {CEC_USER_CONTROL_CODE_NUMBER1, "number_1"},
        {CEC_USER_CONTROL_CODE_NUMBER2, "number_2"},
        {CEC_USER_CONTROL_CODE_NUMBER3, "number_3"},
        {CEC_USER_CONTROL_CODE_NUMBER4, "number_4"},
        {CEC_USER_CONTROL_CODE_NUMBER5, "number_5"},
        {CEC_USER_CONTROL_CODE_NUMBER6, "number_6"},
        {CEC_USER_CONTROL_CODE_NUMBER7, "number_7"},
        {CEC_USER_CONTROL_CODE_NUMBER8, "number_8"},
        {CEC_USER_CONTROL_CODE_NUMBER9, "number_9"},
        {CEC_USER_CONTROL_CODE_CHANNEL_UP, "channel_up"},
        {CEC_USER_CONTROL_CODE_CHANNEL_DOWN, "channel_down"},
        {CEC_USER_CONTROL_CODE_PREVIOUS_CHANNEL, "previous"},
        {CEC_USER_CONTROL_CODE_BACKWARD, "previous"},
        {CEC_USER_CONTROL_CODE_DISPLAY_INFORMATION, "info"},
        {CEC_USER_CONTROL_CODE_HELP, "info"},
        {CEC_USER_CONTROL_CODE_SUB_PICTURE, "info"},
        {CEC_USER_CONTROL_CODE_ELECTRONIC_PROGRAM_GUIDE, "info"},
        {CEC_USER_CONTROL_CODE_PAGE_UP, "page_up"},
        {CEC_USER_CONTROL_CODE_PAGE_DOWN, "page_down"},
        {CEC_USER_CONTROL_CODE_VOLUME_UP, "volume_up"},
        {CEC_USER_CONTROL_CODE_VOLUME_DOWN, "volume_down"},
        {CEC_USER_CONTROL_CODE_MUTE, "mute"},
        {CEC_USER_CONTROL_CODE_MUTE_FUNCTION, "mute"},
        {CEC_USER_CONTROL_CODE_PLAY, "play"},
        {CEC_USER_CONTROL_CODE_PLAY_FUNCTION, "play"},
        {CEC_USER_CONTROL_CODE_STOP, "stop"},
        {CEC_USER_CONTROL_CODE_STOP_FUNCTION, "stop"},
        {CEC_USER_CONTROL_CODE_PAUSE, "pause"},
        {CEC_USER_CONTROL_CODE_RECORD, "play_pause"},
        {CEC_USER_CONTROL_CODE_PAUSE_PLAY_FUNCTION, "play_pause"},
        {CEC_USER_CONTROL_CODE_REWIND, "rewind"},
        {CEC_USER_CONTROL_CODE_FAST_FORWARD, "fast_forward"},
        {CEC_USER_CONTROL_CODE_FORWARD, "next"},
        {CEC_USER_CONTROL_CODE_F1_BLUE, "blue"},
        {CEC_USER_CONTROL_CODE_F2_RED, "red"},
        {CEC_USER_CONTROL_CODE_F3_GREEN, "green"},
        {CEC_USER_CONTROL_CODE_F4_YELLOW, "yellow"},
    };
    expect_same_map(CEC_MAP, CEC_MAP_COUNT, REFERENCE, int(std::size(REFERENCE)));
#else
    GTEST_SKIP() << "libcec-dev is not installed (libcec/cectypes.h)";
#endif
}

// ---- Windows virtual keys ----

static const char *const WINUSER_H = "/usr/share/mingw-w64/include/winuser.h";

// The VK_ constants of winuser.h by name without the prefix; empty when the file is absent.
static std::map<std::string, int> read_vk_defines() {
    std::map<std::string, int> codes;
    std::ifstream in(WINUSER_H);
    for (std::string line; std::getline(in, line);) {
        char name[64], value[32];
        if (sscanf(line.c_str(), " #define VK_%63[A-Za-z0-9_] %31s", name, value) != 2) continue;
        char *end;
        long code = strtol(value, &end, 0);
        if (!*end) codes[name] = int(code);  // skips definitions by expression
    }
    return codes;
}

// The winuser.h constant for a key name of the table: GamepadDPadUp -> GAMEPAD_DPAD_UP,
// except for the keys Win32 calls otherwise.
static std::string vk_define_name(const std::string &name) {
    static const std::map<std::string, std::string> RENAMED = {
        {"Enter", "RETURN"},
        {"PageUp", "PRIOR"},
        {"PageDown", "NEXT"},
        {"Application", "APPS"},
        {"GoBack", "BROWSER_BACK"},
        {"GoForward", "BROWSER_FORWARD"},
        {"Stop", "BROWSER_STOP"},
        {"Search", "BROWSER_SEARCH"},
        {"Favorites", "BROWSER_FAVORITES"},
        {"GoHome", "BROWSER_HOME"},
    };
    auto renamed = RENAMED.find(name);
    if (renamed != RENAMED.end()) return renamed->second;
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        if (i && isupper((unsigned char)name[i]) && !isupper((unsigned char)name[i - 1])) out += '_';
        out += char(toupper((unsigned char)name[i]));
    }
    return out;
}

// Win32 has no constants for letter and digit keys: they are the ASCII codes.
static int ascii_key(const std::string &name) {
    if (name.size() == 1 && isupper((unsigned char)name[0])) return name[0];
    if (name.size() == 7 && name.rfind("Number", 0) == 0 && isdigit((unsigned char)name[6])) return name[6];
    return -1;
}

TEST(KeyTables, VirtualKeyNamesAreTheWindowsCodes) {
    std::map<std::string, int> defines = read_vk_defines();
    if (defines.empty()) GTEST_SKIP() << WINUSER_H << " is absent (package mingw-w64-common)";
    ASSERT_EQ(defines["UP"], 0x26) << "winuser.h was not read as expected";
    for (int i = 0; i < VK_NAMES_COUNT; i++) {
        std::string name = VK_NAMES[i].name;
        int code = VK_NAMES[i].code;
        if (name == "None") {
            EXPECT_EQ(code, 0);
        } else if (ascii_key(name) >= 0) {
            EXPECT_EQ(code, ascii_key(name)) << name;
        } else {
            auto found = defines.find(vk_define_name(name));
            ASSERT_NE(found, defines.end()) << name << ": no VK_" << vk_define_name(name);
            EXPECT_EQ(code, found->second) << name << " vs VK_" << found->first;
        }
    }
}

// ---- Android key codes ----

TEST(KeyTables, AndroidNamesAreTheKeyEventCodes) {
    // KeyEvent.KEYCODE_... values, written out here: no Android header on this machine.
    static const std::map<std::string, int> KEYCODES = {
        {"HOME", 3},          {"BACK", 4},
        {"0", 7},             {"1", 8},
        {"2", 9},             {"3", 10},
        {"4", 11},            {"5", 12},
        {"6", 13},            {"7", 14},
        {"8", 15},            {"9", 16},
        {"DPAD_UP", 19},      {"DPAD_DOWN", 20},
        {"DPAD_LEFT", 21},    {"DPAD_RIGHT", 22},
        {"DPAD_CENTER", 23},  {"VOLUME_UP", 24},
        {"VOLUME_DOWN", 25},  {"ENTER", 66},
        {"MENU", 82},         {"SEARCH", 84},
        {"MEDIA_PLAY_PAUSE", 85}, {"MEDIA_STOP", 86},
        {"MEDIA_NEXT", 87},   {"MEDIA_PREVIOUS", 88},
        {"MEDIA_REWIND", 89}, {"MEDIA_FAST_FORWARD", 90},
        {"PAGE_UP", 92},      {"PAGE_DOWN", 93},
        {"ESCAPE", 111},      {"MOVE_HOME", 122},
        {"MOVE_END", 123},    {"MEDIA_PLAY", 126},
        {"MEDIA_PAUSE", 127}, {"NUMPAD_ENTER", 160},
        {"VOLUME_MUTE", 164}, {"INFO", 165},
        {"CHANNEL_UP", 166},  {"CHANNEL_DOWN", 167},
        {"PROG_RED", 183},    {"PROG_GREEN", 184},
        {"PROG_YELLOW", 185}, {"PROG_BLUE", 186},
    };
    int checked = 0;
    for (int i = 0; i < ANDROID_NAMES_COUNT; i++) {
        std::string name = ANDROID_NAMES[i].name;
        // The table spells the digit keys DIGIT_0..DIGIT_9; KeyEvent calls them KEYCODE_0..KEYCODE_9.
        if (name.rfind("DIGIT_", 0) == 0) name = name.substr(6);
        auto found = KEYCODES.find(name);
        ASSERT_NE(found, KEYCODES.end()) << name;
        EXPECT_EQ(ANDROID_NAMES[i].code, found->second) << name;
        checked++;
    }
    EXPECT_EQ(checked, int(KEYCODES.size()));
}
