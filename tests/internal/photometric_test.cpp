// The photometric point light against its formulas: intensity units and
// the colour built at init, the five distributions (web profiles without
// data), the inverse-square distance factor with the unit scale and the
// reference value, the colour filter, the far fade, the emitter shapes'
// effective points, blends and area terms, the records for the material
// and the render elements, exclusion, N.L in light space, the
// luminance-weighted shadow and photons; init and exit.
#include <gtest/gtest.h>

#include <cmath>

#include "internal/internal.h"
#include "kor_lslights.h"
#include "scenedata.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_lights.h"
#include "testhost/testhost_photometric.h"

extern "C" {
zoBoolean kor_PhotometricPointLight(Color *, RenderState *, PhotometricLightParams *,
                                    VolumeMarchRequest *);
void kor_PhotometricPointLight_init(RenderState *, void *, zoBoolean *);
void kor_PhotometricPointLight_exit(RenderState *, void *);
}

namespace {

constexpr double kPi = 3.14159265358979;

TestLights &lights() {
    return *internal::host_object<TestLights>("testhost_lights");
}
TestPhotometric &photometric() {
    return *internal::host_object<TestPhotometric>("testhost_photometric");
}

double fade(double t) {
    return t * t * (3.0 - 2.0 * t);
}

void expectColor(const Color &c, double r, double g, double b, double tol = 1e-6) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

// A record with room for an exclusion list of eight entries.
struct Record {
    PhotometricLightParams p{};
    zoBoolean more[7] = {};
};

class Photometric : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        lights().reset();
        photometric().reset();
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
        PhotometricLightParams &p = rec.p;
        p.on = 1;
        p.color = {1.0f, 0.5f, 0.25f, 1.0f};
        p.intensity = 3000.0f;
        p.filterColor = {1, 1, 1, 1};
        p.affectDiffuse = 1;
        p.affectSpecular = 1;
        p.shadowColor = {0.2f, 0.4f, 0.6f, 1.0f};
        p.shadowDensity = 1.0f;
        p.hotspot = float(kPi / 3);  // 60 degrees
        p.falloff = float(kPi / 2);  // 90 degrees
        p.referenceValue = 1500.0f;
        p.unitScale = 1.0f;
    }
    void TearDown() override {
        exit();
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "init/exit balance";
    }
    PhotometricCache &init() {
        exit();
        kor_PhotometricPointLight_init(&state, &rec.p, nullptr);
        ready = true;
        return *static_cast<PhotometricCache *>(slot);
    }
    void exit() {
        if (ready) kor_PhotometricPointLight_exit(&state, &rec.p);
        ready = false;
    }
    zoBoolean sample(const Vector3 &p) {
        state.point = p;
        return kor_PhotometricPointLight(&result, &state, &rec.p, nullptr);
    }
    // The lit colour of the default light (3000 cd, R 1500) at distance d
    // straight below it, before the distribution.
    static double lit(double channel, double d, double scale = 1.0) {
        return channel * 3000.0 / ((d * scale) * (d * scale)) / 1500.0;
    }

    void *slot = nullptr;
    RenderState state{};
    zoOptions options{};
    SceneData scene{};
    Record rec;
    Color result{};
    bool ready = false;
};

// ---------------------------------------------------------------------------
// Init.

TEST_F(Photometric, InitRequestsInstanceInitAndExitReleases) {
    zoBoolean request = 0;
    kor_PhotometricPointLight_init(&state, nullptr, &request);
    EXPECT_TRUE(request);
    EXPECT_EQ(slot, nullptr);
    init();
    EXPECT_NE(slot, nullptr);
    exit();
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(internal::host().allocations, internal::host().releases);
}

