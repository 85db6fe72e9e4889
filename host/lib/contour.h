// The contour pass: per-pixel records from the store shader while the
// frame is sampled, then the contrast shader between neighbouring pixels,
// the materials' contour shaders for the look of each line, and the lines
// drawn anti-aliased over the image or into a frame buffer of their own.
#pragma once

#include <korshaders/host.h>

namespace korhost {

class Session;
struct ThreadContext;

// The camera's contour setting (scene key "contour").
struct ContourSetup {
    bool enabled = true;  // "enable": false turns the pass off
    bool given = false;   // the camera has a "contour" key
    Tag store = 0;        // the store and contrast shaders
    Tag contrast = 0;
    Color color{0, 0, 0, 1};   // prepared line colour
    float width = 1.0f;        // prepared line width
    bool width_image = false;  // widths are fractions of the image width
    int framebuffer = -1;      // the lines go to this colour frame buffer
    bool composite = true;     // the lines go over the colour image
};

// Whether the pass runs: the camera asks for it or a material has a contour
// shader, and it is not turned off.
bool contour_wanted(const Session &s);
// Before sampling: the per-pixel table when the pass runs.
void contour_begin(Session &s);
// At the eye ray's hit of a sample (trace_eye): the store shader records it.
void contour_store(Session &s, ThreadContext *ctx, RenderState *hit, const Color &color);
// After sampling: contrast, contour shaders, lines drawn and composited.
void contour_finish(Session &s);
// Runs contour shader `shader` with the contour call's own argument order.
zoBoolean call_contour_shader(void *out, void *info_near, void *info_far, RenderState *state,
                              Tag shader);

}  // namespace korhost
