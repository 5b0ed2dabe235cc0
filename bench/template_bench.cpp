// Building a template model against the raw JSON parse of the same text.
// Prints MB/s for both, the ratio (goal: the model costs at most 1.5x the
// raw parse) and the arena bytes the model took.
#include <chrono>
#include <cstdio>
#include <string>

#include "bench_templates.h"
#include "json.h"
#include "model.h"
#include "optpl.h"
#include "optpl_internal.h"

static size_t count_objects(const ModelObj *o) {
    if (!o) return 0;
    size_t n = 1;
    for (int slot = 0; slot < CHILD_SLOTS; slot++) n += count_objects(obj_child(o, slot));
    for (int slot = 0; slot < LIST_SLOTS; slot++)
        for (int i = 0; i < obj_list(o, slot)->count; i++) n += count_objects(obj_list(o, slot)->items[i]);
    return n;
}

template <class F>
static double best_seconds(int rounds, F &&run) {
    double best = 1e9;
    for (int r = 0; r < rounds; r++) {
        auto t0 = std::chrono::steady_clock::now();
        run();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

int main() {
    const std::string text = stress_template();
    const double mb = double(text.size()) / 1e6;
    const uint32_t flags = JSON_READ_BOM | JSON_READ_COMMENTS | JSON_READ_TRAILING_COMMAS | JSON_READ_SINGLE_QUOTES |
                           JSON_READ_UNQUOTED_KEYS | JSON_READ_INF_NAN | JSON_READ_INVALID_UTF8 |
                           JSON_READ_NUMBERS_RAW | JSON_READ_STOP_WHEN_DONE;
    // Rounds alternate between the two so that both see the same machine state.
    double raw = 1e9, model = 1e9;
    for (int r = 0; r < 15; r++) {
        raw = std::min(raw, best_seconds(1, [&] {
            json_doc_free(json_read(text.data(), text.size(), flags, nullptr, nullptr));
        }));
        optpl_add_template("stress.json", text.c_str());  // forgets the previous model
        model = std::min(model, best_seconds(1, [] {
            if (optpl_parse_template("stress.json") != 0) std::fprintf(stderr, "parse failed: %s\n", optpl_last_error());
        }));
    }
    ModelObj *root = nullptr;
    get_parsed("stress.json", &root);
    const BundleEntry *e = bundle_find(&g_lib.bundle, "stress.json", 11);

    std::printf("stress template: %.1f MB, %zu model objects\n", mb, count_objects(root));
    std::printf("%-28s %9.1f ms %9.1f MB/s\n", "raw JSON parse", raw * 1e3, mb / raw);
    std::printf("%-28s %9.1f ms %9.1f MB/s\n", "first optpl_parse_template", model * 1e3, mb / model);
    std::printf("model / raw: %.2fx (goal <= 1.50x)\n", model / raw);
    std::printf("arena: %.1f MB used, %.1f MB in chunks\n", double(e->arena.used) / 1e6, double(ar_reserved(&e->arena)) / 1e6);
    optpl_cleanup();
    return 0;
}
