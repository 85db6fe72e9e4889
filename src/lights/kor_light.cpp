// The standard lights: the default light, the omni (point) light, the spot
// light with its cone and the directional light with its parallel beam.
// Each light's init builds a cache of its scaled colour, diffuse-curve
// coefficients, beam shape and volume-march entries in the instance slot;
// each sample applies the exclusion list, the N.L test, the record for the
// material ("KEY_5"), the light report, near/far ranges and decay, the
// beam, the projector map and the shadow with its colour and density.
#include "kor_light.h"

#include <math.h>

#include "kor_support.h"
#include "kor_vector.h"

namespace {

constexpr const char *kModule = "kor_light";
constexpr float kPi = 3.14159265358979f;
constexpr float kDegToRad = kPi / 180.0f;
constexpr int kMaxPhotonTries = 64;  // draws before a beam that admits nothing gives up

const Color kWhite = {1.0f, 1.0f, 1.0f, 1.0f};

// The caches of the light instances by the host's record of the running
// instance (the state's shader record). A cache is made at the instance's
// init and released at its exit, and neither changes in between, so a
// sample finds its cache here instead of asking the host for the instance's
// user pointer. An entry holds the record and the parameter record the
// record named at init: a record that was freed without an exit and whose
// memory came back for another instance does not find the old cache.
// Entries are probed from the record's hash; a record the table does not
// hold (no record, or no room) is looked up through the host. Inits and
// exits write the table, samples only read it.
struct alignas(32) KeptCache {  // a power of two in size: a slot is found by a shift
    const zoShaderRecord *record;
    const void *params;
    LightCache *cache;
};
static_assert(sizeof(KeptCache) == 32, "kept cache entries are 32 bytes");
constexpr int kKeptCaches = 256;  // a power of two
constexpr int kKeptProbes = 8;
KeptCache gKept[kKeptCaches];

int keptSlot(const zoShaderRecord *record, int probe) {
    const uint64_t h =
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record)) * 0x9E3779B97F4A7C15ull;
    return static_cast<int>((h >> 32) + static_cast<uint64_t>(probe)) & (kKeptCaches - 1);
}

__attribute__((always_inline)) inline LightCache *keptCache(const RenderState *state) {
    const zoShaderRecord *record = state->shader;
    if (!record) return nullptr;
    for (int i = 0; i < kKeptProbes; ++i) {
        KeptCache &k = gKept[keptSlot(record, i)];
        if (__atomic_load_n(&k.record, __ATOMIC_ACQUIRE) != record) continue;
        LightCache *cache = __atomic_load_n(&k.cache, __ATOMIC_ACQUIRE);
        return __atomic_load_n(&k.params, __ATOMIC_ACQUIRE) == record->params ? cache : nullptr;
    }
    return nullptr;
}

