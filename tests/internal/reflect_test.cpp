// The reflection and refraction maps: traced directions with and without
// the material's "KEY_6" record, blur shininess, environment fallbacks,
// photon continuations, cube-face lookups with gamma, thin-wall offsets,
// the flat mirror's options, the raytrace map's attenuation, tint,
// background and object list, and the camera map's projection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "internal/internal.h"
#include "kor_context.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"
#include "testhost/testhost_illum.h"
#include "testhost/testhost_reflect.h"

namespace {

struct RefractRecord {
    zoBoolean blurOn;
    float blur;
    int32_t gbufferId;
};
struct ReflectRefractRecord {
    zoBoolean blurOn;
    float blur;
    int32_t gbufferId;
    int32_t source;
    Tag faces[6];
};
struct ThinWallRecord {
    float thickness;
    zoBoolean blurOn;
    float blur;
    int32_t gbufferId;
};
struct FlatMirrorRecord {
    zoBoolean blurOn;
    float blur;
    zoBoolean firstFrameOnly;
    zoBoolean applyToFaceId;
    int32_t faceId;
    int32_t distortionType;
    float distortionAmount;
    Tag bumpMap;
    float noiseSize, noisePhase, noiseLevels;
    int32_t gbufferId;
};
struct RaytraceRecord {
    int32_t traceMode;
    zoBoolean antialias;
    int32_t samples;
    float blur;
    int32_t attenuationType;
    float attenuationStart, attenuationEnd, attenuationExponent, attenuationAmount;
    int32_t backgroundMode;
    Color backgroundColor;
    Tag backgroundMap;
    zoBoolean tintOn;
    Color tintColor;
    float tintAmount;
    zoBoolean tintMapOn;
    Tag tintMap;
    float tintMapAmount;
    zoBoolean selfHits;
    int32_t gbufferId;
    zoBoolean includeObjects;
    int32_t namesStart, namesCount;
    Tag namesSlot;
    Tag nameStore[4];
};
static_assert(offsetof(RaytraceRecord, namesStart) == 108, "raytrace record");

struct Key6 {
    Vector3 dir;
    int32_t kind;
};

}  // namespace

extern "C" {
zoBoolean kor_Refract(Color *, RenderState *, RefractRecord *, const int *);
zoBoolean kor_ReflectRefract(Color *, RenderState *, ReflectRefractRecord *, const int *);
zoBoolean kor_ThinWallRefraction(Color *, RenderState *, ThinWallRecord *, const int *);
zoBoolean kor_FlatMirror(Color *, RenderState *, FlatMirrorRecord *, const int *);
void kor_FlatMirror_init(RenderState *, void *, zoBoolean *);
void kor_FlatMirror_exit(RenderState *, void *);
zoBoolean kor_Raytrace(Color *, RenderState *, RaytraceRecord *, const int *);
void kor_Raytrace_init(RenderState *, void *, zoBoolean *);
void kor_Raytrace_exit(RenderState *, void *);
}

namespace {

TestIllumHost &illum() {
    return *internal::host_object<TestIllumHost>("testhost_illum");
}
TestReflectHost &reflect() {
    return *internal::host_object<TestReflectHost>("testhost_reflect");
}
TestBitmapHost &functions() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

void expect_vec(const Vector3 &a, const Vector3 &b, float tol = 1e-5f) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}
void expect_color(const Color &a, const Color &b, float tol = 1e-5f) {
    EXPECT_NEAR(a.r, b.r, tol);
    EXPECT_NEAR(a.g, b.g, tol);
    EXPECT_NEAR(a.b, b.b, tol);
    EXPECT_NEAR(a.a, b.a, tol);
}
Vector3 unit(Vector3 v) {
    const float l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / l, v.y / l, v.z / l};
}

