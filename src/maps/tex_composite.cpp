// kor_Composite: layers of maps, each with an optional mask, an opacity
// and a blend mode, composited over one another in order.
#include <math.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

namespace {

using namespace kor;

constexpr Color kOpaqueBlack = {0.0f, 0.0f, 0.0f, 1.0f};

// The shaping function of the darkening modes: the smaller of the value
// and a bound.
inline float darken(float x, float bound) {
    return x < bound ? x : bound;
}

struct Hsv {
    float h, s, v;  // hue in degrees
};

Hsv toHsv(const Color &c) {
    const float hi = largest3(c.r, c.g, c.b);
    const float lo = fminf(c.r, fminf(c.g, c.b));
    Hsv out = {0.0f, hi != 0.0f ? 1.0f - lo / hi : 0.0f, hi};
    const float d = hi - lo;
    if (d > 0.0f) {
        if (hi == c.r)
            out.h = 60.0f * ((c.g - c.b) / d);
        else if (hi == c.g)
            out.h = 60.0f * ((c.b - c.r) / d + 2.0f);
        else
            out.h = 60.0f * ((c.r - c.g) / d + 4.0f);
        if (out.h < 0.0f) out.h += 360.0f;
    }
    return out;
}

Color fromHsv(const Hsv &x) {
    float h = fmodf(x.h, 360.0f);
    if (h < 0.0f) h += 360.0f;
    h /= 60.0f;
    const int sector = static_cast<int>(h) % 6;
    const float f = h - floorf(h);
    const float v = x.v, p = v * (1.0f - x.s), q = v * (1.0f - x.s * f),
                t = v * (1.0f - x.s * (1.0f - f));
    switch (sector) {
        case 0: return Color{v, t, p, 1.0f};
        case 1: return Color{q, v, p, 1.0f};
        case 2: return Color{p, v, t, 1.0f};
        case 3: return Color{p, q, v, 1.0f};
        case 4: return Color{t, p, v, 1.0f};
        default: return Color{v, p, q, 1.0f};
    }
}

float blendChannel(int mode, float l, float d) {
    switch (mode) {
        case 0: return l;
        case 1: return (l + d) * 0.5f;
        case 2: return l + d;
        case 3: return d - l;
        case 4: return darken(l, d);
        case 5: return l * d;
        case 6: return l <= 0.0f ? 0.0f : fmaxf(1.0f - (1.0f - d) / l, 0.0f);
        case 7: return fmaxf(l + d - 1.0f, 0.0f);
        case 8: return fmaxf(l, d);
        case 9: return l + d - l * d;
        case 10: return l >= 1.0f ? 1.0f : fminf(d / (1.0f - l), 1.0f);
        case 11: return fminf(l + d, 1.0f);
        case 12: return darken(2.0f * l * d, 1.0f);
        case 13: return darken(d + l * d, 1.0f);
        case 14: return d <= 0.5f ? 2.0f * l * d : 1.0f - 2.0f * (1.0f - l) * (1.0f - d);
        case 15:
            return l <= 0.5f ? d - (1.0f - 2.0f * l) * d * (1.0f - d)
                             : d + (2.0f * l - 1.0f) * (sqrtf(fmaxf(d, 0.0f)) - d);
        case 16: return l <= 0.5f ? 2.0f * l * d : 1.0f - 2.0f * (1.0f - l) * (1.0f - d);
        case 17: return (l > 0.5f && l > d) || (l < 0.5f && l < d) ? l : d;
        case 18: return l + d > 1.0f ? 1.0f : 0.0f;
        case 19: return fabsf(l - d);
        case 20: return l + d - 2.0f * l * d;
        default: return 0.0f;
    }
}

Color blend(int mode, const Color &l, const Color &d) {
    if (mode >= 21) {
        const Hsv a = toHsv(l), b = toHsv(d);
        switch (mode) {
            case 21: return fromHsv(Hsv{a.h, b.s, b.v});
            case 22: return fromHsv(Hsv{b.h, a.s, b.v});
            case 23: return fromHsv(Hsv{a.h, a.s, b.v});
            default: return fromHsv(Hsv{b.h, b.s, a.v});
        }
    }
    return Color{blendChannel(mode, l.r, d.r), blendChannel(mode, l.g, d.g),
                 blendChannel(mode, l.b, d.b), 1.0f};
}

struct Layer {
    Tag map, mask;
    zoBoolean on, maskOn;
    float opacity;
    int32_t mode;
};

Layer layerAt(RenderState *state, const CompositeParams *p, const CompositeParams &e, int k) {
    Layer l;
    l.map = eval(state, &p->layerMaps[e.layerMaps.start + k]);
    l.on = eval(state, &p->layerOn[e.layerOn.start + k]);
    l.mask = eval(state, &p->maskMaps[e.maskMaps.start + k]);
    l.maskOn = eval(state, &p->maskOn[e.maskOn.start + k]);
    l.opacity = eval(state, &p->opacity[e.opacity.start + k]);
    l.mode = eval(state, &p->blendMode[e.blendMode.start + k]);
    return l;
}

}  // namespace

