// Sample delivery: decoded video in the allowed formats, 16-bit audio,
// compressed packets in Annex B form, queue bounds, errors, and growth.
#include <cstdio>
#include <filesystem>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/md5.h>
#include <libavutil/pixdesc.h>
}

#include "oppb_test_util.h"

static int pix(const char *name) { return av_get_pix_fmt(name); }

static long long frame_count(const std::string &name, const char *select) {
    return probe_int(media(name), select, "stream=nb_read_frames -count_frames");
}

TEST(Delivery, VideoFormatsFollowTheOutputSwitches) {
    struct Case {
        const char *name, *config;
        const char *format;
        bool padded;
    };
    const Case cases[] = {
        {"h264_movtext.mp4", nullptr, "nv12", true},
        {"h264_odd_318x178.mp4", nullptr, "nv12", true},
        {"h264_high10.mkv", nullptr, "p010le", true},
        {"h264_high10.mkv", R"({"video":{"output_allow_10bit":false}})", "nv12", true},
        {"hevc_main10_hdr10.mp4", R"({"video":{"output_allow_10bit":false,"output_allow_nv12":false,)"
                                  R"("output_allow_iyuv":true}})", "yuv420p", true},
        {"h264_odd_318x178.mp4", R"({"video":{"output_allow_iyuv":true}})", "yuv420p", true},
        {"h264_odd_318x178.mp4", R"({"video":{"output_allow_nv12":false,"output_allow_10bit":false,)"
                                 R"("output_allow_bgra8":true}})", "bgra", false},
        {"h264_odd_318x178.mp4", R"({"video":{"output_allow_nv12":false,"output_allow_10bit":false}})", "nv12", true},
        {"mjpeg_pcm.avi", R"({"video":{"output_allow_iyuv":true}})", "yuvj420p", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + (c.config ? c.config : ""));
        Handle e = open_media(c.name, c.config);
        ASSERT_TRUE(e);
        const int video = oppb_stream_selected(e.get(), "video");
        const int width = std::stoi(probe(media(c.name), "v:0", "stream=width"));
        const int height = std::stoi(probe(media(c.name), "v:0", "stream=height"));
        std::vector<oppb_sample> samples;
        ASSERT_EQ(pull_all(e.get(), video, &samples), frame_count(c.name, "v:0"));
        const oppb_sample &s = samples.back();
        EXPECT_EQ(s.pixel_format, pix(c.format));
        EXPECT_EQ(s.width, c.padded ? (width + 3) / 4 * 4 : width);
        EXPECT_EQ(s.height, c.padded ? (height + 3) / 4 * 4 : height);
        EXPECT_EQ(s.plane_count, av_pix_fmt_count_planes(AVPixelFormat(s.pixel_format)));
        EXPECT_EQ(s.data, s.planes[0]);
        EXPECT_EQ(s.compressed, 0);
        EXPECT_EQ(s.size, 0);
        EXPECT_GE(s.line_sizes[0], s.width);
        // The padding is recorded in the crop of the frame handed out.
        const AVFrame *held = e->streams[video].frame_out;
        EXPECT_EQ(int(held->crop_right), s.width - width);
        EXPECT_EQ(int(held->crop_bottom), s.height - height);
        EXPECT_EQ(oppb_position_ticks(e.get()), s.pts);
        EXPECT_EQ(oppb_is_eof(e.get()), 1);
    }
}

TEST(Delivery, VideoTimesAreRelativeToTheStreamStart) {
    for (const char *name : {"h264_aac.ts", "start_offset_chapters.mkv", "h264_movtext.mp4"}) {
        SCOPED_TRACE(name);
        Handle e = open_media(name);
        ASSERT_TRUE(e);
        const std::vector<std::string> times = lines(probe(media(name), "v:0", "frame=best_effort_timestamp_time"));
        const double start = std::stod(probe(media(name), "v:0", "stream=start_time"));
        std::vector<oppb_sample> samples;
        ASSERT_EQ(pull_all(e.get(), oppb_stream_selected(e.get(), "video"), &samples), int(times.size()));
        for (size_t i = 0; i < samples.size(); i++)
            EXPECT_NEAR(double(samples[i].pts), (std::stod(times[i]) - start) * 1e7, 2) << i;
        EXPECT_EQ(samples[0].key, 1);
        EXPECT_GT(samples[0].duration, 0);
    }
}

