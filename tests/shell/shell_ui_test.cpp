// The element layer: measure and arrange, hit testing, the tree dump and the
// rounded-rectangle geometry, with text of fixed advance.
#include <gtest/gtest.h>

#include <memory>

#include "fake_measurer.h"
#include "ui/elements.h"
#include "ui/rounded_rect.h"
#include "ui/tree_dump.h"

using namespace shell::ui;

namespace {

const FakeMeasurer MEASURER;

template <class T>
std::shared_ptr<T> named(const char *name) {
    auto element = std::make_shared<T>();
    element->name = name;
    return element;
}

// A 10 px font: every character 5 wide, lines 12.5 high.
std::shared_ptr<TextBlock> text(const char *name, std::u16string content) {
    auto block = named<TextBlock>(name);
    block->text = std::move(content);
    block->font_size = 10;
    return block;
}

std::shared_ptr<Border> box(const char *name, float w, float h) {
    auto border = named<Border>(name);
    border->width = w;
    border->height = h;
    border->background = Color{255, 1, 2, 3};
    return border;
}

void expect_rect(const Element &element, Rect expected) {
    EXPECT_EQ(element.bounds(), expected) << element.name << ": [" << element.bounds().x << ", " << element.bounds().y
                                          << ", " << element.bounds().width << ", " << element.bounds().height << "]";
}

}  // namespace

TEST(GridLayout, AutoRowsAndColumnsFitContentStarsShareTheRest) {
    auto grid = named<Grid>("grid");
    grid->rows = {GridLength::Auto(), GridLength::Star(), GridLength::Star(3), GridLength::Pixel(40)};
    grid->columns = {GridLength::Auto(), GridLength::Star(), GridLength::Auto()};
    auto a = box("a", 100, 30);
    auto b = box("b", 60, 20);
    b->column = 2;
    auto c = named<Border>("c");  // stretches over its whole cell
    c->row = 1;
    c->column = 1;
    auto d = named<Border>("d");
    d->row = 2;
    d->column = 1;
    auto e = named<Border>("e");
    e->row = 3;
    for (auto child : {a, b, c, d, e}) grid->Add(child);
    Layout(*grid, {1000, 600}, MEASURER);
    // Rows 30 (auto), 132.5 and 397.5 (the rest, 1:3), 40; columns 100, 840, 60.
    expect_rect(*a, {0, 0, 100, 30});
    expect_rect(*b, {940, 5, 60, 20});  // a sized element is centred in a larger cell
    expect_rect(*c, {100, 30, 840, 132.5f});
    expect_rect(*d, {100, 162.5f, 840, 397.5f});
    expect_rect(*e, {0, 560, 100, 40});
}

TEST(GridLayout, UnboundedStarsFitTheirContent) {
    auto stack = named<StackPanel>("stack");  // gives its children unbounded height
    auto grid = std::make_shared<Grid>();
    grid->rows = {GridLength::Star(), GridLength::Star(2)};
    auto tall = box("tall", 10, 50);
    grid->Add(tall);
    auto other = box("other", 10, 20);
    other->row = 1;
    grid->Add(other);
    stack->Add(grid);
    Layout(*stack, {200, 1000}, MEASURER);
    // The largest star content per weight (50) sets both rows: 50 and 100.
    EXPECT_EQ(grid->bounds().height, 150);
    expect_rect(*other, {95, 90, 10, 20});
}

TEST(StackPanelLayout, StacksInBothDirections) {
    auto column = named<StackPanel>("column");
    column->margin = {10, 20, 10, 20};
    auto first = box("first", 50, 30);
    first->margin = {0, 0, 0, 5};
    auto second = text("second", u"abcd");
    second->horizontal_alignment = HorizontalAlignment::Right;
    column->Add(first);
    column->Add(second);
    auto row = named<StackPanel>("row");
    row->orientation = Orientation::Horizontal;
    auto left = box("left", 40, 10);
    auto right = box("right", 30, 20);
    right->margin = {16, 0, 0, 0};
    row->Add(left);
    row->Add(right);
    column->Add(row);
    Layout(*column, {400, 300}, MEASURER);
    expect_rect(*column, {10, 20, 380, 260});
    expect_rect(*first, {175, 20, 50, 30});
    expect_rect(*second, {370, 55, 20, 12.5f});
    expect_rect(*row, {10, 67.5f, 380, 20});
    expect_rect(*left, {10, 72.5f, 40, 10});
    expect_rect(*right, {66, 67.5f, 30, 20});
}

