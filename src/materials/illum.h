// The record through which a material and its illumination model talk, the
// model's behaviour slots, the channel tables and the shared light loop.
//
// A material fills the common part of an IllumRecord and calls the model
// shader with the record as the extra argument of zo_call_shader_x. The
// model evaluates its parameters into the channels, sets its tables and
// behaviour slots, and calls back the material's `shade` slot, which
// evaluates the maps, runs `illuminate` and reads `finalColor`.
#ifndef KORSHADERS_MATERIALS_ILLUM_H
#define KORSHADERS_MATERIALS_ILLUM_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>

#include "kor_lightrec.h"

struct IllumRecord;

// The material's shade step: evaluates the maps, runs `illuminate` and
// writes the result. `modelParams` is what the model hands over (its
// evaluated parameters); the material passes it on to `illuminate`.
typedef zoBoolean (*IllumShadeFn)(Color *result, RenderState *state, IllumRecord *record,
                                  void *modelParams);
// Light loop and model-specific post-processing; ends with transmit,
// reflect and combine.
typedef void (*IllumIlluminateFn)(RenderState *state, IllumRecord *record, void *modelParams);
// Tints the reflection map colour in place.
typedef void (*IllumAffectReflectionFn)(RenderState *state, IllumRecord *record, Color *colour);
// Sums the components into finalColor (r, g, b).
typedef void (*IllumCombineFn)(IllumRecord *record);
// Transparency and refraction.
typedef void (*IllumTransmitFn)(RenderState *state, IllumRecord *record);
// Reflection.
typedef void (*IllumReflectFn)(RenderState *state, IllumRecord *record);

// Standard slots: what a channel means to the material.
enum IllumSlot : int32_t {
    kSlotAmbient = 0,
    kSlotDiffuse = 1,
    kSlotSpecular = 2,
    kSlotGlossiness = 3,
    kSlotSpecularLevel = 4,
    kSlotSelfIllum = 5,
    kSlotOpacity = 6,
    kSlotFilter = 7,
    kSlotBump = 8,
    kSlotReflection = 9,
    kSlotRefraction = 10,
    kSlotExtra = 11,
    kIllumSlotCount = 12
};

// Channel types (one word per channel).
enum : int32_t {
    kChannelSkip1 = 1,        // the material's own extra channel: no generic map
    kChannelColor = 2,        // colour channel
    kChannelMono = 4,         // mono channel (r only)
    kChannelSkip8 = 8,        // skipped by the generic map loop
    kChannelSkip16 = 16,      // the material's own extra channel
    kChannelSkip32 = 32,      // the material's own extra channel
    kChannelLevelColor = 128  // a level channel that maps treat as colour
};

enum : int32_t {
    kIllumChannels = 32,      // channel values in the record
    kIllumChannelTypes = 24,  // entries of a channel type table
    // The channels the Blinn family reaches: its own 8 and slots 8 to 11
    // after them. The standard material leaves the channels past these
    // uncleared; a model whose layout reaches further (at most 21, the
    // multi-layer model's 17 and its slots) has them cleared as it runs
    // (illumRunModel).
    kIllumReachedChannels = 12
};

// mapFlags
enum : uint32_t {
    kMapFlagBump = 0x1,         // bump map applied
    kMapFlagReflection = 0x2,   // reflection map applied
    kMapFlagRefraction = 0x4,   // refraction map applied
    kMapFlagTransparent = 0x8,  // opacity below 1
    kMapFlagReflectionAssigned = 0x10,
    kMapFlagRefractionAssigned = 0x20
};

// supportedParams bits the shared steps and the material test.
enum : uint32_t {
    kSupportFilterColor = 0x200,
    kSupportReflection = 0x400000,
    kSupportRefraction = 0x800000,
    kSupportTracedTransparency = 0x1000000
};

// Transparency types of the material.
enum : int32_t { kTransparencyFilter = 0, kTransparencySubtractive = 1, kTransparencyAdditive = 2 };

// What a model's slot map, channel count and channel types say, worked out
// once per model: the channel of each standard slot (-1: none), and the
// channels whose type the generic map loop evaluates (bit c: channel c).
struct IllumModelLayout {
    int32_t channel[kIllumSlotCount];
    uint32_t mappedChannels;
    int32_t reached;  // 1 + the highest channel its slots, own channels and maps reach
};

