// The configuration record and its document: defaults, value rules per type,
// clamping, failed texts, escaping, and numbers in the documents whatever the
// process locale.
#include <clocale>
#include <cstdlib>
#include <filesystem>

#include "oppb_test_util.h"

static const char DEFAULTS[] =
    R"({"video":{"decoder_mode":0,"hdr_support":0,"system_decoder_h264_max_profile":100,)"
    R"("system_decoder_h264_max_level":41,"system_decoder_hevc_max_profile":2,"system_decoder_hevc_max_level":-1,)"
    R"("output_allow_nv12":true,"output_allow_iyuv":false,"output_allow_10bit":true,"output_allow_bgra8":false,)"
    R"("max_decoder_threads":0,"default_stream_name":"Video Stream","ffmpeg_video_filters":"",)"
    R"("frames_per_second_override":0.000000},"audio":{"system_decoder_mp3":false,"system_decoder_aac":false,)"
    R"("max_decoder_threads":2,"default_stream_name":"Audio Stream","ffmpeg_audio_filters":"",)"
    R"("downmix_to_stereo":false},"subtitles":{"auto_select_forced":true,"override_styles":false,)"
    R"("use_embedded_fonts":true,"prevent_modified_duration_overlap":true,"modified_duration_gap_ms":120,)"
    R"("default_delay_ticks":0,"minimum_duration_ticks":0,"max_font_cache_size":16},"general":{)"
    R"("auto_extend_duration":true,"skip_errors":50,"max_supported_playback_rate":4.000,)"
    R"("file_stream_read_size":16384,"read_ahead_buffer_enabled":false,"read_ahead_buffer_size":104857600,)"
    R"("fast_seek":true,"fast_seek_clean_audio":true,"fast_seek_smart_stream_switching":true,)"
    R"("keep_metadata_on_media_source_closed":true,"keep_open":true,"queue_max_packets":12,)"
    R"("queue_max_frames":8,"open_timeout_ms":0}})";

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        e = open_media("aac_only.m4a");
        ASSERT_TRUE(e);
    }
    // The text of `group`.`key` in the configuration document (strings unquoted).
    std::string value(const char *group, const char *key) {
        const char *doc = oppb_get_config(e.get());
        json_doc *d = json_read(doc, strlen(doc), 0, nullptr, nullptr);
        EXPECT_TRUE(d) << doc;
        json_val *v = json_obj_get(json_obj_get(json_doc_root(d), group), key);
        std::string text;
        if (json_is_str(v)) {
            text.assign(json_get_str(v), json_get_len(v));
        } else {
            // Number texts as written, found after the key in the document.
            std::string needle = std::string("\"") + key + "\":";
            std::string all = doc;
            size_t at = all.find(needle, all.find(std::string("\"") + group + "\":"));
            size_t from = at + needle.size();
            text = all.substr(from, all.find_first_of(",}", from) - from);
        }
        json_doc_free(d);
        return text;
    }
    Handle e;
};

TEST_F(Config, FreshHandleReportsTheDefaults) { EXPECT_STREQ(oppb_get_config(e.get()), DEFAULTS); }

