// Render to texture: the UV grid (size, cell mapping, inside test, order
// within cells, surface hit), the triangle hook the shading context reads,
// and the bake lens with its published records and projection search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "RTTGridAccelerator.h"
#include "internal/internal.h"
#include "kor_context.h"
#include "kor_rtt.h"
#include "kor_rttlens.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_lens.h"
#include "testhost/testhost_rtmtl.h"
#include "testhost/testhost_rtt.h"

extern "C" {
zoBoolean kor_rtt_lens(Color *, RenderState *, void *);
void kor_rtt_lens_init(RenderState *, void *, zoBoolean *);
void kor_rtt_lens_exit(RenderState *, void *);
}

namespace {

constexpr Tag kInstance = 10, kObject = 20, kMaterial = 30, kTarget = 11, kLensTag = 70;

using MeshFn = void (*)(Tag, const std::vector<Vector3> *, const std::vector<Vector3> *,
                        const std::vector<std::vector<Vector3>> *, const std::vector<int> *,
                        const std::vector<uint32_t> *);

TestLens &lens() {
    return *internal::host_object<TestLens>("testhost_lens");
}
TestRtmtlHost &probes() {
    return *internal::host_object<TestRtmtlHost>("testhost_rtmtl");
}
TestBitmapHost &hostfb() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}
TestRttHost &meshes() {
    return *internal::host_object<TestRttHost>("testhost_rtt");
}

// A flat mesh from UV triangles: vertex k of the mesh sits at (u, v, 0) in
// object space unless positions are given.
struct MeshSpec {
    std::vector<Vector3> positions, normals;
    std::vector<Vector3> uvs;
    int components = 2;
    std::vector<uint32_t> indices;

    // Appends a triangle of three fresh vertices.
    void triangle(Vector3 a, Vector3 b, Vector3 c) {
        for (Vector3 t : {a, b, c}) {
            indices.push_back(static_cast<uint32_t>(uvs.size()));
            uvs.push_back(t);
            positions.push_back({t.x, t.y, 0});
        }
    }
    void publish(Tag object = kObject) const {
        std::vector<std::vector<Vector3>> spaces{uvs};
        std::vector<int> comps{components};
        auto fn = reinterpret_cast<MeshFn>(dlsym(internal::host_module(), "testhost_rtt_mesh"));
        fn(object, &positions, &normals, &spaces, &comps, &indices);
    }
};

class Rtt : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        meshes().reset();
        probes().reset();
        lens().reset();
        hostfb().reset();
        internal::host().thread_pointers = true;
        internal::host().user_slot = &slot;
        record.tag = kLensTag;
        camera.x_resolution = 8;
        camera.y_resolution = 4;
        state.options = &options;
        state.camera = &camera;
        state.shader = &record;
        state.type = ZO_RAY_EYE;
        state.march = 1;
        zoInstanceRecord inst{};
        inst.item = kObject;
        inst.material = kMaterial;
        for (int i = 0; i < 16; ++i) inst.to_world[i] = i % 5 == 0 ? 1.0f : 0.0f;
        internal::scene().instances[kInstance] = inst;
    }
    void TearDown() override {
        kor::rttGridRelease(&grid);
        meshes().reset();
    }

    // Builds the grid over the working instance's texture space 0.
    bool build(Tag selection = 0) {
        grid = RTTGridAccelerator{};
        return kor::rttGridSetup(&grid, kInstance, 0, selection) &&
               kor::rttGridBuild(&grid, &state);
    }
    std::vector<unsigned> run(unsigned cell) const {
        return std::vector<unsigned>(grid.items + grid.cellStart[cell],
                                     grid.items + grid.cellStart[cell + 1]);
    }
    bool said(const std::string &text) const {
        for (const std::string &m : internal::host().messages)
            if (m == text) return true;
        return false;
    }

    zoOptions options{};
    zoCamera camera{};
    zoShaderRecord record{};
    RenderState state{};
    RTTGridAccelerator grid{};
    void *slot = nullptr;
};

// ---------------------------------------------------------------------------
// Grid construction.

