/*
 * Playback engine: opens one media source (a file path, or a byte source the
 * caller reads through callbacks), describes its streams, chapters and
 * attachments, and hands out decoded video frames, decoded audio or
 * compressed packets one at a time, on demand.
 *
 * Handles: every open returns its own engine record. oppb_close releases the
 * media, decoders and queues; the record itself stays and keeps answering
 * queries (delivery then returns -10).
 *
 * Threading: the engine starts no threads and takes no locks, but FFmpeg's
 * decoders start worker threads of their own (video and audio decoder
 * thread counts come from the configuration). One handle must be used by one
 * thread at a time; different handles may be used from different threads.
 * Callbacks of a byte source run on the thread of the call that reads.
 *
 * Time: every time is a signed 64-bit count of 100 ns ticks.
 *
 * Results: OPPB_OK (0) success, OPPB_END (1) nothing to deliver now,
 * negative codes below; each export lists its own. Failures that record a
 * text leave it in oppb_last_error. A success does not always clear an
 * earlier text. Every export taking a handle gives OPPB_ERR_ARG for NULL.
 *
 * Strings: returned texts stay the engine's. JSON documents live until the
 * next JSON call on the handle; formatted values until sixteen more have been
 * produced on it; names and titles until oppb_close.
 */
#ifndef OPPB_H
#define OPPB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(OPPB_BUILDING)
#define OPPB_API __attribute__((visibility("default")))
#else
#define OPPB_API
#endif

enum {
    OPPB_OK = 0,
    OPPB_END = 1,
    OPPB_ERR_TRANSPORT = -1,
    OPPB_ERR_CONTAINER = -2,
    OPPB_ERR_DECODER = -3,
    OPPB_ERR_ARG = -4,
    OPPB_ERR_NOMEM = -5,
    OPPB_ERR_NOT_FOUND = -6,
    OPPB_ERR_SEEK = -7,
    OPPB_ERR_STATE = -8,
    OPPB_ERR_UNSUPPORTED = -9,
    OPPB_ERR_CLOSED = -10,
    OPPB_ERR_IO = -11,
};

enum { OPPB_TICKS_PER_SECOND = 10000000 };

typedef struct oppb_engine oppb_engine;

/*
 * A byte source read through callbacks. The engine copies the record at open;
 * `opaque` and the functions must stay valid until the handle is closed.
 * read returns the bytes delivered, 0 when there is no more data, negative on
 * failure. seek's whence is 0, 1 or 2 (from start, current, end). size is
 * negative when unknown. interrupt returns non-zero to abandon the blocking
 * operation in progress. Only read is required.
 */
typedef struct oppb_io {
    void *opaque;
    int (*read)(void *opaque, uint8_t *buffer, int size);
    int64_t (*seek)(void *opaque, int64_t offset, int whence);
    int64_t (*size)(void *opaque);
    int (*interrupt)(void *opaque);
    void *reserved[4];
} oppb_io;

/* One delivered sample. The caller owns the record; the payload stays the
   engine's until the next delivery on the same stream, a flush, a seek (which
   flushes every stream) or close. A caller that needs the data beyond that
   copies it first. */
typedef struct oppb_sample {
    int32_t stream;
    int64_t pts;       /* minus the stream's start offset */
    int64_t duration;  /* 0 when unknown */
    int32_t key;
    int32_t discard;   /* packets carrying FFmpeg's discard flag */
    const uint8_t *data;
    int64_t size;      /* packet bytes or audio bytes; 0 for video frames */
    int32_t compressed;
    int32_t width;
    int32_t height;
    int32_t pixel_format;  /* FFmpeg's AVPixelFormat; -1 for a Direct3D 11 surface */
    int32_t line_sizes[4];
    uint8_t *planes[4];
    int32_t plane_count;
    int32_t sample_rate;
    int32_t channels;
    int32_t sample_format;  /* FFmpeg's AVSampleFormat */
    int32_t sample_count;   /* per channel */
    void *texture;
    int32_t texture_index;
    void *ready_query;
} oppb_sample;

