// Indirect light: final gathering (from the photon maps at the second
// bounce when they exist), sky light gathered over the hemisphere, and
// ambient occlusion.
#include <embree3/rtcore.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "photon.h"
#include "session.h"
#include "sky.h"
#include "trace.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

using namespace korhost;
using namespace korhost::tracing;

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
__attribute__((noinline)) zoBoolean gather_light(Color *result, RenderState *state,
                                                 const Vector3 &n, Session *s, int rays) {
    ThreadContext *ctx = thread_context();
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

// gather_light, asked only when the scene has photon maps, final gathering
// or sky light: most materials ask at every hit, in scenes with none.
inline zoBoolean gather(Color *result, RenderState *state, const Vector3 &n) {
    Session *s = session();
    const int rays = state && state->options ? state->options->finalgather_rays : 0;
    if (!s || !state || !(s->photons || rays > 0 || scene_has_sky(*s))) return fail(result);
    return gather_light(result, state, n, s, rays);
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
