// Arbitrary bytes through the whole template engine. The first byte picks the
// route (byte % 3: a template text, a bundle, a bundle this target compresses
// with zlib first) and the rule context (byte / 3); the rest is the input.
// After loading, every template is parsed and its model walked, pages are
// rendered and read field by field, and a focus graph is built and driven by
// a script of actions and moves taken from the input's last bytes. The
// engine must keep these promises:
// - a refused load leaves the bundle that was loaded before, byte for byte;
// - node paths are the parent's path, '/', the Key (sections: the parent's);
// - the result, focus and layout documents are strict JSON;
// - after every step the focus index is -1 exactly when the graph is empty
//   and else a node, the page stack depth is not negative, the unreachable
//   count lies below the focus count, and finding a node's path gives the
//   first node with that path.
// One input in four runs with one failing allocation, at a position taken
// from a hash of the input: every step must then fail cleanly or succeed.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "json.h"
#include "model.h"
#include "optpl.h"
#include "optpl_internal.h"
#include "rules.h"

namespace {

#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "template_fuzz.cpp:%d: check failed: %s\n", __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// Work per input stays bounded, so slow inputs point at real costs.
constexpr int MAX_TEMPLATES = 4;
constexpr int MAX_NODES_READ = 400;
constexpr int MAX_PAGES = 6;
constexpr int MAX_SCRIPT = 24;
constexpr int MAX_FOCUS_CHECKED = 64;

// The one failing allocation of an input, paused while the target itself
// inspects the library (its reads allocate too).
struct FailurePlan {
    long pending = 0;  // allocations from now until the failing one; 0 = none

