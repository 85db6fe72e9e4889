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
struct WaterP : Sides {
    float size = 1;
    int32_t waveSets = 3;
    float waveRadius = 10, waveLenMin = 1, waveLenMax = 4, amplitude = 1, phase = 0;
    int32_t distribution = 0, seed = 30159;
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
MAP(kor_Water, WaterP)
MAP(kor_PerlinMarble, PerlinP)
MAP(kor_Cellular, CellularP)
MAP(kor_Planet, PlanetP)
MAP(kor_Swirl, SwirlP)
void kor_Marble_exit(RenderState *, void *);
void kor_Smoke_exit(RenderState *, void *);
void kor_Water_exit(RenderState *, void *);
void kor_Cellular_exit(RenderState *, void *);
void kor_Planet_exit(RenderState *, void *);
zoBoolean kor_base_XYZGenerator(Color *, RenderState *, XYZParams *);
void kor_base_XYZGenerator_exit(RenderState *, void *);
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

zoBoolean real_xyz(void *result, RenderState *state, void *params, void *) {
    return kor_base_XYZGenerator(static_cast<Color *>(result), state,
                                 static_cast<XYZParams *>(params));
}

Vector3 v3(float x, float y, float z) {
    return Vector3{x, y, z};
}
float unitNoise(Vector3 p) {
    return (kor::noiseScaled(p) + 1.0f) * 0.5f;
}

// The process generator's sequence, worked out on its own.
struct Lcg {
    uint32_t next;
    int draw() {
        next = next * 1103515245u + 12345u;
        return static_cast<int>((next >> 16) & 0x7FFF);
    }
};

// 8-bit fixed-point blend worked out here.
float fixedBlend(float a, float b, float v) {
    const int w2 = static_cast<int>(v * 4096.0f), w1 = 4096 - w2;
    auto byte = [](float x) { return x <= 0 ? 0 : x >= 1 ? 255 : int(x * 255.0f + 0.5f); };
    return float((byte(a) * w1 + byte(b) * w2) >> 12) / 255.0f;
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

TEST_F(Procedural, DentSpeckleSplatStuccoSmokeValues) {
    for (const Vector3 &at : kPoints) {
        DentP d;
        d.coords = kCoords;
        const Vector3 q = at * (50.0f / d.size);
        const float dent =
            std::fmin(1.0f, d.strength * (std::fabs(0.5f - kor::tableNoise3(q)) +
                                          std::fabs(0.5f - kor::tableNoise3(q * 2)) / 2));
        const Color dc = run(kor_Dent, d, at);
        if (dent > 0.0005f && dent < 0.9995f) expectGrey(dc, dent, 1e-5f, "dent");

        SpeckleP s;
        s.coords = kCoords;
        const Vector3 sq = at * (10.0f / s.size);
        const float speckle =
            std::fmin(1.0f, unitNoise(sq) + unitNoise(sq * 2) / 2 + unitNoise(sq * 4) / 4);
        expectGrey(run(kor_Speckle, s, at), speckle, 1e-5f, "speckle");

        SplatP sp;
        sp.coords = kCoords;
        float covered = 0;
        for (int i = 0; i < sp.iterations; ++i) {
            const float n = std::fmin(1.0f, unitNoise(at / sp.size * float(1 << i)));
            covered += (1 - covered) * kor::smoothStep(0.18f, 0.22f, n);
        }
        expectGrey(run(kor_Splat, sp, at), fixedBlend(0, 1, 1 - covered), 1e-6f, "splat");

        StuccoP st;
        st.coords = kCoords;
        const float t = (unitNoise(at / st.size) + unitNoise(at / st.size * 2)) / 2;
        const float stucco = t < 0.2f   ? 3.125f * t * t
                             : t < 0.8f ? (2 * t - 0.2f) * 0.625f
                                        : 1 - 3.125f * (1 - t) * (1 - t);
        expectGrey(run(kor_Stucco, st, at), fixedBlend(0, 1, stucco), 1e-6f, "stucco");
    }
}

TEST_F(Procedural, SmokeUsesItsDriftTableAndExponent) {
    SmokeP p;
    p.coords = kCoords;
    zoBoolean more = 0;
    kor_Smoke_init(&state, nullptr, &more);
    kor_Smoke_init(&state, &p, &more);
    // the drift of each octave: three draws after seed 1
    Lcg lcg{1};
    Vector3 drift[5];
    for (Vector3 &d : drift) {
        float c[3];
        for (float &x : c) x = float((lcg.draw() & 0x7FFF) - 16384) / 16384.0f;
        d = v3(c[0], c[1], c[2]);
    }
    for (const Vector3 &at : kPoints) {
        float sum = 0, scale = 1, phase = p.phase;
        for (int i = 0; i < p.iterations; ++i) {
            sum += std::fabs(kor::noise3(at / p.size * scale + drift[i] * phase)) / scale;
            scale *= 2;
            phase *= 2.4f;
        }
        const float v = std::pow(std::fmin(sum, 1.0f), p.exponent);
        expectGrey(run(kor_Smoke, p, at), fixedBlend(0, 1, v), 1e-6f, "smoke");
    }
    kor_Smoke_exit(&state, &p);
}

TEST_F(Procedural, WaterSumsItsWaveSets) {
    WaterP p;
    p.coords = kCoords;
    zoBoolean more = 0;
    kor_Water_init(&state, nullptr, &more);
    kor_Water_init(&state, &p, &more);
    Lcg lcg{uint32_t(p.seed)};
    Vector3 centre[3];
    float len[3];
    for (int k = 0; k < 3; ++k) {
        float c[3];
        for (float &x : c) x = float(lcg.draw() & 0x7FFF) / 16384.0f - 1;
        const float radius = p.waveRadius * float(lcg.draw() & 0x7FFF) / 32768.0f;
        len[k] =
            p.waveLenMin + (p.waveLenMax - p.waveLenMin) * float(lcg.draw() & 0x7FFF) / 32768.0f;
        centre[k] = v3(c[0], c[1], c[2]) * radius;
    }
    for (const Vector3 &at : kPoints) {
        float sum = 0;
        for (int k = 0; k < 3; ++k)
            sum += std::cos(6.28318531f * (kor::length(at - centre[k]) / len[k]));
        const float v = std::fmin(1.0f, std::fmax(0.0f, 0.5f + 0.5f * sum / 3));
        expectGrey(run(kor_Water, p, at), v, 1e-4f, "water");
    }
    kor_Water_exit(&state, &p);
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
}

TEST_F(Procedural, PerlinMarbleSplinesTheColours) {
    PerlinP p;
    p.coords = kCoords;
    p.color1 = {0.8f, 0.6f, 0.4f, 1};
    p.color2 = {0.1f, 0.2f, 0.3f, 1};
    for (const Vector3 &at : kPoints) {
        const Vector3 q = at / p.size;
        float sum = 0;
        for (int i = 0; i < 9; ++i) sum += unitNoise(q * float(1 << i)) / float(1 << i);
        const float t = std::fmin(1.0f, std::fmax(0.0f, std::sin(3.14159265f * (q.x + 4 * sum))));
        const Color a = p.color1, b = p.color2;
        const Color da{a.r * 0.7f, a.g * 0.7f, a.b * 0.7f, 1},
            db{b.r * 0.4f, b.g * 0.4f, b.b * 0.4f, 1};
        const Color keys[13] = {a, a, da, b, db, a, da, b, a, db, b, a, a};
        const Color expect = kor::splineColor(t * 10, 13, keys);
        const Color c = run(kor_PerlinMarble, p, at);
        EXPECT_NEAR(c.r, expect.r, 1e-4f);
        EXPECT_NEAR(c.b, expect.b, 1e-4f);
    }
}

TEST_F(Procedural, PlanetSeaAndLand) {
    PlanetP p;
    p.coords = kCoords;
    for (int k = 0; k < 8; ++k) p.colors[k] = Color{k / 10.0f, 0, 0, 0.5f};
    zoBoolean more = 0;
    kor_Planet_init(&state, nullptr, &more);
    kor_Planet_init(&state, &p, &more);
    bool sea = false, land = false;
    for (int i = 0; i < 30; ++i) {
        const Vector3 at{3.7f * i, -2.1f * i, 1.3f * i};
        const Vector3 q = at / p.size;
        float h = 0;
        for (int o = 0; o < 4; ++o) h += kor::noise3(q * float(1 << o)) / float(1 << o);
        h = std::fmin(1.0f, std::fmax(0.0f, h * 0.5f + 0.5f));
        auto ease = [](float t) { return t * t * (3 - 2 * t); };
        auto band = [&](int first, int count, float x) {
            int j = std::min(int(x), count - 2);
            const float t = ease(x - j);
            return p.colors[first + j].r * (1 - t) + p.colors[first + j + 1].r * t;
        };
        float expect;
        if (h < 0.5f) {
            expect = band(0, 3, (0.5f - h) / 0.5f * 2), sea = true;
        } else {
            expect = band(3, 5, (h - 0.5f) / 0.5f * 4), land = true;
        }
        const Color c = run(kor_Planet, p, at);
        EXPECT_NEAR(c.r, expect, 1e-5f);
        EXPECT_EQ(c.a, 1.0f);
    }
    EXPECT_TRUE(sea || land);
    kor_Planet_exit(&state, &p);
}

// A UV generator stand-in: one filtered read at its coordinate.
struct FakeUV {
    float u = 0, v = 0;
    int filtered = -1;
};

zoBoolean fake_uv(void *result, RenderState *state, void *params, void *arg) {
    auto *g = static_cast<FakeUV *>(params);
    auto *request = static_cast<UVLookupRequest *>(arg);
    if (!request || request->magic != kUVLookupMagic) return 0;
    g->filtered = request->filtered;
    request->filteredLookup(static_cast<Color *>(result), state, request, g->u, g->v, 0.01f, 0.01f);
    return 1;
}

TEST_F(Procedural, SwirlTwistsTheCoordinate) {
    FakeUV uv;
    shaders().functions[kCoords] = {fake_uv, &uv};
    SwirlP p;
    p.coords = kCoords;
    const float points[][2] = {{0.2f, 0.7f}, {0.9f, 0.1f}, {0.5f, 0.5f}};
    for (const auto &pt : points) {
        uv.u = pt[0];
        uv.v = pt[1];
        const float cu = pt[0] - 0.5f, cv = pt[1] - 0.5f;
        const float angle = 1 * 6.28318531f * (cu * cu + cv * cv);
        const float x = cv * std::cos(angle) - cu * std::sin(angle);
        const float y = cu * std::cos(angle) + cv * std::sin(angle);
        float s = 0, a = 1;
        for (int i = 0; i < 4; ++i, a *= 0.5f)
            s += a * kor::noise3(v3(float(1 << i) * x, float(1 << i) * y, 0.3f));
        const float t = 0.4f * 2 * s;
        const Color c = run(kor_Swirl, p, kor::kZero);
        EXPECT_NEAR(c.r, std::fmin(1.0f, std::fmax(0.0f, 0.1f * (1 - t) + 1 * t)), 1e-5f);
        EXPECT_NEAR(c.g, std::fmin(1.0f, std::fmax(0.0f, 0.1f * (1 - t) + 0.8f * t)), 1e-5f);
        EXPECT_EQ(c.a, 1.0f);
        EXPECT_EQ(uv.filtered, 1) << "the swirl asks for filtered reads";
    }
}

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

TEST_F(NoiseMap, CalibrationFromTheFixedSeed) {
    init();
    Lcg lcg{1345};
    double sum = 0;
    for (int i = 0; i < 10000; ++i) {
        Vector3 q;
        q.x = float(lcg.draw()) / 100;
        q.y = float(lcg.draw()) / 100;
        q.z = float(lcg.draw()) / 100;
        sum += (N(q / p.size) + 1) * 0.5f;
    }
    EXPECT_NEAR(inst.averageValue, sum / 10000, 1e-5);
    double abs = 0;
    for (int i = 0; i < 10000; ++i) {
        float a[4];
        for (float &x : a) x = float(lcg.draw()) / 100;
        abs += std::fabs(kor::noise4(a[0], a[1], a[2], a[3]));
    }
    EXPECT_NEAR(inst.averageAbsNoise, abs / 10000, 1e-5);
    EXPECT_EQ(inst.antialias, 1);
    EXPECT_FLOAT_EQ(inst.scale, 2.0f);
    EXPECT_GT(internal::host().locks, 0) << "calibration runs under a lock";
}

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

TEST_F(NoiseMap, TwoInstancesAgree) {
    init();
    std::vector<Color> first;
    for (const Vector3 &at : kPoints) first.push_back(run(kor_Noise, p, at));
    kor_Noise_exit(&state, &p);
    init();  // a second instance calibrates the same
    for (size_t i = 0; i < first.size(); ++i) {
        const Color c = run(kor_Noise, p, kPoints[i]);
        EXPECT_EQ(c.r, first[i].r);
        EXPECT_EQ(c.r, run(kor_Noise, p, kPoints[i]).r) << "a second evaluation";
    }
}

// ---------------------------------------------------------------------------
// The common frame.

TEST_F(Procedural, SubMapSlotsAndHardEnds) {
    WoodP p;
    p.coords = kCoords;
    p.map1 = kMap1;
    p.map2 = kMap2;
    map1.color = {0.25f, 0.5f, 0.75f, 1};
    map2.color = {0.9f, 0.8f, 0.7f, 1};
    // off: the colours stand
    expectGrey(run(kor_Wood, p, v3(2.4f, 0, 0)), kor::smoothStep(0, 0.8f, 0.4f), 1e-6f, "colours");
    EXPECT_EQ(map1.calls + map2.calls, 0) << "sub-maps with their flags off are not called";
    // on at v = 0: only the first side is asked
    p.map1On = p.map2On = 1;
    Color c = run(kor_Wood, p, v3(2.0f, 0, 0));
    EXPECT_FLOAT_EQ(c.r, 0.25f);
    EXPECT_FLOAT_EQ(c.b, 0.75f);
    EXPECT_EQ(map1.calls, 1);
    EXPECT_EQ(map2.calls, 0) << "v <= 0.0005 asks the first side alone";
    // at v = 1 only the second
    c = run(kor_Wood, p, v3(0, 2.815f, 0));
    EXPECT_FLOAT_EQ(c.r, 0.9f);
    EXPECT_EQ(map1.calls, 1) << "v >= 0.9995 asks the second side alone";
    EXPECT_EQ(map2.calls, 1);
    // in between both blend
    const float v = kor::smoothStep(0, 0.8f, 0.4f);
    c = run(kor_Wood, p, v3(2.4f, 0, 0));
    EXPECT_NEAR(c.r, 0.25f * (1 - v) + 0.9f * v, 1e-6f);
    // a tag of 0 with the flag on uses the colour; a failing sub-map counts as 0
    p.map1 = 0;
    p.map2 = kFailing;
    c = run(kor_Wood, p, v3(2.4f, 0, 0));
    EXPECT_NEAR(c.r, 0.0f * (1 - v) + 0 * v, 1e-6f);
    EXPECT_NEAR(c.a, 1 - v, 1e-6f) << "colour1's alpha 1 blended with a failed call's 0";
}

TEST_F(Procedural, OutputShaderAndGBuffer) {
    SpeckleP p;
    p.coords = kCoords;
    p.output = kOutput;
    p.gbufferId = 9;
    int mode = 0;
    Color c;
    gen.p = kPoints[0];
    EXPECT_TRUE(kor_Speckle(&c, &state, &p, &mode));
    EXPECT_EQ(out.calls, 1);
    EXPECT_EQ(out.mode, &mode) << "the Output shader gets the caller's mode pointer";
    ASSERT_EQ(shaders().fb_puts.size(), 1u);
    EXPECT_EQ(shaders().fb_puts[0].buffer, 0);
    EXPECT_EQ(shaders().fb_puts[0].word, 9);
    state.type = ZO_RAY_REFLECT;
    EXPECT_TRUE(kor_Speckle(&c, &state, &p, &mode));
    EXPECT_EQ(shaders().fb_puts.size(), 1u) << "only eye samples write the identifier";
    state.type = ZO_RAY_EYE;
    p.gbufferId = 0;
    EXPECT_TRUE(kor_Speckle(&c, &state, &p, &mode));
    EXPECT_EQ(shaders().fb_puts.size(), 1u) << "identifier 0 is not written";
}

TEST_F(Procedural, BumpGradientAlongTheGeneratorRows) {
    SpeckleP p;
    p.coords = kCoords;
    p.color1 = {0.2f, 0.2f, 0.2f, 1};
    p.color2 = {0.8f, 0.8f, 0.8f, 1};
    const Vector3 at = kPoints[2];
    auto f = [&](Vector3 x) {
        const Vector3 q = x * (10.0f / p.size);
        return std::fmin(1.0f, unitNoise(q) + unitNoise(q * 2) / 2 + unitNoise(q * 4) / 4);
    };
    const Color g = run(kor_Speckle, p, at, 2);
    EXPECT_EQ(gen.queryFlags, kQueryFootprint | kQueryRows) << "bump asks for the rows";
    const float f0 = f(at);
    EXPECT_NEAR(g.r, (f(at + v3(0.1f, 0, 0)) - f0) / 0.1f * 0.6f, 1e-3f);
    EXPECT_NEAR(g.g, (f(at + v3(0, 0.1f, 0)) - f0) / 0.1f * 0.6f, 1e-3f);
    EXPECT_NEAR(g.b, (f(at + v3(0, 0, 0.1f)) - f0) / 0.1f * 0.6f, 1e-3f);
    EXPECT_EQ(g.a, 1.0f);
    // equal colours give a zero vector
    p.color2 = p.color1;
    const Color z = run(kor_Speckle, p, at, 2);
    EXPECT_EQ(z.r, 0.0f);
    EXPECT_EQ(z.g, 0.0f);
    EXPECT_EQ(z.b, 0.0f);
    // with a sub-map: g (I2 - I1) + v (B2 - B1) + B1
    p.map2 = kMap2;
    p.map2On = 1;
    map2.color = {0.5f, 0.5f, 0.5f, 1};
    map2.bump = {0.3f, -0.2f, 0.1f};
    const Color s = run(kor_Speckle, p, at, 2);
    const float gx = (f(at + v3(0.1f, 0, 0)) - f0) / 0.1f;
    EXPECT_NEAR(s.r, gx * (0.5f - 0.2f) + f0 * 0.3f, 1e-3f);
    ASSERT_EQ(map2.kinds.size(), 2u);
    EXPECT_EQ(map2.kinds[0], 0);
    EXPECT_EQ(map2.kinds[1], 2);
    // a generator row turned: the step follows the row
    p.map2 = 0;
    p.color2 = {0.8f, 0.8f, 0.8f, 1};
    gen.rows[0] = v3(0, 0, 1);
    const Color r = run(kor_Speckle, p, at, 2);
    EXPECT_NEAR(r.r, (f(at + v3(0, 0, 0.1f)) - f0) / 0.1f * 0.6f, 1e-3f);
}

TEST_F(Procedural, MissingGeneratorIsReportedOnce) {
    MarbleP p;
    zoBoolean more = 0;
    kor_Marble_init(&state, nullptr, &more);
    kor_Marble_init(&state, &p, &more);
    Color first = run(kor_Marble, p, kPoints[1]);
    for (int i = 0; i < 3; ++i) run(kor_Marble, p, kPoints[i]);
    ASSERT_EQ(internal::host().messages.size(), 1u);
    EXPECT_EQ(internal::host().messages[0],
              "error: \"test_shader\" requires xyz coordinate shader");
    EXPECT_EQ(gen.calls, 0);
    EXPECT_EQ(first.r, run(kor_Marble, p, kPoints[3]).r) << "without a generator the point is 0";
    kor_Marble_exit(&state, &p);
    // other members stay quiet
    WoodP w;
    run(kor_Wood, w, kPoints[0]);
    EXPECT_EQ(internal::host().messages.size(), 1u);
}

TEST_F(Procedural, RealXYZGeneratorSuppliesThePoint) {
    internal::host().thread_pointers = true;
    XYZParams xyz;
    xyz.offset = {0.5f, 0, 0};
    shaders().functions[kCoords] = {real_xyz, &xyz};
    WoodP p;
    p.coords = kCoords;
    state.point = {1.9f, 0, 0};
    Color c;
    int mode = 0;
    EXPECT_TRUE(kor_Wood(&c, &state, &p, &mode));
    expectGrey(c, kor::smoothStep(0, 0.8f, 0.4f), 1e-5f, "moved by the generator's offset");
    kor_base_XYZGenerator_exit(&state, &xyz);
}

TEST_F(Procedural, NoAllocationPerSample) {
    MarbleP marble;
    marble.coords = kCoords;
    CellularP cellular;
    cellular.coords = kCoords;
    cellular.fractal = 1;
    SmokeP smoke;
    smoke.coords = kCoords;
    zoBoolean more = 0;
    kor_Marble_init(&state, &marble, &more);
    long before = internal::host().allocations;
    for (int i = 0; i < 500; ++i) {
        const Vector3 at{0.01f * i, 0.02f * i, 0.3f};
        run(kor_Marble, marble, at);
        run(kor_Marble, marble, at, 2);
    }
    EXPECT_EQ(internal::host().allocations, before);
    // the instance slot is the marble's until its exit
    kor_Marble_exit(&state, &marble);
    before = internal::host().allocations;
    for (int i = 0; i < 500; ++i) {
        const Vector3 at{0.01f * i, 0.02f * i, 0.3f};
        run(kor_Cellular, cellular, at);
        run(kor_Smoke, smoke, at);
    }
    EXPECT_EQ(internal::host().allocations, before);
}

TEST_F(Procedural, DeterministicAcrossInstances) {
    WaterP p;
    p.coords = kCoords;
    zoBoolean more = 0;
    kor_Water_init(&state, nullptr, &more);
    kor_Water_init(&state, &p, &more);
    const Color a = run(kor_Water, p, kPoints[1]);
    void *firstSlot = slot;
    slot = nullptr;
    kor::srand15(999);  // whatever ran before
    kor_Water_init(&state, &p, &more);
    const Color b = run(kor_Water, p, kPoints[1]);
    EXPECT_EQ(a.r, b.r);
    kor_Water_exit(&state, &p);
    slot = firstSlot;
    kor_Water_exit(&state, &p);
    EXPECT_EQ(internal::host().allocations, internal::host().releases);
}

}  // namespace