// Keeps `cache` for the running instance; null forgets the instance.
void keepCache(const RenderState *state, LightCache *cache) {
    const zoShaderRecord *record = state ? state->shader : nullptr;
    if (!record) return;
    for (int i = 0; i < kKeptProbes; ++i) {
        KeptCache &k = gKept[keptSlot(record, i)];
        if (__atomic_load_n(&k.record, __ATOMIC_ACQUIRE) != record) continue;
        __atomic_store_n(&k.cache, nullptr, __ATOMIC_RELEASE);
        if (!cache) {
            __atomic_store_n(&k.record, nullptr, __ATOMIC_RELEASE);
            return;
        }
        __atomic_store_n(&k.params, record->params, __ATOMIC_RELEASE);
        __atomic_store_n(&k.cache, cache, __ATOMIC_RELEASE);
        return;
    }
    if (!cache) return;
    for (int i = 0; i < kKeptProbes; ++i) {
        KeptCache &k = gKept[keptSlot(record, i)];
        const zoShaderRecord *empty = nullptr;
        // the record is claimed first: until the cache is stored a sample
        // finds none and asks the host
        if (__atomic_compare_exchange_n(&k.record, &empty, record, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            __atomic_store_n(&k.params, record->params, __ATOMIC_RELEASE);
            __atomic_store_n(&k.cache, cache, __ATOMIC_RELEASE);
            return;
        }
    }
}

__attribute__((always_inline)) inline LightCache *fetchCache(RenderState *state) {
    if (LightCache *kept = keptCache(state)) return kept;
    void **slot = kor::user_slot(state);
    return slot ? static_cast<LightCache *>(*slot) : nullptr;
}

bool isPhotonEmission(const RenderState *state) {
    return state->type == ZO_PHOTON_LIGHT || state->type == ZO_PHOTON_EMIT_GLOBILLUM ||
           state->type == ZO_PHOTON_EMIT_CAUSTIC;
}

Color scaled(const Color &c, float s) {
    return Color{c.r * s, c.g * s, c.b * s, c.a};
}
Color modulate(const Color &a, const Color &b) {
    return Color{a.r * b.r, a.g * b.g, a.b * b.b, a.a};
}

// ---------------------------------------------------------------------------
// Per-kind access to the beam fields (the omni record has none).

template <class P>
bool overshootOf(const P &) {
    return false;
}
template <>
bool overshootOf<SpotLightParams>(const SpotLightParams &p) {
    return p.overshoot != 0;
}

template <class P>
kor::LightRanges rangesOf(const P &p) {
    return kor::LightRanges{p.useNearAtten != 0, p.nearAttenStart, p.nearAttenEnd,
                            p.useFarAtten != 0,  p.farAttenStart,  p.farAttenEnd,
                            p.decayStart,        p.shadowOn != 0,  p.atmosphereShadows != 0};
}

// Map coordinates of a light-space point for the light's kind.
bool mapCoords(int kind, const LightCache *cache, const Vector3 &p, float *u, float *v) {
    switch (kind) {
        case kLightSpot: return kor::spotMapCoords(cache->beam, p, u, v);
        case kLightDirectional: return kor::parallelMapCoords(cache->beam, p, u, v);
        default: return kor::omniMapCoords(p, u, v);
    }
}

// ---------------------------------------------------------------------------
// Photon emission: one photon per call from the light's origin (or, for the
// directional light, from a point of its cross-section).

template <class P>
void emitLightPhoton(int kind, RenderState *state, const LightCache *cache, const P &params,
                     const Color &energy) {
    int counter = 0;
    double sample[2] = {0.0, 0.0};
    Vector3 origin = kor::kZero, direction = {0.0f, 0.0f, -1.0f};
    float weight = 1.0f;
    if (kind == kLightOmni) {
        zo_sample(sample, &counter, state, 2, nullptr);
        const float u = static_cast<float>(sample[0]), w = static_cast<float>(sample[1]);
        const float z = 1.0f - 2.0f * u;
        const float r = sqrtf(fmaxf(0.0f, 1.0f - z * z));
        direction = {cosf(2.0f * kPi * w) * r, sinf(2.0f * kPi * w) * r, z};
    } else {
        const BeamShape *beam = cache->beam;
        if (!beam) return;
        weight = 0.0f;
        for (int tries = 0; tries < kMaxPhotonTries && !(weight > 0.0f); ++tries) {
            zo_sample(sample, &counter, state, 2, nullptr);
            const float u = static_cast<float>(sample[0]), w = static_cast<float>(sample[1]);
            zoBoolean castsShadow = 0;
            if (kind == kLightSpot) {
                const float z = u * (1.0f - cache->cosBound) - 1.0f;
                const float r = sqrtf(fmaxf(0.0f, 1.0f - z * z));
                direction = {cosf(2.0f * kPi * w) * r, sinf(2.0f * kPi * w) * r, z};
                weight = beam->ops.attenuate(beam, &direction, -z, &castsShadow);
            } else {
                const float f = beam->falloff;
                if (beam->circular) {
                    const float s = sqrtf(u);
                    origin = {f * s * cosf(2.0f * kPi * w), f * s * sinf(2.0f * kPi * w), 0.0f};
                } else {
                    origin = {f * (2.0f * u - 1.0f), f * (2.0f * w - 1.0f) / beam->aspect, 0.0f};
                }
                weight = beam->ops.attenuate(beam, &origin, 1.0f, &castsShadow);
            }
        }
        if (!(weight > 0.0f)) return;
    }
    Color w = {weight, weight, weight, 1.0f};
    float u, v;
    const Vector3 &mapPoint = kind == kLightDirectional ? origin : direction;
    if (params.projectorOn && params.projectorMap && mapCoords(kind, cache, mapPoint, &u, &v))
        w = modulate(w, kor::evalLightMap(state, params.projectorMap, mapPoint, u, v));
    kor::emitPhoton(state, energy, w, origin, direction, &counter);
}

// ---------------------------------------------------------------------------
// The light sample of the omni, spot and directional lights.

// The sample past the tests of shadeLight, with its cache. `plain` is the
// copy for a cache whose record leaves off what LightCache::plain says.
template <int kind, bool surfaceRay, bool plain, class P>
__attribute__((always_inline)) inline zoBoolean shadeSample(Color *result, RenderState *state,
                                                            const P *params, LightCache *cache,
                                                            VolumeSampleRecord *record,
                                                            bool volumeMode) {
    constexpr bool omni = kind == kLightOmni;
    if (omni && state->dist == 0.0) return 0;

    const bool ambientOnly = !plain && params->ambientOnly != 0;
    const bool overshoot = overshootOf(*params);
    if (record && !record->point) record = nullptr;  // a record without a point: the state's

    Vector3 p;
    float d, factor, decayStart = params->decayStart;
    Color color;
    if (volumeMode) {
        color = Color{1.0f, 1.0f, 1.0f, 0.0f};
        if (record) {
            p = *record->point;
        } else {
            zo_point_to_light(&p, state, &state->point);
        }
        d = kor::length(p);
        if (omni && d == 0.0f) return 0;
        if (kind == kLightDirectional && p.z > 0.0f && !overshoot) return 0;
        if (record) {
            factor = kor::rangeFactor(d, params->useNearAtten, record->nearStart, record->nearEnd,
                                      params->useFarAtten, record->farStart, record->farEnd);
            record->attenuation = factor;
            decayStart = record->decayStart;
        } else {
            factor = kor::rangeFactor(d, params->useNearAtten, params->nearAttenStart,
                                      params->nearAttenEnd, params->useFarAtten,
                                      params->farAttenStart, params->farAttenEnd);
        }
    } else {
        if (!plain && kor::excludedByList(state, params->excludeList)) return 0;
        color = cache->color;
        if (!surfaceRay && !ambientOnly && state->dot_nd < 0.0f) return 0;
        zo_point_to_light(&p, state, &state->point);
        d = kor::length(p);
        if (omni && d == 0.0f) return 0;
        if (kind == kLightDirectional && p.z > 0.0f && !overshoot) return 0;
        float ndotl = 1.0f;
        if (!kor::lightNdotL(state, cache, ambientOnly, kind == kLightDirectional, p, d, &ndotl))
            return 0;
        kor::fillLightIllumTail(
            state,
            plain || cache->plainCurve ? ndotl : kor::diffuseCurve(*cache, params->contrast, ndotl),
            cache->illumTail);
        kor::lightReport(state, cache->affectBits, ambientOnly, nullptr);
        if (omni && !plain && cache->isBlack) {
            *result = cache->color;
            return 1;
        }
        factor = plain || cache->plainRange
                     ? 1.0f
                     : kor::rangeFactor(d, params->useNearAtten, params->nearAttenStart,
                                        params->nearAttenEnd, params->useFarAtten,
                                        params->farAttenStart, params->farAttenEnd);
    }
    if (omni && !plain && cache->isBlack) {
        *result = cache->color;
        return 1;
    }

    // without ranges and decay the factor is 1 in both modes
    if (!plain && !cache->plainRange) {
        factor = kor::applyDecay(factor, params->decayType, decayStart, d);
        if (factor == 0.0f) {
            *result = kor::kBlack;
            return 0;
        }
    }

    float beam = 1.0f;
    zoBoolean castsShadow = 1;
    if (!omni) {
        if (!cache->beam) {
            *result = kor::kBlack;
            return 0;
        }
        const float cosAngle = kind == kLightSpot && d > 0.0f ? -p.z / d : 1.0f;
        const BeamShape *shape = cache->beam;
        beam = kind == kLightSpot && shape->ops.attenuate == kor::coneAttenuate
                   ? kor::coneAttenuate(shape, &p, cosAngle, &castsShadow)
                   : shape->ops.attenuate(shape, &p, cosAngle, &castsShadow);
    }
    const float attenuation = beam * factor;
    if (attenuation == 0.0f) {
        *result = kor::kBlack;
        return 0;
    }

    float u = 0.0f, v = 0.0f;
    const bool haveCoords = !plain && cache->anyMap && mapCoords(kind, cache, p, &u, &v);
    if (haveCoords && params->projectorOn && params->projectorMap)
        color = modulate(color, kor::evalLightMap(state, params->projectorMap, p, u, v));
    if (attenuation != 1.0f) color = scaled(color, attenuation);

    if (castsShadow && cache->shadows && kor::shadowsEnabled(state)) {
        Color S = kWhite;
        if (!zo_trace_shadow(&S, state)) S = kor::kBlack;
        // a shadow map's colour is tested where it is read, the record's
        // colour once at init; the open ray is tested before the mix's
        // arguments are read
        if (haveCoords && params->shadowMapOn && params->shadowMap) {
            const Color K = kor::evalLightMap(state, params->shadowMap, p, u, v);
            color = kor::shadowMix(color, S, K, params->shadowDensity,
                                   params->lightAffectsShadowColor != 0,
                                   kor::shadowFinite(params->shadowDensity, K));
        } else if (!kor::shadowOpen(S, plain || cache->finiteShadow)) {
            color = kor::shadowMixBlocked(color, S, params->shadowColor, params->shadowDensity,
                                          params->lightAffectsShadowColor != 0);
        }
    }
    color.a = cache->alpha;
    *result = color;
    if (plain || !cache->keepVolume) state->volume = 0;
    return 1;
}

// The light's kind is a template argument: each light gets its own copy
// with the other kinds' branches folded away. `surfaceRay` is the copy for
// a light ray to a surface that sampleLight has let through: a result, a
// state and a record, the light on, no march request, not a volume query
// and, unless the light is ambient-only, a surface that faces the light.
template <int kind, bool surfaceRay, class P>
__attribute__((noinline)) zoBoolean shadeLight(Color *result, RenderState *state, const P *params,
                                               const VolumeMarchRequest *request) {
    constexpr bool omni = kind == kLightOmni;
    VolumeSampleRecord *record = nullptr;
    bool volumeMode = false;
    LightCache *cache;
    if (surfaceRay) {
        cache = fetchCache(state);
        if (!cache) return 0;
        if (!omni && cache->isBlack) return 0;
    } else {
        if (!result || !state || !params) return 0;
        if (!params->on) return 0;
        cache = omni ? nullptr : fetchCache(state);
        if (!omni && !cache) return 0;

        // a light ray is the common case, and never a photon emission
        if (state->type != ZO_RAY_LIGHT && isPhotonEmission(state)) {
            if (omni) cache = fetchCache(state);
            if (cache) emitLightPhoton(kind, state, cache, *params, *result);
            return 1;
        }
        if (!omni && cache->isBlack) return 0;
        if (request) {
            if (omni) cache = fetchCache(state);
            if (!cache) return 0;
            return kor::volumeMarch(result, state, cache, rangesOf(*params), request);
        }
        if (omni) {
            cache = fetchCache(state);
            if (!cache) return 0;
        }
        if (state->type != ZO_RAY_LIGHT) {
            *result = cache->color;
            return 1;
        }
        volumeMode = kor::volumeQueryMode(state, &record);
    }
    if (surfaceRay && cache->plain)
        return shadeSample<kind, true, true>(result, state, params, cache, record, volumeMode);
    return shadeSample<kind, surfaceRay, false>(result, state, params, cache, record, volumeMode);
}

// The sample as the exports run it: a light ray to a surface that faces
// away is told here, before the sample's own frame is set up, and ends with
// nothing, as every test before that one in shadeLight also would; the
// other light rays to a surface take the copy that skips the tests made
// here, and everything else the general one.
template <int kind, class P>
__attribute__((always_inline)) inline zoBoolean sampleLight(Color *result, RenderState *state,
                                                            const P *params,
                                                            const VolumeMarchRequest *request) {
    if (result && state && params && !request && params->on && state->type == ZO_RAY_LIGHT &&
        kor::surelyNotVolumeQuery(state)) {
        if (!params->ambientOnly && state->dot_nd < 0.0f) return 0;
        return shadeLight<kind, true>(result, state, params, nullptr);
    }
    return shadeLight<kind, false>(result, state, params, request);
}

// ---------------------------------------------------------------------------
// Init and exit.

void releaseCache(RenderState *state, void **slot) {
    if (!slot || !*slot) return;
    keepCache(state, nullptr);
    auto *cache = static_cast<LightCache *>(*slot);
    kor::destroyBeamShape(cache->beam);
    zo_mem_int_release(kModule, __LINE__, cache);
    *slot = nullptr;
}

template <class P>
LightCache *newCache(RenderState *state, const P *params) {
    void **slot = kor::user_slot(state);
    if (!slot) return nullptr;
    releaseCache(state, slot);  // a repeated init replaces the cache
    auto *cache =
        static_cast<LightCache *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(LightCache)));
    if (!cache) return nullptr;
    kor::initLightColor(cache, state, params->color, params->multiplier);
    kor::contrastCoefficients(params->contrast, &cache->contrastA, &cache->contrastB);
    cache->soften = params->softenDiffuseEdge / 100.0f;
    cache->affectBits = (params->affectDiffuse ? kAffectDiffuse : 0) |
                        (params->affectSpecular ? kAffectSpecular : 0);
    cache->plainRange = !params->useNearAtten && !params->useFarAtten && params->decayType == 0;
    cache->anyMap =
        (params->projectorOn && params->projectorMap) || (params->shadowMapOn && params->shadowMap);
    cache->shadows = params->shadowOn && !params->ambientOnly;
    cache->finiteShadow = kor::shadowFinite(params->shadowDensity, params->shadowColor);
    cache->alpha = params->atmosphereShadows
                       ? params->atmosphereOpacity * params->atmosphereColorAmount
                       : 0.0f;
    cache->keepVolume = params->shadowOn && params->atmosphereShadows;
    cache->illumTail = kor::illumTail(params->ambientOnly != 0, cache->affectBits);
    cache->plainCurve = cache->soften == 0.0f && params->contrast == 0.0f;
    const bool excludes = params->excludeList.count > 0 && params->excludeList.start >= 0;
    cache->plain = !params->ambientOnly && !excludes && !cache->isBlack && cache->plainCurve &&
                   cache->plainRange && !cache->anyMap && cache->finiteShadow && !cache->keepVolume;
    *slot = cache;
    keepCache(state, cache);
    return cache;
}

