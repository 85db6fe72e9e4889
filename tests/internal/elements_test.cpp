// Render elements: the material-side records, compositing of layers, the
// handler lens and its frame-buffer writes, and the standard elements.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>
#include <vector>

#include "internal/internal.h"
#include "kor_rendelem.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_lens.h"

namespace {

struct StdParams {
    int32_t elementType = 0;
    zoBoolean diffuseLighting = 1;
    zoBoolean blendAmbient = 1, blendDiffuse = 1, blendSpecular = 1, blendSelfIllum = 1,
              blendReflection = 1, blendRefraction = 1, blendExtra1 = 0, blendExtra2 = 0;
    zoBoolean illumDirect = 1, illumIndirect = 0;
    float zMin = 10, zMax = 20;
    float *zNearOut = nullptr;
    float *zFarOut = nullptr;
    int32_t unused1[2] = {0, 0};
    zoBoolean matteUseMaterialId = 0;
    int32_t matteMaterialId = 0;
    zoBoolean matteUseObjectId = 0;
    int32_t matteObjectId = 0;
    zoBoolean matteUseNodes = 0, matteNodesInclude = 1;
    int32_t nodesStart = 0, nodesCount = 0;
    Tag nodes[1] = {0};
    float velocityMax = 1;
    float *velocityOut = nullptr;
    int32_t unused2 = 0;
    int32_t objectColorMode = 0;
    float multiplier = 1;
    zoBoolean toneMap = 0;
    float luminanceScale = 1;
};

// Seven parallel arrays of three elements each, storage appended.
struct HandlerParams {
    int32_t s0, c0;
    Tag shaders[1];
    int32_t s1, c1;
    zoBoolean enabled[1];
    int32_t s2, c2;
    int32_t buffers[1];
    int32_t s3, c3;
    zoBoolean shadowFree[1];
    int32_t s4, c4;
    zoBoolean atmosphere[1];
    int32_t s5, c5;
    int32_t flags[1];
    int32_t s6, c6;
    zoBoolean beauty[1];
    // storage
    Tag shaderStore[3];
    zoBoolean enabledStore[3];
    int32_t bufferStore[3];
    zoBoolean shadowFreeStore[3];
    zoBoolean atmosphereStore[3];
    int32_t flagStore[3];
    zoBoolean beautyStore[3];
};

template <typename T>
int32_t start_of(const T *slot, const T *store) {
    return static_cast<int32_t>(store - slot);
}

}  // namespace

extern "C" {
zoBoolean kor_StdRenderElements(Color *, RenderState *, StdParams *, ElementCallArgs *);
void kor_StdRenderElements_exit(RenderState *, void *);
zoBoolean kor_RenderElementHandler(Color *, RenderState *, HandlerParams *);
void kor_RenderElementHandler_init(RenderState *, void *, zoBoolean *);
void kor_RenderElementHandler_exit(RenderState *, void *);
}

namespace {

TestBitmapHost &hostfb() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}
TestLens &lens() {
    return *internal::host_object<TestLens>("testhost_lens");
}

void expect_color(const Color &c, float r, float g, float b, float a) {
    EXPECT_NEAR(c.r, r, 1e-6);
    EXPECT_NEAR(c.g, g, 1e-6);
    EXPECT_NEAR(c.b, b, 1e-6);
    EXPECT_NEAR(c.a, a, 1e-6);
}

class Elements : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        hostfb().reset();
        lens().reset();
        internal::host().thread_pointers = true;
        record.tag = 90;
        options.shadow = 0;
        state.options = &options;
        state.camera = &camera;
        state.shader = &record;
        state.type = ZO_RAY_EYE;
        InitializeRenderElementPostIllumData(&state, &data);
    }

    Color run(StdParams &p, int mode = 0, ElementAtmosphereData *atm = nullptr) {
        Color e{9, 9, 9, 9};
        ElementCallArgs args{mode, mode == 0 ? static_cast<void *>(&data) : atm};
        EXPECT_TRUE(kor_StdRenderElements(&e, &state, &p, &args));
        return e;
    }

    zoOptions options{};
    zoCamera camera{};
    zoShaderRecord record{};
    RenderState state{};
    RenderElementPostIllumData data{};
};

// An element shader that answers a fixed colour, replacing when asked.
struct FakeElement {
    Color color;
    bool replace;
};
FakeElement fakes[2];

zoBoolean fake_element(void *result, RenderState *, void *params, void *arg) {
    const FakeElement &f = *static_cast<FakeElement *>(params);
    auto *args = static_cast<ElementCallArgs *>(arg);
    if (args->mode == 0) static_cast<RenderElementPostIllumData *>(args->data)->replace = f.replace;
    *static_cast<Color *>(result) = f.color;
    return 1;
}