TEST_F(Rtt, OneCellPerTriangleAboutAndTheReport) {
    const struct {
        int triangles;
        unsigned n;
    } cases[] = {{1, 1}, {2, 1}, {3, 1}, {4, 2}, {8, 2}, {9, 3}};
    for (const auto &c : cases) {
        internal::host().messages.clear();
        MeshSpec m;
        for (int t = 0; t < c.triangles; ++t)
            m.triangle({0.1f, 0.1f, 0}, {0.2f, 0.1f, 0}, {0.1f, 0.2f, 0});
        m.publish();
        ASSERT_TRUE(build()) << c.triangles;
        EXPECT_EQ(grid.resolution, c.n) << c.triangles;
        EXPECT_EQ(grid.cellCount, c.n * c.n + 1);
        // every triangle lies in cell 0
        EXPECT_EQ(grid.itemCount, static_cast<unsigned>(c.triangles));
        EXPECT_EQ(run(0).size(), static_cast<size_t>(c.triangles));
        const int bytes = 4 * (c.triangles + static_cast<int>(c.n * c.n) + 1);
        EXPECT_TRUE(said("info: RTT acceleration structure created: " + std::to_string(bytes) +
                         " bytes allocated, " + std::to_string(c.triangles) + " items in " +
                         std::to_string(c.n * c.n + 1) + " voxels."))
            << c.triangles;
        kor::rttGridRelease(&grid);
    }
}

TEST_F(Rtt, TrianglesGoToEveryCellOfTheirUvBounds) {
    MeshSpec m;
    m.triangle({0.1f, 0.1f, 0}, {0.9f, 0.1f, 0}, {0.1f, 0.4f, 0});  // columns 0-1, row 0
    m.triangle({0.6f, 0.6f, 0}, {0.9f, 0.6f, 0}, {0.6f, 0.9f, 0});  // cell 3
    m.triangle({0.1f, 0.6f, 0}, {0.2f, 0.6f, 0}, {0.1f, 0.7f, 0});  // cell 2
    m.triangle({0.1f, 0.1f, 0}, {0.9f, 0.1f, 0}, {0.5f, 0.9f, 0});  // all four
    m.publish();
    ASSERT_TRUE(build());
    ASSERT_EQ(grid.resolution, 2u);
    EXPECT_EQ(grid.itemCount, 2u + 1u + 1u + 4u);
    // filled backwards: the later triangle stands first in its run
    EXPECT_EQ(run(0), (std::vector<unsigned>{9, 0}));
    EXPECT_EQ(run(1), (std::vector<unsigned>{9, 0}));
    EXPECT_EQ(run(2), (std::vector<unsigned>{9, 6}));
    EXPECT_EQ(run(3), (std::vector<unsigned>{9, 3}));
    EXPECT_EQ(grid.cellStart[4], grid.itemCount);
}

TEST_F(Rtt, UnusableMeshesFailWithTheMessage) {
    const std::string unknown =
        "error: Render to Texture: Failed to create acceleration structure (unkown error).";
    MeshSpec empty;
    empty.publish();
    EXPECT_FALSE(build());
    EXPECT_TRUE(said(unknown));
    EXPECT_FALSE(grid.built);
    kor::rttGridRelease(&grid);

    // a UV channel the mesh does not have
    internal::host().messages.clear();
    MeshSpec m;
    m.triangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    m.publish();
    grid = RTTGridAccelerator{};
    ASSERT_TRUE(kor::rttGridSetup(&grid, kInstance, 1, 0));
    EXPECT_FALSE(kor::rttGridBuild(&grid, &state));
    EXPECT_TRUE(said(unknown));
    RttSurfaceHit hit{};
    EXPECT_FALSE(kor::rttGridLookup(&grid, &state, 0.2f, 0.2f, &hit));
    kor::rttGridRelease(&grid);

    // an object without a mesh
    internal::host().db_types.erase(kObject);
    grid = RTTGridAccelerator{};
    EXPECT_FALSE(kor::rttGridSetup(&grid, kInstance, 0, 0));
}

// ---------------------------------------------------------------------------
// Cells and the inside test.

