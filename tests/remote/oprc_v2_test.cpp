// Secure datagrams: key derivation and datagram bytes against vectors
// computed independently (data/make_v2_vectors.py), the hash exports against
// OpenSSL, replay windows, fragments and reassembly.
#include <openssl/sha.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "oprc_test_util.h"

namespace {

std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) out += {digits[p[i] >> 4], digits[p[i] & 15]};
    return out;
}

std::string unhex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += char(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

struct Vectors {
    json_doc *doc = nullptr;
    std::string text;
    Vectors() {
        std::ifstream in(V2_VECTORS);
        std::stringstream s;
        s << in.rdbuf();
        text = s.str();
        doc = json_read(text.data(), text.size(), 0, nullptr, nullptr);
    }
    ~Vectors() { json_doc_free(doc); }
    json_val *root() const { return json_doc_root(doc); }
};

std::string str(json_val *obj, const char *key) {
    json_val *v = json_obj_get(obj, key);
    return std::string(json_get_str(v), json_get_len(v));
}

const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

// The secret of the first vector and its sender-A key, which signs datagrams from senders 0 and 1
// and is what a host registered as sender 2 verifies with.
const char SECRET[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
std::string key_a() { return unhex("e5e0d6db376422a11b90efb744185bc56d88a06e14696df2ae2f7ffd5efdd6bc"); }

std::string datagram(uint32_t sender, uint64_t counter, uint32_t msg_id, unsigned index, unsigned count,
                     const std::string &payload, const std::string &key = key_a()) {
    std::vector<uint8_t> out(payload.size() + 61);
    size_t len = 0;
    EXPECT_EQ(oprc_v2_build_datagram(0, sender, counter, msg_id, index, count, payload.data(), payload.size(),
                                     u8(key), out.data(), out.size(), &len),
              OPRC_OK);
    return std::string(reinterpret_cast<char *>(out.data()), len);
}

// A complete one-fragment message from `sender`.
std::string message(uint32_t sender, uint64_t counter, const std::string &json = R"({"Command":17})") {
    return datagram(sender, counter, uint32_t(counter + 1000), 0, 1, zlib_compress(json));
}

int64_t g_now = 1000000;
int64_t test_clock() { return g_now; }

class OprcV2 : public Oprc {
protected:
    void SetUp() override {
        Oprc::SetUp();
        oprc_v2_reset_keys();
        oprc_v2_set_clock(test_clock);
        oprc_v2_set_counter_sink(nullptr, nullptr);
        g_now = 1000000;
    }
    void TearDown() override {
        oprc_v2_reset_keys();
        oprc_v2_set_clock(nullptr);
        Oprc::TearDown();
    }
};

struct Sent {
    std::vector<std::string> datagrams;
    std::vector<unsigned> index, count;
};

void collect(void *user, const void *d, size_t len, unsigned index, unsigned count) {
    auto *s = static_cast<Sent *>(user);
    s->datagrams.emplace_back(static_cast<const char *>(d), len);
    s->index.push_back(index);
    s->count.push_back(count);
}

uint64_t counter_of(const std::string &d) {
    uint64_t c = 0;
    for (int i = 9; i < 17; i++) c = c << 8 | uint8_t(d[i]);
    return c;
}

uint32_t msg_id_of(const std::string &d) {
    uint32_t c = 0;
    for (int i = 17; i < 21; i++) c = c << 8 | uint8_t(d[i]);
    return c;
}

std::string random_text(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) s += char('!' + rng() % 90);
    for (char &c : s)
        if (c == '"' || c == '\\') c = 'x';
    return s;
}

}  // namespace

TEST_F(OprcV2, KeyDerivationMatchesIndependentVectors) {
    Vectors v;
    ASSERT_TRUE(v.doc) << "cannot read " << V2_VECTORS;
    json_arr_iter it = json_arr_iter_init(json_obj_get(v.root(), "keys"));
    int checked = 0;
    while (json_val *k = json_arr_iter_next(&it)) {
        oprc_v2_reset_keys();
        const std::string secret = str(k, "secret_b64");
        ASSERT_EQ(oprc_v2_register_key(1, secret.c_str(), 0), OPRC_OK);
        ASSERT_EQ(oprc_v2_register_key(2, secret.c_str(), 0), OPRC_OK);
        EXPECT_EQ(hex(g_v2[0].send_key, 32), str(k, "k_a"));
        EXPECT_EQ(hex(g_v2[0].recv_key, 32), str(k, "k_b"));
        EXPECT_EQ(hex(g_v2[1].send_key, 32), str(k, "k_b"));
        EXPECT_EQ(hex(g_v2[1].recv_key, 32), str(k, "k_a"));
        checked++;
    }
    EXPECT_EQ(checked, 3);
}

