// The eye ray of the test host (see testhost_lens.h).
#include "testhost_lens.h"

#define HOST extern "C" __attribute__((visibility("default")))

extern "C" void *zo_shaderstate_get(RenderState *, const char *, int *);
extern "C" zoBoolean zo_shaderstate_set(RenderState *, const char *, const void *, int, int);

HOST TestLens *testhost_lens() {
    static TestLens lens;
    return &lens;
}

HOST zoBoolean zo_trace_eye(Color *result, RenderState *state, const Vector3 *, const Vector3 *) {
    TestLens &l = *testhost_lens();
    if (l.traces < 4) l.during_shadow[l.traces] = state->options ? state->options->shadow : -1;
    ++l.traces;
    if (l.during) l.during(state, l.during_data);
    l.saw_tone_record = zo_shaderstate_get(state, "KEY_7", nullptr) != nullptr;
    if (l.sky_hdr) zo_shaderstate_set(state, "SKY_IS_HDR", &l.sky_hdr, sizeof l.sky_hdr, 2);
    *result = l.color;
    state->dist = l.dist >= 0 ? l.dist : l.hit ? 1.0 : 0.0;
    return l.hit;
}
