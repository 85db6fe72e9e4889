// Beam shapes: the spot light's cone and the directional light's cylinder
// or box, each with a circular or rectangular cross-section. Inside the
// hotspot the beam is full; between hotspot and falloff it fades along a
// smoothstep; outside the falloff it is dark, or full but unshadowed when
// the light overshoots.
#include "kor_attenuv.h"

#include <math.h>

namespace {

constexpr const char *kModule = "kor_attenuv";
constexpr float kDegToRad = 3.14159265358979f / 180.0f;
constexpr float kSqrt2 = 1.4142137f;  // the rectangle's quick-cone divisor, as stored

using kor::beamOutside;
using kor::coneAttenuate;
using kor::rectangleFade;

const ConeConstants *cone(const BeamShape *shape) {
    return static_cast<const ConeConstants *>(shape->constants);
}

float coneCosHalfFalloff(const BeamShape *shape) {
    return cone(shape) ? cone(shape)->cosHalf : 1.0f;
}
float coneTanHalfFalloff(const BeamShape *shape) {
    return cone(shape) ? cone(shape)->tanHalfFalloff : 1.0f;
}
float coneRadiusSquared(const BeamShape *) {
    return 1.0f;
}
float coneFullAngle(const BeamShape *shape) {
    return cone(shape) ? cone(shape)->fullAngle : 1.0f;
}
float coneProjScale(const BeamShape *shape) {
    return cone(shape) ? cone(shape)->projScale : 1.0f;
}
const float *coneXPlane(const BeamShape *shape) {
    return cone(shape) ? cone(shape)->xPlane : nullptr;
}
const float *coneYPlane(const BeamShape *shape) {
    return cone(shape) ? cone(shape)->yPlane : nullptr;
}

// ---------------------------------------------------------------------------
// Parallel beam.

const ParallelConstants *parallel(const BeamShape *shape) {
    return static_cast<const ParallelConstants *>(shape->constants);
}

float parallelAttenuate(const BeamShape *shape, const Vector3 *p, float, zoBoolean *castsShadow) {
    const ParallelConstants *k = parallel(shape);
    *castsShadow = 1;
    if (!k || !p) return 0.0f;
    if (shape->circular) {
        const float r2 = p->x * p->x + p->y * p->y;
        if (r2 > k->radiusSquared) return beamOutside(shape, castsShadow);
        if (shape->overshoot) return 1.0f;
        const float r = sqrtf(r2) / shape->falloff;
        if (r > k->ratio) return kor::smoothFade((1.0f - r) / k->oneMinusRatio);
        return 1.0f;
    }
    const float ax = fabsf(p->x) / shape->falloff;
    const float ay = fabsf(p->y) / shape->falloff * shape->aspect;
    if (ax > 1.0f || ay > 1.0f) return beamOutside(shape, castsShadow);
    if (shape->overshoot) return 1.0f;
    return rectangleFade(ax, ay, k->ratio, k->oneMinusRatio);
}

float parallelOne(const BeamShape *) {
    return 1.0f;
}
float parallelRadiusSquared(const BeamShape *shape) {
    return parallel(shape) ? parallel(shape)->radiusSquared : shape->falloff * shape->falloff;
}
const float *parallelPlane(const BeamShape *) {
    return nullptr;
}

// ---------------------------------------------------------------------------

void destroyShape(BeamShape *shape) {
    if (!shape) return;
    if (shape->constants) zo_mem_int_release(kModule, __LINE__, shape->constants);
    zo_mem_int_release(kModule, __LINE__, shape);
}

const BeamShapeOps kConeOps = {coneAttenuate,     coneCosHalfFalloff, coneTanHalfFalloff,
                               coneRadiusSquared, coneFullAngle,      coneProjScale,
                               coneXPlane,        coneYPlane,         destroyShape};

const BeamShapeOps kParallelOps = {parallelAttenuate,     parallelOne,   parallelOne,
                                   parallelRadiusSquared, parallelOne,   parallelOne,
                                   parallelPlane,         parallelPlane, destroyShape};

// A non-positive or undefined aspect ratio stands for a square section.
float saneAspect(float aspect) {
    return aspect > 0.0f && isfinite(aspect) ? aspect : 1.0f;
}

BeamShape *newShape(float hotspot, float falloff, zoBoolean overshoot, zoBoolean circular,
                    float aspect, const BeamShapeOps &ops, int constantsSize) {
    auto *shape =
        static_cast<BeamShape *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(BeamShape)));
    if (!shape) return nullptr;
    shape->hotspot = hotspot;
    shape->falloff = falloff;
    shape->overshoot = overshoot;
    shape->circular = circular;
    shape->aspect = aspect;
    shape->ops = ops;
    shape->constants = zo_mem_int_allocate(kModule, __LINE__, constantsSize);
    return shape;
}