TEST_F(Photometric, IntensityUnits) {
    scene.lightTint = {0.5f, 1.0f, 2.0f, 1.0f};
    PhotometricCache *c = &init();
    expectColor(c->base.color, 3000 * 0.5, 1500, 1500, 1e-3);
    EXPECT_EQ(c->base.color.a, 1.0f);
    EXPECT_EQ(c->reference, 1500.0f);
    EXPECT_NEAR(c->marchScale, 3000.0 / (1500.0 / 511.0), 1e-2);

    scene.lightTint = {1, 1, 1, 1};
    rec.p.intensityUnit = kUnitLumen;
    c = &init();  // isotropic: over the whole sphere
    EXPECT_NEAR(c->base.color.r, 3000 / (4 * kPi), 1e-3);
    rec.p.distribution = kDistDiffuse;
    c = &init();
    EXPECT_NEAR(c->base.color.r, 3000 / kPi, 1e-3);
    rec.p.distribution = kDistSpot;
    c = &init();  // the falloff cone of 90 degrees
    EXPECT_NEAR(c->base.color.r, 3000 / (2 * kPi * (1 - std::cos(kPi / 4))), 1e-2);

    rec.p.distribution = kDistIsotropic;
    rec.p.intensityUnit = kUnitLux;
    rec.p.intensityDistance = 2.0f;
    c = &init();
    EXPECT_NEAR(c->base.color.r, 3000 * 4.0, 1e-2);
}

TEST_F(Photometric, ReferenceAndUnitScaleDefaultsAndFarRange) {
    rec.p.referenceValue = -3.0f;
    rec.p.unitScale = 0.0f;
    rec.p.farAttenStart = 2.0f;
    rec.p.farAttenEnd = 4.0f;
    PhotometricCache *c = &init();
    EXPECT_EQ(c->reference, 1500.0f);
    EXPECT_EQ(c->unitScale, 1.0f);
    EXPECT_EQ(c->farEnd, 4.0f);
    rec.p.unitScale = 0.5f;
    rec.p.referenceValue = 1000.0f;
    c = &init();
    EXPECT_EQ(c->farStart, 1.0f);
    EXPECT_EQ(c->farEnd, 2.0f);
    EXPECT_NEAR(c->marchScale, 3000.0 / (1000.0 / 511.0) / 0.25, 1e-1);
}

TEST_F(Photometric, SceneDataDecidesBlackAndTint) {
    rec.p.intensity = 0.0f;
    EXPECT_TRUE(init().base.isBlack);
    EXPECT_FALSE(sample({0, 0, -2}));

    options.userdata = 0;  // no scene data: unscaled, never black
    EXPECT_FALSE(init().base.isBlack);
    rec.p.intensity = 3000.0f;
    scene.lightTint = {0, 0, 0, 1};
    expectColor(init().base.color, 3000, 1500, 750, 1e-3);
}

// ---------------------------------------------------------------------------
// Distributions.

TEST_F(Photometric, DistributionValues) {
    auto value = [&](double degrees) {
        const double a = degrees * kPi / 180;
        return kor::photometricDistribution(*static_cast<PhotometricCache *>(slot),
                                            Vector3{float(std::sin(a)), 0.0f, float(-std::cos(a))});
    };
    init();
    EXPECT_EQ(value(0), 1.0f);
    EXPECT_EQ(value(170), 1.0f) << "isotropic";

    rec.p.distribution = kDistDiffuse;
    init();
    EXPECT_NEAR(value(60), 0.5, 1e-6);
    EXPECT_EQ(value(120), 0.0f);

    rec.p.distribution = kDistSpot;
    init();
    const double k = std::log(0.5) / std::log(std::cos(kPi / 6));
    EXPECT_NEAR(value(30), 0.5, 1e-5) << "the hotspot edge";
    EXPECT_NEAR(value(10), std::pow(std::cos(10 * kPi / 180), k), 1e-5);
    EXPECT_NEAR(value(44.9), std::pow(std::cos(44.9 * kPi / 180), k), 1e-5);
    EXPECT_EQ(value(45.1), 0.0f) << "beyond the falloff edge";

    rec.p.distribution = kDistSmoothSpot;
    init();
    EXPECT_NEAR(value(10), std::pow(std::cos(10 * kPi / 180), k), 1e-5);
    for (double a : {32.0, 38.0, 44.0}) {
        const double c = std::cos(a * kPi / 180), ch = std::cos(kPi / 6), cf = std::cos(kPi / 4);
        EXPECT_NEAR(value(a), std::pow(c, k) * fade(1 - (ch - c) / (ch - cf)), 1e-5) << a;
    }
    EXPECT_EQ(value(46), 0.0f);

    rec.p.distribution = 9;
    init();
    EXPECT_EQ(value(120), 1.0f) << "unknown kinds are isotropic";
}

