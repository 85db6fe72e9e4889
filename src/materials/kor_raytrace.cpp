// kor_RaytraceMaterial: the raytracing material. It carries its own light
// loop (five shading types) and its own composition: traced reflection and
// refraction through an include or exclude list of objects, distance
// falloff of what is traced, colour density and fog inside refracting
// objects, extra light, translucency, a glow driven by the brightest
// incoming light, 24 map slots with amounts, and the wire, two-sided and
// faceted switches. One function serves eye and secondary rays, shadow rays
// and photon rays.
#include "kor_raytrace.h"

#include <math.h>
#include <stddef.h>
#include <string.h>

#include "illum.h"
#include "illum_models.h"
#include "kor_raytrace_steps.h"
#include "kor_rendelem.h"
#include "kor_support.h"
#include "kor_surface.h"
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "scenedata.h"
#include "shader.h"

namespace {

using namespace kor;
using namespace kor::raytrace;

constexpr const char *kModule = "kor_raytrace";
constexpr int kMapSlots = 24;

enum : int32_t { kReflectAmount = 0, kReflectColor = 1, kReflectFresnel = 2 };
enum : int {
    kMapAmbient = 0,
    kMapDiffuse = 1,
    kMapSpecular = 2,
    kMapGlossiness = 3,
    kMapSpecularLevel = 4,
    kMapSelfIllum = 5,
    kMapTransparency = 7,
    kMapBumpSlot = 8,
    kMapReflectEnv = 9,
    kMapRefractEnv = 10,
    kMapIor = 11,
    kMapReflection = 12,
    kMapTranslucent = 13,
    kMapExtraLight = 14,
    kMapGlow = 15,
    kMapDensity = 16,
    kMapFog = 17,
    kMapDiffuseShape = 21,
    kMapAnisotropy = 22,
    kMapOrientation = 23
};

// The object list of an instance.
struct RaytraceObjectList {
    zoBoolean includeObjects;
    int32_t count;
    Tag *objects;
    // the instance's own record when nothing is connected to it: read as it
    // stands, without a connection test per field
    const RaytraceMaterialParams *plainRecord;
};

// Per-thread scratch: the refraction-index nesting counter, and the light
// loop's keep of the shaded instance's light list.
struct RaytraceScratch {
    IorTracker tracker;
    MaterialScratch lights;
};

// The evaluated parameters of one call (a plain record as it stands).
RaytraceMaterialParams evaluate(RenderState *state, const RaytraceMaterialParams *p, bool plain) {
    RaytraceMaterialParams v;
    memcpy(&v, p, sizeof v);
    if (plain) return v;
#define KOR_EVAL(field) v.field = eval(state, &p->field)
    KOR_EVAL(twoSided);
    KOR_EVAL(mapCallExtra);
    KOR_EVAL(wire);
    KOR_EVAL(faceted);
    KOR_EVAL(ambient);
    KOR_EVAL(ambientIsColor);
    KOR_EVAL(diffuse);
    KOR_EVAL(reflectColor);
    KOR_EVAL(reflectAmount);
    KOR_EVAL(reflectType);
    KOR_EVAL(selfIllumColor);
    KOR_EVAL(selfIllumAmount);
    KOR_EVAL(selfIllumUseColor);
    KOR_EVAL(transparencyColor);
    KOR_EVAL(transparencyAmount);
    KOR_EVAL(transparencyUseColor);
    KOR_EVAL(ior);
    KOR_EVAL(specularColor);
    KOR_EVAL(glossiness);
    KOR_EVAL(specularLevel);
    KOR_EVAL(soften);
    KOR_EVAL(anisotropy);
    KOR_EVAL(orientation);
    KOR_EVAL(densityColor);
    KOR_EVAL(reflectionMode);
    KOR_EVAL(reflectionGain);
    KOR_EVAL(refractionUsesReflectEnv);
    KOR_EVAL(densityOn);
    KOR_EVAL(densityStart);
    KOR_EVAL(densityEnd);
    KOR_EVAL(densityAmount);
    KOR_EVAL(falloffUseColor);
    KOR_EVAL(falloffColor);
    KOR_EVAL(reflectFalloffType);
    KOR_EVAL(refractFalloffType);
    KOR_EVAL(falloffStart);
    KOR_EVAL(reflectFalloffEnd);
    KOR_EVAL(refractFalloffEnd);
    KOR_EVAL(falloffExponent);
    for (int i = 0; i < 4; ++i) KOR_EVAL(falloffCurve[i]);
    KOR_EVAL(extraLight);
    KOR_EVAL(translucentColor);
    KOR_EVAL(glowColor);
    KOR_EVAL(glowBias);
    KOR_EVAL(wireSize);
    KOR_EVAL(wireUnits);
    KOR_EVAL(fogColor);
    KOR_EVAL(fogOn);
    KOR_EVAL(fogStart);
    KOR_EVAL(fogEnd);
    KOR_EVAL(fogAmount);
    KOR_EVAL(traceReflections);
    KOR_EVAL(traceRefractions);
    KOR_EVAL(selfHits);
    KOR_EVAL(includeObjects);
    KOR_EVAL(materialId);
    KOR_EVAL(shadingType);
    KOR_EVAL(carryVolume);
    KOR_EVAL(carryVolumeInside);
#undef KOR_EVAL
    return v;
}

// A map slot: its enabled word, tag and amount.
struct Slot {
    int32_t enabled = 0;
    Tag map = 0;
    float amount = 0.0f;
    bool usable() const { return enabled != 0 && map != 0; }
    bool blends() const { return enabled == 1 && map != 0; }
};

Slot slotOf(RenderState *state, const RaytraceMaterialParams *p, int k) {
    Slot s;
    const int enabledCount = eval(state, &p->mapEnabled.count);
    const int mapCount = eval(state, &p->maps.count);
    const int amountCount = eval(state, &p->mapAmounts.count);
    if (k < enabledCount) s.enabled = eval(state, &p->mapEnabled[p->mapEnabled.start + k]);
    if (k < mapCount) s.map = eval(state, &p->maps[p->maps.start + k]);
    if (k < amountCount) s.amount = eval(state, &p->mapAmounts[p->mapAmounts.start + k]);
    return s;
}

// What the map step left for one slot.
struct Mapped {
    bool ok = false;
    Slot slot;
};

struct Call {
    RenderState *state;
    const RaytraceMaterialParams *raw;  // for the arrays
    RaytraceMaterialParams v;           // evaluated
    RaytraceObjectList *list;
    const SceneData *scene;
    RaytraceScratch *scratch;  // null when the host keeps no thread blocks
};

bool callColor(const Call &c, Tag map, Color *out) {
    MapRequest request{kMapColor, 0, c.v.mapCallExtra};
    return mapColor(out, c.state, &request, map) != 0;
}

float callGrey(const Call &c, Tag map) {
    MapRequest request{kMapGrey, 0, c.v.mapCallExtra};
    return mapGrey(c.state, &request, map);
}

// The colour form of an amount blend: P + a((E + (1 - E.alpha) P) - P).
void colorBlend(Color &value, const Color &P, const Color &E, float a) {
    const float keep = 1.0f - E.a;
    value.r = P.r + a * ((E.r + keep * P.r) - P.r);
    value.g = P.g + a * ((E.g + keep * P.g) - P.g);
    value.b = P.b + a * ((E.b + keep * P.b) - P.b);
}

void greyInto(Color &value, float P, float E, float a) {
    value.r = value.g = value.b = P + a * (E - P);
}

Color grey(float v, float alpha = 0.0f) {
    return {v, v, v, alpha};
}

bool anyPositive(const Color &c) {
    return c.r > 0.0f || c.g > 0.0f || c.b > 0.0f;
}

bool tracingOn(const RenderState *state) {
    return state->options && state->options->trace;
}

RaytraceObjectList *listOf(RenderState *state) {
    void **slot = user_slot(state);
    return slot ? static_cast<RaytraceObjectList *>(*slot) : nullptr;
}

const SceneData *sceneOf(RenderState *state) {
    return GetSceneData(state);
}

bool energyBlendOf(const SceneData *s) {
    return !(s && s->energySwitch1 && !s->energySwitch2);
}

// ---------------------------------------------------------------------------
// "KEY_2" around a trace.

struct OverrideScope {
    bool active = false;
    bool had = false;
    EnvironmentOverride saved;
};

OverrideScope overrideBegin(RenderState *state, const Slot &env) {
    OverrideScope scope;
    if (!env.usable()) return scope;
    int size = 0;
    if (const void *old = zo_shaderstate_get(state, KOR_KEY_ENVIRONMENT_OVERRIDE, &size)) {
        if (size >= static_cast<int>(sizeof scope.saved)) {
            memcpy(&scope.saved, old, sizeof scope.saved);
            scope.had = true;
        }
    }
    EnvironmentOverride record;
    memset(&record, 0, sizeof record);
    record.map = env.map;
    zo_shaderstate_set(state, KOR_KEY_ENVIRONMENT_OVERRIDE, &record, sizeof record,
                       ZO_SHADERSTATE_RAY_TREE);
    scope.active = true;
    return scope;
}

void overrideEnd(RenderState *state, const OverrideScope &scope) {
    if (!scope.active) return;
    if (scope.had)
        zo_shaderstate_set(state, KOR_KEY_ENVIRONMENT_OVERRIDE, &scope.saved, sizeof scope.saved,
                           ZO_SHADERSTATE_RAY_TREE);
    else
        zo_shaderstate_set(state, KOR_KEY_ENVIRONMENT_OVERRIDE, nullptr, 0,
                           ZO_SHADERSTATE_RAY_TREE);
}

// The environment along `dir`, black (r, g, b) on environment rays or when
// the lookup fails.
void environmentInto(Color *c, RenderState *state, const Vector3 &dir) {
    if (state->type == ZO_RAY_ENVIRONMENT || !zo_trace_environment(c, state, &dir))
        c->r = c->g = c->b = 0.0f;
}

// ---------------------------------------------------------------------------
// Falloff, density and fog of traced colours.

}  // namespace

