// The ink and paint material: paint bands from the light that reaches the
// point, the flat highlight, the shaded colour with its map, and ink where
// the probe disc finds an edge, with its width from the light.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "illum.h"
#include "internal/internal.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_inknpaint.h"
#include "testhost/testhost_lights.h"
#include "testhost/testhost_reflect.h"
#include "testhost/testhost_rtmtl.h"

namespace {

// The material's parameter record, field by field.
struct InkRecord {
    zoBoolean paintOffAtmosphere, bumpOn;
    int32_t unused0, mapCallExtra;
    zoBoolean twoSided, faceted;
    float bumpAmount;
    int32_t unused1;
    Tag bumpMap;
    int32_t unused2[2];
    zoBoolean opaqueAlpha, paintOn;
    Color litColor;
    float litMapAmount;
    zoBoolean litMapOn;
    Tag litMap;
    int32_t paintLevels;
    zoBoolean shadedFromLit;
    float shadedPercent;
    Color shadedColor;
    float shadedMapAmount;
    zoBoolean shadedMapOn;
    Tag shadedMap;
    float glossiness;
    zoBoolean highlightOn;
    Color highlightColor;
    float highlightMapAmount;
    zoBoolean highlightMapOn;
    Tag highlightMap;
    zoBoolean inkOn, clampWidth, variableWidth;
    int32_t inkQuality;
    float inkWidth, inkWidthLimit;
    zoBoolean overlapInk, underlapInk, outlineInk;
    int32_t unused3;
    zoBoolean materialIdInk, smoothingInk, onlyAdjacentFaces;
    Color overlapColor, underlapColor, outlineColor, unusedColor, materialIdColor, smoothingColor;
    float outlineBias, overlapBias;
    int32_t unused4[2];
    Tag widthMap, outlineMap, smoothingMap, materialIdMap, underlapMap, overlapMap;
    zoBoolean widthMapOn, outlineMapOn, smoothingMapOn, materialIdMapOn, underlapMapOn,
        overlapMapOn;
    float outlineMapAmount, smoothingMapAmount, materialIdMapAmount, widthMapAmount,
        overlapMapAmount, underlapMapAmount;
    int32_t materialId;
};
static_assert(sizeof(InkRecord) == 396, "the declared record is 396 bytes");

}  // namespace

extern "C" {
zoBoolean kor_InkNPaint(Color *, RenderState *, InkRecord *);
void kor_InkNPaint_exit(RenderState *, void *);
}

namespace {

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}
TestRtmtlHost &probes() {
    return *internal::host_object<TestRtmtlHost>("testhost_rtmtl");
}
TestInkHost &ink() {
    return *internal::host_object<TestInkHost>("testhost_inknpaint");
}
TestLights &lights() {
    return *internal::host_object<TestLights>("testhost_lights");
}

Color map_colour;
zoBoolean fixed_map(void *result, RenderState *, void *, void *) {
    *static_cast<Color *>(result) = map_colour;
    return 1;
}

constexpr Tag kMap = 70, kLight = 500, kInstance = 40, kOther = 41;

void expect_rgb(const Color &c, float r, float g, float b) {
    EXPECT_NEAR(c.r, r, 1e-5f);
    EXPECT_NEAR(c.g, g, 1e-5f);
    EXPECT_NEAR(c.b, b, 1e-5f);
}

