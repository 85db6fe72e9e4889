// The lights' side of the volume light: the ray is clipped to the light's
// lit volume (the omni light's range sphere, the spot light's cone or
// pyramid, the directional light's cylinder or box), split at the light's
// breakpoints and marched in steps; at each step the light is sampled with
// "KEY_4" set and the volume light's callback receives the sample.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "kor_light.h"
#include "kor_vector.h"

namespace {

constexpr double kUnbounded = 1.0e30;
constexpr int kMaxSamplesPerStep = 1024;

// Clips [lo, hi] to the half-line a t + b <= 0; false when empty.
bool clipHalfSpace(double a, double b, double *lo, double *hi) {
    if (a == 0.0) return b <= 0.0;
    const double t = -b / a;
    if (a > 0.0) {
        if (t < *hi) *hi = t;
    } else if (t > *lo) {
        *lo = t;
    }
    return *lo <= *hi;
}

// Clips [lo, hi] to where A t^2 + B t + C <= 0 (one interval: the callers'
// regions are convex once clipped to their half-spaces).
bool clipQuadratic(double A, double B, double C, double *lo, double *hi) {
    if (fabs(A) < 1e-12) return clipHalfSpace(B, C, lo, hi);
    const double disc = B * B - 4.0 * A * C;
    if (disc < 0.0) return A < 0.0 && *lo <= *hi;
    const double root = sqrt(disc);
    double r1 = (-B - root) / (2.0 * A), r2 = (-B + root) / (2.0 * A);
    if (r1 > r2) {
        const double t = r1;
        r1 = r2;
        r2 = t;
    }
    if (A > 0.0) {
        if (r1 > *lo) *lo = r1;
        if (r2 < *hi) *hi = r2;
        return *lo <= *hi;
    }
    // outside the roots: keep the longer of the two pieces inside [lo, hi]
    const double aLo = *lo, aHi = r1 < *hi ? r1 : *hi;
    const double bLo = r2 > *lo ? r2 : *lo, bHi = *hi;
    const double aLen = aHi - aLo, bLen = bHi - bLo;
    if (aLen < 0.0 && bLen < 0.0) return false;
    if (aLen >= bLen) {
        *hi = aHi;
    } else {
        *lo = bLo;
    }
    return true;
}

zoBoolean finish(double lo, double hi, float *entry, float *exit) {
    if (lo > hi) return 0;
    *entry = static_cast<float>(lo < -kUnbounded ? -kUnbounded : lo);
    *exit = static_cast<float>(hi > kUnbounded ? kUnbounded : hi);
    return 1;
}

// Spot: the cone of the falloff half-angle below the light, or the pyramid
// of the rectangle's side planes.
zoBoolean coneIntersect(const LightCache *cache, const Vector3 *o, const Vector3 *d, float,
                        float *entry, float *exit) {
    const BeamShape *beam = cache->beam;
    if (!beam || !beam->constants) return 0;
    double lo = -kUnbounded, hi = kUnbounded;
    if (!clipHalfSpace(d->z, o->z, &lo, &hi)) return 0;
    if (beam->circular) {
        const double t = beam->ops.tanHalfFalloff(beam);
        const double k = t * t;
        const double A = double(d->x) * d->x + double(d->y) * d->y - k * d->z * d->z;
        const double B = 2.0 * (double(o->x) * d->x + double(o->y) * d->y - k * o->z * d->z);
        const double C = double(o->x) * o->x + double(o->y) * o->y - k * o->z * o->z;
        if (!clipQuadratic(A, B, C, &lo, &hi)) return 0;
        return finish(lo, hi, entry, exit);
    }
    const float *xp = beam->ops.xPlane(beam), *yp = beam->ops.yPlane(beam);
    if (!xp || !yp) return 0;
    const Vector3 normals[4] = {
        {xp[0], 0.0f, xp[1]}, {-xp[0], 0.0f, xp[1]}, {0.0f, yp[0], yp[1]}, {0.0f, -yp[0], yp[1]}};
    for (const Vector3 &n : normals)
        if (!clipHalfSpace(kor::dot(n, *d), kor::dot(n, *o), &lo, &hi)) return 0;
    return finish(lo, hi, entry, exit);
}

// Directional: everything with overshoot; otherwise the cylinder or box
// below the light.
zoBoolean parallelIntersect(const LightCache *cache, const Vector3 *o, const Vector3 *d, float,
                            float *entry, float *exit) {
    const BeamShape *beam = cache->beam;
    if (!beam) return 0;
    double lo = -kUnbounded, hi = kUnbounded;
    if (beam->overshoot) return finish(lo, hi, entry, exit);
    if (beam->circular) {
        if (!clipHalfSpace(d->z, o->z, &lo, &hi)) return 0;
        const double A = double(d->x) * d->x + double(d->y) * d->y;
        const double B = 2.0 * (double(o->x) * d->x + double(o->y) * d->y);
        const double C = double(o->x) * o->x + double(o->y) * o->y - beam->ops.radiusSquared(beam);
        if (!clipQuadratic(A, B, C, &lo, &hi)) return 0;
        return finish(lo, hi, entry, exit);
    }
    const double fx = beam->falloff, fy = beam->falloff / beam->aspect;
    if (!clipHalfSpace(d->x, o->x - fx, &lo, &hi) || !clipHalfSpace(-d->x, -o->x - fx, &lo, &hi) ||
        !clipHalfSpace(d->y, o->y - fy, &lo, &hi) || !clipHalfSpace(-d->y, -o->y - fy, &lo, &hi) ||
        !clipHalfSpace(d->z, o->z, &lo, &hi) || !clipHalfSpace(-d->z, -o->z - 1.0e15, &lo, &hi))
        return 0;
    return finish(lo, hi, entry, exit);
}

// Omni: the sphere of the scaled far end.
zoBoolean sphereIntersect(const LightCache *, const Vector3 *o, const Vector3 *d, float farEnd,
                          float *entry, float *exit) {
    if (!(farEnd > 0.0f)) return 0;
    double lo = -kUnbounded, hi = kUnbounded;
    const double A = kor::dot(*d, *d);
    if (A <= 0.0) return 0;
    const double B = 2.0 * kor::dot(*o, *d);
    const double C = kor::dot(*o, *o) - double(farEnd) * farEnd;
    if (!clipQuadratic(A, B, C, &lo, &hi)) return 0;
    return finish(lo, hi, entry, exit);
}

int twoEnds(const VolumeSampleRecord *, const Vector3 *, const Vector3 *, float entry, float exit,
            float *points) {
    points[0] = entry;
    points[1] = exit;
    return 2;
}

int compareFloats(const void *a, const void *b) {
    const float x = *static_cast<const float *>(a), y = *static_cast<const float *>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// Omni: where the ray crosses the spheres of the range boundaries.
int sortedBreakpoints(const VolumeSampleRecord *ranges, const Vector3 *o, const Vector3 *d,
                      float entry, float exit, float *points) {
    int n = 0;
    points[n++] = entry;
    points[n++] = exit;
    const float radii[5] = {ranges->nearStart, ranges->nearEnd, ranges->farStart, ranges->farEnd,
                            ranges->decayStart};
    const double A = kor::dot(*d, *d), B = 2.0 * kor::dot(*o, *d), oo = kor::dot(*o, *o);
    if (A > 0.0) {
        for (float r : radii) {
            if (!(r > 0.0f)) continue;
            const double disc = B * B - 4.0 * A * (oo - double(r) * r);
            if (disc < 0.0) continue;
            const double root = sqrt(disc);
            const double roots[2] = {(-B - root) / (2.0 * A), (-B + root) / (2.0 * A)};
            for (double t : roots)
                if (t > entry && t < exit && n < kMaxBreakpoints) points[n++] = float(t);
        }
    }
    qsort(points, n, sizeof(float), compareFloats);
    return n;
}

zoBoolean spotPointsAway(const Vector3 *direction) {
    return direction->z > 0.0f;
}

bool sameVector(const Vector3 &a, const Vector3 &b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

}  // namespace

namespace kor {

void installVolumeOps(LightCache *cache, int kind, bool useFarAtten) {
    switch (kind) {
        case kLightSpot:
            cache->volumeOps = {coneIntersect, twoEnds, useFarAtten ? 1 : 0, spotPointsAway, 0};
            break;
        case kLightDirectional:
            cache->volumeOps = {parallelIntersect, twoEnds, 0, nullptr, 1};
            break;
        default: cache->volumeOps = {sphereIntersect, sortedBreakpoints, 1, nullptr, 2}; break;
    }
}

zoBoolean volumeMarch(Color *accumulator, RenderState *state, const LightCache *cache,
                      const LightRanges &ranges, const VolumeMarchRequest *request) {
    if (!request || !request->march || !cache || !cache->volumeOps.intersect) return 0;
    const VolumeMarchParams *march = request->march;
    const LightVolumeOps &ops = cache->volumeOps;

    // ranges scaled by the volume light's start and end factors
    VolumeSampleRecord record = {};
    record.light = request->light;
    const float s = march->startScale, e = march->endScale;
    if (ops.kind == kLightDirectional && ranges.useNearAtten && ranges.useFarAtten) {
        const float m = (ranges.nearAttenEnd + ranges.farAttenStart) * 0.5f;
        record.nearStart = m + s * (ranges.nearAttenStart - m);
        record.nearEnd = m + e * (ranges.nearAttenEnd - m);
        record.farStart = m + s * (ranges.farAttenStart - m);
        record.farEnd = m + e * (ranges.farAttenEnd - m);
        record.decayStart = m + s * (ranges.decayStart - m);
    } else {
        record.nearStart = ranges.nearAttenStart * s;
        record.nearEnd = ranges.nearAttenEnd * e;
        record.farStart = ranges.farAttenStart * s;
        record.farEnd = ranges.farAttenEnd * e;
        record.decayStart = ranges.decayStart * s;
    }
    if (state->type == ZO_RAY_LIGHT && !(ranges.shadowOn && ranges.atmosphereShadows)) return 1;

    // the ray in light space (a request whose two rays agree is in world space)
    Vector3 o = request->origin, d = request->direction;
    if (sameVector(o, request->worldOrigin) && sameVector(d, request->worldDirection)) {
        const Tag light = state->light_instance;
        if (request->light) state->light_instance = request->light;
        zo_point_to_light(&o, state, &request->worldOrigin);
        zo_vector_to_light(&d, state, &request->worldDirection);
        state->light_instance = light;
    }
    const zoRay ray = {request->worldOrigin, request->worldDirection};
    const float maxDistance = request->maxDistance;
    VolumeStepCallback callback = march->callback;
    if (!callback) return 1;

    float entry = 0.0f, exit = 0.0f;
    if (!ops.intersect(cache, &o, &d, record.farEnd, &entry, &exit) || exit < 0.0f ||
        entry > maxDistance) {
        const Color black = kBlack;
        callback(accumulator, request->volumeParams, march, &ray, 0.0f, maxDistance, &black, 0.0f);
        return 1;
    }
    if (entry < 0.0f) entry = 0.0f;
    if (exit > maxDistance) exit = maxDistance;
    if ((ops.kind == kLightSpot || ops.kind == kLightDirectional) && ops.hasFarRange &&
        !(ops.pointsAway && ops.pointsAway(&d))) {
        const float limit = entry + 2.0f * record.farEnd;
        if (limit < exit) exit = limit;
    }

    float points[kMaxBreakpoints];
    const int count = ops.breakpoints ? ops.breakpoints(&record, &o, &d, entry, exit, points)
                                      : twoEnds(&record, &o, &d, entry, exit, points);
    const int steps = march->steps > 0 ? march->steps : 1;
    float step = (exit - entry) / steps;
    if (!(step >= 0.0001f)) step = 0.0001f;

    // "KEY_4" for the samples; whatever stood there before comes back after
    char saved[sizeof(VolumeSampleRecord)];
    int savedSize = 0;
    if (const void *old = zo_shaderstate_get(state, KOR_KEY_VOLUME_SAMPLE, &savedSize)) {
        if (savedSize > static_cast<int>(sizeof saved)) savedSize = sizeof saved;
        memcpy(saved, old, savedSize);
    } else {
        savedSize = 0;
    }
    Vector3 samplePoint = o;
    record.point = &samplePoint;
    markStateKeyStored(kOwnKeyVolumeSample);
    zo_shaderstate_set(state, KOR_KEY_VOLUME_SAMPLE, &record, sizeof record,
                       ZO_SHADERSTATE_RAY_TREE);
    const Vector3 statePoint = state->point;

    bool going = true;
    const long maxSteps = static_cast<long>(steps) * count + count;
    long taken = 0;
    for (int i = 0; going && i + 1 < count; ++i) {
        float t0 = points[i];
        const float end = points[i + 1];
        while (going && t0 < end && taken++ < maxSteps) {
            float t1 = t0 + step;
            // the last step of a piece runs to its end (no sliver from rounding)
            if (t1 > end - 1e-3f * step || t1 <= t0) t1 = end;
            const float tm = 0.5f * (t0 + t1);
            samplePoint = o + d * tm;
            state->point = request->worldOrigin + request->worldDirection * tm;
            Color sum = kBlack;
            float attenuation = 0.0f;
            int samples = 0, returned = 0;
            Color c;
            Vector3 dir;
            float dotNL = 0.0f;
            for (;;) {
                int size = 0;
                auto *stored = static_cast<VolumeSampleRecord *>(
                    zo_shaderstate_get(state, KOR_KEY_VOLUME_SAMPLE, &size));
                if (stored) stored->attenuation = 0.0f;
                c = kBlack;
                if (!zo_sample_light(&c, &dir, &dotNL, state, request->light, &samples)) break;
                stored = static_cast<VolumeSampleRecord *>(
                    zo_shaderstate_get(state, KOR_KEY_VOLUME_SAMPLE, &size));
                sum.r += c.r, sum.g += c.g, sum.b += c.b, sum.a += c.a;
                if (stored) attenuation += stored->attenuation;
                if (++returned >= kMaxSamplesPerStep) break;
            }
            Color sample = kBlack;
            if (returned > 0) {
                const float w = 1.0f / returned;
                sample = Color{sum.r * w, sum.g * w, sum.b * w, sum.a * w};
                attenuation *= w;
            }
            going = callback(accumulator, request->volumeParams, march, &ray, t0, t1, &sample,
                             attenuation) != 0;
            t0 = t1;
        }
    }

    state->point = statePoint;
    zo_shaderstate_set(state, KOR_KEY_VOLUME_SAMPLE, savedSize ? saved : nullptr, savedSize,
                       ZO_SHADERSTATE_RAY_TREE);
    return 1;
}

}  // namespace kor
