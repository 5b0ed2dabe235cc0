// Opening from paths and callback sources, the deadline and the interrupt,
// closing, error texts, and the release of everything a failed open built.
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "oppb_test_util.h"

TEST(Open, NullHandleAnswersNeutrally) {
    EXPECT_STREQ(oppb_version(), "1.0.0");
    EXPECT_EQ(oppb_is_closed(nullptr), 1);
    EXPECT_EQ(oppb_source_epoch(nullptr), 0);
    EXPECT_STREQ(oppb_last_error(nullptr), "no engine");
    EXPECT_EQ(oppb_last_error_code(nullptr), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_set_timeout_ms(nullptr, 5), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_set_open_timeout_ms(nullptr, 5), OPPB_ERR_ARG);
    EXPECT_EQ(oppb_timeout_ms(nullptr), 0);
    EXPECT_EQ(oppb_is_eof(nullptr), 1);
    oppb_close(nullptr);
}

TEST(Open, EveryFixtureOpensAndTheOthersFail) {
    for (const char *name : {"aac_cover.m4a", "aac_only.m4a", "avs2_aac.ts", "avs2_undecodable.avs2", "h264_aac.ts",
                             "h264_aac_2audio.mp4", "h264_high10.mkv", "h264_movtext.mp4", "h264_odd_318x178.mp4",
                             "hevc_main10_hdr10.mp4", "hevc_main10_hlg.mkv", "mjpeg_pcm.avi", "mkv_chapters_subs.mkv",
                             "one_chapter.mkv", "pgs_subs.mkv", "start_offset_chapters.mkv"}) {
        SCOPED_TRACE(name);
        Handle e = open_media(name);
        ASSERT_TRUE(e);
        EXPECT_EQ(oppb_stream_count(e.get(), "all"), probe_int(media(name), "", "format=nb_streams"));
        EXPECT_EQ(oppb_last_error_code(e.get()), 0);
        EXPECT_STREQ(oppb_last_error(e.get()), "");
        EXPECT_EQ(oppb_is_closed(e.get()), 0);
    }
    EXPECT_FALSE(open_media("not_media.mkv"));
    EXPECT_FALSE(open_media("no_such_file.mp4"));
    EXPECT_FALSE(oppb_open_path(nullptr, nullptr));
    oppb_io no_read{};
    EXPECT_FALSE(oppb_open_io(&no_read, nullptr));
    EXPECT_FALSE(oppb_open_io(nullptr, nullptr));
}

TEST(Open, EpochsCountOpens) {
    Handle a = open_media("aac_only.m4a"), b = open_media("aac_only.m4a");
    ASSERT_TRUE(a && b);
    EXPECT_GE(oppb_source_epoch(a.get()), 1);
    EXPECT_EQ(oppb_source_epoch(b.get()), oppb_source_epoch(a.get()) + 1);
}

TEST(Open, TimeoutSetters) {
    Handle e = open_media("aac_only.m4a", R"({"general":{"open_timeout_ms":2500}})");
    ASSERT_TRUE(e);
    EXPECT_EQ(oppb_open_timeout_ms(e.get()), 2500);
    EXPECT_EQ(oppb_set_timeout_ms(e.get(), 40), 0);
    EXPECT_EQ(oppb_open_timeout_ms(e.get()), 40);
    EXPECT_EQ(oppb_set_open_timeout_ms(e.get(), -5), 0);
    EXPECT_EQ(oppb_timeout_ms(e.get()), 0);
}

TEST(Open, ClosedHandleKeepsAnswering) {
    Handle e = open_media("h264_movtext.mp4");
    ASSERT_TRUE(e);
    const int64_t epoch = oppb_source_epoch(e.get());
    oppb_close(e.get());
    oppb_sample s;
    EXPECT_EQ(oppb_next_sample(e.get(), 0, &s), OPPB_ERR_CLOSED);
    EXPECT_EQ(oppb_is_closed(e.get()), 1);
    EXPECT_EQ(oppb_stream_count(e.get(), nullptr), 0);
    EXPECT_EQ(oppb_source_epoch(e.get()), epoch);
    EXPECT_STREQ(oppb_stream_field(e.get(), nullptr, 0, "codec"), "");
    oppb_close(e.get());
    json_doc *d = json_read(oppb_info_json(e.get()), strlen(oppb_info_json(e.get())), 0, nullptr, nullptr);
    EXPECT_TRUE(d);
    json_doc_free(d);
}

