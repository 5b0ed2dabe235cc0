// ShellView with the real template library and a stand-in playback engine:
// the first page and its tiles, keys and taps through pages, the play target,
// and playback: the pump, cues, frames on the heartbeat, and its failures.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <thread>

#include "app/shell_app.h"
#include "core/shell_log.h"
#include "core/text.h"
#include "fake_audio_output.h"
#include "fake_measurer.h"
#include "fake_platform.h"
#include "ui/elements.h"

using namespace shell;
using namespace shell::ui;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + '"';
}

// A page with three sections; the folder item opens a page of two leaves.
const char *HOME = R"({
  "Key": "Home", "DisplayName": "Home", "UseGrid": "True",
  "Settings": [
    {"Key": "Alpha", "DisplayName": "Alpha", "Items": [
      {"Key": "Folder", "DisplayName": "Folder", "Type": "SubPage",
       "Extension": {"UWP": {"Icon": "/icons/folder.png", "DefaultFocus": "True"}},
       "Group": {"Key": "Folder", "DisplayName": "Folder", "Settings": [
         {"Key": "Inside", "DisplayName": "Inside", "Items": [
           {"Key": "Clip", "DisplayName": "Clip", "AdvanceMenu": {"Url": "open:media/clip.stub"}},
           {"Key": "Absent", "DisplayName": "Absent", "AdvanceMenu": {"Url": "open:/nowhere/absent.stub"}}
         ]}
       ]}},
      {"Key": "Plain", "DisplayName": "Plain",
       "SubtitleText": {"Key": "PlainInfo", "DisplayName": "No url here"},
       "Extension": {"UWP": {"Icon": "/../outside.png"}}}
    ]},
    {"Key": "Beta", "DisplayName": "Beta", "Items": [
      {"Key": "Web", "DisplayName": "Web", "Extension": {"UWP": {"Icon": "ms-appx:///Assets/web.png"}}}
    ]},
    {"Key": "Alpha", "DisplayName": "Alpha again", "Items": [
      {"Key": "Last", "DisplayName": "Last", "Type": "NativeHandlerAction", "DefaultValue": "42"}
    ]}
  ]
})";

