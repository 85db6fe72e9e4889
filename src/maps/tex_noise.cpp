// kor_Noise: two colours (or sub-maps) blended by solid noise in one of
// three flavours, regular, fractal or turbulence, with optional thresholds.
// The filter footprint of the generator limits the octaves, and octaves the
// filter cuts are replaced by their average, measured once per instance.
#include "maps/tex_noise.h"

#include <math.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_noise";
constexpr int kMaxOctaves = 30;
constexpr int kCalibrationPoints = 10000;
constexpr uint32_t kCalibrationSeed = 1345;

void evaluate(RenderState *state, const NoiseParams *raw, NoiseParams *p) {
    procEvalFields(state, raw, p, &NoiseParams::color1, &NoiseParams::color2, &NoiseParams::map1,
                   &NoiseParams::map2, &NoiseParams::map1On, &NoiseParams::map2On,
                   &NoiseParams::size, &NoiseParams::phase, &NoiseParams::levels,
                   &NoiseParams::thresholdLow, &NoiseParams::thresholdHigh, &NoiseParams::noiseType,
                   &NoiseParams::coords, &NoiseParams::output, &NoiseParams::gbufferId);
}

inline float phased(const Vector3 &q, float phase) {
    return noise4(q.x, q.y, q.z, phase);
}

// Octave sum of N(2^i q) / 2^i over `levels` octaves, the last one
// weighted by the fraction; |N| for turbulence. *whole receives the number
// of whole octaves, *part the fraction.
float octaves(const Vector3 &q, float phase, float levels, bool absolute, int *whole, float *part) {
    int k = levels > 0.0f ? static_cast<int>(levels) : 0;
    if (k > kMaxOctaves) k = kMaxOctaves;
    const float f = levels > 0.0f && k < kMaxOctaves ? levels - static_cast<float>(k) : 0.0f;
    float s = 0.0f, scale = 1.0f;
    for (int i = 0; i < k; ++i) {
        const float n = phased(q * scale, phase);
        s += (absolute ? fabsf(n) : n) / scale;
        scale *= 2.0f;
    }
    if (f > 0.0f) {
        const float n = phased(q * scale, phase);
        s += f * (absolute ? fabsf(n) : n) / scale;
    }
    *whole = k;
    *part = f;
    return s;
}

// The smoothed threshold step: linear between low and high, a cubic blend
// in the band of width fw on either side of each threshold.
float smoothThreshold(float v, float low, float high, float fw) {
    if (fw > 0.5f * (high - low)) fw = 0.5f * (high - low);
    if (!(fw > 0.0f)) {
        if (v < low) return 0.0f;
        if (v > high) return 1.0f;
        return (v - low) / (high - low);
    }
    const float range = high - low;
    if (v < low - fw) return 0.0f;
    if (v > high + fw) return 1.0f;
    if (v < low + fw) {
        const float t = (v - (low - fw)) / (2.0f * fw);
        return (fw / range) * t * t * (3.0f - 2.0f * t);
    }
    if (v > high - fw) {
        const float t = (v - (high - fw)) / (2.0f * fw);
        const float start = (range - fw) / range;
        return start + (1.0f - start) * t * t * (3.0f - 2.0f * t);
    }
    return (v - low) / range;
}

struct PatternData {
    const NoiseParams *params;
    const NoiseInstance *inst;
};

float pattern(const void *data, const Vector3 &p, const Vector3 &footprint) {
    const auto *d = static_cast<const PatternData *>(data);
    return noisePatternValue(*d->params, *d->inst, p, footprint);
}

NoiseInstance *instanceOf(RenderState *state) {
    void **slot = user_slot(state);
    return slot ? static_cast<NoiseInstance *>(*slot) : nullptr;
}

// Mean pattern value and mean |noise| at fixed random points.
void calibrate(RenderState *state, const NoiseParams &p, NoiseInstance *inst) {
    zo_lock(state->global_lock);
    srand15(kCalibrationSeed);
    inst->antialias = 0;
    const Vector3 none = kZero;
    double sum = 0.0;
    for (int i = 0; i < kCalibrationPoints; ++i) {
        Vector3 q;
        q.x = static_cast<float>(rand15()) / 100.0f;
        q.y = static_cast<float>(rand15()) / 100.0f;
        q.z = static_cast<float>(rand15()) / 100.0f;
        sum += noisePatternValue(p, *inst, q, none);
    }
    inst->averageValue = static_cast<float>(sum / kCalibrationPoints);
    if (inst->averageAbsNoise < 0.0f) {
        sum = 0.0;
        for (int i = 0; i < kCalibrationPoints; ++i) {
            float a[4];
            for (float &x : a) x = static_cast<float>(rand15()) / 100.0f;
            sum += fabsf(noise4(a[0], a[1], a[2], a[3]));
        }
        inst->averageAbsNoise = static_cast<float>(sum / kCalibrationPoints);
    }
    inst->antialias = 1;
    zo_unlock(state->global_lock);
}

}  // namespace