TEST_F(OprcV2, DatagramMatchesIndependentBytes) {
    Vectors v;
    ASSERT_TRUE(v.doc);
    json_val *d = json_obj_get(v.root(), "datagram");
    const std::string payload = unhex(str(d, "payload")), expected = unhex(str(d, "bytes"));
    std::vector<uint8_t> out(expected.size());
    size_t len = 0;
    ASSERT_EQ(oprc_v2_build_datagram(0x01020304, 1, 0x0000000100000002ull, 0x12345678, 0, 1, payload.data(),
                                     payload.size(), u8(key_a()), out.data(), out.size(), &len),
              OPRC_OK);
    EXPECT_EQ(hex(out.data(), len), hex(u8(expected), expected.size()));
    EXPECT_EQ(oprc_v2_verify_datagram(expected.data(), expected.size(), u8(key_a())), 0);
    const std::string key_b = unhex("7185127238c1b4337228b2e59c31044a18a5fefe396b3d8bae486276a172f68a");
    EXPECT_EQ(oprc_v2_verify_datagram(expected.data(), expected.size(), u8(key_b)), -1);

    // A host that registered the same secret as sender 2 takes it.
    ASSERT_EQ(oprc_v2_register_key(2, str(d, "secret_b64").c_str(), 0), OPRC_OK);
    ASSERT_EQ(decode(expected), OPRC_OK) << last_error() << " " << warnings();
    EXPECT_EQ(oprc_command(), 19);
    EXPECT_EQ(oprc_state(), 1);
    EXPECT_EQ(oprc_negotiated_level(), 2);
    EXPECT_EQ(std::string(oprc_result_json()), str(d, "message"));
}

TEST_F(OprcV2, HashExportsAgreeWithOpenSsl) {
    Vectors v;
    ASSERT_TRUE(v.doc);
    uint8_t out[32];
    ASSERT_EQ(sha256_hash("abc", 3, out), 0);
    EXPECT_EQ(hex(out, 32), str(json_obj_get(v.root(), "sha256"), "abc"));
    const std::string million(1000000, 'a');
    sha256_ctx ctx;
    sha256_init(&ctx);
    for (size_t i = 0; i < million.size(); i += 997) sha256_update(&ctx, million.data() + i, std::min<size_t>(997, million.size() - i));
    sha256_final(&ctx, out);
    EXPECT_EQ(hex(out, 32), str(json_obj_get(v.root(), "sha256"), "million_a"));
    EXPECT_EQ(sha256_hash("x", 1, nullptr), -1);
    EXPECT_EQ(hmac_sha256("k", 1, "m", 1, nullptr), -1);

    std::mt19937 rng(11);
    for (size_t n : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 4097}) {
        std::string data(n, '\0');
        for (char &c : data) c = char(rng());
        uint8_t ours[32], theirs[32];
        // Fed in two uneven pieces, to cross the block boundary at different places.
        sha256_init(&ctx);
        sha256_update(&ctx, data.data(), n / 3);
        sha256_update(&ctx, data.data() + n / 3, n - n / 3);
        sha256_final(&ctx, ours);
        SHA256(u8(data), n, theirs);
        EXPECT_EQ(hex(ours, 32), hex(theirs, 32)) << n;
        for (size_t key_len : {0, 1, 32, 64, 65, 200}) {
            const std::string key = data.substr(0, std::min(n, key_len)) + std::string(key_len - std::min(n, key_len), 'k');
            ASSERT_EQ(hmac_sha256(key.data(), key.size(), data.data(), n, ours), 0);
            EXPECT_EQ(std::string(reinterpret_cast<char *>(ours), 32), hmac(key, data)) << n << " " << key_len;
        }
    }
}

