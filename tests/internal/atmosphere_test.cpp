// The volume light: its record, step function and noise density, and its
// march through a spot light's cone with a scripted light sample; the
// lights list and the light-ray dimming; init and exit balance. (The fog is
// proven by render checks.)
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "atm_vlight.h"
#include "internal/internal.h"
#include "kor_support.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_atmosphere.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_lights.h"

extern "C" {
zoBoolean kor_VolumeLight(Color *, RenderState *, VolumeLightParams *);
void kor_VolumeLight_init(RenderState *, void *, zoBoolean *);
void kor_VolumeLight_exit(RenderState *, void *);
zoBoolean kor_SpotLight(Color *, RenderState *, SpotLightParams *, VolumeMarchRequest *);
void kor_SpotLight_init(RenderState *, void *, zoBoolean *);
void kor_SpotLight_exit(RenderState *, void *);
}

namespace {

constexpr double kTol = 1e-5;

TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}
TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestLights &lights() {
    return *internal::host_object<TestLights>("testhost_lights");
}
TestAtmosphere &atmosphere() {
    return *internal::host_object<TestAtmosphere>("testhost_atmosphere");
}

void expectColor(const Color &c, double r, double g, double b, double a, double tol = kTol) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
    EXPECT_NEAR(c.a, a, tol);
}

// ---------------------------------------------------------------------------
// Volume light.

// A volume light record with room for a list of eight lights.
struct VolumeLightRecord {
    VolumeLightParams p{};
    Tag more[7] = {};
};

// A light that notes what the volume light handed it.
struct LightCall {
    Tag shader;
    VolumeMarchRequest request;
    bool keyPresent;
    Tag keyLight;
    int32_t march;
    int callType;
};
std::vector<LightCall> lightCalls;

zoBoolean notingLight(void *result, RenderState *state, void *params, void *arg) {
    LightCall call{};
    call.shader = static_cast<Tag>(reinterpret_cast<uintptr_t>(params));
    call.request = *static_cast<VolumeMarchRequest *>(arg);
    int size = 0;
    auto *rec =
        static_cast<VolumeSampleRecord *>(zo_shaderstate_get(state, KOR_KEY_VOLUME_SAMPLE, &size));
    call.keyPresent = rec != nullptr;
    call.keyLight = rec ? rec->light : 0;
    call.march = state->march;
    lightCalls.push_back(call);
    // the light scatters a fixed amount into the accumulator
    static_cast<Color *>(result)->r += 0.1f;
    static_cast<Color *>(result)->g += 0.2f;
    static_cast<Color *>(result)->b += 0.3f;
    return 1;
}

// The real spot light, run with its own instance slot.
void *spotSlot = nullptr;
zoBoolean spotLight(void *result, RenderState *state, void *params, void *arg) {
    void **saved = internal::host().user_slot;
    internal::host().user_slot = &spotSlot;
    const zoBoolean ok =
        kor_SpotLight(static_cast<Color *>(result), state, static_cast<SpotLightParams *>(params),
                      static_cast<VolumeMarchRequest *>(arg));
    internal::host().user_slot = saved;
    return ok;
}

// The sampled light leaves this attenuation in "KEY_4".
float scriptedAttenuation = 1.0f;
void writeAttenuation(RenderState *state, Tag, int, void *) {
    int size = 0;
    auto *rec =
        static_cast<VolumeSampleRecord *>(zo_shaderstate_get(state, KOR_KEY_VOLUME_SAMPLE, &size));
    if (rec) rec->attenuation = scriptedAttenuation;
}

