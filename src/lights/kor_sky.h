// Daylight: the physical sun (a parallel light whose energy follows the
// scene's physical scale) and the two sky shaders that the environment
// shader asks for the sky's colour in a direction (a colour, map or the
// scene environment; the sky luminance model with clear, partly cloudy and
// overcast skies). Parameter records and per-instance caches.
#ifndef KORSHADERS_LIGHTS_KOR_SKY_H
#define KORSHADERS_LIGHTS_KOR_SKY_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>

#include "kor_light.h"
#include "shader.h"

// Set by the caller that gathers sky light; the sky shaders answer only
// while it is present.
#define KOR_KEY_SKY_GATHER "KEY_0"

// kor_PhysicalSun (all fields evaluated).
struct PhysicalSunParams {
    zoBoolean on;
    Color color;
    zoBoolean shadowOn;
    float multiplier;
    float contrast;           // 0..100
    float softenDiffuseEdge;  // 0..100
    float shadowDensity;
    zoBoolean atmosphereShadows;  // effective only with shadowOn
    float atmosphereOpacity;
    float atmosphereColorAmount;
    zoBoolean affectDiffuse;
    zoBoolean affectSpecular;
    Vector3 boxMin;  // scene box corners in light space
    Vector3 boxMax;
    kor::ParamArray<zoBoolean> excludeList;  // by node index
};
static_assert(offsetof(PhysicalSunParams, boxMin) == 60, "sun record layout");
static_assert(offsetof(PhysicalSunParams, excludeList) == 84, "sun record layout");

struct SunCache {
    zoBoolean on;
    zoBoolean isBlack;  // all three colour products are 0
    int32_t affectBits;
    zoBoolean shadowOn;
    Color color;  // color x multiplier / physicalScale x lightTint, alpha 1
    float shadowDensity;
    float contrast;
    // the diffuse curve: soften, contrastA and contrastB (the rest unused)
    LightCache curve;
    zoBoolean atmosphereShadows;
    float atmosphereOpacity;
    float atmosphereColorAmount;
    float halfWidthX;
    float halfWidthY;
    Vector3 boxMin;
    Vector3 boxMax;
    float emitHeight;  // boxMax.z + 0.0001
    int32_t excludeCount;
    const zoBoolean *excludeFirst;
};

// kor_TexturedSkylight (evaluated).
struct TexturedSkylightParams {
    zoBoolean on;
    float multiplier;
    Color color;
    Tag map;
    zoBoolean mapOn;
    float mapAmount;  // percent
    zoBoolean useEnvironment;
};

// kor_IesSkylight (evaluated).
struct IesSkylightParams {
    zoBoolean on;
    float multiplier;
    Color color;
    float skyCover;  // 0..1
};

enum IesSkyType : int32_t { kSkyClear = 0, kSkyPartlyCloudy = 1, kSkyOvercast = 2 };

struct IesSkyCache {
    Vector3 sunDir;  // unit, world space, towards the sun
    Vector3 zenith;  // (0, 0, 1)
    float norm1;
    float norm2;
    int32_t skyType;
    zoBoolean on;
    float scale;  // the scene's physicalScale, 1500 without scene data
};

namespace kor {

// The sun's default physical scale (scene without scene data).
constexpr float kDefaultPhysicalScale = 1500.0f;

// The sky type of a sky cover.
int iesSkyType(float skyCover);
// Fills the luminance constants of the cache from its sunDir and skyType.
void iesSkyConstants(IesSkyCache *cache);
// The sky luminance towards unit-or-not direction d (0 on and below the
// horizon).
float iesSkyLuminance(const IesSkyCache &cache, const Vector3 &d);

}  // namespace kor

#endif
