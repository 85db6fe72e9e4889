// The state of one render: declarations, the scene database, the loaded
// shader library, shader instances, per-thread contexts and frame buffers.
// The exported host functions reach it through korhost::session().
#pragma once

#include <korshaders/host.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "contour.h"
#include "decl.h"
#include "image_buffer.h"

#ifdef __SSE__
#include <xmmintrin.h>
#endif

namespace korhost {

// A scene or setup problem; the text names the file, the object and the
// problem, ready to print.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum Severity {
    kFatal = 0,
    kError = 1,
    kWarning = 2,
    kInfo = 3,
    kProgress = 4,
    kDebug = 5,
    kVDebug = 6
};

using ShaderFn = zoBoolean (*)(void *result, RenderState *state, void *params, void *arg);
using InitFn = void (*)(RenderState *state, void *params, zoBoolean *request);
using ExitFn = void (*)(RenderState *state, void *params);
using VersionFn = int (*)(void);

struct ShaderFunction;
struct ShaderInstance;
struct ImportedModel;  // import_model.h

// The record a running shader sees as state->shader, followed by the
// host's own parts. Shader-level records (init and exit with no
// parameters) have no instance.
struct HostRecord {
    zoShaderRecord rec;  // must stay the first member
    ShaderFunction *function = nullptr;
    ShaderInstance *instance = nullptr;
    void *user = nullptr;     // the user-pointer slot (query 51)
    std::vector<void *> tls;  // one pointer per render thread (queries 124, 126, 127)
};

struct ShaderFunction {
    const Declaration *decl = nullptr;
    const char *library = nullptr;  // path of the library that exports it
    ShaderFn fn = nullptr;
    InitFn init = nullptr;
    ExitFn exit = nullptr;
    HostRecord level;  // the shader-level record
    bool initialised = false;
    bool instance_init = false;  // its shader-level init asked for instance init
};

// A parameter connected to another shader: its connection word holds the
// index (1-based) of one of these.
struct Connection {
    Tag shader = 0;
    int result_size = 0;
    int field_offset = 0;  // offset of the connected field in the result
};

struct ShaderInstance {
    std::string name;
    Tag tag = 0;
    ShaderFunction *function = nullptr;
    HostRecord record;
    uint8_t *params = nullptr;  // record, array storage, then the ghost copy
    size_t record_size = 0;     // bytes before the ghost copy
    std::vector<Connection> connections;
    bool instance_initialised = false;
    ~ShaderInstance() { free(params); }
};

struct DbItem {
    int type = ZO_DB_NONE;
    void *record = nullptr;
    int size = 0;
    std::string name;
    void *owner = nullptr;         // the host's entry (InstanceEntry, ImageEntry, ...)
    bool object_instance = false;  // an instance of an object (owner is an InstanceEntry)
};

struct Mesh {
    std::vector<Vector3> P, N, motion;
    std::vector<std::vector<Vector3>> tex;  // texture spaces, per vertex
    std::vector<uint32_t> tri;              // three vertex indices per triangle
    int face_stride = 0;                    // per-face words
    std::vector<int32_t> face_columns;      // column -> index into a face's words, -1 absent
    std::vector<int32_t> face_words;        // face_stride words per triangle
    bool unit_normals = false;              // every N of length 1 (build_geometry)
    // A sphere primitive traced as the exact surface: its radius, its
    // facets (segments round the poles, rings from pole to pole) and where
    // its poles lie (the Z axis, or the Y axis once turned for a Y-up
    // scene). Radius 0: not one. The facets stay the mesh that texture
    // coordinates, normals and every triangle query read; a hit on the
    // sphere is handed on as the facet it lies in (sphere.cpp).
    struct ExactSphere {
        float radius = 0;
        int segments = 0, rings = 0;
        bool y_up = false;
        float traced[4] = {0, 0, 0, 0};  // centre and radius in object space
        // Where the facets meet, with the poles on Z: cos of each ring's
        // angle from the bottom pole (rings + 1, falling from 1 to -1), and
        // the direction round the poles of each segment's start (x, y;
        // segments + 1).
        std::vector<float> ring_cos, segment_dir;
    } sphere;
    size_t triangles() const { return tri.size() / 3; }
};

