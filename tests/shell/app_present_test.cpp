// `app` headless, on what the screen shows beyond the element table: a page
// longer than the screen scrolls to keep the focused tile in view, the focused
// tile's subtitle shows under the page, and subtitles are outlined on a shaded box.
#include <map>

#include "app_install.h"

using namespace app_install;

namespace {

constexpr std::array<int, 3> ACCENT{0, 214, 214};
constexpr int SECTIONS = 30;
// The section whose item opens a page of its own.
constexpr int FOLDER = 25;

// Thirty sections of one item each, far more than a screen holds; even items have a subtitle.
std::string long_page_bundle() {
    std::string sections;
    for (int i = 0; i < SECTIONS; i++) {
        std::string n = std::to_string(i);
        std::string item = "{\"Key\": \"Item" + n + "\", \"DisplayName\": \"Item " + n + "\"";
        if (i % 2 == 0) item += ", \"SubtitleText\": {\"Key\": \"About" + n + "\", \"DisplayName\": \"About item " + n + "\"}";
        if (i == FOLDER)
            item += ", \"Type\": \"SubPage\", \"Group\": {\"Key\": \"Inner\", \"DisplayName\": \"Inner\", \"Settings\": "
                    "[{\"Key\": \"In\", \"DisplayName\": \"In\", \"Items\": [{\"Key\": \"Leaf\", \"DisplayName\": \"Leaf\"}]}]}";
        sections += std::string(i ? ", " : "") + "{\"Key\": \"S" + n + "\", \"DisplayName\": \"Section " + n +
                    "\", \"Items\": [" + item + "}]}";
    }
    std::string page = "{\"Key\": \"Long\", \"DisplayName\": \"Long\", \"Settings\": [" + sections + "]}";
    std::string escaped;
    for (char c : page) escaped += c == '"' ? std::string("\\\"") : std::string(1, c);
    return "{\"homepage.json\": \"" + escaped + "\"}";
}

std::string keys(int code, int count) {
    std::string steps;
    for (int i = 0; i < count; i++) steps += "key " + std::to_string(code) + "\n";
    return steps;
}

struct View {
    const char *name;
    int focused;
    const char *detail;  // the line under the page
};

}  // namespace

TEST(AppPresent, TheFocusedTileOfALongPageStaysInView) {
    Installation install("long_page", true, false);
    std::ofstream(install.app() / "assets/runtimetemplatebundle.txt", std::ios::trunc) << long_page_bundle();
    // Down one, far down, up one, back to the top; then far down into a page of its own and back.
    int status = install.run("wait 200\ntree @top.json\nshot @top.png\nkey 40\ntree @one.json\n" + keys(40, 19) +
                             "tree @far.json\nshot @far.png\nkey 38\ntree @up_one.json\n" + keys(38, 20) +
                             "tree @back.json\nshot @back.png\n" + keys(40, FOLDER) +
                             "key 13\nkey 8\ntree @restored.json\nshot @restored.png\nquit\n");
    ASSERT_EQ(status, 0) << install.log();
    EXPECT_TRUE(install.logged("restore path Item" + std::to_string(FOLDER) + " -> " + std::to_string(FOLDER)))
        << install.log();
    const View views[] = {
        {"top", 0, "About item 0"}, {"one", 1, ""},           {"far", 20, "About item 20"}, {"up_one", 19, ""},
        {"back", 0, "About item 0"}, {"restored", FOLDER, ""},
    };
    std::map<std::string, double> offsets;
    for (const View &view : views) {
        SCOPED_TRACE(view.name);
        Tree tree(install.path(std::string(view.name) + ".json"));
        ASSERT_TRUE(tree.ok());
        ASSERT_EQ(tree.focused(), view.focused);
        EXPECT_EQ(tree.text("focus_subtitle"), view.detail);
        std::string tile = "tile[" + std::to_string(view.focused) + "]";
        auto viewport = tree.rect("scroll"), shown = tree.rect(tile.c_str());
        EXPECT_GE(shown[1], viewport[1]);
        EXPECT_LE(shown[1] + shown[3], viewport[1] + viewport[3]);
        // The line under the page sits between the page and the status line.
        auto line = tree.rect("focus_subtitle");
        EXPECT_GE(line[1], viewport[1] + viewport[3]);
        EXPECT_LE(line[1] + line[3], tree.rect("status")[1]);
        offsets[view.name] = tree.number("scroll", "offset");
    }
    // Scrolled only when the focus left the screen, and as little as that needed.
    EXPECT_EQ(offsets["top"], 0);
    EXPECT_EQ(offsets["one"], 0);
    EXPECT_GT(offsets["far"], 0);
    EXPECT_EQ(offsets["up_one"], offsets["far"]);
    EXPECT_EQ(offsets["back"], 0);
    EXPECT_GT(offsets["restored"], 0);

    // The screen shows the focus border where the tree has the focused tile, and the scrolled-away
    // content is cut at the page's top edge.
    for (const View &view : views) {
        if (!fs::exists(install.path(std::string(view.name) + ".png"))) continue;
        SCOPED_TRACE(view.name);
        Tree tree(install.path(std::string(view.name) + ".json"));
        Shot shot(install.path(std::string(view.name) + ".png"));
        ASSERT_TRUE(shot.ok());
        auto tile = tree.rect(("tile[" + std::to_string(view.focused) + "]").c_str());
        EXPECT_EQ(shot.pixel(tile[0] + 1, tile[1] + tile[3] / 2), ACCENT);
        EXPECT_EQ(shot.pixel(tile[0] + tile[2] - 2, tile[1] + tile[3] / 2), ACCENT);
        auto viewport = tree.rect("scroll");
        auto header = tree.rect("header");
        int gap = header[1] + header[3] + 1;
        std::array<int, 4> above{viewport[0], gap, viewport[2], viewport[1] - gap};
        EXPECT_EQ(shot.colours(above), 1u);
    }
}