namespace kor {

float noisePatternValue(const NoiseParams &p, const NoiseInstance &inst, const Vector3 &point,
                        const Vector3 &footprint) {
    const float scale = inst.scale != 0.0f ? inst.scale : procSize(p.size);
    const Vector3 q = point / scale;
    float levels = p.levels == p.levels ? p.levels : 0.0f;
    float n = levels, fw = 0.0f;
    if (inst.antialias) {
        float w = ((fabsf(footprint.x) + fabsf(footprint.y) + fabsf(footprint.z)) / 3.0f) /
                  procSize(p.size);
        if (!(w >= 0.00001f)) w = 0.00001f;
        const float limit = log2f(1.0f / w);
        n = limit < levels ? limit : levels;
        fw = 0.2f * w < 0.4f ? 0.2f * w : 0.4f;
    }
    if (n < -3.0f) return inst.averageValue;
    // the filtered path takes at least one octave; below one the result
    // fades toward the average instead
    const float taken = inst.antialias && n < 1.0f ? 1.0f : n;

    float v;
    int whole;
    float part;
    switch (p.noiseType) {
        case 0: v = (phased(q, p.phase) + 1.0f) * 0.5f; break;
        case 1: v = (octaves(q, p.phase, taken, false, &whole, &part) + 1.0f) * 0.5f; break;
        case 2: {
            v = octaves(q, p.phase, taken, true, &whole, &part);
            const float r = levels - static_cast<float>(whole);
            if (inst.antialias && r >= 1.0f && r > part && whole < kMaxOctaves) {
                // the octaves the filter cut, at their expected value
                float w = (1.0f - part) / ldexpf(1.0f, whole);
                const float rest = r - 1.0f;
                int more = static_cast<int>(rest);
                if (more > kMaxOctaves) more = kMaxOctaves;
                for (int j = 1; j <= more; ++j) w += 1.0f / ldexpf(1.0f, whole + j);
                const float remaining = rest - static_cast<float>(more);
                if (remaining > 0.0f && more < kMaxOctaves)
                    w += remaining / ldexpf(1.0f, whole + more + 1);
                v += inst.averageAbsNoise * w;
            }
            break;
        }
        default: v = 0.0f; break;
    }

    if (p.thresholdLow < p.thresholdHigh) {
        if (!inst.antialias) {
            if (v < p.thresholdLow)
                v = 0.0f;
            else if (v > p.thresholdHigh)
                v = 1.0f;
            else
                v = (v - p.thresholdLow) / (p.thresholdHigh - p.thresholdLow);
        } else {
            v = smoothThreshold(v, p.thresholdLow, p.thresholdHigh, fw);
        }
    }
    v = clampRange(v, 0.0f, 1.0f);
    if (inst.antialias && n < 1.0f) {
        const float t = (n + 3.0f) / 4.0f;
        v = t * v + (1.0f - t) * inst.averageValue;
    }
    return v;
}

}  // namespace kor

KOR_EXPORT zoBoolean kor_Noise(Color *result, RenderState *state, NoiseParams *params,
                               const int *mode) {
    NoiseParams p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    const int m = procMode(mode);

    NoiseInstance fallback = {-1.0f, 0.5f, procSize(p.size), 0};
    const NoiseInstance *inst = instanceOf(state);
    if (!inst) inst = &fallback;
    const bool bump = procIsBump(m);
    ProcPoint pt;
    procCoordinates(state, p.coords, bump, &pt);
    const ProcSide s1 = {p.color1, p.map1, p.map1On}, s2 = {p.color2, p.map2, p.map2On};
    const PatternData data = {&p, inst};

    if (!bump) {
        const float v = noisePatternValue(p, *inst, pt.p, pt.footprint);
        *result = procBlend(state, s1, s2, v, m, false);
        procOutput(state, p.output, mode, result);
        return 1;
    }
    float v;
    const Vector3 g = procGradient(pattern, &data, pt, 0.1f, &v);
    procBumpResult(state, g, v, s1, s2, p.output, mode, result);
    return 1;
}

KOR_SHADER_INIT(kor_Noise) {
    if (procClassInit(state, params, request)) return;
    if (!state) return;
    void **slot = user_slot(state);
    if (!slot) return;
    if (*slot) {
        zo_mem_int_release(kModule, __LINE__, *slot);
        *slot = nullptr;
    }
    auto *inst =
        static_cast<NoiseInstance *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(NoiseInstance)));
    if (!inst) return;
    NoiseParams p;
    evaluate(state, static_cast<const NoiseParams *>(params), &p);
    inst->averageAbsNoise = -1.0f;
    inst->averageValue = 0.0f;
    inst->scale = procSize(p.size);
    inst->antialias = 0;
    calibrate(state, p, inst);
    *slot = inst;
}

KOR_SHADER_EXIT(kor_Noise) {
    procFreeInstance(state, params, kModule, __LINE__);
}
