// The compound materials: blend by amount, curve and mask, multi-material
// by face id, double-sided by facing, top/bottom by the normal with its
// blend band, shellac, composite layers in every mode, photons, shadows,
// render element results across the top/bottom band, contour forwarding,
// the material call's warn-once message and allocation per sample.
#include <gtest/gtest.h>

#include <cstring>

#include "internal/internal.h"
#include "kor_context.h"
#include "kor_rendelem.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_compound.h"
#include "testhost/testhost_illum.h"

namespace {

template <typename T>
struct Array {
    int32_t start, count;
    T first;
};

template <typename T, typename S>
int32_t start_of(const T *slot, const S *store) {
    return static_cast<int32_t>(
        (reinterpret_cast<const char *>(store) - reinterpret_cast<const char *>(slot)) / sizeof(S));
}

template <typename T, int N>
void fill(Array<T> *array, T (&store)[N], std::initializer_list<T> values) {
    array->start = start_of(&array->first, store);
    array->count = static_cast<int32_t>(values.size());
    int k = 0;
    for (T v : values) store[k++] = v;
}

struct TopBottomRecord {
    Tag top, bottom;
    zoBoolean topOn, bottomOn;
    float blend, position;
    zoBoolean local;
    int32_t materialId;
};

struct BlendRecord {
    float mixAmount, curveLower, curveUpper;
    zoBoolean useCurve;
    int32_t unused;
    Tag material1, material2, mask;
    zoBoolean material1On, material2On, maskOn;
    int32_t materialId;
};

struct DoubleSidedRecord {
    Tag front, back;
    zoBoolean frontOn, backOn;
    float translucency;
    int32_t materialId;
};

struct MultiRecord {
    Array<Tag> materials;
    Array<zoBoolean> on;
    Array<int32_t> ids;
    int32_t materialId;
    Tag materialStore[8];
    zoBoolean onStore[8];
    int32_t idStore[8];
};

struct ShellacRecord {
    Tag base, shellac;
    float blend;
    int32_t materialId;
};

struct CompositeRecord {
    Array<Tag> materials;
    Array<int32_t> modes;
    Array<zoBoolean> on;
    Array<float> amounts;
    int32_t materialId;
    Tag materialStore[10];
    int32_t modeStore[10];
    zoBoolean onStore[10];
    float amountStore[10];
};

}  // namespace

extern "C" {
zoBoolean kor_TopBottomMaterial(Color *, RenderState *, TopBottomRecord *);
zoBoolean kor_BlendMaterial(Color *, RenderState *, BlendRecord *);
zoBoolean kor_DoubleSidedMaterial(Color *, RenderState *, DoubleSidedRecord *);
zoBoolean kor_MultiMaterial(Color *, RenderState *, MultiRecord *);
zoBoolean kor_ShellacMaterial(Color *, RenderState *, ShellacRecord *);
zoBoolean kor_CompositeMaterial(Color *, RenderState *, CompositeRecord *);
zoBoolean kor_BlendMaterial_Contour(void *, void *, void *, RenderState *, BlendRecord *);
zoBoolean kor_DoubleSidedMaterial_Contour(void *, void *, void *, RenderState *,
                                          DoubleSidedRecord *);
zoBoolean kor_MultiMaterial_Contour(void *, void *, void *, RenderState *, MultiRecord *);
#define COMPANIONS(name)                                  \
    void name##_init(RenderState *, void *, zoBoolean *); \
    void name##_exit(RenderState *, void *);
COMPANIONS(kor_TopBottomMaterial)
COMPANIONS(kor_BlendMaterial)
COMPANIONS(kor_DoubleSidedMaterial)
COMPANIONS(kor_MultiMaterial)
COMPANIONS(kor_ShellacMaterial)
COMPANIONS(kor_CompositeMaterial)
COMPANIONS(kor_MultiMaterial_Contour)
COMPANIONS(kor_BlendMaterial_Contour)
}

