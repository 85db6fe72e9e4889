// kor_Noise: the solid noise map, its parameter and instance records and
// the pattern value that shading and calibration share.
#ifndef KORSHADERS_MAPS_TEX_NOISE_H
#define KORSHADERS_MAPS_TEX_NOISE_H

#include <korshaders/host.h>
#include <stdint.h>

#include "shader.h"

// Parameter record of kor_Noise (every field evaluated).
struct NoiseParams {
    Color color1;
    Color color2;
    Tag map1;  // replaces color1
    Tag map2;  // replaces color2
    zoBoolean map1On;
    zoBoolean map2On;
    float size;  // 0 counts as 0.0001
    float phase;
    float levels;  // octaves, fractional allowed
    float thresholdLow;
    float thresholdHigh;
    int32_t noiseType;  // 0 regular, 1 fractal, 2 turbulence
    Tag coords;         // XYZ generator
    Tag output;         // Output shader
    int32_t gbufferId;
};

// Instance record, in the instance's user-pointer slot from init to exit.
struct NoiseInstance {
    float averageAbsNoise;  // mean |noise|, -1 until calibrated
    float averageValue;     // mean pattern value
    float scale;            // size, 0 replaced by 0.0001
    int32_t antialias;      // 0 during calibration, 1 afterwards
};

KOR_EXPORT zoBoolean kor_Noise(Color *result, RenderState *state, NoiseParams *params,
                               const int *mode);
KOR_SHADER_INIT(kor_Noise);
KOR_SHADER_EXIT(kor_Noise);

namespace kor {

// The pattern value (0 ... 1) of the evaluated parameters at the generator
// point p with the generator footprint.
float noisePatternValue(const NoiseParams &p, const NoiseInstance &inst, const Vector3 &point,
                        const Vector3 &footprint);

}  // namespace kor

#endif
