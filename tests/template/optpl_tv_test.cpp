#include <string>

#include "optpl_test_util.h"
#include "tv.h"

using Tv = Optpl;

TEST_F(Tv, DefaultsAndSetters) {
    EXPECT_STREQ(optpl_form_factor(), "desktop");
    EXPECT_EQ(optpl_tv_columns(), 1);
    EXPECT_EQ(optpl_tv_rows(), 10);
    EXPECT_STREQ(optpl_tv_layout_json(), R"({"form":"desktop","columns":1,"rows":10,"safe_inset":5,"sections":[]})");
    EXPECT_EQ(optpl_set_form_factor("TV"), 0);
    EXPECT_STREQ(optpl_form_factor(), "tv");
    EXPECT_EQ(optpl_set_form_factor("television"), 1);
    EXPECT_EQ(optpl_set_form_factor(nullptr), -1);
    EXPECT_STREQ(optpl_form_factor(), "tv");
    optpl_set_tv_rows(0);
    EXPECT_EQ(optpl_tv_rows(), 10);
    optpl_set_tv_rows(-3);
    EXPECT_EQ(optpl_tv_rows(), 10);
    optpl_set_tv_columns(-2);
    EXPECT_EQ(g_tv.layout.columns, 0);
    optpl_set_tv_safe_inset(40);
    EXPECT_EQ(g_tv.layout.safe_inset, 25);
    optpl_set_tv_safe_inset(-1);
    EXPECT_EQ(g_tv.layout.safe_inset, 0);
    optpl_init();  // the focus state is independent of the library state
    EXPECT_STREQ(optpl_form_factor(), "tv");
    optpl_cleanup();
    EXPECT_STREQ(optpl_form_factor(), "desktop");
}

TEST_F(Tv, ParseInt) {
    const std::pair<const char *, int> cases[] = {
        {"12", 12}, {" \t0x1F", 31}, {"0X4", 4}, {"-7", -7}, {"9abc", 9}, {"abc", -1}, {"", -1},
        {"2147483647", 2147483647}, {"2147483648", -1}, {"0x", -1}, {"-", -1}, {"0xg", -1},
    };
    for (const auto &[text, value] : cases) EXPECT_EQ(parse_int(text, strlen(text)), value) << text;
}

static std::string items(int n, const char *extra = "") {
    std::string s;
    for (int i = 0; i < n; i++) s += std::string(i ? "," : "") + R"({"Key":"i)" + std::to_string(i) + "\"" + extra + "}";
    return s;
}

class Focus : public Optpl {
protected:
    void build(const std::string &group_props, const std::string &item_list, int expect = 0) {
        std::string t = "{" + group_props + R"("Settings":[{"Key":"S","Items":[)" + item_list + "]}]}";
        ASSERT_EQ(optpl_add_template("t.json", t.c_str()), 0);
        ASSERT_EQ(optpl_focus_build("t.json", nullptr), expect) << last_error();
    }
};

TEST_F(Focus, ColumnsFromThePage) {
    const std::pair<std::string, int> cases[] = {
        {R"("UseGrid":"true",)", 5},
        {R"("UseGrid":true,"Extension":{"iOS":{"SuggestColumnCount":"0x4"}},)", 4},
        {R"("UseGrid":"TRUE","Extension":{"iOS":{"SuggestColumnCount":40}},)", 5},
        {R"("UseGrid":"true","Extension":{"iOS":{"SuggestColumnCount":"abc"}},)", 5},
        {R"("UseGrid":"yes",)", 1},
        {"", 1},
    };
    for (const auto &[props, cols] : cases) {
        SCOPED_TRACE(props);
        build(props, items(3));
        EXPECT_EQ(optpl_tv_columns(), cols);
    }
    optpl_set_tv_columns(3);
    build(R"("UseGrid":"yes",)", items(3));
    EXPECT_EQ(optpl_tv_columns(), 3);
}

TEST_F(Focus, GridPositionsAndLayout) {
    optpl_set_tv_columns(5);
    build("", items(12));
    ASSERT_EQ(optpl_focus_count(), 12);
    EXPECT_STREQ(optpl_focus_field(11, "row"), "2");
    EXPECT_STREQ(optpl_focus_field(11, "col"), "1");
    EXPECT_STREQ(optpl_focus_field(11, "grid"), "1");
    EXPECT_STREQ(optpl_focus_field(11, "path"), "i11");
    EXPECT_STREQ(optpl_focus_field(11, "page"), "0");
    EXPECT_EQ(std::string(optpl_tv_layout_json()),
              R"({"form":"desktop","columns":5,"rows":10,"safe_inset":5,"sections":[{"key":"S","cols":5,"rows":10,"items":12,"pages":1,"first":0}]})");
    optpl_set_tv_rows(2);
    EXPECT_EQ(optpl_focus_count(), 0);  // a layout change discards the graph
    build("", items(12));
    EXPECT_NE(std::string(optpl_tv_layout_json()).find(R"("pages":2)"), std::string::npos);
    EXPECT_STREQ(optpl_focus_field(11, "page"), "1");
    optpl_set_tv_safe_inset(3);
    EXPECT_EQ(optpl_focus_count(), 12);  // the inset keeps it
}

