// The standard material driving a real illumination model: colours under
// a light, map slots, culling, shadows through transparency types, the
// missing-model message and the transparency traced behind the surface.
#include <gtest/gtest.h>

#include <cstring>

#include "illum.h"
#include "illum_models.h"
#include "internal/internal.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"

namespace {

template <typename T>
struct Array24 {
    int32_t start, count;
    T first;
};

// The standard material's record with its three arrays' storage appended.
struct MaterialRecord {
    IllumMaterialParams base;
    Array24<zoBoolean> mapEnabled;
    Array24<Tag> maps;
    Array24<float> mapAmounts;
    int32_t ambientDiffuseMapLock;
    int32_t unused[3];
    int32_t materialId;
    Tag illumination;
    zoBoolean enabledStore[24];
    Tag mapStore[24];
    float amountStore[24];
};

}  // namespace

extern "C" {
zoBoolean kor_StandardMaterial(Color *, RenderState *, MaterialRecord *);
void kor_StandardMaterial_init(RenderState *, void *, zoBoolean *);
void kor_StandardMaterial_exit(RenderState *, void *);
zoBoolean kor_base_BlinnIllumination(Color *, RenderState *, kor::BlinnParams *, IllumRecord *);
}

namespace {

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

template <typename T, typename S>
int32_t start_of(const T *slot, const S *store) {
    return static_cast<int32_t>(
        (reinterpret_cast<const char *>(store) - reinterpret_cast<const char *>(slot)) / sizeof(S));
}

// A map that answers a fixed colour.
Color map_colour;
zoBoolean fixed_map(void *result, RenderState *, void *, void *) {
    *static_cast<Color *>(result) = map_colour;
    return 1;
}

constexpr Tag kBlinn = 60, kMap = 70, kLight = 500, kInstance = 40;

class Standard : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        functions().reset();
        internal::host().thread_pointers = true;
        internal::host().user_slot = &slot;
        record.tag = 90;
        state.shader = &record;
        state.options = &options;
        state.instance = kInstance;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        state.dot_nd = -1;
        state.tex_list = &uv;
        state.tex_count = 1;

        blinn.diffuse = {0.5f, 0.4f, 0.3f, 1};
        blinn.specular = {1, 1, 1, 1};
        functions().functions[kBlinn] = {
            reinterpret_cast<TestShaderFunction>(kor_base_BlinnIllumination), &blinn};
        functions().functions[kMap] = {fixed_map, nullptr};

        list.count = 1;
        list.lights[0] = kLight;
        internal::scene().light_lists[kInstance] = 400;
        internal::host().data_blocks[400] = &list;
        TestLightSample s;
        s.color = {1, 1, 1, 1};
        s.dir = {0, 0, 1};
        s.dot_nl = 1;
        illum().lights[kLight].samples = {s};

        std::memset(&m, 0, sizeof m);
        m.base.opacity = 1;
        m.base.ior = 1;
        m.illumination = kBlinn;
        m.mapEnabled.start = start_of(&m.mapEnabled.first, m.enabledStore);
        m.maps.start = start_of(&m.maps.first, m.mapStore);
        m.mapAmounts.start = start_of(&m.mapAmounts.first, m.amountStore);
        m.mapEnabled.count = m.maps.count = m.mapAmounts.count = 24;
        zoBoolean instances = 0;
        kor_StandardMaterial_init(&state, nullptr, &instances);
        EXPECT_TRUE(instances);
        kor_StandardMaterial_init(&state, &m, nullptr);
    }
    void TearDown() override {
        kor_StandardMaterial_exit(&state, &m);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    Color shade() {
        Color c{9, 9, 9, 9};
        last = kor_StandardMaterial(&c, &state, &m);
        return c;
    }
    // The slot arrays are fixed for the life of an instance: a test that
    // changes them starts a new instance.
    void reinit() {
        kor_StandardMaterial_exit(&state, &m);
        kor_StandardMaterial_init(&state, &m, nullptr);
    }
    void set_map(int channel, float amount, Color colour) {
        m.enabledStore[channel] = 1;
        m.mapStore[channel] = kMap;
        m.amountStore[channel] = amount;
        map_colour = colour;
        reinit();
    }

    void *slot = nullptr;
    zoOptions options{};
    zoShaderRecord record{};
    RenderState state{};
    Vector3 uv{0.5f, 0.5f, 0};
    kor::BlinnParams blinn{};
    IllumLightList list{};
    MaterialRecord m;
    zoBoolean last = 0;
};

