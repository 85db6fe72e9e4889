// Bake elements and the bake output shader: the baked maps from a
// post-illumination record (coverage alpha, complete, diffuse, specular,
// blend, light, shadow, reflection and refraction, normals, height, generic
// texture) and the un-premultiply and background fill of the element images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "internal/internal.h"
#include "kor_rendelem.h"
#include "kor_rtt.h"
#include "kor_toneop.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_output.h"

namespace {

struct LightingParams {
    zoBoolean lighting;
};
struct LightBakeParams {
    zoBoolean shadows, direct, indirect;
};
struct CompleteParams {
    zoBoolean shadowColor;
};
struct BlendBakeParams {
    zoBoolean lighting, ambient, diffuse, specular, selfIllum, reflection, refraction, extra1,
        extra2;
};
struct GenericParams {
    Tag texture;
};

// Two arrays of two entries each, storage appended.
struct RttOutputParams {
    int32_t s0, c0;
    int32_t buffers[1];
    int32_t s1, c1;
    Color backgrounds[1];
    Color backgroundStore[2];  // whole Colors after the slot
    int32_t bufferStore[2];
};

typedef zoBoolean (*Element)(Color *, RenderState *, void *, ElementCallArgs *);

}  // namespace

extern "C" {
zoBoolean kor_DiffuseBakeElement(Color *, RenderState *, LightingParams *, ElementCallArgs *);
zoBoolean kor_SpecularBakeElement(Color *, RenderState *, LightingParams *, ElementCallArgs *);
zoBoolean kor_LightBakeElement(Color *, RenderState *, LightBakeParams *, ElementCallArgs *);
zoBoolean kor_ReflectRefractBakeElement(Color *, RenderState *, void *, ElementCallArgs *);
zoBoolean kor_ShadowBakeElement(Color *, RenderState *, void *, ElementCallArgs *);
zoBoolean kor_NormalsBakeElement(Color *, RenderState *, void *, ElementCallArgs *);
zoBoolean kor_CompleteBakeElement(Color *, RenderState *, CompleteParams *, ElementCallArgs *);
zoBoolean kor_BlendBakeElement(Color *, RenderState *, BlendBakeParams *, ElementCallArgs *);
zoBoolean kor_AlphaBakeElement(Color *, RenderState *, void *, ElementCallArgs *);
zoBoolean kor_HeightBakeElement(Color *, RenderState *, void *, ElementCallArgs *);
zoBoolean kor_GenericBakeElement(Color *, RenderState *, GenericParams *, ElementCallArgs *);
zoBoolean kor_rtt_output(void *, RenderState *, RttOutputParams *);
}

namespace {

TestBitmapHost &hostfb() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}
TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestOutputHost &output() {
    return *internal::host_object<TestOutputHost>("testhost_output");
}

void expect_color(const Color &c, float r, float g, float b, float a) {
    EXPECT_NEAR(c.r, r, 1e-5);
    EXPECT_NEAR(c.g, g, 1e-5);
    EXPECT_NEAR(c.b, b, 1e-5);
    EXPECT_NEAR(c.a, a, 1e-5);
}

constexpr Tag kInstance = 10, kListData = 20, kLight = 7;

class Bake : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        hostfb().reset();
        illum().reset();
        output().reset();
        record.tag = 60;
        state.shader = &record;
        state.options = &options;
        state.camera = &camera;
        state.type = ZO_RAY_EYE;
        state.instance = kInstance;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        state.dot_nd = -1;
        InitializeRenderElementPostIllumData(&state, &data);
        data.illum.transparency = {0.2f, 0.4f, 0.6f, 1};  // coverage 0.6
    }
    void TearDown() override { illum().reset(); }

    template <typename P>
    Color run(zoBoolean (*element)(Color *, RenderState *, P *, ElementCallArgs *), P *params,
              zoBoolean expect_ok = 1) {
        Color e{9, 9, 9, 9};
        ElementCallArgs args{0, &data};
        EXPECT_EQ(element(&e, &state, params, &args), expect_ok);
        return e;
    }

    // One light lit by (0.8, 0.6, 0.4) at N.L 0.5 while shadows are off and
    // by a quarter of that while they are on.
    void shadowed_light() {
        list = {1, 2, 0, 0, static_cast<int32_t>(kLight)};
        internal::scene().light_lists[kInstance] = kListData;
        internal::host().data_blocks[kListData] = list.data();
        TestLightSample s;
        s.color = {0.8f, 0.6f, 0.4f, 1};
        s.dot_nl = 0.5f;
        illum().lights[kLight].samples = {s};
        illum().on_sample = [](RenderState *st, Tag light, int index, void *) {
            const float k = st->options && st->options->shadow ? 0.25f : 1.0f;
            illum().lights[light].samples[index].color = {0.8f * k, 0.6f * k, 0.4f * k, 1};
        };
    }

    zoOptions options{};
    zoCamera camera{};
    zoShaderRecord record{};
    RenderState state{};
    RenderElementPostIllumData data{};
    std::vector<int32_t> list;
};

