// The shared light loop (IllumAccumulate), the shared transparency,
// reflection and combine steps of the illumination models, and the pieces
// of the model entry and light callbacks that several models use.
#include <math.h>
#include <stddef.h>
#include <string.h>

#include "illum.h"
#include "illum_models.h"
#include "illum_steps.h"
#include "kor_context.h"
#include "kor_statekeys.h"
#include "kor_support.h"

LightLoopLink korLightLoopLinks[kLightLoopThreads];

namespace kor {
using namespace steps;
}  // namespace kor

// ---------------------------------------------------------------------------
// The light loop.

zoBoolean IllumAccumulate(RenderState *state, IllumLightCallback callback, void *user) {
    return kor::illumAccumulate(state, callback, user, nullptr);
}

const IllumLightList *kor::illumAskLightList(RenderState *state, MaterialScratch *scratch) {
    Tag item = 0;
    const IllumLightList *list = nullptr;
    // asked with the state and no tag, the host names the light list of the
    // state's instance
    if (!zo_query(ZO_Q_INST_DATA, state, 0, &item) || !item) return nullptr;
    if (!zo_query(ZO_Q_DATA_PARAM, state, item, &list) || !list) return nullptr;
    if (scratch) {
        scratch->lightInstance = state->instance;
        scratch->lightList = list;
        scratch->globalsKnown = 0;
    }
    return list;
}

int kor::illumGlobalLights(RenderState *state, MaterialScratch *scratch, const Tag **lights) {
    if (scratch && scratch->globalsKnown) {
        *lights = scratch->globalLights;
        return scratch->globalCount;
    }
    int count = 0;
    *lights = nullptr;
    if (!zo_query(ZO_Q_NUM_GLOBAL_LIGHTS, state, 0, &count) || count <= 0 ||
        !zo_query(ZO_Q_GLOBAL_LIGHTS, state, 0, lights) || !*lights) {
        count = 0;
        *lights = nullptr;
    }
    if (scratch) {
        scratch->globalCount = count;
        scratch->globalLights = *lights;
        scratch->globalsKnown = 1;
    }
    return count;
}

zoBoolean kor::illumAccumulate(RenderState *state, IllumLightCallback callback, void *user,
                               MaterialScratch *scratch) {
    if (!state || !callback) return 0;
    return illumAccumulateWith(state, scratch,
                               [state, callback, user](Tag light, LightIllumRecord *record) {
                                   callback(state, light, record, user);
                               });
}

