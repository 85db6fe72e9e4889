// Sky and sun: the physical sun's colour by physical scale and tint, its
// N.L test, "KEY_5" record, light report, exclusion, shadow density and
// alpha, volume query mode, photons and the volume march through the scene
// box; the textured sky's colour, map blend and environment; the sky
// luminance model's types, normalisation and values by direction; the gate
// on "KEY_0", init and exit, and no allocation per sample.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "internal/internal.h"
#include "kor_sky.h"
#include "scenedata.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_lights.h"
#include "testhost/testhost_reflect.h"
#include "testhost/testhost_sky.h"

extern "C" {
zoBoolean kor_PhysicalSun(Color *, RenderState *, PhysicalSunParams *, VolumeMarchRequest *);
void kor_PhysicalSun_init(RenderState *, void *, zoBoolean *);
void kor_PhysicalSun_exit(RenderState *, void *);
zoBoolean kor_TexturedSkylight(Color *, RenderState *, TexturedSkylightParams *, void *);
zoBoolean kor_IesSkylight(Color *, RenderState *, IesSkylightParams *, void *);
void kor_IesSkylight_init(RenderState *, void *, zoBoolean *);
void kor_IesSkylight_exit(RenderState *, void *);
}

namespace {

constexpr double kPi = 3.14159265358979;

TestLights &lights() {
    return *internal::host_object<TestLights>("testhost_lights");
}
TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestReflectHost &reflect() {
    return *internal::host_object<TestReflectHost>("testhost_reflect");
}
TestSky &sky() {
    return *internal::host_object<TestSky>("testhost_sky");
}

void expectColor(const Color &c, double r, double g, double b, double tol = 1e-5) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

// The diffuse curve handed to the material: soften s (0..1), contrast c.
double curve(double x, double s, double c) {
    if (s != 0.0) x = (1.0 - s) * x + (2.0 - x) * x * x * s;
    if (c != 0.0) {
        const double a = 2.0 - 1.0 / (c / 204.0 + 0.5);
        x = x / (a * x + (1.0 - a));
    }
    return x;
}

// A sun record with room for an exclusion list of eight entries.
struct SunRecord {
    PhysicalSunParams p{};
    zoBoolean more[7] = {};
};

class SkyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        lights().reset();
        illum().reset();
        reflect().reset();
        sky().reset();
        internal::host().user_slot = &slot;
        options.shadow = ZO_SHADOW_ON;
        options.userdata = 9;
        scene.lightTint = {1.0f, 0.5f, 0.25f, 1.0f};
        scene.physicalScale = 2000.0f;
        internal::host().data_blocks[9] = &scene;
        state.options = &options;
        state.type = ZO_RAY_LIGHT;
        state.dot_nd = 0.8f;
        state.march = 1;
        state.instance = 30;

        PhysicalSunParams &p = sun.p;
        p.on = 1;
        p.color = {1.0f, 0.8f, 0.6f, 1.0f};
        p.shadowOn = 1;
        p.multiplier = 4000.0f;
        p.shadowDensity = 1.0f;
        p.atmosphereOpacity = 0.5f;
        p.atmosphereColorAmount = 0.8f;
        p.affectDiffuse = 1;
        p.affectSpecular = 1;
        p.boxMin = {-2.0f, -1.0f, -6.0f};
        p.boxMax = {4.0f, 3.0f, -1.0f};
    }
    void TearDown() override {
        if (sunReady) kor_PhysicalSun_exit(&state, &sun.p);
        if (iesReady) kor_IesSkylight_exit(&state, &ies);
        EXPECT_EQ(slot, nullptr) << "exit empties the slot";
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "init/exit balance";
    }
    SunCache &initSun() {
        kor_PhysicalSun_init(&state, &sun.p, nullptr);
        sunReady = true;
        return *static_cast<SunCache *>(slot);
    }
    IesSkyCache &initIes() {
        kor_IesSkylight_init(&state, &ies, nullptr);
        iesReady = true;
        return *static_cast<IesSkyCache *>(slot);
    }
    zoBoolean sampleSun(VolumeMarchRequest *request = nullptr) {
        return kor_PhysicalSun(&result, &state, &sun.p, request);
    }
    void setIllumRecord() {
        LightIllumRecord r{0, 1.0f, 1, 0};
        zo_shaderstate_set(&state, KOR_KEY_LIGHT_ILLUM, &r, sizeof r, ZO_SHADERSTATE_RAY_TREE);
    }
    LightIllumRecord illumRecord() {
        auto *r = static_cast<LightIllumRecord *>(
            zo_shaderstate_get(&state, KOR_KEY_LIGHT_ILLUM, nullptr));
        EXPECT_NE(r, nullptr);
        return r ? *r : LightIllumRecord{};
    }
    void setGathering() {
        const int32_t mark = 1;
        zo_shaderstate_set(&state, KOR_KEY_SKY_GATHER, &mark, sizeof mark, ZO_SHADERSTATE_RAY_TREE);
    }
    // The sun colour expected from the parameters and the scene data.
    Color sunColor() const {
        const double k = double(sun.p.multiplier) / scene.physicalScale;
        return Color{float(sun.p.color.r * k * scene.lightTint.r),
                     float(sun.p.color.g * k * scene.lightTint.g),
                     float(sun.p.color.b * k * scene.lightTint.b), 1.0f};
    }

    void *slot = nullptr;
    RenderState state{};
    zoOptions options{};
    SceneData scene{};
    SunRecord sun;
    IesSkylightParams ies{};
    Color result{};
    bool sunReady = false, iesReady = false;
};

