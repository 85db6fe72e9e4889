// Ray tracing: eye, reflection, refraction, transparency, continued,
// environment and probe rays as child states of the state that traces
// them. Lights and shadows are in trace_lights.cpp, final gathering and
// ambient occlusion in gather.cpp.
#include "trace.h"

#include <embree3/rtcore.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "photon.h"
#include "session.h"
#include "shader_key.h"
#include "sky.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

namespace tracing {

Vector3 interpolate(const std::vector<Vector3> &v, const uint32_t *i, float b0, float b1,
                    float b2) {
    return v[i[0]] * b0 + v[i[1]] * b1 + v[i[2]] * b2;
}

// Distance a secondary ray skips at its origin, against hitting the
// surface it leaves.
namespace {

// A ray from org along dir between tnear and tfar, no hit yet.
void set_ray(RTCRayHit &rh, const Vector3 &org, const Vector3 &dir, float tnear, float tfar,
             float time) {
    rh.ray.org_x = org.x;
    rh.ray.org_y = org.y;
    rh.ray.org_z = org.z;
    rh.ray.dir_x = dir.x;
    rh.ray.dir_y = dir.y;
    rh.ray.dir_z = dir.z;
    rh.ray.tnear = tnear;
    rh.ray.tfar = tfar;
    rh.ray.mask = 0xffffffffu;
    rh.ray.flags = 0;
    rh.ray.time = time;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
}

}  // namespace

void look_at_small_scene(const Session &s, SmallScene &sc) {
    sc.known = -1;
    sc.spheres = sc.planes = 0;
    RTCScene scene = static_cast<RTCScene>(s.rtc_scene);
    if (!scene) return;
    for (size_t id = 0; id < s.geom_instance.size(); ++id) {
        const InstanceEntry *inst = s.geom_instance[id];
        if (!inst || inst->object->rtc_scene) return;  // placed through an instance
        if (s.geom_exact[id]) {
            if (!(inst->sphere[3] > 0) || sc.spheres == kSmallSceneItems) return;
            sc.cx[sc.spheres] = inst->sphere[0];
            sc.cy[sc.spheres] = inst->sphere[1];
            sc.cz[sc.spheres] = inst->sphere[2];
            // Not one the rays surely miss below a square radius of 1e-20.
            const float r2 = inst->sphere[3] * inst->sphere[3];
            sc.r2[sc.spheres] = r2 >= 1e-20f ? r2 : INFINITY;
            sc.sphere_id[sc.spheres] = static_cast<uint32_t>(id);
            sc.sphere[sc.spheres++] = inst->sphere;
            continue;
        }
        // A mesh placed in the world: its vertices as the tracer holds them.
        RTCGeometry geom = rtcGetGeometry(scene, static_cast<unsigned>(id));
        const auto *v = geom ? static_cast<const float *>(
                                   rtcGetGeometryBufferData(geom, RTC_BUFFER_TYPE_VERTEX, 0))
                             : nullptr;
        const size_t n = inst->object->mesh.P.size();
        if (!v || n == 0 || sc.planes == kSmallSceneItems) return;
        int axis = -1;
        for (int a = 0; a < 3 && axis < 0; ++a) {
            bool flat = true;
            for (size_t i = 1; i < n && flat; ++i) flat = v[3 * i + a] == v[a];
            if (flat) axis = a;
        }
        if (axis < 0) return;
        sc.axis[sc.planes] = axis;
        sc.at[sc.planes++] = v[axis];
    }
    sc.known = 1;
}

namespace {

// The spheres of `sc` that the ray from `org` along `dir` may meet, bit k
// for sphere k: all but those it surely misses. With c the centre less the
// origin (as sphere_roots takes it) and dd = dir . dir, the square of the
// distance of the centre from the ray is |c|^2 - (c . dir)^2 / dd, which
// sphere_roots works out within a few roundings of |c|^2; a sphere whose
// distance squared exceeds r^2 by more than kNearMissMargin |c|^2 here is
// missed there too. Values that overflow compare false and keep their
// sphere; a direction far from unit length, or a sphere too small for its
// square radius to keep its precision (look_at_small_scene), keeps every
// sphere.
constexpr float kNearMissMargin = 1e-4f;
static_assert(kSmallSceneItems % 4 == 0 && kSmallSceneItems < 32,
              "the spheres are read four at a time into a 32-bit mask");
inline unsigned spheres_on_ray(const SmallScene &sc, const Vector3 &org, const Vector3 &dir) {
    const unsigned all = (1u << sc.spheres) - 1;
#ifdef __SSE__
    const float dir2 = dot(dir, dir);
    if (!(dir2 > 1e-6f && dir2 < 1e6f)) return all;
    const __m128 ox = _mm_set1_ps(org.x), oy = _mm_set1_ps(org.y), oz = _mm_set1_ps(org.z);
    const __m128 dx = _mm_set1_ps(dir.x), dy = _mm_set1_ps(dir.y), dz = _mm_set1_ps(dir.z);
    const __m128 dd = _mm_set1_ps(dir2), m = _mm_set1_ps(kNearMissMargin);
    unsigned near = 0;
    for (int k = 0;; k += 4) {
        const __m128 cx = _mm_sub_ps(_mm_load_ps(sc.cx + k), ox);
        const __m128 cy = _mm_sub_ps(_mm_load_ps(sc.cy + k), oy);
        const __m128 cz = _mm_sub_ps(_mm_load_ps(sc.cz + k), oz);
        const __m128 along =
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(cx, dx), _mm_mul_ps(cy, dy)), _mm_mul_ps(cz, dz));
        const __m128 c2 =
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(cx, cx), _mm_mul_ps(cy, cy)), _mm_mul_ps(cz, cz));
        const __m128 off = _mm_sub_ps(_mm_mul_ps(c2, dd), _mm_mul_ps(along, along));
        const __m128 bound = _mm_mul_ps(_mm_add_ps(_mm_load_ps(sc.r2 + k), _mm_mul_ps(m, c2)), dd);
        near |= static_cast<unsigned>(~_mm_movemask_ps(_mm_cmpgt_ps(off, bound)) & 15) << k;
        if (k + 4 >= sc.spheres) break;
    }
    return near & all;
