// Surface rules the materials share: the wire band and hiding a point.
#ifndef KORSHADERS_MATERIALS_KOR_SURFACE_H
#define KORSHADERS_MATERIALS_KOR_SURFACE_H

#include <korshaders/host.h>

namespace kor {

// Whether the state's point lies within `wireSize` / 2 of a visible edge of
// its triangle: in pixels (`wireUnits` 0) or scene units (1).
bool surfaceInWireBand(RenderState *state, float wireSize, int wireUnits);

// Hides the state's point: transparent black under a transparency probe
// ("KEY_3") or on secondary rays of the 'r' render mode, else the ray
// continues through the surface.
zoBoolean surfaceHide(Color *result, RenderState *state);

}  // namespace kor

#endif
