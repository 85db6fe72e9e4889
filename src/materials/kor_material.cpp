// The standard material: map slots per channel, wire and two-sided
// switches, opacity with falloff, three transparency types, reflection and
// refraction maps and bump, shaded by a separate illumination model that
// calls back into the material's shade step. Also the matte/shadow
// material.
#include <emmintrin.h>
#include <immintrin.h>
#include <math.h>
#include <stddef.h>
#include <string.h>

#include <initializer_list>

#include "illum.h"
#include "illum_models.h"
#include "kor_context.h"
#include "kor_memo.h"
#include "kor_rendelem.h"
#include "kor_statekeys.h"
#include "kor_support.h"
#include "kor_surface.h"
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "scenedata.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "kor_material";
constexpr int kMapChannels = 24;
// The channels past kIllumReachedChannels and the model's reach are never
// read: they are cleared only where the record's channels are handed out
// whole (hand_to_elements).
constexpr int kReachedChannels = kIllumReachedChannels;

struct StandardMaterialParams {
    IllumMaterialParams base;  // wire .. reflectionLevel
    kor::ParamArray<zoBoolean> mapEnabled;
    kor::ParamArray<Tag> maps;
    kor::ParamArray<float> mapAmounts;
    int32_t ambientDiffuseMapLock;
    int32_t unused[3];
    int32_t materialId;
    Tag illumination;
};

static_assert(offsetof(StandardMaterialParams, mapEnabled) == 76, "standard material layout");
static_assert(offsetof(StandardMaterialParams, illumination) == 132, "standard material layout");

// The map slot of a channel: enabled, present, its tag and amount.
struct MapSlot {
    int32_t enabled = 0;
    Tag map = 0;
    float amount = 0.0f;
    bool usable() const { return enabled && map; }
};

struct MaterialInstance {
    int32_t errorReported;
    SceneData *sceneData;
    int32_t energyBlend;
    uint32_t usableMaps;          // bit c: slot c is switched on and holds a map
    uint32_t assignedMaps;        // bit c: slot c holds a map
    MapSlot slots[kMapChannels];  // the switches and maps of the slots (amounts are read live)
};

// Everything one shading call needs beyond the record.
struct Call {
    const StandardMaterialParams *params;
    MaterialInstance *instance;
    MaterialScratch *scratch;
};

bool photon_ray(int type) {
    return (type >= 8 && type <= 15) || type == 18 || type == 19 || type == 23 || type == 24 ||
           type == 27;
}

// Inlined: returned by value, the slot would be built in memory from two
// word stores and read back as one wider load, which stalls.
__attribute__((always_inline)) inline MapSlot map_slot(const StandardMaterialParams *p,
                                                       int channel) {
    MapSlot s;
    if (channel < 0 || channel >= kMapChannels) return s;
    if (channel < p->mapEnabled.count)
        s.enabled = p->mapEnabled[p->mapEnabled.start + channel] != 0;
    if (channel < p->maps.count) s.map = p->maps[p->maps.start + channel];
    if (channel < p->mapAmounts.count) s.amount = p->mapAmounts[p->mapAmounts.start + channel];
    return s;
}

// The map slot of a channel: its switch and map from the instance's copy
// when there is one (the slot arrays are fixed for the life of an
// instance), its amount from the record.
__attribute__((always_inline)) inline MapSlot slot_of(const IllumRecord *r,
                                                      const StandardMaterialParams *p,
                                                      int channel) {
    const auto *instance = static_cast<const MaterialInstance *>(r->materialData);
    if (!instance) return map_slot(p, channel);
    if (channel < 0 || channel >= kMapChannels) return MapSlot{};
    MapSlot s = instance->slots[channel];
    if (channel < p->mapAmounts.count) s.amount = p->mapAmounts[p->mapAmounts.start + channel];
    return s;
}

// Bit `channel` of a slot mask (none for channels past the slots).
inline bool in_mask(uint32_t mask, int channel) {
    return channel >= 0 && channel < kMapChannels && (mask >> channel & 1u);
}

bool call_map(RenderState *state, const StandardMaterialParams *p, Tag map, int kind, Color *out) {
    kor::MapRequest request{kind, 0, p->base.mapCallExtra};
    return zo_call_shader_x(out, ZO_SHADER_MAP, state, map, &request) == 1;
}

// Mono blend of a map value v by amount a into a base value.
float mono_blend(float v, float a, float base) {
    if (a >= 0.0f && a <= 1.0f) return (1 - a) * base + a * v;
    if (a > 1.0f) return a * v;
    return fmaxf(0.0f, 1 + a) * base - (1 - v) * a;
}

