// Helpers shared by the JSON tests: owning documents, reading and writing
// strings, comparing value trees, a counting allocator that can be told to
// fail, and running code on a thread with a small stack.
#pragma once

#include "json.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

struct DocFree {
    void operator()(json_doc *doc) const { json_doc_free(doc); }
};
using DocPtr = std::unique_ptr<json_doc, DocFree>;

inline DocPtr read_json(std::string_view text, uint32_t flags = 0, json_err *err = nullptr,
                        const json_alc *alc = nullptr) {
    return DocPtr(json_read(text.data(), text.size(), flags, alc, err));
}

// Compact text of `v`; "<failed>" when the buffer failed.
inline std::string write_json(const json_val *v, uint32_t esc = 0) {
    json_buf buf;
    json_buf_init(&buf, nullptr);
    json_buf_val(&buf, v, esc);
    std::string out = buf.failed ? "<failed>" : std::string(buf.data, buf.len);
    json_buf_free(&buf);
    return out;
}

inline std::string shared_data(const std::string &relative) { return std::string(ORVELLO_SHARED_DATA) + "/" + relative; }

inline std::string load_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Equal values, children included. Documents keep values in document order,
// so two trees are equal exactly when their value arrays are.
inline testing::AssertionResult same_tree(const json_doc *a, const json_doc *b) {
    const size_t n = json_doc_val_count(a);
    if (n != json_doc_val_count(b))
        return testing::AssertionFailure() << "value counts differ: " << n << " and " << json_doc_val_count(b);
    const json_val *va = json_doc_root(a), *vb = json_doc_root(b);
    for (size_t i = 0; i < n; i++) {
        const json_val *x = va + i, *y = vb + i;
        const json_type t = json_get_type(x);
        bool same = t == json_get_type(y);
        if (same) {
            switch (t) {
            case JSON_UINT:
            case JSON_SINT: same = json_get_sint(x) == json_get_sint(y); break;
            case JSON_REAL: same = same_bits(json_get_real(x), json_get_real(y)); break;
            case JSON_STR:
            case JSON_RAW:
                same = json_get_len(x) == json_get_len(y) &&
                       std::memcmp(json_get_str(x), json_get_str(y), json_get_len(x)) == 0;
                break;
            case JSON_ARR:
            case JSON_OBJ: same = json_get_len(x) == json_get_len(y); break;
            default: break;
            }
        }
        if (!same) return testing::AssertionFailure() << "values differ at index " << i;
    }
    return testing::AssertionSuccess();
}

// Allocator that counts its requests, refuses the `fail_at`-th (0: none) and
// tracks how many blocks are live, so a test can see leaks without a sanitizer.
struct CountingAlloc {
    size_t calls = 0;
    size_t fail_at = 0;
    long live = 0;
    json_alc alc{do_malloc, do_realloc, do_free, this};

    explicit CountingAlloc(size_t fail_at_call = 0) : fail_at(fail_at_call) {}
    CountingAlloc(const CountingAlloc &) = delete;
    CountingAlloc &operator=(const CountingAlloc &) = delete;

    bool refuse() { return ++calls == fail_at; }
    static void *do_malloc(void *ctx, size_t size) {
        auto *self = static_cast<CountingAlloc *>(ctx);
        if (self->refuse()) return nullptr;
        void *p = std::malloc(size);
        self->live += p != nullptr;
        return p;
    }
    static void *do_realloc(void *ctx, void *ptr, size_t, size_t size) {
        auto *self = static_cast<CountingAlloc *>(ctx);
        return self->refuse() ? nullptr : std::realloc(ptr, size);
    }
    static void do_free(void *ctx, void *ptr) {
        auto *self = static_cast<CountingAlloc *>(ctx);
        self->live -= ptr != nullptr;
        std::free(ptr);
    }
};

// Runs `fn` on a thread whose stack is `stack_bytes` long: code that recursed
// per nesting level would overflow it.
inline void run_on_small_stack(size_t stack_bytes, std::function<void()> fn) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_bytes), 0);
    pthread_t thread;
    auto body = [](void *arg) -> void * {
        (*static_cast<std::function<void()> *>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &fn), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}
