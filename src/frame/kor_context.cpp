// Shading context operations.
#include "kor_context.h"

#include <math.h>

#include "kor_bary.h"
#include "kor_statekeys.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "scenedata.h"
#include "shader.h"
#include "utilshaders.h"

namespace kor {
namespace {

constexpr float kAlongRay = 100.0f;

bool spawnable(int type) {
    return type >= ZO_RAY_TRANSPARENT && type <= ZO_RAY_REFRACT;
}

// How an operation answers for a mode.
enum class Answer {
    Surface,   // as on the current surface, for `target`
    Ray,       // the no-surface column
    Fallback,  // the spawning-surface fallback column
    Orphan,    // a spawned ray without a parent state
    Neutral,   // unknown mode
};

Answer resolve(RenderState *state, int mode, RenderState **target) {
    *target = state;
    switch (mode) {
        case kContextSurface: return Answer::Surface;
        case kContextRay: return Answer::Ray;
        case kContextSpawner:
            if (!spawnable(state->type)) return Answer::Fallback;
            if (!state->parent) return Answer::Orphan;
            *target = state->parent;
            return Answer::Surface;
        default: return Answer::Neutral;
    }
}

// Any other mode gets the neutral answer of every operation.
bool known_mode(int mode) {
    return mode >= kContextSurface && mode <= kContextSpawner;
}

// Answers that are neutral (or nothing) wherever there is no surface.
RenderState *surface_or_null(RenderState *state, int mode) {
    RenderState *target;
    return resolve(state, mode, &target) == Answer::Surface ? target : nullptr;
}

Vector3 camera_ray_along(RenderState *state) {
    Vector3 d;
    zo_vector_to_camera(&d, state, &state->dir);
    return d * kAlongRay;
}

Vector3 world_ray_along(RenderState *state) {
    Vector3 d;
    zo_vector_to_world(&d, state, &state->dir);
    return d * kAlongRay;
}

Vector3 blend(const Vector3 v[3], const float *w) {
    return v[0] * w[0] + v[1] * w[1] + v[2] * w[2];
}

void zero3(Vector3 v[3]) {
    v[0] = v[1] = v[2] = kZero;
}

Vector3 object_space_point(RenderState *state) {
    Vector3 p;
    zo_point_to_object(&p, state, &state->point);
    return p;
}

void object_box(RenderState *state, Vector3 *lo, Vector3 *hi) {
    const ObjectData *object = GetObjectData(state);
    const SceneData *scene = GetSceneData(state);
    if (object && scene && !scene->rendererGeometry) {
        *lo = object->boxMin;
        *hi = object->boxMax;
        return;
    }
    *lo = *hi = kZero;
    if (!state->pri) return;
    zo_query(ZO_Q_OBJ_BBOX_MIN, state, 0, lo);
    zo_query(ZO_Q_OBJ_BBOX_MAX, state, 0, hi);
}

Vector3 object_point_derivative(RenderState *state, const ShadingContext *ctx,
                                FootprintCache *cache = nullptr) {
    float bary[4];
    Vector3 v[3];
    if (!triangleBaryDerivatives(state, ctx, bary, cache, v) &&
        !zo_tri_vectors(state, ZO_TRI_POSITION, 0, v))
        zero3(v);
    return triangleFootprint(bary, v);
}

Vector3 texture_coordinate(RenderState *state, int index) {
    if (index < 0 || !state->tex_list || index >= state->tex_count) return kZero;
    return state->tex_list[index];
}

int texture_spaces(RenderState *state) {
    int count = 0;
    if (!zo_query(ZO_Q_NUM_TEXTURES, state, 0, &count)) return 0;
    return count;
}

}  // namespace

// ---------------------------------------------------------------------------

void contextCreate(ShadingContext *ctx, RenderState *state) {
    const SceneData *scene = GetSceneData(state);
    ctx->bakeHooks = scene ? scene->bakeHooks : 0;
    ctx->editorFallback = scene ? scene->materialEditor : 0;
    const float aspect = scene ? scene->pixelAspect : 1.0f;
    const zoCamera *camera = state ? state->camera : nullptr;
    ctx->pixelScaleX = 0.0f;
    if (camera && camera->aperture != 0.0f) {
        const float xres = static_cast<float>(camera->x_resolution);
        ctx->pixelScaleX = camera->orthographic
                               ? xres / camera->aperture
                               : (camera->focal * -2.0f / camera->aperture) * xres * 0.5f;
    }
    ctx->pixelScaleY = -aspect * ctx->pixelScaleX;
}

void contextRelease(ShadingContext *ctx) {
    *ctx = ShadingContext{};
}

int selectChannel(RenderState *state, const ShadingContext *ctx, int mode, const void *callerRecord,
                  int channelType, int channelNumber) {
    if (mode < kContextSurface || mode > kContextSpawner) return -1;
    RenderState *s = surface_or_null(state, mode);
    if (!s) return 0;
    if (callerRecord && static_cast<const int32_t *>(callerRecord)[2] != 0) return 0;
    const int spaces = texture_spaces(s);
    if (ObjectData *object = GetObjectData(s)) {
        auto lookup = [&](int channel) {
            const int index = GetUVChannelIndexFromID(s, object, channel);
            return index >= spaces ? -1 : index;
        };
        int index = lookup(channelType == 2 ? 0 : channelNumber);
        if (index == -1 && ctx->editorFallback) index = lookup(1);
        return index;
    }
    if (channelType == 2) return spaces - 1;
    return channelNumber <= spaces ? channelNumber - 1 : -1;
}

void channelUVW(RenderState *state, const ShadingContext *, int mode, int index, Vector3 *out) {
    RenderState *s;
    switch (resolve(state, mode, &s)) {
        case Answer::Surface:
        case Answer::Orphan: *out = texture_coordinate(s, index); return;
        case Answer::Ray: *out = index == 0 ? texture_coordinate(s, 0) : kZero; return;
        case Answer::Fallback: *out = camera_ray_along(s); return;
        case Answer::Neutral: *out = kZero; return;
    }
}

void channelFootprint(RenderState *state, const ShadingContext *ctx, int mode, int index,
                      Vector3 *out) {
    channelFootprint(state, ctx, mode, index, out, nullptr);
}

void channelFootprint(RenderState *state, const ShadingContext *ctx, int mode, int index,
                      Vector3 *out, FootprintCache *cache) {
    RenderState *s = surface_or_null(state, mode);
    *out = kZero;
    if (!s || s->type == ZO_RAY_SHADOW || index < 0) return;
    channelTriangleFootprint(s, ctx, index, out, cache);
}

void channelNormal(RenderState *state, const ShadingContext *, int mode, int index, Vector3 *out) {
    RenderState *s = surface_or_null(state, mode);
    *out = kZero;
    if (!s || index < 0) return;
    Vector3 t[3];
    textureTriangle(s, index, t);
    *out = cross(t[1] - t[0], t[2] - t[0]);
}

void bumpBasis(RenderState *state, const ShadingContext *, int mode, int index, Vector3 basis[3]) {
    RenderState *s;
    const Answer answer = resolve(state, mode, &s);
    if (answer != Answer::Surface) {
        if (answer == Answer::Neutral) zero3(basis);
        return;
    }
    zero3(basis);
    if (index < 0) return;
    Vector3 p[3], t[3];
    cameraTriangle(s, p);
    textureTriangle(s, index, t);
    const Vector3 e1 = p[1] - p[0], e2 = p[2] - p[0];
    const Vector3 t1 = t[1] - t[0], t2 = t[2] - t[0];
    const Vector3 np = unit(cross(e1, e2)), nt = unit(cross(t1, t2));
    auto at_least = [](float l) { return l < 1e-07f ? 1e-07f : l; };
    const float scale = ((at_least(length(e1)) / at_least(length(t1))) +
                         (at_least(length(e2)) / at_least(length(t2)))) /
                        2;
    for (int k = 0; k < 3; ++k) {
        const Vector3 axis = {k == 0 ? 1.0f : 0.0f, k == 1 ? 1.0f : 0.0f, k == 2 ? 1.0f : 0.0f};
        const float along = dot(nt, axis);
        const Vector3 projected = axis - nt * along;
        const Vector3 w = planarWeights(projected, kZero, t1, t2);
        basis[k] = unit(np * (scale * along) + e1 * w.y + e2 * w.z);
    }
}

void dPdUV(RenderState *state, const ShadingContext *, int mode, int axis, int index,
           Vector3 out[2]) {
    RenderState *s;
    Answer answer = resolve(state, mode, &s);
    if (mode == kContextSpawner && spawnable(state->type)) {
        s = state;  // spawned rays answer for the current surface here
        answer = Answer::Surface;
    }
    if (answer != Answer::Surface) {
        if (answer == Answer::Neutral) out[0] = out[1] = kZero;
        return;
    }
    out[0] = out[1] = kZero;
    if (index < 0 || axis < 0 || axis > 2) return;
    const int next = (axis + 1) % 3;
    Vector3 p[3], t[3];
    cameraTriangle(s, p);
    textureTriangle(s, index, t);
    const Vector3 e1 = p[1] - p[0], e2 = p[2] - p[0];
    const Vector3 t1 = t[1] - t[0], t2 = t[2] - t[0];
    const float du1 = component(t1, axis), du2 = component(t2, axis);
    const float dv1 = component(t1, next), dv2 = component(t2, next);
    const float D = du2 * dv1 - du1 * dv2;
    if (D != 0.0f) {
        out[0] = (e2 * dv1 - e1 * dv2) / D;
        out[1] = (e1 * du2 - e2 * du1) / D;
    } else {
        out[0] = du1 != 0.0f ? e1 / du1 : du2 != 0.0f ? e2 / du2 : kZero;
        out[1] = dv1 != 0.0f ? e1 / dv1 : dv2 != 0.0f ? e2 / dv2 : kZero;
    }
    out[0] = unit(out[0]);
    out[1] = unit(out[1]);
}

void baryDerivatives(RenderState *state, const ShadingContext *ctx, int mode, float out[4]) {
    RenderState *s;
    const Answer answer = resolve(state, mode, &s);
    if (answer == Answer::Surface) {
        triangleBaryDerivatives(s, ctx, out, nullptr);
    } else if (answer == Answer::Neutral) {
        out[0] = out[1] = out[2] = out[3] = 0.0f;
    }
}

float spread(RenderState *state, const ShadingContext *ctx, int mode) {
    const float ray_value = ctx->pixelScaleX != 0.0f ? fabsf(1.0f / ctx->pixelScaleX) : 0.0f;
    if (mode == kContextRay) return ray_value;
    if (mode == kContextSpawner) {
        RenderState *s = state;
        while (s->type == ZO_RAY_TRANSPARENT && s->parent) s = s->parent;
        if (!spawnable(s->type) || !s->parent) return ray_value;
    } else if (mode != kContextSurface) {
        return 0.0f;
    }
    float bary[4];
    triangleBaryDerivatives(state, ctx, bary, nullptr);
    Vector3 n[3];
    if (!zo_tri_vectors(state, ZO_TRI_NORMALS, 0, n)) return 0.0f;
    const Vector3 dNdy = (n[1] - n[0]) * bary[1] + (n[2] - n[0]) * bary[3];
    return length(dNdy);
}

float pixelSize(RenderState *state, const ShadingContext *ctx, int mode) {
    if (!known_mode(mode)) return 0.0f;
    if (state->camera && state->camera->orthographic) return 0.0f;
    return ctx->pixelScaleX != 0.0f ? fabsf(1.0f / ctx->pixelScaleX) : 0.0f;
}

void objectPointNormalized(RenderState *state, const ShadingContext *, int mode, Vector3 *out) {
    RenderState *s;
    switch (resolve(state, mode, &s)) {
        case Answer::Surface:
        case Answer::Orphan: {
            Vector3 lo, hi;
            object_box(s, &lo, &hi);
            const Vector3 p = object_space_point(s);
            auto normalized = [](float v, float a, float b) {
                return b != a ? ((v - a) * 2) / (b - a) - 1 : 0.0f;
            };
            *out = {normalized(p.x, lo.x, hi.x), normalized(p.y, lo.y, hi.y),
                    normalized(p.z, lo.z, hi.z)};
            return;
        }
        case Answer::Ray: *out = s->dir; return;
        case Answer::Fallback: *out = world_ray_along(s); return;
        case Answer::Neutral: *out = kZero; return;
    }
}

void objectPointNormalizedDerivative(RenderState *state, const ShadingContext *ctx, int mode,
                                     Vector3 *out) {
    RenderState *s = surface_or_null(state, mode);
    *out = kZero;
    if (!s) return;
    Vector3 lo, hi;
    object_box(s, &lo, &hi);
    const Vector3 d = object_point_derivative(s, ctx);
    auto scaled = [](float v, float a, float b) { return b != a ? v * 2 / (b - a) : 0.0f; };
    *out = {scaled(d.x, lo.x, hi.x), scaled(d.y, lo.y, hi.y), scaled(d.z, lo.z, hi.z)};
}

void objectPoint(RenderState *state, const ShadingContext *, int mode, Vector3 *out) {
    RenderState *s;
    switch (resolve(state, mode, &s)) {
        case Answer::Surface: *out = object_space_point(s); return;
        case Answer::Ray: *out = s->point; return;
        case Answer::Fallback:
        case Answer::Orphan: *out = world_ray_along(s); return;
        case Answer::Neutral: *out = kZero; return;
    }
}

void objectPointDerivative(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out) {
    objectPointDerivative(state, ctx, mode, out, nullptr);
}

void objectPointDerivative(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out,
                           FootprintCache *cache) {
    RenderState *s = surface_or_null(state, mode);
    *out = s ? object_point_derivative(s, ctx, cache) : kZero;
}

void shadingPoint(RenderState *state, const ShadingContext *, int mode, Vector3 *out) {
    RenderState *s;
    switch (resolve(state, mode, &s)) {
        case Answer::Surface:
        case Answer::Orphan:
        case Answer::Ray: *out = s->point; return;
        case Answer::Fallback: {
            const Vector3 along = camera_ray_along(s);
            zo_point_from_camera(out, s, &along);
            return;
        }
        case Answer::Neutral: *out = kZero; return;
    }
}

void shadingPointDerivative(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out) {
    RenderState *s = surface_or_null(state, mode);
    *out = kZero;
    if (!s) return;
    float bary[4];
    triangleBaryDerivatives(s, ctx, bary, nullptr);
    Vector3 p[3];
    cameraTriangle(s, p);
    *out = triangleFootprint(bary, p);
}

namespace {
Vector3 screen_ray_value(RenderState *s) {
    return s->tex_list ? texture_coordinate(s, 0) : kZero;
}
}  // namespace

void screenUV(RenderState *state, const ShadingContext *, int mode, Vector3 *out) {
    *out = kZero;
    if (mode == kContextRay) {
        *out = screen_ray_value(state);
        return;
    }
    if ((mode != kContextSurface && mode != kContextSpawner) || !state->camera) return;
    *out = {state->raster_x / static_cast<float>(state->camera->x_resolution),
            state->raster_y / static_cast<float>(state->camera->y_resolution), 0.0f};
}

void screenRegionUV(RenderState *state, const ShadingContext *, int mode, float width, float height,
                    Vector3 *out) {
    *out = kZero;
    if (mode == kContextRay) {
        *out = screen_ray_value(state);
        return;
    }
    if ((mode != kContextSurface && mode != kContextSpawner) || !state->camera) return;
    const zoCamera *c = state->camera;
    *out = {(state->raster_x + c->x_offset + width / 2 - c->x_resolution / 2.0f) / width,
            (state->raster_y + c->y_offset + height / 2 - c->y_resolution / 2.0f) / height, 0.0f};
}

namespace {
using Convert = void (*)(Vector3 *, RenderState *, const Vector3 *);

void convert(RenderState *state, int mode, Vector3 in, int space, Vector3 *out,
             const Convert by_space[3]) {
    RenderState *s;
    *out = in;
    switch (resolve(state, mode, &s)) {
        case Answer::Surface:
        case Answer::Orphan:
            if (space >= 0 && space <= 2) by_space[space](out, s, &in);
            return;
        case Answer::Fallback:
            if (space == kSpaceWorld) by_space[0](out, s, &in);
            return;
        case Answer::Ray: return;
        case Answer::Neutral: *out = kZero; return;
    }
}

// Camera to internal space with the camera matrix's rows normalised.
void vector_from_camera_rows(Vector3 *out, RenderState *state, const Vector3 *in) {
    const float *m = nullptr;
    if (!zo_query(ZO_Q_TRANS_INTERNAL_TO_CAMERA, state, 0, &m) || !m) {
        zo_vector_from_camera(out, state, in);
        return;
    }
    Vector3 rows[3];
    for (int i = 0; i < 3; ++i) rows[i] = unit(Vector3{m[4 * i], m[4 * i + 1], m[4 * i + 2]});
    *out = {dot(rows[0], *in), dot(rows[1], *in), dot(rows[2], *in)};
}
}  // namespace

void pointToSpace(RenderState *state, const ShadingContext *, int mode, Vector3 point, int space,
                  Vector3 *out) {
    static const Convert kBySpace[3] = {zo_point_to_world, zo_point_to_camera, zo_point_to_object};
    convert(state, mode, point, space, out, kBySpace);
}

void vectorToSpace(RenderState *state, const ShadingContext *, int mode, Vector3 vector, int space,
                   Vector3 *out) {
    static const Convert kBySpace[3] = {zo_vector_to_world, zo_vector_to_camera,
                                        zo_vector_to_object};
    convert(state, mode, vector, space, out, kBySpace);
}

void vectorFromSpace(RenderState *state, const ShadingContext *, int mode, Vector3 vector,
                     int space, Vector3 *out) {
    static const Convert kBySpace[3] = {zo_vector_from_world, vector_from_camera_rows,
                                        zo_vector_from_object};
    convert(state, mode, vector, space, out, kBySpace);
}

void rasterMotion(RenderState *state, const ShadingContext *, int, Vector3 *out) {
    *out = kZero;
    Vector3 m[3];
    if (!zo_tri_vectors(state, ZO_TRI_MOTION, 0, m)) return;
    const Vector3 object_motion = blend(m, state->bary);
    Vector3 motion;
    zo_vector_from_object(&motion, state, &object_motion);
    const Vector3 moved = state->point + motion;
    Vector3 raster;
    zo_point_to_raster(&raster, state, &moved);
    *out = {raster.x - state->raster_x, raster.y - state->raster_y, 0.0f};
}

void interpolatedNormal(RenderState *state, const ShadingContext *, int mode, bool objectSpace,
                        Vector3 *out) {
    if (!known_mode(mode)) {
        *out = kZero;
        return;
    }
    Vector3 n[3];
    if (!zo_tri_vectors(state, ZO_TRI_NORMALS, 0, n)) {
        *out = state->normal;
        return;
    }
    Vector3 normal = blend(n, state->bary);
    if (!objectSpace) {
        const Vector3 object_normal = normal;
        zo_normal_from_object(&normal, state, &object_normal);
    }
    normal = unit(normal);
    *out = state->inv_normal ? -normal : normal;
}

// ---------------------------------------------------------------------------

zoBoolean chooseMaterialBySample(Color *result, RenderState *state, float threshold, Tag materialA,
                                 Tag materialB) {
    double r = 0.0;
    int counter = 0;
    zo_sample(&r, &counter, state, 1, nullptr);
    return CallMaterial(result, state, r < threshold ? materialA : materialB, nullptr);
}

zoBoolean callMaterialWithTransparency(Color *result, Color *transparency, RenderState *state,
                                       Tag material) {
    const TransparencyProbe empty{0, {0, 0, 0, 0}};
    markStateKeyStored(kOwnKeyTransparencyProbe);
    zo_shaderstate_set(state, "KEY_3", &empty, sizeof empty, ZO_SHADERSTATE_RAY_TREE);
    const zoBoolean ok = CallMaterial(result, state, material, nullptr);
    if (!ok) {
        *result = {0, 0, 0, result->a};
        *transparency = {0, 0, 0, 0};
    } else {
        auto *probe = static_cast<TransparencyProbe *>(zo_shaderstate_get(state, "KEY_3", nullptr));
        if (probe && probe->filled) {
            *transparency = probe->transparency;
        } else if (call_type(state) == ZO_CALL_DISPLACE) {
            *transparency = {0, 0, 0, 0};
        } else {
            const float t = 1.0f - result->a;
            *transparency = {t, t, t, 0};
        }
    }
    transparency->a = 1.0f;
    result->a = 1.0f;
    zo_shaderstate_set(state, "KEY_3", nullptr, 0, ZO_SHADERSTATE_RAY_TREE);
    return ok;
}

}  // namespace kor
