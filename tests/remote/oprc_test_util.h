// Shared helpers of the remote-control library's tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <string>

#include "oprc.h"
#include "oprc_internal.h"
#include "xalloc.h"

// Every test starts from the library's load-time settings and no current message.
class Oprc : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        xalloc_fail_at(0);
        oprc_set_transport(nullptr);
        oprc_stop();
        oprc_set_shared_secret(nullptr);
        oprc_set_peer_filter(nullptr, nullptr);
        oprc_arm_uri_commands(0);
        oprc_allow_legacy(0);
        oprc_set_max_inflate(4u << 20);
        oprc_set_max_ratio(100);
        oprc_decode("{", 1);  // unreadable: leaves no current message
        oprc_warnings_clear();
        set_err(OPRC_OK);
    }
};

inline int decode(const std::string &bytes) { return oprc_decode(bytes.data(), bytes.size()); }

inline std::string zlib_compress(const std::string &plain, int level = Z_DEFAULT_COMPRESSION) {
    uLongf len = compressBound(plain.size());
    std::string out(len, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef *>(out.data()), &len, reinterpret_cast<const Bytef *>(plain.data()),
                        plain.size(), level),
              Z_OK);
    out.resize(len);
    return out;
}

inline std::string zlib_inflate(const std::string &z) {
    std::string out(1 << 20, '\0');
    uLongf len = out.size();
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef *>(out.data()), &len, reinterpret_cast<const Bytef *>(z.data()), z.size()),
              Z_OK);
    out.resize(len);
    return out;
}

// HMAC-SHA256 computed by OpenSSL's one-shot call, independently of the library's keyed contexts.
inline std::string hmac(const std::string &key, const std::string &data) {
    unsigned char out[32];
    unsigned len = 0;
    HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(data.data()), data.size(),
         out, &len);
    return std::string(reinterpret_cast<char *>(out), len);
}

inline std::string tagged(const std::string &secret, const std::string &payload) { return hmac(secret, payload) + payload; }

inline std::string last_error() { return oprc_last_error(); }

inline std::string str_or_null(const char *s) { return s ? s : "(null)"; }

inline std::string warnings() {
    std::string all;
    for (int i = 0; i < oprc_warning_count(); i++) all += std::string(i ? "\n" : "") + oprc_warning(i);
    return all;
}

// The reply the builder holds, finished into a string.
inline std::string finish() {
    static char buf[1 << 20];
    size_t len = 0;
    EXPECT_EQ(oprc_build_finish(buf, sizeof buf, &len), OPRC_OK) << last_error();
    return std::string(buf, len);
}
