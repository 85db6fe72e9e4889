// The physics shaders: the medium bookkeeping of nested refractive objects,
// the dielectric's Fresnel split, Beer absorption, depth split, warnings
// and highlights; the DGS material's direct light on both sides, traced
// layers and photon scattering; the participating medium on light and eye
// rays, its height bound, phase functions, cloud table and photon twin.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "internal/internal.h"
#include "kor_rendelem.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_physics.h"
#include "testhost/testhost_reflect.h"
#include "testhost/testhost_rtmtl.h"
#include "zo_physics.h"

namespace {

template <typename T>
struct Array {
    int32_t start, count;
    T first;
};

struct DgsRecord {
    Color diffuse, glossy, specular;
    float shiny, shinyU, shinyV, transparency, ior;
    Array<Tag> lights;
    Tag lightStore[4];
};

struct DielectricRecord {
    Color insideColor;
    float ior;
    Color outsideColor;
    float iorOut;
    float lengthUnit;
    zoBoolean ignoreNormals;
    float opaqueAlpha;
    float phongExponent;
    Array<Tag> lights;
    Tag lightStore[4];
};
static_assert(offsetof(DielectricRecord, lights) == 56, "dielectric record");

struct VolumeRecord {
    int32_t mode;
    Color scatter;
    float extinction, phaseBlend, phaseG1, phaseG2, nonuniform, height, minStep, stepLength,
        lightDistance;
    int32_t photonMinLevel;
    zoBoolean directOnly;
    Array<Tag> lights;
    Tag lightStore[4];
};
static_assert(offsetof(VolumeRecord, lights) == 64, "volume record");

}  // namespace

extern "C" {
zoBoolean kor2_dgs_material(Color *, RenderState *, DgsRecord *);
zoBoolean kor2_dielectric_material(Color *, RenderState *, DielectricRecord *);
void kor2_dielectric_material_init(RenderState *, void *, zoBoolean *);
void kor2_dielectric_material_exit(RenderState *, void *);
zoBoolean kor2_parti_volume(Color *, RenderState *, VolumeRecord *);
void kor2_parti_volume_exit(RenderState *, void *);
}

namespace {

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestReflectHost &reflect() {
    return *internal::host_object<TestReflectHost>("testhost_reflect");
}
TestRtmtlHost &rt() {
    return *internal::host_object<TestRtmtlHost>("testhost_rtmtl");
}
TestPhysicsHost &ph() {
    return *internal::host_object<TestPhysicsHost>("testhost_physics");
}

constexpr Tag kLight = 500, kLight2 = 501, kGlass = 60, kWater = 61;
constexpr float kTol = 1e-5f;

template <typename T>
void setLights(T &record, std::initializer_list<Tag> lights) {
    record.lights.start =
        static_cast<int32_t>((reinterpret_cast<const char *>(record.lightStore) -
                              reinterpret_cast<const char *>(&record.lights.first)) /
                             sizeof(Tag));
    record.lights.count = static_cast<int32_t>(lights.size());
    int k = 0;
    for (Tag t : lights) record.lightStore[k++] = t;
}

TestLightSample sample(Color c, Vector3 dir, float dotNL) {
    TestLightSample s;
    s.color = c;
    s.dir = dir;
    s.dot_nl = dotNL;
    return s;
}

bool hasMessage(const std::string &text) {
    for (const auto &m : internal::host().messages)
        if (m == text) return true;
    return false;
}

class Physics : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        reflect().reset();
        rt().reset();
        ph().reset();
        internal::host().thread_pointers = true;
        internal::host().user_slot = &slot;
        record.tag = 91;
        state.shader = &record;
        state.options = &options;
        state.camera = &camera;
        state.material = kGlass;
        state.type = ZO_RAY_EYE;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        state.dot_nd = -1.0f;
        state.volume = 33;
        camera.volume = 34;
        options.trace_depth = options.reflection_depth = options.refraction_depth = 8;
    }

    void *slot = nullptr;
    zoOptions options{};
    zoCamera camera{};
    zoShaderRecord record{};
    RenderState state{};
};

// ---------------------------------------------------------------------------
// Medium bookkeeping