void colour_blend(Color &channel, const Color &m) {
    // max(0, x) without the library call: x = 1 - |a| is never -0, and a
    // NaN gives 0 either way
    const float x = 1.0f - fabsf(m.a);
    const float keep = x > 0.0f ? x : 0.0f;
    channel.r = channel.r * keep + m.r;
    channel.g = channel.g * keep + m.g;
    channel.b = channel.b * keep + m.b;
}

template <class Slots>
__attribute__((always_inline)) inline Color *channel_of(IllumRecord *r, int slot, Slots slots) {
    const int c = slots(slot);
    return c >= 0 ? &r->channels[c] : nullptr;
}

// ---------------------------------------------------------------------------
// Wire band.

float distance2_to_line(Vector3 p, Vector3 a, Vector3 b) {
    const Vector3 e = b - a;
    float len2 = kor::dot(e, e);
    if (len2 == 0.0f) len2 = 0.000001f;
    const Vector3 c = kor::cross(p - a, e);
    return kor::dot(c, c) / len2;
}

bool inside_wire_band(RenderState *state, const IllumMaterialParams &p) {
    Vector3 v[3];
    if (!zo_tri_vectors(state, ZO_TRI_POSITION, 0, v)) return true;
    for (Vector3 &x : v) {
        const Vector3 object = x;
        zo_point_from_object(&x, state, &object);
    }
    int32_t visible[3] = {1, 1, 1};
    GetEdgeVisibility(state, &visible[0], &visible[1], &visible[2]);
    const float half = p.wireSize * 0.5f;
    Vector3 point = state->point;
    if (p.wireUnits == 0) {
        Vector3 raster[3];
        for (int i = 0; i < 3; ++i) zo_point_to_raster(&raster[i], state, &v[i]);
        Vector3 pr;
        zo_point_to_raster(&pr, state, &point);
        for (int i = 0; i < 3; ++i) {
            if (!visible[i]) continue;
            Vector3 a = raster[i], b = raster[(i + 1) % 3], q = pr;
            a.z = b.z = q.z = 0.0f;
            if (distance2_to_line(q, a, b) <= half * half) return true;
        }
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        if (!visible[i]) continue;
        if (distance2_to_line(point, v[i], v[(i + 1) % 3]) <= half * half) return true;
    }
    return false;
}

bool two_sided(const Call &call) {
    return call.params->base.twoSided ||
           (call.instance && call.instance->sceneData && call.instance->sceneData->twoSided);
}

// The point is hidden: the ray goes on through the surface.
zoBoolean hide(Color *result, RenderState *state) {
    if (kor::transparencyProbeRecord(state)) {
        *result = {0, 0, 0, 0};
        return 1;
    }
    if (state->options && state->options->render_mode == 'r' && state->secondary) {
        *result = {0, 0, 0, 0};
        return 1;
    }
    return zo_trace_continue(result, state);
}

// ---------------------------------------------------------------------------
// Shared by the surface, shadow and photon steps.

// Opacity and filter channels from the parameters.
template <class Slots>
__attribute__((always_inline)) inline void base_channels(RenderState *state, IllumRecord *r,
                                                         const StandardMaterialParams *p,
                                                         Slots slots) {
    if (Color *o = channel_of(r, kSlotOpacity, slots)) o->r = kor::eval(state, &p->base.opacity);
    if (r->supportedParams & kSupportFilterColor)
        if (Color *f = channel_of(r, kSlotFilter, slots)) *f = p->base.filterColor;
}

void set_normal(RenderState *state, IllumRecord *r, const StandardMaterialParams *p) {
    if (p->base.faceted) {
        state->normal = state->normal_geom;
        state->dot_nd = kor::dot(state->normal, state->dir);
    }
    r->normal = state->normal;
    r->viewDir = state->dir;
}

struct Bump {
    bool changed = false;
    Vector3 vector = {0, 0, 0};
    float amount = 0.0f;
};

template <class Slots>
__attribute__((always_inline)) inline Bump apply_bump(RenderState *state, IllumRecord *r,
                                                      const StandardMaterialParams *p,
                                                      uint32_t usable, Slots slots) {
    Bump bump;
    const int channel = slots(kSlotBump);
    if (!r->mapsOn || !in_mask(usable, channel)) return bump;
    const MapSlot slot = slot_of(r, p, channel);
    r->mapFlags |= kMapFlagBump;
    Color v = {0, 0, 0, 0};
    if (!call_map(state, p, slot.map, kor::kMapBump, &v)) return bump;
    const float a = state->inv_normal ? -slot.amount : slot.amount;
    bump.vector = {v.r, v.g, v.b};
    bump.amount = slot.amount;
    state->normal = kor::normalize(state->normal + bump.vector * a);
    r->normal = state->normal;
    state->dot_nd = kor::dot(state->normal, state->dir);
    bump.changed = true;
    return bump;
}

