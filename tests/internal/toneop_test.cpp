// Exposure controls: the logarithmic curve and its inverse, the
// pseudo-colour bands, and the lens protocol around the eye ray.
#include <gtest/gtest.h>

#include <cmath>

#include "internal/internal.h"
#include "kor_toneop.h"
#include "testhost/testhost_lens.h"

namespace {

struct LogParams {
    zoBoolean active = 1;
    float physicalScale = 1500;
    zoBoolean colorCorrection = 0;
    zoBoolean desaturateLowLevels = 0;
    Color whiteColor{1, 1, 1, 1};
    zoBoolean processBackground = 0;
    float brightness = 50;
    float contrast = 50;
    float midTones = 1;
    zoBoolean daylightMode = 0;
    zoBoolean daylightStrong = 0;
    zoBoolean useLuminance = 0;
};

struct PseudoParams {
    float minimum = 0;
    float maximum = 100;
    int32_t unitsMode = 0;
    int32_t displayMode = 0;
    float scale = 1;
    int32_t unused = 0;
    zoBoolean linear = 1;
    zoBoolean footCandles = 0;
    zoBoolean active = 1;
    zoBoolean processBackground = 0;
    int32_t bandCount = 10;
};

}  // namespace

extern "C" {
void kor_ToneOpLog_init(RenderState *, void *, zoBoolean *);
void kor_ToneOpLog_exit(RenderState *, void *);
zoBoolean kor_ToneOpPseudo(Color *, RenderState *, PseudoParams *);
void kor_ToneOpPseudo_init(RenderState *, void *, zoBoolean *);
void kor_ToneOpPseudo_exit(RenderState *, void *);
}

namespace {

constexpr double kPi = 3.14159265358979;

TestLens &lens() {
    return *internal::host_object<TestLens>("testhost_lens");
}

class ToneOp : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        lens().reset();
        internal::host().user_slot = &slot;
        internal::host().call_type = ZO_CALL_LENS;
    }
    void TearDown() override {
        if (log_ready) kor_ToneOpLog_exit(&state, &log);
        if (pseudo_ready) kor_ToneOpPseudo_exit(&state, &pseudo);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    LogToneContext &init_log() {
        kor_ToneOpLog_init(&state, &log, nullptr);
        log_ready = true;
        return *static_cast<LogToneContext *>(slot);
    }
    PseudoToneContext &init_pseudo() {
        kor_ToneOpPseudo_init(&state, &pseudo, nullptr);
        pseudo_ready = true;
        return *static_cast<PseudoToneContext *>(slot);
    }

    void *slot = nullptr;
    RenderState state{};
    LogParams log;
    PseudoParams pseudo;
    bool log_ready = false, pseudo_ready = false;
};

TEST_F(ToneOp, DaylightAndWhiteBalance) {
    log.daylightMode = log.daylightStrong = 1;
    log.brightness = -5;  // clamped to 0
    log.colorCorrection = 1;
    log.whiteColor = {0.5f, 1.0f, 0.0f, 1};
    log.midTones = 2;
    LogToneContext &k = init_log();
    const double s = 5.5 * std::pow(10.0, -3.0 - 4.0);
    EXPECT_NEAR(k.a, 3 * s, 1e-6 * k.a);
    EXPECT_NEAR(k.c, 1.0, 1e-6) << "contrast term halves per mid-tone step";
    const double L = 0.263 * 0.5 + 0.655;
    EXPECT_NEAR(k.whiteBalance[0], L / 0.5, 1e-5);
    EXPECT_NEAR(k.whiteBalance[1], L / 1.0, 1e-5);
    EXPECT_NEAR(k.whiteBalance[2], L / 0.001, 1e-2);
}

TEST_F(ToneOp, ForwardCurvePerChannelAndByLuminance) {
    LogToneContext &k = init_log();
    Color c{0.2f, 0.0f, -1.0f, 0.5f};
    kor::logToneForward(&c, &state, &k);
    const double v = 0.2 * 1500 / kPi;
    EXPECT_NEAR(c.r, v * k.a / (k.b * v + k.c), 1e-6);
    EXPECT_EQ(c.g, 0.0f);
    EXPECT_EQ(c.b, 0.0f) << "negative channels go to 0";
    EXPECT_EQ(c.a, 0.5f) << "alpha untouched";

    k.perChannel = 0.0f;
    c = {0.2f, 0.4f, 0.1f, 1};
    kor::logToneForward(&c, &state, &k);
    const double f = 1500 / kPi;
    const double L = (0.263 * 0.2 + 0.655 * 0.4 + 0.082 * 0.1) * f;
    EXPECT_NEAR(c.g, 0.4 * f * k.a / (k.c + k.b * L), 1e-6);
}

