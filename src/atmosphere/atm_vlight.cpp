// The volume light: a volume shader that makes the beams of chosen lights
// visible. For each eye or transparency ray it asks every listed light to
// march through its lit volume (the lights' side is in kor_lightvol); the
// step function here sums the scattered light, thinned or thickened by
// noise, and the ray's colour is then blended toward the fog colour by the
// sum. On light rays it dims the light that passes through the lit
// volumes.
#include "atm_vlight.h"

#include <math.h>

#include "atm_wind.h"
#include "kor_support.h"
#include "kor_vector.h"

namespace {

constexpr const char *kModule = "atm_vlight";
constexpr float kMissDistance = 1.0e9f;
constexpr float kStepSpacing = 4.0f;

const VolumeMarchParams *fetchRecord(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<const VolumeMarchParams *>(*slot) : nullptr;
}

void releaseRecord(void **slot) {
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

int shadowFilterValue(int filter) {
    switch (filter) {
        case 1: return 1;
        case 2: return 2;
        case 3: return 4;
        default: return 0;
    }
}

bool isBlack(const Color &c) {
    return c.r == 0.0f && c.g == 0.0f && c.b == 0.0f;
}

// One noise value at the scaled point q.
float noiseAt(const VolumeLightParams &p, const Vector3 &q) {
    return p.noiseWind ? kor::noise4(q.x, q.y, q.z, p.noisePhase) : kor::noise3(q);
}

}  // namespace

namespace kor {

float volumeNoiseDensity(const VolumeLightParams &p, const VolumeMarchParams &march,
                         const Vector3 &point) {
    Vector3 at = point;
    if (p.noiseWind) at += march.wind * (p.noisePhase * p.windStrength);
    const Vector3 q = at * march.inverseSize;

    float value;
    if (p.noiseType == kVolumeNoiseFractal || p.noiseType == kVolumeNoiseTurbulence) {
        const bool turbulence = p.noiseType == kVolumeNoiseTurbulence;
        float levels = p.noiseLevels > 0.0f ? p.noiseLevels : 0.0f;
        if (levels > kVolumeNoiseMaxOctaves) levels = kVolumeNoiseMaxOctaves;
        const int whole = static_cast<int>(levels);
        const float fraction = levels - whole;
        value = 0.0f;
        float scale = 1.0f;
        for (int i = 0; i <= whole; ++i, scale *= 2.0f) {
            const float weight = i < whole ? 1.0f : fraction;
            if (weight == 0.0f) break;
            float n = noiseAt(p, q * scale);
            if (turbulence) n = fabsf(n);
            value += weight * n / scale;
        }
        if (turbulence) value = value * 4.0f - 1.0f;
    } else {
        value = noiseAt(p, q);
    }

    const float sum = value + p.noiseUniformity;
    float d = sum < 0.0f ? 0.0f : sum / march.uniformityDivisor;
    if (march.thresholdActive) {
        if (p.noiseLow == p.noiseHigh) {
            // equal thresholds pass the density through
        } else if (d < p.noiseLow) {
            d = 0.0f;
        } else if (d > p.noiseHigh) {
            d = 1.0f;
        } else {
            d = (d - p.noiseLow) / (p.noiseHigh - p.noiseLow);
        }
    }
    if (p.invertNoise) d = 1.0f - d;
    return d;
}

float volumeSegmentDensity(const VolumeLightParams &p, const VolumeMarchParams &march,
                           const zoRay &ray, float t0, float t1, bool black) {
    const float length = t1 - t0;
    const float spacing = march.stepSpacing > 0.0f ? march.stepSpacing : kStepSpacing;
    if (length <= spacing || black)
        return volumeNoiseDensity(p, march, ray.org + ray.dir * (0.5f * (t0 + t1)));
    if (length > kVolumeLongSegment) return 0.5f;
    // every `spacing` from t0; the last, partial step weighs its fraction
    const int whole = static_cast<int>(length / spacing);
    const float rest = length - whole * spacing;
    float sum = 0.0f, weights = 0.0f;
    for (int i = 0; i < whole; ++i) {
        sum += volumeNoiseDensity(p, march, ray.org + ray.dir * (t0 + i * spacing));
        weights += 1.0f;
    }
    if (rest > 0.0f) {
        const float weight = rest / spacing;
        sum += weight * volumeNoiseDensity(p, march, ray.org + ray.dir * (t0 + whole * spacing));
        weights += weight;
    }
    return weights > 0.0f ? sum / weights : 0.0f;
}

zoBoolean volumeLightStep(Color *accumulator, const void *volumeParams,
                          const VolumeMarchParams *march, const zoRay *ray, float start, float end,
                          const Color *sample, float attenuation) {
    if (!accumulator || !volumeParams || !march || !ray || !sample) return 0;
    const auto &p = *static_cast<const VolumeLightParams *>(volumeParams);
    const float length = end - start;
    const bool black = isBlack(*sample);
    Color S = *sample;
    if (march->lightFloor != 0.0f) {
        const float floor = length * march->lightFloor;
        S.r += floor;
        S.g += floor;
        S.b += floor;
    }
    if (isBlack(S)) return 1;
    if (p.useAttenuationColor) {
        const float a = attenuation;
        const float k = (1.0f - a) * a * march->densityFactor * length * march->attenuationFactor;
        S.r = a * S.r + k * p.attenuationColor.r;
        S.g = a * S.g + k * p.attenuationColor.g;
        S.b = a * S.b + k * p.attenuationColor.b;
    }
    float D = march->densityFactor;
    if (p.noiseOn) {
        const float density = volumeSegmentDensity(p, *march, *ray, start, end, black);
        D = ((density - 0.5f) * march->noiseScale + 1.0f) * march->densityFactor;
    }
    accumulator->r += D * S.r;
    accumulator->g += D * S.g;
    accumulator->b += D * S.b;
    const float limit = march->lightLimit;
    if (!p.exponential && accumulator->r >= limit && accumulator->g >= limit &&
        accumulator->b >= limit)
        return 0;
    return 1;
}

}  // namespace kor

KOR_EXPORT zoBoolean kor_VolumeLight(Color *result, RenderState *state, VolumeLightParams *params) {
    if (!result || !state || !params) return 1;
    const VolumeLightParams &p = *params;
    if (state->type == ZO_RAY_SHADOW || !p.on) return 1;
    if (state->camera && state->camera->orthographic) return 1;
    if (p.lights.count <= 0) return 1;
    const VolumeMarchParams *march = fetchRecord(state);
    if (!march) return 1;

    const bool lightRay = state->type == ZO_RAY_LIGHT;
    const bool hit = state->dist > 0.0;
    Color saved = *result;
    const int32_t savedMarch = state->march;
    if (lightRay) {
        if (!hit) return 1;
        // A light ray sampled for a march already: marching again from here
        // would never end.
        if (savedMarch == 0) return 1;
    }

    // the ray in world space
    Vector3 origin, direction;
    float maxDistance;
    zo_point_to_world(&origin, state, &state->org);
    if (hit) {
        Vector3 end;
        zo_point_to_world(&end, state, &state->point);
        const Vector3 span = end - origin;
        maxDistance = kor::length(span);
        if (maxDistance == 0.0f) return 1;
        direction = span / maxDistance;
    } else {
        zo_vector_to_world(&direction, state, &state->dir);
        maxDistance = kMissDistance;
    }
    if (lightRay) {
        *result = Color{1.0f, 1.0f, 1.0f, 0.0f};
        state->march = 0;
    }

    Color accumulator = {0.0f, 0.0f, 0.0f, 1.0f};
    VolumeMarchRequest request;
    request.march = march;
    request.worldOrigin = origin;
    request.worldDirection = direction;
    request.maxDistance = maxDistance;
    request.volumeParams = params;
    const kor::ParamArray<Tag> &lights = p.lights;
    for (int k = 0; k < lights.count; ++k) {
        const int index = lights.start + k;
        const Tag light = lights[index];
        if (!light) continue;
        request.origin = origin;
        request.direction = direction;
        if (p.marchInLightSpace) {
            const Tag current = state->light_instance;
            state->light_instance = light;
            zo_point_to_light(&request.origin, state, &origin);
            zo_vector_to_light(&request.direction, state, &direction);
            state->light_instance = current;
        }
        request.light = light;
        request.lightIndex = index;

        Tag instance = 0, shader = 0;
        if (!zo_query(ZO_Q_LIGHT_INSTANCE, state, light, &instance) || !instance) continue;
        if (!zo_query(ZO_Q_LIGHT_SHADER, state, instance, &shader) || !shader) continue;
        const bool tagged = state->light_instance == 0;
        if (tagged) {
            VolumeSampleRecord record = {};
            record.light = light;
            kor::markStateKeyStored(kor::kOwnKeyVolumeSample);
            zo_shaderstate_set(state, KOR_KEY_VOLUME_SAMPLE, &record, sizeof record,
                               ZO_SHADERSTATE_RAY_TREE);
        }
        zo_call_shader_x(&accumulator, ZO_SHADER_VOLUME_MARCH, state, shader, &request);
        if (tagged)
            zo_shaderstate_set(state, KOR_KEY_VOLUME_SAMPLE, nullptr, 0, ZO_SHADERSTATE_RAY_TREE);
    }

    float *acc[4] = {&accumulator.r, &accumulator.g, &accumulator.b, &accumulator.a};
    if (p.exponential)
        for (float *x : acc) *x = 1.0f - expf(-*x);
    for (int c = 0; c < 3; ++c)
        if (*acc[c] > march->lightLimit) *acc[c] = march->lightLimit;
    const float m = kor::largest3(accumulator.r, accumulator.g, accumulator.b);
    result->a = result->a + m * (1.0f - result->a);
    result->r += (p.fogColor.r - result->r) * accumulator.r;
    result->g += (p.fogColor.g - result->g) * accumulator.g;
    result->b += (p.fogColor.b - result->b) * accumulator.b;

    if (lightRay) {
        const float A = result->a;
        const float dim = 1.0f - A * 0.5f;
        result->r = saved.r * (1.0f - (1.0f - result->r) * 0.5f) * dim;
        result->g = saved.g * (1.0f - (1.0f - result->g) * 0.5f) * dim;
        result->b = saved.b * (1.0f - (1.0f - result->b) * 0.5f) * dim;
        result->a = saved.a;
        state->march = savedMarch;
    }
    return 1;
}

KOR_SHADER_INIT(kor_VolumeLight) {
    if (!params) {
        if (request) *request = 1;
        kor::noiseInit(state);
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    releaseRecord(slot);  // a repeated init replaces the record
    auto *march = static_cast<VolumeMarchParams *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(VolumeMarchParams)));
    if (!march) return;
    auto *p = static_cast<VolumeLightParams *>(params);
    if (p->noiseHigh < p->noiseLow) {
        const float low = p->noiseLow;
        p->noiseLow = p->noiseHigh;
        p->noiseHigh = low;
    }
    march->thresholdActive = p->noiseLow != 0.0f || p->noiseHigh != 0.0f;
    march->steps = 3 * p->samples;
    march->shadowFilter = shadowFilterValue(p->shadowFilter);
    march->attenuationFactor = p->attenuationMultiplier * p->attenuationMultiplier;
    march->lightLimit = p->lightLimit / 100.0f;
    march->lightFloor = p->lightFloor / 100.0f;
    march->startScale = p->startPercent / 100.0f;
    march->endScale = p->endPercent / 100.0f;
    march->densityFactor = p->density / 500.0f;
    float divisor = p->noiseUniformity + 1.0f;
    if (divisor < 0.0001f) divisor = 0.0001f;
    march->uniformityDivisor = divisor;
    march->inverseSize = p->noiseSize != 0.0f ? 1.0f / p->noiseSize : 0.0f;
    march->noiseScale = 2.0f * p->noiseAmount;
    march->stepSpacing = kStepSpacing;
    march->wind = kor::windVector(p->windDirection);
    march->callback = kor::volumeLightStep;
    *slot = march;
}

KOR_SHADER_EXIT(kor_VolumeLight) {
    if (!params) return;
    releaseRecord(kor::user_slot(state));
}
