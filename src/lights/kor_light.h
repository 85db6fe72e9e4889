// Records and routines that the light shaders share with each other and
// with the shaders that talk to lights: the volume sample record ("KEY_4"),
// the light report record ("zoXMLD"), the volume march request that the
// volume light hands a light, the standard lights' parameter records and
// instance cache, and the shared light routines (range and decay factors,
// the diffuse curve, the shadow colour mix, projector coordinates and map
// evaluation, the light report, photon emission and the volume march).
#ifndef KORSHADERS_LIGHTS_KOR_LIGHT_H
#define KORSHADERS_LIGHTS_KOR_LIGHT_H

#include <korshaders/host.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "kor_attenuv.h"
#include "kor_lightrec.h"
#include "kor_statekeys.h"
#include "shader.h"

#define KOR_KEY_VOLUME_SAMPLE "KEY_4"
#define KOR_KEY_LIGHT_REPORT "zoXMLD"

// "KEY_4": set by the volume light (with only `light` filled, while it asks
// a light to march) and by a light's own volume march for each step; a light
// that finds it samples in volume query mode and writes `attenuation`.
struct VolumeSampleRecord {
    Tag light;          // the volume light's light tag; otherwise unused
    float attenuation;  // written by the light: its range factor at the point
    float nearStart;    // ranges already scaled by the caller
    float nearEnd;
    float farStart;
    float farEnd;
    float decayStart;
    const Vector3 *point;  // the sample point in light space, or null
};

// "zoXMLD": read by the stored render elements; the lights fill three words.
struct LightReportRecord {
    int32_t reserved0[3];
    float affectsDiffuse;   // 12: 0 or 1
    float affectsSpecular;  // 16: 0 or 1
    int32_t reserved20;
    float extra;  // 24: a value of the light's own
};
static_assert(offsetof(LightReportRecord, affectsDiffuse) == 12, "light report layout");
static_assert(offsetof(LightReportRecord, affectsSpecular) == 16, "light report layout");
static_assert(offsetof(LightReportRecord, extra) == 24, "light report layout");

struct VolumeMarchParams;
struct zoRay;

// Called by a light's march for each segment [start, end] of the world-space
// ray with the light's sample colour and attenuation there; false ends the
// march.
typedef zoBoolean (*VolumeStepCallback)(Color *accumulator, const void *volumeParams,
                                        const VolumeMarchParams *march, const zoRay *ray,
                                        float start, float end, const Color *sample,
                                        float attenuation);

// The volume light's per-instance record as the lights read it: word 1 the
// step count, words 6 and 7 the start and end distance scales, word 16 the
// per-step callback.
struct VolumeMarchParams {
    int32_t thresholdActive;
    int32_t steps;
    int32_t shadowFilter;
    float attenuationFactor;
    float lightLimit;
    float lightFloor;
    float startScale;
    float endScale;
    float densityFactor;
    float uniformityDivisor;
    float inverseSize;
    float noiseScale;
    float stepSpacing;
    Vector3 wind;
    VolumeStepCallback callback;
};
static_assert(offsetof(VolumeMarchParams, steps) == 4, "march record layout");
static_assert(offsetof(VolumeMarchParams, startScale) == 24, "march record layout");
static_assert(offsetof(VolumeMarchParams, endScale) == 28, "march record layout");
static_assert(offsetof(VolumeMarchParams, callback) == 64, "march record layout");

// The fourth argument of a light shader when the volume light asks it to
// march through its lit volume (shader type 5).
struct VolumeMarchRequest {
    const VolumeMarchParams *march;
    Vector3 origin;  // the ray as the light is to use it (light or world space)
    Vector3 direction;
    Vector3 worldOrigin;  // the same ray in world space
    Vector3 worldDirection;
    float maxDistance;
    Tag light;                 // the light's instance
    int32_t lightIndex;        // the light's index in the volume light's list
    const void *volumeParams;  // the volume light's parameter record, for the callback
};

// ---------------------------------------------------------------------------
// Parameter records (read in place).

struct DefaultLightParams {
    Color color;
    float multiplier;
};

