// Doubles of the test host for the ink and paint material: light origins
// (query 31) and face labels (query 159).
#pragma once

#include <korshaders/host.h>

#include <map>

struct TestInkHost {
    std::map<Tag, Vector3> light_origins;  // query 31 by light tag; others fail
    bool labels = false;                   // query 159 answers at all
    int sample_label = 0;                  // answer for states that are not probe hits
    int probe_label = 0;                   // answer for probe-hit states

    void reset() { *this = TestInkHost{}; }
};

extern "C" TestInkHost *testhost_inknpaint();
