#include "app/progress_bar.h"

#include <algorithm>

#include "core/text.h"
#include "core/transport.h"

namespace shell {

using namespace ui;

namespace {

constexpr Color PANEL{220, 12, 14, 18};
constexpr Color TRACK{255, 70, 76, 90};
constexpr Color FILL{255, 0, 214, 214};
constexpr Color MARK{255, 244, 246, 250};
constexpr Color TEXT{255, 244, 246, 250};
constexpr Color CAPTION{255, 150, 160, 175};

constexpr float SIDE_MARGIN = 64;
constexpr float BOTTOM_MARGIN = 36;
constexpr float HEIGHT = 104;
constexpr Thickness PADDING{28, 12, 28, 12};
constexpr float TIME_WIDTH = 130;
constexpr float TRACK_GAP = 16;
constexpr float MARK_WIDTH = 3;
// Used before the first layout, when the area still reads 0 x 0.
constexpr Size FALLBACK_AREA{1920, 953};

std::shared_ptr<TextBlock> text(std::string name, float size, Color foreground) {
    auto block = make_text_block(std::move(name), u"", size, foreground);
    block->vertical_alignment = VerticalAlignment::Center;
    return block;
}

std::shared_ptr<Border> bar_piece(std::string name, Color color, float left, float width) {
    auto piece = std::make_shared<Border>();
    piece->name = std::move(name);
    piece->background = color;
    piece->horizontal_alignment = HorizontalAlignment::Left;
    piece->margin = {std::max(left, 0.f), 0, 0, 0};
    piece->width = std::max(width, 0.f);
    return piece;
}

}  // namespace

ProgressBar::ProgressBar() {
    root_ = std::make_shared<Border>();
    root_->name = "progress";
    root_->background = PANEL;
    root_->corner_radius = 10;
    root_->padding = PADDING;
    root_->height = HEIGHT;
    root_->visibility = Visibility::Collapsed;
    auto column = std::make_shared<StackPanel>();
    root_->SetChild(column);

    caption_ = text("progress_caption", 22, CAPTION);
    caption_->text_trimming = TextTrimming::CharacterEllipsis;
    column->Add(caption_);

    auto row = std::make_shared<Grid>();
    row->name = "progress_row";
    row->height = 44;
    row->columns = {GridLength::Pixel(TIME_WIDTH), GridLength::Star(), GridLength::Pixel(TIME_WIDTH)};
    column->Add(row);
    position_ = text("progress_position", 28, TEXT);
    row->Add(position_);
    track_ = std::make_shared<Grid>();
    track_->name = "progress_track";
    track_->background = TRACK;
    track_->height = 8;
    track_->margin = {TRACK_GAP, 0, TRACK_GAP, 0};
    track_->vertical_alignment = VerticalAlignment::Center;
    track_->column = 1;
    row->Add(track_);
    duration_ = text("progress_duration", 28, TEXT);
    duration_->horizontal_alignment = HorizontalAlignment::Right;
    duration_->text_alignment = TextAlignment::Right;
    duration_->column = 2;
    row->Add(duration_);
    fill_ = bar_piece("progress_fill", FILL, 0, 0);
}

void ProgressBar::Show(const State &state, Size area) {
    if (area.width <= 0 || area.height <= 0) area = FALLBACK_AREA;
    float width = std::max(area.width - 2 * SIDE_MARGIN, 2 * TIME_WIDTH + PADDING.horizontal() + 2 * TRACK_GAP);
    root_->width = width;
    root_->left = (area.width - width) / 2;
    root_->top = std::max(area.height - HEIGHT - BOTTOM_MARGIN, 0.f);
    root_->visibility = Visibility::Visible;

    bool hours = state.duration >= 3600 * ONE_SECOND_TICKS;
    caption_->text = state.caption;
    position_->text = utf8_to_utf16(clock_text(state.position, hours));
    duration_->text = state.duration > 0 ? utf8_to_utf16(clock_text(state.duration, hours)) : u"--:--";

    // The track's width follows from the bar's: the time columns and gaps are fixed.
    float track = width - PADDING.horizontal() - 2 * TIME_WIDTH - 2 * TRACK_GAP;
    auto at = [&](int64_t ticks) {
        return float(double(clamp_to_media(ticks, state.duration)) / double(state.duration) * track);
    };
    track_->Clear();
    fill_->width = state.duration > 0 ? at(state.position) : 0;
    track_->Add(fill_);
    if (state.duration <= 0) return;
    for (int64_t start : state.chapter_starts) {
        // The first chapter usually starts at 0, where a mark says nothing.
        if (start <= 0 || start >= state.duration) continue;
        track_->Add(bar_piece("progress_mark", MARK, at(start) - MARK_WIDTH / 2, MARK_WIDTH));
    }
}

void ProgressBar::Hide() { root_->visibility = Visibility::Collapsed; }

}  // namespace shell