// Spot and directional lights.
struct SpotLightParams {
    zoBoolean on;
    Color color;
    float multiplier;
    float contrast;
    float softenDiffuseEdge;
    zoBoolean affectDiffuse;
    zoBoolean affectSpecular;
    zoBoolean ambientOnly;
    float hotspot;
    float falloff;
    zoBoolean overshoot;
    zoBoolean circular;
    float aspect;
    zoBoolean useNearAtten;
    float nearAttenStart;
    float nearAttenEnd;
    zoBoolean useFarAtten;
    float farAttenStart;
    float farAttenEnd;
    int32_t decayType;  // 0 none, 1 inverse, 2 inverse square
    float decayStart;
    zoBoolean shadowOn;
    Color shadowColor;
    float shadowDensity;
    zoBoolean lightAffectsShadowColor;
    zoBoolean shadowMapOn;
    Tag shadowMap;
    zoBoolean projectorOn;
    Tag projectorMap;
    zoBoolean atmosphereShadows;
    float atmosphereOpacity;
    float atmosphereColorAmount;
    kor::ParamArray<zoBoolean> excludeList;  // by node index
};

// The omni light: the spot record without the beam fields.
struct OmniLightParams {
    zoBoolean on;
    Color color;
    float multiplier;
    float contrast;
    float softenDiffuseEdge;
    zoBoolean affectDiffuse;
    zoBoolean affectSpecular;
    zoBoolean ambientOnly;
    zoBoolean useNearAtten;
    float nearAttenStart;
    float nearAttenEnd;
    zoBoolean useFarAtten;
    float farAttenStart;
    float farAttenEnd;
    int32_t decayType;
    float decayStart;
    zoBoolean shadowOn;
    Color shadowColor;
    float shadowDensity;
    zoBoolean lightAffectsShadowColor;
    zoBoolean shadowMapOn;
    Tag shadowMap;
    zoBoolean projectorOn;
    Tag projectorMap;
    zoBoolean atmosphereShadows;
    float atmosphereOpacity;
    float atmosphereColorAmount;
    kor::ParamArray<zoBoolean> excludeList;
};

static_assert(offsetof(SpotLightParams, hotspot) == 44, "spot record layout");
static_assert(offsetof(SpotLightParams, useNearAtten) == 64, "spot record layout");
static_assert(offsetof(SpotLightParams, excludeList) == 152, "spot record layout");
static_assert(offsetof(OmniLightParams, useNearAtten) == 44, "omni record layout");
static_assert(offsetof(OmniLightParams, excludeList) == 132, "omni record layout");

// ---------------------------------------------------------------------------
// Instance cache.

enum LightKind { kLightSpot = 0, kLightDirectional = 1, kLightOmni = 2 };

struct LightCache;

// The lit volume along a light-space ray o + t d: the interval [*entry,
// *exit] of t (unbounded ends are +-1e30); false when the ray misses it.
typedef zoBoolean (*LightVolumeIntersect)(const LightCache *cache, const Vector3 *o,
                                          const Vector3 *d, float farEnd, float *entry,
                                          float *exit);
// Breakpoints of [entry, exit] along the ray into `points` (at most
// kMaxBreakpoints, sorted, the two ends included); returns their number.
typedef int (*LightVolumeBreakpoints)(const VolumeSampleRecord *ranges, const Vector3 *o,
                                      const Vector3 *d, float entry, float exit, float *points);
typedef zoBoolean (*LightVolumePointsAway)(const Vector3 *direction);

constexpr int kMaxBreakpoints = 16;

// The five entries of the volume march.
struct LightVolumeOps {
    LightVolumeIntersect intersect;
    LightVolumeBreakpoints breakpoints;
    zoBoolean hasFarRange;
    LightVolumePointsAway pointsAway;  // null: never
    int32_t kind;                      // 0 spot, 1 directional, 2 omni
};

struct LightCache {
    Color color;  // colour x multiplier x the scene's light tint, alpha 1
    zoBoolean isBlack;
    int32_t affectBits;  // kAffectDiffuse | kAffectSpecular
    float soften;        // softenDiffuseEdge / 100
    float contrastA;
    float contrastB;
    LightVolumeOps volumeOps;
    BeamShape *beam;       // spot and directional
    zoBoolean volumeWork;  // omni: per-sample volume work is needed
    float cosBound;        // spot: cosine of the half-angle of the bounding cone
    uint64_t scaleMemo;    // light instance tag << 2 | uniform scale << 1 | valid
    // What the parameter record says for every sample of the instance,
    // worked out at init (omni, spot and directional lights):
    zoBoolean plainRange;    // no near or far range and no decay: the factor is 1
    zoBoolean anyMap;        // a projector or a shadow map is on and set
    zoBoolean shadows;       // shadows on and the light not ambient-only
    zoBoolean finiteShadow;  // shadow density and colour finite: an open shadow ray keeps L
    float alpha;             // the result's alpha: the atmosphere shadow's opacity or 0
    zoBoolean keepVolume;    // shadows and atmosphere shadows on: the volume field stays
    uint64_t illumTail;      // the "KEY_5" record's ambient-only and affect words (illumTail)
    zoBoolean plainCurve;    // no soften and no contrast: diffuseCurve leaves N.L as it is
    // A light that is not ambient-only, excludes nothing, is not black, has
    // a plain curve and range, no map, a finite shadow and no kept volume
    // field: a light ray's sample tests none of these.
    zoBoolean plain;
};

