// The host functions for spaces (internal space is world space) and the
// hit triangle's vectors.
#include <cmath>
#include <cstring>

#include "api.h"
#include "ies.h"
#include "photon.h"
#include "session.h"
#include "sky.h"

using namespace korhost;
using namespace korhost::api;

// ---------------------------------------------------------------------------
// Spaces. Internal space is world space.

namespace {
const zoInstanceRecord *state_instance(RenderState *state, bool light) {
    if (!state) return nullptr;
    return instance_record(light ? state->light_instance : state->instance);
}

void copy_out(Vector3 *out, const Vector3 *in) {
    if (out && in) *out = *in;
}
}  // namespace

HOST_API void zo_point_to_world(Vector3 *out, RenderState *, const Vector3 *in) {
    copy_out(out, in);
}
HOST_API void zo_point_from_world(Vector3 *out, RenderState *, const Vector3 *in) {
    copy_out(out, in);
}
HOST_API void zo_vector_to_world(Vector3 *out, RenderState *, const Vector3 *in) {
    copy_out(out, in);
}
HOST_API void zo_vector_from_world(Vector3 *out, RenderState *, const Vector3 *in) {
    copy_out(out, in);
}
HOST_API void zo_normal_to_world(Vector3 *out, RenderState *, const Vector3 *in) {
    copy_out(out, in);
}
HOST_API void zo_normal_from_world(Vector3 *out, RenderState *, const Vector3 *in) {
    copy_out(out, in);
}

#define CAMERA_SPACE(name, matrix, fn)                                   \
    HOST_API void name(Vector3 *out, RenderState *, const Vector3 *in) { \
        Session *s = session();                                          \
        if (!out || !in) return;                                         \
        *out = s ? fn(s->camera.matrix, *in) : *in;                      \
    }
CAMERA_SPACE(zo_point_to_camera, from_world, xform_point)
CAMERA_SPACE(zo_point_from_camera, to_world, xform_point)
CAMERA_SPACE(zo_vector_to_camera, from_world, xform_vector)
CAMERA_SPACE(zo_vector_from_camera, to_world, xform_vector)
CAMERA_SPACE(zo_normal_to_camera, to_world, xform_normal)
CAMERA_SPACE(zo_normal_from_camera, from_world, xform_normal)

#define INSTANCE_SPACE(name, light, matrix, fn)                               \
    HOST_API void name(Vector3 *out, RenderState *state, const Vector3 *in) { \
        if (!out || !in) return;                                              \
        const zoInstanceRecord *r = state_instance(state, light);             \
        *out = r ? fn(r->matrix, *in) : *in;                                  \
    }
INSTANCE_SPACE(zo_point_to_object, false, from_world, xform_point)
INSTANCE_SPACE(zo_point_from_object, false, to_world, xform_point)
INSTANCE_SPACE(zo_vector_to_object, false, from_world, xform_vector)
INSTANCE_SPACE(zo_vector_from_object, false, to_world, xform_vector)
INSTANCE_SPACE(zo_normal_to_object, false, to_world, xform_normal)
INSTANCE_SPACE(zo_normal_from_object, false, from_world, xform_normal)
INSTANCE_SPACE(zo_point_to_light, true, from_world, xform_point)
INSTANCE_SPACE(zo_point_from_light, true, to_world, xform_point)
INSTANCE_SPACE(zo_vector_to_light, true, from_world, xform_vector)
INSTANCE_SPACE(zo_vector_from_light, true, to_world, xform_vector)
INSTANCE_SPACE(zo_normal_to_light, true, to_world, xform_normal)
INSTANCE_SPACE(zo_normal_from_light, true, from_world, xform_normal)

HOST_API void zo_point_to_raster(Vector3 *out, RenderState *, const Vector3 *in) {
    Session *s = session();
    if (!out || !in || !s) return;
    camera_to_raster(*s, xform_point(s->camera.from_world, *in), out);
}

