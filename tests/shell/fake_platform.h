// A platform without a window for ShellView tests: files are real, posted
// work waits until the test runs it, the timer and the display tick are only
// recorded, and playbacks get the sound output the test gives (else none).
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/platform.h"
#include "core/files.h"
#include "core/platform_error.h"

namespace shell {

class FakePlatform final : public Platform {
public:
    std::string executable = "/opt/orvello/app";
    std::string local_folder = "/local";
    bool has_window = true;
    bool post_throws = false;  // Post fails as a dispatcher that is shutting down would
    std::shared_ptr<ui::Element> content;
    std::function<bool(int)> key_handler;
    std::function<void(uint32_t, std::u16string_view)> unhandled;
    std::function<void()> timer;
    std::function<TickOutcome()> display_tick;
    std::function<std::unique_ptr<AudioOutput>()> audio_factory;

    void SetContent(std::shared_ptr<ui::Element> root) override { content = std::move(root); }
    bool SetKeyHandler(std::function<bool(int)> handler) override {
        if (!has_window) return false;
        key_handler = std::move(handler);
        return true;
    }
    void SetUnhandledExceptionHandler(std::function<void(uint32_t, std::u16string_view)> handler) override {
        unhandled = std::move(handler);
    }
    void Post(std::function<void()> work) override {
        if (post_throws) throw PlatformError(CODE_FAIL, "dispatcher gone");
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(work));
    }
    // Runs what was posted so far; how many.
    size_t RunPosted() {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(mutex_);
            work.swap(posted_);
        }
        for (auto &item : work) item();
        return work.size();
    }
    void StartTimer(std::chrono::milliseconds, std::function<void()> tick) override { timer = std::move(tick); }
    void StartDisplayTick(std::function<TickOutcome()> tick) override { display_tick = std::move(tick); }
    std::unique_ptr<AudioOutput> CreateAudioOutput() override {
        return audio_factory ? audio_factory() : std::make_unique<NullAudioOutput>();
    }
    std::string LocalFolder() override { return local_folder; }
    std::string ReadTextFile(const std::string &path) override { return read_regular_file(path, 1 << 20); }
    bool FileExists(const std::string &path) override { return file_exists(path); }
    bool IsRegularFile(const std::string &path) override { return is_regular_file(path); }
    std::string TempDirectory() override { return "/tmp/"; }
    std::string ExecutablePath() override { return executable; }
    void DebugOutput(std::u16string_view) override {}
    std::shared_ptr<const ui::Bitmap> LoadImageFile(const std::string &path) override {
        if (!is_regular_file(path)) throw PlatformError(CODE_FILE_NOT_FOUND, "image " + path + " not found");
        auto bitmap = std::make_shared<ui::Bitmap>();
        bitmap->width = bitmap->height = 1;
        bitmap->bgra = {1, 2, 3, 255};
        return bitmap;
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
};

}  // namespace shell
