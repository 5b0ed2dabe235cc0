// Large counts an author controls (scalars of one object, flags, languages,
// templates, nesting, empty sections): the indexes that keep them cheap give
// the same answers as a scan would, and files that are not regular files are
// refused without reading them.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "model.h"
#include "optpl_test_util.h"

class Scale : public Optpl {
protected:
    static ModelObj *parse(const std::string &text) {
        EXPECT_EQ(optpl_add_template("t.json", text.c_str()), 0);
        EXPECT_EQ(optpl_parse_template("t.json"), 0) << last_error();
        ModelObj *root = nullptr;
        get_parsed("t.json", &root);
        return root;
    }
    static std::string get(const ModelObj *o, const std::string &name) {
        Slice s = obj_get(o, name.c_str());
        return s.p ? std::string(s.p, s.n) : "<absent>";
    }
};

// Open schemas fold the case of names, dictionaries compare bytes; with
// hundreds of names either way the first spelling stays and the last value wins.
TEST_F(Scale, ManyScalarsKeepTheFirstSpellingAndTheLastValue) {
    const int n = 300;
    std::string ext, dict;
    for (int i = 0; i < n; i++) {
        ext += "\"Name" + std::to_string(i) + "\":\"first\",";
        dict += "\"Name" + std::to_string(i) + "\":\"upper\",";
    }
    for (int i = 0; i < n; i++) {
        ext += "\"nAME" + std::to_string(i) + "\":\"last\",";
        dict += "\"name" + std::to_string(i) + "\":\"lower\",";
    }
    ext.pop_back();
    dict.pop_back();
    ModelObj *root = parse(R"({"Extension":{)" + ext + R"(},"RuntimeSettings":{)" + dict + "}}");
    ASSERT_NE(root, nullptr);
    const ModelObj *e = obj_child(root, C_EXTENSION);
    const ModelObj *d = obj_child(root, C_RUNTIME_SETTINGS);
    ASSERT_EQ(e->scalar_count, n);
    ASSERT_EQ(d->scalar_count, 2 * n);
    for (int i = 0; i < n; i++) {
        SCOPED_TRACE(i);
        const std::string name = "Name" + std::to_string(i);
        EXPECT_EQ(std::string(e->scalars[i].name, e->scalars[i].name_len), name);
        EXPECT_EQ(get(e, name), "last");
        EXPECT_EQ(get(e, "NAME" + std::to_string(i)), "last");
        EXPECT_EQ(get(d, name), "upper");
        EXPECT_EQ(get(d, "name" + std::to_string(i)), "lower");
        EXPECT_EQ(get(d, "NAME" + std::to_string(i)), "<absent>");
    }
    EXPECT_EQ(get(e, "Name" + std::to_string(n)), "<absent>");
    EXPECT_EQ(optpl_warning_count(), 0);
}

// Removal moves the last pair into the hole; lookups of every remaining key
// still succeed after thousands of removals.
TEST_F(Scale, FlagSetSurvivesManyRemovals) {
    const int n = 3000;
    for (int i = 0; i < n; i++)
        ASSERT_EQ(optpl_set_flag(("f" + std::to_string(i)).c_str(), std::to_string(i).c_str()), 0);
    for (int i = 0; i < n; i += 3) ASSERT_EQ(optpl_set_flag(("f" + std::to_string(i)).c_str(), nullptr), 0);
    EXPECT_EQ(optpl_flag_count(), n - (n + 2) / 3);
    for (int i = 0; i < n; i++) {
        std::string flag = "f" + std::to_string(i) + ":" + std::to_string(i);
        EXPECT_EQ(optpl_has_feature_flag(flag.c_str()), i % 3 ? 1 : 0) << flag;
    }
    EXPECT_EQ(optpl_set_flag("f0", nullptr), 1);
    for (int i = 0; i < n; i++) ASSERT_EQ(optpl_set_global_flag(("g" + std::to_string(i)).c_str(), i % 2), 0);
    for (int i = 0; i < n; i++) EXPECT_EQ(optpl_eval_global_flag(("g" + std::to_string(i)).c_str()), i % 2);
}

// Each Key appears three times; the first entry decides, as with a few flags.
TEST_F(Scale, BundleFlagsFirstEntryOfAKeyDecides) {
    const int keys = 2000;
    std::string settings;
    for (int round = 0; round < 3; round++)
        for (int i = 0; i < keys; i++) {
            bool on = round == 0 ? i % 2 == 0 : true;
            settings += std::string(settings.empty() ? "" : ",") + R"({"Key":"k)" + std::to_string(i) +
                        R"(","DefaultValue":)" + (on ? "true" : "false") + "}";
        }
    ASSERT_EQ(optpl_add_template("ffop.json", (R"({"Settings":[)" + settings + "]}").c_str()), 0);
    EXPECT_EQ(optpl_use_bundle_feature_flags(), keys / 2);
    for (int i = 0; i < keys; i++) EXPECT_EQ(optpl_eval_global_flag(("k" + std::to_string(i)).c_str()), i % 2 == 0);
}

