#include "tree_renderer.h"

#include <cmath>

#include "core/text.h"
#include "ui/rounded_rect.h"

namespace shell::sdl {

using namespace ui;

namespace {

constexpr float BACKDROP_RADIUS = 6;

uint32_t packed(Color c) { return uint32_t(c.a) << 24 | uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b; }

SDL_Rect pixel_rect(const Rect &r) {
    int x = int(std::floor(r.x)), y = int(std::floor(r.y));
    return {x, y, int(std::ceil(r.right())) - x, int(std::ceil(r.bottom())) - y};
}

int outline_pixels(const TextBlock &text) { return std::max(0, int(std::lround(text.outline_thickness))); }

// The element's box, grown by what caption styling draws beyond it.
Rect drawn_area(const TextBlock &text) {
    float outline = float(outline_pixels(text));
    Rect area = text.bounds().deflate({-outline, -outline, -outline, -outline});
    Rect backdrop = text.BackdropRect();
    return backdrop.width > 0 ? area.unite(backdrop) : area;
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
    if (auto *text = dynamic_cast<const TextBlock *>(&element)) DrawText(*text, clip);
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

void TreeRenderer::DrawText(const TextBlock &text, const Rect &parent_clip) {
    if (text.foreground.a == 0) return;
    Rect clip = parent_clip.intersect(drawn_area(text));
    if (text.backdrop) {
        Rect backdrop = text.BackdropRect();
        if (backdrop.width > 0) Fill(backdrop, BACKDROP_RADIUS, *text.backdrop, clip);
    }
    SetClip(clip);
    int outline = outline_pixels(text);
    for (const TextBlock::Line &line : text.lines()) {
        if (line.text.empty()) continue;
        const CachedTexture *cached = LineTexture(text, line.text);
        if (!cached) continue;
        // The outline surrounds the glyphs: the picture starts that far above and left of the line.
        SDL_FRect target{line.rect.x - float(outline), line.rect.y - float(outline), float(cached->width),
                         float(cached->height)};
        SDL_RenderCopyF(renderer_, cached->texture, nullptr, &target);
    }
}

const TreeRenderer::CachedTexture *TreeRenderer::LineTexture(const TextBlock &text, const std::u16string &line) {
    int size = std::max(1, int(std::lround(text.font_size)));
    int outline = outline_pixels(text);
    TextKey key{line, size, text.font_weight, packed(text.foreground), outline, outline ? packed(text.outline) : 0};
    CachedTexture &cached = text_textures_[key];
    cached.last_frame = frame_;
    if (cached.texture) return &cached;
    std::string utf8 = utf16_to_utf8(line);
    Color c = text.foreground;
    SDL_Surface *surface =
        TTF_RenderUTF8_Blended(fonts_.Get(text.font_size, text.font_weight), utf8.c_str(), {c.r, c.g, c.b, c.a});
    if (surface && outline > 0) {
        // The ring first, then the glyphs over it, inset by the outline.
        Color o = text.outline;
        SDL_Surface *ring = TTF_RenderUTF8_Blended(fonts_.Get(text.font_size, text.font_weight, outline),
                                                   utf8.c_str(), {o.r, o.g, o.b, o.a});
        SDL_Rect inset{outline, outline, surface->w, surface->h};
        SDL_SetSurfaceBlendMode(surface, SDL_BLENDMODE_BLEND);
        if (ring && SDL_BlitSurface(surface, nullptr, ring, &inset) == 0) {
            SDL_FreeSurface(surface);
            surface = ring;
        } else {
            SDL_FreeSurface(ring);
            SDL_FreeSurface(surface);
            surface = nullptr;
        }
    }
    if (!surface) return nullptr;
    cached.texture = SDL_CreateTextureFromSurface(renderer_, surface);
    cached.width = surface->w;
    cached.height = surface->h;
    SDL_FreeSurface(surface);
    return cached.texture ? &cached : nullptr;
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
        SDL_SetTextureBlendMode(cached.texture, bitmap.opaque ? SDL_BLENDMODE_NONE : SDL_BLENDMODE_BLEND);
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