namespace kor {

// The weight w of the falloff of a traced colour at distance d (1: the
// traced colour, 0: the falloff target); -1 when the type leaves the colour
// alone.
float raytraceMaterialFalloff(int type, float d, float start, float end, float exponent,
                              const float curve[4]) {
    const float r = end - start;
    if (type < 1 || type > 4) return -1.0f;
    if (r == 0.0f) return 0.0f;
    switch (type) {
        case 1: return clamp01(1.0f - (d - start) / r);
        case 2: {
            if (d < start) return -1.0f;
            const float t = (d - start) / r;
            float q = t * t;
            if (q < 0.00001f) q = 1.0f;
            return fminf(1.0f, 1.0f / q);
        }
        case 3: return powf(clamp01(1.0f - (d - start) / r), exponent);
        default: {
            // the cubic runs from c0 at the start to c3 at the end, held there
            const float u = clamp01((d - start) / r);
            const float t = 1.0f - u;
            const float w = t * t * t * curve[0] + 3.0f * u * t * t * curve[1] +
                            3.0f * u * u * t * curve[2] + u * u * u * curve[3];
            return clamp01(w);
        }
    }
}

}  // namespace kor

namespace {

void applyFalloff(const Call &c, Color *C, double d, int type, float end, const Vector3 &dir) {
    if (type < 1 || type > 4) return;
    Color F = kBlack;
    if (c.v.falloffUseColor)
        F = c.v.falloffColor;
    else
        environmentInto(&F, c.state, dir);
    if (end - c.v.falloffStart == 0.0f) {
        *C = F;
        return;
    }
    const float w = raytraceMaterialFalloff(type, static_cast<float>(d), c.v.falloffStart, end,
                                            c.v.falloffExponent, c.v.falloffCurve);
    if (w < 0.0f) return;
    C->r = C->r * w + F.r * (1.0f - w);
    C->g = C->g * w + F.g * (1.0f - w);
    C->b = C->b * w + F.b * (1.0f - w);
}

// The share f of density or fog over distance d.
float rangeShare(double d, float start, float end, float amount) {
    const float x = static_cast<float>(d) - start;
    if (!(x > 0.0f)) return 0.0f;
    const float r = end - start;
    return r < x ? amount : fminf(1.0f, amount * x / r);
}

void applyDensityFog(const Call &c, const RaytraceSample &S, Color *C, double d) {
    if (c.state->inv_normal) return;
    if (c.v.densityOn) {
        const float f = rangeShare(d, c.v.densityStart, c.v.densityEnd, c.v.densityAmount);
        C->r = C->r * S.densityColor.r * f + C->r * (1.0f - f);
        C->g = C->g * S.densityColor.g * f + C->g * (1.0f - f);
        C->b = C->b * S.densityColor.b * f + C->b * (1.0f - f);
    }
    if (c.v.fogOn) {
        const float f = rangeShare(d, c.v.fogStart, c.v.fogEnd, c.v.fogAmount);
        C->r = S.fogColor.r * f + C->r * (1.0f - f);
        C->g = S.fogColor.g * f + C->g * (1.0f - f);
        C->b = S.fogColor.b * f + C->b * (1.0f - f);
    }
}

}  // namespace

