// kor2_dgs_material and its photon twin: a surface of three layers, a
// diffuse, a Ward glossy and a mirror-like specular one, each of which can
// also transmit (the `transparency` share). Direct light comes from the
// host's light iterator on the front and, for the transmitted share, on the
// back side; indirect light from the host's irradiance; the specular and
// glossy layers trace their reflected and transmitted rays. The photon twin
// stores photons on diffuse surfaces and scatters them by the host's choice
// among the six reflection and transmission kinds.
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

struct DgsParams {
    Color diffuse;
    Color glossy;
    Color specular;
    float shiny;   // isotropic Ward shininess; 0: anisotropic
    float shinyU;  // anisotropic shininess along the first surface derivative
    float shinyV;
    float transparency;
    float ior;
    ParamArray<Tag> lights;
};
static_assert(offsetof(DgsParams, lights) == 68, "dgs layout");

struct Dgs {
    Color diffuse, glossy, specular;
    float shiny, shinyU, shinyV, transparency, ior;
    const Tag *lights;
    int lightCount;
    Vector3 u, v;  // anisotropy frame
};

Dgs evaluate(RenderState *state, const DgsParams *p) {
    Dgs d;
    d.diffuse = eval(state, &p->diffuse);
    d.glossy = eval(state, &p->glossy);
    d.specular = eval(state, &p->specular);
    d.shiny = eval(state, &p->shiny);
    d.shinyU = eval(state, &p->shinyU);
    d.shinyV = eval(state, &p->shinyV);
    d.transparency = eval(state, &p->transparency);
    d.ior = eval(state, &p->ior);
    const int count = eval(state, &p->lights.count);
    const int start = eval(state, &p->lights.start);
    d.lightCount = count > 0 ? count : 0;
    d.lights = count > 0 ? &p->lights[start] : nullptr;
    d.u = d.v = kZero;
    return d;
}

bool isotropic(const Dgs &d) {
    return d.shiny > 0.0f;
}

// The anisotropy frame: the first surface derivative made perpendicular to
// the normal, and the normal crossed with it.
void frame(Dgs &d, const RenderState *state) {
    const Vector3 n = state->normal;
    const Vector3 du = state->derivs[0];
    d.u = unit(du - n * dot(du, n));
    d.v = cross(n, d.u);
}

// The Ward glossy term between the incoming direction and the light.
float ward(const Dgs &d, const RenderState *state, const Vector3 &in, const Vector3 &out) {
    if (isotropic(d)) return zo_ward_glossy(&in, &out, &state->normal, d.shiny);
    return zo_ward_anisglossy(&in, &out, &state->normal, &d.u, &d.v, d.shinyU, d.shinyV);
}

// Adds the direct light of one side: `share` of it (1 - t on the front, t
// on the back), the glossy term towards `view` (when given) times
// `glossyFactor`.
void directSide(Color &diffuse, Color &glossy, const Dgs &d, RenderState *state, float share,
                const Vector3 *view, float glossyFactor) {
    const bool withDiffuse = anyPositive(d.diffuse);
    const bool withGlossy = anyPositive(d.glossy) && view;
    LightWalk walk(state, d.lights, d.lightCount);
    while (walk.nextLight()) {
        Color sd = {0, 0, 0, 0}, sg = {0, 0, 0, 0};
        // every sample the light gives counts: the light decides what reaches
        while (walk.nextSample()) {
            const float nl = walk.dotNL();
            if (withDiffuse) addProduct(sd, d.diffuse, walk.color(), share * nl);
            if (withGlossy)
                addProduct(sg, d.glossy, walk.color(),
                           glossyFactor * share * nl * ward(d, state, *view, walk.direction()));
        }
        if (walk.samples() > 0) {
            addScaled(diffuse, sd, 1.0f / walk.samples());
            addScaled(glossy, sg, 1.0f / walk.samples());
        }
    }
}

struct Layers {
    Color diffuse = {0, 0, 0, 0};       // direct diffuse
    Color glossy = {0, 0, 0, 0};        // direct glossy
    Color indirect = {0, 0, 0, 0};      // irradiance term
    Color reflected = {0, 0, 0, 0};     // traced glossy reflection
    Color transmitted = {0, 0, 0, 0};   // traced glossy transmission
    Color specularPart = {0, 0, 0, 0};  // traced specular layer, reflected and transmitted
    float a = 0.0f;
};

