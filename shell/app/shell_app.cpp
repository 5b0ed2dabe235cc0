#include "app/shell_app.h"

#include "core/shell_log.h"

namespace shell {

ShellApp::ShellApp(Platform &platform, std::string app_dir, Presentation presentation)
    : platform_(platform), app_dir_(std::move(app_dir)), presentation_(presentation) {
    platform_.SetUnhandledExceptionHandler(
        [this](uint32_t code, std::u16string_view message) { OnUnhandledException(code, message); });
}

void ShellApp::EnableRemote(std::string address, int port, bool open_files) {
    remote_ = Remote{std::move(address), port, open_files};
}

void ShellApp::OnLaunched() {
    view_ = std::make_shared<ShellView>(platform_, app_dir_, presentation_);
    view_->Setup();
    if (remote_) view_->StartRemote(remote_->address, remote_->port, remote_->open_files);
}

void ShellApp::OnExiting() {
    if (!view_) return;
    // The host posts to the UI thread: it ends while the platform is still there.
    view_->StopRemote();
    view_->StopPlayback();
}

void ShellApp::OnUnhandledException(uint32_t code, std::u16string_view message) {
    log_line(u"UNHANDLED 0x%08X %s", code, message);
    flush_log();
}

}  // namespace shell
