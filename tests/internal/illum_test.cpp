// Illumination models: the light loop over instance and global lights and
// its "KEY_5" record, each model's diffuse and specular terms at a point
// under scripted lights (worked out here from the model formulas),
// self-illumination, the transparency, reflection and combine steps, the
// exits and the light meters.
#include "illum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "illum_models.h"
#include "internal/internal.h"
#include "kor_context.h"
#include "kor_statekeys.h"
#include "testhost/testhost_illum.h"

extern "C" {
zoBoolean kor_base_BlinnIllumination(Color *, RenderState *, kor::BlinnParams *, IllumRecord *);
zoBoolean kor_base_PhongIllumination(Color *, RenderState *, kor::BlinnParams *, IllumRecord *);
zoBoolean kor_base_ConstantIllumination(Color *, RenderState *, kor::BlinnParams *, IllumRecord *);
zoBoolean kor_base_MetalIllumination(Color *, RenderState *, kor::BlinnParams *, IllumRecord *);
zoBoolean kor_base_AnisotropicIllumination(Color *, RenderState *, kor::AnisotropicParams *,
                                           IllumRecord *);
zoBoolean kor_base_MultiLayerIllumination(Color *, RenderState *, kor::MultiLayerParams *,
                                          IllumRecord *);
zoBoolean kor_base_OrenNayarBlinnIllumination(Color *, RenderState *, kor::OrenNayarBlinnParams *,
                                              IllumRecord *);
zoBoolean kor_base_StraussIllumination(Color *, RenderState *, kor::StraussParams *, IllumRecord *);
zoBoolean kor_base_TranslucentIllumination(Color *, RenderState *, kor::TranslucentParams *,
                                           IllumRecord *);
zoBoolean kor_LightMeterLightMap(Color *, RenderState *, void *);
void kor_LightMeterLightMap_init(RenderState *, void *, zoBoolean *);
void kor_LightMeterLightMap_exit(RenderState *, void *);
}

namespace {

constexpr Tag kInstance = 10;
constexpr Tag kListData = 20;
constexpr double kPiD = 3.14159265358979323846;

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}

// ---------------------------------------------------------------------------
// Vector and colour arithmetic in double precision.