TEST_F(Bake, CoverageAlphaAndMatteRecords) {
    expect_color(run(kor_AlphaBakeElement, static_cast<void *>(nullptr)), 0.6f, 0.6f, 0.6f, 0.6f);
    data.illum.transparency = {1.5f, 1.5f, 1.5f, 1};
    expect_color(run(kor_AlphaBakeElement, static_cast<void *>(nullptr)), 0, 0, 0, 0);
    data.illum.transparency = {-0.5f, -0.5f, -0.5f, 1};
    expect_color(run(kor_AlphaBakeElement, static_cast<void *>(nullptr)), 1, 1, 1, 1);

    // every bake element gives transparent black on a matte record and
    // leaves the entry after the atmosphere
    data.matte = 1;
    LightingParams lit{1};
    CompleteParams complete{1};
    expect_color(run(kor_AlphaBakeElement, static_cast<void *>(nullptr)), 0, 0, 0, 0);
    expect_color(run(kor_DiffuseBakeElement, &lit), 0, 0, 0, 0);
    expect_color(run(kor_CompleteBakeElement, &complete), 0, 0, 0, 0);
    expect_color(run(kor_NormalsBakeElement, static_cast<void *>(nullptr)), 0, 0, 0, 0);
    Color e{9, 9, 9, 9};
    ElementAtmosphereData atm{{1, 1, 1, 1}, 4, 0};
    ElementCallArgs after{1, &atm};
    EXPECT_TRUE(kor_CompleteBakeElement(&e, &state, &complete, &after));
    expect_color(e, 9, 9, 9, 9);
}

TEST_F(Bake, CompleteSumsTheLitComponents) {
    RenderElementIllum &r = data.illum;
    r.litScale = 0.5f;
    r.diffuse = {0.2f, 0.1f, 0, 1};
    r.ambient = {0.1f, 0, 0, 1};
    r.selfIllum = {0, 0.2f, 0, 1};
    r.reflection = {0.1f, 0, 0, 1};
    r.specular = {0, 0, 0.3f, 1};
    r.refraction = {0, 0.05f, 0, 1};
    data.shadowColor = {0.01f, 0.02f, 0.03f, 1};
    data.extraColor1 = {0.1f, 0.1f, 0.1f, 1};
    data.extraColor2 = {5, 5, 5, 1};  // never part of the complete map
    data.flags = kElementShadowValid | kElementExtra1Valid | kElementExtra2Valid;
    // (0.3, 0.3, 0) * 0.5 + (0.1, 0.05, 0.3) + shadow + extra 1
    CompleteParams with_shadow{1};
    expect_color(run(kor_CompleteBakeElement, &with_shadow), 0.36f, 0.32f, 0.43f, 0.6f);
    CompleteParams without{0};
    expect_color(run(kor_CompleteBakeElement, &without), 0.35f, 0.3f, 0.4f, 0.6f);
    data.flags = 0;
    expect_color(run(kor_CompleteBakeElement, &with_shadow), 0.25f, 0.2f, 0.3f, 0.6f);
}

