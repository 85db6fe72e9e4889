// Barycentric derivatives of the shaded triangle over the raster, and the
// camera-space position triangle they start from.
#include "kor_bary.h"

#include <emmintrin.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "kor_statekeys.h"
#include "kor_support.h"
#include "kor_vector.h"

namespace kor {
namespace {

void zero3(Vector3 v[3]) {
    v[0] = v[1] = v[2] = kZero;
}

const TriangleHook *triangle_hook(RenderState *state) {
    if (!stateKeyMayBeStored(kOwnKeyTriangleHook)) return nullptr;
    return static_cast<const TriangleHook *>(zo_shaderstate_get(state, "KEY_9", nullptr));
}

// The object-space position triangle turned into camera space.
void object_to_camera(RenderState *state, const Vector3 object[3], Vector3 v[3]) {
    for (int i = 0; i < 3; ++i) {
        Vector3 internal;
        zo_point_from_object(&internal, state, &object[i]);
        zo_point_to_camera(&v[i], state, &internal);
    }
}

// Position triangle in camera space; `hook` is the state's triangle hook.
void camera_triangle(RenderState *state, const TriangleHook *hook, Vector3 v[3]) {
    if (hook && hook->cameraTriangle) {
        if (!hook->cameraTriangle(hook->data, state, v)) zero3(v);
        return;
    }
    Vector3 object[3];
    if (!zo_tri_vectors(state, ZO_TRI_POSITION, 0, object)) {
        zero3(v);
        return;
    }
    object_to_camera(state, object, v);
}

// Lanes (x, y, z, 0) of a vector, and the vector operations of
// kor_vector.h done on them, each lane with the very operations (in the
// same order) of the scalar form.
__attribute__((always_inline)) inline __m128 lanes(const Vector3 &v) {
    return _mm_setr_ps(v.x, v.y, v.z, 0.0f);
}
// dot(a, b) in lane 0: (a.x b.x + a.y b.y) + a.z b.z
__attribute__((always_inline)) inline __m128 dot_lanes(__m128 a, __m128 b) {
    const __m128 m = _mm_mul_ps(a, b);
    return _mm_add_ss(_mm_add_ss(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 1, 1, 1))),
                      _mm_movehl_ps(m, m));
}
__attribute__((always_inline)) inline __m128 cross_lanes(__m128 a, __m128 b) {
    const __m128 a_yzx = _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 0, 2, 1));
    const __m128 a_zxy = _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 1, 0, 2));
    const __m128 b_yzx = _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 0, 2, 1));
    const __m128 b_zxy = _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 1, 0, 2));
    return _mm_sub_ps(_mm_mul_ps(a_yzx, b_zxy), _mm_mul_ps(a_zxy, b_yzx));
}
__attribute__((always_inline)) inline __m128 broadcast0(__m128 a) {
    return _mm_shuffle_ps(a, a, _MM_SHUFFLE(0, 0, 0, 0));
}
// unit(a): a / |a|, the zero vector as it is
__attribute__((always_inline)) inline __m128 unit_lanes(__m128 a) {
    const __m128 l = _mm_sqrt_ss(dot_lanes(a, a));
    return _mm_cvtss_f32(l) > 0 ? _mm_div_ps(a, broadcast0(l)) : a;
}

// Unfolds a reflected or refracted path into the straight line the eye
// sees: each segment is turned about its origin onto the direction of the
// ray that spawned it, from the current ray back to the eye ray.
struct Unfolding {
    Vector3 vertices[3];
    Vector3 point;
    Vector3 normal;
};

// The three vertices and the point turned together, one per lane, each
// lane doing exactly the operations of o + rotate(v - o, n, c, s), where
// rotate(v, n, c, s) = v c + cross(n, v) s + n (dot(n, v) (1 - c)) turns v
// about the unit axis n by the angle of cosine c and sine s; the normal
// (lanes x, y, z) is turned by the same rotation.
struct TurnedPoints {
    __m128 x, y, z;
    __m128 normal;
};

