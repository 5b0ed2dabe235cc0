// Triangles for rounded rectangles, filled or as a border ring, for backends
// that draw with triangle lists.
#pragma once

#include <vector>

#include "geometry.h"

namespace shell::ui {

struct Triangles {
    std::vector<Point> points;
    std::vector<int> indices;  // three per triangle
};

// The radius is limited to half the shorter side.
Triangles FillRoundedRect(const Rect &rect, float radius);
// The ring between the outer edge and the edge inset by `thickness`; the inner
// corners are rounded by what is left of the radius.
Triangles StrokeRoundedRect(const Rect &rect, const Thickness &thickness, float radius);

}  // namespace shell::ui
