// Barycentric derivatives of the shaded triangle over the raster (the core
// of every footprint of the shading context) and the camera-space position
// triangle.
#ifndef KORSHADERS_FRAME_KOR_BARY_H
#define KORSHADERS_FRAME_KOR_BARY_H

#include "kor_context.h"
#include "kor_vector.h"

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

// The texture triangle of map channel `channel`: the "KEY_8" hook's when
// the channel has one, else the host's; three zero vertices when there is
// none.
void textureTriangle(RenderState *state, int channel, Vector3 v[3]);

// Per component |a (V1 - V0) + c (V2 - V0)| + |b (V1 - V0) + d (V2 - V0)|
// for barycentric derivatives (a, b, c, d): the extent over one pixel of
// what the triangle's vertices carry.
__attribute__((always_inline)) inline Vector3 triangleFootprint(const float bary[4],
                                                                const Vector3 v[3]) {
    const Vector3 e1 = v[1] - v[0], e2 = v[2] - v[0];
    return abs(e1 * bary[0] + e2 * bary[2]) + abs(e1 * bary[1] + e2 * bary[3]);
}

// The footprint of texture channel `channel` on the state's own surface:
// triangleBaryDerivatives (with `cache`) applied to textureTriangle.
void channelTriangleFootprint(RenderState *state, const ShadingContext *ctx, int channel,
                              Vector3 *out, FootprintCache *cache);

}  // namespace kor

#endif
