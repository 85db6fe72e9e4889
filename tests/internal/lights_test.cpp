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
zoBoolean kor_DefaultLight(Color *, RenderState *, DefaultLightParams *, VolumeMarchRequest *);
void kor_DefaultLight_init(RenderState *, void *, zoBoolean *);
void kor_DefaultLight_exit(RenderState *, void *);
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

TEST_F(BeamShapes, OvershootLightsOutsideWithoutShadows) {
    BeamShape *s = make(kBeamCone, 30, 60, true, true, 1.0f);
    zoBoolean shadow = 1;
    EXPECT_EQ(attenuate(s, atAngle(50, 5), &shadow), 1.0f);
    EXPECT_FALSE(shadow);
    EXPECT_EQ(attenuate(s, atAngle(20, 5), &shadow), 1.0f) << "no fade inside with overshoot";
    EXPECT_TRUE(shadow);
}

TEST_F(BeamShapes, HotspotEqualToFalloffHasNoSmoothZone) {
    BeamShape *s = make(kBeamCone, 40, 40, false, true, 1.0f);
    const auto *k = static_cast<const ConeConstants *>(s->constants);
    EXPECT_FALSE(k->hasSmoothZone);
    zoBoolean shadow = 0;
    EXPECT_EQ(attenuate(s, atAngle(19.9, 3), &shadow), 1.0f);
    EXPECT_EQ(attenuate(s, atAngle(20.1, 3), &shadow), 0.0f);
}

