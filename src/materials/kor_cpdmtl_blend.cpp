// kor_BlendMaterial: two materials mixed by an amount or by a mask map,
// optionally through a smooth transition curve.
#include "kor_cpdmtl.h"
#include "kor_support.h"
#include "shader.h"

namespace {

using namespace kor::cpd;

struct BlendParams {
    float mixAmount;
    float curveLower;
    float curveUpper;
    zoBoolean useCurve;
    int32_t unused;
    Tag material1;
    Tag material2;
    Tag mask;
    zoBoolean material1On;
    zoBoolean material2On;
    zoBoolean maskOn;
    int32_t materialId;
};

constexpr float kLow = 0.0001f, kHigh = 0.9999f;

// The share of material 2.
float amount(RenderState *state, const BlendParams *p) {
    float m = kor::eval_value(state, &p->mixAmount);
    const Tag mask = present(kor::eval_value(state, &p->mask), kor::eval_value(state, &p->maskOn));
    if (mask) {
        kor::MapRequest request{kor::kMapGrey, 0, 0};
        Color c = kor::kBlack;
        m = zo_call_shader_x(&c, ZO_SHADER_MAP, state, mask, &request)
                ? (c.r + c.g + c.b) * 0.33333f
                : 0.0f;
    }
    if (kor::eval_value(state, &p->useCurve)) {
        const float lower = kor::eval_value(state, &p->curveLower);
        const float upper = kor::eval_value(state, &p->curveUpper);
        if (m < lower) {
            m = 0.0f;
        } else if (m >= upper) {
            m = 1.0f;
        } else {
            const float s = (m - lower) / (upper - lower);
            m = (3.0f - 2.0f * s) * s * s;
        }
    }
    return m;
}

Tag material1(RenderState *state, const BlendParams *p) {
    return present(kor::eval_value(state, &p->material1), kor::eval_value(state, &p->material1On));
}
Tag material2(RenderState *state, const BlendParams *p) {
    return present(kor::eval_value(state, &p->material2), kor::eval_value(state, &p->material2On));
}

}  // namespace

KOR_EXPORT zoBoolean kor_BlendMaterial(Color *result, RenderState *state, BlendParams *p) {
    if (!result || !state || !p) return 0;
    writeMaterialId(state, kor::eval_value(state, &p->materialId));
    const RayKind kind = rayKind(state);
    const float m = amount(state, p);
    const Tag first = material1(state, p), second = material2(state, p);

    if (kind == RayKind::Photon) {
        if (m < kLow || !second) return first ? CallMaterial(result, state, first, nullptr) : 0;
        if (m <= kHigh && first) return choose(result, state, m, second, first);
        return CallMaterial(result, state, second, nullptr);
    }

    const Color incoming = *result;
    if (m < kLow) {
        runMaterial(result, state, first, incoming);
    } else if (m > kHigh || !first) {
        runMaterial(result, state, second, incoming);
    } else {
        // the second material runs on the state as it was before the first
        RenderState copy = *state;
        Color c1;
        runMaterial(&c1, state, first, incoming);
        if (!second) {
            *result = c1;
        } else {
            Color c2;
            runMaterial(&c2, &copy, second, incoming);
            *result = mix(c2, c1, m);
        }
    }
    return answer(*result, kind);
}

KOR_EXPORT zoBoolean kor_BlendMaterial_Contour(void *result, void *infoNear, void *infoFar,
                                               RenderState *state, BlendParams *p) {
    if (!state || !p) return 0;
    return contour(result, infoNear, infoFar, state, material1(state, p));
}

KOR_SHADER_INIT(kor_BlendMaterial) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_BlendMaterial) {
    exitInstance(state, params);
}
KOR_SHADER_INIT(kor_BlendMaterial_Contour) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_BlendMaterial_Contour) {
    exitInstance(state, params);
}
