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

TEST_F(Utility, PassthruCopiesTwoWordsAsTheyStand) {
    int32_t params[2] = {-7, 123456};
    int32_t out[4] = {1, 1, 1, 1};
    zoShaderRecord record{};
    record.ghost_offset = 8;  // never evaluated
    state.shader = &record;
    ASSERT_TRUE(shader("kor_passthru")(out, &state, params));
    EXPECT_EQ(out[0], -7);
    EXPECT_EQ(out[1], 123456);
    EXPECT_EQ(out[2], 1);
}

TEST_F(Utility, PlaceholdersWriteTheirColours) {
    int dummy = 0;
    struct Case {
        const char *name;
        Color expected;
    };
    for (Case c : {Case{"kor_empty", {0, 0, 0, 1}}, Case{"kor_unknown", {1, 1, 1, 0}},
                   Case{"kor_UnknownMaterial", {1, 1, 1, 0}},
                   Case{"kor_procedural_dummy", {0.7f, 0.7f, 0.7f, 1}},
                   Case{"kor_dummy", {0, 0, 0, 1}}, Case{"GlintTools", {0, 0, 0, 1}}}) {
        SCOPED_TRACE(c.name);
        result = {9, 9, 9, 9};
        ASSERT_TRUE(shader(c.name)(&result, &state, &dummy));
        expect_color(result, c.expected.r, c.expected.g, c.expected.b, c.expected.a);
        result = {9, 9, 9, 9};
        ASSERT_TRUE(shader(c.name)(&result, nullptr, &dummy));  // a record alone is enough
        expect_color(result, c.expected.r, c.expected.g, c.expected.b, c.expected.a);
    }
}

TEST_F(Utility, EmptyCallsOfPlaceholdersReturnFalseAndWriteNothing) {
    for (const char *name : {"kor_empty", "kor_unknown", "kor_UnknownMaterial"}) {
        result = {9, 9, 9, 9};
        EXPECT_FALSE(shader(name)(&result, nullptr, nullptr)) << name;
        expect_color(result, 9, 9, 9, 9);
    }
    EXPECT_FALSE(shader("kor_procedural_dummy")(nullptr, nullptr, nullptr));
    // any one of the three given makes it answer
    EXPECT_TRUE(shader("kor_procedural_dummy")(&result, nullptr, nullptr));
    expect_color(result, 0.7f, 0.7f, 0.7f, 1);
}

TEST_F(Utility, IsMaterialEditorFollowsTheSceneData) {
    int32_t out = -1;
    EXPECT_TRUE(shader("kor_is_material_editor")(&out, &state, nullptr));
    EXPECT_EQ(out, 0) << "no scene data";

    int32_t scene[32] = {1};
    options.userdata = 77;
    h().data_blocks[77] = scene;
    EXPECT_TRUE(shader("kor_is_material_editor")(&out, &state, nullptr));
    EXPECT_EQ(out, 1);
    scene[0] = 0;
    EXPECT_TRUE(shader("kor_is_material_editor")(&out, &state, nullptr));
    EXPECT_EQ(out, 0);
}

struct ShaderList {
    int32_t start, count;
    Tag storage[6];
};

TEST_F(Utility, ShaderListWithNoShadersCallsNothing) {
    ShaderList list{0, 0, {}};
    EXPECT_FALSE(shader("kor_ShaderList")(&result, &state, &list));
    EXPECT_TRUE(h().calls.empty());
}

