// The application object: creates the view when launched and reports
// exceptions that escape to the platform.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/platform.h"
#include "app/shell_view.h"

namespace shell {

class ShellApp {
public:
    // `app_dir` (UTF-8) stands in for the program's own directory when given.
    ShellApp(Platform &platform, std::string app_dir, Presentation presentation = Presentation::Paced);

    // Makes the view a remote-control host once launched (`--remote`).
    void EnableRemote(std::string address, int port, bool open_files);
    void OnLaunched();
    // The program is ending: a running playback stops.
    void OnExiting();
    void OnUnhandledException(uint32_t code, std::u16string_view message);
    std::shared_ptr<ShellView> view() const { return view_; }

private:
    Platform &platform_;
    std::string app_dir_;
    Presentation presentation_;
    std::shared_ptr<ShellView> view_;
    struct Remote {
        std::string address;
        int port = 0;
        bool open_files = false;
    };
    std::optional<Remote> remote_;
};

}  // namespace shell