TEST(AppPresent, SubtitlesAreOutlinedOnAShadedBox) {
    // The stand-in engine's frames are a flat grey.
    Installation install("caption", true, false);
    fs::create_symlink(fs::path(BINDING_LIBRARIES) / "stub_playback" / PLAYBACK_FILE, install.app() / PLAYBACK_FILE);
    std::ofstream(install.path("caption.stub")) << "frames 500\nframe_ticks 400000\nsize 64 36\nsubtitle subrip\n"
                                                   "cue 0 200000000 Outlined line\n";
    install.play_txt(install.path("caption.stub").string() + "\n");
    // Frames reach the screen on the heartbeat.
    ASSERT_EQ(install.run("beats 3\ntree @caption.json\nshot @caption.png\nquit\n"), 0) << install.log();
    Tree tree(install.path("caption.json"));
    ASSERT_TRUE(tree.ok());
    ASSERT_EQ(tree.text("subtitle"), "Outlined line");
    Shot shot(install.path("caption.png"));
    ASSERT_TRUE(shot.ok());
    auto text = tree.rect("subtitle");
    int middle = text[1] + text[3] / 2;
    auto video = shot.pixel(text[0] - 60, middle);
    ASSERT_GT(video[0], 100);  // the picture beside the caption
    // Inside the box's padding: the picture darkened, not hidden.
    auto shaded = shot.pixel(text[0] - 8, middle);
    for (int c = 0; c < 3; c++) {
        EXPECT_LT(shaded[c], video[c] * 3 / 4);
        EXPECT_GT(shaded[c], video[c] / 5);
    }
    EXPECT_EQ(shot.pixel(text[0] - 8, text[1] + text[3] + 12), video);  // below the box
    // White glyphs in black rings: left of (nearly) every glyph edge in a row, a few pixels off, lies
    // black, far darker than the box's shade.
    int white = 0, ringed = 0;
    for (int y = text[1]; y < text[1] + text[3]; y++)
        for (int x = text[0]; x < text[0] + text[2]; x++) {
            if (shot.pixel(x, y) != std::array<int, 3>{255, 255, 255}) continue;
            if (shot.pixel(x - 1, y) == std::array<int, 3>{255, 255, 255}) continue;  // a glyph's left edge only
            white++;
            for (int d = 1; d <= 5; d++) {
                auto p = shot.pixel(x - d, y);
                if (p[0] < 24 && p[1] < 24 && p[2] < 24) {
                    ringed++;
                    break;
                }
            }
        }
    EXPECT_GT(white, 20);
    EXPECT_GE(ringed * 20, white * 19) << ringed << " of " << white;
}
