// Binding the libraries: tiny stand-ins built by the test suite, a file that is
// no library, missing files, over-long paths, and the real template library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "core/engine_bindings.h"
#include "core/shell_log.h"
#include "oppb.h"
#include "optpl.h"

using namespace shell;
namespace fs = std::filesystem;

// The record's entry points have the library's own signatures.
#define SAME_SIGNATURE(name) static_assert(std::is_same_v<decltype(EngineBindings::name), decltype(&::name)>, #name)
SAME_SIGNATURE(optpl_init);
SAME_SIGNATURE(optpl_version);
SAME_SIGNATURE(optpl_load_bundle_file);
SAME_SIGNATURE(optpl_add_template);
SAME_SIGNATURE(optpl_set_platform);
SAME_SIGNATURE(optpl_set_device);
SAME_SIGNATURE(optpl_set_edition);
SAME_SIGNATURE(optpl_set_language);
SAME_SIGNATURE(optpl_set_form_factor);
SAME_SIGNATURE(optpl_set_tv_columns);
SAME_SIGNATURE(optpl_set_tv_rows);
SAME_SIGNATURE(optpl_set_tv_safe_inset);
SAME_SIGNATURE(optpl_tv_columns);
SAME_SIGNATURE(optpl_tv_rows);
SAME_SIGNATURE(optpl_tv_layout_json);
SAME_SIGNATURE(optpl_focus_build);
SAME_SIGNATURE(optpl_focus_count);
SAME_SIGNATURE(optpl_focus_field);
SAME_SIGNATURE(optpl_focus_default);
SAME_SIGNATURE(optpl_focus_index);
SAME_SIGNATURE(optpl_focus_set);
SAME_SIGNATURE(optpl_focus_apply);
SAME_SIGNATURE(optpl_focus_child_page);
SAME_SIGNATURE(optpl_focus_back);
SAME_SIGNATURE(optpl_focus_root);
SAME_SIGNATURE(optpl_nav_depth);
SAME_SIGNATURE(optpl_action_from_virtual_key);
SAME_SIGNATURE(optpl_action_from_key);
SAME_SIGNATURE(optpl_action_count);
SAME_SIGNATURE(optpl_action_field);
SAME_SIGNATURE(optpl_last_error);
// The playback engine's entry points it already declares.
SAME_SIGNATURE(oppb_version);
SAME_SIGNATURE(oppb_open_path);
SAME_SIGNATURE(oppb_close);
SAME_SIGNATURE(oppb_stream_count);
SAME_SIGNATURE(oppb_stream_field);
SAME_SIGNATURE(oppb_duration_ticks);
SAME_SIGNATURE(oppb_next_sample);
SAME_SIGNATURE(oppb_select_stream);
SAME_SIGNATURE(oppb_stream_selected);
SAME_SIGNATURE(oppb_sample_mode);
SAME_SIGNATURE(oppb_position_ticks);
SAME_SIGNATURE(oppb_last_error);

namespace {

std::vector<std::string> status_lines(const EngineBindings &record) {
    std::vector<std::string> lines;
    std::string text = record.status;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::string library_path(const std::string &directory, const char *file) { return directory + "/" + file + ".so"; }

// A folder of its own, removed afterwards.
class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        log_set_echo({});
        directory_ = fs::temp_directory_path() / ("shell_bindings_test_" + std::to_string(getpid()) + "_" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }
    fs::path directory_;
    EngineBindings record_{};
};

}  // namespace

TEST_F(Binding, NoRecordIsMinusOne) { EXPECT_EQ(bind_engines(nullptr, "."), -1); }

TEST_F(Binding, MissingLibrariesFailWithErr2) {
    std::memset(&record_, 0xAB, sizeof record_);  // zero-filled whatever it held
    EXPECT_EQ(bind_engines(&record_, directory_.c_str()), 0);
    std::string dir = directory_.string();
    EXPECT_EQ(status_lines(record_), (std::vector<std::string>{
                                         "optpl  " + library_path(dir, OPTPL_LIBRARY) + "  LOAD FAILED err=2",
                                         "oppb   " + library_path(dir, OPPB_LIBRARY) + "  LOAD FAILED err=2",
                                         "oprc   " + library_path(dir, OPRC_LIBRARY) + "  LOAD FAILED err=2",
                                     }));
    EXPECT_EQ(record_.optpl_module, nullptr);
    EXPECT_EQ(record_.optpl_version, nullptr);
    EXPECT_EQ(record_.oprc_stop, nullptr);
}

TEST_F(Binding, NoDirectoryMeansTheCurrentOne) {
    bind_engines(&record_, nullptr);
    EXPECT_EQ(status_lines(record_)[0].rfind("optpl  ./" + std::string(OPTPL_LIBRARY) + ".so  ", 0), 0u);
}

TEST_F(Binding, LibrariesWithoutExportsCountAsLoaded) {
    std::string dir = std::string(BINDING_LIBRARIES) + "/empty";
    EXPECT_EQ(bind_engines(&record_, dir.c_str()), 3);
    EXPECT_EQ(status_lines(record_), (std::vector<std::string>{
                                         "optpl  " + library_path(dir, OPTPL_LIBRARY) + "  31 exports missing",
                                         "oppb   " + library_path(dir, OPPB_LIBRARY) + "  16 exports missing",
                                         "oprc   " + library_path(dir, OPRC_LIBRARY) + "  8 exports missing",
                                     }));
    EXPECT_NE(record_.optpl_module, nullptr);
    EXPECT_NE(record_.oppb_module, nullptr);
    EXPECT_NE(record_.oprc_module, nullptr);
    EXPECT_EQ(record_.optpl_focus_build, nullptr);
}

