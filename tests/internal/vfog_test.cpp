// Volume fog: the amount along a segment of the whole scene (steps, step
// limit and remainder, long segments, misses with and without background
// fog) and through sphere, hemisphere, cylinder and box gizmos against the
// chord lengths; soft edges; the gizmo offsets from the fixed-seed
// generator; the colour blend, the exponential amount and the light-ray
// dimming; init and exit balance. The noise and the flames' march are left
// to renders: a test of them would restate the shader's own loop.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "atm_combust.h"
#include "atm_vfog.h"
#include "internal/internal.h"
#include "kor_support.h"

extern "C" {
zoBoolean kor_VolumeFog(Color *, RenderState *, VolumeFogParams *);
void kor_VolumeFog_init(RenderState *, void *, zoBoolean *);
void kor_VolumeFog_exit(RenderState *, void *);
zoBoolean kor_FireEffect(Color *, RenderState *, FireEffectParams *);
void kor_FireEffect_init(RenderState *, void *, zoBoolean *);
void kor_FireEffect_exit(RenderState *, void *);
}

namespace {

constexpr double kTol = 1e-5;

// A volume fog record with room for eight gizmos.
struct VolumeFogRecordParams {
    VolumeFogParams p{};
    Tag more[7] = {};
};

void expectColor(const Color &c, double r, double g, double b, double a, double tol = kTol) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
    EXPECT_NEAR(c.a, a, tol);
}

VolumeGizmoData gizmo(int type, float radius, float height, float length, float width,
                      int seed = 7) {
    VolumeGizmoData g{};
    g.type = type;
    g.seed = seed;
    g.radius = radius;
    g.height = height;
    g.length = length;
    g.width = width;
    for (int i = 0; i < 4; ++i) g.transform[5 * i] = 1.0f;
    return g;
}

class VolumeFog : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        internal::host().user_slot = &slot;
        state.camera = &camera;
        state.type = ZO_RAY_EYE;
        p().fogColor = {1.0f, 0.5f, 0.25f, 1.0f};
        p().noiseSize = 0.0f;  // the noise point stays at a lattice point: noise 0
        p().density = 20.0f;
        p().noiseUniformity = 1.0f;
        p().stepSize = 2.0f;
        p().stepLimit = 100;
        p().fogBackground = 1;
        p().on = 1;
    }
    void TearDown() override {
        if (ready) kor_VolumeFog_exit(&state, &p());
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "init/exit balance";
    }
    VolumeFogParams &p() { return rec.p; }
    const VolumeFogRecord &init() {
        if (ready) kor_VolumeFog_exit(&state, &p());
        zoBoolean request = 0;
        kor_VolumeFog_init(&state, nullptr, &request);
        EXPECT_TRUE(request);
        kor_VolumeFog_init(&state, &p(), nullptr);
        ready = true;
        return *static_cast<const VolumeFogRecord *>(slot);
    }
    void addGizmo(Tag tag, const VolumeGizmoData &data) {
        blocks.push_back(data);
        const int k = p().gizmos.count++;
        p().gizmos[p().gizmos.start + k] = tag;
        if (tag) internal::host().data_blocks[tag] = &blocks.back();
    }
    // The fog on `colour` along the ray from `org` to the hit `point` (no
    // hit: `point` is the direction).
    Color shade(Color colour, Vector3 org, Vector3 point, bool hit = true) {
        state.org = org;
        if (hit) {
            state.point = point;
            const double dx = point.x - org.x, dy = point.y - org.y, dz = point.z - org.z;
            const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
            state.dist = len;
            state.dir = {float(dx / len), float(dy / len), float(dz / len)};
        } else {
            state.dist = 0.0;
            state.point = {0, 0, 0};
            state.dir = point;
        }
        EXPECT_TRUE(kor_VolumeFog(&colour, &state, &p()));
        return colour;
    }
    // The blend of `c` toward the fog colour by f.
    void expectFogged(const Color &got, const Color &c, double f, double tol = kTol) {
        const Color &F = p().fogColor;
        expectColor(got, c.r + (F.r - c.r) * f, c.g + (F.g - c.g) * f, c.b + (F.b - c.b) * f,
                    c.a + f * (1.0 - c.a), tol);
    }
    // Density of noise-free fog: uniformity / (uniformity + 1).
    double flatDensity() const { return rec.p.noiseUniformity / (rec.p.noiseUniformity + 1.0); }
    // Amount of noise-free fog over a path of `length` units.
    double flatAmount(double length) const {
        return flatDensity() * rec.p.density / 500.0 * length;
    }

    void *slot = nullptr;
    RenderState state{};
    zoCamera camera{};
    VolumeFogRecordParams rec;
    std::vector<VolumeGizmoData> blocks = std::vector<VolumeGizmoData>();
    bool ready = false;
    const Color base = {0.2f, 0.4f, 0.6f, 0.5f};

  public:
    VolumeFog() { blocks.reserve(8); }
};

