// A minimal host module for the benchmarks: enough of the host's answers
// for the binding and shading-context benchmarks, with no bookkeeping.
#include <korshaders/host.h>

#include <cstdlib>

#define HOST extern "C" __attribute__((visibility("default")))

HOST float zo_noise_1d(float p) { return p * 0.5f; }

// One triangle in front of the camera, with a texture triangle.
HOST zoBoolean zo_tri_vectors(RenderState *, int which, int, Vector3 v[3]) {
    switch (which) {
        case ZO_TRI_POSITION:
            v[0] = {-1, -1, -3};
            v[1] = {1.5f, -0.8f, -3.5f};
            v[2] = {0, 1, -2.5f};
            return 1;
        case ZO_TRI_TEXTURE:
            v[0] = {0, 0, 0};
            v[1] = {1, 0, 0};
            v[2] = {0, 1, 0};
            return 1;
        default: return 0;
    }
}

// Internal, camera and object space coincide.
#define IDENTITY(name) \
    HOST void name(Vector3 *out, RenderState *, const Vector3 *in) { *out = *in; }
IDENTITY(zo_point_to_camera)
IDENTITY(zo_point_from_object)
IDENTITY(zo_normal_to_camera)
IDENTITY(zo_vector_to_camera)

HOST void *zo_shaderstate_get(RenderState *, const char *, int *) { return nullptr; }

// Map benchmarks: one instance slot, per-thread pointers, shader calls by
// tag (registered before any call runs), memory and message stubs. Other
// queries fail.
namespace {

typedef zoBoolean (*ShaderFunction)(void *result, RenderState *state, void *params, void *arg);

constexpr int kMaxThreads = 64;
constexpr int kMaxShaders = 8;

struct Shader {
    Tag tag;
    ShaderFunction function;
    void *params;
};

Shader shaders[kMaxShaders];
void *user_slot = nullptr;
void *thread_slots[kMaxThreads];

}  // namespace

HOST void benchhost_add_shader(Tag tag, ShaderFunction function, void *params) {
    for (Shader &s : shaders)
        if (!s.tag) {
            s = Shader{tag, function, params};
            return;
        }
}

HOST zoBoolean zo_query(int code, RenderState *state, Tag, void *result, ...) {
    const int thread =
        state && state->thread >= 0 && state->thread < kMaxThreads ? state->thread : 0;
    switch (code) {
        case ZO_Q_FUNC_USERPTR: *static_cast<void ***>(result) = &user_slot; return 1;
        case ZO_Q_FUNC_NAME: *static_cast<const char **>(result) = "bench_shader"; return 1;
        case ZO_Q_FUNC_TLS_GET: *static_cast<void **>(result) = thread_slots[thread]; return 1;
        case ZO_Q_FUNC_TLS_SET: thread_slots[thread] = *static_cast<void **>(result); return 1;
        default: return 0;
    }
}

HOST zoBoolean zo_call_shader_x(void *result, int, RenderState *state, Tag tag, void *arg) {
    for (const Shader &s : shaders)
        if (s.tag == tag) return s.function(result, state, s.params, arg);
    return 0;
}

HOST void *zo_mem_int_allocate(const char *, int, int size) {
    return std::calloc(1, size > 0 ? size : 1);
}
HOST void zo_mem_int_release(const char *, int, void *block) { std::free(block); }
HOST void zo_lock(zoLock) {}
HOST void zo_unlock(zoLock) {}
HOST zoBoolean zo_fb_put(RenderState *, int, const void *) { return 1; }
HOST void zo_error(const char *, ...) {}
IDENTITY(zo_point_to_world)
IDENTITY(zo_point_to_object)
IDENTITY(zo_vector_to_world)
IDENTITY(zo_vector_from_camera)