struct V3 {
    double x, y, z;
};
V3 v3(const Vector3 &v) {
    return {v.x, v.y, v.z};
}
Vector3 f3(const V3 &v) {
    return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
}
V3 operator+(V3 a, V3 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
V3 operator-(V3 a, V3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
V3 operator*(V3 a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
double dotd(V3 a, V3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
V3 crossd(V3 a, V3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
V3 unitd(V3 a) {
    const double l = std::sqrt(dotd(a, a));
    return l > 0 ? a * (1.0 / l) : a;
}

struct C3 {
    double r, g, b;
};
C3 c3(const Color &c) {
    return {c.r, c.g, c.b};
}
C3 operator*(C3 a, C3 b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b};
}
C3 operator*(C3 a, double s) {
    return {a.r * s, a.g * s, a.b * s};
}
C3 operator+(C3 a, C3 b) {
    return {a.r + b.r, a.g + b.g, a.b + b.b};
}
C3 operator-(C3 a, C3 b) {
    return {a.r - b.r, a.g - b.g, a.b - b.b};
}
double mean(C3 c) {
    return (c.r + c.g + c.b) / 3.0;
}

void expectColor(const Color &got, C3 want, double tol = 2e-5) {
    const double scale =
        std::max(1.0, std::max(std::fabs(want.r), std::max(std::fabs(want.g), std::fabs(want.b))));
    EXPECT_NEAR(got.r, want.r, tol * scale);
    EXPECT_NEAR(got.g, want.g, tol * scale);
    EXPECT_NEAR(got.b, want.b, tol * scale);
}

// ---------------------------------------------------------------------------
// A stand-in for the material: fills the shading geometry and map results
// into the record, runs the model's illuminate and returns finalColor.

struct ShadeSetup {
    uint32_t mapFlags = 0;
    float opacity = 1.0f;
    float reflectionAmount = 0.0f;
    float refractionAmount = 0.0f;
    std::map<int, Color> slots;  // channel values put in by slot after the model's entry
    int calls = 0;
    void *params = nullptr;
};
ShadeSetup shadeSetup;

zoBoolean testShade(Color *result, RenderState *state, IllumRecord *r, void *params) {
    ++shadeSetup.calls;
    shadeSetup.params = params;
    r->normal = state->normal;
    r->viewDir = state->dir;
    r->mapFlags = shadeSetup.mapFlags;
    r->opacity = shadeSetup.opacity;
    r->reflectionAmount = shadeSetup.reflectionAmount;
    r->refractionAmount = shadeSetup.refractionAmount;
    for (const auto &slot : shadeSetup.slots) {
        const int channel = kor::illumSlotChannel(r, slot.first);
        if (channel >= 0) r->channels[channel] = slot.second;
    }
    r->illuminate(state, r, params);
    *result = r->finalColor;
    result->a = 1.0f;
    return 1;
}

const Color kSceneAmbient = {0.2f, 0.25f, 0.3f, 0.0f};

IllumRecord newRecord(bool energyBlend = false) {
    IllumRecord r;
    std::memset(&r, 0, sizeof r);
    r.ambient = kSceneAmbient;
    r.energyBlend = energyBlend;
    r.shade = testShade;
    return r;
}

TestLightSample sample(Color color, Vector3 dir, Vector3 normal = {0, 0, 1}) {
    TestLightSample s;
    s.color = color;
    s.dir = dir;
    s.dot_nl = static_cast<float>(dotd(v3(dir), v3(normal)));
    return s;
}

class IllumTest : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        shadeSetup = ShadeSetup{};
        std::memset(&state, 0, sizeof state);
        state.type = ZO_RAY_EYE;
        state.instance = kInstance;
        state.normal = {0, 0, 1};
        state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        state.dot_nd = -1;
        state.trace_depth = 3;
    }
    void TearDown() override { illum().reset(); }

    // The instance's light list: count, first index, the element slot, the
    // global flag, then the tags (first = 2 puts them after the record).
    void useLights(const std::vector<Tag> &lights, bool global = false) {
        list.assign(4 + lights.size(), 0);
        list[0] = static_cast<int32_t>(lights.size());
        list[1] = 2;
        list[3] = global ? 1 : 0;
        for (size_t i = 0; i < lights.size(); ++i) list[4 + i] = static_cast<int32_t>(lights[i]);
        internal::scene().light_lists[kInstance] = kListData;
        internal::host().data_blocks[kListData] = list.data();
    }
    void script(Tag light, const std::vector<TestLightSample> &samples) {
        illum().lights[light].samples = samples;
    }

    RenderState state;
    std::vector<int32_t> list;
};

kor::BlinnParams blinnParams() {
    kor::BlinnParams p{};
    p.ambient = {0.1f, 0.2f, 0.3f, 1.0f};
    p.diffuse = {0.5f, 0.4f, 0.3f, 1.0f};
    p.specular = {0.9f, 0.8f, 0.7f, 1.0f};
    p.specularLevel = 1.5f;
    p.glossiness = 0.3f;
    return p;
}

// ---------------------------------------------------------------------------
// The light loop.

std::vector<Tag> visited;
std::vector<LightIllumRecord> seen;
void recordingCallback(RenderState *, Tag light, LightIllumRecord *rec, void *user) {
    visited.push_back(light);
    seen.push_back(*rec);
    if (user) ++*static_cast<int *>(user);
    // a light that writes the record; the next light must find it reset
    rec->filled = 1;
    rec->diffuseFactor = 0.25f;
    rec->ambientOnly = 1;
    rec->affectBits = 1;
}

using IllumAccumulateTest = IllumTest;

TEST_F(IllumAccumulateTest, RunsInstanceLightsThenGlobalLightsWithAFreshRecordPerLight) {
    useLights({3, 4}, true);
    internal::scene().has_global_lights = true;
    internal::scene().global_lights = {7, 8, 9};
    visited.clear();
    seen.clear();
    int calls = 0;
    EXPECT_TRUE(IllumAccumulate(&state, recordingCallback, &calls));
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(visited, (std::vector<Tag>{3, 4, 7, 8, 9}));
    for (const LightIllumRecord &r : seen) {
        EXPECT_EQ(r.filled, 0);
        EXPECT_FLOAT_EQ(r.diffuseFactor, 1.0f);
        EXPECT_EQ(r.ambientOnly, 0);
        EXPECT_EQ(r.affectBits, 3);
    }
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_5", nullptr), nullptr) << "KEY_5 removed afterwards";
}

// ---------------------------------------------------------------------------
// Blinn: one light, terms from the formulas.

using BlinnTest = IllumTest;

TEST_F(BlinnTest, DiffuseAndSpecularUnderOneLight) {
    useLights({3});
    const Color lc = {0.8f, 0.6f, 0.4f, 1.0f};
    const V3 L = unitd({0.3, 0.1, 1.0});
    script(3, {sample(lc, f3(L))});
    kor::BlinnParams p = blinnParams();
    IllumRecord r = newRecord();
    Color out;
    ASSERT_TRUE(kor_base_BlinnIllumination(&out, &state, &p, &r));
    EXPECT_EQ(shadeSetup.calls, 1);

    const double df = L.z;
    const V3 H = unitd(L + V3{0, 0, 1});
    const double s = std::pow(H.z, 4.0 * std::pow(2.0, 10.0 * 0.3)) * 1.5;
    const C3 ambient = c3(kSceneAmbient) * c3(p.ambient);
    const C3 diffuse = c3(lc) * df * c3(p.diffuse);
    const C3 specular = c3(lc) * s * c3(p.specular);
    expectColor(r.ambient, ambient);
    expectColor(r.diffuse, diffuse);
    expectColor(r.specular, specular);
    EXPECT_NEAR(r.diffuseIntensity, mean(c3(lc) * df), 1e-6);
    EXPECT_FLOAT_EQ(r.diffuseWeight, 1.0f);
    expectColor(out, ambient + diffuse + specular);

    // the record's tables
    EXPECT_EQ(r.channelCount, 8);
    EXPECT_EQ(r.supportedParams, 0x1f20ffeu);
    EXPECT_EQ(r.faceted, 0);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotGlossiness), 4);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotSpecularLevel), 3);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotBump), 8);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotReflection), 9);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotRefraction), 10);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotExtra), 11);
    EXPECT_FLOAT_EQ(r.channels[4].r, 0.3f);
    EXPECT_FLOAT_EQ(r.channels[3].r, 1.5f);
    EXPECT_EQ(kor::illumChannelType(&r, 3), kChannelMono);
    EXPECT_EQ(kor::illumChannelType(&r, 8), 1);
}

