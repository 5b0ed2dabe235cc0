#include "elements.h"

#include <algorithm>
#include <numeric>

namespace shell::ui {

Rect Rect::deflate(const Thickness &t) const {
    return {x + t.left, y + t.top, std::max(0.f, width - t.horizontal()), std::max(0.f, height - t.vertical())};
}

Rect Rect::intersect(const Rect &other) const {
    float l = std::max(x, other.x), t = std::max(y, other.y);
    float r = std::min(right(), other.right()), b = std::min(bottom(), other.bottom());
    return {l, t, std::max(0.f, r - l), std::max(0.f, b - t)};
}

Rect Rect::unite(const Rect &other) const {
    float l = std::min(x, other.x), t = std::min(y, other.y);
    return {l, t, std::max(right(), other.right()) - l, std::max(bottom(), other.bottom()) - t};
}

// ---- Element ----

void Element::Measure(Size available, const TextMeasurer &measurer) {
    if (!visible()) {
        desired_ = {};
        return;
    }
    Size room{std::max(0.f, available.width - margin.horizontal()),
              std::max(0.f, available.height - margin.vertical())};
    Size constraint{std::isnan(width) ? room.width : width, std::isnan(height) ? room.height : height};
    Size content = MeasureOverride(constraint, measurer);
    if (!std::isnan(width)) content.width = width;
    if (!std::isnan(height)) content.height = height;
    // As in XAML, an element never asks for more than it was offered.
    desired_ = {std::min(content.width, room.width) + margin.horizontal(),
                std::min(content.height, room.height) + margin.vertical()};
}

void Element::Arrange(Rect slot, const TextMeasurer &measurer) {
    if (!visible()) {
        bounds_ = {slot.x, slot.y, 0, 0};
        return;
    }
    Rect area = slot.deflate(margin);
    Size natural{desired_.width - margin.horizontal(), desired_.height - margin.vertical()};
    auto extent = [](float explicit_size, bool stretch, float natural_size, float room) {
        if (!std::isnan(explicit_size)) return explicit_size;
        return stretch ? room : std::min(natural_size, room);
    };
    float w = extent(width, horizontal_alignment == HorizontalAlignment::Stretch, natural.width, area.width);
    float h = extent(height, vertical_alignment == VerticalAlignment::Stretch, natural.height, area.height);
    // A stretched element of explicit size is centred, as in XAML.
    float dx = 0, dy = 0;
    switch (horizontal_alignment) {
        case HorizontalAlignment::Left: break;
        case HorizontalAlignment::Right: dx = area.width - w; break;
        case HorizontalAlignment::Center:
        case HorizontalAlignment::Stretch: dx = (area.width - w) / 2; break;
    }
    switch (vertical_alignment) {
        case VerticalAlignment::Top: break;
        case VerticalAlignment::Bottom: dy = area.height - h; break;
        case VerticalAlignment::Center:
        case VerticalAlignment::Stretch: dy = (area.height - h) / 2; break;
    }
    bounds_ = {area.x + dx, area.y + dy, w, h};
    ArrangeOverride(bounds_, measurer);
}

// ---- Grid ----

namespace {

std::vector<GridLength> definitions_or_one_star(const std::vector<GridLength> &definitions) {
    return definitions.empty() ? std::vector<GridLength>{GridLength::Star()} : definitions;
}

size_t cell(int index, size_t count) { return size_t(std::clamp(index, 0, int(count) - 1)); }

bool is_star(const GridLength &d) { return d.unit == GridLength::Unit::Star; }

float fixed_total(const std::vector<GridLength> &definitions, const std::vector<float> &sizes) {
    float total = 0;
    for (size_t i = 0; i < definitions.size(); i++)
        if (!is_star(definitions[i])) total += sizes[i];
    return total;
}

// Gives the star definitions their weighted share of `space`.
void share_stars(const std::vector<GridLength> &definitions, std::vector<float> &sizes, float space) {
    float weights = 0;
    for (const GridLength &d : definitions)
        if (is_star(d)) weights += d.value;
    for (size_t i = 0; i < definitions.size(); i++)
        if (is_star(definitions[i])) sizes[i] = weights > 0 ? space * definitions[i].value / weights : 0;
}

// Unbounded stars keep their proportions at the size their largest content needs.
void size_stars_to_content(const std::vector<GridLength> &definitions, std::vector<float> &sizes,
                           const std::vector<float> &content) {
    float unit = 0;
    for (size_t i = 0; i < definitions.size(); i++)
        if (is_star(definitions[i]) && definitions[i].value > 0)
            unit = std::max(unit, content[i] / definitions[i].value);
    for (size_t i = 0; i < definitions.size(); i++)
        if (is_star(definitions[i])) sizes[i] = unit * definitions[i].value;
}

float limit_of(const GridLength &d) { return d.unit == GridLength::Unit::Pixel ? d.value : INFINITE; }

}  // namespace

Size Grid::MeasureOverride(Size available, const TextMeasurer &measurer) {
    auto cols = definitions_or_one_star(columns);
    auto rws = definitions_or_one_star(rows);
    std::vector<float> widths(cols.size()), heights(rws.size());
    for (size_t i = 0; i < cols.size(); i++) widths[i] = cols[i].unit == GridLength::Unit::Pixel ? cols[i].value : 0;
    for (size_t i = 0; i < rws.size(); i++) heights[i] = rws[i].unit == GridLength::Unit::Pixel ? rws[i].value : 0;

    // Columns first: Auto columns from their content, then the stars.
    std::vector<float> star_content(cols.size());
    for (const auto &child : children()) {
        size_t c = cell(child->column, cols.size()), r = cell(child->row, rws.size());
        if (cols[c].unit == GridLength::Unit::Pixel) continue;
        child->Measure({INFINITE, limit_of(rws[r])}, measurer);
        float &needed = is_star(cols[c]) ? star_content[c] : widths[c];
        needed = std::max(needed, child->desired_size().width);
    }
    if (std::isfinite(available.width))
        share_stars(cols, widths, std::max(0.f, available.width - fixed_total(cols, widths)));
    else
        size_stars_to_content(cols, widths, star_content);

    // Then rows, with every child at its column's width; star rows last, at their share.
    for (const auto &child : children()) {
        size_t c = cell(child->column, cols.size()), r = cell(child->row, rws.size());
        if (is_star(rws[r])) continue;
        child->Measure({widths[c], limit_of(rws[r])}, measurer);
        if (rws[r].unit == GridLength::Unit::Auto) heights[r] = std::max(heights[r], child->desired_size().height);
    }
    std::vector<float> star_rows_content(rws.size());
    bool bounded = std::isfinite(available.height);
    if (bounded) share_stars(rws, heights, std::max(0.f, available.height - fixed_total(rws, heights)));
    for (const auto &child : children()) {
        size_t c = cell(child->column, cols.size()), r = cell(child->row, rws.size());
        if (!is_star(rws[r])) continue;
        child->Measure({widths[c], bounded ? heights[r] : INFINITE}, measurer);
        star_rows_content[r] = std::max(star_rows_content[r], child->desired_size().height);
    }
    if (!bounded) size_stars_to_content(rws, heights, star_rows_content);

    // In bounded space the grid wants what its content needs, not all the space
    // its stars were offered; unbounded stars already have their content size.
    std::vector<float> star_columns_content(cols.size());
    for (const auto &child : children()) {
        size_t c = cell(child->column, cols.size());
        if (is_star(cols[c])) star_columns_content[c] = std::max(star_columns_content[c], child->desired_size().width);
    }
    Size desired{fixed_total(cols, widths), fixed_total(rws, heights)};
    for (size_t i = 0; i < cols.size(); i++)
        if (is_star(cols[i]))
            desired.width += std::isfinite(available.width) ? std::min(star_columns_content[i], widths[i]) : widths[i];
    for (size_t i = 0; i < rws.size(); i++)
        if (is_star(rws[i])) desired.height += bounded ? std::min(star_rows_content[i], heights[i]) : heights[i];
    measured_widths_ = std::move(widths);
    measured_heights_ = std::move(heights);
    return desired;
}

void Grid::ArrangeOverride(Rect box, const TextMeasurer &measurer) {
    auto cols = definitions_or_one_star(columns);
    auto rws = definitions_or_one_star(rows);
    std::vector<float> widths = measured_widths_, heights = measured_heights_;
    widths.resize(cols.size());
    heights.resize(rws.size());
    share_stars(cols, widths, std::max(0.f, box.width - fixed_total(cols, widths)));
    share_stars(rws, heights, std::max(0.f, box.height - fixed_total(rws, heights)));
    std::vector<float> xs(cols.size()), ys(rws.size());
    std::exclusive_scan(widths.begin(), widths.end(), xs.begin(), box.x);
    std::exclusive_scan(heights.begin(), heights.end(), ys.begin(), box.y);
    for (const auto &child : children()) {
        size_t c = cell(child->column, cols.size()), r = cell(child->row, rws.size());
        child->Arrange({xs[c], ys[r], widths[c], heights[r]}, measurer);
    }
}

// ---- StackPanel ----

Size StackPanel::MeasureOverride(Size available, const TextMeasurer &measurer) {
    bool vertical = orientation == Orientation::Vertical;
    Size desired;
    for (const auto &child : children()) {
        child->Measure(vertical ? Size{available.width, INFINITE} : Size{INFINITE, available.height}, measurer);
        Size d = child->desired_size();
        if (vertical) {
            desired.width = std::max(desired.width, d.width);
            desired.height += d.height;
        } else {
            desired.width += d.width;
            desired.height = std::max(desired.height, d.height);
        }
    }
    return desired;
}

void StackPanel::ArrangeOverride(Rect box, const TextMeasurer &measurer) {
    float offset = 0;
    for (const auto &child : children()) {
        Size d = child->desired_size();
        if (orientation == Orientation::Vertical) {
            child->Arrange({box.x, box.y + offset, box.width, d.height}, measurer);
            offset += d.height;
        } else {
            child->Arrange({box.x + offset, box.y, d.width, box.height}, measurer);
            offset += d.width;
        }
    }
}

// ---- Canvas ----

Size Canvas::MeasureOverride(Size, const TextMeasurer &measurer) {
    for (const auto &child : children()) child->Measure({INFINITE, INFINITE}, measurer);
    return {};
}

void Canvas::ArrangeOverride(Rect box, const TextMeasurer &measurer) {
    for (const auto &child : children()) {
        Size d = child->desired_size();
        child->Arrange({box.x + child->left, box.y + child->top, d.width, d.height}, measurer);
    }
}

// ---- ScrollViewer ----

void ScrollViewer::SetContent(std::shared_ptr<Element> content) {
    if (content) Adopt(*content);
    content_ = std::move(content);
}

std::span<const std::shared_ptr<Element>> ScrollViewer::children() const {
    return content_ ? std::span<const std::shared_ptr<Element>>(&content_, 1)
                    : std::span<const std::shared_ptr<Element>>();
}

Size ScrollViewer::MeasureOverride(Size available, const TextMeasurer &measurer) {
    if (!content_) return {};
    content_->Measure({available.width, INFINITE}, measurer);
    return content_->desired_size();
}

void ScrollViewer::BringIntoView(std::weak_ptr<const Element> target, std::weak_ptr<const Element> lead) {
    target_ = std::move(target);
    lead_ = std::move(lead);
}

void ScrollViewer::ScrollToTop() {
    offset_ = 0;
    target_.reset();
    lead_.reset();
}

namespace {

bool is_within(const Element &root, const Element *element) {
    if (&root == element) return true;
    for (const auto &child : root.children())
        if (is_within(*child, element)) return true;
    return false;
}

// Top and bottom of an element's margin box.
std::pair<float, float> vertical_span(const Element &element) {
    return {element.bounds().y - element.margin.top, element.bounds().bottom() + element.margin.bottom};
}

}  // namespace

float ScrollViewer::OffsetShowingTarget(const Rect &viewport, float extent) const {
    auto target = target_.lock();
    if (!target || !target->visible() || !is_within(*content_, target.get())) return offset_;
    // In content coordinates: the content's top is at offset 0.
    float origin = viewport.y - offset_;
    auto [top, bottom] = vertical_span(*target);
    if (auto lead = lead_.lock(); lead && lead->visible() && is_within(*content_, lead.get())) {
        float lead_top = vertical_span(*lead).first;
        if (bottom - lead_top <= viewport.height) top = std::min(top, lead_top);
    }
    top -= origin;
    bottom -= origin;
    float offset = offset_;
    if (bottom - top > viewport.height || top < offset)
        offset = top;
    else if (bottom > offset + viewport.height)
        offset = bottom - viewport.height;
    // When only the content's margin is left between the target and an end, that end is shown too.
    float last = extent - viewport.height;
    // Of a target taller than the viewport, its top part.
    auto shows_target = [&](float at) {
        return top >= at && std::min(bottom, top + viewport.height) <= at + viewport.height;
    };
    if (offset <= content_->margin.top && shows_target(0)) offset = 0;
    if (offset >= last - content_->margin.bottom && shows_target(last)) offset = last;
    return std::clamp(offset, 0.f, last);
}

void ScrollViewer::ArrangeOverride(Rect box, const TextMeasurer &measurer) {
    if (!content_) return;
    float extent = std::max(box.height, content_->desired_size().height);
    offset_ = std::clamp(offset_, 0.f, extent - box.height);
    auto place = [&] { content_->Arrange({box.x, box.y - offset_, box.width, extent}, measurer); };
    place();
    // Arranged once more only when the target was out of view.
    float showing = OffsetShowingTarget(box, extent);
    if (showing == offset_) return;
    offset_ = showing;
    place();
}

// ---- Border ----

void Border::SetChild(std::shared_ptr<Element> child) {
    if (child) Adopt(*child);
    child_ = std::move(child);
}

std::span<const std::shared_ptr<Element>> Border::children() const {
    return child_ ? std::span<const std::shared_ptr<Element>>(&child_, 1) : std::span<const std::shared_ptr<Element>>();
}

Size Border::MeasureOverride(Size available, const TextMeasurer &measurer) {
    Size chrome{border_thickness.horizontal() + padding.horizontal(), border_thickness.vertical() + padding.vertical()};
    if (!child_) return chrome;
    child_->Measure({std::max(0.f, available.width - chrome.width), std::max(0.f, available.height - chrome.height)},
                    measurer);
    return {child_->desired_size().width + chrome.width, child_->desired_size().height + chrome.height};
}

void Border::ArrangeOverride(Rect box, const TextMeasurer &measurer) {
    if (child_) child_->Arrange(box.deflate(border_thickness).deflate(padding), measurer);
}

// ---- TextBlock ----

namespace {

constexpr char16_t ELLIPSIS = u'\u2026';

bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Start of the character before `end`.
size_t previous_character(std::u16string_view text, size_t end) {
    size_t at = end - 1;
    if (at > 0 && is_low_surrogate(text[at])) at--;
    return at;
}

// Fills `line` with as many whole characters of `word` as fit (at least one); returns how many units.
size_t fitting_prefix(std::u16string_view word, float max_width, float size, FontWeight weight,
                      const TextMeasurer &measurer) {
    size_t end = word.size();
    while (end > 0 && measurer.TextWidth(word.substr(0, end), size, weight) > max_width) {
        size_t shorter = previous_character(word, end);
        if (shorter == 0) break;
        end = shorter;
    }
    return end;
}

}  // namespace

std::vector<std::u16string> TextBlock::BreakLines(float max_width, const TextMeasurer &measurer) const {
    std::vector<std::u16string> lines;
    std::u16string_view rest = text;
    for (;;) {
        size_t newline = rest.find(u'\n');
        std::u16string_view paragraph = rest.substr(0, newline);
        if (text_wrapping == TextWrapping::NoWrap || !std::isfinite(max_width)) {
            lines.emplace_back(paragraph);
        } else {
            // Greedy word wrap; a word wider than the line is broken between characters.
            std::u16string line;
            size_t start = 0;
            do {
                size_t blank = paragraph.find(u' ', start);
                std::u16string_view word =
                    paragraph.substr(start, blank == std::u16string_view::npos ? blank : blank - start);
                start = blank == std::u16string_view::npos ? paragraph.size() + 1 : blank + 1;
                std::u16string candidate = line.empty() ? std::u16string(word) : line + u' ' + std::u16string(word);
                if (measurer.TextWidth(candidate, font_size, font_weight) <= max_width) {
                    line = std::move(candidate);
                    continue;
                }
                if (!line.empty()) lines.push_back(std::move(line));
                line.clear();
                while (!word.empty()) {
                    size_t fit = fitting_prefix(word, max_width, font_size, font_weight, measurer);
                    if (fit == word.size()) {
                        line = word;
                        break;
                    }
                    lines.emplace_back(word.substr(0, fit));
                    word = word.substr(fit);
                }
            } while (start <= paragraph.size());
            lines.push_back(std::move(line));
        }
        if (newline == std::u16string_view::npos) break;
        rest = rest.substr(newline + 1);
    }
    return lines;
}

Size TextBlock::MeasureOverride(Size available, const TextMeasurer &measurer) {
    std::vector<std::u16string> lines = BreakLines(available.width, measurer);
    Size desired{0, float(lines.size()) * measurer.LineHeight(font_size, font_weight)};
    for (const std::u16string &line : lines)
        desired.width = std::max(desired.width, measurer.TextWidth(line, font_size, font_weight));
    return desired;
}

void TextBlock::ArrangeOverride(Rect box, const TextMeasurer &measurer) {
    lines_.clear();
    float line_height = measurer.LineHeight(font_size, font_weight);
    float y = box.y;
    for (std::u16string &shown : BreakLines(box.width, measurer)) {
        float w = measurer.TextWidth(shown, font_size, font_weight);
        if (text_trimming == TextTrimming::CharacterEllipsis && w > box.width) {
            // Drop characters (and the blanks they leave) until the rest and the ellipsis fit.
            do {
                shown.resize(shown.empty() ? 0 : previous_character(shown, shown.size()));
                while (!shown.empty() && shown.back() == u' ') shown.pop_back();
                w = measurer.TextWidth(shown + ELLIPSIS, font_size, font_weight);
            } while (!shown.empty() && w > box.width);
            shown += ELLIPSIS;
        }
        float x = box.x;
        if (text_alignment == TextAlignment::Center) x += (box.width - w) / 2;
        if (text_alignment == TextAlignment::Right) x += box.width - w;
        lines_.push_back({std::move(shown), {x, y, w, line_height}});
        y += line_height;
    }
}

Rect TextBlock::BackdropRect() const {
    std::optional<Rect> covered;
    for (const Line &line : lines_)
        if (!line.text.empty()) covered = covered ? covered->unite(line.rect) : line.rect;
    if (!backdrop || !covered) return {};
    const Thickness &p = backdrop_padding;
    return covered->deflate({-p.left, -p.top, -p.right, -p.bottom});
}

// ---- Image ----

Size Image::MeasureOverride(Size available, const TextMeasurer &) {
    if (!source || source->width <= 0 || source->height <= 0) return {};
    float w = float(source->width), h = float(source->height);
    float scale = std::min(available.width / w, available.height / h);
    if (!std::isfinite(scale)) scale = 1;
    return {w * scale, h * scale};
}

void Image::ArrangeOverride(Rect box, const TextMeasurer &) {
    picture_ = {box.x, box.y, 0, 0};
    if (!source || source->width <= 0 || source->height <= 0) return;
    float scale = std::min(box.width / float(source->width), box.height / float(source->height));
    float w = float(source->width) * scale, h = float(source->height) * scale;
    picture_ = {box.x + (box.width - w) / 2, box.y + (box.height - h) / 2, w, h};
}

// ---- tree operations ----

void Layout(Element &root, Size size, const TextMeasurer &measurer) {
    root.Measure(size, measurer);
    root.Arrange({0, 0, size.width, size.height}, measurer);
}

Element *HitTest(Element &root, Point point) {
    if (!root.visible() || !root.hit_test_visible) return nullptr;
    bool inside = root.bounds().contains(point);
    if (!root.ClipsChildren() || inside) {
        auto children = root.children();
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            if (Element *hit = HitTest(**child, point)) return hit;
    }
    return inside && root.HitsSelf() ? &root : nullptr;
}

bool RaiseTapped(Element *target) {
    for (Element *element = target; element; element = element->parent()) {
        auto *border = dynamic_cast<Border *>(element);
        if (border && border->tapped) {
            border->tapped();
            return true;
        }
    }
    return false;
}

Element *FindByName(Element &root, std::string_view name) {
    if (root.name == name) return &root;
    for (const auto &child : root.children())
        if (Element *found = FindByName(*child, name)) return found;
    return nullptr;
}

std::shared_ptr<TextBlock> make_text_block(std::string name, std::u16string text, float size, Color foreground) {
    auto block = std::make_shared<TextBlock>();
    block->name = std::move(name);
    block->text = std::move(text);
    block->font_size = size;
    block->foreground = foreground;
    return block;
}

}  // namespace shell::ui
