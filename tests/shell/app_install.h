// Runs of `app` as installed, driven by scripts, and what they leave behind:
// element trees, screenshots and the log. Each installation lives in a folder
// of its own under the temporary directory.
#pragma once

#include <SDL_image.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "json.h"
#include "run_files.h"

namespace app_install {

namespace fs = std::filesystem;

inline const char *TEMPLATE_FILE = "orvellox-orvelloplayer-template-parse.so";
inline const char *PLAYBACK_FILE = "orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so";

// An element tree written by a script's "tree" step.
class Tree {
public:
    explicit Tree(const fs::path &path) {
        std::string text = read_file(path);
        doc_ = json_read(text.data(), text.size(), 0, nullptr, nullptr);
    }
    ~Tree() { json_doc_free(doc_); }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;
    bool ok() const { return doc_ != nullptr; }
    json_val *find(const char *name, json_val *node = nullptr) const {
        if (!node) node = json_doc_root(doc_);
        if (json_equals_str(json_obj_get(node, "name"), name, strlen(name))) return node;
        json_arr_iter children = json_arr_iter_init(json_obj_get(node, "children"));
        while (json_val *child = json_arr_iter_next(&children))
            if (json_val *found = find(name, child)) return found;
        return nullptr;
    }
    std::string text(const char *name) const {
        json_val *node = find(name);
        const char *value = node ? json_get_str(json_obj_get(node, "text")) : nullptr;
        return value ? value : "(none)";
    }
    double number(const char *name, const char *field) const {
        return json_get_num(json_obj_get(find(name), field));
    }
    bool visible(const char *name) const { return json_get_type(json_obj_get(find(name), "visible")) == JSON_TRUE; }
    std::array<int, 4> rect(const char *name) const {
        std::array<int, 4> r{};
        json_arr_iter it = json_arr_iter_init(json_obj_get(find(name), "rect"));
        for (int &v : r)
            if (json_val *n = json_arr_iter_next(&it)) v = int(json_get_num(n));
        return r;
    }
    // The labels of the tiles tile[0], tile[1], ...
    std::vector<std::string> labels() const {
        std::vector<std::string> out;
        for (int i = 0;; i++) {
            json_val *tile = find(("tile[" + std::to_string(i) + "]").c_str());
            if (!tile) return out;
            json_val *label = find("label", tile);
            out.push_back(label ? json_get_str(json_obj_get(label, "text")) : "?");
        }
    }
    // Index of the tile with the focus border.
    int focused() const {
        for (int i = 0;; i++) {
            json_val *tile = find(("tile[" + std::to_string(i) + "]").c_str());
            if (!tile) return -1;
            json_arr_iter it = json_arr_iter_init(json_obj_get(tile, "border_brush"));
            std::vector<int> color;
            while (json_val *n = json_arr_iter_next(&it)) color.push_back(int(json_get_num(n)));
            if (color == std::vector<int>{255, 0, 214, 214}) return i;
        }
    }

private:
    json_doc *doc_ = nullptr;
};

class Shot {
public:
    explicit Shot(const fs::path &path) {
        if (SDL_Surface *loaded = IMG_Load(path.c_str())) {
            surface_ = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGBA32, 0);
            SDL_FreeSurface(loaded);
        }
    }
    ~Shot() { SDL_FreeSurface(surface_); }
    Shot(const Shot &) = delete;
    Shot &operator=(const Shot &) = delete;
    bool ok() const { return surface_ != nullptr; }
    std::array<int, 3> pixel(int x, int y) const {
        const uint8_t *p = static_cast<const uint8_t *>(surface_->pixels) + y * surface_->pitch + x * 4;
        return {p[0], p[1], p[2]};
    }
    // How many distinct colours a box holds (a picture has many, a flat fill one).
    size_t colours(std::array<int, 4> box) const {
        std::vector<std::array<int, 3>> seen;
        for (int y = box[1]; y < box[1] + box[3]; y += 3)
            for (int x = box[0]; x < box[0] + box[2]; x += 3) {
                auto c = pixel(x, y);
                if (std::find(seen.begin(), seen.end(), c) == seen.end()) seen.push_back(c);
                if (seen.size() > 64) return seen.size();
            }
        return seen.size();
    }
    bool shows(std::array<int, 4> box, std::array<int, 3> color) const {
        for (int y = box[1]; y < box[1] + box[3]; y++)
            for (int x = box[0]; x < box[0] + box[2]; x++)
                if (pixel(x, y) == color) return true;
        return false;
    }

private:
    SDL_Surface *surface_ = nullptr;
};

// One installation of the player in a folder of its own: app/ with the chosen
// libraries, the bundle, icons and corpus, and the local data and temp folders.
class Installation {
public:
    Installation(const std::string &name, bool templates, bool playback) {
        root_ = fs::temp_directory_path() / ("app_run_" + std::to_string(getpid()) + "_" + name);
        fs::remove_all(root_);
        fs::create_directories(app() / "assets");
        fs::create_directories(root_ / "local");
        fs::create_directories(root_ / "temp");
        if (templates) fs::create_symlink(fs::path(OUT_DIR) / TEMPLATE_FILE, app() / TEMPLATE_FILE);
        if (playback) fs::create_symlink(fs::path(OUT_DIR) / PLAYBACK_FILE, app() / PLAYBACK_FILE);
        fs::copy_file(fs::path(OUT_DIR) / "assets/runtimetemplatebundle.txt", app() / "assets/runtimetemplatebundle.txt");
        fs::create_directory_symlink(fs::path(OUT_DIR) / "assets/icons", app() / "assets/icons");
        fs::create_directory_symlink(fs::path(OUT_DIR) / "corpus", app() / "corpus");
    }
    ~Installation() {
        if (!::testing::Test::HasFailure()) fs::remove_all(root_);
    }
    fs::path app() const { return root_ / "app"; }
    fs::path path(const std::string &name) const { return root_ / name; }
    void play_txt(const std::string &text) const { std::ofstream(root_ / "local/play.txt") << text; }
    // Later runs open the window on this X display (sound to SDL's null driver) instead of running headless.
    void use_display(const std::string &display) { display_ = display; }
    // Runs the script (lines; "@" stands for this installation's folder); the exit status.
    // The pictures come a frame per heartbeat, without sound, unless `paced`.
    int run(const std::string &script, const std::string &extra = "", bool paced = false) {
        std::string text = script;
        for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
            text.replace(at, 1, root_.string() + "/");
        std::ofstream(root_ / "script.txt") << text;
        std::string launch = display_.empty() ? std::string(APP) + " --headless"
                                              : "DISPLAY=" + display_ + " SDL_AUDIODRIVER=dummy " + APP;
        std::string command = launch + " --quiet --app-dir " + app().string() + " --temp-dir " +
                              (root_ / "temp").string() + " --local-dir " + (root_ / "local").string() +
                              " --script " + (root_ / "script.txt").string() + " " + extra +
                              (paced ? "" : " --heartbeat-present");
        int status = std::system(command.c_str());
        log_ = utf8_of_utf16le(read_file(root_ / "temp/xboxshell.log"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string &log() const { return log_; }
    bool logged(const std::string &line) const { return log_.find(line + "\r\n") != std::string::npos; }
    // Whether the lines appear in this order.
    bool logged_in_order(const std::vector<std::string> &lines) const {
        size_t at = 0;
        for (const std::string &line : lines) {
            at = log_.find(line, at);
            if (at == std::string::npos) return false;
        }
        return true;
    }

private:
    fs::path root_;
    std::string display_;
    std::string log_;
};

}  // namespace app_install