TEST_F(Focus, WhichItemsTakeFocus) {
    build("", R"({"Key":"a","Extension":{"UWP":{"Focusable":"False"}}},{"Key":"b","Extension":{"UWP":{"Focusable":0}}},
                {"Key":"c","Extension":{"UWP":{"Focusable":""}}},{"Key":"d","Type":"MenuPreProcess"},
                {"Key":"e","Type":"PreProcess"},{"Key":"f","Type":"preprocess"},
                {"Key":"g","Extension":{"UWP":{"DefaultFocus":"True"}},"Group":{"Settings":[{"Items":[{"Key":"n"}]}]}},
                {"Key":"h","Extension":{"UWP":{"DefaultFocus":"True"}}})");
    ASSERT_EQ(optpl_focus_count(), 4);
    EXPECT_STREQ(optpl_focus_field(0, "key"), "c");
    EXPECT_STREQ(optpl_focus_field(1, "key"), "f");
    EXPECT_STREQ(optpl_focus_field(2, "key"), "g");
    EXPECT_EQ(optpl_focus_default(), 2);  // the first DefaultFocus wins
    EXPECT_EQ(optpl_focus_index(), 2);
    EXPECT_STREQ(optpl_focus_field(2, "focused"), "1");
    EXPECT_EQ(optpl_focus_find("g/n"), -1);  // nested items are not focus nodes
    EXPECT_EQ(optpl_focus_set(optpl_focus_count()), 1);
    EXPECT_EQ(optpl_focus_index(), 2);
    EXPECT_EQ(optpl_focus_set(0), 0);
    EXPECT_EQ(optpl_focus_index(), 0);
    build("", items(2));
    EXPECT_EQ(optpl_focus_default(), 0);
}

TEST_F(Focus, SectionsWithoutFocusNodesAreListed) {
    optpl_set_clean_empty(0);
    std::string t = R"({"Settings":[{"Key":"Empty","Items":[{"Key":"x","Extension":{"UWP":{"Enabled":"False"}}}]},
                                     {"Key":"q\"b\\\u0001","Items":[{"Key":"y"}]}]})";
    ASSERT_EQ(optpl_add_template("t.json", t.c_str()), 0);
    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
    EXPECT_EQ(std::string(optpl_focus_json()),
              R"({"form":"desktop","columns":1,"rows":10,"default":0,"current":0,"sections":[{"key":"Empty","cols":1,"items":0,"first":-1},{"key":"q\"b\\\u0001","cols":1,"items":1,"first":0}],"nodes":[{"path":"y","row":0,"col":0,"section":1}]})");
    EXPECT_NE(std::string(optpl_tv_layout_json()).find(R"({"key":"Empty","cols":1,"rows":10,"items":0,"pages":0,"first":-1})"),
              std::string::npos);
}

TEST_F(Focus, ChildPagesAndParents) {
    const char *t = R"({"Settings":[{"Key":"S","Items":[{"Key":"Settings","Group":{"Settings":[{"Key":"In","Items":[
        {"Key":"Audio","Group":{"Settings":[{"Items":[{"Key":"Volume"}]}]}},{"Key":"Leaf"}]}]}}]}]})";
    ASSERT_EQ(optpl_add_template("t.json", t), 0);
    ASSERT_EQ(optpl_focus_build("t.json", "Settings"), 0);
    int audio = optpl_focus_find("Audio");
    ASSERT_GE(audio, 0);
    EXPECT_STREQ(optpl_focus_child_page(audio), "Settings/Audio");
    EXPECT_STREQ(optpl_focus_field(audio, "child_page"), "Settings/Audio");
    EXPECT_STREQ(optpl_focus_child_page(optpl_focus_find("Leaf")), "");
    ASSERT_EQ(optpl_focus_build("t.json", "Settings/"), 0);  // no doubled '/'
    EXPECT_STREQ(optpl_focus_child_page(optpl_focus_find("Audio")), "Settings/Audio");
    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
    EXPECT_STREQ(optpl_focus_child_page(0), "Settings");
    EXPECT_EQ(optpl_focus_parent(0), -1);
    EXPECT_EQ(optpl_focus_child_page(5), nullptr);
}

TEST_F(Focus, FailedBuildKeepsTheGraphAndStaleNodesReadNull) {
    build("", items(3));
    EXPECT_EQ(optpl_focus_build("missing.json", nullptr), 1);
    EXPECT_EQ(optpl_focus_count(), 3);
    EXPECT_EQ(optpl_focus_build(nullptr, nullptr), -1);
    ASSERT_EQ(optpl_add_template("other.json", "{}"), 0);  // empties the render nodes
    EXPECT_EQ(optpl_focus_count(), 3);
    EXPECT_EQ(optpl_focus_field(0, "key"), nullptr);
    EXPECT_STREQ(optpl_focus_child_page(0), "");
    build("", "");
    EXPECT_EQ(optpl_focus_count(), 0);
    EXPECT_EQ(optpl_focus_default(), -1);
    EXPECT_STREQ(optpl_focus_json(),
                 R"({"form":"desktop","columns":1,"rows":10,"default":-1,"current":-1,"sections":[],"nodes":[]})");
}

TEST_F(Tv, PageArithmeticDoesNotOverflow) {
    optpl_set_tv_columns(70000);
    optpl_set_tv_rows(70000);  // rows x columns is beyond 32 bits
    ASSERT_EQ(optpl_add_template("t.json", (R"({"Settings":[{"Key":"S","Items":[)" + items(3) + "]}]}").c_str()), 0);
    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0);
    EXPECT_NE(std::string(optpl_tv_layout_json()).find(R"("pages":1)"), std::string::npos);
}
