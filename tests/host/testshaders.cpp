// Shaders that exercise the reference host's runtime: queries, per-thread
// pointers, shader state, frame buffers, lens and output calls, record
// layout. Loaded by korrender like the shader library; they call the host
// functions directly.
#include "testshaders.h"

#include <korshaders/host.h>

#include <cstddef>
#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT void zoSetModuleHandle(void *) {}

namespace {
template <typename T>
const T &eval(RenderState *state, const T *param) {
    const zoShaderRecord *shader = state->shader;
    if (shader && shader->ghost_offset &&
        *reinterpret_cast<const int32_t *>(reinterpret_cast<const char *>(param) +
                                           shader->ghost_offset))
        return *static_cast<const T *>(zo_phen_eval(state, const_cast<T *>(param)));
    return *param;
}
}  // namespace

EXPORT int test_layout_version(void) {
    return 1;
}
EXPORT zoBoolean test_layout(Color *result, RenderState *, LayoutParams *p) {
    // Element k lies at slot + start + k, beyond the declared one-element
    // slot: index from a plain pointer, never from the array member.
    const float *slot = reinterpret_cast<const float *>(reinterpret_cast<const char *>(&p->values) +
                                                        offsetof(decltype(p->values), storage));
    float sum = 0;
    for (int k = 0; k < p->values.count; ++k) sum += slot[p->values.start + k];
    *result = Color{p->flag + p->scale, sum, p->v.x + p->c.g + p->inner.a, p->shader ? 1.0f : 0.5f};
    return 1;
}

// Texture space 0 of the hit and the number of texture spaces.
EXPORT int test_uv_version(void) {
    return 1;
}
EXPORT zoBoolean test_uv(Color *result, RenderState *state, void *) {
    Vector3 t;
    if (!zo_texture_interpolate(&t, state, 0)) return 0;
    int spaces = 0;
    zo_query(ZO_Q_NUM_TEXTURES, state, 0, &spaces);
    *result = Color{t.x, t.y, static_cast<float>(spaces), 1};
    return 1;
}

// The hit triangle's first vertex normal, as the host hands it over.
EXPORT int test_vertex_normal_version(void) {
    return 1;
}
EXPORT zoBoolean test_vertex_normal(Color *result, RenderState *state, void *) {
    Vector3 n[3];
    if (!zo_tri_vectors(state, ZO_TRI_NORMALS, 0, n)) return 0;
    *result = Color{n[0].x, n[0].y, n[0].z, 1};
    return 1;
}

// Writes an integer into user frame buffer 0 and its colour into buffer 1.
struct FbParams {
    int32_t id;
    Color color;
};
EXPORT int test_fb_version(void) {
    return 1;
}
EXPORT zoBoolean test_fb(Color *result, RenderState *state, FbParams *p) {
    zo_fb_put(state, 0, &p->id);
    zo_fb_put(state, 1, &p->color);
    *result = p->color;
    return 1;
}

// An output shader: replaces every pixel's colour by 1 - colour.
EXPORT int test_invert_version(void) {
    return 1;
}
EXPORT zoBoolean test_invert(void *, RenderState *state, void *) {
    zoImage *img = zo_output_image_open(state, 0);
    if (!img) return 0;
    for (int y = 0; y < zo_img_get_height(img); ++y)
        for (int x = 0; x < zo_img_get_width(img); ++x) {
            Color c;
            zo_img_get_color(img, &c, x, y);
            c = Color{1 - c.r, 1 - c.g, 1 - c.b, c.a};
            zo_img_put_color(img, &c, x, y);
        }
    zo_output_image_close(state, 0);
    return 1;
}

// Raster position of the sample and of the hit point.
EXPORT int test_raster_version(void) {
    return 1;
}
EXPORT zoBoolean test_raster(Color *result, RenderState *state, void *) {
    Vector3 r;
    zo_point_to_raster(&r, state, &state->point);
    *result = Color{state->raster_x - r.x, state->raster_y - r.y, state->raster_y, 1};
    return 1;
}

// The frame number the camera gives, in r.
EXPORT int test_frame_version(void) {
    return 1;
}
EXPORT zoBoolean test_frame(Color *result, RenderState *state, void *) {
    *result = Color{static_cast<float>(state->camera->frame), 0, 0, 1};
    return 1;
}

// A shader whose declared version differs from this one.
EXPORT int test_versioned_version(void) {
    return 7;
}
EXPORT zoBoolean test_versioned(Color *result, RenderState *, void *) {
    *result = Color{0, 0, 0, 1};
    return 1;
}

// The texture at texture space 0 of the hit.
struct TextureParams {
    Tag texture;
};
EXPORT int test_texture_version(void) {
    return 1;
}
EXPORT zoBoolean test_texture(Color *result, RenderState *state, TextureParams *p) {
    Vector3 t;
    if (!zo_texture_interpolate(&t, state, 0)) return 0;
    return zo_lookup_color_texture(result, state, p->texture, &t);
}

