// The host functions, exported by their zo_* names for the shader library:
// messages, queries, the database, memory, locks, shader calls and shader
// state here; frame buffers and images in api_images.cpp, spaces and the
// hit triangle in api_spaces.cpp. Every function is safe to call from any render thread, takes no
// lock (the lock functions aside) and lets no exception out.
#include "api.h"

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ies.h"
#include "photon.h"
#include "session.h"
#include "shader_key.h"
#include "sky.h"

struct zoLockImpl {
    std::mutex mutex;
};

using namespace korhost;
using namespace korhost::api;

// ---------------------------------------------------------------------------
// Messages. The text is a printf format (the library doubles every '%').

#define HOST_MESSAGE(name, severity)              \
    HOST_API void name(const char *format, ...) { \
        va_list args;                             \
        va_start(args, format);                   \
        vmessage(severity, format, args);         \
        va_end(args);                             \
    }
#define HOST_NUMBERED(name, severity)                             \
    HOST_API void name(int number, const char *format, ...) {     \
        char text[4096];                                          \
        va_list args;                                             \
        va_start(args, format);                                   \
        vsnprintf(text, sizeof text, format ? format : "", args); \
        va_end(args);                                             \
        messagef(severity, "%d: %s", number, text);               \
    }

HOST_MESSAGE(zo_error, kError)
HOST_MESSAGE(zo_warning, kWarning)
HOST_MESSAGE(zo_info, kInfo)
HOST_MESSAGE(zo_progress, kProgress)
HOST_MESSAGE(zo_debug, kDebug)
HOST_MESSAGE(zo_vdebug, kVDebug)
HOST_NUMBERED(zo_nerror, kError)
HOST_NUMBERED(zo_nwarning, kWarning)

// A fatal message stops the render; what was rendered so far is kept.
HOST_API void zo_fatal(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vmessage(kFatal, format, args);
    va_end(args);
    if (Session *s = session()) s->aborted = true;
}

HOST_API void zo_nfatal(int number, const char *format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    messagef(kFatal, "%d: %s", number, text);
    if (Session *s = session()) s->aborted = true;
}

// ---------------------------------------------------------------------------
// Queries.

namespace {
// A query code the reference host does not answer: false, said once per
// code and run.
void unknown_query(int code) {
    static std::atomic<bool> said[256];
    if (code >= 0 && code < 256) {
        std::atomic<bool> &flag = said[code];
        if (flag.load(std::memory_order_relaxed) || flag.exchange(true)) return;
    }
    messagef(kWarning,
             "zo_query code %d is not available in the reference host: the shader gets no "
             "answer and goes on without it",
             code);
}
}  // namespace