class InkNPaint : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        functions().reset();
        probes().reset();
        ink().reset();
        lights().reset();
        internal::host().thread_pointers = true;
        record.tag = 90;
        state.shader = &record;
        state.options = &options;
        camera.orthographic = 1;
        camera.aperture = 2.0f;  // one pixel is 2 / 640 camera units
        camera.focal = 1.0f;
        camera.x_resolution = 640;
        camera.y_resolution = 480;
        state.camera = &camera;
        state.instance = kInstance;
        state.pri = &primitive;
        state.normal = state.normal_geom = {0, 0, 1};
        state.org = {0, 0, 10};
        state.dir = {0, 0, -1};
        state.dist = 10.0;
        state.point = {0, 0, 0};
        state.dot_nd = -1;
        functions().functions[kMap] = {fixed_map, nullptr};
        map_colour = {1, 1, 1, 1};

        list.count = 1;
        list.lights[0] = kLight;
        internal::scene().light_lists[kInstance] = 400;
        internal::host().data_blocks[400] = &list;
        light(1.0f);

        std::memset(&p, 0, sizeof p);
        p.paintOn = 1;
        p.litColor = {0.8f, 0.6f, 0.4f, 1};
        p.paintLevels = 3;
        p.shadedFromLit = 1;
        p.shadedPercent = 50;
        p.glossiness = 50;
        p.highlightColor = {1, 1, 1, 1};
        p.outlineColor = {0, 0, 1, 1};
        p.inkQuality = 1;
        p.inkWidth = 2;
        p.inkWidthLimit = 6;
        p.outlineInk = 1;
    }
    void TearDown() override {
        kor_InkNPaint_exit(&state, &p);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    // One white light sample with the given N.L and direction.
    void light(float dot_nl, Vector3 dir = {0, 0, 1}) {
        TestLightSample s;
        s.color = {1, 1, 1, 1};
        s.dir = dir;
        s.dot_nl = dot_nl;
        illum().lights[kLight].samples = {s};
    }
    Color shade() {
        Color c{9, 9, 9, 9};
        probes().probes.clear();  // the host answers probes by their number in the call
        EXPECT_TRUE(kor_InkNPaint(&c, &state, &p));
        return c;
    }
    // Sets up inking with a position triangle for the sample.
    void inking() {
        p.inkOn = 1;
        internal::scene().triangles[{ZO_TRI_POSITION, 0}] = {Vector3{0, 0, 0}, Vector3{1, 0, 0},
                                                             Vector3{0, 1, 0}};
    }
    // The probe disc answers: the first `same` probes hit the shaded
    // instance at the sample's distance, the next `other` hit kOther at
    // `otherDist`, the rest miss.
    void hits(int same, int other = 0, double otherDist = 20.0) {
        probes().hits.clear();
        for (int i = 0; i < same; ++i) probes().hits.push_back({kInstance, 10.0, {0, 0, 0}});
        for (int i = 0; i < other; ++i) probes().hits.push_back({kOther, otherDist, {0, 0, 0}});
    }
    // Largest x offset of the probe points from the shading point (the
    // probe rays run from the ray origin at height 10 to the plane z = 0).
    float widest_probe() {
        float widest = 0;
        for (const TestProbeCall &c : probes().probes)
            widest = std::fmax(widest, -10.0f * c.dir.x / c.dir.z);
        return widest;
    }

    zoShaderRecord record{};
    zoOptions options{};
    zoCamera camera{};
    RenderState state{};
    int primitive = 0;
    IllumLightList list{};
    InkRecord p;
};

TEST_F(InkNPaint, ThreePaintLevelsSplitAtOneAndFiftyOnePercent) {
    // lit colour L, darkest D = L / 2, middle band (D + L) / 2
    const Color L = p.litColor;
    const Color D = {L.r * 0.5f, L.g * 0.5f, L.b * 0.5f, 1};
    const Color M = {(L.r + D.r) / 2, (L.g + D.g) / 2, (L.b + D.b) / 2, 1};
    struct Case {
        float lit;
        Color expected;
    } cases[] = {{0.0f, D}, {0.005f, D}, {0.02f, M}, {0.3f, M}, {0.505f, M}, {0.52f, L}, {0.9f, L}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lit);
        light(c.lit);
        const Color r = shade();
        expect_rgb(r, c.expected.r, c.expected.g, c.expected.b);
        EXPECT_EQ(r.a, 1.0f);
    }
}