TEST_F(Scale, ManyLanguages) {
    const int n = 600;
    std::string strings = "{";
    for (int i = 0; i < n; i++)
        strings += std::string(i ? "," : "") + "\"l" + std::to_string(i) + R"(":{"Hello":"Hello )" +
                   std::to_string(i) + "\"}";
    strings += R"(,"l7":{"Bye":"Bye 7"}})";  // a code given twice merges
    ASSERT_EQ(optpl_add_template("strings.json", strings.c_str()), 0);
    ASSERT_EQ(optpl_language_count(), n);
    EXPECT_STREQ(optpl_language_name(n - 1), ("l" + std::to_string(n - 1)).c_str());
    for (int i = 0; i < n; i += 37) {
        EXPECT_EQ(optpl_set_language(("l" + std::to_string(i) + "-CA").c_str()), 1);
        EXPECT_EQ(std::string(optpl_translate("Hello")), "Hello " + std::to_string(i));
    }
    EXPECT_EQ(optpl_set_language("l7"), 0);
    EXPECT_STREQ(optpl_translate("Bye"), "Bye 7");
    EXPECT_EQ(optpl_set_language("l600"), 1);
    EXPECT_STREQ(optpl_translate("Hello"), "Hello");
}

TEST_F(Scale, ManyTemplatesAreListedInEntryOrder) {
    const int n = 5000;
    std::string bundle = "{";
    for (int i = 0; i < n; i++)
        bundle += std::string(i ? "," : "") + "\"e" + std::to_string(i) + (i % 3 ? ".json" : ".txt") + "\":\"{}\"";
    ASSERT_EQ(load(bundle + "}"), 0);
    ASSERT_EQ(optpl_add_template("last.json", "{}"), 0);
    ASSERT_EQ(optpl_add_template("e1.json", "{\"Key\":\"again\"}"), 0);  // replaced in place
    std::vector<std::string> expected;
    for (int i = 0; i < n; i++)
        if (i % 3) expected.push_back("e" + std::to_string(i) + ".json");
    expected.push_back("last.json");
    ASSERT_EQ(optpl_template_count(), int(expected.size()));
    for (int i = 0; i < int(expected.size()); i++) EXPECT_EQ(optpl_template_name(i), expected[size_t(i)]);
    EXPECT_EQ(optpl_template_name(int(expected.size())), nullptr);
    EXPECT_EQ(optpl_template_name(-1), nullptr);
}

// Forty nested pages with keys of a thousand bytes each: every node's path is
// its parent's, '/', its Key; a section carries its parent item's path.
TEST_F(Scale, DeepPathsWithLongKeys) {
    const int levels = 40;
    std::string group = R"({"Key":"leaf"})";
    for (int level = levels - 1; level >= 0; level--) {
        std::string key = std::string(1000, char('a' + level % 26));
        group = R"({"Key":")" + key + R"(","Group":{"Settings":[{"Key":"S","Items":[)" + group + "]}]}}";
    }
    ASSERT_EQ(optpl_add_template("t.json", (R"({"Settings":[{"Key":"Top","Items":[)" + group + "]}]}").c_str()), 0);
    ASSERT_EQ(optpl_render("t.json", nullptr), 0) << last_error();
    std::string path;
    int checked = 0;
    for (int i = 0; i < optpl_node_count(); i++) {
        std::string kind = optpl_node_field(i, "kind");
        int depth = std::atoi(optpl_node_field(i, "depth"));
        if (kind == "section") {
            EXPECT_EQ(optpl_node_field(i, "path"), depth ? path : "") << i;
            continue;
        }
        std::string key = optpl_node_field(i, "key");
        path = depth ? path + "/" + key : key;
        EXPECT_EQ(optpl_node_field(i, "path"), path) << i;
        checked++;
    }
    EXPECT_EQ(checked, levels + 1);
    EXPECT_EQ(path.size(), size_t(levels * 1001 + 4));
}

// A run of sections whose items cannot take the focus: a move crosses it in one step.
TEST_F(Scale, MovesCrossRunsOfEmptySections) {
    std::string settings = R"({"Key":"First","Items":[{"Key":"a"},{"Key":"b"}]})";
    for (int i = 0; i < 500; i++)
        settings += R"(,{"Key":"E)" + std::to_string(i) +
                    R"(","Items":[{"Key":"x","Extension":{"UWP":{"Focusable":"false"}}}]})";
    settings += R"(,{"Key":"Last","Items":[{"Key":"c"},{"Key":"d"}]})";
    ASSERT_EQ(optpl_add_template("t.json", (R"({"Settings":[)" + settings + "]}").c_str()), 0);
    ASSERT_EQ(optpl_focus_build("t.json", nullptr), 0) << last_error();
    ASSERT_EQ(optpl_focus_count(), 4);
    EXPECT_EQ(optpl_focus_move(1, "down"), 2);
    EXPECT_EQ(optpl_focus_move(2, "up"), 1);
    EXPECT_EQ(optpl_focus_move(0, "up"), -1);
    EXPECT_EQ(optpl_focus_move(3, "down"), -1);
    EXPECT_EQ(optpl_focus_unreachable_count(), 0);
}

// A FIFO nobody writes would block, a device would be read up to the size
// limit, a directory cannot be read: each is refused at once, leaving the bundle.
TEST_F(Scale, PathsThatAreNotRegularFilesAreRefusedAtOnce) {
    char dir[] = "/tmp/optpl-scale-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(load(R"({"kept.json":"{}"})"), 0);
    for (const std::string &path : {fifo, std::string("/dev/zero"), std::string(dir)}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(optpl_load_bundle_file(path.c_str()), 1);
        EXPECT_EQ(last_error(), "cannot open " + path);
        EXPECT_EQ(entry_names(), std::vector<std::string>{"kept.json"});
    }
    unlink(fifo.c_str());
    rmdir(dir);
}
