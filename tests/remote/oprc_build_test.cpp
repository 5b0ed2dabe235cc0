// Reply builder: member order, fields, lists, escaping, limits and framing.
#include <cstring>
#include <vector>

#include "oprc_test_util.h"

TEST_F(Oprc, ReplyInItsFixedOrder) {
    ASSERT_EQ(oprc_build_begin(17), OPRC_OK);
    EXPECT_EQ(oprc_build_add_audio_track("a", 1), OPRC_OK);
    EXPECT_EQ(oprc_build_set_progress(900, 0, nullptr, nullptr), OPRC_OK);
    EXPECT_EQ(oprc_build_set_i64("Volume", 40), OPRC_OK);
    EXPECT_EQ(oprc_build_set_bool("IsMuted", 0), OPRC_OK);
    EXPECT_EQ(finish(), R"({"Command":17,"Volume":40,"IsMuted":false,)"
                        R"("Progress":{"Duration":"0.00:00:00.9000000","Current":"0.00:00:00.0000000"},)"
                        R"("AudioTracks":[{"DisplayName":"a","Index":1}]})");
}

TEST_F(Oprc, EveryPartOfAReply) {
    ASSERT_EQ(oprc_build_begin(19), OPRC_OK);
    EXPECT_EQ(oprc_build_set_subtitle_track("Off", -1), OPRC_OK);
    EXPECT_EQ(oprc_build_set_audio_track("English", 1), OPRC_OK);
    EXPECT_EQ(oprc_build_set_decode_status(1, 0, 7), OPRC_OK);
    EXPECT_EQ(oprc_build_add_effect_status(3, 1), OPRC_OK);
    EXPECT_EQ(oprc_build_add_effect_status(4, 0), OPRC_OK);
    EXPECT_EQ(oprc_build_add_subtitle_track("Off", -1), OPRC_OK);
    EXPECT_EQ(oprc_build_add_audio_track("English", 1), OPRC_OK);
    EXPECT_EQ(oprc_build_add_folder("Films", 1), OPRC_OK);
    EXPECT_EQ(oprc_build_add_folder("TV", 0), OPRC_OK);
    EXPECT_EQ(oprc_build_add_recents_item(R"({"Path":"/r"})"), OPRC_OK);
    EXPECT_EQ(oprc_build_add_playlist_item(R"({"Name":"p"})"), OPRC_OK);
    EXPECT_EQ(oprc_build_add_recents_item("{}"), OPRC_OK);
    EXPECT_EQ(oprc_build_set_progress(90061001, -1, "1:00", "2:00"), OPRC_OK);
    EXPECT_EQ(oprc_build_set_unlock(1), OPRC_OK);
    EXPECT_EQ(oprc_build_set_folder_json(R"({"Path":"/f"})"), OPRC_OK);
    EXPECT_EQ(oprc_build_set_item_json(R"({"Name":"i"})"), OPRC_OK);
    EXPECT_EQ(oprc_build_set_str("Poster", "p.jpg"), OPRC_OK);
    EXPECT_EQ(finish(),
              R"({"Command":19,"Folder":{"Path":"/f"},"Item":{"Name":"i"},"Poster":"p.jpg","Unlock":true,)"
              R"("Progress":{"Duration":"1.01:01:01.0010000","Current":"-0.00:00:00.0010000",)"
              R"("CurrentTime":"1:00","RemainTime":"2:00"},)"
              R"("PlayList":[{"Name":"p"}],"Recents":[{"Path":"/r"},{}],)"
              R"("Folders":[{"Name":"Films","HasSubFolder":true},{"Name":"TV","HasSubFolder":false}],)"
              R"("AudioTracks":[{"DisplayName":"English","Index":1}],)"
              R"("SubtitleTracks":[{"DisplayName":"Off","Index":-1}],)"
              R"("EffectStatus":[{"Effect":3,"IsOn":true},{"Effect":4,"IsOn":false}],)"
              R"("DecodeStatus":{"ForceDecodeVideoForFile":true,"ForceDecodeAudioForFile":false,"SystemDecodeForFile":true},)"
              R"("AudioTrack":{"DisplayName":"English","Index":1},"SubtitleTrack":{"DisplayName":"Off","Index":-1}})");
    // The decoder reads what the builder writes.
    const std::string reply = finish();
    ASSERT_EQ(decode(reply), OPRC_OK);
    EXPECT_EQ(oprc_progress_duration_ms(), 90061001);
    EXPECT_EQ(oprc_progress_current_ms(), -1);
    EXPECT_EQ(str_or_null(oprc_item_field("Name")), "i");
    EXPECT_EQ(oprc_recents_count(), 2);
    EXPECT_EQ(oprc_unlock_tristate(), 1);
    EXPECT_EQ(std::string(oprc_result_json()), reply);
}

