// Fog: a volume shader on eye and transparency rays that blends the ray's
// colour toward a fog colour and lowers its transparency, either by camera
// depth (standard fog, with a linear or exponential ramp over the scene's
// environment range) or by the path through a horizontal slab of the world
// (layered fog, thinning toward the top or the bottom or uniform, with
// optional noise near the horizon). A colour map may replace the fog colour
// and an opacity map gives the fog a density per channel.
#include "atm_fog.h"

#include <math.h>
#include <string.h>

#include "kor_memo.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "scenedata.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "atm_fog";
constexpr float kMissDistance = 1.0e9f;

float exponentialValue(float amount) {
    float x = 1.0f - amount;
    if (x < 0.001f) x = 0.001f;
    return -logf(x);
}

// The instance's record, as the host answered it before on this thread.
kor::ShaderMemo fogMemo;

FogRecord *fetchRecord(RenderState *state) {
    return static_cast<FogRecord *>(kor::memoUser(fogMemo, state));
}

void releaseRecord(void **slot) {
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

// Camera depth |z| of an internal-space point.
float cameraDepth(RenderState *state, const Vector3 &p) {
    Vector3 c;
    zo_point_to_camera(&c, state, &p);
    return fabsf(c.z);
}

// What the standard exponential fog last worked out on a render thread:
// the depth ramp at a ray's origin (every eye ray of a pinhole camera
// starts at one point) and the last e^x (rays that miss, and hits beyond
// the range end, all fog by the far value). Kept for one record and one
// camera frame, and trusted while no fog instance has been initialised or
// exited since (kor_memo.h).
struct alignas(64) FogCache {
    const FogRecord *fog;
    const zoCamera *camera;
    uint32_t generation;
    int32_t frame;
    bool originSet, expSet;
    uint32_t origin[3];  // the origin's bits
    float originRamp;
    uint32_t expArgument;  // the argument's bits
    float expValue;
};

FogCache fogCaches[kor::kMemoThreads];

// The calling thread's cache, emptied when it was made for another record,
// camera or frame; null outside the render threads' range.
FogCache *fogCache(RenderState *state, const FogRecord *fog) {
    const uint32_t thread = static_cast<uint32_t>(state->thread);
    if (thread >= static_cast<uint32_t>(kor::kMemoThreads)) return nullptr;
    FogCache &c = fogCaches[thread];
    const uint32_t generation = kor::memo_generation();
    const int32_t frame = state->camera ? state->camera->frame : 0;
    if (c.fog != fog || c.camera != state->camera || c.generation != generation ||
        c.frame != frame) {
        c.fog = fog;
        c.camera = state->camera;
        c.generation = generation;
        c.frame = frame;
        c.originSet = c.expSet = false;
    }
    return &c;
}

// The depth ramp at the ray's origin.
float originRamp(RenderState *state, const FogRecord &fog, FogCache *cache) {
    uint32_t bits[3];
    memcpy(bits, &state->org, sizeof bits);
    if (cache && cache->originSet && memcmp(bits, cache->origin, sizeof bits) == 0)
        return cache->originRamp;
    const float ramp = kor::fogDepthRamp(fog, cameraDepth(state, state->org));
    if (cache) {
        memcpy(cache->origin, bits, sizeof bits);
        cache->originRamp = ramp;
        cache->originSet = true;
    }
    return ramp;
}

// e^x, from the cache when x is the argument of the last call.
float cachedExp(float x, FogCache *cache) {
    uint32_t bits;
    memcpy(&bits, &x, sizeof bits);
    if (cache && cache->expSet && cache->expArgument == bits) return cache->expValue;
    const float value = expf(x);
    if (cache) {
        cache->expArgument = bits;
        cache->expValue = value;
        cache->expSet = true;
    }
    return value;
}

float slabCurve(float x) {
    return x + x * x * (1.0f - x);
}

// The layered fog along the ray: false when the ray misses the slab.
// Otherwise *exponent is the (negative) optical depth, before the horizon
// noise.
bool layeredExponent(RenderState *state, const FogRecord &fog, int falloff, Vector3 *dirOut,
                     float *exponent) {
    Vector3 p0, d, p1;
    zo_point_to_world(&p0, state, &state->org);
    zo_vector_to_world(&d, state, &state->dir);
    if (state->dist > 0.0) {
        zo_point_to_world(&p1, state, &state->point);
    } else {
        p1 = p0 + d * kMissDistance;
    }
    *dirOut = d;
    const float zLow = p0.z < p1.z ? p0.z : p1.z;
    const float zHigh = p0.z < p1.z ? p1.z : p0.z;
    if (zHigh < fog.bottom || zLow > fog.top) return false;
    if (!(fog.thickness > 0.0f)) return false;  // a slab without height holds no fog
    float integral = 1.0f, path = 1.0f;
    if (zLow != zHigh) {
        const float h = zHigh - zLow;
        const float dx = p1.x - p0.x, dy = p1.y - p0.y;
        const float L = sqrtf(dx * dx + dy * dy);
        float a = (zLow - fog.bottom) / fog.thickness;
        float b = (zHigh - fog.bottom) / fog.thickness;
        if (a < 0.0f) a = 0.0f;
        if (b > 1.0f) b = 1.0f;
        switch (falloff) {
            case kFogThinTop: integral = slabCurve(b) - slabCurve(a); break;
            case kFogThinBottom: integral = slabCurve(1.0f - a) - slabCurve(1.0f - b); break;
            default: integral = b - a; break;
        }
        path = L / h;
    }
    *exponent = -fog.density * integral * path;
    return true;
}

// The horizon noise factor by which the fog amount is scaled.
float horizonFactor(const FogParams &p, const FogRecord &fog, const Vector3 &d) {
    float s = d.z;
    if (s > 1.0f) s = 1.0f;
    if (s < -1.0f) s = -1.0f;
    const float e = fabsf(asinf(s));
    if (!(e < p.noiseAngle)) return 1.0f;
    const float r = e / p.noiseAngle;
    const Vector3 q = {atan2f(d.y, d.x) * fog.noiseFrequency, e * fog.noiseFrequency - p.noisePhase,
                       p.noisePhase};
    float n = 1.0f + kor::noise3(q);
    if (n > 1.0f) n = 1.0f;
    return r * (1.0f - (1.0f - r) * n);
}

}  // namespace