TEST_F(InkNPaint, BandCountAndLightColour) {
    // one level: the lit colour even in the dark
    p.paintLevels = 1;
    light(0.0f);
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);

    // five levels, thresholds 0.01, 0.26, 0.51, 0.76: lit 0.3 paints band 2
    p.paintLevels = 5;
    light(0.3f);
    const float t = 2.0f / 4.0f;
    expect_rgb(shade(), 0.4f + t * 0.4f, 0.3f + t * 0.3f, 0.2f + t * 0.2f);

    // the light's mean colour counts: (0.45, 0.15, 0) at N.L 1 is 0.2
    TestLightSample s;
    s.color = {0.45f, 0.15f, 0.0f, 1};
    s.dot_nl = 1;
    illum().lights[kLight].samples = {s};
    const float band = 1.0f / 4.0f;  // 0.01 <= 0.2 < 0.26
    expect_rgb(shade(), 0.4f + band * 0.4f, 0.3f + band * 0.3f, 0.2f + band * 0.2f);

    // a light that reports its own diffuse factor drives the level with it
    s.color = {1, 1, 1, 1};
    s.writes_record = true;
    s.filled = 1;
    s.diffuse_factor = 0.9f;
    s.dot_nl = 0.05f;
    illum().lights[kLight].samples = {s};
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);
}

TEST_F(InkNPaint, ShadedColourWithItsMap) {
    p.shadedFromLit = 0;
    p.shadedColor = {0.1f, 0.2f, 0.3f, 1};
    p.shadedMapOn = 1;
    p.shadedMap = kMap;
    p.shadedMapAmount = 25;
    map_colour = {1, 0, 0.5f, 1};
    light(0.0f);
    expect_rgb(shade(), 0.75f * 0.1f + 0.25f, 0.75f * 0.2f, 0.75f * 0.3f + 0.25f * 0.5f);

    // the switch off leaves the base colour
    p.shadedMapOn = 0;
    expect_rgb(shade(), 0.1f, 0.2f, 0.3f);
}

TEST_F(InkNPaint, HighlightFromReflectedLight) {
    p.highlightOn = 1;
    p.highlightColor = {0.9f, 0.9f, 0.2f, 1};
    illum().reflection_dir = {0, 0, 1};
    // glossiness 50 %: exponent 2^5 = 32; the highlight needs RL^32 > 0.25
    const float exponent = 32.0f;
    struct Case {
        float rl;
        bool highlight;
    } cases[] = {{1.0f, true},
                 {0.97f, std::pow(0.97f, exponent) > 0.25f},
                 {0.95f, std::pow(0.95f, exponent) > 0.25f},
                 {-0.5f, false}};
    ASSERT_TRUE(cases[1].highlight);
    ASSERT_FALSE(cases[2].highlight);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rl);
        const float s = std::sqrt(std::fmax(0.0f, 1 - c.rl * c.rl));
        light(1.0f, {s, 0, c.rl});
        const Color r = shade();
        if (c.highlight)
            expect_rgb(r, 0.9f, 0.9f, 0.2f);
        else
            expect_rgb(r, 0.8f, 0.6f, 0.4f);
    }
    // too little light (mean 0.2) makes no highlight even head on
    light(0.2f, {0, 0, 1});
    expect_rgb(shade(), 0.4f + 0.5f * 0.4f, 0.3f + 0.5f * 0.3f, 0.2f + 0.5f * 0.2f);
    // switched off
    p.highlightOn = 0;
    light(1.0f);
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);
}

TEST_F(InkNPaint, PaintOffShowsTheEnvironment) {
    p.paintOn = 0;
    TestReflectHost &reflect = *internal::host_object<TestReflectHost>("testhost_reflect");
    reflect.reset();
    reflect.environment_color = {0.2f, 0.3f, 0.4f, 0.5f};
    state.volume = 77;
    Color c = shade();
    expect_rgb(c, 0.2f, 0.3f, 0.4f);
    EXPECT_EQ(c.a, 0.5f);
    EXPECT_EQ(state.volume, 77u);  // restored
    p.opaqueAlpha = 1;
    EXPECT_EQ(shade().a, 1.0f);
    // a failed trace and shadow rays give opaque black
    reflect.environment_ok = 0;
    p.opaqueAlpha = 0;
    c = shade();
    expect_rgb(c, 0, 0, 0);
    EXPECT_EQ(c.a, 1.0f);
    reflect.environment_ok = 1;
    state.type = ZO_RAY_SHADOW;
    c = shade();
    expect_rgb(c, 0, 0, 0);
    EXPECT_EQ(c.a, 1.0f);
}

