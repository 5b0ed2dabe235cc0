// The shell's view: owns the binding record, the model and the chrome (the
// fixed element tree every page and the video are shown in); runs the start-up
// routine, shows template pages as tiles, turns keys and taps into focus
// actions, and plays a media file with a pump thread. UI thread only, except
// where a member says otherwise.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/audio_output.h"
#include "app/platform.h"
#include "core/av_clock.h"
#include "app/progress_bar.h"
#include "app/shell_remote.h"
#include "core/engine_bindings.h"
#include "oppb.h"
#include "core/format.h"
#include "core/shell_model.h"
#include "ui/elements.h"

namespace shell {

// Status texts longer than this many UTF-16 units are cut at a character boundary.
inline constexpr size_t STATUS_LIMIT = 1023;
inline constexpr std::chrono::milliseconds HEARTBEAT{500};
// Templates tried, in order, for the first page.
inline constexpr const char *ROOT_TEMPLATES[] = {"settings.json", "dynamictemplates.json", "homepage.json"};
// The "handler" of the settings entry that pairs a remote control.
inline constexpr int PAIR_REMOTE_HANDLER = 110;
// Files tried, in order, under <app dir>/corpus/ when "play.txt" names none.
inline constexpr const char *PACKAGED_MEDIA[] = {"mkv_chapters_subs.mkv", "h264_movtext.mp4", "h264_aac_2audio.mp4"};

// How a playback shows its pictures.
enum class Presentation {
    Paced,      // with sound; each frame on the display refresh it is due at
    Heartbeat,  // the newest frame on each heartbeat, without sound
};

class ShellView : public std::enable_shared_from_this<ShellView> {
public:
    // `app_dir` (UTF-8) stands in for the program's own directory when given.
    ShellView(Platform &platform, std::string app_dir, Presentation presentation = Presentation::Paced);
    // Stops a playback that is still running.
    ~ShellView();

    void Setup();
    void BuildChrome();
    void LoadEngines();
    bool LoadBundle();

    // Pages (UTF-8 names; data and restore path may be empty).
    void RenderPage(const std::string &template_name, const std::string &data, const std::string &restore_path);
    void RefreshHighlight();
    void RefreshStatus();

    // Input: whether the key was handled.
    bool OnKeyDown(int virtual_key);
    void OnTileTapped(int node);

    // Playback.
    void PlayPath(const std::u16string &path);
    void StopPlayback();
    void OnHeartbeat();

    template <class... Args>
    void SetStatus(std::u16string_view format, const Args &...args) {
        ShowStatus(format_text(format, args...));
    }

    const EngineBindings &bindings() const { return bindings_; }
    const ShellModel &model() const { return model_; }
    int engines_loaded() const { return engines_loaded_; }
    const std::u16string &app_dir() const { return app_dir_; }
    std::shared_ptr<ui::Grid> root() const { return chrome_.root; }
    const std::vector<std::shared_ptr<ui::Border>> &tiles() const { return tiles_; }
    const std::string &page_template() const { return page_.template_name; }
    bool media_open() const { return main_ != nullptr; }
    bool playing() const { return playing_; }
    int64_t position() const { return position_; }
    // Waits until the pump thread has ended by itself or been stopped.
    void WaitForPump();

