// kor_Checker: two colours (or sub-maps) in alternating square cells of the
// unit tile, box-filtered over the soften width plus the footprint.
#include <math.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

namespace {

using namespace kor;

struct CheckerSample {
    CheckerParams p;
    PatternSide side1, side2;
    RenderState *state;
    int *sideMode;  // the mode the sub-maps are called with
};

// Length of [0, x] that lies in the upper halves of the unit cells.
inline float upperLength(float x) {
    const float f = floorf(x);
    const float r = x - f - 0.5f;
    return f * 0.5f + (r > 0.0f ? r : 0.0f);
}

// The weight of colour 2 at (u, v) over the box of widths wu, wv.
float checkerWeight(float u, float v, float wu, float wv) {
    if (wu == 0.0f || wv == 0.0f) {
        const bool upperU = u - floorf(u) > 0.5f, upperV = v - floorf(v) > 0.5f;
        return upperU == upperV ? 1.0f : 0.0f;
    }
    const float fu = (upperLength(u + wu * 0.5f) - upperLength(u - wu * 0.5f)) / wu;
    const float fv = (upperLength(v + wv * 0.5f) - upperLength(v - wv * 0.5f)) / wv;
    return fu * fv + (1.0f - fu) * (1.0f - fv);
}

Color *checkerRead(Color *out, CheckerSample *s, float u, float v, float du, float dv) {
    const float w = checkerWeight(u, v, s->p.soften + du, s->p.soften + dv);
    if (w <= 0.0005f)
        *out = sideColour(s->state, &s->side1, s->sideMode);
    else if (w >= 0.9995f)
        *out = sideColour(s->state, &s->side2, s->sideMode);
    else
        *out = lerp(sideColour(s->state, &s->side1, s->sideMode),
                    sideColour(s->state, &s->side2, s->sideMode), w);
    return out;
}

constexpr UVPointLookup checkerPoint = patternPoint<CheckerSample, checkerRead>;
constexpr UVFilteredLookup checkerFiltered = patternFiltered<CheckerSample, checkerRead>;

void evaluate(RenderState *state, const CheckerParams *in, CheckerParams *p) {
    // nothing connected: the record is taken as it stands, without a
    // connection test per field
    if (unconnected(state, in, sizeof *in)) {
        *p = *in;
        return;
    }
    evalFields(state, in, p, &CheckerParams::soften, &CheckerParams::color1, &CheckerParams::color2,
               &CheckerParams::map1, &CheckerParams::map2, &CheckerParams::map1On,
               &CheckerParams::map2On, &CheckerParams::coords, &CheckerParams::output,
               &CheckerParams::gbufferId);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Checker(Color *result, RenderState *state, CheckerParams *params,
                                 int *mode) {
    CheckerSample s;
    zoBoolean answer;
    if (!patternBegin(result, state, params, mode, evaluate, &s, &answer)) return answer;
    sideInit(&s.side1, s.p.color1, s.p.map1, s.p.map1On);
    sideInit(&s.side2, s.p.color2, s.p.map2, s.p.map2On);
    if (!isBumpMode(mode))
        return patternColour(result, state, mode, &s, checkerPoint, checkerFiltered);

    // Bump: the generator answers the gradient of the checker's intensity
    // (sub-maps entering by their grey value) and the surface basis.
    MapRequest grey = {kMapGrey, 0, 0};
    s.sideMode = &grey.kind;
    const bool subMaps = s.side1.mapActive || s.side2.mapActive;
    CoordQuery query;
    Vector3 vector =
        runUVGradient(state, s.p.coords, checkerPoint, checkerFiltered, &s.p, nullptr, mode, &s,
                      kQueryBasis | (subMaps ? kQueryUVW | kQueryDUVW : 0), 1.0f, &query);
    if (subMaps) {
        // the sub-maps' own relief, weighted by their share at the point
        const float u = query.slots[6], v = query.slots[7];
        const float w =
            checkerWeight(u, v, s.p.soften + query.slots[9], s.p.soften + query.slots[10]);
        if (s.side1.mapActive) vector += callMapBump(state, s.side1.map, mode) * (1.0f - w);
        if (s.side2.mapActive) vector += callMapBump(state, s.side2.map, mode) * w;
    }
    finishVector(result, state, s.p.output, mode, vector, 1.0f);
    return 1;
}
