// Doubles of the test host for the ambient occlusion shader: scripted
// diffuse directions, the ray falloff pair and the instance identity query.
#pragma once

#include <korshaders/host.h>

#include <map>
#include <utility>
#include <vector>

struct TestAoHost {
    // zo_reflection_dir_diffuse_x answers these in turn (the shading
    // normal once they run out) and records the samples it was given
    std::vector<Vector3> diffuse_dirs;
    std::vector<std::pair<double, double>> diffuse_samples;
    // zo_ray_falloff swaps the current pair with the one handed in; every
    // pair handed in is recorded
    double falloff_start = 0.0, falloff_stop = 0.0;
    std::vector<std::pair<double, double>> falloff_calls;
    // query 8: instance -> identity; an instance not listed fails
    std::map<Tag, Tag> identities;

    void reset() { *this = TestAoHost{}; }
};

extern "C" TestAoHost *testhost_ao();

// Query 8 (reached from the scene queries).
zoBoolean testhost_ao_query(int code, RenderState *state, Tag tag, void *result);
