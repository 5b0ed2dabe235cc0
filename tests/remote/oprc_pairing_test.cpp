// Pairing: the offer, the checks of the answer, expiry and the lock-out.
#include <cstring>

#include "oprc_test_util.h"

namespace {

int64_t g_now = 13400000000000;  // some day in 2025, in ms since 1601
int64_t test_clock() { return g_now; }

class OprcPairing : public Oprc {
protected:
    void SetUp() override {
        Oprc::SetUp();
        oprc_v2_reset_keys();
        oprc_v2_set_clock(test_clock);
        g_now = 13400000000000;
    }
    void TearDown() override {
        oprc_v2_reset_keys();
        oprc_v2_set_clock(nullptr);
        Oprc::TearDown();
    }

    std::string offer(const char *device = "tv") {
        char out[512];
        EXPECT_EQ(oprc_v2_begin_pairing(device, out, sizeof out), OPRC_OK);
        return out;
    }
};

std::string member(const std::string &json, const char *key) {
    json_doc *doc = json_read(json.data(), json.size(), 0, nullptr, nullptr);
    json_val *v = json_obj_get(json_doc_root(doc), key);
    std::string out = json_is_str(v) ? std::string(json_get_str(v)) : json_is_int(v) ? std::to_string(json_get_uint(v)) : "";
    json_doc_free(doc);
    return out;
}

std::string answer(const std::string &code, const std::string &secret, const std::string &expires) {
    return R"({"code":")" + code + R"(","secret_b64":")" + secret + R"(","expires":)" + expires + "}";
}

int failed_attempt() { return oprc_v2_accept_pairing(answer("000000", "x", "99999999999").c_str(), 2); }

}  // namespace

TEST_F(OprcPairing, OfferFormat) {
    const std::string o = offer("tv");
    const std::string secret = member(o, "secret_b64"), code = member(o, "code");
    ASSERT_EQ(secret.size(), 44u);
    EXPECT_EQ(secret.back(), '=');
    ASSERT_EQ(code.size(), 6u);
    EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos);
    const std::string expires = std::to_string((g_now + 300000) / 1000);
    EXPECT_EQ(o, R"({"device_id":"tv","secret_b64":")" + secret + R"(","code":")" + code + R"(","expires":)" + expires + "}");
    // The code is the secret's bytes 24 to 27, big-endian, modulo a million.
    unsigned char raw[33];
    ASSERT_EQ(EVP_DecodeBlock(raw, reinterpret_cast<const unsigned char *>(secret.data()), 44), 33);
    const uint32_t n = uint32_t(raw[24]) << 24 | uint32_t(raw[25]) << 16 | uint32_t(raw[26]) << 8 | raw[27];
    char expected[8];
    std::snprintf(expected, sizeof expected, "%06u", n % 1000000);
    EXPECT_EQ(code, expected);
    EXPECT_NE(member(offer("tv"), "secret_b64"), secret);  // a fresh secret each time

    // A device id is escaped, so it cannot add members.
    EXPECT_EQ(member(offer("a\"b\\"), "device_id"), "a\"b\\");
    const std::string injected = offer(R"(x","code":"000000)");
    EXPECT_NE(member(injected, "code"), "000000");
}

TEST_F(OprcPairing, OfferArguments) {
    char out[256];
    EXPECT_EQ(oprc_v2_begin_pairing(nullptr, out, sizeof out), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_begin_pairing("", out, sizeof out), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_begin_pairing("tv", nullptr, sizeof out), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_begin_pairing("tv", out, 0), OPRC_ERR_INVALID_ARG);
    const size_t len = offer().size();
    EXPECT_EQ(oprc_v2_begin_pairing("tv", out, len), OPRC_ERR_INVALID_ARG);
    // The refused offer still left a pairing pending: its own text is a valid answer.
    EXPECT_EQ(oprc_v2_begin_pairing("tv", out, len + 1), OPRC_OK);
    EXPECT_EQ(std::strlen(out), len);
}

TEST_F(OprcPairing, AcceptRegistersTheRole) {
    const std::string o = offer();
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 0), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 3), OPRC_ERR_INVALID_ARG);
    EXPECT_EQ(oprc_v2_accept_pairing(nullptr, 2), OPRC_ERR_INVALID_ARG);
    ASSERT_EQ(oprc_v2_accept_pairing(o.c_str(), 2), OPRC_OK);
    EXPECT_EQ(oprc_v2_key_registered(), 1);
    EXPECT_EQ(g_v2[0].sender_id, 2u);
    EXPECT_EQ(g_v2[0].reg_value, 0u);
    // The controller registers the same secret as the other role; the two then talk.
    const std::string secret = member(o, "secret_b64");
    ASSERT_EQ(oprc_v2_register_key(1, secret.c_str(), 0), OPRC_OK);
    std::string d;
    oprc_v2_send(
        R"({"Command":"Ping"})", 2,
        [](void *user, const void *data, size_t len, unsigned, unsigned) {
            static_cast<std::string *>(user)->assign(static_cast<const char *>(data), len);
        },
        &d);
    EXPECT_EQ(decode(d), OPRC_OK);
    EXPECT_EQ(oprc_command(), 17);
    // The pairing is used up.
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 2), OPRC_ERR_PAIRING);
}

