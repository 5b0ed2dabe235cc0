// What a paired remote control asks of the player and what the player answers:
// the request a decoded message carries, the player as the commands see it,
// and the dispatch from one to the other with the reply it gives. No platform
// and no library calls: the host (app/shell_remote.cpp) receives and decodes
// datagrams with the remote-control library and writes replies with its builder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine_bindings.h"

namespace shell {

// Command ids of the remote-control protocol the player acts on.
enum RemoteCommandId : int {
    REMOTE_TOGGLE_PLAY_PAUSE = 0,
    REMOTE_PLAY = 1,
    REMOTE_PAUSE = 2,
    REMOTE_STOP = 3,
    REMOTE_FAST_FORWARD = 5,
    REMOTE_REWIND = 6,
    REMOTE_NEXT = 7,
    REMOTE_PREVIOUS = 8,
    REMOTE_PING = 17,
    REMOTE_GO_BACK = 18,
    REMOTE_CURRENT_STATE = 19,
    REMOTE_PROGRESS = 20,
    REMOTE_SEEK = 21,
    REMOTE_AUDIO_TRACKS = 22,
    REMOTE_SUBTITLE_TRACKS = 23,
    REMOTE_VOLUME = 24,
    REMOTE_SET_SUBTITLE_TRACK = 25,
    REMOTE_SET_AUDIO_TRACK = 26,
    REMOTE_SET_VOLUME = 27,
    REMOTE_TOGGLE_MUTED = 28,
    REMOTE_OPEN = 30,
    REMOTE_PLAY_URI = 40,
};

// "State" in replies.
enum RemoteState : int { REMOTE_STATE_IDLE = 0, REMOTE_STATE_PLAYING = 1, REMOTE_STATE_PAUSED = 2 };

// The members of a message the player reads; absent ones stay empty.
struct RemoteRequest {
    int command = -1;
    std::string command_name;           // for the texts of replies
    std::optional<int64_t> position_ms; // "Position"
    std::optional<int> volume_permille; // "Volume": a fraction of full volume, in thousandths
    std::optional<int> audio_track;     // "AudioTrack"."Index", an ordinal among the audio tracks
    std::optional<int> subtitle_track;  // "SubtitleTrack"."Index"; -1 turns subtitles off
    std::optional<std::string> uri;     // "Uri"
};

// The request in a decoded message's JSON text; members of the wrong type count as absent.
RemoteRequest read_remote_request(int command, std::string_view command_name, std::string_view json);

struct RemoteTracks {
    std::vector<std::string> names;
    int current = -1;  // ordinal of the selected track, -1 for none
};

// The player as a reply describes it.
struct PlayerSnapshot {
    bool media_open = false;
    bool playing = false;
    int64_t position_ms = 0;
    int64_t duration_ms = 0;
    std::string title;  // the file name of what is open
    int volume = 100;   // percent
    bool muted = false;
    RemoteTracks audio;
    RemoteTracks subtitles;
};

// What the commands do to the player; calls come on the UI thread.
class RemoteTarget {
public:
    virtual ~RemoteTarget() = default;
    virtual PlayerSnapshot Snapshot() = 0;
    virtual void TogglePlayPause() = 0;
    virtual void Play() = 0;
    virtual void Pause() = 0;
    virtual void Stop() = 0;
    // By the skip interval, forwards (direction > 0) or back.
    virtual void SkipBy(int direction) = 0;
    virtual void JumpChapter(int direction) = 0;
    virtual void SeekTo(int64_t position_ms) = 0;
    virtual void SetVolume(int percent) = 0;
    virtual void ToggleMuted() = 0;
    // Ordinals among the tracks of the kind; -1 turns subtitles off. False for no such track.
    virtual bool SelectAudioTrack(int ordinal) = 0;
    virtual bool SelectSubtitleTrack(int ordinal) = 0;
    // Leaves what is shown: stops playback, else goes back a page.
    virtual void GoBack() = 0;
    // Plays a file (a real path under a media folder).
    virtual void Open(const std::string &path) = 0;
};

// The reply to one command: "Error" says why it was not acted on; the state
// members follow when `with_state`, the track members when `with_tracks`.
struct RemoteReply {
    int command = -1;
    std::string error;
    bool with_state = false;
    bool with_tracks = false;
    PlayerSnapshot snapshot;
};

// Acts on one request. `media_folders` are the folders Open and PlayUri may
// play from (real paths, without a trailing '/').
RemoteReply dispatch_remote(const RemoteRequest &request, RemoteTarget &target,
                            const std::vector<std::string> &media_folders);

// The real path of the regular file `uri` names (an absolute path or a
// "file://" URI with %-escapes) when it lies inside one of `folders` once every
// symbolic link and ".." is resolved; else nothing, with `why` saying what is wrong.
std::optional<std::string> media_file_in(std::string_view uri, const std::vector<std::string> &folders,
                                         std::string &why);

// Writes `reply` as JSON text with the library's reply builder (on the thread
// that makes the library's calls); false when the builder refuses it.
bool build_remote_reply(const RemoteHostBindings &oprc, const RemoteReply &reply, std::string &json);

// Whether a plain message answers a pairing offer (carries its code and secret).
bool is_pairing_answer(std::string_view json);

// A pairing offer as the screen shows it.
struct PairingOffer {
    std::string code;     // six digits
    int64_t expires = 0;  // seconds since 1970-01-01 UTC
    std::string json;     // the offer itself, for the controller
};

// The offer the library wrote (its "expires" counts seconds from 1601-01-01 UTC);
// nothing when it lacks its code or expiry.
std::optional<PairingOffer> read_pairing_offer(std::string_view json);

// A folder's real path, or nothing when it does not exist.
std::optional<std::string> real_folder(const std::string &path);

}  // namespace shell
