#include "shell_model.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "text.h"

namespace shell {

void model_init(ShellModel *model, int32_t width, int32_t height) {
    if (!model) return;
    model->history_depth = 0;
    std::memset(model->history, 0, sizeof model->history);
    model->cue_count = 0;
    std::memset(model->cues, 0, sizeof model->cues);
    std::memset(model->status, 0, sizeof model->status);
    model->safe_inset = 5;
    model->columns = 4;
    model->rows = 4;
    model->width = width > 0 ? width : 1920;
    model->height = height > 0 ? height : 1080;
}

void model_set_grid(ShellModel *model, int32_t columns, int32_t rows) {
    if (!model) return;
    model->columns = std::max(columns, 1);
    model->rows = std::max(rows, 1);
}

void model_set_safe_inset(ShellModel *model, int32_t inset) {
    if (!model) return;
    model->safe_inset = std::clamp(inset, 0, 20);
}

void model_set_status(ShellModel *model, std::u16string_view text) {
    if (!model) return;
    utf16_to_utf8_into(text, model->status, sizeof model->status);
}

namespace {

template <size_t N>
void copy_field(char (&field)[N], const char *text) {
    std::string_view source = text ? text : "";
    size_t length = utf8_cut(source, N - 1);
    std::memcpy(field, source.data(), length);
    field[length] = '\0';
}

}  // namespace

int history_push(ShellModel *model, const char *template_name, const char *data, const char *focus_path) {
    if (!model) return -1;
    if (model->history_depth >= MODEL_HISTORY_CAPACITY) {
        std::memmove(&model->history[0], &model->history[1], sizeof(PageHistoryEntry) * (MODEL_HISTORY_CAPACITY - 1));
        model->history_depth = MODEL_HISTORY_CAPACITY - 1;
    }
    PageHistoryEntry &entry = model->history[model->history_depth++];
    entry = {};
    copy_field(entry.template_name, template_name);
    copy_field(entry.data, data);
    copy_field(entry.focus_path, focus_path);
    return 0;
}

int history_pop(ShellModel *model, PageHistoryEntry *out) {
    if (!model || model->history_depth <= 0) return 0;
    model->history_depth--;
    if (out) *out = model->history[model->history_depth];
    return 1;
}

int cue_add(ShellModel *model, int64_t start, int64_t duration, const char *text) {
    if (!model) return -1;
    if (model->cue_count >= MODEL_CUE_CAPACITY) {
        std::memmove(&model->cues[0], &model->cues[1], sizeof(CueEntry) * (MODEL_CUE_CAPACITY - 1));
        model->cue_count = MODEL_CUE_CAPACITY - 1;
    }
    CueEntry &cue = model->cues[model->cue_count];
    cue.start = start;
    cue.end = start + (duration > 0 ? duration : DEFAULT_CUE_TICKS);
    copy_field(cue.text, text);
    model->cue_count++;
    return 0;
}

const char *cue_find(const ShellModel *model, int64_t time) {
    if (!model) return "";
    for (int32_t i = 0; i < model->cue_count; i++)
        if (model->cues[i].start <= time && time < model->cues[i].end) return model->cues[i].text;
    return "";
}

void cue_prune_ended(ShellModel *model, int64_t time) {
    if (!model) return;
    int32_t kept = 0;
    for (int32_t i = 0; i < model->cue_count; i++) {
        if (model->cues[i].end <= time) continue;
        if (kept != i) model->cues[kept] = model->cues[i];
        kept++;
    }
    model->cue_count = kept;
}

void cue_clear(ShellModel *model) {
    if (model) model->cue_count = 0;
}

}  // namespace shell
