#include <cstring>
#include <string>

#include "optpl_test_util.h"

using Frame = Optpl;

TEST_F(Frame, VersionNeedsNoInitialisation) {
    EXPECT_STREQ(optpl_version(), "1.1.1");
    EXPECT_EQ(g_lib.initialised, 0);
}

TEST_F(Frame, ImplicitInitialisationGivesDefaults) {
    EXPECT_STREQ(optpl_last_error(), "");
    EXPECT_EQ(g_lib.initialised, 1);
    EXPECT_STREQ(optpl_language(), "en");
    EXPECT_EQ(g_lib.clean_empty, 1);
    EXPECT_EQ(g_lib.max_depth, -1);
    EXPECT_EQ(optpl_entry_count(), 0);
}

TEST_F(Frame, ErrorTextSurvivesLaterSuccess) {
    EXPECT_EQ(optpl_set_language(""), -1);
    EXPECT_EQ(optpl_set_language("fr"), 1);
    EXPECT_EQ(load("{}"), 0);
    EXPECT_EQ(last_error(), "language is empty");
}

TEST_F(Frame, InitAndCleanupReset) {
    ASSERT_EQ(load(R"({"a.json":"{}","strings.json":"{\"fr\":{}}"})"), 0);
    optpl_set_language("fr");
    optpl_set_max_depth(3);
    optpl_set_language("");
    EXPECT_EQ(optpl_init(), 0);
    EXPECT_EQ(optpl_entry_count(), 0);
    EXPECT_EQ(optpl_language_count(), 0);
    EXPECT_STREQ(optpl_language(), "en");
    EXPECT_STREQ(optpl_last_error(), "");
    EXPECT_EQ(g_lib.max_depth, -1);

    load(R"({"a.json":"{}"})");
    optpl_cleanup();
    EXPECT_EQ(g_lib.initialised, 0);
    EXPECT_EQ(optpl_entry_count(), 0);
    EXPECT_STREQ(optpl_language(), "en");
}

TEST_F(Frame, RenderOptionsNormalise) {
    EXPECT_EQ(optpl_set_max_depth(-7), 0);
    EXPECT_EQ(g_lib.max_depth, -1);
    EXPECT_EQ(optpl_set_max_depth(5), 0);
    EXPECT_EQ(g_lib.max_depth, 5);
    EXPECT_EQ(optpl_set_clean_empty(42), 0);
    EXPECT_EQ(g_lib.clean_empty, 1);
    EXPECT_EQ(optpl_set_clean_empty(0), 0);
    EXPECT_EQ(g_lib.clean_empty, 0);
}

TEST_F(Frame, WarningListLimits) {
    ensure_init();
    warn_add(&g_lib.warnings, "%s", std::string(600, 'w').c_str());
    ASSERT_EQ(optpl_warning_count(), 1);
    EXPECT_EQ(std::string(optpl_warning(0)), std::string(511, 'w'));
    EXPECT_EQ(optpl_warning(-1), nullptr);
    EXPECT_EQ(optpl_warning(1), nullptr);

    for (int i = 1; i < 10001; i++) warn_add(&g_lib.warnings, "warning %d", i);
    EXPECT_EQ(optpl_warning_count(), 10000);
    EXPECT_STREQ(optpl_warning(9999), "warning 9999");
}

TEST_F(Frame, WarningDroppedWhenCopyCannotBeMade) {
    ensure_init();
    xalloc_fail_at(2);  // the array grows, the copy fails
    warn_add(&g_lib.warnings, "lost");
    xalloc_fail_at(0);
    warn_add(&g_lib.warnings, "kept");
    ASSERT_EQ(optpl_warning_count(), 1);
    EXPECT_STREQ(optpl_warning(0), "kept");
}

TEST_F(Frame, StringResultsShareOneBuffer) {
    ASSERT_EQ(load(R"({"first.json":"1","second.json":"2"})"), 0);
    const char *first = optpl_entry_name(0);
    const char *second = optpl_entry_name(1);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "second.json");
}

TEST_F(Frame, ReturnBufferFailureGivesEmptyString) {
    ASSERT_EQ(load(R"({"a.json":"1"})"), 0);
    xfree(g_lib.ret);
    g_lib.ret = nullptr;
    g_lib.ret_cap = 0;
    xalloc_fail_at(1);
    EXPECT_STREQ(optpl_entry_name(0), "");
    EXPECT_STREQ(optpl_entry_name(0), "a.json");
}