TEST(Delivery, AudioArrivesAsInterleaved16Bit) {
    struct Case {
        const char *name;
        int audio_n;  // among the audio streams
        bool downmix;
    };
    const Case cases[] = {{"h264_aac_2audio.mp4", 1, false}, {"h264_aac_2audio.mp4", 1, true},
                          {"aac_only.m4a", 0, false},        {"mjpeg_pcm.avi", 0, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.downmix ? " downmix" : ""));
        Handle e = open_media(c.name, c.downmix ? R"({"audio":{"downmix_to_stereo":true}})" : nullptr);
        ASSERT_TRUE(e);
        const int stream = std::stoi(oppb_stream_field(e.get(), "audio", c.audio_n, "index"));
        ASSERT_EQ(oppb_select_stream(e.get(), "audio", stream), stream);
        const std::string select = "a:" + std::to_string(c.audio_n);
        const int channels = std::stoi(probe(media(c.name), select, "stream=channels"));
        const int rate = std::stoi(probe(media(c.name), select, "stream=sample_rate"));
        std::vector<oppb_sample> samples;
        ASSERT_EQ(pull_all(e.get(), stream, &samples), frame_count(c.name, select.c_str()));
        for (const oppb_sample &s : samples) {
            ASSERT_EQ(s.sample_format, AV_SAMPLE_FMT_S16);
            ASSERT_EQ(s.channels, c.downmix ? 2 : channels);
            ASSERT_EQ(s.sample_rate, rate);
            ASSERT_EQ(s.size, int64_t(s.sample_count) * s.channels * 2);
            ASSERT_GT(s.duration, 0);
        }
        EXPECT_EQ(oppb_position_ticks(e.get()), 0);  // audio does not move the position
    }
}

