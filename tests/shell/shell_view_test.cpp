// ShellApp and ShellView on a fake platform: start-up log, the chrome as laid
// out in a 1920 x 1080 window, the status line, keys and unhandled exceptions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "app/shell_app.h"
#include "core/shell_log.h"
#include "core/text.h"
#include "fake_measurer.h"
#include "fake_platform.h"
#include "ui/elements.h"

using namespace shell;
using namespace shell::ui;
namespace fs = std::filesystem;

namespace {

// Each test reads the log lines it added.
class ShellViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_set_echo({});
        log_set_directory(fs::temp_directory_path().string());
        logged_before_ = log_text().size();
        directory_ = fs::temp_directory_path() / ("shell_view_test_" + std::to_string(getpid()) + "_" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }

    std::string new_log() const { return utf16_to_utf8(log_text().substr(logged_before_)); }
    // The real template library alone in the test's directory.
    std::string stage_template_library() {
        fs::create_symlink(TEMPLATE_LIBRARY, directory_ / (std::string(OPTPL_LIBRARY) + ".so"));
        return directory_.string();
    }

    FakePlatform platform_;
    fs::path directory_;
    size_t logged_before_ = 0;
};

}  // namespace

TEST_F(ShellViewTest, SetupLogsEachStepInOrder) {
    std::string dir = stage_template_library();
    platform_.executable = dir + "/app";
    ShellApp app(platform_, "");
    app.OnLaunched();
    std::string expected =
        "=== ORVELLO PLAYER 2027 / Xbox shell ===\r\n"
        "key handler installed on the CoreWindow\r\n"
        "chrome built: 0x0 logical\r\n"
        "engines loaded 1/3 from " +
        dir +
        "\n"
        "optpl  " +
        dir +
        "/orvellox-orvelloplayer-template-parse.so  0 exports missing\n"
        "oppb   " +
        dir +
        "/orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so  LOAD FAILED err=2\n"
        "oprc   " +
        dir +
        "/orvellox-orvelloplayer-remote-control-protocol.so  LOAD FAILED err=2\n"
        "\r\n"
        "optpl_version -> 1.1.1\r\n"
        "load_bundle_file(" +
        dir +
        "/assets/runtimetemplatebundle.txt) -> 1\r\n"
        "status: bundled templates not loadable (1/3 engines)\r\n"
        "LocalFolder -> /local\r\n"
        "play.txt: none (0x80070002)\r\n"
        "UI heartbeat started\r\n"
        "setup complete \xE2\x80\x94 returning to the XAML message loop\r\n";
    EXPECT_EQ(new_log(), expected);
    auto view = app.view();
    EXPECT_EQ(view->engines_loaded(), 1);
    EXPECT_EQ(utf16_to_utf8(view->app_dir()), dir);
    // The root grid read 0 x 0: the model fell back to the console's size.
    EXPECT_EQ(view->model().width, 1920);
    EXPECT_EQ(view->model().height, 1080);
    EXPECT_EQ(view->model().safe_inset, 5);
    EXPECT_EQ(view->bindings().optpl_tv_rows(), 4);
    EXPECT_EQ(platform_.content, view->root());
}

TEST_F(ShellViewTest, WithoutAWindowThereIsNoKeyHandlerLine) {
    platform_.has_window = false;
    platform_.executable = directory_.string() + "/app";
    ShellApp app(platform_, "");
    app.OnLaunched();
    std::string log = new_log();
    EXPECT_EQ(log.find("key handler"), std::string::npos);
    EXPECT_NE(log.find("engines loaded 0/3 from " + directory_.string() + "\n"), std::string::npos);
    EXPECT_EQ(log.find("optpl_version"), std::string::npos);
}

TEST_F(ShellViewTest, AppDirectoryOptionReplacesTheProgramsOwn) {
    std::string dir = stage_template_library();
    ShellApp app(platform_, dir + "/");
    app.OnLaunched();
    EXPECT_EQ(utf16_to_utf8(app.view()->app_dir()), dir);
    EXPECT_EQ(app.view()->engines_loaded(), 1);
}

