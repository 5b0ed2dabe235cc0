// `app` end to end, headless: a scripted run's screenshot, element tree and log.
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "json.h"
#include "run_files.h"

namespace fs = std::filesystem;

namespace {

struct Box {
    int x, y, w, h;
};

// One scripted run of `app` in a folder of its own, with only the template
// library next to it.
class HeadlessRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("app_headless_test_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "app" / "assets");
        fs::create_directories(dir_ / "temp");
        fs::create_directories(dir_ / "local");
        fs::create_symlink(TEMPLATE_LIBRARY, dir_ / "app" / "orvellox-orvelloplayer-template-parse.so");
        std::ofstream(dir_ / "script.txt") << "wait 200\n"
                                              "shot "
                                           << (dir_ / "shot.png").string()
                                           << "\n"
                                              "tree "
                                           << (dir_ / "tree.json").string()
                                           << "\n"
                                              "key 40\n"
                                              "pad a\n"
                                              "key 65\n"
                                              "quit\n";
        std::string command = std::string(APP) + " --headless --quiet --app-dir " + (dir_ / "app").string() +
                              " --temp-dir " + (dir_ / "temp").string() + " --local-dir " + (dir_ / "local").string() +
                              " --script " + (dir_ / "script.txt").string();
        exit_status_ = std::system(command.c_str());
        std::string tree = read_file(dir_ / "tree.json");
        tree_ = json_read(tree.data(), tree.size(), 0, nullptr, nullptr);
        SDL_Surface *loaded = IMG_Load((dir_ / "shot.png").c_str());
        if (loaded) {
            shot_ = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGBA32, 0);
            SDL_FreeSurface(loaded);
        }
        log_ = read_file(dir_ / "temp" / "xboxshell.log");
    }
    static void TearDownTestSuite() {
        json_doc_free(tree_);
        SDL_FreeSurface(shot_);
        fs::remove_all(dir_);
    }

    static json_val *element(const char *name, json_val *node = nullptr) {
        if (!node) node = json_doc_root(tree_);
        if (json_equals_str(json_obj_get(node, "name"), name, strlen(name))) return node;
        json_arr_iter children = json_arr_iter_init(json_obj_get(node, "children"));
        while (json_val *child = json_arr_iter_next(&children))
            if (json_val *found = element(name, child)) return found;
        return nullptr;
    }
    static std::vector<double> numbers(json_val *array) {
        std::vector<double> out;
        json_arr_iter it = json_arr_iter_init(array);
        while (json_val *v = json_arr_iter_next(&it)) out.push_back(json_get_num(v));
        return out;
    }
    static Box rect(const char *name) {
        std::vector<double> r = numbers(json_obj_get(element(name), "rect"));
        return {int(r[0]), int(r[1]), int(r[2]), int(r[3])};
    }
    static std::array<int, 3> pixel(int x, int y) {
        const uint8_t *p = static_cast<const uint8_t *>(shot_->pixels) + y * shot_->pitch + x * 4;
        return {p[0], p[1], p[2]};
    }
    // Whether some pixel of the box has exactly this colour (the text's full-coverage strokes).
    static bool box_shows(Box b, std::array<int, 3> color) {
        for (int y = b.y; y < b.y + b.h; y++)
            for (int x = b.x; x < b.x + b.w; x++)
                if (pixel(x, y) == color) return true;
        return false;
    }

    static inline fs::path dir_;
    static inline int exit_status_ = -1;
    static inline json_doc *tree_ = nullptr;
    static inline SDL_Surface *shot_ = nullptr;
    static inline std::string log_;
};

}  // namespace

TEST_F(HeadlessRun, EndsCleanly) { EXPECT_EQ(exit_status_, 0); }

