// Pattern and blend maps against values worked out here from their
// formulas: checker cells and filtered edges, gradients, ramp keys and
// their interpolations, bricks and mortar, mix, composite, mask, colour
// correction, falloff, the Output shader and curves, particle and vertex
// colour maps; messages, G-buffer writes and allocation-free samples.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

#include "internal/internal.h"
#include "kor_stduv.h"
#include "kor_support.h"
#include "maps/tex_gradramp.h"
#include "maps/tex_pattern.h"
#include "maps/utl_curve.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"

namespace {

TestBitmapHost &fn_host() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

void expect_color(const Color &c, const Color &e, double tol, const char *what) {
    EXPECT_NEAR(c.r, e.r, tol) << what;
    EXPECT_NEAR(c.g, e.g, tol) << what;
    EXPECT_NEAR(c.b, e.b, tol) << what;
    EXPECT_NEAR(c.a, e.a, tol) << what;
}

Color mix(const Color &a, const Color &b, double t) {
    return Color{float(a.r * (1 - t) + b.r * t), float(a.g * (1 - t) + b.g * t),
                 float(a.b * (1 - t) + b.b * t), float(a.a * (1 - t) + b.a * t)};
}

// A record with room behind it for the elements of its array parameters.
struct Arena {
    alignas(16) unsigned char bytes[8192];
    size_t used = 0;
    template <typename R>
    R *make() {
        std::memset(bytes, 0, sizeof bytes);
        used = sizeof(R);
        return new (bytes) R();
    }
    template <typename E>
    void fill(kor::ParamArray<E> &a, std::initializer_list<E> elements) {
        const ptrdiff_t offset =
            (reinterpret_cast<char *>(bytes) + used) - reinterpret_cast<char *>(a.storage);
        const int start =
            static_cast<int>((offset + ptrdiff_t(sizeof(E)) - 1) / ptrdiff_t(sizeof(E)));
        a.start = start;
        a.count = static_cast<int32_t>(elements.size());
        E *out = a.storage + start;
        for (const E &e : elements) *out++ = e;
        used = static_cast<size_t>(reinterpret_cast<unsigned char *>(out) - bytes);
    }
};

// A map that answers a constant colour (bump: a constant vector) and notes
// the mode word it was called with.
struct ConstMap {
    Color colour{0, 0, 0, 1};
    Vector3 bump{0, 0, 0};
    zoBoolean ok = 1;
    std::vector<int> modes;
};

zoBoolean const_map(void *result, RenderState *, void *params, void *arg) {
    auto *m = static_cast<ConstMap *>(params);
    const int mode = arg ? *static_cast<int *>(arg) : -1;
    m->modes.push_back(mode);
    if (!m->ok) return 0;
    Color *out = static_cast<Color *>(result);
    if (mode == 2)
        *out = Color{m->bump.x, m->bump.y, m->bump.z, 0};
    else
        *out = m->colour;
    return 1;
}

// A stand-in UV generator: reads the map at a set coordinate and
// footprint, or answers a gradient, the basis and the coordinates of a
// pending coordinate query.
struct FakeGenerator {
    float u = 0.5f, v = 0.5f, du = 0, dv = 0;
    Color gradient{0, 0, 0, 0};
    Vector3 bu{1, 0, 0}, bv{0, 1, 0};
    int calls = 0, filtered = 0;
    int32_t flags = 0;
};

zoBoolean fake_generator(void *result, RenderState *state, void *params, void *arg) {
    auto *g = static_cast<FakeGenerator *>(params);
    auto *request = static_cast<UVLookupRequest *>(arg);
    ++g->calls;
    if (!request || request->magic != kUVLookupMagic) return 0;
    Color *out = static_cast<Color *>(result);
    auto *query = static_cast<CoordQuery *>(state->user);
    if (query && state->user_size == kCoordQuerySize && query->magic == kCoordQueryUV) {
        g->flags = query->flags;
        if (query->flags & kQueryBasis) {
            std::memcpy(&query->slots[0], &g->bu, sizeof(Vector3));
            std::memcpy(&query->slots[3], &g->bv, sizeof(Vector3));
        }
        if (query->flags & kQueryUVW) {
            query->slots[6] = g->u;
            query->slots[7] = g->v;
        }
        if (query->flags & kQueryDUVW) {
            query->slots[9] = g->du;
            query->slots[10] = g->dv;
        }
    }
    if (request->mode && *request->mode != 0 && *request->mode != 1) {
        *out = g->gradient;
        return 1;
    }
    g->filtered += request->filtered ? 1 : 0;
    request->filteredLookup(out, state, request, g->u, g->v, g->du, g->dv);
    return 1;
}

constexpr Tag kCoords = 900, kMap1 = 901, kMap2 = 902, kMap3 = 903, kOutput = 904;
constexpr Tag kCurve = 905, kControl = 906, kControl2 = 907;

const Color kRed{1, 0, 0, 1}, kGreen{0, 1, 0, 1}, kBlue{0, 0, 1, 1};
const Color kA{0.2f, 0.4f, 0.6f, 1.0f}, kB{0.9f, 0.7f, 0.1f, 0.5f}, kC{0.3f, 0.8f, 0.5f, 1.0f};

class Pattern : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        fn_host().reset();
        internal::host().user_slot = &slot;
        kor::noiseInit(nullptr);
        record.tag = 60;
        state.shader = &record;
        state.options = &options;
        state.camera = &camera;
        state.type = ZO_RAY_EYE;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        fn_host().functions[kCoords] = {fake_generator, &gen};
        fn_host().functions[kMap1] = {const_map, &map1};
        fn_host().functions[kMap2] = {const_map, &map2};
        fn_host().functions[kMap3] = {const_map, &map3};
    }
    void TearDown() override {
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "blocks released";
        EXPECT_EQ(fn_host().lock_inits, fn_host().lock_deletes) << "locks deleted";
    }
    long allocations() { return internal::host().allocations; }
    int messages() { return static_cast<int>(internal::host().messages.size()); }

    FakeGenerator gen;
    ConstMap map1, map2, map3;
    zoOptions options{};
    zoCamera camera{};
    zoShaderRecord record{};
    RenderState state{};
    void *slot = nullptr;
    Arena arena;
};

// ---------------------------------------------------------------------------
// Checker

