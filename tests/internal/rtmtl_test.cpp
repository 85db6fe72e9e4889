// The raytrace material: its own light loop under a scripted light for the
// shading types, traced reflection and refraction with the Fresnel amount,
// the distance falloff through the object-list walk, shadows through its
// transparency, photons, missing input and the absence of allocation per
// sample.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "illum.h"
#include "internal/internal.h"
#include "kor_raytrace.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_reflect.h"
#include "testhost/testhost_rtmtl.h"

namespace {

// The declared record of the material, with the arrays' storage appended.
struct RaytraceRecord : RaytraceMaterialParams {
    Tag nameStore[4];
    zoBoolean enabledStore[24];
    Tag mapStore[24];
    float amountStore[24];
};
static_assert(sizeof(RaytraceMaterialParams) == 444, "declared layout");

}  // namespace

extern "C" {
zoBoolean kor_RaytraceMaterial(Color *, RenderState *, RaytraceRecord *);
void kor_RaytraceMaterial_init(RenderState *, void *, zoBoolean *);
void kor_RaytraceMaterial_exit(RenderState *, void *);
}

namespace {

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestReflectHost &reflect() {
    return *internal::host_object<TestReflectHost>("testhost_reflect");
}
TestRtmtlHost &rt() {
    return *internal::host_object<TestRtmtlHost>("testhost_rtmtl");
}
TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

template <typename T, typename S>
int32_t start_of(const T *slot, const S *store) {
    return static_cast<int32_t>(
        (reinterpret_cast<const char *>(store) - reinterpret_cast<const char *>(slot)) / sizeof(S));
}

Color map_colour;
zoBoolean fixed_map(void *result, RenderState *, void *, void *) {
    *static_cast<Color *>(result) = map_colour;
    return 1;
}

constexpr Tag kLight = 500, kInstance = 40, kOther = 77, kMap = 70, kScene = 300;
constexpr float kTol = 1e-5f;

Vector3 unit(Vector3 v) {
    const float l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / l, v.y / l, v.z / l};
}

class RaytraceMaterial : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        reflect().reset();
        rt().reset();
        functions().reset();
        internal::host().thread_pointers = true;
        internal::host().user_slot = &slot;
        record.tag = 91;
        state.shader = &record;
        state.options = &options;
        state.instance = kInstance;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = unit({0.6f, 0, -0.8f});
        state.dot_nd = -0.8f;
        state.point = {0, 0, 0};
        options.trace_depth = options.reflection_depth = options.refraction_depth = 4;
        functions().functions[kMap] = {fixed_map, nullptr};

        list.count = 1;
        list.lights[0] = kLight;
        internal::scene().light_lists[kInstance] = 400;
        internal::host().data_blocks[400] = &list;

        std::memset(&m, 0, sizeof m);
        m.diffuse = {0.5f, 0.4f, 0.3f, 1};
        m.specularColor = {1, 1, 1, 1};
        m.ior = 1.5f;
        m.reflectionGain = 0.5f;
        m.glowBias = 0.5f;
        m.objectNames.start = start_of(&m.objectNames.storage[0], m.nameStore);
        m.mapEnabled.start = start_of(&m.mapEnabled.storage[0], m.enabledStore);
        m.maps.start = start_of(&m.maps.storage[0], m.mapStore);
        m.mapAmounts.start = start_of(&m.mapAmounts.storage[0], m.amountStore);
        m.mapEnabled.count = m.maps.count = m.mapAmounts.count = 24;
    }
    void init() {
        zoBoolean instances = 0;
        kor_RaytraceMaterial_init(&state, nullptr, &instances);
        EXPECT_TRUE(instances);
        kor_RaytraceMaterial_init(&state, &m, nullptr);
        initialised = true;
    }
    void TearDown() override {
        if (initialised) kor_RaytraceMaterial_exit(&state, &m);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    void light(Color colour, Vector3 dir) {
        TestLightSample s;
        s.color = colour;
        s.dir = dir;
        s.dot_nl = dir.z;  // the normal is +z
        illum().lights[kLight].samples = {s};
    }
    Color shade() {
        Color c{9, 9, 9, 9};
        last = kor_RaytraceMaterial(&c, &state, &m);
        return c;
    }
    void useSceneData(bool energySwitch1, bool energySwitch2) {
        std::memset(&sceneData, 0, sizeof sceneData);
        sceneData.energySwitch1 = energySwitch1;
        sceneData.energySwitch2 = energySwitch2;
        options.userdata = kScene;
        internal::host().data_blocks[kScene] = &sceneData;
    }

    void *slot = nullptr;
    zoOptions options{};
    zoShaderRecord record{};
    RenderState state{};
    IllumLightList list{};
    SceneData sceneData{};
    RaytraceRecord m;
    zoBoolean last = 0;
    bool initialised = false;
};

