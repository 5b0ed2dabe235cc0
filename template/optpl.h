/*
 * Template and focus engine: holds a bundle of menu templates with their
 * translations, reads and renders templates, and moves a focus through them.
 *
 * State: one process-wide instance, created on first use (or by optpl_init)
 * and released by optpl_cleanup. There are no handles.
 *
 * Threading: none inside. Calls must not overlap; use it from one thread.
 *
 * Results: int results are OPTPL_OK on success, OPTPL_REFUSED on a soft
 * failure (a named thing was not found, an input was refused) and OPTPL_ERROR
 * on a hard failure (a required argument is missing, memory ran out);
 * optpl_last_error() then says why. Success never clears the error text.
 * Counts and indexes are non-negative, -1 for none.
 *
 * Strings: every returned string is NUL-terminated UTF-8 owned by the
 * library. Most getters share one return buffer, so a result is valid only
 * until the next string-returning call: copy what you keep.
 */
#ifndef OPTPL_H
#define OPTPL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes (the values are part of the interface). */
#define OPTPL_OK 0
#define OPTPL_REFUSED 1
#define OPTPL_ERROR (-1)
/* optpl_focus_apply: confirm found nothing to enter; the host activates the item itself. */
#define OPTPL_NOTHING_TO_ENTER 2
/* optpl_focus_apply: back or home found no page to return to. */
#define OPTPL_NOTHING_TO_LEAVE 3
/* optpl_version_compare: a version is NULL or does not parse. */
#define OPTPL_VERSION_INVALID (-2)

#if defined(OPTPL_BUILDING)
#define OPTPL_API __attribute__((visibility("default")))
#else
#define OPTPL_API
#endif

/* ---- library frame ---- */

/* Resets the library to a fresh state (a second call discards everything). Always OPTPL_OK. */
OPTPL_API int optpl_init(void);
/* Frees everything; the next call that needs state starts afresh. */
OPTPL_API void optpl_cleanup(void);
/* "1.1.1"; does not initialise the library. */
OPTPL_API const char *optpl_version(void);
/* Text of the most recent failure; never NULL, empty after init. */
OPTPL_API const char *optpl_last_error(void);
/* Warnings of the last bundle load, template parse or render (at most 10,000). */
OPTPL_API int optpl_warning_count(void);
/* Warning `index`, or NULL when out of range. */
OPTPL_API const char *optpl_warning(int index);
/* Render options: depth limit (negative = unlimited) and removal of empty groups. Always OPTPL_OK. */
OPTPL_API int optpl_set_max_depth(int depth);
OPTPL_API int optpl_set_clean_empty(int flag);

/* ---- bundle store ---- */

/*
 * Replaces the bundle with a JSON object of file name -> file text, given as
 * plain JSON or as a zlib stream. OPTPL_OK; OPTPL_REFUSED for a corrupt or
 * oversized stream or a text that is no bundle; OPTPL_ERROR for an empty
 * buffer or when memory runs out. A refused bundle leaves the loaded one as it was.
 */
OPTPL_API int optpl_load_bundle_bytes(const unsigned char *data, size_t length);
/*
 * As optpl_load_bundle_bytes, with the bytes of a regular file smaller than
 * 512 MiB; any other path (missing, a directory, a FIFO, a device) gives
 * OPTPL_REFUSED at once. OPTPL_ERROR for a NULL path.
 */
OPTPL_API int optpl_load_bundle_file(const char *path);
/* Adds or replaces one entry; the text is parsed on first use. OPTPL_OK or OPTPL_ERROR. */
OPTPL_API int optpl_add_template(const char *name, const char *json);
OPTPL_API int optpl_entry_count(void);
OPTPL_API const char *optpl_entry_name(int index);
/* Whole text of the entry `name`, NULL when there is none. */
OPTPL_API const char *optpl_entry_text(const char *name);
/* Entries whose name ends in ".json", in entry order. */
OPTPL_API int optpl_template_count(void);
OPTPL_API const char *optpl_template_name(int index);
/* 1 when an entry of exactly that name exists, else 0. */
OPTPL_API int optpl_has_template(const char *name);

/*
 * Parses the template `name` if that was not done yet and puts its reading
 * warnings in the warning list. OPTPL_OK parsed, OPTPL_REFUSED no such
 * entry, OPTPL_ERROR not a template
 * (the error text gives the reason; a failure is remembered until the text
 * is replaced).
 */
OPTPL_API int optpl_parse_template(const char *name);

/* ---- translations ---- */

/*
 * Sets the current language: OPTPL_OK when a table of exactly that code is
 * loaded, else OPTPL_REFUSED (the code is current either way); OPTPL_ERROR
 * for NULL or "".
 */
OPTPL_API int optpl_set_language(const char *code);
OPTPL_API const char *optpl_language(void);
OPTPL_API int optpl_language_count(void);
OPTPL_API const char *optpl_language_name(int index);
/* Translation of `key` in the current language (falling back to en-US), else `key`; "" for NULL. */
OPTPL_API const char *optpl_translate(const char *key);

