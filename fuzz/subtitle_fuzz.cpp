// Arbitrary bytes as an external subtitle source added to a handle on a small
// media file: the first byte picks the name that guides format probing, the
// rest is the file. Every cue is pulled, the handle seeks back and pulls
// again with a delay, and the cue records must describe memory that exists.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "oppb.h"
#include "oppb_internal.h"
#include "memory_source.h"

namespace {

const char *const NAMES[] = {"cues.srt", "cues.ass", "cues.vtt", "cues.sub", "cues.mkv", nullptr};

// Touches every byte a cue points at, so the sanitizers see a bad pointer or size.
unsigned checksum(const oppb_cue &c) {
    unsigned sum = 0;
    for (int64_t i = 0; c.data && i < c.size; i++) sum += c.data[i];
    for (int64_t i = 0; c.palette && i < c.palette_size; i++) sum += c.palette[i];
    for (const char *t : {c.text, c.ass})
        for (; t && *t; t++) sum += uint8_t(*t);
    return sum;
}

// One handle serves many inputs (opening the media file is not what is
// fuzzed), together with the sources added to it, which must live as long as
// the handle; it is replaced before its stream array fills up.
struct Held {
    std::string bytes;
    MemorySource src;
};

oppb_engine *handle(std::vector<std::unique_ptr<Held>> **sources) {
    static oppb_engine *e;
    static std::vector<std::unique_ptr<Held>> held;
    if (e && oppb_stream_count(e, nullptr) >= 48) {
        oppb_close(e);
        json_buf_free(&e->text.doc);
        xfree(e);
        e = nullptr;
        held.clear();
    }
    if (!e) e = oppb_open_path(ORVELLO_FUZZ_MEDIA, R"({"general":{"file_stream_read_size":4096}})");
    if (!e) __builtin_trap();  // the fixture must open
    *sources = &held;
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    av_log_set_level(AV_LOG_QUIET);
    if (!size) return 0;
    std::vector<std::unique_ptr<Held>> *sources = nullptr;
    oppb_engine *e = handle(&sources);
    auto held = std::make_unique<Held>();
    held->bytes.assign(reinterpret_cast<const char *>(data + 1), size - 1);
    held->src = {reinterpret_cast<const uint8_t *>(held->bytes.data()), held->bytes.size(), 0};
    oppb_io io{};
    io.opaque = &held->src;
    io.read = memory_read;
    io.seek = memory_seek;
    io.size = memory_size;
    sources->push_back(std::move(held));
    volatile unsigned sink = 0;
    if (oppb_add_external_subtitle_io(e, &io, NAMES[data[0] % 6], "und") >= 0) {
        oppb_cue c;
        oppb_set_subtitle_delay(e, 0);
        for (int round = 0; round < 2; round++) {
            for (int n = 0; n < 2000 && oppb_next_subtitle(e, -1, &c) == OPPB_OK; n++) sink = sink + checksum(c);
            oppb_seek(e, 0, nullptr);
            oppb_set_subtitle_delay(e, -OPPB_TICKS_PER_SECOND);
        }
        (void)oppb_info_json(e);
    }
    return 0;
}
