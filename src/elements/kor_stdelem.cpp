// The standard render elements: alpha, atmosphere, background, blend,
// diffuse, illuminance, matte, reflection, refraction, self-illumination,
// shadow, specular, Z depth, beauty, velocity, id colours and luminance.
#include <math.h>
#include <stddef.h>

#include "kor_context.h"
#include "kor_rendelem.h"
#include "kor_toneop.h"
#include "scenedata.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "kor_stdelem";

struct StdElementParams {
    int32_t elementType;  // 0 .. 20
    zoBoolean diffuseLighting;
    zoBoolean blendAmbient;
    zoBoolean blendDiffuse;
    zoBoolean blendSpecular;
    zoBoolean blendSelfIllum;
    zoBoolean blendReflection;
    zoBoolean blendRefraction;
    zoBoolean blendExtra1;
    zoBoolean blendExtra2;
    zoBoolean illumDirect;
    zoBoolean illumIndirect;
    float zMin;
    float zMax;
    float *zNearOut;
    float *zFarOut;
    int32_t unused1[2];
    zoBoolean matteUseMaterialId;
    int32_t matteMaterialId;
    zoBoolean matteUseObjectId;
    int32_t matteObjectId;
    zoBoolean matteUseNodes;
    zoBoolean matteNodesInclude;
    kor::ParamArray<Tag> matteNodes;
    float velocityMax;
    float *velocityOut;
    int32_t unused2;
    int32_t objectColorMode;
    float multiplier;
    zoBoolean toneMap;
    float luminanceScale;
};

static_assert(offsetof(StdElementParams, zNearOut) == 56, "standard element layout");
static_assert(offsetof(StdElementParams, matteNodes) == 104, "standard element layout");
static_assert(offsetof(StdElementParams, luminanceScale) == 144, "standard element layout");

enum ElementType {
    kAlpha = 0,
    kAtmosphere = 1,
    kBackground = 2,
    kBlend = 3,
    kDiffuse = 4,
    kExtra2 = 5,
    kIlluminance = 6,
    kMatte = 7,
    kExtra1 = 8,
    kReflection = 9,
    kRefraction = 10,
    kSelfIllum = 11,
    kShadow = 12,
    kSpecular = 13,
    kZDepth = 14,
    kBeauty = 15,
    kLightingLevel = 16,
    kVelocity = 17,
    kMaterialId = 18,
    kObjectColor = 19,
    kLuminance = 20,
};

// Per-thread record of an element instance.
struct ElementThreadData {
    int32_t ready;
    float maxVelocity2;
    float depthMax;
    float depthLow;
    ShadingContext context;
};

ElementThreadData *thread_data(RenderState *state) {
    auto *td = static_cast<ElementThreadData *>(
        kor::thread_block(state, kModule, __LINE__, sizeof(ElementThreadData)));
    if (td && !td->ready) {
        kor::contextCreate(&td->context, state);
        td->ready = 1;
    }
    return td;
}

Color operator*(Color c, float s) {
    return {c.r * s, c.g * s, c.b * s, c.a};
}
void add_rgb(Color &a, const Color &b) {
    a.r += b.r;
    a.g += b.g;
    a.b += b.b;
}
void tone(RenderState *state, Color &c) {
    ToneOpScaledToRGB(state, &c, 0);
}
void clamp1(Color &c) {
    c.r = fminf(c.r, 1.0f);
    c.g = fminf(c.g, 1.0f);
    c.b = fminf(c.b, 1.0f);
}
float clamp01(float x) {
    return x < 0.0f ? 0.0f : x > 1.0f ? 1.0f : x;
}
Color rgb_alpha(Color c, float a) {
    return {c.r, c.g, c.b, a};
}

// Direct and/or ambient-light illuminance, with indirect light when asked.
Color illuminance(RenderState *state, bool ambient, bool direct, bool indirect) {
    IlluminanceRecord rec{{0, 0, 0, 0}, ambient, direct};
    ComputeIlluminance(state, &rec);
    if (indirect) {
        Color irr = {0, 0, 0, 0};
        if (zo_compute_irradiance(&irr, state)) add_rgb(rec.sum, irr * 0.31830987f);
    }
    return rec.sum;
}

