// Light-related doubles of the test host: light space, shadow rays and
// photon emission (host_lights.cpp).
#pragma once

#include <korshaders/host.h>

#include <vector>

struct TestPhoton {
    Color energy;
    Vector3 origin;     // state->org during the call
    Vector3 direction;  // state->dir during the call
    float ior, ior_in;
};

struct TestLights {
    // Light space: to_light maps world points into light space (row vectors,
    // p' = p M, translation in elements 12..14); from_light is its inverse.
    // Both start as the identity.
    float to_light[16];
    float from_light[16];

    // zo_trace_shadow and zo_trace_shadow_seg: the result colour is
    // multiplied by `shadow_filter` and `shadow_result` is returned.
    zoBoolean shadow_result = 1;
    Color shadow_filter = {1, 1, 1, 1};
    int shadow_calls = 0;
    std::vector<Color> shadow_inputs;  // the result colour each trace received

    // zo_photon_light
    std::vector<TestPhoton> photons;

    // zo_light_info answers
    Vector3 light_origin = {0, 0, 0};
    Vector3 light_direction = {0, 0, -1};

    TestLights() { reset(); }
    void reset() {
        for (int i = 0; i < 16; ++i) to_light[i] = from_light[i] = (i % 5 == 0) ? 1.0f : 0.0f;
        shadow_result = 1;
        shadow_filter = {1, 1, 1, 1};
        shadow_calls = 0;
        shadow_inputs.clear();
        photons.clear();
        light_origin = {0, 0, 0};
        light_direction = {0, 0, -1};
    }
};

extern "C" TestLights *testhost_lights();
