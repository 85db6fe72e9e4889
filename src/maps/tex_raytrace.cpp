// kor_Raytrace: the raytrace map, and the object-list trace it shares with
// the raytrace material.
//
// The raytrace map. It traces a reflection or a refraction
// (chosen by its mode or by the side of the surface the ray leaves on),
// optionally with several blurred samples, an include or exclude list of
// objects, a background override, distance attenuation and a tint.
#include <math.h>
#include <stddef.h>
#include <string.h>

#include "kor_memo.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "shader.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_raytrace";
constexpr float kBlurScale = 1000.0f;
constexpr int kMaxSamples = 64;
enum : int32_t { kTraceAuto = 0, kTraceReflection = 1, kTraceRefraction = 2 };
enum : int32_t { kBackgroundEnvironment = 0, kBackgroundColor = 1, kBackgroundMap = 2 };
enum : int32_t {
    kAttenuationOff = 0,
    kAttenuationLinear = 1,
    kAttenuationInverseSquare = 2,
    kAttenuationExponential = 3
};

struct RaytraceParams {
    int32_t traceMode;  // 0 automatic, 1 reflection, 2 refraction
    zoBoolean antialias;
    int32_t samples;  // rays per call with antialias
    float blur;       // spread of the antialias rays
    int32_t attenuationType;
    float attenuationStart;
    float attenuationEnd;
    float attenuationExponent;
    float attenuationAmount;
    int32_t backgroundMode;
    Color backgroundColor;
    Tag backgroundMap;
    zoBoolean tintOn;
    Color tintColor;
    float tintAmount;
    zoBoolean tintMapOn;
    Tag tintMap;
    float tintMapAmount;
    zoBoolean selfHits;
    int32_t gbufferId;
    zoBoolean includeObjects;
    ParamArray<Tag> objectNames;  // database strings: instance names
};
static_assert(offsetof(RaytraceParams, objectNames) == 108, "raytrace map layout");

struct RaytraceInstance {
    zoBoolean antialias;
    int32_t samples;
    float blur;
    int32_t attenuationType;
    float attenuationStart;
    float attenuationEnd;
    float attenuationExponent;
    float attenuationAmount;
    float tintWeight;   // w
    float tintKeep;     // 1 - w
    zoBoolean tintMix;  // false when w is exactly 1
    zoBoolean includeObjects;
    int32_t count;
    Tag *objects;
    // the instance's own record when nothing is connected to it: read as it
    // stands, without a connection test per field
    const RaytraceParams *plainRecord;
    // a plain record that asks for one ray per call, no object list, no
    // distance falloff (the factor is exactly 1), counts every surface,
    // keeps the environment behind and sets no tint or G-buffer id: a call
    // with it skips every optional step (raytraceCall<true>)
    zoBoolean simple;
};

// The parameters of one call: as they stand in a plain record, else each
// evaluated where it is read.
struct RecordReader {
    RenderState *state;
    bool plain;
    template <typename T>
    const T &operator()(const T &param) const {
        return plain ? param : eval(state, &param);
    }
};

// The instance's record, as the host answered it before on this thread.
ShaderMemo raytraceMemo;

RaytraceInstance *instanceOf(RenderState *state) {
    return static_cast<RaytraceInstance *>(memoUser(raytraceMemo, state));
}

void destroyInstance(RaytraceInstance *inst) {
    if (!inst) return;
    if (inst->objects) zo_mem_int_release(kModule, __LINE__, inst->objects);
    zo_mem_int_release(kModule, __LINE__, inst);
}

