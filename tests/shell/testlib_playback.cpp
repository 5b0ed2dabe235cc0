// A stand-in playback engine for the shell's tests: it "opens" small text
// files that describe the media, one setting per line, and delivers exactly
// what they say, so the pump's pacing, cues and failures can be checked
// without decoding anything.
//
//   frames N            video frames (stream 0)
//   frame_ticks T       duration of each frame; pts = n * T
//   size W H            picture size
//   format F            pixel format (0 YUV420P, 23 NV12)
//   audio N             audio streams after the video; the engine's own choice is the last
//                       (endless sound: 1024 stereo samples at 48 kHz a delivery, timed from 0 or the seek)
//   audio_value V       every 16-bit sample of the sound (default 0)
//   subtitle CODEC [LANG]  a subtitle stream after the audio (language "eng" by default)
//   cue START DUR TEXT  a text cue (payload TEXT) of the last subtitle stream, in delivery order
//   chapter START TITLE a chapter
//   fail_video          every video pull fails
//   fail_open           the open fails
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "oppb.h"

#define EXPORTED extern "C" __attribute__((visibility("default")))

struct StubCue {
    int64_t start, duration;
    std::string text;
};

struct StubSubtitle {
    std::string codec, language;
    std::vector<StubCue> cues;
    size_t next_cue = 0;
};

struct StubChapter {
    int64_t start;
    std::string title;
};

struct oppb_engine {
    int frames = 0, width = 16, height = 16, format = 0, audio = 0, audio_value = 0;
    int64_t frame_ticks = 400'000;
    std::vector<StubSubtitle> subtitles;
    std::vector<StubChapter> chapters;
    bool fail_video = false;
    int next_frame = 0, selected_audio = -1, primary_subtitle = 0;  // ordinal
    int64_t audio_pts = 0;  // of the next sound delivery
    std::vector<uint8_t> pixels, sound;
    std::string field;
    bool closed = false;
};

namespace {

constexpr int64_t SOUND_TICKS = 1024 * 10'000'000LL / 48000;

// Handles stay answerable after close, as the engine's do; they go with the process.
std::vector<std::unique_ptr<oppb_engine>> engines;
// Audio samples delivered per stream index, for the whole process.
std::mutex delivered_mutex;
std::map<int, long long> audio_delivered;

int subtitle_index(const oppb_engine *e, int ordinal) { return 1 + e->audio + ordinal; }
int subtitle_ordinal(const oppb_engine *e, int stream) {
    int ordinal = stream - 1 - e->audio;
    return ordinal >= 0 && ordinal < int(e->subtitles.size()) ? ordinal : -1;
}

}  // namespace

// Test hook: how many audio samples of stream `stream` were delivered so far.
EXPORTED long long stub_audio_delivered(int32_t stream) {
    std::lock_guard lock(delivered_mutex);
    return audio_delivered[stream];
}

EXPORTED const char *oppb_version() { return "0.stub"; }

EXPORTED oppb_engine *oppb_open_path(const char *path, const char *) {
    std::ifstream in(path);
    if (!in) return nullptr;
    auto owned = std::make_unique<oppb_engine>();
    oppb_engine *e = owned.get();
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "frames") words >> e->frames;
        if (key == "frame_ticks") words >> e->frame_ticks;
        if (key == "size") words >> e->width >> e->height;
        if (key == "format") words >> e->format;
        if (key == "audio") words >> e->audio;
        if (key == "audio_value") words >> e->audio_value;
        if (key == "subtitle") {
            StubSubtitle subtitle;
            words >> subtitle.codec;
            if (!(words >> subtitle.language)) subtitle.language = "eng";
            e->subtitles.push_back(subtitle);
        }
        if (key == "chapter") {
            StubChapter chapter;
            words >> chapter.start;
            std::getline(words >> std::ws, chapter.title);
            e->chapters.push_back(chapter);
        }
        if (key == "fail_video") e->fail_video = true;
        if (key == "fail_open") return nullptr;
        if (key == "cue") {
            StubCue cue;
            words >> cue.start >> cue.duration;
            std::getline(words >> std::ws, cue.text);
            if (e->subtitles.empty()) e->subtitles.push_back({"", "eng", {}, 0});
            e->subtitles.back().cues.push_back(cue);
        }
    }
    e->selected_audio = e->audio;  // the last audio stream, as an engine might prefer
    e->pixels.assign(size_t(e->width) * e->height * 2, 128);
    std::vector<int16_t> sound(2048, int16_t(e->audio_value));
    e->sound.resize(4096);
    std::memcpy(e->sound.data(), sound.data(), 4096);
    engines.push_back(std::move(owned));
    return e;
}

EXPORTED void oppb_close(oppb_engine *e) {
    if (e) e->closed = true;
}

EXPORTED int32_t oppb_stream_count(const oppb_engine *e, const char *kind) {
    std::string k = kind;
    if (k == "video") return e->frames > 0 || e->fail_video ? 1 : 0;
    if (k == "audio") return e->audio;
    if (k == "subtitle") return int32_t(e->subtitles.size());
    return 0;
}