struct IllumRecord {
    void *scratch;               // per-thread scratch block of the material (MaterialScratch)
    zoBoolean energyBlend;       // energy-preserving combine
    zoBoolean mapsOn;            // map slots are evaluated at all
    const void *materialParams;  // the material's parameters; begin with IllumMaterialParams
    void *materialData;          // the material instance's private data
    Color ambient;               // starts as the scene's ambient light colour
    Color diffuse;
    Color specular;
    Color selfIllum;
    Color reflection;
    Color refraction;
    Color transmitted;       // filtered light seen through the surface
    Color transmittedAdd;    // light seen through the surface, added unfiltered
    Color indirect;          // indirect diffuse light times the diffuse colour (r, g, b)
    float diffuseIntensity;  // mean diffuse light before the diffuse colour
    float opacity;           // opacity after the material's falloff
    float diffuseWeight;     // factor on ambient, diffuse, self-illumination, indirect
    Color finalColor;
    Color transparency;      // alpha not used
    Color transparencyCopy;  // transparency before the traced alpha reduces it
    Vector3 normal;          // shading normal after bump
    Vector3 viewDir;         // incoming ray direction, into the surface
    Color channels[kIllumChannels];
    float reflectionAmount;  // reflection map alpha x amount
    float refractionAmount;  // refraction map amount
    uint32_t mapFlags;
    uint32_t supportedParams;
    const int32_t *channelTypes;  // kIllumChannelTypes entries
    int32_t channelCount;         // the model's own channels
    const int32_t *slotMap;       // kIllumSlotCount entries, -1: the default table
    zoBoolean faceted;
    float soften;  // soften level of the highlight, [0, 1]
    IllumShadeFn shade;
    IllumIlluminateFn illuminate;
    IllumAffectReflectionFn affectReflection;
    IllumCombineFn combine;
    IllumTransmitFn transmit;
    IllumReflectFn reflect;
    const IllumModelLayout *layout;  // slotMap, channelCount and channelTypes resolved; may be null
};

// The leading fields of the standard material's parameter record; the
// shared transmit and reflect steps read the transparency type and the
// reflection dimming through `materialParams`.
struct IllumMaterialParams {
    zoBoolean wire;
    zoBoolean twoSided;
    int32_t mapCallExtra;
    zoBoolean faceted;
    int32_t transparencyType;  // kTransparency*
    float opacity;             // evaluated
    Color filterColor;
    int32_t unused40;
    int32_t falloffType;
    float falloffAmount;
    float ior;
    float wireSize;
    int32_t wireUnits;
    zoBoolean dimReflection;
    float dimLevel;
    float reflectionLevel;  // dimming multiplier
};
static_assert(offsetof(IllumMaterialParams, transparencyType) == 16, "material layout");
static_assert(offsetof(IllumMaterialParams, dimReflection) == 64, "material layout");
static_assert(offsetof(IllumMaterialParams, reflectionLevel) == 72, "material layout");

struct IllumLightList;

// The material's per-thread scratch block. The Translucent model marks its
// translucency pass here; the material's shadow step raises `thickness`
// for shadow rays that reach the marked instance.
struct MaterialScratch {
    int32_t iorDepth;  // refraction-index nesting counter (IorTracker)
    zoBoolean translucencyPass;
    float thickness;
    Vector3 passPoint;
    Tag passInstance;
    // The light list of the instance last lit through this block, and the
    // scene's global lights once that list has asked for them: neither
    // changes while the material is in use.
    Tag lightInstance;
    const IllumLightList *lightList;
    zoBoolean globalsKnown;
    int32_t globalCount;
    const Tag *globalLights;
    // 2^(10 g) of the highlight exponents for the glossiness g last seen.
    zoBoolean exponentValid;
    float exponentGloss;
    double exponent;
    // The Blinn or Phong highlight power for the glossiness and scale last
    // seen: its exponent in single precision and the base under which the
    // power is 0.
    zoBoolean powerValid;
    float powerGloss;
    float powerScale;
    float powerExponent;
    float powerZeroBelow;
    // The material's instance data as its user pointer holds it: both live
    // from the instance's init to its exit, which releases this block too.
    void *materialInstance;
    // The model parameters last found without connections, and the memo
    // generation then: a model instance's connections stay as they are
    // until its exit, which starts a new generation.
    const void *plainModelParams;
    uint32_t plainModelGeneration;
};

// The host's light-list record of an instance (query 102 on the instance,
// then 105 on that tag). Element k of the list is lights[first + k];
// elements past the first lie after the record.
struct IllumLightList {
    int32_t count;
    int32_t first;
    Tag lights[1];
    zoBoolean globalLights;  // the scene's global lights apply too
};
static_assert(sizeof(IllumLightList) == 16, "light list layout");

