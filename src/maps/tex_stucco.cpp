// kor_Stucco: a plaster surface. Two samples of scaled noise are averaged
// and eased through a curve that is flat near both ends and steep between.
#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

struct StuccoParams {
    ProcTwoColor sides;
    float size;  // 0 counts as 0.0001
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(StuccoParams, size) == 48 && offsetof(StuccoParams, coords) == 52 &&
                  offsetof(StuccoParams, output) == 56 && offsetof(StuccoParams, gbufferId) == 60,
              "the record is laid out by the shader declaration");

void evaluate(RenderState *state, const StuccoParams *raw, StuccoParams *p) {
    procEvaluate(state, raw, p, &StuccoParams::size, &StuccoParams::coords, &StuccoParams::output,
                 &StuccoParams::gbufferId);
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
    return procMap(result, state, params, mode, evaluate, pattern, kProcFixed);
}

KOR_SHADER_INIT(kor_Stucco) {
    procClassInit(state, params, request);
}
