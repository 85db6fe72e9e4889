// Stored render elements: the material component record written by stores
// and read back by channel, named stores tied to their raster position, the
// constant, the one-time version check, and the material wrapper feeding
// the published components into the element framework.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "internal/internal.h"
#include "kor_qxRenderElement.h"
#include "kor_rendelem.h"
#include "testhost/host_bitmap.h"

namespace {

struct StoreParams {
    Color value;
    Tag name;
};

struct StoreEntry {
    Color value;
    Tag name;
    int32_t postIllumTarget;
    int32_t recordChannel;
};

// Base value and name, the switch, then an array of two entries with its
// storage appended.
struct StoreManyParams {
    Color value;
    Tag name;
    zoBoolean runElements;
    int32_t start, count;
    StoreEntry slot[1];
    StoreEntry store[2];
};

struct ReadParams {
    int32_t channel;
    float multiplier;
    Color color;
    Tag name;
};

struct WrapperParams {
    Tag material;
    int32_t materialId;
};

}  // namespace

extern "C" {
zoBoolean kor_qxStoreElement(Color *, RenderState *, StoreParams *);
void kor_qxStoreElement_init(RenderState *, void *, zoBoolean *);
void kor_qxStoreElement_exit(RenderState *, void *);
zoBoolean kor_qxStoreElements(Color *, RenderState *, StoreManyParams *);
void kor_qxStoreElements_init(RenderState *, void *, zoBoolean *);
void kor_qxStoreElements_exit(RenderState *, void *);
zoBoolean kor_qxRenderElement(Color *, RenderState *, ReadParams *, ElementCallArgs *);
void kor_qxRenderElement_init(RenderState *, void *, zoBoolean *);
void kor_qxRenderElement_exit(RenderState *, void *);
zoBoolean kor_zoa_material_renderelements(Color *, RenderState *, WrapperParams *);
}

namespace {

TestBitmapHost &hostfb() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

void expect_color(const Color &c, float r, float g, float b, float a) {
    EXPECT_NEAR(c.r, r, 1e-6);
    EXPECT_NEAR(c.g, g, 1e-6);
    EXPECT_NEAR(c.b, b, 1e-6);
    EXPECT_NEAR(c.a, a, 1e-6);
}

const char kBeauty[] = "beauty";
const char kGlow[] = "glow";
constexpr Tag kBeautyName = 501, kGlowName = 502;

class Stored : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        hostfb().reset();
        kor::armComponentVersionCheck();
        internal::host().user_slot = &slot;
        // database strings: the test host hands their text out as the block
        internal::host().images[kBeautyName] =
            reinterpret_cast<zoImage *>(const_cast<char *>(kBeauty));
        internal::host().images[kGlowName] = reinterpret_cast<zoImage *>(const_cast<char *>(kGlow));
        record.tag = 70;
        state.shader = &record;
        state.options = &options;
        state.type = ZO_RAY_EYE;
        state.raster_x = 3.5f;
        state.raster_y = 4.5f;
        elements_on();
        InitializeRenderElementPostIllumData(&state, &data);
    }
    void TearDown() override { EXPECT_EQ(internal::host().allocations, internal::host().releases); }

    // "KRREINT" as the handler sets it around the eye trace.
    void elements_on() {
        const RenderElementContext ctx{&setup, &holder, 1, 1, 0};
        zo_shaderstate_set(&state, "KRREINT", &ctx, sizeof ctx, 2);
    }

    Color read(ReadParams &p, zoBoolean expect_ok = 1, Color start = {9, 9, 9, 9}) {
        Color e = start;
        ElementCallArgs args{0, &data};
        data.replace = 0;
        EXPECT_EQ(kor_qxRenderElement(&e, &state, &p, &args), expect_ok);
        EXPECT_TRUE(data.replace) << "the stored value replaces the entry";
        return e;
    }

    const MaterialComponentRecord *components() {
        int size = 0;
        auto *r = static_cast<const MaterialComponentRecord *>(
            zo_shaderstate_get(&state, "zoXMST", &size));
        if (r) {
            EXPECT_EQ(size, 416);
        }
        return r;
    }

    // A record as an architectural material publishes it for this sample.
    MaterialComponentRecord published(int32_t size = 416) {
        MaterialComponentRecord r;
        std::memset(&r, 0, sizeof r);
        r.size = size;
        r.filled = 1;
        r.rasterX = state.raster_x;
        r.rasterY = state.raster_y;
        return r;
    }

    void *slot = nullptr;
    zoOptions options{};
    zoShaderRecord record{};
    RenderState state{};
    RenderElementPostIllumData data{};
    int32_t zeros[1] = {0};
    Tag shaders[1] = {0};
    RenderElementSetup setup{1, 0, 1, zeros, zeros, shaders, zeros, zeros, zeros};
    Color entries[1] = {{0, 0, 0, 0}};
    ElementResults holder{entries, 0};
};

