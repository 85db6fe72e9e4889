// The Phong illumination model: the highlight follows the mirror direction
// of the view about the normal, its exponent growing with glossiness.
#include <math.h>

#include "illum_models.h"

namespace kor {
namespace {

struct PhongUser {
    IllumRecord *record;
    bool specularOn;
    float exponent;   // the highlight exponent as the power takes it
    float zeroBelow;  // NH (or R.L) under which the power is 0
    float level;
    Vector3 mirror;
};

struct PhongModel {
    using User = PhongUser;
    static void beginLight(User &) {}
    static void diffuse(User &, RenderState *, const IllumSample &s, float df,
                        IllumLightSums &sums) {
        addScaledRGB(sums.diffuse, s.color, df);
    }
    static void specular(User &u, RenderState *, const IllumSample &s, float df,
                         IllumLightSums &sums) {
        const float rl = dot(u.mirror, s.dir);
        addScaledRGB(sums.specular, s.color,
                     softenedHighlight(rl, u.exponent, u.zeroBelow, u.level, u.record->soften, df));
    }
};

const IllumModelTable kPhongTable = {8,
                                     kBlinnFamilySlots,
                                     kBlinnFamilyTypes,
                                     0x1f20ffe,
                                     0,
                                     0.0f,
                                     phongIlluminate,
                                     illumTintBySpecular,
                                     illumCombinePlain,
                                     illumTransmit,
                                     illumReflect,
                                     &kBlinnFamilyLayout};

}  // namespace

void phongIlluminate(RenderState *state, IllumRecord *r, void *modelParams) {
    if (!r || !state) return;
    const auto *p = static_cast<const BlinnParams *>(modelParams);
    PhongUser u;
    u.record = r;
    const HighlightPower power = highlightPower(r, illumSlotColor(r, kSlotGlossiness).r, 1.0f);
    u.exponent = power.exponent;
    u.zeroBelow = power.zeroBelow;
    u.level = illumSlotColor(r, kSlotSpecularLevel).r;
    u.specularOn = u.level > 0.0f;
    u.mirror = kZero;
    if (u.specularOn) {
        const Vector3 N = state->normal;
        u.mirror = unit(r->viewDir - N * (2.0f * dot(N, r->viewDir)));
    }
    illumAccumulateModel<PhongModel>(state, u, static_cast<MaterialScratch *>(u.record->scratch));
    blinnFinish(state, r, p ? p->useSelfIllumColor : 0, true);
}

}  // namespace kor

KOR_EXPORT zoBoolean kor_base_PhongIllumination(Color *result, RenderState *state,
                                                kor::BlinnParams *params, IllumRecord *record) {
    if (!record) return 0;
    kor::BlinnParams p = kor::blinnEvaluate(state, params, record);
    kor::blinnWriteChannels(record, p, kor::kBlinnFamilySlots);
    return kor::illumRunModel(result, state, record, kor::kPhongTable, p.soften, &p);
}

KOR_SHADER_EXIT(kor_base_PhongIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_phong2");
}
