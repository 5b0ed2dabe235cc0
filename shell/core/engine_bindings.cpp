#include "engine_bindings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "library_loader.h"
#include "shell_log.h"
#include "text.h"

namespace shell {
namespace {

struct ExportSlot {
    const char *name;
    void (*store)(EngineBindings &record, void *symbol);
};

template <auto Field>
void store_export(EngineBindings &record, void *symbol) {
    using Pointer = std::remove_reference_t<decltype(record.*Field)>;
    record.*Field = reinterpret_cast<Pointer>(symbol);
}

#define EXPORT_SLOT(name) \
    ExportSlot { #name, &store_export < &EngineBindings::name> }

constexpr ExportSlot OPTPL_EXPORTS[] = {
    EXPORT_SLOT(optpl_init),
    EXPORT_SLOT(optpl_version),
    EXPORT_SLOT(optpl_load_bundle_file),
    EXPORT_SLOT(optpl_add_template),
    EXPORT_SLOT(optpl_set_platform),
    EXPORT_SLOT(optpl_set_device),
    EXPORT_SLOT(optpl_set_edition),
    EXPORT_SLOT(optpl_set_language),
    EXPORT_SLOT(optpl_set_form_factor),
    EXPORT_SLOT(optpl_set_tv_columns),
    EXPORT_SLOT(optpl_set_tv_rows),
    EXPORT_SLOT(optpl_set_tv_safe_inset),
    EXPORT_SLOT(optpl_tv_columns),
    EXPORT_SLOT(optpl_tv_rows),
    EXPORT_SLOT(optpl_tv_layout_json),
    EXPORT_SLOT(optpl_focus_build),
    EXPORT_SLOT(optpl_focus_count),
    EXPORT_SLOT(optpl_focus_field),
    EXPORT_SLOT(optpl_focus_default),
    EXPORT_SLOT(optpl_focus_index),
    EXPORT_SLOT(optpl_focus_set),
    EXPORT_SLOT(optpl_focus_apply),
    EXPORT_SLOT(optpl_focus_child_page),
    EXPORT_SLOT(optpl_focus_back),
    EXPORT_SLOT(optpl_focus_root),
    EXPORT_SLOT(optpl_nav_depth),
    EXPORT_SLOT(optpl_action_from_virtual_key),
    EXPORT_SLOT(optpl_action_from_key),
    EXPORT_SLOT(optpl_action_count),
    EXPORT_SLOT(optpl_action_field),
    EXPORT_SLOT(optpl_last_error),
};

constexpr ExportSlot OPPB_EXPORTS[] = {
    EXPORT_SLOT(oppb_version),       EXPORT_SLOT(oppb_open_path),       EXPORT_SLOT(oppb_close),
    EXPORT_SLOT(oppb_stream_count),  EXPORT_SLOT(oppb_stream_field),    EXPORT_SLOT(oppb_duration_ticks),
    EXPORT_SLOT(oppb_next_sample),   EXPORT_SLOT(oppb_next_subtitle),   EXPORT_SLOT(oppb_set_subtitle_index),
    EXPORT_SLOT(oppb_select_stream), EXPORT_SLOT(oppb_stream_selected), EXPORT_SLOT(oppb_sample_mode),
    EXPORT_SLOT(oppb_seek),          EXPORT_SLOT(oppb_position_ticks),  EXPORT_SLOT(oppb_add_external_subtitle),
    EXPORT_SLOT(oppb_last_error),
};

constexpr ExportSlot OPRC_EXPORTS[] = {
    EXPORT_SLOT(oprc_listen),       EXPORT_SLOT(oprc_listen_bound_port),
    EXPORT_SLOT(oprc_poll),         EXPORT_SLOT(oprc_command),
    EXPORT_SLOT(oprc_command_name), EXPORT_SLOT(oprc_uri),
    EXPORT_SLOT(oprc_last_error),   EXPORT_SLOT(oprc_stop),
};

#undef EXPORT_SLOT

struct RemoteHostSlot {
    const char *name;
    void (*store)(RemoteHostBindings &host, void *symbol);
};

template <auto Field>
void store_host_export(RemoteHostBindings &host, void *symbol) {
    using Pointer = std::remove_reference_t<decltype(host.*Field)>;
    host.*Field = reinterpret_cast<Pointer>(symbol);
}

#define HOST_SLOT(name) \
    RemoteHostSlot { #name, &store_host_export < &RemoteHostBindings::name> }

constexpr RemoteHostSlot REMOTE_HOST_EXPORTS[] = {
    HOST_SLOT(oprc_set_transport),
    HOST_SLOT(oprc_listen),
    HOST_SLOT(oprc_poll),
    HOST_SLOT(oprc_stop),
    HOST_SLOT(oprc_last_error),
    HOST_SLOT(oprc_command),
    HOST_SLOT(oprc_command_name),
    HOST_SLOT(oprc_result_json),
    HOST_SLOT(oprc_negotiated_level),
    HOST_SLOT(oprc_allow_legacy),
    HOST_SLOT(oprc_arm_uri_commands),
    HOST_SLOT(oprc_build_begin),
    HOST_SLOT(oprc_build_set_str),
    HOST_SLOT(oprc_build_set_i64),
    HOST_SLOT(oprc_build_set_bool),
    HOST_SLOT(oprc_build_set_item_json),
    HOST_SLOT(oprc_build_set_progress),
    HOST_SLOT(oprc_build_add_audio_track),
    HOST_SLOT(oprc_build_add_subtitle_track),
    HOST_SLOT(oprc_build_set_audio_track),
    HOST_SLOT(oprc_build_set_subtitle_track),
    HOST_SLOT(oprc_build_finish),
    HOST_SLOT(oprc_v2_send),
    HOST_SLOT(oprc_v2_key_registered),
    HOST_SLOT(oprc_v2_begin_pairing),
    HOST_SLOT(oprc_v2_accept_pairing),
};

#undef HOST_SLOT

struct Library {
    const char *file;
    const char *prefix;  // status-line prefix, padded to seven characters
    void *EngineBindings::*module;
    std::span<const ExportSlot> exports;
};

constexpr Library LIBRARIES[] = {
    {OPTPL_LIBRARY, "optpl  ", &EngineBindings::optpl_module, OPTPL_EXPORTS},
    {OPPB_LIBRARY, "oppb   ", &EngineBindings::oppb_module, OPPB_EXPORTS},
    {OPRC_LIBRARY, "oprc   ", &EngineBindings::oprc_module, OPRC_EXPORTS},
};

constexpr size_t PATH_CAPACITY = 1024;
constexpr size_t LINE_CAPACITY = 1200;

// Binds one library and returns whether its file loaded; `line` gets its status line.
bool bind_library(EngineBindings &record, const Library &library, const char *directory, char *line) {
    char path[PATH_CAPACITY];
    int length = snprintf(path, sizeof path, "%s/%s.so", directory, library.file);
    if (length < 0 || size_t(length) >= sizeof path) {
        // Loading the cut path could load another file: refuse it.
        path[utf8_cut(path, sizeof path - 1)] = '\0';
        snprintf(line, LINE_CAPACITY, "%s%s  LOAD FAILED err=%u", library.prefix, path, unsigned(ENAMETOOLONG));
        return false;
    }
    LibraryLoad load = load_library(path);
    if (!load.handle) {
        log_echo(utf8_to_utf16(load.detail));
        snprintf(line, LINE_CAPACITY, "%s%s  LOAD FAILED err=%u", library.prefix, path, load.error);
        return false;
    }
    int missing = 0;
    for (const ExportSlot &slot : library.exports) {
        void *symbol = library_export(load.handle, slot.name);
        slot.store(record, symbol);
        if (!symbol) missing++;
    }
    record.*library.module = load.handle;
    snprintf(line, LINE_CAPACITY, "%s%s  %d exports missing", library.prefix, path, missing);
    return true;
}

// Appends a line and '\n' so that the text stays within 1,023 characters:
// a line that no longer fits is dropped, one that partly fits is cut.
void append_status(char (&status)[1024], std::string_view line) {
    size_t used = std::strlen(status);
    if (used + 1 >= sizeof status) return;
    size_t room = sizeof status - 2 - used;
    size_t copied = utf8_cut(line, room);
    std::memcpy(status + used, line.data(), copied);
    status[used + copied] = '\n';
    status[used + copied + 1] = '\0';
}

}  // namespace

int bind_remote_host(void *oprc_module, RemoteHostBindings *host) {
    if (!host) return -1;
    std::memset(host, 0, sizeof *host);
    int missing = 0;
    for (const RemoteHostSlot &slot : REMOTE_HOST_EXPORTS) {
        void *symbol = oprc_module ? library_export(oprc_module, slot.name) : nullptr;
        slot.store(*host, symbol);
        if (!symbol) missing++;
    }
    return missing;
}

int bind_engines(EngineBindings *record, const char *directory) {
    if (!record) return -1;
    std::memset(record, 0, sizeof *record);
    if (!directory) directory = ".";
    int loaded = 0;
    for (const Library &library : LIBRARIES) {
        char line[LINE_CAPACITY];
        if (bind_library(*record, library, directory, line)) loaded++;
        append_status(record->status, line);
    }
    return loaded;
}

}  // namespace shell
