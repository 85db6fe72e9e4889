// Standard lights: beam shapes, range and decay curves, the diffuse curve
// and the shadow mix against their formulas; the four light shaders with
// their records for the material and the render elements, exclusion,
// shadows, projector and shadow maps, photon emission, volume query mode
// and the volume march; init and exit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "internal/internal.h"
#include "kor_light.h"
#include "kor_sky.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_lights.h"

extern "C" {
zoBoolean kor_SpotLight(Color *, RenderState *, SpotLightParams *, VolumeMarchRequest *);
void kor_SpotLight_init(RenderState *, void *, zoBoolean *);
void kor_SpotLight_exit(RenderState *, void *);
zoBoolean kor_DirectionalLight(Color *, RenderState *, SpotLightParams *, VolumeMarchRequest *);
void kor_DirectionalLight_init(RenderState *, void *, zoBoolean *);
void kor_DirectionalLight_exit(RenderState *, void *);
zoBoolean kor_OmniLight(Color *, RenderState *, OmniLightParams *, VolumeMarchRequest *);
void kor_OmniLight_init(RenderState *, void *, zoBoolean *);
void kor_OmniLight_exit(RenderState *, void *);
void kor_DefaultLight_init(RenderState *, void *, zoBoolean *);
void kor_DefaultLight_exit(RenderState *, void *);
zoBoolean kor_PhysicalSun(Color *, RenderState *, PhysicalSunParams *, VolumeMarchRequest *);
void kor_PhysicalSun_init(RenderState *, void *, zoBoolean *);
void kor_PhysicalSun_exit(RenderState *, void *);
}

