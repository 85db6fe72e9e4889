// Bump, normal-map, displacement and environment shaders against values
// worked out here: the bent normal from a sub-map's vector, the normal map
// decoded in tangent, object, camera and world space (with the test host's
// spaces turned against each other), displacement amounts, the
// environment's lookup, its sky-light path and its handshake with the
// exposure control; and samples that allocate nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "internal/internal.h"
#include "maps/kor_bump.h"
#include "output/kor_toneop.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_atmosphere.h"
#include "testhost/testhost_bump.h"

extern "C" {
zoBoolean kor_Bump(Color *, RenderState *, BumpParams *);
void kor_Bump_init(RenderState *, void *, zoBoolean *);
void kor_Bump_exit(RenderState *, void *);
zoBoolean kor_GNormal(Color *, RenderState *, GNormalParams *, const int *);
void kor_GNormal_init(RenderState *, void *, zoBoolean *);
void kor_GNormal_exit(RenderState *, void *);
zoBoolean kor_Displacement(float *, RenderState *, DisplacementParams *);
zoBoolean kor_Environment(Color *, RenderState *, EnvironmentParams *);
void kor_Environment_exit(RenderState *, void *);
}

namespace {

TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}
TestBumpHost &bump_host() {
    return *internal::host_object<TestBumpHost>("testhost_bump");
}
TestAtmosphere &atmosphere() {
    return *internal::host_object<TestAtmosphere>("testhost_atmosphere");
}

