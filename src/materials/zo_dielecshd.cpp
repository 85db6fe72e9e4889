// kor2_dielectric_material and its photon twin: a clear or coloured
// dielectric. The surface splits light by the Fresnel reflectance between
// the medium the ray is in and the one beyond; both the reflected and the
// refracted ray are traced, and the colour they bring back is absorbed by
// Beer's law over the distance it travelled inside (or outside, when the
// outside is a medium of its own). Past a combined reflection and
// refraction depth only one of the two rays is traced, chosen by the
// Fresnel weights. Phong highlights come from the lights of a list (or the
// global lights). The photon twin absorbs, then reflects or refracts by the
// same weights.
#include <math.h>
#include <stddef.h>
#include <string.h>

#include "kor_rendelem.h"
#include "kor_vector.h"
#include "shader.h"
#include "zo_physics.h"

namespace {

using namespace kor;
using namespace kor::physics;

constexpr const char *kModule = "zo_dielecshd";

struct DielectricParams {
    Color insideColor;  // persistence per unit length inside
    float ior;
    Color outsideColor;  // persistence per unit length outside
    float iorOut;        // > 0: the outside is a medium of its own
    float lengthUnit;
    uint8_t ignoreNormals;  // one byte of a boolean word
    uint8_t pad[3];
    float opaqueAlpha;
    float phongExponent;
    ParamArray<Tag> lights;
};
static_assert(offsetof(DielectricParams, ignoreNormals) == 44, "dielectric layout");
static_assert(offsetof(DielectricParams, opaqueAlpha) == 48, "dielectric layout");
static_assert(offsetof(DielectricParams, lights) == 56, "dielectric layout");

// Per instance, in the user-pointer slot.
struct DielectricSetup {
    float ior;
    float outerIor;
    float phongExponent;
    uint8_t ignoreNormals;
    uint8_t pad0[3];
    float opaqueAlpha;
    uint8_t hasOutside;
    uint8_t pad1[3];
    int32_t splitDepth;
    float lengthScale;
};

// The options' split depth D sets where the split starts.
int splitDepthOf(const RenderState *state) {
    const int D = state && state->options ? state->options->split_depth : 0;
    if (D < 1) return 4;
    const int depth = 5 - D;
    return depth < 1 ? 1 : depth;
}

void fillSetup(DielectricSetup *s, RenderState *state, const DielectricParams *p, bool report) {
    memset(s, 0, sizeof *s);
    float ior = eval(state, &p->ior);
    if (ior <= 0.0f) {
        if (report)
            zo_warning(
                "dielectric material cannot use zero or negative index of refraction %f "
                "(using 1.0)",
                static_cast<double>(ior));
        ior = 1.0f;
    }
    s->ior = ior;
    s->outerIor = 1.0f;
    const float iorOut = eval(state, &p->iorOut);
    if (iorOut < 0.0f && report)
        zo_warning("cannot use negative index of refraction %f for dielectric material (ignoring)",
                   static_cast<double>(iorOut));
    s->hasOutside = iorOut > 0.0f ? 1 : 0;
    s->phongExponent = eval(state, &p->phongExponent);
    s->ignoreNormals = eval(state, &p->ignoreNormals) ? 1 : 0;
    s->opaqueAlpha = eval(state, &p->opaqueAlpha);
    s->splitDepth = splitDepthOf(state);
    const float unit = eval(state, &p->lengthUnit);
    s->lengthScale = unit != 0.0f ? 1.0f / unit : 1.0f;
}

// The instance's setup, or one made for this call when init did not run.
const DielectricSetup *setupOf(RenderState *state, const DielectricParams *p,
                               DielectricSetup *local) {
    void **slot = user_slot(state);
    if (slot && *slot) return static_cast<const DielectricSetup *>(*slot);
    fillSetup(local, state, p, false);
    return local;
}

// Beer's law: what persistence p per unit length lets through over d.
float persist(float p, float d) {
    if (p <= 0.0f) return 0.0f;
    if (p >= 1.0f) return 1.0f;
    return powf(p, d);
}

bool absorbs(const Color &p) {
    return p.r < 1.0f || p.g < 1.0f || p.b < 1.0f;
}

void absorb(Color &c, const Color &p, double length, float scale) {
    if (!(length > 0.0)) return;
    const float d = static_cast<float>(length) * scale;
    c.r *= persist(p.r, d);
    c.g *= persist(p.g, d);
    c.b *= persist(p.b, d);
}

// How far a ray from the state's point along `dir` goes before it meets a
// surface (0 when it meets none); the host's trace does not report it.
double tracedLength(RenderState *state, const Vector3 &dir) {
    RenderState *saved = state->child;
    double d = 0.0;
    if (zo_trace_probe(state, &dir, nullptr) && state->child && state->child != saved)
        d = state->child->dist;
    state->child = saved;
    return d;
}

struct Call {
    RenderState *state;
    const DielectricParams *p;
    const DielectricSetup *setup;
    Color inside, outside;
};

Call makeCall(RenderState *state, const DielectricParams *p, DielectricSetup *local) {
    Call c{state, p, setupOf(state, p, local), eval(state, &p->insideColor),
           eval(state, &p->outsideColor)};
    return c;
}

Medium bookkeeping(const Call &c) {
    MediumRule rule{c.setup->ior, c.setup->ignoreNormals != 0, c.setup->hasOutside != 0,
                    c.setup->outerIor};
    return trackMedium(c.state, rule);
}

// Traces along `dir` (reflection or refraction), falling back to the
// environment; absorbs what comes back with `persistence` when given.
bool traceAbsorbed(Color *out, const Call &c, const Vector3 &dir, bool refraction,
                   const Color *persistence) {
    RenderState *state = c.state;
    double length = 0.0;
    if (persistence && absorbs(*persistence)) length = tracedLength(state, dir);
    *out = kBlack;
    bool ok = refraction ? zo_trace_refraction(out, state, &dir) != 0
                         : zo_trace_reflection(out, state, &dir) != 0;
    if (!ok && state->type != ZO_RAY_ENVIRONMENT) {
        *out = kBlack;
        ok = zo_trace_environment(out, state, &dir) != 0;
        length = 0.0;
    }
    if (!ok) return false;
    if (persistence) absorb(*out, *persistence, length, c.setup->lengthScale);
    return true;
}

zoBoolean photonStep(Color *energy, RenderState *state, const DielectricParams *p);

zoBoolean surfaceStep(Color *result, RenderState *state, const DielectricParams *p) {
    *result = kBlack;
    const int type = state->type;
    if (type == ZO_RAY_LIGHT || type == ZO_RAY_SHADOW || type == ZO_RAY_DISPLACE) return 0;
    DielectricSetup local;
    const Call c = makeCall(state, p, &local);
    const DielectricSetup &s = *c.setup;
    const Medium m = bookkeeping(c);
    const float F = zo_fresnel_reflection(state, state->ior_in, state->ior);

    // Phong highlights, averaged over each light's samples.
    Color highlight = {0, 0, 0, 0};
    if (s.phongExponent > 0.0f) {
        const float k = (s.phongExponent + 1.0f) * F * 0.15915494f;
        const int count = eval(state, &p->lights.count);
        const int start = eval(state, &p->lights.start);
        LightWalk walk(state, count > 0 ? &p->lights[start] : nullptr, count);
        while (walk.nextLight()) {
            Color sum = {0, 0, 0, 0};
            while (walk.nextSample())
                addScaled(sum, walk.color(),
                          k * zo_phong_specular(s.phongExponent, state, &walk.direction()));
            if (walk.samples() > 0) addScaled(highlight, sum, 1.0f / walk.samples());
        }
        addScaled(*result, highlight, 1.0f);
    }

    // Past the split depth one ray stands for both. The host picks each by
    // its weight and rescales the one it keeps by its probability.
    bool reflect = true, refract = true;
    float reflectWeight = 1.0f, refractWeight = 1.0f;
    if (state->reflection_level + state->refraction_level >= s.splitDepth) {
        Color none = {0, 0, 0, 0}, none2 = none;
        Color r = {F, F, F, F}, t = {1 - F, 1 - F, 1 - F, 1 - F};
        const int kind = zo_choose_simple_scatter_type(state, &none, &r, &none2, &t);
        reflect = kind == ZO_PHOTON_REFLECT_SPECULAR;
        refract = kind == ZO_PHOTON_TRANSMIT_SPECULAR;
        if (reflect) reflectWeight = F > 0.0f ? r.r / F : 0.0f;
        if (refract) refractWeight = F < 1.0f ? t.r / (1.0f - F) : 0.0f;
    }
    result->a = F;

    Color reflected = {0, 0, 0, 0}, refracted = {0, 0, 0, 0};
    if (reflect && F > 0.0001f) {
        Vector3 dir;
        zo_reflection_dir(&dir, state);
        // a ray reflected on the way out stays inside
        const Color *persistence = !m.entering ? &c.inside : (s.hasOutside ? &c.outside : nullptr);
        Color col;
        if (traceAbsorbed(&col, c, dir, false, persistence)) {
            addScaled(reflected, col, F * reflectWeight);
            addScaled(*result, reflected, 1.0f);
        }
    }
    if (refract && F < 0.9999f) {
        const float nFrom = state->ior_in, nTo = state->ior;
        const float ratio = nTo != 0.0f ? nFrom / nTo : 1.0f;
        const float w = ratio * ratio * (1.0f - F) * refractWeight;
        Vector3 dir;
        if (zo_refraction_dir(&dir, state, state->ior_in, state->ior)) {
            const Color *persistence =
                m.entering ? &c.inside : (s.hasOutside ? &c.outside : nullptr);
            Color col;
            if (traceAbsorbed(&col, c, dir, true, persistence)) {
                addScaled(refracted, col, w);
                addScaled(*result, refracted, 1.0f);
                result->a += col.a * (1.0f - F);
            }
        }
    }
    if (s.opaqueAlpha != 0.0f) result->a = 1.0f;
    finishSurface(state, *result, {kBlack, highlight, reflected, refracted});
    return 1;
}

zoBoolean photonStep(Color *energy, RenderState *state, const DielectricParams *p) {
    DielectricSetup local;
    const Call c = makeCall(state, p, &local);
    const Medium m = bookkeeping(c);
    const float F = zo_fresnel_reflection(state, state->ior_in, state->ior);

    // what the photon lost on its way here
    const Color *persistence =
        !m.entering ? &c.inside : (c.setup->hasOutside ? &c.outside : nullptr);
    if (persistence) absorb(*energy, *persistence, state->dist, c.setup->lengthScale);

    Color none = {0, 0, 0, 0}, none2 = none;
    Color r = {F, F, F, F}, t = {1 - F, 1 - F, 1 - F, 1 - F};
    const int kind = zo_choose_simple_scatter_type(state, &none, &r, &none2, &t);
    // the host rescales the weight it keeps by its probability
    const float rescaled = kind == ZO_PHOTON_REFLECT_SPECULAR ? r.r : t.r;
    Vector3 dir;
    if (kind == ZO_PHOTON_REFLECT_SPECULAR) {
        Color e = *energy;
        scaleRGB(e, rescaled);
        zo_reflection_dir(&dir, state);
        zo_photon_reflection_specular(&e, state, &dir);
    } else if (kind == ZO_PHOTON_TRANSMIT_SPECULAR) {
        Color e = *energy;
        scaleRGB(e, rescaled);
        if (zo_refraction_dir(&dir, state, state->ior_in, state->ior))
            zo_photon_transmission_specular(&e, state, &dir);
    }
    return 1;
}

void releaseSetup(RenderState *state) {
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

void initSetup(RenderState *state, void *params, zoBoolean *request) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = user_slot(state);
    if (!slot) return;
    releaseSetup(state);
    auto *s = static_cast<DielectricSetup *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(DielectricSetup)));
    if (!s) return;
    fillSetup(s, state, static_cast<const DielectricParams *>(params), true);
    *slot = s;
}

}  // namespace

KOR_EXPORT zoBoolean kor2_dielectric_material_photon(Color *energy, RenderState *state,
                                                     DielectricParams *params);

KOR_EXPORT zoBoolean kor2_dielectric_material(Color *result, RenderState *state,
                                              DielectricParams *params) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kBlack;
        return 0;
    }
    if (photonRay(state->type)) return kor2_dielectric_material_photon(result, state, params);
    return surfaceStep(result, state, params);
}

KOR_EXPORT zoBoolean kor2_dielectric_material_photon(Color *energy, RenderState *state,
                                                     DielectricParams *params) {
    if (!energy || !state || !params) return 0;
    if (!photonRay(state->type)) return surfaceStep(energy, state, params);
    return photonStep(energy, state, params);
}

KOR_SHADER_INIT(kor2_dielectric_material) {
    initSetup(state, params, request);
}

KOR_SHADER_EXIT(kor2_dielectric_material) {
    if (params) releaseSetup(state);
}

KOR_SHADER_INIT(kor2_dielectric_material_photon) {
    initSetup(state, params, request);
}

KOR_SHADER_EXIT(kor2_dielectric_material_photon) {
    if (params) releaseSetup(state);
}