TEST_F(Oprc, InactiveBuilderRefusesEverything) {
    EXPECT_EQ(oprc_build_begin(41), OPRC_ERR_INVALID_ARG);
    char buf[64];
    size_t len;
    const std::vector<int> results = {
        oprc_build_set_str("a", "b"),       oprc_build_set_i64("a", 1),       oprc_build_set_bool("a", 1),
        oprc_build_set_unlock(0),           oprc_build_set_item_json("{}"),  oprc_build_set_folder_json("{}"),
        oprc_build_set_progress(1, 1, 0, 0), oprc_build_add_playlist_item("{}"), oprc_build_add_recents_item("{}"),
        oprc_build_add_folder("f", 0),      oprc_build_add_audio_track("a", 0), oprc_build_add_subtitle_track("s", 0),
        oprc_build_set_audio_track("a", 0), oprc_build_set_subtitle_track("s", 0), oprc_build_add_effect_status(1, 1),
        oprc_build_set_decode_status(1, 1, 1), oprc_build_finish(buf, sizeof buf, &len),
    };
    for (int rc : results) EXPECT_EQ(rc, OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_build_size_estimate(), 0u);
    EXPECT_EQ(last_error(), "ERR_INVALID_ARG");

    ASSERT_EQ(oprc_build_begin(0), OPRC_OK);
    EXPECT_EQ(last_error(), "OK");
    for (int rc : {oprc_build_set_str(nullptr, "v"), oprc_build_set_i64(nullptr, 1), oprc_build_set_item_json(nullptr),
                   oprc_build_add_folder(nullptr, 1), oprc_build_add_playlist_item(nullptr),
                   oprc_build_finish(nullptr, 10, &len), oprc_build_finish(buf, 0, &len),
                   oprc_build_finish(buf, sizeof buf, nullptr), oprc_build_set_unlock(2)})
        EXPECT_EQ(rc, OPRC_ERR_INVALID_ARG);
}

TEST_F(Oprc, FieldSlots) {
    ASSERT_EQ(oprc_build_begin(24), OPRC_OK);
    oprc_build_set_i64("Volume", 1);
    oprc_build_set_i64("Volume", 2);
    oprc_build_set_str("Volume", "loud");
    EXPECT_EQ(finish(), R"({"Command":24,"Volume":2,"Volume":"loud"})");

    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    oprc_build_set_i64("A", 1);
    oprc_build_set_str("B", "x");
    EXPECT_EQ(oprc_build_set_str("A", nullptr), OPRC_OK);  // no string "A": nothing removed
    EXPECT_EQ(finish(), R"({"Command":1,"A":1,"B":"x"})");
    oprc_build_set_str("B", nullptr);
    oprc_build_set_bool("C", 5);
    EXPECT_EQ(finish(), R"({"Command":1,"A":1,"C":true})");  // C takes the slot B freed
    oprc_build_set_str("D", "d");
    EXPECT_EQ(finish(), R"({"Command":1,"A":1,"C":true,"D":"d"})");

    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    for (int i = 0; i < 64; i++) ASSERT_EQ(oprc_build_set_i64(("k" + std::to_string(i)).c_str(), i), OPRC_OK);
    EXPECT_EQ(oprc_build_set_i64("k64", 1), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_build_set_i64("k5", 50), OPRC_OK);  // replacing needs no free slot
    oprc_build_set_unlock(-1);
    EXPECT_EQ(finish().find("Unlock"), std::string::npos);
}

