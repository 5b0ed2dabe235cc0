#include "sdl_platform.h"

#include <SDL_image.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "core/files.h"
#include "core/platform_error.h"
#include "core/shell_log.h"
#include "core/text.h"
#include "sdl/sdl_audio.h"
#include "sdl/virtual_keys.h"
#include "ui/tree_dump.h"

namespace shell::sdl {
namespace {

// Text files the shell reads ("play.txt") are short; a longer one is cut.
constexpr size_t TEXT_FILE_LIMIT = 1 << 20;
constexpr int AXIS_PRESS = 16384;    // half way
constexpr int AXIS_RELEASE = 12000;  // a little less, so a stick at the threshold does not chatter
constexpr int HEADLESS_REFRESH_RATE = 60;

[[noreturn]] void throw_sdl(const char *what) {
    throw PlatformError(CODE_FAIL, std::string(what) + ": " + SDL_GetError());
}

bool has_display() {
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char *value = getenv(variable);
        if (value && *value) return true;
    }
    return false;
}

void script_message(const ScriptStep &step, const std::string &message) {
    fprintf(stderr, "app: script line %d: %s\n", step.line, message.c_str());
}

}  // namespace

SdlPlatform::SdlPlatform(const PlatformSettings &settings)
    : settings_(settings), headless_(settings.headless || !has_display()) {
    if (headless_) {
        // Over any SDL_VIDEODRIVER in the environment: headless means no display.
        SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "offscreen", SDL_HINT_OVERRIDE);
        SDL_SetHintWithPriority(SDL_HINT_RENDER_DRIVER, "software", SDL_HINT_OVERRIDE);
        // No GL behind the window's pixels either: nothing to probe for without a display.
        SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_OVERRIDE);
        // Sound is played at the real rate and heard by nobody, unless the
        // environment names a driver (the disk driver records what was played).
        SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_DEFAULT);
    }
    // Text and pictures scaled down to a smaller window stay smooth.
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    // A controller keeps working while the window has no focus (and headless, where it never has).
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_GAMECONTROLLER | SDL_INIT_EVENTS) != 0) throw_sdl("SDL_Init");
    wake_event_ = SDL_RegisterEvents(1);

    int width = LOGICAL_WIDTH, height = LOGICAL_HEIGHT;
    SDL_Rect usable;
    if (!headless_ && SDL_GetDisplayUsableBounds(0, &usable) == 0) {
        // The largest 16:9 window that fits the screen, at most 1:1.
        float scale = std::min({1.f, usable.w * 0.95f / LOGICAL_WIDTH, usable.h * 0.95f / LOGICAL_HEIGHT});
        width = int(LOGICAL_WIDTH * scale);
        height = int(LOGICAL_HEIGHT * scale);
    }
    window_ = SDL_CreateWindow("ORVELLO PLAYER", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width, height,
                               SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
    if (!window_) throw_sdl("SDL_CreateWindow");
    renderer_ = SDL_CreateRenderer(window_, -1, headless_ ? SDL_RENDERER_SOFTWARE : SDL_RENDERER_ACCELERATED);
    if (!renderer_) renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
    if (!renderer_) throw_sdl("SDL_CreateRenderer");
    SDL_RenderSetLogicalSize(renderer_, LOGICAL_WIDTH, LOGICAL_HEIGHT);
    fonts_ = std::make_unique<Fonts>();
    tree_renderer_ = std::make_unique<TreeRenderer>(renderer_, *fonts_);
}

SdlPlatform::~SdlPlatform() {
    tree_renderer_.reset();
    fonts_.reset();
    for (auto &[id, controller] : controllers_) SDL_GameControllerClose(controller);
    SDL_DestroyRenderer(renderer_);
    SDL_DestroyWindow(window_);
    SDL_Quit();
}

// ---- Platform ----

void SdlPlatform::SetContent(std::shared_ptr<ui::Element> root) {
    root_ = std::move(root);
    SDL_ShowWindow(window_);
}

bool SdlPlatform::SetKeyHandler(std::function<bool(int)> handler) {
    key_handler_ = std::move(handler);
    return true;
}

void SdlPlatform::SetUnhandledExceptionHandler(std::function<void(uint32_t, std::u16string_view)> handler) {
    unhandled_ = std::move(handler);
}

