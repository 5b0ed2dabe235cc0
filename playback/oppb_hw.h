// The platform operations of the hardware decoding path, behind one table:
// taking references on the caller's device and immediate context, event
// queries, and wrapping the device into FFmpeg's device context. Direct3D 11
// provides them on Windows; tests install a stand-in.
#pragma once

extern "C" {
#include <libavutil/hwcontext.h>
}

struct oppb_hw_ops {
    AVHWDeviceType type;          // FFmpeg's device type of the caller's device
    void (*add_ref)(void *object);
    void (*release)(void *object);  // device, context or query
    void *(*create_query)(void *device);  // an event query, or NULL
    void (*end_query)(void *context, void *query);
    // Allocates FFmpeg's device context, puts the caller's device (and
    // context) in, then initialises it: in that order, so decoder and
    // textures share the caller's device. 0 or a negative FFmpeg error.
    int (*wrap)(AVBufferRef **ref, void *device, void *context);
};

// The operations in use: the platform's, or NULL where it has none.
const oppb_hw_ops *hw_ops();
// Test hook: replaces the operations (NULL restores the platform's).
void hw_ops_use(const oppb_hw_ops *ops);
