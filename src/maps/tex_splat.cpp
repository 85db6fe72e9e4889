// kor_Splat: blots of the second colour over the first. Each octave of
// scaled noise covers what lies above the threshold, with a soft edge; the
// octaves' coverage accumulates.
#include <string.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr int kMaxIterations = 20;

struct SplatParams {
    Color color1;
    Color color2;
    Tag map1;
    Tag map2;
    zoBoolean map1On;
    zoBoolean map2On;
    float size;  // 0 counts as 0.0001
    int32_t iterations;
    float threshold;
    Tag coords;
    Tag output;
    int32_t gbufferId;
};

void evaluate(RenderState *state, const SplatParams *raw, SplatParams *p) {
    memcpy(p, raw, sizeof *p);
#define KOR_EVAL(field) p->field = eval(state, &raw->field)
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(size);
    KOR_EVAL(iterations);
    KOR_EVAL(threshold);
    KOR_EVAL(coords);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

float pattern(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *p = static_cast<const SplatParams *>(data);
    const Vector3 q = point / procSize(p->size);
    int n = p->iterations;
    if (n > kMaxIterations) n = kMaxIterations;
    float covered = 0.0f, scale = 1.0f;
    for (int i = 0; i < n; ++i) {
        float s = (noiseScaled(q * scale) + 1.0f) * 0.5f;
        if (s > 1.0f) s = 1.0f;
        const float c = smoothStep(p->threshold - 0.02f, p->threshold + 0.02f, s);
        covered += (1.0f - covered) * c;
        scale *= 2.0f;
    }
    return 1.0f - covered;
}

}  // namespace

KOR_EXPORT zoBoolean kor_Splat(Color *result, RenderState *state, SplatParams *params,
                               const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        procNeutral(result, procMode(mode));
        return 0;
    }
    SplatParams p;
    evaluate(state, params, &p);
    procGBuffer(state, p.gbufferId);
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(procMode(mode)), &pt);
    const ProcSide s1 = {p.color1, p.map1, p.map1On}, s2 = {p.color2, p.map2, p.map2On};
    return procShade(result, state, mode, pt, pattern, &p, s1, s2, p.output, kProcFixed, 0.1f,
                     10.0f);
}

KOR_SHADER_INIT(kor_Splat) {
    if (params) return;
    if (request) *request = 1;
    noiseInit(state);
}