// The slots that are switched on and hold a map; the slot arrays are fixed
// for the life of an instance.
uint32_t usable_maps(const StandardMaterialParams *p) {
    uint32_t mask = 0;
    for (int c = 0; c < kMapChannels; ++c)
        if (map_slot(p, c).usable()) mask |= 1u << c;
    return mask;
}

// The slots that hold a map, switched on or not.
uint32_t assigned_maps(const StandardMaterialParams *p) {
    uint32_t mask = 0;
    for (int c = 0; c < kMapChannels; ++c)
        if (map_slot(p, c).map) mask |= 1u << c;
    return mask;
}

void run_map_loop(RenderState *state, IllumRecord *r, const StandardMaterialParams *p,
                  uint32_t usable) {
    const int ambient = kor::illumSlotChannel(r, kSlotAmbient);
    const int diffuse = kor::illumSlotChannel(r, kSlotDiffuse);
    const int lock = p->ambientDiffuseMapLock;
    for (; usable; usable &= usable - 1) {
        const int c = __builtin_ctz(usable);
        const int32_t type = kor::illumChannelType(r, c);
        if (type & kor::kChannelUnmapped) continue;
        const MapSlot slot = slot_of(r, p, c);
        if (!(type & kChannelMono)) {
            if (c == ambient && lock != 0) continue;
            Color m = {0, 0, 0, 0};
            if (!call_map(state, p, slot.map, kor::kMapColor, &m)) continue;
            m = {m.r * slot.amount, m.g * slot.amount, m.b * slot.amount, m.a * slot.amount};
            colour_blend(r->channels[c], m);
            if (c == diffuse && lock == 1 && ambient >= 0) {
                if (kor::illumChannelType(r, ambient) & kChannelMono)
                    r->channels[ambient].r =
                        mono_blend((m.r + m.g + m.b) * 0.33333334f, 1.0f, r->channels[ambient].r);
                else
                    colour_blend(r->channels[ambient], m);
            }
        } else {
            Color m = {0, 0, 0, 0};
            if (!call_map(state, p, slot.map, kor::kMapGrey, &m)) continue;
            const float v = (m.r + m.g + m.b) * 0.33333334f;
            r->channels[c].r = mono_blend(v, slot.amount, r->channels[c].r);
            if (c == diffuse && lock == 1 && ambient >= 0)
                r->channels[ambient].r = mono_blend(v, slot.amount, r->channels[ambient].r);
        }
    }
}

// The maps of the channels the model leaves to the generic loop (the
// layout says which, so that the others cost no visit), blended into the
// channels.
inline void map_loop(RenderState *state, IllumRecord *r, const StandardMaterialParams *p,
                     uint32_t usable) {
    if (!r->mapsOn) return;
    if (r->layout) usable &= r->layout->mappedChannels;
    if (usable) run_map_loop(state, r, p, usable);
}

template <class Slots>
__attribute__((always_inline)) inline void opacity_falloff(IllumRecord *r,
                                                           const StandardMaterialParams *p,
                                                           Slots slots) {
    const Color *oc = channel_of(r, kSlotOpacity, slots);
    float o = oc ? oc->r : 1.0f;
    const float amount = p->base.falloffAmount;
    if (!(o == 1.0f && amount == 0.0f)) {
        r->mapFlags |= kMapFlagTransparent;
        if (amount != 0.0f) {
            float t = fabsf(kor::dot(r->normal, r->viewDir));
            if (p->base.falloffType == 1) t = 1.0f - t;
            o = (1.0f - t * amount) * o;
        }
    }
    r->opacity = o;
    if (o < 1.0f) r->mapFlags |= kMapFlagTransparent;
}

// Calls a reflection or refraction map along a turned ray direction. With
// `keep` the reason stays stored after the call, for a second map call that
// stores its own over it before anything else runs.
__attribute__((always_inline)) inline bool map_along(RenderState *state,
                                                     const StandardMaterialParams *p, Tag map,
                                                     const Vector3 &dir, int reason, Color *out,
                                                     bool keep = false) {
    kor::storeCallReason(state, kor::MapCallReason{state->dir, reason});
    const Vector3 saved = state->dir;
    state->dir = dir;
    const bool ok = call_map(state, p, map, kor::kMapColor, out);
    state->dir = saved;
    if (!keep) kor::removeCallReason(state);
    return ok;
}

