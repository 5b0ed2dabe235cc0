// Makes each allocation of an operation fail in turn: the operation must
// report "out of memory" with its documented code, and leave the earlier
// state intact (leaks are caught by the sanitizer build).
#include <functional>
#include <string>
#include <vector>

#include "optpl_test_util.h"

struct Snapshot {
    std::vector<std::string> entries;
    std::vector<std::string> texts;
    std::vector<std::string> languages;
    std::string translation;
    bool operator==(const Snapshot &) const = default;
};

static Snapshot snapshot() {
    Snapshot s;
    xalloc_fail_at(0);
    s.entries = entry_names();
    for (const std::string &name : s.entries) s.texts.emplace_back(optpl_entry_text(name.c_str()));
    for (int i = 0; i < optpl_language_count(); i++) s.languages.emplace_back(optpl_language_name(i));
    s.translation = optpl_translate("Play");
    return s;
}

static const char BEFORE[] =
    R"({"old.json":"{}","strings.json":"{\"fr\":{\"Play\":\"Lecture\"}}"})";
static const char AFTER[] =
    R"({"home.json":"{\"Key\":\"Home\"}","strings.json":"{\"fr\":{\"Play\":\"Jouer\"},\"de\":{\"Play\":\"Abspielen\"}}","x.json":"1"})";

// Runs `op` with the N-th allocation failing for N = 1, 2, ... until it
// succeeds; each failure must be -1 "out of memory" with `before` unchanged.
static void sweep(const std::function<void()> &setup, const std::function<int()> &op, int min_failures) {
    int failures = 0;
    for (long n = 1;; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        optpl_cleanup();
        setup();
        optpl_set_language("fr");
        Snapshot before = snapshot();
        xalloc_fail_at(n);
        int rc = op();
        bool hit = xalloc_calls() >= n;
        xalloc_fail_at(0);
        if (!hit) {
            EXPECT_EQ(rc, 0);
            break;
        }
        if (rc == 0) continue;  // the failed allocation had a fallback
        failures++;
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(last_error(), "out of memory");
        EXPECT_EQ(snapshot(), before);
    }
    EXPECT_GE(failures, min_failures);
}

TEST_F(Optpl, OutOfMemoryWhileLoadingKeepsTheOldBundle) {
    auto setup = [] { ASSERT_EQ(load(BEFORE), 0); };
    sweep(setup, [] { return load(AFTER); }, 5);
    sweep(setup, [] { return load(zlib_compress(AFTER)); }, 5);
}

TEST_F(Optpl, OutOfMemoryWhileAddingKeepsTheOldEntries) {
    auto setup = [] { ASSERT_EQ(load(BEFORE), 0); };
    sweep(setup, [] { return optpl_add_template("strings.json", R"({"fr":{"Play":"Jouer"},"de":{}})"); }, 3);
    sweep(setup, [] { return optpl_add_template("new.json", "{}"); }, 2);
    sweep([] { ASSERT_EQ(load(R"({"old.json":"{}"})"), 0); },
          [] { return optpl_add_template("strings.json", R"({"fr":{"Play":"Jouer"}})"); }, 3);
}

TEST_F(Optpl, OutOfMemoryWhileSettingTheLanguage) {
    ASSERT_EQ(load(BEFORE), 0);
    xalloc_fail_at(1);
    EXPECT_EQ(optpl_set_language("de"), -1);
    xalloc_fail_at(0);
    EXPECT_EQ(last_error(), "out of memory");
    EXPECT_STREQ(optpl_language(), "en");
}

TEST_F(Optpl, OutOfMemoryInRuleSettersKeepsPreviousValues) {
    const std::function<int()> setters[] = {
        [] { return optpl_set_device("New"); },
        [] { return optpl_set_edition("New"); },
        [] { return optpl_set_app_version("2.0"); },
        [] { return optpl_set_flag("a", "2"); },
        [] { return optpl_set_flag("b", "2"); },
        [] { return optpl_set_global_flag("h", 1); },
    };
    for (const auto &set : setters) {
        for (long n = 1;; n++) {
            optpl_cleanup();
            ASSERT_EQ(optpl_set_device("Old"), 0);
            ASSERT_EQ(optpl_set_flag("a", "1"), 0);
            xalloc_fail_at(n);
            int rc = set();
            bool hit = xalloc_calls() >= n;
            xalloc_fail_at(0);
            if (!hit) break;
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(last_error(), "out of memory");
            EXPECT_STREQ(g_lib.rules.device, "Old");
            EXPECT_EQ(g_lib.rules.edition, nullptr);
            EXPECT_EQ(g_lib.rules.app_version, nullptr);
            EXPECT_EQ(optpl_flag_count(), 1);
            EXPECT_EQ(optpl_has_feature_flag("a:1"), 1);
            EXPECT_EQ(optpl_eval_global_flag("h"), 0);
        }
    }
}

TEST_F(Optpl, OutOfMemoryWhileReadingBundleFlags) {
    int failures = 0;
    for (long n = 1;; n++) {
        optpl_cleanup();
        ASSERT_EQ(optpl_add_template("ffop.json", R"({"Settings":[{"Key":"a","DefaultValue":true}]})"), 0);
        xalloc_fail_at(n);
        int rc = optpl_use_bundle_feature_flags();
        bool hit = xalloc_calls() >= n;
        xalloc_fail_at(0);
        if (!hit) {
            EXPECT_EQ(rc, 1);
            break;
        }
        if (rc == 1) continue;
        failures++;
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(optpl_eval_global_flag("a"), 0);
    }
    EXPECT_GE(failures, 3);
}
