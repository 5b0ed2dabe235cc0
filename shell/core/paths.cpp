#include "paths.h"

#include "text.h"

namespace shell {

std::string decode_text_file(std::string_view bytes) {
    auto starts = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
    if (starts("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
    bool little = starts("\xFF\xFE"), big = starts("\xFE\xFF");
    if (!little && !big) return std::string(bytes);
    std::u16string units;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        auto first = uint8_t(bytes[i]), second = uint8_t(bytes[i + 1]);
        units += char16_t(little ? first | second << 8 : first << 8 | second);
    }
    return utf16_to_utf8(units);
}

std::string_view first_line(std::string_view text) { return text.substr(0, text.find_first_of("\r\n")); }

std::string_view file_name_of(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string resolve_in(std::string_view app_dir, std::string_view path) {
    if (!path.empty() && path.front() == '/') return std::string(path);
    return std::string(app_dir) + '/' + std::string(path);
}

std::optional<std::string> icon_file(std::string_view app_dir, std::string_view icon) {
    if (icon.empty() || icon.front() != '/') return std::nullopt;
    for (size_t start = 1; start <= icon.size();) {
        size_t end = icon.find('/', start);
        if (end == std::string_view::npos) end = icon.size();
        if (icon.substr(start, end - start) == "..") return std::nullopt;
        start = end + 1;
    }
    return std::string(app_dir) + "/assets" + std::string(icon);
}

}  // namespace shell
