/*
 * Template and focus engine: holds a bundle of menu templates with their
 * translations, reads and renders templates, and moves a focus through them.
 *
 * State: one process-wide instance, created on first use (or by optpl_init)
 * and released by optpl_cleanup. There are no handles.
 *
 * Threading: none inside. Calls must not overlap; use it from one thread.
 *
 * Results: int results are 0 on success, 1 on a soft failure (a named thing
 * was not found, an input was refused) and -1 on a hard failure (a required
 * argument is missing, memory ran out); optpl_last_error() then says why.
 * Success never clears the error text.
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

#if defined(OPTPL_BUILDING)
#define OPTPL_API __attribute__((visibility("default")))
#else
#define OPTPL_API
#endif

/* ---- library frame ---- */

/* Resets the library to a fresh state (a second call discards everything). Always 0. */
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
/* Render options: depth limit (negative = unlimited) and removal of empty groups. Always 0. */
OPTPL_API int optpl_set_max_depth(int depth);
OPTPL_API int optpl_set_clean_empty(int flag);

/* ---- bundle store ---- */

/*
 * Replaces the bundle with a JSON object of file name -> file text, given as
 * plain JSON or as a zlib stream. A refused bundle leaves the loaded one as it was.
 */
OPTPL_API int optpl_load_bundle_bytes(const unsigned char *data, size_t length);
/* As optpl_load_bundle_bytes, with the bytes of a file (smaller than 512 MiB). */
OPTPL_API int optpl_load_bundle_file(const char *path);
/* Adds or replaces one entry; the text is parsed on first use. 0 or -1. */
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
 * warnings in the warning list. 0 parsed, 1 no such entry, -1 not a template
 * (the error text gives the reason; a failure is remembered until the text
 * is replaced).
 */
OPTPL_API int optpl_parse_template(const char *name);

/* ---- translations ---- */

/* Sets the current language; 0 when a table of exactly that code is loaded, else 1. */
OPTPL_API int optpl_set_language(const char *code);
OPTPL_API const char *optpl_language(void);
OPTPL_API int optpl_language_count(void);
OPTPL_API const char *optpl_language_name(int index);
/* Translation of `key` in the current language (falling back to en-US), else `key`; "" for NULL. */
OPTPL_API const char *optpl_translate(const char *key);

/* ---- visibility rules ---- */

/* One of UWP, iOS, tvOS, Droid, SkiaMacOS (exact case); 1 for any other name. */
OPTPL_API int optpl_set_platform(const char *name);
/* Device, edition and application version the items are checked against (NULL: none). 0 or -1. */
OPTPL_API int optpl_set_device(const char *device);
OPTPL_API int optpl_set_edition(const char *edition);
OPTPL_API int optpl_set_app_version(const char *version);
/* Parses "a.b[.c[.d]]"; 0 and optpl_version_normalized() gives "a.b.c.d" (missing parts -1), else 1. */
OPTPL_API int optpl_version_parse(const char *text);
OPTPL_API const char *optpl_version_normalized(void);
/* -1, 0 or 1 as a is lower, equal or higher than b; -2 when either does not parse. No initialisation. */
OPTPL_API int optpl_version_compare(const char *a, const char *b);
/* Runtime flags: key -> value; a NULL value removes the key (1 when it was not set). */
OPTPL_API int optpl_set_flag(const char *key, const char *value);
OPTPL_API void optpl_clear_flags(void);
OPTPL_API int optpl_flag_count(void);
/* 1 when a "name:value" text is satisfied by the runtime flags. */
OPTPL_API int optpl_has_feature_flag(const char *spec);
/* Global flags: named switches; `on` 0 removes. */
OPTPL_API int optpl_set_global_flag(const char *name, int on);
OPTPL_API void optpl_clear_global_flags(void);
OPTPL_API int optpl_set_global_flags_enabled(int on);
OPTPL_API int optpl_eval_global_flag(const char *name);
/* Sets the flags switched on in the bundle's "ffop.json"; their number, 0 without it, -1 when it is no template. */
OPTPL_API int optpl_use_bundle_feature_flags(void);

#ifdef __cplusplus
}
#endif

#endif