TEST_F(Photometric, WebProfileWithoutDataDegrades) {
    auto value = [&](const Vector3 &d) {
        return kor::photometricDistribution(*static_cast<PhotometricCache *>(slot), d);
    };
    rec.p.distribution = kDistWeb;
    init();  // no profile: diffuse
    EXPECT_NEAR(value({0.6f, 0.0f, -0.8f}), 0.8, 1e-6);
    EXPECT_EQ(value({0.0f, 0.0f, 1.0f}), 0.0f);

    rec.p.webProfile = 55;  // the host answers 0 everywhere: isotropic
    init();
    EXPECT_GT(photometric().profile_calls, 0);
    EXPECT_EQ(value({0.0f, 0.0f, 1.0f}), 1.0f);
    EXPECT_EQ(value({0.6f, 0.0f, -0.8f}), 1.0f);

    photometric().profile_value = 0.7f;  // a profile with values is looked up
    init();
    EXPECT_NEAR(value({0.6f, 0.0f, -0.8f}), 0.7, 1e-6);
}

// ---------------------------------------------------------------------------
// Light rays.

TEST_F(Photometric, InverseSquareUnitScaleReferenceAndFilter) {
    init();
    ASSERT_TRUE(sample({0, 0, -2}));
    expectColor(result, lit(1, 2), lit(0.5, 2), lit(0.25, 2));
    ASSERT_TRUE(sample({3, 0, 4}));  // isotropic: any direction, d = 5
    expectColor(result, lit(1, 5), lit(0.5, 5), lit(0.25, 5));

    rec.p.unitScale = 0.5f;
    rec.p.referenceValue = 1000.0f;
    init();
    ASSERT_TRUE(sample({0, 0, -2}));
    EXPECT_NEAR(result.r, 3000.0 / (1.0 * 1.0) / 1000.0, 1e-5);

    rec.p.unitScale = 1.0f;
    rec.p.referenceValue = 1500.0f;
    rec.p.filterColor = {0.5f, 1.0f, 0.0f, 1.0f};
    init();
    ASSERT_TRUE(sample({0, 0, -2}));
    expectColor(result, lit(0.5, 2), lit(0.5, 2), 0);
    EXPECT_EQ(result.a, 0.0f);
    EXPECT_EQ(state.volume, 0u) << "no atmosphere along an unshadowed ray";
}

TEST_F(Photometric, SpotDistributionOnLightRays) {
    rec.p.distribution = kDistSpot;
    init();
    const double a = kPi / 6, d = 4;
    ASSERT_TRUE(sample({float(d * std::sin(a)), 0, float(-d * std::cos(a))}));
    EXPECT_NEAR(result.r, 0.5 * lit(1, d), 1e-6) << "the hotspot edge gives half";
    const double b = kPi / 3;
    EXPECT_EQ(sample({float(d * std::sin(b)), 0, float(-d * std::cos(b))}), 2)
        << "outside the falloff: not lit";
    expectColor(result, 0, 0, 0);
}

TEST_F(Photometric, FarFade) {
    rec.p.farAttenStart = 2.0f;
    rec.p.farAttenEnd = 4.0f;
    init();
    ASSERT_TRUE(sample({0, 0, -1.5f}));
    EXPECT_NEAR(result.r, lit(1, 1.5), 1e-5);
    ASSERT_TRUE(sample({0, 0, -3}));
    EXPECT_NEAR(result.r, lit(1, 3) * fade((4 - 3.0) / (4 - 2.0)), 1e-6);
    EXPECT_EQ(sample({0, 0, -4.5f}), 2) << "beyond the far end";

    rec.p.unitScale = 2.0f;  // the distance is measured in scaled units
    init();
    ASSERT_TRUE(sample({0, 0, -3}));  // D = 6 against 4 .. 8
    EXPECT_NEAR(result.r, lit(1, 3, 2) * fade((8 - 6.0) / (8 - 4.0)), 1e-6);
}

