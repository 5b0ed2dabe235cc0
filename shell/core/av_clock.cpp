#include "av_clock.h"

#include <algorithm>

namespace shell {

namespace {

int64_t ticks_between(PlaybackClock::Time from, PlaybackClock::Time to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count() / 100;
}

}  // namespace

void PlaybackClock::RunFree(int64_t pts, Time now) {
    follows_audio_ = false;
    anchor_pts_ = pts;
    anchor_time_ = now;
}

void PlaybackClock::FollowAudio(int64_t pts, int64_t bytes_per_second) {
    follows_audio_ = bytes_per_second > 0;
    bytes_per_second_ = bytes_per_second;
    audio_end_ = pts;
    anchor_pts_ = pts;
}

void PlaybackClock::SetPaused(bool paused, Time now) {
    if (paused == paused_) return;
    if (paused) anchor_pts_ = Now(0, now);
    anchor_time_ = now;
    paused_ = paused;
}

int64_t PlaybackClock::Now(size_t queued_bytes, Time now) const {
    if (follows_audio_)
        return audio_end_ - int64_t(double(queued_bytes) * PLAYBACK_TICKS_PER_SECOND / double(bytes_per_second_));
    if (paused_) return anchor_pts_;
    return anchor_pts_ + ticks_between(anchor_time_, now);
}

FrameChoice choose_frame(std::span<const int64_t> pts, int64_t clock, int64_t early) {
    size_t due = 0;
    while (due < pts.size() && pts[due] <= clock + early) due++;
    if (due == 0) return {};
    return {due - 1, true};
}

void DriftStats::Add(int64_t drift) {
    min = count ? std::min(min, drift) : drift;
    max = count ? std::max(max, drift) : drift;
    sum += drift;
    count++;
}

}  // namespace shell
