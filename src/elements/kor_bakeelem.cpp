// Bake elements: the element shaders that turn a material's
// post-illumination record into baked maps (diffuse, specular, lighting,
// reflection and refraction, shadow, normals, complete, blend, alpha,
// height and any texture), run by the element handler while the bake lens
// shades the working model's texture space.
#include <korshaders/host.h>
#include <math.h>
#include <string.h>

#include "kor_context.h"
#include "kor_rendelem.h"
#include "kor_rtt.h"
#include "kor_support.h"
#include "kor_toneop.h"
#include "shader.h"

namespace {

struct LightingParams {
    zoBoolean lighting;  // lit components; clear: the material's map colours
};

struct LightBakeParams {
    zoBoolean shadows;   // clear: the lighting is baked without shadows
    zoBoolean direct;    // direct light of the scene's lights
    zoBoolean indirect;  // ambient lights and indirect light
};

struct CompleteParams {
    zoBoolean shadowColor;  // add the material's shadow colour where it carries one
};

struct BlendBakeParams {
    zoBoolean lighting;
    zoBoolean ambient;
    zoBoolean diffuse;
    zoBoolean specular;
    zoBoolean selfIllum;
    zoBoolean reflection;
    zoBoolean refraction;
    zoBoolean extra1;
    zoBoolean extra2;
};

struct GenericParams {
    Tag texture;  // texture shader baked as it stands
};

constexpr float kInvPi = 0.31830987f;

// The post-illumination record to bake from. Null when there is nothing to
// bake: calls after the atmosphere leave the result, matte surfaces bake
// transparent black.
RenderElementPostIllumData *bake_record(Color *result, ElementCallArgs *args) {
    if (!args || args->mode != 0 || !args->data) return nullptr;
    auto *d = static_cast<RenderElementPostIllumData *>(args->data);
    if (!d->matte) return d;
    *result = kor::kBlack;
    return nullptr;
}

// Coverage of the baked surface: 1 - mean transparency, within [0, 1].
float coverage(const RenderElementPostIllumData &d) {
    const Color &t = d.illum.transparency;
    const float a = 1.0f - (t.r + t.g + t.b) / 3.0f;
    return a < 0.0f ? 0.0f : a > 1.0f ? 1.0f : a;
}

float clamp01(float x) {
    return x < 0.0f ? 0.0f : x > 1.0f ? 1.0f : x;
}

void add_rgb(Color &a, const Color &b, float s = 1.0f) {
    a.r += b.r * s;
    a.g += b.g * s;
    a.b += b.b * s;
}

Color with_alpha(Color c, float a) {
    return {c.r, c.g, c.b, a};
}

Color toned(RenderState *state, Color c) {
    ToneOpScaledToRGB(state, &c, 0);
    return c;
}

// Encodes a direction as a colour: (n + 1) / 2 of the unit vector.
Color encode_normal(Vector3 n, float alpha) {
    n = kor::normalize(n);
    return {(n.x + 1.0f) * 0.5f, (n.y + 1.0f) * 0.5f, (n.z + 1.0f) * 0.5f, alpha};
}

float dot(const Vector3 &a, const Vector3 &b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vector3 cross(const Vector3 &a, const Vector3 &b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The projection record the bake lens publishes while it shades a projected
// surface, or null.
const ProjectionRecord *projection(RenderState *state) {
    int size = 0;
    const void *record = zo_shaderstate_get(state, KOR_KEY_PROJECTION, &size);
    if (!record || size < static_cast<int>(sizeof(ProjectionRecord))) return nullptr;
    return static_cast<const ProjectionRecord *>(record);
}

// n expressed in the frame (t, b, w): the coefficients x, y, z with
// n = x t + y b + z w. A degenerate frame falls back to the projections.
Vector3 in_frame(const Vector3 &n, const Vector3 &t, const Vector3 &b, const Vector3 &w) {
    const float det = dot(t, cross(b, w));
    if (fabsf(det) < 1e-12f) return {dot(n, t), dot(n, b), dot(n, w)};
    return {dot(n, cross(b, w)) / det, dot(t, cross(n, w)) / det, dot(t, cross(b, n)) / det};
}

// The shading normal in the space the bake asks for.
Vector3 baked_normal(RenderState *state, const ProjectionRecord &rec) {
    const Vector3 n = state->normal;
    Vector3 out = n;
    switch (rec.normalSpace) {
        case 0: zo_normal_to_world(&out, state, &n); break;
        case 1: zo_normal_to_camera(&out, state, &n); break;
        case 2: {
            // the working instance's object space: normals go by the
            // transpose of the object-to-world transformation
            Vector3 world;
            zo_normal_to_world(&world, state, &n);
            const auto *inst = static_cast<const zoInstanceRecord *>(
                rec.workingInstance ? zo_db_access(rec.workingInstance) : nullptr);
            if (inst) {
                const float *m = inst->to_world;
                out = {world.x * m[0] + world.y * m[1] + world.z * m[2],
                       world.x * m[4] + world.y * m[5] + world.z * m[6],
                       world.x * m[8] + world.y * m[9] + world.z * m[10]};
            } else
                zo_normal_to_object(&out, state, &n);
            if (rec.workingInstance) zo_db_unpin(rec.workingInstance);
            break;
        }
        default: {
            Vector3 basis[3];
            if (rec.working && rec.tangentBasis && rec.tangentBasis(rec.working, state, basis))
                out = in_frame(n, basis[0], basis[1], rec.working->normal);
            else
                out = {0.0f, 0.0f, 1.0f};  // no tangent frame: the unbent normal
            break;
        }
    }
    if (rec.flipNormalX) out.x = -out.x;
    if (rec.flipNormalY) out.y = -out.y;
    return out;
}

// Every bake element bakes from the record of the sample in mode 0 only
// (a matte record is black with alpha 0): the entry points share that
// preamble and hand the record to a pure step.
template <typename P>
zoBoolean runBake(zoBoolean (*step)(Color *, RenderState *, P *,
                                    const RenderElementPostIllumData &),
                  Color *result, RenderState *state, P *p, ElementCallArgs *args) {
    if (!result || !state) return 0;
    const RenderElementPostIllumData *record = bake_record(result, args);
    if (!record) return 1;
    return step(result, state, p, *record);
}

zoBoolean bakeDiffuse(Color *result, RenderState *state, LightingParams *p,
                      const RenderElementPostIllumData &d) {
    const float alpha = coverage(d);
    if (p && kor::eval(state, &p->lighting)) {
        Color c = d.illum.diffuse;
        add_rgb(c, d.illum.ambient);
        c = {c.r * d.illum.litScale, c.g * d.illum.litScale, c.b * d.illum.litScale, 0.0f};
        if (d.flags & kElementExtra1Valid) add_rgb(c, d.extraColor1);
        *result = with_alpha(toned(state, c), alpha);
    } else {
        *result = with_alpha(kor::elementMapChannel(d, 1), alpha);
    }
    return 1;
}

zoBoolean bakeSpecular(Color *result, RenderState *state, LightingParams *p,
                       const RenderElementPostIllumData &d) {
    const float alpha = coverage(d);
    if (p && kor::eval(state, &p->lighting))
        *result = with_alpha(toned(state, d.illum.specular), alpha);
    else
        *result = with_alpha(kor::elementMapChannel(d, 4), alpha);
    return 1;
}

zoBoolean bakeLight(Color *result, RenderState *state, LightBakeParams *p,
                    const RenderElementPostIllumData &d) {
    if (!p) return 0;
    const bool direct = kor::eval(state, &p->direct) != 0;
    const bool indirect = kor::eval(state, &p->indirect) != 0;
    if (!direct && !indirect) {
        *result = kor::kBlack;
        return 1;
    }
    zoOptions *options = state->options;
    zoOptions unshadowed;
    if (!kor::eval(state, &p->shadows) && options && options->shadow) {
        unshadowed = *options;
        unshadowed.shadow = 0;
        state->options = &unshadowed;
    }
    Color c = {0, 0, 0, 0};
    if (direct) {
        IlluminanceRecord rec{{0, 0, 0, 0}, indirect, direct};
        ComputeIlluminance(state, &rec);
        c = rec.sum;
    }
    Color irradiance = {0, 0, 0, 0};
    if (indirect && zo_compute_irradiance(&irradiance, state)) {
        add_rgb(c, irradiance);
        c = {c.r * kInvPi, c.g * kInvPi, c.b * kInvPi, c.a};
    }
    state->options = options;
    *result = with_alpha(toned(state, c), coverage(d));
    return 1;
}

zoBoolean bakeReflectRefract(Color *result, RenderState *state, void *,
                             const RenderElementPostIllumData &d) {
    Color c = toned(state, d.illum.reflection);
    add_rgb(c, toned(state, d.illum.refraction));
    *result = with_alpha(c, coverage(d));
    return 1;
}

zoBoolean bakeShadow(Color *result, RenderState *state, void *,
                     const RenderElementPostIllumData &d) {
    const float alpha = coverage(d);
    float s = 1.0f - IllumShadow(state);
    if (!d.shadowNoTransparency) s *= alpha;
    const float grey = clamp01(1.0f - s);
    *result = {grey, grey, grey, alpha};
    return 1;
}

zoBoolean bakeNormals(Color *result, RenderState *state, void *,
                      const RenderElementPostIllumData &d) {
    const float alpha = coverage(d);
    if (const ProjectionRecord *rec = projection(state)) {
        *result = encode_normal(baked_normal(state, *rec), alpha);
        return 1;
    }
    // Without a projection: how far the shading normal (bump) bends away
    // from the interpolated vertex normal, around +z.
    Vector3 shading, vertex;
    zo_normal_to_object(&shading, state, &state->normal);
    shading = kor::normalize(shading);
    Vector3 corners[3];
    if (zo_tri_vectors(state, ZO_TRI_NORMALS, 0, corners)) {
        ShadingContext ctx{};
        kor::interpolatedNormal(state, &ctx, kContextSurface, true, &vertex);
    } else {
        // flat geometry: the face's own normal is its vertex normal
        zo_normal_to_object(&vertex, state, &state->normal_geom);
        vertex = kor::normalize(vertex);
    }
    const Vector3 n = {shading.x - vertex.x, shading.y - vertex.y, shading.z - vertex.z + 1.0f};
    *result = encode_normal(n, alpha);
    return 1;
}

zoBoolean bakeComplete(Color *result, RenderState *state, CompleteParams *p,
                       const RenderElementPostIllumData &d) {
    const kor::ElementBlendSwitches all = {true, true, true, true, true, true, false, false};
    Color c = kor::elementBlend(d, all);
    if (p && kor::eval(state, &p->shadowColor) && (d.flags & kElementShadowValid))
        add_rgb(c, d.shadowColor);
    if (d.flags & kElementExtra1Valid) add_rgb(c, d.extraColor1);
    *result = with_alpha(toned(state, c), coverage(d));
    return 1;
}

zoBoolean bakeBlend(Color *result, RenderState *state, BlendBakeParams *p,
                    const RenderElementPostIllumData &d) {
    if (!p) return 0;
    const kor::ElementBlendSwitches on = {
        kor::eval(state, &p->ambient) != 0,    kor::eval(state, &p->diffuse) != 0,
        kor::eval(state, &p->specular) != 0,   kor::eval(state, &p->selfIllum) != 0,
        kor::eval(state, &p->reflection) != 0, kor::eval(state, &p->refraction) != 0,
        kor::eval(state, &p->extra1) != 0,     kor::eval(state, &p->extra2) != 0};
    Color c;
    if (kor::eval(state, &p->lighting)) {
        c = toned(state, kor::elementBlend(d, on));
    } else {
        // unlit: the material's map colours of the chosen components
        c = {0, 0, 0, 0};
        const struct {
            bool on;
            int id;
        } maps[] = {{on.ambient, 0},   {on.diffuse, 1},    {on.specular, 2},
                    {on.selfIllum, 5}, {on.reflection, 9}, {on.refraction, 10}};
        for (const auto &m : maps)
            if (m.on) add_rgb(c, kor::elementMapChannel(d, m.id));
    }
    c.r = fminf(c.r, 1.0f);
    c.g = fminf(c.g, 1.0f);
    c.b = fminf(c.b, 1.0f);
    *result = with_alpha(c, coverage(d));
    return 1;
}

zoBoolean bakeAlpha(Color *result, RenderState *, void *, const RenderElementPostIllumData &d) {
    const float a = coverage(d);
    *result = {a, a, a, a};
    return 1;
}

zoBoolean bakeHeight(Color *result, RenderState *state, void *,
                     const RenderElementPostIllumData &d) {
    const ProjectionRecord *rec = projection(state);
    if (!rec || !rec->working) {
        *result = kor::kBlack;
        return 1;
    }
    const Vector3 &w = rec->working->point;
    const Vector3 offset = {state->point.x - w.x, state->point.y - w.y, state->point.z - w.z};
    float range = rec->heightMax - rec->heightMin;
    if (!(range > 0.0f)) range = 1e-6f;
    const float h = (dot(offset, rec->working->normal) - rec->heightMin) / range;
    *result = {h, h, h, coverage(d)};
    return 1;
}

zoBoolean bakeGeneric(Color *result, RenderState *state, GenericParams *p,
                      const RenderElementPostIllumData &) {
    const Tag texture = p ? kor::eval(state, &p->texture) : 0;
    if (!texture) {
        *result = kor::kBlack;
        return 0;
    }
    Color c = {0, 0, 0, 0};
    kor::MapRequest request{kor::kMapColor, 0, 0};
    if (!zo_call_shader_x(&c, ZO_SHADER_MAP, state, texture, &request)) c = kor::kBlack;
    *result = with_alpha(c, 1.0f);
    return 1;
}

}  // namespace

KOR_EXPORT zoBoolean kor_DiffuseBakeElement(Color *result, RenderState *state, LightingParams *p,
                                            ElementCallArgs *args) {
    return runBake(bakeDiffuse, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_SpecularBakeElement(Color *result, RenderState *state, LightingParams *p,
                                             ElementCallArgs *args) {
    return runBake(bakeSpecular, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_LightBakeElement(Color *result, RenderState *state, LightBakeParams *p,
                                          ElementCallArgs *args) {
    return runBake(bakeLight, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_ReflectRefractBakeElement(Color *result, RenderState *state, void *p,
                                                   ElementCallArgs *args) {
    return runBake(bakeReflectRefract, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_ShadowBakeElement(Color *result, RenderState *state, void *p,
                                           ElementCallArgs *args) {
    return runBake(bakeShadow, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_NormalsBakeElement(Color *result, RenderState *state, void *p,
                                            ElementCallArgs *args) {
    return runBake(bakeNormals, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_CompleteBakeElement(Color *result, RenderState *state, CompleteParams *p,
                                             ElementCallArgs *args) {
    return runBake(bakeComplete, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_BlendBakeElement(Color *result, RenderState *state, BlendBakeParams *p,
                                          ElementCallArgs *args) {
    return runBake(bakeBlend, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_AlphaBakeElement(Color *result, RenderState *state, void *p,
                                          ElementCallArgs *args) {
    return runBake(bakeAlpha, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_HeightBakeElement(Color *result, RenderState *state, void *p,
                                           ElementCallArgs *args) {
    return runBake(bakeHeight, result, state, p, args);
}

KOR_EXPORT zoBoolean kor_GenericBakeElement(Color *result, RenderState *state, GenericParams *p,
                                            ElementCallArgs *args) {
    return runBake(bakeGeneric, result, state, p, args);
}