// One traced colour along `dir` with the background rules; false when
// nothing at all answered. Inlined into the map's entry, which runs it
// once per reflection or refraction ray. A `Simple` instance has no object
// list, counts every surface and keeps the environment behind.
template <bool Simple>
__attribute__((always_inline)) inline bool traceOne(Color *result, RenderState *state,
                                                    const RaytraceInstance *inst,
                                                    const RaytraceParams *p,
                                                    const RecordReader &read, const Vector3 &dir,
                                                    int kind) {
    storeTraceMark(state, 0, 0);
    Color c = kClearBlack;
    // an empty list (or one whose names the host did not know) lets every
    // object through: it is read as an empty exclude list
    const bool hasList = !Simple && inst && inst->count > 0;
    const bool selfHits = Simple || read(p->selfHits) != 0;
    bool ok;
    if (selfHits && !hasList)  // every surface counts: the host's own trace
        ok = (kind == kKindRefraction ? zo_trace_refraction(&c, state, &dir)
                                      : zo_trace_reflection(&c, state, &dir)) != 0;
    else
        ok = traceWithObjectList(&c, state, dir, kind, selfHits, hasList && inst->includeObjects,
                                 hasList ? inst->count : 0, hasList ? inst->objects : nullptr,
                                 false, -1, false);
    const int background = Simple ? int(kBackgroundEnvironment) : read(p->backgroundMode);
    if (!ok && background == kBackgroundColor) {
        c = read(p->backgroundColor);
        ok = true;
    }
    if (!ok && state->type != ZO_RAY_ENVIRONMENT) {
        c = kClearBlack;
        ok = zo_trace_environment(&c, state, &dir) != 0;
    }
    if (!ok && background == kBackgroundMap) {
        const Tag map = read(p->backgroundMap);
        if (map) {
            const Vector3 saved = state->dir;
            state->dir = dir;
            MapRequest request{kMapColor, 0, 0};
            c = kClearBlack;
            ok = zo_call_shader_x(&c, ZO_SHADER_MAP, state, map, &request) != 0;
            state->dir = saved;
        }
    }
    removeTraceMark(state);
    *result = ok ? c : kOpaqueBlack;
    return ok;
}

// The direction of an unblurred trace: the material's own when it asked
// for the same kind, else the mirror or refracted one.
inline Vector3 singleDirection(RenderState *state, const ReflectCall &call, bool refract) {
    const int kind = refract ? kKindRefraction : kKindReflection;
    if (call.keyed && call.kind == kind) return call.entryDir;
    return refract ? refractionDirection(state, 0.0f, nullptr) : reflectionDirection(state, 0.0f);
}

}  // namespace