// ---------------------------------------------------------------------------
// Shaders of the ray, light, texture and indirect-light services.

namespace {
Color scale(Color c, float k) {
    return Color{c.r * k, c.g * k, c.b * k, c.a * k};
}
Color mul(Color a, Color b) {
    return Color{a.r * b.r, a.g * b.g, a.b * b.b, a.a * b.a};
}
}  // namespace

// Environment: the ray direction coded as a colour, (0.5 + 0.5 d), or a
// constant colour when `constant` is set.
struct EnvParams {
    zoBoolean constant;
    Color color;
};
EXPORT int test_env_version(void) {
    return 1;
}
EXPORT zoBoolean test_env(Color *result, RenderState *state, EnvParams *p) {
    const Vector3 d = state->dir;
    *result =
        p->constant ? p->color : Color{0.5f + 0.5f * d.x, 0.5f + 0.5f * d.y, 0.5f + 0.5f * d.z, 1};
    return 1;
}

// A mirror: half the reflected colour, or `fallback` when the reflection
// cannot be traced (depth limits).
struct MirrorParams {
    Color fallback;
    float factor;
};
EXPORT int test_mirror_version(void) {
    return 1;
}
EXPORT zoBoolean test_mirror(Color *result, RenderState *state, MirrorParams *p) {
    Vector3 d;
    zo_reflection_dir(&d, state);
    Color c;
    *result = zo_trace_reflection(&c, state, &d) ? scale(c, p->factor) : p->fallback;
    return 1;
}

// Glass: the refracted colour from outside (index 1) into `ior`;
// `fallback` when it cannot be traced.
struct GlassParams {
    float ior;
    Color fallback;
};
EXPORT int test_glass_version(void) {
    return 1;
}
EXPORT zoBoolean test_glass(Color *result, RenderState *state, GlassParams *p) {
    const float in = state->inv_normal ? p->ior : 1.0f, out = state->inv_normal ? 1.0f : p->ior;
    Vector3 d;
    Color c;
    if (!zo_refraction_dir(&d, state, in, out)) zo_reflection_dir(&d, state);
    *result = zo_trace_refraction(&c, state, &d) ? c : p->fallback;
    return 1;
}

// Lets the ray through as if the surface were not there.
EXPORT int test_continue_version(void) {
    return 1;
}
EXPORT zoBoolean test_continue(Color *result, RenderState *state, void *) {
    return zo_trace_continue(result, state);
}

// Diffuse surface lit by the instance's lights (its light list, asked for
// with the state alone, then the global lights when the list says so),
// times an optional texture.
struct LambertParams {
    Color diffuse;
    Tag texture;
};
EXPORT int test_lambert_version(void) {
    return 1;
}
EXPORT zoBoolean test_lambert(Color *result, RenderState *state, LambertParams *p) {
    Color kd = p->diffuse;
    if (p->texture && state->tex_list) {
        Color t;
        if (zo_lookup_color_texture(&t, state, p->texture, &state->tex_list[0])) kd = mul(kd, t);
    }
    Tag item = 0;
    const int32_t *list = nullptr;
    if (!zo_query(ZO_Q_INST_DATA, state, 0, &item) ||
        !zo_query(ZO_Q_DATA_PARAM, state, item, &list) || !list)
        return 0;
    const Tag *own = reinterpret_cast<const Tag *>(list + 2) + list[1];
    int global_count = 0;
    const Tag *global = nullptr;
    if (list[3]) {
        zo_query(ZO_Q_NUM_GLOBAL_LIGHTS, state, 0, &global_count);
        zo_query(ZO_Q_GLOBAL_LIGHTS, state, 0, &global);
    }
    Color sum{0, 0, 0, 0};
    for (int k = 0; k < list[0] + global_count; ++k) {
        const Tag light = k < list[0] ? own[k] : global[k - list[0]];
        Color light_sum{0, 0, 0, 0}, c;
        Vector3 dir;
        float dot_nl;
        int samples = 0;
        while (zo_sample_light(&c, &dir, &dot_nl, state, light, &samples))
            if (dot_nl > 0)
                light_sum = Color{light_sum.r + c.r * dot_nl, light_sum.g + c.g * dot_nl,
                                  light_sum.b + c.b * dot_nl, 0};
        if (samples > 0) {
            sum.r += light_sum.r / samples;
            sum.g += light_sum.g / samples;
            sum.b += light_sum.b / samples;
        }
    }
    *result = Color{sum.r * kd.r, sum.g * kd.g, sum.b * kd.b, 1};
    return 1;
}

