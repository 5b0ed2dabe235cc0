// Shared helpers of the playback engine's tests: fixtures, ffprobe, handles
// and callback sources.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "oppb.h"
#include "oppb_internal.h"

inline std::string media(const std::string &name) { return std::string(ORVELLO_CORPUS) + "/" + name; }

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Standard output of a shell command, without the trailing line break.
inline std::string run(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) out.append(chunk, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// ffprobe's values of `entries` (as for -show_entries) of the streams `select`
// picks, one per line in section order; programs' copies of streams are left out.
inline std::string probe(const std::string &file, const std::string &select, const std::string &entries) {
    std::string cmd = std::string(FFPROBE) + " -v error";
    if (!select.empty()) cmd += " -select_streams " + select;
    const std::string out = run(cmd + " -show_entries " + entries + " -of compact=p=1:nk=1 '" + file + "'");
    // Lines of the section the entries name ("stream", "format", "chapter"); others are side data or programs.
    const std::string section = entries.substr(0, entries.find_first_not_of("abcdefghijklmnopqrstuvwxyz")) + "|";
    std::string values;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        if (line.rfind(section, 0) != 0) continue;
        line = line.substr(0, line.find("|side_data"));
        const size_t bar = section.size() - 1;
        for (char &c : line)
            if (c == '|') c = '\n';
        if (!values.empty()) values += '\n';
        values.append(line, bar + 1);
    }
    return values;
}

inline long long probe_int(const std::string &file, const std::string &select, const std::string &entries) {
    const std::string value = probe(file, select, entries);
    return value.empty() ? 0 : std::stoll(value);
}

inline std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// No export frees an engine record (it keeps answering after close); the
// tests release it so the sanitizer build sees no leaks.
struct HandleFree {
    void operator()(oppb_engine *e) const {
        oppb_close(e);
        json_buf_free(&e->text.doc);
        xfree(e);
    }
};
using Handle = std::unique_ptr<oppb_engine, HandleFree>;

inline Handle open_media(const std::string &name, const char *config = nullptr) {
    return Handle(oppb_open_path(media(name).c_str(), config));
}

// A byte source in memory, read through the callbacks.
struct MemSource {
    std::string bytes;
    size_t pos = 0;
    int max_read = 1 << 30;  // largest chunk one read returns
    int delay_us = 0;        // sleep per read: a slow source
    size_t slow_after = 0;   // the sleep applies from this byte on
    bool interrupted = false;
    long reads = 0;

    static int read(void *opaque, uint8_t *buffer, int size) {
        auto *m = static_cast<MemSource *>(opaque);
        m->reads++;
        if (m->delay_us && m->pos >= m->slow_after) usleep(useconds_t(m->delay_us));
        size_t n = std::min({size_t(size), size_t(m->max_read), m->bytes.size() - m->pos});
        memcpy(buffer, m->bytes.data() + m->pos, n);
        m->pos += n;
        return int(n);
    }
    static int64_t seek(void *opaque, int64_t offset, int whence) {
        auto *m = static_cast<MemSource *>(opaque);
        int64_t base = whence == 1 ? int64_t(m->pos) : whence == 2 ? int64_t(m->bytes.size()) : 0;
        if (base + offset < 0 || base + offset > int64_t(m->bytes.size())) return -1;
        m->pos = size_t(base + offset);
        return int64_t(m->pos);
    }
    static int64_t size(void *opaque) { return int64_t(static_cast<MemSource *>(opaque)->bytes.size()); }
    static int interrupt(void *opaque) { return static_cast<MemSource *>(opaque)->interrupted; }

    oppb_io io(bool seekable = true) {
        oppb_io r{};
        r.opaque = this;
        r.read = read;
        if (seekable) {
            r.seek = seek;
            r.size = size;
        }
        r.interrupt = interrupt;
        return r;
    }
};

// Pulls stream `stream` to its end; the number of samples delivered, or the first error.
inline int pull_all(oppb_engine *e, int stream, std::vector<oppb_sample> *samples = nullptr) {
    int count = 0;
    for (;;) {
        oppb_sample s;
        int r = oppb_next_sample(e, stream, &s);
        if (r == OPPB_END) return count;
        if (r != OPPB_OK) return r;
        if (samples) samples->push_back(s);
        count++;
    }
}
