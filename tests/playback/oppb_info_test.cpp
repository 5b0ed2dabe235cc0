// Media information: stream counts and fields against ffprobe, chapters,
// attachments, default selection, HDR labels and the information document.
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "oppb_test_util.h"

static json_doc *read_json(const char *text) { return json_read(text, strlen(text), 0, nullptr, nullptr); }

static const char *const FIXTURES[] = {"h264_aac_2audio.mp4", "mkv_chapters_subs.mkv", "h264_movtext.mp4",
                                       "hevc_main10_hdr10.mp4", "hevc_main10_hlg.mkv",   "h264_high10.mkv",
                                       "mjpeg_pcm.avi",         "aac_cover.m4a",         "h264_aac.ts",
                                       "pgs_subs.mkv",          "avs2_aac.ts"};

TEST(Info, StreamCountsAndFieldsMatchFfprobe) {
    struct Field {
        const char *kind, *select, *field, *entry;
    };
    const Field fields[] = {
        {"video", "v", "codec", "stream=codec_name"},       {"video", "v", "width", "stream=width"},
        {"video", "v", "height", "stream=height"},          {"video", "v", "pix_fmt", "stream=pix_fmt"},
        {"video", "v", "color_trc", "stream=color_transfer"}, {"video", "v", "profile", ""},
        {"audio", "a", "codec", "stream=codec_name"},       {"audio", "a", "sample_rate", "stream=sample_rate"},
        {"audio", "a", "channels", "stream=channels"},      {"audio", "a", "channel_layout", "stream=channel_layout"},
        {"subtitle", "s", "codec", "stream=codec_name"},
    };
    for (const char *name : FIXTURES) {
        SCOPED_TRACE(name);
        Handle e = open_media(name);
        ASSERT_TRUE(e);
        const std::string file = media(name);
        for (const char *k : {"video", "audio", "subtitle"}) {
            const std::string select = std::string(1, k[0]);
            EXPECT_EQ(oppb_stream_count(e.get(), k), int(lines(probe(file, select, "stream=index")).size())) << k;
        }
        EXPECT_EQ(oppb_av_subtitle_count(e.get()), oppb_stream_count(e.get(), "subtitle"));
        for (const Field &f : fields) {
            if (!*f.entry) continue;
            const std::vector<std::string> expected = lines(probe(file, f.select, f.entry));
            for (size_t n = 0; n < expected.size(); n++) {
                if (expected[n] == "unknown") continue;  // ffprobe's word for what FFmpeg leaves unnamed
                EXPECT_EQ(oppb_stream_field(e.get(), f.kind, int(n), f.field), expected[n]) << f.field << " " << n;
            }
        }
    }
}

TEST(Info, FieldsOfOtherKindsAndUnknownNamesAreEmpty) {
    Handle e = open_media("h264_aac_2audio.mp4");
    ASSERT_TRUE(e);
    // The second audio stream, whatever its container index.
    EXPECT_EQ(oppb_stream_field(e.get(), "audio", 1, "channels"), std::string("6"));
    EXPECT_STREQ(oppb_stream_field(e.get(), "audio", 0, "width"), "");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "sample_rate"), "");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "no_such_field"), "");
    EXPECT_STREQ(oppb_stream_field(e.get(), "data", 0, "codec"), "");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 1, "codec"), "");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", -1, "codec"), "");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, nullptr), "");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "kind"), "video");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "decoder"), "ffmpeg_software");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "hw_accel"), "unknown");
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "is_external"), "false");
    Handle tagged = open_media("mkv_chapters_subs.mkv");
    EXPECT_EQ(oppb_stream_field(tagged.get(), "subtitle", 0, "language"),
              probe(media("mkv_chapters_subs.mkv"), "s:0", "stream_tags=language"));
    EXPECT_EQ(oppb_stream_count(e.get(), "bogus"), 0);
    EXPECT_EQ(oppb_stream_count(nullptr, "all"), 0);
}

TEST(Info, ResultRingHoldsSixteenValues) {
    Handle e = open_media("h264_aac_2audio.mp4");
    ASSERT_TRUE(e);
    const char *first = oppb_stream_field(e.get(), "all", 0, "index");
    ASSERT_STREQ(first, "0");
    for (int i = 0; i < 15; i++) oppb_stream_field(e.get(), "all", 2, "index");
    EXPECT_STREQ(first, "0");
    oppb_stream_field(e.get(), "all", 2, "index");
    EXPECT_STREQ(first, "2");
}