TEST_F(Binding, ASubsetBindsWhatIsThere) {
    std::string dir = std::string(BINDING_LIBRARIES) + "/subset";
    EXPECT_EQ(bind_engines(&record_, dir.c_str()), 1);
    EXPECT_EQ(status_lines(record_)[0], "optpl  " + library_path(dir, OPTPL_LIBRARY) + "  28 exports missing");
    ASSERT_NE(record_.optpl_version, nullptr);
    EXPECT_STREQ(record_.optpl_version(), "0.subset");
    ASSERT_NE(record_.optpl_focus_count, nullptr);
    EXPECT_EQ(record_.optpl_focus_count(), 7);
    ASSERT_NE(record_.optpl_last_error, nullptr);
    EXPECT_EQ(record_.optpl_focus_build, nullptr);
    EXPECT_EQ(record_.optpl_init, nullptr);
}

TEST_F(Binding, AFileThatIsNoLibraryFailsWithErr8) {
    std::ofstream(library_path(directory_.string(), OPTPL_LIBRARY)) << "not a library\n";
    EXPECT_EQ(bind_engines(&record_, directory_.c_str()), 0);
    EXPECT_EQ(status_lines(record_)[0],
              "optpl  " + library_path(directory_.string(), OPTPL_LIBRARY) + "  LOAD FAILED err=8");
    EXPECT_EQ(record_.optpl_module, nullptr);
}

TEST_F(Binding, TheLoaderExplanationGoesToTheEchoOnly) {
    std::vector<std::u16string> echoed;
    log_set_echo([&](std::u16string_view line) { echoed.emplace_back(line); });
    std::u16string before = log_text();
    bind_engines(&record_, directory_.c_str());
    log_set_echo({});
    ASSERT_EQ(echoed.size(), 3u);
    EXPECT_NE(echoed[0].find(u"No such file"), std::u16string::npos);
    EXPECT_EQ(log_text(), before);
}

TEST_F(Binding, ThePathThatDoesNotFitIsNotLoaded) {
    // 1,024 bytes with the separator, name and ".so": the last character would be cut.
    std::string name = OPTPL_LIBRARY;
    std::string dir = std::string(BINDING_LIBRARIES) + "/subset";
    std::string padded = dir + std::string(1024 - dir.size() - name.size() - 4, '/');
    ASSERT_EQ(library_path(padded, OPTPL_LIBRARY).size(), 1024u);
    EXPECT_EQ(bind_engines(&record_, padded.c_str()), 0);
    EXPECT_EQ(record_.optpl_module, nullptr);
    // The status line (cut itself, the path being that long) shows the path cut short.
    EXPECT_EQ(status_lines(record_)[0].rfind("optpl  " + padded, 0), 0u);

    // One byte shorter fits, and the same library loads.
    padded.pop_back();
    EXPECT_EQ(bind_engines(&record_, padded.c_str()), 1);
    EXPECT_NE(record_.optpl_module, nullptr);
}

TEST_F(Binding, StatusTextStaysWithin1023Characters) {
    // Directories of growing length: the third line is cut, then dropped whole.
    for (size_t length : {200, 330, 420, 900}) {
        std::string dir;  // components short enough for the file system to report a missing file
        while (dir.size() < length) dir += dir.size() % 50 == 0 ? '/' : 'd';
        bind_engines(&record_, dir.c_str());
        std::string text = record_.status;
        SCOPED_TRACE(length);
        EXPECT_LE(text.size(), 1023u);
        EXPECT_EQ(text.back(), '\n');
        std::vector<std::string> full = {
            "optpl  " + library_path(dir, OPTPL_LIBRARY) + "  LOAD FAILED err=2",
            "oppb   " + library_path(dir, OPPB_LIBRARY) + "  LOAD FAILED err=2",
            "oprc   " + library_path(dir, OPRC_LIBRARY) + "  LOAD FAILED err=2",
        };
        std::vector<std::string> lines = status_lines(record_);
        for (size_t i = 0; i < lines.size(); i++) EXPECT_EQ(full[i].rfind(lines[i], 0), 0u) << i;
        size_t whole = 0;
        for (const std::string &line : full) whole += line.size() + 1;
        if (whole <= 1023) {
            EXPECT_EQ(lines.size(), 3u);
        } else {
            EXPECT_EQ(text.size(), 1023u);  // cut lines fill the text exactly
            bool second_cut = full[0].size() + full[1].size() + 2 > 1023;
            EXPECT_EQ(lines.size(), second_cut ? 2u : 3u);
        }
    }
}

TEST_F(Binding, TheRealTemplateLibrary) {
    fs::create_symlink(TEMPLATE_LIBRARY, library_path(directory_.string(), OPTPL_LIBRARY));
    EXPECT_EQ(bind_engines(&record_, directory_.c_str()), 1);
    std::string dir = directory_.string();
    EXPECT_EQ(status_lines(record_), (std::vector<std::string>{
                                         "optpl  " + library_path(dir, OPTPL_LIBRARY) + "  0 exports missing",
                                         "oppb   " + library_path(dir, OPPB_LIBRARY) + "  LOAD FAILED err=2",
                                         "oprc   " + library_path(dir, OPRC_LIBRARY) + "  LOAD FAILED err=2",
                                     }));
    ASSERT_NE(record_.optpl_version, nullptr);
    EXPECT_STREQ(record_.optpl_version(), "1.1.1");
    ASSERT_NE(record_.optpl_action_from_virtual_key, nullptr);
    EXPECT_STREQ(record_.optpl_action_from_virtual_key(40), "nav_down");
}
