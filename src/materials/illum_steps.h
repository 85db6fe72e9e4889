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
    __m128 c = colourLanes(slotColor(r, slots, kSlotReflection));
    if (r->affectReflection == illumTintBySpecular) {
        c = _mm_mul_ps(c, colourLanes(slotColor(r, slots, kSlotSpecular)));
    } else if (r->affectReflection) {
        Color tinted;
        _mm_storeu_ps(&tinted.r, c);
        r->affectReflection(state, r, &tinted);
        c = colourLanes(tinted);
    }
    const IllumMaterialParams *material = illumMaterialOf(r);
    if (material && material->dimReflection)
        a *= (1.0f - material->dimLevel) * r->diffuseIntensity * material->reflectionLevel +
             material->dimLevel;
    storeLanesRGB(r->reflection, _mm_mul_ps(_mm_set1_ps(a), c));
}

__attribute__((always_inline)) inline void combinePlainStep(IllumRecord *r) {
    if (!r) return;
    const __m128 w = _mm_set1_ps(r->diffuseWeight);
    __m128 lit = _mm_add_ps(colourLanes(r->ambient), colourLanes(r->diffuse));
    lit = _mm_add_ps(lit, colourLanes(r->selfIllum));
    lit = _mm_add_ps(lit, colourLanes(r->indirect));
    __m128 c = _mm_mul_ps(lit, w);
    c = _mm_add_ps(c, colourLanes(r->specular));
    c = _mm_add_ps(c, colourLanes(r->reflection));
    c = _mm_add_ps(c, colourLanes(r->refraction));
    c = _mm_add_ps(c, colourLanes(r->transmitted));
    c = _mm_add_ps(c, colourLanes(r->transmittedAdd));
    storeLanesRGB(r->finalColor, c);
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
    mulLanesRGB(r->ambient, colourLanes(slotColor(r, slots, kSlotAmbient)));
    const Color &d = r->diffuse;
    r->diffuseIntensity = (d.r + d.g + d.b) * 0.33333334f;  // the colour's intensity
    mulLanesRGB(r->diffuse, colourLanes(slotColor(r, slots, kSlotDiffuse)));
    mulLanesRGB(r->specular, colourLanes(slotColor(r, slots, kSlotSpecular)));
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
