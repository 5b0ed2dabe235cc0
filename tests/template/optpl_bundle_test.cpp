#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "optpl_test_util.h"

using Bundle_ = Optpl;

static const char SMALL[] = R"({"a.json":"{\"Key\":\"A\"}","strings.json":"{}","readme.txt":"hello"})";

TEST_F(Bundle_, ListsEntriesAndTemplates) {
    ASSERT_EQ(load(SMALL), 0);
    EXPECT_EQ(entry_names(), (std::vector<std::string>{"a.json", "strings.json", "readme.txt"}));
    EXPECT_EQ(optpl_template_count(), 2);
    EXPECT_STREQ(optpl_template_name(0), "a.json");
    EXPECT_STREQ(optpl_template_name(1), "strings.json");
    EXPECT_EQ(optpl_template_name(2), nullptr);
    EXPECT_EQ(optpl_template_name(-1), nullptr);
    EXPECT_EQ(optpl_entry_name(3), nullptr);
    EXPECT_EQ(optpl_entry_name(-1), nullptr);
    EXPECT_STREQ(optpl_entry_text("a.json"), R"({"Key":"A"})");
    EXPECT_STREQ(optpl_entry_text("readme.txt"), "hello");
    EXPECT_EQ(optpl_entry_text("A.json"), nullptr);
    EXPECT_EQ(optpl_entry_text(nullptr), nullptr);
    EXPECT_EQ(optpl_has_template("readme.txt"), 1);
    EXPECT_EQ(optpl_has_template("README.txt"), 0);
    EXPECT_EQ(optpl_has_template(nullptr), 0);
}

TEST_F(Bundle_, TemplateSuffixIsExactAndAtLeastFiveBytes) {
    ASSERT_EQ(load(R"({".json":"","x.JSON":"","x.json.bak":"","y.json":""})"), 0);
    EXPECT_EQ(optpl_template_count(), 2);
    EXPECT_STREQ(optpl_template_name(0), ".json");
    EXPECT_STREQ(optpl_template_name(1), "y.json");
}

TEST_F(Bundle_, DuplicateNameKeepsFirstPositionAndLastText) {
    ASSERT_EQ(load(R"({"a.json":"1","b.json":"2","a.json":"3"})"), 0);
    EXPECT_EQ(entry_names(), (std::vector<std::string>{"a.json", "b.json"}));
    EXPECT_STREQ(optpl_entry_text("a.json"), "3");
}

TEST_F(Bundle_, TextKeepsEveryByte) {
    ASSERT_EQ(load("\xEF\xBB\xBF{\"a.json\":\"x\\u0000y\\n\xFF\",}"), 0);  // BOM, NUL, invalid UTF-8, trailing comma
    ASSERT_EQ(g_lib.bundle.count, 1);
    EXPECT_EQ(std::string(g_lib.bundle.entries[0].text, g_lib.bundle.entries[0].text_len), std::string("x\0y\n\xFF", 5));
}

struct Refusal {
    std::string bytes;
    int code;
    std::string error;
};

TEST_F(Bundle_, RefusalsLeaveTheLoadedBundle) {
    const Refusal cases[] = {
        {"", -1, "empty buffer"},
        {"x", 1, "bundle is not valid JSON (byte 0: "},
        {"\x78", 1, "bundle is not valid JSON (byte 0: "},  // one byte is never zlib
        {"{", 1, "bundle is not valid JSON (byte 1: "},
        {"{\"a.json\":\"1\"} x", 1, "bundle is not valid JSON (byte 15: "},
        {"{/*c*/}", 1, "bundle is not valid JSON (byte 1: "},
        {"[]", 1, "bundle root is not a JSON object"},
        {"\"text\"", 1, "bundle root is not a JSON object"},
        {R"({"home.json":{"Settings":[]}})", 1,
         "not a bundle: value of \"home.json\" is not a string (is this a single template? use optpl_add_template)"},
        {R"({"ok.json":"","n.json":5})", 1, "not a bundle: value of \"n.json\" is not a string"},
        {"{\"" + std::string(70, 'n') + "\":null}", 1, "not a bundle: value of \"" + std::string(60, 'n') + "\" is"},
    };
    ASSERT_EQ(load(SMALL), 0);
    for (const Refusal &r : cases) {
        SCOPED_TRACE(r.bytes);
        EXPECT_EQ(load(r.bytes), r.code);
        EXPECT_EQ(last_error().rfind(r.error, 0), 0u) << last_error();
        EXPECT_EQ(entry_names(), (std::vector<std::string>{"a.json", "strings.json", "readme.txt"}));
    }
    EXPECT_EQ(optpl_load_bundle_bytes(nullptr, 5), -1);
    EXPECT_EQ(last_error(), "empty buffer");
}

