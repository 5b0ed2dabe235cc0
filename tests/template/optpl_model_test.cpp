#include <string>
#include <vector>

#include "model.h"
#include "optpl_test_util.h"

static const std::string DASH = "\xE2\x80\x94";

class Model : public Optpl {
protected:
    // Parses `text` as template t.json; returns the root (NULL on failure).
    ModelObj *parse(const std::string &text, int expect = 0) {
        EXPECT_EQ(load("{\"t.json\":" + quoted(text) + "}"), 0);  // a bundle carries NUL bytes too
        EXPECT_EQ(optpl_parse_template("t.json"), expect) << last_error();
        ModelObj *root = nullptr;
        get_parsed("t.json", &root);
        return root;
    }
    static std::vector<std::string> warnings() {
        std::vector<std::string> w;
        for (int i = 0; i < optpl_warning_count(); i++) w.emplace_back(optpl_warning(i));
        return w;
    }
    static std::string get(const ModelObj *o, const char *name) {
        Slice s = obj_get(o, name);
        return s.p ? std::string(s.p, s.n) : "<absent>";
    }
};

TEST_F(Model, EmptyObjectHasNoSettings) {
    ModelObj *root = parse("{}");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->kind, K_GROUP);
    EXPECT_EQ(obj_list(root, L_SETTINGS)->present, 0);
    EXPECT_TRUE(warnings().empty());
}

TEST_F(Model, BuildsSchemaObjects) {
    ModelObj *root = parse(R"({
        "Key": "Root", "UseGrid": true,
        "Settings": [{"Key": "S1", "Items": [{
            "Key": "I1", "DisplayName": "Item", "DefaultValue": 1.50, "Type": "Choice",
            "AdvanceMenu": {"Url": "open:a.mp4", "Extension": {"UWP": {"Icon": "x.png"}}},
            "Extension": {"FeatureFlag": "beta", "iOS": {"Enabled": true, "MinVersion": 1.0}, "Other": {"dropped": 1}},
            "Values": [{"Key": "V1"}, {"Key": "V2"}],
            "PlaceHolder": {"Key": "P"}, "SubtitleText": {"DisplayName": "Sub"},
            "RuntimeSettings": {"A": 1, "a": "two", "$x": "kept", "N": null},
            "Group": {"Key": "G", "Settings": []},
            "Unknown": "dropped"}]}],
        "RuntimeFlags": {"F": false}})");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(get(root, "key"), "Root");
    EXPECT_EQ(get(root, "UseGrid"), "true");
    const ModelList *settings = obj_list(root, L_SETTINGS);
    ASSERT_EQ(settings->count, 1);
    const ModelObj *item = obj_list(settings->items[0], L_ITEMS)->items[0];
    EXPECT_EQ(item->kind, K_ITEM);
    EXPECT_EQ(get(item, "DefaultValue"), "1.50");  // numbers keep their source text
    EXPECT_EQ(get(item, "Unknown"), "<absent>");
    EXPECT_EQ(get(obj_child(item, C_ADVANCE_MENU), "url"), "open:a.mp4");
    EXPECT_EQ(get(ext_plat(obj_child(obj_child(item, C_ADVANCE_MENU), C_EXTENSION), "uwp"), "Icon"), "x.png");
    const ModelObj *ext = obj_child(item, C_EXTENSION);
    EXPECT_EQ(get(ext, "FeatureFlag"), "beta");
    EXPECT_EQ(ext->scalar_count, 1);  // the object member "Other" is dropped
    EXPECT_EQ(get(ext_plat(ext, "IOS"), "Enabled"), "true");
    EXPECT_EQ(get(ext_plat(ext, "iOS"), "MinVersion"), "1.0");
    EXPECT_EQ(ext_plat(ext, "Xbox"), nullptr);
    EXPECT_EQ(obj_list(item, L_VALUES)->count, 2);
    EXPECT_EQ(get(obj_child(item, C_PLACEHOLDER), "Key"), "P");
    EXPECT_EQ(get(obj_child(item, C_SUBTITLE_TEXT), "DisplayName"), "Sub");
    const ModelObj *dict = obj_child(item, C_RUNTIME_SETTINGS);
    EXPECT_EQ(dict->kind, K_DICTIONARY);
    EXPECT_EQ(get(dict, "A"), "1");
    EXPECT_EQ(get(dict, "a"), "two");  // dictionaries are case-sensitive
    EXPECT_EQ(get(dict, "$x"), "kept");
    EXPECT_EQ(dict->scalar_count, 4);
    EXPECT_EQ(get(obj_child(item, C_GROUP), "Key"), "G");
    EXPECT_EQ(obj_list(obj_child(item, C_GROUP), L_SETTINGS)->present, 1);
    EXPECT_EQ(get(obj_child(root, C_RUNTIME_FLAGS), "F"), "false");
    EXPECT_TRUE(warnings().empty());
}