void SdlPlatform::Post(std::function<void()> work) {
    {
        std::lock_guard lock(queue_mutex_);
        queue_.push_back(std::move(work));
    }
    // One wake event at a time is enough: the loop drains the whole queue.
    if (!wake_pending_.exchange(true)) {
        SDL_Event wake{};
        wake.type = wake_event_;
        SDL_PushEvent(&wake);
    }
}

void SdlPlatform::StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) {
    timers_.push_back({interval, Clock::now() + interval, [tick = std::move(tick)] {
                           tick();
                           return TickOutcome::Redraw;
                       }});
}

void SdlPlatform::StartDisplayTick(std::function<TickOutcome()> tick) {
    SDL_DisplayMode mode{};
    int rate = HEADLESS_REFRESH_RATE;
    if (!headless_ && SDL_GetWindowDisplayMode(window_, &mode) == 0 && mode.refresh_rate > 0) rate = mode.refresh_rate;
    auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    timers_.push_back({interval, Clock::now() + interval, std::move(tick)});
}

std::unique_ptr<AudioOutput> SdlPlatform::CreateAudioOutput() { return std::make_unique<SdlAudioOutput>(); }

std::string SdlPlatform::LocalFolder() {
    if (!settings_.local_dir.empty()) return settings_.local_dir;
    char *path = SDL_GetPrefPath("Orvello", "OrvelloPlayer");
    if (!path) throw_sdl("SDL_GetPrefPath");
    std::string folder = path;
    SDL_free(path);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

std::string SdlPlatform::ReadTextFile(const std::string &path) { return read_regular_file(path, TEXT_FILE_LIMIT); }

bool SdlPlatform::FileExists(const std::string &path) { return file_exists(path); }

bool SdlPlatform::IsRegularFile(const std::string &path) { return is_regular_file(path); }

std::string SdlPlatform::TempDirectory() { return temp_directory(settings_.temp_dir); }

std::string SdlPlatform::ExecutablePath() { return executable_path(); }

void SdlPlatform::DebugOutput(std::u16string_view line) {
    if (settings_.quiet) return;
    std::string bytes = utf16_to_utf8(line) + '\n';
    fwrite(bytes.data(), 1, bytes.size(), stderr);
}

std::shared_ptr<const ui::Bitmap> SdlPlatform::LoadImageFile(const std::string &path) {
    if (!file_exists(path)) throw PlatformError(CODE_FILE_NOT_FOUND, "image " + path + " not found");
    SDL_Surface *loaded = IMG_Load(path.c_str());
    if (!loaded) throw PlatformError(CODE_FAIL, "image " + path + ": " + IMG_GetError());
    SDL_Surface *converted = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_BGRA32, 0);
    SDL_FreeSurface(loaded);
    if (!converted) throw_sdl("SDL_ConvertSurfaceFormat");
    auto bitmap = std::make_shared<ui::Bitmap>();
    bitmap->width = converted->w;
    bitmap->height = converted->h;
    bitmap->bgra.resize(size_t(converted->w) * size_t(converted->h) * 4);
    for (int y = 0; y < converted->h; y++)
        std::copy_n(static_cast<const uint8_t *>(converted->pixels) + size_t(y) * size_t(converted->pitch),
                    size_t(converted->w) * 4, bitmap->bgra.data() + size_t(y) * size_t(converted->w) * 4);
    SDL_FreeSurface(converted);
    return bitmap;
}

// ---- drawing ----

void SdlPlatform::Refresh() {
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    if (root_) {
        ui::Layout(*root_, {float(LOGICAL_WIDTH), float(LOGICAL_HEIGHT)}, *fonts_);
        tree_renderer_->Draw(*root_);
    }
}

bool SdlPlatform::SaveScreenshot(const std::string &path) {
    Refresh();
    // Read the whole output, the bars around the scaled picture included.
    SDL_RenderSetLogicalSize(renderer_, 0, 0);
    int width = 0, height = 0;
    SDL_GetRendererOutputSize(renderer_, &width, &height);
    SDL_Surface *shot = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_ARGB8888);
    bool saved = shot &&
                 SDL_RenderReadPixels(renderer_, nullptr, SDL_PIXELFORMAT_ARGB8888, shot->pixels, shot->pitch) == 0 &&
                 IMG_SavePNG(shot, path.c_str()) == 0;
    if (!saved) fprintf(stderr, "app: screenshot %s: %s\n", path.c_str(), SDL_GetError());
    SDL_FreeSurface(shot);
    SDL_RenderSetLogicalSize(renderer_, LOGICAL_WIDTH, LOGICAL_HEIGHT);
    SDL_RenderPresent(renderer_);
    return saved;
}

