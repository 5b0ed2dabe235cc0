#include "fonts.h"

#include <cmath>

#include "core/platform_error.h"
#include "core/text.h"

namespace shell::sdl {

Fonts::Fonts() {
    if (TTF_Init() != 0) throw PlatformError(CODE_FAIL, std::string("TTF_Init: ") + TTF_GetError());
    Open(15, ui::FontWeight::Normal);
    Open(15, ui::FontWeight::SemiBold);
}

Fonts::~Fonts() {
    for (auto &[key, font] : fonts_) TTF_CloseFont(font);
    TTF_Quit();
}

TTF_Font *Fonts::Open(float font_size, ui::FontWeight weight, int outline) const {
    int size = std::max(1, int(std::lround(font_size)));
    auto &font = fonts_[{size, weight, outline}];
    if (!font) {
        std::string path = std::string(FONT_DIRECTORY) +
                           (weight == ui::FontWeight::SemiBold ? "DejaVuSans-Bold.ttf" : "DejaVuSans.ttf");
        // SDL_ttf sizes are points at 72 dpi: one point per logical pixel.
        font = TTF_OpenFont(path.c_str(), size);
        if (!font) {
            fonts_.erase({size, weight, outline});
            throw PlatformError(CODE_FILE_NOT_FOUND, "font " + path + ": " + TTF_GetError());
        }
        // A font of its own per outline: changing a font's outline drops its glyph cache.
        if (outline > 0) TTF_SetFontOutline(font, outline);
    }
    return font;
}

TTF_Font *Fonts::Get(float font_size, ui::FontWeight weight, int outline) {
    return Open(font_size, weight, outline);
}

float Fonts::TextWidth(std::u16string_view text, float font_size, ui::FontWeight weight) const {
    if (text.empty()) return 0;
    int w = 0, h = 0;
    TTF_SizeUTF8(Open(font_size, weight), utf16_to_utf8(text).c_str(), &w, &h);
    return float(w);
}

float Fonts::LineHeight(float font_size, ui::FontWeight weight) const {
    return float(TTF_FontHeight(Open(font_size, weight)));
}

}  // namespace shell::sdl
