// kor_Mix: two colours (or sub-maps) mixed by an amount or by the grey
// value of a mix map, optionally through a smooth curve.
#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

namespace {

using namespace kor;

void evaluate(RenderState *state, const MixParams *in, MixParams *p) {
#define KOR_EVAL(field) p->field = eval(state, &in->field)
    KOR_EVAL(mixAmount);
    KOR_EVAL(curveLower);
    KOR_EVAL(curveUpper);
    KOR_EVAL(useCurve);
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(mixMap);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(mixMapOn);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

// The curve: 0 below lower, 1 at or above upper, (3 - 2t)t^2 between; its
// slope goes to *slope.
float mixCurve(float m, float lower, float upper, float *slope) {
    *slope = 0.0f;
    if (m >= upper) return 1.0f;
    if (m < lower) return 0.0f;
    const float span = upper - lower;
    const float t = (m - lower) / span;
    *slope = 6.0f * t * (1.0f - t) / span;
    return (3.0f - 2.0f * t) * t * t;
}

}  // namespace

KOR_EXPORT zoBoolean kor_Mix(Color *result, RenderState *state, MixParams *params, int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    MixParams p;
    evaluate(state, params, &p);
    writeGBufferId(state, p.gbufferId);

    const bool mixMapActive = active(p.mixMap, p.mixMapOn);
    float m = p.mixAmount, slope = 1.0f;
    if (mixMapActive) m = intensity(callMapInMode(state, p.mixMap, mode, kMapGrey));
    if (p.useCurve) m = mixCurve(m, p.curveLower, p.curveUpper, &slope);
    const bool active1 = active(p.map1, p.map1On), active2 = active(p.map2, p.map2On);

    if (!bump) {
        Color side1 = p.color1, side2 = p.color2;
        if (m < 0.0001f) {
            if (active1) side1 = callMap(state, p.map1, mode);
            *result = side1;
        } else if (m > 0.9999f) {
            if (active2) side2 = callMap(state, p.map2, mode);
            *result = side2;
        } else {
            if (active1) side1 = callMap(state, p.map1, mode);
            if (active2) side2 = callMap(state, p.map2, mode);
            *result = lerp(side1, side2, m);
        }
        applyOutput(result, state, p.output, mode);
        return 1;
    }

    // Bump: the sides' relief mixed by m, plus the mix map's own relief
    // times the difference of the sides' grey values (product rule).
    Vector3 vector = kZero;
    if (active1 && m < 0.9999f) vector += callMapBump(state, p.map1, mode) * (1.0f - m);
    if (active2 && m > 0.0001f) vector += callMapBump(state, p.map2, mode) * m;
    if (mixMapActive && slope != 0.0f) {
        const float i1 =
            active1 ? intensity(callMapInMode(state, p.map1, mode, kMapGrey)) : intensity(p.color1);
        const float i2 =
            active2 ? intensity(callMapInMode(state, p.map2, mode, kMapGrey)) : intensity(p.color2);
        vector += callMapBump(state, p.mixMap, mode) * ((i2 - i1) * slope);
    }
    finishVector(result, state, p.output, mode, vector, 1.0f);
    return 1;
}
