// The general material call and its companions.
#ifndef KORSHADERS_FRAME_UTILSHADERS_H
#define KORSHADERS_FRAME_UTILSHADERS_H

#include <korshaders/host.h>

extern "C" {
// Runs the material or material phenomenon `tag` for the kind of call in
// progress. `flag` is a warn-once word for the unsupported-call-type
// message, or null to use the calling instance's data.
__attribute__((visibility("default"))) zoBoolean CallMaterial(Color *result, RenderState *state,
                                                              Tag tag, int32_t *flag);
}

namespace kor {
// Runs the contour shader of `material` with the caller's contour arguments.
zoBoolean call_contour_material(void *result, void *info_near, void *info_far, RenderState *state,
                                Tag material);
}  // namespace kor

#endif
