// The SDL platform, headless: key codes of keyboards and game controllers
// (through SDL's virtual controller), auto-repeat, the work queue, the timer,
// images, and the drawing of rounded borders.
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "core/platform_error.h"
#include "sdl/sdl_platform.h"
#include "sdl/virtual_keys.h"

using namespace shell;
using namespace shell::sdl;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

PlatformSettings headless() {
    PlatformSettings settings;
    settings.headless = true;
    settings.quiet = true;
    return settings;
}

// Steps run one after another on the UI timer, then the loop ends.
class Steps {
public:
    explicit Steps(SdlPlatform &platform) : platform_(platform) {}
    void Add(std::function<void()> step) { steps_.push_back(std::move(step)); }
    void Run(std::chrono::milliseconds every) {
        platform_.StartTimer(every, [this] {
            if (next_ < steps_.size())
                steps_[next_++]();
            else
                platform_.Quit();
        });
        platform_.Run([] {}, {}, 10s);
    }

private:
    SdlPlatform &platform_;
    std::vector<std::function<void()>> steps_;
    size_t next_ = 0;
};

void push_key(SDL_Keycode key, bool repeat = false) {
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.keysym.sym = key;
    event.key.repeat = repeat;
    SDL_PushEvent(&event);
}

// The VK_ constants of the MinGW winuser.h, by name without the prefix.
std::map<std::string, int> winuser_codes() {
    std::map<std::string, int> codes;
    std::ifstream in("/usr/share/mingw-w64/include/winuser.h");
    for (std::string line; std::getline(in, line);) {
        char name[64];
        unsigned value;
        if (sscanf(line.c_str(), " #define VK_%63[A-Z0-9_] 0x%x", name, &value) == 2) codes[name] = int(value);
    }
    return codes;
}

}  // namespace

