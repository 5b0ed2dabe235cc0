// The command line, run scripts, and the file services with their error codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/command_line.h"
#include "core/files.h"
#include "core/platform_error.h"
#include "core/script.h"

using namespace shell;

namespace {
std::optional<CommandLine> parse(std::vector<const char *> args, std::string &error) {
    args.insert(args.begin(), "app");
    return parse_command_line(int(args.size()), args.data(), error);
}
}  // namespace

TEST(CommandLine, ReadsEveryOptionInBothForms) {
    std::string error;
    auto options = parse({"--help", "--headless", "--quiet", "--app-dir", "/a", "--temp-dir=/t", "--local-dir", "/l",
                          "--script=s.txt", "--exit-after", "250", "--heartbeat-present"},
                         error);
    ASSERT_TRUE(options) << error;
    EXPECT_TRUE(options->help);
    EXPECT_TRUE(options->headless);
    EXPECT_TRUE(options->quiet);
    EXPECT_EQ(options->app_dir, "/a");
    EXPECT_EQ(options->temp_dir, "/t");
    EXPECT_EQ(options->local_dir, "/l");
    EXPECT_EQ(options->script, "s.txt");
    EXPECT_EQ(options->exit_after_ms, 250);
    EXPECT_TRUE(options->heartbeat_present);

    auto defaults = parse({}, error);
    ASSERT_TRUE(defaults);
    EXPECT_FALSE(defaults->help);
    EXPECT_FALSE(defaults->headless);
    EXPECT_FALSE(defaults->exit_after_ms);
    EXPECT_FALSE(defaults->heartbeat_present);
}

TEST(CommandLine, RefusesWhatItDoesNotKnow) {
    const std::vector<std::vector<const char *>> bad = {
        {"--fullscreen"}, {"--script"}, {"--exit-after", "soon"}, {"--exit-after=-5"}, {"--headless=yes"},
        {"--remote"}, {"--remote-open=yes"}, {"--heartbeat-present=1"},
    };
    for (const auto &args : bad) {
        std::string error;
        EXPECT_FALSE(parse(args, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(CommandLine, RemoteTakesAnOptionalAddressAndAPort) {
    struct Case {
        std::vector<const char *> args;
        std::optional<int> port;
        std::string address;
        bool open;
    } cases[] = {
        {{}, std::nullopt, "", false},
        {{"--remote", "5000"}, 5000, "", false},
        {{"--remote=127.0.0.1:0", "--remote-open"}, 0, "127.0.0.1", true},
        {{"--remote", "192.168.1.20:65535"}, 65535, "192.168.1.20", false},
    };
    for (const Case &c : cases) {
        std::string error;
        auto options = parse(c.args, error);
        ASSERT_TRUE(options) << error;
        EXPECT_EQ(options->remote_port, c.port);
        EXPECT_EQ(options->remote_address, c.address);
        EXPECT_EQ(options->remote_open, c.open);
    }
    for (const char *bad : {"65536", "-1", "port", "", "localhost:5000", "1.2.3:5000", "::1:5000", "1.2.3.4:", ":5000"}) {
        std::string error;
        EXPECT_FALSE(parse({"--remote", bad}, error)) << bad;
        EXPECT_EQ(error, "--remote needs [ADDR:]PORT with an IPv4 address and a port up to 65535, not " + std::string(bad));
    }
}

TEST(Script, ParsesEveryCommand) {
    std::string error;
    auto steps = parse_script(
        "# start\nkey 40\npad a\n\n  tap 3  \nwait 500\nbeats 2\nshot out.png # shot\n"
        "tree out.json\nquit\n",
        error);
    ASSERT_TRUE(steps) << error;
    using Op = ScriptStep::Op;
    struct Expected {
        Op op;
        int number;
        std::string text;
        int line;
    } expected[] = {
        {Op::Key, 40, "", 2},  {Op::Pad, 0, "a", 3},        {Op::Tap, 3, "", 5},          {Op::Wait, 500, "", 6},
        {Op::Beats, 2, "", 7}, {Op::Shot, 0, "out.png", 8}, {Op::Tree, 0, "out.json", 9}, {Op::Quit, 0, "", 10},
    };
    ASSERT_EQ(steps->size(), std::size(expected));
    for (size_t i = 0; i < steps->size(); i++) {
        EXPECT_EQ((*steps)[i].op, expected[i].op) << i;
        EXPECT_EQ((*steps)[i].number, expected[i].number) << i;
        EXPECT_EQ((*steps)[i].text, expected[i].text) << i;
        EXPECT_EQ((*steps)[i].line, expected[i].line) << i;
    }
}

TEST(Script, NamesTheFaultyLine) {
    struct Case {
        const char *text, *error;
    } cases[] = {
        {"jump 3", "line 1: unknown command \"jump\""}, {"key 40\nkey", "line 2: key needs a number"},
        {"wait 5ms", "line 1: wait needs a number"},    {"wait -5", "line 1: wait needs a number"},
        {"shot", "line 1: shot needs an argument"},     {"quit now", "line 1: quit takes no argument"},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_FALSE(parse_script(c.text, error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

TEST(PlatformError, CodesFromErrno) {
    struct Case {
        int error;
        uint32_t code;
    } cases[] = {{ENOENT, 0x80070002}, {EACCES, 0x80070005}, {ENOMEM, 0x8007000E}, {EIO, 0x80004005}, {0, 0x80004005}};
    for (const Case &c : cases) EXPECT_EQ(error_code_from_errno(c.error), c.code) << c.error;
}

TEST(Files, ReadExistAndFailWithACode) {
    auto path = std::filesystem::temp_directory_path() / ("shell_files_test_" + std::to_string(getpid()));
    std::ofstream(path, std::ios::binary) << "first line\r\nsecond";
    EXPECT_TRUE(file_exists(path.string()));
    EXPECT_EQ(read_text_file(path.string()), "first line\r\nsecond");
    std::filesystem::remove(path);
    EXPECT_FALSE(file_exists(path.string()));
    try {
        read_text_file(path.string());
        ADD_FAILURE() << "no exception";
    } catch (const PlatformError &error) {
        EXPECT_EQ(error.code(), 0x80070002u);
    }
}

TEST(Files, Directories) {
    EXPECT_EQ(directory_of("/opt/orvello/app"), "/opt/orvello");
    EXPECT_EQ(directory_of("app"), "app");
    EXPECT_EQ(temp_directory("/var/tmp"), "/var/tmp/");
    EXPECT_EQ(temp_directory("/var/tmp/"), "/var/tmp/");
    setenv("TMPDIR", "/custom", 1);
    EXPECT_EQ(temp_directory(""), "/custom/");
    unsetenv("TMPDIR");
    EXPECT_EQ(temp_directory(""), "/tmp/");
    EXPECT_EQ(directory_of(executable_path()).substr(0, 1), "/");
}
