// kor_ColorCorrection: channel rewiring, hue and saturation shifts in HSL,
// and a brightness/contrast or gain/gamma/pivot/lift lightness stage.
#include <math.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

namespace {

using namespace kor;

void evaluate(RenderState *state, const ColorCorrectionParams *in, ColorCorrectionParams *p) {
#define KOR_EVAL(field) p->field = eval(state, &in->field)
    KOR_EVAL(color);
    KOR_EVAL(map);
    KOR_EVAL(rewireRed);
    KOR_EVAL(rewireGreen);
    KOR_EVAL(rewireBlue);
    KOR_EVAL(rewireAlpha);
    KOR_EVAL(hueShift);
    KOR_EVAL(saturation);
    KOR_EVAL(lightnessMode);
    KOR_EVAL(brightness);
    KOR_EVAL(contrast);
    KOR_EVAL(gainRGB);
    KOR_EVAL(gainR);
    KOR_EVAL(gainG);
    KOR_EVAL(gainB);
    KOR_EVAL(gammaRGB);
    KOR_EVAL(gammaR);
    KOR_EVAL(gammaG);
    KOR_EVAL(gammaB);
    KOR_EVAL(pivotRGB);
    KOR_EVAL(pivotR);
    KOR_EVAL(pivotG);
    KOR_EVAL(pivotB);
    KOR_EVAL(liftRGB);
    KOR_EVAL(liftR);
    KOR_EVAL(liftG);
    KOR_EVAL(liftB);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

float select(const Color &c, int selector) {
    if (selector < 0) selector = 0;
    if (selector > 10) selector = 10;
    switch (selector) {
        case 0: return c.r;
        case 1: return c.g;
        case 2: return c.b;
        case 3: return c.a;
        case 4: return 1.0f - c.r;
        case 5: return 1.0f - c.g;
        case 6: return 1.0f - c.b;
        case 7: return 1.0f - c.a;
        case 8: return (c.r + c.g + c.b) / 3.0f;
        case 9: return 1.0f;
        default: return 0.0f;
    }
}

float hueChannel(float p, float q, float t) {
    if (t < 0.0f) t += 1.0f;
    if (t > 1.0f) t -= 1.0f;
    if (t < 1.0f / 6.0f) return p + (q - p) * 6.0f * t;
    if (t < 0.5f) return q;
    if (t < 2.0f / 3.0f) return p + (q - p) * (2.0f / 3.0f - t) * 6.0f;
    return p;
}

// Hue (degrees) and saturation shifted in HSL; alpha unchanged.
Color shiftHsl(const Color &c, float hueShift, float saturationAdd) {
    const float hi = largest3(c.r, c.g, c.b);
    const float lo = fminf(c.r, fminf(c.g, c.b));
    const float d = hi - lo;
    const float l = clampRange((hi + lo) * 0.5f, 0.0f, 1.0f);
    float h = 0.0f, s = 0.0f;
    if (d >= 0.00001f) {
        const float sum = hi + lo;
        s = l > 0.5f ? d / (2.0f - sum) : d / sum;
        if (hi == c.r)
            h = 60.0f * ((c.g - c.b) / d);
        else if (hi == c.g)
            h = 60.0f * ((c.b - c.r) / d + 2.0f);
        else
            h = 60.0f * ((c.r - c.g) / d + 4.0f);
    }
    h = fmodf(h + hueShift, 360.0f);
    if (h < 0.0f) h += 360.0f;
    s = clampRange(s + saturationAdd, 0.0f, 1.0f);
    if (s == 0.0f) return Color{l, l, l, c.a};
    const float q = l < 0.5f ? l * (1.0f + s) : l + s - l * s;
    const float p = 2.0f * l - q;
    const float t = h / 360.0f;
    return Color{hueChannel(p, q, t + 1.0f / 3.0f), hueChannel(p, q, t),
                 hueChannel(p, q, t - 1.0f / 3.0f), c.a};
}

float advanced(float x, float gain, float gamma, float pivot, float lift) {
    float y = (x - pivot) * gain + pivot + lift;
    if (gamma > 0.0f && gamma != 1.0f) y = powf(fmaxf(y, 0.0f), 1.0f / gamma);
    return y;
}

}  // namespace

KOR_EXPORT zoBoolean kor_ColorCorrection(Color *result, RenderState *state,
                                         ColorCorrectionParams *params, int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    ColorCorrectionParams p;
    evaluate(state, params, &p);
    writeGBufferId(state, p.gbufferId);
    if (bump) {
        Vector3 v = kZero;
        if (p.map) v = callMapBump(state, p.map, mode);
        writeVector(result, v, 0.0f);
        return 1;
    }
    const Color in = p.map ? callMap(state, p.map, mode) : p.color;
    Color c = {select(in, p.rewireRed), select(in, p.rewireGreen), select(in, p.rewireBlue),
               select(in, p.rewireAlpha)};
    c = shiftHsl(c, p.hueShift, p.saturation / 100.0f);
    if (p.lightnessMode == 0) {
        const float k = 1.0f + p.contrast / 100.0f, b = 0.5f + p.brightness / 100.0f;
        c.r = (c.r - 0.5f) * k + b;
        c.g = (c.g - 0.5f) * k + b;
        c.b = (c.b - 0.5f) * k + b;
    } else {
        const float g = p.gainRGB / 100.0f;
        c.r = advanced(c.r, g * p.gainR / 100.0f, p.gammaRGB * p.gammaR, p.pivotRGB + p.pivotR,
                       p.liftRGB + p.liftR);
        c.g = advanced(c.g, g * p.gainG / 100.0f, p.gammaRGB * p.gammaG, p.pivotRGB + p.pivotG,
                       p.liftRGB + p.liftG);
        c.b = advanced(c.b, g * p.gainB / 100.0f, p.gammaRGB * p.gammaB, p.pivotRGB + p.pivotB,
                       p.liftRGB + p.liftB);
    }
    *result = c;
    applyOutput(result, state, p.output, mode);
    return 1;
}