#else
    (void)org;
    (void)dir;
    return all;
#endif
}

// The tracer's nearest hit on the ray between tnear and tfar in a small
// scene, found without it: 1 an exact sphere (its distance in rh.ray.tfar,
// its hit in rh.hit), 0 nothing, -1 not known. Each sphere's test takes
// its nearer root between the ray's ends and shortens the ray to it, so
// the tracer ends with the nearest of those roots, as long as it surely
// reaches that sphere there, and no other sphere has a root at the same
// distance (the order the tracer looks at them in would decide between
// them), and no triangle of a flat mesh lies on the ray up to that
// distance. Inline: it answers most rays that are not eye rays.
inline __attribute__((always_inline)) int small_scene_nearest(const SmallScene &sc,
                                                              const Vector3 &org,
                                                              const Vector3 &dir, float tnear,
                                                              float tfar, RTCRayHit &rh) {
    int nearest = -1;
    float best = 0;
    bool tie = false;
    for (unsigned left = spheres_on_ray(sc, org, dir); left; left &= left - 1) {
        const int k = __builtin_ctz(left);
        float t[2];
        if (!sphere_roots(sc.sphere[k], org, dir, t)) continue;
        float d;
        if (t[0] >= tnear && t[0] <= tfar)
            d = t[0];
        else if (t[1] >= tnear && t[1] <= tfar)
            d = t[1];
        else
            continue;
        if (nearest < 0 || d < best) {
            nearest = k;
            best = d;
            tie = false;
        } else if (d == best) {
            tie = true;
        }
    }
    if (nearest >= 0 && (tie || !sphere_surely_reached(sc.sphere[nearest], org, dir, best)))
        return -1;
    if (!small_scene_planes_clear(sc, org, dir, tnear, nearest >= 0 ? best : tfar)) return -1;
    if (nearest < 0) return 0;
    rh.ray.tfar = best;
    sphere_hit(sc.sphere[nearest], org, dir, best, 0, sc.sphere_id[nearest],
               RTC_INVALID_GEOMETRY_ID, rh.hit);
    return 1;
}

}  // namespace

