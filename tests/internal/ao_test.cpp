// The ambient occlusion shader under scripted sample directions and probe
// hits: open and blocked hemispheres, spread and mirror directions, the
// distance falloff, the output modes, the blocker filter by labels and by
// the bake's working instance, the ray types it answers without tracing,
// and no allocation per call.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "internal/internal.h"
#include "testhost/testhost_ao.h"
#include "testhost/testhost_bump.h"
#include "testhost/testhost_reflect.h"
#include "testhost/testhost_rtmtl.h"

namespace {

// The declared parameter record.
struct AoRecord {
    int32_t samples;
    Color bright;
    Color dark;
    float spread;
    float distanceLimit;
    zoBoolean reflective;
    int32_t outputMode;
    zoBoolean occlusionInAlpha;
    float falloff;
    int32_t includeExcludeId;
    int32_t nonSelfId;
};

}  // namespace

extern "C" {
zoBoolean kor_amb_occlusion(Color *, RenderState *, AoRecord *);
int kor_amb_occlusion_version();
}

namespace {

constexpr Tag kSelf = 40, kWall = 77, kFloor = 78, kWorking = 90;
constexpr float kTol = 1e-5f;

TestAoHost &ao() {
    return *internal::host_object<TestAoHost>("testhost_ao");
}
TestRtmtlHost &probes() {
    return *internal::host_object<TestRtmtlHost>("testhost_rtmtl");
}
TestReflectHost &reflect() {
    return *internal::host_object<TestReflectHost>("testhost_reflect");
}
TestBumpHost &spaces() {
    return *internal::host_object<TestBumpHost>("testhost_bump");
}

Vector3 unit(Vector3 v) {
    const float l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / l, v.y / l, v.z / l};
}

Color blend(const Color &dark, const Color &bright, float a) {
    return {dark.r * (1 - a) + bright.r * a, dark.g * (1 - a) + bright.g * a,
            dark.b * (1 - a) + bright.b * a, dark.a * (1 - a) + bright.a * a};
}

#define EXPECT_COLOR(c, e)              \
    do {                                \
        const Color c_ = (c), e_ = (e); \
        EXPECT_NEAR(c_.r, e_.r, kTol);  \
        EXPECT_NEAR(c_.g, e_.g, kTol);  \
        EXPECT_NEAR(c_.b, e_.b, kTol);  \
        EXPECT_NEAR(c_.a, e_.a, kTol);  \
    } while (0)

#define EXPECT_VEC(v, e)                  \
    do {                                  \
        const Vector3 v_ = (v), e_ = (e); \
        EXPECT_NEAR(v_.x, e_.x, kTol);    \
        EXPECT_NEAR(v_.y, e_.y, kTol);    \
        EXPECT_NEAR(v_.z, e_.z, kTol);    \
    } while (0)

class AmbOcclusion : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        ao().reset();
        probes().reset();
        reflect().reset();
        spaces().reset();
        options.trace = 1;
        camera.clip_far = 1000.0f;
        state.options = &options;
        state.camera = &camera;
        state.type = ZO_RAY_EYE;
        state.instance = kSelf;
        state.point = {0, 0, 0};
        state.normal = {0, 0, 1};
        state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        state.dot_nd = -1.0f;
        p.samples = 4;
        p.bright = {0.9f, 0.8f, 0.7f, 1.0f};
        p.dark = {0.1f, 0.05f, 0.0f, 0.5f};
        p.spread = 1.0f;
        p.falloff = 1.0f;
    }

    Color run() {
        Color c{-1, -1, -1, -1};
        last = kor_amb_occlusion(&c, &state, &p);
        return c;
    }

    // `n` blocking hits at distance `dist`, answered in turn
    void blockers(int n, double dist, Tag instance = kWall) {
        for (int i = 0; i < n; ++i) probes().hits.push_back({instance, dist, {0, 0, 0}});
    }

    zoOptions options{};
    zoCamera camera{};
    RenderState state{};
    AoRecord p{};
    zoBoolean last = 0;
};

