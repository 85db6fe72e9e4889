// The Ward illumination model: an anisotropic Gaussian highlight with
// separate glossiness along and across the texture's u direction.
#include <math.h>

#include "illum_models.h"
#include "kor_context.h"

namespace kor {
namespace {

enum : int {
    kChAmbient = 0,
    kChDiffuse = 1,
    kChSpecular = 2,
    kChDiffuseLevel = 3,
    kChGlossinessV = 6
};

const int32_t kWardSlots[kIllumSlotCount] = {0, 1, 2, 5, 4, -1, 7, 8, -1, 10, 11, -1};
const int32_t kWardTypes[kIllumChannelTypes] = {2, 2, 2, 4, 4, 4, 4, 4, 2, 16, 32, 1,
                                                1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  1,  1};
// Nine own channels precede the two material-only entries (bump follows).
constexpr int32_t kWardChannelCount = 9;

// The per-thread tangent source.
struct WardCache {
    ShadingContext context;
    int32_t ready;
};

struct WardUser {
    IllumRecord *record;
    bool specularOn;
    float diffuseLevel, level, glossU, glossV;
    Vector3 X, Y;
};

struct WardModel {
    using User = WardUser;
    static void beginLight(User &) {}
    static void diffuse(User &u, RenderState *, const IllumSample &s, float df,
                        IllumLightSums &sums) {
        addScaledRGB(sums.diffuse, s.color, (df / kPi) * u.diffuseLevel);
    }
    static void specular(User &u, RenderState *, const IllumSample &s, float df,
                         IllumLightSums &sums) {
        const IllumRecord *r = u.record;
        const Vector3 H = unit(s.dir - r->viewDir);
        const float nh = dot(r->normal, H);
        if (nh <= 0.0f) return;
        const float nv = fmaxf(-dot(r->normal, r->viewDir), 0.001f);
        const float g = fminf(6.0f, 1.0f / sqrtf(nv * s.dotNL));
        const float x = dot(H, u.X) / u.glossU;
        const float y = dot(H, u.Y) / u.glossV;
        const float term = df * 2.6525824f * g * expf(-2.0f * (x * x + y * y) / (1.0f + nh));
        addScaledRGB(sums.specular, s.color, term * u.level);
    }
};

// The texture tangent of the first map channel at the hit, in internal
// space.
Vector3 wardTangent(RenderState *state) {
    auto *cache =
        static_cast<WardCache *>(thread_block(state, "shd_ward", __LINE__, sizeof(WardCache)));
    ShadingContext local;
    const ShadingContext *context = &local;
    if (cache) {
        if (!cache->ready) {
            contextCreate(&cache->context, state);
            cache->ready = 1;
        }
        context = &cache->context;
    } else {
        contextCreate(&local, state);
    }
    const int index = selectChannel(state, context, kContextSurface, nullptr, 0, 1);
    Vector3 d[2] = {kZero, kZero};
    dPdUV(state, context, kContextSurface, 0, index, d);
    Vector3 tangent = d[0];
    zo_vector_from_camera(&tangent, state, &d[0]);
    if (!cache) contextRelease(&local);
    return tangent;
}

void wardIlluminate(RenderState *state, IllumRecord *r, void *) {
    if (!r || !state) return;
    WardUser u;
    u.record = r;
    u.diffuseLevel = r->channels[kChDiffuseLevel].r;
    u.level = illumSlotColor(r, kSlotSpecularLevel).r;
    u.glossU = illumSlotColor(r, kSlotGlossiness).r;
    u.glossV = r->channels[kChGlossinessV].r;
    u.specularOn = u.level > 0.0f;
    u.X = u.Y = kZero;
    if (u.specularOn) {
        const Vector3 N = r->normal;
        const Vector3 t = wardTangent(state);
        u.X = unit(t - N * dot(N, t));
        u.Y = cross(u.X, N);
    }
    illumAccumulateModel<WardModel>(state, u, static_cast<MaterialScratch *>(u.record->scratch));
    illumColourComponents(r);
    illumFinish(state, r);
}

const IllumModelLayout kWardLayout = illumResolveLayout(kWardSlots, kWardChannelCount, kWardTypes);

const IllumModelTable kWardTable = {kWardChannelCount,
                                    kWardSlots,
                                    kWardTypes,
                                    0x1e00bce,
                                    0,
                                    0.0f,
                                    wardIlluminate,
                                    illumTintBySpecular,
                                    illumCombinePlain,
                                    illumTransmit,
                                    illumReflect,
                                    &kWardLayout};

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_WardIllumination(Color *result, RenderState *state,
                                               kor::WardParams *params, IllumRecord *record) {
    using namespace kor;
    if (!record) return 0;
    WardParams p{};
    if (params) {
        p.ambient = clampKeepAlpha(eval(state, &params->ambient));
        p.diffuse = clampKeepAlpha(eval(state, &params->diffuse));
        p.specular = clampKeepAlpha(eval(state, &params->specular));
        p.diffuseLevel = clampTo(eval(state, &params->diffuseLevel), 0.0f, 2.0f);
        p.specularLevel = clampTo(eval(state, &params->specularLevel), 0.0f, 4.0f);
        p.glossinessU = clampTo(eval(state, &params->glossinessU), 0.0001f, 1.0f);
        p.glossinessV = clampTo(eval(state, &params->glossinessV), 0.0001f, 1.0f);
    }
    record->channels[kChAmbient] = p.ambient;
    record->channels[kChDiffuse] = p.diffuse;
    record->channels[kChSpecular] = p.specular;
    record->channels[kChDiffuseLevel] = monoChannel(p.diffuseLevel);
    record->channels[kWardSlots[kSlotSpecularLevel]] = monoChannel(p.specularLevel);
    record->channels[kWardSlots[kSlotGlossiness]] = monoChannel(p.glossinessU);
    record->channels[kChGlossinessV] = monoChannel(p.glossinessV);
    return illumRunModel(result, state, record, kWardTable, 0.0f, &p);
}

KOR_SHADER_EXIT(kor_base_WardIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_ward");
}
