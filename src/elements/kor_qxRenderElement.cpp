// Stored render elements: a wrapper that feeds an architectural-family
// material's published components into the element framework, shaders that
// store colours under names or into the component record, and the element
// shader that reads a component, a named store or a constant back.
#include "kor_qxRenderElement.h"

#include <string.h>

#include <atomic>

#include "kor_rendelem.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "kor_qxRenderElement";

struct WrapperParams {
    Tag material;  // a shader of the architectural material family
    int32_t materialId;
};

struct StoreParams {
    Color value;
    Tag name;  // database string
};

struct StoreEntry {
    Color value;
    Tag name;
    int32_t postIllumTarget;  // 1 .. 9 a record colour, 10 and above map channels
    int32_t recordChannel;    // 1 .. 23 a component channel; 0 none
};

struct StoreManyParams {
    Color value;
    Tag name;
    zoBoolean runElements;
    kor::ParamArray<StoreEntry> entries;
};
static_assert(offsetof(StoreManyParams, entries) == 24, "store parameter layout");
static_assert(sizeof(StoreEntry) == 28, "store entry layout");

enum ReadChannel : int32_t { kReadConstant = -2, kReadNamedStore = -3 };

struct ReadParams {
    int32_t channel;  // 0 .. 23 a component, -2 the constant, -3 a named store
    float multiplier;
    Color color;
    Tag name;
};

// Keys of a store-many instance: the base key and one per entry.
struct StoreKeys {
    int32_t count;
    char *base;
    char **entries;
};

// One library-wide check of the component record's layout version.
std::atomic<int32_t> g_versionCheckArmed{1};

// "krE:" + the string behind `name`, or null for no name or an empty one.
char *make_key(Tag name) {
    if (!name) return nullptr;
    const char *text = static_cast<const char *>(zo_db_access(name));
    char *key = nullptr;
    if (text && text[0]) {
        const size_t n = strlen(text);
        key = static_cast<char *>(zo_mem_int_allocate(kModule, __LINE__, static_cast<int>(n + 6)));
        if (key) {
            memcpy(key, KOR_STORE_KEY_PREFIX, 4);
            memcpy(key + 4, text, n + 1);
        }
    }
    zo_db_unpin(name);
    return key;
}

void release(void *block) {
    if (block) zo_mem_int_release(kModule, __LINE__, block);
}

// The state is an eye ray or reached from one through transparency only.
bool on_eye_path(const RenderState *state) {
    for (const RenderState *s = state; s; s = s->parent) {
        if (s->type == ZO_RAY_EYE) return true;
        if (s->type != ZO_RAY_TRANSPARENT) return false;
    }
    return false;
}

void store_named(RenderState *state, const char *key, const Color &value) {
    if (!key) return;
    const NamedStore store{value, state->raster_x, state->raster_y};
    zo_shaderstate_set(state, key, &store, sizeof store, ZO_SHADERSTATE_SAMPLE);
}

MaterialComponentRecord *component_record(RenderState *state) {
    int size = 0;
    void *record = zo_shaderstate_get(state, KOR_KEY_MATERIAL_COMPONENTS, &size);
    return record && size >= kComponentRecordSize ? static_cast<MaterialComponentRecord *>(record)
                                                  : nullptr;
}

// A fresh record: the current layout, nothing filled, no sample yet.
MaterialComponentRecord *create_component_record(RenderState *state) {
    MaterialComponentRecord fresh;
    memset(&fresh, 0, sizeof fresh);
    fresh.size = kComponentRecordSize;
    fresh.rasterX = fresh.rasterY = -1.0f;
    zo_shaderstate_set(state, KOR_KEY_MATERIAL_COMPONENTS, &fresh, sizeof fresh,
                       ZO_SHADERSTATE_SAMPLE);
    return component_record(state);
}

bool stamped_here(const RenderState *state, float x, float y) {
    return x == state->raster_x && y == state->raster_y;
}

// Writes `value` into component channel `channel` of this sample's record.
// Channels 21 and 22 trade slots; 23 takes the red component.
void store_component(RenderState *state, int channel, const Color &value) {
    if (channel < 1 || channel > 23) return;
    MaterialComponentRecord *record = component_record(state);
    if (!record) record = create_component_record(state);
    if (!record) return;
    if (!stamped_here(state, record->rasterX, record->rasterY)) {
        memset(reinterpret_cast<char *>(record) + 12, 0, kComponentRecordSize - 12);
        record->rasterX = state->raster_x;
        record->rasterY = state->raster_y;
    }
    record->filled = 1;
    if (channel == 23) {
        record->scalar = value.r;
        return;
    }
    const int slot = channel == 21 ? 22 : channel == 22 ? 21 : channel;
    float *c = record->channels[slot];
    c[0] = value.r;
    c[1] = value.g;
    c[2] = value.b;
    c[3] = value.a;
}