TEST_F(Physics, MediumEnteringFromAirAndFromAnotherMedium) {
    using namespace kor::physics;
    const MediumRule followed{1.5f, false, true, 1.0f}, fixed{1.5f, false, false, 1.2f};
    // an eye ray: no parent, the outside is air
    Medium m = trackMedium(&state, followed);
    EXPECT_TRUE(m.entering);
    EXPECT_EQ(m.passes, 0);
    EXPECT_FLOAT_EQ(state.ior, 1.5f);
    EXPECT_FLOAT_EQ(state.ior_in, 1.0f);
    EXPECT_EQ(state.refraction_volume, 33u);  // took the ray's volume

    // a ray refracted into water (parent index 1.33) meets the glass
    RenderState water = state;
    water.material = kWater;
    water.ior = 1.33f;
    RenderState ray = state;
    ray.parent = &water;
    ray.type = ZO_RAY_REFRACT;
    ray.refraction_volume = 35;
    m = trackMedium(&ray, followed);
    EXPECT_TRUE(m.entering);
    EXPECT_FLOAT_EQ(ray.ior_in, 1.33f);
    EXPECT_EQ(ray.refraction_volume, 35u);  // kept
    trackMedium(&ray, fixed);
    EXPECT_FLOAT_EQ(ray.ior_in, 1.2f);  // the fixed outside index
    // a parent without an index counts as air
    water.ior = 0.0f;
    trackMedium(&ray, followed);
    EXPECT_FLOAT_EQ(ray.ior_in, 1.0f);
}

// ---------------------------------------------------------------------------
// The light iterator as the shaders use it

// ---------------------------------------------------------------------------
// Dielectric material

