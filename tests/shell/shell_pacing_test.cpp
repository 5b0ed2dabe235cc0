// Sound and pacing without a device: decoded sound to 16-bit samples at a
// volume, the playback clock, and which waiting frame a display refresh shows.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/audio_samples.h"
#include "core/av_clock.h"

using namespace shell;
using namespace std::chrono_literals;

namespace {

template <class T>
std::vector<uint8_t> bytes_of(std::initializer_list<T> values) {
    std::vector<uint8_t> out(values.size() * sizeof(T));
    std::memcpy(out.data(), std::data(values), out.size());
    return out;
}

}  // namespace

TEST(AudioSamples, EveryFormatTheEngineMayHandOverBecomesSixteenBit) {
    // Two frames of stereo (or the one plane of a planar format): full scale
    // down, half up, zero, and a quarter down.
    struct Case {
        const char *name;
        int32_t format;
        std::vector<uint8_t> data;
        int channels;  // expected
        std::vector<int16_t> samples;
    } cases[] = {
        {"u8", SAMPLE_U8, {0, 192, 128, 96}, 2, {-32768, 16384, 0, -8192}},
        {"s16", SAMPLE_S16, bytes_of<int16_t>({-32768, 16384, 0, -8192}), 2, {-32768, 16384, 0, -8192}},
        {"s32", SAMPLE_S32, bytes_of<int32_t>({INT32_MIN, 1 << 30, 0, -(1 << 29)}), 2, {-32768, 16384, 0, -8192}},
        {"s64", SAMPLE_S64, bytes_of<int64_t>({INT64_MIN, int64_t(1) << 62, 0, -(int64_t(1) << 61)}), 2,
         {-32768, 16384, 0, -8192}},
        {"flt", SAMPLE_FLT, bytes_of<float>({-1.5f, 0.5f, 0.f, -0.25f}), 2, {-32768, 16384, 0, -8192}},
        {"dbl", SAMPLE_DBL, bytes_of<double>({-1.0, 0.5, 0.0, 1.5}), 2, {-32768, 16384, 0, 32767}},
        // Planar: the first channel's plane alone, as one channel.
        {"fltp", SAMPLE_FLTP, bytes_of<float>({-1.f, 0.5f}), 1, {-32768, 16384}},
        {"s16p", SAMPLE_S16P, bytes_of<int16_t>({-32768, 16384}), 1, {-32768, 16384}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> out = {7};  // appended after what is there
        int channels = append_s16({c.data.data(), int64_t(c.data.size()), c.format, 2, 2}, out);
        EXPECT_EQ(channels, c.channels);
        std::vector<int16_t> expected = {7};
        expected.insert(expected.end(), c.samples.begin(), c.samples.end());
        EXPECT_EQ(out, expected);
    }
}

TEST(AudioSamples, ShortOrUnusableDeliveriesAppendOnlyWhatIsThere) {
    std::vector<uint8_t> three = bytes_of<int16_t>({1, 2, 3});
    struct Case {
        const char *name;
        AudioView view;
        int channels;
        size_t appended;
    } cases[] = {
        {"size short of the count", {three.data(), 6, SAMPLE_S16, 2, 4}, 2, 2},  // one whole frame of two
        {"count short of the size", {three.data(), 6, SAMPLE_S16, 1, 2}, 1, 2},
        {"unknown format", {three.data(), 6, 12, 1, 3}, 0, 0},
        {"no data", {nullptr, 6, SAMPLE_S16, 1, 3}, 0, 0},
        {"no channels", {three.data(), 6, SAMPLE_S16, 0, 3}, 0, 0},
        {"negative size", {three.data(), -6, SAMPLE_S16, 1, 3}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> out;
        EXPECT_EQ(append_s16(c.view, out), c.channels);
        EXPECT_EQ(out.size(), c.appended);
    }
}

TEST(AudioSamples, VolumeScalesAndMutes) {
    struct Case {
        int percent;
        std::vector<int16_t> expected;
    } cases[] = {
        {100, {-32768, 32767, 1000}},
        {150, {-32768, 32767, 1000}},  // clamped to 100
        {50, {-8192, 8191, 250}},      // a quarter: loudness follows the square
        {0, {0, 0, 0}},
        {-5, {0, 0, 0}},
    };
    for (const Case &c : cases) {
        std::vector<int16_t> samples = {-32768, 32767, 1000};
        apply_volume(samples.data(), samples.size(), c.percent);
        EXPECT_EQ(samples, c.expected) << c.percent;
    }
}

TEST(PlaybackClock, FollowsTheSoundBeingHeard) {
    PlaybackClock clock;
    const int64_t rate = 48000 * 4;  // stereo 16-bit
    clock.FollowAudio(10'000'000, rate);
    EXPECT_TRUE(clock.follows_audio());
    auto now = PlaybackClock::Time{} + 5s;
    // Nothing queued yet: the clock stands at the start.
    EXPECT_EQ(clock.Now(0, now), 10'000'000);
    // 0.5 s queued, 0.2 s of it not yet heard: 0.3 s in.
    clock.AudioQueued(15'000'000);
    EXPECT_EQ(clock.Now(size_t(rate / 5), now), 13'000'000);
    // The system time does not move it; the output's level does.
    EXPECT_EQ(clock.Now(size_t(rate / 5), now + 1s), 13'000'000);
    EXPECT_EQ(clock.Now(0, now + 1s), 15'000'000);
}

TEST(PlaybackClock, RunsFreeAndStandsStillWhilePaused) {
    PlaybackClock clock;
    auto start = PlaybackClock::Time{} + 100s;
    clock.RunFree(2'000'000, start);
    EXPECT_FALSE(clock.follows_audio());
    EXPECT_EQ(clock.Now(12345, start + 250ms), 4'500'000);  // the queue level means nothing here
    clock.SetPaused(true, start + 1s);
    EXPECT_EQ(clock.Now(0, start + 5s), 12'000'000);
    clock.SetPaused(false, start + 5s);
    EXPECT_EQ(clock.Now(0, start + 5500ms), 17'000'000);
    // After the sound ended the clock runs on from its end, paused or not.
    clock.FollowAudio(0, 4);
    clock.AudioQueued(30'000'000);
    clock.RunFree(clock.audio_end(), start + 6s);
    EXPECT_EQ(clock.Now(0, start + 7s), 40'000'000);
}

TEST(FrameChoice, ShowsTheNewestDueFrameAndDropsTheOnesItSupersedes) {
    const int64_t early = 83'333;
    struct Case {
        const char *name;
        std::vector<int64_t> pts;
        int64_t clock;
        size_t late;
        bool show;
    } cases[] = {
        {"nothing waiting", {}, 1'000'000, 0, false},
        {"not yet due", {1'200'000, 1'533'333}, 1'000'000, 0, false},
        {"due within half a refresh", {1'080'000, 1'413'333}, 1'000'000, 0, true},
        {"exactly at the clock", {1'000'000}, 1'000'000, 0, true},
        {"one behind its successor", {600'000, 933'333, 1'266'666}, 1'000'000, 1, true},
        {"all due: the last is shown", {0, 333'333, 666'666}, 5'000'000, 2, true},
        {"late but nothing newer", {100'000}, 5'000'000, 0, true},
    };
    for (const Case &c : cases) {
        FrameChoice choice = choose_frame(c.pts, c.clock, early);
        EXPECT_EQ(choice.late, c.late) << c.name;
        EXPECT_EQ(choice.show, c.show) << c.name;
    }
}

TEST(FrameChoice, DriftFiguresKeepTheExtremesAndTheMean) {
    DriftStats drift;
    EXPECT_EQ(drift.mean(), 0);
    for (int64_t d : {-30'000, 10'000, 50'000, -10'000}) drift.Add(d);
    EXPECT_EQ(drift.count, 4);
    EXPECT_EQ(drift.min, -30'000);
    EXPECT_EQ(drift.max, 50'000);
    EXPECT_EQ(drift.mean(), 5'000);
}