// Puts `value` where `target` points in the post-illumination record.
void store_target(RenderElementPostIllumData &data, int target, const Color &value) {
    RenderElementIllum &r = data.illum;
    Color *slots[] = {&r.ambient,      &r.diffuse,           &r.shadedColor,
                      &r.transparency, &r.layerTransmission, &r.reflection,
                      &r.selfIllum,    &r.specular,          &r.refraction};
    if (target >= 1 && target <= 9)
        *slots[target - 1] = value;
    else if (target >= 10 && target - 10 < 32)
        data.channels[target - 10] = value;
}

// Frees the instance's key, or the keys of a store-many instance.
template <typename Free>
void release_slot(RenderState *state, Free free_contents) {
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    free_contents(*slot);
    *slot = nullptr;
}

Color rgb_scaled(Color c, float s) {
    return {c.r * s, c.g * s, c.b * s, c.a};
}

}  // namespace

// ---------------------------------------------------------------------------

Color kor::componentChannel(const MaterialComponentRecord &record, int k) {
    if (k < 0 || k >= kComponentChannels) return {0, 0, 0, 0};
    if (k == kComponentOpacity) return {record.scalar, record.scalar, record.scalar, 1.0f};
    const float *c = record.channels[k];
    const bool own_alpha = k == 0 || k == 10 || k == 11 || k == 17 || k == 20 || k == 21 || k == 22;
    return {c[0], c[1], c[2], own_alpha ? c[3] : 1.0f};
}

void kor::armComponentVersionCheck() {
    g_versionCheckArmed.store(1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The material wrapper.

KOR_EXPORT zoBoolean kor_zoa_material_renderelements(Color *result, RenderState *state,
                                                     WrapperParams *params) {
    if (!result || !state || !params) return 0;
    const bool elements = RenderElementsAreBeingUsed(state) != 0;
    if (elements) create_component_record(state);
    int32_t id = kor::eval(state, &params->materialId);
    if (state->type == ZO_RAY_EYE && id != 0) zo_fb_put(state, 0, &id);
    // the wrapped shader runs as the material of this hit
    zo_call_shader_x(result, ZO_CALL_MATERIAL, state, kor::eval(state, &params->material), nullptr);
    if (!elements) return 1;
    MaterialComponentRecord *record = component_record(state);
    if (!record) return 1;
    record->rasterX = state->raster_x;
    record->rasterY = state->raster_y;
    if (!record->filled) return 1;

    RenderElementPostIllumData data;
    InitializeRenderElementPostIllumData(state, &data);
    RenderElementIllum &r = data.illum;
    const float opacity = record->scalar;
    r.shadedColor = *result;
    r.opacity = opacity;
    r.litScale = opacity;
    r.diffuseIntensity = 1.0f;
    r.layerTransmission.r = r.layerTransmission.g = r.layerTransmission.b = 1.0f - opacity;
    r.diffuse = kor::componentChannel(*record, kComponentDiffuse);
    r.ambient = kor::componentChannel(*record, kComponentAmbient);
    r.specular = kor::componentChannel(*record, kComponentSpecular);
    r.reflection = kor::componentChannel(*record, kComponentReflection);
    r.refraction = kor::componentChannel(*record, kComponentRefraction);
    r.selfIllum = kor::componentChannel(*record, kComponentSelfIllum);

    const Color diffuse_color = kor::componentChannel(*record, kComponentDiffuseColor);
    const Color refraction_color = kor::componentChannel(*record, kComponentRefractionColor);
    const Color opacity_color = {(1.0f - refraction_color.r) * opacity,
                                 (1.0f - refraction_color.g) * opacity,
                                 (1.0f - refraction_color.b) * opacity, 1.0f};
    const struct {
        int id;
        Color value;
    } maps[] = {{0, diffuse_color},
                {1, diffuse_color},
                {6, opacity_color},
                {7, refraction_color},
                {10, refraction_color},
                {9, kor::componentChannel(*record, kComponentMap9)},
                {15, kor::componentChannel(*record, kComponentMap15)}};
    for (const auto &m : maps) {
        const int channel = data.channelTable[m.id];
        if (channel >= 0 && channel < 32) data.channels[channel] = m.value;
    }
    data.materialId = id;
    kor_CallRenderElementShaders_PostIllum(state, &data);
    return 1;
}

// ---------------------------------------------------------------------------
// Stores.

KOR_EXPORT zoBoolean kor_qxStoreElement(Color *result, RenderState *state, StoreParams *params) {
    if (!result || !state || !params) return 0;
    const Color value = kor::eval(state, &params->value);
    *result = value;
    if (on_eye_path(state) && RenderElementsAreBeingUsed(state)) {
        void **slot = kor::user_slot(state);
        store_named(state, slot ? static_cast<const char *>(*slot) : nullptr, value);
    }
    return 1;
}

KOR_SHADER_INIT(kor_qxStoreElement) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    *slot = make_key(kor::eval(state, &static_cast<StoreParams *>(params)->name));
}

KOR_SHADER_EXIT(kor_qxStoreElement) {
    if (!params) return;
    release_slot(state, release);
}

KOR_EXPORT zoBoolean kor_qxStoreElements(Color *result, RenderState *state,
                                         StoreManyParams *params) {
    if (!result || !state || !params) return 0;
    const Color value = kor::eval(state, &params->value);
    *result = value;
    if (!on_eye_path(state) || !RenderElementsAreBeingUsed(state)) return 1;
    void **slot = kor::user_slot(state);
    const StoreKeys *keys = slot ? static_cast<const StoreKeys *>(*slot) : nullptr;

    const bool run = kor::eval(state, &params->runElements) != 0;
    RenderElementPostIllumData data;
    InitializeRenderElementPostIllumData(state, &data);
    if (run) data.illum.shadedColor = value;
    store_named(state, keys ? keys->base : nullptr, value);

    const int start = kor::eval(state, &params->entries.start);
    const int count = kor::eval(state, &params->entries.count);
    for (int k = 0; k < count; ++k) {
        StoreEntry &entry = params->entries[start + k];
        const Color v = kor::eval(state, &entry.value);
        store_named(state, keys && k < keys->count ? keys->entries[k] : nullptr, v);
        store_target(data, kor::eval(state, &entry.postIllumTarget), v);
        const int channel = kor::eval(state, &entry.recordChannel);
        if (channel != 0) store_component(state, channel, v);
    }
    if (run) kor_CallRenderElementShaders_PostIllum(state, &data);
    return 1;
}

KOR_SHADER_INIT(kor_qxStoreElements) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    auto *p = static_cast<StoreManyParams *>(params);
    auto *keys =
        static_cast<StoreKeys *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(StoreKeys)));
    if (!keys) return;
    memset(keys, 0, sizeof *keys);
    keys->base = make_key(kor::eval(state, &p->name));
    const int start = kor::eval(state, &p->entries.start);
    const int count = kor::eval(state, &p->entries.count);
    if (count > 0) {
        keys->entries = static_cast<char **>(
            zo_mem_int_allocate(kModule, __LINE__, count * static_cast<int>(sizeof(char *))));
        if (keys->entries) {
            keys->count = count;
            for (int k = 0; k < count; ++k)
                keys->entries[k] = make_key(kor::eval(state, &p->entries[start + k].name));
        }
    }
    *slot = keys;
}