bool matte_mask(RenderState *state, const StdElementParams &p,
                const RenderElementPostIllumData &d) {
    bool mask = false;
    if (kor::eval(state, &p.matteUseMaterialId) &&
        d.materialId == kor::eval(state, &p.matteMaterialId))
        mask = true;
    if (kor::eval(state, &p.matteUseObjectId)) {
        int id = 0;
        if (zo_query(ZO_Q_INST_ID, state, state->instance, &id) &&
            id == kor::eval(state, &p.matteObjectId))
            mask = true;
    }
    if (kor::eval(state, &p.matteUseNodes)) {
        Tag node = 0;
        zo_query(ZO_Q_INSTANCE_NAME, state, state->instance, &node);
        bool hit = false;
        const int start = kor::eval(state, &p.matteNodes.start);
        const int count = kor::eval(state, &p.matteNodes.count);
        for (int k = 0; k < count && !hit; ++k)
            hit = node && kor::eval(state, &p.matteNodes[start + k]) == node;
        if (kor::eval(state, &p.matteNodesInclude))
            mask = mask || hit;
        else
            mask = !hit;
    }
    return mask;
}

// Mode 0: the element's value from a material's post-illumination record.
void after_illumination(Color *e, RenderState *state, const StdElementParams &p, int type,
                        RenderElementPostIllumData &d) {
    const RenderElementIllum &r = d.illum;
    const float T = (r.transparency.r + r.transparency.g + r.transparency.b) / 3.0f;
    const float alpha = fmaxf(0.0f, 1.0f - T);
    const float lit = r.litScale;
    if (d.matte) {
        switch (type) {
            case kBackground:
            case kExtra2:
            case kMatte:
            case kZDepth:
            case kBeauty:
            case kVelocity:
            case kMaterialId:
            case kObjectColor: break;
            default: *e = {0, 0, 0, 0}; return;
        }
    }
    switch (type) {
        case kAlpha: *e = {0, 0, 0, fminf(alpha, 1.0f)}; break;
        case kAtmosphere: *e = {0, 0, 0, 0}; break;
        case kBackground: {
            Color env = {0, 0, 0, 0};
            const Tag volume = state->volume;
            state->volume = 0;
            if (!zo_trace_environment(&env, state, &state->dir)) env = {0, 0, 0, 0};
            state->volume = volume;
            env.a = fmaxf(env.a, 0.0f);
            tone(state, env);
            *e = env;
            d.replace = 1;
            break;
        }
        case kBlend: {
            const kor::ElementBlendSwitches on = {kor::eval(state, &p.blendAmbient) != 0,
                                                  kor::eval(state, &p.blendDiffuse) != 0,
                                                  kor::eval(state, &p.blendSpecular) != 0,
                                                  kor::eval(state, &p.blendSelfIllum) != 0,
                                                  kor::eval(state, &p.blendReflection) != 0,
                                                  kor::eval(state, &p.blendRefraction) != 0,
                                                  kor::eval(state, &p.blendExtra1) != 0,
                                                  kor::eval(state, &p.blendExtra2) != 0};
            Color c = kor::elementBlend(d, on);
            tone(state, c);
            clamp1(c);
            *e = rgb_alpha(c, alpha);
            break;
        }
        case kDiffuse: {
            Color c = {0, 0, 0, 0};
            if (kor::eval(state, &p.diffuseLighting)) {
                c = r.diffuse;
                add_rgb(c, r.ambient);
                c = c * lit;
                tone(state, c);
            } else {
                c = kor::elementMapChannel(d, 1);
            }
            *e = rgb_alpha(c, alpha);
            break;
        }
        case kExtra2:
        case kExtra1: {
            const int bit = type == kExtra1 ? kElementExtra1Valid : kElementExtra2Valid;
            if (!(d.flags & bit)) {
                *e = {0, 0, 0, 0};
                break;
            }
            Color c = (type == kExtra1 ? d.extraColor1 : d.extraColor2) * lit;
            tone(state, c);
            *e = rgb_alpha(c, alpha);
            break;
        }
        case kIlluminance: {
            const bool indirect = kor::eval(state, &p.illumIndirect) != 0;
            Color c = illuminance(state, indirect, kor::eval(state, &p.illumDirect) != 0, indirect);
            tone(state, c);
            *e = rgb_alpha(c, alpha);
            break;
        }
        case kMatte: {
            bool mask;
            if (d.matte)
                mask =
                    kor::eval(state, &p.matteUseNodes) && !kor::eval(state, &p.matteNodesInclude);
            else
                mask = matte_mask(state, p, d);
            *e = mask ? Color{1, 1, 1, 1} : Color{0, 0, 0, 1};
            break;
        }
        case kReflection:
        case kRefraction:
        case kSpecular: {
            Color c = type == kReflection   ? r.reflection
                      : type == kRefraction ? r.refraction
                                            : r.specular;
            tone(state, c);
            clamp1(c);
            *e = rgb_alpha(c, type == kSpecular ? 0.0f : alpha);
            break;
        }
        case kSelfIllum: {
            Color c = r.selfIllum;
            clamp1(c);
            tone(state, c);
            *e = rgb_alpha(c * lit, alpha);
            break;
        }
        case kShadow: {
            float a = 1.0f - IllumShadow(state);
            if (!d.shadowNoTransparency) a *= 1.0f - T;
            a = fmaxf(a, 0.0f);
            const Color c = (d.flags & kElementShadowValid) ? d.shadowColor : Color{0, 0, 0, 0};
            *e = rgb_alpha(c, a);
            break;
        }
        case kZDepth:
            *e = {0, 0, 0, 1.0f - T};
            d.replace = 1;
            break;
        case kBeauty: {
            Color c = r.shadedColor * kor::eval(state, &p.multiplier);
            if (kor::eval(state, &p.toneMap)) tone(state, c);
            *e = c;
            d.replace = 1;
            break;
        }
        case kLightingLevel: {
            Color c = illuminance(state, true, true, true) * kor::eval(state, &p.multiplier);
            if (kor::eval(state, &p.toneMap)) tone(state, c);
            *e = rgb_alpha(c, 1.0f);
            break;
        }
        case kVelocity: {
            if (d.matte) {
                *e = {0.5f, 0.5f, 0.5f, 0.0f};
                break;
            }
            ElementThreadData *td = thread_data(state);
            Vector3 v = {0, 0, 0};
            if (td) kor::rasterMotion(state, &td->context, kContextSurface, &v);
            const float vmax = kor::eval(state, &p.velocityMax);
            const float m = vmax != 0.0f ? vmax : 1.0f;
            *e = {clamp01((v.x / m + 1) / 2), clamp01((1 - v.y / m) / 2), 0.5f, 1.0f};
            if (td) td->maxVelocity2 = fmaxf(td->maxVelocity2, v.x * v.x + v.y * v.y);
            break;
        }
        case kMaterialId:
            *e = d.matte ? Color{0, 0, 0, 1} : kor::idColor(d.materialId);
            d.replace = 1;
            break;
        case kObjectColor: {
            d.replace = 1;
            if (d.matte) {
                *e = {0, 0, 0, 1};
                break;
            }
            if (kor::eval(state, &p.objectColorMode) == 0) {
                const NodeData *node = GetNodeData(state->instance);
                *e = node ? node->nodeColor : Color{0, 0, 0, 1};
            } else {
                int id = 0;
                zo_query(ZO_Q_INST_ID, state, state->instance, &id);
                *e = kor::idColor(id);
            }
            break;
        }
        case kLuminance: {
            const float scale = kor::eval(state, &p.luminanceScale);
            const Color light = illuminance(state, true, true, true);
            *e = {zo_luminance(state, &light) * scale, zo_luminance(state, &r.shadedColor) * scale,
                  0.0f, 1.0f};
            d.replace = 1;
            break;
        }
        default: break;
    }
}

