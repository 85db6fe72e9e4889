// kor_Speckle: spots of the second colour from a short sum of octaves of
// scaled noise.
#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr int kOctaves = 3;

struct SpeckleParams {
    ProcTwoColor sides;
    float size;  // 0 counts as 0.0001
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(SpeckleParams, size) == 48 && offsetof(SpeckleParams, coords) == 52 &&
                  offsetof(SpeckleParams, output) == 56 && offsetof(SpeckleParams, gbufferId) == 60,
              "the record is laid out by the shader declaration");

void evaluate(RenderState *state, const SpeckleParams *raw, SpeckleParams *p) {
    procEvaluate(state, raw, p, &SpeckleParams::size, &SpeckleParams::coords,
                 &SpeckleParams::output, &SpeckleParams::gbufferId);
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
    return procMap(result, state, params, mode, evaluate, pattern, kProcLinear);
}

KOR_SHADER_INIT(kor_Speckle) {
    procClassInit(state, params, request);
}