namespace kor {

float fogDepthRamp(const FogRecord &fog, float d) {
    if (d < fog.rangeStart) return fog.nearValue;
    if (d > fog.rangeEnd) return fog.farValue;
    return fog.nearValue + (d - fog.rangeStart) * fog.slope;
}

}  // namespace kor

namespace {

// The fog on a ray that it applies to (see kor_Fog); kept out of the entry
// so that the rays the fog leaves alone return at once.
__attribute__((noinline)) zoBoolean fogRay(Color *result, RenderState *state, const FogParams &p,
                                           bool hit) {
    const FogRecord *fog = fetchRecord(state);
    if (!fog) return 1;

    // the fog colour and the opacity (a failed map call gives black)
    Color F = p.fogColor;
    if (fog->colorMapActive) {
        F = kor::kBlack;
        kor::mapColor(&F, state, nullptr, p.colorMap);
    }
    Color O = kor::kBlack;
    if (fog->opacityMapActive) kor::mapColor(&O, state, nullptr, p.opacityMap);

    const bool layered = p.fogType != 0;
    if (layered && state->camera && state->camera->orthographic) return 1;

    // The fog amount f, or with the opacity map the exponent x of its
    // per-channel form.
    float f = 0.0f, x = 0.0f;
    bool perChannelExponent = false;  // with the opacity map: fk = 1 - e^(x Ok)
    if (!layered) {
        const float q1 =
            hit ? kor::fogDepthRamp(*fog, cameraDepth(state, state->point)) : fog->farValue;
        if (!p.exponential) {
            f = q1 < 1.0f ? q1 : 1.0f;
        } else {
            FogCache *cache = fogCache(state, fog);
            const float q0 = originRamp(state, *fog, cache);
            if (fog->opacityMapActive) {
                x = q0 - q1;
                perChannelExponent = true;
            } else {
                f = 1.0f - cachedExp(q0 - q1, cache);
            }
        }
    } else {
        Vector3 d;
        float exponent = 0.0f;
        if (!layeredExponent(state, *fog, p.falloff, &d, &exponent)) return 1;
        const float noise = p.horizonNoise ? horizonFactor(p, *fog, d) : 1.0f;
        if (fog->opacityMapActive) {
            x = exponent * noise;
            perChannelExponent = true;
        } else {
            f = (1.0f - expf(exponent)) * noise;
        }
    }

    const float t = 1.0f - result->a;
    if (!fog->opacityMapActive) {
        // one amount for every channel: the transparency stays grey. The
        // colour is blended in four lanes, each with the scalar operations
        // c + (F - c) f; the alpha lane's result gives way to the new alpha.
        const __m128 c = kor::colourLanes(*result);
        const __m128 mixed =
            _mm_add_ps(c, _mm_mul_ps(_mm_sub_ps(kor::colourLanes(F), c), _mm_set1_ps(f)));
        _mm_storeu_ps(&result->r, kor::rgbWithAlphaLane(mixed, _mm_set1_ps(1.0f - t * (1.0f - f))));
        return 1;
    }
    float T[3] = {t, t, t};
    float *c[3] = {&result->r, &result->g, &result->b};
    const float Fc[3] = {F.r, F.g, F.b};
    const float Oc[3] = {O.r, O.g, O.b};
    for (int k = 0; k < 3; ++k) {
        if (perChannelExponent) {
            const float fk = 1.0f - expf(x * Oc[k]);
            *c[k] += (Fc[k] - *c[k]) * fk;
            T[k] *= 1.0f - fk;
        } else {
            *c[k] += (Fc[k] - *c[k]) * Oc[k] * f;
            T[k] *= (1.0f - Oc[k]) * (1.0f - f);
        }
    }
    result->a = kor::largest3(1.0f - T[0], 1.0f - T[1], 1.0f - T[2]);
    return 1;
}

}  // namespace

