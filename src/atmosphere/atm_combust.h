// The fire effect: its parameter record, and the per-instance record with
// the colours and scales fixed for the phase and one record per gizmo. The
// gizmo data blocks have the layout of VolumeGizmoData (atm_vfog.h).
#ifndef KORSHADERS_ATMOSPHERE_ATM_COMBUST_H
#define KORSHADERS_ATMOSPHERE_ATM_COMBUST_H

#include <korshaders/host.h>
#include <stddef.h>

#include "atm_vfog.h"
#include "shader.h"

// Parameter record of kor_FireEffect (read in place).
struct FireEffectParams {
    Color innerColor;             // 0
    Color outerColor;             // 4
    Color smokeColor;             // 8
    int32_t flameType;            // 12: 0 fire balls, otherwise tendrils
    float stretch;                // 13
    float regularity;             // 14
    float flameSize;              // 15
    float flameDetail;            // 16: octaves
    float density;                // 17
    int32_t samples;              // 18
    float phase;                  // 19
    float drift;                  // 20
    zoBoolean explode;            // 21
    zoBoolean smoke;              // 22
    float fury;                   // 23
    zoBoolean on;                 // 24
    kor::ParamArray<Tag> gizmos;  // 25
};
static_assert(offsetof(FireEffectParams, flameType) == 12 * 4, "fire effect record layout");
static_assert(offsetof(FireEffectParams, on) == 24 * 4, "fire effect record layout");
static_assert(offsetof(FireEffectParams, gizmos) == 25 * 4, "fire effect record layout");

struct FireGizmo;
// 0 at the gizmo's core, 1 at its boundary (gizmo space).
typedef float (*FireGizmoShape)(const FireGizmo &g, const Vector3 &p);
// Entry t0 and exit t1 of the ray o + t d (d a unit vector).
typedef bool (*FireGizmoIntersect)(const FireGizmo &g, const Vector3 &o, const Vector3 &d,
                                   float *t0, float *t1);

struct FireGizmo {
    int32_t skip;
    float radius, radius2;   // radius x size scale and its square
    float fifth, twoFifths;  // of that radius (hemisphere)
    float halfLength;        // box, along x
    float halfWidth;         // box, along y
    float height, halfHeight;
    Vector3 offset;  // random, the third minus the drift
    float transform[16];
    FireGizmoShape shape;
    FireGizmoIntersect intersect;
};

struct FireEffectRecord {
    Color innerColor;  // as adjusted for the phase
    Color outerColor;
    float invSize;
    float densityScale;
    float invStretch;
    float phaseValue;  // the fourth noise coordinate
    float sizeScale;
    int32_t warned;  // warn-once word
    int32_t gizmoCount;
    FireGizmo *gizmos;  // a block of its own
};

namespace kor {

// The summed |noise4| over `octaves` (fractional part included); type 0
// returns the sum, any other type max(0.5 - sum, 0).
float fireTurbulence(const Vector3 &q, float w, float octaves, int type);

}  // namespace kor

#endif
