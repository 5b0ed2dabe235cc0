// A sound output for ShellView tests: it keeps what is queued, and plays
// only as much of it as the test says, so the playback clock moves at the
// test's command. Formats with more channels than `max_channels` are refused.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "app/audio_output.h"

namespace shell {

class FakeAudioOutput final : public AudioOutput {
public:
    struct State {
        std::mutex mutex;
        int max_channels = 8;
        std::vector<AudioFormat> opened;  // every successful open, in order
        std::vector<int16_t> samples;     // everything queued since the last open or clear
        size_t played = 0;                // bytes of it heard
        bool paused = true;
        int clears = 0;
        // Plays up to `bytes` in all (never beyond what was queued).
        void Play(size_t bytes) {
            std::lock_guard lock(mutex);
            played = std::min(bytes, samples.size() * 2);
        }
        size_t queued_bytes() {
            std::lock_guard lock(mutex);
            return samples.size() * 2;
        }
    };

    explicit FakeAudioOutput(std::shared_ptr<State> state) : state_(std::move(state)) {}

    bool Open(const AudioFormat &format, std::string &error) override {
        std::lock_guard lock(state_->mutex);
        if (format.channels > state_->max_channels) {
            error = "too many channels";
            return false;
        }
        state_->opened.push_back(format);
        state_->samples.clear();
        state_->played = 0;
        state_->paused = true;
        open_ = true;
        return true;
    }
    bool is_open() const override { return open_; }
    bool Queue(const void *samples, size_t bytes) override {
        std::lock_guard lock(state_->mutex);
        const auto *first = static_cast<const int16_t *>(samples);
        state_->samples.insert(state_->samples.end(), first, first + bytes / 2);
        return open_;
    }
    size_t QueuedBytes() const override {
        std::lock_guard lock(state_->mutex);
        return state_->samples.size() * 2 - state_->played;
    }
    void Clear() override {
        std::lock_guard lock(state_->mutex);
        state_->played = state_->samples.size() * 2;
        state_->clears++;
    }
    void SetPaused(bool paused) override {
        std::lock_guard lock(state_->mutex);
        state_->paused = paused;
    }
    void Close() override { open_ = false; }

private:
    std::shared_ptr<State> state_;
    bool open_ = false;
};

}  // namespace shell
