// Reading what a scripted `app` run leaves behind: whole files, and its UTF-16LE log as UTF-8.
#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// UTF-16LE to UTF-8 for the ASCII and BMP texts the log holds.
inline std::string utf8_of_utf16le(const std::string &bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned unit = uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8;
        if (unit < 0x80) {
            out += char(unit);
        } else if (unit < 0x800) {
            out += char(0xC0 | unit >> 6);
            out += char(0x80 | (unit & 0x3F));
        } else {
            out += char(0xE0 | unit >> 12);
            out += char(0x80 | ((unit >> 6) & 0x3F));
            out += char(0x80 | (unit & 0x3F));
        }
    }
    return out;
}