TEST(Open, CallbackSourceMatchesThePath) {
    for (bool seekable : {true, false}) {
        SCOPED_TRACE(seekable ? "seekable" : "stream");
        MemSource src;
        src.bytes = read_file(media("h264_aac.ts"));
        src.max_read = 700;  // short reads are fine
        oppb_io io = src.io(seekable);
        Handle e(oppb_open_io(&io, nullptr));
        ASSERT_TRUE(e);
        Handle path = open_media("h264_aac.ts");
        EXPECT_EQ(oppb_stream_count(e.get(), nullptr), oppb_stream_count(path.get(), nullptr));
        if (seekable) {
            EXPECT_EQ(oppb_duration_ticks(e.get()), oppb_duration_ticks(path.get()));
        }
        // The read callback's 0 at the end of the data ends the streams.
        const int video = oppb_stream_selected(e.get(), "video");
        EXPECT_EQ(pull_all(e.get(), video), probe_int(media("h264_aac.ts"), "v:0", "stream=nb_read_frames -count_frames"));
        EXPECT_EQ(oppb_is_eof(e.get()), 1);
        EXPECT_EQ(oppb_bytes_read(path.get()), 0);
        EXPECT_GT(oppb_bytes_read(e.get()), 0);
        EXPECT_LE(oppb_bytes_read(e.get()), int64_t(src.bytes.size()) * (seekable ? 4 : 1));
    }
}

TEST(Open, NamedSourceGuidesProbing) {
    // An MPEG-TS file fed without a name or with one: both open; a 600-byte name is cut, not refused.
    MemSource src;
    src.bytes = read_file(media("h264_aac.ts"));
    oppb_io io = src.io();
    Handle named(oppb_open_io_named(&io, "clip.ts", nullptr));
    ASSERT_TRUE(named);
    EXPECT_NE(std::string(oppb_info_json(named.get())).find("\"format_name\":\"mpegts\""), std::string::npos);
    src.pos = 0;
    Handle long_name(oppb_open_io_named(&io, std::string(600, 'x').c_str(), nullptr));
    EXPECT_TRUE(long_name);
}

TEST(Open, SlowSourceHitsTheDeadlineAndResumes) {
    MemSource src;
    src.bytes = read_file(media("h264_aac_2audio.mp4"));
    src.max_read = 1024;
    oppb_io io = src.io();
    Handle e(oppb_open_io(&io, R"({"general":{"file_stream_read_size":1024}})"));
    ASSERT_TRUE(e);
    const int video = oppb_stream_selected(e.get(), "video");
    const long long frames = probe_int(media("h264_aac_2audio.mp4"), "v:0", "stream=nb_frames");
    src.delay_us = 3000;
    oppb_set_timeout_ms(e.get(), 1);
    oppb_sample s;
    int r = OPPB_OK, delivered = 0;
    while ((r = oppb_next_sample(e.get(), video, &s)) == OPPB_OK) delivered++;
    EXPECT_EQ(r, OPPB_ERR_TRANSPORT);
    EXPECT_STREQ(oppb_last_error(e.get()), "operation deadline exceeded");
    EXPECT_EQ(oppb_is_eof(e.get()), 0);
    // A fresh budget lets reading go on to the real end.
    src.delay_us = 0;
    oppb_set_timeout_ms(e.get(), 0);
    const int rest = pull_all(e.get(), video);
    ASSERT_GE(rest, 1);
    EXPECT_LE(delivered + rest, frames);
    EXPECT_GE(delivered + rest, frames - 2);  // a packet cut by the deadline may be lost
    EXPECT_EQ(oppb_is_eof(e.get()), 1);
}

TEST(Open, DeadlineAndInterruptDuringOpen) {
    MemSource slow;
    slow.bytes = read_file(media("h264_aac.ts"));
    slow.max_read = 512;
    slow.delay_us = 2000;
    oppb_io io = slow.io();
    EXPECT_FALSE(oppb_open_io(&io, R"({"general":{"open_timeout_ms":5}})"));
    MemSource stopped;
    stopped.bytes = read_file(media("h264_aac.ts"));
    stopped.interrupted = true;
    io = stopped.io();
    EXPECT_FALSE(oppb_open_io(&io, nullptr));
    EXPECT_EQ(stopped.reads, 0);
}

TEST(Open, InterruptAbandonsAReadUntilCleared) {
    MemSource src;
    src.bytes = read_file(media("mkv_chapters_subs.mkv"));
    oppb_io io = src.io();
    Handle e(oppb_open_io(&io, R"({"general":{"file_stream_read_size":1024}})"));
    ASSERT_TRUE(e);
    const int video = oppb_stream_selected(e.get(), "video");
    oppb_sample s;
    ASSERT_EQ(oppb_next_sample(e.get(), video, &s), OPPB_OK);
    src.interrupted = true;
    int r;
    while ((r = oppb_next_sample(e.get(), video, &s)) == OPPB_OK) {
    }
    EXPECT_EQ(r, OPPB_ERR_TRANSPORT);
    EXPECT_STREQ(oppb_last_error(e.get()), "operation interrupted");
    src.interrupted = false;
    EXPECT_GT(pull_all(e.get(), video), 0);
    EXPECT_EQ(oppb_is_eof(e.get()), 1);
}

// Every allocation of an open fails in turn: each open returns NULL and the
// sanitizer build proves that nothing it built is left behind.
TEST(Open, FailedOpensReleaseEverything) {
    const std::string bytes = read_file(media("mkv_chapters_subs.mkv"));
    for (bool callbacks : {false, true}) {
        int failures = 0;
        for (long n = 1;; n++) {
            SCOPED_TRACE(n);
            MemSource src;
            src.bytes = bytes;
            oppb_io io = src.io();
            xalloc_fail_at(n);
            Handle e(callbacks ? oppb_open_io(&io, R"({"general":{}})")
                               : oppb_open_path(media("mkv_chapters_subs.mkv").c_str(), R"({"general":{}})"));
            const bool hit = xalloc_calls() >= n;
            xalloc_fail_at(0);
            if (!hit) {
                EXPECT_TRUE(e);
                break;
            }
            EXPECT_FALSE(e);
            failures++;
        }
        EXPECT_GE(failures, 5);
    }
}

