// kor_Checker: two colours (or sub-maps) in alternating square cells of the
// unit tile, box-filtered over the soften width plus the footprint.
#include <emmintrin.h>
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

// floorf of each lane, exactly (a negative zero stays negative; values of
// 2^23 and more, infinities and NaN are their own floor).
inline __m128 floor4(__m128 x) {
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const __m128 small = _mm_cmplt_ps(_mm_and_ps(x, magnitude), _mm_set1_ps(8388608.0f));
    __m128 t = _mm_cvtepi32_ps(_mm_cvttps_epi32(x));
    t = _mm_sub_ps(t, _mm_and_ps(_mm_cmpgt_ps(t, x), _mm_set1_ps(1.0f)));
    t = _mm_or_ps(t, _mm_andnot_ps(magnitude, x));
    return _mm_or_ps(_mm_and_ps(small, t), _mm_andnot_ps(small, x));
}

// The weight of colour 2 at (u, v) over the box of widths wu, wv. The
// length of [0, x] that lies in the upper halves of the unit cells is
// floor(x) / 2 + max(0, x - floor(x) - 1/2); the four ends of the box are
// worked on together, one per lane.
float checkerWeight(float u, float v, float wu, float wv) {
    if (wu == 0.0f || wv == 0.0f) {
        const bool upperU = u - floorf(u) > 0.5f, upperV = v - floorf(v) > 0.5f;
        return upperU == upperV ? 1.0f : 0.0f;
    }
    const __m128 half = _mm_set1_ps(0.5f);
    // u + wu / 2, u - wu / 2, v + wv / 2, v - wv / 2
    const __m128 reach = _mm_xor_ps(_mm_mul_ps(_mm_setr_ps(wu, wu, wv, wv), half),
                                    _mm_setr_ps(0.0f, -0.0f, 0.0f, -0.0f));
    const __m128 x = _mm_add_ps(_mm_setr_ps(u, u, v, v), reach);
    const __m128 f = floor4(x);
    const __m128 r = _mm_sub_ps(_mm_sub_ps(x, f), half);
    alignas(16) float upper[4];
    _mm_store_ps(upper, _mm_add_ps(_mm_mul_ps(f, half), _mm_max_ps(r, _mm_setzero_ps())));
    const float fu = (upper[0] - upper[1]) / wu;
    const float fv = (upper[2] - upper[3]) / wv;
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
