// `app` as installed, headless, driven by scripts: the packaged bundle and
// sample media, playback with frames on screen, pages through keys and a
// virtual game controller, and what it does with missing libraries and bad
// input. Each run leaves its screenshots, element trees and log in its folder.
#include <sys/stat.h>

#include "app_install.h"

using namespace app_install;

namespace {

// Script steps that dump the tree every `every_ms` milliseconds, `count` times, as @t0.json, @t1.json, ...
std::string tree_series(int count, int every_ms) {
    std::string steps;
    for (int i = 0; i < count; i++)
        steps += "wait " + std::to_string(every_ms) + "\ntree @t" + std::to_string(i) + ".json\n";
    return steps;
}

// The subtitle line of each tree of a series, in order, without repeats.
std::vector<std::string> subtitle_lines(const Installation &install, int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; i++) {
        Tree tree(install.path("t" + std::to_string(i) + ".json"));
        std::string line = tree.ok() ? tree.text("subtitle") : "(no tree)";
        if (lines.empty() || lines.back() != line) lines.push_back(line);
    }
    return lines;
}

bool contains(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(AppPlayer, StartsOnThePackagedBundleAndPlaysTheFallbackSample) {
    Installation install("fresh", true, true);
    // Trees every 200 ms while the first subtitle line (0.52-2.02 s) comes and goes.
    EXPECT_EQ(install.run("wait 300\n" + tree_series(10, 200) + "quit\n"), 0);
    std::string app = install.app().string();
    EXPECT_TRUE(install.logged_in_order({
        "=== ORVELLO PLAYER 2027 / Xbox shell ===\r\n",
        "key handler installed on the CoreWindow\r\n",
        "chrome built: 0x0 logical\r\n",
        "engines loaded 2/3 from " + app + "\n",
        "load_bundle_file(" + app + "/assets/runtimetemplatebundle.txt) -> 0\r\n",
        "focus_root -> (none)\r\n",
        "focus_build(settings.json,) -> 25 nodes, default=2 cols=1 rows=4\r\n",
        "  node[0] type=SubPage text=Sample media display=Sample media key=SampleMediaFolder",
        "status: 25 nodes   focus 2   Play next item automatically\r\n",
        "LocalFolder -> " + install.path("local").string() + "\r\n",
        "play.txt: none (0x80070002)\r\n",
        "PlayPath " + app + "/corpus/mkv_chapters_subs.mkv\r\n",
        "opened: dur=",
        "status: playing " + app + "/corpus/mkv_chapters_subs.mkv\r\n",
        "UI heartbeat started\r\n",
        "setup complete \xE2\x80\x94 returning to the XAML message loop\r\n",
        "status: playing  ",
    })) << install.log();
    EXPECT_TRUE(install.logged("cue @5210000..20210000 First subtitle")) << install.log();
    std::vector<std::string> lines = subtitle_lines(install, 10);
    EXPECT_TRUE(contains(lines, "First subtitle")) << testing::PrintToString(lines);
}

TEST(AppPlayer, ShowsFramesPausesAndStops) {
    Installation install("pause", true, true);
    int status = install.run(
        "wait 600\nshot @playing.png\ntree @playing.json\n"
        "key 32\nbeats 1\ntree @paused.json\nkey 32\nwait 300\nkey 27\nwait 100\nshot @stopped.png\n"
        "tree @stopped.json\nquit\n");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(install.logged_in_order({"status: paused\r\n", "status: play\r\n", "pump exit: ",
                                         "status: stopped\r\n"}))
        << install.log();

    Tree playing(install.path("playing.json"));
    ASSERT_TRUE(playing.ok());
    EXPECT_TRUE(playing.visible("video"));
    EXPECT_EQ(playing.text("playing"), "\xE2\x96\xB6");
    EXPECT_EQ(playing.text("page_title"), "settings.json");
    EXPECT_EQ(playing.text("status").rfind("playing  ", 0), 0u) << playing.text("status");
    Shot shot(install.path("playing.png"));
    ASSERT_TRUE(shot.ok());
    // The test picture's colour bars fill the video area.
    EXPECT_GT(shot.colours(playing.rect("video_image")), 8u);

    Tree paused(install.path("paused.json"));
    ASSERT_TRUE(paused.ok());
    EXPECT_EQ(paused.text("status"), "paused");
    EXPECT_EQ(paused.text("playing"), "");

    Tree stopped(install.path("stopped.json"));
    ASSERT_TRUE(stopped.ok());
    EXPECT_FALSE(stopped.visible("video"));
    EXPECT_EQ(stopped.labels().size(), 25u);
    EXPECT_EQ(stopped.focused(), 2);
    Shot menu(install.path("stopped.png"));
    ASSERT_TRUE(menu.ok());
    auto tile = stopped.rect("tile[2]");
    EXPECT_TRUE(menu.shows(tile, {0, 214, 214}));  // the focus border
}

TEST(AppPlayer, ControllerAndKeysOpenTheSampleMediaPageAndPlayFromIt) {
    Installation install("samples", true, true);
    install.play_txt("\n");  // only a line break: the packaged fallback
    int status = install.run(
        "wait 200\nkey 27\npad up\npad up\nwait 100\ntree @first.json\n"
        "pad a\nwait 100\nshot @samples.png\ntree @samples.json\n"
        "pad right\nkey 13\nbeats 3\nshot @movtext.png\ntree @movtext.json\n"
        "key 27\npad b\nwait 100\ntree @back.json\npad b\nquit\n");
    EXPECT_EQ(status, 0);
    std::string app = install.app().string();
    EXPECT_TRUE(install.logged("play.txt -> ")) << install.log();
    EXPECT_TRUE(install.logged("key 203 -> action nav_up -> rc=0 focus=1")) << install.log();
    EXPECT_TRUE(install.logged("key 203 -> action nav_up -> rc=0 focus=0")) << install.log();
    EXPECT_TRUE(install.logged("key 195 -> action confirm -> rc=0 focus=0")) << install.log();

    Tree samples(install.path("samples.json"));
    ASSERT_TRUE(samples.ok());
    // Every packaged sample file is offered.
    std::vector<std::string> labels = samples.labels();
    size_t media_files = 0;
    for (auto &entry : fs::directory_iterator(install.app() / "corpus"))
        if (entry.path().extension() != ".md") media_files++;
    EXPECT_EQ(labels.size(), media_files);
    EXPECT_EQ(labels[0], "Chapters and subtitles");
    EXPECT_EQ(samples.focused(), 0);
    Shot shot(install.path("samples.png"));
    ASSERT_TRUE(shot.ok());
    // The first tile's icon is drawn in the accent colour.
    auto icon = samples.rect("icon");
    EXPECT_TRUE(shot.shows(icon, {0, 214, 214}));

    EXPECT_TRUE(install.logged("key 206 -> action nav_right -> rc=0 focus=1")) << install.log();
    EXPECT_TRUE(install.logged("confirm leaf path=SampleTimedText url=open:corpus/h264_movtext.mp4 handler=-1"))
        << install.log();
    EXPECT_TRUE(install.logged("PlayPath " + app + "/corpus/h264_movtext.mp4")) << install.log();
    Tree movtext(install.path("movtext.json"));
    ASSERT_TRUE(movtext.ok());
    EXPECT_TRUE(movtext.visible("video"));
    EXPECT_NE(movtext.text("status").find("|   Timed text"), std::string::npos) << movtext.text("status");
    Shot frames(install.path("movtext.png"));
    ASSERT_TRUE(frames.ok());
    EXPECT_GT(frames.colours(movtext.rect("video_image")), 8u);

    Tree back(install.path("back.json"));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.labels().size(), 25u);
    EXPECT_EQ(back.focused(), 0);
    EXPECT_TRUE(install.logged("restore path SampleMediaFolder -> 0")) << install.log();
    EXPECT_TRUE(install.logged("status: at root")) << install.log();
}

