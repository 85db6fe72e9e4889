// Coordinate generators: the coordinate, its transform and footprint, the
// tiled lookup protocol with its callbacks, and the coordinate queries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "internal/internal.h"
#include "kor_stduv.h"

namespace {

// The UV generator's parameters as these tests use them.
struct UVParams : UVGeneratorParams {
    UVParams() { noiseLevels = 3; }
};

struct XYZParams {
    int32_t coordinateSystem = 0, mapChannel = 1;
    Vector3 offset{0, 0, 0}, tiling{1, 1, 1}, angle{0, 0, 0};
    float blur = 1, blurOffset = 0;
};

}  // namespace

extern "C" {
zoBoolean kor_base_UVGenerator(void *, RenderState *, UVParams *, UVLookupRequest *);
zoBoolean kor_UVCoordinate(CoordinateRecord *, RenderState *, UVParams *);
zoBoolean kor_base_XYZGenerator(Color *, RenderState *, XYZParams *);
void kor_base_UVGenerator_init(RenderState *, void *, zoBoolean *);
void kor_base_UVGenerator_exit(RenderState *, void *);
void kor_base_XYZGenerator_exit(RenderState *, void *);
}

namespace {

struct Read {
    float u, v, du, dv;
    bool filtered;
};

std::vector<Read> reads;

// A map whose colour is its lookup coordinate.
Color *point_read(Color *out, RenderState *, UVLookupRequest *, float u, float v) {
    reads.push_back({u, v, 0, 0, false});
    *out = {u, v, 0, 1};
    return out;
}

Color *filtered_read(Color *out, RenderState *, UVLookupRequest *, float u, float v, float du,
                     float dv) {
    reads.push_back({u, v, du, dv, true});
    *out = {u, v, 0, 1};
    return out;
}

class Generator : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        internal::host().thread_pointers = true;
        zoBoolean instances = 0;
        kor_base_UVGenerator_init(&state, nullptr, &instances);  // noise tables
        internal::scene().textures = 1;
        reads.clear();
        camera.focal = 1;
        camera.aperture = 1;
        camera.x_resolution = 64;
        camera.y_resolution = 64;
        record.tag = 77;
        state.camera = &camera;
        state.options = &options;
        state.shader = &record;
        state.tex_list = &tex;
        state.tex_count = 1;
        state.normal_geom = state.normal = {0, 0, 1};
        state.dir = {0, 0, -1};
        request.magic = kUVLookupMagic;
        request.pointLookup = point_read;
        request.filteredLookup = filtered_read;
        request.filtered = 0;
    }
    void TearDown() override {
        kor_base_UVGenerator_exit(&state, &params);
        kor_base_XYZGenerator_exit(&state, &xyz);
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "thread data freed";
    }

    Color run(float u, float v) {
        tex = {u, v, 0};
        Color c{9, 9, 9, 9};
        EXPECT_TRUE(kor_base_UVGenerator(&c, &state, &params, &request));
        return c;
    }

    CoordinateRecord coordinate(float u, float v, float w = 0) {
        tex = {u, v, w};
        CoordinateRecord rec;
        EXPECT_TRUE(kor_UVCoordinate(&rec, &state, &params));
        return rec;
    }

    zoCamera camera{};
    zoOptions options{};
    zoShaderRecord record{};
    RenderState state{};
    Vector3 tex{0, 0, 0};
    UVParams params;
    XYZParams xyz;
    UVLookupRequest request{};
};

TEST_F(Generator, TilingAndMirroringOfPointReads) {
    params.realWorldScale = 1;  // tiles pivot on 0
    params.uTiling = 2;
    Color c = run(0.75f, 0.25f);
    EXPECT_FLOAT_EQ(c.r, 0.5f) << "0.75 tiled twice is 0.5 of the second tile";
    EXPECT_FLOAT_EQ(c.g, 0.25f);
    params.wrapLookup = 0;
    EXPECT_FLOAT_EQ(run(0.75f, 0.25f).r, 1.5f) << "the tile's whole number added back";
    params.wrapLookup = 1;
    params.uTile = 0;
    params.uMirror = 1;
    EXPECT_FLOAT_EQ(run(0.75f, 0.25f).r, 1.0f) << "folded: m(0.5) = 1";
    EXPECT_FLOAT_EQ(run(0.6f, 0.25f).r, 0.4f) << "1.2 -> 0.2 -> 0.4";
}

