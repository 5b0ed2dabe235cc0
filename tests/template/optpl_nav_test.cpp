#include <random>
#include <string>

#include "optpl_test_util.h"
#include "tv.h"

static std::string items(const std::string &prefix, int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += std::string(i ? "," : "") + R"({"Key":")" + prefix + std::to_string(i) + "\"}";
    return s;
}

// Sections A (3 nodes), B (12 nodes), C (no focus node), D (4 nodes), laid out in 5 columns.
class Moves : public Optpl {
protected:
    void SetUp() override {
        Optpl::SetUp();
        std::string t = R"({"Settings":[{"Key":"A","Items":[)" + items("a", 3) + R"(]},{"Key":"B","Items":[)" +
                        items("b", 12) + R"(]},{"Key":"C","Items":[{"Key":"c","Type":"PreProcess"}]},)" +
                        R"({"Key":"D","Items":[)" + items("d", 4) + "]}]}";
        ASSERT_EQ(optpl_add_template("t.json", t.c_str()), 0);
        optpl_set_tv_columns(5);
        optpl_set_tv_rows(2);
        ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
        ASSERT_EQ(optpl_focus_count(), 19);
    }
    static int at(const char *path) { return optpl_focus_find(path); }
    static int move(const char *from, const char *dir) { return optpl_focus_move(at(from), dir); }
};

TEST_F(Moves, UpAndDownCrossRowsAndSections) {
    EXPECT_EQ(move("b7", "down"), at("b11"));  // row 2 column 2 is past the last node
    EXPECT_EQ(move("b10", "down"), at("d0"));  // skips the section without focus nodes
    EXPECT_EQ(move("b11", "down"), at("d1"));
    EXPECT_EQ(move("b2", "up"), at("a2"));     // the previous section's last row, column 2
    EXPECT_EQ(move("b4", "up"), at("a2"));     // column 4 lies beyond a's last node
    EXPECT_EQ(move("d3", "up"), at("b11"));    // B's last row, column 3, lowered to its last node
    EXPECT_EQ(move("a1", "up"), -1);
    EXPECT_EQ(move("d2", "down"), -1);
}

TEST_F(Moves, LeftRightAndScreenfuls) {
    EXPECT_EQ(move("b5", "left"), -1);
    EXPECT_EQ(move("b4", "right"), -1);
    EXPECT_EQ(move("b11", "right"), -1);
    EXPECT_EQ(move("b6", "right"), at("b7"));
    EXPECT_EQ(move("b3", "pagedown"), at("b11"));  // 3 + 10 clamped to the section
    EXPECT_EQ(move("b3", "pageup"), at("b0"));
    EXPECT_EQ(move("b0", "First"), 0);
    EXPECT_EQ(move("b0", "LAST"), 18);
    EXPECT_EQ(move("b0", "home"), -1);
    EXPECT_EQ(optpl_focus_move(0, nullptr), -1);
    EXPECT_EQ(optpl_focus_move(19, "up"), -1);
    EXPECT_EQ(optpl_focus_index(), 0);  // computing a move does not move
}

TEST_F(Optpl, OneNodeGraph) {
    ASSERT_EQ(optpl_add_template("t.json", R"({"Settings":[{"Items":[{"Key":"only"}]}]})"), 0);
    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
    for (const char *dir : {"up", "down", "left", "right"}) EXPECT_EQ(optpl_focus_move(0, dir), -1) << dir;
    for (const char *dir : {"first", "last", "pageup", "pagedown"}) EXPECT_EQ(optpl_focus_move(0, dir), 0) << dir;
    EXPECT_EQ(optpl_focus_unreachable_count(), 0);
    EXPECT_EQ(optpl_focus_unreachable(0), nullptr);
}

