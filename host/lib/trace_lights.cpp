// Lights: their world placement and the instances' light lists, light
// samples through the light shaders, and shadow rays through the shadow
// shaders of the blockers between a point and a light.
#include <embree3/rtcore.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "photon.h"
#include "session.h"
#include "sky.h"
#include "trace.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

using namespace tracing;

// ---------------------------------------------------------------------------
// Lights.

void prepare_lights(Session &s) {
    s.has_sky = -1;
    s.has_sky = scene_has_sky(s) ? 1 : 0;
    int index = 0, most = 1;
    for (LightEntry &l : s.lights) {
        l.index = index++;
        const zoLightRecord &r = l.rec;
        const float *m = l.inst.to_world;
        l.origin = xform_point(m, r.origin);
        l.direction = normalize(xform_vector(m, r.direction));
        l.edge_u = xform_vector(m, r.edge_u);
        l.edge_v = xform_vector(m, r.edge_v);
        const float scale = std::sqrt(dot(xform_vector(m, {1, 0, 0}), xform_vector(m, {1, 0, 0})));
        l.radius = r.edge_u.x * scale;
        // Axes across the direction (discs) or across the axis (cylinders).
        Vector3 w = r.area == 4 ? normalize(l.edge_v) : l.direction;
        Vector3 a = std::fabs(w.x) < 0.9f ? Vector3{1, 0, 0} : Vector3{0, 1, 0};
        l.axis_u = normalize(cross(w, a));
        l.axis_v = cross(w, l.axis_u);
        l.samples = 1;
        if (r.area > 0 && r.type != 1)
            l.samples = std::max(1, r.samples_u) * std::max(1, r.samples_v);
        most = std::max(most, l.samples);
    }
    s.most_light_samples = most;
    s.light_table.assign(s.db.size(), nullptr);
    for (size_t tag = 0; tag < s.db.size(); ++tag)
        s.light_table[tag] = light_entry_in_db(s, static_cast<Tag>(tag));
    s.light_tags = s.light_table.data();
    s.light_tag_count = static_cast<uint32_t>(s.light_table.size());
}

void build_light_lists(Session &s) {
    for (InstanceEntry &inst : s.instances) {
        inst.lights.clear();
        if (inst.light_mode == 1) {
            inst.lights = inst.listed_lights;
        } else {
            for (Tag t : s.light_instances)
                if (inst.light_mode == 0 ||
                    std::find(inst.listed_lights.begin(), inst.listed_lights.end(), t) ==
                        inst.listed_lights.end())
                    inst.lights.push_back(t);
        }
        // The instance's light-list item (query 102 asked with the state and
        // no tag): count, the index of the first light from the list's slot,
        // the slot, the global-lights flag, then the light tags.
        const bool global = inst.light_mode == 0;
        const size_t count = global ? 0 : inst.lights.size();
        constexpr size_t header = 16;
        inst.item_size = align_up(header + 4 * count, 16);
        free(inst.item_bytes);
        inst.item_bytes = static_cast<uint8_t *>(aligned_alloc(16, inst.item_size));
        memset(inst.item_bytes, 0, inst.item_size);
        const int32_t words[4] = {static_cast<int32_t>(count),
                                  static_cast<int32_t>((header - 8) / 4), 0, global ? 1 : 0};
        memcpy(inst.item_bytes, words, sizeof words);
        if (count) memcpy(inst.item_bytes + header, inst.lights.data(), 4 * count);
        inst.item = s.add_db(ZO_DB_USERDATA, inst.item_bytes, static_cast<int>(inst.item_size), "");
    }
}

