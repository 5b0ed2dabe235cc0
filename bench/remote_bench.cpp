// Remote-control throughput: decoding a typical status message and reading
// every accessor (plain and zlib), building and framing a reply, and checking
// the shared-secret tag, whose speed is compared with OpenSSL's one-shot HMAC
// of the same bytes in the same run (goal: at least 0.8 times its speed).
// Usage: remote_bench [milliseconds per measurement]
#include "oprc.h"
#include "oprc_internal.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
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
    return ours / raw >= 0.8 ? 0 : 1;
}
