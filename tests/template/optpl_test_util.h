// Shared fixture for the template library's tests.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "json.h"
#include "optpl.h"
#include "optpl_internal.h"

// Every test starts from an uninitialised library and leaves nothing behind.
class Optpl : public ::testing::Test {
protected:
    void SetUp() override {
        xalloc_fail_at(0);
        optpl_cleanup();
    }
    void TearDown() override {
        xalloc_fail_at(0);
        optpl_cleanup();
    }
};

inline int load(const std::string &bytes) {
    return optpl_load_bundle_bytes(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

inline std::string zlib_compress(const std::string &plain) {
    uLongf len = compressBound(plain.size());
    std::string out(len, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef *>(out.data()), &len, reinterpret_cast<const Bytef *>(plain.data()),
                        plain.size(), 9),
              Z_OK);
    out.resize(len);
    return out;
}

inline std::vector<std::string> entry_names() {
    std::vector<std::string> names;
    for (int i = 0; i < optpl_entry_count(); i++) names.emplace_back(optpl_entry_name(i));
    return names;
}

// `text` as a JSON string literal (control bytes escaped, others as they are).
inline std::string quoted(const std::string &text) {
    std::string out(text.size() * 6 + 1, '\0');
    out.resize(json_escape(out.data(), text.data(), text.size(), 0));
    return '"' + out + '"';
}

inline std::string last_error() { return optpl_last_error(); }