namespace {

constexpr double kPi = 3.14159265358979;
constexpr float kTol = 1e-5f;

double rad(double degrees) {
    return degrees * kPi / 180.0;
}
double fade(double t) {
    return t * t * (3.0 - 2.0 * t);
}

TestLights &lights() {
    return *internal::host_object<TestLights>("testhost_lights");
}
TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

// A light-space point at `distance` from the light, `degrees` off the -z
// axis in the x-z plane.
Vector3 atAngle(double degrees, double distance) {
    return {float(distance * std::sin(rad(degrees))), 0.0f,
            float(-distance * std::cos(rad(degrees)))};
}

// A spot record with room for an exclusion list of eight entries.
struct SpotRecord {
    SpotLightParams p{};
    zoBoolean more[7] = {};
};
struct OmniRecord {
    OmniLightParams p{};
    zoBoolean more[7] = {};
};

void defaults(SpotLightParams &p) {
    p.on = 1;
    p.color = {1.0f, 0.5f, 0.25f, 1.0f};
    p.multiplier = 2.0f;
    p.affectDiffuse = 1;
    p.affectSpecular = 1;
    p.hotspot = 30.0f;
    p.falloff = 60.0f;
    p.circular = 1;
    p.aspect = 1.0f;
    p.shadowColor = {0.2f, 0.4f, 0.6f, 1.0f};
    p.shadowDensity = 1.0f;
}

void defaults(OmniLightParams &p) {
    p.on = 1;
    p.color = {1.0f, 0.5f, 0.25f, 1.0f};
    p.multiplier = 2.0f;
    p.affectDiffuse = 1;
    p.affectSpecular = 1;
    p.shadowColor = {0.2f, 0.4f, 0.6f, 1.0f};
    p.shadowDensity = 1.0f;
}

void expectColor(const Color &c, double r, double g, double b, double tol = 1e-5) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

class Lights : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        lights().reset();
        functions().reset();
        internal::host().user_slot = &slot;
        options.shadow = ZO_SHADOW_ON;
        options.userdata = 9;
        scene.lightTint = {1.0f, 1.0f, 1.0f, 1.0f};
        internal::host().data_blocks[9] = &scene;
        state.options = &options;
        state.type = ZO_RAY_LIGHT;
        state.dot_nd = 0.8f;
        state.dist = 5.0;
        state.march = 1;
        state.volume = 77;
        defaults(spot.p);
        defaults(omni.p);
        dflt.color = {0.5f, 0.25f, 1.0f, 1.0f};
        dflt.multiplier = 2.0f;
    }
    void TearDown() override {
        exitAll();
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "init/exit balance";
    }
    void exitAll() {
        if (spotReady) kor_SpotLight_exit(&state, &spot.p);
        if (directionalReady) kor_DirectionalLight_exit(&state, &spot.p);
        if (omniReady) kor_OmniLight_exit(&state, &omni.p);
        if (defaultReady) kor_DefaultLight_exit(&state, &dflt);
        spotReady = directionalReady = omniReady = defaultReady = false;
    }
    LightCache &initSpot() {
        kor_SpotLight_init(&state, &spot.p, nullptr);
        spotReady = true;
        return *static_cast<LightCache *>(slot);
    }
    LightCache &initDirectional() {
        kor_DirectionalLight_init(&state, &spot.p, nullptr);
        directionalReady = true;
        return *static_cast<LightCache *>(slot);
    }
    LightCache &initOmni() {
        kor_OmniLight_init(&state, &omni.p, nullptr);
        omniReady = true;
        return *static_cast<LightCache *>(slot);
    }
    LightCache &initDefault() {
        kor_DefaultLight_init(&state, &dflt, nullptr);
        defaultReady = true;
        return *static_cast<LightCache *>(slot);
    }
    zoBoolean sampleSpot(const Vector3 &p) {
        state.point = p;
        return kor_SpotLight(&result, &state, &spot.p, nullptr);
    }
    zoBoolean sampleOmni(const Vector3 &p) {
        state.point = p;
        return kor_OmniLight(&result, &state, &omni.p, nullptr);
    }
    zoBoolean sampleDirectional(const Vector3 &p) {
        state.point = p;
        return kor_DirectionalLight(&result, &state, &spot.p, nullptr);
    }
    // "KEY_5" as the material leaves it before each light.
    void setIllumRecord() {
        LightIllumRecord r{0, 1.0f, 0, 3};
        zo_shaderstate_set(&state, KOR_KEY_LIGHT_ILLUM, &r, sizeof r, ZO_SHADERSTATE_RAY_TREE);
    }
    LightIllumRecord illumRecord() {
        int size = 0;
        auto *r =
            static_cast<LightIllumRecord *>(zo_shaderstate_get(&state, KOR_KEY_LIGHT_ILLUM, &size));
        EXPECT_NE(r, nullptr);
        return r ? *r : LightIllumRecord{};
    }

    void *slot = nullptr;
    RenderState state{};
    zoOptions options{};
    SceneData scene{};
    SpotRecord spot;
    OmniRecord omni;
    DefaultLightParams dflt{};
    Color result{};
    bool spotReady = false, directionalReady = false, omniReady = false, defaultReady = false;
};

// ---------------------------------------------------------------------------
// Beam shapes.