TEST_F(Bake, DiffuseSpecularAndBlendLitOrFromTheMaps) {
    RenderElementIllum &r = data.illum;
    r.litScale = 0.5f;
    r.diffuse = {0.2f, 0.1f, 0, 1};
    r.ambient = {0.1f, 0, 0, 1};
    r.specular = {0.7f, 0.6f, 0.5f, 1};
    r.reflection = {0.9f, 0.9f, 0.9f, 1};
    data.extraColor1 = {0.1f, 0.1f, 0.1f, 1};
    data.flags = kElementExtra1Valid;
    int32_t table[32];
    for (int k = 0; k < 32; ++k) table[k] = k;
    table[1] = 5;    // the diffuse map lives in channel 5
    table[10] = -1;  // no refraction map
    data.channelTable = table;
    data.channels[0] = {0.1f, 0.2f, 0.3f, 1};
    data.channels[4] = {0.25f, 0.25f, 0.25f, 1};
    data.channels[5] = {0.4f, 0.5f, 0.6f, 1};
    data.channels[9] = {0.7f, 0.7f, 0.7f, 1};
    data.channels[10] = {3, 3, 3, 1};

    LightingParams lit{1}, unlit{0};
    expect_color(run(kor_DiffuseBakeElement, &lit), 0.25f, 0.15f, 0.1f, 0.6f);
    expect_color(run(kor_DiffuseBakeElement, &unlit), 0.4f, 0.5f, 0.6f, 0.6f);
    expect_color(run(kor_SpecularBakeElement, &lit), 0.7f, 0.6f, 0.5f, 0.6f);
    expect_color(run(kor_SpecularBakeElement, &unlit), 0.25f, 0.25f, 0.25f, 0.6f);
    table[1] = -1;
    expect_color(run(kor_DiffuseBakeElement, &unlit), 0, 0, 0, 0.6f);
    table[1] = 5;

    // lit blend of diffuse, ambient and reflection: (0.3, 0.1, 0) * 0.5 +
    // reflection, clamped to 1
    BlendBakeParams blend{1, 1, 1, 0, 0, 1, 1, 0, 0};
    expect_color(run(kor_BlendBakeElement, &blend), 1.0f, 0.95f, 0.9f, 0.6f);
    // unlit: ambient map 0 + diffuse map (channel 5) + reflection map 9;
    // the refraction map has no channel
    blend.lighting = 0;
    expect_color(run(kor_BlendBakeElement, &blend), 1.0f, 1.0f, 1.0f, 0.6f);
    blend.reflection = 0;
    expect_color(run(kor_BlendBakeElement, &blend), 0.5f, 0.7f, 0.9f, 0.6f);
}

// Display mapping of the test: each channel limited to 0.5.
void limit_half(Color *c, RenderState *, void *) {
    c->r = std::fmin(c->r, 0.5f);
    c->g = std::fmin(c->g, 0.5f);
    c->b = std::fmin(c->b, 0.5f);
}

TEST_F(Bake, ReflectionAndRefractionAreToneMappedApart) {
    const ToneOperatorRecord tone{0, limit_half, nullptr, nullptr};
    zo_shaderstate_set(&state, "KEY_7", &tone, sizeof tone, 2);
    data.illum.reflection = {0.75f, 0.25f, 0, 1};
    data.illum.refraction = {0.75f, 0.25f, 1, 1};
    expect_color(run(kor_ReflectRefractBakeElement, static_cast<void *>(nullptr)), 1.0f, 0.5f, 0.5f,
                 0.6f);
}

TEST_F(Bake, ShadowIsTheGreyOfTheLitFraction) {
    shadowed_light();
    options.shadow = ZO_SHADOW_ON;
    // lit fraction 0.25: s = 0.75, times the coverage 0.6 = 0.45
    expect_color(run(kor_ShadowBakeElement, static_cast<void *>(nullptr)), 0.55f, 0.55f, 0.55f,
                 0.6f);
    data.shadowNoTransparency = 1;
    expect_color(run(kor_ShadowBakeElement, static_cast<void *>(nullptr)), 0.25f, 0.25f, 0.25f,
                 0.6f);
    EXPECT_EQ(state.options, &options);
    illum().lights.clear();  // lit by nothing: no shadow
    expect_color(run(kor_ShadowBakeElement, static_cast<void *>(nullptr)), 1, 1, 1, 0.6f);
}

