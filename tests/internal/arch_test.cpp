// The architectural material: diffuse light and the microfacet highlight
// under a scripted light against the formulas, the traced mirror weight,
// thin surfaces, cutout, metal mode, emitted luminance, shadows through the
// transparency and the instance block's lifetime.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "illum.h"
#include "internal/internal.h"
#include "kor_arch.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_rtmtl.h"
#include "testhost/testhost_scene.h"

// The declared record of the material.
using ArchRecord = ArchitecturalParams;

extern "C" {
zoBoolean kor_ArchitecturalMaterial(Color *, RenderState *, ArchRecord *);
void kor_ArchitecturalMaterial_init(RenderState *, void *, zoBoolean *);
void kor_ArchitecturalMaterial_exit(RenderState *, void *);
}

namespace {

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}

TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

Color map_colour;
int32_t map_mode = -1;
zoBoolean fixed_map(void *result, RenderState *, void *, void *arg) {
    map_mode = arg ? static_cast<const int32_t *>(arg)[0] : -1;
    *static_cast<Color *>(result) = map_colour;
    return 1;
}

TestRtmtlHost &rt() {
    return *internal::host_object<TestRtmtlHost>("testhost_rtmtl");
}

constexpr Tag kLight = 500, kInstance = 40, kMap = 70;
constexpr float kTol = 1e-4f;
constexpr double kPi = 3.14159265358979;

Vector3 unit(Vector3 v) {
    const float l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / l, v.y / l, v.z / l};
}

// Formulas, worked in double.
double fresnel(double n, double c) {
    if (c < 0) {
        n = 1 / n;
        c = -c;
    }
    const double k = 1 - (1 - c * c) / (n * n);
    if (k < 0.0001) return 1;
    const double r = std::sqrt(k);
    const double rs = (c - n * r) / (c + n * r), rp = (n * c - r) / (r + n * c);
    return (rs * rs + rp * rp) * 0.5;
}
double shadowingG(double m, double c) {
    c = std::fabs(c);
    const double a = (c / std::sqrt(1.0001 - c * c)) / m;
    const double f = 1 - 0.5 * std::exp(-a);
    return f / (f + 1 / (2 * std::sqrt(kPi) * a));
}
double distD(double m, double h) {
    const double q = m * m + 0.000001, h2 = h * h;
    return std::exp(-((1.0001 - h2) / h2) / q) / (h2 * q * h2);
}
double metalN(double r) {
    r = std::min(std::max(r, 0.01), 0.99);
    const double a = 1 - r, b = -2 * (1 + r), c = 1.25 * (1 - r);
    return (-b + std::sqrt(b * b - 4 * a * c)) / (2 * a);
}
double metalF(double n, double c) {
    const double p = n * n + 0.25;
    return 0.5 * ((c * c * p - 2 * n * c + 1) / (c * c * p + 2 * n * c + 1) +
                  (c * c + p - 2 * n * c) / (c * c + 2 * n * c + p));
}

class ArchitecturalMaterial : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        functions().reset();
        rt().reset();
        functions().functions[kMap] = {fixed_map, nullptr};
        internal::host().thread_pointers = true;
        internal::host().user_slot = &slot;
        record.tag = 92;
        state.shader = &record;
        state.options = &options;
        state.instance = kInstance;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = unit({0.6f, 0, -0.8f});
        state.dot_nd = -0.8f;
        options.trace = 1;
        options.trace_depth = options.reflection_depth = options.refraction_depth = 4;
        list.count = 1;
        list.lights[0] = kLight;
        internal::scene().light_lists[kInstance] = 400;
        internal::host().data_blocks[400] = &list;
        std::memset(&m, 0, sizeof m);
        m.diffuseColor = {0.5f, 0.4f, 0.3f, 1};
        m.shininess = 0.5f;
        m.ior = 1.5f;
        m.intensity = 1;
        m.cutout = 1;
        m.luminanceScale = 1;
        illum().trace_ok = 0;
        illum().transparent_ok = 0;
    }
    void init() {
        zoBoolean instances = 0;
        kor_ArchitecturalMaterial_init(&state, nullptr, &instances);
        EXPECT_TRUE(instances);
        kor_ArchitecturalMaterial_init(&state, &m, nullptr);
        initialised = true;
    }
    void TearDown() override {
        if (initialised) kor_ArchitecturalMaterial_exit(&state, &m);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    void light(Color colour, Vector3 dir) {
        TestLightSample s;
        s.color = colour;
        s.dir = dir;
        s.dot_nl = dir.z;
        illum().lights[kLight].samples = {s};
    }
    Color shade() {
        Color c{9, 9, 9, 9};
        last = kor_ArchitecturalMaterial(&c, &state, &m);
        return c;
    }

    void *slot = nullptr;
    zoOptions options{};
    zoShaderRecord record{};
    RenderState state{};
    IllumLightList list{};
    ArchRecord m;
    zoBoolean last = 0;
    bool initialised = false;
};