TEST(AppPlayer, TwoAudioStreamsPlayTheFirst) {
    Installation install("two_audio", true, true);
    install.play_txt(install.app().string() + "/corpus/h264_aac_2audio.mp4\n");
    EXPECT_EQ(install.run("wait 600\nquit\n"), 0);
    EXPECT_TRUE(install.logged("opened: dur=50000000 v=1 a=2 sub=0")) << install.log();
    EXPECT_TRUE(install.logged("select_stream(audio,1) -> 1")) << install.log();
    EXPECT_NE(install.log().find("audio frame 1 size="), std::string::npos) << install.log();
    EXPECT_EQ(install.log().find("audio pull rc=-8"), std::string::npos) << install.log();
}

TEST(AppPlayer, MissingLibrariesAreReported) {
    {
        Installation install("no_templates", false, true);
        EXPECT_EQ(install.run("wait 300\ntree @tree.json\nquit\n"), 0);
        Tree tree(install.path("tree.json"));
        ASSERT_TRUE(tree.ok());
        EXPECT_EQ(tree.text("status").rfind("playing ", 0), 0u);
        EXPECT_TRUE(install.logged("status: bundled templates not loadable (1/3 engines)")) << install.log();
        EXPECT_TRUE(tree.labels().empty());
    }
    {
        Installation install("no_playback", true, false);
        EXPECT_EQ(install.run("wait 200\nkey 36\nkey 40\nkey 13\ntree @tree.json\nquit\n"), 0);
        Tree tree(install.path("tree.json"));
        ASSERT_TRUE(tree.ok());
        // The "open:" item has nobody to play it: its path is shown.
        EXPECT_EQ(tree.text("status"), "PlayChapters");
        EXPECT_TRUE(install.logged("PlayPath " + install.app().string() + "/corpus/mkv_chapters_subs.mkv"));
        EXPECT_TRUE(install.logged("status: open failed: no engine")) << install.log();
        EXPECT_FALSE(tree.visible("video"));
    }
    {
        Installation install("corrupt_bundle", true, true);
        std::ofstream(install.app() / "assets/runtimetemplatebundle.txt", std::ios::trunc) << "{\"settings.json\": 7,";
        EXPECT_EQ(install.run("wait 200\nkey 40\nquit\n"), 0);
        EXPECT_TRUE(install.logged("status: bundled templates not loadable (2/3 engines)")) << install.log();
        EXPECT_TRUE(install.logged("key 40 -> action nav_down -> rc=1 focus=-1")) << install.log();
    }
}