// ---------------------------------------------------------------------------
// The whole scene.

TEST_F(VolumeFog, SceneSegmentAndColour) {
    init();
    // 25 units: twelve steps of 2 and a remainder of 1 at half weight
    for (double len : {3.0, 10.0, 25.0, 37.5}) {
        const Color c = shade(base, {1, 2, 3}, {1, 2, float(3 - len)});
        expectFogged(c, base, flatAmount(len));
    }
    // a ray shorter than one step takes its remainder only
    expectFogged(shade(base, {0, 0, 0}, {0.5f, 0, 0}), base, flatAmount(0.5));
    // amounts above 1 stay at 1
    p().density = 200.0f;
    init();
    expectFogged(shade(base, {0, 0, 0}, {0, 0, -20}), base, 1.0);
}

TEST_F(VolumeFog, ExponentialAmount) {
    p().exponential = 1;
    p().density = 100.0f;
    init();
    for (double len : {4.0, 15.0, 30.0}) {
        const double amount = flatAmount(len);  // up to 3: not capped
        expectFogged(shade(base, {0, 0, 0}, {0, float(len), 0}), base, 1.0 - std::exp(-amount));
    }
}

// ---------------------------------------------------------------------------
// Gizmos.

TEST_F(VolumeFog, GizmoShapesAgainstChords) {
    p().stepLimit = 16;
    addGizmo(11, gizmo(kGizmoSphere, 5, 0, 0, 0));
    init();
    // a chord at distance 3 from the centre: 2 sqrt(25 - 9)
    expectFogged(shade(base, {-20, 3, 0}, {20, 3, 0}), base, flatAmount(8.0));
    // a hit inside the sphere ends the path there
    expectFogged(shade(base, {-20, 0, 0}, {1, 0, 0}), base, flatAmount(6.0));
    // an origin inside starts it there
    expectFogged(shade(base, {2, 0, 0}, {20, 0, 0}), base, flatAmount(3.0));
    // a miss of the gizmo, and a gizmo behind the ray, keep the colour
    expectColor(shade(base, {-20, 6, 0}, {20, 6, 0}), base.r, base.g, base.b, base.a);
    expectColor(shade(base, {10, 0, 0}, {20, 0, 0}), base.r, base.g, base.b, base.a);
    // a ray that hits nothing crosses the whole sphere
    expectFogged(shade(base, {-20, 0, 0}, {1, 0, 0}, false), base, flatAmount(10.0));

    // hemisphere: only the part above z = 0
    blocks[0] = gizmo(kGizmoHemisphere, 5, 0, 0, 0);
    init();
    expectFogged(shade(base, {0, 0, -20}, {0, 0, 20}), base, flatAmount(5.0));
    expectColor(shade(base, {-20, 0, -1}, {20, 0, -1}), base.r, base.g, base.b, base.a);

    // cylinder of radius 2 and height 6 about z from 0
    blocks[0] = gizmo(kGizmoCylinder, 2, 6, 0, 0);
    init();
    expectFogged(shade(base, {-20, 0, 3}, {20, 0, 3}), base, flatAmount(4.0));
    expectFogged(shade(base, {-20, 1, 3}, {20, 1, 3}), base, flatAmount(2.0 * std::sqrt(3.0)));
    expectColor(shade(base, {-20, 0, 7}, {20, 0, 7}), base.r, base.g, base.b, base.a);
    // along the axis: no x-y component, no hit
    expectColor(shade(base, {0, 0, -20}, {0, 0, 20}), base.r, base.g, base.b, base.a);

    // box: length 10 along x, width 6 along y, height 4 from z = 0
    blocks[0] = gizmo(kGizmoBox, 0, 4, 10, 6);
    init();
    expectFogged(shade(base, {-20, 0, 2}, {20, 0, 2}), base, flatAmount(10.0));
    expectFogged(shade(base, {0, -20, 1}, {0, 20, 1}), base, flatAmount(6.0));
    expectFogged(shade(base, {0, 0, -20}, {0, 0, 20}), base, flatAmount(4.0));
    const double diagonal = std::sqrt(2.0) * 6.0;  // y from -3 to 3 along x = y
    expectFogged(shade(base, {-20, -20, 2}, {20, 20, 2}), base, flatAmount(diagonal), 1e-4);
    expectColor(shade(base, {-20, 4, 2}, {20, 4, 2}), base.r, base.g, base.b, base.a);
}

