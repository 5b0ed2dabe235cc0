// Text of fixed advance for layout tests: every UTF-16 unit is half the font
// size wide, a line 1.25 font sizes high.
#pragma once

#include "ui/text_measurer.h"

class FakeMeasurer final : public shell::ui::TextMeasurer {
public:
    float TextWidth(std::u16string_view text, float font_size, shell::ui::FontWeight) const override {
        return float(text.size()) * font_size / 2;
    }
    float LineHeight(float font_size, shell::ui::FontWeight) const override { return font_size * 1.25f; }
};
