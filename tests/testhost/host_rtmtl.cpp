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

HOST int zo_choose_simple_scatter_type(RenderState *, Color *reflect_diffuse,
                                       Color *reflect_specular, Color *transmit_diffuse,
                                       Color *transmit_specular) {
    TestRtmtlHost &h = rt();
    ++h.scatters;
    Color *w[4] = {reflect_diffuse, reflect_specular, transmit_diffuse, transmit_specular};
    const int kinds[4] = {ZO_PHOTON_REFLECT_DIFFUSE, ZO_PHOTON_REFLECT_SPECULAR,
                          ZO_PHOTON_TRANSMIT_DIFFUSE, ZO_PHOTON_TRANSMIT_SPECULAR};
    float p[4], sum = 0;
    for (int i = 0; i < 4; ++i) {
        h.weights[i] = w[i] ? *w[i] : Color{0, 0, 0, 0};
        sum += p[i] = (h.weights[i].r + h.weights[i].g + h.weights[i].b) / 3;
    }
    // the chosen weight comes back divided by its probability, as the host's
    for (int i = 0; i < 4; ++i) {
        const float q = sum > 1 ? p[i] / sum : p[i];
        if (h.scatter == kinds[i] && w[i] && q > 0)
            *w[i] = Color{w[i]->r / q, w[i]->g / q, w[i]->b / q, w[i]->a / q};
    }
    return h.scatter;
}

HOST void zo_store_photon(const Color *energy, RenderState *) {
    ++rt().stored;
    if (energy) rt().stored_energy = *energy;
}