bool intersect(const Session &s, const Vector3 &org, const Vector3 &dir, float tnear, float tfar,
               float time, RTCRayHit &rh, ThreadContext *ctx) {
    if (!s.rtc_scene) return false;
    // The session's scene, traced with no filter: a small scene's exact
    // spheres hand back the hits the tracer would.
    SmallScene *sc = ctx ? &ctx->small_scene : nullptr;
    if (sc && !sc->known) look_at_small_scene(s, *sc);
    const int small =
        sc && sc->known > 0 ? small_scene_nearest(*sc, org, dir, tnear, tfar, rh) : -1;
    if (small == 0) return false;
    if (small > 0) {
        // An exact sphere's.
        sphere_facet(s, org, dir, rh);
        return true;
    }
    set_ray(rh, org, dir, tnear, tfar, time);
    RTCIntersectContext ic;
    rtcInitIntersectContext(&ic);
    rtcIntersect1(static_cast<RTCScene>(s.rtc_scene), &ic, &rh);
    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return false;
    if (s.any_exact) exact_hit_as_facet(s, org, dir, rh);
    return true;
}

namespace {

// The context of intersect_all: Embree hands the context back to its
// filter, which records each hit and turns it down, so that the
// traversal goes on to the end of the ray.
struct Collector {
    RTCIntersectContext ic;  // first: the filter's context is this
    RTCRayHit *hits;
    int capacity;
    int count;
    bool more;
    // With an occlusion traversal: by geometry id, the surfaces that end it.
    const uint8_t *opaque = nullptr;
    size_t opaque_count = 0;
    // The ray in the world, for hits on exact spheres.
    const Session *s;
    Vector3 org, dir;
};

void collect_hit(const RTCFilterFunctionNArguments *args) {
    auto *c = reinterpret_cast<Collector *>(const_cast<RTCIntersectContext *>(args->context));
    const unsigned N = args->N;
    if (c->opaque) {
        const unsigned inst = RTCHitN_instID(args->hit, N, 0, 0);
        const unsigned id =
            inst != RTC_INVALID_GEOMETRY_ID ? inst : RTCHitN_geomID(args->hit, N, 0);
        if (id < c->opaque_count && c->opaque[id]) return;  // taken: the ray is blocked
    }
    args->valid[0] = 0;
    RTCRayHit h;
    h.ray.tfar = RTCRayN_tfar(args->ray, N, 0);
    h.hit.Ng_x = RTCHitN_Ng_x(args->hit, N, 0);
    h.hit.Ng_y = RTCHitN_Ng_y(args->hit, N, 0);
    h.hit.Ng_z = RTCHitN_Ng_z(args->hit, N, 0);
    h.hit.u = RTCHitN_u(args->hit, N, 0);
    h.hit.v = RTCHitN_v(args->hit, N, 0);
    h.hit.primID = RTCHitN_primID(args->hit, N, 0);
    h.hit.geomID = RTCHitN_geomID(args->hit, N, 0);
    h.hit.instID[0] = RTCHitN_instID(args->hit, N, 0, 0);
    if (c->s->any_exact) exact_hit_as_facet(*c->s, c->org, c->dir, h);
    for (int i = 0; i < c->count; ++i) {
        const RTCHit &o = c->hits[i].hit;
        if (o.primID == h.hit.primID && o.geomID == h.hit.geomID && o.instID[0] == h.hit.instID[0])
            return;
    }
    int at = c->count;
    if (at == c->capacity) {
        c->more = true;
        if (!(h.ray.tfar < c->hits[at - 1].ray.tfar)) return;
        --at;
    } else {
        ++c->count;
    }
    for (; at > 0 && c->hits[at - 1].ray.tfar > h.ray.tfar; --at) c->hits[at] = c->hits[at - 1];
    c->hits[at] = h;
}

}  // namespace