BeamShape *makeCone(float hotspot, float falloff, zoBoolean overshoot, zoBoolean circular,
                    float aspect) {
    aspect = circular ? 1.0f : saneAspect(aspect);
    BeamShape *shape =
        newShape(hotspot, falloff, overshoot, circular, aspect, kConeOps, sizeof(ConeConstants));
    if (!shape || !shape->constants) return shape;
    auto *k = static_cast<ConeConstants *>(shape->constants);
    const float hf = falloff * kDegToRad * 0.5f;
    const float hh = hotspot * kDegToRad * 0.5f;
    k->cosHalf = circular ? cosf(hf) : cosf(hf) / kSqrt2;
    k->cosHalfHotspot = cosf(hh);
    k->hasSmoothZone = k->cosHalfHotspot != k->cosHalf;
    k->smoothWidth = k->cosHalfHotspot - k->cosHalf;
    k->tanHalfFalloff = tanf(hf);
    k->sinHalfFalloff = sinf(hf);
    k->ratio = hotspot / falloff;
    k->oneMinusRatio = 1.0f - k->ratio;
    k->fullAngle = 2.0f * atanf(tanf(hh > hf ? hh : hf) * sqrtf(aspect));
    k->projScale = 1.0f / tanf(k->fullAngle * 0.5f);
    const float root = sqrtf(aspect);
    const float xs = k->sinHalfFalloff * root, ys = k->sinHalfFalloff / root;
    const float xl = sqrtf(k->cosHalf * k->cosHalf + xs * xs);
    const float yl = sqrtf(k->cosHalf * k->cosHalf + ys * ys);
    k->xPlane[0] = xl > 0.0f ? k->cosHalf / xl : 1.0f;
    k->xPlane[1] = xl > 0.0f ? xs / xl : 0.0f;
    k->yPlane[0] = yl > 0.0f ? k->cosHalf / yl : 1.0f;
    k->yPlane[1] = yl > 0.0f ? ys / yl : 0.0f;
    return shape;
}

BeamShape *makeParallel(float hotspot, float falloff, zoBoolean overshoot, zoBoolean circular,
                        float aspect) {
    BeamShape *shape = newShape(hotspot, falloff, overshoot, circular, saneAspect(aspect),
                                kParallelOps, sizeof(ParallelConstants));
    if (!shape || !shape->constants) return shape;
    auto *k = static_cast<ParallelConstants *>(shape->constants);
    k->radiusSquared = falloff * falloff;
    k->ratio = hotspot / falloff;
    k->oneMinusRatio = 1.0f - k->ratio;
    return shape;
}

}  // namespace

const BeamShapeFactory kBeamShapeFactories[kBeamKinds] = {makeCone, makeParallel};

namespace kor {

BeamShape *makeBeamShape(int kind, float hotspot, float falloff, zoBoolean overshoot,
                         zoBoolean circular, float aspect) {
    if (kind < 0 || kind >= kBeamKinds) return nullptr;
    return kBeamShapeFactories[kind](hotspot, falloff, overshoot, circular, aspect);
}

void destroyBeamShape(BeamShape *shape) {
    if (shape && shape->ops.destroy) shape->ops.destroy(shape);
}

}  // namespace kor
