// A small retained element layer with the layout rules of XAML: elements are
// measured with the space offered (infinite where a panel stacks or scrolls),
// then arranged into the slot their parent gives them. Arranged bounds are
// absolute, in logical pixels. No platform code: text is measured through a
// TextMeasurer and drawing is the backend's business.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "geometry.h"
#include "text_measurer.h"

namespace shell::ui {

enum class HorizontalAlignment { Stretch, Left, Center, Right };
enum class VerticalAlignment { Stretch, Top, Center, Bottom };
enum class Visibility { Visible, Collapsed };

class Element {
public:
    virtual ~Element() = default;
    virtual std::string_view Kind() const = 0;

    std::string name;
    Thickness margin;
    float width = NAN;  // explicit size; NaN: sized by content and alignment
    float height = NAN;
    HorizontalAlignment horizontal_alignment = HorizontalAlignment::Stretch;
    VerticalAlignment vertical_alignment = VerticalAlignment::Stretch;
    Visibility visibility = Visibility::Visible;
    bool hit_test_visible = true;  // false: neither it nor its children take hits
    int row = 0;                   // cell in a parent Grid
    int column = 0;
    float left = 0;  // position in a parent Canvas
    float top = 0;

    bool visible() const { return visibility == Visibility::Visible; }
    void Measure(Size available, const TextMeasurer &measurer);
    void Arrange(Rect slot, const TextMeasurer &measurer);
    // Size wanted in the last Measure, margin included.
    Size desired_size() const { return desired_; }
    // Where the last Arrange put it, margin excluded; all zero before the first.
    Rect bounds() const { return bounds_; }
    Element *parent() const { return parent_; }
    virtual std::span<const std::shared_ptr<Element>> children() const { return {}; }
    // Whether a point in its bounds hits the element itself (XAML: it paints there).
    virtual bool HitsSelf() const { return false; }
    // Whether its children are cut to its bounds, for drawing and hits.
    virtual bool ClipsChildren() const { return false; }

protected:
    virtual Size MeasureOverride(Size available, const TextMeasurer &measurer) = 0;
    virtual void ArrangeOverride(Rect box, const TextMeasurer &measurer) = 0;
    void Adopt(Element &child) { child.parent_ = this; }

private:
    Size desired_;
    Rect bounds_;
    Element *parent_ = nullptr;
};

class Panel : public Element {
public:
    std::optional<Color> background;

    template <class T>
    T &Add(std::shared_ptr<T> child) {
        Adopt(*child);
        children_.push_back(child);
        return *child;
    }
    void Clear() { children_.clear(); }
    std::span<const std::shared_ptr<Element>> children() const override { return children_; }
    bool HitsSelf() const override { return background.has_value(); }

private:
    std::vector<std::shared_ptr<Element>> children_;
};

struct GridLength {
    enum class Unit { Auto, Star, Pixel };
    Unit unit = Unit::Star;
    float value = 1;
    static GridLength Auto() { return {Unit::Auto, 0}; }
    static GridLength Star(float weight = 1) { return {Unit::Star, weight}; }
    static GridLength Pixel(float size) { return {Unit::Pixel, size}; }
};

// Rows and columns: Auto fits its content, Pixel is fixed, Star shares what is
// left by weight (or fits its content when the space is unbounded). No
// definitions means one Star cell. Children sit in their row and column.
class Grid : public Panel {
public:
    std::vector<GridLength> rows;
    std::vector<GridLength> columns;
    std::string_view Kind() const override { return "Grid"; }

protected:
    Size MeasureOverride(Size available, const TextMeasurer &measurer) override;
    void ArrangeOverride(Rect box, const TextMeasurer &measurer) override;

private:
    std::vector<float> measured_widths_;
    std::vector<float> measured_heights_;
};

enum class Orientation { Vertical, Horizontal };

class StackPanel : public Panel {
public:
    Orientation orientation = Orientation::Vertical;
    std::string_view Kind() const override { return "StackPanel"; }

protected:
    Size MeasureOverride(Size available, const TextMeasurer &measurer) override;
    void ArrangeOverride(Rect box, const TextMeasurer &measurer) override;
};

// Children at their `left` and `top`, in their desired size; wants no space itself.
class Canvas : public Panel {
public:
    std::string_view Kind() const override { return "Canvas"; }

protected:
    Size MeasureOverride(Size available, const TextMeasurer &measurer) override;
    void ArrangeOverride(Rect box, const TextMeasurer &measurer) override;
};

// Scrolls its content vertically (without a visible bar); never horizontally:
// the content gets the viewer's width. An element brought into view stays in
// view through every later layout, scrolled to as little as that needs.
class ScrollViewer : public Element {
public:
    std::string_view Kind() const override { return "ScrollViewer"; }
    void SetContent(std::shared_ptr<Element> content);
    std::span<const std::shared_ptr<Element>> children() const override;
    bool ClipsChildren() const override { return true; }

