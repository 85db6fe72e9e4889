// kor_PhysicalSun: a parallel light whose colour is divided by the scene's
// physical scale. Each light sample applies the exclusion list, the N.L
// test (a grazing point is unlit), the "KEY_5" record for the material, the
// light report and a shadow whose density scales the light it takes away.
// Photons leave from the top of the scene box; the volume light marches
// through the box, sampling the sun at each step.
#include <math.h>
#include <string.h>

#include "kor_sky.h"
#include "kor_vector.h"
#include "scenedata.h"

namespace {

constexpr const char *kModule = "kor_physsun";
constexpr int kMaxSamplesPerStep = 1024;

SunCache *fetchCache(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<SunCache *>(*slot) : nullptr;
}

bool isPhotonEmission(const RenderState *state) {
    return state->type == ZO_PHOTON_LIGHT || state->type == ZO_PHOTON_EMIT_GLOBILLUM ||
           state->type == ZO_PHOTON_EMIT_CAUSTIC;
}

bool excluded(RenderState *state, const SunCache &cache) {
    if (cache.excludeCount <= 0 || !cache.excludeFirst) return false;
    const NodeData *node = GetNodeData(state->instance);
    if (!node) return false;
    const int index = node->nodeIndex;
    return index >= 0 && index < cache.excludeCount && cache.excludeFirst[index] != 0;
}

float halfWidth(float a, float b) {
    const float w = fmaxf(fabsf(a), fabsf(b));
    return w == 0.0f ? 0.0001f : w * 1.01f;
}

// One photon from a point of the top of the box, straight down the light.
void emitSunPhoton(RenderState *state, const SunCache &cache, const Color &energy) {
    int counter = 0;
    double sample[2] = {0.0, 0.0};
    zo_sample(sample, &counter, state, 2, nullptr);
    const float u = static_cast<float>(sample[0]), w = static_cast<float>(sample[1]);
    const Vector3 origin = {cache.boxMin.x + u * (cache.boxMax.x - cache.boxMin.x),
                            cache.boxMin.y + w * (cache.boxMax.y - cache.boxMin.y),
                            cache.emitHeight};
    const Vector3 down = {0.0f, 0.0f, -1.0f};
    Vector3 o, d;
    zo_point_from_light(&o, state, &origin);
    zo_vector_from_light(&d, state, &down);
    state->org = o;
    state->dir = kor::unit(d);
    state->ior = 1.0f;
    state->ior_in = 1.0f;
    Color e = energy;
    zo_photon_light(&e, state);
}

// Clips the light-space ray o + t d to the slab lo..hi of one axis.
bool clipSlab(float o, float d, float lo, float hi, double *t0, double *t1) {
    if (d == 0.0f) return o >= lo && o <= hi;
    double a = (double(lo) - o) / d, b = (double(hi) - o) / d;
    if (a > b) {
        const double t = a;
        a = b;
        b = t;
    }
    if (a > *t0) *t0 = a;
    if (b < *t1) *t1 = b;
    return *t0 <= *t1;
}

bool boxIntersect(const SunCache &cache, const Vector3 &o, const Vector3 &d, float *entry,
                  float *exit) {
    double t0 = -1.0e30, t1 = 1.0e30;
    const Vector3 &a = cache.boxMin, &b = cache.boxMax;
    if (!clipSlab(o.x, d.x, fminf(a.x, b.x), fmaxf(a.x, b.x), &t0, &t1) ||
        !clipSlab(o.y, d.y, fminf(a.y, b.y), fmaxf(a.y, b.y), &t0, &t1) ||
        !clipSlab(o.z, d.z, fminf(a.z, b.z), fmaxf(a.z, b.z), &t0, &t1))
        return false;
    *entry = static_cast<float>(t0);
    *exit = static_cast<float>(t1);
    return true;
}

bool sameVector(const Vector3 &a, const Vector3 &b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

// The volume light's march through the scene box.
zoBoolean sunMarch(Color *accumulator, RenderState *state, const SunCache &cache,
                   const VolumeMarchRequest *request) {
    const VolumeMarchParams *march = request->march;
    if (!march || !march->callback) return 1;
    VolumeStepCallback callback = march->callback;
    const Tag sun = request->light ? request->light : state->light_instance;

    // the ray in light space (a request whose two rays agree is in world space)
    Vector3 o = request->origin, d = request->direction;
    if (sameVector(o, request->worldOrigin) && sameVector(d, request->worldDirection)) {
        const Tag light = state->light_instance;
        state->light_instance = sun;
        zo_point_to_light(&o, state, &request->worldOrigin);
        zo_vector_to_light(&d, state, &request->worldDirection);
        state->light_instance = light;
    }
    const zoRay ray = {request->worldOrigin, request->worldDirection};
    const float maxDistance = request->maxDistance;

    float entry = 0.0f, exit = 0.0f;
    if (!boxIntersect(cache, o, d, &entry, &exit) || exit < 0.0f || entry > maxDistance) {
        const Color black = kor::kBlack;
        callback(accumulator, request->volumeParams, march, &ray, 0.0f, maxDistance, &black, 1.0f);
        return 1;
    }
    if (entry < 0.0f) entry = 0.0f;
    if (exit > maxDistance) exit = maxDistance;
    const int steps = march->steps > 0 ? march->steps : 1;
    float step = (exit - entry) / steps;
    if (!(step >= 0.0001f)) step = 0.0001f;

    const Vector3 statePoint = state->point;
    const Tag stateLight = state->light_instance;
    const int32_t stateMarch = state->march;
    bool going = true;
    long taken = 0;
    float t0 = entry;
    while (going && t0 < exit && taken++ <= steps) {
        float t1 = t0 + step;
        if (t1 > exit - 1e-3f * step || t1 <= t0) t1 = exit;
        const float tm = 0.5f * (t0 + t1);
        state->point = request->worldOrigin + request->worldDirection * tm;
        state->march = 0;
        state->light_instance = sun;
        Color sum = kor::kBlack, c;
        Vector3 dir;
        float dotNL = 0.0f;
        int samples = 0, returned = 0;
        for (;;) {
            c = kor::kBlack;
            if (!zo_sample_light(&c, &dir, &dotNL, state, sun, &samples)) break;
            sum.r += c.r, sum.g += c.g, sum.b += c.b, sum.a += c.a;
            if (++returned >= kMaxSamplesPerStep) break;
        }
        state->march = stateMarch;
        state->light_instance = stateLight;
        Color sample = kor::kBlack;
        if (returned > 0) {
            const float w = 1.0f / returned;
            sample = Color{sum.r * w, sum.g * w, sum.b * w, sum.a * w};
        }
        going =
            callback(accumulator, request->volumeParams, march, &ray, t0, t1, &sample, 1.0f) != 0;
        t0 = t1;
    }
    state->point = statePoint;
    return 1;
}

void releaseCache(void **slot) {
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

}  // namespace

KOR_EXPORT zoBoolean kor_PhysicalSun(Color *result, RenderState *state, PhysicalSunParams *params,
                                     VolumeMarchRequest *request) {
    if (!result || !state || !params) return 0;
    const SunCache *cache = fetchCache(state);
    if (!cache || !cache->on || cache->isBlack) return 0;

    if (request) {
        if (!(state->type == ZO_RAY_LIGHT && !cache->atmosphereShadows))
            sunMarch(result, state, *cache, request);
        return 1;
    }
    if (isPhotonEmission(state)) {
        emitSunPhoton(state, *cache, *result);
        return 1;
    }
    *result = cache->color;
    if (state->type != ZO_RAY_LIGHT) return 1;

    VolumeSampleRecord *record = nullptr;
    if (kor::volumeQueryMode(state, &record)) {
        if (record) record->attenuation = 1.0f;
    } else {
        if (excluded(state, *cache)) return 0;
        if (!(state->dot_nd > 0.0f)) return 0;
        kor::fillLightIllum(state, kor::diffuseCurve(cache->curve, cache->contrast, state->dot_nd),
                            false, cache->affectBits);
        kor::lightReport(state, cache->affectBits, false, nullptr);
    }

    if (cache->shadowOn && kor::shadowsEnabled(state)) {
        const Color L = cache->color;
        if (!zo_trace_shadow(result, state)) *result = kor::kBlack;
        const float lit = L.r + L.g + L.b;
        const float f = lit != 0.0f ? (result->r + result->g + result->b) / lit : 1.0f;
        if (fabsf(f - 1.0f) > 1e-6f) {
            const float s = cache->shadowDensity * (1.0f - f);
            if (s >= 0.0f && s <= 1.0f) {
                *result = Color{L.r * (1.0f - s), L.g * (1.0f - s), L.b * (1.0f - s), L.a};
            } else {
                *result = Color{0.0f, 0.0f, 0.0f, L.a};
            }
        }
    }
    result->a =
        cache->atmosphereShadows ? cache->atmosphereOpacity * cache->atmosphereColorAmount : 0.0f;
    return 1;
}

KOR_SHADER_INIT(kor_PhysicalSun) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    auto *p = static_cast<PhysicalSunParams *>(params);
    void **slot = kor::user_slot(state);
    if (!slot) return;
    releaseCache(slot);  // a repeated init replaces the cache
    auto *cache = static_cast<SunCache *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(SunCache)));
    if (!cache) return;
    memset(cache, 0, sizeof *cache);

    Color tint = kor::kBlack;  // without scene data the sun gives no light
    float scale = kor::kDefaultPhysicalScale;
    if (const SceneData *scene = GetSceneData(state)) {
        tint = scene->lightTint;
        if (scene->physicalScale != 0.0f) scale = scene->physicalScale;
    }
    const Color color = kor::eval(state, &p->color);
    const float k = kor::eval(state, &p->multiplier) / scale;
    cache->color = Color{color.r * k * tint.r, color.g * k * tint.g, color.b * k * tint.b, 1.0f};
    cache->isBlack = cache->color.r == 0.0f && cache->color.g == 0.0f && cache->color.b == 0.0f;
    cache->on = kor::eval(state, &p->on) ? 1 : 0;
    cache->affectBits = (kor::eval(state, &p->affectDiffuse) ? kAffectDiffuse : 0) |
                        (kor::eval(state, &p->affectSpecular) ? kAffectSpecular : 0);
    cache->shadowOn = kor::eval(state, &p->shadowOn) ? 1 : 0;
    cache->shadowDensity = kor::eval(state, &p->shadowDensity);
    cache->contrast = kor::eval(state, &p->contrast);
    kor::contrastCoefficients(cache->contrast, &cache->curve.contrastA, &cache->curve.contrastB);
    cache->curve.soften = kor::eval(state, &p->softenDiffuseEdge) / 100.0f;
    cache->atmosphereShadows = cache->shadowOn && kor::eval(state, &p->atmosphereShadows);
    cache->atmosphereOpacity = kor::eval(state, &p->atmosphereOpacity);
    cache->atmosphereColorAmount = kor::eval(state, &p->atmosphereColorAmount);
    cache->boxMin = kor::eval(state, &p->boxMin);
    cache->boxMax = kor::eval(state, &p->boxMax);
    cache->halfWidthX = halfWidth(cache->boxMin.x, cache->boxMax.x);
    cache->halfWidthY = halfWidth(cache->boxMin.y, cache->boxMax.y);
    cache->emitHeight = cache->boxMax.z + 0.0001f;
    const kor::ParamArray<zoBoolean> &list = kor::eval(state, &p->excludeList);
    if (list.count > 0 && list.start >= 0) {
        cache->excludeCount = list.count;
        cache->excludeFirst = &list[list.start];
    }
    *slot = cache;
}

KOR_SHADER_EXIT(kor_PhysicalSun) {
    if (!params) return;
    releaseCache(kor::user_slot(state));
}