TEST_F(Generator, FilteredBoxesSplitAtTileBorders) {
    request.filtered = 1;
    params.blur = 0;
    params.blurOffset = 0.2f;  // the footprint is the blur offset alone
    // inside one tile: one read with the whole box
    run(0.5f, 0.5f);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_FLOAT_EQ(reads[0].du, 0.2f);
    EXPECT_FLOAT_EQ(reads[0].dv, 0.2f);
    // crossing u = 1: a piece on each side, weighted by their lengths
    reads.clear();
    Color c = run(0.95f, 0.5f);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_NEAR(reads[0].u, 0.925f, 1e-6);
    EXPECT_NEAR(reads[0].du, 0.15f, 1e-6);
    EXPECT_NEAR(reads[1].u, 0.025f, 1e-6);
    EXPECT_NEAR(reads[1].du, 0.05f, 1e-6);
    EXPECT_NEAR(c.r, 0.75f * 0.925f + 0.25f * 0.025f, 1e-6);
    // untiled: the box is cut to the tile and the read scaled by what is left
    reads.clear();
    params.uTile = 0;
    c = run(0.95f, 0.5f);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_NEAR(reads[0].u, 0.925f, 1e-6);
    EXPECT_NEAR(c.a, 0.75f, 1e-6);
    reads.clear();
    c = run(1.5f, 0.5f);
    EXPECT_TRUE(reads.empty());
    EXPECT_EQ(c.a, 0.0f);
}

TEST_F(Generator, RotationAndAxisPermutation) {
    params.wAngle = 1.57079633f;
    CoordinateRecord rec = coordinate(0.75f, 0.5f);
    EXPECT_NEAR(rec.uvw.x, 0.5f, 1e-6);
    EXPECT_NEAR(rec.uvw.y, 0.25f, 1e-6);
    // angles zero: the axis only permutes
    params.wAngle = 0;
    params.axis = 1;
    rec = coordinate(0.2f, 0.3f, 0.4f);
    EXPECT_NEAR(rec.uvw.x, 0.3f, 1e-6);
    EXPECT_NEAR(rec.uvw.y, 0.4f, 1e-6);
    EXPECT_NEAR(rec.uvw.z, 0.2f, 1e-6);
    // offsets and tiling pivot on the tile's centre
    params.axis = 0;
    params.uOffset = 0.1f;
    params.vTiling = 3;
    rec = coordinate(0.2f, 0.6f);
    EXPECT_NEAR(rec.uvw.x, 0.1f, 1e-6);
    EXPECT_NEAR(rec.uvw.y, (0.6f - 0.5f) * 3 + 0.5f, 1e-6);
}

TEST_F(Generator, FacesTurnedAwayHideTheMap) {
    params.showMapOnBack = 0;
    params.uTile = params.vTile = 0;
    auto &tris = internal::scene().triangles;
    tris[{ZO_TRI_TEXTURE, 0}] = {Vector3{0, 0, 0}, Vector3{1, 0, 0}, Vector3{0, 1, 0}};
    CoordinateRecord rec = coordinate(0.3f, 0.4f, 0.1f);
    EXPECT_FLOAT_EQ(rec.uvw.x, 0.3f);
    state.inv_normal = 1;  // seen from behind
    rec = coordinate(0.3f, 0.4f, 0.1f);
    EXPECT_FLOAT_EQ(rec.uvw.x, -0.2f);
    EXPECT_FLOAT_EQ(rec.uvw.y, -0.2f);
    EXPECT_FLOAT_EQ(rec.uvw.z, 0.1f);
    Color c = run(0.3f, 0.4f);
    EXPECT_EQ(c.a, 0.0f) << "outside every tile";
    params.showMapOnBack = 1;
    rec = coordinate(0.3f, 0.4f, 0.1f);
    EXPECT_FLOAT_EQ(rec.uvw.x, 0.3f);
}

