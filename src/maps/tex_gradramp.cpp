// kor_GradientRamp: any number of coloured keys (each optionally a sub-map)
// along a position taken from the texture coordinate in one of several
// shapes, or from an image, with optional noise on the position.
#include "maps/tex_gradramp.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "kor_support.h"
#include "kor_vector.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_gradramp";
constexpr float kTwoPi = 6.28318530717958f;

int compareKeys(const void *a, const void *b) {
    const auto *x = static_cast<const RampKey *>(a);
    const auto *y = static_cast<const RampKey *>(b);
    if (x->position < y->position) return -1;
    if (x->position > y->position) return 1;
    return x->number < y->number ? -1 : x->number > y->number ? 1 : 0;
}

Color keyColour(RenderState *state, const RampKey &key, int *mode) {
    if (!key.map) return key.color;
    Color c = kClearColor;
    if (mode) return callMapInMode(state, key.map, mode, kMapColor);
    if (!zo_call_shader(&c, ZO_CALL_TEXTURE, state, key.map)) c = kClearColor;
    return c;
}

struct RampSample {
    GradientRampParams p;
    RampInstance *inst;
    RenderState *state;
    int *keyMode;
};

float rampNoise(const RampSample &s, float u, float v) {
    const RampInstance &in = *s.inst;
    const float n = gradientNoise(u, v, s.p.noisePhase, in.noiseScale, s.p.noiseType,
                                  s.p.noiseLevels, in.noiseLow, in.noiseHigh, in.noiseSoftness);
    return clampRange(s.p.noiseAmount * n, -1.0f, 1.0f);
}

// Intensity of the source image at (x, y) of its unit square.
float imageIntensity(RenderState *state, Tag image, float x, float y) {
    if (!image) return 0.0f;
    const Vector3 coordinate = {x, y, 0.0f};
    Color c = kClearColor;
    if (!textureColor(&c, state, &coordinate, image)) return 0.0f;
    return intensity(c);
}

// The ramp position at (u, v) of the tile.
float rampPosition(const RampSample &s, float u, float v) {
    const float cu = u - 0.5f, cv = v - 0.5f;
    float x;
    switch (s.p.gradientType) {
        case kRampVertical: x = v; break;
        case kRampRadial: x = 2.0f * sqrtf(cu * cu + cv * cv); break;
        case kRampDiagonal: x = (u + v) * 0.5f; break;
        case kRampBox: x = 2.0f * fmaxf(fabsf(cu), fabsf(cv)); break;
        case kRampSpiral: x = atan2f(cv, cu) / kTwoPi + 0.5f; break;
        case kRampPong: x = 1.0f - fabsf(2.0f * u - 1.0f); break;
        case kRampImage: x = imageIntensity(s.state, s.p.sourceImage, u, v); break;
        default: x = u; break;
    }
    if (s.p.noiseAmount != 0.0f) x = clampRange(x + rampNoise(s, u, v), 0.0f, 1.0f);
    return x;
}

Color *rampRead(Color *out, RampSample *s, float u, float v, float, float) {
    *out = rampColour(s->state, s->inst, rampPosition(*s, u, v), s->keyMode);
    return out;
}

constexpr UVPointLookup rampPoint = patternPoint<RampSample, rampRead>;
constexpr UVFilteredLookup rampFiltered = patternFiltered<RampSample, rampRead>;

// The scalar parameters; keys are read at init.
void evaluate(RenderState *state, const GradientRampParams *in, GradientRampParams *p) {
    evalFields(state, in, p, &GradientRampParams::gradientType, &GradientRampParams::sourceImage);
    evalGradientNoise(state, in, p);
}

RampInstance *instanceOf(RenderState *state) {
    void **slot = user_slot(state);
    return slot ? static_cast<RampInstance *>(*slot) : nullptr;
}

}  // namespace