class BeamShapes : public ::testing::Test {
  protected:
    void SetUp() override { internal::reset(); }
    void TearDown() override {
        for (BeamShape *s : shapes) kor::destroyBeamShape(s);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    BeamShape *make(int kind, float hotspot, float falloff, bool overshoot, bool circular,
                    float aspect) {
        BeamShape *s = kor::makeBeamShape(kind, hotspot, falloff, overshoot, circular, aspect);
        if (s) shapes.push_back(s);
        return s;
    }
    static float attenuate(const BeamShape *s, const Vector3 &p, zoBoolean *shadow) {
        const double d = std::sqrt(double(p.x) * p.x + double(p.y) * p.y + double(p.z) * p.z);
        return s->ops.attenuate(s, &p, float(-p.z / d), shadow);
    }
    std::vector<BeamShape *> shapes;
};

TEST_F(BeamShapes, CircularConeFadesBetweenHotspotAndFalloff) {
    BeamShape *s = make(kBeamCone, 30, 60, false, true, 3.0f);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->aspect, 1.0f) << "a circular cone has aspect 1";
    zoBoolean shadow = 0;
    EXPECT_NEAR(attenuate(s, atAngle(10, 5), &shadow), 1.0, kTol) << "inside the hotspot";
    EXPECT_TRUE(shadow);
    for (double angle : {16.0, 20.0, 25.0, 29.5}) {
        const double t =
            (std::cos(rad(angle)) - std::cos(rad(30))) / (std::cos(rad(15)) - std::cos(rad(30)));
        EXPECT_NEAR(attenuate(s, atAngle(angle, 7), &shadow), fade(t), 1e-4) << angle;
        EXPECT_TRUE(shadow);
    }
    EXPECT_EQ(attenuate(s, atAngle(31, 5), &shadow), 0.0f) << "outside the falloff";
    EXPECT_TRUE(shadow);
    EXPECT_EQ(attenuate(s, Vector3{0, 0, 1}, &shadow), 0.0f) << "behind the light";
    EXPECT_EQ(attenuate(s, Vector3{1, 0, 0}, &shadow), 0.0f) << "beside the light";
}

TEST_F(BeamShapes, RectangularConeEdges) {
    // hotspot 20, falloff 40, aspect 1: the square's edge is at tan 20
    BeamShape *s = make(kBeamCone, 20, 40, false, false, 1.0f);
    const double edge = std::tan(rad(20));
    auto at = [&](double ax, double ay) {
        return Vector3{float(ax * edge * 10), float(ay * edge * 10), -10.0f};
    };
    zoBoolean shadow = 0;
    EXPECT_NEAR(attenuate(s, at(0.3, 0.4), &shadow), 1.0, kTol) << "inside the hotspot square";
    EXPECT_NEAR(attenuate(s, at(0.75, 0.2), &shadow), fade(1 - (0.75 - 0.5) / 0.5), 1e-4);
    EXPECT_NEAR(attenuate(s, at(0.1, 0.8), &shadow), fade(1 - (0.8 - 0.5) / 0.5), 1e-4);
    // the corner lies outside the circle of the falloff, yet inside the square
    EXPECT_GT(std::atan(std::hypot(0.9, 0.9) * edge), rad(20));
    const double tx = 1 - (0.9 - 0.5) / 0.5;
    EXPECT_NEAR(attenuate(s, at(0.9, 0.9), &shadow), fade(tx * tx), 1e-4);
    EXPECT_TRUE(shadow);
    EXPECT_EQ(attenuate(s, at(1.05, 0.0), &shadow), 0.0f) << "past the square's side";
    EXPECT_EQ(attenuate(s, at(0.0, 1.05), &shadow), 0.0f);

    // aspect 2: the half-width grows by sqrt 2, the half-height shrinks by it
    BeamShape *w = make(kBeamCone, 20, 40, false, false, 2.0f);
    const double scale = 1 / (edge * std::sqrt(2.0));  // projScale
    const Vector3 p{2.0f, 1.0f, -10.0f};
    const double ax = 0.2 * scale, ay = 0.1 * scale * 2;
    ASSERT_LT(ax, 1.0);
    ASSERT_LT(ay, 1.0);
    double t = 1;
    if (ax > 0.5) t *= 1 - (ax - 0.5) / 0.5;
    if (ay > 0.5) t *= 1 - (ay - 0.5) / 0.5;
    EXPECT_NEAR(attenuate(w, p, &shadow), ax > 0.5 || ay > 0.5 ? fade(t) : 1.0, 1e-4);
}

// ---------------------------------------------------------------------------
// Range, decay, diffuse curve and shadow mix.

