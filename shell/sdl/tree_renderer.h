// Draws an arranged element tree with an SDL renderer, in logical pixels.
#pragma once

#include <SDL.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "sdl/fonts.h"
#include "ui/elements.h"

namespace shell::sdl {

class TreeRenderer {
public:
    TreeRenderer(SDL_Renderer *renderer, Fonts &fonts) : renderer_(renderer), fonts_(fonts) {}
    ~TreeRenderer();
    TreeRenderer(const TreeRenderer &) = delete;
    TreeRenderer &operator=(const TreeRenderer &) = delete;

    void Draw(const ui::Element &root);

private:
    struct CachedTexture {
        SDL_Texture *texture = nullptr;
        int width = 0, height = 0;
        unsigned last_frame = 0;
    };
    // Text, size, weight, colour, outline thickness and colour.
    using TextKey = std::tuple<std::u16string, int, ui::FontWeight, uint32_t, int, uint32_t>;

    void DrawElement(const ui::Element &element, const ui::Rect &clip);
    void DrawText(const ui::TextBlock &text, const ui::Rect &clip);
    // The line's texture, its outline (when the block has one) included; null when SDL cannot make it.
    const CachedTexture *LineTexture(const ui::TextBlock &text, const std::u16string &line);
    void DrawImage(const ui::Image &image, const ui::Rect &clip);
    void Fill(const ui::Rect &rect, float radius, ui::Color color, const ui::Rect &clip);
    void Stroke(const ui::Rect &rect, const ui::Thickness &thickness, float radius, ui::Color color,
                const ui::Rect &clip);
    void SetClip(const ui::Rect &clip);
    // Textures not drawn in the last frame are released.
    void ReleaseUnused();

    SDL_Renderer *renderer_;
    Fonts &fonts_;
    unsigned frame_ = 0;
    std::map<TextKey, CachedTexture> text_textures_;
    std::map<const ui::Bitmap *, std::pair<std::weak_ptr<const ui::Bitmap>, CachedTexture>> image_textures_;
};

}  // namespace shell::sdl