namespace kor {

RampInstance *rampBuild(RenderState *state, const GradientRampParams *params) {
    const int32_t start = eval(state, &params->keys.start);
    int32_t count = eval(state, &params->keys.count);
    if (count < 0 || count > (1 << 20)) count = 0;
    const int size = int(sizeof(RampInstance) + sizeof(RampKey) * size_t(count));
    auto *inst = static_cast<RampInstance *>(zo_mem_int_allocate(kModule, __LINE__, size));
    if (!inst) return nullptr;
    memset(inst, 0, size_t(size));
    inst->count = count;
    for (int k = 0; k < count; ++k) {
        const RampKeyParams key = eval(state, &params->keys[start + k]);
        RampKey &out = inst->keys[k];
        out.position = key.position;
        out.number = key.number;
        out.color = key.color;
        out.interpolation = key.interpolation;
        out.map = active(key.map, key.mapOn) ? key.map : 0;
    }
    if (count > 1) qsort(inst->keys, size_t(count), sizeof(RampKey), compareKeys);
    // the sentinel repeats the last key far beyond the ramp
    if (count > 0) inst->keys[count] = inst->keys[count - 1];
    inst->keys[count].position = kRampSentinel;
    inst->keys[count].number = count;
    for (int k = 0; k < count; ++k) {
        RampKey &key = inst->keys[k];
        const RampKey &next = inst->keys[k + 1];
        const float span = next.position - key.position;
        key.reciprocal = span != 0.0f ? 1.0f / span : 0.0f;
        key.difference = Color{next.color.r - key.color.r, next.color.g - key.color.g,
                               next.color.b - key.color.b, next.color.a - key.color.a};
    }

    float low = eval(state, &params->thresholdLow), high = eval(state, &params->thresholdHigh);
    if (low > high) {
        const float t = low;
        low = high;
        high = t;
    }
    inst->noiseLow = low;
    inst->noiseHigh = high;
    inst->noiseRange = high - low;
    inst->noiseSoftness = inst->noiseRange * 0.5f * eval(state, &params->thresholdSmooth);
    const float noiseSize = eval(state, &params->noiseSize);
    inst->noiseScale = noiseSize != 0.0f ? 20.0f / noiseSize : 0.0f;
    return inst;
}

void rampDestroy(RampInstance *inst) {
    if (inst) zo_mem_int_release(kModule, __LINE__, inst);
}

float rampShape(int kind, float t) {
    if (t <= 0.0f) return 0.0f;
    if (t > 1.0f) t = 1.0f;
    switch (kind) {
        case 1: return bias(t, 0.35f);
        case 3: return bias(t, 0.65f);
        case 2: {
            static const float kKnots[6] = {0.0f, 0.0f, 0.4f, 0.6f, 1.0f, 1.0f};
            int i = static_cast<int>(floorf(3.0f * t));
            if (i > 2) i = 2;
            return splineScalar(float(i) + (3.0f * t - float(i)), 6, kKnots);
        }
        case 5: return 0.0f;
        default: return t;
    }
}

Color rampColour(RenderState *state, const RampInstance *inst, float x, int *mode) {
    if (!inst || inst->count < 1) return kClearColor;
    const RampKey *keys = inst->keys;
    int i = inst->count / 2;
    if (keys[i + 1].position < x) {
        while (i + 1 < inst->count && keys[i + 1].position < x) ++i;
    } else {
        while (i > 0 && keys[i].position > x) --i;
    }
    const RampKey &key = keys[i];
    const float t = rampShape(key.interpolation, (x - key.position) * key.reciprocal);
    if (t == 0.0f) return keyColour(state, key, mode);
    const RampKey &next = keys[i + 1];
    if (!key.map && !next.map)
        return Color{key.color.r + key.difference.r * t, key.color.g + key.difference.g * t,
                     key.color.b + key.difference.b * t, key.color.a + key.difference.a * t};
    return lerp(keyColour(state, key, mode), keyColour(state, next, mode), t);
}

}  // namespace kor

KOR_EXPORT zoBoolean kor_GradientRamp(Color *result, RenderState *state, GradientRampParams *params,
                                      int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    RampSample s;
    evaluate(state, params, &s.p);
    writeGBufferId(state, s.p.gbufferId);
    s.inst = instanceOf(state);
    s.state = state;
    if (!s.inst) {
        writeEmpty(result, bump);
        return 1;
    }

    // The screen kind reads its image at the raster position: no
    // generator is needed.
    if (s.p.gradientType == kRampImageScreen) {
        s.keyMode = mode;
        const float xres = state->camera && state->camera->x_resolution > 0
                               ? float(state->camera->x_resolution)
                               : 1.0f;
        const float yres = state->camera && state->camera->y_resolution > 0
                               ? float(state->camera->y_resolution)
                               : 1.0f;
        const float u = state->raster_x / xres, v = state->raster_y / yres;
        float x = imageIntensity(state, s.p.sourceImage, u, v);
        if (s.p.noiseAmount != 0.0f) x = clampRange(x + rampNoise(s, u, v), 0.0f, 1.0f);
        if (bump) {
            finishVector(result, state, s.p.output, mode, kZero, 1.0f);
            return 1;
        }
        *result = rampColour(state, s.inst, x, mode);
        applyOutput(result, state, s.p.output, mode);
        return 1;
    }

    if (!s.p.coords) {
        reportMissingUV(state, &s.inst->warned);
        writeEmpty(result, bump);
        return 1;
    }
    s.keyMode = mode;
    if (!bump) {
        *result = runUVPattern(state, s.p.coords, rampPoint, rampFiltered, &s.p, s.inst, mode, &s,
                               nullptr);
        applyOutput(result, state, s.p.output, mode);
        return 1;
    }
    // Bump: the gradient of the ramp's intensity along the surface basis.
    MapRequest colour = {kMapColor, 0, 0};
    s.keyMode = &colour.kind;
    CoordQuery query;
    const Vector3 vector = runUVGradient(state, s.p.coords, rampPoint, rampFiltered, &s.p, s.inst,
                                         mode, &s, kQueryBasis, 1.0f, &query);
    finishVector(result, state, s.p.output, mode, vector, 1.0f);
    return 1;
}

KOR_SHADER_INIT(kor_GradientRamp) {
    if (!params) {
        if (request) *request = 1;
        kor::noiseInit(state);
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    if (*slot) kor::rampDestroy(static_cast<kor::RampInstance *>(*slot));
    *slot = kor::rampBuild(state, static_cast<const GradientRampParams *>(params));
}

KOR_SHADER_EXIT(kor_GradientRamp) {
    if (!params) return;
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    kor::rampDestroy(static_cast<kor::RampInstance *>(*slot));
    *slot = nullptr;
}
