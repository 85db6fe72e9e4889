// Illumination doubles of the test host (see testhost_illum.h).
#include <cstring>

#include "testhost_illum.h"
#include "testhost_reflect.h"

#define HOST extern "C" __attribute__((visibility("default")))

extern "C" void *zo_shaderstate_get(RenderState *, const char *, int *);

HOST TestIllumHost *testhost_illum() {
    static TestIllumHost illum;
    return &illum;
}

namespace {

TestIllumHost &il() {
    return *testhost_illum();
}

}  // namespace

HOST zoBoolean zo_sample_light(Color *result, Vector3 *direction, float *dot_nl, RenderState *state,
                               Tag light, int *samples) {
    TestIllumHost &h = il();
    auto it = h.lights.find(light);
    const int index = samples ? *samples : 0;
    const std::vector<TestLightSample> *list = nullptr;
    if (it != h.lights.end()) {
        list = &it->second.samples;
        if (state && state->inv_normal && !it->second.back.empty()) list = &it->second.back;
    }
    if (!list || index < 0 || index >= static_cast<int>(list->size())) {
        ++h.light_loops;
        return 0;
    }
    const TestLightSample &s = (*list)[index];
    TestLightCall call{
        light, index,       state ? state->normal : Vector3{0, 0, 0}, state ? state->inv_normal : 0,
        false, {0, 0, 0, 0}};
    int size = 0;
    void *record = zo_shaderstate_get(state, "KEY_5", &size);
    if (record && size >= 16) {
        call.record_present = true;
        std::memcpy(call.record, record, sizeof call.record);
        if (s.writes_record) {
            int32_t words[4];
            words[0] = s.filled;
            std::memcpy(&words[1], &s.diffuse_factor, 4);
            words[2] = s.ambient_only;
            words[3] = s.affect_bits;
            std::memcpy(record, words, sizeof words);
        }
    }
    h.light_calls.push_back(call);
    if (h.on_sample) h.on_sample(state, light, index, h.hook_data);
    if (result) *result = s.color;
    if (direction) *direction = s.dir;
    if (dot_nl) *dot_nl = s.dot_nl;
    if (samples) ++*samples;
    return 1;
}

HOST zoBoolean zo_trace_transparent(Color *result, RenderState *state) {
    TestIllumHost &h = il();
    h.transparent_depths.push_back(state ? state->trace_depth : 0);
    int size = 0;
    const void *key1 = zo_shaderstate_get(state, "KEY_1", &size);
    h.transparent_key1.push_back(key1 != nullptr);
    std::vector<int32_t> words;
    if (key1 && size >= 8) {
        words.resize(2);
        std::memcpy(words.data(), key1, 8);
    }
    h.key1_words.push_back(words);
    if (h.transparent_ok && result) *result = h.transparent_color;
    return h.transparent_ok;
}

HOST zoBoolean zo_trace_reflection(Color *result, RenderState *state, const Vector3 *dir) {
    ++il().reflection_traces;
    testhost_reflect_trace(state, dir, ZO_RAY_REFLECT);
    if (il().trace_ok && result) *result = il().trace_color;
    return il().trace_ok;
}

HOST zoBoolean zo_trace_refraction(Color *result, RenderState *state, const Vector3 *dir) {
    ++il().refraction_traces;
    testhost_reflect_trace(state, dir, ZO_RAY_REFRACT);
    if (il().trace_ok && result) *result = il().trace_color;
    return il().trace_ok;
}

HOST zoBoolean zo_trace_continue(Color *result, RenderState *) {
    ++il().continue_traces;
    if (il().trace_ok && result) *result = il().trace_color;
    return il().trace_ok;
}

HOST void zo_reflection_dir(Vector3 *dir, RenderState *) {
    if (dir) *dir = il().reflection_dir;
}

HOST zoBoolean zo_refraction_dir(Vector3 *dir, RenderState *, float, float) {
    if (il().refraction_ok && dir) *dir = il().refraction_dir;
    return il().refraction_ok;
}

HOST zoBoolean zo_compute_avg_radiance(Color *result, RenderState *, int, void *) {
    ++il().radiance_calls;
    if (il().radiance_ok && result) *result = il().radiance;
    return il().radiance_ok;
}

HOST zoImage *zo_lightmap_edit(void **handle, Tag texture) {
    auto it = il().lightmaps.find(texture);
    if (it == il().lightmaps.end()) return nullptr;
    ++il().edits;
    if (handle) *handle = it->second;
    return it->second;
}

HOST void zo_lightmap_edit_end(void *) {
    ++il().edit_ends;
}

HOST void zo_img_put_color(zoImage *image, const Color *color, int x, int y) {
    ++il().pixel_writes;
    if (!image || !image->data || !color || x < 0 || y < 0 || x >= image->width ||
        y >= image->height)
        return;
    static_cast<Color *>(image->data)[y * image->width + x] = *color;
}
