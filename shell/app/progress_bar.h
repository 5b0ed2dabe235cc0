// The progress bar shown over the video: the chapter's title, the position
// and duration as clock texts, a filled bar and a mark at each chapter start.
// It is a Canvas child placed along the bottom of the area it is shown in.
// UI thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ui/elements.h"

namespace shell {

class ProgressBar {
public:
    struct State {
        int64_t position = 0;  // ticks
        int64_t duration = 0;  // ticks; 0 or less when unknown (no fill, no marks)
        std::span<const int64_t> chapter_starts;
        std::u16string caption;  // the line above the bar, e.g. the chapter
    };

    ProgressBar();
    // The subtree's root, named "progress"; collapsed until shown.
    const std::shared_ptr<ui::Border> &root() const { return root_; }
    // Shows `state` along the bottom of an area of `area` size (a Canvas's).
    void Show(const State &state, ui::Size area);
    void Hide();
    bool visible() const { return root_->visible(); }

private:
    std::shared_ptr<ui::Border> root_;
    std::shared_ptr<ui::TextBlock> caption_;
    std::shared_ptr<ui::TextBlock> position_;
    std::shared_ptr<ui::TextBlock> duration_;
    std::shared_ptr<ui::Grid> track_;
    std::shared_ptr<ui::Border> fill_;
};

}  // namespace shell