struct ObjectEntry {
    std::string name;
    Tag tag = 0;
    Mesh mesh;
    zoObjectRecord rec{};
    // The object as a mesh record (database type ZO_DB_MESH), built by
    // build_mesh_record (bake.cpp) once the object is complete.
    zoMeshRecord mesh_rec{};
    std::vector<float> mesh_vertices;  // interleaved, mesh_rec.vertex_stride per vertex
    // The mesh's own ray-tracing scene in object space, shared by every
    // instance of the object (build_geometry).
    void *rtc_scene = nullptr;
};

struct InstanceEntry {
    std::string name;
    Tag tag = 0;
    ObjectEntry *object = nullptr;
    zoInstanceRecord rec{};
    // How to_world maps (build_geometry): without perspective (affine),
    // and keeping angles as well (similar: rotation, uniform scale and
    // translation), so that unit normals blend before their transform.
    bool affine = false, similar = false;
    // The world-space tangents of texture space 0, dP/du and dP/dv of each
    // triangle, worked out once for a mesh placed once (build_geometry);
    // empty otherwise, and a hit works them out.
    std::vector<Vector3> tangents;
    // An exact sphere placed once without stretching: its centre and radius
    // in the world, as the ray tracer meets it (build_geometry).
    float sphere[4] = {0, 0, 0, 0};
    static constexpr size_t kKeptTangents = size_t(1) << 20;
    // Light list: 0 the global lights, 1 the listed lights only (inclusive),
    // 2 the global lights but the listed ones (exclusive).
    int light_mode = 0;
    std::vector<Tag> listed_lights;  // light instance tags as the scene names them
    std::vector<Tag> lights;         // the lights that light this instance
    Tag item = 0;                    // the instance's light-list item (query 102, no tag)
    uint8_t *item_bytes = nullptr;   // its block: light-list header, light tags
    size_t item_size = 0;
    InstanceEntry() = default;
    InstanceEntry(const InstanceEntry &) = delete;
    InstanceEntry &operator=(const InstanceEntry &) = delete;
    ~InstanceEntry() { free(item_bytes); }
};

enum MaterialSlot {
    kSlotMaterial,
    kSlotShadow,
    kSlotVolume,
    kSlotEnvironment,
    kSlotDisplace,
    kSlotPhoton,
    kSlotPhotonVol,
    kSlotContour,
    kSlotLightmap,
    kSlotCount
};

struct MaterialEntry {
    std::string name;
    Tag tag = 0;
    bool phenomenon = false;
    Tag slots[kSlotCount] = {};
};

struct DataEntry {
    std::string name;
    Tag tag = 0;
    const Declaration *decl = nullptr;
    uint8_t *bytes = nullptr;
    size_t size = 0;
    ~DataEntry() { free(bytes); }
};

struct ImageEntry {
    std::string name;
    Tag tag = 0;
    std::string file;
    Tag shader = 0;  // a texture that a shader computes: looked up at each coordinate
    zoImage image{};
    std::vector<float> pixels;  // RGBA float, bottom row first (read_image)
    // Textures as the scene loads them (read_texture): the file's own
    // component type, level 0 first, then the pyramid's reduced levels.
    std::vector<std::vector<uint8_t>> level_bytes;
    std::deque<zoImage> levels;  // levels[k] describes level k; image is levels[0]
};

struct LightEntry {
    std::string name;
    Tag tag = 0;       // the light
    Tag instance = 0;  // its instance
    zoLightRecord rec{};
    zoInstanceRecord inst{};
    // World space, filled before rendering (prepare_lights).
    Vector3 origin{0, 0, 0}, direction{0, 0, -1}, edge_u{0, 0, 0}, edge_v{0, 0, 0};
    Vector3 axis_u{1, 0, 0}, axis_v{0, 1, 0};  // unit axes across the direction (discs)
    float radius = 0;
    int samples = 1;  // samples per zo_sample_light loop
    int index = 0;    // in Session::lights (prepare_lights)
};

// A photometric profile read from an IES LM-63 file (ies.cpp): candela over
// vertical angles (0 towards the nadir) and horizontal angles, in degrees.
struct LightProfile {
    std::string file;
    Tag tag = 0;
    std::vector<float> vertical, horizontal;
    std::vector<float> candela;  // horizontal-major: [h * vertical.size() + v]
    float peak = 0;              // the largest candela
};

struct StringEntry {
    Tag tag = 0;
    std::string text;
};

