// Focus actions on a 10,000-node grid, and page changes on a typical bundle.
// Goals: under 200 ns per action; an enter/back round trip and "home" from
// five pages deep under 1 ms.
#include <chrono>
#include <cstdio>
#include <string>

#include "bench_templates.h"
#include "optpl.h"

using Clock = std::chrono::steady_clock;

static double ns_since(Clock::time_point t0) { return std::chrono::duration<double, std::nano>(Clock::now() - t0).count(); }

int main() {
    // 10,000 nodes: 10 sections x 1,000 items in 8 columns.
    std::string grid = R"({"Key":"Grid","Settings":[)";
    for (int s = 0; s < 10; s++) {
        grid += std::string(s ? "," : "") + R"({"Key":"S)" + std::to_string(s) + R"(","Items":[)";
        for (int i = 0; i < 1000; i++) grid += std::string(i ? "," : "") + R"({"Key":"k)" + std::to_string(i) + "\"}";
        grid += "]}";
    }
    grid += "]}";
    optpl_add_template("grid.json", grid.c_str());
    optpl_set_tv_columns(8);
    optpl_set_tv_rows(6);
    optpl_focus_build("grid.json", nullptr);
    const char *const cycle[] = {"nav_down", "nav_right", "page_down", "first"};
    const int calls = 1000000;
    int handled = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < calls; i++) handled += optpl_focus_apply(cycle[i & 3]) == 0;
    double per_call = ns_since(t0) / calls;
    std::printf("optpl_focus_apply on %d nodes: %.1f ns per call (goal < 200 ns), %d of %d handled\n",
                optpl_focus_count(), per_call, handled, calls);

    optpl_set_tv_columns(0);
    const std::string typical = typical_bundle();
    optpl_load_bundle_bytes(reinterpret_cast<const unsigned char *>(typical.data()), typical.size());
    optpl_set_flag("beta", "on");  // the bundle hides some items behind this flag
    optpl_focus_build("page3.json", nullptr);
    optpl_focus_set(optpl_focus_find("Deep"));
    for (int level = 0; level < 5; level++) optpl_focus_apply("confirm");  // warm: every page parsed
    optpl_focus_apply("home");

    double round_trip = 1e18, home = 1e18;
    for (int r = 0; r < 50; r++) {
        optpl_focus_set(optpl_focus_find("Deep"));
        t0 = Clock::now();
        optpl_focus_apply("confirm");
        optpl_focus_apply("back");
        round_trip = std::min(round_trip, ns_since(t0));
        for (int level = 0; level < 5; level++) {
            optpl_focus_set(optpl_focus_find("Deep"));
            optpl_focus_apply("confirm");
        }
        int depth = optpl_nav_depth();
        t0 = Clock::now();
        int rc = optpl_focus_apply("home");
        home = std::min(home, ns_since(t0));
        if (rc != 0 || depth != 5) std::printf("unexpected: home %d from depth %d\n", rc, depth);
    }
    std::printf("enter + back on a typical page: %.3f ms (goal < 1 ms)\n", round_trip / 1e6);
    std::printf("home from depth 5: %.3f ms (goal < 1 ms)\n", home / 1e6);
    optpl_cleanup();
    return 0;
}