TEST_F(AmbOcclusion, VersionThree) {
    EXPECT_EQ(kor_amb_occlusion_version(), 3);
}

// Nothing in the way: every direction is open and the result is `bright`;
// one probe per sample, no falloff range set without a limit.
TEST_F(AmbOcclusion, FullyOpenIsBright) {
    ao().diffuse_dirs = {{0, 0, 1}, unit({1, 0, 1}), unit({0, 1, 1}), unit({-1, -1, 2})};
    const Color c = run();
    EXPECT_TRUE(last);
    EXPECT_COLOR(c, p.bright);
    ASSERT_EQ(probes().probes.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_VEC(probes().probes[i].dir, ao().diffuse_dirs[i]);
        EXPECT_FALSE(probes().probes[i].has_origin);
    }
    EXPECT_EQ(ao().diffuse_samples.size(), 4u);
    EXPECT_TRUE(ao().falloff_calls.empty());
    // the probe state does not outlive the call
    EXPECT_EQ(state.child, nullptr);
}

// Every direction blocked, no limit: any blocker closes it fully, however far.
TEST_F(AmbOcclusion, FullyBlockedIsDark) {
    ao().diffuse_dirs = {{0, 0, 1}, unit({1, 0, 1}), unit({0, 1, 1}), unit({-1, -1, 2})};
    blockers(4, 500.0);
    EXPECT_COLOR(run(), p.dark);
    EXPECT_TRUE(last);
    // the open fraction in alpha changes nothing when all is closed
    probes().reset();
    blockers(4, 0.01);
    p.occlusionInAlpha = 1;
    EXPECT_COLOR(run(), p.dark);
}

// One of four directions blocked: a = 3/4 blends dark to bright, alpha
// blended alike, or the open fraction with occlusionInAlpha.
TEST_F(AmbOcclusion, PartlyOpenBlends) {
    blockers(1, 2.0);
    const float a = 3.0f / 4.0f;
    EXPECT_COLOR(run(), blend(p.dark, p.bright, a));
    probes().reset();
    blockers(1, 2.0);
    p.occlusionInAlpha = 1;
    Color e = blend(p.dark, p.bright, a);
    e.a = a;
    EXPECT_COLOR(run(), e);
    // mode -1 keeps the shading normal and blends the same way
    probes().reset();
    blockers(1, 2.0);
    p.outputMode = -1;
    EXPECT_COLOR(run(), e);
}

// Directions below the geometric normal are neither counted nor probed;
// with none left the total counts as 1 and the result is `dark`.
TEST_F(AmbOcclusion, DirectionsBelowTheSurfaceAreDropped) {
    ao().diffuse_dirs = {{0, 0, -1}, unit({1, 0, -1}), unit({0, -1, -3}), {0, 0, -1}};
    EXPECT_COLOR(run(), p.dark);
    EXPECT_TRUE(last);
    EXPECT_TRUE(probes().probes.empty());
    // two of four below: the other two are open, all counted are open
    ao().reset();
    ao().diffuse_dirs = {{0, 0, -1}, {0, 0, 1}, unit({1, 0, -1}), unit({1, 0, 1})};
    EXPECT_COLOR(run(), p.bright);
    EXPECT_EQ(probes().probes.size(), 2u);
}

// spread pulls the host's direction towards the normal: d = s d + (1 - s) N,
// normalised; reflective mirrors the incoming ray about it.
TEST_F(AmbOcclusion, SpreadAndMirrorDirections) {
    p.samples = 1;
    p.spread = 0.25f;
    ao().diffuse_dirs = {{1, 0, 0}};
    run();
    ASSERT_EQ(probes().probes.size(), 1u);
    EXPECT_VEC(probes().probes[0].dir, unit({0.25f, 0, 0.75f}));

    probes().reset();
    ao().reset();
    p.spread = 0.0f;
    p.reflective = 1;
    ao().diffuse_dirs = {{1, 0, 0}};
    const Vector3 I = unit({1, 0, -2});
    state.dir = I;
    run();
    ASSERT_EQ(probes().probes.size(), 1u);
    // about d = N = (0, 0, 1): I - 2 (I.N) N flips the z component
    EXPECT_VEC(probes().probes[0].dir, (Vector3{I.x, I.y, -I.z}));
    EXPECT_VEC(state.dir, I);
    EXPECT_VEC(state.normal, (Vector3{0, 0, 1}));
}

