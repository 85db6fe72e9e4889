// The render element framework: the handler lens that wraps every eye ray,
// the entry points by which materials feed the element shaders, and the
// lighting queries of the elements.
#include "kor_rendelem.h"

#include <string.h>

#include "illum.h"
#include "kor_lightrec.h"
#include "kor_statekeys.h"
#include "kor_vector.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "kor_rendelem";

// Handler parameters: seven parallel arrays in the host's array form.
struct HandlerParams {
    kor::ParamArray<Tag> elementShaders;
    kor::ParamArray<zoBoolean> elementEnabled;
    kor::ParamArray<int32_t> frameBuffers;
    kor::ParamArray<zoBoolean> shadowFreePass;
    kor::ParamArray<zoBoolean> applyAtmosphere;
    kor::ParamArray<int32_t> elementFlags;
    kor::ParamArray<zoBoolean> beautyIfUntouched;
};

template <typename T>
T element(RenderState *state, const kor::ParamArray<T> &array, int k) {
    const int32_t start = kor::eval(state, &array.start);
    const int32_t count = kor::eval(state, &array.count);
    if (k >= count) return T{};
    return kor::eval(state, &array[start + k]);
}

RenderElementContext *context(RenderState *state) {
    return static_cast<RenderElementContext *>(
        zo_shaderstate_get(state, KOR_KEY_RENDER_ELEMENTS, nullptr));
}

ElementResults *thread_results(RenderState *state, int count) {
    auto *holder = static_cast<ElementResults *>(
        kor::thread_block(state, kModule, __LINE__, sizeof(ElementResults)));
    if (holder && !holder->results)
        holder->results = static_cast<Color *>(
            zo_mem_int_allocate(kModule, __LINE__, count * static_cast<int>(sizeof(Color))));
    return holder && holder->results ? holder : nullptr;
}

zoBoolean trace(Color *result, RenderState *state) {
    return zo_trace_eye(result, state, &state->org, &state->dir);
}

}  // namespace

// ---------------------------------------------------------------------------
// The handler lens.

KOR_EXPORT zoBoolean kor_RenderElementHandler(Color *result, RenderState *state, HandlerParams *) {
    if (!result || !state) return 0;
    void **slot = kor::user_slot(state);
    auto *setup = slot ? static_cast<RenderElementSetup *>(*slot) : nullptr;
    int flags = 0;
    const bool skip = zo_query(ZO_Q_RENDER_FLAGS, state, 0, &flags) && (flags & 2);
    if (skip || !setup || setup->count == 0) return trace(result, state);

    ElementResults *holder = thread_results(state, setup->count);
    if (!holder) return trace(result, state);
    for (int k = 0; k < setup->count; ++k) holder->results[k] = Color{0, 0, 0, 0};
    const RenderElementContext initial{setup, holder, 0, 0, 0};
    kor::markStateKeyStored(kor::kOwnKeyRenderElements);
    zo_shaderstate_set(state, KOR_KEY_RENDER_ELEMENTS, &initial, sizeof initial,
                       ZO_SHADERSTATE_RAY_TREE);
    RenderElementContext *ctx = context(state);
    if (!ctx) return trace(result, state);

    zoBoolean ok = 1;
    zoOptions *options = state->options;
    if (!options || options->shadow == 0) {
        ctx->runShadowed = ctx->runShadowFree = 1;
        ok = trace(result, state);
    } else {
        const Color incoming = *result;
        bool shadow_free_ran = false;
        if (setup->hasShadowFreeElements) {
            ctx->runShadowed = 0;
            ctx->runShadowFree = 1;
            zoOptions unshadowed = *options;
            unshadowed.shadow = 0;
            state->options = &unshadowed;
            ok = trace(result, state) && ok;
            state->options = options;
            shadow_free_ran = true;
        }
        if (setup->hasShadowedElements) {
            if (shadow_free_ran) state->march = 0;
            *result = incoming;
            ctx->runShadowed = 1;
            ctx->runShadowFree = 0;
            ok = trace(result, state) && ok;
        }
    }
    const bool written = ctx->written != 0;
    zo_shaderstate_set(state, KOR_KEY_RENDER_ELEMENTS, nullptr, 0, ZO_SHADERSTATE_RAY_TREE);

    // the eye ray's own hit distance (0 when it hit nothing)
    const float distance = static_cast<float>(state->dist);
    for (int k = 0; k < setup->count; ++k) {
        if (!setup->applyAtmosphere[k]) continue;
        ElementAtmosphereData atmosphere{holder->results[k], distance, 0.0f};
        if (state->camera && state->camera->volume)
            zo_call_shader_x(&atmosphere.color, ZO_SHADER_VOLUME_MARCH, state,
                             state->camera->volume, nullptr);
        ElementCallArgs args{1, &atmosphere};
        // an element that has nothing to do after the atmosphere leaves its entry
        zo_call_shader_x(&holder->results[k], ZO_SHADER_RENDER_ELEMENT, state, setup->shaders[k],
                         &args);
    }
    for (int k = 0; k < setup->count; ++k) {
        const Color value = !written && setup->beautyIfUntouched[k] ? *result : holder->results[k];
        zo_fb_put(state, setup->frameBuffers[k], &value);
    }
    return ok;
}

