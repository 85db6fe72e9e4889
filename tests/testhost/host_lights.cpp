// Light doubles of the test host: light-space transforms from the matrices
// a test sets, shadow rays that block or tint, photon emission that records
// what it was given, and the light info query (see testhost_lights.h).
#include "testhost_lights.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestLights *testhost_lights() {
    static TestLights lights;
    return &lights;
}

namespace {

Vector3 point(const float *m, const Vector3 &p) {
    return {p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12],
            p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13],
            p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14]};
}

Vector3 vector(const float *m, const Vector3 &v) {
    return {v.x * m[0] + v.y * m[4] + v.z * m[8], v.x * m[1] + v.y * m[5] + v.z * m[9],
            v.x * m[2] + v.y * m[6] + v.z * m[10]};
}

// Normals go with the inverse transpose: n' = n (M^-1)^T.
Vector3 normal(const float *inverse, const Vector3 &n) {
    return {n.x * inverse[0] + n.y * inverse[1] + n.z * inverse[2],
            n.x * inverse[4] + n.y * inverse[5] + n.z * inverse[6],
            n.x * inverse[8] + n.y * inverse[9] + n.z * inverse[10]};
}

zoBoolean trace(Color *result, RenderState *) {
    TestLights &l = *testhost_lights();
    ++l.shadow_calls;
    if (result) {
        l.shadow_inputs.push_back(*result);
        result->r *= l.shadow_filter.r;
        result->g *= l.shadow_filter.g;
        result->b *= l.shadow_filter.b;
    }
    return l.shadow_result;
}

}  // namespace

HOST void zo_point_to_light(Vector3 *out, RenderState *, const Vector3 *in) {
    *out = point(testhost_lights()->to_light, *in);
}
HOST void zo_point_from_light(Vector3 *out, RenderState *, const Vector3 *in) {
    *out = point(testhost_lights()->from_light, *in);
}
HOST void zo_vector_to_light(Vector3 *out, RenderState *, const Vector3 *in) {
    *out = vector(testhost_lights()->to_light, *in);
}
HOST void zo_vector_from_light(Vector3 *out, RenderState *, const Vector3 *in) {
    *out = vector(testhost_lights()->from_light, *in);
}
HOST void zo_normal_to_light(Vector3 *out, RenderState *, const Vector3 *in) {
    *out = normal(testhost_lights()->from_light, *in);
}
HOST void zo_normal_from_light(Vector3 *out, RenderState *, const Vector3 *in) {
    *out = normal(testhost_lights()->to_light, *in);
}

HOST zoBoolean zo_trace_shadow(Color *result, RenderState *state) {
    return trace(result, state);
}
HOST zoBoolean zo_trace_shadow_seg(Color *result, RenderState *state) {
    return trace(result, state);
}

HOST zoBoolean zo_photon_light(Color *energy, RenderState *state) {
    TestLights &l = *testhost_lights();
    l.photons.push_back({energy ? *energy : Color{0, 0, 0, 0}, state ? state->org : Vector3{},
                         state ? state->dir : Vector3{}, state ? state->ior : 0.0f,
                         state ? state->ior_in : 0.0f});
    return 1;
}

HOST zoBoolean zo_light_info(Tag, Vector3 *origin, Vector3 *direction, void **record) {
    TestLights &l = *testhost_lights();
    if (origin) *origin = l.light_origin;
    if (direction) *direction = l.light_direction;
    if (record) *record = nullptr;
    return 1;
}