TEST_F(Bundle_, ZlibBundles) {
    std::string z = zlib_compress(SMALL);
    ASSERT_EQ((unsigned char)z[0], 0x78);
    ASSERT_EQ(load(z + "trailing bytes are ignored"), 0);
    EXPECT_EQ(optpl_entry_count(), 3);

    const std::string corrupt[] = {
        z.substr(0, z.size() - 1) + char(z.back() ^ 1),  // Adler-32 mismatch
        z.substr(0, z.size() / 2),                      // truncated
        z.substr(0, 2),                                 // header only
        std::string("\x78\x9c\xff\xff\xff", 5),         // invalid block type
    };
    ASSERT_EQ(load(R"({"old.json":""})"), 0);
    for (const std::string &bytes : corrupt) {
        EXPECT_EQ(load(bytes), 1);
        EXPECT_EQ(last_error(), "zlib inflate failed (corrupt or truncated stream)");
        EXPECT_EQ(entry_names(), std::vector<std::string>{"old.json"});
    }
}

TEST_F(Bundle_, ZlibOutputGrowsBeyondTheFirstBuffer) {
    // A highly compressible bundle: the first buffer (64 KiB) must double many times.
    std::string big = R"({"big.json":")" + std::string(3000000, ' ') + R"("})";
    ASSERT_EQ(load(zlib_compress(big)), 0);
    EXPECT_EQ(strlen(optpl_entry_text("big.json")), 3000000u);
}

// DEFLATE tops out near 1032:1, so only an input of at least 128,993 bytes
// can reach the 128 MiB cap: 140,000,000 spaces compress to about 136 KB.
TEST_F(Bundle_, ZlibBombIsRefusedAtTheCap) {
    std::string z;
    {
        z_stream zs{};
        ASSERT_EQ(deflateInit(&zs, 9), Z_OK);
        std::string chunk(1 << 20, ' ');
        std::string out(1 << 16, '\0');
        size_t left = 140000000;
        int flush = Z_NO_FLUSH;
        do {
            size_t n = left < chunk.size() ? left : chunk.size();
            left -= n;
            flush = left ? Z_NO_FLUSH : Z_FINISH;
            zs.next_in = reinterpret_cast<Bytef *>(chunk.data());
            zs.avail_in = uInt(n);
            do {
                zs.next_out = reinterpret_cast<Bytef *>(out.data());
                zs.avail_out = uInt(out.size());
                deflate(&zs, flush);
                z.append(out.data(), out.size() - zs.avail_out);
            } while (zs.avail_out == 0);
        } while (flush != Z_FINISH);
        deflateEnd(&zs);
    }
    ASSERT_GE(z.size(), 128993u);
    ASSERT_EQ(load(SMALL), 0);
    EXPECT_EQ(load(z), 1);
    EXPECT_EQ(last_error(),
              "inflated bundle exceeds the DEFLATE ratio or 134217728-byte cap (zlib bomb or truncated stream)");
    EXPECT_EQ(optpl_entry_count(), 3);
}

