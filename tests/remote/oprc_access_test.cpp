// Accessors of the current message, kind by kind.
#include <cstring>

#include "oprc_test_util.h"

namespace {

// Decodes {"Command":17, <members>}.
void message(const std::string &members) {
    const std::string json = R"({"Command":17)" + (members.empty() ? "" : "," + members) + "}";
    ASSERT_EQ(decode(json), OPRC_OK) << json;
}

}  // namespace

TEST_F(Oprc, NoMessageAnswersAsAbsent) {
    EXPECT_EQ(oprc_state(), -1);
    EXPECT_EQ(oprc_position(), 0u);
    EXPECT_EQ(oprc_volume_permille(), -1);
    EXPECT_EQ(oprc_is_muted(), -1);
    EXPECT_EQ(oprc_uri(), nullptr);
    EXPECT_EQ(oprc_progress_present(), 0);
    EXPECT_EQ(oprc_progress_duration_ms(), -1);
    EXPECT_EQ(oprc_playlist_count(), 0);
    EXPECT_EQ(oprc_playlist_field(0, "Name"), nullptr);
    EXPECT_EQ(oprc_folder_has_subfolder(0), -1);
    EXPECT_EQ(oprc_item_field("Name"), nullptr);
    EXPECT_EQ(oprc_effect_status_field(0, "IsOn"), nullptr);
    EXPECT_EQ(oprc_decode_status_field("SystemDecodeForFile"), -1);
}

