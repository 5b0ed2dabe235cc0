#include "app/shell_app.h"

#include "core/shell_log.h"

namespace shell {

ShellApp::ShellApp(Platform &platform, std::string app_dir, Presentation presentation)
    : platform_(platform), app_dir_(std::move(app_dir)), presentation_(presentation) {
    platform_.SetUnhandledExceptionHandler(
        [this](uint32_t code, std::u16string_view message) { OnUnhandledException(code, message); });
}

void ShellApp::OnLaunched() {
    view_ = std::make_shared<ShellView>(platform_, app_dir_, presentation_);
    view_->Setup();
}

void ShellApp::OnExiting() {
    if (view_) view_->StopPlayback();
}

void ShellApp::OnUnhandledException(uint32_t code, std::u16string_view message) {
    log_line(u"UNHANDLED 0x%08X %s", code, message);
    flush_log();
}

}  // namespace shell
