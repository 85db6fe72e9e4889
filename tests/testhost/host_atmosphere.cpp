// Atmosphere doubles of the test host (see testhost_atmosphere.h).
#include "testhost_atmosphere.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestAtmosphere *testhost_atmosphere() {
    static TestAtmosphere atmosphere;
    return &atmosphere;
}

// Query 5 (host_sky.cpp).
zoBoolean testhost_sky_query(int code, RenderState *state, Tag tag, void *result);
// Queries 31 and 159 (host_inknpaint.cpp).
zoBoolean testhost_inknpaint_query(int code, RenderState *state, Tag tag, void *result);

// Queries 7 and 29 (reached from the scene queries), 5 from the sky
// doubles; false for other codes and for lights the test did not set up.
zoBoolean testhost_atmosphere_query(int code, RenderState *state, Tag tag, void *result) {
    if (code == ZO_Q_LIGHT_INSTANCE_RECORD) return testhost_sky_query(code, state, tag, result);
    const TestAtmosphere &a = *testhost_atmosphere();
    const std::map<Tag, Tag> *table = code == ZO_Q_LIGHT_INSTANCE ? &a.light_instances
                                      : code == ZO_Q_LIGHT_SHADER ? &a.light_shaders
                                                                  : nullptr;
    if (!table) return testhost_inknpaint_query(code, state, tag, result);
    auto it = table->find(tag);
    if (it == table->end()) return 0;
    *static_cast<Tag *>(result) = it->second;
    return 1;
}
