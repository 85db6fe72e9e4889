// The gradient ramp's instance record and lookup, reached directly by the
// tests and the benchmark.
#ifndef KORSHADERS_MAPS_TEX_GRADRAMP_H
#define KORSHADERS_MAPS_TEX_GRADRAMP_H

#include <korshaders/host.h>
#include <stdint.h>

#include "maps/tex_pattern.h"

namespace kor {

// Position of the key that follows the last one.
constexpr float kRampSentinel = 17.0f;

struct RampKey {
    float position;
    int32_t number;
    Color color;
    int32_t interpolation;
    Tag map;           // 0 unless the key's sub-map is on
    float reciprocal;  // 1 / (next position - position), 0 for equal positions
    Color difference;  // next colour - colour
};

struct RampInstance {
    int32_t warned;             // the missing generator was reported
    int32_t count;              // keys, not counting the sentinel
    float noiseLow, noiseHigh;  // ordered thresholds
    float noiseRange, noiseSoftness;
    float noiseScale;  // 20 / size, 0 for size 0
    RampKey keys[1];   // count keys sorted by position (then number), then the sentinel
};

// Builds the instance record from the evaluated keys and noise settings
// (host allocator, module "tex_gradramp"); null when allocation fails.
RampInstance *rampBuild(RenderState *state, const GradientRampParams *params);
void rampDestroy(RampInstance *inst);

// The shaped blend parameter of interpolation kind `kind` for t in [0, 1].
float rampShape(int kind, float t);

// The ramp's colour at position x. Key sub-maps run with the caller's mode
// record set to colour for the call (without a record, through
// zo_call_shader).
Color rampColour(RenderState *state, const RampInstance *inst, float x, int *mode);

}  // namespace kor

#endif