HOST_API zoBoolean zo_query(int code, RenderState *state, Tag tag, void *result, ...) {
    Session *s = session();
    if (!s || !result) return 0;
    HostRecord *rec = running(state);
    ThreadContext *ctx = thread_context();
    switch (code) {
        case ZO_Q_LIGHT_INSTANCE_RECORD: {
            const LightEntry *l = light_of(tag ? tag : state ? state->light_instance : 0);
            return l && put(result, static_cast<const zoLightRecord *>(&l->rec));
        }
        case ZO_Q_LIGHT_INSTANCE: {
            const LightEntry *l = light_of(tag ? tag : state ? state->light_instance : 0);
            return l && put(result, l->instance);
        }
        case ZO_Q_INSTANCE_NAME: {  // the instance's identity: its own tag
            const Tag instance = tag ? tag : state ? state->instance : 0;
            DbItem *it = item(instance);
            return it && it->type == ZO_DB_INSTANCE && put(result, instance);
        }
        case ZO_Q_LIGHT_SHADER: {
            const LightEntry *l = light_of(tag ? tag : state ? state->light_instance : 0);
            return l && put(result, l->rec.shader);
        }
        case ZO_Q_LIGHT_ORIGIN: {
            const LightEntry *l = light_of(tag ? tag : state ? state->light_instance : 0);
            return l && put(result, l->rec.origin);  // light space, as the light record has it
        }
        case ZO_Q_MTL_SHADER:
        case ZO_Q_MTL_DISPLACE:
        case ZO_Q_MTL_SHADOW:
        case ZO_Q_MTL_VOLUME:
        case ZO_Q_MTL_ENVIRONMENT:
        case ZO_Q_MTL_CONTOUR:
        case ZO_Q_MTL_PHOTON:
        case ZO_Q_MTL_PHOTONVOL:
        case ZO_Q_MTL_LIGHTMAP: {
            const MaterialEntry *m = material_of(tag ? tag : state ? state->material : 0);
            if (!m) return 0;
            int slot = kSlotLightmap;
            switch (code) {
                case ZO_Q_MTL_SHADER: slot = kSlotMaterial; break;
                case ZO_Q_MTL_DISPLACE: slot = kSlotDisplace; break;
                case ZO_Q_MTL_SHADOW: slot = kSlotShadow; break;
                case ZO_Q_MTL_VOLUME: slot = kSlotVolume; break;
                case ZO_Q_MTL_ENVIRONMENT: slot = kSlotEnvironment; break;
                case ZO_Q_MTL_CONTOUR: slot = kSlotContour; break;
                case ZO_Q_MTL_PHOTON: slot = kSlotPhoton; break;
                case ZO_Q_MTL_PHOTONVOL: slot = kSlotPhotonVol; break;
            }
            return put(result, m->slots[slot]);
        }
        case ZO_Q_FUNC_USERPTR: return rec && put(result, &rec->user);
        case ZO_Q_FUNC_NAME: return rec && put(result, rec->rec.name);
        case ZO_Q_NUM_GLOBAL_LIGHTS:
            return put(result, static_cast<int>(s->light_instances.size()));
        case ZO_Q_GLOBAL_LIGHTS:
            return put(result, static_cast<const Tag *>(s->light_instances.data()));
        case ZO_Q_TRANS_INTERNAL_TO_CAMERA:
            return put(result, static_cast<const float *>(s->camera.from_world));
        case ZO_Q_NUM_TEXTURES: {
            const ObjectEntry *o = object_of(tag ? tag : state ? state->instance : 0);
            if (o) return put(result, static_cast<int>(o->rec.texture_spaces));
            return state && put(result, static_cast<int>(state->tex_count));
        }
        case ZO_Q_INST_FLAGS: {
            const zoInstanceRecord *r = instance_record(tag ? tag : state ? state->instance : 0);
            return r && put(result, static_cast<int>(r->flags));
        }
        case ZO_Q_INST_VISIBILITY: {
            const zoInstanceRecord *r = instance_record(tag ? tag : state ? state->instance : 0);
            return r && put(result, static_cast<int>(r->visibility));
        }
        case ZO_Q_OBJ_BBOX_MIN:
        case ZO_Q_OBJ_BBOX_MAX: {
            const ObjectEntry *o = object_of(tag ? tag : state ? state->instance : 0);
            return o && put(result, code == ZO_Q_OBJ_BBOX_MIN ? o->rec.bbox_min : o->rec.bbox_max);
        }
        case ZO_Q_INST_ID: {
            const zoInstanceRecord *r = instance_record(tag ? tag : state ? state->instance : 0);
            return r && put(result, static_cast<int>(r->id));
        }
        case ZO_Q_INST_DATA: {
            if (!tag) {  // with the state alone: the light list of the state's instance
                DbItem *it = state ? item(state->instance) : nullptr;
                if (!it || it->type != ZO_DB_INSTANCE || !it->object_instance) return 0;
                const auto *entry = static_cast<const InstanceEntry *>(it->owner);
                return entry->item && put(result, entry->item);
            }
            const zoInstanceRecord *r = instance_record(tag);
            return r && put(result, r->userdata);
        }
        case ZO_Q_DATA_PARAM: {
            DbItem *it = item(tag);
            return it && it->type == ZO_DB_USERDATA && put(result, it->record);
        }
        case ZO_Q_DATA_SIZE: {
            DbItem *it = item(tag);
            return it && it->type == ZO_DB_USERDATA && put(result, it->size);
        }
        case ZO_Q_OBJ_DATA: {
            const ObjectEntry *o = object_of(tag ? tag : state ? state->instance : 0);
            return o && put(result, o->rec.userdata);
        }
        case ZO_Q_EYE_RAY: return ctx && put(result, ctx->eye_ray);
        case ZO_Q_FUNC_TLS_GET:
            if (!rec || !ctx || ctx->index >= static_cast<int>(rec->tls.size())) return 0;
            return put(result, rec->tls[ctx->index]);
        case ZO_Q_FUNC_TLS_SET:
            if (!rec || !ctx || ctx->index >= static_cast<int>(rec->tls.size())) return 0;
            rec->tls[ctx->index] = *static_cast<void **>(result);
            return 1;
        case ZO_Q_FUNC_TLS_GETALL: {
            if (!rec) return 0;
            va_list args;
            va_start(args, result);
            int *count = va_arg(args, int *);
            va_end(args);
            put(result, rec->tls.data());
            if (count) *count = static_cast<int>(rec->tls.size());
            return 1;
        }
        case ZO_Q_FUNC_CALLTYPE: return state && put(result, static_cast<int>(state->call_type));
        case ZO_Q_LIGHTPROFILE_PHI_MIN:
        case ZO_Q_LIGHTPROFILE_PHI_MAX:
        case ZO_Q_LIGHTPROFILE_THETA_MIN:
        case ZO_Q_LIGHTPROFILE_THETA_MAX:
            return light_profile_range(tag, code, static_cast<float *>(result));
        case ZO_Q_BUMP_STATE: return put(result, sky_lookup_state(*s, state));
        case ZO_Q_PRI_DATA: {
            const uint32_t *v = nullptr;
            const InstanceEntry *inst = hit_instance(state, &v);
            if (!inst || inst->object->mesh.face_stride == 0) return 0;
            const Mesh &m = inst->object->mesh;
            zoFaceData fd;
            fd.columns = static_cast<int32_t>(m.face_columns.size());
            fd.column_index = m.face_columns.data();
            fd.words = &m.face_words[static_cast<size_t>(state->pri_index) * m.face_stride];
            return put(result, fd);
        }
        case ZO_Q_PRI_LABEL: {  // the hit face: its triangle's index in its object
            const InstanceEntry *inst = hit_instance(state, nullptr);
            return inst && put(result, static_cast<int>(state->pri_index));
        }
        case ZO_Q_RENDER_FLAGS: return put(result, 0);
        default: unknown_query(code); return 0;
    }
}