KOR_SHADER_INIT(kor_RenderElementHandler) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    auto *p = static_cast<HandlerParams *>(params);
    const int total = kor::eval(state, &p->elementShaders.count);
    int active = 0;
    for (int k = 0; k < total; ++k)
        if (element(state, p->elementEnabled, k) && element(state, p->elementShaders, k)) ++active;

    auto *setup = static_cast<RenderElementSetup *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(RenderElementSetup)));
    if (!setup) return;
    const int words = active > 0 ? active : 1;
    auto array = [&](int) {
        return static_cast<int32_t *>(zo_mem_int_allocate(kModule, __LINE__, words * 4));
    };
    setup->shadowFreePass = array(0);
    setup->applyAtmosphere = array(1);
    setup->shaders = reinterpret_cast<Tag *>(array(2));
    setup->frameBuffers = array(3);
    setup->elementFlags = array(4);
    setup->beautyIfUntouched = array(5);
    int n = 0;
    for (int k = 0; k < total; ++k) {
        const Tag shader = element(state, p->elementShaders, k);
        if (!element(state, p->elementEnabled, k) || !shader) continue;
        setup->shadowFreePass[n] = element(state, p->shadowFreePass, k) ? 1 : 0;
        setup->applyAtmosphere[n] = element(state, p->applyAtmosphere, k) ? 1 : 0;
        setup->shaders[n] = shader;
        setup->frameBuffers[n] = element(state, p->frameBuffers, k);
        setup->elementFlags[n] = element(state, p->elementFlags, k);
        setup->beautyIfUntouched[n] = element(state, p->beautyIfUntouched, k) ? 1 : 0;
        if (setup->shadowFreePass[n])
            setup->hasShadowFreeElements = 1;
        else
            setup->hasShadowedElements = 1;
        ++n;
    }
    setup->count = n;
    *slot = setup;
}

KOR_SHADER_EXIT(kor_RenderElementHandler) {
    if (!params) return;
    kor::for_each_thread_block(state, [](void *block) {
        auto *holder = static_cast<ElementResults *>(block);
        if (holder->results) zo_mem_int_release(kModule, __LINE__, holder->results);
        zo_mem_int_release(kModule, __LINE__, holder);
    });
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    auto *setup = static_cast<RenderElementSetup *>(*slot);
    void *arrays[] = {setup->shadowFreePass, setup->applyAtmosphere, setup->shaders,
                      setup->frameBuffers,   setup->elementFlags,    setup->beautyIfUntouched};
    for (void *a : arrays)
        if (a) zo_mem_int_release(kModule, __LINE__, a);
    zo_mem_int_release(kModule, __LINE__, setup);
    *slot = nullptr;
}

