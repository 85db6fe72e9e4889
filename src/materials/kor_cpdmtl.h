// Compound materials: surfaces built from other materials. The pieces that
// every compound shares: the kind of ray being served, the sub-material
// call, the weighted mix, the per-instance warn-once words and the contour
// forwarding.
#ifndef KORSHADERS_MATERIALS_KOR_CPDMTL_H
#define KORSHADERS_MATERIALS_KOR_CPDMTL_H

#include <korshaders/host.h>
#include <stdint.h>

#include "utilshaders.h"

namespace kor {
namespace cpd {

constexpr const char *kModule = "kor_cpdmtl";

// What a compound is asked for: shaded colour (eye and secondary rays), a
// shadow filter (shadow rays) or a photon (every photon ray type).
enum class RayKind { Surface, Shadow, Photon };
RayKind rayKind(const RenderState *state);

// Eye rays with a non-zero material id write it into user frame buffer 0.
void writeMaterialId(RenderState *state, int32_t materialId);

// A sub-material's tag when its on-flag is set, else 0 (absent).
inline Tag present(Tag tag, zoBoolean on) {
    return on ? tag : 0;
}

// Runs sub-material `tag` into *out, which starts as `start` (what a
// shadow ray carries in). An absent material or a failed call gives black
// with alpha 0. `flag` is the warn-once word of the material call, or null
// for the instance's own words.
bool runMaterial(Color *out, RenderState *state, Tag tag, const Color &start,
                 int32_t *flag = nullptr);

// a * t + b * (1 - t) on all four components; t <= 0 gives b, t >= 1 gives a.
Color mix(const Color &a, const Color &b, float t);

// Photons: one sub-material chosen at random, `a` with probability p.
zoBoolean choose(Color *result, RenderState *state, float p, Tag a, Tag b);

// The call's answer once the result is final: a shadow ray whose filter is
// black reports false, every other call true.
zoBoolean answer(const Color &result, RayKind kind);

// Per-instance block of the compounds: the two warn-once words of the
// material call.
struct WarnWords {
    int32_t words[2];
};

// _init: at shader level asks for instance calls; per instance stores a
// zeroed block of `size` bytes in the user-pointer slot and returns it.
void *initInstance(RenderState *state, void *params, zoBoolean *request, int size);
// _exit: per instance, releases the block and empties the slot.
void exitInstance(RenderState *state, void *params);
// The running instance's block, or null.
void *instanceBlock(RenderState *state);

// Forwards a contour call to `material`'s contour shader; false without one.
zoBoolean contour(void *result, void *infoNear, void *infoFar, RenderState *state, Tag material);

}  // namespace cpd
}  // namespace kor

#endif
