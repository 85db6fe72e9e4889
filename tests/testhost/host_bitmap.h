// Test doubles for the bitmap map and the image filter: real host locks,
// frame-buffer writes, shader functions that zo_call_shader_x runs by tag,
// and host images that carry their own pyramid.
#pragma once

#include <korshaders/host.h>

#include <map>
#include <mutex>
#include <vector>

// A shader run by zo_call_shader_x for its tag: (result, state, params, arg).
typedef zoBoolean (*TestShaderFunction)(void *result, RenderState *state, void *params, void *arg);

struct TestShaderEntry {
    TestShaderFunction function = nullptr;
    void *params = nullptr;
};

struct TestFbPut {
    int buffer;
    int32_t word;  // the first word of the value
    int ray_type;
    Color color;     // the value, for buffers declared in `color_buffers`
    Vector3 vector;  // the value, for buffers declared in `vector_buffers`
};

struct TestBitmapHost {
    std::mutex mutex;
    std::map<Tag, TestShaderEntry> functions;  // zo_call_shader_x runs these first
    std::vector<TestFbPut> fb_puts;            // zo_fb_put
    std::vector<int> color_buffers;            // buffers that hold a Color
    std::vector<int> vector_buffers;           // buffers that hold a Vector3
    long lock_inits = 0, lock_deletes = 0;     // zo_init_lock, zo_delete_lock
    long contended = 0;                        // zo_lock calls that had to wait
    std::map<const zoImage *, std::vector<zoImage *>> pyramids;  // zo_img_pyramid_get_level

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        functions.clear();
        fb_puts.clear();
        color_buffers.clear();
        vector_buffers.clear();
        lock_inits = lock_deletes = contended = 0;
        pyramids.clear();
    }
};

extern "C" TestBitmapHost *testhost_bitmap();

// Used by the lock and shader-call doubles of host_support.cpp.
void testhost_lock_acquire(zoLock lock);
void testhost_lock_release(zoLock lock);
const TestShaderEntry *testhost_shader_function(Tag tag);
