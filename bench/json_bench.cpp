// Parse speed of json_read (strict) against RapidJSON's default DOM parse on
// the benchmark documents. Usage: json_bench [rounds]
#include "json.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

std::string load(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool read_ours(const std::string &text) {
    json_doc *doc = json_read(text.data(), text.size(), 0, nullptr, nullptr);
    const bool ok = doc != nullptr;
    json_doc_free(doc);
    return ok;
}

bool read_rapidjson(const std::string &text) {
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    return !doc.HasParseError();
}

// Seconds per parse for one batch of `iterations` parses.
template <typename Parse>
double time_batch(Parse parse, const std::string &text, int iterations) {
    const auto start = Clock::now();
    for (int i = 0; i < iterations; i++)
        if (!parse(text)) {
            std::fprintf(stderr, "parse failed\n");
            std::exit(1);
        }
    return std::chrono::duration<double>(Clock::now() - start).count() / iterations;
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::printf("%-14s %10s %12s %12s %8s\n", "file", "bytes", "ours MB/s", "rapidjson", "ratio");
    for (const char *name : {"twitter", "citm_catalog", "canada"}) {
        const std::string text = load(std::string(ORVELLO_SHARED_DATA) + "/json-benchmark/data/" + name + ".json");
        if (text.empty()) {
            std::fprintf(stderr, "%s: cannot read the file\n", name);
            return 1;
        }
        // About 20 ms per batch; the two parsers alternate so that both see
        // the same machine state, and the best batch of each counts.
        const double once = time_batch(read_ours, text, 3);
        const int iterations = std::max(1, int(0.02 / once));
        double ours = 1e9, theirs = 1e9;
        for (int r = 0; r < rounds; r++) {
            ours = std::min(ours, time_batch(read_ours, text, iterations));
            theirs = std::min(theirs, time_batch(read_rapidjson, text, iterations));
        }
        const double mb = double(text.size()) / 1e6;
        std::printf("%-14s %10zu %12.1f %12.1f %8.2f\n", name, text.size(), mb / ours, mb / theirs, theirs / ours);
    }
    return 0;
}
