// The library's exported names include `warn`, which glibc also defines (err.h).
// Loaded into a process that uses glibc's warn, or that defines a warn of its own,
// the library must still reach its own warning list, and the process its own warn.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#ifdef HOST_DEFINES_WARN
static std::vector<std::string> g_host_warnings;
extern "C" void warn(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    g_host_warnings.emplace_back(buf);
}
#else
#include <err.h>
#endif

namespace {

struct Library {
    void *handle = dlopen(REMOTE_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    ~Library() {
        if (handle) dlclose(handle);
    }
    template <typename F>
    F *fn(const char *name) {
        return reinterpret_cast<F *>(dlsym(handle, name));
    }
};

}  // namespace

TEST(OprcSymbols, LibraryWarningsStayInTheLibrary) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    auto decode = lib.fn<int(const void *, size_t)>("oprc_decode");
    auto count = lib.fn<int()>("oprc_warning_count");
    auto warning = lib.fn<const char *(int)>("oprc_warning");
    auto lib_warn = lib.fn<void(const char *, ...)>("warn");
    auto warn_count = lib.fn<int>("g_warn_count");
    ASSERT_TRUE(decode && count && warning && lib_warn && warn_count);
    ASSERT_NE(reinterpret_cast<void *>(lib_warn), reinterpret_cast<void *>(&warn));

#ifndef HOST_DEFINES_WARN
    // glibc's warn writes to standard error; catch it in a pipe.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int saved = dup(2);
    dup2(fds[1], 2);
#endif
    warn("host says %d", 1);
    EXPECT_EQ(decode("BZh9", 4), 2);
    warn("host says %d", 2);
    ASSERT_EQ(count(), 1);
    EXPECT_STREQ(warning(0), "bz2-refused: BZip2 datagram dropped (zlib only)");
    EXPECT_EQ(*warn_count, 1);
    lib_warn("direct %s", "call");
    EXPECT_EQ(count(), 2);
    EXPECT_STREQ(warning(1), "direct call");
#ifdef HOST_DEFINES_WARN
    EXPECT_EQ(g_host_warnings, (std::vector<std::string>{"host says 1", "host says 2"}));
#else
    std::fflush(stderr);
    dup2(saved, 2);
    close(fds[1]);
    char buf[512] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    const std::string err(buf, n > 0 ? size_t(n) : 0);
    EXPECT_NE(err.find("host says 1"), std::string::npos) << err;
    EXPECT_NE(err.find("host says 2"), std::string::npos) << err;
    EXPECT_EQ(err.find("BZip2"), std::string::npos) << err;
#endif
}
