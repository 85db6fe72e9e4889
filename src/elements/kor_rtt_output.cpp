// Finishing the baked element images: element buffers are rendered over the
// coverage of the colour image, so where the baked surface only partly
// covers a pixel the element pixel is un-premultiplied by that coverage, and
// what the surface leaves uncovered is filled with the element's background.
#include <korshaders/host.h>

#include "shader.h"

namespace {

struct RttOutputParams {
    kor::ParamArray<int32_t> frameBuffers;  // element buffers to finish
    kor::ParamArray<Color> backgrounds;     // per buffer, where the surface is missing
};

constexpr float kCovered = 0.99999f;
constexpr float kEmpty = 1e-5f;

void finish(zoImage *coverage, zoImage *element, const Color &background, int width, int height) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Color base = {0, 0, 0, 0};
            zo_img_get_color(coverage, &base, x, y);
            const float a = base.a;
            if (a >= kCovered) continue;
            Color e = {0, 0, 0, 0};
            zo_img_get_color(element, &e, x, y);
            if (a > kEmpty) {
                e.r /= a;
                e.g /= a;
                e.b /= a;
                e.a /= a;
            }
            const float open = 1.0f - e.a;
            e.r += open * background.r;
            e.g += open * background.g;
            e.b += open * background.b;
            zo_img_put_color(element, &e, x, y);
        }
    }
}

}  // namespace

KOR_EXPORT zoBoolean kor_rtt_output(void *, RenderState *state, RttOutputParams *params) {
    if (!state || !params) return 0;
    zoImage *coverage = zo_output_image_open(state, 0);
    if (!coverage) return 0;
    const int width = zo_img_get_width(coverage), height = zo_img_get_height(coverage);
    const int start = kor::eval(state, &params->frameBuffers.start);
    const int count = kor::eval(state, &params->frameBuffers.count);
    const int bg_start = kor::eval(state, &params->backgrounds.start);
    const int bg_count = kor::eval(state, &params->backgrounds.count);
    for (int k = 0; k < count; ++k) {
        const int buffer = kor::eval(state, &params->frameBuffers[start + k]);
        // the colour image itself may be listed: it is finished over its own coverage
        zoImage *element = buffer == 0 ? coverage : zo_output_image_open(state, buffer);
        if (!element) continue;
        if (zo_img_get_width(element) == width && zo_img_get_height(element) == height) {
            const Color background =
                k < bg_count ? kor::eval(state, &params->backgrounds[bg_start + k]) : kor::kBlack;
            finish(coverage, element, background, width, height);
        }
        if (buffer != 0) zo_output_image_close(state, buffer);
    }
    zo_output_image_close(state, 0);
    return 1;
}

// The output shader keeps no data of its own between frames.
KOR_SHADER_INIT(kor_rtt_output) {
    (void)state;
    (void)params;
    if (request) *request = 0;
}

KOR_SHADER_EXIT(kor_rtt_output) {
    (void)state;
    (void)params;
}