TEST_F(Utility, ShaderListRunsEveryShaderInOrderOnOneResult) {
    h().call_type = ZO_CALL_TEXTURE;
    h().shaders[11] = {0, true, {1, 0, 0, 1}};  // writes, fails
    h().shaders[12] = {1, true, {0, 1, 0, 1}};  // succeeds
    h().shaders[13] = {0, true, {0, 0, 1, 1}};  // writes last, fails
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

TEST_F(Utility, ShaderListEvaluatesStartCountAndElements) {
    struct {
        ShaderList list;
        int32_t ghost[8];
    } params{{0, 0, {11, 12}}, {1, 1, 0, 1}};
    zoShaderRecord record{};
    record.ghost_offset = sizeof(ShaderList);
    state.shader = &record;
    const int32_t start = 1, count = 1;
    const Tag replaced = 14;
    h().evaluated[&params.list.start] = &start;
    h().evaluated[&params.list.count] = &count;
    h().evaluated[&params.list.storage[1]] = &replaced;
    h().shaders[14] = {1, true, {0.5f, 0.5f, 0.5f, 1}};
    EXPECT_TRUE(shader("kor_ShaderList")(&result, &state, &params));
    ASSERT_EQ(h().calls.size(), 1u);
    EXPECT_EQ(h().calls[0].tag, 14u);
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

TEST_F(MaterialCall, OtherDatabaseTypesReturnFalse) {
    h().db_types[70] = ZO_DB_TEXTURE;
    state.type = ZO_RAY_EYE;
    EXPECT_FALSE(call(&result, &state, 70, nullptr));
    expect_color(result, 0, 0, 0, 0);  // cleared for an eye ray
    result = {9, 9, 9, 9};
    state.type = ZO_RAY_SHADOW;
    EXPECT_FALSE(call(&result, &state, 70, nullptr));
    expect_color(result, 9, 9, 9, 9);  // left alone for a shadow ray
}

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
    for (Case c : {Case{ZO_CALL_SHADOW, ZO_Q_MTL_SHADOW}, Case{ZO_CALL_VOLUME, ZO_Q_MTL_VOLUME},
                   Case{ZO_CALL_PHOTON, ZO_Q_MTL_PHOTON}, Case{ZO_CALL_LIGHTMAP, ZO_Q_MTL_LIGHTMAP},
                   Case{ZO_CALL_PHOTONVOL, ZO_Q_MTL_PHOTONVOL},
                   Case{ZO_CALL_CONTOUR, ZO_Q_MTL_CONTOUR},
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

TEST_F(MaterialCall, EmptySubShaders) {
    // no material shader: false, environment restored
    state.environment = 7;
    h().material_shaders[ZO_Q_MTL_ENVIRONMENT][kMaterial] = 503;
    EXPECT_FALSE(call(&result, &state, kMaterial, nullptr));
    EXPECT_EQ(state.environment, 7u);
    EXPECT_TRUE(h().calls.empty());

    // no displacement shader: true with a zero result
    h().call_type = ZO_CALL_DISPLACE;
    result = {9, 9, 9, 9};
    state.type = ZO_RAY_DISPLACE;
    EXPECT_TRUE(call(&result, &state, kMaterial, nullptr));
    expect_color(result, 0, 0, 0, 0);

    // no environment shader: the camera's
    h().material_shaders.clear();
    h().call_type = ZO_CALL_ENVIRONMENT;
    camera.environment = 808;
    h().shaders[808] = {1, true, {0, 0, 1, 1}};
    EXPECT_TRUE(call(&result, &state, kMaterial, nullptr));
    expect_color(result, 0, 0, 1, 1);
}

TEST_F(MaterialCall, UnsupportedCallTypeWarnsOncePerInstance) {
    h().call_type = ZO_CALL_LIGHT;
    h().shader_name = "kor_BlendMaterial";
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(call(&result, &state, kMaterial, nullptr));
    ASSERT_EQ(h().messages.size(), 1u);
    EXPECT_EQ(h().messages[0], "error: Shader 'kor_BlendMaterial' called with unsupported call type");
    EXPECT_EQ(words[0], 1);
    EXPECT_EQ(words[1], 0);

    // another instance has its own word
    int32_t other[2] = {0, 0};
    slot = other;
    EXPECT_FALSE(call(&result, &state, kMaterial, nullptr));
    EXPECT_EQ(h().messages.size(), 2u);

    // a caller's flag takes the place of the instance word
    int32_t flag = 0;
    slot = nullptr;
    EXPECT_FALSE(call(&result, &state, kMaterial, &flag));
    EXPECT_FALSE(call(&result, &state, kMaterial, &flag));
    EXPECT_EQ(h().messages.size(), 3u);
    EXPECT_EQ(flag, 1);

    // no instance data and no flag: silent
    EXPECT_FALSE(call(&result, &state, kMaterial, nullptr));
    EXPECT_EQ(h().messages.size(), 3u);
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

TEST_F(MaterialCall, PhenomenonEnvironmentFallsBackToTheCameraShader) {
    h().call_type = ZO_CALL_ENVIRONMENT;
    h().material_calls["zo_call_environment_material"] = {0, false, {}};
    EXPECT_FALSE(call(&result, &state, kPhenomenon, nullptr));
    camera.environment = 808;
    h().shaders[808] = {1, true, {0, 1, 0, 1}};
    EXPECT_TRUE(call(&result, &state, kPhenomenon, nullptr));
    expect_color(result, 0, 1, 0, 1);
}

TEST_F(MaterialCall, PhenomenonInUnsupportedModesWarnsOnceWithTheSecondWord) {
    h().shader_name = "kor_MultiMaterial";
    for (int type : {ZO_CALL_DISPLACE, ZO_CALL_CONTOUR, ZO_CALL_LIGHTMAP}) {
        h().call_type = type;
        EXPECT_FALSE(call(&result, &state, kPhenomenon, nullptr));
    }
    ASSERT_EQ(h().messages.size(), 1u);
    EXPECT_EQ(h().messages[0],
              "error: Shader 'kor_MultiMaterial' does not support material phenomena in "
              "contour/displacement/lightmap modes.");
    EXPECT_EQ(words[0], 0);
    EXPECT_EQ(words[1], 1);
    EXPECT_EQ(state.material, 0u);
}

TEST_F(MaterialCall, MaterialToShaderLifecycle) {
    using Init = void (*)(RenderState *, void *, zoBoolean *);
    using Exit = void (*)(RenderState *, void *);
    auto init = fn<Init>("kor_MaterialToShader_init");
    auto exit = fn<Exit>("kor_MaterialToShader_exit");
    auto run = shader("kor_MaterialToShader");

    zoBoolean request = 0;
    init(&state, nullptr, &request);
    EXPECT_TRUE(request) << "asks for instance initialisation";
    EXPECT_EQ(h().allocations, 0);

    void *instance_slot = nullptr;
    h().user_slot = &instance_slot;
    Tag params = 0;
    init(&state, &params, &request);
    ASSERT_NE(instance_slot, nullptr);
    EXPECT_EQ(static_cast<int32_t *>(instance_slot)[0], 0);
    EXPECT_EQ(static_cast<int32_t *>(instance_slot)[1], 0);

    EXPECT_FALSE(run(&result, &state, &params)) << "empty material";
    params = kMaterial;
    h().material_shaders[ZO_Q_MTL_SHADER][kMaterial] = 501;
    h().shaders[501] = {1, true, {0.3f, 0.3f, 0.3f, 1}};
    EXPECT_TRUE(run(&result, &state, &params));
    expect_color(result, 0.3f, 0.3f, 0.3f, 1);

    // the instance words guard the material call's messages
    h().call_type = ZO_CALL_LIGHT;
    run(&result, &state, &params);
    run(&result, &state, &params);
    EXPECT_EQ(h().messages.size(), 1u);

    exit(&state, &params);
    EXPECT_EQ(instance_slot, nullptr);
    EXPECT_EQ(h().allocations, 1);
    EXPECT_EQ(h().releases, 1);
}

}  // namespace
