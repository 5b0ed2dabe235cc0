// Plain datagrams: framing, inflation caps, the shared-secret tag, JSON and
// command checks, and what each outcome does to the current message.
#include <random>

#include "oprc_test_util.h"

namespace {

const std::string PING = R"({"Command":"Ping","State":5})";

// A JSON text of exactly `size` bytes whose zlib stream is exactly `zsize` bytes: a run of
// random letters sets the compressed size, a run of blanks the inflated one.
std::string text_with_sizes(size_t size, size_t zsize, std::string *stream) {
    std::mt19937 rng(7);
    std::string random;
    for (size_t r = 0; r < 4 * zsize; r++) {
        random += char('a' + rng() % 26);
        std::string text = R"({"Command":1,"x":")" + random + "\"";
        if (text.size() + 1 > size) break;
        text += std::string(size - text.size() - 1, ' ') + "}";
        *stream = zlib_compress(text, 9);
        if (stream->size() == zsize) return text;
    }
    ADD_FAILURE() << "no text found";
    return {};
}

}  // namespace

TEST_F(Oprc, CommandValues) {
    oprc_arm_uri_commands(1);
    struct {
        const char *json;
        int rc, command;
    } cases[] = {
        {R"({"Command":1})", OPRC_OK, 1},
        {R"({"Command":40.0})", OPRC_OK, 40},
        {R"({"Command":-0.0})", OPRC_OK, 0},
        {R"({"Command":4e1})", OPRC_OK, 40},
        {R"({"Command":"pLaYuRi"})", OPRC_OK, 40},
        {R"({"Command":"Ping","Command":"Play"})", OPRC_OK, 17},  // the first occurrence counts
        {R"({"Command":40.5})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":41})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":-1})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":-0.5})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":1e300})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":18446744073709551617})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":"Play "})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":"Pl\u0000ay"})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":true})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"command":1})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({})", OPRC_ERR_UNKNOWN_COMMAND, -1},
        {R"({"Command":1)", OPRC_ERR_JSON, -1},
        {R"({"Command":1,})", OPRC_ERR_JSON, -1},
        {R"({"Command":1} x)", OPRC_ERR_JSON, -1},
        {R"({"Command":NaN})", OPRC_ERR_JSON, -1},
        {"{\"Command\":\"\xFF\"}", OPRC_ERR_JSON, -1},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(decode(PING), OPRC_OK);
        EXPECT_EQ(decode(c.json), c.rc) << c.json;
        EXPECT_EQ(oprc_command(), c.command) << c.json;
        EXPECT_EQ(oprc_state(), -1) << "the earlier message is gone: " << c.json;
    }
}

TEST_F(Oprc, RefusedMessagesExplainThemselves) {
    EXPECT_EQ(decode("[1]"), OPRC_ERR_JSON);  // no '{': refused before reading
    EXPECT_EQ(oprc_warning_count(), 0);
    EXPECT_EQ(decode(R"({"a":1})"), OPRC_ERR_UNKNOWN_COMMAND);
    EXPECT_EQ(warnings(), "missing or unknown Command");
    EXPECT_EQ(last_error(), "ERR_UNKNOWN_COMMAND");
    EXPECT_EQ(decode(zlib_compress("[1]")), OPRC_ERR_JSON);
    EXPECT_EQ(warnings(), "root is not a JSON object");
}

