#include "tree_renderer.h"

#include <cmath>

#include "core/text.h"
#include "ui/rounded_rect.h"

namespace shell::sdl {

using namespace ui;

namespace {

uint32_t packed(Color c) { return uint32_t(c.a) << 24 | uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b; }

SDL_Rect pixel_rect(const Rect &r) {
    int x = int(std::floor(r.x)), y = int(std::floor(r.y));
    return {x, y, int(std::ceil(r.right())) - x, int(std::ceil(r.bottom())) - y};
}

}  // namespace

TreeRenderer::~TreeRenderer() {
    for (auto &[key, cached] : text_textures_) SDL_DestroyTexture(cached.texture);
    for (auto &[key, entry] : image_textures_) SDL_DestroyTexture(entry.second.texture);
}

void TreeRenderer::Draw(const Element &root) {
    frame_++;
    SDL_SetRenderDrawBlendMode(renderer_, SDL_BLENDMODE_BLEND);
    DrawElement(root, root.bounds());
    SDL_RenderSetClipRect(renderer_, nullptr);
    ReleaseUnused();
}

void TreeRenderer::DrawElement(const Element &element, const Rect &clip) {
    if (!element.visible()) return;
    const Rect &box = element.bounds();
    if (auto *panel = dynamic_cast<const Panel *>(&element); panel && panel->background)
        Fill(box, 0, *panel->background, clip);
    if (auto *border = dynamic_cast<const Border *>(&element)) {
        if (border->background) Fill(box, border->corner_radius, *border->background, clip);
        if (border->border_brush)
            Stroke(box, border->border_thickness, border->corner_radius, *border->border_brush, clip);
    }
    if (auto *text = dynamic_cast<const TextBlock *>(&element)) DrawText(*text, clip.intersect(box));
    if (auto *image = dynamic_cast<const Image *>(&element)) DrawImage(*image, clip.intersect(box));
    Rect inner = element.ClipsChildren() ? clip.intersect(box) : clip;
    for (const auto &child : element.children()) DrawElement(*child, inner);
}

void TreeRenderer::SetClip(const Rect &clip) {
    SDL_Rect r = pixel_rect(clip);
    SDL_RenderSetClipRect(renderer_, &r);
}

void TreeRenderer::Fill(const Rect &rect, float radius, Color color, const Rect &clip) {
    if (color.a == 0 || rect.width <= 0 || rect.height <= 0) return;
    SetClip(clip);
    SDL_SetRenderDrawColor(renderer_, color.r, color.g, color.b, color.a);
    if (radius <= 0) {
        SDL_FRect r{rect.x, rect.y, rect.width, rect.height};
        SDL_RenderFillRectF(renderer_, &r);
        return;
    }
    Triangles triangles = FillRoundedRect(rect, radius);
    std::vector<SDL_Vertex> vertices;
    for (const Point &p : triangles.points)
        vertices.push_back({{p.x, p.y}, {color.r, color.g, color.b, color.a}, {0, 0}});
    SDL_RenderGeometry(renderer_, nullptr, vertices.data(), int(vertices.size()), triangles.indices.data(),
                       int(triangles.indices.size()));
}

void TreeRenderer::Stroke(const Rect &rect, const Thickness &thickness, float radius, Color color, const Rect &clip) {
    if (color.a == 0 || rect.width <= 0 || rect.height <= 0) return;
    if (thickness.left <= 0 && thickness.top <= 0 && thickness.right <= 0 && thickness.bottom <= 0) return;
    SetClip(clip);
    Triangles triangles = StrokeRoundedRect(rect, thickness, radius);
    std::vector<SDL_Vertex> vertices;
    for (const Point &p : triangles.points)
        vertices.push_back({{p.x, p.y}, {color.r, color.g, color.b, color.a}, {0, 0}});
    SDL_RenderGeometry(renderer_, nullptr, vertices.data(), int(vertices.size()), triangles.indices.data(),
                       int(triangles.indices.size()));
}

void TreeRenderer::DrawText(const TextBlock &text, const Rect &clip) {
    if (text.foreground.a == 0) return;
    SetClip(clip);
    int size = std::max(1, int(std::lround(text.font_size)));
    for (const TextBlock::Line &line : text.lines()) {
        if (line.text.empty()) continue;
        TextKey key{line.text, size, text.font_weight, packed(text.foreground)};
        CachedTexture &cached = text_textures_[key];
        if (!cached.texture) {
            Color c = text.foreground;
            SDL_Surface *surface = TTF_RenderUTF8_Blended(fonts_.Get(text.font_size, text.font_weight),
                                                          utf16_to_utf8(line.text).c_str(), {c.r, c.g, c.b, c.a});
            if (!surface) continue;
            cached.texture = SDL_CreateTextureFromSurface(renderer_, surface);
            cached.width = surface->w;
            cached.height = surface->h;
            SDL_FreeSurface(surface);
            if (!cached.texture) continue;
        }
        cached.last_frame = frame_;
        SDL_FRect target{line.rect.x, line.rect.y, float(cached.width), float(cached.height)};
        SDL_RenderCopyF(renderer_, cached.texture, nullptr, &target);
    }
}

void TreeRenderer::DrawImage(const Image &image, const Rect &clip) {
    if (!image.source || image.picture().width <= 0 || image.picture().height <= 0) return;
    auto &[owner, cached] = image_textures_[image.source.get()];
    if (owner.lock() != image.source) {
        // A new bitmap (possibly at the address of a released one).
        if (cached.texture) SDL_DestroyTexture(cached.texture);
        cached = {};
        owner = image.source;
        const Bitmap &bitmap = *image.source;
        cached.texture =
            SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_BGRA32, SDL_TEXTUREACCESS_STATIC, bitmap.width, bitmap.height);
        if (!cached.texture) return;
        SDL_UpdateTexture(cached.texture, nullptr, bitmap.bgra.data(), bitmap.width * 4);
        SDL_SetTextureBlendMode(cached.texture, SDL_BLENDMODE_BLEND);
    }
    if (!cached.texture) return;
    cached.last_frame = frame_;
    SetClip(clip);
    Rect p = image.picture();
    SDL_FRect target{p.x, p.y, p.width, p.height};
    SDL_RenderCopyF(renderer_, cached.texture, nullptr, &target);
}

void TreeRenderer::ReleaseUnused() {
    for (auto it = text_textures_.begin(); it != text_textures_.end();) {
        if (it->second.last_frame == frame_) {
            ++it;
            continue;
        }
        SDL_DestroyTexture(it->second.texture);
        it = text_textures_.erase(it);
    }
    for (auto it = image_textures_.begin(); it != image_textures_.end();) {
        if (it->second.second.last_frame == frame_) {
            ++it;
            continue;
        }
        SDL_DestroyTexture(it->second.second.texture);
        it = image_textures_.erase(it);
    }
}

}  // namespace shell::sdl
