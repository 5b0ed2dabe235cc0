#include "rounded_rect.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace shell::ui {
namespace {

constexpr int CORNER_SEGMENTS = 8;

struct Radii {
    float top_left, top_right, bottom_right, bottom_left;
};

// The outline clockwise from the top-left corner, the same number of points for any radii.
std::vector<Point> outline(const Rect &r, Radii radii) {
    struct Corner {
        float cx, cy, radius, start_degrees;
    };
    const Corner corners[] = {
        {r.x + radii.top_left, r.y + radii.top_left, radii.top_left, 180},
        {r.right() - radii.top_right, r.y + radii.top_right, radii.top_right, 270},
        {r.right() - radii.bottom_right, r.bottom() - radii.bottom_right, radii.bottom_right, 0},
        {r.x + radii.bottom_left, r.bottom() - radii.bottom_left, radii.bottom_left, 90},
    };
    std::vector<Point> points;
    for (const Corner &c : corners) {
        for (int i = 0; i <= CORNER_SEGMENTS; i++) {
            double angle = (c.start_degrees + 90.0 * i / CORNER_SEGMENTS) * std::numbers::pi / 180;
            points.push_back({c.cx + c.radius * float(std::cos(angle)), c.cy + c.radius * float(std::sin(angle))});
        }
    }
    return points;
}

float limited(const Rect &rect, float radius) { return std::clamp(radius, 0.f, std::min(rect.width, rect.height) / 2); }

}  // namespace

Triangles FillRoundedRect(const Rect &rect, float radius) {
    float r = limited(rect, radius);
    Triangles out;
    out.points.push_back({rect.x + rect.width / 2, rect.y + rect.height / 2});
    std::vector<Point> edge = outline(rect, {r, r, r, r});
    out.points.insert(out.points.end(), edge.begin(), edge.end());
    int n = int(edge.size());
    for (int i = 0; i < n; i++) out.indices.insert(out.indices.end(), {0, 1 + i, 1 + (i + 1) % n});
    return out;
}

Triangles StrokeRoundedRect(const Rect &rect, const Thickness &t, float radius) {
    float r = limited(rect, radius);
    Rect inner = rect.deflate(t);
    auto rest = [r](float a, float b) { return std::max(0.f, r - std::max(a, b)); };
    std::vector<Point> outer_edge = outline(rect, {r, r, r, r});
    std::vector<Point> inner_edge =
        outline(inner, {rest(t.left, t.top), rest(t.top, t.right), rest(t.right, t.bottom), rest(t.bottom, t.left)});
    Triangles out;
    out.points = outer_edge;
    out.points.insert(out.points.end(), inner_edge.begin(), inner_edge.end());
    int n = int(outer_edge.size());
    for (int i = 0; i < n; i++) {
        int next = (i + 1) % n;
        out.indices.insert(out.indices.end(), {i, next, n + next, i, n + next, n + i});
    }
    return out;
}

}  // namespace shell::ui
