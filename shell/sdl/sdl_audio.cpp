#include "sdl_audio.h"

namespace shell::sdl {
namespace {

// Samples per channel the device takes at a time: about 11 ms at 48 kHz,
// which is also how finely the queue level moves.
constexpr Uint16 DEVICE_SAMPLES = 512;

}  // namespace

SdlAudioOutput::~SdlAudioOutput() {
    Close();
    if (subsystem_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

bool SdlAudioOutput::Open(const AudioFormat &format, std::string &error) {
    Close();
    if (!subsystem_) {
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            error = std::string("no audio driver: ") + SDL_GetError();
            return false;
        }
        subsystem_ = true;
    }
    SDL_AudioSpec wanted{};
    wanted.freq = format.sample_rate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = Uint8(format.channels);
    wanted.samples = DEVICE_SAMPLES;
    if (format.sample_rate <= 0 || format.channels <= 0 || format.channels > 255) {
        error = "unusable format";
        return false;
    }
    // No changes allowed: SDL converts to what the hardware takes.
    SDL_AudioSpec obtained{};
    device_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    if (device_ == 0) {
        error = SDL_GetError();
        return false;
    }
    device_buffer_bytes_ = size_t(obtained.samples) * size_t(format.frame_bytes());
    return true;
}

bool SdlAudioOutput::Queue(const void *samples, size_t bytes) {
    return device_ != 0 && bytes <= SDL_MAX_UINT32 && SDL_QueueAudio(device_, samples, Uint32(bytes)) == 0;
}

size_t SdlAudioOutput::QueuedBytes() const {
    if (device_ == 0) return 0;
    size_t queued = SDL_GetQueuedAudioSize(device_);
    // The buffer the device is playing left the queue but has not been heard;
    // half of it on average.
    bool playing = SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_PLAYING;
    return queued + (playing && queued ? device_buffer_bytes_ / 2 : 0);
}

void SdlAudioOutput::Clear() {
    if (device_ != 0) SDL_ClearQueuedAudio(device_);
}

void SdlAudioOutput::SetPaused(bool paused) {
    if (device_ != 0) SDL_PauseAudioDevice(device_, paused ? 1 : 0);
}

void SdlAudioOutput::Close() {
    if (device_ == 0) return;
    SDL_CloseAudioDevice(device_);
    device_ = 0;
}

}  // namespace shell::sdl
