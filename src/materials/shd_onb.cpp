// The Oren-Nayar-Blinn illumination model: rough diffuse reflection that
// flattens towards the silhouette, with the Blinn highlight.
#include <math.h>

#include "illum_models.h"
#include "kor_support.h"

namespace kor {
namespace {

enum : int { kChDiffuseLevel = 8, kChRoughness = 9 };

const int32_t kOnbSlots[kIllumSlotCount] = {0, 1, 2, 3, 4, 5, 6, 7, -1, -1, -1, -1};
const int32_t kOnbTypes[kIllumChannelTypes] = {2, 2, 2, 4, 4, 2, 4, 2, 4, 4, 1, 1,
                                               1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

struct OnbUser {
    IllumRecord *record;
    bool specularOn;
    double exponent;
    float level, diffuseLevel, sigma;
    Color rho;
};

struct OnbModel {
    using User = OnbUser;
    static void beginLight(User &) {}
    static void diffuse(User &u, RenderState *, const IllumSample &s, float df,
                        IllumLightSums &sums) {
        const IllumRecord *r = u.record;
        const OrenNayarTerm on = orenNayar(r->viewDir, r->normal, s.dir, u.sigma, u.rho, s.dotNL);
        const float k = u.diffuseLevel * df;
        sums.diffuse.r += s.color.r * k * on.color.r;
        sums.diffuse.g += s.color.g * k * on.color.g;
        sums.diffuse.b += s.color.b * k * on.color.b;
        sums.intensity += df * on.intensity * intensity(s.color);
    }
    static void specular(User &u, RenderState *, const IllumSample &s, float df,
                         IllumLightSums &sums) {
        const IllumRecord *r = u.record;
        const float nh = dot(r->normal, unit(s.dir - r->viewDir));
        addScaledRGB(sums.specular, s.color,
                     softenedHighlight(nh, u.exponent, u.level, r->soften, df));
    }
};

void onbIlluminate(RenderState *state, IllumRecord *r, void *modelParams) {
    if (!r) return;
    const auto *p = static_cast<const OrenNayarBlinnParams *>(modelParams);
    OnbUser u;
    u.record = r;
    u.level = illumSlotColor(r, kSlotSpecularLevel).r;
    u.specularOn = u.level > 0.0f;
    u.exponent = u.specularOn ? 4.0 * exp2(10.0 * illumSlotColor(r, kSlotGlossiness).r) : 0.0;
    u.diffuseLevel = r->channels[kChDiffuseLevel].r;
    u.sigma = r->channels[kChRoughness].r * kPi * 0.5f;
    u.rho = illumSlotColor(r, kSlotDiffuse);
    illumAccumulateModel<OnbModel>(state, u, static_cast<MaterialScratch *>(u.record->scratch));
    blinnSelfIllum(r, p ? p->blinn.useSelfIllumColor : 0, false, 0.3333333f);
    mulRGB(r->ambient, illumSlotColor(r, kSlotAmbient));
    mulRGB(r->specular, illumSlotColor(r, kSlotSpecular));
    illumFinish(state, r);
}

const IllumModelLayout kOnbLayout = illumResolveLayout(kOnbSlots, 10, kOnbTypes);

const IllumModelTable kOnbTable = {
    10,           kOnbSlots,     kOnbTypes,           0x1e23ffe,          0,
    0.0f,         onbIlluminate, illumTintBySpecular, illumCombineEnergy, illumTransmit,
    illumReflect, &kOnbLayout};

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_OrenNayarBlinnIllumination(Color *result, RenderState *state,
                                                         kor::OrenNayarBlinnParams *params,
                                                         IllumRecord *record) {
    using namespace kor;
    if (!record) return 0;
    OrenNayarBlinnParams p{};
    p.blinn = blinnEvaluate(state, params ? &params->blinn : nullptr);
    if (params) {
        p.diffuseLevel = clampTo(eval(state, &params->diffuseLevel), 0.0f, 4.0f);
        p.roughness = clampTo(eval(state, &params->roughness), 0.0f, 1.0f);
    }
    blinnWriteChannels(record, p.blinn, kOnbSlots);
    record->channels[kChDiffuseLevel] = monoChannel(p.diffuseLevel);
    record->channels[kChRoughness] = monoChannel(p.roughness);
    return illumRunModel(result, state, record, kOnbTable, p.blinn.soften, &p);
}

KOR_SHADER_EXIT(kor_base_OrenNayarBlinnIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_onb");
}