class VolumeLight : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        functions().reset();
        lights().reset();
        illum().reset();
        atmosphere().reset();
        lightCalls.clear();
        spotSlot = nullptr;
        scriptedAttenuation = 1.0f;
        internal::host().user_slot = &slot;
        state.camera = &camera;
        state.options = &options;
        state.type = ZO_RAY_EYE;
        state.march = 1;
        VolumeLightParams &v = rec.p;
        v.fogColor = {1.0f, 0.9f, 0.6f, 1.0f};
        v.density = 50.0f;  // 0.1 per step
        v.lightLimit = 90.0f;
        v.noiseSize = 20.0f;
        v.startPercent = 100.0f;
        v.endPercent = 100.0f;
        v.samples = 2;  // six steps
        v.attenuationMultiplier = 2.0f;
        v.on = 1;
        v.lights.start = 0;
        v.lights.count = 1;
        v.lights[0] = 40;
        atmosphere().light_instances[40] = 40;
        atmosphere().light_shaders[40] = 300;
    }
    void TearDown() override {
        if (ready) kor_VolumeLight_exit(&state, &rec.p);
        if (spotReady) {
            internal::host().user_slot = &spotSlot;
            kor_SpotLight_exit(&state, &spot);
        }
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "init/exit balance";
    }
    const VolumeMarchParams &init() {
        if (ready) kor_VolumeLight_exit(&state, &rec.p);
        zoBoolean request = 0;
        kor_VolumeLight_init(&state, nullptr, &request);
        EXPECT_TRUE(request);
        kor_VolumeLight_init(&state, &rec.p, nullptr);
        ready = true;
        return *static_cast<const VolumeMarchParams *>(slot);
    }
    // The real spot light at the origin shining down -z with a 45 degree
    // half-angle, registered as shader 300 of light 40.
    void useSpot() {
        spot.on = 1;
        spot.color = {1, 1, 1, 1};
        spot.multiplier = 1;
        spot.hotspot = 80;
        spot.falloff = 90;
        spot.circular = 1;
        spot.aspect = 1;
        internal::host().user_slot = &spotSlot;
        kor_SpotLight_init(&state, &spot, nullptr);
        internal::host().user_slot = &slot;
        spotReady = true;
        functions().functions[300] = {spotLight, &spot};
    }
    void useNotingLights() {
        for (Tag shader : {300u, 301u, 302u})
            functions().functions[shader] = {notingLight,
                                             reinterpret_cast<void *>(uintptr_t(shader))};
    }
    // The scripted sample that the spot light's march finds at every step.
    void scriptSample(Color c) {
        TestLightSample s;
        s.color = c;
        illum().lights[40].samples = {s};
        illum().on_sample = writeAttenuation;
    }
    // An eye ray from `org` to the hit `point`.
    Color shade(Color colour, Vector3 org, Vector3 point) {
        state.org = org;
        state.point = point;
        const Vector3 d = {point.x - org.x, point.y - org.y, point.z - org.z};
        const double len = std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z);
        state.dist = len;
        state.dir = {float(d.x / len), float(d.y / len), float(d.z / len)};
        EXPECT_TRUE(kor_VolumeLight(&colour, &state, &rec.p));
        return colour;
    }
    // The ray colour c (alpha a) after the blend by the accumulator.
    Color blended(const Color &c, double r, double g, double b, double limit) const {
        r = std::min(r, limit), g = std::min(g, limit), b = std::min(b, limit);
        const double m = std::max(r, std::max(g, b));
        const Color &F = rec.p.fogColor;
        return Color{float(c.r + (F.r - c.r) * r), float(c.g + (F.g - c.g) * g),
                     float(c.b + (F.b - c.b) * b), float(c.a + m * (1.0 - c.a))};
    }
    long marchSteps() const { return long(illum().light_calls.size()); }

    void *slot = nullptr;
    RenderState state{};
    zoCamera camera{};
    zoOptions options{};
    VolumeLightRecord rec;
    SpotLightParams spot{};
    bool ready = false, spotReady = false;
    const Color base = {0.1f, 0.2f, 0.3f, 0.4f};
};

