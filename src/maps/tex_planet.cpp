// kor_Planet: continents and oceans. A fractal height field is split at the
// ocean level; the sea runs through three colours with depth and the land
// through five with height, each band blended to the next with a cubic
// ease. Only the two colours of the band at hand are evaluated.
#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_planet";
constexpr int kColors = 8;  // 1-3 water (shallow to deep), 4-8 land (coast to peak)
constexpr int kWater = 3;
constexpr int kOctaves = 4;
constexpr float kCoast = 0.05f;  // half width of the blended coast

struct PlanetParams {
    Color colors[kColors];
    Tag maps[kColors];
    zoBoolean mapsOn[kColors];
    float size;          // continent size; 0 counts as 0.0001
    float islandFactor;  // power on the land's height ramp
    float oceanPercent;
    int32_t seed;
    zoBoolean blendWaterLand;
    Tag coords;
    Tag output;
    int32_t gbufferId;
};

// Instance record.
struct PlanetInstance {
    float ocean;    // oceanPercent / 100
    Vector3 shift;  // where the seed moves the height field
};

void evaluate(RenderState *state, const PlanetParams *raw, PlanetParams *p) {
    memcpy(p, raw, sizeof *p);
#define KOR_EVAL(field) p->field = eval(state, &raw->field)
    for (int k = 0; k < kColors; ++k) {
        KOR_EVAL(colors[k]);
        KOR_EVAL(maps[k]);
        KOR_EVAL(mapsOn[k]);
    }
    KOR_EVAL(size);
    KOR_EVAL(islandFactor);
    KOR_EVAL(oceanPercent);
    KOR_EVAL(seed);
    KOR_EVAL(blendWaterLand);
    KOR_EVAL(coords);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

Vector3 shiftOf(int32_t seed) {
    const float s = static_cast<float>(seed < 0 ? 0 : seed > 1000 ? 1000 : seed);
    return {s * 3.17f, s * 1.31f, s * 2.73f};
}

struct PatternData {
    const PlanetParams *params;
    PlanetInstance inst;
};

// Height in [0, 1].
float height(const PatternData &d, const Vector3 &point) {
    const Vector3 q = point / procSize(d.params->size) + d.inst.shift;
    float sum = 0.0f, scale = 1.0f;
    for (int i = 0; i < kOctaves; ++i) {
        sum += noise3(q * scale) / scale;
        scale *= 2.0f;
    }
    return clampRange(sum * 0.5f + 0.5f, 0.0f, 1.0f);
}

// The surface for bumps: the sea is flat.
float surface(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *d = static_cast<const PatternData *>(data);
    const float h = height(*d, point);
    return h > d->inst.ocean ? h : d->inst.ocean;
}

inline float ease(float t) {
    return t * t * (3.0f - 2.0f * t);
}

inline Color mix(const Color &a, const Color &b, float t) {
    const float u = 1.0f - t;
    return {a.r * u + b.r * t, a.g * u + b.g * t, a.b * u + b.b * t, a.a * u + b.a * t};
}

ProcSide side(const PlanetParams &p, int k) {
    return {p.colors[k], p.maps[k], p.mapsOn[k]};
}

// Position x in [0, count - 1] along the colours first .. first + count - 1.
Color band(RenderState *state, const PlanetParams &p, int first, int count, float x, int kind) {
    x = clampRange(x, 0.0f, static_cast<float>(count - 1));
    int i = static_cast<int>(x);
    if (i > count - 2) i = count - 2;
    const float t = ease(x - static_cast<float>(i));
    if (t <= 0.0f) return procSideColor(state, side(p, first + i), kind);
    if (t >= 1.0f) return procSideColor(state, side(p, first + i + 1), kind);
    return mix(procSideColor(state, side(p, first + i), kind),
               procSideColor(state, side(p, first + i + 1), kind), t);
}

Color colourAt(RenderState *state, const PatternData &d, float h, int kind) {
    const PlanetParams &p = *d.params;
    const float ocean = d.inst.ocean;
    if (p.blendWaterLand && fabsf(h - ocean) < kCoast) {
        const float t = ease((h - (ocean - kCoast)) / (2.0f * kCoast));
        return mix(procSideColor(state, side(p, 0), kind),
                   procSideColor(state, side(p, kWater), kind), t);
    }
    if (h < ocean) {
        const float depth = ocean > 0.0f ? (ocean - h) / ocean : 0.0f;
        return band(state, p, 0, kWater, depth * (kWater - 1), kind);
    }
    float e = ocean < 1.0f ? (h - ocean) / (1.0f - ocean) : 0.0f;
    const float power = p.islandFactor > 0.0f ? p.islandFactor : 1.0f;
    e = powf(clampRange(e, 0.0f, 1.0f), power);
    return band(state, p, kWater, kColors - kWater, e * (kColors - kWater - 1), kind);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Planet(Color *result, RenderState *state, PlanetParams *params,
                                const int *mode) {
    PlanetParams p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    const int m = procMode(mode);
    void **slot = user_slot(state);
    const auto *stored = slot ? static_cast<const PlanetInstance *>(*slot) : nullptr;
    PatternData data = {&p, {clampRange(p.oceanPercent / 100.0f, 0.0f, 1.0f), shiftOf(p.seed)}};
    if (stored) data.inst = *stored;
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(m), &pt);
    if (procIsBump(m)) {
        float v;
        const Vector3 g = procGradient(surface, &data, pt, 0.1f, &v);
        procBumpResult(state, g, v, side(p, 0), side(p, kColors - 1), p.output, mode, result);
        return 1;
    }
    Color c = colourAt(state, data, height(data, pt.p), m);
    c.a = 1.0f;
    *result = c;
    procOutput(state, p.output, mode, result);
    return 1;
}

KOR_SHADER_INIT(kor_Planet) {
    if (procClassInit(state, params, request)) return;
    auto *inst = procNewInstance<PlanetInstance>(state, kModule, __LINE__);
    if (!inst) return;
    const auto *raw = static_cast<const PlanetParams *>(params);
    inst->ocean = clampRange(eval(state, &raw->oceanPercent) / 100.0f, 0.0f, 1.0f);
    inst->shift = shiftOf(eval(state, &raw->seed));
}

KOR_SHADER_EXIT(kor_Planet) {
    procFreeInstance(state, params, kModule, __LINE__);
}
