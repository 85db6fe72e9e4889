// Doubles of the test host for the reflection and refraction maps (see
// testhost_reflect.h).
#include <cstdlib>
#include <cstring>

#include "testhost.h"
#include "testhost_reflect.h"

#define HOST extern "C" __attribute__((visibility("default")))

extern "C" void *zo_shaderstate_get(RenderState *, const char *, int *);

HOST TestReflectHost *testhost_reflect() {
    static TestReflectHost reflect;
    return &reflect;
}

namespace {

TestReflectHost &rh() {
    return *testhost_reflect();
}

void photon(int kind, Color *energy, const Vector3 *dir) {
    rh().photons.push_back({kind, dir ? *dir : Vector3{0, 0, 0}, energy ? *energy : Color{}});
}

}  // namespace

void testhost_reflect_trace(RenderState *state, const Vector3 *dir, int kind) {
    TestMapTrace t;
    t.kind = kind;
    t.dir = dir ? *dir : Vector3{0, 0, 0};
    t.point = state ? state->point : Vector3{0, 0, 0};
    t.state_dir = state ? state->dir : Vector3{0, 0, 0};
    int size = 0;
    if (const void *k1 = zo_shaderstate_get(state, "KEY_1", &size)) {
        t.key1 = true;
        if (size >= 8) std::memcpy(t.key1_words, k1, 8);
    }
    rh().traces.push_back(t);
}

HOST zoBoolean zo_trace_environment(Color *result, RenderState *state, const Vector3 *direction) {
    testhost_reflect_trace(state, direction, ZO_RAY_ENVIRONMENT);
    if (rh().environment_ok && result) *result = rh().environment_color;
    return rh().environment_ok;
}

HOST void zo_reflection_dir_glossy(Vector3 *dir, RenderState *, float shiny) {
    rh().glossy_reflection_shininess.push_back(shiny);
    if (dir) *dir = rh().glossy_reflection_dir;
}

HOST zoBoolean zo_transmission_dir_glossy(Vector3 *dir, RenderState *, float, float, float shiny) {
    rh().glossy_transmission_shininess.push_back(shiny);
    if (rh().glossy_transmission_ok && dir) *dir = rh().glossy_transmission_dir;
    return rh().glossy_transmission_ok;
}

HOST zoBoolean zo_photon_reflection_specular(Color *energy, RenderState *, const Vector3 *dir) {
    photon(ZO_PHOTON_REFLECT_SPECULAR, energy, dir);
    return 1;
}
HOST zoBoolean zo_photon_reflection_diffuse(Color *energy, RenderState *, const Vector3 *dir) {
    photon(ZO_PHOTON_REFLECT_DIFFUSE, energy, dir);
    return 1;
}
HOST zoBoolean zo_photon_transmission_specular(Color *energy, RenderState *, const Vector3 *dir) {
    photon(ZO_PHOTON_TRANSMIT_SPECULAR, energy, dir);
    return 1;
}
HOST zoBoolean zo_photon_transmission_diffuse(Color *energy, RenderState *, const Vector3 *dir) {
    photon(ZO_PHOTON_TRANSMIT_DIFFUSE, energy, dir);
    return 1;
}

HOST Tag zo_api_name_lookup(char *name) {
    if (!name) return 0;
    rh().lookups.push_back(name);
    auto it = rh().names.find(name);
    return it == rh().names.end() ? 0 : it->second;
}

// Counted as an allocation, so that a test sees it released.
HOST char *zo_mem_int_strdup(const char *, int, const char *text) {
    if (!text) return nullptr;
    ++rh().strdups;
    {
        std::lock_guard<std::mutex> lock(testhost_control()->mutex);
        ++testhost_control()->allocations;
    }
    const size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::calloc(1, n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}