TEST_F(Rtt, CellsTruncateAndTreatNegativesAsHuge) {
    EXPECT_EQ(kor::rttGridCell(4, 1.0f, 0.0f), 3u);  // exactly 1.0: last column
    EXPECT_EQ(kor::rttGridCell(4, 0.99f, 0.0f), 3u);
    EXPECT_EQ(kor::rttGridCell(4, -0.25f, 0.0f), 3u);  // -1/N: huge, last column
    EXPECT_EQ(kor::rttGridCell(4, -7.0f, 0.0f), 3u);
    EXPECT_EQ(kor::rttGridCell(4, -0.2f, 0.0f), 0u);  // above -1/N truncates to 0
    EXPECT_EQ(kor::rttGridCell(4, 2.5f, 0.0f), 3u);
    EXPECT_EQ(kor::rttGridCell(4, 0.5f, 1.0f), 14u);  // row 3, column 2
    EXPECT_EQ(kor::rttGridCell(4, 0.0f, -0.25f), 12u);
    EXPECT_EQ(kor::rttGridCell(1, -3.0f, 5.0f), 0u);

    // a triangle reaching u = 1 is found at u = 1 on its edge
    MeshSpec m;
    for (int k = 0; k < 3; ++k) m.triangle({0.0f, 0.9f, 0}, {0.05f, 0.9f, 0}, {0.0f, 0.95f, 0});
    m.triangle({0.6f, 0.0f, 0}, {1.0f, 0.0f, 0}, {1.0f, 0.4f, 0});
    m.publish();
    ASSERT_TRUE(build());
    ASSERT_EQ(grid.resolution, 2u);
    RttSurfaceHit hit{};
    ASSERT_TRUE(kor::rttGridLookup(&grid, &state, 1.0f, 0.2f, &hit));
    EXPECT_EQ(hit.triangle, 3);
    EXPECT_FALSE(kor::rttGridLookup(&grid, &state, 1.0f, 0.45f, &hit));
}

TEST_F(Rtt, ClockwiseTrianglesNeverPassAndEdgesCount) {
    const float a[2] = {0, 0}, b[2] = {1, 0}, c[2] = {0, 1};
    EXPECT_TRUE(kor::rttInsideTriangle(a, b, c, 0.2f, 0.2f));
    EXPECT_TRUE(kor::rttInsideTriangle(a, b, c, 0.5f, 0.5f));  // on the edge b-c
    EXPECT_TRUE(kor::rttInsideTriangle(a, b, c, 0.0f, 0.0f));  // a corner
    EXPECT_FALSE(kor::rttInsideTriangle(a, b, c, 0.6f, 0.6f));
    for (float p : {0.2f, 0.1f, 0.3f}) EXPECT_FALSE(kor::rttInsideTriangle(a, c, b, p, p));

    MeshSpec m;
    m.triangle({0, 0, 0}, {0, 1, 0}, {1, 0, 0});  // clockwise in UV
    m.publish();
    ASSERT_TRUE(build());
    RttSurfaceHit hit{};
    EXPECT_FALSE(kor::rttGridLookup(&grid, &state, 0.2f, 0.2f, &hit));
}

TEST_F(Rtt, SharedEdgesGoToTheEarlierItemOfTheCell) {
    MeshSpec m;
    m.triangle({0, 0, 0}, {1, 0, 0}, {1, 1, 0});
    m.triangle({0, 0, 0}, {1, 1, 0}, {0, 1, 0});
    m.publish();
    ASSERT_TRUE(build());
    ASSERT_EQ(run(0), (std::vector<unsigned>{3, 0}));
    RttSurfaceHit hit{};
    ASSERT_TRUE(kor::rttGridLookup(&grid, &state, 0.5f, 0.5f, &hit));
    EXPECT_EQ(hit.triangle, 1);
    ASSERT_TRUE(kor::rttGridLookup(&grid, &state, 0.75f, 0.25f, &hit));
    EXPECT_EQ(hit.triangle, 0);
    ASSERT_TRUE(kor::rttGridLookup(&grid, &state, 0.25f, 0.75f, &hit));
    EXPECT_EQ(hit.triangle, 1);
}

