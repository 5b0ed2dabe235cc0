#include "tree_dump.h"

#include <cstdio>
#include <string_view>

#include "core/text.h"
#include "json.h"

namespace shell::ui {
namespace {

std::string number(float value) {
    char text[32];
    snprintf(text, sizeof text, "%.2f", double(value));
    std::string out = text;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out == "-0" ? "0" : out;
}

std::string quoted(std::string_view text) {
    std::string out(text.size() * 6 + 1, '\0');
    out.resize(json_escape(out.data(), text.data(), text.size(), 0));
    return '"' + out + '"';
}

std::string color(const Color &c) {
    return "[" + std::to_string(c.a) + ", " + std::to_string(c.r) + ", " + std::to_string(c.g) + ", " +
           std::to_string(c.b) + "]";
}

void dump(const Element &element, int depth, std::string &out) {
    std::string indent(size_t(depth) * 2, ' ');
    Rect r = element.bounds();
    out += indent + "{\"kind\": " + quoted(element.Kind()) + ", \"name\": " + quoted(element.name) + ", \"rect\": [" +
           number(r.x) + ", " + number(r.y) + ", " + number(r.width) + ", " + number(r.height) +
           "], \"visible\": " + (element.visible() ? "true" : "false");
    if (auto *panel = dynamic_cast<const Panel *>(&element); panel && panel->background)
        out += ", \"background\": " + color(*panel->background);
    if (auto *border = dynamic_cast<const Border *>(&element)) {
        if (border->background) out += ", \"background\": " + color(*border->background);
        if (border->border_brush) out += ", \"border_brush\": " + color(*border->border_brush);
    }
    if (auto *scroll = dynamic_cast<const ScrollViewer *>(&element))
        out += ", \"offset\": " + number(scroll->vertical_offset());
    if (auto *text = dynamic_cast<const TextBlock *>(&element))
        out += ", \"text\": " + quoted(utf16_to_utf8(text->text)) + ", \"font_size\": " + number(text->font_size) +
               ", \"foreground\": " + color(text->foreground);
    auto children = element.children();
    out += ", \"children\": [";
    if (!children.empty()) {
        out += '\n';
        for (size_t i = 0; i < children.size(); i++) {
            dump(*children[i], depth + 1, out);
            out += i + 1 < children.size() ? ",\n" : "\n";
        }
        out += indent;
    }
    out += "]}";
}

}  // namespace

std::string DumpTree(const Element &root) {
    std::string out;
    dump(root, 0, out);
    return out + '\n';
}

}  // namespace shell::ui