float spotBoundCosine(const SpotLightParams &p) {
    const float hf = p.falloff * kDegToRad * 0.5f;
    if (p.circular) return cosf(hf);
    const float a = p.aspect > 0.0f ? p.aspect : 1.0f;
    const float spread = a > 1.0f ? sqrtf(1.0f + a * a) : sqrtf(1.0f + 1.0f / (a * a));
    return cosf(atanf(tanf(hf) * spread));
}

void initBeamLight(int kind, RenderState *state, const SpotLightParams *params) {
    LightCache *cache = newCache(state, params);
    if (!cache) return;
    cache->beam =
        kor::makeBeamShape(kind == kLightSpot ? kBeamCone : kBeamParallel, params->hotspot,
                           params->falloff, params->overshoot, params->circular, params->aspect);
    if (kind == kLightSpot) cache->cosBound = spotBoundCosine(*params);
    kor::installVolumeOps(cache, kind, params->useFarAtten != 0);
}

void exitLight(RenderState *state, void *params) {
    if (!params) return;
    releaseCache(state, kor::user_slot(state));
}

}  // namespace

// ---------------------------------------------------------------------------
// Exports.

KOR_EXPORT zoBoolean kor_SpotLight(Color *result, RenderState *state, SpotLightParams *params,
                                   VolumeMarchRequest *request) {
    return sampleLight<kLightSpot>(result, state, params, request);
}

