// Subtitle cues: text and bitmap cues against ffprobe, delay and minimum
// duration, selections, external sources from paths and callbacks, and what
// hostile subtitle files do.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "oppb_test_util.h"

static constexpr int64_t SECOND = OPPB_TICKS_PER_SECOND;

struct Cue {
    int stream, kind;
    int64_t start, duration;
    std::string data, text, ass;
    int width, height, colours;
    std::string palette;
};

static Cue copy(const oppb_cue &c) {
    Cue x{c.stream, c.kind, c.start, c.duration, {}, c.text ? c.text : "", c.ass ? c.ass : "", c.width, c.height,
          c.colours, {}};
    if (c.data) x.data.assign(reinterpret_cast<const char *>(c.data), size_t(c.size));
    if (c.palette) x.palette.assign(reinterpret_cast<const char *>(c.palette), size_t(c.palette_size));
    return x;
}

// Every cue of `stream` (negative: the selections) until the end.
static std::vector<Cue> all_cues(oppb_engine *e, int stream = -1) {
    std::vector<Cue> cues;
    oppb_cue c;
    int r;
    while ((r = oppb_next_subtitle(e, stream, &c)) == OPPB_OK) cues.push_back(copy(c));
    EXPECT_EQ(r, OPPB_END);
    return cues;
}

// ffprobe's packet times of subtitle stream `index` in ticks from the container start.
struct PacketTime {
    int64_t start, duration;
};
static std::vector<PacketTime> packet_times(const std::string &name, int index) {
    const double container = std::stod(probe(media(name), "", "format=start_time"));
    const std::vector<std::string> values = lines(probe(media(name), std::to_string(index), "packet=pts_time,duration_time"));
    std::vector<PacketTime> out;
    for (size_t i = 0; i + 1 < values.size(); i += 2) {
        const int64_t duration = values[i + 1] == "N/A" ? 0 : std::llround(std::stod(values[i + 1]) * 1e7);
        out.push_back({std::llround((std::stod(values[i]) - container) * 1e7), duration});
    }
    return out;
}

TEST(Subtitles, TextCuesCarryPacketTimesAndTexts) {
    struct Case {
        const char *name;
        int stream;
        const char *codec;
    };
    const Case cases[] = {{"mkv_chapters_subs.mkv", 2, "subrip"},
                          {"mkv_chapters_subs.mkv", 3, "ass"},
                          {"h264_movtext.mp4", 2, "mov_text"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " stream " + std::to_string(c.stream));
        Handle e = open_media(c.name);
        ASSERT_TRUE(e);
        ASSERT_STREQ(oppb_stream_field(e.get(), nullptr, c.stream, "codec"), c.codec);
        ASSERT_EQ(oppb_set_subtitle_index(e.get(), 0, c.stream), c.stream);
        const std::vector<PacketTime> expected = packet_times(c.name, c.stream);
        const std::vector<Cue> cues = all_cues(e.get(), c.stream);
        // mov_text gaps are empty samples that decode to nothing.
        size_t j = 0;
        for (const Cue &cue : cues) {
            while (j < expected.size() && std::llabs(expected[j].start - cue.start) > 2) j++;
            ASSERT_LT(j, expected.size()) << "cue at " << cue.start << " matches no packet";
            EXPECT_NEAR(double(cue.duration), double(expected[j].duration), 2.0);
            EXPECT_EQ(cue.stream, c.stream);
            EXPECT_EQ(cue.kind, 1);
            EXPECT_FALSE(cue.data.empty());
            EXPECT_FALSE(cue.ass.empty());
            EXPECT_EQ(cue.width + cue.height + cue.colours, 0);
            j++;
        }
        EXPECT_EQ(cues.size(), std::string(c.codec) == "mov_text" ? 3u : expected.size());
        if (std::string(c.codec) == "subrip") {
            EXPECT_EQ(cues[0].data, "First subtitle");
            EXPECT_NE(cues[0].ass.find("First subtitle"), std::string::npos);
        }
        if (std::string(c.codec) == "ass") {
            EXPECT_NE(cues[1].ass.find("{\\pos(160,90)}Positioned sign"), std::string::npos);
        }
    }
}

