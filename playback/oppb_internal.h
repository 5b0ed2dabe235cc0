// Internal records and helpers of the playback engine, shared by its modules:
// oppb_util (errors, texts, numbers, configuration), oppb_core (streams,
// queues, decoding, conversions) and oppb_api (the exports).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
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
enum { PATH_NONE = 0, PATH_D3D11 = 1, PATH_SOFTWARE = 2, PATH_NO_DECODER = 3 };
enum { HW_NOT_TRIED = 0, HW_ACTIVE = 1, HW_UNAVAILABLE = 2 };
enum { MODE_COMPRESSED = 0, MODE_DECODED = 1 };
enum { RING_SLOTS = 16, RING_SLOT_SIZE = 4096, ERR_TEXT = 512, URL_MAX = 511 };
// Demux steps a packet pull may run without finding a packet for its stream.
enum { PULL_BUDGET = 4096 };

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
    // Later: external subtitle source, cue buffers and the held decoded subtitle.
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

struct oppb_engine {
    AVFormatContext *format;
    AVIOContext *avio;  // callback sources only
    oppb_cfg cfg;
    oppb_stream *streams;
    int32_t stream_count;
    oppb_attachment *attachments;
    int32_t attachment_count;
    oppb_chapter *chapters;
    int32_t chapter_count;
    int32_t sel_video, sel_audio, sel_subtitle, sel_subtitle2;
    int64_t bytes_read;
    int64_t position;
    int64_t duration;
    int64_t start_time;
    int32_t end_of_input;
    int32_t closed;
    int64_t epoch;
    int32_t err_code;
    char err_text[ERR_TEXT];
    int64_t timeout_ms;
    int64_t deadline_start;
    AVPacket *demux_packet;
    int32_t io_refused;  // the read shim refused a read (deadline or interrupt)
    json_buf text;
    char ring[RING_SLOTS][RING_SLOT_SIZE];
    uint32_t ring_next;
    int64_t subtitle_delay;
    oppb_io *io;  // engine copy of the caller's callbacks
    char *url;    // what was opened, for the duration probe of oppb_auto_extend
    // Later: Direct3D 11 device, hardware device and query pool; video and audio filter slots.
};

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
void stream_release(oppb_stream *s);
// Reads one packet and files it under its stream: 0, 1 nothing read, negative error.
int demux_step(oppb_engine *e);
// One packet or frame of stream `s` for the caller: 0 (caller owns *out), 1 nothing, negative error.
int packet_pull(oppb_engine *e, oppb_stream *s, AVPacket **out);
int frame_pull(oppb_engine *e, oppb_stream *s, AVFrame **out);
// The packet's payload in Annex B form for H.264/HEVC with MP4-style extradata;
// false when it passes unchanged.
bool annexb_convert(oppb_stream *s, const AVPacket *pkt, const uint8_t **data, size_t *size);
