// The scene, object and node data accessors on a scene that attaches them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "scenedata.h"
#include "testhost/library.h"
#include "testhost/testhost_scene.h"

using kortest::fn;

namespace {

TestScene &scene() {
    return *reinterpret_cast<TestScene *(*)()>(
        dlsym(kortest::host_module('a'), "testhost_scene"))();
}

// A data block laid out as the host lays out a record with arrays: the
// fixed record, then the storage of its arrays.
struct ObjectBlock {
    ObjectData data;
    int32_t storage[16];
};

struct NodeBlock {
    NodeData data;
    int32_t storage[8];
};

class SceneDataAccess : public ::testing::Test {
protected:
    void SetUp() override {
        kortest::bind('a');
        kortest::host('a').reset();
        scene().reset();
        state.options = &options;
        std::memset(&object, 0, sizeof object);
        std::memset(&node, 0, sizeof node);
        std::memset(&scene_data, 0, sizeof scene_data);
    }

    // channel map entries in the array storage, start index set so that
    // element 0 lands on storage[0]
    void set_channel_map(std::vector<int32_t> entries) {
        object.data.channelStart =
            static_cast<int32_t>((reinterpret_cast<char *>(object.storage) -
                                  reinterpret_cast<char *>(object.data.channelMap)) /
                                 4);
        object.data.channelCount = static_cast<int32_t>(entries.size());
        for (size_t k = 0; k < entries.size(); ++k) object.storage[k] = entries[k];
    }

    void attach_object_data() {
        scene().object_data = 300;
        kortest::host('a').data_blocks[300] = &object;
    }

    void attach_scene_data() {
        options.userdata = 200;
        kortest::host('a').data_blocks[200] = &scene_data;
    }

