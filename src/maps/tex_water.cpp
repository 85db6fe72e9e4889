// kor_Water: ripples from sets of circular waves. Every wave set has a
// centre and a wavelength drawn at instance init; the map is the
// normalised sum of the cosine waves around all centres.
#include <math.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_water";
constexpr int kMaxWaves = 50;
constexpr float kTwoPi = 6.28318531f;

struct WaterParams {
    ProcTwoColor sides;
    float size;  // 0 counts as 0.0001
    int32_t waveSets;
    float waveRadius;  // how far the centres lie from the origin
    float waveLenMin;
    float waveLenMax;
    float amplitude;
    float phase;
    int32_t distribution;  // 0 waves in space, 1 in the xy plane
    int32_t seed;
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(WaterParams, size) == 48 && offsetof(WaterParams, waveSets) == 52 &&
                  offsetof(WaterParams, waveRadius) == 56 &&
                  offsetof(WaterParams, waveLenMin) == 60 &&
                  offsetof(WaterParams, waveLenMax) == 64 &&
                  offsetof(WaterParams, amplitude) == 68 && offsetof(WaterParams, phase) == 72 &&
                  offsetof(WaterParams, distribution) == 76 && offsetof(WaterParams, seed) == 80 &&
                  offsetof(WaterParams, coords) == 84 && offsetof(WaterParams, output) == 88 &&
                  offsetof(WaterParams, gbufferId) == 92,
              "the record is laid out by the shader declaration");

// Instance record: the wave sets.
struct WaterInstance {
    int32_t count;
    int32_t flat;  // waves in the xy plane
    Vector3 centre[kMaxWaves];
    float length[kMaxWaves];
};

void evaluate(RenderState *state, const WaterParams *raw, WaterParams *p) {
    procEvaluate(state, raw, p, &WaterParams::size, &WaterParams::waveSets,
                 &WaterParams::waveRadius, &WaterParams::waveLenMin, &WaterParams::waveLenMax,
                 &WaterParams::amplitude, &WaterParams::phase, &WaterParams::distribution,
                 &WaterParams::seed, &WaterParams::coords, &WaterParams::output,
                 &WaterParams::gbufferId);
}

struct PatternData {
    const WaterParams *params;
    const WaterInstance *inst;
};

float pattern(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *d = static_cast<const PatternData *>(data);
    const WaterInstance *w = d->inst;
    if (!w || w->count <= 0) return 0.0f;
    Vector3 q = point / procSize(d->params->size);
    if (w->flat) q.z = 0.0f;
    float sum = 0.0f;
    for (int k = 0; k < w->count; ++k) {
        if (!(w->length[k] > 0.0f)) continue;
        const float r = length(q - w->centre[k]);
        sum += cosf(kTwoPi * (r / w->length[k] - d->params->phase));
    }
    return clampRange(0.5f + 0.5f * d->params->amplitude * sum / static_cast<float>(w->count), 0.0f,
                      1.0f);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Water(Color *result, RenderState *state, WaterParams *params,
                               const int *mode) {
    WaterParams p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    void **slot = user_slot(state);
    const PatternData data = {&p, slot ? static_cast<const WaterInstance *>(*slot) : nullptr};
    return procShadeRecord(result, state, mode, p, pattern, &data, kProcLinear);
}

KOR_SHADER_INIT(kor_Water) {
    if (procClassInit(state, params, request)) return;
    if (!state) return;
    auto *w = procNewInstance<WaterInstance>(state, kModule, __LINE__);
    if (!w) return;
    WaterParams p;
    evaluate(state, static_cast<const WaterParams *>(params), &p);
    w->count = p.waveSets < 0 ? 0 : p.waveSets > kMaxWaves ? kMaxWaves : p.waveSets;
    w->flat = p.distribution == 1;
    zo_lock(state->global_lock);
    srand15(static_cast<uint32_t>(p.seed));
    for (int k = 0; k < w->count; ++k) {
        float c[3];
        for (float &x : c) x = static_cast<float>(rand15() & 0x7FFF) / 16384.0f - 1.0f;
        const float radius = p.waveRadius * static_cast<float>(rand15() & 0x7FFF) / 32768.0f;
        const float along = static_cast<float>(rand15() & 0x7FFF) / 32768.0f;
        w->centre[k] = Vector3{c[0], c[1], w->flat ? 0.0f : c[2]} * radius;
        w->length[k] = p.waveLenMin + (p.waveLenMax - p.waveLenMin) * along;
    }
    zo_unlock(state->global_lock);
}

KOR_SHADER_EXIT(kor_Water) {
    procFreeInstance(state, params, kModule, __LINE__);
}