Color transparency_of(const IllumRecord *r, const StandardMaterialParams *p, float o) {
    return kor::transparencyColor(p->base.transparencyType, o, kor::illumSlotColor(r, kSlotFilter),
                                  kor::illumSlotColor(r, kSlotDiffuse));
}

// ---------------------------------------------------------------------------
// Surface step.

void hand_to_elements(RenderState *state, const IllumRecord *r, const StandardMaterialParams *p) {
    // no element handler has stored its context: the question's answer is no
    if (!kor::stateKeyMayBeStored(kor::kOwnKeyRenderElements) || !RenderElementsAreBeingUsed(state))
        return;
    RenderElementPostIllumData d;
    InitializeRenderElementPostIllumData(state, &d);
    RenderElementIllum &e = d.illum;
    d.flags = 0;
    e.opacity = r->opacity;
    e.reflectionAmount = r->reflectionAmount;
    e.refractionAmount = r->refractionAmount;
    e.ambient = r->ambient;
    e.diffuse = r->diffuse;
    e.diffuse.r += r->indirect.r;
    e.diffuse.g += r->indirect.g;
    e.diffuse.b += r->indirect.b;
    e.refraction = r->refraction;
    e.selfIllum = r->selfIllum;
    e.specular = r->specular;
    e.reflection = r->reflection;
    e.diffuseIntensity = r->diffuseIntensity;
    e.litScale = r->diffuseWeight;
    e.shadedColor = r->finalColor;
    e.transparency = r->transparency;
    e.layerTransmission = r->transparencyCopy;
    static_assert(sizeof d.channels == sizeof r->channels, "every channel is handed out");
    // the channels cleared here, or by the model whose layout reaches further
    const int reached =
        r->layout && r->layout->reached > kReachedChannels ? r->layout->reached : kReachedChannels;
    memcpy(d.channels, r->channels, reached * sizeof(Color));
    memset(d.channels + reached, 0, (kIllumChannels - reached) * sizeof(Color));
    d.channelTable = r->slotMap;
    d.materialId = p->materialId;
    kor_CallRenderElementShaders_PostIllum(state, &d);
}

template <class Slots>
__attribute__((always_inline)) inline zoBoolean surface_steps(Color *result, RenderState *state,
                                                              IllumRecord *r, void *model,
                                                              Slots slots) {
    const auto *p = static_cast<const StandardMaterialParams *>(r->materialParams);
    if (state->type == ZO_RAY_EYE && p->materialId != 0) zo_fb_put(state, 0, &p->materialId);

    const Vector3 kept_normal = state->normal;
    const float kept_dot = state->dot_nd;
    const auto *instance = static_cast<const MaterialInstance *>(r->materialData);
    const uint32_t usable = instance ? instance->usableMaps : usable_maps(p);
    const uint32_t assigned = instance ? instance->assignedMaps : assigned_maps(p);
    base_channels(state, r, p, slots);
    set_normal(state, r, p);
    r->mapFlags = 0;
    const Bump bump = apply_bump(state, r, p, usable, slots);
    map_loop(state, r, p, usable);
    opacity_falloff(r, p, slots);

    const int reflection = slots(kSlotReflection);
    const int refraction = slots(kSlotRefraction);
    const bool refracts = r->mapsOn && in_mask(usable, refraction);
    if (in_mask(assigned, reflection)) r->mapFlags |= kMapFlagReflectionAssigned;
    if (r->mapsOn && in_mask(usable, reflection)) {
        const MapSlot rslot = slot_of(r, p, reflection);
        r->mapFlags |= kMapFlagReflection;
        Vector3 dir;
        zo_reflection_dir(&dir, state);
        // the refraction map's reason replaces this one (only the host's
        // direction query runs in between)
        map_along(state, p, rslot.map, dir, 2, &r->channels[reflection], refracts);
        r->reflectionAmount = r->channels[reflection].a * rslot.amount;
    }
    if (in_mask(assigned, refraction)) r->mapFlags |= kMapFlagRefractionAssigned;
    if (refracts) {
        const MapSlot tslot = slot_of(r, p, refraction);
        r->mapFlags |= kMapFlagRefraction;
        Vector3 dir;
        if (!zo_refraction_dir(&dir, state, state->ior_in, state->ior))
            zo_reflection_dir(&dir, state);
        map_along(state, p, tslot.map, dir, 3, &r->channels[refraction]);
        r->refractionAmount = tslot.amount;
    }

    Color irr = {0, 0, 0, 0};
    kor::irradiance(&irr, state, bump.changed, kept_normal, bump.vector, bump.amount);
    // irradiance x diffuse colour in r, g and b, alpha 0
    const __m128 indirect =
        _mm_mul_ps(kor::colourLanes(irr), kor::colourLanes(kor::slotColor(r, slots, kSlotDiffuse)));
    _mm_storeu_ps(&r->indirect.r, kor::rgbWithAlphaLane(indirect, _mm_setzero_ps()));

    if (r->illuminate) r->illuminate(state, r, model);

    const Color &T = r->transparency;
    const float alpha = 1.0f - (T.r + T.g + T.b) / 3.0f;
    const __m128 shaded =
        kor::rgbWithAlphaLane(kor::colourLanes(r->finalColor), _mm_set1_ps(alpha));
    _mm_storeu_ps(&result->r, shaded);
    _mm_storeu_ps(&r->finalColor.r, shaded);

    if (auto *probe = static_cast<TransparencyProbe *>(kor::transparencyProbeRecord(state))) {
        probe->filled = 1;
        probe->transparency = T;
    }
    if (state->options && state->options->render_mode == 'r') {
        const Color opacity = {1 - T.r, 1 - T.g, 1 - T.b, alpha};
        zo_opacity_set(state, &opacity);
    }
    hand_to_elements(state, r, p);
    state->normal = kept_normal;
    state->dot_nd = kept_dot;
    return 1;
}

