// The platform-free rules of transport while playing: where a skip or a
// chapter jump goes, which track comes next, how a time reads on screen, and
// the skip interval the settings template chooses. Times are 100 ns ticks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace shell {

inline constexpr int64_t ONE_SECOND_TICKS = 10'000'000;
inline constexpr int64_t DEFAULT_SKIP_TICKS = 10 * ONE_SECOND_TICKS;
// "previous" further into a chapter than this restarts it; closer, it goes to the one before.
inline constexpr int64_t CHAPTER_RESTART_TICKS = 3 * ONE_SECOND_TICKS;

// `position` moved by `direction` (+1 or -1) times `interval`, kept within
// 0..duration (no upper bound when the duration is unknown, 0 or less).
int64_t skip_target(int64_t position, int64_t interval, int direction, int64_t duration);

// Keeps a seek target within 0..duration (no upper bound for an unknown duration).
int64_t clamp_to_media(int64_t ticks, int64_t duration);

struct ChapterJump {
    int chapter;     // index into the starts; -1: the start of the media
    int64_t target;  // ticks
};

// Where "next" (direction > 0) or "previous" goes from `position` among
// chapters starting at `starts` (ascending): the next chapter's start, or
// nothing after the last; for "previous", the start of the current chapter
// when more than CHAPTER_RESTART_TICKS into it, else the one before (the
// start of the media before the first).
std::optional<ChapterJump> chapter_jump(std::span<const int64_t> starts, int64_t position, int direction);

// The chapter `position` lies in, -1 before the first.
int chapter_at(std::span<const int64_t> starts, int64_t position);

// The track after `current` among `count`: audio wraps around; with `can_be_off`
// (subtitles) the order is off (-1), 0, 1, ..., count - 1, off. -1 when there is none.
int next_track(int current, int count, bool can_be_off);

// "m:ss" below an hour, "h:mm:ss" from an hour or when `with_hours`; negative times read as 0.
std::string clock_text(int64_t ticks, bool with_hours = false);

// A track's name on screen from its stream fields (any may be empty):
// "Title - lang (codec)", "lang (codec)", "(codec)"; "und" counts as no language.
std::string track_name(std::string_view title, std::string_view language, std::string_view codec);

// The skip interval the settings template chooses: the "SkipInterval" item's
// value names one of its "Values", whose value is the number of seconds.
// Nothing when the text has no such item or the choice is not a positive
// number of seconds (at most an hour).
std::optional<int64_t> skip_interval_ticks(std::string_view settings_json);

}  // namespace shell