/* One timed subtitle cue. The pointers are the engine's until the next cue
   of the same stream or close. */
typedef struct oppb_cue {
    int32_t stream;
    int32_t kind;      /* 1 text, 2 bitmap */
    int64_t start;     /* with the subtitle delay; a delayed cue never starts below 0 */
    int64_t duration;  /* at least the configured minimum */
    int32_t width;     /* bitmap only */
    int32_t height;
    int32_t colours;
    const uint8_t *data;     /* text: the packet payload plus a NUL; bitmap: width x height palette indexes */
    int64_t size;            /* text bytes without the NUL; width x height */
    const uint8_t *palette;  /* colours x 4 bytes, one 32-bit entry per colour as FFmpeg gives it */
    int64_t palette_size;
    const char *text;  /* plain text of the first decoded rectangle, or NULL */
    const char *ass;   /* its ASS event line, or NULL */
} oppb_cue;

/* The records crossing the interface keep this member order and these widths
   (offsets for 64-bit targets). */
#if defined(__cplusplus)
#define OPPB_OFFSET_IS(type, member, at) static_assert(offsetof(type, member) == (at), #type "." #member)
#else
#define OPPB_OFFSET_IS(type, member, at) _Static_assert(offsetof(type, member) == (at), #type "." #member)
#endif
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
OPPB_OFFSET_IS(oppb_io, opaque, 0);
OPPB_OFFSET_IS(oppb_io, read, 8);
OPPB_OFFSET_IS(oppb_io, seek, 16);
OPPB_OFFSET_IS(oppb_io, size, 24);
OPPB_OFFSET_IS(oppb_io, interrupt, 32);
OPPB_OFFSET_IS(oppb_io, reserved, 40);
OPPB_OFFSET_IS(oppb_sample, stream, 0);
OPPB_OFFSET_IS(oppb_sample, pts, 8);
OPPB_OFFSET_IS(oppb_sample, duration, 16);
OPPB_OFFSET_IS(oppb_sample, key, 24);
OPPB_OFFSET_IS(oppb_sample, discard, 28);
OPPB_OFFSET_IS(oppb_sample, data, 32);
OPPB_OFFSET_IS(oppb_sample, size, 40);
OPPB_OFFSET_IS(oppb_sample, compressed, 48);
OPPB_OFFSET_IS(oppb_sample, width, 52);
OPPB_OFFSET_IS(oppb_sample, height, 56);
OPPB_OFFSET_IS(oppb_sample, pixel_format, 60);
OPPB_OFFSET_IS(oppb_sample, line_sizes, 64);
OPPB_OFFSET_IS(oppb_sample, planes, 80);
OPPB_OFFSET_IS(oppb_sample, plane_count, 112);
OPPB_OFFSET_IS(oppb_sample, sample_rate, 116);
OPPB_OFFSET_IS(oppb_sample, channels, 120);
OPPB_OFFSET_IS(oppb_sample, sample_format, 124);
OPPB_OFFSET_IS(oppb_sample, sample_count, 128);
OPPB_OFFSET_IS(oppb_sample, texture, 136);
OPPB_OFFSET_IS(oppb_sample, texture_index, 144);
OPPB_OFFSET_IS(oppb_sample, ready_query, 152);
OPPB_OFFSET_IS(oppb_cue, stream, 0);
OPPB_OFFSET_IS(oppb_cue, kind, 4);
OPPB_OFFSET_IS(oppb_cue, start, 8);
OPPB_OFFSET_IS(oppb_cue, duration, 16);
OPPB_OFFSET_IS(oppb_cue, width, 24);
OPPB_OFFSET_IS(oppb_cue, height, 28);
OPPB_OFFSET_IS(oppb_cue, colours, 32);
OPPB_OFFSET_IS(oppb_cue, data, 40);
OPPB_OFFSET_IS(oppb_cue, size, 48);
OPPB_OFFSET_IS(oppb_cue, palette, 56);
OPPB_OFFSET_IS(oppb_cue, palette_size, 64);
OPPB_OFFSET_IS(oppb_cue, text, 72);
OPPB_OFFSET_IS(oppb_cue, ass, 80);
#endif
#undef OPPB_OFFSET_IS