TEST_F(BlinnTest, SoftenEasesTheHighlightOnlyBelowTheSoftenLevel) {
    useLights({3});
    const Color lc = {1, 1, 1, 1};
    const V3 L = unitd({0.9, 0.0, 0.5});
    script(3, {sample(lc, f3(L))});
    const double df = L.z;
    const V3 H = unitd(L + V3{0, 0, 1});
    const double e = 4.0 * std::pow(2.0, 10.0 * 0.3);
    for (float soften : {0.0f, 0.3f, 0.9f}) {
        kor::BlinnParams p = blinnParams();
        p.soften = soften;
        p.specular = {1, 1, 1, 1};
        IllumRecord r = newRecord();
        Color out;
        kor_base_BlinnIllumination(&out, &state, &p, &r);
        double nh = H.z;
        if (soften != 0.0f && soften > df) {
            const double x = df / soften;
            nh *= x * (2.0 - x);
        }
        const double s = std::pow(nh, e) * 1.5;
        EXPECT_NEAR(r.specular.r, s, 1e-5 * std::max(1.0, s)) << "soften " << soften;
        EXPECT_FLOAT_EQ(r.soften, soften);
    }
}

TEST_F(BlinnTest, SelfIllumination) {
    useLights({3});
    script(3, {sample({1, 1, 1, 1}, {0, 0, 1})});
    kor::BlinnParams p = blinnParams();
    p.specularLevel = 0;
    p.selfIllumAmount = 0.4f;
    IllumRecord r = newRecord();
    Color out;
    kor_base_BlinnIllumination(&out, &state, &p, &r);
    expectColor(r.selfIllum, c3(p.diffuse) * 0.4);
    expectColor(r.diffuse, C3{1, 1, 1} * 0.6 * c3(p.diffuse));
    expectColor(r.ambient, c3(kSceneAmbient) * 0.6 * c3(p.ambient));

    // full self-illumination shows the diffuse colour alone
    p.selfIllumAmount = 1.0f;
    r = newRecord();
    kor_base_BlinnIllumination(&out, &state, &p, &r);
    expectColor(r.diffuse, {0, 0, 0});
    expectColor(r.ambient, {0, 0, 0});
    expectColor(out, c3(p.diffuse));

    // a self-illumination colour is added, diffuse and ambient untouched
    p.useSelfIllumColor = 1;
    p.selfIllumColor = {0.1f, 0.7f, 2.0f, 1.0f};
    r = newRecord();
    kor_base_BlinnIllumination(&out, &state, &p, &r);
    expectColor(r.selfIllum, {0.1, 0.7, 1.0});
    expectColor(r.diffuse, c3(p.diffuse));
}

// ---------------------------------------------------------------------------
// Phong, Constant, Metal.

using PhongTest = IllumTest;

TEST_F(PhongTest, MirrorHighlightAndTheConstantTwin) {
    useLights({3});
    state.dir = f3(unitd({0.3, 0.0, -1.0}));
    const V3 L = unitd({0.2, 0.1, 1.0});
    const Color lc = {0.7f, 0.8f, 0.9f, 1};
    script(3, {sample(lc, f3(L))});
    const V3 V = v3(state.dir);
    const V3 N = {0, 0, 1};
    const V3 R = unitd(V - N * (2.0 * dotd(N, V)));
    const double s = std::pow(dotd(R, L), std::pow(2.0, 10.0 * 0.3)) * 1.5;
    kor::BlinnParams p = blinnParams();
    IllumRecord r = newRecord();
    Color out;
    kor_base_PhongIllumination(&out, &state, &p, &r);
    expectColor(r.specular, c3(lc) * s * c3(p.specular));
    expectColor(r.diffuse, c3(lc) * L.z * c3(p.diffuse));
    EXPECT_EQ(r.faceted, 0);

    IllumRecord rc = newRecord();
    Color outc;
    kor_base_ConstantIllumination(&outc, &state, &p, &rc);
    expectColor(rc.specular, c3(r.specular));
    expectColor(outc, c3(out));
    EXPECT_EQ(rc.faceted, 1);
}

using MetalTest = IllumTest;

