// Output and video shaders: the video legaliser against its formulas for
// both standards and all methods, the frame walk of the output shaders,
// super black, the G-buffer channels of eye samples, gamma-corrected
// lookups, the material editor background and the light-level contours.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "internal/internal.h"
#include "kor_contour.h"
#include "kor_toneop.h"
#include "kor_videocc.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_lens.h"
#include "testhost/testhost_output.h"

namespace {

struct GBufferParams {
    zoBoolean unused0 = 0;
    zoBoolean nodeChannel1 = 1;
    zoBoolean nodeChannel2 = 1;
    zoBoolean unused3 = 0;
    zoBoolean textureChannel = 1;
    zoBoolean motionChannel = 1;
};

struct MeditParams {
    zoBoolean active = 1;
    Color color{0.1f, 0.2f, 0.3f, 0.4f};
    Tag texture = 0;
};

struct GammaParams {
    Tag texture = 0;
};

struct ContrastParams {
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

struct LightlinesParams {
    float width = 2.5f;
};

}  // namespace

extern "C" {
zoBoolean kor_base_VideoColorCorrect(void *, RenderState *, VideoColorCorrectParams *);
void kor_base_VideoColorCorrect_init(RenderState *, void *, zoBoolean *);
void kor_base_VideoColorCorrect_exit(RenderState *, void *);
zoBoolean kor_base_VideoSuperBlack(void *, RenderState *, VideoSuperBlackParams *);
zoBoolean kor_base_GBuffer(Color *, RenderState *, GBufferParams *);
zoBoolean kor_base_GBuffer_lens(Color *, RenderState *, GBufferParams *);
zoBoolean kor_base_ImageCollector(void *, RenderState *, void *);
zoBoolean kor_base_ImageGammaCorrect(Color *, RenderState *, GammaParams *, const Vector3 *);
void kor_base_ImageGammaCorrect_init(RenderState *, void *, zoBoolean *);
void kor_base_ImageGammaCorrect_exit(RenderState *, void *);
zoBoolean kor_base_MeditBackground(Color *, RenderState *, MeditParams *);
void kor_base_MeditBackground_init(RenderState *, void *, zoBoolean *);
void kor_base_MeditBackground_exit(RenderState *, void *);
zoBoolean contour_store_light(void *, int *, RenderState *, const Color *);
zoBoolean contour_contrast_light_levels(void *, void *, RenderState *, ContrastParams *);
void contour_contrast_light_levels_init(RenderState *, void *, zoBoolean *);
void contour_contrast_light_levels_exit(RenderState *, void *);
zoBoolean contour_shader_lightlines(ContourOutput *, void *, void *, RenderState *,
                                    LightlinesParams *);
}

namespace {

TestBitmapHost &fb_host() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}
TestIllumHost &illum_host() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestOutputHost &output_host() {
    return *internal::host_object<TestOutputHost>("testhost_output");
}
TestLens &lens() {
    return *internal::host_object<TestLens>("testhost_lens");
}

// ---------------------------------------------------------------------------
// The legaliser's formulas, worked out here on their own.

struct Standard {
    double setup, gamma;
    double m[9];
};

const Standard kNtsc{
    7.5, 2.2, {0.2989, 0.5866, 0.1144, 0.5959, -0.2741, -0.3218, 0.2113, -0.5227, 0.3113}};
const Standard kPal{
    0.0, 2.8, {0.2989, 0.5866, 0.1144, -0.1473, -0.2891, 0.4364, 0.6149, -0.5145, -0.1004}};

struct Legalised {
    bool legal;
    Color color;
};

Legalised legalise(const Standard &s, int method, Color c) {
    const double chromaLimit = 50.0 / (100.0 - s.setup);
    const double compositeLimit = (110.0 - s.setup) / (100.0 - s.setup);
    const long chromaScaled = long(chromaLimit * 8192 + 0.5);
    const long compositeScaled = long(compositeLimit * 8192 + 0.5);
    const double e[3] = {std::pow(c.r, 1 / s.gamma), std::pow(c.g, 1 / s.gamma),
                         std::pow(c.b, 1 / s.gamma)};
    auto dot = [&](int row) {
        return s.m[3 * row] * e[0] + s.m[3 * row + 1] * e[1] + s.m[3 * row + 2] * e[2];
    };
    const long Y = long(8192 * dot(0)), C1 = long(8192 * dot(1)), C2 = long(8192 * dot(2));
    const long chroma2 = C1 * C1 + C2 * C2;
    if (chroma2 <= chromaScaled * chromaScaled &&
        chroma2 <= (compositeScaled - Y) * (compositeScaled - Y))
        return {true, c};
    Color out = c;
    const double y = Y / 8192.0;
    const double ch = std::hypot(C1 / 8192.0, C2 / 8192.0);
    if (method == 0) {
        out.r = out.g = out.b = 0;
    } else if (method == 1) {
        const double k = std::min(chromaLimit / ch, compositeLimit / (ch + y));
        const double f = std::pow(k, s.gamma);
        out.r = float(c.r * f);
        out.g = float(c.g * f);
        out.b = float(c.b * f);
    } else {
        const double k = std::min(chromaLimit / ch, (compositeLimit - y) / ch);
        const double L = dot(0);
        out.r = float(std::pow(L + (e[0] - L) * k, s.gamma));
        out.g = float(std::pow(L + (e[1] - L) * k, s.gamma));
        out.b = float(std::pow(L + (e[2] - L) * k, s.gamma));
    }
    return {false, out};
}

void expect_color(const Color &got, const Color &want, float tolerance, const char *what) {
    EXPECT_NEAR(got.r, want.r, tolerance) << what;
    EXPECT_NEAR(got.g, want.g, tolerance) << what;
    EXPECT_NEAR(got.b, want.b, tolerance) << what;
    EXPECT_EQ(got.a, want.a) << what;
}

// A frame of Color pixels that the output doubles hand out as buffer 0.
struct Frame {
    Frame(int w, int h) : pixels(w * h, Color{0, 0, 0, 1}) {
        image.width = w;
        image.height = h;
        image.comp = 4;
        image.bits = 32;
        image.type = ZO_IMG_TYPE_RGBA_FP;
        image.data = pixels.data();
    }
    Color &at(int x, int y) { return pixels[y * image.width + x]; }
    std::vector<Color> pixels;
    zoImage image{};
};

class Video : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        fb_host().reset();
        illum_host().reset();
        output_host().reset();
        lens().reset();
        internal::host().user_slot = &slot;
        internal::host().call_type = ZO_CALL_OUTPUT;
    }
    void TearDown() override {
        if (video_ready) kor_base_VideoColorCorrect_exit(&state, &video);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    VideoCorrectState &init_video(int method, int standard) {
        video.method = method;
        video.standard = standard;
        zoBoolean request = 0;
        kor_base_VideoColorCorrect_init(&state, nullptr, &request);
        EXPECT_EQ(request, 1);
        EXPECT_EQ(slot, nullptr) << "the shader-level init only asks for instances";
        kor_base_VideoColorCorrect_init(&state, &video, nullptr);
        video_ready = true;
        return *static_cast<VideoCorrectState *>(slot);
    }

    void *slot = nullptr;
    RenderState state{};
    VideoColorCorrectParams video{0, 0};
    bool video_ready = false;
};

