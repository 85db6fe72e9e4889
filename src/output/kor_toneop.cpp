// Exposure controls as lens shaders: the logarithmic and the pseudo-colour
// operator. Each traces the eye ray itself, publishes its mapping under
// "KEY_7" for the shaders down the ray tree, and maps what comes back.
#include "kor_toneop.h"

#include <float.h>
#include <math.h>

#include "shader.h"

namespace {

constexpr const char *kModule = "kor_toneop";
constexpr float kPi = 3.14159265358979f;

struct LogParams {
    zoBoolean active;
    float physicalScale;
    zoBoolean colorCorrection;
    zoBoolean desaturateLowLevels;
    Color whiteColor;
    zoBoolean processBackground;
    float brightness;
    float contrast;
    float midTones;
    zoBoolean daylightMode;
    zoBoolean daylightStrong;
    zoBoolean useLuminance;
};

struct PseudoParams {
    float minimum;
    float maximum;
    int32_t unitsMode;
    int32_t displayMode;  // 0 colour bands, otherwise grey
    float scale;
    int32_t unused;
    zoBoolean linear;
    zoBoolean footCandles;
    zoBoolean active;
    zoBoolean processBackground;
    int32_t bandCount;
};

template <typename T>
T *instance_data(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<T *>(*slot) : nullptr;
}

Color hsv_to_rgb(float h, float s, float v) {
    const float h6 = h * 6.0f;
    const int sector = static_cast<int>(floorf(h6)) % 6;
    const float f = h6 - floorf(h6);
    const float p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    switch (sector) {
        case 0: return {v, t, p, 1};
        case 1: return {q, v, p, 1};
        case 2: return {p, v, t, 1};
        case 3: return {p, q, v, 1};
        case 4: return {t, p, v, 1};
        default: return {v, p, q, 1};
    }
}

// The lens path shared by both operators. `ctx_active` false: a plain eye
// ray. An eye ray whose sky reported high dynamic range is always mapped;
// `sky_counts`: so is a colour handed in on an environment ray.
zoBoolean run_lens(Color *result, RenderState *state, bool active, bool process_background,
                   ToneMapFunction forward, ToneMapFunction inverse, void *context, bool sky_counts,
                   bool remove_on_every_path) {
    const int q = kor::call_type(state);
    if (!active) {
        if (q == 0) return zo_trace_eye(result, state, &state->org, &state->dir);
        return 1;
    }
    if (q == 0) {
        const ToneOperatorRecord record{process_background ? 1 : 0, forward, inverse, context};
        zo_shaderstate_set(state, KOR_KEY_TONE_OPERATOR, &record, sizeof record,
                           ZO_SHADERSTATE_RAY_TREE);
        const int32_t zero = 0;
        zo_shaderstate_set(state, KOR_KEY_SKY_IS_HDR, &zero, sizeof zero, ZO_SHADERSTATE_RAY_TREE);
        // a miss is a ray that found no surface, whatever the environment
        // answered for the background
        zo_trace_eye(result, state, &state->org, &state->dir);
        const bool hit = state->dist > 0.0;
        int32_t sky_hdr = 0;
        if (auto *flag =
                static_cast<int32_t *>(zo_shaderstate_get(state, KOR_KEY_SKY_IS_HDR, nullptr))) {
            sky_hdr = *flag;
            *flag = 0;
        }
        const bool map = process_background || hit || sky_hdr;
        if (remove_on_every_path || map)
            zo_shaderstate_set(state, KOR_KEY_TONE_OPERATOR, nullptr, 0, ZO_SHADERSTATE_RAY_TREE);
        if (!map) return 1;
    } else if (state->type == ZO_RAY_ENVIRONMENT) {
        int32_t sky_hdr = 0;
        if (sky_counts) {
            if (auto *flag =
                    static_cast<int32_t *>(zo_shaderstate_get(state, KOR_KEY_SKY_IS_HDR, nullptr)))
                sky_hdr = *flag;
        }
        if (!process_background && !sky_hdr) return 1;
    }
    forward(result, state, context);
    return 1;
}

}  // namespace

float kor::toneLuminance(const Color &c) {
    return 0.263f * fabsf(c.r) + 0.655f * fabsf(c.g) + 0.082f * fabsf(c.b);
}