// Near the normal the conductor's Fresnel term is about its normal
// reflectance, so the highlight takes the diffuse colour; at the mirror
// direction of a view 53 degrees off the normal (L.H = 0.6) it turns towards
// white.
TEST_F(MetalTest, FresnelTintedHighlightAndDimmedDiffuse) {
    const struct {
        V3 view, light;
    } cases[] = {{{0.2, 0.1, -1.0}, {-0.1, 0.05, 1.0}}, {{0.8, 0.0, -0.6}, {0.8, 0.0, 0.6}}};
    kor::BlinnParams p = blinnParams();
    p.specularLevel = 0.6f;
    p.glossiness = 0.5f;
    IllumRecord r;
    for (const auto &g : cases) {
        SCOPED_TRACE(g.view.z);
        useLights({3});
        state.dir = f3(unitd(g.view));
        const V3 L = unitd(g.light);
        const Color lc = {0.9f, 0.7f, 0.5f, 1};
        script(3, {sample(lc, f3(L))});
        r = newRecord();
        Color out;
        kor_base_MetalIllumination(&out, &state, &p, &r);

        const V3 N = {0, 0, 1}, V = v3(state.dir);
        const double rough = 1.0 - 0.5, m2 = 1.0 / (rough * rough);
        const double nv = -dotd(N, V);
        const V3 H = unitd(L - V);
        const double nh = dotd(N, H), lh = dotd(L, H);
        const double G = 2.0 * nh * std::min(L.z, nv) / -dotd(V, H);
        ASSERT_GT(G, 0.0);
        const double rho = mean(c3(p.diffuse));
        const double kappa = 2.0 * std::sqrt(rho) / std::sqrt(1.0 - rho);
        const double k2 = kappa * kappa + 1.0, c = lh;
        const double fr = 0.5 * ((k2 - 2 * c + c * c) / (k2 + 2 * c + c * c) +
                                 (k2 * c * c - 2 * c + 1) / (k2 * c * c + 2 * c + 1));
        const double f = (fr - rho) / (1.0 - rho);
        const C3 tint = c3(p.diffuse) * (1.0 - f) + C3{f, f, f};
        const double q = 1.0 / (nh * nh);
        const double term = 0.6 * q * (1.0 / (2.0 * kPiD)) * q * m2 * std::exp((1.0 - q) * m2) *
                            std::min(G, 1.0) / (nv + 0.05);
        expectColor(r.specular, tint * c3(lc) * term, 1e-4);
        expectColor(r.diffuse, c3(lc) * L.z * (1.0 - 0.6) * c3(p.diffuse));
        EXPECT_NEAR(r.diffuseIntensity, mean(c3(lc) * L.z * 0.4), 1e-6);
    }

    // the reflection map is tinted by the diffuse colour
    Color refl = {1, 1, 1, 1};
    r.affectReflection(&state, &r, &refl);
    expectColor(refl, c3(p.diffuse));
}

// ---------------------------------------------------------------------------
// Anisotropic, Multi-layer.

// A(gloss, aniso, orient, L, T) worked out in double precision.
double anisoA(double gloss, double aniso, double orient, V3 L, V3 V, V3 N, V3 T) {
    const double ax = (1 - gloss) * 0.485 + 0.015;
    const double ay = 0.015 + (1 - gloss) * 0.485 * (1 - aniso);
    const V3 H = unitd(L - V);
    const double nh = dotd(N, H);
    if (nh <= 0) return 0;
    const double nv = std::max(-dotd(N, V), 0.001);
    const double g = std::min(3.0, 1.0 / std::sqrt(dotd(N, L) * nv));
    // T turned about N (= z) by orient x 180 degrees
    const double a = orient * kPiD;
    const V3 Tr = {T.x * std::cos(a) - T.y * std::sin(a), T.x * std::sin(a) + T.y * std::cos(a),
                   T.z};
    const V3 B = crossd(Tr, N);
    const double u = dotd(H, Tr) / ax, v = dotd(H, B) / ay;
    return 0.5 * 2.6525824 * g * std::exp(-2 * (u * u + v * v) / (1 + nh));
}

using AnisotropicTest = IllumTest;

TEST_F(AnisotropicTest, EllipticalHighlightAlongTheReferenceDirection) {
    useLights({3});
    state.dir = f3(unitd({0.25, 0.1, -1.0}));
    const V3 L = unitd({0.1, 0.3, 1.0});
    const Color lc = {0.6f, 0.7f, 0.8f, 1};
    script(3, {sample(lc, f3(L))});
    kor::AnisotropicParams p{};
    p.ambient = {0.1f, 0.1f, 0.1f, 1};
    p.diffuse = {0.4f, 0.5f, 0.6f, 1};
    p.specular = {0.9f, 0.9f, 0.8f, 1};
    p.diffuseLevel = 1.2f;
    p.specularLevel = 2.0f;
    p.glossiness = 0.6f;
    p.anisotropy = 0.7f;
    p.orientation = 45.0f;
    const V3 N = {0, 0, 1}, V = v3(state.dir);
    // the object's z axis lies along the normal, so the reference is y
    const V3 T = {0, 1, 0};
    for (bool energy : {false, true}) {
        IllumRecord r = newRecord(energy);
        Color out;
        kor_base_AnisotropicIllumination(&out, &state, &p, &r);
        EXPECT_FLOAT_EQ(r.channels[7].r, 45.0f / 1.8f);
        EXPECT_FLOAT_EQ(r.channels[0].a, 0.0f) << "alpha cleared";
        const double a = anisoA(0.6, 0.7, 45.0 / 1.8, L, V, N, T);
        const C3 spec = c3(lc) * (L.z * a * 2.0) * c3(p.specular);
        const C3 diff = c3(lc) * (1.2 * L.z) * c3(p.diffuse);
        const C3 amb = c3(kSceneAmbient) * c3(p.ambient);
        expectColor(r.specular, spec, 1e-4);
        expectColor(r.diffuse, diff);
        // energy combine: what lies under the highlight is dimmed by it
        C3 want = amb + diff + spec;
        if (energy) {
            const auto k = [](double s) { return std::min(1.0, std::max(0.0, 1.0 - s)); };
            const C3 under = amb + diff;
            want = C3{under.r * k(spec.r), under.g * k(spec.g), under.b * k(spec.b)} + spec;
        }
        expectColor(out, want, 1e-4);
    }
}

