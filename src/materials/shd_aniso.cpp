// The Anisotropic illumination model: an elliptical highlight stretched
// along a surface direction that the orientation turns about the normal.
#include <math.h>

#include "illum_models.h"
#include "kor_support.h"

namespace kor {
namespace {

enum : int {
    kChAmbient = 0,
    kChDiffuse = 1,
    kChSpecular = 2,
    kChDiffuseLevel = 3,
    kChSpecularLevel = 4,
    kChGlossiness = 5,
    kChAnisotropy = 6,
    kChOrientation = 7,
    kChSelfIllum = 8
};

const int32_t kAnisoSlots[kIllumSlotCount] = {0, 1, 2, 5, 4, 8, 9, 10, -1, -1, -1, -1};
const int32_t kAnisoTypes[kIllumChannelTypes] = {2, 2, 2, 4, 4, 4, 4, 4, 2, 4, 2, 1,
                                                 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

struct AnisoUser {
    IllumRecord *record;
    bool specularOn;
    float diffuseLevel, level, gloss, aniso, orient;
    Vector3 reference;
};

struct AnisoModel {
    using User = AnisoUser;
    static void beginLight(User &) {}
    static void diffuse(User &u, RenderState *, const IllumSample &s, float df,
                        IllumLightSums &sums) {
        addScaledRGB(sums.diffuse, s.color, u.diffuseLevel * df);
    }
    static void specular(User &u, RenderState *, const IllumSample &s, float df,
                         IllumLightSums &sums) {
        const float a =
            anisotropicHighlight(u.record, u.gloss, u.aniso, u.orient, s.dir, s.dotNL, u.reference);
        addScaledRGB(sums.specular, s.color, df * a * u.level);
    }
};

void anisoIlluminate(RenderState *state, IllumRecord *r, void *modelParams) {
    if (!r || !state) return;
    const auto *p = static_cast<const AnisotropicParams *>(modelParams);
    AnisoUser u;
    u.record = r;
    u.diffuseLevel = r->channels[kChDiffuseLevel].r;
    u.level = illumSlotColor(r, kSlotSpecularLevel).r;
    u.gloss = illumSlotColor(r, kSlotGlossiness).r;
    u.aniso = r->channels[kChAnisotropy].r;
    u.orient = r->channels[kChOrientation].r;
    u.specularOn = u.level > 0.0f;
    u.reference = anisotropyReference(state);
    illumAccumulateModel<AnisoModel>(state, u, static_cast<MaterialScratch *>(u.record->scratch));

    const Color si = illumSlotColor(r, kSlotSelfIllum);
    if (p && p->useSelfIllumColor) {
        r->selfIllum.r = si.r;
        r->selfIllum.g = si.g;
        r->selfIllum.b = si.b;
    } else {
        float a = (si.r + si.g + si.b) * 0.3333333f;
        if (a > 0.0f) {
            a = fminf(a, 1.0f);
            const Color d = illumSlotColor(r, kSlotDiffuse);
            r->selfIllum.r = d.r * a;
            r->selfIllum.g = d.g * a;
            r->selfIllum.b = d.b * a;
            scaleRGB(r->diffuse, 1.0f - a);
        }
    }
    illumColourComponents(r);
    illumFinish(state, r);
}

const IllumModelLayout kAnisoLayout = illumResolveLayout(kAnisoSlots, 11, kAnisoTypes);

const IllumModelTable kAnisoTable = {
    11,           kAnisoSlots,     kAnisoTypes,         0x1e2cffe,          0,
    0.0f,         anisoIlluminate, illumTintBySpecular, illumCombineEnergy, illumTransmit,
    illumReflect, &kAnisoLayout};

AnisotropicParams anisoEvaluate(RenderState *state, const AnisotropicParams *raw) {
    AnisotropicParams p{};
    if (!raw) return p;
    p.ambient = eval(state, &raw->ambient);
    p.diffuse = eval(state, &raw->diffuse);
    p.specular = eval(state, &raw->specular);
    p.selfIllumColor = clampColor(eval(state, &raw->selfIllumColor));
    p.diffuseLevel = clampTo(eval(state, &raw->diffuseLevel), 0.0f, 4.0f);
    p.specularLevel = clampTo(eval(state, &raw->specularLevel), 0.0f, 9.99f);
    p.selfIllumAmount = clampTo(eval(state, &raw->selfIllumAmount), 0.0f, 1.0f);
    p.glossiness = clampTo(eval(state, &raw->glossiness), 0.0001f, 1.0f);
    p.anisotropy = clampTo(eval(state, &raw->anisotropy), 0.0f, 1.0f);
    p.orientation = clampTo(eval(state, &raw->orientation), -999.99f, 999.99f) / 1.8f;
    p.lockAmbientDiffuse = eval(state, &raw->lockAmbientDiffuse);
    p.lockDiffuseSpecular = eval(state, &raw->lockDiffuseSpecular);
    p.useSelfIllumColor = eval(state, &raw->useSelfIllumColor);
    if (p.lockAmbientDiffuse) p.ambient = p.diffuse;
    if (p.lockDiffuseSpecular) p.specular = p.diffuse;
    p.ambient = clampColor(p.ambient);
    p.diffuse = clampColor(p.diffuse);
    p.specular = clampColor(p.specular);
    return p;
}

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_AnisotropicIllumination(Color *result, RenderState *state,
                                                      kor::AnisotropicParams *params,
                                                      IllumRecord *record) {
    using namespace kor;
    if (!record) return 0;
    AnisotropicParams p = anisoEvaluate(state, params);
    record->channels[kChAmbient] = p.ambient;
    record->channels[kChDiffuse] = p.diffuse;
    record->channels[kChSpecular] = p.specular;
    record->channels[kChDiffuseLevel] = monoChannel(p.diffuseLevel);
    record->channels[kAnisoSlots[kSlotSpecularLevel]] = monoChannel(p.specularLevel);
    record->channels[kAnisoSlots[kSlotGlossiness]] = monoChannel(p.glossiness);
    record->channels[kChAnisotropy] = monoChannel(p.anisotropy);
    record->channels[kChOrientation] = monoChannel(p.orientation);
    record->channels[kChSelfIllum] =
        p.useSelfIllumColor ? p.selfIllumColor : greyChannel(p.selfIllumAmount);
    return illumRunModel(result, state, record, kAnisoTable, 0.0f, &p);
}

KOR_SHADER_EXIT(kor_base_AnisotropicIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_aniso");
}
