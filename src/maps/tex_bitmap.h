// The image-file map: its parameter record, its instance record, the
// bridge to external image sources and the internal steps that tests and
// other maps reach directly.
#ifndef KORSHADERS_MAPS_TEX_BITMAP_H
#define KORSHADERS_MAPS_TEX_BITMAP_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>

#include "kor_base.h"
#include "maps/bmm_filter.h"
#include "maps/kor_stduv.h"
#include "shader.h"

// Parameter record of kor_Bitmap (every field evaluated).
struct BitmapParams {
    float clipU;  // crop / place rectangle: left
    float clipV;  // offset of the rectangle's top edge from the image's top
    float clipW;
    float clipH;
    float jitter;
    zoBoolean jitterOn;
    zoBoolean applyClip;
    zoBoolean placeMode;  // false: crop (stretch), true: place (shrink into the rectangle)
    int32_t filtering;    // 0 pyramidal, 1 summed area, 2 none
    int32_t monoChannel;  // mono mode: 0 full colour read, otherwise alpha
    int32_t rgbChannel;   // colour mode: 0 RGB, otherwise alpha as grey
    int32_t alphaSource;  // 0 image alpha, 1 RGB intensity, 2 none (alpha 1)
    zoBoolean premultipliedAlpha;
    Tag image;
    Tag coords;  // UV generator (required)
    Tag output;  // Output shader, optional
    int32_t startFrame;
    float playbackRate;
    int32_t endCondition;  // 0 loop, 1 ping-pong, 2 hold
    zoBoolean perParticle;
    int32_t gbufferId;
    int32_t frame;
    int32_t sequenceStart;
    int32_t sequenceEnd;
    int32_t frameStep;
    kor::ParamArray<Tag> images;
    zoBoolean externalSource;
    intptr_t externalInterface;  // const BitmapExternalSource *
    intptr_t externalHandle;
    kor::ParamArray<int32_t> externalHandles;
    int32_t externalArg1;
    int32_t externalArg2;
    int32_t externalFlags;
};
static_assert(offsetof(BitmapParams, images) == 100, "bitmap parameter layout");
static_assert(offsetof(BitmapParams, externalInterface) == 120, "bitmap parameter layout");
static_assert(offsetof(BitmapParams, externalHandles) == 136, "bitmap parameter layout");
static_assert(sizeof(BitmapParams) == 160, "bitmap parameter layout");

// Entry table of an external image source. Rows are counted from the top
// of the image, so the source reads at (u, 1 - v).
struct BitmapExternalSource {
    // The pixel nearest (u, row) of image `handle` into *out.
    zoBoolean (*pointRead)(intptr_t handle, Color *out, float u, float rowFromTop, int32_t arg1,
                           int32_t arg2, int32_t flags);
    // The image averaged over the box of widths (du, dv) around (u, row).
    zoBoolean (*filteredRead)(intptr_t handle, Color *out, float u, float rowFromTop, float du,
                              float dv, int32_t arg1, int32_t arg2, int32_t flags);
};

struct BitmapInstance;

// The image one shading call reads: handed to the read callbacks as the
// request's lookup data.
struct BitmapImage {
    kor::ImageFilter *filter;  // host images
    intptr_t handle;           // external source
};

typedef void (*BitmapPointRead)(const BitmapInstance *inst, const BitmapParams *params,
                                const BitmapImage *image, RenderState *state, float u, float v,
                                Color *out);
typedef void (*BitmapFilteredRead)(const BitmapInstance *inst, const BitmapParams *params,
                                   const BitmapImage *image, RenderState *state, float u, float v,
                                   float du, float dv, Color *out);

// Instance record, in the instance's user-pointer slot from init to exit.
struct BitmapInstance {
    int32_t warned;       // the missing generator was reported
    int32_t defaultMode;  // output mode without a mode pointer (colour)
    kor::GammaTable *gamma;
    kor::ImageFilter *filter;    // of `image`
    kor::ImageFilter **filters;  // one per list entry (null for empty entries)
    int32_t filterCount;
    int32_t filtersBuilt;
    BitmapPointRead pointRead;
    BitmapFilteredRead filteredRead;
    const BitmapExternalSource *external;
    intptr_t externalHandle;
    int32_t externalFlags;
    const BitmapParams *plainRecord;  // the record, when nothing is connected to it
};

KOR_EXPORT zoBoolean kor_Bitmap(Color *result, RenderState *state, BitmapParams *params,
                                const int *mode);
KOR_SHADER_INIT(kor_Bitmap);
KOR_SHADER_EXIT(kor_Bitmap);

namespace kor {

// Index into an image list of `count` entries for the evaluated parameters
// `p` at frame `frame` (the loop, ping-pong and hold rules), in 0 .. count-1.
int bitmapListIndex(const BitmapParams &p, int frame, int count);
// The frame of the shaded particle from its record (or p.frame).
int bitmapParticleFrame(RenderState *state, const BitmapParams &p);

// Lower-left corner of the placed rectangle for the tile (tu, tv), with the
// placement jitter when it is on.
void bitmapPlaceCorner(const BitmapParams &p, int tu, int tv, float *left, float *bottom);

// The read callbacks handed to the UV generator.
Color *bitmapPointLookup(Color *out, RenderState *state, UVLookupRequest *request, float u,
                         float v);
Color *bitmapFilteredLookup(Color *out, RenderState *state, UVLookupRequest *request, float u,
                            float v, float du, float dv);
// The same, answering alpha in all four channels.
Color *bitmapMonoPointLookup(Color *out, RenderState *state, UVLookupRequest *request, float u,
                             float v);
Color *bitmapMonoFilteredLookup(Color *out, RenderState *state, UVLookupRequest *request, float u,
                                float v, float du, float dv);

}  // namespace kor

#endif
