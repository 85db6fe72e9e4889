// A host module for the bitmap benchmark: images, real locks, one shader
// instance slot, per-thread pointers and shader calls by tag, with no
// bookkeeping on the paths a lookup takes.
#include <korshaders/host.h>

#include <cstdarg>
#include <cstdlib>
#include <mutex>

#define HOST extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kMaxThreads = 64;
constexpr int kMaxEntries = 8;

typedef zoBoolean (*ShaderFunction)(void *result, RenderState *state, void *params, void *arg);

struct Shader {
    Tag tag;
    ShaderFunction function;
    void *params;
};

struct Image {
    Tag tag;
    zoImage *image;
};

Shader shaders[kMaxEntries];
Image images[kMaxEntries];
void *user_slot = nullptr;
void *thread_slots[kMaxThreads];

const zoImage *find_image(Tag tag) {
    for (const Image &i : images)
        if (i.tag == tag) return i.image;
    return nullptr;
}

}  // namespace

struct zoLockImpl {
    std::mutex mutex;
};

// Set-up, before any lookup runs.
HOST void bitmaphost_add_shader(Tag tag, ShaderFunction function, void *params) {
    for (Shader &s : shaders)
        if (!s.tag) {
            s = Shader{tag, function, params};
            return;
        }
}

HOST void bitmaphost_add_image(Tag tag, zoImage *image) {
    for (Image &i : images)
        if (!i.tag) {
            i = Image{tag, image};
            return;
        }
}

HOST zoBoolean zo_query(int code, RenderState *state, Tag, void *result, ...) {
    const int thread =
        state && state->thread >= 0 && state->thread < kMaxThreads ? state->thread : 0;
    switch (code) {
        case ZO_Q_FUNC_USERPTR: *static_cast<void ***>(result) = &user_slot; return 1;
        case ZO_Q_FUNC_NAME: *static_cast<const char **>(result) = "bench_shader"; return 1;
        case ZO_Q_NUM_TEXTURES: *static_cast<int *>(result) = 1; return 1;
        case ZO_Q_FUNC_TLS_GET: *static_cast<void **>(result) = thread_slots[thread]; return 1;
        case ZO_Q_FUNC_TLS_SET: thread_slots[thread] = *static_cast<void **>(result); return 1;
        case ZO_Q_FUNC_TLS_GETALL: {
            va_list args;
            va_start(args, result);
            int *count = va_arg(args, int *);
            va_end(args);
            *static_cast<void ***>(result) = thread_slots;
            if (count) *count = kMaxThreads;
            return 1;
        }
        default: return 0;
    }
}

HOST int zo_db_type(Tag tag) {
    return find_image(tag) ? ZO_DB_IMAGE : ZO_DB_NONE;
}
HOST void *zo_db_access(Tag tag) {
    return const_cast<zoImage *>(find_image(tag));
}
HOST void zo_db_unpin(Tag) {}

HOST int zo_img_get_width(const zoImage *image) {
    return image ? image->width : 0;
}
HOST int zo_img_get_height(const zoImage *image) {
    return image ? image->height : 0;
}
HOST void zo_img_get_color(const zoImage *image, Color *color, int x, int y) {
    *color = static_cast<const Color *>(image->data)[y * image->width + x];
}

HOST void *zo_mem_int_allocate(const char *, int, int size) {
    return std::calloc(1, size > 0 ? size : 1);
}
HOST void zo_mem_int_release(const char *, int, void *block) {
    std::free(block);
}

HOST void zo_init_lock(zoLock *lock) {
    *lock = new zoLockImpl;
}
HOST void zo_delete_lock(zoLock *lock) {
    delete *lock;
    *lock = nullptr;
}
HOST void zo_lock(zoLock lock) {
    if (lock) lock->mutex.lock();
}
HOST void zo_unlock(zoLock lock) {
    if (lock) lock->mutex.unlock();
}

HOST zoBoolean zo_call_shader_x(void *result, int, RenderState *state, Tag tag, void *arg) {
    for (const Shader &s : shaders)
        if (s.tag == tag) return s.function(result, state, s.params, arg);
    return 0;
}

HOST zoBoolean zo_fb_put(RenderState *, int, const void *) {
    return 1;
}
HOST void zo_error(const char *, ...) {}
HOST void *zo_shaderstate_get(RenderState *, const char *, int *) {
    return nullptr;
}
HOST zoBoolean zo_shaderstate_set(RenderState *, const char *, const void *, int, int) {
    return 1;
}
HOST zoBoolean zo_sample(double *sample, int *, RenderState *, int dimension, const int *) {
    for (int i = 0; i < dimension; ++i) sample[i] = 0.5;
    return 1;
}

#include "benchscene.h"