namespace {

// A position on the light for sample `k` of its `samples`.
Vector3 light_position(const LightEntry &l, int k, uint32_t scramble) {
    if (l.rec.area <= 0 || l.rec.type == 1) return l.origin;
    double u[2];
    qmc_point(u, 2, k, l.samples, scramble);
    const float a = static_cast<float>(u[0]), b = static_cast<float>(u[1]);
    const float phi = 2 * kPi * b;
    switch (l.rec.area) {
        case 1: return l.origin + l.edge_u * (a - 0.5f) + l.edge_v * (b - 0.5f);
        case 2: {
            const float r = l.radius * std::sqrt(a);
            return l.origin + l.axis_u * (r * std::cos(phi)) + l.axis_v * (r * std::sin(phi));
        }
        case 3: {
            const float z = 1 - 2 * a, r = std::sqrt(std::max(0.0f, 1 - z * z));
            return l.origin + Vector3{r * std::cos(phi), r * std::sin(phi), z} * l.radius;
        }
        case 4:
            return l.origin + l.edge_v * (a - 0.5f) + l.axis_u * (l.radius * std::cos(phi)) +
                   l.axis_v * (l.radius * std::sin(phi));
    }
    return l.origin;
}

// The light state of a light, shadow or segment state.
RenderState *light_state_of(RenderState *state) {
    for (RenderState *s = state; s; s = s->parent)
        if (s->type == ZO_RAY_LIGHT) return s;
    return nullptr;
}

struct Blockers {
    RTCRayHit hit[kMaxBlockers];
    int count = 0;
    bool more = false;    // more surfaces than were kept
    bool opaque = false;  // a surface without a shadow shader (then none are kept)
};

// The surfaces between `from` (the lit point) and the light, nearest the
// point first, up to `tfar`.
void find_blockers(const Session &s, const Vector3 &from, const Vector3 &to_light, float tfar,
                   float time, bool stop_at_opaque, Blockers &b) {
    float tnear = ray_epsilon(from);
    b.count = 0;
    b.more = false;
    b.opaque = false;
    if (!(tnear < tfar)) return;
    // One traversal gathers every blocker: it costs an unblocked ray what
    // an any-hit test does, and a blocked one a single pass instead of one
    // per surface. Surfaces closer than the ray's offset behind the one
    // before (the two triangles of an edge the ray passes through) count
    // once.
    // Keeps the blocker at t; false once no more are kept.
    auto keep = [&](const RTCRayHit &rh) {
        b.hit[b.count] = rh;
        if (++b.count == kMaxBlockers) {
            b.more = true;
            return false;
        }
        const float t = rh.ray.tfar;
        tnear = t + ray_epsilon(from + to_light * t);
        return true;
    };
    RTCRayHit all[kMaxBlockers + 8];
    bool left_out = false;
    const int n = intersect_all(s, from, to_light, tnear, tfar, time, all, kMaxBlockers + 8,
                                &left_out, stop_at_opaque ? &b.opaque : nullptr);
    if (b.opaque) return;
    for (int i = 0; i < n; ++i)
        if (!(all[i].ray.tfar < tnear) && !keep(all[i])) return;
    if (!left_out) return;
    // More surfaces than were gathered: on, one at a time.
    RTCRayHit rh;
    while (tnear < tfar && intersect(s, from, to_light, tnear, tfar, time, rh) && keep(rh)) {
    }
}

// Runs the shadow shader of one blocker on `result`; false when it stops
// the light. The blocker keeps its own facing (normals as its surface
// defines them, inv_normal 0), so that a shadow shader tells the face
// turned to the light from the back face by N . D. In segment mode the ray
// runs from `from` (the lit point, or the blocker before) towards the
// light; otherwise, as seen from the light, from the light to the point.
bool shade_blocker(Session &s, ThreadContext *ctx, Color *result, RenderState *light,
                   RenderState *parent, const Vector3 &from, const Vector3 &to_light,
                   const RTCRayHit &rh, bool segments) {
    RenderState ss;
    copy_state_but_ray(ss, *light);  // the ray follows; fill_hit sets the distance
    ss.parent = parent;
    ss.child = nullptr;
    ss.type = ZO_RAY_SHADOW;
    ss.org = from;
    ss.dir = to_light;
    fill_hit(s, ctx, &ss, rh);
    if (ss.inv_normal) {
        ss.normal_geom = ss.normal_geom * -1.0f;
        ss.normal = ss.normal * -1.0f;
        ss.inv_normal = 0;
    }
    if (!segments) {
        ss.org = light->org;
        ss.dir = to_light * -1.0f;
        ss.dist = std::sqrt(dot(ss.point - ss.org, ss.point - ss.org));
    }
    ss.dot_nd = dot(ss.normal, ss.dir);
    const MaterialEntry *m = material_entry(s, ss.material);
    const Tag shader = m ? m->slots[kSlotShadow] : 0;
    if (!shader) return false;
    RenderState *saved = parent->child;
    parent->child = &ss;
    const bool ok = call_shader(result, ZO_CALL_SHADOW, &ss, shader, nullptr) != 0;
    parent->child = saved;
    return ok && (result->r > 0 || result->g > 0 || result->b > 0);
}

// Direction from `point` to the light `l` of `light`, the far end of the
// ray and the distance to the light (infinite for directional lights).
inline __attribute__((always_inline)) void toward_light(const LightEntry *l,
                                                        const RenderState *light,
                                                        const Vector3 &point, Vector3 *to_light,
                                                        float *tfar, float *distance = nullptr) {
    if (l && l->rec.type == 1) {
        *to_light = l->direction * -1.0f;
        *tfar = INFINITY;
        if (distance) *distance = INFINITY;
        return;
    }
    Vector3 d = light->org - point;
    const float len = std::sqrt(dot(d, d));
    *to_light = len > 0 ? d * (1.0f / len) : Vector3{0, 0, 1};
    *tfar = len * (1 - 1e-5f) - ray_epsilon(light->org);
    if (distance) *distance = len;
}

// The lift of object-space point `q` of triangle `v` (weights `bary`) by the
// tangent planes of its corners, the normals turned over when `flip`.
template <bool flip>
inline Vector3 corner_lift(const Mesh &mesh, const uint32_t *v, const Vector3 &q,
                           const float *bary) {
    Vector3 lift = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
        const Vector3 &c = mesh.N[v[k]];
        const Vector3 n = flip ? Vector3{-c.x, -c.y, -c.z} : c;
        const float below = std::min(0.0f, dot(q - mesh.P[v[k]], n));
        lift = lift + n * (-below * bary[k]);
    }
    return lift;
}

