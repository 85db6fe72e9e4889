// The Strauss illumination model: colour, glossiness and metalness drive
// diffuse and specular reflectance, with empirical Fresnel and shadowing
// curves; it carries its own reflection and transparency steps.
#include <math.h>

#include "illum_models.h"
#include "kor_support.h"

namespace kor {
namespace {

enum : int { kChColor = 0, kChGlossiness = 1, kChMetalness = 2, kChOpacity = 3 };

const int32_t kStraussSlots[kIllumSlotCount] = {-1, 0, -1, 1, -1, -1, 3, 4, -1, -1, -1, -1};
const int32_t kStraussTypes[kIllumChannelTypes] = {2, 4, 4, 4, 2, 1, 1, 1, 1, 1, 1, 1,
                                                   1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

constexpr float kTwoOverPi = 0.63661975f;

float straussFresnel(float x) {
    x = clamp01(x);
    const float d = x - 1.12f;
    return (1.0f / (d * d) - 0.7971939f) / 68.64725f;
}

float straussShadow(float x) {
    x = clamp01(x);
    const float d = x - 1.01f;
    return (10000.02f - 1.0f / (d * d)) / 9999.039f;
}

float angleFraction(float c) {
    return acosf(clampTo(c, -1.0f, 1.0f)) * kTwoOverPi;
}

struct StraussUser {
    IllumRecord *record;
    bool specularOn;
    Color c;
    float metal, rd, rs, j, thetaV;
    double exponent;
};

struct StraussModel {
    using User = StraussUser;
    static void beginLight(User &) {}
    static void diffuse(User &u, RenderState *, const IllumSample &s, float df,
                        IllumLightSums &sums) {
        addScaledRGB(sums.diffuse, s.color, df * u.j * u.rd);
    }
    static void specular(User &u, RenderState *, const IllumSample &s, float,
                         IllumLightSums &sums) {
        const IllumRecord *r = u.record;
        const Vector3 R = unit(s.dir - r->normal * (2.0f * s.dotNL));
        float h = -dot(r->viewDir, R);
        if (!(h < 0.0f)) return;
        if (s.dotNL < 0.15f) {
            const float x = s.dotNL / 0.15f;
            h *= x * (2.0f - x);
        }
        const float sp = static_cast<float>(pow(static_cast<double>(-h), u.exponent)) * 1.3f;
        const float thetaL = angleFraction(s.dotNL);
        const float fl = straussFresnel(thetaL);
        const float k = u.rs <= 0.0f ? u.rs
                                     : clamp01(u.rs + (u.rs + 0.1f) * fl * straussShadow(thetaL) *
                                                          straussShadow(u.thetaV));
        const float m = maxRGB(s.color);
        Color lp = s.color;
        if (m != 0.0f) lp = {s.color.r / m, s.color.g / m, s.color.b / m, s.color.a};
        const float f = (1.0f - fl) * u.metal;
        const float km = k * sp * m;
        sums.specular.r += km * (lp.r + (u.c.r - lp.r) * f);
        sums.specular.g += km * (lp.g + (u.c.g - lp.g) * f);
        sums.specular.b += km * (lp.b + (u.c.b - lp.b) * f);
    }
};

void straussAffectReflection(RenderState *, IllumRecord *r, Color *colour) {
    if (!r || !colour) return;
    const Color c = r->channels[kChColor];
    const float g = r->channels[kChGlossiness].r;
    const float metal = r->channels[kChMetalness].r;
    const float rs = r->channels[kChOpacity].r * g * g * g;
    const Vector3 &N = r->normal;
    const Vector3 &V = r->viewDir;
    const float nv = dot(N, V);
    const Vector3 mirror = V - N * (2.0f * nv);
    const float theta = angleFraction(dot(N, mirror));
    const float thetaV = angleFraction(-nv);
    const float f = straussFresnel(theta);
    const float k = clamp01(rs + (rs + 0.1f) * f * straussShadow(thetaV) * straussShadow(theta));
    colour->r *= k * (1.0f + (c.r - 1.0f) * metal * (1.0f - f)) * 3.0f;
    colour->g *= k * (1.0f + (c.g - 1.0f) * metal * (1.0f - f)) * 3.0f;
    colour->b *= k * (1.0f + (c.b - 1.0f) * metal * (1.0f - f)) * 3.0f;
}

void straussIlluminate(RenderState *state, IllumRecord *r, void *) {
    if (!r || !state) return;
    StraussUser u;
    u.record = r;
    u.specularOn = true;
    u.c = r->channels[kChColor];
    const float g = r->channels[kChGlossiness].r;
    u.metal = r->channels[kChMetalness].r;
    const float alpha = r->channels[kChOpacity].r;
    const float g3 = g * g * g;
    u.rd = (r->mapFlags & kMapFlagReflectionAssigned) ? alpha * (1.0f - g3)
                                                      : alpha * (1.0f - g3 * u.metal);
    u.rs = alpha * g3;
    u.exponent = g == 1.0f ? 600.0 : 3.0 / (1.0 - static_cast<double>(g));
    u.j = 1.0f - u.metal * g;
    u.thetaV = angleFraction(-dot(r->normal, r->viewDir));
    illumAccumulateModel<StraussModel>(state, u, static_cast<MaterialScratch *>(u.record->scratch));

    scaleRGB(r->ambient, u.rd * 0.5f);
    mulRGB(r->ambient, u.c);
    r->diffuseIntensity = intensity(r->diffuse);
    mulRGB(r->diffuse, u.c);

    if (r->mapFlags & kMapFlagReflection) {
        Color c = illumSlotColor(r, kSlotReflection);
        if (r->affectReflection) r->affectReflection(state, r, &c);
        r->reflection.r = r->reflectionAmount * c.r;
        r->reflection.g = r->reflectionAmount * c.g;
        r->reflection.b = r->reflectionAmount * c.b;
    }

    if (!(r->mapFlags & kMapFlagRefraction)) {
        r->diffuseWeight = alpha;
        if (r->mapFlags & kMapFlagTransparent) {
            const Color filter = {0.3f + 0.3f * u.c.r, 0.3f + 0.3f * u.c.g, 0.3f + 0.3f * u.c.b,
                                  0.0f};
            const Color T = transparencyColor(kTransparencyFilter, alpha, filter, filter);
            r->transparency = r->transparencyCopy = T;
            const Color B = traceBehind(state, false);
            r->transmitted.r = T.r * B.r;
            r->transmitted.g = T.g * B.g;
            r->transmitted.b = T.b * B.b;
            scaleRGB(r->transparency, 1.0f - B.a);
        }
    } else {
        const float w = (1.0f - r->refractionAmount) * r->opacity;
        r->diffuseWeight = w;
        const float s = fminf(1.0f, maxRGB(r->specular));
        const Color T = transparencyColor(kTransparencyFilter, w + s - w * s, u.c, u.c);
        const Color refr = illumSlotColor(r, kSlotRefraction);
        r->refraction.r = refr.r * T.r;
        r->refraction.g = refr.g * T.g;
        r->refraction.b = refr.b * T.b;
        r->transparency = kBlack;
    }
    if (r->combine) r->combine(r);
}

const IllumModelLayout kStraussLayout = illumResolveLayout(kStraussSlots, 5, kStraussTypes);

const IllumModelTable kStraussTable = {5,
                                       kStraussSlots,
                                       kStraussTypes,
                                       0xa01480,
                                       0,
                                       0.0f,
                                       straussIlluminate,
                                       straussAffectReflection,
                                       illumCombineStrauss,
                                       illumNoStep,
                                       illumNoStep,
                                       &kStraussLayout};

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_StraussIllumination(Color *result, RenderState *state,
                                                  kor::StraussParams *params, IllumRecord *record) {
    using namespace kor;
    if (!record) return 0;
    StraussParams p{};
    if (params) {
        p.color = clampColor(eval(state, &params->color));
        p.glossiness = clampTo(eval(state, &params->glossiness), 0.0f, 1.0f);
        p.metalness = clampTo(eval(state, &params->metalness), 0.0f, 1.0f);
    }
    record->channels[kChColor] = p.color;
    record->channels[kStraussSlots[kSlotGlossiness]] = monoChannel(p.glossiness);
    record->channels[kChMetalness] = monoChannel(p.metalness);
    return illumRunModel(result, state, record, kStraussTable, 0.0f, &p);
}

KOR_SHADER_EXIT(kor_base_StraussIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_strauss");
}
