// kor_DoubleSidedMaterial: one material on each side of a surface, the
// far side showing through by the translucency.
#include "kor_cpdmtl.h"
#include "kor_vector.h"
#include "shader.h"

namespace {

using namespace kor::cpd;

struct DoubleSidedParams {
    Tag frontMaterial;
    Tag backMaterial;
    zoBoolean frontOn;
    zoBoolean backOn;
    float translucency;  // percent
    int32_t materialId;
};

struct Sides {
    Tag facing, other;
};

Sides sides(RenderState *state, const DoubleSidedParams *p) {
    const Tag front =
        present(kor::eval_value(state, &p->frontMaterial), kor::eval_value(state, &p->frontOn));
    const Tag back =
        present(kor::eval_value(state, &p->backMaterial), kor::eval_value(state, &p->backOn));
    return state->inv_normal ? Sides{back, front} : Sides{front, back};
}

}  // namespace

KOR_EXPORT zoBoolean kor_DoubleSidedMaterial(Color *result, RenderState *state,
                                             DoubleSidedParams *p) {
    if (!result || !state || !p) return 0;
    writeMaterialId(state, kor::eval_value(state, &p->materialId));
    const RayKind kind = rayKind(state);
    const Sides s = sides(state, p);
    const float translucency = kor::eval_value(state, &p->translucency);
    const int32_t inside = state->inv_normal;
    state->inv_normal = 0;

    zoBoolean ok;
    if (kind == RayKind::Photon) {
        ok = translucency == 0.0f ? (s.facing ? CallMaterial(result, state, s.facing, nullptr) : 0)
                                  : choose(result, state, translucency * 0.01f, s.other, s.facing);
    } else {
        const Color incoming = *result;
        if (translucency == 0.0f) {
            runMaterial(result, state, s.facing, incoming);
        } else {
            Color c1, c2;
            runMaterial(&c1, state, s.facing, incoming);
            const Vector3 normal = state->normal, geometric = state->normal_geom;
            state->normal = -normal;
            state->normal_geom = -geometric;
            runMaterial(&c2, state, s.other, incoming);
            state->normal = normal;
            state->normal_geom = geometric;
            *result = mix(c2, c1, translucency * 0.01f);
        }
        ok = answer(*result, kind);
    }
    state->inv_normal = inside;
    return ok;
}

KOR_EXPORT zoBoolean kor_DoubleSidedMaterial_Contour(void *result, void *infoNear, void *infoFar,
                                                     RenderState *state, DoubleSidedParams *p) {
    if (!state || !p) return 0;
    return contour(result, infoNear, infoFar, state, sides(state, p).facing);
}

KOR_SHADER_INIT(kor_DoubleSidedMaterial) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_DoubleSidedMaterial) {
    exitInstance(state, params);
}
KOR_SHADER_INIT(kor_DoubleSidedMaterial_Contour) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_DoubleSidedMaterial_Contour) {
    exitInstance(state, params);
}