// The surface step, with the Blinn family's channels known as constants
// when the record has that family's layout.
zoBoolean surface_step(Color *result, RenderState *state, IllumRecord *r, void *model) {
    if (r->layout == &kor::kBlinnFamilyLayout)
        return surface_steps(result, state, r, model, kor::BlinnSlots{});
    return surface_steps(result, state, r, model, kor::LayoutSlots{r});
}

// ---------------------------------------------------------------------------
// Shadow step.

bool black(const Color &c) {
    return c.r == 0.0f && c.g == 0.0f && c.b == 0.0f;
}

zoBoolean shadow_step(Color *result, RenderState *state, IllumRecord *r, void *) {
    const auto *p = static_cast<const StandardMaterialParams *>(r->materialParams);
    auto *scratch = static_cast<MaterialScratch *>(r->scratch);
    if (scratch && scratch->translucencyPass && scratch->passInstance == state->instance) {
        scratch->thickness =
            fmaxf(scratch->thickness, kor::length(state->point - scratch->passPoint));
        return !black(*result);
    }
    const char mode = state->options ? state->options->shadow : 0;
    float facing;
    if (mode == ZO_SHADOW_ON || mode == ZO_SHADOW_SORTED) {
        facing = -kor::dot(state->normal, state->dir);
    } else if (mode == ZO_SHADOW_SEGMENTS) {
        if (!zo_trace_shadow_seg(result, state)) return 0;
        facing = kor::dot(state->normal, state->dir);
    } else {
        return 1;
    }
    const auto *instance = static_cast<const MaterialInstance *>(r->materialData);
    const Call call{p, const_cast<MaterialInstance *>(instance), scratch};
    if (!(two_sided(call) || facing > 0.0f)) return 1;
    if (p->base.wire && !inside_wire_band(state, p->base)) return 1;

    base_channels(state, r, p, kor::LayoutSlots{r});
    float o = kor::eval(state, &p->base.opacity);
    const int opacity = kor::illumSlotChannel(r, kSlotOpacity);
    const MapSlot oslot = slot_of(r, p, opacity);
    if (r->mapsOn && oslot.usable()) {
        Color m = {0, 0, 0, 0};
        if (call_map(state, p, oslot.map, kor::kMapGrey, &m))
            o = mono_blend((m.r + m.g + m.b) * 0.33333334f, oslot.amount, o);
    }
    if (NodeData *node = GetNodeData(state->instance))
        if (!IsInstanceShadowMakerForLight(state, node)) return 1;
    if (o == 1.0f && p->base.falloffAmount == 0.0f) {
        *result = {0, 0, 0, 0};
        return 0;
    }
    if (p->base.falloffAmount != 0.0f) {
        Vector3 normal = p->base.faceted ? state->normal_geom : state->normal;
        r->normal = normal;
        r->viewDir = state->dir;
        float t = fabsf(kor::dot(normal, state->dir));
        if (p->base.falloffType == 1) t = 1.0f - t;
        o = (1.0f - t * p->base.falloffAmount) * o;
    }
    const int blended = p->base.transparencyType == kTransparencySubtractive
                            ? kor::illumSlotChannel(r, kSlotDiffuse)
                        : p->base.transparencyType == kTransparencyFilter
                            ? kor::illumSlotChannel(r, kSlotFilter)
                            : -1;
    const MapSlot bslot = slot_of(r, p, blended);
    if (r->mapsOn && blended >= 0 && bslot.usable()) {
        Color m = {0, 0, 0, 0};
        if (call_map(state, p, bslot.map, kor::kMapColor, &m)) {
            m = {m.r * bslot.amount, m.g * bslot.amount, m.b * bslot.amount, m.a * bslot.amount};
            colour_blend(r->channels[blended], m);
        }
    }
    const Color T = transparency_of(r, p, o);
    *result = {result->r * T.r, result->g * T.g, result->b * T.b, 0.0f};
    return !black(*result);
}

