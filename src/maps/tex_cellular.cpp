// kor_Cellular: cells around random feature points. The distance to the
// nearest feature (round cells) or the gap between the two nearest (chips)
// ramps from the cell colour through the first division colour to the
// second; each cell's colour varies by its own random value.
#include <math.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_cellular";
constexpr int kMaxOctaves = 20;

struct CellularParams {
    Color cellColor;
    Color divColor1;
    Color divColor2;
    Tag cellMap;
    Tag divMap1;
    Tag divMap2;
    zoBoolean cellMapOn;
    zoBoolean divMap1On;
    zoBoolean divMap2On;
    float variation;  // percent
    float size;       // 0 counts as 0.0001
    float spread;
    float thresholdLow;
    float thresholdMid;
    float thresholdHigh;
    int32_t cellType;  // 0 circular, 1 chips
    zoBoolean fractal;
    float iterations;
    float roughness;
    float fractalSpread;
    zoBoolean adaptive;
    Tag coords;
    Tag output;
    int32_t gbufferId;
};

// Instance record: what the shading calls derive from the parameters.
struct CellularInstance {
    float octaveFalloff;  // 2 - roughness
    float fractalNorm;    // 0.7 times the fractal spread
    float midMinusLow;
    float highMinusLow;
    float highMinusMid;
    float norm;           // spread, halved for chips
    float variation;      // variation / 50
    float variationBase;  // 1 - variation / 2
};

void evaluate(RenderState *state, const CellularParams *raw, CellularParams *p) {
    procEvalFields(state, raw, p, &CellularParams::cellColor, &CellularParams::divColor1,
                   &CellularParams::divColor2, &CellularParams::cellMap, &CellularParams::divMap1,
                   &CellularParams::divMap2, &CellularParams::cellMapOn, &CellularParams::divMap1On,
                   &CellularParams::divMap2On, &CellularParams::variation, &CellularParams::size,
                   &CellularParams::spread, &CellularParams::thresholdLow,
                   &CellularParams::thresholdMid, &CellularParams::thresholdHigh,
                   &CellularParams::cellType, &CellularParams::fractal, &CellularParams::iterations,
                   &CellularParams::roughness, &CellularParams::fractalSpread,
                   &CellularParams::adaptive, &CellularParams::coords, &CellularParams::output,
                   &CellularParams::gbufferId);
}

void derive(const CellularParams &p, CellularInstance *inst) {
    inst->octaveFalloff = 2.0f - p.roughness;
    inst->fractalNorm = 0.7f * p.fractalSpread;
    inst->midMinusLow = p.thresholdMid - p.thresholdLow;
    inst->highMinusLow = p.thresholdHigh - p.thresholdLow;
    inst->highMinusMid = p.thresholdHigh - p.thresholdMid;
    inst->norm = p.cellType == 1 ? 0.5f * p.spread : p.spread;
    inst->variation = p.variation / 50.0f;
    inst->variationBase = 1.0f - inst->variation / 2.0f;
}

struct PatternData {
    const CellularParams *params;
    CellularInstance inst;
};

inline float safeDivide(float a, float b) {
    return b != 0.0f ? a / b : (a > 0.0f ? 1.0e6f : 0.0f);
}

// The cell value f at the generator point; *cell receives the nearest
// cell's id.
float cellValue(const PatternData &d, const Vector3 &point, const Vector3 &footprint,
                int32_t *cell) {
    const CellularParams &p = *d.params;
    const float size = procSize(p.size);
    const Vector3 q = (point + Vector3{1000.0f, 1000.0f, 1000.0f}) / size;
    CellFeature near[2];
    float f1, f2, norm;
    if (!p.fractal) {
        cellNearestFeatures(q, near, 2);
        f1 = sqrtf(near[0].dist2);
        f2 = sqrtf(near[1].dist2);
        norm = d.inst.norm;
        if (cell) *cell = near[0].hash;
    } else {
        float n = p.iterations;
        if (p.adaptive) {
            float w =
                ((fabsf(footprint.x) + fabsf(footprint.y) + fabsf(footprint.z)) / 3.0f) / size;
            if (!(w >= 0.00001f)) w = 0.00001f;
            const float limit = log2f(1.0f / w);
            if (limit < n) n = limit;
        }
        n = clampRange(n == n ? n : 1.0f, 1.0f, static_cast<float>(kMaxOctaves));
        const int whole = static_cast<int>(n);
        const float part = n - static_cast<float>(whole);
        f1 = f2 = 0.0f;
        float scale = 1.0f, weight = 1.0f;
        for (int i = 0; i <= whole && i < kMaxOctaves; ++i) {
            const float share = i < whole ? 1.0f : part;
            if (share <= 0.0f) break;
            cellNearestFeatures(q * scale, near, 2);
            if (i == 0 && cell) *cell = near[0].hash;
            f1 += share * weight * sqrtf(near[0].dist2);
            f2 += share * weight * sqrtf(near[1].dist2);
            scale *= 2.0f;
            weight = safeDivide(weight, d.inst.octaveFalloff);
        }
        norm = d.inst.fractalNorm;
    }
    return p.cellType == 1 ? 1.0f - safeDivide(f2 - f1, norm) : safeDivide(f1, norm);
}