EXPORTED const char *oppb_stream_field(oppb_engine *e, const char *kind, int32_t n, const char *name) {
    std::string k = kind, f = name;
    bool subtitle = k == "subtitle" && n >= 0 && n < int(e->subtitles.size());
    int index = k == "video" ? 0 : k == "audio" ? 1 + n : subtitle_index(e, n);
    if (f == "index") e->field = std::to_string(index);
    else if (f == "codec") e->field = subtitle ? e->subtitles[n].codec : "stub";
    else if (f == "language") e->field = subtitle ? e->subtitles[n].language : "eng";
    else e->field.clear();
    return e->field.c_str();
}

EXPORTED int64_t oppb_duration_ticks(const oppb_engine *e) { return int64_t(e->frames) * e->frame_ticks; }

EXPORTED int32_t oppb_select_stream(oppb_engine *e, const char *kind, int32_t index) {
    if (std::string(kind) == "audio") e->selected_audio = index;
    return index;
}

EXPORTED int32_t oppb_sample_mode(oppb_engine *, int32_t, int32_t) { return 0; }

EXPORTED int32_t oppb_set_subtitle_index(oppb_engine *e, int32_t which, int32_t stream) {
    int ordinal = subtitle_ordinal(e, stream);
    if (stream >= 0 && ordinal < 0) return -6;
    if (which == 0) e->primary_subtitle = ordinal;
    return stream;
}

// Lands where asked: the next frame is the one showing the target, the next
// cue of each subtitle stream the first that has not ended there.
EXPORTED int32_t oppb_seek(oppb_engine *e, int64_t target, int64_t *landed) {
    if (e->closed) return -10;
    int64_t frame = e->frame_ticks > 0 ? std::max<int64_t>(target, 0) / e->frame_ticks : 0;
    e->next_frame = int(std::min<int64_t>(frame, e->frames));
    e->audio_pts = std::max<int64_t>(target, 0);
    for (StubSubtitle &subtitle : e->subtitles) {
        subtitle.next_cue = 0;
        while (subtitle.next_cue < subtitle.cues.size() &&
               subtitle.cues[subtitle.next_cue].start + subtitle.cues[subtitle.next_cue].duration <= target)
            subtitle.next_cue++;
    }
    if (landed) *landed = target;
    return 0;
}

EXPORTED int32_t oppb_chapter_count(const oppb_engine *e) { return int32_t(e->chapters.size()); }

EXPORTED const char *oppb_chapter_field(oppb_engine *e, int32_t index, const char *name) {
    std::string f = name;
    e->field.clear();
    if (index >= 0 && index < int(e->chapters.size()))
        e->field = f == "title" ? e->chapters[index].title : std::to_string(e->chapters[index].start);
    return e->field.c_str();
}

EXPORTED int32_t oppb_next_sample(oppb_engine *e, int32_t stream, oppb_sample *out) {
    if (e->closed) return -10;
    std::memset(out, 0, sizeof *out);
    out->stream = stream;
    if (stream >= 1 && stream <= e->audio) {
        if (stream != e->selected_audio) return -8;  // the engine delivers only the selected stream
        {
            std::lock_guard lock(delivered_mutex);
            audio_delivered[stream]++;
        }
        out->pts = e->audio_pts;
        out->duration = SOUND_TICKS;
        e->audio_pts += SOUND_TICKS;
        out->data = e->sound.data();
        out->size = int64_t(e->sound.size());
        out->sample_rate = 48000;
        out->channels = 2;
        out->sample_format = 1;
        out->sample_count = 1024;
        return 0;
    }
    if (stream != 0) return -6;
    if (e->fail_video) return -3;
    if (e->next_frame >= e->frames) return 1;
    out->pts = int64_t(e->next_frame++) * e->frame_ticks;
    out->duration = e->frame_ticks;
    out->width = e->width;
    out->height = e->height;
    out->pixel_format = e->format;
    uint8_t *base = e->pixels.data();
    size_t luma = size_t(e->width) * e->height;
    out->planes[0] = base;
    out->line_sizes[0] = e->width;
    out->planes[1] = base + luma;
    out->line_sizes[1] = e->format == 23 ? e->width : e->width / 2;
    out->planes[2] = base + luma + luma / 4;
    out->line_sizes[2] = e->width / 2;
    return 0;
}

EXPORTED int32_t oppb_next_subtitle(oppb_engine *e, int32_t, oppb_cue *out) {
    std::memset(out, 0, sizeof *out);
    if (e->primary_subtitle < 0 || e->primary_subtitle >= int(e->subtitles.size())) return 1;
    StubSubtitle &subtitle = e->subtitles[e->primary_subtitle];
    if (subtitle.next_cue >= subtitle.cues.size()) return 1;
    const StubCue &cue = subtitle.cues[subtitle.next_cue++];
    out->stream = subtitle_index(e, e->primary_subtitle);
    out->kind = 1;
    out->start = cue.start;
    out->duration = cue.duration;
    out->data = reinterpret_cast<const uint8_t *>(cue.text.data());
    out->size = int64_t(cue.text.size());
    return 0;
}