// ---------------------------------------------------------------------------
// The sun's cache.

TEST_F(SkyTest, SunInitRequestsInstanceInitAndBuildsItsCache) {
    zoBoolean request = 0;
    kor_PhysicalSun_init(&state, nullptr, &request);
    EXPECT_TRUE(request);
    EXPECT_EQ(slot, nullptr);

    sun.p.contrast = 40.0f;
    sun.p.softenDiffuseEdge = 25.0f;
    sun.p.affectSpecular = 0;
    sun.p.atmosphereShadows = 1;
    const SunCache &c = initSun();
    // colour x (multiplier / physical scale) x tint: 1 x 2 x (1, .5, .25) ...
    expectColor(c.color, 1.0 * 2.0 * 1.0, 0.8 * 2.0 * 0.5, 0.6 * 2.0 * 0.25);
    EXPECT_FLOAT_EQ(c.color.a, 1.0f);
    EXPECT_FALSE(c.isBlack);
    EXPECT_TRUE(c.on);
    EXPECT_EQ(c.affectBits, kAffectDiffuse);
    EXPECT_TRUE(c.shadowOn);
    EXPECT_TRUE(c.atmosphereShadows);
    const double a = 2.0 - 1.0 / (40.0 / 204.0 + 0.5);
    EXPECT_NEAR(c.curve.contrastA, a, 1e-6);
    EXPECT_NEAR(c.curve.contrastB, 1.0 - a, 1e-6);
    EXPECT_NEAR(c.curve.soften, 0.25, 1e-7);
    // the wider of |min| and |max| per axis, 1 % larger
    EXPECT_NEAR(c.halfWidthX, 4.0 * 1.01, 1e-5);
    EXPECT_NEAR(c.halfWidthY, 3.0 * 1.01, 1e-5);
    EXPECT_NEAR(c.emitHeight, -1.0 + 0.0001, 1e-6);
}

TEST_F(SkyTest, SunCacheEdgeValues) {
    // a zero-width box gets a tiny half-width; atmosphere shadows need shadows
    sun.p.boxMin = {0.0f, -1.0f, 0.0f};
    sun.p.boxMax = {0.0f, 1.0f, 0.0f};
    sun.p.shadowOn = 0;
    sun.p.atmosphereShadows = 1;
    const SunCache &c = initSun();
    EXPECT_FLOAT_EQ(c.halfWidthX, 0.0001f);
    EXPECT_NEAR(c.halfWidthY, 1.01, 1e-6);
    EXPECT_FALSE(c.atmosphereShadows);
    ASSERT_TRUE(sampleSun());
    EXPECT_FLOAT_EQ(result.a, 0.0f) << "no atmosphere alpha without shadows";
}

TEST_F(SkyTest, SunWithoutSceneDataIsBlackAndUnlit) {
    internal::host().data_blocks.clear();
    const SunCache &c = initSun();
    EXPECT_TRUE(c.isBlack);
    result = {9, 9, 9, 9};
    EXPECT_FALSE(sampleSun());
}

TEST_F(SkyTest, SunOffOrBlackGivesNoLight) {
    sun.p.on = 0;
    initSun();
    EXPECT_FALSE(sampleSun());
    kor_PhysicalSun_exit(&state, &sun.p);
    sun.p.on = 1;
    sun.p.multiplier = 0.0f;
    initSun();
    EXPECT_TRUE(static_cast<SunCache *>(slot)->isBlack);
    EXPECT_FALSE(sampleSun());
}

// ---------------------------------------------------------------------------
// The sun on light rays.