// Decodes an Annex B byte stream with FFmpeg's parser and decoder: every frame must come out.
static int decode_annexb(AVCodecID id, const std::vector<std::string> &packets) {
    const AVCodec *codec = avcodec_find_decoder(id);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    AVCodecParserContext *parser = av_parser_init(id);
    avcodec_open2(ctx, codec, nullptr);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    int frames = 0;
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) frames++;
    };
    std::string all;
    for (const std::string &p : packets) all += p;
    all.append(AV_INPUT_BUFFER_PADDING_SIZE, '\0');
    const uint8_t *data = reinterpret_cast<const uint8_t *>(all.data());
    int left = int(all.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    while (left >= 0) {
        int used = av_parser_parse2(parser, ctx, &pkt->data, &pkt->size, data, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        data += used;
        left -= used;
        if (pkt->size) {
            avcodec_send_packet(ctx, pkt);
            drain();
        }
        if (left == 0 && !used) break;
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    av_parser_close(parser);
    avcodec_free_context(&ctx);
    return frames;
}

static int nal_type(const std::string &p, bool hevc) {
    const size_t at = p.find(std::string("\0\0\1", 3));
    if (at == std::string::npos) return -1;
    const uint8_t b = uint8_t(p[at + 3]);
    return hevc ? (b >> 1) & 0x3F : b & 0x1F;
}

TEST(Delivery, CompressedPacketsAreAnnexB) {
    struct Case {
        const char *name;
        AVCodecID codec;
        int first_nal;  // SPS (H.264) or VPS (HEVC) leads the first packet of MP4-style input
    };
    const Case cases[] = {{"h264_movtext.mp4", AV_CODEC_ID_H264, 7},
                          {"hevc_main10_hdr10.mp4", AV_CODEC_ID_HEVC, 32},
                          {"h264_aac.ts", AV_CODEC_ID_H264, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bool hevc = c.codec == AV_CODEC_ID_HEVC;
        Handle e = open_media(c.name);
        ASSERT_TRUE(e);
        const int video = oppb_stream_selected(e.get(), "video");
        ASSERT_EQ(oppb_sample_mode(e.get(), video, 0), 0);
        EXPECT_EQ(oppb_sample_mode_get(e.get(), video), 0);
        std::vector<std::string> packets;
        oppb_sample s;
        while (oppb_next_sample(e.get(), video, &s) == OPPB_OK) {
            packets.emplace_back(reinterpret_cast<const char *>(s.data), size_t(s.size));
            EXPECT_EQ(packets.back().compare(0, 2, std::string("\0\0", 2)), 0);
            EXPECT_EQ(s.compressed, 1);
            if (c.first_nal < 0) continue;
            // Parameter sets lead the first packet only (encoders may repeat them in-band at key frames).
            if (packets.size() == 1) {
                EXPECT_EQ(nal_type(packets.back(), hevc), c.first_nal);
                EXPECT_EQ(s.key, 1);
            } else if (!s.key) {
                EXPECT_NE(nal_type(packets.back(), hevc), c.first_nal);
            }
        }
        EXPECT_EQ(int(packets.size()), probe_int(media(c.name), "v:0", "stream=nb_read_packets -count_packets"));
        EXPECT_EQ(decode_annexb(c.codec, packets), frame_count(c.name, "v:0"));
    }
}

TEST(Delivery, FlushResendsParameterSets) {
    Handle e = open_media("h264_movtext.mp4");
    ASSERT_TRUE(e);
    ASSERT_EQ(oppb_sample_mode(e.get(), 0, 0), 0);
    oppb_sample s;
    ASSERT_EQ(oppb_next_sample(e.get(), 0, &s), 0);
    ASSERT_EQ(oppb_next_sample(e.get(), 0, &s), 0);
    EXPECT_NE(nal_type(std::string(reinterpret_cast<const char *>(s.data), size_t(s.size)), false), 7);
    ASSERT_EQ(oppb_flush(e.get(), -1), 0);
    ASSERT_EQ(oppb_next_sample(e.get(), 0, &s), 0);
    EXPECT_EQ(nal_type(std::string(reinterpret_cast<const char *>(s.data), size_t(s.size)), false), 7);
}

// Frame checksums of the decoder's own output (conversion off) equal the
// command line's: no packet is lost when the decoder refuses one while
// frames wait, whatever the queue sizes and thread counts.
TEST(Delivery, EveryPacketIsDecoded) {
    const std::string file = media("h264_aac_2audio.mp4");
    const std::vector<std::string> expected =
        lines(run(std::string(FFMPEG) + " -v error -threads 1 -i '" + file + "' -map 0:v -f framemd5 - | grep -v '^#'"));
    for (const char *config : {R"({"general":{"queue_max_frames":1,"queue_max_packets":1},"video":{"max_decoder_threads":4}})",
                               R"({"video":{"max_decoder_threads":1}})"}) {
        SCOPED_TRACE(config);
        Handle e = open_media("h264_aac_2audio.mp4", config);
        ASSERT_TRUE(e);
        const int video = oppb_stream_selected(e.get(), "video");
        e->streams[video].raw_output = 1;
        std::vector<std::string> sums;
        oppb_sample s;
        while (oppb_next_sample(e.get(), video, &s) == OPPB_OK) {
            const AVFrame *f = e->streams[video].frame_out;
            uint8_t digest[16];
            AVMD5 *md5 = av_md5_alloc();
            av_md5_init(md5);
            const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(f->format));
            for (int plane = 0; plane < 3; plane++) {
                const int w = plane ? AV_CEIL_RSHIFT(f->width, d->log2_chroma_w) : f->width;
                const int h = plane ? AV_CEIL_RSHIFT(f->height, d->log2_chroma_h) : f->height;
                for (int y = 0; y < h; y++) av_md5_update(md5, f->data[plane] + y * f->linesize[plane], size_t(w));
            }
            av_md5_final(md5, digest);
            av_free(md5);
            char hex[33];
            for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            sums.emplace_back(hex);
        }
        ASSERT_EQ(sums.size(), expected.size());
        for (size_t i = 0; i < sums.size(); i++) EXPECT_NE(expected[i].find(sums[i]), std::string::npos) << i;
    }
}

// The decoder releases all its delayed frames once it is drained; they come
// out one per pull instead of filling the frame queue with converted
// pictures, which would make the end of every file its memory peak.
TEST(Delivery, DrainedFramesComeOneAtATime) {
    for (const char *name : {"h264_movtext.mp4", "hevc_main10_hdr10.mp4"}) {
        SCOPED_TRACE(name);
        Handle e = open_media(name, R"({"video":{"max_decoder_threads":2}})");
        ASSERT_TRUE(e);
        const int video = oppb_stream_selected(e.get(), "video");
        int drained = 0, delivered = 0;
        oppb_sample s;
        int32_t status[2];
        while (oppb_next_sample(e.get(), video, &s) == OPPB_OK) {
            delivered++;
            if (!e->streams[video].draining) continue;
            drained++;
            ASSERT_EQ(oppb_buffer_status(e.get(), video, status), 0);
            EXPECT_EQ(status[1], 0) << "pull " << delivered;
        }
        EXPECT_GE(drained, 2);  // two decoder threads delay at least one frame each
        EXPECT_EQ(delivered, frame_count(name, "v:0"));
    }
}

// A selected stream the caller does not pull holds at most its queue limits
// for the whole file, in either sample mode, also when its decoder already
// holds frames; only what its queues kept is left to pull afterwards.
TEST(Delivery, NeglectedStreamsStayWithinTheirQueues) {
    struct Case {
        const char *pulled, *neglected;
        int neglected_mode;
        bool primed;  // one sample of the neglected stream taken first
        int rest_min, rest_max;
    };
    // Decoded audio may keep its first frame back (encoder delay); primed
    // video also has up to 4 delayed frames in its two-thread decoder.
    const Case cases[] = {{"video", "audio", 1, false, 2, 3},
                          {"video", "audio", 0, false, 3, 3},
                          {"audio", "video", 1, true, 3, 3 + 2 + 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.neglected) + (c.neglected_mode ? " decoded" : " compressed") +
                     (c.primed ? ", primed" : ""));
        Handle e = open_media("h264_aac_2audio.mp4", R"({"general":{"queue_max_packets":3,"queue_max_frames":2},)"
                                                     R"("video":{"max_decoder_threads":2}})");
        ASSERT_TRUE(e);
        const int pulled = oppb_stream_selected(e.get(), c.pulled);
        const int neglected = oppb_stream_selected(e.get(), c.neglected);
        ASSERT_EQ(oppb_sample_mode(e.get(), neglected, c.neglected_mode), 0);
        oppb_sample s;
        if (c.primed) {
            ASSERT_EQ(oppb_next_sample(e.get(), neglected, &s), 0);
        }
        int32_t status[2];
        int peak_packets = 0, peak_frames = 0, pulled_peak_frames = 0;
        while (oppb_next_sample(e.get(), pulled, &s) == OPPB_OK) {
            ASSERT_EQ(oppb_buffer_status(e.get(), neglected, status), 0);
            peak_packets = std::max(peak_packets, status[0]);
            peak_frames = std::max(peak_frames, status[1]);
            ASSERT_EQ(oppb_buffer_status(e.get(), pulled, status), 0);
            pulled_peak_frames = std::max(pulled_peak_frames, status[1]);
        }
        EXPECT_EQ(peak_packets, 3);
        EXPECT_LE(peak_frames, 2);
        EXPECT_LE(pulled_peak_frames, 2 + 1);
        const int rest = pull_all(e.get(), neglected);
        EXPECT_GE(rest, c.rest_min);
        EXPECT_LE(rest, c.rest_max);
    }
    int32_t status[2];
    Handle e = open_media("h264_aac_2audio.mp4");
    EXPECT_EQ(oppb_buffer_status(e.get(), 99, status), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_buffer_status(e.get(), 0, nullptr), OPPB_ERR_ARG);
}

TEST(Delivery, RefusedRequests) {
    Handle e = open_media("mkv_chapters_subs.mkv");
    ASSERT_TRUE(e);
    oppb_sample s;
    const int subtitle = oppb_stream_selected(e.get(), "subtitle");
    int unselected = -1;
    for (int i = 0; i < oppb_stream_count(e.get(), nullptr); i++)
        if (std::string(oppb_stream_field(e.get(), nullptr, i, "kind")) == "subtitle" && i != subtitle) unselected = i;
    EXPECT_EQ(oppb_next_sample(e.get(), subtitle, &s), OPPB_ERR_UNSUPPORTED);
    EXPECT_EQ(oppb_next_sample(e.get(), unselected, &s), OPPB_ERR_STATE);
    EXPECT_EQ(oppb_last_error(e.get()), "stream " + std::to_string(unselected) + " not selected");
    EXPECT_EQ(oppb_next_sample(e.get(), 99, &s), OPPB_ERR_NOT_FOUND);
    EXPECT_STREQ(oppb_last_error(e.get()), "stream 99");
    EXPECT_EQ(oppb_next_sample(e.get(), 0, nullptr), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_next_sample(nullptr, 0, &s), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_sample_mode(e.get(), 0, 2), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_sample_mode(e.get(), subtitle, 0), OPPB_ERR_UNSUPPORTED);
    EXPECT_EQ(oppb_sample_mode(e.get(), 99, 0), OPPB_ERR_NOT_FOUND);
    EXPECT_EQ(oppb_sample_mode_get(e.get(), 99), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_flush(e.get(), 99), OPPB_ERR_NOT_FOUND);
    EXPECT_EQ(oppb_flush(nullptr, 0), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_select_stream(e.get(), "audio", 0), OPPB_ERR_NOT_FOUND);
    EXPECT_EQ(oppb_select_stream(e.get(), "audio", -1), -1);
    EXPECT_EQ(oppb_stream_selected(e.get(), "audio"), -1);
    EXPECT_EQ(oppb_select_stream(e.get(), "data", 0), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_stream_selected(e.get(), nullptr), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_set_fps_override(e.get(), 99, 5.0), OPPB_ERR_NOT_FOUND);
    EXPECT_EQ(oppb_set_fps_override(e.get(), 0, 12.5), 0);
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "fps"), "12.500000");
    EXPECT_EQ(oppb_auto_extend(nullptr), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_auto_extend(e.get()), 0);  // not at the end
}