// ---------------------------------------------------------------------------
// Shared light routines.

namespace kor {

// The routines every light sample runs are inline: a sample is short, and
// the calls cost as much as the work.

// Near and far range factor at distance d (ranges switched on by the flags).
inline float rangeFactor(float d, bool useNear, float nearStart, float nearEnd, bool useFar,
                         float farStart, float farEnd) {
    float factor = 1.0f;
    if (useNear) {
        if (d < nearStart) return 0.0f;
        if (d < nearEnd) factor = smoothFade((d - nearStart) / (nearEnd - nearStart));
    }
    if (useFar) {
        if (d > farEnd) return 0.0f;
        if (d > farStart) factor *= smoothFade((farEnd - d) / (farEnd - farStart));
    }
    return factor;
}

// The factor after distance decay (0 none, 1 inverse, 2 inverse square).
inline float applyDecay(float factor, int decayType, float decayStart, float d) {
    if (decayType == 0 || d == 0.0f) return factor;
    float q = decayStart / d;
    if (!(q < 1.0f)) return factor;
    if (q < 0.0f) q = 0.0f;  // a negative start never brightens or flips the light
    if (decayType == 1) return factor * q;
    if (decayType == 2) return factor * q * q;
    return factor;
}

// N.L after the soften and contrast curves of the cache.
inline float diffuseCurve(const LightCache &cache, float contrast, float x) {
    const float s = cache.soften;
    if (s != 0.0f) x = (1.0f - s) * x + (2.0f - x) * x * x * s;
    if (contrast != 0.0f) {
        const float denominator = cache.contrastA * x + cache.contrastB;
        if (denominator != 0.0f) x = x / denominator;
    }
    return x;
}

// Contrast coefficients from the contrast parameter (0..100).
void contrastCoefficients(float contrast, float *a, float *b);
// The shadow mix below for a shadow ray that was (partly) blocked.
Color shadowMixBlocked(const Color &L, const Color &S, const Color &K, float density,
                       bool lightAffectsShadowColor);
// Whether the shadow density and colour K are finite: then a shadow ray
// that nothing was in the way of leaves the light as it is.
inline bool shadowFinite(float density, const Color &K) {
    return isfinite(density) && isfinite(K.r) && isfinite(K.g) && isfinite(K.b);
}
// Whether a shadow ray that let S through leaves the lit colour as it is:
// nothing was in the way (every f of the mix is 0, so each channel keeps L)
// and the density and shadow colour are finite (`finite`, what shadowFinite
// says of them, known at init for a light's own record).
// A float equals 1 exactly when its bits are those of 1, so the three
// channels are told at once from their bits.
inline bool shadowOpen(const Color &S, bool finite) {
    uint32_t r, g, b;
    memcpy(&r, &S.r, sizeof r);
    memcpy(&g, &S.g, sizeof g);
    memcpy(&b, &S.b, sizeof b);
    constexpr uint32_t kOne = 0x3f800000u;  // the bits of 1.0f
    return finite && ((r ^ kOne) | (g ^ kOne) | (b ^ kOne)) == 0;
}
// Mixes the shadow into the lit colour L: S the colour the shadow ray let
// through, K the shadow colour, D the density, `finite` as for shadowOpen.
// Alpha is left alone.
__attribute__((always_inline)) inline Color shadowMix(const Color &L, const Color &S,
                                                      const Color &K, float density,
                                                      bool lightAffectsShadowColor, bool finite) {
    if (shadowOpen(S, finite)) return L;
    return shadowMixBlocked(L, S, K, density, lightAffectsShadowColor);
}

// The "KEY_5" record that a light sampled with `state` fills, or null when
// there is none.
inline LightIllumRecord *lightIllumRecord(RenderState *state) {
    const LightLoopLink *link = lightLoopLink(state);
    if (link && state->parent && state->parent == link->state) return link->record;
    int size = 0;
    auto *record =
        static_cast<LightIllumRecord *>(zo_shaderstate_get(state, KOR_KEY_LIGHT_ILLUM, &size));
    return record && size >= static_cast<int>(sizeof(LightIllumRecord)) ? record : nullptr;
}

// Fills "KEY_5" when the material set it.
inline void fillLightIllum(RenderState *state, float diffuseFactor, bool ambientOnly,
                           int affectBits) {
    LightIllumRecord *record = lightIllumRecord(state);
    if (!record) return;
    record->filled = 1;
    record->diffuseFactor = diffuseFactor;
    record->ambientOnly = ambientOnly ? 1 : 0;
    record->affectBits = affectBits;
}

// fillLightIllum with the record's last two words (ambient-only, affect
// bits) given as one, as illumTail packs them.
inline void fillLightIllumTail(RenderState *state, float diffuseFactor, uint64_t tail) {
    LightIllumRecord *record = lightIllumRecord(state);
    if (!record) return;
    record->filled = 1;
    record->diffuseFactor = diffuseFactor;
    static_assert(offsetof(LightIllumRecord, affectBits) ==
                      offsetof(LightIllumRecord, ambientOnly) + sizeof(int32_t),
                  "the record's last two words are adjacent");
    memcpy(&record->ambientOnly, &tail, sizeof tail);
}
// The last two words of the record as fillLightIllum writes them.
inline uint64_t illumTail(bool ambientOnly, int affectBits) {
    const int32_t words[2] = {ambientOnly ? 1 : 0, affectBits};
    uint64_t tail;
    memcpy(&tail, words, sizeof tail);
    return tail;
}

// Fills "zoXMLD" when present; `extra` (may be null) goes into its extra word.
inline void lightReport(RenderState *state, int affectBits, bool ambientOnly, const float *extra) {
    int size = 0;
    auto *record =
        static_cast<LightReportRecord *>(zo_shaderstate_get(state, KOR_KEY_LIGHT_REPORT, &size));
    if (!record || size < static_cast<int>(offsetof(LightReportRecord, reserved20))) return;
    if (ambientOnly) {
        record->affectsDiffuse = 1.0f;
        record->affectsSpecular = 0.0f;
        return;
    }
    record->affectsDiffuse = (affectBits & kAffectDiffuse) ? 1.0f : 0.0f;
    record->affectsSpecular = (affectBits & kAffectSpecular) ? 1.0f : 0.0f;
    if (extra && size >= static_cast<int>(sizeof(LightReportRecord))) record->extra = *extra;
}

// Projector coordinates of a light-space point; false when the point lies
// outside the map.
bool spotMapCoords(const BeamShape *beam, const Vector3 &p, float *u, float *v);
bool parallelMapCoords(const BeamShape *beam, const Vector3 &p, float *u, float *v);
// The cube face (0..5) of a light-space vector and its (u, v) on the face.
int cubeFace(const Vector3 &p, float *u, float *v);
bool omniMapCoords(const Vector3 &p, float *u, float *v);

// Evaluates texture shader `map` at (u, v) as seen from the light: the
// state's direction and point become the light-space direction and point,
// texture space 0 becomes (u, v, 0); the state is restored afterwards. A
// failed call gives black.
Color evalLightMap(RenderState *state, Tag map, const Vector3 &p, float u, float v);

// The light is sampled for a volume rather than a surface: "KEY_4" holds a
// record (returned through `record`), or the state's march field is 0 under
// a light, volume or photon-volume parent call.
inline bool volumeQueryMode(RenderState *state, VolumeSampleRecord **record) {
    *record = nullptr;
    int size = 0;
    void *stored = stateKeyMayBeStored(kOwnKeyVolumeSample)
                       ? zo_shaderstate_get(state, KOR_KEY_VOLUME_SAMPLE, &size)
                       : nullptr;
    if (stored) {
        if (size >= static_cast<int>(sizeof(VolumeSampleRecord)))
            *record = static_cast<VolumeSampleRecord *>(stored);
        return true;
    }
    if (state->march != 0 || !state->parent) return false;
    // the parent's call type as the host keeps it in the parent's state
    const int parentCall = state->parent->call_type;
    return parentCall == ZO_CALL_LIGHT || parentCall == ZO_CALL_VOLUME ||
           parentCall == ZO_CALL_PHOTONVOL;
}

// volumeQueryMode is surely false: no "KEY_4" can be stored, and the
// state's march field or its parent's call type says so (false when only
// the lookup could tell).
inline bool surelyNotVolumeQuery(const RenderState *state) {
    if (stateKeyMayBeStored(kOwnKeyVolumeSample)) return false;
    if (state->march != 0 || !state->parent) return true;
    const int parentCall = state->parent->call_type;
    return parentCall != ZO_CALL_LIGHT && parentCall != ZO_CALL_VOLUME &&
           parentCall != ZO_CALL_PHOTONVOL;
}

// The light's node-index exclusion: true when the shaded object is excluded.
bool excludedByNode(RenderState *state, const ParamArray<zoBoolean> &list);
inline bool excludedByList(RenderState *state, const ParamArray<zoBoolean> &list) {
    if (list.count <= 0 || list.start < 0) return false;
    return excludedByNode(state, list);
}

// The N.L test of a lit point p (light space, at distance d): returns false
// when the point faces away. With ambient-only lighting N.L is 1 and is
// written into the state. `cache` (may be null) keeps whether the light
// instance scales uniformly.
// Whether the light instance of the state scales uniformly, asked of the
// host and kept in `cache` (may be null) when the cache holds no answer for
// that instance.
bool askUniformLightScale(RenderState *state, LightCache *cache);
// N.L from the normal taken into light space (non-uniform scale).
bool lightSpaceNdotL(RenderState *state, const Vector3 &p, float d, float *ndotl);

inline bool lightNdotL(RenderState *state, LightCache *cache, bool ambientOnly,
                       bool alwaysFromState, const Vector3 &p, float d, float *ndotl) {
    if (ambientOnly) {
        state->dot_nd = 1.0f;
        *ndotl = 1.0f;
        return true;
    }
    bool uniform = alwaysFromState || d == 0.0f;
    if (!uniform) {
        // the cache's answer, kept whole in one word: the instance tag, the
        // answer and a valid bit
        const uint64_t memo = cache ? __atomic_load_n(&cache->scaleMemo, __ATOMIC_RELAXED) : 0;
        const uint64_t tag = static_cast<uint64_t>(state->light_instance) << 2 | 1u;
        if ((memo & ~uint64_t{2}) == tag)
            uniform = (memo & 2u) != 0;
        else
            uniform = askUniformLightScale(state, cache);
    }
    if (uniform) {
        *ndotl = state->dot_nd;
        return *ndotl >= 0.0f;
    }
    return lightSpaceNdotL(state, p, d, ndotl);
}

// True when shadows may be traced under the render options.
inline bool shadowsEnabled(const RenderState *state) {
    const zoOptions *options = state->options;
    return !options || (options->shadow != ZO_SHADOW_OFF && !options->unshadowed);
}

// Emits one photon of energy `energy` x `weight` / mean(weight) from `origin`
// along `direction` (both light space) after Russian roulette against the
// weight's mean, drawn with zo_sample on `counter`. The photon leaves from
// the state's origin along its direction (internal space), with both
// refraction indices 1. Returns true when a photon was emitted.
bool emitPhoton(RenderState *state, const Color &energy, const Color &weight, const Vector3 &origin,
                const Vector3 &direction, int *counter);

// Initialises the common part of the cache from the light's colour fields.
void initLightColor(LightCache *cache, RenderState *state, const Color &color, float multiplier);

// The range and shadow fields of a light's parameters that the volume
// march reads.
struct LightRanges {
    bool useNearAtten;
    float nearAttenStart, nearAttenEnd;
    bool useFarAtten;
    float farAttenStart, farAttenEnd;
    float decayStart;
    bool shadowOn;
    bool atmosphereShadows;
};

// The volume march of the standard lights (fourth argument set).
// `accumulator` is the light's result, which the step callback sums into.
zoBoolean volumeMarch(Color *accumulator, RenderState *state, const LightCache *cache,
                      const LightRanges &ranges, const VolumeMarchRequest *request);
// Installs the volume entries of a light kind into the cache.
void installVolumeOps(LightCache *cache, int kind, bool useFarAtten);

}  // namespace kor

#endif