TEST_F(SkyTest, SunLightRayFillsTheMaterialRecordAndReport) {
    sun.p.contrast = 30.0f;
    sun.p.softenDiffuseEdge = 50.0f;
    sun.p.affectDiffuse = 0;
    initSun();
    options.shadow = ZO_SHADOW_OFF;
    setIllumRecord();
    LightReportRecord report{};
    report.extra = 7.0f;
    zo_shaderstate_set(&state, KOR_KEY_LIGHT_REPORT, &report, sizeof report, ZO_SHADERSTATE_SAMPLE);
    ASSERT_TRUE(sampleSun());
    const Color want = sunColor();
    expectColor(result, want.r, want.g, want.b);
    const LightIllumRecord r = illumRecord();
    EXPECT_EQ(r.filled, 1);
    EXPECT_NEAR(r.diffuseFactor, curve(0.8, 0.5, 30.0), 1e-5);
    EXPECT_EQ(r.ambientOnly, 0);
    EXPECT_EQ(r.affectBits, kAffectSpecular);
    auto *rep =
        static_cast<LightReportRecord *>(zo_shaderstate_get(&state, KOR_KEY_LIGHT_REPORT, nullptr));
    ASSERT_NE(rep, nullptr);
    EXPECT_FLOAT_EQ(rep->affectsDiffuse, 0.0f);
    EXPECT_FLOAT_EQ(rep->affectsSpecular, 1.0f);
    EXPECT_FLOAT_EQ(rep->extra, 7.0f) << "the sun has no extra value";
}

TEST_F(SkyTest, SunNdotLOfZeroOrLessIsUnlit) {
    initSun();
    for (float ndotl : {0.0f, -0.3f}) {
        state.dot_nd = ndotl;
        setIllumRecord();
        EXPECT_FALSE(sampleSun()) << ndotl;
        EXPECT_EQ(illumRecord().filled, 0) << ndotl;
    }
    EXPECT_EQ(lights().shadow_calls, 0);
}

TEST_F(SkyTest, SunExclusionListByNodeIndex) {
    sun.p.excludeList.start = 2;
    sun.p.excludeList.count = 3;
    sun.p.excludeList[2 + 1] = 1;  // node index 1 is excluded
    initSun();
    NodeData node{};
    internal::scene().instance_data[30] = 31;
    internal::host().data_blocks[31] = &node;
    for (int index : {0, 1, 2, 3}) {
        node.nodeIndex = index;
        EXPECT_EQ(sampleSun(), index == 1 ? 0 : 1) << "node index " << index;
    }
}

TEST_F(SkyTest, SunOnOtherRayTypesGivesItsColour) {
    initSun();
    setIllumRecord();
    state.dot_nd = -1.0f;
    for (int type : {ZO_RAY_EYE, ZO_RAY_SHADOW, ZO_RAY_REFLECT}) {
        state.type = type;
        ASSERT_TRUE(sampleSun());
        const Color want = sunColor();
        expectColor(result, want.r, want.g, want.b);
    }
    EXPECT_EQ(illumRecord().filled, 0);
    EXPECT_EQ(lights().shadow_calls, 0);
}

// ---------------------------------------------------------------------------
// Shadows: f = transmitted / lit (channel sums), s = density (1 - f).

TEST_F(SkyTest, SunShadowDensityScalesTheLightTakenAway) {
    struct Case {
        float filter;
        zoBoolean traced;
        float density;
        double factor;  // of the lit colour; -1: black
    };
    const Case cases[] = {
        {0.5f, 1, 1.0f, 0.5},    // s = 0.5
        {0.5f, 1, 0.6f, 0.7},    // s = 0.3
        {0.25f, 1, 0.4f, 0.7},   // s = 0.3
        {0.0f, 0, 0.5f, 0.5},    // blocked: f = 0, s = 0.5
        {0.0f, 0, 1.0f, 0.0},    // blocked, full density
        {0.5f, 1, 3.0f, -1.0},   // s = 1.5 > 1: black
        {0.5f, 1, -0.5f, -1.0},  // s < 0: black
        {1.0f, 1, 0.5f, 1.0},    // unshadowed: f = 1
    };
    sun.p.atmosphereShadows = 1;
    for (const Case &k : cases) {
        sun.p.shadowDensity = k.density;
        initSun();
        lights().reset();
        lights().shadow_filter = {k.filter, k.filter, k.filter, 1.0f};
        lights().shadow_result = k.traced;
        ASSERT_TRUE(sampleSun());
        const Color L = sunColor();
        ASSERT_EQ(lights().shadow_calls, 1);
        expectColor(lights().shadow_inputs[0], L.r, L.g, L.b);
        const double m = k.factor < 0.0 ? 0.0 : k.factor;
        expectColor(result, L.r * m, L.g * m, L.b * m);
        EXPECT_NEAR(result.a, 0.5 * 0.8, 1e-6) << "atmosphere opacity x colour amount";
        kor_PhysicalSun_exit(&state, &sun.p);
        sunReady = false;
    }
}

TEST_F(SkyTest, SunShadowFactorUsesChannelSums) {
    sun.p.shadowDensity = 0.5f;
    initSun();
    lights().shadow_filter = {0.0f, 1.0f, 1.0f, 1.0f};  // only red is stopped
    ASSERT_TRUE(sampleSun());
    const Color L = sunColor();
    const double f = (L.g + L.b) / double(L.r + L.g + L.b);
    const double keep = 1.0 - 0.5 * (1.0 - f);
    expectColor(result, L.r * keep, L.g * keep, L.b * keep);
    EXPECT_FLOAT_EQ(result.a, 0.0f);
}