/* The configuration record, in the groups of the configuration document. */
typedef struct oppb_cfg {
    /* video */
    int32_t decoder_mode;  /* 0 auto, 1 hardware, 2 software, 3 disabled */
    int32_t hdr_support;   /* 0, 1 always, 2 none */
    int32_t system_decoder_h264_max_profile;
    int32_t system_decoder_h264_max_level;
    int32_t system_decoder_hevc_max_profile;
    int32_t system_decoder_hevc_max_level;
    int32_t output_allow_nv12;
    int32_t output_allow_iyuv;
    int32_t output_allow_10bit;
    int32_t output_allow_bgra8;
    int32_t video_max_decoder_threads;
    char video_default_stream_name[128];
    char ffmpeg_video_filters[512];
    double frames_per_second_override;
    /* audio */
    int32_t audio_max_decoder_threads;
    char audio_default_stream_name[128];
    char ffmpeg_audio_filters[512];
    int32_t downmix_to_stereo;
    int32_t system_decoder_mp3;
    int32_t system_decoder_aac;
    /* subtitles */
    int32_t auto_select_forced;
    int32_t override_styles;
    int32_t use_embedded_fonts;
    int32_t prevent_modified_duration_overlap;
    int32_t modified_duration_gap_ms;
    int64_t default_delay_ticks;
    int64_t minimum_duration_ticks;
    int32_t max_font_cache_size;
    /* general */
    int32_t auto_extend_duration;
    int32_t skip_errors;
    double max_supported_playback_rate;
    int32_t file_stream_read_size;
    int32_t read_ahead_buffer_enabled;
    int64_t read_ahead_buffer_size;
    int32_t fast_seek;
    int32_t fast_seek_clean_audio;
    int32_t fast_seek_smart_stream_switching;
    int32_t keep_metadata_on_media_source_closed;
    int32_t keep_open;
    int32_t queue_max_packets;
    int32_t queue_max_frames;
    int64_t open_timeout_ms;
    /* video, not part of the configuration document: FFmpeg's name of a
       hardware device type ("vaapi", "cuda") to decode on when no Direct3D 11
       device is given; "" for none */
    char hardware_device[32];
} oppb_cfg;

/* ---- engine instance ---- */

/* "1.0.0". */
OPPB_API const char *oppb_version(void);
/* Opens a file. `config` (may be NULL or empty) is applied over the defaults;
   a text that does not parse is ignored. With a positive open timeout, a pipe
   or device path that offers no data within it fails rather than blocking.
   NULL on failure (no handle keeps the reason). */
OPPB_API oppb_engine *oppb_open_path(const char *path, const char *config);
/* Opens a callback source; the URL given to FFmpeg is "oppb://stream". An
   open whose deadline or interrupt fires (while opening or probing) fails. */
OPPB_API oppb_engine *oppb_open_io(const oppb_io *io, const char *config);
/* As oppb_open_io with `name` (at most 511 bytes) as the URL, which guides format probing. */
OPPB_API oppb_engine *oppb_open_io_named(const oppb_io *io, const char *name, const char *config);
/* Releases media, decoders, queues and external subtitle sources; the record
   keeps answering. Closing twice is harmless. */
OPPB_API void oppb_close(oppb_engine *e);
/* 1 after oppb_close (and for NULL). */
OPPB_API int32_t oppb_is_closed(const oppb_engine *e);
/* Process-wide open counter value taken at open (first open: 1). */
OPPB_API int64_t oppb_source_epoch(const oppb_engine *e);
OPPB_API const char *oppb_last_error(const oppb_engine *e);
OPPB_API int32_t oppb_last_error_code(const oppb_engine *e);
/* The deadline budget bounding blocking work; 0 or less disables it. Both
   setters store the same value (negative stores 0) and re-arm the deadline.
   OPPB_OK or OPPB_ERR_ARG. Delivery, seeking, subtitle pulls and
   oppb_auto_extend re-arm it when it is positive. */
