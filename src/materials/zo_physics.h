// What the physics shaders (the DGS and dielectric materials and the
// participating volume) share: photon ray types, the medium bookkeeping
// that sets the state's pair of refraction indices and the refraction
// volume before shading, the walk over a light list through the host's
// light iterator, and small colour helpers.
#ifndef KORSHADERS_MATERIALS_ZO_PHYSICS_H
#define KORSHADERS_MATERIALS_ZO_PHYSICS_H

#include <korshaders/host.h>
#include <string.h>

#include "kor_rendelem.h"

namespace kor {
namespace physics {

// Ray types on which a material's photon twin runs.
inline bool photonRay(int type) {
    return (type >= ZO_PHOTON_ABSORB && type <= ZO_PHOTON_TRANSMIT_DIFFUSE) ||
           type == ZO_PHOTON_SCATTER_VOLUME || type == ZO_PHOTON_TRANSPARENT ||
           type == ZO_PHOTON_EMIT_GLOBILLUM || type == ZO_PHOTON_EMIT_CAUSTIC ||
           type == ZO_PHOTON_EMIT_VOLUME;
}

// Ray types that carry a ray on through a surface into or out of an object.
inline bool throughRay(int type) {
    return type == ZO_RAY_TRANSPARENT || type == ZO_RAY_REFRACT ||
           type == ZO_PHOTON_TRANSMIT_SPECULAR || type == ZO_PHOTON_TRANSMIT_GLOSSY ||
           type == ZO_PHOTON_TRANSMIT_DIFFUSE || type == ZO_PHOTON_TRANSPARENT;
}

// `other` runs the material that `state` runs: the same material of the hit,
// or, for states without one, the same shader instance.
inline bool sameMaterial(const RenderState *other, const RenderState *state) {
    if (state->material || other->material) return other->material == state->material;
    return state->shader && other->shader && other->shader->tag == state->shader->tag;
}

// How the medium is set up for one surface.
struct MediumRule {
    float ior;           // the material's index
    bool byCount;        // entering when the count of passes is even (else: the side hit)
    bool followOutside;  // the outside index follows the surrounding medium
    float outerIor;      // the outside index otherwise
};

struct Medium {
    bool entering;
    int passes;          // states that went through this material on the way here
    RenderState *outer;  // the first parent that ran this material (P), or null
};

// Walks the state and its parents, counts the rays that passed through a
// surface of the same material (their parent runs it) and sets the state's
// indices: `ior_in` the medium the ray is in, `ior` the one beyond the
// surface; on the way out the refraction volume becomes the volume of the
// ray that came in (the camera's volume when there is none).
inline Medium trackMedium(RenderState *state, const MediumRule &rule) {
    Medium m{true, 0, nullptr};
    for (RenderState *s = state; s; s = s->parent) {
        if (!throughRay(s->type) || !s->parent || !sameMaterial(s->parent, state)) continue;
        ++m.passes;
        if (!m.outer) m.outer = s->parent;
    }
    m.entering = rule.byCount ? (m.passes % 2) == 0 : !state->inv_normal;
    if (m.entering) {
        if (!state->refraction_volume) state->refraction_volume = state->volume;
        state->ior = rule.ior;
        if (rule.followOutside) {
            const float around = state->parent ? state->parent->ior : 0.0f;
            state->ior_in = around != 0.0f ? around : 1.0f;
        } else {
            state->ior_in = rule.outerIor;
        }
    } else {
        state->refraction_volume =
            m.outer ? m.outer->volume : (state->camera ? state->camera->volume : 0);
        state->ior_in = rule.ior;
        if (rule.followOutside) {
            const float around = m.outer ? m.outer->ior_in : 0.0f;
            state->ior = around != 0.0f ? around : 1.0f;
        } else {
            state->ior = rule.outerIor;
        }
    }
    return m;
}

// A walk over the lights of a list (none: the global lights) and each
// light's samples through the host's light iterator; hosts without the
// iterator are walked with zo_sample_light directly. Allocation-free.
//
//     LightWalk walk(state, lights, count);
//     while (walk.nextLight()) {
//         while (walk.nextSample()) ... walk.color(), walk.direction(), walk.dotNL()
//         ... divide by walk.samples()
//     }
class LightWalk {
  public:
    LightWalk(RenderState *state, const Tag *lights, int count) {
        memset(&it_, 0, sizeof it_);
        host_ = zo_get_shader_interface();
        if (host_ && (host_->version < 1 || !host_->light_iterator_create)) host_ = nullptr;
        if (host_) {
            host_->light_iterator_create(&it_, state, lights, count);
            return;
        }
        it_.state = state;
        it_.index = -1;
        if (!lights || count <= 0) {
            int global = 0;
            const Tag *list = nullptr;
            if (zo_global_lights_info(&global, &list) && list) {
                lights = list;
                count = global;
            } else {
                count = 0;
            }
        }
        it_.lights = lights;
        it_.count = count > 0 ? count : 0;
    }
    ~LightWalk() {
        if (host_) host_->light_iterator_release(&it_);
    }
    LightWalk(const LightWalk &) = delete;
    LightWalk &operator=(const LightWalk &) = delete;