TEST_F(Bake, LightWithOrWithoutShadowsAndIndirect) {
    shadowed_light();
    options.shadow = ZO_SHADOW_ON;
    LightBakeParams shadowed{1, 1, 0};
    expect_color(run(kor_LightBakeElement, &shadowed), 0.1f, 0.075f, 0.05f, 0.6f);
    LightBakeParams unshadowed{0, 1, 0};
    expect_color(run(kor_LightBakeElement, &unshadowed), 0.4f, 0.3f, 0.2f, 0.6f);
    EXPECT_EQ(state.options, &options) << "the options are restored";
    EXPECT_EQ(options.shadow, ZO_SHADOW_ON);

    internal::host().irradiance = {1, true, {0.3f, 0.3f, 0.3f, 1}};
    LightBakeParams both{0, 1, 1};
    const float k = 0.31830987f;
    expect_color(run(kor_LightBakeElement, &both), 0.7f * k, 0.6f * k, 0.5f * k, 0.6f);
    LightBakeParams indirect{0, 0, 1};
    expect_color(run(kor_LightBakeElement, &indirect), 0.3f * k, 0.3f * k, 0.3f * k, 0.6f);
    LightBakeParams none{1, 0, 0};
    expect_color(run(kor_LightBakeElement, &none), 0, 0, 0, 0);
}

// A tangent frame of the test: U along x, V skewed to (1, 1, 0).
zoBoolean skewed_frame(const RttSurfaceHit *, RenderState *, Vector3 basis[3]) {
    basis[0] = {1, 0, 0};
    basis[1] = {1, 1, 0};
    basis[2] = {0, 0, 1};
    return 1;
}

