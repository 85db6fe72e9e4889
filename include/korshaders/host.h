/*
 * korshaders host interface.
 *
 * The one contract between the korshaders shader library and any host
 * renderer that loads it: the shared value types, the per-sample shading
 * state, the host's camera, options, shader-instance and image records, the
 * numbered codes both sides agree on, and the prototypes of the host
 * functions the shaders call.
 *
 * The library never links against a host. It exports a forwarding function
 * for every host function named here (and for the rest of the host's
 * published function set), and resolves each one by name, on first use, in
 * the module handle that the host passes to zoSetModuleHandle.
 *
 * Stability: records only grow at their end and codes are never reused.
 * KOR_HOST_INTERFACE_VERSION changes whenever a record layout changes.
 */
#ifndef KORSHADERS_HOST_H
#define KORSHADERS_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_HOST_INTERFACE_VERSION 1

/* ------------------------------------------------------------------------ */
/* Value types                                                               */
/* ------------------------------------------------------------------------ */

/* Booleans crossing the interface are 32-bit integers. */
typedef int32_t zoBoolean;

/* Handle of an object in the host's scene database; 0 means none. */
typedef uint32_t Tag;

typedef struct Color {
    float r, g, b, a;
} Color;

typedef struct Vector3 {
    float x, y, z;
} Vector3;

typedef struct Vector2 {
    float u, v;
} Vector2;

/* 4x4 matrix, row-major, points are row vectors: p' = p * M, translation in
 * elements 12, 13, 14. */
typedef float zoMatrix[16];

/* Lock word: filled by zo_init_lock, emptied by zo_delete_lock. */
typedef struct zoLockImpl *zoLock;

/* ------------------------------------------------------------------------ */
/* Numbered codes                                                            */
/* ------------------------------------------------------------------------ */

/* Ray types (RenderState.type). */
enum {
    ZO_RAY_EYE = 0,
    ZO_RAY_TRANSPARENT = 1,
    ZO_RAY_REFLECT = 2,
    ZO_RAY_REFRACT = 3,
    ZO_RAY_LIGHT = 4,
    ZO_RAY_SHADOW = 5,
    ZO_RAY_ENVIRONMENT = 6,
    ZO_RAY_NONE = 7,
    ZO_PHOTON_ABSORB = 8,
    ZO_PHOTON_LIGHT = 9,
    ZO_PHOTON_REFLECT_SPECULAR = 10,
    ZO_PHOTON_REFLECT_GLOSSY = 11,
    ZO_PHOTON_REFLECT_DIFFUSE = 12,
    ZO_PHOTON_TRANSMIT_SPECULAR = 13,
    ZO_PHOTON_TRANSMIT_GLOSSY = 14,
    ZO_PHOTON_TRANSMIT_DIFFUSE = 15,
    ZO_RAY_DISPLACE = 16,
    ZO_RAY_OUTPUT = 17,
    ZO_PHOTON_SCATTER_VOLUME = 18,
    ZO_PHOTON_TRANSPARENT = 19,
    ZO_RAY_BUMP = 20,
    ZO_RAY_LIGHTMAP = 21,
    ZO_RAY_LIGHTMAP_END = 22,
    ZO_PHOTON_EMIT_GLOBILLUM = 23,
    ZO_PHOTON_EMIT_CAUSTIC = 24,
    ZO_RAY_FINALGATHER = 25,
    ZO_RAY_PROBE = 26,
    ZO_PHOTON_EMIT_VOLUME = 27
};

/* Call types (answer of query ZO_Q_CALL_TYPE). */
enum {
    ZO_CALL_LENS = 0,
    ZO_CALL_MATERIAL = 1,
    ZO_CALL_LIGHT = 2,
    ZO_CALL_SHADOW = 3,
    ZO_CALL_ENVIRONMENT = 4,
    ZO_CALL_VOLUME = 5,
    ZO_CALL_TEXTURE = 6,
    ZO_CALL_PHOTON = 7,
    ZO_CALL_GEOMETRY = 8,
    ZO_CALL_DISPLACE = 9,
    ZO_CALL_EMITTER = 10,
    ZO_CALL_OUTPUT = 11,
    ZO_CALL_RENDER_ELEMENT = 12,
    ZO_CALL_LIGHTMAP = 13,
    ZO_CALL_PHOTONVOL = 14,
    ZO_CALL_STATE = 15,
    ZO_CALL_CONTOUR = 16
};

/* Shader types for zo_call_shader_x / zo_call_shader. */
enum {
    ZO_SHADER_ENVIRONMENT = 2,
    ZO_SHADER_LIGHT = 4,
    ZO_SHADER_VOLUME_MARCH = 5,
    ZO_SHADER_MAP = 6,
    ZO_SHADER_DISPLACE = 9,
    ZO_SHADER_RENDER_ELEMENT = 12
};

/* Database types (zo_db_type). */
enum {
    ZO_DB_NONE = 0,
    ZO_DB_FUNCTION = 1,
    ZO_DB_MATERIAL_PHENOMENON = 2,
    ZO_DB_MATERIAL = 3,
    ZO_DB_INSTANCE = 4,
    ZO_DB_OBJECT = 5,
    ZO_DB_LIGHT = 6,
    ZO_DB_CAMERA = 7,
    ZO_DB_OPTIONS = 8,
    ZO_DB_USERDATA = 9,
    ZO_DB_STRING = 10,
    ZO_DB_FUNCTION_DECL = 11,
    ZO_DB_TEXTURE = 12,
    ZO_DB_IMAGE = 13
};