void set_entries(StoreManyParams &p, const StoreEntry &a, const StoreEntry &b) {
    p.start = static_cast<int32_t>(p.store - p.slot);
    p.count = 2;
    p.store[0] = a;
    p.store[1] = b;
}

TEST_F(Stored, StoredChannelsAreReadBackByTheirSlots) {
    StoreManyParams p{};
    p.value = {0.9f, 0.9f, 0.9f, 1};
    set_entries(p, {{0.1f, 0.2f, 0.3f, 0.4f}, 0, 0, 21}, {{0.5f, 0.7f, 0.9f, 1}, 0, 0, 23});
    Color result{};
    EXPECT_TRUE(kor_qxStoreElements(&result, &state, &p));
    expect_color(result, 0.9f, 0.9f, 0.9f, 1);  // the value passes through

    const MaterialComponentRecord *r = components();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->size, 416);
    EXPECT_TRUE(r->filled);
    EXPECT_EQ(r->rasterX, 3.5f);
    EXPECT_EQ(r->rasterY, 4.5f);
    // channel 21 lands in the slot of channel 22, at byte 12 + 16 * 22
    const auto *bytes = reinterpret_cast<const char *>(r);
    float at364[4];
    std::memcpy(at364, bytes + 364, sizeof at364);
    EXPECT_EQ(at364[0], 0.1f);
    EXPECT_EQ(at364[3], 0.4f);
    float at380;
    std::memcpy(&at380, bytes + 380, sizeof at380);
    EXPECT_EQ(at380, 0.5f) << "channel 23 keeps the red component";

    ReadParams read22{22, 2.0f, {0, 0, 0, 0}, 0};
    expect_color(read(read22), 0.2f, 0.4f, 0.6f, 0.4f);  // own alpha, rgb scaled
    ReadParams read21{21, 1.0f, {0, 0, 0, 0}, 0};
    expect_color(read(read21), 0, 0, 0, 0);
    ReadParams read23{23, 1.0f, {0, 0, 0, 0}, 0};
    expect_color(read(read23), 0.5f, 0.5f, 0.5f, 1);  // grey, alpha 1
    ReadParams read5{5, 1.0f, {0, 0, 0, 0}, 0};
    // channels without their own alpha read with alpha 1
    expect_color(read(read5), 0, 0, 0, 1);

    // the next raster position starts from a cleared record
    state.raster_x = 4.5f;
    set_entries(p, {{1, 1, 1, 1}, 0, 0, 2}, {{0, 0, 0, 0}, 0, 0, 0});
    EXPECT_TRUE(kor_qxStoreElements(&result, &state, &p));
    expect_color(read(read22), 0, 0, 0, 0);
    ReadParams read2{2, 1.0f, {0, 0, 0, 0}, 0};
    expect_color(read(read2), 1, 1, 1, 1);
    EXPECT_EQ(components()->rasterX, 4.5f);
}

TEST_F(Stored, StoresNeedAnEyeSampleWithElements) {
    StoreManyParams p{};
    set_entries(p, {{1, 0, 0, 1}, 0, 0, 1}, {{0, 0, 0, 0}, 0, 0, 0});
    Color result{};
    RenderState mirrored = state;
    mirrored.type = ZO_RAY_REFLECT;
    mirrored.parent = &state;
    EXPECT_TRUE(kor_qxStoreElements(&result, &mirrored, &p));
    EXPECT_EQ(components(), nullptr);
    zo_shaderstate_set(&state, "KRREINT", nullptr, 0, 2);
    EXPECT_TRUE(kor_qxStoreElements(&result, &state, &p));
    EXPECT_EQ(components(), nullptr);
}

