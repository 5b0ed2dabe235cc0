// Datagrams through the remote-control decoder. The first byte picks how the
// rest reaches it:
// - bit 4 clear: one plain datagram. Bits 0-1 = as given / tagged with the
//   shared secret / zlib compressed by the harness / both; bit 2 arms the URI
//   commands; bit 3 sets small inflation caps. Every decoded message must
//   answer every accessor, re-read as the object it was, and survive a round
//   trip through the reply builder: whatever the builder writes must decode.
// - bit 4 set, bit 5 clear: a run of secure datagrams to a host registered as
//   sender 2, each described by a record (sender id 4, counter 8, message id
//   4, fragment index 2, fragment count 2, flip 2, payload length 2, payload);
//   the harness tags each one validly, then flips the byte `flip` - 1 when
//   `flip` is not 0. Collected messages go through the plain checks above.
// - bits 4 and 5 set: a pairing answer after a fresh offer; "$CODE" and
//   "$SECRET" in it stand for the offer's code and secret, bit 6 picks role 2.
#include "json.h"
#include "oprc.h"
#include "oprc_internal.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "remote_fuzz.cpp:%d: check failed: %s\n", __LINE__, #cond); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

const char SECRET[] = "fuzzing secret";
const char *const NAMES[] = {"Name", "IMDb.Title", "IMDb", "Path", "DisplayName", "Index", "IsOn", "Effect", ""};

std::string compressed(const uint8_t *data, size_t size) {
    uLongf len = compressBound(size);
    std::string out(len, '\0');
    compress2(reinterpret_cast<Bytef *>(out.data()), &len, data, size, Z_DEFAULT_COMPRESSION);
    out.resize(len);
    return out;
}

std::string with_tag(const std::string &payload) {
    unsigned char tag[32];
    unsigned len = 0;
    HMAC(EVP_sha256(), SECRET, int(sizeof SECRET - 1), reinterpret_cast<const unsigned char *>(payload.data()),
         payload.size(), tag, &len);
    return std::string(reinterpret_cast<char *>(tag), len) + payload;
}

void touch(const char *text) {
    if (text) FUZZ_CHECK(std::strlen(text) < 8192);
}

void read_everything() {
    oprc_state();
    oprc_position();
    oprc_volume_permille();
    oprc_rate_permille();
    oprc_is_muted();
    oprc_is_locked();
    oprc_is_fullscreen();
    oprc_unlock_tristate();
    oprc_open_id();
    oprc_effect_id();
    oprc_decode_id();
    oprc_contract_level();
    touch(oprc_uri());
    touch(oprc_imdb_id());
    touch(oprc_poster());
    touch(oprc_device_code());
    oprc_progress_present();
    oprc_progress_duration_ms();
    oprc_progress_current_ms();
    touch(oprc_progress_current_text());
    touch(oprc_progress_remain_text());
    const int counts[] = {oprc_playlist_count(), oprc_recents_count(), oprc_folders_count(),
                          oprc_audio_track_count(), oprc_subtitle_track_count(), oprc_effect_status_count()};
    for (int c : counts) FUZZ_CHECK(c >= 0);
    for (int i = -1; i < 3; i++) {
        for (const char *name : NAMES) {
            touch(oprc_playlist_field(i, name));
            touch(oprc_recents_field(i, name));
            touch(oprc_effect_status_field(i, name));
            if (i == 0) {
                touch(oprc_item_field(name));
                touch(oprc_folder_field(name));
                touch(oprc_audio_track_field(name));
                touch(oprc_subtitle_track_field(name));
                oprc_decode_status_field(name);
            }
        }
        touch(oprc_folder_name(i));
        oprc_folder_has_subfolder(i);
        touch(oprc_audio_track_name(i));
        oprc_audio_track_index(i);
        touch(oprc_subtitle_track_name(i));
        oprc_subtitle_track_index(i);
    }
}

