// Shared pieces of the reflection and refraction maps (see tex_reflect.h).
#include "maps/tex_reflect.h"

#include <string.h>

#include "kor_vector.h"

namespace kor {

float blurShininess(float blur, float scale) {
    return blur == 0.0f ? 10000.0f : scale / blur;
}

Vector3 reflectionDirection(RenderState *state, float shininess) {
    Vector3 dir = state->dir;
    if (shininess > 0.0f)
        zo_reflection_dir_glossy(&dir, state, shininess);
    else
        zo_reflection_dir(&dir, state);
    return dir;
}

Vector3 refractionDirection(RenderState *state, float shininess, bool *total) {
    Vector3 dir = state->dir;
    bool ok;
    if (shininess > 0.0f)
        ok = zo_transmission_dir_glossy(&dir, state, state->ior_in, state->ior, shininess) != 0;
    else
        ok = zo_refraction_dir(&dir, state, state->ior_in, state->ior) != 0;
    if (!ok) dir = reflectionDirection(state, shininess);
    if (total) *total = !ok;
    return dir;
}

bool traceMarked(Color *result, RenderState *state, const Vector3 &dir, int kind, int32_t flag) {
    storeTraceMark(state, flag, 0);
    Color c = kClearBlack;
    bool ok = (kind == kKindRefraction ? zo_trace_refraction(&c, state, &dir)
                                       : zo_trace_reflection(&c, state, &dir)) != 0;
    if (!ok && state->type != ZO_RAY_ENVIRONMENT) {
        c = kClearBlack;
        ok = zo_trace_environment(&c, state, &dir) != 0;
    }
    removeTraceMark(state);
    *result = ok ? c : kOpaqueBlack;
    return ok;
}

bool photonContinue(Color *energy, RenderState *state, int kind, const Vector3 &dir) {
    switch (kind) {
        case kKindPhotonReflectSpecular:
            zo_photon_reflection_specular(energy, state, &dir);
            return true;
        case kKindPhotonReflectDiffuse:
            zo_photon_reflection_diffuse(energy, state, &dir);
            return true;
        case kKindPhotonTransmitSpecular:
            zo_photon_transmission_specular(energy, state, &dir);
            return true;
        case kKindPhotonTransmitDiffuse:
            zo_photon_transmission_diffuse(energy, state, &dir);
            return true;
        default: return false;
    }
}

bool traceReflectRefract(Color *result, RenderState *state, const ReflectCall &call, int kind,
                         float blur, float scale, float thickness) {
    if (!tracingEnabled(state)) {
        *result = kOpaqueBlack;
        return false;
    }
    const float shininess = blur >= 0.0f ? blurShininess(blur, scale) : 0.0f;
    Vector3 dir;
    bool total = false;
    if (kind == kKindRefraction) {
        if (call.keyed && shininess <= 0.0f && thickness < 0.0f)
            dir = call.entryDir;  // the material's refracted direction
        else
            dir = refractionDirection(state, shininess, &total);
    } else {
        dir =
            call.keyed && shininess <= 0.0f ? call.entryDir : reflectionDirection(state, shininess);
    }
    if (kind != kKindRefraction || thickness < 0.0f || total)
        return traceMarked(result, state, dir, kind, 0);

    // A thin wall: the ray crosses a slab of the given thickness along the
    // refracted direction and leaves it parallel to the incoming ray.
    const Vector3 inside = unit(dir);
    const float across = fabsf(dot(inside, state->normal));
    const Vector3 savedPoint = state->point;
    if (across > 1.0e-6f) state->point = savedPoint + inside * (thickness / across);
    const bool ok = traceMarked(result, state, unit(call.incoming), kind, 0);
    state->point = savedPoint;
    return ok;
}

void scatterPhoton(RenderState *state, const Color &energy, Color diffuseReflect,
                   Color specularReflect, Color diffuseTransmit, Color specularTransmit) {
    const int kind = zo_choose_simple_scatter_type(state, &diffuseReflect, &specularReflect,
                                                   &diffuseTransmit, &specularTransmit);
    auto scaled = [&energy](const Color &w) {
        return Color{energy.r * w.r, energy.g * w.g, energy.b * w.b, energy.a};
    };
    Color carried;
    Vector3 dir;
    switch (kind) {
        case kKindPhotonReflectSpecular:
            carried = scaled(specularReflect);
            zo_reflection_dir_specular(&dir, state);
            zo_photon_reflection_specular(&carried, state, &dir);
            break;
        case kKindPhotonReflectDiffuse:
            carried = scaled(diffuseReflect);
            zo_reflection_dir_diffuse(&dir, state);
            zo_photon_reflection_diffuse(&carried, state, &dir);
            break;
        case kKindPhotonTransmitSpecular: {
            carried = scaled(specularTransmit);
            const float in = state->ior_in != 0.0f ? state->ior_in : 1.0f;
            const float out = state->ior != 0.0f ? state->ior : 1.0f;
            if (state->ior_in == state->ior)
                zo_photon_transparent(&carried, state);
            else if (zo_transmission_dir_specular(&dir, state, in, out))
                zo_photon_transmission_specular(&carried, state, &dir);
            break;
        }
        case kKindPhotonTransmitDiffuse:
            carried = scaled(diffuseTransmit);
            zo_transmission_dir_diffuse(&dir, state);
            zo_photon_transmission_diffuse(&carried, state, &dir);
            break;
        default: break;
    }
}

}  // namespace kor
