// Internal records and helpers of the playback engine, shared by its modules:
// oppb_util (errors, texts, numbers, configuration), oppb_io (reading shims),
// oppb_open (opening and releasing media), oppb_core (streams, queues,
// decoding, conversions, delivery records), oppb_info, oppb_seek and
// oppb_subtitle (their exports and work), and oppb_api (the other exports).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstddef>
#include <cstdint>

#include "json.h"
#include "oppb.h"
#include "xalloc.h"

#define OPPB_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

enum { KIND_OTHER = 0, KIND_VIDEO = 1, KIND_AUDIO = 2, KIND_SUBTITLE = 3, KIND_ATTACHMENT = 4 };
enum { PATH_NONE = 0, PATH_D3D11 = 1, PATH_SOFTWARE = 2, PATH_NO_DECODER = 3, PATH_HWDEVICE = 4 };
enum { HW_NOT_TRIED = 0, HW_ACTIVE = 1, HW_UNAVAILABLE = 2 };
enum { MODE_COMPRESSED = 0, MODE_DECODED = 1 };
enum { RING_SLOTS = 16, RING_SLOT_SIZE = 4096, ERR_TEXT = 512, URL_MAX = 511 };
// Demux steps a packet pull may run without finding a packet for its stream.
enum { PULL_BUDGET = 4096 };
// Streams a handle may hold, external subtitles included.
enum { MAX_STREAMS = 64 };
// Bytes an external subtitle source may deliver: text demuxers keep all of it.
inline constexpr int64_t EXTERNAL_MAX_BYTES = int64_t(64) << 20;
// "No time yet" for the timestamp members below.
inline constexpr int64_t NO_TIME = INT64_MIN;

struct PacketQueue {
    AVPacket **items;
    int32_t count;
    int32_t cap;
};

struct FrameQueue {
    AVFrame **items;
    int32_t count;
    int32_t cap;
};

struct VideoConv {
    SwsContext *sws;
    int32_t src_format, dst_format, src_width, src_height;  // what the scaler was built for
    int32_t dst_width, dst_height;
    AVBufferPool *pool;  // picture buffers of the target format and size
    int32_t pool_size;
};

struct AudioConv {
    SwrContext *swr;
    int32_t in_format, in_rate, in_channels, out_channels;
    int32_t configured;
};

// An external subtitle source: its own demuxer over the caller's callbacks
// (or an open file). Allocated on its own so the callback copy keeps its
// address while the stream array grows.
struct oppb_external {
    oppb_io io;     // engine copy of the caller's callbacks
    FILE *file;     // the path variant's open file; NULL for callback sources
    AVFormatContext *format;
    AVIOContext *avio;
    AVPacket *packet;     // demux scratch
    int32_t inner_index;  // the chosen stream inside its own container
    int64_t bytes_read;
    char language[32];
};

struct oppb_stream {
    AVStream *stream;
    int32_t index;
    int32_t kind;
    int32_t selected;
    int32_t sample_mode;
    int32_t decode_path;
    int32_t hw_state;
    int32_t hw_eligible;  // within the configured H.264/HEVC limits for hardware decoding
    AVCodecContext *ctx;
    const AVCodec *codec;
    PacketQueue packets;
    FrameQueue frames;
    int32_t draining;  // the decoder has been sent its end-of-stream signal
    int64_t start_offset;
    int32_t eos;
    int32_t ps_sent;  // parameter sets written since the last flush (compressed H.264/HEVC)
    int32_t nal_length_size;
    int32_t bitmap_subtitle;
    int32_t raw_output;  // no conversion of decoded frames (frame checksums)
    VideoConv vconv;
    AudioConv aconv;
    int32_t fps_override_set;
    double fps_override;
    uint8_t *annexb;  // converted packet payload; only grows
    size_t annexb_cap;
    AVFrame *frame_out;    // handed out by the last delivery
    AVPacket *packet_out;  // handed out by the last delivery
    int64_t next_pts;      // expected time of the next frame (ticks); NO_TIME after a flush

    // Subtitles: the decoded subtitle behind the last cue and the cue's buffers
    // (all kept until the next cue or release).
    AVSubtitle held;
    int32_t has_held;
    uint8_t *cue_buf;
    size_t cue_cap;
    uint8_t *palette_buf;
    size_t palette_cap;
    oppb_external *external;  // NULL for the container's own streams
};

struct oppb_attachment {
    int32_t stream_index;
    char filename[256];
    char mimetype[128];
    int64_t bytes;
};

struct oppb_chapter {
    char *title;
    int64_t start;
    int64_t duration;
};