TEST_F(Config, ValueRulesPerType) {
    struct Case {
        const char *before;  // applied first (may be NULL)
        const char *text;
        const char *group, *key, *expected;
    };
    const Case cases[] = {
        {nullptr, R"({"general":{"queue_max_packets":0}})", "general", "queue_max_packets", "1"},
        {nullptr, R"({"general":{"queue_max_frames":-3}})", "general", "queue_max_frames", "1"},
        {nullptr, R"({"general":{"file_stream_read_size":100}})", "general", "file_stream_read_size", "1024"},
        {nullptr, R"({"video":{"decoder_mode":"hw"}})", "video", "decoder_mode", "1"},
        {nullptr, R"({"video":{"decoder_mode":"sw"}})", "video", "decoder_mode", "2"},
        {nullptr, R"({"video":{"decoder_mode":"off"}})", "video", "decoder_mode", "3"},
        {R"({"video":{"decoder_mode":2}})", R"({"video":{"decoder_mode":"turbo"}})", "video", "decoder_mode", "2"},
        {R"({"video":{"decoder_mode":2}})", R"({"video":{"decoder_mode":"auto"}})", "video", "decoder_mode", "0"},
        {R"({"video":{"decoder_mode":2}})", R"({"video":{"decoder_mode":2.5}})", "video", "decoder_mode", "0"},
        {R"({"video":{"decoder_mode":2}})", R"({"video":{"decoder_mode":true}})", "video", "decoder_mode", "2"},
        {nullptr, R"({"video":{"hdr_support":"none"}})", "video", "hdr_support", "2"},
        {nullptr, R"({"video":{"hdr_support":"always"}})", "video", "hdr_support", "1"},
        {R"({"video":{"hdr_support":2}})", R"({"video":{"hdr_support":"sometimes"}})", "video", "hdr_support", "0"},
        {R"({"video":{"hdr_support":2}})", R"({"video":{"hdr_support":null}})", "video", "hdr_support", "2"},
        {nullptr, R"({"general":{"max_supported_playback_rate":2}})", "general", "max_supported_playback_rate", "0.000"},
        {nullptr, R"({"general":{"max_supported_playback_rate":2.0}})", "general", "max_supported_playback_rate",
         "2.000"},
        {nullptr, R"({"general":{"max_supported_playback_rate":"2.0"}})", "general", "max_supported_playback_rate",
         "4.000"},
        {nullptr, R"({"video":{"frames_per_second_override":23.976}})", "video", "frames_per_second_override",
         "23.976000"},
        {nullptr, R"({"general":{"fast_seek":1}})", "general", "fast_seek", "true"},
        {nullptr, R"({"general":{"fast_seek":false}})", "general", "fast_seek", "false"},
        {nullptr, R"({"subtitles":{"modified_duration_gap_ms":4294967297}})", "subtitles", "modified_duration_gap_ms",
         "1"},
        {nullptr, R"({"subtitles":{"modified_duration_gap_ms":7.5}})", "subtitles", "modified_duration_gap_ms", "0"},
        {nullptr, R"({"subtitles":{"default_delay_ticks":-12345678901}})", "subtitles", "default_delay_ticks",
         "-12345678901"},
        {nullptr, R"({"subtitles":{"max_font_cache_size":"9"}})", "subtitles", "max_font_cache_size", "16"},
        {nullptr, R"({"general":{"skip_errors":1,"skip_errors":2}})", "general", "skip_errors", "1"},
        {nullptr, R"({"general":{"open_timeout_ms":1500},"general":{"open_timeout_ms":9}})", "general",
         "open_timeout_ms", "1500"},
        {nullptr, R"({"Video":{"decoder_mode":3},"video":[]})", "video", "decoder_mode", "0"},
        {nullptr, R"({"audio":{"default_stream_name":"Commentary"}})", "audio", "default_stream_name", "Commentary"},
        {nullptr, R"({"audio":{"default_stream_name":5}})", "audio", "default_stream_name", "Audio Stream"},
        {nullptr, R"({"audio":{"downmix_to_stereo":true}})", "audio", "downmix_to_stereo", "true"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        e = open_media("aac_only.m4a", c.before);
        ASSERT_EQ(oppb_set_config(e.get(), c.text), 0);
        EXPECT_EQ(value(c.group, c.key), c.expected);
    }
}

TEST_F(Config, TextsAreCutToTheirMembers) {
    const std::string name(300, 'n'), filter(600, 'f');
    const std::string text = R"({"video":{"default_stream_name":")" + name + R"(","ffmpeg_video_filters":")" +
                             filter + R"("}})";
    ASSERT_EQ(oppb_set_config(e.get(), text.c_str()), 0);
    EXPECT_EQ(value("video", "default_stream_name"), std::string(127, 'n'));
    EXPECT_EQ(value("video", "ffmpeg_video_filters"), std::string(511, 'f'));
}

TEST_F(Config, FilterTextsClearWhenTheirGroupOmitsThem) {
    ASSERT_EQ(oppb_set_config(e.get(), R"({"video":{"ffmpeg_video_filters":"scale=640:360"},)"
                                       R"("audio":{"ffmpeg_audio_filters":"volume=2"}})"),
              0);
    ASSERT_EQ(oppb_set_config(e.get(), "{}"), 0);
    EXPECT_EQ(value("video", "ffmpeg_video_filters"), "scale=640:360");
    ASSERT_EQ(oppb_set_config(e.get(), R"({"video":{},"audio":{"ffmpeg_audio_filters":7}})"), 0);
    EXPECT_EQ(value("video", "ffmpeg_video_filters"), "");
    EXPECT_EQ(value("audio", "ffmpeg_audio_filters"), "");
}

TEST_F(Config, RefusedTextsChangeNothing) {
    ASSERT_EQ(oppb_set_config(e.get(), R"({"general":{"queue_max_frames":3}})"), 0);
    const std::string before = oppb_get_config(e.get());
    for (const char *text : {"[1,2]", "not json", "{\"video\":", "\"text\"", "{} {}", "{'video':{}}"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(oppb_set_config(e.get(), text), OPPB_ERR_ARG);
        EXPECT_STREQ(oppb_last_error(e.get()), "bad config json");
        EXPECT_EQ(oppb_last_error_code(e.get()), OPPB_ERR_ARG);
        EXPECT_EQ(oppb_get_config(e.get()), before);
    }
    EXPECT_EQ(oppb_set_config(e.get(), nullptr), 0);
    EXPECT_EQ(oppb_set_config(e.get(), ""), 0);
    EXPECT_EQ(oppb_get_config(e.get()), before);
}

TEST_F(Config, TextsAreWrittenAsJsonStrings) {
    const char *tricky = "a\"b\\c\x01/\xc3\xa9";
    std::string text = R"({"video":{"ffmpeg_video_filters":"a\"b\\c\u0001/)" "\xc3\xa9" R"("}})";
    ASSERT_EQ(oppb_set_config(e.get(), text.c_str()), 0);
    EXPECT_NE(std::string(oppb_get_config(e.get())).find(R"("ffmpeg_video_filters":"a\"b\\c\u0001/)" "\xc3\xa9" "\""),
              std::string::npos);
    EXPECT_EQ(value("video", "ffmpeg_video_filters"), tricky);
    // Every control byte in the same long form, the short ones included.
    ASSERT_EQ(oppb_set_config(e.get(), R"({"audio":{"default_stream_name":"\t\n\r\b\f\u001f"}})"), 0);
    EXPECT_NE(std::string(oppb_get_config(e.get())).find(R"("default_stream_name":"\u0009\u000a\u000d\u0008\u000c\u001f")"),
              std::string::npos);
}