// Where shadow rays leave a smooth-shaded mesh: the point of the curved
// surface that the vertex normals describe instead of the flat triangle
// (each vertex's tangent plane lifts the point by how far it lies below that
// plane, blended by the barycentric weights). Facets near the terminator
// then no longer shadow their neighbours in a saw-tooth.
Vector3 shadow_origin(ThreadContext *ctx, const RenderState *light) {
    const Vector3 p = light->point;
    // The lights of one shading point share its origin: the last one is
    // kept per thread.
    ShadowOrigin *last = &ctx->shadow_origin;
    if (last->pri == light->pri && last->pri && last->inv_normal == light->inv_normal &&
        last->point.x == p.x && last->point.y == p.y && last->point.z == p.z &&
        last->instance == light->instance && last->bary[0] == light->bary[0] &&
        last->bary[1] == light->bary[1])
        return last->origin;
    const uint32_t *v = nullptr;
    const InstanceEntry *inst = hit_instance(light, &v);
    Vector3 origin = p;
    // An exact sphere's points lie on its curved surface already.
    const Mesh *mesh =
        inst && !(inst->object->mesh.sphere.radius > 0) ? &inst->object->mesh : nullptr;
    if (mesh && !mesh->N.empty() && inst->similar && mesh->unit_normals) {
        // Under a transform that keeps angles, the depths below the corner
        // planes scale with the transform: the lift is worked out in object
        // space and turned once.
        const Vector3 q = xform_point(inst->rec.from_world, p);
        const Vector3 lift = light->inv_normal ? corner_lift<true>(*mesh, v, q, light->bary)
                                               : corner_lift<false>(*mesh, v, q, light->bary);
        origin = p + xform_vector(inst->rec.to_world, lift);
    } else if (mesh && !mesh->N.empty()) {
        Vector3 lift = {0, 0, 0};
        for (int k = 0; k < 3; ++k) {
            Vector3 n = world_normal(*inst, v[k]);
            if (light->inv_normal) n = n * -1.0f;
            const float below = std::min(0.0f, dot(p - world_point(*inst, v[k]), n));
            lift = lift + n * (-below * light->bary[k]);
        }
        origin = p + lift;
    }
    *last = {light->pri, light->instance, light->inv_normal, {light->bary[0], light->bary[1]},
             p,          origin};
    return origin;
}

