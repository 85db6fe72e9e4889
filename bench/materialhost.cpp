// A host module for the material benchmark: shader calls by tag with the
// running shader's record, instance and thread slots, a small shader
// state, two lights with fixed samples, one 8-bit image and one triangle.
// Nothing here allocates or locks per call.
#include <korshaders/host.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "shader_key.h"

#define HOST extern "C" __attribute__((visibility("default")))

struct zoLockImpl {
    std::mutex mutex;
};

namespace {

typedef zoBoolean (*ShaderFunction)(void *, RenderState *, void *, void *);

struct Instance {
    zoShaderRecord record{};
    ShaderFunction function = nullptr;
    void *params = nullptr;
    void *user = nullptr;    // query 51
    void *thread = nullptr;  // queries 124, 126 (one render thread)
};
Instance instances[8];
int instance_count = 0;
constexpr Tag kMaxTag = 64;
Instance *by_tag[kMaxTag] = {};

Instance *find(Tag tag) {
    return tag < kMaxTag ? by_tag[tag] : nullptr;
}

// The instance whose record the state runs: the record lies inside its
// instance, so no lookup by tag is needed; records from elsewhere are found
// by tag.
Instance *running(RenderState *state) {
    if (!state || !state->shader) return nullptr;
    const uintptr_t at = reinterpret_cast<uintptr_t>(state->shader) - offsetof(Instance, record);
    const uintptr_t first = reinterpret_cast<uintptr_t>(instances);
    if (at >= first && at < first + sizeof instances && (at - first) % sizeof(Instance) == 0)
        return reinterpret_cast<Instance *>(at);
    return find(state->shader->tag);
}

// Shader-state keys compare as the reference host compares them
// (korhost::key_tag); the text of longer keys only when the words match.
using korhost::key_tag;
using Key = korhost::KeyTag;

struct Slot {
    char key[16];  // the text of keys of eight characters or more
    int size;
    alignas(16) unsigned char bytes[64];
};
Slot slots[8];
uint64_t slot_words[8];
int slot_count = 0;

// Shader-state records are a few words: copied a word at a time (a
// variable-length memcpy here becomes a byte loop). No value stores zeros.
inline void copy_value(unsigned char *to, const void *value, int size) {
    if (!value) {
        std::memset(to, 0, size);
        return;
    }
    const unsigned char *from = static_cast<const unsigned char *>(value);
    for (; size >= 8; size -= 8, to += 8, from += 8) std::memcpy(to, from, 8);
    for (; size > 0; --size) *to++ = *from++;
}

__attribute__((noinline)) int search(const char *key, Key k) {
    for (int i = 0; i < slot_count; ++i)
        if (slot_words[i] == k.word && (!k.longer || std::strcmp(slots[i].key, key) == 0)) return i;
    return -1;
}

Tag light_list_tag = 0;
const void *light_list = nullptr;
zoImage *image = nullptr;
Tag image_tag = 0;
int call_type = ZO_CALL_MATERIAL;

}  // namespace

HOST void materialhost_add_shader(Tag tag, ShaderFunction function, void *params) {
    Instance &i = instances[instance_count++];
    i.record.tag = tag;
    i.record.params = params;
    i.function = function;
    i.params = params;
    if (tag < kMaxTag) by_tag[tag] = &i;
}

HOST void materialhost_set_lights(Tag tag, const void *list) {
    light_list_tag = tag;
    light_list = list;
}

HOST void materialhost_set_image(Tag tag, zoImage *img) {
    image_tag = tag;
    image = img;
}

HOST zoShaderRecord *materialhost_record(Tag tag) {
    Instance *i = find(tag);
    return i ? &i->record : nullptr;
}

// Runs the instance `tag` as the current shader: its record is the state's.
HOST zoBoolean materialhost_run(void *result, RenderState *state, Tag tag, void *arg) {
    Instance *i = find(tag);
    if (!i) return 0;
    zoShaderRecord *saved = state->shader;
    state->shader = &i->record;
    const zoBoolean ok = i->function(result, state, i->params, arg);
    state->shader = saved;
    return ok;
}

HOST zoBoolean zo_call_shader_x(void *result, int, RenderState *state, Tag tag, void *arg) {
    return materialhost_run(result, state, tag, arg);
}

