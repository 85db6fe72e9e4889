// Paths no small render reaches: noise far from the origin, the neutral
// answers of unknown shading-context modes, displacement rays at the
// camera map, a back face of the architectural material under a
// transparency probe, the mirrored box of the UV generator's filter and the
// raytrace material's curve falloff.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "internal/internal.h"
#include "kor_arch.h"
#include "kor_context.h"
#include "kor_statekeys.h"
#include "kor_stduv.h"
#include "kor_support.h"
#include "testhost/testhost_illum.h"

extern "C" {
zoBoolean kor_ArchitecturalMaterial(Color *, RenderState *, ArchitecturalParams *);
zoBoolean kor_CameraMap(Color *, RenderState *, void *, const int *);
zoBoolean kor_base_UVGenerator(void *, RenderState *, UVGeneratorParams *, UVLookupRequest *);
void kor_base_UVGenerator_exit(RenderState *, void *);
}

namespace kor {
float raytraceMaterialFalloff(int type, float d, float start, float end, float exponent,
                              const float curve[4]);
}

namespace {

class Fidelity : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        state.options = &options;
        state.camera = &camera;
        state.shader = &record;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        camera.x_resolution = camera.y_resolution = 64;
        camera.focal = camera.aperture = 1;
    }
    zoOptions options{};
    zoCamera camera{};
    zoShaderRecord record{};
    RenderState state{};
};

// Noise is zero at every lattice point, however far out: the cell index
// wraps in double before it becomes an integer.
TEST_F(Fidelity, NoiseFarFromTheOriginStaysOnTheLattice) {
    kor::noiseInit(nullptr);
    for (float x : {3e9f, -3e9f, 2.5e10f, 1e20f, -1e30f}) {
        EXPECT_EQ(kor::noise1(x), 0.0f) << x;
        EXPECT_EQ(kor::noise2(x, -x), 0.0f) << x;
        EXPECT_EQ(kor::noise3(Vector3{x, 7.0f, -x}), 0.0f) << x;
    }
    // the lattice repeats every 512 cells: 4194304.5 = 0.5 + 512 x 8192
    EXPECT_EQ(kor::noise1(4194304.5f), kor::noise1(0.5f));
    EXPECT_EQ(kor::noise1(INFINITY), 0.0f) << "not finite: the lattice origin";
}

// A mode other than 0, 1 and 2 gives every operation its neutral answer.
TEST_F(Fidelity, UnknownContextModesAnswerNeutrally) {
    const ShadingContext ctx{0, 0, 2.0f, -2.0f};
    EXPECT_EQ(kor::pixelSize(&state, &ctx, kContextSurface), 0.5f) << "1 / pixelScaleX";
    EXPECT_EQ(kor::pixelSize(&state, &ctx, 7), 0.0f);
    Vector3 n{9, 9, 9};
    kor::interpolatedNormal(&state, &ctx, kContextSurface, false, &n);
    EXPECT_EQ(n.z, 1.0f) << "no vertex normals: the state's";
    kor::interpolatedNormal(&state, &ctx, -1, false, &n);
    EXPECT_EQ(n.x * n.x + n.y * n.y + n.z * n.z, 0.0f);
}

// Displacement rays (kind 16) get no answer from the camera map.
TEST_F(Fidelity, CameraMapRefusesDisplacementRays) {
    alignas(8) unsigned char params[512] = {};
    Color c{9, 9, 9, 9};
    state.type = ZO_RAY_DISPLACE;
    EXPECT_FALSE(kor_CameraMap(&c, &state, params, nullptr));
    state.type = ZO_RAY_EYE;
    EXPECT_TRUE(kor_CameraMap(&c, &state, params, nullptr)) << "no map: transparent black";
    EXPECT_EQ(c.a, 0.0f);
}

// A back face of the architectural material is hidden the way the other
// materials hide it: under a transparency probe it is transparent black,
// and the ray does not go on.
TEST_F(Fidelity, ArchitecturalBackFaceHidesUnderATransparencyProbe) {
    TestIllumHost &illum = *internal::host_object<TestIllumHost>("testhost_illum");
    illum.reset();
    ArchitecturalParams m{};
    m.cutout = 1;
    m.ior = 1.5f;
    state.inv_normal = 1;
    const TransparencyProbe probe{0, {0, 0, 0, 0}};
    kor::markStateKeyStored(kor::kOwnKeyTransparencyProbe);  // as the probing call does
    zo_shaderstate_set(&state, "KEY_3", &probe, sizeof probe, ZO_SHADERSTATE_RAY_TREE);
    Color c{9, 9, 9, 9};
    EXPECT_TRUE(kor_ArchitecturalMaterial(&c, &state, &m));
    EXPECT_EQ(c.r + c.g + c.b + c.a, 0.0f);
    EXPECT_EQ(illum.continue_traces, 0);
}

// Filtered reads of a mirrored axis: the footprint is doubled before the
// box is split at the tile's edge (widths 0.2 -> 0.4 around u = 0.9: pieces
// [0.7, 1] and [1, 1.1], folded to 0.3 and 0.1, weighted 0.75 and 0.25).
std::vector<std::pair<float, float>> reads;  // u and du of each filtered read

Color *filteredRead(Color *out, RenderState *, UVLookupRequest *, float u, float, float du, float) {
    reads.push_back({u, du});
    *out = {u, 0, 0, 1};
    return out;
}

TEST_F(Fidelity, MirroredFilterBoxIsDoubledBeforeItIsSplit) {
    internal::host().thread_pointers = true;
    internal::scene().textures = 1;
    Vector3 tex{0.9f, 0.5f, 0};
    state.tex_list = &tex;
    state.tex_count = 1;
    UVGeneratorParams p;
    p.uTile = 0;
    p.uMirror = 1;
    p.blur = 0;
    p.blurOffset = 0.2f;  // the footprint is the blur offset alone
    UVLookupRequest request{};
    request.magic = kUVLookupMagic;
    request.filteredLookup = filteredRead;
    request.filtered = 1;
    reads.clear();
    Color c{};
    EXPECT_TRUE(kor_base_UVGenerator(&c, &state, &p, &request));
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_NEAR(reads[0].first, 0.3f, 1e-5);   // m(0.85)
    EXPECT_NEAR(reads[0].second, 0.3f, 1e-5);  // 1 - 0.7
    EXPECT_NEAR(reads[1].first, 0.1f, 1e-5);   // m(0.05)
    EXPECT_NEAR(reads[1].second, 0.1f, 1e-5);
    EXPECT_NEAR(c.r, 0.75f * 0.3f + 0.25f * 0.1f, 1e-5);
    kor_base_UVGenerator_exit(&state, &p);
}

// The curve falloff runs from c0 at the falloff start to c3 at its end, as
// the other falloff types run from the traced colour to the target:
// w(u) = (1-u)^3 c0 + 3u(1-u)^2 c1 + 3u^2(1-u) c2 + u^3 c3, u = (d - 2) / 4.
TEST_F(Fidelity, CurveFalloffRunsFromTheFirstControlValue) {
    const float curve[4] = {1.0f, 0.5f, 0.25f, 0.0f};
    const struct {
        float d, w;
    } cases[] = {{2, 1}, {1, 1}, {4, 0.125f + 0.1875f + 0.09375f}, {6, 0}, {9, 0}};
    for (const auto &c : cases)
        EXPECT_NEAR(kor::raytraceMaterialFalloff(4, c.d, 2, 6, 1, curve), c.w, 1e-6) << c.d;
}

}  // namespace