TEST_F(InkNPaint, NoPrimitiveNoResult) {
    state.pri = nullptr;
    Color c{9, 9, 9, 9};
    EXPECT_FALSE(kor_InkNPaint(&c, &state, &p));
    EXPECT_EQ(c.r, 9.0f);
}

TEST_F(InkNPaint, OutlineWhereTheDiscLeavesTheObject) {
    inking();
    light(1.0f);
    // q = 1: five probes (centre and four neighbours)
    hits(1);  // the centre finds the object, the others miss
    expect_rgb(shade(), 0, 0, 1);
    EXPECT_EQ(probes().probes.size(), 5u);
    EXPECT_EQ(state.pri, &primitive);  // restored after the disc

    // inside the object: every probe finds it, so paint
    hits(5);
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);

    // nothing found at all: nothing covered, so paint
    hits(0);
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);

    // another object behind the point is an edge; one within the bias is not
    hits(1, 4, 20.0);
    expect_rgb(shade(), 0, 0, 1);
    p.outlineBias = 15;  // 20 - 15 < 10
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);
    p.outlineBias = 5;  // 20 - 5 >= 10
    expect_rgb(shade(), 0, 0, 1);

    // an object in front covers the probe
    p.outlineBias = 0;
    hits(1, 4, 5.0);
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);

    // the outline colour with its map needs the switch at exactly 1
    hits(1);
    p.outlineMap = kMap;
    p.outlineMapAmount = 40;
    map_colour = {1, 0, 0, 1};
    p.outlineMapOn = 2;
    expect_rgb(shade(), 0, 0, 1);
    p.outlineMapOn = 1;
    expect_rgb(shade(), 0.4f, 0, 0.6f);

    // outline ink off: painted
    p.outlineInk = 0;
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);
}

TEST_F(InkNPaint, SmoothingCreaseFromTheSecondProbe) {
    inking();
    p.outlineInk = 0;
    p.smoothingInk = 1;
    p.smoothingColor = {0, 1, 0, 1};
    // no smoothing groups: the first probe hits the object, its second probe
    // through the half offset finds a face turned away by 90 degrees
    auto crease = [&](Vector3 normal) {
        probes().hits.clear();
        probes().hits.push_back({kInstance, 10.0, {0, 0, 0}});
        TestProbeHit second{kInstance, 10.0, {0, 0, 0}};
        second.has_normal = true;
        second.normal = normal;
        probes().hits.push_back(second);
    };
    crease({1, 0, 0});
    expect_rgb(shade(), 0, 1, 0);
    EXPECT_EQ(probes().probes.size(), 6u);  // five disc probes and one second probe
    // the second probe lands half as far out as the first
    const TestProbeCall &first = probes().probes[0], &half = probes().probes[1];
    EXPECT_NEAR(half.dir.x / half.dir.z, 0.5f * first.dir.x / first.dir.z, 1e-6f);
    EXPECT_NEAR(half.dir.y / half.dir.z, 0.5f * first.dir.y / first.dir.z, 1e-6f);

    // normals within the 0.9 cosine: no crease
    crease({0.4f, 0, std::sqrt(1 - 0.16f)});  // cosine 0.917
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);
    crease({0.45f, 0, std::sqrt(1 - 0.2025f)});  // cosine 0.893
    expect_rgb(shade(), 0, 1, 0);

    // the outline is applied last and replaces the crease
    p.outlineInk = 1;
    expect_rgb(shade(), 0, 0, 1);
}

