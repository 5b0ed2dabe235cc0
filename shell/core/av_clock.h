// Pacing of a playback: the clock pictures are shown against (the sound being
// heard, or the system clock without sound), which of the waiting frames a
// display refresh shows, and how far shown frames were from the clock.
// Platform-free and not thread-safe: the view guards its clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace shell {

// The engine's time unit: 100 ns.
inline constexpr int64_t PLAYBACK_TICKS_PER_SECOND = 10'000'000;

class PlaybackClock {
public:
    using Time = std::chrono::steady_clock::time_point;

    // Runs on the system clock from `pts` at `now`.
    void RunFree(int64_t pts, Time now);
    // Follows the sound: its time is the end of what was queued (from `pts`
    // until something is) less what the output still holds, played at
    // `bytes_per_second`.
    void FollowAudio(int64_t pts, int64_t bytes_per_second);
    // Sound up to `end_pts` is queued.
    void AudioQueued(int64_t end_pts) { audio_end_ = end_pts; }
    bool follows_audio() const { return follows_audio_; }
    int64_t audio_end() const { return audio_end_; }
    // A paused system clock stands still; the sound's stands still with its output.
    void SetPaused(bool paused, Time now);
    // The time being shown now, with `queued_bytes` of sound not yet heard.
    int64_t Now(size_t queued_bytes, Time now) const;

private:
    bool follows_audio_ = false;
    int64_t bytes_per_second_ = 0;
    int64_t audio_end_ = 0;
    int64_t anchor_pts_ = 0;
    Time anchor_time_{};
    bool paused_ = false;
};

// What a display refresh does with the frames waiting, in presentation order.
struct FrameChoice {
    size_t late = 0;    // leading frames whose successor is due too: dropped unseen
    bool show = false;  // the frame after them is due: shown now
};

// Frames are due when their time is at most `clock` + `early` (half a
// refresh: the picture stays up until the next one).
FrameChoice choose_frame(std::span<const int64_t> pts, int64_t clock, int64_t early);

// Presented frame time minus the clock, in ticks.
struct DriftStats {
    int64_t count = 0;
    int64_t min = 0;
    int64_t max = 0;
    int64_t sum = 0;
    void Add(int64_t drift);
    int64_t mean() const { return count ? sum / count : 0; }
};

}  // namespace shell