TEST(VirtualKeys, MatchTheWindowsCodes) {
    auto codes = winuser_codes();
    if (codes.empty()) GTEST_SKIP() << "mingw-w64-common (winuser.h) is not installed";
    struct Key {
        SDL_Keycode key;
        const char *name;
    } keys[] = {
        {SDLK_UP, "UP"},
        {SDLK_DOWN, "DOWN"},
        {SDLK_LEFT, "LEFT"},
        {SDLK_RIGHT, "RIGHT"},
        {SDLK_RETURN, "RETURN"},
        {SDLK_ESCAPE, "ESCAPE"},
        {SDLK_SPACE, "SPACE"},
        {SDLK_BACKSPACE, "BACK"},
        {SDLK_PAGEUP, "PRIOR"},
        {SDLK_PAGEDOWN, "NEXT"},
        {SDLK_HOME, "HOME"},
        {SDLK_END, "END"},
        {SDLK_F1, "F1"},
        {SDLK_F12, "F12"},
        {SDLK_KP_0, "NUMPAD0"},
        {SDLK_KP_9, "NUMPAD9"},
        {SDLK_AUDIOPLAY, "MEDIA_PLAY_PAUSE"},
        {SDLK_AUDIOSTOP, "MEDIA_STOP"},
        {SDLK_AUDIONEXT, "MEDIA_NEXT_TRACK"},
        {SDLK_AC_BACK, "BROWSER_BACK"},
        {SDLK_AC_HOME, "BROWSER_HOME"},
        {SDLK_APPLICATION, "APPS"},
        {SDLK_LALT, "MENU"},
        {SDLK_PAUSE, "PAUSE"},
    };
    for (const Key &k : keys) EXPECT_EQ(virtual_key_from_keycode(k.key), codes.at(k.name)) << k.name;
    EXPECT_EQ(virtual_key_from_keycode(SDLK_a), 'A');
    EXPECT_EQ(virtual_key_from_keycode(SDLK_7), '7');
    EXPECT_EQ(virtual_key_from_keycode(SDLK_CAPSLOCK), 0);

    struct Pad {
        const char *script_name;
        const char *name;
        SDL_GameControllerButton button;
    } pads[] = {
        {"a", "GAMEPAD_A", SDL_CONTROLLER_BUTTON_A},
        {"b", "GAMEPAD_B", SDL_CONTROLLER_BUTTON_B},
        {"x", "GAMEPAD_X", SDL_CONTROLLER_BUTTON_X},
        {"y", "GAMEPAD_Y", SDL_CONTROLLER_BUTTON_Y},
        {"rb", "GAMEPAD_RIGHT_SHOULDER", SDL_CONTROLLER_BUTTON_RIGHTSHOULDER},
        {"lb", "GAMEPAD_LEFT_SHOULDER", SDL_CONTROLLER_BUTTON_LEFTSHOULDER},
        {"up", "GAMEPAD_DPAD_UP", SDL_CONTROLLER_BUTTON_DPAD_UP},
        {"down", "GAMEPAD_DPAD_DOWN", SDL_CONTROLLER_BUTTON_DPAD_DOWN},
        {"left", "GAMEPAD_DPAD_LEFT", SDL_CONTROLLER_BUTTON_DPAD_LEFT},
        {"right", "GAMEPAD_DPAD_RIGHT", SDL_CONTROLLER_BUTTON_DPAD_RIGHT},
        {"menu", "GAMEPAD_MENU", SDL_CONTROLLER_BUTTON_START},
        {"view", "GAMEPAD_VIEW", SDL_CONTROLLER_BUTTON_BACK},
        {"ls", "GAMEPAD_LEFT_THUMBSTICK_BUTTON", SDL_CONTROLLER_BUTTON_LEFTSTICK},
        {"rs", "GAMEPAD_RIGHT_THUMBSTICK_BUTTON", SDL_CONTROLLER_BUTTON_RIGHTSTICK},
        {"lt", "GAMEPAD_LEFT_TRIGGER", SDL_CONTROLLER_BUTTON_INVALID},
        {"rt", "GAMEPAD_RIGHT_TRIGGER", SDL_CONTROLLER_BUTTON_INVALID},
        {"ls_up", "GAMEPAD_LEFT_THUMBSTICK_UP", SDL_CONTROLLER_BUTTON_INVALID},
        {"ls_down", "GAMEPAD_LEFT_THUMBSTICK_DOWN", SDL_CONTROLLER_BUTTON_INVALID},
        {"ls_left", "GAMEPAD_LEFT_THUMBSTICK_LEFT", SDL_CONTROLLER_BUTTON_INVALID},
        {"ls_right", "GAMEPAD_LEFT_THUMBSTICK_RIGHT", SDL_CONTROLLER_BUTTON_INVALID},
        {"rs_up", "GAMEPAD_RIGHT_THUMBSTICK_UP", SDL_CONTROLLER_BUTTON_INVALID},
        {"rs_down", "GAMEPAD_RIGHT_THUMBSTICK_DOWN", SDL_CONTROLLER_BUTTON_INVALID},
        {"rs_left", "GAMEPAD_RIGHT_THUMBSTICK_LEFT", SDL_CONTROLLER_BUTTON_INVALID},
        {"rs_right", "GAMEPAD_RIGHT_THUMBSTICK_RIGHT", SDL_CONTROLLER_BUTTON_INVALID},
    };
    for (const Pad &p : pads) {
        EXPECT_EQ(virtual_key_from_pad_name(p.script_name), codes.at(p.name)) << p.name;
        if (p.button != SDL_CONTROLLER_BUTTON_INVALID) {
            EXPECT_EQ(virtual_key_from_button(p.button), codes.at(p.name)) << p.name;
        }
    }
    EXPECT_EQ(virtual_key_from_pad_name("turbo"), 0);
}

TEST(SdlPlatform, KeyboardKeysReachTheHandlerAsVirtualKeys) {
    SdlPlatform platform(headless());
    std::vector<int> keys;
    platform.SetKeyHandler([&](int key) {
        keys.push_back(key);
        return true;
    });
    Steps steps(platform);
    steps.Add([] {
        push_key(SDLK_DOWN);
        push_key(SDLK_DOWN, true);  // the keyboard's own repeat
        push_key(SDLK_RETURN);
        push_key(SDLK_CAPSLOCK);  // no virtual key: not delivered
        push_key(SDLK_AUDIOPLAY);
    });
    steps.Run(20ms);
    EXPECT_EQ(keys, (std::vector<int>{40, 40, 13, 179}));
}