TEST_F(Oprc, UriCommandsNeedArming) {
    ASSERT_EQ(decode(PING), OPRC_OK);
    const std::string before = oprc_result_json();
    EXPECT_EQ(decode(R"({"Command":"OPEN","Uri":"file:///a"})"), OPRC_ERR_NOT_ARMED);
    EXPECT_EQ(last_error(), "ERR_NOT_ARMED");
    EXPECT_EQ(oprc_command(), 30);
    EXPECT_STREQ(oprc_uri(), "file:///a");  // the message stays current
    EXPECT_EQ(oprc_result_json(), before);  // but its copy is not written
    for (const char *json : {R"({"Command":39})", R"({"Command":40})"}) EXPECT_EQ(decode(json), OPRC_ERR_NOT_ARMED);
    oprc_arm_uri_commands(5);
    EXPECT_EQ(decode(R"({"Command":"Open","Uri":"file:///a"})"), OPRC_OK);
    EXPECT_EQ(std::string(oprc_result_json()), R"({"Command":"Open","Uri":"file:///a"})");
    oprc_arm_uri_commands(0);
    EXPECT_EQ(decode(R"({"Command":40})"), OPRC_ERR_NOT_ARMED);
}

TEST_F(Oprc, SizeLimitsAndPlainFraming) {
    ASSERT_EQ(decode(PING), OPRC_OK);
    std::string big = R"({"Command":1})";
    big += std::string(OPRC_MAX_DATAGRAM - big.size(), ' ');
    EXPECT_EQ(decode(big + " "), OPRC_ERR_TOO_LARGE);
    EXPECT_EQ(oprc_command(), 17);  // untouched
    EXPECT_EQ(decode(big), OPRC_OK);
    EXPECT_EQ(oprc_command(), 1);

    EXPECT_EQ(oprc_decode(nullptr, 5), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_decode("{", 0), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(decode(std::string(" ") + PING), OPRC_ERR_JSON);
    EXPECT_EQ(decode("{"), OPRC_ERR_JSON);
    EXPECT_EQ(decode("Bx"), OPRC_ERR_JSON);
    EXPECT_EQ(oprc_warning_count(), 0);
    EXPECT_EQ(decode("BZh91AY&SY"), OPRC_ERR_INFLATE);
    EXPECT_EQ(warnings(), "bz2-refused: BZip2 datagram dropped (zlib only)");
    EXPECT_EQ(decode(std::string(R"({"Command":1})") + '\0' + "garbage"), OPRC_OK);
    EXPECT_EQ(oprc_command(), 1);
    EXPECT_EQ(decode(zlib_compress(std::string(R"({"Command":3})") + '\0' + "x")), OPRC_OK);
    EXPECT_EQ(oprc_command(), 3);
    // A first byte of 2 is the secure framing, which needs a registered key.
    EXPECT_EQ(decode(std::string("\x02") + std::string(80, 'x')), OPRC_ERR_PROTOCOL);
    EXPECT_EQ(oprc_command(), 3);
}

TEST_F(Oprc, InflationCaps) {
    std::string stream;
    const std::string over = text_with_sizes(101101, 1000, &stream);
    EXPECT_EQ(decode(stream), OPRC_ERR_BOMB);
    EXPECT_EQ(warnings(), "zlib bomb refused (101101 bytes, cap 4194304, ratio 100)");
    const std::string under = text_with_sizes(101100, 1000, &stream);
    EXPECT_EQ(decode(stream), OPRC_OK);
    EXPECT_EQ(oprc_command(), 1);

    oprc_set_max_inflate(63);
    oprc_set_max_ratio(0);
    oprc_set_max_ratio(-5);
    EXPECT_EQ(decode(stream), OPRC_OK);  // both caps unchanged
    oprc_set_max_ratio(1000);
    oprc_set_max_inflate(100000);
    EXPECT_EQ(decode(stream), OPRC_ERR_BOMB);
    EXPECT_EQ(warnings(), "zlib bomb refused (101100 bytes, cap 100000, ratio 1000)");
    oprc_set_max_inflate(64);
    EXPECT_EQ(decode(zlib_compress(std::string(R"({"Command":1})") + std::string(60, ' '))), OPRC_ERR_BOMB);
}

TEST_F(Oprc, InflationAcrossManySteps) {
    // 300 KB of two letters: about eight times smaller compressed, so several output steps.
    std::mt19937 rng(3);
    std::string text = R"({"Command":2,"Uri":")";
    while (text.size() < 300000) text += char('a' + rng() % 2);
    text += "\"}";
    const std::string z = zlib_compress(text);
    ASSERT_LT(z.size(), size_t(OPRC_MAX_DATAGRAM));
    ASSERT_EQ(decode(z), OPRC_OK) << warnings();
    EXPECT_EQ(std::string(oprc_result_json()), text);
}

TEST_F(Oprc, CorruptStreams) {
    ASSERT_EQ(decode(PING), OPRC_OK);
    const std::string z = zlib_compress(R"({"Command":1,"Uri":")" + std::string(5000, 'q') + "\"}");
    EXPECT_EQ(decode(z.substr(0, z.size() / 2)), OPRC_ERR_INFLATE);
    EXPECT_EQ(warnings(), "zlib corrupt or truncated (mz rc=-5, made=0)");
    EXPECT_EQ(decode(z + "abc"), OPRC_ERR_INFLATE);
    EXPECT_EQ(warnings(), "zlib trailing garbage (3 bytes) refused");
    std::string flipped = z;
    flipped[4] ^= 0x55;
    EXPECT_EQ(decode(flipped), OPRC_ERR_INFLATE);
    EXPECT_EQ(std::string(oprc_warning(0)).rfind("zlib corrupt or truncated (mz rc=", 0), 0u) << warnings();
    EXPECT_EQ(decode(z.substr(0, 2)), OPRC_ERR_INFLATE);  // a header alone
    EXPECT_EQ(oprc_command(), 17);                         // every refusal left the message

    // A stream that asks for a preset dictionary is corrupt: no dictionary is ever agreed.
    z_stream zs = {};
    ASSERT_EQ(deflateInit(&zs, 6), Z_OK);
    ASSERT_EQ(deflateSetDictionary(&zs, reinterpret_cast<const Bytef *>("Command"), 7), Z_OK);
    std::string out(256, '\0');
    const std::string msg = R"({"Command":1})";
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(msg.data()));
    zs.avail_in = uInt(msg.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = uInt(out.size());
    ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    EXPECT_EQ(decode(out), OPRC_ERR_INFLATE);
    EXPECT_EQ(warnings(), "zlib corrupt or truncated (mz rc=2, made=0)");
}

TEST_F(Oprc, SharedSecretTag) {
    const std::string secret = "correct horse";
    oprc_set_shared_secret(secret.c_str());
    const std::string z = zlib_compress(PING);
    EXPECT_EQ(decode(tagged(secret, z)), OPRC_OK);
    EXPECT_EQ(oprc_command(), 17);
    EXPECT_EQ(decode(tagged(secret, R"({"Command":1})")), OPRC_OK);  // plain text under a tag
    EXPECT_EQ(oprc_command(), 1);

    EXPECT_EQ(decode(z), OPRC_ERR_UNAUTHENTICATED);
    EXPECT_EQ(decode(std::string(31, 'x')), OPRC_ERR_UNAUTHENTICATED);
    EXPECT_EQ(last_error(), "ERR_UNAUTHENTICATED");
    EXPECT_EQ(decode(tagged("wrong", z)), OPRC_ERR_UNAUTHENTICATED);
    std::string bad = tagged(secret, z);
    bad[31] ^= 1;
    EXPECT_EQ(decode(bad), OPRC_ERR_UNAUTHENTICATED);
    bad = tagged(secret, z);
    bad.back() ^= 1;
    EXPECT_EQ(decode(bad), OPRC_ERR_UNAUTHENTICATED);
    EXPECT_EQ(oprc_command(), 1);  // the earlier message answers still
    EXPECT_EQ(decode(hmac(secret, "")), OPRC_ERR_JSON);  // a valid tag over nothing

    // A tag that happens to start with 2 sends the datagram down the secure path.
    for (int i = 0;; i++) {
        const std::string payload = R"({"Command":1,"n":)" + std::to_string(i) + "}";
        const std::string d = tagged(secret, payload);
        if (d[0] != 2) continue;
        EXPECT_EQ(decode(d), OPRC_ERR_PROTOCOL);
        break;
    }

    // The secret is the text's raw bytes, at most 256 of them.
    const std::string long_secret(300, 's');
    oprc_set_shared_secret(long_secret.c_str());
    EXPECT_EQ(decode(tagged(long_secret.substr(0, 256), z)), OPRC_OK);
    EXPECT_EQ(decode(tagged(long_secret, z)), OPRC_ERR_UNAUTHENTICATED);
    oprc_set_shared_secret("");
    EXPECT_EQ(decode(z), OPRC_OK);
    oprc_set_shared_secret("k");
    oprc_set_shared_secret(nullptr);
    EXPECT_EQ(decode(z), OPRC_OK);
}

TEST_F(Oprc, ResultCopyIsTheCompactMessage) {
    EXPECT_STREQ(oprc_result_json(), "");
    ASSERT_EQ(decode("{ \"Command\" : 1 , \"a\" : [ 1.0, 1E21, -0.0, 3.0, 12, \"\\u0001\\/\\u00e9\" ], \"b\" : {} }"),
              OPRC_OK);
    EXPECT_EQ(std::string(oprc_result_json()),
              "{\"Command\":1,\"a\":[1.0,1e21,-0.0,3.0,12,\"\\u0001/\xC3\xA9\"],\"b\":{}}");
    EXPECT_EQ(oprc_negotiated_level(), 0);
    // A refused decode leaves the copy of the last good one.
    EXPECT_EQ(decode("{"), OPRC_ERR_JSON);
    EXPECT_EQ(oprc_command(), -1);
    EXPECT_EQ(std::string(oprc_result_json()).substr(0, 12), "{\"Command\":1");
}

TEST_F(Oprc, DeepMessagesDecode) {
    const int depth = 30000;
    const std::string json = R"({"Command":1,"x":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    ASSERT_EQ(decode(json), OPRC_OK);
    EXPECT_EQ(std::string(oprc_result_json()), json);
}

TEST_F(Oprc, OutOfMemoryAtEachAllocation) {
    const std::string plain = R"({"Command":1,"Uri":"u"})";
    for (const std::string &datagram : {plain, zlib_compress(plain)}) {
        int failures = 0;
        for (long n = 1;; n++) {
            ASSERT_EQ(decode(PING), OPRC_OK);
            xalloc_fail_at(n);
            const int rc = decode(datagram);
            const long calls = xalloc_calls();
            xalloc_fail_at(0);
            if (calls < n) {
                EXPECT_EQ(rc, OPRC_OK);
                break;
            }
            failures++;
            // The result copy is best effort; every other allocation failure is reported.
            if (rc == OPRC_OK) continue;
            EXPECT_EQ(rc, OPRC_ERR_OOM) << "allocation " << n;
            EXPECT_EQ(last_error(), "ERR_OOM");
        }
        EXPECT_GE(failures, 2);
        EXPECT_STREQ(oprc_uri(), "u");
    }
}