// With a limit L a blocker at h < L leaves f = (h / L)^falloff of its
// direction open; one at or beyond L closes nothing. The falloff range is
// set to (L, L) and the previous pair put back.
TEST_F(AmbOcclusion, DistanceFalloff) {
    p.samples = 4;
    p.distanceLimit = 4.0f;
    p.falloff = 2.0f;
    probes().hits = {{kWall, 1.0, {}}, {kWall, 3.0, {}}, {kWall, 4.0, {}}, {kWall, 9.0, {}}};
    ao().falloff_start = 7.0;
    ao().falloff_stop = 8.0;
    const float f1 = std::pow(1.0f / 4.0f, 2.0f), f2 = std::pow(3.0f / 4.0f, 2.0f);
    const float open = 4.0f - (1.0f - f1) - (1.0f - f2);
    EXPECT_COLOR(run(), blend(p.dark, p.bright, open / 4.0f));
    ASSERT_EQ(ao().falloff_calls.size(), 2u);
    EXPECT_EQ(ao().falloff_calls[0], std::make_pair(4.0, 4.0));
    EXPECT_EQ(ao().falloff_calls[1], std::make_pair(7.0, 8.0));
    EXPECT_EQ(ao().falloff_start, 7.0);
    EXPECT_EQ(ao().falloff_stop, 8.0);

    // a falloff of 0 or less is linear
    for (float bad : {0.0f, -3.0f}) {
        probes().reset();
        ao().reset();
        p.falloff = bad;
        p.samples = 2;
        probes().hits = {{kWall, 1.0, {}}};
        const float a = (2.0f - (1.0f - 1.0f / 4.0f)) / 2.0f;
        EXPECT_COLOR(run(), blend(p.dark, p.bright, a));
    }
}

// Mode 1: bright times the mean environment over the counted directions
// (blocked ones weighted by their falloff) plus dark.
TEST_F(AmbOcclusion, EnvironmentWeighted) {
    p.outputMode = 1;
    p.samples = 4;
    reflect().environment_color = {0.5f, 0.25f, 1.0f, 1.0f};
    const Color env = reflect().environment_color;
    blockers(1, 1.0);
    Color c = run();
    EXPECT_NEAR(c.r, p.bright.r * env.r * 3 / 4 + p.dark.r, kTol);
    EXPECT_NEAR(c.g, p.bright.g * env.g * 3 / 4 + p.dark.g, kTol);
    EXPECT_NEAR(c.b, p.bright.b * env.b * 3 / 4 + p.dark.b, kTol);
    EXPECT_NEAR(c.a, 1.0f, kTol);
    EXPECT_EQ(reflect().traces.size(), 3u);

    probes().reset();
    reflect().traces.clear();
    p.distanceLimit = 2.0f;
    p.occlusionInAlpha = 1;
    blockers(1, 1.5);
    const float f = 1.5f / 2.0f, w = 3.0f + f;
    c = run();
    EXPECT_NEAR(c.r, p.bright.r * env.r * w / 4 + p.dark.r, kTol);
    EXPECT_NEAR(c.b, p.bright.b * env.b * w / 4 + p.dark.b, kTol);
    EXPECT_NEAR(c.a, w / 4, kTol);
    EXPECT_EQ(reflect().traces.size(), 4u);
}

