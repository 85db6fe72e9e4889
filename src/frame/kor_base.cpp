// Display gamma lookup table (see kor_base.h).
#include "kor_base.h"

#include <cmath>

namespace kor {

namespace {

constexpr const char *kModule = "kor_base";

inline float lookup(const GammaTable *table, float channel) {
    const double position = channel * table->scale + 0.5;
    // channels outside [0, 1] (and NaN) use the nearest end of the table
    if (!(position >= 1.0)) return table->entries[0];
    if (position >= kGammaEntries) return table->entries[kGammaEntries - 1];
    return table->entries[static_cast<int>(position)];
}

}  // namespace

GammaTable *gammaBuild(float exponent) {
    if (exponent == 1.0f) return nullptr;
    auto *table =
        static_cast<GammaTable *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(GammaTable)));
    if (!table) return nullptr;
    table->scale = kGammaEntries - 1;
    for (int i = kGammaEntries - 1; i >= 0; --i)
        table->entries[i] = static_cast<float>(std::pow(i / table->scale, double(exponent)));
    return table;
}

void gammaApply(Color *color, const GammaTable *table) {
    if (!table || !color) return;
    color->r = lookup(table, color->r);
    color->g = lookup(table, color->g);
    color->b = lookup(table, color->b);
}

void gammaFree(GammaTable *table) {
    if (table) zo_mem_int_release(kModule, __LINE__, table);
}

}  // namespace kor