// Worked in double: a channel times the physical factor can pass the float
// range long before the curve (which saturates at a / b) brings it back.
void kor::logToneForward(Color *x, RenderState *, void *context) {
    const auto *k = static_cast<const LogToneContext *>(context);
    auto scaled = [k](float v, int i) {
        double s = static_cast<double>(fminf(fmaxf(v, -FLT_MAX), FLT_MAX)) * k->physicalFactor;
        if (k->colorCorrection) s *= k->whiteBalance[i];
        return s;
    };
    double r = scaled(x->r, 0), g = scaled(x->g, 1), b = scaled(x->b, 2);
    const double L = 0.263 * fabs(r) + 0.655 * fabs(g) + 0.082 * fabs(b);
    if (k->desaturate && L < 5.62) {
        const double G = 0.062 * r + 0.608 * g + 0.33 * b;
        if (L > 0.00562) {
            const double t = (L - 0.00562) / 5.61438;
            r = t * r + (1 - t) * G;
            g = t * g + (1 - t) * G;
            b = t * b + (1 - t) * G;
        } else {
            r = g = b = G;
        }
    }
    if (k->perChannel == 0.0f) {
        if (L <= 0.0) {
            x->r = x->g = x->b = 0.0f;
            return;
        }
        const double f = k->a / (k->c + k->b * L);
        x->r = static_cast<float>(r * f);
        x->g = static_cast<float>(g * f);
        x->b = static_cast<float>(b * f);
        return;
    }
    auto map = [k](double v) {
        return v > 0.0 ? static_cast<float>(v * k->a / (k->b * v + k->c)) : 0.0f;
    };
    x->r = map(r);
    x->g = map(g);
    x->b = map(b);
}

void kor::logToneInverse(Color *x, RenderState *, void *context) {
    const auto *k = static_cast<const LogToneContext *>(context);
    if (x->r <= 0.0f && x->g <= 0.0f && x->b <= 0.0f) {
        x->r = x->g = x->b = 0.0f;
        return;
    }
    if (k->perChannel == 0.0f) {
        float d = k->a - toneLuminance(*x) * k->b;
        if (d < 1e-7f) d = 1e-7f;
        const float f = k->c / d;
        x->r *= f;
        x->g *= f;
        x->b *= f;
    } else {
        auto unmap = [k](float v) {
            float d = k->a - v * k->b;
            if (d < 1e-7f) d = 1e-7f;
            return k->c * v / d;
        };
        x->r = unmap(x->r);
        x->g = unmap(x->g);
        x->b = unmap(x->b);
    }
    if (k->colorCorrection) {
        x->r /= k->whiteBalance[0];
        x->g /= k->whiteBalance[1];
        x->b /= k->whiteBalance[2];
    }
    x->r /= k->physicalFactor;
    x->g /= k->physicalFactor;
    x->b /= k->physicalFactor;
}

int kor::pseudoBand(const PseudoLevelTable &t, float L, bool linear) {
    if (L < t.minimum) L = t.minimum;
    if (L > t.maximum) L = t.maximum;
    const float f = linear ? (L - t.minimum) * t.linearScale
                           : log10f((L + 1.0f) * t.logPreScale) * t.logPostScale;
    int index = static_cast<int>(f);  // toward zero
    if (index < 0) index = 0;
    if (index > t.bandCount - 1) index = t.bandCount - 1;
    return index;
}

void kor::pseudoToneForward(Color *x, RenderState *, void *context) {
    const auto *k = static_cast<const PseudoToneContext *>(context);
    if (!k->table.colors || k->table.bandCount < 1) return;
    float L = toneLuminance(*x) * k->scale;
    if (k->unitsMode == 1) L /= kPi;
    *x = k->table.colors[pseudoBand(k->table, L, k->linear != 0)];
}

// ---------------------------------------------------------------------------

KOR_EXPORT zoBoolean kor_ToneOpLog(Color *result, RenderState *state, LogParams *params) {
    if (!result || !state || !params) return 0;
    LogToneContext *ctx = instance_data<LogToneContext>(state);
    const bool active = ctx ? ctx->active != 0 : kor::eval(state, &params->active) != 0;
    if (!ctx && active) return 0;
    return run_lens(result, state, active, ctx && ctx->processBackground, kor::logToneForward,
                    kor::logToneInverse, ctx, true, true);
}

KOR_SHADER_INIT(kor_ToneOpLog) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    auto *p = static_cast<LogParams *>(params);
    auto *k = static_cast<LogToneContext *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(LogToneContext)));
    if (!k) return;
    const float brightness = kor::eval(state, &p->brightness);
    const float B = brightness < 0.0f ? 0.0f : 0.7f * brightness;
    const bool strong = kor::eval(state, &p->daylightMode) && kor::eval(state, &p->daylightStrong);
    const float e = strong ? 4.0f : 2.0f;
    const float kk = 2.0f * kor::eval(state, &p->contrast) * 0.02f;
    const float s = 5.5f * powf(10.0f, B / 20.0f - 3.0f - e);
    k->a = (kk + 1.0f) * s;
    k->b = kPi * s;
    k->c = kk / powf(2.0f, kor::eval(state, &p->midTones) - 1.0f);
    k->physicalFactor = kor::eval(state, &p->physicalScale) / kPi;
    const Color white = kor::eval(state, &p->whiteColor);
    k->whiteBalance[0] = white.r;
    k->whiteBalance[1] = white.g;
    k->whiteBalance[2] = white.b;
    k->whiteBalance[3] = white.a;
    k->colorCorrection = kor::eval(state, &p->colorCorrection) ? 1 : 0;
    if (k->colorCorrection) {
        const float L = kor::toneLuminance(white);
        k->whiteBalance[0] = L / fmaxf(white.r, 0.001f);
        k->whiteBalance[1] = L / fmaxf(white.g, 0.001f);
        k->whiteBalance[2] = L / fmaxf(white.b, 0.001f);
    }
    k->desaturate = kor::eval(state, &p->desaturateLowLevels) ? 1 : 0;
    k->active = kor::eval(state, &p->active) ? 1 : 0;
    k->processBackground = kor::eval(state, &p->processBackground) ? 1 : 0;
    k->perChannel = kor::eval(state, &p->useLuminance) ? 0.0f : 1.0f;
    *slot = k;
}