// Opaque dielectric: diffuse B (1 - F(ior, sqrt((NV + 1) / 2))) N.L, the
// highlight GV/NV F(ior, NH) G(m, NL)/NL D(m, NH)/pi N.L, the mirror trace
// weighted by e GV^2 F(ior, NV).
TEST_F(ArchitecturalMaterial, DielectricDiffuseHighlightAndMirror) {
    init();
    const Vector3 L = unit({-0.3f, 0.2f, 0.9f});
    const Color lc = {1.0f, 0.8f, 0.6f, 1};
    light(lc, L);
    illum().trace_ok = 1;
    illum().trace_color = {0.2f, 0.4f, 0.6f, 1};
    const Color c = shade();
    EXPECT_TRUE(last);

    const double s = 0.5, mSlope = 0.2 * (1 - s);
    const double R = 0.1 * std::log(s) / std::log(0.5);
    const double NV = 0.8;
    const double GV = shadowingG(mSlope, NV);
    const double x = 12.566371 * R * NV;
    const double e = std::exp(-(x * x) / 0.2916);
    const double FV = fresnel(1.5, NV);
    const double F2 = fresnel(1.5, std::sqrt((NV + 1) / 2));
    const double Wr = e * GV * GV * FV;
    const Vector3 V = state.dir;
    const Vector3 H = unit({L.x - V.x, L.y - V.y, L.z - V.z});
    const double NL = L.z, NH = H.z;
    const double Ws =
        GV / NV * fresnel(1.5, NH) * shadowingG(mSlope, NL) / NL * distD(mSlope, NH) / kPi;
    const double B[3] = {0.5, 0.4, 0.3}, lcol[3] = {lc.r, lc.g, lc.b};
    const double tr[3] = {0.2, 0.4, 0.6};
    const float got[3] = {c.r, c.g, c.b};
    for (int i = 0; i < 3; ++i) {
        const double want = B[i] * (1 - F2) * lcol[i] * NL + Ws * lcol[i] * NL + tr[i] * Wr;
        EXPECT_NEAR(got[i], want, kTol * std::max(1.0, want)) << i;
    }
    EXPECT_FLOAT_EQ(c.a, 1.0f);
    EXPECT_EQ(illum().reflection_traces, 1);
}

// Cutout 0: only the transparent trace shows, its alpha becomes the alpha.
TEST_F(ArchitecturalMaterial, CutoutZeroShowsOnlyWhatLiesBehind) {
    m.cutout = 0;
    init();
    light({1, 1, 1, 1}, {0, 0, 1});
    illum().transparent_ok = 1;
    illum().transparent_color = {0.3f, 0.5f, 0.7f, 0.25f};
    const Color c = shade();
    EXPECT_NEAR(c.r, 0.3f, kTol);
    EXPECT_NEAR(c.g, 0.5f, kTol);
    EXPECT_NEAR(c.b, 0.7f, kTol);
    EXPECT_NEAR(c.a, 0.25f, kTol);
}

