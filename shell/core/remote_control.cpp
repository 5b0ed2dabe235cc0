#include "remote_control.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "json.h"

namespace shell {
namespace {

constexpr std::string_view FILE_SCHEME = "file://";
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t SECONDS_1601_TO_1970 = 11'644'473'600;

// A refusal that says the same whether the file is missing, no regular file or
// outside the folders: the controller learns nothing about files it may not open.
std::string not_media(std::string_view uri) {
    return "refused: " + std::string(uri) + " is no media file in the player's media folders";
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%XX" escapes decoded; nothing for a broken escape or an escaped NUL.
std::optional<std::string> percent_decoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1, low = high < 0 ? -1 : hex_value(text[i + 2]);
        if (low < 0 || (high == 0 && low == 0)) return std::nullopt;
        out += char(high << 4 | low);
        i += 2;
    }
    return out;
}

bool is_inside(std::string_view path, std::string_view folder) {
    return path.size() > folder.size() && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

std::optional<int> integer_member(json_val *object, const char *key) {
    json_val *value = json_obj_get(object, key);
    if (!json_is_int(value)) return std::nullopt;
    return int(std::clamp<int64_t>(json_get_sint(value), INT_MIN, INT_MAX));
}

// "1:05" or "1:02:03".
std::string clock_text(int64_t ms) {
    int64_t seconds = std::max<int64_t>(ms, 0) / 1000;
    char text[32];
    if (seconds >= 3600)
        snprintf(text, sizeof text, "%lld:%02lld:%02lld", (long long)(seconds / 3600), (long long)(seconds / 60 % 60),
                 (long long)(seconds % 60));
    else
        snprintf(text, sizeof text, "%lld:%02lld", (long long)(seconds / 60), (long long)(seconds % 60));
    return text;
}

std::string item_json(const std::string &title) {
    json_buf buffer;
    json_buf_init(&buffer, nullptr);
    json_buf_cstr(&buffer, "{\"Title\":");
    json_buf_str(&buffer, title.data(), title.size(), 0);
    json_buf_char(&buffer, '}');
    std::string out = buffer.failed ? "{}" : std::string(buffer.data, buffer.len);
    json_buf_free(&buffer);
    return out;
}

bool lists_tracks(int command) {
    switch (command) {
        case REMOTE_CURRENT_STATE:
        case REMOTE_AUDIO_TRACKS:
        case REMOTE_SUBTITLE_TRACKS:
        case REMOTE_SET_AUDIO_TRACK:
        case REMOTE_SET_SUBTITLE_TRACK: return true;
        default: return false;
    }
}

}  // namespace

RemoteRequest read_remote_request(int command, std::string_view command_name, std::string_view json) {
    RemoteRequest request;
    request.command = command;
    request.command_name = command_name;
    std::unique_ptr<json_doc, void (*)(json_doc *)> doc(json_read(json.data(), json.size(), 0, nullptr, nullptr),
                                                        json_doc_free);
    json_val *root = json_doc_root(doc.get());
    if (!json_is_obj(root)) return request;
    json_val *position = json_obj_get(root, "Position");
    if (json_is_num(position) && json_get_num(position) >= 0)
        request.position_ms = json_get_type(position) == JSON_UINT
                                  ? int64_t(std::min<uint64_t>(json_get_uint(position), INT64_MAX))
                                  : int64_t(std::min(json_get_num(position), 9.2e18));
    json_val *volume = json_obj_get(root, "Volume");
    if (json_is_num(volume) && std::isfinite(json_get_num(volume)))
        request.volume_permille = int(std::clamp(std::lround(json_get_num(volume) * 1000), 0L, long(INT_MAX)));
    request.audio_track = integer_member(json_obj_get(root, "AudioTrack"), "Index");
    request.subtitle_track = integer_member(json_obj_get(root, "SubtitleTrack"), "Index");
    json_val *uri = json_obj_get(root, "Uri");
    if (json_is_str(uri)) request.uri = std::string(json_get_str(uri), json_get_len(uri));
    return request;
}

RemoteReply dispatch_remote(const RemoteRequest &request, RemoteTarget &target,
                            const std::vector<std::string> &media_folders) {
    RemoteReply reply;
    reply.command = request.command;
    auto refuse = [&reply](std::string why) {
        reply.error = std::move(why);
        return reply;
    };
    const PlayerSnapshot before = target.Snapshot();
    const std::string &name = request.command_name;
    // The transport commands act on an open file.
    switch (request.command) {
        case REMOTE_TOGGLE_PLAY_PAUSE:
        case REMOTE_PLAY:
        case REMOTE_PAUSE:
        case REMOTE_STOP:
        case REMOTE_FAST_FORWARD:
        case REMOTE_REWIND:
        case REMOTE_NEXT:
        case REMOTE_PREVIOUS:
        case REMOTE_SEEK:
        case REMOTE_SET_AUDIO_TRACK:
        case REMOTE_SET_SUBTITLE_TRACK:
            if (!before.media_open) return refuse("nothing is playing");
            break;
        default: break;
    }
    switch (request.command) {
        case REMOTE_TOGGLE_PLAY_PAUSE: target.TogglePlayPause(); break;
        case REMOTE_PLAY:
            if (!before.playing) target.Play();
            break;
        case REMOTE_PAUSE:
            if (before.playing) target.Pause();
            break;
        case REMOTE_STOP: target.Stop(); break;
        case REMOTE_FAST_FORWARD:
        case REMOTE_REWIND: target.SkipBy(request.command == REMOTE_FAST_FORWARD ? 1 : -1); break;
        case REMOTE_NEXT:
        case REMOTE_PREVIOUS: target.JumpChapter(request.command == REMOTE_NEXT ? 1 : -1); break;
        case REMOTE_SEEK:
            if (!request.position_ms) return refuse("Seek needs a Position in milliseconds");
            target.SeekTo(*request.position_ms);
            break;
        case REMOTE_VOLUME:
        case REMOTE_SET_VOLUME:
            if (request.volume_permille)
                target.SetVolume(std::min((*request.volume_permille + 5) / 10, 100));
            else if (request.command == REMOTE_SET_VOLUME)
                return refuse("SetVolume needs a Volume from 0.0 to 1.0");
            break;
        case REMOTE_TOGGLE_MUTED: target.ToggleMuted(); break;
        case REMOTE_SET_AUDIO_TRACK:
            if (!request.audio_track) return refuse("SetAudioTrack needs an AudioTrack with an Index");
            if (!target.SelectAudioTrack(*request.audio_track))
                return refuse("there is no audio track " + std::to_string(*request.audio_track));
            break;
        case REMOTE_SET_SUBTITLE_TRACK:
            if (!request.subtitle_track) return refuse("SetSubtitleTrack needs a SubtitleTrack with an Index");
            if (!target.SelectSubtitleTrack(*request.subtitle_track))
                return refuse("there is no subtitle track " + std::to_string(*request.subtitle_track));
            break;
        case REMOTE_GO_BACK: target.GoBack(); break;
        case REMOTE_PING:
        case REMOTE_CURRENT_STATE:
        case REMOTE_PROGRESS:
        case REMOTE_AUDIO_TRACKS:
        case REMOTE_SUBTITLE_TRACKS: break;
        case REMOTE_OPEN:
        case REMOTE_PLAY_URI: {
            if (!request.uri || request.uri->empty()) return refuse(name + " needs a Uri");
            std::string why;
            std::optional<std::string> path = media_file_in(*request.uri, media_folders, why);
            if (!path) return refuse(why);
            target.Open(*path);
            if (!target.Snapshot().media_open) return refuse("cannot play " + *request.uri);
            break;
        }
        default: return refuse(name + " is not supported by this player");
    }
    reply.with_state = true;
    reply.with_tracks = lists_tracks(request.command);
    reply.snapshot = target.Snapshot();
    return reply;
}

std::optional<std::string> media_file_in(std::string_view uri, const std::vector<std::string> &folders,
                                         std::string &why) {
    std::string path;
    if (uri.substr(0, FILE_SCHEME.size()) == FILE_SCHEME) {
        std::string_view rest = uri.substr(FILE_SCHEME.size());
        if (rest.substr(0, 9) == "localhost") rest.remove_prefix(9);
        std::optional<std::string> decoded = percent_decoded(rest);
        if (!decoded) {
            why = "refused: " + std::string(uri) + " is no readable file URI";
            return std::nullopt;
        }
        path = std::move(*decoded);
    } else if (uri.find("://") != std::string_view::npos) {
        why = "refused: only files can be opened, not " + std::string(uri);
        return std::nullopt;
    } else {
        path = uri;
    }
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
        why = "refused: " + std::string(uri) + " is no absolute path";
        return std::nullopt;
    }
    char resolved[PATH_MAX];
    struct stat info{};
    if (!realpath(path.c_str(), resolved) || stat(resolved, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = not_media(uri);
        return std::nullopt;
    }
    for (const std::string &folder : folders)
        if (is_inside(resolved, folder)) return std::string(resolved);
    why = not_media(uri);
    return std::nullopt;
}

bool build_remote_reply(const RemoteHostBindings &oprc, const RemoteReply &reply, std::string &json) {
    if (oprc.oprc_build_begin(unsigned(reply.command)) != 0) return false;
    bool built = true;
    auto check = [&built](int rc) { built = built && rc == 0; };
    if (!reply.error.empty()) check(oprc.oprc_build_set_str("Error", reply.error.c_str()));
    const PlayerSnapshot &state = reply.snapshot;
    if (reply.with_state) {
        check(oprc.oprc_build_set_i64("State", !state.media_open ? REMOTE_STATE_IDLE
                                               : state.playing  ? REMOTE_STATE_PLAYING
                                                                : REMOTE_STATE_PAUSED));
        check(oprc.oprc_build_set_i64("Position", state.position_ms));
        check(oprc.oprc_build_set_i64("Volume", state.volume));
        check(oprc.oprc_build_set_bool("IsMuted", state.muted));
        if (state.media_open) {
            check(oprc.oprc_build_set_item_json(item_json(state.title).c_str()));
            std::string current = clock_text(state.position_ms),
                        remain = "-" + clock_text(state.duration_ms - state.position_ms);
            check(oprc.oprc_build_set_progress(state.duration_ms, state.position_ms, current.c_str(), remain.c_str()));
        }
    }
    if (reply.with_tracks) {
        for (size_t i = 0; i < state.audio.names.size(); i++)
            check(oprc.oprc_build_add_audio_track(state.audio.names[i].c_str(), int(i)));
        for (size_t i = 0; i < state.subtitles.names.size(); i++)
            check(oprc.oprc_build_add_subtitle_track(state.subtitles.names[i].c_str(), int(i)));
        // Subtitles may be off; there is always some sound while audio tracks exist.
        auto selected = [](const RemoteTracks &tracks) {
            return tracks.current >= 0 && size_t(tracks.current) < tracks.names.size() ? tracks.names[tracks.current]
                                                                                         : std::string("Off");
        };
        if (state.audio.current >= 0) check(oprc.oprc_build_set_audio_track(selected(state.audio).c_str(), state.audio.current));
        if (!state.subtitles.names.empty())
            check(oprc.oprc_build_set_subtitle_track(selected(state.subtitles).c_str(), state.subtitles.current));
    }
    std::vector<char> text(OPRC_MAX_DATAGRAM * 4);
    size_t length = 0;
    check(oprc.oprc_build_finish(text.data(), text.size(), &length));
    if (built) json.assign(text.data(), length);
    return built;
}

bool is_pairing_answer(std::string_view json) {
    std::unique_ptr<json_doc, void (*)(json_doc *)> doc(json_read(json.data(), json.size(), 0, nullptr, nullptr),
                                                        json_doc_free);
    json_val *root = json_doc_root(doc.get());
    return json_is_str(json_obj_get(root, "code")) && json_is_str(json_obj_get(root, "secret_b64"));
}

std::optional<PairingOffer> read_pairing_offer(std::string_view json) {
    std::unique_ptr<json_doc, void (*)(json_doc *)> doc(json_read(json.data(), json.size(), 0, nullptr, nullptr),
                                                        json_doc_free);
    json_val *root = json_doc_root(doc.get());
    json_val *code = json_obj_get(root, "code"), *expires = json_obj_get(root, "expires");
    if (!json_is_str(code) || json_get_type(expires) != JSON_UINT) return std::nullopt;
    return PairingOffer{std::string(json_get_str(code), json_get_len(code)),
                        int64_t(std::min<uint64_t>(json_get_uint(expires), INT64_MAX / 2)) - SECONDS_1601_TO_1970,
                        std::string(json)};
}

std::optional<std::string> real_folder(const std::string &path) {
    char resolved[PATH_MAX];
    struct stat info{};
    if (!realpath(path.c_str(), resolved) || stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    return std::string(resolved);
}

}  // namespace shell