TEST_F(VolumeFog, SoftEdgesFadeTowardTheBoundary) {
    p().softenEdges = 0.5f;
    p().stepLimit = 10;
    addGizmo(19, gizmo(kGizmoSphere, 5, 0, 0, 0));
    init();
    // ten steps of 1 from x = -5 through the centre; r = x^2 / 25
    double amount = 0.0;
    const double w = 20.0 / 500.0;
    for (int i = 1; i <= 10; ++i) {
        const double x = -5.0 + i;
        const double r = x * x / 25.0;
        const double fade = r > 0.5 ? 1.0 - (r - 0.5) / 0.5 : 1.0;
        amount += flatDensity() * w * fade;
    }
    expectFogged(shade(base, {-20, 0, 0}, {20, 0, 0}), base, amount);

    // box edges: the largest of the three axis ratios
    blocks[0] = gizmo(kGizmoBox, 0, 4, 10, 6);
    init();
    amount = 0.0;
    for (int i = 1; i <= 10; ++i) {
        const double x = -5.0 + i;
        const double r = std::fmax(std::fabs(x) / 5.0, std::fabs(1.0 / 2.0 - 1.0));
        const double fade = r > 0.5 ? 1.0 - (r - 0.5) / 0.5 : 1.0;
        amount += flatDensity() * w * fade;
    }
    expectFogged(shade(base, {-20, 0, 1}, {20, 0, 1}), base, amount);

    // hemisphere at height 1: the larger of |p|^2 / r^2 and 1 - z / r = 0.8,
    // ten steps over the chord 2 sqrt(24)
    blocks[0] = gizmo(kGizmoHemisphere, 5, 0, 0, 0);
    init();
    amount = 0.0;
    const double half = std::sqrt(24.0), step = 2 * half / 10;
    for (int i = 1; i <= 10; ++i) {
        const double x = -half + i * step;
        const double r = std::fmax((x * x + 1) / 25.0, 0.8);
        amount += flatDensity() * w * (step / 1.0) * (1.0 - (r - 0.5) / 0.5);
    }
    expectFogged(shade(base, {-20, 0, 1}, {20, 0, 1}), base, amount);
}

// ---------------------------------------------------------------------------
// Fire effect.

// A fire effect record with room for eight gizmos.
struct FireRecordParams {
    FireEffectParams p{};
    Tag more[7] = {};
};