// A filter graph slot: the caller's text, and the graph built for frames of
// one shape (rebuilt when format, size, rate or layout change).
struct oppb_filter {
    char *text;
    AVFilterGraph *graph;  // NULL until the first frame, and after a failed build
    AVFilterContext *src, *sink;
    int32_t configured;
    int32_t failed;                       // the text did not build for this shape
    int32_t format, width, height, rate;  // the shape last built for; format -1 before the first
    char layout[128];
};

struct oppb_engine {
    oppb_cfg cfg;
    int32_t closed;
    int64_t epoch;  // process-wide open count taken at open; 1 for the first open

    // The source: FFmpeg's demuxer over a path or the caller's callbacks.
    AVFormatContext *format;
    AVIOContext *avio;  // callback sources only, else NULL
    oppb_io *io;        // engine copy of the caller's callbacks; NULL for paths
    char *url;          // what was opened, for the duration probe of oppb_auto_extend
    int source_fd;      // a pipe or device opened without blocking, read as "pipe:N"; -1 for none
    int64_t bytes_read;
    int32_t io_refused;  // the read shim or interrupt refused (deadline or interrupt)
    int32_t end_of_input;
    AVPacket *demux_packet;

    // Streams: the container's, in container order, then added external subtitles.
    oppb_stream *streams;
    int32_t stream_count;
    oppb_attachment *attachments;
    int32_t attachment_count;
    oppb_chapter *chapters;  // none when the container has one chapter or fewer
    int32_t chapter_count;

    // Selected stream indexes; -1 for none.
    struct {
        int32_t video, audio, subtitle, subtitle2;
    } sel;

    // Timeline, in ticks relative to the stream start.
    struct {
        int64_t position;  // last seek landing, or last delivered video frame or packet
        int64_t duration;  // 0 when unknown
        int64_t start;     // container start (absolute); 0 when unknown
        int32_t moved;     // demuxing or delivery happened since open or the last seek
        int64_t subtitle_delay;
    } time;

    // The deadline bounding blocking work: expired when timeout_ms > 0 and
    // more than timeout_ms have passed since start (monotonic milliseconds).
    struct {
        int64_t timeout_ms;  // 0: no deadline
        int64_t start;
    } deadline;

    struct {
        int32_t code;  // OPPB_OK until the first recorded failure
        char text[ERR_TEXT];
    } err;

    // Returned texts: one JSON document, and a ring of formatted values.
    struct {
        json_buf doc;
        char ring[RING_SLOTS][RING_SLOT_SIZE];
        uint32_t ring_next;
    } text;
    // Filter graphs of the decode path; NULL when none is set.
    oppb_filter *vfilter, *afilter;

    // Hardware decoding: the caller's device and immediate context (borrowed;
    // NULL for none), FFmpeg's device built on first use (NULL until then),
    // and the event queries by texture slice (entries may be NULL).
    struct {
        void *device, *context;
        AVBufferRef *device_ref;
        void **queries;
        int32_t query_count;
        int32_t pool;  // a decoder was attached: surfaces get ready queries
    } hw;
};

// ---- reading (oppb_io) ----
// FFmpeg's interrupt callback for the handle's readers: the caller's
// interrupt or the deadline; sets io_refused when it fires.
int interrupt_shim(void *opaque);
// A reader over the handle's callbacks; NULL when memory runs out.
AVIOContext *io_context(oppb_engine *e);
AVIOContext *subtitle_io_context(oppb_external *x, int size);
void io_context_free(AVIOContext **avio);
void use_caller_io(AVFormatContext *format, AVIOContext *avio);
// With a deadline, opens a pipe or device path without blocking and waits for
// data within the budget: 1 with `url` set to read it, 0 for any other path
// (FFmpeg opens it), negative after recording the failure.
int open_special_path(oppb_engine *e, const char *path, char *url, size_t cap);
// The container's duration as a second reader finds it now; 0 when unknown.
int64_t probe_duration(oppb_engine *e);

// ---- opening (oppb_open) ----
oppb_engine *open_common(const char *path, const oppb_io *io, const char *name, const char *config);
void release_media(oppb_engine *e);
const char *meta(AVDictionary *dict, const char *key);

// ---- information (oppb_info) ----
// The kind a filter text selects: 0 for every stream, -1 for an unknown filter.
int kind_filter(const char *kind);

// ---- errors and texts (oppb_util) ----
const char *err_text(int code);
// Records `code` with a formatted text, or the code's table text when fmt is NULL.
void set_err(oppb_engine *e, int code, const char *fmt, ...) OPPB_PRINTF(3, 4);
int set_oom(oppb_engine *e);  // records -5 and returns it

