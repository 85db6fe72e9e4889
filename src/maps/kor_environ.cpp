// kor_Environment: what rays that leave the scene see. While the host
// gathers light for a bump or sky evaluation it sums the listed sky lights
// (or runs the environment map as an environment shader); otherwise it
// looks the environment map up along the ray, tone-maps the result for the
// exposure control when the background is left to it, and feeds the render
// elements.
#include <string.h>

#include "elements/kor_rendelem.h"
#include "kor_bump.h"
#include "kor_vector.h"
#include "output/kor_toneop.h"

namespace {

constexpr const char *kModule = "kor_environ";

// The host is gathering sky light: sum the sky lights, or run the map as
// an environment shader when there are none.
zoBoolean skyLight(Color *result, RenderState *state, const EnvironmentParams *params) {
    const int32_t mark = 1;
    zo_shaderstate_set(state, KOR_KEY_BUMP_SKY, &mark, sizeof mark, ZO_SHADERSTATE_RAY_TREE);
    Color sum = {0.0f, 0.0f, 0.0f, 0.0f};
    const kor::ParamArray<Tag> &lights = params->skyLights;
    const int32_t count = lights.count;
    if (count > 0) {
        for (int k = 0; k < count; ++k) {
            const Tag light = lights[lights.start + k];
            Tag shader = 0;
            if (!light || !zo_query(ZO_Q_LIGHT_SHADER, state, light, &shader) || !shader) continue;
            // the sky light reads the direction from its parent state
            RenderState copy = *state;
            copy.parent = state;
            copy.child = nullptr;
            copy.light_instance = light;
            Color c = {0.0f, 0.0f, 0.0f, 0.0f};
            if (!zo_call_shader_x(&c, ZO_SHADER_LIGHT, &copy, shader, nullptr)) continue;
            sum.r += c.r;
            sum.g += c.g;
            sum.b += c.b;
            sum.a += c.a;
        }
    } else if (const Tag map = kor::eval(state, &params->map)) {
        if (!zo_call_shader_x(&sum, ZO_SHADER_ENVIRONMENT, state, map, nullptr))
            sum = Color{0.0f, 0.0f, 0.0f, 0.0f};
    }
    zo_shaderstate_set(state, KOR_KEY_BUMP_SKY, nullptr, 0, ZO_SHADERSTATE_RAY_TREE);
    *result = sum;
    return 1;
}

// Applies the exposure control's forward map when it leaves the background
// to the environment.
void toneMap(Color *result, RenderState *state) {
    int size = 0;
    const auto *tone = static_cast<const ToneOperatorRecord *>(
        zo_shaderstate_get(state, KOR_KEY_TONE_OPERATOR, &size));
    if (!tone || size < static_cast<int>(sizeof(ToneOperatorRecord))) return;
    if (tone->processBackground != 0 || !tone->forward) return;
    int hdrSize = 0;
    const auto *hdr =
        static_cast<const int32_t *>(zo_shaderstate_get(state, KOR_KEY_SKY_IS_HDR, &hdrSize));
    if (hdr && hdrSize >= static_cast<int>(sizeof(int32_t)) && *hdr != 0) return;
    tone->forward(result, state, tone->context);
}

void renderElements(RenderState *state, const Color &colour) {
    if (!RenderElementsAreBeingUsed(state)) return;
    RenderElementPostIllumData data;
    InitializeRenderElementPostIllumData(state, &data);
    ClearInputs(&data.illum);
    ClearOutputs(&data.illum);
    data.illum.opacity = 1.0f;
    data.illum.shadedColor = colour;
    data.illum.transparency = Color{0.0f, 0.0f, 0.0f, 1.0f};
    kor_CallRenderElementShaders_PostIllum(state, &data);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Environment(Color *result, RenderState *state, EnvironmentParams *params) {
    if (!result || !state || !params) return 0;

    int bumpState = 0;
    if (!zo_query(ZO_Q_BUMP_STATE, state, 0, &bumpState)) bumpState = 0;
    if ((bumpState != 0 || state->type == ZO_RAY_BUMP) &&
        !zo_shaderstate_get(state, KOR_KEY_BUMP_SKY, nullptr))
        return skyLight(result, state, params);

    auto *guard = static_cast<EnvironmentThread *>(
        kor::thread_block(state, kModule, __LINE__, sizeof(EnvironmentThread)));
    if (guard) {
        if (guard->busy) return 0;
        guard->busy = 1;
    }

    state->normal = -state->dir;
    state->normal_geom = state->normal;
    Color c = {0.0f, 0.0f, 0.0f, 1.0f};
    const Tag map = kor::eval(state, &params->map);
    kor::MapRequest request = {kor::kMapColor, 2, 0};
    if (!map || !zo_call_shader_x(&c, ZO_SHADER_MAP, state, map, &request))
        c = Color{0.0f, 0.0f, 0.0f, 1.0f};
    if (!kor::eval(state, &params->useMapAlpha)) c.a = kor::eval(state, &params->alpha);
    *result = c;

    if (state->type == ZO_RAY_EYE) {
        const int32_t background = 65535;
        zo_fb_put(state, 2, &background);
    }
    toneMap(result, state);
    renderElements(state, *result);

    if (guard) guard->busy = 0;
    return 1;
}

KOR_SHADER_EXIT(kor_Environment) {
    if (!params) return;
    kor::for_each_thread_block(state,
                               [](void *block) { zo_mem_int_release(kModule, __LINE__, block); });
}
