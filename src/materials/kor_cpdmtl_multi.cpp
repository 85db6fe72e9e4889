// kor_MultiMaterial: a sub-material per face material id, looked up in a
// table that each instance builds once.
#include <string.h>

#include "kor_cpdmtl.h"
#include "scenedata.h"
#include "shader.h"

namespace {

using namespace kor::cpd;

struct MultiParams {
    kor::ParamArray<Tag> materials;
    kor::ParamArray<zoBoolean> materialsOn;
    kor::ParamArray<int32_t> ids;
    int32_t materialId;
};

// The instance block: the material call's warn-once words and the table
// from material id to sub-material.
struct MultiBlock {
    WarnWords warn;
    int32_t size;
    Tag *table;
};

// Face material ids are 16-bit, so a table never needs more entries.
constexpr int32_t kMaxTable = 65536;

// The table entry for the face being shaded; 0 when there is none.
Tag entry(RenderState *state, const MultiBlock *block) {
    if (!block || block->size <= 0 || !block->table) return 0;
    int id = GetMaterialID(state);
    if (id < 0) id = 0;
    if (id >= block->size) id %= block->size;
    return block->table[id];
}

void build(RenderState *state, MultiParams *p, MultiBlock *block) {
    const int32_t mstart = kor::eval_value(state, &p->materials.start);
    const int32_t ostart = kor::eval_value(state, &p->materialsOn.start);
    const int32_t istart = kor::eval_value(state, &p->ids.start);
    const int32_t idCount = kor::eval_value(state, &p->ids.count);
    int32_t count = kor::eval_value(state, &p->materials.count);
    if (kor::eval_value(state, &p->materialsOn.count) < count)
        count = kor::eval_value(state, &p->materialsOn.count);
    if (idCount < count) count = idCount;

    int32_t largest = -1;
    for (int32_t k = 0; k < idCount; ++k) {
        const int32_t id = kor::eval_value(state, &p->ids[istart + k]);
        if (id > largest) largest = id;
    }
    int32_t size = largest + 1;
    if (size > kMaxTable) size = kMaxTable;
    if (size <= 0) return;
    block->table = static_cast<Tag *>(
        zo_mem_int_allocate(kModule, __LINE__, size * static_cast<int>(sizeof(Tag))));
    if (!block->table) return;
    memset(block->table, 0, size * sizeof(Tag));
    block->size = size;
    for (int32_t k = count - 1; k >= 0; --k) {
        if (!kor::eval_value(state, &p->materialsOn[ostart + k])) continue;
        const int32_t id = kor::eval_value(state, &p->ids[istart + k]);
        if (id < 0 || id >= size) continue;
        block->table[id] = kor::eval_value(state, &p->materials[mstart + k]);
    }
}

void init(RenderState *state, void *params, zoBoolean *request) {
    auto *block =
        static_cast<MultiBlock *>(initInstance(state, params, request, sizeof(MultiBlock)));
    if (block) build(state, static_cast<MultiParams *>(params), block);
}

void exit(RenderState *state, void *params) {
    if (!params) return;
    if (auto *block = static_cast<MultiBlock *>(instanceBlock(state))) {
        if (block->table) zo_mem_int_release(kModule, __LINE__, block->table);
        block->table = nullptr;
        block->size = 0;
    }
    exitInstance(state, params);
}

}  // namespace

KOR_EXPORT zoBoolean kor_MultiMaterial(Color *result, RenderState *state, MultiParams *p) {
    if (!result || !state || !p) return 0;
    writeMaterialId(state, kor::eval_value(state, &p->materialId));
    const RayKind kind = rayKind(state);
    auto *block = static_cast<MultiBlock *>(instanceBlock(state));
    const Tag material = entry(state, block);

    if (kind == RayKind::Photon)
        return material ? CallMaterial(result, state, material, block->warn.words) : 0;
    if (!material) {
        *result = kor::kBlack;
    } else if (!runMaterial(result, state, material, *result, block->warn.words)) {
        return 0;
    }
    return answer(*result, kind);
}

KOR_EXPORT zoBoolean kor_MultiMaterial_Contour(void *result, void *infoNear, void *infoFar,
                                               RenderState *state, MultiParams *p) {
    if (!state || !p) return 0;
    const Tag material = entry(state, static_cast<MultiBlock *>(instanceBlock(state)));
    if (!material) return 1;
    return contour(result, infoNear, infoFar, state, material);
}

KOR_SHADER_INIT(kor_MultiMaterial) {
    init(state, params, request);
}
KOR_SHADER_EXIT(kor_MultiMaterial) {
    exit(state, params);
}
KOR_SHADER_INIT(kor_MultiMaterial_Contour) {
    init(state, params, request);
}
KOR_SHADER_EXIT(kor_MultiMaterial_Contour) {
    exit(state, params);
}
