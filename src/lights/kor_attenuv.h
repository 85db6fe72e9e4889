// Beam shapes of the standard lights: small objects that decide how much of
// a light's beam reaches a point given in light space (the light at the
// origin, shining down -z). The cone belongs to spot lights, the parallel
// shape (cylinder or box) to directional lights; both have a circular or a
// rectangular cross-section with a hotspot and a falloff edge between which
// the beam fades along a smoothstep.
#ifndef KORSHADERS_LIGHTS_KOR_ATTENUV_H
#define KORSHADERS_LIGHTS_KOR_ATTENUV_H

#include <korshaders/host.h>
#include <math.h>

struct BeamShape;

// The function table of a shape, in slot order.
struct BeamShapeOps {
    // Fraction of the beam at point `p` (light space); `cosAngle` is the
    // cosine between -z and the direction to p (cones only). `castsShadow`
    // tells whether shadows apply at the point.
    float (*attenuate)(const BeamShape *shape, const Vector3 *p, float cosAngle,
                       zoBoolean *castsShadow);
    float (*cosHalfFalloff)(const BeamShape *shape);
    float (*tanHalfFalloff)(const BeamShape *shape);
    float (*radiusSquared)(const BeamShape *shape);
    float (*fullAngle)(const BeamShape *shape);
    float (*projScale)(const BeamShape *shape);
    // Unit (cos, sin) pairs of the side planes of a rectangular cone's
    // pyramid; null for the parallel shapes.
    const float *(*xPlane)(const BeamShape *shape);
    const float *(*yPlane)(const BeamShape *shape);
    void (*destroy)(BeamShape *shape);
};

struct BeamShape {
    // construction values
    float hotspot;
    float falloff;
    zoBoolean overshoot;
    zoBoolean circular;
    float aspect;  // 1 for a circular cone
    BeamShapeOps ops;
    void *constants;  // the shape's own constants; null when they could not be allocated
};

// Constants of a cone (angles in radians from the full angles in degrees).
struct ConeConstants {
    zoBoolean hasSmoothZone;  // the hotspot and falloff cosines differ
    float smoothWidth;        // cos(half hotspot) - cosHalf
    float tanHalfFalloff;
    float cosHalf;  // quick cone test; divided by sqrt 2 for a rectangle
    float sinHalfFalloff;
    float cosHalfHotspot;
    float ratio;  // hotspot / falloff
    float oneMinusRatio;
    float fullAngle;
    float projScale;  // 1 / tan(fullAngle / 2)
    float xPlane[2];
    float yPlane[2];
};

// Constants of a parallel beam.
struct ParallelConstants {
    float radiusSquared;  // falloff^2
    float ratio;          // hotspot / falloff
    float oneMinusRatio;
};

enum BeamKind { kBeamCone = 0, kBeamParallel = 1, kBeamKinds = 2 };

// The factory table: one constructor per kind.
typedef BeamShape *(*BeamShapeFactory)(float hotspot, float falloff, zoBoolean overshoot,
                                       zoBoolean circular, float aspect);
extern const BeamShapeFactory kBeamShapeFactories[kBeamKinds];

namespace kor {

// A new shape of `kind` (0 cone, 1 parallel) from the host allocator, or
// null for any other kind or a failed allocation. Released by its destroy
// entry (destroyBeamShape).
BeamShape *makeBeamShape(int kind, float hotspot, float falloff, zoBoolean overshoot,
                         zoBoolean circular, float aspect);
void destroyBeamShape(BeamShape *shape);

// t^2 (3 - 2t): the fade of every beam and range edge.
inline float smoothFade(float t) {
    return t * t * (3.0f - 2.0f * t);
}

// The point lies outside the beam.
inline float beamOutside(const BeamShape *shape, zoBoolean *castsShadow) {
    if (shape->overshoot) {
        *castsShadow = 0;
        return 1.0f;
    }
    *castsShadow = 1;
    return 0.0f;
}

// The rectangular fade from the normalised distances to the two edges
// (each 1 on its edge), both already known to be inside.
inline float rectangleFade(float ax, float ay, float ratio, float oneMinusRatio) {
    const bool markX = ax > ratio;
    const bool markY = ay > ratio;
    if (!markX && !markY) return 1.0f;
    float t = 1.0f;
    if (markX) t *= 1.0f - (ax - ratio) / oneMinusRatio;
    if (markY) t *= 1.0f - (ay - ratio) / oneMinusRatio;
    return smoothFade(t);
}

// The cone's attenuate entry, here so that the spot light's sample runs it
// inline.
inline float coneAttenuate(const BeamShape *shape, const Vector3 *p, float cosAngle,
                           zoBoolean *castsShadow) {
    const auto *k = static_cast<const ConeConstants *>(shape->constants);
    *castsShadow = 1;
    if (!k || !p) return 0.0f;
    if (p->z >= 0.0f || !(cosAngle >= k->cosHalf)) return beamOutside(shape, castsShadow);
    if (shape->overshoot) return 1.0f;
    if (shape->circular) {
        if (k->hasSmoothZone && cosAngle < k->cosHalfHotspot)
            return smoothFade((cosAngle - k->cosHalf) / k->smoothWidth);
        return 1.0f;
    }
    const float ax = fabsf(p->x / p->z) * k->projScale;
    const float ay = fabsf(p->y / p->z) * k->projScale * shape->aspect;
    if (ax > 1.0f || ay > 1.0f) return beamOutside(shape, castsShadow);
    return rectangleFade(ax, ay, k->ratio, k->oneMinusRatio);
}

}  // namespace kor

#endif
