// Command table, error texts, levels and the warning list.
#include <cstring>

#include "oprc_test_util.h"

TEST_F(Oprc, LoadTimeStateAndTexts) {
    EXPECT_EQ(oprc_command_count(), 41);
    EXPECT_EQ(oprc_negotiated_level(), 0);
    EXPECT_STREQ(oprc_last_error(), "OK");
    EXPECT_EQ(oprc_last_error(), g_err);
    EXPECT_EQ(oprc_command(), -1);
    EXPECT_EQ(oprc_contract_level(), 0);
    EXPECT_EQ(oprc_last_peer(), -1);
    EXPECT_EQ(oprc_last_peer_count(), 1);
}

TEST_F(Oprc, CommandNamesAndIds) {
    const char *expected[] = {
        "TogglePlayPause", "Play", "Pause", "Stop", "Record", "FastForward", "Rewind", "Next", "Previous",
        "ChannelUp", "ChannelDown", "PlayList", "FavoritesFolders", "FavoritesFiles", "RecentFiles", "OpenId",
        "OpenFolder", "Ping", "GoBack", "CurrentState", "Progress", "Seek", "AudioTracks", "SubtitleTracks",
        "Volume", "SetSubtitleTrack", "SetAudioTrack", "SetVolume", "ToggleMuted", "Restart", "Open", "Lock",
        "Rate", "FullScreen", "DetailView", "Decode", "Effect", "StartCast", "StopCast", "LoadSubtitle", "PlayUri",
    };
    for (unsigned id = 0; id < 41; id++) {
        EXPECT_STREQ(oprc_command_name(id), expected[id]);
        EXPECT_EQ(oprc_command_id(expected[id]), int(id));
    }
    EXPECT_EQ(oprc_command_name(41), nullptr);
    EXPECT_EQ(oprc_command_name(unsigned(-1)), nullptr);
    EXPECT_EQ(oprc_command_id("playuri"), 40);
    EXPECT_EQ(oprc_command_id("PLAY"), 1);
    EXPECT_EQ(oprc_command_id("Play "), -1);
    EXPECT_EQ(oprc_command_id(""), -1);
    EXPECT_EQ(oprc_command_id(nullptr), -1);
    // Neither touches the error text.
    set_err(OPRC_ERR_JSON);
    oprc_command_name(99);
    oprc_command_id("nope");
    EXPECT_EQ(last_error(), "ERR_JSON");
}

TEST_F(Oprc, ErrorTextsAreTheCodeNames) {
    const char *expected[] = {"OK", "ERR_INVALID_ARG", "ERR_INFLATE", "ERR_BOMB", "ERR_JSON",
                              "ERR_UNKNOWN_COMMAND", "ERR_TOO_LARGE", "ERR_UNAUTHENTICATED", "ERR_PEER_REJECTED",
                              "ERR_NOT_ARMED", "ERR_BIND", "ERR_TIMEOUT", "ERR_OOM", "ERR_PROTOCOL",
                              "ERR_REPLAY", "ERR_FRAGMENT", "ERR_PAIRING"};
    for (unsigned code = 0; code <= 16; code++) {
        EXPECT_EQ(set_err(code), int(code));
        EXPECT_STREQ(oprc_last_error(), expected[code]);
    }
    EXPECT_EQ(set_err(17), 16);
    EXPECT_STREQ(oprc_last_error(), "ERR_PAIRING");
    EXPECT_EQ(set_err(~0u), 16);
}

TEST_F(Oprc, AllowLegacyStoresTheFlagAsGiven) {
    oprc_allow_legacy(7);
    EXPECT_EQ(g_allow_legacy, 7);
    oprc_allow_legacy(0);
    EXPECT_EQ(g_allow_legacy, 0);
}

TEST_F(Oprc, WarningListKeeps32CutOnCharacters) {
    for (int i = 0; i < 40; i++) warn("warning %d", i);
    EXPECT_EQ(oprc_warning_count(), 32);
    EXPECT_STREQ(oprc_warning(31), "warning 31");
    EXPECT_STREQ(oprc_warning(32), "");
    EXPECT_STREQ(oprc_warning(-1), "");
    oprc_warnings_clear();
    EXPECT_EQ(oprc_warning_count(), 0);
    EXPECT_STREQ(oprc_warning(0), "");

    // 94 ASCII bytes then a two-byte character: the cut at 95 bytes drops the whole character.
    warn("%s\xC3\xA9tail", std::string(94, 'a').c_str());
    EXPECT_EQ(std::string(oprc_warning(0)), std::string(94, 'a'));
    warn("%s", std::string(200, 'b').c_str());
    EXPECT_EQ(std::strlen(oprc_warning(1)), 95u);
}

TEST_F(Oprc, ContractLevelOnlyForIntegers) {
    struct {
        const char *json;
        int64_t level;
    } cases[] = {
        {R"({"Command":17,"ContractLevel":3})", 3},
        {R"({"Command":17,"ContractLevel":-4})", -4},
        {R"({"Command":17,"ContractLevel":"3"})", 0},
        {R"({"Command":17,"ContractLevel":2.0})", 0},
        {R"({"Command":17})", 0},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(decode(c.json), 0) << c.json;
        EXPECT_EQ(oprc_contract_level(), c.level) << c.json;
    }
}