TEST_F(Elements, LayersCompositeThroughTheirTransmission) {
    int32_t shadow_free[2] = {0, 0}, zero[2] = {0, 0};
    Tag shaders[2] = {11, 12};
    RenderElementSetup setup{1, 0, 2, shadow_free, zero, shaders, zero, zero, zero};
    Color entries[2] = {{0.5f, 0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f, 0.5f}};
    ElementResults holder{entries, 0};
    const RenderElementContext ctx{&setup, &holder, 1, 0, 0};
    zo_shaderstate_set(&state, "KRREINT", &ctx, sizeof ctx, 2);
    fakes[0] = {{0.1f, 0.2f, 0.3f, 0.5f}, false};
    fakes[1] = {{0.1f, 0.2f, 0.3f, 0.5f}, true};
    hostfb().functions[11] = {fake_element, &fakes[0]};
    hostfb().functions[12] = {fake_element, &fakes[1]};
    data.illum.layerTransmission = {0.5f, 1.0f, 0.0f, 1};
    EXPECT_TRUE(kor_CallRenderElementShaders_PostIllum(&state, &data));
    expect_color(entries[0], 0.5f * 0.5f + 0.1f, 0.5f + 0.2f, 0.3f, 0.5f + 0.5f * 0.5f);
    expect_color(entries[1], 0.1f, 0.2f, 0.3f, 0.5f);  // replacing ignores the transmission
    auto *live =
        static_cast<RenderElementContext *>(zo_shaderstate_get(&state, "KRREINT", nullptr));
    EXPECT_TRUE(live->written);

    int count = 0;
    EXPECT_EQ(kor_GetRenderElementResults(&state, &count), entries);
    EXPECT_EQ(count, 2);

    // elements of the other pass do not run; re-entry is refused
    live->runShadowed = 0;
    live->runShadowFree = 1;
    entries[0] = {0, 0, 0, 0};
    EXPECT_TRUE(kor_CallRenderElementShaders_PostIllum(&state, &data));
    expect_color(entries[0], 0, 0, 0, 0);
    holder.busy = 1;
    EXPECT_FALSE(kor_CallRenderElementShaders_PostIllum(&state, &data));
}