using MultiLayerTest = IllumTest;

TEST_F(MultiLayerTest, TwoLayersAddOrStackWithEnergy) {
    useLights({3});
    state.dir = f3(unitd({0.1, -0.2, -1.0}));
    const V3 L = unitd({0.05, 0.2, 1.0});
    const Color lc = {1.0f, 0.9f, 0.8f, 1};
    script(3, {sample(lc, f3(L))});
    kor::MultiLayerParams p{};
    p.diffuse = {0.5f, 0.5f, 0.5f, 1};
    p.diffuseLevel = 1.0f;
    p.layer[0] = {{0.8f, 0.6f, 0.4f, 1}, 1.5f, 0.7f, 0.2f, 0.0f};
    p.layer[1] = {{0.3f, 0.5f, 0.9f, 1}, 3.0f, 0.4f, 0.6f, 90.0f};
    const V3 N = {0, 0, 1}, V = v3(state.dir), T = {0, 1, 0};
    const double a1 = anisoA(0.7, 0.2, 0.0, L, V, N, T);
    const double a2 = anisoA(0.4, 0.6, 90.0 / 1.8, L, V, N, T);
    C3 first = c3(p.layer[0].color) * c3(lc) * (L.z * a1 * 1.5);
    first = {std::min(first.r, 1.0), std::min(first.g, 1.0), std::min(first.b, 1.0)};
    const C3 second = c3(p.layer[1].color) * c3(lc) * (L.z * a2 * 3.0);

    IllumRecord r = newRecord(false);
    Color out;
    kor_base_MultiLayerIllumination(&out, &state, &p, &r);
    expectColor(r.specular, first + second, 1e-4);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotSpecular), 4);
    EXPECT_EQ(kor::illumChannelType(&r, 5), kChannelLevelColor);

    IllumRecord e = newRecord(true);
    kor_base_MultiLayerIllumination(&out, &state, &p, &e);
    expectColor(
        e.specular,
        first + C3{(1 - first.r) * second.r, (1 - first.g) * second.g, (1 - first.b) * second.b},
        1e-4);
}

// ---------------------------------------------------------------------------
// Oren-Nayar-Blinn.

struct OnTerm {
    C3 color;
    double intensity;
};
OnTerm orenNayarD(V3 V, V3 N, V3 L, double sigma, C3 rho, double dotNL) {
    double ti = dotNL < 0.9999 ? std::acos(dotNL) : 0.0;
    ti = std::max(-1.5393804, std::min(1.5393804, ti));
    if (dotd(N, V) < 0) V = V * -1.0;
    const double cr = dotd(N, V);
    const double tr = cr < 0.9999 ? std::acos(cr) : 0.0;
    const double alpha = std::max(ti, tr), beta = std::min(ti, tr);
    const V3 lp = L - N * dotd(N, L), vp = V - N * dotd(N, V);
    const double lens = std::sqrt(dotd(lp, lp)) * std::sqrt(dotd(vp, vp));
    double cphi = lens < 0.0001 ? 1.0 : dotd(lp, vp) / lens;
    cphi = std::max(-1.0, std::min(1.0, cphi));
    const double s2 = sigma * sigma;
    const double c1 = 1 - 0.5 * s2 / (s2 + 0.33);
    const double bp = cphi >= 0 ? -beta : beta;
    const double c2 = 0.45 * s2 / (s2 + 0.09) * (std::sin(alpha) - std::pow(2 * bp / kPiD, 3));
    const double c3v = 0.125 * s2 / (s2 + 0.09) * std::pow(4 * alpha * beta / (kPiD * kPiD), 2);
    const double tb = std::max(-100.0, std::min(100.0, std::tan(beta)));
    const double th = std::max(-100.0, std::min(100.0, std::tan((alpha + beta) / 2)));
    const double l1 = c1 + cphi * c2 * tb + (1 - std::fabs(cphi)) * c3v * th;
    const double l2 = 0.17 * s2 / (s2 + 0.13) * (1 - cphi * std::pow(2 * beta / kPiD, 2));
    const auto ch = [&](double p) { return std::min(1.0, p * p * l2 + p * l1); };
    return {{ch(rho.r), ch(rho.g), ch(rho.b)}, l1 + l2};
}

using OrenNayarBlinnTest = IllumTest;

