// kor_Smoke: wisps from octaves of solid noise. Each octave doubles the
// point and drifts it along its own random direction by the phase, which
// grows by 2.4 per octave; the sum is shaped by an exponent.
#include <math.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_smoke";
constexpr int kVectors = 20;  // also the largest octave count
constexpr uint32_t kSeed = 1;

struct SmokeParams {
    ProcTwoColor sides;
    float size;  // 0 counts as 0.0001
    float phase;
    int32_t iterations;
    float exponent;
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(SmokeParams, size) == 48 && offsetof(SmokeParams, phase) == 52 &&
                  offsetof(SmokeParams, iterations) == 56 &&
                  offsetof(SmokeParams, exponent) == 60 && offsetof(SmokeParams, coords) == 64 &&
                  offsetof(SmokeParams, output) == 68 && offsetof(SmokeParams, gbufferId) == 72,
              "the record is laid out by the shader declaration");

// Instance record: the drift direction of each octave.
struct SmokeInstance {
    Vector3 drift[kVectors];
};

void evaluate(RenderState *state, const SmokeParams *raw, SmokeParams *p) {
    procEvaluate(state, raw, p, &SmokeParams::size, &SmokeParams::phase, &SmokeParams::iterations,
                 &SmokeParams::exponent, &SmokeParams::coords, &SmokeParams::output,
                 &SmokeParams::gbufferId);
}

struct PatternData {
    const SmokeParams *params;
    const SmokeInstance *inst;
};

float pattern(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *d = static_cast<const PatternData *>(data);
    const SmokeParams *p = d->params;
    const Vector3 q = point / procSize(p->size);
    int n = p->iterations;
    if (n > kVectors) n = kVectors;
    float sum = 0.0f, scale = 1.0f, phase = p->phase;
    for (int i = 0; i < n; ++i) {
        const Vector3 drift = d->inst ? d->inst->drift[i] : kZero;
        sum += fabsf(noise3(q * scale + drift * phase)) / scale;
        scale *= 2.0f;
        phase *= 2.4f;
    }
    return clampRange(powf(clampRange(sum, 0.0f, 1.0f), p->exponent), 0.0f, 1.0f);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Smoke(Color *result, RenderState *state, SmokeParams *params,
                               const int *mode) {
    SmokeParams p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    void **slot = user_slot(state);
    const PatternData data = {&p, slot ? static_cast<const SmokeInstance *>(*slot) : nullptr};
    return procShadeRecord(result, state, mode, p, pattern, &data, kProcFixed);
}

KOR_SHADER_INIT(kor_Smoke) {
    if (procClassInit(state, params, request)) return;
    if (!state) return;
    auto *inst = procNewInstance<SmokeInstance>(state, kModule, __LINE__);
    if (!inst) return;
    zo_lock(state->global_lock);
    srand15(kSeed);
    for (Vector3 &v : inst->drift) {
        float c[3];
        for (float &x : c) x = static_cast<float>((rand15() & 0x7FFF) - 16384) / 16384.0f;
        v = Vector3{c[0], c[1], c[2]};
    }
    zo_unlock(state->global_lock);
}

KOR_SHADER_EXIT(kor_Smoke) {
    procFreeInstance(state, params, kModule, __LINE__);
}
