// The fog volume shader: its parameter record and the per-instance record
// that _init builds from it.
#ifndef KORSHADERS_ATMOSPHERE_ATM_FOG_H
#define KORSHADERS_ATMOSPHERE_ATM_FOG_H

#include <korshaders/host.h>
#include <stddef.h>

// Parameter record of kor_Fog (read in place).
struct FogParams {
    Color fogColor;
    zoBoolean useColorMap;
    zoBoolean useOpacityMap;
    zoBoolean fogBackground;  // also fog rays that hit nothing
    int32_t fogType;          // 0 standard, other values layered
    float near;               // standard: amount at and before the range start, 0..1
    float far;                // standard: amount at and beyond the range end, 0..1
    float top;                // layered: upper height (world z)
    float bottom;             // layered: lower height
    float density;            // layered: percent
    int32_t falloff;          // layered: 0 thinner upward, 1 thinner downward, 2 uniform
    zoBoolean horizonNoise;
    float noiseSize;
    float noiseAngle;  // radians of elevation
    float noisePhase;
    zoBoolean exponential;  // standard: exponential depth ramp
    zoBoolean on;
    Tag colorMap;
    Tag opacityMap;
};
static_assert(offsetof(FogParams, fogType) == 28, "fog record layout");
static_assert(offsetof(FogParams, opacityMap) == 84, "fog record layout");

enum FogFalloff { kFogThinTop = 0, kFogThinBottom = 1, kFogUniform = 2 };

// Per-instance record of kor_Fog (module "atm_fog", in the instance's
// user-pointer slot).
struct FogRecord {
    zoBoolean colorMapActive;    // useColorMap and colorMap set
    zoBoolean opacityMapActive;  // useOpacityMap and opacityMap set
    float nearValue;             // near; exponential: -ln(max(1 - near, 0.001))
    float farValue;              // far; exponential: -ln(max(1 - far, 0.001))
    float valueSpan;             // farValue - nearValue
    float thickness;             // top - bottom, the two in order
    float density;               // density / 100
    float noiseFrequency;        // 400 / noiseSize when noiseSize > 0, else noiseSize
    float rangeStart;            // standard: the scene's range start, else nearValue
    float rangeEnd;              // standard: the scene's range end, else farValue
    float rangeSpan;             // rangeEnd - rangeStart
    float slope;                 // valueSpan / rangeSpan; 1 without scene data
    float top, bottom;           // the slab, in order
};

namespace kor {

// The standard fog's depth ramp at camera depth d.
float fogDepthRamp(const FogRecord &fog, float d);

}  // namespace kor

#endif