struct FrameBuffer {
    int index = -1;
    int type = -1;  // ZO_FB_*, -1: not declared
    int components = 0;
    std::string file;
    ImageVector<float> sum;     // float buffers: per pixel sums
    ImageVector<int32_t> ints;  // integer buffers
    zoImage image{};            // as opened by an output shader
};

// A chunked bump allocator; reset per eye sample. Chunks are kept, so a
// render allocates only while its busiest sample grows the arena.
class Arena {
  public:
    // Zeroed memory.
    void *alloc(size_t size, size_t align = 16) {
        void *p = alloc_uninit(size, align);
        if (p) memset(p, 0, size);
        return p;
    }
    // Memory the caller fills at once.
    void *alloc_uninit(size_t size, size_t align = 16) {
        void *p = alloc_in_chunk(size, align);
        if (p) return p;
        p = grow(size, align);
        track();
        return p;
    }
    // Memory from the current chunk; null when it has no room.
    void *alloc_in_chunk(size_t size, size_t align = 16) {
        const size_t at = (used_ + align - 1) & ~(align - 1);
        if (at + size > room_) return nullptr;
        used_ = at + size;
        return base_ + at;
    }
    void reset() {
        chunk_ = 0;
        used_ = 0;
        track();
    }
    ~Arena();

  private:
    void *grow(size_t size, size_t align);
    // The current chunk's start and size, kept beside its index so that an
    // allocation reads no vector (none past the last chunk: no room).
    void track() {
        const bool any = chunk_ < chunks_.size();
        base_ = any ? chunks_[chunk_].first : nullptr;
        room_ = any ? chunks_[chunk_].second : 0;
    }
    std::vector<std::pair<uint8_t *, size_t>> chunks_;
    size_t chunk_ = 0, used_ = 0;
    uint8_t *base_ = nullptr;
    size_t room_ = 0;
};

// A shader-state entry. Its tag (the key's first eight characters,
// key_tag) is kept in ThreadContext::entry_tags; the lifetime a store
// names is not kept: every entry lasts until the sample ends or the key is
// removed.
struct StateEntry {
    char key[32];  // keys of eight characters or more
    int size;
    void *value;
};

constexpr int kMaxStateEntries = 64;
constexpr int kMaxTextureSpaces = 16;
constexpr int kMaxFrameBuffers = 32;

// A shading point's shadow-ray origin (trace_lights.cpp), kept for the
// point's next light.
struct ShadowOrigin {
    const void *pri = nullptr;
    Tag instance = 0;
    int inv_normal = 0;
    float bary[2] = {0, 0};
    Vector3 point{0, 0, 0}, origin{0, 0, 0};
};

// Lights whose last blocker a thread keeps (trace_lights.cpp), and the
// kinds of lit point (by ray depth and instance) it keeps one for apiece.
constexpr int kKeptBlockerLights = 16;
constexpr int kKeptBlockerKinds = 16;

// A small scene (trace.cpp): what shadow rays and nearest-hit rays can be
// answered by without the tracer, looked at by each thread at its first
// such ray: the exact spheres placed in the world, and the meshes placed in
// the world that lie flat across an axis.
constexpr int kSmallSceneItems = 8;
struct SmallScene {
    int known = 0;  // 0 not looked at yet, 1 as below, -1 other geometry or more of it
    int spheres = 0, planes = 0;
    const float *sphere[kSmallSceneItems] = {};  // centre and radius
    uint32_t sphere_id[kSmallSceneItems] = {};   // their geometry ids
    int axis[kSmallSceneItems] = {};             // the flat meshes: x_axis = at
    float at[kSmallSceneItems] = {};
    // The spheres again, four at a time: centre (x, y, z) and the square
    // of the radius, so that a ray tells at once the ones it surely misses.
    alignas(16) float cx[kSmallSceneItems] = {}, cy[kSmallSceneItems] = {},
                      cz[kSmallSceneItems] = {}, r2[kSmallSceneItems] = {};
};

// The exact spheres of a small scene as the shadow rays towards a light
// at `light` see them (trace_lights.cpp): per sphere its centre less the
// light's position (x, y, z), and the bound under which the square of its
// component along a shadow ray tells that the ray misses the sphere.
struct LightSpheres {
    bool known = false;
    Vector3 light{0, 0, 0};
    alignas(16) float x[kSmallSceneItems] = {}, y[kSmallSceneItems] = {}, z[kSmallSceneItems] = {},
                      bound[kSmallSceneItems] = {};
};

