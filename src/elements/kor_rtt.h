// Records shared by render to texture (the bake lens and its grid) and the
// bake elements that read what the lens publishes for each sample.
#ifndef KORSHADERS_ELEMENTS_KOR_RTT_H
#define KORSHADERS_ELEMENTS_KOR_RTT_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>

// Shader-state key of the projection record.
#define KOR_KEY_PROJECTION "KEY_10"

// Where the grid lookup found the working model under a UV.
struct RttSurfaceHit {
    Vector3 point;        // the state's internal space
    Vector3 normal;       // unit
    int32_t triangle;     // triangle number
    float bary[3];        // barycentric weights of the three vertices
    Vector3 vertices[3];  // triangle positions after the instance transformation
    int32_t face;         // face value from the object data
    float uv[3][2];       // the triangle's three UV pairs
};

// The working triangle's tangent frame: U, V and normal directions in the
// state's internal space. Returns false when the triangle has no usable UVs.
typedef zoBoolean (*RttTangentBasis)(const RttSurfaceHit *hit, RenderState *state,
                                     Vector3 basis[3]);

// "KEY_10": published by the bake lens while it shades a projected surface.
// The first eight words are 32-bit; readers that only need the working
// instance and the miss switch read them by offset.
struct ProjectionRecord {
    Tag workingInstance;            // offset 0
    int32_t normalSpace;            // 0 world, 1 camera, 2 object, 3 and above tangent
    int32_t flipNormalX;            //
    int32_t flipNormalY;            //
    int32_t uvChannel;              // UV channel number
    float heightMin;                //
    float heightMax;                // raised above heightMin when not larger
    int32_t useWorkingModelOnMiss;  // offset 28
    const RttSurfaceHit *working;   // the working model's hit for this sample
    RttTangentBasis tangentBasis;   // the working triangle's tangent frame
};
static_assert(offsetof(ProjectionRecord, useWorkingModelOnMiss) == 28,
              "the miss switch is the eighth word");

#endif
