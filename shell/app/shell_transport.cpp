// Transport while playing: play, pause and stop, skips and chapter jumps
// through the engine's seek on both instances, audio and subtitle tracks, and
// the progress bar. The UI thread only asks: the pump thread applies the
// requests between two pulls, since the engine handles are its own while it
// runs. When the pump has ended (end of the stream) the file stays open, and
// the UI thread applies them itself, starting the pump again after a seek.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "app/shell_view.h"
#include "core/library_loader.h"
#include "core/shell_log.h"
#include "core/text.h"
#include "core/transport.h"

namespace shell {

namespace {

constexpr int SAMPLE_MODE_DECODE = 1;
constexpr int SUBTITLE_PRIMARY = 0;
constexpr auto PROGRESS_SHOWN_FOR = std::chrono::seconds(3);
// The bundle entry whose "SkipInterval" item sets the skip.
constexpr const char *SETTINGS_TEMPLATE = "settings.json";

// Keys the key map leaves alone or that a keyboard lacks, with the action they
// stand for. Letters are their upper-case ASCII codes.
struct TransportKey {
    int virtual_key;
    const char *action;
};
constexpr TransportKey TRANSPORT_KEYS[] = {
    {176, "next"},            // media next track
    {177, "previous"},        // media previous track
    {178, "stop"},            // media stop
    {'F', "fast_forward"},    // keyboard letters for the key map's transport actions
    {'R', "rewind"},
    {'N', "next"},
    {'P', "previous"},
    {'A', "audio_track"},     // the shell's own: cycles the audio tracks
    {'C', "subtitle_track"},  // cycles the subtitle tracks and off
    {197, "subtitle_track"},  // the game controller's X button
};

struct TransportAction {
    const char *name;
    void (*run)(ShellView &view);
};
constexpr TransportAction TRANSPORT_ACTIONS[] = {
    {"fast_forward", [](ShellView &view) { view.SkipBy(1); }},
    {"rewind", [](ShellView &view) { view.SkipBy(-1); }},
    {"next", [](ShellView &view) { view.JumpChapter(1); }},
    {"previous", [](ShellView &view) { view.JumpChapter(-1); }},
    {"play", [](ShellView &view) { view.Play(); }},
    {"pause", [](ShellView &view) { view.Pause(); }},
    {"play_pause", [](ShellView &view) { view.TogglePlayPause(); }},
    {"stop", [](ShellView &view) { view.Stop(); }},
    {"audio_track", [](ShellView &view) { view.CycleAudioTrack(); }},
    {"subtitle_track", [](ShellView &view) { view.CycleSubtitleTrack(); }},
};

// Virtual keys handled by OnKeyDown itself while a file is open.
bool is_playback_key(int virtual_key) { return virtual_key == 27 || virtual_key == 32 || virtual_key == 179; }

int64_t parse_ticks(const char *text) {
    int64_t value = 0;
    if (!text) return 0;
    std::from_chars(text, text + std::strlen(text), value);
    return value;
}

int parse_stream(const char *text) {
    int value = -1;
    if (!text || !*text) return -1;
    auto [end, status] = std::from_chars(text, text + std::strlen(text), value);
    return status == std::errc() ? value : -1;
}

std::string text_or_empty(const char *text) { return text ? text : ""; }

std::u16string clock_of(int64_t ticks, int64_t duration) {
    return utf8_to_utf16(clock_text(ticks, duration >= 3600 * ONE_SECOND_TICKS));
}

template <class Tracks>
ShellView::TrackList track_list(const Tracks &tracks, int current) {
    ShellView::TrackList list;
    for (const auto &track : tracks) list.names.push_back(track.name);
    list.current = current;
    return list;
}

}  // namespace

// ---- keys and the UI thread's requests ----

bool ShellView::HandleTransportKey(int virtual_key) {
    if (!main_ || is_playback_key(virtual_key)) return false;
    std::string action;
    for (const TransportKey &key : TRANSPORT_KEYS)
        if (key.virtual_key == virtual_key) action = key.action;
    if (action.empty() && bindings_.optpl_action_from_virtual_key) {
        const char *mapped = bindings_.optpl_action_from_virtual_key(virtual_key);
        action = text_or_empty(mapped);  // the library's text lasts only until its next call
    }
    for (const TransportAction &entry : TRANSPORT_ACTIONS) {
        if (action != entry.name) continue;
        log_line(u"key %d -> transport %S", virtual_key, action);
        entry.run(*this);
        flush_log();
        return true;
    }
    return false;
}

void ShellView::TogglePlayPause() {
    if (playing_)
        Pause();
    else
        Play();
}

void ShellView::Play() {
    if (!main_) return;
    playing_ = true;
    stop_requested_ = false;
    SetStatus(u"play");
    ShowProgress();
}

void ShellView::Pause() {
    if (!main_) return;
    playing_ = false;
    SetStatus(u"paused");
    RefreshProgress();
}

void ShellView::Stop() {
    StopPlayback();
    SetStatus(u"stopped");
    RefreshProgress();
}

void ShellView::SkipBy(int direction) {
    if (!main_) return;
    int64_t interval = SkipInterval();
    int64_t target = skip_target(DisplayPosition(), interval, direction, duration_);
    RequestSeek(target);
    long long seconds = (interval + ONE_SECOND_TICKS / 2) / ONE_SECOND_TICKS;
    AnnounceSeek(format_text(direction < 0 ? u"-%llds" : u"+%llds", seconds), target);
}

void ShellView::SeekTo(int64_t ticks) {
    if (!main_) return;
    int64_t target = clamp_to_media(ticks, duration_);
    RequestSeek(target);
    AnnounceSeek(u"seek", target);
}

void ShellView::JumpChapter(int direction) {
    if (!main_) return;
    std::vector<int64_t> starts;
    std::vector<std::string> titles;
    {
        std::lock_guard lock(transport_mutex_);
        starts = CurrentOutline().chapter_starts;
        titles = CurrentOutline().chapter_titles;
    }
    if (starts.empty()) {
        SkipBy(direction);
        return;
    }
    std::optional<ChapterJump> jump = chapter_jump(starts, DisplayPosition(), direction);
    if (!jump) {
        SetStatus(u"last chapter");
        ShowProgress();
        return;
    }
    RequestSeek(jump->target);
    if (jump->chapter < 0)
        AnnounceSeek(u"start", jump->target);
    else
        AnnounceSeek(format_text(u"chapter %d/%d %S", jump->chapter + 1, int(starts.size()), titles[jump->chapter]),
                     jump->target);
}

ShellView::TrackList ShellView::AudioTracks() const {
    std::lock_guard lock(transport_mutex_);
    if (!main_ || outline_generation_ != generation_) return {};
    return track_list(outline_.audio, outline_.audio_current);
}

ShellView::TrackList ShellView::SubtitleTracks() const {
    std::lock_guard lock(transport_mutex_);
    if (!main_ || outline_generation_ != generation_) return {};
    return track_list(outline_.subtitles, outline_.subtitle_current);
}

bool ShellView::SelectAudioTrack(int ordinal) {
    if (!main_) return false;
    int count;
    std::string name;
    {
        std::lock_guard lock(transport_mutex_);
        Outline &outline = CurrentOutline();
        count = int(outline.audio.size());
        if (ordinal < 0 || ordinal >= count) return false;
        name = outline.audio[ordinal].name;
        outline.audio_current = ordinal;
        CurrentRequests().audio = ordinal;
    }
    ServeRequestsWithoutPump();
    SetStatus(u"audio %d/%d: %S", ordinal + 1, count, name);
    ShowProgress();
    return true;
}

bool ShellView::SelectSubtitleTrack(int ordinal) {
    if (!main_) return false;
    int count;
    std::string name;
    {
        std::lock_guard lock(transport_mutex_);
        Outline &outline = CurrentOutline();
        count = int(outline.subtitles.size());
        if (ordinal < -1 || ordinal >= count || count == 0) return false;
        if (ordinal >= 0) name = outline.subtitles[ordinal].name;
        outline.subtitle_current = ordinal;
        CurrentRequests().subtitle = ordinal;
    }
    ServeRequestsWithoutPump();
    if (ordinal < 0)
        SetStatus(u"subtitles off");
    else
        SetStatus(u"subtitles %d/%d: %S", ordinal + 1, count, name);
    ShowProgress();
    return true;
}

void ShellView::CycleAudioTrack() {
    TrackList tracks = AudioTracks();
    if (!SelectAudioTrack(next_track(tracks.current, int(tracks.names.size()), false))) SetStatus(u"no audio tracks");
}

void ShellView::CycleSubtitleTrack() {
    TrackList tracks = SubtitleTracks();
    if (!SelectSubtitleTrack(next_track(tracks.current, int(tracks.names.size()), true))) SetStatus(u"no subtitles");
}

const ShellView::TransportEntries &ShellView::transport_entries() {
    std::call_once(transport_entries_bound_, [this] {
        auto find = [](void *module, const char *name) { return module ? library_export(module, name) : nullptr; };
        auto &entries = transport_entries_;
        entries.oppb_chapter_count =
            reinterpret_cast<decltype(entries.oppb_chapter_count)>(find(bindings_.oppb_module, "oppb_chapter_count"));
        entries.oppb_chapter_field =
            reinterpret_cast<decltype(entries.oppb_chapter_field)>(find(bindings_.oppb_module, "oppb_chapter_field"));
        entries.optpl_entry_text =
            reinterpret_cast<decltype(entries.optpl_entry_text)>(find(bindings_.optpl_module, "optpl_entry_text"));
    });
    return transport_entries_;
}

// The settings template's choice, read anew each time; 10 s without one.
int64_t ShellView::SkipInterval() {
    auto entry_text = transport_entries().optpl_entry_text;
    const char *text = entry_text ? entry_text(SETTINGS_TEMPLATE) : nullptr;
    std::optional<int64_t> ticks = text ? skip_interval_ticks(text) : std::nullopt;
    return ticks.value_or(DEFAULT_SKIP_TICKS);
}

int64_t ShellView::DisplayPosition() {
    std::lock_guard lock(transport_mutex_);
    return DisplayPositionLocked();
}

int64_t ShellView::DisplayPositionLocked() {
    const PumpRequests &requests = CurrentRequests();
    if (requests.seek) return *requests.seek;
    if (requests.seek_in_flight) return *requests.seek_in_flight;
    return std::max({int64_t(position_), CurrentOutline().seek_landed, int64_t(0)});
}

void ShellView::RequestSeek(int64_t target) {
    {
        std::lock_guard lock(transport_mutex_);
        CurrentRequests().seek = target;
    }
    ServeRequestsWithoutPump();
}

// A new playback starts with nothing known and nothing asked.
ShellView::Outline &ShellView::CurrentOutline() {
    if (outline_generation_ != generation_) outline_ = {};
    return outline_;
}

ShellView::PumpRequests &ShellView::CurrentRequests() {
    if (requests_.generation != generation_) {
        requests_ = {};
        requests_.generation = generation_;
    }
    return requests_;
}

ShellView::PumpRequests ShellView::TakeRequests() {
    PumpRequests taken = CurrentRequests();
    requests_ = {};
    requests_.generation = generation_;
    requests_.seek_in_flight = taken.seek;
    return taken;
}

void ShellView::AnnounceSeek(std::u16string_view what, int64_t target) {
    int64_t duration = duration_;
    SetStatus(u"%s  %s / %s", what, clock_of(target, duration), clock_of(duration, duration));
    ShowProgress();
}

void ShellView::ShowProgress() {
    progress_until_ = std::chrono::steady_clock::now() + PROGRESS_SHOWN_FOR;
    RefreshProgress();
}

void ShellView::RefreshProgress() {
    if (!chrome_.overlay) return;
    // A request may have come as the pump was ending.
    ServeRequestsWithoutPump();
    // Rendering a page empties the overlay.
    auto children = chrome_.overlay->children();
    if (std::find(children.begin(), children.end(), progress_.root()) == children.end())
        chrome_.overlay->Add(progress_.root());
    bool shown = main_ && (!playing_ || std::chrono::steady_clock::now() < progress_until_);
    if (!shown) {
        progress_.Hide();
        return;
    }
    ProgressBar::State state;
    std::u16string chapter;
    std::vector<int64_t> starts;
    {
        std::lock_guard lock(transport_mutex_);
        const Outline &outline = CurrentOutline();
        starts = outline.chapter_starts;
        int64_t position = DisplayPositionLocked();
        int current = chapter_at(starts, position);
        if (current >= 0)
            chapter =
                format_text(u"Chapter %d/%d  %S", current + 1, int(starts.size()), outline.chapter_titles[current]);
        state.position = position;
    }
    state.duration = duration_;
    state.chapter_starts = starts;
    state.caption = playing_ ? chapter : chapter.empty() ? u"Paused" : u"Paused   " + chapter;
    ui::Rect area = chrome_.overlay->bounds();
    progress_.Show(state, {area.width, area.height});
}

// ---- applying the requests ----

void ShellView::ServeRequestsWithoutPump() {
    if (!main_ || pump_ended_generation_ != generation_) return;
    PumpRequests taken;
    {
        std::lock_guard lock(transport_mutex_);
        taken = TakeRequests();
    }
    if (!taken.seek && !taken.audio && !taken.subtitle) return;
    if (pump_.joinable()) pump_.join();
    ApplyRequests(taken);
    // Without a pump, a text posted for this playback would come too late.
    if (shown_subtitle_.empty()) chrome_.subtitle->text.clear();
    int64_t duration = duration_;
    if (!taken.seek || (duration > 0 && position_ >= duration)) return;
    // Rewinding after the end plays again.
    {
        std::lock_guard lock(transport_mutex_);
        generation_++;
        outline_generation_ = generation_;
        requests_.generation = generation_;
    }
    log_line(u"pump restarted at %lld", (long long)position_);
    playing_ = true;
    stop_requested_ = false;
    StartPump();
}

void ShellView::ApplyPumpRequests() {
    PumpRequests taken;
    bool outline_read;
    {
        std::lock_guard lock(transport_mutex_);
        outline_read = outline_generation_ == generation_;
        taken = TakeRequests();
    }
    if (!outline_read) ReadOutline();
    ApplyRequests(taken);
}

void ShellView::ReadOutline() {
    const auto &b = bindings_;
    const TransportEntries &entries = transport_entries();
    Outline outline;
    int chapters = entries.oppb_chapter_count && entries.oppb_chapter_field ? entries.oppb_chapter_count(main_) : 0;
    for (int i = 0; i < chapters; i++) {
        outline.chapter_starts.push_back(parse_ticks(entries.oppb_chapter_field(main_, i, "start_ticks")));
        outline.chapter_titles.push_back(text_or_empty(entries.oppb_chapter_field(main_, i, "title")));
    }
    auto tracks_of = [&](const char *kind, int chosen_stream, int &current) {
        std::vector<Track> tracks;
        int count = b.oppb_stream_count ? b.oppb_stream_count(main_, kind) : 0;
        for (int i = 0; i < count && b.oppb_stream_field; i++) {
            auto field = [&](const char *name) { return text_or_empty(b.oppb_stream_field(main_, kind, i, name)); };
            Track track{parse_stream(field("index").c_str()), {}, field("codec")};
            track.name = track_name(field("title"), field("language"), track.codec);
            if (track.stream == chosen_stream && chosen_stream != -1) current = int(tracks.size());
            tracks.push_back(std::move(track));
        }
        return tracks;
    };
    outline.audio = tracks_of("audio", audio_stream_, outline.audio_current);
    // Subtitles show only through their own instance.
    if (subtitles_) outline.subtitles = tracks_of("subtitle", subtitle_stream_, outline.subtitle_current);
    log_line(u"outline: %d chapters, %d audio, %d subtitle tracks", chapters, int(outline.audio.size()),
             int(outline.subtitles.size()));
    std::lock_guard lock(transport_mutex_);
    outline_ = std::move(outline);
    outline_generation_ = generation_;
}

void ShellView::ApplyRequests(const PumpRequests &requests) {
    // A seek asked for as well puts every stream in step by itself.
    if (requests.audio) ApplyAudioTrack(*requests.audio, !requests.seek);
    if (requests.subtitle) ApplySubtitleTrack(*requests.subtitle, !requests.seek);
    if (requests.seek) ApplySeek(*requests.seek);
}

void ShellView::ApplyAudioTrack(int ordinal, bool resync) {
    const auto &b = bindings_;
    Track track;
    {
        std::lock_guard lock(transport_mutex_);
        if (ordinal < 0 || ordinal >= int(outline_.audio.size())) return;
        track = outline_.audio[ordinal];
    }
    if (track.stream == audio_stream_ || track.stream < 0 || !b.oppb_select_stream) return;
    int selected = b.oppb_select_stream(main_, "audio", track.stream);
    log_line(u"select_stream(audio,%d) -> %d", track.stream, selected);
    if (selected < 0) return;
    if (b.oppb_sample_mode)
        log_line(u"sample_mode(audio %d, decode) -> %d", track.stream,
                 b.oppb_sample_mode(main_, track.stream, SAMPLE_MODE_DECODE));
    audio_stream_ = track.stream;
    // The new stream's sound starts where the demuxer is, ahead of the picture:
    // seeking to the position starts both from the same key frame.
    if (resync) ApplySeek(std::max<int64_t>(position_, 0));
}

void ShellView::ApplySubtitleTrack(int ordinal, bool resync) {
    const auto &b = bindings_;
    if (!subtitles_) return;
    Track track;
    {
        std::lock_guard lock(transport_mutex_);
        if (ordinal >= int(outline_.subtitles.size())) return;
        if (ordinal >= 0) track = outline_.subtitles[ordinal];
    }
    if (track.stream == subtitle_stream_) return;
    if (b.oppb_set_subtitle_index) {
        int result = b.oppb_set_subtitle_index(subtitles_, SUBTITLE_PRIMARY, track.stream);
        log_line(u"sub: set_subtitle_index(primary,%d) -> %d", track.stream, result);
        if (result < 0 && track.stream >= 0) return;
    }
    subtitle_stream_ = track.stream;
    // The cue text rule follows the codec of the stream shown.
    size_t length = utf8_cut(track.codec, sizeof subtitle_codec_ - 1);
    std::memcpy(subtitle_codec_, track.codec.data(), length);
    subtitle_codec_[length] = '\0';
    DropCues();
    if (track.stream < 0 || !resync || !b.oppb_seek) return;
    // The new stream's cues that began before the demuxer's place come again.
    int64_t target = std::max<int64_t>(position_, 0), landed = target;
    int result = b.oppb_seek(subtitles_, target, &landed);
    log_line(u"sub: seek %lld -> rc=%d", (long long)target, result);
}

void ShellView::ApplySeek(int64_t target) {
    const auto &b = bindings_;
    // Whatever happens, the position reads the engine's from here on.
    auto settle = [this](std::optional<int64_t> landed) {
        std::lock_guard lock(transport_mutex_);
        if (landed) CurrentOutline().seek_landed = *landed;
        CurrentRequests().seek_in_flight.reset();
    };
    if (!b.oppb_seek) {
        log_line(u"seek %lld: the engine cannot seek", (long long)target);
        settle(std::nullopt);
        return;
    }
    int64_t landed = target;
    int result = b.oppb_seek(main_, target, &landed);
    log_line(u"seek %lld -> rc=%d landed=%lld", (long long)target, result, (long long)landed);
    if (result != 0) {
        settle(std::nullopt);
        platform_.Post([view = weak_from_this(), result] {
            if (auto self = view.lock()) self->SetStatus(u"seek failed (%d)", result);
        });
        return;
    }
    if (subtitles_) {
        int64_t subtitle_landed = target;
        int subtitle_result = b.oppb_seek(subtitles_, target, &subtitle_landed);
        log_line(u"sub: seek %lld -> rc=%d", (long long)target, subtitle_result);
    }
    OnSeekApplied(landed);
    settle(landed);
    PreviewLanding();
}

// Paused, the pump pulls no pictures: one is shown from where a seek landed
// (its key frame), so that the picture goes with the progress bar.
void ShellView::PreviewLanding() {
    // Without a pump (after the end) the seek plays again instead.
    if (playing_ || video_stream_ == -1 || !main_ || pump_ended_generation_ == generation_) return;
    oppb_sample sample;
    std::memset(&sample, 0, sizeof sample);
    if (bindings_.oppb_next_sample(main_, video_stream_, &sample) != OPPB_OK) return;
    ConvertAndStore(sample);
    log_line(u"paused: the picture at %lld", (long long)sample.pts);
}

void ShellView::DropCues() {
    log_line(u"cue store cleared (%d cues)", int(model_.cue_count));
    cue_clear(&model_);
    newest_cue_start_ = INT64_MIN;
    if (shown_subtitle_.empty()) return;
    shown_subtitle_.clear();
    platform_.Post([view = weak_from_this(), generation = generation_] {
        auto self = view.lock();
        if (self && self->generation_ == generation) self->chrome_.subtitle->text.clear();
    });
}

}  // namespace shell
