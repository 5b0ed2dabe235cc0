// What a playback needs of the sound device: a queue of interleaved signed
// 16-bit samples that the device plays at its own pace, and how much of it is
// still waiting, which is the clock pictures are shown against. Any thread
// may call an output, one at a time.
#pragma once

#include <cstddef>
#include <string>

namespace shell {

struct AudioFormat {
    int sample_rate = 0;
    int channels = 0;
    // Bytes of one sample on every channel.
    int frame_bytes() const { return channels * 2; }
    bool operator==(const AudioFormat &) const = default;
};

class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    // Opens the device for `format` (closing an earlier one), paused; false with
    // `error` saying why.
    virtual bool Open(const AudioFormat &format, std::string &error) = 0;
    virtual bool is_open() const = 0;
    // Appends whole sample frames; false when the device refuses them.
    virtual bool Queue(const void *samples, size_t bytes) = 0;
    // Bytes queued and not yet played, the device's own buffer included.
    virtual size_t QueuedBytes() const = 0;
    // Drops everything queued (a seek, a new stream).
    virtual void Clear() = 0;
    virtual void SetPaused(bool paused) = 0;
    virtual void Close() = 0;
};

// The output of a platform without a sound device: it never opens, and a
// playback runs on the system clock.
class NullAudioOutput final : public AudioOutput {
public:
    bool Open(const AudioFormat &, std::string &error) override {
        error = "no audio device";
        return false;
    }
    bool is_open() const override { return false; }
    bool Queue(const void *, size_t) override { return false; }
    size_t QueuedBytes() const override { return 0; }
    void Clear() override {}
    void SetPaused(bool) override {}
    void Close() override {}
};

}  // namespace shell
