#include <string>
#include <vector>

#include "optpl_test_util.h"

class Render : public Optpl {
protected:
    static void add(const std::string &text, const char *name = "t.json") {
        ASSERT_EQ(optpl_add_template(name, text.c_str()), 0);
    }
    // "kind:path" of every node.
    static std::vector<std::string> nodes() {
        std::vector<std::string> out;
        for (int i = 0; i < optpl_node_count(); i++) {
            std::string kind = optpl_node_field(i, "kind");  // copied: results share one buffer
            out.push_back(kind + ":" + optpl_node_field(i, "path"));
        }
        return out;
    }
    static std::string field(int node, const char *name) {
        const char *v = optpl_node_field(node, name);
        return v ? v : "<NULL>";
    }
};

static const char MENU[] = R"({"Key":"Root","Settings":[
  {"Key":"Main","DisplayName":"Main","Items":[
    {"Key":"Video","DisplayName":"Video","Group":{"Key":"VideoGroup","UseGrid":"true","Settings":[
      {"Key":"VS","Items":[{"Key":"Quality","Group":{"Settings":[{"Key":"QS","Items":[{"Key":"High"}]}]}},
                          {"Key":"Scale"}]}]}},
    {"Key":"Hidden","Extension":{"UWP":{"Enabled":"False"}},"Group":{"Settings":[{"Key":"HS","Items":[{"Key":"X"}]}]}},
    {"Key":"Play","Type":"NativeHandler","DefaultValue":"play-handler","AdvanceMenu":{"Url":"open:a.mp4","NativeHandlerCode":"7"}},
    {"Key":"Almost","Type":"NativeHandle","DefaultValue":"d","AdvanceMenu":{"NativeHandlerCode":"7"}}]},
  {"Key":"Empty","Items":[{"Key":"Gone","Extension":{"UWP":{"Enabled":"False"}}}]},
  {"Key":"NoItems"}]})";

TEST_F(Render, WalksNestedGroupsInOrder) {
    add(MENU);
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    EXPECT_EQ(nodes(), (std::vector<std::string>{"section:", "item:Video", "section:Video", "item:Video/Quality",
                                                 "section:Video/Quality", "item:Video/Quality/High",
                                                 "item:Video/Scale", "item:Play", "item:Almost"}));
    EXPECT_EQ(field(3, "parent"), "1");
    EXPECT_EQ(field(3, "depth"), "1");
    EXPECT_EQ(field(2, "section"), "VS");
    EXPECT_EQ(field(0, "section_text"), "Main");
    EXPECT_EQ(field(7, "handler"), "play-handler");
    EXPECT_EQ(field(8, "handler"), "7");  // one letter short of NativeHandler
    EXPECT_EQ(field(7, "url"), "open:a.mp4");
    EXPECT_EQ(field(1, "has_group"), "1");
    EXPECT_EQ(field(7, "has_group"), "0");
    EXPECT_EQ(field(1, "group_key"), "VideoGroup");
    EXPECT_EQ(field(1, "group_use_grid"), "true");
}

TEST_F(Render, CleanEmptyAndMaxDepth) {
    add(MENU);
    optpl_set_clean_empty(0);
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    std::vector<std::string> all = nodes();
    EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()), (std::vector<std::string>{"section:", "section:"}));
    optpl_set_clean_empty(1);
    optpl_set_max_depth(0);
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    EXPECT_EQ(nodes(), (std::vector<std::string>{"section:", "item:Video", "item:Play", "item:Almost"}));
    std::string doc = optpl_result_json();
    EXPECT_NE(doc.find(R"({"kind":"item","depth":0,"parent":-1,"key":"Video","display":"Video","text":"Video","section":"Main","path":"Video","group_key":"VideoGroup","group_use_grid":"true","has_group":true})"),
              std::string::npos)
        << doc;
}