// The bump surface: rises over 0.2 above the low threshold and again over
// 0.2 below the high one.
float surface(const void *data, const Vector3 &point, const Vector3 &footprint) {
    const auto *d = static_cast<const PatternData *>(data);
    const float f = cellValue(*d, point, footprint, nullptr);
    const float low = d->params->thresholdLow, high = d->params->thresholdHigh;
    return 0.5f * linearStep(low, low + 0.2f, f) + 0.5f * linearStep(high - 0.2f, high, f);
}

inline Color mix(const Color &a, const Color &b, float t) {
    const float u = 1.0f - t;
    return {a.r * u + b.r * t, a.g * u + b.g * t, a.b * u + b.b * t, a.a * u + b.a * t};
}

}  // namespace

KOR_EXPORT zoBoolean kor_Cellular(Color *result, RenderState *state, CellularParams *params,
                                  const int *mode) {
    CellularParams p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    const int m = procMode(mode);
    PatternData data;
    data.params = &p;
    void **slot = user_slot(state);
    if (slot && *slot)
        data.inst = *static_cast<const CellularInstance *>(*slot);
    else
        derive(p, &data.inst);
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(m), &pt);
    const ProcSide cell = {p.cellColor, p.cellMap, p.cellMapOn};
    const ProcSide div1 = {p.divColor1, p.divMap1, p.divMap1On};
    const ProcSide div2 = {p.divColor2, p.divMap2, p.divMap2On};

    if (procIsBump(m)) {
        float v;
        const Vector3 g = procGradient(surface, &data, pt, 0.1f, &v);
        procBumpResult(state, g, v, cell, div2, p.output, mode, result);
        return 1;
    }

    int32_t id = 0;
    const float f = cellValue(data, pt.p, pt.footprint, &id);
    auto cellColour = [&]() {
        Color c = procSideColor(state, cell, m);
        if (data.inst.variation > 0.0f) {
            const float k = cellRandom(id) * data.inst.variation + data.inst.variationBase;
            c = {clampRange(c.r * k, 0.0f, 1.0f), clampRange(c.g * k, 0.0f, 1.0f),
                 clampRange(c.b * k, 0.0f, 1.0f), c.a};
        }
        return c;
    };
    Color c;
    if (f < p.thresholdLow) {
        c = cellColour();
    } else if (f > p.thresholdHigh) {
        c = procSideColor(state, div2, m);
    } else if (f < p.thresholdMid) {
        const float t =
            clampRange(safeDivide(f - p.thresholdLow, data.inst.midMinusLow), 0.0f, 1.0f);
        c = mix(cellColour(), procSideColor(state, div1, m), t);
    } else {
        const float t =
            clampRange(safeDivide(f - p.thresholdMid, data.inst.highMinusMid), 0.0f, 1.0f);
        c = mix(procSideColor(state, div1, m), procSideColor(state, div2, m), t);
    }
    c.a = 1.0f;
    *result = c;
    procOutput(state, p.output, mode, result);
    return 1;
}

KOR_SHADER_INIT(kor_Cellular) {
    if (procClassInit(state, params, request)) return;
    auto *inst = procNewInstance<CellularInstance>(state, kModule, __LINE__);
    if (!inst) return;
    CellularParams p;
    evaluate(state, static_cast<const CellularParams *>(params), &p);
    derive(p, inst);
}

KOR_SHADER_EXIT(kor_Cellular) {
    procFreeInstance(state, params, kModule, __LINE__);
}