struct ThreadContext {
    int index = 0;
    Arena arena;
    ShadowOrigin shadow_origin;
    SmallScene small_scene;
    // By light (LightEntry::index) and kind of lit point: 1 + the geometry
    // id of the exact sphere that stopped the last such shadow ray, or 0.
    uint32_t blocker[kKeptBlockerLights][kKeptBlockerKinds] = {};
    // By light (LightEntry::index): the small scene's spheres as seen from
    // the light's position (trace_lights.cpp).
    LightSpheres light_spheres[kKeptBlockerLights];
    StateEntry entries[kMaxStateEntries];
    uint64_t entry_tags[kMaxStateEntries];  // the entries' key words, packed for the lookup's scan
    int entry_count = 0;
    Vector3 tex[kMaxTextureSpaces];
    // The value each user frame buffer got in the current sample.
    alignas(16) uint8_t fb_value[kMaxFrameBuffers][16];
    bool fb_written[kMaxFrameBuffers] = {};
    size_t lens_index = 0;
    zoRay eye_ray{};
    // The eye ray's nearest hit, found with its neighbours in a packet
    // (render_tile); the sample's first shoot() takes it instead of
    // tracing. An RTCRayHit; null when there is none.
    const void *eye_hit = nullptr;
    std::vector<unsigned char> eye_hits;  // a tile row's packet results
    uint64_t rays = 0, samples = 0;
    bool warned_arena = false;
    Color opacity{0, 0, 0, 0};  // zo_opacity_set of the current sample
    bool opacity_set = false;
    double falloff_start = 0, falloff_stop = 0;  // zo_ray_falloff; stop 0: unlimited
    bool eye_traced = false;                     // the current sample's eye ray reached the scene
    uint64_t random_state = 0x853c49e6748fea9bULL;  // zo_random
    uint32_t draws = 0;  // single samples drawn in the current eye sample
    void begin_sample() {
        draws = 0;
        arena.reset();
        entry_count = 0;
        shadow_origin = ShadowOrigin{};
        for (bool &w : fb_written) w = false;
        lens_index = 0;
        opacity_set = false;
        eye_traced = false;
        falloff_start = falloff_stop = 0;
    }
};

// The entry of a shader-state key of up to seven characters, by its word
// (shader_key.h); -1 for none. Newest first: a shader mostly reads or
// removes what it stored last.
inline int find_short_entry(const ThreadContext *ctx, uint64_t word) {
    const uint64_t *tags = ctx->entry_tags;
    for (int i = ctx->entry_count - 1; i >= 0; --i)
        if (tags[i] == word) return i;
    return -1;
}

struct Settings {
    int verbosity = kWarning;
    int threads = 0;                       // 0: all cores
    int samples = 0;                       // 0: from the scene
    int width = 0, height = 0;             // 0: from the scene
    std::vector<std::string> libraries;    // --library (each given once)
    std::string output;                    // -o
    std::vector<std::string> shader_dirs;  // declaration directories
    bool benchmark = false;
    bool progress = true;
    // --set POINTER=JSON: values replaced in the scene after it is read
    std::vector<std::pair<std::string, std::string>> overrides;
    bool quiet = false;              // --quiet: errors only, no progress
    std::string bit_depth;           // --bit-depth 8, 16, half or float; empty: the format's own
    std::string colorspace;          // --colorspace of 8- and 16-bit colour outputs
    bool elements_into_exr = false;  // --elements-into-exr
    // --crop WxH+X+Y: the pixel region rendered (X, Y from the top left);
    // crop_w 0 renders the whole image.
    int crop_x = 0, crop_y = 0, crop_w = 0, crop_h = 0;
    bool has_frame = false;  // --frame N, or one frame of --frames A-B
    int frame = 0;
    bool frame_range = false;   // --frames A-B: the output needs a # for the number
    bool import_model = false;  // --import: the scene is a model file
};

// How images are written: the colour space of integer colour outputs,
// the depth and whether the frame buffers become layers of the output.
// Filled from the settings and the scene before anything is loaded.
struct OutputSetup {
    std::string colorspace = "sRGB";
    std::string bit_depth;
    bool layers = false;
    std::vector<std::string> files;  // every file the render writes, checked first
    int threads = 1;                 // threads that convert an image's rows
};