/* Query codes (zo_query). The result pointer type is given per code. */
enum {
    ZO_Q_LIGHT_INSTANCE_RECORD = 5, /* const zoLightRecord** of the state's light */
    ZO_Q_LIGHT_INSTANCE = 7,        /* Tag: the light's instance (tag = light or 0) */
    ZO_Q_INSTANCE_NAME = 8,         /* Tag: identity of instance `tag` (its own tag) */
    ZO_Q_EXTRA_15 = 15,             /* takes a fifth argument word */
    ZO_Q_LIGHT_SHADER = 29,         /* Tag: shader of light `tag` */
    ZO_Q_LIGHT_ORIGIN = 31,         /* Vector3: origin of light `tag` in its own light space,
                                       as zoLightRecord.origin; zo_point_from_light with
                                       state->light_instance set to the light turns it into
                                       internal space */
    ZO_Q_MTL_SHADER = 43,           /* Tag: material `tag`'s material shader */
    ZO_Q_MTL_DISPLACE = 44,
    ZO_Q_MTL_SHADOW = 45,
    ZO_Q_MTL_VOLUME = 46,
    ZO_Q_MTL_ENVIRONMENT = 47,
    ZO_Q_MTL_CONTOUR = 48,
    ZO_Q_MTL_PHOTON = 49,
    ZO_Q_MTL_PHOTONVOL = 50,
    ZO_Q_FUNC_USERPTR = 51,          /* void**: address of the instance's user-pointer slot */
    ZO_Q_FUNC_NAME = 63,             /* const char*: name of the running shader */
    ZO_Q_NUM_GLOBAL_LIGHTS = 70,     /* int */
    ZO_Q_GLOBAL_LIGHTS = 71,         /* const Tag* */
    ZO_Q_TRANS_INTERNAL_TO_CAMERA = 76, /* const float*: camera matrix (16 floats) */
    ZO_Q_NUM_TEXTURES = 82,          /* int: texture spaces of the current object */
    ZO_Q_INST_FLAGS = 90,            /* int */
    ZO_Q_INST_VISIBILITY = 92,       /* int: bit 0 reflection, bit 4 refraction */
    ZO_Q_OBJ_BBOX_MIN = 94,          /* Vector3 */
    ZO_Q_OBJ_BBOX_MAX = 95,          /* Vector3 */
    ZO_Q_INST_ID = 101,              /* int: object id of instance `tag` */
    ZO_Q_INST_DATA = 102,            /* Tag: user-data tag (node data) of instance `tag`; with
                                        tag 0, the light-list item of the state's instance */
    ZO_Q_DATA_PARAM = 105,           /* void*: data block of user-data `tag` */
    ZO_Q_DATA_SIZE = 109,            /* int: byte size of user-data `tag` */
    ZO_Q_OBJ_DATA = 114,             /* Tag: user-data tag of the current object */
    ZO_Q_EYE_RAY = 118,              /* zoRay: the eye ray of the sample */
    ZO_Q_FUNC_TLS_GET = 124,         /* void*: the thread's pointer for the instance */
    ZO_Q_FUNC_TLS_SET = 126,         /* void**: address of the pointer to store as the thread's */
    ZO_Q_FUNC_TLS_GETALL = 127,      /* void***: all thread pointers; fifth arg int* count */
    ZO_Q_LIGHTPROFILE_PHI_MIN = 128,
    ZO_Q_LIGHTPROFILE_PHI_MAX = 129,
    ZO_Q_LIGHTPROFILE_THETA_MIN = 130,
    ZO_Q_LIGHTPROFILE_THETA_MAX = 131,
    ZO_Q_FUNC_CALLTYPE = 140,        /* int: call type of the call in progress */
    ZO_Q_BUMP_STATE = 142,           /* int */
    ZO_Q_MTL_LIGHTMAP = 146,         /* Tag */
    ZO_Q_PRI_DATA = 154,             /* zoFaceData */
    ZO_Q_PRI_LABEL = 159,            /* int: identity of the hit face (the reference host:
                                        its triangle's index in the object) */
    ZO_Q_RENDER_FLAGS = 161          /* int */
};

/* Shader-state lifetimes. */
enum { ZO_SHADERSTATE_SAMPLE = 1, ZO_SHADERSTATE_RAY_TREE = 2 };

/* Codes of zo_tri_vectors. */
enum {
    ZO_TRI_TANGENTS = 42,  /* '*' tangent vectors, sets 0 and 1 */
    ZO_TRI_MOTION = 109,   /* 'm' object-space vertex motion vectors (the state's
                              `motion` is the point's, in internal space) */
    ZO_TRI_NORMALS = 110,  /* 'n' object-space vertex normals */
    ZO_TRI_POSITION = 112, /* 'p' object-space vertex positions */
    ZO_TRI_TEXTURE = 116   /* 't' texture-space vertices of a channel */
};

/* Shadow modes (zoOptions.shadow). */
enum { ZO_SHADOW_OFF = 0, ZO_SHADOW_ON = 1, ZO_SHADOW_SORTED = 'l', ZO_SHADOW_SEGMENTS = 's' };

/* Frame buffer value types. */
enum {
    ZO_FB_COLOR = 0, /* Color */
    ZO_FB_SCALAR = 1, /* float */
    ZO_FB_VECTOR = 2, /* Vector3 */
    ZO_FB_INTEGER = 3 /* int32 */
};

