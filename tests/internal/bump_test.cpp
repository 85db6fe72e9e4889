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
zoBoolean kor_HeightMapDisplacement(float *, RenderState *, HeightMapDisplacementParams *);
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

// A chain of real shaders: kor_Bump over kor_GNormal over a normal map.
zoBoolean real_gnormal(void *result, RenderState *state, void *params, void *arg) {
    return kor_GNormal(static_cast<Color *>(result), state, static_cast<GNormalParams *>(params),
                       static_cast<const int *>(arg));
}

TEST_F(Bump, ThroughTheNormalMap) {
    GNormalParams g{};
    g.normalAmount = 1;
    g.bumpAmount = 1;
    g.normalMap = kMap;
    g.normalMapOn = 1;
    g.method = kNormalWorld;
    functions().functions[kInner] = {real_gnormal, &g};
    // n = (0.6, 0, 0.8) in world space
    map.colour = {0.8f, 0.5f, 0.9f, 1};
    BumpParams p{1.0f, kInner};
    kor_Bump(nullptr, &state, &p);
    // N + (n - N) = n
    expect_vec(state.normal, V{0.6, 0, 0.8}, 1e-6, "the map's normal");
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

TEST_F(GNormal, ParametersAreTakenAtInit) {
    p.normalMapOn = 0;  // folded in: no normal map
    init();
    p.normalMapOn = 1;  // too late
    map.colour = {0.5f, 0.5f, 0.5f, 1};
    expect_color(run(0), Color{0, 0, 0, 1}, 0, "no map");
    EXPECT_TRUE(map.kinds.empty());
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

TEST_F(GNormal, AmountsAndTheBumpMap) {
    p.method = kNormalLocal;
    p.normalAmount = 0.5f;
    p.bumpAmount = 0.25f;
    p.bumpMapOn = 1;
    init();
    map.colour = {1.0f, 0.5f, 0.5f, 1};  // n = (1, 0, 0)
    bumpMap.colour = {0.4f, 0.8f, -0.4f, 0};
    const V N = {0, 0, 1};
    const V b = {0.4, 0.8, -0.4};
    // normalAmount is not 1: the normal part is scaled by bumpAmount
    const V want = (V{1, 0, 0} - N) * 0.25 + b * 0.25;
    expect_vec(perturbation(), want, 1e-6, "both parts");
    EXPECT_EQ(bumpMap.kinds.back(), 2) << "bump map in bump mode";
    kor_GNormal_exit(&state, &p);

    // normalAmount 1: the normal part as it is
    p.normalAmount = 1;
    init();
    expect_vec(perturbation(), (V{1, 0, 0} - N) + b * 0.25, 1e-6, "normal part unscaled");
    kor_GNormal_exit(&state, &p);

    // no normal map: the bump map's vector times the amount; then nothing
    p.normalMapOn = 0;
    init();
    expect_vec(perturbation(), b * 0.25, 1e-6, "bump map alone");
    kor_GNormal_exit(&state, &p);
    p.bumpMapOn = 0;
    init();
    expect_vec(perturbation(), V{0, 0, 0}, 0, "no maps");
}

TEST_F(GNormal, GBufferIdOnEyeRays) {
    p.gbufferId = 7;
    init();
    run(0);
    state.type = ZO_RAY_REFLECT;
    run(0);
    ASSERT_EQ(functions().fb_puts.size(), 1u);
    EXPECT_EQ(functions().fb_puts[0].buffer, 0);
    EXPECT_EQ(functions().fb_puts[0].word, 7);
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

TEST_F(Displacement, RelativeToTheObjectSize) {
    ObjectData object{};
    object.boxMin = {1, 1, 1};
    object.boxMax = {4, 5, 1};  // diagonal 5
    internal::scene().object_data = 300;
    internal::host().data_blocks[300] = &object;
    DisplacementParams p{kMap, 2.0f, 1, 0};
    map.colour = {0.5f, 0.5f, 0.5f, 0};
    float d = 0;
    kor_Displacement(&d, &state, &p);
    EXPECT_NEAR(d, 0.5 * 2.0 * 5 / 10, 1e-6);
}

TEST_F(Displacement, BumpMapBendsTheNormal) {
    DisplacementParams p{0, 0.5f, 0, kBumpMap};
    bumpMap.colour = {1, 0, 0, 0};
    float d = 0;
    kor_Displacement(&d, &state, &p);
    expect_vec(state.normal, unit(V{0.5, 0, 1}), 1e-6, "N + amount v");
    EXPECT_EQ(bumpMap.kinds.back(), 2);
    // a negative amount leaves it
    p.amount = -0.5f;
    state.normal = {0, 0, 1};
    kor_Displacement(&d, &state, &p);
    expect_vec(state.normal, V{0, 0, 1}, 0, "unchanged");
}

TEST_F(Displacement, HeightMap) {
    HeightMapDisplacementParams p{kMap, -1.0f, 1.0f, 1};
    map.colour = {0.5f, 0.9f, 0.9f, 0};
    float d = 0;
    EXPECT_TRUE(kor_HeightMapDisplacement(&d, &state, &p));
    EXPECT_NEAR(d, 0.0, 1e-7) << "h = 0.5 between -1 and 1";
    expect_vec(state.dir, V{0, 0, -1}, 0, "direction -N");
    EXPECT_EQ(internal::host().arguments.back().type, ZO_SHADER_DISPLACE);
    map.colour.r = 0.75f;
    d = 1;
    kor_HeightMapDisplacement(&d, &state, &p);
    EXPECT_NEAR(d, 1.5, 1e-6);

    // object units: an instance scaled by 4 along the normal
    zoInstanceRecord inst{};
    for (int i = 0; i < 16; ++i) inst.from_world[i] = inst.to_world[i] = i % 5 == 0 ? 1.0f : 0.0f;
    inst.to_world[10] = 4;
    inst.from_world[10] = 0.25f;
    internal::scene().instances[500] = inst;
    state.instance = 500;
    p.worldUnits = 0;
    d = 0;
    kor_HeightMapDisplacement(&d, &state, &p);
    EXPECT_NEAR(d, 0.5 * 4, 1e-6) << "one object unit is 4 world units";
    EXPECT_EQ(internal::scene().pins, internal::scene().unpins);
    // no map: the low height
    p.map = 0;
    d = 0;
    kor_HeightMapDisplacement(&d, &state, &p);
    EXPECT_NEAR(d, -4, 1e-6);
}

// ---------------------------------------------------------------------------
// kor_Environment

// The environment's record with room for its sky lights.
struct EnvRecord {
    EnvironmentParams p;
    Tag lights[4];
};

void tone_double(Color *c, RenderState *, void *context) {
    ++*static_cast<int *>(context);
    c->r *= 2;
    c->g *= 2;
    c->b *= 2;
}

// A sky light: notes what it saw and answers a colour by its light.
struct SkySeen {
    Tag light;
    bool key0;
    Vector3 parent_dir;
};
std::vector<SkySeen> sky_seen;
zoBoolean sky_light(void *result, RenderState *state, void *params, void *) {
    sky_seen.push_back({state->light_instance,
                        zo_shaderstate_get(state, "KEY_0", nullptr) != nullptr,
                        state->parent ? state->parent->dir : Vector3{0, 0, 0}});
    *static_cast<Color *>(result) = *static_cast<Color *>(params);
    return 1;
}

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

TEST_F(Environment, ToneMapsWhenTheExposureControlLeavesTheBackground) {
    int calls = 0;
    ToneOperatorRecord tone{0, tone_double, nullptr, &calls};
    zo_shaderstate_set(&state, KOR_KEY_TONE_OPERATOR, &tone, sizeof tone, 2);
    map.colour = {0.1f, 0.2f, 0.3f, 1};
    expect_color(run(), Color{0.2f, 0.4f, 0.6f, 1}, 1e-7, "mapped");
    EXPECT_EQ(calls, 1);

    const int32_t hdr = 1;
    zo_shaderstate_set(&state, KOR_KEY_SKY_IS_HDR, &hdr, sizeof hdr, 2);
    expect_color(run(), map.colour, 0, "HDR sky: left to the lens");
    const int32_t ldr = 0;
    zo_shaderstate_set(&state, KOR_KEY_SKY_IS_HDR, &ldr, sizeof ldr, 2);
    expect_color(run(), Color{0.2f, 0.4f, 0.6f, 1}, 1e-7, "SKY_IS_HDR 0");

    tone.processBackground = 1;
    zo_shaderstate_set(&state, KOR_KEY_TONE_OPERATOR, &tone, sizeof tone, 2);
    expect_color(run(), map.colour, 0, "the lens maps the background itself");
    tone.processBackground = 0;
    tone.forward = nullptr;
    zo_shaderstate_set(&state, KOR_KEY_TONE_OPERATOR, &tone, sizeof tone, 2);
    expect_color(run(), map.colour, 0, "no callback");
    EXPECT_EQ(calls, 2);
}

TEST_F(Environment, SkyLightsWhileTheHostGathersSkyLight) {
    static Color first = {0.1f, 0.2f, 0.3f, 1}, second = {0.5f, 0.25f, 0.125f, 0.5f};
    functions().functions[801] = {sky_light, &first};
    functions().functions[802] = {sky_light, &second};
    atmosphere().light_shaders[11] = 801;
    atmosphere().light_shaders[12] = 802;
    env.lights[0] = 11;
    env.lights[1] = 12;
    env.lights[2] = 13;  // without a shader: left out
    env.p.skyLights.count = 3;
    bump_host().answer_bump_state = true;
    bump_host().bump_state = 1;

    expect_color(run(), Color{0.6f, 0.45f, 0.425f, 1.5f}, 1e-6, "sum of the sky lights");
    ASSERT_EQ(sky_seen.size(), 2u);
    EXPECT_EQ(sky_seen[0].light, 11u);
    EXPECT_EQ(sky_seen[1].light, 12u);
    EXPECT_TRUE(sky_seen[0].key0 && sky_seen[1].key0) << "KEY_0 set around the calls";
    expect_vec(sky_seen[0].parent_dir, V{0.6, 0.8, 0}, 1e-7, "the direction through the parent");
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_0", nullptr), nullptr) << "removed";
    EXPECT_TRUE(map.kinds.empty());
    EXPECT_EQ(internal::host().arguments[0].type, ZO_SHADER_LIGHT);
    EXPECT_TRUE(functions().fb_puts.empty());

    // with KEY_0 already there: the ordinary lookup
    const int32_t mark = 1;
    zo_shaderstate_set(&state, "KEY_0", &mark, sizeof mark, 2);
    map.colour = {0.7f, 0.7f, 0.7f, 1};
    expect_color(run(), map.colour, 0, "lookup");
    zo_shaderstate_set(&state, "KEY_0", nullptr, 0, 2);

    // no sky lights: the map as an environment shader; a bump ray also asks
    bump_host().bump_state = 0;
    state.type = ZO_RAY_BUMP;
    env.p.skyLights.count = 0;
    internal::host().arguments.clear();
    expect_color(run(), map.colour, 0, "map as environment shader");
    ASSERT_EQ(internal::host().arguments.size(), 1u);
    EXPECT_EQ(internal::host().arguments[0].type, ZO_SHADER_ENVIRONMENT);
    map.ok = 0;
    expect_color(run(), Color{0, 0, 0, 0}, 0, "a failed map is black");

    // neither: the lookup path
    state.type = ZO_RAY_REFLECT;
    map.ok = 1;
    internal::host().arguments.clear();
    run();
    EXPECT_EQ(internal::host().arguments[0].type, ZO_SHADER_MAP);
}

// An environment map that asks the environment again.
struct Reentry {
    EnvironmentParams *p;
    zoBoolean inner = -1;
};
zoBoolean reentering_map(void *result, RenderState *state, void *params, void *) {
    auto *r = static_cast<Reentry *>(params);
    Color c;
    r->inner = kor_Environment(&c, state, r->p);
    *static_cast<Color *>(result) = Color{0.3f, 0.3f, 0.3f, 1};
    return 1;
}

TEST_F(Environment, ReentryReturnsFalse) {
    Reentry r{&env.p};
    functions().functions[kMap] = {reentering_map, &r};
    expect_color(run(), Color{0.3f, 0.3f, 0.3f, 1}, 0, "outer call");
    EXPECT_EQ(r.inner, 0);
    r.inner = -1;
    run();
    EXPECT_EQ(r.inner, 0) << "the guard is cleared after each call";
}

TEST(BumpSamples, AllocateNothing) {
    internal::reset();
    functions().reset();
    bump_host().reset();
    internal::host().thread_pointers = true;
    void *slot = nullptr;
    internal::host().user_slot = &slot;
    zoShaderRecord record{};
    record.tag = 93;
    zoOptions options{};
    RenderState state{};
    state.shader = &record;
    state.options = &options;
    FakeMap map;
    map.colour = {0.6f, 0.5f, 0.9f, 1};
    functions().functions[kMap] = {fake_map, &map};

    GNormalParams g{};
    g.normalAmount = g.bumpAmount = 1;
    g.normalMap = kMap;
    g.normalMapOn = 1;
    kor_GNormal_init(&state, &g, nullptr);
    EnvRecord env{};
    env.p.map = kMap;
    env.p.useMapAlpha = 1;
    BumpParams b{1, kMap};
    DisplacementParams d{kMap, 1, 0, kMap};
    HeightMapDisplacementParams h{kMap, 0, 1, 1};
    Color c;
    float disp = 0;
    const int bump = 2;
    kor_Environment(&c, &state, &env.p);  // the thread's guard
    const long before = internal::host().allocations;
    for (int i = 0; i < 50; ++i) {
        state.normal = {0, 0, 1};
        state.dir = {0, 0.6f, -0.8f};
        kor_GNormal(&c, &state, &g, &bump);
        kor_Bump(nullptr, &state, &b);
        kor_Displacement(&disp, &state, &d);
        kor_HeightMapDisplacement(&disp, &state, &h);
        kor_Environment(&c, &state, &env.p);
    }
    EXPECT_EQ(internal::host().allocations, before);
    kor_GNormal_exit(&state, &g);
    kor_Environment_exit(&state, &env);
    EXPECT_EQ(internal::host().allocations, internal::host().releases);
}

}  // namespace