// ---------------------------------------------------------------------------
// Material side.

KOR_EXPORT zoBoolean RenderElementsAreBeingUsed(RenderState *state) {
    if (!state || !kor::stateKeyMayBeStored(kor::kOwnKeyRenderElements)) return 0;
    // only samples on the eye ray's path (through transparency) feed the
    // elements; the handler's context is asked for only on that path
    for (const RenderState *s = state; s; s = s->parent) {
        if (s->type == ZO_RAY_EYE) return context(state) != nullptr;
        if (s->type != ZO_RAY_TRANSPARENT) return 0;
    }
    return 0;
}

namespace {
const int32_t kIdentityChannels[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                       11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                       22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
}  // namespace

KOR_EXPORT void ClearOutputs(RenderElementIllum *r) {
    if (!r) return;
    const Color cleared = {0, 0, 0, 1};
    r->ambient = r->diffuse = r->refraction = r->selfIllum = r->specular = r->reflection = cleared;
    r->shadedColor = r->transparency = r->layerTransmission = cleared;
    r->diffuseIntensity = 0.0f;
    r->litScale = 0.0f;
}

KOR_EXPORT void ClearInputs(RenderElementIllum *r) {
    if (!r) return;
    r->reflectionAmount = 0.0f;
    r->refractionAmount = 0.0f;
}

KOR_EXPORT void InitializeRenderElementPostIllumData(RenderState *,
                                                     RenderElementPostIllumData *data) {
    if (!data) return;
    data->matte = 0;
    data->flags = 0;
    ClearOutputs(&data->illum);
    ClearInputs(&data->illum);
    for (Color &c : data->channels) c = Color{0, 0, 0, 0};
    data->shadowColor = data->extraColor1 = data->extraColor2 = Color{0, 0, 0, 0};
    data->channelTable = kIdentityChannels;
    data->materialId = 0;
    data->shadowNoTransparency = 0;
}

KOR_EXPORT zoBoolean kor_CallRenderElementShaders_PostIllum(RenderState *state,
                                                            RenderElementPostIllumData *data) {
    RenderElementContext *ctx = context(state);
    if (!ctx || !ctx->results || !ctx->setup || !data) return 0;
    ElementResults *holder = ctx->results;
    if (holder->busy) return 0;
    holder->busy = 1;
    ctx->written = 1;
    const RenderElementSetup *setup = ctx->setup;
    const Color t = data->illum.layerTransmission;
    for (int k = 0; k < setup->count; ++k) {
        const bool runs = setup->shadowFreePass[k] ? ctx->runShadowFree : ctx->runShadowed;
        if (!runs || !setup->shaders[k]) continue;
        Color e = {0, 0, 0, 0};
        data->replace = 0;
        ElementCallArgs args{0, data};
        zo_call_shader_x(&e, ZO_SHADER_RENDER_ELEMENT, state, setup->shaders[k], &args);
        Color &entry = holder->results[k];
        if (data->replace) {
            entry = e;
        } else {
            entry.r = entry.r * t.r + e.r;
            entry.g = entry.g * t.g + e.g;
            entry.b = entry.b * t.b + e.b;
            entry.a = entry.a + (1 - entry.a) * e.a;
        }
    }
    holder->busy = 0;
    return 1;
}

KOR_EXPORT Color *kor_GetRenderElementResults(RenderState *state, int32_t *count) {
    RenderElementContext *ctx = context(state);
    if (!ctx || !ctx->setup || !ctx->results) return nullptr;
    if (count) *count = ctx->setup->count;
    return ctx->results->results;
}

// ---------------------------------------------------------------------------
// Lighting queries.

namespace {

struct IlluminanceLoop {
    IlluminanceRecord *record;
};

void illuminance_light(RenderState *state, Tag light, LightIllumRecord *info, void *user) {
    IlluminanceRecord *rec = static_cast<IlluminanceLoop *>(user)->record;
    Color color, sum = {0, 0, 0, 0};
    Vector3 dir;
    float dot_nl = 0.0f;
    int samples = 0;
    while (zo_sample_light(&color, &dir, &dot_nl, state, light, &samples)) {
        if (info && info->ambientOnly) {
            if (rec->withAmbientLights) {
                sum.r += color.r;
                sum.g += color.g;
                sum.b += color.b;
            }
            continue;
        }
        if (!rec->withDirectLights) continue;
        if (info && !(info->affectBits & kAffectDiffuse)) continue;
        const float cosine = info && info->filled ? info->diffuseFactor : dot_nl;
        if (dot_nl <= 0.0f) continue;
        sum.r += color.r * cosine;
        sum.g += color.g * cosine;
        sum.b += color.b * cosine;
    }
    const float scale = samples > 1 ? 1.0f / samples : 1.0f;
    rec->sum.r += sum.r * scale;
    rec->sum.g += sum.g * scale;
    rec->sum.b += sum.b * scale;
}

void lit_light(RenderState *state, Tag light, LightIllumRecord *, void *user) {
    Color *sum = static_cast<Color *>(user);
    Color color;
    Vector3 dir;
    float dot_nl = 0.0f;
    int samples = 0;
    while (zo_sample_light(&color, &dir, &dot_nl, state, light, &samples)) {
        if (dot_nl <= 0.0f) continue;
        sum->r += color.r * dot_nl;
        sum->g += color.g * dot_nl;
        sum->b += color.b * dot_nl;
    }
}

float mean_lit(RenderState *state, zoOptions *options) {
    Color sum = {0, 0, 0, 0};
    zoOptions *saved = state->options;
    state->options = options;
    IllumAccumulate(state, lit_light, &sum);
    state->options = saved;
    const float m = (sum.r + sum.g + sum.b) / 3.0f;
    return m < 0.0f ? 0.0f : m;
}

}  // namespace

KOR_EXPORT void ComputeIlluminance(RenderState *state, IlluminanceRecord *record) {
    if (!state || !record) return;
    IlluminanceLoop loop{record};
    IllumAccumulate(state, illuminance_light, &loop);
    record->sum.a = 1.0f;
}

KOR_EXPORT float IllumShadow(RenderState *state) {
    if (!state || !state->options) return 1.0f;
    zoOptions *options = state->options;
    zoOptions a = *options;
    a.unshadowed = 0;
    const float ma = mean_lit(state, &a);
    float mb = ma;
    if (options->shadow) {
        zoOptions b = *options;
        b.shadow = 0;
        b.unshadowed = 1;
        mb = mean_lit(state, &b);
    }
    const float r = mb > 0.005f ? ma / mb : 1.0f;
    return r <= 1.0f ? r : 1.0f / r;
}

// ---------------------------------------------------------------------------
// Helpers shared by the element shaders.

Color kor::elementMapChannel(const RenderElementPostIllumData &data, int id) {
    const int channel = data.channelTable ? data.channelTable[id] : id;
    return channel >= 0 && channel < 32 ? data.channels[channel] : Color{0, 0, 0, 0};
}

Color kor::elementBlend(const RenderElementPostIllumData &d, const ElementBlendSwitches &on) {
    const RenderElementIllum &r = d.illum;
    const float lit = r.litScale;
    Color c = {0, 0, 0, 0};
    auto add = [&c](const Color &x, float s) {
        c.r += x.r * s;
        c.g += x.g * s;
        c.b += x.b * s;
    };
    if (on.diffuse) add(r.diffuse, lit);
    if (on.ambient) add(r.ambient, lit);
    if (on.selfIllum) add(r.selfIllum, lit);
    if (on.specular) add(r.specular, 1.0f);
    if (on.reflection) add(r.reflection, 1.0f);
    if (on.refraction) add(r.refraction, 1.0f);
    if (on.extra1 && (d.flags & kElementExtra1Valid)) add(d.extraColor1, lit);
    if (on.extra2 && (d.flags & kElementExtra2Valid)) add(d.extraColor2, lit);
    return c;
}
