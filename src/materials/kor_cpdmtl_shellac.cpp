// kor_ShellacMaterial: a shellac material added over a base material.
#include "kor_cpdmtl.h"
#include "shader.h"

namespace {

using namespace kor::cpd;

struct ShellacParams {
    Tag baseMaterial;
    Tag shellacMaterial;
    float shellacBlend;
    int32_t materialId;
};

}  // namespace

KOR_EXPORT zoBoolean kor_ShellacMaterial(Color *result, RenderState *state, ShellacParams *p) {
    if (!result || !state || !p) return 0;
    writeMaterialId(state, kor::eval_value(state, &p->materialId));
    const RayKind kind = rayKind(state);
    const Tag base = kor::eval_value(state, &p->baseMaterial);
    const Tag shellac = kor::eval_value(state, &p->shellacMaterial);
    const float blend = kor::eval_value(state, &p->shellacBlend);
    const Tag alone = base ? base : shellac;

    if (kind == RayKind::Photon) {
        if (blend != 0.0f && base && shellac) return choose(result, state, blend, shellac, base);
        return alone ? CallMaterial(result, state, alone, nullptr) : 0;
    }

    const Color incoming = *result;
    if (blend == 0.0f || !base || !shellac) {
        runMaterial(result, state, alone, incoming);
    } else {
        RenderState copy = *state;
        Color cb, cs;
        runMaterial(&cb, state, base, incoming);
        runMaterial(&cs, &copy, shellac, incoming);
        *result = {cb.r + blend * cs.r, cb.g + blend * cs.g, cb.b + blend * cs.b, cb.a};
    }
    return answer(*result, kind);
}

KOR_EXPORT zoBoolean kor_ShellacMaterial_Contour(void *result, void *infoNear, void *infoFar,
                                                 RenderState *state, ShellacParams *p) {
    if (!state || !p) return 0;
    return contour(result, infoNear, infoFar, state, kor::eval_value(state, &p->baseMaterial));
}

KOR_SHADER_INIT(kor_ShellacMaterial) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_ShellacMaterial) {
    exitInstance(state, params);
}
KOR_SHADER_INIT(kor_ShellacMaterial_Contour) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_ShellacMaterial_Contour) {
    exitInstance(state, params);
}
