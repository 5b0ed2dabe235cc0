// The platform on SDL2: one window (1920 x 1080 logical, scaled to fit) or,
// headless, SDL's offscreen driver with the software renderer; keyboard and
// game controllers as virtual-key codes; the UI thread's event loop with a
// work queue, repeating timers and scripted input; sound through SDL's audio
// (its "dummy" driver when headless, unless SDL_AUDIODRIVER names another).
#pragma once

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/platform.h"
#include "core/script.h"
#include "sdl/fonts.h"
#include "sdl/tree_renderer.h"
#include "sdl/virtual_keys.h"

namespace shell::sdl {

inline constexpr int LOGICAL_WIDTH = 1920;
inline constexpr int LOGICAL_HEIGHT = 1080;
inline constexpr std::chrono::milliseconds REPEAT_DELAY{500};
inline constexpr std::chrono::milliseconds REPEAT_INTERVAL{100};
// How long a scripted controller press is held, and the pause after its release.
inline constexpr std::chrono::milliseconds PAD_SETTLE{30};

struct PlatformSettings {
    bool headless = false;  // also without DISPLAY and WAYLAND_DISPLAY
    bool quiet = false;     // no debugger output
    std::string local_dir;  // else SDL's preferences folder
    std::string temp_dir;   // else $TMPDIR, else /tmp/
};

class SdlPlatform final : public Platform {
public:
    using Clock = std::chrono::steady_clock;

    // Throws PlatformError when SDL, the window or the fonts cannot be set up.
    explicit SdlPlatform(const PlatformSettings &settings);
    ~SdlPlatform() override;
    SdlPlatform(const SdlPlatform &) = delete;
    SdlPlatform &operator=(const SdlPlatform &) = delete;

    // Runs `launched`, then the event loop until the window closes, Quit is
    // called, `script` ends a headless run (or says quit), or `exit_after` passes.
    // False when the script failed.
    bool Run(const std::function<void()> &launched, const std::vector<ScriptStep> &script,
             std::optional<std::chrono::milliseconds> exit_after);
    void Quit() { running_ = false; }
    // Lays out and draws the content, as the event loop does before waiting.
    void Refresh();
    // PNG of what the window shows; false with the reason on stderr.
    bool SaveScreenshot(const std::string &path);

    void SetContent(std::shared_ptr<ui::Element> root) override;
    bool SetKeyHandler(std::function<bool(int virtual_key)> handler) override;
    void SetUnhandledExceptionHandler(std::function<void(uint32_t, std::u16string_view)> handler) override;
    void Post(std::function<void()> work) override;
    void StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) override;
    void StartDisplayTick(std::function<TickOutcome()> tick) override;
    std::unique_ptr<AudioOutput> CreateAudioOutput() override;
    std::string LocalFolder() override;
    std::string ReadTextFile(const std::string &path) override;
    bool FileExists(const std::string &path) override;
    bool IsRegularFile(const std::string &path) override;
    std::string TempDirectory() override;
    std::string ExecutablePath() override;
    void DebugOutput(std::u16string_view line) override;
    std::shared_ptr<const ui::Bitmap> LoadImageFile(const std::string &path) override;

    const ui::TextMeasurer &measurer() const { return *fonts_; }

private:
    struct Timer {
        Clock::duration interval;
        Clock::time_point next;
        std::function<TickOutcome()> tick;
    };
    struct HeldInput {
        SDL_JoystickID controller;
        int virtual_key;
        Clock::time_point next_repeat;
    };

    // Which video driver and renderer the window got, and its size.
    void LogWindow();
    void HandleEvent(const SDL_Event &event);
    void HandleAxis(const SDL_ControllerAxisEvent &axis);
    void Press(SDL_JoystickID controller, int virtual_key);
    void Release(SDL_JoystickID controller, int virtual_key);
    void DeliverKey(int virtual_key);
    void RunPostedWork();
    void RunDue(Clock::time_point now);
    // False when the step failed.
    bool RunStep(const ScriptStep &step, Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;
    // Calls `work`, reporting an escaping exception before letting it end the program.
    void Guarded(const std::function<void()> &work);
    // The virtual controller that scripted "pad" steps press.
    void AttachScriptController();
    void DetachScriptController();
    void SetPadInput(const PadInput &input, bool pressed);

    PlatformSettings settings_;
    bool headless_ = false;
    SDL_Window *window_ = nullptr;
    SDL_Renderer *renderer_ = nullptr;
    std::unique_ptr<Fonts> fonts_;
    std::unique_ptr<TreeRenderer> tree_renderer_;
    std::shared_ptr<ui::Element> root_;
    std::function<bool(int)> key_handler_;
    std::function<void(uint32_t, std::u16string_view)> unhandled_;
    std::vector<Timer> timers_;

    uint32_t wake_event_ = 0;
    std::mutex queue_mutex_;
    std::deque<std::function<void()>> queue_;
    std::atomic<bool> wake_pending_{false};

    std::map<SDL_JoystickID, SDL_GameController *> controllers_;
    std::vector<HeldInput> held_;

    const std::vector<ScriptStep> *script_ = nullptr;
    int script_device_ = -1;
    SDL_Joystick *script_joystick_ = nullptr;
    std::optional<PadInput> pad_release_;
    size_t next_step_ = 0;
    Clock::time_point step_ready_at_;
    std::optional<Clock::time_point> exit_at_;
    bool running_ = false;
    // Something may have changed the content since it was last drawn.
    bool redraw_ = true;
};

}  // namespace shell::sdl
