// Noise-based procedural maps: pattern values at chosen points against the
// formulas worked out here from the noise primitives, calibration, blending
// of colours and sub-maps, bump gradients, generator messages, G-buffer
// writes and the absence of allocation per sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "internal/internal.h"
#include "kor_stduv.h"
#include "kor_support.h"
#include "maps/tex_noise.h"
#include "maps/tex_procedural.h"
#include "testhost/host_bitmap.h"

namespace {

// Parameter records as the declarations lay them out.
struct Sides {
    Color color1{0, 0, 0, 1};
    Color color2{1, 1, 1, 1};
    Tag map1 = 0, map2 = 0;
    zoBoolean map1On = 0, map2On = 0;
};
struct MarbleP : Sides {
    float size = 100, veinWidth = 0.025f;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct WoodP : Sides {
    float size = 1, radialNoise = 0, axialNoise = 0;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct DentP : Sides {
    float size = 200, strength = 20;
    int32_t iterations = 2;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct SpeckleP : Sides {
    float size = 60;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct SplatP : Sides {
    float size = 40;
    int32_t iterations = 4;
    float threshold = 0.2f;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct StuccoP : Sides {
    float size = 20;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct SmokeP : Sides {
    float size = 40, phase = 0.3f;
    int32_t iterations = 5;
    float exponent = 1.5f;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct PerlinP : Sides {
    float size = 50, levels = 8, saturation1 = 85, saturation2 = 70;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct CellularP {
    Color cellColor{1, 1, 1, 1}, divColor1{0.5f, 0.5f, 0.5f, 1}, divColor2{0, 0, 0, 1};
    Tag cellMap = 0, divMap1 = 0, divMap2 = 0;
    zoBoolean cellMapOn = 0, divMap1On = 0, divMap2On = 0;
    float variation = 0, size = 1, spread = 1;
    float thresholdLow = 0.2f, thresholdMid = 0.5f, thresholdHigh = 0.8f;
    int32_t cellType = 0;
    zoBoolean fractal = 0;
    float iterations = 3, roughness = 0, fractalSpread = 0.6f;
    zoBoolean adaptive = 0;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct PlanetP {
    Color colors[8];
    Tag maps[8] = {};
    zoBoolean mapsOn[8] = {};
    float size = 40, islandFactor = 1, oceanPercent = 50;
    int32_t seed = 0;
    zoBoolean blendWaterLand = 0;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct SwirlP {
    Color base{0.1f, 0.1f, 0.6f, 1}, swirl{1, 0.8f, 0.3f, 1};
    Tag baseMap = 0, swirlMap = 0;
    zoBoolean baseMapOn = 0, swirlMapOn = 0;
    float contrast = 0.4f, intensity = 2, twist = 1, centerU = -0.5f, centerV = -0.5f;
    int32_t detail = 4;
    float damping = 0.5f, z = 0.3f;
    Tag coords = 0, output = 0;
    int32_t gbufferId = 0;
};
struct XYZParams {
    int32_t coordinateSystem = 3, mapChannel = 1;
    Vector3 offset{0, 0, 0}, tiling{1, 1, 1}, angle{0, 0, 0};
    float blur = 1, blurOffset = 0;
};

}  // namespace

#define MAP(name, P)                                          \
    zoBoolean name(Color *, RenderState *, P *, const int *); \
    void name##_init(RenderState *, void *, zoBoolean *);
extern "C" {
MAP(kor_Marble, MarbleP)
MAP(kor_Wood, WoodP)
MAP(kor_Dent, DentP)
MAP(kor_Speckle, SpeckleP)
MAP(kor_Splat, SplatP)
MAP(kor_Stucco, StuccoP)
MAP(kor_Smoke, SmokeP)
MAP(kor_PerlinMarble, PerlinP)
MAP(kor_Cellular, CellularP)
MAP(kor_Planet, PlanetP)
MAP(kor_Swirl, SwirlP)
void kor_Marble_exit(RenderState *, void *);
void kor_Cellular_exit(RenderState *, void *);
zoBoolean kor_base_XYZGenerator(Color *, RenderState *, XYZParams *);
}
#undef MAP

namespace {

constexpr Tag kCoords = 301, kMap1 = 302, kMap2 = 303, kOutput = 304, kFailing = 305;

TestBitmapHost &shaders() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

// A stand-in XYZ generator: its point, and the footprint and rows it
// answers to a coordinate query.
struct FakeXYZ {
    Vector3 p{0, 0, 0};
    Vector3 footprint{0.001f, 0.001f, 0.001f};
    Vector3 rows[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    int calls = 0;
    int queryFlags = -1;
};

zoBoolean fake_xyz(void *result, RenderState *state, void *params, void *) {
    auto *g = static_cast<FakeXYZ *>(params);
    ++g->calls;
    if (state->user && state->user_size == kCoordQuerySize) {
        auto *q = static_cast<CoordQuery *>(state->user);
        if (q->magic == kCoordQueryXYZ) {
            g->queryFlags = q->flags;
            if (q->flags & kQueryFootprint) std::memcpy(&q->slots[0], &g->footprint, 12);
            if (q->flags & kQueryRows) std::memcpy(&q->slots[3], g->rows, 36);
        }
    }
    *static_cast<Color *>(result) = Color{g->p.x, g->p.y, g->p.z, 1};
    return 1;
}

// A sub-map: a fixed colour, and a fixed vector for bump requests.
struct FakeMap {
    Color color{0, 0, 0, 1};
    Vector3 bump{0, 0, 0};
    int calls = 0;
    std::vector<int> kinds;
};

zoBoolean fake_map(void *result, RenderState *, void *params, void *arg) {
    auto *m = static_cast<FakeMap *>(params);
    ++m->calls;
    const int kind = arg ? *static_cast<const int *>(arg) : 0;
    m->kinds.push_back(kind);
    auto *c = static_cast<Color *>(result);
    if (kind == 2)
        *c = Color{m->bump.x, m->bump.y, m->bump.z, 0};
    else
        *c = m->color;
    return 1;
}

zoBoolean failing_map(void *result, RenderState *, void *, void *) {
    *static_cast<Color *>(result) = Color{9, 9, 9, 9};
    return 0;
}

// An Output shader that halves what it is given and notes the mode.
struct FakeOutput {
    int calls = 0;
    const void *mode = nullptr;
};

zoBoolean fake_output(void *result, RenderState *, void *params, void *arg) {
    auto *o = static_cast<FakeOutput *>(params);
    ++o->calls;
    o->mode = arg;
    auto *c = static_cast<Color *>(result);
    *c = Color{c->r / 2, c->g / 2, c->b / 2, c->a / 2};
    return 1;
}

Vector3 v3(float x, float y, float z) {
    return Vector3{x, y, z};
}
float unitNoise(Vector3 p) {
    return (kor::noiseScaled(p) + 1.0f) * 0.5f;
}

class Procedural : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        shaders().reset();
        internal::host().user_slot = &slot;
        record.tag = 60;
        state.shader = &record;
        state.options = &options;
        state.camera = &camera;
        state.type = ZO_RAY_EYE;
        shaders().functions[kCoords] = {fake_xyz, &gen};
        shaders().functions[kMap1] = {fake_map, &map1};
        shaders().functions[kMap2] = {fake_map, &map2};
        shaders().functions[kOutput] = {fake_output, &out};
        shaders().functions[kFailing] = {failing_map, nullptr};
        zoBoolean more = 0;
        kor_Wood_init(&state, nullptr, &more);  // noise and table noise
        EXPECT_TRUE(more) << "asks for instance initialisation";
    }

    template <typename F, typename P>
    Color run(F shader, P &p, Vector3 at, int mode = 0) {
        gen.p = at;
        Color c{7, 7, 7, 7};
        EXPECT_TRUE(shader(&c, &state, &p, &mode));
        return c;
    }

    void *slot = nullptr;
    zoShaderRecord record{};
    zoOptions options{};
    zoCamera camera{};
    RenderState state{};
    FakeXYZ gen;
    FakeMap map1, map2;
    FakeOutput out;
};

void expectGrey(const Color &c, float v, float tolerance, const char *what) {
    EXPECT_NEAR(c.r, v, tolerance) << what;
    EXPECT_NEAR(c.g, v, tolerance) << what;
    EXPECT_NEAR(c.b, v, tolerance) << what;
}

const Vector3 kPoints[] = {{0.37f, 1.21f, -2.5f},
                           {13.1f, -4.4f, 0.77f},
                           {-7.3f, 2.9f, 5.05f},
                           {101.2f, 55.5f, -33.3f},
                           {0.0f, 0.0f, 0.0f}};

// ---------------------------------------------------------------------------
// Pattern values.

TEST_F(Procedural, MarbleBandsFollowTheVeinFormula) {
    MarbleP p;
    p.coords = kCoords;
    zoBoolean more = 0;
    kor_Marble_init(&state, nullptr, &more);
    kor_Marble_init(&state, &p, &more);
    for (const Vector3 &at : kPoints) {
        const Vector3 s = at * (500.0f / p.size);
        const float a = kor::noiseScaled(v3(s.x / 100, s.y / 200, s.z / 200));
        const float q = (s.x + 10000) * p.veinWidth + (a + 1) * 0.5f * 7;
        const int k = int(q) % 17;
        float v;
        if (k <= 3)
            v = 0.7f + 0.2f * unitNoise(v3(s.x / 70, s.y / 50, s.z / 50));
        else if (k >= 9 && k <= 11)
            v = (unitNoise(v3(s.x / 100, s.y / 100, s.x / 100)) + 1) * 0.2f;
        else
            v = 0.4f + 0.3f * std::fabs(q - 17 * (int(q) / 17) - 10.5f) * 0.1538462f +
                0.2f * unitNoise(v3(s.x / 100, s.y / 100, s.x / 100));
        const Color c = run(kor_Marble, p, at);
        expectGrey(c, v, 1e-5f, "marble");
        EXPECT_FLOAT_EQ(c.a, 1.0f);
    }
    kor_Marble_exit(&state, &p);
    EXPECT_EQ(slot, nullptr);
}

TEST_F(Procedural, WoodRingsAndHardEnds) {
    WoodP p;
    p.coords = kCoords;
    auto ring = [](float g) { return kor::smoothStep(0, 0.8f, g) - kor::smoothStep(0.83f, 1, g); };
    expectGrey(run(kor_Wood, p, v3(2.4f, 0, 0)), ring(0.4f), 1e-5f, "mid ring");
    expectGrey(run(kor_Wood, p, v3(0, 3.9f, 7)), ring(0.9f), 1e-5f, "late wood");
    // with the noise amounts the distance wobbles by the 1-D table noise
    p.radialNoise = 0.3f;
    p.axialNoise = 0.2f;
    const Vector3 at{1.3f, 0.4f, 2.2f};
    float d = std::sqrt(at.x * at.x + at.y * at.y);
    d += 0.3f * (kor::tableNoise1(8 * at.z) - 0.5f) +
         0.2f * (kor::tableNoise1(at.x + at.y + 64) - 0.5f);
    expectGrey(run(kor_Wood, p, at), ring(std::fmod(d, 1.0f)), 1e-5f, "wobbled ring");
}

TEST_F(Procedural, CellularColoursByFeatureDistance) {
    CellularP p;
    p.coords = kCoords;
    zoBoolean more = 0;
    kor_Cellular_init(&state, nullptr, &more);
    kor_Cellular_init(&state, &p, &more);
    int seen[3] = {0, 0, 0};
    for (int i = 0; i < 40; ++i) {
        const Vector3 at{0.173f * i, 0.311f * i - 2, 0.05f * i};
        kor::CellFeature f[2];
        kor::cellNearestFeatures(at + v3(1000, 1000, 1000), f, 2);
        const float d = std::sqrt(f[0].dist2);
        float expect;
        if (d < 0.2f) {
            expect = 1, ++seen[0];
        } else if (d > 0.8f) {
            expect = 0, ++seen[2];
        } else if (d < 0.5f) {
            expect = 1 - 0.5f * (d - 0.2f) / 0.3f, ++seen[1];
        } else {
            expect = 0.5f * (1 - (d - 0.5f) / 0.3f), ++seen[1];
        }
        const Color c = run(kor_Cellular, p, at);
        expectGrey(c, expect, 1e-5f, "circular cells");
        EXPECT_EQ(c.a, 1.0f);
    }
    EXPECT_GT(seen[0] + seen[1], 0);
    // chips: f = 1 - (F2 - F1) / (spread / 2) through the same ramp
    kor_Cellular_exit(&state, &p);
    p.cellType = 1;
    p.thresholdLow = 0.0f;
    p.thresholdMid = 0.5f;
    p.thresholdHigh = 2.0f;
    kor_Cellular_init(&state, &p, &more);
    auto chipAt = [](Vector3 at, int32_t *cell) {
        kor::CellFeature f[2];
        kor::cellNearestFeatures(at + v3(1000, 1000, 1000), f, 2);
        *cell = f[0].hash;
        return 1 - (std::sqrt(f[1].dist2) - std::sqrt(f[0].dist2)) / 0.5f;
    };
    int ramped = 0;
    for (int i = 0; i < 20; ++i) {
        const Vector3 at{0.71f * i, -0.23f * i, 0.4f};
        int32_t cell;
        const float chip = chipAt(at, &cell);
        float expect = 1;
        if (chip >= 0.5f)
            expect = 0.5f * (1 - (chip - 0.5f) / 1.5f), ++ramped;
        else if (chip >= 0)
            expect = 1 - 0.5f * chip / 0.5f, ++ramped;
        expectGrey(run(kor_Cellular, p, at), expect, 1e-5f, "chips");
    }
    EXPECT_GT(ramped, 0);
    // variation shades each cell by its random value
    kor_Cellular_exit(&state, &p);
    p.variation = 40;
    p.thresholdLow = 10;
    p.thresholdMid = p.thresholdHigh = 11;
    kor_Cellular_init(&state, &p, &more);
    for (int i = 0; i < 20; ++i) {
        const Vector3 at{0.71f * i, -0.23f * i, 0.4f};
        int32_t cell;
        chipAt(at, &cell);
        const float k = kor::cellRandom(cell) * 0.8f + 0.6f;
        expectGrey(run(kor_Cellular, p, at), std::fmin(1.0f, k), 1e-5f, "shaded cell");
    }
    kor_Cellular_exit(&state, &p);
    // fractal, two octaves, roughness 0.5: F1 = (F1(q) + F1(2q) / (2 - 0.5))
    // / (0.7 x fractal spread 1), through the ramp of circular cells
    p = CellularP{};
    p.coords = kCoords;
    p.fractal = 1;
    p.iterations = 2;
    p.roughness = 0.5f;
    p.fractalSpread = 1;
    p.thresholdLow = 0;
    p.thresholdMid = 1;
    p.thresholdHigh = 3;
    kor_Cellular_init(&state, &p, &more);
    for (int i = 0; i < 10; ++i) {
        const Vector3 at{0.37f * i, 0.19f * i - 1, 0.3f};
        kor::CellFeature f[2], g[2];
        kor::cellNearestFeatures(at + v3(1000, 1000, 1000), f, 2);
        kor::cellNearestFeatures((at + v3(1000, 1000, 1000)) * 2.0f, g, 2);
        const float d = (std::sqrt(f[0].dist2) + std::sqrt(g[0].dist2) / 1.5f) / 0.7f;
        const float expect = d < 1 ? 1 - 0.5f * d : 0.5f * (1 - (d - 1) / 2);
        expectGrey(run(kor_Cellular, p, at), expect, 1e-5f, "fractal cells");
    }
    kor_Cellular_exit(&state, &p);
}

// A UV generator stand-in: one filtered read at its coordinate.
struct FakeUV {
    float u = 0, v = 0;
    int filtered = -1;
};

// ---------------------------------------------------------------------------
// kor_Noise: filtering, octaves and calibration.

class NoiseMap : public Procedural {
  protected:
    void SetUp() override {
        Procedural::SetUp();
        std::memset(&p, 0, sizeof p);
        p.color1 = {0, 0, 0, 1};
        p.color2 = {1, 1, 1, 1};
        p.size = 2;
        p.levels = 3;
        p.phase = 0.25f;
        p.coords = kCoords;
    }
    void init() {
        zoBoolean more = 0;
        kor_Noise_init(&state, nullptr, &more);
        EXPECT_TRUE(more);
        kor_Noise_init(&state, &p, &more);
        ASSERT_NE(slot, nullptr);
        inst = *static_cast<NoiseInstance *>(slot);
    }
    void TearDown() override {
        kor_Noise_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    float N(Vector3 q) const { return kor::noise4(q.x, q.y, q.z, p.phase); }
    NoiseParams p;
    NoiseInstance inst{};
};

TEST_F(NoiseMap, RegularFractalAndTurbulence) {
    init();
    for (const Vector3 &at : kPoints) {
        const Vector3 q = at / p.size;
        p.noiseType = 0;
        expectGrey(run(kor_Noise, p, at), (N(q) + 1) / 2, 1e-5f, "regular");
        p.noiseType = 1;
        p.levels = 2.5f;
        const float fractal = N(q) + N(q * 2) / 2 + 0.5f * N(q * 4) / 4;
        expectGrey(run(kor_Noise, p, at), std::fmin(1.f, std::fmax(0.f, (fractal + 1) / 2)), 1e-5f,
                   "fractal");
    }
    // turbulence with a footprint that allows 1.5 octaves of 4: the cut
    // octaves count at their average
    p.noiseType = 2;
    p.levels = 4;
    const float w = std::pow(2.0f, -1.5f);
    gen.footprint = v3(w * p.size, w * p.size, w * p.size);
    for (const Vector3 &at : kPoints) {
        const Vector3 q = at / p.size;
        const float s = std::fabs(N(q)) + 0.5f * std::fabs(N(q * 2)) / 2;
        const float expect = s + inst.averageAbsNoise * (0.5f / 2 + 0.25f + 0.125f);
        expectGrey(run(kor_Noise, p, at), std::fmin(1.0f, expect), 1e-5f, "turbulence");
    }
}

TEST_F(NoiseMap, ThresholdsFarAwayAndHalfLevels) {
    p.thresholdLow = 0.4f;
    p.thresholdHigh = 0.6f;
    init();
    for (const Vector3 &at : kPoints) {
        const float v = (N(at / p.size) + 1) / 2;
        const float fw = 0.2f * 0.001f / p.size;
        const Color c = run(kor_Noise, p, at);
        if (v < 0.4f - fw) expectGrey(c, 0, 0, "below low: the first colour");
        if (v > 0.6f + fw) expectGrey(c, 1, 0, "above high: the second colour");
        if (v > 0.4f + fw && v < 0.6f - fw) expectGrey(c, (v - 0.4f) / 0.2f, 1e-4f, "between");
    }
    // Inside a smoothing band (half-width 0.2 w; a footprint of a quarter
    // of the size makes it 0.05): the cubic is half-way up at the threshold
    // itself, (0.05 / 0.4) / 2, and meets the linear ramp at the band's upper
    // edge, 0.05 / 0.4.
    {
        NoiseParams b = p;
        b.noiseType = 0;
        const Vector3 at = kPoints[0], wide = v3(0.25f * p.size, 0.25f * p.size, 0.25f * p.size);
        const float v = (N(at / p.size) + 1) / 2;
        b.thresholdLow = v;
        b.thresholdHigh = v + 0.4f;
        EXPECT_NEAR(kor::noisePatternValue(b, inst, at, wide), 0.0625f, 1e-5f);
        b.thresholdLow = v - 0.05f;
        b.thresholdHigh = v + 0.35f;
        EXPECT_NEAR(kor::noisePatternValue(b, inst, at, wide), 0.125f, 1e-5f);
    }
    // low >= high: no threshold
    p.thresholdLow = p.thresholdHigh = 0.5f;
    const Vector3 at = kPoints[1];
    expectGrey(run(kor_Noise, p, at), (N(at / p.size) + 1) / 2, 1e-5f, "no threshold");
    // far away the stored average answers
    gen.footprint = v3(1e4f, 1e4f, 1e4f);
    expectGrey(run(kor_Noise, p, at), inst.averageValue, 0, "average far away");
    // half a level without the filter is half an octave
    NoiseInstance raw = inst;
    raw.antialias = 0;
    p.noiseType = 1;
    p.levels = 0.5f;
    const Vector3 q = at / p.size;
    EXPECT_NEAR(kor::noisePatternValue(p, raw, at, kor::kZero), (0.5f * N(q) + 1) / 2, 1e-6f);
}

// ---------------------------------------------------------------------------
// The common frame.

}  // namespace
