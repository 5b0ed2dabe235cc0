// The shell's plain state record: window size, television layout settings,
// page history, subtitle cues and the last status text. The operations never
// allocate and tolerate a missing record.
#pragma once

#include <cstdint>
#include <string_view>

namespace shell {

inline constexpr int32_t MODEL_HISTORY_CAPACITY = 16;
inline constexpr int32_t MODEL_CUE_CAPACITY = 64;
inline constexpr int64_t DEFAULT_CUE_TICKS = 20'000'000;  // 2 s in 100 ns ticks

struct PageHistoryEntry {
    char template_name[128];
    char data[128];
    char focus_path[256];
    int32_t reserved;  // kept for the entry layout; restoring does not use it
};

struct CueEntry {
    int64_t start;  // ticks
    int64_t end;    // ticks, exclusive
    char text[1024];
};

struct ShellModel {
    int32_t width = 1920;
    int32_t height = 1080;
    int32_t safe_inset = 5;
    int32_t columns = 4;
    int32_t rows = 4;
    int32_t history_depth = 0;
    PageHistoryEntry history[MODEL_HISTORY_CAPACITY] = {};
    int32_t cue_count = 0;
    CueEntry cues[MODEL_CUE_CAPACITY] = {};
    char status[1024] = {};
};

void model_init(ShellModel *model, int32_t width, int32_t height);
void model_set_grid(ShellModel *model, int32_t columns, int32_t rows);
void model_set_safe_inset(ShellModel *model, int32_t inset);
// Stored as UTF-8, cut to 1,023 bytes at a character boundary.
void model_set_status(ShellModel *model, std::u16string_view text);
// Remembers a page (texts cut to their fields); a full history drops its
// oldest entry. 0, or -1 without a record.
int history_push(ShellModel *model, const char *template_name, const char *data, const char *focus_path);
// 1 and the newest entry (when `out` is given), or 0 when the history is empty.
int history_pop(ShellModel *model, PageHistoryEntry *out);
// Appends a cue, dropping the oldest when full; a duration <= 0 lasts 2 s. 0, or -1 without a record.
int cue_add(ShellModel *model, int64_t start, int64_t duration, const char *text);
// Text of the first stored cue with start <= time < end; "" when none.
const char *cue_find(const ShellModel *model, int64_t time);
// Drops the cues that end at or before `time`, keeping the others in order.
void cue_prune_ended(ShellModel *model, int64_t time);
void cue_clear(ShellModel *model);

}  // namespace shell
