// Constant and placeholder shaders, the shader list and the material call.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "testhost/library.h"

using kortest::bind;
using kortest::fn;

namespace {

using Shader = zoBoolean (*)(void *, RenderState *, void *);

void expect_color(const Color &c, float r, float g, float b, float a) {
    EXPECT_FLOAT_EQ(c.r, r);
    EXPECT_FLOAT_EQ(c.g, g);
    EXPECT_FLOAT_EQ(c.b, b);
    EXPECT_FLOAT_EQ(c.a, a);
}

class Utility : public ::testing::Test {
  protected:
    void SetUp() override {
        bind('a');
        h().reset();
        state.camera = &camera;
        state.options = &options;
    }
    TestHostControl &h() { return kortest::host('a'); }
    Shader shader(const char *name) { return fn<Shader>(name); }

    zoCamera camera{};
    zoOptions options{};
    RenderState state{};
    Color result{9, 9, 9, 9};
};

TEST_F(Utility, ColorReadsItsParameterInPlaceOrEvaluated) {
    struct {
        Color color;
        int32_t ghost[4];
    } params{{0.1f, 0.2f, 0.3f, 0.4f}, {0, 0, 0, 0}};
    zoShaderRecord record{};
    state.shader = &record;
    ASSERT_TRUE(shader("kor_color")(&result, &state, &params));
    expect_color(result, 0.1f, 0.2f, 0.3f, 0.4f);

    // connected: the ghost word is set, the value comes from the host
    const Color connected{1, 0.5f, 0.25f, 1};
    record.ghost_offset = sizeof(Color);
    params.ghost[0] = 1;
    h().evaluated[&params.color] = &connected;
    ASSERT_TRUE(shader("kor_color")(&result, &state, &params));
    expect_color(result, 1, 0.5f, 0.25f, 1);

    // a ghost offset alone, with the word clear, reads in place
    params.ghost[0] = 0;
    ASSERT_TRUE(shader("kor_color")(&result, &state, &params));
    expect_color(result, 0.1f, 0.2f, 0.3f, 0.4f);
}

struct ShaderList {
    int32_t start, count;
    Tag storage[6];
};

TEST_F(Utility, ShaderListRunsEveryShaderInOrderOnOneResult) {
    h().call_type = ZO_CALL_TEXTURE;
    h().shaders[11] = {0, true, {1, 0, 0, 1}};        // writes, fails
    h().shaders[12] = {1, true, {0, 1, 0, 1}};        // succeeds
    h().shaders[13] = {0, true, {0, 0, 1, 1}};        // writes last, fails
    ShaderList list{2, 3, {99, 99, 11, 12, 13, 99}};  // elements from the start index on
    EXPECT_TRUE(shader("kor_ShaderList")(&result, &state, &list));
    expect_color(result, 0, 0, 1, 1);
    ASSERT_EQ(h().calls.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(h().calls[k].tag, Tag(11 + k));
        EXPECT_EQ(h().calls[k].type, ZO_CALL_TEXTURE);
    }
    h().shaders[12].ok = 0;
    EXPECT_FALSE(shader("kor_ShaderList")(&result, &state, &list));
}

// ---------------------------------------------------------------------------
// CallMaterial

using CallMaterialFn = zoBoolean (*)(Color *, RenderState *, Tag, int32_t *);

class MaterialCall : public Utility {
  protected:
    void SetUp() override {
        Utility::SetUp();
        call = fn<CallMaterialFn>("CallMaterial");
        h().db_types[kMaterial] = ZO_DB_MATERIAL;
        h().db_types[kPhenomenon] = ZO_DB_MATERIAL_PHENOMENON;
        h().user_slot = &slot;
        slot = words;
    }
    static constexpr Tag kMaterial = 50, kPhenomenon = 60;
    CallMaterialFn call = nullptr;
    int32_t words[2] = {0, 0};
    void *slot = nullptr;
};

TEST_F(MaterialCall, ResultIsClearedExceptForShadowPhotonAndLightmapRays) {
    h().db_types[70] = ZO_DB_TEXTURE;
    for (int type = 0; type <= 27; ++type) {
        result = {9, 9, 9, 9};
        state.type = type;
        call(&result, &state, 70, nullptr);
        const bool kept = type == 5 || (type >= 8 && type <= 15) || type == 18 || type == 19 ||
                          (type >= 21 && type <= 24) || type == 27;
        EXPECT_EQ(result.r, kept ? 9.0f : 0.0f) << "ray type " << type;
    }
}

TEST_F(MaterialCall, MaterialCallRunsTheMaterialShaderWithItsVolumeAndEnvironment) {
    h().material_shaders[ZO_Q_MTL_SHADER][kMaterial] = 501;
    h().material_shaders[ZO_Q_MTL_VOLUME][kMaterial] = 502;
    h().material_shaders[ZO_Q_MTL_ENVIRONMENT][kMaterial] = 503;
    h().shaders[501] = {1, true, {0.25f, 0.5f, 0.75f, 1}};
    state.environment = 7;
    EXPECT_TRUE(call(&result, &state, kMaterial, nullptr));
    expect_color(result, 0.25f, 0.5f, 0.75f, 1);
    ASSERT_EQ(h().calls.size(), 1u);
    EXPECT_EQ(h().calls[0].tag, 501u);
    EXPECT_EQ(h().calls[0].type, ZO_CALL_MATERIAL);
    EXPECT_EQ(h().calls[0].state_environment, 503u);
    EXPECT_EQ(h().calls[0].state_volume, 502u);
    EXPECT_EQ(state.environment, 7u) << "environment restored";
    EXPECT_EQ(state.volume, 502u) << "volume stays";
}

TEST_F(MaterialCall, SubShaderByCallType) {
    struct Case {
        int call_type;
        int query;
    };
    for (Case c :
         {Case{ZO_CALL_SHADOW, ZO_Q_MTL_SHADOW}, Case{ZO_CALL_VOLUME, ZO_Q_MTL_VOLUME},
          Case{ZO_CALL_PHOTON, ZO_Q_MTL_PHOTON}, Case{ZO_CALL_LIGHTMAP, ZO_Q_MTL_LIGHTMAP},
          Case{ZO_CALL_PHOTONVOL, ZO_Q_MTL_PHOTONVOL}, Case{ZO_CALL_CONTOUR, ZO_Q_MTL_CONTOUR},
          Case{ZO_CALL_DISPLACE, ZO_Q_MTL_DISPLACE},
          Case{ZO_CALL_ENVIRONMENT, ZO_Q_MTL_ENVIRONMENT}}) {
        SCOPED_TRACE(c.call_type);
        h().reset();
        h().db_types[kMaterial] = ZO_DB_MATERIAL;
        h().call_type = c.call_type;
        h().material_shaders[c.query][kMaterial] = 600 + c.query;
        h().shaders[600 + c.query] = {1, true, {1, 1, 1, 1}};
        EXPECT_TRUE(call(&result, &state, kMaterial, nullptr));
        ASSERT_EQ(h().calls.size(), 1u);
        EXPECT_EQ(h().calls[0].tag, Tag(600 + c.query));
        EXPECT_EQ(h().calls[0].type, c.call_type);
    }
}

TEST_F(MaterialCall, PhenomenonRunsTheHostMaterialCallWithTheMaterialField) {
    state.material = 5;
    h().material_calls["zo_call_material"] = {1, true, {0.5f, 0, 0, 1}};
    EXPECT_TRUE(call(&result, &state, kPhenomenon, nullptr));
    expect_color(result, 0.5f, 0, 0, 1);
    ASSERT_EQ(h().calls.size(), 1u);
    EXPECT_EQ(h().calls[0].function, "zo_call_material");
    EXPECT_EQ(h().calls[0].state_material, kPhenomenon);
    EXPECT_EQ(state.material, 5u);

    struct Case {
        int call_type;
        const char *function;
    };
    for (Case c : {Case{ZO_CALL_SHADOW, "zo_call_shadow_material"},
                   Case{ZO_CALL_VOLUME, "zo_call_volume_material"},
                   Case{ZO_CALL_PHOTON, "zo_call_photon_material"},
                   Case{ZO_CALL_PHOTONVOL, "zo_call_photonvol_material"},
                   Case{ZO_CALL_ENVIRONMENT, "zo_call_environment_material"}}) {
        h().calls.clear();
        h().call_type = c.call_type;
        call(&result, &state, kPhenomenon, nullptr);
        ASSERT_EQ(h().calls.size(), 1u);
        EXPECT_EQ(h().calls[0].function, c.function);
        EXPECT_EQ(state.material, 5u);
    }
}

}  // namespace