TEST_F(Rtt, LargerThirdCoordinateComesFirstWhereIslandsOverlap) {
    MeshSpec m;
    m.components = 3;
    m.triangle({0, 0, 0.125f}, {1, 0, 0.125f}, {0, 1, 0.125f});  // key 0.375
    m.triangle({0, 0, 0.5f}, {1, 0, 0.5f}, {0, 1, 0.5f});        // key 1.5
    m.triangle({0, 0, 1.0f}, {1, 0, 0.25f}, {0, 1, 0.25f});      // key 1.5: the smaller item first
    m.triangle({0, 0, 0.0f}, {1, 0, 0.0f}, {0, 1, 0.25f});       // key 0.25
    m.publish();
    ASSERT_TRUE(build());
    ASSERT_EQ(grid.resolution, 2u);
    EXPECT_EQ(run(0), (std::vector<unsigned>{3, 6, 0, 9}));
    RttSurfaceHit hit{};
    ASSERT_TRUE(kor::rttGridLookup(&grid, &state, 0.1f, 0.1f, &hit));
    EXPECT_EQ(hit.triangle, 1);
    kor::rttGridRelease(&grid);

    // two-component UVs keep the filling order
    m.components = 2;
    m.publish();
    ASSERT_TRUE(build());
    EXPECT_EQ(run(0), (std::vector<unsigned>{9, 6, 3, 0}));
}

// ---------------------------------------------------------------------------
// The surface hit.

TEST_F(Rtt, HitWeightsPointAndNormalAgainstHandValues) {
    MeshSpec m;
    m.triangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    m.positions = {{0, 0, 0}, {2, 0, 0}, {0, 2, 0}};
    m.publish();
    // x scaled by 2, then moved by (1, 2, 3)
    zoInstanceRecord &inst = internal::scene().instances[kInstance];
    inst.to_world[0] = 2;
    inst.to_world[12] = 1;
    inst.to_world[13] = 2;
    inst.to_world[14] = 3;
    ASSERT_TRUE(build());
    RttSurfaceHit hit{};
    ASSERT_TRUE(kor::rttGridLookup(&grid, &state, 0.25f, 0.5f, &hit));
    EXPECT_EQ(hit.triangle, 0);
    EXPECT_NEAR(hit.bary[0], 0.25f, 1e-6);
    EXPECT_NEAR(hit.bary[1], 0.25f, 1e-6);
    EXPECT_NEAR(hit.bary[2], 0.5f, 1e-6);
    // corners (1, 2, 3), (5, 2, 3), (1, 4, 3)
    EXPECT_NEAR(hit.vertices[1].x, 5.0f, 1e-6);
    EXPECT_NEAR(hit.vertices[2].y, 4.0f, 1e-6);
    EXPECT_NEAR(hit.point.x, 2.0f, 1e-6);
    EXPECT_NEAR(hit.point.y, 3.0f, 1e-6);
    EXPECT_NEAR(hit.point.z, 3.0f, 1e-6);
    // no vertex normals: the geometric normal (4, 0, 0) x (0, 2, 0), unit
    EXPECT_NEAR(hit.normal.z, 1.0f, 1e-6);
    EXPECT_NEAR(hit.uv[2][1], 1.0f, 1e-6);
    kor::rttGridRelease(&grid);

    // vertex normals (0,0,1), (1,0,0), (0,1,0) blend to (0.25, 0.5, 0.25);
    // x doubled: (0.5, 0.5, 0.25), length 0.75
    m.normals = {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}};
    m.publish();
    ASSERT_TRUE(build());
    EXPECT_EQ(grid.normalOffset, 3);
    ASSERT_TRUE(kor::rttGridLookup(&grid, &state, 0.25f, 0.5f, &hit));
    EXPECT_NEAR(hit.normal.x, 2.0f / 3.0f, 1e-6);
    EXPECT_NEAR(hit.normal.y, 2.0f / 3.0f, 1e-6);
    EXPECT_NEAR(hit.normal.z, 1.0f / 3.0f, 1e-6);
    EXPECT_FALSE(kor::rttGridLookup(&grid, &state, 0.75f, 0.5f, &hit));
}