// Shadow rays towards a light at one position L that surely miss a sphere
// of the small scene, told without its exact test. Such a ray leaves its
// origin at distance len from L along dir, L less the origin divided by
// len: the ray passes L, and dir is of unit length, within a few roundings.
// For a sphere of centre c and radius r, and a = c - L, the square of the
// distance of c from the line through L along dir is |a|^2 - (a . dir)^2;
// it differs from the one the exact test (sphere_roots) works out from the
// ray's own origin and direction by some tens of roundings of
// (|a| + len)^2 <= 2 (|a|^2 + len^2) at the most, below 1e-5 (|a|^2 + len^2).
// Where it exceeds r^2 by kMissMargin (|a|^2 + len^2), twenty times that,
// the exact test finds no root either: that sphere's answer is 0. Per
// sphere, a and the bound |a|^2 - r^2 - kMissMargin |a|^2 are worked out
// once per light position; a ray misses the sphere when (a . dir)^2 falls
// below the bound less kMissMargin len^2.
constexpr float kMissMargin = 2e-4f;

// The spheres of `sc` as seen from `light`, the position of light `l`,
// kept per light by the thread; null for a light that is not sampled at
// one position.
const LightSpheres *spheres_seen_from(ThreadContext *ctx, const SmallScene &sc, const LightEntry *l,
                                      const Vector3 &light) {
    if (!l || l->index >= kKeptBlockerLights || l->rec.type == 1 || l->rec.area > 0) return nullptr;
    LightSpheres &seen = ctx->light_spheres[l->index];
    if (seen.known && seen.light.x == light.x && seen.light.y == light.y && seen.light.z == light.z)
        return &seen;
    for (int k = 0; k < sc.spheres; ++k) {
        const float *cr = sc.sphere[k];
        const Vector3 a = Vector3{cr[0], cr[1], cr[2]} - light;
        const float a2 = dot(a, a);
        seen.x[k] = a.x;
        seen.y[k] = a.y;
        seen.z[k] = a.z;
        seen.bound[k] = a2 - cr[3] * cr[3] - kMissMargin * a2;
    }
    seen.light = light;
    seen.known = true;
    return &seen;
}

// The first `count` spheres of `seen` that the shadow ray along `dir`
// (the light at `distance`) may meet, bit k for sphere k: those it does not
// surely miss.
unsigned spheres_near(const LightSpheres &seen, int count, const Vector3 &dir, float distance) {
    const float margin = kMissMargin * distance * distance;
    unsigned near = 0;
#ifdef __SSE__
    const __m128 dx = _mm_set1_ps(dir.x), dy = _mm_set1_ps(dir.y), dz = _mm_set1_ps(dir.z);
    const __m128 m = _mm_set1_ps(margin);
    for (int k = 0; k < count; k += 4) {
        const __m128 along = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_load_ps(seen.x + k), dx),
                                                   _mm_mul_ps(_mm_load_ps(seen.y + k), dy)),
                                        _mm_mul_ps(_mm_load_ps(seen.z + k), dz));
        const __m128 missed =
            _mm_cmplt_ps(_mm_mul_ps(along, along), _mm_sub_ps(_mm_load_ps(seen.bound + k), m));
        near |= static_cast<unsigned>(~_mm_movemask_ps(missed) & 15) << k;
    }
#else
    for (int k = 0; k < count; ++k) {
        const float along = seen.x[k] * dir.x + seen.y[k] * dir.y + seen.z[k] * dir.z;
        if (!(along * along < seen.bound[k] - margin)) near |= 1u << k;
    }
