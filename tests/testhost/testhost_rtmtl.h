// Doubles of the test host for the raytrace material: scripted probe hits,
// the simple scatter choice and stored photons.
#pragma once

#include <korshaders/host.h>

#include <deque>
#include <vector>

// One surface a probe ray finds; the probes answer them in order.
struct TestProbeHit {
    Tag instance = 0;
    double dist = 1.0;  // from the probe's origin
    Vector3 point{0, 0, 0};
    // the hit's shading normal; the probing state's normal when unset
    bool has_normal = false;
    Vector3 normal{0, 0, 1};
};

// One zo_trace_probe call.
struct TestProbeCall {
    Vector3 dir;
    bool has_origin;
    Vector3 origin;
};

struct TestRtmtlHost {
    std::vector<TestProbeHit> hits;
    std::vector<TestProbeCall> probes;
    std::deque<RenderState> children;  // the probe states handed out
    // zo_choose_simple_scatter_type
    int scatter = 0;
    long scatters = 0;
    Color weights[4] =
        {};  // diffuse reflect, specular reflect, diffuse transmit, specular transmit
    // zo_store_photon
    long stored = 0;
    Color stored_energy{0, 0, 0, 0};

    void reset() { *this = TestRtmtlHost{}; }
};

extern "C" TestRtmtlHost *testhost_rtmtl();