TEST_F(OprcPairing, MismatchesAndExpiry) {
    EXPECT_EQ(oprc_v2_accept_pairing(answer("123456", "s", "1").c_str(), 2), OPRC_ERR_PAIRING);  // nothing pending
    const std::string o = offer();
    const std::string code = member(o, "code"), secret = member(o, "secret_b64"), expires = member(o, "expires");
    const std::string other_code = code == "000001" ? "000002" : "000001";
    struct {
        std::string text;
        int rc;
    } cases[] = {
        {"not json", OPRC_ERR_JSON},
        {"[1]", OPRC_ERR_JSON},
        {answer(other_code, secret, expires), OPRC_ERR_PAIRING},
        {answer(code + "0", secret, expires), OPRC_ERR_PAIRING},
        {answer(code, secret.substr(0, 43), expires), OPRC_ERR_PAIRING},
        {answer(code, secret, std::to_string(g_now / 1000 - 1)), OPRC_ERR_PAIRING},  // in the past
        {R"({"code":")" + code + R"(","secret_b64":")" + secret + R"("})", OPRC_ERR_PAIRING},  // no expiry
        {answer(code, secret, "\"" + expires + "\""), OPRC_ERR_PAIRING},
    };
    for (const auto &c : cases) EXPECT_EQ(oprc_v2_accept_pairing(c.text.c_str(), 2), c.rc) << c.text;
    // Six failures counted, so the next is locked out; a minute later the right answer is checked again.
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 2), OPRC_ERR_PAIRING);
    g_now += 60000;
    EXPECT_EQ(oprc_v2_accept_pairing(answer(code, secret, expires + ".9").c_str(), 2), OPRC_OK);
}

TEST_F(OprcPairing, TheOffersOwnExpiryHolds) {
    const std::string o = offer();
    g_now += 300001;
    // An answer that claims a later expiry does not extend the offer.
    const std::string late = answer(member(o, "code"), member(o, "secret_b64"), std::to_string(g_now / 1000 + 1000));
    EXPECT_EQ(oprc_v2_accept_pairing(late.c_str(), 2), OPRC_ERR_PAIRING);
    const std::string fresh = offer();
    EXPECT_EQ(oprc_v2_accept_pairing(fresh.c_str(), 2), OPRC_OK);
    // Huge expiries are read without overflow.
    const std::string again = offer();
    EXPECT_EQ(oprc_v2_accept_pairing(answer(member(again, "code"), member(again, "secret_b64"), "1e300").c_str(), 1),
              OPRC_OK);
}

TEST_F(OprcPairing, LockOut) {
    const std::string o = offer();
    for (int i = 0; i < 5; i++) EXPECT_EQ(failed_attempt(), OPRC_ERR_PAIRING);
    g_now += 59999;
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 2), OPRC_ERR_PAIRING);  // not even checked
    EXPECT_EQ(oprc_v2_accept_pairing("not json", 2), OPRC_ERR_PAIRING);
    g_now += 1;  // a minute after the first failure: one attempt goes through
    EXPECT_EQ(failed_attempt(), OPRC_ERR_PAIRING);
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 2), OPRC_ERR_PAIRING);  // and its failure starts a new minute
    g_now += 60000;
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 2), OPRC_OK);
    // Success resets the count.
    const std::string next = offer();
    EXPECT_EQ(failed_attempt(), OPRC_ERR_PAIRING);
    EXPECT_EQ(oprc_v2_accept_pairing(next.c_str(), 1), OPRC_OK);
}

TEST_F(OprcPairing, ClockSteppedBackKeepsTheLockOut) {
    const std::string o = offer();
    for (int i = 0; i < 5; i++) EXPECT_EQ(failed_attempt(), OPRC_ERR_PAIRING);
    g_now -= 3600000;  // an hour back
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 2), OPRC_ERR_PAIRING);
    g_now += 59999;  // the window restarted when the step was seen
    EXPECT_EQ(oprc_v2_accept_pairing(o.c_str(), 2), OPRC_ERR_PAIRING);
    g_now += 1;
    const std::string fresh = offer();
    EXPECT_EQ(oprc_v2_accept_pairing(fresh.c_str(), 2), OPRC_OK);
}
