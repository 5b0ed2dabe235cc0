// Arbitrary filter graph texts in the decode path of a small media file: the
// first byte picks the video or the audio graph, the rest is the text. Any
// text must leave the stream decoding (filtered or not), never crash or stall.
#include <cstdint>
#include <cstring>
#include <string>

#include "oppb.h"
#include "oppb_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    av_log_set_level(AV_LOG_QUIET);
    if (!size || size > 1024) return 0;
    // One handle for the whole run: opening the file is not what is fuzzed.
    static oppb_engine *e = oppb_open_path(ORVELLO_FUZZ_MEDIA, R"({"video":{"max_decoder_threads":1}})");
    if (!e) __builtin_trap();
    const bool video = data[0] & 1;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const int stream = oppb_stream_selected(e, video ? "video" : "audio");
    (video ? oppb_set_video_filter : oppb_set_audio_filter)(e, text.c_str());
    if (oppb_seek(e, 0, nullptr) < 0) __builtin_trap();
    oppb_sample s;
    int delivered = 0;
    for (int i = 0; i < 6; i++) delivered += oppb_next_sample(e, stream, &s) == OPPB_OK;
    // A graph may swallow frames (fps, select), but the stream never stops at once.
    (video ? oppb_set_video_filter : oppb_set_audio_filter)(e, nullptr);
    if (oppb_seek(e, 0, nullptr) < 0 || oppb_next_sample(e, stream, &s) != OPPB_OK) __builtin_trap();
    (void)delivered;
    return 0;
}
