// The reader: number types and values, strings, errors, navigation, depth
// and running out of memory.
#include "json_test_util.h"

#include <cinttypes>
#include <limits>
#include <random>
#include <vector>

namespace {

using Limits64 = std::numeric_limits<uint64_t>;

json_val *root_of(const DocPtr &doc) { return json_doc_root(doc.get()); }
std::string str_of(const json_val *v) { return std::string(json_get_str(v), json_get_len(v)); }

TEST(JsonRead, NumbersTakeTheNarrowestExactType) {
    struct Case {
        const char *input;
        json_type type;
        uint64_t uint = 0;
        int64_t sint = 0;
        double real = 0;
    };
    const Case cases[] = {
        {.input = "0", .type = JSON_UINT, .uint = 0},
        {.input = "-0", .type = JSON_REAL, .real = -0.0},  // keeps its sign
        {.input = "123456789", .type = JSON_UINT, .uint = 123456789},
        {.input = "18446744073709551615", .type = JSON_UINT, .uint = Limits64::max()},
        {.input = "18446744073709551616", .type = JSON_REAL, .real = 18446744073709551616.0},
        {.input = "99999999999999999999", .type = JSON_REAL, .real = 1e20},
        {.input = "-1", .type = JSON_SINT, .sint = -1},
        {.input = "-9223372036854775808", .type = JSON_SINT, .sint = std::numeric_limits<int64_t>::min()},
        {.input = "-9223372036854775809", .type = JSON_REAL, .real = -9223372036854775808.0},
        {.input = "9007199254740993", .type = JSON_UINT, .uint = 9007199254740993u},
        {.input = "1.0", .type = JSON_REAL, .real = 1.0},
        {.input = "1e2", .type = JSON_REAL, .real = 100.0},
        {.input = "0.1", .type = JSON_REAL, .real = 0.1},
        {.input = "-2.5E-3", .type = JSON_REAL, .real = -0.0025},
        {.input = "5e-324", .type = JSON_REAL, .real = std::numeric_limits<double>::denorm_min()},
        {.input = "2.2250738585072011e-308", .type = JSON_REAL, .real = 2.2250738585072011e-308},
        {.input = "1.7976931348623157e308", .type = JSON_REAL, .real = std::numeric_limits<double>::max()},
        {.input = "9007199254740993.0", .type = JSON_REAL, .real = 9007199254740992.0},  // ties to even
        {.input = "0.30000000000000004", .type = JSON_REAL, .real = 0.30000000000000004},
        {.input = "1e-400", .type = JSON_REAL, .real = 0.0},
        {.input = "-1e-400", .type = JSON_REAL, .real = -0.0},
        {.input = "0.000000000000000000000000000001e30", .type = JSON_REAL, .real = 1.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        json_err err{};
        DocPtr doc = read_json(c.input, 0, &err);
        ASSERT_TRUE(doc) << err.msg;
        const json_val *v = root_of(doc);
        ASSERT_EQ(json_get_type(v), c.type);
        switch (c.type) {
        case JSON_UINT: EXPECT_EQ(json_get_uint(v), c.uint); break;
        case JSON_SINT: EXPECT_EQ(json_get_sint(v), c.sint); break;
        default: EXPECT_TRUE(same_bits(json_get_real(v), c.real)) << json_get_real(v); break;
        }
    }
}

TEST(JsonRead, InfiniteNumbersAreRefusedWhenStrict) {
    for (const char *input : {"1e400", "-1e400", "[1.5e+9999]", "123123e100000"}) {
        SCOPED_TRACE(input);
        json_err err{};
        EXPECT_FALSE(read_json(input, 0, &err));
        EXPECT_EQ(err.code, JSON_ERR_INVALID_NUMBER);
        EXPECT_STREQ(err.msg, "number is infinity when parsed as double");
        EXPECT_EQ(err.pos, input[0] == '[' ? 1u : 0u);  // where the number starts
    }
}

// Decimal text of random significands and exponents, against the C library:
// the reader's fast paths for up to 19 digits must round the same way.
TEST(JsonRead, RealsAreCorrectlyRounded) {
    std::mt19937_64 rng(20240611);
    std::string text;
    for (int round = 0; round < 100000; round++) {
        text.clear();
        if (rng() & 1) text += '-';
        const int digits = 1 + int(rng() % 24);
        text += char('1' + rng() % 9);
        for (int i = 1; i < digits; i++) text += char('0' + rng() % 10);
        if (digits > 1 && (rng() & 1)) text.insert(text.size() - size_t(rng() % (digits - 1)) - 1, ".");
        const int range = (rng() & 3) ? 30 : 330;
        text += 'e' + std::to_string(int(rng() % (2 * range + 1)) - range);
        const double expected = std::strtod(text.c_str(), nullptr);
        if (std::isinf(expected)) continue;
        DocPtr doc = read_json(text);
        ASSERT_TRUE(doc) << text;
        ASSERT_TRUE(same_bits(json_get_real(root_of(doc)), expected)) << text;
    }
}

TEST(JsonRead, EscapesAreDecoded) {
    struct Case {
        const char *input;
        std::string bytes;
    };
    const Case cases[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
        {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
        {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        {R"("x\u0000y")", std::string("x\0y", 3)},
        {R"("\u00e9é")", "\xC3\xA9\xC3\xA9"},
        // Escapes after and between runs longer than eight bytes.
        {R"("abcdefghijklmnopqrstuvwxyz\n0123456789abcdefghij\t0123456789ABCDEFGHIJ")",
         "abcdefghijklmnopqrstuvwxyz\n0123456789abcdefghij\t0123456789ABCDEFGHIJ"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        DocPtr doc = read_json(c.input);
        ASSERT_TRUE(doc);
        const json_val *v = root_of(doc);
        ASSERT_EQ(json_get_type(v), JSON_STR);
        EXPECT_EQ(str_of(v), c.bytes);
        EXPECT_EQ(json_get_str(v)[json_get_len(v)], '\0');
    }
}

TEST(JsonRead, LoneSurrogatesAreRefusedUnlessInvalidUtf8IsOn) {
    struct Case {
        const char *input;
        size_t pos;
        std::string passed_through;
    };
    const Case cases[] = {
        {R"("\uD800")", 1, "\xED\xA0\x80"},
        {R"("\udc00")", 1, "\xED\xB0\x80"},
        {R"("a\uD800\u0041")", 2, "a\xED\xA0\x80" "A"},
        {R"("\uD800\uD800")", 1, "\xED\xA0\x80\xED\xA0\x80"},
        {R"("\uDE00\uD83D")", 1, "\xED\xB8\x80\xED\xA0\xBD"},
        {R"("\uD800\n")", 1, "\xED\xA0\x80\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        json_err err{};
        EXPECT_FALSE(read_json(c.input, 0, &err));
        EXPECT_EQ(err.code, JSON_ERR_INVALID_STRING);
        EXPECT_STREQ(err.msg, "unpaired surrogate escape in string");
        EXPECT_EQ(err.pos, c.pos);
        DocPtr doc = read_json(c.input, JSON_READ_INVALID_UTF8);
        ASSERT_TRUE(doc);
        EXPECT_EQ(str_of(root_of(doc)), c.passed_through);
    }
}

TEST(JsonRead, ErrorsTellWhereAndWhat) {
    struct Case {
        std::string input;
        uint32_t flags;
        json_err_code code;
        size_t pos;
        const char *msg;
    };
    const Case cases[] = {
        {"", 0, JSON_ERR_EMPTY_CONTENT, 0, "input data is empty"},
        {" \t\n", 0, JSON_ERR_EMPTY_CONTENT, 3, "input data is empty"},
        {"// nothing\n", JSON_READ_COMMENTS, JSON_ERR_EMPTY_CONTENT, 11, "input data is empty"},
        {"[1,2", 0, JSON_ERR_UNEXPECTED_END, 4, "unexpected end of data"},
        {"{\"a\":", 0, JSON_ERR_UNEXPECTED_END, 5, "unexpected end of data"},
        {"\"abc", 0, JSON_ERR_UNEXPECTED_END, 4, "unexpected end of data"},
        {"\"\\u00", 0, JSON_ERR_UNEXPECTED_END, 5, "unexpected end of data"},
        {"tru", 0, JSON_ERR_UNEXPECTED_END, 3, "unexpected end of data"},
        {"[1 2]", 0, JSON_ERR_UNEXPECTED_CHARACTER, 3, "unexpected character, expected a comma or a closing bracket"},
        {"{\"a\":1 \"b\":2}", 0, JSON_ERR_UNEXPECTED_CHARACTER, 7,
         "unexpected character, expected a comma or a closing brace"},
        {"{\"a\" 1}", 0, JSON_ERR_UNEXPECTED_CHARACTER, 5, "unexpected character, expected a colon after object key"},
        {"{1:2}", 0, JSON_ERR_UNEXPECTED_CHARACTER, 1, "unexpected character, expected a string for object key"},
        {"{'a':1}", 0, JSON_ERR_UNEXPECTED_CHARACTER, 1, "unexpected character, expected a string for object key"},
        {"[1,]", 0, JSON_ERR_UNEXPECTED_CHARACTER, 3, "unexpected character, expected a JSON value"},
        {"\xEF\xBB\xBF{}", 0, JSON_ERR_UNEXPECTED_CHARACTER, 0, "byte order mark is not allowed"},
        {"[01]", 0, JSON_ERR_INVALID_NUMBER, 2, "leading zero in number"},
        {"[1.]", 0, JSON_ERR_INVALID_NUMBER, 3, "no digit after decimal point"},
        {"[1e+]", 0, JSON_ERR_INVALID_NUMBER, 4, "no digit after exponent sign"},
        {"[-]", 0, JSON_ERR_INVALID_NUMBER, 2, "no digit after minus sign"},
        {"[\"a\\x\"]", 0, JSON_ERR_INVALID_STRING, 3, "invalid escaped sequence in string"},
        {"\"\\u12G4\"", 0, JSON_ERR_INVALID_STRING, 1, "invalid escaped sequence in string"},
        {"\"a\tb\"", 0, JSON_ERR_INVALID_STRING, 2, "unexpected character in string"},
        {"[\"\xFF\"]", 0, JSON_ERR_INVALID_STRING, 2, "invalid UTF-8 encoding in string"},
        {"[tru]", 0, JSON_ERR_LITERAL, 1, "invalid literal"},
        {"[1]x", 0, JSON_ERR_UNEXPECTED_CONTENT, 3, "unexpected content after document"},
        {"[1] /", JSON_READ_COMMENTS, JSON_ERR_UNEXPECTED_CONTENT, 4, "unexpected content after document"},
        {"[1] /* open", JSON_READ_COMMENTS, JSON_ERR_INVALID_COMMENT, 4, "unclosed multiline comment"},
        // NUL bytes are ordinary input: outside strings they are no JSON.
        {std::string("\0", 1), 0, JSON_ERR_UNEXPECTED_CHARACTER, 0, "unexpected character, expected a JSON value"},
        {std::string("[\0]", 3), 0, JSON_ERR_UNEXPECTED_CHARACTER, 1, "unexpected character, expected a JSON value"},
        {std::string("[1,\0 2]", 7), 0, JSON_ERR_UNEXPECTED_CHARACTER, 3,
         "unexpected character, expected a JSON value"},
        {std::string("[1]\0", 4), 0, JSON_ERR_UNEXPECTED_CONTENT, 3, "unexpected content after document"},
        {std::string("1\0", 2), 0, JSON_ERR_UNEXPECTED_CONTENT, 1, "unexpected content after document"},
        {std::string("\"a\0b\"", 5), 0, JSON_ERR_INVALID_STRING, 2, "unexpected character in string"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        json_err err{};
        EXPECT_FALSE(read_json(c.input, c.flags, &err));
        EXPECT_EQ(err.code, c.code);
        EXPECT_EQ(err.pos, c.pos);
        EXPECT_STREQ(err.msg, c.msg);
    }
    json_err err{};
    EXPECT_FALSE(json_read(nullptr, 1, 0, nullptr, &err));
    EXPECT_EQ(err.code, JSON_ERR_INVALID_PARAMETER);
    EXPECT_FALSE(json_read(nullptr, 0, 0, nullptr, &err));
    EXPECT_EQ(err.code, JSON_ERR_EMPTY_CONTENT);
}

TEST(JsonRead, ObjectsKeepDuplicateMembersInOrder) {
    DocPtr doc = read_json(R"({"a":1,"b":2,"a":3,"a\u0000b":4,"":5})");
    ASSERT_TRUE(doc);
    json_val *obj = root_of(doc);
    ASSERT_EQ(json_get_len(obj), 5u);
    std::vector<std::pair<std::string, uint64_t>> members;
    json_obj_iter it = json_obj_iter_init(obj);
    while (json_val *k = json_obj_iter_next(&it)) members.emplace_back(str_of(k), json_get_uint(k + 1));
    const std::vector<std::pair<std::string, uint64_t>> expected = {
        {"a", 1}, {"b", 2}, {"a", 3}, {std::string("a\0b", 3), 4}, {"", 5}};
    EXPECT_EQ(members, expected);
    // Look-ups answer with the first member and compare every byte of the key.
    EXPECT_EQ(json_get_uint(json_obj_get(obj, "a")), 1u);
    EXPECT_EQ(json_get_uint(json_obj_getn(obj, "a\0b", 3)), 4u);
    EXPECT_EQ(json_get_uint(json_obj_get(obj, "")), 5u);
    EXPECT_EQ(json_obj_get(obj, "c"), nullptr);
    EXPECT_EQ(json_obj_getn(obj, "ab", 1), json_obj_get(obj, "a"));
}

TEST(JsonRead, NavigationSkipsNestedValues) {
    DocPtr doc = read_json(R"({"list":[1,[2,[3]],{"k":[4,5]},"s"],"empty":[],"t":true})");
    ASSERT_TRUE(doc);
    json_val *root = root_of(doc);
    EXPECT_EQ(json_doc_val_count(doc.get()), 18u);
    EXPECT_EQ(json_next(root), root + json_doc_val_count(doc.get()));

    json_val *list = json_obj_get(root, "list");
    ASSERT_EQ(json_get_len(list), 4u);
    std::vector<json_type> types;
    json_arr_iter it = json_arr_iter_init(list);
    for (size_t i = 0; json_val *v = json_arr_iter_next(&it); i++) {
        types.push_back(json_get_type(v));
        EXPECT_EQ(json_arr_get(list, i), v);
    }
    EXPECT_EQ(types, (std::vector<json_type>{JSON_UINT, JSON_ARR, JSON_OBJ, JSON_STR}));
    EXPECT_EQ(json_arr_get(list, 4), nullptr);
    EXPECT_EQ(json_get_uint(json_arr_get(json_obj_get(json_arr_get(list, 2), "k"), 1)), 5u);
    EXPECT_EQ(json_next(list), json_obj_get(root, "empty") - 1);  // the next key

    json_val *empty = json_obj_get(root, "empty");
    EXPECT_EQ(json_first(empty), nullptr);
    json_arr_iter none = json_arr_iter_init(empty);
    EXPECT_EQ(json_arr_iter_next(&none), nullptr);
    // Asking a value of the wrong type, or no value, finds nothing.
    EXPECT_EQ(json_arr_get(root, 0), nullptr);
    EXPECT_EQ(json_obj_get(list, "k"), nullptr);
    json_obj_iter not_obj = json_obj_iter_init(list);
    EXPECT_EQ(json_obj_iter_next(&not_obj), nullptr);
    EXPECT_EQ(json_get_type(json_obj_get(nullptr, "a")), JSON_NONE);
    EXPECT_EQ(json_arr_get(nullptr, 0), nullptr);
    EXPECT_EQ(json_get_str(json_obj_get(root, "t")), nullptr);
    EXPECT_EQ(json_doc_root(nullptr), nullptr);
}

TEST(JsonRead, DepthIsBoundedByMemoryNotByTheStack) {
    const size_t depth = 100000;
    struct Case {
        std::string open, close;
        size_t levels_per_repeat;
    };
    const Case cases[] = {{"[", "]", 1}, {"{\"a\":", "}", 1}, {"[{\"\":", "}]", 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.open);
        std::string text;
        for (size_t i = 0; i < depth; i++) text += c.open;
        text += "0";
        for (size_t i = 0; i < depth; i++) text += c.close;
        DocPtr doc;
        run_on_small_stack(64 * 1024, [&] { doc = read_json(text); });
        ASSERT_TRUE(doc);
        // Down the first children to the innermost value.
        json_val *v = root_of(doc);
        size_t levels = 0;
        for (; json_is_ctn(v); levels++) {
            ASSERT_EQ(json_get_len(v), 1u);
            v = json_is_obj(v) ? json_first(v) + 1 : json_first(v);
        }
        EXPECT_EQ(levels, depth * c.levels_per_repeat);
        EXPECT_EQ(json_get_type(v), JSON_UINT);
        EXPECT_EQ(v, root_of(doc) + json_doc_val_count(doc.get()) - 1);  // the last value of the array
    }
}

// A document that needs every kind of allocation: the copy, the document,
// the value array and several growths of it.
std::string growing_document() {
    std::string text = "[";
    for (int i = 0; i < 3000; i++) text += "0,";
    return text + "{\"k\":\"v\\n\"},[[[]]]]";
}

TEST(JsonRead, RunningOutOfMemoryFailsCleanlyAtEveryAllocation) {
    const std::string text = growing_document();
    DocPtr expected = read_json(text);
    ASSERT_TRUE(expected);
    for (bool insitu : {false, true}) {
        size_t failures = 0;
        for (size_t fail_at = 1;; fail_at++) {
            SCOPED_TRACE(testing::Message() << "allocation " << fail_at << (insitu ? " in place" : ""));
            CountingAlloc alloc(fail_at);
            std::vector<char> buf(text.begin(), text.end());
            buf.resize(text.size() + JSON_READ_PADDING);
            json_err err{};
            DocPtr doc(insitu ? json_read_insitu(buf.data(), text.size(), 0, &alloc.alc, &err)
                              : json_read(text.data(), text.size(), 0, &alloc.alc, &err));
            if (alloc.calls < fail_at) {
                ASSERT_TRUE(doc);
                EXPECT_TRUE(same_tree(doc.get(), expected.get()));
                doc.reset();
                EXPECT_EQ(alloc.live, 0);
                break;
            }
            EXPECT_FALSE(doc);
            EXPECT_EQ(err.code, JSON_ERR_MEMORY);
            EXPECT_EQ(alloc.live, 0) << "leaked";
            failures++;
        }
        EXPECT_GE(failures, insitu ? 4u : 5u);
    }
}

TEST(JsonRead, InPlaceReadingUnescapesInsideTheCallersBuffer) {
    const std::string text = R"({"a":"x\ny","b":[1.5]})";
    std::vector<char> buf(text.begin(), text.end());
    buf.resize(text.size() + JSON_READ_PADDING, 'P');
    DocPtr doc(json_read_insitu(buf.data(), text.size(), 0, nullptr, nullptr));
    ASSERT_TRUE(doc);
    const json_val *a = json_obj_get(json_doc_root(doc.get()), "a");
    EXPECT_EQ(str_of(a), "x\ny");
    EXPECT_GE(json_get_str(a), buf.data());
    EXPECT_LT(json_get_str(a), buf.data() + text.size());
    // The strings belong to the buffer, which may outlive the document.
    const char *kept = json_get_str(a);
    doc.reset();
    EXPECT_STREQ(kept, "x\ny");

    json_err err{};
    EXPECT_FALSE(json_read_insitu(nullptr, 1, 0, nullptr, &err));
    EXPECT_EQ(err.code, JSON_ERR_INVALID_PARAMETER);
    EXPECT_FALSE(json_read_insitu(buf.data(), 0, 0, nullptr, &err));
    EXPECT_EQ(err.code, JSON_ERR_EMPTY_CONTENT);
}

}  // namespace