TEST(AlignmentLayout, EveryAlignmentInA100By100Slot) {
    struct Case {
        HorizontalAlignment h;
        VerticalAlignment v;
        Rect expected;
    } cases[] = {
        {HorizontalAlignment::Left, VerticalAlignment::Top, {0, 0, 20, 12.5f}},
        {HorizontalAlignment::Center, VerticalAlignment::Center, {40, 43.75f, 20, 12.5f}},
        {HorizontalAlignment::Right, VerticalAlignment::Bottom, {80, 87.5f, 20, 12.5f}},
        {HorizontalAlignment::Stretch, VerticalAlignment::Stretch, {0, 0, 100, 100}},
    };
    for (const Case &c : cases) {
        auto grid = std::make_shared<Grid>();
        auto label = text("label", u"abcd");
        label->horizontal_alignment = c.h;
        label->vertical_alignment = c.v;
        grid->Add(label);
        Layout(*grid, {100, 100}, MEASURER);
        expect_rect(*label, c.expected);
    }
}

TEST(ScrollViewerLayout, ContentGetsTheWidthAndAllTheHeightItNeeds) {
    auto scroll = named<ScrollViewer>("scroll");
    auto panel = named<StackPanel>("panel");
    for (int i = 0; i < 10; i++) panel->Add(box("item", 500, 50));
    scroll->SetContent(panel);
    Layout(*scroll, {300, 200}, MEASURER);
    expect_rect(*scroll, {0, 0, 300, 200});
    expect_rect(*panel, {0, 0, 300, 500});
    // Items wider than the viewer keep their size, centred and cut at its edges.
    expect_rect(*panel->children()[9], {-100, 450, 500, 50});
    EXPECT_EQ(HitTest(*scroll, {150, 450}), nullptr);  // below the viewport
    EXPECT_EQ(HitTest(*scroll, {150, 150}), panel->children()[3].get());
}

TEST(ScrollViewerLayout, KeepsTheTargetInViewScrollingAsLittleAsItCan) {
    // A 200 high viewport on ten items 50 high, between margins of 10: 520 in all, scrolled by at most 320.
    auto scroll = named<ScrollViewer>("scroll");
    auto panel = named<StackPanel>("panel");
    panel->margin = {0, 10, 0, 10};
    for (int i = 0; i < 10; i++) panel->Add(box("item", 100, 50));
    scroll->SetContent(panel);
    auto item = [&](int i) { return panel->children()[size_t(i)]; };
    struct Step {
        int target, lead;  // lead -1: none
        float offset;
    } steps[] = {
        {1, -1, 0},     // in view: nothing moves
        {5, -1, 110},   // below: its bottom at the viewport's bottom
        {4, -1, 110},   // in view again: the offset stays
        {1, -1, 60},    // above: its top at the viewport's top
        {0, -1, 0},     // only the margin left above: the top
        {9, -1, 320},   // only the margin left below: the end
        {6, 5, 260},    // going up, the lead comes along
        {8, 1, 260},    // a lead that does not fit with it is left out; the target is in view
        {2, 1, 60},     // a lead that fits is shown above the target
    };
    for (const Step &step : steps) {
        SCOPED_TRACE("target " + std::to_string(step.target));
        scroll->BringIntoView(item(step.target), step.lead < 0 ? nullptr : item(step.lead));
        Layout(*scroll, {300, 200}, MEASURER);
        EXPECT_EQ(scroll->vertical_offset(), step.offset);
        Rect shown = item(step.target)->bounds();
        EXPECT_GE(shown.y, 0);
        EXPECT_LE(shown.bottom(), 200);
        EXPECT_EQ(shown.y, 10 + 50 * step.target - step.offset);
    }
    // Hits follow the scrolled content.
    EXPECT_EQ(HitTest(*scroll, {150, 1}), item(1).get());
    // A shorter viewport keeps the target in view; one no longer in the content moves nothing.
    Layout(*scroll, {300, 100}, MEASURER);
    EXPECT_EQ(scroll->vertical_offset(), 60);
    scroll->BringIntoView(item(5));
    Layout(*scroll, {300, 100}, MEASURER);
    EXPECT_EQ(scroll->vertical_offset(), 210);
    auto gone = item(9);
    scroll->BringIntoView(gone);
    panel->Clear();
    panel->Add(box("only", 100, 700));
    Layout(*scroll, {300, 100}, MEASURER);
    EXPECT_EQ(scroll->vertical_offset(), 210);
    // A target taller than the viewport shows its top; back to the top with nothing held.
    scroll->BringIntoView(panel->children()[0]);
    Layout(*scroll, {300, 100}, MEASURER);
    EXPECT_EQ(scroll->vertical_offset(), 10);
    scroll->ScrollToTop();
    Layout(*scroll, {300, 100}, MEASURER);
    EXPECT_EQ(scroll->vertical_offset(), 0);
}