TEST_F(ToneOp, InverseUndoesForward) {
    LogToneContext &k = init_log();
    for (float per_channel : {1.0f, 0.0f}) {
        k.perChannel = per_channel;
        for (Color x : {Color{0.01f, 0.02f, 0.03f, 1}, Color{0.5f, 0.25f, 0.125f, 1}}) {
            Color y = x;
            kor::logToneForward(&y, &state, &k);
            kor::logToneInverse(&y, &state, &k);
            EXPECT_NEAR(y.r, x.r, 1e-4 * x.r);
            EXPECT_NEAR(y.b, x.b, 1e-4 * x.b);
        }
    }
    Color black{0, 0, -1, 1};
    kor::logToneInverse(&black, &state, &k);
    EXPECT_EQ(black.r + black.g + black.b, 0.0f);
    // at or past saturation the divisor is held at 1e-7
    Color bright{1e6f, 0, 0, 1};
    kor::logToneInverse(&bright, &state, &k);
    EXPECT_NEAR(bright.r, k.c * 1e6 / 1e-7 / k.physicalFactor, 1e6);
}

TEST_F(ToneOp, DesaturationOfLowLevels) {
    log.desaturateLowLevels = 1;
    log.physicalScale = kPi;  // physical factor 1
    LogToneContext &k = init_log();
    Color dark{0.001f, 0.002f, 0.003f, 1};
    const float G = 0.062f * 0.001f + 0.608f * 0.002f + 0.33f * 0.003f;
    kor::logToneForward(&dark, &state, &k);
    EXPECT_FLOAT_EQ(dark.r, G * k.a / (k.b * G + k.c));
    EXPECT_FLOAT_EQ(dark.r, dark.b) << "grey below the threshold";
    // Half-way up the range (L = 0.00562 + 5.61438 / 2) a colour is half
    // itself, half its grey.
    const double x = (0.00562 + 5.61438 / 2) / 0.263, grey = 0.062 * x;
    Color red{static_cast<float>(x), 0, 0, 1};
    kor::logToneForward(&red, &state, &k);
    const double r = 0.5 * x + 0.5 * grey, g = 0.5 * grey;
    EXPECT_NEAR(red.r, r * k.a / (k.b * r + k.c), 1e-6);
    EXPECT_NEAR(red.g, g * k.a / (k.b * g + k.c), 1e-6);
}

TEST_F(ToneOp, PseudoColourBands) {
    pseudo.bandCount = 0;
    PseudoToneContext &k = init_pseudo();
    EXPECT_EQ(k.table.bandCount, 100);
    // the first band is blue, the last red
    EXPECT_GT(k.table.colors[0].b, 0.9f);
    EXPECT_LT(k.table.colors[0].r, 0.1f);
    EXPECT_GT(k.table.colors[99].r, 0.9f);
    EXPECT_LT(k.table.colors[99].b, 0.1f);
    // luminance at and above the maximum: the last band
    EXPECT_EQ(kor::pseudoBand(k.table, 100.0f, true), 99);
    EXPECT_EQ(kor::pseudoBand(k.table, 1e9f, true), 99);
    EXPECT_EQ(kor::pseudoBand(k.table, 49.99f, true), 49);
    EXPECT_EQ(kor::pseudoBand(k.table, -3.0f, true), 0);
    // logarithmic banding: log10((L + 1) / 1) * 100 / log10(101)
    EXPECT_EQ(kor::pseudoBand(k.table, 9.0f, false),
              int(std::log10(10.0) * 100 / std::log10(101.0)));
}

// The pseudo-colour lens maps a background whose sky reported high dynamic
// range on the eye ray, but not a colour handed in on an environment ray.
TEST_F(ToneOp, PseudoLensMapsABrightSkyOnlyOnTheEyeRay) {
    const PseudoToneContext &k = init_pseudo();
    lens().color = {50, 50, 50, 1};
    lens().hit = 1;   // the environment answered
    lens().dist = 0;  // but nothing was hit
    Color result{};
    EXPECT_TRUE(kor_ToneOpPseudo(&result, &state, &pseudo));
    EXPECT_EQ(result.r, 50.0f) << "a miss stays unmapped";
    lens().sky_hdr = 1;
    EXPECT_TRUE(kor_ToneOpPseudo(&result, &state, &pseudo));
    // L = 50 (0.263 + 0.655 + 0.082) = 50 on 0..100 in 10 bands: band 5
    EXPECT_EQ(result.r, k.table.colors[5].r);
    internal::host().call_type = ZO_CALL_OUTPUT;
    state.type = ZO_RAY_ENVIRONMENT;
    const int32_t bright = 1;
    zo_shaderstate_set(&state, "SKY_IS_HDR", &bright, sizeof bright, 2);
    result = {50, 50, 50, 1};
    EXPECT_TRUE(kor_ToneOpPseudo(&result, &state, &pseudo));
    EXPECT_EQ(result.r, 50.0f) << "environment rays need processBackground";
}

}  // namespace
