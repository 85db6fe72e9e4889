// The ray tracer's own steps shared by trace.cpp (rays), trace_lights.cpp
// (lights and shadows) and gather.cpp (indirect light).
#pragma once

#include <embree3/rtcore.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "session.h"

namespace korhost {
namespace tracing {

constexpr float kPi = 3.14159265358979323846f;
constexpr int kMaxBlockers = 32;    // surfaces a shadow ray looks at
constexpr int kContinueLimit = 64;  // continued rays beyond the trace depth

// `to` = `from`: a state is copied for every ray and every light sample,
// sixteen bytes at a time without a loop.
inline void copy_state(RenderState &to, const RenderState &from) {
    static_assert(sizeof(RenderState) % 16 == 0, "states copy in 16-byte pieces");
    auto *d = reinterpret_cast<unsigned char *>(&to);
    const auto *f = reinterpret_cast<const unsigned char *>(&from);
#pragma GCC unroll 64
    for (size_t i = 0; i < sizeof(RenderState); i += 16) memcpy(d + i, f + i, 16);
}

// `to` = `from` but for the ray (org, dir, dist), which the caller sets:
// child, light and shadow states.
inline void copy_state_but_ray(RenderState &to, const RenderState &from) {
    constexpr size_t ray = offsetof(RenderState, org), end = offsetof(RenderState, point);
    static_assert(ray % 16 == 0 && end % 16 == 0 && offsetof(RenderState, dir) > ray &&
                      offsetof(RenderState, dist) < end && end - ray == 32,
                  "the ray is two 16-byte pieces of its own");
    auto *d = reinterpret_cast<unsigned char *>(&to);
    const auto *f = reinterpret_cast<const unsigned char *>(&from);
#pragma GCC unroll 64
    for (size_t i = 0; i < ray; i += 16) memcpy(d + i, f + i, 16);
#pragma GCC unroll 64
    for (size_t i = end; i < sizeof(RenderState); i += 16) memcpy(d + i, f + i, 16);
}

// Distance a secondary ray skips at its origin, against hitting the
// surface it leaves.
inline float ray_epsilon(const Vector3 &p) {
    const float m = std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z), 1.0f});
    return 1e-4f * m;
}
// The nearest surface on the ray between tnear and tfar: its distance in
// rh.ray.tfar and its hit in rh.hit; the ray's other fields are set only
// where the tracer is asked. With the thread's context, a small scene
// (SmallScene) answers without the tracer where it can.
bool intersect(const Session &s, const Vector3 &org, const Vector3 &dir, float tnear, float tfar,
               float time, RTCRayHit &rh, ThreadContext *ctx = nullptr);