int intersect_all(const Session &s, const Vector3 &org, const Vector3 &dir, float tnear, float tfar,
                  float time, RTCRayHit *hits, int capacity, bool *more, bool *opaque) {
    *more = false;
    if (opaque) *opaque = false;
    if (!s.rtc_scene || capacity < 1) return 0;
    Collector c;
    rtcInitIntersectContext(&c.ic);
    c.ic.filter = collect_hit;
    c.hits = hits;
    c.capacity = capacity;
    c.count = 0;
    c.more = false;
    c.s = &s;
    c.org = org;
    c.dir = dir;
    RTCRayHit rh;
    set_ray(rh, org, dir, tnear, tfar, time);
    if (opaque) {
        // An occlusion traversal that ends at the first surface without a
        // shadow shader, gathering the others on the way.
        c.opaque = s.geom_opaque.data();
        c.opaque_count = s.geom_opaque.size();
        rtcOccluded1(static_cast<RTCScene>(s.rtc_scene), &c.ic, &rh.ray);
        if (rh.ray.tfar < 0) {
            *opaque = true;
            return 0;
        }
    } else {
        rtcIntersect1(static_cast<RTCScene>(s.rtc_scene), &c.ic, &rh);
    }
    for (int i = 0; i < c.count; ++i) {
        hits[i].ray.org_x = org.x;
        hits[i].ray.org_y = org.y;
        hits[i].ray.org_z = org.z;
        hits[i].ray.dir_x = dir.x;
        hits[i].ray.dir_y = dir.y;
        hits[i].ray.dir_z = dir.z;
        hits[i].ray.tnear = tnear;
        hits[i].ray.time = time;
    }
    *more = c.more;
    return c.count;
}

// Fills the hit fields of `state` from an intersection along its ray.
void fill_hit(Session &s, ThreadContext *ctx, RenderState *state, const RTCRayHit &rh) {
    // A mesh placed more than once is hit through an instance, in its
    // object space; a mesh placed once is in the world as it is.
    const bool instanced = rh.hit.instID[0] != RTC_INVALID_GEOMETRY_ID;
    InstanceEntry &inst = *s.geom_instance[instanced ? rh.hit.instID[0] : rh.hit.geomID];
    const Mesh &m = inst.object->mesh;
    const int prim = static_cast<int>(rh.hit.primID);
    const uint32_t *i = &m.tri[3 * prim];
    const float b1 = rh.hit.u, b2 = rh.hit.v, b0 = 1.0f - b1 - b2;
    state->dist = rh.ray.tfar;
    state->point = state->org + state->dir * rh.ray.tfar;
    Vector3 ng = {rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z};
    ng = normalize(instanced ? xform_normal(inst.rec.from_world, ng) : ng);
    Vector3 n = ng;
    if (!m.N.empty() && inst.similar && m.unit_normals) {
        // A transform that keeps angles turns the blend of unit normals
        // as it turns each of them.
        n = normalize(
            xform_normal(inst.rec.from_world, m.N[i[0]] * b0 + m.N[i[1]] * b1 + m.N[i[2]] * b2));
    } else if (!m.N.empty()) {
        n = normalize(world_normal(inst, i[0]) * b0 + world_normal(inst, i[1]) * b1 +
                      world_normal(inst, i[2]) * b2);
    }
    state->inv_normal = dot(ng, state->dir) > 0;
    if (state->inv_normal) {
        ng = ng * -1.0f;
        n = n * -1.0f;
    }
    state->normal_geom = ng;
    state->normal = n;
    state->dot_nd = dot(n, state->dir);
    state->bary[0] = b0;
    state->bary[1] = b1;
    state->bary[2] = b2;
    state->bary[3] = 0;
    // Each hit keeps its own texture coordinates: the state that traced a
    // child still reads its own after the child returns.
    const int spaces = static_cast<int>(std::min<size_t>(m.tex.size(), kMaxTextureSpaces));
    Vector3 *tex = nullptr;
    if (spaces) {
        tex = static_cast<Vector3 *>(ctx->arena.alloc_uninit(sizeof(Vector3) * spaces));
        if (!tex) tex = ctx->tex;
        for (int sp = 0; sp < spaces; ++sp) tex[sp] = interpolate(m.tex[sp], i, b0, b1, b2);
    }
    state->tex_list = tex;
    state->tex_count = spaces;
    state->pri_index = prim;
    state->pri = const_cast<uint32_t *>(i);
    state->motion = m.motion.empty()
                        ? Vector3{0, 0, 0}
                        : xform_vector(inst.rec.to_world, interpolate(m.motion, i, b0, b1, b2));
    if (!inst.tangents.empty()) {
        state->derivs[0] = inst.tangents[2 * prim];
        state->derivs[1] = inst.tangents[2 * prim + 1];
    } else {
        Vector3 dpdu{0, 0, 0}, dpdv{0, 0, 0};
        triangle_tangents(inst, prim, 0, &dpdu, &dpdv);
        state->derivs[0] = dpdu;
        state->derivs[1] = dpdv;
    }
    state->instance = inst.tag;
    state->material = inst.rec.material;
    state->label = inst.rec.label;
    state->object_id = inst.rec.id;
}

