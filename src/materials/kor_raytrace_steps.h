// The raytrace material's per-sample records and the steps kept in files of
// their own: the light loop (kor_raytrace_light.cpp) and the composition of
// the shaded colour (kor_raytrace_compose.cpp).
#ifndef KORSHADERS_MATERIALS_KOR_RAYTRACE_STEPS_H
#define KORSHADERS_MATERIALS_KOR_RAYTRACE_STEPS_H

#include <korshaders/host.h>

#include "illum.h"
#include "kor_raytrace.h"
#include "kor_rendelem.h"

namespace kor {
namespace raytrace {

enum : int32_t {
    kShadeMetal = 2,
    kShadeBlinn = 3,
    kShadeOrenNayarBlinn = 4,
    kShadeAnisotropic = 5
};

// The maps' and traces' results at one sample.
struct RaytraceSample {
    Color specularColor, diffuseColor, transparency, reflectColor, reflectedLight, refractedLight,
        ambientColor, selfIllum, densityColor, fogColor, extraLight, translucentColor, glowColor;
    float diffuseShape, glossiness, specularLevel, ior, glowBias, exponent, anisotropy, orientation,
        roughness;
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

// Composes the sample's shaded colour, its transparency and layer
// transmission into the render element record `e`; `handOff` when the
// transparency goes on to the layers behind.
void compose(RenderElementIllum &e, const RaytraceMaterialParams &v, RaytraceSample &S,
             const RaytraceLightSums &L, bool energyBlend, bool handOff);

}  // namespace raytrace
}  // namespace kor

#endif