TEST(Info, DefaultSelectionPrefersDefaultAndForcedStreams) {
    Handle two = open_media("h264_aac_2audio.mp4");
    ASSERT_TRUE(two);
    const std::vector<std::string> defaults = lines(probe(media("h264_aac_2audio.mp4"), "a", "stream=index:stream_disposition=default"));
    // Pairs of index, default flag.
    int default_audio = -1;
    for (size_t i = 0; i + 1 < defaults.size(); i += 2)
        if (defaults[i + 1] == "1") default_audio = std::stoi(defaults[i]);
    EXPECT_EQ(oppb_stream_selected(two.get(), "audio"), default_audio);
    EXPECT_STREQ(oppb_stream_field(two.get(), "audio", 1, "is_default"), "true");

    Handle subs = open_media("mkv_chapters_subs.mkv");
    ASSERT_TRUE(subs);
    const int forced = oppb_stream_selected(subs.get(), "subtitle");
    EXPECT_STREQ(oppb_stream_field(subs.get(), "all", forced, "is_forced"), "true");
    EXPECT_STREQ(oppb_stream_field(subs.get(), "all", forced, "codec"), "ass");
    Handle unforced = open_media("mkv_chapters_subs.mkv", R"({"subtitles":{"auto_select_forced":false}})");
    EXPECT_STREQ(oppb_stream_field(unforced.get(), "all", oppb_stream_selected(unforced.get(), "subtitle"), "codec"),
                 "subrip");
}

TEST(Info, ChaptersAreRelativeToTheContainerStart) {
    for (const char *name : {"mkv_chapters_subs.mkv", "start_offset_chapters.mkv"}) {
        SCOPED_TRACE(name);
        const std::string file = media(name);
        Handle e = open_media(name);
        ASSERT_TRUE(e);
        const double start = std::stod(probe(file, "", "format=start_time"));
        const std::vector<std::string> rows = lines(probe(file, "", "chapter=start_time,end_time:chapter_tags=title"));
        int n = 0;
        for (size_t i = 0; i + 2 < rows.size(); i += 3) {
            double from = std::stod(rows[i]) - start, to = std::stod(rows[i + 1]) - start;
            if (to <= 0) continue;  // wholly before the start
            from = std::max(from, 0.0);
            EXPECT_EQ(oppb_chapter_field(e.get(), n, "title"), rows[i + 2]);
            EXPECT_NEAR(std::stoll(oppb_chapter_field(e.get(), n, "start_ticks")), from * 1e7, 2);
            EXPECT_NEAR(std::stoll(oppb_chapter_field(e.get(), n, "duration_ticks")), (to - from) * 1e7, 2);
            n++;
        }
        EXPECT_EQ(oppb_chapter_count(e.get()), n);
        EXPECT_STREQ(oppb_chapter_field(e.get(), n, "title"), "");
    }
    Handle one = open_media("one_chapter.mkv");
    ASSERT_EQ(probe(media("one_chapter.mkv"), "", "chapter=id").size() > 0, true);
    EXPECT_EQ(oppb_chapter_count(one.get()), 0);
    EXPECT_NE(std::string(oppb_info_json(one.get())).find("\"chapters\":[]"), std::string::npos);
}

TEST(Info, Attachments) {
    const std::string file = media("mkv_chapters_subs.mkv");
    Handle e = open_media("mkv_chapters_subs.mkv");
    ASSERT_TRUE(e);
    ASSERT_EQ(oppb_attachment_count(e.get()), 1);
    EXPECT_EQ(oppb_attachment_field(e.get(), 0, "filename"), probe(file, "t", "stream_tags=filename"));
    EXPECT_EQ(oppb_attachment_field(e.get(), 0, "mimetype"), probe(file, "t", "stream_tags=mimetype"));
    EXPECT_EQ(oppb_attachment_field(e.get(), 0, "bytes"), probe(file, "t", "stream=extradata_size"));
    EXPECT_EQ(oppb_attachment_field(e.get(), 0, "other"), probe(file, "t", "stream=index"));
    EXPECT_STREQ(oppb_attachment_field(e.get(), 1, "filename"), "");
}

TEST(Info, HdrLabelsAndPrimaries) {
    struct Case {
        const char *name, *hdr, *primaries;
    };
    const Case cases[] = {{"hevc_main10_hdr10.mp4", "hdr10", "MF_MT_VIDEO_PRIMARIES:MFVideoPrimaries_BT2020"},
                          {"hevc_main10_hlg.mkv", "hlg", "MF_MT_VIDEO_PRIMARIES:MFVideoPrimaries_BT2020"},
                          {"h264_movtext.mp4", "sdr", ""}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Handle e = open_media(c.name);
        ASSERT_TRUE(e);
        EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "hdr_format"), c.hdr);
        EXPECT_STREQ(oppb_video_primaries(e.get()), c.primaries);
    }
    EXPECT_STREQ(oppb_video_primaries(nullptr), "");
}

