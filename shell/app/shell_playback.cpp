// The playback session: two engine instances on one file (pictures and sound;
// subtitles), the pump thread that converts frames and pulls cues, and the
// heartbeat that shows the newest frame.
#include <charconv>
#include <chrono>
#include <cstring>
#include <new>

#include "app/shell_view.h"
#include "core/cue_text.h"
#include "core/frame_convert.h"
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

// Rate limits of the pump's frequent log lines, for the whole process.
std::atomic<int> audio_pulls_logged{0};
std::atomic<int> unconvertible_logged{0};
std::atomic<int> cue_pulls_logged{0};

bool first_few(std::atomic<int> &counter, int limit) { return counter.fetch_add(1) < limit; }

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
    chrome_.video->visibility = ui::Visibility::Visible;
    playing_ = true;
    stop_requested_ = false;
    StartPump();
    SetStatus(u"playing %s", path);
}

void ShellView::StartPump() {
    pump_ = std::thread([self = shared_from_this(), generation = generation_]() mutable {
        self->RunPump(generation);
        self.reset();
    });
}

void ShellView::StopPlayback() {
    {
        std::lock_guard lock(pump_mutex_);
        stop_requested_ = true;
        playing_ = false;
    }
    pump_wake_.notify_all();
    if (pump_.joinable()) pump_.join();
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
            if (first_few(audio_pulls_logged, 4))
                log_line(u"audio pull rc=%d data=%p size=%zu sr=%d ch=%d fmt=%d nbs=%d", rc, sample.data,
                         (long long)sample.size, sample.sample_rate, sample.channels, sample.sample_format,
                         sample.sample_count);
            if (rc == 0 && sample.data && sample.size != 0 && ++audio_frames % 100 == 1)
                log_line(u"audio frame %d size=%zu sr=%d ch=%d fmt=%d nbs=%d", audio_frames, (long long)sample.size,
                         sample.sample_rate, sample.channels, sample.sample_format, sample.sample_count);
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

void ShellView::OnSeekApplied(int64_t landed_ticks) {
    position_ = landed_ticks;
    {
        std::lock_guard lock(frame_.mutex);
        frame_.pixels = {};
        frame_.ready = false;
    }
    DropCues();
}

void ShellView::ConvertAndStore(const oppb_sample &sample) {
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
        return;
    }
    std::vector<uint8_t> pixels;
    try {
        pixels.resize(size);
    } catch (const std::bad_alloc &) {
        log_line(u"frame %dx%d: out of memory", sample.width, sample.height);
        return;
    }
    int rc = convert_frame_to_bgra(&view, pixels.data(), pixels.size());
    if (rc != 0) {
        report(rc);
        return;
    }
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
        if (!pixels.empty()) {
            try {
                auto bitmap = std::make_shared<ui::Bitmap>();
                bitmap->width = width;
                bitmap->height = height;
                bitmap->bgra = std::move(pixels);
                chrome_.video_image->source = std::move(bitmap);
            } catch (const std::bad_alloc &) {
                log_line(u"frame present failed 0x%08X", CODE_OUT_OF_MEMORY);
            }
        }
    }
    if (playing_) RefreshStatus();
    chrome_.playing->text = playing_ ? u"\u25B6" : u"";
    RefreshProgress();
}

}  // namespace shell