KOR_SHADER_INIT(kor_SpotLight) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    initBeamLight(kLightSpot, state, static_cast<SpotLightParams *>(params));
}

KOR_SHADER_EXIT(kor_SpotLight) {
    exitLight(state, params);
}

KOR_EXPORT zoBoolean kor_DirectionalLight(Color *result, RenderState *state,
                                          SpotLightParams *params, VolumeMarchRequest *request) {
    return sampleLight<kLightDirectional>(result, state, params, request);
}

KOR_SHADER_INIT(kor_DirectionalLight) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    initBeamLight(kLightDirectional, state, static_cast<SpotLightParams *>(params));
}

KOR_SHADER_EXIT(kor_DirectionalLight) {
    exitLight(state, params);
}

KOR_EXPORT zoBoolean kor_OmniLight(Color *result, RenderState *state, OmniLightParams *params,
                                   VolumeMarchRequest *request) {
    return sampleLight<kLightOmni>(result, state, params, request);
}

KOR_SHADER_INIT(kor_OmniLight) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    auto *p = static_cast<OmniLightParams *>(params);
    LightCache *cache = newCache(state, p);
    if (!cache) return;
    cache->volumeWork = p->shadowOn || (p->projectorOn && p->projectorMap);
    kor::installVolumeOps(cache, kLightOmni, p->useFarAtten != 0);
}