TEST(BorderLayout, ThicknessAndPaddingSurroundTheChild) {
    auto border = named<Border>("tile");
    border->border_thickness = {2, 2, 2, 2};
    border->padding = {20, 14, 20, 14};
    border->margin = {0, 0, 16, 12};
    border->horizontal_alignment = HorizontalAlignment::Left;
    border->vertical_alignment = VerticalAlignment::Top;
    auto label = text("label", u"Audio");
    border->SetChild(label);
    Layout(*border, {500, 500}, MEASURER);
    EXPECT_EQ(border->desired_size(), (Size{25 + 44 + 16, 12.5f + 32 + 12}));
    expect_rect(*border, {0, 0, 69, 44.5f});
    expect_rect(*label, {22, 16, 25, 12.5f});
}

TEST(TextLayout, TrimmingWithACharacterEllipsis) {
    struct Case {
        std::u16string text;
        float width;
        std::u16string shown;
    } cases[] = {
        {u"short", 100, u"short"},
        {u"abcdefghij", 50, u"abcdefghij"},        // exactly fits
        {u"abcdefghijk", 50, u"abcdefghi\u2026"},  // 9 characters and the ellipsis
        {u"abcd efghijk", 30, u"abcd\u2026"},      // no blank before the ellipsis
        {u"ab\U0001F3ACcdef", 20, u"ab\u2026"},    // never half a surrogate pair
    };
    for (const Case &c : cases) {
        auto grid = std::make_shared<Grid>();
        auto label = text("label", c.text);
        label->text_trimming = TextTrimming::CharacterEllipsis;
        grid->Add(label);
        Layout(*grid, {c.width, 100}, MEASURER);
        ASSERT_EQ(label->lines().size(), 1u);
        EXPECT_EQ(label->lines()[0].text, c.shown) << c.width;
        EXPECT_LE(label->lines()[0].rect.width, c.width);
    }
}

TEST(TextLayout, WrappingCentredLinesAndLineBreaks) {
    auto grid = std::make_shared<Grid>();
    auto subtitle = text("subtitle", u"one two three fourteenletters\nnext");
    subtitle->text_wrapping = TextWrapping::Wrap;
    subtitle->text_alignment = TextAlignment::Center;
    subtitle->vertical_alignment = VerticalAlignment::Top;
    grid->Add(subtitle);
    Layout(*grid, {50, 200}, MEASURER);  // ten characters a line
    std::vector<std::u16string> shown;
    for (const auto &line : subtitle->lines()) shown.push_back(line.text);
    EXPECT_EQ(shown, (std::vector<std::u16string>{u"one two", u"three", u"fourteenle", u"tters", u"next"}));
    EXPECT_EQ(subtitle->lines()[1].rect, (Rect{12.5f, 12.5f, 25, 12.5f}));
    EXPECT_EQ(subtitle->bounds().height, 5 * 12.5f);
}

