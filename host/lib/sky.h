// Sky light: lights whose shader is declared for the sky ("apply" lists
// "sky") are looked up by rays that leave the scene, and light surfaces
// through the irradiance the materials ask for.
#pragma once

#include "session.h"

namespace korhost {

// Whether the scene has a light whose shader is a sky.
bool scene_has_sky(const Session &s);

// The answer to query 142: non-zero while an environment shader runs for a
// ray that left a scene with sky light, so that it sums its sky lights.
int sky_lookup_state(const Session &s, const RenderState *state);

// Sky rays per irradiance estimate when final gathering is off.
constexpr int kSkyRays = 32;

}  // namespace korhost