TEST_F(Rtt, RasterTriangleGivesTheDerivativesOfTheTexture) {
    RttThreadRecord rec{};
    rec.working.uv[0][0] = 0, rec.working.uv[0][1] = 0;
    rec.working.uv[1][0] = 1, rec.working.uv[1][1] = 0;
    rec.working.uv[2][0] = 0, rec.working.uv[2][1] = 1;
    rec.working.vertices[1] = {3, 0, 0};
    rec.xres = 8;
    rec.yres = 4;
    Vector3 r[3];
    ASSERT_TRUE(kor::rttRasterTriangle(&rec, &state, r));
    EXPECT_FLOAT_EQ(r[1].x, 8.0f);
    EXPECT_FLOAT_EQ(r[2].y, 4.0f);
    ASSERT_TRUE(kor::rttCameraTriangle(&rec, &state, r));
    EXPECT_FLOAT_EQ(r[1].x, 3.0f);

    // the shading context reads the hook when the scene data allows it:
    // A (0, 0), B (8, 0), C (0, 4): f = 2 (-8 * 4) = -64
    const TriangleHook hook = {kor::rttCameraTriangle, kor::rttRasterTriangle, &rec};
    zo_shaderstate_set(&state, "KEY_9", &hook, sizeof hook, ZO_SHADERSTATE_SAMPLE);
    uint32_t corner[3] = {0, 1, 2};
    state.pri = corner;
    ShadingContext ctx{1, 0, 1.0f, -1.0f};
    float d[4];
    kor::baryDerivatives(&state, &ctx, kContextSurface, d);
    EXPECT_FLOAT_EQ(d[0], 4.0f / -64.0f);
    EXPECT_FLOAT_EQ(d[1], 8.0f / -64.0f);
    EXPECT_FLOAT_EQ(d[2], 0.0f);
    EXPECT_FLOAT_EQ(d[3], -8.0f / -64.0f);

    // tangent frame: U along +x, V along +y for this triangle
    rec.working.vertices[0] = {0, 0, 0};
    rec.working.vertices[2] = {0, 5, 0};
    rec.working.normal = {0, 0, 1};
    Vector3 basis[3];
    ASSERT_TRUE(kor::rttTangentBasis(&rec.working, &state, basis));
    EXPECT_FLOAT_EQ(basis[0].x, 1.0f);
    EXPECT_FLOAT_EQ(basis[1].y, 1.0f);
    EXPECT_FLOAT_EQ(basis[2].z, 1.0f);
}

// ---------------------------------------------------------------------------
// The lens.

class RttLens : public Rtt {
  protected:
    void SetUp() override {
        Rtt::SetUp();
        MeshSpec m;
        m.triangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0});  // the lower-left half of the square
        m.publish();
        p.workingInstance = kInstance;
        p.uvChannelId = 1;
        p.rayOffset = 0.5f;
        p.heightMin = 0.2f;
        p.heightMax = 0.1f;
        p.useWorkingModelOnMiss = 1;
        internal::host().material_call = {1, true, {0.25f, 0.5f, 0.75f, 1}};
    }
    void TearDown() override {
        kor_rtt_lens_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
        Rtt::TearDown();
    }
    void init() {
        zoBoolean instances = 0;
        kor_rtt_lens_init(&state, nullptr, &instances);
        EXPECT_TRUE(instances);
        kor_rtt_lens_init(&state, &p, nullptr);
    }
    // One sample at raster (x, y).
    zoBoolean sample(float x, float y, Color *c) {
        state.raster_x = x;
        state.raster_y = y;
        return kor_rtt_lens(c, &state, &p);
    }
    const RttThreadRecord &thread_record() {
        return *static_cast<const RttThreadRecord *>(internal::host().thread_slots[kLensTag][0]);
    }
    int material_calls() const {
        int n = 0;
        for (const TestShaderCall &c : internal::host().calls)
            n += c.function == "zo_call_material";
        return n;
    }
    RttLensParams p{};
};