TEST(TextLayout, TheBackdropCoversAllLinesAndItsPaddingOnly) {
    auto grid = std::make_shared<Grid>();
    auto caption = text("caption", u"wide line here\nshort");
    caption->text_alignment = TextAlignment::Center;
    caption->horizontal_alignment = HorizontalAlignment::Center;
    caption->vertical_alignment = VerticalAlignment::Bottom;
    caption->backdrop_padding = {6, 2, 6, 4};
    grid->Add(caption);
    Layout(*grid, {200, 100}, MEASURER);
    EXPECT_EQ(caption->BackdropRect(), (Rect{}));  // no backdrop colour
    caption->backdrop = Color{150, 0, 0, 0};
    caption->outline_thickness = 2;
    Layout(*grid, {200, 100}, MEASURER);
    // The wide line (70 by 12.5, centred) sets the width; both lines the height; the layout is unchanged.
    EXPECT_EQ(caption->bounds(), (Rect{65, 75, 70, 25}));
    EXPECT_EQ(caption->BackdropRect(), (Rect{59, 73, 82, 31}));
    caption->text = u"";
    Layout(*grid, {200, 100}, MEASURER);
    EXPECT_EQ(caption->BackdropRect(), (Rect{}));  // nothing to put it behind
}

TEST(ImageLayout, UniformStretchKeepsTheProportions) {
    auto bitmap = std::make_shared<Bitmap>();
    bitmap->width = 160;
    bitmap->height = 90;
    bitmap->bgra.resize(160 * 90 * 4);
    struct Case {
        Size slot;
        float width, height;
        Rect picture;
    } cases[] = {
        {{800, 800}, NAN, NAN, {0, 175, 800, 450}},
        {{800, 90}, NAN, NAN, {320, 0, 160, 90}},
        {{800, 800}, 40, 40, {380, 388.75f, 40, 22.5f}},  // fixed size, centred
    };
    for (const Case &c : cases) {
        auto grid = std::make_shared<Grid>();
        auto image = named<Image>("image");
        image->source = bitmap;
        image->width = c.width;
        image->height = c.height;
        grid->Add(image);
        Layout(*grid, c.slot, MEASURER);
        EXPECT_EQ(image->picture(), c.picture);
    }
    auto empty = named<Image>("empty");
    Layout(*empty, {100, 100}, MEASURER);
    EXPECT_EQ(empty->desired_size(), (Size{0, 0}));
}

TEST(CanvasLayout, ChildrenAtTheirPlaceInTheirSize) {
    auto canvas = named<Canvas>("overlay");
    auto marker = box("marker", 30, 20);
    marker->left = 100;
    marker->top = 40;
    canvas->Add(marker);
    auto grid = std::make_shared<Grid>();
    grid->Add(canvas);
    Layout(*grid, {500, 500}, MEASURER);
    EXPECT_EQ(canvas->desired_size(), (Size{0, 0}));
    expect_rect(*canvas, {0, 0, 500, 500});
    expect_rect(*marker, {100, 40, 30, 20});
}

TEST(Visibility, CollapsedTakesNoSpaceAndNoHits) {
    auto stack = named<StackPanel>("stack");
    auto hidden = box("hidden", 100, 100);
    hidden->visibility = Visibility::Collapsed;
    auto shown = box("shown", 100, 100);
    stack->Add(hidden);
    stack->Add(shown);
    Layout(*stack, {100, 400}, MEASURER);
    expect_rect(*shown, {0, 0, 100, 100});
    EXPECT_EQ(HitTest(*stack, {50, 50}), shown.get());
    shown->visibility = Visibility::Collapsed;
    Layout(*stack, {100, 400}, MEASURER);
    EXPECT_EQ(HitTest(*stack, {50, 50}), nullptr);
}