TEST(AppPlayer, BadPlayTargetsLeaveThePageUsable) {
    Installation install("bad_targets", true, true);
    // A truncated file plays what there is; a FIFO and a directory are refused.
    std::string whole = read_file(install.app() / "corpus/h264_aac.ts");
    std::ofstream(install.path("truncated.ts"), std::ios::binary) << whole.substr(0, whole.size() / 2);
    ASSERT_EQ(mkfifo(install.path("fifo.mkv").c_str(), 0600), 0);
    struct Case {
        std::string target, line;
    } cases[] = {
        {install.path("truncated.ts").string(), "pump exit: "},
        {install.path("fifo.mkv").string(), "status: open failed: not a regular file"},
        {install.path("").string(), "status: open failed: not a regular file"},
        {install.app().string() + "/corpus/not_media.mkv", "status: open failed: no engine"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        install.play_txt(c.target + "\n");
        EXPECT_EQ(install.run("beats 3\nkey 40\nquit\n"), 0);
        EXPECT_NE(install.log().find(c.line), std::string::npos) << install.log();
        EXPECT_TRUE(install.logged("key 40 -> action nav_down -> rc=0 focus=3")) << install.log();
    }
}

TEST(AppPlayer, HugeFramesAreNotShown) {
    Installation install("huge", true, true);
    std::string file = install.path("huge.mkv").string();
    std::string command = "ffmpeg -v error -y -f lavfi -i color=c=red:size=8200x16:rate=5:duration=0.6 -c:v ffv1 " +
                          file;
    ASSERT_EQ(std::system(command.c_str()), 0);
    install.play_txt(file + "\n");
    EXPECT_EQ(install.run("beats 3\nquit\n"), 0);
    // The engine hands the frames over as NV12.
    EXPECT_TRUE(install.logged("frame pix_fmt 23 not convertible (rc=1)")) << install.log();
    EXPECT_TRUE(install.logged("video EOF after 3 frames")) << install.log();
}

TEST(AppPlayer, AScriptThatOutlivesExitAfterFails) {
    Installation install("exit_after", true, false);
    EXPECT_NE(install.run("wait 5000\nquit\n", "--exit-after 300"), 0);
    EXPECT_TRUE(install.logged("script unfinished: --exit-after passed before line 2")) << install.log();
}

TEST(AppPlayer, SubtitleLinesShowAtTheirTimes) {
    // The stand-in engine of the shell's tests delivers two cues half a second apart. The second
    // lasts a minute, so that a run slowed down (a sanitizer, a busy machine) still sees it.
    Installation install("subtitles", true, false);
    fs::create_symlink(fs::path(BINDING_LIBRARIES) / "stub_playback" / PLAYBACK_FILE, install.app() / PLAYBACK_FILE);
    std::ofstream(install.path("subs.stub")) << "frames 2000\nframe_ticks 400000\nsize 64 36\nsubtitle subrip\n"
                                                "cue 0 15000000 First line\ncue 20000000 600000000 Second line\n";
    install.play_txt(install.path("subs.stub").string() + "\n");
    EXPECT_EQ(install.run("wait 300\ntree @first.json\nshot @first.png\n" + tree_series(16, 200) + "quit\n"), 0);
    EXPECT_TRUE(install.logged("cue @0..15000000 First line")) << install.log();
    Tree first(install.path("first.json"));
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first.text("subtitle"), "First line");
    Shot shot(install.path("first.png"));
    ASSERT_TRUE(shot.ok());
    EXPECT_TRUE(shot.shows(first.rect("subtitle"), {255, 255, 255}));
    // The second line follows the first (after a gap the series may miss).
    std::vector<std::string> lines = subtitle_lines(install, 16);
    auto second_at = std::find(lines.begin(), lines.end(), "Second line");
    EXPECT_TRUE(second_at != lines.end()) << testing::PrintToString(lines);
    EXPECT_FALSE(contains(std::vector<std::string>(second_at, lines.end()), "First line")) << testing::PrintToString(lines);
}