TEST_F(Oprc, TextsAreEscaped) {
    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    oprc_build_set_str("Uri", "q\"t\tc\x01 /\x7F\\\b\f\n\r\xC3\xA9");
    EXPECT_EQ(finish(), "{\"Command\":1,\"Uri\":\"q\\\"t\\tc\\u0001 /\x7F\\\\\\b\\f\\n\\r\xC3\xA9\"}");

    // Keys and progress texts are escaped too, so no text can add members of its own.
    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    oprc_build_set_i64(R"(x","Command":30,"y)", 1);
    oprc_build_set_progress(0, 0, "a\"b", "c\\");
    const std::string reply = finish();
    EXPECT_EQ(reply, R"({"Command":1,"x\",\"Command\":30,\"y":1,)"
                     R"("Progress":{"Duration":"0.00:00:00.0000000","Current":"0.00:00:00.0000000",)"
                     R"("CurrentTime":"a\"b","RemainTime":"c\\"}})");
    ASSERT_EQ(decode(reply), OPRC_OK);
    EXPECT_EQ(oprc_command(), 1);
}

TEST_F(Oprc, TextLimitsCutOnCharacters) {
    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    // A value is escaped up to 4,094 bytes: the walk stops once 4,089 are out.
    oprc_build_set_str("v", std::string(5000, 'a').c_str());
    EXPECT_EQ(finish(), R"({"Command":1,"v":")" + std::string(4089, 'a') + "\"}");
    oprc_build_set_str("v", (std::string(4088, 'a') + "\xE2\x82\xAC").c_str());
    EXPECT_EQ(finish(), R"({"Command":1,"v":")" + std::string(4088, 'a') + "\"}");
    oprc_build_set_str("v", (std::string(4087, 'a') + "\x01").c_str());
    EXPECT_EQ(finish(), R"({"Command":1,"v":")" + std::string(4087, 'a') + "\\u0001\"}");

    // Keys are stored up to 4,095 bytes and written whole, whichever setter took them.
    const std::string long_key = std::string(4094, 'k') + "\xC3\xA9" + "more";
    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    EXPECT_EQ(oprc_build_set_i64(long_key.c_str(), 1), OPRC_OK);
    EXPECT_EQ(oprc_build_set_bool((std::string(5000, 'b')).c_str(), 1), OPRC_OK);
    EXPECT_EQ(oprc_build_set_i64(std::string(4094, 'k').c_str(), 2), OPRC_OK);  // the same key once cut
    EXPECT_EQ(finish(), R"({"Command":1,")" + std::string(4094, 'k') + R"(":2,")" + std::string(4095, 'b') + R"(":true})");

    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    oprc_build_add_folder((std::string(158, 'f') + "\xC3\xA9").c_str(), 0);
    oprc_build_set_progress(0, 0, std::string(300, 'c').c_str(), nullptr);
    const std::string reply = finish();
    EXPECT_NE(reply.find("\"Name\":\"" + std::string(158, 'f') + "\""), std::string::npos);
    EXPECT_NE(reply.find("\"CurrentTime\":\"" + std::string(255, 'c') + "\""), std::string::npos);
}

TEST_F(Oprc, RawJsonTextsAreNeverCut) {
    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    const std::string fits = R"({"a":")" + std::string(4095 - 8, 'x') + "\"}";
    ASSERT_EQ(fits.size(), 4095u);
    EXPECT_EQ(oprc_build_set_item_json(fits.c_str()), OPRC_OK);
    const std::string too_long = R"({"a":")" + std::string(4096 - 8, 'x') + "\"}";
    EXPECT_EQ(oprc_build_set_item_json(too_long.c_str()), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_build_set_folder_json(too_long.c_str()), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_build_set_str("__Item__", too_long.c_str()), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_build_add_recents_item(too_long.c_str()), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_build_add_recents_item(fits.c_str()), OPRC_OK);
    const std::string reply = finish();
    ASSERT_EQ(decode(reply), OPRC_OK);  // what was accepted is still valid JSON
    EXPECT_EQ(std::strlen(oprc_item_field("a")), 4087u);
}

