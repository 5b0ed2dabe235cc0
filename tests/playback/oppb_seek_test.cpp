// Seeking: key-frame landings against ffprobe, the fast path's forward
// guarantee and window, flushing, the shortcut, and sources that start late.
#include <cmath>
#include <cstring>

#include "oppb_test_util.h"

static constexpr int64_t SECOND = OPPB_TICKS_PER_SECOND;

// Key frame times of the first video stream, relative to its start, in ticks.
static std::vector<int64_t> key_frames(const std::string &name) {
    const double start = std::stod(probe(media(name), "v:0", "stream=start_time"));
    std::vector<int64_t> keys;
    for (const std::string &t : lines(probe(media(name), "v:0", "frame=best_effort_timestamp_time -skip_frame nokey")))
        keys.push_back(std::llround((std::stod(t) - start) * 1e7));
    return keys;
}

// The key frames either side of `t`: the demuxer lands on the one before, or,
// in sources without an index (MPEG-TS), possibly on the one after.
static std::pair<int64_t, int64_t> keys_around(const std::vector<int64_t> &keys, int64_t t) {
    int64_t before = keys.front(), after = INT64_MAX;
    for (int64_t k : keys) {
        if (k <= t + 10) before = k;
        else if (after == INT64_MAX) after = k;
    }
    return {before, after};
}

static oppb_sample first_video(oppb_engine *e) {
    oppb_sample s{};
    EXPECT_EQ(oppb_next_sample(e, oppb_stream_selected(e, "video"), &s), OPPB_OK);
    return s;
}

TEST(Seek, PlainSeekLandsOnTheKeyFrameBeforeTheTarget) {
    struct Case {
        const char *name;
        int64_t target;
    };
    // The transport stream and the offset file start late (1.4 s, 10 s): the
    // target counts from their start.
    const Case cases[] = {{"mkv_chapters_subs.mkv", 2 * SECOND + SECOND / 2}, {"mkv_chapters_subs.mkv", 5 * SECOND},
                          {"h264_movtext.mp4", 3 * SECOND + SECOND / 5},    {"h264_aac.ts", SECOND + SECOND / 2},
                          {"start_offset_chapters.mkv", 2 * SECOND + SECOND / 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.target));
        Handle e = open_media(c.name);
        ASSERT_TRUE(e);
        const std::vector<int64_t> keys = key_frames(c.name);
        first_video(e.get());
        int64_t landed = -1;
        ASSERT_EQ(oppb_seek(e.get(), c.target, &landed), OPPB_OK);
        EXPECT_EQ(landed, c.target);
        EXPECT_EQ(oppb_position_ticks(e.get()), c.target);
        for (int i = 0; i < oppb_stream_count(e.get(), nullptr); i++) {
            int32_t status[2];
            ASSERT_EQ(oppb_buffer_status(e.get(), i, status), 0);
            EXPECT_EQ(status[0] + status[1], 0) << "stream " << i;
        }
        const oppb_sample s = first_video(e.get());
        EXPECT_EQ(s.key, 1);
        const auto [before, after] = keys_around(keys, c.target);
        const bool ts = strstr(c.name, ".ts");
        EXPECT_TRUE(std::llabs(s.pts - before) <= 2 || (ts && std::llabs(s.pts - after) <= 2)) << s.pts;
    }
}

TEST(Seek, FastSeekMovesForwardAtLeastAFifthAndReportsTheLanding) {
    struct Case {
        const char *name;
        int64_t from, target;
    };
    const Case cases[] = {
        {"mkv_chapters_subs.mkv", 0, 5 * SECOND},                  // forward: lands at a key frame past 1 s
        {"mkv_chapters_subs.mkv", 0, 1 * SECOND + SECOND / 2},     // the key frame at 1 s is past the mark
        {"mkv_chapters_subs.mkv", 5 * SECOND, 1 * SECOND},         // backward: at most at the 4.2 s mark
        {"h264_aac.ts", 0, 1 * SECOND + SECOND * 4 / 5},           // late start, no index: the next key frame
        {"start_offset_chapters.mkv", 0, 3 * SECOND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.from) + " -> " + std::to_string(c.target));
        Handle e = open_media(c.name);
        ASSERT_TRUE(e);
        const std::vector<int64_t> keys = key_frames(c.name);
        if (c.from) {
            ASSERT_EQ(oppb_seek(e.get(), c.from, nullptr), OPPB_OK);
        }
        first_video(e.get());
        const int64_t position = oppb_position_ticks(e.get());
        const int64_t mark = position + (c.target - position) / 5;
        int64_t landed = -1;
        ASSERT_EQ(oppb_seek_fast(e.get(), c.target, &landed), OPPB_OK);
        EXPECT_EQ(oppb_position_ticks(e.get()), landed);
        if (c.target > position) {
            EXPECT_GE(landed, mark);
        } else {
            EXPECT_LE(landed, mark);
        }
        EXPECT_NE(std::find_if(keys.begin(), keys.end(), [&](int64_t k) { return std::llabs(k - landed) <= 2; }),
                  keys.end())
            << "landed " << landed << " is no key frame";
        const oppb_sample s = first_video(e.get());
        EXPECT_EQ(s.key, 1);
        EXPECT_NEAR(double(s.pts), double(landed), 2.0);
    }
    // With fast seeking off the fast export is the plain one.
    Handle e = open_media("mkv_chapters_subs.mkv", R"({"general":{"fast_seek":false}})");
    int64_t landed = 0;
    ASSERT_EQ(oppb_seek_fast(e.get(), 3 * SECOND + 1234, &landed), OPPB_OK);
    EXPECT_EQ(landed, 3 * SECOND + 1234);
}

