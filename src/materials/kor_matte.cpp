// The matte/shadow material: shows the background behind it, darkened by
// the shadows it receives, with a reflection added.
#include <math.h>

#include "illum.h"
#include "kor_rendelem.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "shader.h"

namespace {

struct MatteParams {
    zoBoolean opaqueAlpha;
    zoBoolean applyAtmosphere;
    zoBoolean atmosphereAtBackgroundDepth;
    zoBoolean receiveShadows;
    zoBoolean affectAlpha;
    float shadowBrightness;
    Color shadowColor;
    float reflectionAmount;
    Tag reflectionMap;
    zoBoolean reflectionOn;
    int32_t materialId;  // evaluated
};

// Light arriving at the point, averaged per light over its samples.
void arriving(RenderState *state, Tag light, LightIllumRecord *, void *user) {
    Color *sum = static_cast<Color *>(user);
    Color color, light_sum = {0, 0, 0, 0};
    Vector3 dir;
    float dot_nl = 0.0f;
    int samples = 0;
    while (zo_sample_light(&color, &dir, &dot_nl, state, light, &samples)) {
        if (dot_nl <= 0.0f) continue;
        light_sum.r += color.r * dot_nl;
        light_sum.g += color.g * dot_nl;
        light_sum.b += color.b * dot_nl;
    }
    const float scale = samples > 1 ? 1.0f / samples : 1.0f;
    sum->r += light_sum.r * scale;
    sum->g += light_sum.g * scale;
    sum->b += light_sum.b * scale;
}

float mean_arriving(RenderState *state) {
    Color sum = {0, 0, 0, 0};
    IllumAccumulate(state, arriving, &sum);
    return (sum.r + sum.g + sum.b) / 3.0f;
}

}  // namespace

KOR_EXPORT zoBoolean kor_MatteMaterial(Color *result, RenderState *state, MatteParams *p) {
    if (!result || !state || !p) return 0;
    const bool elements = RenderElementsAreBeingUsed(state) != 0;
    RenderElementPostIllumData data;
    if (elements) {
        InitializeRenderElementPostIllumData(state, &data);
        ClearInputs(&data.illum);
        ClearOutputs(&data.illum);
    }
    if (state->type == ZO_RAY_SHADOW) {
        *result = {0, 0, 0, 0};
        return 1;
    }

    // the background behind the surface
    const Tag volume = state->volume, environment = state->environment;
    const double dist = state->dist;
    if (!state->environment && state->camera) state->environment = state->camera->environment;
    if (!p->applyAtmosphere)
        state->volume = 0;
    else if (!p->atmosphereAtBackgroundDepth)
        state->dist = 0.0;
    // no background to show: transparent black, so that the surface keeps
    // only the shadows it receives when the image goes over a plate
    Color c = {0, 0, 0, 0};
    if (state->type == ZO_RAY_ENVIRONMENT || !zo_trace_environment(&c, state, &state->dir))
        c = {0, 0, 0, 0};
    state->volume = volume;
    state->environment = environment;
    state->dist = dist;
    const float a = 1.0f - c.a;

    bool shadowed = false;
    float f = 1.0f;
    zoOptions *options = state->options;
    if (p->receiveShadows && options && options->shadow) {
        zoOptions unshadowed = *options;
        unshadowed.shadow = 0;
        state->options = &unshadowed;
        const float U = mean_arriving(state);
        state->options = options;
        const float S = mean_arriving(state);
        float r = 1.0f;
        if (U > 0.0f) {
            r = S / U;
            if (r > 1.0f) r = 1.0f / r;
        }
        f = (1.0f - p->shadowBrightness) * r + p->shadowBrightness;
        shadowed = true;
    }
    if (shadowed) {
        *result = {p->shadowColor.r * (1 - f) + c.r * f, p->shadowColor.g * (1 - f) + c.g * f,
                   p->shadowColor.b * (1 - f) + c.b * f, p->affectAlpha ? a * f : a};
    } else {
        *result = {c.r, c.g, c.b, a};
    }
    result->a = p->opaqueAlpha ? 1.0f : 1.0f - result->a;

    Color reflection = {0, 0, 0, 0};
    if (p->reflectionMap && p->reflectionOn) {
        kor::storeCallReason(state, kor::MapCallReason{state->dir, 2});
        const Vector3 saved = state->dir;
        zo_reflection_dir(&state->dir, state);
        kor::MapRequest request{kor::kMapColor, 0, 0};
        if (zo_call_shader_x(&reflection, ZO_SHADER_MAP, state, p->reflectionMap, &request) != 1)
            reflection = {0, 0, 0, 0};
        state->dir = saved;
        kor::removeCallReason(state);
        reflection = {reflection.r * p->reflectionAmount, reflection.g * p->reflectionAmount,
                      reflection.b * p->reflectionAmount, 1.0f};
        result->r += reflection.r;
        result->g += reflection.g;
        result->b += reflection.b;
    }
    if (!p->applyAtmosphere) state->volume = 0;

    if (elements) {
        data.flags = kElementMatteMaterial;
        if (shadowed) {
            data.illum.diffuse = {c.r * f, c.g * f, c.b * f, 1.0f};
            data.shadowColor = p->shadowColor;
        }
        data.illum.reflection = reflection;
        data.illum.litScale = 1.0f;
        data.illum.shadedColor = *result;
        const float t = 1.0f - result->a;
        data.illum.transparency = {t, t, t, 1.0f};
        data.illum.layerTransmission = {0, 0, 0, 0};
        data.materialId = kor::eval(state, &p->materialId);
        data.shadowNoTransparency = 1;
        kor_CallRenderElementShaders_PostIllum(state, &data);
    }
    if (options && options->render_mode == 'r') {
        const Color opaque = {1, 1, 1, 1};
        zo_opacity_set(state, &opaque);
    }
    return 1;
}
