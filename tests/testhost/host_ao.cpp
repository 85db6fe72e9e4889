// Doubles of the test host for the ambient occlusion shader (see
// testhost_ao.h).
#include "testhost_ao.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestAoHost *testhost_ao() {
    static TestAoHost host;
    return &host;
}

HOST void zo_reflection_dir_diffuse_x(Vector3 *dir, RenderState *state, const double sample[2]) {
    TestAoHost &h = *testhost_ao();
    const size_t index = h.diffuse_samples.size();
    h.diffuse_samples.emplace_back(sample ? sample[0] : -1.0, sample ? sample[1] : -1.0);
    if (!dir) return;
    if (index < h.diffuse_dirs.size())
        *dir = h.diffuse_dirs[index];
    else if (state)
        *dir = state->normal;
}

HOST void zo_ray_falloff(RenderState *, double *start, double *stop) {
    TestAoHost &h = *testhost_ao();
    if (!start || !stop) return;
    h.falloff_calls.emplace_back(*start, *stop);
    const double oldStart = h.falloff_start, oldStop = h.falloff_stop;
    h.falloff_start = *start;
    h.falloff_stop = *stop;
    *start = oldStart;
    *stop = oldStop;
}

zoBoolean testhost_ao_query(int code, RenderState *, Tag tag, void *result) {
    if (code != ZO_Q_INSTANCE_NAME) return 0;
    const TestAoHost &h = *testhost_ao();
    auto it = h.identities.find(tag);
    if (it == h.identities.end()) return 0;
    *static_cast<Tag *>(result) = it->second;
    return 1;
}
