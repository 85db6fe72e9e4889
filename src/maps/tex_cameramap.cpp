// kor_CameraMap: projects a map onto the surface from a camera. Points the
// camera does not see (turned too far away from it, or hidden behind what
// its depth image recorded) stay transparent.
#include <math.h>
#include <stddef.h>
#include <string.h>

#include "kor_context.h"
#include "kor_statekeys.h"
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "shader.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_cameramap";
constexpr float kDegrees = 0.017453292f;

struct CameraMapParams {
    Tag map;                  // the map to project
    zoMatrix worldTransform;  // internal space to world space
    zoMatrix cameraMatrix;    // world space to the projecting camera's space
    float fov;                // horizontal field of view, degrees
    zoBoolean angleThresholdOn;
    float angleThreshold;  // degrees
    Tag depthImage;        // distances in front of the camera (-z), one per pixel
    float depthTolerance;
    int32_t mapChannel;  // the map channel whose coordinates the projection replaces
    int32_t gbufferId;
};
static_assert(offsetof(CameraMapParams, fov) == 132, "camera map layout");

struct CameraMapInstance {
    Tag map;
    zoMatrix transform;    // internal space to camera space
    Vector3 cameraWorld;   // the camera's position in world space
    float angleThreshold;  // radians; negative: not in use
    float f;               // -0.5 / tan(fov / 2)
    float fAspect;         // f times the render camera's aspect
    float *depth;          // width * height values, row by row
    int32_t width, height;
    float tolerance;
    int32_t channel;
    ShadingContext context;
};

Vector3 pointTimes(const float *m, const Vector3 &p) {
    return Vector3{p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12],
                   p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13],
                   p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14]};
}

void matrixProduct(float *out, const float *a, const float *b) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            float s = 0.0f;
            for (int k = 0; k < 4; ++k) s += a[r * 4 + k] * b[k * 4 + c];
            out[r * 4 + c] = s;
        }
}

// The point that an affine matrix takes to the origin.
Vector3 preimageOfOrigin(const float *m) {
    const float a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9],
                i = m[10];
    const float det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    if (det == 0.0f) return kZero;
    // solve p * R = -t
    const Vector3 t = {-m[12], -m[13], -m[14]};
    const float inv[9] = {(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det,
                          (f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det,
                          (d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det};
    return Vector3{t.x * inv[0] + t.y * inv[3] + t.z * inv[6],
                   t.x * inv[1] + t.y * inv[4] + t.z * inv[7],
                   t.x * inv[2] + t.y * inv[5] + t.z * inv[8]};
}

CameraMapInstance *instanceOf(RenderState *state) {
    void **slot = user_slot(state);
    return slot ? static_cast<CameraMapInstance *>(*slot) : nullptr;
}

void destroyInstance(CameraMapInstance *inst) {
    if (!inst) return;
    contextRelease(&inst->context);
    if (inst->depth) zo_mem_int_release(kModule, __LINE__, inst->depth);
    zo_mem_int_release(kModule, __LINE__, inst);
}

}  // namespace

namespace kor {

// The projection of an internal-space point through the camera: x' =
// f x/z + 0.5 and y' = 1 - (f aspect y/z + 0.5) in camera space; z is
// handed back as well.
void cameraProject(const CameraMapInstance *inst, const Vector3 &point, float *x, float *y,
                   float *z) {
    const Vector3 q = pointTimes(inst->transform, point);
    *z = q.z;
    if (q.z == 0.0f) {
        *x = *y = -1.0f;
        return;
    }
    *x = inst->f * q.x / q.z + 0.5f;
    *y = 1.0f - (inst->fAspect * q.y / q.z + 0.5f);
}

// Whether the camera sees the point.
bool cameraSees(RenderState *state, const CameraMapInstance *inst) {
    if (inst->angleThreshold >= 0.0f) {
        Vector3 camera = inst->cameraWorld;
        zo_point_from_world(&camera, state, &inst->cameraWorld);
        const Vector3 toCamera = camera - state->point;
        const float len = length(toCamera);
        const float cosine = len > 0.0f ? dot(state->normal, toCamera) / len : 0.0f;
        const float angle = cosine == 0.0f ? 0.0f
                                           : acosf(cosine < -1.0f  ? -1.0f
                                                   : cosine > 1.0f ? 1.0f
                                                                   : cosine);
        if (angle > inst->angleThreshold) return false;
    }
    if (inst->depth) {
        float x, y, z;
        cameraProject(inst, state->point, &x, &y, &z);
        if (!(x >= 0.0f && x <= 1.0f && y >= 0.0f && y <= 1.0f)) return false;
        const int w = inst->width, h = inst->height;
        int px = static_cast<int>(x * w), py = static_cast<int>(y * h);
        px = px < 0 ? 0 : px >= w ? w - 1 : px;
        py = py < 0 ? 0 : py >= h ? h - 1 : py;
        const float distance = -z;
        if (fabsf(inst->depth[py * w + px] - distance) <= inst->tolerance) return true;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                int nx = px + dx, ny = py + dy;
                nx = nx < 0 ? 0 : nx >= w ? w - 1 : nx;
                ny = ny < 0 ? 0 : ny >= h ? h - 1 : ny;
                if (fabsf(inst->depth[ny * w + nx] - distance) <= inst->tolerance) return true;
            }
        return false;
    }
    return true;
}

}  // namespace kor

