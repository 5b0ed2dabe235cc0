// Hardware decoding hookup through a stand-in for the platform's device:
// device present or absent, eligibility, "not available" reporting, the
// surface records with their ready queries, and references kept balanced.
#include <map>

#include "oppb_hw.h"
#include "oppb_test_util.h"

namespace {

// Counts what the engine does with the caller's objects.
struct StandIn {
    static inline std::map<void *, int> refs;  // added minus released, per object
    static inline int queries_created = 0, queries_released = 0, ends = 0, wraps = 0;
    static inline void *last_ended = nullptr;

    static void add_ref(void *o) { refs[o]++; }
    static void release(void *o) {
        if (refs.count(o)) refs[o]--;
        else queries_released++;
    }
    static void *create_query(void *) { return reinterpret_cast<void *>(uintptr_t(0x1000 + 16 * ++queries_created)); }
    static void end_query(void *, void *q) {
        ends++;
        last_ended = q;
    }
    static int wrap(AVBufferRef **, void *device, void *context) {
        wraps++;
        // This platform's FFmpeg has no Direct3D 11 device type to wrap into.
        (void)device, (void)context;
        return AVERROR(ENOSYS);
    }
    static constexpr oppb_hw_ops OPS = {AV_HWDEVICE_TYPE_D3D11VA, add_ref, release, create_query, end_query, wrap};
};

class Hardware : public ::testing::Test {
protected:
    void SetUp() override {
        StandIn::refs.clear();
        StandIn::queries_created = StandIn::queries_released = StandIn::ends = StandIn::wraps = 0;
        hw_ops_use(&StandIn::OPS);
    }
    void TearDown() override { hw_ops_use(nullptr); }
    int device_token = 0, context_token = 0;
    void *device() { return &device_token; }
    void *context() { return &context_token; }
};

}  // namespace

TEST_F(Hardware, WithoutAUsableDeviceStreamsDecodeInSoftware) {
    struct Case {
        const char *name, *config;
        bool give_device;
        const char *hw_accel;
        int wraps;
    };
    const Case cases[] = {
        {"h264_movtext.mp4", nullptr, false, "unknown", 0},
        {"h264_movtext.mp4", nullptr, true, "not_available", 1},
        {"h264_high10.mkv", nullptr, true, "unknown", 0},  // High 10 is beyond the hardware limits
        {"h264_movtext.mp4", R"({"video":{"decoder_mode":"software"}})", true, "unknown", 0},
        {"h264_movtext.mp4", R"({"video":{"hardware_device":"vaapi"}})", false, "not_available", 0},
        {"h264_movtext.mp4", R"({"video":{"hardware_device":"no-such-type"}})", false, "not_available", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + (c.config ? c.config : "") + (c.give_device ? " device" : ""));
        SetUp();
        Handle e = open_media(c.name, c.config);
        ASSERT_TRUE(e);
        if (c.give_device) {
            ASSERT_EQ(oppb_set_d3d11_device(e.get(), device(), context()), OPPB_OK);
        }
        EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "hw_accel"), c.hw_accel);
        EXPECT_STREQ(oppb_stream_field(e.get(), "video", 0, "decoder"), "ffmpeg_software");
        EXPECT_EQ(StandIn::wraps, c.wraps);
        EXPECT_EQ(pull_all(e.get(), oppb_stream_selected(e.get(), "video")),
                  probe_int(media(c.name), "v:0", "stream=nb_read_frames -count_frames"));
        e.reset();
        for (const auto &[object, count] : StandIn::refs) EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(oppb_set_d3d11_device(nullptr, nullptr, nullptr), OPPB_ERR_ARG);
}

// A decoded surface is described by its texture and slice; the slice's event
// query is ended and handed out when the handle has an immediate context.
TEST_F(Hardware, SurfacesCarryTheirSliceAndReadyQuery) {
    Handle e = open_media("h264_movtext.mp4");
    ASSERT_TRUE(e);
    ASSERT_EQ(oppb_set_d3d11_device(e.get(), device(), context()), OPPB_OK);
    e->hw.pool = 1;  // as after a decoder attachment
    AVFrame *f = av_frame_alloc();
    f->format = AV_PIX_FMT_D3D11;
    f->width = 320;
    f->height = 180;
    int texture = 0;
    f->data[0] = reinterpret_cast<uint8_t *>(&texture);
    f->data[1] = reinterpret_cast<uint8_t *>(intptr_t(7));
    oppb_sample s{};
    hw_describe_surface(e.get(), f, &s);
    EXPECT_EQ(s.pixel_format, -1);
    EXPECT_EQ(s.width, 320);
    EXPECT_EQ(s.texture, &texture);
    EXPECT_EQ(s.texture_index, 7);
    EXPECT_EQ(s.data, nullptr);
    EXPECT_EQ(s.plane_count, 0);
    EXPECT_EQ(e->hw.query_count, 12);
    EXPECT_EQ(StandIn::queries_created, 12);
    EXPECT_EQ(s.ready_query, e->hw.queries[7]);
    EXPECT_EQ(StandIn::last_ended, s.ready_query);
    // A lower slice reuses the pool.
    f->data[1] = reinterpret_cast<uint8_t *>(intptr_t(3));
    s = {};
    hw_describe_surface(e.get(), f, &s);
    EXPECT_EQ(StandIn::queries_created, 12);
    EXPECT_EQ(s.ready_query, e->hw.queries[3]);
    EXPECT_EQ(StandIn::ends, 2);
    // Removing the device releases every query.
    ASSERT_EQ(oppb_set_d3d11_device(e.get(), nullptr, nullptr), OPPB_OK);
    EXPECT_EQ(StandIn::queries_released, 12);
    EXPECT_EQ(e->hw.query_count, 0);
    // Without an immediate context there is no ready query.
    ASSERT_EQ(oppb_set_d3d11_device(e.get(), device(), nullptr), OPPB_OK);
    e->hw.pool = 1;
    s = {};
    hw_describe_surface(e.get(), f, &s);
    EXPECT_EQ(s.texture_index, 3);
    EXPECT_EQ(s.ready_query, nullptr);
    av_frame_free(&f);
}
