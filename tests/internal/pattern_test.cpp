// Bricks and mortar at chosen points, and the curve shaders' Bezier
// segments and end handles. The other pattern and blend maps are proven by
// render checks (tests.json).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

#include "internal/internal.h"
#include "kor_stduv.h"
#include "kor_support.h"
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

constexpr Tag kCoords = 900;
constexpr Tag kCurve = 905, kControl = 906, kControl2 = 907;

const Color kA{0.2f, 0.4f, 0.6f, 1.0f}, kB{0.9f, 0.7f, 0.1f, 0.5f};

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
    }
    void TearDown() override {
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "blocks released";
        EXPECT_EQ(fn_host().lock_inits, fn_host().lock_deletes) << "locks deleted";
    }

    FakeGenerator gen;
    zoOptions options{};
    zoCamera camera{};
    zoShaderRecord record{};
    RenderState state{};
    void *slot = nullptr;
    Arena arena;
};

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
    // wider horizontal joints only: 3 percent of the tile, 0.03 / cellH of a cell
    p.verticalGap = 3.0f;
    cellH = 1.0 / (8 + 0.03);
    expect_color(at(1.0 * cellW, 1.0 * cellH + 0.01), kA, 0, "in the wider horizontal joint");
    expect_color(at(2 * cellW + 0.01, 0.5 * cellH), kB, 0, "the vertical joints stay narrow");
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

}  // namespace
