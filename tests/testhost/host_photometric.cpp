// Photometric doubles of the test host (see testhost_photometric.h).
#include "testhost_photometric.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestPhotometric *testhost_photometric() {
    static TestPhotometric photometric;
    return &photometric;
}

HOST float zo_lightprofile_value(void *, float, float, const Vector3 *, zoBoolean) {
    TestPhotometric &p = *testhost_photometric();
    ++p.profile_calls;
    return p.profile_value;
}