// Blinn: (N.H)^(4 exponent) x level with H = normalise(L - V); Oren-Nayar
// and Metal change the diffuse term or take no highlight where Blinn does.
TEST_F(RaytraceMaterial, BlinnHighlightAndDiffuseShape) {
    useSceneData(true, false);
    init();
    const Vector3 L = unit({-0.3f, 0.2f, 0.9f});
    light({1, 1, 1, 1}, L);
    m.shadingType = 3;
    m.specularLevel = 1.2f;
    m.glossiness = 0.1f;
    const Color c = shade();
    const Vector3 V = state.dir;
    const Vector3 H = unit({L.x - V.x, L.y - V.y, L.z - V.z});
    const float spec = std::pow(H.z, 4.0f * std::pow(2.0f, 1.0f)) * 1.2f;
    EXPECT_NEAR(c.r, L.z * 0.5f + spec, kTol);
    EXPECT_NEAR(c.b, L.z * 0.3f + spec, kTol);

    // a diffuse shape of 0.25 (the map slot 21 at full amount) halves the
    // diffuse factor: 2 f x
    Vector3 uv{0, 0, 0};
    state.tex_list = &uv;
    state.tex_count = 1;
    m.specularLevel = 0;
    m.enabledStore[21] = 1;
    m.mapStore[21] = kMap;
    m.amountStore[21] = 1;
    map_colour = {0.25f, 0.25f, 0.25f, 1};
    const Color shaped = shade();
    EXPECT_NEAR(shaped.r, 2 * L.z * 0.25f * 0.5f, kTol);
    EXPECT_NEAR(shaped.g, 2 * L.z * 0.25f * 0.4f, kTol);
}

// The reflection amount: traced light x amount is added, and the rest is
// dimmed by 1 - amount; with tracing off the environment is looked up.
TEST_F(RaytraceMaterial, TracedReflectionAndGain) {
    useSceneData(true, false);  // no energy blend
    init();
    options.trace = 1;
    m.traceReflections = 1;
    m.selfHits = 1;
    m.reflectAmount = 0.4f;
    m.ambient = {1, 1, 1, 1};
    sceneData.ambientColor = {1, 1, 1, 1};
    illum().trace_color = {0.2f, 0.6f, 1.0f, 1};
    illum().reflection_dir = {0.6f, 0, 0.8f};
    const Color c = shade();
    EXPECT_EQ(illum().reflection_traces, 1);
    ASSERT_EQ(reflect().traces.size(), 1u);
    EXPECT_FLOAT_EQ(reflect().traces[0].dir.x, 0.6f);
    const float D[3] = {0.5f, 0.4f, 0.3f}, T[3] = {0.2f, 0.6f, 1.0f};
    const float got[3] = {c.r, c.g, c.b};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], D[i] * 0.6f + 0.4f * T[i], kTol) << i;

    // a gain of 1 without the energy blend multiplies by 0.5 / 0.005
    m.reflectionGain = 1.0f;
    const Color g = shade();
    EXPECT_NEAR(g.r, D[0] * 0.6f + 0.4f * 0.2f * 100.0f, 1e-3f);
    // reflections added on top
    m.reflectionGain = 0.5f;
    m.reflectionMode = 1;
    const Color top = shade();
    EXPECT_NEAR(top.g, D[1] + 0.4f * 0.6f, kTol);

    // tracing off: the environment along the mirror direction
    options.trace = 0;
    reflect().environment_color = {0.5f, 0.5f, 0.5f, 1};
    m.reflectionMode = 0;
    const Color env = shade();
    EXPECT_EQ(illum().reflection_traces, 3);
    EXPECT_NEAR(env.b, D[2] * 0.6f + 0.4f * 0.5f, kTol);
}

