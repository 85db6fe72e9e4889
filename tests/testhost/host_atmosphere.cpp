// Atmosphere doubles of the test host (see testhost_atmosphere.h).
#include "testhost_atmosphere.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestAtmosphere *testhost_atmosphere() {
    static TestAtmosphere atmosphere;
    return &atmosphere;
}

// Queries 7 and 29 (reached from the scene queries); false for other codes
// and for lights the test did not set up.
zoBoolean testhost_atmosphere_query(int code, RenderState *, Tag tag, void *result) {
    const TestAtmosphere &a = *testhost_atmosphere();
    const std::map<Tag, Tag> *table = code == ZO_Q_LIGHT_INSTANCE ? &a.light_instances
                                      : code == ZO_Q_LIGHT_SHADER ? &a.light_shaders
                                                                  : nullptr;
    if (!table) return 0;
    auto it = table->find(tag);
    if (it == table->end()) return 0;
    *static_cast<Tag *>(result) = it->second;
    return 1;
}
