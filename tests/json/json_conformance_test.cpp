// The reader against the shared JSON conformance suite, and what each lenient
// option adds to strict reading.
#include "json_test_util.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <map>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kParsing = shared_data("json-test-suite/test_parsing");
const std::string kTransform = shared_data("json-test-suite/test_transform");

std::vector<std::string> suite_files(const std::string &prefix) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(kParsing)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(JsonConformance, AcceptsEveryValidDocumentAndWritesItBack) {
    const auto names = suite_files("y_");
    ASSERT_GT(names.size(), 90u);
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        const std::string text = load_file(kParsing + "/" + name);
        json_err err{};
        DocPtr doc = read_json(text, 0, &err);
        ASSERT_TRUE(doc) << err.msg << " at " << err.pos;
        EXPECT_EQ(json_doc_read_size(doc.get()), text.size());
        // The compact text reads back strictly to the same values.
        const std::string out = write_json(json_doc_root(doc.get()));
        DocPtr again = read_json(out);
        ASSERT_TRUE(again) << out;
        EXPECT_TRUE(same_tree(doc.get(), again.get()));
    }
}

TEST(JsonConformance, RefusesEveryInvalidDocument) {
    const auto names = suite_files("n_");
    ASSERT_GT(names.size(), 180u);
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        const std::string text = load_file(kParsing + "/" + name);
        json_err err{};
        DocPtr doc = read_json(text, 0, &err);
        EXPECT_FALSE(doc);
        EXPECT_NE(err.code, JSON_ERR_NONE);
        EXPECT_NE(err.msg, nullptr);
        EXPECT_LE(err.pos, text.size());
    }
}

// The documents where JSON leaves the choice to the reader. A strict read
// refuses what could not be kept exactly (infinite numbers) or is not UTF-8;
// `lenient` names the option that accepts it, where there is one.
struct Undecided {
    bool strict_accepts;
    uint32_t lenient;
    const char *why;
};
const std::map<std::string, Undecided> kUndecided = {
    {"i_number_double_huge_neg_exp.json", {true, 0, "underflows to 0.0"}},
    {"i_number_real_underflow.json", {true, 0, "underflows to 0.0"}},
    {"i_number_too_big_neg_int.json", {true, 0, "beyond 64 bits: a real"}},
    {"i_number_too_big_pos_int.json", {true, 0, "beyond 64 bits: a real"}},
    {"i_number_very_big_negative_int.json", {true, 0, "beyond 64 bits: a real"}},
    {"i_number_huge_exp.json", {false, JSON_READ_INF_NAN, "infinite as a double"}},
    {"i_number_neg_int_huge_exp.json", {false, JSON_READ_INF_NAN, "infinite as a double"}},
    {"i_number_pos_double_huge_exp.json", {false, JSON_READ_INF_NAN, "infinite as a double"}},
    {"i_number_real_neg_overflow.json", {false, JSON_READ_INF_NAN, "infinite as a double"}},
    {"i_number_real_pos_overflow.json", {false, JSON_READ_INF_NAN, "infinite as a double"}},
    {"i_object_key_lone_2nd_surrogate.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_1st_surrogate_but_2nd_missing.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_1st_valid_surrogate_2nd_invalid.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_incomplete_surrogate_and_escape_valid.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_incomplete_surrogate_pair.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_incomplete_surrogates_escape_valid.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_invalid_lonely_surrogate.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_invalid_surrogate.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_inverted_surrogates_U+1D11E.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_lone_second_surrogate.json", {false, JSON_READ_INVALID_UTF8, "unpaired surrogate escape"}},
    {"i_string_UTF8_surrogate_U+D800.json", {false, JSON_READ_INVALID_UTF8, "UTF-8 encoded surrogate"}},
    {"i_string_UTF-8_invalid_sequence.json", {false, JSON_READ_INVALID_UTF8, "invalid UTF-8"}},
    {"i_string_invalid_utf-8.json", {false, JSON_READ_INVALID_UTF8, "invalid UTF-8"}},
    {"i_string_iso_latin_1.json", {false, JSON_READ_INVALID_UTF8, "invalid UTF-8"}},
    {"i_string_lone_utf8_continuation_byte.json", {false, JSON_READ_INVALID_UTF8, "invalid UTF-8"}},
    {"i_string_not_in_unicode_range.json", {false, JSON_READ_INVALID_UTF8, "above U+10FFFF"}},
    {"i_string_overlong_sequence_2_bytes.json", {false, JSON_READ_INVALID_UTF8, "overlong UTF-8"}},
    {"i_string_overlong_sequence_6_bytes.json", {false, JSON_READ_INVALID_UTF8, "overlong UTF-8"}},
    {"i_string_overlong_sequence_6_bytes_null.json", {false, JSON_READ_INVALID_UTF8, "overlong UTF-8"}},
    {"i_string_truncated-utf-8.json", {false, JSON_READ_INVALID_UTF8, "invalid UTF-8"}},
    {"i_string_UTF-16LE_with_BOM.json", {false, 0, "UTF-16 is not read"}},
    {"i_string_utf16BE_no_BOM.json", {false, 0, "UTF-16 is not read"}},
    {"i_string_utf16LE_no_BOM.json", {false, 0, "UTF-16 is not read"}},
    {"i_structure_500_nested_arrays.json", {true, 0, "depth is bounded by memory only"}},
    {"i_structure_UTF-8_BOM_empty_object.json", {false, JSON_READ_BOM, "byte-order mark"}},
};