namespace kor {

// The refraction direction of the material from the state's two indices;
// `total` is set on total internal reflection (the mirror direction).
Vector3 raytraceMaterialRefraction(RenderState *state, bool *total) {
    float eta;
    if (state->inv_normal)
        eta = state->ior_in != 0.0f ? state->ior_in : 1.0f;
    else
        eta = 1.0f / (state->ior != 0.0f ? state->ior : 1.0f);
    const Vector3 N = state->normal;
    const Vector3 I = state->dir;
    const float c = -dot(N, I);
    const float k = 1.0f - (1.0f - c * c) * eta * eta;
    *total = k < 0.0001f;
    if (*total) {
        Vector3 R;
        zo_reflection_dir(&R, state);
        return R;
    }
    return normalize(I * eta + N * (c * eta - sqrtf(k)));
}

}  // namespace kor

namespace {

// ---------------------------------------------------------------------------
// Maps and traces.

struct MapState {
    Mapped diffuse, specular, translucent, extraLight, glow, density, fog, diffuseShape, ambient,
        specularLevel, glossiness, anisotropy, orientation, selfIllum;
    bool bumpChanged = false;
    Vector3 bumpVector = {0, 0, 0};
    Vector3 normalBefore = {0, 0, 0};
};

// A colour slot's result into `out` (left alone on failure).
Mapped colorSlot(const Call &c, int k, Color *out) {
    Mapped m;
    m.slot = slotOf(c.state, c.raw, k);
    if (!m.slot.usable()) return m;
    m.ok = callColor(c, m.slot.map, out);
    return m;
}

// A grey slot's value into `out` (0 when the call fails).
Mapped greySlot(const Call &c, int k, float *out) {
    Mapped m;
    m.slot = slotOf(c.state, c.raw, k);
    if (!m.slot.usable()) return m;
    *out = callGrey(c, m.slot.map);
    m.ok = true;
    return m;
}

// Steps 1 to 6 of the map step (those photon rays also run).
void mapsCommon(const Call &c, RaytraceSample &S, RaytraceLightSums &L, MapState &ms) {
    RenderState *state = c.state;
    ms.normalBefore = L.normal;
    const Slot bump = slotOf(state, c.raw, kMapBumpSlot);
    if (bump.usable()) {
        Vector3 v = {0, 0, 0};
        MapRequest request{kMapBump, 0, c.v.mapCallExtra};
        if (mapBump(&v, state, &request, bump.map)) {
            const float a = state->inv_normal ? -bump.amount : bump.amount;
            Vector3 n = L.normal + v * a;
            if (length(n) != 0.0f) n = normalize(n);
            L.normal = n;
            state->normal = n;
            state->dot_nd = dot(n, state->dir);
            ms.bumpChanged = true;
            ms.bumpVector = v;
        }
    }
    float m = 0.0f;
    Mapped ior = greySlot(c, kMapIor, &m);
    if (ior.ok) S.ior = S.ior + ior.slot.amount * ((1.0f + (S.ior - 1.0f) * m) - S.ior);

    Color M = S.diffuseColor;
    ms.diffuse = colorSlot(c, kMapDiffuse, &M);
    if (ms.diffuse.ok) S.diffuseColor = M;

    if (c.v.transparencyUseColor) {
        M = S.transparency;
        Mapped t = colorSlot(c, kMapTransparency, &M);
        if (t.ok) colorBlend(S.transparency, S.transparency, M, t.slot.amount);
    } else {
        Mapped t = greySlot(c, kMapTransparency, &m);
        if (t.ok) greyInto(S.transparency, S.transparency.r, m, t.slot.amount);
    }

    if (c.v.reflectType == kReflectAmount) {
        Mapped r = greySlot(c, kMapReflection, &m);
        if (r.ok) greyInto(S.reflectColor, S.reflectColor.r, m, r.slot.amount);
    } else {
        M = S.reflectColor;
        Mapped r = colorSlot(c, kMapReflection, &M);
        if (r.ok) {
            if (c.v.reflectType == kReflectColor) {
                colorBlend(S.reflectColor, S.reflectColor, M, r.slot.amount);
            } else {
                const Color R = S.reflectColor;
                const float a = r.slot.amount;
                S.reflectColor.r = R.r + a * (R.r * M.r - R.r);
                S.reflectColor.g = R.g + a * (R.g * M.g - R.g);
                S.reflectColor.b = R.b + a * (R.b * M.b - R.b);
            }
        }
    }

    M = S.translucentColor;
    ms.translucent = colorSlot(c, kMapTranslucent, &M);
    if (ms.translucent.ok) S.translucentColor = M;
}

// Steps 8 and 9: the slots only the surface step reads.
void mapsSurface(const Call &c, RaytraceSample &S, MapState &ms) {
    Color M = S.specularColor;
    ms.specular = colorSlot(c, kMapSpecular, &M);
    if (ms.specular.ok) S.specularColor = M;
    float m = 0.0f;
    ms.diffuseShape = greySlot(c, kMapDiffuseShape, &m);
    if (ms.diffuseShape.ok) S.diffuseShape = m;
    M = S.extraLight;
    ms.extraLight = colorSlot(c, kMapExtraLight, &M);
    if (ms.extraLight.ok) S.extraLight = M;
    M = S.glowColor;
    ms.glow = colorSlot(c, kMapGlow, &M);
    if (ms.glow.ok) S.glowColor = M;
    if (c.v.densityOn) {
        M = S.densityColor;
        ms.density = colorSlot(c, kMapDensity, &M);
        if (ms.density.ok) S.densityColor = M;
    }
    if (c.v.fogOn) {
        M = S.fogColor;
        ms.fog = colorSlot(c, kMapFog, &M);
        if (ms.fog.ok) S.fogColor = M;
    }
    if (c.v.ambientIsColor) {
        M = S.ambientColor;
        ms.ambient = colorSlot(c, kMapAmbient, &M);
        if (ms.ambient.ok) S.ambientColor = M;
    } else {
        ms.ambient = greySlot(c, kMapAmbient, &m);
        if (ms.ambient.ok) S.ambientColor = grey(m);
    }
    ms.specularLevel = greySlot(c, kMapSpecularLevel, &m);
    if (ms.specularLevel.ok) S.specularLevel = m;
    ms.glossiness = greySlot(c, kMapGlossiness, &m);
    if (ms.glossiness.ok) {
        S.glossiness = m;
        S.exponent = exp2f(10.0f * m);
    }
    ms.anisotropy = greySlot(c, kMapAnisotropy, &m);
    if (ms.anisotropy.ok) S.anisotropy = S.roughness = m;
    ms.orientation = greySlot(c, kMapOrientation, &m);
    if (ms.orientation.ok) S.orientation = m;
    if (c.v.selfIllumUseColor) {
        M = S.selfIllum;
        ms.selfIllum = colorSlot(c, kMapSelfIllum, &M);
        if (ms.selfIllum.ok) S.selfIllum = M;
    } else {
        ms.selfIllum = greySlot(c, kMapSelfIllum, &m);
        if (ms.selfIllum.ok) S.selfIllum = grey(m);
    }
}

// Step 10: the traced refraction.
void traceRefraction(const Call &c, RaytraceSample &S) {
    RenderState *state = c.state;
    if (!anyPositive(S.transparency)) return;
    if (S.reflectColor.r >= 1.0f && S.reflectColor.g >= 1.0f && S.reflectColor.b >= 1.0f) return;
    const Slot env =
        slotOf(state, c.raw, c.v.refractionUsesReflectEnv ? kMapReflectEnv : kMapRefractEnv);
    const OverrideScope scope = overrideBegin(state, env);
    bool total = false;
    const Vector3 D = raytraceMaterialRefraction(state, &total);
    Color &C = S.refractedLight;
    if (!tracingOn(state) || !c.v.traceRefractions) {
        environmentInto(&C, state, D);
    } else {
        const RaytraceObjectList *list = c.list;
        double d = kNoHitDistance;
        const bool measure = (c.v.refractFalloffType >= 1 && c.v.refractFalloffType <= 4) ||
                             c.v.densityOn || c.v.fogOn;
        const bool ok = traceWithObjectList(
            &C, state, D, total ? kKindReflection : kKindRefraction, c.v.selfHits != 0,
            list ? list->includeObjects != 0 : c.v.includeObjects != 0, list ? list->count : 0,
            list ? list->objects : nullptr, true, -1, true, measure ? &d : nullptr);
        if (ok) {
            applyFalloff(c, &C, d, c.v.refractFalloffType, c.v.refractFalloffEnd, D);
            applyDensityFog(c, S, &C, d);
        } else {
            C.r = C.g = C.b = 0.0f;
        }
    }
    overrideEnd(state, scope);
}

// Step 11: the traced reflection.
void traceReflection(const Call &c, RaytraceSample &S) {
    RenderState *state = c.state;
    if (!anyPositive(S.reflectColor)) return;
    const OverrideScope scope = overrideBegin(state, slotOf(state, c.raw, kMapReflectEnv));
    Vector3 D;
    zo_reflection_dir(&D, state);
    Color &C = S.reflectedLight;
    if (!tracingOn(state) || !c.v.traceReflections ||
        (state->inv_normal && state->type != ZO_RAY_EYE)) {
        environmentInto(&C, state, D);
    } else {
        const RaytraceObjectList *list = c.list;
        double d = kNoHitDistance;
        const bool measure = c.v.reflectFalloffType >= 1 && c.v.reflectFalloffType <= 4;
        const bool ok = traceWithObjectList(
            &C, state, D, kKindReflection, c.v.selfHits != 0,
            list ? list->includeObjects != 0 : c.v.includeObjects != 0, list ? list->count : 0,
            list ? list->objects : nullptr, true, -1, true, measure ? &d : nullptr);
        if (ok)
            applyFalloff(c, &C, d, c.v.reflectFalloffType, c.v.reflectFalloffEnd, D);
        else
            C.r = C.g = C.b = 0.0f;
    }
    overrideEnd(state, scope);
}

// The amount blends after the maps.
void blendColorSlot(Color &value, const Color &P, const Mapped &m) {
    if (!m.ok || !m.slot.blends()) return;
    const Color E = value;
    colorBlend(value, P, E, m.slot.amount);
}

void blendGreySlot(float &value, float P, const Mapped &m) {
    if (!m.ok || !m.slot.blends()) return;
    value = P + m.slot.amount * (value - P);
}

void blendAll(const Call &c, RaytraceSample &S, const MapState &ms, bool photon) {
    const RaytraceMaterialParams &v = c.v;
    blendColorSlot(S.diffuseColor, v.diffuse, ms.diffuse);
    blendColorSlot(S.specularColor, v.specularColor, ms.specular);
    if (photon) return;
    blendColorSlot(S.translucentColor, v.translucentColor, ms.translucent);
    blendColorSlot(S.extraLight, v.extraLight, ms.extraLight);
    blendColorSlot(S.glowColor, v.glowColor, ms.glow);
    blendColorSlot(S.densityColor, v.densityColor, ms.density);
    blendColorSlot(S.fogColor, v.fogColor, ms.fog);
    if (v.ambientIsColor) {
        blendColorSlot(S.ambientColor, v.ambient, ms.ambient);
    } else if (ms.ambient.ok && ms.ambient.slot.blends()) {
        greyInto(S.ambientColor, v.ambient.r, S.ambientColor.r, ms.ambient.slot.amount);
    }
    const Color selfP = v.selfIllumUseColor ? v.selfIllumColor : grey(v.selfIllumAmount);
    if (v.selfIllumUseColor) {
        blendColorSlot(S.selfIllum, selfP, ms.selfIllum);
    } else if (ms.selfIllum.ok && ms.selfIllum.slot.blends()) {
        greyInto(S.selfIllum, selfP.r, S.selfIllum.r, ms.selfIllum.slot.amount);
    }
    blendGreySlot(S.specularLevel, v.specularLevel, ms.specularLevel);
    if (ms.glossiness.ok && ms.glossiness.slot.blends()) {
        blendGreySlot(S.glossiness, v.glossiness, ms.glossiness);
        S.exponent = exp2f(10.0f * S.glossiness);
    }
    if (ms.diffuseShape.ok && ms.diffuseShape.slot.blends())
        S.diffuseShape = 0.5f + ms.diffuseShape.slot.amount * (S.diffuseShape - 0.5f);
    blendGreySlot(S.anisotropy, v.anisotropy, ms.anisotropy);
    blendGreySlot(S.orientation, v.orientation, ms.orientation);
}

// ---------------------------------------------------------------------------
// Steps.

void startSample(const Call &c, RaytraceSample &S) {
    const RaytraceMaterialParams &v = c.v;
    memset(&S, 0, sizeof S);
    S.specularColor = v.specularColor;
    S.diffuseColor = v.diffuse;
    S.ambientColor = v.ambient;
    S.selfIllum = v.selfIllumColor;
    S.extraLight = v.extraLight;
    S.translucentColor = v.translucentColor;
    S.glowColor = v.glowColor;
    S.glowBias = v.glowBias;
    S.densityColor = v.densityColor;
    S.fogColor = v.fogColor;
    S.glossiness = v.glossiness;
    S.specularLevel = v.specularLevel;
    S.ior = v.ior;
    S.anisotropy = v.anisotropy;
    S.orientation = v.orientation;
    S.roughness = v.anisotropy;
    S.exponent = exp2f(10.0f * v.glossiness);
    S.diffuseShape = 0.5f;
    S.transparency = v.transparencyUseColor ? v.transparencyColor : grey(v.transparencyAmount);
    switch (v.reflectType) {
        case kReflectColor: S.reflectColor = v.reflectColor; break;
        case kReflectFresnel: {
            Vector3 R;
            zo_reflection_dir(&R, c.state);
            S.reflectColor = grey(dielectricFresnel(R, c.state->dir, v.ior));
            break;
        }
        default: S.reflectColor = grey(v.reflectAmount); break;
    }
}

void setNormal(const Call &c, RaytraceLightSums &L) {
    RenderState *state = c.state;
    if (c.v.faceted) {
        state->normal = state->normal_geom;
        state->dot_nd = dot(state->normal, state->dir);
    }
    L.normal = state->normal;
    L.viewDir = state->dir;
}

void surfaceStep(Color *result, Call &c) {
    RenderState *state = c.state;
    RaytraceMaterialParams &v = c.v;
    if (!v.selfIllumUseColor) v.selfIllumColor = grey(v.selfIllumAmount, v.selfIllumColor.a);
    if (state->type == ZO_RAY_EYE && v.materialId != 0) zo_fb_put(state, 0, &v.materialId);

    const Vector3 keptNormal = state->normal;
    const float keptDot = state->dot_nd;
    RaytraceLightSums L;
    memset(&L, 0, sizeof L);
    setNormal(c, L);
    L.soften = v.soften;
    if (c.scene) L.ambientLight = c.scene->ambientColor;

    RaytraceSample S;
    startSample(c, S);
    // maps run whether or not the surface has texture coordinates: a map
    // may take its coordinates from elsewhere (object or world space)
    MapState ms;
    mapsCommon(c, S, L, ms);
    mapsSurface(c, S, ms);
    traceRefraction(c, S);
    traceReflection(c, S);
    blendAll(c, S, ms, false);
    if (v.shadingType == kShadeMetal) S.specularColor.r = S.specularColor.g = S.specularColor.b = 1;

    L.specularLevel = S.specularLevel;
    L.exponent = S.exponent;
    L.glossiness = S.glossiness;
    L.diffuseColor = S.diffuseColor;
    L.specularColor = S.specularColor;
    L.ambientColor = S.ambientColor;
    L.diffuseShape = S.diffuseShape;
    L.anisotropy = S.anisotropy;
    L.orientation = S.orientation;
    L.roughness = S.roughness;
    Color irr = {0, 0, 0, 0};
    // the indirect light leans with the map's own bump vector, at full amount
    irradiance(&irr, state, ms.bumpChanged, ms.normalBefore, ms.bumpVector, 1.0f);
    L.indirect = {irr.r, irr.g, irr.b, 0.0f};

    IllumRecord frame;
    memset(&frame, 0, sizeof frame);
    frame.normal = L.normal;
    frame.viewDir = L.viewDir;
    LightUser user{&L, v.shadingType, kZero, &frame};
    if (v.shadingType == kShadeAnisotropic) user.reference = anisotropyReference(state);
    illumAccumulate(state, lightCallback, &user, c.scratch ? &c.scratch->lights : nullptr);
    if (v.shadingType == kShadeMetal) scaleRGB(L.diffuseSum, 1.0f - fminf(S.specularLevel, 1.0f));

    const bool handOff = (!tracingOn(state) || !v.traceRefractions) &&
                         !slotOf(state, c.raw, kMapRefractEnv).usable() &&
                         !slotOf(state, c.raw, kMapReflectEnv).usable();
    RenderElementPostIllumData d;
    memset(&d, 0, sizeof d);
    compose(d.illum, c.v, S, L, energyBlendOf(c.scene), handOff);
    *result = d.illum.shadedColor;

    if (state->options && state->options->render_mode == 'r') {
        const Color opaque = {1, 1, 1, 1};
        zo_opacity_set(state, &opaque);
    }
    if (RenderElementsAreBeingUsed(state)) {
        const RenderElementIllum composed = d.illum;
        InitializeRenderElementPostIllumData(state, &d);
        d.illum = composed;
        d.channels[0] = S.ambientColor;
        d.channels[1] = S.diffuseColor;
        d.channels[2] = S.specularColor;
        d.channels[3].r = S.glossiness;
        d.channels[4].r = S.specularLevel;
        d.channels[5] = S.selfIllum;
        d.channels[6].r = 1.0f - S.transparency.r;
        d.channels[6].g = 1.0f - S.transparency.g;
        d.channels[6].b = 1.0f - S.transparency.b;
        d.channels[7] = S.transparency;
        d.channels[9] = S.reflectColor;
        d.flags = 0;
        d.materialId = v.materialId;
        kor_CallRenderElementShaders_PostIllum(state, &d);
    }
    state->normal = keptNormal;
    state->dot_nd = keptDot;
}

bool twoSidedOf(const Call &c) {
    return c.v.twoSided || (c.scene && c.scene->twoSided);
}

zoBoolean shadowStep(Color *result, Call &c) {
    RenderState *state = c.state;
    const char mode = state->options ? state->options->shadow : 0;
    float facing;
    if (mode == ZO_SHADOW_ON || mode == ZO_SHADOW_SORTED) {
        facing = -dot(state->normal, state->dir);
    } else if (mode == ZO_SHADOW_SEGMENTS) {
        if (!zo_trace_shadow_seg(result, state)) return 0;
        facing = dot(state->normal, state->dir);
    } else {
        return 1;
    }
    if (!(twoSidedOf(c) || facing > 0.0f)) return 1;
    if (c.v.wire && !surfaceInWireBand(state, c.v.wireSize, c.v.wireUnits)) return 1;
    if (NodeData *node = GetNodeData(state->instance))
        if (!IsInstanceShadowMakerForLight(state, node)) return 1;
    Color T = c.v.transparencyUseColor ? c.v.transparencyColor : grey(c.v.transparencyAmount);
    if (state->tex_list && state->tex_count > 0) {
        if (c.v.transparencyUseColor) {
            Color M = T;
            const Mapped t = colorSlot(c, kMapTransparency, &M);
            if (t.ok) colorBlend(T, T, M, t.slot.amount);
        } else {
            float m = 0.0f;
            const Mapped t = greySlot(c, kMapTransparency, &m);
            if (t.ok) greyInto(T, T.r, m, t.slot.amount);
        }
    }
    *result = {result->r * T.r, result->g * T.g, result->b * T.b, 0.0f};
    return result->r != 0.0f || result->g != 0.0f || result->b != 0.0f;
}

bool photonRay(int type) {
    return (type >= 8 && type <= 15) || type == 18 || type == 19 || type == 23 || type == 24 ||
           type == 27;
}

void photonStep(Color *result, Call &c) {
    RenderState *state = c.state;
    const Color E = *result;
    RaytraceLightSums L;
    memset(&L, 0, sizeof L);
    setNormal(c, L);
    RaytraceSample S;
    startSample(c, S);
    MapState ms;
    mapsCommon(c, S, L, ms);
    blendAll(c, S, ms, true);
    if (c.v.shadingType == kShadeMetal) S.specularColor = {1, 1, 1, S.specularColor.a};

    const Color &D = S.diffuseColor;
    if (D.r > 0.000001f || D.g > 0.000001f || D.b > 0.000001f) zo_store_photon(&E, state);
    const Color &T = S.transparency, &R = S.reflectColor, &Tl = S.translucentColor;
    Color diffuseReflect, specularReflect = R, diffuseTransmit, specularTransmit;
    diffuseReflect.r = (1 - Tl.r) * D.r * (1 - T.r) * (1 - R.r);
    diffuseReflect.g = (1 - Tl.g) * D.g * (1 - T.g) * (1 - R.g);
    diffuseReflect.b = (1 - Tl.b) * D.b * (1 - T.b) * (1 - R.b);
    diffuseTransmit = {Tl.r * (1 - T.r) * (1 - R.r), Tl.g * (1 - T.g) * (1 - R.g),
                       Tl.b * (1 - T.b) * (1 - R.b), 0.0f};
    specularTransmit = {(1 - R.r) * T.r, (1 - R.g) * T.g, (1 - R.b) * T.b, 0.0f};
    diffuseReflect.a = specularReflect.a = 0.0f;
    scatterPhoton(state, E, diffuseReflect, specularReflect, diffuseTransmit, specularTransmit);
}

RaytraceScratch *scratchOf(RenderState *state) {
    return static_cast<RaytraceScratch *>(
        thread_block(state, kModule, __LINE__, sizeof(RaytraceScratch)));
}

void destroyList(RaytraceObjectList *list) {
    if (!list) return;
    if (list->objects) zo_mem_int_release(kModule, __LINE__, list->objects);
    zo_mem_int_release(kModule, __LINE__, list);
}

}  // namespace

