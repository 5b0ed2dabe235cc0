// The playback session: two engine instances on one file (pictures and sound;
// subtitles), the pump thread that converts frames and pulls cues, and how
// pictures reach the screen: paced to the sound on every display refresh, or
// the newest frame on each heartbeat.
//
// Paced: the pump keeps the sound output about AUDIO_AHEAD ahead of what is
// heard (pulling sound by that need, never per frame) and a few converted
// frames waiting; the display tick shows each frame when the clock reaches
// it. The engine keeps only a few packets per stream and drops a stream's
// packets once its queue is full, so pulling one stream while another one
// waits loses the other's packets: the pump raises that limit on its own
// instance, and pulls each stream as the clock needs it.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <new>

#include "app/shell_view.h"
#include "core/audio_samples.h"
#include "core/cue_text.h"
#include "core/frame_convert.h"
#include "core/library_loader.h"
#include "core/platform_error.h"
#include "core/shell_log.h"
#include "core/text.h"

namespace shell {

namespace {

constexpr int MAX_CONSECUTIVE_FAILURES = 200;
constexpr int CUES_PER_FRAME = 8;
constexpr size_t CUE_TEXT_CAPACITY = 512;
constexpr int SAMPLE_MODE_DECODE = 1;
constexpr int CUE_KIND_TEXT = 1;

// Paced presentation.
constexpr int64_t AUDIO_AHEAD = 2'000'000;  // sound queued beyond what is heard
constexpr size_t FRAMES_AHEAD = 3;          // converted frames waiting for their refresh
constexpr int64_t DISPLAY_EARLY = 83'333;   // half a refresh at 60 Hz
constexpr int64_t AUDIO_GAP = 1'000'000;    // sound starting this far past the last is a gap, not jitter
constexpr int64_t END_GRACE = 10'000'000;   // sound going on this far past the duration ends anyway
constexpr int AUDIO_PULLS_PER_PASS = 64;    // then the pictures get a turn
constexpr int MAX_LATE_RUN = 5;             // late pictures dropped unconverted in a row, at most
constexpr auto IDLE_WAIT = std::chrono::milliseconds(5);
constexpr auto PAUSED_WAIT = std::chrono::milliseconds(20);
// Packets the engine may queue per stream on the pump's own instance: enough for
// several seconds of the stream the pump is not pulling at the moment.
constexpr const char *PACED_ENGINE_CONFIG = R"({"general":{"queue_max_packets":1024}})";
constexpr const char *DOWNMIX_CONFIG = R"({"audio":{"downmix_to_stereo":true}})";

// Rate limits of the pump's frequent log lines, for the whole process.
std::atomic<int> audio_pulls_logged{0};
std::atomic<int> unconvertible_logged{0};
std::atomic<int> cue_pulls_logged{0};
std::atomic<int> unplayable_audio_logged{0};
std::atomic<int> late_frames_logged{0};

bool first_few(std::atomic<int> &counter, int limit) { return counter.fetch_add(1) < limit; }

// The first few sound pulls of the process, and every hundredth sound frame.
void log_audio_pull(int rc, const oppb_sample &sample) {
    if (first_few(audio_pulls_logged, 4))
        log_line(u"audio pull rc=%d data=%p size=%zu sr=%d ch=%d fmt=%d nbs=%d", rc, sample.data,
                 (long long)sample.size, sample.sample_rate, sample.channels, sample.sample_format, sample.sample_count);
}

void log_audio_frame(int audio_frames, const oppb_sample &sample) {
    if (audio_frames % 100 == 1)
        log_line(u"audio frame %d size=%zu sr=%d ch=%d fmt=%d nbs=%d", audio_frames, (long long)sample.size,
                 sample.sample_rate, sample.channels, sample.sample_format, sample.sample_count);
}

// The first few drops of the process, then one line per hundred frames dropped.
void log_late(size_t late, int64_t clock, int64_t dropped_in_all) {
    bool hundred_passed = dropped_in_all / 100 != (dropped_in_all - int64_t(late)) / 100;
    if (first_few(late_frames_logged, 5) || hundred_passed)
        log_line(u"late frames dropped: %d at clock %lld (%lld in all)", int(late), (long long)clock,
                 (long long)dropped_in_all);
}

int parse_index(const char *text) {
    if (!text || !*text) return -1;
    int value = -1;
    auto [end, status] = std::from_chars(text, text + std::strlen(text), value);
    return status == std::errc() ? value : -1;
}

}  // namespace

void ShellView::ClearPicture() {
    {
        std::lock_guard lock(frame_.mutex);
        frame_.pixels = {};
        frame_.ready = false;
    }
    chrome_.video_image->source = nullptr;
    chrome_.subtitle->text.clear();
}

void ShellView::PlayPath(const std::u16string &path) {
    StopPlayback();
    std::string utf8 = utf16_to_utf8(path);
    log_line(u"PlayPath %s", path);
    media_path_ = path;
    const auto &b = bindings_;
    if (!b.oppb_open_path || !b.oppb_next_sample) {
        SetStatus(u"open failed: %S", "no engine");
        return;
    }
    // A FIFO would block the open for as long as nobody writes to it.
    if (!platform_.IsRegularFile(utf8)) {
        log_line(u"not a regular file: %s", path);
        SetStatus(u"open failed: %S", "not a regular file");
        return;
    }
    main_ = b.oppb_open_path(utf8.c_str(), nullptr);
    if (!main_) {
        SetStatus(u"open failed: %S", "no engine");
        return;
    }
    duration_ = b.oppb_duration_ticks ? b.oppb_duration_ticks(main_) : 0;
    auto count_of = [&](const char *kind) { return b.oppb_stream_count ? b.oppb_stream_count(main_, kind) : 0; };
    int videos = count_of("video"), audios = count_of("audio"), subtitles = count_of("subtitle");
    auto first_index = [&](const char *kind, int count) {
        if (count < 1 || !b.oppb_stream_field) return -1;
        return parse_index(b.oppb_stream_field(main_, kind, 0, "index"));
    };
    video_stream_ = first_index("video", videos);
    audio_stream_ = first_index("audio", audios);
    subtitle_stream_ = first_index("subtitle", subtitles);
    if (b.oppb_set_subtitle_index) b.oppb_set_subtitle_index(main_, 0, -1);
    // The engine delivers only the streams selected on it, and its own choice
    // of audio need not be the first.
    if (b.oppb_select_stream) {
        if (video_stream_ != -1)
            log_line(u"select_stream(video,%d) -> %d", video_stream_, b.oppb_select_stream(main_, "video", video_stream_));
        if (audio_stream_ != -1)
            log_line(u"select_stream(audio,%d) -> %d", audio_stream_, b.oppb_select_stream(main_, "audio", audio_stream_));
    }
    if (b.oppb_sample_mode) {
        if (video_stream_ != -1)
            log_line(u"sample_mode(video %d, decode) -> %d", video_stream_,
                     b.oppb_sample_mode(main_, video_stream_, SAMPLE_MODE_DECODE));
        if (audio_stream_ != -1)
            log_line(u"sample_mode(audio %d, decode) -> %d", audio_stream_,
                     b.oppb_sample_mode(main_, audio_stream_, SAMPLE_MODE_DECODE));
    }
    if (subtitle_stream_ != -1) {
        subtitles_ = b.oppb_open_path(utf8.c_str(), nullptr);
        if (!subtitles_) {
            log_line(u"sub: second instance FAILED");
        } else {
            if (b.oppb_select_stream)
                log_line(u"sub: select_stream(subtitle,%d) -> %d", subtitle_stream_,
                         b.oppb_select_stream(subtitles_, "subtitle", subtitle_stream_));
            if (b.oppb_set_subtitle_index)
                log_line(u"sub: set_subtitle_index(primary,%d) -> %d", subtitle_stream_,
                         b.oppb_set_subtitle_index(subtitles_, 0, subtitle_stream_));
        }
    }
    position_ = 0;
    cue_clear(&model_);
    log_line(u"opened: dur=%lld v=%d a=%d sub=%d", (long long)duration_, videos, audios, subtitles);
    subtitle_codec_[0] = '\0';
    for (int i = 0; i < subtitles; i++) {
        const char *codec = b.oppb_stream_field ? b.oppb_stream_field(main_, "subtitle", i, "codec") : nullptr;
        std::string codec_text = codec ? codec : "?";
        if (i == 0 && codec) {
            size_t length = utf8_cut(codec, sizeof subtitle_codec_ - 1);
            std::memcpy(subtitle_codec_, codec, length);
            subtitle_codec_[length] = '\0';
        }
        const char *language = b.oppb_stream_field ? b.oppb_stream_field(main_, "subtitle", i, "language") : nullptr;
        log_line(u"  sub[%d] %S %S", i, codec_text, language ? language : "?");
    }
    // A new file starts on a black picture without the last file's subtitle.
    ClearPicture();
    shown_subtitle_.clear();
    newest_cue_start_ = INT64_MIN;
    generation_++;
    if (presentation_ == Presentation::Paced) PreparePacing();
    chrome_.video->visibility = ui::Visibility::Visible;
    playing_ = true;
    stop_requested_ = false;
    StartPump();
    SetStatus(u"playing %s", path);
}

void ShellView::StartPump() {
    if (presentation_ == Presentation::Paced) {
        std::lock_guard lock(av_mutex_);
        pump_done_ = false;
    }
    pump_ = std::thread([self = shared_from_this(), generation = generation_]() mutable {
        self->RunPump(generation);
        self.reset();
    });
    if (presentation_ == Presentation::Paced && !display_tick_running_) {
        display_tick_running_ = true;
        platform_.StartDisplayTick([view = weak_from_this()] {
            auto self = view.lock();
            return self ? self->OnDisplayTick() : TickOutcome::Stop;
        });
    }
}

void ShellView::StopPlayback() {
    {
        std::lock_guard lock(pump_mutex_);
        stop_requested_ = true;
        playing_ = false;
    }
    pump_wake_.notify_all();
    if (pump_.joinable()) pump_.join();
    if (audio_) audio_->Close();
    {
        std::lock_guard lock(av_mutex_);
        frames_.clear();
        pump_done_ = true;
    }
    feed_.pending.clear();
    if (bindings_.oppb_close) {
        if (subtitles_) bindings_.oppb_close(subtitles_);
        if (main_) bindings_.oppb_close(main_);
        subtitles_ = nullptr;
        main_ = nullptr;
    }
    if (chrome_.video) chrome_.video->visibility = ui::Visibility::Collapsed;
}

void ShellView::WaitForPump() {
    if (pump_.joinable()) pump_.join();
}

void ShellView::RunPump(uint64_t generation) {
    try {
        if (presentation_ == Presentation::Paced)
            PumpPaced(generation);
        else
            Pump(generation);
    } catch (const PlatformError &failure) {
        log_line(u"pump threw 0x%08X", failure.code());
        playing_ = false;
        flush_log();
    } catch (...) {
        log_line(u"pump threw (native)");
        playing_ = false;
        flush_log();
    }
    {
        std::lock_guard lock(av_mutex_);
        pump_done_ = true;
    }
    pump_ended_generation_ = generation;
}

void ShellView::Pump(uint64_t generation) {
    using Clock = std::chrono::steady_clock;
    const auto &b = bindings_;
    int video_frames = 0, audio_frames = 0, failures = 0;
    oppb_sample sample;
    // Waits end early when a stop is requested.
    auto wait_until = [this](Clock::time_point until) {
        std::unique_lock lock(pump_mutex_);
        pump_wake_.wait_until(lock, until, [this] { return stop_requested_.load(); });
    };
    while (!stop_requested_) {
        ApplyPumpRequests();
        if (!playing_) {
            wait_until(Clock::now() + std::chrono::milliseconds(20));
            continue;
        }
        if (!main_) break;
        if (audio_stream_ != -1) {
            std::memset(&sample, 0, sizeof sample);
            int rc = b.oppb_next_sample(main_, audio_stream_, &sample);
            log_audio_pull(rc, sample);
            if (rc == 0 && sample.data && sample.size != 0) log_audio_frame(++audio_frames, sample);
        }
        if (video_stream_ == -1) {
            wait_until(Clock::now() + std::chrono::milliseconds(10));
        } else {
            std::memset(&sample, 0, sizeof sample);
            int rc = b.oppb_next_sample(main_, video_stream_, &sample);
            if (rc == 1) {
                log_line(u"video EOF after %d frames", video_frames);
                break;
            }
            if (rc != 0) {
                if (++failures > MAX_CONSECUTIVE_FAILURES) {
                    log_line(u"video stalled (rc=%d) after %d frames", rc, video_frames);
                    break;
                }
            } else {
                position_ = sample.pts;
                video_frames++;
                failures = 0;
                ConvertAndStore(sample);
                auto until = Clock::now() + std::chrono::microseconds(frame_wait_microseconds(sample.duration));
                PullCues(sample.pts, generation);
                wait_until(until);
            }
        }
        int64_t duration = duration_;
        if (duration > 0 && position_ >= duration) break;
    }
    playing_ = false;
    log_line(u"pump exit: %d video, %d audio frames, pos=%lld", video_frames, audio_frames, (long long)position_);
    flush_log();
}

bool ShellView::ConvertFrame(const oppb_sample &sample, std::vector<uint8_t> &pixels) {
    FrameView view{{sample.planes[0], sample.planes[1], sample.planes[2]},
                   {sample.line_sizes[0], sample.line_sizes[1], sample.line_sizes[2]},
                   sample.width,
                   sample.height,
                   sample.pixel_format};
    auto report = [&](int rc) {
        if (first_few(unconvertible_logged, 3))
            log_line(u"frame pix_fmt %d not convertible (rc=%d)", sample.pixel_format, rc);
    };
    size_t size = bgra_size(sample.width, sample.height);
    if (size == 0) {
        // Too large to show is as unconvertible as an unknown format.
        if (sample.width > 0 && sample.height > 0) report(1);
        return false;
    }
    try {
        pixels.resize(size);
    } catch (const std::bad_alloc &) {
        log_line(u"frame %dx%d: out of memory", sample.width, sample.height);
        return false;
    }
    int rc = convert_frame_to_bgra(&view, pixels.data(), pixels.size());
    if (rc != 0) {
        report(rc);
        return false;
    }
    return true;
}

void ShellView::ConvertAndStore(const oppb_sample &sample) {
    std::vector<uint8_t> pixels;
    if (!ConvertFrame(sample, pixels)) return;
    std::lock_guard lock(frame_.mutex);
    frame_.pixels.swap(pixels);
    frame_.width = sample.width;
    frame_.height = sample.height;
    frame_.ready = true;
}

void ShellView::PullCues(int64_t video_time, uint64_t generation) {
    const auto &b = bindings_;
    if (subtitle_stream_ == -1 || !subtitles_ || !b.oppb_next_subtitle) return;
    oppb_cue cue;
    std::memset(&cue, 0, sizeof cue);
    // Cues are pulled up to the video time and one beyond; the store keeps those not yet ended.
    for (int pulled = 0; pulled < CUES_PER_FRAME && newest_cue_start_ <= video_time; pulled++) {
        int rc = b.oppb_next_subtitle(subtitles_, -1, &cue);
        if (first_few(cue_pulls_logged, 5)) log_line(u"cue pull rc=%d kind=%d text=%S", rc, cue.kind, cue.text);
        if (rc != 0) break;
        newest_cue_start_ = cue.start;
        if (cue.kind != CUE_KIND_TEXT) continue;
        char text[CUE_TEXT_CAPACITY];
        size_t length = extract_cue_text(cue.text, cue.data, cue.data ? size_t(std::max<int64_t>(cue.size, 0)) : 0,
                                         subtitle_codec_, text, sizeof text);
        if (length == 0) continue;
        if (model_.cue_count >= MODEL_CUE_CAPACITY) cue_prune_ended(&model_, video_time);
        cue_add(&model_, cue.start, cue.duration, text);
        log_line(u"cue @%lld..%lld %S", (long long)cue.start, (long long)(cue.start + cue.duration), text);
    }
    std::string current = cue_find(&model_, video_time);
    if (current == shown_subtitle_) return;
    shown_subtitle_ = current;
    platform_.Post([view = weak_from_this(), generation, text = std::move(current)] {
        auto self = view.lock();
        if (!self || self->generation_ != generation) return;
        // Line breaks inside a cue may come as CR LF; the text block breaks at LF.
        std::u16string shown = utf8_to_utf16(text);
        std::erase(shown, u'\r');
        self->chrome_.subtitle->text = std::move(shown);
    });
}

// ---- paced presentation ----

void ShellView::PreparePacing() {
    feed_ = AudioFeed{};
    video_ended_ = video_stream_ == -1;
    pictures_since_start_ = 0;
    pump_late_run_ = 0;
    {
        std::lock_guard lock(av_mutex_);
        frames_.clear();
        clock_ = PlaybackClock{};
        clock_started_ = false;
        pump_done_ = false;
        figures_ = PacingFigures{};
    }
    if (!oppb_set_config_ && bindings_.oppb_module)
        oppb_set_config_ = reinterpret_cast<int32_t (*)(oppb_engine *, const char *)>(
            library_export(bindings_.oppb_module, "oppb_set_config"));
    if (oppb_set_config_)
        log_line(u"set_config(queue_max_packets) -> %d", oppb_set_config_(main_, PACED_ENGINE_CONFIG));
    if (audio_stream_ == -1) {
        log_line(u"no audio stream: video runs on the system clock");
        return;
    }
    if (!audio_) audio_ = platform_.CreateAudioOutput();
    // Opened at the format the engine names, before anything is decoded: a
    // layout the output refuses is then mixed down from the first sound on.
    auto field = [this](const char *name) {
        return parse_index(bindings_.oppb_stream_field ? bindings_.oppb_stream_field(main_, "audio", 0, name) : nullptr);
    };
    AudioFormat format{field("sample_rate"), field("channels")};
    if (format.sample_rate > 0 && format.channels > 0) OpenAudio(format);
}

bool ShellView::OpenAudio(const AudioFormat &format) {
    std::string error;
    bool opened;
    {
        std::lock_guard lock(av_mutex_);
        opened = audio_->Open(format, error);
    }
    if (opened) {
        log_line(u"audio output: %d Hz, %d channels", format.sample_rate, format.channels);
        feed_.device = format;
        feed_.fresh = true;
        return true;
    }
    log_line(u"audio output %d Hz, %d channels failed: %S", format.sample_rate, format.channels, error);
    if (format.channels > 2 && !feed_.downmixed && oppb_set_config_) {
        // The engine mixes down from its next decoded frame on; sound already
        // decoded in this layout cannot be played.
        feed_.downmixed = true;
        feed_.unplayable = format;
        log_line(u"set_config(downmix_to_stereo) -> %d", oppb_set_config_(main_, DOWNMIX_CONFIG));
        return OpenAudio({format.sample_rate, 2});
    }
    AudioFailed("no output");
    return false;
}

void ShellView::AudioFailed(const char *reason) {
    feed_.failed = true;
    feed_.pending.clear();
    log_line(u"audio: %S: video runs on the system clock", reason);
    std::lock_guard lock(av_mutex_);
    int64_t now = ClockNowLocked();
    if (audio_) audio_->Close();
    if (clock_started_) clock_.RunFree(now, std::chrono::steady_clock::now());
}

bool ShellView::PullAudio(int &audio_frames) {
    oppb_sample sample;
    std::memset(&sample, 0, sizeof sample);
    int rc = bindings_.oppb_next_sample(main_, audio_stream_, &sample);
    log_audio_pull(rc, sample);
    if (rc == OPPB_END) {
        log_line(u"audio EOF after %d frames", audio_frames);
        feed_.ended = true;
        return false;
    }
    if (rc != OPPB_OK) {
        if (++feed_.failures > MAX_CONSECUTIVE_FAILURES) {
            log_line(u"audio stalled (rc=%d) after %d frames", rc, audio_frames);
            feed_.ended = true;
        }
        return false;
    }
    feed_.failures = 0;
    if (!sample.data || sample.size == 0) return true;
    log_audio_frame(++audio_frames, sample);
    AudioChunk chunk;
    int channels = append_s16({sample.data, sample.size, sample.sample_format, sample.channels, sample.sample_count},
                              chunk.samples);
    if (channels == 0 || sample.sample_rate <= 0) {
        if (first_few(unplayable_audio_logged, 3))
            log_line(u"audio fmt %d sr=%d not playable", sample.sample_format, sample.sample_rate);
        return true;
    }
    chunk.format = {sample.sample_rate, channels};
    int64_t frames = int64_t(chunk.samples.size()) / channels;
    // Deliveries are played back to back: one follows the last unless it
    // leaves a real gap, so that rounded times do not drift the clock.
    chunk.pts = sample.pts;
    if (feed_.pulled_end != INT64_MIN && chunk.pts < feed_.pulled_end + AUDIO_GAP) chunk.pts = feed_.pulled_end;
    if (feed_.first_pts == INT64_MIN) feed_.first_pts = chunk.pts;
    feed_.pulled_end = chunk.pts + frames * PLAYBACK_TICKS_PER_SECOND / sample.sample_rate;
    // Without an output the sound is pulled at its pace and dropped.
    if (!feed_.failed) feed_.pending.push_back(std::move(chunk));
    return true;
}

void ShellView::FeedAudio() {
    while (!feed_.pending.empty()) {
        AudioChunk &chunk = feed_.pending.front();
        if (feed_.failed) return;
        if (chunk.format == feed_.unplayable) {
            if (first_few(unplayable_audio_logged, 3))
                log_line(u"audio of %d channels dropped: the output cannot play it", chunk.format.channels);
            feed_.pending.pop_front();
            continue;
        }
        if (!audio_->is_open() || chunk.format != feed_.device) {
            // A new format waits until the output has played out the old one.
            if (audio_->is_open() && audio_->QueuedBytes() > 0) return;
            if (!OpenAudio(chunk.format)) continue;
        }
        apply_volume(chunk.samples.data(), chunk.samples.size(), muted_ ? 0 : volume_.load());
        int64_t frames = int64_t(chunk.samples.size()) / chunk.format.channels;
        bool queued;
        bool started = feed_.fresh;
        {
            std::lock_guard lock(av_mutex_);
            queued = audio_->Queue(chunk.samples.data(), chunk.samples.size() * sizeof(int16_t));
            if (queued && started) {
                clock_.FollowAudio(chunk.pts, int64_t(chunk.format.sample_rate) * chunk.format.frame_bytes());
                clock_started_ = true;
            }
            if (queued) clock_.AudioQueued(chunk.pts + frames * PLAYBACK_TICKS_PER_SECOND / chunk.format.sample_rate);
        }
        if (!queued) {
            AudioFailed("the output refused sound");
            return;
        }
        if (started) {
            feed_.fresh = false;
            feed_.started = false;
        }
        feed_.played += frames;
        feed_.pending.pop_front();
    }
}

bool ShellView::PullVideo(int &video_frames, int &failures) {
    oppb_sample sample;
    std::memset(&sample, 0, sizeof sample);
    int rc = bindings_.oppb_next_sample(main_, video_stream_, &sample);
    if (rc == OPPB_END) {
        log_line(u"video EOF after %d frames", video_frames);
        video_ended_ = true;
        return true;
    }
    if (rc != OPPB_OK) {
        if (++failures > MAX_CONSECUTIVE_FAILURES) {
            log_line(u"video stalled (rc=%d) after %d frames", rc, video_frames);
            video_ended_ = true;
        }
        return true;
    }
    video_frames++;
    pictures_since_start_++;
    failures = 0;
    // A picture whose successor is due already would never be shown: when the
    // decoder falls behind, converting it only makes it fall further. One in
    // a few is shown all the same, so that the picture never freezes.
    if (sample.duration > 0 && pump_late_run_ < MAX_LATE_RUN) {
        int64_t dropped = -1, now;
        {
            std::lock_guard lock(av_mutex_);
            now = ClockNowLocked();
            if (now != INT64_MIN && sample.pts + sample.duration <= now) dropped = ++figures_.dropped;
        }
        if (dropped > 0) {
            pump_late_run_++;
            log_late(1, now, dropped);
            return true;
        }
    }
    pump_late_run_ = 0;
    QueuedFrame frame;
    frame.pts = sample.pts;
    frame.width = sample.width;
    frame.height = sample.height;
    if (!ConvertFrame(sample, frame.pixels)) return true;
    std::lock_guard lock(av_mutex_);
    frames_.push_back(std::move(frame));
    return true;
}

int64_t ShellView::ClockNowLocked() {
    if (!clock_started_) return INT64_MIN;
    size_t queued = clock_.follows_audio() && audio_ ? audio_->QueuedBytes() : 0;
    return clock_.Now(queued, std::chrono::steady_clock::now());
}

int64_t ShellView::ClockNow() {
    std::lock_guard lock(av_mutex_);
    return ClockNowLocked();
}

size_t ShellView::FramesWaiting() {
    std::lock_guard lock(av_mutex_);
    return frames_.size();
}

void ShellView::KickPump() {
    {
        std::lock_guard lock(pump_mutex_);
        pump_kicked_ = true;
    }
    pump_wake_.notify_all();
}

void ShellView::PumpPaced(uint64_t generation) {
    using Clock = std::chrono::steady_clock;
    int video_frames = 0, audio_frames = 0, failures = 0;
    bool paused = false;
    // Waits end early when a stop is requested or the display took a frame.
    auto wait_for = [this](Clock::duration duration) {
        std::unique_lock lock(pump_mutex_);
        pump_wake_.wait_for(lock, duration, [this] { return stop_requested_ || pump_kicked_; });
        pump_kicked_ = false;
    };
    auto pause_output = [this](bool pause) {
        std::lock_guard lock(av_mutex_);
        if (audio_ && audio_->is_open() && feed_.started) audio_->SetPaused(pause);
        clock_.SetPaused(pause, Clock::now());
    };
    while (!stop_requested_) {
        ApplyPumpRequests();
        if (!playing_) {
            if (!paused) pause_output(true);
            paused = true;
            wait_for(PAUSED_WAIT);
            continue;
        }
        if (paused) pause_output(false);
        paused = false;
        if (!main_) break;
        bool busy = false;
        int64_t now = ClockNow();
        // Sound by need: about AUDIO_AHEAD beyond what is heard.
        for (int pulls = 0; audio_stream_ != -1 && !feed_.ended && pulls < AUDIO_PULLS_PER_PASS; pulls++) {
            int64_t ahead = feed_.pulled_end == INT64_MIN ? 0 : now == INT64_MIN ? AUDIO_AHEAD : feed_.pulled_end - now;
            if (ahead >= AUDIO_AHEAD || !PullAudio(audio_frames)) break;
            busy = true;
            FeedAudio();
            now = ClockNow();
        }
        FeedAudio();
        // Pictures: a few converted ahead of the display.
        if (!video_ended_ && FramesWaiting() < FRAMES_AHEAD) busy |= PullVideo(video_frames, failures);
        bool sound_done = audio_stream_ == -1 || feed_.failed || (feed_.ended && feed_.pending.empty());
        // The clock starts once the first pictures are ready, so that it does
        // not run away while the decoder warms up.
        bool pictures_ready = video_ended_ || pictures_since_start_ >= int(FRAMES_AHEAD);
        {
            std::lock_guard lock(av_mutex_);
            if (!feed_.started && !feed_.fresh && audio_ && audio_->is_open() && pictures_ready) {
                audio_->SetPaused(false);
                feed_.started = true;
            }
            if (!clock_started_ && sound_done && pictures_ready) {
                // Without sound the clock starts at the first picture (or sound) there is.
                int64_t start = !frames_.empty() ? frames_.front().pts : feed_.first_pts;
                if (start != INT64_MIN || video_ended_) {
                    clock_.RunFree(start == INT64_MIN ? 0 : start, Clock::now());
                    clock_started_ = true;
                }
            }
            if (sound_done && clock_.follows_audio()) {
                // Once the output played out the last sound, pictures go on on
                // the system clock from its end.
                if (audio_->QueuedBytes() == 0)
                    clock_.RunFree(clock_.audio_end(), Clock::now());
                else
                    sound_done = false;
            }
            now = ClockNowLocked();
        }
        // The position is the display tick's: it moves with the pictures shown.
        if (now != INT64_MIN) PullCues(now, generation);
        bool pictures_done = video_ended_ && FramesWaiting() == 0;
        if (pictures_done && sound_done) break;
        int64_t duration = duration_;
        if (pictures_done && duration > 0 && now != INT64_MIN && now >= duration + END_GRACE) {
            log_line(u"sound goes on past the duration: stopped");
            break;
        }
        if (!busy) wait_for(IDLE_WAIT);
    }
    playing_ = false;
    PacingFigures figures = pacing_figures();
    log_line(u"pump exit: %d video, %d audio frames, pos=%lld", video_frames, audio_frames, (long long)position_);
    if (audio_stream_ != -1)
        log_line(u"audio played: %lld samples at %d Hz, %d channels", (long long)feed_.played, feed_.device.sample_rate,
                 feed_.device.channels);
    log_line(u"frames shown %lld, dropped %lld; drift min %lld, mean %lld, max %lld us", (long long)figures.shown,
             (long long)figures.dropped, (long long)(figures.drift.min / 10), (long long)(figures.drift.mean() / 10),
             (long long)(figures.drift.max / 10));
    flush_log();
}

TickOutcome ShellView::OnDisplayTick() {
    QueuedFrame shown;
    FrameChoice choice;
    int64_t clock = INT64_MIN, dropped = 0;
    bool running;
    {
        std::lock_guard lock(av_mutex_);
        clock = ClockNowLocked();
        if (clock != INT64_MIN) position_ = std::max<int64_t>(clock, 0);
        if (clock != INT64_MIN && !frames_.empty()) {
            int64_t due[FRAMES_AHEAD + 1];
            size_t count = std::min(frames_.size(), std::size(due));
            for (size_t i = 0; i < count; i++) due[i] = frames_[i].pts;
            choice = choose_frame({due, count}, clock, DISPLAY_EARLY);
            for (size_t i = 0; i < choice.late; i++) frames_.pop_front();
            figures_.dropped += int64_t(choice.late);
            dropped = figures_.dropped;
            if (choice.show) {
                shown = std::move(frames_.front());
                frames_.pop_front();
                figures_.shown++;
                figures_.drift.Add(shown.pts - clock);
            }
        }
        running = !pump_done_ || !frames_.empty();
    }
    if (choice.late) log_late(choice.late, clock, dropped);
    if (choice.late || choice.show) KickPump();
    if (choice.show) ShowPicture(std::move(shown.pixels), shown.width, shown.height);
    if (!running) {
        display_tick_running_ = false;
        return TickOutcome::Stop;
    }
    return choice.show ? TickOutcome::Redraw : TickOutcome::Unchanged;
}

void ShellView::SetVolume(int percent) {
    volume_ = std::clamp(percent, 0, 100);
    log_line(u"volume %d", volume_.load());
}

void ShellView::ToggleMuted() {
    muted_ = !muted_;
    log_line(u"muted %d", muted_ ? 1 : 0);
}

void ShellView::OnSeekApplied(int64_t landed_ticks) {
    position_ = landed_ticks;
    {
        std::lock_guard lock(frame_.mutex);
        frame_.pixels = {};
        frame_.ready = false;
    }
    DropCues();
    if (presentation_ != Presentation::Paced) return;
    video_ended_ = video_stream_ == -1;
    pictures_since_start_ = 0;
    feed_.pending.clear();
    feed_.first_pts = INT64_MIN;
    feed_.pulled_end = INT64_MIN;
    feed_.ended = false;
    feed_.failures = 0;
    std::lock_guard lock(av_mutex_);
    frames_.clear();
    if (audio_ && audio_->is_open() && !feed_.failed) {
        // The clock follows the sound again from the first delivery after the
        // landing, and the output waits for the first pictures there.
        audio_->Clear();
        audio_->SetPaused(true);
        feed_.fresh = true;
        feed_.started = false;
        clock_started_ = false;
    } else {
        clock_.RunFree(landed_ticks, std::chrono::steady_clock::now());
        clock_started_ = true;
    }
}

ShellView::PacingFigures ShellView::pacing_figures() {
    std::lock_guard lock(av_mutex_);
    PacingFigures figures = figures_;
    figures.waiting = frames_.size();
    return figures;
}

void ShellView::ShowPicture(std::vector<uint8_t> pixels, int width, int height) {
    if (pixels.empty() || !chrome_.video_image) return;
    try {
        auto bitmap = std::make_shared<ui::Bitmap>();
        bitmap->width = width;
        bitmap->height = height;
        bitmap->bgra = std::move(pixels);
        bitmap->opaque = true;
        chrome_.video_image->source = std::move(bitmap);
    } catch (const std::bad_alloc &) {
        log_line(u"frame present failed 0x%08X", CODE_OUT_OF_MEMORY);
    }
}

void ShellView::OnHeartbeat() {
    if (frame_.ready && chrome_.video_image) {
        std::vector<uint8_t> pixels;
        int width, height;
        {
            std::lock_guard lock(frame_.mutex);
            pixels.swap(frame_.pixels);
            width = frame_.width;
            height = frame_.height;
            frame_.ready = false;
        }
        ShowPicture(std::move(pixels), width, height);
    }
    if (playing_) RefreshStatus();
    chrome_.playing->text = playing_ ? u"\u25B6" : u"";
    RefreshProgress();
}

}  // namespace shell
