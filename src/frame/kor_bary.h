// Barycentric derivatives of the shaded triangle over the raster (the core
// of every footprint of the shading context) and the camera-space position
// triangle.
#ifndef KORSHADERS_FRAME_KOR_BARY_H
#define KORSHADERS_FRAME_KOR_BARY_H

#include "kor_context.h"

namespace kor {

// The position triangle in camera space: the "KEY_9" hook's when set, else
// the host's object-space triangle turned into camera space; three zero
// vertices when there is none.
void cameraTriangle(RenderState *state, Vector3 v[3]);

// d(b1)/dx, d(b1)/dy, d(b2)/dx, d(b2)/dy of the state's triangle (zeros
// without a primitive). `cache`, when given, keeps what depends on the
// triangle alone between calls of one thread; true when the host's
// object-space position triangle was read on the way, into `object` when
// that is given.
bool triangleBaryDerivatives(RenderState *state, const ShadingContext *ctx, float out[4],
                             FootprintCache *cache, Vector3 object[3] = nullptr);

}  // namespace kor

#endif