class Reflect : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        illum().reset();
        reflect().reset();
        functions().reset();
        internal::host().user_slot = &slot;
        internal::host().thread_pointers = true;
        record.tag = 77;
        state.shader = &record;
        options.trace = 1;
        options.reflection_depth = options.refraction_depth = 4;
        options.trace_depth = 8;
        state.options = &options;
        camera.aspect = 1.0f;
        state.camera = &camera;
        state.type = ZO_RAY_EYE;
        state.normal = state.normal_geom = {0, 0, 1};
        state.point = {1, 2, 3};
        state.ior_in = 1.0f;
        state.ior = 1.5f;
        illum().trace_color = {0.2f, 0.4f, 0.6f, 1.0f};
        illum().reflection_dir = unit({0.6f, 0.0f, 0.8f});
        illum().refraction_dir = unit({0.3f, 0.0f, -0.9f});
    }
    // The material's handshake: the incoming direction in "KEY_6", the
    // turned direction in the state.
    void keyed(Vector3 incoming, int kind, Vector3 turned) {
        Key6 key{incoming, kind};
        zo_shaderstate_set(&state, "KEY_6", &key, sizeof key, ZO_SHADERSTATE_RAY_TREE);
        state.dir = turned;
        state.dot_nd = turned.z;
    }

    void *slot = nullptr;
    zoShaderRecord record{};
    zoOptions options{};
    zoCamera camera{};
    RenderState state{};
    int colour = 0, mono = 1, bump = 2;
};

// ---------------------------------------------------------------------------
// Reflection and refraction rays.

TEST_F(Reflect, KeyedReflectionTracesTheMaterialsDirectionAndRestoresTheState) {
    ReflectRefractRecord p{};
    const Vector3 incoming = unit({0.6f, 0.0f, -0.8f});
    const Vector3 mirror = {incoming.x, incoming.y, -incoming.z};  // about N = +z
    keyed(incoming, 2, mirror);
    Color c{9, 9, 9, 9};
    ASSERT_TRUE(kor_ReflectRefract(&c, &state, &p, &colour));
    expect_color(c, illum().trace_color);
    ASSERT_EQ(reflect().traces.size(), 1u);
    const TestMapTrace &t = reflect().traces[0];
    EXPECT_EQ(t.kind, 2);
    expect_vec(t.dir, mirror);
    expect_vec(t.state_dir, incoming);  // the map works on the arriving ray
    EXPECT_TRUE(t.key1);
    EXPECT_EQ(t.key1_words[0], 0);
    EXPECT_EQ(t.key1_words[1], 0);
    expect_vec(state.dir, mirror);
    EXPECT_NEAR(state.dot_nd, mirror.z, 1e-6f);
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_1", nullptr), nullptr);
}

TEST_F(Reflect, RefractionAndTotalInternalReflection) {
    RefractRecord p{};
    Color c;
    state.type = ZO_RAY_REFRACT;
    state.dir = {0, 0, -1};
    ASSERT_TRUE(kor_Refract(&c, &state, &p, &colour));
    ASSERT_EQ(reflect().traces.size(), 1u);
    EXPECT_EQ(reflect().traces[0].kind, 3);
    expect_vec(reflect().traces[0].dir, illum().refraction_dir);

    reflect().reset();
    illum().refraction_ok = 0;  // total internal reflection: the mirror direction
    ASSERT_TRUE(kor_Refract(&c, &state, &p, &colour));
    ASSERT_EQ(reflect().traces.size(), 1u);
    EXPECT_EQ(reflect().traces[0].kind, 3);
    expect_vec(reflect().traces[0].dir, illum().reflection_dir);
}

TEST_F(Reflect, BlurShininess) {
    ReflectRefractRecord p{};
    p.blurOn = 1;
    Color c;
    state.type = ZO_RAY_REFLECT;
    for (float blur : {0.0f, 2.0f}) {
        p.blur = blur;
        ASSERT_TRUE(kor_ReflectRefract(&c, &state, &p, &colour));
    }
    ASSERT_EQ(reflect().glossy_reflection_shininess.size(), 2u);
    EXPECT_FLOAT_EQ(reflect().glossy_reflection_shininess[0], 10000.0f);
    EXPECT_FLOAT_EQ(reflect().glossy_reflection_shininess[1], 1000.0f / 2.0f);
    expect_vec(reflect().traces[1].dir, reflect().glossy_reflection_dir);

    // refraction: a glossy transmission, falling back to glossy reflection
    reflect().reset();
    state.type = ZO_RAY_REFRACT;
    reflect().glossy_transmission_ok = 0;
    ASSERT_TRUE(kor_Refract(&c, &state, reinterpret_cast<RefractRecord *>(&p), &colour));
    ASSERT_EQ(reflect().glossy_transmission_shininess.size(), 1u);
    EXPECT_FLOAT_EQ(reflect().glossy_transmission_shininess[0], 500.0f);
    ASSERT_EQ(reflect().glossy_reflection_shininess.size(), 1u);
    expect_vec(reflect().traces[0].dir, reflect().glossy_reflection_dir);

    // the flat mirror's scale is 200
    FlatMirrorRecord m{};
    m.blurOn = 1;
    m.blur = 2.0f;
    reflect().reset();
    state.type = ZO_RAY_REFLECT;
    ASSERT_TRUE(kor_FlatMirror(&c, &state, &m, &colour));
    ASSERT_EQ(reflect().glossy_reflection_shininess.size(), 1u);
    EXPECT_FLOAT_EQ(reflect().glossy_reflection_shininess[0], 100.0f);
}