KOR_EXPORT zoBoolean kor_RaytraceMaterial(Color *result, RenderState *state,
                                          RaytraceMaterialParams *params) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kBlack;
        return 0;
    }
    RaytraceScratch *scratch = scratchOf(state);
    RaytraceObjectList *list = listOf(state);
    const bool plain = list && list->plainRecord == params;
    Call c{state, params, evaluate(state, params, plain), list, sceneOf(state), scratch};
    IorTracker *tracker = scratch ? &scratch->tracker : nullptr;
    const int type = state->type;

    if (type == ZO_RAY_SHADOW) {
        iorEnter(state, c.v.ior, tracker);
        shadowStep(result, c);
        iorLeave(state, tracker);
        return 1;
    }
    const bool culled = type != ZO_RAY_REFRACT && !(type >= 13 && type <= 15);
    if (culled && !twoSidedOf(c) && state->inv_normal) return surfaceHide(result, state);
    if (c.v.wire && !surfaceInWireBand(state, c.v.wireSize, c.v.wireUnits))
        return surfaceHide(result, state);

    const Tag keptVolume = state->volume;
    const Tag keptRefractionVolume = state->refraction_volume;
    if (c.v.carryVolume && c.v.carryVolumeInside && !state->refraction_volume)
        state->refraction_volume = state->volume;
    iorEnter(state, c.v.ior, tracker);
    if (photonRay(type))
        photonStep(result, c);
    else
        surfaceStep(result, c);
    iorLeave(state, tracker);
    state->volume = keptVolume;
    state->refraction_volume = keptRefractionVolume;
    return 1;
}

KOR_SHADER_INIT(kor_RaytraceMaterial) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = user_slot(state);
    if (!slot) return;
    if (*slot) destroyList(static_cast<RaytraceObjectList *>(*slot));
    *slot = nullptr;
    auto *list = static_cast<RaytraceObjectList *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(RaytraceObjectList)));
    if (!list) return;
    memset(list, 0, sizeof *list);
    const auto *p = static_cast<const RaytraceMaterialParams *>(params);
    list->includeObjects = eval(state, &p->includeObjects);
    list->plainRecord = plainRecordAtInit(state, p);
    list->objects = resolveObjectList(state, kModule, p->objectNames, &list->count);
    *slot = list;
}

KOR_SHADER_EXIT(kor_RaytraceMaterial) {
    if (!params) return;
    for_each_thread_block(state, [](void *block) { zo_mem_int_release(kModule, __LINE__, block); });
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    destroyList(static_cast<RaytraceObjectList *>(*slot));
    *slot = nullptr;
}