TEST_F(Bake, NormalsInTheProjectionSpaceWithFlips) {
    RttSurfaceHit hit{};
    hit.point = {0, 0, 1};
    hit.normal = {0, 0, 1};
    ProjectionRecord rec{kInstance, 0, 1, 0, 0, -1.0f, 3.0f, 0, &hit, skewed_frame};
    zo_shaderstate_set(&state, "KEY_10", &rec, sizeof rec, 2);
    void *none = nullptr;

    // world space, x flipped: (-1/3, 2/3, 2/3) encoded
    state.normal = {1.0f / 3, 2.0f / 3, 2.0f / 3};
    expect_color(run(kor_NormalsBakeElement, none), 1.0f / 3, 5.0f / 6, 5.0f / 6, 0.6f);

    // the working instance's object space: turned a quarter about z, so the
    // world y axis is the object's x axis
    zoInstanceRecord inst{};
    const float turn[16] = {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    std::memcpy(inst.to_world, turn, sizeof turn);
    internal::scene().instances[kInstance] = inst;
    rec.normalSpace = 2;
    rec.flipNormalX = 0;
    zo_shaderstate_set(&state, "KEY_10", &rec, sizeof rec, 2);
    state.normal = {0, 1, 0};
    expect_color(run(kor_NormalsBakeElement, none), 1, 0.5f, 0.5f, 0.6f);

    // tangent space of a skewed frame: n = (0, 1, 1)/sqrt 2 is -U + V + N
    rec.normalSpace = 3;
    rec.flipNormalY = 1;
    zo_shaderstate_set(&state, "KEY_10", &rec, sizeof rec, 2);
    const float h = std::sqrt(0.5f), t = 1.0f / std::sqrt(3.0f);
    state.normal = {0, h, h};
    expect_color(run(kor_NormalsBakeElement, none), (1 - t) / 2, (1 - t) / 2, (1 + t) / 2, 0.6f);
}

TEST_F(Bake, NormalsWithoutProjectionBakeTheBendAroundZ) {
    internal::scene().triangles[{ZO_TRI_NORMALS, 0}] = {
        {{0.6f, 0, 0.8f}, {0.6f, 0, 0.8f}, {0.6f, 0, 0.8f}}};
    state.bary[0] = state.bary[1] = state.bary[2] = 1.0f / 3;
    state.normal = {0, 0.6f, 0.8f};
    // (0 - 0.6, 0.6 - 0, 0.8 - 0.8 + 1) normalised
    const float len = std::sqrt(0.36f + 0.36f + 1.0f);
    expect_color(run(kor_NormalsBakeElement, static_cast<void *>(nullptr)), (1 - 0.6f / len) / 2,
                 (1 + 0.6f / len) / 2, (1 + 1 / len) / 2, 0.6f);
    // a surface without bump bakes the flat normal
    state.normal = {0.6f, 0, 0.8f};
    expect_color(run(kor_NormalsBakeElement, static_cast<void *>(nullptr)), 0.5f, 0.5f, 1, 0.6f);
}

TEST_F(Bake, HeightAlongTheWorkingNormal) {
    void *none = nullptr;
    expect_color(run(kor_HeightBakeElement, none), 0, 0, 0, 0);  // nothing projected
    RttSurfaceHit hit{};
    hit.point = {0, 0, 1};
    hit.normal = {0, 0, 1};
    const ProjectionRecord rec{kInstance, 0, 0, 0, 0, -1.0f, 3.0f, 0, &hit, nullptr};
    zo_shaderstate_set(&state, "KEY_10", &rec, sizeof rec, 2);
    state.point = {5, 7, 1.5f};  // 0.5 above: (0.5 + 1) / 4
    expect_color(run(kor_HeightBakeElement, none), 0.375f, 0.375f, 0.375f, 0.6f);
}

TEST_F(Bake, GenericBakesItsTexture) {
    GenericParams none{0};
    expect_color(run(kor_GenericBakeElement, &none, 0), 0, 0, 0, 0);
    internal::host().shaders[33] = {1, true, {0.2f, 0.4f, 0.6f, 0.1f}};
    GenericParams texture{33};
    expect_color(run(kor_GenericBakeElement, &texture), 0.2f, 0.4f, 0.6f, 1);
    ASSERT_FALSE(internal::host().calls.empty());
    EXPECT_EQ(internal::host().calls.back().type, ZO_SHADER_MAP);
}

TEST_F(Bake, OutputUnpremultipliesAndFillsTheBackground) {
    // a 2 x 1 frame: one pixel half covered, one fully covered
    Color base_pixels[2] = {{0.4f, 0.4f, 0.4f, 0.5f}, {1, 1, 1, 1}};
    Color element_pixels[2] = {{0.2f, 0.1f, 0.05f, 0.25f}, {0.3f, 0.3f, 0.3f, 1}};
    Color small_pixels[1] = {{0.1f, 0.1f, 0.1f, 0.1f}};
    zoImage base{}, element{}, small{};
    base.width = element.width = 2;
    base.height = element.height = small.width = small.height = 1;
    base.data = base_pixels;
    element.data = element_pixels;
    small.data = small_pixels;
    output().images[0] = &base;
    output().images[3] = &element;
    output().images[4] = &small;

    RttOutputParams p{};
    p.s0 = static_cast<int32_t>(p.bufferStore - p.buffers);
    p.s1 = static_cast<int32_t>(p.backgroundStore - p.backgrounds);
    p.c0 = p.c1 = 2;
    p.bufferStore[0] = 3;
    p.bufferStore[1] = 4;
    p.backgroundStore[0] = {0.0f, 0.5f, 1.0f, 1};
    p.backgroundStore[1] = {1, 1, 1, 1};
    EXPECT_TRUE(kor_rtt_output(nullptr, &state, &p));
    // (0.4, 0.2, 0.1, 0.5) + (1 - 0.5) * background
    expect_color(element_pixels[0], 0.4f, 0.45f, 0.6f, 0.5f);
    expect_color(element_pixels[1], 0.3f, 0.3f, 0.3f, 1);   // covered: as rendered
    expect_color(small_pixels[0], 0.1f, 0.1f, 0.1f, 0.1f);  // another size: left alone
    EXPECT_EQ(output().opened, (std::vector<int>{0, 3, 4}));
    EXPECT_EQ(output().closed, (std::vector<int>{3, 4, 0}));

    // an uncovered pixel gets the background behind the element's own alpha
    base_pixels[0].a = 0;
    element_pixels[0] = {0.2f, 0.2f, 0.2f, 0.5f};
    EXPECT_TRUE(kor_rtt_output(nullptr, &state, &p));
    expect_color(element_pixels[0], 0.2f, 0.45f, 0.7f, 0.5f);

    output().images.erase(0);
    EXPECT_FALSE(kor_rtt_output(nullptr, &state, &p));
}

}  // namespace