// A growing file, or a growing callback source (the second reader must start
// from its beginning), found again at its end; a positive timeout is re-armed
// rather than counted from the last pull.
TEST(Delivery, AutoExtendFindsAGrownSource) {
    struct Case {
        bool callbacks;
        int timeout_ms;
    };
    const std::string whole = read_file(media("h264_aac.ts"));
    const size_t half = whole.size() / 2 / 188 * 188;
    for (const Case c : {Case{false, 0}, Case{true, 0}, Case{false, 1000}, Case{true, 1000}}) {
        SCOPED_TRACE(std::string(c.callbacks ? "callbacks" : "path") + ", timeout " + std::to_string(c.timeout_ms));
        const std::string path = (std::filesystem::temp_directory_path() / "oppb_growing.ts").string();
        {
            std::ofstream(path, std::ios::binary).write(whole.data(), std::streamsize(half));
        }
        MemSource src;
        src.bytes = whole.substr(0, half);
        const oppb_io io = src.io();
        Handle e(c.callbacks ? oppb_open_io_named(&io, "growing.ts", nullptr) : oppb_open_path(path.c_str(), nullptr));
        ASSERT_TRUE(e);
        const int video = oppb_stream_selected(e.get(), "video");
        const int first = pull_all(e.get(), video);
        ASSERT_EQ(oppb_is_eof(e.get()), 1);
        const int64_t short_duration = oppb_duration_ticks(e.get());
        EXPECT_EQ(oppb_auto_extend(e.get()), 0);  // unchanged
        {
            std::ofstream(path, std::ios::binary | std::ios::app)
                .write(whole.data() + half, std::streamsize(whole.size() - half));
        }
        src.bytes = whole;
        // More than the timeout since the last pull: the extension has a budget of its own.
        oppb_set_timeout_ms(e.get(), c.timeout_ms);
        if (c.timeout_ms) usleep(useconds_t(c.timeout_ms) * 1500);
        EXPECT_EQ(oppb_auto_extend(e.get()), 1);
        oppb_set_timeout_ms(e.get(), 0);
        EXPECT_GT(oppb_duration_ticks(e.get()), short_duration);
        EXPECT_EQ(oppb_is_eof(e.get()), 0);
        const int rest = pull_all(e.get(), video);
        EXPECT_GT(rest, 0);
        EXPECT_LE(first + rest, frame_count("h264_aac.ts", "v:0"));
        Handle off(oppb_open_path(path.c_str(), R"({"general":{"auto_extend_duration":false}})"));
        pull_all(off.get(), video);
        EXPECT_EQ(oppb_auto_extend(off.get()), 0);
        std::remove(path.c_str());
    }
}