TEST_F(Photometric, OffRayDistanceAndExclusion) {
    init();
    state.dist = 0.0;
    EXPECT_FALSE(sample({0, 0, -2}));
    state.dist = 5.0;
    rec.p.on = 0;
    EXPECT_FALSE(sample({0, 0, -2}));
    rec.p.on = 1;

    rec.p.excludeList.start = 1;
    rec.p.excludeList.count = 3;
    rec.more[1] = 1;  // storage element 2 = list element 1
    NodeData node{};
    internal::scene().instance_data[21] = 31;
    internal::host().data_blocks[31] = &node;
    state.instance = 21;
    node.nodeIndex = 1;
    EXPECT_FALSE(sample({0, 0, -2})) << "excluded";
    node.nodeIndex = 0;
    EXPECT_TRUE(sample({0, 0, -2}));
    node.nodeIndex = 5;
    EXPECT_TRUE(sample({0, 0, -2})) << "beyond the list's count";
}

TEST_F(Photometric, MaterialRecordReportAndNdotL) {
    rec.p.softenDiffuseEdge = 50.0f;
    rec.p.affectSpecular = 0;
    init();
    LightIllumRecord r{0, 1.0f, 0, 3};
    zo_shaderstate_set(&state, KOR_KEY_LIGHT_ILLUM, &r, sizeof r, ZO_SHADERSTATE_RAY_TREE);
    LightReportRecord report{};
    zo_shaderstate_set(&state, KOR_KEY_LIGHT_REPORT, &report, sizeof report, ZO_SHADERSTATE_SAMPLE);
    ASSERT_TRUE(sample({0, 0, -2}));
    int size = 0;
    auto *got = static_cast<LightIllumRecord *>(zo_shaderstate_get(&state, "KEY_5", &size));
    ASSERT_NE(got, nullptr);
    const double x = 0.8, s = 0.5;
    EXPECT_EQ(got->filled, 1);
    EXPECT_NEAR(got->diffuseFactor, (1 - s) * x + (2 - x) * x * x * s, 1e-6);
    EXPECT_EQ(got->affectBits, kAffectDiffuse);
    auto *rep = static_cast<LightReportRecord *>(zo_shaderstate_get(&state, "zoXMLD", &size));
    ASSERT_NE(rep, nullptr);
    EXPECT_EQ(rep->affectsDiffuse, 1.0f);
    EXPECT_EQ(rep->affectsSpecular, 0.0f);
    EXPECT_EQ(rep->extra, 0.0f) << "affect bits AND 2";

    state.dot_nd = -0.1f;
    EXPECT_FALSE(sample({0, 0, -2}));
    rec.p.ambientOnly = 1;
    EXPECT_TRUE(sample({0, 0, -2}));
    EXPECT_EQ(state.dot_nd, 1.0f) << "ambient only writes N.L 1";
}

TEST_F(Photometric, TinyScaleDifferenceRecomputesNdotL) {
    state.light_instance = 40;
    zoInstanceRecord &light = internal::scene().instances[40];
    light.to_world[0] = 1.0f;
    light.to_world[5] = 1.0f;
    light.to_world[10] = 1.0000001f;  // not exactly equal
    light.to_world[15] = 1.0f;
    init();
    // a normal facing away from the light in light space, while the state
    // says 0.8
    state.normal = {0, 0, -1};
    EXPECT_FALSE(sample({0, 0, -2}));
    state.normal = {0.6f, 0, 0.8f};
    LightIllumRecord r{0, 1.0f, 0, 3};
    zo_shaderstate_set(&state, KOR_KEY_LIGHT_ILLUM, &r, sizeof r, ZO_SHADERSTATE_RAY_TREE);
    ASSERT_TRUE(sample({0, 0, -2}));
    int size = 0;
    auto *got = static_cast<LightIllumRecord *>(zo_shaderstate_get(&state, "KEY_5", &size));
    EXPECT_NEAR(got->diffuseFactor, 0.8, 1e-6);

    light.to_world[10] = 1.0f;  // exactly uniform: the state's N.L
    state.normal = {0, 0, -1};
    EXPECT_TRUE(sample({0, 0, -2}));
}

// ---------------------------------------------------------------------------
// Emitter shapes.