TEST_F(Generator, EnvironmentProjections) {
    params.mappingKind = 1;
    params.environmentType = 1;
    state.dir = {0, -1, 0};
    CoordinateRecord rec = coordinate(0, 0);
    EXPECT_NEAR(rec.uvw.x, 0.5f, 1e-6);
    EXPECT_NEAR(rec.uvw.y, 0.5f, 1e-6);
    state.dir = {1, 0, 0};
    EXPECT_NEAR(coordinate(0, 0).uvw.x, 0.75f, 1e-6);
    state.dir = {0, 0, 1};
    EXPECT_NEAR(coordinate(0, 0).uvw.y, 1.0f, 1e-6);

    params.environmentType = 2;
    state.dir = {0, -0.6f, 0.8f};
    EXPECT_NEAR(coordinate(0, 0).uvw.y, 1 - (0.6f / 0.8f) * 0.25f, 1e-6);
    state.dir = {0, -1, 0};
    EXPECT_NEAR(coordinate(0, 0).uvw.y, 0.5f, 1e-6);

    params.environmentType = 3;
    state.dir = {0, 0, 1};  // the pole is the centre of the shrink-wrap
    rec = coordinate(0, 0);
    EXPECT_NEAR(rec.uvw.x, 0.5f, 1e-6);
    EXPECT_NEAR(rec.uvw.y, 0.5f, 1e-6);
    state.dir = {0, -1, 0};  // the horizon lies halfway out: r = 1/4
    rec = coordinate(0, 0);
    EXPECT_NEAR(rec.uvw.x, 0.5f + 0.25f * std::cos(0.0f), 1e-6);
    EXPECT_NEAR(rec.uvw.y, 0.5f, 1e-6);

    params.environmentType = 4;
    state.raster_x = 16;
    state.raster_y = 48;
    rec = coordinate(0, 0);
    EXPECT_FLOAT_EQ(rec.uvw.x, 0.25f);
    EXPECT_FLOAT_EQ(rec.uvw.y, 0.75f);
    EXPECT_FLOAT_EQ(rec.duvw.x, 1.0f / 64);

    params.environmentType = 9;  // unknown: the coordinate stays at zero (then pivots)
    rec = coordinate(0, 0);
    EXPECT_FLOAT_EQ(rec.uvw.x, 0.0f);
}

TEST_F(Generator, XYZTransformAndRows) {
    state.point = {1, 2, 3};
    xyz.offset = {1, 0, 0};
    xyz.tiling = {2, 2, 2};
    Color c;
    EXPECT_TRUE(kor_base_XYZGenerator(&c, &state, &xyz));
    EXPECT_FLOAT_EQ(c.r, 4);
    EXPECT_FLOAT_EQ(c.g, 4);
    EXPECT_FLOAT_EQ(c.b, 6);
    EXPECT_EQ(c.a, 1.0f);
    // turned a quarter about Z: (x, y) -> (y, -x), then scaled
    xyz.angle = {0, 0, 1.57079633f};
    EXPECT_TRUE(kor_base_XYZGenerator(&c, &state, &xyz));
    EXPECT_NEAR(c.r, 4, 1e-5);
    EXPECT_NEAR(c.g, -4, 1e-5);
    CoordQuery q{};
    q.magic = kCoordQueryXYZ;
    q.flags = kQueryRows;
    state.user = &q;
    state.user_size = sizeof q;
    EXPECT_TRUE(kor_base_XYZGenerator(&c, &state, &xyz));
    EXPECT_NEAR(q.slots[3], 0, 1e-6);  // row 0 = (cos, -sin, 0) normalised
    EXPECT_NEAR(q.slots[4], -1, 1e-6);
    EXPECT_NEAR(q.slots[6], 1, 1e-6);  // row 1 = (sin, cos, 0)
    // unknown systems use the zero vector
    xyz.coordinateSystem = 7;
    xyz.angle = {0, 0, 0};
    xyz.offset = {0, 0, 0};
    EXPECT_TRUE(kor_base_XYZGenerator(&c, &state, &xyz));
    EXPECT_EQ(c.r + c.g + c.b, 0.0f);
}

}  // namespace