TEST_F(Optpl, ScreenfulsInSixtyFourBits) {
    std::string t = R"({"Settings":[{"Items":[)" + items("n", 30) + "]}]}";
    ASSERT_EQ(optpl_add_template("t.json", t.c_str()), 0);
    optpl_set_tv_columns(70000);
    optpl_set_tv_rows(70000);
    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
    EXPECT_EQ(optpl_focus_move(3, "pagedown"), 29);
    EXPECT_EQ(optpl_focus_move(3, "pageup"), 0);
}

// Every node is reachable from the default by the four moves: the search
// must agree on any grid the library can build.
TEST_F(Optpl, EveryNodeIsReachable) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        int sections = 1 + int(rng() % 6);
        std::string t = R"({"Settings":[)";
        for (int s = 0; s < sections; s++) {
            int n = int(rng() % 14);
            t += std::string(s ? "," : "") + R"({"Key":"S)" + std::to_string(s) + R"(","Items":[)";
            for (int i = 0; i < n; i++) {
                bool focus = rng() % 17 == 0, skip = rng() % 9 == 0;
                t += std::string(i ? "," : "") + R"({"Key":"k)" + std::to_string(s) + "_" + std::to_string(i) + "\"" +
                     (skip ? R"(,"Type":"PreProcess")" : "") +
                     (focus ? R"(,"Extension":{"UWP":{"DefaultFocus":"true"}})" : "") + "}";
            }
            t += "]}";
        }
        t += "]}";
        optpl_set_clean_empty(int(rng() % 2));
        optpl_set_tv_columns(int(rng() % 7));
        optpl_set_tv_rows(1 + int(rng() % 4));
        ASSERT_EQ(optpl_add_template("t.json", t.c_str()), 0);
        ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
        SCOPED_TRACE(t);
        EXPECT_EQ(optpl_focus_unreachable_count(), 0);
        // Each move stays in range and never lands on the node it started from.
        for (int i = 0; i < optpl_focus_count(); i++)
            for (const char *dir : {"up", "down", "left", "right"}) {
                int to = optpl_focus_move(i, dir);
                EXPECT_TRUE(to == -1 || (to >= 0 && to < optpl_focus_count() && to != i)) << i << dir;
            }
    }
}

TEST_F(Optpl, UnreachableNodesAreListed) {
    // The rules reach every node, so forge one: the default claims the last
    // column of a one-row grid, where no move leads anywhere.
    ASSERT_EQ(optpl_add_template("t.json", (R"({"Settings":[{"Items":[)" + items("n", 3) + "]}]}").c_str()), 0);
    optpl_set_tv_columns(3);
    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
    g_tv.graph.nodes[0].col = 2;
    EXPECT_EQ(optpl_focus_unreachable_count(), 2);
    EXPECT_STREQ(optpl_focus_unreachable(0), "n1");
    EXPECT_STREQ(optpl_focus_unreachable(1), "n2");
    EXPECT_EQ(optpl_focus_unreachable(2), nullptr);
}

static const char PAGES[] = R"({"Settings":[{"Key":"Top","Items":[{"Key":"Home"},
  {"Key":"Settings","Group":{"Settings":[{"Key":"In","Items":[{"Key":"Video"},
    {"Key":"Audio","Group":{"Settings":[{"Items":[{"Key":"Volume"},
      {"Key":"Deep","Group":{"Settings":[{"Items":[{"Key":"Bottom"}]}]}}]}]}}]}]}},
  {"Group":{"Settings":[{"Items":[{"Key":"x"}]}]}}]}]})";

class Pages : public Optpl {
protected:
    void SetUp() override {
        Optpl::SetUp();
        ASSERT_EQ(optpl_add_template("t.json", PAGES), 0);
        ASSERT_EQ(optpl_focus_build("t.json", "Settings"), 0);
    }
    static std::string nav(int i, const char *field) {
        const char *v = optpl_nav_field(i, field);
        return v ? v : "<NULL>";
    }
};

