// kor_ThinWallRefraction: refraction through a thin slab. The ray bends
// into the wall, crosses its thickness and leaves it parallel to the ray
// that arrived, displaced sideways; the trace starts at the exit point.
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "shader.h"

namespace {

using namespace kor;

constexpr float kBlurScale = 1000.0f;

struct ThinWallParams {
    float thickness;  // wall thickness in scene units
    zoBoolean blurOn;
    float blur;
    int32_t gbufferId;
};

}  // namespace

KOR_EXPORT zoBoolean kor_ThinWallRefraction(Color *result, RenderState *state,
                                            ThinWallParams *params, const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kOpaqueBlack;
        return 0;
    }
    const ReflectCall call = reflectCallBegin(state);
    if (call.kind == kKindNoResult) {
        reflectCallEnd(state, call);
        return 0;
    }
    writeGBufferId(state, eval(state, &params->gbufferId));
    if (bumpMode(mapMode(mode))) {
        *result = kOpaqueBlack;
    } else if (call.kind == kKindRefraction) {
        const float blur = eval(state, &params->blurOn) ? eval(state, &params->blur) : -1.0f;
        float thickness = eval(state, &params->thickness);
        if (!(thickness > 0.0f)) thickness = 0.0f;
        traceReflectRefract(result, state, call, kKindRefraction, blur, kBlurScale, thickness);
    } else if (call.kind == kKindPhotonTransmitSpecular ||
               call.kind == kKindPhotonTransmitDiffuse) {
        photonContinue(result, state, call.kind, call.entryDir);
    } else {
        *result = kOpaqueBlack;
    }
    reflectCallEnd(state, call);
    return 1;
}