// The far end of a ray leaving `from`: `tfar`, or less while a shader has
// shortened rays with zo_ray_falloff (a stop of 0 leaves them unlimited).
float falloff_far(const ThreadContext *ctx, float tfar) {
    if (!ctx || !(ctx->falloff_stop > 0)) return tfar;
    return std::min(tfar, static_cast<float>(ctx->falloff_stop));
}

namespace {

// The map of the thread's "KEY_2", as zo_shaderstate_get would answer for
// it, read from the thread's entries without the call; 0 for none.
Tag environment_override() {
    constexpr uint64_t kKey = key_tag_bytes("KEY_2").word;
    const ThreadContext *ctx = thread_context();
    const int i = ctx ? find_short_entry(ctx, kKey) : -1;
    if (i < 0) return 0;
    const StateEntry &e = ctx->entries[i];
    Tag map = 0;
    if (e.value && e.size >= static_cast<int>(sizeof map)) memcpy(&map, e.value, sizeof map);
    return map;
}

}  // namespace

// What a ray that leaves the scene sees. While a shader's trace has put an
// environment map under "KEY_2" (the raytrace material's slots 9 and 10,
// the raytrace map's background map), that map stands in for the
// environment: it is looked up as an environment map looks up its map,
// with the normal facing back along the ray. Otherwise the state's
// environment shader runs, or the camera's.
zoBoolean run_environment(Session &s, Color *result, RenderState *state) {
    *result = Color{0, 0, 0, 0};
    const Tag map = environment_override();
    if (map && s.item(map)) {
        state->normal = state->dir * -1.0f;
        state->normal_geom = state->normal;
        state->dot_nd = -1.0f;
        int32_t request[3] = {0, 2, 0};  // colour, looked up as an environment
        *result = Color{0, 0, 0, 1};
        if (!call_shader(result, ZO_CALL_TEXTURE, state, map, request)) *result = {0, 0, 0, 1};
        return 1;
    }
    const Tag env = state->environment ? state->environment : s.camera.cam.environment;
    return env ? call_shader(result, ZO_CALL_ENVIRONMENT, state, env, nullptr) : 0;
}

// Render mode 'r': the host composites each shaded surface over what lies
// behind it by the surface's opacity, instead of the materials tracing
// transparency rays.
bool compositing(const RenderState *state) {
    return state->options && state->options->render_mode == 'r';
}

void composite_behind(Session &s, ThreadContext *ctx, Color *result, RenderState *state,
                      const Color &opacity);