// A new ray-tracing geometry (RTCGeometry) of one exact sphere, whose
// centre and radius are read from `centre_radius` (sphere.cpp).
void *new_sphere_geometry(void *device, float *centre_radius);
// The distances at which the ray from `org` along `dir` meets the exact
// sphere of `centre_radius` (centre and radius, as new_sphere_geometry
// reads them), nearer first; false if it misses. The centre is taken off
// the ray's closest approach before the root, which keeps the roots
// accurate far from the sphere. The tracer's own test of the sphere and the
// shadow rays that answer without the tracer share it (inline: a shadow ray
// asks it of every sphere).
inline bool sphere_roots(const float *centre_radius, const Vector3 &org, const Vector3 &dir,
                         float t[2]) {
    const Vector3 centre{centre_radius[0], centre_radius[1], centre_radius[2]};
    const float radius = centre_radius[3];
    const float dd = dot(dir, dir);
    const Vector3 to_centre = centre - org;
    const float along = dot(to_centre, dir) / dd;
    const Vector3 off = to_centre - dir * along;
    const float miss2 = dot(off, off), r2 = radius * radius;
    if (!(miss2 <= r2)) return false;
    const float half = std::sqrt((r2 - miss2) / dd);
    t[0] = along - half;
    t[1] = along + half;
    return true;
}
// Whether the tracer surely looks at the exact sphere of `centre_radius`
// when the ray from `org` along `dir` reaches distance d: the tracer looks
// at the sphere once the ray reaches its bounds, and the point at d lies
// inside them by more than the rounding of the bounds and of the tracer's
// test against them.
inline bool sphere_surely_reached(const float *centre_radius, const Vector3 &org,
                                  const Vector3 &dir, float d) {
    const Vector3 centre{centre_radius[0], centre_radius[1], centre_radius[2]};
    const float radius = centre_radius[3];
    auto larger = [](float a, float b) { return a > b ? a : b; };
    const float far =
        larger(larger(larger(std::fabs(centre.x), std::fabs(org.x)),
                      larger(std::fabs(centre.y), std::fabs(org.y))),
               larger(larger(std::fabs(centre.z), std::fabs(org.z)), larger(radius, 1.0f)));
    const float inside = radius - 1e-4f * far;
    const Vector3 off = org + dir * d - centre;
    return std::fabs(off.x) < inside && std::fabs(off.y) < inside && std::fabs(off.z) < inside;
}
// How the tracer's occlusion test answers for the exact sphere of
// `centre_radius` placed in the world and the ray between tnear and tfar:
// 0 the sphere never stops the ray (its own test finds no root there), 1 it
// stops it (a root there, where the tracer surely reaches the sphere), -1
// not known.
inline int sphere_blocks(const float *centre_radius, const Vector3 &org, const Vector3 &dir,
                         float tnear, float tfar) {
    float t[2];
    if (!sphere_roots(centre_radius, org, dir, t)) return 0;
    int answer = 0;
    for (float d : t) {
        if (!(d >= tnear && d <= tfar)) continue;
        if (sphere_surely_reached(centre_radius, org, dir, d)) return 1;
        answer = -1;
    }
    return answer;
}
// The hit the tracer's test of the exact sphere of `centre_radius` leaves
// for the ray from `org` along `dir` meeting it at distance d (primitive
// `prim` of geometry `geom`, under instance `inst`): the normal is the
// point less the centre, unnormalised, and the coordinates are 0. The
// tracer's test and the nearest hits found without it share it.
inline void sphere_hit(const float *centre_radius, const Vector3 &org, const Vector3 &dir, float d,
                       unsigned prim, unsigned geom, unsigned inst, RTCHit &hit) {
    const Vector3 n = org + dir * d - Vector3{centre_radius[0], centre_radius[1], centre_radius[2]};
    hit.Ng_x = n.x;
    hit.Ng_y = n.y;
    hit.Ng_z = n.z;
    hit.u = hit.v = 0;
    hit.primID = prim;
    hit.geomID = geom;
    hit.instID[0] = inst;
}
// Looks through the scene's geometry for a small scene (SmallScene).
void look_at_small_scene(const Session &s, SmallScene &sc);
// Whether the ray between tnear and tfar surely meets no triangle of the
// small scene's flat meshes.
//
// A triangle whose corners share their coordinate on an axis has edges with
// no component along that axis, so the tracer's normal has none across it
// and its distance to the triangle's plane is the offset of the ray's
// origin along the axis over the direction's component: a ray leaving the
// plane (or starting on it) never meets it beyond its start, and one that
// reaches the plane only at half its near end or before, or at twice its
// far end or after, is far from either end for the few roundings of that
// quotient.
inline bool small_scene_planes_clear(const SmallScene &sc, const Vector3 &org, const Vector3 &dir,
                                     float tnear, float tfar) {
    for (int k = 0; k < sc.planes; ++k) {
        const int a = sc.axis[k];
        const float o = (&org.x)[a] - sc.at[k], d = (&dir.x)[a];
        bool clear;
        if (d > 0)
            clear = o >= 0 || 2 * -o <= d * tnear || -o >= 2 * d * tfar;
        else if (d < 0)
            clear = o <= 0 || 2 * o <= -d * tnear || o >= 2 * -d * tfar;
        else
            clear = false;
        if (!clear) return false;
    }
    return true;
}
// 1 + the geometry id of the exact sphere placed in the world that last
// stopped an occlusion test on this thread by its own test (sphere.cpp);
// a shadow ray clears it before it asks.
extern __thread uint32_t tl_sphere_stop __attribute__((tls_model("initial-exec")));
// Once a scene with exact spheres is built: orders the build's reads of
// their centres and radii before anything this thread does next.
void sphere_bounds_joined();
// A hit on an exact sphere (Session::geom_exact) handed on as the facet of
// its mesh it lies in: the facet's triangle and the barycentric coordinates
// of the point's projection from the centre onto it; the normal stays the
// sphere's own. Any other hit is left as it is.
void sphere_facet(const Session &s, const Vector3 &org, const Vector3 &dir, RTCRayHit &rh);
inline void exact_hit_as_facet(const Session &s, const Vector3 &org, const Vector3 &dir,
                               RTCRayHit &rh) {
    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return;
    const unsigned id =
        rh.hit.instID[0] != RTC_INVALID_GEOMETRY_ID ? rh.hit.instID[0] : rh.hit.geomID;
    if (s.geom_exact[id]) sphere_facet(s, org, dir, rh);
}
// Whether any surface lies on the ray between tnear and tfar (inline: every
// shadow ray of a scene whose surfaces all stop light is one of these).
inline bool occluded(const Session &s, const Vector3 &org, const Vector3 &dir, float tnear,
                     float tfar, float time) {
    if (!s.rtc_scene) return false;
    RTCIntersectContext ic;
    rtcInitIntersectContext(&ic);
    RTCRay r;
    r.org_x = org.x;
    r.org_y = org.y;
    r.org_z = org.z;
    r.dir_x = dir.x;
    r.dir_y = dir.y;
    r.dir_z = dir.z;
    r.tnear = tnear;
    r.tfar = tfar;
    r.mask = 0xffffffffu;
    r.flags = 0;
    r.time = time;
    rtcOccluded1(static_cast<RTCScene>(s.rtc_scene), &ic, &r);
    return r.tfar < 0;
}
// Every surface on the ray between tnear and tfar in one traversal: the
// `capacity` nearest, nearest first, each once (a triangle that a
// high-quality build refers to twice is kept once), as intersect() would
// give them one after the other. *more tells that surfaces were left out.
// With `opaque`, the traversal ends at the first surface whose material
// has no shadow shader, *opaque set and nothing gathered.
int intersect_all(const Session &s, const Vector3 &org, const Vector3 &dir, float tnear, float tfar,
                  float time, RTCRayHit *hits, int capacity, bool *more, bool *opaque = nullptr);
