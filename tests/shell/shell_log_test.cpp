// The shell log: line limits, the log file's form, and flushing safely in a shared directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "core/shell_log.h"

using namespace shell;
namespace fs = std::filesystem;

namespace {

// A private directory for the log file; the log itself is process-wide.
class ShellLog : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() / ("shell_log_test_" + std::to_string(getpid()) + "_" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        log_set_directory(directory_.string());
        log_set_echo({});
    }
    void TearDown() override { fs::remove_all(directory_); }

    fs::path file() const { return directory_ / "xboxshell.log"; }
    std::string bytes() const {
        std::ifstream in(file(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path directory_;
};

std::u16string decode_utf16le(const std::string &bytes) {
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8);
    return text;
}

}  // namespace

TEST_F(ShellLog, LongLinesAreCutAtACharacterBoundary) {
    struct Case {
        std::u16string line;
        size_t kept;
    } cases[] = {
        {std::u16string(4095, u'a'), 4095},
        {std::u16string(5000, u'b'), 4095},
        // A surrogate pair across the limit goes whole.
        {std::u16string(4094, u'c') + u"\U0001F3AC", 4094},
    };
    for (const Case &c : cases) {
        log_line(u"%s", c.line);
        std::u16string text = log_text();
        ASSERT_GE(text.size(), c.kept + 2);
        EXPECT_EQ(text.substr(text.size() - c.kept - 2), c.line.substr(0, c.kept) + u"\r\n");
    }
}

TEST_F(ShellLog, FileIsTheWholeLogInUtf16LeWithCrLf) {
    log_line(u"first %d \u00E9", 1);
    log_line(u"second %S", "\xE2\x80\x94");
    flush_log();
    std::string first = bytes();
    std::u16string text = log_text();
    EXPECT_EQ(first.size(), 2 * text.size());
    EXPECT_EQ(decode_utf16le(first), text);
    EXPECT_NE(text.find(u"first 1 \u00E9\r\nsecond \u2014\r\n"), std::u16string::npos);
    ASSERT_GE(first.size(), 4u);
    EXPECT_EQ(first.substr(first.size() - 4), std::string("\r\0\n\0", 4));

    flush_log();
    EXPECT_EQ(bytes(), first);  // nothing logged in between: the same file
}

TEST_F(ShellLog, FlushReplacesAPlantedLinkAndKeepsTheFilePrivate) {
    fs::path victim = directory_ / "victim";
    std::ofstream(victim) << "untouched";
    fs::create_symlink(victim, file());
    log_line(u"private");
    flush_log();
    EXPECT_FALSE(fs::is_symlink(file()));
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched");
    struct stat info;
    ASSERT_EQ(stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()), 2);
}

TEST_F(ShellLog, UnwritableDirectoryIsSkippedAndTheNextFlushWritesEverything) {
    log_set_directory((directory_ / "missing").string());
    log_line(u"kept in memory");
    flush_log();
    log_set_directory(directory_.string());
    flush_log();
    EXPECT_NE(decode_utf16le(bytes()).find(u"kept in memory\r\n"), std::u16string::npos);
}

TEST_F(ShellLog, EchoGetsEachLineWithoutItsEnd) {
    std::vector<std::u16string> echoed;
    log_set_echo([&](std::u16string_view line) { echoed.emplace_back(line); });
    log_line(u"one");
    log_echo(u"detail only");
    log_set_echo({});
    EXPECT_EQ(echoed, (std::vector<std::u16string>{u"one", u"detail only"}));
    EXPECT_EQ(log_text().find(u"detail only"), std::u16string::npos);
}

TEST_F(ShellLog, LinesFromManyThreadsStayWhole) {
    constexpr int THREADS = 4, LINES = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < LINES; i++) {
                log_line(u"thread %d line %d <%s>", t, i, std::u16string(40, char16_t(u'a' + t)));
                if (i % 100 == 0) flush_log();
            }
        });
    for (auto &thread : threads) thread.join();
    flush_log();
    std::u16string text = decode_utf16le(bytes());
    for (int t = 0; t < THREADS; t++)
        for (int i = 0; i < LINES; i += 97) {
            std::u16string whole =
                format_text(u"thread %d line %d <%s>\r\n", t, i, std::u16string(40, char16_t(u'a' + t)));
            EXPECT_NE(text.find(whole), std::u16string::npos) << t << " " << i;
        }
}