__attribute__((always_inline)) inline void turn_points(TurnedPoints &p, Vector3 o, __m128 n,
                                                       float c, float s) {
    const __m128 wx = _mm_sub_ps(p.x, _mm_set1_ps(o.x));
    const __m128 wy = _mm_sub_ps(p.y, _mm_set1_ps(o.y));
    const __m128 wz = _mm_sub_ps(p.z, _mm_set1_ps(o.z));
    const __m128 nx = broadcast0(n), ny = _mm_shuffle_ps(n, n, _MM_SHUFFLE(1, 1, 1, 1)),
                 nz = _mm_shuffle_ps(n, n, _MM_SHUFFLE(2, 2, 2, 2));
    const __m128 cc = _mm_set1_ps(c), ss = _mm_set1_ps(s), rest = _mm_set1_ps(1 - c);
    // cross(n, w)
    const __m128 kx = _mm_sub_ps(_mm_mul_ps(ny, wz), _mm_mul_ps(nz, wy));
    const __m128 ky = _mm_sub_ps(_mm_mul_ps(nz, wx), _mm_mul_ps(nx, wz));
    const __m128 kz = _mm_sub_ps(_mm_mul_ps(nx, wy), _mm_mul_ps(ny, wx));
    // dot(n, w) (1 - c)
    const __m128 along = _mm_mul_ps(
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(nx, wx), _mm_mul_ps(ny, wy)), _mm_mul_ps(nz, wz)), rest);
    p.x = _mm_add_ps(
        _mm_set1_ps(o.x),
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(wx, cc), _mm_mul_ps(kx, ss)), _mm_mul_ps(nx, along)));
    p.y = _mm_add_ps(
        _mm_set1_ps(o.y),
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(wy, cc), _mm_mul_ps(ky, ss)), _mm_mul_ps(ny, along)));
    p.z = _mm_add_ps(
        _mm_set1_ps(o.z),
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(wz, cc), _mm_mul_ps(kz, ss)), _mm_mul_ps(nz, along)));
    const __m128 v = p.normal;
    p.normal = _mm_add_ps(_mm_add_ps(_mm_mul_ps(v, cc), _mm_mul_ps(cross_lanes(n, v), ss)),
                          _mm_mul_ps(n, broadcast0(_mm_mul_ss(dot_lanes(n, v), rest))));
}

void unfold(RenderState *state, Unfolding &u) {
    if (!state->reflection_level && !state->refraction_level) return;
    Vector3 camera, o;
    zo_vector_to_camera(&camera, state, &state->dir);
    zo_point_to_camera(&o, state, &state->org);
    __m128 d = unit_lanes(lanes(camera));
    TurnedPoints p = {_mm_setr_ps(u.vertices[0].x, u.vertices[1].x, u.vertices[2].x, u.point.x),
                      _mm_setr_ps(u.vertices[0].y, u.vertices[1].y, u.vertices[2].y, u.point.y),
                      _mm_setr_ps(u.vertices[0].z, u.vertices[1].z, u.vertices[2].z, u.point.z),
                      lanes(u.normal)};
    bool turned = false;
    for (RenderState *parent = state->parent; parent; parent = parent->parent) {
        zo_vector_to_camera(&camera, parent, &parent->dir);
        const __m128 dp = unit_lanes(lanes(camera));
        const __m128 axis = cross_lanes(d, dp);
        const __m128 s = _mm_sqrt_ss(dot_lanes(axis, axis));
        if (_mm_cvtss_f32(s) > 0) {
            const __m128 n = _mm_div_ps(axis, broadcast0(s));
            turn_points(p, o, n, _mm_cvtss_f32(dot_lanes(d, dp)), _mm_cvtss_f32(s));
            turned = true;
        }
        d = dp;
        // only a segment turned after this one needs its origin: the last
        // (the eye ray's) is never asked for
        if (parent->parent) zo_point_to_camera(&o, parent, &parent->org);
    }
    if (!turned) return;
    alignas(16) float x[4], y[4], z[4], n[4];
    _mm_store_ps(x, p.x);
    _mm_store_ps(y, p.y);
    _mm_store_ps(z, p.z);
    _mm_store_ps(n, p.normal);
    for (int i = 0; i < 3; ++i) u.vertices[i] = {x[i], y[i], z[i]};
    u.point = {x[3], y[3], z[3]};
    u.normal = {n[0], n[1], n[2]};
}

