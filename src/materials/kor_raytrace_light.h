// The raytrace material's light loop: what it sums over the lights of one
// shading sample, and the callback that sums it (kor_raytrace_light.cpp).
#ifndef KORSHADERS_MATERIALS_KOR_RAYTRACE_LIGHT_H
#define KORSHADERS_MATERIALS_KOR_RAYTRACE_LIGHT_H

#include <korshaders/host.h>

#include "illum.h"

namespace kor {
namespace raytrace {

enum : int32_t {
    kShadeMetal = 2,
    kShadeBlinn = 3,
    kShadeOrenNayarBlinn = 4,
    kShadeAnisotropic = 5
};

// The light loop's inputs (the evaluated material at the sample) and sums.
struct RaytraceLightSums {
    float specularLevel, exponent, glossiness, anisotropy, orientation, roughness, soften;
    Color ambientColor, diffuseColor, specularColor;
    Vector3 normal, viewDir;
    Color diffuseSum, specularSum, rawSum;
    Color ambientLight;
    Color indirect;
    float diffuseShape;
};

struct LightUser {
    RaytraceLightSums *L;
    int shadingType;
    Vector3 reference;   // anisotropy reference direction
    IllumRecord *frame;  // normal and view direction for the shared highlight terms
};

// Adds one light's diffuse, specular and ambient contribution at the
// sample to the sums of `user` (a LightUser).
void lightCallback(RenderState *state, Tag light, LightIllumRecord *rec, void *user);

}  // namespace raytrace
}  // namespace kor

#endif
