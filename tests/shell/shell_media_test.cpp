// The platform-free pieces of playback and start-up: cue texts, frame
// conversion, pacing, the play target's text and paths, page history and cues.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/cue_text.h"
#include "core/frame_convert.h"
#include "core/paths.h"
#include "core/shell_model.h"

using namespace shell;

namespace {

std::string cue(const char *text, const std::string &payload, const char *codec, size_t out_size = 512) {
    std::vector<char> out(out_size + 1, 'X');
    size_t length = extract_cue_text(text, reinterpret_cast<const uint8_t *>(payload.data()), payload.size(), codec,
                                     out.data(), out_size);
    EXPECT_EQ(length, std::strlen(out.data()));
    return out.data();
}

}  // namespace

TEST(CueText, EachCodecsRule) {
    using namespace std::string_literals;
    struct Case {
        const char *text;
        std::string payload;
        const char *codec;
        std::string expected;
    } cases[] = {
        {nullptr, "\0\5Hello\0\5World"s, "mov_text", "Hello World"},
        {nullptr, "\0\5Hello\0\5World"s, "text", "Hello World"},
        {nullptr, "\0\1."s, "mov_text", ""},
        {nullptr, "\0\1.\0\1."s, "mov_text", ". ."},
        {nullptr, "\0\0\0\5Hello"s, "mov_text", ""},          // a zero length ends the records
        {nullptr, "\0\5Hel"s, "mov_text", ""},                // a record past the end is not read
        {nullptr, "\0\2Hi\0\x09cut"s, "mov_text", "Hi"},        // nor is a later one
        {nullptr, "\0\2Hi\0"s, "mov_text", "Hi"},             // a single byte after a record
        {nullptr, "\xEF\xBB\xBFHi\r\n"s, nullptr, "Hi"},
        {nullptr, "\xEF\xBB\xBFHi\r\n"s, "subrip", "Hi"},
        {nullptr, "Line one\nLine two\n\0\0"s, "ass", "Line one\nLine two"},
        {nullptr, "1,0,Sign,,0,0,0,,{\\pos(160,90)}Positioned sign"s, "ass", "Positioned sign"},
        {nullptr, "0,0,Default,,0,0,0,,One, two\\Nthree\\hfour{\\i1}!{\\i0}"s, "ssa", "One, two\nthree four!"},
        {nullptr, "0,0,Default,,0,0,0,,{unclosed"s, "ass", ""},
        {nullptr, "0,0,Default,,0,0,0,,ends in \\"s, "ass", "ends in \\"},
        {nullptr, "1,0,Sign,,0,0,0,,Text"s, "subrip", "1,0,Sign,,0,0,0,,Text"},
        {nullptr, "\xEF\xBB"s, nullptr, "\xEF\xBB"},          // too short to be a byte-order mark
        {"decoded", "\0\5Hello"s, "mov_text", "decoded"},
        {"", "raw"s, "subrip", "raw"},
        {nullptr, ""s, "mov_text", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.codec ? c.codec : "(none)");
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(cue(c.text, c.payload, c.codec), c.expected);
    }
}