KOR_SHADER_EXIT(kor_qxStoreElements) {
    if (!params) return;
    release_slot(state, [](void *block) {
        auto *keys = static_cast<StoreKeys *>(block);
        for (int k = 0; k < keys->count; ++k) release(keys->entries[k]);
        release(keys->entries);
        release(keys->base);
        release(keys);
    });
}

// ---------------------------------------------------------------------------
// The element shader.

KOR_EXPORT zoBoolean kor_qxRenderElement(Color *result, RenderState *state, ReadParams *params,
                                         ElementCallArgs *args) {
    if (!result || !state || !params || !args) return 0;
    if (args->mode != 0 || !args->data) return 1;
    auto &data = *static_cast<RenderElementPostIllumData *>(args->data);
    data.replace = 1;
    if (data.matte) {
        *result = {0, 0, 0, 0};
        return 1;
    }
    const int channel = kor::eval(state, &params->channel);
    if (channel == kReadConstant) {
        if (on_eye_path(state))
            *result =
                rgb_scaled(kor::eval(state, &params->color), kor::eval(state, &params->multiplier));
        return 1;
    }
    if (channel == kReadNamedStore) {
        if (!on_eye_path(state)) return 1;
        void **slot = kor::user_slot(state);
        const char *key = slot ? static_cast<const char *>(*slot) : nullptr;
        int size = 0;
        const void *found = key ? zo_shaderstate_get(state, key, &size) : nullptr;
        if (!found || size < static_cast<int>(sizeof(NamedStore))) return 1;
        const auto *store = static_cast<const NamedStore *>(found);
        if (stamped_here(state, store->rasterX, store->rasterY)) *result = store->value;
        return 1;
    }
    if (channel < 0 || channel >= kComponentChannels) return 1;
    const MaterialComponentRecord *record = component_record(state);
    if (!record || !record->filled || !stamped_here(state, record->rasterX, record->rasterY))
        return 1;
    if (g_versionCheckArmed.load(std::memory_order_relaxed) && g_versionCheckArmed.exchange(0) &&
        record->size != kComponentRecordSize) {
        zo_error(
            "kor_qxRenderElement: Error: Wrong version of shader state data from "
            "zoa_material_x");
        return 0;
    }
    *result =
        rgb_scaled(kor::componentChannel(*record, channel), kor::eval(state, &params->multiplier));
    return 1;
}

KOR_SHADER_INIT(kor_qxRenderElement) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    *slot = make_key(kor::eval(state, &static_cast<ReadParams *>(params)->name));
}

KOR_SHADER_EXIT(kor_qxRenderElement) {
    if (!params) return;
    release_slot(state, release);
}