TEST_F(Reflect, ThinWallStartsWhereTheRefractedRayLeavesTheWall) {
    ThinWallRecord p{};
    p.thickness = 0.5f;
    Color c;
    const Vector3 incoming = unit({0.3f, 0.0f, -0.8f});
    keyed(incoming, 3, illum().refraction_dir);
    ASSERT_TRUE(kor_ThinWallRefraction(&c, &state, &p, &colour));
    ASSERT_EQ(reflect().traces.size(), 1u);
    const Vector3 t = illum().refraction_dir;  // refracted into the wall
    const float s = 0.5f / std::fabs(t.z);     // |T.N| with N = +z
    expect_vec(reflect().traces[0].point, {1 + t.x * s, 2 + t.y * s, 3 + t.z * s});
    expect_vec(reflect().traces[0].dir, incoming);  // leaves parallel to the arriving ray
    expect_vec(state.point, {1, 2, 3});

    expect_color((kor_ThinWallRefraction(&c, &state, &p, &bump), c), {0, 0, 0, 1});
}

// ---------------------------------------------------------------------------
// Cube images.

// ---------------------------------------------------------------------------
// Flat mirror.

TEST_F(Reflect, FlatMirrorOptions) {
    FlatMirrorRecord p{};
    p.firstFrameOnly = 1;
    Color c;
    zoBoolean instances = 0;
    kor_FlatMirror_init(&state, nullptr, &instances);
    keyed({0, 0, -1}, 2, {0, 0, 1});
    ASSERT_TRUE(kor_FlatMirror(&c, &state, &p, &colour));
    ASSERT_EQ(reflect().traces.size(), 1u);
    EXPECT_EQ(reflect().traces[0].key1_words[0], 1);  // the first-frame option
    EXPECT_EQ(reflect().traces[0].key1_words[1], 0);
    expect_vec(reflect().traces[0].dir, illum().reflection_dir);

    reflect().reset();
    expect_color((kor_FlatMirror(&c, &state, &p, &bump), c), {0, 0, 0, 1});
    p.applyToFaceId = 1;
    p.faceId = 3;  // the surface has material id 0, not 3 - 1
    ASSERT_TRUE(kor_FlatMirror(&c, &state, &p, &colour));
    expect_color(c, {0, 0, 0, 1});
    EXPECT_TRUE(reflect().traces.empty());

    // noise distortion moves the direction off the mirror direction, and
    // the state's normal and direction come back
    p.applyToFaceId = 0;
    p.distortionType = 2;
    p.distortionAmount = 5.0f;
    p.noiseSize = 0.37f;
    p.noiseLevels = 2.0f;
    state.point = {0.41f, 0.77f, 0.13f};
    ASSERT_TRUE(kor_FlatMirror(&c, &state, &p, &colour));
    ASSERT_EQ(reflect().traces.size(), 1u);
    const Vector3 d = reflect().traces[0].dir;
    EXPECT_NEAR(d.x * d.x + d.y * d.y + d.z * d.z, 1.0f, 1e-5f);
    EXPECT_GT(std::fabs(d.x - illum().reflection_dir.x) + std::fabs(d.y - illum().reflection_dir.y),
              1e-4f);
    expect_vec(state.normal, {0, 0, 1});
    expect_vec(state.dir, {0, 0, 1});

    const long before = internal::host().allocations;
    ASSERT_TRUE(kor_FlatMirror(&c, &state, &p, &colour));
    EXPECT_EQ(internal::host().allocations, before);  // the thread record is reused
    kor_FlatMirror_exit(&state, &p);
    EXPECT_EQ(internal::host().allocations, internal::host().releases);
}