// ---------------------------------------------------------------------------
// Database.

HOST_API int zo_db_type(Tag tag) {
    DbItem *it = item(tag);
    return it ? it->type : ZO_DB_NONE;
}

HOST_API void *zo_db_access(Tag tag) {
    DbItem *it = item(tag);
    return it ? it->record : nullptr;
}

HOST_API void zo_db_unpin(Tag) {}

HOST_API int zo_db_size(Tag tag) {
    DbItem *it = item(tag);
    return it ? it->size : 0;
}

namespace {

const char *db_type_name(int type) {
    switch (type) {
        case ZO_DB_FUNCTION: return "shader";
        case ZO_DB_MATERIAL:
        case ZO_DB_MATERIAL_PHENOMENON: return "material";
        case ZO_DB_INSTANCE: return "instance";
        case ZO_DB_OBJECT:
        case ZO_DB_MESH: return "object";
        case ZO_DB_LIGHT: return "light";
        case ZO_DB_USERDATA: return "data";
        case ZO_DB_FUNCTION_DECL: return "declaration";
        case ZO_DB_TEXTURE: return "texture";
        case ZO_DB_IMAGE: return "image";
        default: return "item";
    }
}

// The one item named `name` that `accept` takes; 0 when there is none, or,
// reported, when there are several.
template <typename Accept>
Tag unique_named(Session &s, const char *name, Accept accept, bool *ambiguous) {
    Tag found = 0;
    for (size_t i = 1; i < s.db.size(); ++i) {
        const DbItem &it = s.db[i];
        if (it.type == ZO_DB_STRING || it.name != name || !accept(it)) continue;
        if (found) {
            messagef(kWarning, "name lookup: '%s' names both %s %u and %s %u; left unresolved",
                     name, db_type_name(s.db[found].type), found, db_type_name(it.type),
                     static_cast<unsigned>(i));
            *ambiguous = true;
            return 0;
        }
        found = static_cast<Tag>(i);
    }
    return found;
}

}  // namespace

// Names are unique within a section of the scene, not across sections: an
// object and the instance placing it often share one, and so do a light and
// its instance. Shaders look names up for object lists, whose members are
// placed objects, so an instance of an object answers first, then a light's
// instance, then the one item of that name of any other type (text items
// aside). Two items of the same rank make the name ambiguous: reported, and
// answered 0.
HOST_API Tag zo_api_name_lookup(char *name) {
    Session *s = session();
    if (!s || !name) return 0;
    bool ambiguous = false;
    Tag tag = unique_named(
        *s, name, [](const DbItem &it) { return it.type == ZO_DB_INSTANCE && it.object_instance; },
        &ambiguous);
    if (tag || ambiguous) return tag;
    tag = unique_named(
        *s, name, [](const DbItem &it) { return it.type == ZO_DB_INSTANCE; }, &ambiguous);
    if (tag || ambiguous) return tag;
    return unique_named(
        *s, name, [](const DbItem &it) { return it.type != ZO_DB_INSTANCE; }, &ambiguous);
}