// ---------------------------------------------------------------------------
// Photon step.

Color times(const Color &a, const Color &b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b, a.a};
}

zoBoolean photon_step(Color *result, RenderState *state, IllumRecord *r, void *) {
    const auto *p = static_cast<const StandardMaterialParams *>(r->materialParams);
    const Color E = *result;
    base_channels(state, r, p, kor::LayoutSlots{r});
    set_normal(state, r, p);
    r->mapFlags = 0;
    const auto *instance = static_cast<const MaterialInstance *>(r->materialData);
    const uint32_t usable = instance ? instance->usableMaps : usable_maps(p);
    apply_bump(state, r, p, usable, kor::LayoutSlots{r});
    map_loop(state, r, p, usable);
    opacity_falloff(r, p, kor::LayoutSlots{r});

    const int refraction = kor::illumSlotChannel(r, kSlotRefraction);
    const MapSlot tslot = slot_of(r, p, refraction);
    Color T = {0, 0, 0, 0};
    if ((r->supportedParams & kSupportRefraction) && r->mapsOn && tslot.usable()) {
        r->refractionAmount = tslot.amount;
        r->opacity *= 1.0f - tslot.amount;
        T = transparency_of(r, p, r->opacity);
    } else if ((r->supportedParams & kSupportTracedTransparency) &&
               (r->mapFlags & kMapFlagTransparent)) {
        T = transparency_of(r, p, r->opacity);
    }
    Color D = kor::illumSlotColor(r, kSlotDiffuse);
    if (D.r > 0.000001f || D.g > 0.000001f || D.b > 0.000001f) zo_store_photon(&E, state);
    const int specular_channel = kor::illumSlotChannel(r, kSlotSpecular);
    const int level_channel = kor::illumSlotChannel(r, kSlotSpecularLevel);
    Color S = specular_channel >= 0 ? r->channels[specular_channel] : D;
    const float level = level_channel >= 0 ? r->channels[level_channel].r : 0.0f;
    S = {S.r * level, S.g * level, S.b * level, S.a};

    double u = 0.0;
    int counter = 0;
    zo_sample(&u, &counter, state, 1, nullptr);
    Color sum = {D.r + S.r, D.g + S.g, D.b + S.b, 0};
    float pmax = fmaxf(sum.r, fmaxf(sum.g, sum.b));
    if (pmax > 1.0f) {
        for (Color *c : {&D, &S, &sum}) {
            c->r /= pmax;
            c->g /= pmax;
            c->b /= pmax;
        }
        pmax = 1.0f;
    }
    if (u < 1.0 - pmax) return 1;  // absorbed
    float x = static_cast<float>(u) - (1.0f - pmax);
    const float total = sum.r + sum.g + sum.b;
    if (total <= 0.0f) return 1;
    const float ps = pmax * (S.r + S.g + S.b) / total, pd = pmax * (D.r + D.g + D.b) / total;
    const float o = r->opacity;
    enum { kNone, kSpecReflect, kSpecTransmit, kDiffReflect, kDiffTransmit } kind = kNone;
    auto divide = [](Color &c, float share) {
        if (share > 0.0f) {
            c.r /= share;
            c.g /= share;
            c.b /= share;
        }
    };
    const float shares[4] = {o * ps, (1 - o) * ps, o * pd, (1 - o) * pd};
    for (int i = 0; i < 4 && kind == kNone; ++i) {
        if (x < shares[i]) {
            kind = static_cast<decltype(kind)>(i + 1);
            divide(i < 2 ? S : D, shares[i]);
        } else {
            x -= shares[i];
        }
    }
    if (kind == kNone) return 1;

    Color energy;
    switch (kind) {
        case kSpecReflect: energy = times(E, S); break;
        case kDiffReflect: energy = times(E, D); break;
        case kSpecTransmit: energy = times(times(E, S), T); break;
        default: energy = times(times(E, D), T); break;
    }
    const bool reflects = kind == kSpecReflect || kind == kDiffReflect;
    const int map_channel = kor::illumSlotChannel(r, reflects ? kSlotReflection : kSlotRefraction);
    const MapSlot mslot = slot_of(r, p, map_channel);
    const float ior_in = state->ior_in != 0.0f ? state->ior_in : 1.0f;
    const float ior = state->ior != 0.0f ? state->ior : 1.0f;
    Vector3 dir;
    if (mslot.usable()) {
        bool have_dir = true;
        int reason = 0;
        switch (kind) {
            case kSpecReflect:
                zo_reflection_dir_specular(&dir, state);
                reason = 10;
                break;
            case kDiffReflect:
                zo_reflection_dir_diffuse(&dir, state);
                reason = 12;
                break;
            case kSpecTransmit:
                have_dir = zo_transmission_dir_specular(&dir, state, ior_in, ior) != 0;
                reason = 13;
                break;
            default:
                zo_transmission_dir_diffuse(&dir, state);
                reason = 15;
                break;
        }
        if (have_dir) {
            Color photon = energy;
            map_along(state, p, mslot.map, dir, reason, &photon);
        }
        return 1;
    }
    switch (kind) {
        case kSpecReflect:
            zo_reflection_dir_specular(&dir, state);
            zo_photon_reflection_specular(&energy, state, &dir);
            break;
        case kDiffReflect:
            zo_reflection_dir_diffuse(&dir, state);
            zo_photon_reflection_diffuse(&energy, state, &dir);
            break;
        case kDiffTransmit:
            zo_transmission_dir_diffuse(&dir, state);
            zo_photon_transmission_diffuse(&energy, state, &dir);
            break;
        default:
            if (ior_in == ior) {
                zo_photon_transparent(&energy, state);
            } else if (zo_transmission_dir_specular(&dir, state, ior_in, ior)) {
                zo_photon_transmission_specular(&energy, state, &dir);
            }
            break;
    }
    return 1;
}