TEST_F(Video, StateOfBothStandards) {
    VideoCorrectState s;
    kor::videoStateSetup(&s, KOR_VIDEO_NTSC, 1);
    EXPECT_EQ(s.setup, 7.5);
    EXPECT_EQ(s.gamma, 2.2);
    EXPECT_DOUBLE_EQ(s.inverseGamma, 1 / 2.2);
    EXPECT_DOUBLE_EQ(s.chromaLimit, 50 / 92.5);
    EXPECT_DOUBLE_EQ(s.compositeLimit, 102.5 / 92.5);
    EXPECT_EQ(s.chromaLimitSquaredScaled, 4428 * 4428);  // 0.54054 * 8192 = 4428.1
    EXPECT_EQ(s.compositeLimitScaled, 9078);             // 1.10811 * 8192 = 9077.6
    EXPECT_EQ(s.matrix[3], 0.5959);
    EXPECT_EQ(s.matrix[8], 0.3113);
    EXPECT_EQ(s.lastModified, 0);
    EXPECT_EQ(s.lastColor.r, -1.0f);
    EXPECT_EQ(s.lastColor.a, -1.0f);

    kor::videoStateSetup(&s, KOR_VIDEO_PAL, 1);
    EXPECT_EQ(s.setup, 0.0);
    EXPECT_EQ(s.gamma, 2.8);
    EXPECT_EQ(s.chromaLimitSquaredScaled, 4096 * 4096);
    EXPECT_EQ(s.compositeLimitScaled, 9011);
    EXPECT_EQ(s.matrix[3], -0.1473);
    EXPECT_EQ(s.matrix[6], 0.6149);
}