// The photon pass (scene options; photon.h). No photons asked for: no pass,
// and every service answers as without photon maps.
struct PhotonOptions {
    int global = 0;     // photons emitted for the global map
    int caustic = 0;    // photons emitted for the caustic map
    int volume = 0;     // photons emitted for the volume map
    int count = 100;    // photons one estimate gathers
    float radius = 0;   // largest search radius; 0: from the scene's size
    int depth = 6;      // interactions a photon goes through at most
    uint32_t seed = 0;  // varies the photons' paths
    bool any() const { return global > 0 || caustic > 0 || volume > 0; }
};
struct PhotonMaps;

struct CameraSetup {
    zoCamera cam{};
    zoMatrix to_world{};  // camera space to world space
    zoMatrix from_world{};
    std::vector<Tag> lens, output;
    ContourSetup contour;
};

class Session {
  public:
    Settings settings;
    Declarations decls;

    std::string scene_file;
    std::string scene_dir;
    std::string scene_text;

    struct Library {
        std::string path;
        void *handle = nullptr;
    };
    std::vector<Library> libraries;  // searched in order for shaders
    void *self_handle = nullptr;

    // The database: tag = index; item 0 is "none".
    std::vector<DbItem> db{DbItem{}};

    // The shader to run for each tag below shader_call_count (bind_shader_calls):
    // null where the tag names no shader. Tags past it take the database.
    struct ShaderCall {
        ShaderFn fn = nullptr;
        HostRecord *record = nullptr;
    };
    std::vector<ShaderCall> shader_call_table;
    const ShaderCall *shader_calls = nullptr;
    uint32_t shader_call_count = 0;

    std::map<std::string, std::unique_ptr<ShaderFunction>> functions;
    std::vector<ShaderFunction *> init_order;
    std::deque<ShaderInstance> shaders;
    std::deque<MaterialEntry> materials;
    std::deque<ObjectEntry> objects;
    std::deque<InstanceEntry> instances;
    std::deque<DataEntry> data;
    std::deque<ImageEntry> images;
    std::deque<LightEntry> lights;
    std::deque<StringEntry> strings;
    std::deque<LightProfile> profiles;
    std::vector<Tag> light_instances;  // global light list
    // Model files read for the scene, by path (import.cpp).
    std::map<std::string, std::shared_ptr<ImportedModel>> models;
    int has_sky = -1;  // a light is a sky (prepare_lights); -1 not known yet
    // No light takes more samples per zo_sample_light loop (prepare_lights):
    // a loop's closing call that has counted as many answers at once.
    int most_light_samples = INT32_MAX;
    // The light of each tag below light_tag_count, null for tags of other
    // items, as light_entry (trace.h) finds it in the database: filled by
    // prepare_lights; tags added later take the database.
    std::vector<const LightEntry *> light_table;
    // light_table's data and size, kept as light_entry reads them on every
    // light sample (read through the vector they cost 2 M more instructions
    // on the peer render)
    const LightEntry *const *light_tags = nullptr;
    uint32_t light_tag_count = 0;

    CameraSetup camera;
    zoOptions options{};
    PhotonOptions photon_options;
    std::shared_ptr<PhotonMaps> photons;  // after the photon pass, when it ran
    std::string output_file;
    std::vector<FrameBuffer> framebuffers;  // by index; type -1 where undeclared
    ImageVector<Color> color;               // the colour image, bottom row first
    zoImage color_image{};

    zoLock global_lock = nullptr;
    int threads = 1;
    std::vector<std::unique_ptr<ThreadContext>> contexts;
    std::atomic<bool> aborted{false};
    std::atomic<int> errors{0};
    OutputSetup out;
    std::atomic<int> buckets_done{0};  // buckets rendered to the end
    int buckets = 0;

    // Memory accounting.
    std::atomic<long> mem_blocks{0}, mem_allocations{0}, mem_releases{0};
    std::atomic<long long> mem_bytes{0};
    bool mem_tracking = false;
    std::mutex mem_mutex;
    std::map<void *, std::pair<std::string, int>> mem_live;  // tracked blocks

