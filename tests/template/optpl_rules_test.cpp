#include <string>

#include "optpl_test_util.h"
#include "rules.h"

class Rules : public Optpl {
protected:
    // Verdict of the first item of a template whose item has `extension`.
    static std::string verdict(const std::string &extension) {
        std::string text = R"({"Settings":[{"Items":[{"Key":"i","Extension":)" + extension + "}]}]}";
        EXPECT_EQ(optpl_add_template("t.json", text.c_str()), 0);
        ModelObj *root = nullptr;
        EXPECT_EQ(get_parsed("t.json", &root), 0);
        Slice v = item_verdict(obj_list(obj_list(root, L_SETTINGS)->items[0], L_ITEMS)->items[0]);
        return v.p ? std::string(v.p, v.n) : "<absent>";
    }
};

TEST_F(Rules, Platforms) {
    EXPECT_EQ(optpl_set_platform("Xbox"), 1);
    EXPECT_EQ(last_error(), "unknown platform 'Xbox' (UWP|iOS|tvOS|Droid|SkiaMacOS)");
    EXPECT_EQ(optpl_set_platform("uwp"), 1);
    EXPECT_EQ(g_lib.rules.platform, P_UWP);
    EXPECT_EQ(optpl_set_platform(nullptr), -1);
    EXPECT_EQ(last_error(), "platform is NULL");
    EXPECT_EQ(optpl_set_platform("SkiaMacOS"), 0);
    EXPECT_EQ(g_lib.rules.platform, P_SKIA_MACOS);
}

TEST_F(Rules, VersionParsing) {
    const std::pair<const char *, const char *> accepted[] = {
        {" 1 . 2 ", "1.2.-1.-1"}, {"5.0", "5.0.-1.-1"},      {"1.-0", "1.0.-1.-1"},
        {"+3.4.5.6", "3.4.5.6"},  {"\v1\f.\r2", "1.2.-1.-1"}, {"2147483647.0", "2147483647.0.-1.-1"},
    };
    for (const auto &[text, normalized] : accepted) {
        EXPECT_EQ(optpl_version_parse(text), 0) << text;
        EXPECT_STREQ(optpl_version_normalized(), normalized) << text;
    }
    const char *refused[] = {"1.2.3.4.5", "1", "1..2", "1.-2", "1.x", "", ". ", "1. ", "1.+", "1.2 3",
                             "2147483648.0", "99999999999999999999.1", "1.0x"};
    for (const char *text : refused) {
        optpl_version_parse("1.0");
        EXPECT_EQ(optpl_version_parse(text), 1) << text;
        EXPECT_STREQ(optpl_version_normalized(), "") << text;
    }
    EXPECT_EQ(optpl_version_parse(nullptr), 1);
}

TEST_F(Rules, VersionComparison) {
    EXPECT_EQ(optpl_version_compare("1.2", "1.2.0"), -1);
    EXPECT_EQ(optpl_version_compare("10.0", "9.9.9.9"), 1);
    EXPECT_EQ(optpl_version_compare("1.2.3", " 1.2.3 "), 0);
    EXPECT_EQ(optpl_version_compare("1.2", nullptr), -2);
    EXPECT_EQ(optpl_version_compare(nullptr, "1.2"), -2);
    EXPECT_EQ(optpl_version_compare("1.2", "x"), -2);
    EXPECT_EQ(g_lib.initialised, 0);
}

TEST_F(Rules, RuntimeFlags) {
    EXPECT_EQ(optpl_set_flag(nullptr, "v"), -1);
    EXPECT_EQ(last_error(), "flag key is NULL");
    EXPECT_EQ(optpl_set_flag("beta", "on"), 0);
    EXPECT_EQ(optpl_set_flag("beta", "on"), 0);
    EXPECT_EQ(optpl_set_flag("empty", ""), 0);
    EXPECT_EQ(optpl_flag_count(), 2);
    const std::pair<const char *, int> flag_texts[] = {
        {"beta:on", 1}, {"beta:On", 0}, {"beta", 0},     {"beta:on:x", 0}, {":on", 0},
        {"empty:", 1},  {"gamma:on", 0}, {"", 0},        {"Beta:on", 0},
    };
    for (const auto &[flag_text, expected] : flag_texts) EXPECT_EQ(optpl_has_feature_flag(flag_text), expected) << flag_text;
    EXPECT_EQ(optpl_has_feature_flag(nullptr), 0);
    EXPECT_EQ(optpl_set_flag("beta", nullptr), 0);
    EXPECT_EQ(optpl_set_flag("beta", nullptr), 1);
    EXPECT_EQ(optpl_flag_count(), 1);
    optpl_clear_flags();
    EXPECT_EQ(optpl_flag_count(), 0);
}