TEST_F(OprcV2, RegistrationRules) {
    const std::string full = SECRET;  // 44 characters with one '='
    EXPECT_EQ(oprc_v2_register_key(1, full.substr(0, 43).c_str(), 0), OPRC_OK);  // no '=': 32 bytes
    EXPECT_EQ(oprc_v2_register_key(1, full.substr(0, 42).c_str(), 0), OPRC_ERR_INVALID_ARG);  // 31 bytes
    EXPECT_EQ(oprc_v2_register_key(1, full.substr(0, 41).c_str(), 0), OPRC_ERR_INVALID_ARG);  // a lone character
    const std::string broken = full.substr(0, 10) + "\r\n " + full.substr(10, 20) + "\n" + full.substr(30);
    EXPECT_EQ(oprc_v2_register_key(1, broken.c_str(), 0), OPRC_OK);
    EXPECT_EQ(oprc_v2_register_key(1, (full.substr(0, 20) + "*" + full.substr(20)).c_str(), 0), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_register_key(1, "", 0), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_register_key(1, nullptr, 0), OPRC_ERR_INVALID_ARG);
    // 64 bytes are the most; long input stops before overrunning anything.
    const std::string b64_64 = "ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoOEhYaHiImKi4yNjo+QkZKTlJWWl5iZmpucnZ6foKGiow==";
    EXPECT_EQ(oprc_v2_register_key(3, b64_64.c_str(), 0), OPRC_OK);
    EXPECT_EQ(oprc_v2_register_key(3, (b64_64 + "AA").c_str(), 0), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_register_key(3, std::string(100000, 'A').c_str(), 0), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(last_error(), "ERR_INVALID_ARG");

    oprc_v2_reset_keys();
    EXPECT_EQ(oprc_v2_key_registered(), 0);
    EXPECT_EQ(oprc_v2_next_counter(), 0u);
    ASSERT_EQ(oprc_v2_register_key(1, SECRET, 7), OPRC_OK);
    EXPECT_EQ(last_error(), "OK");
    EXPECT_EQ(oprc_v2_key_registered(), 1);
    EXPECT_EQ(oprc_v2_next_counter(), 1u);
    Sent sent;
    ASSERT_EQ(oprc_v2_send("{}", 99, collect, &sent), OPRC_OK);
    EXPECT_EQ(oprc_v2_next_counter(), 2u);
    ASSERT_EQ(oprc_v2_register_key(1, SECRET, 7), OPRC_OK);  // the same id again: one slot, counter restarts
    EXPECT_EQ(oprc_v2_next_counter(), 1u);
    EXPECT_EQ(g_v2[1].in_use, 0);
    for (unsigned id : {2u, 3u, 4u}) EXPECT_EQ(oprc_v2_register_key(id, SECRET, 0), OPRC_OK);
    EXPECT_EQ(oprc_v2_register_key(5, SECRET, 0), OPRC_ERR_INVALID_ARG);
    oprc_v2_reset_keys();
    for (const v2_slot &s : g_v2) {
        EXPECT_EQ(s.in_use, 0);
        EXPECT_EQ(hex(s.send_key, 32), std::string(64, '0'));
    }
}

TEST_F(OprcV2, FramingChecks) {
    const std::string payload(65476, 'p');
    std::vector<uint8_t> out(65537);
    size_t len = 0;
    EXPECT_EQ(oprc_v2_build_datagram(0, 1, 1, 1, 0, 1, payload.data(), 65475, u8(key_a()), out.data(), 65536, &len),
              OPRC_OK);
    EXPECT_EQ(len, 65536u);
    EXPECT_EQ(oprc_v2_build_datagram(0, 1, 1, 1, 0, 1, payload.data(), 65476, u8(key_a()), out.data(), out.size(), &len),
              OPRC_ERR_TOO_LARGE);
    EXPECT_EQ(oprc_v2_build_datagram(0, 1, 1, 1, 0, 1, payload.data(), 100, u8(key_a()), out.data(), 160, &len),
              OPRC_ERR_INVALID_ARG);
    for (auto [index, count] : {std::pair{1u, 1u}, {0u, 0u}, {0u, 65536u}})
        EXPECT_EQ(oprc_v2_build_datagram(0, 1, 1, 1, index, count, "x", 1, u8(key_a()), out.data(), out.size(), &len),
                  OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_build_datagram(0, 1, 1, 1, 0, 1, nullptr, 0, u8(key_a()), out.data(), out.size(), &len),
              OPRC_ERR_INVALID_ARG);

    // Without a key every secure datagram is a protocol error.
    const std::string good = message(1, 1);
    EXPECT_EQ(decode(good), OPRC_ERR_PROTOCOL);
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    EXPECT_EQ(decode(std::string("\x02") + std::string(59, '\0')), OPRC_ERR_PROTOCOL);
    EXPECT_EQ(oprc_v2_verify_datagram(good.data(), 60, u8(key_a())), -1);
    std::string wrong_len = good;
    wrong_len[28] ^= 1;
    EXPECT_EQ(decode(wrong_len), OPRC_ERR_PROTOCOL);
    std::string bad_index = datagram(1, 5, 5, 0, 2, "x");
    bad_index[22] = 2;  // index 2 of 2
    EXPECT_EQ(decode(bad_index), OPRC_ERR_PROTOCOL);
    std::string forged = good;
    forged[40] ^= 1;
    EXPECT_EQ(decode(forged), OPRC_ERR_UNAUTHENTICATED);
    EXPECT_EQ(decode(message(2, 1)), OPRC_ERR_PROTOCOL);  // its own sender id: no key to check with
    EXPECT_EQ(decode(good), OPRC_OK);

    // Plain datagrams are refused while a key is registered, unless legacy traffic is allowed.
    EXPECT_EQ(decode(R"({"Command":1})"), OPRC_ERR_PROTOCOL);
    oprc_allow_legacy(1);
    EXPECT_EQ(decode(R"({"Command":1})"), OPRC_OK);
    EXPECT_EQ(oprc_negotiated_level(), 0);
}

TEST_F(OprcV2, ReplayWindow) {
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    for (uint64_t c : {1, 3, 2}) EXPECT_EQ(decode(message(1, c)), OPRC_OK) << c;
    EXPECT_EQ(decode(message(1, 2)), OPRC_ERR_REPLAY);
    EXPECT_EQ(warnings(), "v2-replay (sender 1 counter 2)");
    EXPECT_EQ(decode(message(1, 0)), OPRC_ERR_REPLAY);
    EXPECT_EQ(warnings(), "v2-replay-stale (sender 1 counter 0)");
    EXPECT_EQ(decode(message(1, 100)), OPRC_OK);
    EXPECT_EQ(decode(message(1, 36)), OPRC_ERR_REPLAY);
    EXPECT_EQ(warnings(), "v2-replay-stale (sender 1 counter 36)");
    EXPECT_EQ(decode(message(1, 37)), OPRC_OK);
    EXPECT_EQ(decode(message(1, 37)), OPRC_ERR_REPLAY);
    // A jump of 64 or more forgets everything below the new highest.
    EXPECT_EQ(decode(message(1, 164)), OPRC_OK);
    EXPECT_EQ(decode(message(1, 101)), OPRC_OK);
    EXPECT_EQ(decode(message(1, 100)), OPRC_ERR_REPLAY);
    // A refused datagram changes nothing: the message of counter 101 is still current.
    EXPECT_EQ(oprc_command(), 17);
}

TEST_F(OprcV2, SeventeenSenders) {
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    std::vector<std::pair<uint32_t, uint64_t>> told;
    oprc_v2_set_counter_sink(
        [](void *ctx, unsigned sender, uint64_t counter) {
            static_cast<std::vector<std::pair<uint32_t, uint64_t>> *>(ctx)->emplace_back(sender, counter);
        },
        &told);
    for (uint32_t s = 10; s < 26; s++) EXPECT_EQ(decode(message(s, 1)), OPRC_OK) << s;
    EXPECT_EQ(decode(message(26, 1)), OPRC_ERR_REPLAY);  // every window taken
    EXPECT_EQ(oprc_warning_count(), 0);
    EXPECT_EQ(decode(message(25, 2)), OPRC_OK);
    ASSERT_EQ(told.size(), 17u);
    EXPECT_EQ(told.back(), (std::pair<uint32_t, uint64_t>{25, 2}));
}

TEST_F(OprcV2, FragmentsAndReassembly) {
    ASSERT_EQ(oprc_v2_register_key(1, SECRET, 0), OPRC_OK);
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    const std::string json = R"({"Command":19,"Uri":")" + random_text(4000, 1) + "\"}";
    Sent sent;
    std::vector<uint64_t> counters;
    oprc_v2_set_counter_sink([](void *ctx, unsigned, uint64_t c) { static_cast<std::vector<uint64_t> *>(ctx)->push_back(c); },
                             &counters);
    ASSERT_EQ(oprc_v2_send(json.c_str(), 2, collect, &sent), OPRC_OK);  // sent as sender 1
    const size_t zsize = zlib_compress(json).size();
    ASSERT_GT(zsize, 2u * 1411);
    ASSERT_LE(zsize, 3u * 1411);
    ASSERT_EQ(sent.datagrams.size(), 3u);
    EXPECT_EQ(sent.datagrams[0].size() - 61, 1411u);
    EXPECT_EQ(sent.datagrams[1].size() - 61, 1411u);
    EXPECT_EQ(sent.datagrams[2].size() - 61, zsize - 2 * 1411);
    for (unsigned i = 0; i < 3; i++) {
        EXPECT_EQ(sent.index[i], i);
        EXPECT_EQ(sent.count[i], 3u);
        EXPECT_EQ(counter_of(sent.datagrams[i]), i + 1);
        EXPECT_EQ(msg_id_of(sent.datagrams[i]), msg_id_of(sent.datagrams[0]));
    }
    EXPECT_EQ(counters, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_NE(msg_id_of(sent.datagrams[0]) & 0x80000000u, 0x80000000u);

    const uint32_t id = msg_id_of(sent.datagrams[0]);
    EXPECT_EQ(decode(sent.datagrams[0]), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(warnings(), "v2-waiting (msg " + std::to_string(id) + " frag 1/3)");
    EXPECT_EQ(oprc_v2_reassembly_pending(), 1);
    EXPECT_EQ(decode(sent.datagrams[1]), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(warnings(), "v2-waiting (msg " + std::to_string(id) + " frag 2/3)");
    EXPECT_EQ(decode(sent.datagrams[1]), OPRC_ERR_REPLAY);  // a duplicate changes nothing
    EXPECT_EQ(decode(sent.datagrams[2]), OPRC_OK);
    EXPECT_EQ(oprc_v2_reassembly_pending(), 0);
    EXPECT_EQ(std::string(oprc_result_json()), json);
    EXPECT_EQ(oprc_negotiated_level(), 2);

    // A lost fragment: the next one is out of order and the message is dropped.
    sent = {};
    ASSERT_EQ(oprc_v2_send(json.c_str(), 2, collect, &sent), OPRC_OK);
    EXPECT_EQ(decode(sent.datagrams[0]), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(decode(sent.datagrams[2]), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(warnings(), "v2-frag-out-of-order (msg " + std::to_string(msg_id_of(sent.datagrams[0])) +
                              " idx 2) \xE2\x80\x94 message dropped");
    EXPECT_EQ(oprc_v2_reassembly_pending(), 0);
    EXPECT_EQ(decode(sent.datagrams[1]), OPRC_ERR_FRAGMENT);  // starts a new entry, out of order at once
    EXPECT_EQ(oprc_v2_reassembly_pending(), 0);
}

TEST_F(OprcV2, ReassemblyLimitsAndTimeout) {
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    const std::string piece(1411, 'z');
    for (uint32_t m = 1; m <= 4; m++) EXPECT_EQ(decode(datagram(1, m, m, 0, 2, piece)), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(oprc_v2_reassembly_pending(), 4);
    EXPECT_EQ(decode(datagram(1, 5, 5, 0, 2, piece)), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(warnings(), "v2-reassembly-full");
    // Another sender may use the same message id without joining the first sender's message.
    g_now += 10000;
    EXPECT_EQ(decode(datagram(3, 1, 1, 1, 2, piece)), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(warnings(), "v2-reassembly-full");
    EXPECT_EQ(oprc_v2_reassembly_pending(), 4);
    g_now += 1;  // now more than 10 s after the four started
    EXPECT_EQ(decode(datagram(3, 2, 9, 0, 2, piece)), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(oprc_warning_count(), 5);
    EXPECT_EQ(std::string(oprc_warning(0)), "v2-reassembly-timeout (msg 1)");
    EXPECT_EQ(std::string(oprc_warning(4)), "v2-waiting (msg 9 frag 1/2)");
    EXPECT_EQ(oprc_v2_reassembly_pending(), 1);

    // A different fragment count for the same message starts it over.
    EXPECT_EQ(decode(datagram(3, 3, 9, 0, 3, piece)), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(std::string(oprc_warning(0)), "v2-reassembly-conflict (msg 9)");
    EXPECT_EQ(oprc_v2_reassembly_pending(), 1);

    // More than 131,072 bytes in one message.
    oprc_v2_reset_keys();
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    const std::string big(65475, 'b');
    EXPECT_EQ(decode(datagram(1, 1, 7, 0, 100, big)), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(decode(datagram(1, 2, 7, 46, 100, big)), OPRC_ERR_FRAGMENT);  // 65475 / 1411 = 46
    EXPECT_EQ(warnings(), "v2-waiting (msg 7 frag 47/100)");
    EXPECT_EQ(decode(datagram(1, 3, 7, 92, 100, big)), OPRC_ERR_FRAGMENT);
    EXPECT_EQ(warnings(), "v2-reassembly-overflow (msg 7 > 131072 B)");
    EXPECT_EQ(oprc_v2_reassembly_pending(), 0);
}

TEST_F(OprcV2, LongMessagesUpTo128KiB) {
    ASSERT_EQ(oprc_v2_register_key(1, SECRET, 0), OPRC_OK);
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    // About 100 KB that compresses to more than one plain datagram can hold.
    const std::string json = R"({"Command":11,"Uri":")" + random_text(100000, 2) + "\"}";
    Sent sent;
    ASSERT_EQ(oprc_v2_send(json.c_str(), 2, collect, &sent), OPRC_OK);
    ASSERT_GT(zlib_compress(json).size(), 65536u);
    int rc = -1;
    for (const std::string &d : sent.datagrams) rc = decode(d);
    EXPECT_EQ(rc, OPRC_OK) << last_error() << " " << warnings();
    EXPECT_EQ(oprc_command(), 11);
    EXPECT_EQ(std::strlen(oprc_uri()), 8191u);

    // Beyond 131,072 compressed bytes the message cannot be collected.
    const std::string huge = R"({"Command":11,"Uri":")" + random_text(200000, 3) + "\"}";
    sent = {};
    ASSERT_EQ(oprc_v2_send(huge.c_str(), 2, collect, &sent), OPRC_OK);
    bool overflow = false;
    for (const std::string &d : sent.datagrams) {
        rc = decode(d);
        overflow = overflow || std::string(oprc_warning(0)).rfind("v2-reassembly-overflow", 0) == 0;
    }
    EXPECT_EQ(rc, OPRC_ERR_FRAGMENT);
    EXPECT_TRUE(overflow);
    EXPECT_EQ(oprc_command(), 11);  // the earlier message stays
}

TEST_F(OprcV2, SharedSecretStillAppliesToTheCollectedMessage) {
    ASSERT_EQ(oprc_v2_register_key(1, SECRET, 0), OPRC_OK);
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    oprc_set_shared_secret("plain secret");
    Sent sent;
    ASSERT_EQ(oprc_v2_send(R"({"Command":1})", 2, collect, &sent), OPRC_OK);
    EXPECT_EQ(decode(sent.datagrams[0]), OPRC_ERR_UNAUTHENTICATED);
}

TEST_F(OprcV2, SendNeedsAnIdentity) {
    Sent sent;
    EXPECT_EQ(oprc_v2_send("{}", 0, collect, &sent), OPRC_ERR_PROTOCOL);
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    EXPECT_EQ(oprc_v2_send("{}", 2, collect, &sent), OPRC_ERR_PROTOCOL);
    EXPECT_EQ(oprc_v2_send(nullptr, 0, collect, &sent), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_send("{}", 0, nullptr, &sent), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_send("", 0, collect, &sent), OPRC_OK);  // an empty text is one fragment
    EXPECT_EQ(sent.datagrams.size(), 1u);
    xalloc_fail_at(1);
    EXPECT_EQ(oprc_v2_send("{}", 0, collect, &sent), OPRC_ERR_OOM);
    xalloc_fail_at(0);
}

TEST_F(OprcV2, ReassemblyBufferOutOfMemory) {
    ASSERT_EQ(oprc_v2_register_key(2, SECRET, 0), OPRC_OK);
    xalloc_fail_at(1);
    EXPECT_EQ(decode(datagram(1, 1, 1, 0, 2, "x")), OPRC_ERR_OOM);
    xalloc_fail_at(0);
    EXPECT_EQ(last_error(), "ERR_OOM");
    EXPECT_EQ(oprc_v2_reassembly_pending(), 0);
}

TEST_F(OprcV2, DefaultClockCountsFrom1601) {
    oprc_v2_set_clock(nullptr);
    const int64_t unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    EXPECT_NEAR(double(v2_now_ms()), double(unix_ms + 11644473600000), 5000.0);
}