TEST_F(InkNPaint, NoPositionTriangleIsPainted) {
    inking();
    internal::scene().triangles.clear();
    hits(1);
    expect_rgb(shade(), 0.8f, 0.6f, 0.4f);
    EXPECT_TRUE(probes().probes.empty());
}

TEST_F(InkNPaint, ProbeDiscAroundThePoint) {
    inking();
    p.inkQuality = 2;
    p.inkWidth = 2;
    shade();
    // one pixel of the orthographic camera is 2 / 640 units; width 2 at
    // 640 pixels over q = 2 steps: one step is one pixel
    const float step = 2.0f * 640 / 640 / 2 * (2.0f / 640);
    std::vector<Vector3> expected;
    for (int i = -2; i <= 2; ++i)
        for (int j = -2; j <= 2; ++j)
            if (i * i + j * j <= 4) expected.push_back({i * step, j * step, 0});
    ASSERT_EQ(probes().probes.size(), expected.size());  // 13
    for (const TestProbeCall &c : probes().probes) {
        ASSERT_TRUE(c.has_origin);
        EXPECT_EQ(c.origin.z, 10.0f);
        // where the probe meets the plane z = 0
        const float x = -10.0f * c.dir.x / c.dir.z, y = -10.0f * c.dir.y / c.dir.z;
        bool found = false;
        for (const Vector3 &e : expected)
            if (std::fabs(e.x - x) < 1e-6f && std::fabs(std::fabs(e.y) - std::fabs(y)) < 1e-6f)
                found = true;
        EXPECT_TRUE(found) << x << " " << y;
    }
    EXPECT_NEAR(widest_probe(), 2 * step, 1e-6f);
}

TEST_F(InkNPaint, WidthFromLightAndLimits) {
    inking();
    p.inkQuality = 1;
    const float pixel = 2.0f / 640;  // q = 1: the widest probe lies one width out
    // fixed width
    shade();
    EXPECT_NEAR(widest_probe(), 2 * pixel, 1e-6f);
    // a width above the limit is lowered to it
    p.inkWidth = 8;
    shade();
    EXPECT_NEAR(widest_probe(), 6 * pixel, 1e-6f);
    p.inkWidth = 2;

    // variable: a light straight above (unshadowed 1) draws inkWidth, one
    // straight below (unshadowed 0) the limit, one level with the point half way
    p.variableWidth = 1;
    struct Case {
        Vector3 origin;
        float width;
    } cases[] = {{{0, 0, 5}, 2.0f}, {{0, 0, -5}, 6.0f}, {{5, 0, 0}, 4.0f}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.width);
        ink().light_origins[kLight] = c.origin;
        shade();
        EXPECT_NEAR(widest_probe(), c.width * pixel, 1e-6f);
    }

    // the width map pulls towards inkWidth + (limit - inkWidth) * grey
    ink().light_origins[kLight] = {0, 0, 5};  // w = 2
    p.widthMap = kMap;
    p.widthMapOn = 1;
    p.widthMapAmount = 50;
    map_colour = {0.5f, 0.5f, 0.5f, 1};
    shade();
    const float grey = 1.5f * 0.33333f;
    const float target = 2 + 4 * grey;
    EXPECT_NEAR(widest_probe(), (2 + 0.5f * (target - 2)) * pixel, 1e-6f);

    // clamped to [inkWidth, limit]: a negative amount pushing below inkWidth
    p.widthMapAmount = -100;
    p.clampWidth = 1;
    shade();
    EXPECT_NEAR(widest_probe(), 2 * pixel, 1e-6f);
}

TEST_F(InkNPaint, ThreadRecordMadeOnceAndReleasedAtExit) {
    inking();
    hits(1);
    shade();
    const long after_first = internal::host().allocations;
    EXPECT_EQ(after_first, 1);
    for (int i = 0; i < 5; ++i) shade();
    EXPECT_EQ(internal::host().allocations, after_first);
}

}  // namespace
