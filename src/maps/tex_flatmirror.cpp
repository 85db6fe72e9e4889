// kor_FlatMirror: a mirror for flat surfaces, optionally restricted to one
// material id, blurred, or distorted by a bump map or by noise.
#include <math.h>
#include <string.h>

#include "kor_context.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "scenedata.h"
#include "shader.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_flatmirror";
constexpr float kBlurScale = 200.0f;
constexpr int kMaxNoiseLevels = 10;

enum : int32_t { kDistortNone = 0, kDistortBump = 1, kDistortNoise = 2 };

struct FlatMirrorParams {
    zoBoolean blurOn;
    float blur;
    zoBoolean firstFrameOnly;  // handed to the traced surface in "KEY_1"
    zoBoolean applyToFaceId;
    int32_t faceId;  // 1-based material id the mirror applies to
    int32_t distortionType;
    float distortionAmount;
    Tag bumpMap;  // the perturbation of the bump distortion
    float noiseSize;
    float noisePhase;
    float noiseLevels;
    int32_t gbufferId;
};

// Per-thread record of the noise distortion.
struct MirrorThread {
    int32_t ready;
    ShadingContext context;
};

const ShadingContext *threadContext(RenderState *state) {
    auto *t =
        static_cast<MirrorThread *>(thread_block(state, kModule, __LINE__, sizeof(MirrorThread)));
    if (!t) return nullptr;
    if (!t->ready) {
        contextCreate(&t->context, state);
        t->ready = 1;
    }
    return &t->context;
}

}  // namespace

namespace kor {

// Fractal noise of the mirror: `levels` octaves of noise4 at phase
// `phase`, each of half the amplitude and twice the frequency of the one
// before; a fractional level adds that fraction of the next octave.
float mirrorNoise(const Vector3 &p, float phase, float levels) {
    if (!(levels > 0.0f)) levels = 1.0f;
    if (levels > kMaxNoiseLevels) levels = kMaxNoiseLevels;
    float sum = 0.0f, frequency = 1.0f;
    float remaining = levels;
    while (remaining > 0.0f) {
        const float weight = remaining >= 1.0f ? 1.0f : remaining;
        sum +=
            weight * noise4(p.x * frequency, p.y * frequency, p.z * frequency, phase) / frequency;
        frequency *= 2.0f;
        remaining -= 1.0f;
    }
    return sum;
}

// The three direction offsets of the noise distortion at object-space
// point p: one sample at p / size, two more at that point shifted by
// (23, 12, 35) with the axes turned (y, z, x) and (z, x, y); each times
// amount / 10.
Vector3 mirrorNoiseOffsets(const Vector3 &p, float size, float amount, float phase, float levels) {
    const float s = size != 0.0f ? size : 1.0f;
    const Vector3 q = p / s;
    const Vector3 r = q + Vector3{23.0f, 12.0f, 35.0f};
    const float k = amount / 10.0f;
    return Vector3{k * mirrorNoise(q, phase, levels),
                   k * mirrorNoise(Vector3{r.y, r.z, r.x}, phase, levels),
                   k * mirrorNoise(Vector3{r.z, r.x, r.y}, phase, levels)};
}

}  // namespace kor

KOR_EXPORT zoBoolean kor_FlatMirror(Color *result, RenderState *state, FlatMirrorParams *params,
                                    const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kOpaqueBlack;
        return 0;
    }
    const ReflectCall call = reflectCallBegin(state);
    if (call.kind == kKindNoResult) {
        reflectCallEnd(state, call);
        return 0;
    }
    writeGBufferId(state, eval(state, &params->gbufferId));
    if (bumpMode(mapMode(mode))) {
        *result = kOpaqueBlack;
        reflectCallEnd(state, call);
        return 1;
    }
    if (eval(state, &params->applyToFaceId) &&
        GetMaterialID(state) != eval(state, &params->faceId) - 1) {
        *result = kOpaqueBlack;
        reflectCallEnd(state, call);
        return 1;
    }
    if (call.kind == kKindPhotonReflectSpecular || call.kind == kKindPhotonReflectDiffuse) {
        photonContinue(result, state, call.kind, call.entryDir);
        reflectCallEnd(state, call);
        return 1;
    }
    if (call.kind != kKindReflection || !tracingEnabled(state)) {
        *result = kOpaqueBlack;
        reflectCallEnd(state, call);
        return 1;
    }

    const Vector3 savedNormal = state->normal;
    const int distortion = eval(state, &params->distortionType);
    const float amount = eval(state, &params->distortionAmount);
    if (distortion == kDistortBump) {
        Vector3 bump = kZero;
        const Tag map = eval(state, &params->bumpMap);
        if (map) {
            MapRequest request{kMapBump, 0, 0};
            mapBump(&bump, state, &request, map);
        }
        const Vector3 n = unit(state->normal_geom + bump * amount);
        if (length(n) > 0.0f) state->normal = n;
        state->dot_nd = dot(state->normal, state->dir);
    }

    const float blur = eval(state, &params->blurOn) ? eval(state, &params->blur) : -1.0f;
    Vector3 dir = blur >= 0.0f ? reflectionDirection(state, blurShininess(blur, kBlurScale))
                               : reflectionDirection(state, 0.0f);
    if (distortion == kDistortNoise) {
        Vector3 p = state->point;
        if (const ShadingContext *ctx = threadContext(state))
            objectPoint(state, ctx, kContextSurface, &p);
        dir = unit(dir + mirrorNoiseOffsets(p, eval(state, &params->noiseSize), amount,
                                            eval(state, &params->noisePhase),
                                            eval(state, &params->noiseLevels)));
    }
    traceMarked(result, state, dir, kKindReflection, eval(state, &params->firstFrameOnly) ? 1 : 0);
    state->normal = savedNormal;
    reflectCallEnd(state, call);
    return 1;
}

KOR_SHADER_INIT(kor_FlatMirror) {
    // instance calls are asked for so that each instance gets its exit,
    // which releases the threads' records
    if (!params) {
        noiseInit(state);
        if (request) *request = 1;
    }
}

KOR_SHADER_EXIT(kor_FlatMirror) {
    for_each_thread_block(state, [](void *block) {
        auto *t = static_cast<MirrorThread *>(block);
        if (t->ready) contextRelease(&t->context);
        zo_mem_int_release(kModule, __LINE__, t);
    });
    (void)params;
}
