// Test doubles of the host functions (see testhost.h).
#include "testhost.h"
#include "testhost_compound.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#define HOST extern "C" __attribute__((visibility("default")))

// Scene, object and per-face queries (host_scene.cpp).
zoBoolean testhost_scene_query(int code, RenderState *state, Tag tag, void *result);
// Thread pointers of queries 124, 126 and 127 (host_support.cpp).
zoBoolean testhost_thread_query(int code, RenderState *state, void *result, void *extra);

namespace {

TestHostControl &host() {
    static TestHostControl &control = [] () -> TestHostControl & {
        static TestHostControl c;
        c.id = TESTHOST_ID;
        return c;
    }();
    return control;
}

void record_message(const char *severity, int number, const char *format, va_list args) {
    char text[4096];
    vsnprintf(text, sizeof text, format, args);
    std::lock_guard<std::mutex> lock(host().mutex);
    host().raw.push_back(format);
    host().messages.push_back(std::string(severity) + ": " + text);
    host().message_numbers.push_back(number);
}

zoBoolean run(const char *function, int type, Tag tag, RenderState *state, Color *result,
              const TestShaderBehaviour &behaviour) {
    {
        std::lock_guard<std::mutex> lock(host().mutex);
        host().calls.push_back({function, type, tag, state ? state->material : 0,
                                state ? state->environment : 0, state ? state->volume : 0});
    }
    if (behaviour.writes && result) *result = behaviour.color;
    return behaviour.ok;
}

zoBoolean run_material(const char *function, Color *result, RenderState *state) {
    auto it = host().material_calls.find(function);
    return run(function, 0, 0, state, result,
               it != host().material_calls.end() ? it->second : host().material_call);
}

}  // namespace

HOST TestHostControl *testhost_control() { return &host(); }

#define MESSAGE(name, severity)                      \
    HOST void name(const char *format, ...) {        \
        va_list args;                                \
        va_start(args, format);                      \
        record_message(severity, 0, format, args);   \
        va_end(args);                                \
    }
#define NUMBERED(name, severity)                            \
    HOST void name(int number, const char *format, ...) {   \
        va_list args;                                       \
        va_start(args, format);                             \
        record_message(severity, number, format, args);     \
        va_end(args);                                       \
    }
MESSAGE(zo_fatal, "fatal")
MESSAGE(zo_error, "error")
MESSAGE(zo_warning, "warning")
MESSAGE(zo_info, "info")
MESSAGE(zo_progress, "progress")
MESSAGE(zo_debug, "debug")
MESSAGE(zo_vdebug, "vdebug")
NUMBERED(zo_nfatal, "fatal")
NUMBERED(zo_nerror, "error")
NUMBERED(zo_nwarning, "warning")

HOST zoBoolean zo_query(int code, RenderState *state, Tag tag, void *result, ...) {
    void *extra = nullptr;
    if (code == 15 || code == 127) {
        va_list args;
        va_start(args, result);
        extra = va_arg(args, void *);
        va_end(args);
    }
    TestHostControl &h = host();
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        h.queries.push_back({code, state, tag, result, extra});
    }
    if (h.thread_pointers && (code == ZO_Q_FUNC_TLS_GET || code == ZO_Q_FUNC_TLS_SET ||
                              code == ZO_Q_FUNC_TLS_GETALL))
        return testhost_thread_query(code, state, result, extra);
    switch (code) {
        case ZO_Q_FUNC_CALLTYPE: *static_cast<int *>(result) = h.call_type; return 1;
        case ZO_Q_FUNC_NAME: *static_cast<const char **>(result) = h.shader_name; return 1;
        case ZO_Q_FUNC_USERPTR:
            if (!h.user_slot) return 0;
            *static_cast<void ***>(result) = h.user_slot;
            return 1;
        case ZO_Q_DATA_PARAM: {
            auto it = h.data_blocks.find(tag);
            if (it == h.data_blocks.end()) return 0;
            *static_cast<void **>(result) = it->second;
            return 1;
        }
        case ZO_Q_MTL_SHADER: case ZO_Q_MTL_DISPLACE: case ZO_Q_MTL_SHADOW:
        case ZO_Q_MTL_VOLUME: case ZO_Q_MTL_ENVIRONMENT: case ZO_Q_MTL_CONTOUR:
        case ZO_Q_MTL_PHOTON: case ZO_Q_MTL_PHOTONVOL: case ZO_Q_MTL_LIGHTMAP: {
            Tag shader = 0;
            auto m = h.material_shaders.find(code);
            if (m != h.material_shaders.end()) {
                auto s = m->second.find(tag);
                if (s != m->second.end()) shader = s->second;
            }
            *static_cast<Tag *>(result) = shader;
            return 1;
        }
        case 15: case 127:
            // echo the fifth argument so that tests see it arrived
            *static_cast<void **>(result) = extra;
            return 1;
        default: return testhost_scene_query(code, state, tag, result);
    }
}