TEST_F(BeamShapes, ConeConstantsAndQueries) {
    const double hf = rad(60) / 2, hh = rad(30) / 2;
    BeamShape *c = make(kBeamCone, 30, 60, false, true, 1.0f);
    EXPECT_NEAR(c->ops.cosHalfFalloff(c), std::cos(hf), kTol);
    EXPECT_NEAR(c->ops.tanHalfFalloff(c), std::tan(hf), kTol);
    EXPECT_EQ(c->ops.radiusSquared(c), 1.0f);
    EXPECT_NEAR(c->ops.fullAngle(c), 2 * std::atan(std::tan(hf)), kTol);
    EXPECT_NEAR(c->ops.projScale(c), 1 / std::tan(hf), 1e-4);

    BeamShape *r = make(kBeamCone, 30, 60, false, false, 2.0f);
    const auto *k = static_cast<const ConeConstants *>(r->constants);
    EXPECT_NEAR(k->cosHalf, std::cos(hf) / 1.4142137, kTol);
    EXPECT_NEAR(k->cosHalfHotspot, std::cos(hh), kTol);
    EXPECT_NEAR(k->smoothWidth, std::cos(hh) - std::cos(hf) / 1.4142137, kTol);
    EXPECT_NEAR(k->ratio, 0.5, kTol);
    EXPECT_NEAR(k->oneMinusRatio, 0.5, kTol);
    const double full = 2 * std::atan(std::tan(hf) * std::sqrt(2.0));
    EXPECT_NEAR(r->ops.fullAngle(r), full, kTol);
    EXPECT_NEAR(r->ops.projScale(r), 1 / std::tan(full / 2), 1e-4);
    const double kx = std::cos(hf) / 1.4142137, sx = std::sin(hf) * std::sqrt(2.0);
    const double sy = std::sin(hf) / std::sqrt(2.0);
    const float *xp = r->ops.xPlane(r), *yp = r->ops.yPlane(r);
    ASSERT_NE(xp, nullptr);
    ASSERT_NE(yp, nullptr);
    EXPECT_NEAR(xp[0], kx / std::hypot(kx, sx), kTol);
    EXPECT_NEAR(xp[1], sx / std::hypot(kx, sx), kTol);
    EXPECT_NEAR(yp[0], kx / std::hypot(kx, sy), kTol);
    EXPECT_NEAR(yp[1], sy / std::hypot(kx, sy), kTol);
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

TEST_F(BeamShapes, ParallelBeams) {
    BeamShape *c = make(kBeamParallel, 5, 10, false, true, 1.0f);
    zoBoolean shadow = 0;
    EXPECT_EQ(c->ops.radiusSquared(c), 100.0f);
    EXPECT_EQ(c->ops.cosHalfFalloff(c), 1.0f);
    EXPECT_EQ(c->ops.tanHalfFalloff(c), 1.0f);
    EXPECT_EQ(c->ops.fullAngle(c), 1.0f);
    EXPECT_EQ(c->ops.projScale(c), 1.0f);
    EXPECT_EQ(c->ops.xPlane(c), nullptr);
    EXPECT_EQ(c->ops.yPlane(c), nullptr);
    const Vector3 in{3, 2.5f, -50};
    EXPECT_EQ(c->ops.attenuate(c, &in, 1, &shadow), 1.0f);
    const Vector3 mid{7.5f * 0.6f, 7.5f * 0.8f, 100};  // r = 7.5; z does not matter
    EXPECT_NEAR(c->ops.attenuate(c, &mid, 1, &shadow), fade((1 - 0.75) / 0.5), kTol);
    const Vector3 out{11, 0, -1};
    EXPECT_EQ(c->ops.attenuate(c, &out, 1, &shadow), 0.0f);
    EXPECT_TRUE(shadow);

    BeamShape *o = make(kBeamParallel, 5, 10, true, true, 1.0f);
    EXPECT_EQ(o->ops.attenuate(o, &out, 1, &shadow), 1.0f);
    EXPECT_FALSE(shadow);

    BeamShape *r = make(kBeamParallel, 4, 10, false, false, 2.0f);
    const Vector3 p{8, 1.5f, -3};  // ax 0.8, ay 0.3
    EXPECT_NEAR(r->ops.attenuate(r, &p, 1, &shadow), fade(1 - (0.8 - 0.4) / 0.6), kTol);
    const Vector3 q{1, 4.5f, -3};  // ay 0.9
    EXPECT_NEAR(r->ops.attenuate(r, &q, 1, &shadow), fade(1 - (0.9 - 0.4) / 0.6), kTol);
    const Vector3 tall{1, 5.5f, -3};  // ay 1.1
    EXPECT_EQ(r->ops.attenuate(r, &tall, 1, &shadow), 0.0f);
}

TEST_F(BeamShapes, FactoryKnowsTwoKinds) {
    EXPECT_EQ(make(2, 10, 20, false, true, 1), nullptr);
    EXPECT_EQ(make(-1, 10, 20, false, true, 1), nullptr);
    EXPECT_NE(make(kBeamCone, 10, 20, false, true, 1), nullptr);
    EXPECT_NE(make(kBeamParallel, 10, 20, false, true, 1), nullptr);
    BeamShape *direct = kBeamShapeFactories[kBeamCone](10, 20, 0, 1, 1);
    ASSERT_NE(direct, nullptr);
    shapes.push_back(direct);
    EXPECT_EQ(direct->ops.radiusSquared(direct), 1.0f);
    kor::destroyBeamShape(static_cast<BeamShape *>(nullptr));
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

TEST(LightCurves, ShadowMixBranches) {
    const Color L{0.8f, 0.6f, 0.4f, 1.0f}, K{0.2f, 0.4f, 0.6f, 1.0f};
    const Color S{0.5f, 0.25f, 0.75f, 1.0f};
    const double l[3] = {0.8, 0.6, 0.4}, k[3] = {0.2, 0.4, 0.6}, s[3] = {0.5, 0.25, 0.75};
    for (double D : {-1.0, 0.5, 1.0, 3.0}) {
        double f[3], m = 0;
        for (int c = 0; c < 3; ++c) m += (f[c] = D * (1 - s[c])) / 3;
        const Color plain = kor::shadowMix(L, S, K, float(D), false);
        const Color tinted = kor::shadowMix(L, S, K, float(D), true);
        double p[3], t[3];
        for (int c = 0; c < 3; ++c) {
            if (m < 0) {
                p[c] = l[c] + k[c] * f[c];
                t[c] = l[c] * (k[c] * f[c] + 1);
            } else if (m <= 1) {
                p[c] = l[c] * (1 - f[c]) + k[c] * f[c];
                t[c] = l[c] * (f[c] * k[c] + (1 - f[c]));
            } else {
                p[c] = k[c] * f[c];
                t[c] = l[c] * k[c] * f[c];
            }
        }
        expectColor(plain, p[0], p[1], p[2]);
        expectColor(tinted, t[0], t[1], t[2]);
        EXPECT_EQ(plain.a, 1.0f);
    }
    // a negative density leaves the shadowed point lighter than a positive one
    EXPECT_GT(kor::shadowMix(L, S, K, -1, false).r, kor::shadowMix(L, S, K, 1, false).r);
}

TEST(LightCurves, CubeFacesAndCoordinates) {
    float u, v;
    EXPECT_EQ(kor::cubeFace({2, 0.5f, 1}, &u, &v), 0);
    EXPECT_NEAR(u, 0.5 + 0.5 * 1 / -2.0, kTol);  // (z, y, -x)
    EXPECT_NEAR(v, 0.5 + 0.5 * 0.5 / -2.0, kTol);
    EXPECT_EQ(kor::cubeFace({-2, 0.5f, 1}, &u, &v), 1);
    EXPECT_NEAR(u, 0.5 + 0.5 * -1 / -2.0, kTol);  // (-z, y, x)
    EXPECT_EQ(kor::cubeFace({0.5f, 3, 1}, &u, &v), 2);
    EXPECT_NEAR(v, 0.5 + 0.5 * 1 / -3.0, kTol);  // (x, z, -y)
    EXPECT_EQ(kor::cubeFace({0.5f, -3, 1}, &u, &v), 3);
    EXPECT_NEAR(v, 0.5 + 0.5 * -1 / -3.0, kTol);  // (x, -z, y)
    EXPECT_EQ(kor::cubeFace({0.5f, 1, 4}, &u, &v), 4);
    EXPECT_NEAR(u, 0.5 + 0.5 * -0.5 / -4.0, kTol);  // (-x, y, -z)
    EXPECT_EQ(kor::cubeFace({0.5f, 1, -4}, &u, &v), 5);
    EXPECT_NEAR(u, 0.5 + 0.5 * 0.5 / -4.0, kTol);  // (x, y, z)
    EXPECT_NEAR(v, 0.5 + 0.5 * 1 / -4.0, kTol);
}

// ---------------------------------------------------------------------------
// Init and exit.

TEST_F(Lights, InitWithoutRecordRequestsInstanceInit) {
    zoBoolean request = 0;
    kor_SpotLight_init(&state, nullptr, &request);
    EXPECT_TRUE(request);
    EXPECT_EQ(slot, nullptr);
    request = 0;
    kor_OmniLight_init(&state, nullptr, &request);
    EXPECT_TRUE(request);
    request = 0;
    kor_DirectionalLight_init(&state, nullptr, &request);
    EXPECT_TRUE(request);
    request = 0;
    kor_DefaultLight_init(&state, nullptr, &request);
    EXPECT_TRUE(request);
    EXPECT_EQ(internal::host().allocations, 0);
    kor_SpotLight_exit(&state, nullptr);  // shader-level exit frees nothing
}

TEST_F(Lights, InitExitBalanceAndCacheContents) {
    scene.lightTint = {0.5f, 1.0f, 2.0f, 1.0f};
    spot.p.contrast = 40;
    spot.p.softenDiffuseEdge = 25;
    spot.p.affectSpecular = 0;
    LightCache &c = initSpot();
    expectColor(c.color, 1.0 * 2 * 0.5, 0.5 * 2 * 1, 0.25 * 2 * 2);
    EXPECT_EQ(c.color.a, 1.0f);
    EXPECT_FALSE(c.isBlack);
    EXPECT_EQ(c.affectBits, kAffectDiffuse);
    EXPECT_NEAR(c.soften, 0.25, kTol);
    EXPECT_NEAR(c.contrastA, 2 - 1 / (40 / 204.0 + 0.5), kTol);
    ASSERT_NE(c.beam, nullptr);
    EXPECT_NEAR(c.cosBound, std::cos(rad(30)), kTol);
    EXPECT_EQ(c.volumeOps.kind, 0);
    EXPECT_GT(internal::host().allocations, 1);  // cache, shape and its constants
    exitAll();
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(internal::host().allocations, internal::host().releases);

    // a rectangular spot bounds its cone by the rectangle's diagonal
    spot.p.circular = 0;
    spot.p.aspect = 2;
    EXPECT_NEAR(initSpot().cosBound, std::cos(std::atan(std::tan(rad(30)) * std::sqrt(5.0))), kTol);
    exitAll();
    spot.p.aspect = 0.5f;
    EXPECT_NEAR(initSpot().cosBound, std::cos(std::atan(std::tan(rad(30)) * std::sqrt(5.0))), kTol);
    exitAll();

    initDirectional();
    EXPECT_EQ(static_cast<LightCache *>(slot)->volumeOps.kind, 1);
    exitAll();
    omni.p.projectorOn = 1;
    omni.p.projectorMap = 5;
    LightCache &o = initOmni();
    EXPECT_TRUE(o.volumeWork);
    EXPECT_EQ(o.beam, nullptr);
    EXPECT_EQ(o.volumeOps.kind, 2);
    exitAll();
    LightCache &d = initDefault();
    EXPECT_EQ(d.affectBits, 3);
    expectColor(d.color, 0.5 * 2 * 0.5, 0.25 * 2 * 1, 1 * 2 * 2);
}

TEST_F(Lights, BlackLightsAndTint) {
    spot.p.multiplier = 0;
    EXPECT_TRUE(initSpot().isBlack);
    EXPECT_FALSE(sampleSpot(atAngle(0, 5))) << "a black spot gives no light";
    exitAll();
    // a black tint does not make the light black in its own right
    spot.p.multiplier = 2;
    scene.lightTint = {0, 0, 0, 1};
    EXPECT_FALSE(initSpot().isBlack);
    exitAll();
    // the default light is black whenever its products are
    scene.lightTint = {0, 0, 0, 1};
    EXPECT_TRUE(initDefault().isBlack);
    EXPECT_FALSE(kor_DefaultLight(&result, &state, &dflt, nullptr));
}

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

TEST_F(Lights, SpotInLightSpace) {
    // light at (10, 0, 0) looking down -z: world x - 10 is light x
    lights().to_light[12] = -10;
    lights().from_light[12] = 10;
    initSpot();
    EXPECT_TRUE(sampleSpot({10.5f, 0, -5}));
    EXPECT_FALSE(sampleSpot({0.5f, 0, -5})) << "outside the cone in light space";
}

TEST_F(Lights, SpotIllumRecordAndReport) {
    spot.p.softenDiffuseEdge = 50;
    spot.p.affectSpecular = 0;
    initSpot();
    setIllumRecord();
    LightReportRecord report{};
    report.extra = 7;
    zo_shaderstate_set(&state, KOR_KEY_LIGHT_REPORT, &report, sizeof report, 1);
    state.dot_nd = 0.6f;
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    const LightIllumRecord r = illumRecord();
    EXPECT_EQ(r.filled, 1);
    EXPECT_NEAR(r.diffuseFactor, 0.5 * 0.6 + (2 - 0.6) * 0.36 * 0.5, kTol);
    EXPECT_EQ(r.ambientOnly, 0);
    EXPECT_EQ(r.affectBits, kAffectDiffuse);
    int size = 0;
    auto *rep =
        static_cast<LightReportRecord *>(zo_shaderstate_get(&state, KOR_KEY_LIGHT_REPORT, &size));
    ASSERT_NE(rep, nullptr);
    EXPECT_EQ(rep->affectsDiffuse, 1.0f);
    EXPECT_EQ(rep->affectsSpecular, 0.0f);
    EXPECT_EQ(rep->extra, 7.0f) << "the standard lights bring no extra value";

    // specular only
    exitAll();
    spot.p.affectDiffuse = 0;
    spot.p.affectSpecular = 1;
    initSpot();
    setIllumRecord();
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    EXPECT_EQ(illumRecord().affectBits, kAffectSpecular);
    rep = static_cast<LightReportRecord *>(zo_shaderstate_get(&state, KOR_KEY_LIGHT_REPORT, &size));
    EXPECT_EQ(rep->affectsDiffuse, 0.0f);
    EXPECT_EQ(rep->affectsSpecular, 1.0f);
}

TEST_F(Lights, SpotAmbientOnly) {
    spot.p.ambientOnly = 1;
    spot.p.shadowOn = 1;
    initSpot();
    setIllumRecord();
    LightReportRecord report{};
    zo_shaderstate_set(&state, KOR_KEY_LIGHT_REPORT, &report, sizeof report, 1);
    state.dot_nd = -0.5f;
    ASSERT_TRUE(sampleSpot(atAngle(0, 5))) << "no N.L test";
    EXPECT_EQ(state.dot_nd, 1.0f) << "N.L forced to 1 in the state";
    const LightIllumRecord r = illumRecord();
    EXPECT_EQ(r.ambientOnly, 1);
    EXPECT_EQ(r.diffuseFactor, 1.0f);
    EXPECT_EQ(lights().shadow_calls, 0) << "no shadows";
    int size = 0;
    auto *rep =
        static_cast<LightReportRecord *>(zo_shaderstate_get(&state, KOR_KEY_LIGHT_REPORT, &size));
    EXPECT_EQ(rep->affectsDiffuse, 1.0f);
    EXPECT_EQ(rep->affectsSpecular, 0.0f);
}

TEST_F(Lights, NegativeNdotLAndNonUniformLightTransform) {
    initSpot();
    state.dot_nd = -0.1f;
    EXPECT_FALSE(sampleSpot(atAngle(0, 5)));

    // a light stretched along y: N.L is worked out again in light space
    zoInstanceRecord light{};
    const float scale[3] = {1, 2, 1};
    for (int i = 0; i < 3; ++i) light.to_world[i * 5] = scale[i];
    light.to_world[15] = 1;
    internal::scene().instances[40] = light;
    state.light_instance = 40;
    lights().to_light[5] = 0.5f;
    lights().from_light[5] = 2.0f;
    state.normal = {0, float(1 / std::sqrt(2.0)), float(1 / std::sqrt(2.0))};
    state.dot_nd = 0.9f;
    setIllumRecord();
    ASSERT_TRUE(sampleSpot({0, 0, -4}));
    // light-space normal (0, 2, 1)/|..|, direction to the light (0, 0, 1)
    EXPECT_NEAR(illumRecord().diffuseFactor, 1 / std::sqrt(5.0), 1e-5);
    // facing away in light space
    state.normal = {0, 1, -0.2f};
    EXPECT_FALSE(sampleSpot({0, 0, -4}));

    // uniform scale within 1e-6: the state's N.L stands
    for (int i = 0; i < 3; ++i) internal::scene().instances[40].to_world[i * 5] = 2.0f;
    setIllumRecord();
    ASSERT_TRUE(sampleSpot({0, 0, -4}));
    EXPECT_NEAR(illumRecord().diffuseFactor, 0.9, kTol);
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

TEST_F(Lights, ShadowModesAndOvershoot) {
    spot.p.shadowOn = 1;
    spot.p.overshoot = 1;
    initSpot();
    lights().shadow_result = 0;
    ASSERT_TRUE(sampleSpot(atAngle(45, 5))) << "overshoot lights outside the cone";
    expectColor(result, 2, 1, 0.5);
    EXPECT_EQ(lights().shadow_calls, 0) << "without shadows outside the cone";
    ASSERT_TRUE(sampleSpot(atAngle(5, 5)));
    EXPECT_EQ(lights().shadow_calls, 1) << "inside the cone shadows apply";
    options.shadow = ZO_SHADOW_OFF;
    ASSERT_TRUE(sampleSpot(atAngle(5, 5)));
    EXPECT_EQ(lights().shadow_calls, 1) << "shadows switched off in the options";
    expectColor(result, 2, 1, 0.5);
}

TEST_F(Lights, AtmosphereShadowsAlphaAndVolumeField) {
    spot.p.shadowOn = 1;
    spot.p.atmosphereShadows = 1;
    spot.p.atmosphereOpacity = 0.5f;
    spot.p.atmosphereColorAmount = 0.6f;
    initSpot();
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    EXPECT_NEAR(result.a, 0.3, kTol);
    EXPECT_EQ(state.volume, 77u) << "atmosphere kept along the light ray";
    exitAll();
    spot.p.shadowOn = 0;
    initSpot();
    ASSERT_TRUE(sampleSpot(atAngle(0, 5)));
    EXPECT_EQ(state.volume, 0u) << "no atmosphere without atmospheric shadows";
}

// Records what a map saw and answers a colour.
struct MapProbe {
    Color answer;
    zoBoolean ok = 1;
    int calls = 0;
    Vector3 coord{}, dir{}, point{};
};

zoBoolean probeMap(void *result, RenderState *state, void *params, void *) {
    auto *probe = static_cast<MapProbe *>(params);
    ++probe->calls;
    probe->coord = state->tex_list[0];
    probe->dir = state->dir;
    probe->point = state->point;
    *static_cast<Color *>(result) = probe->answer;
    return probe->ok;
}

TEST_F(Lights, SpotProjectorAndShadowMap) {
    MapProbe projector{{0.5f, 1.0f, 0.25f, 1}}, shadowMap{{0, 1, 0, 1}};
    functions().functions[50] = {probeMap, &projector};
    functions().functions[51] = {probeMap, &shadowMap};
    spot.p.projectorOn = 1;
    spot.p.projectorMap = 50;
    spot.p.shadowOn = 1;
    spot.p.shadowMapOn = 1;
    spot.p.shadowMap = 51;
    spot.p.hotspot = 60;  // no smooth zone
    initSpot();
    lights().shadow_result = 0;  // full shadow: f = 1 gives the shadow colour
    const Vector3 p{1, -0.5f, -4};
    const Vector3 world = p;
    state.dir = {9, 9, 9};
    ASSERT_TRUE(sampleSpot(world));
    const double scale = 1 / std::tan(rad(30));
    const double su = 0.5 + 0.5 * (1 / -4.0) * scale, sv = 0.5 + 0.5 * (-0.5 / -4.0) * scale;
    EXPECT_NEAR(projector.coord.x, 1 - su, kTol) << "projector mirrored";
    EXPECT_NEAR(projector.coord.y, 1 - sv, kTol);
    EXPECT_EQ(projector.coord.z, 0.0f);
    const double d = std::sqrt(1 + 0.25 + 16);
    EXPECT_NEAR(projector.dir.x, 1 / d, kTol);
    EXPECT_NEAR(projector.dir.z, -4 / d, kTol);
    EXPECT_EQ(projector.point.z, -4.0f);
    EXPECT_EQ(state.dir.x, 9.0f) << "the state comes back";
    EXPECT_EQ(shadowMap.calls, 1);
    expectColor(result, 0, 1, 0);  // the shadow map replaces the shadow colour

    // a failed projector call counts as black
    lights().shadow_result = 1;
    projector.ok = 0;
    EXPECT_TRUE(sampleSpot(world));
    expectColor(result, 0, 0, 0);
}

TEST_F(Lights, SpotVolumeQueryMode) {
    spot.p.useFarAtten = 1;
    spot.p.farAttenStart = 100;  // parameter ranges do not apply with a record
    spot.p.farAttenEnd = 200;
    spot.p.excludeList.count = 1;
    spot.more[0] = 0;
    spot.p.excludeList.storage[0] = 1;  // would exclude node 0
    initSpot();
    const Vector3 sample = atAngle(0, 9);
    VolumeSampleRecord rec{};
    rec.farStart = 8;
    rec.farEnd = 12;
    rec.decayStart = 1;
    rec.point = &sample;
    zo_shaderstate_set(&state, KOR_KEY_VOLUME_SAMPLE, &rec, sizeof rec, 2);
    setIllumRecord();
    state.dot_nd = -1;              // no N.L test
    state.point = {100, 100, 100};  // not used: the record's point is
    ASSERT_TRUE(kor_SpotLight(&result, &state, &spot.p, nullptr));
    const double k = fade(3.0 / 4);
    expectColor(result, k, k, k);
    int size = 0;
    auto *stored =
        static_cast<VolumeSampleRecord *>(zo_shaderstate_get(&state, KOR_KEY_VOLUME_SAMPLE, &size));
    EXPECT_NEAR(stored->attenuation, k, kTol);
    EXPECT_EQ(illumRecord().filled, 0) << "no record for the material";
    internal::clear_shaderstate();

    // a light, volume or photon-volume parent with the march field zeroed
    RenderState parent{};
    state.parent = &parent;
    state.march = 0;
    state.dot_nd = 0.5f;
    internal::host().call_type = ZO_CALL_VOLUME;
    ASSERT_TRUE(sampleSpot(atAngle(0, 150)));
    const double k2 = fade((200 - 150) / 100.0);
    expectColor(result, k2, k2, k2);
    internal::host().call_type = ZO_CALL_MATERIAL;
    ASSERT_TRUE(sampleSpot(atAngle(0, 150))) << "a surface sample";
    expectColor(result, 2 * k2, 1 * k2, 0.5 * k2);
}

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

TEST_F(Lights, OmniBlackStillReports) {
    omni.p.multiplier = 0;
    initOmni();
    setIllumRecord();
    ASSERT_TRUE(sampleOmni({0, 4, 0}));
    expectColor(result, 0, 0, 0);
    EXPECT_EQ(illumRecord().filled, 1);
    omni.p.on = 0;
    EXPECT_FALSE(sampleOmni({0, 4, 0}));
}

TEST_F(Lights, OmniProjectorByCubeFace) {
    MapProbe projector{{0.5f, 0.5f, 0.5f, 1}};
    functions().functions[50] = {probeMap, &projector};
    omni.p.projectorOn = 1;
    omni.p.projectorMap = 50;
    initOmni();
    ASSERT_TRUE(sampleOmni({1, 0.5f, -4}));  // face 5: (x, y, z)
    EXPECT_NEAR(projector.coord.x, 0.5 + 0.5 * 1 / -4.0, kTol);
    EXPECT_NEAR(projector.coord.y, 0.5 + 0.5 * 0.5 / -4.0, kTol);
    expectColor(result, 1, 0.5, 0.25);
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

TEST_F(Lights, DirectionalUsesTheStateNdotL) {
    zoInstanceRecord light{};
    light.to_world[0] = 1;
    light.to_world[5] = 3;
    light.to_world[10] = 1;
    internal::scene().instances[40] = light;
    state.light_instance = 40;
    state.dot_nd = 0.3f;
    initDirectional();
    setIllumRecord();
    ASSERT_TRUE(sampleDirectional({0, 0, -5}));
    EXPECT_NEAR(illumRecord().diffuseFactor, 0.3, kTol);
}

TEST_F(Lights, DefaultLight) {
    initDefault();
    setIllumRecord();
    LightReportRecord report{};
    zo_shaderstate_set(&state, KOR_KEY_LIGHT_REPORT, &report, sizeof report, 1);
    state.dot_nd = 0.4f;
    ASSERT_TRUE(kor_DefaultLight(&result, &state, &dflt, nullptr));
    expectColor(result, 1, 0.5, 2);
    const LightIllumRecord r = illumRecord();
    EXPECT_EQ(r.filled, 1);
    EXPECT_NEAR(r.diffuseFactor, 0.4, kTol);
    EXPECT_EQ(r.ambientOnly, 0);
    EXPECT_EQ(r.affectBits, 3);
    EXPECT_EQ(state.volume, 0u);
    int size = 0;
    auto *rep =
        static_cast<LightReportRecord *>(zo_shaderstate_get(&state, KOR_KEY_LIGHT_REPORT, &size));
    EXPECT_EQ(rep->affectsDiffuse, 1.0f);
    EXPECT_EQ(rep->affectsSpecular, 1.0f);
    state.dot_nd = -0.01f;
    EXPECT_FALSE(kor_DefaultLight(&result, &state, &dflt, nullptr));
}

// ---------------------------------------------------------------------------
// Photon emission.

TEST_F(Lights, PhotonEmission) {
    internal::scene().sample_value = 0.5;
    state.type = ZO_PHOTON_LIGHT;
    initOmni();
    result = {3, 2, 1, 1};
    ASSERT_TRUE(kor_OmniLight(&result, &state, &omni.p, nullptr));
    ASSERT_EQ(lights().photons.size(), 1u);
    TestPhoton ph = lights().photons[0];
    expectColor(ph.energy, 3, 2, 1);
    EXPECT_NEAR(ph.direction.x, -1, kTol);  // z = 1 - 2u = 0, angle 2 pi w = pi
    EXPECT_NEAR(ph.direction.y, 0, kTol);
    EXPECT_NEAR(ph.direction.z, 0, kTol);
    EXPECT_EQ(ph.ior, 1.0f);
    EXPECT_EQ(ph.ior_in, 1.0f);
    exitAll();

    // spot: the direction lies in the bounding cone; weight = beam attenuation
    lights().photons.clear();
    lights().from_light[12] = 5;  // light at (5, 0, 0)
    initSpot();
    result = {1, 1, 1, 1};
    state.type = ZO_PHOTON_EMIT_CAUSTIC;
    ASSERT_TRUE(kor_SpotLight(&result, &state, &spot.p, nullptr));
    const double z = 0.5 * (1 - std::cos(rad(30))) - 1;
    const double t = (-z - std::cos(rad(30))) / (std::cos(rad(15)) - std::cos(rad(30)));
    ASSERT_GT(fade(t), 0.5) << "survives the roulette at x = 0.5";
    ASSERT_EQ(lights().photons.size(), 1u);
    ph = lights().photons[0];
    EXPECT_NEAR(ph.origin.x, 5, kTol);
    EXPECT_NEAR(ph.direction.z, z, 1e-4);
    EXPECT_NEAR(ph.direction.x, -std::sqrt(1 - z * z), 1e-4);
    expectColor(ph.energy, 1, 1, 1);  // energy x weight / mean weight

    // a weight below the roulette draw emits nothing
    lights().photons.clear();
    internal::scene().sample_value = 0.8;
    const double z2 = 0.8 * (1 - std::cos(rad(30))) - 1;
    const double t2 = (-z2 - std::cos(rad(30))) / (std::cos(rad(15)) - std::cos(rad(30)));
    ASSERT_LT(fade(t2), 0.8);
    ASSERT_TRUE(kor_SpotLight(&result, &state, &spot.p, nullptr));
    EXPECT_TRUE(lights().photons.empty());
    exitAll();

    // directional: from the rectangle of the beam, down the light's axis
    lights().photons.clear();
    lights().from_light[12] = 0;
    internal::scene().sample_value = 0.75;
    spot.p.circular = 0;
    spot.p.aspect = 2;
    spot.p.hotspot = 4;
    spot.p.falloff = 10;
    initDirectional();
    state.type = ZO_PHOTON_EMIT_GLOBILLUM;
    ASSERT_TRUE(kor_DirectionalLight(&result, &state, &spot.p, nullptr));
    const double tx = 1 - (0.5 - 0.4) / 0.6;
    ASSERT_GT(fade(tx * tx), 0.75);
    ASSERT_EQ(lights().photons.size(), 1u);
    ph = lights().photons[0];
    EXPECT_NEAR(ph.origin.x, 5, kTol);
    EXPECT_NEAR(ph.origin.y, 2.5, kTol);
    EXPECT_NEAR(ph.direction.z, -1, kTol);
}

TEST_F(Lights, PhotonProjectorWeight) {
    MapProbe projector{{0.5f, 1, 1, 1}};
    functions().functions[50] = {probeMap, &projector};
    omni.p.projectorOn = 1;
    omni.p.projectorMap = 50;
    internal::scene().sample_value = 0.5;
    initOmni();
    state.type = ZO_PHOTON_LIGHT;
    result = {1, 1, 1, 1};
    ASSERT_TRUE(kor_OmniLight(&result, &state, &omni.p, nullptr));
    ASSERT_EQ(lights().photons.size(), 1u);
    const double m = 2.5 / 3;
    expectColor(lights().photons[0].energy, 0.5 / m, 1 / m, 1 / m);
}

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
void lightWritesAttenuation(RenderState *state, Tag, int index, void *) {
    int size = 0;
    auto *rec =
        static_cast<VolumeSampleRecord *>(zo_shaderstate_get(state, KOR_KEY_VOLUME_SAMPLE, &size));
    if (!rec) return;
    rec->attenuation = index == 0 ? 0.25f : 0.75f;
    if (index == 0 && rec->point) samplePoints.push_back(*rec->point);
}

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

TEST_F(VolumeMarch, SpotPyramidAndFarLimit) {
    spot.p.falloff = 90;
    spot.p.circular = 0;
    initSpot();
    ray({-100, 0, -10}, {1, 0, 0});
    ASSERT_TRUE(kor_SpotLight(&accumulator, &state, &spot.p, &request));
    // side planes at |x| = sqrt 2 tan 45 (-z)
    const double h = 10 * std::sqrt(2.0);
    ASSERT_FALSE(segments.empty());
    EXPECT_NEAR(segments.front().start, 100 - h, 1e-3);
    EXPECT_NEAR(segments.back().end, 100 + h, 1e-3);
    EXPECT_EQ(segments.size(), 4u);
    exitAll();

    // with a far range a ray down the beam stops at entry + 2 x the far end
    segments.clear();
    spot.p.circular = 1;
    spot.p.useFarAtten = 1;
    spot.p.farAttenStart = 10;
    spot.p.farAttenEnd = 20;
    march.endScale = 1.5f;  // far end 30
    initSpot();
    ray({0, 0, 5}, {0, 0, -1});
    ASSERT_TRUE(kor_SpotLight(&accumulator, &state, &spot.p, &request));
    ASSERT_FALSE(segments.empty());
    EXPECT_NEAR(segments.front().start, 5, 1e-3);
    EXPECT_NEAR(segments.back().end, 5 + 60, 1e-3);
    EXPECT_NEAR(segments.front().ranges.farEnd, 30, kTol);
    EXPECT_NEAR(segments.front().ranges.farStart, 10, kTol);
}

TEST_F(VolumeMarch, OmniSphereWithBreakpoints) {
    omni.p.useFarAtten = 1;
    omni.p.farAttenStart = 10;
    omni.p.farAttenEnd = 20;
    initOmni();
    ray({-100, 0, 0}, {1, 0, 0});
    ASSERT_TRUE(kor_OmniLight(&accumulator, &state, &omni.p, &request));
    expectSegments({{80, 90}, {90, 100}, {100, 110}, {110, 120}});

    // scaled ranges: far end 40, far start 5
    segments.clear();
    march.startScale = 0.5f;
    march.endScale = 2;
    ASSERT_TRUE(kor_OmniLight(&accumulator, &state, &omni.p, &request));
    expectSegments({{60, 80}, {80, 95}, {95, 105}, {105, 125}, {125, 140}});

    // a light ray through a light without atmospheric shadows: nothing to do
    segments.clear();
    state.type = ZO_RAY_LIGHT;
    ASSERT_TRUE(kor_OmniLight(&accumulator, &state, &omni.p, &request));
    EXPECT_TRUE(segments.empty());
}

TEST_F(VolumeMarch, StepsAverageTheLightSamples) {
    TestLightSample red, green;
    red.color = {1, 0, 0, 0};
    green.color = {0, 1, 0, 0};
    illum().lights[40].samples = {red, green};
    illum().on_sample = lightWritesAttenuation;
    spot.p.falloff = 90;
    initSpot();
    lights().to_light[13] = 3;  // light space is world space moved up by 3
    lights().from_light[13] = -3;
    ray({-100, -3, -10}, {1, 0, 0});
    ASSERT_TRUE(kor_SpotLight(&accumulator, &state, &spot.p, &request));
    ASSERT_EQ(segments.size(), 4u);
    for (const Segment &s : segments) {
        expectColor(s.sample, 0.5, 0.5, 0);
        EXPECT_NEAR(s.attenuation, 0.5, kTol);
    }
    ASSERT_EQ(samplePoints.size(), 4u);
    EXPECT_NEAR(samplePoints[0].x, 92.5 - 100, 1e-3) << "the step's midpoint in light space";
    EXPECT_NEAR(samplePoints[0].y, 0, 1e-4);
    EXPECT_NEAR(samplePoints[3].x, 107.5 - 100, 1e-3);
    EXPECT_NEAR(accumulator.r, 4 * 0.5, kTol) << "the callback sums into the light's result";
    illum() = TestIllumHost{};
}

TEST_F(VolumeMarch, DirectionalRangesScaleAboutTheirMidpoint) {
    spot.p.hotspot = 5;
    spot.p.falloff = 10;
    spot.p.useNearAtten = 1;
    spot.p.nearAttenStart = 10;
    spot.p.nearAttenEnd = 20;
    spot.p.useFarAtten = 1;
    spot.p.farAttenStart = 30;
    spot.p.farAttenEnd = 40;
    march.startScale = 0.5f;
    march.endScale = 2;
    initDirectional();
    ray({-100, 0, -5}, {1, 0, 0});
    ASSERT_TRUE(kor_DirectionalLight(&accumulator, &state, &spot.p, &request));
    expectSegments({{90, 95}, {95, 100}, {100, 105}, {105, 110}});
    const VolumeSampleRecord &r = segments[0].ranges;
    EXPECT_NEAR(r.nearStart, 17.5, kTol);
    EXPECT_NEAR(r.nearEnd, 15, kTol);
    EXPECT_NEAR(r.farStart, 27.5, kTol);
    EXPECT_NEAR(r.farEnd, 55, kTol);
    EXPECT_NEAR(r.decayStart, 12.5, kTol);
    EXPECT_EQ(r.light, 40u);
}

}  // namespace