// The share of colour 2 over the box, by summing the hard pattern on a
// fine grid (independent of the closed form the map uses).
double checker_share(double u, double v, double wu, double wv) {
    auto hard = [](double x, double y) {
        return ((x - std::floor(x) > 0.5) == (y - std::floor(y) > 0.5)) ? 1.0 : 0.0;
    };
    const int n = 400;
    double sum = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            sum += hard(u - wu / 2 + wu * (i + 0.5) / n, v - wv / 2 + wv * (j + 0.5) / n);
    return sum / (double(n) * n);
}

class Checker : public Pattern {
  protected:
    void SetUp() override {
        Pattern::SetUp();
        p.color1 = kA;
        p.color2 = kB;
        p.coords = kCoords;
    }
    Color at(float u, float v, float du = 0, float dv = 0, int mode = 0) {
        gen.u = u;
        gen.v = v;
        gen.du = du;
        gen.dv = dv;
        Color c{9, 9, 9, 9};
        EXPECT_TRUE(kor_Checker(&c, &state, &p, &mode));
        return c;
    }
    CheckerParams p{};
};

TEST_F(Checker, HardCellsAtCellCentres) {
    expect_color(at(0.25f, 0.25f), kB, 0, "both halves lower: colour 2");
    expect_color(at(0.75f, 0.75f), kB, 0, "both upper: colour 2");
    expect_color(at(0.75f, 0.25f), kA, 0, "mixed: colour 1");
    expect_color(at(0.25f, 0.75f), kA, 0, "mixed: colour 1");
    expect_color(at(1.25f, -0.75f), kB, 0, "the pattern repeats");
    EXPECT_EQ(gen.filtered, 5) << "read through the filtered callback";
}

TEST_F(Checker, FilteredEdgesBlendByTheCoveredShare) {
    const struct {
        float u, v, du, dv;
    } cases[] = {{0.5f, 0.25f, 0.2f, 0.2f},
                 {0.5f, 0.5f, 0.2f, 0.2f},
                 {0.45f, 0.3f, 0.3f, 0.1f},
                 {0.25f, 0.25f, 1.0f, 1.0f}};
    for (auto c : cases) {
        const double w = checker_share(c.u, c.v, c.du, c.dv);
        expect_color(at(c.u, c.v, c.du, c.dv), mix(kA, kB, w), 2e-3, "box share");
    }
    // soften widens the box even for a point footprint
    p.soften = 0.2f;
    expect_color(at(0.5f, 0.25f), mix(kA, kB, checker_share(0.5, 0.25, 0.2, 0.2)), 2e-3, "soften");
}

TEST_F(Checker, SubMapsReplaceColoursAndOnlyTheNeededSideIsCalled) {
    map2.colour = kC;
    p.map2 = kMap2;
    p.map2On = 1;
    expect_color(at(0.25f, 0.25f), kC, 0, "colour 2 from its map");
    p.map2On = 0;
    expect_color(at(0.25f, 0.25f), kB, 0, "map off");
    p.map1 = kMap1;
    p.map1On = 1;
    map1.colour = kRed;
    p.map2On = 1;
    map2.modes.clear();
    expect_color(at(0.75f, 0.25f), kRed, 0, "colour 1 from its map");
    EXPECT_TRUE(map2.modes.empty()) << "side 2 not needed";
    map1.ok = 0;
    expect_color(at(0.75f, 0.25f), Color{0, 0, 0, 0}, 0, "failed sub-map");
}

TEST_F(Checker, BumpIsTheGradientAlongTheBasis) {
    gen.gradient = {0.5f, -2.0f, 0, 0};
    gen.bu = {0, 1, 0};
    gen.bv = {1, 0, 1};
    const Color c = at(0.25f, 0.25f, 0, 0, 2);
    EXPECT_NEAR(c.r, -2.0f, 1e-6);
    EXPECT_NEAR(c.g, 0.5f, 1e-6);
    EXPECT_NEAR(c.b, -2.0f, 1e-6);
    EXPECT_EQ(gen.flags & 0xFFFF, kQueryBasis);
    EXPECT_EQ(state.user, nullptr) << "the query is removed";
}

TEST_F(Checker, MissingGeneratorIsReportedOnceAndGivesTransparentBlack) {
    p.coords = 0;
    expect_color(at(0.25f, 0.25f), Color{0, 0, 0, 0}, 0, "no coords");
    at(0.25f, 0.25f);
    ASSERT_EQ(messages(), 1);
    EXPECT_NE(internal::host().messages[0].find("\"test_shader\" requires uv coordinate shader"),
              std::string::npos)
        << internal::host().messages[0];
    slot = nullptr;  // the warn-once mark
}

TEST_F(Checker, GBufferIdOnEyeRaysOnly) {
    p.gbufferId = 7;
    at(0.25f, 0.25f);
    state.type = ZO_RAY_REFLECT;
    at(0.25f, 0.25f);
    ASSERT_EQ(fn_host().fb_puts.size(), 1u);
    EXPECT_EQ(fn_host().fb_puts[0].buffer, 0);
    EXPECT_EQ(fn_host().fb_puts[0].word, 7);
}

// The UV generator's parameters as these tests use them.
struct UVParams : UVGeneratorParams {
    UVParams() {
        blur = 0;
        noiseAmount = 0;
        noiseLevels = 0;
        realWorldScale = 1;
    }
};

}  // namespace

extern "C" {
zoBoolean kor_base_UVGenerator(void *, RenderState *, void *, UVLookupRequest *);
void kor_base_UVGenerator_exit(RenderState *, void *);
}