TEST(SdlPlatform, VirtualGameControllerButtonsSticksAndTriggers) {
    SdlPlatform platform(headless());
    std::vector<int> keys;
    platform.SetKeyHandler([&](int key) {
        keys.push_back(key);
        return true;
    });
    SDL_VirtualJoystickDesc desc{};
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    desc.naxes = SDL_CONTROLLER_AXIS_MAX;
    desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    desc.name = "test controller";
    int device = SDL_JoystickAttachVirtualEx(&desc);
    ASSERT_GE(device, 0) << SDL_GetError();
    SDL_Joystick *joystick = SDL_JoystickOpen(device);
    ASSERT_NE(joystick, nullptr);
    auto button = [joystick](SDL_GameControllerButton b, bool down) {
        return [=] { SDL_JoystickSetVirtualButton(joystick, b, down ? SDL_PRESSED : SDL_RELEASED); };
    };
    auto axis = [joystick](SDL_GameControllerAxis a, Sint16 value) {
        return [=] { SDL_JoystickSetVirtualAxis(joystick, a, value); };
    };
    Steps steps(platform);
    steps.Add([] {});  // the controller is opened
    steps.Add(button(SDL_CONTROLLER_BUTTON_A, true));
    steps.Add(button(SDL_CONTROLLER_BUTTON_A, false));
    steps.Add(button(SDL_CONTROLLER_BUTTON_B, true));
    steps.Add(button(SDL_CONTROLLER_BUTTON_B, false));
    steps.Add(button(SDL_CONTROLLER_BUTTON_START, true));
    steps.Add(button(SDL_CONTROLLER_BUTTON_START, false));
    steps.Add(axis(SDL_CONTROLLER_AXIS_LEFTY, 30000));  // down
    steps.Add(axis(SDL_CONTROLLER_AXIS_LEFTY, 14000));  // still held (hysteresis)
    steps.Add(axis(SDL_CONTROLLER_AXIS_LEFTY, 0));
    steps.Add(axis(SDL_CONTROLLER_AXIS_RIGHTX, -30000));  // left
    steps.Add(axis(SDL_CONTROLLER_AXIS_RIGHTX, 0));
    steps.Add(axis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 32767));
    steps.Add(axis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 0));
    steps.Run(40ms);
    SDL_JoystickClose(joystick);
    SDL_JoystickDetachVirtual(device);
    EXPECT_EQ(keys, (std::vector<int>{195, 196, 207, 212, 218, 202}));
}

TEST(SdlPlatform, AHeldDpadRepeatsAButtonDoesNot) {
    SdlPlatform platform(headless());
    std::vector<std::pair<int, SdlPlatform::Clock::time_point>> keys;
    platform.SetKeyHandler([&](int key) {
        keys.emplace_back(key, SdlPlatform::Clock::now());
        return true;
    });
    SDL_VirtualJoystickDesc desc{};
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    desc.naxes = SDL_CONTROLLER_AXIS_MAX;
    desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    int device = SDL_JoystickAttachVirtualEx(&desc);
    ASSERT_GE(device, 0) << SDL_GetError();
    SDL_Joystick *joystick = SDL_JoystickOpen(device);
    Steps steps(platform);
    steps.Add([] {});
    steps.Add([=] {
        SDL_JoystickSetVirtualButton(joystick, SDL_CONTROLLER_BUTTON_DPAD_DOWN, SDL_PRESSED);
        SDL_JoystickSetVirtualButton(joystick, SDL_CONTROLLER_BUTTON_A, SDL_PRESSED);
    });
    steps.Add([] {});  // held for about 850 ms: the first press, then repeats
    steps.Add([=] {
        SDL_JoystickSetVirtualButton(joystick, SDL_CONTROLLER_BUTTON_DPAD_DOWN, SDL_RELEASED);
        SDL_JoystickSetVirtualButton(joystick, SDL_CONTROLLER_BUTTON_A, SDL_RELEASED);
    });
    steps.Add([] {});
    steps.Run(425ms);
    SDL_JoystickClose(joystick);
    SDL_JoystickDetachVirtual(device);
    auto count = [&](int key) {
        return std::count_if(keys.begin(), keys.end(), [key](auto &k) { return k.first == key; });
    };
    long downs = count(204);
    EXPECT_EQ(count(195), 1);
    EXPECT_GE(downs, 3);  // 1 + repeats every 100 ms after 500 ms
    EXPECT_LE(downs, 6);
    ASSERT_GE(keys.size(), 3u);
    std::vector<SdlPlatform::Clock::time_point> down_times;
    for (auto &[key, at] : keys)
        if (key == 204) down_times.push_back(at);
    EXPECT_GE(down_times[1] - down_times[0], REPEAT_DELAY - 5ms);
}

