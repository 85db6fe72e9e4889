// The light iterator of zo_get_shader_interface: a walk over a light list
// (or the global lights) and each light's samples, built on zo_sample_light.
// The iterator record belongs to the caller; nothing is allocated.
#include <korshaders/host.h>

#include <cstring>

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace {

zoBoolean iterator_create(zoLightIterator *it, RenderState *state, const Tag *lights, int count) {
    if (!it) return 0;
    std::memset(it, 0, sizeof *it);
    it->index = -1;
    if (!state) return 0;
    it->state = state;
    if (!lights || count <= 0) {
        int global = 0;
        const Tag *list = nullptr;
        if (zo_global_lights_info(&global, &list) && list && global > 0) {
            lights = list;
            count = global;
        } else {
            lights = nullptr;
            count = 0;
        }
    }
    it->lights = lights;
    it->count = count;
    return 1;
}

zoBoolean iterator_next_light(zoLightIterator *it) {
    if (!it || !it->state) return 0;
    it->samples = 0;
    it->light = 0;
    while (++it->index < it->count) {
        it->light = it->lights[it->index];
        if (it->light) return 1;
    }
    it->index = it->count;
    return 0;
}

zoBoolean iterator_next_sample(zoLightIterator *it) {
    if (!it || !it->state || !it->light) return 0;
    Color c{0, 0, 0, 0};
    Vector3 dir{0, 0, 0};
    float dot_nl = 0;
    int taken = it->samples;
    const zoBoolean ok = zo_sample_light(&c, &dir, &dot_nl, it->state, it->light, &taken);
    it->samples = taken;
    if (!ok) return 0;
    it->color = c;
    it->direction = dir;
    it->dot_nl = dot_nl;
    return 1;
}

void iterator_release(zoLightIterator *it) {
    if (!it) return;
    it->state = nullptr;
    it->light = 0;
    it->index = it->count;
}

const zoShaderInterface kInterface = {
    ZO_SHADER_INTERFACE_VERSION,
    static_cast<int32_t>(sizeof(zoShaderInterface)),
    iterator_create,
    iterator_next_light,
    iterator_next_sample,
    iterator_release,
};

}  // namespace

HOST_API const zoShaderInterface *zo_get_shader_interface(void) {
    return &kInterface;
}
