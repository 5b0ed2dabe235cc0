// A program linked to the library (not loading it at run time) reads and
// writes the library's exported variables: it holds copies of them that the
// library must use as well.
#include <gtest/gtest.h>

#include <cstring>

#include "oprc.h"
#include "oprc_internal.h"

TEST(OprcLinkedData, ProgramAndLibraryShareTheVariables) {
    EXPECT_STREQ(g_err, "OK");
    EXPECT_EQ(oprc_decode("BZh9", 4), OPRC_ERR_INFLATE);
    EXPECT_STREQ(g_err, "ERR_INFLATE");
    EXPECT_EQ(oprc_last_error(), g_err);
    EXPECT_EQ(g_warn_count, 1);
    g_allow_legacy = 3;
    oprc_v2_register_key(1, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=", 0);
    EXPECT_EQ(g_v2[0].in_use, 1);
    g_v2[0].next_counter = 40;  // a host restoring a counter it kept
    EXPECT_EQ(oprc_v2_next_counter(), 40u);
    EXPECT_EQ(oprc_decode("{\"Command\":1}", 13), OPRC_OK);  // legacy traffic allowed through the variable
}