TEST(JsonConformance, DecidesEveryUndecidedDocument) {
    const auto names = suite_files("i_");
    ASSERT_EQ(names.size(), kUndecided.size()) << "every i_ file needs a decision here";
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        const auto decision = kUndecided.find(name);
        ASSERT_NE(decision, kUndecided.end());
        const Undecided &d = decision->second;
        const std::string text = load_file(kParsing + "/" + name);
        EXPECT_EQ(bool(read_json(text)), d.strict_accepts) << d.why;
        if (d.lenient) {
            EXPECT_TRUE(read_json(text, d.lenient)) << d.why;
        } else if (!d.strict_accepts) {
            EXPECT_FALSE(read_json(text, ~uint32_t(0) & ~JSON_READ_STOP_WHEN_DONE)) << d.why;
        }
    }
}

// Number and string edge cases: the compact text each document writes back
// to shows the type and value the reader chose.
TEST(JsonConformance, TransformsEdgeCasesAsDocumented) {
    struct Case {
        const char *file;
        uint32_t flags;
        std::string written;
    };
    const Case cases[] = {
        {"number_-9223372036854775808.json", 0, "[-9223372036854775808]"},
        {"number_-9223372036854775809.json", 0, "[-9223372036854776000.0]"},
        {"number_1.0.json", 0, "[1.0]"},
        {"number_1.000000000000000005.json", 0, "[1.0]"},
        {"number_1000000000000000.json", 0, "[1000000000000000]"},
        {"number_10000000000000000999.json", 0, "[10000000000000000999]"},
        {"number_1e-999.json", 0, "[0.0]"},
        {"number_1e6.json", 0, "[1000000.0]"},
        {"number_9223372036854775807.json", 0, "[9223372036854775807]"},
        {"number_9223372036854775808.json", 0, "[9223372036854775808]"},
        // Keys are compared as bytes: no Unicode normalisation.
        {"object_key_nfc_nfd.json", 0, "{\"\xC3\xA9\":\"NFC\",\"e\xCC\x81\":\"NFD\"}"},
        {"object_key_nfd_nfc.json", 0, "{\"e\xCC\x81\":\"NFD\",\"\xC3\xA9\":\"NFC\"}"},
        // Every member is kept, in order.
        {"object_same_key_different_values.json", 0, "{\"a\":1,\"a\":2}"},
        {"object_same_key_same_value.json", 0, "{\"a\":1,\"a\":1}"},
        {"object_same_key_unclear_values.json", 0, "{\"a\":0,\"a\":-0.0}"},
        {"string_with_escaped_NULL.json", 0, "[\"A\\u0000B\"]"},
        // Surrogates, escaped or encoded, pass through as their 3-byte form.
        {"string_1_escaped_invalid_codepoint.json", JSON_READ_INVALID_UTF8, "[\"\xED\xA0\x80\"]"},
        {"string_1_invalid_codepoint.json", JSON_READ_INVALID_UTF8, "[\"\xED\xA0\x80\"]"},
        {"string_2_escaped_invalid_codepoints.json", JSON_READ_INVALID_UTF8, "[\"\xED\xA0\x80\xED\xA0\x80\"]"},
        {"string_2_invalid_codepoints.json", JSON_READ_INVALID_UTF8, "[\"\xED\xA0\x80\xED\xA0\x80\"]"},
        {"string_3_escaped_invalid_codepoints.json", JSON_READ_INVALID_UTF8,
         "[\"\xED\xA0\x80\xED\xA0\x80\xED\xA0\x80\"]"},
        {"string_3_invalid_codepoints.json", JSON_READ_INVALID_UTF8, "[\"\xED\xA0\x80\xED\xA0\x80\xED\xA0\x80\"]"},
    };
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(kTransform)) files += entry.is_regular_file();
    EXPECT_EQ(files, std::size(cases)) << "a new file in test_transform/ needs a row here";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string text = load_file(kTransform + "/" + c.file);
        ASSERT_FALSE(text.empty());
        json_err err{};
        DocPtr doc = read_json(text, c.flags, &err);
        ASSERT_TRUE(doc) << err.msg;
        EXPECT_EQ(write_json(json_doc_root(doc.get())), c.written);
        if (c.flags) {
            EXPECT_FALSE(read_json(text)) << "reads only with the option";
        }
    }
}