TEST_F(OrenNayarBlinnTest, RoughDiffuseAndBlinnHighlight) {
    useLights({3});
    state.dir = f3(unitd({0.5, 0.2, -1.0}));
    const V3 L = unitd({-0.6, 0.3, 1.0});
    const Color lc = {0.9f, 0.8f, 0.7f, 1};
    script(3, {sample(lc, f3(L))});
    kor::OrenNayarBlinnParams p{};
    p.blinn = blinnParams();
    p.diffuseLevel = 1.5f;
    p.roughness = 0.6f;
    IllumRecord r = newRecord();
    Color out;
    kor_base_OrenNayarBlinnIllumination(&out, &state, &p, &r);
    const V3 N = {0, 0, 1}, V = v3(state.dir);
    const OnTerm on = orenNayarD(V, N, L, 0.6 * kPiD / 2, c3(p.blinn.diffuse), L.z);
    expectColor(r.diffuse, c3(lc) * (1.5 * L.z) * on.color, 1e-4);
    EXPECT_NEAR(r.diffuseIntensity, L.z * on.intensity * mean(c3(lc)), 1e-4);
    const V3 H = unitd(L - V);
    const double s = std::pow(dotd(N, H), 4.0 * std::pow(2.0, 3.0)) * 1.5;
    expectColor(r.specular, c3(lc) * s * c3(p.blinn.specular), 1e-4);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotGlossiness), 3);
    EXPECT_EQ(kor::illumSlotChannel(&r, kSlotSpecularLevel), 4);
    EXPECT_FLOAT_EQ(r.channels[9].r, 0.6f);
}

// ---------------------------------------------------------------------------
// Strauss.

double straussF(double x) {
    x = std::max(0.0, std::min(1.0, x));
    return (1.0 / ((x - 1.12) * (x - 1.12)) - 0.7971939) / 68.64725;
}
double straussS(double x) {
    x = std::max(0.0, std::min(1.0, x));
    return (10000.02 - 1.0 / ((x - 1.01) * (x - 1.01))) / 9999.039;
}

using StraussTest = IllumTest;

TEST_F(StraussTest, DiffuseSpecularAndAmbient) {
    useLights({3});
    state.dir = f3(unitd({0.3, 0.0, -1.0}));
    const V3 L = unitd({0.28, 0.02, 1.0});
    const Color lc = {0.5f, 1.0f, 0.25f, 1};
    script(3, {sample(lc, f3(L))});
    kor::StraussParams p{{0.8f, 0.4f, 0.2f, 1}, 0.6f, 0.5f};
    shadeSetup.slots[kSlotOpacity] = {1, 0, 0, 0};
    IllumRecord r = newRecord();
    Color out;
    kor_base_StraussIllumination(&out, &state, &p, &r);

    const V3 N = {0, 0, 1}, V = v3(state.dir);
    const double g = 0.6, mu = 0.5, alpha = 1.0, g3 = g * g * g;
    const double rd = alpha * (1 - g3 * mu), rs = alpha * g3, j = 1 - mu * g;
    const double dotNL = L.z;
    const C3 c = c3(p.color);
    expectColor(r.diffuse, c3(lc) * (dotNL * j * rd) * c);
    expectColor(r.ambient, c3(kSceneAmbient) * c * (rd * 0.5));

    const V3 R = unitd(L - N * (2 * dotNL));
    double h = -dotd(V, R);
    ASSERT_LT(h, 0.0);
    const double sp = std::pow(-h, 3.0 / (1.0 - g)) * 1.3;
    const double tl = std::acos(dotNL) * 2 / kPiD, tv = std::acos(-dotd(N, V)) * 2 / kPiD;
    const double fl = straussF(tl);
    const double k = std::min(1.0, rs + (rs + 0.1) * fl * straussS(tl) * straussS(tv));
    const double m = 1.0;  // largest light component
    const C3 lp = c3(lc) * (1.0 / m);
    const C3 tint = lp + (c - lp) * ((1 - fl) * mu);
    expectColor(r.specular, tint * (k * sp * m), 1e-4);
    EXPECT_EQ(r.supportedParams, 0xa01480u);
    expectColor(out, c3(r.diffuse) + c3(r.ambient) + c3(r.specular));
}

// ---------------------------------------------------------------------------
// Translucent.

struct ThicknessHook {
    MaterialScratch *scratch;
    std::vector<float> thickness;  // per call, what the shadow rays measure
    int call = 0;
    std::vector<int> passFlags;
};
void raiseThickness(RenderState *, Tag, int, void *data) {
    auto *h = static_cast<ThicknessHook *>(data);
    h->passFlags.push_back(h->scratch->translucencyPass);
    const float t = h->call < static_cast<int>(h->thickness.size()) ? h->thickness[h->call] : 0.0f;
    ++h->call;
    h->scratch->thickness = std::max(h->scratch->thickness, t);
}

using TranslucentTest = IllumTest;