// The record is cleared with plain 16-byte stores (two at once where the
// processor has 32-byte ones): a string instruction for a kilobyte takes
// longer to start than these take to finish. The 16-byte pieces that lie
// wholly in the channels past kReachedChannels are left as they are.
__attribute__((optimize("no-tree-loop-distribute-patterns"))) void zero_record(
    IllumRecord *record) {
    static_assert(sizeof(IllumRecord) % 8 == 0, "the record clears in 16- and 8-byte stores");
    constexpr size_t kChannels = offsetof(IllumRecord, channels);
    constexpr size_t kSkipFirst = (kChannels + kReachedChannels * sizeof(Color) + 15) / 16;
    constexpr size_t kSkipEnd = (kChannels + kIllumChannels * sizeof(Color)) / 16;
    constexpr size_t kPieces = sizeof(IllumRecord) / 16;
    const __m128i zero = _mm_setzero_si128();
    auto *out = reinterpret_cast<__m128i *>(record);
    auto cleared = [](size_t i) { return i < kSkipFirst || i >= kSkipEnd; };
#ifdef __AVX__
    const __m256i zero2 = _mm256_setzero_si256();
#pragma GCC unroll 64
    for (size_t i = 0; i < kPieces; i += 2) {
        if (i + 1 < kPieces && cleared(i) && cleared(i + 1)) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), zero2);
        } else {
            if (cleared(i)) _mm_storeu_si128(out + i, zero);
            if (i + 1 < kPieces && cleared(i + 1)) _mm_storeu_si128(out + i + 1, zero);
        }
    }
#else
#pragma GCC unroll 64
    for (size_t i = 0; i < kPieces; ++i)
        if (cleared(i)) _mm_storeu_si128(out + i, zero);
#endif
    if (sizeof(IllumRecord) % 16)
        _mm_storel_epi64(
            reinterpret_cast<__m128i *>(reinterpret_cast<char *>(record) + sizeof(IllumRecord) - 8),
            zero);
}

MaterialInstance *instance_of(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<MaterialInstance *>(*slot) : nullptr;
}

kor::ShaderMemo materialMemo;

}  // namespace