namespace kor {

// ---------------------------------------------------------------------------
// Shared steps.

void illumTransmit(RenderState *state, IllumRecord *record) {
    if (record) transmitStep(state, record, false, LayoutSlots{record});
}

void illumTransmitAdding(RenderState *state, IllumRecord *record) {
    if (record) transmitStep(state, record, true, LayoutSlots{record});
}

void illumNoStep(RenderState *, IllumRecord *) {}

void illumReflect(RenderState *state, IllumRecord *r) {
    if (r) reflectStep(state, r, LayoutSlots{r});
}

void illumCombinePlain(IllumRecord *r) {
    combinePlainStep(r);
}

void illumCombineEnergy(IllumRecord *r) {
    if (!r) return;
    if (!r->energyBlend) {
        illumCombinePlain(r);
        return;
    }
    const float w = r->diffuseWeight;
    const float A[3] = {r->ambient.r + r->diffuse.r + r->selfIllum.r + r->indirect.r,
                        r->ambient.g + r->diffuse.g + r->selfIllum.g + r->indirect.g,
                        r->ambient.b + r->diffuse.b + r->selfIllum.b + r->indirect.b};
    const float S[3] = {r->specular.r + r->reflection.r, r->specular.g + r->reflection.g,
                        r->specular.b + r->reflection.b};
    const float under[3] = {A[0] * w + r->refraction.r + r->transmitted.r,
                            A[1] * w + r->refraction.g + r->transmitted.g,
                            A[2] * w + r->refraction.b + r->transmitted.b};
    const float add[3] = {r->transmittedAdd.r, r->transmittedAdd.g, r->transmittedAdd.b};
    float out[3];
    for (int i = 0; i < 3; ++i) out[i] = under[i] * clamp01(1.0f - S[i]) + S[i] + add[i];
    r->finalColor.r = out[0];
    r->finalColor.g = out[1];
    r->finalColor.b = out[2];
}

void illumCombineStrauss(IllumRecord *r) {
    if (!r) return;
    const float w = (r->mapFlags & kMapFlagRefraction) ? r->diffuseWeight : 1.0f;
    r->finalColor.r = (r->diffuse.r + r->ambient.r + r->indirect.r) * w + r->specular.r +
                      r->reflection.r + r->refraction.r + r->transmitted.r + r->transmittedAdd.r;
    r->finalColor.g = (r->diffuse.g + r->ambient.g + r->indirect.g) * w + r->specular.g +
                      r->reflection.g + r->refraction.g + r->transmitted.g + r->transmittedAdd.g;
    r->finalColor.b = (r->diffuse.b + r->ambient.b + r->indirect.b) * w + r->specular.b +
                      r->reflection.b + r->refraction.b + r->transmitted.b + r->transmittedAdd.b;
}

Color transparencyColor(int mode, float o, const Color &F, const Color &D) {
    if (mode == kTransparencyAdditive) {
        const float t = 1.0f - o;
        return {t, t, t, t};
    }
    if (mode == kTransparencySubtractive)
        return {(1.0f - D.r) * (1.0f - o), (1.0f - D.g) * (1.0f - o), (1.0f - D.b) * (1.0f - o),
                0.0f};
    if (o <= 0.5f) {
        const float m = fminf(F.r, fminf(F.g, F.b));
        const float add = (1.0f - m) * (1.0f - 2.0f * o);
        return {atMostOne(F.r + add), atMostOne(F.g + add), atMostOne(F.b + add), 0.0f};
    }
    const float sub = 2.0f * (o - 0.5f) * maxRGB(F);
    return {fmaxf(0.0f, F.r - sub), fmaxf(0.0f, F.g - sub), fmaxf(0.0f, F.b - sub), 0.0f};
}

float dielectricFresnel(const Vector3 &R, const Vector3 &I, float n) {
    const Vector3 h = unit(I - R);
    const float c = dot(h, I);
    const float g2 = c * c + n * n - 1.0f;
    const float g = g2 < 0.0f ? 0.0f : sqrtf(g2);
    if (g == -c) return 0.0f;
    const float p = c * (g + c);
    const float q = (g - c) / (g + c);
    return q * q * 0.5f * (1.0f + ((p - 1.0f) * (p - 1.0f)) / ((p + 1.0f) * (p + 1.0f)));
}

Color traceBehind(RenderState *state, bool markTrace) {
    if (transparencyProbeRecord(state)) return kBlack;
    if (markTrace) {
        static_assert(sizeof(TransparentTraceRecord) == 8, "the trace mark is two words");
        storeTraceMark(state, 1,
                       (state->type == ZO_RAY_REFLECT || state->type == ZO_RAY_REFRACT) ? 0 : 1);
    }
    Color behind = kBlack;
    state->trace_depth -= 1;
    if (!zo_trace_transparent(&behind, state)) behind = kBlack;
    state->trace_depth += 1;
    if (markTrace) removeTraceMark(state);
    return behind;
}

// ---------------------------------------------------------------------------
// Model entry and exit.

void illumReleaseThreadBlocks(RenderState *state, void *params, const char *module) {
    if (!params) return;
    // the instance's parameters may be made again elsewhere, connected
    memoForget();
    for_each_thread_block(state,
                          [module](void *block) { zo_mem_int_release(module, __LINE__, block); });
}

void illumTintBySpecular(RenderState *, IllumRecord *record, Color *colour) {
    if (record && colour) mulRGB(*colour, illumSlotColor(record, kSlotSpecular));
}

void illumTintByDiffuse(RenderState *, IllumRecord *record, Color *colour) {
    if (record && colour) mulRGB(*colour, illumSlotColor(record, kSlotDiffuse));
}

void blinnSelfIllum(IllumRecord *r, zoBoolean useSelfIllumColor, bool atLeastZero, float third) {
    selfIllumStep(r, useSelfIllumColor, atLeastZero, third, LayoutSlots{r});
}

// ---------------------------------------------------------------------------
// Light callback pieces.

double glossExponent(const IllumRecord *record, float gloss) {
    auto *scratch = static_cast<MaterialScratch *>(record->scratch);
    if (scratch && scratch->exponentValid && scratch->exponentGloss == gloss)
        return scratch->exponent;
    const double e = exp2(10.0 * gloss);
    if (scratch) {
        scratch->exponentGloss = gloss;
        scratch->exponent = e;
        scratch->exponentValid = 1;
    }
    return e;
}

HighlightPower workHighlightPower(const IllumRecord *record, float gloss, float scale) {
    HighlightPower power;
    power.exponent = static_cast<float>(static_cast<double>(scale) * exp2(10.0 * gloss));
    power.zeroBelow = 0.0f;
    if (power.exponent > 0.0f) {
        // x^e < 2^-160 for x < 2^(-160 / e); the float bound is rounded down
        const double bound = exp2(-160.0 / power.exponent);
        power.zeroBelow = static_cast<float>(bound);
        if (static_cast<double>(power.zeroBelow) > bound)
            power.zeroBelow = nextafterf(power.zeroBelow, 0.0f);
    }
    if (auto *scratch = static_cast<MaterialScratch *>(record->scratch)) {
        scratch->powerGloss = gloss;
        scratch->powerScale = scale;
        scratch->powerExponent = power.exponent;
        scratch->powerZeroBelow = power.zeroBelow;
        scratch->powerValid = 1;
    }
    return power;
}

float softenedHighlight(float nh, double exponent, float level, float soften, float diffuseFactor) {
    // NH lies in (0, 1]: the single-precision power is exact to a few units in
    // the last place and several times cheaper than the double one. No zero
    // bound is known here.
    return softenedHighlight(nh, static_cast<float>(exponent), 0.0f, level, soften, diffuseFactor);
}

float anisotropicHighlight(const IllumRecord *record, float gloss, float aniso, float orient,
                           const Vector3 &L, float dotNL, const Vector3 &T) {
    const Vector3 &N = record->normal;
    const Vector3 &V = record->viewDir;
    const float ax = (1.0f - gloss) * 0.485f + 0.015f;
    const float ay = 0.015f + (1.0f - gloss) * 0.485f * (1.0f - aniso);
    const Vector3 H = unit(L - V);
    const float nh = dot(N, H);
    if (nh <= 0.0f) return 0.0f;
    const float nv = fmaxf(-dot(N, V), 0.001f);
    const float g = fminf(3.0f, 1.0f / sqrtf(dotNL * nv));
    const Vector3 Tr = orient != 0.0f ? rotateAboutAxis(T, orient * kPi, N) : T;
    const Vector3 B = cross(Tr, N);
    const float u = dot(H, Tr) / ax;
    const float v = dot(H, B) / ay;
    return 0.5f * 2.6525824f * g * expf(-2.0f * (u * u + v * v) / (1.0f + nh));
}

Vector3 anisotropyReference(RenderState *state) {
    const Vector3 axis = {0.0f, 0.0f, 1.0f};
    Vector3 w = axis;
    zo_vector_from_object(&w, state, &axis);
    w = unit(w);
    const Vector3 N = state->normal;
    if (dot(w, N) >= 0.9999f) w = {0.0f, 1.0f, 0.0f};
    return unit(w - N * dot(N, w));
}

OrenNayarTerm orenNayar(Vector3 V, const Vector3 &N, const Vector3 &L, float sigma,
                        const Color &rho, float dotNL) {
    constexpr float kLimit = 1.5393804f;
    float thetaI = dotNL < 0.9999f ? acosf(dotNL) : 0.0f;
    thetaI = clampTo(thetaI, -kLimit, kLimit);
    if (dot(N, V) < 0.0f) V = -V;
    const float cr = dot(N, V);
    const float thetaR = cr < 0.9999f ? acosf(cr) : 0.0f;
    const float alpha = fmaxf(thetaI, thetaR);
    const float beta = fminf(thetaI, thetaR);
    const Vector3 Lp = L - N * dot(N, L);
    const Vector3 Vp = V - N * dot(N, V);
    const float lengths = length(Lp) * length(Vp);
    float cosPhi = lengths < 0.0001f ? 1.0f : dot(Lp, Vp) / lengths;
    cosPhi = clampTo(cosPhi, -1.0f, 1.0f);
    const float s2 = sigma * sigma;
    const float c1 = 1.0f - 0.5f * s2 / (s2 + 0.33f);
    const float betaSigned = cosPhi >= 0.0f ? -beta : beta;
    const float b3 = 2.0f * betaSigned / kPi;
    const float c2 = 0.45f * s2 / (s2 + 0.09f) * (sinf(alpha) - b3 * b3 * b3);
    const float ab = 4.0f * alpha * beta / (kPi * kPi);
    const float c3 = 0.125f * s2 / (s2 + 0.09f) * ab * ab;
    const float tanBeta = clampTo(tanf(beta), -100.0f, 100.0f);
    const float tanHalf = clampTo(tanf((alpha + beta) * 0.5f), -100.0f, 100.0f);
    const float l1 = c1 + cosPhi * c2 * tanBeta + (1.0f - fabsf(cosPhi)) * c3 * tanHalf;
    const float b2 = 2.0f * beta / kPi;
    const float l2 = 0.17f * s2 / (s2 + 0.13f) * (1.0f - cosPhi * b2 * b2);
    OrenNayarTerm t;
    t.intensity = l1 + l2;
    t.color = {fminf(1.0f, rho.r * rho.r * l2 + rho.r * l1),
               fminf(1.0f, rho.g * rho.g * l2 + rho.g * l1),
               fminf(1.0f, rho.b * rho.b * l2 + rho.b * l1), 0.0f};
    return t;
}

}  // namespace kor

namespace kor {

const int32_t kBlinnFamilyTypes[kIllumChannelTypes] = {2, 2, 2, 4, 4, 2, 4, 2, 1, 1, 1, 1,
                                                       1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
const IllumModelLayout kBlinnFamilyLayout =
    illumResolveLayout(kBlinnFamilySlots, kBlinnChannelCount, kBlinnFamilyTypes);

void illumColourComponents(IllumRecord *r) {
    colourComponentsStep(r, LayoutSlots{r});
}

void blinnFinish(RenderState *state, IllumRecord *r, zoBoolean useSelfIllumColor,
                 bool atLeastZero) {
    if (r->layout == &kBlinnFamilyLayout)
        blinnFinishSteps(state, r, useSelfIllumColor, atLeastZero, BlinnSlots{});
    else
        blinnFinishSteps(state, r, useSelfIllumColor, atLeastZero, LayoutSlots{r});
}

void illumFinish(RenderState *state, IllumRecord *r) {
    if (r->layout == &kBlinnFamilyLayout)
        finishSteps(state, r, BlinnSlots{});
    else
        finishSteps(state, r, LayoutSlots{r});
}

}  // namespace kor
