// Output-shader doubles of the test host (see testhost_output.h).
#include "testhost_output.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestOutputHost *testhost_output() {
    static TestOutputHost host;
    return &host;
}

HOST zoImage *zo_output_image_open(RenderState *, int buffer) {
    TestOutputHost &h = *testhost_output();
    h.opened.push_back(buffer);
    auto it = h.images.find(buffer);
    return it == h.images.end() ? nullptr : it->second;
}

HOST void zo_output_image_close(RenderState *, int buffer) {
    testhost_output()->closed.push_back(buffer);
}

HOST zoBoolean zo_texture_interpolate(Vector3 *result, RenderState *, int space) {
    TestOutputHost &h = *testhost_output();
    h.interpolated.push_back(space);
    auto it = h.texture_spaces.find(space);
    if (it == h.texture_spaces.end()) return 0;
    if (result) *result = it->second;
    return 1;
}