// ---- event loop ----

void SdlPlatform::Guarded(const std::function<void()> &work) {
    try {
        work();
    } catch (const PlatformError &error) {
        if (unhandled_) unhandled_(error.code(), utf8_to_utf16(error.what()));
        throw;
    } catch (const std::exception &error) {
        if (unhandled_) unhandled_(CODE_FAIL, utf8_to_utf16(error.what()));
        throw;
    }
}

bool SdlPlatform::Run(const std::function<void()> &launched, const std::vector<ScriptStep> &script,
                      std::optional<std::chrono::milliseconds> exit_after) {
    for (const ScriptStep &step : script) {
        if (step.op == ScriptStep::Op::Pad && !pad_input(step.text)) {
            script_message(step, "unknown controller input \"" + step.text + "\"");
            return false;
        }
    }
    script_ = &script;
    next_step_ = 0;
    step_ready_at_ = Clock::now();
    exit_at_.reset();
    if (exit_after) exit_at_ = Clock::now() + *exit_after;
    running_ = true;
    if (std::any_of(script.begin(), script.end(), [](const ScriptStep &s) { return s.op == ScriptStep::Op::Pad; }))
        AttachScriptController();
    Guarded(launched);
    LogWindow();
    bool succeeded = true;
    while (running_) {
        RunPostedWork();
        Clock::time_point now = Clock::now();
        if (exit_at_ && now >= *exit_at_) {
            if (next_step_ < script.size()) {
                // A script that has not finished in time fails its run.
                log_line(u"script unfinished: --exit-after passed before line %d", script[next_step_].line);
                fprintf(stderr, "app: --exit-after passed before script line %d\n", script[next_step_].line);
                succeeded = false;
            }
            break;
        }
        RunDue(now);
        if (!running_) break;
        bool script_waiting = next_step_ < script.size();
        if (script_waiting && now >= step_ready_at_) {
            if (pad_release_) {
                // The press has been seen; release it and give the release a pass of its own.
                SetPadInput(*pad_release_, false);
                pad_release_.reset();
                step_ready_at_ = now + PAD_SETTLE;
                continue;
            }
            // One step per pass, so the work it posts runs before the next.
            Guarded([this] { Refresh(); });
            if (!RunStep(script[next_step_++], now)) {
                succeeded = false;
                break;
            }
            continue;
        }
        // A headless run ends with its script.
        if (headless_ && !script.empty() && !script_waiting) break;
        if (redraw_) {
            redraw_ = false;
            Guarded([this] { Refresh(); });
            SDL_RenderPresent(renderer_);
        }
        std::optional<Clock::time_point> deadline = NextDeadline();
        SDL_Event event;
        int got;
        if (deadline) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            got = SDL_WaitEventTimeout(&event, int(std::clamp<long long>(wait + 1, 0, 1'000'000)));
        } else {
            got = SDL_WaitEvent(&event);
        }
        if (!got) continue;
        HandleEvent(event);
        while (running_ && SDL_PollEvent(&event)) HandleEvent(event);
    }
    running_ = false;
    script_ = nullptr;
    DetachScriptController();
    return succeeded;
}

void SdlPlatform::LogWindow() {
    int width = 0, height = 0;
    SDL_GetWindowSize(window_, &width, &height);
    SDL_RendererInfo info{};
    SDL_GetRendererInfo(renderer_, &info);
    const char *driver = SDL_GetCurrentVideoDriver();
    log_line(u"window: %S video, %dx%d, %S renderer", driver ? driver : "?", width, height,
             info.name ? info.name : "?");
}

void SdlPlatform::AttachScriptController() {
    SDL_VirtualJoystickDesc desc{};
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    desc.naxes = SDL_CONTROLLER_AXIS_MAX;
    desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    desc.name = "script controller";
    int device = SDL_JoystickAttachVirtualEx(&desc);
    if (device < 0) throw_sdl("SDL_JoystickAttachVirtualEx");
    script_device_ = device;
    script_joystick_ = SDL_JoystickOpen(device);
    if (!script_joystick_) throw_sdl("SDL_JoystickOpen");
    // The controller is opened when its arrival is handled, before the first step.
    SDL_Event event;
    while (SDL_PollEvent(&event)) HandleEvent(event);
}

