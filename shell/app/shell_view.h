// The shell's view: owns the binding record, the model and the chrome (the
// fixed element tree every page and the video are shown in); runs the start-up
// routine, shows template pages as tiles, turns keys and taps into focus
// actions, and plays a media file with a pump thread. UI thread only, except
// where a member says otherwise.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/platform.h"
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

class ShellView : public std::enable_shared_from_this<ShellView> {
public:
    // `app_dir` (UTF-8) stands in for the program's own directory when given.
    ShellView(Platform &platform, std::string app_dir);
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

    // Pump thread.
    void RunPump(uint64_t generation);
    void Pump(uint64_t generation);
    void ConvertAndStore(const oppb_sample &sample);
    void PullCues(int64_t video_time, uint64_t generation);

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

    // Remote control.
    void RefreshRemotePairing();
    std::u16string media_path_;
    std::shared_ptr<RemoteHost> remote_;
    std::shared_ptr<ui::Border> pairing_panel_;  // while a code is shown
    std::shared_ptr<ui::TextBlock> pairing_expiry_;
    int64_t pairing_expires_ = 0;  // seconds since 1970
};

}  // namespace shell