/* ---- visibility rules ---- */

/* One of UWP, iOS, tvOS, Droid, SkiaMacOS (exact case); OPTPL_REFUSED for any other name, OPTPL_ERROR for NULL. */
OPTPL_API int optpl_set_platform(const char *name);
/* Device, edition and application version the items are checked against (NULL: none). OPTPL_OK or OPTPL_ERROR. */
OPTPL_API int optpl_set_device(const char *device);
OPTPL_API int optpl_set_edition(const char *edition);
OPTPL_API int optpl_set_app_version(const char *version);
/* Parses "a.b[.c[.d]]": OPTPL_OK, and optpl_version_normalized() gives "a.b.c.d" (missing parts -1), else OPTPL_REFUSED. */
OPTPL_API int optpl_version_parse(const char *text);
OPTPL_API const char *optpl_version_normalized(void);
/* -1, 0 or 1 as a is lower, equal or higher than b; OPTPL_VERSION_INVALID when either does not parse. No initialisation. */
OPTPL_API int optpl_version_compare(const char *a, const char *b);
/* Runtime flags: key -> value; a NULL value removes the key (OPTPL_REFUSED when it was not set). OPTPL_ERROR for a NULL key or when memory runs out. */
OPTPL_API int optpl_set_flag(const char *key, const char *value);
OPTPL_API void optpl_clear_flags(void);
OPTPL_API int optpl_flag_count(void);
/* 1 when a "name:value" text is satisfied by the runtime flags. */
OPTPL_API int optpl_has_feature_flag(const char *flag_text);
/* Global flags: named switches; `on` 0 removes. OPTPL_OK, or OPTPL_ERROR for a NULL name or when memory runs out. */
OPTPL_API int optpl_set_global_flag(const char *name, int on);
OPTPL_API void optpl_clear_global_flags(void);
OPTPL_API int optpl_set_global_flags_enabled(int on);
OPTPL_API int optpl_eval_global_flag(const char *name);
/* Sets the flags switched on in the bundle's "ffop.json"; their number, 0 without it, -1 when it is no template. */
OPTPL_API int optpl_use_bundle_feature_flags(void);

/* ---- rendering ---- */

/*
 * Renders a page of a template into a flat list of nodes: sections and their
 * visible items, with the items of nested groups after their owner. `page` is
 * a '/'-separated path of item keys from the root (NULL or "" for the root).
 * OPTPL_OK, OPTPL_REFUSED (no such template or page) or OPTPL_ERROR (not a
 * template, out of memory).
 */
OPTPL_API int optpl_render(const char *tpl, const char *page);
/* As optpl_render, keeping only the page's sections whose Key is `section`; OPTPL_ERROR for a NULL section. */
OPTPL_API int optpl_render_section(const char *tpl, const char *page, const char *section);
OPTPL_API int optpl_node_count(void);
/*
 * A field of node `node`: "kind", "depth", "parent", "path", "verdict",
 * "section", "section_text", "key", "type", "display", "text", "default",
 * "subtitle", "placeholder", "icon", "fallback_icon_url", "feature_flag",
 * "enabled", "url", "handler", "has_group", "group_key", "group_text",
 * "group_type", "group_use_grid", "values_count", "ext.NAME",
 * "ext.PLATFORM.NAME", "am.NAME", "rs.NAME". An absent value reads as "";
 * optpl_node_field_is_null tells it apart. NULL for an unknown field.
 */
OPTPL_API const char *optpl_node_field(int node, const char *field);
/* 1 when the field's value is absent, 0 when present, -1 when the field or node is invalid. */
OPTPL_API int optpl_node_field_is_null(int node, const char *field);
OPTPL_API int optpl_node_value_count(int node);
OPTPL_API const char *optpl_node_value_field(int node, int value, const char *field);
/* The nodes as one JSON array; valid until the next call or render. NULL when it cannot be built. */
OPTPL_API const char *optpl_result_json(void);

/* ---- television layout ---- */

/* "tv", "desktop" or "handheld" (any case): OPTPL_OK; another name OPTPL_REFUSED; NULL OPTPL_ERROR. */
OPTPL_API int optpl_set_form_factor(const char *name);
OPTPL_API const char *optpl_form_factor(void);
/* Columns (0 = from the page), rows per screenful, safe inset (0..25). Always OPTPL_OK. */
OPTPL_API int optpl_set_tv_columns(int columns);
OPTPL_API int optpl_set_tv_rows(int rows);
OPTPL_API int optpl_set_tv_safe_inset(int inset);
OPTPL_API int optpl_tv_columns(void);
OPTPL_API int optpl_tv_rows(void);
/* Layout settings and the sections of the focus graph as JSON. */
OPTPL_API const char *optpl_tv_layout_json(void);

/* ---- focus graph ---- */