TEST(LightCurves, NearAndFarRanges) {
    // near 2..6, far 10..20
    auto f = [](float d) { return kor::rangeFactor(d, true, 2, 6, true, 10, 20); };
    EXPECT_EQ(f(1.9f), 0.0f);
    EXPECT_NEAR(f(3), fade(0.25), kTol);
    EXPECT_NEAR(f(5), fade(0.75), kTol);
    EXPECT_EQ(f(8), 1.0f);
    EXPECT_NEAR(f(12), fade(0.8), kTol);
    EXPECT_NEAR(f(17.5f), fade(0.25), kTol);
    EXPECT_EQ(f(20.5f), 0.0f);
    EXPECT_EQ(kor::rangeFactor(50, true, 2, 6, false, 10, 20), 1.0f) << "far range off";
    EXPECT_EQ(kor::rangeFactor(0.5f, false, 2, 6, false, 10, 20), 1.0f) << "both off";
    // overlapping ranges multiply
    EXPECT_NEAR(kor::rangeFactor(5, true, 0, 10, true, 0, 10), fade(0.5) * fade(0.5), kTol);
}

TEST(LightCurves, DecayKinds) {
    EXPECT_EQ(kor::applyDecay(0.8f, 0, 2, 8), 0.8f) << "no decay";
    EXPECT_NEAR(kor::applyDecay(0.8f, 1, 2, 8), 0.8 * 0.25, kTol) << "inverse";
    EXPECT_NEAR(kor::applyDecay(0.8f, 2, 2, 8), 0.8 * 0.0625, kTol) << "inverse square";
    EXPECT_EQ(kor::applyDecay(0.8f, 2, 2, 1.5f), 0.8f) << "before the decay start";
    EXPECT_EQ(kor::applyDecay(0.8f, 1, 2, 2), 0.8f) << "at the decay start";
    EXPECT_EQ(kor::applyDecay(0.8f, 2, 2, 0), 0.8f) << "zero distance";
}

TEST(LightCurves, DiffuseCurveSoftenAndContrast) {
    LightCache cache{};
    cache.soften = 0.4f;
    kor::contrastCoefficients(50, &cache.contrastA, &cache.contrastB);
    const double A = 2 - 1 / (50 / 204.0 + 0.5), B = 1 - A;
    EXPECT_NEAR(cache.contrastA, A, kTol);
    EXPECT_NEAR(cache.contrastB, B, kTol);
    for (double x : {0.0, 0.2, 0.5, 0.9, 1.0}) {
        double s = 0.6 * x + (2 - x) * x * x * 0.4;
        double c = s / (A * s + B);
        EXPECT_NEAR(kor::diffuseCurve(cache, 50, float(x)), c, 1e-5) << x;
        LightCache softOnly = cache;
        EXPECT_NEAR(kor::diffuseCurve(softOnly, 0, float(x)), s, 1e-5) << "contrast off";
    }
    float a = 1, b = 1;
    kor::contrastCoefficients(0, &a, &b);
    EXPECT_EQ(a, 0.0f);
    EXPECT_EQ(b, 1.0f);
}

// ---------------------------------------------------------------------------
// Init and exit.

// ---------------------------------------------------------------------------
// Spot light samples.

TEST_F(Lights, SpotBeamRangesAndDecay) {
    spot.p.useNearAtten = 1;
    spot.p.nearAttenStart = 1;
    spot.p.nearAttenEnd = 5;
    spot.p.useFarAtten = 1;
    spot.p.farAttenStart = 8;
    spot.p.farAttenEnd = 12;
    spot.p.decayType = 2;
    spot.p.decayStart = 3;
    initSpot();
    const double r = 2, g = 1, b = 0.5;
    // inside the hotspot at distance 4: near fade and inverse-square decay
    ASSERT_TRUE(sampleSpot(atAngle(5, 4)));
    double k = fade(3.0 / 4) * (3.0 / 4) * (3.0 / 4);
    expectColor(result, r * k, g * k, b * k);
    EXPECT_EQ(result.a, 0.0f);
    // in the smooth zone at distance 9: far fade, decay and beam fade
    ASSERT_TRUE(sampleSpot(atAngle(22, 9)));
    const double t =
        (std::cos(rad(22)) - std::cos(rad(30))) / (std::cos(rad(15)) - std::cos(rad(30)));
    k = fade((12 - 9) / 4.0) * (3.0 / 9) * (3.0 / 9) * fade(t);
    expectColor(result, r * k, g * k, b * k);
    // outside the falloff, before the near start, past the far end
    EXPECT_FALSE(sampleSpot(atAngle(35, 6)));
    expectColor(result, 0, 0, 0);
    EXPECT_FALSE(sampleSpot(atAngle(0, 0.5)));
    EXPECT_FALSE(sampleSpot(atAngle(0, 12.5)));
    EXPECT_EQ(lights().shadow_calls, 0) << "shadows are off";
}