OPPB_API int32_t oppb_set_open_timeout_ms(oppb_engine *e, int64_t ms);
OPPB_API int32_t oppb_set_timeout_ms(oppb_engine *e, int64_t ms);
OPPB_API int64_t oppb_open_timeout_ms(const oppb_engine *e);
OPPB_API int64_t oppb_timeout_ms(const oppb_engine *e);

/* ---- configuration ---- */

/* Applies a configuration document: OPPB_OK; OPPB_ERR_ARG for a NULL handle
   or a text that does not parse (nothing changes); OPPB_ERR_NOMEM. */
OPPB_API int32_t oppb_set_config(oppb_engine *e, const char *json);
/* The effective configuration as one JSON line. */
OPPB_API const char *oppb_get_config(oppb_engine *e);

/* ---- media information ---- */

OPPB_API int64_t oppb_duration_ticks(const oppb_engine *e);
OPPB_API int64_t oppb_start_time_ticks(const oppb_engine *e);
/* Bytes delivered by the read callback (0 for paths). */
OPPB_API int64_t oppb_bytes_read(const oppb_engine *e);
/* `kind`: "video", "audio", "subtitle", or "all"/NULL (external subtitles included). */
OPPB_API int32_t oppb_stream_count(const oppb_engine *e, const char *kind);
/* Field `field` of the n-th stream of `kind`; "" when there is none. */
OPPB_API const char *oppb_stream_field(oppb_engine *e, const char *kind, int32_t n, const char *field);
OPPB_API int32_t oppb_chapter_count(const oppb_engine *e);
/* "title", "start_ticks", anything else the duration. */
OPPB_API const char *oppb_chapter_field(oppb_engine *e, int32_t index, const char *field);
OPPB_API int32_t oppb_attachment_count(const oppb_engine *e);
/* "filename", "mimetype", "bytes", anything else the stream index. */
OPPB_API const char *oppb_attachment_field(oppb_engine *e, int32_t index, const char *field);
OPPB_API int32_t oppb_av_subtitle_count(const oppb_engine *e);
/* "index" or "image_type" (1 bitmap) of the n-th subtitle stream; -1 when there is none. */
OPPB_API int32_t oppb_av_subtitle_track(const oppb_engine *e, int32_t n, const char *field);
/* Media Foundation's name for BT.2020 primaries of the first video stream, else "". */
OPPB_API const char *oppb_video_primaries(const oppb_engine *e);
/* 0 when FFmpeg can decode the codec named (decoder or codec name), 1
   otherwise, OPPB_ERR_ARG for NULL. */
OPPB_API int32_t oppb_codec_supported(const char *name);
/* Everything above as one JSON document. */
OPPB_API const char *oppb_info_json(oppb_engine *e);

/* ---- stream selection ---- */

/* Marks stream `index` of `kind` selected and stores it (a negative index
   clears the choice): the index; OPPB_ERR_ARG for an unknown kind;
   OPPB_ERR_NOT_FOUND when `index` is not a stream of that kind. */
OPPB_API int32_t oppb_select_stream(oppb_engine *e, const char *kind, int32_t index);
/* The selected index (-1 for none), or OPPB_ERR_ARG for an unknown kind. */
OPPB_API int32_t oppb_stream_selected(const oppb_engine *e, const char *kind);

/* ---- sample delivery ---- */

/* OPPB_OK sample delivered; OPPB_END nothing now (end of stream, or nothing
   within the demux budget); OPPB_ERR_CLOSED; OPPB_ERR_NOT_FOUND no such
   stream; OPPB_ERR_STATE stream not selected; OPPB_ERR_UNSUPPORTED a
   subtitle stream (see oppb_next_subtitle); OPPB_ERR_TRANSPORT deadline or
   interrupt (reading may resume); OPPB_ERR_NOMEM. */
