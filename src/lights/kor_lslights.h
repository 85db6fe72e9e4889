// The photometric point light: its parameter record and instance cache.
#ifndef KORSHADERS_LIGHTS_KOR_LSLIGHTS_H
#define KORSHADERS_LIGHTS_KOR_LSLIGHTS_H

#include <korshaders/host.h>
#include <stddef.h>

#include "kor_light.h"
#include "shader.h"

// Intensity distributions.
enum PhotometricDistribution : int32_t {
    kDistIsotropic = 0,
    kDistSpot = 1,
    kDistDiffuse = 2,
    kDistWeb = 3,
    kDistSmoothSpot = 4,
};

// Emitter shapes.
enum PhotometricShape : int32_t {
    kShapePoint = 0,
    kShapeRectangle = 1,  // a side narrower than kLineWidth makes it a line
    kShapeDisc = 2,
    kShapeSphere = 3,
    kShapeCylinder = 4,
};

// Units of `intensity`.
enum PhotometricUnit : int32_t {
    kUnitCandela = 0,
    kUnitLumen = 1,  // total flux, spread over the distribution's solid angle
    kUnitLux = 2,    // illuminance at `intensityDistance` along the light's axis
};

// The parameter record (evaluated).
struct PhotometricLightParams {
    zoBoolean on;
    zoBoolean shadowOn;
    int32_t distribution;  // PhotometricDistribution
    Color color;
    float intensity;
    int32_t intensityUnit;  // PhotometricUnit
    float intensityDistance;
    Color filterColor;
    float farAttenStart;  // in scene units; scaled by unitScale
    float farAttenEnd;
    Color shadowColor;
    float shadowDensity;
    zoBoolean lightAffectsShadowColor;
    zoBoolean shadowMapOn;
    Tag shadowMap;
    float contrast;
    float softenDiffuseEdge;
    zoBoolean affectDiffuse;
    zoBoolean affectSpecular;
    zoBoolean ambientOnly;
    zoBoolean projectorOn;
    Tag projectorMap;
    zoBoolean atmosphereShadows;
    float atmosphereOpacity;
    float atmosphereColorAmount;
    float hotspot;  // radians, full angle
    float falloff;  // radians, full angle
    Tag webProfile;
    int32_t webAxes;  // 0 as stored, 1 y and z exchanged, 2 z negated
    int32_t shape;    // PhotometricShape
    Vector3 center;   // emitter centre in light space
    float width;      // rectangle
    float height;
    float radius;                            // disc, sphere, cylinder
    float length;                            // cylinder
    int32_t cylinderAxis;                    // 1 y, 2 z
    zoBoolean seeThrough;                    // rays that see the emitter continue behind it
    float referenceValue;                    // 1500 when not positive
    float unitScale;                         // 1 when 0
    kor::ParamArray<zoBoolean> excludeList;  // by node index
};

static_assert(offsetof(PhotometricLightParams, webProfile) == 144, "photometric record layout");
static_assert(offsetof(PhotometricLightParams, center) == 156, "photometric record layout");
static_assert(offsetof(PhotometricLightParams, excludeList) == 200, "photometric record layout");

struct PhotometricCache {
    LightCache base;  // colour, isBlack, affect bits, curve, volume entries
    Color filter;
    zoBoolean hasFilter;  // filter differs from white
    int32_t distribution;
    float emissionHalfAngle;
    float cosHalfHotspot;
    float cosHalfFalloff;
    float cosDifference;  // cosHalfHotspot - cosHalfFalloff
    float exponent;       // ln 0.5 / ln cos(hotspot / 2)
    Tag webProfile;
    int32_t webAxes;
    int32_t shape;
    Vector3 center;
    float width, height, radius, length;
    int32_t cylinderAxis;  // 1 y, 2 z
    zoBoolean isLine;
    float reference;         // R
    float unitScale;         // S
    float marchScale;        // intensity / (R / 511) / S^2
    float farStart, farEnd;  // scaled by S
    zoBoolean seeThrough;
};

namespace kor {
// The distribution value of a light-space unit direction (the light shines
// down -z).
float photometricDistribution(const PhotometricCache &cache, const Vector3 &d);
}  // namespace kor

#endif