// ---------------------------------------------------------------------------
// Raytrace map.

class Raytrace : public Reflect {
  protected:
    void SetUp() override {
        Reflect::SetUp();
        std::memset(&p, 0, sizeof p);
        p.selfHits = 1;
        p.tintAmount = 1.0f;
        p.attenuationAmount = 1.0f;
        p.namesStart = static_cast<int32_t>(
            (reinterpret_cast<char *>(p.nameStore) - reinterpret_cast<char *>(&p.namesSlot)) /
            sizeof(Tag));
    }
    void init() {
        zoBoolean instances = 0;
        kor_Raytrace_init(&state, nullptr, &instances);
        EXPECT_TRUE(instances);
        kor_Raytrace_init(&state, &p, nullptr);
        ASSERT_NE(slot, nullptr);
    }
    void TearDown() override {
        kor_Raytrace_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases);
    }
    RaytraceRecord p;
};

TEST_F(Raytrace, AttenuationTintAndMono) {
    p.traceMode = 1;
    p.attenuationType = 1;  // linear
    p.attenuationStart = 10.0f;
    p.attenuationEnd = 110.0f;
    p.attenuationAmount = 0.8f;
    p.tintOn = 1;
    p.tintAmount = 0.25f;
    p.tintColor = {1.0f, 0.5f, 0.0f, 1};
    init();
    Color c;
    state.dist = 60.0;
    ASSERT_TRUE(kor_Raytrace(&c, &state, &p, &colour));
    const float falloff = 1.0f - (60.0f - 10.0f) / 100.0f;
    const float f = 0.8f * (falloff - 1.0f) + 1.0f;
    const Color t = illum().trace_color;
    const float i = (t.r + t.g + t.b) / 3.0f;
    const Color tinted = {t.r * 0.75f + i * 0.25f * 1.0f, t.g * 0.75f + i * 0.25f * 0.5f,
                          t.b * 0.75f + i * 0.25f * 0.0f, f};
    expect_color(c, tinted);
    ASSERT_TRUE(kor_Raytrace(&c, &state, &p, &mono));
    const float mean = (tinted.r + tinted.g + tinted.b) / 3.0f;
    expect_color(c, {mean, mean, mean, f});

    // full attenuation: nothing traced
    reflect().reset();
    p.attenuationAmount = 1.0f;
    kor_Raytrace_exit(&state, &p);
    init();
    state.dist = 500.0;
    ASSERT_TRUE(kor_Raytrace(&c, &state, &p, &colour));
    expect_color(c, {0, 0, 0, 1});
    EXPECT_TRUE(reflect().traces.empty());
}

// What the background map stands in for is a render check; here the
// record that was there before the trace comes back.
TEST_F(Raytrace, BackgroundMapGivesBackTheOldRecord) {
    p.traceMode = 1;
    p.backgroundMode = 2;
    p.backgroundMap = 612;
    init();
    const int32_t old[5] = {55, 1, 2, 3, 4};
    zo_shaderstate_set(&state, "KEY_2", old, sizeof old, ZO_SHADERSTATE_RAY_TREE);
    Color c;
    ASSERT_TRUE(kor_Raytrace(&c, &state, &p, &colour));
    int size = 0;
    const auto *now = static_cast<const int32_t *>(zo_shaderstate_get(&state, "KEY_2", &size));
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(size, 20);
    EXPECT_EQ(now[0], 55);

    internal::clear_shaderstate();
    ASSERT_TRUE(kor_Raytrace(&c, &state, &p, &colour));
    EXPECT_EQ(zo_shaderstate_get(&state, "KEY_2", nullptr), nullptr);

    // a background colour stands in for a miss
    illum().trace_ok = 0;
    p.backgroundMode = 1;
    p.backgroundColor = {0.1f, 0.9f, 0.1f, 1};
    ASSERT_TRUE(kor_Raytrace(&c, &state, &p, &colour));
    expect_color(c, {0.1f, 0.9f, 0.1f, 1});
}

}  // namespace
