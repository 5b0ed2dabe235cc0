#include <string>

#include "optpl_test_util.h"

using Strings = Optpl;

static int load_strings(const std::string &strings_json) {
    return optpl_add_template("strings.json", strings_json.c_str());
}

static std::string tr(const char *key) { return optpl_translate(key); }

TEST_F(Strings, FallsBackThroughBaseLanguageAndEnUs) {
    ASSERT_EQ(load_strings(R"({"fr":{"Hello":"Bonjour","Same":"Same","Empty":""},
                             "en-US":{"Same":"Hi","Empty":"Nothing"},
                             "en":{"Only":"English"}})"),
              0);
    EXPECT_EQ(optpl_set_language("fr-CA"), 1);  // no table fr-CA, but the code is current
    EXPECT_STREQ(optpl_language(), "fr-CA");
    EXPECT_EQ(tr("Hello"), "Bonjour");
    EXPECT_EQ(tr("Same"), "Hi");       // a translation equal to its key counts as missing
    EXPECT_EQ(tr("Empty"), "Nothing"); // so does an empty one
    EXPECT_EQ(tr("Only"), "English");  // fr-CA, fr, en-US, en
    EXPECT_EQ(tr("Unknown"), "Unknown");
    EXPECT_EQ(tr(nullptr), "");
    EXPECT_EQ(tr(""), "");

    EXPECT_EQ(optpl_set_language("fr"), 0);
    EXPECT_EQ(tr("Same"), "Hi");
}

TEST_F(Strings, TablesInLoadOrderWithMergesAndNumbers) {
    ASSERT_EQ(load_strings(R"(
        // comments, trailing commas and a byte-order-mark-free text
        {"de": {"A": "a-de", "N": 1.50, "B": true, "C": null, "D": {}},
         "meta": "not a language",
         "fr": {"Q": "double"},
         "de": {"A": "again", "E": "e",},
        })"),
              0);
    ASSERT_EQ(optpl_language_count(), 2);
    EXPECT_STREQ(optpl_language_name(0), "de");
    EXPECT_STREQ(optpl_language_name(1), "fr");
    EXPECT_EQ(optpl_language_name(2), nullptr);
    EXPECT_EQ(optpl_language_name(-1), nullptr);
    optpl_set_language("de");
    EXPECT_EQ(tr("A"), "again");
    EXPECT_EQ(tr("E"), "e");
    EXPECT_EQ(tr("N"), "1.50");  // numbers keep their literal text
    EXPECT_EQ(tr("B"), "B");     // other values are ignored
    EXPECT_EQ(tr("C"), "C");
}

TEST_F(Strings, UnreadableStringsDisableTranslation) {
    const char *bad[] = {"{\"fr\":{\"A\":\"b\"}", "{\"fr\":{\"A\":\"b\"}} trailing", "{fr:{A:\"b\"}}"};
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        ASSERT_EQ(load(R"({"strings.json":)" + quoted(text) + "}"), 0);
        EXPECT_EQ(optpl_language_count(), 0);
        ASSERT_EQ(optpl_warning_count(), 1);
        EXPECT_STREQ(optpl_warning(0), "strings.json is not valid JSON \xE2\x80\x94 translation disabled");
    }
    ASSERT_EQ(load(R"({"strings.json":"[1]"})"), 0);  // readable, but no languages
    EXPECT_EQ(optpl_language_count(), 0);
    EXPECT_EQ(optpl_warning_count(), 0);
}

TEST_F(Strings, ReplacingOrDroppingStringsJsonRebuildsTables) {
    ASSERT_EQ(load(R"({"strings.json":"{\"fr\":{\"A\":\"fr-a\"}}"})"), 0);
    optpl_set_language("fr");
    EXPECT_EQ(tr("A"), "fr-a");
    ASSERT_EQ(load_strings(R"({"fr":{"A":"new"}})"), 0);
    EXPECT_EQ(tr("A"), "new");
    ASSERT_EQ(load(R"({"a.json":"{}"})"), 0);
    EXPECT_EQ(optpl_language_count(), 0);
    EXPECT_EQ(tr("A"), "A");
    EXPECT_STREQ(optpl_language(), "fr");  // the current language survives bundle loads
}

TEST_F(Strings, LargeTableKeepsEveryKey) {
    std::string json = R"({"en-US":{)";
    for (int i = 0; i < 3000; i++) json += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":\"v" + std::to_string(i) + "\"";
    ASSERT_EQ(load_strings(json + "}}"), 0);
    for (int i = 0; i < 3000; i += 7) EXPECT_EQ(tr(("k" + std::to_string(i)).c_str()), "v" + std::to_string(i));
    EXPECT_GE(g_lib.trans.tables[0].cap, 2 * g_lib.trans.tables[0].count + 2);
}
