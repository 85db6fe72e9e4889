// Filtered image reads: a mip-map pyramid of one image, built on the first
// filtered read and only read afterwards, sampled bilinearly between two
// levels (bicubically at full resolution).
//
// The source is a host image (a database element of type ZO_DB_IMAGE) or a
// pixel callback with a given size. Every pixel read from the source passes
// through the filter's gamma table. Texel positions are 12-bit fixed point:
// texel i of a level spans [i * 4096, (i + 1) * 4096); rows are image rows
// (row 0 is the image's first row).
#ifndef KORSHADERS_MAPS_BMM_FILTER_H
#define KORSHADERS_MAPS_BMM_FILTER_H

#include <korshaders/host.h>
#include <stdint.h>

#include "kor_base.h"

namespace kor {

constexpr int kFilterMaxLevels = 12;

// Reads pixel (x, y) of a callback source into *out.
typedef void (*FilterPixelSource)(Color *out, void *user, int x, int y);

struct ImageFilter;

// Entry points chosen by pixel type when the filter is created.
typedef bool (*FilterBuildFn)(ImageFilter *filter);
typedef void (*FilterSampleFn)(const ImageFilter *filter, int level, int x, int y, Color *out);
typedef void (*FilterSample0Fn)(const ImageFilter *filter, int x, int y, Color *out);
typedef void (*FilterPixelFn)(const ImageFilter *filter, int x, int y, Color *out);
typedef void (*FilterImageFn)(ImageFilter *filter);

enum FilterStorage : int32_t {
    kFilterNone = 0,   // not an image: reads give black with alpha 1
    kFilter8 = 1,      // 8-bit levels, bicubic level 0
    kFilter16 = 2,     // 16-bit levels, bicubic level 0
    kFilterFloat = 3,  // float levels, bilinear level 0
    kFilterHost = 4    // the host image's own pyramid
};

// One host-allocated block (module "bmm_filter"), with its level buffers.
struct ImageFilter {
    // the source
    Tag image;                 // host image, or 0 for a callback source
    const zoImage *hostImage;  // pinned from creation to destruction
    FilterPixelSource source;
    void *sourceData;

    int32_t width, height;
    int32_t pending;  // the pyramid is still to be built (read with acquire)
    int32_t wrap;     // edges wrap around instead of clamping
    zoLock lock;      // guards the one-time build
    int32_t storage;  // FilterStorage
    int32_t levels;   // reduced levels built: levels 1 .. levels exist
    int32_t levelWidth[kFilterMaxLevels + 1];
    int32_t levelHeight[kFilterMaxLevels + 1];
    void *level[kFilterMaxLevels + 1];               // [0] unused: level 0 is the source
    const zoImage *hostLevel[kFilterMaxLevels + 1];  // host pyramid levels

    FilterBuildFn buildPyramid;
    FilterSampleFn sampleLevel;    // bilinear at a level
    FilterSample0Fn sampleLevel0;  // bicubic, or bilinear for float images
    FilterPixelFn getPixel;        // source pixel with gamma applied
    FilterImageFn lockImage, unlockImage;

    GammaTable *gamma;  // owned; null: no correction
};

// Creates the filter of host image `image` (when `source` is null) or of
// the callback source with the given size. `gamma` is the exponent of the
// filter's gamma table. Null when the block cannot be allocated.
ImageFilter *filterCreate(Tag image, float gamma, FilterPixelSource source, void *user, int width,
                          int height);
// Frees the levels, the gamma table, the lock and the block; null is ignored.
void filterDestroy(ImageFilter *filter);
// Edges wrap around (true) or clamp (false, the default). Set before the
// first read.
void filterSetWrap(ImageFilter *filter, bool wrap);

// The pyramid, built once under the filter's lock by whichever thread gets
// there first; afterwards no lock is taken.
void filterEnsurePyramid(ImageFilter *filter);

// The image averaged over the box of widths (du, dv) around (u, v), all in
// image units (the image spans [0, 1) on both axes). Returns `out`.
Color *filterRead(ImageFilter *filter, float u, float v, float du, float dv, Color *out);
// The pixel nearest (u, v); a texture that is not an image is looked up by
// the host. Gamma applied.
void filterPointRead(const ImageFilter *filter, RenderState *state, float u, float v, Color *out);

// Number of reduced levels of a width x height image (0 for an empty image).
int filterLevelCount(int width, int height);

}  // namespace kor

#endif
