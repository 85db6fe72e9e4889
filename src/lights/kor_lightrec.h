// The record through which a light shader tells the illumination model
// how the sample it just delivered should be used ("KEY_5"), and the link
// through which the light loop hands its copy of that record to the lights
// it samples.
#ifndef KORSHADERS_LIGHTS_KOR_LIGHTREC_H
#define KORSHADERS_LIGHTS_KOR_LIGHTREC_H

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

// While the light loop runs a light list on a thread, it keeps here the
// state it samples the lights with and the host's copy of "KEY_5" (null
// when the host holds none). A light whose state's parent is that state was
// sampled by the loop, and the host would answer it with that same copy, so
// it fills the copy without asking. When a loop ends the host holds no
// "KEY_5" any more, and the link says so to a loop that encloses it.
struct LightLoopLink {
    const RenderState *state;
    LightIllumRecord *record;
};
// Initial-exec: one load from the thread pointer, no call per access.
extern __thread LightLoopLink korLightLoopLink __attribute__((tls_model("initial-exec")));

#endif
