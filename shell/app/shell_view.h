// The shell's view: owns the binding record, the model and the chrome (the
// fixed element tree every page and the video are shown in), and runs the
// start-up routine. UI thread only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/platform.h"
#include "core/engine_bindings.h"
#include "core/format.h"
#include "core/shell_model.h"
#include "ui/elements.h"

namespace shell {

// Status texts longer than this many UTF-16 units are cut at a character boundary.
inline constexpr size_t STATUS_LIMIT = 1023;

class ShellView : public std::enable_shared_from_this<ShellView> {
public:
    // `app_dir` (UTF-8) stands in for the program's own directory when given.
    ShellView(Platform &platform, std::string app_dir);

    void Setup();
    void BuildChrome();
    void LoadEngines();
    bool OnKeyDown(int virtual_key);

    template <class... Args>
    void SetStatus(std::u16string_view format, const Args &...args) {
        ShowStatus(format_text(format, args...));
    }

    const EngineBindings &bindings() const { return bindings_; }
    const ShellModel &model() const { return model_; }
    int engines_loaded() const { return engines_loaded_; }
    const std::u16string &app_dir() const { return app_dir_; }
    std::shared_ptr<ui::Grid> root() const { return chrome_.root; }

private:
    struct Chrome {
        std::shared_ptr<ui::Grid> root;
        std::shared_ptr<ui::TextBlock> page_title;
        std::shared_ptr<ui::TextBlock> playing;
        std::shared_ptr<ui::TextBlock> status;
        std::shared_ptr<ui::StackPanel> page_panel;
        std::shared_ptr<ui::Canvas> overlay;
        std::shared_ptr<ui::Border> video;
        std::shared_ptr<ui::Image> video_image;
        std::shared_ptr<ui::TextBlock> subtitle;
    };

    void ShowStatus(std::u16string text);

    Platform &platform_;
    std::string app_dir_override_;
    std::u16string app_dir_;
    EngineBindings bindings_{};
    int engines_loaded_ = 0;
    ShellModel model_;
    Chrome chrome_;
};

}  // namespace shell