// Bitmap cues: packed palette indexes and the palette; a clearing display set
// is a bitmap cue without a picture. The stream's own start (its first
// caption) is no offset: cues keep the container's timeline.
TEST(Subtitles, PgsCuesArePalettedBitmaps) {
    Handle e = open_media("pgs_subs.mkv");
    ASSERT_TRUE(e);
    const int stream = oppb_av_subtitle_track(e.get(), 0, "index");
    ASSERT_EQ(oppb_av_subtitle_track(e.get(), 0, "image_type"), 1);
    const std::vector<PacketTime> expected = packet_times("pgs_subs.mkv", stream);
    const std::vector<Cue> cues = all_cues(e.get(), stream);
    ASSERT_EQ(cues.size(), expected.size());
    for (size_t i = 0; i < cues.size(); i++) {
        SCOPED_TRACE(i);
        const Cue &c = cues[i];
        EXPECT_EQ(c.kind, 2);
        EXPECT_NEAR(double(c.start), double(expected[i].start), 2.0);
        EXPECT_EQ(c.duration, 0);  // shown until the next display set
        if (i % 2 == 0) {  // a caption
            EXPECT_GT(c.width, 0);
            EXPECT_GT(c.height, 0);
            EXPECT_EQ(c.data.size(), size_t(c.width) * size_t(c.height));
            EXPECT_GT(c.colours, 1);
            EXPECT_EQ(c.palette.size(), size_t(c.colours) * 4);
            // Every index names a palette entry, and the picture is not blank.
            EXPECT_TRUE(std::all_of(c.data.begin(), c.data.end(), [&](char v) { return uint8_t(v) < c.colours; }));
            EXPECT_NE(c.data.find_first_not_of(c.data[0]), std::string::npos);
        } else {  // the clearing display set
            EXPECT_EQ(c.width, 0);
            EXPECT_EQ(c.height, 0);
            EXPECT_TRUE(c.data.empty());
        }
    }
    EXPECT_EQ(cues[0].start, SECOND / 2);
}

TEST(Subtitles, DelayAndMinimumDuration) {
    struct Case {
        int64_t delay, minimum;
    };
    Handle plain = open_media("mkv_chapters_subs.mkv");
    oppb_set_subtitle_index(plain.get(), 0, 2);
    const std::vector<Cue> base = all_cues(plain.get(), 2);
    ASSERT_EQ(base.size(), 3u);
    for (const Case c : {Case{-2 * SECOND, 0}, Case{SECOND, 0}, Case{0, SECOND * 14 / 10}, Case{-SECOND, 2 * SECOND}}) {
        SCOPED_TRACE(std::to_string(c.delay) + " " + std::to_string(c.minimum));
        const std::string config = R"({"subtitles":{"minimum_duration_ticks":)" + std::to_string(c.minimum) + "}}";
        Handle e = open_media("mkv_chapters_subs.mkv", config.c_str());
        oppb_set_subtitle_index(e.get(), 0, 2);
        ASSERT_EQ(oppb_set_subtitle_delay(e.get(), c.delay), OPPB_OK);
        EXPECT_EQ(oppb_subtitle_delay(e.get()), c.delay);
        const std::vector<Cue> cues = all_cues(e.get(), 2);
        ASSERT_EQ(cues.size(), base.size());
        for (size_t i = 0; i < cues.size(); i++) {
            EXPECT_EQ(cues[i].start, std::max<int64_t>(0, base[i].start + c.delay)) << i;
            EXPECT_EQ(cues[i].duration, std::max(base[i].duration, c.minimum)) << i;
        }
    }
    // The delay from the configuration is the handle's starting delay.
    Handle configured = open_media("mkv_chapters_subs.mkv", R"({"subtitles":{"default_delay_ticks":5000000}})");
    EXPECT_EQ(oppb_subtitle_delay(configured.get()), 5000000);
    EXPECT_EQ(oppb_set_subtitle_delay(nullptr, 1), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_subtitle_delay(nullptr), 0);
}