class ShellSession : public ::testing::Test {
protected:
    void SetUp() override {
        log_set_echo({});
        log_set_directory(fs::temp_directory_path().string());
        dir_ = fs::temp_directory_path() / ("shell_session_test_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        for (const char *sub : {"app/assets/icons", "app/corpus", "app/media", "local"})
            fs::create_directories(dir_ / sub);
        std::ofstream(dir_ / "app/assets/icons/folder.png") << "png";
        platform_.local_folder = (dir_ / "local").string();
    }
    void TearDown() override {
        if (app_) app_->OnExiting();
        fs::remove_all(dir_);
    }

    fs::path app_dir() const { return dir_ / "app"; }
    void stage_templates(const std::string &name = "homepage.json", const std::string &json = HOME) {
        fs::create_symlink(TEMPLATE_LIBRARY, app_dir() / "orvellox-orvelloplayer-template-parse.so");
        std::ofstream(app_dir() / "assets/runtimetemplatebundle.txt") << "{" << json_string(name) << ": "
                                                                        << json_string(json) << "}";
    }
    void stage_playback() {
        fs::create_symlink(fs::path(BINDING_LIBRARIES) / "stub_playback" /
                               "orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so",
                           app_dir() / "orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so");
    }
    // A stand-in media file (see testlib_playback.cpp).
    fs::path media(const std::string &name, const std::string &description) {
        fs::path path = app_dir() / "media" / name;
        std::ofstream(path) << description;
        return path;
    }
    // The pictures a frame per heartbeat unless the test asks for paced ones.
    ShellView &launch(Presentation presentation = Presentation::Heartbeat) {
        app_ = std::make_unique<ShellApp>(platform_, app_dir().string(), presentation);
        logged_before_ = log_text().size();
        app_->OnLaunched();
        return *app_->view();
    }
    std::string new_log() {
        std::string text = utf16_to_utf8(log_text().substr(logged_before_));
        logged_before_ = log_text().size();
        return text;
    }
    bool logged(const std::string &log, const std::string &line) { return log.find(line + "\r\n") != std::string::npos; }
    std::u16string status() { return text_of("status"); }
    std::u16string text_of(const char *name) {
        return dynamic_cast<TextBlock &>(*FindByName(*app_->view()->root(), name)).text;
    }
    Element &element(const char *name) { return *FindByName(*app_->view()->root(), name); }
    // Labels of the tiles, in order.
    std::vector<std::u16string> labels() {
        std::vector<std::u16string> out;
        for (auto &tile : app_->view()->tiles())
            out.push_back(dynamic_cast<TextBlock &>(*FindByName(*tile, "label")).text);
        return out;
    }
    int focused_tile() {
        const auto &tiles = app_->view()->tiles();
        for (size_t i = 0; i < tiles.size(); i++)
            if (tiles[i]->border_brush == Color{255, 0, 214, 214}) return int(i);
        return -1;
    }
    bool key(int code) { return platform_.key_handler(code); }
    // Waits for the pump to pass `pts` ticks by a frame of 0.04 s (or end), so that the
    // frame at `pts` has had its cues pulled.
    void wait_for_position(int64_t pts) {
        for (int i = 0; i < 1000 && app_->view()->playing() && app_->view()->position() < pts + 400'000; i++)
            std::this_thread::sleep_for(5ms);
    }

    // Waits (up to ten seconds) for `condition`; whether it came.
    template <class Condition>
    bool wait_for(Condition condition) {
        for (int i = 0; i < 2000; i++) {
            if (condition()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return condition();
    }
    // Display ticks every few milliseconds, the sound played as soon as it is
    // queued, until the pump has ended.
    void play_out(FakeAudioOutput::State *output) {
        wait_for([&] {
            if (output) output->Play(output->queued_bytes());
            platform_.display_tick();
            return !app_->view()->playing();
        });
        app_->view()->WaitForPump();
    }
    size_t occurrences(const std::string &log, const std::string &line) {
        size_t count = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) count++;
        return count;
    }

    FakePlatform platform_;
    fs::path dir_;
    std::unique_ptr<ShellApp> app_;
    size_t logged_before_ = 0;
};

}  // namespace

TEST_F(ShellSession, FirstPageGroupsTilesBySectionWithIconsAndFocus) {
    stage_templates();
    ShellView &view = launch();
    std::string log = new_log();
    // Neither settings.json nor dynamictemplates.json is in the bundle: homepage.json is the first page.
    EXPECT_NE(log.find("focus_build(homepage.json,) -> 4 nodes, default=0 cols="), std::string::npos) << log;
    EXPECT_TRUE(logged(log, "  node[1] type= text=Plain display=Plain key=Plain sub=No url here")) << log;
    EXPECT_EQ(view.page_template(), "homepage.json");
    EXPECT_EQ(text_of("page_title"), u"homepage.json");
    EXPECT_EQ(labels(), (std::vector<std::u16string>{u"Folder", u"Plain", u"Web", u"Last"}));
    // Header Alpha, a row of two, header Beta, a row of one, and Alpha again after Beta.
    auto panel = element("page_panel").children();
    std::vector<std::string> shape;
    for (auto &child : panel)
        shape.push_back(child->name == "section"
                            ? "header " + utf16_to_utf8(dynamic_cast<TextBlock &>(*child).text)
                            : "row of " + std::to_string(child->children().size()));
    EXPECT_EQ(shape, (std::vector<std::string>{"header Alpha", "row of 2", "header Beta", "row of 1", "header Alpha",
                                               "row of 1"}));
    // A packaged icon has its picture; one outside the assets has none; a non-path icon no image at all.
    const auto &tiles = view.tiles();
    auto *folder_icon = dynamic_cast<Image *>(FindByName(*tiles[0], "icon"));
    ASSERT_NE(folder_icon, nullptr);
    EXPECT_NE(folder_icon->source, nullptr);
    EXPECT_EQ(folder_icon->width, 40);
    auto *outside_icon = dynamic_cast<Image *>(FindByName(*tiles[1], "icon"));
    ASSERT_NE(outside_icon, nullptr);
    EXPECT_EQ(outside_icon->source, nullptr);
    EXPECT_EQ(FindByName(*tiles[2], "icon"), nullptr);
    EXPECT_NE(FindByName(*tiles[1], "detail"), nullptr);
    EXPECT_EQ(FindByName(*tiles[0], "detail"), nullptr);
    EXPECT_EQ(focused_tile(), 0);
    EXPECT_EQ(tiles[0]->background, (Color{255, 34, 62, 74}));
    EXPECT_EQ(tiles[1]->background, (Color{255, 22, 32, 44}));
    EXPECT_EQ(status(), u"4 nodes   focus 0   Folder");
}

TEST_F(ShellSession, KeysEnterAndLeavePagesAndTheHistoryFollows) {
    stage_templates();
    ShellView &view = launch();
    new_log();
    EXPECT_TRUE(key(39));  // right
    EXPECT_EQ(focused_tile(), 1);
    EXPECT_EQ(status(), u"4 nodes   focus 1   Plain");
    EXPECT_TRUE(key(37));  // left
    EXPECT_TRUE(key(13));  // confirm on the folder: the library enters its page
    std::string log = new_log();
    EXPECT_TRUE(logged(log, "key 13 -> action confirm -> rc=0 focus=0")) << log;
    EXPECT_TRUE(logged(log, "focus_build(homepage.json,Folder) -> 2 nodes, default=0 cols=1 rows=4")) << log;
    EXPECT_EQ(labels(), (std::vector<std::u16string>{u"Clip", u"Absent"}));
    EXPECT_EQ(view.model().history_depth, 1);
    EXPECT_STREQ(view.model().history[0].focus_path, "Folder");
    EXPECT_TRUE(key(8));  // back: the first page again, focus on the folder
    log = new_log();
    EXPECT_TRUE(logged(log, "restore path Folder -> 0")) << log;
    EXPECT_EQ(labels(), (std::vector<std::u16string>{u"Folder", u"Plain", u"Web", u"Last"}));
    EXPECT_EQ(focused_tile(), 0);
    EXPECT_EQ(view.model().history_depth, 0);
    EXPECT_TRUE(key(8));
    EXPECT_EQ(status(), u"at root");
    // Home from inside leaves every page at once.
    key(13);
    EXPECT_EQ(labels().size(), 2u);
    EXPECT_TRUE(key(172));
    EXPECT_EQ(labels().size(), 4u);
    EXPECT_EQ(view.model().history_depth, 0);
    // A leaf without a url shows its path; the handler's leading number is logged.
    key(40);
    key(40);
    new_log();
    key(13);
    log = new_log();
    EXPECT_TRUE(logged(log, "confirm leaf path=Last url= handler=42")) << log;
    EXPECT_EQ(status(), u"Last");
}

TEST_F(ShellSession, TapsFocusConfirmAndEnter) {
    stage_templates();
    ShellView &view = launch();
    new_log();
    view.OnTileTapped(1);
    std::string log = new_log();
    EXPECT_TRUE(logged(log, "tap focus=1 apply(confirm)=2")) << log;
    EXPECT_EQ(status(), u"confirmed: Plain");
    EXPECT_EQ(focused_tile(), 1);
    view.OnTileTapped(0);  // the folder's page is shown
    EXPECT_EQ(labels(), (std::vector<std::u16string>{u"Clip", u"Absent"}));
    // The tile's own tap handler reaches the view.
    view.tiles()[0]->tapped();
    EXPECT_EQ(status(), u"confirmed: Clip");
}

TEST_F(ShellSession, TheFocusedTileOfALongPageIsScrolledIntoViewWithItsSubtitleUnderThePage) {
    // Thirty sections of one item each, far taller than the window; odd items have a subtitle.
    std::string sections;
    for (int i = 0; i < 30; i++) {
        std::string n = std::to_string(i);
        std::string subtitle = i % 2 ? R"(, "SubtitleText": {"Key": "About)" + n + R"(", "DisplayName": "About )" + n + "\"}" : "";
        sections += std::string(i ? ", " : "") + R"({"Key": "S)" + n + R"(", "DisplayName": "S)" + n +
                    R"(", "Items": [{"Key": "Item)" + n + R"(", "DisplayName": "Item )" + n + "\"" + subtitle + "}]}";
    }
    stage_templates("homepage.json", R"({"Key": "Long", "DisplayName": "Long", "Settings": [)" + sections + "]}");
    ShellView &view = launch();
    ASSERT_EQ(view.tiles().size(), 30u);
    FakeMeasurer measurer;
    auto &scroll = dynamic_cast<ScrollViewer &>(element("scroll"));
    auto in_view = [&](const Element &shown) {
        return shown.bounds().y >= scroll.bounds().y && shown.bounds().bottom() <= scroll.bounds().bottom();
    };
    Layout(*view.root(), {1920, 1080}, measurer);
    EXPECT_EQ(scroll.vertical_offset(), 0);
    EXPECT_TRUE(element("focus_subtitle").visible());
    EXPECT_EQ(text_of("focus_subtitle"), u"");
    // The focus far down, by a tap (called directly: the screen does not show the tile yet).
    view.OnTileTapped(25);
    Layout(*view.root(), {1920, 1080}, measurer);
    EXPECT_GT(scroll.vertical_offset(), 0);
    EXPECT_TRUE(in_view(*view.tiles()[25]));
    EXPECT_TRUE(in_view(*element("page_panel").children()[2 * 25]));  // its section header
    EXPECT_EQ(text_of("focus_subtitle"), u"About 25");
    // Home: back to the top.
    EXPECT_TRUE(key(36));
    Layout(*view.root(), {1920, 1080}, measurer);
    EXPECT_EQ(focused_tile(), 0);
    EXPECT_EQ(scroll.vertical_offset(), 0);
    EXPECT_EQ(text_of("focus_subtitle"), u"");
}

TEST_F(ShellSession, OpenItemsNeedThePlaybackEngine) {
    stage_templates();
    launch();
    key(13);
    key(13);  // "open:media/clip.stub", but there is no playback engine
    EXPECT_EQ(status(), u"Clip");
    EXPECT_FALSE(app_->view()->media_open());
}

TEST_F(ShellSession, AnOpenItemPlaysItsFileWithFramesAndSubtitles) {
    stage_templates();
    stage_playback();
    media("clip.stub",
          "frames 25\nframe_ticks 400000\nsize 32 16\naudio 2\nsubtitle subrip\n"
          "cue 0 2000000 First line\ncue 4000000 2000000 Second line\n");
    ShellView &view = launch();
    key(13);
    new_log();
    size_t play_mark = log_text().size();
    key(13);  // plays <app dir>/media/clip.stub
    std::string log = new_log();
    std::string path = (app_dir() / "media/clip.stub").string();
    EXPECT_TRUE(logged(log, "PlayPath " + path)) << log;
    // The first audio stream by file order is selected, since the engine prefers the last.
    EXPECT_TRUE(logged(log, "select_stream(audio,1) -> 1")) << log;
    EXPECT_TRUE(logged(log, "sub: select_stream(subtitle,3) -> 3")) << log;
    EXPECT_TRUE(logged(log, "opened: dur=10000000 v=1 a=2 sub=1")) << log;
    EXPECT_TRUE(logged(log, "  sub[0] subrip eng")) << log;
    EXPECT_EQ(status(), u"playing " + utf8_to_utf16(path));
    EXPECT_TRUE(element("video").visible());
    wait_for_position(400'000);
    platform_.RunPosted();
    EXPECT_EQ(text_of("subtitle"), u"First line");
    view.OnHeartbeat();
    auto &image = dynamic_cast<Image &>(element("video_image"));
    ASSERT_NE(image.source, nullptr);
    EXPECT_EQ(image.source->width, 32);
    EXPECT_EQ(image.source->height, 16);
    EXPECT_EQ(image.source->bgra.size(), 32u * 16 * 4);
    EXPECT_EQ(text_of("playing"), u"\u25B6");
    EXPECT_EQ(status().rfind(u"playing  ", 0), 0u) << utf16_to_utf8(status());
    EXPECT_NE(status().find(u" / 1s   |   Clip"), std::u16string::npos) << utf16_to_utf8(status());
    // Between the cues the line is empty; then the second one shows.
    wait_for_position(2'400'000);
    platform_.RunPosted();
    EXPECT_EQ(text_of("subtitle"), u"");
    wait_for_position(4'400'000);
    platform_.RunPosted();
    EXPECT_EQ(text_of("subtitle"), u"Second line");
    // Pause and play, then stop.
    EXPECT_TRUE(key(32));
    EXPECT_EQ(status(), u"paused");
    EXPECT_FALSE(view.playing());
    view.OnHeartbeat();
    EXPECT_EQ(text_of("playing"), u"");
    EXPECT_TRUE(key(179));
    EXPECT_EQ(status(), u"play");
    EXPECT_TRUE(key(27));
    EXPECT_EQ(status(), u"stopped");
    EXPECT_FALSE(view.media_open());
    EXPECT_FALSE(element("video").visible());
    log = utf16_to_utf8(log_text().substr(play_mark));
    EXPECT_TRUE(log.find("audio frame 1 size=4096 sr=48000 ch=2 fmt=1 nbs=1024") != std::string::npos) << log;
    EXPECT_TRUE(log.find("cue @0..2000000 First line") != std::string::npos) << log;
}

TEST_F(ShellSession, TheEndOfTheStreamEndsThePumpAndCuesArePulledOnlyUpToTheVideo) {
    stage_playback();
    // A 1 s video with a cue every 0.1 s for 10 s: the pump keeps only what it is about to show.
    std::string description = "frames 25\nframe_ticks 400000\nsubtitle subrip\n";
    for (int i = 0; i < 100; i++)
        description += "cue " + std::to_string(i * 1'000'000) + " 1000000 line " + std::to_string(i) + "\n";
    fs::path file = media("cues.stub", description);
    ShellView &view = launch();
    new_log();
    view.PlayPath(utf8_to_utf16(file.string()));
    view.WaitForPump();
    std::string log = new_log();
    EXPECT_TRUE(logged(log, "video EOF after 25 frames")) << log;
    EXPECT_TRUE(logged(log, "pump exit: 25 video, 0 audio frames, pos=9600000")) << log;
    size_t cues = 0;
    for (size_t at = log.find("cue @"); at != std::string::npos; at = log.find("cue @", at + 1)) cues++;
    EXPECT_GE(cues, 10u);  // up to the last frame at 0.96 s, and one ahead
    EXPECT_LE(cues, 12u);
    EXPECT_FALSE(view.playing());
    EXPECT_TRUE(view.media_open());  // open until stopped
    view.OnHeartbeat();
    EXPECT_EQ(text_of("playing"), u"");
}

TEST_F(ShellSession, ANewFileStartsCleanAndIgnoresTheOldFilesSubtitles) {
    stage_playback();
    fs::path first = media("first.stub", "frames 5\nframe_ticks 400000\nsubtitle subrip\ncue 0 9000000 Old line\n");
    fs::path second = media("second.stub", "frames 5\nframe_ticks 400000\n");
    ShellView &view = launch();
    view.PlayPath(utf8_to_utf16(first.string()));
    view.WaitForPump();
    view.OnHeartbeat();
    ASSERT_NE(dynamic_cast<Image &>(element("video_image")).source, nullptr);
    // The first file's subtitle is still waiting on the UI thread when the second starts.
    view.PlayPath(utf8_to_utf16(second.string()));
    EXPECT_EQ(dynamic_cast<Image &>(element("video_image")).source, nullptr);
    EXPECT_GE(platform_.RunPosted(), 1u);
    EXPECT_EQ(text_of("subtitle"), u"");
    view.StopPlayback();
}

TEST_F(ShellSession, FailuresEndThePumpCleanly) {
    stage_playback();
    ShellView &view = launch();
    struct Case {
        const char *name, *description, *line;
    } cases[] = {
        {"stall.stub", "fail_video\n", "video stalled (rc=-3) after 0 frames"},
        {"huge.stub", "frames 3\nframe_ticks 10\nsize 9000 16\n", "frame pix_fmt 0 not convertible (rc=1)"},
        {"nv12.stub", "frames 2\nframe_ticks 10\nformat 23\nsize 16 16\n", "video EOF after 2 frames"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::path file = media(c.name, c.description);
        new_log();
        view.PlayPath(utf8_to_utf16(file.string()));
        view.WaitForPump();
        std::string log = new_log();
        EXPECT_TRUE(logged(log, c.line)) << log;
        EXPECT_FALSE(view.playing());
    }
    // A file the engine cannot open, a directory and a FIFO: refused without blocking.
    fs::path fifo = dir_ / "fifo.stub";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    media("broken.stub", "fail_open\n");
    struct Refused {
        fs::path path;
        std::u16string status;
    } refused[] = {
        {app_dir() / "media/broken.stub", u"open failed: no engine"},
        {app_dir() / "media", u"open failed: not a regular file"},
        {fifo, u"open failed: not a regular file"},
    };
    for (const Refused &r : refused) {
        view.PlayPath(utf8_to_utf16(r.path.string()));
        EXPECT_EQ(status(), r.status) << r.path;
        EXPECT_FALSE(view.media_open());
    }
}

TEST_F(ShellSession, AThrowingPumpClearsPlaying) {
    stage_playback();
    fs::path file = media("cue.stub", "frames 50\nframe_ticks 400000\nsubtitle subrip\ncue 0 2000000 Line\n");
    ShellView &view = launch();
    platform_.post_throws = true;
    new_log();
    view.PlayPath(utf8_to_utf16(file.string()));
    view.WaitForPump();
    std::string log = new_log();
    EXPECT_TRUE(logged(log, "pump threw 0x80004005")) << log;
    EXPECT_FALSE(view.playing());
    view.OnHeartbeat();
    EXPECT_EQ(text_of("playing"), u"");
}

TEST_F(ShellSession, PlayTargetFromPlayTxtWithItsFallbacks) {
    stage_playback();
    std::ofstream(app_dir() / "corpus/clip.stub") << "frames 1\nframe_ticks 10\n";
    struct Case {
        std::string play_txt;  // empty: no file
        bool directory;
        std::vector<std::string> lines;
    } cases[] = {
        // UTF-16 with a byte-order mark, naming a file that is not there: the packaged one of that name.
        {std::string("\xFF\xFE/\0n\0o\0/\0c\0l\0i\0p\0.\0s\0t\0u\0b\0\r\0\n\0", 30), false,
         {"play.txt -> /no/clip.stub", "not readable, falling back to packaged " + (app_dir() / "corpus/clip.stub").string(),
          "PlayPath " + (app_dir() / "corpus/clip.stub").string()}},
        {"/no/such.stub\n", false,
         {"play target unreadable: " + (app_dir() / "corpus/such.stub").string()}},
        {"", true, {"play.txt: none (0x80070005)"}},
        {(app_dir() / "corpus").string() + "\n", false, {"open failed: not a regular file"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.play_txt);
        fs::remove_all(dir_ / "local/play.txt");
        if (c.directory)
            fs::create_directory(dir_ / "local/play.txt");
        else
            std::ofstream(dir_ / "local/play.txt", std::ios::binary) << c.play_txt;
        launch();
        std::string log = new_log();
        for (const std::string &line : c.lines) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        EXPECT_TRUE(logged(log, "UI heartbeat started"));
        app_->OnExiting();
    }
}

TEST_F(ShellSession, PacedPicturesWaitForTheSoundWhichIsQueuedAtTheVolume) {
    stage_playback();
    auto output = std::make_shared<FakeAudioOutput::State>();
    platform_.audio_factory = [output] { return std::make_unique<FakeAudioOutput>(output); };
    fs::path file = media("paced.stub", "frames 10\nframe_ticks 400000\nsize 32 16\naudio 1\naudio_value 1000\n");
    ShellView &view = launch(Presentation::Paced);
    const int bytes_per_second = 48000 * 4;
    struct Case {
        int volume;
        bool mute;
        int16_t sample;
    } cases[] = {{50, false, 250}, {100, true, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.volume);
        view.SetVolume(c.volume);
        if (c.mute != view.muted()) view.ToggleMuted();
        new_log();
        view.PlayPath(utf8_to_utf16(file.string()));
        ASSERT_TRUE(platform_.display_tick);
        // The output starts once the first pictures are converted, with about 0.2 s queued.
        ASSERT_TRUE(wait_for([&] {
            std::lock_guard lock(output->mutex);
            return !output->paused && output->samples.size() * 2 >= bytes_per_second / 5;
        }));
        // Nothing heard yet: the clock stands at the first picture however often the display asks.
        for (int i = 0; i < 10; i++) {
            platform_.display_tick();
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(view.pacing_figures().shown, 1);
        EXPECT_NE(dynamic_cast<Image &>(element("video_image")).source, nullptr);
        // Pausing pauses the output; playing resumes it.
        EXPECT_TRUE(key(32));
        EXPECT_TRUE(wait_for([&] { std::lock_guard lock(output->mutex); return output->paused; }));
        EXPECT_TRUE(key(179));
        EXPECT_TRUE(wait_for([&] { std::lock_guard lock(output->mutex); return !output->paused; }));
        // 0.1 s heard: of the pictures at 0.04 and 0.08 s the later one shows, the other was late.
        ASSERT_TRUE(wait_for([&] { return view.pacing_figures().waiting == 3; }));
        output->Play(bytes_per_second / 10);
        platform_.display_tick();
        ShellView::PacingFigures figures = view.pacing_figures();
        EXPECT_EQ(figures.shown, 2);
        EXPECT_EQ(figures.dropped, 1);
        EXPECT_NEAR(view.position(), 1'000'000, 100);  // times are rounded to ticks per delivery
        play_out(output.get());
        figures = view.pacing_figures();
        EXPECT_EQ(figures.shown + figures.dropped, 10);
        std::string log = new_log();
        {
            std::lock_guard lock(output->mutex);
            EXPECT_EQ(output->opened.back(), (AudioFormat{48000, 2}));
            EXPECT_TRUE(logged(log, "audio played: " + std::to_string(output->samples.size() / 2) +
                                        " samples at 48000 Hz, 2 channels"))
                << log;
            EXPECT_TRUE(std::all_of(output->samples.begin(), output->samples.end(),
                                    [&](int16_t sample) { return sample == c.sample; }));
        }
        EXPECT_TRUE(logged(log, "video EOF after 10 frames")) << log;
        EXPECT_EQ(log.find("video runs on the system clock"), std::string::npos) << log;
        EXPECT_EQ(platform_.display_tick(), TickOutcome::Stop);  // the tick ends with the playback
        view.StopPlayback();
    }
}

TEST_F(ShellSession, APacedSeekDropsWhatWasQueuedAndTheClockRestartsAtTheLanding) {
    stage_playback();
    auto output = std::make_shared<FakeAudioOutput::State>();
    platform_.audio_factory = [output] { return std::make_unique<FakeAudioOutput>(output); };
    fs::path file = media("long.stub", "frames 750\nframe_ticks 400000\nsize 32 16\naudio 1\n");
    ShellView &view = launch(Presentation::Paced);
    view.PlayPath(utf8_to_utf16(file.string()));
    auto started = [&] {
        std::lock_guard lock(output->mutex);
        return !output->paused && output->samples.size() * 2 - output->played >= 48000 * 4 / 5;
    };
    ASSERT_TRUE(wait_for(started));
    platform_.display_tick();
    ASSERT_TRUE(wait_for([&] { return view.pacing_figures().waiting == 3; }));
    // Pictures up to 0.12 s and 0.2 s of sound wait; the seek lands at 10 s.
    view.SeekTo(100'000'000);
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard lock(output->mutex);
        return output->clears == 1;
    }));
    ASSERT_TRUE(wait_for(started));
    platform_.display_tick();
    // The picture at the landing shows; none of the old ones was left to drop.
    ShellView::PacingFigures figures = view.pacing_figures();
    EXPECT_EQ(figures.shown, 2);
    EXPECT_EQ(figures.dropped, 0);
    EXPECT_NEAR(view.position(), 100'000'000, 100);
    output->Play(output->queued_bytes());  // everything queued since the landing: 10.2 s or so
    platform_.display_tick();
    EXPECT_GT(view.position(), 101'000'000);
    EXPECT_LT(view.position(), 104'000'000);
    view.StopPlayback();
}

TEST_F(ShellSession, WithoutSoundPacedPicturesRunOnTheSystemClock) {
    stage_playback();
    ShellView &view = launch(Presentation::Paced);
    struct Case {
        const char *name, *description, *line;
    } cases[] = {
        {"no_device.stub", "frames 10\nframe_ticks 400000\naudio 1\n", "audio: no output: video runs on the system clock"},
        {"silent.stub", "frames 10\nframe_ticks 400000\n", "no audio stream: video runs on the system clock"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::path file = media(c.name, c.description);
        new_log();
        view.PlayPath(utf8_to_utf16(file.string()));
        play_out(nullptr);
        std::string log = new_log();
        EXPECT_EQ(occurrences(log, c.line), 1u) << log;
        EXPECT_TRUE(logged(log, "video EOF after 10 frames")) << log;
        ShellView::PacingFigures figures = view.pacing_figures();
        EXPECT_EQ(figures.shown + figures.dropped, 10);
        EXPECT_GE(figures.shown, 1);
        view.StopPlayback();
    }
}

namespace {

// A settings page whose skip interval is 5 s (the template's own default is 10 s).
const char *SETTINGS = R"({
  "Key": "Settings", "DisplayName": "Settings",
  "Settings": [
    {"Key": "Playback", "DisplayName": "Playback", "Items": [
      {"Key": "SkipInterval", "DisplayName": "Skip interval", "Type": "Choice", "DefaultValue": "Skip5",
       "Values": [{"Key": "Skip5", "DisplayName": "5 seconds", "DefaultValue": "5"},
                  {"Key": "Skip10", "DisplayName": "10 seconds", "DefaultValue": "10"}]}
    ]}
  ]
})";

// Calls `done` until it holds, for at most ten seconds; whether it held.
bool eventually(const std::function<bool()> &done) {
    for (int i = 0; i < 2000; i++) {
        if (done()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

size_t count_of(const std::string &log, const std::string &text) {
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) count++;
    return count;
}

}  // namespace

class Transport : public ShellSession {
protected:
    // The stand-in engine's count of delivered audio samples of a stream.
    long long audio_delivered(int stream) {
        std::string library = (app_dir() / "orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so").string();
        void *handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
        auto delivered = handle ? reinterpret_cast<long long (*)(int)>(dlsym(handle, "stub_audio_delivered")) : nullptr;
        long long count = delivered ? delivered(stream) : -1;
        if (handle) dlclose(handle);
        return count;
    }
    std::u16string subtitle_after_posts() {
        platform_.RunPosted();
        return text_of("subtitle");
    }
    bool progress_shown() { return element("progress").visible(); }
    size_t chapter_marks() {
        size_t marks = 0;
        for (auto &child : element("progress_track").children()) marks += child->name == "progress_mark";
        return marks;
    }
};

TEST_F(Transport, SkipsSeekBothInstancesByTheSettingAndChaptersJumpToTheirStarts) {
    stage_templates("settings.json", SETTINGS);
    stage_playback();
    fs::path file = media("chapters.stub", "frames 750\nframe_ticks 400000\nsubtitle subrip\n"
                                           "cue 0 20000000 Opening line\ncue 100000000 100000000 Middle line\n"
                                           "chapter 0 Opening\nchapter 80000000 Middle\nchapter 160000000 Credits\n");
    ShellView &view = launch();
    view.PlayPath(utf8_to_utf16(file.string()));
    ASSERT_TRUE(eventually([&] { return subtitle_after_posts() == u"Opening line"; }));
    new_log();
    // Three quick presses add up: each skips from where the last one goes.
    for (int i = 0; i < 3; i++) EXPECT_TRUE(key('F'));
    EXPECT_EQ(status().substr(0, 17), u"+5s  0:15 / 0:30") << utf16_to_utf8(status());
    EXPECT_TRUE(progress_shown());
    EXPECT_EQ(text_of("progress_position"), u"0:15");
    EXPECT_EQ(text_of("progress_duration"), u"0:30");
    EXPECT_EQ(chapter_marks(), 2u);
    EXPECT_EQ(text_of("progress_caption"), u"Chapter 2/3  Middle");
    ASSERT_TRUE(eventually([&] { return view.position() >= 15 * 10'000'000LL; }));
    std::string log = new_log();
    EXPECT_TRUE(logged(log, "key 70 -> transport fast_forward")) << log;
    EXPECT_NE(log.find("sub: seek "), std::string::npos) << log;
    EXPECT_NE(log.find("cue store cleared"), std::string::npos) << log;
    // The opening line went with the old position; the middle line, pulled anew, shows.
    EXPECT_TRUE(eventually([&] { return subtitle_after_posts() == u"Middle line"; }));
    EXPECT_EQ(view.model().cue_count, 1);

    key('P');  // more than three seconds into the second chapter: its start
    EXPECT_EQ(status(), u"chapter 2/3 Middle  0:08 / 0:30");
    ASSERT_TRUE(eventually([&] { return logged(new_log(), "seek 80000000 -> rc=0 landed=80000000"); }));
    ASSERT_TRUE(eventually([&] { return view.position() >= 80'000'000; }));
    key('P');  // just after its start: the chapter before
    EXPECT_EQ(status(), u"chapter 1/3 Opening  0:00 / 0:30");
    key(176);  // media next
    EXPECT_EQ(status(), u"chapter 2/3 Middle  0:08 / 0:30");
    key('N');
    EXPECT_EQ(status(), u"chapter 3/3 Credits  0:16 / 0:30");
    key('N');
    EXPECT_EQ(status(), u"last chapter");
    ASSERT_TRUE(eventually([&] { return view.position() >= 160'000'000; }));
    view.SeekTo(-5);
    EXPECT_EQ(status(), u"seek  0:00 / 0:30");
    view.SeekTo(int64_t(1) << 40);
    EXPECT_EQ(status(), u"seek  0:30 / 0:30");
    ASSERT_TRUE(eventually([&] { return !view.playing(); }));  // the end
    log = new_log();
    EXPECT_TRUE(logged(log, "seek 300000000 -> rc=0 landed=300000000")) << log;
}

TEST_F(Transport, TracksCycleAndTheEngineDeliversTheChosenOnes) {
    stage_playback();
    fs::path file = media("tracks.stub", "frames 750\nframe_ticks 400000\naudio 2\n"
                                         "subtitle subrip eng\ncue 0 300000000 English line\n"
                                         "subtitle ass ger\ncue 0 300000000 German line\n");
    ShellView &view = launch();
    view.PlayPath(utf8_to_utf16(file.string()));
    ASSERT_TRUE(eventually([&] { return view.AudioTracks().names.size() == 2; }));
    EXPECT_EQ(view.AudioTracks().names, (std::vector<std::string>{"eng (stub)", "eng (stub)"}));
    EXPECT_EQ(view.AudioTracks().current, 0);
    ShellView::TrackList subtitles = view.SubtitleTracks();
    EXPECT_EQ(subtitles.names, (std::vector<std::string>{"eng (subrip)", "ger (ass)"}));
    EXPECT_EQ(subtitles.current, 0);
    ASSERT_TRUE(eventually([&] { return subtitle_after_posts() == u"English line"; }));
    ASSERT_TRUE(eventually([&] { return audio_delivered(1) > 0; }));
    new_log();

    key('A');
    EXPECT_EQ(status(), u"audio 2/2: eng (stub)");
    EXPECT_EQ(view.AudioTracks().current, 1);
    ASSERT_TRUE(eventually([&] { return audio_delivered(2) > 0; }));
    long long first_stream = audio_delivered(1), second_stream = audio_delivered(2);
    ASSERT_TRUE(eventually([&] { return audio_delivered(2) >= second_stream + 5; }));
    EXPECT_EQ(audio_delivered(1), first_stream);  // the old stream is no longer pulled
    std::string log = new_log();
    EXPECT_TRUE(logged(log, "select_stream(audio,2) -> 2")) << log;
    EXPECT_TRUE(logged(log, "sample_mode(audio 2, decode) -> 0")) << log;
    EXPECT_NE(log.find("landed="), std::string::npos) << log;  // both streams restart together

    struct Step {
        int key;
        std::u16string status, line;
    } steps[] = {
        {'C', u"subtitles 2/2: ger (ass)", u"German line"},
        {'C', u"subtitles off", u""},
        {197, u"subtitles 1/2: eng (subrip)", u"English line"},  // the controller's X
        {'A', u"audio 1/2: eng (stub)", u"English line"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(utf16_to_utf8(step.status));
        EXPECT_TRUE(key(step.key));
        EXPECT_EQ(status(), step.status);
        EXPECT_TRUE(eventually([&] { return subtitle_after_posts() == step.line; }))
            << utf16_to_utf8(text_of("subtitle"));
    }
    log = new_log();
    EXPECT_TRUE(logged(log, "sub: set_subtitle_index(primary,4) -> 4")) << log;
    EXPECT_TRUE(logged(log, "sub: set_subtitle_index(primary,-1) -> -1")) << log;
    EXPECT_NE(log.find("cue @0..300000000 German line"), std::string::npos) << log;
    EXPECT_FALSE(view.SelectAudioTrack(2));
    EXPECT_FALSE(view.SelectSubtitleTrack(-2));
    EXPECT_TRUE(view.SelectSubtitleTrack(-1));
    EXPECT_EQ(view.SubtitleTracks().current, -1);
    view.StopPlayback();
    EXPECT_TRUE(view.AudioTracks().names.empty());
    EXPECT_FALSE(view.SelectAudioTrack(0));
}

TEST_F(Transport, AfterTheEndTracksStillChangeAndARewindPlaysAgain) {
    stage_templates();
    stage_playback();
    fs::path file = media("short.stub", "frames 10\nframe_ticks 400000\naudio 2\n");
    ShellView &view = launch();
    view.PlayPath(utf8_to_utf16(file.string()));
    view.WaitForPump();
    new_log();
    EXPECT_TRUE(key('A'));  // applied at once, without playing
    std::string log = new_log();
    EXPECT_TRUE(logged(log, "select_stream(audio,2) -> 2")) << log;
    EXPECT_FALSE(view.playing());
    // The key map's play/pause (the Pause key) changes only the flag and the words after the end.
    EXPECT_TRUE(key(19));
    EXPECT_EQ(status(), u"play");
    EXPECT_TRUE(key(19));
    EXPECT_EQ(status(), u"paused");
    view.OnHeartbeat();
    EXPECT_TRUE(progress_shown());
    EXPECT_EQ(text_of("progress_caption"), u"Paused");
    EXPECT_TRUE(key('R'));
    EXPECT_EQ(status(), u"-10s  0:00 / 0:00");  // a 0.4 s file
    EXPECT_TRUE(view.playing());
    view.WaitForPump();
    log = new_log();
    EXPECT_TRUE(logged(log, "seek 0 -> rc=0 landed=0")) << log;
    EXPECT_TRUE(logged(log, "pump restarted at 0")) << log;
    EXPECT_TRUE(logged(log, "video EOF after 10 frames")) << log;
    EXPECT_TRUE(key(83));  // the key map's stop (S)
    EXPECT_EQ(status(), u"stopped");
    EXPECT_FALSE(view.media_open());
    EXPECT_FALSE(progress_shown());
    // Without a file the letters go to the key map as before.
    new_log();
    EXPECT_FALSE(key('A'));
    EXPECT_TRUE(logged(new_log(), "key 65 -> no action"));
}

TEST_F(Transport, TheProgressBarShowsWhilePausedAndForAWhileAfterAnAction) {
    stage_playback();
    fs::path file = media("long.stub", "frames 750\nframe_ticks 400000\n");
    ShellView &view = launch();
    view.PlayPath(utf8_to_utf16(file.string()));
    view.OnHeartbeat();
    EXPECT_FALSE(progress_shown());
    EXPECT_TRUE(key(32));
    EXPECT_EQ(status(), u"paused");
    EXPECT_TRUE(progress_shown());
    EXPECT_EQ(text_of("progress_caption"), u"Paused");
    EXPECT_EQ(chapter_marks(), 0u);
    // A seek while paused shows the picture where it landed, and stays paused.
    auto &image = dynamic_cast<Image &>(element("video_image"));
    image.source = nullptr;
    new_log();
    view.SeekTo(0);
    EXPECT_TRUE(key('F'));  // from the seek just asked for
    EXPECT_TRUE(eventually([&] { return log_text().find(u"paused: the picture at 100000000") != std::u16string::npos; }));
    view.OnHeartbeat();
    EXPECT_NE(image.source, nullptr);
    EXPECT_FALSE(view.playing());
    EXPECT_EQ(text_of("progress_position"), u"0:10");
    EXPECT_TRUE(key(179));
    EXPECT_EQ(status(), u"play");
    auto shown_at = std::chrono::steady_clock::now();
    EXPECT_TRUE(progress_shown());
    EXPECT_TRUE(eventually([&] {
        view.OnHeartbeat();
        return !progress_shown();
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - shown_at, 3s);
    // A page rendered meanwhile empties the overlay; the bar comes back.
    dynamic_cast<Canvas &>(element("overlay")).Clear();
    EXPECT_TRUE(key('F'));
    EXPECT_TRUE(progress_shown());
    // Without the template engine there is no setting: 10 s.
    EXPECT_EQ(text_of("progress_position").substr(0, 3), u"0:2") << utf16_to_utf8(text_of("progress_position"));
}
