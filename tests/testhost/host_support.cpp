// Test doubles for the support library: host locks, zo_call_shader_x with
// its argument record, per-thread pointers of the running instance,
// irradiance, images and texture lookups (see testhost.h).
#include <cstdint>
#include <cstring>

#include "host_bitmap.h"
#include "testhost.h"

#define HOST extern "C" __attribute__((visibility("default")))

namespace {

TestHostControl &h() {
    return *testhost_control();
}

}  // namespace

zoBoolean testhost_thread_query(int code, RenderState *state, void *result, void *extra) {
    const Tag instance = state && state->shader ? state->shader->tag : 0;
    const int thread = state ? state->thread : 0;
    std::lock_guard<std::mutex> lock(h().mutex);
    std::vector<void *> &slots = h().thread_slots[instance];
    if (code == ZO_Q_FUNC_TLS_GETALL) {
        *static_cast<void ***>(result) = slots.data();
        if (extra) *static_cast<int *>(extra) = static_cast<int>(slots.size());
        return 1;
    }
    if (thread < 0) return 0;
    if (slots.size() <= static_cast<size_t>(thread)) slots.resize(thread + 1, nullptr);
    if (code == ZO_Q_FUNC_TLS_GET)
        *static_cast<void **>(result) = slots[thread];
    else
        slots[thread] = *static_cast<void **>(result);
    return 1;
}

void *testhost_image(Tag tag) {
    auto it = h().images.find(tag);
    return it == h().images.end() ? nullptr : it->second;
}

HOST void zo_lock(zoLock word) {
    {
        std::lock_guard<std::mutex> lock(h().mutex);
        ++h().locks;
    }
    testhost_lock_acquire(word);  // a word from zo_init_lock locks for real
}

HOST void zo_unlock(zoLock word) {
    testhost_lock_release(word);
    std::lock_guard<std::mutex> lock(h().mutex);
    ++h().unlocks;
}

HOST zoBoolean zo_call_shader_x(void *result, int type, RenderState *state, Tag tag, void *arg) {
    TestShaderBehaviour b{0, false, {}};
    {
        std::lock_guard<std::mutex> lock(h().mutex);
        TestCallArgument a{type, tag, arg, {0, 0}};
        // only the words the test asked for: some arguments are a single int
        if (arg) std::memcpy(a.words, arg, sizeof(int32_t) * (h().argument_words > 1 ? 2 : 1));
        h().arguments.push_back(a);
        h().calls.push_back({"zo_call_shader_x", type, tag, state ? state->material : 0,
                             state ? state->environment : 0, state ? state->volume : 0});
        auto it = h().shaders.find(tag);
        if (it != h().shaders.end()) b = it->second;
    }
    // a shader function registered for the tag runs for real
    if (const TestShaderEntry *run = testhost_shader_function(tag))
        return run->function(result, state, run->params, arg);
    if (b.writes && result) *static_cast<Color *>(result) = b.color;
    return b.ok;
}

HOST zoBoolean zo_compute_irradiance(Color *result, RenderState *state) {
    TestShaderBehaviour b;
    {
        std::lock_guard<std::mutex> lock(h().mutex);
        h().irradiance_normals.push_back(state ? state->normal : Vector3{0, 0, 0});
        b = h().irradiance;
    }
    if (b.writes && result) *result = b.color;
    return b.ok;
}

HOST int zo_img_get_width(const zoImage *image) {
    return image ? image->width : 0;
}
HOST int zo_img_get_height(const zoImage *image) {
    return image ? image->height : 0;
}

HOST void zo_img_get_color(const zoImage *image, Color *color, int x, int y) {
    {
        std::lock_guard<std::mutex> lock(h().mutex);
        h().pixel_reads.push_back({x, y});
    }
    if (!image || !image->data || x < 0 || y < 0 || x >= image->width || y >= image->height) return;
    *color = static_cast<const Color *>(image->data)[y * image->width + x];
}

HOST zoBoolean zo_lookup_color_texture(Color *result, RenderState *state, Tag tag,
                                       const Vector3 *coord) {
    TestShaderBehaviour b{0, false, {}};
    {
        std::lock_guard<std::mutex> lock(h().mutex);
        h().texture_coords.push_back(coord ? *coord : Vector3{0, 0, 0});
        h().calls.push_back({"zo_lookup_color_texture", 0, tag, state ? state->material : 0,
                             state ? state->environment : 0, state ? state->volume : 0});
        auto it = h().shaders.find(tag);
        if (it != h().shaders.end()) b = it->second;
    }
    if (b.writes && result) *result = b.color;
    return b.ok;
}