    // Sound: the volume (0..100) and muting apply to what is queued from now on.
    void SetVolume(int percent);
    int volume() const { return volume_; }
    void ToggleMuted();
    bool muted() const { return muted_; }
    // Paced presentation: frames shown and dropped as late, and how far the
    // shown ones were from the clock (the figures of the last or current playback).
    struct PacingFigures {
        int64_t shown = 0;
        int64_t dropped = 0;
        DriftStats drift;
        size_t waiting = 0;  // converted frames not yet due
    };
    PacingFigures pacing_figures();
    Presentation presentation() const { return presentation_; }
    // ---- Transport while playing (shell_transport.cpp) ----
    struct TrackList {
        std::vector<std::string> names;  // UTF-8, in file order
        int current = -1;                // ordinal among them; -1 none (subtitles: off)
    };
    // Keys that act on the open media file (the key map's transport actions and
    // the shell's own transport keys); whether the key was one. Escape, Space
    // and media play/pause stay with OnKeyDown.
    bool HandleTransportKey(int virtual_key);
    // As keys 32 and 179: the playing flag and the status "play" or "paused".
    void TogglePlayPause();
    void Play();
    void Pause();
    // As Escape: ends the playback, status "stopped".
    void Stop();
    // Seeks by the "SkipInterval" setting forwards (direction > 0) or back.
    void SkipBy(int direction);
    // Seeks to `ticks`, kept within 0..duration.
    void SeekTo(int64_t ticks);
    // The next chapter's start, or the current's or previous one's; without
    // chapters it skips as SkipBy does.
    void JumpChapter(int direction);
    TrackList AudioTracks() const;
    TrackList SubtitleTracks() const;
    // Ordinals among the file's tracks of that kind; -1 turns subtitles off.
    // False when there is no such track (or no media file open).
    bool SelectAudioTrack(int ordinal);
    bool SelectSubtitleTrack(int ordinal);
    void CycleAudioTrack();
    void CycleSubtitleTrack();
    // Shows the progress bar while paused and for a while after a transport
    // action, and hides it otherwise; the heartbeat calls it.
    void RefreshProgress();

    // Remote control (shell_remote.cpp). StartRemote makes the view a host on
    // [address:]port; without it no socket is opened and PairRemote says so.
    void StartRemote(const std::string &address, int port, bool open_files);
    void StopRemote();
    const std::shared_ptr<RemoteHost> &remote() const { return remote_; }
    // The "Pair remote" entry: starts a pairing whose code the screen shows.
    void PairRemote();
    void ShowRemotePairing(const PairingOffer &offer);
    // Takes the code off the screen, saying why on the status line.
    void EndRemotePairing(std::u16string_view why);
    int64_t duration() const { return duration_; }
    // The file PlayPath opened last.
    const std::u16string &media_path() const { return media_path_; }

private:
    struct Chrome {
        std::shared_ptr<ui::Grid> root;
        std::shared_ptr<ui::TextBlock> page_title;
        std::shared_ptr<ui::TextBlock> playing;
        std::shared_ptr<ui::TextBlock> status;
        std::shared_ptr<ui::ScrollViewer> scroll;
        std::shared_ptr<ui::StackPanel> page_panel;
        std::shared_ptr<ui::Canvas> overlay;
        std::shared_ptr<ui::Border> video;
        std::shared_ptr<ui::Image> video_image;
        std::shared_ptr<ui::TextBlock> subtitle;
        // Under the page: the focused tile's subtitle.
        std::shared_ptr<ui::TextBlock> focus_subtitle;
    };
    struct Page {
        std::string template_name;
        std::string data;
    };
    // The newest converted frame, waiting for the heartbeat.
    struct HandOver {
        std::mutex mutex;
        std::vector<uint8_t> pixels;
        int width = 0;
        int height = 0;
        std::atomic<bool> ready{false};
    };

    void ShowStatus(std::u16string text);
    void ChoosePlayTarget();
    std::shared_ptr<ui::Border> MakeTile(const std::u16string &label, const std::u16string &subtitle,
                                         const std::string &icon, int node);
    // A page the focus engine entered or left while applying an action.
    struct PageChange {
        int depth_change = 0;    // pages entered (above 0) or left (below 0)
        std::string focus_path;  // of the node focused before
        std::string child_page;  // that node's page, entered by a confirmation
    };
    int ApplyAction(const std::string &action, PageChange &change);
    // Shows the entered page, or the page left to, and keeps the page history in step.
    void FollowPageChange(const PageChange &change);
    void ConfirmLeaf();
    void ShowRowOf(const ui::Element &tile);
    std::string FocusField(int node, const char *field) const;
    void ClearPicture();
    void ShowPicture(std::vector<uint8_t> pixels, int width, int height);

