// Plain values of the element layer, in logical pixels.
#pragma once

#include <cstdint>
#include <limits>

namespace shell::ui {

inline constexpr float INFINITE = std::numeric_limits<float>::infinity();

struct Color {
    uint8_t a = 0, r = 0, g = 0, b = 0;
    friend bool operator==(const Color &, const Color &) = default;
};

struct Thickness {
    float left = 0, top = 0, right = 0, bottom = 0;
    float horizontal() const { return left + right; }
    float vertical() const { return top + bottom; }
};

struct Point {
    float x = 0, y = 0;
};

struct Size {
    float width = 0, height = 0;
    friend bool operator==(const Size &, const Size &) = default;
};

struct Rect {
    float x = 0, y = 0, width = 0, height = 0;
    float right() const { return x + width; }
    float bottom() const { return y + height; }
    bool contains(Point p) const { return p.x >= x && p.x < right() && p.y >= y && p.y < bottom(); }
    Rect deflate(const Thickness &t) const;
    Rect intersect(const Rect &other) const;
    // The smallest rectangle holding both.
    Rect unite(const Rect &other) const;
    friend bool operator==(const Rect &, const Rect &) = default;
};

}  // namespace shell::ui