/* ------------------------------------------------------------------------ */
/* Host records                                                              */
/* ------------------------------------------------------------------------ */

typedef struct zoCamera {
    zoBoolean orthographic;
    float focal;         /* focal distance */
    float aperture;      /* film width in camera units */
    float aspect;        /* image aspect x/y */
    int32_t x_resolution;
    int32_t y_resolution;
    float x_offset;      /* image window offset in pixels */
    float y_offset;
    float clip_near;
    float clip_far;
    Tag output;          /* output shader list */
    Tag lens;            /* lens shader list */
    Tag environment;     /* camera environment shader */
    Tag volume;          /* camera volume shader */
    int32_t frame;
    float frame_time;
    int32_t reserved[8];
} zoCamera;

typedef struct zoOptions {
    Tag userdata;         /* scene data record (user data) */
    char shadow;          /* ZO_SHADOW_* */
    char render_mode;     /* 'r' enables opacity reporting and secondary rules */
    char trace;           /* ray tracing on */
    char unshadowed;      /* lights report their unshadowed light (shadow-free passes) */
    int32_t reflection_depth;
    int32_t refraction_depth;
    int32_t trace_depth;
    int32_t shadow_depth;
    int32_t finalgather_rays; /* 0: final gathering off */
    int32_t samples;          /* eye samples per pixel */
    int32_t filter;           /* texture filtering: 0 nearest, 1 bilinear, 2 pyramid */
    float gamma;
    int32_t split_depth;      /* D: from reflection + refraction level 5 - D on, a dielectric
                                 traces one of its two rays (0: from level 4) */
    float contrast[4];        /* per-channel contrast that adaptive sampling refines beyond */
    int32_t reserved[3];
} zoOptions;

/* The contour pass. After the frame is sampled the host compares
 * neighbouring pixels and draws lines where they differ. Its three kinds
 * of shader have their own argument orders:
 *   store    (void *record, int *size, RenderState *state, const Color *color)
 *            at the eye ray's hit of a pixel's sample, with the colour the
 *            hit was shaded to; writes at most ZO_CONTOUR_RECORD_MAX bytes
 *            into record and their number into *size;
 *   contrast (void *a, void *b, RenderState *state, void *params)
 *            for two neighbouring pixels' records (null where a pixel's
 *            sample hit nothing); true: a line runs between them;
 *   contour  (zoContourOutput *out, zoContourInfo *near, zoContourInfo *far,
 *            RenderState *state, void *params)
 *            the contour slot of the nearer sample's material, with the
 *            state of that sample's hit; sets the line's look, false: no
 *            line. zo_call_contour_material runs the contour slot of the
 *            state's material with the same arguments. */
#define ZO_CONTOUR_RECORD_MAX 1024

typedef struct zoContourInfo {
    void *record;     /* the store shader's record; null: the sample hit nothing */
    int32_t size;     /* its size in bytes */
    float raster_x;   /* the sample's raster position (y = 0 the bottom row) */
    float raster_y;
    float depth;      /* distance of the hit along the eye ray; 0 without a hit */
    Tag instance;     /* the hit instance and its material; 0 without a hit */
    Tag material;
} zoContourInfo;

typedef struct zoContourOutput {
    Color color;  /* line colour, alpha its opacity; prepared from the camera's setting */
    float width;  /* line width, prepared likewise; in pixels, or as a fraction of the
                     image width when the camera asks for that */
} zoContourOutput;

/* The host's record of a shader instance being run. */
typedef struct zoShaderRecord {
    Tag tag;               /* the instance */
    Tag declaration;       /* its declaration */
    int32_t ghost_offset;  /* bytes from a parameter to its connection word; 0: none */
    int32_t param_size;    /* size of the parameter record */
    void *params;          /* the parameter record */
    const char *name;      /* the declared shader name */
} zoShaderRecord;

typedef struct RenderState RenderState;

struct RenderState {
    /* global */
    int32_t version;        /* KOR_HOST_INTERFACE_VERSION */
    Tag camera_inst;
    zoCamera *camera;
    zoOptions *options;
    zoLock global_lock;
    int32_t thread;         /* render thread index, 0..threads-1 */
    int32_t pad0;

    /* the sample */
    float raster_x, raster_y;
    float time;
    int32_t sample_index;

    /* the ray tree */
    RenderState *parent;
    RenderState *child;
    int32_t type;               /* ZO_RAY_* */
    int32_t call_type;          /* ZO_CALL_* of the call in progress */
    int32_t scanline;
    int32_t inv_normal;         /* the ray hit the back side; normals were flipped (never on
                                   shadow states, ZO_RAY_SHADOW, whose normals keep the
                                   blocker's own facing) */
    int32_t reflection_level;
    int32_t refraction_level;
    int32_t trace_depth;        /* ray-depth counter: rays traced so far along this path */
    int32_t secondary;          /* not an eye ray hit */
    int32_t march;              /* 1 in every state the host makes; a volume shader zeroes
                                   it while its lights march, and the light states made
                                   meanwhile inherit the 0 */
    int32_t pad1;