TEST_F(Oprc, PlaylistItems) {
    ASSERT_EQ(oprc_build_begin(11), OPRC_OK);
    EXPECT_EQ(oprc_build_add_playlist_item("[1]"), OPRC_ERR_JSON);
    EXPECT_EQ(oprc_build_add_playlist_item("{"), OPRC_ERR_JSON);
    EXPECT_EQ(oprc_build_add_playlist_item("{\"a\":1,}"), OPRC_ERR_JSON);
    EXPECT_EQ(oprc_build_add_playlist_item("{}"), OPRC_OK);
    EXPECT_EQ(oprc_build_add_playlist_item(
                  R"({ "Name" : "n\u0001", "IMDb" : {"Title":"T","Plot":"long","imdbRating":"8.1","Ratings":[{"S":1}]},)"
                  R"( "n" : 1.50, "x":{"IMDb":{"Plot":1}}, "IMDb" : 5 })"),
              OPRC_OK);
    EXPECT_EQ(finish(), R"({"Command":11,"PlayList":[{},{"Name":"n\u0001","IMDb":{"Title":"T","imdbRating":"8.1",)"
                        R"("Ratings":[{"S":1}]},"n":1.5,"x":{"IMDb":{"Plot":1}},"IMDb":5}]})");
    // Keys inside items are escaped like every other key.
    EXPECT_EQ(oprc_build_add_playlist_item(R"({"a\"b":"\u00e9"})"), OPRC_OK);
    EXPECT_NE(finish().find(R"({"a\"b":"é"})"), std::string::npos);

    // The rewritten item must fit 4,094 bytes.
    ASSERT_EQ(oprc_build_begin(11), OPRC_OK);
    const std::string body = std::string(4094 - 8, 'x');
    EXPECT_EQ(oprc_build_add_playlist_item((R"({"a":")" + body + "\"}").c_str()), OPRC_OK);
    EXPECT_EQ(oprc_build_add_playlist_item((R"({"a":")" + body + "x\"}").c_str()), OPRC_ERR_JSON);

    // Items and recents share 1,024 places.
    ASSERT_EQ(oprc_build_begin(11), OPRC_OK);
    for (int i = 0; i < 512; i++) ASSERT_EQ(oprc_build_add_playlist_item("{}"), OPRC_OK);
    for (int i = 0; i < 512; i++) ASSERT_EQ(oprc_build_add_recents_item("{}"), OPRC_OK);
    EXPECT_EQ(oprc_build_add_recents_item("{}"), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_build_add_playlist_item("{}"), OPRC_ERR_INVALID_ARG);

    ASSERT_EQ(oprc_build_begin(11), OPRC_OK);
    oprc_build_add_recents_item("{}");
    EXPECT_EQ(finish(), R"({"Command":11,"Recents":[{}]})");
}

TEST_F(Oprc, ListCapacities) {
    ASSERT_EQ(oprc_build_begin(12), OPRC_OK);
    for (int i = 0; i < 1024; i++) ASSERT_EQ(oprc_build_add_folder("f", i & 1), OPRC_OK);
    EXPECT_EQ(oprc_build_add_folder("f", 0), OPRC_ERR_INVALID_ARG);
    for (int i = 0; i < 256; i++) ASSERT_EQ(oprc_build_add_audio_track("a", i), OPRC_OK);
    EXPECT_EQ(oprc_build_add_audio_track("a", 0), OPRC_ERR_INVALID_ARG);
    for (int i = 0; i < 256; i++) ASSERT_EQ(oprc_build_add_subtitle_track("s", i), OPRC_OK);
    EXPECT_EQ(oprc_build_add_subtitle_track("s", 0), OPRC_ERR_INVALID_ARG);
    for (int i = 0; i < 64; i++) ASSERT_EQ(oprc_build_add_effect_status(i, 1), OPRC_OK);
    EXPECT_EQ(oprc_build_add_effect_status(0, 0), OPRC_ERR_INVALID_ARG);
    ASSERT_EQ(decode(finish()), OPRC_OK);
    EXPECT_EQ(oprc_folders_count(), 1024);
    EXPECT_EQ(oprc_subtitle_track_index(255), 255);
}