TEST_F(SkyTest, SunTracesNoShadowsWhenTheRenderHasNone) {
    initSun();
    lights().shadow_filter = {0.0f, 0.0f, 0.0f, 1.0f};
    options.shadow = ZO_SHADOW_OFF;
    ASSERT_TRUE(sampleSun());
    EXPECT_EQ(lights().shadow_calls, 0);
    options.shadow = ZO_SHADOW_ON;
    sun.p.shadowOn = 0;
    kor_PhysicalSun_exit(&state, &sun.p);
    initSun();
    ASSERT_TRUE(sampleSun());
    EXPECT_EQ(lights().shadow_calls, 0);
    const Color L = sunColor();
    expectColor(result, L.r, L.g, L.b);
}

// ---------------------------------------------------------------------------
// Volume query mode, photons and the march.

TEST_F(SkyTest, SunInVolumeQueryModeSkipsTheSurfaceWork) {
    sun.p.excludeList.start = 0;
    sun.p.excludeList.count = 1;
    sun.p.excludeList[0] = 1;  // node 0 excluded on surfaces
    initSun();
    NodeData node{};
    internal::scene().instance_data[30] = 31;
    internal::host().data_blocks[31] = &node;
    state.dot_nd = -0.5f;
    setIllumRecord();
    VolumeSampleRecord record{};
    record.attenuation = 0.25f;
    zo_shaderstate_set(&state, KOR_KEY_VOLUME_SAMPLE, &record, sizeof record,
                       ZO_SHADERSTATE_RAY_TREE);
    ASSERT_TRUE(sampleSun());
    const Color L = sunColor();
    expectColor(result, L.r, L.g, L.b);
    EXPECT_EQ(illumRecord().filled, 0);
    auto *stored = static_cast<VolumeSampleRecord *>(
        zo_shaderstate_get(&state, KOR_KEY_VOLUME_SAMPLE, nullptr));
    ASSERT_NE(stored, nullptr);
    EXPECT_FLOAT_EQ(stored->attenuation, 1.0f);

    // the same without a record: march field zeroed under a volume call
    zo_shaderstate_set(&state, KOR_KEY_VOLUME_SAMPLE, nullptr, 0, ZO_SHADERSTATE_RAY_TREE);
    RenderState parent{};
    state.parent = &parent;
    state.march = 0;
    internal::host().call_type = ZO_CALL_VOLUME;
    EXPECT_TRUE(sampleSun());
    state.march = 1;
    EXPECT_FALSE(sampleSun()) << "an ordinary state: excluded and facing away";
}

TEST_F(SkyTest, SunPhotonLeavesTheTopOfTheBox) {
    initSun();
    internal::scene().sample_value = 0.25;
    // light space: world = light shifted by (10, 0, 0)
    lights().from_light[12] = 10.0f;
    for (int type : {ZO_PHOTON_LIGHT, ZO_PHOTON_EMIT_GLOBILLUM, ZO_PHOTON_EMIT_CAUSTIC}) {
        lights().photons.clear();
        state.type = type;
        result = {3.0f, 2.0f, 1.0f, 1.0f};
        EXPECT_TRUE(sampleSun());
        ASSERT_EQ(lights().photons.size(), 1u) << type;
        const TestPhoton &ph = lights().photons[0];
        EXPECT_NEAR(ph.origin.x, -2.0 + 0.25 * 6.0 + 10.0, 1e-5);
        EXPECT_NEAR(ph.origin.y, -1.0 + 0.25 * 4.0, 1e-5);
        EXPECT_NEAR(ph.origin.z, -1.0 + 0.0001, 1e-5);
        EXPECT_NEAR(ph.direction.x, 0.0, 1e-6);
        EXPECT_NEAR(ph.direction.y, 0.0, 1e-6);
        EXPECT_NEAR(ph.direction.z, -1.0, 1e-6);
        expectColor(ph.energy, 3.0, 2.0, 1.0);
        EXPECT_FLOAT_EQ(ph.ior, 1.0f);
        EXPECT_FLOAT_EQ(ph.ior_in, 1.0f);
    }
}

struct Segment {
    float start, end;
    Color sample;
    float attenuation;
};
std::vector<Segment> g_segments;
int g_stopAfter = -1;

zoBoolean recordSegment(Color *accumulator, const void *, const VolumeMarchParams *, const zoRay *,
                        float start, float end, const Color *sample, float attenuation) {
    g_segments.push_back({start, end, *sample, attenuation});
    accumulator->r += sample->r * (end - start);
    return g_stopAfter < 0 || static_cast<int>(g_segments.size()) < g_stopAfter;
}

struct MarchSeen {
    std::vector<int32_t> march;
    std::vector<Tag> light;
    std::vector<Vector3> point;
};

void seeSample(RenderState *state, Tag, int, void *data) {
    auto *seen = static_cast<MarchSeen *>(data);
    seen->march.push_back(state->march);
    seen->light.push_back(state->light_instance);
    seen->point.push_back(state->point);
}