TEST_F(TranslucentTest, FrontAndBackTranslucencyWeightedByThickness) {
    useLights({3});
    const V3 L = unitd({0.2, 0.0, 1.0});
    const Color lc = {1.0f, 0.8f, 0.6f, 1};
    script(3, {sample(lc, f3(L))});
    // seen from behind the light arrives along the negated normal
    illum().lights[3].back = {sample({0.5f, 0.5f, 0.5f, 1}, {0, 0, -1}, {0, 0, -1})};
    MaterialScratch scratch{};
    ThicknessHook hook{&scratch, {0.0f, 2.0f}, 0, {}};
    illum().on_sample = raiseThickness;
    illum().hook_data = &hook;

    kor::TranslucentParams p{};
    p.ambient = {0.1f, 0.1f, 0.1f, 1};
    p.diffuse = {0.5f, 0.6f, 0.7f, 1};
    p.specular = {1, 1, 1, 1};
    p.translucentColor = {0.4f, 0.5f, 0.6f, 1};
    p.specularLevel = 1.0f;
    p.glossiness = 0.2f;
    p.diffuseLevel = 2.0f;
    IllumRecord r = newRecord();
    r.scratch = &scratch;
    Color out;
    kor_base_TranslucentIllumination(&out, &state, &p, &r);

    ASSERT_EQ(illum().light_calls.size(), 2u);
    EXPECT_EQ(illum().light_calls[1].inv_normal, 1);
    EXPECT_FLOAT_EQ(illum().light_calls[1].normal.z, -1.0f);
    EXPECT_EQ(hook.passFlags, (std::vector<int>{1, 1}));
    EXPECT_EQ(scratch.translucencyPass, 0) << "the pass mark ends with the light";
    EXPECT_EQ(state.inv_normal, 0);
    EXPECT_FLOAT_EQ(state.normal.z, 1.0f);

    const C3 tc = c3(p.translucentColor);
    const C3 front = c3(lc);  // ratio 1, thickness 0
    const double e = 0.93 + 0.069 * mean(tc);
    const double pw = std::pow(e, 2.0);
    const C3 back = C3{0.5, 0.5, 0.5} * ((3 - 2 * pw) * pw * pw);
    const C3 diffuseLight = c3(lc) * L.z;
    expectColor(r.transmitted, (back + front - diffuseLight) * tc, 1e-4);
    expectColor(r.diffuse, diffuseLight * c3(p.diffuse) * 2.0);
    EXPECT_NEAR(r.diffuseIntensity, mean(diffuseLight * c3(p.diffuse) * 2.0), 1e-5);
    const V3 H = unitd(L - v3(state.dir));
    expectColor(r.specular, c3(lc) * std::pow(H.z, 4.0 * std::pow(2.0, 2.0)), 1e-4);
}

// ---------------------------------------------------------------------------
// Ward.

// ---------------------------------------------------------------------------
// Shared steps.

TEST_F(IllumTest, TracedTransparencyBehindTheSurface) {
    useLights({});
    IllumMaterialParams material{};
    material.transparencyType = kTransparencyFilter;
    illum().transparent_color = {0.5f, 0.6f, 0.7f, 0.25f};
    kor::BlinnParams p = blinnParams();
    p.specularLevel = 0;
    shadeSetup.mapFlags = kMapFlagTransparent;
    shadeSetup.opacity = 0.4f;
    const Color F = {0.3f, 0.6f, 0.9f, 0};
    shadeSetup.slots[kSlotFilter] = F;
    IllumRecord r = newRecord();
    r.materialParams = &material;
    Color out;
    kor_base_BlinnIllumination(&out, &state, &p, &r);

    ASSERT_EQ(illum().transparent_depths.size(), 1u);
    EXPECT_EQ(illum().transparent_depths[0], 2) << "depth lowered by one during the trace";
    EXPECT_EQ(state.trace_depth, 3);
    EXPECT_TRUE(illum().transparent_key1[0]);
    EXPECT_EQ(illum().key1_words[0], (std::vector<int32_t>{1, 1}));
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_1", nullptr), nullptr);
    // o = 0.4 (no highlight): F lifted by (1 - 0.3)(1 - 0.8)
    const C3 T = {0.3 + 0.7 * 0.2, 0.6 + 0.7 * 0.2, std::min(1.0, 0.9 + 0.7 * 0.2)};
    expectColor(r.transparencyCopy, T);
    expectColor(r.transmitted, T * C3{0.5, 0.6, 0.7});
    expectColor(r.transparency, T * 0.75);
    EXPECT_FLOAT_EQ(r.diffuseWeight, 0.4f);

    // a reflection ray marks the trace as secondary; additive mode adds B unfiltered
    illum().reset();
    illum().transparent_color = {0.5f, 0.6f, 0.7f, 0.0f};
    material.transparencyType = kTransparencyAdditive;
    state.type = ZO_RAY_REFLECT;
    r = newRecord();
    r.materialParams = &material;
    kor_base_BlinnIllumination(&out, &state, &p, &r);
    EXPECT_EQ(illum().key1_words[0], (std::vector<int32_t>{1, 0}));
    expectColor(r.transmittedAdd, {0.5, 0.6, 0.7});
    expectColor(r.transmitted, {0, 0, 0});

    // with the transparency probe present nothing is traced
    illum().reset();
    TransparencyProbe probe{};
    kor::markStateKeyStored(kor::kOwnKeyTransparencyProbe);  // as the probing call does
    zo_shaderstate_set(&state, "KEY_3", &probe, sizeof probe, 2);
    r = newRecord();
    r.materialParams = &material;
    kor_base_BlinnIllumination(&out, &state, &p, &r);
    EXPECT_TRUE(illum().transparent_depths.empty());
    zo_shaderstate_set(&state, "KEY_3", nullptr, 0, 2);
}