/* Renders the page and builds the focus graph of its top-level items; results as optpl_render (OPTPL_ERROR for a NULL template). */
OPTPL_API int optpl_focus_build(const char *tpl, const char *page);
OPTPL_API int optpl_focus_count(void);
OPTPL_API int optpl_focus_default(void);
OPTPL_API int optpl_focus_index(void);
/* Makes `index` the current focus: OPTPL_OK, or OPTPL_REFUSED when out of range. */
OPTPL_API int optpl_focus_set(int index);
/*
 * A field of focus node `index`: "index", "focus_index", "key", "type",
 * "display", "text", "subtitle", "placeholder", "path", "section",
 * "section_index", "sections", "row", "col", "cols", "rows", "page", "grid",
 * "has_group", "child_page", "handler", "fake_button", "enabled", "url",
 * "icon", "focused".
 */
OPTPL_API const char *optpl_focus_field(int index, const char *field);
/* Index of the focus node with exactly this path, -1 when none. */
OPTPL_API int optpl_focus_find(const char *path);
/* The focus node whose path is this node's path without its last segment, -1 when none. */
OPTPL_API int optpl_focus_parent(int index);
/* Page path that entering the node opens ("" when it has no group). */
OPTPL_API const char *optpl_focus_child_page(int index);
OPTPL_API const char *optpl_focus_json(void);

/* ---- focus navigation and page stack ---- */

/*
 * Where a move from `index` would land ("up", "down", "left", "right",
 * "pageup", "pagedown", "first", "last"; any case), or -1. Does not move.
 */
OPTPL_API int optpl_focus_move(int index, const char *direction);
/* Pushes a page to return to; the new depth, or -1. */
OPTPL_API int optpl_nav_push(const char *tpl, const char *page, const char *focus_path);
OPTPL_API int optpl_nav_depth(void);
OPTPL_API void optpl_nav_clear(void);
/* "template", "page", "focus_path", "focus_index" of entry `index`; "popped_path", "popped_index" at index = depth. */
OPTPL_API const char *optpl_nav_field(int index, const char *field);
/* Template of the bottom page of the stack, else of the focus graph; "" when none. */
OPTPL_API const char *optpl_focus_root(void);
/* Opens the node's group as the new page: OPTPL_OK; OPTPL_REFUSED when it has none; OPTPL_ERROR; or the build's code. */
OPTPL_API int optpl_focus_enter(int index);
/* Returns to the page on top of the stack, focus restored: OPTPL_OK; OPTPL_REFUSED when the stack is empty; or the build's code. */
OPTPL_API int optpl_focus_back(void);
OPTPL_API int optpl_nav_back(void);
/* Focus nodes that no up/down/left/right move reaches from the default. */
OPTPL_API int optpl_focus_unreachable_count(void);
OPTPL_API const char *optpl_focus_unreachable(int k);

/* ---- actions and key maps ---- */

/*
 * User actions (nav_up, confirm, play_pause, ...) and the input codes that
 * lead to them. Except for optpl_focus_apply and optpl_action_json these read
 * constant tables only and initialise nothing. Action and key names are
 * constant strings; action fields and cec key names use the return buffer.
 */
OPTPL_API int optpl_action_count(void);
/* Index of the action named `name` (any case), -1 when none. */
OPTPL_API int optpl_action_find(const char *name);
/* "name", "legacy", "direction", "family" or "description" of action `index` ("" when empty), else NULL. */
OPTPL_API const char *optpl_action_field(int index, const char *field);
/* Action of a Windows virtual key, Android key code, Linux input-event key or HDMI-CEC user-control code, or NULL. */
OPTPL_API const char *optpl_action_from_virtual_key(int code);
OPTPL_API const char *optpl_action_from_android_keycode(int code);
OPTPL_API const char *optpl_action_from_linux_keycode(int code);
OPTPL_API const char *optpl_action_from_cec(int code);
/*
 * Action of a key in the map "keyboard", "xbox", "androidtv", "cec" or "siri"
 * (any case). The key is a key name (any case) or a decimal or 0x number;
 * cec keys are numbers only, siri keys names only. NULL when none.
 */
OPTPL_API const char *optpl_action_from_key(const char *map, const char *key);
/* Name of the map's first key for `action`, for on-screen hints; cec gives "0x%02x". NULL when none. */
OPTPL_API const char *optpl_action_key_name(const char *map, const char *action);
/* The actions and map names as JSON, valid until the next call or focus invalidation; NULL when it cannot be built. */
OPTPL_API const char *optpl_action_json(void);
/*
 * Performs an action on the focus graph: OPTPL_OK handled; OPTPL_REFUSED
 * not a focus action or not possible (the host may handle it);
 * OPTPL_NOTHING_TO_ENTER; OPTPL_NOTHING_TO_LEAVE; OPTPL_ERROR unknown
 * action; a failed page build returns its own code.
 */
OPTPL_API int optpl_focus_apply(const char *action);

#ifdef __cplusplus
}
#endif

#endif
