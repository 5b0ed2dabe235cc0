#include <string>

#include "json.h"
#include "optpl_test_util.h"
#include "tv.h"

using Actions = Optpl;

static std::string str(const char *s) { return s ? s : "(null)"; }

TEST_F(Actions, LookupsReadTablesWithoutInitialising) {
    EXPECT_EQ(optpl_action_count(), 41);
    EXPECT_EQ(optpl_action_find("NAV_UP"), 0);
    EXPECT_STREQ(optpl_action_field(4, "legacy"), "HotkeyAction_action_previous");
    EXPECT_STREQ(optpl_action_from_virtual_key(195), "confirm");
    EXPECT_STREQ(optpl_action_from_key("xbox", "GamepadA"), "confirm");
    EXPECT_STREQ(optpl_action_key_name("cec", "menu"), "0x0a");
    EXPECT_EQ(g_lib.initialised, 0);
    EXPECT_EQ(g_tv.initialised, 0);
}

TEST_F(Actions, FindAndFields) {
    EXPECT_EQ(optpl_action_find("number_9"), 40);
    EXPECT_EQ(optpl_action_find("Play_Pause"), 16);
    EXPECT_EQ(optpl_action_find("number"), -1);
    EXPECT_EQ(optpl_action_find(""), -1);
    EXPECT_EQ(optpl_action_find(nullptr), -1);
    EXPECT_STREQ(optpl_action_field(0, "name"), "nav_up");
    EXPECT_STREQ(optpl_action_field(0, "legacy"), "");
    EXPECT_STREQ(optpl_action_field(40, "description"), "digit 9");
    EXPECT_STREQ(optpl_action_field(11, "direction"), "home");
    EXPECT_STREQ(optpl_action_field(27, "family"), "colour");
    EXPECT_EQ(optpl_action_field(41, "name"), nullptr);
    EXPECT_EQ(optpl_action_field(-1, "name"), nullptr);
    EXPECT_EQ(optpl_action_field(0, "Name"), nullptr);  // field names are exact
    EXPECT_EQ(optpl_action_field(0, nullptr), nullptr);
}

TEST_F(Actions, CodeLookups) {
    struct Case {
        const char *(*lookup)(int);
        int code;
        const char *action;
    } cases[] = {
        {optpl_action_from_virtual_key, 195, "confirm"},
        {optpl_action_from_virtual_key, 83, "stop"},
        {optpl_action_from_virtual_key, 77, nullptr},  // M has a name but no action
        {optpl_action_from_virtual_key, -1, nullptr},
        {optpl_action_from_android_keycode, 23, "confirm"},
        {optpl_action_from_android_keycode, 7, "number_0"},
        {optpl_action_from_android_keycode, 26, nullptr},
        {optpl_action_from_linux_keycode, 352, "confirm"},
        {optpl_action_from_linux_keycode, 11, "number_0"},
        {optpl_action_from_linux_keycode, 2, "number_1"},
        {optpl_action_from_linux_keycode, 0, nullptr},
        {optpl_action_from_cec, 0x00, "confirm"},
        {optpl_action_from_cec, 0x0D, "back"},
        {optpl_action_from_cec, 0x71, "blue"},
        {optpl_action_from_cec, 0x05, nullptr},
    };
    for (const Case &c : cases) EXPECT_EQ(str(c.lookup(c.code)), str(c.action)) << c.code;
}

TEST_F(Actions, KeysByNameOrNumber) {
    struct Case {
        const char *map, *key, *action;
    } cases[] = {
        {"XBOX", "gamepada", "confirm"},
        {"keyboard", "0x26", "nav_up"},
        {"keyboard", "38", "nav_up"},
        {"keyboard", "s", "stop"},
        {"keyboard", "None", nullptr},  // code 0 has no action
        {"keyboard", "M", nullptr},
        {"keyboard", "-38", nullptr},
        {"keyboard", "Nothing", nullptr},
        {"androidtv", "dpad_center", "confirm"},
        {"AndroidTV", "0x17", "confirm"},
        {"androidtv", "PROG_RED", "red"},
        {"siri", "Menu", "back"},
        {"siri", "CLICK", "confirm"},
        {"siri", "7", nullptr},  // siri keys are names only
        {"cec", "43", "confirm"},
        {"cec", "0x2b", "confirm"},
        {"cec", "select", nullptr},  // cec keys are numbers only
        {"remote", "38", nullptr},
        {nullptr, "38", nullptr},
        {"keyboard", nullptr, nullptr},
    };
    for (const Case &c : cases)
        EXPECT_EQ(str(optpl_action_from_key(c.map, c.key)), str(c.action)) << str(c.map) << " " << str(c.key);
}