void SdlPlatform::DetachScriptController() {
    if (!script_joystick_) return;
    SDL_JoystickClose(script_joystick_);
    SDL_JoystickDetachVirtual(script_device_);
    script_joystick_ = nullptr;
    pad_release_.reset();
}

void SdlPlatform::SetPadInput(const PadInput &input, bool pressed) {
    if (input.button != SDL_CONTROLLER_BUTTON_INVALID)
        SDL_JoystickSetVirtualButton(script_joystick_, input.button, pressed ? SDL_PRESSED : SDL_RELEASED);
    else  // sticks and triggers are pushed all the way in their direction
        SDL_JoystickSetVirtualAxis(script_joystick_, input.axis, Sint16(pressed ? input.axis_value : 0));
    // The controller's events are queued now: a press and its release never fall into one update.
    SDL_JoystickUpdate();
}

std::optional<SdlPlatform::Clock::time_point> SdlPlatform::NextDeadline() const {
    std::optional<Clock::time_point> deadline = exit_at_;
    auto consider = [&deadline](Clock::time_point t) {
        if (!deadline || t < *deadline) deadline = t;
    };
    for (const Timer &timer : timers_) consider(timer.next);
    for (const HeldInput &held : held_)
        if (held.next_repeat != Clock::time_point::max()) consider(held.next_repeat);
    if (script_ && next_step_ < script_->size()) consider(step_ready_at_);
    return deadline;
}

void SdlPlatform::RunPostedWork() {
    wake_pending_ = false;
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lock(queue_mutex_);
        work.swap(queue_);
    }
    if (!work.empty()) redraw_ = true;
    for (auto &item : work) Guarded(item);
}

void SdlPlatform::RunDue(Clock::time_point now) {
    // By index: a tick may start another timer.
    for (size_t i = 0; i < timers_.size(); i++) {
        if (now < timers_[i].next) continue;
        timers_[i].next += timers_[i].interval;
        if (timers_[i].next <= now) timers_[i].next = now + timers_[i].interval;  // fell behind: no burst
        std::function<TickOutcome()> tick = timers_[i].tick;
        TickOutcome outcome = TickOutcome::Redraw;
        Guarded([&] { outcome = tick(); });
        if (outcome == TickOutcome::Stop) timers_[i].next = Clock::time_point::max();
        if (outcome != TickOutcome::Unchanged) redraw_ = true;
    }
    std::erase_if(timers_, [](const Timer &timer) { return timer.next == Clock::time_point::max(); });
    for (size_t i = 0; i < held_.size(); i++) {
        if (now < held_[i].next_repeat) continue;
        held_[i].next_repeat = now + REPEAT_INTERVAL;
        DeliverKey(held_[i].virtual_key);
    }
}

bool SdlPlatform::RunStep(const ScriptStep &step, Clock::time_point now) {
    using Op = ScriptStep::Op;
    switch (step.op) {
        case Op::Key: DeliverKey(step.number); return true;
        case Op::Pad: {
            // Through SDL's virtual controller, as a controller's press arrives.
            const PadInput *input = pad_input(step.text);
            SetPadInput(*input, true);
            pad_release_ = *input;
            step_ready_at_ = now + PAD_SETTLE;
            return true;
        }
        case Op::Tap: {
            std::string name = "tile[" + std::to_string(step.number) + "]";
            ui::Element *tile = root_ ? ui::FindByName(*root_, name) : nullptr;
            if (!tile || !tile->visible()) {
                script_message(step, "no " + name + " to tap");
                return true;
            }
            ui::Rect r = tile->bounds();
            ui::Element *hit = ui::HitTest(*root_, {r.x + r.width / 2, r.y + r.height / 2});
            Guarded([hit] { ui::RaiseTapped(hit); });
            return true;
        }
        case Op::Wait: step_ready_at_ = now + std::chrono::milliseconds(step.number); return true;
        case Op::Beats: step_ready_at_ = now + std::chrono::milliseconds(HEARTBEAT_MS) * step.number; return true;
        case Op::Shot: return SaveScreenshot(step.text);
        case Op::Tree: {
            std::ofstream out(step.text, std::ios::binary);
            out << (root_ ? ui::DumpTree(*root_) : std::string("null\n"));
            if (!out.flush()) {
                script_message(step, "cannot write " + step.text);
                return false;
            }
            return true;
        }
        case Op::Quit: running_ = false; return true;
    }
    return true;
}

