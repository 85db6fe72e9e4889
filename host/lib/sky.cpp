// Sky light in the reference host. A light whose shader's declaration
// applies to "sky" is a sky: the environment shader sums such lights for
// rays that leave the scene (the host says so through query 142), so the
// sky is what eye, reflection and gather rays see where they miss. With
// final gathering off, the irradiance a material asks for is gathered from
// the sky alone by sky rays (ray type 20): blocked ones count black.
#include "sky.h"

namespace korhost {

bool scene_has_sky(const Session &s) {
    if (s.has_sky >= 0) return s.has_sky != 0;
    for (const LightEntry &l : s.lights) {
        if (!l.rec.shader || l.rec.shader >= s.db.size()) continue;
        const auto *rec = static_cast<const HostRecord *>(s.db[l.rec.shader].record);
        if (!rec || !rec->function || !rec->function->decl) continue;
        for (const std::string &a : rec->function->decl->apply)
            if (a == "sky") return true;
    }
    return false;
}

int sky_lookup_state(const Session &s, const RenderState *state) {
    return state && state->call_type == ZO_CALL_ENVIRONMENT && scene_has_sky(s) ? 1 : 0;
}

}  // namespace korhost