TEST_F(Actions, KeyNames) {
    struct Case {
        const char *map, *action, *name;
    } cases[] = {
        {"keyboard", "nav_up", "Up"},
        {"keyboard", "confirm", "Enter"},
        {"xbox", "home", "NavigationMenu"},
        {"Keyboard", "PLAY_PAUSE", "GamepadY"},
        {"keyboard", "volume_up", nullptr},  // no volume keys among the virtual keys
        {"androidtv", "nav_up", "DPAD_UP"},
        {"androidtv", "confirm", "DPAD_CENTER"},
        {"siri", "confirm", "select"},
        {"siri", "menu", nullptr},  // button 12 has no name
        {"cec", "menu", "0x0a"},
        {"cec", "confirm", "0x00"},
        {"cec", "home", "0x09"},
        {"cec", "search", nullptr},
        {"remote", "confirm", nullptr},
        {nullptr, "confirm", nullptr},
        {"cec", nullptr, nullptr},
    };
    for (const Case &c : cases)
        EXPECT_EQ(str(optpl_action_key_name(c.map, c.action)), str(c.name)) << str(c.map) << " " << str(c.action);
}

TEST_F(Actions, DocumentListsEveryActionThenTheMaps) {
    std::string doc = optpl_action_json();
    EXPECT_EQ(doc.rfind(R"({"actions":[{"name":"nav_up","legacy":"","direction":"up","family":"focus","description":"D-pad up"},{"name":"nav_down",)", 0),
              0u);
    const std::string tail =
        R"({"name":"number_9","legacy":"","direction":"","family":"digit","description":"digit 9"}],"maps":["keyboard","xbox","siri","androidtv","cec"]})";
    ASSERT_GE(doc.size(), tail.size());
    EXPECT_EQ(doc.substr(doc.size() - tail.size()), tail);

    json_doc *parsed = json_read(doc.data(), doc.size(), 0, nullptr, nullptr);
    ASSERT_NE(parsed, nullptr);
    json_val *actions = json_obj_get(json_doc_root(parsed), "actions");
    ASSERT_EQ(json_get_len(actions), 41u);
    static const char *const FIELDS[] = {"name", "legacy", "direction", "family", "description"};
    for (int i = 0; i < 41; i++)
        for (const char *field : FIELDS)
            EXPECT_STREQ(json_get_str(json_obj_get(json_arr_get(actions, i), field)), optpl_action_field(i, field))
                << i << " " << field;
    json_doc_free(parsed);
}

TEST_F(Actions, DocumentIsWholeOrNull) {
    std::string whole = optpl_action_json();
    xalloc_fail_at(0);
    optpl_action_json();
    long calls = xalloc_calls();
    ASSERT_GT(calls, 0);
    for (long n = 1; n <= calls; n++) {
        xalloc_fail_at(n);
        const char *doc = optpl_action_json();
        xalloc_fail_at(0);
        if (doc) {
            EXPECT_EQ(doc, whole) << n;
        }
    }
    xalloc_fail_at(1);
    EXPECT_EQ(optpl_action_json(), nullptr);
}

// ---- applying actions to the focus graph ----

// The root page: Leaf, Audio (three pages deep: Audio/Output/Device) and an
// item whose key holds a '/', so the page path built from it names no page.
static const char *const PAGES = R"({"Settings":[{"Key":"S","Items":[
    {"Key":"Leaf"},
    {"Key":"Audio","Group":{"Settings":[{"Key":"A","Items":[{"Key":"Volume"},
        {"Key":"Output","Group":{"Settings":[{"Key":"O","Items":[
            {"Key":"Device","Group":{"Settings":[{"Items":[{"Key":"Name"}]}]}}]}]}}]}]}},
    {"Key":"a/b","Group":{"Settings":[{"Items":[{"Key":"x"}]}]}}]}]})";

class Apply : public Optpl {
protected:
    void SetUp() override {
        Optpl::SetUp();
        ASSERT_EQ(optpl_add_template("t.json", PAGES), 0);
        ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
    }
    static std::string current_path() {
        int i = optpl_focus_index();
        return i < 0 ? "" : optpl_focus_field(i, "path");
    }
    static void focus(const char *path) { ASSERT_EQ(optpl_focus_set(optpl_focus_find(path)), 0); }
};