void SdlPlatform::DeliverKey(int virtual_key) {
    redraw_ = true;
    if (key_handler_) Guarded([this, virtual_key] { key_handler_(virtual_key); });
}

void SdlPlatform::HandleEvent(const SDL_Event &event) {
    redraw_ = true;
    switch (event.type) {
        case SDL_QUIT: running_ = false; break;
        case SDL_KEYDOWN:
            // The keyboard's own repeats arrive as further key-downs, as on the console.
            if (int key = virtual_key_from_keycode(event.key.keysym.sym)) DeliverKey(key);
            break;
        case SDL_CONTROLLERDEVICEADDED: {
            SDL_GameController *controller = SDL_GameControllerOpen(event.cdevice.which);
            if (!controller) break;
            SDL_JoystickID id = SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(controller));
            if (controllers_.count(id))
                SDL_GameControllerClose(controller);
            else
                controllers_[id] = controller;
            break;
        }
        case SDL_CONTROLLERDEVICEREMOVED: {
            auto found = controllers_.find(event.cdevice.which);
            if (found == controllers_.end()) break;
            SDL_GameControllerClose(found->second);
            controllers_.erase(found);
            std::erase_if(held_, [&](const HeldInput &held) { return held.controller == event.cdevice.which; });
            break;
        }
        case SDL_CONTROLLERBUTTONDOWN:
            if (int key = virtual_key_from_button(SDL_GameControllerButton(event.cbutton.button)))
                Press(event.cbutton.which, key);
            break;
        case SDL_CONTROLLERBUTTONUP:
            if (int key = virtual_key_from_button(SDL_GameControllerButton(event.cbutton.button)))
                Release(event.cbutton.which, key);
            break;
        case SDL_CONTROLLERAXISMOTION: HandleAxis(event.caxis); break;
        default: break;  // the wake event only ends the wait
    }
}

void SdlPlatform::HandleAxis(const SDL_ControllerAxisEvent &axis) {
    auto update = [&](int key, int deflection) {
        bool held = std::any_of(held_.begin(), held_.end(),
                                [&](const HeldInput &h) { return h.controller == axis.which && h.virtual_key == key; });
        bool pressed = deflection > (held ? AXIS_RELEASE : AXIS_PRESS);
        if (pressed && !held) Press(axis.which, key);
        if (!pressed && held) Release(axis.which, key);
    };
    int value = axis.value;
    switch (axis.axis) {
        case SDL_CONTROLLER_AXIS_LEFTX:
            update(LEFT_STICK_KEYS.left, -value);
            update(LEFT_STICK_KEYS.right, value);
            break;
        case SDL_CONTROLLER_AXIS_LEFTY:  // SDL's y grows downwards
            update(LEFT_STICK_KEYS.up, -value);
            update(LEFT_STICK_KEYS.down, value);
            break;
        case SDL_CONTROLLER_AXIS_RIGHTX:
            update(RIGHT_STICK_KEYS.left, -value);
            update(RIGHT_STICK_KEYS.right, value);
            break;
        case SDL_CONTROLLER_AXIS_RIGHTY:
            update(RIGHT_STICK_KEYS.up, -value);
            update(RIGHT_STICK_KEYS.down, value);
            break;
        case SDL_CONTROLLER_AXIS_TRIGGERLEFT: update(LEFT_TRIGGER_KEY, value); break;
        case SDL_CONTROLLER_AXIS_TRIGGERRIGHT: update(RIGHT_TRIGGER_KEY, value); break;
        default: break;
    }
}

void SdlPlatform::Press(SDL_JoystickID controller, int virtual_key) {
    for (const HeldInput &held : held_)
        if (held.controller == controller && held.virtual_key == virtual_key) return;
    Clock::time_point repeat = repeats_while_held(virtual_key) ? Clock::now() + REPEAT_DELAY : Clock::time_point::max();
    held_.push_back({controller, virtual_key, repeat});
    DeliverKey(virtual_key);
}

void SdlPlatform::Release(SDL_JoystickID controller, int virtual_key) {
    std::erase_if(
        held_, [&](const HeldInput &held) { return held.controller == controller && held.virtual_key == virtual_key; });
}

}  // namespace shell::sdl