// Metal: no diffuse light; the highlight is coloured by the conductor
// Fresnel of the base colour plus lobe/pi x B; without tracing e = 0.
TEST_F(ArchitecturalMaterial, MetalColoursItsHighlight) {
    m.metalMode = 1;
    options.trace_depth = 0;
    init();
    const Vector3 L = unit({-0.3f, 0.2f, 0.9f});
    light({1, 1, 1, 1}, L);
    illum().trace_ok = 1;  // traced, but weighted by e = 0
    illum().trace_color = {5, 5, 5, 1};
    const Color c = shade();
    const double s = 0.5, mSlope = 0.2 * (1 - s), lobe = 0.25 * (1 - s) * (1 - s) + 0.01;
    const double NV = 0.8, GV = shadowingG(mSlope, NV);
    const Vector3 V = state.dir;
    const Vector3 H = unit({L.x - V.x, L.y - V.y, L.z - V.z});
    const double NL = L.z, NH = H.z;
    const double base = GV / NV * shadowingG(mSlope, NL) / NL * distD(mSlope, NH) / kPi;
    const double B[3] = {0.5, 0.4, 0.3};
    const float got[3] = {c.r, c.g, c.b};
    for (int i = 0; i < 3; ++i) {
        const double ws = base * metalF(metalN(B[i]), NH) + lobe / kPi * B[i];
        EXPECT_NEAR(got[i], ws * NL, kTol * std::max(1.0, ws)) << i;
    }
}

// Translucency: the light is sampled again from the back (normal negated,
// inside flag set) and the back light x Cl = B x (1 - t) x translucency
// joins the colour.
TEST_F(ArchitecturalMaterial, TranslucencyAddsTheBackLight) {
    m.ior = 1.0f;
    m.translucency = 0.5f;
    init();
    TestLightSample front, back;
    front.color = back.color = {1, 1, 1, 1};
    front.dot_nl = 0.8f;
    back.dot_nl = 0.6f;
    illum().lights[kLight].samples = {front};
    illum().lights[kLight].back = {back};
    const Color c = shade();
    ASSERT_EQ(illum().light_calls.size(), 2u);
    EXPECT_EQ(illum().light_calls[1].inv_normal, 1);
    EXPECT_FLOAT_EQ(illum().light_calls[1].normal.z, -1.0f);
    EXPECT_EQ(state.inv_normal, 0);
    EXPECT_NEAR(c.r, 0.5f * 0.8f + 0.6f * 0.5f * 0.5f, kTol);
    EXPECT_NEAR(c.g, 0.4f * 0.8f + 0.6f * 0.4f * 0.5f, kTol);
    EXPECT_NEAR(c.b, 0.3f * 0.8f + 0.6f * 0.3f * 0.5f, kTol);
}

// Refraction: the traced colour weighted by Wt = B t GV^2 e (1 - F(ior, NV))
// joins the mirror trace; what the refraction leaves see-through,
// (1 - traced alpha) Wt, lowers the alpha. Later calls allocate nothing.
TEST_F(ArchitecturalMaterial, RefractionWeightAndAlpha) {
    m.transparency = 0.8f;
    init();
    illum().trace_ok = 1;
    illum().trace_color = {0.2f, 0.4f, 0.6f, 0.5f};
    const Color c = shade();
    EXPECT_EQ(illum().refraction_traces, 1);
    const double s = 0.5, mSlope = 0.2 * (1 - s);
    const double R = 0.1 * std::log(s) / std::log(0.5);
    const double NV = 0.8, GV = shadowingG(mSlope, NV);
    const double x = 12.566371 * R * NV, e = std::exp(-(x * x) / 0.2916);
    const double FV = fresnel(1.5, NV);
    const double a = GV * GV * e * (1 - FV), Wr = e * GV * GV * FV;
    const double B[3] = {0.5, 0.4, 0.3}, tc[3] = {0.2, 0.4, 0.6};
    const float got[3] = {c.r, c.g, c.b};
    double X = 0;
    for (int i = 0; i < 3; ++i) {
        const double Wt = B[i] * 0.8 * a;
        EXPECT_NEAR(got[i], tc[i] * Wt + tc[i] * Wr, kTol) << i;
        X += 0.5 * Wt;
    }
    EXPECT_NEAR(c.a, 1 - X / 3, kTol);

    const long before = internal::host().allocations;
    for (int k = 0; k < 5; ++k) shade();
    EXPECT_EQ(internal::host().allocations, before);
}

}  // namespace
