// Display gamma for looked-up colours: a per-instance lookup table built in
// a shader's _init for one exponent, applied to colours while rendering and
// freed in the shader's _exit. A null table applies no correction.
#ifndef KORSHADERS_FRAME_KOR_BASE_H
#define KORSHADERS_FRAME_KOR_BASE_H

#include <korshaders/host.h>

namespace kor {

constexpr int kGammaEntries = 8192;

// One host-allocated block (module "kor_base").
struct GammaTable {
    double scale;                  // always kGammaEntries - 1
    float entries[kGammaEntries];  // entry i = (i / 8191) ^ exponent
};

// The table for `exponent`, or null (allocating nothing) when the exponent
// is exactly 1.
GammaTable *gammaBuild(float exponent);
// Replaces r, g and b by entry trunc(channel * scale + 0.5), the index
// clamped to the table; alpha is kept. Does nothing for a null table.
void gammaApply(Color *color, const GammaTable *table);
// Releases the table through the host allocator; null is ignored.
void gammaFree(GammaTable *table);

}  // namespace kor

#endif
