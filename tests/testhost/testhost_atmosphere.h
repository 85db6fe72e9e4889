// Atmosphere doubles of the test host: the light instance and light shader
// queries (7 and 29) by which a volume shader finds the shader of a listed
// light (host_atmosphere.cpp).
#pragma once

#include <korshaders/host.h>

#include <map>

struct TestAtmosphere {
    std::map<Tag, Tag> light_instances;  // query 7: light tag -> its instance
    std::map<Tag, Tag> light_shaders;    // query 29: light instance -> its shader

    void reset() { *this = TestAtmosphere{}; }
};

extern "C" TestAtmosphere *testhost_atmosphere();