namespace kor {

namespace {

constexpr int kMaxProbes = 64;
constexpr int kMaxTextureSpaces = 8;
constexpr float kProbeStep = 1.0e-4f;

// Whether the hit instance may be seen by this kind of ray (unknown: yes).
bool visibleTo(RenderState *state, Tag instance, int kind) {
    int flags = 0;
    if (kind == kKindEye) {
        if (!zo_query(ZO_Q_INST_FLAGS, state, instance, &flags)) return true;
        return (flags & 0x1) != 0;
    }
    if (!zo_query(ZO_Q_INST_VISIBILITY, state, instance, &flags)) return true;
    return kind == kKindRefraction ? (flags & 0x10) != 0 : (flags & 0x1) != 0;
}

bool levelAllowed(const RenderState *state, int kind) {
    const zoOptions *o = state->options;
    if (!o) return true;
    const int sum = state->reflection_level + state->refraction_level;
    if (sum >= o->trace_depth) return false;
    return kind == kKindRefraction ? state->refraction_level < o->refraction_depth
                                   : state->reflection_level < o->reflection_depth;
}

bool plainTrace(Color *result, RenderState *state, const Vector3 &dir, int kind) {
    return (kind == kKindRefraction ? zo_trace_refraction(result, state, &dir)
                                    : zo_trace_reflection(result, state, &dir)) != 0;
}

// The material of a probed hit, run as a reflection or refraction ray.
bool shadeProbeHit(Color *result, RenderState *hit, int kind) {
    hit->type = kind;
    if (kind == kKindRefraction)
        ++hit->refraction_level;
    else
        ++hit->reflection_level;
    Vector3 coords[kMaxTextureSpaces];
    if (!hit->tex_list && hit->pri) {
        int spaces = 0;
        if (!zo_query(ZO_Q_NUM_TEXTURES, hit, 0, &spaces)) spaces = 0;
        if (spaces > kMaxTextureSpaces) spaces = kMaxTextureSpaces;
        for (int k = 0; k < spaces; ++k) {
            Vector3 t[3] = {kZero, kZero, kZero};
            zo_tri_vectors(hit, ZO_TRI_TEXTURE, k, t);
            coords[k] = t[0] * hit->bary[0] + t[1] * hit->bary[1] + t[2] * hit->bary[2];
        }
        if (spaces > 0) {
            hit->tex_list = coords;
            hit->tex_count = spaces;
        }
    }
    const bool ok = zo_call_material(result, hit) != 0;
    if (hit->tex_list == coords) {
        hit->tex_list = nullptr;
        hit->tex_count = 0;
    }
    return ok;
}

// The identity of a hit instance that the list is compared with.
Tag identityOf(RenderState *state, Tag instance, bool byName) {
    if (!byName) return instance;
    Tag name = 0;
    if (!zo_query(ZO_Q_INSTANCE_NAME, state, instance, &name) || !name) return instance;
    return name;
}

}  // namespace

Tag *resolveObjectList(RenderState *state, const char *module, const ParamArray<Tag> &names,
                       int32_t *count) {
    *count = 0;
    const int start = eval(state, &names.start);
    const int n = eval(state, &names.count);
    if (n < 1) return nullptr;
    auto *objects = static_cast<Tag *>(zo_mem_int_allocate(module, __LINE__, n * int(sizeof(Tag))));
    for (int k = 0; objects && k < n; ++k) {
        const Tag entry = eval(state, &names[start + k]);
        if (!entry) continue;
        const char *stored = static_cast<const char *>(zo_db_access(entry));
        char *name = stored ? zo_mem_int_strdup(module, __LINE__, stored) : nullptr;
        zo_db_unpin(entry);
        const Tag tag = name ? zo_api_name_lookup(name) : 0;
        if (tag)
            objects[(*count)++] = tag;
        else
            zo_warning("\"%s\": object \"%s\" not found, left out of the object list",
                       shader_name(state), name ? name : "");
        if (name) zo_mem_int_release(module, __LINE__, name);
    }
    return objects;
}

bool traceWithObjectList(Color *result, RenderState *state, const Vector3 &dir, int rayType,
                         bool selfHits, bool includeObjects, int count, const Tag *objects,
                         bool useEnvironment, int materialIdFilter, bool byName, double *distance) {
    if (distance) *distance = kNoHitDistance;
    if (!objects) count = 0;
    if (selfHits && !includeObjects && count <= 0) {
        if (rayType != kKindReflection && rayType != kKindRefraction) return false;
        if (distance) {
            // the host's trace keeps no record of how far it went
            RenderState *saved = state->child;
            if (zo_trace_probe(state, &dir, nullptr) && state->child)
                *distance = state->child->dist;
            state->child = saved;
        }
        return plainTrace(result, state, dir, rayType);
    }
    if (rayType != kKindEye && !levelAllowed(state, rayType)) return false;
    const Vector3 start = state->point;
    Vector3 origin = start;
    RenderState *savedChild = state->child;
    bool ok = false, found = false;
    double travelled = 0.0;
    for (int step = 0; step < kMaxProbes; ++step) {
        const bool hit = zo_trace_probe(state, &dir, step == 0 ? nullptr : &origin) != 0;
        RenderState *h = state->child;
        if (!hit || !h) break;
        travelled += h->dist;
        bool accepted;
        if (h->instance == state->instance && !selfHits) {
            accepted = false;
        } else {
            const Tag id = identityOf(state, h->instance, byName);
            bool member = false;
            for (int k = 0; k < count; ++k)
                if (objects[k] == id) member = true;
            if (member && materialIdFilter >= 0) {
                int label = 0;
                if (zo_query(ZO_Q_PRI_LABEL, h, 0, &label) && label != materialIdFilter)
                    member = false;
            }
            accepted = includeObjects ? member : !member;
        }
        if (accepted && visibleTo(state, h->instance, rayType)) {
            found = true;
            if (distance) *distance = travelled;
            if (rayType == kKindEye)
                ok = zo_trace_eye(result, state, &start, &dir) != 0;
            else  // the first surface along the ray: the host's own trace sees it
                ok = step == 0 ? plainTrace(result, state, dir, rayType)
                               : shadeProbeHit(result, h, rayType);
            break;
        }
        origin = h->point + dir * kProbeStep;
    }
    state->child = savedChild;
    if (!found && useEnvironment && state->type != kKindEnvironment)
        ok = zo_trace_environment(result, state, &dir) != 0;
    return ok;
}

// The distance falloff of the raytrace map at distance d: 1 up to `start`;
// linear: 1 - (d - start) / (end - start) clamped to [0, 1]; inverse
// square: 1 / t^2 with t = (d - start) / (end - start), at most 1;
// exponential: the linear value raised to `exponent`. A zero range gives 0
// past the start.
float raytraceFalloff(int type, float d, float start, float end, float exponent) {
    if (type != kAttenuationLinear && type != kAttenuationInverseSquare &&
        type != kAttenuationExponential)
        return 1.0f;
    if (d <= start) return 1.0f;
    const float range = end - start;
    if (!(range > 0.0f)) return 0.0f;
    const float t = (d - start) / range;
    if (type == kAttenuationInverseSquare) {
        const float q = t * t;
        return q < 0.00001f ? 1.0f : (1.0f / q < 1.0f ? 1.0f / q : 1.0f);
    }
    float linear = 1.0f - t;
    linear = linear < 0.0f ? 0.0f : linear > 1.0f ? 1.0f : linear;
    return type == kAttenuationExponential ? powf(linear, exponent) : linear;
}

// Whether an automatic raytrace map refracts: the direction it is asked
// to trace leaves on the other side of the surface than the eye.
bool raytraceChoosesRefraction(const Vector3 &normal, const Vector3 &incoming,
                               const Vector3 &traced) {
    const float eyeSide = -dot(normal, incoming);
    const float rayside = dot(normal, traced);
    return (eyeSide >= 0.0f) != (rayside >= 0.0f);
}

}  // namespace kor