TEST_F(Lights, ExclusionListByNodeIndex) {
    spot.p.excludeList.start = 1;
    spot.p.excludeList.count = 3;
    spot.more[2] = 1;  // storage element 3 = list element 2
    initSpot();
    NodeData node{};
    internal::scene().instance_data[21] = 31;
    internal::host().data_blocks[31] = &node;
    state.instance = 21;
    node.nodeIndex = 2;
    EXPECT_FALSE(sampleSpot(atAngle(0, 5))) << "excluded";
    node.nodeIndex = 1;
    EXPECT_TRUE(sampleSpot(atAngle(0, 5)));
    node.nodeIndex = 3;
    EXPECT_TRUE(sampleSpot(atAngle(0, 5))) << "beyond the list's count";
    state.instance = 22;  // no node data
    EXPECT_TRUE(sampleSpot(atAngle(0, 5)));
}

TEST_F(Lights, ShadowsByAnOccluder) {
    spot.p.shadowOn = 1;
    initSpot();
    const double L[3] = {2, 1, 0.5}, K[3] = {0.2, 0.4, 0.6};

    // a clear path leaves the light alone
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    expectColor(result, L[0], L[1], L[2]);
    EXPECT_EQ(lights().shadow_calls, 1);
    expectColor(lights().shadow_inputs[0], 1, 1, 1);

    // a half-transparent occluder: f = 0.5, mixed toward the shadow colour
    lights().shadow_filter = {0.5f, 0.5f, 0.5f, 1};
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    expectColor(result, L[0] * 0.5 + K[0] * 0.5, L[1] * 0.5 + K[1] * 0.5, L[2] * 0.5 + K[2] * 0.5);

    // a tinting occluder with the light affecting the shadow colour
    exitAll();
    spot.p.lightAffectsShadowColor = 1;
    initSpot();
    lights().shadow_filter = {1.0f, 0.5f, 0.0f, 1};
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    const double f[3] = {0, 0.5, 1};  // mean 0.5
    expectColor(result, L[0] * (f[0] * K[0] + 1 - f[0]), L[1] * (f[1] * K[1] + 1 - f[1]),
                L[2] * (f[2] * K[2] + 1 - f[2]));

    // a blocking occluder: the trace fails, S is black, f = density
    exitAll();
    spot.p.lightAffectsShadowColor = 0;
    spot.p.shadowDensity = 0.75f;
    initSpot();
    lights().shadow_result = 0;
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    expectColor(result, L[0] * 0.25 + K[0] * 0.75, L[1] * 0.25 + K[1] * 0.75,
                L[2] * 0.25 + K[2] * 0.75);

    // density above 1: only the shadow colour is left
    exitAll();
    spot.p.shadowDensity = 2;
    initSpot();
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    expectColor(result, K[0] * 2, K[1] * 2, K[2] * 2);

    // negative density brightens
    exitAll();
    spot.p.shadowDensity = -1;
    initSpot();
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    expectColor(result, L[0] - K[0], L[1] - K[1], L[2] - K[2]);
}

// Records what a map saw and answers a colour.
struct MapProbe {
    Color answer;
    zoBoolean ok = 1;
    int calls = 0;
    Vector3 coord{}, dir{}, point{};
};

// ---------------------------------------------------------------------------
// Omni, directional and default lights.