TEST_F(VolumeLight, StepFunction) {
    VolumeLightParams &v = rec.p;
    v.lightFloor = 10.0f;  // 0.1 per unit length
    v.attenuationColor = {0.5f, 0.25f, 1.0f, 1.0f};
    const VolumeMarchParams &m = init();
    const zoRay ray = {{0, 0, 0}, {1, 0, 0}};

    // a black sample still gets the floor: 2 units x 0.1
    Color acc = {0, 0, 0, 1};
    const Color black = {0, 0, 0, 0};
    EXPECT_TRUE(kor::volumeLightStep(&acc, &v, &m, &ray, 3.0f, 5.0f, &black, 0.5f));
    expectColor(acc, 0.1 * 0.2, 0.1 * 0.2, 0.1 * 0.2, 1.0);

    // with the attenuation colour: k = (1 - a) a D l attenuationFactor
    v.lightFloor = 0.0f;
    v.useAttenuationColor = 1;
    const VolumeMarchParams &m2 = init();
    acc = {0, 0, 0, 1};
    const Color S = {0.8f, 0.6f, 0.4f, 0.0f};
    const double a = 0.25, D = 0.1, l = 2.0, k = (1 - a) * a * D * l * 4.0;
    EXPECT_TRUE(kor::volumeLightStep(&acc, &v, &m2, &ray, 3.0f, 5.0f, &S, float(a)));
    expectColor(acc, D * (a * 0.8 + k * 0.5), D * (a * 0.6 + k * 0.25), D * (a * 0.4 + k * 1.0),
                1.0);
    // a black sample without a floor adds nothing
    Color same = acc;
    EXPECT_TRUE(kor::volumeLightStep(&same, &v, &m2, &ray, 3.0f, 5.0f, &black, 0.5f));
    expectColor(same, acc.r, acc.g, acc.b, acc.a);

    // the march stops once every channel has reached the limit ...
    v.useAttenuationColor = 0;
    v.lightLimit = 10.0f;
    const VolumeMarchParams &m3 = init();
    const Color white = {1, 1, 1, 0};
    acc = {0.05f, 0.05f, -0.2f, 1};
    EXPECT_TRUE(kor::volumeLightStep(&acc, &v, &m3, &ray, 0, 1, &white, 1));
    acc = {0.05f, 0.05f, 0.05f, 1};
    EXPECT_FALSE(kor::volumeLightStep(&acc, &v, &m3, &ray, 0, 1, &white, 1));
    // ... but not with the exponential sum
    v.exponential = 1;
    acc = {0.05f, 0.05f, 0.05f, 1};
    EXPECT_TRUE(kor::volumeLightStep(&acc, &v, &m3, &ray, 0, 1, &white, 1));
}

TEST_F(VolumeLight, NoiseDensity) {
    VolumeLightParams &v = rec.p;
    v.noiseSize = 10.0f;
    v.noiseUniformity = 0.5f;
    const VolumeMarchParams &m = init();
    const Vector3 p = {13.7f, -4.2f, 8.9f};
    const Vector3 q = {1.37f, -0.42f, 0.89f};
    const double n = kor::noise3(q);
    EXPECT_NEAR(kor::volumeNoiseDensity(v, m, p), std::max(0.0, (n + 0.5) / 1.5), kTol);
    v.invertNoise = 1;
    EXPECT_NEAR(kor::volumeNoiseDensity(v, m, p), 1.0 - std::max(0.0, (n + 0.5) / 1.5), kTol);
    v.invertNoise = 0;

    // fractal: 2.5 levels are octaves 1 and 1/2, and half of the octave 1/4
    v.noiseType = kVolumeNoiseFractal;
    v.noiseLevels = 2.5f;
    const Vector3 q2 = {q.x * 2, q.y * 2, q.z * 2}, q4 = {q.x * 4, q.y * 4, q.z * 4};
    const double fractal = n + kor::noise3(q2) / 2 + 0.5 * kor::noise3(q4) / 4;
    EXPECT_NEAR(kor::volumeNoiseDensity(v, m, p), std::max(0.0, (fractal + 0.5) / 1.5), kTol);
    v.noiseType = kVolumeNoiseTurbulence;
    const double turbulent =
        (std::fabs(n) + std::fabs(kor::noise3(q2)) / 2 + 0.5 * std::fabs(kor::noise3(q4)) / 4) * 4 -
        1;
    EXPECT_NEAR(kor::volumeNoiseDensity(v, m, p), std::max(0.0, (turbulent + 0.5) / 1.5), kTol);

    // wind: the point moves by wind x phase x strength; phase noise
    v.noiseType = kVolumeNoiseRegular;
    v.noiseWind = 1;
    v.windDirection = 1;  // +y
    v.noisePhase = 0.7f;
    v.windStrength = 3.0f;
    const VolumeMarchParams &mw = init();
    const double nw = kor::noise4(1.37f, (-4.2f + 2.1f) / 10.0f, 0.89f, 0.7f);
    EXPECT_NEAR(kor::volumeNoiseDensity(v, mw, p), std::max(0.0, (nw + 0.5) / 1.5), 1e-4);
    v.noiseWind = 0;

    // thresholds: equal ones pass the density through; otherwise remapped
    v.noiseUniformity = 0.0f;
    v.noiseLow = v.noiseHigh = 0.3f;
    const VolumeMarchParams &mt = init();
    const double plain = std::max(0.0, n);
    EXPECT_NEAR(kor::volumeNoiseDensity(v, mt, p), plain, kTol);
    v.noiseLow = -1.0f;
    v.noiseHigh = 1.0f;
    const VolumeMarchParams &mr = init();
    EXPECT_NEAR(kor::volumeNoiseDensity(v, mr, p), (plain + 1.0) / 2.0, kTol);
    v.noiseLow = 2.0f;
    v.noiseHigh = 3.0f;
    EXPECT_EQ(kor::volumeNoiseDensity(v, init(), p), 0.0f);
    v.noiseLow = -3.0f;
    v.noiseHigh = -2.0f;
    EXPECT_EQ(kor::volumeNoiseDensity(v, init(), p), 1.0f);
}