// Builds a reply from the message's texts and items; the builder's text must read back.
void round_trip_reply(int command) {
    FUZZ_CHECK(oprc_build_begin(unsigned(command)) == OPRC_OK);
    const std::string message = oprc_result_json();
    json_doc *doc = json_read(message.data(), message.size(), 0, nullptr, nullptr);
    FUZZ_CHECK(doc && json_is_obj(json_doc_root(doc)));
    json_obj_iter it = json_obj_iter_init(json_doc_root(doc));
    while (json_val *k = json_obj_iter_next(&it)) {
        json_val *v = k + 1;
        // The two reserved keys take raw JSON, which the host vouches for: not message texts.
        if (json_equals_str(k, "__Item__", 8) || json_equals_str(k, "__Folder__", 10)) continue;
        if (json_is_str(v)) oprc_build_set_str(json_get_str(k), json_get_str(v));
        else if (json_is_int(v)) oprc_build_set_i64(json_get_str(k), json_get_sint(v));
        else if (json_is_bool(v)) oprc_build_set_bool(json_get_str(k), json_get_type(v) == JSON_TRUE);
        if (!json_is_arr(v)) continue;
        json_arr_iter items = json_arr_iter_init(v);
        while (json_val *item = json_arr_iter_next(&items)) {
            json_buf b;
            json_buf_init(&b, nullptr);
            json_buf_val(&b, item, 0);
            if (!b.failed) {
                oprc_build_add_playlist_item(b.data);
                if (json_is_str(item)) {
                    oprc_build_add_folder(json_get_str(item), 1);
                    oprc_build_add_audio_track(json_get_str(item), 2);
                }
            }
            json_buf_free(&b);
        }
    }
    json_doc_free(doc);
    oprc_build_set_progress(oprc_progress_duration_ms(), oprc_progress_current_ms(), oprc_progress_current_text(),
                            oprc_progress_remain_text());
    static char reply[1 << 20];
    size_t len = 0;
    if (oprc_build_finish(reply, sizeof reply, &len) != OPRC_OK) return;
    static uint8_t datagram[OPRC_MAX_DATAGRAM];
    size_t dlen = 0;
    if (oprc_encode(reply, datagram, sizeof datagram, &dlen) != OPRC_OK) return;
    const int rc = oprc_decode(datagram, dlen);
    // A tag that happens to begin with 2 routes the datagram to the secure framing.
    const bool secure_route = datagram[0] == 2;
    FUZZ_CHECK(rc == OPRC_OK || rc == OPRC_ERR_NOT_ARMED || rc == OPRC_ERR_BOMB || (secure_route && rc == OPRC_ERR_PROTOCOL));
    if (rc == OPRC_OK || rc == OPRC_ERR_NOT_ARMED) FUZZ_CHECK(oprc_command() == command);
}

const char V2_SECRET[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
int64_t g_clock_ms;
int64_t fuzz_clock() { return g_clock_ms; }

uint64_t take(const uint8_t *&p, const uint8_t *end, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++) v = v << 8 | (p < end ? *p++ : 0);
    return v;
}

void check_message(int rc) {
    FUZZ_CHECK(rc >= 0 && rc <= OPRC_ERR_PAIRING);
    FUZZ_CHECK(oprc_warning_count() >= 0 && oprc_warning_count() <= 32);
    read_everything();
    if (rc != OPRC_OK) return;
    const int command = oprc_command();
    FUZZ_CHECK(command >= 0 && command < OPRC_COMMAND_COUNT && oprc_command_name(unsigned(command)));
    round_trip_reply(command);
}

