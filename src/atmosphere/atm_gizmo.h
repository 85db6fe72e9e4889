// Rays against the shapes of atmosphere gizmos, in gizmo space: a sphere
// about the origin, a cut below a floor height, a cylinder along +Z from 0
// to its height and a box over [0, height] in Z. The direction is a unit
// vector; hits are the ray parameters [t0, t1].
#ifndef KORSHADERS_ATMOSPHERE_ATM_GIZMO_H
#define KORSHADERS_ATMOSPHERE_ATM_GIZMO_H

#include <korshaders/host.h>
#include <math.h>

#include "kor_vector.h"

namespace kor {

inline bool gizmoSphere(float radius2, const Vector3 &o, const Vector3 &d, float *t0, float *t1) {
    const float b = dot(o, d);
    const float c = dot(o, o) - radius2;
    const float disc = b * b - c;
    if (disc < 0.0f) return false;
    const float s = sqrtf(disc);
    *t0 = -b - s;
    *t1 = -b + s;
    return true;
}

// Keeps the part of [t0, t1] at or above z = floor.
inline bool gizmoCutBelow(float floor, const Vector3 &o, const Vector3 &d, float *t0, float *t1) {
    const bool below0 = o.z + *t0 * d.z < floor;
    const bool below1 = o.z + *t1 * d.z < floor;
    if (below0 && below1) return false;
    if (below0 || below1) {
        const float t = (floor - o.z) / d.z;  // the two ends lie on both sides: d.z != 0
        if (below0)
            *t0 = t;
        else
            *t1 = t;
    }
    return true;
}

// Cuts [t0, t1] to lo <= o + t d <= hi along one axis.
inline bool gizmoSlab(float o, float d, float lo, float hi, float *t0, float *t1) {
    if (d == 0.0f) return o >= lo && o <= hi;
    float a = (lo - o) / d, b = (hi - o) / d;
    if (a > b) {
        const float t = a;
        a = b;
        b = t;
    }
    if (a > *t0) *t0 = a;
    if (b < *t1) *t1 = b;
    return *t0 <= *t1;
}

inline bool gizmoCylinder(float radius2, float height, const Vector3 &o, const Vector3 &d,
                          float *t0, float *t1) {
    const float a = d.x * d.x + d.y * d.y;
    if (a < 1.0e-5f) return false;
    const float b = o.x * d.x + o.y * d.y;
    const float c = o.x * o.x + o.y * o.y - radius2;
    const float disc = b * b - a * c;
    if (disc < 0.0f) return false;
    const float s = sqrtf(disc);
    *t0 = (-b - s) / a;
    *t1 = (-b + s) / a;
    if (*t0 < 0.0f && *t1 < 0.0f) return false;
    return gizmoSlab(o.z, d.z, 0.0f, height, t0, t1);
}

inline bool gizmoBox(float halfLength, float halfWidth, float height, const Vector3 &o,
                     const Vector3 &d, float *t0, float *t1) {
    *t0 = -1.0e9f;
    *t1 = 1.0e9f;
    return gizmoSlab(o.x, d.x, -halfLength, halfLength, t0, t1) &&
           gizmoSlab(o.y, d.y, -halfWidth, halfWidth, t0, t1) &&
           gizmoSlab(o.z, d.z, 0.0f, height, t0, t1);
}

}  // namespace kor

#endif
