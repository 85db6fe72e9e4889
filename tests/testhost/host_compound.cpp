// Compound-material doubles of the test host (see testhost_compound.h).
#include "testhost_compound.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestCompoundHost *testhost_compound() {
    static TestCompoundHost host;
    return &host;
}

const TestShaderEntry *testhost_material_function(Tag tag) {
    TestCompoundHost &h = *testhost_compound();
    std::lock_guard<std::mutex> lock(h.mutex);
    auto it = h.materials.find(tag);
    return it == h.materials.end() ? nullptr : &it->second;
}

HOST void zo_opacity_set(RenderState *, const Color *opacity) {
    TestCompoundHost &h = *testhost_compound();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.opacities.push_back(opacity ? *opacity : Color{0, 0, 0, 0});
}