namespace {

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestBitmapHost &bitmap() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}
TestCompoundHost &compound() {
    return *internal::host_object<TestCompoundHost>("testhost_compound");
}

void expect_color(const Color &c, float r, float g, float b, float a, const char *what = "") {
    EXPECT_NEAR(c.r, r, 1e-5f) << what;
    EXPECT_NEAR(c.g, g, 1e-5f) << what;
    EXPECT_NEAR(c.b, b, 1e-5f) << what;
    EXPECT_NEAR(c.a, a, 1e-5f) << what;
}

// a * w + b * (1 - w), worked out here
Color weighted(const Color &a, const Color &b, float w) {
    return {a.r * w + b.r * (1 - w), a.g * w + b.g * (1 - w), a.b * w + b.b * (1 - w),
            a.a * w + b.a * (1 - w)};
}

// Sub-materials: scene material tags and the colours their shaders answer.
constexpr Tag kA = 1, kB = 2, kC = 3, kMask = 70;
const Color kColourA = {0.8f, 0.4f, 0.2f, 1.0f};
const Color kColourB = {0.1f, 0.3f, 0.9f, 0.5f};
const Color kColourC = {0.3f, 0.6f, 0.3f, 1.0f};

// A sub-material run for real: answers its colour, records what it saw of
// the state, may change the state, fill the transparency probe and write
// the render element results as a material layer would.
struct Recorder {
    Color colour;
    zoBoolean ok = 1;
    int calls = 0;
    int32_t inv_normal = -1;
    Vector3 normal{0, 0, 0}, geometric{0, 0, 0};
    float ior = 0;
    float set_ior = 0;  // non-zero: written into the state
    bool fill_probe = false;
    Color probe{0, 0, 0, 0};
    bool write_elements = false;
    Color elements[2];
};

zoBoolean recorder(void *result, RenderState *state, void *params, void *) {
    auto &r = *static_cast<Recorder *>(params);
    ++r.calls;
    r.inv_normal = state->inv_normal;
    r.normal = state->normal;
    r.geometric = state->normal_geom;
    r.ior = state->ior;
    if (r.set_ior != 0) state->ior = r.set_ior;
    if (r.fill_probe) {
        if (auto *p =
                static_cast<TransparencyProbe *>(zo_shaderstate_get(state, "KEY_3", nullptr))) {
            p->filled = 1;
            p->transparency = r.probe;
        }
    }
    if (r.write_elements) {
        int32_t count = 0;
        if (Color *e = kor_GetRenderElementResults(state, &count))
            for (int32_t k = 0; k < count && k < 2; ++k) e[k] = r.elements[k];
    }
    *static_cast<Color *>(result) = r.colour;
    return r.ok;
}

class Compound : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        bitmap().reset();
        compound().reset();
        internal::host().thread_pointers = true;
        internal::host().user_slot = &slot;
        record.tag = 90;
        state.shader = &record;
        state.options = &options;
        state.normal = state.normal_geom = {0, 0, 1};
        state.dir = {0, 0, -1};
        state.trace_depth = 3;
        state.ior = 1.5f;
        material(kA, kColourA);
        material(kB, kColourB);
        material(kC, kColourC);
    }

    // A scene material whose shaders (surface, shadow, photon) answer `c`.
    void material(Tag tag, Color c, zoBoolean ok = 1) {
        const Tag shader = 100 + tag;
        internal::host().db_types[tag] = ZO_DB_MATERIAL;
        for (int code : {ZO_Q_MTL_SHADER, ZO_Q_MTL_SHADOW, ZO_Q_MTL_PHOTON, ZO_Q_MTL_CONTOUR})
            internal::host().material_shaders[code][tag] = shader;
        internal::host().shaders[shader] = {ok, true, c};
    }
    // The same material run for real through a recorder.
    void recorded(Tag tag, Recorder *r) { compound().materials[100 + tag] = {recorder, r}; }

    void ray(int type, int call) {
        state.type = type;
        internal::host().call_type = call;
    }
    long shader_calls(Tag tag) {
        long n = 0;
        for (const auto &c : internal::host().calls)
            if (c.function == "zo_call_shader" && c.tag == 100 + tag) ++n;
        return n;
    }

    template <typename F, typename P>
    Color run(F shader, P *params, Color start = {9, 9, 9, 9}) {
        Color c = start;
        last = shader(&c, &state, params);
        return c;
    }

    void *slot = nullptr;
    zoOptions options{};
    zoShaderRecord record{};
    RenderState state{};
    zoBoolean last = 0;
};

