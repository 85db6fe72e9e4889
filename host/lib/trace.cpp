// Ray tracing: eye, reflection, refraction, transparency, continued,
// environment and probe rays as child states of the state that traces
// them; shadow rays through the shadow shaders of blockers; light samples
// through the light shaders; final gathering and ambient occlusion; the
// lights' world placement and the instances' light lists.
#include <embree3/rtcore.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "photon.h"
#include "session.h"
#include "sky.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

namespace {

constexpr float kPi = 3.14159265358979323846f;
constexpr int kMaxBlockers = 32;    // surfaces a shadow ray looks at
constexpr int kContinueLimit = 64;  // continued rays beyond the trace depth

Vector3 interpolate(const std::vector<Vector3> &v, const uint32_t *i, float b0, float b1,
                    float b2) {
    return v[i[0]] * b0 + v[i[1]] * b1 + v[i[2]] * b2;
}

// Distance a secondary ray skips at its origin, against hitting the
// surface it leaves.
float ray_epsilon(const Vector3 &p) {
    const float m = std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z), 1.0f});
    return 1e-4f * m;
}

bool intersect(const Session &s, const Vector3 &org, const Vector3 &dir, float tnear, float tfar,
               float time, RTCRayHit &rh) {
    if (!s.rtc_scene) return false;
    RTCIntersectContext ic;
    rtcInitIntersectContext(&ic);
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
    rtcIntersect1(static_cast<RTCScene>(s.rtc_scene), &ic, &rh);
    return rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
}

// Whether any surface lies on the ray between tnear and tfar.
bool occluded(const Session &s, const Vector3 &org, const Vector3 &dir, float tnear, float tfar,
              float time) {
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
    r.id = 0;
    rtcOccluded1(static_cast<RTCScene>(s.rtc_scene), &ic, &r);
    return r.tfar < 0;  // a hit sets tfar to -inf
}

const MaterialEntry *material_entry(const Session &s, Tag tag) {
    if (tag == 0 || tag >= s.db.size()) return nullptr;
    const DbItem &item = s.db[tag];
    if (item.type != ZO_DB_MATERIAL && item.type != ZO_DB_MATERIAL_PHENOMENON) return nullptr;
    return static_cast<const MaterialEntry *>(item.record);
}

const LightEntry *light_entry(const Session &s, Tag tag) {
    if (tag == 0 || tag >= s.db.size()) return nullptr;
    const DbItem &it = s.db[tag];
    if (!it.owner) return nullptr;
    if (it.type == ZO_DB_LIGHT || (it.type == ZO_DB_INSTANCE && !it.object_instance))
        return static_cast<const LightEntry *>(it.owner);
    return nullptr;
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
    if (!m.N.empty())
        n = normalize(world_normal(inst, i[0]) * b0 + world_normal(inst, i[1]) * b1 +
                      world_normal(inst, i[2]) * b2);
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
        tex = static_cast<Vector3 *>(ctx->arena.alloc(sizeof(Vector3) * spaces));
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
    Vector3 dpdu{0, 0, 0}, dpdv{0, 0, 0};
    triangle_tangents(inst, prim, 0, &dpdu, &dpdv);
    state->derivs[0] = dpdu;
    state->derivs[1] = dpdv;
    state->instance = inst.tag;
    state->material = inst.rec.material;
    state->label = inst.rec.label;
    state->object_id = inst.rec.id;
}

void clear_hit(RenderState *state) {
    state->dist = 0;
    state->pri = nullptr;
    state->instance = 0;
    state->material = 0;
    state->tex_list = nullptr;
    state->tex_count = 0;
}

// The far end of a ray leaving `from`: `tfar`, or less while a shader has
// shortened rays with zo_ray_falloff (a stop of 0 leaves them unlimited).
float falloff_far(const ThreadContext *ctx, float tfar) {
    if (!ctx || !(ctx->falloff_stop > 0)) return tfar;
    return std::min(tfar, static_cast<float>(ctx->falloff_stop));
}