// The shortcut for a seek to the current position holds only while nothing
// moved: audio does not update the position, yet the demuxer moved on.
TEST(Seek, SeekToThePositionMovesBackAfterPlayback) {
    for (const char *name : {"aac_only.m4a", "mkv_chapters_subs.mkv"}) {
        SCOPED_TRACE(name);
        Handle e = open_media(name);
        ASSERT_TRUE(e);
        const int audio = oppb_stream_selected(e.get(), "audio");
        oppb_sample s;
        int64_t first_pts = -1;
        for (int i = 0; i < 40; i++) {
            ASSERT_EQ(oppb_next_sample(e.get(), audio, &s), OPPB_OK);
            if (i == 0) first_pts = s.pts;
        }
        const int64_t position = oppb_position_ticks(e.get());
        int64_t landed = -1;
        ASSERT_EQ(oppb_seek(e.get(), position, &landed), OPPB_OK);
        EXPECT_EQ(landed, position);
        ASSERT_EQ(oppb_next_sample(e.get(), audio, &s), OPPB_OK);
        if (position == 0) {
            EXPECT_EQ(s.pts, first_pts);
        }
        // Straight after a seek nothing moved: the same target does nothing.
        ASSERT_EQ(oppb_seek(e.get(), 0, &landed), OPPB_OK);
        ASSERT_EQ(oppb_seek(e.get(), 0, &landed), OPPB_OK);
        EXPECT_EQ(landed, 0);
    }
    // Right after open the shortcut keeps what probing queued.
    Handle e = open_media("mkv_chapters_subs.mkv");
    int64_t landed = -1;
    ASSERT_EQ(oppb_seek_fast(e.get(), 0, &landed), OPPB_OK);
    EXPECT_EQ(landed, 0);
    EXPECT_EQ(first_video(e.get()).pts, 0);
}

TEST(Seek, PayloadCopiedBeforeASeekStaysGood) {
    Handle e = open_media("h264_movtext.mp4");
    ASSERT_TRUE(e);
    oppb_sample s = first_video(e.get());
    const std::string copy(reinterpret_cast<const char *>(s.planes[0]), size_t(s.line_sizes[0]) * size_t(s.height));
    for (int i = 0; i < 30; i++) first_video(e.get());
    ASSERT_EQ(oppb_seek(e.get(), 0, nullptr), OPPB_OK);
    // The seek ended the life of the held frame; the copy is the caller's.
    EXPECT_EQ(e->streams[oppb_stream_selected(e.get(), "video")].frame_out, nullptr);
    s = first_video(e.get());
    EXPECT_EQ(s.pts, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(s.planes[0]), copy.size()), copy);
}

TEST(Seek, RefusedSeeks) {
    int64_t landed = 77;
    EXPECT_EQ(oppb_seek(nullptr, 0, &landed), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_seek_fast(nullptr, 0, &landed), OPPB_ERR_ARG);
    Handle e = open_media("mkv_chapters_subs.mkv");
    ASSERT_TRUE(e);
    oppb_select_stream(e.get(), "video", -1);
    oppb_select_stream(e.get(), "audio", -1);
    for (auto seek : {oppb_seek, oppb_seek_fast}) {
        EXPECT_EQ(seek(e.get(), SECOND, &landed), OPPB_ERR_STATE);
        EXPECT_STREQ(oppb_last_error(e.get()), "no selected stream");
    }
    EXPECT_EQ(landed, 77);
    oppb_close(e.get());
    EXPECT_EQ(oppb_seek(e.get(), 0, &landed), OPPB_ERR_CLOSED);
    EXPECT_EQ(oppb_seek_fast(e.get(), 0, &landed), OPPB_ERR_CLOSED);
    // A source that cannot seek fails and keeps what it had.
    MemSource m;
    m.bytes = read_file(media("h264_aac.ts"));
    const oppb_io io = m.io(false);
    Handle unseekable(oppb_open_io(&io, nullptr));
    ASSERT_TRUE(unseekable);
    first_video(unseekable.get());
    const int64_t position = oppb_position_ticks(unseekable.get());
    EXPECT_EQ(oppb_seek(unseekable.get(), 2 * SECOND, &landed), OPPB_ERR_SEEK);
    EXPECT_STREQ(oppb_last_error(unseekable.get()), "avformat_seek_file failed");
    EXPECT_EQ(oppb_position_ticks(unseekable.get()), position);
    EXPECT_GT(first_video(unseekable.get()).pts, position);
}

// Frames a draining decoder hands over without timestamps continue the
// timeline instead of jumping back to its start.
TEST(Seek, FramesWithoutTimestampsFollowTheirPredecessor) {
    Handle e = open_media("mpeg4_bframes.avi");
    ASSERT_TRUE(e);
    const std::vector<std::string> times = lines(probe(media("mpeg4_bframes.avi"), "v:0", "frame=best_effort_timestamp_time"));
    ASSERT_EQ(times.back(), "N/A");
    std::vector<oppb_sample> samples;
    ASSERT_EQ(pull_all(e.get(), oppb_stream_selected(e.get(), "video"), &samples), int(times.size()));
    const int64_t first = std::llround(std::stod(times[0]) * 1e7);
    for (size_t i = 0; i < samples.size(); i++) EXPECT_EQ(samples[i].pts, first + int64_t(i) * SECOND / 25) << i;
    EXPECT_EQ(oppb_position_ticks(e.get()), samples.back().pts);
}