TEST(CueText, CutsToTheBuffer) {
    EXPECT_EQ(cue("decoded text", "", nullptr, 5), "deco");
    EXPECT_EQ(cue(nullptr, std::string("\0\5Hello\0\5World", 14), "mov_text", 8), "Hello W");
    EXPECT_EQ(cue(nullptr, std::string("\0\5Hello\0\5World", 14), "mov_text", 6), "Hello");
    EXPECT_EQ(cue(nullptr, std::string("\0\5Hello", 7), "mov_text", 1), "");
    EXPECT_EQ(cue(nullptr, "abcdef\n", "subrip", 4), "abc");
    EXPECT_EQ(extract_cue_text("text", nullptr, 0, nullptr, nullptr, 10), 0u);
    char out[4] = "abc";
    EXPECT_EQ(extract_cue_text("text", nullptr, 0, nullptr, out, 0), 0u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(extract_cue_text(nullptr, nullptr, 5, "mov_text", out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

namespace {

// The conversion formula pixel by pixel, as the reference for every format.
std::array<uint8_t, 4> reference_pixel(int y, int u, int v) {
    auto clamp = [](int value) { return uint8_t(std::clamp(value, 0, 255)); };
    int c = y < 16 ? 0 : 298 * (y - 16);
    return {clamp((c + 541 * (u - 128) + 128) >> 8), clamp((c - 55 * (u - 128) - 136 * (v - 128) + 128) >> 8),
            clamp((c + 459 * (v - 128) + 128) >> 8), 255};
}

// A frame of random samples in one of the formats, with strides wider than its rows.
struct TestFrame {
    int32_t format, width, height;
    std::vector<uint8_t> planes[3];
    int32_t strides[3] = {};

    TestFrame(int32_t format_, int32_t width_, int32_t height_, uint32_t seed)
        : format(format_), width(width_), height(height_) {
        std::mt19937 random(seed);
        bool wide = format == PIX_YUV420P10LE || format == PIX_P010LE;
        int bytes = wide ? 2 : 1;
        int chroma_w = format == PIX_YUV444P ? width : (width + 1) / 2;
        int chroma_h = format == PIX_YUV444P ? height : (height + 1) / 2;
        int count = format == PIX_BGRA ? 1 : (format == PIX_NV12 || format == PIX_P010LE) ? 2 : 3;
        for (int p = 0; p < count; p++) {
            int row = p == 0 ? (format == PIX_BGRA ? width * 4 : width * bytes)
                      : count == 2 ? chroma_w * 2 * bytes
                                   : chroma_w * bytes;
            strides[p] = row + 24;
            planes[p].resize(size_t(strides[p]) * (p == 0 ? height : chroma_h));
            for (auto &b : planes[p]) b = uint8_t(random());
        }
    }
    FrameView view() const {
        return {{planes[0].empty() ? nullptr : planes[0].data(), planes[1].empty() ? nullptr : planes[1].data(),
                 planes[2].empty() ? nullptr : planes[2].data()},
                {strides[0], strides[1], strides[2]},
                width,
                height,
                format};
    }
    int sample(int plane, int x, int y) const {
        const uint8_t *row = planes[plane].data() + size_t(y) * strides[plane];
        if (format == PIX_YUV420P10LE) return ((row[2 * x] | row[2 * x + 1] << 8) & 0x3FF) >> 2;
        if (format == PIX_P010LE) return row[2 * x + 1];
        return row[x];
    }
    std::array<uint8_t, 4> expected(int x, int y) const {
        if (format == PIX_BGRA) {
            const uint8_t *p = planes[0].data() + size_t(y) * strides[0] + size_t(x) * 4;
            return {p[0], p[1], p[2], p[3]};
        }
        if (format == PIX_YUV444P) return reference_pixel(sample(0, x, y), sample(1, x, y), sample(2, x, y));
        if (format == PIX_NV12 || format == PIX_P010LE)
            return reference_pixel(sample(0, x, y), sample(1, x / 2 * 2, y / 2), sample(1, x / 2 * 2 + 1, y / 2));
        return reference_pixel(sample(0, x, y), sample(1, x / 2, y / 2), sample(2, x / 2, y / 2));
    }
};

}  // namespace

TEST(FrameConversion, EveryFormatFollowsTheFormula) {
    // Widths around the 8-pixel steps and the 512-pixel chunks of the 16-bit formats.
    for (int32_t format : {PIX_YUV420P, PIX_NV12, PIX_YUV444P, PIX_BGRA, PIX_YUV420P10LE, PIX_P010LE}) {
        for (auto [width, height] : {std::pair{1, 1}, {2, 2}, {7, 3}, {8, 2}, {17, 5}, {64, 4}, {515, 3}, {1031, 2}}) {
            SCOPED_TRACE("format " + std::to_string(format) + " " + std::to_string(width) + "x" +
                         std::to_string(height));
            TestFrame frame(format, width, height, uint32_t(format * 1000 + width));
            FrameView view = frame.view();
            std::vector<uint8_t> out(bgra_size(width, height), 0);
            ASSERT_EQ(convert_frame_to_bgra(&view, out.data(), out.size()), 0);
            int wrong = 0;
            for (int y = 0; y < height; y++)
                for (int x = 0; x < width; x++) {
                    auto want = frame.expected(x, y);
                    if (std::memcmp(&out[(size_t(y) * width + x) * 4], want.data(), 4) != 0 && wrong++ < 3)
                        ADD_FAILURE() << "pixel " << x << "," << y;
                }
        }
    }
}

TEST(FrameConversion, EverySampleValueOfTheFastPath) {
    // All 256 x 256 chroma pairs at four luma values, through the 8-pixel NV12 rows.
    const int width = 512, height = 2;
    for (int luma : {0, 16, 128, 235}) {
        std::vector<uint8_t> y(size_t(width) * height, uint8_t(luma));
        std::vector<uint8_t> uv(static_cast<size_t>(width));
        std::vector<uint8_t> out(bgra_size(width, height));
        for (int u = 0; u < 256; u++) {
            for (int v = 0; v < 256; v++) {
                uv[size_t(v) * 2] = uint8_t(u);
                uv[size_t(v) * 2 + 1] = uint8_t(v);
            }
            FrameView view{{y.data(), uv.data(), nullptr}, {width, width, 0}, width, height, PIX_NV12};
            ASSERT_EQ(convert_frame_to_bgra(&view, out.data(), out.size()), 0);
            for (int v = 0; v < 256; v++) {
                auto want = reference_pixel(luma, u, v);
                ASSERT_EQ(std::memcmp(&out[size_t(v) * 8], want.data(), 4), 0) << luma << " " << u << " " << v;
                ASSERT_EQ(std::memcmp(&out[size_t(v) * 8 + 4], want.data(), 4), 0) << luma << " " << u << " " << v;
            }
        }
    }
}

TEST(FrameConversion, BlackWhiteAndRepacking) {
    uint8_t y[4] = {16, 16, 16, 16}, uv[2] = {128, 128}, out[16];
    FrameView view{{y, uv, nullptr}, {2, 2, 0}, 2, 2, PIX_NV12};
    ASSERT_EQ(convert_frame_to_bgra(&view, out, sizeof out), 0);
    for (int i = 0; i < 4; i++) EXPECT_EQ(std::vector<uint8_t>(out + i * 4, out + i * 4 + 4), (std::vector<uint8_t>{0, 0, 0, 255}));
    std::memset(y, 235, sizeof y);
    ASSERT_EQ(convert_frame_to_bgra(&view, out, sizeof out), 0);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(std::vector<uint8_t>(out + i * 4, out + i * 4 + 4), (std::vector<uint8_t>{255, 255, 255, 255}));

    // A BGRA frame with 12 bytes of padding per row comes out packed.
    uint8_t bgra[2 * 20];
    for (int i = 0; i < 40; i++) bgra[i] = uint8_t(i);
    FrameView packed{{bgra, nullptr, nullptr}, {20, 0, 0}, 2, 2, PIX_BGRA};
    ASSERT_EQ(convert_frame_to_bgra(&packed, out, sizeof out), 0);
    for (int i = 0; i < 8; i++) EXPECT_EQ(out[i], i);
    for (int i = 0; i < 8; i++) EXPECT_EQ(out[8 + i], 20 + i);
}

TEST(FrameConversion, RefusesWhatItCannotConvert) {
    uint8_t plane[64] = {}, out[64];
    FrameView view{{plane, plane, plane}, {4, 4, 4}, 2, 2, PIX_YUV420P};
    struct Case {
        const char *what;
        FrameView view;
        size_t out_size;
        int expected;
    } cases[] = {
        {"unsupported format", {{plane, plane, plane}, {4, 4, 4}, 2, 2, 1}, 64, 1},
        {"missing chroma plane", {{plane, nullptr, plane}, {4, 4, 4}, 2, 2, PIX_YUV420P}, 64, 1},
        {"missing NV12 chroma", {{plane, nullptr, nullptr}, {4, 4, 0}, 2, 2, PIX_NV12}, 64, 1},
        {"stride shorter than a row", {{plane, plane, plane}, {1, 4, 4}, 2, 2, PIX_YUV420P}, 64, 1},
        {"wider than 8192", {{plane, plane, plane}, {4, 4, 4}, 8193, 1, PIX_YUV420P}, 64, 1},
        {"zero width", {{plane, plane, plane}, {4, 4, 4}, 0, 2, PIX_YUV420P}, 64, -1},
        {"negative height", {{plane, plane, plane}, {4, 4, 4}, 2, -2, PIX_YUV420P}, 64, -1},
        {"output too small", view, 15, -1},
    };
    for (const Case &c : cases) EXPECT_EQ(convert_frame_to_bgra(&c.view, out, c.out_size), c.expected) << c.what;
    EXPECT_EQ(convert_frame_to_bgra(nullptr, out, sizeof out), -1);
    EXPECT_EQ(convert_frame_to_bgra(&view, nullptr, sizeof out), -1);
}

TEST(FrameConversion, SizesWithoutOverflow) {
    EXPECT_EQ(bgra_size(1920, 1080), 1920u * 1080 * 4);
    EXPECT_EQ(bgra_size(8192, 8192), 8192u * 8192 * 4);
    EXPECT_EQ(bgra_size(8193, 2), 0u);
    EXPECT_EQ(bgra_size(2, 0x7FFFFFFF), 0u);
    EXPECT_EQ(bgra_size(0, 5), 0u);
    EXPECT_EQ(bgra_size(5, -1), 0u);
}

TEST(FramePacing, WaitsTheFramesDurationWithinLimits) {
    EXPECT_EQ(frame_wait_microseconds(0), 33'333);
    EXPECT_EQ(frame_wait_microseconds(-7), 33'333);
    EXPECT_EQ(frame_wait_microseconds(1'000'000), 40'000);
    EXPECT_EQ(frame_wait_microseconds(400'000), 40'000);
    EXPECT_EQ(frame_wait_microseconds(5), 0);
    EXPECT_EQ(frame_wait_microseconds(400'009), 40'000);
}

TEST(PlayTargetText, EncodingsAndTheFirstLine) {
    using namespace std::string_literals;
    struct Case {
        std::string bytes, expected;
    } cases[] = {
        {"/media/a.mkv\r\nrest", "/media/a.mkv"},
        {"\xEF\xBB\xBF/media/\xC3\xA9.mkv\n", "/media/\xC3\xA9.mkv"},
        {"\xFF\xFE/\0a\0\xE9\0\r\0\n\0"s, "/a\xC3\xA9"},
        {"\xFE\xFF\0/\0b\0\n"s, "/b"},
        {"\xFF\xFE\x3D\xD8\x00\xDE"s, "\xF0\x9F\x98\x80"},  // a surrogate pair
        {"\n/after/a/break", ""},
        {"", ""},
        {"no line end", "no line end"},
    };
    for (const Case &c : cases) EXPECT_EQ(first_line(decode_text_file(c.bytes)), c.expected) << c.bytes;
}

TEST(Paths, OpenTargetsIconsAndNames) {
    EXPECT_EQ(resolve_in("/opt/app", "corpus/a.mkv"), "/opt/app/corpus/a.mkv");
    EXPECT_EQ(resolve_in("/opt/app", "/media/a.mkv"), "/media/a.mkv");
    EXPECT_EQ(icon_file("/opt/app", "/icons/video.png"), std::optional<std::string>("/opt/app/assets/icons/video.png"));
    for (const char *refused : {"icons/video.png", "", "/../secret.png", "/icons/../../x.png", "/icons/.."})
        EXPECT_EQ(icon_file("/opt/app", refused), std::nullopt) << refused;
    EXPECT_EQ(icon_file("/opt/app", "/icons/..video.png"), std::optional<std::string>("/opt/app/assets/icons/..video.png"));
    EXPECT_EQ(file_name_of("/a/b/c.mkv"), "c.mkv");
    EXPECT_EQ(file_name_of("c.mkv"), "c.mkv");
}

TEST(PageHistory, PushPopAndTheSixteenEntryLimit) {
    auto model = std::make_unique<ShellModel>();
    model_init(model.get(), 0, 0);
    EXPECT_EQ(history_push(nullptr, "a", "", ""), -1);
    for (int i = 0; i < 18; i++)
        EXPECT_EQ(history_push(model.get(), ("page" + std::to_string(i)).c_str(), "data", "path"), 0);
    EXPECT_EQ(model->history_depth, 16);
    EXPECT_STREQ(model->history[0].template_name, "page2");  // the two oldest were dropped
    PageHistoryEntry entry{};
    ASSERT_EQ(history_pop(model.get(), &entry), 1);
    EXPECT_STREQ(entry.template_name, "page17");
    EXPECT_STREQ(entry.data, "data");
    EXPECT_STREQ(entry.focus_path, "path");
    std::string long_path(400, 'p');
    history_push(model.get(), "t", nullptr, long_path.c_str());
    ASSERT_EQ(history_pop(model.get(), &entry), 1);
    EXPECT_EQ(std::string(entry.focus_path), long_path.substr(0, 255));
    EXPECT_STREQ(entry.data, "");
}

TEST(CueStore, PruningKeepsTheCuesStillToCome) {
    auto model = std::make_unique<ShellModel>();
    model_init(model.get(), 0, 0);
    for (int i = 0; i < 64; i++) cue_add(model.get(), int64_t(i) * 10, 10, ("cue" + std::to_string(i)).c_str());
    cue_prune_ended(model.get(), 305);  // cues 0..29 have ended, 30 is showing
    EXPECT_EQ(model->cue_count, 34);
    EXPECT_STREQ(model->cues[0].text, "cue30");
    EXPECT_STREQ(cue_find(model.get(), 305), "cue30");
    EXPECT_STREQ(cue_find(model.get(), 639), "cue63");
    cue_prune_ended(nullptr, 0);
}
