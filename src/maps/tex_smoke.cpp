// kor_Smoke: wisps from octaves of solid noise. Each octave doubles the
// point and drifts it along its own random direction by the phase, which
// grows by 2.4 per octave; the sum is shaped by an exponent.
#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_smoke";
constexpr int kVectors = 20;  // also the largest octave count
constexpr uint32_t kSeed = 1;

struct SmokeParams {
    Color color1;
    Color color2;
    Tag map1;
    Tag map2;
    zoBoolean map1On;
    zoBoolean map2On;
    float size;  // 0 counts as 0.0001
    float phase;
    int32_t iterations;
    float exponent;
    Tag coords;
    Tag output;
    int32_t gbufferId;
};

// Instance record: the drift direction of each octave.
struct SmokeInstance {
    Vector3 drift[kVectors];
};

void evaluate(RenderState *state, const SmokeParams *raw, SmokeParams *p) {
    memcpy(p, raw, sizeof *p);
#define KOR_EVAL(field) p->field = eval(state, &raw->field)
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(size);
    KOR_EVAL(phase);
    KOR_EVAL(iterations);
    KOR_EVAL(exponent);
    KOR_EVAL(coords);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
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
    if (!result) return 0;
    if (!state || !params) {
        procNeutral(result, procMode(mode));
        return 0;
    }
    SmokeParams p;
    evaluate(state, params, &p);
    procGBuffer(state, p.gbufferId);
    void **slot = user_slot(state);
    const PatternData data = {&p, slot ? static_cast<const SmokeInstance *>(*slot) : nullptr};
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(procMode(mode)), &pt);
    const ProcSide s1 = {p.color1, p.map1, p.map1On}, s2 = {p.color2, p.map2, p.map2On};
    return procShade(result, state, mode, pt, pattern, &data, s1, s2, p.output, kProcFixed);
}

KOR_SHADER_INIT(kor_Smoke) {
    if (!params) {
        if (request) *request = 1;
        noiseInit(state);
        return;
    }
    if (!state) return;
    void **slot = user_slot(state);
    if (!slot) return;
    if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
    auto *inst =
        static_cast<SmokeInstance *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(SmokeInstance)));
    *slot = inst;
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
    if (!params) return;
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}