TEST_F(Stored, NamedStoresHoldForTheirRasterPosition) {
    zoBoolean instances = 0;
    kor_qxStoreElement_init(&state, nullptr, &instances);
    EXPECT_TRUE(instances);
    StoreParams store{{0.2f, 0.3f, 0.4f, 1}, kBeautyName};
    void *store_slot = nullptr;
    internal::host().user_slot = &store_slot;
    kor_qxStoreElement_init(&state, &store, nullptr);
    ASSERT_NE(store_slot, nullptr);
    EXPECT_STREQ(static_cast<const char *>(store_slot), "krE:beauty");

    ReadParams named{-3, 1.0f, {0, 0, 0, 0}, kBeautyName};
    void *read_slot = nullptr;
    internal::host().user_slot = &read_slot;
    kor_qxRenderElement_init(&state, &named, nullptr);
    ASSERT_NE(read_slot, nullptr);

    internal::host().user_slot = &store_slot;
    Color result{};
    EXPECT_TRUE(kor_qxStoreElement(&result, &state, &store));
    expect_color(result, 0.2f, 0.3f, 0.4f, 1);
    int size = 0;
    const auto *kept =
        static_cast<const NamedStore *>(zo_shaderstate_get(&state, "krE:beauty", &size));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(size, 24);
    EXPECT_EQ(kept->rasterX, 3.5f);

    // a transparent layer behind stores again for the same position: the
    // last value stored there is read
    RenderState behind = state;
    behind.type = ZO_RAY_TRANSPARENT;
    behind.parent = &state;
    store.value = {0.6f, 0.5f, 0.1f, 0.5f};
    EXPECT_TRUE(kor_qxStoreElement(&result, &behind, &store));

    internal::host().user_slot = &read_slot;
    expect_color(read(named), 0.6f, 0.5f, 0.1f, 0.5f);
    state.raster_x = 7.5f;  // another sample: the store is not its own
    expect_color(read(named), 9, 9, 9, 9);
    state.raster_x = 3.5f;
    RenderState mirrored = state;
    mirrored.type = ZO_RAY_REFLECT;
    mirrored.parent = &state;
    Color e{9, 9, 9, 9};
    ElementCallArgs args{0, &data};
    EXPECT_TRUE(kor_qxRenderElement(&e, &mirrored, &named, &args));
    expect_color(e, 9, 9, 9, 9);  // named stores are read on eye samples only

    kor_qxRenderElement_exit(&state, &named);
    EXPECT_EQ(read_slot, nullptr);
    internal::host().user_slot = &store_slot;
    kor_qxStoreElement_exit(&state, &store);
    EXPECT_EQ(store_slot, nullptr);
}

TEST_F(Stored, StoreManyNamesEntriesAndRunsTheElements) {
    StoreManyParams p{};
    p.value = {0.3f, 0.3f, 0.3f, 1};
    p.name = kBeautyName;
    p.runElements = 1;
    set_entries(p, {{0.1f, 0.2f, 0.3f, 1}, kGlowName, 2, 0}, {{0.4f, 0.5f, 0.6f, 1}, 0, 11, 0});
    kor_qxStoreElements_init(&state, &p, nullptr);
    ASSERT_NE(slot, nullptr);

    // an element that keeps what it was handed
    static RenderElementPostIllumData seen;
    hostfb().functions[31] = {[](void *result, RenderState *, void *, void *arg) -> zoBoolean {
                                  auto *a = static_cast<ElementCallArgs *>(arg);
                                  seen = *static_cast<RenderElementPostIllumData *>(a->data);
                                  *static_cast<Color *>(result) = {1, 0, 0, 1};
                                  return 1;
                              },
                              nullptr};
    shaders[0] = 31;
    Color result{};
    EXPECT_TRUE(kor_qxStoreElements(&result, &state, &p));
    expect_color(entries[0], 1, 0, 0, 1);
    expect_color(seen.illum.shadedColor, 0.3f, 0.3f, 0.3f, 1);
    expect_color(seen.illum.diffuse, 0.1f, 0.2f, 0.3f, 1);  // target 2
    expect_color(seen.channels[1], 0.4f, 0.5f, 0.6f, 1);    // target 11: map channel 1
    ASSERT_NE(zo_shaderstate_get(&state, "krE:beauty", nullptr), nullptr);
    const auto *glow =
        static_cast<const NamedStore *>(zo_shaderstate_get(&state, "krE:glow", nullptr));
    ASSERT_NE(glow, nullptr);
    expect_color(glow->value, 0.1f, 0.2f, 0.3f, 1);

    kor_qxStoreElements_exit(&state, &p);
    EXPECT_EQ(slot, nullptr);
}