class SunMarch : public SkyTest {
  protected:
    void SetUp() override {
        SkyTest::SetUp();
        g_segments.clear();
        g_stopAfter = -1;
        march.steps = 4;
        march.callback = recordSegment;
        request.march = &march;
        request.light = 42;
        request.maxDistance = 100.0f;
        TestLightSample s;
        s.color = {0.2f, 0.4f, 0.6f, 1.0f};
        illum().lights[42].samples = {s, s};
        illum().on_sample = seeSample;
        illum().hook_data = &seen;
        state.type = ZO_RAY_EYE;
        state.light_instance = 5;
    }
    void ray(const Vector3 &o, const Vector3 &d) {
        request.origin = request.worldOrigin = o;
        request.direction = request.worldDirection = d;
    }
    VolumeMarchParams march{};
    VolumeMarchRequest request{};
    MarchSeen seen;
};

TEST_F(SunMarch, StepsThroughTheBoxSamplingTheSun) {
    initSun();
    ray({0.0f, 0.0f, 3.0f}, {0.0f, 0.0f, -1.0f});  // enters z = -1 at 4, leaves z = -6 at 9
    result = {0, 0, 0, 0};
    ASSERT_TRUE(sampleSun(&request));
    ASSERT_EQ(g_segments.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(g_segments[i].start, 4.0 + 1.25 * i, 1e-4);
        EXPECT_NEAR(g_segments[i].end, 4.0 + 1.25 * (i + 1), 1e-4);
        expectColor(g_segments[i].sample, 0.2, 0.4, 0.6);
        EXPECT_FLOAT_EQ(g_segments[i].attenuation, 1.0f);
    }
    EXPECT_NEAR(result.r, 0.2 * 5.0, 1e-4) << "the callback summed into the light's result";
    ASSERT_EQ(seen.march.size(), 8u);
    for (size_t i = 0; i < seen.march.size(); ++i) {
        EXPECT_EQ(seen.march[i], 0) << "the march field is zeroed while sampling";
        EXPECT_EQ(seen.light[i], 42u) << "the light is switched to the sun";
        EXPECT_NEAR(seen.point[i].z, 3.0 - (4.0 + 1.25 * (i / 2 + 0.5)), 1e-4);
    }
    EXPECT_EQ(state.march, 1);
    EXPECT_EQ(state.light_instance, 5u);
}

TEST_F(SunMarch, MissesAndEarlyEnds) {
    initSun();
    // beside the box: one black segment up to the maximum distance
    ray({10.0f, 0.0f, 3.0f}, {0.0f, 0.0f, -1.0f});
    ASSERT_TRUE(sampleSun(&request));
    ASSERT_EQ(g_segments.size(), 1u);
    EXPECT_FLOAT_EQ(g_segments[0].start, 0.0f);
    EXPECT_FLOAT_EQ(g_segments[0].end, 100.0f);
    expectColor(g_segments[0].sample, 0, 0, 0);
    EXPECT_TRUE(seen.march.empty());

    // the box lies behind the ray
    g_segments.clear();
    ray({0.0f, 0.0f, 3.0f}, {0.0f, 0.0f, 1.0f});
    ASSERT_TRUE(sampleSun(&request));
    ASSERT_EQ(g_segments.size(), 1u);
    expectColor(g_segments[0].sample, 0, 0, 0);

    // starting inside, clipped at the maximum distance, stopped by the callback
    g_segments.clear();
    request.maxDistance = 2.0f;
    g_stopAfter = 2;
    ray({0.0f, 0.0f, -2.0f}, {0.0f, 0.0f, -1.0f});
    ASSERT_TRUE(sampleSun(&request));
    ASSERT_EQ(g_segments.size(), 2u);
    EXPECT_NEAR(g_segments[0].start, 0.0, 1e-6);
    EXPECT_NEAR(g_segments[1].end, 1.0, 1e-5);
}

TEST_F(SunMarch, LightRayWithoutAtmosphereShadowsDoesNotMarch) {
    initSun();
    ray({0.0f, 0.0f, 3.0f}, {0.0f, 0.0f, -1.0f});
    state.type = ZO_RAY_LIGHT;
    EXPECT_TRUE(sampleSun(&request));
    EXPECT_TRUE(g_segments.empty());
    kor_PhysicalSun_exit(&state, &sun.p);
    sun.p.atmosphereShadows = 1;
    initSun();
    EXPECT_TRUE(sampleSun(&request));
    EXPECT_EQ(g_segments.size(), 4u);
}

TEST_F(SkyTest, SunSamplesAllocateNothing) {
    initSun();
    const long before = internal::host().allocations;
    setIllumRecord();
    for (int i = 0; i < 20; ++i) {
        state.type = i % 2 ? ZO_RAY_LIGHT : ZO_PHOTON_LIGHT;
        sampleSun();
    }
    EXPECT_EQ(internal::host().allocations, before);
}