TEST_F(Apply, MovesTheFocus) {
    struct Step {
        const char *action;
        int rc;
        const char *path;
    } steps[] = {
        {"NAV_DOWN", 0, "Audio"}, {"nav_down", 0, "a/b"}, {"Nav_Down", 1, "a/b"},  // bottom: stays
        {"nav_right", 1, "a/b"},  {"first", 0, "Leaf"},   {"nav_up", 1, "Leaf"},
        {"last", 0, "a/b"},       {"page_up", 0, "Leaf"}, {"page_down", 0, "a/b"},
    };
    for (const Step &s : steps) {
        EXPECT_EQ(optpl_focus_apply(s.action), s.rc) << s.action;
        EXPECT_EQ(current_path(), s.path) << s.action;
    }
}

TEST_F(Apply, OtherActionsAreTheHosts) {
    EXPECT_EQ(optpl_focus_apply("play"), 1);
    EXPECT_EQ(optpl_focus_apply("menu"), 1);
    EXPECT_EQ(optpl_focus_apply("number_3"), 1);
    EXPECT_EQ(optpl_focus_apply("jump"), -1);
    EXPECT_EQ(optpl_focus_apply(nullptr), -1);
    EXPECT_EQ(current_path(), "Leaf");
}

TEST_F(Apply, WithoutAGraph) {
    optpl_cleanup();
    EXPECT_EQ(optpl_focus_apply("nav_down"), 1);
    EXPECT_EQ(optpl_focus_apply("confirm"), 1);
    EXPECT_EQ(optpl_focus_apply("back"), 3);
    EXPECT_EQ(optpl_focus_apply("home"), 3);
}

TEST_F(Apply, ConfirmEntersAndBackRestores) {
    EXPECT_EQ(optpl_focus_apply("confirm"), 2);  // Leaf has no group
    EXPECT_EQ(optpl_nav_depth(), 0);
    focus("Audio");
    EXPECT_EQ(optpl_focus_apply("confirm"), 0);
    EXPECT_EQ(optpl_nav_depth(), 1);
    EXPECT_EQ(current_path(), "Volume");
    EXPECT_EQ(optpl_focus_apply("back"), 0);
    EXPECT_EQ(optpl_nav_depth(), 0);
    EXPECT_EQ(current_path(), "Audio");
    EXPECT_EQ(optpl_focus_apply("back"), 3);  // the root page
    EXPECT_EQ(current_path(), "Audio");
}

TEST_F(Apply, FailedPageBuildIsNotNothingToEnter) {
    focus("a/b");
    int before = optpl_focus_index();
    EXPECT_EQ(optpl_focus_apply("confirm"), 1);
    EXPECT_NE(last_error().find("page 'a/b' not found"), std::string::npos) << last_error();
    EXPECT_EQ(optpl_nav_depth(), 0);
    EXPECT_EQ(optpl_focus_index(), before);
}

TEST_F(Apply, HomeReturnsToTheRootPage) {
    focus("Audio");
    ASSERT_EQ(optpl_focus_apply("confirm"), 0);
    focus("Output");
    ASSERT_EQ(optpl_focus_apply("confirm"), 0);
    ASSERT_EQ(optpl_focus_apply("confirm"), 0);  // Device, the only node
    ASSERT_EQ(optpl_nav_depth(), 3);
    EXPECT_EQ(optpl_focus_apply("HOME"), 0);
    EXPECT_EQ(optpl_nav_depth(), 0);
    EXPECT_GE(optpl_focus_find("Leaf"), 0);
    EXPECT_EQ(current_path(), "Audio");
    EXPECT_EQ(optpl_focus_apply("home"), 3);
}

TEST_F(Apply, FailedReturnGivesTheBuildsCode) {
    ASSERT_EQ(optpl_nav_push("gone.json", "", ""), 1);
    EXPECT_EQ(optpl_focus_apply("back"), 1);  // no such template, not an empty stack
    EXPECT_EQ(optpl_nav_depth(), 0);

    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);  // the failed render emptied the page
    focus("Audio");
    ASSERT_EQ(optpl_focus_apply("confirm"), 0);
    ASSERT_EQ(optpl_nav_push("gone.json", "", ""), 2);
    EXPECT_EQ(optpl_focus_apply("home"), 1);  // the first failed return ends the loop
    EXPECT_EQ(optpl_nav_depth(), 1);
    EXPECT_EQ(optpl_focus_apply("home"), 0);
    EXPECT_EQ(current_path(), "Audio");
}