TEST(SdlPlatform, WorkPostedFromOtherThreadsRunsOnTheUiThreadInOrder) {
    SdlPlatform platform(headless());
    constexpr int THREADS = 4, ITEMS = 500;
    std::vector<std::vector<int>> seen(THREADS);
    std::atomic<int> done{0};
    std::thread::id ui = std::this_thread::get_id();
    bool all_on_ui = true;
    std::vector<std::thread> threads;
    platform.Run(
        [&] {
            for (int t = 0; t < THREADS; t++)
                threads.emplace_back([&, t] {
                    for (int i = 0; i < ITEMS; i++)
                        platform.Post([&, t, i] {
                            seen[t].push_back(i);
                            all_on_ui = all_on_ui && std::this_thread::get_id() == ui;
                            if (++done == THREADS * ITEMS) platform.Quit();
                        });
                });
        },
        {}, 10s);
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(done, THREADS * ITEMS);
    EXPECT_TRUE(all_on_ui);
    for (auto &items : seen) {
        ASSERT_EQ(items.size(), size_t(ITEMS));
        EXPECT_TRUE(std::is_sorted(items.begin(), items.end()));
    }
}

TEST(SdlPlatform, TheTimerRepeatsAtItsInterval) {
    SdlPlatform platform(headless());
    std::vector<SdlPlatform::Clock::time_point> ticks;
    auto start = SdlPlatform::Clock::now();
    platform.StartTimer(50ms, [&] {
        ticks.push_back(SdlPlatform::Clock::now());
        if (ticks.size() == 5) platform.Quit();
    });
    platform.Run([] {}, {}, 5s);
    ASSERT_EQ(ticks.size(), 5u);
    EXPECT_GE(ticks[0] - start, 49ms);
    EXPECT_GE(ticks[4] - start, 249ms);
    EXPECT_LT(ticks[4] - start, 1000ms);
}

TEST(SdlPlatform, ExitAfterEndsTheRun) {
    SdlPlatform platform(headless());
    auto start = SdlPlatform::Clock::now();
    EXPECT_TRUE(platform.Run([] {}, {}, 100ms));
    EXPECT_GE(SdlPlatform::Clock::now() - start, 100ms);
}

TEST(SdlPlatform, AnUnknownControllerInputFailsTheScript) {
    SdlPlatform platform(headless());
    bool launched = false;
    std::vector<ScriptStep> script{{ScriptStep::Op::Pad, 0, "turbo", 1}};
    EXPECT_FALSE(platform.Run([&] { launched = true; }, script, 1s));
    EXPECT_FALSE(launched);
}

TEST(SdlPlatform, EscapingExceptionsAreReportedWithTheirCode) {
    SdlPlatform platform(headless());
    std::vector<std::pair<uint32_t, std::u16string>> reported;
    platform.SetUnhandledExceptionHandler(
        [&](uint32_t code, std::u16string_view message) { reported.emplace_back(code, message); });
    EXPECT_THROW(platform.Run([] { throw PlatformError(0x80070005, "denied"); }, {}, 1s), PlatformError);
    EXPECT_THROW(platform.Run([] { throw std::runtime_error("native"); }, {}, 1s), std::runtime_error);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0], std::make_pair(0x80070005u, std::u16string(u"denied")));
    EXPECT_EQ(reported[1], std::make_pair(0x80004005u, std::u16string(u"native")));
}