TEST_F(ShellViewTest, ChromeMatchesTheElementTable) {
    ShellApp app(platform_, directory_.string());
    app.OnLaunched();
    Element &root = *platform_.content;
    FakeMeasurer measurer;
    Layout(root, {1920, 1080}, measurer);
    auto find = [&](const char *name) -> Element & {
        Element *element = FindByName(root, name);
        EXPECT_NE(element, nullptr) << name;
        return *element;
    };
    // Text is half its font size wide per character and 1.25 font sizes high:
    // the header row is 42.5 high (the page title's line), the status row 22.5 + 26.
    struct Expected {
        const char *name;
        std::string_view kind;
        Rect rect;
        bool visible;
    } table[] = {
        {"root", "Grid", {0, 0, 1920, 1080}, true},
        {"header", "Grid", {48, 28, 1824, 42.5f}, true},
        {"title", "TextBlock", {48, 36.75f, 140, 25}, true},
        {"page_title", "TextBlock", {212, 28, 1636, 42.5f}, true},
        {"playing", "TextBlock", {1872, 36.75f, 0, 25}, true},
        {"body", "Grid", {0, 78.5f, 1920, 953}, true},
        {"scroll", "ScrollViewer", {0, 78.5f, 1920, 953}, true},
        {"page_panel", "StackPanel", {64, 94.5f, 1792, 921}, true},
        {"video", "Border", {0, 78.5f, 0, 0}, false},
        {"overlay", "Canvas", {0, 78.5f, 1920, 953}, true},
        {"status", "TextBlock", {64, 1035.5f, 1792, 22.5f}, true},
    };
    for (const Expected &e : table) {
        Element &element = find(e.name);
        EXPECT_EQ(element.Kind(), e.kind) << e.name;
        EXPECT_EQ(element.bounds(), e.rect) << e.name;
        EXPECT_EQ(element.visible(), e.visible) << e.name;
    }
    struct Text {
        const char *name;
        std::u16string text;
        float size;
        Color foreground;
    } texts[] = {
        {"title", u"ORVELLO PLAYER", 20, {255, 0, 214, 214}}, {"page_title", u"", 34, {255, 244, 246, 250}},
        {"playing", u"", 20, {255, 150, 160, 175}},           {"subtitle", u"", 40, {255, 255, 255, 255}},
        {"status", u"bundled templates not loadable (0/3 engines)", 18, {255, 150, 160, 175}},
    };
    for (const Text &t : texts) {
        auto &block = dynamic_cast<TextBlock &>(find(t.name));
        EXPECT_EQ(block.text, t.text) << t.name;
        EXPECT_EQ(block.font_size, t.size) << t.name;
        EXPECT_EQ(block.foreground, t.foreground) << t.name;
    }
    EXPECT_EQ(dynamic_cast<TextBlock &>(find("title")).font_weight, FontWeight::SemiBold);
    EXPECT_EQ(dynamic_cast<Grid &>(root).background, (Color{255, 12, 14, 18}));
    EXPECT_EQ(dynamic_cast<Border &>(find("video")).background, (Color{255, 0, 0, 0}));
    EXPECT_FALSE(find("overlay").hit_test_visible);
    // The body's children in order: scroll viewer, video border, overlay canvas.
    auto body = find("body").children();
    ASSERT_EQ(body.size(), 3u);
    EXPECT_EQ(body[0]->name, "scroll");
    EXPECT_EQ(body[1]->name, "video");
    EXPECT_EQ(body[2]->name, "overlay");
    // The video border's grid: the image, then the subtitle.
    auto video = find("video").children()[0]->children();
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0]->name, "video_image");
    EXPECT_EQ(video[1]->name, "subtitle");
    // Shown, the subtitle sits centred at the bottom of the video area.
    find("video").visibility = Visibility::Visible;
    dynamic_cast<TextBlock &>(find("subtitle")).text = u"Hello";
    Layout(root, {1920, 1080}, measurer);
    EXPECT_EQ(find("subtitle").bounds(), (Rect{910, 78.5f + 953 - 60 - 50, 100, 50}));
}

TEST_F(ShellViewTest, SetStatusShowsStoresAndLogs) {
    ShellApp app(platform_, directory_.string());
    app.OnLaunched();
    auto view = app.view();
    logged_before_ = log_text().size();
    view->SetStatus(u"bundled templates not loadable (%d/3 engines)", 2);
    auto &status = dynamic_cast<TextBlock &>(*FindByName(*view->root(), "status"));
    EXPECT_EQ(status.text, u"bundled templates not loadable (2/3 engines)");
    EXPECT_STREQ(view->model().status, "bundled templates not loadable (2/3 engines)");
    EXPECT_EQ(new_log(), "status: bundled templates not loadable (2/3 engines)\r\n");

    // Cut at 1,023 units, never inside a character.
    view->SetStatus(u"%s", std::u16string(1022, u'x') + u"\U0001F3AC");
    EXPECT_EQ(status.text, std::u16string(1022, u'x'));
    EXPECT_EQ(std::string(view->model().status), std::string(1022, 'x'));
}

TEST_F(ShellViewTest, KeysGoThroughTheKeyMap) {
    std::string dir = stage_template_library();
    ShellApp app(platform_, dir);
    app.OnLaunched();
    logged_before_ = log_text().size();
    ASSERT_TRUE(platform_.key_handler);
    EXPECT_TRUE(platform_.key_handler(40));   // Down
    EXPECT_TRUE(platform_.key_handler(195));  // GamepadA
    EXPECT_FALSE(platform_.key_handler(65));  // A: no action
    EXPECT_EQ(new_log(),
              "key 40 -> action nav_down -> rc=1 focus=-1\r\n"
              "key 195 -> action confirm -> rc=1 focus=-1\r\n"
              "key 65 -> no action\r\n");
}

TEST_F(ShellViewTest, KeysWithoutTheLibraryHaveNoAction) {
    ShellApp app(platform_, directory_.string());
    app.OnLaunched();
    logged_before_ = log_text().size();
    EXPECT_FALSE(platform_.key_handler(40));
    EXPECT_EQ(new_log(), "key 40 -> no action\r\n");
}

TEST_F(ShellViewTest, UnhandledExceptionsAreLoggedWithTheirCode) {
    ShellApp app(platform_, directory_.string());
    ASSERT_TRUE(platform_.unhandled);
    platform_.unhandled(0x80070005, u"access denied");
    platform_.unhandled(0x80004005, u"");
    EXPECT_EQ(new_log(), "UNHANDLED 0x80070005 access denied\r\nUNHANDLED 0x80004005 \r\n");
}
