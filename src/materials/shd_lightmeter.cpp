// Lighting analysis: a material that lets rays pass unchanged, and a light
// map shader that measures the light arriving at each pixel's surface
// point and writes it into an image.
#include <math.h>

#include "illum_models.h"
#include "kor_rendelem.h"
#include "kor_toneop.h"

namespace kor {
namespace {

struct LightMeterParams {
    Tag image;
    int32_t samples;  // evaluated; below 1 means 1
    float scale;
};

// Per-instance block of the light map shader.
struct LightMeterBlock {
    zoImage *image;
    void *handle;  // edit handle of zo_lightmap_edit
};

const char kModule[] = "shd_lightmeter";

void endEdit(LightMeterBlock *block) {
    if (block->handle) zo_lightmap_edit_end(block->handle);
    block->handle = nullptr;
    block->image = nullptr;
}

LightMeterBlock *blockOf(RenderState *state) {
    void **slot = user_slot(state);
    return slot ? static_cast<LightMeterBlock *>(*slot) : nullptr;
}

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_LightMeterMaterial(Color *result, RenderState *state, void *) {
    if (!result || !state) return 0;
    return zo_trace_continue(result, state);
}

KOR_SHADER_INIT(kor_LightMeterLightMap) {
    using namespace kor;
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = user_slot(state);
    if (!slot) return;
    auto *block = static_cast<LightMeterBlock *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(LightMeterBlock)));
    if (!block) return;
    block->image = nullptr;
    block->handle = nullptr;
    *slot = block;
    const Tag image = static_cast<const LightMeterParams *>(params)->image;
    if (!image) return;
    block->image = zo_lightmap_edit(&block->handle, image);
    if (!block->image) return;
    const Color clear = kBlack;
    const int width = zo_img_get_width(block->image);
    const int height = zo_img_get_height(block->image);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) zo_img_put_color(block->image, &clear, x, y);
}

KOR_EXPORT zoBoolean kor_LightMeterLightMap(Color *result, RenderState *state, void *params) {
    using namespace kor;
    (void)result;
    if (!state || !params) return 0;
    const auto *p = static_cast<const LightMeterParams *>(params);
    LightMeterBlock *block = blockOf(state);
    if (state->type == ZO_RAY_LIGHTMAP_END) {
        if (block) endEdit(block);
        return 1;
    }
    if (state->type != ZO_RAY_LIGHTMAP || !block || !block->image) return 1;
    const float fx = floorf(state->raster_x), fy = floorf(state->raster_y);
    if (fx < 0.0f || fy < 0.0f) return 1;
    const int x = static_cast<int>(fx), y = static_cast<int>(fy);
    if (x >= zo_img_get_width(block->image) || y >= zo_img_get_height(block->image)) return 1;
    Color pixel = kBlack;
    zo_img_get_color(block->image, &pixel, x, y);
    if (pixel.a > 0.0f) return 1;

    int samples = eval(state, &p->samples);
    if (samples < 1) samples = 1;
    Color sum = kBlack;
    for (int i = 0; i < samples; ++i) {
        IlluminanceRecord measured{kBlack, 1, 1};  // ambient and direct lights
        ComputeIlluminance(state, &measured);
        addRGB(sum, measured.sum);
    }
    scaleRGB(sum, 1.0f / static_cast<float>(samples));
    Color radiance = kBlack;
    if (!zo_compute_avg_radiance(&radiance, state, 0, nullptr)) radiance = kBlack;
    const float illum = toneLuminance(sum) * p->scale;
    const float rad = toneLuminance(radiance) * p->scale;
    const Color out = {illum + rad, illum, rad, 1.0f};
    zo_img_put_color(block->image, &out, x, y);
    return 1;
}

KOR_SHADER_EXIT(kor_LightMeterLightMap) {
    using namespace kor;
    if (!params) return;
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    auto *block = static_cast<LightMeterBlock *>(*slot);
    endEdit(block);
    zo_mem_int_release(kModule, __LINE__, block);
    *slot = nullptr;
}
