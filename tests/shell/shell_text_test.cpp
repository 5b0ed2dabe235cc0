// UTF-8/UTF-16 conversion, character-safe cuts and the shell's formatter.
#include <gtest/gtest.h>

#include "core/format.h"
#include "core/text.h"

using namespace shell;

TEST(Utf8ToUtf16, DecodesAndReplacesInvalidBytes) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"plain", u"plain"},
        {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x8E\xAC", u"caf\u00E9 \u2014 \U0001F3AC"},
        {"a\xFF"
         "b",
         u"a\uFFFDb"},        // never a UTF-8 byte
        {"\xC3", u"\uFFFD"},  // cut short
        {"\xE2\x80"
         "x",
         u"\uFFFDx"},                                       // one replacement for the maximal subpart
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
    };
    for (const Case &c : cases) EXPECT_EQ(utf8_to_utf16(c.utf8), c.utf16) << c.utf8;
}

TEST(Utf16ToUtf8, EncodesAndReplacesUnpairedSurrogates) {
    EXPECT_EQ(utf16_to_utf8(u"caf\u00E9 \U0001F3AC"), "caf\xC3\xA9 \xF0\x9F\x8E\xAC");
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(Utf16ToUtf8Into, WritesWholeCharactersOnly) {
    char out[6];
    EXPECT_EQ(utf16_to_utf8_into(u"ab\u20AC", out, sizeof out), 5u);  // 2 + 3 bytes fit in 5
    EXPECT_STREQ(out, "ab\xE2\x82\xAC");
    EXPECT_EQ(utf16_to_utf8_into(u"abc\u20AC", out, sizeof out), 3u);  // the euro sign would need 6
    EXPECT_STREQ(out, "abc");
}

TEST(Cuts, NeverSplitACharacter) {
    std::u16string pair = u"ab\U0001F3AC";  // a, b, high, low
    EXPECT_EQ(utf16_cut(pair, 3), 2u);
    EXPECT_EQ(utf16_cut(pair, 4), 4u);
    EXPECT_EQ(utf16_cut(u"abcdef", 3), 3u);
    std::string euro =
        "ab\xE2\x82\xAC"
        "c";
    struct Case {
        size_t limit, cut;
    } cases[] = {{2, 2}, {3, 2}, {4, 2}, {5, 5}, {6, 6}, {99, 6}};
    for (const Case &c : cases) EXPECT_EQ(utf8_cut(euro, c.limit), c.cut) << c.limit;
}

TEST(Format, Directives) {
    int value = 0;
    struct Case {
        std::u16string got, expected;
    } cases[] = {
        {format_text(u"%s|%S", std::u16string(u"wide \u00E9"), "narrow \xC3\xA9"), u"wide \u00E9|narrow \u00E9"},
        {format_text(u"%S", static_cast<const char *>(nullptr)), u"(null)"},
        {format_text(u"%S", "bad\xFF"), u"bad\uFFFD"},
        {format_text(u"%d %d %u", -42, 7, 4000000000u), u"-42 7 4000000000"},
        {format_text(u"%lld %zu", -9000000000LL, size_t(12)), u"-9000000000 12"},
        {format_text(u"0x%08X", 0x80070002u), u"0x80070002"},
        {format_text(u"0x%08X", 0x2Au), u"0x0000002A"},
        {format_text(u"%llds %01lld", 8LL, 3LL), u"8s 3"},
        {format_text(u"%5d|%05d", 42, -42), u"   42|-0042"},
        {format_text(u"%c%s%c", u'\\', u"x", u'/'), u"\\x/"},
        {format_text(u"100%% %q %d"), u"100% %q "},
        {format_text(u"%p", static_cast<void *>(nullptr)), u"0000000000000000"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.got, c.expected);
    std::u16string pointer = format_text(u"%p", &value);
    EXPECT_EQ(pointer.size(), 16u);
    EXPECT_EQ(pointer.find_first_not_of(u"0123456789ABCDEF"), std::u16string::npos);
}
