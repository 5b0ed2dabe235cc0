// Reading: the shims that put a caller's callbacks (or an external subtitle
// source) under FFmpeg's reader, the non-blocking open of pipes and devices,
// and the second reader that measures a growing source.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "oppb_internal.h"

// The side flag: every refusal (deadline or caller's interrupt) sets
// e->io_refused, so the code around a blocking FFmpeg call can tell an
// abandoned operation from an end or a failure of the source. Whoever makes
// such a call clears the flag first and checks it afterwards.
static int refuse(oppb_engine *e, int error) {
    e->io_refused = 1;
    return error;
}

// A read of 0 is the end of the data: this FFmpeg takes 0 as "nothing yet"
// and would ask again for ever.
static int read_result(int n) { return n > 0 ? n : n == 0 ? AVERROR_EOF : AVERROR(EIO); }

static int read_shim(void *opaque, uint8_t *buffer, int size) {
    oppb_engine *e = static_cast<oppb_engine *>(opaque);
    if (!e->io || !e->io->read) return AVERROR(EIO);
    if (deadline_expired(e)) return refuse(e, AVERROR(ETIMEDOUT));
    // FFmpeg polls its interrupt callback only in some loops; a blocking
    // source must be abandonable at every read.
    if (e->io->interrupt && e->io->interrupt(e->io->opaque)) return refuse(e, AVERROR_EXIT);
    const int n = e->io->read(e->io->opaque, buffer, size);
    if (n > 0) e->bytes_read += n;
    return read_result(n);
}

static int64_t seek_io(const oppb_io *io, int64_t offset, int whence) {
    if (!io) return AVERROR(EIO);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return io->size ? io->size(io->opaque) : AVERROR(ENOSYS);
    return io->seek ? io->seek(io->opaque, offset, whence) : AVERROR(ENOSYS);
}

static int64_t seek_shim(void *opaque, int64_t offset, int whence) {
    return seek_io(static_cast<const oppb_engine *>(opaque)->io, offset, whence);
}

int interrupt_shim(void *opaque) {
    oppb_engine *e = static_cast<oppb_engine *>(opaque);
    if ((e->io && e->io->interrupt && e->io->interrupt(e->io->opaque)) || deadline_expired(e)) return refuse(e, 1);
    return 0;
}

AVIOContext *io_context(oppb_engine *e) {
    const int size = e->cfg.file_stream_read_size;
    auto *buffer = static_cast<unsigned char *>(av_malloc(size_t(size)));
    if (!buffer) return nullptr;
    AVIOContext *avio = avio_alloc_context(buffer, size, 0, e, read_shim, nullptr, e->io->seek ? seek_shim : nullptr);
    if (!avio) av_free(buffer);
    return avio;
}

void io_context_free(AVIOContext **avio) {
    if (!*avio) return;
    av_freep(&(*avio)->buffer);
    avio_context_free(avio);
}

// A callback source is all the caller offers: a playlist or reference file
// inside it must not make the demuxer open other files or URLs.
static int refuse_nested_open(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **) {
    return AVERROR(EPERM);
}

void use_caller_io(AVFormatContext *format, AVIOContext *avio) {
    format->pb = avio;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->io_open = refuse_nested_open;
}

// ---- external subtitle sources ----

// The source has no deadline and no interrupt: its demuxers read text files
// whole while opening.
static int subtitle_read_shim(void *opaque, uint8_t *buffer, int size) {
    oppb_external *x = static_cast<oppb_external *>(opaque);
    if (!x->io.read) return AVERROR(EIO);
    const int n = x->io.read(x->io.opaque, buffer, size);
    if (n > 0) {
        x->bytes_read += n;
        // Text demuxers keep the whole file; a source beyond the limit is refused.
        if (x->bytes_read > EXTERNAL_MAX_BYTES) return AVERROR(EFBIG);
    }
    return read_result(n);
}

static int64_t subtitle_seek_shim(void *opaque, int64_t offset, int whence) {
    return seek_io(&static_cast<oppb_external *>(opaque)->io, offset, whence);
}

AVIOContext *subtitle_io_context(oppb_external *x, int size) {
    auto *buffer = static_cast<unsigned char *>(av_malloc(size_t(size)));
    if (!buffer) return nullptr;
    AVIOContext *avio = avio_alloc_context(buffer, size, 0, x, subtitle_read_shim, nullptr,
                                           x->io.seek ? subtitle_seek_shim : nullptr);
    if (!avio) av_free(buffer);
    return avio;
}

// ---- paths that are not regular files ----

// The kernel's open of a FIFO waits for a writer, beyond any deadline. With
// a deadline, such a path is opened without blocking and must offer data (or
// its writer's end) within the budget; FFmpeg then reads the descriptor.
// Regular files, directories and URLs are left to FFmpeg.
int open_special_path(oppb_engine *e, const char *path, char *url, size_t cap) {
    struct stat st;
    if (e->deadline.timeout_ms <= 0 || stat(path, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return 0;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        set_err(e, OPPB_ERR_CONTAINER, "cannot open %s", path);
        return OPPB_ERR_CONTAINER;
    }
    e->source_fd = fd;
    for (;;) {
        const int64_t left = e->deadline.timeout_ms - (now_ms() - e->deadline.start);
        pollfd p{fd, POLLIN, 0};
        const int r = left > 0 ? poll(&p, 1, int(left > 1000000 ? 1000000 : left)) : 0;
        if (r > 0) break;
        if (r < 0 && errno == EINTR) continue;
        set_err(e, OPPB_ERR_TRANSPORT, "operation deadline exceeded");
        return OPPB_ERR_TRANSPORT;
    }
    snprintf(url, cap, "pipe:%d", fd);
    return 1;
}

// ---- growing sources ----

int64_t probe_duration(oppb_engine *e) {
    if (e->source_fd >= 0) return 0;  // a pipe cannot be read twice
    AVFormatContext *probe = avformat_alloc_context();
    if (!probe) return 0;
    AVIOContext *avio = nullptr;
    int64_t resume = 0;
    if (e->io) {
        // The second reader shares the caller's source: it starts from the
        // beginning, and the source goes back to where the open reader left it.
        resume = e->format->pb->pos;
        if (!e->io->seek || e->io->seek(e->io->opaque, 0, SEEK_SET) < 0 || !(avio = io_context(e))) {
            avformat_free_context(probe);
            return 0;
        }
        use_caller_io(probe, avio);
    }
    probe->interrupt_callback = {interrupt_shim, e};
    int64_t duration = 0;
    if (avformat_open_input(&probe, e->url, e->format->iformat, nullptr) >= 0) {
        if (avformat_find_stream_info(probe, nullptr) >= 0 && probe->duration != AV_NOPTS_VALUE)
            duration = us_to_ticks(probe->duration);
        avformat_close_input(&probe);
    }
    if (e->io) {
        io_context_free(&avio);
        e->io->seek(e->io->opaque, resume, SEEK_SET);
    }
    return duration;
}