#endif
    return near & ((1u << count) - 1);
}

// How the tracer answers the shadow ray between tnear and tfar, found
// without it: 0 nothing stops the ray, 1 an exact sphere does (its
// index in `sc` in *sphere), -1 not known. With `seen` (the spheres seen
// from the light, `distance` from `from`), the spheres the ray surely
// misses are passed over without their exact test.
int shadow_scene_answer(const SmallScene &sc, const LightSpheres *seen, float distance,
                        const Vector3 &from, const Vector3 &to_light, float tnear, float tfar,
                        int *sphere) {
    if (!small_scene_planes_clear(sc, from, to_light, tnear, tfar)) return -1;
    const unsigned near =
        seen ? spheres_near(*seen, sc.spheres, to_light, distance) : (1u << sc.spheres) - 1;
    int answer = 0;
    for (unsigned left = near; left; left &= left - 1) {
        const int k = __builtin_ctz(left);
        const int b = sphere_blocks(sc.sphere[k], from, to_light, tnear, tfar);
        if (b == 1) {
            *sphere = k;
            return 1;
        }
        if (b) answer = -1;
    }
    return answer;
}

// Whether a surface stops the shadow ray of light `l` (sampled by `light`)
// between tnear and tfar, in a scene whose surfaces all stop light. The
// points of one kind (ray depth and instance) that a light is sampled at
// one after the other, such as the eye rays' hits on one surface in
// neighbouring pixels, are mostly shadowed by the same blocker: an exact
// sphere that stopped the last such ray is asked first, with the tracer's
// own test; then a scene of exact spheres and flat meshes answers without
// the tracer where it can; and the tracer answers the rest.
bool opaque_blocked(const Session &s, ThreadContext *ctx, const LightEntry *l,
                    const RenderState *light, const Vector3 &from, const Vector3 &to_light,
                    float distance, float tnear, float tfar) {
    uint32_t *kept = nullptr;
    if (s.any_exact && l && l->index < kKeptBlockerLights) {
        const unsigned depth = std::min(static_cast<unsigned>(light->trace_depth), 3u);
        kept = &ctx->blocker[l->index][(depth << 2 | (light->instance & 3u)) % kKeptBlockerKinds];
        const size_t id = *kept - size_t(1);  // none: past every geometry
        if (id < s.geom_instance.size() &&
            sphere_blocks(s.geom_instance[id]->sphere, from, to_light, tnear, tfar) == 1)
            return true;
    }
    SmallScene &sc = ctx->small_scene;
    if (!sc.known) look_at_small_scene(s, sc);
    if (sc.known > 0) {
        int sphere = -1;
        const LightSpheres *seen = spheres_seen_from(ctx, sc, l, light->org);
        const int answer =
            shadow_scene_answer(sc, seen, distance, from, to_light, tnear, tfar, &sphere);
        if (answer == 0) {
            if (kept) *kept = 0;
            return false;
        }
        if (answer == 1) {
            if (kept) *kept = sc.sphere_id[sphere] + 1;
            return true;
        }
    }
    if (kept) tl_sphere_stop = 0;
    const bool blocked = occluded(s, from, to_light, tnear, tfar, light->time);
    if (kept) *kept = blocked ? tl_sphere_stop : 0;
    return blocked;
}

