// Arbitrary bytes as a media source read through the callbacks: the engine
// opens them, describes them, and every video and audio stream is pulled to
// its end, decoded or compressed (the input's length parity picks the
// sample mode, so media files serve as seeds unchanged).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "oppb.h"
#include "oppb_internal.h"
#include "memory_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // FFmpeg's complaints about broken input would drown the fuzzer's own output.
    av_log_set_level(AV_LOG_QUIET);
    const bool compressed = size & 1;
    MemorySource src{data, size, 0};
    oppb_io io{};
    io.opaque = &src;
    io.read = memory_read;
    io.seek = memory_seek;
    io.size = memory_size;
    // A deadline keeps a pathological input from stalling the run.
    // Decoder threads would be started and stopped for every input.
    oppb_engine *e = oppb_open_io(
        &io, R"({"general":{"open_timeout_ms":3000,"file_stream_read_size":4096},"video":{"max_decoder_threads":1},)"
             R"("audio":{"max_decoder_threads":1}})");
    if (!e) return 0;
    (void)oppb_info_json(e);
    for (const char *field : {"codec", "fps", "dar", "channel_layout", "disposition"})
        for (int n = 0; n < oppb_stream_count(e, nullptr); n++) (void)oppb_stream_field(e, nullptr, n, field);
    for (int i = 0; i < oppb_stream_count(e, nullptr); i++) {
        const char *kind = oppb_stream_field(e, nullptr, i, "kind");
        if (strcmp(kind, "video") == 0 || strcmp(kind, "audio") == 0) {
            oppb_select_stream(e, kind, i);
            if (compressed) oppb_sample_mode(e, i, 0);
        }
    }
    oppb_set_timeout_ms(e, 3000);
    // Streams in turn, one sample each, until none delivers any more.
    for (bool progress = true; progress;) {
        progress = false;
        for (int i = 0; i < oppb_stream_count(e, nullptr); i++) {
            oppb_sample s;
            if (oppb_next_sample(e, i, &s) == OPPB_OK) progress = true;
        }
    }
    oppb_close(e);
    // The engine keeps its records after close; the harness frees them.
    json_buf_free(&e->text.doc);
    xfree(e);
    return 0;
}
