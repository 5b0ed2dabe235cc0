// Tools: frame grabs decoded back by FFmpeg, the PNG writer's blocks,
// framemd5 against FFmpeg's muxer, remuxing, and filter graphs.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "oppb_test_util.h"

static constexpr int64_t SECOND = OPPB_TICKS_PER_SECOND;

// Each test runs in a process of its own, and tests run side by side: names carry the process id.
static std::string temp_path(const std::string &name) {
    return (std::filesystem::temp_directory_path() / (std::to_string(getpid()) + "_" + name)).string();
}

// The picture FFmpeg's own decoders read from an image file, as BGRA rows.
static std::string decoded_bgra(const std::string &path) {
    return run(std::string(FFMPEG) + " -v error -i '" + path + "' -f rawvideo -pix_fmt bgra - | od -An -v -tx1");
}

static std::string hex_rows(const uint8_t *pixels, int w, int h, int stride) {
    std::string bytes;
    for (int y = 0; y < h; y++) bytes.append(reinterpret_cast<const char *>(pixels) + size_t(y) * size_t(stride), size_t(w) * 4);
    const std::string path = temp_path("oppb_rows.bin");
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    std::string out = run("od -An -v -tx1 '" + path + "'");
    std::remove(path.c_str());
    return out;
}

TEST(Tools, GrabsAreTheDecodersPictureAndDecodeBack) {
    Handle e = open_media("h264_odd_318x178.mp4");
    ASSERT_TRUE(e);
    int32_t w = 0, h = 0, stride = 0;
    uint8_t *pixels = nullptr;
    ASSERT_EQ(oppb_grab_frame(e.get(), SECOND, 1, &w, &h, &stride, &pixels), OPPB_OK);
    EXPECT_EQ(w, 318);  // not the padded delivery size
    EXPECT_EQ(h, 178);
    EXPECT_GE(stride, w * 4);
    const std::string expected = hex_rows(pixels, w, h, stride);
    free(pixels);
    for (const char *name : {"oppb_grab.png", "oppb_grab.bmp", "oppb_grab.BMP", "oppb_grab.Bmp"}) {
        SCOPED_TRACE(name);
        const std::string path = temp_path(name);
        ASSERT_EQ(oppb_grab_frame_to_file(e.get(), SECOND, 1, path.c_str()), OPPB_OK);
        const std::string bytes = read_file(path);
        const bool bmp = std::string(name).find(".bmp") != std::string::npos || std::string(name).find(".BMP") != std::string::npos;
        EXPECT_EQ(bytes.substr(0, 2), bmp ? "BM" : "\x89P");
        EXPECT_EQ(decoded_bgra(path), expected);
        std::remove(path.c_str());
    }
    // Beyond the end: no frame, no file.
    const std::string none = temp_path("oppb_none.png");
    std::remove(none.c_str());
    EXPECT_EQ(oppb_grab_frame_to_file(e.get(), 60 * SECOND, 0, none.c_str()), OPPB_END);
    EXPECT_FALSE(std::filesystem::exists(none));
    // Playback goes on from the grab in the delivery format.
    oppb_sample s;
    ASSERT_EQ(oppb_grab_frame(e.get(), SECOND / 2, 0, &w, &h, &stride, &pixels), OPPB_OK);
    free(pixels);
    ASSERT_EQ(oppb_next_sample(e.get(), oppb_stream_selected(e.get(), "video"), &s), OPPB_OK);
    EXPECT_EQ(s.width, 320);
    EXPECT_EQ(oppb_grab_frame(e.get(), 0, 0, nullptr, &h, &stride, &pixels), OPPB_ERR_ARG);
    Handle audio = open_media("aac_only.m4a");
    EXPECT_EQ(oppb_grab_frame(audio.get(), 0, 0, &w, &h, &stride, &pixels), OPPB_ERR_STATE);
    EXPECT_STREQ(oppb_last_error(audio.get()), "no video stream");
}

