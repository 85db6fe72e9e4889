// The Metal illumination model: a microfacet highlight tinted by a
// conductor Fresnel term derived from the diffuse colour; the specular
// level takes light away from the diffuse component.
#include <math.h>

#include "illum_models.h"
#include "kor_support.h"

namespace kor {
namespace {

struct MetalUser {
    IllumRecord *record;
    bool specularOn;
    float level;
    float m2;  // 1 / roughness^2
    float nv;  // -(N.V)
    bool fresnelReady;
    float rho;    // mean reflectance of the diffuse colour
    float kappa;  // extinction
};

struct MetalModel {
    using User = MetalUser;
    static void beginLight(User &u) { u.fresnelReady = false; }
    static void diffuse(User &, RenderState *, const IllumSample &s, float df,
                        IllumLightSums &sums) {
        addScaledRGB(sums.diffuse, s.color, df);
    }
    static void specular(User &u, RenderState *, const IllumSample &s, float,
                         IllumLightSums &sums) {
        if (u.nv < 0.0f) return;
        const IllumRecord *r = u.record;
        const Vector3 H = unit(s.dir - r->viewDir);
        const float nh = dot(r->normal, H);
        if (nh == 0.0f) return;
        const float lh = dot(s.dir, H);
        const float G = 2.0f * nh * fminf(s.dotNL, u.nv) / -dot(r->viewDir, H);
        if (!(G > 0.0f)) return;
        const Color D = illumSlotColor(r, kSlotDiffuse);
        if (!u.fresnelReady) {
            float rho = fmaxf(0.0f, intensity(D));
            if (rho >= 1.0f) rho = 0.9999f;
            u.rho = rho;
            u.kappa = 2.0f * sqrtf(rho) / sqrtf(1.0f - rho);
            u.fresnelReady = true;
        }
        const float c = lh;
        const float k2 = u.kappa * u.kappa + 1.0f;
        const float fr = 0.5f * ((k2 - 2.0f * c + c * c) / (k2 + 2.0f * c + c * c) +
                                 (k2 * c * c - 2.0f * c + 1.0f) / (k2 * c * c + 2.0f * c + 1.0f));
        const float f = (fr - u.rho) / (1.0f - u.rho);
        const float q = 1.0f / (nh * nh);
        const float dist = expf((1.0f - q) * u.m2);
        const float term =
            u.level * q * 0.15915494f * q * u.m2 * dist * fminf(G, 1.0f) / (u.nv + 0.05f);
        sums.specular.r += term * (D.r * (1.0f - f) + f) * s.color.r;
        sums.specular.g += term * (D.g * (1.0f - f) + f) * s.color.g;
        sums.specular.b += term * (D.b * (1.0f - f) + f) * s.color.b;
    }
};

void metalIlluminate(RenderState *state, IllumRecord *r, void *modelParams) {
    if (!r) return;
    const auto *p = static_cast<const BlinnParams *>(modelParams);
    MetalUser u;
    u.record = r;
    float rough = 1.0f - illumSlotColor(r, kSlotGlossiness).r;
    if (rough <= 0.0f)
        rough = 0.00001f;
    else if (rough > 1.0f)
        rough = 0.99999f;
    u.m2 = 1.0f / (rough * rough);
    u.nv = -dot(r->normal, r->viewDir);
    u.level = illumSlotColor(r, kSlotSpecularLevel).r;
    u.specularOn = u.level != 0.0f;
    u.fresnelReady = false;
    u.rho = u.kappa = 0.0f;
    illumAccumulateModel<MetalModel>(state, u, static_cast<MaterialScratch *>(u.record->scratch));
    scaleRGB(r->diffuse, fmaxf(0.0f, 1.0f - fabsf(u.level)));
    blinnSelfIllum(r, p ? p->useSelfIllumColor : 0, false);
    r->diffuseIntensity = intensity(r->diffuse);
    mulRGB(r->diffuse, illumSlotColor(r, kSlotDiffuse));
    mulRGB(r->ambient, illumSlotColor(r, kSlotAmbient));
    illumFinish(state, r);
}

const IllumModelTable kMetalTable = {8,
                                     kBlinnFamilySlots,
                                     kBlinnFamilyTypes,
                                     0x1f20ffe,
                                     0,
                                     0.0f,
                                     metalIlluminate,
                                     illumTintByDiffuse,
                                     illumCombinePlain,
                                     illumTransmit,
                                     illumReflect,
                                     &kBlinnFamilyLayout};

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_MetalIllumination(Color *result, RenderState *state,
                                                kor::BlinnParams *params, IllumRecord *record) {
    if (!record) return 0;
    kor::BlinnParams p = kor::blinnEvaluate(state, params, record);
    kor::blinnWriteChannels(record, p, kor::kBlinnFamilySlots);
    return kor::illumRunModel(result, state, record, kor::kMetalTable, p.soften, &p);
}

KOR_SHADER_EXIT(kor_base_MetalIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_metal2");
}
