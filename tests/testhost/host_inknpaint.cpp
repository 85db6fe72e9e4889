// Ink and paint doubles of the test host (see testhost_inknpaint.h).
#include "testhost_inknpaint.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestInkHost *testhost_inknpaint() {
    static TestInkHost host;
    return &host;
}

// Queries 31 and 159 (reached from the atmosphere queries); false for other
// codes.
zoBoolean testhost_inknpaint_query(int code, RenderState *state, Tag tag, void *result) {
    const TestInkHost &h = *testhost_inknpaint();
    if (code == ZO_Q_LIGHT_ORIGIN) {
        auto it = h.light_origins.find(tag);
        if (it == h.light_origins.end()) return 0;
        *static_cast<Vector3 *>(result) = it->second;
        return 1;
    }
    if (code == ZO_Q_PRI_LABEL && h.labels && state) {
        *static_cast<int *>(result) = state->type == ZO_RAY_PROBE ? h.probe_label : h.sample_label;
        return 1;
    }
    return 0;
}