namespace {

zoBoolean real_generator(void *result, RenderState *state, void *params, void *arg) {
    return kor_base_UVGenerator(result, state, params, static_cast<UVLookupRequest *>(arg));
}

TEST_F(Checker, ThroughTheUVGeneratorWithTiling) {
    UVParams uv;
    uv.uTiling = 2;  // u = 0.3 reads 0.6 of the first tile
    internal::host().thread_pointers = true;
    internal::scene().textures = 1;
    fn_host().functions[kCoords] = {real_generator, &uv};
    camera.focal = camera.aperture = 1;
    camera.x_resolution = camera.y_resolution = 64;
    Vector3 tex{0.3f, 0.2f, 0};
    state.tex_list = &tex;
    state.tex_count = 1;
    Color c{9, 9, 9, 9};
    int mode = 0;
    kor_Checker(&c, &state, &p, &mode);
    expect_color(c, kA, 0, "u 0.6 upper, v 0.2 lower: colour 1");
    tex = {0.1f, 0.2f, 0};
    kor_Checker(&c, &state, &p, &mode);
    expect_color(c, kB, 0, "u 0.2 lower, v 0.2 lower: colour 2");
    kor_base_UVGenerator_exit(&state, &uv);
}

// ---------------------------------------------------------------------------
// Gradient

class Gradient : public Pattern {
  protected:
    void SetUp() override {
        Pattern::SetUp();
        p.color1 = kRed;
        p.color2 = kGreen;
        p.color3 = kBlue;
        p.color2Position = 0.5f;
        p.coords = kCoords;
    }
    Color at(float u, float v) {
        gen.u = u;
        gen.v = v;
        Color c{9, 9, 9, 9};
        int mode = 0;
        EXPECT_TRUE(kor_Gradient(&c, &state, &p, &mode));
        return c;
    }
    GradientParams p{};
};

TEST_F(Gradient, LinearAlongV) {
    expect_color(at(0.3f, 0.5f), kGreen, 1e-6, "at the position: colour 2");
    expect_color(at(0.3f, 0.75f), mix(kGreen, kRed, 0.5), 1e-6, "above: half 2, half 1");
    expect_color(at(0.3f, 1.0f), kRed, 1e-6, "top: colour 1");
    expect_color(at(0.3f, 0.25f), mix(kBlue, kGreen, 0.5), 1e-6, "below: half 3, half 2");
    expect_color(at(0.3f, 0.0f), kBlue, 1e-6, "bottom: colour 3");
    p.color2Position = 0.2f;
    expect_color(at(0.3f, 0.6f), mix(kGreen, kRed, (0.6 - 0.2) / 0.8), 1e-6, "position 0.2");
}

TEST_F(Gradient, RadialFromTheCentre) {
    p.gradientType = 1;
    expect_color(at(0.5f, 0.5f), kBlue, 1e-6, "centre: g 0");
    // g = 2 * 0.375 = 0.75
    expect_color(at(0.5f, 0.875f), mix(kGreen, kRed, 0.5), 1e-6, "g 0.75");
    expect_color(at(0.0f, 0.0f), kRed, 1e-6, "corner: g clamped to 1");
}

TEST_F(Gradient, NoiseMovesThePositionWithinRange) {
    p.noiseAmount = 0.3f;
    p.noiseSize = 2;
    p.noiseType = 0;
    const float u = 0.37f, v = 0.61f;
    const double s = 20.0 / 2;
    const double n = kor::noise3(Vector3{float(u * s + 1), float(v * s + 1), 0});
    double g = std::min(1.0, std::max(0.0, v + 0.3 * n));
    const Color expected =
        g >= 0.5 ? mix(kGreen, kRed, (g - 0.5) / 0.5) : mix(kBlue, kGreen, g / 0.5);
    expect_color(at(u, v), expected, 1e-5, "regular noise");
}

// ---------------------------------------------------------------------------
// Gradient ramp

double bias(double t, double b) {
    return std::pow(t, std::log(b) / std::log(0.5));
}
double catmull_rom(double p0, double p1, double p2, double p3, double t) {
    const double m1 = (p2 - p0) / 2, m2 = (p3 - p1) / 2;
    const double t2 = t * t, t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * p1 + (t3 - 2 * t2 + t) * m1 + (-2 * t3 + 3 * t2) * p2 +
           (t3 - t2) * m2;
}
// the ease curve through (0, 0, 0.4, 0.6, 1, 1)
double ramp_spline(double t) {
    const double k[6] = {0, 0, 0.4, 0.6, 1, 1};
    int i = std::min(int(std::floor(3 * t)), 2);
    return catmull_rom(k[i], k[i + 1], k[i + 2], k[i + 3], 3 * t - i);
}

class Ramp : public Pattern {
  protected:
    void SetUp() override {
        Pattern::SetUp();
        p = arena.make<GradientRampParams>();
    }
    void TearDown() override {
        if (slot) kor_GradientRamp_exit(&state, p);
        Pattern::TearDown();
    }
    void keys(std::initializer_list<RampKeyParams> list) {
        arena.fill(p->keys, list);
        zoBoolean more = 0;
        kor_GradientRamp_init(&state, nullptr, &more);
        EXPECT_TRUE(more);
        kor_GradientRamp_init(&state, p, &more);
        ASSERT_NE(slot, nullptr);
    }
    const kor::RampInstance *inst() const { return static_cast<kor::RampInstance *>(slot); }
    Color at_x(float x, int mode = 0) { return kor::rampColour(&state, inst(), x, &mode); }
    GradientRampParams *p;
};

RampKeyParams key(float position, int number, Color c, int kind = 0, Tag map = 0) {
    return RampKeyParams{position, number, c, kind, map, map ? 1 : 0};
}

TEST_F(Ramp, KeysAreSortedWithASentinel) {
    keys({key(1.0f, 2, kBlue), key(0.0f, 0, kRed), key(0.5f, 3, kGreen), key(0.5f, 1, kA)});
    ASSERT_EQ(inst()->count, 4);
    const float positions[5] = {0.0f, 0.5f, 0.5f, 1.0f, 17.0f};
    const int numbers[4] = {0, 1, 3, 2};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(inst()->keys[k].position, positions[k]) << k;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(inst()->keys[k].number, numbers[k]) << k;
    EXPECT_FLOAT_EQ(inst()->keys[0].reciprocal, 2.0f);
    EXPECT_EQ(inst()->keys[1].reciprocal, 0.0f) << "equal positions";
    EXPECT_FLOAT_EQ(inst()->keys[3].reciprocal, 1.0f / 16.0f);
    EXPECT_FLOAT_EQ(inst()->keys[0].difference.r, kA.r - kRed.r);
}

TEST_F(Ramp, ColoursAtTheKeysAndLinearBetween) {
    keys({key(0.0f, 0, kRed), key(0.5f, 1, kGreen), key(1.0f, 2, kBlue)});
    expect_color(at_x(0.0f), kRed, 1e-6, "key 0");
    expect_color(at_x(0.5f), kGreen, 1e-6, "key 1");
    expect_color(at_x(1.0f), kBlue, 1e-6, "key 2");
    expect_color(at_x(0.25f), mix(kRed, kGreen, 0.5), 1e-6, "between 0 and 1");
    expect_color(at_x(0.875f), mix(kGreen, kBlue, 0.75), 1e-6, "between 1 and 2");
    expect_color(at_x(1.5f), kBlue, 1e-6, "beyond the last key");
}

TEST_F(Ramp, EachInterpolationBetweenKeys) {
    const float xs[] = {0.1f, 0.3f, 0.45f, 0.7f, 0.95f};
    for (int kind : {0, 1, 2, 3, 4, 5}) {
        keys({key(0.0f, 0, kRed, kind), key(1.0f, 1, kBlue, 0)});
        for (float x : xs) {
            double t = x;
            if (kind == 1) t = bias(x, 0.35);
            if (kind == 3) t = bias(x, 0.65);
            if (kind == 2) t = ramp_spline(x);
            if (kind == 5) t = 0;
            expect_color(at_x(x), mix(kRed, kBlue, t), 1e-5,
                         ("kind " + std::to_string(kind)).c_str());
        }
        kor_GradientRamp_exit(&state, p);
    }
}

TEST_F(Ramp, KeySubMapsRunInColourModeAndTheRecordIsRestored) {
    map1.colour = kC;
    keys({key(0.0f, 0, kRed, 0, kMap1), key(1.0f, 1, kBlue)});
    kor::MapRequest request = {kor::kMapGrey, 0, 55};
    const Color c = kor::rampColour(&state, inst(), 0.25f, &request.kind);
    expect_color(c, mix(kC, kBlue, 0.25), 1e-6, "key colour from its map");
    ASSERT_FALSE(map1.modes.empty());
    EXPECT_EQ(map1.modes.back(), 0) << "colour mode during the call";
    EXPECT_EQ(request.kind, kor::kMapGrey) << "restored";
    EXPECT_EQ(request.extra, 55);
    // without a mode record the plain shader call runs
    internal::host().shaders[kMap1] = TestShaderBehaviour{1, true, kGreen};
    expect_color(kor::rampColour(&state, inst(), 0.0f, nullptr), kGreen, 0, "zo_call_shader");
}

TEST_F(Ramp, MapThroughTheGeneratorAndWithoutOne) {
    p->coords = kCoords;
    p->gradientType = kRampLinear;
    keys({key(0.0f, 0, kRed), key(1.0f, 1, kBlue)});
    gen.u = 0.25f;
    gen.v = 0.9f;
    Color c{9, 9, 9, 9};
    int mode = 0;
    EXPECT_TRUE(kor_GradientRamp(&c, &state, p, &mode));
    expect_color(c, mix(kRed, kBlue, 0.25), 1e-6, "linear: x = u");
    p->gradientType = kRampVertical;
    kor_GradientRamp(&c, &state, p, &mode);
    expect_color(c, mix(kRed, kBlue, 0.9), 1e-6, "vertical: x = v");
    p->gradientType = kRampRadial;
    gen.u = 0.5f;
    gen.v = 0.7f;
    kor_GradientRamp(&c, &state, p, &mode);
    expect_color(c, mix(kRed, kBlue, 0.4), 1e-5, "radial: 2 * distance");
    p->coords = 0;
    kor_GradientRamp(&c, &state, p, &mode);
    kor_GradientRamp(&c, &state, p, &mode);
    expect_color(c, Color{0, 0, 0, 0}, 0, "no generator");
    EXPECT_EQ(messages(), 1) << "reported once";
}

// ---------------------------------------------------------------------------
// Bricks

class Bricks : public Pattern {
  protected:
    void SetUp() override {
        Pattern::SetUp();
        p.mortarColor = kA;
        p.brickColor = kB;
        p.horizontalCount = 4;
        p.verticalCount = 8;
        p.horizontalGap = p.verticalGap = 0.5f;
        p.coords = kCoords;
        cellW = 1.0 / (4 + 0.005);
        cellH = 1.0 / (8 + 0.005);
    }
    Color at(double u, double v, double du = 0, double dv = 0) {
        gen.u = float(u);
        gen.v = float(v);
        gen.du = float(du);
        gen.dv = float(dv);
        Color c{9, 9, 9, 9};
        int mode = 0;
        EXPECT_TRUE(kor_Bricks(&c, &state, &p, &mode));
        return c;
    }
    BricksParams p{};
    double cellW, cellH;
};

TEST_F(Bricks, BrickCentresAndMortar) {
    expect_color(at(1.5 * cellW, 0.5 * cellH), kB, 0, "brick centre, row 0");
    expect_color(at(2 * cellW + 0.002, 0.5 * cellH), kA, 0, "in the vertical joint");
    expect_color(at(1.5 * cellW, 1.0 * cellH + 0.002), kA, 0, "in the horizontal joint");
    // row 1 is shifted by half a brick: the old centre is now a joint
    expect_color(at(1.5 * cellW, 1.5 * cellH), kA, 0, "row 1 joint");
    expect_color(at(1.0 * cellW, 1.5 * cellH), kB, 0, "row 1 brick centre");
}

TEST_F(Bricks, AFootprintOverAWholeCellMixesByTheBrickShare) {
    const double gap = 0.005 / cellW;  // joint width as a share of the cell
    expect_color(at(1.5 * cellW, 0.5 * cellH, 1.5 * cellW, 0), mix(kA, kB, 1 - 2 * gap), 1e-4,
                 "whole cell across");
}

TEST_F(Bricks, HolesAndVariations) {
    p.holes = 100;
    expect_color(at(1.5 * cellW, 0.5 * cellH), kA, 0, "every brick left out");
    p.holes = 0;
    p.colorVariance = 0.5f;
    const Color c = at(1.5 * cellW, 0.5 * cellH);
    // the variation scales all three channels alike
    EXPECT_NEAR(c.r / kB.r, c.g / kB.g, 1e-5);
    EXPECT_NEAR(c.g / kB.g, c.b / kB.b, 1e-5);
    EXPECT_NEAR(c.r / kB.r, 1.0, 0.5 * 1.01);
}

// ---------------------------------------------------------------------------
// Mix, mask, composite, RGB multiplier, tint

class Blend : public Pattern {};

TEST_F(Blend, MixAtZeroHalfAndOne) {
    MixParams p{};
    p.color1 = kA;
    p.color2 = kB;
    p.map1 = kMap1;
    p.map2 = kMap2;
    map1.colour = kA;
    map2.colour = kC;
    p.map2On = 1;
    int mode = 0;
    Color c;
    p.mixAmount = 0;
    kor_Mix(&c, &state, &p, &mode);
    expect_color(c, kA, 0, "0: side 1");
    EXPECT_TRUE(map2.modes.empty()) << "side 2 not called";
    p.mixAmount = 1;
    kor_Mix(&c, &state, &p, &mode);
    expect_color(c, kC, 0, "1: side 2 (its map)");
    p.mixAmount = 0.5f;
    kor_Mix(&c, &state, &p, &mode);
    expect_color(c,
                 Color{(kA.r + kC.r) / 2, (kA.g + kC.g) / 2, (kA.b + kC.b) / 2, (kA.a + kC.a) / 2},
                 1e-6, "0.5: the mean");
}

TEST_F(Blend, MixCurveAndMixMap) {
    MixParams p{};
    p.color1 = kA;
    p.color2 = kB;
    p.map1 = kMap1;
    p.map1On = 1;
    map1.colour = kA;
    p.useCurve = 1;
    p.curveLower = 0.3f;
    p.curveUpper = 0.7f;
    int mode = 0;
    Color c;
    p.mixAmount = 0.5f;
    kor_Mix(&c, &state, &p, &mode);
    expect_color(c, mix(kA, kB, 0.5), 1e-6, "t 0.5 stays 0.5");
    map1.modes.clear();
    p.mixAmount = 0.3f;
    kor_Mix(&c, &state, &p, &mode);
    expect_color(c, kA, 0, "lower edge: side 1 only");
    p.mixAmount = 0.4f;
    kor_Mix(&c, &state, &p, &mode);
    const double t = 0.25, s = (3 - 2 * t) * t * t;
    expect_color(c, mix(kA, kB, s), 1e-6, "smoothstep");
    // the mix map's grey value, asked for in mono mode
    p.useCurve = 0;
    p.mixMap = kMap3;
    p.mixMapOn = 1;
    map3.colour = {0.1f, 0.2f, 0.6f, 1};
    kor::MapRequest request = {0, 0, 9};
    kor_Mix(&c, &state, &p, &request.kind);
    expect_color(c, mix(kA, kB, 0.3), 1e-6, "amount from the mix map");
    EXPECT_EQ(map3.modes.back(), 1);
    EXPECT_EQ(request.kind, 0) << "mode restored";
}

TEST_F(Blend, CompositeLayers) {
    auto *p = arena.make<CompositeParams>();
    map1.colour = {0.8f, 0.4f, 0.2f, 1};
    arena.fill(p->layerMaps, {kMap1});
    arena.fill(p->layerOn, {1});
    arena.fill(p->maskMaps, {Tag(0)});
    arena.fill(p->maskOn, {0});
    arena.fill(p->opacity, {50.0f});
    arena.fill(p->blendMode, {0});
    int mode = 0;
    Color c;
    kor_Composite(&c, &state, p, &mode);
    expect_color(c, Color{0.4f, 0.2f, 0.1f, 0.5f}, 1e-6, "one layer at 50 percent");

    // a second layer multiplied over the first, both opaque
    map2.colour = {0.5f, 0.5f, 1.0f, 1};
    p = arena.make<CompositeParams>();
    arena.fill(p->layerMaps, {kMap1, kMap2});
    arena.fill(p->layerOn, {1, 1});
    arena.fill(p->maskMaps, {Tag(0), Tag(0)});
    arena.fill(p->maskOn, {0, 0});
    arena.fill(p->opacity, {100.0f, 100.0f});
    arena.fill(p->blendMode, {0, 5});
    kor_Composite(&c, &state, p, &mode);
    expect_color(c, Color{0.4f, 0.2f, 0.2f, 1}, 1e-6, "multiply");

    // half-transparent layer 2 in normal mode over opaque layer 1
    map2.colour = {0.25f, 0.25f, 0.5f, 0.5f};  // premultiplied: rgb (0.5, 0.5, 1)
    p->blendMode[p->blendMode.start + 1] = 0;
    kor_Composite(&c, &state, p, &mode);
    // alpha' = 0.5 + 1 * 0.5 = 1; rgb = (A * 0.5 + 0 + L * 0.5) / 1
    expect_color(c, Color{0.65f, 0.45f, 0.6f, 1}, 1e-6, "normal over opaque");

    // a mask of grey 0.5 halves the layer's alpha; a mode out of range
    map3.colour = {0.5f, 0.9f, 0.9f, 1};
    p->maskMaps[p->maskMaps.start + 1] = kMap3;
    p->maskOn[p->maskOn.start + 1] = 1;
    p->blendMode[p->blendMode.start + 1] = 0;
    map2.colour = {0.5f, 0.5f, 1.0f, 1};
    kor_Composite(&c, &state, p, &mode);
    expect_color(c, Color{0.65f, 0.45f, 0.6f, 1}, 1e-6, "masked to alpha 0.5");
    EXPECT_EQ(map3.modes.back(), 0) << "mask in colour mode";
    p->blendMode[p->blendMode.start + 1] = 25;
    kor_Composite(&c, &state, p, &mode);
    expect_color(c, Color{0, 0, 0, 1}, 0, "unknown mode");
}

TEST_F(Blend, MaskTimesTheMaskGrey) {
    MaskParams p{};
    p.map = kMap1;
    p.mapOn = 1;
    p.mask = kMap2;
    p.maskOn = 1;
    map1.colour = kB;
    map2.colour = {0.3f, 0.6f, 0.9f, 1};  // grey 0.6
    int mode = 0;
    Color c;
    kor_Mask(&c, &state, &p, &mode);
    expect_color(c, Color{kB.r * 0.6f, kB.g * 0.6f, kB.b * 0.6f, kB.a * 0.6f}, 1e-6, "masked");
    EXPECT_EQ(map2.modes.back(), 1) << "mask in mono mode";
    EXPECT_EQ(mode, 0);
    p.maskInverted = 1;
    kor_Mask(&c, &state, &p, &mode);
    expect_color(c, Color{kB.r * 0.4f, kB.g * 0.4f, kB.b * 0.4f, kB.a * 0.4f}, 1e-6, "inverted");
    p.mapOn = 0;
    p.maskInverted = 0;
    kor_Mask(&c, &state, &p, &mode);
    expect_color(c, Color{0.6f, 0.6f, 0.6f, 0.6f}, 1e-6, "missing map: white");
    mode = 2;
    kor_Mask(&c, &state, &p, &mode);
    EXPECT_EQ(c.r, 0);
    EXPECT_EQ(c.g, 0);
    EXPECT_EQ(c.b, 0);
}

TEST_F(Blend, RGBMultiplierAndTint) {
    RGBMultiplierParams m{};
    m.color1 = kA;
    m.color2 = kB;
    int mode = 0;
    Color c;
    kor_RGBMultiplier(&c, &state, &m, &mode);
    expect_color(c, Color{kA.r * kB.r, kA.g * kB.g, kA.b * kB.b, kA.a * kB.a}, 1e-6, "product");
    // bump with both maps: the product rule
    m.map1 = kMap1;
    m.map2 = kMap2;
    m.map1On = m.map2On = 1;
    map1.colour = {0.5f, 0.5f, 0.5f, 1};
    map2.colour = {0.25f, 0.25f, 0.25f, 1};
    map1.bump = {1, 0, 0};
    map2.bump = {0, 2, 0};
    kor::MapRequest request = {2, 0, 0};
    kor_RGBMultiplier(&c, &state, &m, &request.kind);
    EXPECT_NEAR(c.r, 1 * 0.25, 1e-6);
    EXPECT_NEAR(c.g, 0.5 * 2, 1e-6);
    EXPECT_NEAR(c.b, 0, 1e-6);

    TintParams t{};
    t.red = {1, 0, 0, 1};
    t.green = {0, 0, 1, 1};
    t.blue = {0, 1, 0, 1};
    t.map = kMap1;
    t.mapOn = 1;
    map1.colour = {0.2f, 0.5f, 0.8f, 0.7f};
    kor_Tint(&c, &state, &t, &mode);
    expect_color(c, Color{0.2f, 0.8f, 0.5f, 0.7f}, 1e-6, "green and blue swapped");
    t.mapOn = 0;
    t.red = {0.5f, 0.5f, 0, 1};
    kor_Tint(&c, &state, &t, &mode);
    expect_color(c, Color{0.5f, 1.5f, 1.0f, 1}, 1e-6, "white input: sum of the three");
}

// ---------------------------------------------------------------------------
// Colour correction

TEST_F(Blend, ColourCorrectionIdentitiesAndShifts) {
    ColorCorrectionParams p{};
    p.color = {0.2f, 0.5f, 0.7f, 0.9f};
    p.rewireRed = 0;
    p.rewireGreen = 1;
    p.rewireBlue = 2;
    p.rewireAlpha = 3;
    p.gainRGB = p.gainR = p.gainG = p.gainB = 100;
    p.gammaRGB = p.gammaR = p.gammaG = p.gammaB = 1;
    int mode = 0;
    Color c;
    kor_ColorCorrection(&c, &state, &p, &mode);
    expect_color(c, p.color, 1e-6, "neutral standard settings");
    p.lightnessMode = 1;
    kor_ColorCorrection(&c, &state, &p, &mode);
    expect_color(c, p.color, 1e-6, "neutral advanced settings");
    p.lightnessMode = 0;
    p.rewireRed = 2;
    p.rewireBlue = 4;
    p.rewireAlpha = 9;
    kor_ColorCorrection(&c, &state, &p, &mode);
    expect_color(c, Color{0.7f, 0.5f, 0.8f, 1}, 1e-6, "rewired: blue, green, 1 - red, one");
    p.rewireRed = 0;
    p.rewireBlue = 2;
    p.rewireAlpha = 3;
    p.brightness = 10;
    p.contrast = 50;
    kor_ColorCorrection(&c, &state, &p, &mode);
    auto bc = [](double x) { return float((x - 0.5) * 1.5 + 0.6); };
    expect_color(c, Color{bc(0.2), bc(0.5), bc(0.7), 0.9f}, 1e-5, "brightness and contrast");
    p.brightness = p.contrast = 0;
    p.color = {1, 0, 0, 1};
    p.hueShift = 120;
    kor_ColorCorrection(&c, &state, &p, &mode);
    expect_color(c, Color{0, 1, 0, 1}, 1e-5, "red turned to green");
    p.hueShift = 0;
    p.saturation = -100;
    p.color = {0.2f, 0.6f, 0.4f, 1};
    kor_ColorCorrection(&c, &state, &p, &mode);
    expect_color(c, Color{0.4f, 0.4f, 0.4f, 1}, 1e-5, "no saturation: the lightness");
}

// ---------------------------------------------------------------------------
// Falloff

TEST_F(Blend, FalloffHeadOnAndGrazing) {
    FalloffParams f{};
    f.value1 = 0.2f;
    f.value2 = 0.9f;
    f.falloffType = 0;
    f.unsigned_ = 1;
    int mode = 0;
    Color c;
    kor_Falloff(&c, &state, &f, &mode);
    expect_color(c, Color{0.9f, 0.9f, 0.9f, 1}, 1e-6, "head-on: t 1");
    state.dir = {1, 0, 0};
    kor_Falloff(&c, &state, &f, &mode);
    expect_color(c, Color{0.2f, 0.2f, 0.2f, 1}, 1e-6, "grazing: t 0");
    f.unsigned_ = 0;
    kor_Falloff(&c, &state, &f, &mode);
    expect_color(c, Color{0.55f, 0.55f, 0.55f, 1}, 1e-6, "signed: (0 + 1) / 2");

    Falloff2Params g{};
    g.color1 = kA;
    g.color2 = kB;
    state.dir = {0, 0, -1};
    kor_Falloff2(&c, &state, &g, &mode);
    expect_color(c, kA, 1e-6, "type 0 head-on: colour 1");
    state.dir = {1, 0, 0};
    kor_Falloff2(&c, &state, &g, &mode);
    expect_color(c, mix(kA, kB, 0.5), 1e-6, "type 0 grazing: half");
    g.falloffType = 1;
    kor_Falloff2(&c, &state, &g, &mode);
    expect_color(c, kB, 1e-6, "type 1 grazing: colour 2");
    const float s = std::sqrt(0.5f);
    state.dir = {s, 0, -s};
    kor_Falloff2(&c, &state, &g, &mode);
    expect_color(c, mix(kA, kB, 1 - s), 1e-6, "type 1 at 45 degrees");
}

TEST_F(Blend, FalloffDistanceBlend) {
    Falloff2Params g{};
    g.color1 = kA;
    g.color2 = kB;
    g.falloffType = 4;
    g.nearDistance = 2;
    g.farDistance = 6;
    state.org = {0, 0, 0};
    int mode = 0;
    Color c;
    state.point = {0, 0, -1};
    kor_Falloff2(&c, &state, &g, &mode);
    expect_color(c, kB, 1e-6, "nearer than near: t 1");
    state.point = {0, 0, -5};
    kor_Falloff2(&c, &state, &g, &mode);
    expect_color(c, mix(kA, kB, 0.25), 1e-6, "between: (far - d) / (far - near)");
    state.point = {0, 0, -8};
    kor_Falloff2(&c, &state, &g, &mode);
    expect_color(c, kA, 1e-6, "beyond far: t 0");
    g.extrapolate = 1;
    kor_Falloff2(&c, &state, &g, &mode);
    expect_color(c, mix(kA, kB, -0.5), 1e-6, "extrapolated");
}

// ---------------------------------------------------------------------------
// Output shader and curves

zoBoolean run_curve(void *result, RenderState *state, void *params, void *arg) {
    return kor_base_Curve(static_cast<Color *>(result), state, static_cast<CurveParams *>(params),
                          static_cast<CurveRequest *>(arg));
}
zoBoolean run_control(void *result, RenderState *state, void *params, void *) {
    return kor_base_CurveControl(static_cast<CurveList *>(result), state,
                                 static_cast<CurveControlParams *>(params));
}

TEST_F(Blend, OutputShaderIdentityAndAdjustments) {
    OutputAdjustParams o{};
    o.outputAmount = 1;
    o.rgbLevel = 1;
    o.bumpAmount = 1;
    const Color in = {0.3f, 1.4f, -0.2f, 0.8f};
    Color c = in;
    int mode = 0;
    kor_base_Output(&c, &state, &o, &mode);
    expect_color(c, in, 0, "neutral settings");
    o.rgbLevel = 2;
    o.rgbOffset = 0.1f;
    o.outputAmount = 0.5f;
    c = in;
    kor_base_Output(&c, &state, &o, &mode);
    auto adj = [](double x) { return float((x * 2 + 0.1 * 0.8) * 0.5); };
    expect_color(c, Color{adj(0.3), adj(1.4), adj(-0.2), 0.4f}, 1e-6, "level, offset, amount");
    o.rgbLevel = 1;
    o.rgbOffset = 0;
    o.outputAmount = 1;
    o.invert = 1;
    o.clampResult = 1;
    c = in;
    kor_base_Output(&c, &state, &o, &mode);
    expect_color(c, Color{0.7f, 0, 1, 0.8f}, 1e-6, "inverted and clamped");
    mode = 2;
    o.bumpAmount = 3;
    c = {1, 2, 3, 0};
    kor_base_Output(&c, &state, &o, &mode);
    EXPECT_EQ(c.r, -3);
    EXPECT_EQ(c.g, -6);
    EXPECT_EQ(c.b, -9);
}

class Curve : public Pattern {
  protected:
    void SetUp() override {
        Pattern::SetUp();
        curve = arena.make<CurveParams>();
        fn_host().functions[kCurve] = {run_curve, curve};
        fn_host().functions[kControl] = {run_control, &control.p};
        fn_host().functions[kControl2] = {run_control, &control2.p};
    }
    void TearDown() override {
        kor_base_Curve_exit(&state, curve);
        Pattern::TearDown();
    }
    void init(std::initializer_list<Tag> controls) {
        arena.fill(curve->curves, controls);
        zoBoolean more = 0;
        kor_base_Curve_init(&state, nullptr, &more);
        EXPECT_TRUE(more);
        kor_base_Curve_init(&state, curve, &more);
    }
    float at(float x, int channel = 0, int table = 0) {
        CurveRequest r = {channel, table};
        Color c = {x, 0, 0, 0};
        zo_call_shader_x(&c, ZO_SHADER_MAP, &state, kCurve, &r);
        return c.r;
    }
    struct Control {
        CurveControlParams p;
        CurvePoint more[8];
    };
    void points(Control &c, std::initializer_list<CurvePoint> list) {
        c.p.points.start = 1;
        c.p.points.count = static_cast<int32_t>(list.size());
        CurvePoint *out = &c.p.points[1];
        for (const CurvePoint &pt : list) *out++ = pt;
    }
    CurveParams *curve;
    Control control{}, control2{};
};

TEST_F(Curve, DiagonalIsTheIdentityAndEndsContinueAlongTheirHandles) {
    const float h = 1.0f / 3;
    points(control, {{0, 0, -h, -h, h, h, 0}, {1, 1, -h, -h, h, h, 0}});
    points(control2, {{0, 1, 0, 0, 0.5f, 0, 0}, {1, 0, -0.5f, 0, 0, 0, 1}});
    init({kControl, kControl2});
    for (float x : {0.0f, 0.1f, 0.25f, 0.5f, 0.8f, 1.0f}) EXPECT_NEAR(at(x), x, 1e-5) << x;
    EXPECT_NEAR(at(-0.5f), -0.5f, 1e-6) << "along the first handle";
    EXPECT_NEAR(at(2.0f), 2.0f, 1e-6) << "along the last handle";
    // curve 1: flat handles; symmetric about the middle
    EXPECT_NEAR(at(0.5f, 1), 0.5f, 1e-5);
    EXPECT_NEAR(at(0.25f, 1) + at(0.75f, 1), 1.0f, 1e-4);
    // its first point has no handle before it: the line to the next point
    EXPECT_NEAR(at(-1.0f, 1), 2.0f, 1e-6);
    EXPECT_NEAR(at(1.5f, 1), -0.5f, 1e-6) << "a corner: the line from the neighbour";
    // an Output shader with its curve reproduces the identity
    OutputAdjustParams o{};
    o.outputAmount = o.rgbLevel = o.bumpAmount = 1;
    o.useCurve = 1;
    o.curve = kCurve;
    Color c = {0.2f, 0.6f, 0.9f, 1};
    int mode = 0;
    kor_base_Output(&c, &state, &o, &mode);
    expect_color(c, Color{0.2f, 0.6f, 0.9f, 1}, 1e-5, "identity curve");
}

TEST_F(Curve, EmptyCurveGivesZero) {
    points(control, {});
    init({kControl});
    EXPECT_EQ(at(0.4f), 0.0f);
}

// ---------------------------------------------------------------------------
// Output map, vertex colour, particles

TEST_F(Blend, OutputMapWithAndWithoutItsMap) {
    OutputMapParams p{};
    int mode = 0;
    Color c;
    kor_Output(&c, &state, &p, &mode);
    expect_color(c, Color{1, 1, 1, 1}, 0, "white");
    p.map = kMap1;
    p.mapOn = 1;
    map1.colour = kC;
    kor_Output(&c, &state, &p, &mode);
    expect_color(c, kC, 0, "the map");
}

TEST_F(Blend, VertexColourWithAndWithoutData) {
    VertexColorParams p{};
    p.mapChannel = 0;
    p.subChannel = 0;
    state.point = {0.1f, -0.2f, 0.3f};
    int mode = 0;
    Color c;
    kor_VertexColor(&c, &state, &p, &mode);
    expect_color(c, Color{10, -20, 30, 1}, 1e-5, "no object data: camera point x 100");

    ObjectData object{};
    object.channelStart = 0;
    object.channelCount = 1;
    object.channelMap[0] = 1;
    internal::scene().object_data = 700;
    internal::host().data_blocks[700] = &object;
    Vector3 tex[2] = {{0, 0, 0}, {0.1f, 0.6f, 0.9f}};
    state.tex_list = tex;
    state.tex_count = 2;
    kor_VertexColor(&c, &state, &p, &mode);
    expect_color(c, Color{0.1f, 0.6f, 0.9f, 1}, 0, "channel 0 -> texture space 1");
    p.subChannel = 2;
    kor_VertexColor(&c, &state, &p, &mode);
    expect_color(c, Color{0.6f, 0.6f, 0.6f, 1}, 0, "green in all three");
    p.mapChannel = 5;
    kor_VertexColor(&c, &state, &p, &mode);
    expect_color(c, Color{0, 0, 0, 1}, 0, "unknown channel");
    mode = 2;
    kor_VertexColor(&c, &state, &p, &mode);
    EXPECT_EQ(c.r, 0);
    EXPECT_EQ(c.g, 0);
    EXPECT_EQ(c.b, 0);
}

class Particle : public Pattern {
  protected:
    void SetUp() override {
        Pattern::SetUp();
        // three particles, every table zero to begin with
        rec = arena.make<ParticleRecord>();
        rec->count = 3;
        arena.fill(rec->ages, {0, 0, 0});
        arena.fill(rec->lifetimes, {0, 0, 0});
        arena.fill(rec->sizes, {0.0f, 0.0f, 0.0f});
        arena.fill(rec->positions, {Vector3{0, 0, 0}, Vector3{0, 0, 0}, Vector3{0, 0, 0}});
        arena.fill(rec->velocities, {Vector3{0, 0, 0}, Vector3{0, 0, 0}, Vector3{0, 0, 0}});
        arena.fill(rec->shapes, {0, 0, 0});
        object.particleData = 801;
        internal::scene().object_data = 800;
        internal::host().data_blocks[800] = &object;
        internal::host().data_blocks[801] = rec;
        internal::scene().has_face_data = true;
        internal::scene().face_columns = {-1, -1, 0};
        internal::scene().face_words = {1};
    }
    void particle(int id) { internal::scene().face_words = {id}; }
    template <typename E>
    E &at(kor::ParamArray<E> &a, int k) {
        return a[a.start + k];
    }
    ObjectData object{};
    ParticleRecord *rec = nullptr;
};

TEST_F(Particle, AgeBlendsOverTheLife) {
    ParticleAgeParams p{};
    p.color1 = kRed;
    p.color2 = kGreen;
    p.color3 = kBlue;
    p.age1 = 20;
    p.age2 = 50;
    p.age3 = 80;
    zoBoolean more = 0;
    kor_ParticleAge_init(&state, nullptr, &more);
    EXPECT_TRUE(more);
    kor_ParticleAge_init(&state, &p, &more);
    // particle 1: age 35 of 100 -> between colour 1 and 2 at (0.35 - 0.2) / 0.3
    at(rec->ages, 1) = 35;
    at(rec->lifetimes, 1) = 100;
    int mode = 0;
    Color c;
    kor_ParticleAge(&c, &state, &p, &mode);
    expect_color(c, mix(kRed, kGreen, 0.5), 1e-6, "35 percent");
    at(rec->ages, 1) = 65;
    kor_ParticleAge(&c, &state, &p, &mode);
    expect_color(c, mix(kGreen, kBlue, 0.5), 1e-6, "65 percent");
    at(rec->ages, 1) = 90;
    kor_ParticleAge(&c, &state, &p, &mode);
    expect_color(c, kBlue, 0, "old");
    particle(4);  // 4 mod 3 = 1
    kor_ParticleAge(&c, &state, &p, &mode);
    expect_color(c, kBlue, 0, "identifier taken modulo the count");
    particle(0);  // life 0: t = 0
    kor_ParticleAge(&c, &state, &p, &mode);
    expect_color(c, kRed, 0, "no life");
    internal::scene().object_data = 0;
    kor_ParticleAge(&c, &state, &p, &mode);
    expect_color(c, Color{0, 0, 0, 0}, 0, "no object data");
    kor_ParticleAge_exit(&state, &p);
}

TEST_F(Particle, BlurAlongTheVelocity) {
    ParticleBlurParams p{};
    p.color1 = kA;
    p.color2 = kB;
    p.sharpness = 0.5f;
    at(rec->sizes, 1) = 4;  // s = 2
    at(rec->positions, 1) = {0, 0, 0};
    at(rec->velocities, 1) = {2, 0, 0};
    state.point = {1.25f, 0.3f, 0};  // d = 1.25
    int mode = 0;
    Color c;
    kor_ParticleBlur(&c, &state, &p, &mode);
    const double f = (0.5 / 2) * (1 - (1.25 - 0.5) / (2 - 0.5));
    expect_color(c, mix(kB, kA, f), 1e-6, "head and tail");
    at(rec->shapes, 1) = 3;  // d -= s: -0.75
    kor_ParticleBlur(&c, &state, &p, &mode);
    const double f3 = (0.5 / 2) * (1 - (0.75 - 0.5) / (2 - 0.5));
    expect_color(c, mix(kB, kA, f3), 1e-6, "shape 3");
    at(rec->sizes, 1) = 0.8f;  // s 0.4 <= sharpness
    kor_ParticleBlur(&c, &state, &p, &mode);
    expect_color(c, kA, 0, "small particle: the head colour");
    rec->count = 0;
    kor_ParticleBlur(&c, &state, &p, &mode);
    expect_color(c, Color{0, 0, 0, 0}, 0, "no particles");
}

// ---------------------------------------------------------------------------
// Samples allocate nothing.

TEST_F(Ramp, SamplesAllocateNothing) {
    p->coords = kCoords;
    keys({key(0.0f, 0, kRed, 1), key(0.4f, 1, kGreen, 2), key(1.0f, 2, kBlue)});
    const long before = allocations();
    CheckerParams ck{};
    ck.coords = kCoords;
    MixParams mx{};
    mx.mixAmount = 0.3f;
    BricksParams br{};
    br.horizontalCount = 3;
    br.verticalCount = 5;
    br.coords = kCoords;
    int mode = 0;
    Color c;
    for (int i = 0; i < 50; ++i) {
        gen.u = i / 50.0f;
        kor_GradientRamp(&c, &state, p, &mode);
        kor_Checker(&c, &state, &ck, &mode);
        kor_Mix(&c, &state, &mx, &mode);
        kor_Bricks(&c, &state, &br, &mode);
    }
    EXPECT_EQ(allocations(), before);
}

}  // namespace
