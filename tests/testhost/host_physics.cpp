// Doubles of the test host for the physics shaders (see testhost_physics.h).
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "testhost_physics.h"
#include "testhost_reflect.h"
#include "testhost_scene.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestPhysicsHost *testhost_physics() {
    static TestPhysicsHost host;
    return &host;
}

namespace {

TestPhysicsHost &ph() {
    return *testhost_physics();
}

void photon(int kind, Color *energy, const Vector3 *dir) {
    testhost_reflect()->photons.push_back(
        {kind, dir ? *dir : Vector3{0, 0, 0}, energy ? *energy : Color{}});
}

// The iterator, walking the list with the scripted zo_sample_light.
zoBoolean create(zoLightIterator *it, RenderState *state, const Tag *lights, int count) {
    std::memset(it, 0, sizeof *it);
    it->index = -1;
    if (!state) return 0;
    ++ph().created;
    if (!lights || count <= 0) {
        const Tag *global = nullptr;
        int n = 0;
        if (zo_global_lights_info(&n, &global)) {
            lights = global;
            count = n;
        } else {
            lights = nullptr;
            count = 0;
        }
    }
    it->state = state;
    it->lights = lights;
    it->count = count;
    ph().walked.emplace_back(lights, lights + count);
    return 1;
}

zoBoolean nextLight(zoLightIterator *it) {
    it->samples = 0;
    if (++it->index >= it->count) {
        it->light = 0;
        return 0;
    }
    it->light = it->lights[it->index];
    return 1;
}

zoBoolean nextSample(zoLightIterator *it) {
    if (!it->light) return 0;
    int taken = it->samples;
    const zoBoolean ok =
        zo_sample_light(&it->color, &it->direction, &it->dot_nl, it->state, it->light, &taken);
    it->samples = taken;
    if (ok)
        ph().samples.push_back(
            {it->light, it->state->point, it->state->normal, it->state->reflection_level});
    return ok;
}

void release(zoLightIterator *it) {
    ++ph().released;
    it->state = nullptr;
}

const zoShaderInterface kInterface = {ZO_SHADER_INTERFACE_VERSION,
                                      static_cast<int32_t>(sizeof(zoShaderInterface)),
                                      create,
                                      nextLight,
                                      nextSample,
                                      release};

}  // namespace

HOST const zoShaderInterface *zo_get_shader_interface(void) {
    return ph().no_interface ? nullptr : &kInterface;
}

HOST zoBoolean zo_global_lights_info(int *count, const Tag **lights) {
    TestScene &s = *testhost_scene();
    if (!s.has_global_lights) return 0;
    if (count) *count = static_cast<int>(s.global_lights.size());
    if (lights) *lights = s.global_lights.data();
    return 1;
}

HOST float zo_fresnel_reflection(RenderState *state, float ior_in, float ior_out) {
    ph().fresnel_in.push_back(ior_in);
    ph().fresnel_out.push_back(ior_out);
    if (ph().fresnel >= 0.0f) return ph().fresnel;
    const float ci = std::fabs(state->dot_nd);
    const float eta = ior_in / ior_out, st2 = eta * eta * (1 - ci * ci);
    if (st2 >= 1) return 1;
    const float ct = std::sqrt(1 - st2);
    const float rs = (ior_in * ci - ior_out * ct) / (ior_in * ci + ior_out * ct);
    const float rp = (ior_out * ci - ior_in * ct) / (ior_out * ci + ior_in * ct);
    return 0.5f * (rs * rs + rp * rp);
}

HOST float zo_phong_specular(float, RenderState *, const Vector3 *direction) {
    ph().phong_dirs.push_back(*direction);
    return ph().phong;
}

HOST float zo_ward_glossy(const Vector3 *in, const Vector3 *, const Vector3 *normal, float) {
    ++ph().ward_calls;
    ph().ward_in.push_back(*in);
    ph().ward_normal.push_back(*normal);
    return ph().ward;
}

HOST float zo_ward_anisglossy(const Vector3 *in, const Vector3 *, const Vector3 *normal,
                              const Vector3 *u, const Vector3 *v, float, float) {
    ++ph().anisotropic_ward_calls;
    ph().ward_in.push_back(*in);
    ph().ward_normal.push_back(*normal);
    ph().ward_u = *u;
    ph().ward_v = *v;
    return ph().ward;
}

