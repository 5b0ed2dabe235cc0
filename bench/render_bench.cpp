// Rendering, field reads, documents and the focus graph on the stress
// template and on a typical bundle. Goals: 20,000 items render in under
// 10 ms, and a sweep over every field of every node allocates nothing once
// warm.
#include <chrono>
#include <cstdio>
#include <string>

#include "bench_templates.h"
#include "optpl.h"
#include "optpl_internal.h"

template <class F>
static double best_ms(int rounds, F &&run) {
    double best = 1e18;
    for (int r = 0; r < rounds; r++) {
        auto t0 = std::chrono::steady_clock::now();
        run();
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

static const char *const FIELDS[] = {"kind", "depth", "parent", "path", "verdict", "section", "section_text",
                                     "key", "type", "display", "text", "default", "icon", "url", "handler",
                                     "has_group", "group_key", "values_count", "enabled", "feature_flag"};

static void sweep_fields() {
    int n = optpl_node_count();
    for (int i = 0; i < n; i++)
        for (const char *f : FIELDS) (void)optpl_node_field(i, f);
}

static void report(const char *label, const char *tpl, const char *page) {
    optpl_render(tpl, page);  // warm: parsed model, grown buffers
    const int nodes = optpl_node_count();
    double render = best_ms(10, [&] { optpl_render(tpl, page); });
    sweep_fields();
    xalloc_fail_at(0);  // counts allocations from here
    double sweep = best_ms(5, sweep_fields);
    long sweep_allocs = xalloc_calls();
    double doc = best_ms(5, [] { (void)optpl_result_json(); });
    double focus = best_ms(5, [&] {
        optpl_focus_build(tpl, page);
        (void)optpl_focus_json();
        (void)optpl_tv_layout_json();
    });
    std::printf("%s: %d nodes\n", label, nodes);
    std::printf("  render            %8.3f ms  %6.1f M nodes/s\n", render, nodes / render / 1e3);
    std::printf("  field sweep (x20) %8.3f ms  %6.1f M reads/s, %ld allocations in 5 sweeps\n", sweep,
                nodes * 20 / sweep / 1e3, sweep_allocs);
    std::printf("  result document   %8.3f ms  %zu bytes\n", doc, std::string(optpl_result_json()).size());
    std::printf("  focus build+docs  %8.3f ms  %d focus nodes\n", focus, optpl_focus_count());
}

int main() {
    const std::string stress = stress_template();
    optpl_add_template("stress.json", stress.c_str());
    optpl_set_max_depth(0);
    report("stress, page's own 20,000 items (max depth 0)", "stress.json", nullptr);
    optpl_set_max_depth(-1);
    report("stress, all levels", "stress.json", nullptr);

    const std::string typical = typical_bundle();
    optpl_load_bundle_bytes(reinterpret_cast<const unsigned char *>(typical.data()), typical.size());
    optpl_set_language("fr");
    optpl_set_flag("beta", "on");
    optpl_set_app_version("2.0");
    report("typical bundle, one page", "page7.json", nullptr);
    optpl_cleanup();
    return 0;
}