// Small inputs a strict read refuses and one option alone accepts, with the
// compact text of what was read.
TEST(JsonConformance, EachLenientOptionAcceptsItsSyntax) {
    struct Case {
        uint32_t flag;
        std::string input;
        std::string written;
    };
    const Case cases[] = {
        {JSON_READ_BOM, "\xEF\xBB\xBF{}", "{}"},
        {JSON_READ_BOM, "\xEF\xBB\xBF 1 ", "1"},
        {JSON_READ_COMMENTS, "// first\n[1]", "[1]"},
        {JSON_READ_COMMENTS, "[1/* a */,/**/2//b\n]", "[1,2]"},
        {JSON_READ_COMMENTS, "{\"a\"/* x */:/* y */1} // end without newline", "{\"a\":1}"},
        {JSON_READ_COMMENTS, "/* only * stars ** */ true /***/", "true"},
        {JSON_READ_TRAILING_COMMAS, "[1,]", "[1]"},
        {JSON_READ_TRAILING_COMMAS, "{\"a\":[{},],}", "{\"a\":[{}]}"},
        {JSON_READ_TRAILING_COMMAS, "[ 1 , ]", "[1]"},
        {JSON_READ_SINGLE_QUOTES, "['a']", "[\"a\"]"},
        {JSON_READ_SINGLE_QUOTES, "['it\\'s']", "[\"it's\"]"},
        {JSON_READ_SINGLE_QUOTES, "{'k':'say \"hi\"\\n'}", "{\"k\":\"say \\\"hi\\\"\\n\"}"},
        {JSON_READ_UNQUOTED_KEYS, "{a:1}", "{\"a\":1}"},
        {JSON_READ_UNQUOTED_KEYS, "{ _$x9 : 2, b:3}", "{\"_$x9\":2,\"b\":3}"},
        {JSON_READ_UNQUOTED_KEYS, "{\xC3\xA9t\xC3\xA9:3}", "{\"\xC3\xA9t\xC3\xA9\":3}"},
        {JSON_READ_INF_NAN, "[Infinity,-Infinity,NaN,inf,-INF,nAn,+Inf]", "[null,null,null,null,null,null,null]"},
        {JSON_READ_INF_NAN | JSON_READ_NUMBERS_RAW, "[-Infinity,NaN,inf]", "[-Infinity,NaN,inf]"},
        {JSON_READ_INVALID_UTF8, "[\"\xFF\"]", "[\"\xFF\"]"},
        {JSON_READ_INVALID_UTF8, "[\"\xC0\xAF\",\"\xE2\x82\"]", "[\"\xC0\xAF\",\"\xE2\x82\"]"},
        {JSON_READ_INVALID_UTF8, "\"\\uDC00\\uD800x\"", "\"\xED\xB0\x80\xED\xA0\x80x\""},
        {JSON_READ_INVALID_UTF8 | JSON_READ_UNQUOTED_KEYS, "{\xFF\xC3:1}", "{\"\xFF\xC3\":1}"},
        {JSON_READ_NUMBERS_RAW, "[1e400]", "[1e400]"},
        {JSON_READ_STOP_WHEN_DONE, "{} x", "{}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_FALSE(read_json(c.input));
        json_err err{};
        DocPtr doc = read_json(c.input, c.flag, &err);
        ASSERT_TRUE(doc) << err.msg << " at " << err.pos;
        EXPECT_EQ(write_json(json_doc_root(doc.get())), c.written);
    }
}

TEST(JsonConformance, UnquotedKeysMustBeUtf8UnlessInvalidUtf8IsOn) {
    json_err err{};
    EXPECT_FALSE(read_json("{a\xFF:1}", JSON_READ_UNQUOTED_KEYS, &err));
    EXPECT_EQ(err.code, JSON_ERR_INVALID_STRING);
    EXPECT_EQ(err.pos, 2u);
    EXPECT_TRUE(read_json("{\xE4\xB8\xAD:1}", JSON_READ_UNQUOTED_KEYS));
}

TEST(JsonConformance, InfinityAndNanReadAsReals) {
    struct Case {
        const char *input;
        double value;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"Infinity", inf}, {"-Infinity", -inf}, {"+infinity", inf}, {"INF", inf},
        {"-inf", -inf},    {"NaN", NAN},        {"nan", NAN},       {"-NAN", NAN},
        {"1e400", inf},    {"-1e400", -inf},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        DocPtr doc = read_json(c.input, JSON_READ_INF_NAN);
        ASSERT_TRUE(doc);
        const json_val *root = json_doc_root(doc.get());
        ASSERT_EQ(json_get_type(root), JSON_REAL);
        if (std::isnan(c.value))
            EXPECT_TRUE(std::isnan(json_get_real(root)));
        else
            EXPECT_EQ(json_get_real(root), c.value);
    }
    // Words that only start like one are refused.
    for (const char *input : {"Infinit", "-nul", "nanx", "[Inf inity]", "+1"})
        EXPECT_FALSE(read_json(input, JSON_READ_INF_NAN)) << input;
}