inline const MaterialEntry *material_entry(const Session &s, Tag tag) {
    const DbItem *item = s.item(tag);
    if (!item || (item->type != ZO_DB_MATERIAL && item->type != ZO_DB_MATERIAL_PHENOMENON))
        return nullptr;
    return static_cast<const MaterialEntry *>(item->record);
}
// The light of a light or light-instance tag; null for others. Light
// shaders and shadow rays ask it of every sample: the session's table
// answers the tags it holds.
inline const LightEntry *light_entry_in_db(const Session &s, Tag tag) {
    const DbItem *it = s.item(tag);
    if (!it || !it->owner) return nullptr;
    if (it->type == ZO_DB_LIGHT || (it->type == ZO_DB_INSTANCE && !it->object_instance))
        return static_cast<const LightEntry *>(it->owner);
    return nullptr;
}
inline const LightEntry *light_entry(const Session &s, Tag tag) {
    if (__builtin_expect(tag < s.light_tag_count, 1)) return s.light_tags[tag];
    return light_entry_in_db(s, tag);
}
// Fills the hit fields of `state` from an intersection along its ray.
void fill_hit(Session &s, ThreadContext *ctx, RenderState *state, const RTCRayHit &rh);
inline void clear_hit(RenderState *state) {
    state->dist = 0;
    state->pri = nullptr;
    state->instance = 0;
    state->material = 0;
    state->tex_list = nullptr;
    state->tex_count = 0;
}
// The far end of a ray: `tfar`, or less while a shader shortens rays.
float falloff_far(const ThreadContext *ctx, float tfar);
// Traces the ray of `state` and shades what it hits (its material, or the
// environment where nothing is hit), then the ray's volume shader; *hit
// tells which of the two it was.
zoBoolean shoot(Session &s, ThreadContext *ctx, Color *result, RenderState *state, float tnear,
                float tfar, bool count_hit, bool *hit = nullptr);
// A child state of `parent` for a ray of `type` from `org` along `dir`
// (inline: one for every secondary ray).
inline void make_child(RenderState &c, RenderState *parent, int type, const Vector3 &org,
                       const Vector3 &dir) {
    copy_state_but_ray(c, *parent);  // the ray follows; clear_hit sets the distance
    c.parent = parent;
    c.child = nullptr;
    c.type = type;
    c.org = org;
    c.dir = normalize(dir);
    c.secondary = 1;
    c.trace_depth = parent->trace_depth + 1;
    clear_hit(&c);
}
// Black with alpha 0 and false.
inline zoBoolean fail(Color *result) {
    if (result) *result = Color{0, 0, 0, 0};
    return 0;
}
int trace_limit(const RenderState *state);
bool is_light_or_shadow(const RenderState *state);

}  // namespace tracing
}  // namespace korhost
