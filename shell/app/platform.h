// What the shell needs of the platform it runs on: a window showing an element
// tree, key presses as Windows virtual-key codes, a UI thread that accepts work
// from any thread, a repeating UI timer, a tick at the display's refresh rate,
// a sound output, and a few file services. Paths are UTF-8.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/audio_output.h"
#include "ui/elements.h"

namespace shell {

// What a display tick asks of the platform.
enum class TickOutcome {
    Unchanged,  // nothing to draw
    Redraw,     // the element tree changed
    Stop,       // no more ticks
};

class Platform {
public:
    virtual ~Platform() = default;

    // Makes `root` the window's content and shows the window.
    virtual void SetContent(std::shared_ptr<ui::Element> root) = 0;
    // Subscribes the key-down handler; it returns whether it handled the key.
    // False without a window (nothing to subscribe to).
    virtual bool SetKeyHandler(std::function<bool(int virtual_key)> handler) = 0;
    // Called with the code and message of an exception that escaped a handler,
    // before the platform's default handling (the program ends).
    virtual void SetUnhandledExceptionHandler(
        std::function<void(uint32_t code, std::u16string_view message)> handler) = 0;

    // Runs `work` on the UI thread; callable from any thread, never blocks on the UI.
    virtual void Post(std::function<void()> work) = 0;
    // Calls `tick` on the UI thread every `interval` until the program ends.
    virtual void StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) = 0;
    // Calls `tick` on the UI thread once per refresh of the display (60 times a
    // second without one) until it returns Stop. A tick that changed nothing
    // costs no drawing.
    virtual void StartDisplayTick(std::function<TickOutcome()> tick) = 0;
    // A sound output of its own for a playback; a NullAudioOutput without a device.
    virtual std::unique_ptr<AudioOutput> CreateAudioOutput() = 0;

    virtual std::string LocalFolder() = 0;
    // Throws PlatformError when the file cannot be read or is no regular file.
    virtual std::string ReadTextFile(const std::string &path) = 0;
    // Whether the file's attributes can be read (it exists and is reachable).
    virtual bool FileExists(const std::string &path) = 0;
    // Whether it is a regular file (not a directory, FIFO or device).
    virtual bool IsRegularFile(const std::string &path) = 0;
    // Ends in '/'.
    virtual std::string TempDirectory() = 0;
    virtual std::string ExecutablePath() = 0;
    virtual void DebugOutput(std::u16string_view line) = 0;
    // Throws PlatformError when the file cannot be read or decoded.
    virtual std::shared_ptr<const ui::Bitmap> LoadImageFile(const std::string &path) = 0;
};

}  // namespace shell
