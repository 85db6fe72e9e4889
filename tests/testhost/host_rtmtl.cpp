// Doubles of the test host for the raytrace material (see
// testhost_rtmtl.h).
#include "testhost.h"
#include "testhost_rtmtl.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestRtmtlHost *testhost_rtmtl() {
    static TestRtmtlHost host;
    return &host;
}

namespace {

TestRtmtlHost &rt() {
    return *testhost_rtmtl();
}

}  // namespace

HOST zoBoolean zo_trace_probe(RenderState *state, const Vector3 *direction, const Vector3 *origin) {
    TestRtmtlHost &h = rt();
    const size_t index = h.probes.size();
    h.probes.push_back({direction ? *direction : Vector3{0, 0, 0}, origin != nullptr,
                        origin ? *origin : Vector3{0, 0, 0}});
    if (!state || index >= h.hits.size()) return 0;
    h.children.emplace_back(*state);
    RenderState &c = h.children.back();
    c.parent = state;
    c.child = nullptr;
    c.type = ZO_RAY_PROBE;
    c.org = origin ? *origin : state->point;
    if (direction) c.dir = *direction;
    c.instance = h.hits[index].instance;
    c.dist = h.hits[index].dist;
    c.point = h.hits[index].point;
    if (h.hits[index].has_normal) c.normal = h.hits[index].normal;
    c.tex_list = nullptr;
    c.tex_count = 0;
    c.pri = nullptr;
    state->child = &c;
    return 1;
}

HOST int zo_choose_simple_scatter_type(RenderState *, const Color *reflect_diffuse,
                                       const Color *reflect_specular, const Color *transmit_diffuse,
                                       const Color *transmit_specular) {
    TestRtmtlHost &h = rt();
    ++h.scatters;
    const Color *w[4] = {reflect_diffuse, reflect_specular, transmit_diffuse, transmit_specular};
    for (int i = 0; i < 4; ++i) h.weights[i] = w[i] ? *w[i] : Color{0, 0, 0, 0};
    return h.scatter;
}

HOST void zo_store_photon(const Color *energy, RenderState *) {
    ++rt().stored;
    if (energy) rt().stored_energy = *energy;
}
