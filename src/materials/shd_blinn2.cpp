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

struct BlinnModel {
    using User = BlinnUser;
    static void beginLight(User &) {}
    static void diffuse(User &, RenderState *, const IllumSample &s, float df,
                        IllumLightSums &sums) {
        addScaledRGB(sums.diffuse, s.color, df);
    }
    static void specular(User &u, RenderState *, const IllumSample &s, float df,
                         IllumLightSums &sums) {
        const IllumRecord *r = u.record;
        const float nh = dot(r->normal, unit(s.dir - r->viewDir));
        addScaledRGB(
            sums.specular, s.color,
            softenedHighlight(nh, u.exponent, u.zeroBelow, u.level, r->soften, df, s.color));
    }
};

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
        [ state, &u ](Tag light, LightIllumRecord * rec) __attribute__((always_inline)) {
            illumLightSamples<BlinnModel, false>(state, light, rec, u);
        });
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