    zoOptions options{};
    RenderState state{};
    ObjectBlock object;
    NodeBlock node;
    SceneData scene_data;
};

TEST_F(SceneDataAccess, MissingRecordsGiveNothing) {
    EXPECT_EQ(fn<SceneData *(*)(RenderState *)>("GetSceneData")(&state), nullptr);
    EXPECT_EQ(fn<ObjectData *(*)(RenderState *)>("GetObjectData")(&state), nullptr);
    EXPECT_EQ(fn<NodeData *(*)(Tag)>("GetNodeData")(5), nullptr);
    EXPECT_EQ(fn<ObjectData *(*)(Tag)>("GetObjectDataFromInstance")(5), nullptr);
    EXPECT_EQ(fn<int (*)(RenderState *, ObjectData *, int)>("GetUVChannelIndexFromID")(&state, nullptr, 0), -1);
    EXPECT_EQ(fn<int (*)(RenderState *)>("GetMaterialID")(&state), 0);
    // a user-data tag whose block the host does not know
    options.userdata = 9;
    EXPECT_EQ(fn<SceneData *(*)(RenderState *)>("GetSceneData")(&state), nullptr);
}

TEST_F(SceneDataAccess, RecordsAreFoundThroughTheirTags) {
    attach_scene_data();
    attach_object_data();
    scene().instance_data[40] = 400;
    kortest::host('a').data_blocks[400] = &node;
    EXPECT_EQ(fn<SceneData *(*)(RenderState *)>("GetSceneData")(&state), &scene_data);
    EXPECT_EQ(fn<ObjectData *(*)(RenderState *)>("GetObjectData")(&state), &object.data);
    EXPECT_EQ(fn<NodeData *(*)(Tag)>("GetNodeData")(40), &node.data);
    scene().instance_data[41] = 0;
    EXPECT_EQ(fn<NodeData *(*)(Tag)>("GetNodeData")(41), nullptr);

    // particle record named by the object data
    int particle = 7;
    kortest::host('a').data_blocks[500] = &particle;
    object.data.particleData = 500;
    EXPECT_EQ(fn<void *(*)(RenderState *, ObjectData *)>("GetParticleData")(&state, &object.data),
              &particle);
}

TEST_F(SceneDataAccess, ObjectDataFromInstanceWalksInstanceAndObjectAndUnpinsBoth) {
    zoInstanceRecord inst{};
    inst.item = 60;
    zoObjectRecord obj{};
    obj.userdata = 300;
    scene().instances[50] = inst;
    scene().objects[60] = obj;
    kortest::host('a').data_blocks[300] = &object;
    EXPECT_EQ(fn<ObjectData *(*)(Tag)>("GetObjectDataFromInstance")(50), &object.data);
    EXPECT_EQ(scene().pins, 2);
    EXPECT_EQ(scene().unpins, 2);
}

TEST_F(SceneDataAccess, ChannelIndexByPositionOrByValue) {
    auto index = fn<int (*)(RenderState *, ObjectData *, int)>("GetUVChannelIndexFromID");
    set_channel_map({5, 3, 9});
    // by position: entry k is the texture space of map channel k
    EXPECT_EQ(index(&state, &object.data, 0), 5);
    EXPECT_EQ(index(&state, &object.data, 2), 9);
    EXPECT_EQ(index(&state, &object.data, 3), -1) << "channel equal to the count";
    EXPECT_EQ(index(&state, &object.data, -1), -1);
    // the object data is fetched when none is given
    attach_object_data();
    EXPECT_EQ(index(&state, nullptr, 1), 3);
    // renderer geometry: position of the first entry equal to the channel
    attach_scene_data();
    scene_data.rendererGeometry = 1;
    EXPECT_EQ(index(&state, &object.data, 9), 2);
    EXPECT_EQ(index(&state, &object.data, 3), 1);
    EXPECT_EQ(index(&state, &object.data, 0), -1);
}

TEST_F(SceneDataAccess, PerFaceColumns) {
    auto material = fn<int (*)(RenderState *)>("GetMaterialID");
    auto smoothing = fn<int (*)(RenderState *)>("GetFaceSmoothingGroup");
    auto particle = fn<int (*)(RenderState *)>("GetParticleID");
    auto edges = fn<void (*)(RenderState *, int32_t *, int32_t *, int32_t *)>("GetEdgeVisibility");
    int32_t e[3] = {-1, -1, -1};

    // without per-face data every edge is visible
    edges(&state, &e[0], &e[1], &e[2]);
    EXPECT_EQ(e[0] + e[1] + e[2], 3);

    scene().has_face_data = true;
    // column 0 at word 2, column 1 at word 0, column 2 absent
    scene().face_columns = {2, 0, -1};
    scene().face_words = {17, 99, (1 << 16) | (0 << 17) | (1 << 18) | 0x2345 | (0x7 << 20)};
    EXPECT_EQ(material(&state), 0x2345);
    EXPECT_EQ(smoothing(&state), 17);
    EXPECT_EQ(particle(&state), 0) << "absent column";
    edges(&state, &e[0], &e[1], &e[2]);
    EXPECT_EQ(e[0], 1);
    EXPECT_EQ(e[1], 0);
    EXPECT_EQ(e[2], 1);

    scene().face_columns = {2, 0, 1};
    EXPECT_EQ(particle(&state), 99);
    scene().face_columns = {2};  // one column only
    EXPECT_EQ(smoothing(&state), 0);
    EXPECT_EQ(particle(&state), 0);
}

TEST_F(SceneDataAccess, TangentsAreBlendedByTheBarycentricWeights) {
    auto tangents = fn<void (*)(RenderState *, Vector3 *, Vector3 *)>("GetTangentBasisVectors");
    Vector3 t{9, 9, 9}, b{9, 9, 9};
    tangents(&state, &t, &b);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(b.z, 0);

    scene().triangles[{ZO_TRI_TANGENTS, 0}] = {Vector3{1, 0, 0}, Vector3{0, 1, 0}, Vector3{0, 0, 1}};
    scene().triangles[{ZO_TRI_TANGENTS, 1}] = {Vector3{2, 0, 0}, Vector3{2, 0, 0}, Vector3{0, 4, 0}};
    state.bary[0] = 0.5f;
    state.bary[1] = 0.25f;
    state.bary[2] = 0.25f;
    tangents(&state, &t, &b);
    EXPECT_FLOAT_EQ(t.x, 0.5f);
    EXPECT_FLOAT_EQ(t.y, 0.25f);
    EXPECT_FLOAT_EQ(t.z, 0.25f);
    EXPECT_FLOAT_EQ(b.x, 1.5f);
    EXPECT_FLOAT_EQ(b.y, 1.0f);
}

TEST_F(SceneDataAccess, ShadowMakerForLight) {
    auto maker = fn<int (*)(RenderState *, NodeData *)>("IsInstanceShadowMakerForLight");
    zoInstanceRecord light{};
    light.id = 42;
    scene().instances[70] = light;
    node.data.shadowLightStart = static_cast<int32_t>(
        (reinterpret_cast<char *>(node.storage) - reinterpret_cast<char *>(node.data.shadowLights)) / 4);
    node.data.shadowLightCount = 2;
    node.storage[0] = 7;
    node.storage[1] = 42;

    EXPECT_EQ(maker(&state, &node.data), 1) << "not sampling a light";
    state.light_instance = 70;
    EXPECT_EQ(maker(&state, &node.data), 1) << "listed";
    node.storage[1] = 43;
    EXPECT_EQ(maker(&state, &node.data), 0) << "not listed";
    node.data.shadowsForAll = 1;
    EXPECT_EQ(maker(&state, &node.data), 1) << "shadows for all";
}

}  // namespace