TEST_F(Stored, ConstantOnEyeSamplesAndMatteRecords) {
    ReadParams constant{-2, 2.0f, {0.2f, 0.4f, 0.6f, 0.8f}, 0};
    expect_color(read(constant), 0.4f, 0.8f, 1.2f, 0.8f);
    data.matte = 1;
    expect_color(read(constant), 0, 0, 0, 0);
    data.matte = 0;
    Color e{9, 9, 9, 9};
    ElementAtmosphereData atm{{1, 1, 1, 1}, 5, 0};
    ElementCallArgs after{1, &atm};
    EXPECT_TRUE(kor_qxRenderElement(&e, &state, &constant, &after));
    expect_color(e, 9, 9, 9, 9);  // nothing to do after the atmosphere
    ReadParams other{-1, 1.0f, {1, 1, 1, 1}, 0};
    expect_color(read(other), 9, 9, 9, 9);
}

TEST_F(Stored, WrongRecordVersionIsReportedOnce) {
    MaterialComponentRecord r = published(400);
    r.channels[1][0] = 0.5f;
    r.filled = 0;
    zo_shaderstate_set(&state, "zoXMST", &r, sizeof r, 1);
    ReadParams diffuse{1, 1.0f, {0, 0, 0, 0}, 0};
    expect_color(read(diffuse), 9, 9, 9, 9);  // unfilled: left alone, check still armed
    r.filled = 1;
    zo_shaderstate_set(&state, "zoXMST", &r, sizeof r, 1);
    expect_color(read(diffuse, 0), 9, 9, 9, 9);
    ASSERT_EQ(internal::host().messages.size(), 1u);
    EXPECT_EQ(internal::host().messages[0],
              "error: kor_qxRenderElement: Error: Wrong version of shader state data from "
              "zoa_material_x");
    expect_color(read(diffuse), 0.5f, 0, 0, 1);  // the check ran once
    EXPECT_EQ(internal::host().messages.size(), 1u);
}

TEST_F(Stored, RecordsOfOtherSamplesAreLeftAlone) {
    MaterialComponentRecord r = published();
    r.channels[0][0] = 0.25f;
    r.channels[0][3] = 0.5f;
    r.rasterX = 0.5f;
    zo_shaderstate_set(&state, "zoXMST", &r, sizeof r, 1);
    ReadParams color{0, 1.0f, {0, 0, 0, 0}, 0};
    expect_color(read(color), 9, 9, 9, 9);
    r.rasterX = state.raster_x;
    zo_shaderstate_set(&state, "zoXMST", &r, sizeof r, 1);
    expect_color(read(color), 0.25f, 0, 0, 0.5f);
    EXPECT_TRUE(internal::host().messages.empty());
}

// A stand-in architectural material: publishes its components.
zoBoolean publishing_material(void *result, RenderState *state, void *, void *) {
    auto *r = static_cast<MaterialComponentRecord *>(zo_shaderstate_get(state, "zoXMST", nullptr));
    if (r) {
        EXPECT_EQ(r->size, 416);
        EXPECT_EQ(r->rasterX, -1.0f) << "a fresh record for every sample";
        auto set = [r](int k, float v) {
            for (int i = 0; i < 4; ++i) r->channels[k][i] = v;
        };
        set(1, 0.1f);    // diffuse
        set(3, 0.8f);    // diffuse colour
        set(4, 0.2f);    // specular
        set(7, 0.3f);    // reflection
        set(9, 0.9f);    // map channel 9
        set(10, 0.4f);   // refraction
        set(12, 0.6f);   // refraction colour
        set(15, 0.7f);   // map channel 15
        set(16, 0.05f);  // ambient
        set(20, 0.15f);  // self-illumination
        r->scalar = 0.75f;
        r->filled = 1;
    }
    *static_cast<Color *>(result) = {0.5f, 0.25f, 0.125f, 1};
    return 1;
}