// ---------------------------------------------------------------------------
// The textured sky.

class TexturedSky : public SkyTest {
  protected:
    void SetUp() override {
        SkyTest::SetUp();
        p.on = 1;
        p.multiplier = 2.0f;
        p.color = {0.1f, 0.2f, 0.4f, 1.0f};
        p.map = 77;
        p.mapOn = 1;
        p.mapAmount = 40.0f;
        parent.dir = {0.0f, 0.6f, 0.8f};
        state.parent = &parent;
        state.dir = {1.0f, 0.0f, 0.0f};
        state.type = ZO_RAY_LIGHT;
    }
    zoBoolean run() { return kor_TexturedSkylight(&result, &state, &p, nullptr); }
    TexturedSkylightParams p{};
    RenderState parent{};
};

TEST_F(TexturedSky, AnswersOnlyWhileSkyLightIsGathered) {
    result = {5, 5, 5, 5};
    EXPECT_FALSE(run());
    expectColor(result, 0, 0, 0);
    setGathering();
    p.on = 0;
    result = {5, 5, 5, 5};
    EXPECT_TRUE(run());
    expectColor(result, 0, 0, 0);
}

TEST_F(TexturedSky, ColourWithTheMapBlendedOver) {
    setGathering();
    internal::host().shaders[77] = TestShaderBehaviour{1, true, {0.9f, 0.7f, 0.0f, 1.0f}};
    internal::host().argument_words = 2;
    ASSERT_TRUE(run());
    const double w = 0.4;
    expectColor(result, 2.0 * (0.1 + w * (0.9 - 0.1)), 2.0 * (0.2 + w * (0.7 - 0.2)),
                2.0 * (0.4 + w * (0.0 - 0.4)));
    ASSERT_EQ(internal::host().arguments.size(), 1u);
    EXPECT_EQ(internal::host().arguments[0].type, ZO_SHADER_MAP);
    EXPECT_EQ(internal::host().arguments[0].words[0], 0);
    EXPECT_EQ(internal::host().arguments[0].words[1], 2);
    EXPECT_FLOAT_EQ(state.dir.y, 0.6f) << "the map looks along the parent's ray";
    EXPECT_FLOAT_EQ(state.dir.z, 0.8f);
}

TEST_F(TexturedSky, MapSkippedOrFailed) {
    setGathering();
    internal::host().shaders[77] = TestShaderBehaviour{0, true, {0.9f, 0.7f, 0.0f, 1.0f}};
    ASSERT_TRUE(run());
    expectColor(result, 0.2, 0.4, 0.8);  // a failed call leaves the colour
    internal::host().shaders[77].ok = 1;
    internal::host().arguments.clear();
    for (int which = 0; which < 3; ++which) {
        TexturedSkylightParams q = p;
        if (which == 0) q.mapOn = 0;
        if (which == 1) q.map = 0;
        if (which == 2) q.mapAmount = 0.0f;
        ASSERT_TRUE(kor_TexturedSkylight(&result, &state, &q, nullptr));
        expectColor(result, 0.2, 0.4, 0.8);
    }
    EXPECT_TRUE(internal::host().arguments.empty());
}

TEST_F(TexturedSky, SceneEnvironmentInTheParentsDirection) {
    setGathering();
    p.useEnvironment = 1;
    reflect().environment_color = {0.3f, 0.5f, 0.7f, 1.0f};
    ASSERT_TRUE(run());
    expectColor(result, 0.6, 1.0, 1.4);
    ASSERT_EQ(reflect().traces.size(), 1u);
    EXPECT_FLOAT_EQ(reflect().traces[0].dir.y, 0.6f);
    EXPECT_FLOAT_EQ(reflect().traces[0].dir.z, 0.8f);

    reflect().environment_ok = 0;
    ASSERT_TRUE(run());
    expectColor(result, 0, 0, 0);

    reflect().environment_ok = 1;
    reflect().traces.clear();
    state.type = ZO_RAY_ENVIRONMENT;
    ASSERT_TRUE(run());
    expectColor(result, 0, 0, 0);
    EXPECT_TRUE(reflect().traces.empty());
}

// ---------------------------------------------------------------------------
// The sky luminance model.

const double kClearK[19] = {0.452, 0.440, 0.435, 0.436, 0.446, 0.464, 0.491, 0.530, 0.581, 0.648,
                            0.734, 0.844, 0.985, 1.165, 1.398, 1.698, 2.086, 2.591, 3.248};
const double kPartlyK[19] = {0.632, 0.636, 0.644, 0.656, 0.672, 0.694, 0.723, 0.758, 0.802, 0.854,
                             0.916, 0.990, 1.076, 1.178, 1.296, 1.434, 1.595, 1.782, 2.002};