TEST_F(Render, Pages) {
    add(MENU);
    ASSERT_EQ(optpl_render("t.json", "Video/Quality"), 0);
    EXPECT_EQ(nodes(), (std::vector<std::string>{"section:", "item:High"}));
    ASSERT_EQ(optpl_render("t.json", "Video/"), 0);  // a trailing '/' ends the walk
    EXPECT_EQ(nodes().size(), 5u);
    EXPECT_EQ(optpl_render("t.json", "Video/Scale"), 1);  // an item without a group is no page
    EXPECT_EQ(last_error(), "page 'Video/Scale' not found in t.json");
    EXPECT_EQ(optpl_node_count(), 0);
    EXPECT_EQ(optpl_render("t.json", "Video//Quality"), 1);
    ASSERT_EQ(optpl_render("t.json", "Hidden"), 0);
    EXPECT_EQ(nodes(), (std::vector<std::string>{"section:", "item:X"}));
    ASSERT_EQ(optpl_warning_count(), 1);
    EXPECT_STREQ(optpl_warning(0), "page 'Hidden' is hidden on this platform/flags; rendered anyway");
    EXPECT_EQ(optpl_render("missing.json", nullptr), 1);
    EXPECT_EQ(last_error(), "no template named missing.json");
    EXPECT_EQ(optpl_render_section("t.json", nullptr, nullptr), -1);
    EXPECT_EQ(last_error(), "section is NULL");
}

TEST_F(Render, SectionFilterAppliesAtTheTop) {
    add(MENU);
    ASSERT_EQ(optpl_render_section("t.json", nullptr, "VS"), 0);
    EXPECT_EQ(optpl_node_count(), 0);
    ASSERT_EQ(optpl_render_section("t.json", "Video", "VS"), 0);
    EXPECT_EQ(nodes().size(), 5u);
}

TEST_F(Render, NullEntriesWarn) {
    add(R"({"Settings":[{"Key":"A","Items":[{"Key":"a"},null]},null,{"Key":"C","Items":[{"Key":"c"}]}]})");
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    EXPECT_EQ(nodes(), (std::vector<std::string>{"section:", "item:a", "section:", "item:c"}));
    ASSERT_EQ(optpl_warning_count(), 2);
    EXPECT_STREQ(optpl_warning(0),
                 "t.json: Settings[0].Items[1] is null (legacy throws NullReferenceException) \xE2\x80\x94 skipped");
    EXPECT_STREQ(optpl_warning(1),
                 "t.json: Settings[1] is null (legacy Clean throws NullReferenceException) \xE2\x80\x94 skipped");
}

TEST_F(Render, EmptyTemplateGivesAnEmptyDocument) {
    add("{}");
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    EXPECT_EQ(optpl_node_count(), 0);
    EXPECT_STREQ(optpl_result_json(), "[]");
}