TEST(Subtitles, SelectionsAndRefusals) {
    Handle e = open_media("mkv_chapters_subs.mkv");
    ASSERT_TRUE(e);
    oppb_cue c;
    EXPECT_EQ(oppb_set_subtitle_index(nullptr, 0, 2), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_set_subtitle_index(e.get(), 1, 0), OPPB_ERR_NOT_FOUND);  // video
    EXPECT_EQ(oppb_set_subtitle_index(e.get(), 1, 99), OPPB_ERR_NOT_FOUND);
    EXPECT_EQ(oppb_next_subtitle(e.get(), 0, &c), OPPB_ERR_NOT_FOUND);
    EXPECT_EQ(oppb_next_subtitle(e.get(), -1, nullptr), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_next_subtitle(nullptr, -1, &c), OPPB_ERR_ARG);
    // Primary and second selection interleave by pull order: both streams' cues arrive.
    EXPECT_EQ(oppb_set_subtitle_index(e.get(), 0, 2), 2);
    EXPECT_EQ(oppb_set_subtitle_index(e.get(), 1, 3), 3);
    const std::vector<Cue> both = all_cues(e.get());
    EXPECT_EQ(std::count_if(both.begin(), both.end(), [](const Cue &x) { return x.stream == 2; }), 3);
    EXPECT_EQ(std::count_if(both.begin(), both.end(), [](const Cue &x) { return x.stream == 3; }), 2);
    // No selection: nothing at once.
    Handle none = open_media("mkv_chapters_subs.mkv");
    EXPECT_EQ(oppb_set_subtitle_index(none.get(), 0, -1), -1);
    EXPECT_EQ(oppb_next_subtitle(none.get(), -1, &c), OPPB_END);
    oppb_close(none.get());
    EXPECT_EQ(oppb_next_subtitle(none.get(), -1, &c), OPPB_ERR_CLOSED);
}

// A subtitle handle with a timeout keeps delivering: each pull has its own budget.
TEST(Subtitles, EachPullHasAFreshDeadline) {
    Handle e = open_media("mkv_chapters_subs.mkv");
    ASSERT_TRUE(e);
    oppb_set_subtitle_index(e.get(), 0, 2);
    oppb_set_timeout_ms(e.get(), 300);
    oppb_cue c;
    for (int i = 0; i < 3; i++) {
        usleep(400000);
        ASSERT_EQ(oppb_next_subtitle(e.get(), 2, &c), OPPB_OK) << oppb_last_error(e.get());
    }
}

// ---- external sources ----

static const char SRT[] = "1\n00:00:01,000 --> 00:00:02,500\nOne\n\n2\n00:00:03,000 --> 00:00:04,000\nTwo\n\n"
                          "3\n00:00:05,000 --> 00:00:05,400\nThree\n";
static const char ASS[] = "[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\n"
                          "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
                          "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
                          "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
                          "Style: Default,Sans,20,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,"
                          "1,1,0,2,10,10,10,1\n\n[Events]\n"
                          "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
                          "Dialogue: 0,0:00:01.00,0:00:02.50,Default,,0,0,0,,One\n"
                          "Dialogue: 0,0:00:03.00,0:00:04.00,Default,,0,0,0,,{\\i1}Two\n"
                          "Dialogue: 0,0:00:05.00,0:00:05.40,Default,,0,0,0,,Three\n";

static std::string temp_file(const std::string &name, const std::string &bytes) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

