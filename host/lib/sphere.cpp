// Exact spheres: a sphere primitive with "exact" is one user primitive of
// the ray tracer, met by solving the ray against the sphere, and every hit
// on it is handed on as the facet of its mesh it lies in, so that the
// shaders read texture coordinates, normals and tangents as on the mesh.
#include <embree3/rtcore.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "session.h"
#include "trace.h"

namespace korhost {

namespace {

// The sphere in the space the tracer meets it in (Mesh::ExactSphere::traced,
// InstanceEntry::sphere): centre and radius.
struct SphereGeometry {
    Vector3 centre;
    float radius;
};
static_assert(sizeof(SphereGeometry) == 4 * sizeof(float), "four floats");

// Embree asks for the bounds on its build threads, whose hand-back at the
// end of the build happens inside Embree, out of sight of the thread
// checker: each call releases this count, and sphere_bounds_joined acquires
// it once the build is over, an order the checker can see.
std::atomic<unsigned> g_bounds_calls{0};

void sphere_bounds(const RTCBoundsFunctionArguments *a) {
    const auto *g = static_cast<const SphereGeometry *>(a->geometryUserPtr);
    a->bounds_o->lower_x = g->centre.x - g->radius;
    a->bounds_o->lower_y = g->centre.y - g->radius;
    a->bounds_o->lower_z = g->centre.z - g->radius;
    a->bounds_o->upper_x = g->centre.x + g->radius;
    a->bounds_o->upper_y = g->centre.y + g->radius;
    a->bounds_o->upper_z = g->centre.z + g->radius;
    g_bounds_calls.fetch_add(1, std::memory_order_release);
}

// The distances at which ray k of the N meets the sphere, nearer first;
// false if it misses (tracing::sphere_roots).
inline bool sphere_roots(const SphereGeometry &g, RTCRayN *ray, unsigned N, unsigned k,
                         float t[2]) {
    const Vector3 org{RTCRayN_org_x(ray, N, k), RTCRayN_org_y(ray, N, k), RTCRayN_org_z(ray, N, k)};
    const Vector3 dir{RTCRayN_dir_x(ray, N, k), RTCRayN_dir_y(ray, N, k), RTCRayN_dir_z(ray, N, k)};
    return tracing::sphere_roots(reinterpret_cast<const float *>(&g), org, dir, t);
}

// Ray k of the N as a single ray ending at distance d, and the hit on the
// sphere there: what the context's filter sees, and what a taken hit
// leaves in the ray's own hit.
struct SingleHit {
    RTCRay ray;
    RTCHit hit;
};
inline SingleHit single_hit(const SphereGeometry &g, RTCRayN *ray, unsigned N, unsigned k, float d,
                            unsigned prim, unsigned geom, unsigned inst) {
    SingleHit s;
    RTCRay &r = s.ray;
    r.org_x = RTCRayN_org_x(ray, N, k);
    r.org_y = RTCRayN_org_y(ray, N, k);
    r.org_z = RTCRayN_org_z(ray, N, k);
    r.dir_x = RTCRayN_dir_x(ray, N, k);
    r.dir_y = RTCRayN_dir_y(ray, N, k);
    r.dir_z = RTCRayN_dir_z(ray, N, k);
    r.tnear = RTCRayN_tnear(ray, N, k);
    r.tfar = d;
    tracing::sphere_hit(reinterpret_cast<const float *>(&g), Vector3{r.org_x, r.org_y, r.org_z},
                        Vector3{r.dir_x, r.dir_y, r.dir_z}, d, prim, geom, inst, s.hit);
    return s;
}

// Runs the tracer's filters (`filter`: rtcFilterIntersection or
// rtcFilterOcclusion) on a hit: whether it is taken.
template <typename Args, typename Filter>
inline bool filtered(const Args *a, SingleHit &s, Filter filter) {
    if (!a->context->filter) return true;
    int valid = -1;
    RTCFilterFunctionNArguments f{&valid,
                                  a->geometryUserPtr,
                                  a->context,
                                  reinterpret_cast<RTCRayN *>(&s.ray),
                                  reinterpret_cast<RTCHitN *>(&s.hit),
                                  1};
    filter(a, &f);
    return valid != 0;
}

// Ray k of the N against the sphere: the nearest root between the ray's
// ends that the filters take becomes its hit. Inline: single rays, the
// most common, have it with N and k known.
__attribute__((always_inline)) inline void intersect_ray(const RTCIntersectFunctionNArguments *a,
                                                         const SphereGeometry &g, RTCRayN *ray,
                                                         RTCHitN *hit, unsigned N, unsigned k) {
    float t[2];
    if (!sphere_roots(g, ray, N, k, t)) return;
    float &tfar = RTCRayN_tfar(ray, N, k);
    const float tnear = RTCRayN_tnear(ray, N, k);
    for (float d : t) {
        if (!(d >= tnear && d <= tfar)) continue;
        SingleHit s = single_hit(g, ray, N, k, d, a->primID, a->geomID, a->context->instID[0]);
        if (!filtered(a, s, rtcFilterIntersection)) continue;
        tfar = d;
        RTCHitN_Ng_x(hit, N, k) = s.hit.Ng_x;
        RTCHitN_Ng_y(hit, N, k) = s.hit.Ng_y;
        RTCHitN_Ng_z(hit, N, k) = s.hit.Ng_z;
        RTCHitN_u(hit, N, k) = s.hit.u;
        RTCHitN_v(hit, N, k) = s.hit.v;
        RTCHitN_primID(hit, N, k) = s.hit.primID;
        RTCHitN_geomID(hit, N, k) = s.hit.geomID;
        RTCHitN_instID(hit, N, k, 0) = s.hit.instID[0];
        return;
    }
}

void sphere_intersect(const RTCIntersectFunctionNArguments *a) {
    const auto &g = *static_cast<const SphereGeometry *>(a->geometryUserPtr);
    if (a->N == 1) {
        if (a->valid[0])
            intersect_ray(a, g, RTCRayHitN_RayN(a->rayhit, 1), RTCRayHitN_HitN(a->rayhit, 1), 1, 0);
        return;
    }
    RTCRayN *ray = RTCRayHitN_RayN(a->rayhit, a->N);
    RTCHitN *hit = RTCRayHitN_HitN(a->rayhit, a->N);
    for (unsigned k = 0; k < a->N; ++k)
        if (a->valid[k]) intersect_ray(a, g, ray, hit, a->N, k);
}

// Ray k of the N against the sphere: a root between the ray's ends that
// the filters take ends the ray.
__attribute__((always_inline)) inline void occlude_ray(const RTCOccludedFunctionNArguments *a,
                                                       const SphereGeometry &g, unsigned N,
                                                       unsigned k) {
    float t[2];
    if (!sphere_roots(g, a->ray, N, k, t)) return;
    float &tfar = RTCRayN_tfar(a->ray, N, k);
    const float tnear = RTCRayN_tnear(a->ray, N, k);
    for (float d : t) {
        if (!(d >= tnear && d <= tfar)) continue;
        // The filter decides whether this surface ends the ray.
        if (a->context->filter) {
            SingleHit s =
                single_hit(g, a->ray, N, k, d, a->primID, a->geomID, a->context->instID[0]);
            if (!filtered(a, s, rtcFilterOcclusion)) continue;
        }
        tfar = -INFINITY;
        if (a->context->instID[0] == RTC_INVALID_GEOMETRY_ID)
            tracing::tl_sphere_stop = a->geomID + 1;
        return;
    }
}

void sphere_occluded(const RTCOccludedFunctionNArguments *a) {
    const auto &g = *static_cast<const SphereGeometry *>(a->geometryUserPtr);
    if (a->N == 1) {
        if (a->valid[0]) occlude_ray(a, g, 1, 0);
        return;
    }
    for (unsigned k = 0; k < a->N; ++k)
        if (a->valid[k]) occlude_ray(a, g, a->N, k);
}

}  // namespace

namespace tracing {

__thread uint32_t tl_sphere_stop = 0;

void sphere_bounds_joined() {
    (void)g_bounds_calls.load(std::memory_order_acquire);
}

void *new_sphere_geometry(void *device, float *centre_radius) {
    RTCGeometry geom = rtcNewGeometry(static_cast<RTCDevice>(device), RTC_GEOMETRY_TYPE_USER);
    rtcSetGeometryUserPrimitiveCount(geom, 1);
    rtcSetGeometryUserData(geom, centre_radius);
    rtcSetGeometryBoundsFunction(geom, sphere_bounds, nullptr);
    rtcSetGeometryIntersectFunction(geom, sphere_intersect);
    rtcSetGeometryOccludedFunction(geom, sphere_occluded);
    return geom;
}

namespace {

// acos(x), to within 1e-4: enough to guess a facet that is then checked.
inline float rough_acos(float x) {
    const float a = std::fabs(x);
    const float r =
        std::sqrt(1 - a) * (1.5707288f + a * (-0.2121144f + a * (0.0742610f - a * 0.0187293f)));
    return x < 0 ? kPi - r : r;
}

// atan2(y, x) as a fraction of a turn, from 0 to 1 round from +X towards
// +Y, to within 1e-5 turn: enough to guess a facet that is then checked.
inline float rough_turn(float y, float x) {
    const float ax = std::fabs(x), ay = std::fabs(y);
    const float hi = std::max(ax, ay);
    if (!(hi > 0)) return 0;
    const float t = std::min(ax, ay) / hi, t2 = t * t;
    float r =
        t *
        (0.99997726f +
         t2 * (-0.33262347f +
               t2 * (0.19354346f + t2 * (-0.11643287f + t2 * (0.05265332f + t2 * -0.01172120f)))));
    if (ay > ax) r = 0.5f * kPi - r;
    if (x < 0) r = kPi - r;
    if (y < 0) r = 2 * kPi - r;
    return r * (0.5f / kPi);
}

// Asks for the cache line of element k of `v` ahead of reading it; a
// prefetch never faults, so that k may lie past the end.
template <typename T>
inline void prefetch(const std::vector<T> &v, size_t k) {
    __builtin_prefetch(
        reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(v.data()) + k * sizeof(T)));
}

}  // namespace

void sphere_facet(const Session &s, const Vector3 &org, const Vector3 &dir, RTCRayHit &rh) {
    const unsigned id =
        rh.hit.instID[0] != RTC_INVALID_GEOMETRY_ID ? rh.hit.instID[0] : rh.hit.geomID;
    const InstanceEntry &inst = *s.geom_instance[id];
    const Mesh &m = inst.object->mesh;
    const Mesh::ExactSphere &sp = m.sphere;
    // The point in object space, and there with its poles on the Z axis.
    const Vector3 p = xform_point(inst.rec.from_world, org + dir * rh.ray.tfar);
    const Vector3 q = sp.y_up ? Vector3{p.x, -p.z, p.y} : p;
    // Its facet: ring j from the bottom pole, segment i round from +X,
    // first guessed from the angles, then settled against the edges
    // where the facets meet.
    const float len = std::sqrt(dot(q, q));
    const float down = len > 0 ? std::clamp(-q.z / len, -1.0f, 1.0f) : 1.0f;
    int j = std::clamp(static_cast<int>(rough_acos(down) * (1 / kPi) * sp.rings), 0, sp.rings - 1);
    while (j > 0 && down > sp.ring_cos[j]) --j;
    while (j < sp.rings - 1 && down <= sp.ring_cos[j + 1]) ++j;
    int i = std::clamp(static_cast<int>(rough_turn(q.y, q.x) * sp.segments), 0, sp.segments - 1);
    // Which side of the meridian at a segment's start the point lies on.
    auto past = [&](int k) {
        return sp.segment_dir[2 * k] * q.y - sp.segment_dir[2 * k + 1] * q.x >= 0;
    };
    if (!past(i))
        i = i > 0 ? i - 1 : sp.segments - 1;
    else if (past(i + 1))
        i = i + 1 < sp.segments ? i + 1 : 0;
    // add_sphere_mesh's order: one triangle a facet on the rings at the
    // poles, two in every other ring; its vertices go ring by ring, each
    // ring round from +X with the first vertex again at its end, so that
    // the facet's corners are found without reading its triangles.
    const int per = (j > 0) + (j < sp.rings - 1);
    const unsigned first =
        static_cast<unsigned>((j == 0 ? 0 : sp.segments * (2 * j - 1)) + i * per);
    const size_t row = static_cast<size_t>(sp.segments) + 1;
    const Vector3 *a = &m.P[j * row + i], *c = a + row;
    // The projection from the centre: the ray from 0 along p meets the
    // triangle's plane at barycentric (b1, b2).
    unsigned best = first;
    float best_b1 = 0, best_b2 = 0, best_min = -INFINITY;
    for (int k = 0; k < per; ++k) {
        // (a, a + 1, c + 1) off the lower pole, then (a, c + 1, c).
        const bool lower = j > 0 && k == 0;
        const Vector3 &p0 = a[0], &p1 = lower ? a[1] : c[1], &p2 = lower ? c[1] : c[0];
        const Vector3 e1 = p1 - p0, e2 = p2 - p0;
        const Vector3 pv = cross(p, e2);
        const float det = dot(e1, pv);
        if (det == 0) continue;
        const Vector3 tv = p0 * -1.0f;
        const Vector3 qv = cross(tv, e1);
        const float b1 = dot(tv, pv) / det, b2 = dot(p, qv) / det;
        const float lowest = std::min({b1, b2, 1 - b1 - b2});
        if (lowest > best_min) {
            best = first + k;
            best_b1 = b1;
            best_b2 = b2;
            best_min = lowest;
        }
    }
    // A point on a facet's edge may round to the facet beside it.
    best_b1 = std::clamp(best_b1, 0.0f, 1.0f);
    best_b2 = std::clamp(best_b2, 0.0f, 1.0f - best_b1);
    rh.hit.primID = best;
    rh.hit.u = best_b1;
    rh.hit.v = best_b2;
    // What the hit's shading reads of the facet next (fill_hit), asked for
    // now, while the ray returns: its tangents, its triangle, and the
    // normals and texture coordinates at its corners.
    const size_t corner = a - m.P.data();
    prefetch(inst.tangents, 2 * size_t(best));
    prefetch(m.tri, 3 * size_t(best));
    prefetch(m.N, corner);
    prefetch(m.N, corner + row);
    if (!m.tex.empty()) {
        prefetch(m.tex[0], corner);
        prefetch(m.tex[0], corner + row);
    }
}

}  // namespace tracing

}  // namespace korhost
