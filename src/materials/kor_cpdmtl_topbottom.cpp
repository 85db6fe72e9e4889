// kor_TopBottomMaterial: one material where the normal points up, another
// where it points down, blended across a band around the dividing height.
#include <string.h>

#include "kor_cpdmtl.h"
#include "kor_rendelem.h"
#include "shader.h"

namespace {

using namespace kor::cpd;

struct TopBottomParams {
    Tag topMaterial;
    Tag bottomMaterial;
    zoBoolean topOn;
    zoBoolean bottomOn;
    float blend;     // percent
    float position;  // percent
    zoBoolean localCoordinates;
    int32_t materialId;
};

// The calling thread's copy of the element results between the two runs.
struct ElementBuffer {
    Color *colors;
    int32_t capacity;  // in Colors
};

struct Setup {
    Tag top, bottom;
    float band;    // half width of the blend zone
    float divide;  // height of the divide, -1 .. 1
    float z;       // the normal's height
};

Setup setup(RenderState *state, const TopBottomParams *p) {
    Setup s;
    s.top = present(kor::eval_value(state, &p->topMaterial), kor::eval_value(state, &p->topOn));
    s.bottom =
        present(kor::eval_value(state, &p->bottomMaterial), kor::eval_value(state, &p->bottomOn));
    s.band = kor::eval_value(state, &p->blend) / 100.0f;
    s.divide = kor::eval_value(state, &p->position) / 50.0f - 1.0f;
    Vector3 n;
    if (kor::eval_value(state, &p->localCoordinates))
        zo_vector_to_object(&n, state, &state->normal);
    else
        zo_vector_to_world(&n, state, &state->normal);
    s.z = n.z;
    return s;
}

// Room for `count` element colours in the thread's buffer, or null.
Color *element_buffer(RenderState *state, int32_t count) {
    auto *buffer = static_cast<ElementBuffer *>(
        kor::thread_block(state, kModule, __LINE__, sizeof(ElementBuffer)));
    if (!buffer) return nullptr;
    if (buffer->capacity < count) {
        if (buffer->colors) zo_mem_int_release(kModule, __LINE__, buffer->colors);
        buffer->colors = static_cast<Color *>(
            zo_mem_int_allocate(kModule, __LINE__, count * static_cast<int>(sizeof(Color))));
        buffer->capacity = buffer->colors ? count : 0;
    }
    return buffer->colors;
}

void zero(Color *results, int32_t count) {
    for (int32_t k = 0; k < count; ++k) results[k] = kor::kBlack;
}

}  // namespace

KOR_EXPORT zoBoolean kor_TopBottomMaterial(Color *result, RenderState *state, TopBottomParams *p) {
    if (!result || !state || !p) return 0;
    writeMaterialId(state, kor::eval_value(state, &p->materialId));
    const RayKind kind = rayKind(state);
    const Setup s = setup(state, p);
    const float t = s.band > 0.0f ? ((s.z - s.divide) + s.band) / (2.0f * s.band) : 0.0f;

    if (kind == RayKind::Photon) {
        if (s.z > s.divide + s.band) return s.top ? CallMaterial(result, state, s.top, nullptr) : 0;
        if (s.z < s.divide - s.band)
            return s.bottom ? CallMaterial(result, state, s.bottom, nullptr) : 0;
        return choose(result, state, t, s.top, s.bottom);
    }

    const Color incoming = *result;
    if (s.z > s.divide + s.band) {
        runMaterial(result, state, s.top, incoming);
    } else if (s.z < s.divide - s.band) {
        runMaterial(result, state, s.bottom, incoming);
    } else if (!s.top && !s.bottom) {
        *result = kor::kBlack;
    } else {
        int32_t count = 0;
        Color *elements = nullptr;
        if (kind != RayKind::Shadow) elements = kor_GetRenderElementResults(state, &count);
        if (count <= 0) elements = nullptr;
        RenderState copy = *state;
        Color top, bottom;
        if (!runMaterial(&top, state, s.top, incoming) && elements) zero(elements, count);
        Color *kept = elements ? element_buffer(state, count) : nullptr;
        if (kept) memcpy(kept, elements, count * sizeof(Color));
        if (!runMaterial(&bottom, &copy, s.bottom, incoming) && elements) zero(elements, count);
        if (kept)
            for (int32_t k = 0; k < count; ++k) elements[k] = mix(elements[k], kept[k], 1.0f - t);
        *result = mix(bottom, top, 1.0f - t);
    }
    return answer(*result, kind);
}

KOR_EXPORT zoBoolean kor_TopBottomMaterial_Contour(void *result, void *infoNear, void *infoFar,
                                                   RenderState *state, TopBottomParams *p) {
    if (!state || !p) return 0;
    const Setup s = setup(state, p);
    return contour(result, infoNear, infoFar, state, s.z <= s.divide ? s.bottom : s.top);
}

namespace {

void release_buffers(RenderState *state) {
    kor::for_each_thread_block(state, [](void *block) {
        auto *buffer = static_cast<ElementBuffer *>(block);
        if (buffer->colors) zo_mem_int_release(kModule, __LINE__, buffer->colors);
        zo_mem_int_release(kModule, __LINE__, buffer);
    });
}

}  // namespace

KOR_SHADER_INIT(kor_TopBottomMaterial) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_TopBottomMaterial) {
    if (params) release_buffers(state);
    exitInstance(state, params);
}
KOR_SHADER_INIT(kor_TopBottomMaterial_Contour) {
    initInstance(state, params, request, sizeof(WarnWords));
}
KOR_SHADER_EXIT(kor_TopBottomMaterial_Contour) {
    exitInstance(state, params);
}
