// The test host's eye ray: what zo_trace_eye answers and what it saw.
#pragma once

#include <korshaders/host.h>

struct TestLens {
    Color color{0, 0, 0, 0};  // the traced colour
    zoBoolean hit = 1;        // the eye ray's answer
    double dist = -1;         // the hit distance it leaves; -1: 1 when `hit`, else 0 (a miss)
    int32_t sky_hdr = 0;      // written to "SKY_IS_HDR" during the trace when non-zero
    int traces = 0;
    bool saw_tone_record = false;  // "KEY_7" was present during the last trace
    // runs during every trace, as a material hit by the eye ray would
    void (*during)(RenderState *state, void *data) = nullptr;
    void *during_data = nullptr;
    int during_shadow[4] = {0, 0, 0, 0};  // the options' shadow mode seen by the first traces

    void reset() { *this = TestLens{}; }
};

extern "C" TestLens *testhost_lens();
