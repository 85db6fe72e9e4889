// kor_Stucco: a plaster surface. Two samples of scaled noise are averaged
// and eased through a curve that is flat near both ends and steep between.
#include <string.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

struct StuccoParams {
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

void evaluate(RenderState *state, const StuccoParams *raw, StuccoParams *p) {
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
    const auto *p = static_cast<const StuccoParams *>(data);
    const Vector3 q = point / procSize(p->size);
    const float a = (noiseScaled(q) + 1.0f) * 0.5f;
    const float b = (noiseScaled(q * 2.0f) + 1.0f) * 0.5f;
    const float t = (a + b) * 0.5f;
    if (t < 0.2f) return 3.125f * t * t;
    if (t < 0.8f) return (2.0f * t - 0.2f) * 0.625f;
    return 1.0f - 3.125f * (1.0f - t) * (1.0f - t);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Stucco(Color *result, RenderState *state, StuccoParams *params,
                                const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        procNeutral(result, procMode(mode));
        return 0;
    }
    StuccoParams p;
    evaluate(state, params, &p);
    procGBuffer(state, p.gbufferId);
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(procMode(mode)), &pt);
    const ProcSide s1 = {p.color1, p.map1, p.map1On}, s2 = {p.color2, p.map2, p.map2On};
    return procShade(result, state, mode, pt, pattern, &p, s1, s2, p.output, kProcFixed);
}

KOR_SHADER_INIT(kor_Stucco) {
    if (params) return;
    if (request) *request = 1;
    noiseInit(state);
}