    void pause() {
        if (pending) pending = pending > xalloc_calls() ? pending - xalloc_calls() : 0;
        xalloc_fail_at(0);
    }
    void resume() { xalloc_fail_at(pending); }
    bool active() const { return pending != 0; }
};

FailurePlan g_failure;

// Runs `inspect` with the failure paused.
template <class F>
void inspect(F &&f) {
    g_failure.pause();
    f();
    g_failure.resume();
}

std::string str(const char *s) { return s ? s : ""; }

bool strict_json(const char *text) {
    if (!text) return false;
    // Template texts may carry bytes that are not UTF-8; the documents pass them on.
    json_doc *doc = json_read(text, strlen(text), JSON_READ_INVALID_UTF8, nullptr, nullptr);
    json_doc_free(doc);
    return doc != nullptr;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entries() {
    Entries list;
    for (int i = 0; i < optpl_entry_count(); i++) {
        std::string name = str(optpl_entry_name(i));
        list.emplace_back(name, str(optpl_entry_text(name.c_str())));
    }
    return list;
}

// A load that is refused must leave the loaded bundle and its languages alone.
template <class F>
int load_checked(F &&load) {
    Entries before;
    int languages = 0;
    inspect([&] {
        before = entries();
        languages = optpl_language_count();
    });
    int rc = load();
    if (rc != 0)
        inspect([&] {
            FUZZ_CHECK(entries() == before);
            FUZZ_CHECK(optpl_language_count() == languages);
        });
    return rc;
}

void walk(const ModelObj *o, int depth) {
    if (!o || depth > 300) return;
    for (const char *name : {"Key", "DisplayName", "Type", "DefaultValue", "Enabled", "UseGrid"}) (void)obj_get(o, name);
    if (o->kind == K_ITEM) (void)verdict_visible(item_verdict(o));
    for (int slot = 0; slot < CHILD_SLOTS; slot++) walk(obj_child(o, slot), depth + 1);
    for (int slot = 0; slot < LIST_SLOTS; slot++) {
        const ModelList *list = obj_list(o, slot);
        for (int i = 0; i < list->count; i++) walk(list->items[i], depth + 1);
    }
}

const char *const NODE_FIELDS[] = {
    "kind", "depth", "parent", "path", "verdict", "section", "section_text", "key", "type", "display", "text",
    "default", "subtitle", "placeholder", "icon", "fallback_icon_url", "feature_flag", "enabled", "url", "handler",
    "has_group", "group_key", "group_text", "group_type", "group_use_grid", "values_count", "ext.FeatureFlag",
    "ext.UWP.Enabled", "ext.iOS.Icon", "am.Url", "rs.Theme", "no_such_field"};

// Reads every node of the last render; checks the paths against the parents'.
void read_nodes() {
    int count = optpl_node_count();
    FUZZ_CHECK(count >= 0);
    for (int i = 0; i < count && i < MAX_NODES_READ; i++) {
        for (const char *field : NODE_FIELDS) (void)optpl_node_field_is_null(i, field);
        for (int v = 0; v < optpl_node_value_count(i) && v < 8; v++)
            (void)optpl_node_value_field(i, v, "text");
        inspect([&] {
            const std::string kind = str(optpl_node_field(i, "kind"));
            const int parent = std::atoi(optpl_node_field(i, "parent"));
            FUZZ_CHECK(parent >= -1 && parent < i);
            const std::string above = parent >= 0 ? str(optpl_node_field(parent, "path")) : "";
            const std::string path = str(optpl_node_field(i, "path"));
            // A NUL byte in a Key ends the path as a C string.
            const bool above_cut = parent >= 0 && node_path_len(parent) != above.size();
            if (kind == "section" || above_cut) {
                FUZZ_CHECK(path == above);
            } else {
                const std::string key = str(optpl_node_field(i, "key"));
                FUZZ_CHECK(path == (above.empty() ? key : above + "/" + key));
            }
        });
    }
    const char *doc = optpl_result_json();
    inspect([&] { FUZZ_CHECK(g_failure.active() ? !doc || strict_json(doc) : strict_json(doc)); });
}

void check_focus() {
    inspect([] {
        const int count = optpl_focus_count();
        const int index = optpl_focus_index();
        const int fallback = optpl_focus_default();
        FUZZ_CHECK(count >= 0);
        FUZZ_CHECK(count == 0 ? index == -1 : index >= 0 && index < count);
        FUZZ_CHECK(count == 0 ? fallback == -1 : fallback >= 0 && fallback < count);
        FUZZ_CHECK(optpl_nav_depth() >= 0);
        const int unreachable = optpl_focus_unreachable_count();
        FUZZ_CHECK(unreachable >= 0 && (count == 0 ? unreachable == 0 : unreachable < count));
        for (int k = 0; k < unreachable; k++) FUZZ_CHECK(optpl_focus_unreachable(k) != nullptr);
        for (int i = 0; i < count && i < MAX_FOCUS_CHECKED; i++) {
            const std::string path = str(optpl_focus_field(i, "path"));
            const int found = optpl_focus_find(path.c_str());
            FUZZ_CHECK(found >= 0 && found <= i && str(optpl_focus_field(found, "path")) == path);
            for (const char *dir : {"up", "down", "left", "right", "pageup", "pagedown", "first", "last"}) {
                const int to = optpl_focus_move(i, dir);
                FUZZ_CHECK(to >= -1 && to < count);
            }
            (void)optpl_focus_parent(i);
            (void)optpl_focus_child_page(i);
        }
        FUZZ_CHECK(count == 0 || strict_json(optpl_focus_json()));
        FUZZ_CHECK(strict_json(optpl_tv_layout_json()));
        for (int i = 0; i <= optpl_nav_depth(); i++)
            for (const char *field : {"template", "page", "focus_path", "focus_index", "popped_path", "popped_index"})
                (void)optpl_nav_field(i, field);
    });
}

// One step of the focus script per byte.
void step(uint8_t op, const std::string &tpl) {
    const int index = optpl_focus_index();
    switch (op % 8) {
    case 0:
    case 1:
    case 2: {
        const std::string action = str(optpl_action_field(op % optpl_action_count(), "name"));
        (void)optpl_focus_apply(action.c_str());
        break;
    }
    case 3: (void)optpl_focus_enter(index); break;
    case 4: (void)optpl_focus_back(); break;
    case 5: (void)optpl_focus_set(op / 8 - 1); break;
    case 6: {
        const std::string path = str(optpl_focus_field(index, "path"));
        (void)optpl_nav_push(tpl.c_str(), "", path.c_str());
        break;
    }
    case 7:
        (void)optpl_set_tv_columns(op / 8 % 4);
        (void)optpl_focus_build(tpl.c_str(), nullptr);
        break;
    }
}

void run_pipeline(const uint8_t *script, size_t script_len) {
    std::vector<std::string> names;
    for (int i = 0; i < optpl_template_count(); i++) {
        const std::string name = str(optpl_template_name(i));
        ModelObj *root = nullptr;
        if (optpl_parse_template(name.c_str()) == 0 && get_parsed(name.c_str(), &root) == 0) walk(root, 0);
        for (int w = 0; w < optpl_warning_count(); w++) (void)str(optpl_warning(w));
        if (names.size() < MAX_TEMPLATES && !name.empty()) names.push_back(name);
    }
    (void)optpl_use_bundle_feature_flags();
    for (int i = 0; i < optpl_language_count(); i++) optpl_set_language(str(optpl_language_name(i)).c_str());
    (void)optpl_translate("Settings");

    for (const std::string &tpl : names) {
        if (optpl_render(tpl.c_str(), nullptr) != 0) continue;
        read_nodes();
        // The pages the root's items open, and the root's first section alone.
        std::vector<std::string> pages;
        std::string first_section;
        inspect([&] {
            for (int i = 0; i < optpl_node_count() && pages.size() < MAX_PAGES; i++) {
                if (str(optpl_node_field(i, "depth")) != "0") continue;
                if (str(optpl_node_field(i, "has_group")) == "1") pages.push_back(str(optpl_node_field(i, "key")));
                if (first_section.empty()) first_section = str(optpl_node_field(i, "section"));
            }
        });
        for (const std::string &page : pages)
            if (optpl_render(tpl.c_str(), page.c_str()) == 0) read_nodes();
        if (optpl_render_section(tpl.c_str(), nullptr, first_section.c_str()) == 0) read_nodes();

        (void)optpl_focus_build(tpl.c_str(), nullptr);
        check_focus();
        for (size_t i = 0; i < script_len; i++) {
            step(script[i], tpl);
            check_focus();
        }
        optpl_nav_clear();
    }
}

uint64_t input_hash(const uint8_t *data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 0x100000001b3ull;
    return h;
}

const char BASE_BUNDLE[] = R"({"base.json":"{\"Settings\":[{\"Key\":\"S\",\"Items\":[{\"Key\":\"a\"},{\"Key\":\"b\"}]}]}"})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint8_t route = data[0] % 3;
    const uint8_t context = data[0] / 3;
    const uint64_t hash = input_hash(data, size);
    data++;
    size--;