// ---- time ----
int64_t now_ms();
bool deadline_expired(const oppb_engine *e);
void arm_deadline(oppb_engine *e);
bool tb_valid(AVRational tb);
int64_t to_ticks(int64_t t, AVRational tb);  // 0 for an invalid time base
int64_t us_to_ticks(int64_t us);

// ---- texts and numbers, independent of the process locale ----
// Engine JSON string: escaped and quoted; NULL writes "".
void put_str(json_buf *b, const char *s);
// Fixed-point text with `decimals` places; a non-finite value counts as 0.
size_t fmt_fixed(char *out, size_t cap, double v, int decimals);
void put_fixed(json_buf *b, double v, int decimals);
void put_int(json_buf *b, int64_t v);
// The next slot of the result ring.
char *ring_slot(oppb_engine *e);
const char *ring_int(oppb_engine *e, int64_t v);
const char *ring_ratio(oppb_engine *e, int num, int den);
// Empties the handle's text buffer for a new document.
json_buf *text_begin(oppb_engine *e);

// ---- configuration ----
void cfg_defaults(oppb_cfg *c);
// Applies a JSON text to `c`: 0, -4 when it is not a JSON object, -5 when
// memory ran out (c unchanged on failure).
int cfg_parse(oppb_cfg *c, const char *text);
void cfg_write(json_buf *b, const oppb_cfg *c);

// ---- streams and decoding (oppb_core) ----
int kind_of(AVMediaType type);
int64_t start_offset_of(const oppb_engine *e, const AVStream *st);
bool hw_eligible(const oppb_cfg *cfg, AVCodecID codec, int profile, int level);
void stream_setup(oppb_engine *e, oppb_stream *s);
void stream_flush(oppb_stream *s);
void stream_drop_frames(oppb_stream *s);  // queued frames only; the decoder keeps its state
void stream_release(oppb_stream *s);
// Reads one packet and files it under its stream: 0, 1 nothing read, negative error.
int demux_step(oppb_engine *e);
// One packet or frame of stream `s` for the caller: 0 (caller owns *out), 1 nothing, negative error.
int packet_pull(oppb_engine *e, oppb_stream *s, AVPacket **out);
int frame_pull(oppb_engine *e, oppb_stream *s, AVFrame **out);
// The packet's payload in Annex B form for H.264/HEVC with MP4-style extradata;
// false when it passes unchanged.
bool annexb_convert(oppb_stream *s, const AVPacket *pkt, const uint8_t **data, size_t *size);
// Puts a packet back at the head of the stream's queue (at most `limit`
// queued); false when it was not taken (the caller still owns it).
bool packet_unpull(oppb_stream *s, AVPacket *pkt, int32_t limit);
// The next sample of `s` into `out`: 0, 1 nothing now, negative error.
int deliver_frame(oppb_engine *e, oppb_stream *s, oppb_sample *out);
int deliver_packet(oppb_engine *e, oppb_stream *s, oppb_sample *out);

// ---- hardware decoding (oppb_hw) ----
// Releases the queries and FFmpeg's device; the caller's pointers stay.
void hw_release(oppb_engine *e);
// A device is there (the caller's or a configured one) and `s` may use it.
bool hw_wanted(const oppb_engine *e, const oppb_stream *s);
// A decoder of `s` on the hardware device, or NULL (hw_state says why).
AVCodecContext *hw_open_decoder(oppb_engine *e, oppb_stream *s, int threads);
// Fills the sample record of a decoded Direct3D 11 surface.
void hw_describe_surface(oppb_engine *e, const AVFrame *f, oppb_sample *out);

// ---- filters (oppb_filter) ----
void filter_free(oppb_filter **slot);
// Passes a decoded frame (owned) through the stream's filter graph, when it
// has one, and queues what comes out with `push`: 0, or -5.
int filter_and_queue(oppb_engine *e, oppb_stream *s, AVFrame *frame, bool (*push)(oppb_stream *, AVFrame *));

// ---- tools (oppb_grab) ----
// Writes BGRA pixels as a BMP (".bmp"/".BMP") or PNG file: 0, -6 cannot
// create, -5 out of memory, -11 a write failed.
int image_write(const char *path, const uint8_t *bgra, int w, int h, int stride);

// ---- seeking (oppb_seek) ----
// Seeks to `target` ticks (the fast variant when `fast` and fast_seek are
// on), flushing every stream: 0 with *landed set, or -7/-8 after recording why.
int seek_to(oppb_engine *e, int64_t target, bool fast, int64_t *landed);

// ---- subtitles (oppb_subtitle) ----
// Releases what a subtitle stream holds beyond the common stream record.
void subtitle_release(oppb_stream *s);
// Repositions external subtitle sources to `target` ticks and clears their end.
void subtitle_seek_external(oppb_engine *e, int64_t target);