class Dielectric : public Physics {
  protected:
    void SetUp() override {
        Physics::SetUp();
        std::memset(&m, 0, sizeof m);
        m.insideColor = {1, 1, 1, 1};
        m.outsideColor = {1, 1, 1, 1};
        m.ior = 1.5f;
        m.lengthUnit = 1.0f;
        setLights(m, {});
        ph().fresnel = 0.1f;
        illum().trace_color = {1, 1, 1, 0.5f};
        reflect().environment_ok = 0;
    }
    void init() {
        zoBoolean instances = 0;
        kor2_dielectric_material_init(&state, nullptr, &instances);
        EXPECT_TRUE(instances);
        kor2_dielectric_material_init(&state, &m, nullptr);
        initialised = true;
    }
    void TearDown() override {
        if (initialised) kor2_dielectric_material_exit(&state, &m);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    Color shade() {
        Color c{9, 9, 9, 9};
        last = kor2_dielectric_material(&c, &state, &m);
        return c;
    }
    DielectricRecord m;
    bool initialised = false;
    zoBoolean last = 0;
};

// Entering from air: reflection F, refraction (1/1.5)^2 (1 - F), absorbed
// inside by p^d over the probed length times 1/lengthUnit.
TEST_F(Dielectric, FresnelSplitAndBeerAbsorption) {
    m.insideColor = {0.5f, 1.0f, 0.25f, 1};
    m.lengthUnit = 0.5f;
    rt().hits = {TestProbeHit{0, 2.0, {0, 0, -2}}};
    init();
    const Color c = shade();
    EXPECT_TRUE(last);
    ASSERT_EQ(ph().fresnel_in.size(), 1u);
    EXPECT_FLOAT_EQ(ph().fresnel_in[0], 1.0f);
    EXPECT_FLOAT_EQ(ph().fresnel_out[0], 1.5f);
    EXPECT_EQ(illum().reflection_traces, 1);
    EXPECT_EQ(illum().refraction_traces, 1);
    ASSERT_EQ(rt().probes.size(), 1u);  // only the refraction is absorbed
    const float w = (1.0f / 1.5f) * (1.0f / 1.5f) * 0.9f;
    const float d = 2.0f / 0.5f;
    EXPECT_NEAR(c.r, 0.1f + w * std::pow(0.5f, d), kTol);
    EXPECT_NEAR(c.g, 0.1f + w, kTol);
    EXPECT_NEAR(c.b, 0.1f + w * std::pow(0.25f, d), kTol);
    EXPECT_NEAR(c.a, 0.1f + 0.5f * 0.9f, kTol);
    EXPECT_EQ(state.child, nullptr);  // the probe's child is not left behind

    // persistence at or below 0 stops everything, at or above 1 nothing
    rt().reset();
    rt().hits = {TestProbeHit{0, 2.0, {0, 0, -2}}};
    m.insideColor = {-0.5f, 1.5f, 0.0f, 1};
    const Color e = shade();
    EXPECT_NEAR(e.r, 0.1f, kTol);
    EXPECT_NEAR(e.g, 0.1f + w, kTol);
    EXPECT_NEAR(e.b, 0.1f, kTol);

    // nothing is allocated per sample
    const long allocations = internal::host().allocations;
    for (int i = 0; i < 20; ++i) shade();
    EXPECT_EQ(internal::host().allocations, allocations);

    // opaque alpha
    m.opaqueAlpha = 0.5f;
    kor2_dielectric_material_exit(&state, &m);
    init();
    EXPECT_FLOAT_EQ(shade().a, 1.0f);
}

TEST_F(Dielectric, WarningsForBadIndices) {
    m.ior = 0.0f;
    m.iorOut = -2.0f;
    init();
    EXPECT_TRUE(hasMessage(
        "warning: dielectric material cannot use zero or negative index of refraction 0.000000 "
        "(using 1.0)"));
    EXPECT_TRUE(hasMessage(
        "warning: cannot use negative index of refraction -2.000000 for dielectric material "
        "(ignoring)"));
    m.outsideColor = {0, 0, 0, 1};
    rt().hits = {TestProbeHit{0, 1.0, {0, 0, 0}}};
    state.inv_normal = 1;
    const Color c = shade();
    EXPECT_FLOAT_EQ(ph().fresnel_in[0], 1.0f);  // the index became 1.0
    EXPECT_FLOAT_EQ(ph().fresnel_out[0], 1.0f);
    EXPECT_GT(c.r, 0.5f);  // a negative outer index does not absorb outside
}

// ---------------------------------------------------------------------------
// DGS material

class DgsMaterial : public Physics {
  protected:
    void SetUp() override {
        Physics::SetUp();
        std::memset(&m, 0, sizeof m);
        m.ior = 1.0f;
        m.shiny = 5.0f;
        setLights(m, {kLight});
        internal::host().irradiance.ok = 0;
        ph().backside_ok = 0;
        illum().trace_ok = 0;
    }
    Color shade() {
        Color c{9, 9, 9, 9};
        last = kor2_dgs_material(&c, &state, &m);
        return c;
    }
    DgsRecord m;
    zoBoolean last = 0;
};

// Direct diffuse = diffuse x light x (1 - t) x N.L, averaged per light; the
// back side adds the share t with the normal turned round.
TEST_F(DgsMaterial, DirectDiffuseOnBothSides) {
    m.diffuse = {0.5f, 0.4f, 0.2f, 1};
    illum().lights[kLight].samples = {sample({1, 1, 1, 1}, {0, 0, 1}, 0.8f),
                                      sample({0.5f, 0.5f, 0.5f, 1}, {0, 0.6f, 0.8f}, 0.6f),
                                      sample({1, 1, 1, 1}, {0, 0, -1}, -0.5f)};
    Color c = shade();
    EXPECT_TRUE(last);
    const float mean = (0.8f + 0.5f * 0.6f - 0.5f) / 3;  // every sample counts, the one below too
    EXPECT_NEAR(c.r, 0.5f * mean, kTol);
    EXPECT_NEAR(c.b, 0.2f * mean, kTol);
    EXPECT_FLOAT_EQ(c.a, 1.0f);
    EXPECT_EQ(ph().walked.size(), 1u);

    m.transparency = 0.25f;
    ph().samples.clear();
    c = shade();
    EXPECT_NEAR(c.r, 0.5f * (0.75f * mean + 0.25f * mean), kTol);
    ASSERT_EQ(ph().samples.size(), 6u);
    EXPECT_FLOAT_EQ(ph().samples[0].normal.z, 1.0f);
    EXPECT_FLOAT_EQ(ph().samples[3].normal.z, -1.0f);
    EXPECT_FLOAT_EQ(state.normal.z, 1.0f);  // restored
    EXPECT_FLOAT_EQ(state.normal_geom.z, 1.0f);

    // fully transparent: the back side only
    m.transparency = 1.0f;
    ph().samples.clear();
    c = shade();
    EXPECT_NEAR(c.r, 0.5f * mean, kTol);
    EXPECT_EQ(ph().samples.size(), 3u);
    EXPECT_FLOAT_EQ(ph().samples[0].normal.z, -1.0f);
}

// The front glossy term counts twice; isotropic Ward with the ray direction,
// anisotropic with the frame from the first derivative.
TEST_F(DgsMaterial, GlossyDirectLight) {
    m.glossy = {0.4f, 0.2f, 0.1f, 1};
    illum().lights[kLight].samples = {sample({1, 1, 1, 1}, {0, 0, 1}, 0.5f)};
    ph().ward = 0.25f;
    Color c = shade();
    EXPECT_NEAR(c.r, 2 * 0.4f * 0.5f * 0.25f, kTol);
    ASSERT_EQ(ph().ward_calls, 1);
    EXPECT_FLOAT_EQ(ph().ward_in[0].z, -1.0f);

    m.shiny = 0.0f;
    m.shinyU = 3.0f;
    m.shinyV = 6.0f;
    state.derivs[0] = {2, 0, 2};
    c = shade();
    EXPECT_EQ(ph().anisotropic_ward_calls, 1);
    EXPECT_NEAR(ph().ward_u.x, 1.0f, kTol);
    EXPECT_NEAR(ph().ward_u.z, 0.0f, kTol);
    EXPECT_NEAR(ph().ward_v.y, 1.0f, kTol);
    EXPECT_NEAR(c.r, 2 * 0.4f * 0.5f * 0.25f, kTol);
}

// ---------------------------------------------------------------------------
// Participating volume

class Volume : public Physics {
  protected:
    void SetUp() override {
        Physics::SetUp();
        std::memset(&v, 0, sizeof v);
        v.scatter = {1, 1, 1, 1};
        v.extinction = 0.2f;
        v.phaseBlend = 1.0f;
        v.minStep = 0.05f;
        v.stepLength = 0.5f;
        setLights(v, {});
        state.org = {0, 0, 1};
        state.dir = {1, 0, 0};
        state.dist = 4.0;
        state.point = {4, 0, 1};
    }
    void TearDown() override {
        kor2_parti_volume_exit(&state, &v);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    Color run(Color c) {
        last = kor2_parti_volume(&c, &state, &v);
        return c;
    }
    VolumeRecord v;
    zoBoolean last = 0;
};

TEST_F(Volume, LightRaysDimByTheOpticalDepth) {
    state.type = ZO_RAY_LIGHT;
    state.org = {0, 0, 5};
    state.dir = {0, 0, -1};
    state.dist = 3.0;
    Color c = run({1, 0.5f, 0.25f, 1});
    EXPECT_TRUE(last);
    EXPECT_NEAR(c.r, std::exp(-0.2f * 3.0f), kTol);
    EXPECT_NEAR(c.b, 0.25f * std::exp(-0.2f * 3.0f), kTol);
    EXPECT_FLOAT_EQ(c.a, 1.0f);

    // bounded at height 4: only the last 2 units of the way down
    v.mode = 1;
    v.height = 4.0f;
    c = run({1, 1, 1, 1});
    EXPECT_NEAR(c.r, std::exp(-0.2f * 2.0f), kTol);
    // a light below the height lighting a point below it: the whole way
    state.org = {0, 0, 0};
    state.dir = {1, 0, 0};
    c = run({1, 1, 1, 1});
    EXPECT_NEAR(c.r, std::exp(-0.2f * 3.0f), kTol);
    // a ray going up from height 3 to 6: only its first unit is in the medium
    state.org = {0, 0, 3};
    state.dir = {0, 0, 1};
    c = run({1, 1, 1, 1});
    EXPECT_NEAR(c.r, std::exp(-0.2f * 1.0f), kTol);

    // shadow rays pass unchanged
    state.type = ZO_RAY_SHADOW;
    c = run({0.3f, 0.3f, 0.3f, 1});
    EXPECT_TRUE(last);
    EXPECT_FLOAT_EQ(c.r, 0.3f);
}

// Without light the march only dims what comes from beyond; above the
// height bound the medium is empty.
TEST_F(Volume, EyeRaysDimAndTheHeightBound) {
    Color c = run({1, 1, 1, 1});
    EXPECT_NEAR(c.r, std::exp(-0.2f * (4.0f - 0.0002f)), 1e-4f);
    EXPECT_FLOAT_EQ(c.a, 1.0f);
    EXPECT_FLOAT_EQ(state.point.x, 4.0f);  // restored
    EXPECT_FLOAT_EQ(state.normal.z, 1.0f);

    v.mode = 1;
    v.height = 0.5f;  // the ray runs at height 1
    c = run({1, 1, 1, 1});
    EXPECT_FLOAT_EQ(c.r, 1.0f);
    EXPECT_TRUE(ph().samples.empty());  // no lights sampled in empty space

    v.height = 1.5f;
    c = run({1, 1, 1, 1});
    EXPECT_LT(c.r, 0.5f);

    // the thread's record is made once; later samples allocate nothing
    const long allocations = internal::host().allocations;
    for (int i = 0; i < 20; ++i) run({1, 1, 1, 1});
    EXPECT_EQ(internal::host().allocations, allocations);

    // a zero-length ray is left alone
    state.dist = 0.0;
    c = run({0.7f, 0.7f, 0.7f, 1});
    EXPECT_FLOAT_EQ(c.r, 0.7f);
}

// A long uniform medium lit evenly tends to S / rho with S = scatter x
// phase x light / (4 pi); lights are sampled at the marching points with no
// surface normal.
TEST_F(Volume, InScatteredLightWithThePhaseFunction) {
    setLights(v, {kLight});
    illum().lights[kLight].samples = {sample({2, 1, 1, 1}, {1, 0, 0}, 0)};
    v.scatter = {0.5f, 1, 1, 1};
    v.extinction = 1.0f;
    v.stepLength = 0.01f;
    v.minStep = 1.0f;
    state.dist = 20.0;
    Color c = run({0, 0, 0, 1});
    const float S = 0.5f * 2.0f * 0.07957747f;
    EXPECT_NEAR(c.r, S / 1.0f, 0.01f * S);
    ASSERT_FALSE(ph().samples.empty());
    EXPECT_FLOAT_EQ(ph().samples[0].normal.z, 0.0f);
    EXPECT_NEAR(ph().samples[0].point.x, 20.0f - 0.0001f, 1e-3f);
    EXPECT_NEAR(ph().samples.back().point.x, 0.0001f, 1e-4f);

    // two Schlick lobes blended (the stand-in phase is D.L + g)
    v.phaseG1 = 0.5f;
    v.phaseG2 = -0.5f;
    v.phaseBlend = 0.25f;
    c = run({0, 0, 0, 1});
    const float phase = 0.25f * 1.5f + 0.75f * 0.5f;
    EXPECT_NEAR(c.r, phase * S, 0.01f * phase * S);

    // indirect light: directional irradiance / rho
    ph().volume_ok = 1;
    ph().volume_irradiance = {4, 4, 4, 1};
    v.directOnly = 1;
    ph().directional_calls = 0;
    run({0, 0, 0, 1});
    EXPECT_EQ(ph().directional_calls, 0);  // direct light arrived
    v.directOnly = 0;
    c = run({0, 0, 0, 1});
    EXPECT_GT(ph().directional_calls, 0);
    EXPECT_FLOAT_EQ(ph().directional_args[0], 0.25f);
    EXPECT_FLOAT_EQ(ph().directional_args[1], 0.5f);
    EXPECT_NEAR(c.r, phase * S + 0.5f * 4 * 0.07957747f, 0.01f * c.r);
}

TEST_F(Volume, MarchStartsWithTheFarPoint) {
    setLights(v, {kLight});
    illum().lights[kLight].samples = {sample({2, 2, 2, 1}, {1, 0, 0}, 0)};
    v.scatter = {0.5f, 0.5f, 0.5f, 1};
    v.extinction = 1.0f;
    v.stepLength = 1.0f;
    v.minStep = 10.0f;  // no halving
    internal::scene().sample_value = 0.5;
    const double S = 0.5 * 2 * 0.07957747;
    double want = 1.0 * 0.5 * S;  // s u S
    const double t[] = {3.9999, 3.5, 2.5, 1.5, 0.5, 0.0001};
    for (int k = 1; k < 6; ++k) want = want * std::exp(-(t[k - 1] - t[k])) + (t[k - 1] - t[k]) * S;
    EXPECT_NEAR(run({0, 0, 0, 1}).r, want, 1e-5);
}

}  // namespace