TEST_F(RttLens, ShadesTheWorkingModelAndClearsItsRecords) {
    init();
    Color c{};
    // raster (2, 1) of 8 x 4: UV (0.25, 0.25)
    ASSERT_TRUE(sample(2, 1, &c));
    EXPECT_FLOAT_EQ(c.g, 0.5f);
    EXPECT_EQ(material_calls(), 1);
    EXPECT_EQ(internal::host().calls.back().state_material, kMaterial);
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_9", nullptr), nullptr);
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_10", nullptr), nullptr);
    const RttThreadRecord &rec = thread_record();
    EXPECT_FALSE(rec.projected);
    EXPECT_NEAR(rec.shade.point.x, 0.25f, 1e-6);
    EXPECT_NEAR(rec.shade.point.y, 0.25f, 1e-6);
    EXPECT_NEAR(rec.shade.normal.z, 1.0f, 1e-6);
    EXPECT_NEAR(rec.shade.dir.z, -1.0f, 1e-6);
    EXPECT_EQ(rec.shade.instance, kInstance);
    EXPECT_EQ(rec.shade.pri_index, 0);
    EXPECT_NE(rec.shade.pri, nullptr);
    ASSERT_EQ(rec.shade.tex_count, 1);
    EXPECT_NEAR(rec.shade.tex_list[0].x, 0.25f, 1e-6);
    EXPECT_NEAR(rec.shade.bary[2], 0.25f, 1e-6);
    EXPECT_EQ(lens().traces, 0);
}

TEST_F(RttLens, OffTheIslandsTracesTheEyeOnlyWithSceneData) {
    p.backgroundColor = {0.1f, 0.2f, 0.3f, 0.0f};
    init();
    Color c{};
    // UV (0.75, 0.75): outside the triangle
    EXPECT_FALSE(sample(6, 3, &c));
    EXPECT_FLOAT_EQ(c.b, 0.3f);
    EXPECT_EQ(lens().traces, 0);
    EXPECT_EQ(material_calls(), 0);

    SceneData scene{};
    options.userdata = 55;
    internal::host().data_blocks[55] = &scene;
    lens().color = {0.9f, 0.8f, 0.7f, 1};
    ASSERT_TRUE(sample(6, 3, &c));
    EXPECT_EQ(lens().traces, 1);
    EXPECT_FLOAT_EQ(c.r, 0.9f);
}

TEST_F(RttLens, ProjectionShadesTheTargetAndWritesTheDistance) {
    p.projectionOn = 1;
    init();
    hostfb().reset();
    // the first probe passes the working model itself, then finds the target
    probes().hits = {{kInstance, 0.1, {0.25f, 0.25f, 0.4f}, true, {0, 0, 1}},
                     {kTarget, 0.2, {0.25f, 0.25f, 0.2f}, true, {0, 0, 1}}};
    Color c{};
    ASSERT_TRUE(sample(2, 1, &c));
    ASSERT_EQ(probes().probes.size(), 2u);
    // from 0.5 above the surface, straight down
    EXPECT_TRUE(probes().probes[0].has_origin);
    EXPECT_NEAR(probes().probes[0].origin.z, 0.5f, 1e-6);
    EXPECT_NEAR(probes().probes[0].dir.z, -1.0f, 1e-6);
    const RttThreadRecord &rec = thread_record();
    EXPECT_TRUE(rec.projected);
    EXPECT_EQ(rec.shade.instance, kTarget);
    EXPECT_NEAR(rec.projection.heightMax, 0.2f + 0.001f, 1e-6);
    EXPECT_EQ(rec.projection.working, &rec.working);
    EXPECT_EQ(rec.projection.workingInstance, kInstance);
    EXPECT_EQ(material_calls(), 1);
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_9", nullptr), nullptr);
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_10", nullptr), nullptr);
    EXPECT_EQ(state.march, 1);
    // distance: 0.5 - (0.1 + step + 0.2), about 0.2 above the surface
    ASSERT_FALSE(hostfb().fb_puts.empty());
    EXPECT_EQ(hostfb().fb_puts.back().buffer, 7);
    float along;
    std::memcpy(&along, &hostfb().fb_puts.back().word, 4);
    EXPECT_NEAR(along, 0.2f, 1e-3);
}

