// How the layout learns the size of text: the SDL backend measures with its
// fonts, the tests with a fake of fixed advance.
#pragma once

#include <string_view>

namespace shell::ui {

enum class FontWeight { Normal, SemiBold };

class TextMeasurer {
public:
    virtual ~TextMeasurer() = default;
    virtual float TextWidth(std::u16string_view text, float font_size, FontWeight weight) const = 0;
    virtual float LineHeight(float font_size, FontWeight weight) const = 0;
};

}  // namespace shell::ui
