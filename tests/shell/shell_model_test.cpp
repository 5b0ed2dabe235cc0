// The shell model's operations.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/shell_model.h"

using namespace shell;

namespace {
std::unique_ptr<ShellModel> fresh(int width = 1920, int height = 1080) {
    auto model = std::make_unique<ShellModel>();
    model_init(model.get(), width, height);
    return model;
}
}  // namespace

TEST(ShellModel, InitFallsBackAndClamps) {
    auto model = fresh(0, -5);
    EXPECT_EQ(model->width, 1920);
    EXPECT_EQ(model->height, 1080);
    model_init(model.get(), 1280, 720);
    EXPECT_EQ(model->width, 1280);
    EXPECT_EQ(model->height, 720);

    struct Case {
        int inset, stored;
    } insets[] = {{25, 20}, {-1, 0}, {7, 7}};
    for (const Case &c : insets) {
        model_set_safe_inset(model.get(), c.inset);
        EXPECT_EQ(model->safe_inset, c.stored);
    }
    model_set_grid(model.get(), 0, 7);
    EXPECT_EQ(model->columns, 1);
    EXPECT_EQ(model->rows, 7);
}

TEST(ShellModel, InitZeroesHistoryCuesAndStatus) {
    auto model = fresh();
    model->history_depth = 3;
    cue_add(model.get(), 0, 10, "cue");
    model_set_status(model.get(), u"busy");
    model_set_grid(model.get(), 9, 9);
    model_init(model.get(), 1920, 1080);
    EXPECT_EQ(model->history_depth, 0);
    EXPECT_EQ(model->cue_count, 0);
    EXPECT_STREQ(model->status, "");
    EXPECT_EQ(model->columns, 4);
    EXPECT_EQ(model->rows, 4);
    EXPECT_EQ(model->safe_inset, 5);
}

TEST(ShellModel, OperationsTolerateAMissingRecord) {
    model_init(nullptr, 1, 1);
    model_set_grid(nullptr, 1, 1);
    model_set_safe_inset(nullptr, 1);
    model_set_status(nullptr, u"x");
    cue_clear(nullptr);
    EXPECT_EQ(history_pop(nullptr, nullptr), 0);
    EXPECT_EQ(cue_add(nullptr, 0, 0, "x"), -1);
    EXPECT_STREQ(cue_find(nullptr, 0), "");
}

TEST(ShellModel, StatusIsUtf8CutAtACharacterBoundary) {
    auto model = fresh();
    model_set_status(model.get(), u"caf\u00E9");
    EXPECT_STREQ(model->status, "caf\xC3\xA9");
    model_set_status(model.get(), std::u16string(2000, u'a'));
    EXPECT_EQ(std::string(model->status), std::string(1023, 'a'));
    // 1,022 ASCII bytes and a two-byte character: the character does not fit.
    model_set_status(model.get(), std::u16string(1022, u'b') + u"\u00E9");
    EXPECT_EQ(std::string(model->status), std::string(1022, 'b'));
}

TEST(ShellModel, HistoryPopsNewestFirst) {
    auto model = fresh();
    EXPECT_EQ(history_pop(model.get(), nullptr), 0);
    model->history_depth = 2;
    snprintf(model->history[0].template_name, sizeof model->history[0].template_name, "homepage.json");
    snprintf(model->history[1].template_name, sizeof model->history[1].template_name, "settings.json");
    PageHistoryEntry entry{};
    EXPECT_EQ(history_pop(model.get(), &entry), 1);
    EXPECT_STREQ(entry.template_name, "settings.json");
    EXPECT_EQ(history_pop(model.get(), nullptr), 1);
    EXPECT_EQ(model->history_depth, 0);
    EXPECT_EQ(history_pop(model.get(), &entry), 0);
}

TEST(ShellModel, CuesEndAfterTheirDurationAndFirstStoredWins) {
    auto model = fresh();
    EXPECT_EQ(cue_add(model.get(), 10, 0, "default"), 0);
    EXPECT_EQ(model->cues[0].end, 20'000'010);
    cue_add(model.get(), 100, 50, "overlapping");
    cue_add(model.get(), 1000, 10, nullptr);
    struct Case {
        int64_t time;
        const char *text;
    } cases[] = {{9, ""}, {10, "default"}, {120, "default"}, {20'000'009, "default"}, {20'000'010, ""}};
    for (const Case &c : cases) EXPECT_STREQ(cue_find(model.get(), c.time), c.text) << c.time;
    cue_clear(model.get());
    EXPECT_STREQ(cue_find(model.get(), 120), "");
}

TEST(ShellModel, The65thCueDropsTheOldest) {
    auto model = fresh();
    for (int i = 0; i < 65; i++) cue_add(model.get(), i * 100, 100, std::to_string(i).c_str());
    EXPECT_EQ(model->cue_count, 64);
    EXPECT_STREQ(model->cues[0].text, "1");
    EXPECT_STREQ(model->cues[63].text, "64");
    EXPECT_STREQ(cue_find(model.get(), 50), "");
}

TEST(ShellModel, CueTextIsCutTo1023Bytes) {
    auto model = fresh();
    cue_add(model.get(), 0, 1, std::string(1500, 'x').c_str());
    EXPECT_EQ(std::string(model->cues[0].text), std::string(1023, 'x'));
}