// ---------------------------------------------------------------------------
// Exits and light meters.

using IllumExitTest = IllumTest;

TEST_F(IllumTest, LightMeterLightMapMeasuresOncePerPixel) {
    useLights({3});
    script(3, {sample({0.5f, 0.5f, 0.5f, 1}, f3(unitd({0.0, 0.6, 0.8})))});
    std::vector<Color> pixels(4 * 2, Color{0.3f, 0.3f, 0.3f, 0.5f});
    zoImage image{};
    image.width = 4;
    image.height = 2;
    image.data = pixels.data();
    illum().lightmaps[55] = &image;
    illum().radiance = {1.0f, 1.0f, 1.0f, 1};
    void *slot = nullptr;
    internal::host().user_slot = &slot;
    struct {
        Tag image;
        int32_t samples;
        float scale;
    } params = {55, 0, 2.0f};

    zoBoolean request = 0;
    kor_LightMeterLightMap_init(&state, nullptr, &request);
    EXPECT_TRUE(request);
    kor_LightMeterLightMap_init(&state, &params, &request);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(illum().edits, 1);
    for (const Color &c : pixels) expectColor(c, {0, 0, 0});

    state.type = ZO_RAY_LIGHTMAP;
    state.raster_x = 2.5f;
    state.raster_y = 1.2f;
    Color out;
    kor_LightMeterLightMap(&out, &state, &params);
    const Color &px = pixels[1 * 4 + 2];
    const double lum = 0.263 * 0.4 + 0.655 * 0.4 + 0.082 * 0.4;  // 0.5 x N.L 0.8
    const double rad = 0.263 + 0.655 + 0.082;
    EXPECT_NEAR(px.r, lum * 2 + rad * 2, 1e-5);
    EXPECT_NEAR(px.g, lum * 2, 1e-5);
    EXPECT_NEAR(px.b, rad * 2, 1e-5);
    EXPECT_FLOAT_EQ(px.a, 1.0f);
    EXPECT_EQ(illum().light_calls.size(), 1u) << "samples 0 measures once";

    // a measured pixel and negative positions are left alone
    kor_LightMeterLightMap(&out, &state, &params);
    state.raster_x = -1.0f;
    kor_LightMeterLightMap(&out, &state, &params);
    EXPECT_EQ(illum().radiance_calls, 1);

    state.type = ZO_RAY_LIGHTMAP_END;
    kor_LightMeterLightMap(&out, &state, &params);
    EXPECT_EQ(illum().edit_ends, 1);
    kor_LightMeterLightMap_exit(&state, &params);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(illum().edit_ends, 1);
    EXPECT_EQ(internal::host().allocations, internal::host().releases);
}

// The standard material leaves the channels past kIllumReachedChannels
// uncleared; a model whose slots or mapped channels reach past them and its
// own channels finds them cleared when it runs. Its own channels past
// kIllumReachedChannels, which its entry wrote before, are left as they are.
TEST(IllumLayoutTest, FarChannelsAreClearedForAModelThatReachesThem) {
    int32_t unmapped[kIllumChannelTypes], mapped22[kIllumChannelTypes];
    for (int c = 0; c < kIllumChannelTypes; ++c) unmapped[c] = mapped22[c] = kChannelSkip1;
    mapped22[22] = kChannelColor;
    const int32_t to13[kIllumSlotCount] = {0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 13};
    struct Case {
        const int32_t *slots, *types;
        int own, reached;
    } cases[] = {
        {nullptr, unmapped, 19, 23},  // slots 8..11 follow 19 own channels
        {to13, unmapped, 8, 14},      // explicit slots up to channel 13
        {to13, mapped22, 8, 23},      // a mapped channel type at 22
        {nullptr, unmapped, 17, 21},  // the widest model today: its slots past 17
    };
    static Color seen[kIllumChannels];
    for (const Case &k : cases) {
        const IllumModelLayout layout = kor::illumResolveLayout(k.slots, k.own, k.types);
        EXPECT_EQ(layout.reached, k.reached);
        kor::IllumModelTable table{};
        table.channelCount = k.own;
        table.layout = &layout;
        IllumRecord record;
        memset(&record, 0x7f, sizeof record);  // what an uncleared record may hold
        record.shade = [](Color *, RenderState *, IllumRecord *r, void *) -> zoBoolean {
            memcpy(seen, r->channels, sizeof seen);
            return 1;
        };
        Color result{};
        RenderState state{};
        ASSERT_TRUE(kor::illumRunModel(&result, &state, &record, table, 0.0f, nullptr));
        for (int c = kIllumReachedChannels; c < kIllumChannels; ++c) {
            const bool cleared =
                seen[c].r == 0 && seen[c].g == 0 && seen[c].b == 0 && seen[c].a == 0;
            EXPECT_EQ(cleared, c >= k.own && c < k.reached)
                << "channel " << c << " of a model with " << k.own << " channels reaching "
                << k.reached;
        }
    }
}

}  // namespace