TEST_F(VolumeLight, MarchThroughSpotCone) {
    useSpot();
    scriptSample({0.5f, 0.25f, 1.0f, 0.0f});
    init();
    // lit for |x| <= 10 at z = -10: entry 90, exit 110; six steps
    const Color c = shade(base, {-100, 0, -10}, {100, 0, -10});
    EXPECT_EQ(marchSteps(), 6);
    const double D = 0.1;
    const Color e = blended(base, 6 * D * 0.5, 6 * D * 0.25, 6 * D * 1.0, 0.9);
    expectColor(c, e.r, e.g, e.b, e.a);

    // with the attenuation colour the light's attenuation takes part
    rec.p.useAttenuationColor = 1;
    rec.p.attenuationColor = {0.2f, 0.4f, 0.6f, 1.0f};
    scriptedAttenuation = 0.5f;
    init();
    illum().light_calls.clear();
    const Color ca = shade(base, {-100, 0, -10}, {100, 0, -10});
    EXPECT_EQ(marchSteps(), 6);
    const double a = 0.5, l = 20.0 / 6, k = (1 - a) * a * D * l * 4.0;
    const Color ea = blended(base, 6 * D * (a * 0.5 + k * 0.2), 6 * D * (a * 0.25 + k * 0.4),
                             6 * D * (a * 1.0 + k * 0.6), 0.9);
    expectColor(ca, ea.r, ea.g, ea.b, ea.a);
    rec.p.useAttenuationColor = 0;

    // the exponential sum
    rec.p.exponential = 1;
    init();
    const Color cx = shade(base, {-100, 0, -10}, {100, 0, -10});
    const Color ex =
        blended(base, 1 - std::exp(-0.3), 1 - std::exp(-0.15), 1 - std::exp(-0.6), 0.9);
    expectColor(cx, ex.r, ex.g, ex.b, ex.a);
    rec.p.exponential = 0;

    // a hit short of the cone gets nothing; a ray past it misses the cone
    init();
    illum().light_calls.clear();
    expectColor(shade(base, {-100, 0, -10}, {-50, 0, -10}), base.r, base.g, base.b, base.a);
    expectColor(shade(base, {-100, 50, -10}, {100, 50, -10}), base.r, base.g, base.b, base.a);
    EXPECT_EQ(marchSteps(), 0);
}

}  // namespace
