// Doubles of the test host for the reflection and refraction maps: traces
// recorded with the direction, the point and the shader-state records they
// were made with, the environment, glossy directions, photon continuations
// and name lookups.
#pragma once

#include <korshaders/host.h>

#include <map>
#include <string>
#include <vector>

// One zo_trace_reflection, zo_trace_refraction or zo_trace_environment call.
struct TestMapTrace {
    int kind;           // 2 reflection, 3 refraction, 6 environment
    Vector3 dir;        // the direction argument
    Vector3 point;      // state->point during the call
    Vector3 state_dir;  // state->dir during the call
    bool key1 = false;  // "KEY_1" was set
    int32_t key1_words[2] = {0, 0};
};

// One photon continuation.
struct TestPhotonContinuation {
    int kind;  // 10, 12, 13 or 15
    Vector3 dir;
    Color energy;
};

struct TestReflectHost {
    std::vector<TestMapTrace> traces;
    // zo_trace_environment
    zoBoolean environment_ok = 1;
    Color environment_color{0, 0, 0, 0};
    // zo_reflection_dir_glossy, zo_transmission_dir_glossy
    std::vector<float> glossy_reflection_shininess;
    std::vector<float> glossy_transmission_shininess;
    Vector3 glossy_reflection_dir{0, 0, 1};
    Vector3 glossy_transmission_dir{0, 0, -1};
    zoBoolean glossy_transmission_ok = 1;
    std::vector<TestPhotonContinuation> photons;
    // zo_api_name_lookup: name -> tag (unknown names answer 0)
    std::map<std::string, Tag> names;
    std::vector<std::string> lookups;
    long strdups = 0;

    void reset() { *this = TestReflectHost{}; }
};

extern "C" TestReflectHost *testhost_reflect();

// Called by the reflection and refraction trace doubles (host_illum.cpp).
void testhost_reflect_trace(RenderState *state, const Vector3 *dir, int kind);
