// kor_Output, the map that hands another map (or white) to an Output
// shader, and kor_base_Output, the Output shader itself: curves, level,
// offset, amount, inversion and clamping of every map's result.
#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"
#include "maps/utl_curve.h"

namespace {

using namespace kor;

void evaluate(RenderState *state, const OutputAdjustParams *in, OutputAdjustParams *p) {
#define KOR_EVAL(field) p->field = eval(state, &in->field)
    KOR_EVAL(outputAmount);
    KOR_EVAL(rgbOffset);
    KOR_EVAL(rgbLevel);
    KOR_EVAL(bumpAmount);
    KOR_EVAL(invert);
    KOR_EVAL(clampResult);
    KOR_EVAL(useCurve);
    KOR_EVAL(curvePerChannel);
    KOR_EVAL(curve);
#undef KOR_EVAL
}

float throughCurve(RenderState *state, Tag curve, int channel, float x) {
    CurveRequest request = {channel, 0};
    Color c = {x, 0.0f, 0.0f, 0.0f};
    if (!zo_call_shader_x(&c, ZO_SHADER_MAP, state, curve, &request)) return x;
    return c.r;
}

// The level, offset, amount, inversion and clamp of one value with its alpha.
inline float adjust(const OutputAdjustParams &p, float x, float alpha) {
    if (p.rgbLevel != 1.0f) x *= p.rgbLevel;
    if (p.rgbOffset != 0.0f) x += p.rgbOffset * alpha;
    if (p.outputAmount != 1.0f) x *= p.outputAmount;
    if (p.invert) x = 1.0f - x;
    if (p.clampResult) x = clampRange(x, 0.0f, 1.0f);
    return x;
}

inline float adjustAlpha(const OutputAdjustParams &p, float alpha) {
    if (p.outputAmount != 1.0f) alpha *= p.outputAmount;
    if (p.clampResult) alpha = clampRange(alpha, 0.0f, 1.0f);
    return alpha;
}

}  // namespace

KOR_EXPORT zoBoolean kor_base_Output(Color *result, RenderState *state, OutputAdjustParams *params,
                                     int *mode) {
    if (!result) return 0;
    if (!params) return 0;
    OutputAdjustParams p;
    evaluate(state, params, &p);
    const int m = outputMode(mode);
    const bool curves = p.useCurve && p.curve;
    if (m == kMapColor) {
        Color c = *result;
        if (curves) {
            c.r = throughCurve(state, p.curve, 0, c.r);
            c.g = throughCurve(state, p.curve, p.curvePerChannel ? 1 : 0, c.g);
            c.b = throughCurve(state, p.curve, p.curvePerChannel ? 2 : 0, c.b);
        }
        const float alpha = c.a;
        c.r = adjust(p, c.r, alpha);
        c.g = adjust(p, c.g, alpha);
        c.b = adjust(p, c.b, alpha);
        c.a = adjustAlpha(p, alpha);
        *result = c;
        return 1;
    }
    if (m == kMapGrey) {
        // one value: the grey of the colour
        float v = intensity(*result);
        if (curves) v = throughCurve(state, p.curve, 0, v);
        v = adjust(p, v, result->a);
        *result = Color{v, v, v, adjustAlpha(p, result->a)};
        return 1;
    }
    Vector3 v = {result->r, result->g, result->b};
    if (p.bumpAmount != 1.0f) v = v * p.bumpAmount;
    if (p.invert) v = -v;
    result->r = v.x;
    result->g = v.y;
    result->b = v.z;
    return 1;
}

KOR_EXPORT zoBoolean kor_Output(Color *result, RenderState *state, OutputMapParams *params,
                                int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    const Tag map = eval(state, &params->map);
    const bool mapActive = active(map, eval(state, &params->mapOn));
    const Tag output = eval(state, &params->output);
    writeGBufferId(state, eval(state, &params->gbufferId));
    if (bump)
        *result = mapActive ? callMap(state, map, mode) : Color{0.0f, 0.0f, 0.0f, 1.0f};
    else
        *result = mapActive ? callMap(state, map, mode) : kWhiteColor;
    applyOutput(result, state, output, mode);
    return 1;
}