    // Keeps `target` (a descendant, with its margin) fully in view, and `lead`
    // (an element above it, such as its heading) too while both fit.
    void BringIntoView(std::weak_ptr<const Element> target, std::weak_ptr<const Element> lead = {});
    // Back to the top, with nothing held in view.
    void ScrollToTop();
    // How far the content is scrolled up, after the last Arrange.
    float vertical_offset() const { return offset_; }

protected:
    Size MeasureOverride(Size available, const TextMeasurer &measurer) override;
    void ArrangeOverride(Rect box, const TextMeasurer &measurer) override;

private:
    // The offset that shows the target, from the content arranged at the current one.
    float OffsetShowingTarget(const Rect &viewport, float extent) const;

    std::shared_ptr<Element> content_;
    float offset_ = 0;
    std::weak_ptr<const Element> target_;
    std::weak_ptr<const Element> lead_;
};

class Border : public Element {
public:
    std::optional<Color> background;
    std::optional<Color> border_brush;
    Thickness border_thickness;
    float corner_radius = 0;
    Thickness padding;
    std::function<void()> tapped;

    std::string_view Kind() const override { return "Border"; }
    void SetChild(std::shared_ptr<Element> child);
    std::span<const std::shared_ptr<Element>> children() const override;
    bool HitsSelf() const override { return background || border_brush; }

protected:
    Size MeasureOverride(Size available, const TextMeasurer &measurer) override;
    void ArrangeOverride(Rect box, const TextMeasurer &measurer) override;

private:
    std::shared_ptr<Element> child_;
};

enum class TextAlignment { Left, Center, Right };
enum class TextWrapping { NoWrap, Wrap };
enum class TextTrimming { None, CharacterEllipsis };

class TextBlock;
// A named text block of one style, the way the shell's pages and panels build them.
std::shared_ptr<TextBlock> make_text_block(std::string name, std::u16string text, float size, Color foreground);

class TextBlock : public Element {
public:
    struct Line {
        std::u16string text;  // as shown: wrapped, trimmed
        Rect rect;            // absolute
    };

    std::u16string text;
    float font_size = 15;
    FontWeight font_weight = FontWeight::Normal;
    Color foreground{255, 255, 255, 255};
    TextAlignment text_alignment = TextAlignment::Left;
    TextWrapping text_wrapping = TextWrapping::NoWrap;
    TextTrimming text_trimming = TextTrimming::None;
    // Caption style, for text over pictures; neither changes the layout. An
    // outline of this many pixels around every glyph (0: none), and a box
    // behind all lines reaching `backdrop_padding` beyond them.
    float outline_thickness = 0;
    Color outline{255, 0, 0, 0};
    std::optional<Color> backdrop;
    Thickness backdrop_padding;

    std::string_view Kind() const override { return "TextBlock"; }
    // Where the backdrop is drawn, after the last Arrange; empty without backdrop or text.
    Rect BackdropRect() const;
    // The lines of the last Arrange.
    const std::vector<Line> &lines() const { return lines_; }
    bool HitsSelf() const override { return true; }

protected:
    Size MeasureOverride(Size available, const TextMeasurer &measurer) override;
    void ArrangeOverride(Rect box, const TextMeasurer &measurer) override;

private:
    std::vector<std::u16string> BreakLines(float max_width, const TextMeasurer &measurer) const;
    std::vector<Line> lines_;
};

// Pixels in memory order B, G, R, A.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgra;
    // Every alpha byte is 255 (a video picture): drawn without blending, which
    // a software renderer does several times faster.
    bool opaque = false;
};

// Shows its bitmap scaled uniformly to fit, centred.
class Image : public Element {
public:
    std::shared_ptr<const Bitmap> source;

    std::string_view Kind() const override { return "Image"; }
    // Where the picture is drawn, after the last Arrange.
    Rect picture() const { return picture_; }
    bool HitsSelf() const override { return source != nullptr; }

protected:
    Size MeasureOverride(Size available, const TextMeasurer &measurer) override;
    void ArrangeOverride(Rect box, const TextMeasurer &measurer) override;

private:
    Rect picture_;
};

// Measures and arranges a tree in a window of `size`.
void Layout(Element &root, Size size, const TextMeasurer &measurer);
// The topmost element that takes a hit at `point`, or none.
Element *HitTest(Element &root, Point point);
// Raises the tap event on the nearest Border with a tap handler from `target`
// upwards; whether there was one.
bool RaiseTapped(Element *target);
// The first element named `name`, depth first.
Element *FindByName(Element &root, std::string_view name);

}  // namespace shell::ui
