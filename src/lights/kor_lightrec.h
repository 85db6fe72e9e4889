// The record through which a light shader tells the illumination model
// how the sample it just delivered should be used ("KEY_5"), and the link
// through which the light loop hands its copy of that record to the lights
// it samples.
#ifndef KORSHADERS_LIGHTS_KOR_LIGHTREC_H
#define KORSHADERS_LIGHTS_KOR_LIGHTREC_H

#include <korshaders/host.h>
#include <stdint.h>

struct RenderState;

struct LightIllumRecord {
    int32_t filled;       // the light wrote this record
    float diffuseFactor;  // factor on the diffuse contribution
    int32_t ambientOnly;  // the light adds to the ambient component only
    int32_t affectBits;   // 1 affects diffuse, 2 affects specular
};
static_assert(sizeof(LightIllumRecord) == 16, "the light record is four words");

enum : int32_t { kAffectDiffuse = 1, kAffectSpecular = 2 };

#define KOR_KEY_LIGHT_ILLUM "KEY_5"

// While the light loop runs a light list on a render thread, it keeps here
// (under the state's thread index) the state it samples the lights with and
// the host's copy of "KEY_5" (null when the host holds none). A light whose
// state's parent is that state was sampled by the loop, and the host would
// answer it with that same copy, so it fills the copy without asking. When
// a loop ends the host holds no "KEY_5" any more, and the link says so to a
// loop that encloses it. Threads past the table ask the host.
struct alignas(64) LightLoopLink {
    const RenderState *state;
    LightIllumRecord *record;
};
constexpr uint32_t kLightLoopThreads = 64;
extern LightLoopLink korLightLoopLinks[kLightLoopThreads];

inline LightLoopLink *lightLoopLink(const RenderState *state) {
    const uint32_t thread = static_cast<uint32_t>(state->thread);
    return thread < kLightLoopThreads ? &korLightLoopLinks[thread] : nullptr;
}

#endif