TEST_F(Rules, GlobalFlags) {
    EXPECT_EQ(optpl_set_global_flag(nullptr, 1), -1);
    EXPECT_EQ(last_error(), "flag name is NULL");
    EXPECT_EQ(optpl_set_global_flag("dark", 1), 0);
    EXPECT_EQ(optpl_eval_global_flag("dark"), 1);
    EXPECT_EQ(optpl_eval_global_flag("Dark"), 0);
    EXPECT_EQ(optpl_eval_global_flag(nullptr), 0);
    EXPECT_EQ(optpl_set_global_flags_enabled(0), 0);
    EXPECT_EQ(optpl_eval_global_flag("dark"), 0);
    optpl_set_global_flags_enabled(7);
    EXPECT_EQ(optpl_set_global_flag("dark", 0), 0);
    EXPECT_EQ(optpl_set_global_flag("dark", 0), 0);
    EXPECT_EQ(optpl_eval_global_flag("dark"), 0);
    optpl_set_global_flag("a", 1);
    optpl_clear_global_flags();
    EXPECT_EQ(optpl_eval_global_flag("a"), 0);
}

TEST_F(Rules, FlagSetRemovalMovesTheLastPair) {
    for (const char *k : {"a", "b", "c", "d"}) optpl_set_flag(k, "1");
    optpl_set_flag("b", nullptr);
    ASSERT_EQ(g_lib.rules.runtime.count, 3);
    EXPECT_STREQ(g_lib.rules.runtime.keys[1], "d");
}

TEST_F(Rules, EnabledByPlatform) {
    struct Case {
        const char *platform;
        const char *extension;
        const char *verdict;
    };
    const Case cases[] = {
        {"UWP", "{}", "<absent>"},
        {"UWP", R"({"UWP":{"Enabled":"True"},"iOS":{"Enabled":"False"}})", "True"},
        {"UWP", R"({"UWP":{"Enabled":"False"}})", "False"},
        {"UWP", R"({"UWP":{"Enabled":true},"iOS":{"Enabled":"maybe"}})", "maybe"},  // "true" falls through
        {"UWP", R"({"iOS":{"Enabled":true}})", "true"},  // a JSON true as fallback hides the item
        {"iOS", R"({"iOS":{"Enabled":"False"},"UWP":{"Enabled":"True"}})", "False"},
        {"tvOS", R"({"iOS":{"Enabled":"False"},"tvOS":{"Enabled":"True"}})", "False"},
        {"tvOS", R"({"tvOS":{"Enabled":"False"}})", "False"},
        {"Droid", R"({"Droid":{"Enabled":"True"}})", "<absent>"},
        {"SkiaMacOS", R"({"skiamacos":{"Enabled":"False"}})", "False"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.platform) + " " + c.extension);
        ASSERT_EQ(optpl_set_platform(c.platform), 0);
        EXPECT_EQ(verdict(c.extension), c.verdict);
    }
}

