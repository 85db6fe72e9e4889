// The steps after the light loop that the shared behaviour slots and the
// Blinn family's finish run: self-illumination, the colour components,
// transparency, reflection and the plain combine. Each reads its slots'
// channels through `Slots` (LayoutSlots or BlinnSlots), and runs inline
// where it is used.
#ifndef KORSHADERS_MATERIALS_ILLUM_STEPS_H
#define KORSHADERS_MATERIALS_ILLUM_STEPS_H

#include "illum.h"
#include "illum_models.h"

namespace kor {
namespace steps {

inline const IllumMaterialParams *illumMaterialOf(const IllumRecord *record) {
    return static_cast<const IllumMaterialParams *>(record->materialParams);
}

template <class Slots>
__attribute__((always_inline)) inline void transmitStep(RenderState *state, IllumRecord *r,
                                                        bool adding, Slots slots) {
    const bool refracting =
        (r->mapFlags & kMapFlagRefraction) && (r->supportedParams & kSupportRefraction);
    const bool tracing =
        (r->supportedParams & kSupportTracedTransparency) && (r->mapFlags & kMapFlagTransparent);
    if (!refracting && !tracing) {
        // an opaque surface without a refraction map: nothing shows through
        r->diffuseWeight = 1.0f;
        r->transparency = kBlack;
        return;
    }
    const Color D = slotColor(r, slots, kSlotDiffuse);
    const Color F = slotColor(r, slots, kSlotFilter);
    const float s = atMostOne(maxRGB(r->specular));
    const IllumMaterialParams *material = illumMaterialOf(r);
    const int mode = material ? material->transparencyType : kTransparencyFilter;

    if (refracting) {
        const float w = (1.0f - r->refractionAmount) * r->opacity;
        r->diffuseWeight = w;
        const Color T = transparencyColor(mode, w + s - w * s, F, D);
        Color refracted = slotColor(r, slots, kSlotRefraction);
        mulRGB(refracted, T);
        if (!adding) r->refraction.r = r->refraction.g = r->refraction.b = 0.0f;
        addRGB(r->refraction, refracted);
        r->transparency = kBlack;
        return;
    }
    // traced transparency
    const float w = r->opacity;
    r->diffuseWeight = w;
    const Color T = transparencyColor(mode, w + s - w * s, F, D);
    r->transparency = r->transparencyCopy = T;
    const Color B = traceBehind(state, true);
    if (mode == kTransparencyAdditive) {
        r->transmittedAdd.r = B.r;
        r->transmittedAdd.g = B.g;
        r->transmittedAdd.b = B.b;
    } else {
        Color seen = T;
        mulRGB(seen, B);
        if (!adding) r->transmitted.r = r->transmitted.g = r->transmitted.b = 0.0f;
        addRGB(r->transmitted, seen);
    }
    scaleRGB(r->transparency, 1.0f - B.a);
}

template <class Slots>
__attribute__((always_inline)) inline void reflectStep(RenderState *state, IllumRecord *r,
                                                       Slots slots) {
    if (!r || !(r->mapFlags & kMapFlagReflection) || !(r->supportedParams & kSupportReflection))
        return;
    float a = r->reflectionAmount;
    Color c = slotColor(r, slots, kSlotReflection);
    if (r->affectReflection == illumTintBySpecular)
        mulRGB(c, slotColor(r, slots, kSlotSpecular));
    else if (r->affectReflection)
        r->affectReflection(state, r, &c);
    const IllumMaterialParams *material = illumMaterialOf(r);
    if (material && material->dimReflection)
        a *= (1.0f - material->dimLevel) * r->diffuseIntensity * material->reflectionLevel +
             material->dimLevel;
    r->reflection.r = a * c.r;
    r->reflection.g = a * c.g;
    r->reflection.b = a * c.b;
}

__attribute__((always_inline)) inline void combinePlainStep(IllumRecord *r) {
    if (!r) return;
    const float w = r->diffuseWeight;
    r->finalColor.r = (r->ambient.r + r->diffuse.r + r->selfIllum.r + r->indirect.r) * w +
                      r->specular.r + r->reflection.r + r->refraction.r + r->transmitted.r +
                      r->transmittedAdd.r;
    r->finalColor.g = (r->ambient.g + r->diffuse.g + r->selfIllum.g + r->indirect.g) * w +
                      r->specular.g + r->reflection.g + r->refraction.g + r->transmitted.g +
                      r->transmittedAdd.g;
    r->finalColor.b = (r->ambient.b + r->diffuse.b + r->selfIllum.b + r->indirect.b) * w +
                      r->specular.b + r->reflection.b + r->refraction.b + r->transmitted.b +
                      r->transmittedAdd.b;
}

template <class Slots>
__attribute__((always_inline)) inline void selfIllumStep(IllumRecord *r,
                                                         zoBoolean useSelfIllumColor,
                                                         bool atLeastZero, float third,
                                                         Slots slots) {
    const Color si = slotColor(r, slots, kSlotSelfIllum);
    if (useSelfIllumColor) {
        addRGB(r->selfIllum, si);
        return;
    }
    float a = (si.r + si.g + si.b) * third;
    if (atLeastZero ? a >= 0.0f : a > 0.0f) {
        a = atMostOne(a);
        const Color d = slotColor(r, slots, kSlotDiffuse);
        r->selfIllum.r = d.r * a;
        r->selfIllum.g = d.g * a;
        r->selfIllum.b = d.b * a;
        scaleRGB(r->diffuse, 1.0f - a);
        scaleRGB(r->ambient, 1.0f - a);
    }
}

template <class Slots>
__attribute__((always_inline)) inline void colourComponentsStep(IllumRecord *r, Slots slots) {
    mulRGB(r->ambient, slotColor(r, slots, kSlotAmbient));
    const Color &d = r->diffuse;
    r->diffuseIntensity = (d.r + d.g + d.b) * 0.33333334f;  // the colour's intensity
    mulRGB(r->diffuse, slotColor(r, slots, kSlotDiffuse));
    mulRGB(r->specular, slotColor(r, slots, kSlotSpecular));
}

// transmit, reflect and combine through the record's slots; the shared
// steps are called directly, so that they run inline.
template <class Slots>
__attribute__((always_inline)) inline void finishSteps(RenderState *state, IllumRecord *r,
                                                       Slots slots) {
    if (r->transmit == illumTransmit)
        transmitStep(state, r, false, slots);
    else if (r->transmit)
        r->transmit(state, r);
    if (r->reflect == illumReflect)
        reflectStep(state, r, slots);
    else if (r->reflect)
        r->reflect(state, r);
    if (r->combine == illumCombinePlain)
        combinePlainStep(r);
    else if (r->combine)
        r->combine(r);
}

// What the Blinn and Phong models do after their light loop (blinnFinish).
template <class Slots>
__attribute__((always_inline)) inline void blinnFinishSteps(RenderState *state, IllumRecord *r,
                                                            zoBoolean useSelfIllumColor,
                                                            bool atLeastZero, Slots slots) {
    selfIllumStep(r, useSelfIllumColor, atLeastZero, 0.33333334f, slots);
    colourComponentsStep(r, slots);
    finishSteps(state, r, slots);
}

}  // namespace steps
}  // namespace kor

#endif