// What the barycentric derivatives take from the triangle alone: for an
// orthographic camera the derivatives themselves, for a perspective one
// the factors that the raster position and the depth then combine.
void triangle_plane(RenderState *state, const ShadingContext *ctx, const Vector3 v[3],
                    Vector3 normal, BaryPlane *plane) {
    const Vector3 P0 = v[0];
    const Vector3 e1 = v[1] - P0, e2 = v[2] - P0;
    const float sx = ctx->pixelScaleX, sy = ctx->pixelScaleY;
    float *k = plane->factors;

    plane->orthographic = state->camera && state->camera->orthographic;
    if (plane->orthographic) {
        float det = e1.x * e2.y - e1.y * e2.x;
        if (det == 0.0f) det = 1e-06f;
        k[0] = e2.y / (sx * det);
        k[1] = -e2.x / (sy * det);
        k[2] = -e1.y / (sx * det);
        k[3] = e1.x / (sy * det);
        return;
    }

    Vector3 n = cross(e1, e2);
    if (state->inv_normal) n = -n;
    const float d = -dot(n, P0);
    const int axis = dominantAxis(normal);
    const int a = axis == 3 ? 0 : axis;
    float f = component(n, a) * d;
    if (f == 0.0f) f = 1.0f;
    const Vector3 m = n / f;
    // reciprocals once: six divisions become multiplications
    const float isx = 1.0f / sx, isy = 1.0f / sy;
    const float q = isx * isy;
    // k1, k2, c1, c2, c3, c4
    switch (a) {
        case 0:
            k[0] = -m.x * e2.z * q;
            k[1] = -m.x * e1.z * q;
            k[2] = m.x * e2.y * isx;
            k[3] = -(m.z * e2.z + m.y * e2.y) * isy;
            k[4] = m.x * e1.y * isx;
            k[5] = -(m.z * e1.z + m.y * e1.y) * isy;
            break;
        case 1:
            k[0] = -m.y * e2.z * q;
            k[1] = -m.y * e1.z * q;
            k[2] = -(m.z * e2.z + m.x * e2.x) * isx;
            k[3] = m.y * e2.x * isy;
            k[4] = -(m.z * e1.z + m.x * e1.x) * isx;
            k[5] = m.y * e1.x * isy;
            break;
        default:
            k[0] = (m.y * e2.y + m.x * e2.x) * q;
            k[1] = (m.y * e1.y + m.x * e1.x) * q;
            k[2] = m.z * e2.y * isx;
            k[3] = m.z * e2.x * isy;
            k[4] = m.z * e1.y * isx;
            k[5] = m.z * e1.x * isy;
            break;
    }
}

// The derivatives at the state's raster position, `depth` being the
// camera-space depth of the shading point (perspective only).
__attribute__((always_inline)) inline void plane_derivatives(RenderState *state,
                                                             const BaryPlane &plane, float depth,
                                                             float out[4]) {
    const float *k = plane.factors;
    if (plane.orthographic) {
        out[0] = k[0];
        out[1] = k[1];
        out[2] = k[2];
        out[3] = k[3];
        return;
    }
    const float k1 = k[0], k2 = k[1], c1 = k[2], c2 = k[3], c3 = k[4], c4 = k[5];
    const float xres = state->camera ? static_cast<float>(state->camera->x_resolution) : 0.0f;
    const float yres = state->camera ? static_cast<float>(state->camera->y_resolution) : 0.0f;
    const float X = (state->raster_x - xres * 0.5f) + 0.5f;
    const float Y = ((yres - state->raster_y) - yres * 0.5f) + 0.5f;
    const float z2 = depth * depth;
    out[0] = -z2 * (c1 + Y * k1);
    out[1] = z2 * (c2 + X * k1);
    out[2] = z2 * (c3 + Y * k2);
    out[3] = -z2 * (k2 * X + c4);
}

// The geometric normals are bit for bit the same.
inline bool same_normal(const Vector3 &a, const Vector3 &b) {
    uint32_t x[3], y[3];
    memcpy(x, &a, 12);
    memcpy(y, &b, 12);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2])) == 0;
}