// "KEY_1": set around the traced transparency of a surface.
struct TransparentTraceRecord {
    int32_t tracing;  // 1
    int32_t primary;  // 0 for reflection and refraction rays, else 1
};

// Runs once per light that illuminates the shaded instance.
typedef void (*IllumLightCallback)(RenderState *state, Tag light, LightIllumRecord *record,
                                   void *user);

extern "C" {
// The light loop: for every light of the instance's light list (and the
// scene's global lights when the list says so) resets the "KEY_5" record
// and runs `callback`. Does nothing on light, shadow and displacement rays.
__attribute__((visibility("default"))) zoBoolean IllumAccumulate(RenderState *state,
                                                                 IllumLightCallback callback,
                                                                 void *user);
}

namespace kor {
// IllumAccumulate for a material with a per-thread scratch block, which
// keeps the light list of the shaded instance and the global lights (null:
// asked every time).
zoBoolean illumAccumulate(RenderState *state, IllumLightCallback callback, void *user,
                          MaterialScratch *scratch);

// The pieces of the light loop, for models that run their light step
// inline (illumAccumulateWith below).
//
// The light list of the shaded instance and its own lights (`*own`,
// `*ownCount`; 0 when it has none); null when no loop runs (light, shadow
// and displacement rays, or no light list).
// The host's light list of the state's instance, kept in `scratch` (may be
// null); null when the host names none.
const IllumLightList *illumAskLightList(RenderState *state, MaterialScratch *scratch);
inline const IllumLightList *illumLightList(RenderState *state, MaterialScratch *scratch,
                                            const Tag **own, int *ownCount) {
    *own = nullptr;
    *ownCount = 0;
    if (!state) return nullptr;
    if (state->type == ZO_RAY_LIGHT || state->type == ZO_RAY_SHADOW ||
        state->type == ZO_RAY_DISPLACE)
        return nullptr;
    const IllumLightList *list =
        scratch && state->instance && scratch->lightInstance == state->instance
            ? scratch->lightList
            : illumAskLightList(state, scratch);
    if (!list) return nullptr;
    if (list->count > 0 && list->first >= 0) {
        // the list's elements lie past its one declared slot
        *own = reinterpret_cast<const Tag *>(reinterpret_cast<const char *>(list) +
                                             offsetof(IllumLightList, lights)) +
               list->first;
        *ownCount = list->count;
    }
    return list;
}
// The scene's global lights (`*lights`) and their number, asked once a list
// that wants them has run.
int illumGlobalLights(RenderState *state, MaterialScratch *scratch, const Tag **lights);

constexpr LightIllumRecord kLightRecordReset = {0, 1.0f, 0, kAffectDiffuse | kAffectSpecular};

// Runs `perLight(tag, record)` over `count` light tags with a fresh "KEY_5"
// record per light; the record is removed afterwards. The lights sampled
// meanwhile find the host's copy through the loop link.
template <class F>
inline __attribute__((always_inline)) void illumRunLightList(RenderState *state, const Tag *lights,
                                                             int count, F &perLight) {
    LightIllumRecord local = kLightRecordReset;
    zo_shaderstate_set(state, KOR_KEY_LIGHT_ILLUM, &local, sizeof local, ZO_SHADERSTATE_RAY_TREE);
    int size = 0;
    auto *copy =
        static_cast<LightIllumRecord *>(zo_shaderstate_get(state, KOR_KEY_LIGHT_ILLUM, &size));
    if (!copy || size < static_cast<int>(sizeof(LightIllumRecord))) copy = nullptr;
    LightLoopLink *link = lightLoopLink(state);
    const RenderState *enclosing = link ? link->state : nullptr;
    if (link) *link = LightLoopLink{state, copy};
    LightIllumRecord *record = copy ? copy : &local;
    for (int i = 0; i < count; ++i) {
        if (!lights[i]) continue;
        *record = kLightRecordReset;
        perLight(lights[i], record);
    }
    zo_shaderstate_set(state, KOR_KEY_LIGHT_ILLUM, nullptr, 0, ZO_SHADERSTATE_RAY_TREE);
    // an enclosing loop's lights now find no record, as the host would say
    if (link) *link = LightLoopLink{enclosing, nullptr};
}

// illumAccumulate with the light step `perLight(tag, record)` run inline.
template <class F>
inline zoBoolean illumAccumulateWith(RenderState *state, MaterialScratch *scratch, F perLight) {
    const Tag *own = nullptr;
    int ownCount = 0;
    const IllumLightList *list = illumLightList(state, scratch, &own, &ownCount);
    if (!list) return 0;
    if (ownCount > 0) illumRunLightList(state, own, ownCount, perLight);
    if (list->globalLights) {
        const Tag *lights = nullptr;
        const int count = scratch && scratch->globalsKnown
                              ? (lights = scratch->globalLights, scratch->globalCount)
                              : illumGlobalLights(state, scratch, &lights);
        if (count > 0) illumRunLightList(state, lights, count, perLight);
    }
    return 1;
}
}  // namespace kor

