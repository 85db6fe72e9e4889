// kor_MultiMaterial: a sub-material per face material id, looked up in a
// table that each instance builds once.
#include <stdlib.h>
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

// One used entry of the table from material id to sub-material.
struct MultiEntry {
    int32_t id;
    int32_t order;  // place in the parameter list
    Tag material;
};

// The instance block: the material call's warn-once words and the table
// from material id to sub-material. The table has `size` = the largest
// listed id + 1 entries; only the `count` filled ones are kept, sorted by id,
// so that any id a face may carry costs no more than the list it came from.
struct MultiBlock {
    WarnWords warn;
    int64_t size;
    int32_t count;
    MultiEntry *entries;
};

// The table entry for the face being shaded; 0 when there is none.
Tag entry(RenderState *state, const MultiBlock *block) {
    if (!block || block->size <= 0 || !block->entries) return 0;
    int64_t id = GetMaterialID(state);
    if (id < 0) id = 0;
    if (id >= block->size) id %= block->size;
    int32_t lo = 0, hi = block->count;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (block->entries[mid].id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < block->count && block->entries[lo].id == id ? block->entries[lo].material : 0;
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

    int64_t largest = -1;
    for (int32_t k = 0; k < idCount; ++k) {
        const int32_t id = kor::eval_value(state, &p->ids[istart + k]);
        if (id > largest) largest = id;
    }
    if (largest < 0 || count <= 0) return;
    block->entries = static_cast<MultiEntry *>(
        zo_mem_int_allocate(kModule, __LINE__, count * static_cast<int>(sizeof(MultiEntry))));
    if (!block->entries) return;
    block->size = largest + 1;
    // sorted by id, then by place in the list: the first listing of an id wins
    for (int32_t k = 0; k < count; ++k) {
        if (!kor::eval_value(state, &p->materialsOn[ostart + k])) continue;
        const int32_t id = kor::eval_value(state, &p->ids[istart + k]);
        if (id >= 0)
            block->entries[block->count++] = {id, k,
                                              kor::eval_value(state, &p->materials[mstart + k])};
    }
    qsort(block->entries, block->count, sizeof(MultiEntry), [](const void *a, const void *b) {
        const MultiEntry &x = *static_cast<const MultiEntry *>(a);
        const MultiEntry &y = *static_cast<const MultiEntry *>(b);
        if (x.id != y.id) return x.id < y.id ? -1 : 1;
        return (x.order > y.order) - (x.order < y.order);
    });
    int32_t kept = 0;
    for (int32_t k = 0; k < block->count; ++k)
        if (kept == 0 || block->entries[kept - 1].id != block->entries[k].id)
            block->entries[kept++] = block->entries[k];
    block->count = kept;
}

void init(RenderState *state, void *params, zoBoolean *request) {
    auto *block =
        static_cast<MultiBlock *>(initInstance(state, params, request, sizeof(MultiBlock)));
    if (block) build(state, static_cast<MultiParams *>(params), block);
}

void exit(RenderState *state, void *params) {
    if (!params) return;
    if (auto *block = static_cast<MultiBlock *>(instanceBlock(state))) {
        if (block->entries) zo_mem_int_release(kModule, __LINE__, block->entries);
        block->entries = nullptr;
        block->size = 0;
        block->count = 0;
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
