// media-tool: the playback engine from the command line, for people who test
// media. Built on the engine's public header only.
//
//   media-tool info FILE [--json]     the information document (pretty, or as the engine writes it)
//   media-tool decode FILE            decode every sample; frames per second and peak memory
//   media-tool grab FILE SECONDS OUT  the frame at SECONDS as PNG (or BMP for a .bmp name)
//   media-tool framemd5 FILE          per-frame MD5 lines of the first video stream
//   media-tool combine IN OUT         remux IN's video and audio into OUT
//   media-tool combine VIDEO AUDIO OUT
//   media-tool subs FILE [SUBTITLES]  every cue with its times (of SUBTITLES when given)
//
// The exit status is 0 on success, 1 with the engine's error text, 2 for a usage error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "oppb.h"

namespace {

int usage() {
    std::fputs("usage: media-tool info FILE [--json] | decode FILE | grab FILE SECONDS OUT | framemd5 FILE |\n"
               "                  combine IN OUT | combine VIDEO AUDIO OUT | subs FILE [SUBTITLES]\n",
               stderr);
    return 2;
}

int fail(const char *what, const char *text) {
    std::fprintf(stderr, "media-tool: %s: %s\n", what, text);
    return 1;
}

oppb_engine *open_or_report(const char *path) {
    oppb_engine *e = oppb_open_path(path, nullptr);
    if (!e) fail(path, "cannot open (not a media file the engine can read)");
    return e;
}

// Indents a compact JSON document, two spaces a level.
std::string pretty(const char *json) {
    std::string out;
    int depth = 0;
    bool in_string = false;
    auto newline = [&] { out += '\n' + std::string(size_t(depth) * 2, ' '); };
    for (const char *p = json; *p; p++) {
        const char c = *p;
        if (in_string) {
            out += c;
            if (c == '\\' && p[1]) out += *++p;
            else if (c == '"') in_string = false;
            continue;
        }
        if ((c == '}' || c == ']') && p > json && p[-1] != '{' && p[-1] != '[') {
            depth--;
            newline();
        }
        out += c;
        if (c == '"') in_string = true;
        if ((c == '{' || c == '[') && p[1] != '}' && p[1] != ']') {
            depth++;
            newline();
        }
        if (c == ',') newline();
        if (c == ':') out += ' ';
    }
    return out + '\n';
}

long peak_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

std::string seconds(int64_t ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", double(ticks) / double(OPPB_TICKS_PER_SECOND));
    return text;
}

int info(const char *path, bool json) {
    oppb_engine *e = open_or_report(path);
    if (!e) return 1;
    const char *doc = oppb_info_json(e);
    std::fputs(json ? doc : pretty(doc).c_str(), stdout);
    if (json) std::fputc('\n', stdout);
    oppb_close(e);
    return 0;
}

int decode(const char *path) {
    oppb_engine *e = open_or_report(path);
    if (!e) return 1;
    const int streams[2] = {oppb_stream_selected(e, "video"), oppb_stream_selected(e, "audio")};
    long counts[2] = {0, 0};
    bool done[2] = {streams[0] < 0, streams[1] < 0};
    const auto start = std::chrono::steady_clock::now();
    int error = 0;
    while (!done[0] || !done[1]) {
        for (int i = 0; i < 2; i++) {
            if (done[i]) continue;
            oppb_sample s;
            const int r = oppb_next_sample(e, streams[i], &s);
            if (r == OPPB_OK) counts[i]++;
            else done[i] = true;
            if (r < 0) error = r;
        }
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (error) {
        const int r = fail(path, oppb_last_error(e));
        oppb_close(e);
        return r;
    }
    std::printf("video frames %ld, audio frames %ld in %.3f s: %.1f video frames/s; peak memory %ld KiB\n",
                counts[0], counts[1], elapsed, elapsed > 0 ? double(counts[0]) / elapsed : 0.0, peak_kib());
    oppb_close(e);
    return 0;
}

int grab(const char *path, const char *at, const char *out) {
    char *end = nullptr;
    const double t = std::strtod(at, &end);
    if (end == at || *end) return usage();
    oppb_engine *e = open_or_report(path);
    if (!e) return 1;
    const int r = oppb_grab_frame_to_file(e, int64_t(t * double(OPPB_TICKS_PER_SECOND)), 1, out);
    int status = 0;
    if (r == OPPB_END) status = fail(path, "no frame at that time");
    else if (r < 0) status = fail(out, r == OPPB_ERR_STATE ? oppb_last_error(e) : "cannot grab or write the picture");
    oppb_close(e);
    return status;
}

void print_text(void *, const char *text, size_t length) { std::fwrite(text, 1, length, stdout); }

int framemd5(const char *path) {
    oppb_engine *e = open_or_report(path);
    if (!e) return 1;
    const int video = oppb_stream_selected(e, "video");
    const int r = video < 0 ? OPPB_ERR_NOT_FOUND : oppb_framemd5(e, video, nullptr, print_text, nullptr);
    const int status = r < 0 ? fail(path, video < 0 ? "no video stream" : oppb_last_error(e)) : 0;
    oppb_close(e);
    return status;
}

int combine(const char *video, const char *audio, const char *out) {
    const int r = oppb_combine(audio, video, out, nullptr);
    if (r == OPPB_OK) return 0;
    const char *why = r == OPPB_ERR_NOT_FOUND    ? "a source lacks its video or audio stream"
                      : r == OPPB_ERR_CONTAINER ? "a source or the output format is unusable"
                      : r == OPPB_ERR_IO        ? "writing the output failed"
                                                : "out of memory";
    return fail(out, why);
}

int subs(const char *path, const char *external) {
    oppb_engine *e = open_or_report(path);
    if (!e) return 1;
    if (external && oppb_add_external_subtitle(e, external, nullptr) < 0) {
        const int r = fail(external, oppb_last_error(e));
        oppb_close(e);
        return r;
    }
    oppb_cue c;
    int r;
    while ((r = oppb_next_subtitle(e, -1, &c)) == OPPB_OK) {
        std::printf("%d %s +%s ", c.stream, seconds(c.start).c_str(), seconds(c.duration).c_str());
        if (c.kind == 2) {
            std::printf("bitmap %dx%d, %d colours\n", c.width, c.height, c.colours);
        } else {
            std::string text = c.text ? c.text : c.data ? reinterpret_cast<const char *>(c.data) : "";
            for (char &ch : text)
                if (ch == '\n' || ch == '\r') ch = ' ';
            std::printf("%s\n", text.c_str());
        }
    }
    const int status = r < 0 ? fail(path, oppb_last_error(e)) : 0;
    oppb_close(e);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return usage();
    const std::string command = argv[1];
    if (command == "info" && (argc == 3 || (argc == 4 && std::strcmp(argv[3], "--json") == 0)))
        return info(argv[2], argc == 4);
    if (command == "decode" && argc == 3) return decode(argv[2]);
    if (command == "grab" && argc == 5) return grab(argv[2], argv[3], argv[4]);
    if (command == "framemd5" && argc == 3) return framemd5(argv[2]);
    if (command == "combine" && argc == 4) return combine(argv[2], argv[2], argv[3]);
    if (command == "combine" && argc == 5) return combine(argv[2], argv[3], argv[4]);
    if (command == "subs" && (argc == 3 || argc == 4)) return subs(argv[2], argc == 4 ? argv[3] : nullptr);
    return usage();
}