    // Pump thread.
    void RunPump(uint64_t generation);
    void Pump(uint64_t generation);
    void PumpPaced(uint64_t generation);
    void ConvertAndStore(const oppb_sample &sample);
    void PullCues(int64_t video_time, uint64_t generation);
    void StartPump();

    // Transport (shell_transport.cpp).
    struct Track {
        int stream = -1;
        std::string name;
        std::string codec;
    };
    // What the open file offers, read by the pump when it starts.
    struct Outline {
        std::vector<int64_t> chapter_starts;
        std::vector<std::string> chapter_titles;
        std::vector<Track> audio;
        std::vector<Track> subtitles;  // none without a subtitle instance
        int audio_current = -1;
        int subtitle_current = -1;
        // Where the last seek landed. The pump's position can lie before it
        // until the frames from the key frame before the landing have passed.
        int64_t seek_landed = INT64_MIN;
    };
    // What the UI thread asked of the engine since the pump last looked.
    struct PumpRequests {
        uint64_t generation = 0;       // the playback they were made for
        std::optional<int64_t> seek;   // ticks
        std::optional<int> audio;      // ordinal
        std::optional<int> subtitle;   // ordinal, -1 off
        // A seek taken by the pump and not yet applied: until it is, the
        // position still reads the old place.
        std::optional<int64_t> seek_in_flight;
    };
    // Exports beyond the binding record that transport needs, found in the loaded libraries.
    struct TransportEntries {
        int32_t (*oppb_chapter_count)(const oppb_engine *engine) = nullptr;
        const char *(*oppb_chapter_field)(oppb_engine *engine, int32_t index, const char *field) = nullptr;
        const char *(*optpl_entry_text)(const char *name) = nullptr;
    };
    const TransportEntries &transport_entries();
    // Under the transport mutex: the outline of the current playback (empty before the pump read it),
    // and its requests.
    Outline &CurrentOutline();
    PumpRequests &CurrentRequests();
    PumpRequests TakeRequests();
    int64_t SkipInterval();
    // Where the media is, or is about to be: a seek not yet applied counts, so
    // that quick presses add up. The second under the transport mutex.
    int64_t DisplayPosition();
    int64_t DisplayPositionLocked();
    void RequestSeek(int64_t target);
    void ShowProgress();
    void AnnounceSeek(std::u16string_view what, int64_t target);
    // UI thread: when the pump has ended but the file is open, applies the
    // requests itself, and plays again from a seek that left something to play.
    void ServeRequestsWithoutPump();
    // Pump thread while it runs, else the UI thread.
    // Applies what the UI thread asked for; called at the top of each pump pass.
    void ApplyPumpRequests();
    void ReadOutline();
    void ApplyRequests(const PumpRequests &requests);
    void ApplyAudioTrack(int ordinal, bool resync);
    void ApplySubtitleTrack(int ordinal, bool resync);
    void ApplySeek(int64_t target);
    void PreviewLanding();
    // Drops what was queued for the old position: frames, sound and cues, and
    // restarts the clock at the landing (shell_playback.cpp).
    void OnSeekApplied(int64_t landed_ticks);
    void DropCues();

    // Sound and pacing (shell_playback.cpp).
    struct QueuedFrame {
        int64_t pts = 0;
        std::vector<uint8_t> pixels;
        int width = 0;
        int height = 0;
    };
    struct AudioChunk {
        AudioFormat format;
        int64_t pts = 0;
        std::vector<int16_t> samples;
    };
    // Pump thread only while it runs.
    struct AudioFeed {
        std::deque<AudioChunk> pending;  // pulled, not yet queued on the output
        int64_t first_pts = INT64_MIN;
        int64_t pulled_end = INT64_MIN;  // time at the end of the last pull (INT64_MIN: none yet)
        AudioFormat device;              // of the open output
        AudioFormat unplayable;          // a format the output refused; its deliveries are dropped
        bool fresh = false;              // the output opened; the clock follows its first delivery
        bool started = false;            // the output plays (it waits for the first pictures)
        bool failed = false;             // no output: playing on the system clock instead
        bool downmixed = false;          // the engine was asked for stereo
        bool ended = false;
        int64_t played = 0;  // samples per channel queued on the output
        int failures = 0;
    };
    void PreparePacing();
    bool PullAudio(int &audio_frames);
    void FeedAudio();
    bool OpenAudio(const AudioFormat &format);
    void AudioFailed(const char *reason);
    bool PullVideo(int &video_frames, int &failures);
    bool ConvertFrame(const oppb_sample &sample, std::vector<uint8_t> &pixels);
    // The clock's time, INT64_MIN before it started; the second under av_mutex_.
    int64_t ClockNow();
    int64_t ClockNowLocked();
    size_t FramesWaiting();
    TickOutcome OnDisplayTick();
    void KickPump();