// Traces the ray of `state` (origin, direction, type, volume and
// environment set) and shades what it hits: the material of the hit, or
// the environment where nothing is hit; then the ray's volume shader.
// *hit tells which of the two it was.
zoBoolean shoot(Session &s, ThreadContext *ctx, Color *result, RenderState *state, float tnear,
                float tfar, bool count_hit, bool *hit) {
    ++ctx->rays;
    RTCRayHit rh;
    zoBoolean ok;
    Color scratch{0, 0, 0, 0};
    if (!result) result = &scratch;
    bool found;
    const RTCRayHit *h = &rh;
    if (ctx->eye_hit) {
        // Read in place from the row's packet results.
        h = static_cast<const RTCRayHit *>(ctx->eye_hit);
        ctx->eye_hit = nullptr;
        found = h->hit.geomID != RTC_INVALID_GEOMETRY_ID;
    } else {
        found = intersect(s, state->org, state->dir, tnear, falloff_far(ctx, tfar), state->time, rh,
                          ctx);
    }
    if (hit) *hit = found;
    if (!found) {
        clear_hit(state);
        ok = run_environment(s, result, state);
    } else {
        fill_hit(s, ctx, state, *h);
        const MaterialEntry *m = material_entry(s, state->material);
        if (m) {
            state->refraction_volume =
                m->slots[kSlotVolume] ? m->slots[kSlotVolume] : state->volume;
            if (m->slots[kSlotEnvironment]) state->environment = m->slots[kSlotEnvironment];
        }
        *result = Color{0, 0, 0, 0};
        // Each surface has its own opacity: the one of the surface that
        // traced this ray is put back afterwards.
        const Color outer_opacity = ctx->opacity;
        const bool outer_set = ctx->opacity_set;
        ctx->opacity_set = false;
        // The material shader, as run_material finds it.
        const Tag shader = m ? m->slots[kSlotMaterial] : 0;
        ok = shader ? call_shader(result, ZO_CALL_MATERIAL, state, shader, nullptr) : 0;
        if (compositing(state) && ok) {
            const Color opacity =
                ctx->opacity_set ? ctx->opacity : Color{result->a, result->a, result->a, result->a};
            composite_behind(s, ctx, result, state, opacity);
        }
        ctx->opacity = outer_opacity;
        ctx->opacity_set = outer_set;
        if (count_hit) ok = 1;
    }
    if (state->volume) call_shader(result, ZO_CALL_VOLUME, state, state->volume, nullptr);
    return ok;
}

// The volume on the far side of the surface of `state`.
Tag volume_behind(const Session &s, const RenderState *state) {
    return state->inv_normal ? s.camera.cam.volume : state->refraction_volume;
}

// A child ray from the state's point; levels are checked by the caller.
inline __attribute__((always_inline)) zoBoolean trace_child(Color *result, RenderState *state,
                                                            int type, const Vector3 &dir,
                                                            Tag volume, int depth_limit,
                                                            bool count_hit) {
    Session *s = session();
    ThreadContext *ctx = thread_context();
    if (!s || !ctx) return fail(result);
    RenderState c;
    make_child(c, state, type, state->point, dir);
    if (type == ZO_RAY_REFLECT) ++c.reflection_level;
    if (type == ZO_RAY_REFRACT) ++c.refraction_level;
    if (c.trace_depth > depth_limit) return fail(result);
    c.volume = volume;
    c.ior_in = state->ior;
    c.ior = type == ZO_RAY_REFRACT ? state->ior_in : state->ior;
    RenderState *saved = state->child;
    state->child = &c;
    zoBoolean ok = shoot(*s, ctx, result, &c, ray_epsilon(state->point), INFINITY, count_hit);
    state->child = saved;
    return ok;
}

int trace_limit(const RenderState *state) {
    return state->options ? state->options->trace_depth : 8;
}

// Render mode 'r': what lies behind the surface of `state` shows through by
// 1 - the opacity the material set with zo_opacity_set (its result alpha in
// every channel when it set none). The ray goes on from the surface as a
// layer behind it (secondary flag set), through the volume behind it.
void composite_behind(Session &s, ThreadContext *ctx, Color *result, RenderState *state,
                      const Color &opacity) {
    const float keep[4] = {1 - opacity.r, 1 - opacity.g, 1 - opacity.b, 1 - opacity.a};
    if (!(keep[0] > 0 || keep[1] > 0 || keep[2] > 0 || keep[3] > 0)) return;
    RenderState c;
    make_child(c, state, state->type, state->point, state->dir);
    if (c.trace_depth > trace_limit(state) + kContinueLimit) return;
    c.volume = volume_behind(s, state);
    Color behind{0, 0, 0, 0};
    RenderState *saved = state->child;
    state->child = &c;
    shoot(s, ctx, &behind, &c, ray_epsilon(state->point), INFINITY, false);
    state->child = saved;
    result->r += keep[0] * behind.r;
    result->g += keep[1] * behind.g;
    result->b += keep[2] * behind.b;
    result->a += keep[3] * behind.a;
}

bool is_light_or_shadow(const RenderState *state) {
    return state->type == ZO_RAY_LIGHT || state->type == ZO_RAY_SHADOW;
}

}  // namespace tracing

using namespace tracing;