    optpl_init();
    const char *platforms[] = {"UWP", "iOS", "tvOS", "Droid", "SkiaMacOS"};
    optpl_set_platform(platforms[(context + size) % 5]);
    optpl_set_app_version(context & 8 ? "0.9" : "2.5");
    if ((context ^ size) & 1) optpl_set_flag("beta", "on");
    if (context & 16) optpl_set_global_flag("beta:on", 1);
    if (context & 32) optpl_set_form_factor("tv");
    optpl_set_clean_empty(!(context & 64));
    optpl_set_max_depth(context & 4 ? 1 : -1);
    FUZZ_CHECK(optpl_load_bundle_bytes(reinterpret_cast<const unsigned char *>(BASE_BUNDLE), sizeof BASE_BUNDLE - 1) ==
               0);

    g_failure.pending = hash % 4 == 0 ? long(1 + (hash >> 8) % 3000) : 0;
    g_failure.resume();
    // A refused load leaves the base bundle, and the pipeline runs on that.
    if (route == 0) {
        const std::string text(reinterpret_cast<const char *>(data), size);
        for (const char *name : {"t.json", "ffop.json", "strings.json"})
            load_checked([&] { return optpl_add_template(name, text.c_str()); });
    } else if (route == 1) {
        load_checked([&] { return optpl_load_bundle_bytes(data, size); });
    } else {
        uLongf len = compressBound(size);
        std::string z(len, '\0');
        if (compress2(reinterpret_cast<Bytef *>(z.data()), &len, data, size, 6) == Z_OK)
            load_checked([&] { return optpl_load_bundle_bytes(reinterpret_cast<const unsigned char *>(z.data()), len); });
    }
    const size_t script_len = size < MAX_SCRIPT ? size : MAX_SCRIPT;
    run_pipeline(data + size - script_len, script_len);
    g_failure.pending = 0;
    xalloc_fail_at(0);
    optpl_cleanup();
    return 0;
}
