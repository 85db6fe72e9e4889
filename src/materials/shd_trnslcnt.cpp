// The Translucent illumination model: light from behind the surface shows
// through in the translucent colour, weakened by the thickness that the
// light's shadow rays measure through the object.
#include <math.h>

#include "illum_models.h"
#include "kor_support.h"

namespace kor {
namespace {

enum : int {
    kChAmbient = 0,
    kChDiffuse = 1,
    kChSpecular = 2,
    kChFilter = 7,
    kChDiffuseLevel = 8,
    kChTranslucent = 9
};

const int32_t kTranslucentSlots[kIllumSlotCount] = {0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 13};
const int32_t kTranslucentTypes[kIllumChannelTypes] = {2, 2, 2, 4, 4, 2, 4, 2, 4, 2, 1, 1,
                                                       1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

struct TranslucentUser {
    IllumRecord *record;
    MaterialScratch *scratch;
    bool specularOn;
    bool backsideSpecular;
    bool translucent;  // the translucent colour is not black
    double exponent;
    float level;
    float thicknessBase;  // e of the thickness weight
    Color front;          // front translucency, averaged per light
    Color back;           // back translucency, averaged per light
};

// The weight of light that crossed `thickness` of the object.
float thicknessWeight(const TranslucentUser &u, float thickness) {
    if (thickness == 0.0f) return 1.0f;
    const float p = powf(u.thicknessBase, fabsf(thickness));
    return (3.0f - 2.0f * p) * p * p;
}

// Samples `light` and adds light colour x (diffuseFactor / N.L) x weight
// of every non-ambient sample to `sum`; the front pass also gathers the
// ambient and diffuse sums. Returns the host's sample count.
int translucencyPass(TranslucentUser &u, RenderState *state, Tag light, LightIllumRecord *rec,
                     Color &sum, IllumLightSums *front, IllumSample *last) {
    IllumSample s;
    int samples = 0, taken = 0;
    for (;;) {
        if (u.scratch) u.scratch->thickness = 0.0f;
        if (!zo_sample_light(&s.color, &s.dir, &s.dotNL, state, light, &samples)) break;
        if (++taken > (1 << 20)) break;
        if (last) *last = s;
        if (rec->ambientOnly) {
            if (front) addRGB(front->ambient, s.color);
            continue;
        }
        if (!rec->filled) rec->diffuseFactor = s.dotNL;
        const float df = rec->diffuseFactor;
        if (front && s.dotNL > 0.0f && (rec->affectBits & kAffectDiffuse))
            addScaledRGB(front->diffuse, s.color, df);
        if (u.translucent) {
            const float ratio = s.dotNL == 0.0f ? 1.0f : df / s.dotNL;
            const float w = thicknessWeight(u, u.scratch ? u.scratch->thickness : 0.0f);
            addScaledRGB(sum, s.color, ratio * w);
        }
    }
    return samples > 0 ? samples : taken;
}

void addAveraged(Color &to, const Color &sum, int n) {
    if (n <= 0) return;
    const float k = static_cast<float>(n);
    to.r += sum.r / k;
    to.g += sum.g / k;
    to.b += sum.b / k;
}

void translucentCallback(RenderState *state, Tag light, LightIllumRecord *rec, void *user) {
    TranslucentUser &u = *static_cast<TranslucentUser *>(user);
    IllumRecord *r = u.record;
    if (u.scratch) {
        u.scratch->translucencyPass = 1;
        u.scratch->passPoint = state->point;
        u.scratch->passInstance = state->instance;
    }
    IllumLightSums front{};
    Color frontSum = kBlack;
    IllumSample last{};
    const int n = translucencyPass(u, state, light, rec, frontSum, &front, &last);
    illumAddLightSums(r, front, n);
    addAveraged(u.front, frontSum, n);

    if (u.translucent) {
        const Vector3 normal = state->normal;
        const int32_t inside = state->inv_normal;
        state->normal = -normal;
        state->inv_normal = !inside;
        Color backSum = kBlack;
        const int m = translucencyPass(u, state, light, rec, backSum, nullptr, nullptr);
        addAveraged(u.back, backSum, m);
        state->normal = normal;
        state->inv_normal = inside;
    }

    if (n > 0 && u.specularOn && (rec->affectBits & kAffectSpecular) &&
        (!state->inv_normal || u.backsideSpecular)) {
        const Vector3 H = unit(last.dir - state->dir);
        const float nh = dot(state->normal, H);
        if (nh > 0.0f)
            addScaledRGB(r->specular, last.color,
                         static_cast<float>(pow(static_cast<double>(nh), u.exponent)) * u.level);
    }
    if (u.scratch) u.scratch->translucencyPass = 0;
}

void translucentIlluminate(RenderState *state, IllumRecord *r, void *modelParams) {
    if (!r || !state) return;
    const auto *p = static_cast<const TranslucentParams *>(modelParams);
    TranslucentUser u;
    u.record = r;
    u.scratch = static_cast<MaterialScratch *>(r->scratch);
    u.exponent = 4.0 * exp2(10.0 * illumSlotColor(r, kSlotGlossiness).r);
    u.level = illumSlotColor(r, kSlotSpecularLevel).r;
    u.specularOn = u.level > 0.0f;
    u.backsideSpecular = p && p->backsideSpecular;
    const Color tc = r->channels[kChTranslucent];
    u.translucent = !isBlackRGB(tc);
    u.thicknessBase = 0.93f + 0.069f * intensity(tc);
    u.front = u.back = kBlack;
    IllumAccumulate(state, translucentCallback, &u);

    blinnSelfIllum(r, p ? p->useSelfIllumColor : 0, false);
    Color t = {(u.back.r + u.front.r - r->diffuse.r) * tc.r,
               (u.back.g + u.front.g - r->diffuse.g) * tc.g,
               (u.back.b + u.front.b - r->diffuse.b) * tc.b, 0.0f};
    if (r->energyBlend) {
        t.r *= 1.0f - r->diffuse.r;
        t.g *= 1.0f - r->diffuse.g;
        t.b *= 1.0f - r->diffuse.b;
    }
    r->transmitted.r = t.r;
    r->transmitted.g = t.g;
    r->transmitted.b = t.b;
    mulRGB(r->diffuse, r->channels[kChDiffuse]);
    scaleRGB(r->diffuse, r->channels[kChDiffuseLevel].r);
    r->diffuseIntensity = intensity(r->diffuse);
    mulRGB(r->specular, r->channels[kChSpecular]);
    mulRGB(r->ambient, r->channels[kChAmbient]);
    illumFinish(state, r);
}

const IllumModelLayout kTranslucentLayout =
    illumResolveLayout(kTranslucentSlots, 8, kTranslucentTypes);

const IllumModelTable kTranslucentTable = {8,
                                           kTranslucentSlots,
                                           kTranslucentTypes,
                                           0x6435fe,
                                           0,
                                           0.0f,
                                           translucentIlluminate,
                                           illumTintBySpecular,
                                           illumCombineEnergy,
                                           illumTransmitAdding,
                                           illumReflect,
                                           &kTranslucentLayout};

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_TranslucentIllumination(Color *result, RenderState *state,
                                                      kor::TranslucentParams *params,
                                                      IllumRecord *record) {
    using namespace kor;
    if (!record) return 0;
    TranslucentParams p{};
    if (params) {
        p.ambient = eval(state, &params->ambient);
        p.diffuse = eval(state, &params->diffuse);
        p.specular = eval(state, &params->specular);
        p.filterColor = clampKeepAlpha(eval(state, &params->filterColor));
        p.translucentColor = clampKeepAlpha(eval(state, &params->translucentColor));
        p.backsideSpecular = eval(state, &params->backsideSpecular);
        p.lockAmbientDiffuse = eval(state, &params->lockAmbientDiffuse);
        p.lockDiffuseSpecular = eval(state, &params->lockDiffuseSpecular);
        p.useSelfIllumColor = eval(state, &params->useSelfIllumColor);
        p.glossiness = clampTo(eval(state, &params->glossiness), 0.0f, 1.0f);
        p.selfIllumColor = clampKeepAlpha(eval(state, &params->selfIllumColor));
        p.specularLevel = clampTo(eval(state, &params->specularLevel), 0.0f, 9.99f);
        p.selfIllumAmount = clampTo(eval(state, &params->selfIllumAmount), 0.0f, 1.0f);
        p.diffuseLevel = eval(state, &params->diffuseLevel);
        if (p.lockAmbientDiffuse) p.ambient = p.diffuse;
        if (p.lockDiffuseSpecular) p.specular = p.diffuse;
        p.ambient = clampKeepAlpha(p.ambient);
        p.diffuse = clampKeepAlpha(p.diffuse);
        p.specular = clampKeepAlpha(p.specular);
    }
    record->channels[kChAmbient] = p.ambient;
    record->channels[kChDiffuse] = p.diffuse;
    record->channels[kChSpecular] = p.specular;
    record->channels[kTranslucentSlots[kSlotGlossiness]] = monoChannel(p.glossiness);
    record->channels[kTranslucentSlots[kSlotSpecularLevel]] = monoChannel(p.specularLevel);
    record->channels[kTranslucentSlots[kSlotSelfIllum]] =
        p.useSelfIllumColor ? p.selfIllumColor : greyChannel(p.selfIllumAmount);
    record->channels[kChFilter] = p.filterColor;
    record->channels[kChDiffuseLevel] = monoChannel(p.diffuseLevel);
    record->channels[kChTranslucent] = p.translucentColor;
    return illumRunModel(result, state, record, kTranslucentTable, 0.0f, &p);
}

KOR_SHADER_INIT(kor_base_TranslucentIllumination) {
    (void)state;
    if (!params && request) *request = 1;
}

KOR_SHADER_EXIT(kor_base_TranslucentIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_trnslcnt");
}