KOR_SHADER_EXIT(kor_ToneOpLog) {
    if (!params) return;
    if (void **slot = kor::user_slot(state)) {
        if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
        *slot = nullptr;
    }
}

KOR_EXPORT zoBoolean kor_ToneOpPseudo(Color *result, RenderState *state, PseudoParams *params) {
    if (!result || !state || !params) return 0;
    PseudoToneContext *ctx = instance_data<PseudoToneContext>(state);
    const bool active = ctx ? ctx->active != 0 : kor::eval(state, &params->active) != 0;
    if (!ctx && active) return 0;
    return run_lens(result, state, active, ctx && ctx->processBackground, kor::pseudoToneForward,
                    nullptr, ctx, false, false);
}

KOR_SHADER_INIT(kor_ToneOpPseudo) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    auto *p = static_cast<PseudoParams *>(params);
    int bands = kor::eval(state, &p->bandCount);
    if (bands <= 0) bands = 100;
    auto *k = static_cast<PseudoToneContext *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(PseudoToneContext)));
    if (!k) return;
    k->table.colors =
        static_cast<Color *>(zo_mem_int_allocate(kModule, __LINE__, bands * sizeof(Color)));
    if (!k->table.colors) {
        zo_mem_int_release(kModule, __LINE__, k);
        return;
    }
    const bool grey = kor::eval(state, &p->displayMode) != 0;
    for (int i = 0; i < bands; ++i) {
        if (grey) {
            const float level = roundf(i * 256.0f / bands + 0.5f) / 256.0f;
            k->table.colors[i] = {level, level, level, 1};
        } else {
            const float h = (170.0f - 170.0f * i / bands) / 256.0f;
            k->table.colors[i] = hsv_to_rgb(h, 0.99609375f, 0.99609375f);
        }
    }
    float lo = kor::eval(state, &p->minimum), hi = kor::eval(state, &p->maximum);
    if (kor::eval(state, &p->footCandles)) {
        lo *= 10.76391f;
        hi *= 10.76391f;
    }
    k->table.bandCount = bands;
    k->table.minimum = lo;
    k->table.maximum = hi;
    k->table.linearScale = hi > lo ? bands / (hi - lo) : float(bands);
    k->table.logPreScale = 1.0f / (lo + 1.0f);
    k->table.logPostScale = hi > lo ? bands / log10f((hi + 1.0f) / (lo + 1.0f)) : float(bands);
    k->scale = kor::eval(state, &p->scale);
    k->unitsMode = kor::eval(state, &p->unitsMode);
    k->linear = kor::eval(state, &p->linear) ? 1 : 0;
    k->active = kor::eval(state, &p->active) ? 1 : 0;
    k->processBackground = kor::eval(state, &p->processBackground) ? 1 : 0;
    *slot = k;
}

KOR_SHADER_EXIT(kor_ToneOpPseudo) {
    if (!params) return;
    if (void **slot = kor::user_slot(state)) {
        if (auto *k = static_cast<PseudoToneContext *>(*slot)) {
            zo_mem_int_release(kModule, __LINE__, k->table.colors);
            zo_mem_int_release(kModule, __LINE__, k);
        }
        *slot = nullptr;
    }
}

// ---------------------------------------------------------------------------

KOR_EXPORT zoBoolean ToneOpScaledToRGB(RenderState *state, Color *color, int32_t requireFlag) {
    auto *record = static_cast<const ToneOperatorRecord *>(
        zo_shaderstate_get(state, KOR_KEY_TONE_OPERATOR, nullptr));
    if (!record || !record->forward || !color) return 0;
    if (requireFlag && !record->processBackground) return 0;
    record->forward(color, state, record->context);
    return 1;
}

KOR_EXPORT zoBoolean ApplyInverseToneOperator(RenderState *state, Color *color) {
    auto *record = static_cast<const ToneOperatorRecord *>(
        zo_shaderstate_get(state, KOR_KEY_TONE_OPERATOR, nullptr));
    if (!record || !record->inverse || !color) return 0;
    record->inverse(color, state, record->context);
    return 1;
}