TEST_F(Rules, VersionBoundsOverrideEnabled) {
    const char *min_only = R"({"UWP":{"Enabled":"False","MinVersion":"1.0"}})";
    EXPECT_EQ(verdict(min_only), "False");  // no app version: no capping
    optpl_set_app_version("2.0");
    EXPECT_EQ(verdict(min_only), "True");
    optpl_set_app_version("0.9");
    EXPECT_EQ(verdict(min_only), "False");
    optpl_set_app_version("2.0");
    EXPECT_EQ(verdict(R"({"UWP":{"MinVersion":"3.0","MaxVersion":"9.0"}})"), "True");  // MaxVersion decides
    EXPECT_EQ(verdict(R"({"UWP":{"MaxVersion":"1.9.9"}})"), "False");
    EXPECT_EQ(verdict(R"({"UWP":{"Enabled":"False","MinVersion":"bad","MaxVersion":""}})"), "False");
    optpl_set_app_version("not a version");
    EXPECT_EQ(verdict(R"({"UWP":{"MinVersion":"1.0"}})"), "<absent>");
}

TEST_F(Rules, DeviceAndEditionOnlyOnUwpAndOnlyWhenTrue) {
    const char *ext = R"({"UWP":{"Enabled":"True","Plat":"XboxSeries","PlatEdition":"Pro"},
                          "iOS":{"Plat":"x"}})";
    EXPECT_EQ(verdict(ext), "False");  // absent device differs
    optpl_set_device("XboxSeries");
    optpl_set_edition("Pro");
    EXPECT_EQ(verdict(ext), "True");
    optpl_set_edition(nullptr);
    EXPECT_EQ(verdict(ext), "False");
    optpl_set_platform("iOS");
    EXPECT_EQ(verdict(ext), "<absent>");
    optpl_set_platform("UWP");
    EXPECT_EQ(verdict(R"({"UWP":{"Plat":"other"}})"), "<absent>");  // verdict not "True": no check
}

TEST_F(Rules, FeatureFlags) {
    const char *ext = R"({"FeatureFlag":"beta:on","UWP":{"Enabled":"False"}})";
    EXPECT_EQ(verdict(ext), "False");  // global flags enabled and empty
    optpl_set_global_flag("beta:on", 1);
    EXPECT_EQ(verdict(ext), "True");
    optpl_set_flag("other", "1");
    EXPECT_EQ(verdict(ext), "False");  // the runtime test replaces the global one
    optpl_set_flag("beta", "on");
    EXPECT_EQ(verdict(ext), "True");
    optpl_clear_flags();
    optpl_set_global_flags_enabled(0);
    EXPECT_EQ(verdict(ext), "False");  // neither test runs: Enabled stands
    EXPECT_EQ(verdict(R"({"FeatureFlag":""})"), "<absent>");
}

TEST_F(Rules, TruthTest) {
    const std::pair<std::string, bool> cases[] = {
        {"true", true}, {" TRUE\t", true}, {std::string("\0tRuE\r\n", 7), true}, {"truee", false},
        {"1", false},   {"", false},       {"t rue", false},
    };
    for (const auto &[text, expected] : cases) EXPECT_EQ(bool_tryparse_true({text.data(), text.size()}), expected);
    EXPECT_FALSE(bool_tryparse_true({}));
}

TEST_F(Rules, BundleFeatureFlags) {
    EXPECT_EQ(optpl_use_bundle_feature_flags(), 0);
    ASSERT_EQ(optpl_add_template("ffop.json", R"({"Settings":[
        {"Key":"dup","DefaultValue":false},{"Key":"dup","DefaultValue":"TRUE"},{"Key":"dup","DefaultValue":true},
        {"Key":"on","DefaultValue":" True "},{"Key":"off","DefaultValue":"yes"},null,{"DefaultValue":true},
        {"Key":"kept","DefaultValue":true}]})"),
              0);
    optpl_set_global_flag("kept", 1);
    optpl_set_global_flag("other", 1);
    EXPECT_EQ(optpl_use_bundle_feature_flags(), 2);
    EXPECT_EQ(optpl_eval_global_flag("on"), 1);
    EXPECT_EQ(optpl_eval_global_flag("dup"), 0);
    EXPECT_EQ(optpl_eval_global_flag("other"), 1);
    EXPECT_EQ(g_lib.rules.global.count, 3);

    ASSERT_EQ(optpl_add_template("ffop.json", "[]"), 0);
    EXPECT_EQ(optpl_use_bundle_feature_flags(), -1);
    EXPECT_EQ(last_error(), "ffop.json is not a SetttingsGroup template (root is not an object)");
}