// Mode 1: the element's value after the atmosphere.
void after_atmosphere(Color *e, RenderState *state, const StdElementParams &p, int type,
                      const ElementAtmosphereData &atm) {
    const Color A = atm.color;
    switch (type) {
        case kAlpha: *e = {A.a, A.a, A.a, A.a}; break;
        case kAtmosphere: {
            Color c = A;
            tone(state, c);
            c.a = fminf(A.a, 1.0f);
            *e = c;
            break;
        }
        case kBlend: {
            Color c = A;
            tone(state, c);
            *e = c;
            break;
        }
        case kSpecular: e->a = (A.r + A.g + A.b) / 3.0f; break;
        case kZDepth: {
            const float d = atm.distance;
            if (!((d > 0.0f || state->march) && atm.second >= 0.0f)) break;
            const float zmin = kor::eval(state, &p.zMin), zmax = kor::eval(state, &p.zMax);
            float z;
            if (d < zmin)
                z = 1.0f;
            else if (d <= zmax && zmax > zmin)
                z = 1.0f - (d - zmin) / (zmax - zmin);
            else
                z = 0.0f;
            e->r = e->g = e->b = z;
            if (ElementThreadData *td = thread_data(state)) {
                td->depthMax = fmaxf(td->depthMax, d);
                if (d < td->depthLow) td->depthLow = d;
            }
            break;
        }
        default: break;
    }
}

}  // namespace