void direct(Layers &L, Dgs &d, RenderState *state) {
    const float t = d.transparency;
    if (!anyPositive(d.diffuse) && !anyPositive(d.glossy)) return;
    if (t != 1.0f) directSide(L.diffuse, L.glossy, d, state, 1.0f - t, &state->dir, 2.0f);
    if (t == 0.0f) return;
    // The back side: the lights seen through the surface, the glossy term
    // towards the refracted ray mirrored about the normal.
    Vector3 T;
    const float in = state->ior_in != 0.0f ? state->ior_in : 1.0f;
    const float out = state->ior != 0.0f ? state->ior : 1.0f;
    const bool has = zo_refraction_dir(&T, state, in, out) != 0;
    Vector3 mirrored = kZero;
    if (has) mirrored = T - state->normal * (2.0f * dot(T, state->normal));
    const Vector3 n = state->normal, ng = state->normal_geom;
    const float nd = state->dot_nd;
    const Vector3 u = d.u, v = d.v;
    state->normal = -n;
    state->normal_geom = -ng;
    state->dot_nd = -nd;
    if (!isotropic(d)) frame(d, state);
    directSide(L.diffuse, L.glossy, d, state, t, has ? &mirrored : nullptr, 1.0f);
    state->normal = n;
    state->normal_geom = ng;
    state->dot_nd = nd;
    d.u = u;
    d.v = v;
}

// One traced layer (specular or glossy): the transmitted share t, then the
// reflected rest. A glossy ray counts only when it meets a surface: the
// environment it would see is the business of the specular layer.
void tracedLayer(Layers &L, const Dgs &d, RenderState *state, const Color &colour, bool glossy,
                 float layerSum, float totalSum) {
    const float t = d.transparency;
    const float in = state->ior_in != 0.0f ? state->ior_in : 1.0f;
    const float out = state->ior != 0.0f ? state->ior : 1.0f;
    bool transmits = true;
    Vector3 dir;
    if (t > 0.0f && layerSum > 0.0f) {
        if (!glossy)
            transmits = zo_transmission_dir_specular(&dir, state, in, out) != 0;
        else if (isotropic(d))
            transmits = zo_transmission_dir_glossy(&dir, state, in, out, d.shiny) != 0;
        else
            transmits = zo_transmission_dir_anisglossy(&dir, state, in, out, &d.u, &d.v, d.shinyU,
                                                       d.shinyV) != 0;
        if (transmits) {
            Color c = kBlack;
            if ((!glossy || tracedLength(state, dir) > 0.0) &&
                zo_trace_refraction(&c, state, &dir)) {
                addProduct(glossy ? L.transmitted : L.specularPart, colour, c, t);
                L.a += (1.0f - c.a) * layerSum / totalSum;
            }
        }
    }
    const float weight = transmits ? 1.0f - t : 1.0f;
    if (weight > 0.0f && layerSum > 0.0f) {
        if (!glossy)
            zo_reflection_dir_specular(&dir, state);
        else if (isotropic(d))
            zo_reflection_dir_glossy(&dir, state, d.shiny);
        else
            zo_reflection_dir_anisglossy(&dir, state, &d.u, &d.v, d.shinyU, d.shinyV);
        Color c = kBlack;
        if ((!glossy || tracedLength(state, dir) > 0.0) && zo_trace_reflection(&c, state, &dir))
            addProduct(glossy ? L.reflected : L.specularPart, colour, c, weight);
    }
}

void traced(Layers &L, const Dgs &d, RenderState *state) {
    const float t = d.transparency;
    const float sd = channelSum(d.diffuse), sg = channelSum(d.glossy), ss = channelSum(d.specular);
    const float s = sd + sg + ss;
    if (anyPositive(d.diffuse)) {
        Color irr = kBlack;
        if (t > 0.0f && zo_compute_irradiance_backside(&irr, state))
            addProduct(L.indirect, d.diffuse, irr, t / 3.14159265f);
        irr = kBlack;
        if (1.0f - t > 0.0f && zo_compute_irradiance(&irr, state))
            addProduct(L.indirect, d.diffuse, irr, (1.0f - t) / 3.14159265f);
    }
    if (ss > 0.0f) tracedLayer(L, d, state, d.specular, false, ss, s);
    if (sg > 0.0f) tracedLayer(L, d, state, d.glossy, true, sg, s);
}

MediumRule ruleOf(const Dgs &d) {
    return MediumRule{d.ior, true, true, 1.0f};
}

// The photon continues with energy scaled by `colour` over its mean: the
// host picks each kind with the probability of its colour's mean (times
// the transparency share, which cancels).
Color rescaled(const Color &energy, const Color &colour) {
    const float mean = (colour.r + colour.g + colour.b) / 3.0f;
    if (!(mean > 0.0f)) return Color{0, 0, 0, energy.a};
    return Color{energy.r * colour.r / mean, energy.g * colour.g / mean, energy.b * colour.b / mean,
                 energy.a};
}

// The first ancestor (the state itself included) that is not a transparent
// photon came straight from a light.
bool directFromLight(const RenderState *state) {
    const RenderState *s = state;
    while (s && s->type == ZO_PHOTON_TRANSPARENT) s = s->parent;
    return s && s->type == ZO_PHOTON_LIGHT;
}