TEST_F(Render, FieldsAndNullness) {
    add(R"({"Settings":[{"Key":"S","Items":[{"Key":"Sub","DisplayName":"Subtitles","Type":"Choice",
        "SubtitleText":{"Key":"SubHint"},"PlaceHolder":{"DisplayName":"Pick"},
        "Extension":{"FeatureFlag":"f:1","FallbackIconUrl":"fb.png","Speed":"x",
                     "iOS":{"Enabled":"True","Icon":"i.png"},"UWP":{"Icon":"u.png"}},
        "AdvanceMenu":{"Url":"u","Extra":"am"},"RuntimeSettings":{"speed":"1","Speed":"2"},
        "Values":[{"Key":"Small","Extension":{"iOS":{"Enabled":"True"}}},null,{"DisplayName":"Big"}]}]}]})");
    ASSERT_EQ(optpl_add_template("strings.json", R"j({"en":{"Sub":"Subtitles (en)","SubHint":"Shown below"}})j"), 0);
    optpl_set_flag("f", "1");
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    const std::pair<const char *, const char *> fields[] = {
        {"text", "Subtitles (en)"}, {"subtitle", "Shown below"}, {"placeholder", "Pick"}, {"icon", "u.png"},
        {"fallback_icon_url", "fb.png"}, {"feature_flag", "f:1"}, {"enabled", "True"}, {"ext.Speed", "x"},
        {"ext.iOS.Enabled", "True"}, {"ext.ios.Enabled", "True"}, {"ext.Xbox.Enabled", ""}, {"am.Extra", "am"},
        {"rs.speed", "1"}, {"rs.Speed", "2"}, {"values_count", "3"}, {"verdict", "True"}, {"default", ""},
    };
    for (const auto &[name, value] : fields) EXPECT_EQ(field(1, name), value) << name;
    EXPECT_EQ(optpl_node_field(1, ("ext." + std::string(32, 'p') + ".Icon").c_str()), nullptr);
    EXPECT_EQ(optpl_node_field_is_null(0, "verdict"), 1);
    EXPECT_EQ(field(0, "verdict"), "");
    EXPECT_EQ(optpl_node_field_is_null(0, "kind"), 0);
    EXPECT_EQ(optpl_node_field_is_null(0, "colour"), -1);
    EXPECT_EQ(optpl_node_field_is_null(1, "default"), 1);
    EXPECT_EQ(optpl_node_field_is_null(1, "display"), 0);
    EXPECT_EQ(optpl_node_field_is_null(9, "kind"), -1);
    EXPECT_EQ(optpl_node_field(1, nullptr), nullptr);
    EXPECT_EQ(optpl_node_field(-1, "kind"), nullptr);

    EXPECT_EQ(optpl_node_value_count(1), 3);
    EXPECT_EQ(optpl_node_value_count(0), 0);
    EXPECT_EQ(optpl_node_value_count(2), -1);
    EXPECT_STREQ(optpl_node_value_field(1, 0, "enabled"), "True");
    EXPECT_STREQ(optpl_node_value_field(1, 1, "key"), "");
    EXPECT_EQ(optpl_node_field_is_null(1, "kind"), 0);
    optpl_node_value_field(1, 1, "key");
    EXPECT_EQ(g_lib.last_null, 1);
    optpl_node_field(1, "depth");
    EXPECT_EQ(g_lib.last_null, 0);
    EXPECT_STREQ(optpl_node_value_field(1, 2, "text"), "Big");
    EXPECT_EQ(optpl_node_value_field(1, 3, "key"), nullptr);
    EXPECT_EQ(optpl_node_value_field(0, 0, "key"), nullptr);

    std::string doc = optpl_result_json();
    EXPECT_NE(doc.find(R"("values":[{"key":"Small","text":"Small","enabled":"True"},{},{"display":"Big","text":"Big"}])"),
              std::string::npos)
        << doc;
}

TEST_F(Render, DocumentEscapesAsJsonRequires) {
    add("{\"Settings\":[{\"Items\":[{\"Key\":\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001f\xC3\xA9\"}]}]}");
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    std::string doc = optpl_result_json();
    EXPECT_NE(doc.find(R"("key":"q\"b\\s/\b\f\n\r\t\u0001\u001F)" "\xC3\xA9\""), std::string::npos) << doc;
}

TEST_F(Render, BundleChangesEmptyTheNodeList) {
    add(MENU);
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    ASSERT_GT(optpl_node_count(), 0);
    add("{}", "other.json");
    EXPECT_EQ(optpl_node_count(), 0);
    EXPECT_EQ(g_lib.page_group, nullptr);
    ASSERT_EQ(optpl_render("t.json", nullptr), 0);
    ASSERT_EQ(load(R"({"a.json":"{}"})"), 0);
    EXPECT_EQ(optpl_node_count(), 0);
    EXPECT_EQ(g_lib.page_group, nullptr);
}

TEST_F(Render, OutOfMemoryEmptiesTheNodes) {
    std::string many = R"({"Settings":[{"Key":"S","Items":[)";
    for (int i = 0; i < 600; i++) many += std::string(i ? "," : "") + R"({"Key":"k)" + std::to_string(i) + "\"}";
    add(many + "]}]}");
    ASSERT_EQ(optpl_parse_template("t.json"), 0);
    int failures = 0;
    for (long n = 1;; n++) {
        xalloc_fail_at(n);
        int rc = optpl_render("t.json", nullptr);
        bool hit = xalloc_calls() >= n;
        xalloc_fail_at(0);
        if (!hit) break;
        if (rc == 0) continue;
        failures++;
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(last_error(), "out of memory");
        EXPECT_EQ(optpl_node_count(), 0);
    }
    EXPECT_GE(failures, 3);  // the node list: its first allocation and two doublings
    for (long n = 1; n < 40; n++) {  // the document: NULL, never a cut one
        xalloc_fail_at(n);
        const char *doc = optpl_result_json();
        xalloc_fail_at(0);
        if (doc) {
            EXPECT_EQ(std::string(doc).back(), ']');
        }
    }
}
