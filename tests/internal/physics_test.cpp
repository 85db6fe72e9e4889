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
#include "testhost/testhost_inknpaint.h"
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
zoBoolean kor2_dgs_material_photon(Color *, RenderState *, DgsRecord *);
int kor2_dgs_material_version();
zoBoolean kor2_dielectric_material(Color *, RenderState *, DielectricRecord *);
zoBoolean kor2_dielectric_material_photon(Color *, RenderState *, DielectricRecord *);
void kor2_dielectric_material_init(RenderState *, void *, zoBoolean *);
void kor2_dielectric_material_exit(RenderState *, void *);
zoBoolean kor2_parti_volume(Color *, RenderState *, VolumeRecord *);
zoBoolean kor2_parti_volume_photon(Color *, RenderState *, VolumeRecord *);
void kor2_parti_volume_init(RenderState *, void *, zoBoolean *);
void kor2_parti_volume_exit(RenderState *, void *);
void kor2_parti_volume_photon_init(RenderState *, void *, zoBoolean *);
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
TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

// An element shader that keeps the record a material hands it.
RenderElementPostIllumData handed;
int elementCalls = 0;
zoBoolean keepRecord(void *result, RenderState *, void *, void *arg) {
    const auto *call = static_cast<const ElementCallArgs *>(arg);
    if (call && call->mode == 0 && call->data) {
        handed = *static_cast<const RenderElementPostIllumData *>(call->data);
        ++elementCalls;
    }
    *static_cast<Color *>(result) = {0, 0, 0, 0};
    return 1;
}

