// kor_Splat: blots of the second colour over the first. Each octave of
// scaled noise covers what lies above the threshold, with a soft edge; the
// octaves' coverage accumulates.
#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr int kMaxIterations = 20;

struct SplatParams {
    ProcTwoColor sides;
    float size;  // 0 counts as 0.0001
    int32_t iterations;
    float threshold;
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(SplatParams, size) == 48 && offsetof(SplatParams, iterations) == 52 &&
                  offsetof(SplatParams, threshold) == 56 && offsetof(SplatParams, coords) == 60 &&
                  offsetof(SplatParams, output) == 64 && offsetof(SplatParams, gbufferId) == 68,
              "the record is laid out by the shader declaration");

void evaluate(RenderState *state, const SplatParams *raw, SplatParams *p) {
    procEvaluate(state, raw, p, &SplatParams::size, &SplatParams::iterations,
                 &SplatParams::threshold, &SplatParams::coords, &SplatParams::output,
                 &SplatParams::gbufferId);
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
    return procMap(result, state, params, mode, evaluate, pattern, kProcFixed, 0.1f, 10.0f);
}

KOR_SHADER_INIT(kor_Splat) {
    procClassInit(state, params, request);
}