namespace kor {

// The channel of standard slot `slot` (in range) whose slot map entry is
// `mapped`: that entry, else the default table (slots 8 to 11 follow the
// model's own channels). -1: none.
constexpr int illumSlotChannelOf(int32_t mapped, int channelCount, int slot) {
    int channel = mapped;
    if (channel < 0 && slot >= kSlotBump) channel = channelCount + (slot - kSlotBump);
    return channel >= 0 && channel < kIllumChannels ? channel : -1;
}
// The channel of standard slot `slot`: the model's slot map (none: the
// default table alone), as illumSlotChannelOf. -1: none.
inline int illumResolveSlot(const int32_t *slotMap, int channelCount, int slot) {
    if (slot < 0 || slot >= kIllumSlotCount) return -1;
    return illumSlotChannelOf(slotMap ? slotMap[slot] : -1, channelCount, slot);
}
inline int illumSlotChannel(const IllumRecord *record, int slot) {
    if (slot < 0 || slot >= kIllumSlotCount) return -1;
    if (record->layout) return record->layout->channel[slot];
    return illumResolveSlot(record->slotMap, record->channelCount, slot);
}

// The channel types that the generic map loop leaves to the material.
constexpr int32_t kChannelUnmapped =
    kChannelSkip1 | kChannelSkip8 | kChannelSkip16 | kChannelSkip32;

// The layout of a model with these tables (types: kIllumChannelTypes
// entries, or null).
inline IllumModelLayout illumResolveLayout(const int32_t *slotMap, int channelCount,
                                           const int32_t *types) {
    IllumModelLayout layout;
    for (int slot = 0; slot < kIllumSlotCount; ++slot)
        layout.channel[slot] = illumResolveSlot(slotMap, channelCount, slot);
    layout.mappedChannels = 0;
    for (int c = 0; c < kIllumChannelTypes; ++c)
        if (types && !(types[c] & kChannelUnmapped)) layout.mappedChannels |= 1u << c;
    layout.reached = channelCount;
    for (int slot = 0; slot < kIllumSlotCount; ++slot)
        if (layout.channel[slot] >= layout.reached) layout.reached = layout.channel[slot] + 1;
    for (int c = layout.reached; c < kIllumChannelTypes; ++c)
        if (layout.mappedChannels & (1u << c)) layout.reached = c + 1;
    return layout;
}

// The channel value of a slot, black when the model has none.
inline Color illumSlotColor(const IllumRecord *record, int slot) {
    const int channel = illumSlotChannel(record, slot);
    return channel >= 0 ? record->channels[channel] : Color{0.0f, 0.0f, 0.0f, 0.0f};
}

// The type of channel `channel` (1 past the table).
inline int32_t illumChannelType(const IllumRecord *record, int channel) {
    if (!record->channelTypes || channel < 0 || channel >= kIllumChannelTypes) return kChannelSkip1;
    return record->channelTypes[channel];
}

// The shared steps, for models and materials that reuse them.
void illumTransmit(RenderState *state, IllumRecord *record);
void illumReflect(RenderState *state, IllumRecord *record);
void illumCombinePlain(IllumRecord *record);
void illumCombineEnergy(IllumRecord *record);
void illumCombineStrauss(IllumRecord *record);

// The colour through which what lies behind shows: additive 1 - o in all
// four components; subtractive (1 - D)(1 - o); filter: F lifted towards
// white below o = 0.5, lowered towards black above it.
Color transparencyColor(int mode, float o, const Color &filter, const Color &diffuse);

// The dielectric Fresnel reflectance for mirror direction R, ray
// direction I and refraction index n.
float dielectricFresnel(const Vector3 &R, const Vector3 &I, float n);

}  // namespace kor

#endif
