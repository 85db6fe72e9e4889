// Test doubles for the bitmap map and the image filter (see host_bitmap.h).
#include "host_bitmap.h"

#define HOST extern "C" __attribute__((visibility("default")))

// The lock word points at one of these.
struct zoLockImpl {
    std::mutex mutex;
};

HOST TestBitmapHost *testhost_bitmap() {
    static TestBitmapHost host;
    return &host;
}

void testhost_lock_acquire(zoLock lock) {
    if (!lock) return;
    if (!lock->mutex.try_lock()) {
        {
            std::lock_guard<std::mutex> guard(testhost_bitmap()->mutex);
            ++testhost_bitmap()->contended;
        }
        lock->mutex.lock();
    }
}

void testhost_lock_release(zoLock lock) {
    if (lock) lock->mutex.unlock();
}

const TestShaderEntry *testhost_shader_function(Tag tag) {
    TestBitmapHost &h = *testhost_bitmap();
    std::lock_guard<std::mutex> guard(h.mutex);
    auto it = h.functions.find(tag);
    return it == h.functions.end() ? nullptr : &it->second;
}

HOST void zo_init_lock(zoLock *lock) {
    if (!lock) return;
    *lock = new zoLockImpl;
    std::lock_guard<std::mutex> guard(testhost_bitmap()->mutex);
    ++testhost_bitmap()->lock_inits;
}

HOST void zo_delete_lock(zoLock *lock) {
    if (!lock || !*lock) return;
    delete *lock;
    *lock = nullptr;
    std::lock_guard<std::mutex> guard(testhost_bitmap()->mutex);
    ++testhost_bitmap()->lock_deletes;
}

HOST zoBoolean zo_fb_put(RenderState *state, int buffer, const void *value) {
    TestBitmapHost &h = *testhost_bitmap();
    std::lock_guard<std::mutex> guard(h.mutex);
    TestFbPut put{buffer,
                  value ? *static_cast<const int32_t *>(value) : 0,
                  state ? state->type : -1,
                  {0, 0, 0, 0},
                  {0, 0, 0}};
    for (int b : h.color_buffers)
        if (b == buffer && value) put.color = *static_cast<const Color *>(value);
    for (int b : h.vector_buffers)
        if (b == buffer && value) put.vector = *static_cast<const Vector3 *>(value);
    h.fb_puts.push_back(put);
    return 1;
}

HOST zoImage *zo_img_pyramid_get_level(zoImage *image, int level) {
    TestBitmapHost &h = *testhost_bitmap();
    std::lock_guard<std::mutex> guard(h.mutex);
    auto it = h.pyramids.find(image);
    if (it == h.pyramids.end() || level < 0 || level >= static_cast<int>(it->second.size()))
        return nullptr;
    return it->second[level];
}