TEST(SdlPlatform, LoadsImagesAsBgraAndFailsWithACode) {
    SdlPlatform platform(headless());
    auto path = fs::temp_directory_path() / ("shell_sdl_test_" + std::to_string(getpid()) + ".png");
    SDL_Surface *surface = SDL_CreateRGBSurfaceWithFormat(0, 3, 2, 32, SDL_PIXELFORMAT_RGBA32);
    SDL_FillRect(surface, nullptr, SDL_MapRGBA(surface->format, 10, 20, 30, 255));
    ASSERT_EQ(IMG_SavePNG(surface, path.c_str()), 0);
    SDL_FreeSurface(surface);
    auto bitmap = platform.LoadImageFile(path.string());
    fs::remove(path);
    ASSERT_EQ(bitmap->width, 3);
    ASSERT_EQ(bitmap->height, 2);
    EXPECT_EQ(std::vector<uint8_t>(bitmap->bgra.begin(), bitmap->bgra.begin() + 4),
              (std::vector<uint8_t>{30, 20, 10, 255}));
    try {
        platform.LoadImageFile(path.string());
        ADD_FAILURE() << "no exception";
    } catch (const PlatformError &error) {
        EXPECT_EQ(error.code(), 0x80070002u);
    }
}

TEST(SdlPlatform, FoldersFromTheSettings) {
    PlatformSettings settings = headless();
    settings.local_dir = "/data/local";
    settings.temp_dir = "/data/temp";
    SdlPlatform platform(settings);
    EXPECT_EQ(platform.LocalFolder(), "/data/local");
    EXPECT_EQ(platform.TempDirectory(), "/data/temp/");
}

TEST(SdlPlatform, DrawsRoundedBordersAndTheirBackground) {
    SdlPlatform platform(headless());
    auto root = std::make_shared<ui::Grid>();
    root->background = ui::Color{255, 12, 14, 18};
    auto tile = std::make_shared<ui::Border>();
    tile->width = 200;
    tile->height = 100;
    tile->corner_radius = 20;
    tile->border_thickness = {4, 4, 4, 4};
    tile->background = ui::Color{255, 22, 32, 44};
    tile->border_brush = ui::Color{255, 0, 214, 214};
    root->Add(tile);
    platform.SetContent(root);
    auto path = fs::temp_directory_path() / ("shell_sdl_draw_" + std::to_string(getpid()) + ".png");
    ASSERT_TRUE(platform.SaveScreenshot(path.string()));
    SDL_Surface *loaded = IMG_Load(path.c_str());
    fs::remove(path);
    ASSERT_NE(loaded, nullptr);
    SDL_Surface *shot = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGBA32, 0);
    SDL_FreeSurface(loaded);
    ASSERT_EQ(shot->w, 1920);
    ASSERT_EQ(shot->h, 1080);
    auto pixel = [shot](int x, int y) {
        const uint8_t *p = static_cast<const uint8_t *>(shot->pixels) + y * shot->pitch + x * 4;
        return std::array<int, 3>{p[0], p[1], p[2]};
    };
    // The tile spans (860, 490) to (1060, 590).
    EXPECT_EQ(pixel(960, 540), (std::array<int, 3>{22, 32, 44}));   // inside
    EXPECT_EQ(pixel(960, 491), (std::array<int, 3>{0, 214, 214}));  // top edge
    EXPECT_EQ(pixel(861, 540), (std::array<int, 3>{0, 214, 214}));  // left edge
    EXPECT_EQ(pixel(861, 491), (std::array<int, 3>{12, 14, 18}));   // outside the rounded corner
    EXPECT_EQ(pixel(100, 100), (std::array<int, 3>{12, 14, 18}));   // window background
    SDL_FreeSurface(shot);
}