TEST(Info, SubtitleTracksAndCodecSupport) {
    Handle pgs = open_media("pgs_subs.mkv");
    ASSERT_TRUE(pgs);
    EXPECT_EQ(oppb_av_subtitle_track(pgs.get(), 0, "image_type"), 1);
    EXPECT_EQ(oppb_av_subtitle_track(pgs.get(), 0, "index"), std::stoi(probe(media("pgs_subs.mkv"), "s", "stream=index")));
    EXPECT_STREQ(oppb_stream_field(pgs.get(), "subtitle", 0, "image_type"), "bitmap");
    EXPECT_EQ(oppb_av_subtitle_track(pgs.get(), 1, "index"), -1);
    EXPECT_EQ(oppb_av_subtitle_track(pgs.get(), 0, "other"), 0);
    EXPECT_EQ(oppb_av_subtitle_track(nullptr, 0, "index"), -1);

    EXPECT_EQ(oppb_codec_supported("h264"), avcodec_find_decoder(AV_CODEC_ID_H264) ? 0 : 1);
    EXPECT_EQ(oppb_codec_supported("no_such_codec"), 1);
    EXPECT_EQ(oppb_codec_supported("avs2"), avcodec_find_decoder(AV_CODEC_ID_AVS2) ? 0 : 1);
    EXPECT_EQ(oppb_codec_supported(nullptr), OPPB_ERR_ARG);
}

TEST(Info, UndecodableVideoIsDeliveredCompressed) {
    Handle e = open_media("avs2_aac.ts");
    ASSERT_TRUE(e);
    ASSERT_FALSE(avcodec_find_decoder(AV_CODEC_ID_AVS2));
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "decoder"), "disabled");
    const int video = oppb_stream_selected(e.get(), "video");
    EXPECT_EQ(oppb_sample_mode_get(e.get(), video), 0);
    oppb_sample s;
    ASSERT_EQ(oppb_next_sample(e.get(), video, &s), OPPB_OK);
    EXPECT_EQ(s.compressed, 1);
    EXPECT_GT(s.size, 0);
}

TEST(Info, DocumentIsStrictJsonWithEveryStream) {
    for (const char *name : FIXTURES) {
        SCOPED_TRACE(name);
        Handle e = open_media(name);
        ASSERT_TRUE(e);
        oppb_set_fps_override(e.get(), 0, std::nan(""));  // a non-finite rate is written as 0
        const char *text = oppb_info_json(e.get());
        json_doc *d = read_json(text);
        ASSERT_TRUE(d) << text;
        json_val *root = json_doc_root(d);
        EXPECT_EQ(json_get_sint(json_obj_get(json_obj_get(root, "format"), "nb_streams")),
                  oppb_stream_count(e.get(), nullptr));
        EXPECT_EQ(json_get_sint(json_obj_get(root, "duration_ticks")), oppb_duration_ticks(e.get()));
        for (const char *k : {"video", "audio", "subtitle"})
            EXPECT_EQ(int(json_get_len(json_obj_get(root, k))), oppb_stream_count(e.get(), k)) << k;
        json_val *selection = json_obj_get(root, "selection");
        EXPECT_EQ(json_get_sint(json_obj_get(selection, "video")), oppb_stream_selected(e.get(), "video"));
        EXPECT_EQ(json_get_sint(json_obj_get(selection, "subtitle_secondary")), -1);
        json_doc_free(d);
    }
    EXPECT_STREQ(oppb_info_json(nullptr), "{}");
}

TEST(Info, StartOffsetFixtureReportsItsStart) {
    const std::string file = media("start_offset_chapters.mkv");
    Handle e = open_media("start_offset_chapters.mkv");
    ASSERT_TRUE(e);
    EXPECT_NEAR(double(oppb_start_time_ticks(e.get())), std::stod(probe(file, "", "format=start_time")) * 1e7, 10);
    EXPECT_NEAR(double(oppb_duration_ticks(e.get())), std::stod(probe(file, "", "format=duration")) * 1e7, 10);
}

TEST(Info, HardwareLimitsIgnoreProfileConstraintFlags) {
    oppb_cfg cfg;
    cfg_defaults(&cfg);
    struct Case {
        AVCodecID codec;
        int profile, level;
        bool eligible;
    };
    const Case cases[] = {
        {AV_CODEC_ID_H264, 66 | 512, 30, true},   // Constrained Baseline
        {AV_CODEC_ID_H264, 100, 41, true},        // High 4.1
        {AV_CODEC_ID_H264, 110, 41, false},       // High 10
        {AV_CODEC_ID_H264, 110 | 2048, 41, false},  // High 10 Intra
        {AV_CODEC_ID_H264, 100, 51, false},
        {AV_CODEC_ID_HEVC, 2, 186, true},
        {AV_CODEC_ID_HEVC, 4, 93, false},
        {AV_CODEC_ID_VP9, 3, 60, true},
    };
    for (const Case &c : cases) EXPECT_EQ(hw_eligible(&cfg, c.codec, c.profile, c.level), c.eligible) << c.profile;
}