TEST_F(RttLens, ProjectionMissFallsBackToTheWorkingModelOrTheEye) {
    p.projectionOn = 1;
    p.projectionTargets.count = 0;
    init();
    // a target beyond the search distance is a miss
    probes().hits = {{kTarget, 0.7, {0, 0, 0}, false, {0, 0, 1}}};
    Color c{};
    ASSERT_TRUE(sample(2, 1, &c));
    EXPECT_FALSE(thread_record().projected);
    EXPECT_EQ(thread_record().shade.instance, kInstance);
    EXPECT_EQ(material_calls(), 1);
    kor_rtt_lens_exit(&state, &p);

    // without the fallback: the eye trace (with scene data)
    p.useWorkingModelOnMiss = 0;
    SceneData scene{};
    options.userdata = 55;
    internal::host().data_blocks[55] = &scene;
    init();
    probes().reset();
    EXPECT_TRUE(sample(2, 1, &c));
    EXPECT_EQ(lens().traces, 1);
    EXPECT_EQ(material_calls(), 1);
}

TEST_F(RttLens, TwoSidedSearchTakesTheNearerSurface) {
    p.projectionOn = 1;
    p.twoSided = 1;
    init();
    // above: 0.45 down from 0.5, so 0.05 above; beyond: 0.02 below
    probes().hits = {{kTarget, 0.45, {0.25f, 0.25f, 0.05f}, true, {0, 0, 1}},
                     {kTarget, 0.02, {0.25f, 0.25f, -0.02f}, true, {0, 0, 1}}};
    Color c{};
    ASSERT_TRUE(sample(2, 1, &c));
    ASSERT_EQ(probes().probes.size(), 2u);
    // the second search leaves the working point the other way from the
    // first hit: on down through the surface, not back up
    EXPECT_NEAR(probes().probes[1].origin.z, 0.0f, 1e-6);
    EXPECT_NEAR(probes().probes[1].dir.z, -1.0f, 1e-6);
    EXPECT_NEAR(thread_record().shade.point.z, -0.02f, 1e-6);
    float along;
    std::memcpy(&along, &hostfb().fb_puts.back().word, 4);
    EXPECT_NEAR(along, -0.02f, 1e-6);
}

}  // namespace

namespace {

TEST_F(RttLens, CageSearchStartsAtTheMatchingCageFace) {
    // the cage: the working triangle lifted by 1 and doubled in size
    MeshSpec cage;
    cage.triangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    cage.positions = {{0, 0, 1}, {2, 0, 1}, {0, 2, 1}};
    cage.publish(21);
    zoInstanceRecord inst = internal::scene().instances[kInstance];
    inst.item = 21;
    internal::scene().instances[12] = inst;
    p.projectionOn = 1;
    p.useCage = 1;
    p.cageInstance = 12;
    init();
    probes().hits = {{kTarget, 0.5, {0.25f, 0.25f, 0.5f}, true, {0, 0, 1}}};
    Color c{};
    ASSERT_TRUE(sample(2, 1, &c));
    ASSERT_EQ(probes().probes.size(), 1u);
    // weights (0.5, 0.25, 0.25) on the cage face: (0.5, 0.5, 1); towards (0.25, 0.25, 0)
    const TestProbeCall &probe = probes().probes[0];
    EXPECT_NEAR(probe.origin.x, 0.5f, 1e-6);
    EXPECT_NEAR(probe.origin.z, 1.0f, 1e-6);
    const float len = std::sqrt(0.25f * 0.25f * 2 + 1);
    EXPECT_NEAR(probe.dir.x, -0.25f / len, 1e-6);
    EXPECT_NEAR(probe.dir.z, -1.0f / len, 1e-6);
    EXPECT_TRUE(thread_record().projected);
    kor_rtt_lens_exit(&state, &p);

    // a cage with fewer faces than the hit's triangle number needs
    MeshSpec none;
    none.publish(21);
    init();
    probes().reset();
    internal::host().messages.clear();
    ASSERT_TRUE(sample(2, 1, &c));
    ASSERT_TRUE(sample(2, 1, &c));
    EXPECT_TRUE(probes().probes.empty());
    EXPECT_FALSE(thread_record().projected);  // the working model instead
    int reports = 0;
    for (const std::string &m : internal::host().messages)
        reports += m == "warning: RTT Projection: Could not match working model face #0 with cage.";
    EXPECT_EQ(reports, 1);
}

}  // namespace