TEST(Subtitles, ExternalFilesFromPathsAndCallbacks) {
    struct Case {
        const char *name, *text;
        bool callbacks;
    };
    const Case cases[] = {{"oppb_ext.srt", SRT, false}, {"oppb_ext.ass", ASS, false}, {"oppb_ext.srt", SRT, true},
                          {"oppb_ext.ass", ASS, true},  {nullptr, SRT, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name ? c.name : "unnamed") + (c.callbacks ? " callbacks" : " path"));
        Handle e = open_media("h264_movtext.mp4");
        ASSERT_TRUE(e);
        const int before = oppb_stream_count(e.get(), nullptr);
        MemSource src;
        src.bytes = c.text;
        src.max_read = 7;  // short reads, and a read of 0 at the end
        const oppb_io io = src.io();
        std::string path;
        int index;
        if (c.callbacks) {
            index = oppb_add_external_subtitle_io(e.get(), &io, c.name, "fra");
        } else {
            path = temp_file(c.name, c.text);
            index = oppb_add_external_subtitle(e.get(), path.c_str(), "fra");
        }
        ASSERT_EQ(index, before) << oppb_last_error(e.get());
        EXPECT_EQ(oppb_stream_count(e.get(), "subtitle"), 2);
        EXPECT_EQ(oppb_stream_selected(e.get(), "subtitle"), index);
        EXPECT_STREQ(oppb_stream_field(e.get(), nullptr, index, "title"),
                     c.callbacks ? (c.name ? c.name : "external") : path.c_str());
        EXPECT_STREQ(oppb_stream_field(e.get(), nullptr, index, "language"), "fra");
        const std::vector<Cue> cues = all_cues(e.get());
        ASSERT_EQ(cues.size(), 3u);
        const int64_t starts[] = {SECOND, 3 * SECOND, 5 * SECOND};
        const int64_t durations[] = {15 * SECOND / 10, SECOND, 4 * SECOND / 10};
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(cues[i].stream, index);
            EXPECT_EQ(cues[i].kind, 1);
            EXPECT_EQ(cues[i].start, starts[i]) << i;
            EXPECT_EQ(cues[i].duration, durations[i]) << i;
        }
        EXPECT_NE(cues[1].ass.find("Two"), std::string::npos);
        // Only external candidates at their end: the main container is not read.
        int32_t status[2];
        oppb_buffer_status(e.get(), oppb_stream_selected(e.get(), "video"), status);
        EXPECT_EQ(status[0], 0);
        EXPECT_EQ(oppb_is_eof(e.get()), 0);
        // A backward seek brings earlier cues again.
        ASSERT_EQ(oppb_seek(e.get(), 2 * SECOND, nullptr), OPPB_OK);
        const std::vector<Cue> again = all_cues(e.get());
        ASSERT_GE(again.size(), 2u);
        EXPECT_EQ(again.back().start, 5 * SECOND);
        if (!path.empty()) std::remove(path.c_str());
    }
}