TEST_F(Standard, DiffuseMapSlotBlendsByItsAmount) {
    set_map(1, 1.0f, {1, 0, 0, 1});
    Color c = shade();
    EXPECT_NEAR(c.r, 1.0f, 1e-6);
    EXPECT_NEAR(c.g, 0.0f, 1e-6);
    m.amountStore[1] = 0.5f;  // m = (0.5, 0, 0, 0.5): half of the base stays
    c = shade();
    EXPECT_NEAR(c.r, 0.5f * 0.5f + 0.5f, 1e-6);
    EXPECT_NEAR(c.g, 0.4f * 0.5f, 1e-6);
    m.enabledStore[1] = 0;
    reinit();
    EXPECT_NEAR(shade().r, 0.5f, 1e-6) << "switched off";
    m.enabledStore[1] = 1;
    reinit();
    state.tex_list = nullptr;
    state.tex_count = 0;
    EXPECT_NEAR(shade().r, 0.5f, 1e-6) << "no texture coordinates, no maps";
}

TEST_F(Standard, ShadowsByTransparencyType) {
    state.type = ZO_RAY_SHADOW;
    options.shadow = ZO_SHADOW_ON;
    Color light{1, 1, 1, 1};
    zoBoolean through = kor_StandardMaterial(&light, &state, &m);
    EXPECT_FALSE(through) << "opaque: a black shadow";
    EXPECT_EQ(light.r + light.g + light.b, 0.0f);

    m.base.opacity = 0.25f;
    m.base.filterColor = {1, 0.5f, 0, 1};
    // filter: o <= 0.5 lifts F by (1 - min F) (1 - 2o) = 0.5
    light = {1, 1, 1, 1};
    EXPECT_TRUE(kor_StandardMaterial(&light, &state, &m));
    EXPECT_NEAR(light.r, 1.0f, 1e-6);
    EXPECT_NEAR(light.g, 1.0f, 1e-6);
    EXPECT_NEAR(light.b, 0.5f, 1e-6);
    EXPECT_EQ(light.a, 0.0f);
    // subtractive: (1 - D)(1 - o)
    m.base.transparencyType = kTransparencySubtractive;
    light = {1, 1, 1, 1};
    kor_StandardMaterial(&light, &state, &m);
    EXPECT_NEAR(light.r, 0.5f * 0.75f, 1e-6);
    EXPECT_NEAR(light.b, 0.7f * 0.75f, 1e-6);
    // additive: 1 - o
    m.base.transparencyType = kTransparencyAdditive;
    light = {1, 1, 1, 1};
    kor_StandardMaterial(&light, &state, &m);
    EXPECT_NEAR(light.g, 0.75f, 1e-6);
    // shadows off: light passes untouched
    options.shadow = 0;
    light = {1, 1, 1, 1};
    EXPECT_TRUE(kor_StandardMaterial(&light, &state, &m));
    EXPECT_EQ(light.r, 1.0f);
}

// A refraction map that records the refraction indices it sees and, the
// first time, follows the ray into the object as a refraction ray would.
struct IorProbe {
    MaterialRecord *material;
    float seen[2][2];
    int calls;
};
IorProbe ior_probe;

zoBoolean refraction_probe(void *result, RenderState *state, void *, void *) {
    IorProbe &p = ior_probe;
    if (p.calls < 2) {
        p.seen[p.calls][0] = state->ior_in;
        p.seen[p.calls][1] = state->ior;
    }
    if (p.calls++ == 0) {
        RenderState inside = *state;
        inside.parent = state;
        inside.type = ZO_RAY_REFRACT;
        inside.inv_normal = 1;
        Color c;
        kor_StandardMaterial(&c, &inside, p.material);
    }
    *static_cast<Color *>(result) = {0, 0, 0, 1};
    return 1;
}

TEST_F(Standard, RefractionIndicesFollowTheRayIntoAndOutOfAGlassObject) {
    m.base.ior = 1.5f;
    m.base.twoSided = 1;
    m.enabledStore[10] = 1;  // the Blinn model's refraction channel
    m.mapStore[10] = kMap + 1;
    m.amountStore[10] = 1.0f;
    reinit();
    functions().functions[kMap + 1] = {refraction_probe, nullptr};
    ior_probe = IorProbe{&m, {{0, 0}, {0, 0}}, 0};
    shade();
    ASSERT_EQ(ior_probe.calls, 2);
    EXPECT_FLOAT_EQ(ior_probe.seen[0][0], 1.0f) << "entering from air";
    EXPECT_FLOAT_EQ(ior_probe.seen[0][1], 1.5f);
    EXPECT_FLOAT_EQ(ior_probe.seen[1][0], 1.5f) << "leaving the glass";
    EXPECT_FLOAT_EQ(ior_probe.seen[1][1], 1.0f) << "back to the index outside";
    // the nesting counter is back at rest: a new eye ray enters again
    ior_probe.calls = 5;
    shade();
    EXPECT_FLOAT_EQ(state.ior, 1.5f);
    EXPECT_FLOAT_EQ(state.ior_in, 1.0f);
}

}  // namespace
