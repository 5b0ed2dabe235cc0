// The sound output on SDL2: a device opened at the stream's rate and channel
// count, fed through SDL's audio queue.
#pragma once

#include <SDL.h>

#include "app/audio_output.h"

namespace shell::sdl {

class SdlAudioOutput final : public AudioOutput {
public:
    SdlAudioOutput() = default;
    ~SdlAudioOutput() override;
    SdlAudioOutput(const SdlAudioOutput &) = delete;
    SdlAudioOutput &operator=(const SdlAudioOutput &) = delete;

    bool Open(const AudioFormat &format, std::string &error) override;
    bool is_open() const override { return device_ != 0; }
    bool Queue(const void *samples, size_t bytes) override;
    size_t QueuedBytes() const override;
    void Clear() override;
    void SetPaused(bool paused) override;
    void Close() override;

private:
    bool subsystem_ = false;  // SDL's audio subsystem started for this output
    SDL_AudioDeviceID device_ = 0;
    size_t device_buffer_bytes_ = 0;
};

}  // namespace shell::sdl