TEST_F(Stored, WrapperFeedsThePublishedComponents) {
    static RenderElementPostIllumData seen;
    hostfb().functions[40] = {publishing_material, nullptr};
    hostfb().functions[41] = {[](void *result, RenderState *, void *, void *arg) -> zoBoolean {
                                  auto *a = static_cast<ElementCallArgs *>(arg);
                                  seen = *static_cast<RenderElementPostIllumData *>(a->data);
                                  *static_cast<Color *>(result) = {0, 0, 0, 0};
                                  return 1;
                              },
                              nullptr};
    shaders[0] = 41;
    WrapperParams p{40, 7};
    Color result{};
    EXPECT_TRUE(kor_zoa_material_renderelements(&result, &state, &p));
    expect_color(result, 0.5f, 0.25f, 0.125f, 1);
    ASSERT_EQ(hostfb().fb_puts.size(), 1u);
    EXPECT_EQ(hostfb().fb_puts[0].buffer, 0);
    EXPECT_EQ(hostfb().fb_puts[0].word, 7);
    EXPECT_EQ(components()->rasterX, 3.5f) << "stamped with the sample";

    const RenderElementIllum &r = seen.illum;
    expect_color(r.shadedColor, 0.5f, 0.25f, 0.125f, 1);
    EXPECT_FLOAT_EQ(r.opacity, 0.75f);
    EXPECT_FLOAT_EQ(r.litScale, 0.75f);
    EXPECT_FLOAT_EQ(r.diffuseIntensity, 1.0f);
    expect_color(r.layerTransmission, 0.25f, 0.25f, 0.25f, 1);
    expect_color(r.transparency, 0, 0, 0, 1);
    expect_color(r.diffuse, 0.1f, 0.1f, 0.1f, 1);
    expect_color(r.ambient, 0.05f, 0.05f, 0.05f, 1);
    expect_color(r.specular, 0.2f, 0.2f, 0.2f, 1);
    expect_color(r.reflection, 0.3f, 0.3f, 0.3f, 1);
    expect_color(r.refraction, 0.4f, 0.4f, 0.4f, 0.4f);  // channel 10 keeps its alpha
    expect_color(r.selfIllum, 0.15f, 0.15f, 0.15f, 0.15f);
    expect_color(seen.channels[0], 0.8f, 0.8f, 0.8f, 1);
    expect_color(seen.channels[1], 0.8f, 0.8f, 0.8f, 1);
    // opacity map: (1 - refraction colour) * opacity = 0.4 * 0.75
    expect_color(seen.channels[6], 0.3f, 0.3f, 0.3f, 1);
    expect_color(seen.channels[7], 0.6f, 0.6f, 0.6f, 1);
    expect_color(seen.channels[10], 0.6f, 0.6f, 0.6f, 1);
    expect_color(seen.channels[9], 0.9f, 0.9f, 0.9f, 1);
    expect_color(seen.channels[15], 0.7f, 0.7f, 0.7f, 1);
    EXPECT_EQ(seen.materialId, 7);

    // without elements the material runs alone
    zo_shaderstate_set(&state, "KRREINT", nullptr, 0, 2);
    zo_shaderstate_set(&state, "zoXMST", nullptr, 0, 1);
    seen.materialId = 0;
    state.type = ZO_RAY_REFLECT;
    EXPECT_TRUE(kor_zoa_material_renderelements(&result, &state, &p));
    EXPECT_EQ(components(), nullptr);
    EXPECT_EQ(seen.materialId, 0);
    EXPECT_EQ(hostfb().fb_puts.size(), 1u) << "the id goes to buffer 0 on eye rays only";
}

}  // namespace
