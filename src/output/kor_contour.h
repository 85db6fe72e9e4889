// Contour shaders that outline iso-illuminance bands: the per-sample light
// record they exchange and the part of the host's contour output record
// they fill.
#ifndef KORSHADERS_OUTPUT_KOR_CONTOUR_H
#define KORSHADERS_OUTPUT_KOR_CONTOUR_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>

// Filled by the store shader, completed by the contrast shader (88 bytes).
struct ContourLightRecord {
    Vector3 point;           // 0: intersection point
    Vector3 normal;          // 12: shading normal
    Color color;             // 24: the sample's shaded colour
    int32_t objectId;        // 40
    int32_t depth;           // 44: 1 + states on the ancestor chain
    int32_t label;           // 48
    int32_t primitiveLabel;  // 52: query 159
    Vector3 normalGeom;      // 56: geometric normal
    Color bandColor;         // 68: colour of the light-level band
    int32_t band;            // 84: index of the light-level band
};

static_assert(sizeof(ContourLightRecord) == 88, "contour light record size");
static_assert(offsetof(ContourLightRecord, normalGeom) == 56, "contour light record layout");
static_assert(offsetof(ContourLightRecord, band) == 84, "contour light record layout");

// The contour shader fills the host's contour output record
// (zoContourOutput); it sets the width only.
using ContourOutput = zoContourOutput;

#endif