TEST_F(Photometric, RectangleEffectivePointAndDistanceBlend) {
    rec.p.shape = kShapeRectangle;
    rec.p.width = 2.0f;
    rec.p.height = 1.0f;
    rec.p.distribution = kDistDiffuse;
    init();
    const double D = 2 * std::sqrt(5.0);
    auto expected = [&](double px, double pz) {
        // effective point: x clamped to +-1, halved; z at 0
        const double ex = std::fmin(std::fmax(px, -1.0), 1.0) / 2;
        const double vx = px - ex, d2 = vx * vx + pz * pz, d = std::sqrt(d2);
        const double distribution = -pz / d;
        const double d0 = std::sqrt(px * px + pz * pz);
        double factor = 1 / d2;
        if (d0 >= 2 * D) {
            factor = 1 / (d0 * d0);
        } else if (d0 > D) {
            const double w = fade((d0 - D) / D);
            factor = (1 - w) / d2 + w / (d0 * d0);
        }
        return 3000.0 * distribution * factor / 1500.0;
    };
    for (double px : {0.5, 3.0}) {
        for (double pz : {-1.0, -6.0, -12.0}) {
            ASSERT_TRUE(sample({float(px), 0, float(pz)}));
            EXPECT_NEAR(result.r, expected(px, pz), 1e-5) << px << " " << pz;
        }
    }
}

TEST_F(Photometric, DiscAndCylinderEffectivePoints) {
    rec.p.shape = kShapeDisc;
    rec.p.radius = 1.0f;
    rec.p.distribution = kDistDiffuse;
    init();
    // p = (4, 0, -3): v = (4, 0, 0) shortened to 1, e = (0.5, 0, 0)
    ASSERT_TRUE(sample({4, 0, -3}));
    {
        const double vx = 3.5, vz = -3, d2 = vx * vx + vz * vz;
        EXPECT_NEAR(result.r, 3000.0 * (3 / std::sqrt(d2)) / d2 / 1500.0, 1e-6);
    }

    rec.p.shape = kShapeCylinder;
    rec.p.cylinderAxis = 1;
    rec.p.length = 2.0f;
    rec.p.radius = 0.1f;
    rec.p.distribution = kDistIsotropic;
    init();
    EXPECT_TRUE(internal::host().messages.empty());
    // the nearest axis point of (0, 3, -2) is (0, 1, 0)
    ASSERT_TRUE(sample({0, 3, -2}));
    EXPECT_NEAR(result.r, 3000.0 / 8.0 / 1500.0, 1e-6);

    rec.p.cylinderAxis = 0;
    init();
    ASSERT_EQ(internal::host().messages.size(), 1u);
    EXPECT_NE(
        internal::host().messages[0].find("Cylinder light must be defined along y or z axis."),
        std::string::npos);
    ASSERT_TRUE(sample({0, 0, -5}));  // the z axis is taken: (0, 0, -1) is nearest
    EXPECT_NEAR(result.r, 3000.0 / 16.0 / 1500.0, 1e-6);
}

TEST_F(Photometric, EmitterSeenByARayIsDividedByItsArea) {
    rec.p.shape = kShapeDisc;
    rec.p.radius = 0.5f;
    rec.p.unitScale = 2.0f;
    rec.p.filterColor = {1.0f, 0.5f, 1.0f, 1.0f};
    rec.p.distribution = kDistDiffuse;
    init();
    state.type = ZO_RAY_EYE;
    state.dir = {0.6f, 0, 0.8f};  // looking up into the light: reversed is (-0.6, 0, -0.8)
    ASSERT_TRUE(kor_PhotometricPointLight(&result, &state, &rec.p, nullptr));
    const double area = kPi * 0.25 * 4;
    expectColor(result, 3000 * 0.8 / area, 1500 * 0.8 / area * 0.5, 750 * 0.8 / area, 1e-3);

    rec.p.shape = kShapeRectangle;
    rec.p.width = 2.0f;
    rec.p.height = 0.0f;  // a line: its length counts
    rec.p.filterColor = {1, 1, 1, 1};
    init();
    ASSERT_TRUE(kor_PhotometricPointLight(&result, &state, &rec.p, nullptr));
    EXPECT_NEAR(result.r, 3000 * 0.8 / (2 * 4.0), 1e-3);

    state.type = ZO_RAY_REFLECT;  // specular light seen in a reflection
    ASSERT_TRUE(kor_PhotometricPointLight(&result, &state, &rec.p, nullptr));
    expectColor(result, 0, 0, 0);
}

// ---------------------------------------------------------------------------
// Shadows.