    Platform &platform_;
    std::string app_dir_override_;
    std::u16string app_dir_;
    EngineBindings bindings_{};
    int engines_loaded_ = 0;
    ShellModel model_;
    Chrome chrome_;
    std::vector<std::shared_ptr<ui::Border>> tiles_;
    Page page_;

    // Playback: the handles, streams and duration are set before the pump
    // starts and only read while it runs.
    oppb_engine *main_ = nullptr;
    oppb_engine *subtitles_ = nullptr;
    std::atomic<bool> playing_{false};
    std::atomic<bool> stop_requested_{false};
    std::thread pump_;
    // Wakes the pump's waits when a stop is requested.
    std::mutex pump_mutex_;
    std::condition_variable pump_wake_;
    std::atomic<int64_t> duration_{0};
    std::atomic<int64_t> position_{0};
    int video_stream_ = -1;
    int audio_stream_ = -1;
    int subtitle_stream_ = -1;
    char subtitle_codec_[32] = {};
    // Each playback's number; subtitle texts posted by an earlier one are dropped.
    uint64_t generation_ = 0;
    // Pump thread only while it runs.
    std::string shown_subtitle_;
    int64_t newest_cue_start_ = 0;
    HandOver frame_;

    // Sound and pacing.
    Presentation presentation_;
    std::unique_ptr<AudioOutput> audio_;
    std::atomic<int> volume_{100};
    std::atomic<bool> muted_{false};
    // Extra playback-engine entry points, looked up when a playback starts (may be absent).
    int32_t (*oppb_set_config_)(oppb_engine *, const char *) = nullptr;
    AudioFeed feed_;
    // Pump thread: the pictures are over; pictures pulled since the start or the last seek.
    bool video_ended_ = false;
    int pictures_since_start_ = 0;
    int pump_late_run_ = 0;  // late pictures dropped before conversion in a row
    bool pump_kicked_ = false;  // under pump_mutex_: the UI took a frame
    // Frames converted ahead, the clock and the figures, shared by the pump
    // and the display tick; the output's level is read under it too.
    std::mutex av_mutex_;
    std::deque<QueuedFrame> frames_;
    PlaybackClock clock_;
    bool clock_started_ = false;
    bool pump_done_ = false;
    PacingFigures figures_;
    bool display_tick_running_ = false;  // UI thread
    // Transport. The outline and the requests are shared with the pump under the mutex.
    mutable std::mutex transport_mutex_;
    Outline outline_;
    uint64_t outline_generation_ = 0;  // the playback the outline was read for
    PumpRequests requests_;
    // The generation of the last pump that has ended (set by the pump thread as it ends).
    std::atomic<uint64_t> pump_ended_generation_{0};
    std::once_flag transport_entries_bound_;
    TransportEntries transport_entries_;
    std::chrono::steady_clock::time_point progress_until_{};
    ProgressBar progress_;

    // Remote control.
    void RefreshRemotePairing();
    std::u16string media_path_;
    std::shared_ptr<RemoteHost> remote_;
    std::shared_ptr<ui::Border> pairing_panel_;  // while a code is shown
    std::shared_ptr<ui::TextBlock> pairing_expiry_;
    int64_t pairing_expires_ = 0;  // seconds since 1970
};

}  // namespace shell
