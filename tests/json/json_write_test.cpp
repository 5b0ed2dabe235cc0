// The writer: string escaping, number text, whole documents written back,
// depth and running out of memory.
#include "json_test_util.h"

#include <climits>
#include <filesystem>
#include <limits>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string buf_text(const json_buf &b) { return std::string(b.data ? b.data : "", b.len); }

TEST(JsonWrite, EscapesWhatJsonRequiresInTheChosenForm) {
    struct Case {
        std::string input;
        uint32_t esc;
        std::string escaped;
    };
    const uint32_t lower = JSON_ESC_HEX_LOWER, no_bf = JSON_ESC_NO_BF;
    const Case cases[] = {
        {"plain / \xC3\xA9 \x7F", 0, "plain / \xC3\xA9 \x7F"},  // '/', DEL and UTF-8 stay as they are
        {"\xFF\xFE", 0, "\xFF\xFE"},                           // so do bytes that are not UTF-8
        {"\"\\", 0, "\\\"\\\\"},
        {"\n\r\t", lower | no_bf, "\\n\\r\\t"},
        {"\b\f\x1F", 0, "\\b\\f\\u001F"},
        {"\b\f\x1F", lower, "\\b\\f\\u001f"},
        {"\b\f\x1F", no_bf, "\\u0008\\u000C\\u001F"},
        {"\b\f\x1F", lower | no_bf, "\\u0008\\u000c\\u001f"},
        {std::string("a\0b\x01", 4), 0, "a\\u0000b\\u0001"},
        {"", 0, ""},
        // Runs of plain bytes between escapes, longer than a machine word.
        {"0123456789abcdef\n0123456789abcdef\"x", 0, "0123456789abcdef\\n0123456789abcdef\\\"x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input) + " esc " + std::to_string(c.esc));
        std::vector<char> out(6 * c.input.size() + 1);
        EXPECT_EQ(std::string(out.data(), json_escape(out.data(), c.input.data(), c.input.size(), c.esc)), c.escaped);

        json_buf b;
        json_buf_init(&b, nullptr);
        json_buf_str(&b, c.input.data(), c.input.size(), c.esc);
        const std::string quoted = buf_text(b);
        EXPECT_EQ(quoted, "\"" + c.escaped + "\"");
        EXPECT_EQ(b.data[b.len], '\0');
        json_buf_free(&b);
        // Read back, the text is the input again.
        DocPtr doc = read_json(quoted, JSON_READ_INVALID_UTF8);
        ASSERT_TRUE(doc);
        const json_val *v = json_doc_root(doc.get());
        EXPECT_EQ(std::string(json_get_str(v), json_get_len(v)), c.input);
    }
    json_buf b;
    json_buf_init(&b, nullptr);
    json_buf_str(&b, nullptr, 5, 0);
    EXPECT_EQ(buf_text(b), "\"\"");
    json_buf_free(&b);
}

TEST(JsonWrite, RealsAreShortestAndMarkedAsReals) {
    struct Case {
        double value;
        const char *text;
    };
    const Case cases[] = {
        {100.0, "100.0"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {0.1, "0.1"},
        {-1.5, "-1.5"},
        {123.456, "123.456"},
        {9007199254740992.0, "9007199254740992.0"},
        {1e20, "100000000000000000000.0"},
        {123456789012345680000.0, "123456789012345680000.0"},
        {1e21, "1e21"},
        {-1e21, "-1e21"},
        {1.2345e25, "1.2345e25"},
        {1e-6, "0.000001"},
        {-2.5e-5, "-0.000025"},
        {0.0000012345678901234567, "0.0000012345678901234567"},
        {1e-7, "1e-7"},
        {1.5e-7, "1.5e-7"},
        {1e-300, "1e-300"},
        {5e-324, "5e-324"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {-1.7976931348623157e308, "-1.7976931348623157e308"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        char out[40];
        EXPECT_EQ(std::string(out, json_write_real(out, c.value)), c.text);
        json_buf b;
        json_buf_init(&b, nullptr);
        json_buf_real(&b, c.value);
        EXPECT_EQ(buf_text(b), c.text);
        json_buf_free(&b);
        DocPtr doc = read_json(c.text);
        ASSERT_TRUE(doc);
        EXPECT_EQ(json_get_type(json_doc_root(doc.get())), JSON_REAL);
        EXPECT_TRUE(same_bits(json_get_real(json_doc_root(doc.get())), c.value));
    }
    // JSON has no infinities or NaN.
    for (double v : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
        char out[40];
        EXPECT_EQ(std::string(out, json_write_real(out, v)), "null");
    }
}

TEST(JsonWrite, IntegersAndRawPiecesAppend) {
    json_buf b;
    json_buf_init(&b, nullptr);
    json_buf_char(&b, '[');
    json_buf_sint(&b, std::numeric_limits<int64_t>::min());
    json_buf_raw(&b, ",x", 1);
    json_buf_uint(&b, std::numeric_limits<uint64_t>::max());
    json_buf_cstr(&b, ",0]");
    EXPECT_EQ(buf_text(b), "[-9223372036854775808,18446744073709551615,0]");
    EXPECT_FALSE(b.failed);
    // A request no buffer can hold fails the buffer instead of wrapping around.
    EXPECT_FALSE(json_buf_reserve(&b, SIZE_MAX - 2));
    EXPECT_TRUE(b.failed);
    json_buf_free(&b);
}

// Read, written compactly, read again: the same values, and writing those
// gives the same text.
void expect_round_trip(const std::string &text) {
    json_err err{};
    DocPtr doc = read_json(text, 0, &err);
    ASSERT_TRUE(doc) << err.msg << " at " << err.pos;
    const std::string out = write_json(json_doc_root(doc.get()));
    DocPtr again = read_json(out, 0, &err);
    ASSERT_TRUE(again) << err.msg << " at " << err.pos;
    EXPECT_TRUE(same_tree(doc.get(), again.get()));
    EXPECT_EQ(write_json(json_doc_root(again.get())), out);
}

TEST(JsonWrite, BenchmarkDocumentsRoundTrip) {
    for (const char *name : {"twitter.json", "citm_catalog.json", "canada.json"}) {
        SCOPED_TRACE(name);
        const std::string text = load_file(shared_data(std::string("json-benchmark/data/") + name));
        ASSERT_GT(text.size(), 100000u);
        expect_round_trip(text);
    }
}

TEST(JsonWrite, CompactDocumentsWriteBackByteForByte) {
    const std::string dir = shared_data("json-benchmark/data/roundtrip");
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().filename().string());
        std::string text = load_file(entry.path().string());
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        DocPtr doc = read_json(text);
        ASSERT_TRUE(doc);
        // Already compact, with numbers laid out as the writer lays them out.
        EXPECT_EQ(write_json(json_doc_root(doc.get())), text);
        files++;
    }
    EXPECT_EQ(files, 27u);
}

TEST(JsonWrite, DeepDocumentsWriteWithoutRecursion) {
    const size_t depth = 100000;
    std::string text;
    for (size_t i = 0; i < depth; i++) text += i % 2 ? "{\"k\":" : "[";
    text += "[1,{}]";
    for (size_t i = depth; i-- > 0;) text += i % 2 ? "}" : "]";
    DocPtr doc = read_json(text);
    ASSERT_TRUE(doc);
    std::string written;
    run_on_small_stack(64 * 1024, [&] { written = write_json(json_doc_root(doc.get())); });
    EXPECT_EQ(written, text);
}

TEST(JsonWrite, RunningOutOfMemoryFailsTheBufferForGood) {
    // Deep enough for the writer's own nesting stack to grow, long enough
    // for the buffer to grow several times.
    std::string text;
    for (int i = 0; i < 100; i++) text += "[\"0123456789\",";
    text += "0";
    for (int i = 0; i < 100; i++) text += "]";
    DocPtr doc = read_json(text);
    ASSERT_TRUE(doc);
    size_t failures = 0;
    for (size_t fail_at = 1;; fail_at++) {
        SCOPED_TRACE(testing::Message() << "allocation " << fail_at);
        CountingAlloc alloc(fail_at);
        json_buf b;
        json_buf_init(&b, &alloc.alc);
        json_buf_val(&b, json_doc_root(doc.get()), 0);
        if (alloc.calls < fail_at) {
            EXPECT_FALSE(b.failed);
            EXPECT_EQ(buf_text(b), text);
            json_buf_free(&b);
            EXPECT_EQ(alloc.live, 0);
            break;
        }
        failures++;
        EXPECT_TRUE(b.failed);
        // Later appends change nothing.
        const size_t len = b.len;
        const std::string before = buf_text(b);
        json_buf_cstr(&b, "more");
        json_buf_char(&b, 'x');
        json_buf_str(&b, "s", 1, 0);
        json_buf_real(&b, 1.5);
        json_buf_uint(&b, 7);
        json_buf_val(&b, json_doc_root(doc.get()), 0);
        EXPECT_FALSE(json_buf_reserve(&b, 1));
        EXPECT_EQ(b.len, len);
        EXPECT_EQ(buf_text(b), before);
        EXPECT_TRUE(b.failed);
        json_buf_free(&b);
        EXPECT_EQ(alloc.live, 0) << "leaked";
    }
    EXPECT_GE(failures, 5u);
}

}  // namespace
