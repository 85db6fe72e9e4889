// Records that the host application attaches to the scene (scene data on
// the render options, object data on objects, node data on instances) and
// the exported accessors through which any shader reaches them.
#ifndef KORSHADERS_FRAME_SCENEDATA_H
#define KORSHADERS_FRAME_SCENEDATA_H

#include <korshaders/host.h>
#include <stddef.h>

// Scene data, attached to the render options.
struct SceneData {
    int32_t materialEditor;      // 0: a material editor preview
    Color ambientColor;          // 4
    Color lightTint;             // 20
    int32_t twoSided;            // 36
    float gamma;                 // 40
    float rangeNear;             // 44
    float rangeFar;              // 48
    float physicalScale;         // 52
    float pixelAspect;           // 56
    int32_t energySwitch1;       // 60
    int32_t unused64[4];         // 64
    int32_t bakeHooks;           // 80
    int32_t energySwitch2;       // 84
    int32_t unused88;            // 88
    int32_t rendererGeometry;    // 92
    int32_t rotatedEnvironment;  // 96
};

// Object data, attached to each object. Arrays have the host's form: a
// start index and a count, then the slot of the first element; element k
// lies (start + k) elements past the slot.
struct ObjectData {
    Vector3 boxMin;         // 0
    Vector3 boxMax;         // 12
    int32_t channelStart;   // 24
    int32_t channelCount;   // 28
    int32_t channelMap[1];  // 32
    Tag particleData;       // 36
    int32_t unused40[8];    // 40
    int32_t faceStride;     // 72
    int32_t unused76;       // 76
    int32_t faceCount;      // 80
    int32_t unused84[4];    // 84
    int32_t faceTable;      // 100: byte position of the per-face table
    int32_t faceColumn;     // 104: byte position of the column word, -1: none
};

// Node data, attached to each instance.
struct NodeData {
    Color nodeColor;           // 0
    int32_t gbufferValue1;     // 16
    int32_t gbufferValue2;     // 20
    int32_t unused24[3];       // 24
    int32_t shadowLightStart;  // 36
    int32_t shadowLightCount;  // 40
    int32_t shadowLights[1];   // 44
    int32_t shadowsForAll;     // 48
    int32_t unused52[3];       // 52
    int32_t nodeIndex;         // 64
};

static_assert(offsetof(SceneData, bakeHooks) == 80, "scene data layout");
static_assert(offsetof(SceneData, rendererGeometry) == 92, "scene data layout");
static_assert(offsetof(SceneData, rotatedEnvironment) == 96, "scene data layout");
static_assert(offsetof(ObjectData, particleData) == 36, "object data layout");
static_assert(offsetof(ObjectData, faceStride) == 72, "object data layout");
static_assert(offsetof(ObjectData, faceCount) == 80, "object data layout");
static_assert(offsetof(ObjectData, faceColumn) == 104, "object data layout");
static_assert(offsetof(NodeData, shadowLights) == 44, "node data layout");
static_assert(offsetof(NodeData, nodeIndex) == 64, "node data layout");

#define KOR_DATA_EXPORT __attribute__((visibility("default")))

extern "C" {
KOR_DATA_EXPORT SceneData *GetSceneData(RenderState *state);
KOR_DATA_EXPORT ObjectData *GetObjectData(RenderState *state);
KOR_DATA_EXPORT ObjectData *GetObjectDataFromInstance(Tag instance);
KOR_DATA_EXPORT NodeData *GetNodeData(Tag instance);
KOR_DATA_EXPORT void *GetParticleData(RenderState *state, ObjectData *object);
KOR_DATA_EXPORT int GetMaterialID(RenderState *state);
KOR_DATA_EXPORT int GetFaceSmoothingGroup(RenderState *state);
KOR_DATA_EXPORT int GetParticleID(RenderState *state);
KOR_DATA_EXPORT void GetEdgeVisibility(RenderState *state, int32_t *edge0, int32_t *edge1,
                                       int32_t *edge2);
KOR_DATA_EXPORT void GetTangentBasisVectors(RenderState *state, Vector3 *tangent,
                                            Vector3 *binormal);
KOR_DATA_EXPORT int GetUVChannelIndexFromID(RenderState *state, ObjectData *object, int channel);
KOR_DATA_EXPORT int IsInstanceShadowMakerForLight(RenderState *state, NodeData *node);
}

namespace kor {
// Low 16 bits of the per-face word of `face` in the object data's face
// table, in the column the record names; 0 when there is none.
int faceWord(const ObjectData *object, int face);
}  // namespace kor

#endif