    bool nextLight() {
        if (host_) return host_->light_iterator_next_light(&it_) != 0;
        if (!it_.state) return false;
        it_.samples = 0;
        while (++it_.index < it_.count) {
            it_.light = it_.lights[it_.index];
            if (it_.light) return true;
        }
        it_.light = 0;
        return false;
    }
    bool nextSample() {
        if (host_) return host_->light_iterator_next_sample(&it_) != 0;
        if (!it_.state || !it_.light) return false;
        int taken = it_.samples;
        const zoBoolean ok =
            zo_sample_light(&it_.color, &it_.direction, &it_.dot_nl, it_.state, it_.light, &taken);
        it_.samples = taken;
        return ok != 0;
    }
    Tag light() const { return it_.light; }
    const Color &color() const { return it_.color; }
    const Vector3 &direction() const { return it_.direction; }
    float dotNL() const { return it_.dot_nl; }
    int samples() const { return it_.samples; }

  private:
    const zoShaderInterface *host_ = nullptr;
    zoLightIterator it_;
};

// The participating medium's cloud density at p, in [0, 1]: value noise
// over the shared table that the medium's init builds (0 before that).
float cloudDensity(const Vector3 &p);

// Colour helpers on r, g, b (alpha is the caller's).
// How far a ray from the state's point along `dir` goes before it meets a
// surface (0 when it meets none); the host's trace does not report it.
inline double tracedLength(RenderState *state, const Vector3 &dir) {
    RenderState *saved = state->child;
    double d = 0.0;
    if (zo_trace_probe(state, &dir, nullptr) && state->child && state->child != saved)
        d = state->child->dist;
    state->child = saved;
    return d;
}

inline bool anyPositive(const Color &c) {
    return c.r > 0.0f || c.g > 0.0f || c.b > 0.0f;
}
inline float channelSum(const Color &c) {
    return c.r + c.g + c.b;
}
inline void addScaled(Color &to, const Color &c, float k) {
    to.r += c.r * k;
    to.g += c.g * k;
    to.b += c.b * k;
}
inline void addProduct(Color &to, const Color &a, const Color &b, float k) {
    to.r += a.r * b.r * k;
    to.g += a.g * b.g * k;
    to.b += a.b * b.b * k;
}
inline void scaleRGB(Color &c, float k) {
    c.r *= k;
    c.g *= k;
    c.b *= k;
}

// The components a physics material hands to the render elements.
struct ElementParts {
    Color diffuse, specular, reflection, refraction;
};

inline Color opaqueRGB(const Color &c) {
    return {c.r, c.g, c.b, 1.0f};
}

// The end of a physics material's shading call: the opacity answer in
// render mode 'r', then the render elements with the call's components.
inline void finishSurface(RenderState *state, const Color &result, const ElementParts &parts) {
    if (state->options && state->options->render_mode == 'r') {
        const Color opaque = {1, 1, 1, 1};
        zo_opacity_set(state, &opaque);
    }
    if (!RenderElementsAreBeingUsed(state)) return;
    RenderElementPostIllumData e;
    memset(&e, 0, sizeof e);
    InitializeRenderElementPostIllumData(state, &e);
    ClearOutputs(&e.illum);
    e.illum.reflectionAmount = e.illum.refractionAmount = 1.0f;
    e.illum.litScale = 1.0f;
    e.illum.diffuse = opaqueRGB(parts.diffuse);
    e.illum.specular = opaqueRGB(parts.specular);
    e.illum.reflection = opaqueRGB(parts.reflection);
    e.illum.refraction = opaqueRGB(parts.refraction);
    e.illum.shadedColor = result;
    kor_CallRenderElementShaders_PostIllum(state, &e);
}

}  // namespace physics
}  // namespace kor

#endif