    /* the ray and its hit */
    Vector3 org;
    Vector3 dir;                /* shadow states: from the light towards the point, or in
                                   segment mode from the point towards the light */
    double dist;                /* hit distance; 0 for no hit */
    Vector3 point;
    Vector3 normal;             /* shading normal, faces the ray origin (but on shadow states) */
    Vector3 normal_geom;        /* geometric normal, likewise */
    float dot_nd;               /* normal . dir */
    float bary[4];              /* barycentric weights of the triangle's vertices */
    Vector3 *tex_list;          /* texture coordinates, one per texture space */
    int32_t tex_count;
    int32_t pri_index;          /* triangle index in its object */
    void *pri;                  /* non-empty when a primitive was hit */
    Vector3 motion;             /* motion vector of the point */
    Vector3 derivs[5];          /* dP/du, dP/dv, d2P/du2, d2P/dv2, d2P/dudv */
    double shadow_tol;

    /* scene objects */
    Tag instance;               /* instance hit */
    Tag light_instance;         /* light being sampled */
    Tag material;               /* material of the hit */
    Tag volume;                 /* volume shader applying to the ray */
    Tag environment;            /* environment shader */
    Tag refraction_volume;      /* volume inside the object */
    Tag probe;                  /* probe-ray object restriction */
    int32_t label;              /* label of the instance hit */
    int32_t object_id;          /* object id of the instance hit */
    float ior;                  /* index of refraction the ray enters */
    float ior_in;               /* index of refraction of the medium it comes from */
    int32_t pad2;

    /* shaders */
    zoShaderRecord *shader;     /* the shader being run */
    void *user;                 /* user-data pointer handed down the ray tree */
    int32_t user_size;
    int32_t pad3;
    void *host;                 /* host-private per-sample data */
    void *reserved[8];
};

/* An image in the host's database (type ZO_DB_IMAGE), and frame buffers
 * opened by output shaders. */
typedef struct zoImage {
    int32_t magic;
    int32_t width, height;
    int32_t bits;              /* bits per component: 8, 16 or 32 (float) */
    int32_t comp;              /* components per pixel: 1, 3 or 4 */
    int32_t type;              /* ZO_IMG_TYPE_* */
    float filter;              /* >0: the image carries its own pyramid */
    int32_t levels;            /* pyramid levels including level 0 */
    float gamma;
    int32_t pad0;
    void *data;                /* host-private pixel storage */
    void *host;                /* host-private */
} zoImage;

enum {
    ZO_IMG_TYPE_RGBA = 0,
    ZO_IMG_TYPE_RGBA_16 = 1,
    ZO_IMG_TYPE_RGB = 2,
    ZO_IMG_TYPE_RGB_16 = 3,
    ZO_IMG_TYPE_A = 4,
    ZO_IMG_TYPE_A_16 = 5,
    ZO_IMG_TYPE_S = 6,
    ZO_IMG_TYPE_S_16 = 7,
    ZO_IMG_TYPE_VTA = 8,
    ZO_IMG_TYPE_VTS = 9,
    ZO_IMG_TYPE_Z = 10,
    ZO_IMG_TYPE_N = 11,
    ZO_IMG_TYPE_TAG = 12,
    ZO_IMG_TYPE_RGBA_FP = 13,
    ZO_IMG_TYPE_M = 14,
    ZO_IMG_TYPE_COVERAGE = 15,
    ZO_IMG_TYPE_RGB_FP = 16,
    ZO_IMG_TYPE_S_FP = 17
};

/* Per-face data of the hit triangle (query ZO_Q_PRI_DATA). */
typedef struct zoFaceData {
    int32_t columns;            /* number of columns */
    const int32_t *column_index;/* per column: index into words, -1 absent */
    const int32_t *words;       /* the face's words */
} zoFaceData;

/* A light as the host keeps it (query ZO_Q_LIGHT_INSTANCE_RECORD). */
typedef struct zoLightRecord {
    Tag shader;
    Tag instance;
    int32_t type;               /* 0 point, 1 directional, 2 spot */
    int32_t area;               /* 0 none, 1 rectangle, 2 disc, 3 sphere, 4 cylinder */
    Vector3 origin;             /* light space */
    Vector3 direction;          /* light space */
    Vector3 edge_u, edge_v;     /* rectangle edges; disc/sphere/cylinder: radius in edge_u.x */
    int32_t samples_u, samples_v;
    float spread;               /* spot cone cosine */
    int32_t shadow;             /* casts shadows */
    int32_t id;                 /* light identifier */
    int32_t pad0;
} zoLightRecord;

/* An instance as the host keeps it (zo_db_access of an instance tag). */
typedef struct zoInstanceRecord {
    Tag item;                   /* the object, light or camera placed */
    Tag userdata;               /* node data of the instance, or 0 */
    Tag material;               /* the instance's material, or 0 */
    int32_t label;
    int32_t id;                 /* instance (for lights: light) identifier */
    int32_t flags;              /* ZO_Q_INST_FLAGS */
    int32_t visibility;         /* ZO_Q_INST_VISIBILITY */
    int32_t pad0;
    zoMatrix to_world;          /* object space to world space */
    zoMatrix from_world;
} zoInstanceRecord;

/* An object as the host keeps it (zo_db_access of an object tag). */
typedef struct zoObjectRecord {
    Tag userdata;               /* object data, or 0 */
    int32_t label;
    int32_t texture_spaces;
    int32_t triangles;
    Vector3 bbox_min, bbox_max; /* object space */
} zoObjectRecord;

typedef struct zoRay {
    Vector3 org;
    Vector3 dir;
} zoRay;

/* ------------------------------------------------------------------------ */
/* Object meshes (render to texture)                                         */
/* ------------------------------------------------------------------------ */