// The light list the host gives the instance: (count, global flag, the
// number of lights zo_instance_lightlist names, number of lights the
// inclusive (+10) or exclusive (+20) lists name).
EXPORT int test_lightlist_version(void) {
    return 1;
}
EXPORT zoBoolean test_lightlist(Color *result, RenderState *state, void *) {
    Tag item = 0;
    const int32_t *list = nullptr;
    if (!zo_query(ZO_Q_INST_DATA, state, 0, &item) ||
        !zo_query(ZO_Q_DATA_PARAM, state, item, &list) || !list)
        return 0;
    int n = 0, listed = 0;
    const Tag *lights = nullptr;
    zo_instance_lightlist(&n, &lights, state);
    float which = 0;
    if (zo_inclusive_lightlist(&listed, &lights, state)) which = 10.0f + listed;
    if (zo_exclusive_lightlist(&listed, &lights, state)) which = 20.0f + listed;
    *result = Color{static_cast<float>(list[0]), static_cast<float>(list[3]), static_cast<float>(n),
                    which};
    return 1;
}

// A light: `color`, shadowed with zo_trace_shadow when `shadow` is set; in
// `report` mode its colour tells the light state it was given: (distance,
// N.L, 1 when it is a light ray with this light set, 1).
struct LightParams {
    Color color;
    zoBoolean shadow;
    zoBoolean report;
};
EXPORT int test_light_version(void) {
    return 1;
}
EXPORT zoBoolean test_light(Color *result, RenderState *state, LightParams *p) {
    if (p->report) {
        Tag inst = 0;
        zo_query(ZO_Q_LIGHT_INSTANCE, state, 0, &inst);
        int call = -1;
        zo_query(ZO_Q_FUNC_CALLTYPE, state, 0, &call);
        const bool ok = state->type == ZO_RAY_LIGHT && inst == state->light_instance && inst &&
                        call == ZO_CALL_LIGHT && state->parent;
        *result = Color{static_cast<float>(state->dist), state->dot_nd, ok ? 1.0f : 0.0f, 1};
        return 1;
    }
    *result = p->color;
    if (p->shadow && !zo_trace_shadow(result, state)) return 0;
    return 1;
}

// The first light sample of the instance's first global light, as it
// came: (r, g, b) of the light's colour, alpha the sample count.
EXPORT int test_light_probe_version(void) {
    return 1;
}
EXPORT zoBoolean test_light_probe(Color *result, RenderState *state, void *) {
    const Tag *lights = nullptr;
    int count = 0;
    if (!zo_query(ZO_Q_NUM_GLOBAL_LIGHTS, state, 0, &count) || count < 1 ||
        !zo_query(ZO_Q_GLOBAL_LIGHTS, state, 0, &lights))
        return 0;
    Color c, first{0, 0, 0, 0};
    Vector3 dir;
    float dot_nl;
    int samples = 0, taken = 0;
    while (zo_sample_light(&c, &dir, &dot_nl, state, lights[0], &samples))
        if (taken++ == 0) first = c;
    *result = Color{first.r, first.g, first.b, static_cast<float>(samples)};
    return 1;
}

// Irradiance by final gathering (alpha: 1 when given, 0 when not).
EXPORT int test_irradiance_version(void) {
    return 1;
}
EXPORT zoBoolean test_irradiance(Color *result, RenderState *state, void *) {
    Color c{0, 0, 0, 0};
    const bool ok = zo_compute_irradiance(&c, state);
    *result = Color{c.r, c.g, c.b, ok ? 1.0f : 0.0f};
    return 1;
}

EXPORT int test_occlusion_version(void) {
    return 1;
}
EXPORT zoBoolean test_occlusion(Color *result, RenderState *state, void *) {
    return zo_ambient_occlusion(result, state);
}

// A surface of the services together: lit diffuse colour (optionally
// textured), plus `reflect` of the mirrored colour and `refract` of the
// refracted one.
struct SurfaceParams {
    Color diffuse;
    Tag texture;
    float reflect;
    float refract;
    float ior;
};
EXPORT int test_surface_version(void) {
    return 1;
}
EXPORT zoBoolean test_surface(Color *result, RenderState *state, SurfaceParams *p) {
    LambertParams lp{p->diffuse, p->texture};
    Color c{0, 0, 0, 1};
    if (p->diffuse.r > 0 || p->diffuse.g > 0 || p->diffuse.b > 0) test_lambert(&c, state, &lp);
    if (p->reflect > 0) {
        Vector3 d;
        Color r;
        zo_reflection_dir(&d, state);
        if (zo_trace_reflection(&r, state, &d)) {
            c.r += p->reflect * r.r;
            c.g += p->reflect * r.g;
            c.b += p->reflect * r.b;
        }
    }
    if (p->refract > 0) {
        GlassParams gp{p->ior, Color{0, 0, 0, 0}};
        Color t;
        test_glass(&t, state, &gp);
        c.r += p->refract * t.r;
        c.g += p->refract * t.g;
        c.b += p->refract * t.b;
    }
    c.a = 1;
    *result = c;
    return 1;
}
