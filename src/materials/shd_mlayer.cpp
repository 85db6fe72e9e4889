// The Multi-layer illumination model: rough diffuse reflection under two
// anisotropic highlight layers, the second seen through the first when
// energy is preserved.
#include <math.h>

#include "illum_models.h"
#include "kor_support.h"

namespace kor {
namespace {

enum : int {
    kChAmbient = 0,
    kChDiffuse = 1,
    kChDiffuseLevel = 2,
    kChRoughness = 3,
    kChLayer1 = 4,  // colour, level, glossiness, anisotropy, orientation
    kChLayer2 = 9,
    kChSelfIllum = 14
};

const int32_t kMlayerSlots[kIllumSlotCount] = {0, 1, 4, 6, 5, 14, 15, 16, -1, -1, -1, -1};
const int32_t kMlayerTypes[kIllumChannelTypes] = {2, 2, 4, 4, 2, 128, 4, 4, 4, 2, 128, 4,
                                                  4, 4, 2, 4, 2, 1,   1, 1, 1, 1, 1,   1};

struct Layer {
    Color color;
    float level, gloss, aniso, orient;
};

struct MlayerUser {
    IllumRecord *record;
    bool specularOn;
    float diffuseLevel, sigma;
    Color rho;
    Layer layer[2];
    Vector3 reference;
};

Color layerTerm(const MlayerUser &u, const Layer &l, const IllumSample &s, float df) {
    const float k =
        df *
        anisotropicHighlight(u.record, l.gloss, l.aniso, l.orient, s.dir, s.dotNL, u.reference) *
        l.level;
    return {k * l.color.r * s.color.r, k * l.color.g * s.color.g, k * l.color.b * s.color.b, 0.0f};
}

struct MlayerModel {
    using User = MlayerUser;
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
        const Color first = clampColor(layerTerm(u, u.layer[0], s, df));
        const Color second = layerTerm(u, u.layer[1], s, df);
        if (!u.record->energyBlend) {
            addRGB(sums.specular, first);
            addRGB(sums.specular, second);
            return;
        }
        sums.specular.r += first.r + (1.0f - first.r) * second.r;
        sums.specular.g += first.g + (1.0f - first.g) * second.g;
        sums.specular.b += first.b + (1.0f - first.b) * second.b;
    }
};

Layer layerOf(const IllumRecord *r, int base) {
    return {r->channels[base], r->channels[base + 1].r, r->channels[base + 2].r,
            r->channels[base + 3].r, r->channels[base + 4].r};
}

void mlayerIlluminate(RenderState *state, IllumRecord *r, void *modelParams) {
    if (!r || !state) return;
    const auto *p = static_cast<const MultiLayerParams *>(modelParams);
    MlayerUser u;
    u.record = r;
    u.specularOn = true;
    u.diffuseLevel = r->channels[kChDiffuseLevel].r;
    u.sigma = r->channels[kChRoughness].r * kPi * 0.5f;
    u.rho = illumSlotColor(r, kSlotDiffuse);
    u.layer[0] = layerOf(r, kChLayer1);
    u.layer[1] = layerOf(r, kChLayer2);
    u.reference = anisotropyReference(state);
    illumAccumulateModel<MlayerModel>(state, u, static_cast<MaterialScratch *>(u.record->scratch));

    const Color si = illumSlotColor(r, kSlotSelfIllum);
    const Color d = illumSlotColor(r, kSlotDiffuse);
    if (p && p->useSelfIllumColor) {
        addRGB(r->selfIllum, si);
    } else {
        const float a = intensity(si);
        if (a > 0.0f && a <= 1.0f) {
            addScaledRGB(r->selfIllum, d, a);
            scaleRGB(r->diffuse, 1.0f - a);
            scaleRGB(r->ambient, 1.0f - a);
        } else if (a > 1.0f) {
            r->diffuse = kBlack;
            addRGB(r->selfIllum, d);
        }
    }
    mulRGB(r->ambient, illumSlotColor(r, kSlotAmbient));
    illumFinish(state, r);
}

const IllumModelLayout kMlayerLayout = illumResolveLayout(kMlayerSlots, 17, kMlayerTypes);

const IllumModelTable kMlayerTable = {
    17,           kMlayerSlots,     kMlayerTypes,        0x1e2fffe,          0,
    0.0f,         mlayerIlluminate, illumTintBySpecular, illumCombineEnergy, illumTransmit,
    illumReflect, &kMlayerLayout};

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_MultiLayerIllumination(Color *result, RenderState *state,
                                                     kor::MultiLayerParams *params,
                                                     IllumRecord *record) {
    using namespace kor;
    if (!record) return 0;
    MultiLayerParams p{};
    if (params) {
        p.ambient = clampColor(eval(state, &params->ambient));
        p.diffuse = clampColor(eval(state, &params->diffuse));
        p.selfIllumColor = clampColor(eval(state, &params->selfIllumColor));
        p.selfIllumAmount = eval(state, &params->selfIllumAmount);
        p.diffuseLevel = clampTo(eval(state, &params->diffuseLevel), 0.0f, 4.0f);
        p.roughness = clampTo(eval(state, &params->roughness), 0.0f, 1.0f);
        for (int i = 0; i < 2; ++i) {
            const SpecularLayer &in = params->layer[i];
            SpecularLayer &out = p.layer[i];
            out.color = clampColor(eval(state, &in.color));
            out.level = clampTo(eval(state, &in.level), 0.0f, 9.99f);
            // glossiness and anisotropy are taken as given (no range)
            out.glossiness = eval(state, &in.glossiness);
            out.anisotropy = eval(state, &in.anisotropy);
            out.orientation = clampTo(eval(state, &in.orientation), -999.99f, 999.99f) / 1.8f;
        }
        p.useSelfIllumColor = eval(state, &params->useSelfIllumColor);
    }
    record->channels[kChAmbient] = p.ambient;
    record->channels[kChDiffuse] = p.diffuse;
    record->channels[kChDiffuseLevel] = monoChannel(p.diffuseLevel);
    record->channels[kChRoughness] = monoChannel(p.roughness);
    for (int i = 0; i < 2; ++i) {
        const int base = i == 0 ? kChLayer1 : kChLayer2;
        record->channels[base] = p.layer[i].color;
        record->channels[base + 1] = greyChannel(p.layer[i].level);
        record->channels[base + 2] = monoChannel(p.layer[i].glossiness);
        record->channels[base + 3] = monoChannel(p.layer[i].anisotropy);
        record->channels[base + 4] = monoChannel(p.layer[i].orientation);
    }
    record->channels[kChSelfIllum] =
        p.useSelfIllumColor ? p.selfIllumColor : greyChannel(p.selfIllumAmount);
    return illumRunModel(result, state, record, kMlayerTable, 0.0f, &p);
}

KOR_SHADER_EXIT(kor_base_MultiLayerIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_mlayer");
}