// Stored deflate blocks of at most 65,535 bytes; a 1x1 image is the smallest.
TEST(Tools, PngStoresItsRowsInBlocks) {
    struct Case {
        int w, h;
        std::vector<int> blocks;
    };
    for (const Case &c : {Case{1, 1, {5}}, Case{128, 128, {65535, 129}}, Case{3, 0, {}}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        std::vector<uint8_t> bgra(size_t(c.w) * 4 * size_t(c.h));
        for (size_t i = 0; i < bgra.size(); i++) bgra[i] = uint8_t(i * 7 + 3);
        const std::string path = temp_path("oppb_blocks.png");
        ASSERT_EQ(image_write(path.c_str(), bgra.data(), c.w, c.h, c.w * 4), OPPB_OK);
        const std::string png = read_file(path);
        const size_t idat = png.find("IDAT");
        ASSERT_NE(idat, std::string::npos);
        size_t at = idat + 4 + 2;  // past the zlib header
        EXPECT_EQ(png.substr(idat + 4, 2), "\x78\x01");
        for (size_t b = 0; b < c.blocks.size(); b++) {
            const auto *p = reinterpret_cast<const uint8_t *>(png.data() + at);
            EXPECT_EQ(p[0], b + 1 == c.blocks.size() ? 1 : 0);
            const int len = p[1] | p[2] << 8, nlen = p[3] | p[4] << 8;
            EXPECT_EQ(len, c.blocks[b]);
            EXPECT_EQ(nlen, ~len & 0xFFFF);
            at += 5 + size_t(len);
        }
        if (c.w == 1) {
            const auto *p = reinterpret_cast<const uint8_t *>(png.data() + idat + 4 + 2 + 5);
            EXPECT_EQ(p[0], 0);  // filter byte, then R, G, B, A
            EXPECT_EQ(p[1], bgra[2]);
            EXPECT_EQ(p[3], bgra[0]);
        }
        if (c.h) {
            EXPECT_EQ(decoded_bgra(path), hex_rows(bgra.data(), c.w, c.h, c.w * 4));
        }
        std::remove(path.c_str());
    }
    EXPECT_EQ(image_write("/nonexistent/x.png", nullptr, 0, 0, 0), OPPB_ERR_NOT_FOUND);
}

static void collect(void *user, const char *text, size_t n) { static_cast<std::string *>(user)->append(text, n); }

// The size and hash columns of framemd5 lines.
static std::vector<std::string> sums(const std::string &text) {
    std::vector<std::string> out;
    for (const std::string &line : lines(text)) {
        if (line.empty() || line[0] == '#') continue;
        out.push_back(line.substr(line.rfind(',', line.rfind(',') - 1)));
    }
    return out;
}

TEST(Tools, FrameChecksumsMatchFfmpeg) {
    for (const char *name : {"h264_movtext.mp4", "mjpeg_pcm.avi", "h264_high10.mkv", "hevc_main10_hdr10.mp4"}) {
        SCOPED_TRACE(name);
        Handle e = open_media(name);
        ASSERT_TRUE(e);
        std::string text;
        ASSERT_EQ(oppb_framemd5(e.get(), oppb_stream_selected(e.get(), "video"), nullptr, collect, &text), OPPB_OK);
        const std::string reference =
            run(std::string(FFMPEG) + " -v error -i '" + media(name) + "' -map 0:v -fps_mode passthrough -f framemd5 -");
        EXPECT_EQ(sums(text), sums(reference));
        EXPECT_EQ(text.rfind("#format: frame checksums\n#version: 2\n#hash: MD5\n#software: Lavf63.1.102\n#tb 0: ", 0), 0u);
        EXPECT_NE(text.find("#stream#, dts,        pts, duration,     size, hash\n0, "), std::string::npos);
    }
    Handle e = open_media("h264_movtext.mp4");
    std::string text;
    ASSERT_EQ(oppb_framemd5(e.get(), 0, "rgb24", collect, &text), OPPB_OK);
    const std::vector<std::string> rgb = sums(text);
    ASSERT_EQ(rgb.size(), 150u);
    EXPECT_EQ(rgb[0].substr(0, 12), ",   172800, ");  // 320 x 180 x 3
    EXPECT_EQ(oppb_framemd5(e.get(), 0, "no-such-format", collect, &text), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_framemd5(e.get(), 1, nullptr, collect, &text), OPPB_ERR_ARG);  // audio
    EXPECT_EQ(oppb_framemd5(e.get(), 9, nullptr, collect, &text), OPPB_ERR_NOT_FOUND);
    EXPECT_EQ(oppb_framemd5(e.get(), 0, nullptr, nullptr, &text), OPPB_ERR_ARG);
    // A stream that is not selected has no frames to hash.
    oppb_select_stream(e.get(), "video", -1);
    e->streams[0].selected = 0;
    EXPECT_EQ(oppb_framemd5(e.get(), 0, nullptr, collect, &text), OPPB_ERR_STATE);
    EXPECT_STREQ(oppb_last_error(e.get()), "stream 0 not selected");
}

TEST(Tools, CombineWritesBothStreamsWhole) {
    struct Case {
        const char *video, *audio, *out;
    };
    for (const Case &c : {Case{"h264_movtext.mp4", "aac_only.m4a", "oppb_combined.mkv"},
                          Case{"mkv_chapters_subs.mkv", "h264_aac.ts", "oppb_combined.mp4"}}) {
        SCOPED_TRACE(std::string(c.video) + " + " + c.audio + " -> " + c.out);
        const std::string out = temp_path(c.out);
        ASSERT_EQ(oppb_combine(media(c.audio).c_str(), media(c.video).c_str(), out.c_str(), nullptr), OPPB_OK);
        EXPECT_EQ(probe(out, "", "stream=codec_type"), "video\naudio");
        const auto packets = [](const std::string &file, const char *select) {
            return probe_int(file, select, "stream=nb_read_packets -count_packets");
        };
        EXPECT_EQ(packets(out, "v:0"), packets(media(c.video), "v:0"));
        EXPECT_EQ(packets(out, "a:0"), packets(media(c.audio), "a:0"));
        std::remove(out.c_str());
    }
    const std::string out = temp_path("oppb_failed.mkv");
    EXPECT_EQ(oppb_combine(media("aac_only.m4a").c_str(), media("aac_only.m4a").c_str(), out.c_str(), nullptr),
              OPPB_ERR_NOT_FOUND);
    EXPECT_EQ(oppb_combine(media("aac_only.m4a").c_str(), media("not_media.mkv").c_str(), out.c_str(), nullptr),
              OPPB_ERR_CONTAINER);
    EXPECT_EQ(oppb_combine(media("aac_only.m4a").c_str(), media("h264_movtext.mp4").c_str(), out.c_str(), "nope"),
              OPPB_ERR_CONTAINER);
    EXPECT_EQ(oppb_combine(media("aac_only.m4a").c_str(), media("h264_movtext.mp4").c_str(), "/nonexistent/x.mkv",
                           nullptr),
              OPPB_ERR_IO);
    // A format that cannot take the streams fails its header and leaves no file.
    EXPECT_EQ(oppb_combine(media("aac_only.m4a").c_str(), media("h264_movtext.mp4").c_str(), out.c_str(), "wav"),
              OPPB_ERR_CONTAINER);
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(oppb_combine(nullptr, "a", "b", nullptr), OPPB_ERR_ARG);
}

TEST(Tools, FilterGraphsShapeTheDeliveredFrames) {
    struct Case {
        bool video;
        const char *graph;
        int min_count, max_count;  // delivered samples
        int width, rate;           // expected shape (0: as the source)
    };
    // 6 s of 320x180 at 25 fps and 48 kHz AAC (1024-sample frames).
    const Case cases[] = {
        {true, "scale=640:360", 150, 150, 640, 0},
        {true, "fps=10", 59, 61, 320, 0},
        {true, "nosuchfilter", 150, 150, 320, 0},
        {true, "scale=", 150, 150, 320, 0},
        {true, "split[a][b]", 150, 150, 320, 0},  // an output left unconnected
        {false, "aresample=8000", 250, 300, 0, 8000},
        {false, "volume=0.5", 280, 283, 0, 48000},
        {false, "anull[x];[y]anull", 280, 283, 0, 48000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.graph);
        Handle e = open_media("h264_movtext.mp4");
        ASSERT_TRUE(e);
        ASSERT_EQ((c.video ? oppb_set_video_filter : oppb_set_audio_filter)(e.get(), c.graph), OPPB_OK);
        const int stream = oppb_stream_selected(e.get(), c.video ? "video" : "audio");
        oppb_sample s;
        int count = 0, peak = 0;
        int64_t samples = 0;
        while (oppb_next_sample(e.get(), stream, &s) == OPPB_OK) {
            count++;
            if (c.video) {
                EXPECT_EQ(s.width, c.width);
            } else {
                EXPECT_EQ(s.sample_rate, c.rate);
                samples += s.sample_count;
            }
            int32_t status[2];
            oppb_buffer_status(e.get(), stream, status);
            peak = std::max(peak, status[1]);
        }
        EXPECT_GE(count, c.min_count);
        EXPECT_LE(count, c.max_count);
        EXPECT_LE(peak, 8 + 16);
        if (!c.video) {
            EXPECT_NEAR(double(samples) / c.rate, 6.0, 0.1);
        }
    }
    Handle e = open_media("h264_movtext.mp4");
    EXPECT_EQ(oppb_set_video_filter(nullptr, "null"), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_set_video_filter(e.get(), "scale=64:36"), OPPB_OK);
    EXPECT_EQ(oppb_set_video_filter(e.get(), ""), OPPB_OK);  // removed again
    oppb_sample s;
    ASSERT_EQ(oppb_next_sample(e.get(), 0, &s), OPPB_OK);
    EXPECT_EQ(s.width, 320);
}