    // Embree
    void *rtc_device = nullptr;
    void *rtc_scene = nullptr;
    std::vector<InstanceEntry *> geom_instance;  // by instance geometry id
    // By the same id: 1 where the material has no shadow shader, so that
    // the surface stops a shadow ray whatever else lies on it.
    std::vector<uint8_t> geom_opaque;
    bool all_opaque = false;  // no surface has a shadow shader
    // By the same id: 1 where the geometry is an exact sphere, whose hits
    // are turned into facet hits; any_exact tells whether there is one.
    std::vector<uint8_t> geom_exact;
    bool any_exact = false;

    Tag add_db(int type, void *record, int size, const std::string &name);
    // Bounds by address (no division by the item size): items are looked
    // up in every host call.
    const DbItem *item(Tag tag) const {
        const DbItem *first = db.data();
        const uintptr_t at =
            reinterpret_cast<uintptr_t>(first) + static_cast<uintptr_t>(tag) * sizeof(DbItem);
        return tag > 0 && at < reinterpret_cast<uintptr_t>(first + db.size()) ? first + tag
                                                                              : nullptr;
    }
    DbItem *item(Tag tag) {
        return const_cast<DbItem *>(static_cast<const Session *>(this)->item(tag));
    }

    ~Session();
};

// The session of the render in progress, or null (read inline at every
// host call).
extern Session *g_session;
inline Session *session() {
    return g_session;
}
void set_session(Session *s);

// The calling thread's context (context 0 outside the render threads).
// Read at every host call: the slot is initial-exec thread-local storage,
// read inline.
extern __thread ThreadContext *tl_context __attribute__((tls_model("initial-exec")));
ThreadContext *fallback_thread_context();
inline ThreadContext *thread_context() {
    ThreadContext *ctx = tl_context;
    return ctx ? ctx : fallback_thread_context();
}
void set_thread_context(ThreadContext *ctx);

