// The Blinn illumination model: a half-vector highlight whose exponent
// grows with glossiness, softened near the terminator.
#include <math.h>

#include "illum_models.h"
#include "illum_steps.h"

namespace kor {
namespace {

struct BlinnUser {
    IllumRecord *record;
    bool specularOn;
    float exponent;   // the highlight exponent as the power takes it
    float zeroBelow;  // NH (or R.L) under which the power is 0
    float level;
};

// The sums of one light in four lanes: r, g and b take exactly the
// operations of the scalar sums (a lane's product and sum round as the
// scalar ones do); the alpha lane gathers what nothing reads and is left
// out where the sums reach the record.
struct BlinnLightSums {
    __m128 ambient, diffuse, specular;
};

// The light's samples through the Blinn terms, as illumLightSamples runs
// them (the model keeps no intensity sum), with the sums in four lanes.
__attribute__((always_inline)) inline void blinnLightSamples(RenderState *state, Tag light,
                                                             LightIllumRecord *rec,
                                                             const BlinnUser &u) {
    const IllumRecord *r = u.record;
    BlinnLightSums sums = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    IllumSample s;
    int samples = 0, taken = 0;
    while (zo_sample_light(&s.color, &s.dir, &s.dotNL, state, light, &samples)) {
        if (++taken > (1 << 20)) break;  // a host that never ends the loop
        const __m128 colour = _mm_loadu_ps(&s.color.r);
        if (rec->ambientOnly) {
            sums.ambient = _mm_add_ps(sums.ambient, colour);
            continue;
        }
        if (s.dotNL <= 0.0f) continue;
        if (!rec->filled) rec->diffuseFactor = s.dotNL;
        if (rec->affectBits & kAffectDiffuse)
            sums.diffuse =
                _mm_add_ps(sums.diffuse, _mm_mul_ps(colour, _mm_set1_ps(rec->diffuseFactor)));
        if ((rec->affectBits & kAffectSpecular) && u.specularOn) {
            const float nh = dot(r->normal, unit(s.dir - r->viewDir));
            const float h = softenedHighlight(nh, u.exponent, u.zeroBelow, u.level, r->soften,
                                              rec->diffuseFactor, s.color);
            sums.specular = _mm_add_ps(sums.specular, _mm_mul_ps(colour, _mm_set1_ps(h)));
        }
    }
    // averaged over the samples, as illumAddLightSums does
    const int n = samples > 0 ? samples : taken;
    if (n <= 0) return;
    if (n != 1) {
        const __m128 count = _mm_set1_ps(static_cast<float>(n));
        sums.ambient = _mm_div_ps(sums.ambient, count);
        sums.diffuse = _mm_div_ps(sums.diffuse, count);
        sums.specular = _mm_div_ps(sums.specular, count);
    }
    IllumRecord *out = u.record;
    addLanesRGB(out->ambient, sums.ambient);
    addLanesRGB(out->diffuse, sums.diffuse);
    addLanesRGB(out->specular, sums.specular);
}

void blinnIlluminate(RenderState *state, IllumRecord *r, void *modelParams) {
    if (!r) return;
    const auto *p = static_cast<const BlinnParams *>(modelParams);
    BlinnUser u;
    u.record = r;
    // the record has the family's layout when the model's own entry ran
    const bool family = r->layout == &kBlinnFamilyLayout;
    const float gloss = family ? slotColor(r, BlinnSlots{}, kSlotGlossiness).r
                               : illumSlotColor(r, kSlotGlossiness).r;
    const HighlightPower power = highlightPower(r, gloss, 4.0f);
    u.exponent = power.exponent;
    u.zeroBelow = power.zeroBelow;
    u.level = family ? slotColor(r, BlinnSlots{}, kSlotSpecularLevel).r
                     : illumSlotColor(r, kSlotSpecularLevel).r;
    u.specularOn = u.level > 0.0f;
    // The light step runs inline: it is most of the model's work. The
    // finish works out diffuseIntensity from the diffuse sum.
    illumAccumulateWith(
        state, static_cast<MaterialScratch *>(r->scratch),
        [ state, &u ](Tag light, LightIllumRecord * rec)
            __attribute__((always_inline)) { blinnLightSamples(state, light, rec, u); });
    const zoBoolean useSelfIllumColor = p ? p->useSelfIllumColor : 0;
    if (family)
        steps::blinnFinishSteps(state, r, useSelfIllumColor, false, BlinnSlots{});
    else
        blinnFinish(state, r, useSelfIllumColor, false);
}

const IllumModelTable kBlinnTable = {8,
                                     kBlinnFamilySlots,
                                     kBlinnFamilyTypes,
                                     0x1f20ffe,
                                     0,
                                     0.0f,
                                     blinnIlluminate,
                                     illumTintBySpecular,
                                     illumCombinePlain,
                                     illumTransmit,
                                     illumReflect,
                                     &kBlinnFamilyLayout};

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_BlinnIllumination(Color *result, RenderState *state,
                                                kor::BlinnParams *params, IllumRecord *record) {
    if (!record) return 0;
    kor::BlinnParams p = kor::blinnEvaluate(state, params, record);
    kor::blinnWriteChannels(record, p, kor::kBlinnFamilySlots);
    return kor::illumRunModel(result, state, record, kor::kBlinnTable, p.soften, &p);
}

KOR_SHADER_EXIT(kor_base_BlinnIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_blinn2");
}
