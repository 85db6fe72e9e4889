// The bake lens's per-thread record and the routines it publishes under
// "KEY_9" (the shaded triangle for the shading context) and "KEY_10" (the
// working triangle's tangent frame).
#ifndef KORSHADERS_ELEMENTS_KOR_RTTLENS_H
#define KORSHADERS_ELEMENTS_KOR_RTTLENS_H

#include <korshaders/host.h>
#include <stddef.h>

#include "kor_rtt.h"
#include "shader.h"

// The lens's parameter record (shaders/rtt.json).
struct RttLensParams {
    Tag workingInstance;
    int32_t uvChannelId;
    zoBoolean projectionOn;
    kor::ParamArray<Tag> projectionTargets;  // instances; empty: every other object
    Tag projectionSelection;  // triangle bits of the first target (sub-object selection)
    zoBoolean useCage;
    Tag cageInstance;  // same triangles as the working model
    float rayOffset;   // without a cage: how far above the surface the search starts
    zoBoolean twoSided;
    zoBoolean useWorkingModelOnMiss;
    Tag triangleSelection;
    Color backgroundColor;
    int32_t normalSpace;
    zoBoolean flipNormalX;
    zoBoolean flipNormalY;
    float heightMin;
    float heightMax;
};
static_assert(offsetof(RttLensParams, projectionSelection) == 24, "lens record layout");
static_assert(offsetof(RttLensParams, backgroundColor) == 52, "lens record layout");
static_assert(sizeof(RttLensParams) == 88, "lens record layout");

// Per render thread (the host's thread slot of the lens instance): the
// sample's working hit, the state the material is run with and the
// projection record, filled before each shading call.
struct RttThreadRecord {
    RttSurfaceHit working;
    int32_t projected;  // the shaded surface is a projection target
    float xres, yres;   // the camera's resolution: the texture size
    Vector3 tex[ZO_MESH_MAX_TEXTURE_SPACES];
    ProjectionRecord projection;
    RenderState shade;
};

namespace kor {

// Camera-space corners of the shaded triangle: the working triangle, or the
// projection target's triangle under the state. `data` is the record.
zoBoolean rttCameraTriangle(void *data, RenderState *state, Vector3 v[3]);
// Raster-space corners: the working triangle's UVs times the resolution,
// which is where the bake raster sees that triangle.
zoBoolean rttRasterTriangle(void *data, RenderState *state, Vector3 v[3]);
// U, V and normal directions of the working triangle from its corners and
// UVs; false for a triangle whose UVs have no area.
zoBoolean rttTangentBasis(const RttSurfaceHit *hit, RenderState *state, Vector3 basis[3]);

}  // namespace kor

#endif