HOST_API void zo_point_transform(Vector3 *out, const Vector3 *in, const zoMatrix m) {
    if (out && in && m) *out = xform_point(m, *in);
}
HOST_API void zo_vector_transform(Vector3 *out, const Vector3 *in, const zoMatrix m) {
    if (out && in && m) *out = xform_vector(m, *in);
}
HOST_API void zo_vector_transform_T(Vector3 *out, const Vector3 *in, const zoMatrix m) {
    if (!out || !in || !m) return;
    Vector3 v = *in;
    *out = {v.x * m[0] + v.y * m[1] + v.z * m[2], v.x * m[4] + v.y * m[5] + v.z * m[6],
            v.x * m[8] + v.y * m[9] + v.z * m[10]};
}
HOST_API void zo_matrix_ident(zoMatrix m) {
    if (m) mat_identity(m);
}
HOST_API void zo_matrix_prod(zoMatrix out, const zoMatrix a, const zoMatrix b) {
    if (out && a && b) mat_mul(out, a, b);
}
HOST_API zoBoolean zo_matrix_invert(zoMatrix out, const zoMatrix in) {
    return out && in && mat_invert(out, in) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The hit triangle.

namespace {
// The unit tangents of the hit triangle (its texture space 0) as all three
// vectors: set 0 along u, set 1 along v. Out of line, so that the vertex
// cases of zo_tri_vectors stay a leaf.
__attribute__((noinline)) zoBoolean tri_tangents(const InstanceEntry &inst, int prim, int set,
                                                 Vector3 v[3]) {
    Vector3 du, dv;
    if ((set != 0 && set != 1) || !triangle_tangents(inst, prim, 0, &du, &dv)) return 0;
    v[0] = v[1] = v[2] = normalize(set == 0 ? du : dv);
    return 1;
}
}  // namespace

HOST_API zoBoolean zo_tri_vectors(RenderState *state, int which, int set, Vector3 v[3]) {
    const uint32_t *i = nullptr;
    const InstanceEntry *inst = hit_instance(state, &i);
    if (!inst || !v) return 0;
    const Mesh &m = inst->object->mesh;
    const std::vector<Vector3> *src = nullptr;
    switch (which) {
        case ZO_TRI_TEXTURE:
            if (set < 0 || static_cast<size_t>(set) >= m.tex.size()) return 0;
            src = &m.tex[set];
            break;
        case ZO_TRI_POSITION: src = &m.P; break;
        // vertex normals and motion vectors in object space, like the positions
        case ZO_TRI_NORMALS: src = &m.N; break;
        case ZO_TRI_MOTION: src = &m.motion; break;
        case ZO_TRI_TANGENTS: return tri_tangents(*inst, state->pri_index, set, v);
        default: return 0;
    }
    if (src->empty()) return 0;
    const Vector3 *p = src->data();
    v[0] = p[i[0]];
    v[1] = p[i[1]];
    v[2] = p[i[2]];
    return 1;
}

HOST_API zoBoolean zo_texture_interpolate(Vector3 *result, RenderState *state, int space) {
    const uint32_t *i = nullptr;
    const InstanceEntry *inst = hit_instance(state, &i);
    if (!inst || !result) return 0;
    const Mesh &m = inst->object->mesh;
    if (space < 0 || static_cast<size_t>(space) >= m.tex.size()) return 0;
    const auto &t = m.tex[space];
    *result = t[i[0]] * state->bary[0] + t[i[1]] * state->bary[1] + t[i[2]] * state->bary[2];
    return 1;
}

HOST_API zoBoolean zo_raster_unit(RenderState *state, Vector3 *x, Vector3 *y) {
    Session *s = session();
    if (!s || !state || !x || !y) return 0;
    const zoCamera &c = s->camera.cam;
    float sx = c.aperture / c.x_resolution;
    float sy = c.aperture / (c.aspect * c.y_resolution);
    if (!c.orthographic) {
        Vector3 pc = xform_point(s->camera.from_world, state->point);
        float k = std::fabs(pc.z) / c.focal;
        sx *= k;
        sy *= k;
    }
    *x = xform_vector(s->camera.to_world, Vector3{sx, 0, 0});
    *y = xform_vector(s->camera.to_world, Vector3{0, sy, 0});
    return 1;
}
