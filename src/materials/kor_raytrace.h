// The raytrace material's parameter record, as declared; host-form arrays
// keep their storage after the record.
#ifndef KORSHADERS_MATERIALS_KOR_RAYTRACE_H
#define KORSHADERS_MATERIALS_KOR_RAYTRACE_H

#include <korshaders/host.h>
#include <stddef.h>

#include "shader.h"

struct RaytraceMaterialParams {
    zoBoolean twoSided;
    int32_t mapCallExtra;
    zoBoolean wire;
    zoBoolean faceted;
    Color ambient;
    float unused32;
    zoBoolean ambientIsColor;
    Color diffuse;
    Color reflectColor;
    float reflectAmount;
    int32_t reflectType;  // 0 amount, 1 colour, 2 Fresnel
    Color selfIllumColor;
    float selfIllumAmount;
    zoBoolean selfIllumUseColor;
    Color transparencyColor;
    float transparencyAmount;
    zoBoolean transparencyUseColor;
    float ior;
    Color specularColor;
    float glossiness;
    float specularLevel;
    float soften;
    float anisotropy;
    float orientation;
    Color densityColor;
    int32_t reflectionMode;
    float reflectionGain;
    zoBoolean refractionUsesReflectEnv;
    zoBoolean densityOn;
    float densityStart, densityEnd;
    float densityAmount;
    zoBoolean falloffUseColor;
    Color falloffColor;
    int32_t reflectFalloffType;
    int32_t refractFalloffType;
    float falloffStart;
    float reflectFalloffEnd, refractFalloffEnd;
    float falloffExponent;
    float falloffCurve[4];
    Color extraLight;
    Color translucentColor;
    Color glowColor;
    float glowBias;
    float wireSize;
    int32_t wireUnits;
    Color fogColor;
    zoBoolean fogOn;
    float fogStart, fogEnd, fogAmount;
    zoBoolean traceReflections;
    zoBoolean traceRefractions;
    zoBoolean selfHits;
    zoBoolean includeObjects;
    kor::ParamArray<Tag> objectNames;  // database strings: instance names
    kor::ParamArray<zoBoolean> mapEnabled;
    kor::ParamArray<Tag> maps;
    kor::ParamArray<float> mapAmounts;
    int32_t materialId;
    int32_t shadingType;  // 2 Metal, 3 Blinn, 4 Oren-Nayar-Blinn, 5 Anisotropic, else Phong
    zoBoolean carryVolume;
    zoBoolean carryVolumeInside;
};
static_assert(offsetof(RaytraceMaterialParams, objectNames) == 380, "raytrace material layout");
static_assert(offsetof(RaytraceMaterialParams, materialId) == 428, "raytrace material layout");
static_assert(sizeof(RaytraceMaterialParams) == 444, "raytrace material layout");

#endif