void run_secure(const uint8_t *p, const uint8_t *end) {
    oprc_v2_reset_keys();
    oprc_v2_set_clock(fuzz_clock);
    g_clock_ms = 1000000;
    FUZZ_CHECK(oprc_v2_register_key(2, V2_SECRET, 0) == OPRC_OK);
    oprc_allow_legacy(1);  // the reply round trip sends plain datagrams
    const uint8_t *key = g_v2[0].recv_key;  // what sender 1 signs with
    static uint8_t d[OPRC_MAX_DATAGRAM + 64];
    for (int n = 0; p < end && n < 64; n++) {
        const uint32_t sender = uint32_t(take(p, end, 4));
        const uint64_t counter = take(p, end, 8);
        const uint32_t msg_id = uint32_t(take(p, end, 4));
        const unsigned index = unsigned(take(p, end, 2)), count = unsigned(take(p, end, 2));
        const size_t flip = size_t(take(p, end, 2));
        size_t len = size_t(take(p, end, 2));
        if (len > size_t(end - p)) len = size_t(end - p);
        size_t total = 0;
        g_clock_ms += 1000;  // long runs of datagrams reach the reassembly timeout
        if (oprc_v2_build_datagram(0, sender, counter, msg_id, index, count, p, len, key, d, sizeof d, &total) !=
            OPRC_OK) {
            // Malformed headers still reach the decoder, tagged over whatever was written.
            total = len + OPRC_V2_OVERHEAD;
            std::memset(d, 0, OPRC_V2_HEADER);
            d[0] = 2;
        }
        p += len;
        if (flip && flip <= total) d[flip - 1] ^= 0x5A;
        const int rc = oprc_decode(d, total);
        FUZZ_CHECK(oprc_v2_reassembly_pending() >= 0 && oprc_v2_reassembly_pending() <= 4);
        if (rc == OPRC_OK) FUZZ_CHECK(oprc_negotiated_level() == 2);
        check_message(rc);
    }
}

void replace_all(std::string &s, const std::string &from, const std::string &to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

void run_pairing(uint8_t mode, const uint8_t *p, const uint8_t *end) {
    oprc_v2_reset_keys();
    oprc_v2_set_clock(fuzz_clock);
    g_clock_ms = 13400000000000;
    char offer[256];
    FUZZ_CHECK(oprc_v2_begin_pairing("fuzz", offer, sizeof offer) == OPRC_OK);
    json_doc *doc = json_read(offer, std::strlen(offer), 0, nullptr, nullptr);
    FUZZ_CHECK(doc);
    const std::string code = json_get_str(json_obj_get(json_doc_root(doc), "code"));
    const std::string secret = json_get_str(json_obj_get(json_doc_root(doc), "secret_b64"));
    json_doc_free(doc);
    std::string answer(reinterpret_cast<const char *>(p), size_t(end - p));
    answer.resize(strnlen(answer.c_str(), answer.size()));
    replace_all(answer, "$CODE", code);
    replace_all(answer, "$SECRET", secret);
    const int role = mode & 64 ? 2 : 1;
    const int rc = oprc_v2_accept_pairing(answer.c_str(), role);
    FUZZ_CHECK(rc == OPRC_OK || rc == OPRC_ERR_PAIRING || rc == OPRC_ERR_JSON);
    FUZZ_CHECK((rc == OPRC_OK) == (oprc_v2_key_registered() == 1));
    if (rc == OPRC_OK) FUZZ_CHECK(g_v2[0].sender_id == unsigned(role));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    if (mode & 16) {
        oprc_set_shared_secret(nullptr);
        oprc_arm_uri_commands(1);
        oprc_set_max_inflate(4u << 20);
        oprc_set_max_ratio(100);
        if (mode & 32) run_pairing(mode, data + 1, data + size);
        else run_secure(data + 1, data + size);
        oprc_v2_reset_keys();
        oprc_allow_legacy(0);
        return 0;
    }
    std::string datagram = (mode & 2) ? compressed(data + 1, size - 1) : std::string(reinterpret_cast<const char *>(data + 1), size - 1);
    oprc_set_shared_secret((mode & 1) ? SECRET : nullptr);
    if (mode & 1) datagram = with_tag(datagram);
    oprc_arm_uri_commands(mode & 4);
    oprc_set_max_inflate((mode & 8) ? 4096 : 4u << 20);
    oprc_set_max_ratio((mode & 8) ? 2 : 100);

    const int rc = oprc_decode(datagram.data(), datagram.size());
    if (rc == OPRC_OK) FUZZ_CHECK(oprc_negotiated_level() == 0);
    check_message(rc);
    return 0;
}