KOR_EXPORT zoBoolean kor_Fog(Color *result, RenderState *state, FogParams *params) {
    if (!result || !state || !params) return 1;
    const FogParams &p = *params;
    if (!p.on || (state->type != ZO_RAY_EYE && state->type != ZO_RAY_TRANSPARENT)) return 1;
    const bool hit = state->dist > 0.0;
    if (!hit && !p.fogBackground) return 1;
    return fogRay(result, state, p, hit);
}

KOR_SHADER_INIT(kor_Fog) {
    if (!params) {
        if (request) *request = 1;
        kor::noiseInit(state);
        return;
    }
    kor::memoForget();
    void **slot = kor::user_slot(state);
    if (!slot) return;
    releaseRecord(slot);  // a repeated init replaces the record
    auto *fog = static_cast<FogRecord *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(FogRecord)));
    if (!fog) return;
    auto *p = static_cast<FogParams *>(params);
    if (p->top < p->bottom) {
        const float top = p->top;
        p->top = p->bottom;
        p->bottom = top;
    }
    fog->colorMapActive = p->useColorMap && p->colorMap;
    fog->opacityMapActive = p->useOpacityMap && p->opacityMap;
    fog->nearValue = p->exponential ? exponentialValue(p->near) : p->near;
    fog->farValue = p->exponential ? exponentialValue(p->far) : p->far;
    fog->valueSpan = fog->farValue - fog->nearValue;
    fog->top = p->top;
    fog->bottom = p->bottom;
    fog->thickness = p->top - p->bottom;
    fog->density = p->density / 100.0f;
    fog->noiseFrequency = p->noiseSize > 0.0f ? 400.0f / p->noiseSize : p->noiseSize;
    const SceneData *scene = p->fogType == 0 ? GetSceneData(state) : nullptr;
    if (scene) {
        fog->rangeStart = scene->rangeNear;
        fog->rangeEnd = scene->rangeFar;
        fog->rangeSpan = fog->rangeEnd - fog->rangeStart;
        // an empty range is a step from the near to the far value
        fog->slope = fog->rangeSpan != 0.0f ? fog->valueSpan / fog->rangeSpan : 0.0f;
    } else {
        fog->rangeStart = fog->nearValue;
        fog->rangeEnd = fog->farValue;
        fog->rangeSpan = fog->rangeEnd - fog->rangeStart;
        fog->slope = 1.0f;
    }
    *slot = fog;
}

KOR_SHADER_EXIT(kor_Fog) {
    if (!params) return;
    kor::memoForget();
    releaseRecord(kor::user_slot(state));
}
