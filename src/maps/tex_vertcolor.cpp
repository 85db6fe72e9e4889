// kor_VertexColor: the colour of a map channel (usually the vertex colour
// channel) at the shaded point.
#include <string.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"
#include "scenedata.h"

namespace {

constexpr const char *kModule = "tex_vertcolor";

// Instance record: three words, the first the default output mode.
struct VertexColorInstance {
    int32_t defaultMode;
    int32_t unused[2];
};

}  // namespace

KOR_EXPORT zoBoolean kor_VertexColor(Color *result, RenderState *state, VertexColorParams *params,
                                     int *mode) {
    using namespace kor;
    if (!result) return 0;
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    const int32_t channel = eval(state, &params->mapChannel);
    const int32_t sub = eval(state, &params->subChannel);
    writeGBufferId(state, eval(state, &params->gbufferId));
    int m = outputMode(mode);
    if (!mode) {
        void **slot = user_slot(state);
        if (slot && *slot) m = static_cast<const VertexColorInstance *>(*slot)->defaultMode;
    }
    if (m != kMapColor && m != kMapGrey) {
        writeVector(result, kZero, 1.0f);
        return 1;
    }
    ObjectData *object = GetObjectData(state);
    if (!object) {
        // no object data: the point in camera space, scaled
        Vector3 p = state->point;
        zo_point_to_camera(&p, state, &state->point);
        *result = Color{p.x * 100.0f, p.y * 100.0f, p.z * 100.0f, 1.0f};
        return 1;
    }
    const int index = GetUVChannelIndexFromID(state, object, channel);
    if (index < 0 || !state->tex_list || index >= state->tex_count) {
        *result = Color{0.0f, 0.0f, 0.0f, 1.0f};
        return 1;
    }
    const Vector3 t = state->tex_list[index];
    switch (sub) {
        case 1: *result = Color{t.x, t.x, t.x, 1.0f}; break;
        case 2: *result = Color{t.y, t.y, t.y, 1.0f}; break;
        case 3: *result = Color{t.z, t.z, t.z, 1.0f}; break;
        default: *result = Color{t.x, t.y, t.z, 1.0f}; break;
    }
    return 1;
}

KOR_SHADER_INIT(kor_VertexColor) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = zo_mem_int_allocate(kModule, __LINE__, sizeof(VertexColorInstance));
    if (*slot) memset(*slot, 0, sizeof(VertexColorInstance));
}

KOR_SHADER_EXIT(kor_VertexColor) {
    if (!params) return;
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}
