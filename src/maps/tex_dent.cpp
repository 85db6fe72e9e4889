// kor_Dent: dents and bumps from a fractal sum of how far solid table noise
// strays from its middle.
#include <math.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr int kMaxIterations = 20;

struct DentParams {
    ProcTwoColor sides;
    float size;  // 0 counts as 0.0001
    float strength;
    int32_t iterations;  // octave count
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(DentParams, size) == 48 && offsetof(DentParams, strength) == 52 &&
                  offsetof(DentParams, iterations) == 56 && offsetof(DentParams, coords) == 60 &&
                  offsetof(DentParams, output) == 64 && offsetof(DentParams, gbufferId) == 68,
              "the record is laid out by the shader declaration");

void evaluate(RenderState *state, const DentParams *raw, DentParams *p) {
    procEvaluate(state, raw, p, &DentParams::size, &DentParams::strength, &DentParams::iterations,
                 &DentParams::coords, &DentParams::output, &DentParams::gbufferId);
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
    return procMap(result, state, params, mode, evaluate, pattern, kProcHardEnds);
}

KOR_SHADER_INIT(kor_Dent) {
    procClassInit(state, params, request, true);
}