/* An object whose database type is ZO_DB_MESH holds a triangle mesh in box
 * form: zo_db_access of the object's tag gives a zoMeshRecord, whose first
 * member is the object's own zoObjectRecord (so every reader of object
 * records reads it unchanged). Shaders that walk an object's triangles
 * themselves (the bake lens builds a grid over an object's UVs) read it
 * through the instance: zo_db_access(instance)->item is the object.
 *
 * Vertices are interleaved floats, `vertex_stride` per vertex: the object-
 * space position at 0, the object-space normal at `normal_offset` (0 when the
 * mesh has no vertex normals), texture space k at texture_offset + 3k (three
 * floats each; `texture_components[k]` of them carry values: 2 for UV, 3 for
 * UVW, the rest are 0). Triangles are three vertex indices each, listed in
 * `indices`; triangle t starts at indices[3t]. The arrays live as long as
 * the scene. */
enum { ZO_DB_MESH = 14 };
/* A light profile (photometric web) read by the host; its tag is what
 * zo_lightprofile_value and queries 128 to 131 take. */
enum { ZO_DB_LIGHTPROFILE = 15 };

#define ZO_MESH_MAX_TEXTURE_SPACES 16

typedef struct zoMeshRecord {
    zoObjectRecord object;  /* as for a ZO_DB_OBJECT */
    int32_t vertex_count;
    int32_t vertex_stride;  /* floats per vertex */
    int32_t normal_offset;  /* float position of the vertex normal; 0: none */
    int32_t texture_offset; /* float position of texture space 0 */
    int32_t texture_spaces; /* at most ZO_MESH_MAX_TEXTURE_SPACES */
    int32_t index_count;    /* three per triangle */
    int32_t texture_components[ZO_MESH_MAX_TEXTURE_SPACES];
    const float *vertices;   /* vertex_count * vertex_stride floats */
    const uint32_t *indices; /* index_count vertex indices */
} zoMeshRecord;

/* ------------------------------------------------------------------------ */
/* Host functions called by the shaders                                      */
/* ------------------------------------------------------------------------ */

/* Messages: printf-style. The library expands the text itself and hands
 * the host a finished text in which every '%' is doubled. */
void zo_fatal(const char *format, ...);
void zo_nfatal(int number, const char *format, ...);
void zo_error(const char *format, ...);
void zo_nerror(int number, const char *format, ...);
void zo_warning(const char *format, ...);
void zo_nwarning(int number, const char *format, ...);
void zo_info(const char *format, ...);
void zo_progress(const char *format, ...);
void zo_debug(const char *format, ...);
void zo_vdebug(const char *format, ...);

/* Queries. Codes 15 and 127 take a fifth argument. */
zoBoolean zo_query(int code, RenderState *state, Tag tag, void *result, ...);

/* Scene database. */
int zo_db_type(Tag tag);
void *zo_db_access(Tag tag);
void zo_db_unpin(Tag tag);
int zo_db_size(Tag tag);
/* An instance of an object of that name first, then a light's instance, then
 * the one item of another type; 0 (reported) when two items of one rank
 * share the name. */
Tag zo_api_name_lookup(char *name);
void *zo_scene_create(void *first, int type, ...);

/* Memory: blocks are zero-filled; module is the caller's source module. */
void *zo_mem_int_allocate(const char *module, int line, int size);
void *zo_mem_int_reallocate(const char *module, int line, void *block, int size);
void zo_mem_int_release(const char *module, int line, void *block);
char *zo_mem_int_strdup(const char *module, int line, const char *text);

/* Locks. */
void zo_init_lock(zoLock *lock);
void zo_delete_lock(zoLock *lock);
void zo_lock(zoLock lock);
void zo_unlock(zoLock lock);
zoBoolean zo_trylock(zoLock lock);
int zo_par_nthreads(void);

/* Shader calls and shader state. */
zoBoolean zo_call_shader(void *result, int type, RenderState *state, Tag shader);
zoBoolean zo_call_shader_x(void *result, int type, RenderState *state, Tag shader, void *arg);
zoBoolean zo_call_material(Color *result, RenderState *state);
zoBoolean zo_call_shadow_material(Color *result, RenderState *state);
zoBoolean zo_call_environment_material(Color *result, RenderState *state);
zoBoolean zo_call_volume_material(Color *result, RenderState *state);
zoBoolean zo_call_photon_material(Color *result, RenderState *state);
zoBoolean zo_call_photonvol_material(Color *result, RenderState *state);
zoBoolean zo_call_contour_material(void *result, void *info_near, void *info_far,
                                   RenderState *state);
void *zo_phen_eval(RenderState *state, void *parameter);
zoBoolean zo_shaderstate_set(RenderState *state, const char *key, const void *value, int size,
                             int lifetime);
void *zo_shaderstate_get(RenderState *state, const char *key, int *size);

/* Ray tracing. zo_trace_eye returns true when the ray hit geometry; a ray
 * that hits nothing still brings back the environment's colour, and answers
 * false. While the shader state holds "KEY_2" (its first word a map's tag),
 * a ray that leaves the scene sees that map instead of the environment: the
 * map is called as an environment map calls its map (MapRequest {0, 2, 0},
 * normal and geometric normal facing back along the ray). */
zoBoolean zo_trace_eye(Color *result, RenderState *state, const Vector3 *origin,
                       const Vector3 *direction);