// The direct entry holds the plane of the state's triangle: the triangle of
// the same index in the same instance's object (within a frame it keeps
// its vertices), seen by the same camera from the same side, with the same
// geometric normal at the hit.
inline bool holds_plane(const decltype(FootprintCache::direct) &c, RenderState *state) {
    return c.valid && c.triangle == state->pri_index && c.instance == state->instance &&
           c.camera == state->camera && c.invNormal == state->inv_normal &&
           same_normal(c.normal, state->normal_geom);
}

// The triangle's part of the derivatives of an unreflected, unrefracted
// ray's hit (the same for every sample on the triangle), from the cache
// when it holds the triangle, else from the host's object-space triangle
// (null when the host has none). `object`, when given, receives that
// triangle.
__attribute__((always_inline)) inline const BaryPlane *cached_plane(RenderState *state,
                                                                    const ShadingContext *ctx,
                                                                    FootprintCache *cache,
                                                                    Vector3 object[3]) {
    auto &c = cache->direct;
    if (holds_plane(c, state)) {
        if (object) {
            object[0] = c.object[0];
            object[1] = c.object[1];
            object[2] = c.object[2];
        }
        return &c.plane;
    }
    Vector3 own[3];
    if (!object) object = own;
    if (!zo_tri_vectors(state, ZO_TRI_POSITION, 0, object)) return nullptr;
    Vector3 v[3], normal;
    object_to_camera(state, object, v);
    zo_normal_to_camera(&normal, state, &state->normal_geom);
    triangle_plane(state, ctx, v, normal, &c.plane);
    c.valid = 1;
    c.triangle = state->pri_index;
    c.instance = state->instance;
    c.camera = state->camera;
    c.invNormal = state->inv_normal;
    c.object[0] = object[0];
    c.object[1] = object[1];
    c.object[2] = object[2];
    c.normal = state->normal_geom;
    c.texture.valid = 0;
    return &c.plane;
}

// The camera-space triangle of a reflected or refracted ray's hit, from the
// cache when it holds the same triangle of the same instance seen by the
// same camera, else from the host's object-space triangle (null when the
// host has none); the entry's kept texture triangle is returned. `object`,
// when given, receives the object-space triangle.
KeptTexture *cached_vertices(RenderState *state, FootprintCache *cache, Vector3 object[3],
                             Vector3 v[3]) {
    auto holds = [&](const decltype(cache->folded[0]) &c) {
        return c.valid && c.triangle == state->pri_index && c.instance == state->instance &&
               c.camera == state->camera;
    };
    int k = 0;
    if (!holds(cache->folded[0])) {
        k = 1;
        if (!holds(cache->folded[1])) {
            Vector3 own[3];
            if (!zo_tri_vectors(state, ZO_TRI_POSITION, 0, object ? object : own)) return nullptr;
            k = cache->foldedNext & 1;
            cache->foldedNext = k ^ 1;
            auto &c = cache->folded[k];
            const Vector3 *read = object ? object : own;
            object_to_camera(state, read, c.vertices);
            c.valid = 1;
            c.triangle = state->pri_index;
            c.instance = state->instance;
            c.camera = state->camera;
            c.object[0] = read[0];
            c.object[1] = read[1];
            c.object[2] = read[2];
            c.texture.valid = 0;
            object = nullptr;  // already filled
        }
    }
    auto &c = cache->folded[k];
    if (object) {
        object[0] = c.object[0];
        object[1] = c.object[1];
        object[2] = c.object[2];
    }
    v[0] = c.vertices[0];
    v[1] = c.vertices[1];
    v[2] = c.vertices[2];
    return &c.texture;
}

// The rest of the derivatives of a reflected or refracted ray's hit (or of
// one without a cache) from the camera-space triangle in `u`.
__attribute__((always_inline)) inline void unfolded_derivatives(RenderState *state,
                                                                const ShadingContext *ctx,
                                                                Unfolding &u, float out[4]) {
    zo_point_to_camera(&u.point, state, &state->point);
    zo_normal_to_camera(&u.normal, state, &state->normal_geom);
    unfold(state, u);
    BaryPlane plane;
    triangle_plane(state, ctx, u.vertices, u.normal, &plane);
    plane_derivatives(state, plane, u.point.z, out);
}

