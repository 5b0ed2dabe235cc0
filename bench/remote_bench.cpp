// Remote-control throughput: decoding a typical status message and reading
// every accessor (plain and zlib), building and framing a reply, and checking
// the shared-secret tag, whose speed is compared with OpenSSL's one-shot HMAC
// of the same bytes in the same run (goal: at least 0.8 times its speed).
// Secure datagrams: sealing and opening 1,472-byte datagrams against OpenSSL
// HMAC sealing and checking the same bytes, and a 100 KB message through
// compression, fragmentation, reassembly and reading, against the same work
// done with zlib and OpenSSL HMAC alone (goal: 0.8 times their speed).
// Usage: remote_bench [milliseconds per measurement]
#include "oprc.h"
#include "oprc_internal.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char STATUS[] =
    R"({"Command":19,"ContractLevel":3,"DeivceCode":"living-room","State":1,"Position":3905123,"Volume":0.8,)"
    R"("Rate":1.0,"IsMuted":false,"IsLocked":false,"IsFullScreen":true,"Unlock":true,)"
    R"("Item":{"Name":"The Film","Path":"/media/films/the-film.mkv","IMDb":{"Title":"The Film","Year":"1999",)"
    R"("imdbRating":"7.9","Genre":"Drama"}},"Folder":{"Name":"Films","Path":"/media/films"},)"
    R"("Progress":{"Duration":"0.01:58:00.0000000","Current":"0.01:05:05.1230000","CurrentTime":"1:05:05",)"
    R"("RemainTime":"52:55"},"AudioTracks":[{"DisplayName":"English 5.1","Index":1},)"
    R"({"DisplayName":"French","Index":2}],"SubtitleTracks":[{"DisplayName":"Off","Index":-1},)"
    R"({"DisplayName":"English","Index":3}],"AudioTrack":{"DisplayName":"English 5.1","Index":1},)"
    R"("SubtitleTrack":{"DisplayName":"Off","Index":-1},"EffectStatus":[{"Effect":1,"IsOn":true}],)"
    R"("DecodeStatus":{"ForceDecodeVideoForFile":false,"ForceDecodeAudioForFile":false,"SystemDecodeForFile":true}})";

volatile int64_t g_sink;

// Best rate (operations per second) over batches run for about `ms` milliseconds in all.
template <typename Op>
double rate(Op op, int ms) {
    double best = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    int batch = 64;
    while (Clock::now() < end) {
        const auto start = Clock::now();
        for (int i = 0; i < batch; i++) op();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (seconds < 0.01) {
            batch *= 2;
            continue;
        }
        best = std::max(best, batch / seconds);
    }
    return best;
}

void read_all() {
    int64_t s = oprc_state() + oprc_volume_permille() + oprc_rate_permille() + oprc_is_muted() + oprc_is_locked() +
                oprc_is_fullscreen() + oprc_unlock_tristate() + int64_t(oprc_position()) + oprc_contract_level() +
                oprc_progress_duration_ms() + oprc_progress_current_ms() + oprc_audio_track_count() +
                oprc_subtitle_track_count() + oprc_effect_status_count() + oprc_decode_status_field("SystemDecodeForFile");
    s += oprc_device_code()[0] + oprc_item_field("Name")[0] + oprc_item_field("IMDb.Title")[0] +
         oprc_folder_field("Path")[0] + oprc_progress_current_text()[0] + oprc_progress_remain_text()[0] +
         oprc_audio_track_field("DisplayName")[0] + oprc_subtitle_track_field("DisplayName")[0];
    for (int i = 0; i < oprc_audio_track_count(); i++) s += oprc_audio_track_name(i)[0] + oprc_audio_track_index(i);
    for (int i = 0; i < oprc_subtitle_track_count(); i++)
        s += oprc_subtitle_track_name(i)[0] + oprc_subtitle_track_index(i);
    s += oprc_effect_status_field(0, "IsOn")[0];
    g_sink = s;
}

void decode_or_die(const std::string &d) {
    if (oprc_decode(d.data(), d.size()) != OPRC_OK) {
        std::fprintf(stderr, "decode failed: %s\n", oprc_last_error());
        std::exit(1);
    }
}