TEST_F(Lights, OmniRangesDecayAndZeroDistance) {
    omni.p.useNearAtten = 1;
    omni.p.nearAttenStart = 1;
    omni.p.nearAttenEnd = 3;
    omni.p.decayType = 1;
    omni.p.decayStart = 2;
    initOmni();
    ASSERT_TRUE(sampleOmni({0, 4, 0}));
    expectColor(result, 2 * 0.5, 1 * 0.5, 0.5 * 0.5);  // inverse decay
    ASSERT_TRUE(sampleOmni({0, 0, -2}));
    const double k = fade(0.5);
    expectColor(result, 2 * k, 1 * k, 0.5 * k);  // near fade, no decay before its start
    EXPECT_FALSE(sampleOmni({0.5f, 0, 0})) << "before the near start";
    EXPECT_FALSE(sampleOmni({0, 0, 0})) << "zero distance";
    state.dist = 0;
    EXPECT_FALSE(sampleOmni({0, 4, 0})) << "zero ray distance";
    state.dist = 5;
    state.type = ZO_RAY_REFLECT;
    ASSERT_TRUE(sampleOmni({0, 0, 0}));
    expectColor(result, 2, 1, 0.5);  // a ray that sees the light gets its colour
}

TEST_F(Lights, DirectionalParallelBeam) {
    spot.p.hotspot = 5;
    spot.p.falloff = 10;
    spot.p.decayType = 1;
    spot.p.decayStart = 100;  // never reached
    initDirectional();
    ASSERT_TRUE(sampleDirectional({3, 0, -50}));
    expectColor(result, 2, 1, 0.5);
    ASSERT_TRUE(sampleDirectional({0, 7.5f, -50}));
    const double k = fade((1 - 0.75) / 0.5);
    expectColor(result, 2 * k, 1 * k, 0.5 * k);
    EXPECT_FALSE(sampleDirectional({10.5f, 0, -50})) << "outside the cylinder";
    EXPECT_FALSE(sampleDirectional({0, 0, 1})) << "above the light";
    exitAll();
    spot.p.overshoot = 1;
    initDirectional();
    EXPECT_TRUE(sampleDirectional({0, 0, 1})) << "overshoot lights above too";
}

// ---------------------------------------------------------------------------
// Photon emission.

// ---------------------------------------------------------------------------
// Volume march.

struct Segment {
    float start, end;
    VolumeSampleRecord ranges;
    bool hadRecord;
    Color sample;
    float attenuation;
};
std::vector<Segment> segments;
int stopAfter = 0;

zoBoolean recordStep(Color *accumulator, const void *, const VolumeMarchParams *, const zoRay *,
                     float start, float end, const Color *sample, float attenuation) {
    int size = 0;
    auto *rec = static_cast<VolumeSampleRecord *>(
        zo_shaderstate_get(nullptr, KOR_KEY_VOLUME_SAMPLE, &size));
    segments.push_back(
        {start, end, rec ? *rec : VolumeSampleRecord{}, rec != nullptr, *sample, attenuation});
    accumulator->r += sample->r;
    return stopAfter == 0 || int(segments.size()) < stopAfter;
}

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}

// Stands in for the light the host samples: writes an attenuation into
// "KEY_4" and notes the sample point it found there.
std::vector<Vector3> samplePoints;

class VolumeMarch : public Lights {
  protected:
    void SetUp() override {
        Lights::SetUp();
        illum() = TestIllumHost{};
        samplePoints.clear();
        segments.clear();
        stopAfter = 0;
        march.steps = 4;
        march.startScale = 1;
        march.endScale = 1;
        march.callback = recordStep;
        request.march = &march;
        request.maxDistance = 1000;
        request.light = 40;
        state.type = ZO_RAY_EYE;
    }
    void ray(Vector3 o, Vector3 d) {
        request.origin = request.worldOrigin = o;
        request.direction = request.worldDirection = d;
    }
    void expectSegments(const std::vector<std::pair<double, double>> &expected) {
        ASSERT_EQ(segments.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_NEAR(segments[i].start, expected[i].first, 1e-3) << i;
            EXPECT_NEAR(segments[i].end, expected[i].second, 1e-3) << i;
        }
    }
    VolumeMarchParams march{};
    VolumeMarchRequest request{};
    Color accumulator{};
};