zoBoolean trace_eye(Color *result, RenderState *state, const Vector3 *org, const Vector3 *dir,
                    const Vector3 *unit) {
    Session *s = session();
    ThreadContext *ctx = thread_context();
    if (!s || !ctx || !state || !org || !dir) return 0;
    const size_t next = ctx->lens_index;
    if (next < s->camera.lens.size()) {
        // The next lens shader of the camera sees the ray first.
        ctx->lens_index = next + 1;
        state->org = *org;
        state->dir = normalize(*dir);
        zoBoolean ok = call_shader(result, ZO_CALL_LENS, state, s->camera.lens[next], nullptr);
        ctx->lens_index = next;
        return ok;
    }
    state->org = *org;
    state->dir = unit ? *unit : normalize(*dir);
    state->type = ZO_RAY_EYE;
    state->volume = s->camera.cam.volume;
    state->environment = s->camera.cam.environment;
    state->refraction_volume = 0;
    const float far = s->camera.cam.clip_far > 0 ? s->camera.cam.clip_far : INFINITY;
    // The eye ray has reached the scene: whatever the lens shaders answer,
    // the colour they leave is the sample's.
    ctx->eye_traced = true;
    bool hit = false;
    const zoBoolean ok = shoot(*s, ctx, result, state, 0.0f, far, false, &hit);
    if (hit) contour_store(*s, ctx, state, *result);
    // A ray that hits nothing answers false, though the environment has
    // coloured it: lens shaders tell the background by it.
    return hit ? ok : 0;
}

bool find_hit(RenderState *state, float tnear, float tfar) {
    Session *s = session();
    ThreadContext *ctx = thread_context();
    RTCRayHit rh;
    if (!s || !ctx || !intersect(*s, state->org, state->dir, tnear, tfar, state->time, rh, ctx)) {
        clear_hit(state);
        return false;
    }
    fill_hit(*s, ctx, state, rh);
    return true;
}

bool surface_state(RenderState *state, const InstanceEntry &inst, int prim, float b1, float b2) {
    Session *s = session();
    ThreadContext *ctx = thread_context();
    if (!s || !ctx) return false;
    const auto g = std::find(s->geom_instance.begin(), s->geom_instance.end(), &inst);
    if (g == s->geom_instance.end()) return false;
    const Mesh &m = inst.object->mesh;
    const uint32_t *i = &m.tri[3 * prim];
    const Vector3 p0 = world_point(inst, i[0]), p1 = world_point(inst, i[1]),
                  p2 = world_point(inst, i[2]);
    const Vector3 ng = normalize(cross(p1 - p0, p2 - p0));
    const Vector3 p = p0 * (1 - b1 - b2) + p1 * b1 + p2 * b2;
    // As the ray tracer reports it: a mesh placed more than once (it has a
    // scene of its own) through its instance with an object-space normal.
    const bool instanced = inst.object->rtc_scene != nullptr;
    const unsigned id = static_cast<unsigned>(g - s->geom_instance.begin());
    const Vector3 n_hit = instanced ? cross(m.P[i[1]] - m.P[i[0]], m.P[i[2]] - m.P[i[0]]) : ng;
    RTCRayHit rh{};
    rh.ray.tfar = 1;
    rh.hit.instID[0] = instanced ? id : RTC_INVALID_GEOMETRY_ID;
    rh.hit.geomID = instanced ? 0 : id;
    rh.hit.primID = static_cast<unsigned>(prim);
    rh.hit.u = b1;
    rh.hit.v = b2;
    rh.hit.Ng_x = n_hit.x;
    rh.hit.Ng_y = n_hit.y;
    rh.hit.Ng_z = n_hit.z;
    state->org = p + ng;
    state->dir = ng * -1.0f;
    fill_hit(*s, ctx, state, rh);
    return true;
}

}  // namespace korhost

using namespace korhost;

// ---------------------------------------------------------------------------
// Secondary rays.

HOST_API zoBoolean zo_trace_eye(Color *result, RenderState *state, const Vector3 *origin,
                                const Vector3 *direction) {
    return trace_eye(result, state, origin, direction);
}