OPPB_API int32_t oppb_next_sample(oppb_engine *e, int32_t stream, oppb_sample *out);
/* 1 decoded frames, 0 compressed packets; changing it flushes the stream.
   OPPB_OK, OPPB_ERR_NOT_FOUND, OPPB_ERR_ARG (mode), OPPB_ERR_UNSUPPORTED (subtitle). */
OPPB_API int32_t oppb_sample_mode(oppb_engine *e, int32_t stream, int32_t mode);
/* The mode, or OPPB_ERR_ARG. */
OPPB_API int32_t oppb_sample_mode_get(const oppb_engine *e, int32_t stream);
/* Drops everything queued for `stream` (negative: every stream), ending the
   life of payloads handed out for it. OPPB_OK or OPPB_ERR_NOT_FOUND. */
OPPB_API int32_t oppb_flush(oppb_engine *e, int32_t stream);
OPPB_API int32_t oppb_is_eof(const oppb_engine *e);
/* out[0] queued packets, out[1] queued frames. OPPB_OK or OPPB_ERR_ARG. */
OPPB_API int32_t oppb_buffer_status(const oppb_engine *e, int32_t stream, int32_t *out);
/* For growing sources at their end: 1 when the duration grew (reading
   resumes), else 0; OPPB_ERR_ARG for a NULL or closed handle. */
OPPB_API int32_t oppb_auto_extend(oppb_engine *e);
/* Changes only the reported frames per second of `stream`. OPPB_OK or OPPB_ERR_NOT_FOUND. */
OPPB_API int32_t oppb_set_fps_override(oppb_engine *e, int32_t stream, double fps);
/* Time of the last seek landing or the last delivered video frame or packet. */
OPPB_API int64_t oppb_position_ticks(const oppb_engine *e);

/* ---- seeking ---- */

/* Moves to the key frame nearest `target` (ticks from the stream start) and
   flushes every stream; *landed (may be NULL) gets `target`. Seeking to the
   current position when nothing was read since the last seek does nothing.
   OPPB_OK; OPPB_ERR_CLOSED; OPPB_ERR_STATE no selected video or audio stream;
   OPPB_ERR_SEEK the source cannot seek (nothing was flushed). */
OPPB_API int32_t oppb_seek(oppb_engine *e, int64_t target, int64_t *landed);
/* As oppb_seek, but a forward seek lands at least a fifth of the way from the
   position to `target`, and *landed gets the time of the first packet of the
   reference stream there. With fast_seek off it is oppb_seek. Same results. */
OPPB_API int32_t oppb_seek_fast(oppb_engine *e, int64_t target, int64_t *landed);

/* ---- subtitles ---- */

/* The next cue of subtitle stream `stream`, or of the primary and then the
   second selection for a negative `stream`. Pulling demuxes the container and
   drops packets of other selected streams once their queues are full; play
   from one handle and pull cues from another. OPPB_OK cue delivered; OPPB_END
   nothing more; OPPB_ERR_CLOSED; OPPB_ERR_NOT_FOUND not a subtitle stream;
   OPPB_ERR_TRANSPORT deadline or interrupt; OPPB_ERR_NOMEM. */
OPPB_API int32_t oppb_next_subtitle(oppb_engine *e, int32_t stream, oppb_cue *out);
/* Stores `stream` as the primary (which 0) or second selection, selecting it
   when it is not negative: the index; OPPB_ERR_NOT_FOUND not a subtitle stream. */
OPPB_API int32_t oppb_set_subtitle_index(oppb_engine *e, int32_t which, int32_t stream);
/* Shifts the cues built from now on: OPPB_OK. */
OPPB_API int32_t oppb_set_subtitle_delay(oppb_engine *e, int64_t ticks);
/* The subtitle delay in ticks (0 for NULL). */
OPPB_API int64_t oppb_subtitle_delay(const oppb_engine *e);
/* Adds a subtitle file read through callbacks as a new stream and makes it the
   primary selection. `name` (may be NULL) guides format probing and becomes
   the "title" ("external" without it); `language` (up to 31 bytes) the
   "language". The callbacks run on the threads of later subtitle pulls and
   seeks, until close. The new stream index; OPPB_ERR_CLOSED;
   OPPB_ERR_CONTAINER not a subtitle source (or beyond 64 MiB);
   OPPB_ERR_NOMEM (also for a handle with 64 streams). */