// ---------------------------------------------------------------------------

KOR_EXPORT zoBoolean kor_StandardMaterial(Color *result, RenderState *state,
                                          StandardMaterialParams *params) {
    if (!result || !state || !params) return 0;
    // the thread's scratch and the instance block, as the host answered
    // them before on this thread
    kor::MemoEntry *memo = kor::memo_entry(materialMemo, state);
    auto *scratch = memo ? static_cast<MaterialScratch *>(memo->thread) : nullptr;
    auto *instance = memo ? static_cast<MaterialInstance *>(memo->user) : nullptr;
    if (!scratch || !instance) {
        scratch = static_cast<MaterialScratch *>(
            kor::thread_block(state, kModule, __LINE__, sizeof(MaterialScratch)));
        instance = scratch ? static_cast<MaterialInstance *>(scratch->materialInstance) : nullptr;
        if (!instance) {
            instance = instance_of(state);
            if (scratch) scratch->materialInstance = instance;
        }
        if (memo) {
            memo->thread = scratch;
            memo->user = instance;
        }
    }
    const Call call{params, instance, scratch};

    IllumRecord record;
    zero_record(&record);
    record.scratch = scratch;
    record.energyBlend = instance ? instance->energyBlend : 1;
    record.mapsOn = state->tex_list && state->tex_count > 0;
    record.materialParams = params;
    record.materialData = instance;
    const SceneData *scene =
        instance && instance->sceneData ? instance->sceneData : GetSceneData(state);
    if (scene) record.ambient = scene->ambientColor;

    const int type = state->type;
    if (type != ZO_RAY_SHADOW) {
        const bool culled = type != ZO_RAY_REFRACT && !(type >= 13 && type <= 15);
        if (culled && !two_sided(call) && state->inv_normal) return hide(result, state);
        if (params->base.wire && !inside_wire_band(state, params->base)) return hide(result, state);
    }
    record.shade = type == ZO_RAY_SHADOW ? shadow_step
                   : photon_ray(type)    ? photon_step
                                         : surface_step;

    if (!params->illumination) {
        if (instance && !instance->errorReported) {
            instance->errorReported = 1;
            zo_error("\"%s\" requires illumination shader", kor::shader_name(state));
        }
        return 0;
    }
    kor::IorTracker *tracker =
        scratch ? reinterpret_cast<kor::IorTracker *>(&scratch->iorDepth) : nullptr;
    kor::iorEnter(state, params->base.ior, tracker);
    const zoBoolean ok =
        zo_call_shader_x(result, ZO_SHADER_MAP, state, params->illumination, &record);
    kor::iorLeave(state, tracker);
    return ok;
}

KOR_SHADER_INIT(kor_StandardMaterial) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    kor::memoForget();
    void **slot = kor::user_slot(state);
    if (!slot) return;
    // a repeated init refreshes the instance in place: the thread blocks
    // keep its address until the exit
    auto *instance = static_cast<MaterialInstance *>(*slot);
    if (!instance)
        instance = static_cast<MaterialInstance *>(
            zo_mem_int_allocate(kModule, __LINE__, sizeof(MaterialInstance)));
    if (!instance) return;
    instance->errorReported = 0;
    instance->sceneData = GetSceneData(state);
    const SceneData *s = instance->sceneData;
    instance->energyBlend = !(s && s->energySwitch1 && !s->energySwitch2);
    const auto *p = static_cast<const StandardMaterialParams *>(params);
    instance->usableMaps = usable_maps(p);
    instance->assignedMaps = assigned_maps(p);
    for (int c = 0; c < kMapChannels; ++c) instance->slots[c] = map_slot(p, c);
    *slot = instance;
}

KOR_SHADER_EXIT(kor_StandardMaterial) {
    if (!params) return;
    kor::memoForget();
    kor::for_each_thread_block(state,
                               [](void *block) { zo_mem_int_release(kModule, __LINE__, block); });
    void **slot = kor::user_slot(state);
    if (slot && *slot) {
        zo_mem_int_release(kModule, __LINE__, *slot);
        *slot = nullptr;
    }
}

namespace kor {

bool surfaceInWireBand(RenderState *state, float wireSize, int wireUnits) {
    IllumMaterialParams p;
    memset(&p, 0, sizeof p);
    p.wireSize = wireSize;
    p.wireUnits = wireUnits;
    return inside_wire_band(state, p);
}

zoBoolean surfaceHide(Color *result, RenderState *state) {
    return hide(result, state);
}

}  // namespace kor