zoBoolean zo_trace_reflection(Color *result, RenderState *state, const Vector3 *direction);
zoBoolean zo_trace_refraction(Color *result, RenderState *state, const Vector3 *direction);
zoBoolean zo_trace_transparent(Color *result, RenderState *state);
zoBoolean zo_trace_continue(Color *result, RenderState *state);
zoBoolean zo_trace_environment(Color *result, RenderState *state, const Vector3 *direction);
zoBoolean zo_trace_probe(RenderState *state, const Vector3 *direction, const Vector3 *origin);
zoBoolean zo_trace_shadow(Color *result, RenderState *state);
zoBoolean zo_trace_shadow_seg(Color *result, RenderState *state);
/* Swaps the ray falloff range: sets (*start, *stop), hands back the old pair.
 * While stop > 0, every ray traced in the sample (eye, secondary, probe)
 * ends at distance stop, and a shaded ray that reaches it sees the
 * environment; stop 0 leaves rays unlimited. */
void zo_ray_falloff(RenderState *state, double *start, double *stop);
/* The opacity of the surface being shaded, per channel. In render mode 'r'
 * the host composites each surface over what lies behind it by 1 - opacity
 * (by 1 - the result's alpha when the material set none) and
 * zo_trace_transparent answers black. */
void zo_opacity_set(RenderState *state, const Color *opacity);
zoBoolean zo_opacity_get(RenderState *state, Color *opacity);

/* Scattering directions (unit vectors into `dir`) and BRDF helpers. */
void zo_reflection_dir(Vector3 *dir, RenderState *state);
zoBoolean zo_refraction_dir(Vector3 *dir, RenderState *state, float ior_in, float ior_out);
void zo_reflection_dir_specular(Vector3 *dir, RenderState *state);
void zo_reflection_dir_diffuse(Vector3 *dir, RenderState *state);
void zo_reflection_dir_diffuse_x(Vector3 *dir, RenderState *state, const double sample[2]);
void zo_reflection_dir_glossy(Vector3 *dir, RenderState *state, float shiny);
void zo_reflection_dir_anisglossy(Vector3 *dir, RenderState *state, const Vector3 *u,
                                  const Vector3 *v, float shiny_u, float shiny_v);
zoBoolean zo_transmission_dir_specular(Vector3 *dir, RenderState *state, float ior_in,
                                       float ior_out);
void zo_transmission_dir_diffuse(Vector3 *dir, RenderState *state);
zoBoolean zo_transmission_dir_glossy(Vector3 *dir, RenderState *state, float ior_in,
                                     float ior_out, float shiny);
zoBoolean zo_transmission_dir_anisglossy(Vector3 *dir, RenderState *state, float ior_in,
                                         float ior_out, const Vector3 *u, const Vector3 *v,
                                         float shiny_u, float shiny_v);
void zo_scattering_dir_diffuse(Vector3 *dir, RenderState *state);
void zo_scattering_dir_directional(Vector3 *dir, RenderState *state, float g);
float zo_scattering_pathlength(RenderState *state, float density);
int zo_choose_scatter_type(RenderState *state, float transparency, const Color *diffuse,
                           const Color *glossy, const Color *specular);
/* Picks an interaction with the mean of each weight as its probability
 * (scaled to sum to 1 when the means sum to more) and divides the chosen
 * weight by its probability in place. */
int zo_choose_simple_scatter_type(RenderState *state, Color *reflect_diffuse,
                                  Color *reflect_specular, Color *transmit_diffuse,
                                  Color *transmit_specular);
int zo_choose_lobe(RenderState *state, float first_weight);
float zo_fresnel_reflection(RenderState *state, float ior_in, float ior_out);
float zo_phong_specular(float exponent, RenderState *state, const Vector3 *direction);
float zo_ward_glossy(const Vector3 *in, const Vector3 *out, const Vector3 *normal, float shiny);
float zo_ward_anisglossy(const Vector3 *in, const Vector3 *out, const Vector3 *normal,
                         const Vector3 *u, const Vector3 *v, float shiny_u, float shiny_v);
float zo_schlick_scatter(const Vector3 *direction, const Vector3 *light_direction, float g);
float zo_luminance(RenderState *state, const Color *color);

/* Lights. zo_sample_light is called in a loop until it returns false;
 * *samples starts at 0 and is counted by the host. */
zoBoolean zo_sample_light(Color *result, Vector3 *direction, float *dot_nl, RenderState *state,
                          Tag light_instance, int *samples);
zoBoolean zo_light_info(Tag light, Vector3 *origin, Vector3 *direction, void **record);
zoBoolean zo_global_lights_info(int *count, const Tag **lights);
zoBoolean zo_inclusive_lightlist(int *count, const Tag **lights, RenderState *state);
zoBoolean zo_exclusive_lightlist(int *count, const Tag **lights, RenderState *state);
zoBoolean zo_instance_lightlist(int *count, const Tag **lights, RenderState *state);
float zo_lightprofile_value(void *profile, float vertical, float horizontal,
                            const Vector3 *position, zoBoolean relative);
zoBoolean zo_photon_light(Color *energy, RenderState *state);

/* Sampling, random numbers and noise. */
zoBoolean zo_sample(double *sample, int *counter, RenderState *state, int dimension,
                    const int *samples);
double zo_random(void);
double zo_erandom(unsigned short seed[3]);
void zo_srandom(long seed);
float zo_noise_1d(float p);
float zo_noise_1d_grad(float p, float *gradient);
float zo_noise_2d(float u, float v);
float zo_noise_2d_grad(float u, float v, float *gradient_u, float *gradient_v);
float zo_noise_3d(const Vector3 *p);
float zo_noise_3d_grad(const Vector3 *p, Vector3 *gradient);
float zo_unoise_1d(float p);
float zo_unoise_1d_grad(float p, float *gradient);
float zo_unoise_2d(float u, float v);
float zo_unoise_2d_grad(float u, float v, float *gradient_u, float *gradient_v);
float zo_unoise_3d(const Vector3 *p);
float zo_unoise_3d_grad(const Vector3 *p, Vector3 *gradient);