// Table value at altitude alpha (radians), linear between 5-degree steps.
double tableAt(const double *table, double alpha) {
    const double step = 5.0 * kPi / 180.0;
    const double x = alpha / step;
    const int lo = static_cast<int>(std::floor(x));
    if (lo >= 18) return table[18];
    const double t = x - lo;
    return (1.0 - t) * table[lo] + t * table[lo + 1];
}

// Expected luminance by the model, with the sun at unit `sun`.
double skyLuminance(int type, const Vector3 &sun, const Vector3 &d) {
    const double mu = sun.z;
    const double alpha = std::asin(mu);
    double lz, k;
    if (type == 0) {
        lz = 800.0 + 15500.0 * std::sqrt(mu), k = tableAt(kClearK, alpha) / kPi;
    } else if (type == 1) {
        lz = 300.0 + 45000.0 * mu, k = tableAt(kPartlyK, alpha) / kPi;
    } else {
        lz = 300.0 + 21000.0 * mu, k = 0.409;
    }
    const double F = lz * k;
    const double ts = kPi / 2.0 - alpha;
    const double len = std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z);
    const double cosT = d.z / len;
    if (cosT <= 0.0) return 0.0;
    const double cg = (d.x * sun.x + d.y * sun.y + d.z * sun.z) / len;
    const double g = std::acos(cg);
    if (type == 0) {
        const double n =
            F / ((0.91 + 10.0 * std::exp(-3.0 * ts) + 0.45 * std::cos(ts) * std::cos(ts)) *
                 (1.0 - std::exp(-0.32)));
        return n * (0.91 + 10.0 * std::exp(-3.0 * g) + 0.45 * cg * cg) *
               (1.0 - std::exp(-0.32 / cosT));
    }
    if (type == 1) {
        const double n = F / ((0.526 + 5.0 * std::exp(-1.5 * ts)) * (1.0 - std::exp(-0.8)));
        return n * (0.526 + 5.0 * std::exp(-1.5 * g)) * (1.0 - std::exp(-0.8 / cosT));
    }
    const double e = std::exp(-0.52 / cosT);
    return 0.864 * F / std::exp(-0.52) * e + 0.136 * F / (1.0 - std::exp(-0.52)) * (1.0 - e);
}

class IesSky : public SkyTest {
  protected:
    void SetUp() override {
        SkyTest::SetUp();
        ies.on = 1;
        ies.multiplier = 3.0f;
        ies.color = {1.0f, 0.9f, 0.8f, 1.0f};
        state.light_instance = 44;
        state.parent = &parent;
        sky().has_light_record = true;
        // light space turned against world: (x, y, z) -> (x, -z, y)
        float *m = lights().from_light;
        for (int i = 0; i < 16; ++i) m[i] = 0.0f;
        m[0] = 1.0f;
        m[6] = 1.0f;
        m[9] = -1.0f;
        m[15] = 1.0f;
        sky().light_record.direction = {0.0f, 0.8f, -0.6f};  // world (0, 0.6, 0.8)
    }
    zoBoolean look(const Vector3 &d) {
        parent.dir = d;
        state.dir = {0.0f, 0.0f, -1.0f};
        return kor_IesSkylight(&result, &state, &ies, nullptr);
    }
    // `rel`: relative tolerance (towards the sun itself the angle to the sun
    // comes from an arc cosine near 1, good to a few 1e-4 rad in floats)
    void expectSky(int type, const Vector3 &d, double rel = 1e-4) {
        ASSERT_TRUE(look(d));
        const double s = skyLuminance(type, sun, d) * kPi / scene.physicalScale * 3.0;
        expectColor(result, 1.0 * s, 0.9 * s, 0.8 * s, rel * std::fmax(1.0, s));
        EXPECT_FLOAT_EQ(result.a, 1.0f);
    }
    RenderState parent{};
    Vector3 sun{0.0f, 0.6f, 0.8f};
};

TEST_F(IesSky, SkyTypeBySkyCover) {
    const std::pair<float, int> cases[] = {{0.0f, 0},  {0.34f, 0}, {0.35f, 1},
                                           {0.75f, 1}, {0.76f, 2}, {1.0f, 2}};
    for (const auto &c : cases) {
        ies.skyCover = c.first;
        EXPECT_EQ(initIes().skyType, c.second) << c.first;
        kor_IesSkylight_exit(&state, &ies);
        iesReady = false;
    }
}

TEST_F(IesSky, InitReadsTheSunFromTheLightAndNormalises) {
    zoBoolean request = 0;
    kor_IesSkylight_init(&state, nullptr, &request);
    EXPECT_TRUE(request);
    const IesSkyCache &c = initIes();
    ASSERT_FALSE(sky().record_queries.empty());
    EXPECT_EQ(sky().record_queries.back(), 44u);
    EXPECT_NEAR(c.sunDir.x, 0.0, 1e-6);
    EXPECT_NEAR(c.sunDir.y, 0.6, 1e-6);
    EXPECT_NEAR(c.sunDir.z, 0.8, 1e-6);
    EXPECT_FLOAT_EQ(c.zenith.z, 1.0f);
    EXPECT_FLOAT_EQ(c.scale, 2000.0f);
    EXPECT_EQ(c.skyType, 0);
    // clear sky at the zenith: the luminance is Lz x K(altitude)
    const double alpha = std::asin(0.8);
    const double zenith = (800.0 + 15500.0 * std::sqrt(0.8)) * tableAt(kClearK, alpha) / kPi;
    setGathering();
    ASSERT_TRUE(look({0.0f, 0.0f, 2.0f}));
    EXPECT_NEAR(result.r, zenith * kPi / 2000.0 * 3.0, 1e-3);
}