TEST_F(HeadlessRun, TreeHasTheChromeInPlace) {
    ASSERT_NE(tree_, nullptr);
    for (const char *name : {"root", "header", "title", "page_title", "playing", "body", "scroll", "page_panel",
                             "video", "video_image", "subtitle", "overlay", "status"})
        EXPECT_NE(element(name), nullptr) << name;
    Box root = rect("root"), header = rect("header"), title = rect("title"), body = rect("body"),
        status = rect("status"), panel = rect("page_panel");
    EXPECT_EQ(std::vector<int>({root.x, root.y, root.w, root.h}), std::vector<int>({0, 0, 1920, 1080}));
    EXPECT_EQ(header.x, 48);
    EXPECT_EQ(header.y, 28);
    EXPECT_EQ(header.w, 1920 - 96);
    EXPECT_EQ(title.x, 48);
    EXPECT_GT(title.w, 0);
    EXPECT_EQ(body.y, header.y + header.h + 8);
    EXPECT_EQ(status.x, 64);
    EXPECT_EQ(status.w, 1920 - 128);
    EXPECT_EQ(status.y + status.h, 1080 - 22);
    EXPECT_EQ(body.y + body.h, status.y - 4);
    EXPECT_EQ(panel.x, 64);
    EXPECT_EQ(panel.y, body.y + 16);
    EXPECT_EQ(json_get_type(json_obj_get(element("video"), "visible")), JSON_FALSE);
    EXPECT_EQ(numbers(json_obj_get(element("root"), "background")), (std::vector<double>{255, 12, 14, 18}));
    EXPECT_EQ(numbers(json_obj_get(element("title"), "foreground")), (std::vector<double>{255, 0, 214, 214}));
    EXPECT_STREQ(json_get_str(json_obj_get(element("title"), "text")), "ORVELLO PLAYER");
    EXPECT_STREQ(json_get_str(json_obj_get(element("status"), "text")), "bundled templates not loadable (1/3 engines)");
    EXPECT_EQ(numbers(json_obj_get(element("status"), "foreground")), (std::vector<double>{255, 150, 160, 175}));
}

TEST_F(HeadlessRun, ScreenshotShowsTheChromeWhereTheTreeSaysItIs) {
    ASSERT_NE(shot_, nullptr);
    ASSERT_NE(tree_, nullptr);
    ASSERT_EQ(shot_->w, 1920);
    ASSERT_EQ(shot_->h, 1080);
    Box title = rect("title"), status = rect("status"), body = rect("body");
    EXPECT_TRUE(box_shows(title, {0, 214, 214}));
    EXPECT_TRUE(box_shows(status, {150, 160, 175}));
    // Empty places are the window background: the body, and beside the texts.
    std::array<int, 3> background{12, 14, 18};
    EXPECT_EQ(pixel(body.x + body.w / 2, body.y + body.h / 2), background);
    EXPECT_EQ(pixel(title.x + title.w + 20, title.y + title.h / 2), background);
    EXPECT_EQ(pixel(status.x + status.w - 1, status.y + status.h / 2), background);
    EXPECT_EQ(pixel(0, 0), background);
    EXPECT_EQ(pixel(1919, 1079), background);
    // The text does not leak outside its box.
    EXPECT_FALSE(box_shows({title.x, title.y + title.h + 2, title.w, 20}, {0, 214, 214}));
}

TEST_F(HeadlessRun, LogFileHasTheStartUpAndTheKeys) {
    ASSERT_FALSE(log_.empty());
    ASSERT_EQ(log_.size() % 2, 0u);
    EXPECT_EQ(log_.substr(log_.size() - 4), std::string("\r\0\n\0", 4));  // UTF-16LE, CR LF
    std::string text = utf8_of_utf16le(log_);
    std::string app_dir = (dir_ / "app").string();
    for (std::string line : {
             std::string("=== ORVELLO PLAYER 2027 / Xbox shell ===\r\n"),
             std::string("chrome built: 0x0 logical\r\n"),
             "engines loaded 1/3 from " + app_dir + "\n",
             "optpl  " + app_dir + "/orvellox-orvelloplayer-template-parse.so  0 exports missing\n",
             "oppb   " + app_dir +
                 "/orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so  LOAD FAILED err=2\n",
             "oprc   " + app_dir + "/orvellox-orvelloplayer-remote-control-protocol.so  LOAD FAILED err=2\n",
             std::string("optpl_version -> 1.1.1\r\n"),
             std::string("key 40 -> action nav_down -> rc=1 focus=-1\r\n"),
             std::string("key 195 -> action confirm -> rc=1 focus=-1\r\n"),
             std::string("key 65 -> no action\r\n"),
         })
        EXPECT_NE(text.find(line), std::string::npos) << line;
}
