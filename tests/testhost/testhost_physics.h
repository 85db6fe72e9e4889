// Doubles of the test host for the physics shaders: the light iterator of
// zo_get_shader_interface on top of the scripted light samples, the global
// light list, Fresnel, Phong and Ward terms, the specular, anisotropic and
// diffuse directions, back-side, volume and directional irradiance, the
// scatter-type choice, glossy photon continuations and the volume photon
// calls.
#pragma once

#include <korshaders/host.h>

#include <vector>

// One sample handed out by the iterator.
struct TestIteratedSample {
    Tag light;
    Vector3 point;   // state->point at the sample
    Vector3 normal;  // state->normal at the sample
    int32_t reflection_level;
};

// One volume-scattering continuation.
struct TestVolumeScatter {
    Color energy;
    Vector3 point;  // state->point during the call
    Vector3 dir;    // state->dir during the call
};

struct TestPhysicsHost {
    // zo_get_shader_interface answers null (a host without the iterator)
    bool no_interface = false;
    long created = 0, released = 0;
    std::vector<std::vector<Tag>> walked;  // the light list of each iterator
    std::vector<TestIteratedSample> samples;

    // zo_fresnel_reflection: the unpolarised dielectric formula, or `fresnel`
    // when it is 0 or more
    float fresnel = -1.0f;
    std::vector<float> fresnel_in, fresnel_out;

    // zo_phong_specular, zo_ward_glossy, zo_ward_anisglossy: fixed answers;
    // the directions they were given
    float phong = 1.0f;
    std::vector<Vector3> phong_dirs;
    float ward = 1.0f;
    long ward_calls = 0, anisotropic_ward_calls = 0;
    std::vector<Vector3> ward_in;
    std::vector<Vector3> ward_normal;
    Vector3 ward_u{0, 0, 0}, ward_v{0, 0, 0};

    // directions
    Vector3 specular_reflection_dir{0, 0, 1};
    Vector3 specular_transmission_dir{0, 0, -1};
    zoBoolean specular_transmission_ok = 1;
    std::vector<float> transmission_in, transmission_out;
    Vector3 diffuse_reflection_dir{0, 0, 1};
    Vector3 diffuse_transmission_dir{0, 0, -1};
    Vector3 anisotropic_dir{0, 1, 0};
    zoBoolean anisotropic_transmission_ok = 1;

    // zo_compute_irradiance_backside
    zoBoolean backside_ok = 1;
    Color backside{0, 0, 0, 0};
    std::vector<Vector3> backside_normals;
    // zo_compute_volume_irradiance, zo_compute_directional_irradiance
    zoBoolean volume_ok = 0;
    Color volume_irradiance{0, 0, 0, 0};
    long volume_calls = 0, directional_calls = 0;
    float directional_args[3] = {0, 0, 0};

    // zo_choose_scatter_type
    int scatter_type = ZO_PHOTON_ABSORB;
    long scatter_choices = 0;
    float scatter_transparency = 0.0f;
    Color scatter_colours[3] = {};  // diffuse, glossy, specular

    // volume photons
    float pathlength = 1.0e30f;  // zo_scattering_pathlength
    std::vector<float> densities;
    long volume_photons = 0;
    Vector3 volume_photon_point{0, 0, 0};
    Vector3 scatter_dir{1, 0, 0};  // zo_scattering_dir_diffuse / _directional
    std::vector<float> directional_g;
    int lobe = 1;  // zo_choose_lobe
    std::vector<TestVolumeScatter> scatterings;

    void reset() { *this = TestPhysicsHost{}; }
};

extern "C" TestPhysicsHost *testhost_physics();