OPPB_API int32_t oppb_add_external_subtitle_io(oppb_engine *e, const oppb_io *io, const char *name,
                                               const char *language);
/* As above for a file, which stays open until close: the new stream index;
   OPPB_ERR_NOT_FOUND when the file cannot be opened; the codes above. */
OPPB_API int32_t oppb_add_external_subtitle(oppb_engine *e, const char *path, const char *language);

/* ---- hardware decoding ---- */

/* Hands over the renderer's Direct3D 11 device (NULL removes it) and its
   immediate context (may be NULL: surfaces then carry no ready query).
   Releases what the previous device built; eligible video streams are set up
   again on the hardware path, or stay in software with hw_accel
   "not_available". The pointers are borrowed until replaced or close.
   OPPB_OK or OPPB_ERR_ARG. */
OPPB_API int32_t oppb_set_d3d11_device(oppb_engine *e, void *device, void *context);

/* ---- tools ---- */

/* Seeks (plainly when `exact`, else fast; the position moves with it) and
   decodes up to the frame showing `target`, at the decoder's own size, as
   BGRA: *pixels holds height x *stride bytes, rows top to bottom, released by
   the caller with free(). OPPB_OK; OPPB_END no frame there; OPPB_ERR_CLOSED;
   OPPB_ERR_STATE no video stream; the seek's codes; OPPB_ERR_NOMEM. Queued
   frames of the video stream are dropped. */
OPPB_API int32_t oppb_grab_frame(oppb_engine *e, int64_t target, int32_t exact, int32_t *width, int32_t *height,
                                 int32_t *stride, uint8_t **pixels);
/* As oppb_grab_frame, written as BMP for a ".bmp"/".BMP" path, else PNG. The
   grab's codes; OPPB_ERR_NOT_FOUND the file cannot be created; OPPB_ERR_IO. */
OPPB_API int32_t oppb_grab_frame_to_file(oppb_engine *e, int64_t target, int32_t exact, const char *path);
/* Writes the MD5 of every remaining frame of video stream `stream` in the
   framemd5 text form through `callback` (text valid during the call), in
   `pixel_format` when named. OPPB_OK; OPPB_ERR_ARG not a video stream or an
   unknown format; OPPB_ERR_NOT_FOUND no such stream; OPPB_ERR_STATE stream
   not selected; OPPB_ERR_CLOSED; OPPB_ERR_NOMEM. */
OPPB_API int32_t oppb_framemd5(oppb_engine *e, int32_t stream, const char *pixel_format,
                               void (*callback)(void *user, const char *text, size_t length), void *user);
/* Writes the best video stream of `video_source` and the best audio stream of
   `audio_source` into `output` (format from its name, or `format`). OPPB_OK;
   OPPB_ERR_ARG; OPPB_ERR_CONTAINER a source or the output format is unusable;
   OPPB_ERR_NOT_FOUND a source lacks its stream; OPPB_ERR_IO writing failed
   (no partial file is left); OPPB_ERR_NOMEM. */
OPPB_API int32_t oppb_combine(const char *audio_source, const char *video_source, const char *output,
                              const char *format);
/* FFmpeg filter graphs applied to decoded frames after their conversion, from
   the next decoded frame on; NULL or "" removes the graph. A text that does not
   build leaves frames unfiltered. OPPB_OK, OPPB_ERR_ARG or OPPB_ERR_NOMEM. */
OPPB_API int32_t oppb_set_video_filter(oppb_engine *e, const char *graph);
OPPB_API int32_t oppb_set_audio_filter(oppb_engine *e, const char *graph);

#ifdef __cplusplus
}
#endif

#endif
