// The host functions for frame buffers and images: the sample's frame
// buffer values, and texture images and their texels.
#include <cmath>
#include <cstring>

#include "api.h"
#include "ies.h"
#include "photon.h"
#include "session.h"
#include "sky.h"

using namespace korhost;
using namespace korhost::api;

// ---------------------------------------------------------------------------
// Frame buffers and images.

namespace {
int fb_bytes(int type) {
    switch (type) {
        case ZO_FB_COLOR: return 16;
        case ZO_FB_VECTOR: return 12;
        default: return 4;
    }
}

// The declared frame buffer `buffer` of the session, for a render thread.
const FrameBuffer *declared_buffer(const ThreadContext *ctx, int buffer) {
    const Session *s = session();
    if (!s || !ctx || buffer < 0 || buffer >= static_cast<int>(s->framebuffers.size()))
        return nullptr;
    const FrameBuffer &fb = s->framebuffers[buffer];
    return fb.type < 0 ? nullptr : &fb;
}
}  // namespace

HOST_API zoBoolean zo_fb_put(RenderState *, int buffer, const void *value) {
    ThreadContext *ctx = thread_context();
    const FrameBuffer *fb = declared_buffer(ctx, buffer);
    if (!fb || !value) return 0;
    memcpy(ctx->fb_value[buffer], value, fb_bytes(fb->type));
    ctx->fb_written[buffer] = true;
    return 1;
}

HOST_API zoBoolean zo_fb_get(RenderState *, int buffer, void *value) {
    ThreadContext *ctx = thread_context();
    const FrameBuffer *fb = declared_buffer(ctx, buffer);
    if (!fb || !value) return 0;
    if (!ctx->fb_written[buffer]) {
        memset(value, 0, fb_bytes(fb->type));
        return 0;
    }
    memcpy(value, ctx->fb_value[buffer], fb_bytes(fb->type));
    return 1;
}

HOST_API zoImage *zo_output_image_open(RenderState *, int buffer) {
    Session *s = session();
    if (!s || s->color.empty()) return nullptr;
    if (buffer == 0) return &s->color_image;
    if (buffer >= ZO_OUTPUT_USER_FB(0)) buffer -= ZO_OUTPUT_USER_FB(0);
    if (buffer < 0 || buffer >= static_cast<int>(s->framebuffers.size())) return nullptr;
    FrameBuffer &fb = s->framebuffers[buffer];
    return fb.type < 0 ? nullptr : &fb.image;
}

HOST_API void zo_output_image_close(RenderState *, int) {}

HOST_API int zo_img_get_width(const zoImage *image) {
    return image ? image->width : 0;
}
HOST_API int zo_img_get_height(const zoImage *image) {
    return image ? image->height : 0;
}

namespace {
// Components of pixel (x, y) as floats; false outside the image.
bool read_pixel(const zoImage *img, int x, int y, float *out) {
    if (!img || !img->data || x < 0 || y < 0 || x >= img->width || y >= img->height) return false;
    const size_t at = (static_cast<size_t>(y) * img->width + x) * img->comp;
    for (int c = 0; c < img->comp && c < 4; ++c) {
        if (img->type == ZO_IMG_TYPE_TAG)
            out[c] = static_cast<float>(static_cast<const int32_t *>(img->data)[at + c]);
        else if (img->bits == 32)
            out[c] = static_cast<const float *>(img->data)[at + c];
        else if (img->bits == 16)
            out[c] = static_cast<const uint16_t *>(img->data)[at + c] / 65535.0f;
        else
            out[c] = static_cast<const uint8_t *>(img->data)[at + c] / 255.0f;
    }
    return true;
}

// A pixel's components as a colour: one component is grey (alpha 1), two
// are grey and alpha, three are RGB (alpha 1).
void as_colour(const zoImage *img, float *v) {
    if (img->comp == 1) {
        v[1] = v[2] = v[0];
        v[3] = 1;
    } else if (img->comp == 2) {
        v[3] = v[1];
        v[1] = v[2] = v[0];
    } else if (img->comp == 3) {
        v[3] = 1;
    }
}

bool write_pixel(zoImage *img, int x, int y, const float *in, int n) {
    if (!img || !img->data || x < 0 || y < 0 || x >= img->width || y >= img->height) return false;
    const size_t at = (static_cast<size_t>(y) * img->width + x) * img->comp;
    for (int c = 0; c < img->comp && c < n; ++c) {
        float v = in[c];
        if (img->type == ZO_IMG_TYPE_TAG)
            static_cast<int32_t *>(img->data)[at + c] = static_cast<int32_t>(v);
        else if (img->bits == 32)
            static_cast<float *>(img->data)[at + c] = v;
        else if (img->bits == 16)
            static_cast<uint16_t *>(img->data)[at + c] =
                static_cast<uint16_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 65535.0f));
        else
            static_cast<uint8_t *>(img->data)[at + c] =
                static_cast<uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
    }
    return true;
}
}  // namespace

HOST_API void zo_img_get_color(const zoImage *image, Color *color, int x, int y) {
    if (!color) return;
    float v[4] = {0, 0, 0, 1};
    if (!read_pixel(image, x, y, v)) {
        *color = Color{0, 0, 0, 0};
        return;
    }
    as_colour(image, v);
    *color = Color{v[0], v[1], v[2], v[3]};
}

HOST_API void zo_img_put_color(zoImage *image, const Color *color, int x, int y) {
    if (!color) return;
    float v[4] = {color->r, color->g, color->b, color->a};
    write_pixel(image, x, y, v, 4);
}

HOST_API void zo_img_get_scalar(const zoImage *image, float *value, int x, int y) {
    if (!value) return;
    float v[4] = {0, 0, 0, 0};
    read_pixel(image, x, y, v);
    *value = v[0];
}

HOST_API void zo_img_put_scalar(zoImage *image, float value, int x, int y) {
    write_pixel(image, x, y, &value, 1);
}

HOST_API void zo_img_get_vector(const zoImage *image, Vector2 *value, int x, int y) {
    if (!value) return;
    float v[4] = {0, 0, 0, 0};
    read_pixel(image, x, y, v);
    *value = Vector2{v[0], v[1]};
}