class Handler : public Elements {
  protected:
    void SetUp() override {
        Elements::SetUp();
        internal::host().user_slot = &slot;
        p.s0 = start_of(p.shaders, p.shaderStore);
        p.s1 = start_of(p.enabled, p.enabledStore);
        p.s2 = start_of(p.buffers, p.bufferStore);
        p.s3 = start_of(p.shadowFree, p.shadowFreeStore);
        p.s4 = start_of(p.atmosphere, p.atmosphereStore);
        p.s5 = start_of(p.flags, p.flagStore);
        p.s6 = start_of(p.beauty, p.beautyStore);
        p.c0 = p.c1 = p.c2 = p.c3 = p.c4 = p.c5 = p.c6 = 3;
        const Tag shaders[3] = {11, 0, 12};
        for (int k = 0; k < 3; ++k) {
            p.shaderStore[k] = shaders[k];
            p.enabledStore[k] = 1;
            p.bufferStore[k] = 5 + k;
            p.beautyStore[k] = k == 0;
        }
        hostfb().functions[11] = {fake_element, &fakes[0]};
        hostfb().functions[12] = {fake_element, &fakes[1]};
        fakes[0] = {{0.25f, 0, 0, 1}, false};
        fakes[1] = {{0, 0.5f, 0, 1}, false};
        hostfb().color_buffers = {5, 6, 7};
        zoBoolean instances = 0;
        kor_RenderElementHandler_init(&state, nullptr, &instances);
        EXPECT_TRUE(instances);
        kor_RenderElementHandler_init(&state, &p, nullptr);
    }
    void TearDown() override {
        kor_RenderElementHandler_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    const TestFbPut *put(int buffer) {
        for (const TestFbPut &f : hostfb().fb_puts)
            if (f.buffer == buffer) return &f;
        return nullptr;
    }
    void *slot = nullptr;
    HandlerParams p{};
};

TEST_F(Handler, UntouchedSamplesWriteTheBeautyOrBlack) {
    lens().color = {0.75f, 0.75f, 0.75f, 1};
    Color result{};
    EXPECT_TRUE(kor_RenderElementHandler(&result, &state, &p));
    ASSERT_NE(put(5), nullptr);
    ASSERT_NE(put(7), nullptr);
    expect_color(put(5)->color, 0.75f, 0.75f, 0.75f, 1);  // beauty if untouched
    expect_color(put(7)->color, 0, 0, 0, 0);
    EXPECT_EQ(zo_shaderstate_get(&state, "KRREINT", nullptr), nullptr) << "cleared after";
}

TEST_F(Elements, StandardElementsAfterIllumination) {
    StdParams sp;
    data.illum.transparency = {0.25f, 0.25f, 0.25f, 1};
    data.illum.diffuse = {0.2f, 0.2f, 0.2f, 1};
    data.illum.ambient = {0.1f, 0.1f, 0.1f, 1};
    data.illum.specular = {0.9f, 0.6f, 0.3f, 1};
    data.illum.reflection = {0.5f, 0.5f, 0.5f, 1};
    data.illum.refraction = {0.0f, 0.0f, 0.0f, 1};
    data.illum.selfIllum = {2.0f, 0.5f, 0.0f, 1};
    data.illum.litScale = 0.5f;
    const float alpha = 0.75f;

    sp.elementType = 0;
    expect_color(run(sp), 0, 0, 0, alpha);

    sp.elementType = 3;  // blend: lit parts scaled, then clamped
    expect_color(run(sp), std::fmin(1.0f, (0.2f + 0.1f + 2.0f) * 0.5f + 0.9f + 0.5f),
                 std::fmin(1.0f, (0.2f + 0.1f + 0.5f) * 0.5f + 0.6f + 0.5f),
                 std::fmin(1.0f, 0.15f + 0.3f + 0.5f), alpha);
    sp.blendSpecular = 0;
    sp.blendSelfIllum = 0;
    EXPECT_NEAR(run(sp).r, 0.15f + 0.5f, 1e-6);

    sp.elementType = 4;  // lit diffuse
    expect_color(run(sp), 0.15f, 0.15f, 0.15f, alpha);
    sp.diffuseLighting = 0;  // the diffuse map channel instead
    data.channels[1] = {0.3f, 0.4f, 0.5f, 1};
    expect_color(run(sp), 0.3f, 0.4f, 0.5f, alpha);
    const int32_t no_diffuse[32] = {0, -1};
    data.channelTable = no_diffuse;
    expect_color(run(sp), 0, 0, 0, alpha);

    sp.elementType = 13;  // specular: alpha 0
    expect_color(run(sp), 0.9f, 0.6f, 0.3f, 0);
    sp.elementType = 11;  // self-illumination: clamped, then scaled
    expect_color(run(sp), 0.5f, 0.25f, 0, alpha);

    sp.elementType = 8;  // extra colours only when flagged valid
    expect_color(run(sp), 0, 0, 0, 0);
    data.flags = kElementExtra1Valid;
    data.extraColor1 = {1, 1, 1, 1};
    expect_color(run(sp), 0.5f, 0.5f, 0.5f, alpha);

    sp.elementType = 14;  // depth is prepared here and set after the atmosphere
    data.replace = 0;
    expect_color(run(sp), 0, 0, 0, 0.75f);
    EXPECT_TRUE(data.replace);

    sp.elementType = 15;
    sp.multiplier = 2;
    data.illum.shadedColor = {0.1f, 0.2f, 0.3f, 1};
    EXPECT_NEAR(run(sp).b, 0.6f, 1e-6);
}

TEST_F(Elements, MatteRecordsAndMasks) {
    StdParams sp;
    data.matte = 1;
    data.illum.diffuse = {1, 1, 1, 1};
    data.illum.litScale = 1;
    sp.elementType = 4;
    expect_color(run(sp), 0, 0, 0, 0);
    sp.elementType = 7;
    expect_color(run(sp), 0, 0, 0, 1);
    sp.matteUseNodes = 1;
    sp.matteNodesInclude = 0;
    expect_color(run(sp), 1, 1, 1, 1);
    sp.elementType = 17;
    expect_color(run(sp), 0.5f, 0.5f, 0.5f, 0);

    data.matte = 0;
    sp.elementType = 7;
    sp.matteUseNodes = 0;
    sp.matteUseMaterialId = 1;
    sp.matteMaterialId = 4;
    data.materialId = 4;
    expect_color(run(sp), 1, 1, 1, 1);
    data.materialId = 5;
    expect_color(run(sp), 0, 0, 0, 1);
}

TEST_F(Elements, AfterTheAtmosphere) {
    StdParams sp;
    ElementAtmosphereData atm{{0.2f, 0.4f, 0.6f, 0.5f}, 15.0f, 0.0f};
    sp.elementType = 0;
    expect_color(run(sp, 1, &atm), 0.5f, 0.5f, 0.5f, 0.5f);
    sp.elementType = 13;
    EXPECT_NEAR(run(sp, 1, &atm).a, 0.4f, 1e-6);

    sp.elementType = 14;
    float zfar = 0, znear = 100;
    sp.zFarOut = &zfar;
    sp.zNearOut = &znear;
    EXPECT_NEAR(run(sp, 1, &atm).r, 0.5f, 1e-6) << "halfway between 10 and 20";
    atm.distance = 5;
    EXPECT_EQ(run(sp, 1, &atm).g, 1.0f);
    atm.distance = 25;
    EXPECT_EQ(run(sp, 1, &atm).b, 0.0f);
    atm.distance = 0;
    EXPECT_EQ(run(sp, 1, &atm).r, 9.0f) << "nothing hit: the entry stays";
    sp.elementType = 7;  // no after-atmosphere value
    EXPECT_EQ(run(sp, 1, &atm).r, 9.0f);
    sp.elementType = 14;
    kor_StdRenderElements_exit(&state, &sp);
    EXPECT_EQ(zfar, 25.0f) << "largest depth seen";
    EXPECT_EQ(znear, 0.0f);
    EXPECT_EQ(internal::host().allocations, internal::host().releases);
}

}  // namespace