// ---------------------------------------------------------------------------
// Blend

class BlendMaterial : public Compound {
  protected:
    void SetUp() override {
        Compound::SetUp();
        zoBoolean request = 0;
        kor_BlendMaterial_init(&state, nullptr, &request);
        EXPECT_TRUE(request) << "asks for instance calls";
        p.material1 = kA;
        p.material2 = kB;
        p.material1On = p.material2On = 1;
        p.mixAmount = 0.5f;
        kor_BlendMaterial_init(&state, &p, nullptr);
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(static_cast<int32_t *>(slot)[0], 0);
        EXPECT_EQ(static_cast<int32_t *>(slot)[1], 0);
    }
    void TearDown() override {
        kor_BlendMaterial_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    BlendRecord p{};
};

TEST_F(BlendMaterial, AmountMixesTheTwoMaterials) {
    Color c = run(kor_BlendMaterial, &p);
    EXPECT_TRUE(last);
    expect_color(c, (0.8f + 0.1f) / 2, (0.4f + 0.3f) / 2, (0.2f + 0.9f) / 2, (1 + 0.5f) / 2,
                 "half is the mean");

    p.mixAmount = 0;
    expect_color(run(kor_BlendMaterial, &p), 0.8f, 0.4f, 0.2f, 1, "0 is material 1");
    p.mixAmount = 1;
    expect_color(run(kor_BlendMaterial, &p), 0.1f, 0.3f, 0.9f, 0.5f, "1 is material 2");

    // the ends of the mixing range still mix; beyond them one material runs alone
    internal::host().calls.clear();
    p.mixAmount = 0.0001f;
    Color low = weighted(kColourB, kColourA, 0.0001f);
    expect_color(run(kor_BlendMaterial, &p), low.r, low.g, low.b, low.a, "0.0001 mixes");
    EXPECT_EQ(shader_calls(kB), 1);
    p.mixAmount = 0.9999f;
    Color high = weighted(kColourB, kColourA, 0.9999f);
    expect_color(run(kor_BlendMaterial, &p), high.r, high.g, high.b, high.a, "0.9999 mixes");
    const long a_calls = shader_calls(kA);
    p.mixAmount = 0.99995f;
    run(kor_BlendMaterial, &p);
    EXPECT_EQ(shader_calls(kA), a_calls) << "above 0.9999 material 1 does not run";
}

TEST_F(BlendMaterial, CurveSmoothsTheAmount) {
    p.useCurve = 1;
    p.curveLower = 0.2f;
    p.curveUpper = 0.8f;
    p.mixAmount = 0.35f;
    const float s = (0.35f - 0.2f) / 0.6f, m = (3 - 2 * s) * s * s;
    Color want = weighted(kColourB, kColourA, m);
    expect_color(run(kor_BlendMaterial, &p), want.r, want.g, want.b, want.a, "smoothstep");
    p.mixAmount = 0.19f;
    expect_color(run(kor_BlendMaterial, &p), 0.8f, 0.4f, 0.2f, 1, "below the lower end");
    p.mixAmount = 0.8f;
    expect_color(run(kor_BlendMaterial, &p), 0.1f, 0.3f, 0.9f, 0.5f, "at the upper end");
}

// ---------------------------------------------------------------------------
// Multi

class MultiMaterial : public Compound {
  protected:
    void build(std::initializer_list<Tag> materials, std::initializer_list<zoBoolean> on,
               std::initializer_list<int32_t> ids) {
        std::memset(&p, 0, sizeof p);
        fill(&p.materials, p.materialStore, materials);
        fill(&p.on, p.onStore, on);
        fill(&p.ids, p.idStore, ids);
        zoBoolean request = 0;
        kor_MultiMaterial_init(&state, nullptr, &request);
        EXPECT_TRUE(request);
        kor_MultiMaterial_init(&state, &p, nullptr);
        ASSERT_NE(slot, nullptr);
        internal::scene().has_face_data = true;
        internal::scene().face_columns = {0};
        internal::scene().face_words = {0};
    }
    void TearDown() override {
        kor_MultiMaterial_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    Color face(int32_t id) {
        internal::scene().face_words = {id};
        return run(kor_MultiMaterial, &p);
    }
    int32_t table_size() const { return static_cast<int32_t *>(slot)[2]; }
    MultiRecord p{};
};

TEST_F(MultiMaterial, PicksByFaceIdWithWrapAround) {
    build({kA, kB}, {1, 1}, {1, 5});
    EXPECT_EQ(table_size(), 6) << "largest id + 1";
    expect_color(face(1), 0.8f, 0.4f, 0.2f, 1, "id 1");
    expect_color(face(5), 0.1f, 0.3f, 0.9f, 0.5f, "id 5");
    expect_color(face(7), 0.8f, 0.4f, 0.2f, 1, "7 mod 6 = 1");
    expect_color(face(11), 0.1f, 0.3f, 0.9f, 0.5f, "11 mod 6 = 5");
    expect_color(face(3), 0, 0, 0, 0, "an empty entry is black");
    EXPECT_TRUE(last);
    expect_color(face(0), 0, 0, 0, 0, "entry 0 is empty");
    internal::scene().has_face_data = false;
    expect_color(run(kor_MultiMaterial, &p), 0, 0, 0, 0, "without face data: id 0");
}

TEST_F(MultiMaterial, LowestIndexWinsAndSwitchedOffIsAbsent) {
    build({kA, kB, kC}, {1, 1, 0}, {2, 2, 0});
    EXPECT_EQ(table_size(), 3);
    expect_color(face(2), 0.8f, 0.4f, 0.2f, 1, "the first of a repeated id");
    expect_color(face(0), 0, 0, 0, 0, "switched off");
}

// ---------------------------------------------------------------------------
// Double-sided

class DoubleSidedMaterial : public Compound {
  protected:
    void SetUp() override {
        Compound::SetUp();
        p.front = kA;
        p.back = kB;
        p.frontOn = p.backOn = 1;
        kor_DoubleSidedMaterial_init(&state, &p, nullptr);
        front.colour = kColourA;
        back.colour = kColourB;
        recorded(kA, &front);
        recorded(kB, &back);
    }
    void TearDown() override {
        kor_DoubleSidedMaterial_exit(&state, &p);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    DoubleSidedRecord p{};
    Recorder front, back;
};

TEST_F(DoubleSidedMaterial, PicksByFacing) {
    expect_color(run(kor_DoubleSidedMaterial, &p), 0.8f, 0.4f, 0.2f, 1, "front");
    EXPECT_EQ(back.calls, 0);
    state.inv_normal = 1;
    expect_color(run(kor_DoubleSidedMaterial, &p), 0.1f, 0.3f, 0.9f, 0.5f, "inside: back");
    EXPECT_EQ(back.inv_normal, 0) << "inside flag cleared while it runs";
    EXPECT_EQ(state.inv_normal, 1) << "and restored";
    p.backOn = 0;
    expect_color(run(kor_DoubleSidedMaterial, &p), 0, 0, 0, 0, "switched off");
}

TEST_F(DoubleSidedMaterial, TranslucencyShowsTheOtherSideLitFromBehind) {
    p.translucency = 100;
    expect_color(run(kor_DoubleSidedMaterial, &p), 0.1f, 0.3f, 0.9f, 0.5f);
    EXPECT_EQ(back.normal.z, -1.0f);
    EXPECT_EQ(back.geometric.z, -1.0f);
    EXPECT_EQ(front.normal.z, 1.0f);
    EXPECT_EQ(state.normal.z, 1.0f) << "restored";
    EXPECT_EQ(state.normal_geom.z, 1.0f);

    p.translucency = 25;
    Color want = weighted(kColourB, kColourA, 0.25f);
    Color c = run(kor_DoubleSidedMaterial, &p);
    expect_color(c, want.r, want.g, want.b, want.a);
}

// ---------------------------------------------------------------------------
// Top/Bottom

class TopBottomMaterial : public Compound {
  protected:
    void SetUp() override {
        Compound::SetUp();
        p.top = kA;
        p.bottom = kB;
        p.topOn = p.bottomOn = 1;
        p.position = 50;  // divide at z = 0
        p.blend = 20;     // band of 0.2 on either side
        zoBoolean request = 0;
        kor_TopBottomMaterial_init(&state, nullptr, &request);
        EXPECT_TRUE(request);
        kor_TopBottomMaterial_init(&state, &p, nullptr);
    }
    void TearDown() override {
        kor_TopBottomMaterial_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases)
            << "thread buffers released";
    }
    Color at(float z) {
        state.normal = {0, 0, z};
        return run(kor_TopBottomMaterial, &p);
    }
    TopBottomRecord p{};
};

TEST_F(TopBottomMaterial, ZonesByTheNormal) {
    expect_color(at(1), 0.8f, 0.4f, 0.2f, 1, "up");
    expect_color(at(-1), 0.1f, 0.3f, 0.9f, 0.5f, "down");
    expect_color(at(0.21f), 0.8f, 0.4f, 0.2f, 1, "above the band");
    const float t = (0.1f + 0.2f) / 0.4f;
    Color want = weighted(kColourA, kColourB, t);
    expect_color(at(0.1f), want.r, want.g, want.b, want.a, "in the band");
    Color edge = weighted(kColourA, kColourB, 0.0f);
    expect_color(at(-0.2f), edge.r, edge.g, edge.b, edge.a, "lower edge");

    p.position = 75;  // divide at z = 0.5
    Color upper = weighted(kColourA, kColourB, (0.6f - 0.5f + 0.2f) / 0.4f);
    expect_color(at(0.6f), upper.r, upper.g, upper.b, upper.a);
}

// ---------------------------------------------------------------------------
// Shellac

class ShellacMaterial : public Compound {
  protected:
    void SetUp() override {
        Compound::SetUp();
        p.base = kA;
        p.shellac = kB;
        p.blend = 0.5f;
        kor_ShellacMaterial_init(&state, &p, nullptr);
    }
    void TearDown() override {
        kor_ShellacMaterial_exit(&state, &p);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    ShellacRecord p{};
};

TEST_F(ShellacMaterial, AddsTheShellacByItsAmount) {
    expect_color(run(kor_ShellacMaterial, &p), 0.8f + 0.5f * 0.1f, 0.4f + 0.5f * 0.3f,
                 0.2f + 0.5f * 0.9f, 1, "alpha of the base");
    p.blend = 2;
    expect_color(run(kor_ShellacMaterial, &p), 0.8f + 0.2f, 0.4f + 0.6f, 0.2f + 1.8f, 1);
    p.blend = 0;
    expect_color(run(kor_ShellacMaterial, &p), 0.8f, 0.4f, 0.2f, 1, "no shellac: base");
    EXPECT_EQ(shader_calls(kB), 2);
    p.base = 0;
    expect_color(run(kor_ShellacMaterial, &p), 0.1f, 0.3f, 0.9f, 0.5f, "no base: shellac");
    p.blend = 0.5f;
    expect_color(run(kor_ShellacMaterial, &p), 0.1f, 0.3f, 0.9f, 0.5f, "only one present");
}

// ---------------------------------------------------------------------------
// Composite

class CompositeMaterial : public Compound {
  protected:
    void SetUp() override {
        Compound::SetUp();
        layers({kA}, {2}, {1}, {100});
        kor_CompositeMaterial_init(&state, &p, nullptr);
        illum().transparent_color = {0.2f, 0.4f, 0.6f, 1.0f};
    }
    void TearDown() override {
        kor_CompositeMaterial_exit(&state, &p);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    void layers(std::initializer_list<Tag> materials, std::initializer_list<int32_t> modes,
                std::initializer_list<zoBoolean> on, std::initializer_list<float> amounts) {
        fill(&p.materials, p.materialStore, materials);
        fill(&p.modes, p.modeStore, modes);
        fill(&p.on, p.onStore, on);
        fill(&p.amounts, p.amountStore, amounts);
    }
    CompositeRecord p{};
};

TEST_F(CompositeMaterial, LayerModes) {
    // additive at half: R = C0 * mean(T') + oA * 0.5 C1 with T' = 0.5, oA = 1
    layers({kA, kC}, {2, 0}, {1, 1}, {100, 50});
    Color c = run(kor_CompositeMaterial, &p);
    expect_color(c, 0.8f * 0.5f + 0.5f * 0.3f, 0.4f * 0.5f + 0.5f * 0.6f, 0.2f * 0.5f + 0.5f * 0.3f,
                 1, "additive");
    EXPECT_TRUE(illum().transparent_depths.empty()) << "A stays 0";

    layers({kA, kC}, {2, 1}, {1, 1}, {100, 50});
    c = run(kor_CompositeMaterial, &p);
    expect_color(c, 0.8f * 0.5f - 0.5f * 0.3f, 0.4f * 0.5f - 0.5f * 0.6f, 0.2f * 0.5f - 0.5f * 0.3f,
                 1, "subtractive");

    layers({kA, kC}, {2, 2}, {1, 1}, {100, 30});
    c = run(kor_CompositeMaterial, &p);
    expect_color(c, 0.8f * 0.7f + 0.3f * 0.3f, 0.4f * 0.7f + 0.6f * 0.3f, 0.2f * 0.7f + 0.3f * 0.3f,
                 1, "mix");

    layers({kA, kC}, {2, 2}, {1, 0}, {100, 30});
    expect_color(run(kor_CompositeMaterial, &p), 0.8f, 0.4f, 0.2f, 1, "layer off");

    // an opaque full additive layer over a half-transparent base
    layers({kB, kC}, {2, 0}, {1, 1}, {100, 100});
    c = run(kor_CompositeMaterial, &p);
    // T' = 0, oT = 1, oA = 1 - 0.5: R = 0.5 C1; A = 0.5 - 1 -> 0
    expect_color(c, 0.5f * 0.3f, 0.5f * 0.6f, 0.5f * 0.3f, 1, "covers the base");
}

TEST_F(CompositeMaterial, FirstActiveLayerAdditive) {
    layers({0, kC}, {2, 0}, {1, 1}, {100, 40});
    Color c = run(kor_CompositeMaterial, &p);
    // R = 0.4 C1, A = 0 + (1 - 0.4), traced behind
    const Color B = illum().transparent_color;
    expect_color(c, 0.6f * B.r + 0.4f * 0.3f, 0.6f * B.g + 0.4f * 0.6f, 0.6f * B.b + 0.4f * 0.3f,
                 0.6f * B.a + 0.4f);
    layers({0}, {2}, {1}, {100});
    expect_color(run(kor_CompositeMaterial, &p), 0, 0, 0, 0, "no layer at all");
}

}  // namespace
