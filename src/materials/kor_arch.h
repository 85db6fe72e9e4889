// The architectural material's parameter record, as declared.
#ifndef KORSHADERS_MATERIALS_KOR_ARCH_H
#define KORSHADERS_MATERIALS_KOR_ARCH_H

#include <korshaders/host.h>

struct ArchitecturalParams {
    zoBoolean twoSided;
    int32_t reserved1;
    zoBoolean rawDiffuse;
    Color diffuseColor;
    float diffuseMapAmount;
    zoBoolean diffuseMapOn;
    Tag diffuseMap;
    float shininess;
    zoBoolean shininessMapOn;
    Tag shininessMap;
    float transparency;
    zoBoolean transparencyMapOn;
    Tag transparencyMap;
    float translucency;
    zoBoolean translucencyMapOn;
    Tag translucencyMap;
    float ior;
    float luminance;
    zoBoolean luminanceMapOn;
    Tag luminanceMap;
    float bumpAmount;
    zoBoolean bumpMapOn;
    Tag bumpMap;
    float intensity;
    zoBoolean intensityMapOn;
    Tag intensityMap;
    float cutout;
    zoBoolean cutoutMapOn;
    Tag cutoutMap;
    float photonSaturation;
    int32_t reserved2;
    float photonReflectScale;
    float photonTransmitScale;
    zoBoolean tilingOn;
    float tilingU, tilingV, offsetU, offsetV;
    int32_t materialId;
    int32_t metalMode;
    float luminanceScale;
};

#endif