// triangleBaryDerivatives, inlined where the footprint is taken. `kept`,
// when given, receives the kept texture triangle of the cache entry that
// answered for the host's triangle (null when none did).
__attribute__((always_inline)) inline bool bary_derivatives(RenderState *state,
                                                            const ShadingContext *ctx, float out[4],
                                                            FootprintCache *cache,
                                                            Vector3 object[3],
                                                            KeptTexture **kept = nullptr) {
    if (kept) *kept = nullptr;
    out[0] = out[1] = out[2] = out[3] = 0.0f;
    if (!state->pri) return false;
    const TriangleHook *hook = ctx->bakeHooks ? triangle_hook(state) : nullptr;
    if (hook && hook->rasterTriangle) {
        Vector3 r[3];
        if (!hook->rasterTriangle(hook->data, state, r)) return false;
        const Vector3 A = r[0], B = r[1], C = r[2];
        float f = 2 * ((A.x - B.x) * (C.y - B.y) - (A.y - B.y) * (C.x - B.x));
        if (f == 0.0f) f = 1e-05f;
        out[0] = (C.y - B.y) / f;
        out[1] = -(C.x - B.x) / f;
        out[2] = -(A.y - B.y) / f;
        out[3] = (A.x - B.x) / f;
        return false;
    }
    if (!ctx->bakeHooks) hook = triangle_hook(state);
    Unfolding u;
    // the host's triangle (not the hook's) can come from the cache
    if (cache && !(hook && hook->cameraTriangle)) {
        if (!state->reflection_level && !state->refraction_level) {
            if (const BaryPlane *plane = cached_plane(state, ctx, cache, object)) {
                if (kept) *kept = &cache->direct.texture;
                Vector3 point = kZero;
                if (!plane->orthographic) zo_point_to_camera(&point, state, &state->point);
                plane_derivatives(state, *plane, point.z, out);
                return true;
            }
        } else if (KeptTexture *texture = cached_vertices(state, cache, object, u.vertices)) {
            if (kept) *kept = texture;
            unfolded_derivatives(state, ctx, u, out);
            return true;
        }
    }
    camera_triangle(state, hook, u.vertices);
    unfolded_derivatives(state, ctx, u, out);
    return false;
}

// The texture triangle of a channel: the channel's hook, else the host's,
// which `kept` (the cache entry's, when given) holds when it was kept for
// the same channel, and keeps otherwise.
__attribute__((always_inline)) inline void texture_triangle(RenderState *state, int channel,
                                                            Vector3 v[3],
                                                            KeptTexture *kept = nullptr) {
    if (channel >= 0 && channel < 64 && stateKeyMayBeStored(kOwnKeyChannelHooks)) {
        auto *hooks = static_cast<ChannelHookTable *>(zo_shaderstate_get(state, "KEY_8", nullptr));
        if (hooks && hooks->hooks[channel]) {
            if (!hooks->hooks[channel](hooks->data[channel], state, channel, v)) zero3(v);
            return;
        }
    }
    if (kept && kept->valid && kept->channel == channel) {
        v[0] = kept->vertices[0];
        v[1] = kept->vertices[1];
        v[2] = kept->vertices[2];
        return;
    }
    if (!zo_tri_vectors(state, ZO_TRI_TEXTURE, channel, v)) {
        zero3(v);
        return;
    }
    if (kept) {
        kept->valid = 1;
        kept->channel = channel;
        kept->vertices[0] = v[0];
        kept->vertices[1] = v[1];
        kept->vertices[2] = v[2];
    }
}

}  // namespace

void cameraTriangle(RenderState *state, Vector3 v[3]) {
    camera_triangle(state, triangle_hook(state), v);
}

bool triangleBaryDerivatives(RenderState *state, const ShadingContext *ctx, float out[4],
                             FootprintCache *cache, Vector3 object[3]) {
    return bary_derivatives(state, ctx, out, cache, object);
}

void textureTriangle(RenderState *state, int channel, Vector3 v[3]) {
    texture_triangle(state, channel, v);
}

void channelTriangleFootprint(RenderState *state, const ShadingContext *ctx, int channel,
                              Vector3 *out, FootprintCache *cache) {
    float bary[4];
    KeptTexture *kept;
    bary_derivatives(state, ctx, bary, cache, nullptr, &kept);
    Vector3 t[3];
    texture_triangle(state, channel, t, kept);
    *out = triangleFootprint(bary, t);
}

}  // namespace kor