zoBoolean photonStep(Color *energy, RenderState *state, const DgsParams *p) {
    Dgs d = evaluate(state, p);
    const Color &D = d.diffuse;
    if ((D.r > 0.0001f || D.g > 0.0001f || D.b > 0.0001f) && !directFromLight(state))
        zo_store_photon(energy, state);
    trackMedium(state, ruleOf(d));
    if (!isotropic(d)) frame(d, state);
    const Color diffuse = d.diffuse, glossy = d.glossy, specular = d.specular;
    const int kind = zo_choose_scatter_type(state, d.transparency, &diffuse, &glossy, &specular);
    const float in = state->ior_in != 0.0f ? state->ior_in : 1.0f;
    const float out = state->ior != 0.0f ? state->ior : 1.0f;
    Vector3 dir;
    Color e;
    switch (kind) {
        case ZO_PHOTON_ABSORB: return 1;
        case ZO_PHOTON_REFLECT_SPECULAR:
            e = rescaled(*energy, specular);
            zo_reflection_dir_specular(&dir, state);
            zo_photon_reflection_specular(&e, state, &dir);
            return 1;
        case ZO_PHOTON_TRANSMIT_SPECULAR:
            e = rescaled(*energy, specular);
            if (zo_transmission_dir_specular(&dir, state, in, out)) {
                zo_photon_transmission_specular(&e, state, &dir);
            } else {
                zo_reflection_dir_specular(&dir, state);
                zo_photon_reflection_specular(&e, state, &dir);
            }
            return 1;
        case ZO_PHOTON_REFLECT_GLOSSY:
        case ZO_PHOTON_TRANSMIT_GLOSSY: {
            e = rescaled(*energy, glossy);
            bool through = false;
            if (kind == ZO_PHOTON_TRANSMIT_GLOSSY) {
                through = isotropic(d) ? zo_transmission_dir_glossy(&dir, state, in, out, d.shiny)
                                       : zo_transmission_dir_anisglossy(&dir, state, in, out, &d.u,
                                                                        &d.v, d.shinyU, d.shinyV);
            }
            if (through) {
                zo_photon_transmission_glossy(&e, state, &dir);
            } else {
                if (isotropic(d))
                    zo_reflection_dir_glossy(&dir, state, d.shiny);
                else
                    zo_reflection_dir_anisglossy(&dir, state, &d.u, &d.v, d.shinyU, d.shinyV);
                zo_photon_reflection_glossy(&e, state, &dir);
            }
            return 1;
        }
        case ZO_PHOTON_REFLECT_DIFFUSE:
            e = rescaled(*energy, diffuse);
            zo_reflection_dir_diffuse(&dir, state);
            zo_photon_reflection_diffuse(&e, state, &dir);
            return 1;
        case ZO_PHOTON_TRANSMIT_DIFFUSE:
            e = rescaled(*energy, diffuse);
            zo_transmission_dir_diffuse(&dir, state);
            zo_photon_transmission_diffuse(&e, state, &dir);
            return 1;
        default: zo_error("unknown scatter type in dgs photon shader"); return 0;
    }
}

zoBoolean surfaceStep(Color *result, RenderState *state, const DgsParams *p) {
    Dgs d = evaluate(state, p);
    trackMedium(state, ruleOf(d));
    if (!isotropic(d)) frame(d, state);
    Layers L;
    if (state->type != ZO_RAY_LIGHT) direct(L, d, state);
    traced(L, d, state);

    // each part goes to one element: the elements add up to the result
    Color diffuse = L.diffuse, specular = L.glossy;
    addScaled(diffuse, L.indirect, 1.0f);
    addScaled(specular, L.specularPart, 1.0f);
    result->r = diffuse.r + specular.r + L.reflected.r + L.transmitted.r;
    result->g = diffuse.g + specular.g + L.reflected.g + L.transmitted.g;
    result->b = diffuse.b + specular.b + L.reflected.b + L.transmitted.b;
    result->a = 1.0f - L.a * d.transparency;
    finishSurface(state, *result, {diffuse, specular, L.reflected, L.transmitted});
    return 1;
}

}  // namespace

KOR_EXPORT zoBoolean kor2_dgs_material_photon(Color *energy, RenderState *state, DgsParams *params);

KOR_EXPORT zoBoolean kor2_dgs_material(Color *result, RenderState *state, DgsParams *params) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kBlack;
        return 0;
    }
    const int type = state->type;
    if (type == ZO_RAY_DISPLACE) return 0;
    if (photonRay(type)) return kor2_dgs_material_photon(result, state, params);
    if (type == ZO_RAY_SHADOW) {
        *result = kBlack;
        return 1;
    }
    return surfaceStep(result, state, params);
}

KOR_EXPORT zoBoolean kor2_dgs_material_photon(Color *energy, RenderState *state,
                                              DgsParams *params) {
    if (!energy || !state || !params) return 0;
    if (!photonRay(state->type)) return kor2_dgs_material(energy, state, params);
    return photonStep(energy, state, params);
}