TEST_F(IesSky, LuminanceByDirectionForEachSky) {
    const Vector3 directions[] = {{0.0f, 0.0f, 1.0f}, {0.0f, 0.6f, 0.8f},   {0.0f, -0.6f, 0.8f},
                                  {0.7f, 0.1f, 0.2f}, {-3.0f, 1.0f, 0.05f}, {0.2f, 0.9f, 0.4f}};
    for (int type = 0; type < 3; ++type) {
        ies.skyCover = type == 0 ? 0.1f : type == 1 ? 0.5f : 0.9f;
        initIes();
        setGathering();
        for (const Vector3 &d : directions) {
            SCOPED_TRACE(::testing::Message()
                         << "type " << type << " d " << d.x << " " << d.y << " " << d.z);
            const bool towardsSun = d.x == sun.x && d.y == sun.y && d.z == sun.z;
            expectSky(type, d, towardsSun ? 2e-3 : 1e-4);
        }
        // overcast at the zenith: 0.864 F + 0.136 F = F
        if (type == 2) {
            ASSERT_TRUE(look({0.0f, 0.0f, 1.0f}));
            const double F = (300.0 + 21000.0 * 0.8) * 0.409;
            EXPECT_NEAR(result.r, F * kPi / 2000.0 * 3.0, 1e-3);
        }
        kor_IesSkylight_exit(&state, &ies);
        iesReady = false;
    }
}

TEST_F(IesSky, BlackOnAndBelowTheHorizonAndWithoutGathering) {
    initIes();
    result = {5, 5, 5, 5};
    EXPECT_FALSE(look({0.0f, 0.0f, 1.0f})) << "no \"KEY_0\"";
    expectColor(result, 0, 0, 0);
    setGathering();
    for (const Vector3 &d : {Vector3{1.0f, 0.0f, 0.0f}, Vector3{0.0f, 0.3f, -0.7f}}) {
        result = {5, 5, 5, 5};
        ASSERT_TRUE(look(d));
        expectColor(result, 0, 0, 0);
    }
    // the direction is the parent's, not the state's
    parent.dir = {0.0f, 0.0f, 1.0f};
    state.dir = {0.0f, 0.0f, -1.0f};
    ASSERT_TRUE(kor_IesSkylight(&result, &state, &ies, nullptr));
    EXPECT_GT(result.r, 0.0f);
    kor_IesSkylight_exit(&state, &ies);
    ies.on = 0;
    initIes();
    result = {5, 5, 5, 5};
    EXPECT_TRUE(look({0.0f, 0.0f, 1.0f}));
    expectColor(result, 0, 0, 0);
}

TEST_F(IesSky, SunBelowTheHorizonOrUnknownGivesABlackSky) {
    setGathering();
    sky().light_record.direction = {0.0f, -0.8f, 0.6f};  // world (0, -0.6, -0.8)
    const IesSkyCache &c = initIes();
    EXPECT_FLOAT_EQ(c.norm1, 0.0f);
    EXPECT_FLOAT_EQ(c.norm2, 0.0f);
    ASSERT_TRUE(look({0.0f, 0.0f, 1.0f}));
    expectColor(result, 0, 0, 0);
    kor_IesSkylight_exit(&state, &ies);
    // no light record: a neutral sky
    sky().has_light_record = false;
    ies.skyCover = 0.9f;
    initIes();
    ASSERT_TRUE(look({0.0f, 0.0f, 1.0f}));
    expectColor(result, 0, 0, 0);
}

TEST_F(IesSky, WithoutSceneDataTheSkyDividesBy1500) {
    internal::host().data_blocks.clear();
    const IesSkyCache &c = initIes();
    EXPECT_FLOAT_EQ(c.scale, 1500.0f);
    setGathering();
    ASSERT_TRUE(look({0.3f, 0.2f, 0.9f}));
    const double s = skyLuminance(0, sun, {0.3f, 0.2f, 0.9f}) * kPi / 1500.0 * 3.0;
    EXPECT_NEAR(result.r, s, 1e-4 * s);
    const long before = internal::host().allocations;
    for (int i = 0; i < 10; ++i) look({0.1f * i, 0.2f, 0.9f});
    EXPECT_EQ(internal::host().allocations, before) << "no allocation per sample";
}

}  // namespace