// Messages to standard error with severity, filtered by the verbosity.
void message(int severity, const char *text);
void messagef(int severity, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Scene loading (scene_load.cpp): fills the session from the scene file;
// throws Error.
void load_scene(Session &s, const std::string &path);
// Loads the shader library (the path chosen by the settings and the scene).
void load_libraries(Session &s, const std::vector<std::string> &scene_libraries);

// Runtime (runtime.cpp).
// Runs shader `tag` as `call_type` with the state's shader record and call
// type set for the call and given back after it. Inline: shaders call
// shaders several times per sample; a tag is one look-up in the session's
// shader table.
zoBoolean call_unbound_shader(Session *s, void *result, int call_type, RenderState *state, Tag tag,
                              void *arg);
inline zoBoolean call_shader(void *result, int call_type, RenderState *state, Tag tag, void *arg) {
    Session *s = g_session;
    if (!s || !state) return 0;
    if (__builtin_expect(tag >= s->shader_call_count, 0))
        return call_unbound_shader(s, result, call_type, state, tag, arg);
    const Session::ShaderCall &c = s->shader_calls[tag];
    if (!c.fn) return 0;
    zoShaderRecord *saved_shader = state->shader;
    const int saved_type = state->call_type;
    state->shader = &c.record->rec;
    state->call_type = call_type;
    const zoBoolean ok = c.fn(result, state, c.record->rec.params, arg);
    state->shader = saved_shader;
    state->call_type = saved_type;
    return ok;
}
// Fills the session's shader table from the database (before rendering,
// once every shader instance is bound to its function).
void bind_shader_calls(Session &s);
void init_shaders(Session &s, RenderState *state);
void exit_shaders(Session &s, RenderState *state);
void report_memory(Session &s);
void *state_alloc(size_t size);

// Object meshes for the bake lens (bake.cpp): fills the object's mesh
// record from its mesh and record and makes it the object's database entry.
void build_mesh_record(Session &s, ObjectEntry &o);

// Rendering (render.cpp).
void build_geometry(Session &s);
void release_geometry(Session &s);
std::string embree_version();  // of the library loaded
void make_state(Session &s, RenderState &state, ThreadContext *ctx);
bool render(Session &s);  // false when the render was aborted
void run_output_shaders(Session &s);
bool write_images(Session &s);
// `unit`, when given, is *dir normalized as trace_eye would normalize it.
zoBoolean trace_eye(Color *result, RenderState *state, const Vector3 *org, const Vector3 *dir,
                    const Vector3 *unit = nullptr);
zoBoolean run_material(Color *result, RenderState *state, int slot, int call_type);
// Fills the hit fields of `state` from the first surface along its ray
// between tnear and tfar without shading it; false, and the hit fields
// cleared, when the ray hits nothing.
bool find_hit(RenderState *state, float tnear, float tfar);
void camera_to_raster(const Session &s, const Vector3 &pc, Vector3 *raster);

// The hit triangle of a state: its instance entry and vertex indices.
inline const InstanceEntry *hit_instance(const RenderState *state, const uint32_t **vertices) {
    Session *s = session();
    const DbItem *item = s && state && state->pri ? s->item(state->instance) : nullptr;
    if (!item || item->type != ZO_DB_INSTANCE || !item->object_instance) return nullptr;
    const InstanceEntry *inst = static_cast<const InstanceEntry *>(item->owner);
    const Mesh &m = inst->object->mesh;
    // The triangle lies in the mesh (compared without dividing by three).
    if (state->pri_index < 0 || 3 * static_cast<size_t>(state->pri_index) + 3 > m.tri.size())
        return nullptr;
    if (vertices) *vertices = &m.tri[3 * state->pri_index];
    return inst;
}
// Vertex `k` of an instance's mesh placed in the world: its position and
// its unit normal (the zero vector when the mesh has no normals).
Vector3 world_point(const InstanceEntry &inst, uint32_t k);
Vector3 world_normal(const InstanceEntry &inst, uint32_t k);
// dP/du and dP/dv (world space) of triangle `prim` from texture space `space`.
bool triangle_tangents(const InstanceEntry &inst, int prim, int space, Vector3 *dpdu,
                       Vector3 *dpdv);
// The world-space ray through raster position (x, y).
void eye_ray(const Session &s, float x, float y, Vector3 *org, Vector3 *dir);

// Ray tracing, lights and the other shading services (trace.cpp,
// services.cpp).
void prepare_lights(Session &s);
void build_light_lists(Session &s);

// Quasi-Monte Carlo points (services.cpp): point `index` of a stratified,
// scrambled set of `count` points in `dims` (1..8) dimensions, each value
// in [0, 1). The scramble words follow from the sample and the state
// (sample_scramble), so that every pixel and sample draws its own set,
// the same on every run.
void qmc_point(double *out, int dims, int index, int count, uint32_t scramble);
uint32_t sample_scramble(const RenderState *state, uint32_t salt);
// A 32-bit integer hash (inline: every sample hashes its pixel and number).
inline uint32_t hash32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// Image files (image_io.cpp). read_image gives RGBA floats in `pixels`;
// read_texture keeps the file's component type and, with filter > 0,
// builds the pyramid (textures.cpp).
bool read_image(const std::string &path, ImageEntry &out, std::string &error);
// The shader library and declaration folders korrender uses when the scene and
// the command line name none (paths.cpp).
std::string default_library_path();
std::vector<std::string> default_shader_dirs();
// The folder libkorhost was loaded from (paths.cpp).
std::string host_dir();
// The folder of a file path ("." for a bare name), and `path` relative to
// `dir` unless it is absolute.
inline std::string dir_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}
inline std::string join_path(const std::string &dir, const std::string &path) {
    if (path.empty() || path[0] == '/') return path;
    return dir + "/" + path;
}
// `colorspace` names the encoding of an 8- or 16-bit file's colour values
// (sRGB, Rec709, GammaN, "linear" or "raw" for values as stored, or an
// OpenColorIO name, which loads the image module);
// empty: what the file names, sRGB for 8-bit files that name none. Encoded
// colour is decoded to linear 16-bit texels.
bool read_texture(const std::string &path, float filter, ImageEntry &out, std::string &error,
                  const std::string &colorspace = "");
bool write_image(const std::string &path, int width, int height, int channels,
                 const float *pixels_bottom_up, bool integer, std::string &error);

// One image plane of an output: the full image, bottom row first.
struct Plane {
    enum Kind { kColour, kData, kInteger };
    std::string name;  // the layer name in a layered file ("" for the beauty image)
    int channels = 4;
    const float *pixels = nullptr;
    Kind kind = kColour;
};
// The region of the full width x height image that a file holds; x, y from
// the top left.
struct Region {
    int width = 0, height = 0;
    int x = 0, y = 0, w = 0, h = 0;
};
// Writes the planes into one file: the region only (an EXR keeps the full
// image as its display window), colour planes in 8- and 16-bit formats
// encoded to `out.colorspace` and unpremultiplied, float formats linear.
bool write_planes(const std::string &path, const OutputSetup &out, const Region &region,
                  const std::vector<Plane> &planes, std::string &error);