TEST_F(Model, LaterMembersOfTheSameNameWin) {
    ModelObj *root = parse(R"({"Settings": [{"Items": [{"displayName": "first", "DisplayName": "second",
        "Extension": {"Icon": "a", "icon": "b", "UWP": {"Enabled": "True"}},
        "extension": {"UWP": {"Plat": "x"}}}]}],
        "Settings": [{"Key": "S2"}]})");
    const ModelList *settings = obj_list(root, L_SETTINGS);
    ASSERT_EQ(settings->count, 2);  // a list given twice is the concatenation
    const ModelObj *item = obj_list(settings->items[0], L_ITEMS)->items[0];
    ASSERT_EQ(item->scalar_count, 1);
    EXPECT_STREQ(item->scalars[0].name, "DisplayName");
    EXPECT_EQ(get(item, "DisplayName"), "second");
    const ModelObj *ext = obj_child(item, C_EXTENSION);
    ASSERT_EQ(ext->scalar_count, 1);
    EXPECT_STREQ(ext->scalars[0].name, "Icon");
    EXPECT_EQ(get(ext, "ICON"), "b");
    // An object given twice merges into one.
    EXPECT_EQ(get(ext_plat(ext, "UWP"), "Enabled"), "True");
    EXPECT_EQ(get(ext_plat(ext, "UWP"), "Plat"), "x");
}

struct WarningCase {
    std::string text;
    std::vector<std::string> warnings;
};

TEST_F(Model, EachIrregularityGivesOneWarning) {
    const WarningCase cases[] = {
        {R"({"$type": "X", "$": 1, "$abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGH": 2})",
         {"template: Newtonsoft metadata property '$type' ignored",
          "template: Newtonsoft metadata property '$' ignored",
          "template: Newtonsoft metadata property '$abcdefghijklmnopqrstuvwxyz0123456789ABC' ignored"}},
        {R"({"Settings": null})", {}},
        {R"({"Settings": ""})", {}},
        {R"({"Settings": {}})", {"template: 'Settings' is not an array (legacy throws) " + DASH + " treated as null"}},
        {R"({"settings": [{"items": [{}, null, "", "abc", 5, []]}]})",
         {"template: 'Items' element \"abc\" is not an object (legacy throws) " + DASH + " kept as null",
          "template: 'Items' element is not an object (legacy throws) " + DASH + " kept as null",
          "template: 'Items' element is not an object (legacy throws) " + DASH + " kept as null"}},
        {R"({"Settings": ["0123456789012345678901234567890123456789"]})",
         {"template: 'Settings' element \"01234567890123456789012345678901\" is not an object (legacy throws) " + DASH +
          " kept as null"}},
        {R"({"DisplayName": {"a": 1}, "key": [1]})",
         {"template: 'DisplayName' is an object/array (legacy throws) " + DASH + " treated as null",
          "template: 'Key' is an object/array (legacy throws) " + DASH + " treated as null"}},
        {R"({"Extension": "x", "extension": "", "RuntimeFlags": 5})",
         {"template: 'Extension' is not an object (legacy throws) " + DASH + " treated as null",
          "template: 'RuntimeFlags' is not an object (legacy throws) " + DASH + " treated as null"}},
        {R"({"RuntimeSettings": {"Nested": {}, "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGH": [], "ok": 1}})",
         {"template: RuntimeSettings/RuntimeFlags value 'Nested' is an object/array (legacy throws) " + DASH +
              " ignored",
          "template: RuntimeSettings/RuntimeFlags value 'abcdefghijklmnopqrstuvwxyz0123456789ABCD' is an "
          "object/array (legacy throws) " +
              DASH + " ignored"}},
        {"{} x", {"trailing data after the JSON value at byte 2 ignored (legacy throws)"}},
        {std::string("\xEF\xBB\xBF{}\n\0\t \n", 10), {}},  // byte-order mark, NUL and blanks after the value
        {"{} // comment", {"trailing data after the JSON value at byte 2 ignored (legacy throws)"}},
        {"// lenient\n{Key: 'single', /* c */ DefaultValue: Infinity, 'Type': NaN, Settings: [],}", {}},
    };
    for (const WarningCase &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_NE(parse(c.text), nullptr);
        EXPECT_EQ(warnings(), c.warnings);
    }
}