// What a ray that leaves the scene sees. While a shader's trace has put an
// environment map under "KEY_2" (the raytrace material's slots 9 and 10,
// the raytrace map's background map), that map stands in for the
// environment: it is looked up as an environment map looks up its map,
// with the normal facing back along the ray. Otherwise the state's
// environment shader runs, or the camera's.
zoBoolean run_environment(Session &s, Color *result, RenderState *state) {
    *result = Color{0, 0, 0, 0};
    int size = 0;
    const void *record = zo_shaderstate_get(state, "KEY_2", &size);
    Tag map = 0;
    if (record && size >= static_cast<int>(sizeof map)) memcpy(&map, record, sizeof map);
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
                float tfar, bool count_hit, bool *hit = nullptr) {
    ++ctx->rays;
    RTCRayHit rh;
    zoBoolean ok;
    Color scratch{0, 0, 0, 0};
    if (!result) result = &scratch;
    const bool found =
        intersect(s, state->org, state->dir, tnear, falloff_far(ctx, tfar), state->time, rh);
    if (hit) *hit = found;
    if (!found) {
        clear_hit(state);
        ok = run_environment(s, result, state);
    } else {
        fill_hit(s, ctx, state, rh);
        if (const MaterialEntry *m = material_entry(s, state->material)) {
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
        ok = run_material(result, state, kSlotMaterial, ZO_CALL_MATERIAL);
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

void make_child(RenderState &c, RenderState *parent, int type, const Vector3 &org,
                const Vector3 &dir) {
    c = *parent;
    c.parent = parent;
    c.child = nullptr;
    c.type = type;
    c.org = org;
    c.dir = normalize(dir);
    c.secondary = 1;
    c.trace_depth = parent->trace_depth + 1;
    clear_hit(&c);
}

// The volume on the far side of the surface of `state`.
Tag volume_behind(const Session &s, const RenderState *state) {
    return state->inv_normal ? s.camera.cam.volume : state->refraction_volume;
}

zoBoolean fail(Color *result) {
    if (result) *result = Color{0, 0, 0, 0};
    return 0;
}

// A child ray from the state's point; levels are checked by the caller.
zoBoolean trace_child(Color *result, RenderState *state, int type, const Vector3 &dir, Tag volume,
                      int depth_limit, bool count_hit) {
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

}  // namespace

zoBoolean trace_eye(Color *result, RenderState *state, const Vector3 *org, const Vector3 *dir) {
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
    state->dir = normalize(*dir);
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
    if (!s || !ctx || !intersect(*s, state->org, state->dir, tnear, tfar, state->time, rh)) {
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

// ---------------------------------------------------------------------------
// Lights.

void prepare_lights(Session &s) {
    s.has_sky = -1;
    s.has_sky = scene_has_sky(s) ? 1 : 0;
    for (LightEntry &l : s.lights) {
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
    }
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
    bool more = false;  // more surfaces than were kept
};

// The surfaces between `from` (the lit point) and the light, nearest the
// point first, up to `tfar`.
void find_blockers(const Session &s, const Vector3 &from, const Vector3 &to_light, float tfar,
                   float time, Blockers &b) {
    float tnear = ray_epsilon(from);
    b.count = 0;
    b.more = false;
    // Most shadow rays reach the light: an any-hit test settles those
    // without looking for the nearest surface.
    if (!(tnear < tfar) || !occluded(s, from, to_light, tnear, tfar, time)) return;
    while (tnear < tfar) {
        RTCRayHit &rh = b.hit[b.count];
        if (!intersect(s, from, to_light, tnear, tfar, time, rh)) return;
        const float t = rh.ray.tfar;
        if (++b.count == kMaxBlockers) {
            b.more = true;
            return;
        }
        tnear = t + ray_epsilon(from + to_light * t);
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
    ss = *light;
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

// Direction from `point` to the light of `light` and the distance to it.
void toward_light(const Session &s, const RenderState *light, const Vector3 &point,
                  Vector3 *to_light, float *tfar) {
    const LightEntry *l = light_entry(s, light->light_instance);
    if (l && l->rec.type == 1) {
        *to_light = l->direction * -1.0f;
        *tfar = INFINITY;
        return;
    }
    Vector3 d = light->org - point;
    const float len = std::sqrt(dot(d, d));
    *to_light = len > 0 ? d * (1.0f / len) : Vector3{0, 0, 1};
    *tfar = len * (1 - 1e-5f) - ray_epsilon(light->org);
}

bool light_casts_shadows(const Session &s, const RenderState *light) {
    const LightEntry *l = light_entry(s, light->light_instance);
    return !l || l->rec.shadow;
}

// Where shadow rays leave a smooth-shaded mesh: the point of the curved
// surface that the vertex normals describe instead of the flat triangle
// (each vertex's tangent plane lifts the point by how far it lies below that
// plane, blended by the barycentric weights). Facets near the terminator
// then no longer shadow their neighbours in a saw-tooth.
Vector3 shadow_origin(const RenderState *light) {
    const uint32_t *v = nullptr;
    const InstanceEntry *inst = hit_instance(light, &v);
    const Vector3 p = light->point;
    if (!inst || inst->object->mesh.N.empty()) return p;
    Vector3 lift = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
        Vector3 n = world_normal(*inst, v[k]);
        if (light->inv_normal) n = n * -1.0f;
        const float below = std::min(0.0f, dot(p - world_point(*inst, v[k]), n));
        lift = lift + n * (-below * light->bary[k]);
    }
    return p + lift;
}

// Shadow of the surfaces between `from` and the light: all of them, from
// the light's side; or, for segments, the one nearest `from`, whose shadow
// shader continues towards the light with zo_trace_shadow_seg.
zoBoolean shadow_from(Color *result, RenderState *state, RenderState *light, const Vector3 &from,
                      bool segments) {
    Session *s = session();
    ThreadContext *ctx = thread_context();
    if (!s || !ctx) return 1;
    Vector3 to_light;
    float tfar;
    toward_light(*s, light, from, &to_light, &tfar);
    Blockers b;
    find_blockers(*s, from, to_light, tfar, light->time, b);
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
    if (!intersect(*s, c->org, c->dir, tnear, falloff_far(ctx, INFINITY), state->time, rh))
        return 0;
    fill_hit(*s, ctx, c, rh);
    return 1;
}

HOST_API zoBoolean zo_trace_shadow(Color *result, RenderState *state) {
    Session *s = session();
    if (!s || !state || !result) return 1;
    const zoOptions *o = state->options;
    if (o && o->shadow == ZO_SHADOW_OFF) return 1;
    RenderState *light = light_state_of(state);
    if (!light || !light_casts_shadows(*s, light)) return 1;
    return shadow_from(result, state, light, shadow_origin(light),
                       o && o->shadow == ZO_SHADOW_SEGMENTS);
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
    if (!light) return 1;
    return shadow_from(result, state, light, state->point, true);
}

// ---------------------------------------------------------------------------
// Light samples.

HOST_API zoBoolean zo_sample_light(Color *result, Vector3 *direction, float *dot_nl,
                                   RenderState *state, Tag light_instance, int *samples) {
    Session *s = session();
    if (!s || !state || !samples) return 0;
    const LightEntry *l = light_entry(*s, light_instance);
    if (!l || !l->rec.shader) return 0;
    // Only a light with several positions draws from a point set.
    const bool sampled = l->rec.area > 0 && l->rec.type != 1;
    const uint32_t scramble = sampled ? sample_scramble(state, l->instance) : 0;
    while (*samples < l->samples) {
        const int k = (*samples)++;
        RenderState ls;
        ls = *state;
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
            ls.org = light_position(*l, k, scramble);
            const Vector3 d = ls.org - state->point;
            dist = std::sqrt(dot(d, d));
            L = dist > 0 ? d * (1.0f / dist) : Vector3{0, 0, 0};
        }
        ls.dir = L * -1.0f;
        ls.dist = dist;
        ls.point = state->point;
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
    }
    return 0;
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

// ---------------------------------------------------------------------------
// Indirect light.

namespace {

bool in_gather(const RenderState *state) {
    for (const RenderState *s = state; s; s = s->parent)
        if (s->type == ZO_RAY_FINALGATHER) return true;
    return false;
}

Vector3 cosine_dir(const Vector3 &n, double a, double b) {
    const Vector3 h = std::fabs(n.x) < 0.9f ? Vector3{1, 0, 0} : Vector3{0, 1, 0};
    const Vector3 u = normalize(cross(n, h)), v = cross(n, u);
    const float r = static_cast<float>(std::sqrt(a)), phi = static_cast<float>(2 * M_PI * b);
    const float z = static_cast<float>(std::sqrt(std::max(0.0, 1 - a)));
    return normalize(u * (r * std::cos(phi)) + v * (r * std::sin(phi)) + n * z);
}

// A sky ray: the sky where it leaves the scene, black where it is blocked.
zoBoolean sky_ray(Session &s, ThreadContext *ctx, Color *result, RenderState *c, float eps) {
    ++ctx->rays;
    RTCRayHit rh;
    if (intersect(s, c->org, c->dir, eps, INFINITY, c->time, rh)) return 0;
    clear_hit(c);
    const Tag env = c->environment ? c->environment : s.camera.cam.environment;
    return env ? call_shader(result, ZO_CALL_ENVIRONMENT, c, env, nullptr) : 0;
}

// Irradiance about `n` by final gathering: the mean radiance of
// cosine-distributed rays, times pi. With gathering off, a scene with sky
// light gathers the sky alone through sky rays.
zoBoolean gather(Color *result, RenderState *state, const Vector3 &n) {
    Session *s = session();
    ThreadContext *ctx = thread_context();
    int rays = state && state->options ? state->options->finalgather_rays : 0;
    // With photon maps: the caustics from their map; the rest of the
    // indirect light from the global map, or, at the first diffuse bounce
    // with final gathering on, from gather rays that find the global map
    // where they land.
    Color caustic{0, 0, 0, 0};
    if (s && state && s->photons) {
        const bool direct = rays <= 0 || in_gather(state);
        if (!photon_irradiance(*s, state, n, direct, &caustic)) return fail(result);
        if (direct && !(rays <= 0 && scene_has_sky(*s) && !in_gather(state))) {
            if (result) *result = caustic;
            return 1;
        }
    }
    const bool sky_only = rays <= 0 && s && scene_has_sky(*s);
    if (sky_only) rays = kSkyRays;
    if (!s || !ctx || !state || rays <= 0 || in_gather(state)) return fail(result);
    double sum[3] = {0, 0, 0};
    const uint32_t scramble = sample_scramble(state, 0x46475259u);
    const float eps = ray_epsilon(state->point);
    for (int k = 0; k < rays; ++k) {
        double u[2];
        qmc_point(u, 2, k, rays, scramble);
        RenderState c;
        make_child(c, state, sky_only ? ZO_RAY_BUMP : ZO_RAY_FINALGATHER, state->point,
                   cosine_dir(n, u[0], u[1]));
        c.volume = 0;
        Color col{0, 0, 0, 0};
        RenderState *saved = state->child;
        state->child = &c;
        if (sky_only ? sky_ray(*s, ctx, &col, &c, eps)
                     : shoot(*s, ctx, &col, &c, eps, INFINITY, false) || c.dist == 0) {
            sum[0] += col.r;
            sum[1] += col.g;
            sum[2] += col.b;
        }
        state->child = saved;
    }
    const double k = M_PI / rays;
    if (result)
        *result = Color{static_cast<float>(sum[0] * k) + caustic.r,
                        static_cast<float>(sum[1] * k) + caustic.g,
                        static_cast<float>(sum[2] * k) + caustic.b, 1.0f};
    return 1;
}

}  // namespace

HOST_API zoBoolean zo_compute_irradiance(Color *result, RenderState *state) {
    return state ? gather(result, state, state->normal) : fail(result);
}

HOST_API zoBoolean zo_compute_irradiance_backside(Color *result, RenderState *state) {
    return state ? gather(result, state, state->normal * -1.0f) : fail(result);
}

// The unoccluded fraction of the hemisphere about the normal, cosine
// weighted, with the final-gather ray count (16 when gathering is off).
HOST_API zoBoolean zo_ambient_occlusion(Color *result, RenderState *state) {
    Session *s = session();
    ThreadContext *ctx = thread_context();
    if (!s || !ctx || !state) return fail(result);
    int rays = state->options ? state->options->finalgather_rays : 0;
    if (rays <= 0) rays = 16;
    const uint32_t scramble = sample_scramble(state, 0x414f4343u);
    const float eps = ray_epsilon(state->point);
    int open = 0;
    for (int k = 0; k < rays; ++k) {
        double u[2];
        qmc_point(u, 2, k, rays, scramble);
        RTCRayHit rh;
        ++ctx->rays;
        if (!intersect(*s, state->point, cosine_dir(state->normal, u[0], u[1]), eps, INFINITY,
                       state->time, rh))
            ++open;
    }
    const float f = static_cast<float>(open) / rays;
    if (result) *result = Color{f, f, f, 1.0f};
    return 1;
}
