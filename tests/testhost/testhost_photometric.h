// Photometric doubles of the test host: the light profile lookup
// (host_photometric.cpp).
#pragma once

#include <korshaders/host.h>

struct TestPhotometric {
    // zo_lightprofile_value answers `profile_value` (0: not available, as
    // the reference host) and counts its calls.
    float profile_value = 0.0f;
    int profile_calls = 0;

    void reset() {
        profile_value = 0.0f;
        profile_calls = 0;
    }
};

extern "C" TestPhotometric *testhost_photometric();
