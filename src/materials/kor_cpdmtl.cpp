// Compound materials: the shared sub-material call and helpers.
#include "kor_cpdmtl.h"

#include <string.h>

#include "kor_context.h"
#include "shader.h"
#include "utilshaders.h"

namespace kor {
namespace cpd {

RayKind rayKind(const RenderState *state) {
    const int type = state->type;
    if (type == ZO_RAY_SHADOW) return RayKind::Shadow;
    if ((type >= ZO_PHOTON_ABSORB && type <= ZO_PHOTON_TRANSMIT_DIFFUSE) ||
        type == ZO_PHOTON_SCATTER_VOLUME || type == ZO_PHOTON_TRANSPARENT ||
        type == ZO_PHOTON_EMIT_GLOBILLUM || type == ZO_PHOTON_EMIT_CAUSTIC ||
        type == ZO_PHOTON_EMIT_VOLUME)
        return RayKind::Photon;
    return RayKind::Surface;
}

void writeMaterialId(RenderState *state, int32_t materialId) {
    if (state->type == ZO_RAY_EYE && materialId != 0) zo_fb_put(state, 0, &materialId);
}

bool runMaterial(Color *out, RenderState *state, Tag tag, const Color &start, int32_t *flag) {
    *out = start;
    if (tag && CallMaterial(out, state, tag, flag)) return true;
    *out = kBlack;
    return false;
}

Color mix(const Color &a, const Color &b, float t) {
    if (t <= 0.0f) return b;
    if (t >= 1.0f) return a;
    const float s = 1.0f - t;
    return {a.r * t + b.r * s, a.g * t + b.g * s, a.b * t + b.b * s, a.a * t + b.a * s};
}

zoBoolean choose(Color *result, RenderState *state, float p, Tag a, Tag b) {
    return chooseMaterialBySample(result, state, p, a, b);
}

zoBoolean answer(const Color &result, RayKind kind) {
    if (kind == RayKind::Shadow) return result.r != 0.0f || result.g != 0.0f || result.b != 0.0f;
    return 1;
}

void *initInstance(RenderState *state, void *params, zoBoolean *request, int size) {
    if (!params) {
        if (request) *request = 1;
        return nullptr;
    }
    void **slot = user_slot(state);
    if (!slot) return nullptr;
    if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = zo_mem_int_allocate(kModule, __LINE__, size);
    if (*slot) memset(*slot, 0, size);
    return *slot;
}

void exitInstance(RenderState *state, void *params) {
    if (!params) return;
    void **slot = user_slot(state);
    if (!slot) return;
    if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

void *instanceBlock(RenderState *state) {
    void **slot = user_slot(state);
    return slot ? *slot : nullptr;
}

zoBoolean contour(void *result, void *infoNear, void *infoFar, RenderState *state, Tag material) {
    if (!material) return 0;
    return call_contour_material(result, infoNear, infoFar, state, material);
}

}  // namespace cpd
}  // namespace kor