struct V {
    double x, y, z;
};
V operator+(V a, V b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
V operator-(V a, V b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
V operator*(V a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
V unit(V a) {
    const double l = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
    return l > 0 ? a * (1 / l) : a;
}

void expect_vec(const Vector3 &got, V want, double tol, const char *what) {
    EXPECT_NEAR(got.x, want.x, tol) << what;
    EXPECT_NEAR(got.y, want.y, tol) << what;
    EXPECT_NEAR(got.z, want.z, tol) << what;
}
void expect_color(const Color &c, const Color &e, double tol, const char *what) {
    EXPECT_NEAR(c.r, e.r, tol) << what;
    EXPECT_NEAR(c.g, e.g, tol) << what;
    EXPECT_NEAR(c.b, e.b, tol) << what;
    EXPECT_NEAR(c.a, e.a, tol) << what;
}

// Row-major rotation about `axis` (0 x, 1 y, 2 z) by `deg` degrees.
void rotation(float out[9], int axis, double deg) {
    const double c = std::cos(deg * M_PI / 180), s = std::sin(deg * M_PI / 180);
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    m[a][a] = c;
    m[a][b] = s;
    m[b][a] = -s;
    m[b][b] = c;
    for (int i = 0; i < 9; ++i) out[i] = static_cast<float>(m[i / 3][i % 3]);
}
// v * transpose(R): out of a turned space
V from_space(const float r[9], V v) {
    return {v.x * r[0] + v.y * r[1] + v.z * r[2], v.x * r[3] + v.y * r[4] + v.z * r[5],
            v.x * r[6] + v.y * r[7] + v.z * r[8]};
}

// A map that answers a fixed colour (or vector), notes the mode record and
// the state it saw.
struct FakeMap {
    Color colour{0, 0, 0, 1};
    zoBoolean ok = 1;
    std::vector<int> kinds, seconds;
    std::vector<Vector3> normals, geom_normals;
    std::vector<int> ray_types;
};

zoBoolean fake_map(void *result, RenderState *state, void *params, void *arg) {
    auto *m = static_cast<FakeMap *>(params);
    const int *words = static_cast<const int *>(arg);
    m->kinds.push_back(words ? words[0] : -1);
    m->seconds.push_back(words ? words[1] : -1);
    m->normals.push_back(state->normal);
    m->geom_normals.push_back(state->normal_geom);
    m->ray_types.push_back(state->type);
    if (!m->ok) return 0;
    *static_cast<Color *>(result) = m->colour;
    return 1;
}

constexpr Tag kMap = 70, kBumpMap = 71, kInner = 72;

class BumpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        functions().reset();
        bump_host().reset();
        atmosphere().reset();
        internal::host().thread_pointers = true;
        internal::host().user_slot = &slot;
        internal::host().argument_words = 2;
        record.tag = 91;
        state.shader = &record;
        state.options = &options;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        state.dot_nd = -1;
        state.bary[0] = state.bary[1] = state.bary[2] = 1.0f / 3;
        functions().functions[kMap] = {fake_map, &map};
        functions().functions[kBumpMap] = {fake_map, &bumpMap};
    }
    void TearDown() override {
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "blocks released";
        bump_host().reset();  // the spaces coincide again for other tests
    }

    void *slot = nullptr;
    zoShaderRecord record{};
    zoOptions options{};
    RenderState state{};
    FakeMap map, bumpMap;
};

// ---------------------------------------------------------------------------
// kor_Bump

using Bump = BumpTest;

TEST_F(Bump, BendsTheNormalByTheMapsVector) {
    BumpParams p{0.5f, kMap};
    zoBoolean more = 0;
    kor_Bump_init(&state, nullptr, &more);
    EXPECT_TRUE(more);
    kor_Bump_init(&state, &p, nullptr);
    ASSERT_NE(slot, nullptr);

    map.colour = {0.3f, -0.2f, 0.1f, 0};
    EXPECT_TRUE(kor_Bump(nullptr, &state, &p));
    const V want = unit(V{0, 0, 1} + V{0.3, -0.2, 0.1} * 0.5);
    expect_vec(state.normal, want, 1e-6, "N + a g, normalised");
    EXPECT_NEAR(state.dot_nd, -want.z, 1e-6) << "N.D follows the normal";
    ASSERT_EQ(map.kinds.size(), 1u);
    EXPECT_EQ(map.kinds[0], 2) << "bump mode";
    EXPECT_EQ(map.seconds[0], 0);
    ASSERT_FALSE(internal::host().arguments.empty());
    EXPECT_EQ(internal::host().arguments.back().type, ZO_SHADER_MAP);

    // amount 0: the direction stays, the length becomes 1
    p.bumpAmount = 0;
    state.normal = {0, 0, 2};
    kor_Bump(nullptr, &state, &p);
    expect_vec(state.normal, V{0, 0, 1}, 0, "renormalised");

    // a failed call leaves the normal as it is
    map.ok = 0;
    p.bumpAmount = 1;
    state.normal = {0, 3, 0};
    kor_Bump(nullptr, &state, &p);
    expect_vec(state.normal, V{0, 3, 0}, 0, "unchanged");

    // a zero-length sum stays unnormalised
    map.ok = 1;
    map.colour = {0, 0, -1, 0};
    state.normal = {0, 0, 1};
    kor_Bump(nullptr, &state, &p);
    expect_vec(state.normal, V{0, 0, 0}, 0, "zero");

    kor_Bump_exit(&state, &p);
    EXPECT_EQ(slot, nullptr);
}

// ---------------------------------------------------------------------------
// kor_GNormal

class GNormal : public BumpTest {
  protected:
    void SetUp() override {
        BumpTest::SetUp();
        p.normalAmount = 1;
        p.bumpAmount = 1;
        p.normalMap = kMap;
        p.normalMapOn = 1;
        p.bumpMap = kBumpMap;
        p.bumpMapOn = 0;
    }
    void init() {
        zoBoolean more = 0;
        kor_GNormal_init(&state, nullptr, &more);
        EXPECT_TRUE(more);
        kor_GNormal_init(&state, &p, nullptr);
        initialised = true;
    }
    void TearDown() override {
        if (initialised) kor_GNormal_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        BumpTest::TearDown();
    }
    Color run(int mode) {
        Color c{9, 9, 9, 9};
        EXPECT_TRUE(kor_GNormal(&c, &state, &p, &mode));
        return c;
    }
    Vector3 perturbation() {
        const Color c = run(2);
        return {c.r, c.g, c.b};
    }
    GNormalParams p{};
    bool initialised = false;
};

TEST_F(GNormal, ColourAndMonoWithFlipsAndSwap) {
    p.flipRed = 1;
    p.flipGreen = 1;
    p.swapRedGreen = 1;
    init();
    map.colour = {0.2f, 0.7f, 0.4f, 0.3f};
    // flips: (0.8, 0.3); swap: (0.3, 0.8)
    expect_color(run(0), Color{0.3f, 0.8f, 0.4f, 1}, 1e-6, "colour");
    const float mean = (0.3f + 0.8f + 0.4f) / 3;
    expect_color(run(1), Color{mean, mean, mean, 1}, 1e-6, "mono");
    EXPECT_EQ(map.kinds.back(), 0) << "the normal map is read in colour mode";
    // a failed read is black before the flips and the swap
    map.ok = 0;
    expect_color(run(0), Color{1.0f, 1.0f, 0.0f, 1}, 0, "failed read");
}

TEST_F(GNormal, EachSpace) {
    bump_host().turn_spaces = true;
    rotation(bump_host().object, 2, 90);
    rotation(bump_host().camera, 0, 90);
    rotation(bump_host().world, 1, 30);
    const float *spaces[4] = {nullptr, bump_host().object, bump_host().camera, bump_host().world};
    state.normal = {0, 0.6f, 0.8f};
    const V N = {0, 0.6, 0.8};
    map.colour = {0.75f, 0.5f, 0.933f, 1};
    const V n = {0.5, 0.0, 2 * (0.933 - 0.5)};
    for (int method = 1; method <= 3; ++method) {
        p.method = method;
        init();
        const V want = from_space(spaces[method], n) - N;
        expect_vec(perturbation(), want, 1e-5,
                   method == 1   ? "object"
                   : method == 2 ? "camera"
                                 : "world");
        kor_GNormal_exit(&state, &p);
        initialised = false;
    }
}

TEST_F(GNormal, TangentSpace) {
    bump_host().turn_spaces = true;
    rotation(bump_host().object, 2, 40);
    // tangents vary over the triangle; blended they give T = (2, 0, 0), B = (0, 0.5, 0.5)
    internal::scene().triangles[{ZO_TRI_TANGENTS, 0}] = {Vector3{1, 0, 0}, Vector3{2, 0, 0},
                                                         Vector3{3, 0, 0}};
    internal::scene().triangles[{ZO_TRI_TANGENTS, 1}] = {Vector3{0, 1.5f, 0}, Vector3{0, 0, 0},
                                                         Vector3{0, 0, 1.5f}};
    p.method = kNormalTangent;
    init();
    state.normal = {0, 0, 1};
    map.colour = {0.8f, 0.3f, 0.9f, 1};
    const V n = {0.6, -0.4, 0.8};
    const V T = {1, 0, 0}, B = unit(V{0, 0.5, 0.5}), N = {0, 0, 1};
    const V want = T * n.x + B * -n.y + N * n.z - N;  // |n| = 1.08: not normalised
    expect_vec(perturbation(), want, 1e-5, "n.x T - n.y B + n.z N");

    // the flat colour gives back the normal: no perturbation
    map.colour = {0.5f, 0.5f, 1.0f, 1};
    expect_vec(perturbation(), V{0, 0, 0}, 1e-6, "(0.5, 0.5, 1)");

    // on the inside the normal is turned round first
    map.colour = {0.8f, 0.3f, 0.9f, 1};
    state.inv_normal = 1;
    state.normal = {0, 0, -1};
    expect_vec(perturbation(), want, 1e-5, "inside");
}

// ---------------------------------------------------------------------------
// Displacement

using Displacement = BumpTest;

TEST_F(Displacement, AddsTheMapsMeanAlongTheNormal) {
    DisplacementParams p{kMap, 2.0f, 0, 0};
    map.colour = {0.3f, 0.6f, 0.9f, 0};
    state.normal = {0, 1, 0};
    float d = 0.25f;
    EXPECT_TRUE(kor_Displacement(&d, &state, &p));
    EXPECT_NEAR(d, 0.25 + 0.6 * 2.0, 1e-6);
    expect_vec(state.dir, V{0, -1, 0}, 0, "direction -N");
    ASSERT_EQ(internal::host().arguments.size(), 1u);
    EXPECT_EQ(internal::host().arguments[0].type, ZO_SHADER_DISPLACE);

    // amount 0: the map is not run
    p.amount = 0;
    d = 0;
    kor_Displacement(&d, &state, &p);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(map.kinds.size(), 1u);
}

// ---------------------------------------------------------------------------
// kor_Environment

// The environment's record with room for its sky lights.
struct EnvRecord {
    EnvironmentParams p;
    Tag lights[4];
};

// A sky light: notes what it saw and answers a colour by its light.
struct SkySeen {
    Tag light;
    bool key0;
    Vector3 parent_dir;
};
std::vector<SkySeen> sky_seen;

class Environment : public BumpTest {
  protected:
    void SetUp() override {
        BumpTest::SetUp();
        std::memset(&env, 0, sizeof env);
        env.p.map = kMap;
        env.p.useMapAlpha = 1;
        env.p.alpha = 1;
        env.p.skyLights.start =
            static_cast<int32_t>((reinterpret_cast<char *>(env.lights) -
                                  reinterpret_cast<char *>(env.p.skyLights.storage)) /
                                 sizeof(Tag));
        state.dir = {0.6f, 0.8f, 0};
        state.normal = state.normal_geom = {0, 0, 0};
        sky_seen.clear();
    }
    void TearDown() override {
        kor_Environment_exit(&state, &env);
        BumpTest::TearDown();
    }
    Color run(zoBoolean expect = 1) {
        Color c{9, 9, 9, 9};
        EXPECT_EQ(kor_Environment(&c, &state, &env.p), expect);
        return c;
    }
    EnvRecord env;
};

TEST_F(Environment, LooksTheMapUpAlongTheRay) {
    map.colour = {0.2f, 0.3f, 0.4f, 0.6f};
    expect_color(run(), map.colour, 0, "the map's colour");
    ASSERT_EQ(map.kinds.size(), 1u);
    EXPECT_EQ(map.kinds[0], 0);
    EXPECT_EQ(map.seconds[0], 2) << "mode record {0, 2, 0}";
    EXPECT_EQ(internal::host().arguments.back().type, ZO_SHADER_MAP);
    expect_vec(map.normals[0], V{-0.6, -0.8, 0}, 1e-7, "normal -D");
    expect_vec(map.geom_normals[0], V{-0.6, -0.8, 0}, 1e-7, "geometric normal -D");
    // the eye ray marks the background in frame buffer 2
    ASSERT_EQ(functions().fb_puts.size(), 1u);
    EXPECT_EQ(functions().fb_puts[0].buffer, 2);
    EXPECT_EQ(functions().fb_puts[0].word, 65535);

    // the alpha option
    env.p.useMapAlpha = 0;
    env.p.alpha = 0.25f;
    state.type = ZO_RAY_REFLECT;
    expect_color(run(), Color{0.2f, 0.3f, 0.4f, 0.25f}, 0, "alpha from the parameters");
    EXPECT_EQ(functions().fb_puts.size(), 1u) << "only eye rays write the buffer";

    // a failed map: black with alpha 1
    env.p.useMapAlpha = 1;
    map.ok = 0;
    expect_color(run(), Color{0, 0, 0, 1}, 0, "failed");
    env.p.map = 0;
    expect_color(run(), Color{0, 0, 0, 1}, 0, "no map");
}

// An environment map that asks the environment again.
struct Reentry {
    EnvironmentParams *p;
    zoBoolean inner = -1;
};

}  // namespace