TEST_F(Model, LenientValuesKeepTheirText) {
    ModelObj *root = parse("{Key: 'it\\'s', DisplayName: -Infinity, Type: 1e3, UseGrid: \"\xFF\"}");
    EXPECT_EQ(get(root, "Key"), "it's");
    EXPECT_EQ(get(root, "DisplayName"), "-Infinity");
    EXPECT_EQ(get(root, "Type"), "1e3");
    EXPECT_EQ(get(root, "UseGrid"), "\xFF");
}

// Each model object is one level (the root is level 0): Group, Setting,
// Item, Group, ... The object at level 257 stays empty.
TEST_F(Model, NestingIsCutAtLevel257) {
    std::string open, close;
    const char *kinds[] = {R"("Settings":[{)", R"("Items":[{)", R"("Group":{)"};
    const char *ends[] = {"}]", "}]", "}"};
    for (int level = 1; level <= 260; level++) {
        open += std::string(R"("Key":"L)") + std::to_string(level - 1) + "\"," + kinds[(level - 1) % 3];
        close = ends[(level - 1) % 3] + close;
    }
    ModelObj *o = parse("{" + open + R"("Key":"L260")" + close + "}");
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(warnings(), std::vector<std::string>{
                              "template: nesting deeper than 256 levels truncated (legacy Newtonsoft MaxDepth is 64)"});
    for (int level = 1; level <= 257; level++) {
        int k = (level - 1) % 3;
        o = k == 2 ? obj_child(o, C_GROUP) : obj_list(o, k == 0 ? L_SETTINGS : L_ITEMS)->items[0];
        ASSERT_NE(o, nullptr) << level;
        if (level <= 256) {
            EXPECT_EQ(get(o, "Key"), "L" + std::to_string(level)) << level;
        }
    }
    EXPECT_EQ(o->scalar_count, 0);
    EXPECT_EQ(obj_child(o, C_GROUP), nullptr);
}

TEST_F(Model, FailureReasonsAreRemembered) {
    const std::pair<const char *, const char *> cases[] = {
        {" \n\t ", "empty"},
        {"null", "null"},
        {"[]", "root is not an object"},
        {"\"text\"", "root is not an object"},
        {"{\"a\": }", "invalid JSON"},
    };
    for (const auto &[text, reason] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse(text, -1), nullptr);
        EXPECT_EQ(last_error(), std::string("t.json is not a SetttingsGroup template (") + reason + ")");
        EXPECT_EQ(optpl_parse_template("t.json"), -1);  // not parsed again
    }
    parse("{\"a\": }", -1);
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0].rfind("invalid JSON at byte 6: ", 0), 0u) << warnings()[0];
    parse("\xEF\xBB\xBF{,}", -1);  // the byte-order mark counts
    EXPECT_EQ(warnings()[0].rfind("invalid JSON at byte 4: ", 0), 0u) << warnings()[0];

    EXPECT_EQ(optpl_parse_template("missing.json"), 1);
    EXPECT_EQ(last_error(), "no template named missing.json");
    EXPECT_EQ(optpl_parse_template(nullptr), 1);
    EXPECT_EQ(last_error(), "no template named (null)");
}

TEST_F(Model, WarningsAreCopiedOnEveryParse) {
    parse(R"({"$type": 1})");
    EXPECT_EQ(warnings().size(), 1u);
    ASSERT_EQ(optpl_add_template("other.json", "{}"), 0);
    EXPECT_EQ(optpl_parse_template("other.json"), 0);
    EXPECT_TRUE(warnings().empty());
    EXPECT_EQ(optpl_parse_template("t.json"), 0);
    EXPECT_EQ(warnings().size(), 1u);
}

TEST_F(Model, OutOfMemoryIsAFailureReasonUntilTheTextIsReplaced) {
    std::string text = R"({"Key":"k","Settings":[)";
    for (int i = 0; i < 300; i++) text += std::string(i ? "," : "") + R"({"Key":"s","Items":[{"Key":"i"}]})";
    text += "]}";
    int failures = 0;
    for (long n = 1;; n++) {
        SCOPED_TRACE(n);
        optpl_cleanup();
        ASSERT_EQ(optpl_add_template("t.json", text.c_str()), 0);
        xalloc_fail_at(n);
        int rc = optpl_parse_template("t.json");
        bool hit = xalloc_calls() >= n;
        xalloc_fail_at(0);
        if (!hit) {
            EXPECT_EQ(rc, 0);
            break;
        }
        if (rc == 0) continue;  // only a warning or the return buffer was lost
        failures++;
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(last_error(), "t.json is not a SetttingsGroup template (out of memory)");
        ASSERT_EQ(optpl_add_template("t.json", text.c_str()), 0);
        EXPECT_EQ(optpl_parse_template("t.json"), 0);
    }
    EXPECT_GE(failures, 3);
}
