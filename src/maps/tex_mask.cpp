// kor_Mask: a map times the grey value of a mask map.
#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

namespace {

using namespace kor;

void evaluate(RenderState *state, const MaskParams *in, MaskParams *p) {
#define KOR_EVAL(field) p->field = eval(state, &in->field)
    KOR_EVAL(map);
    KOR_EVAL(mask);
    KOR_EVAL(mapOn);
    KOR_EVAL(maskOn);
    KOR_EVAL(maskInverted);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

}  // namespace

KOR_EXPORT zoBoolean kor_Mask(Color *result, RenderState *state, MaskParams *params, int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    MaskParams p;
    evaluate(state, params, &p);
    writeGBufferId(state, p.gbufferId);
    const bool mapActive = active(p.map, p.mapOn), maskActive = active(p.mask, p.maskOn);

    // the mask's grey value, called in mono mode
    float k = 1.0f;
    if (maskActive) {
        k = intensity(callMapInMode(state, p.mask, mode, kMapGrey));
        if (p.maskInverted) k = 1.0f - k;
    }

    if (!bump) {
        Color c = mapActive ? callMap(state, p.map, mode) : kWhiteColor;
        c.r *= k;
        c.g *= k;
        c.b *= k;
        c.a *= k;
        *result = c;
        applyOutput(result, state, p.output, mode);
        return 1;
    }

    // Bump: the product rule on the map and the mask.
    Vector3 vector = kZero;
    if (mapActive) {
        vector = callMapBump(state, p.map, mode) * k;
        if (maskActive) {
            const float i = intensity(callMapInMode(state, p.map, mode, kMapGrey));
            const Vector3 b = callMapBump(state, p.mask, mode);
            vector += (p.maskInverted ? -b : b) * i;
        }
    }
    finishVector(result, state, p.output, mode, vector, 1.0f);
    return 1;
}