// Shadow of the surfaces between `from` and the light: all of them, from
// the light's side; or, for segments, the one nearest `from`, whose shadow
// shader continues towards the light with zo_trace_shadow_seg.
zoBoolean shadow_from(Session *s, ThreadContext *ctx, const LightEntry *l, Color *result,
                      RenderState *state, RenderState *light, const Vector3 &from, bool segments) {
    Vector3 to_light;
    float tfar;
    toward_light(l, light, from, &to_light, &tfar);
    Blockers b;
    // Seen from the light, every blocker is shaded and any one without a
    // shadow shader stops the light: the first such surface found ends
    // the search.
    find_blockers(*s, from, to_light, tfar, light->time, !segments, b);
    if (b.opaque) {
        ++ctx->rays;
        return fail(result);
    }
    if (b.count == 0) return 1;
    ++ctx->rays;
    const int limit = state->options ? std::max(1, state->options->shadow_depth) : 4;
    if (segments) {
        // A chain of segments ends at the shadow depth, as a ray through
        // more blockers than that does.
        int before = 0;
        for (const RenderState *p = state; p && p->type == ZO_RAY_SHADOW; p = p->parent) ++before;
        if (before >= limit) return fail(result);
        return shade_blocker(*s, ctx, result, light, state, from, to_light, b.hit[0], true)
                   ? 1
                   : fail(result);
    }
    if (b.more) return fail(result);
    if (b.count > limit) return fail(result);
    for (int k = b.count - 1; k >= 0; --k)
        if (!shade_blocker(*s, ctx, result, light, state, from, to_light, b.hit[k], false))
            return fail(result);
    return 1;
}

}  // namespace

}  // namespace korhost

using namespace korhost;

HOST_API zoBoolean zo_trace_shadow(Color *result, RenderState *state) {
    Session *s = session();
    if (!s || !state || !result) return 1;
    const zoOptions *o = state->options;
    if (o && o->shadow == ZO_SHADOW_OFF) return 1;
    RenderState *light = light_state_of(state);
    if (!light) return 1;
    const LightEntry *l = light_entry(*s, light->light_instance);
    ThreadContext *ctx = thread_context();
    if ((l && !l->rec.shadow) || !ctx) return 1;
    const bool segments = o && o->shadow == ZO_SHADOW_SEGMENTS;
    const Vector3 from = shadow_origin(ctx, light);
    if (!segments && s->all_opaque) {
        // Every surface stops the light: one occlusion test answers.
        Vector3 to_light;
        float tfar, distance;
        toward_light(l, light, from, &to_light, &tfar, &distance);
        const float tnear = ray_epsilon(from);
        if (!(tnear < tfar) ||
            !opaque_blocked(*s, ctx, l, light, from, to_light, distance, tnear, tfar))
            return 1;
        ++ctx->rays;
        return fail(result);
    }
    return shadow_from(s, ctx, l, result, state, light, from, segments);
}

// In segment mode a shadow shader continues the shadow ray from its own
// surface towards the light; in the other modes the host has already
// visited every blocker, and this does nothing.
HOST_API zoBoolean zo_trace_shadow_seg(Color *result, RenderState *state) {
    Session *s = session();
    if (!s || !state || !result) return 1;
    const zoOptions *o = state->options;
    if (!o || o->shadow != ZO_SHADOW_SEGMENTS || state->type != ZO_RAY_SHADOW) return 1;
    RenderState *light = light_state_of(state);
    ThreadContext *ctx = thread_context();
    if (!light || !ctx) return 1;
    return shadow_from(s, ctx, light_entry(*s, light->light_instance), result, state, light,
                       state->point, true);
}

// ---------------------------------------------------------------------------
// Light samples.