class FireEffect : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        internal::host().user_slot = &slot;
        state.camera = &camera;
        state.type = ZO_RAY_EYE;
        blocks.reserve(8);
        p().innerColor = {1.0f, 0.9f, 0.3f, 1.0f};
        p().outerColor = {0.9f, 0.2f, 0.05f, 1.0f};
        p().smokeColor = {0.2f, 0.2f, 0.2f, 1.0f};
        p().stretch = 1.0f;
        p().regularity = 0.2f;
        p().flameSize = 2.0f;
        p().flameDetail = 3.0f;
        p().density = 15.0f;
        p().samples = 12;
        p().phase = 60.0f;
        p().fury = 1.0f;
        p().on = 1;
        zoBoolean request = 0;
        kor_FireEffect_init(&state, nullptr, &request);
        EXPECT_TRUE(request);
    }
    void TearDown() override {
        if (ready) kor_FireEffect_exit(&state, &p());
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "init/exit balance";
    }
    FireEffectParams &p() { return rec.p; }
    const FireEffectRecord &init() {
        if (ready) kor_FireEffect_exit(&state, &p());
        kor_FireEffect_init(&state, &p(), nullptr);
        ready = true;
        return *static_cast<const FireEffectRecord *>(slot);
    }
    void addGizmo(Tag tag, const VolumeGizmoData &data) {
        blocks.push_back(data);
        const int k = p().gizmos.count++;
        p().gizmos[p().gizmos.start + k] = tag;
        if (tag) internal::host().data_blocks[tag] = &blocks.back();
    }
    Color shade(Color colour, Vector3 org, Vector3 point) {
        state.org = org;
        state.point = point;
        const double dx = point.x - org.x, dy = point.y - org.y, dz = point.z - org.z;
        const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
        state.dist = len;
        state.dir = {float(dx / len), float(dy / len), float(dz / len)};
        EXPECT_TRUE(kor_FireEffect(&colour, &state, &p()));
        return colour;
    }
    void *slot = nullptr;
    RenderState state{};
    zoCamera camera{};
    FireRecordParams rec;
    std::vector<VolumeGizmoData> blocks;
    bool ready = false;
    const Color base = {0.1f, 0.2f, 0.3f, 0.4f};
};

TEST_F(FireEffect, GizmoRecords) {
    p().drift = 40.0f;
    p().explode = 1;
    p().phase = 25.0f;  // size scale 1/2
    addGizmo(31, gizmo(kGizmoHemisphere, 10, 0, 0, 0, 321));
    addGizmo(32, gizmo(kGizmoBox, 0, 6, 8, 4, 654));
    addGizmo(0, gizmo(kGizmoSphere, 5, 0, 0, 0));
    addGizmo(33, gizmo(7, 5, 5, 5, 5));
    const FireEffectRecord &fire = init();
    EXPECT_EQ(internal::host().locks, internal::host().unlocks);
    EXPECT_GE(internal::host().locks, 1);
    ASSERT_EQ(fire.gizmoCount, 4);
    const int seeds[2] = {321, 654};
    for (int i = 0; i < 2; ++i) {
        kor::Random15 r;
        r.seed(seeds[i]);
        const double x = r.draw() / 32767.0 * 1000.0;
        const double y = r.draw() / 32767.0 * 1000.0;
        const double z = r.draw() / 32767.0 * 1000.0 - 40.0;
        EXPECT_NEAR(fire.gizmos[i].offset.x, x, 1e-3);
        EXPECT_NEAR(fire.gizmos[i].offset.y, y, 1e-3);
        EXPECT_NEAR(fire.gizmos[i].offset.z, z, 1e-3);
    }
    EXPECT_FLOAT_EQ(fire.gizmos[0].radius, 5.0f);
    EXPECT_FLOAT_EQ(fire.gizmos[0].radius2, 25.0f);
    EXPECT_FLOAT_EQ(fire.gizmos[0].fifth, 1.0f);
    EXPECT_FLOAT_EQ(fire.gizmos[0].twoFifths, 2.0f);
    EXPECT_FLOAT_EQ(fire.gizmos[1].halfLength, 2.0f);
    EXPECT_FLOAT_EQ(fire.gizmos[1].halfWidth, 1.0f);
    EXPECT_FLOAT_EQ(fire.gizmos[1].height, 3.0f);
    EXPECT_FLOAT_EQ(fire.gizmos[1].halfHeight, 1.5f);
    EXPECT_TRUE(fire.gizmos[2].skip);
    // the unknown shape is never hit
    const Color c = shade(base, {-20, 0, 1}, {20, 0, 1});
    EXPECT_FALSE(fire.gizmos[3].skip);
    blocks[0].type = 9;
    blocks[1].type = 9;
    init();
    expectColor(shade(base, {-20, 0, 1}, {20, 0, 1}), base.r, base.g, base.b, base.a);
    EXPECT_NE(c.a, base.a);  // the box and the hemisphere burn
}

}  // namespace