TEST_F(Oprc, IntegerBooleanAndPermilleKinds) {
    struct {
        const char *value;
        int integer, boolean, permille;
    } cases[] = {
        {"7", 7, 1, 7000},
        {"0", 0, 0, 0},
        {"-3", -3, 1, -3000},
        {"4294967297", 1, 1, 2147483647},  // cut to 32 bits; permille saturates
        {"3.0", 0, 0, 3000},
        {"0.5", 0, 0, 500},
        {"1.25", 0, 0, 1250},
        {"-0.0125", 0, 0, -13},
        {"0.0004", 0, 0, 0},
        {"-1e300", 0, 0, -2147483647 - 1},
        {"1e300", 0, 0, 2147483647},
        {"true", -1, 1, -1},
        {"false", -1, 0, -1},
        {"\"5\"", -1, -1, -1},
        {"null", -1, -1, -1},
        {"[1]", -1, -1, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        message(std::string("\"State\":") + c.value + ",\"IsMuted\":" + c.value + ",\"Volume\":" + c.value);
        EXPECT_EQ(oprc_state(), c.integer);
        EXPECT_EQ(oprc_is_muted(), c.boolean);
        EXPECT_EQ(oprc_volume_permille(), c.permille);
    }
    message(R"("Volume":0.5,"IsMuted":1,"Rate":1.25,"IsLocked":true,"IsFullScreen":false,"Unlock":false,)"
            R"("Open":3,"Effect":-2,"Decode":9)");
    EXPECT_EQ(oprc_volume_permille(), 500);
    EXPECT_EQ(oprc_rate_permille(), 1250);
    EXPECT_EQ(oprc_is_muted(), 1);
    EXPECT_EQ(oprc_is_locked(), 1);
    EXPECT_EQ(oprc_is_fullscreen(), 0);
    EXPECT_EQ(oprc_unlock_tristate(), 0);
    EXPECT_EQ(oprc_open_id(), 3);
    EXPECT_EQ(oprc_effect_id(), -2);
    EXPECT_EQ(oprc_decode_id(), 9);
    message("");
    EXPECT_EQ(oprc_unlock_tristate(), -1);
    EXPECT_EQ(oprc_rate_permille(), -1);
}

TEST_F(Oprc, PositionIsUnsignedAndSaturates) {
    struct {
        const char *value;
        uint64_t position;
    } cases[] = {
        {"12345", 12345},
        {"12.9", 12},
        {"-1", 0},
        {"-0.5", 0},
        {"\"5\"", 0},
        {"9007199254740993", 9007199254740992},  // read through a double
        {"18446744073709551615", UINT64_MAX},     // 2^64 as a double
        {"1e30", UINT64_MAX},
    };
    for (const auto &c : cases) {
        message(std::string("\"Position\":") + c.value);
        EXPECT_EQ(oprc_position(), c.position) << c.value;
    }
}

TEST_F(Oprc, TextKind) {
    message(R"("Uri":"a\"b\u00e9","IMDbID":null,"Poster":42,"DeivceCode":{"x":[true,1.5]})");
    EXPECT_EQ(str_or_null(oprc_uri()), "a\"b\xC3\xA9");
    EXPECT_EQ(oprc_imdb_id(), nullptr);
    EXPECT_EQ(str_or_null(oprc_poster()), "42");
    EXPECT_EQ(str_or_null(oprc_device_code()), R"({"x":[true,1.5]})");
    // Long texts are cut at 8,191 bytes, never inside a character.
    message("\"Uri\":\"" + std::string(8190, 'a') + "\xC3\xA9" + "\"");
    EXPECT_EQ(std::strlen(oprc_uri()), 8190u);
    message("\"Uri\":\"" + std::string(9000, 'b') + "\"");
    EXPECT_EQ(std::strlen(oprc_uri()), 8191u);
}

TEST_F(Oprc, TimeSpans) {
    struct {
        const char *text;
        int64_t ms;
    } cases[] = {
        {"0.00:01:05.1230000", 65123},
        {"00:01:05", 65000},
        {"1.02:03:04.5", 93784500},
        {"-00:00:01.25", -1250},
        {"-0.00:00:00.0010000", -1},
        {"1.01:01:01.0010000", 90061001},
        {"99:59:59", 359999000},
        {"00:01:05.", 65000},
        {"00:01:05xyz", 65000},
        {"00:00:00.12345678", 123},  // digits below the seventh are below the format's precision
        {"100:00:00", -1},
        {"00:60:00", -1},
        {"00:00:60", -1},
        {"00:-5:00", -1},
        {"00:01", -1},
        {"", -1},
        {"-", -1},
        {"x.00:00:01", -1},
        {"106751991168.00:00:00", -1},  // beyond 64 bits of milliseconds
        {"99999999999999999999.00:00:00", -1},
        {"106751991167.00:00:00", 106751991167LL * 86400000},
    };
    for (const auto &c : cases) {
        message(std::string(R"("Progress":{"Duration":")") + c.text + R"(","Current":5})");
        EXPECT_EQ(oprc_progress_duration_ms(), c.ms) << c.text;
        EXPECT_EQ(oprc_progress_current_ms(), -1);  // a number has no colons
    }
    message(R"("Progress":{"Duration":"00:00:01","CurrentTime":"0:01","RemainTime":"-1:00"})");
    EXPECT_EQ(oprc_progress_present(), 1);
    EXPECT_EQ(oprc_progress_current_ms(), -1);
    EXPECT_EQ(str_or_null(oprc_progress_current_text()), "0:01");
    EXPECT_EQ(str_or_null(oprc_progress_remain_text()), "-1:00");
    message(R"("Progress":"00:00:01")");
    EXPECT_EQ(oprc_progress_present(), 0);
    EXPECT_EQ(oprc_progress_duration_ms(), -1);
}

TEST_F(Oprc, ListsAndElements) {
    message(R"("PlayList":[{"Name":"a","IMDb":{"Title":"T","Year":1999}},{"Name":"b"},3],)"
            R"("Recents":[{"Path":"/x"}],)"
            R"("Folders":[{"Name":"Films","HasSubFolder":true},{"Name":"TV","HasSubFolder":1}],)"
            R"("AudioTracks":[{"DisplayName":"English","Index":1},{"DisplayName":"French","Index":2.0}],)"
            R"("SubtitleTracks":[{"DisplayName":"Off","Index":-1}],)"
            R"("EffectStatus":[{"Effect":4,"IsOn":true},{"Effect":2.5,"IsOn":1},{"Effect":"x","Note":"n"}],)"
            R"("Item":{"Name":"i","IMDb":{"imdbID":"tt1"}},"Folder":{"Path":"/f"},)"
            R"("AudioTrack":{"DisplayName":"English","Index":1},"SubtitleTrack":{"DisplayName":"Off"},)"
            R"("DecodeStatus":{"SystemDecodeForFile":true,"ForceDecodeVideoForFile":false,"ForceDecodeAudioForFile":1})");
    EXPECT_EQ(oprc_playlist_count(), 3);
    EXPECT_EQ(str_or_null(oprc_playlist_field(0, "IMDb.Title")), "T");
    EXPECT_EQ(str_or_null(oprc_playlist_field(0, "IMDb.Year")), "1999");
    EXPECT_EQ(str_or_null(oprc_playlist_field(0, "IMDb")), R"({"Title":"T","Year":1999})");
    EXPECT_EQ(oprc_playlist_field(1, "IMDb.Title"), nullptr);
    EXPECT_EQ(str_or_null(oprc_playlist_field(1, "Name")), "b");
    EXPECT_EQ(oprc_playlist_field(2, "Name"), nullptr);  // not an object
    EXPECT_EQ(oprc_playlist_field(3, "Name"), nullptr);
    EXPECT_EQ(oprc_playlist_field(-1, "Name"), nullptr);
    EXPECT_EQ(oprc_playlist_field(0, nullptr), nullptr);
    EXPECT_EQ(oprc_recents_count(), 1);
    EXPECT_EQ(str_or_null(oprc_recents_field(0, "Path")), "/x");
    EXPECT_EQ(oprc_folders_count(), 2);
    EXPECT_EQ(str_or_null(oprc_folder_name(1)), "TV");
    EXPECT_EQ(oprc_folder_has_subfolder(0), 1);
    EXPECT_EQ(oprc_folder_has_subfolder(1), -1);
    EXPECT_EQ(oprc_folder_has_subfolder(2), -1);
    EXPECT_EQ(oprc_audio_track_count(), 2);
    EXPECT_EQ(str_or_null(oprc_audio_track_name(1)), "French");
    EXPECT_EQ(oprc_audio_track_index(0), 1);
    EXPECT_EQ(oprc_audio_track_index(1), 0);
    EXPECT_EQ(oprc_audio_track_index(2), -1);
    EXPECT_EQ(oprc_subtitle_track_count(), 1);
    EXPECT_EQ(str_or_null(oprc_subtitle_track_name(0)), "Off");
    EXPECT_EQ(oprc_subtitle_track_index(0), -1);
    EXPECT_EQ(oprc_effect_status_count(), 3);
    EXPECT_EQ(str_or_null(oprc_effect_status_field(0, "IsOn")), "true");
    EXPECT_EQ(str_or_null(oprc_effect_status_field(0, "Effect")), "4");
    EXPECT_EQ(oprc_effect_status_field(1, "IsOn"), nullptr);
    EXPECT_EQ(str_or_null(oprc_effect_status_field(1, "Effect")), "0");
    EXPECT_EQ(oprc_effect_status_field(2, "Effect"), nullptr);
    EXPECT_EQ(str_or_null(oprc_effect_status_field(2, "Note")), "n");
    EXPECT_EQ(str_or_null(oprc_item_field("IMDb.imdbID")), "tt1");
    EXPECT_EQ(str_or_null(oprc_item_field("Name")), "i");
    EXPECT_EQ(str_or_null(oprc_folder_field("Path")), "/f");
    EXPECT_EQ(oprc_folder_field("IMDb.x"), nullptr);
    EXPECT_EQ(str_or_null(oprc_audio_track_field("Index")), "1");
    EXPECT_EQ(str_or_null(oprc_subtitle_track_field("DisplayName")), "Off");
    EXPECT_EQ(oprc_decode_status_field("SystemDecodeForFile"), 1);
    EXPECT_EQ(oprc_decode_status_field("ForceDecodeVideoForFile"), 0);
    EXPECT_EQ(oprc_decode_status_field("ForceDecodeAudioForFile"), -1);
    EXPECT_EQ(oprc_decode_status_field(nullptr), -1);

    message(R"("PlayList":{"Name":"a"},"Item":[1])");
    EXPECT_EQ(oprc_playlist_count(), 0);
    EXPECT_EQ(oprc_playlist_field(0, "Name"), nullptr);
    EXPECT_EQ(oprc_item_field("Name"), nullptr);
}

TEST_F(Oprc, RefusedDatagramKeepsTheMessageReadable) {
    oprc_set_shared_secret("s");
    ASSERT_EQ(decode(tagged("s", R"({"Command":"Seek","Position":99,"Uri":"keep"})")), OPRC_OK);
    EXPECT_EQ(decode(tagged("t", R"({"Command":"Play"})")), OPRC_ERR_UNAUTHENTICATED);
    EXPECT_EQ(oprc_command(), 21);
    EXPECT_EQ(oprc_position(), 99u);
    EXPECT_EQ(str_or_null(oprc_uri()), "keep");
}
