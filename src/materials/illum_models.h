// What the illumination models share: their parameter records, colour
// arithmetic, the one light-callback skeleton with per-light averaging, the
// model entry, the highlight and diffuse terms that several models use,
// and the exit that releases the instance's per-thread blocks.
#ifndef KORSHADERS_MATERIALS_ILLUM_MODELS_H
#define KORSHADERS_MATERIALS_ILLUM_MODELS_H

#include <math.h>
#include <stddef.h>
#include <string.h>
#include <xmmintrin.h>

#include "illum.h"
#include "kor_memo.h"
#include "kor_vector.h"
#include "shader.h"

namespace kor {

// ---------------------------------------------------------------------------
// Parameter records, in declaration order.

// Blinn, Phong, Constant and Metal.
struct BlinnParams {
    Color ambient;
    Color diffuse;
    Color specular;
    int32_t unused;
    zoBoolean lockAmbientDiffuse;
    zoBoolean lockDiffuseSpecular;
    zoBoolean useSelfIllumColor;
    float selfIllumAmount;  // [0, 1]
    Color selfIllumColor;
    float specularLevel;  // [0, 9.99]
    float glossiness;     // [0, 1]
    float soften;         // [0, 1]
};

struct OrenNayarBlinnParams {
    BlinnParams blinn;
    float diffuseLevel;  // [0, 4]
    float roughness;     // [0, 1]
};

struct AnisotropicParams {
    Color ambient;
    Color diffuse;
    Color specular;
    Color selfIllumColor;
    float diffuseLevel;     // [0, 4]
    float specularLevel;    // [0, 9.99]
    float selfIllumAmount;  // [0, 1]
    float glossiness;       // [0.0001, 1]
    float anisotropy;       // [0, 1]
    float orientation;      // [-999.99, 999.99], kept divided by 1.8
    int32_t unused;
    zoBoolean lockAmbientDiffuse;
    zoBoolean lockDiffuseSpecular;
    zoBoolean useSelfIllumColor;
};

struct SpecularLayer {
    Color color;
    float level;        // [0, 9.99]
    float glossiness;   // [0, 1]
    float anisotropy;   // [0, 1]
    float orientation;  // [-999.99, 999.99], kept divided by 1.8
};

struct MultiLayerParams {
    Color ambient;
    Color diffuse;
    Color selfIllumColor;
    float selfIllumAmount;
    float diffuseLevel;  // [0, 4]
    float roughness;     // [0, 1]
    SpecularLayer layer[2];
    int32_t unused[2];
    zoBoolean useSelfIllumColor;
};

struct StraussParams {
    Color color;
    float glossiness;  // [0, 1]
    float metalness;   // [0, 1]
};

struct TranslucentParams {
    Color ambient;
    Color diffuse;
    Color specular;
    Color filterColor;
    Color translucentColor;
    zoBoolean backsideSpecular;
    int32_t unused;
    zoBoolean lockAmbientDiffuse;
    zoBoolean lockDiffuseSpecular;
    zoBoolean useSelfIllumColor;
    float glossiness;  // [0, 1]
    Color selfIllumColor;
    float specularLevel;    // [0, 9.99]
    float selfIllumAmount;  // [0, 1]
    float diffuseLevel;     // not clamped
};

struct WardParams {
    Color ambient;
    Color diffuse;
    Color specular;
    float diffuseLevel;   // [0, 2]
    float specularLevel;  // [0, 4]
    float glossinessU;    // [0.0001, 1]
    float glossinessV;    // [0.0001, 1]
};

static_assert(sizeof(BlinnParams) == 96, "declared record layout");
static_assert(sizeof(OrenNayarBlinnParams) == 104, "declared record layout");
static_assert(sizeof(AnisotropicParams) == 104, "declared record layout");
static_assert(sizeof(MultiLayerParams) == 136, "declared record layout");
static_assert(sizeof(StraussParams) == 24, "declared record layout");
static_assert(sizeof(TranslucentParams) == 132, "declared record layout");
static_assert(sizeof(WardParams) == 64, "declared record layout");

// ---------------------------------------------------------------------------
// Colour arithmetic on r, g, b (alpha as stated per function).

inline void addRGB(Color &a, const Color &b) {
    a.r += b.r;
    a.g += b.g;
    a.b += b.b;
}
inline void addScaledRGB(Color &a, const Color &b, float s) {
    a.r += b.r * s;
    a.g += b.g * s;
    a.b += b.b * s;
}
inline void scaleRGB(Color &a, float s) {
    a.r *= s;
    a.g *= s;
    a.b *= s;
}
inline void mulRGB(Color &a, const Color &b) {
    a.r *= b.r;
    a.g *= b.g;
    a.b *= b.b;
}
// r, g and b of lanes stored into a colour whose alpha stays as it is
// (colourLanes and rgbWithAlphaLane: kor_vector.h).
__attribute__((always_inline)) inline void storeLanesRGB(Color &c, __m128 v) {
    _mm_storeu_ps(&c.r, rgbWithAlphaLane(v, _mm_loadu_ps(&c.r)));
}
// mulRGB and addRGB on lanes.
__attribute__((always_inline)) inline void mulLanesRGB(Color &a, __m128 b) {
    storeLanesRGB(a, _mm_mul_ps(colourLanes(a), b));
}
__attribute__((always_inline)) inline void addLanesRGB(Color &a, __m128 b) {
    storeLanesRGB(a, _mm_add_ps(colourLanes(a), b));
}
inline float maxRGB(const Color &c) {
    float m = c.r > c.g ? c.r : c.g;
    return m > c.b ? m : c.b;
}
inline bool isBlackRGB(const Color &c) {
    return c.r == 0.0f && c.g == 0.0f && c.b == 0.0f;
}
inline float clamp01(float x) {
    return x < 0.0f ? 0.0f : x > 1.0f ? 1.0f : x;
}
// fminf(1, x) without the library call: x below 1, else 1 (NaN too).
inline float atMostOne(float x) {
    return x < 1.0f ? x : 1.0f;
}
inline float clampTo(float x, float lo, float hi) {
    return x < lo ? lo : x > hi ? hi : x;
}
// r, g, b clamped to [0, 1]; alpha kept.
inline Color clampKeepAlpha(Color c) {
    c.r = clamp01(c.r);
    c.g = clamp01(c.g);
    c.b = clamp01(c.b);
    return c;
}
// A level in r (mono channel).
inline Color monoChannel(float v) {
    return {v, 0.0f, 0.0f, 0.0f};
}
// A level in r, g and b (a level channel that maps treat as colour).
inline Color greyChannel(float v) {
    return {v, v, v, 0.0f};
}

// Evaluated copy of a parameter (a missing record gives zero).
template <typename T>
inline T evalParam(RenderState *state, const T *param) {
    return param ? eval(state, param) : T{};
}

// ---------------------------------------------------------------------------
// Model tables and entry.

struct IllumModelTable {
    int32_t channelCount;
    const int32_t *slotMap;       // kIllumSlotCount entries
    const int32_t *channelTypes;  // kIllumChannelTypes entries
    uint32_t supportedParams;
    zoBoolean faceted;
    float soften;  // copied from the parameters by models that have one
    IllumIlluminateFn illuminate;
    IllumAffectReflectionFn affectReflection;
    IllumCombineFn combine;
    IllumTransmitFn transmit;
    IllumReflectFn reflect;
    const IllumModelLayout *layout;  // the three tables above resolved
};

// Sets the record's tables and behaviour slots from `table` and `soften`,
// then runs the material's shade step with the evaluated parameters.
inline zoBoolean illumRunModel(Color *result, RenderState *state, IllumRecord *record,
                               const IllumModelTable &table, float soften, void *evaluated) {
    if (!record) return 0;
    record->slotMap = table.slotMap;
    record->channelCount = table.channelCount;
    record->channelTypes = table.channelTypes;
    record->faceted = table.faceted;
    record->supportedParams = table.supportedParams;
    record->soften = soften;
    record->illuminate = table.illuminate;
    record->affectReflection = table.affectReflection;
    record->combine = table.combine;
    record->transmit = table.transmit;
    record->reflect = table.reflect;
    record->layout = table.layout;
    // The standard material leaves the channels past kIllumReachedChannels
    // uncleared: a model that reaches further has them cleared here, past
    // its own channels, which its entry has written already (every entry
    // writes below kIllumReachedChannels or its channel count).
    const int cleared =
        table.channelCount > kIllumReachedChannels ? table.channelCount : kIllumReachedChannels;
    if (table.layout && table.layout->reached > cleared)
        memset(record->channels + cleared, 0, (table.layout->reached - cleared) * sizeof(Color));
    if (!record->shade) return 0;
    return record->shade(result, state, record, evaluated);
}

// The model exits: with a parameter record, release every per-thread block
// of the instance under the model's module name.
void illumReleaseThreadBlocks(RenderState *state, void *params, const char *module);

// The slot tints of affectReflection.
void illumTintBySpecular(RenderState *state, IllumRecord *record, Color *colour);
void illumTintByDiffuse(RenderState *state, IllumRecord *record, Color *colour);
// The translucent transparency step: transmit with the refracted and
// transmitted light added rather than replaced.
void illumTransmitAdding(RenderState *state, IllumRecord *record);
void illumNoStep(RenderState *state, IllumRecord *record);

// Four lanes clamped to [lo, hi] as `x < lo ? lo : x > hi ? hi : x` does,
// NaN included: the maximum and minimum hand back their second operand
// when they cannot order the two. A lane bounded by -inf and +inf is kept.
inline __m128 clampLanes(__m128 x, __m128 lo, __m128 hi) {
    return _mm_min_ps(hi, _mm_max_ps(lo, x));
}

// The model's parameter record has no connections in its first `size`
// bytes; the material's scratch block keeps the answer for the record last
// asked about until a shader instance that keeps answers starts or ends.
inline bool illumPlainModelParams(RenderState *state, const void *raw, size_t size,
                                  const IllumRecord *record) {
    auto *scratch = record ? static_cast<MaterialScratch *>(record->scratch) : nullptr;
    const uint32_t generation = memo_generation();
    if (scratch && scratch->plainModelParams == raw && scratch->plainModelGeneration == generation)
        return true;
    if (!unconnected(state, raw, size)) return false;
    if (scratch) {
        scratch->plainModelParams = raw;
        scratch->plainModelGeneration = generation;
    }
    return true;
}

// The Blinn-family entry: evaluated parameters with the locks applied and
// the ranges clamped, written into channels 0 to 2 and 5 and the slots 3
// (glossiness) and 4 (specular level).
inline BlinnParams blinnEvaluate(RenderState *state, const BlinnParams *raw,
                                 const IllumRecord *record = nullptr) {
    if (!raw) return BlinnParams{};
    // Nothing connected: the record is read as it stands, without a
    // connection test per field.
    const BlinnParams *in = raw;
    BlinnParams evaluated;
    if (!illumPlainModelParams(state, raw, sizeof *raw, record)) {
        evaluated = *raw;
        evaluated.ambient = eval(state, &raw->ambient);
        evaluated.diffuse = eval(state, &raw->diffuse);
        evaluated.specular = eval(state, &raw->specular);
        evaluated.lockAmbientDiffuse = eval(state, &raw->lockAmbientDiffuse);
        evaluated.lockDiffuseSpecular = eval(state, &raw->lockDiffuseSpecular);
        evaluated.useSelfIllumColor = eval(state, &raw->useSelfIllumColor);
        evaluated.selfIllumAmount = eval(state, &raw->selfIllumAmount);
        evaluated.selfIllumColor = eval(state, &raw->selfIllumColor);
        evaluated.specularLevel = eval(state, &raw->specularLevel);
        evaluated.glossiness = eval(state, &raw->glossiness);
        evaluated.soften = eval(state, &raw->soften);
        in = &evaluated;
    }
    // Every field is written once, from the input straight to the result.
    BlinnParams p;
    p.unused = 0;
    p.lockAmbientDiffuse = in->lockAmbientDiffuse;
    p.lockDiffuseSpecular = in->lockDiffuseSpecular;
    p.useSelfIllumColor = in->useSelfIllumColor;
    // Colours: r, g and b to [0, 1], alpha kept. The self-illumination
    // amount and colour lie together (amount, r, g, b | a, specular level,
    // glossiness, soften), and are clamped as two groups of four.
    static_assert(
        offsetof(BlinnParams, selfIllumColor) == offsetof(BlinnParams, selfIllumAmount) + 4,
        "amount and colour are adjacent");
    static_assert(
        offsetof(BlinnParams, specularLevel) == offsetof(BlinnParams, selfIllumColor) + 16,
        "the levels follow the colour");
    static_assert(offsetof(BlinnParams, soften) + 4 == sizeof(BlinnParams),
                  "soften ends the record");
    const float inf = INFINITY;
    const __m128 zero = _mm_setzero_ps();
    const __m128 colourLo = _mm_setr_ps(0.0f, 0.0f, 0.0f, -inf);
    const __m128 colourHi = _mm_setr_ps(1.0f, 1.0f, 1.0f, inf);
    const float *amountIn = reinterpret_cast<const float *>(reinterpret_cast<const char *>(in) +
                                                            offsetof(BlinnParams, selfIllumAmount));
    float *amount = reinterpret_cast<float *>(reinterpret_cast<char *>(&p) +
                                              offsetof(BlinnParams, selfIllumAmount));
    _mm_storeu_ps(amount, clampLanes(_mm_loadu_ps(amountIn), zero, _mm_set1_ps(1.0f)));
    _mm_storeu_ps(amount + 4,
                  clampLanes(_mm_loadu_ps(amountIn + 4), _mm_setr_ps(-inf, 0.0f, 0.0f, 0.0f),
                             _mm_setr_ps(inf, 9.99f, 1.0f, 1.0f)));
    const __m128 diffuse = clampLanes(_mm_loadu_ps(&in->diffuse.r), colourLo, colourHi);
    const __m128 ambient = in->lockAmbientDiffuse
                               ? diffuse
                               : clampLanes(_mm_loadu_ps(&in->ambient.r), colourLo, colourHi);
    const __m128 specular = in->lockDiffuseSpecular
                                ? diffuse
                                : clampLanes(_mm_loadu_ps(&in->specular.r), colourLo, colourHi);
    _mm_storeu_ps(&p.ambient.r, ambient);
    _mm_storeu_ps(&p.diffuse.r, diffuse);
    _mm_storeu_ps(&p.specular.r, specular);
    return p;
}

inline void blinnWriteChannels(IllumRecord *record, const BlinnParams &p, const int32_t *slotMap) {
    record->channels[0] = p.ambient;
    record->channels[1] = p.diffuse;
    record->channels[2] = p.specular;
    record->channels[slotMap[kSlotGlossiness]] = monoChannel(p.glossiness);
    record->channels[slotMap[kSlotSpecularLevel]] = monoChannel(p.specularLevel);
    record->channels[5] = p.useSelfIllumColor ? p.selfIllumColor : greyChannel(p.selfIllumAmount);
}

// The self-illumination step of the Blinn family: the colour is added, or
// a mean amount a = (r + g + b) x third shows the diffuse colour and takes
// 1 - a from diffuse and ambient. `atLeastZero` lets a = 0 take that branch
// (Phong).
void blinnSelfIllum(IllumRecord *record, zoBoolean useSelfIllumColor, bool atLeastZero,
                    float third = 0.33333334f);

// The channel tables the Blinn, Phong, Constant and Metal models share:
// the slot table, the channel count, the channel types and their layout.
inline constexpr int32_t kBlinnFamilySlots[kIllumSlotCount] = {0, 1, 2,  4,  3,  5,
                                                               6, 7, -1, -1, -1, -1};
constexpr int kBlinnChannelCount = 8;
extern const int32_t kBlinnFamilyTypes[kIllumChannelTypes];
extern const IllumModelLayout kBlinnFamilyLayout;
// The channel of every slot of a model's tables, worked out when compiling.
struct IllumSlotChannels {
    int32_t channel[kIllumSlotCount];
};
constexpr IllumSlotChannels illumResolveSlots(const int32_t (&slotMap)[kIllumSlotCount],
                                              int channelCount) {
    IllumSlotChannels s{};
    for (int slot = 0; slot < kIllumSlotCount; ++slot)
        s.channel[slot] = illumSlotChannelOf(slotMap[slot], channelCount, slot);
    return s;
}
// The channel of each slot in kBlinnFamilyLayout.
constexpr IllumSlotChannels kBlinnFamilyChannels =
    illumResolveSlots(kBlinnFamilySlots, kBlinnChannelCount);
static_assert(kBlinnChannelCount <= kIllumReachedChannels &&
                  kBlinnFamilyChannels.channel[kSlotExtra] < kIllumReachedChannels,
              "the standard material clears every channel the Blinn family reaches");

// Where a step finds a slot's channel: through the record's layout
// (LayoutSlots), or, for a record with the Blinn family's layout, in that
// layout's channels known as constants (BlinnSlots).
struct LayoutSlots {
    const IllumRecord *r;
    int operator()(int slot) const { return illumSlotChannel(r, slot); }
};
struct BlinnSlots {
    constexpr int operator()(int slot) const { return kBlinnFamilyChannels.channel[slot]; }
};
// illumSlotColor through `slots`.
template <class Slots>
__attribute__((always_inline)) inline Color slotColor(const IllumRecord *r, Slots slots, int slot) {
    const int channel = slots(slot);
    return channel >= 0 ? r->channels[channel] : Color{0.0f, 0.0f, 0.0f, 0.0f};
}

// After the light loop: ambient x ambient colour, diffuseIntensity = mean
// diffuse light, diffuse x diffuse colour, specular x specular colour.
void illumColourComponents(IllumRecord *record);
// transmit, reflect and combine through the record's slots.
void illumFinish(RenderState *state, IllumRecord *record);
// What the Blinn and Phong models do after their light loop:
// blinnSelfIllum, illumColourComponents and illumFinish.
void blinnFinish(RenderState *state, IllumRecord *record, zoBoolean useSelfIllumColor,
                 bool atLeastZero);

// The Phong model's illuminate and affectReflection, which the Constant
// model shares.
void phongIlluminate(RenderState *state, IllumRecord *record, void *modelParams);

// ---------------------------------------------------------------------------
// The light callback skeleton.

// One light sample.
struct IllumSample {
    Color color;
    Vector3 dir;
    float dotNL;
};

// The sums of one light.
struct IllumLightSums {
    Color ambient;
    Color diffuse;
    Color specular;
    float intensity;
};

// Adds one light's sums to the record, averaged over its samples. A model
// that keeps no intensity (`intensity` false) leaves diffuseIntensity alone.
inline void illumAddLightSums(IllumRecord *record, const IllumLightSums &sums, int samples,
                              bool intensity = true) {
    if (samples == 1) {
        addRGB(record->ambient, sums.ambient);
        addRGB(record->diffuse, sums.diffuse);
        addRGB(record->specular, sums.specular);
        if (intensity) record->diffuseIntensity += sums.intensity;
        return;
    }
    if (samples <= 0) return;
    const float n = static_cast<float>(samples);
    const Color a = {sums.ambient.r / n, sums.ambient.g / n, sums.ambient.b / n, 0.0f};
    const Color d = {sums.diffuse.r / n, sums.diffuse.g / n, sums.diffuse.b / n, 0.0f};
    const Color s = {sums.specular.r / n, sums.specular.g / n, sums.specular.b / n, 0.0f};
    addRGB(record->ambient, a);
    addRGB(record->diffuse, d);
    addRGB(record->specular, s);
    if (intensity) record->diffuseIntensity += sums.intensity / n;
}

// Runs the light's samples through the model `M`:
//   M::User has `IllumRecord *record` and `bool specularOn`;
//   M::beginLight(User&) before the first sample;
//   M::diffuse(User&, state, sample, diffuseFactor, sums) for samples that
//     light the surface when the light affects diffuse;
//   M::specular(User&, state, sample, diffuseFactor, sums) when it affects
//     specular and the highlight is on.
// Ambient-only samples go to the ambient sum whatever their N.L; samples
// with N.L <= 0 add nothing else; a light that did not fill its record
// gets N.L as its diffuse factor. A model that writes diffuseIntensity
// after its loop whatever the loop left there (`KeepsIntensity` false)
// keeps no intensity sum.
template <class M, bool KeepsIntensity = true>
inline __attribute__((always_inline)) void illumLightSamples(RenderState *state, Tag light,
                                                             LightIllumRecord *rec,
                                                             typename M::User &u) {
    IllumLightSums sums{};
    M::beginLight(u);
    IllumSample s;
    int samples = 0, taken = 0;
    while (zo_sample_light(&s.color, &s.dir, &s.dotNL, state, light, &samples)) {
        if (++taken > (1 << 20)) break;  // a host that never ends the loop
        if (rec->ambientOnly) {
            addRGB(sums.ambient, s.color);
            continue;
        }
        if (s.dotNL <= 0.0f) continue;
        if (!rec->filled) rec->diffuseFactor = s.dotNL;
        if (rec->affectBits & kAffectDiffuse) M::diffuse(u, state, s, rec->diffuseFactor, sums);
        if ((rec->affectBits & kAffectSpecular) && u.specularOn)
            M::specular(u, state, s, rec->diffuseFactor, sums);
    }
    illumAddLightSums(u.record, sums, samples > 0 ? samples : taken, KeepsIntensity);
}

// The light loop of model `M` with its light step inline.
template <class M>
inline zoBoolean illumAccumulateModel(RenderState *state, typename M::User &u,
                                      MaterialScratch *scratch) {
    return illumAccumulateWith(state, scratch, [state, &u](Tag light, LightIllumRecord *rec) {
        illumLightSamples<M>(state, light, rec, u);
    });
}

// 2^(10 gloss), the growth of the Blinn and Phong highlight exponents;
// the record's scratch block keeps the value for the glossiness last seen.
double glossExponent(const IllumRecord *record, float gloss);

// The softened Blinn/Phong highlight factor: NH^exponent x level, with NH
// eased near the terminator when soften > diffuseFactor. 0 for NH <= 0.
float softenedHighlight(float nh, double exponent, float level, float soften, float diffuseFactor);

// The highlight power of the Blinn and Phong models: the exponent
// scale x 2^(10 gloss) in single precision (as the power takes it), and the
// base under which the power is 0 (the true power lies under 2^-160, far past
// the smallest float; 0 when no base is known to give 0). Kept in the
// record's scratch block for the glossiness and scale last seen.
struct HighlightPower {
    float exponent;
    float zeroBelow;
};
HighlightPower workHighlightPower(const IllumRecord *record, float gloss, float scale);
inline HighlightPower highlightPower(const IllumRecord *record, float gloss, float scale) {
    auto *scratch = static_cast<const MaterialScratch *>(record->scratch);
    if (scratch && scratch->powerValid && scratch->powerGloss == gloss &&
        scratch->powerScale == scale)
        return HighlightPower{scratch->powerExponent, scratch->powerZeroBelow};
    return workHighlightPower(record, gloss, scale);
}

// softenedHighlight with the exponent in single precision (as the power
// takes it) and its zero bound: an NH under the bound skips the power, whose
// result would be 0.
inline float softenedHighlight(float nh, float exponent, float zeroBelow, float level, float soften,
                               float diffuseFactor) {
    if (nh <= 0.0f) return 0.0f;
    if (soften != 0.0f && soften > diffuseFactor) {
        const float x = diffuseFactor / soften;
        nh *= x * (2.0f - x);
    }
    if (nh > 0.0f && nh < zeroBelow) return 0.0f * level;
    return powf(nh, exponent) * level;
}

// The highlight of a sample of colour `colour`, which the caller adds to
// its sum as colour x highlight. A black sample (a shadowed light) gets
// 0 x level in place of the power x level when the eased NH lies in [0, 1]
// and the exponent is not negative: the power then lies in [0, 1], so that
// either factor, times the colour's zeros, gives +0 or -0 for a finite level
// (which leaves a sum as it is: a sum starts at +0 and is never -0) and the
// same NaN for any other.
inline float softenedHighlight(float nh, float exponent, float zeroBelow, float level, float soften,
                               float diffuseFactor, const Color &colour) {
    if (nh <= 0.0f) return 0.0f;
    if (soften != 0.0f && soften > diffuseFactor) {
        const float x = diffuseFactor / soften;
        nh *= x * (2.0f - x);
    }
    if (nh > 0.0f && nh < zeroBelow) return 0.0f * level;
    if (isBlackRGB(colour) && nh >= 0.0f && nh <= 1.0f && exponent >= 0.0f) return 0.0f * level;
    return powf(nh, exponent) * level;
}

// ---------------------------------------------------------------------------
// Terms shared by several models.

// The anisotropic highlight A(gloss, aniso, orient, L, T).
float anisotropicHighlight(const IllumRecord *record, float gloss, float aniso, float orient,
                           const Vector3 &L, float dotNL, const Vector3 &T);
// The anisotropy reference direction: the object's z axis in world space
// (y when it is along the state normal), made perpendicular to the state
// normal.
Vector3 anisotropyReference(RenderState *state);

// Oren-Nayar diffuse: the colour C (alpha 0) and the intensity I.
struct OrenNayarTerm {
    Color color;
    float intensity;
};
OrenNayarTerm orenNayar(Vector3 V, const Vector3 &N, const Vector3 &L, float sigma,
                        const Color &rho, float dotNL);

// The traced transparency behind the surface (B): unless "KEY_3" is
// present, zo_trace_transparent with the trace depth lowered by one, with
// or without the "KEY_1" record around it. Black with alpha 0 on failure.
Color traceBehind(RenderState *state, bool markTrace);

constexpr float kPi = 3.14159265358979f;

}  // namespace kor

#endif