TEST(JsonConformance, RawNumbersKeepTheirText) {
    const char *cases[] = {"1.50", "1e3", "-0", "-0.0E+00", "18446744073709551616", "0.1", "123"};
    for (const char *text : cases) {
        SCOPED_TRACE(text);
        DocPtr doc = read_json(text, JSON_READ_NUMBERS_RAW);
        ASSERT_TRUE(doc);
        const json_val *root = json_doc_root(doc.get());
        ASSERT_EQ(json_get_type(root), JSON_RAW);
        EXPECT_EQ(std::string(json_get_str(root), json_get_len(root)), text);
        EXPECT_FALSE(json_is_num(root));
    }
    // Invalid numbers stay invalid.
    for (const char *text : {"01", "1.", "-", "1e+", ".5"}) EXPECT_FALSE(read_json(text, JSON_READ_NUMBERS_RAW)) << text;
}

TEST(JsonConformance, StopWhenDoneReportsWhereTheValueEnds) {
    struct Case {
        const char *input;
        size_t read_size;
    };
    const Case cases[] = {
        {"{} x", 2}, {"[1,2] [3]", 5}, {"\"a\"\"b\"", 3}, {"1 2", 1}, {" true false", 5}, {"{\"a\":{}}}", 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_FALSE(read_json(c.input));
        DocPtr doc = read_json(c.input, JSON_READ_STOP_WHEN_DONE);
        ASSERT_TRUE(doc);
        EXPECT_EQ(json_doc_read_size(doc.get()), c.read_size);
    }
    // Without the option the whole input is read, trailing comments included.
    DocPtr doc = read_json("[1] /* c */ ", JSON_READ_COMMENTS);
    ASSERT_TRUE(doc);
    EXPECT_EQ(json_doc_read_size(doc.get()), 12u);
}

}  // namespace