TEST_F(Video, LegaliserAgainstItsFormulas) {
    const Color colours[] = {
        {0.5f, 0.5f, 0.5f, 1},   // grey: no chroma
        {0.2f, 0.3f, 0.25f, 1},  // muted
        {1, 0, 0, 0.5f},         // saturated red: beyond the chroma limit
        {1, 1, 0, 1},            // yellow: within chroma, beyond composite
        {0, 0, 1, 1},            // blue: legal
        {0.9f, 0.1f, 0.8f, 1},   // pink: legal
        {1, 0, 1, 1},            // magenta
        {0, 1, 1, 1},            // cyan
        {0, 1, 0, 1},            // green
        {2.0f, 1.5f, 0.2f, 1},   // over-range
    };
    int illegal = 0;
    for (const Standard *standard : {&kNtsc, &kPal}) {
        for (int method : {0, 1, 2}) {
            VideoCorrectState s;
            kor::videoStateSetup(&s, standard == &kPal ? KOR_VIDEO_PAL : KOR_VIDEO_NTSC, method);
            for (const Color &c : colours) {
                const Legalised want = legalise(*standard, method, c);
                Color got = c;
                EXPECT_EQ(kor::videoLegalise(&s, &got), !want.legal)
                    << c.r << " " << c.g << " " << c.b << " method " << method;
                expect_color(got, want.color, 2e-5f, "legalised colour");
                EXPECT_EQ(s.lastModified, want.legal ? 0 : 1);
                illegal += !want.legal;
            }
        }
    }
    EXPECT_GT(illegal, 12) << "the chosen colours exercise the corrections";

    // yellow is legal by chroma alone but has no composite headroom (NTSC)
    VideoCorrectState s;
    kor::videoStateSetup(&s, KOR_VIDEO_NTSC, 1);
    Color yellow{1, 1, 0, 1};
    EXPECT_TRUE(kor::videoLegalise(&s, &yellow));
    EXPECT_LT(yellow.r, 1.0f);
}

TEST_F(Video, RepeatedColoursReuseTheLastResult) {
    VideoCorrectState s;
    kor::videoStateSetup(&s, KOR_VIDEO_NTSC, 1);
    Color grey{0.4f, 0.4f, 0.4f, 1};
    EXPECT_FALSE(kor::videoLegalise(&s, &grey));
    Color again{0.4f, 0.4f, 0.4f, 0.25f};
    EXPECT_FALSE(kor::videoLegalise(&s, &again)) << "same as a legal last colour";
    EXPECT_EQ(again.a, 0.25f);

    Color red{1, 0, 0, 1};
    ASSERT_TRUE(kor::videoLegalise(&s, &red));
    const Color stored = s.lastColor;
    EXPECT_EQ(stored.r, red.r);
    // a colour equal to the stored corrected one takes all four of its channels
    Color same{red.r, red.g, red.b, 0.5f};
    EXPECT_TRUE(kor::videoLegalise(&s, &same));
    EXPECT_EQ(same.a, 1.0f);
    EXPECT_EQ(same.r, stored.r);
    // the next identical illegal pixel comes out the same
    Color red2{1, 0, 0, 1};
    EXPECT_TRUE(kor::videoLegalise(&s, &red2));
    EXPECT_EQ(red2.r, stored.r);
    EXPECT_EQ(red2.g, stored.g);
}

