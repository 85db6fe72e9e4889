// The sky shaders: kor_TexturedSkylight gives a colour, a map blended over
// it or the scene environment in a direction; kor_IesSkylight gives the sky
// luminance of a clear, partly cloudy or overcast sky, normalised at init
// to the zenith luminance of the sun's altitude. Both answer only while
// the caller that gathers sky light holds "KEY_0", and both look along the
// parent state's ray.
#include <math.h>

#include "kor_sky.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "scenedata.h"

namespace {

constexpr const char *kModule = "kor_skylight";
constexpr float kPi = 3.14159265358979f;
constexpr float kStep = 0.08726647f;  // 5 degrees in radians
constexpr int kTableEntries = 19;     // 0 to 90 degrees

// Luminance-to-illuminance ratios by sun altitude (0, 5, ... 90 degrees).
const float kClearTable[kTableEntries] = {0.452f, 0.440f, 0.435f, 0.436f, 0.446f, 0.464f, 0.491f,
                                          0.530f, 0.581f, 0.648f, 0.734f, 0.844f, 0.985f, 1.165f,
                                          1.398f, 1.698f, 2.086f, 2.591f, 3.248f};
const float kPartlyCloudyTable[kTableEntries] = {
    0.632f, 0.636f, 0.644f, 0.656f, 0.672f, 0.694f, 0.723f, 0.758f, 0.802f, 0.854f,
    0.916f, 0.990f, 1.076f, 1.178f, 1.296f, 1.434f, 1.595f, 1.782f, 2.002f};

bool gathering(RenderState *state) {
    return zo_shaderstate_get(state, KOR_KEY_SKY_GATHER, nullptr) != nullptr;
}

// The direction the sky is asked about: the parent state's ray.
Vector3 lookDirection(const RenderState *state) {
    return state->parent ? state->parent->dir : state->dir;
}

// The table value at altitude alpha (radians), interpolated between steps.
float tableValue(const float *table, float alpha) {
    if (!(alpha > 0.0f)) alpha = 0.0f;
    if (alpha > kPi * 0.5f) alpha = kPi * 0.5f;
    int i = 1;
    while (i < kTableEntries - 1 && i * kStep < alpha) ++i;
    const float f = (i * kStep - alpha) / kStep;
    return (1.0f - f) * table[i] + f * table[i - 1];
}

IesSkyCache *fetchIesCache(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<IesSkyCache *>(*slot) : nullptr;
}

void releaseIesCache(void **slot) {
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

}  // namespace

namespace kor {

int iesSkyType(float skyCover) {
    if (skyCover < 0.35f) return kSkyClear;
    if (skyCover <= 0.75f) return kSkyPartlyCloudy;
    return kSkyOvercast;
}

void iesSkyConstants(IesSkyCache *cache) {
    cache->norm1 = cache->norm2 = 0.0f;
    float mu = dot(cache->sunDir, cache->zenith);
    if (!(mu >= -1.0f)) mu = -1.0f;  // NaN too
    if (mu > 1.0f) mu = 1.0f;

    float lz;
    switch (cache->skyType) {
        case kSkyClear: lz = mu < 0.0f ? 0.0f : 800.0f + 15500.0f * sqrtf(mu); break;
        case kSkyPartlyCloudy: lz = 300.0f + 45000.0f * mu; break;
        default: lz = 300.0f + 21000.0f * mu; break;
    }
    if (!(lz > 0.0f)) return;

    const float alpha = asinf(mu);
    float k;
    switch (cache->skyType) {
        case kSkyClear: k = tableValue(kClearTable, alpha) / kPi; break;
        case kSkyPartlyCloudy: k = tableValue(kPartlyCloudyTable, alpha) / kPi; break;
        default: k = 0.409f; break;
    }
    const float F = lz * k;
    if (!(alpha > 0.0f)) return;
    const float thetaS = kPi * 0.5f - alpha;
    switch (cache->skyType) {
        case kSkyClear: {
            const float c = fmaxf(cosf(thetaS), 0.0f);
            cache->norm1 = F / ((0.91f + 10.0f * expf(-3.0f * thetaS) + 0.45f * c * c) *
                                (1.0f - expf(-0.32f)));
            break;
        }
        case kSkyPartlyCloudy:
            cache->norm1 = F / ((0.526f + 5.0f * expf(-1.5f * thetaS)) * (1.0f - expf(-0.8f)));
            break;
        default:
            cache->norm1 = 0.864f * F / expf(-0.52f);
            cache->norm2 = 0.136f * F / (1.0f - expf(-0.52f));
            break;
    }
}

float iesSkyLuminance(const IesSkyCache &cache, const Vector3 &d) {
    const float len = length(d);
    const float up = dot(d, cache.zenith);
    if (!(len > 0.0f) || !(up > 0.0f)) return 0.0f;
    const float cosTheta = up / len;
    float cosGamma = dot(d, cache.sunDir) / len;
    if (!(cosGamma >= -1.0f)) cosGamma = -1.0f;
    if (cosGamma > 1.0f) cosGamma = 1.0f;
    const float gamma = acosf(cosGamma);
    switch (cache.skyType) {
        case kSkyClear:
            return cache.norm1 *
                   (0.91f + 10.0f * expf(-3.0f * gamma) + 0.45f * cosGamma * cosGamma) *
                   (1.0f - expf(-0.32f / cosTheta));
        case kSkyPartlyCloudy:
            return cache.norm1 * (0.526f + 5.0f * expf(-1.5f * gamma)) *
                   (1.0f - expf(-0.8f / cosTheta));
        default: {
            const float e = expf(-0.52f / cosTheta);
            return cache.norm1 * e + cache.norm2 * (1.0f - e);
        }
    }
}

}  // namespace kor

// ---------------------------------------------------------------------------
// kor_TexturedSkylight

KOR_EXPORT zoBoolean kor_TexturedSkylight(Color *result, RenderState *state,
                                          TexturedSkylightParams *params, void *) {
    if (!result) return 0;
    *result = kor::kBlack;
    if (!state || !params || !gathering(state)) return 0;
    if (!kor::eval(state, &params->on)) return 1;

    state->dir = lookDirection(state);
    Color c;
    if (kor::eval(state, &params->useEnvironment)) {
        c = kor::kBlack;
        if (state->type != ZO_RAY_ENVIRONMENT) {
            const Vector3 dir = state->dir;
            if (!zo_trace_environment(&c, state, &dir)) c = kor::kBlack;
        }
    } else {
        c = kor::eval(state, &params->color);
        const Tag map = kor::eval(state, &params->map);
        const float amount = kor::eval(state, &params->mapAmount);
        if (kor::eval(state, &params->mapOn) && map && amount != 0.0f) {
            kor::MapRequest request = {kor::kMapColor, 2, 0};
            Color m;
            if (zo_call_shader_x(&m, ZO_SHADER_MAP, state, map, &request)) {
                const float w = amount / 100.0f;
                c.r += w * (m.r - c.r);
                c.g += w * (m.g - c.g);
                c.b += w * (m.b - c.b);
            }
        }
    }
    const float multiplier = kor::eval(state, &params->multiplier);
    c.r *= multiplier;
    c.g *= multiplier;
    c.b *= multiplier;
    *result = c;
    return 1;
}

// ---------------------------------------------------------------------------
// kor_IesSkylight

KOR_EXPORT zoBoolean kor_IesSkylight(Color *result, RenderState *state, IesSkylightParams *params,
                                     void *) {
    if (!result) return 0;
    *result = kor::kBlack;
    if (!state || !params || !gathering(state)) return 0;
    const IesSkyCache *cache = fetchIesCache(state);
    if (!cache || !cache->on) return 1;

    const Vector3 parentDir = lookDirection(state);
    Vector3 d;
    zo_vector_to_world(&d, state, &parentDir);
    const float L = kor::iesSkyLuminance(*cache, d);
    const Color color = kor::eval(state, &params->color);
    const float s = L * kPi / cache->scale * kor::eval(state, &params->multiplier);
    *result = Color{color.r * s, color.g * s, color.b * s, 1.0f};
    return 1;
}

KOR_SHADER_INIT(kor_IesSkylight) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    auto *p = static_cast<IesSkylightParams *>(params);
    void **slot = kor::user_slot(state);
    if (!slot) return;
    releaseIesCache(slot);  // a repeated init replaces the cache
    auto *cache =
        static_cast<IesSkyCache *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(IesSkyCache)));
    if (!cache) return;
    *cache = IesSkyCache{};
    cache->on = kor::eval(state, &p->on) ? 1 : 0;
    cache->skyType = kor::iesSkyType(kor::eval(state, &p->skyCover));
    cache->zenith = Vector3{0.0f, 0.0f, 1.0f};
    const SceneData *scene = GetSceneData(state);
    cache->scale =
        scene && scene->physicalScale != 0.0f ? scene->physicalScale : kor::kDefaultPhysicalScale;
    const zoLightRecord *light = nullptr;
    if (zo_query(ZO_Q_LIGHT_INSTANCE_RECORD, state, state ? state->light_instance : 0, &light) &&
        light) {
        Vector3 world;
        zo_vector_from_light(&world, state, &light->direction);
        cache->sunDir = kor::unit(world);
    }
    kor::iesSkyConstants(cache);
    *slot = cache;
}

KOR_SHADER_EXIT(kor_IesSkylight) {
    if (!params) return;
    releaseIesCache(kor::user_slot(state));
}
