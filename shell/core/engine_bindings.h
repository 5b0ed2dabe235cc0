// The shell's binding record: the three libraries, loaded at run time from the
// application directory, and the entry points the shell resolves from them.
// An entry point that was not found stays empty; callers check before calling.
#pragma once

#include <cstdint>

#include "oprc.h"

struct oppb_engine;
struct oppb_sample;
struct oppb_cue;

namespace shell {

struct EngineBindings {
    void *optpl_module;
    void *oppb_module;
    void *oprc_module;

    // Template and focus engine.
    int (*optpl_init)();
    const char *(*optpl_version)();
    int (*optpl_load_bundle_file)(const char *path);
    int (*optpl_add_template)(const char *name, const char *json);
    int (*optpl_set_platform)(const char *name);
    int (*optpl_set_device)(const char *device);
    int (*optpl_set_edition)(const char *edition);
    int (*optpl_set_language)(const char *code);
    int (*optpl_set_form_factor)(const char *name);
    int (*optpl_set_tv_columns)(int columns);
    int (*optpl_set_tv_rows)(int rows);
    int (*optpl_set_tv_safe_inset)(int inset);
    int (*optpl_tv_columns)();
    int (*optpl_tv_rows)();
    const char *(*optpl_tv_layout_json)();
    int (*optpl_focus_build)(const char *tpl, const char *page);
    int (*optpl_focus_count)();
    const char *(*optpl_focus_field)(int index, const char *field);
    int (*optpl_focus_default)();
    int (*optpl_focus_index)();
    int (*optpl_focus_set)(int index);
    int (*optpl_focus_apply)(const char *action);
    const char *(*optpl_focus_child_page)(int index);
    int (*optpl_focus_back)();
    const char *(*optpl_focus_root)();
    int (*optpl_nav_depth)();
    const char *(*optpl_action_from_virtual_key)(int code);
    const char *(*optpl_action_from_key)(const char *map, const char *key);
    int (*optpl_action_count)();
    const char *(*optpl_action_field)(int index, const char *field);
    const char *(*optpl_last_error)();

    // Playback engine.
    const char *(*oppb_version)();
    oppb_engine *(*oppb_open_path)(const char *path, const char *config);
    void (*oppb_close)(oppb_engine *engine);
    int32_t (*oppb_stream_count)(const oppb_engine *engine, const char *kind);
    const char *(*oppb_stream_field)(oppb_engine *engine, const char *kind, int32_t n, const char *field);
    int64_t (*oppb_duration_ticks)(const oppb_engine *engine);
    int32_t (*oppb_next_sample)(oppb_engine *engine, int32_t stream, oppb_sample *out);
    int32_t (*oppb_next_subtitle)(oppb_engine *engine, int32_t stream, oppb_cue *out);
    int32_t (*oppb_set_subtitle_index)(oppb_engine *engine, int32_t which, int32_t stream);
    int32_t (*oppb_select_stream)(oppb_engine *engine, const char *kind, int32_t index);
    int32_t (*oppb_stream_selected)(const oppb_engine *engine, const char *kind);
    int32_t (*oppb_sample_mode)(oppb_engine *engine, int32_t stream, int32_t mode);
    int32_t (*oppb_seek)(oppb_engine *engine, int64_t target, int64_t *landed);
    int64_t (*oppb_position_ticks)(const oppb_engine *engine);
    int32_t (*oppb_add_external_subtitle)(oppb_engine *engine, const char *path, const char *language);
    const char *(*oppb_last_error)(const oppb_engine *engine);

    // Remote-control protocol: bound and counted; `app --remote` resolves the rest (RemoteHostBindings).
    int (*oprc_listen)(unsigned port);
    int (*oprc_listen_bound_port)();
    int (*oprc_poll)(int timeout_ms);
    int (*oprc_command)();
    const char *(*oprc_command_name)(unsigned id);
    const char *(*oprc_uri)();
    const char *(*oprc_last_error)();
    int (*oprc_stop)();

    // One line per library ("optpl  <path>  0 exports missing"), each ending in '\n'.
    char status[1024];
};

// The further remote-control entry points a host needs (`app --remote`),
// resolved from the remote-control library the record loaded. They stay out
// of the record and its status text, which list what every start binds.
struct RemoteHostBindings {
    decltype(&::oprc_set_transport) oprc_set_transport;
    decltype(&::oprc_listen) oprc_listen;
    decltype(&::oprc_poll) oprc_poll;
    decltype(&::oprc_stop) oprc_stop;
    decltype(&::oprc_last_error) oprc_last_error;
    decltype(&::oprc_command) oprc_command;
    decltype(&::oprc_command_name) oprc_command_name;
    decltype(&::oprc_result_json) oprc_result_json;
    decltype(&::oprc_negotiated_level) oprc_negotiated_level;
    decltype(&::oprc_allow_legacy) oprc_allow_legacy;
    decltype(&::oprc_arm_uri_commands) oprc_arm_uri_commands;
    decltype(&::oprc_build_begin) oprc_build_begin;
    decltype(&::oprc_build_set_str) oprc_build_set_str;
    decltype(&::oprc_build_set_i64) oprc_build_set_i64;
    decltype(&::oprc_build_set_bool) oprc_build_set_bool;
    decltype(&::oprc_build_set_item_json) oprc_build_set_item_json;
    decltype(&::oprc_build_set_progress) oprc_build_set_progress;
    decltype(&::oprc_build_add_audio_track) oprc_build_add_audio_track;
    decltype(&::oprc_build_add_subtitle_track) oprc_build_add_subtitle_track;
    decltype(&::oprc_build_set_audio_track) oprc_build_set_audio_track;
    decltype(&::oprc_build_set_subtitle_track) oprc_build_set_subtitle_track;
    decltype(&::oprc_build_finish) oprc_build_finish;
    decltype(&::oprc_v2_send) oprc_v2_send;
    decltype(&::oprc_v2_key_registered) oprc_v2_key_registered;
    decltype(&::oprc_v2_begin_pairing) oprc_v2_begin_pairing;
    decltype(&::oprc_v2_accept_pairing) oprc_v2_accept_pairing;
};

// Zero-fills `host` and resolves its entry points from `oprc_module` (the
// record's handle; NULL resolves none). The number that are missing, or -1
// without a record.
int bind_remote_host(void *oprc_module, RemoteHostBindings *host);

// Library file names, without the ".so" the loader appends.
inline constexpr const char *OPTPL_LIBRARY = "orvellox-orvelloplayer-template-parse";
inline constexpr const char *OPPB_LIBRARY = "orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine";
inline constexpr const char *OPRC_LIBRARY = "orvellox-orvelloplayer-remote-control-protocol";

// Zero-fills `record` and binds the three libraries from `directory` (UTF-8,
// no trailing '/'; NULL means "."). The number of libraries that loaded, or -1
// without a record.
int bind_engines(EngineBindings *record, const char *directory);

}  // namespace shell
