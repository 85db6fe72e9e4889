// Fallback shaders: the material of objects without one, and the shadow
// shader of objects without one.
#include <math.h>

#include "illum.h"
#include "kor_lightrec.h"
#include "kor_rendelem.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "scenedata.h"
#include "shader.h"

namespace {

struct DefaultMaterialParams {
    Color ambient;
    Color specular;
    float exponent;  // highlight exponent; 0 or less: 20
};

constexpr float kDefaultExponent = 20.0f;
constexpr Color kDefaultGrey = {0.7f, 0.7f, 0.7f, 1.0f};

bool photon_ray(int type) {
    return (type >= 8 && type <= 15) || type == 18 || type == 19 || type == 23 || type == 24 ||
           type == 27;
}

zoBoolean default_shadow(Color *result, RenderState *state) {
    const SceneData *scene = GetSceneData(state);
    const bool two_sided = scene && scene->twoSided;
    const char mode = state->options ? state->options->shadow : 0;
    float c;
    if (mode == ZO_SHADOW_ON || mode == ZO_SHADOW_SORTED) {
        c = -kor::dot(state->normal, state->dir);
    } else if (mode == ZO_SHADOW_SEGMENTS) {
        if (!zo_trace_shadow_seg(result, state)) return 0;
        c = kor::dot(state->normal, state->dir);
    } else {
        return 1;
    }
    if (!two_sided && c <= 0.0f) return 1;
    if (NodeData *node = GetNodeData(state->instance))
        if (!IsInstanceShadowMakerForLight(state, node)) return 1;
    *result = {0, 0, 0, 0};
    return 0;
}

struct LightSums {
    Vector3 reflect;
    float exponent;
    Color ambient, diffuse, specular;
};

void add(Color &sum, const Color &c, float s) {
    sum.r += c.r * s;
    sum.g += c.g * s;
    sum.b += c.b * s;
}

void default_light(RenderState *state, Tag light, LightIllumRecord *info, void *user) {
    auto *sums = static_cast<LightSums *>(user);
    Color ambient = {0, 0, 0, 0}, diffuse = {0, 0, 0, 0}, specular = {0, 0, 0, 0};
    Color color;
    Vector3 dir;
    float cosine = 0.0f;
    int samples = 0;
    while (zo_sample_light(&color, &dir, &cosine, state, light, &samples)) {
        if (cosine <= 0.0f) continue;
        if (info && info->ambientOnly) {
            add(ambient, color, 1.0f);
            continue;
        }
        const int bits = info ? info->affectBits : (kAffectDiffuse | kAffectSpecular);
        if (bits & kAffectDiffuse) {
            if (info && !info->filled) info->diffuseFactor = cosine;
            add(diffuse, color, info ? info->diffuseFactor : cosine);
        }
        const float rl = kor::dot(sums->reflect, dir);
        if ((bits & kAffectSpecular) && rl > 0.0f)
            add(specular, color, cosine * powf(rl, sums->exponent));
    }
    const float scale = samples > 1 ? 1.0f / samples : 1.0f;
    add(sums->ambient, ambient, scale);
    add(sums->diffuse, diffuse, scale);
    add(sums->specular, specular, scale);
}

Color mul(const Color &a, const Color &b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b, a.a};
}

}  // namespace

KOR_EXPORT zoBoolean kor_DefaultShadow(Color *result, RenderState *state, void *) {
    if (!result || !state) return 0;
    return default_shadow(result, state);
}

KOR_EXPORT zoBoolean kor_DefaultMaterial(Color *result, RenderState *state,
                                         DefaultMaterialParams *params) {
    if (!result || !state) return 0;
    if (state->type == ZO_RAY_SHADOW) return default_shadow(result, state);
    const SceneData *scene = GetSceneData(state);
    const Color ambient_light = scene ? scene->ambientColor : kDefaultGrey;

    if (state->inv_normal && (!scene || !scene->twoSided)) {
        if (state->options && state->options->render_mode == 'r' && state->secondary) {
            *result = {0, 0, 0, 0};
            return 1;
        }
        return zo_trace_continue(result, state);
    }

    const NodeData *node = GetNodeData(state->instance);
    const Color node_color = node ? node->nodeColor : kDefaultGrey;

    if (photon_ray(state->type)) {
        Color energy = mul(*result, node_color);
        if (energy.r > 1e-06f || energy.g > 1e-06f || energy.b > 1e-06f)
            zo_store_photon(&energy, state);
        Vector3 dir;
        zo_reflection_dir_diffuse(&dir, state);
        return zo_photon_reflection_diffuse(&energy, state, &dir);
    }

    const DefaultMaterialParams p =
        params ? DefaultMaterialParams{kor::eval(state, &params->ambient),
                                       kor::eval(state, &params->specular),
                                       kor::eval(state, &params->exponent)}
               : DefaultMaterialParams{{1, 1, 1, 1}, {0, 0, 0, 0}, kDefaultExponent};
    LightSums sums{kor::normalize(kor::reflectDir(state)),
                   p.exponent > 0.0f ? p.exponent : kDefaultExponent,
                   {0, 0, 0, 0},
                   {0, 0, 0, 0},
                   {0, 0, 0, 0}};
    IllumAccumulate(state, default_light, &sums);
    Color irradiance = {0, 0, 0, 0};
    if (zo_compute_irradiance(&irradiance, state)) {
        irradiance.r *= 0.31830987f;
        irradiance.g *= 0.31830987f;
        irradiance.b *= 0.31830987f;
    } else {
        irradiance = {0, 0, 0, 0};
    }
    const Color ambient = mul(p.ambient, ambient_light);
    Color lit = {ambient.r + sums.ambient.r + sums.diffuse.r + irradiance.r,
                 ambient.g + sums.ambient.g + sums.diffuse.g + irradiance.g,
                 ambient.b + sums.ambient.b + sums.diffuse.b + irradiance.b, 1.0f};
    lit = mul(lit, node_color);
    const Color specular = mul(p.specular, sums.specular);
    *result = {specular.r + lit.r, specular.g + lit.g, specular.b + lit.b, 1.0f};

    if (RenderElementsAreBeingUsed(state)) {
        RenderElementPostIllumData data;
        InitializeRenderElementPostIllumData(state, &data);
        RenderElementIllum &r = data.illum;
        r.opacity = 1.0f;
        r.ambient = mul(mul(ambient, node_color), Color{1, 1, 1, 1});
        add(r.ambient, mul(sums.ambient, node_color), 1.0f);
        r.diffuse = mul(Color{sums.diffuse.r + irradiance.r, sums.diffuse.g + irradiance.g,
                              sums.diffuse.b + irradiance.b, 1.0f},
                        node_color);
        r.specular = specular;
        r.specular.a = 1.0f;
        r.litScale = 1.0f;
        r.shadedColor = *result;
        r.transparency = {0, 0, 0, 1};
        r.layerTransmission = {0, 0, 0, 1};
        kor_CallRenderElementShaders_PostIllum(state, &data);
    }
    return 1;
}