// ---------------------------------------------------------------------------
// Memory: zero-filled blocks with a header for accounting.

HOST_API void *zo_mem_int_allocate(const char *module, int line, int size) {
    if (size < 0) return nullptr;
    auto *h = static_cast<BlockHeader *>(calloc(1, sizeof(BlockHeader) + size));
    if (!h) {
        messagef(kError, "%s:%d: out of memory allocating %d bytes", module ? module : "?", line,
                 size);
        return nullptr;
    }
    h->magic = kBlockMagic;
    h->line = line;
    h->size = static_cast<uint64_t>(size);
    h->module = module;
    void *block = h + 1;
    if (Session *s = session()) {
        ++s->mem_allocations;
        ++s->mem_blocks;
        s->mem_bytes += size;
        if (s->mem_tracking) {
            std::lock_guard<std::mutex> lock(s->mem_mutex);
            s->mem_live[block] = {module ? module : "?", line};
        }
    }
    return block;
}

HOST_API void zo_mem_int_release(const char *module, int line, void *block) {
    if (!block) return;
    BlockHeader *h = static_cast<BlockHeader *>(block) - 1;
    if (h->magic != kBlockMagic) {
        messagef(kError, "%s:%d: released a block that zo_mem_int_allocate did not give",
                 module ? module : "?", line);
        return;
    }
    h->magic = 0;
    if (Session *s = session()) {
        ++s->mem_releases;
        --s->mem_blocks;
        s->mem_bytes -= static_cast<long long>(h->size);
        if (s->mem_tracking) {
            std::lock_guard<std::mutex> lock(s->mem_mutex);
            s->mem_live.erase(block);
        }
    }
    free(h);
}

HOST_API void *zo_mem_int_reallocate(const char *module, int line, void *block, int size) {
    void *fresh = zo_mem_int_allocate(module, line, size);
    if (block && fresh) {
        BlockHeader *h = static_cast<BlockHeader *>(block) - 1;
        if (h->magic == kBlockMagic)
            memcpy(fresh, block, std::min<uint64_t>(h->size, static_cast<uint64_t>(size)));
    }
    zo_mem_int_release(module, line, block);
    return fresh;
}

HOST_API char *zo_mem_int_strdup(const char *module, int line, const char *text) {
    if (!text) return nullptr;
    size_t n = strlen(text);
    char *copy = static_cast<char *>(zo_mem_int_allocate(module, line, static_cast<int>(n + 1)));
    if (copy) memcpy(copy, text, n + 1);
    return copy;
}

// ---------------------------------------------------------------------------
// Locks.

HOST_API void zo_init_lock(zoLock *lock) {
    if (lock) *lock = new (std::nothrow) zoLockImpl;
}

HOST_API void zo_delete_lock(zoLock *lock) {
    if (!lock) return;
    delete *lock;
    *lock = nullptr;
}

HOST_API void zo_lock(zoLock lock) {
    if (lock) lock->mutex.lock();
}

HOST_API void zo_unlock(zoLock lock) {
    if (lock) lock->mutex.unlock();
}

HOST_API zoBoolean zo_trylock(zoLock lock) {
    return lock && lock->mutex.try_lock() ? 1 : 0;
}

HOST_API int zo_par_nthreads(void) {
    Session *s = session();
    return s ? s->threads : 1;
}

// ---------------------------------------------------------------------------
// Shader calls and shader state.

// zo_call_shader takes a call type (what query 140 answers during the call).
HOST_API zoBoolean zo_call_shader(void *result, int type, RenderState *state, Tag shader) {
    return call_shader(result, type, state, shader, nullptr);
}

// zo_call_shader_x takes a shader type; the call type follows from it. The
// two numberings differ only for environment and light shaders.
static_assert(int(ZO_SHADER_VOLUME_MARCH) == int(ZO_CALL_VOLUME) &&
                  int(ZO_SHADER_MAP) == int(ZO_CALL_TEXTURE) &&
                  int(ZO_SHADER_DISPLACE) == int(ZO_CALL_DISPLACE) &&
                  int(ZO_SHADER_RENDER_ELEMENT) == int(ZO_CALL_RENDER_ELEMENT),
              "shader types that share their call type's number");
