// kor_PerlinMarble: marble veins from a sine bent by an octave sum of
// scaled noise, coloured through a spline of the two colours and their
// shaded variants.
#include <math.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr int kMaxOctaves = 20;
constexpr int kKeys = 13;
constexpr float kPi = 3.14159265f;

struct PerlinMarbleParams {
    ProcTwoColor sides;
    float size;  // 0 counts as 0.0001
    float levels;
    float saturation1;  // percent: the shade of color1's variant
    float saturation2;  // percent: the shade of color2's variant
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(PerlinMarbleParams, size) == 48 &&
                  offsetof(PerlinMarbleParams, levels) == 52 &&
                  offsetof(PerlinMarbleParams, saturation1) == 56 &&
                  offsetof(PerlinMarbleParams, saturation2) == 60 &&
                  offsetof(PerlinMarbleParams, coords) == 64 &&
                  offsetof(PerlinMarbleParams, output) == 68 &&
                  offsetof(PerlinMarbleParams, gbufferId) == 72,
              "the record is laid out by the shader declaration");

void evaluate(RenderState *state, const PerlinMarbleParams *raw, PerlinMarbleParams *p) {
    procEvaluate(state, raw, p, &PerlinMarbleParams::size, &PerlinMarbleParams::levels,
                 &PerlinMarbleParams::saturation1, &PerlinMarbleParams::saturation2,
                 &PerlinMarbleParams::coords, &PerlinMarbleParams::output,
                 &PerlinMarbleParams::gbufferId);
}

// The vein value in [0, 1]: a sine across x bent by the octave sum.
float pattern(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *p = static_cast<const PerlinMarbleParams *>(data);
    const Vector3 q = point / procSize(p->size);
    float sum = 0.0f, scale = 1.0f;
    for (int i = 0; i < kMaxOctaves && static_cast<float>(i) < p->levels + 0.01f; ++i) {
        sum += fabsf((noiseScaled(q * scale) + 1.0f) * 0.5f) / scale;
        scale *= 2.0f;
    }
    return clampRange(sinf(kPi * (q.x + 4.0f * sum)), 0.0f, 1.0f);
}

// A colour shaded by a percentage: p / 100 mapped to 2p - 1, in [0, 1].
Color shaded(const Color &c, float percent) {
    const float s = clampRange(2.0f * (percent / 100.0f) - 1.0f, 0.0f, 1.0f);
    return {c.r * s, c.g * s, c.b * s, c.a};
}

}  // namespace

KOR_EXPORT zoBoolean kor_PerlinMarble(Color *result, RenderState *state, PerlinMarbleParams *params,
                                      const int *mode) {
    PerlinMarbleParams p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    const int m = procMode(mode);
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(m), &pt);
    const ProcSide s1 = p.sides.side1(), s2 = p.sides.side2();
    if (procIsBump(m)) {
        float v;
        const Vector3 g = procGradient(pattern, &p, pt, 20.0f, &v);
        procBumpResult(state, g, v, s1, s2, p.output, mode, result);
        return 1;
    }
    const float t = pattern(&p, pt.p, pt.footprint);
    const Color a = procSideColor(state, s1, m), b = procSideColor(state, s2, m);
    const Color da = shaded(a, p.saturation1), db = shaded(b, p.saturation2);
    const Color keys[kKeys] = {a, a, da, b, db, a, da, b, a, db, b, a, a};
    *result = splineColor(t * static_cast<float>(kKeys - 3), kKeys, keys);
    procOutput(state, p.output, mode, result);
    return 1;
}

KOR_SHADER_INIT(kor_PerlinMarble) {
    procClassInit(state, params, request);
}