HOST void zo_reflection_dir_specular(Vector3 *dir, RenderState *) {
    *dir = ph().specular_reflection_dir;
}

HOST zoBoolean zo_transmission_dir_specular(Vector3 *dir, RenderState *, float in, float out) {
    ph().transmission_in.push_back(in);
    ph().transmission_out.push_back(out);
    if (ph().specular_transmission_ok) *dir = ph().specular_transmission_dir;
    return ph().specular_transmission_ok;
}

HOST void zo_reflection_dir_anisglossy(Vector3 *dir, RenderState *, const Vector3 *,
                                       const Vector3 *, float, float) {
    *dir = ph().anisotropic_dir;
}

HOST zoBoolean zo_transmission_dir_anisglossy(Vector3 *dir, RenderState *, float, float,
                                              const Vector3 *, const Vector3 *, float, float) {
    if (ph().anisotropic_transmission_ok) *dir = ph().anisotropic_dir;
    return ph().anisotropic_transmission_ok;
}

HOST void zo_reflection_dir_diffuse(Vector3 *dir, RenderState *) {
    *dir = ph().diffuse_reflection_dir;
}

HOST void zo_transmission_dir_diffuse(Vector3 *dir, RenderState *) {
    *dir = ph().diffuse_transmission_dir;
}

HOST zoBoolean zo_compute_irradiance_backside(Color *result, RenderState *state) {
    ph().backside_normals.push_back(state->normal);
    if (ph().backside_ok) *result = ph().backside;
    return ph().backside_ok;
}

HOST zoBoolean zo_compute_volume_irradiance(Color *result, RenderState *) {
    ++ph().volume_calls;
    if (ph().volume_ok) *result = ph().volume_irradiance;
    return ph().volume_ok;
}

HOST zoBoolean zo_compute_directional_irradiance(Color *result, RenderState *, float blend,
                                                 float g1, float g2) {
    ++ph().directional_calls;
    ph().directional_args[0] = blend;
    ph().directional_args[1] = g1;
    ph().directional_args[2] = g2;
    if (ph().volume_ok) *result = ph().volume_irradiance;
    return ph().volume_ok;
}

HOST int zo_choose_scatter_type(RenderState *, float transparency, const Color *diffuse,
                                const Color *glossy, const Color *specular) {
    ++ph().scatter_choices;
    ph().scatter_transparency = transparency;
    ph().scatter_colours[0] = *diffuse;
    ph().scatter_colours[1] = *glossy;
    ph().scatter_colours[2] = *specular;
    return ph().scatter_type;
}

HOST zoBoolean zo_photon_reflection_glossy(Color *energy, RenderState *, const Vector3 *dir) {
    photon(ZO_PHOTON_REFLECT_GLOSSY, energy, dir);
    return 1;
}

HOST zoBoolean zo_photon_transmission_glossy(Color *energy, RenderState *, const Vector3 *dir) {
    photon(ZO_PHOTON_TRANSMIT_GLOSSY, energy, dir);
    return 1;
}

HOST float zo_scattering_pathlength(RenderState *, float density) {
    ph().densities.push_back(density);
    return ph().pathlength;
}

HOST void zo_store_volume_photon(const Color *, RenderState *state) {
    ++ph().volume_photons;
    ph().volume_photon_point = state->point;
}

HOST void zo_scattering_dir_diffuse(Vector3 *dir, RenderState *) {
    *dir = ph().scatter_dir;
}

HOST void zo_scattering_dir_directional(Vector3 *dir, RenderState *, float g) {
    ph().directional_g.push_back(g);
    *dir = ph().scatter_dir;
}

HOST int zo_choose_lobe(RenderState *, float) {
    return ph().lobe;
}

HOST zoBoolean zo_photon_volume_scattering(Color *energy, RenderState *state) {
    ph().scatterings.push_back({*energy, state->point, state->dir});
    return 1;
}

// The 48-bit linear congruential sequence of its three seed words.
HOST double zo_erandom(unsigned short seed[3]) {
    return erand48(seed);
}