namespace {

// Whether the map refracts: by its mode, else (automatic) by the side the
// material's direction leaves on, else by the state's own ray kind.
bool choosesRefraction(RenderState *state, const ReflectCall &call, int traceMode) {
    if (traceMode == kTraceReflection) return false;
    if (traceMode == kTraceRefraction) return true;
    if (call.keyed) return raytraceChoosesRefraction(state->normal, call.incoming, call.entryDir);
    return call.kind == kKindRefraction;
}

// One call of the map after "KEY_6" was read and the state turned to the
// incoming ray. A `Simple` instance (RaytraceInstance::simple, worked out at
// init) skips the optional steps: G-buffer id, distance falloff, background
// colour or map, blurred samples, object list and tint.
template <bool Simple>
__attribute__((always_inline)) inline zoBoolean raytraceCall(Color *result, RenderState *state,
                                                             const RaytraceParams *params,
                                                             const RaytraceInstance *inst,
                                                             const RecordReader &read,
                                                             const ReflectCall &call, int mode) {
    if (!Simple)
        if (const int32_t id = read(params->gbufferId)) writeGBufferId(state, id);

    if (call.kind >= kKindPhotonReflectSpecular && call.kind <= kKindPhotonTransmitDiffuse) {
        if (!photonContinue(result, state, call.kind, call.entryDir)) *result = kOpaqueBlack;
        reflectCallEnd(state, call);
        return 1;
    }

    const bool refract = choosesRefraction(state, call, read(params->traceMode));
    const int kind = refract ? kKindRefraction : kKindReflection;

    // distance attenuation along the ray that reached the surface
    float f = 1.0f;
    if (!Simple) {
        float falloff = 1.0f;
        float amount = 0.0f;
        if (inst) {
            falloff = raytraceFalloff(inst->attenuationType, static_cast<float>(state->dist),
                                      inst->attenuationStart, inst->attenuationEnd,
                                      inst->attenuationExponent);
            amount = inst->attenuationAmount;
        }
        f = amount * (falloff - 1.0f) + 1.0f;
    }
    if (f < 0.0001f || !tracingEnabled(state)) {
        *result = kOpaqueBlack;
        reflectCallEnd(state, call);
        return 1;
    }

    // "KEY_2" names the background map for the environment while tracing
    EnvironmentOverride savedOverride;
    bool hadOverride = false;
    const Tag backgroundMap =
        !Simple && read(params->backgroundMode) == kBackgroundMap ? read(params->backgroundMap) : 0;
    if (backgroundMap) {
        int size = 0;
        if (const void *old = zo_shaderstate_get(state, KOR_KEY_ENVIRONMENT_OVERRIDE, &size)) {
            if (size >= static_cast<int>(sizeof savedOverride)) {
                memcpy(&savedOverride, old, sizeof savedOverride);
                hadOverride = true;
            }
        }
        EnvironmentOverride record;
        memset(&record, 0, sizeof record);
        record.map = backgroundMap;
        zo_shaderstate_set(state, KOR_KEY_ENVIRONMENT_OVERRIDE, &record, sizeof record,
                           ZO_SHADERSTATE_RAY_TREE);
    }

    Color c = kClearBlack;
    if (!Simple && inst && inst->antialias && inst->samples > 1) {
        const int n = inst->samples < kMaxSamples ? inst->samples : kMaxSamples;
        const float shininess = blurShininess(inst->blur, kBlurScale);
        Color sum = kClearBlack;
        for (int k = 0; k < n; ++k) {
            const Vector3 dir = refract ? refractionDirection(state, shininess, nullptr)
                                        : reflectionDirection(state, shininess);
            Color one;
            traceOne<Simple>(&one, state, inst, params, read, dir, kind);
            sum.r += one.r;
            sum.g += one.g;
            sum.b += one.b;
            sum.a += one.a;
        }
        const float scale = 1.0f / n;
        c = Color{sum.r * scale, sum.g * scale, sum.b * scale, sum.a * scale};
    } else {
        traceOne<Simple>(&c, state, inst, params, read, singleDirection(state, call, refract),
                         kind);
    }

    if (backgroundMap) {
        if (hadOverride)
            zo_shaderstate_set(state, KOR_KEY_ENVIRONMENT_OVERRIDE, &savedOverride,
                               sizeof savedOverride, ZO_SHADERSTATE_RAY_TREE);
        else
            zo_shaderstate_set(state, KOR_KEY_ENVIRONMENT_OVERRIDE, nullptr, 0,
                               ZO_SHADERSTATE_RAY_TREE);
    }

    if (!Simple && read(params->tintOn) && inst) {
        Color tint = read(params->tintColor);
        const Tag map = read(params->tintMap);
        if (map && read(params->tintMapOn)) {
            Color m = tint;
            MapRequest request{kMapColor, 0, 0};
            if (mapColor(&m, state, &request, map)) {
                const float a = read(params->tintMapAmount);
                tint.r = tint.r * (1.0f - a) + m.r * a;
                tint.g = tint.g * (1.0f - a) + m.g * a;
                tint.b = tint.b * (1.0f - a) + m.b * a;
            }
        }
        const float i = (c.r + c.g + c.b) / 3.0f;
        const float w = inst->tintWeight;
        const float keep = inst->tintMix ? inst->tintKeep : 0.0f;
        c.r = c.r * keep + i * w * tint.r;
        c.g = c.g * keep + i * w * tint.g;
        c.b = c.b * keep + i * w * tint.b;
    }
    c.a = f;
    if (mode == kMapGrey) {
        const float mean = (c.r + c.g + c.b) / 3.0f;
        c.r = c.g = c.b = mean;
    }
    *result = c;
    reflectCallEnd(state, call);
    return 1;
}

// The call of an instance with optional steps, kept apart so that the
// simple call's frame stays small.
__attribute__((noinline)) zoBoolean raytraceGeneral(Color *result, RenderState *state,
                                                    const RaytraceParams *params,
                                                    const RaytraceInstance *inst, bool plain,
                                                    const ReflectCall &call, int mode) {
    return raytraceCall<false>(result, state, params, inst, RecordReader{state, plain}, call, mode);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Raytrace(Color *result, RenderState *state, RaytraceParams *params,
                                  const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kClearBlack;
        return 0;
    }
    // "KEY_6" is read once: its kind decides whether there is a result at
    // all, its direction is the ray the map works on
    const ReflectCall call = reflectCallRead(state);
    if (call.kind == kKindNoResult) return 0;
    if (!mode || bumpMode(*mode)) {
        *result = kClearBlack;
        return 1;
    }
    reflectCallEnter(state, call);
    const RaytraceInstance *inst = instanceOf(state);
    const bool plain = inst && inst->plainRecord == params;
    if (plain && inst->simple)
        return raytraceCall<true>(result, state, params, inst, RecordReader{state, true}, call,
                                  *mode);
    return raytraceGeneral(result, state, params, inst, plain, call, *mode);
}

KOR_SHADER_INIT(kor_Raytrace) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    memoForget();
    void **slot = user_slot(state);
    if (!slot) return;
    if (*slot) destroyInstance(static_cast<RaytraceInstance *>(*slot));
    *slot = nullptr;
    auto *inst = static_cast<RaytraceInstance *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(RaytraceInstance)));
    if (!inst) return;
    memset(inst, 0, sizeof *inst);
    const auto *p = static_cast<const RaytraceParams *>(params);
    inst->antialias = eval(state, &p->antialias);
    inst->samples = eval(state, &p->samples);
    inst->blur = eval(state, &p->blur);
    inst->attenuationType = eval(state, &p->attenuationType);
    inst->attenuationStart = eval(state, &p->attenuationStart);
    inst->attenuationEnd = eval(state, &p->attenuationEnd);
    inst->attenuationExponent = eval(state, &p->attenuationExponent);
    inst->attenuationAmount = eval(state, &p->attenuationAmount);
    inst->tintWeight = eval(state, &p->tintAmount);
    inst->tintKeep = 1.0f - inst->tintWeight;
    inst->tintMix = inst->tintWeight != 1.0f;
    inst->includeObjects = eval(state, &p->includeObjects);
    inst->plainRecord = plainRecordAtInit(state, p, offsetof(RaytraceParams, objectNames.storage));

    inst->objects = resolveObjectList(state, kModule, p->objectNames, &inst->count);
    const bool falloffOff = inst->attenuationType != kAttenuationLinear &&
                            inst->attenuationType != kAttenuationInverseSquare &&
                            inst->attenuationType != kAttenuationExponential;
    const RaytraceParams *plain = inst->plainRecord;
    inst->simple = plain && !(inst->antialias && inst->samples > 1) && inst->count == 0 &&
                   falloffOff && isfinite(inst->attenuationAmount) && plain->selfHits &&
                   plain->backgroundMode == kBackgroundEnvironment && !plain->tintOn &&
                   !plain->gbufferId;
    *slot = inst;
}

KOR_SHADER_EXIT(kor_Raytrace) {
    if (!params) return;
    memoForget();
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    destroyInstance(static_cast<RaytraceInstance *>(*slot));
    *slot = nullptr;
}
