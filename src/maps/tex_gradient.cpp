// kor_Gradient: three colours (or sub-maps) along v, or outwards from the
// tile's centre, with optional noise on the position.
#include <math.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

namespace {

using namespace kor;

struct GradientSample {
    GradientParams p;
    float noiseScale;
    PatternSide sides[3];
    RenderState *state;
    int *sideMode;
};

// The position g in [0, 1] at (u, v).
float gradientPosition(const GradientSample &s, float u, float v) {
    const GradientParams &p = s.p;
    float g = v;
    if (p.gradientType != 0) {
        u -= 0.5f;
        v -= 0.5f;
        g = 2.0f * sqrtf(u * u + v * v);
        if (g > 1.0f) g = 1.0f;
    }
    if (p.noiseAmount != 0.0f) {
        const float softness = p.thresholdSmooth * (p.thresholdHigh - p.thresholdLow) * 0.5f;
        const float n = gradientNoise(u, v, p.noisePhase, s.noiseScale, p.noiseType, p.noiseLevels,
                                      p.thresholdLow, p.thresholdHigh, softness);
        g = clampRange(g + p.noiseAmount * n, 0.0f, 1.0f);
    }
    return g;
}

// The weights of colours 1, 2 and 3 at position g.
void gradientWeights(float g, float position, float w[3]) {
    w[0] = w[1] = w[2] = 0.0f;
    if (g == position) {
        w[1] = 1.0f;
    } else if (g > position) {
        const float t = (g - position) / (1.0f - position);
        w[1] = 1.0f - t;
        w[0] = t;
    } else {
        const float t = g / position;
        w[2] = 1.0f - t;
        w[1] = t;
    }
}

Color *gradientRead(Color *out, GradientSample *s, float u, float v, float, float) {
    float w[3];
    gradientWeights(gradientPosition(*s, u, v), s->p.color2Position, w);
    Color c = kClearColor;
    for (int k = 0; k < 3; ++k) {
        if (w[k] == 0.0f) continue;
        const Color &side = sideColour(s->state, &s->sides[k], s->sideMode);
        c.r += side.r * w[k];
        c.g += side.g * w[k];
        c.b += side.b * w[k];
        c.a += side.a * w[k];
    }
    *out = c;
    return out;
}

constexpr UVPointLookup gradientPoint = patternPoint<GradientSample, gradientRead>;
constexpr UVFilteredLookup gradientFiltered = patternFiltered<GradientSample, gradientRead>;

void evaluate(RenderState *state, const GradientParams *in, GradientParams *p) {
    evalFields(state, in, p, &GradientParams::color1, &GradientParams::color2,
               &GradientParams::color3, &GradientParams::map1, &GradientParams::map2,
               &GradientParams::map3, &GradientParams::map1On, &GradientParams::map2On,
               &GradientParams::map3On, &GradientParams::color2Position,
               &GradientParams::gradientType);
    evalGradientNoise(state, in, p);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Gradient(Color *result, RenderState *state, GradientParams *params,
                                  int *mode) {
    GradientSample s;
    zoBoolean answer;
    if (!patternBegin(result, state, params, mode, evaluate, &s, &answer)) return answer;
    s.noiseScale = s.p.noiseSize != 0.0f ? 20.0f / s.p.noiseSize : 0.0f;
    sideInit(&s.sides[0], s.p.color1, s.p.map1, s.p.map1On);
    sideInit(&s.sides[1], s.p.color2, s.p.map2, s.p.map2On);
    sideInit(&s.sides[2], s.p.color3, s.p.map3, s.p.map3On);
    if (!isBumpMode(mode))
        return patternColour(result, state, mode, &s, gradientPoint, gradientFiltered);

    // Bump: the gradient of the intensity (sub-maps by their grey value,
    // taken once with the caller's record in mode 1), and the sub-maps' own
    // relief weighted by their share at the point.
    bool subMaps = false;
    for (PatternSide &side : s.sides)
        if (sideTakeGrey(state, &side, mode)) subMaps = true;
    s.sideMode = mode;
    CoordQuery query;
    Vector3 vector = runUVGradient(state, s.p.coords, gradientPoint, gradientFiltered, &s.p,
                                   nullptr, mode, &s, kQueryBasis | kQueryUVW, 1.0f, &query);
    if (subMaps) {
        float w[3];
        gradientWeights(gradientPosition(s, query.slots[6], query.slots[7]), s.p.color2Position, w);
        for (int k = 0; k < 3; ++k)
            if (s.sides[k].mapActive && w[k] != 0.0f)
                vector += callMapBump(state, s.sides[k].map, mode) * w[k];
    }
    finishVector(result, state, s.p.output, mode, vector, 1.0f);
    return 1;
}

KOR_SHADER_INIT(kor_Gradient) {
    if (params) return;
    if (request) *request = 1;
    kor::noiseInit(state);
}