TEST(AppPlayer, TransportSeeksJumpsChaptersAndSwitchesSubtitles) {
    Installation install("transport", true, true);
    // The packaged sample: chapters at 0, 2 and 4 s, SubRip "Dialogue" and ASS "Signs". Paused, the
    // jump and the switch are seen where they land however slowly the run goes; then it plays.
    int status = install.run(
        "wait 700\nkey 32\nkey 78\nwait 400\ntree @chapter.json\nshot @chapter.png\n"
        "key 67\nkey 32\nwait 1500\nkey 70\nwait 3000\nkey 82\nbeats 1\ntree @again.json\nquit\n");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(install.logged("outline: 3 chapters, 1 audio, 2 subtitle tracks")) << install.log();
    // Next chapter: both instances land on its start, and the cues of the old place go.
    EXPECT_TRUE(install.logged_in_order({"key 78 -> transport next\r\n", "status: chapter 2/3 Middle  0:02 / 0:06\r\n",
                                         "seek 20000000 -> rc=0 landed=20000000\r\n",
                                         "sub: seek 20000000 -> rc=0\r\n", "cue store cleared",
                                         "paused: the picture at "}))
        << install.log();
    Tree chapter(install.path("chapter.json"));
    ASSERT_TRUE(chapter.ok());
    EXPECT_TRUE(chapter.visible("progress"));
    EXPECT_EQ(chapter.text("progress_caption"), "Paused   Chapter 2/3  Middle");
    EXPECT_EQ(chapter.text("progress_position"), "0:02");
    EXPECT_EQ(chapter.text("progress_duration"), "0:06");
    std::string tree_text = read_file(install.path("chapter.json"));
    size_t marks = 0;
    for (size_t at = tree_text.find("\"progress_mark\""); at != std::string::npos;
         at = tree_text.find("\"progress_mark\"", at + 1))
        marks++;
    EXPECT_EQ(marks, 2u);  // at 2 s and 4 s
    Shot shot(install.path("chapter.png"));
    ASSERT_TRUE(shot.ok());
    EXPECT_TRUE(shot.shows(chapter.rect("progress_fill"), {0, 214, 214}));
    EXPECT_TRUE(shot.shows(chapter.rect("progress_mark"), {244, 246, 250}));
    EXPECT_TRUE(shot.shows(chapter.rect("progress_position"), {244, 246, 250}));
    // The second subtitle track delivers its own cues, shown without the event's fields and override tags.
    size_t switched = install.log().find("status: subtitles 2/2: Signs - eng (ass)\r\n");
    ASSERT_NE(switched, std::string::npos) << install.log();
    EXPECT_NE(install.log().find("sub: set_subtitle_index(primary,3) -> 3", switched), std::string::npos);
    EXPECT_NE(install.log().find("cue @35210000..55210000 Positioned sign\r\n", switched), std::string::npos)
        << install.log();
    // To the end (the last key frame's second plays, or it had ended) and back: the pump plays again from the start.
    EXPECT_TRUE(install.logged_in_order({"key 70 -> transport fast_forward\r\n",
                                         "seek 60210000 -> rc=0 landed=60210000", "key 82 -> transport rewind\r\n",
                                         "seek 0 -> rc=0 landed=0\r\n", "pump restarted at 0\r\n"}))
        << install.log();
    Tree again(install.path("again.json"));
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.text("playing"), "\xE2\x96\xB6");
    EXPECT_EQ(again.text("progress_position").rfind("0:0", 0), 0u) << again.text("progress_position");
}

TEST(AppPlayer, TheAudioKeySwitchesToTheSecondStream) {
    Installation install("audio_track", true, true);
    install.play_txt(install.app().string() + "/corpus/h264_aac_2audio.mp4\n");
    EXPECT_EQ(install.run("wait 500\nkey 65\nbeats 12\nquit\n"), 0);
    size_t switched = install.log().find("status: audio 2/2: eng (aac)\r\n");
    ASSERT_NE(switched, std::string::npos) << install.log();
    EXPECT_NE(install.log().find("select_stream(audio,2) -> 2\r\n", switched), std::string::npos) << install.log();
    EXPECT_NE(install.log().find("sample_mode(audio 2, decode) -> 0\r\n", switched), std::string::npos);
    // The first stream is stereo, the second 5.1: what the pump pulls afterwards has six channels.
    size_t frame = install.log().find("audio frame ", switched);
    ASSERT_NE(frame, std::string::npos) << install.log();
    EXPECT_NE(install.log().substr(frame, install.log().find("\r\n", frame) - frame).find(" ch=6 "), std::string::npos)
        << install.log();
}