TEST_F(VolumeMarch, SpotConeSegments) {
    spot.p.falloff = 90;  // half-angle 45: lit for |x| <= 10 at z = -10
    initSpot();
    ray({-100, 0, -10}, {1, 0, 0});
    state.point = {1, 2, 3};
    ASSERT_TRUE(kor_SpotLight(&accumulator, &state, &spot.p, &request));
    expectSegments({{90, 95}, {95, 100}, {100, 105}, {105, 110}});
    EXPECT_TRUE(segments[0].hadRecord) << "\"KEY_4\" set while sampling";
    EXPECT_EQ(zo_shaderstate_get(&state, KOR_KEY_VOLUME_SAMPLE, nullptr), nullptr)
        << "and removed afterwards";
    EXPECT_EQ(state.point.y, 2.0f) << "the state's point comes back";

    // a callback that answers false ends the march
    segments.clear();
    stopAfter = 2;
    ASSERT_TRUE(kor_SpotLight(&accumulator, &state, &spot.p, &request));
    EXPECT_EQ(segments.size(), 2u);

    // a miss gives one black segment over the whole ray
    segments.clear();
    stopAfter = 0;
    ray({-100, 50, -10}, {1, 0, 0});
    ASSERT_TRUE(kor_SpotLight(&accumulator, &state, &spot.p, &request));
    expectSegments({{0, 1000}});
}

// The reference host keeps no photon maps, so the sun's photons are checked
// here: one photon per emission call from the top of the box (its sample
// point by the two sample numbers), straight down the light's -z axis
// carried to world space, with the energy handed in.
TEST(PhysicalSun, PhotonsLeaveTheTopOfTheBoxStraightDown) {
    internal::reset();
    lights().reset();
    void *slot = nullptr;
    internal::host().user_slot = &slot;
    internal::scene().sample_value = 0.25;
    lights().from_light[12] = 10.0f;  // world = light space shifted by (10, 0, 0)
    PhysicalSunParams p{};
    p.on = 1;
    p.color = {1, 1, 1, 1};
    p.multiplier = 1;
    p.boxMin = {-2, -1, -6};
    p.boxMax = {4, 3, -1};
    SceneData scene{};  // the sun is black without scene data
    scene.lightTint = {1, 1, 1, 1};
    scene.physicalScale = 1;
    zoOptions options{};
    options.userdata = 9;
    internal::host().data_blocks[9] = &scene;
    RenderState state{};
    state.options = &options;
    kor_PhysicalSun_init(&state, &p, nullptr);
    for (int type : {ZO_PHOTON_LIGHT, ZO_PHOTON_EMIT_GLOBILLUM, ZO_PHOTON_EMIT_CAUSTIC}) {
        lights().photons.clear();
        state.type = type;
        Color energy = {3, 2, 1, 1};
        EXPECT_TRUE(kor_PhysicalSun(&energy, &state, &p, nullptr));
        ASSERT_EQ(lights().photons.size(), 1u) << type;
        const TestPhoton &ph = lights().photons[0];
        EXPECT_NEAR(ph.origin.x, -2 + 0.25 * 6 + 10, kTol);
        EXPECT_NEAR(ph.origin.y, -1 + 0.25 * 4, kTol);
        EXPECT_NEAR(ph.origin.z, -1 + 0.0001, kTol);
        EXPECT_NEAR(ph.direction.z, -1, kTol) << "down the light";
        EXPECT_NEAR(ph.energy.r + ph.energy.g + ph.energy.b, 6, kTol);
    }
    kor_PhysicalSun_exit(&state, &p);
    EXPECT_EQ(slot, nullptr);
}

}  // namespace
