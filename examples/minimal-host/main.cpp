// A minimal host for libkorshaders: one triangle, one point light, the
// standard material with a Blinn model, 64 x 64 pixels written as a PPM.
//
// The host functions are defined in this program (exported with -rdynamic)
// and the library is handed the program's own module handle. Everything the
// library may ask beyond what is answered here gets a zero answer, which the
// library treats as "not available".
//
// usage: minimal-host OUT.ppm [LIBRARY]
#include <dlfcn.h>
#include <korshaders/host.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#define HOST extern "C" __attribute__((visibility("default")))

struct zoLockImpl {
    std::mutex mutex;
};

namespace {

typedef zoBoolean (*Shader)(void *result, RenderState *state, void *params, void *arg);
typedef void (*ShaderInit)(RenderState *state, void *params, zoBoolean *request);

// Shader instances by tag: the record the library reads, and the instance's
// user-pointer slot (query 51) and thread pointer (queries 124 and 126; one
// render thread here).
struct Instance {
    const char *name = nullptr;
    Shader function = nullptr;
    zoShaderRecord record{};
    void *user = nullptr;
    void *thread = nullptr;
    alignas(16) unsigned char params[160] = {};
};

enum : Tag { kMaterial = 1, kBlinn = 2, kLight = 3, kLightInstance = 4, kLightList = 5 };
Instance instances[3];
const char *const kNames[3] = {"kor_StandardMaterial", "kor_base_BlinnIllumination",
                               "kor_OmniLight"};

Instance *find(Tag tag) {
    return tag >= 1 && tag <= 3 ? &instances[tag - 1] : nullptr;
}

// Shader-state slots of one sample ("KEY_5" and the like): a few small
// records under text keys, cleared for every sample.
struct Slot {
    char key[16];
    int size;
    alignas(16) unsigned char value[256];
};
Slot slots[16];
int slot_count = 0;

const Vector3 kLightAt = {0, 0, 4};
const Tag kLights[] = {kLightInstance};

// The light list of an instance (query 102 with tag 0 names it, query 105
// gives it): count, index of the first, the lights, and whether the scene's
// global lights apply. Here the list is empty and the global lights apply.
struct LightList {
    int32_t count, first;
    Tag lights[1];
    zoBoolean global_lights;
};
const LightList kLightListRecord = {0, 0, {0}, 1};

template <typename T>
void put(Instance &i, int offset, T value) {
    std::memcpy(i.params + offset, &value, sizeof value);
}

Vector3 sub(Vector3 a, Vector3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
float dot(Vector3 a, Vector3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vector3 unit(Vector3 v) {
    const float l = std::sqrt(dot(v, v));
    return {v.x / l, v.y / l, v.z / l};
}

// Runs `tag` as the current shader: the state's record is the instance's.
zoBoolean run(void *result, RenderState *state, Tag tag, int call_type, void *arg) {
    Instance *i = find(tag);
    if (!i || !i->function) return 0;
    zoShaderRecord *caller = state->shader;
    const int caller_type = state->call_type;
    state->shader = &i->record;
    state->call_type = call_type;
    const zoBoolean ok = i->function(result, state, i->params, arg);
    state->shader = caller;
    state->call_type = caller_type;
    return ok;
}

}  // namespace

// ---- host functions the library calls ------------------------------------

HOST zoBoolean zo_query(int code, RenderState *state, Tag tag, void *result, ...) {
    Instance *i = state && state->shader ? find(state->shader->tag) : nullptr;
    switch (code) {
        case ZO_Q_FUNC_USERPTR:
            if (!i) return 0;
            *static_cast<void ***>(result) = &i->user;
            return 1;
        case ZO_Q_FUNC_NAME:
            if (!i) return 0;
            *static_cast<const char **>(result) = i->name;
            return 1;
        case ZO_Q_FUNC_TLS_GET:
            if (!i) return 0;
            *static_cast<void **>(result) = i->thread;
            return 1;
        case ZO_Q_FUNC_TLS_SET:
            if (!i) return 0;
            i->thread = *static_cast<void **>(result);
            return 1;
        case ZO_Q_FUNC_CALLTYPE: *static_cast<int *>(result) = state->call_type; return 1;
        case ZO_Q_INST_DATA:
            if (tag != 0) return 0;
            *static_cast<Tag *>(result) = kLightList;
            return 1;
        case ZO_Q_DATA_PARAM:
            if (tag != kLightList) return 0;
            *static_cast<const void **>(result) = &kLightListRecord;
            return 1;
        case ZO_Q_NUM_GLOBAL_LIGHTS: *static_cast<int *>(result) = 1; return 1;
        case ZO_Q_GLOBAL_LIGHTS: *static_cast<const Tag **>(result) = kLights; return 1;
        case ZO_Q_LIGHT_SHADER: *static_cast<Tag *>(result) = kLight; return 1;
        case ZO_Q_LIGHT_ORIGIN:
            if (tag != kLightInstance) return 0;
            *static_cast<Vector3 *>(result) = kLightAt;
            return 1;
        default: return 0;
    }
}

HOST zoBoolean zo_global_lights_info(int *count, const Tag **lights) {
    *count = 1;
    *lights = kLights;
    return 1;
}

HOST zoBoolean zo_call_shader_x(void *result, int type, RenderState *state, Tag shader, void *arg) {
    const int call_type = type == ZO_SHADER_LIGHT ? ZO_CALL_LIGHT : ZO_CALL_TEXTURE;
    return run(result, state, shader, call_type, arg);
}

// One sample of the point light: a light state, the light shader, its answer.
HOST zoBoolean zo_sample_light(Color *result, Vector3 *direction, float *dot_nl, RenderState *state,
                               Tag light, int *samples) {
    if (light != kLightInstance || *samples > 0) return 0;
    ++*samples;
    RenderState ls = *state;
    ls.parent = state;
    ls.type = ZO_RAY_LIGHT;
    ls.light_instance = light;
    ls.org = kLightAt;
    const Vector3 to_light = sub(kLightAt, state->point);
    ls.dist = std::sqrt(dot(to_light, to_light));
    ls.dir = unit(sub(state->point, kLightAt));
    ls.dot_nd = dot(state->normal, unit(to_light));
    *direction = unit(to_light);
    *dot_nl = ls.dot_nd;
    *result = {0, 0, 0, 0};
    return run(result, &ls, kLight, ZO_CALL_LIGHT, nullptr);
}

// Light space: the point light's origin is its centre, its axes the world's.
HOST void zo_point_to_light(Vector3 *out, RenderState *, const Vector3 *in) {
    *out = sub(*in, kLightAt);
}

// No database records (instances, objects, scene data) in this host.
HOST void *zo_db_access(Tag) {
    return nullptr;
}

HOST zoBoolean zo_trace_shadow(Color *, RenderState *) {
    return 1;
}  // nothing casts shadows

// No indirect light: the material's ambient term stands alone.
HOST zoBoolean zo_compute_irradiance(Color *result, RenderState *) {
    *result = {0, 0, 0, 0};
    return 0;
}

HOST zoBoolean zo_shaderstate_set(RenderState *, const char *key, const void *value, int size,
                                  int) {
    if (size > 256) return 0;
    Slot *s = nullptr;
    for (int k = 0; k < slot_count && !s; ++k)
        if (!std::strncmp(slots[k].key, key, sizeof slots[k].key)) s = &slots[k];
    if (!s) {
        if (slot_count == 16) return 0;
        s = &slots[slot_count++];
        std::strncpy(s->key, key, sizeof s->key - 1);
    }
    std::memcpy(s->value, value, size);
    s->size = size;
    return 1;
}

HOST void *zo_shaderstate_get(RenderState *, const char *key, int *size) {
    for (int k = 0; k < slot_count; ++k)
        if (!std::strncmp(slots[k].key, key, sizeof slots[k].key)) {
            if (size) *size = slots[k].size;
            return slots[k].value;
        }
    return nullptr;
}

HOST void *zo_mem_int_allocate(const char *, int, int size) {
    return std::calloc(1, size);
}
HOST void zo_mem_int_release(const char *, int, void *block) {
    std::free(block);
}
HOST void zo_init_lock(zoLock *lock) {
    *lock = new zoLockImpl;
}
HOST void zo_delete_lock(zoLock *lock) {
    delete *lock;
}
HOST void zo_lock(zoLock lock) {
    lock->mutex.lock();
}
HOST void zo_unlock(zoLock lock) {
    lock->mutex.unlock();
}

// Messages arrive as finished texts.
#define MESSAGE(name, tag)                          \
    HOST void name(const char *format, ...) {       \
        va_list args;                               \
        va_start(args, format);                     \
        std::fprintf(stderr, "minimal-host: " tag); \
        std::vfprintf(stderr, format, args);        \
        std::fputc('\n', stderr);                   \
        va_end(args);                               \
    }
MESSAGE(zo_error, "error: ")
MESSAGE(zo_warning, "warning: ")
MESSAGE(zo_info, "")
#undef MESSAGE

// ---- the render ------------------------------------------------------------

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: minimal-host OUT.ppm [LIBRARY]\n");
        return 2;
    }
    const char *path = argc > 2 ? argv[2] : KORSHADERS_LIBRARY;
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "minimal-host: %s\n", dlerror());
        return 1;
    }
    // The library resolves every host function by name in this module.
    auto set_handle = reinterpret_cast<void (*)(void *)>(dlsym(library, "zoSetModuleHandle"));
    set_handle(dlopen(nullptr, RTLD_NOW));

    // Parameter records, laid out as docs/shaders.md gives them.
    Instance &material = instances[0], &blinn = instances[1], &light = instances[2];
    put(material, 20, 1.0f);                     // opacity
    put(material, 52, 1.5f);                     // ior
    put(material, 132, kBlinn);                  // illumination
    put(blinn, 0, Color{0.1f, 0.1f, 0.1f, 1});   // ambient
    put(blinn, 16, Color{0.8f, 0.3f, 0.1f, 1});  // diffuse
    put(blinn, 32, Color{1, 1, 1, 1});           // specular
    put(blinn, 84, 0.5f);                        // specularLevel
    put(blinn, 88, 0.3f);                        // glossiness
    put(light, 0, zoBoolean{1});                 // on
    put(light, 4, Color{1, 1, 1, 1});            // color
    put(light, 20, 1.0f);                        // multiplier
    put(light, 32, zoBoolean{1});                // affectDiffuse
    put(light, 36, zoBoolean{1});                // affectSpecular

    zoCamera camera{};
    camera.x_resolution = camera.y_resolution = 64;
    zoOptions options{};
    RenderState state{};
    state.version = KOR_HOST_INTERFACE_VERSION;
    state.camera = &camera;
    state.options = &options;
    zo_init_lock(&state.global_lock);

    // Every shader's init, then the instances' own when they ask for it.
    for (Instance &i : instances) {
        i.name = kNames[&i - instances];
        i.function = reinterpret_cast<Shader>(dlsym(library, i.name));
        auto init =
            reinterpret_cast<ShaderInit>(dlsym(library, (std::string(i.name) + "_init").c_str()));
        i.record = {static_cast<Tag>(&i - instances + 1), 0, 0, sizeof i.params, i.params, i.name};
        if (!i.function) {
            std::fprintf(stderr, "minimal-host: the library has no %s\n", i.name);
            return 1;
        }
        state.shader = &i.record;
        zoBoolean again = 0;
        if (init) init(&state, nullptr, &again);
        if (init && again) init(&state, i.params, &again);
    }

    // A triangle in the plane z = 0 seen from z = 3 looking down -z.
    const Vector3 a = {-1, -1, 0}, b = {1, -1, 0}, c = {0, 1, 0};
    FILE *out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "P6\n64 64\n255\n");
    for (int y = 63; y >= 0; --y)
        for (int x = 0; x < 64; ++x) {
            const float px = (x + 0.5f) / 32 - 1, py = (y + 0.5f) / 32 - 1;
            // barycentric weights of (px, py) in the triangle
            const float d = (b.y - c.y) * (a.x - c.x) + (c.x - b.x) * (a.y - c.y);
            const float u = ((b.y - c.y) * (px - c.x) + (c.x - b.x) * (py - c.y)) / d;
            const float v = ((c.y - a.y) * (px - c.x) + (a.x - c.x) * (py - c.y)) / d;
            Color colour = {0.02f, 0.02f, 0.05f, 1};
            if (u >= 0 && v >= 0 && u + v <= 1) {
                RenderState s = state;
                slot_count = 0;
                s.raster_x = x + 0.5f;
                s.raster_y = y + 0.5f;
                s.type = ZO_RAY_EYE;
                s.march = 1;
                s.org = {px, py, 3};
                s.dir = {0, 0, -1};
                s.dist = 3;
                s.point = {px, py, 0};
                s.normal = s.normal_geom = {0, 0, 1};
                s.dot_nd = -1;
                s.bary[0] = u;
                s.bary[1] = v;
                s.bary[2] = 1 - u - v;
                s.instance = 10;
                s.material = kMaterial;
                s.pri = &s;
                colour = {0, 0, 0, 0};
                run(&colour, &s, kMaterial, ZO_CALL_MATERIAL, nullptr);
            }
            const float rgb[3] = {colour.r, colour.g, colour.b};
            for (float channel : rgb)
                std::fputc(static_cast<int>(std::fmin(std::fmax(channel, 0.0f), 1.0f) * 255 + 0.5f),
                           out);
        }
    std::fclose(out);

    for (Instance &i : instances) {
        auto exit = reinterpret_cast<void (*)(RenderState *, void *)>(
            dlsym(library, (std::string(i.name) + "_exit").c_str()));
        state.shader = &i.record;
        if (exit) exit(&state, i.params);
        if (exit) exit(&state, nullptr);
    }
    zo_delete_lock(&state.global_lock);
    dlclose(library);
    return 0;
}