// Runs `shade` with one element shader active and returns what it was handed.
template <typename F>
RenderElementPostIllumData withElements(RenderState *state, F shade) {
    constexpr Tag kElement = 11;
    functions().functions[kElement] = {keepRecord, nullptr};
    static int32_t zero[1] = {0};
    static Tag shaders[1] = {kElement};
    static RenderElementSetup setup{1, 0, 1, zero, zero, shaders, zero, zero, zero};
    static Color entries[1];
    static ElementResults holder{entries, 0};
    const RenderElementContext ctx{&setup, &holder, 1, 0, 0};
    zo_shaderstate_set(state, "KRREINT", &ctx, sizeof ctx, 2);
    std::memset(&handed, 0, sizeof handed);
    elementCalls = 0;
    shade();
    zo_shaderstate_set(state, "KRREINT", nullptr, 0, 2);
    EXPECT_EQ(elementCalls, 1);
    return handed;
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

TEST_F(Physics, MediumLeavingThroughNestedStates) {
    using namespace kor::physics;
    const MediumRule followed{1.5f, false, true, 1.0f};
    // water (outer index 1.1) -> glass entered -> refracted ray leaves the glass
    RenderState entered = state;
    entered.ior_in = 1.33f;
    entered.ior = 1.5f;
    entered.volume = 40;
    RenderState inside = state;
    inside.parent = &entered;
    inside.type = ZO_RAY_REFRACT;
    inside.inv_normal = 1;
    Medium m = trackMedium(&inside, followed);
    EXPECT_FALSE(m.entering);
    EXPECT_EQ(m.passes, 1);
    EXPECT_EQ(m.outer, &entered);
    EXPECT_FLOAT_EQ(inside.ior_in, 1.5f);
    EXPECT_FLOAT_EQ(inside.ior, 1.33f);        // P's outer index
    EXPECT_EQ(inside.refraction_volume, 40u);  // P's volume
    // without P the camera's volume and air
    RenderState lone = state;
    lone.inv_normal = 1;
    trackMedium(&lone, followed);
    EXPECT_FLOAT_EQ(lone.ior, 1.0f);
    EXPECT_EQ(lone.refraction_volume, 34u);

    // counting: one pass means inside, two mean outside again (the side is
    // not looked at)
    const MediumRule counted{1.5f, true, true, 1.0f};
    RenderState front = inside;
    front.inv_normal = 0;
    EXPECT_FALSE(trackMedium(&front, counted).entering);
    RenderState out = state;  // left the glass: a refraction whose parent ran it
    out.parent = &front;
    out.type = ZO_RAY_REFRACT;
    m = trackMedium(&out, counted);
    EXPECT_EQ(m.passes, 2);
    EXPECT_TRUE(m.entering);
    // rays of other types or through other materials do not count
    RenderState reflected = state;
    reflected.parent = &entered;
    reflected.type = ZO_RAY_REFLECT;
    EXPECT_EQ(trackMedium(&reflected, counted).passes, 0);
    RenderState other = state;
    other.material = kWater;
    other.parent = &entered;
    other.type = ZO_RAY_REFRACT;
    EXPECT_EQ(trackMedium(&other, counted).passes, 0);
}

// ---------------------------------------------------------------------------
// The light iterator as the shaders use it

TEST_F(Physics, LightWalkAveragesSamplesAndFallsBackToTheGlobalLights) {
    using namespace kor::physics;
    illum().lights[kLight].samples = {sample({1, 1, 1, 1}, {0, 0, 1}, 1),
                                      sample({0.5f, 0, 0, 1}, {0, 1, 0}, 0.5f)};
    illum().lights[kLight2].samples = {sample({0, 0, 2, 1}, {1, 0, 0}, 0.25f)};
    internal::scene().has_global_lights = true;
    internal::scene().global_lights = {kLight2};
    for (bool host : {true, false}) {
        ph().reset();
        ph().no_interface = !host;
        const Tag list[2] = {kLight, kLight2};
        {
            LightWalk walk(&state, list, 2);
            ASSERT_TRUE(walk.nextLight());
            EXPECT_EQ(walk.light(), kLight);
            float r = 0;
            int n = 0;
            while (walk.nextSample()) {
                r += walk.color().r * walk.dotNL();
                ++n;
            }
            EXPECT_EQ(n, 2);
            EXPECT_EQ(walk.samples(), 2);
            EXPECT_FLOAT_EQ(r / walk.samples(), (1.0f + 0.25f) / 2);
            ASSERT_TRUE(walk.nextLight());
            EXPECT_EQ(walk.light(), kLight2);
            ASSERT_TRUE(walk.nextSample());
            EXPECT_FLOAT_EQ(walk.color().b, 2.0f);
            EXPECT_FLOAT_EQ(walk.direction().x, 1.0f);
            EXPECT_FALSE(walk.nextSample());
            EXPECT_FALSE(walk.nextLight());
        }
        {
            LightWalk walk(&state, nullptr, 0);  // the global lights
            ASSERT_TRUE(walk.nextLight());
            EXPECT_EQ(walk.light(), kLight2);
            EXPECT_FALSE(walk.nextLight());
        }
        EXPECT_EQ(ph().created, host ? 2 : 0);
        EXPECT_EQ(ph().released, host ? 2 : 0);
    }
}

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

// Leaving: the reflected ray stays inside (inside colour), the refracted one
// leaves with weight (1.5/1)^2 (1 - F); with iorOut 0 the outside absorbs
// nothing and the outside index is 1.
TEST_F(Dielectric, OutsideAbsorbsOnlyWithAPositiveOuterIndex) {
    m.insideColor = {0.5f, 0.5f, 0.5f, 1};
    m.outsideColor = {0.5f, 0.5f, 0.5f, 1};
    RenderState entered = state;
    entered.ior_in = 1.33f;
    state.parent = &entered;
    state.type = ZO_RAY_REFRACT;
    state.inv_normal = 1;
    rt().hits = {TestProbeHit{0, 1.0, {0, 0, 0}}, TestProbeHit{0, 1.0, {0, 0, 0}}};
    init();
    Color c = shade();
    ASSERT_EQ(ph().fresnel_in.size(), 1u);
    EXPECT_FLOAT_EQ(ph().fresnel_in[0], 1.5f);
    EXPECT_FLOAT_EQ(ph().fresnel_out[0], 1.0f);  // air, not the parent's water
    EXPECT_EQ(rt().probes.size(), 1u);           // the reflection only
    const float w = 1.5f * 1.5f * 0.9f;
    EXPECT_NEAR(c.r, 0.1f * 0.5f + w, kTol);

    // iorOut positive: the outside follows the surrounding water and absorbs
    kor2_dielectric_material_exit(&state, &m);
    m.iorOut = 1.0f;
    init();
    rt().reset();
    rt().hits = {TestProbeHit{0, 1.0, {0, 0, 0}}, TestProbeHit{0, 1.0, {0, 0, 0}}};
    ph().fresnel_in.clear();
    ph().fresnel_out.clear();
    c = shade();
    EXPECT_FLOAT_EQ(ph().fresnel_out[0], 1.33f);
    EXPECT_EQ(rt().probes.size(), 2u);
    const float w2 = (1.5f / 1.33f) * (1.5f / 1.33f) * 0.9f;
    EXPECT_NEAR(c.r, 0.1f * 0.5f + w2 * 0.5f, kTol);
}

TEST_F(Dielectric, SplitDepthTracesOneOfTheTwo) {
    init();
    illum().trace_color = {0.8f, 0.6f, 0.4f, 1};
    // below the split: both, no choice
    state.reflection_level = 2;
    state.refraction_level = 1;
    shade();
    EXPECT_EQ(rt().scatters, 0);
    EXPECT_EQ(illum().reflection_traces, 1);
    EXPECT_EQ(illum().refraction_traces, 1);

    // at the split depth (4): the choice is offered F and 1 - F
    state.refraction_level = 2;
    rt().scatter = ZO_PHOTON_REFLECT_SPECULAR;
    Color c = shade();
    EXPECT_EQ(rt().scatters, 1);
    EXPECT_FLOAT_EQ(rt().weights[1].r, 0.1f);
    EXPECT_FLOAT_EQ(rt().weights[3].r, 0.9f);
    EXPECT_EQ(illum().reflection_traces, 2);
    EXPECT_EQ(illum().refraction_traces, 1);
    EXPECT_NEAR(c.r, 0.8f, kTol);  // F x 1/F

    rt().scatter = ZO_PHOTON_TRANSMIT_SPECULAR;
    c = shade();
    EXPECT_EQ(illum().reflection_traces, 2);
    EXPECT_EQ(illum().refraction_traces, 2);
    EXPECT_NEAR(c.r, 0.8f / (1.5f * 1.5f), kTol);

    rt().scatter = ZO_PHOTON_ABSORB;
    c = shade();
    EXPECT_EQ(illum().reflection_traces, 2);
    EXPECT_EQ(illum().refraction_traces, 2);
    EXPECT_FLOAT_EQ(c.r, 0.0f);
    EXPECT_FLOAT_EQ(c.a, 0.1f);

    // the options' depth word moves the split: 5 - 3 = 2
    kor2_dielectric_material_exit(&state, &m);
    options.split_depth = 3;
    init();
    state.reflection_level = 1;
    state.refraction_level = 1;
    shade();
    EXPECT_EQ(rt().scatters, 4);
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

TEST_F(Dielectric, HighlightsAveragedPerLightAndGlobalLightsWhenNoneListed) {
    m.phongExponent = 20.0f;
    setLights(m, {kLight});
    illum().lights[kLight].samples = {sample({1, 1, 1, 1}, {0, 0, 1}, 1),
                                      sample({0.5f, 0.5f, 0.5f, 1}, {0, 1, 0}, 1)};
    ph().phong = 0.5f;
    illum().trace_ok = 0;
    init();
    Color c = shade();
    const float k = 21.0f * 0.1f * 0.15915494f;
    EXPECT_NEAR(c.r, k * 0.5f * (1.0f + 0.5f) / 2, kTol);
    EXPECT_EQ(ph().phong_dirs.size(), 2u);
    ASSERT_EQ(ph().walked.size(), 1u);
    EXPECT_EQ(ph().walked[0], std::vector<Tag>{kLight});

    setLights(m, {});
    internal::scene().has_global_lights = true;
    internal::scene().global_lights = {kLight2, kLight};
    c = shade();
    ASSERT_EQ(ph().walked.size(), 2u);
    EXPECT_EQ(ph().walked[1], (std::vector<Tag>{kLight2, kLight}));
    EXPECT_NEAR(c.r, k * 0.5f * 0.75f, kTol);  // the unscripted light adds nothing
}

TEST_F(Dielectric, RenderElementsGetTheHighlightAndTheTracedColours) {
    m.phongExponent = 10.0f;
    setLights(m, {kLight});
    illum().lights[kLight].samples = {sample({1, 1, 1, 1}, {0, 0, 1}, 1)};
    ph().phong = 0.5f;
    illum().trace_color = {0.5f, 0.5f, 0.5f, 1};
    init();
    functions().reset();
    Color c{0, 0, 0, 0};
    const RenderElementPostIllumData d = withElements(&state, [&] { c = shade(); });
    const float k = 11.0f * 0.1f * 0.15915494f * 0.5f;
    const float w = (1.0f / 1.5f) * (1.0f / 1.5f) * 0.9f;
    EXPECT_NEAR(d.illum.specular.r, k, kTol);
    EXPECT_NEAR(d.illum.reflection.r, 0.1f * 0.5f, kTol);
    EXPECT_NEAR(d.illum.refraction.r, w * 0.5f, kTol);
    EXPECT_FLOAT_EQ(d.illum.reflectionAmount, 1.0f);
    EXPECT_FLOAT_EQ(d.illum.refractionAmount, 1.0f);
    EXPECT_FLOAT_EQ(d.illum.litScale, 1.0f);
    EXPECT_NEAR(c.r, k + 0.05f + w * 0.5f, kTol);
}

TEST_F(Dielectric, LightShadowAndDisplacementRaysGetNothing) {
    init();
    for (int type : {ZO_RAY_LIGHT, ZO_RAY_SHADOW, ZO_RAY_DISPLACE}) {
        state.type = type;
        const Color c = shade();
        EXPECT_FALSE(last);
        EXPECT_FLOAT_EQ(c.r + c.g + c.b + c.a, 0.0f);
    }
    EXPECT_EQ(illum().reflection_traces, 0);
}

// Photon rays go to the twin and the twin hands other rays back.
TEST_F(Dielectric, PhotonTwinAbsorbsThenReflectsOrRefracts) {
    m.insideColor = {0.5f, 1, 1, 1};
    init();
    state.type = ZO_PHOTON_TRANSMIT_SPECULAR;
    RenderState entered = state;
    state.parent = &entered;
    state.inv_normal = 1;  // leaving after a path of length 2 inside
    state.dist = 2.0;
    rt().scatter = ZO_PHOTON_TRANSMIT_SPECULAR;
    illum().refraction_dir = {0, 0.6f, -0.8f};
    Color e{1, 1, 1, 1};
    EXPECT_TRUE(kor2_dielectric_material(&e, &state, &m));
    ASSERT_EQ(reflect().photons.size(), 1u);
    EXPECT_EQ(reflect().photons[0].kind, ZO_PHOTON_TRANSMIT_SPECULAR);
    EXPECT_NEAR(reflect().photons[0].energy.r, 0.25f, kTol);
    EXPECT_NEAR(reflect().photons[0].energy.g, 1.0f, kTol);
    EXPECT_FLOAT_EQ(reflect().photons[0].dir.y, 0.6f);
    EXPECT_FLOAT_EQ(rt().weights[1].r, 0.1f);
    EXPECT_FLOAT_EQ(rt().weights[3].r, 0.9f);

    rt().scatter = ZO_PHOTON_REFLECT_SPECULAR;
    e = {1, 1, 1, 1};
    EXPECT_TRUE(kor2_dielectric_material_photon(&e, &state, &m));
    ASSERT_EQ(reflect().photons.size(), 2u);
    EXPECT_EQ(reflect().photons[1].kind, ZO_PHOTON_REFLECT_SPECULAR);
    // total reflection: nothing goes on
    rt().scatter = ZO_PHOTON_TRANSMIT_SPECULAR;
    illum().refraction_ok = 0;
    EXPECT_TRUE(kor2_dielectric_material_photon(&e, &state, &m));
    EXPECT_EQ(reflect().photons.size(), 2u);

    // an eye ray given to the twin is shaded by the material
    state.parent = nullptr;
    state.inv_normal = 0;
    state.type = ZO_RAY_EYE;
    Color c{0, 0, 0, 0};
    EXPECT_TRUE(kor2_dielectric_material_photon(&c, &state, &m));
    EXPECT_EQ(illum().reflection_traces, 1);
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

// Black diffuse and glossy: no lights walked, but the specular layer is
// traced, transmitted by t and reflected by 1 - t; alpha 1 - a t.
TEST_F(DgsMaterial, SpecularLayerWithoutDiffuseOrGlossy) {
    m.specular = {0.5f, 0.5f, 0.5f, 1};
    illum().trace_ok = 1;
    illum().trace_color = {0.2f, 0.4f, 0.6f, 0.6f};
    Color c = shade();
    EXPECT_EQ(ph().created, 0);
    EXPECT_EQ(illum().reflection_traces, 1);
    EXPECT_EQ(illum().refraction_traces, 0);
    EXPECT_NEAR(c.g, 0.5f * 0.4f, kTol);
    EXPECT_FLOAT_EQ(c.a, 1.0f);

    m.transparency = 0.5f;
    m.ior = 1.5f;
    c = shade();
    EXPECT_EQ(illum().refraction_traces, 1);
    EXPECT_NEAR(c.g, 0.5f * 0.5f * 0.4f + 0.5f * 0.5f * 0.4f, kTol);
    EXPECT_NEAR(c.a, 1.0f - 0.4f * 0.5f, kTol);
    EXPECT_FLOAT_EQ(ph().transmission_in.back(), 1.0f);
    EXPECT_FLOAT_EQ(ph().transmission_out.back(), 1.5f);

    // no transmission direction: the whole layer reflects
    ph().specular_transmission_ok = 0;
    c = shade();
    EXPECT_EQ(illum().refraction_traces, 1);
    EXPECT_NEAR(c.g, 0.5f * 0.4f, kTol);
    EXPECT_FLOAT_EQ(c.a, 1.0f);
}

TEST_F(DgsMaterial, IndirectDiffuseOnBothSides) {
    m.diffuse = {0.6f, 0.6f, 0.6f, 1};
    m.transparency = 0.25f;
    internal::host().irradiance = {1, true, {3.14159265f, 0, 0, 1}};
    ph().backside_ok = 1;
    ph().backside = {0, 3.14159265f, 0, 1};
    const Color c = shade();
    EXPECT_NEAR(c.r, 0.6f * 0.75f, 1e-4f);
    EXPECT_NEAR(c.g, 0.6f * 0.25f, 1e-4f);
}

TEST_F(DgsMaterial, RenderElementsGetTheLayers) {
    m.diffuse = {0.5f, 0.5f, 0.5f, 1};
    m.glossy = {0.2f, 0.2f, 0.2f, 1};
    m.specular = {0.3f, 0.3f, 0.3f, 1};
    illum().lights[kLight].samples = {sample({1, 1, 1, 1}, {0, 0, 1}, 1)};
    ph().ward = 0.5f;
    illum().trace_ok = 1;
    illum().trace_color = {1, 1, 1, 1};
    rt().hits = {TestProbeHit{0, 2.0, {0, 0, 2}}};  // the glossy ray meets a surface
    functions().reset();
    Color c{0, 0, 0, 0};
    const RenderElementPostIllumData d = withElements(&state, [&] { c = shade(); });
    EXPECT_NEAR(d.illum.diffuse.r, 0.5f, kTol);
    // direct glossy 2 x 0.2 x 0.5, plus the traced specular layer
    EXPECT_NEAR(d.illum.specular.r, 0.2f + 0.3f, kTol);
    // the glossy layer's traced reflection; the specular layer's is counted
    // once, as specular
    EXPECT_NEAR(d.illum.reflection.r, 0.2f, kTol);
    EXPECT_NEAR(d.illum.refraction.r, 0.0f, kTol);
    EXPECT_NEAR(c.r, 0.5f + 0.5f + 0.2f, kTol) << "the elements add up to the result";
}

TEST_F(DgsMaterial, ShadowAndDisplacementRays) {
    m.diffuse = {1, 1, 1, 1};
    state.type = ZO_RAY_SHADOW;
    Color c = shade();
    EXPECT_TRUE(last);
    EXPECT_FLOAT_EQ(c.r + c.g + c.b + c.a, 0.0f);
    state.type = ZO_RAY_DISPLACE;
    shade();
    EXPECT_FALSE(last);
}

TEST_F(DgsMaterial, PhotonsStoredScatteredAndHandedBack) {
    m.diffuse = {0.2f, 0.4f, 0.6f, 1};
    m.transparency = 0.3f;
    state.type = ZO_PHOTON_REFLECT_DIFFUSE;
    ph().scatter_type = ZO_PHOTON_REFLECT_DIFFUSE;
    Color e{1, 1, 1, 1};
    EXPECT_TRUE(kor2_dgs_material(&e, &state, &m));  // the material hands it on
    EXPECT_EQ(rt().stored, 1);
    EXPECT_EQ(ph().scatter_choices, 1);
    EXPECT_FLOAT_EQ(ph().scatter_transparency, 0.3f);
    ASSERT_EQ(reflect().photons.size(), 1u);
    EXPECT_EQ(reflect().photons[0].kind, ZO_PHOTON_REFLECT_DIFFUSE);
    EXPECT_NEAR(reflect().photons[0].energy.r, 0.2f / 0.4f, kTol);  // colour over its mean
    EXPECT_NEAR(reflect().photons[0].energy.b, 0.6f / 0.4f, kTol);

    // straight from a light (through transparent passes): not stored
    RenderState light = state;
    light.type = ZO_PHOTON_LIGHT;
    RenderState through = state;
    through.type = ZO_PHOTON_TRANSPARENT;
    through.parent = &light;
    state.parent = &through;
    state.type = ZO_PHOTON_TRANSPARENT;
    e = {1, 1, 1, 1};
    kor2_dgs_material_photon(&e, &state, &m);
    EXPECT_EQ(rt().stored, 1);

    // glossy transmission without a direction falls back to glossy reflection
    m.glossy = {0.5f, 0.5f, 0.5f, 1};
    ph().scatter_type = ZO_PHOTON_TRANSMIT_GLOSSY;
    reflect().glossy_transmission_ok = 0;
    kor2_dgs_material_photon(&e, &state, &m);
    EXPECT_EQ(reflect().photons.back().kind, ZO_PHOTON_REFLECT_GLOSSY);
    // absorbed
    ph().scatter_type = ZO_PHOTON_ABSORB;
    const size_t n = reflect().photons.size();
    EXPECT_TRUE(kor2_dgs_material_photon(&e, &state, &m));
    EXPECT_EQ(reflect().photons.size(), n);

    // an unknown answer is an error
    ph().scatter_type = 42;
    EXPECT_FALSE(kor2_dgs_material_photon(&e, &state, &m));
    EXPECT_TRUE(hasMessage("error: unknown scatter type in dgs photon shader"));

    // an eye ray given to the twin is shaded
    state.parent = nullptr;
    state.type = ZO_RAY_EYE;
    const long choices = ph().scatter_choices;
    Color c{0, 0, 0, 0};
    EXPECT_TRUE(kor2_dgs_material_photon(&c, &state, &m));
    EXPECT_EQ(ph().scatter_choices, choices);
    EXPECT_FLOAT_EQ(c.a, 1.0f);
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
        state.org = {0, 1, 0};
        state.dir = {1, 0, 0};
        state.dist = 4.0;
        state.point = {4, 1, 0};
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
    state.org = {0, 5, 0};
    state.dir = {0, -1, 0};
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
    state.org = {0, 3, 0};
    state.dir = {0, 1, 0};
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

// Where the scattered light changes fast (a light that reaches only part of
// the ray) segments are halved down to the minimum step.
// The march: the first point (at L - 0.0001) lights the stretch s u before
// the first whole step unattenuated, then each segment dims what lies behind
// it and adds its near point's light over its length.
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

// A light distance of 0 is a distance like any other: a light away from the
// point is sampled as from three reflections deeper.
TEST_F(Volume, LightDistanceZeroSamplesEveryLightCheaply) {
    setLights(v, {kLight});
    illum().lights[kLight].samples = {sample({1, 1, 1, 1}, {1, 0, 0}, 0)};
    internal::host_object<TestInkHost>("testhost_inknpaint")->light_origins[kLight] = {0, 9, 0};
    static int deepest;
    deepest = -1;
    illum().on_sample = [](RenderState *s, Tag, int, void *) {
        if (s->reflection_level > deepest) deepest = s->reflection_level;
    };
    v.lightDistance = 0.0f;
    run({0, 0, 0, 1});
    EXPECT_EQ(deepest, 3);
    deepest = -1;
    v.lightDistance = 100.0f;
    run({0, 0, 0, 1});
    EXPECT_EQ(deepest, 0);
    internal::host_object<TestInkHost>("testhost_inknpaint")->light_origins.clear();
}

TEST_F(Volume, SegmentsHalvedWhereTheLightChanges) {
    setLights(v, {kLight});
    illum().lights[kLight].samples = {sample({5, 5, 5, 1}, {0, 1, 0}, 0)};
    v.stepLength = 1.0f;
    v.minStep = 0.1f;
    run({0, 0, 0, 1});
    const size_t even = ph().samples.size();
    ph().samples.clear();
    // lit only beyond x = 2.3
    illum().on_sample = [](RenderState *s, Tag, int, void *) {
        const float lit = s->point.x < 2.3f ? 0.0f : 5.0f;
        illum().lights[kLight].samples[0].color = {lit, lit, lit, 1};
    };
    run({0, 0, 0, 1});
    const size_t halved = ph().samples.size();
    EXPECT_GT(halved, even);
    // a contrast the step of 5 never exceeds (|dS| x 10 x length stays below)
    // leaves the segments whole (once the depth remembered from the halved
    // segments has worn off)
    for (float &c : options.contrast) c = 1e6f;
    run({0, 0, 0, 1});
    ph().samples.clear();
    run({0, 0, 0, 1});
    EXPECT_EQ(ph().samples.size(), even);
}

TEST_F(Volume, CloudTableBuiltOnceAndDensityNonNegative) {
    zoBoolean instances = 0;
    kor2_parti_volume_init(&state, nullptr, &instances);
    EXPECT_TRUE(instances);
    v.nonuniform = 0.5f;
    kor2_parti_volume_init(&state, &v, nullptr);
    kor2_parti_volume_photon_init(&state, &v, nullptr);
    int reports = 0;
    for (const auto &msg : internal::host().messages)
        if (msg == "debug: cloud volume texture initialized") ++reports;
    EXPECT_EQ(reports, 1);  // once per process
    float lo = 1, hi = 0;
    for (int i = 0; i < 200; ++i) {
        const Vector3 p = {0.37f * i, -0.21f * i, 0.11f * i + 3};
        const float n = kor::physics::cloudDensity(p);
        lo = std::min(lo, n);
        hi = std::max(hi, n);
    }
    EXPECT_GE(lo, 0.0f);
    EXPECT_LE(hi, 1.0f);
    EXPECT_GT(hi - lo, 0.2f);
    // the medium's density through the photon twin: a mix of uniform and cloud
    state.type = ZO_PHOTON_TRANSMIT_SPECULAR;
    state.refraction_level = 1;
    Color e{1, 1, 1, 1};
    kor2_parti_volume_photon(&e, &state, &v);
    ASSERT_FALSE(ph().densities.empty());
    for (float d : ph().densities) {
        EXPECT_GE(d, 0.2f * 0.5f - kTol);
        EXPECT_LE(d, 0.2f * 0.5f + 0.5f * 2 * 0.2f + kTol);
    }
}

TEST_F(Volume, PhotonTwinScattersInsideAndPassesOtherwise) {
    state.type = ZO_PHOTON_TRANSMIT_SPECULAR;
    v.scatter = {0.5f, 0.25f, 1, 1};
    Color e{1, 1, 1, 1};
    // even refraction level: outside the medium, passed on
    kor2_parti_volume_photon(&e, &state, &v);
    ASSERT_EQ(internal::host().calls.size(), 1u);
    EXPECT_EQ(internal::host().calls[0].function, "zo_call_photon_material");
    EXPECT_TRUE(ph().densities.empty());

    // inside: one step over the whole uniform ray; interaction at 1.5
    state.refraction_level = 1;
    ph().pathlength = 1.5f;
    e = {1, 1, 1, 1};  // the stand-in material wrote black
    EXPECT_TRUE(kor2_parti_volume_photon(&e, &state, &v));
    ASSERT_EQ(ph().densities.size(), 1u);
    EXPECT_FLOAT_EQ(ph().densities[0], 0.2f);
    EXPECT_EQ(ph().volume_photons, 1);
    EXPECT_FLOAT_EQ(ph().volume_photon_point.x, 1.5f);
    ASSERT_EQ(ph().scatterings.size(), 1u);
    EXPECT_FLOAT_EQ(ph().scatterings[0].energy.r, 0.5f);
    EXPECT_FLOAT_EQ(ph().scatterings[0].energy.g, 0.25f);
    EXPECT_FLOAT_EQ(ph().scatterings[0].dir.x, 1.0f);  // the isotropic direction
    EXPECT_FLOAT_EQ(state.point.x, 4.0f);              // restored
    EXPECT_EQ(internal::host().calls.size(), 1u);

    // the photon level bound, and the second lobe
    v.photonMinLevel = 3;
    kor2_parti_volume_photon(&e, &state, &v);
    EXPECT_EQ(internal::host().calls.size(), 2u);
    v.photonMinLevel = 0;
    v.phaseG1 = 0.3f;
    v.phaseG2 = -0.4f;
    ph().lobe = 2;
    kor2_parti_volume_photon(&e, &state, &v);
    ASSERT_EQ(ph().directional_g.size(), 1u);
    EXPECT_FLOAT_EQ(ph().directional_g[0], -0.4f);

    // no interaction before the end: passed on
    ph().pathlength = 10.0f;
    kor2_parti_volume_photon(&e, &state, &v);
    EXPECT_EQ(internal::host().calls.size(), 3u);

    // a photon straight from a light is not stored
    ph().pathlength = 1.0f;
    RenderState light = state;
    light.type = ZO_PHOTON_LIGHT;
    state.parent = &light;
    state.type = ZO_PHOTON_TRANSPARENT;
    const long stored = ph().volume_photons;
    kor2_parti_volume_photon(&e, &state, &v);
    EXPECT_EQ(ph().volume_photons, stored);
    EXPECT_EQ(ph().scatterings.size(), 3u);

    // zero length
    state.dist = 0.0;
    EXPECT_TRUE(kor2_parti_volume_photon(&e, &state, &v));
    EXPECT_EQ(ph().scatterings.size(), 3u);
}

}  // namespace