// ---------------------------------------------------------------------------

Color kor::idColor(int id) {
    // A fixed permutation of 0 .. 255 that keeps neighbouring ids apart in hue.
    static const struct Permutation {
        uint8_t p[256];
        Permutation() {
            const int head[] = {170, 85, 0, 43, 128, 213, 64, 149, 234, 191, 106, 21};
            const int tail[] = {229, 80, 165, 250, 207, 122, 37, 233};
            bool used[256] = {};
            for (int v : head) used[v] = true;
            for (int v : tail) used[v] = true;
            int n = 0;
            for (int v : head) p[n++] = static_cast<uint8_t>(v);
            for (int k = 0; n < 256 - 8; ++k) {
                const int v = (k * 151 + 7) & 255;
                if (!used[v]) {
                    used[v] = true;
                    p[n++] = static_cast<uint8_t>(v);
                }
            }
            for (int v : tail) p[n++] = static_cast<uint8_t>(v);
        }
    } perm;
    if (id < 0) id = -id;
    const float h = perm.p[id % 256] / 255.0f;
    const float s = 1.0f - static_cast<float>(id / 256) / 255.0f;
    const float v = 1.0f;
    const float h6 = 6.0f * h;
    const int i = static_cast<int>(h6);
    const float f = h6 - static_cast<float>(i);
    switch (i) {
        case 1: return {v * (1 - s * f), v, v * (1 - s), 1};
        case 2: return {v * (1 - s), v, v * (1 - s * (1 - f)), 1};
        case 3: return {v * (1 - s), v * (1 - s * f), v, 1};
        case 4: return {v * (1 - s * (1 - f)), v * (1 - s), v, 1};
        case 5: return {v, v * (1 - s), v * (1 - s * f), 1};
        default: return {v, v * (1 - s * (1 - f)), v * (1 - s), 1};
    }
}

KOR_EXPORT zoBoolean kor_StdRenderElements(Color *result, RenderState *state,
                                           StdElementParams *params, ElementCallArgs *args) {
    if (!result || !state || !params || !args || !args->data) return 0;
    const int type = kor::eval(state, &params->elementType);
    if (args->mode == 0)
        after_illumination(result, state, *params, type,
                           *static_cast<RenderElementPostIllumData *>(args->data));
    else
        after_atmosphere(result, state, *params, type,
                         *static_cast<const ElementAtmosphereData *>(args->data));
    return 1;
}

KOR_SHADER_EXIT(kor_StdRenderElements) {
    if (!params) return;
    auto *p = static_cast<StdElementParams *>(params);
    const int type = kor::eval(state, &p->elementType);
    float velocity = 0.0f, depth_max = 0.0f, depth_low = 0.0f;
    bool any = false;
    kor::for_each_thread_block(state, [&](void *block) {
        auto *td = static_cast<ElementThreadData *>(block);
        velocity = fmaxf(velocity, sqrtf(td->maxVelocity2));
        depth_max = fmaxf(depth_max, td->depthMax);
        depth_low = any ? fmaxf(depth_low, td->depthLow) : td->depthLow;
        any = true;
        kor::contextRelease(&td->context);
        zo_mem_int_release(kModule, __LINE__, td);
    });
    if (type == kVelocity && p->velocityOut && velocity > *p->velocityOut)
        *p->velocityOut = velocity;
    if (type == kZDepth && any) {
        if (p->zFarOut && depth_max > *p->zFarOut) *p->zFarOut = depth_max;
        if (p->zNearOut && depth_low < *p->zNearOut) *p->zNearOut = depth_low;
    }
}