TEST_F(Video, LegalFramesAreReadBackwardsAndNeverWritten) {
    init_video(1, KOR_VIDEO_NTSC);
    Frame frame(3, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            frame.at(x, y) = Color{0.1f * x + 0.2f, 0.3f, 0.1f * y + 0.25f, 1};
    output_host().images[0] = &frame.image;
    const std::vector<Color> before = frame.pixels;
    EXPECT_TRUE(kor_base_VideoColorCorrect(nullptr, &state, &video));
    EXPECT_EQ(illum_host().pixel_writes, 0);
    EXPECT_EQ(std::memcmp(before.data(), frame.pixels.data(), before.size() * sizeof(Color)), 0);
    const std::vector<std::pair<int, int>> order = {{2, 1}, {1, 1}, {0, 1}, {2, 0}, {1, 0}, {0, 0}};
    EXPECT_EQ(internal::host().pixel_reads, order);
    EXPECT_EQ(output_host().opened, std::vector<int>{0});
    EXPECT_EQ(output_host().closed, std::vector<int>{0});
}

TEST_F(Video, IllegalPixelsAreCorrectedInTheFrame) {
    init_video(0, KOR_VIDEO_PAL);
    Frame frame(4, 1);
    frame.at(0, 0) = Color{0.5f, 0.5f, 0.5f, 1};
    frame.at(1, 0) = Color{1, 0, 0, 0.75f};
    frame.at(2, 0) = Color{1, 0, 0, 0.5f};
    frame.at(3, 0) = Color{1, 0, 1, 0.25f};
    output_host().images[0] = &frame.image;
    EXPECT_TRUE(kor_base_VideoColorCorrect(nullptr, &state, &video));
    EXPECT_EQ(illum_host().pixel_writes, 3);
    expect_color(frame.at(0, 0), Color{0.5f, 0.5f, 0.5f, 1}, 0, "legal grey");
    expect_color(frame.at(3, 0), Color{0, 0, 0, 0.25f}, 0, "magenta to black, alpha kept");
    expect_color(frame.at(2, 0), Color{0, 0, 0, 0.5f}, 0, "red to black, alpha kept");
    expect_color(frame.at(1, 0), Color{0, 0, 0, 0.75f}, 0, "the neighbour, alpha kept");

    // the method is read on every run
    video.method = 1;
    frame.at(1, 0) = Color{1, 0, 0, 1};
    frame.at(2, 0) = Color{0.5f, 0.5f, 0.5f, 1};
    frame.at(3, 0) = Color{0.5f, 0.5f, 0.5f, 1};
    EXPECT_TRUE(kor_base_VideoColorCorrect(nullptr, &state, &video));
    expect_color(frame.at(1, 0), legalise(kPal, 1, Color{1, 0, 0, 1}).color, 2e-5f, "scaled red");
}

TEST_F(Video, WithoutAFrameOrInstanceNothingHappens) {
    EXPECT_FALSE(kor_base_VideoColorCorrect(nullptr, &state, &video)) << "no instance data";
    init_video(1, KOR_VIDEO_NTSC);
    EXPECT_FALSE(kor_base_VideoColorCorrect(nullptr, &state, &video)) << "no frame";
    EXPECT_TRUE(internal::host().pixel_reads.empty());
}

TEST_F(Video, UnknownStandardWarnsAndFallsBackToNtsc) {
    VideoCorrectState &s = init_video(1, 7);
    EXPECT_EQ(s.gamma, 2.2);
    ASSERT_EQ(internal::host().messages.size(), 1u);
    EXPECT_NE(internal::host().messages[0].find("warning"), std::string::npos);
}

TEST_F(Video, SuperBlackLiftsCoveredPixelsOnly) {
    Frame frame(2, 2);
    frame.at(0, 0) = Color{0, 0, 0, 0};            // uncovered black: untouched
    frame.at(1, 0) = Color{0.01f, 0.5f, 0.0f, 1};  // covered
    frame.at(0, 1) = Color{0.2f, 0.3f, 0.4f, 0.5f};
    frame.at(1, 1) = Color{-0.5f, 0.02f, 0.1f, 0.001f};
    output_host().images[0] = &frame.image;
    VideoSuperBlackParams p{16};
    const float t = 16 / 255.0f;
    EXPECT_TRUE(kor_base_VideoSuperBlack(nullptr, &state, &p));
    expect_color(frame.at(0, 0), Color{0, 0, 0, 0}, 0, "alpha 0");
    expect_color(frame.at(1, 0), Color{t, 0.5f, t, 1}, 0, "lifted");
    expect_color(frame.at(0, 1), Color{0.2f, 0.3f, 0.4f, 0.5f}, 0, "above the level");
    expect_color(frame.at(1, 1), Color{t, t, 0.1f, 0.001f}, 0, "negative lifted too");
    EXPECT_EQ(illum_host().pixel_writes, 3);
    const std::vector<std::pair<int, int>> order = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    EXPECT_EQ(internal::host().pixel_reads, order);
    EXPECT_EQ(output_host().closed, std::vector<int>{0});
}

// ---------------------------------------------------------------------------

class GBuffer : public Video {
  protected:
    void SetUp() override {
        Video::SetUp();
        internal::host().call_type = ZO_CALL_MATERIAL;
        node.gbufferValue1 = 11;
        node.gbufferValue2 = 22;
        state.instance = 5;
        state.type = ZO_RAY_EYE;
        state.point = {1, 2, -4};
        internal::scene().instance_data[5] = 77;
        internal::host().data_blocks[77] = &node;
        internal::scene().textures = 2;
        output_host().texture_spaces[0] = {0.25f, 0.5f, 0.75f};
        fb_host().vector_buffers = {4, 5, 6};
    }
    std::vector<TestFbPut> puts(int buffer) {
        std::vector<TestFbPut> out;
        for (const TestFbPut &p : fb_host().fb_puts)
            if (p.buffer == buffer) out.push_back(p);
        return out;
    }
    NodeData node{};
    GBufferParams params;
};

TEST_F(GBuffer, EyeSamplesWriteEveryRequestedChannel) {
    state.motion = {0.5f, 0, -1};
    Color result{9, 9, 9, 9};
    EXPECT_TRUE(kor_base_GBuffer(&result, &state, &params));
    EXPECT_EQ(result.r, 9.0f) << "the result is never written";
    ASSERT_EQ(fb_host().fb_puts.size(), 5u);
    EXPECT_EQ(puts(1).at(0).word, 11);
    EXPECT_EQ(puts(2).at(0).word, 22);
    const Vector3 t = puts(4).at(0).vector, tail = puts(5).at(0).vector;
    EXPECT_EQ(t.x, 0.25f);
    EXPECT_EQ(t.y, 0.5f);
    EXPECT_EQ(t.z, 0.75f);
    EXPECT_EQ(tail.x, 0.5f);
    EXPECT_EQ(tail.y, 0.75f);
    const Vector3 m = puts(6).at(0).vector;  // camera space coincides here
    EXPECT_EQ(m.x, 1.5f);
    EXPECT_EQ(m.y, 2.0f);
    EXPECT_EQ(m.z, -5.0f);
    EXPECT_EQ(output_host().interpolated, std::vector<int>{0});
}

TEST_F(GBuffer, ChannelsFollowTheirSwitchesAndTheScene) {
    params.nodeChannel1 = 0;
    params.textureChannel = 0;
    EXPECT_TRUE(kor_base_GBuffer(nullptr, &state, &params));
    EXPECT_EQ(fb_host().fb_puts.size(), 1u) << "node 2 only; no motion";
    EXPECT_EQ(puts(2).size(), 1u);

    fb_host().fb_puts.clear();
    params = GBufferParams{};
    internal::scene().textures = 0;
    internal::scene().instance_data.clear();
    EXPECT_TRUE(kor_base_GBuffer(nullptr, &state, &params));
    EXPECT_TRUE(fb_host().fb_puts.empty()) << "no node data, no texture space, no motion";

    state.instance = 0;
    state.motion = {0, 1, 0};
    internal::scene().textures = 2;
    EXPECT_TRUE(kor_base_GBuffer(nullptr, &state, &params));
    ASSERT_EQ(fb_host().fb_puts.size(), 1u) << "without an instance only motion";
    EXPECT_EQ(fb_host().fb_puts[0].buffer, 6);
}

TEST_F(GBuffer, SecondaryRaysWriteNothing) {
    state.motion = {1, 0, 0};
    for (int type : {ZO_RAY_REFLECT, ZO_RAY_REFRACT, ZO_RAY_TRANSPARENT, ZO_RAY_SHADOW,
                     ZO_RAY_ENVIRONMENT, ZO_RAY_FINALGATHER}) {
        state.type = type;
        EXPECT_TRUE(kor_base_GBuffer(nullptr, &state, &params)) << type;
    }
    EXPECT_TRUE(fb_host().fb_puts.empty());
    EXPECT_TRUE(internal::host().queries.empty());
}

TEST_F(GBuffer, LensTracesThenWritesRasterMotion) {
    zoCamera camera{};
    camera.focal = 1;
    camera.aperture = 2;
    camera.x_resolution = 100;
    camera.y_resolution = 80;
    state.camera = &camera;
    state.raster_x = 60.5f;
    state.raster_y = 30.5f;
    state.bary[0] = 0.5f;
    state.bary[1] = 0.25f;
    state.bary[2] = 0.25f;
    internal::scene().triangles[{ZO_TRI_MOTION, 0}] = {Vector3{0, 0, 0}, Vector3{0.4f, 0, 0},
                                                       Vector3{0, 0.8f, 0}};
    lens().color = {0.3f, 0.2f, 0.1f, 1};
    Color result{};
    EXPECT_TRUE(kor_base_GBuffer_lens(&result, &state, &params));
    EXPECT_EQ(lens().traces, 1);
    EXPECT_EQ(result.r, 0.3f);
    ASSERT_EQ(puts(6).size(), 1u);
    // moved point (1.1, 2.2, -4), projected with 100 / 2 pixels per unit at depth 1
    const float scale = 50.0f;
    const float rx = 50 + scale * 1.1f / 4, ry = 40 + scale * 2.2f / 4;
    const Vector3 m = puts(6)[0].vector;
    EXPECT_NEAR(m.x, rx - 60.5f, 1e-4);
    EXPECT_NEAR(m.y, ry - 30.5f, 1e-4);
    EXPECT_EQ(m.z, 0.0f);
    EXPECT_EQ(puts(1).size(), 1u);
    EXPECT_EQ(puts(4).size(), 1u);

    // a surface without motion vectors moves nowhere
    fb_host().fb_puts.clear();
    internal::scene().triangles.clear();
    EXPECT_TRUE(kor_base_GBuffer_lens(&result, &state, &params));
    ASSERT_EQ(puts(6).size(), 1u);
    EXPECT_EQ(puts(6)[0].vector.x, 0.0f);
    EXPECT_EQ(puts(6)[0].vector.y, 0.0f);
}

TEST_F(GBuffer, LensWritesNothingWithoutAHit) {
    lens().hit = 0;
    lens().color = {0.5f, 0.5f, 0.5f, 1};
    Color result{};
    EXPECT_FALSE(kor_base_GBuffer_lens(&result, &state, &params));
    EXPECT_EQ(result.g, 0.5f);
    lens().hit = 1;
    state.instance = 0;
    EXPECT_TRUE(kor_base_GBuffer_lens(&result, &state, &params));
    EXPECT_TRUE(fb_host().fb_puts.empty());
    EXPECT_TRUE(kor_base_ImageCollector(nullptr, &state, nullptr));
}

// ---------------------------------------------------------------------------

class Lookup : public Video {
  protected:
    void SetUp() override {
        Video::SetUp();
        internal::host().call_type = ZO_CALL_TEXTURE;
        scene_data.gamma = 2.0f;
        options.userdata = 40;
        internal::host().data_blocks[40] = &scene_data;
        state.options = &options;
        internal::host().shaders[9] = TestShaderBehaviour{1, true, {0.25f, 0.5f, 1.0f, 0.5f}};
    }
    void TearDown() override {
        if (gamma_ready) kor_base_ImageGammaCorrect_exit(&state, &gamma);
        if (medit_ready) kor_base_MeditBackground_exit(&state, &medit);
        Video::TearDown();
    }
    // entry trunc(x * 8191 + 0.5) of the table for `exponent`
    static float corrected(float x, double exponent) {
        return float(std::pow(long(x * 8191.0 + 0.5) / 8191.0, exponent));
    }
    SceneData scene_data{};
    zoOptions options{};
    GammaParams gamma;
    MeditParams medit;
    bool gamma_ready = false, medit_ready = false;
};

TEST_F(Lookup, ImageLookupAppliesTheSceneGamma) {
    zoBoolean request = 0;
    kor_base_ImageGammaCorrect_init(&state, nullptr, &request);
    EXPECT_EQ(request, 1);
    EXPECT_EQ(slot, nullptr);
    kor_base_ImageGammaCorrect_init(&state, &gamma, nullptr);
    gamma_ready = true;
    EXPECT_EQ(internal::host().allocations, 2) << "the holder and the table";
    gamma.texture = 9;
    const Vector3 coord{0.3f, 0.6f, 0};
    Color result{};
    EXPECT_TRUE(kor_base_ImageGammaCorrect(&result, &state, &gamma, &coord));
    EXPECT_NEAR(result.r, corrected(0.25f, 2.0), 1e-7);
    EXPECT_NEAR(result.g, corrected(0.5f, 2.0), 1e-7);
    EXPECT_EQ(result.b, 1.0f);
    EXPECT_EQ(result.a, 0.5f);
    ASSERT_EQ(internal::host().texture_coords.size(), 1u);
    EXPECT_EQ(internal::host().texture_coords[0].y, 0.6f);
}

TEST_F(Lookup, AGammaOfOneLeavesColoursAlone) {
    scene_data.gamma = 1.0f;
    kor_base_ImageGammaCorrect_init(&state, &gamma, nullptr);
    gamma_ready = true;
    EXPECT_EQ(internal::host().allocations, 1);
    gamma.texture = 9;
    Color result{};
    const Vector3 coord{0, 0, 0};
    EXPECT_TRUE(kor_base_ImageGammaCorrect(&result, &state, &gamma, &coord));
    EXPECT_EQ(result.r, 0.25f);
    EXPECT_EQ(result.g, 0.5f);
}

TEST_F(Lookup, EditorBackgroundPatternAndFlatColour) {
    kor_base_MeditBackground_init(&state, &medit, nullptr);
    medit_ready = true;
    Color result{};
    medit.active = 0;
    EXPECT_TRUE(kor_base_MeditBackground(&result, &state, &medit));
    EXPECT_EQ(result.b, 0.3f);
    EXPECT_EQ(result.a, 0.4f);

    medit.active = 1;
    zoCamera camera{};
    camera.x_resolution = 80;
    camera.y_resolution = 40;
    state.camera = &camera;
    state.type = ZO_RAY_EYE;
    const float g = 128 / 255.0f;
    const Color pattern[5] = {{g, g, g, 0}, {g, 0, 0, 0}, {0, g, 0, 0}, {0, 0, g, 0}, {0, 0, 0, 0}};
    for (float x : {0.5f, 15.0f, 33.0f, 79.5f}) {
        for (float y : {0.5f, 12.0f, 39.5f}) {
            state.raster_x = x;
            state.raster_y = y;
            EXPECT_TRUE(kor_base_MeditBackground(&result, &state, &medit));
            const int cell = (int(8 * x / 80) + int(8 * y / 40)) % 5;
            expect_color(result, pattern[cell], 0, "raster pattern");
        }
    }
}

TEST_F(Lookup, EnvironmentRaysProjectOnTheCubeFace) {
    kor_base_MeditBackground_init(&state, &medit, nullptr);
    medit_ready = true;
    options.userdata = 0;  // no scene data: environment rays use their direction
    state.type = ZO_RAY_ENVIRONMENT;
    medit.texture = 9;
    struct Case {
        Vector3 d;
        float u, v;
    };
    // (s/m + 1) / 2 and (t/m + 1) / 2 by the face table
    const Case cases[] = {
        {{0.8f, 0.2f, 0.4f}, (0.2f / -0.8f + 1) / 2, (-0.4f / -0.8f + 1) / 2},    // +x
        {{-0.8f, 0.2f, 0.4f}, (-0.2f / -0.8f + 1) / 2, (-0.4f / -0.8f + 1) / 2},  // -x
        {{0.2f, -0.8f, 0.4f}, (0.2f / -0.8f + 1) / 2, (-0.4f / -0.8f + 1) / 2},   // -y
        {{0.2f, 0.8f, 0.4f}, (-0.2f / -0.8f + 1) / 2, (-0.4f / -0.8f + 1) / 2},   // +y
        {{0.2f, 0.4f, -0.8f}, (-0.2f / -0.8f + 1) / 2, (-0.4f / -0.8f + 1) / 2},  // -z
        {{0.2f, 0.4f, 0.8f}, (-0.2f / -0.8f + 1) / 2, (0.4f / -0.8f + 1) / 2},    // +z
        {{0.5f, 0.5f, 0.5f}, (0.5f / -0.5f + 1) / 2, (-0.5f / -0.5f + 1) / 2},    // tie: x
        {{0.1f, 0.5f, -0.5f}, (-0.1f / -0.5f + 1) / 2, (0.5f / -0.5f + 1) / 2},   // tie: y
    };
    for (const Case &c : cases) {
        state.dir = c.d;
        Color result{};
        EXPECT_TRUE(kor_base_MeditBackground(&result, &state, &medit));
        const Vector3 got = internal::host().texture_coords.back();
        EXPECT_NEAR(got.x, c.u, 1e-6) << c.d.x << " " << c.d.y << " " << c.d.z;
        EXPECT_NEAR(got.y, c.v, 1e-6) << c.d.x << " " << c.d.y << " " << c.d.z;
        EXPECT_NEAR(result.r, corrected(0.25f, 2.0), 1e-7) << "gamma applied";
    }
}

TEST_F(Lookup, NoAllocationPerSample) {
    init_video(2, KOR_VIDEO_NTSC);
    const long before = internal::host().allocations;
    zoCamera camera{};
    camera.x_resolution = camera.y_resolution = 16;
    state.camera = &camera;
    NodeData node{};
    internal::scene().instance_data[5] = 77;
    internal::host().data_blocks[77] = &node;
    GBufferParams gb;
    VideoCorrectState &s = *static_cast<VideoCorrectState *>(slot);
    for (int i = 0; i < 200; ++i) {
        Color c{i / 200.0f, 1.0f - i / 200.0f, 0.5f, 1};
        kor::videoLegalise(&s, &c);
        state.raster_x = float(i % 16);
        state.instance = 5;
        state.type = ZO_RAY_EYE;
        kor_base_GBuffer(nullptr, &state, &gb);
        Color background{};
        kor_base_MeditBackground(&background, &state, &medit);
    }
    EXPECT_EQ(internal::host().allocations, before);
}

// ---------------------------------------------------------------------------

class Contour : public Video {
  protected:
    void SetUp() override {
        Video::SetUp();
        internal::host().call_type = ZO_CALL_CONTOUR;
    }
    void TearDown() override {
        if (ready) contour_contrast_light_levels_exit(&state, &params);
        Video::TearDown();
    }
    void init() {
        zoBoolean request = 0;
        contour_contrast_light_levels_init(&state, nullptr, &request);
        EXPECT_EQ(request, 1);
        contour_contrast_light_levels_init(&state, &params, nullptr);
        ready = true;
        ASSERT_NE(slot, nullptr);
    }
    // the linear band of a luminance, clamped to the table
    int linear_band(double L) const {
        L = std::clamp(L, double(params.minimum), double(params.maximum));
        const int i =
            int((L - params.minimum) * params.bandCount / (params.maximum - params.minimum));
        return std::clamp(i, 0, params.bandCount - 1);
    }
    static ContourLightRecord sample(Color c) {
        ContourLightRecord r{};
        r.color = c;
        return r;
    }
    ContrastParams params;
    bool ready = false;
};

TEST_F(Contour, StoreFillsTheLightRecord) {
    RenderState grand{}, parent{};
    parent.parent = &grand;
    state.parent = &parent;
    state.point = {1, 2, 3};
    state.normal = {0, 1, 0};
    state.normal_geom = {0, 0, 1};
    state.object_id = 42;
    state.label = 7;
    ContourLightRecord r;
    std::memset(&r, 0xff, sizeof r);
    const Color c{0.1f, 0.2f, 0.3f, 0.4f};
    int size = 0;
    EXPECT_TRUE(contour_store_light(&r, &size, &state, &c));
    EXPECT_EQ(size, 88);
    EXPECT_EQ(r.point.z, 3.0f);
    EXPECT_EQ(r.normal.y, 1.0f);
    EXPECT_EQ(r.normalGeom.z, 1.0f);
    EXPECT_EQ(r.color.a, 0.4f);
    EXPECT_EQ(r.objectId, 42);
    EXPECT_EQ(r.label, 7);
    EXPECT_EQ(r.depth, 3);
    EXPECT_EQ(r.primitiveLabel, 0) << "the test host does not answer query 159";
    bool asked = false;
    for (const TestQuery &q : internal::host().queries) asked |= q.code == ZO_Q_PRI_LABEL;
    EXPECT_TRUE(asked);
}

TEST_F(Contour, LinesRunBetweenDifferentBands) {
    init();
    const auto *table = static_cast<const PseudoLevelTable *>(slot);
    struct Pair {
        Color a, b;
    };
    // luminance of grey g is g (weights sum to 1)
    const Pair pairs[] = {
        {{31, 31, 31, 1}, {39, 39, 39, 1}},        // same band 3
        {{39, 39, 39, 1}, {41, 41, 41, 1}},        // straddles 40
        {{150, 150, 150, 1}, {100, 100, 100, 1}},  // above the maximum: last band both
        {{-5, -5, -5, 1}, {5, 5, 5, 1}},           // absolute values: both band 0
        {{-25, 0, 0, 1}, {0, 0, 0, 1}},            // 0.263 * 25 = 6.6: band 0 both
        {{0, -25, 0, 1}, {0, 0, 0, 1}},            // 0.655 * 25 = 16.4: band 1
    };
    for (const Pair &p : pairs) {
        ContourLightRecord a = sample(p.a), b = sample(p.b);
        const int ba = linear_band(0.263 * std::fabs(p.a.r) + 0.655 * std::fabs(p.a.g) +
                                   0.082 * std::fabs(p.a.b));
        const int bb = linear_band(0.263 * std::fabs(p.b.r) + 0.655 * std::fabs(p.b.g) +
                                   0.082 * std::fabs(p.b.b));
        EXPECT_EQ(contour_contrast_light_levels(&a, &b, &state, &params), ba != bb) << p.a.r;
        EXPECT_EQ(a.band, ba);
        EXPECT_EQ(b.band, bb);
        EXPECT_EQ(a.bandColor.r, table->colors[ba].r);
        EXPECT_EQ(b.bandColor.g, table->colors[bb].g);
    }
    ContourLightRecord a = sample({150, 150, 150, 1});
    ContourLightRecord b = sample({0, 0, 0, 1});
    contour_contrast_light_levels(&a, &b, &state, &params);
    EXPECT_EQ(a.band, 9);
    EXPECT_EQ(b.band, 0);
}

TEST_F(Contour, ScaleUnitsAndLogarithmicBands) {
    params.scale = 2;
    params.unitsMode = 1;
    init();
    // 30 * 2 / pi = 19.1 (band 1) against 40 * 2 / pi = 25.5 (band 2)
    ContourLightRecord a = sample({30, 30, 30, 1}), b = sample({40, 40, 40, 1});
    EXPECT_TRUE(contour_contrast_light_levels(&a, &b, &state, &params));
    EXPECT_EQ(a.band, 1);
    EXPECT_EQ(b.band, 2);

    params.linear = 0;
    params.scale = 1;
    params.unitsMode = 0;
    // log10((L + 1) / 1) * 10 / log10(101)
    for (double L : {0.0, 3.0, 9.0, 50.0, 100.0}) {
        ContourLightRecord x = sample({float(L), float(L), float(L), 1}), y = sample({0, 0, 0, 1});
        contour_contrast_light_levels(&x, &y, &state, &params);
        const int want = std::min(int(std::log10(L + 1) * 10 / std::log10(101.0)), 9);
        EXPECT_EQ(x.band, want) << L;
    }
}

TEST_F(Contour, ObjectBordersAlwaysGetALine) {
    init();
    ContourLightRecord a = sample({1, 1, 1, 1});
    EXPECT_TRUE(contour_contrast_light_levels(&a, nullptr, &state, &params));
    EXPECT_TRUE(contour_contrast_light_levels(nullptr, &a, &state, &params));
    EXPECT_FALSE(contour_contrast_light_levels(nullptr, nullptr, &state, &params));
}

TEST_F(Contour, LinesTakeTheirWidthOnly) {
    ContourOutput out{{0.1f, 0.2f, 0.3f, 0.4f}, 0.0f};
    LightlinesParams p;
    EXPECT_TRUE(contour_shader_lightlines(&out, nullptr, nullptr, &state, &p));
    EXPECT_EQ(out.width, 2.5f);
    EXPECT_EQ(out.color.r, 0.1f);
    EXPECT_EQ(out.color.a, 0.4f);
}

}  // namespace