TEST_F(Oprc, FinishNeedsRoomForTheNul) {
    ASSERT_EQ(oprc_build_begin(17), OPRC_OK);
    oprc_build_set_str("Uri", "abc");
    const std::string reply = finish();
    std::vector<char> buf(reply.size() + 1, '#');
    size_t len = 12345;
    EXPECT_EQ(oprc_build_finish(buf.data(), reply.size(), &len), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(len, 12345u);
    EXPECT_EQ(oprc_build_finish(buf.data(), reply.size() + 1, &len), OPRC_OK);
    EXPECT_EQ(len, reply.size());
    EXPECT_EQ(std::string(buf.data()), reply);
    EXPECT_EQ(last_error(), "OK");
}

TEST_F(Oprc, SizeEstimateIsTheCompressionBoundPlusTag) {
    ASSERT_EQ(oprc_build_begin(17), OPRC_OK);
    size_t n = finish().size();  // 14 bytes
    EXPECT_EQ(oprc_build_size_estimate(), 128 + n + 5 + 32);
    std::string big(40000, 'v');
    for (int i = 0; i < 64; i++) oprc_build_set_str(("k" + std::to_string(i)).c_str(), big.c_str());
    n = finish().size();
    EXPECT_EQ(oprc_build_size_estimate(), 128 + n * 110 / 100 + 32);
    // Beyond 1 MiB there is no estimate.
    for (int i = 0; i < 1024; i++) oprc_build_add_recents_item(big.substr(0, 4000).c_str());
    EXPECT_EQ(oprc_build_size_estimate(), 0u);
    EXPECT_EQ(last_error(), "ERR_INVALID_ARG");
}

TEST_F(Oprc, EncodeFramesForTheDecoder) {
    const std::string reply = R"({"Command":17,"Volume":40})";
    std::vector<uint8_t> out(1024);
    size_t len = 0;
    ASSERT_EQ(oprc_encode(reply.c_str(), out.data(), out.size(), &len), OPRC_OK);
    const std::string datagram(reinterpret_cast<char *>(out.data()), len);
    EXPECT_EQ(zlib_inflate(datagram), reply);
    ASSERT_EQ(decode(datagram), OPRC_OK);
    EXPECT_EQ(oprc_command(), 17);

    oprc_set_shared_secret("secret");
    ASSERT_EQ(oprc_encode(reply.c_str(), out.data(), out.size(), &len), OPRC_OK);
    const std::string signed_datagram(reinterpret_cast<char *>(out.data()), len);
    EXPECT_EQ(signed_datagram.substr(0, 32), hmac("secret", signed_datagram.substr(32)));
    EXPECT_EQ(zlib_inflate(signed_datagram.substr(32)), reply);
    EXPECT_EQ(decode(signed_datagram), OPRC_OK);

    EXPECT_EQ(oprc_encode(reply.c_str(), out.data(), 31, &len), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_encode(reply.c_str(), out.data(), signed_datagram.size() - 1, &len), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_encode(reply.c_str(), out.data(), signed_datagram.size(), &len), OPRC_OK);
    EXPECT_EQ(oprc_encode(nullptr, out.data(), out.size(), &len), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_encode(reply.c_str(), nullptr, out.size(), &len), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_encode(reply.c_str(), out.data(), out.size(), nullptr), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_encode(reply.c_str(), out.data(), 0, &len), OPRC_ERR_INVALID_ARG);

    // A datagram no receiver would take is refused, whatever room the caller has.
    oprc_set_shared_secret(nullptr);
    std::string noise;
    uint32_t x = 1;
    while (noise.size() < 100000) noise += char('!' + (x = x * 1103515245 + 12345) % 90);
    std::vector<uint8_t> huge(200000);
    EXPECT_EQ(oprc_encode(noise.c_str(), huge.data(), huge.size(), &len), OPRC_ERR_TOO_LARGE);
    EXPECT_EQ(last_error(), "ERR_TOO_LARGE");
}

TEST_F(Oprc, EncodeOutOfMemory) {
    std::vector<uint8_t> out(256);
    size_t len = 0;
    xalloc_fail_at(1);
    EXPECT_EQ(oprc_encode("{\"Command\":1}", out.data(), out.size(), &len), OPRC_ERR_OOM);
    xalloc_fail_at(0);
    ASSERT_EQ(oprc_build_begin(1), OPRC_OK);
    xalloc_fail_at(1);
    EXPECT_EQ(oprc_build_add_playlist_item("{\"a\":1}"), OPRC_ERR_OOM);
    xalloc_fail_at(0);
    EXPECT_EQ(finish(), R"({"Command":1})");
}
