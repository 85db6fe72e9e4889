// Video legalisation of the finished frame: the colour legaliser (NTSC or
// PAL limits on chroma and composite level) and the super-black lift.
#include "kor_videocc.h"

#include <math.h>
#include <string.h>

#include "shader.h"

namespace {

constexpr const char *kModule = "kor_videocc";
constexpr double kScale = 8192.0;

const double kNtscMatrix[9] = {0.2989,  0.5866, 0.1144,  0.5959, -0.2741,
                               -0.3218, 0.2113, -0.5227, 0.3113};
const double kPalMatrix[9] = {0.2989, 0.5866, 0.1144,  -0.1473, -0.2891,
                              0.4364, 0.6149, -0.5145, -0.1004};

// Truncation toward zero that stays defined for NaN and huge values.
inline int64_t truncate(double v) {
    if (!(v == v)) return 0;
    if (v > 4.0e15) return int64_t(4.0e15);
    if (v < -4.0e15) return -int64_t(4.0e15);
    return static_cast<int64_t>(v);
}

// x^e for the gamma curves; a negative or NaN base has no power and counts
// as black.
inline double power(double x, double e) {
    return x > 0.0 ? pow(x, e) : 0.0;
}

inline double row(const double *m, int r, double a, double b, double c) {
    return m[3 * r] * a + m[3 * r + 1] * b + m[3 * r + 2] * c;
}

}  // namespace

void kor::videoStateSetup(VideoCorrectState *s, int standard, int method) {
    memset(s, 0, sizeof *s);
    const bool pal = standard == KOR_VIDEO_PAL;
    s->setup = pal ? 0.0 : 7.5;
    s->gamma = pal ? 2.8 : 2.2;
    s->inverseGamma = 1.0 / s->gamma;
    s->chromaLimit = 50.0 / (100.0 - s->setup);
    s->compositeLimit = (110.0 - s->setup) / (100.0 - s->setup);
    const int64_t chroma = static_cast<int64_t>(s->chromaLimit * kScale + 0.5);
    s->chromaLimitSquaredScaled = chroma * chroma;
    s->compositeLimitScaled = static_cast<int64_t>(s->compositeLimit * kScale + 0.5);
    memcpy(s->matrix, pal ? kPalMatrix : kNtscMatrix, sizeof s->matrix);
    s->method = method;
    s->lastModified = 0;
    s->lastColor = Color{-1.0f, -1.0f, -1.0f, -1.0f};
}

bool kor::videoLegalise(VideoCorrectState *s, Color *c) {
    if (c->r == s->lastColor.r && c->g == s->lastColor.g && c->b == s->lastColor.b) {
        if (!s->lastModified) return false;
        *c = s->lastColor;
        return true;
    }
    const double *m = s->matrix;
    const double r = power(c->r, s->inverseGamma);
    const double g = power(c->g, s->inverseGamma);
    const double b = power(c->b, s->inverseGamma);
    const int64_t Y = truncate(kScale * row(m, 0, r, g, b));
    const int64_t C1 = truncate(kScale * row(m, 1, r, g, b));
    const int64_t C2 = truncate(kScale * row(m, 2, r, g, b));
    const int64_t chroma2 = C1 * C1 + C2 * C2;
    const int64_t headroom = s->compositeLimitScaled - Y;
    if (chroma2 <= s->chromaLimitSquaredScaled && chroma2 <= headroom * headroom) {
        s->lastColor = *c;
        s->lastModified = 0;
        return false;
    }
    if (s->method == KOR_VIDEO_BLACK) {
        c->r = c->g = c->b = 0.0f;
    } else {
        const double y = Y / kScale;
        const double u = C1 / kScale, v = C2 / kScale;
        const double chroma = sqrt(u * u + v * v);
        if (s->method == KOR_VIDEO_SCALE) {
            const double k = fmin(s->chromaLimit / chroma, s->compositeLimit / (chroma + y));
            const double f = power(k, s->gamma);
            c->r = static_cast<float>(c->r * f);
            c->g = static_cast<float>(c->g * f);
            c->b = static_cast<float>(c->b * f);
        } else {
            const double k = fmin(s->chromaLimit / chroma, (s->compositeLimit - y) / chroma);
            const double L = row(m, 0, r, g, b);
            c->r = static_cast<float>(power(L + (r - L) * k, s->gamma));
            c->g = static_cast<float>(power(L + (g - L) * k, s->gamma));
            c->b = static_cast<float>(power(L + (b - L) * k, s->gamma));
        }
    }
    s->lastColor = *c;
    s->lastModified = 1;
    return true;
}

// ---------------------------------------------------------------------------

KOR_EXPORT zoBoolean kor_base_VideoColorCorrect(void *, RenderState *state,
                                                VideoColorCorrectParams *params) {
    void **slot = kor::user_slot(state);
    auto *s = slot ? static_cast<VideoCorrectState *>(*slot) : nullptr;
    if (!s || !params) return 0;
    s->method = kor::eval(state, &params->method);
    zoImage *image = zo_output_image_open(state, 0);
    if (!image) return 0;
    const int width = zo_img_get_width(image), height = zo_img_get_height(image);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = width - 1; x >= 0; --x) {
            Color c{0, 0, 0, 0};
            zo_img_get_color(image, &c, x, y);
            if (kor::videoLegalise(s, &c)) zo_img_put_color(image, &c, x, y);
        }
    }
    zo_output_image_close(state, 0);
    return 1;
}

KOR_SHADER_INIT(kor_base_VideoColorCorrect) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
    auto *p = static_cast<VideoColorCorrectParams *>(params);
    const int standard = kor::eval(state, &p->standard);
    if (standard != KOR_VIDEO_NTSC && standard != KOR_VIDEO_PAL)
        zo_warning("\"%s\": unknown video standard %d, using NTSC", kor::shader_name(state),
                   standard);
    auto *s = static_cast<VideoCorrectState *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(VideoCorrectState)));
    if (!s) return;
    kor::videoStateSetup(s, standard, kor::eval(state, &p->method));
    *slot = s;
}

KOR_SHADER_EXIT(kor_base_VideoColorCorrect) {
    if (!params) return;
    if (void **slot = kor::user_slot(state)) {
        if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
        *slot = nullptr;
    }
}

KOR_EXPORT zoBoolean kor_base_VideoSuperBlack(void *, RenderState *state,
                                              VideoSuperBlackParams *params) {
    if (!params) return 0;
    const float t = kor::eval(state, &params->threshold) / 255.0f;
    zoImage *image = zo_output_image_open(state, 0);
    if (!image) return 0;
    const int width = zo_img_get_width(image), height = zo_img_get_height(image);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Color c{0, 0, 0, 0};
            zo_img_get_color(image, &c, x, y);
            if (!(c.a > 0.0f)) continue;
            if (c.r < t) c.r = t;
            if (c.g < t) c.g = t;
            if (c.b < t) c.b = t;
            zo_img_put_color(image, &c, x, y);
        }
    }
    zo_output_image_close(state, 0);
    return 1;
}
