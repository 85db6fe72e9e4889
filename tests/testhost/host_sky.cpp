// Sky and sun doubles of the test host (see testhost_sky.h).
#include "testhost_sky.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestSky *testhost_sky() {
    static TestSky sky;
    return &sky;
}

// Query 5 (reached from the atmosphere queries).
zoBoolean testhost_sky_query(int code, RenderState *state, Tag tag, void *result) {
    TestSky &s = *testhost_sky();
    if (code != ZO_Q_LIGHT_INSTANCE_RECORD) return 0;
    s.record_queries.push_back(tag ? tag : state ? state->light_instance : 0);
    if (!s.has_light_record) return 0;
    *static_cast<const zoLightRecord **>(result) = &s.light_record;
    return 1;
}