// Fresnel reflection: F of the mirror and ray directions and the index,
// from h = normalise(I - R), c = h.I, g = sqrt(c^2 + n^2 - 1), p = c (g + c).
TEST_F(RaytraceMaterial, FresnelAmount) {
    useSceneData(true, false);
    init();
    options.trace = 1;
    m.traceReflections = 1;
    m.selfHits = 1;
    m.reflectType = 2;
    m.diffuse = {0, 0, 0, 1};
    illum().trace_color = {1, 1, 1, 1};
    const Vector3 I = state.dir;
    const Vector3 R = {I.x, I.y, -I.z};
    illum().reflection_dir = R;
    const Color c = shade();
    const Vector3 h = unit({I.x - R.x, I.y - R.y, I.z - R.z});
    const float cc = h.x * I.x + h.y * I.y + h.z * I.z;
    const float n = 1.5f;
    const float g = std::sqrt(cc * cc + n * n - 1);
    const float p = cc * (g + cc);
    const float F = (g - cc) * (g - cc) / (2 * (g + cc) * (g + cc)) *
                    (1 + (p - 1) * (p - 1) / ((p + 1) * (p + 1)));
    EXPECT_NEAR(c.r, F, kTol);
    EXPECT_NEAR(c.g, F, kTol);
}

// Refraction: the direction from the indices the material entered with
// (eta = 1 / 1.5 outside), the traced light x transparency; a reflection
// colour of 1 everywhere skips the refraction trace.
TEST_F(RaytraceMaterial, TracedRefraction) {
    useSceneData(true, false);
    init();
    options.trace = 1;
    m.traceRefractions = 1;
    m.selfHits = 1;
    m.transparencyAmount = 0.5f;
    illum().trace_color = {0.8f, 0.4f, 0.2f, 1};
    const Color c = shade();
    EXPECT_EQ(illum().refraction_traces, 1);
    ASSERT_EQ(reflect().traces.size(), 1u);
    const Vector3 I = state.dir;
    const float eta = 1 / 1.5f, cc = 0.8f;
    const float k = 1 - (1 - cc * cc) * eta * eta;
    const Vector3 want = unit({eta * I.x, eta * I.y, eta * I.z + (cc * eta - std::sqrt(k))});
    EXPECT_NEAR(reflect().traces[0].dir.x, want.x, kTol);
    EXPECT_NEAR(reflect().traces[0].dir.z, want.z, kTol);
    EXPECT_NEAR(c.r, 0.5f * 0.8f, kTol);
    EXPECT_NEAR(c.g, 0.5f * 0.4f, kTol);
    EXPECT_FLOAT_EQ(c.a, 1.0f);  // traced refraction: the surface is opaque to the host

    // all-reflecting: no refraction trace
    m.reflectAmount = 1;
    shade();
    EXPECT_EQ(illum().refraction_traces, 1);
}

// Falloff through the object-list walk: the first probe hits the shaded