HOST zoBoolean zo_query(int code, RenderState *state, Tag tag, void *result, ...) {
    Instance *current = nullptr;
    switch (code) {
        case ZO_Q_FUNC_USERPTR:
            current = running(state);
            if (!current) return 0;
            *static_cast<void ***>(result) = &current->user;
            return 1;
        case ZO_Q_FUNC_TLS_GET:
            current = running(state);
            if (!current) return 0;
            *static_cast<void **>(result) = current->thread;
            return 1;
        case ZO_Q_FUNC_TLS_SET:
            current = running(state);
            if (!current) return 0;
            current->thread = *static_cast<void **>(result);
            return 1;
        case ZO_Q_FUNC_NAME: *static_cast<const char **>(result) = "bench"; return 1;
        case ZO_Q_FUNC_CALLTYPE: *static_cast<int *>(result) = call_type; return 1;
        case ZO_Q_INST_DATA:
            if (tag || !light_list_tag) return 0;
            *static_cast<Tag *>(result) = light_list_tag;
            return 1;
        case ZO_Q_DATA_PARAM:
            if (tag != light_list_tag || !light_list) return 0;
            *static_cast<const void **>(result) = light_list;
            return 1;
        case ZO_Q_NUM_TEXTURES: *static_cast<int *>(result) = 1; return 1;
        default: return 0;
    }
}

HOST zoBoolean zo_shaderstate_set(RenderState *, const char *key, const void *value, int size,
                                  int) {
    const Key k = key_tag(key);
    const int i = slot_count ? search(key, k) : -1;
    if (i >= 0) {
        if (size <= 0) {
            if (i != --slot_count) {
                slots[i] = slots[slot_count];
                slot_words[i] = slot_words[slot_count];
            }
        } else {
            if (size > 64) return 0;
            slots[i].size = size;
            copy_value(slots[i].bytes, value, size);
        }
        return 1;
    }
    if (size <= 0 || slot_count == 8 || size > 64) return size <= 0;
    Slot &s = slots[slot_count];
    if (k.longer) {
        // keys of sixteen characters or more are not kept
        const size_t length = std::strlen(key);
        if (length >= sizeof s.key) return 0;
        std::memcpy(s.key, key, length + 1);
    }
    slot_words[slot_count++] = k.word;
    s.size = size;
    copy_value(s.bytes, value, size);
    return 1;
}

HOST void *zo_shaderstate_get(RenderState *, const char *key, int *size) {
    const int i = slot_count ? search(key, key_tag(key)) : -1;
    if (i < 0) return nullptr;
    if (size) *size = slots[i].size;
    return slots[i].bytes;
}

// Each light gives one sample: a white key from above and a dimmer fill.
HOST zoBoolean zo_sample_light(Color *color, Vector3 *dir, float *dot_nl, RenderState *, Tag light,
                               int *samples) {
    if (*samples > 0) return 0;
    ++*samples;
    if (light == 1) {
        *color = {1.0f, 0.95f, 0.9f, 1};
        *dir = {0.3f, 0.4f, 0.866f};
        *dot_nl = 0.866f;
    } else {
        *color = {0.3f, 0.35f, 0.4f, 1};
        *dir = {-0.6f, 0.0f, 0.8f};
        *dot_nl = 0.8f;
    }
    return 1;
}

HOST zoBoolean zo_compute_irradiance(Color *result, RenderState *) {
    *result = {0, 0, 0, 0};
    return 0;
}

HOST int zo_db_type(Tag tag) {
    return tag == image_tag ? ZO_DB_IMAGE : ZO_DB_NONE;
}
HOST void *zo_db_access(Tag tag) {
    return tag == image_tag ? image : nullptr;
}
HOST void zo_db_unpin(Tag) {}
HOST int zo_img_get_width(const zoImage *img) {
    return img ? img->width : 0;
}
HOST int zo_img_get_height(const zoImage *img) {
    return img ? img->height : 0;
}
HOST void zo_img_get_color(const zoImage *img, Color *color, int x, int y) {
    const unsigned char *p =
        static_cast<const unsigned char *>(img->data) + 4 * (y * img->width + x);
    *color = {p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, p[3] / 255.0f};
}

HOST void *zo_mem_int_allocate(const char *, int, int size) {
    return std::calloc(1, size > 0 ? size : 1);
}
HOST void zo_mem_int_release(const char *, int, void *block) {
    std::free(block);
}
HOST void zo_init_lock(zoLock *lock) {
    *lock = new zoLockImpl;
}
HOST void zo_delete_lock(zoLock *lock) {
    delete *lock;
    *lock = nullptr;
}
HOST void zo_lock(zoLock lock) {
    if (lock) lock->mutex.lock();
}
HOST void zo_unlock(zoLock lock) {
    if (lock) lock->mutex.unlock();
}
HOST zoBoolean zo_fb_put(RenderState *, int, const void *) {
    return 1;
}
HOST void zo_error(const char *, ...) {}

#include "benchscene.h"