HOST int zo_db_type(Tag tag) {
    auto it = host().db_types.find(tag);
    return it == host().db_types.end() ? ZO_DB_NONE : it->second;
}

HOST zoBoolean zo_call_shader(void *result, int type, RenderState *state, Tag tag) {
    // a material function registered for the tag runs for real
    if (const TestShaderEntry *f = testhost_material_function(tag)) {
        {
            std::lock_guard<std::mutex> lock(host().mutex);
            host().calls.push_back({"zo_call_shader", type, tag, state ? state->material : 0,
                                    state ? state->environment : 0, state ? state->volume : 0});
        }
        return f->function(result, state, f->params, nullptr);
    }
    auto it = host().shaders.find(tag);
    TestShaderBehaviour b = it == host().shaders.end() ? TestShaderBehaviour{0, false, {}} : it->second;
    return run("zo_call_shader", type, tag, state, static_cast<Color *>(result), b);
}

HOST zoBoolean zo_call_material(Color *r, RenderState *s) { return run_material("zo_call_material", r, s); }
HOST zoBoolean zo_call_shadow_material(Color *r, RenderState *s) { return run_material("zo_call_shadow_material", r, s); }
HOST zoBoolean zo_call_environment_material(Color *r, RenderState *s) { return run_material("zo_call_environment_material", r, s); }
HOST zoBoolean zo_call_volume_material(Color *r, RenderState *s) { return run_material("zo_call_volume_material", r, s); }
HOST zoBoolean zo_call_photon_material(Color *r, RenderState *s) { return run_material("zo_call_photon_material", r, s); }
HOST zoBoolean zo_call_photonvol_material(Color *r, RenderState *s) { return run_material("zo_call_photonvol_material", r, s); }
// A contour result is a record of its own, not a colour: it is left alone.
HOST zoBoolean zo_call_contour_material(void *, void *, void *, RenderState *s) {
    return run_material("zo_call_contour_material", nullptr, s);
}

HOST void *zo_phen_eval(RenderState *, void *parameter) {
    auto it = host().evaluated.find(parameter);
    return it == host().evaluated.end() ? nullptr : const_cast<void *>(it->second);
}

HOST void *zo_mem_int_allocate(const char *, int, int size) {
    std::lock_guard<std::mutex> lock(host().mutex);
    ++host().allocations;
    return std::calloc(1, size > 0 ? size : 1);
}

HOST void zo_mem_int_release(const char *, int, void *block) {
    std::lock_guard<std::mutex> lock(host().mutex);
    if (block) ++host().releases;
    std::free(block);
}

// Identifies the module that answered: 1 for module "a", 2 for "b".
HOST int zo_par_nthreads(void) { return host().id == "a" ? 1 : 2; }

// Floating-point arguments and result through the forwarders.
HOST float zo_schlick_scatter(const Vector3 *d, const Vector3 *l, float g) {
    return d->x * l->x + d->y * l->y + d->z * l->z + g;
}

// Arguments on the stack through the forwarders: a weighted sum.
HOST long zo_scene_growedit(long a, long b, long c, long d, long e, long f, long g, long h,
                            long i) {
    return a + 2 * b + 3 * c + 4 * d + 5 * e + 6 * f + 7 * g + 8 * h + 9 * i;
}

HOST void *zo_scene_create(void *first, int type, ...) {
    const int count = type == 40 ? 9 : type == 51 ? 4 : 8;
    va_list args;
    va_start(args, type);
    std::lock_guard<std::mutex> lock(host().mutex);
    host().scene_create_words.clear();
    for (int i = 0; i < count; ++i) host().scene_create_words.push_back(va_arg(args, uintptr_t));
    va_end(args);
    return first;
}

// A variadic host function reached through an ordinary forwarder.
HOST double zo_api_debug(int count, ...) {
    va_list args;
    va_start(args, count);
    double sum = 0;
    for (int i = 0; i < count; ++i) sum += va_arg(args, double);
    va_end(args);
    return sum;
}
