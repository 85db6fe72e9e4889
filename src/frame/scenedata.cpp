// Access to the records that the host application attaches.
#include "scenedata.h"

#include "shader.h"

namespace {

void *data_block(Tag userdata) {
    if (!userdata) return nullptr;
    void *record = nullptr;
    if (!zo_query(ZO_Q_DATA_PARAM, nullptr, userdata, &record)) return nullptr;
    return record;
}

// Word `column` of the current face: false when the host has no per-face
// data or the column is absent.
bool face_column(RenderState *state, int column, int32_t *value) {
    zoFaceData face{};
    if (!state || !zo_query(ZO_Q_PRI_DATA, state, 0, &face)) return false;
    if (column >= face.columns || !face.column_index || !face.words) return false;
    const int32_t index = face.column_index[column];
    if (index < 0) return false;
    *value = face.words[index];
    return true;
}

}  // namespace

KOR_EXPORT SceneData *GetSceneData(RenderState *state) {
    if (!state || !state->options) return nullptr;
    return static_cast<SceneData *>(data_block(state->options->userdata));
}

KOR_EXPORT ObjectData *GetObjectData(RenderState *state) {
    Tag tag = 0;
    if (!zo_query(ZO_Q_OBJ_DATA, state, 0, &tag)) return nullptr;
    return static_cast<ObjectData *>(data_block(tag));
}

KOR_EXPORT ObjectData *GetObjectDataFromInstance(Tag instance) {
    if (!instance) return nullptr;
    auto *inst = static_cast<const zoInstanceRecord *>(zo_db_access(instance));
    if (!inst) return nullptr;
    const Tag object = inst->item;
    zo_db_unpin(instance);
    if (!object) return nullptr;
    auto *obj = static_cast<const zoObjectRecord *>(zo_db_access(object));
    if (!obj) return nullptr;
    const Tag userdata = obj->userdata;
    zo_db_unpin(object);
    return static_cast<ObjectData *>(data_block(userdata));
}

KOR_EXPORT NodeData *GetNodeData(Tag instance) {
    Tag tag = 0;
    if (!zo_query(ZO_Q_INST_DATA, nullptr, instance, &tag) || !tag) return nullptr;
    return static_cast<NodeData *>(data_block(tag));
}

KOR_EXPORT void *GetParticleData(RenderState *, ObjectData *object) {
    if (!object) return nullptr;
    return data_block(object->particleData);
}

KOR_EXPORT int GetMaterialID(RenderState *state) {
    int32_t word = 0;
    return face_column(state, 0, &word) ? (word & 0xFFFF) : 0;
}

KOR_EXPORT int GetFaceSmoothingGroup(RenderState *state) {
    int32_t word = 0;
    return face_column(state, 1, &word) ? word : 0;
}

KOR_EXPORT int GetParticleID(RenderState *state) {
    int32_t word = 0;
    return face_column(state, 2, &word) ? word : 0;
}

KOR_EXPORT void GetEdgeVisibility(RenderState *state, int32_t *edge0, int32_t *edge1,
                                  int32_t *edge2) {
    int32_t word = 0;
    const bool known = face_column(state, 0, &word);
    if (edge0) *edge0 = known ? (word >> 16) & 1 : 1;
    if (edge1) *edge1 = known ? (word >> 17) & 1 : 1;
    if (edge2) *edge2 = known ? (word >> 18) & 1 : 1;
}

KOR_EXPORT void GetTangentBasisVectors(RenderState *state, Vector3 *tangent, Vector3 *binormal) {
    Vector3 *out[2] = {tangent, binormal};
    for (int set = 0; set < 2; ++set) {
        if (!out[set]) continue;
        Vector3 v[3];
        if (!state || !zo_tri_vectors(state, ZO_TRI_TANGENTS, set, v)) {
            *out[set] = Vector3{0, 0, 0};
            continue;
        }
        const float *w = state->bary;
        *out[set] = Vector3{w[0] * v[0].x + w[1] * v[1].x + w[2] * v[2].x,
                            w[0] * v[0].y + w[1] * v[1].y + w[2] * v[2].y,
                            w[0] * v[0].z + w[1] * v[1].z + w[2] * v[2].z};
    }
}

KOR_EXPORT int GetUVChannelIndexFromID(RenderState *state, ObjectData *object, int channel) {
    if (!object) object = GetObjectData(state);
    if (!object) return -1;
    const int32_t *map = kor::arrayElement<const int32_t>(object, offsetof(ObjectData, channelMap),
                                                          object->channelStart);
    const SceneData *scene = GetSceneData(state);
    if (!scene || !scene->rendererGeometry) {
        if (channel >= 0 && channel < object->channelCount) return map[channel];
        return -1;
    }
    for (int k = 0; k < object->channelCount; ++k)
        if (map[k] == channel) return k;
    return -1;
}

KOR_EXPORT int IsInstanceShadowMakerForLight(RenderState *state, NodeData *node) {
    if (!node || node->shadowsForAll || !state || !state->light_instance) return 1;
    auto *light = static_cast<const zoInstanceRecord *>(zo_db_access(state->light_instance));
    if (!light) return 0;
    const int32_t id = light->id;
    zo_db_unpin(state->light_instance);
    const int32_t *lights = kor::arrayElement<const int32_t>(node, offsetof(NodeData, shadowLights),
                                                             node->shadowLightStart);
    for (int k = 0; k < node->shadowLightCount; ++k)
        if (lights[k] == id) return 1;
    return 0;
}

int kor::faceWord(const ObjectData *object, int face) {
    if (!object || face < 0 || face >= object->faceCount || object->faceColumn == -1) return 0;
    const char *base = reinterpret_cast<const char *>(object);
    const int32_t column = *reinterpret_cast<const int32_t *>(base + object->faceColumn);
    if (column == -1) return 0;
    const int32_t *table = reinterpret_cast<const int32_t *>(base + object->faceTable);
    return table[object->faceStride * face + column] & 0xFFFF;
}