// Modes 2, 3, 4: the normalised sum of the open directions in world, camera
// or object space as (B + 1) / 2; a blocked direction adds f d.
TEST_F(AmbOcclusion, BentNormalModes) {
    const Vector3 d0 = unit({1, 0, 1}), d1 = unit({0, 1, 2}), d2 = unit({-1, 0, 3});
    p.samples = 3;
    p.distanceLimit = 10.0f;
    spaces().turn_spaces = true;
    // world: identity; camera: (x, y, z) -> (-y, x, z); object: (x, y, z) -> (x, -z, y)
    const float camera[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
    const float object[9] = {1, 0, 0, 0, 0, 1, 0, -1, 0};
    std::memcpy(spaces().camera, camera, sizeof camera);
    std::memcpy(spaces().object, object, sizeof object);
    const float f = 5.0f / 10.0f;
    const Vector3 sum{d0.x + d1.x + f * d2.x, d0.y + d1.y + f * d2.y, d0.z + d1.z + f * d2.z};
    const Vector3 B = unit(sum);
    const Vector3 expected[3] = {B, {-B.y, B.x, B.z}, {B.x, -B.z, B.y}};
    for (int mode = 2; mode <= 4; ++mode) {
        ao().reset();
        probes().reset();
        ao().diffuse_dirs = {d2, d0, d1};
        probes().hits = {{kWall, 5.0, {}}};
        p.outputMode = mode;
        p.occlusionInAlpha = mode == 4;
        const Color c = run();
        const Vector3 &e = expected[mode - 2];
        EXPECT_NEAR(c.r, (e.x + 1) * 0.5f, kTol) << mode;
        EXPECT_NEAR(c.g, (e.y + 1) * 0.5f, kTol) << mode;
        EXPECT_NEAR(c.b, (e.z + 1) * 0.5f, kTol) << mode;
        EXPECT_NEAR(c.a, mode == 4 ? (2.0f + f) / 3.0f : 1.0f, kTol) << mode;
    }
    // all closed: the zero sum stays zero, (0.5, 0.5, 0.5)
    ao().reset();
    probes().reset();
    spaces().turn_spaces = false;
    p.distanceLimit = 0.0f;
    p.outputMode = 2;
    p.occlusionInAlpha = 0;
    blockers(3, 1.0);
    EXPECT_COLOR(run(), (Color{0.5f, 0.5f, 0.5f, 1.0f}));
}

// With tracing off nothing is probed and every direction is open.
TEST_F(AmbOcclusion, TracingOffIsOpen) {
    options.trace = 0;
    blockers(4, 1.0);
    EXPECT_COLOR(run(), p.bright);
    EXPECT_TRUE(probes().probes.empty());
}

// Shadow and displacement calls answer transparent black and trace
// nothing; a light ray of a scanline pass answers 2 and writes nothing.
TEST_F(AmbOcclusion, RayTypesAnsweredWithoutTracing) {
    for (int type : {ZO_RAY_SHADOW, ZO_RAY_DISPLACE}) {
        state.type = type;
        EXPECT_COLOR(run(), (Color{0, 0, 0, 0}));
        EXPECT_EQ(last, 1);
    }
    state.type = ZO_RAY_LIGHT;
    state.scanline = 1;
    const Color c = run();
    EXPECT_EQ(last, 2);
    EXPECT_EQ(c.r, -1.0f);
    EXPECT_TRUE(probes().probes.empty());
    EXPECT_TRUE(ao().diffuse_samples.empty());
    EXPECT_TRUE(ao().falloff_calls.empty());
}

// Labels: with no identifiers the first hit blocks without any record
// look-up; includeExcludeId > 0 passes over hits of other labels,
// < 0 over hits of label -value; nonSelfId leaves instances of that label
// open to each other.
TEST_F(AmbOcclusion, BlockerFilterByLabel) {
    zoInstanceRecord self{}, wall{}, floor{};
    self.label = 3;
    wall.label = 5;
    floor.label = 3;
    internal::scene().instances[kSelf] = self;
    internal::scene().instances[kWall] = wall;
    internal::scene().instances[kFloor] = floor;
    p.samples = 1;

    probes().hits = {{kWall, 1.0, {}}};
    EXPECT_COLOR(run(), p.dark);
    EXPECT_EQ(internal::scene().pins, 0);

    // only label 3 blocks: the wall is passed over, the floor behind it blocks
    probes().reset();
    p.includeExcludeId = 3;
    probes().hits = {{kWall, 1.0, {}}, {kFloor, 2.0, {}}};
    EXPECT_COLOR(run(), p.dark);
    ASSERT_EQ(probes().probes.size(), 2u);
    EXPECT_TRUE(probes().probes[1].has_origin);
    EXPECT_GT(probes().probes[1].origin.z, 1.0f);
    EXPECT_EQ(internal::scene().pins, internal::scene().unpins);

    // label 5 never blocks: wall passed over, nothing behind it
    probes().reset();
    p.includeExcludeId = -5;
    probes().hits = {{kWall, 1.0, {}}};
    EXPECT_COLOR(run(), p.bright);
    EXPECT_EQ(probes().probes.size(), 2u);

    // self and floor both carry label 3: open at once
    probes().reset();
    p.includeExcludeId = 0;
    p.nonSelfId = 3;
    probes().hits = {{kFloor, 1.0, {}}, {kWall, 2.0, {}}};
    EXPECT_COLOR(run(), p.bright);
    EXPECT_EQ(probes().probes.size(), 1u);
    // the wall does not carry it and blocks
    probes().reset();
    probes().hits = {{kWall, 1.0, {}}};
    EXPECT_COLOR(run(), p.dark);
}

// While baking with a projection, hits on the working instance are passed
// over unless the record asks for the working model on a miss.
TEST_F(AmbOcclusion, BakeWorkingInstanceIsSkipped) {
    int32_t record[10] = {};
    record[0] = static_cast<int32_t>(kWorking);
    zo_shaderstate_set(&state, "KEY_10", record, sizeof record, ZO_SHADERSTATE_RAY_TREE);
    ao().identities[kWorking] = kWorking;
    ao().identities[kWall] = kWall;
    p.samples = 1;
    probes().hits = {{kWorking, 1.0, {}}};
    EXPECT_COLOR(run(), p.bright);
    EXPECT_EQ(probes().probes.size(), 2u);
    probes().reset();
    probes().hits = {{kWorking, 1.0, {}}, {kWall, 1.0, {}}};
    EXPECT_COLOR(run(), p.dark);

    record[7] = 1;
    zo_shaderstate_set(&state, "KEY_10", record, sizeof record, ZO_SHADERSTATE_RAY_TREE);
    probes().reset();
    probes().hits = {{kWorking, 1.0, {}}};
    EXPECT_COLOR(run(), p.dark);
    EXPECT_EQ(internal::scene().pins, 0);
}

// Evaluated colours: a connected bright or dark is read through the host.
TEST_F(AmbOcclusion, ColoursAreEvaluated) {
    zoShaderRecord shader{};
    shader.ghost_offset = sizeof(AoRecord);
    struct {
        AoRecord record;
        int32_t ghost[sizeof(AoRecord) / 4];
    } both{};
    both.record = p;
    both.ghost[offsetof(AoRecord, bright) / 4] = 1;
    const Color connected{0.2f, 0.4f, 0.6f, 1.0f};
    internal::host().evaluated[&both.record.bright] = &connected;
    state.shader = &shader;
    Color c{};
    EXPECT_TRUE(kor_amb_occlusion(&c, &state, &both.record));
    EXPECT_COLOR(c, connected);
    state.shader = nullptr;
}

// No allocation per call.
TEST_F(AmbOcclusion, NoAllocationPerCall) {
    p.distanceLimit = 3.0f;
    p.outputMode = 1;
    p.includeExcludeId = 2;
    const long before = internal::host().allocations;
    for (int i = 0; i < 20; ++i) {
        probes().reset();
        blockers(2, 1.0);
        run();
    }
    EXPECT_EQ(internal::host().allocations, before);
}

}  // namespace