namespace {

// The samples of light `l` from `*samples` on until its light shader
// answers one; the light has samples left.
__attribute__((noinline)) zoBoolean sample_light(const LightEntry *l, Color *result,
                                                 Vector3 *direction, float *dot_nl,
                                                 RenderState *state, int *samples) {
    // Only a light with several positions draws from a point set.
    const bool sampled = l->rec.area > 0 && l->rec.type != 1;
    const uint32_t scramble = sampled ? sample_scramble(state, l->instance) : 0;
    do {
        const int k = (*samples)++;
        RenderState ls;
        copy_state_but_ray(ls, *state);  // the light's ray and distance follow
        ls.parent = state;
        ls.child = nullptr;
        ls.type = ZO_RAY_LIGHT;
        ls.light_instance = l->instance;
        Vector3 L;
        float dist;
        if (l->rec.type == 1) {
            L = l->direction * -1.0f;
            ls.org = l->origin;
            const Vector3 d = state->point - l->origin;
            dist = std::fabs(dot(d, l->direction));
        } else {
            ls.org = sampled ? light_position(*l, k, scramble) : l->origin;
            const Vector3 d = ls.org - state->point;
            dist = std::sqrt(dot(d, d));
            L = dist > 0 ? d * (1.0f / dist) : Vector3{0, 0, 0};
        }
        ls.dir = L * -1.0f;
        ls.dist = dist;
        ls.dot_nd = dot(state->normal, L);
        Color c{0, 0, 0, 0};
        RenderState *saved = state->child;
        state->child = &ls;
        zoBoolean ok = call_shader(&c, ZO_CALL_LIGHT, &ls, l->rec.shader, nullptr);
        if (ok && ls.volume) call_shader(&c, ZO_CALL_VOLUME, &ls, ls.volume, nullptr);
        state->child = saved;
        if (!ok) continue;
        if (result) *result = c;
        if (direction) *direction = L;
        if (dot_nl) *dot_nl = ls.dot_nd;
        return 1;
    } while (*samples < l->samples);
    return 0;
}

}  // namespace

// Shaders call this until it answers false: the call after a light's last
// sample returns at once, without the light state.
HOST_API zoBoolean zo_sample_light(Color *result, Vector3 *direction, float *dot_nl,
                                   RenderState *state, Tag light_instance, int *samples) {
    Session *s = session();
    if (!s || !samples) return 0;
    // The closing call of a loop: no light has samples left past this.
    if (*samples >= s->most_light_samples || !state) return 0;
    const LightEntry *l = light_entry(*s, light_instance);
    if (!l || !l->rec.shader || *samples >= l->samples) return 0;
    return sample_light(l, result, direction, dot_nl, state, samples);
}

HOST_API zoBoolean zo_light_info(Tag light, Vector3 *origin, Vector3 *direction, void **record) {
    Session *s = session();
    const LightEntry *l = s ? light_entry(*s, light) : nullptr;
    if (!l) return 0;
    if (origin) *origin = l->origin;
    if (direction) *direction = l->direction;
    if (record) *record = const_cast<zoLightRecord *>(&l->rec);
    return 1;
}

HOST_API zoBoolean zo_global_lights_info(int *count, const Tag **lights) {
    Session *s = session();
    if (!s) return 0;
    if (count) *count = static_cast<int>(s->light_instances.size());
    if (lights) *lights = s->light_instances.data();
    return 1;
}

namespace {
const InstanceEntry *shaded_instance(RenderState *state) {
    Session *s = session();
    if (!s || !state) return nullptr;
    DbItem *it = s->item(state->instance);
    if (!it || it->type != ZO_DB_INSTANCE || !it->object_instance) return nullptr;
    return static_cast<const InstanceEntry *>(it->owner);
}
}  // namespace

// The lights that light the shaded instance.
HOST_API zoBoolean zo_instance_lightlist(int *count, const Tag **lights, RenderState *state) {
    const InstanceEntry *inst = shaded_instance(state);
    if (!inst) return zo_global_lights_info(count, lights);
    if (count) *count = static_cast<int>(inst->lights.size());
    if (lights) *lights = inst->lights.data();
    return 1;
}

// The instance's own list of lights when it names the only lights that
// light it; false otherwise.
HOST_API zoBoolean zo_inclusive_lightlist(int *count, const Tag **lights, RenderState *state) {
    const InstanceEntry *inst = shaded_instance(state);
    if (!inst || inst->light_mode != 1) return 0;
    if (count) *count = static_cast<int>(inst->listed_lights.size());
    if (lights) *lights = inst->listed_lights.data();
    return 1;
}

// The lights the instance excludes; false when it excludes none.
HOST_API zoBoolean zo_exclusive_lightlist(int *count, const Tag **lights, RenderState *state) {
    const InstanceEntry *inst = shaded_instance(state);
    if (!inst || inst->light_mode != 2) return 0;
    if (count) *count = static_cast<int>(inst->listed_lights.size());
    if (lights) *lights = inst->listed_lights.data();
    return 1;
}
