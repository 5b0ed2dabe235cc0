#include "core/transport.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>

#include "json.h"

namespace shell {

namespace {

constexpr double LONGEST_SKIP_SECONDS = 3600;

struct DocFree {
    void operator()(json_doc *doc) const { json_doc_free(doc); }
};

bool key_is(json_val *object, std::string_view key) {
    json_val *value = json_obj_get(object, "Key");
    return json_equals_str(value, key.data(), key.size());
}

std::string_view string_member(json_val *object, const char *name) {
    json_val *value = json_obj_get(object, name);
    const char *text = json_get_str(value);
    return text ? std::string_view(text, json_get_len(value)) : std::string_view();
}

}  // namespace

int64_t clamp_to_media(int64_t ticks, int64_t duration) {
    ticks = std::max<int64_t>(ticks, 0);
    return duration > 0 ? std::min(ticks, duration) : ticks;
}

int64_t skip_target(int64_t position, int64_t interval, int direction, int64_t duration) {
    int64_t step = direction < 0 ? -interval : interval;
    // Saturating: a position near the end of the range must not wrap.
    int64_t target = step > 0 && position > INT64_MAX - step   ? INT64_MAX
                     : step < 0 && position < INT64_MIN - step ? INT64_MIN
                                                               : position + step;
    return clamp_to_media(target, duration);
}

int chapter_at(std::span<const int64_t> starts, int64_t position) {
    int chapter = -1;
    for (size_t i = 0; i < starts.size(); i++)
        if (starts[i] <= position) chapter = int(i);
    return chapter;
}

std::optional<ChapterJump> chapter_jump(std::span<const int64_t> starts, int64_t position, int direction) {
    int current = chapter_at(starts, position);
    if (direction > 0) {
        size_t next = size_t(current + 1);
        if (next >= starts.size()) return std::nullopt;
        return ChapterJump{int(next), starts[next]};
    }
    if (current >= 0 && position - starts[current] > CHAPTER_RESTART_TICKS)
        return ChapterJump{current, starts[current]};
    if (current >= 1) return ChapterJump{current - 1, starts[current - 1]};
    return ChapterJump{starts.empty() || starts[0] > 0 ? -1 : 0, 0};
}

int next_track(int current, int count, bool can_be_off) {
    if (count <= 0) return -1;
    if (current < 0 || current >= count) return 0;
    if (current + 1 < count) return current + 1;
    return can_be_off ? -1 : 0;
}

std::string clock_text(int64_t ticks, bool with_hours) {
    long long seconds = std::max<int64_t>(ticks, 0) / ONE_SECOND_TICKS;
    long long hours = seconds / 3600, minutes = seconds / 60 % 60;
    char text[32];
    if (hours > 0 || with_hours)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, seconds % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, seconds % 60);
    return text;
}

std::string track_name(std::string_view title, std::string_view language, std::string_view codec) {
    if (language == "und") language = {};
    std::string name(title);
    if (!language.empty()) {
        if (!name.empty()) name += " - ";
        name += language;
    }
    if (!codec.empty()) {
        if (!name.empty()) name += ' ';
        name += "(";
        name += codec;
        name += ")";
    }
    return name;
}

std::optional<int64_t> skip_interval_ticks(std::string_view settings_json) {
    std::unique_ptr<json_doc, DocFree> doc(json_read(settings_json.data(), settings_json.size(),
                                                     JSON_READ_BOM | JSON_READ_COMMENTS | JSON_READ_TRAILING_COMMAS,
                                                     nullptr, nullptr));
    if (!doc) return std::nullopt;
    // Values lie in document order, so the item is found by walking them all.
    json_val *first = json_doc_root(doc.get());
    json_val *end = first + json_doc_val_count(doc.get());
    json_val *item = nullptr;
    for (json_val *value = first; value < end && !item; value++)
        if (json_is_obj(value) && key_is(value, "SkipInterval")) item = value;
    if (!item) return std::nullopt;
    std::string_view chosen = string_member(item, "DefaultValue");
    json_arr_iter values = json_arr_iter_init(json_obj_get(item, "Values"));
    while (json_val *value = json_arr_iter_next(&values)) {
        if (!key_is(value, chosen)) continue;
        std::string_view seconds_text = string_member(value, "DefaultValue");
        double seconds = 0;
        auto [rest, status] = std::from_chars(seconds_text.data(), seconds_text.data() + seconds_text.size(), seconds);
        if (status != std::errc() || rest != seconds_text.data() + seconds_text.size() || !(seconds > 0) ||
            seconds > LONGEST_SKIP_SECONDS)
            return std::nullopt;
        return int64_t(std::llround(seconds * ONE_SECOND_TICKS));
    }
    return std::nullopt;
}

}  // namespace shell