namespace {

// The texture triangle of the projected channel: the triangle's corners
// projected like the point.
zoBoolean projectedTriangle(void *data, RenderState *state, int, Vector3 vertices[3]) {
    const auto *inst = static_cast<const CameraMapInstance *>(data);
    Vector3 p[3];
    if (!inst || !zo_tri_vectors(state, ZO_TRI_POSITION, 0, p)) return 0;
    for (int k = 0; k < 3; ++k) {
        Vector3 internal = p[k];
        zo_point_from_object(&internal, state, &p[k]);
        float x, y, z;
        cameraProject(inst, internal, &x, &y, &z);
        vertices[k] = Vector3{x, 1.0f - y, 0.0f};
    }
    return 1;
}

}  // namespace

KOR_EXPORT zoBoolean kor_CameraMap(Color *result, RenderState *state, CameraMapParams *params,
                                   const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kClearBlack;
        return 0;
    }
    if (state->type == ZO_RAY_DISPLACE) return 0;
    writeGBufferId(state, eval(state, &params->gbufferId));
    const CameraMapInstance *inst = instanceOf(state);
    if (!inst || !inst->map || !cameraSees(state, inst)) {
        *result = kClearBlack;
        return 1;
    }
    const int index =
        selectChannel(state, &inst->context, kContextSurface, nullptr, 1, inst->channel);
    if (index < 0 || index >= state->tex_count || !state->tex_list || index >= 64) {
        *result = kClearBlack;
        return 1;
    }
    float x, y, z;
    cameraProject(inst, state->point, &x, &y, &z);
    const Vector3 saved = state->tex_list[index];
    state->tex_list[index] = Vector3{x, 1.0f - y, 0.0f};

    // the channel's texture triangle follows the projection too
    ChannelHookTable hooks;
    bool hadHooks = false;
    int size = 0;
    ChannelHookTable previous;
    if (const void *old = zo_shaderstate_get(state, "KEY_8", &size)) {
        if (size >= static_cast<int>(sizeof previous)) {
            memcpy(&previous, old, sizeof previous);
            hadHooks = true;
        }
    }
    if (hadHooks)
        memcpy(&hooks, &previous, sizeof hooks);
    else
        memset(&hooks, 0, sizeof hooks);
    hooks.hooks[index] = projectedTriangle;
    hooks.data[index] = const_cast<CameraMapInstance *>(inst);
    markStateKeyStored(kOwnKeyChannelHooks);
    zo_shaderstate_set(state, "KEY_8", &hooks, sizeof hooks, ZO_SHADERSTATE_RAY_TREE);

    Color c = kClearBlack;
    const zoBoolean ok =
        zo_call_shader_x(&c, ZO_SHADER_MAP, state, inst->map, const_cast<int *>(mode));
    if (hadHooks)
        zo_shaderstate_set(state, "KEY_8", &previous, sizeof previous, ZO_SHADERSTATE_RAY_TREE);
    else
        zo_shaderstate_set(state, "KEY_8", nullptr, 0, ZO_SHADERSTATE_RAY_TREE);
    state->tex_list[index] = saved;
    *result = ok ? c : kClearBlack;
    return 1;
}

KOR_SHADER_INIT(kor_CameraMap) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = user_slot(state);
    if (!slot) return;
    if (*slot) destroyInstance(static_cast<CameraMapInstance *>(*slot));
    *slot = nullptr;
    auto *inst = static_cast<CameraMapInstance *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(CameraMapInstance)));
    if (!inst) return;
    memset(inst, 0, sizeof *inst);
    const auto *p = static_cast<const CameraMapParams *>(params);
    inst->map = eval(state, &p->map);
    zoMatrix world, camera;
    memcpy(world, eval(state, &p->worldTransform), sizeof world);
    memcpy(camera, eval(state, &p->cameraMatrix), sizeof camera);
    matrixProduct(inst->transform, world, camera);
    inst->cameraWorld = preimageOfOrigin(camera);
    inst->angleThreshold =
        eval(state, &p->angleThresholdOn) ? eval(state, &p->angleThreshold) * kDegrees : -1.0f;
    const float fov = eval(state, &p->fov) * kDegrees;
    const float t = tanf(fov * 0.5f);
    inst->f = t != 0.0f ? -0.5f / t : 0.0f;
    const float aspect =
        state->camera && state->camera->aspect > 0.0f ? state->camera->aspect : 1.0f;
    inst->fAspect = inst->f * aspect;
    inst->tolerance = eval(state, &p->depthTolerance);
    inst->channel = eval(state, &p->mapChannel);
    contextCreate(&inst->context, state);

    const Tag depth = eval(state, &p->depthImage);
    if (depth && zo_db_type(depth) == ZO_DB_IMAGE) {
        const auto *image = static_cast<const zoImage *>(zo_db_access(depth));
        const int w = image ? zo_img_get_width(image) : 0, h = image ? zo_img_get_height(image) : 0;
        if (w > 0 && h > 0 && w <= 65536 && h <= 65536 && static_cast<long>(w) * h < (1L << 28)) {
            inst->depth = static_cast<float *>(
                zo_mem_int_allocate(kModule, __LINE__, w * h * int(sizeof(float))));
            if (inst->depth) {
                inst->width = w;
                inst->height = h;
                // kept top row first, as the projection counts rows; the
                // host's images hold the bottom row first
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        Color c = {0, 0, 0, 0};
                        zo_img_get_color(image, &c, x, h - 1 - y);
                        inst->depth[y * w + x] = c.r;
                    }
            }
        }
        if (image) zo_db_unpin(depth);
    }
    *slot = inst;
}

KOR_SHADER_EXIT(kor_CameraMap) {
    if (!params) return;
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    destroyInstance(static_cast<CameraMapInstance *>(*slot));
    *slot = nullptr;
}