TEST(HitTesting, TopmostPaintedElementAndTapsBubbleToTheBorder) {
    auto body = named<Grid>("body");
    auto tile = named<Border>("tile[0]");
    tile->background = Color{255, 22, 32, 44};
    tile->width = 200;
    tile->height = 100;
    auto label = text("label", u"tile");
    label->horizontal_alignment = HorizontalAlignment::Left;
    label->vertical_alignment = VerticalAlignment::Top;
    tile->SetChild(label);
    int taps = 0;
    tile->tapped = [&] { taps++; };
    auto overlay = named<Canvas>("overlay");
    overlay->background = Color{255, 0, 0, 0};
    overlay->hit_test_visible = false;
    body->Add(tile);
    body->Add(overlay);
    Layout(*body, {400, 200}, MEASURER);
    // The overlay lies on top but takes no hits; the label is inside the tile.
    Rect label_box = label->bounds();
    Element *hit = HitTest(*body, {label_box.x + 1, label_box.y + 1});
    EXPECT_EQ(hit, label.get());
    EXPECT_TRUE(RaiseTapped(hit));
    EXPECT_EQ(HitTest(*body, {110, 90}), tile.get());
    EXPECT_TRUE(RaiseTapped(HitTest(*body, {110, 90})));
    EXPECT_EQ(taps, 2);
    EXPECT_EQ(HitTest(*body, {10, 10}), nullptr);  // an empty grid without background
    EXPECT_FALSE(RaiseTapped(nullptr));
    EXPECT_EQ(FindByName(*body, "tile[0]"), tile.get());
    EXPECT_EQ(FindByName(*body, "tile[1]"), nullptr);
}

TEST(TreeDump, JsonOfTheArrangedTree) {
    auto root = named<Grid>("root");
    root->background = Color{255, 12, 14, 18};
    auto title = text("title", u"Caf\u00E9 \"quoted\"");
    title->foreground = Color{255, 0, 214, 214};
    title->horizontal_alignment = HorizontalAlignment::Left;
    title->vertical_alignment = VerticalAlignment::Top;
    root->Add(title);
    auto video = named<Border>("video");
    video->background = Color{255, 0, 0, 0};
    video->border_brush = Color{255, 40, 44, 56};
    video->visibility = Visibility::Collapsed;
    root->Add(video);
    Layout(*root, {1920, 1080}, MEASURER);
    EXPECT_EQ(DumpTree(*root),
              "{\"kind\": \"Grid\", \"name\": \"root\", \"rect\": [0, 0, 1920, 1080], \"visible\": true, "
              "\"background\": [255, 12, 14, 18], \"children\": [\n"
              "  {\"kind\": \"TextBlock\", \"name\": \"title\", \"rect\": [0, 0, 65, 12.5], \"visible\": true, "
              "\"text\": \"Caf\xC3\xA9 \\\"quoted\\\"\", \"font_size\": 10, \"foreground\": [255, 0, 214, 214], "
              "\"children\": []},\n"
              "  {\"kind\": \"Border\", \"name\": \"video\", \"rect\": [0, 0, 0, 0], \"visible\": false, "
              "\"background\": [255, 0, 0, 0], \"border_brush\": [255, 40, 44, 56], \"children\": []}\n"
              "]}\n");
}

TEST(RoundedRect, FillStaysInsideAndStrokeIsARing) {
    Rect r{10, 20, 100, 40};
    for (float radius : {0.f, 6.f, 500.f}) {
        Triangles fill = FillRoundedRect(r, radius);
        EXPECT_EQ(fill.indices.size() % 3, 0u);
        for (int index : fill.indices) ASSERT_LT(size_t(index), fill.points.size());
        for (const Point &p : fill.points) {
            EXPECT_GE(p.x, r.x - 1e-3f);
            EXPECT_LE(p.x, r.right() + 1e-3f);
            EXPECT_GE(p.y, r.y - 1e-3f);
            EXPECT_LE(p.y, r.bottom() + 1e-3f);
        }
    }
    // Corner points lie on the radius: the top-left corner's diagonal point is inset.
    Triangles rounded = FillRoundedRect(r, 6);
    bool corner_cut = true;
    for (const Point &p : rounded.points) corner_cut = corner_cut && !(p.x < r.x + 1 && p.y < r.y + 1);
    EXPECT_TRUE(corner_cut);

    Triangles ring = StrokeRoundedRect(r, {2, 2, 2, 2}, 6);
    size_t half = ring.points.size() / 2;
    for (size_t i = half; i < ring.points.size(); i++) {  // the inner edge
        EXPECT_GE(ring.points[i].x, r.x + 2 - 1e-3f);
        EXPECT_LE(ring.points[i].x, r.right() - 2 + 1e-3f);
        EXPECT_GE(ring.points[i].y, r.y + 2 - 1e-3f);
        EXPECT_LE(ring.points[i].y, r.bottom() - 2 + 1e-3f);
    }
    EXPECT_EQ(ring.indices.size(), half * 6);
}