KOR_EXPORT zoBoolean kor_Composite(Color *result, RenderState *state, CompositeParams *params,
                                   int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    // the array headers; elements are evaluated where they stand
    CompositeParams e;
#define KOR_EVAL_ARRAY(field)                          \
    e.field.start = eval(state, &params->field.start); \
    e.field.count = eval(state, &params->field.count); \
    if (e.field.count < count) count = e.field.count
    int count = 1 << 20;
    KOR_EVAL_ARRAY(layerMaps);
    KOR_EVAL_ARRAY(layerOn);
    KOR_EVAL_ARRAY(maskMaps);
    KOR_EVAL_ARRAY(maskOn);
    KOR_EVAL_ARRAY(opacity);
    KOR_EVAL_ARRAY(blendMode);
#undef KOR_EVAL_ARRAY
    writeGBufferId(state, eval(state, &params->gbufferId));

    if (bump) {
        Vector3 vector = kZero;
        bool first = true;
        for (int k = 0; k < count; ++k) {
            const Layer l = layerAt(state, params, e, k);
            if (!l.on || l.opacity == 0.0f || !l.map) continue;
            float w = l.opacity / 100.0f;
            if (active(l.mask, l.maskOn))
                w *= callMapInMode(state, l.mask, mode, kMapColor, kOpaqueBlack).r;
            const float a = callMapInMode(state, l.map, mode, kMapColor, kOpaqueBlack).a;
            const Vector3 b = callMapBump(state, l.map, mode);
            vector = first ? b * w : vector * (1.0f - w * a) + b * w;
            first = false;
        }
        writeVector(result, vector, 1.0f);
        return 1;
    }

    Color acc = kClearColor;
    for (int k = 0; k < count; ++k) {
        const Layer l = layerAt(state, params, e, k);
        if (!l.on || l.opacity == 0.0f || !l.map) continue;
        Color layer = callMap(state, l.map, mode, kOpaqueBlack);
        float a = layer.a;
        if (a != 0.0f && a != 1.0f) {
            layer.r /= a;
            layer.g /= a;
            layer.b /= a;
        }
        if (active(l.mask, l.maskOn))
            a *= callMapInMode(state, l.mask, mode, kMapColor, kOpaqueBlack).r;
        a *= l.opacity / 100.0f;
        if (acc.a == 0.0f) {
            acc = Color{layer.r, layer.g, layer.b, a};
            continue;
        }
        if (l.mode < 0 || l.mode > 24) {
            acc = kOpaqueBlack;
            continue;
        }
        const Color b = blend(l.mode, layer, acc);
        const float alpha = acc.a;
        const float merged = a + alpha * (1.0f - a);
        const float wa = alpha * (1.0f - a), wl = (1.0f - alpha) * a, wb = alpha * a;
        const float inv = merged != 0.0f ? 1.0f / merged : 0.0f;
        acc = Color{(acc.r * wa + layer.r * wl + b.r * wb) * inv,
                    (acc.g * wa + layer.g * wl + b.g * wb) * inv,
                    (acc.b * wa + layer.b * wl + b.b * wb) * inv, merged};
    }
    if (acc.a != 1.0f) {
        acc.r *= acc.a;
        acc.g *= acc.a;
        acc.b *= acc.a;
    }
    *result = acc;
    return 1;
}
