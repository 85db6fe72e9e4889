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
}

namespace {

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

// ---------------------------------------------------------------------------
// Mix, mask, composite, RGB multiplier, tint

class Blend : public Pattern {};

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

// ---------------------------------------------------------------------------
// Colour correction

// ---------------------------------------------------------------------------
// Falloff

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

// ---------------------------------------------------------------------------
// Output map, vertex colour, particles

// ---------------------------------------------------------------------------
// Samples allocate nothing.

}  // namespace