// A listed name that names no instance is reported and left out; the names
// that resolve keep their order.
TEST_F(RaytraceMaterial, ObjectListLeavesOutUnknownNames) {
    reflect().names["glass"] = 88;
    static char glass[] = "glass", ghost[] = "ghost";
    internal::host().images[601] = reinterpret_cast<zoImage *>(ghost);
    internal::host().images[602] = reinterpret_cast<zoImage *>(glass);
    m.nameStore[0] = 601;
    m.nameStore[1] = 602;
    m.objectNames.count = 2;
    init();
    ASSERT_EQ(internal::host().messages.size(), 1u);
    EXPECT_NE(internal::host().messages[0].find(
                  "object \"ghost\" not found, left out of the object list"),
              std::string::npos)
        << internal::host().messages[0];
    EXPECT_EQ(reflect().lookups, (std::vector<std::string>{"ghost", "glass"}));
}

// object itself (passed over without self hits), the second an object of
// the exclude list (passed over), the third is shaded; the distance is the
// sum of the probe legs. Linear falloff mixes towards the falloff colour.
TEST_F(RaytraceMaterial, FalloffOverTheProbeWalk) {
    useSceneData(true, false);
    reflect().names["glass"] = 88;
    static char glass[] = "glass";
    internal::host().images[601] = reinterpret_cast<zoImage *>(glass);
    m.nameStore[0] = 601;
    m.objectNames.count = 1;
    init();
    options.trace = 1;
    m.traceReflections = 1;
    m.reflectAmount = 1;
    m.reflectFalloffType = 1;
    m.falloffStart = 1;
    m.reflectFalloffEnd = 11;
    m.falloffUseColor = 1;
    m.falloffColor = {1, 0, 0, 1};
    rt().hits = {{kInstance, 1.0, {0, 0, 1}}, {88, 2.0, {0, 0, 3}}, {kOther, 3.0, {0, 0, 6}}};
    internal::host().material_call.color = {0, 1, 0, 1};
    const Color c = shade();
    ASSERT_EQ(rt().probes.size(), 3u);
    EXPECT_FALSE(rt().probes[0].has_origin);
    EXPECT_TRUE(rt().probes[1].has_origin);
    const float w = 1 - (6.0f - 1) / 10;
    EXPECT_NEAR(c.r, 1 - w, kTol);
    EXPECT_NEAR(c.g, w, kTol);
    EXPECT_EQ(illum().reflection_traces, 0);  // shaded through the probed state

    // nothing acceptable hit: the environment, no falloff distance left
    rt().reset();
    reflect().environment_color = {0, 0, 1, 1};
    const Color env = shade();
    EXPECT_NEAR(env.b, 0.0f, kTol);  // beyond the end: all falloff colour
    EXPECT_NEAR(env.r, 1.0f, kTol);
}

// Density and fog inside a refracting object over the traced distance.
TEST_F(RaytraceMaterial, DensityAndFog) {
    useSceneData(true, false);
    init();
    options.trace = 1;
    m.traceRefractions = 1;
    m.transparencyAmount = 1;
    m.densityOn = 1;
    m.densityColor = {0.5f, 1, 1, 1};
    m.densityStart = 0;
    m.densityEnd = 8;
    m.densityAmount = 1;
    rt().hits = {{kOther, 2.0, {0, 0, -2}}};
    illum().trace_color = {1, 1, 1, 1};
    const Color c = shade();
    const float f = 2.0f / 8.0f;
    EXPECT_NEAR(c.r, 0.5f * f + (1 - f), kTol);
    EXPECT_NEAR(c.g, 1.0f, kTol);

    m.densityOn = 0;
    m.fogOn = 1;
    m.fogColor = {0, 0, 1, 1};
    m.fogStart = 1;
    m.fogEnd = 2;  // x = 2 - 1 within the range 1: f = amount x / range
    m.fogAmount = 0.5f;
    rt().reset();
    rt().hits = {{kOther, 2.0, {0, 0, -2}}};
    const Color fog = shade();
    EXPECT_NEAR(fog.r, 0.5f, kTol);
    EXPECT_NEAR(fog.b, 1.0f, kTol);
}

}  // namespace
