// The volume light: its parameter record, and the per-step function with
// the noise density that the lights' volume march calls back into. The
// per-instance record is the VolumeMarchParams of kor_light.h, which the
// lights read.
#ifndef KORSHADERS_ATMOSPHERE_ATM_VLIGHT_H
#define KORSHADERS_ATMOSPHERE_ATM_VLIGHT_H

#include <korshaders/host.h>
#include <stddef.h>

#include "kor_light.h"
#include "shader.h"

// Parameter record of kor_VolumeLight (read in place).
struct VolumeLightParams {
    Color fogColor;                 // 0
    float density;                  // 4
    float lightLimit;               // 5: percent, upper limit of the accumulated amount
    float lightFloor;               // 6: percent, light added per unit length
    float noiseSize;                // 7
    float noiseUniformity;          // 8
    zoBoolean noiseOn;              // 9
    float startPercent;             // 10: scale of the lights' start distances
    float endPercent;               // 11: scale of the lights' end distances
    int32_t shadowFilter;           // 12: 0..3
    float noiseAmount;              // 13
    int32_t windDirection;          // 14: 0..5
    float windStrength;             // 15
    float noisePhase;               // 16
    int32_t samples;                // 17
    int32_t unused18;               // 18
    zoBoolean exponential;          // 19
    int32_t noiseType;              // 20: 0 regular, 1 fractal, 2 turbulence
    zoBoolean invertNoise;          // 21
    float noiseLevels;              // 22: octaves
    float noiseLow;                 // 23
    float noiseHigh;                // 24
    zoBoolean marchInLightSpace;    // 25
    Color attenuationColor;         // 26
    zoBoolean useAttenuationColor;  // 30
    float attenuationMultiplier;    // 31
    zoBoolean noiseWind;            // 32
    zoBoolean on;                   // 33
    kor::ParamArray<Tag> lights;    // 34: light instances
};
static_assert(offsetof(VolumeLightParams, samples) == 17 * 4, "volume light record layout");
static_assert(offsetof(VolumeLightParams, attenuationColor) == 26 * 4,
              "volume light record layout");
static_assert(offsetof(VolumeLightParams, lights) == 34 * 4, "volume light record layout");

enum VolumeNoiseType {
    kVolumeNoiseRegular = 0,
    kVolumeNoiseFractal = 1,
    kVolumeNoiseTurbulence = 2
};

namespace kor {

// Octaves beyond this many add nothing a float can hold.
constexpr int kVolumeNoiseMaxOctaves = 16;
// Segments longer than this take the mean density.
constexpr float kVolumeLongSegment = 100000.0f;

// The noise density at a world-space point.
float volumeNoiseDensity(const VolumeLightParams &params, const VolumeMarchParams &march,
                         const Vector3 &p);
// The density of the segment [t0, t1] of the ray; `black` when the light's
// sample there is black.
float volumeSegmentDensity(const VolumeLightParams &params, const VolumeMarchParams &march,
                           const zoRay &ray, float t0, float t1, bool black);
// The per-step callback of the volume light.
zoBoolean volumeLightStep(Color *accumulator, const void *volumeParams,
                          const VolumeMarchParams *march, const zoRay *ray, float start, float end,
                          const Color *sample, float attenuation);

}  // namespace kor

#endif
