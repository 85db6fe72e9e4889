// kor_Speckle: spots of the second colour from a short sum of octaves of
// scaled noise.
#include <string.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr int kOctaves = 3;

struct SpeckleParams {
    Color color1;
    Color color2;
    Tag map1;
    Tag map2;
    zoBoolean map1On;
    zoBoolean map2On;
    float size;  // 0 counts as 0.0001
    Tag coords;
    Tag output;
    int32_t gbufferId;
};

void evaluate(RenderState *state, const SpeckleParams *raw, SpeckleParams *p) {
    memcpy(p, raw, sizeof *p);
#define KOR_EVAL(field) p->field = eval(state, &raw->field)
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(size);
    KOR_EVAL(coords);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

float pattern(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *p = static_cast<const SpeckleParams *>(data);
    const Vector3 q = point * (10.0f / procSize(p->size));
    float v = 0.0f, scale = 1.0f;
    for (int i = 0; i < kOctaves; ++i) {
        v += ((noiseScaled(q * scale) + 1.0f) * 0.5f) / scale;
        scale *= 2.0f;
    }
    return v < 1.0f ? v : 1.0f;
}

}  // namespace

KOR_EXPORT zoBoolean kor_Speckle(Color *result, RenderState *state, SpeckleParams *params,
                                 const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        procNeutral(result, procMode(mode));
        return 0;
    }
    SpeckleParams p;
    evaluate(state, params, &p);
    procGBuffer(state, p.gbufferId);
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(procMode(mode)), &pt);
    const ProcSide s1 = {p.color1, p.map1, p.map1On}, s2 = {p.color2, p.map2, p.map2On};
    return procShade(result, state, mode, pt, pattern, &p, s1, s2, p.output, kProcLinear);
}

KOR_SHADER_INIT(kor_Speckle) {
    if (params) return;
    if (request) *request = 1;
    noiseInit(state);
}