/* Indirect light and photons. */
zoBoolean zo_compute_irradiance(Color *result, RenderState *state);
zoBoolean zo_compute_irradiance_backside(Color *result, RenderState *state);
zoBoolean zo_compute_volume_irradiance(Color *result, RenderState *state);
zoBoolean zo_compute_directional_irradiance(Color *result, RenderState *state, float blend,
                                            float g1, float g2);
zoBoolean zo_compute_avg_radiance(Color *result, RenderState *state, int face, void *buffer);
zoBoolean zo_ambient_occlusion(Color *result, RenderState *state);
void zo_store_photon(const Color *energy, RenderState *state);
void zo_store_volume_photon(const Color *energy, RenderState *state);
zoBoolean zo_photon_reflection_specular(Color *energy, RenderState *state, const Vector3 *dir);
zoBoolean zo_photon_reflection_glossy(Color *energy, RenderState *state, const Vector3 *dir);
zoBoolean zo_photon_reflection_diffuse(Color *energy, RenderState *state, const Vector3 *dir);
zoBoolean zo_photon_transmission_specular(Color *energy, RenderState *state, const Vector3 *dir);
zoBoolean zo_photon_transmission_glossy(Color *energy, RenderState *state, const Vector3 *dir);
zoBoolean zo_photon_transmission_diffuse(Color *energy, RenderState *state, const Vector3 *dir);
zoBoolean zo_photon_transparent(Color *energy, RenderState *state);
zoBoolean zo_photon_volume_scattering(Color *energy, RenderState *state);

/* Textures, images and frame buffers. A texture may be computed by a shader:
 * a lookup runs it (call type texture) with the lookup coordinate as its
 * fourth argument (const Vector3 *). Colour reads give one-component images
 * as grey (alpha 1), two-component ones as grey and alpha; the scalar and
 * vector reads give the components as stored. */
zoBoolean zo_lookup_color_texture(Color *result, RenderState *state, Tag texture,
                                  const Vector3 *coord);
zoBoolean zo_lookup_scalar_texture(float *result, RenderState *state, Tag texture,
                                   const Vector3 *coord);
zoBoolean zo_lookup_vector_texture(Vector3 *result, RenderState *state, Tag texture,
                                   const Vector3 *coord);
/* Filtered lookup: `st` maps the projected footprint (zo_texture_filter_project)
 * into texture space; `eccmax` limits anisotropy, `blur` scales the footprint. */
zoBoolean zo_lookup_filter_color_texture(Color *result, RenderState *state, Tag texture,
                                         float eccmax, float blur, const zoMatrix st);
zoBoolean zo_texture_filter_project(Vector3 p[3], Vector3 t[3], RenderState *state, float disc_r,
                                    int space);
zoBoolean zo_texture_interpolate(Vector3 *result, RenderState *state, int space);
int zo_img_get_width(const zoImage *image);
int zo_img_get_height(const zoImage *image);
void zo_img_get_color(const zoImage *image, Color *color, int x, int y);
void zo_img_put_color(zoImage *image, const Color *color, int x, int y);
void zo_img_get_scalar(const zoImage *image, float *value, int x, int y);
void zo_img_put_scalar(zoImage *image, float value, int x, int y);
void zo_img_get_vector(const zoImage *image, Vector2 *value, int x, int y);
zoImage *zo_img_pyramid_get_level(zoImage *image, int level);
zoImage *zo_lightmap_edit(void **handle, Tag texture);
void zo_lightmap_edit_end(void *handle);
zoBoolean zo_fb_put(RenderState *state, int buffer, const void *value);
zoBoolean zo_fb_get(RenderState *state, int buffer, void *value);
zoImage *zo_output_image_open(RenderState *state, int buffer);
void zo_output_image_close(RenderState *state, int buffer);