TEST_F(Pages, EnterAndBackRestoreTheFocus) {
    int audio = optpl_focus_find("Audio");
    EXPECT_EQ(optpl_focus_enter(audio), 0);
    EXPECT_EQ(optpl_nav_depth(), 1);
    EXPECT_EQ(nav(0, "template"), "t.json");
    EXPECT_EQ(nav(0, "page"), "Settings");
    EXPECT_EQ(nav(0, "focus_path"), "Audio");
    EXPECT_EQ(nav(0, "focus_index"), std::to_string(audio));
    EXPECT_STREQ(optpl_focus_field(0, "key"), "Volume");
    EXPECT_EQ(optpl_focus_enter(optpl_focus_find("Volume")), 1);  // no group

    EXPECT_EQ(optpl_focus_back(), 0);
    EXPECT_EQ(optpl_nav_depth(), 0);
    EXPECT_EQ(optpl_focus_index(), audio);
    EXPECT_EQ(nav(0, "popped_path"), "Audio");
    EXPECT_EQ(nav(0, "popped_index"), std::to_string(audio));
    EXPECT_EQ(nav(1, "popped_path"), "<NULL>");
    EXPECT_EQ(nav(-1, "template"), "<NULL>");
    EXPECT_EQ(optpl_focus_back(), 1);  // empty stack: nothing changes
    EXPECT_EQ(optpl_focus_index(), audio);
}

TEST_F(Pages, EnterNeedsAKeyAndAGroup) {
    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
    ASSERT_EQ(optpl_focus_count(), 3);
    EXPECT_EQ(optpl_focus_enter(2), 1);  // a group but no Key
    EXPECT_EQ(optpl_focus_enter(0), 1);
    EXPECT_EQ(optpl_focus_enter(3), -1);
    EXPECT_EQ(optpl_nav_depth(), 0);
}

TEST_F(Pages, HiddenRememberedItemFocusesTheDefault) {
    EXPECT_EQ(optpl_focus_enter(optpl_focus_find("Audio")), 0);
    std::string hidden = PAGES;
    hidden.replace(hidden.find(R"({"Key":"Audio",)"), 15, R"({"Key":"Audio","Extension":{"UWP":{"Enabled":"False"}},)");
    ASSERT_EQ(optpl_add_template("t.json", hidden.c_str()), 0);
    EXPECT_EQ(optpl_focus_back(), 0);
    EXPECT_EQ(optpl_focus_index(), optpl_focus_default());
    EXPECT_EQ(nav(0, "popped_path"), "Video");
}

TEST_F(Pages, FailedEnterRestoresTheStackAndFocus) {
    optpl_focus_set(optpl_focus_find("Audio"));
    int audio = optpl_focus_index();
    ASSERT_EQ(optpl_add_template("t.json", "{}"), 0);  // Settings/Audio no longer exists
    EXPECT_EQ(optpl_focus_enter(audio), 1);
    EXPECT_EQ(optpl_nav_depth(), 0);
    EXPECT_EQ(optpl_focus_index(), audio);
}

TEST_F(Pages, PushedEntriesAndRoot) {
    EXPECT_STREQ(optpl_focus_root(), "t.json");
    EXPECT_EQ(optpl_nav_push("home.json", nullptr, nullptr), 1);
    EXPECT_EQ(nav(0, "page"), "");
    EXPECT_EQ(nav(0, "focus_index"), "-1");
    EXPECT_STREQ(optpl_focus_root(), "home.json");
    EXPECT_EQ(optpl_focus_back(), 1);  // home.json is not in the bundle
    EXPECT_EQ(last_error(), "no template named home.json");
    EXPECT_EQ(optpl_nav_depth(), 0);   // the entry is gone all the same
    optpl_nav_push("a", "b", "c");
    optpl_nav_clear();
    EXPECT_EQ(optpl_nav_depth(), 0);
    EXPECT_EQ(nav(0, "popped_index"), "-1");
    EXPECT_GT(optpl_focus_count(), 0);  // the graph is untouched
}