// Why `path` cannot be written with this setup (folder, format, depth,
// colour space), or "" when it can.
std::string output_problem(const std::string &path, const OutputSetup &out, bool layered);
// `path` with its last run of # replaced by the frame number, padded
// with zeros to the run's length ("beauty.####.exr" -> "beauty.0012.exr").
std::string substitute_frame(const std::string &path, int frame);
// Where a frame buffer's file goes (beside the output image, frame number
// substituted).
std::string framebuffer_path(const Session &s, const std::string &name);
// Checks the outputs named by the settings and the parsed scene before
// textures are read (cli.cpp); throws Error.
void check_outputs(Session &s, const json &root);
// Standard material map slots given by name ("maps": {"diffuse": ...})
// become the positional arrays (map_slots.cpp); throws Error.
void expand_named_maps(const Session &s, json &root);

// Matrices: row vectors, translation in elements 12..14.
void mat_identity(float *m);
void mat_mul(float *out, const float *a, const float *b);
bool mat_invert(float *out, const float *in);
// The transforms and vector helpers below run several times per ray: inline.
// A point goes by the four rows at once, each column summed in the same
// order as written out: x m0 + y m4 + z m8 + m12.
inline Vector3 xform_point(const float *m, const Vector3 &p) {
#ifdef __SSE__
    const __m128 r =
        _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(p.x), _mm_loadu_ps(m)),
                                         _mm_mul_ps(_mm_set1_ps(p.y), _mm_loadu_ps(m + 4))),
                              _mm_mul_ps(_mm_set1_ps(p.z), _mm_loadu_ps(m + 8))),
                   _mm_loadu_ps(m + 12));
    const __m128 w = _mm_shuffle_ps(r, r, _MM_SHUFFLE(3, 3, 3, 3));
    // w == 1 or w == +-0, by its bits (one test for the usual 1)
    uint32_t bits;
    memcpy(&bits, &w, 4);
    alignas(16) float v[4];
    if (bits == 0x3f800000u || (bits << 1) == 0)
        _mm_store_ps(v, r);
    else
        _mm_store_ps(v, _mm_div_ps(r, w));
    return {v[0], v[1], v[2]};
#else
    const float x = p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12];
    const float y = p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13];
    const float z = p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14];
    const float w = p.x * m[3] + p.y * m[7] + p.z * m[11] + m[15];
    if (w != 1.0f && w != 0.0f) return {x / w, y / w, z / w};
    return {x, y, z};
#endif
}
inline Vector3 xform_vector(const float *m, const Vector3 &v) {
#ifdef __SSE__
    const __m128 r = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(v.x), _mm_loadu_ps(m)),
                                           _mm_mul_ps(_mm_set1_ps(v.y), _mm_loadu_ps(m + 4))),
                                _mm_mul_ps(_mm_set1_ps(v.z), _mm_loadu_ps(m + 8)));
    alignas(16) float o[4];
    _mm_store_ps(o, r);
    return {o[0], o[1], o[2]};
#else
    return {v.x * m[0] + v.y * m[4] + v.z * m[8], v.x * m[1] + v.y * m[5] + v.z * m[9],
            v.x * m[2] + v.y * m[6] + v.z * m[10]};
#endif
}
// Normals go by the transpose of the inverse: n' = inverse * n (column).
inline Vector3 xform_normal(const float *inverse, const Vector3 &n) {
    return {n.x * inverse[0] + n.y * inverse[1] + n.z * inverse[2],
            n.x * inverse[4] + n.y * inverse[5] + n.z * inverse[6],
            n.x * inverse[8] + n.y * inverse[9] + n.z * inverse[10]};
}

inline Vector3 operator+(Vector3 a, Vector3 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vector3 operator-(Vector3 a, Vector3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vector3 operator*(Vector3 a, float k) {
    return {a.x * k, a.y * k, a.z * k};
}
inline float dot(Vector3 a, Vector3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vector3 cross(Vector3 a, Vector3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline Vector3 normalize(Vector3 v) {
    const float l = std::sqrt(dot(v, v));
    return l > 0 ? v * (1.0f / l) : v;
}

}  // namespace korhost
