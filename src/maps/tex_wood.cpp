// kor_Wood: concentric growth rings about the z axis. The distance from the
// axis wobbles with two amounts of table noise, and each ring rises
// smoothly from early wood to late wood and falls sharply at its end.
#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

struct WoodParams {
    Color color1;
    Color color2;
    Tag map1;
    Tag map2;
    zoBoolean map1On;
    zoBoolean map2On;
    float size;         // ring spacing; 0 counts as 0.0001
    float radialNoise;  // wobble of the rings along the grain
    float axialNoise;   // wobble of the rings across the grain
    Tag coords;
    Tag output;
    int32_t gbufferId;
};

void evaluate(RenderState *state, const WoodParams *raw, WoodParams *p) {
    memcpy(p, raw, sizeof *p);
#define KOR_EVAL(field) p->field = eval(state, &raw->field)
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(size);
    KOR_EVAL(radialNoise);
    KOR_EVAL(axialNoise);
    KOR_EVAL(coords);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

float pattern(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *p = static_cast<const WoodParams *>(data);
    const Vector3 q = point / procSize(p->size);
    float d = sqrtf(q.x * q.x + q.y * q.y);
    d += p->radialNoise * (tableNoise1(8.0f * q.z) - 0.5f);
    d += p->axialNoise * (tableNoise1(q.x + q.y + 64.0f) - 0.5f);
    float g = fmodf(d, 1.0f);
    if (g < 0.0f) g += 1.0f;
    if (!(g == g)) g = 0.0f;
    return smoothStep(0.0f, 0.8f, g) - smoothStep(0.83f, 1.0f, g);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Wood(Color *result, RenderState *state, WoodParams *params,
                              const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        procNeutral(result, procMode(mode));
        return 0;
    }
    WoodParams p;
    evaluate(state, params, &p);
    procGBuffer(state, p.gbufferId);
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(procMode(mode)), &pt);
    const ProcSide s1 = {p.color1, p.map1, p.map1On}, s2 = {p.color2, p.map2, p.map2On};
    return procShade(result, state, mode, pt, pattern, &p, s1, s2, p.output, kProcHardEnds);
}

KOR_SHADER_INIT(kor_Wood) {
    if (params) return;
    if (request) *request = 1;
    noiseInit(state);
    tableNoiseInit(state);
}