TEST_F(Photometric, LuminanceWeightedShadow) {
    rec.p.shadowOn = 1;
    init();
    const double L[3] = {lit(1, 2), lit(0.5, 2), lit(0.25, 2)}, K[3] = {0.2, 0.4, 0.6};

    ASSERT_TRUE(sample({0, 0, -2}));  // clear path
    expectColor(result, L[0], L[1], L[2]);
    ASSERT_EQ(lights().shadow_calls, 1);
    expectColor(lights().shadow_inputs[0], L[0], L[1], L[2]);

    // a grey occluder letting half through: q = 0.5, f = 0.5
    lights().shadow_filter = {0.5f, 0.5f, 0.5f, 1};
    ASSERT_TRUE(sample({0, 0, -2}));
    for (int c = 0; c < 3; ++c) EXPECT_NEAR((&result.r)[c], L[c] * 0.5 + K[c] * 0.5, 1e-6) << c;

    // a tinting occluder: q from luminance, the colour divided by q
    lights().shadow_filter = {1.0f, 0.5f, 0.0f, 1};
    rec.p.shadowDensity = 0.5f;
    ASSERT_TRUE(sample({0, 0, -2}));
    {
        const double T[3] = {L[0], L[1] * 0.5, 0};
        auto Y = [](const double *c) { return 0.263 * c[0] + 0.655 * c[1] + 0.082 * c[2]; };
        const double q = Y(T) / Y(L), f = 0.5 * (1 - q);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR((&result.r)[c], T[c] / q * (1 - f) + K[c] * f, 1e-5) << c;
    }

    // blocked: the colour becomes grey Y0 and the full density takes it
    rec.p.shadowDensity = 1.0f;
    lights().shadow_result = 0;
    ASSERT_TRUE(sample({0, 0, -2}));
    expectColor(result, K[0], K[1], K[2]);

    // ambient-only lights cast no shadows
    rec.p.ambientOnly = 1;
    lights().shadow_calls = 0;
    ASSERT_TRUE(sample({0, 0, -2}));
    EXPECT_EQ(lights().shadow_calls, 0);
    expectColor(result, L[0], L[1], L[2]);
}

TEST_F(Photometric, AtmosphereAlphaAndVolumeField) {
    rec.p.shadowOn = 1;
    rec.p.atmosphereShadows = 1;
    rec.p.atmosphereOpacity = 0.5f;
    rec.p.atmosphereColorAmount = 0.4f;
    init();
    ASSERT_TRUE(sample({0, 0, -2}));
    EXPECT_NEAR(result.a, 0.2, 1e-6);
    EXPECT_EQ(state.volume, 77u) << "the atmosphere stays on a shadowing ray";
}

// ---------------------------------------------------------------------------
// Photons.

TEST_F(Photometric, PhotonsFollowTheDistributionAndShape) {
    internal::scene().sample_value = 0.25;  // u = w = 0.25: direction (0, r, 0.5)
    const double r = std::sqrt(0.75);
    rec.p.distribution = kDistDiffuse;
    init();
    state.type = ZO_PHOTON_LIGHT;
    result = {2, 2, 2, 1};
    ASSERT_TRUE(kor_PhotometricPointLight(&result, &state, &rec.p, nullptr));
    EXPECT_TRUE(lights().photons.empty()) << "an upward direction has no diffuse value";

    rec.p.distribution = kDistIsotropic;
    rec.p.shape = kShapeRectangle;
    rec.p.width = 2.0f;
    rec.p.height = 4.0f;
    rec.p.center = {0, 0, -1};
    init();
    state.type = ZO_PHOTON_LIGHT;
    ASSERT_TRUE(kor_PhotometricPointLight(&result, &state, &rec.p, nullptr));
    ASSERT_EQ(lights().photons.size(), 1u);
    const TestPhoton &ph = lights().photons[0];
    EXPECT_NEAR(ph.direction.x, 0, 1e-6);
    EXPECT_NEAR(ph.direction.y, r, 1e-6);
    EXPECT_NEAR(ph.direction.z, 0.5, 1e-6);
    // from the rectangle's point (w (u - 1/2), h (v - 1/2)) about its centre
    EXPECT_NEAR(ph.origin.x, 2 * -0.25, 1e-6);
    EXPECT_NEAR(ph.origin.y, 4 * -0.25, 1e-6);
    EXPECT_NEAR(ph.origin.z, -1, 1e-6);
    expectColor(ph.energy, 2, 2, 2);
    EXPECT_EQ(ph.ior, 1.0f);
}

}  // namespace
