// DejaVu fonts (fonts-dejavu-core) by size and weight, and the text measurer
// the layout uses with them. SemiBold is drawn with DejaVu Sans Bold.
#pragma once

#include <SDL_ttf.h>

#include <map>
#include <string>
#include <tuple>

#include "ui/text_measurer.h"

namespace shell::sdl {

inline constexpr const char *FONT_DIRECTORY = "/usr/share/fonts/truetype/dejavu/";

class Fonts final : public ui::TextMeasurer {
public:
    // Throws PlatformError when SDL_ttf or the fonts are unavailable.
    Fonts();
    ~Fonts() override;
    Fonts(const Fonts &) = delete;
    Fonts &operator=(const Fonts &) = delete;

    // With an outline of `outline` pixels, the font draws only the ring around each glyph.
    TTF_Font *Get(float font_size, ui::FontWeight weight, int outline = 0);
    float TextWidth(std::u16string_view text, float font_size, ui::FontWeight weight) const override;
    float LineHeight(float font_size, ui::FontWeight weight) const override;

private:
    // Opened on first use; the measurer is const towards the layout.
    mutable std::map<std::tuple<int, ui::FontWeight, int>, TTF_Font *> fonts_;
    TTF_Font *Open(float font_size, ui::FontWeight weight, int outline = 0) const;
};

}  // namespace shell::sdl