// LC_NUMERIC switched to a locale whose decimal separator is a comma for the
// object's lifetime: an installed one, or else one that localedef builds into
// a temporary folder (needs the locale sources of Debian's `locales`).
class CommaLocale {
public:
    CommaLocale() {
        for (const char *name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "fr_FR"})
            if (use(name)) return;
        std::string dir = (std::filesystem::temp_directory_path() / "oppb_locale_XXXXXX").string();
        if (!mkdtemp(dir.data())) return;
        dir_ = dir;
        // -c: write the locale even if localedef has warnings about its sources.
        const std::string make = "localedef -c -i de_DE -f UTF-8 '" + dir_ + "/de_DE.UTF-8' >/dev/null 2>&1";
        if (std::system(make.c_str()) < 0) return;
        setenv("LOCPATH", dir_.c_str(), 1);
        use("de_DE.UTF-8");
    }
    ~CommaLocale() {
        setlocale(LC_NUMERIC, "C");
        if (dir_.empty()) return;
        unsetenv("LOCPATH");
        std::filesystem::remove_all(dir_);
    }
    bool active() const { return active_; }

private:
    bool use(const char *name) {
        if (!setlocale(LC_NUMERIC, name)) return false;
        char text[8];
        snprintf(text, sizeof text, "%.1f", 1.5);
        active_ = strcmp(text, "1,5") == 0;
        if (!active_) setlocale(LC_NUMERIC, "C");
        return active_;
    }
    std::string dir_;
    bool active_ = false;
};

TEST(Documents, NumbersIgnoreTheProcessLocale) {
    Handle e = open_media("h264_movtext.mp4", R"({"general":{"max_supported_playback_rate":1.5},)"
                                              R"("video":{"frames_per_second_override":29.97}})");
    ASSERT_TRUE(e);
    CommaLocale comma;
    if (!comma.active())
        GTEST_SKIP() << "no decimal-comma locale: none installed, and localedef could not build de_DE.UTF-8 "
                        "(install Debian's locales package)";
    const std::string config = oppb_get_config(e.get()), info = oppb_info_json(e.get());
    EXPECT_NE(config.find("\"max_supported_playback_rate\":1.500,"), std::string::npos) << config;
    EXPECT_NE(config.find("\"frames_per_second_override\":29.970000}"), std::string::npos) << config;
    EXPECT_NE(info.find("\"fps\":29.970000,"), std::string::npos) << info;
    EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "fps"), "29.970000");
    for (const std::string &doc : {config, info}) {
        json_doc *d = json_read(doc.data(), doc.size(), 0, nullptr, nullptr);
        EXPECT_TRUE(json_is_obj(json_doc_root(d))) << doc;
        json_doc_free(d);
    }
}

TEST_F(Config, OpenAppliesItsTextAndIgnoresAnUnreadableOne) {
    Handle tuned = open_media("aac_only.m4a", R"({"general":{"queue_max_packets":3,"open_timeout_ms":-1}})");
    ASSERT_TRUE(tuned);
    EXPECT_NE(std::string(oppb_get_config(tuned.get())).find("\"queue_max_packets\":3,"), std::string::npos);
    Handle plain = open_media("aac_only.m4a", "{not json");
    ASSERT_TRUE(plain);
    EXPECT_STREQ(oppb_get_config(plain.get()), DEFAULTS);
}

TEST_F(Config, NullHandleAndExhaustedMemory) {
    EXPECT_EQ(oppb_set_config(nullptr, "{}"), OPPB_ERR_ARG);
    EXPECT_STREQ(oppb_get_config(nullptr), "");
    Handle fresh = open_media("aac_only.m4a");
    xalloc_fail_at(1);
    EXPECT_STREQ(oppb_get_config(fresh.get()), "");
    xalloc_fail_at(1);
    EXPECT_EQ(oppb_set_config(fresh.get(), R"({"general":{"keep_open":false}})"), OPPB_ERR_NOMEM);
    xalloc_fail_at(0);
    EXPECT_STREQ(oppb_last_error(fresh.get()), "out of memory");
    EXPECT_STREQ(oppb_get_config(fresh.get()), DEFAULTS);
}