HOST_API zoBoolean zo_call_shader_x(void *result, int type, RenderState *state, Tag shader,
                                    void *arg) {
    const int call_type = type == ZO_SHADER_ENVIRONMENT ? ZO_CALL_ENVIRONMENT
                          : type == ZO_SHADER_LIGHT     ? ZO_CALL_LIGHT
                                                        : type;
    return call_shader(result, call_type, state, shader, arg);
}

HOST_API zoBoolean zo_call_material(Color *result, RenderState *state) {
    return state ? run_material(result, state, kSlotMaterial, ZO_CALL_MATERIAL) : 0;
}
HOST_API zoBoolean zo_call_shadow_material(Color *result, RenderState *state) {
    return state ? run_material(result, state, kSlotShadow, ZO_CALL_SHADOW) : 0;
}
HOST_API zoBoolean zo_call_environment_material(Color *result, RenderState *state) {
    return state ? run_material(result, state, kSlotEnvironment, ZO_CALL_ENVIRONMENT) : 0;
}
HOST_API zoBoolean zo_call_volume_material(Color *result, RenderState *state) {
    return state ? run_material(result, state, kSlotVolume, ZO_CALL_VOLUME) : 0;
}
HOST_API zoBoolean zo_call_photon_material(Color *result, RenderState *state) {
    return state ? photon_material(result, state) : 0;
}
HOST_API zoBoolean zo_call_photonvol_material(Color *result, RenderState *state) {
    return state ? run_material(result, state, kSlotPhotonVol, ZO_CALL_PHOTONVOL) : 0;
}
HOST_API zoBoolean zo_call_contour_material(void *result, void *info_near, void *info_far,
                                            RenderState *state) {
    if (!state) return 0;
    const MaterialEntry *m = material_of(state->material);
    if (!m || !m->slots[kSlotContour]) return 0;
    return call_contour_shader(result, info_near, info_far, state, m->slots[kSlotContour]);
}

// A connected parameter: run the shader it connects to into per-sample
// memory and hand back the value.
HOST_API void *zo_phen_eval(RenderState *state, void *parameter) {
    HostRecord *rec = running(state);
    if (!rec || !parameter || !rec->instance || !rec->rec.ghost_offset) return parameter;
    auto *p = static_cast<uint8_t *>(parameter);
    auto *base = static_cast<uint8_t *>(rec->rec.params);
    if (p < base || p >= base + rec->rec.ghost_offset) return parameter;
    int32_t index;
    memcpy(&index, p + rec->rec.ghost_offset, 4);
    const auto &connections = rec->instance->connections;
    if (index <= 0 || static_cast<size_t>(index) > connections.size()) return parameter;
    const Connection &c = connections[index - 1];
    void *value = state_alloc(static_cast<size_t>(std::max(c.result_size, 16)));
    if (!value) return parameter;
    call_shader(value, ZO_CALL_TEXTURE, state, c.shader, nullptr);
    return static_cast<uint8_t *>(value) + c.field_offset;
}