TEST(Open, ExhaustedMemoryWhileDeliveringIsReported) {
    Handle e = open_media("h264_movtext.mp4");
    ASSERT_TRUE(e);
    oppb_sample s;
    int failures = 0;
    for (long n = 1; n < 40; n++) {
        xalloc_fail_at(n);
        const int r = oppb_next_sample(e.get(), 0, &s);
        const bool hit = xalloc_calls() >= n;
        xalloc_fail_at(0);
        if (!hit) continue;
        if (r == OPPB_ERR_NOMEM) {
            failures++;
            EXPECT_STREQ(oppb_last_error(e.get()), "out of memory");
        }
    }
    EXPECT_GE(failures, 1);
    EXPECT_GT(pull_all(e.get(), 0), 0);
}

TEST(Open, CallbackSourceOpensNoOtherFiles) {
    // A playlist fed through the callbacks names a file on disk: the engine
    // must not read it, the caller's bytes are all the source there is.
    MemSource src;
    src.bytes = "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\nfile://" + media("h264_aac.ts") +
                "\n#EXT-X-ENDLIST\n";
    oppb_io io = src.io();
    Handle e(oppb_open_io_named(&io, "list.m3u8", nullptr));
    if (e) {
        EXPECT_EQ(oppb_stream_count(e.get(), nullptr), 0);
    }
}

// A deadline that fires while the streams are probed leaves a reader that
// has stopped for good: the open fails instead of returning a handle that
// never delivers.
TEST(Open, DeadlineWhileProbingFailsTheOpen) {
    for (const char *name : {"h264_aac.ts", "mkv_chapters_subs.mkv"}) {
        SCOPED_TRACE(name);
        MemSource src;
        src.bytes = read_file(media(name));
        src.max_read = 1024;
        src.slow_after = 4096;  // a quick header, then a slow source
        src.delay_us = 20000;
        oppb_io io = src.io();
        Handle e(oppb_open_io(&io, R"({"general":{"open_timeout_ms":50,"file_stream_read_size":1024}})"));
        EXPECT_FALSE(e);
        // Without the deadline the same source opens and plays.
        src.pos = 0;
        src.delay_us = 200;
        Handle patient(oppb_open_io(&io, R"({"general":{"file_stream_read_size":1024}})"));
        ASSERT_TRUE(patient);
        EXPECT_GT(pull_all(patient.get(), oppb_stream_selected(patient.get(), "video")), 40);
    }
}

// The kernel's open of a FIFO waits for a writer; with an open timeout the
// engine does not wait past it, and a FIFO that does get a writer plays.
TEST(Open, FifoPathsKeepToTheOpenTimeout) {
    const std::string dir = (std::filesystem::temp_directory_path() / "oppb_fifo_XXXXXX").string();
    std::string made = dir;
    ASSERT_TRUE(mkdtemp(made.data()));
    const std::string fifo = made + "/play.ts";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Unblocks a broken engine so the test fails instead of hanging.
    std::atomic<bool> returned{false};
    std::thread rescue([&] {
        for (int i = 0; i < 300 && !returned; i++) usleep(10000);
        if (returned) return;
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    });
    const auto start = std::chrono::steady_clock::now();
    Handle none(oppb_open_path(fifo.c_str(), R"({"general":{"open_timeout_ms":200}})"));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    returned = true;
    rescue.join();
    EXPECT_FALSE(none);
    EXPECT_LT(waited, 2.0);

    const std::string bytes = read_file(media("h264_aac.ts"));
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        for (size_t at = 0; fd >= 0 && at < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
            if (n <= 0) break;
            at += size_t(n);
        }
        if (fd >= 0) close(fd);
    });
    Handle e(oppb_open_path(fifo.c_str(), R"({"general":{"open_timeout_ms":5000}})"));
    if (!e) {  // unblock the writer
        const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        writer.join();
        close(fd);
        FAIL() << "the FIFO did not open";
    }
    EXPECT_EQ(pull_all(e.get(), oppb_stream_selected(e.get(), "video")),
              probe_int(media("h264_aac.ts"), "v:0", "stream=nb_read_frames -count_frames"));
    e.reset();
    writer.join();
    std::filesystem::remove_all(made);
}

// Handles on different threads allocate at the same time; the test hook's
// counter sees every call.
TEST(Open, AllocationCounterCountsEveryThread) {
    xalloc_fail_at(0);
    auto churn = [] {
        for (int i = 0; i < 100000; i++) xfree(xmalloc(16));
    };
    std::thread a(churn), b(churn);
    a.join();
    b.join();
    EXPECT_EQ(xalloc_calls(), 200000);
}