HOST_API zoBoolean zo_trace_environment(Color *result, RenderState *state,
                                        const Vector3 *direction) {
    Session *s = session();
    if (!s || !state || !direction) return fail(result);
    RenderState c;
    make_child(c, state, ZO_RAY_ENVIRONMENT, state->point, *direction);
    Color scratch;
    if (!result) result = &scratch;
    *result = Color{0, 0, 0, 0};
    RenderState *saved = state->child;
    state->child = &c;
    zoBoolean ok = run_environment(*s, result, &c);
    if (c.volume) call_shader(result, ZO_CALL_VOLUME, &c, c.volume, nullptr);
    state->child = saved;
    return ok;
}

HOST_API zoBoolean zo_trace_reflection(Color *result, RenderState *state,
                                       const Vector3 *direction) {
    if (!state || !direction || is_light_or_shadow(state)) return fail(result);
    const zoOptions *o = state->options;
    if (o && !o->trace) return zo_trace_environment(result, state, direction);
    const int depth = o ? o->reflection_depth : 4;
    if (state->reflection_level + 1 > depth ||
        state->reflection_level + 1 + state->refraction_level > trace_limit(state))
        return fail(result);
    return trace_child(result, state, ZO_RAY_REFLECT, *direction, state->volume, trace_limit(state),
                       false);
}

HOST_API zoBoolean zo_trace_refraction(Color *result, RenderState *state,
                                       const Vector3 *direction) {
    Session *s = session();
    if (!s || !state || !direction || is_light_or_shadow(state)) return fail(result);
    const zoOptions *o = state->options;
    if (o && !o->trace) return zo_trace_environment(result, state, direction);
    const int depth = o ? o->refraction_depth : 4;
    if (state->refraction_level + 1 > depth ||
        state->reflection_level + state->refraction_level + 1 > trace_limit(state))
        return fail(result);
    return trace_child(result, state, ZO_RAY_REFRACT, *direction, volume_behind(*s, state),
                       trace_limit(state), false);
}

// In render mode 'r' the host composites the surfaces along a ray by their
// opacity itself: a transparency ray answers black (false).
HOST_API zoBoolean zo_trace_transparent(Color *result, RenderState *state) {
    Session *s = session();
    if (!s || !state || is_light_or_shadow(state) || compositing(state)) return fail(result);
    return trace_child(result, state, ZO_RAY_TRANSPARENT, state->dir, volume_behind(*s, state),
                       trace_limit(state), false);
}

// The ray goes on through the surface as if it were not there: same type,
// same levels, same volume.
HOST_API zoBoolean zo_trace_continue(Color *result, RenderState *state) {
    if (!state) return fail(result);
    if (is_light_or_shadow(state)) return 1;
    RenderState *parent = state;
    Session *s = session();
    ThreadContext *ctx = thread_context();
    if (!s || !ctx) return fail(result);
    RenderState c;
    make_child(c, parent, state->type, state->point, state->dir);
    c.secondary = state->secondary;
    if (c.trace_depth > trace_limit(state) + kContinueLimit) return fail(result);
    RenderState *saved = state->child;
    state->child = &c;
    zoBoolean ok = shoot(*s, ctx, result, &c, ray_epsilon(state->point), INFINITY, false);
    state->child = saved;
    return ok;
}

// Finds the first surface along `direction` from `origin` without shading
// it; the hit becomes the state's child (kept until the eye sample ends).
HOST_API zoBoolean zo_trace_probe(RenderState *state, const Vector3 *direction,
                                  const Vector3 *origin) {
    Session *s = session();
    ThreadContext *ctx = thread_context();
    if (!s || !ctx || !state || !direction) return 0;
    auto *c = static_cast<RenderState *>(ctx->arena.alloc(sizeof(RenderState)));
    if (!c) return 0;
    const Vector3 org = origin ? *origin : state->point;
    make_child(*c, state, ZO_RAY_PROBE, org, *direction);
    state->child = c;
    ++ctx->rays;
    RTCRayHit rh;
    const float tnear = origin ? 0.0f : ray_epsilon(org);
    if (!intersect(*s, c->org, c->dir, tnear, falloff_far(ctx, INFINITY), state->time, rh, ctx))
        return 0;
    fill_hit(*s, ctx, c, rh);
    return 1;
}
