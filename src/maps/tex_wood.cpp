// kor_Wood: concentric growth rings about the z axis. The distance from the
// axis wobbles with two amounts of table noise, and each ring rises
// smoothly from early wood to late wood and falls sharply at its end.
#include <math.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

struct WoodParams {
    ProcTwoColor sides;
    float size;         // ring spacing; 0 counts as 0.0001
    float radialNoise;  // wobble of the rings along the grain
    float axialNoise;   // wobble of the rings across the grain
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(WoodParams, size) == 48 && offsetof(WoodParams, radialNoise) == 52 &&
                  offsetof(WoodParams, axialNoise) == 56 && offsetof(WoodParams, coords) == 60 &&
                  offsetof(WoodParams, output) == 64 && offsetof(WoodParams, gbufferId) == 68,
              "the record is laid out by the shader declaration");

void evaluate(RenderState *state, const WoodParams *raw, WoodParams *p) {
    procEvaluate(state, raw, p, &WoodParams::size, &WoodParams::radialNoise,
                 &WoodParams::axialNoise, &WoodParams::coords, &WoodParams::output,
                 &WoodParams::gbufferId);
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
    return procMap(result, state, params, mode, evaluate, pattern, kProcHardEnds);
}

KOR_SHADER_INIT(kor_Wood) {
    procClassInit(state, params, request, true);
}