TEST_F(Bundle_, AddTemplate) {
    EXPECT_EQ(optpl_add_template(nullptr, "{}"), -1);
    EXPECT_EQ(last_error(), "name and json are required");
    EXPECT_EQ(optpl_add_template("", "{}"), -1);
    EXPECT_EQ(optpl_add_template("a.json", nullptr), -1);

    ASSERT_EQ(load(SMALL), 0);
    EXPECT_EQ(optpl_add_template("new.json", "{\"Key\":1}"), 0);
    EXPECT_EQ(optpl_add_template("a.json", "replaced"), 0);
    EXPECT_EQ(entry_names(), (std::vector<std::string>{"a.json", "strings.json", "readme.txt", "new.json"}));
    EXPECT_STREQ(optpl_entry_text("a.json"), "replaced");
    EXPECT_EQ(optpl_template_count(), 3);
}

TEST_F(Bundle_, ManyEntriesGrowTheStore) {
    std::string bundle = "{";
    for (int i = 0; i < 5000; i++) bundle += (i ? ",\"" : "\"") + std::to_string(i) + ".json\":\"" + std::to_string(i) + "\"";
    bundle += ",\"17.json\":\"again\"}";
    ASSERT_EQ(load(bundle), 0);
    ASSERT_EQ(optpl_entry_count(), 5000);
    EXPECT_STREQ(optpl_entry_name(4999), "4999.json");
    EXPECT_STREQ(optpl_entry_text("17.json"), "again");
    EXPECT_STREQ(optpl_entry_text("4321.json"), "4321");
}

class BundleFile : public Optpl {
protected:
    std::string dir;
    void SetUp() override {
        Optpl::SetUp();
        char tmpl[] = "/tmp/optpl_bundle_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        Optpl::TearDown();
    }
    std::string write(const std::string &name, const std::string &bytes) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
};

TEST_F(BundleFile, LoadsPlainAndZlibFiles) {
    EXPECT_EQ(optpl_load_bundle_file(write("plain.txt", SMALL).c_str()), 0);
    EXPECT_EQ(optpl_entry_count(), 3);
    EXPECT_EQ(optpl_load_bundle_file(write("z.txt", zlib_compress(R"({"z.json":""})")).c_str()), 0);
    EXPECT_EQ(entry_names(), std::vector<std::string>{"z.json"});
}

TEST_F(BundleFile, Refusals) {
    ASSERT_EQ(load(SMALL), 0);
    EXPECT_EQ(optpl_load_bundle_file(nullptr), -1);
    EXPECT_EQ(last_error(), "path is NULL");
    std::string missing = dir + "/missing.txt";
    EXPECT_EQ(optpl_load_bundle_file(missing.c_str()), 1);
    EXPECT_EQ(last_error(), "cannot open " + missing);
    EXPECT_EQ(optpl_load_bundle_file(dir.c_str()), 1);
    EXPECT_EQ(last_error(), "cannot open " + dir);
    EXPECT_EQ(optpl_load_bundle_file(write("empty.txt", "").c_str()), -1);
    EXPECT_EQ(last_error(), "empty buffer");
    EXPECT_EQ(optpl_entry_count(), 3);
}

TEST_F(BundleFile, SizeLimitIsBelow512MiB) {
    std::string path = write("huge.txt", "");
    ASSERT_EQ(truncate(path.c_str(), 536870912), 0);  // sparse: costs no disk
    ASSERT_EQ(load(SMALL), 0);
    EXPECT_EQ(optpl_load_bundle_file(path.c_str()), 1);
    EXPECT_EQ(last_error(), "file too large");
    EXPECT_EQ(optpl_entry_count(), 3);

    ASSERT_EQ(truncate(path.c_str(), 536870911), 0);  // one byte less is read (and is no JSON)
    EXPECT_EQ(optpl_load_bundle_file(path.c_str()), 1);
    EXPECT_EQ(last_error().rfind("bundle is not valid JSON", 0), 0u);
}