namespace {
// Keys of eight characters or more: the tag, then the text.
__attribute__((noinline)) int find_long_entry(const ThreadContext *ctx, const char *key,
                                              uint64_t word) {
    for (int i = 0, n = ctx->entry_count; i < n; ++i)
        if (ctx->entry_tags[i] == word && strcmp(ctx->entries[i].key, key) == 0) return i;
    return -1;
}

inline int find_entry(const ThreadContext *ctx, const char *key, const KeyTag &t) {
    return t.longer ? find_long_entry(ctx, key, t.word) : find_short_entry(ctx, t.word);
}

inline void remove_entry(ThreadContext *ctx, int found) {
    const int last = --ctx->entry_count;
    if (found == last) return;  // the newest: nothing moves
    ctx->entries[found] = ctx->entries[last];
    ctx->entry_tags[found] = ctx->entry_tags[last];
}

// Every case of a store: any key, any size, a full table, a value of
// zeros, a new arena chunk.
__attribute__((noinline)) zoBoolean store_entry(ThreadContext *ctx, const char *key,
                                                const void *value, int size) {
    if (!ctx) ctx = fallback_thread_context();
    if (!ctx || !key) return 0;
    const KeyTag tag = key_tag(key);
    const int found = find_entry(ctx, key, tag);
    if (size <= 0) {
        if (found >= 0) remove_entry(ctx, found);
        return 1;
    }
    StateEntry *e = nullptr;
    if (found >= 0) {
        e = &ctx->entries[found];
    } else {
        if (ctx->entry_count == kMaxStateEntries || (tag.longer && strlen(key) >= sizeof e->key))
            return 0;
        ctx->entry_tags[ctx->entry_count] = tag.word;
        e = &ctx->entries[ctx->entry_count++];
        // A key of up to seven characters is its tag; only longer ones are
        // kept as text, for the comparison past the tag.
        if (tag.longer) strcpy(e->key, key);
        e->size = 0;
        e->value = nullptr;
    }
    if (e->size < size) {
        void *mem = ctx->arena.alloc_uninit(static_cast<size_t>(size));
        if (!mem) return 0;
        e->value = mem;
    }
    e->size = size;
    if (value)
        memcpy(e->value, value, static_cast<size_t>(size));
    else
        memset(e->value, 0, static_cast<size_t>(size));
    return 1;
}

// Values of 4 to 16 bytes, the sizes shaders store most, move as two
// words each (overlapping where the size is not a whole pair); all is read
// before anything is written.
inline void copy_value(void *to, const void *from, size_t size) {
    auto *d = static_cast<uint8_t *>(to);
    const auto *f = static_cast<const uint8_t *>(from);
    if (size >= 8 && size <= 16) {
        uint64_t a, b;
        memcpy(&a, f, 8);
        memcpy(&b, f + size - 8, 8);
        memcpy(d, &a, 8);
        memcpy(d + size - 8, &b, 8);
    } else if (size >= 4 && size < 8) {
        uint32_t a, b;
        memcpy(&a, f, 4);
        memcpy(&b, f + size - 4, 4);
        memcpy(d, &a, 4);
        memcpy(d + size - 4, &b, 4);
    } else {
        memcpy(d, f, size);
    }
}
}  // namespace

// The common stores (a key of up to seven characters, a value given, room
// in the table and the arena's chunk) take no call but the copy of a large
// value; everything else goes through store_entry.
HOST_API zoBoolean zo_shaderstate_set(RenderState *, const char *key, const void *value, int size,
                                      int /* lifetime: every entry lasts the sample */) {
    ThreadContext *ctx = tl_context;
    if (!ctx || !key || !key_fits_word(key)) return store_entry(ctx, key, value, size);
    const uint64_t w = key_word(key), marks = key_end_marks(w);
    if (!marks) return store_entry(ctx, key, value, size);  // eight characters or more
    const uint64_t word = key_cut(w, marks);
    const int found = find_short_entry(ctx, word);
    if (size <= 0) {
        if (found >= 0) remove_entry(ctx, found);
        return 1;
    }
    if (!value) return store_entry(ctx, key, value, size);
    StateEntry *e;
    if (found >= 0) {
        e = &ctx->entries[found];
        if (e->size < size) {
            void *mem = ctx->arena.alloc_in_chunk(static_cast<size_t>(size));
            if (!mem) return store_entry(ctx, key, value, size);
            e->value = mem;
        }
    } else {
        const int n = ctx->entry_count;
        if (n == kMaxStateEntries) return 0;
        void *mem = ctx->arena.alloc_in_chunk(static_cast<size_t>(size));
        if (!mem) return store_entry(ctx, key, value, size);
        ctx->entry_count = n + 1;
        ctx->entry_tags[n] = word;
        e = &ctx->entries[n];
        e->value = mem;
    }
    e->size = size;
    copy_value(e->value, value, static_cast<size_t>(size));
    return 1;
}

namespace {
__attribute__((noinline)) void *fetch_entry(ThreadContext *ctx, const char *key, int *size) {
    if (!ctx) ctx = fallback_thread_context();
    if (size) *size = 0;
    if (!ctx || !key) return nullptr;
    const int i = find_entry(ctx, key, key_tag(key));
    if (i < 0) return nullptr;
    if (size) *size = ctx->entries[i].size;
    return ctx->entries[i].value;
}
}  // namespace

HOST_API void *zo_shaderstate_get(RenderState *, const char *key, int *size) {
    ThreadContext *ctx = tl_context;
    if (!ctx || !key || !key_fits_word(key)) return fetch_entry(ctx, key, size);
    const uint64_t w = key_word(key), marks = key_end_marks(w);
    if (!marks) return fetch_entry(ctx, key, size);  // eight characters or more
    const int i = find_short_entry(ctx, key_cut(w, marks));
    if (i < 0) {
        if (size) *size = 0;
        return nullptr;
    }
    const StateEntry &e = ctx->entries[i];
    if (size) *size = e.size;
    return e.value;
}
