// Volume fog: its parameter record, the gizmo data block that the scene
// translation attaches for each bounding shape, and the per-instance record
// with one entry per gizmo.
#ifndef KORSHADERS_ATMOSPHERE_ATM_VFOG_H
#define KORSHADERS_ATMOSPHERE_ATM_VFOG_H

#include <korshaders/host.h>
#include <stddef.h>

#include "shader.h"

// Parameter record of kor_VolumeFog (read in place).
struct VolumeFogParams {
    Color fogColor;               // 0
    float noiseSize;              // 4
    float density;                // 5
    float noiseUniformity;        // 6
    float noisePhase;             // 7: non-zero selects the phase noise
    float stepSize;               // 8: march step in world units
    int32_t stepLimit;            // 9
    int32_t windDirection;        // 10: 0..5
    float windStrength;           // 11
    zoBoolean exponential;        // 12
    int32_t noiseType;            // 13: 0 regular, 1 fractal, 2 turbulence
    zoBoolean invertNoise;        // 14
    float noiseLevels;            // 15: octaves
    float noiseLow;               // 16
    float noiseHigh;              // 17
    float softenEdges;            // 18: 0..1
    zoBoolean fogBackground;      // 19
    zoBoolean on;                 // 20
    kor::ParamArray<Tag> gizmos;  // 21: data blocks of the bounding shapes
};
static_assert(offsetof(VolumeFogParams, stepLimit) == 9 * 4, "volume fog record layout");
static_assert(offsetof(VolumeFogParams, softenEdges) == 18 * 4, "volume fog record layout");
static_assert(offsetof(VolumeFogParams, gizmos) == 21 * 4, "volume fog record layout");

enum VolumeGizmoShape { kGizmoSphere = 0, kGizmoCylinder = 1, kGizmoBox = 2, kGizmoHemisphere = 3 };

// Data block of one bounding shape (query 105 on its tag). The matrix takes
// world-space row vectors to gizmo space: p' = p * M, translation in
// elements 12-14.
struct VolumeGizmoData {
    int32_t type;  // VolumeGizmoShape
    int32_t seed;
    float radius;
    float height;
    float length;  // along x
    float width;   // along y
    float transform[16];
};
static_assert(offsetof(VolumeGizmoData, transform) == 6 * 4, "gizmo data layout");

struct VolumeFogGizmo;
// 0 at the shape's centre, 1 at its boundary (gizmo space).
typedef float (*VolumeGizmoFalloff)(const VolumeFogGizmo &g, const Vector3 &p);
// Entry and exit distances of the ray o + t d (d a unit vector).
typedef bool (*VolumeGizmoIntersect)(const VolumeFogGizmo &g, const Vector3 &o, const Vector3 &d,
                                     float *t0, float *t1);

struct VolumeFogGizmo {
    int32_t skip;  // null tag or missing block
    int32_t type;
    // sphere and hemisphere: r, r², r/5, 2r/5; cylinder: r, r², h, h/2;
    // box: h, h/2, width/2, length/2
    float radius, radius2, fifth, twoFifths;
    float height, halfHeight, halfWidth, halfLength;
    Vector3 offset;  // random offset plus the wind offset
    float transform[16];
    VolumeGizmoFalloff falloff;
    VolumeGizmoIntersect intersect;
};

// Per-instance record; the gizmo records follow it in the same block.
struct VolumeFogRecord {
    int32_t phase;      // noisePhase != 0
    int32_t threshold;  // noiseLow or noiseHigh non-zero
    float edgeStart;    // 1 - softenEdges
    float edgeWidth;    // softenEdges
    float stepWeight;   // density / 500 * stepSize
    float inverseSize;  // 1 / noiseSize (noiseSize when it is 0)
    float uniformityDivisor;
    Vector3 wind;
    Vector3 windOffset;
    int32_t warned;  // warn-once word
    int32_t gizmoCount;
    VolumeFogGizmo *gizmos;
};

#endif
