// kor_CompositeMaterial: a base material with layered materials combined
// additively, subtractively or by mixing; what stays transparent is traced
// once behind the whole stack.
#include "kor_context.h"
#include "kor_cpdmtl.h"
#include "shader.h"

namespace {

using namespace kor::cpd;

struct CompositeParams {
    kor::ParamArray<Tag> materials;  // element 0: the base
    kor::ParamArray<int32_t> layerModes;
    kor::ParamArray<zoBoolean> layersOn;
    kor::ParamArray<float> layerAmounts;  // percent
    int32_t materialId;
};

enum LayerMode : int32_t { kAdditive = 0, kSubtractive = 1, kMix = 2 };

float clamp01(float v) {
    return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
}
float mean3(const Color &c) {
    return (c.r + c.g + c.b) / 3.0f;
}

struct Layer {
    Tag material;
    int32_t mode;
    float amount;
};

// Layer k when it is active and has a material; material 0 otherwise.
Layer layer(RenderState *state, CompositeParams *p, int32_t k) {
    const Tag material =
        kor::eval_value(state, &p->materials[kor::eval_value(state, &p->materials.start) + k]);
    if (k == 0) return {material, kMix, 1.0f};
    const int32_t modes = kor::eval_value(state, &p->layerModes.count);
    const int32_t ons = kor::eval_value(state, &p->layersOn.count);
    const int32_t amounts = kor::eval_value(state, &p->layerAmounts.count);
    if (k >= modes || k >= ons || k >= amounts) return {0, kMix, 0.0f};
    const int32_t on =
        kor::eval_value(state, &p->layersOn[kor::eval_value(state, &p->layersOn.start) + k]);
    if (!on) return {0, kMix, 0.0f};
    const int32_t mode =
        kor::eval_value(state, &p->layerModes[kor::eval_value(state, &p->layerModes.start) + k]);
    const float amount = kor::eval_value(
        state, &p->layerAmounts[kor::eval_value(state, &p->layerAmounts.start) + k]);
    return {material, mode, amount / 100.0f};
}

}  // namespace

KOR_EXPORT zoBoolean kor_CompositeMaterial(Color *result, RenderState *state, CompositeParams *p) {
    if (!result || !state || !p) return 0;
    writeMaterialId(state, kor::eval_value(state, &p->materialId));
    const RayKind kind = rayKind(state);
    const int32_t count = kor::eval_value(state, &p->materials.count);
    const Tag base = count > 0 ? layer(state, p, 0).material : 0;

    if (kind == RayKind::Photon) return base ? CallMaterial(result, state, base, nullptr) : 0;

    const Color incoming = *result;
    Color R = kor::kBlack, A = kor::kBlack;
    bool first = true;
    for (int32_t k = 0; k < count; ++k) {
        const Layer l = layer(state, p, k);
        if (!l.material) continue;
        if (!first && l.mode != kAdditive && l.mode != kSubtractive && l.mode != kMix) continue;
        // a shadow ray's layer filters white light; the incoming colour is applied once
        Color C = kind == RayKind::Shadow ? Color{1, 1, 1, 1} : kor::kBlack, T;
        kor::callMaterialWithTransparency(&C, &T, state, l.material);
        if (first) {
            first = false;
            R = C;
            A = T;
            if (l.mode == kAdditive) {
                R.r *= l.amount;
                R.g *= l.amount;
                R.b *= l.amount;
                A.r = clamp01(A.r + 1.0f - l.amount);
                A.g = clamp01(A.g + 1.0f - l.amount);
                A.b = clamp01(A.b + 1.0f - l.amount);
            }
            continue;
        }
        if (l.mode == kMix) {
            R = mix(R, C, 1.0f - l.amount);
            continue;
        }
        const Color Tl = {clamp01(T.r + 1.0f - l.amount), clamp01(T.g + 1.0f - l.amount),
                          clamp01(T.b + 1.0f - l.amount), T.a};
        const float oA = 1.0f - mean3(A), oT = 1.0f - mean3(Tl);
        const float sign = l.mode == kAdditive ? 1.0f : -1.0f;
        R.r = R.r * (1.0f - oT) + sign * oA * l.amount * C.r;
        R.g = R.g * (1.0f - oT) + sign * oA * l.amount * C.g;
        R.b = R.b * (1.0f - oT) + sign * oA * l.amount * C.b;
        A.r = clamp01(A.r - (1.0f - Tl.r));
        A.g = clamp01(A.g - (1.0f - Tl.g));
        A.b = clamp01(A.b - (1.0f - Tl.b));
    }

    if (first) {
        *result = kor::kBlack;
        return answer(*result, kind);
    }
    if (kind == RayKind::Shadow) {
        *result = {incoming.r * R.r, incoming.g * R.g, incoming.b * R.b, incoming.a * R.a};
        return answer(*result, kind);
    }
    if (A.r > 0.0f || A.g > 0.0f || A.b > 0.0f) {
        Color B = kor::kBlack;
        if (kor::call_type(state) != ZO_CALL_DISPLACE) {
            const int32_t depth = state->trace_depth;
            --state->trace_depth;
            if (!zo_trace_transparent(&B, state)) B = kor::kBlack;
            state->trace_depth = depth;
        }
        A.a = mean3(A);
        R.a = 1.0f - A.a;
        *result = {A.r * B.r + R.r, A.g * B.g + R.g, A.b * B.b + R.b, A.a * B.a + R.a};
    } else {
        R.a = 1.0f;
        *result = R;
    }
    if (state->options && state->options->render_mode == 'r') {
        const Color opacity = {1.0f - A.r, 1.0f - A.g, 1.0f - A.b, result->a};
        zo_opacity_set(state, &opacity);
    }
    return answer(*result, kind);
}

KOR_EXPORT zoBoolean kor_CompositeMaterial_Contour(void *result, void *infoNear, void *infoFar,
                                                   RenderState *state, CompositeParams *p) {
    if (!state || !p) return 0;
    const Tag base =
        kor::eval_value(state, &p->materials.count) > 0 ? layer(state, p, 0).material : 0;
    return contour(result, infoNear, infoFar, state, base);
}

KOR_SHADER_INIT(kor_CompositeMaterial) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_CompositeMaterial) {
    exitInstance(state, params);
}
KOR_SHADER_INIT(kor_CompositeMaterial_Contour) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_CompositeMaterial_Contour) {
    exitInstance(state, params);
}