/* Spaces. Internal space is world space in the reference host. */
void zo_point_to_world(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_to_camera(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_to_object(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_to_light(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_to_raster(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_from_world(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_from_camera(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_from_object(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_from_light(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_vector_to_world(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_vector_to_camera(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_vector_to_object(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_vector_to_light(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_vector_from_world(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_vector_from_camera(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_vector_from_object(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_vector_from_light(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_normal_to_world(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_normal_to_camera(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_normal_to_object(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_normal_from_world(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_normal_from_camera(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_normal_from_object(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_point_transform(Vector3 *out, const Vector3 *in, const zoMatrix m);
void zo_vector_transform(Vector3 *out, const Vector3 *in, const zoMatrix m);
void zo_vector_transform_T(Vector3 *out, const Vector3 *in, const zoMatrix m);
void zo_matrix_ident(zoMatrix m);
void zo_matrix_prod(zoMatrix out, const zoMatrix a, const zoMatrix b);
zoBoolean zo_matrix_invert(zoMatrix out, const zoMatrix in);
/* Triangle vectors of the hit: `which` a ZO_TRI_* code, `set` the texture
 * space or tangent set; the three vertex vectors are returned in v[0..2]. */
zoBoolean zo_tri_vectors(RenderState *state, int which, int set, Vector3 v[3]);
/* Raster-space footprint of one pixel at the hit, in internal space. */
zoBoolean zo_raster_unit(RenderState *state, Vector3 *x, Vector3 *y);

/* ------------------------------------------------------------------------ */
/* Additions of the reference host                                           */
/* ------------------------------------------------------------------------ */

/* zo_output_image_open: buffer 0 is the rendered colour image, any other
 * number n user frame buffer n; ZO_OUTPUT_USER_FB(n) names user frame
 * buffer n, user frame buffer 0 included. */
#define ZO_OUTPUT_USER_FB(n) (1000 + (n))

/* zo_call_shader takes the call type the callee runs with (ZO_CALL_*);
 * zo_call_shader_x takes a shader type (ZO_SHADER_*), from which the call
 * type follows: map 6 -> texture 6, environment 2 -> environment 4,
 * light 4 -> light 2, volume march 5 -> volume 5, displacement 9 -> 9,
 * render element 12 -> 12. */

void zo_normal_to_light(Vector3 *out, RenderState *state, const Vector3 *in);
void zo_normal_from_light(Vector3 *out, RenderState *state, const Vector3 *in);

/* zo_photon_light emits one photon of energy *energy from state->org along
 * state->dir (internal space, unit length); a light shader sets both, and
 * state->ior and state->ior_in to 1.0, before the call.
 * zo_trace_shadow and zo_trace_shadow_seg receive in *result the colour that
 * leaves the light (the standard lights hand white) and bring it back
 * filtered by what lies between the light and state->point; false means the
 * light is blocked entirely. */

/* Secondary rays (zo_trace_reflection, _refraction, _transparent,
 * _continue, _environment) run as child states of the caller's state:
 * parent set, ray type, reflection_level / refraction_level and trace_depth
 * one higher (zo_trace_continue keeps the type and levels). A ray beyond
 * the options' reflection_depth, refraction_depth or trace_depth fails with
 * a black result. A ray that hits nothing brings back the environment's
 * colour and returns what the environment shader returned. With the
 * options' trace switch off, reflection and refraction look up the
 * environment instead. zo_trace_probe leaves its hit in state->child until
 * the eye sample ends.
 * zo_sample with `samples` gives sample *counter of a stratified set of
 * *samples points (false once the set is used up); without, one fresh
 * sample per call. Both are the same on every run for the same pixel,
 * sample and shading point.
 * zo_lookup_filter_color_texture: footprint point (x, y) maps to the
 * texture coordinate (x, y, 0, 1) * st; the footprint is the unit disc,
 * so st's row 3 is the centre and rows 0 and 1 the ellipse's axes. */

/* ------------------------------------------------------------------------ */
/* Light iterator (zo_get_shader_interface)                                  */
/* ------------------------------------------------------------------------ */

/* The host's light iterator walks a list of lights and, per light, its
 * samples (zo_sample_light underneath). The caller owns the iterator record
 * (on its stack: nothing is allocated); the host fills it.
 *
 *     const zoShaderInterface *host = zo_get_shader_interface();
 *     zoLightIterator it;
 *     host->light_iterator_create(&it, state, lights, count);
 *     while (host->light_iterator_next_light(&it)) {
 *         Color sum = {0, 0, 0, 0};
 *         while (host->light_iterator_next_sample(&it))
 *             sum.r += it.color.r * it.dot_nl;  ...
 *         if (it.samples > 0) sum.r /= it.samples;  ...
 *     }
 *     host->light_iterator_release(&it);
 *
 * A null list or a count of 0 walks the global lights
 * (zo_global_lights_info). Each next_sample that returns true sets
 * `color`, `direction` (unit, from the point towards the light) and
 * `dot_nl` (the state's normal with `direction`); `samples` counts the
 * samples of the current light taken so far, those that did not light the
 * point included, so that a sum divided by it is the light's mean. `light`
 * is the current light's instance. The state's point and normal are read
 * at each sample, so a caller may move them between samples. */
typedef struct zoLightIterator {
    RenderState *state;
    const Tag *lights;
    int32_t count;   /* lights in the list */
    int32_t index;   /* the current light (-1 before the first) */
    Tag light;       /* the current light's instance */
    int32_t samples; /* samples of the current light taken so far */
    Color color;     /* the last sample */
    Vector3 direction;
    float dot_nl;
    int32_t reserved[4];
} zoLightIterator;

#define ZO_SHADER_INTERFACE_VERSION 1

typedef struct zoShaderInterface {
    int32_t version; /* ZO_SHADER_INTERFACE_VERSION */
    int32_t size;    /* sizeof(zoShaderInterface) */
    /* Sets up `it` on `lights` (count entries; none: the global lights).
     * False without a state. */
    zoBoolean (*light_iterator_create)(zoLightIterator *it, RenderState *state,
                                       const Tag *lights, int count);
    /* Moves to the next light of the list; false past the last one. */
    zoBoolean (*light_iterator_next_light)(zoLightIterator *it);
    /* The next sample of the current light that lights the point; false
     * once the light's samples are used up. */
    zoBoolean (*light_iterator_next_sample)(zoLightIterator *it);
    /* Ends the walk; the record may be reused with create. */
    void (*light_iterator_release)(zoLightIterator *it);
} zoShaderInterface;

/* The host's table of iterator calls (never null in a host that has it). */
const zoShaderInterface *zo_get_shader_interface(void);

#ifdef __cplusplus
}
#endif

#endif /* KORSHADERS_HOST_H */