// Files a user hands in: not subtitles, larger than any subtitle file,
// invalid UTF-8 and NUL bytes inside cues. Clear errors or clean cues, and the
// handle carries on.
TEST(Subtitles, HostileExternalSources) {
    Handle e = open_media("h264_movtext.mp4");
    ASSERT_TRUE(e);
    const int count = oppb_stream_count(e.get(), nullptr);
    struct Bad {
        const char *name;
        std::string bytes;
    };
    const Bad bad[] = {{"noise.srt", read_file(media("not_media.mkv"))},
                       {"video.mp4", read_file(media("h264_odd_318x178.mp4"))},
                       {"empty.srt", ""}};
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.name);
        MemSource src;
        src.bytes = b.bytes;
        const oppb_io io = src.io();
        EXPECT_EQ(oppb_add_external_subtitle_io(e.get(), &io, b.name, nullptr), OPPB_ERR_CONTAINER);
        EXPECT_EQ(oppb_last_error_code(e.get()), OPPB_ERR_CONTAINER);
        EXPECT_EQ(oppb_stream_count(e.get(), nullptr), count);
    }
    // A language with control bytes reaches the information document in the engine's string form.
    MemSource named;
    named.bytes = SRT;
    const oppb_io named_io = named.io();
    Handle other = open_media("h264_movtext.mp4");
    ASSERT_GE(oppb_add_external_subtitle_io(other.get(), &named_io, "x.srt", "en\tx\n\"\\"), 0);
    EXPECT_NE(std::string(oppb_info_json(other.get())).find(R"("language":"en\u0009x\u000a\"\\")"), std::string::npos);

    EXPECT_EQ(oppb_add_external_subtitle(e.get(), "/nonexistent/x.srt", nullptr), OPPB_ERR_NOT_FOUND);
    EXPECT_STREQ(oppb_last_error(e.get()), "cannot open /nonexistent/x.srt");
    EXPECT_EQ(oppb_add_external_subtitle(nullptr, "x.srt", nullptr), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_add_external_subtitle(e.get(), nullptr, nullptr), OPPB_ERR_ARG);
    oppb_io no_read{};
    EXPECT_EQ(oppb_add_external_subtitle_io(e.get(), &no_read, "x.srt", nullptr), OPPB_ERR_ARG);

    // An endless source: refused once it passes any sensible size, in bounded time.
    struct Endless {
        long long delivered = 0;
        static int read(void *opaque, uint8_t *buffer, int size) {
            auto *x = static_cast<Endless *>(opaque);
            memset(buffer, 'x', size_t(size));
            if (x->delivered == 0) memcpy(buffer, "1\n00:00:01,000 --> 00:00:02,000\n", 32);
            x->delivered += size;
            return size;
        }
    } endless;
    oppb_io io{};
    io.opaque = &endless;
    io.read = Endless::read;
    EXPECT_EQ(oppb_add_external_subtitle_io(e.get(), &io, "huge.srt", nullptr), OPPB_ERR_CONTAINER);
    EXPECT_LT(endless.delivered, 200ll << 20);
    EXPECT_EQ(oppb_stream_count(e.get(), nullptr), count);

    // Bytes of another encoding inside a cue: the cue arrives with them
    // replaced, so its texts are UTF-8.
    MemSource latin;
    latin.bytes = "1\n00:00:01,000 --> 00:00:02,000\ncaf\xe9 \xc3\xa9\xed\xa0\x80!\n\n"
                  "2\n00:00:05,000 --> 00:00:06,000\nfine\n";
    const oppb_io latin_io = latin.io();
    ASSERT_EQ(oppb_add_external_subtitle_io(e.get(), &latin_io, "latin.srt", nullptr), count);
    std::vector<Cue> cues = all_cues(e.get());
    ASSERT_EQ(cues.size(), 2u);
    const std::string mended = "caf? \xc3\xa9" + std::string(3, '?') + "!";  // a surrogate is three bad bytes
    EXPECT_NE(cues[0].data.find(mended), std::string::npos) << cues[0].data;
    EXPECT_NE(cues[0].ass.find(mended), std::string::npos) << cues[0].ass;
    EXPECT_EQ(cues[1].data, "fine");
    // A NUL byte ends the text there; what came before is delivered.
    MemSource nul;
    nul.bytes = std::string("1\n00:00:01,000 --> 00:00:02,000\nbefore\n\n2\n00:00:03,000 --> 00:00:04,000\nnul") +
                std::string(1, '\0') + "inside\n";
    const oppb_io nul_io = nul.io();
    ASSERT_EQ(oppb_add_external_subtitle_io(e.get(), &nul_io, "nul.srt", nullptr), count + 1);
    cues = all_cues(e.get());
    ASSERT_GE(cues.size(), 1u);
    EXPECT_EQ(cues[0].data, "before");
    for (const Cue &c : cues) EXPECT_EQ(c.data.find('\0'), std::string::npos);
}

// Adding to a handle stops at 64 streams.
TEST(Subtitles, StreamLimit) {
    Handle e = open_media("h264_movtext.mp4");
    ASSERT_TRUE(e);
    int added = 0, r = 0;
    MemSource sources[70];
    for (MemSource &src : sources) {
        src.bytes = SRT;
        const oppb_io io = src.io();
        if ((r = oppb_add_external_subtitle_io(e.get(), &io, "x.srt", nullptr)) < 0) break;
        added++;
    }
    EXPECT_EQ(r, OPPB_ERR_NOMEM);
    EXPECT_EQ(oppb_stream_count(e.get(), nullptr), 64);
    EXPECT_EQ(added, 64 - 3);
    oppb_close(e.get());
    const oppb_io io = sources[0].io();
    EXPECT_EQ(oppb_add_external_subtitle_io(e.get(), &io, "x.srt", nullptr), OPPB_ERR_CLOSED);
}