KOR_SHADER_EXIT(kor_OmniLight) {
    exitLight(state, params);
}

// The default light: colour and N.L only.
KOR_EXPORT zoBoolean kor_DefaultLight(Color *result, RenderState *state, DefaultLightParams *params,
                                      VolumeMarchRequest *) {
    if (!result || !state || !params) return 0;
    const LightCache *cache = fetchCache(state);
    if (!cache) return 0;
    if (!(state->dot_nd >= 0.0f)) return 0;
    kor::fillLightIllum(state, state->dot_nd, false, cache->affectBits);
    kor::lightReport(state, cache->affectBits, false, nullptr);
    *result = cache->color;
    if (cache->isBlack) return 0;
    state->volume = 0;
    return 1;
}

KOR_SHADER_INIT(kor_DefaultLight) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    auto *p = static_cast<DefaultLightParams *>(params);
    void **slot = kor::user_slot(state);
    if (!slot) return;
    releaseCache(state, slot);
    auto *cache =
        static_cast<LightCache *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(LightCache)));
    if (!cache) return;
    kor::initLightColor(cache, state, p->color, p->multiplier);
    cache->isBlack = cache->color.r == 0.0f && cache->color.g == 0.0f && cache->color.b == 0.0f;
    cache->affectBits = kAffectDiffuse | kAffectSpecular;
    *slot = cache;
    keepCache(state, cache);
}

KOR_SHADER_EXIT(kor_DefaultLight) {
    exitLight(state, params);
}
