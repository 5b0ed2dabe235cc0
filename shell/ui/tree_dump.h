// The arranged element tree as JSON, for scripts and tests: every element an
// object with kind, name, rect [x, y, width, height], visible, what it paints
// (background, border_brush, foreground as [a, r, g, b]; text and font_size)
// and children.
#pragma once

#include <string>

#include "elements.h"

namespace shell::ui {

std::string DumpTree(const Element &root);

}  // namespace shell::ui
