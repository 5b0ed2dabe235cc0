// The platform-free rules of transport: skip targets, chapter jumps, track
// order, clock texts, track names and the skip interval of the settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/transport.h"

using namespace shell;

namespace {

constexpr int64_t S = ONE_SECOND_TICKS;

}  // namespace

TEST(Transport, SkipTargetsStayWithinTheMedia) {
    struct Case {
        int64_t position, interval;
        int direction;
        int64_t duration, expected;
    } cases[] = {
        {12 * S, 10 * S, 1, 60 * S, 22 * S},      {12 * S, 10 * S, -1, 60 * S, 2 * S},
        {5 * S, 10 * S, -1, 60 * S, 0},            // not before the start
        {55 * S, 10 * S, 1, 60 * S, 60 * S},       // nor past the end
        {55 * S, 10 * S, 1, 0, 65 * S},            // an unknown duration sets no end
        {-3 * S, 10 * S, 1, 60 * S, 7 * S},        // a start offset's negative position
        {INT64_MAX - S, 10 * S, 1, 0, INT64_MAX},  // saturates instead of wrapping
        {INT64_MIN + S, 10 * S, -1, 60 * S, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.position);
        EXPECT_EQ(skip_target(c.position, c.interval, c.direction, c.duration), c.expected);
    }
    EXPECT_EQ(clamp_to_media(-1, 60 * S), 0);
    EXPECT_EQ(clamp_to_media(70 * S, 60 * S), 60 * S);
}

TEST(Transport, ChapterJumpsGoWhereUsersExpect) {
    const std::vector<int64_t> starts{0, 20 * S, 40 * S};
    const std::vector<int64_t> late_first{10 * S, 20 * S};
    struct Case {
        const char *what;
        const std::vector<int64_t> &starts;
        int64_t position;
        int direction;
        int chapter;  // -2: no jump
        int64_t target;
    } cases[] = {
        {"next from inside the first", starts, 5 * S, 1, 1, 20 * S},
        {"next just before a start", starts, 195 * S / 10, 1, 1, 20 * S},
        {"next at a start", starts, 20 * S, 1, 2, 40 * S},
        {"next from the last", starts, 45 * S, 1, -2, 0},
        {"previous well into a chapter restarts it", starts, 25 * S, -1, 1, 20 * S},
        {"previous near a chapter's start goes to the one before", starts, 22 * S, -1, 0, 0},
        {"previous just before a start", starts, 195 * S / 10, -1, 0, 0},
        {"previous at the very start stays there", starts, S, -1, 0, 0},
        {"previous before a late first chapter: the start", late_first, 2 * S, -1, -1, 0},
        {"previous early in a late first chapter: the start", late_first, 11 * S, -1, -1, 0},
        {"next before a late first chapter", late_first, 2 * S, 1, 0, 10 * S},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<ChapterJump> jump = chapter_jump(c.starts, c.position, c.direction);
        if (c.chapter == -2) {
            EXPECT_FALSE(jump.has_value());
            continue;
        }
        ASSERT_TRUE(jump.has_value());
        EXPECT_EQ(jump->chapter, c.chapter);
        EXPECT_EQ(jump->target, c.target);
    }
    EXPECT_EQ(chapter_at(starts, 30 * S), 1);
    EXPECT_EQ(chapter_at(late_first, 5 * S), -1);
}

TEST(Transport, TracksCycleInFileOrderAndSubtitlesPassThroughOff) {
    struct Case {
        int current, count;
        bool can_be_off;
        int expected;
    } cases[] = {
        {0, 2, false, 1}, {1, 2, false, 0}, {0, 1, false, 0}, {-1, 2, false, 0}, {7, 2, false, 0},
        {-1, 2, true, 0}, {0, 2, true, 1},  {1, 2, true, -1}, {0, 0, true, -1},  {-1, 0, false, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.current << " of " << c.count << (c.can_be_off ? " (off allowed)" : ""));
        EXPECT_EQ(next_track(c.current, c.count, c.can_be_off), c.expected);
    }
}

TEST(Transport, ClockTextsAndTrackNames) {
    struct Clock {
        int64_t ticks;
        bool with_hours;
        const char *expected;
    } clocks[] = {
        {0, false, "0:00"},         {59 * S + S / 2, false, "0:59"}, {61 * S, false, "1:01"},
        {3599 * S, false, "59:59"}, {3600 * S, false, "1:00:00"},    {36061 * S, false, "10:01:01"},
        {61 * S, true, "0:01:01"},  {-5 * S, false, "0:00"},
    };
    for (const Clock &c : clocks) EXPECT_EQ(clock_text(c.ticks, c.with_hours), c.expected) << c.ticks;
    struct Name {
        const char *title, *language, *codec, *expected;
    } names[] = {
        {"Commentary", "eng", "aac", "Commentary - eng (aac)"},
        {"", "eng", "aac", "eng (aac)"},
        {"", "und", "ac3", "(ac3)"},
        {"Signs", "", "", "Signs"},
        {"", "", "", ""},
    };
    for (const Name &n : names) EXPECT_EQ(track_name(n.title, n.language, n.codec), n.expected) << n.expected;
}

TEST(Transport, SkipIntervalFollowsTheSettingsChoice) {
    auto settings = [](const std::string &chosen, const std::string &values) {
        return R"({"Key": "Settings", "Settings": [{"Key": "Playback", "Items": [)"
               R"({"Key": "Other", "DefaultValue": "Skip30"},)"
               R"({"Key": "SkipInterval", "Type": "Choice", "DefaultValue": ")" +
               chosen + R"(", "Values": [)" + values + "]}]}]}";
    };
    const std::string values = R"({"Key": "Skip5", "DefaultValue": "5"}, {"Key": "Skip30", "DefaultValue": "30"},)"
                               R"({"Key": "Half", "DefaultValue": "2.5"}, {"Key": "Zero", "DefaultValue": "0"},)"
                               R"({"Key": "Words", "DefaultValue": "ten"}, {"Key": "Day", "DefaultValue": "86400"})";
    struct Case {
        std::string json;
        std::optional<int64_t> expected;
    } cases[] = {
        {settings("Skip30", values), 30 * S},
        {settings("Skip5", values), 5 * S},
        {settings("Half", values), 25 * S / 10},
        {settings("Zero", values), std::nullopt},
        {settings("Words", values), std::nullopt},
        {settings("Day", values), std::nullopt},
        {settings("Missing", values), std::nullopt},
        {R"({"Key": "Settings"})", std::nullopt},
        {"{not json", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(skip_interval_ticks(c.json), c.expected);
    }
}
