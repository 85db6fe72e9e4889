// Fallback material and shadow shaders.
#include <gtest/gtest.h>

#include "illum.h"
#include "internal/internal.h"
#include "scenedata.h"
#include "testhost/testhost_illum.h"

namespace {

struct DefaultParams {
    Color ambient{1, 1, 1, 1};
    Color specular{0, 0, 0, 1};
    float exponent = 20;
};

}  // namespace

extern "C" {
zoBoolean kor_DefaultShadow(Color *, RenderState *, void *);
zoBoolean kor_DefaultMaterial(Color *, RenderState *, DefaultParams *);
}

namespace {

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}

class Fallback : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        state.options = &options;
        state.instance = 40;
        state.normal = {0, 0, 1};
        state.dir = {0, 0, -1};
        state.dot_nd = -1;
        // the instance is lit by light 500
        list.count = 1;
        list.first = 0;
        list.lights[0] = 500;
        internal::scene().light_lists[40] = 400;
        internal::host().data_blocks[400] = &list;
    }
    void attach_scene_data() {
        options.userdata = 9;
        internal::host().data_blocks[9] = &scene;
    }

    zoOptions options{};
    RenderState state{};
    SceneData scene{};
    IllumLightList list{};
    DefaultParams params;
    Color result{0.5f, 0.5f, 0.5f, 1};
};

TEST_F(Fallback, ShadowBlocksFrontFacesInShadowModesOnly) {
    options.shadow = 0;
    EXPECT_TRUE(kor_DefaultShadow(&result, &state, nullptr));
    EXPECT_EQ(result.r, 0.5f) << "no shadowing";
    options.shadow = ZO_SHADOW_ON;
    EXPECT_FALSE(kor_DefaultShadow(&result, &state, nullptr));
    EXPECT_EQ(result.r + result.a, 0.0f) << "blocked";
    result = {0.5f, 0.5f, 0.5f, 1};
    options.shadow = ZO_SHADOW_SORTED;
    state.normal = {0, 0, -1};  // a back face
    EXPECT_TRUE(kor_DefaultShadow(&result, &state, nullptr));
    EXPECT_EQ(result.r, 0.5f) << "back faces cast no shadow";
    attach_scene_data();
    scene.twoSided = 1;
    EXPECT_FALSE(kor_DefaultShadow(&result, &state, nullptr)) << "unless everything is two-sided";
}

TEST_F(Fallback, NodesThatCastNoShadowLetLightThrough) {
    options.shadow = ZO_SHADOW_ON;
    NodeData node{};
    node.shadowsForAll = 0;
    node.shadowLightCount = 0;
    internal::scene().instance_data[40] = 401;  // the occluder's node data
    internal::host().data_blocks[401] = &node;
    state.light_instance = 70;
    zoInstanceRecord light{};
    light.id = 3;
    internal::scene().instances[70] = light;
    EXPECT_TRUE(kor_DefaultShadow(&result, &state, nullptr));
    node.shadowsForAll = 1;
    EXPECT_FALSE(kor_DefaultShadow(&result, &state, nullptr));
}

TEST_F(Fallback, MaterialWithoutSceneDataUsesGreyAmbientLight) {
    EXPECT_TRUE(kor_DefaultMaterial(&result, &state, &params));
    // ambient 1 x ambient light 0.7, times the 0.7 grey node colour
    EXPECT_NEAR(result.r, 0.49f, 1e-6);
    EXPECT_EQ(result.a, 1.0f);
}

TEST_F(Fallback, MaterialSumsDiffuseAndSpecularLight) {
    attach_scene_data();
    scene.ambientColor = {0.1f, 0.2f, 0.3f, 1};
    TestLightSample s;
    s.color = {1, 1, 1, 1};
    s.dot_nl = 0.5f;
    s.dir = {0, 0, 1};  // along the mirror direction of a head-on ray
    illum().lights[500].samples = {s};
    params.specular = {0.5f, 0.5f, 0.5f, 1};
    EXPECT_TRUE(kor_DefaultMaterial(&result, &state, &params));
    // (ambient + diffuse) x node grey + specular x cosine x (R.L)^e
    EXPECT_NEAR(result.r, (0.1f + 0.5f) * 0.7f + 0.5f * 0.5f, 1e-5);
    EXPECT_NEAR(result.b, (0.3f + 0.5f) * 0.7f + 0.5f * 0.5f, 1e-5);

    // two samples of one light are averaged
    illum().lights[500].samples = {s, s};
    EXPECT_TRUE(kor_DefaultMaterial(&result, &state, &params));
    EXPECT_NEAR(result.r, (0.1f + 0.5f) * 0.7f + 0.5f * 0.5f, 1e-5);

    // an ambient-only light adds to the ambient light
    s.writes_record = true;
    s.ambient_only = 1;
    illum().lights[500].samples = {s};
    EXPECT_TRUE(kor_DefaultMaterial(&result, &state, &params));
    EXPECT_NEAR(result.r, (0.1f + 1.0f) * 0.7f, 1e-5);
}

TEST_F(Fallback, BackFacesAreSeenThrough) {
    state.inv_normal = 1;
    illum().trace_color = {0.2f, 0.3f, 0.4f, 1};
    EXPECT_TRUE(kor_DefaultMaterial(&result, &state, &params));
    EXPECT_EQ(illum().continue_traces, 1);
    EXPECT_EQ(result.g, 0.3f);
    // two-sided scenes shade them
    attach_scene_data();
    scene.twoSided = 1;
    EXPECT_TRUE(kor_DefaultMaterial(&result, &state, &params));
    EXPECT_EQ(illum().continue_traces, 1);
}

TEST_F(Fallback, ShadowRaysGetTheShadowShader) {
    state.type = ZO_RAY_SHADOW;
    options.shadow = ZO_SHADOW_ON;
    EXPECT_FALSE(kor_DefaultMaterial(&result, &state, &params));
}

}  // namespace
