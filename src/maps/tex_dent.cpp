// kor_Dent: dents and bumps from a fractal sum of how far solid table noise
// strays from its middle.
#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr int kMaxIterations = 20;

struct DentParams {
    Color color1;
    Color color2;
    Tag map1;
    Tag map2;
    zoBoolean map1On;
    zoBoolean map2On;
    float size;  // 0 counts as 0.0001
    float strength;
    int32_t iterations;  // octave count
    Tag coords;
    Tag output;
    int32_t gbufferId;
};

void evaluate(RenderState *state, const DentParams *raw, DentParams *p) {
    memcpy(p, raw, sizeof *p);
#define KOR_EVAL(field) p->field = eval(state, &raw->field)
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(size);
    KOR_EVAL(strength);
    KOR_EVAL(iterations);
    KOR_EVAL(coords);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

float pattern(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *p = static_cast<const DentParams *>(data);
    const Vector3 q = point * (50.0f / procSize(p->size));
    int n = p->iterations;
    if (n > kMaxIterations) n = kMaxIterations;
    float sum = 0.0f, scale = 1.0f;
    for (int i = 0; i < n; ++i) {
        sum += fabsf(0.5f - tableNoise3(q * scale)) / scale;
        scale *= 2.0f;
    }
    return clampRange(p->strength * sum, 0.0f, 1.0f);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Dent(Color *result, RenderState *state, DentParams *params,
                              const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        procNeutral(result, procMode(mode));
        return 0;
    }
    DentParams p;
    evaluate(state, params, &p);
    procGBuffer(state, p.gbufferId);
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(procMode(mode)), &pt);
    const ProcSide s1 = {p.color1, p.map1, p.map1On}, s2 = {p.color2, p.map2, p.map2On};
    return procShade(result, state, mode, pt, pattern, &p, s1, s2, p.output, kProcHardEnds);
}

KOR_SHADER_INIT(kor_Dent) {
    if (params) return;
    if (request) *request = 1;
    noiseInit(state);
    tableNoiseInit(state);
}