void build_and_encode() {
    static char json[8192];
    static uint8_t datagram[8192];
    size_t len = 0;
    oprc_build_begin(19);
    oprc_build_set_i64("State", 1);
    oprc_build_set_i64("Position", 3905123);
    oprc_build_set_bool("IsMuted", 0);
    oprc_build_set_str("DeivceCode", "living-room");
    oprc_build_set_item_json(R"({"Name":"The Film","Path":"/media/films/the-film.mkv"})");
    oprc_build_set_progress(7080000, 3905123, "1:05:05", "52:55");
    oprc_build_add_audio_track("English 5.1", 1);
    oprc_build_add_audio_track("French", 2);
    oprc_build_add_subtitle_track("Off", -1);
    oprc_build_set_audio_track("English 5.1", 1);
    oprc_build_add_effect_status(1, 1);
    oprc_build_set_decode_status(0, 0, 1);
    if (oprc_build_finish(json, sizeof json, &len) != OPRC_OK ||
        oprc_encode(json, datagram, sizeof datagram, &len) != OPRC_OK) {
        std::fprintf(stderr, "build failed: %s\n", oprc_last_error());
        std::exit(1);
    }
    g_sink = int64_t(len);
}

const char V2_SECRET[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

void raw_seal_and_check(const uint8_t *key, const uint8_t *d, size_t len) {
    unsigned char tag[32], check[32];
    unsigned n = 0;
    HMAC(EVP_sha256(), key, 32, d, len - 32, tag, &n);
    HMAC(EVP_sha256(), key, 32, d, len - 32, check, &n);
    g_sink = CRYPTO_memcmp(tag, check, 32);
}

struct Collected {
    std::vector<std::string> datagrams;
};

void collect(void *user, const void *d, size_t len, unsigned, unsigned) {
    static_cast<Collected *>(user)->datagrams.emplace_back(static_cast<const char *>(d), len);
}

std::string inflate_all(const std::string &z, size_t size) {
    std::string out(size + 16, '\0');
    uLongf len = out.size();
    uncompress(reinterpret_cast<Bytef *>(out.data()), &len, reinterpret_cast<const Bytef *>(z.data()), z.size());
    out.resize(len);
    return out;
}

void secure(int ms) {
    oprc_set_shared_secret(nullptr);
    oprc_v2_register_key(1, V2_SECRET, 0);
    oprc_v2_register_key(2, V2_SECRET, 0);
    const uint8_t *key = g_v2[0].send_key;  // sender 1 seals with it; the host of sender 2 checks with it

    // One fragment of 1,411 bytes: sealed by the exported builder, opened by the decoder, which
    // checks the tag and the counter and stores the piece. Every 93rd datagram ends its message.
    std::string piece(1411, 'A');
    uint8_t d[1472];
    uint64_t counter = 1;
    uint32_t msg = 1;
    unsigned index = 0;
    const double ours = rate(
        [&] {
            size_t len = 0;
            oprc_v2_build_datagram(0, 1, counter++, msg, index, 93, piece.data(), piece.size(), key, d, sizeof d, &len);
            g_sink = oprc_decode(d, len);
            if (++index == 93) index = 0, msg++;
        },
        ms);
    const double raw = rate([&] { raw_seal_and_check(key, d, sizeof d); }, ms);
    std::printf("secure datagram seal + open (1472 B):  library %8.0f /s, OpenSSL HMAC seal + check %8.0f /s, "
                "ratio %.2f (goal >= 0.80)\n",
                ours, raw, ours / raw);

    // A 100 KB message: the library's send and receive against zlib and HMAC doing the same work.
    // Fresh keys and windows: the counters of the sender start again.
    oprc_v2_reset_keys();
    oprc_v2_register_key(1, V2_SECRET, 0);
    oprc_v2_register_key(2, V2_SECRET, 0);
    std::mt19937 rng(1);
    std::string json = R"({"Command":11,"PlayList":[)";
    for (int i = 0; json.size() < 100000; i++) {
        json += (i ? "," : "") + std::string(R"({"Name":"Episode )") + std::to_string(i) + R"(","Path":"/media/tv/)";
        for (int k = 0; k < 24; k++) json += char('a' + rng() % 26);
        json += R"(.mkv","IMDb":{"Title":"Show","imdbRating":")" + std::to_string(rng() % 100) + "\"}}";
    }
    json += "]}";
    Collected sent;
    const double message_rate = rate(
        [&] {
            sent.datagrams.clear();
            oprc_v2_send(json.c_str(), 2, collect, &sent);
            int rc = -1;
            for (const std::string &dg : sent.datagrams) rc = oprc_decode(dg.data(), dg.size());
            if (rc != OPRC_OK) {
                std::fprintf(stderr, "message refused: %s\n", oprc_last_error());
                std::exit(1);
            }
            g_sink = oprc_playlist_count();
        },
        ms);
    const size_t pieces = sent.datagrams.size();
    const double reference = rate(
        [&] {
            uLongf zlen = compressBound(json.size());
            std::string z(zlen, '\0');
            compress2(reinterpret_cast<Bytef *>(z.data()), &zlen, reinterpret_cast<const Bytef *>(json.data()),
                      json.size(), Z_DEFAULT_COMPRESSION);
            z.resize(zlen);
            for (const std::string &dg : sent.datagrams)
                raw_seal_and_check(key, reinterpret_cast<const uint8_t *>(dg.data()), dg.size());
            json_doc *doc = json_read(inflate_all(z, json.size()).c_str(), json.size(), 0, nullptr, nullptr);
            g_sink = json_doc_val_count(doc);
            json_doc_free(doc);
        },
        ms);
    std::printf("secure 100 KB message (%zu fragments), send + receive + read:  library %6.0f /s (%.1f MB/s), "
                "zlib + HMAC + JSON alone %6.0f /s, ratio %.2f (goal >= 0.80)\n",
                pieces, message_rate, message_rate * double(json.size()) / 1e6, reference, message_rate / reference);
    oprc_v2_reset_keys();
}

}  // namespace

int main(int argc, char **argv) {
    const int ms = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string plain = STATUS;
    uLongf zlen = compressBound(plain.size());
    std::string z(zlen, '\0');
    compress2(reinterpret_cast<Bytef *>(z.data()), &zlen, reinterpret_cast<const Bytef *>(plain.data()), plain.size(),
              Z_DEFAULT_COMPRESSION);
    z.resize(zlen);

    const double plain_rate = rate([&] { decode_or_die(plain); read_all(); }, ms);
    const double zlib_rate = rate([&] { decode_or_die(z); read_all(); }, ms);
    const double build_rate = rate(build_and_encode, ms);
    std::printf("decode + every accessor, plain status (%zu B):  %9.0f /s\n", plain.size(), plain_rate);
    std::printf("decode + every accessor, zlib status (%zu B):    %9.0f /s\n", z.size(), zlib_rate);
    std::printf("reply build + finish + encode:                  %9.0f /s\n", build_rate);

    // The tag of the zlib datagram, checked by the library and by OpenSSL's one-shot HMAC.
    const std::string secret = "a shared secret of ordinary length";
    oprc_set_shared_secret(secret.c_str());
    uint8_t tag[32];
    secret_tag(z.data(), z.size(), tag);
    const double ours = rate([&] { g_sink = secret_tag_matches(tag, z.data(), z.size()); }, ms);
    const double raw = rate(
        [&] {
            unsigned char out[32];
            unsigned len = 0;
            HMAC(EVP_sha256(), secret.data(), int(secret.size()), reinterpret_cast<const unsigned char *>(z.data()),
                 z.size(), out, &len);
            g_sink = CRYPTO_memcmp(out, tag, 32);
        },
        ms);
    std::printf("tag check (%zu B):  library %9.0f /s, OpenSSL HMAC %9.0f /s, ratio %.2f (goal >= 0.80)\n", z.size(),
                ours, raw, ours / raw);
    std::string tagged(reinterpret_cast<char *>(tag), 32);
    tagged += z;
    const double tagged_rate = rate([&] { decode_or_die(tagged); read_all(); }, ms);
    std::printf("decode + every accessor, tagged zlib status:     %9.0f /s\n", tagged_rate);
    secure(ms);
    return 0;
}
